// Decoding one camera frame of the test scene, as the frame callback does:
// the compacted frame in a raw frame buffer, the tables built once for the
// size. One iteration decodes one frame, so the time is nanoseconds per
// frame. Encoding, the table build and one checked decode are set-up and not
// measured.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "core/camera_context.h"
#include "datapath/decompress.h"
#include "imaging/pipeline_tables.h"
#include "kald_sim/frame_encoder.h"
#include "kald_sim/image.h"

namespace {

using namespace kald::sim;

// The buffers of one device, as it allocates them.
struct DeviceBuffers {
    std::vector<UCHAR> Raw = std::vector<UCHAR>(RAW_FRAME_BYTES);
    std::vector<UCHAR> Mosaic = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> Luma = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
};

// Loads a compacted frame into the raw frame buffer; false when it does not fit.
bool LoadFrame(DeviceBuffers& buffers, const std::vector<uint8_t>& frame)
{
    if (frame.size() > buffers.Raw.size()) {
        return false;
    }
    std::copy(frame.begin(), frame.end(), buffers.Raw.begin());
    return true;
}

void BM_DecodeLarge(benchmark::State& state)
{
    const int width = (int)state.range(0);
    const int height = (int)state.range(1);
    const std::vector<uint8_t> mosaic = MosaicFromRgb(RenderTestScene(width, height));
    LargeFrameEncoder encoder(width, height);
    const std::vector<uint8_t> frame = encoder.Encode(mosaic, MeasureStatistics(mosaic, width, height));

    DeviceBuffers buffers;
    if (!LoadFrame(buffers, frame)) {
        state.SkipWithError("the encoded frame is larger than the raw frame buffer");
        return;
    }
    BuildPipelineTables(width, height, buffers.Mosaic.data(), buffers.Luma.data());
    const ULONG length = (ULONG)frame.size();
    if (DecompressLargeFrame(width, height, length, buffers.Raw.data(), 0) != 1) {
        state.SkipWithError("the encoded test scene does not decode");
        return;
    }
    const std::vector<uint8_t>& expected = encoder.Reconstruction();
    for (int y = 0; y < height; ++y) {
        if (!std::equal(expected.begin() + (ptrdiff_t)y * width, expected.begin() + (ptrdiff_t)(y + 1) * width,
                        Pipeline.DecoderRows[y])) {
            state.SkipWithError("the decoded test scene differs from the encoder's reconstruction");
            return;
        }
    }

    for (auto _ : state) {
        benchmark::DoNotOptimize(DecompressLargeFrame(width, height, length, buffers.Raw.data(), 0));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (int64_t)frame.size());
    state.counters["frame_bytes"] = (double)frame.size();
}
BENCHMARK(BM_DecodeLarge)->Args({352, 288});

void BM_DecodeSmall(benchmark::State& state)
{
    const int width = (int)state.range(0);
    const int height = (int)state.range(1);
    const RgbImage scene = RenderTestScene(width, height);
    const std::vector<uint8_t> mosaic = MosaicFromRgb(scene);
    SmallFrameEncoder encoder(width, height);
    const std::vector<uint8_t> frame = encoder.Encode(scene, MeasureStatistics(mosaic, width, height));

    DeviceBuffers buffers;
    if (!LoadFrame(buffers, frame)) {
        state.SkipWithError("the encoded frame is larger than the raw frame buffer");
        return;
    }
    std::vector<UCHAR> output((size_t)width * height * 3);
    BuildPipelineTables(width, height, buffers.Mosaic.data(), buffers.Luma.data());
    const ULONG length = (ULONG)frame.size();
    if (DecompressSmallFrame(width, height, length, buffers.Raw.data(), output.data()) == 0) {
        state.SkipWithError("the encoded test scene does not decode");
        return;
    }
    if (output != encoder.Reconstruction(0)) {
        state.SkipWithError("the decoded test scene differs from the encoder's reconstruction");
        return;
    }

    for (auto _ : state) {
        benchmark::DoNotOptimize(DecompressSmallFrame(width, height, length, buffers.Raw.data(), output.data()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (int64_t)frame.size());
    state.counters["frame_bytes"] = (double)frame.size();
}
BENCHMARK(BM_DecodeSmall)->Args({176, 144});

} // namespace
