#include <stdexcept>

#include "kald_sim/frame_encoder.h"

namespace kald::sim {
namespace {

// Mosaic sites by [row parity][column parity]: green 1 and blue on even
// rows, red and green 2 on odd rows.
enum Site { Green1, Blue, Red, Green2 };
constexpr Site kSites[2][2] = {{Green1, Blue}, {Red, Green2}};

// Rounded mean of each site over the window [x0, x1) x [y0, y1), in the
// header's order green 1, red, blue, green 2.
std::array<uint8_t, 4> SiteMeans(std::span<const uint8_t> mosaic, int width, int x0, int x1,
                                 int y0, int y1)
{
    uint64_t sums[4] = {0, 0, 0, 0};
    uint64_t counts[4] = {0, 0, 0, 0};
    for (int y = y0; y < y1; ++y) {
        const uint8_t* row = &mosaic[size_t(y) * size_t(width)];
        // The even and odd columns of a row are one site each.
        uint32_t even = 0;
        uint32_t odd = 0;
        int x = x0;
        for (; x + 1 < x1; x += 2) {
            even += row[x];
            odd += row[x + 1];
        }
        const Site first = kSites[y & 1][x0 & 1];
        const Site second = kSites[y & 1][(x0 + 1) & 1];
        const int pairs = (x - x0) / 2;
        sums[first] += even;
        sums[second] += odd;
        counts[first] += uint64_t(pairs);
        counts[second] += uint64_t(pairs);
        if (x < x1) {
            sums[first] += row[x];
            counts[first] += 1;
        }
    }
    auto mean = [&](Site site) {
        return counts[site] == 0 ? uint8_t(0)
                                 : uint8_t((sums[site] + counts[site] / 2) / counts[site]);
    };
    return {mean(Green1), mean(Red), mean(Blue), mean(Green2)};
}

} // namespace

// Set A averages the whole frame; set B averages the centre window of half
// the width and half the height, which weights the subject in the middle of
// the picture. The window starts on even coordinates so its sites keep their
// colours.
FrameStatistics MeasureStatistics(std::span<const uint8_t> mosaic, int width, int height)
{
    if (width <= 0 || height <= 0 || mosaic.size() < size_t(width) * size_t(height)) {
        throw std::invalid_argument("MeasureStatistics: mosaic smaller than its size");
    }
    const int x0 = (width / 4) & ~1;
    const int y0 = (height / 4) & ~1;
    const auto setA = SiteMeans(mosaic, width, 0, width, 0, height);
    const auto setB = SiteMeans(mosaic, width, x0, x0 + width / 2, y0, y0 + height / 2);
    return {setB[0], setB[1], setB[2], setB[3], setA[0], setA[1], setA[2], setA[3]};
}

} // namespace kald::sim
