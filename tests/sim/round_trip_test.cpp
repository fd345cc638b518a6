// The encoders against the driver's decoders: every frame the simulated
// camera sends must decode, and decode to exactly what the encoder believes
// the driver sees.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/camera_context.h"
#include "datapath/decompress.h"
#include "imaging/pipeline_tables.h"
#include "kald_sim/frame_encoder.h"
#include "kald_sim/image.h"

namespace {

using namespace kald::sim;

constexpr uint8_t kLevels[16] = {4, 14, 26, 39, 51, 63, 75, 87, 100, 114, 128, 145, 169, 198, 227, 249};

// The driver's decoders over a freshly built pipeline, fed through a
// zero-filled raw frame buffer of the size the camera library assembles.
class Driver {
public:
    Driver(int width, int height) : width_(width), height_(height)
    {
        ResetPipelineTables();
        EXPECT_EQ(BuildPipelineTables(ULONG(width), ULONG(height), mosaic_.data(), luma_.data()), 1u);
    }

    // Decodes a large frame; on success returns the mosaic, rows top-down.
    bool DecodeLarge(const std::vector<uint8_t>& frame, uint8_t revision, std::vector<uint8_t>& out)
    {
        EXPECT_LE(frame.size(), RAW_FRAME_BYTES);
        const std::vector<uint8_t> raw = Raw(frame);
        if (DecompressLargeFrame(ULONG(width_), ULONG(height_), ULONG(frame.size()), raw.data(),
                                 revision) != 1) {
            return false;
        }
        out.clear();
        for (int y = 0; y < height_; ++y) {
            const UCHAR* row = Pipeline.DecoderRows[y];
            out.insert(out.end(), row, row + width_);
        }
        return true;
    }

    // Decodes a small frame into W x H BGR, rows bottom-up.
    bool DecodeSmall(const std::vector<uint8_t>& frame, std::vector<uint8_t>& out)
    {
        const std::vector<uint8_t> raw = Raw(frame);
        out.assign(size_t(width_) * size_t(height_) * 3, 0xEE);
        return DecompressSmallFrame(ULONG(width_), ULONG(height_), ULONG(frame.size()), raw.data(),
                                    out.data()) != 0;
    }

private:
    static std::vector<uint8_t> Raw(const std::vector<uint8_t>& frame)
    {
        std::vector<uint8_t> raw(RAW_FRAME_BYTES, 0);
        std::copy(frame.begin(), frame.end(), raw.begin());
        return raw;
    }

    int width_, height_;
    std::vector<UCHAR> mosaic_ = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> luma_ = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
};

enum class Input { Scene, FittedScene, Noise, Smooth, Extremes };

const char* Name(Input input)
{
    switch (input) {
    case Input::Scene: return "scene";
    case Input::FittedScene: return "fitted scene";
    case Input::Noise: return "noise";
    case Input::Smooth: return "smooth";
    default: return "extremes";
    }
}

// An RGB picture of the given kind; the random kinds draw from `rng`.
RgbImage Picture(Input input, int width, int height, std::mt19937& rng)
{
    if (input == Input::Scene) {
        return RenderTestScene(width, height);
    }
    if (input == Input::FittedScene) {
        return FitToSize(RenderTestScene(640, 400), width, height);
    }
    RgbImage p(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                uint8_t v;
                if (input == Input::Noise) {
                    v = uint8_t(rng());
                } else if (input == Input::Extremes) {
                    v = (rng() & 1) != 0 ? 255 : 0;
                } else {
                    // A gentle gradient with sensor-like noise of +-3.
                    v = uint8_t(std::clamp(int((x + y + 40 * c) % 256) + int(rng() % 7) - 3, 0, 255));
                }
                p.At(x, y)[c] = v;
            }
        }
    }
    return p;
}

struct LargeCase {
    int width, height;
    uint8_t revision;
};

class LargeRoundTrip : public ::testing::TestWithParam<LargeCase> {};

