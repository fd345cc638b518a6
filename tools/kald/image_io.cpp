#include "image_io.h"

#include <cstring>
#include <vector>

#include <png.h>

#include "file_io.h"
#include "tool_error.h"

namespace kald::tool {
namespace {

// Input pictures are scaled down to at most 352x288, so anything this large
// is a mistake; the cap keeps a hostile header from asking for gigabytes.
constexpr size_t kMaxPngFileBytes = size_t(256) << 20;
constexpr png_uint_32 kMaxPixels = 64u << 20; // 64 Mpixel, 192 MiB as RGB

// Frees the libpng read state on every path out of ReadPng.
struct PngImageGuard {
    png_image& image;
    ~PngImageGuard() { png_image_free(&image); }
};

} // namespace

sim::RgbImage ReadPng(const std::string& path)
{
    const std::vector<uint8_t> file =
        ReadFileBytes(path, kMaxPngFileBytes, "the largest picture kald reads");

    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    PngImageGuard guard{image};
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        throw UsageError("'" + path + "' is not a readable PNG picture: " + image.message);
    }
    if (image.width == 0 || image.height == 0 || image.width > kMaxPixels / image.height) {
        throw UsageError("'" + path + "' is too large (" + std::to_string(image.width) + "x" +
                         std::to_string(image.height) + ")");
    }
    image.format = PNG_FORMAT_RGB;
    sim::RgbImage picture(int(image.width), int(image.height));
    const png_color black = {0, 0, 0};
    if (!png_image_finish_read(&image, &black, picture.pixels.data(), 0, nullptr)) {
        throw UsageError("'" + path + "' is not a readable PNG picture: " + image.message);
    }
    return picture;
}

void WritePng(const std::string& path, const sim::RgbImage& picture)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(picture.width);
    image.height = png_uint_32(picture.height);
    image.format = PNG_FORMAT_RGB;

    // First call sizes the stream, second one writes it.
    png_alloc_size_t size = 0;
    if (!png_image_write_get_memory_size(image, size, 0, picture.pixels.data(), 0, nullptr)) {
        throw UsageError("cannot encode '" + path + "' as PNG: " + image.message);
    }
    std::vector<uint8_t> encoded(size);
    if (!png_image_write_to_memory(&image, encoded.data(), &size, 0, picture.pixels.data(), 0,
                                   nullptr)) {
        throw UsageError("cannot encode '" + path + "' as PNG: " + image.message);
    }
    encoded.resize(size);
    WriteFileAtomically(path, encoded);
}

} // namespace kald::tool
