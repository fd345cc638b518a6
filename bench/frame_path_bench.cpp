// The whole per-frame path of a finished camera frame, as the frame callback
// runs it: size dispatch, decompression, colour reconstruction, the copy to
// the client's buffer and the post-processing with the controls at their
// registry defaults. Defect correction is off (DPC State 0). One iteration
// is one frame, so the time is nanoseconds per frame; encoding, the table
// builds and one checked frame are set-up.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "autocontrol/tone_tables.h"
#include "core/camera_context.h"
#include "datapath/frame_pipeline.h"
#include "imaging/pipeline_tables.h"
#include "imaging/pixel_kernels.h"
#include "scene_frames.h"

namespace {

using kald::bench::DeviceBuffers;
using kald::bench::EncodeSceneFrame;
using kald::bench::kDefaultBrightness;
using kald::bench::kDefaultContrast;
using kald::bench::kDefaultGamma;
using kald::bench::kDefaultHueAngleIndex;
using kald::bench::kDefaultSaturation;

void BM_FramePath(benchmark::State& state)
{
    const ULONG width = (ULONG)state.range(0);
    const ULONG height = (ULONG)state.range(1);
    const ULONG frameLength = width * height * 3 / 2;

    DeviceBuffers buffers;
    const std::vector<uint8_t> frame = EncodeSceneFrame((int)width, (int)height);
    if (!buffers.Load(frame)) {
        state.SkipWithError("the encoded frame is larger than the raw frame buffer");
        return;
    }
    SelectPixelKernels(PixelKernelsBest);
    ResetPipelineTables();
    ResetToneTables();
    if (BuildPipelineTables(width, height, buffers.Mosaic.data(), buffers.Luma.data()) != 1) {
        state.SkipWithError("the pipeline tables were not built");
        return;
    }

    CameraContext context{};
    buffers.Attach(context, width, height);
    context.SavedFrameLength = (ULONG)frame.size();
    RebuildToneTables(kDefaultBrightness, kDefaultContrast, (LONG)kDefaultGamma,
                      kDefaultHueAngleIndex, kDefaultSaturation);

    FrameContext frameContext{};
    frameContext.FrameIntact = TRUE;
    std::vector<UCHAR> picture(frameLength);
    ULONG delivered = 0;
    DispatchFrameBySize(&context, &frameContext, picture.data(), frameLength, buffers.Raw.data(),
                        &delivered);
    if (delivered != frameLength || frameContext.FrameIntact != TRUE) {
        state.SkipWithError("the encoded test scene does not go through the frame path");
        return;
    }
    state.SetLabel(std::string(width >= 320 ? "large, " : "small, ") + PixelKernels.Name);

    for (auto _ : state) {
        DispatchFrameBySize(&context, &frameContext, picture.data(), frameLength,
                            buffers.Raw.data(), &delivered);
        benchmark::DoNotOptimize(delivered);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["frame_bytes"] = (double)frame.size();
}
BENCHMARK(BM_FramePath)->Args({352, 288})->Args({176, 144});

} // namespace
