// The four frame sizes the camera sends, and the --size option that names one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace CLI {
class Validator;
}

namespace kald::tool {

struct FrameSize {
    int width;
    int height;
    bool large; // mosaic frames (320x240, 352x288); the others are small frames
};

// Parses "WxH"; nullopt unless it is one of the four sizes.
std::optional<FrameSize> ParseFrameSize(std::string_view text);

// "160x120, 176x144, 320x240 or 352x288", for help and error texts.
std::string FrameSizeList();

// Checks a --size value with ParseFrameSize.
CLI::Validator FrameSizeValidator();

} // namespace kald::tool
