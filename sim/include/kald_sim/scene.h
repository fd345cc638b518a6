// What the simulated camera looks at: the built-in test scene, colour bars,
// or any picture, fitted to each frame size on demand.
#pragma once

#include <cstdint>

#include "image.h"

namespace kald::sim {

// Eight vertical bars at 75 % amplitude: white, yellow, cyan, green,
// magenta, red, blue, black.
RgbImage RenderColourBars(int width, int height);

// The scene in front of the lens. The picture's bytes are taken as linear
// reflectance (255 = a white surface).
class Scene {
  public:
    enum class Kind : uint8_t { TestScene, ColourBars, Picture };

    void SetTestScene();
    void SetColourBars();
    // Any picture; it is scaled to cover each frame size and cropped.
    void SetPicture(const RgbImage& picture);
    Kind CurrentKind() const { return kind_; }

    // The scene at width x height; the last size asked for is kept, so a run
    // of frames of one format draws the scene once.
    const RgbImage& AtSize(int width, int height);

  private:
    Kind kind_ = Kind::TestScene;
    RgbImage picture_;
    RgbImage fitted_;
    bool fittedValid_ = false;
};

} // namespace kald::sim
