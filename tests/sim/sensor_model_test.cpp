// The sensor model as the stream shows it: exposure, gain, colour gains,
// light level and colour, the shutter hold, defective pixels and
// fluorescent flicker.
#include <gtest/gtest.h>

#include <vector>

#include "kald_sim/camera.h"
#include "kald_sim/sensor.h"
#include "stream_test_support.h"

namespace {

using namespace stream_test;
using kald::sim::CameraConfig;
using kald::sim::FrameRecord;

// Set A green 1, red, blue, green 2 of the last frame.
struct SetA {
    int Green1, Red, Blue, Green2;
    bool operator==(const SetA&) const = default;
};
SetA SetAOf(const FrameRecord& frame)
{
    const auto& s = frame.Statistics;
    return {s[4], s[5], s[6], s[7]};
}

// A bench looking at a flat picture without noise, so that every sample is
// the model's arithmetic alone.
StreamBench& Quiet(StreamBench& bench, uint8_t grey)
{
    bench.camera.SetScene(Flat(grey, grey, grey));
    bench.camera.SetSensorNoise(0);
    return bench;
}

TEST(SensorModel, SamplesFollowExposureGainColourGainsAndLight)
{
    // A grey scene of 128. At 30 frames/s a row is 1/(120 * 73) s; the
    // sample is 128 * light * rows / 8760 * gain / 16 * colour gain / 64 *
    // 72 / (112 * 0.05 * 1.125), rounded and clamped.
    struct Case {
        const char* Name;
        UCHAR Divider;
        USHORT Rows;
        USHORT GainRegister;
        UCHAR RedGain, BlueGain;
        double Light;
        SetA Expected;
    };
    const Case cases[] = {
        {"reference", 3, 438, 18, 0x40, 0x40, 1.0, {82, 82, 82, 82}},          // 82.29
        {"half the rows", 3, 219, 18, 0x40, 0x40, 1.0, {41, 41, 41, 41}},      // 41.14
        {"twice the gain", 3, 438, 36, 0x40, 0x40, 1.0, {165, 165, 165, 165}}, // 164.57
        {"gain bit 6", 3, 438, 0x49, 0x40, 0x40, 1.0, {82, 82, 82, 82}},       // 2 * 9 / 16
        {"half the light", 3, 438, 18, 0x40, 0x40, 0.5, {41, 41, 41, 41}},
        {"colour gains", 3, 438, 18, 0x80, 0x20, 1.0, {82, 165, 41, 82}},
        {"saturated", 3, 876, 36, 0x40, 0x40, 1.0, {255, 255, 255, 255}}, // 329.1
        {"no rows", 3, 0, 18, 0x40, 0x40, 1.0, {0, 0, 0, 0}},
        {"no light", 3, 438, 18, 0x40, 0x40, 0.0, {0, 0, 0, 0}},
        {"only the low 12 bits", 3, 0xF000 + 438 - 0x1000, 18, 0x40, 0x40, 1.0, {82, 82, 82, 82}},
        // 15 frames/s: 36.125 rows per 1/120 s, so 438 rows are 0.10104 s.
        {"15 frames/s", 8, 438, 18, 0x40, 0x40, 1.0, {166, 166, 166, 166}}, // 166.28
        // 10 frames/s: 24.2 rows per 1/120 s; 121 rows are 1/24 s.
        {"10 frames/s", 13, 121, 18, 0x40, 0x40, 1.0, {69, 69, 69, 69}}, // 68.57
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        StreamBench bench;
        Quiet(bench, 128);
        bench.camera.SetLight(c.Light);
        bench.Start({13, c.Divider, 7}, c.Rows, c.GainRegister);
        bench.Write(0x8651, c.RedGain);
        bench.Write(0x8653, c.BlueGain);
        bench.Next();
        EXPECT_EQ(SetAOf(bench.camera.LastFrame()), c.Expected);
    }
}

TEST(SensorModel, BrightnessRisesWithEveryExposureTableStep)
{
    // Shutter steps of the 30 frames/s table at gain 16, then gain steps at
    // 73 rows: the test scene's luma never falls and rises overall.
    struct Step {
        USHORT Rows, Gain;
    };
    const Step steps[] = {{20, 16},  {37, 16}, {73, 16}, {146, 16}, {219, 16}, {292, 16}, {438, 16},
                          {584, 16}, {73, 9},  {73, 12}, {73, 16},  {73, 20},  {73, 24},  {73, 31}};
    int previous = -1;
    for (size_t i = 0; i < std::size(steps); ++i) {
        if (i == 8) {
            previous = -1; // the gain run starts again from 73 rows
        }
        StreamBench bench;
        bench.Start(k160At30, steps[i].Rows, steps[i].Gain);
        bench.Next();
        const int luma = DriverLuma(bench.camera.LastFrame().Statistics);
        EXPECT_GT(luma, previous) << steps[i].Rows << " rows, gain " << steps[i].Gain;
        previous = luma;
    }
}

TEST(SensorModel, ColourTemperatureTiltsRedAgainstBlue)
{
    // A grey scene of 100 at the reference exposure (0.642857 per scene
    // level). A black body seen at 610, 550 and 465 nm, relative to 5500 K:
    // 3000 K gives red 1.4695 and blue 0.4869, 9000 K 0.8455 and 1.3766.
    struct Case {
        double Kelvin;
        SetA Expected;
    };
    const Case cases[] = {
        {5500, {64, 64, 64, 64}},
        {3000, {64, 94, 31, 64}}, // 94.47, 31.30
        {9000, {64, 54, 88, 64}}, // 54.36, 88.49
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Kelvin);
        StreamBench bench;
        Quiet(bench, 100);
        bench.camera.SetColourTemperature(c.Kelvin);
        bench.Start(k160At30);
        bench.Next();
        EXPECT_EQ(SetAOf(bench.camera.LastFrame()), c.Expected);
    }
}

