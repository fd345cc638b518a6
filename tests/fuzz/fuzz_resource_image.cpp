// Arbitrary bytes as a compiled resource file (.res) through the host's
// resource image parser, which every module's embedded resources go through
// before FindResource and LoadString see them. Nothing may crash or read
// outside the input. An image it accepts lists only entries whose data lies
// wholly inside the image; an image it refuses comes back with no entries.
// Parsing is repeatable: the same bytes give the same entries.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

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

// Well above the modules' real images; larger inputs only repeat records.
constexpr size_t kMaxInputBytes = 256 * 1024;

bool SameEntries(const std::vector<host::ResourceEntry>& a, const std::vector<host::ResourceEntry>& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].typeOrdinal != b[i].typeOrdinal || a[i].typeName != b[i].typeName ||
            a[i].nameOrdinal != b[i].nameOrdinal || a[i].nameName != b[i].nameName ||
            a[i].language != b[i].language || a[i].dataOffset != b[i].dataOffset ||
            a[i].dataSize != b[i].dataSize) {
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
    // A heap block of exactly the input's size, so that AddressSanitizer
    // reports any read past it.
    std::vector<uint8_t> image(data, data + size);
    const uint8_t* bytes = image.empty() ? nullptr : image.data();

    // Entries left over from an earlier image must not survive a parse.
    std::vector<host::ResourceEntry> entries(1);
    const bool parsed = host::ParseResourceImage(bytes, image.size(), entries);
    if (!parsed) {
        Expect(entries.empty(), "a refused image left entries behind");
        return 0;
    }
    for (const host::ResourceEntry& entry : entries) {
        Expect(entry.dataOffset <= image.size() && entry.dataSize <= image.size() - entry.dataOffset,
               "an entry's data lies outside the image");
        Expect(!(entry.typeOrdinal.has_value() && !entry.typeName.empty()) &&
                   !(entry.nameOrdinal.has_value() && !entry.nameName.empty()),
               "an entry's type or name is both an ordinal and a string");
    }
    std::vector<host::ResourceEntry> again;
    Expect(host::ParseResourceImage(bytes, image.size(), again) && SameEntries(entries, again),
           "the same image parsed twice gives different entries");
    return 0;
}
