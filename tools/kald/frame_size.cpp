#include "frame_size.h"

#include <array>
#include <charconv>

#include <CLI/CLI.hpp>

namespace kald::tool {
namespace {

constexpr std::array<FrameSize, 4> kFrameSizes = {{
    {160, 120, false}, // 6-bit samples, 2x2-shared red and blue
    {176, 144, false},
    {320, 240, true}, // coded Bayer mosaic
    {352, 288, true},
}};

// Parses a whole decimal number; false on anything else.
bool ParseNumber(std::string_view text, int& value)
{
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

} // namespace

std::optional<FrameSize> ParseFrameSize(std::string_view text)
{
    const size_t x = text.find('x');
    if (x == std::string_view::npos) {
        return std::nullopt;
    }
    int width = 0;
    int height = 0;
    if (!ParseNumber(text.substr(0, x), width) || !ParseNumber(text.substr(x + 1), height)) {
        return std::nullopt;
    }
    for (const FrameSize& size : kFrameSizes) {
        if (size.width == width && size.height == height) {
            return size;
        }
    }
    return std::nullopt;
}

std::string FrameSizeList()
{
    std::string list;
    for (size_t i = 0; i < kFrameSizes.size(); ++i) {
        if (i > 0) {
            list += i + 1 == kFrameSizes.size() ? " or " : ", ";
        }
        list += std::to_string(kFrameSizes[i].width) + "x" + std::to_string(kFrameSizes[i].height);
    }
    return list;
}

CLI::Validator FrameSizeValidator()
{
    return CLI::Validator(
        [](std::string& value) -> std::string {
            if (ParseFrameSize(value)) {
                return {};
            }
            return "unsupported frame size '" + value + "' (use " + FrameSizeList() + ")";
        },
        "WxH", "FrameSize");
}

} // namespace kald::tool
