// kald decode: the built-in scene through the driver's whole frame path,
// pinned by hash with the fast and with the reference pixel kernels; the
// state a capture run carries from frame to frame; frames that do not
// decode; usage errors; and defect correction from a calibration image.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "kald_runner.h"

namespace kald::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr size_t kRawFrameBytes = 116864; // the largest frame file decode takes

struct Size {
    const char* name;
    int width;
    int height;
};

constexpr Size k160x120 = {"160x120", 160, 120};
constexpr Size k176x144 = {"176x144", 176, 144};
constexpr Size k320x240 = {"320x240", 320, 240};
constexpr Size k352x288 = {"352x288", 352, 288};

size_t I420Bytes(const Size& size)
{
    return size_t(size.width) * size_t(size.height) * 3 / 2;
}

// 64-bit FNV-1a.
uint64_t Fnv1a(const std::vector<uint8_t>& bytes)
{
    uint64_t hash = 0xcbf29ce484222325u;
    for (uint8_t b : bytes) {
        hash = (hash ^ b) * 0x100000001b3u;
    }
    return hash;
}

// Sets an environment variable for the kald runs of one scope, then puts
// back what was there.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        ::setenv(name, value, 1);
    }
    ~ScopedEnvironment()
    {
        if (old_) {
            ::setenv(name_, old_->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

class KaldDecodeTest : public KaldTest {
protected:
    // Encodes the built-in scene into `name`.
    void EncodeScene(const Size& size, const std::string& name, const std::string& revision = "0")
    {
        const RunResult result = Kald(
            {"encode", "--size", size.name, "--revision", revision, "--scene", "default", name});
        ASSERT_EQ(result.status, 0) << result.err;
    }

    // A fresh, empty output directory.
    void MakeDirectory(const std::string& name)
    {
        std::filesystem::remove_all(Path(name));
        ASSERT_TRUE(std::filesystem::create_directory(Path(name)));
    }

    // Runs decode of `frames` into a fresh directory `dir`, expecting
    // success; the options go before the frames.
    void Decode(const Size& size, const std::string& dir, const std::vector<std::string>& frames,
                const std::vector<std::string>& options = {})
    {
        MakeDirectory(dir);
        std::vector<std::string> args = {"decode", "--size", size.name, "--out-dir", dir};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), frames.begin(), frames.end());
        const RunResult result = Kald(args);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
    }
};

// Every output is the client's I420 picture; the still latch is never
// raised, so the marker bit (the last Y byte's least significant bit) is 0.
TEST_F(KaldDecodeTest, SceneHashesAreTheSameWithBothKernelSets)
{
    const std::vector<std::string> defaults = {};
    // Sharpness 0 turns the sharpening off; hue 90 is angle index 630, a turn
    // of 315 degrees.
    const std::vector<std::string> controls = {
        "--revision", "2", "--sharpness", "0",  "--brightness", "140", "--contrast", "1500",
        "--gamma",    "3", "--hue",       "90", "--saturation", "50"};
    struct Case {
        Size size;
        const char* revision; // the encoder's
        const std::vector<std::string>& options;
        uint64_t hash; // FNV-1a of the picture
    };
    const Case cases[] = {
        // Registry defaults: sharpness 6, brightness 118, contrast 0, gamma
        // 7, hue 179, saturation 32; revision 0; no defect correction.
        {k160x120, "0", defaults, 0x8f9286e0684d9a89u},
        {k176x144, "0", defaults, 0x926c03a5887f7970u},
        {k320x240, "0", defaults, 0xd81a96a0c728be0fu},
        {k352x288, "0", defaults, 0xbe256be1ed05f899u},
        {k160x120, "2", controls, 0x9dc08d6162a2c052u},
        {k176x144, "2", controls, 0x7a7d5991fa6de3ddu},
        {k320x240, "2", controls, 0xf1200ff29fdc5280u},
        {k352x288, "2", controls, 0x5d10cab72feee302u},
    };
    for (const Case& c : cases) {
        EncodeScene(c.size, "scene.bin", c.revision);
        for (const bool reference : {false, true}) {
            SCOPED_TRACE(std::string(c.size.name) +
                         (c.options.empty() ? " defaults" : " controls") +
                         (reference ? " reference kernels" : " fast kernels"));
            std::optional<ScopedEnvironment> force;
            if (reference) {
                force.emplace("KALD_FORCE_REFERENCE", "1");
            }
            Decode(c.size, "out", {"scene.bin"}, c.options);
            const std::vector<uint8_t> picture = ReadBytes("out/scene.i420");
            ASSERT_EQ(picture.size(), I420Bytes(c.size));
            EXPECT_EQ(Fnv1a(picture), c.hash);
            EXPECT_EQ(picture[size_t(c.size.width) * size_t(c.size.height) - 1] & 1, 0);
        }
    }
}

// What the pinned hashes stand for: the colour bars at the top of the scene
// (75 % white, yellow, cyan, green, magenta, red, blue, black) keep their
// colours. Measured at the middle of each bar, at every size.
TEST_F(KaldDecodeTest, ColourBarsKeepTheirColours)
{
    // Sign of U - 128 and V - 128: -1 below 120, +1 above 136, else 0.
    struct Bar {
        const char* name;
        int u;
        int v;
    };
    const Bar bars[8] = {
        {"white", 0, 0},   {"yellow", -1, 1}, {"cyan", 1, -1}, {"green", -1, -1},
        {"magenta", 1, 1}, {"red", -1, 1},    {"blue", 1, -1}, {"black", 0, 0},
    };
    auto sign = [](int value) { return value < 120 ? -1 : (value > 136 ? 1 : 0); };
    for (const Size& size : {k160x120, k176x144, k320x240, k352x288}) {
        EncodeScene(size, "scene.bin");
        Decode(size, "out", {"scene.bin"});
        const std::vector<uint8_t> picture = ReadBytes("out/scene.i420");
        ASSERT_EQ(picture.size(), I420Bytes(size));
        const size_t w = size_t(size.width);
        const size_t h = size_t(size.height);
        const size_t y = h * 3 / 16; // the bars fill the top 3/8
        for (size_t i = 0; i < 8; ++i) {
            SCOPED_TRACE(std::string(size.name) + " " + bars[i].name);
            const size_t x = w * (2 * i + 1) / 16;
            const size_t chroma = (y / 2) * (w / 2) + x / 2;
            EXPECT_EQ(sign(picture[w * h + chroma]), bars[i].u);
            EXPECT_EQ(sign(picture[w * h * 5 / 4 + chroma]), bars[i].v);
        }
        EXPECT_GT(picture[y * w + w / 16], 192) << size.name << " white";
        EXPECT_LT(picture[y * w + w * 15 / 16], 32) << size.name << " black";
    }
}

// The frames of one run share the driver's decoder state. Small frames move
// the dither phase by one per frame (it repeats every four), so the second of
// two identical small frames differs from the first and matches a first frame
// decoded with --frame-index 1. Large frames of revision 0 carry nothing that
// changes the picture.
TEST_F(KaldDecodeTest, FramesOfARunCarryTheDecoderState)
{
    struct Case {
        Size size;
        bool secondDiffers;
    };
    const Case cases[] = {
        {k160x120, true},
        {k176x144, true},
        {k320x240, false},
        {k352x288, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size.name);
        EncodeScene(c.size, "first.bin");
        WriteBytes("second.bin", ReadBytes("first.bin"));
        Decode(c.size, "run", {"first.bin", "second.bin"});
        const std::vector<uint8_t> first = ReadBytes("run/first.i420");
        const std::vector<uint8_t> second = ReadBytes("run/second.i420");
        ASSERT_EQ(first.size(), I420Bytes(c.size));
        ASSERT_EQ(second.size(), I420Bytes(c.size));
        EXPECT_EQ(first != second, c.secondDiffers);

        Decode(c.size, "alone", {"second.bin"}, {"--frame-index", "1"});
        EXPECT_EQ(ReadBytes("alone/second.i420"), second);
        Decode(c.size, "alone", {"first.bin"}, {"--frame-index", "4"});
        EXPECT_EQ(ReadBytes("alone/first.i420"), first);
    }
}

// Each frame is decoded as if alone in the raw frame buffer: a short small
// frame after a full one reads zeros past its end, not the rest of the frame
// before it.
TEST_F(KaldDecodeTest, EachFrameStartsFromAZeroFilledRawBuffer)
{
    for (const Size& size : {k160x120, k176x144}) {
        SCOPED_TRACE(size.name);
        EncodeScene(size, "full.bin");
        const std::vector<uint8_t> full = ReadBytes("full.bin");
        WriteBytes("short.bin", std::vector<uint8_t>(full.begin(), full.begin() + 4000));
        Decode(size, "run", {"full.bin", "short.bin"});
        Decode(size, "alone", {"short.bin"}, {"--frame-index", "1"});
        EXPECT_EQ(ReadBytes("run/short.i420"), ReadBytes("alone/short.i420"));
        EXPECT_EQ(ReadBytes("run/short.i420").size(), I420Bytes(size));
    }
}

// A frame that does not decode is named on stderr and gets no output; the
// frames around it are decoded and written as they would be alone.
TEST_F(KaldDecodeTest, AFrameThatDoesNotDecodeIsSkipped)
{
    EncodeScene(k320x240, "good1.bin");
    const std::vector<uint8_t> good = ReadBytes("good1.bin");
    WriteBytes("good2.bin", good);
    // The first half of the frame: the row loop runs on into zeros, which
    // are not the end marker.
    WriteBytes("bad.bin", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2));
    MakeDirectory("out");

    const RunResult result = Kald(
        {"decode", "--size", "320x240", "--out-dir", "out", "good1.bin", "bad.bin", "good2.bin"});
    EXPECT_EQ(result.status, 1);
    EXPECT_THAT(result.err, HasSubstr("bad.bin"));
    EXPECT_THAT(result.err, Not(HasSubstr("good1.bin")));
    EXPECT_THAT(result.err, Not(HasSubstr("good2.bin")));
    EXPECT_FALSE(std::filesystem::exists(Path("out/bad.i420")));
    for (const char* name : {"out/good1.i420", "out/good2.i420"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Fnv1a(ReadBytes(name)), 0xd81a96a0c728be0fu); // the default 320x240 scene
    }
    EXPECT_EQ(Listing(), (std::set<std::string>{"good1.bin", "good2.bin", "bad.bin", "out",
                                                "out/good1.i420", "out/good2.i420"}));
}

