// Camera frames of the simulated test scene for the benchmarks, encoded the
// way the camera sends them, and the device buffers they are decoded into.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/camera_context.h"
#include "kald_sim/frame_encoder.h"
#include "kald_sim/image.h"

namespace kald::bench {

// One compacted frame of the test scene at width x height: the large format
// for 320x240 and 352x288, the small one for 160x120 and 176x144.
inline std::vector<uint8_t> EncodeSceneFrame(int width, int height)
{
    using namespace kald::sim;
    const RgbImage scene = RenderTestScene(width, height);
    const std::vector<uint8_t> mosaic = MosaicFromRgb(scene);
    const FrameStatistics stats = MeasureStatistics(mosaic, width, height);
    if (width >= 320) {
        LargeFrameEncoder encoder(width, height);
        return encoder.Encode(mosaic, stats);
    }
    SmallFrameEncoder encoder(width, height);
    return encoder.Encode(scene, stats);
}

// The working buffers of one device, each its own block of the size the
// device allocates.
// The registry's built-in picture controls, as live control values.
constexpr LONG kDefaultBrightness = 118;
constexpr LONG kDefaultContrast = 0;
constexpr ULONG kDefaultGamma = 7;
constexpr LONG kDefaultHue = 179;
constexpr LONG kDefaultHueAngleIndex = (kDefaultHue + 540) % 720;
constexpr LONG kDefaultSaturation = 32;
constexpr LONG kDefaultSharpness = 6;

struct DeviceBuffers {
    std::vector<UCHAR> Raw = std::vector<UCHAR>(RAW_FRAME_BYTES);
    std::vector<UCHAR> Mosaic = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> Luma = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
    std::vector<UCHAR> WorkA = std::vector<UCHAR>(WORK_BUFFER_A_BYTES);
    std::vector<UCHAR> WorkB = std::vector<UCHAR>(WORK_BUFFER_B_BYTES);

    // Puts a compacted frame at the start of the raw frame buffer, the rest
    // zero; false when it does not fit.
    bool Load(const std::vector<uint8_t>& frame)
    {
        if (frame.size() > Raw.size()) {
            return false;
        }
        std::fill(Raw.begin(), Raw.end(), 0);
        std::copy(frame.begin(), frame.end(), Raw.begin());
        return true;
    }

    // Gives a device these working buffers, an I420 frame of width x height
    // and the built-in picture controls; its tables are the caller's to build.
    void Attach(CameraContext& c, ULONG width, ULONG height)
    {
        c.RawLineBuffer = Mosaic.data();
        c.LumaWorkBuffer = Luma.data();
        c.WorkBufferA = WorkA.data();
        c.WorkBufferB = WorkB.data();
        c.FrameWidth = width;
        c.FrameHeight = height;
        c.FrameFourCC = FOURCC_I420;
        c.Brightness = kDefaultBrightness;
        c.Contrast = kDefaultContrast;
        c.Gamma = kDefaultGamma;
        c.HueAngleIndex = kDefaultHueAngleIndex;
        c.Saturation = kDefaultSaturation;
        c.Sharpness = kDefaultSharpness;
    }
};

} // namespace kald::bench
