// Fuzzes the whole per-frame path with arbitrary compacted frames: size
// dispatch, decompression, defect correction, colour reconstruction, the
// copy to the client's buffer, the post-processing and the still marker.
//
// Input: one selector byte, then the compacted frame (at most the raw frame
// buffer, 116,864 bytes).
//   selector bits 0-1: 0 = 160x120, 1 = 176x144, 2 = 320x240, 3 = 352x288
//   selector bits 2-5: v; sharpness v mod 9, and the still latch raised
//                      when v is 9 or more
//   selector bit 6:    "DPC State", with a fixed calibration table
//   selector bit 7:    camera revision 0 or 2
// The tone tables hold the registry defaults.
//
// The raw frame buffer, every working buffer of the context and the client's
// buffer are each a heap block of exactly the size the device and the
// library allocate, so AddressSanitizer reports any access past one. Each
// input runs in two passes, once with the rest of the raw frame buffer zero
// and once with it 0xFF; a pass rebuilds the pipeline tables (so no decoder
// state carries over) and starts from the same client buffer. Nothing may
// depend on bytes past the compacted length, so the passes must agree on the
// result and on every byte of the picture. In revision 2 the frame goes
// through twice, the second time after the level-block flag the first left.
// A frame is delivered whole or not at all, and the last Y byte carries the
// still marker.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "autocontrol/tone_tables.h"
#include "datapath/frame_pipeline.h"
#include "fuzz_common.h"
#include "imaging/pipeline_tables.h"
#include "imaging/pixel_kernels.h"

