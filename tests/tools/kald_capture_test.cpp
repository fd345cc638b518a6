// kald capture end to end: the built binary drives a simulated camera
// through the driver and the host stream class. The videos are checked by a
// real ffprobe and the snapshots by libpng; settings travel between
// processes through the registry file; bad arguments leave nothing behind;
// and a lossy bus gives whole frames whose counts the injected faults
// explain.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include <gmock/gmock.h>

#include "kald_runner.h"

namespace kald::test {
namespace {

using ::testing::HasSubstr;

// The exposure controller's target, and how far from it a measurement may
// be before a step moves the exposure.
constexpr int kTargetLuma = 72;
constexpr int kAeTolerance = 8;
// "AGC Step" of a fresh registry.
constexpr int kFreshExposureIndex = 69;

size_t I420Bytes(int width, int height)
{
    return size_t(width) * size_t(height) * 3 / 2;
}

// ffprobe from PATH, or nothing.
std::optional<std::string> FindFfprobe()
{
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t colon = std::min(dirs.find(':', start), dirs.size());
        const std::filesystem::path candidate =
            std::filesystem::path(dirs.substr(start, colon - start)) / "ffprobe";
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
        start = colon + 1;
    }
    return std::nullopt;
}

// What ffprobe says of a video's first stream, decoding every frame.
std::map<std::string, std::string> Probe(const std::string& ffprobe,
                                         const std::filesystem::path& video)
{
    const std::string command = "'" + ffprobe +
                                "' -v error -count_frames -select_streams v:0 -show_entries "
                                "stream=width,height,pix_fmt,nb_read_frames,r_frame_rate -of "
                                "default=noprint_wrappers=1 '" +
                                video.string() + "' 2>&1";
    std::map<std::string, std::string> fields;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return fields;
    }
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        const size_t equals = text.find('=');
        if (equals != std::string::npos) {
            fields[text.substr(0, equals)] = text.substr(equals + 1);
        } else {
            fields["message"] += text;
        }
    }
    EXPECT_EQ(::pclose(pipe), 0) << fields["message"];
    return fields;
}

// The object that follows "key": in a JSON text, braces included; empty
// when there is none.
std::string JsonObject(const std::string& json, const std::string& key)
{
    const size_t at = json.find("\"" + key + "\": {");
    if (at == std::string::npos) {
        return {};
    }
    const size_t open = json.find('{', at);
    int depth = 0;
    for (size_t i = open; i < json.size(); ++i) {
        depth += json[i] == '{' ? 1 : json[i] == '}' ? -1 : 0;
        if (depth == 0) {
            return json.substr(open, i - open + 1);
        }
    }
    return {};
}

// The first number given for "key" in a JSON text; fails the test when
// there is none.
double JsonNumber(const std::string& json, const std::string& key)
{
    const std::string pattern = "\"" + key + "\": ";
    const size_t at = json.find(pattern);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no number for " << key;
        return -1;
    }
    const char* text = json.c_str() + at + pattern.size();
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text) {
        ADD_FAILURE() << key << " is not a number";
        return -1;
    }
    return value;
}

// One record of the stats' "frames" array.
struct FrameEntry {
    uint64_t bytes;
    std::string fate;
    std::optional<double> meanY;
    int aeLuma;
};

// The records, one a line between "frames": [ and the closing bracket.
std::vector<FrameEntry> JsonFrames(const std::string& json)
{
    std::vector<FrameEntry> frames;
    size_t start = json.find("\"frames\": [");
    if (start == std::string::npos) {
        ADD_FAILURE() << "no frames array";
        return frames;
    }
    start = json.find('\n', start) + 1;
    for (;;) {
        const size_t end = json.find('\n', start);
        if (end == std::string::npos) {
            break;
        }
        const std::string line = json.substr(start, end - start);
        start = end + 1;
        if (line.find('{') == std::string::npos) {
            break;
        }
        const size_t fate = line.find("\"fate\": \"");
        if (fate == std::string::npos) {
            ADD_FAILURE() << "a frame without a fate: " << line;
            break;
        }
        const size_t fateStart = fate + 9;
        FrameEntry entry;
        entry.bytes = uint64_t(JsonNumber(line, "bytes"));
        entry.fate = line.substr(fateStart, line.find('"', fateStart) - fateStart);
        if (line.find("\"mean_y\": null") == std::string::npos) {
            entry.meanY = JsonNumber(line, "mean_y");
        }
        entry.aeLuma = int(JsonNumber(line, "ae_luma"));
        frames.push_back(entry);
    }
    return frames;
}