TEST_P(LargeRoundTrip, DecoderReproducesTheEncodersReconstruction)
{
    const LargeCase c = GetParam();
    std::mt19937 rng(1234u + uint32_t(c.width) + c.revision);
    Driver driver(c.width, c.height);
    LargeFrameEncoder encoder(c.width, c.height, c.revision);
    const Input inputs[] = {Input::Scene, Input::Noise,    Input::Smooth, Input::Extremes,
                            Input::FittedScene, Input::Smooth, Input::Scene, Input::Noise,
                            Input::Extremes, Input::Smooth};
    int framesAfterLevelBlock = 0;
    for (size_t i = 0; i < std::size(inputs); ++i) {
        SCOPED_TRACE(testing::Message() << "frame " << i << " (" << Name(inputs[i]) << ")");
        std::vector<uint8_t> mosaic = MosaicFromRgb(Picture(inputs[i], c.width, c.height, rng));
        if (i % 2 == 1) {
            // Random levels in the last block: only a level block codes them
            // exactly, so the next frame starts after a level block.
            for (size_t x = mosaic.size() - 16; x < mosaic.size(); ++x) {
                mosaic[x] = kLevels[rng() % 16];
            }
        }
        if (encoder.LevelBlockFlag()) {
            ++framesAfterLevelBlock;
        }
        ASSERT_EQ(Pipeline.LevelBlockFlag != 0, encoder.LevelBlockFlag());
        const std::vector<uint8_t> frame =
            encoder.Encode(mosaic, MeasureStatistics(mosaic, c.width, c.height), i % 4);
        std::vector<uint8_t> decoded;
        ASSERT_TRUE(driver.DecodeLarge(frame, c.revision, decoded)) << "frame fails the end test";
        ASSERT_EQ(decoded, encoder.Reconstruction());
        ASSERT_EQ(Pipeline.LevelBlockFlag != 0, encoder.LevelBlockFlag());
    }
    // Frames 2, 4, 6 and 8 at least follow a frame ending in random levels.
    EXPECT_GE(framesAfterLevelBlock, 4);
}

INSTANTIATE_TEST_SUITE_P(AllLargeFormats, LargeRoundTrip,
                         ::testing::Values(LargeCase{320, 240, 0}, LargeCase{320, 240, 2},
                                           LargeCase{352, 288, 0}, LargeCase{352, 288, 2}),
                         [](const testing::TestParamInfo<LargeCase>& param) {
                             return std::to_string(param.param.width) + "x" +
                                    std::to_string(param.param.height) + "_revision" +
                                    std::to_string(param.param.revision);
                         });

TEST(LargeRoundTrip, WorstCasePicturesFitTheRawFrame)
{
    // Full-range noise and black/white noise are the dearest pictures to code.
    std::mt19937 rng(99);
    for (Input input : {Input::Noise, Input::Extremes}) {
        LargeFrameEncoder encoder(352, 288);
        const auto mosaic = MosaicFromRgb(Picture(input, 352, 288, rng));
        EXPECT_LE(encoder.Encode(mosaic, {}).size(), RAW_FRAME_BYTES) << Name(input);
    }
}

class SmallRoundTrip : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(SmallRoundTrip, DecoderReproducesTheEncodersReconstruction)
{
    const auto [width, height] = GetParam();
    std::mt19937 rng(777u + uint32_t(width));
    Driver driver(width, height);
    SmallFrameEncoder encoder(width, height);
    uint32_t decoded = 0; // the driver's small-frame counter
    std::vector<uint8_t> frame;
    for (Input input : {Input::Scene, Input::Noise, Input::FittedScene, Input::Extremes, Input::Smooth}) {
        SCOPED_TRACE(Name(input));
        const RgbImage picture = Picture(input, width, height, rng);
        frame = encoder.Encode(picture, MeasureStatistics(MosaicFromRgb(picture), width, height),
                               decoded % 3);
        std::vector<uint8_t> out;
        ASSERT_TRUE(driver.DecodeSmall(frame, out));
        ASSERT_EQ(out, encoder.Reconstruction(decoded++));
    }
    // The same stream on the following frames: the dither moves on.
    for (int repeat = 0; repeat < 4; ++repeat) {
        std::vector<uint8_t> out;
        ASSERT_TRUE(driver.DecodeSmall(frame, out));
        ASSERT_EQ(out, encoder.Reconstruction(decoded++)) << "repeat " << repeat;
    }
}

INSTANTIATE_TEST_SUITE_P(AllSmallFormats, SmallRoundTrip,
                         ::testing::Values(std::pair{160, 120}, std::pair{176, 144}),
                         [](const testing::TestParamInfo<std::pair<int, int>>& param) {
                             return std::to_string(param.param.first) + "x" +
                                    std::to_string(param.param.second);
                         });

} // namespace
