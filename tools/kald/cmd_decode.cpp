// kald decode: runs compacted frames through the driver's whole frame path
// (decode, defect correction, colour reconstruction with sharpening, copy to
// the client buffer, tone and colour tables, still marker) and writes the
// I420 pictures a client would receive.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "autocontrol/tone_tables.h"
#include "core/camera_context.h"
#include "datapath/frame_pipeline.h"
#include "file_io.h"
#include "frame_size.h"
#include "imaging/pipeline_tables.h"
#include "subcommand.h"
#include "tool_error.h"

namespace kald::tool {
namespace {

// The picture controls. The defaults are the built-in registry defaults the
// driver starts from on a camera that has never been configured.
struct DecodeControls {
    long long sharpness = 6;
    long long brightness = 118;
    long long contrast = 0;
    long long gamma = 7;
    long long hue = 179; // 0..358; the driver turns it into a hue angle index
    long long saturation = 32;
};

struct DecodeOptions {
    std::string size;
    long long revision = 0;
    long long frameIndex = 0;
    DecodeControls controls;
    std::string dpc;
    std::string outDir;
    std::vector<std::string> frames;
};

// One control's accepted values, as the driver's control dispatcher checks
// them; `note` explains a value the tool accepts beyond the driver's range.
struct ControlRange {
    const char* option;
    long long value;
    long long minimum;
    long long maximum;
    const char* note;
};

void CheckRanges(const DecodeOptions& options)
{
    const DecodeControls& c = options.controls;
    const ControlRange ranges[] = {
        {"--revision", options.revision, 0, 255, ""},
        {"--frame-index", options.frameIndex, 0, 0xFFFFFFFF, ""}, // the driver's ULONG counter
        {"--sharpness", c.sharpness, 0, 8, "1..8, or 0 for no sharpening"},
        {"--brightness", c.brightness, 0, 255, ""},
        {"--contrast", c.contrast, 0, 3000, ""},
        {"--gamma", c.gamma, 0, 9, ""},
        {"--hue", c.hue, 0, 358, ""},
        {"--saturation", c.saturation, 0, 63, ""},
    };
    for (const ControlRange& range : ranges) {
        if (range.value < range.minimum || range.value > range.maximum) {
            const std::string accepted =
                *range.note != '\0'
                    ? std::string(range.note)
                    : std::to_string(range.minimum) + ".." + std::to_string(range.maximum);
            throw UsageError(std::string(range.option) + " " + std::to_string(range.value) +
                             " is out of range (" + accepted + ")");
        }
    }
}

// A frame file read and named before any decoding starts.
struct InputFrame {
    std::string path;
    std::string name; // file name without its extension
    std::vector<uint8_t> bytes;
};

std::vector<InputFrame> ReadInputs(const std::vector<std::string>& paths)
{
    std::vector<InputFrame> inputs;
    std::map<std::string, std::string> pathByName;
    for (const std::string& path : paths) {
        const std::string name = std::filesystem::path(path).stem().string();
        if (name.empty()) {
            throw UsageError("'" + path + "' names no file");
        }
        const auto [other, added] = pathByName.emplace(name, path);
        if (!added) {
            throw UsageError("'" + other->second + "' and '" + path +
                             "' would both be written as '" + name + ".i420'");
        }
        inputs.push_back({path, name, {}});
    }
    for (InputFrame& input : inputs) {
        input.bytes = ReadFileBytes(input.path, RAW_FRAME_BYTES, "the raw frame buffer");
    }
    return inputs;
}

DpcTable ReadDpcTable(const std::string& path)
{
    DpcTable table{};
    const std::vector<uint8_t> bytes = ReadFileBytes(path, sizeof table, "a calibration image");
    if (bytes.size() != sizeof table) {
        throw UsageError("'" + path + "' is " + std::to_string(bytes.size()) +
                         " bytes; a calibration image is " + std::to_string(sizeof table) +
                         " bytes (words 0..63, little-endian)");
    }
    for (ULONG i = 0; i < DPC_TABLE_WORDS; ++i) {
        table.Words[i] = USHORT(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return table;
}

void CheckOutputDirectory(const std::string& dir)
{
    std::error_code error;
    if (!std::filesystem::is_directory(dir, error)) {
        throw UsageError("output directory '" + dir + "' does not exist or is not a directory");
    }
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        throw UsageError("cannot write into output directory '" + dir + "'");
    }
}

// The device record and working buffers of one camera, with the driver-wide
// decoder and tone state started fresh for a capture run at this size. The
// driver-wide state is reset again when the run ends, since it points into
// these buffers.
class CaptureRun {
public:
    CaptureRun(const FrameSize& size, const DecodeOptions& options,
               const std::optional<DpcTable>& dpc)
        : width_(ULONG(size.width)), height_(ULONG(size.height))
    {
        ResetPipelineTables();
        ResetToneTables();

        const DecodeControls& c = options.controls;
        context_.RawLineBuffer = rawLines_.data();
        context_.LumaWorkBuffer = lumaLines_.data();
        context_.WorkBufferA = workA_.data();
        context_.WorkBufferB = workB_.data();
        context_.SavedFrameBuffer = saved_.data();
        context_.SavedFrameCapacity = SAVED_FRAME_BYTES;
        context_.FrameWidth = width_;
        context_.FrameHeight = height_;
        context_.FrameFourCC = FOURCC_I420;
        context_.CameraRevision = UCHAR(options.revision);
        context_.Brightness = LONG(c.brightness);
        context_.Contrast = LONG(c.contrast);
        context_.Gamma = ULONG(c.gamma);
        context_.HueAngleIndex = LONG((c.hue + 540) % 720);
        context_.Saturation = LONG(c.saturation);
        context_.Sharpness = LONG(c.sharpness);
        context_.CameraSettings.DpcState = dpc ? 1 : 0;
        if (dpc) {
            context_.DpcTable = *dpc;
        }

        if (!BuildPipelineTables(width_, height_, rawLines_.data(), lumaLines_.data())) {
            throw std::logic_error("the driver cannot build its tables for this frame size");
        }
        Pipeline.SmallFrameCounter = ULONG(options.frameIndex);
        RebuildToneTables(context_.Brightness, context_.Contrast, LONG(context_.Gamma),
                          context_.HueAngleIndex, context_.Saturation);
    }
    ~CaptureRun()
    {
        ResetPipelineTables();
        ResetToneTables();
    }
    CaptureRun(const CaptureRun&) = delete;
    CaptureRun& operator=(const CaptureRun&) = delete;

    // Decodes one compacted frame as the frame callback would an intact one.
    // Returns the client's picture, or an empty vector when the frame does
    // not decode.
    std::vector<uint8_t> Decode(const std::vector<uint8_t>& compacted)
    {
        std::fill(raw_.begin(), raw_.end(), 0);
        std::copy(compacted.begin(), compacted.end(), raw_.begin());
        context_.SavedFrameLength = ULONG(compacted.size());

        const ULONG frameLength = width_ * height_ * 3 / 2;
        std::vector<uint8_t> picture(frameLength, 0);
        FrameContext frame{};
        frame.FrameIntact = TRUE;
        ULONG delivered = 0;
        DispatchFrameBySize(&context_, &frame, picture.data(), frameLength, raw_.data(),
                            &delivered);
        MarkStillFrame(&context_, picture.data(), frameLength);
        if (delivered != frameLength) {
            return {};
        }
        return picture;
    }

private:
    ULONG width_;
    ULONG height_;
    CameraContext context_{};
    std::vector<UCHAR> raw_ = std::vector<UCHAR>(RAW_FRAME_BYTES);
    std::vector<UCHAR> saved_ = std::vector<UCHAR>(SAVED_FRAME_BYTES);
    std::vector<UCHAR> rawLines_ = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> lumaLines_ = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
    std::vector<UCHAR> workA_ = std::vector<UCHAR>(WORK_BUFFER_A_BYTES);
    std::vector<UCHAR> workB_ = std::vector<UCHAR>(WORK_BUFFER_B_BYTES);
};

// Every input is checked and read before the first frame is decoded, so a
// usage or I/O error in any of them leaves the output directory untouched.
// Frames that do not decode are named on stderr and end the run with
// kExitBadFrame once all the others are written.
void RunDecode(const DecodeOptions& options)
{
    const FrameSize size = *ParseFrameSize(options.size); // checked by the parser
    CheckRanges(options);
    std::optional<DpcTable> dpc;
    if (!options.dpc.empty()) {
        dpc = ReadDpcTable(options.dpc);
    }
    CheckOutputDirectory(options.outDir);
    const std::vector<InputFrame> inputs = ReadInputs(options.frames);

    CaptureRun run(size, options, dpc);
    size_t failed = 0;
    for (const InputFrame& input : inputs) {
        const std::vector<uint8_t> picture = run.Decode(input.bytes);
        if (picture.empty()) {
            std::cerr << "kald decode: '" << input.path << "' does not decode as a " << options.size
                      << " frame (invalid code or no end marker)\n";
            ++failed;
            continue;
        }
        WriteFileAtomically(
            (std::filesystem::path(options.outDir) / (input.name + ".i420")).string(), picture);
    }
    if (failed != 0) {
        throw ToolError(kExitBadFrame, std::to_string(failed) + " of " +
                                           std::to_string(inputs.size()) +
                                           " frames did not decode");
    }
}

} // namespace

Subcommand AddDecodeCommand(CLI::App& kald)
{
    auto options = std::make_shared<DecodeOptions>();
    CLI::App* parser = kald.add_subcommand(
        "decode", "Run compacted frames through the driver's frame path and write the I420 "
                  "pictures a client receives");
    parser->add_option("--size", options->size, "Frame size: " + FrameSizeList())
        ->required()
        ->check(FrameSizeValidator());
    parser->add_option("--revision", options->revision,
                       "Camera revision byte the large-frame decoder assumes (0..255; default 0)");
    parser->add_option("--frame-index", options->frameIndex,
                       "Small frames decoded before the first one, which sets the dither phase "
                       "(default 0)");
    DecodeControls& c = options->controls;
    parser->add_option("--sharpness", c.sharpness,
                       "Sharpness 1..8, 0 for no sharpening (default 6)");
    parser->add_option("--brightness", c.brightness, "Brightness 0..255 (default 118)");
    parser->add_option("--contrast", c.contrast, "Contrast 0..3000 (default 0)");
    parser->add_option("--gamma", c.gamma, "Gamma curve 0..9 (default 7)");
    parser->add_option("--hue", c.hue, "Hue 0..358 (default 179)");
    parser->add_option("--saturation", c.saturation, "Saturation 0..63 (default 32)");
    parser->add_option("--dpc", options->dpc,
                       "Calibration image (128 bytes: words 0..63, little-endian) whose defect "
                       "list is repaired in every frame; without it no defect correction runs");
    parser
        ->add_option("--out-dir", options->outDir,
                     "Existing directory that receives NAME.i420 for each FRAME")
        ->required();
    parser
        ->add_option("FRAME", options->frames,
                     "Compacted frame files (at most " + std::to_string(RAW_FRAME_BYTES) +
                         " bytes each), decoded in this order as one capture run")
        ->required();
    parser->footer("Example:\n"
                   "  kald decode --size 320x240 --out-dir pictures frame1.bin frame2.bin\n"
                   "Exit status: 0 every frame decoded, 1 a frame does not decode (the others "
                   "are written), 2 usage or I/O error (inputs are all checked before anything is "
                   "written).");
    return {parser, [options] { RunDecode(*options); }};
}

} // namespace kald::tool
