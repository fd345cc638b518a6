#include "kald_sim/rate_control.h"

#include <algorithm>
#include <stdexcept>

namespace kald::sim {

std::vector<uint8_t> CoarsenMosaic(std::span<const uint8_t> mosaic, int width, int height,
                                   int level)
{
    if (width <= 0 || height <= 0 || mosaic.size() != size_t(width) * size_t(height) ||
        level < kFullDetail || level > kFlatDetail) {
        throw std::invalid_argument("CoarsenMosaic: bad size or level");
    }
    std::vector<uint8_t> out(mosaic.begin(), mosaic.end());
    if (level == kFullDetail) {
        return out;
    }
    const int cell = level == kFlatDetail ? std::max(width, height) : 2 << level;
    for (int cy = 0; cy < height; cy += cell) {
        for (int cx = 0; cx < width; cx += cell) {
            const int y1 = std::min(cy + cell, height);
            const int x1 = std::min(cx + cell, width);
            // Each of the four sites of the cell on its own.
            for (int py = 0; py < 2; ++py) {
                for (int px = 0; px < 2; ++px) {
                    uint64_t sum = 0;
                    uint64_t count = 0;
                    for (int y = cy + py; y < y1; y += 2) {
                        for (int x = cx + px; x < x1; x += 2) {
                            sum += mosaic[size_t(y) * size_t(width) + size_t(x)];
                            ++count;
                        }
                    }
                    if (count == 0) {
                        continue;
                    }
                    const auto mean = uint8_t((sum + count / 2) / count);
                    for (int y = cy + py; y < y1; y += 2) {
                        for (int x = cx + px; x < x1; x += 2) {
                            out[size_t(y) * size_t(width) + size_t(x)] = mean;
                        }
                    }
                }
            }
        }
    }
    return out;
}

BudgetedFrame EncodeWithinBudget(LargeFrameEncoder& encoder, std::span<const uint8_t> mosaic,
                                 const FrameStatistics& statistics, size_t maxBytes)
{
    BudgetedFrame result;
    for (int level = kFullDetail; level <= kFlatDetail; ++level) {
        // Each attempt starts from the encoder as the last sent frame left it.
        LargeFrameEncoder attempt = encoder;
        std::vector<uint8_t> compacted;
        if (level == kFullDetail) {
            compacted = attempt.Encode(mosaic, statistics);
        } else {
            const std::vector<uint8_t> coarse =
                CoarsenMosaic(mosaic, encoder.Width(), encoder.Height(), level);
            compacted = attempt.Encode(coarse, statistics);
        }
        if (compacted.size() <= maxBytes || level == kFlatDetail) {
            encoder = std::move(attempt);
            result.Compacted = std::move(compacted);
            result.Detail = level;
            result.Fits = result.Compacted.size() <= maxBytes;
            return result;
        }
    }
    return result; // not reached: the flat level always returns
}

} // namespace kald::sim
