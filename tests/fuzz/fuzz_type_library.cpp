// Arbitrary text as the IDL source of a type library through the host's
// type-library parser, which LoadTypeLib and RegisterTypeLib use. Nothing
// may crash, hang or read outside the text. The answer is S_OK or
// TYPE_E_INVDATAREAD, and the same text always gives the same answer and,
// when accepted, the same description.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kald_host/host_win32.h"

namespace {

void Expect(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz: %s\n", what);
        std::abort();
    }
}
namespace host = kald::host;

// Real sources are a few kilobytes; longer texts only repeat constructs.
constexpr size_t kMaxInputBytes = 64 * 1024;

bool SameDescription(const host::TypeLibraryDescription& a, const host::TypeLibraryDescription& b)
{
    if (!IsEqualGUID(a.libid, b.libid) || a.name != b.name || a.majorVersion != b.majorVersion ||
        a.minorVersion != b.minorVersion || a.lcid != b.lcid || a.helpString != b.helpString ||
        a.imports != b.imports || a.coclasses.size() != b.coclasses.size()) {
        return false;
    }
    for (size_t i = 0; i < a.coclasses.size(); ++i) {
        const host::TypeLibraryCoclass& x = a.coclasses[i];
        const host::TypeLibraryCoclass& y = b.coclasses[i];
        if (x.name != y.name || !IsEqualGUID(x.clsid, y.clsid) || x.helpString != y.helpString ||
            x.defaultInterface != y.defaultInterface) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInputBytes) {
        return 0;
    }
    const std::string idl(reinterpret_cast<const char*>(data), size);
    host::TypeLibraryDescription first;
    const HRESULT hr = host::ParseTypeLibrarySource(idl, first);
    Expect(hr == S_OK || hr == TYPE_E_INVDATAREAD, "the parser gave an unexpected HRESULT");

    // A fresh description filled with other content must end up the same.
    host::TypeLibraryDescription second;
    second.name = "stale";
    second.imports.push_back("stale.tlb");
    second.coclasses.resize(3);
    Expect(host::ParseTypeLibrarySource(idl, second) == hr, "the same text gives another answer");
    if (hr == S_OK) {
        Expect(SameDescription(first, second), "the same text gives another description");
    }
    return 0;
}
