// Colour reconstruction of a large frame into I420, ours against a peer on
// the same decoded mosaic of the test scene.
//
// Ours is the driver's whole large reconstruction: demosaic, tone curve,
// colour matrix, YUV conversion with chroma subsampling, and the luma
// sharpening at the default sharpness, with the best kernels the processor
// supports and again with the plain reference kernels. The peer is an
// edge-aware demosaic into BGR followed by the conversion to I420, on one
// thread. One iteration reconstructs one frame, so the time is nanoseconds
// per frame; encoding, decoding and the table build are set-up. Compare the
// medians of repeated runs (bench/compare-peer.sh).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgproc.hpp>

#include "core/camera_context.h"
#include "datapath/decompress.h"
#include "imaging/pipeline_tables.h"
#include "imaging/pixel_kernels.h"
#include "imaging/reconstruct.h"
#include "scene_frames.h"

namespace {

using kald::bench::DeviceBuffers;
using kald::bench::EncodeSceneFrame;

constexpr LONG kDefaultSharpness = 6;

// The sensor's mosaic is G B on even rows and R G on odd rows. The peer
// names a Bayer pattern by the second and third pixel of its second row,
// here G R.
constexpr int kPeerBayerToBgr = cv::COLOR_BayerGR2BGR_EA;

// Builds the tables for the size over the device's buffers and decodes one
// frame of the test scene into the mosaic buffer, borders mirrored. Returns
// an error message, or null.
const char* DecodeSceneIntoMosaic(DeviceBuffers& buffers, int width, int height)
{
    const std::vector<uint8_t> frame = EncodeSceneFrame(width, height);
    if (!buffers.Load(frame)) {
        return "the encoded frame is larger than the raw frame buffer";
    }
    if (BuildPipelineTables((ULONG)width, (ULONG)height, buffers.Mosaic.data(),
                            buffers.Luma.data()) != 1) {
        return "the pipeline tables were not built";
    }
    if (DecompressLargeFrame((ULONG)width, (ULONG)height, (ULONG)frame.size(), buffers.Raw.data(),
                             0) != 1) {
        return "the encoded test scene does not decode";
    }
    return nullptr;
}

// Reconstructs the decoded scene with the chosen kernels.
void ReconstructLarge(benchmark::State& state, PixelKernelChoice choice)
{
    const int width = (int)state.range(0);
    const int height = (int)state.range(1);
    DeviceBuffers buffers;
    if (const char* error = DecodeSceneIntoMosaic(buffers, width, height)) {
        state.SkipWithError(error);
        return;
    }
    SelectPixelKernels(choice);
    state.SetLabel(PixelKernels.Name);
    std::vector<UCHAR> output(WORK_BUFFER_A_BYTES);

    for (auto _ : state) {
        benchmark::DoNotOptimize(ReconstructLargeFrame((ULONG)width, (ULONG)height, output.data(),
                                                       BaseToneCurve, BaseToneCurve, BaseToneCurve,
                                                       LargeColourMatrix, kDefaultSharpness));
        benchmark::ClobberMemory();
    }
    SelectPixelKernels(PixelKernelsBest);
    state.SetItemsProcessed(state.iterations());
}

void BM_ReconstructLarge(benchmark::State& state) { ReconstructLarge(state, PixelKernelsBest); }
BENCHMARK(BM_ReconstructLarge)->Args({352, 288});

void BM_ReconstructLargeReference(benchmark::State& state)
{
    ReconstructLarge(state, PixelKernelsReference);
}
BENCHMARK(BM_ReconstructLargeReference)->Args({352, 288});

// Stops the program when the peer's Bayer code does not read our mosaic
// order: a mosaic with only the red sites lit (odd rows, even columns) must
// come out red, not blue. A wrong code would compare against a different
// (and meaningless) reconstruction.
void CheckPeerBayerOrder()
{
    constexpr int kSize = 16;
    cv::Mat mosaic(kSize, kSize, CV_8UC1, cv::Scalar(0));
    for (int y = 1; y < kSize; y += 2) {
        for (int x = 0; x < kSize; x += 2) {
            mosaic.at<uint8_t>(y, x) = 200;
        }
    }
    cv::Mat bgr;
    cv::demosaicing(mosaic, bgr, kPeerBayerToBgr);
    for (int y = 2; y < kSize - 2; ++y) {
        for (int x = 2; x < kSize - 2; ++x) {
            const cv::Vec3b pixel = bgr.at<cv::Vec3b>(y, x);
            if (pixel[2] < 150 || pixel[0] > 50) {
                std::fprintf(stderr,
                             "kald_bench: the peer's Bayer code does not match the G B / R G "
                             "mosaic: a red mosaic gave B %d G %d R %d at (%d, %d)\n",
                             pixel[0], pixel[1], pixel[2], x, y);
                std::abort();
            }
        }
    }
}

void BM_PeerOpenCvEaI420(benchmark::State& state)
{
    const int width = (int)state.range(0);
    const int height = (int)state.range(1);
    cv::setNumThreads(1);
    CheckPeerBayerOrder();

    DeviceBuffers buffers;
    if (const char* error = DecodeSceneIntoMosaic(buffers, width, height)) {
        state.SkipWithError(error);
        return;
    }
    // The same picture, as the peer takes it: width x height bytes.
    cv::Mat mosaic(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y) {
        std::copy(Pipeline.DecoderRows[y], Pipeline.DecoderRows[y] + width, mosaic.ptr<uint8_t>(y));
    }
    // Allocated once: the calls below reuse them at the same size.
    cv::Mat bgr(height, width, CV_8UC3);
    cv::Mat i420(height * 3 / 2, width, CV_8UC1);
    state.SetLabel(std::string("opencv ") + CV_VERSION + ", 1 thread");

    for (auto _ : state) {
        cv::demosaicing(mosaic, bgr, kPeerBayerToBgr);
        cv::cvtColor(bgr, i420, cv::COLOR_BGR2YUV_I420);
        benchmark::DoNotOptimize(i420.data);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PeerOpenCvEaI420)->Args({352, 288});

} // namespace
