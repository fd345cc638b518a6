// A 352x288 capture through the whole stack in one process, as fast as the
// machine goes: the simulated camera exposes and encodes each frame and sends
// it packet by packet, the host library's pump hands the packets to the
// driver's packet callback and the finished frame to its frame callback, and
// the client's read comes back through the host stream class. One iteration
// is one delivered frame, so the time is per frame and the items per second
// are frames per second. The driver's frame path alone on an encoded frame
// (decode, reconstruction, post-processing), timed in the same run, is the
// baseline: x_frame_path is how many times that the whole capture costs.
// The skipped packets and the first, collected frame are set-up.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "autocontrol/tone_tables.h"
#include "capture_engine.h"
#include "core/camera_context.h"
#include "datapath/frame_pipeline.h"
#include "imaging/pipeline_tables.h"
#include "imaging/pixel_kernels.h"
#include "kald_host/host_device.h"
#include "kald_host/host_kernel.h"
#include "kald_sim/camera.h"
#include "scene_frames.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

constexpr ULONG kWidth = 352;
constexpr ULONG kHeight = 288;
constexpr ULONG kStepMilliseconds = 10;
constexpr int kBaselineFrames = 50;

// Nanoseconds per frame of the driver's frame path alone: the test scene's
// encoded frame decoded and post-processed as an intact frame, with the
// registry's default picture controls.
double FramePathNanoseconds()
{
    const std::vector<uint8_t> frame = kald::bench::EncodeSceneFrame(int(kWidth), int(kHeight));
    kald::bench::DeviceBuffers buffers;
    std::vector<UCHAR> saved(SAVED_FRAME_BYTES);
    std::vector<UCHAR> picture(kWidth * kHeight * 3 / 2);
    CameraContext c{};
    buffers.Attach(c, kWidth, kHeight);
    c.SavedFrameBuffer = saved.data();
    c.SavedFrameCapacity = SAVED_FRAME_BYTES;
    ResetToneTables();
    RebuildToneTables(c.Brightness, c.Contrast, LONG(c.Gamma), c.HueAngleIndex, c.Saturation);
    BuildPipelineTables(kWidth, kHeight, c.RawLineBuffer, c.LumaWorkBuffer);

    double nanoseconds = 0;
    for (int i = 0; i < kBaselineFrames; ++i) {
        if (!buffers.Load(frame)) {
            return 0;
        }
        c.SavedFrameLength = ULONG(frame.size());
        FrameContext context{};
        context.FrameIntact = TRUE;
        ULONG delivered = 0;
        const auto start = std::chrono::steady_clock::now();
        DispatchFrameBySize(&c, &context, picture.data(), ULONG(picture.size()), buffers.Raw.data(),
                            &delivered);
        nanoseconds +=
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start)
                .count();
        benchmark::DoNotOptimize(picture.data());
        if (delivered != picture.size()) {
            return 0;
        }
    }
    // The device about to be made builds its own tables.
    ResetPipelineTables();
    ResetToneTables();
    return nanoseconds / kBaselineFrames;
}

void BM_CaptureWholeStack(benchmark::State& state)
{
    SelectPixelKernels(PixelKernelsBest); // as kald does
    const double framePath = FramePathNanoseconds();
    if (framePath <= 0) {
        state.SkipWithError("the encoded test scene does not decode");
        return;
    }

    kald::host::RegistryClear(); // a fresh registry: the built-in settings
    kald::host::HostBus bus;
    kald::host::HostDriver driver(DriverEntry);
    kald::sim::Camera camera;
    kald::host::HostDevice device(bus, driver, camera);
    if (!driver.Loaded() || device.Initialize() != STATUS_SUCCESS) {
        state.SkipWithError("the device did not start");
        return;
    }
    kald::tool::CaptureEngine engine(bus, device, camera);
    kald::tool::CaptureRequest request;
    request.width = int(kWidth);
    request.height = int(kHeight);
    request.framesPerSecond = 15;
    engine.Open(request);
    engine.Start();
    const kald::tool::CaptureEngine::Observer none;
    while (engine.Progress().reads == 0) {
        engine.Step(kStepMilliseconds, none);
    }

    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const uint64_t target = engine.Progress().reads + 1;
        while (engine.Progress().reads < target) {
            engine.Step(kStepMilliseconds, none);
        }
    }
    const double perFrame =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
        double(state.iterations());
    if (engine.Progress().failed != 0) {
        state.SkipWithError("a frame did not decode");
    }
    engine.Stop();
    engine.Close();
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(PixelKernels.Name);
    state.counters["frame_path_ns"] = framePath;
    state.counters["x_frame_path"] = perFrame / framePath;
}
BENCHMARK(BM_CaptureWholeStack)->Unit(benchmark::kMillisecond);

} // namespace
