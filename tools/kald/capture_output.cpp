#include "capture_output.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tool_error.h"

namespace kald::tool {
namespace {

// Output files are written in large pieces: a 352x288 picture is 152,064
// bytes.
constexpr size_t kOutputBufferBytes = size_t(1) << 20;

// The mode a new file gets: 0666 less the umask (mkstemp creates 0600).
mode_t NewFileMode()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

uint8_t Clamp(double value)
{
    return uint8_t(std::clamp(std::lround(value), 0L, 255L));
}

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

} // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path))
{
    std::error_code error;
    if (std::filesystem::is_directory(path_, error)) {
        throw UsageError("cannot write '" + path_ + "': it is a directory");
    }
    temp_ = path_ + ".XXXXXX";
    const int fd = ::mkstemp(temp_.data());
    if (fd < 0) {
        throw UsageError("cannot write '" + path_ + "': " + std::strerror(errno));
    }
    if (::fchmod(fd, NewFileMode()) != 0 || (file_ = ::fdopen(fd, "wb")) == nullptr) {
        const int saved = errno;
        ::close(fd);
        ::unlink(temp_.c_str());
        throw UsageError("cannot write '" + path_ + "': " + std::strerror(saved));
    }
    std::setvbuf(file_, nullptr, _IOFBF, kOutputBufferBytes);
}

OutputFile::~OutputFile()
{
    if (file_ != nullptr) {
        std::fclose(file_);
    }
    if (!committed_) {
        ::unlink(temp_.c_str());
    }
}

void OutputFile::Fail(int error)
{
    throw UsageError("cannot write '" + path_ + "': " + std::strerror(error));
}

void OutputFile::Write(std::span<const uint8_t> bytes)
{
    if (file_ == nullptr) {
        Fail(EBADF);
    }
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        Fail(errno);
    }
}

void OutputFile::Write(std::string_view text)
{
    Write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

void OutputFile::Commit()
{
    if (file_ == nullptr) {
        Fail(EBADF);
    }
    std::FILE* file = file_;
    file_ = nullptr;
    const bool flushed = std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
    int error = flushed ? 0 : errno;
    if (std::fclose(file) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && std::rename(temp_.c_str(), path_.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        Fail(error);
    }
    committed_ = true;
}

std::optional<VideoContainer> ContainerFor(const std::string& path)
{
    const std::string extension = Lower(std::filesystem::path(path).extension().string());
    if (extension == ".y4m") {
        return VideoContainer::Y4m;
    }
    if (extension == ".i420" || extension == ".yuv") {
        return VideoContainer::Raw;
    }
    return std::nullopt;
}

std::string Y4mHeader(int width, int height, unsigned framesPerSecond)
{
    // Progressive, square pixels; C420jpeg is planar 4:2:0 with one chroma
    // sample for each 2x2 block of luma samples, and XYSCSS repeats it for
    // readers that look there.
    return "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" +
           std::to_string(framesPerSecond) + ":1 Ip A1:1 C420jpeg XYSCSS=420JPEG\n";
}

kald::sim::RgbImage RgbFromI420(std::span<const uint8_t> picture, int width, int height)
{
    kald::sim::RgbImage image(width, height);
    const size_t lumaBytes = size_t(width) * size_t(height);
    const size_t chromaBytes = lumaBytes / 4;
    if (picture.size() < lumaBytes + 2 * chromaBytes) {
        return image; // not a whole picture: black
    }
    const uint8_t* yPlane = picture.data();
    const uint8_t* uPlane = yPlane + lumaBytes;
    const uint8_t* vPlane = uPlane + chromaBytes;
    const size_t chromaWidth = size_t(width) / 2;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const size_t c = size_t(y / 2) * chromaWidth + size_t(x / 2);
            const double luma = yPlane[size_t(y) * size_t(width) + size_t(x)];
            const double u = double(uPlane[c]) - 128.0;
            const double v = double(vPlane[c]) - 128.0;
            // The inverse of Y = 0.299 R + 0.587 G + 0.114 B,
            // U = 0.5 (B - Y) / 0.886, V = 0.5 (R - Y) / 0.701.
            uint8_t* rgb = image.At(x, y);
            rgb[0] = Clamp(luma + 1.402 * v);
            rgb[1] = Clamp(luma - 0.344136 * u - 0.714136 * v);
            rgb[2] = Clamp(luma + 1.772 * u);
        }
    }
    return image;
}

std::vector<uint8_t> EncodePng(const kald::sim::RgbImage& image)
{
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    png.width = png_uint_32(image.width);
    png.height = png_uint_32(image.height);
    png.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&png, nullptr, &size, 0, image.pixels.data(), 0, nullptr)) {
        throw UsageError(std::string("cannot encode the PNG picture: ") + png.message);
    }
    std::vector<uint8_t> bytes(size);
    if (!png_image_write_to_memory(&png, bytes.data(), &size, 0, image.pixels.data(), 0, nullptr)) {
        throw UsageError(std::string("cannot encode the PNG picture: ") + png.message);
    }
    bytes.resize(size);
    return bytes;
}

} // namespace kald::tool
