// How faithfully the simulated camera's frames carry the test scene.
#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <vector>

#include "kald_sim/frame_encoder.h"
#include "kald_sim/image.h"

namespace {

using namespace kald::sim;

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    const double mse = sum / double(a.size());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

TEST(EncoderQuality, LargeFrameOfTheTestScene)
{
    const auto mosaic = MosaicFromRgb(RenderTestScene(352, 288));
    LargeFrameEncoder encoder(352, 288);
    const auto frame = encoder.Encode(mosaic, MeasureStatistics(mosaic, 352, 288));
    const double psnr = Psnr(encoder.Reconstruction(), mosaic);
    RecordProperty("psnr_db", std::to_string(psnr));
    RecordProperty("frame_bytes", std::to_string(frame.size()));
    std::cout << "352x288 test scene: PSNR " << psnr << " dB, " << frame.size() << " bytes\n";
    EXPECT_GT(psnr, 30.0);
}

TEST(EncoderQuality, SmallFrameOfTheTestScene)
{
    const RgbImage scene = RenderTestScene(176, 144);
    SmallFrameEncoder encoder(176, 144);
    encoder.Encode(scene, {});
    // Back to RGB, rows top-down, to compare with the scene.
    const std::vector<uint8_t> bgr = encoder.Reconstruction(0);
    std::vector<uint8_t> rgb(bgr.size());
    for (int y = 0; y < 144; ++y) {
        for (int x = 0; x < 176; ++x) {
            const uint8_t* in = &bgr[size_t(3 * 176 * (143 - y) + 3 * x)];
            uint8_t* out = &rgb[size_t(3 * 176 * y + 3 * x)];
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    }
    std::vector<uint8_t> green, sceneGreen;
    for (size_t i = 1; i < rgb.size(); i += 3) {
        green.push_back(rgb[i]);
        sceneGreen.push_back(scene.pixels[i]);
    }
    const double psnr = Psnr(rgb, scene.pixels);
    const double greenPsnr = Psnr(green, sceneGreen);
    RecordProperty("psnr_db", std::to_string(psnr));
    RecordProperty("green_psnr_db", std::to_string(greenPsnr));
    std::cout << "176x144 test scene: PSNR " << psnr << " dB, green alone " << greenPsnr << " dB\n";
    // Green keeps full resolution and loses only the 6-bit rounding. Red and
    // blue are shared by 2x2 blocks, which wipes out the scene's grey
    // one-pixel detail in those channels (about 11 dB there), so the whole
    // picture scores far lower.
    EXPECT_GT(greenPsnr, 40.0);
    EXPECT_GT(psnr, 16.0);
}

} // namespace