TEST(SensorModel, LightChangesTakeEffectAtTheNextFrame)
{
    StreamBench bench;
    Quiet(bench, 128);
    bench.Start(k160At30);
    bench.Next();
    EXPECT_EQ(SetAOf(bench.camera.LastFrame()).Green1, 82);
    bench.camera.SetLight(2.0);
    bench.Next(33);
    EXPECT_EQ(SetAOf(bench.camera.LastFrame()).Green1, 82); // same frame
    bench.Next();                                           // 34 ms: the next one
    EXPECT_EQ(SetAOf(bench.camera.LastFrame()).Green1, 165);
}

TEST(SensorModel, TheSensorHoldDefersShutterAndGainToItsRelease)
{
    StreamBench bench;
    Quiet(bench, 128);
    bench.Start(k160At30);
    bench.Next();
    EXPECT_EQ(SetAOf(bench.camera.LastFrame()).Green1, 82);
    // Open the hold, halve the shutter: the next frame still has 438 rows.
    bench.WriteSensor(0x07, 0x00AB);
    bench.WriteSensor(0x09, 0x1000 + 219);
    bench.Next(34);
    EXPECT_EQ(bench.camera.LastFrame().Number, 2u);
    EXPECT_EQ(SetAOf(bench.camera.LastFrame()).Green1, 82);
    // Double the gain, release: both reach the following frame together.
    bench.WriteSensor(0x35, 36);
    bench.WriteSensor(0x07, 0x00AA);
    bench.Next(33);
    EXPECT_EQ(bench.camera.LastFrame().Number, 3u);
    EXPECT_EQ(SetAOf(bench.camera.LastFrame()).Green1, 82); // 219 rows, gain 36
    EXPECT_EQ(bench.camera.LastFrame().Sensor.Shutter, 0x1000 + 219);
    EXPECT_EQ(bench.camera.LastFrame().Sensor.Gain, 36);
}

TEST(SensorModel, ListedDefectsReadFullScale)
{
    // Entries (10, 20) and (101, 51) moved by word 21 = 0x0102: column + 1,
    // row + 2. The scene is black, so only the defects show.
    CameraConfig config;
    config.Calibration.Defects = {{10, 20}, {101, 51}};
    config.Calibration.Offsets = 0x0102;
    StreamBench bench(config);
    bench.camera.SetLight(0);
    bench.camera.SetSensorNoise(0);
    bench.Start(k352At15);
    bench.NextFrame();
    const FrameRecord frame = bench.camera.LastFrame();
    std::vector<size_t> bright;
    for (size_t i = 0; i < frame.Sensed.size(); ++i) {
        if (frame.Sensed[i] != 0) {
            bright.push_back(i);
        }
    }
    EXPECT_EQ(bright, (std::vector<size_t>{22 * 352 + 11, 53 * 352 + 102}));
    EXPECT_EQ(frame.Sensed[22 * 352 + 11], 255);
}

