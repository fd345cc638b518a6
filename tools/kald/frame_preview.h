// Decodes one compacted frame with the driver's decoders (no colour
// pipeline) into a picture for looking at.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "frame_size.h"
#include "kald_sim/image.h"

namespace kald::tool {

// The frame as the driver sees it: the compacted frame at the start of a
// zero-filled raw frame buffer. `frame` must fit in that buffer.
//
// Large frames give a half-resolution picture, one pixel per 2x2 Bayer quad
// (G B over R G): R, the two greens averaged (rounding halves up), B. Small
// frames give the decoded picture as it is, dither included. The decoders
// start from freshly built pipeline tables, so the revision-2 level-block
// state and the small-frame dither phase are those of a first frame.
//
// Returns nullopt when the decoder rejects the frame.
std::optional<sim::RgbImage> DecodeFramePreview(const FrameSize& size,
                                                std::span<const uint8_t> frame, uint8_t revision);

// The statistics bytes of the frame header (offsets 6..13), zero where the
// frame is too short to hold them.
std::array<uint8_t, 8> HeaderStatistics(std::span<const uint8_t> frame);

} // namespace kald::tool
