#include "kald_sim/image.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kald::sim {
namespace {

// One source sample's share in an output sample.
struct Tap {
    int index;
    double weight;
};

// The taps of every output sample along one axis. The output covers the
// source interval [offset, offset + size / scale), centred; each output
// sample averages the source samples its footprint overlaps (area average)
// when shrinking, and interpolates linearly between the two nearest source
// samples when enlarging.
std::vector<std::vector<Tap>> AxisTaps(int sourceSize, int size, double scale)
{
    const double footprint = 1.0 / scale;
    const double offset = (sourceSize - size * footprint) / 2.0;
    std::vector<std::vector<Tap>> taps(static_cast<size_t>(size));
    for (int o = 0; o < size; ++o) {
        auto& list = taps[size_t(o)];
        if (footprint >= 1.0) {
            const double begin = offset + o * footprint;
            const double end = begin + footprint;
            const int first = std::max(0, int(std::floor(begin)));
            const int last = std::min(sourceSize - 1, int(std::ceil(end)) - 1);
            double total = 0;
            for (int s = first; s <= last; ++s) {
                const double overlap = std::min(end, double(s + 1)) - std::max(begin, double(s));
                if (overlap > 1e-9) {
                    list.push_back({s, overlap});
                    total += overlap;
                }
            }
            for (auto& tap : list) {
                tap.weight /= total;
            }
        } else {
            const double centre = offset + (o + 0.5) * footprint - 0.5;
            const int left = int(std::floor(centre));
            const double fraction = centre - left;
            const int clampedLeft = std::clamp(left, 0, sourceSize - 1);
            const int clampedRight = std::clamp(left + 1, 0, sourceSize - 1);
            list.push_back({clampedLeft, 1.0 - fraction});
            list.push_back({clampedRight, fraction});
        }
    }
    return taps;
}

} // namespace

RgbImage FitToSize(const RgbImage& source, int width, int height)
{
    if (source.width <= 0 || source.height <= 0 || width <= 0 || height <= 0 ||
        source.pixels.size() != size_t(source.width) * size_t(source.height) * 3) {
        throw std::invalid_argument("FitToSize: empty or inconsistent picture");
    }
    // Cover: the larger of the two ratios, so the picture fills both
    // dimensions and the overhang of the other is cropped evenly.
    const double scale =
        std::max(double(width) / source.width, double(height) / source.height);
    const auto columns = AxisTaps(source.width, width, scale);
    const auto rows = AxisTaps(source.height, height, scale);

    // Horizontal pass over every source row, then the vertical pass.
    std::vector<double> horizontal(size_t(source.height) * size_t(width) * 3);
    for (int y = 0; y < source.height; ++y) {
        for (int x = 0; x < width; ++x) {
            double* out = &horizontal[(size_t(y) * size_t(width) + size_t(x)) * 3];
            for (const Tap& tap : columns[size_t(x)]) {
                const uint8_t* in = source.At(tap.index, y);
                for (int c = 0; c < 3; ++c) {
                    out[c] += tap.weight * in[c];
                }
            }
        }
    }
    RgbImage result(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            double sum[3] = {0, 0, 0};
            for (const Tap& tap : rows[size_t(y)]) {
                const double* in = &horizontal[(size_t(tap.index) * size_t(width) + size_t(x)) * 3];
                for (int c = 0; c < 3; ++c) {
                    sum[c] += tap.weight * in[c];
                }
            }
            uint8_t* out = result.At(x, y);
            for (int c = 0; c < 3; ++c) {
                out[c] = uint8_t(std::clamp(std::lround(sum[c]), 0L, 255L));
            }
        }
    }
    return result;
}

std::vector<uint8_t> MosaicFromRgb(const RgbImage& image)
{
    // Channel index (R 0, G 1, B 2) seen by each site: [row parity][column parity].
    constexpr int kSiteChannel[2][2] = {{1, 2},  // even rows: G B G B ...
                                        {0, 1}}; // odd rows:  R G R G ...
    std::vector<uint8_t> mosaic(size_t(image.width) * size_t(image.height));
    for (int y = 0; y < image.height; ++y) {
        for (int x = 0; x < image.width; ++x) {
            mosaic[size_t(y) * size_t(image.width) + size_t(x)] =
                image.At(x, y)[kSiteChannel[y & 1][x & 1]];
        }
    }
    return mosaic;
}

} // namespace kald::sim