TEST(SensorModel, DefectsStayWhenTheListIsWithheldAndGoWithoutABlock)
{
    struct Case {
        const char* Name;
        bool Withhold;
        USHORT Magic;
        int Expected; // pixel (11, 22)
    };
    const Case cases[] = {
        {"withheld list", true, 0xAA55, 255},
        {"no calibration block", false, 0x1234, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        CameraConfig config;
        config.Calibration.Defects = {{11, 22}};
        config.Calibration.Withhold = c.Withhold;
        config.Calibration.Magic = c.Magic;
        StreamBench bench(config);
        bench.camera.SetLight(0);
        bench.camera.SetSensorNoise(0);
        bench.Start(k352At15);
        bench.Next();
        EXPECT_EQ(bench.camera.LastFrame().Sensed[22 * 352 + 11], c.Expected);
    }
}

TEST(SensorModel, SmallFrameDefectsLandOnTheBinnedPicture)
{
    // Array pixel (X, Y) lands on picture pixel (X / 2, (Y - 1) / 2); the
    // parities of X and Y - 1 pick green (different), red (both even) or
    // blue (both odd).
    struct Case {
        USHORT Column, Row;
        int X, Y, Channel; // R 0, G 1, B 2
    };
    const Case cases[] = {
        {10, 21, 5, 10, 0}, // even, even: red
        {11, 22, 5, 10, 2}, // odd, odd: blue
        {11, 21, 5, 10, 1}, // odd, even: green
        {10, 22, 5, 10, 1}, // even, odd: green
    };
    for (const Case& c : cases) {
        CameraConfig config;
        config.Calibration.Defects = {{c.Column, c.Row}};
        StreamBench bench(config);
        bench.camera.SetLight(0);
        bench.camera.SetSensorNoise(0);
        bench.Start(k176At30);
        bench.Next();
        const FrameRecord frame = bench.camera.LastFrame();
        size_t lit = 0;
        for (uint8_t v : frame.Sensed) {
            lit += v != 0;
        }
        EXPECT_EQ(lit, 1u) << c.Column << "," << c.Row;
        EXPECT_EQ(frame.Sensed[(size_t(c.Y) * 176 + size_t(c.X)) * 3 + size_t(c.Channel)], 255)
            << c.Column << "," << c.Row;
    }
}

// Mean green 1 of each even row of a large frame's mosaic.
std::vector<double> RowLevels(const FrameRecord& frame)
{
    std::vector<double> levels;
    for (int y = 0; y < frame.Height; y += 2) {
        double sum = 0;
        for (int x = 0; x < frame.Width; x += 2) {
            sum += frame.Sensed[size_t(y) * size_t(frame.Width) + size_t(x)];
        }
        levels.push_back(sum / (frame.Width / 2));
    }
    return levels;
}

double Spread(const std::vector<double>& levels)
{
    const auto [low, high] = std::minmax_element(levels.begin(), levels.end());
    return *high - *low;
}

TEST(SensorModel, FluorescentLightBandsUnlessTheExposureIsWholeHalfPeriods)
{
    // 30 frames/s, 73 rows = 1/120 s, 88 rows = 1/99.5 s. A grey scene of 128
    // gives 82 at 438 rows and gain 18; at 73 rows gain 31 it gives 128 *
    // 73 / 8760 * 31 / 16 * 11.43 = 23.6.
    struct Case {
        unsigned MainsHz;
        USHORT Rows;
        double MaxSpread; // row to row, in levels
        double MinSpread;
    };
    const Case cases[] = {
        {0, 73, 1.0, 0.0},   // steady light
        {60, 73, 1.0, 0.0},  // one whole ripple period
        {60, 146, 1.0, 0.0}, // two
        {50, 73, 99.0, 5.0}, // 0.83 of a 100 Hz period: bands
        {50, 88, 1.0, 0.0},  // a whole 100 Hz period, to 0.5 %
        {60, 37, 99.0, 5.0}, // half a ripple period
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.MainsHz * 1000 + c.Rows);
        StreamBench bench;
        Quiet(bench, 128);
        bench.camera.SetMainsFlicker(c.MainsHz);
        bench.Start({16, 3, 12}, c.Rows, 31);
        bench.Next();
        const std::vector<double> levels = RowLevels(bench.camera.LastFrame());
        EXPECT_LE(Spread(levels), c.MaxSpread);
        EXPECT_GE(Spread(levels), c.MinSpread);
    }
}

TEST(SensorModel, FlickerBandsMoveFromFrameToFrame)
{
    // At 50 Hz a 30 frames/s frame period is 3 1/3 ripple periods, so each
    // frame's bands sit a third of a ripple further on.
    StreamBench bench;
    Quiet(bench, 128);
    bench.camera.SetMainsFlicker(50);
    bench.Start({16, 3, 12}, 73, 31);
    bench.Next();
    const std::vector<double> first = RowLevels(bench.camera.LastFrame());
    bench.Next(34);
    const std::vector<double> second = RowLevels(bench.camera.LastFrame());
    ASSERT_EQ(bench.camera.LastFrame().Number, 2u);
    double largest = 0;
    for (size_t i = 0; i < first.size(); ++i) {
        largest = std::max(largest, std::abs(first[i] - second[i]));
    }
    EXPECT_GT(largest, 5.0);
}

TEST(SensorModel, NoiseIsSmallAndSeeded)
{
    StreamBench bench;
    bench.camera.SetScene(Flat(128, 128, 128));
    bench.Start(k352At15);
    bench.Next();
    const FrameRecord frame = bench.camera.LastFrame();
    int low = 255, high = 0;
    for (uint8_t v : frame.Sensed) {
        low = std::min(low, int(v));
        high = std::max(high, int(v));
    }
    // 166.28 at 15 frames/s, within +-2 levels of noise.
    EXPECT_GE(low, 164);
    EXPECT_LE(high, 168);
    EXPECT_GT(high - low, 1);
}

} // namespace