namespace {

using namespace kald::fuzz;

struct Format {
    ULONG Width;
    ULONG Height;
};

constexpr Format kFormats[4] = {{160, 120}, {176, 144}, {320, 240}, {352, 288}};

// Registry defaults of the picture controls.
constexpr LONG kBrightness = 118;
constexpr LONG kContrast = 0;
constexpr ULONG kGamma = 7;
constexpr LONG kHueAngleIndex = (179 + 540) % 720; // hue 179
constexpr LONG kSaturation = 32;

// Defect positions (column, row) of the calibration table: picture corners
// and edges of every size, pixels of each colour site, and positions left of,
// above and beyond the picture.
constexpr SHORT kDefects[][2] = {
    {0, 0},     {1, 0},     {0, 1},    {351, 287}, {350, 286}, {319, 239},
    {175, 143}, {174, 142}, {159, 119}, {3, 2},    {100, 51},  {-1, -1},
    {-4, 8},    {703, 575}, {352, 288},
};
constexpr ULONG kDefectCount = sizeof(kDefects) / sizeof(kDefects[0]);
static_assert(kDefectCount <= DPC_MAX_ENTRIES);

// A calibration table as the camera's memory holds it: magic, count, the
// entries and a checksum that makes words 18..63 sum to zero.
DpcTable CalibrationTable()
{
    DpcTable table{};
    table.Words[DPC_WORD_MAGIC] = CalibrationMagic;
    table.Words[DPC_WORD_COUNT] = (USHORT)kDefectCount;
    for (ULONG i = 0; i < kDefectCount; ++i) {
        table.Words[DPC_WORD_FIRST_ENTRY + 2 * i] = (USHORT)kDefects[i][0];
        table.Words[DPC_WORD_FIRST_ENTRY + 2 * i + 1] = (USHORT)kDefects[i][1];
    }
    USHORT sum = 0;
    for (ULONG w = DPC_WORD_COUNT; w < DPC_WORD_CHECKSUM; ++w) {
        sum = (USHORT)(sum + table.Words[w]);
    }
    table.Words[DPC_WORD_CHECKSUM] = (USHORT)(0 - sum);
    return table;
}

// The buffers of one device, each its own heap block of the allocated size.
struct DeviceBuffers {
    std::vector<UCHAR> Raw = std::vector<UCHAR>(RAW_FRAME_BYTES);
    std::vector<UCHAR> RawLines = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> LumaLines = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
    std::vector<UCHAR> WorkA = std::vector<UCHAR>(WORK_BUFFER_A_BYTES);
    std::vector<UCHAR> WorkB = std::vector<UCHAR>(WORK_BUFFER_B_BYTES);
};

struct Controls {
    Format Size;
    LONG Sharpness;
    bool StillLatch;
    bool DefectCorrection;
    UCHAR Revision;
};

// What one pass delivered: per frame, the bytes returned and the picture.
struct PassResult {
    std::vector<ULONG> Delivered;
    std::vector<std::vector<UCHAR>> Pictures;
};

PassResult RunPass(DeviceBuffers& b, const Controls& controls, const uint8_t* frame,
                   size_t length, uint8_t tail)
{
    const ULONG width = controls.Size.Width;
    const ULONG height = controls.Size.Height;
    const ULONG frameLength = width * height * 3 / 2;

    LoadRawFrame(b.Raw, frame, length, tail);
    Expect(BuildPipelineTables(width, height, b.RawLines.data(), b.LumaLines.data()) == 1,
           "the tables were not built");

    auto context = std::make_unique<CameraContext>();
    context->RawLineBuffer = b.RawLines.data();
    context->LumaWorkBuffer = b.LumaLines.data();
    context->WorkBufferA = b.WorkA.data();
    context->WorkBufferB = b.WorkB.data();
    context->FrameWidth = width;
    context->FrameHeight = height;
    context->FrameFourCC = FOURCC_I420;
    context->SavedFrameLength = (ULONG)length;
    context->CameraRevision = controls.Revision;
    context->Brightness = kBrightness;
    context->Contrast = kContrast;
    context->Gamma = kGamma;
    context->HueAngleIndex = kHueAngleIndex;
    context->Saturation = kSaturation;
    context->Sharpness = controls.Sharpness;
    context->CameraSettings.DpcState = controls.DefectCorrection ? 1 : 0;
    context->DpcTable = CalibrationTable();

    // The client's buffer, exactly the picture's length. In revision 2 the
    // same frame goes through twice: the second decode starts from the
    // level-block flag the first one left.
    std::vector<UCHAR> picture(frameLength, kUntouched);
    const int frames = controls.Revision == 2 ? 2 : 1;
    PassResult result;
    for (int f = 0; f < frames; ++f) {
        FrameContext frameContext{};
        frameContext.FrameIntact = TRUE;
        context->StillLatch = controls.StillLatch ? 1 : 0;
        ULONG delivered = 0xFFFFFFFF;
        DispatchFrameBySize(context.get(), &frameContext, picture.data(), frameLength,
                            b.Raw.data(), &delivered);
        MarkStillFrame(context.get(), picture.data(), frameLength);

        Expect(delivered == 0 || delivered == frameLength, "the frame was delivered in part");
        Expect((frameContext.FrameIntact == TRUE) == (delivered == frameLength),
               "the intact flag disagrees with the bytes delivered");
        const UCHAR last = picture[width * height - 1];
        Expect((last & 1) == (controls.StillLatch ? 1 : 0), "the still marker is wrong");
        Expect(context->StillLatch == 0, "the still latch was not cleared");
        result.Delivered.push_back(delivered);
        result.Pictures.push_back(picture);
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size - 1 > kRawFrameBytes) {
        return 0;
    }
    static bool initialised = false;
    if (!initialised) {
        SelectPixelKernels(PixelKernelsBest);
        ResetToneTables();
        RebuildToneTables(kBrightness, kContrast, (LONG)kGamma, kHueAngleIndex, kSaturation);
        initialised = true;
    }

    const uint8_t selector = data[0];
    const ULONG v = (selector >> 2) & 15;
    const Controls controls = {kFormats[selector & 3], (LONG)(v % 9), v >= 9,
                               ((selector >> 6) & 1) != 0, (UCHAR)((selector & 0x80) ? 2 : 0)};

    static DeviceBuffers buffers;
    const PassResult zero = RunPass(buffers, controls, data + 1, size - 1, 0x00);
    const PassResult ones = RunPass(buffers, controls, data + 1, size - 1, 0xFF);
    Expect(zero.Delivered == ones.Delivered,
           "the result depends on bytes past the compacted length");
    // Compares every byte of the pictures, which reads all of them.
    Expect(zero.Pictures == ones.Pictures,
           "the picture depends on bytes past the compacted length");
    return 0;
}
