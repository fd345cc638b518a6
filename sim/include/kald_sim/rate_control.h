// How the bridge keeps a large frame within the packets it may send: when the
// coded frame would not fit, it sends the picture with less detail.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "frame_encoder.h"

namespace kald::sim {

// Detail levels: 0 is the picture as the sensor gave it; level L in 1 .. 4
// replaces every sample by the mean of its colour in its cell of
// 2^(L+1) x 2^(L+1) pixels (2^L x 2^L samples of that colour); kFlatDetail
// replaces every sample by the mean of its colour over the whole frame,
// which the coder sends at about one bit per pixel.
inline constexpr int kFullDetail = 0;
inline constexpr int kFlatDetail = 5;

// The mosaic (G B / R G sites, width x height, rows top-down) at `level`.
std::vector<uint8_t> CoarsenMosaic(std::span<const uint8_t> mosaic, int width, int height,
                                   int level);

struct BudgetedFrame {
    std::vector<uint8_t> Compacted; // the coded frame
    int Detail = kFullDetail;       // the level it was coded at
    bool Fits = true;               // false: even kFlatDetail exceeds the budget
};

// Codes `mosaic` at the first level, from kFullDetail up to kFlatDetail,
// whose coded frame has at most `maxBytes` bytes. When none fits, the
// kFlatDetail frame is returned with Fits false. The encoder's state (the
// level-block flag it carries into the next frame) is that of the frame
// returned, as though the other attempts had never been made.
BudgetedFrame EncodeWithinBudget(LargeFrameEncoder& encoder, std::span<const uint8_t> mosaic,
                                 const FrameStatistics& statistics, size_t maxBytes);

} // namespace kald::sim
