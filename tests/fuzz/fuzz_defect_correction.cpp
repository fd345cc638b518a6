// Fuzzes defect correction with arbitrary calibration tables.
//
// Input: one selector byte, the 128-byte calibration table (words low byte
// first), then optional frame bytes (at most the raw frame buffer, 116,864
// bytes) that seed the start of the buffer; the rest of the buffer holds a
// fixed pattern.
//   selector bits 0-1: 0 = 320x240, 1 = 352x288 (mosaic layout),
//                      2 = 160x120, 3 = 176x144 (three-byte layout)
//   selector bit 2:    "DPC State"
//
// The buffer and the table are each a heap block of exactly the length limit
// and 128 bytes, so a read or write past either is an AddressSanitizer
// report. The routine runs as the frame path calls it (only when correction
// is enabled). Afterwards every buffer byte is compared with its old value:
// a large-frame entry rewrites at most its own pixel, a small-frame entry at
// most the four pixels of one block, and only entries inside the table count.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "datapath/defect_correction.h"
#include "fuzz_common.h"

namespace {

using namespace kald::fuzz;

constexpr size_t kTableBytes = sizeof(DpcTable);

struct Format {
    ULONG Width;
    ULONG Height;
    bool Large;
};

constexpr Format kFormats[4] = {
    {320, 240, true},
    {352, 288, true},
    {160, 120, false},
    {176, 144, false},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 + kTableBytes || size - 1 - kTableBytes > kRawFrameBytes) {
        return 0;
    }
    const uint8_t selector = data[0];
    const Format& format = kFormats[selector & 3];

    auto context = std::make_unique<CameraContext>();
    context->FrameWidth = format.Width;
    context->FrameHeight = format.Height;
    context->CameraSettings.DpcState = (selector >> 2) & 1;
    std::memcpy(&context->DpcTable, data + 1, kTableBytes);

    // The table the routines get is its own heap block of 64 words.
    auto table = std::make_unique<DpcTable>();
    std::memcpy(table.get(), data + 1, kTableBytes);

    std::vector<uint8_t> buffer(kRawFrameBytes);
    for (size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = uint8_t(i * 37 + 11);
    }
    const size_t frameBytes = size - 1 - kTableBytes;
    std::memcpy(buffer.data(), data + 1 + kTableBytes, frameBytes);
    const std::vector<uint8_t> before = buffer;

    const USHORT countWord = table->Words[DPC_WORD_COUNT];
    const bool enabled = context->CameraSettings.DpcState == 1 && (countWord & DPC_DO_NOT_USE) == 0;
    Expect((DefectCorrectionEnabled(context.get()) != FALSE) == enabled,
           "the enable test disagrees with DPC State and bit 15");
    const ULONG entries = DefectEntryCount(table.get());
    Expect(entries <= DPC_MAX_ENTRIES, "more entries than the table holds");
    if (!enabled) {
        return 0;
    }

    const ULONG result =
        format.Large
            ? CorrectDefectsLarge(context.get(), buffer.data(), RAW_FRAME_BYTES, table.get())
            : CorrectDefectsSmall(context.get(), buffer.data(), RAW_FRAME_BYTES, table.get());
    Expect(result == 0, "the routine did not return 0");
    Expect(std::memcmp(table.get(), data + 1, kTableBytes) == 0, "the table was written");

    size_t changed = 0;
    for (size_t i = 0; i < buffer.size(); ++i) {
        changed += buffer[i] != before[i];
    }
    const size_t perEntry = format.Large ? 1 : 4;
    Expect(changed <= perEntry * entries, "more bytes changed than the entries can rewrite");
    return 0;
}
