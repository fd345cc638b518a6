// Frames through the kald binary: pictures and the built-in scene encoded and
// inspected again, and hand-made frames whose previews are known exactly.
#include <cstdlib>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>

#include "kald_runner.h"

namespace kald::test {
namespace {

using ::testing::HasSubstr;

constexpr size_t kHeaderBytes = 16;
constexpr size_t kRawFrameBytes = 116864;

struct Rgb {
    int r, g, b;
};

struct SizeCase {
    const char* size;
    int width, height;               // the frame
    int previewWidth, previewHeight; // half size for the mosaic frames
};

constexpr SizeCase kSizes[] = {
    {"160x120", 160, 120, 160, 120},
    {"176x144", 176, 144, 176, 144},
    {"320x240", 320, 240, 160, 120},
    {"352x288", 352, 288, 176, 144},
};

class KaldRoundTripTest : public KaldTest {
protected:
    // Encodes with `encodeArgs`, inspects the frame and returns the preview.
    Picture EncodeAndInspect(const SizeCase& size, std::vector<std::string> encodeArgs,
                             const std::string& revision = "0")
    {
        std::vector<std::string> encode = {"encode", "--size", size.size, "--revision", revision};
        encode.insert(encode.end(), encodeArgs.begin(), encodeArgs.end());
        encode.push_back("frame.bin");
        const RunResult encoded = Kald(encode);
        EXPECT_EQ(encoded.status, 0) << encoded.err;
        const size_t frameBytes = ReadBytes("frame.bin").size();
        EXPECT_GT(frameBytes, kHeaderBytes);
        EXPECT_LE(frameBytes, kRawFrameBytes);

        const RunResult inspected = Kald({"inspect", "--size", size.size, "--revision", revision,
                                          "frame.bin", "--png", "preview.png"});
        EXPECT_EQ(inspected.status, 0) << inspected.err;
        EXPECT_EQ(inspected.err, "");
        const Picture preview = ReadPng("preview.png");
        EXPECT_EQ(preview.width, size.previewWidth);
        EXPECT_EQ(preview.height, size.previewHeight);
        return preview;
    }
};

TEST_F(KaldRoundTripTest, SceneAtEverySizeAndRevision)
{
    for (const SizeCase& size : kSizes) {
        for (const char* revision : {"0", "2"}) {
            SCOPED_TRACE(std::string(size.size) + " revision " + revision);
            const Picture preview = EncodeAndInspect(size, {"--scene", "default"}, revision);
            if (preview.rgb.empty()) {
                continue;
            }
            // The scene has colour bars and gradients: a preview of one flat
            // colour means the decode went wrong.
            std::set<std::tuple<int, int, int>> colours;
            for (int y = 0; y < preview.height; ++y) {
                for (int x = 0; x < preview.width; ++x) {
                    const uint8_t* p = preview.At(x, y);
                    colours.insert({p[0], p[1], p[2]});
                }
            }
            EXPECT_GT(colours.size(), 50u);
        }
    }
}

// A picture of four flat quadrants keeps its colours, in place, through every
// size: the encoders are lossy, but flat areas come back within a few levels.
TEST_F(KaldRoundTripTest, PictureKeepsItsColoursInPlace)
{
    constexpr int kWidth = 64;
    constexpr int kHeight = 48;
    const Rgb topLeft = {200, 40, 40};
    const Rgb topRight = {40, 200, 40};
    const Rgb bottomLeft = {40, 40, 200};
    const Rgb bottomRight = {200, 200, 200};
    std::vector<uint8_t> pixels;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const Rgb& c = y < kHeight / 2 ? (x < kWidth / 2 ? topLeft : topRight)
                                           : (x < kWidth / 2 ? bottomLeft : bottomRight);
            pixels.insert(pixels.end(), {uint8_t(c.r), uint8_t(c.g), uint8_t(c.b)});
        }
    }
    WritePng("quadrants.png", kWidth, kHeight, pixels);

    for (const SizeCase& size : kSizes) {
        SCOPED_TRACE(size.size);
        const Picture preview = EncodeAndInspect(size, {"quadrants.png"});
        if (preview.rgb.empty()) {
            continue;
        }
        const struct {
            int x, y;
            Rgb expected;
        } probes[] = {
            {preview.width / 4, preview.height / 4, topLeft},
            {preview.width * 3 / 4, preview.height / 4, topRight},
            {preview.width / 4, preview.height * 3 / 4, bottomLeft},
            {preview.width * 3 / 4, preview.height * 3 / 4, bottomRight},
        };
        for (const auto& probe : probes) {
            SCOPED_TRACE("at " + std::to_string(probe.x) + "," + std::to_string(probe.y));
            const uint8_t* p = preview.At(probe.x, probe.y);
            EXPECT_NEAR(p[0], probe.expected.r, 12);
            EXPECT_NEAR(p[1], probe.expected.g, 12);
            EXPECT_NEAR(p[2], probe.expected.b, 12);
        }
    }
}

TEST_F(KaldRoundTripTest, GreyPictureIsAccepted)
{
    WritePng("grey.png", 8, 6, std::vector<uint8_t>(8 * 6, 128), /*grey=*/true);
    const Picture preview = EncodeAndInspect(kSizes[2], {"grey.png"});
    ASSERT_FALSE(preview.rgb.empty());
    const uint8_t* p = preview.At(80, 60);
    EXPECT_NEAR(p[0], 128, 8);
    EXPECT_NEAR(p[1], 128, 8);
    EXPECT_NEAR(p[2], 128, 8);
}