bool IsHex(const std::string& text, size_t at, size_t digits)
{
    if (text.size() < at + digits) {
        return false;
    }
    for (size_t i = at; i < at + digits; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])) ||
            std::islower(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

// "OUT RRRR VVVV" or "IN RRRR BB" (a failed read shows "--"), upper-case hex,
// then nothing or a space and more fields.
bool IsUsbLogLine(const std::string& text)
{
    size_t end = 0;
    if (text.rfind("OUT ", 0) == 0) {
        if (!IsHex(text, 4, 4) || text.size() < 13 || text[8] != ' ' || !IsHex(text, 9, 4)) {
            return false;
        }
        end = 13;
    } else if (text.rfind("IN ", 0) == 0) {
        if (!IsHex(text, 3, 4) || text.size() < 10 || text[7] != ' ' ||
            !(IsHex(text, 8, 2) || text.compare(8, 2, "--") == 0)) {
            return false;
        }
        end = 10;
    } else {
        return false;
    }
    return text.size() == end || (text[end] == ' ' && text.size() > end + 1);
}

class KaldCaptureTest : public KaldTest {
  protected:
    std::string ReadText(const std::string& name) const
    {
        const std::vector<uint8_t> bytes = ReadBytes(name);
        return {bytes.begin(), bytes.end()};
    }
};

// Every size through the whole stack: a video ffprobe decodes with the size,
// pixel format and frame count of the run, and a snapshot that is the last
// frame seen in RGB. The 352x288 run takes every default (90 frames to
// capture.y4m and snapshot.png). Each run starts from a fresh registry, and
// --light 1 means the starting exposure meets the controller's target at
// the camera's frame rate, so the controller stays where it started.
TEST_F(KaldCaptureTest, EverySizeGivesAVideoFfprobeReadsAndItsLastFrameAsPng)
{
    struct Files {
        std::string video, snapshot, stats; // in the scratch directory
    };
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int width, height;
        unsigned fps;
        uint64_t minFrames, maxFrames;
        Files files;
    };
    std::filesystem::create_directory(Path("sub"));
    // clang-format off
    const Case cases[] = {
        {"352x288 with every default", {"--stats", "s352.json"}, 352, 288, 15, 90, 90,
         {"capture.y4m", "snapshot.png", "s352.json"}},
        {"320x240 by frames",
         {"--size", "320x240", "--frames", "12", "--out", "v320.y4m", "--snapshot", "p320.png",
          "--stats", "s320.json"},
         320, 240, 15, 12, 12, {"v320.y4m", "p320.png", "s320.json"}},
        // 10 of the camera's 30 frames/s for 3 s of camera time, less the
        // start (skipped packets and the first, collected frame).
        {"176x144 at 10 frames/s by camera time",
         {"--size", "176x144", "--fps", "10", "--seconds", "3", "--out", "v176.y4m", "--snapshot",
          "p176.png", "--stats", "s176.json"},
         176, 144, 10, 26, 30, {"v176.y4m", "p176.png", "s176.json"}},
        {"160x120 into --out-dir",
         {"--size", "160x120", "--frames", "12", "--out-dir", "sub", "--out", "v160.y4m",
          "--snapshot", "p160.png", "--stats", "s160.json"},
         160, 120, 30, 12, 12, {"sub/v160.y4m", "sub/p160.png", "sub/s160.json"}},
    };
    // clang-format on
    const std::optional<std::string> ffprobe = FindFfprobe();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"capture", "--registry",
                                         std::string("fresh") + std::to_string(c.width) + ".reg"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult result = Kald(args);
        ASSERT_EQ(result.status, 0) << result.err;

        const std::string stats = ReadText(c.files.stats);
        const uint64_t delivered = uint64_t(JsonNumber(stats, "frames_delivered"));
        EXPECT_GE(delivered, c.minFrames);
        EXPECT_LE(delivered, c.maxFrames);
        EXPECT_THAT(result.out, HasSubstr("frames delivered       " + std::to_string(delivered)));
        EXPECT_EQ(JsonNumber(stats, "frames_replaced"), 0);
        EXPECT_EQ(JsonNumber(stats, "frames_failed"), 0);
        EXPECT_EQ(JsonNumber(stats, "frames_dropped"), 0);
        EXPECT_NEAR(JsonNumber(stats, "exposure_index"), kFreshExposureIndex, 1);
        const std::vector<FrameEntry> frames = JsonFrames(stats);
        ASSERT_EQ(frames.size(), delivered);
        for (const FrameEntry& frame : frames) {
            EXPECT_EQ(frame.bytes, I420Bytes(c.width, c.height));
            EXPECT_NEAR(frame.aeLuma, kTargetLuma, kAeTolerance);
        }

        // The YUV4MPEG2 stream: its header, then FRAME and a picture for
        // each delivered frame.
        const std::vector<uint8_t> video = ReadBytes(c.files.video);
        const std::string header = "YUV4MPEG2 W" + std::to_string(c.width) + " H" +
                                   std::to_string(c.height) + " F" + std::to_string(c.fps) +
                                   ":1 Ip A1:1 C420jpeg";
        ASSERT_GE(video.size(), header.size());
        EXPECT_EQ(std::string(video.begin(), video.begin() + long(header.size())), header);
        const size_t headerBytes =
            size_t(std::find(video.begin(), video.end(), '\n') - video.begin()) + 1;
        const size_t frameBytes = I420Bytes(c.width, c.height);
        ASSERT_EQ(video.size(), headerBytes + delivered * (6 + frameBytes));

        if (ffprobe) {
            std::map<std::string, std::string> probed = Probe(*ffprobe, Path(c.files.video));
            EXPECT_EQ(probed["width"], std::to_string(c.width));
            EXPECT_EQ(probed["height"], std::to_string(c.height));
            EXPECT_THAT(probed["pix_fmt"], ::testing::AnyOf("yuv420p", "yuvj420p"));
            EXPECT_EQ(probed["nb_read_frames"], std::to_string(delivered));
            EXPECT_EQ(probed["r_frame_rate"], std::to_string(c.fps) + "/1");
        }

        // The snapshot is the last frame in RGB: the JFIF conversion of its
        // full-range planes, and a picture rather than a flat field.
        const Picture snapshot = ReadPng(c.files.snapshot);
        ASSERT_EQ(snapshot.width, c.width);
        ASSERT_EQ(snapshot.height, c.height);
        const uint8_t* lastY = video.data() + video.size() - frameBytes;
        const uint8_t* lastU = lastY + size_t(c.width) * size_t(c.height);
        const uint8_t* lastV = lastU + size_t(c.width) * size_t(c.height) / 4;
        const auto clamp = [](double v) { return std::clamp(v, 0.0, 255.0); };
        double frameLuma = 0;
        int worst = 0;
        int lowest = 255;
        int highest = 0;
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                const double luma = lastY[size_t(y) * size_t(c.width) + size_t(x)];
                const size_t chroma = size_t(y / 2) * size_t(c.width / 2) + size_t(x / 2);
                const double u = lastU[chroma] - 128.0;
                const double v = lastV[chroma] - 128.0;
                const double expected[3] = {clamp(luma + 1.402 * v),
                                            clamp(luma - 0.344136 * u - 0.714136 * v),
                                            clamp(luma + 1.772 * u)};
                const uint8_t* rgb = snapshot.At(x, y);
                for (int i = 0; i < 3; ++i) {
                    worst = std::max(worst, int(std::abs(rgb[i] - expected[i])));
                }
                frameLuma += luma;
                lowest = std::min<int>(lowest, rgb[1]);
                highest = std::max<int>(highest, rgb[1]);
            }
        }
        EXPECT_LE(worst, 1);
        const double pixels = double(c.width) * c.height;
        EXPECT_NEAR(frameLuma / pixels, frames.back().meanY.value_or(-1), 0.01);
        EXPECT_GT(highest - lowest, 150);
    }
    if (!ffprobe) {
        GTEST_SKIP() << "ffprobe is not installed; the videos were checked without it";
    }
}

