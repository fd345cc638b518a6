// Arbitrary bytes as a registry file through the host registry's file
// loader. Nothing may crash. A file the loader refuses must come with a
// reason, change nothing in the registry (two sentinel values set before the
// load, and the whole registry as a save writes it, are as they were) and
// stay as it is on disk. A file it accepts is merged: the sentinel key is
// still there, and the merged registry goes through save and load and comes
// back to the same content (the second save writes the same bytes as the
// first).
//
// The files live in a private directory, on the memory file system when
// there is one, since every run writes and renames several of them.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "kald_host/host_kernel.h"

namespace {

using kald::fuzz::Expect;
using kald::fuzz::Fail;
namespace host = kald::host;

// Larger than the loader's longest line (64 KiB) would only repeat what a
// long line already exercises.
constexpr size_t kMaxInputBytes = 80 * 1024;

const std::wstring kSentinelKey = L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Settings";
const std::wstring kSentinelName = L"Gamma";
constexpr uint32_t kSentinelValue = 0x0BADF00D;
const std::wstring kRawKey = L"\\Registry\\USER\\Sentinel";
const std::wstring kRawName = L"Blob";
const std::vector<uint8_t> kRawData = {0x00, 0x5C, 0x22, 0xFF};

struct Paths {
    std::string Directory;
    std::string Input;
    std::string Saved;
};

void RemoveWorkDirectory();

// Made once and never destroyed, so that the exit handler can still use it.
const Paths& WorkPaths()
{
    static const Paths* const paths = [] {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
        if (base.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
        }
        std::string pattern = base + "/kald-fuzz-registry-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            Fail("cannot make a work directory");
        }
        std::atexit(RemoveWorkDirectory);
        return new Paths{pattern, pattern + "/input.reg", pattern + "/saved.reg"};
    }();
    return *paths;
}

void RemoveWorkDirectory()
{
    const Paths& paths = WorkPaths();
    unlink(paths.Input.c_str());
    unlink(paths.Saved.c_str());
    rmdir(paths.Directory.c_str());
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Expect(fd >= 0, "cannot create the input file");
    while (size > 0) {
        const ssize_t put = write(fd, data, size);
        Expect(put > 0, "cannot write the input file");
        data += put;
        size -= size_t(put);
    }
    close(fd);
}

std::string ReadFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Expect(fd >= 0, "cannot open a file the test wrote");
    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        Expect(got >= 0, "cannot read a file the test wrote");
        if (got == 0) {
            break;
        }
        text.append(buffer, size_t(got));
    }
    close(fd);
    return text;
}

// The whole registry as the file saver writes it.
std::string SaveText(const char* when)
{
    const Paths& paths = WorkPaths();
    const host::RegistryFileStatus saved = host::RegistrySaveFile(paths.Saved);
    if (!saved) {
        std::fprintf(stderr, "fuzz: save %s failed: %s\n", when, saved.error.c_str());
        Fail("the registry could not be saved");
    }
    return ReadFile(paths.Saved);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInputBytes) {
        return 0;
    }
    const Paths& paths = WorkPaths();

    host::RegistryClear();
    host::RegistrySetDword(kSentinelKey, kSentinelName, kSentinelValue);
    host::RegistrySetRaw(kRawKey, kRawName, REG_BINARY, kRawData);
    const std::string before = SaveText("before the load");

    WriteFile(paths.Input, data, size);
    const host::RegistryFileStatus loaded = host::RegistryLoadFile(paths.Input);

    if (!loaded) {
        Expect(!loaded.error.empty(), "a refused file came without a reason");
        Expect(host::RegistryGetDword(kSentinelKey, kSentinelName) == kSentinelValue,
               "a refused file changed the sentinel");
        Expect(SaveText("after a refused load") == before, "a refused file changed the registry");
        Expect(ReadFile(paths.Input) == std::string(reinterpret_cast<const char*>(data), size),
               "a refused file was changed on disk");
        return 0;
    }

    // A merge adds and replaces; it never takes a key away.
    Expect(host::RegistryKeyExists(kSentinelKey), "an accepted file removed the sentinel key");
    Expect(host::RegistryKeyExists(kRawKey), "an accepted file removed the raw sentinel key");

    const std::string first = SaveText("after an accepted load");
    host::RegistryClear();
    const host::RegistryFileStatus reloaded = host::RegistryLoadFile(paths.Saved);
    if (!reloaded) {
        std::fprintf(stderr, "fuzz: reload failed: %s\n", reloaded.error.c_str());
        Fail("the saved registry does not load");
    }
    Expect(SaveText("after the reload") == first, "save and load do not round-trip");
    return 0;
}