// A large frame whose rows 0 and 1 repeat one Bayer quad and whose other rows
// repeat it through zero residuals: G1 B on even rows, R G2 on odd rows, and
// statistics bytes 1..8 in the header.
std::vector<uint8_t> FlatLargeFrame(int width, int height, int g1, int b, int r, int g2)
{
    std::vector<uint8_t> literal(kHeaderBytes + 2 * size_t(width), 0);
    for (int i = 0; i < 8; ++i) {
        literal[6 + size_t(i)] = uint8_t(i + 1);
    }
    for (int x = 0; x < width; ++x) {
        literal[kHeaderBytes + size_t(x)] = uint8_t(x % 2 == 0 ? g1 : b);
        literal[kHeaderBytes + size_t(width + x)] = uint8_t(x % 2 == 0 ? r : g2);
    }
    BitWriter bits(literal);
    for (int row = 2; row < height; ++row) {
        for (int block = 0; block < width / 16; ++block) {
            bits.Put(0, 1); // predictive block
            if (block == 0) {
                bits.Put(uint32_t(row % 2 == 0 ? g1 : r), 8); // literal pixels 0 and 1
                bits.Put(uint32_t(row % 2 == 0 ? b : g2), 8);
            }
            for (int pixel = block == 0 ? 2 : 0; pixel < 16; ++pixel) {
                bits.Put(0, 1); // residual 0
            }
        }
    }
    bits.Put(0x90, 8); // end marker
    return bits.Bytes();
}

TEST_F(KaldRoundTripTest, HandMadeLargeFrameGivesOnePixelPerQuad)
{
    for (const SizeCase& size : {kSizes[2], kSizes[3]}) {
        SCOPED_TRACE(size.size);
        // G1 10, B 30, R 200, G2 21: every preview pixel is R 200,
        // G (10 + 21) / 2 rounded up = 16, B 30.
        WriteBytes("flat.bin", FlatLargeFrame(size.width, size.height, 10, 30, 200, 21));
        const RunResult result =
            Kald({"inspect", "--size", size.size, "flat.bin", "--png", "flat.png"});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_THAT(result.out, HasSubstr("statistics set B 1 2 3 4, set A 5 6 7 8"));
        const Picture preview = ReadPng("flat.png");
        ASSERT_EQ(preview.width, size.previewWidth);
        ASSERT_EQ(preview.height, size.previewHeight);
        int wrong = 0;
        for (int y = 0; y < preview.height; ++y) {
            for (int x = 0; x < preview.width; ++x) {
                const uint8_t* p = preview.At(x, y);
                wrong += p[0] != 200 || p[1] != 16 || p[2] != 30;
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

// A small frame of constant samples: green 10, red 20, blue 30 (stored times
// four: 40, 80, 120), plus the first frame's dither.
std::vector<uint8_t> FlatSmallFrame(int width, int height)
{
    BitWriter bits(std::vector<uint8_t>(kHeaderBytes, 0));
    for (int row = 0; row < height; row += 2) {
        for (int x = 0; x < width; ++x) {
            bits.Put(10, 6); // green of the even row
        }
        for (int block = 0; block < width / 2; ++block) {
            bits.Put(20, 6); // red of the 2x2 block
        }
        for (int block = 0; block < width / 2; ++block) {
            bits.Put(10, 6); // green of the odd row, two pixels
            bits.Put(10, 6);
            bits.Put(30, 6); // blue of the 2x2 block
        }
    }
    return bits.Bytes();
}

TEST_F(KaldRoundTripTest, HandMadeSmallFrameIsShownTopDownAsRgb)
{
    struct Probe {
        int x, y;
        Rgb expected; // 80, 40, 120 plus the dither of pixel x, row y, phase y mod 4
    };
    const struct {
        SizeCase size;
        std::vector<Probe> probes;
    } cases[] = {
        {kSizes[0],
         {{0, 0, {82, 43, 120}},
          {1, 0, {80, 41, 122}},
          {0, 1, {81, 42, 123}},
          {5, 2, {81, 40, 123}},
          {0, 119, {83, 40, 121}},
          {159, 119, {83, 42, 121}}}},
        {kSizes[1],
         {{0, 0, {82, 43, 120}},
          {1, 0, {80, 41, 122}},
          {0, 1, {81, 42, 123}},
          {5, 2, {81, 40, 123}},
          {0, 143, {83, 40, 121}},
          {175, 143, {81, 40, 123}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size.size);
        const std::vector<uint8_t> frame = FlatSmallFrame(c.size.width, c.size.height);
        // 6 bits per sample, 1.5 samples per pixel.
        ASSERT_EQ(frame.size(), kHeaderBytes + size_t(c.size.width * c.size.height) * 9 / 8);
        WriteBytes("flat.bin", frame);
        const RunResult result =
            Kald({"inspect", "--size", c.size.size, "flat.bin", "--png", "flat.png"});
        ASSERT_EQ(result.status, 0) << result.err;
        const Picture preview = ReadPng("flat.png");
        ASSERT_EQ(preview.width, c.size.width);
        ASSERT_EQ(preview.height, c.size.height);
        for (const Probe& probe : c.probes) {
            SCOPED_TRACE("at " + std::to_string(probe.x) + "," + std::to_string(probe.y));
            const uint8_t* p = preview.At(probe.x, probe.y);
            EXPECT_EQ(p[0], probe.expected.r);
            EXPECT_EQ(p[1], probe.expected.g);
            EXPECT_EQ(p[2], probe.expected.b);
        }
    }
}

} // namespace
} // namespace kald::test
