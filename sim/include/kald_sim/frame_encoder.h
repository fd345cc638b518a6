// The camera side of the two frame formats: turns pictures into compacted
// frames (16-byte header, coded picture) as the camera's bridge does.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "image.h"

namespace kald::sim {

// The eight statistics bytes of the frame header (offsets 6..13):
// set B green 1, red, blue, green 2, then set A green 1, red, blue, green 2.
using FrameStatistics = std::array<uint8_t, 8>;

// Computes the two statistics sets of a mosaic the way the camera does.
FrameStatistics MeasureStatistics(std::span<const uint8_t> mosaic, int width, int height);

// Large-frame (320x240, 352x288) encoder. Closed loop: it tracks the
// decoder's reconstruction, including the revision-2 quantisation of rows 0
// and 1 after a frame that ended with a level block, so its Reconstruction()
// is byte for byte what the driver's decoder produces.
class LargeFrameEncoder {
public:
    LargeFrameEncoder(int width, int height, uint8_t revision = 0);

    // Encodes a width * height mosaic. The result ends with the end marker
    // and zero padding to a whole byte (plus `padding` further zero bytes).
    std::vector<uint8_t> Encode(std::span<const uint8_t> mosaic, const FrameStatistics& stats,
                                size_t padding = 0);

    // The mosaic the decoder reconstructs from the last encoded frame,
    // width * height bytes, rows top-down.
    const std::vector<uint8_t>& Reconstruction() const { return reconstruction_; }

    // Whether the last block of the last frame was a level block.
    bool LevelBlockFlag() const { return levelBlockFlag_; }

    int Width() const { return width_; }
    int Height() const { return height_; }

private:
    int width_;
    int height_;
    uint8_t revision_;
    bool levelBlockFlag_ = false;
    std::vector<uint8_t> reconstruction_;
};

// Small-frame (160x120, 176x144) encoder: 6-bit samples of full-resolution
// green and 2x2-shared red and blue.
class SmallFrameEncoder {
public:
    SmallFrameEncoder(int width, int height);

    // Encodes an RGB picture of width x height.
    std::vector<uint8_t> Encode(const RgbImage& picture, const FrameStatistics& stats,
                                size_t padding = 0);

    // What the driver's decoder produces from the last encoded frame when its
    // small-frame counter is `frameIndex`: width * height * 3 bytes, blue,
    // green, red, rows bottom-up, dither included.
    std::vector<uint8_t> Reconstruction(uint32_t frameIndex) const;

private:
    int width_;
    int height_;
    std::vector<uint8_t> samples_; // the 6-bit samples of the last frame, in stream order
};

} // namespace kald::sim
