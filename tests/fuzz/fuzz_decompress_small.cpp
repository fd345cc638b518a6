// Fuzzes the small-frame decoder with arbitrary compacted frames.
//
// Input: one selector byte, then the compacted frame (at most the raw frame
// buffer, 116,864 bytes).
//   selector bit 0: 0 = 160x120, 1 = 176x144
//   selector bits 1-2: frames decoded since the tables were built before
//                      this one (0 .. 3), which moves the dither phase
//
// The output buffer holds exactly W x H x 3 bytes, so a write past the
// picture is an AddressSanitizer report. Each input is decoded in two passes,
// with the rest of the raw frame buffer zero and then 0xFF: bytes past the
// compacted length read as zero, so the passes must agree byte for byte.
// Every output byte is a 6-bit sample times four plus its dither value, so
// each byte modulo 4 must be that value.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "datapath/decompress.h"
#include "fuzz_common.h"
#include "imaging/pipeline_tables.h"

namespace {

using namespace kald::fuzz;

// The camera's dither pattern, entry (8p + 8k + x) mod 32 for pixel x of a
// row in phase p, byte k.
constexpr uint8_t kDither[32] = {0, 2, 2, 0, 3, 1, 1, 3, 3, 1, 1, 3, 0, 2, 2, 0,
                                 2, 0, 0, 2, 1, 3, 3, 1, 1, 3, 3, 1, 2, 0, 0, 2};

struct Buffers {
    std::vector<uint8_t> Raw = std::vector<uint8_t>(kRawFrameBytes);
    std::vector<uint8_t> Mosaic = std::vector<uint8_t>(kWorkBufferBytes);
    std::vector<uint8_t> Luma = std::vector<uint8_t>(kWorkBufferBytes);
};

struct Pass {
    ULONG Result = 0;
    std::vector<uint8_t> Output;
};

// Checks a decoded picture against the dither of small-frame counter n.
void CheckDither(const std::vector<uint8_t>& output, ULONG width, ULONG height, ULONG n)
{
    for (ULONG i = 0; i < height; ++i) {
        const uint8_t* row = &output[(size_t)3 * width * (height - 1 - i)]; // stored bottom-up
        const ULONG p = (n + i) % 4;
        for (ULONG x = 0; x < width; ++x) {
            for (ULONG k = 0; k < 3; ++k) {
                Expect(row[3 * x + k] % 4 == kDither[(8 * p + 8 * k + x) % 32],
                       "an output byte is not a sample times four plus its dither");
            }
        }
    }
}

Pass DecodePass(Buffers& b, ULONG width, ULONG height, ULONG earlierFrames,
                const uint8_t* frame, size_t length, uint8_t tail)
{
    LoadRawFrame(b.Raw, frame, length, tail);
    Expect(BuildPipelineTables(width, height, b.Mosaic.data(), b.Luma.data()) == 1,
           "the tables were not built");

    // The minimum the decoder has to fetch: 9 bits per pixel.
    const ULONG streamBytes = width * height * 9 / 8;
    Pass pass;
    for (ULONG n = 0; n <= earlierFrames; ++n) {
        // A fresh buffer of exactly the picture's size for every frame.
        pass.Output.assign((size_t)width * height * 3, kUntouched);
        pass.Result = DecompressSmallFrame(width, height, (ULONG)length, b.Raw.data(),
                                           pass.Output.data());
        if (pass.Result != 0) {
            Expect(pass.Result >= streamBytes, "a good frame fetched fewer bytes than it has samples");
            CheckDither(pass.Output, width, height, n);
        }
    }
    return pass;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size - 1 > kRawFrameBytes) {
        return 0;
    }
    const uint8_t selector = data[0];
    const ULONG width = (selector & 1) ? 176 : 160;
    const ULONG height = (selector & 1) ? 144 : 120;
    const ULONG earlierFrames = (selector >> 1) & 3;

    static Buffers buffers;
    const Pass zero = DecodePass(buffers, width, height, earlierFrames, data + 1, size - 1, 0x00);
    const Pass ones = DecodePass(buffers, width, height, earlierFrames, data + 1, size - 1, 0xFF);
    Expect(zero.Result == ones.Result, "the result depends on bytes past the compacted length");
    Expect(zero.Output == ones.Output, "the picture depends on bytes past the compacted length");
    return 0;
}
