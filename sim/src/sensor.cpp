#include "kald_sim/sensor.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace kald::sim {
namespace {

struct DividerRow {
    uint8_t Divider;
    FrameTiming Timing;
};
// Slowest last, so a tie between two neighbours picks the later row.
constexpr DividerRow kDividers[] = {
    {3, {30, 73.0}},
    {5, {21, 52.0}},
    {8, {15, 36.125}},
    {13, {10, 24.2}},
};

// Channel of the scene (R 0, G 1, B 2) each mosaic site samples, by
// [row parity][column parity].
constexpr int kSiteChannel[2][2] = {{1, 2}, {0, 1}};

// Samples are computed in 1/65536ths of a level.
constexpr int kFractionBits = 16;
constexpr int64_t kHalf = int64_t(1) << (kFractionBits - 1);
// No scale beyond this many levels per scene byte: anything brighter is
// saturated anyway, and it keeps the products inside 64 bits.
constexpr double kMaxScale = 1024.0;

// Levels per scene byte for each channel of one row.
struct RowScale {
    int64_t Channel[3];
};

RowScale ScaleForRow(const SensorFrame& frame, int row, int height)
{
    const SensorSettings& s = frame.Settings;
    const double rowTime = 1.0 / (120.0 * s.Timing.RowsPer120);
    const double exposure = ExposureSeconds(s.Shutter, s.Timing.RowsPer120);
    const int sensorRow = row * kSensorHeight / height;
    const double readout = frame.StartSeconds + double(sensorRow + 1) * rowTime;
    const double light = MeanLight(frame.Light, readout - exposure, exposure);
    const ChannelWeights weights = IlluminantWeights(frame.Light.Kelvin);
    const double common = std::max(0.0, light) * exposure * AnalogueGain(s.Gain) * kSensitivity;
    const double channel[3] = {
        common * weights.Red * double(s.RedGain) / kColourGainUnity,
        common * weights.Green,
        common * weights.Blue * double(s.BlueGain) / kColourGainUnity,
    };
    RowScale scale;
    for (int c = 0; c < 3; ++c) {
        scale.Channel[c] = std::llround(std::min(channel[c], kMaxScale) * 65536.0);
    }
    return scale;
}

// Noise amplitude in 1/256ths of a level.
int64_t NoiseStep(double amplitude)
{
    return std::llround(std::clamp(amplitude, 0.0, 64.0) * 256.0);
}

// A triangular noise value within +-amplitude, in 1/65536ths of a level,
// from two 16-bit uniform numbers.
inline int64_t Noise(uint64_t bits, int64_t step)
{
    const int64_t u = int64_t(bits & 0xFFFF) + int64_t((bits >> 16) & 0xFFFF) - 0xFFFF;
    return (u * step) >> 8;
}

inline uint8_t Sample(uint8_t scene, int64_t scale, int64_t noise)
{
    const int64_t v = (int64_t(scene) * scale + noise + kHalf) >> kFractionBits;
    return uint8_t(std::clamp<int64_t>(v, 0, 255));
}

void CheckScene(const SensorFrame& frame)
{
    if (frame.Scene == nullptr || frame.Scene->width <= 0 || frame.Scene->height <= 0 ||
        frame.Scene->width % 2 != 0 || frame.Scene->height % 2 != 0 ||
        frame.Scene->pixels.size() !=
            size_t(frame.Scene->width) * size_t(frame.Scene->height) * 3) {
        throw std::invalid_argument("sensor: the scene must be fitted to an even frame size");
    }
}

} // namespace

std::optional<FrameFormat> FormatForCode(uint8_t code)
{
    switch (code) {
    case 16:
        return FrameFormat{352, 288, true};
    case 17:
        return FrameFormat{320, 240, true};
    case 12:
        return FrameFormat{176, 144, false};
    case 13:
        return FrameFormat{160, 120, false};
    default:
        return std::nullopt;
    }
}

FrameTiming TimingForDivider(uint8_t divider)
{
    const DividerRow* best = &kDividers[0];
    for (const DividerRow& row : kDividers) {
        if (std::abs(int(row.Divider) - int(divider)) <=
            std::abs(int(best->Divider) - int(divider))) {
            best = &row;
        }
    }
    return best->Timing;
}

double AnalogueGain(uint16_t gainRegister)
{
    const double sixteenths = double(gainRegister & 0x3F);
    return (gainRegister & 0x40) != 0 ? 2.0 * sixteenths / 16.0 : sixteenths / 16.0;
}

