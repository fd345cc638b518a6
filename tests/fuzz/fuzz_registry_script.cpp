// Arbitrary text as a registry script through Kaldprop's script
// interpreter, as DllRegisterServer and DllUnregisterServer run the pages'
// scripts: register mode, then unregister mode, with %MODULE% replaced,
// over an empty registry. Nothing may crash, hang or read outside the
// script, and no registry key may be left open. A script refused in
// register mode must have written nothing: the registry, walked through the
// Reg* API, is as empty as before. A script that registers and unregisters
// without error and flags no key NoRemove (and names no nested path with a
// backslash, which creates keys the script does not list) must leave no key
// behind.

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kald_host/host_kernel.h"
#include "kald_host/host_win32.h"
#include "registrar.h"

namespace {

void Expect(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz: %s\n", what);
        std::abort();
    }
}
namespace host = kald::host;

// The pages' scripts are under a kilobyte; the interpreter's own limits
// (nesting, text length) are reached well within this.
constexpr size_t kMaxInputBytes = 32 * 1024;

const ScriptReplacement kReplacements[] = {{"MODULE", "/opt/kald/lib/kaldprop.so"}};

// Everything under a predefined key, one line per key and per value
// ("path" and "path|name=type:data"), depth first. HKCR lies within HKLM
// and HKCU within HKU, so these two roots hold the whole registry.
void Walk(HKEY key, const std::string& path, int depth, std::vector<std::string>& out)
{
    Expect(depth < 256, "the registry is nested deeper than any script can make it");
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD nameLength = sizeof name;
        BYTE value[4096];
        DWORD valueSize = sizeof value;
        DWORD type = 0;
        const LONG error = RegEnumValueA(key, i, name, &nameLength, nullptr, &type, value, &valueSize);
        if (error == ERROR_NO_MORE_ITEMS) {
            break;
        }
        std::string line = path + "|" + std::string(name, nameLength) + "=" + std::to_string(type) + ":";
        if (error == ERROR_SUCCESS) {
            line.append(reinterpret_cast<const char*>(value), valueSize);
        } else {
            line += "<" + std::to_string(error) + ">";
        }
        out.push_back(line);
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name;
        const LONG error = RegEnumKeyExA(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS) {
            break;
        }
        Expect(error == ERROR_SUCCESS, "a subkey cannot be listed");
        const std::string child = path + "\\" + std::string(name, nameLength);
        out.push_back(child);
        HKEY sub = nullptr;
        Expect(RegOpenKeyExA(key, name, 0, KEY_READ, &sub) == ERROR_SUCCESS, "a listed key does not open");
        Walk(sub, child, depth + 1, out);
        RegCloseKey(sub);
    }
}

std::vector<std::string> Snapshot()
{
    std::vector<std::string> out;
    Walk(HKEY_LOCAL_MACHINE, "HKLM", 0, out);
    Walk(HKEY_USERS, "HKU", 0, out);
    return out;
}

std::string Lower(const std::string& text)
{
    std::string out = text;
    for (char& c : out) {
        c = char(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

// The keys that lead to HKCR and HKCU: they come into being with the first
// key made below them and are not the script's to remove.
bool IsRootPath(const std::string& line)
{
    const std::string path = Lower(line);
    return path == "hklm\\software" || path == "hklm\\software\\classes" || path == "hku\\s-1-5-21-1000";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInputBytes) {
        return 0;
    }
    host::RegistryClear();
    const std::vector<std::string> empty = Snapshot();
    // A heap block of exactly the script's size, so that AddressSanitizer
    // reports any read past it.
    const std::string script(reinterpret_cast<const char*>(data), size);
    std::vector<char> text(script.begin(), script.end());
    const char* bytes = text.empty() ? nullptr : text.data();

    const HRESULT registered = RunRegistryScript(bytes, text.size(), TRUE, kReplacements, 1);
    Expect(host::OpenWin32Handles().registryKeys == 0, "registering left a key open");
    if (registered == DISP_E_EXCEPTION || registered == E_OUTOFMEMORY) {
        Expect(Snapshot() == empty, "a refused script wrote to the registry");
    }
    const HRESULT unregistered = RunRegistryScript(bytes, text.size(), FALSE, kReplacements, 1);
    Expect(host::OpenWin32Handles().registryKeys == 0, "unregistering left a key open");
    if (registered == DISP_E_EXCEPTION) {
        Expect(unregistered == DISP_E_EXCEPTION, "a refused script is run when unregistering");
    }

    const std::string lower = Lower(script);
    if (registered == S_OK && unregistered == S_OK && lower.find("noremove") == std::string::npos &&
        lower.find('\\') == std::string::npos) {
        for (const std::string& line : Snapshot()) {
            if (line.find('|') == std::string::npos) {
                Expect(IsRootPath(line), "unregistering left a key of the script behind");
            }
        }
    }
    return 0;
}
