// Pictures the simulated camera works with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kald::sim {

// An 8-bit RGB picture, rows top-down, pixels R, G, B.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels; // width * height * 3

    RgbImage() = default;
    RgbImage(int w, int h) : width(w), height(h), pixels(size_t(w) * size_t(h) * 3) {}
    uint8_t* At(int x, int y) { return &pixels[(size_t(y) * size_t(width) + size_t(x)) * 3]; }
    const uint8_t* At(int x, int y) const { return &pixels[(size_t(y) * size_t(width) + size_t(x)) * 3]; }
};

// The built-in test scene at any size: colour bars, gradients, fine detail
// and a few sharp edges.
RgbImage RenderTestScene(int width, int height);

// Scales a picture to cover width x height and crops the centre.
RgbImage FitToSize(const RgbImage& source, int width, int height);

// Samples a picture through the sensor's colour filter mosaic
// (G B on even rows, R G on odd rows): width * height bytes, rows top-down.
std::vector<uint8_t> MosaicFromRgb(const RgbImage& image);

} // namespace kald::sim