// A stored control reaches the next process through the registry file; a
// control that is not stored holds for its run only, while a stored one
// set by capture --set stays.
TEST_F(KaldCaptureTest, SettingsTravelBetweenProcessesThroughTheRegistryFile)
{
    const bool haveCtrl = Kald({"ctrl", "--help"}).status == 0;
    const RunResult set =
        haveCtrl
            ? Kald({"ctrl", "--registry", "r.reg", "--set", "brightness=150"})
            : Kald({"capture", "--registry", "r.reg", "--frames", "2", "--set", "brightness=150"});
    ASSERT_EQ(set.status, 0) << set.err;

    RunResult run = Kald({"capture", "--registry", "r.reg", "--frames", "3", "--stats", "a.json"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string controls = JsonObject(ReadText("a.json"), "controls");
    EXPECT_EQ(JsonNumber(controls, "brightness"), 150);
    EXPECT_EQ(JsonNumber(controls, "auto-exposure"), 1);

    // Gain holds for the run in which it is set (with automatic exposure
    // off, which is stored).
    run = Kald({"capture", "--registry", "r.reg", "--frames", "3", "--stats", "b.json", "--set",
                "auto-exposure=0", "--set", "gain=30"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string stats = ReadText("b.json");
    EXPECT_EQ(JsonNumber(stats, "gain"), 30) << "the gain the run reached";
    EXPECT_EQ(JsonNumber(JsonObject(stats, "controls"), "auto-exposure"), 0);

    run = Kald({"capture", "--registry", "r.reg", "--frames", "3", "--stats", "c.json"});
    ASSERT_EQ(run.status, 0) << run.err;
    stats = ReadText("c.json");
    controls = JsonObject(stats, "controls");
    EXPECT_EQ(JsonNumber(controls, "auto-exposure"), 0);
    EXPECT_EQ(JsonNumber(controls, "brightness"), 150);
    EXPECT_NE(JsonNumber(stats, "gain"), 30) << "the stored exposure's gain, not the last run's";
}

// Every bad argument is caught before the camera runs: exit status 2, a
// message naming it, and the directory as it was (an existing output and a
// damaged registry file untouched, no temporary file).
TEST_F(KaldCaptureTest, BadArgumentsExitTwoAndWriteNothing)
{
    WriteBytes("capture.y4m", {'o', 'l', 'd'});
    WriteBytes("damaged.reg", {'n', 'o', 't', ' ', 'a', ' ', 'r', 'e', 'g', '\n'});
    WriteBytes("notpng.txt", {'h', 'i', '\n'});
    std::filesystem::create_directory(Path("shot.png"));
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* stderrHas;
    };
    const Case cases[] = {
        {"unknown control", {"--set", "frobs=1"}, "frobs"},
        {"control value out of range", {"--set", "brightness=300"}, "brightness"},
        {"control value not a number", {"--set", "gamma=high"}, "gamma"},
        {"unknown size", {"--size", "640x480"}, "640x480"},
        {"rate beyond the size's fastest", {"--fps", "16"}, "--fps"},
        {"rate of zero", {"--size", "176x144", "--fps", "0"}, "--fps"},
        {"no frames", {"--frames", "0"}, "--frames"},
        {"frames and seconds", {"--frames", "5", "--seconds", "1"}, "--seconds"},
        {"no camera time", {"--seconds", "0"}, "--seconds"},
        {"negative light", {"--light", "-1"}, "--light"},
        {"colour temperature out of range", {"--colour-temp", "100"}, "--colour-temp"},
        {"mains frequency", {"--flicker", "55"}, "--flicker"},
        {"fault probability above 1", {"--faults", "loss=2"}, "loss=2"},
        {"unknown fault", {"--faults", "bogus=0.1"}, "bogus"},
        {"fault without a value", {"--faults", "loss"}, "loss"},
        {"fault given twice", {"--faults", "loss=0.1,loss=0.2"}, "twice"},
        {"missing scene picture", {"--scene", "missing.png"}, "missing.png"},
        {"scene that is no PNG", {"--scene", "notpng.txt"}, "notpng.txt"},
        {"unwritable output", {"--out", "nodir/x.y4m"}, "nodir/x.y4m"},
        {"output is a directory", {"--snapshot", "shot.png"}, "directory"},
        {"unknown video extension", {"--out", "capture.mp4"}, "capture.mp4"},
        {"unwritable stats", {"--stats", "nodir/s.json"}, "nodir/s.json"},
        {"unwritable USB log", {"--usb-log", "nodir/usb.log"}, "nodir/usb.log"},
        {"missing output directory", {"--out-dir", "nodir"}, "nodir"},
        {"two outputs in one file", {"--out", "a.y4m", "--stats", "a.y4m"}, "a.y4m"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"capture", "--registry", "r.reg"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const std::set<std::string> before = Listing();
        const RunResult result = Kald(args);
        EXPECT_EQ(result.status, 2) << result.err;
        EXPECT_THAT(result.err, HasSubstr(c.stderrHas));
        EXPECT_THAT(result.err, HasSubstr("kald capture"));
        EXPECT_EQ(Listing(), before);
    }

    // The registry file: damaged, or in a directory that is not there.
    const std::set<std::string> before = Listing();
    RunResult result = Kald({"capture", "--registry", "damaged.reg"});
    EXPECT_EQ(result.status, 2);
    EXPECT_THAT(result.err, HasSubstr("registry"));
    result = Kald({"capture", "--registry", "nodir/r.reg"});
    EXPECT_EQ(result.status, 2);
    EXPECT_THAT(result.err, HasSubstr("nodir"));
    EXPECT_EQ(Listing(), before);
    EXPECT_EQ(ReadText("capture.y4m"), "old");
    EXPECT_EQ(ReadText("damaged.reg"), "not a reg\n");
}

// Ten seconds of camera time with 1% of the packets lost: every frame that
// comes back with a picture is whole, and the counts add up. A damaged read
// (replaced by the saved frame, or not decoding) comes from a frame the
// camera counted as hit; camera frames that never came back as a read are
// the start of the run (skipped packets, the collected first frame), the
// frame in flight at the end, and frames merged into the one before them
// when their start packet was lost. The USB log has the run's control
// transfers in order, the stream switched on and off among them.
TEST_F(KaldCaptureTest, PacketLossKeepsFramesWholeAndTheCountsAddUp)
{
    const RunResult result =
        Kald({"capture", "--registry", "r.reg", "--seconds", "10", "--faults", "loss=0.01,seed=7",
              "--out", "lossy.yuv", "--stats", "lossy.json", "--usb-log", "usb.log"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr("faults injected"));

    const std::string stats = ReadText("lossy.json");
    const uint64_t delivered = uint64_t(JsonNumber(stats, "frames_delivered"));
    const uint64_t replaced = uint64_t(JsonNumber(stats, "frames_replaced"));
    const uint64_t failed = uint64_t(JsonNumber(stats, "frames_failed"));
    const std::string injected = JsonObject(stats, "faults_injected");
    const uint64_t hitFrames = uint64_t(JsonNumber(injected, "frames_with_faults"));
    const uint64_t started = uint64_t(JsonNumber(JsonObject(stats, "camera"), "frames_started"));
    EXPECT_GT(JsonNumber(injected, "loss"), 0);
    for (const char* other : {"repeat", "reorder", "truncate", "empty", "corrupt"}) {
        EXPECT_EQ(JsonNumber(injected, other), 0) << other;
    }
    EXPECT_EQ(JsonNumber(stats, "frames_dropped"), 0) << "reads are always queued";

    const std::vector<FrameEntry> frames = JsonFrames(stats);
    ASSERT_EQ(frames.size(), delivered + failed);
    std::map<std::string, uint64_t> fates;
    for (const FrameEntry& frame : frames) {
        ++fates[frame.fate];
        if (frame.fate == "failed") {
            EXPECT_EQ(frame.bytes, 0u);
            EXPECT_FALSE(frame.meanY);
        } else {
            EXPECT_EQ(frame.bytes, I420Bytes(352, 288)) << "a delivered frame is whole";
            EXPECT_TRUE(frame.meanY);
        }
    }
    EXPECT_EQ(fates["replaced"], replaced);
    EXPECT_EQ(fates["failed"], failed);
    EXPECT_EQ(ReadBytes("lossy.yuv").size(), delivered * I420Bytes(352, 288));

    EXPECT_GT(replaced, 0u);
    EXPECT_LE(replaced + failed, hitFrames);
    EXPECT_GE(replaced + failed, hitFrames / 2) << "most hit frames come back damaged";
    const uint64_t reads = delivered + failed;
    EXPECT_GE(started, reads);
    EXPECT_LE(started - reads, hitFrames + 6);
    EXPECT_GE(reads, 100u) << "ten seconds at 15 frames/s";

    // The diagnostics as they stood at the end of the run, all twelve ids.
    const std::string diagnostics = JsonObject(stats, "diagnostics");
    for (const char* name : {"traffic", "packet-error", "frame-error", "configuration", "build",
                             "exposure", "white-balance"}) {
        EXPECT_THAT(diagnostics, HasSubstr(std::string("\"") + name + "\"")) << name;
    }

    const std::string log = ReadText("usb.log");
    size_t lines = 0;
    size_t streamOn = std::string::npos;
    size_t streamOff = std::string::npos;
    size_t start = 0;
    while (start < log.size()) {
        const size_t end = log.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "the log ends with a whole line";
        const std::string text = log.substr(start, end - start);
        EXPECT_TRUE(IsUsbLogLine(text)) << text;
        if (text == "OUT 8112 0030") {
            streamOn = lines;
        } else if (text == "OUT 8112 0000" && streamOn != std::string::npos) {
            streamOff = lines;
        }
        ++lines;
        start = end + 1;
    }
    EXPECT_EQ(lines, uint64_t(JsonNumber(JsonObject(stats, "camera"), "control_transfers")));
    ASSERT_NE(streamOn, std::string::npos) << "the stream was switched on";
    EXPECT_NE(streamOff, std::string::npos) << "and off after that";
}

} // namespace
} // namespace kald::test
