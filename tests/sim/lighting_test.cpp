// The light model: colour temperature weights and the mean of a rippling
// fluorescent light over an exposure window.
#include <gtest/gtest.h>

#include "kald_sim/lighting.h"
#include "kald_sim/sensor.h"

namespace {

using kald::sim::IlluminantWeights;
using kald::sim::Lighting;
using kald::sim::MeanLight;

TEST(Lighting, ColourTemperatureWeights)
{
    // Planck's law at 610, 550 and 465 nm, relative to green and to 5500 K.
    struct Case {
        double Kelvin;
        double Red, Blue;
    };
    const Case cases[] = {
        {5500, 1.0, 1.0},           {3000, 1.469460, 0.486932},
        {4000, 1.187152, 0.724684}, {6500, 0.933995, 1.138088},
        {9000, 0.845523, 1.376554}, {500, 3.463794, 0.098919}, // below the range: as 1500 K
    };
    for (const Case& c : cases) {
        const auto w = IlluminantWeights(c.Kelvin);
        EXPECT_NEAR(w.Red, c.Red, 1e-3 * c.Red) << c.Kelvin;
        EXPECT_DOUBLE_EQ(w.Green, 1.0) << c.Kelvin;
        EXPECT_NEAR(w.Blue, c.Blue, 1e-3 * c.Blue) << c.Kelvin;
    }
}

TEST(Lighting, MeanOverAnExposureWindow)
{
    // 1 - d cos(4 pi f t) averaged over [t0, t0 + T).
    struct Case {
        unsigned Hz;
        double Depth, Level, Start, Duration, Expected;
    };
    const Case cases[] = {
        {0, 1.0, 0.7, 0.0123, 0.001, 0.7},      // steady
        {60, 1.0, 1.0, 0.0, 1.0 / 120, 1.0},    // one ripple period
        {60, 1.0, 2.0, 0.0037, 3.0 / 120, 2.0}, // three, anywhere
        {50, 1.0, 1.0, 0.0, 1.0 / 100, 1.0},
        {60, 1.0, 1.0, 0.0, 1.0 / 480, 0.363380},       // 1 - 2 / pi: the dark quarter
        {60, 1.0, 1.0, 1.0 / 480, 1.0 / 480, 1.636620}, // 1 + 2 / pi: the bright quarter
        {60, 0.5, 1.0, 0.0, 1.0 / 480, 0.681690},       // half the depth
        {60, 1.0, 1.0, 0.0, 0.0, 0.0},                  // instant at a trough
        {60, 1.0, 1.0, 1.0 / 240, 0.0, 2.0},            // instant at a crest
        {50, 1.0, 1.0, 3600.0, 0.0, 0.0},               // an hour on: a trough again
    };
    for (const Case& c : cases) {
        Lighting light;
        light.MainsHz = c.Hz;
        light.FlickerDepth = c.Depth;
        light.Level = c.Level;
        EXPECT_NEAR(MeanLight(light, c.Start, c.Duration), c.Expected, 1e-5)
            << c.Hz << " Hz from " << c.Start << " for " << c.Duration;
    }
}

TEST(SensorConversions, GainExposureFormatAndTiming)
{
    struct GainCase {
        uint16_t Register;
        double Gain;
    };
    for (const GainCase& c :
         {GainCase{0, 0.0}, GainCase{9, 0.5625}, GainCase{16, 1.0}, GainCase{31, 1.9375},
          GainCase{63, 3.9375}, GainCase{0x63, 4.375}, // code 70: 0x40 + 35
          GainCase{0x7F, 7.875}}) {                    // code 127
        EXPECT_DOUBLE_EQ(kald::sim::AnalogueGain(c.Register), c.Gain) << c.Register;
    }
    EXPECT_DOUBLE_EQ(kald::sim::ExposureSeconds(0x1000 + 73, 73.0), 1.0 / 120);
    EXPECT_DOUBLE_EQ(kald::sim::ExposureSeconds(0x1000 + 289, 36.125), 8.0 / 120);

    struct FormatCase {
        uint8_t Code;
        int Width, Height;
        bool Large;
    };
    for (const FormatCase& c : {FormatCase{16, 352, 288, true}, FormatCase{17, 320, 240, true},
                                FormatCase{12, 176, 144, false}, FormatCase{13, 160, 120, false}}) {
        const auto format = kald::sim::FormatForCode(c.Code);
        ASSERT_TRUE(format.has_value());
        EXPECT_EQ(format->Width, c.Width);
        EXPECT_EQ(format->Height, c.Height);
        EXPECT_EQ(format->Large, c.Large);
    }
    EXPECT_FALSE(kald::sim::FormatForCode(0).has_value());
    EXPECT_FALSE(kald::sim::FormatForCode(14).has_value());

    struct TimingCase {
        uint8_t Divider;
        unsigned Fps;
        double Rows;
    };
    for (const TimingCase& c :
         {TimingCase{3, 30, 73.0}, TimingCase{5, 21, 52.0}, TimingCase{8, 15, 36.125},
          TimingCase{13, 10, 24.2}, TimingCase{0, 30, 73.0}, TimingCase{4, 21, 52.0},
          TimingCase{10, 15, 36.125}, TimingCase{11, 10, 24.2}, TimingCase{255, 10, 24.2}}) {
        const auto timing = kald::sim::TimingForDivider(c.Divider);
        EXPECT_EQ(timing.FramesPerSecond, c.Fps) << int(c.Divider);
        EXPECT_DOUBLE_EQ(timing.RowsPer120, c.Rows) << int(c.Divider);
    }
}

TEST(SensorConversions, DefectsFromTheCalibrationMemory)
{
    std::vector<uint16_t> memory(256, 0);
    memory[17] = 0xAA55;
    memory[18] = 0x8002; // withheld, two entries
    memory[21] = 0x0305; // column + 3, row + 5
    memory[22] = 10;
    memory[23] = 20;
    memory[24] = 0xFFFF; // wraps to column 2
    memory[25] = 7;
    const auto defects = kald::sim::DefectsFromCalibration(memory);
    ASSERT_EQ(defects.size(), 2u);
    EXPECT_EQ(defects[0].Column, 13);
    EXPECT_EQ(defects[0].Row, 25);
    EXPECT_EQ(defects[1].Column, 2);
    EXPECT_EQ(defects[1].Row, 12);

    memory[17] = 0xFFFF; // erased
    EXPECT_TRUE(kald::sim::DefectsFromCalibration(memory).empty());
}

} // namespace