double ExposureSeconds(uint16_t shutterRegister, double rowsPer120)
{
    return double(shutterRegister & 0x0FFF) / rowsPer120 / 120.0;
}

std::vector<SensorDefect> DefectsFromCalibration(std::span<const uint16_t> memory)
{
    constexpr size_t kMagicWord = 17;
    constexpr size_t kCountWord = 18;
    constexpr size_t kOffsetWord = 21;
    constexpr size_t kFirstEntryWord = 22;
    std::vector<SensorDefect> defects;
    if (memory.size() <= kFirstEntryWord || memory[kMagicWord] != 0xAA55) {
        return defects;
    }
    const size_t count = memory[kCountWord] & 0x07FF;
    const int dx = memory[kOffsetWord] >> 8;
    const int dy = memory[kOffsetWord] & 0xFF;
    for (size_t i = 0; i < count && kFirstEntryWord + 2 * i + 1 < memory.size(); ++i) {
        defects.push_back({(memory[kFirstEntryWord + 2 * i] + dx) & 0xFFFF,
                           (memory[kFirstEntryWord + 2 * i + 1] + dy) & 0xFFFF});
    }
    return defects;
}

void RenderMosaic(const SensorFrame& frame, SimRandom& noise, std::vector<uint8_t>& out)
{
    CheckScene(frame);
    const RgbImage& scene = *frame.Scene;
    const int width = scene.width;
    const int height = scene.height;
    const int64_t step = NoiseStep(frame.NoiseAmplitude);
    out.resize(size_t(width) * size_t(height));
    for (int y = 0; y < height; ++y) {
        const RowScale scale = ScaleForRow(frame, y, height);
        const int evenChannel = kSiteChannel[y & 1][0];
        const int oddChannel = kSiteChannel[y & 1][1];
        const int64_t evenScale = scale.Channel[evenChannel];
        const int64_t oddScale = scale.Channel[oddChannel];
        const uint8_t* in = scene.At(0, y);
        uint8_t* row = &out[size_t(y) * size_t(width)];
        // One draw gives the noise of both pixels of a pair.
        for (int x = 0; x < width; x += 2) {
            const uint64_t bits = noise.Next();
            row[x] = Sample(in[3 * x + evenChannel], evenScale, Noise(bits, step));
            row[x + 1] = Sample(in[3 * x + 3 + oddChannel], oddScale, Noise(bits >> 32, step));
        }
    }
    for (const SensorDefect& d : frame.Defects) {
        if (d.Column >= 0 && d.Column < width && d.Row >= 0 && d.Row < height) {
            out[size_t(d.Row) * size_t(width) + size_t(d.Column)] = 255;
        }
    }
}

RgbImage RenderPicture(const SensorFrame& frame, SimRandom& noise)
{
    CheckScene(frame);
    const RgbImage& scene = *frame.Scene;
    const int width = scene.width;
    const int height = scene.height;
    const int64_t step = NoiseStep(frame.NoiseAmplitude);
    RgbImage picture(width, height);
    for (int y = 0; y < height; ++y) {
        const RowScale scale = ScaleForRow(frame, y, height);
        const uint8_t* in = scene.At(0, y);
        uint8_t* out = picture.At(0, y);
        // One draw for the red and green of a pixel, a second for its blue
        // and the next pixel's red, and so on: two samples per draw.
        const int samples = 3 * width;
        for (int i = 0; i < samples; i += 2) {
            const uint64_t bits = noise.Next();
            out[i] = Sample(in[i], scale.Channel[i % 3], Noise(bits, step));
            out[i + 1] = Sample(in[i + 1], scale.Channel[(i + 1) % 3], Noise(bits >> 32, step));
        }
    }
    for (const SensorDefect& d : frame.Defects) {
        if (d.Column < 0 || d.Row < 1) {
            continue;
        }
        const int x = d.Column / 2;
        const int y = (d.Row - 1) / 2;
        if (x >= width || y >= height) {
            continue;
        }
        const bool columnEven = (d.Column & 1) == 0;
        const bool rowEven = ((d.Row - 1) & 1) == 0;
        const int channel = columnEven != rowEven ? 1 : (columnEven ? 0 : 2);
        picture.At(x, y)[channel] = 255;
    }
    return picture;
}

} // namespace kald::sim