// Every usage or I/O error exits 2 with a message naming what was wrong (for
// a control, its accepted range), and writes nothing: all inputs are checked
// before the first frame is decoded.
TEST_F(KaldDecodeTest, UsageErrorsExitTwoAndWriteNothing)
{
    EncodeScene(k320x240, "scene.bin");
    WriteBytes("dpc127.bin", std::vector<uint8_t>(127, 0));
    WriteBytes("dpc129.bin", std::vector<uint8_t>(129, 0));
    WriteBytes("big.bin", std::vector<uint8_t>(kRawFrameBytes + 1, 0));
    std::filesystem::create_directory(Path("other"));
    WriteBytes("other/scene.bin", ReadBytes("scene.bin"));
    MakeDirectory("out");

    struct Case {
        const char* name;
        std::vector<std::string> options; // between --size and the frames
        std::vector<std::string> frames;
        const char* stderrHas;
        const char* stderrAlsoHas;
    };
    const std::vector<std::string> scene = {"scene.bin"};
    const Case cases[] = {
        {"unknown size", {"--size", "100x100", "--out-dir", "out"}, scene, "100x100", "--size"},
        {"brightness 256", {"--brightness", "256"}, scene, "--brightness", "0..255"},
        {"brightness not a number", {"--brightness", "dim"}, scene, "--brightness", "dim"},
        {"contrast -1", {"--contrast", "-1"}, scene, "--contrast", "0..3000"},
        {"hue 359", {"--hue", "359"}, scene, "--hue", "0..358"},
        {"sharpness 9", {"--sharpness", "9"}, scene, "--sharpness", "1..8"},
        {"sharpness -1", {"--sharpness", "-1"}, scene, "--sharpness", "1..8"},
        {"gamma 10", {"--gamma", "10"}, scene, "--gamma", "0..9"},
        {"saturation 64", {"--saturation", "64"}, scene, "--saturation", "0..63"},
        {"revision 256", {"--revision", "256"}, scene, "--revision", "0..255"},
        {"frame index -1", {"--frame-index", "-1"}, scene, "--frame-index", "0.."},
        {"missing --out-dir", {"--size", "320x240"}, scene, "--out-dir", "required"},
        {"output directory missing",
         {"--size", "320x240", "--out-dir", "no-such-dir"},
         scene,
         "no-such-dir",
         "directory"},
        {"output directory is a file",
         {"--size", "320x240", "--out-dir", "scene.bin"},
         scene,
         "scene.bin",
         "directory"},
        {"dpc of 127 bytes", {"--dpc", "dpc127.bin"}, scene, "dpc127.bin", "128 bytes"},
        {"dpc of 129 bytes", {"--dpc", "dpc129.bin"}, scene, "dpc129.bin", "128 bytes"},
        {"dpc missing", {"--dpc", "missing.dpc"}, scene, "missing.dpc", "cannot open"},
        {"frame longer than the raw buffer", {}, {"scene.bin", "big.bin"}, "big.bin", "116864"},
        {"missing input after a good one",
         {},
         {"scene.bin", "missing.bin"},
         "missing.bin",
         "cannot open"},
        {"no frames", {}, {}, "FRAME", "required"},
        {"two inputs named alike",
         {},
         {"scene.bin", "other/scene.bin"},
         "other/scene.bin",
         "scene.i420"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"decode"};
        // Cases that do not give --size or --out-dir themselves get good ones.
        bool hasSize = false;
        bool hasOutDir = false;
        for (const std::string& option : c.options) {
            hasSize = hasSize || option == "--size";
            hasOutDir = hasOutDir || option == "--out-dir";
        }
        if (!hasSize && !hasOutDir) {
            args.insert(args.end(), {"--size", "320x240", "--out-dir", "out"});
        }
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), c.frames.begin(), c.frames.end());

        const std::set<std::string> before = Listing();
        const RunResult result = Kald(args);
        EXPECT_EQ(result.status, 2) << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.stderrHas));
        EXPECT_THAT(result.err, HasSubstr(c.stderrAlsoHas));
        EXPECT_EQ(Listing(), before);
    }
}

