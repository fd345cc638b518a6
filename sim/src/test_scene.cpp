#include <algorithm>
#include <cstdint>
#include <stdexcept>

#include "kald_sim/image.h"

namespace kald::sim {
namespace {

// The scene is drawn with integer arithmetic only, so every build and every
// machine renders the same bytes.

// Colour bars at 75 % amplitude (191 = 0.75 * 255): white, yellow, cyan,
// green, magenta, red, blue, black.
constexpr uint8_t kBarLevel = 191;
constexpr uint8_t kBars[8][3] = {
    {1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0},
};

// Phase is in 1/65536 of a turn; the result is in -127 .. 127. Each half
// period is a parabola, close to a sine and smooth enough for a zone plate.
int Wave(uint32_t phase)
{
    const int64_t t = phase & 0x7FFF;
    const int64_t bump = 4 * t * (0x8000 - t); // 0 .. 2^30
    const int value = int((127 * bump) >> 30);
    return (phase & 0x8000) != 0 ? -value : value;
}

// Fully saturated colour of hue 0 .. 1535 (six sectors of 256).
void Hue(int hue, uint8_t* out)
{
    const int f = hue & 255;
    switch (hue >> 8) {
    case 0: out[0] = 255; out[1] = uint8_t(f); out[2] = 0; break;
    case 1: out[0] = uint8_t(255 - f); out[1] = 255; out[2] = 0; break;
    case 2: out[0] = 0; out[1] = 255; out[2] = uint8_t(f); break;
    case 3: out[0] = 0; out[1] = uint8_t(255 - f); out[2] = 255; break;
    case 4: out[0] = uint8_t(f); out[1] = 0; out[2] = 255; break;
    default: out[0] = 255; out[1] = 0; out[2] = uint8_t(255 - f); break;
    }
}

void Grey(uint8_t value, uint8_t* out)
{
    out[0] = out[1] = out[2] = value;
}

} // namespace

// Bands from top to bottom: colour bars (3/8 of the height), a luma ramp
// (1/8), a hue sweep (1/8), then fine detail and edges (3/8): a zone plate
// reaching the sampling limit on the left half, one-pixel lines of growing
// pitch in the third quarter, a checkerboard over a slanted edge in the last.
RgbImage RenderTestScene(int width, int height)
{
    if (width <= 0 || height <= 0) {
        throw std::invalid_argument("RenderTestScene: empty size");
    }
    RgbImage image(width, height);
    const int rampTop = height * 3 / 8;
    const int hueTop = height / 2;
    const int detailTop = height * 5 / 8;
    const int detailHeight = height - detailTop;
    const int plateWidth = width / 2;
    const int linesLeft = width / 2;
    const int edgesLeft = width * 3 / 4;
    const int lineGroupWidth = std::max(1, (edgesLeft - linesLeft) / 3);
    const int detailMiddle = detailTop + detailHeight / 2;
    const int square = std::max(2, height / 24);
    // The zone plate's frequency, 1/(4R) turns per pixel^2 with R half its
    // longer side, reaches half a cycle per pixel at the middle of its edge.
    const int64_t plateSpan = std::max(1, std::max(plateWidth, detailHeight));

    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* out = image.At(x, y);
            if (y < rampTop) {
                const auto& bar = kBars[x * 8 / width];
                for (int c = 0; c < 3; ++c) {
                    out[c] = bar[c] != 0 ? kBarLevel : 0;
                }
            } else if (y < hueTop) {
                Grey(uint8_t(width > 1 ? x * 255 / (width - 1) : 0), out);
            } else if (y < detailTop) {
                Hue(x * 1536 / width, out);
            } else if (x < plateWidth) {
                // Doubled coordinates about the plate's centre: 4 r^2.
                const int64_t dx = 2 * x + 1 - plateWidth;
                const int64_t dy = 2 * (y - detailTop) + 1 - detailHeight;
                const auto phase = uint32_t((dx * dx + dy * dy) * 8192 / plateSpan);
                Grey(uint8_t(128 + Wave(phase)), out);
            } else if (x < edgesLeft) {
                // Groups of one-pixel lines with pitch 2, 3 and 4: vertical
                // in the upper half, horizontal in the lower half.
                const int pitch = 2 + std::min(2, (x - linesLeft) / lineGroupWidth);
                const int along = y < detailMiddle ? x - linesLeft : y - detailMiddle;
                Grey(along % pitch == 0 ? 240 : 16, out);
            } else if (y < detailMiddle) {
                const bool white = (((x - edgesLeft) / square) + ((y - detailTop) / square)) % 2 == 0;
                Grey(white ? 255 : 0, out);
            } else {
                // An edge leaning about 14 degrees off vertical.
                const int cx = (edgesLeft + width) / 2;
                const int cy = (detailMiddle + height) / 2;
                const bool right = 4 * (x - cx) > (y - cy);
                out[0] = right ? 230 : 20;
                out[1] = right ? 200 : 30;
                out[2] = right ? 40 : 120;
            }
        }
    }
    return image;
}

} // namespace kald::sim
