#include "file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tool_error.h"

namespace kald::tool {
namespace {

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Writes all of bytes to fd; false (errno set) on failure.
bool WriteAll(int fd, std::span<const uint8_t> bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += size_t(n);
    }
    return true;
}

// The mode a newly created file gets: 0666 less the process umask (mkstemp
// itself creates 0600).
mode_t NewFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

} // namespace

std::vector<uint8_t> ReadFileBytes(const std::string& path, size_t maxBytes,
                                   const std::string& what)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        throw UsageError("cannot open '" + path + "': " + ErrnoText(errno));
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    for (;;) {
        const size_t n = std::fread(chunk, 1, sizeof chunk, file.get());
        if (bytes.size() + n > maxBytes) {
            throw UsageError("'" + path + "' is longer than " + what + " (" +
                             std::to_string(maxBytes) + " bytes)");
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
        if (n < sizeof chunk) {
            break;
        }
    }
    if (std::ferror(file.get())) {
        throw UsageError("cannot read '" + path + "': " + ErrnoText(errno));
    }
    return bytes;
}

void WriteFileAtomically(const std::string& path, std::span<const uint8_t> bytes)
{
    std::string temp = path + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        throw UsageError("cannot write '" + path + "': " + ErrnoText(errno));
    }
    int error = 0;
    if (::fchmod(fd, NewFileMode()) != 0 || !WriteAll(fd, bytes)) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && std::rename(temp.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temp.c_str());
        throw UsageError("cannot write '" + path + "': " + ErrnoText(error));
    }
}

} // namespace kald::tool