// --dpc FILE: a calibration image (words 0..63, little-endian) with one
// defect entry repairs that pixel before colour reconstruction, so the
// picture changes only within reach of the reconstruction and sharpening
// around it. An image with no entries, or one that withholds its table,
// changes nothing.
TEST_F(KaldDecodeTest, DefectCorrectionChangesOnlyTheDefectsNeighbourhood)
{
    struct Case {
        const char* name;
        Size size;
        uint16_t count;  // word 18
        uint16_t column; // entry 0: word 22
        uint16_t row;    // word 23
        int x;           // picture pixel of the entry; the change stays within
        int y;           // 4 luma and 2 chroma samples of it
        bool changes;
    };
    const Case cases[] = {
        // Large frames: the mosaic sample (column, row). A green site on the
        // magenta side of the green / magenta bar edge.
        {"large frame", k320x240, 1, 160, 20, 160, 20, true},
        // Small frames: green of column 177 / 2 of picture row (21 - 1) / 2,
        // again on the magenta side of the green / magenta edge.
        {"small frame", k176x144, 1, 177, 21, 88, 10, true},
        {"no entries", k320x240, 0, 160, 20, 160, 20, false},
        {"table withheld", k320x240, 0x8001, 160, 20, 160, 20, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uint16_t words[64] = {};
        words[17] = 0xAA55; // magic
        words[18] = c.count;
        words[22] = c.column;
        words[23] = c.row;
        uint16_t sum = 0;
        for (int i = 18; i < 63; ++i) {
            sum = uint16_t(sum + words[i]);
        }
        words[63] = uint16_t(0x10000 - sum); // words 18..63 sum to 0
        std::vector<uint8_t> image;
        for (uint16_t word : words) {
            image.push_back(uint8_t(word & 0xFF));
            image.push_back(uint8_t(word >> 8));
        }
        WriteBytes("calibration.bin", image);

        EncodeScene(c.size, "scene.bin");
        Decode(c.size, "plain", {"scene.bin"});
        Decode(c.size, "repaired", {"scene.bin"}, {"--dpc", "calibration.bin"});
        const std::vector<uint8_t> plain = ReadBytes("plain/scene.i420");
        const std::vector<uint8_t> repaired = ReadBytes("repaired/scene.i420");
        ASSERT_EQ(plain.size(), I420Bytes(c.size));
        ASSERT_EQ(repaired.size(), I420Bytes(c.size));
        EXPECT_EQ(plain != repaired, c.changes);

        const int w = c.size.width;
        const int h = c.size.height;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const size_t i = size_t(y) * size_t(w) + size_t(x);
                if (plain[i] != repaired[i]) {
                    EXPECT_LE(std::abs(x - c.x), 4) << "Y at " << x << "," << y;
                    EXPECT_LE(std::abs(y - c.y), 4) << "Y at " << x << "," << y;
                }
            }
        }
        const size_t lumaBytes = size_t(w) * size_t(h);
        for (const size_t plane : {lumaBytes, lumaBytes * 5 / 4}) {
            for (int y = 0; y < h / 2; ++y) {
                for (int x = 0; x < w / 2; ++x) {
                    const size_t i = plane + size_t(y) * size_t(w / 2) + size_t(x);
                    if (plain[i] != repaired[i]) {
                        EXPECT_LE(std::abs(x - c.x / 2), 2) << "chroma at " << x << "," << y;
                        EXPECT_LE(std::abs(y - c.y / 2), 2) << "chroma at " << x << "," << y;
                    }
                }
            }
        }
    }
}

} // namespace
} // namespace kald::test
