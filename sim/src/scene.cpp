#include "kald_sim/scene.h"

#include <stdexcept>

namespace kald::sim {

RgbImage RenderColourBars(int width, int height)
{
    if (width <= 0 || height <= 0) {
        throw std::invalid_argument("RenderColourBars: empty size");
    }
    constexpr uint8_t kLevel = 191; // 0.75 * 255
    // Bars by their R, G, B switches.
    constexpr uint8_t kBars[8][3] = {
        {1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0},
    };
    RgbImage image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const uint8_t* bar = kBars[x * 8 / width];
            uint8_t* out = image.At(x, y);
            for (int c = 0; c < 3; ++c) {
                out[c] = bar[c] != 0 ? kLevel : 0;
            }
        }
    }
    return image;
}

void Scene::SetTestScene()
{
    kind_ = Kind::TestScene;
    picture_ = {};
    fittedValid_ = false;
}

void Scene::SetColourBars()
{
    kind_ = Kind::ColourBars;
    picture_ = {};
    fittedValid_ = false;
}

void Scene::SetPicture(const RgbImage& picture)
{
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.pixels.size() != size_t(picture.width) * size_t(picture.height) * 3) {
        throw std::invalid_argument("Scene::SetPicture: empty or inconsistent picture");
    }
    kind_ = Kind::Picture;
    picture_ = picture;
    fittedValid_ = false;
}

const RgbImage& Scene::AtSize(int width, int height)
{
    if (fittedValid_ && fitted_.width == width && fitted_.height == height) {
        return fitted_;
    }
    switch (kind_) {
    case Kind::TestScene:
        fitted_ = RenderTestScene(width, height);
        break;
    case Kind::ColourBars:
        fitted_ = RenderColourBars(width, height);
        break;
    case Kind::Picture:
        fitted_ = FitToSize(picture_, width, height);
        break;
    }
    fittedValid_ = true;
    return fitted_;
}

} // namespace kald::sim
