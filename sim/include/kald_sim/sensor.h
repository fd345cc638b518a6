// The image sensor behind the bridge: it turns the scene and the light into
// samples, obeying the shutter, gain and colour gains the host wrote, with a
// rolling shutter, a little noise and the defective pixels its calibration
// memory lists.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "image.h"
#include "lighting.h"
#include "random.h"

namespace kald::sim {

// The pixel array: the largest format reads all of it.
inline constexpr int kSensorWidth = 352;
inline constexpr int kSensorHeight = 288;

// Output formats by the code in bridge register 0x8500.
struct FrameFormat {
    int Width;
    int Height;
    bool Large; // Bayer mosaic through the large-frame coder; otherwise the small one
};
std::optional<FrameFormat> FormatForCode(uint8_t code);

// Frame timing by the clock divider in bridge register 0x8700.
struct FrameTiming {
    unsigned FramesPerSecond;
    double RowsPer120; // sensor rows read in 1/120 s
};
// Dividers 3, 5, 8 and 13 give 30, 21, 15 and 10 frames/s with 73, 52,
// 36.125 and 24.2 rows per 1/120 s. Any other divider runs the sensor as the
// nearest of those four (a tie goes to the slower).
FrameTiming TimingForDivider(uint8_t divider);

// Analogue gain of a sensor register 0x35 value: bits 0..5 are the gain in
// sixteenths and bit 6 doubles it, so every gain code q the host writes
// (q itself up to 63, 0x40 + q / 2 above) means q / 16, and a bigger code
// never means less gain. The table's codes 9 .. 31 span 0.56 .. 1.94.
double AnalogueGain(uint16_t gainRegister);

// Exposure time of a sensor register 0x09 value: its low 12 bits are rows,
// each 1 / (120 * rowsPer120) s.
double ExposureSeconds(uint16_t shutterRegister, double rowsPer120);

// Sample value per unit of scene byte, light level, second and gain: chosen
// so that the built-in test scene under light 1.0, exposed as the 30 frames/s
// exposure table's index 69 (438 rows of 73 per 1/120 s = 0.05 s, gain code 18
// = 1.125) with unity colour gains, measures a luma of 72 in the statistics,
// the exposure controller's target. The scene's own statistics luma is 112,
// so k = 72 / (112 * 0.05 * 1.125).
inline constexpr double kSensitivity = 72.0 / (112.0 * 0.05 * 1.125);

// The bridge's colour gain registers (0x8651 red, 0x8653 blue) count in 64ths.
inline constexpr double kColourGainUnity = 64.0;

// What the sensor and the bridge's colour gains are set to for one frame.
struct SensorSettings {
    uint16_t Shutter = 0; // sensor register 0x09
    uint16_t Gain = 0;    // sensor register 0x35
    uint8_t RedGain = 0;  // bridge register 0x8651
    uint8_t BlueGain = 0; // bridge register 0x8653
    FrameTiming Timing{30, 73.0};
};

// A pixel of the array that always reads full scale.
struct SensorDefect {
    int Column;
    int Row;
};

// The defects the calibration memory lists: entry i at column word 22 + 2i
// and row word 23 + 2i, each moved by word 21's offsets (column by the high
// byte, row by the low byte), for as many entries as word 18's count says and
// the memory holds. A memory without the 0xAA55 block lists none. The
// withhold bit only tells the host not to use the list; the pixels are
// defective all the same.
std::vector<SensorDefect> DefectsFromCalibration(std::span<const uint16_t> memory);

// One frame's exposure as the sensor sees it.
struct SensorFrame {
    const RgbImage* Scene = nullptr; // already at the frame's size
    Lighting Light;
    SensorSettings Settings;
    double StartSeconds = 0;   // camera time at which the first row is read
    double NoiseAmplitude = 0; // sample levels; the noise is triangular within +-amplitude
    std::span<const SensorDefect> Defects;
};

// The large formats: one sample per pixel through the colour filter mosaic
// (G B on even rows, R G on odd rows), Width * Height bytes, rows top-down.
//
// Each sample is clamp(round(scene * light * weight * exposure * gain *
// colour gain * kSensitivity + noise)), with the scene byte taken as linear
// reflectance, the light's colour weight for the channel, and the light
// averaged over the row's own exposure window: row y is read at
// StartSeconds + (sensor row + 1) row times and has been exposed for the
// exposure time before that, so mains ripple makes bands that move from
// frame to frame. Defective pixels read 255.
void RenderMosaic(const SensorFrame& frame, SimRandom& noise, std::vector<uint8_t>& out);

// The small formats: the array binned 2 x 2, three samples per pixel, as an
// RGB picture for the small-frame coder. A defect at array pixel (X, Y) with
// Y >= 1 lands on picture pixel (X / 2, (Y - 1) / 2): its green when X and
// Y - 1 differ in parity, its red when both are even, its blue when both are
// odd.
RgbImage RenderPicture(const SensorFrame& frame, SimRandom& noise);

} // namespace kald::sim
