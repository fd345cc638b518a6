#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <vector>

#include "autocontrol/auto_control.h"
#include "core/camera_context.h"
#include "hardware/registers.h"
#include "kald_host/host_usb.h"

namespace {

// One register write as the camera saw it: a bridge register, or a sensor
// register reassembled from the serial port's low byte / address / high byte
// writes.
struct Write {
    bool Sensor;
    USHORT Register;
    USHORT Value;

    bool operator==(const Write&) const = default;
};

Write SensorWrite(USHORT reg, USHORT value)
{
    return {true, reg, value};
}
Write BridgeWrite(USHORT reg, USHORT value)
{
    return {false, reg, value};
}

void PrintTo(const Write& w, std::ostream* os)
{
    *os << (w.Sensor ? "sensor 0x" : "bridge 0x") << std::hex << w.Register << " <- 0x" << w.Value
        << std::dec;
}

using Writes = std::vector<Write>;

// A camera that records every vendor transfer, answers the sensor port's
// status reads with "not busy", and fails chosen writes.
class RecordingCamera final : public kald::host::UsbDevice {
  public:
    struct Transfer {
        UCHAR Request;
        USHORT Value;
        USHORT Index;
        bool Read;
    };

    NTSTATUS VendorControl(UCHAR request, USHORT value, USHORT index, void* buffer, ULONG* length,
                           bool getData) override
    {
        Transfers.push_back({request, value, index, getData});
        if (getData) {
            if (index == REG_SERIAL_STATUS && buffer != nullptr && *length >= 1) {
                *static_cast<UCHAR*>(buffer) = 0; // not busy
                *length = 1;
                return STATUS_SUCCESS;
            }
            *length = 0;
            return STATUS_UNSUCCESSFUL;
        }
        for (Failure& f : Failures) {
            if (f.Register == index && f.Countdown > 0 && --f.Countdown == 0) {
                return STATUS_UNSUCCESSFUL;
            }
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS SelectAlternateSetting(UCHAR, UCHAR, USHORT*) override { return STATUS_NOT_SUPPORTED; }

    // The n-th write (1 = the next one) to `reg` from now fails.
    void FailWrite(USHORT reg, int n) { Failures.push_back({reg, n}); }

    void Clear()
    {
        Transfers.clear();
        Failures.clear();
    }

    // The writes in order, with each sensor write's serial-port traffic
    // (0x8805 low byte, 0x8801 register, 0x8800 high byte, status reads)
    // folded into one entry.
    Writes Log() const
    {
        Writes log;
        for (size_t i = 0; i < Transfers.size(); ++i) {
            const Transfer& t = Transfers[i];
            EXPECT_EQ(t.Request, 0) << "transfer " << i;
            if (t.Read) {
                EXPECT_EQ(t.Index, REG_SERIAL_STATUS) << "unexpected read, transfer " << i;
                continue;
            }
            if (t.Index == REG_SERIAL_ADDRESS || t.Index == REG_SERIAL_DATA_HIGH) {
                ADD_FAILURE() << "serial port write out of sequence, transfer " << i;
                continue;
            }
            if (t.Index != REG_SERIAL_DATA_LOW) {
                log.push_back(BridgeWrite(t.Index, t.Value));
                continue;
            }
            if (i + 2 >= Transfers.size() || Transfers[i + 1].Index != REG_SERIAL_ADDRESS ||
                Transfers[i + 1].Read || Transfers[i + 2].Index != REG_SERIAL_DATA_HIGH ||
                Transfers[i + 2].Read) {
                ADD_FAILURE() << "incomplete sensor write at transfer " << i;
                continue;
            }
            EXPECT_LT(t.Value, 0x100) << "low byte, transfer " << i;
            EXPECT_LT(Transfers[i + 2].Value, 0x100) << "high byte, transfer " << i + 2;
            // A sensor write waits for the port at least once.
            EXPECT_TRUE(i + 3 < Transfers.size() && Transfers[i + 3].Read)
                << "no status read after transfer " << i + 2;
            log.push_back(
                SensorWrite(Transfers[i + 1].Value, USHORT(Transfers[i + 2].Value << 8 | t.Value)));
            i += 2;
        }
        return log;
    }

  private:
    struct Failure {
        USHORT Register;
        int Countdown;
    };
    std::vector<Transfer> Transfers;
    std::vector<Failure> Failures;
};

// Rows of a whole number of 1/120 s at 50 Hz: (rows60 * 60 + 25) / 50.
// Sensor shutter register values are 0x1000 + rows.

class AutoControlTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        Context = std::make_unique<CameraContext>();
        kald::host::BindDevice(Context.get(), &Camera);
        AutoControlInit(&State(), Context.get());
    }

    void TearDown() override { kald::host::BindDevice(Context.get(), nullptr); }

    AutoControlState& State() { return Context->AutoControlState; }

    // Capture start at `frameRate` with the given stored index; the writes
    // it makes are forgotten.
    void Prepare(USHORT frameRate, SHORT index)
    {
        Context->ModeFrameRate = frameRate;
        State().ExposureIndex = index;
        AutoControlPrepare(&State(), Context.get());
        Camera.Clear();
    }

    // Set A all `a`, set B all `b`: grey statistics with no colour error.
    void SetGrey(UCHAR a, UCHAR b)
    {
        UCHAR* s = State().Stats;
        s[0] = s[1] = s[2] = s[3] = a;
        s[4] = s[5] = s[6] = s[7] = b;
    }

    // Set B with the given red, green (both greens) and blue; set A grey 128.
    void SetColourB(UCHAR red, UCHAR green, UCHAR blue)
    {
        UCHAR* s = State().Stats;
        s[0] = s[1] = s[2] = s[3] = 128;
        s[4] = red;
        s[5] = s[6] = green;
        s[7] = blue;
    }

    std::unique_ptr<CameraContext> Context;
    RecordingCamera Camera;
};

// ---------------------------------------------------------------------------
// Exposure tables

// An index range of a table. Rows holds one value per index, or a single
// value that every index of the range shares. The gain is FirstGain
// throughout when LastGain equals it, else it climbs by one per index.
struct TableRange {
    int First, Last;
    std::vector<int> Rows;
    int FirstGain, LastGain;
};

struct TableLayout {
    USHORT Rate;
    int Rows0, Gain0; // index 0
    std::vector<TableRange> Ranges;
};

// The tables as ranges of (shutter rows at 60 Hz, gain code).
const std::vector<TableLayout>& TableLayouts()
{
    static const std::vector<TableLayout> layouts = {
        {30,
         5,
         0,
         {
             {1, 17, {3, 4, 5, 6, 7, 8, 9, 10, 11, 14, 17, 20, 23, 26, 29, 32, 35}, 9, 9},
             {18, 29, {37}, 9, 20},
             {30, 41, {73}, 9, 20},
             {42, 47, {146}, 10, 15},
             {48, 51, {219}, 10, 13},
             {52, 66, {292}, 10, 24},
             {67, 69, {438}, 16, 18},
             {70, 72, {584}, 13, 15},
             {73, 76, {876}, 10, 13},
             {77, 78, {1022}, 11, 12},
             {79, 94, {1095}, 11, 26},
         }},
        {21,
         1095,
         27,
         {
             {1, 5, {3}, 9, 9},
             {6, 17, {4, 5, 6, 7, 8, 9, 10, 11, 14, 17, 19, 22}, 9, 9},
             {18, 29, {24}, 9, 20},
             {30, 41, {52}, 9, 20},
             {42, 47, {104}, 10, 15},
             {48, 51, {156}, 10, 13},
             {52, 57, {208}, 10, 15},
             {58, 67, {312}, 10, 19},
             {68, 69, {416}, 14, 15},
             {70, 73, {624}, 10, 13},
             {74, 75, {728}, 11, 12},
             {76, 94, {780}, 11, 29},
         }},
        {15,
         780,
         30,
         {
             {1, 5, {3}, 9, 9},
             {6, 17, {4, 5, 6, 7, 8, 9, 10, 11, 14, 15, 16, 18}, 9, 9},
             {18, 29, {19}, 9, 20},
             {30, 41, {36}, 9, 20},
             {42, 47, {72}, 10, 15},
             {48, 51, {108}, 10, 13},
             {52, 57, {145}, 10, 15},
             {58, 61, {217}, 10, 13},
             {62, 71, {289}, 10, 19},
             {72, 73, {506}, 11, 12},
             {74, 94, {542}, 11, 31},
         }},
        {10,
         542,
         32,
         {
             {1, 9, {3}, 9, 9},
             {10, 17, {4, 5, 6, 7, 8, 9, 10, 11}, 9, 9},
             {18, 29, {12}, 9, 20},
             {30, 41, {24}, 9, 20},
             {42, 47, {48}, 10, 15},
             {48, 51, {73}, 10, 13},
             {52, 57, {97}, 10, 15},
             {58, 61, {145}, 10, 13},
             {62, 67, {194}, 10, 15},
             {68, 71, {290}, 10, 13},
             {72, 73, {339}, 11, 12},
             {74, 94, {363}, 11, 31},
         }},
    };
    return layouts;
}

// The 95 entries a layout describes, checking that its ranges cover every
// index once.
std::vector<ExposureEntry> Expand(const TableLayout& layout)
{
    std::vector<ExposureEntry> entries(EXPOSURE_TABLE_ENTRIES, ExposureEntry{0xFFFF, 0xFFFF});
    std::vector<int> covered(EXPOSURE_TABLE_ENTRIES, 0);
    entries[0] = {USHORT(layout.Rows0), USHORT(layout.Gain0)};
    covered[0] = 1;
    for (const TableRange& r : layout.Ranges) {
        const int count = r.Last - r.First + 1;
        EXPECT_TRUE(r.Rows.size() == 1 || int(r.Rows.size()) == count) << r.First;
        EXPECT_TRUE(r.FirstGain == r.LastGain || r.LastGain - r.FirstGain + 1 == count) << r.First;
        for (int k = 0; k < count; ++k) {
            const int rows = r.Rows.size() == 1 ? r.Rows[0] : r.Rows[k];
            const int gain = r.FirstGain == r.LastGain ? r.FirstGain : r.FirstGain + k;
            entries[r.First + k] = {USHORT(rows), USHORT(gain)};
            ++covered[r.First + k];
        }
    }
    for (int i = 0; i < EXPOSURE_TABLE_ENTRIES; ++i) {
        EXPECT_EQ(covered[i], 1) << "rate " << layout.Rate << " index " << i;
    }
    return entries;
}

TEST(ExposureTables, EveryEntryMatchesItsIndexRange)
{
    for (const TableLayout& layout : TableLayouts()) {
        const std::vector<ExposureEntry> expected = Expand(layout);
        const ExposureEntry* table = ExposureTableFor(layout.Rate);
        ASSERT_NE(table, nullptr);
        for (int i = 0; i < EXPOSURE_TABLE_ENTRIES; ++i) {
            EXPECT_EQ(table[i].Shutter60, expected[i].Shutter60)
                << "rate " << layout.Rate << " index " << i;
            EXPECT_EQ(table[i].Gain, expected[i].Gain) << "rate " << layout.Rate << " index " << i;
        }
    }
}

TEST(ExposureTables, RatesWithoutTheirOwnTableUseTheThirtyTable)
{
    const ExposureEntry* thirty = ExposureTableFor(30);
    for (USHORT rate : {0, 1, 5, 20, 25, 29, 31, 60, 0xFFFF}) {
        EXPECT_EQ(ExposureTableFor(rate), thirty) << rate;
    }
    EXPECT_NE(ExposureTableFor(21), thirty);
    EXPECT_NE(ExposureTableFor(15), thirty);
    EXPECT_NE(ExposureTableFor(10), thirty);
}

// ---------------------------------------------------------------------------
// Initialisation and capture start

TEST_F(AutoControlTest, InitSetsDefaultsAndKeepsStoredValues)
{
    auto context = std::make_unique<CameraContext>();
    AutoControlState& s = context->AutoControlState;
    s.EnableFlags = 3;
    s.ExposureIndex = 40;
    s.RedGain = 90;
    s.BlueGain = 91;
    s.AwbErrorRed = 7;
    s.AwbErrorBlue = -7;
    AutoControlInit(&s, context.get());

    EXPECT_EQ(s.Context, context.get());
    EXPECT_EQ(s.ClockDivider, 0xFF);
    EXPECT_EQ(s.Tolerance, 8);
    EXPECT_EQ(s.Shutter, 0xFFFE);
    EXPECT_EQ(s.Gain, 0);
    EXPECT_EQ(s.TargetBase, 72);
    EXPECT_EQ(s.TargetScale, 128);
    EXPECT_EQ(s.FlickerHz, 60);
    EXPECT_EQ(s.FlickerOff, 0);
    EXPECT_EQ(s.AwbDeadband, 1);
    EXPECT_EQ(s.AwbErrorRed, 0);
    EXPECT_EQ(s.AwbErrorBlue, 0);
    // From the stored settings: untouched.
    EXPECT_EQ(s.EnableFlags, 3u);
    EXPECT_EQ(s.ExposureIndex, 40);
    EXPECT_EQ(s.RedGain, 90);
    EXPECT_EQ(s.BlueGain, 91);
    // Stay 0 until the first capture start.
    EXPECT_EQ(s.MinIndex, 0);
    EXPECT_EQ(s.MaxIndex, 0);
    EXPECT_EQ(s.FlickerMinIndex, 0);
}

TEST_F(AutoControlTest, PrepareSetsLimitsPerFrameRate)
{
    struct Case {
        USHORT Rate;
        USHORT MinIndex;
    };
    const Case cases[] = {
        {30, 1}, {21, 5}, {15, 5},
        {10, 9}, {0, 5},  {25, 5}, // any other rate: 5 (while using the 30 table)
    };
    for (const Case& c : cases) {
        State().Tolerance = 16;
        State().AwbDeadband = 3;
        Context->ModeClockDivider = 0x1208;
        Prepare(c.Rate, 40);
        EXPECT_EQ(State().MinIndex, c.MinIndex) << c.Rate;
        EXPECT_EQ(State().MaxIndex, 94) << c.Rate;
        EXPECT_EQ(State().FlickerMinIndex, 30) << c.Rate;
        EXPECT_EQ(State().ClockDivider, 0x08) << c.Rate; // low byte
        EXPECT_EQ(State().Tolerance, 8) << c.Rate;
        EXPECT_EQ(State().AwbDeadband, 1) << c.Rate;
        EXPECT_EQ(State().ExposureIndex, 40) << c.Rate;
    }
}

TEST_F(AutoControlTest, PrepareDerivesThresholdsFromTheTarget)
{
    struct Case {
        USHORT Target;
        SHORT Bright[4], Dark[4], DarkLimit[4], BrightLimit[4];
    };
    const Case cases[] = {
        // t = 72 (below 128): bright levels fixed, dark levels t-8, t-24, t-40, t-56.
        // DarkLimit: 94 - 72/5 = 80, 94 - 64/5 = 82, 94 - 48/5 = 85, 94 - 32/5 = 88.
        // BrightLimit: (253-72)/5 + 30 = 66, 104/5 + 30 = 50, 88/5 + 30 = 47, 72/5 + 30 = 44.
        {72, {104, 88, 72, 56}, {64, 48, 32, 16}, {80, 82, 85, 88}, {66, 50, 47, 44}},
        // t = 160: dark levels fixed, bright levels 232-t, 216-t, 200-t, 184-t.
        // DarkLimit: 94 - 32 = 62, 94 - 20 = 74, 94 - 17 = 77, 94 - 14 = 80.
        // BrightLimit: 93/5 + 30 = 48, 72/5 + 30 = 44, 56/5 + 30 = 41, 40/5 + 30 = 38.
        {160, {72, 56, 40, 24}, {104, 88, 72, 56}, {62, 74, 77, 80}, {48, 44, 41, 38}},
        // t = 240: negative bright levels; divisions truncate towards zero:
        // -8/5 = -1 -> 29, -24/5 = -4 -> 26, -40/5 = -8 -> 22; 13/5 + 30 = 32.
        // DarkLimit: 94 - 48 = 46, then 74, 77, 80.
        {240, {-8, -24, -40, -56}, {104, 88, 72, 56}, {46, 74, 77, 80}, {32, 29, 26, 22}},
        // t = 127 (last below 128): dark 119, 103, 87, 71.
        // DarkLimit: 94 - 25 = 69, 94 - 23 = 71, 94 - 20 = 74, 94 - 17 = 77.
        // BrightLimit: 126/5 + 30 = 55, then 50, 47, 44.
        {127, {104, 88, 72, 56}, {119, 103, 87, 71}, {69, 71, 74, 77}, {55, 50, 47, 44}},
    };
    for (const Case& c : cases) {
        State().TargetBase = c.Target;
        Prepare(30, 40);
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(State().BrightLevel[k], c.Bright[k]) << "t " << c.Target << " k " << k;
            EXPECT_EQ(State().DarkLevel[k], c.Dark[k]) << "t " << c.Target << " k " << k;
            EXPECT_EQ(State().DarkIndexLimit[k], c.DarkLimit[k]) << "t " << c.Target << " k " << k;
            EXPECT_EQ(State().BrightIndexLimit[k], c.BrightLimit[k])
                << "t " << c.Target << " k " << k;
        }
    }
}

TEST_F(AutoControlTest, PrepareWritesTheStoredExposureAndGains)
{
    struct Case {
        const char* What;
        USHORT Rate;
        SHORT Index;
        UCHAR FlickerOff;
        USHORT FlickerHz;
        USHORT Rows, GainValue; // as written to the sensor
    };
    const Case cases[] = {
        // Index 40 at 30 frames/s: 73 rows, gain 19.
        {"stored index", 30, 40, 0, 60, 73, 19},
        // Index 3 lies below the flicker floor: index 30 (73 rows, gain 9) is
        // written, the stored index stays 3.
        {"below the flicker floor", 30, 3, 0, 60, 73, 9},
        // Without flicker compensation index 3 itself: 5 rows, gain 9.
        {"flicker off", 30, 3, 1, 60, 5, 9},
        // Index 30 at 50 Hz: (73 * 60 + 25) / 50 = 88 rows.
        {"50 Hz", 30, 30, 0, 50, 88, 9},
        // A negative index compares unsigned: above the floor, clamped to 94.
        {"negative index", 30, -1, 0, 60, 1095, 26},
        // 10 frames/s, index 80: 363 rows, gain 17.
        {"10 frames/s", 10, 80, 0, 60, 363, 17},
        // 10 frames/s at 50 Hz, index 80: (363 * 60 + 25) / 50 = 436 rows.
        {"10 frames/s 50 Hz", 10, 80, 0, 50, 436, 17},
        // 21 frames/s, index 0 with flicker off: clamped to MinIndex 5, 3 rows gain 9.
        {"21 frames/s lowest", 21, 0, 1, 60, 3, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        State().FlickerOff = c.FlickerOff;
        State().FlickerHz = c.FlickerHz;
        State().RedGain = 0x1A5; // only the low byte reaches the register
        State().BlueGain = 0x33;
        Context->ModeFrameRate = c.Rate;
        State().ExposureIndex = c.Index;
        Camera.Clear();
        AutoControlPrepare(&State(), Context.get());
        const Writes expected = {
            SensorWrite(SENSOR_HOLD, 0x00AB),
            SensorWrite(SENSOR_GAIN, c.GainValue),
            SensorWrite(SENSOR_SHUTTER, USHORT(0x1000 + c.Rows)),
            SensorWrite(SENSOR_HOLD, 0x00AA),
            BridgeWrite(REG_RED_GAIN, 0xA5),
            BridgeWrite(REG_BLUE_GAIN, 0x33),
        };
        EXPECT_EQ(Camera.Log(), expected);
        EXPECT_EQ(State().ExposureIndex, c.Index);
        EXPECT_EQ(State().Shutter, c.Rows);
        EXPECT_EQ(State().Gain, c.GainValue);
        EXPECT_EQ(State().RedGain, 0x1A5);
    }
}

// ---------------------------------------------------------------------------
// Measurement

TEST_F(AutoControlTest, MeasurementComputesLumaAndColourErrors)
{
    struct Case {
        const char* What;
        UCHAR Stats[8]; // red A, green A1, green A2, blue A, red B, green B1, green B2, blue B
        USHORT LumaA, LumaB;
        SHORT ErrorRed, ErrorBlue;
        USHORT Y, LumaError;
    };
    const Case cases[] = {
        // All zero: LumaA 0 becomes 1; Y = (1 + 0) >> 1 = 0; error 72.
        {"black", {0, 0, 0, 0, 0, 0, 0, 0}, 1, 0, 0, 0, 0, 72},
        // 255: 76 + 29 + 149 = 254 for both sets.
        {"white", {255, 255, 255, 255, 255, 255, 255, 255}, 254, 254, 0, 0, 254, 182},
        // A: green (81 + 80) >> 1 = 80; 29900/1000 = 29, 6840/1000 = 6,
        //    46960/1000 = 46 -> 81.
        // B: green (200 + 201) >> 1 = 200; 2990/1000 = 2, 28500/1000 = 28,
        //    117400/1000 = 117 -> 147. Red - green = -190 = 66 mod 256.
        // Y = (81 + 147) >> 1 = 114, error 42.
        {"mixed", {100, 81, 80, 60, 10, 200, 201, 250}, 81, 147, 66, 50, 114, 42},
        // Red B 200, green B 50: 150 reads as -106. LumaB: 59 + 5 + 29 = 93.
        // A: green (3 + 2) >> 1 = 2 -> 897/1000 = 0, 228/1000 = 0, 1174/1000 = 1 -> 1.
        // Y = (1 + 93) >> 1 = 47, error 25.
        {"8-bit wrap", {3, 3, 2, 2, 200, 50, 50, 50}, 1, 93, -106, 0, 47, 25},
        // Terms floor on their own: red 3, green 1, blue 8 give 0 + 0 + 0
        // (2.396 as a whole), so LumaA 0 becomes 1. Blue - green: 8 - 1 = 7,
        // red - green: 3 - 1 = 2.
        {"separate floors", {3, 1, 2, 8, 3, 1, 2, 8}, 1, 0, 2, 7, 0, 72},
        // Red and blue 0, green 255: -255 = +1 mod 256. LumaB 0 + 0 + 149;
        // Y = (1 + 149) >> 1 = 75, error 3.
        {"wrap to +1", {0, 0, 0, 0, 0, 255, 255, 0}, 1, 149, 1, 1, 75, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        for (int k = 0; k < 8; ++k) {
            State().Stats[k] = c.Stats[k];
        }
        EXPECT_EQ(MeasureStatistics(&State()), c.Y);
        EXPECT_EQ(State().LumaA, c.LumaA);
        EXPECT_EQ(State().LumaB, c.LumaB);
        EXPECT_EQ(State().AwbErrorRed, c.ErrorRed);
        EXPECT_EQ(State().AwbErrorBlue, c.ErrorBlue);
        EXPECT_EQ(State().TargetLuma, 72);
        EXPECT_EQ(State().LumaError, c.LumaError);
    }
    EXPECT_EQ(Camera.Log(), Writes{});
}

TEST_F(AutoControlTest, TargetScalesAndSaturates)
{
    struct Case {
        USHORT Base, Scale, Target;
    };
    const Case cases[] = {
        {72, 128, 72},   // scale 1.0
        {72, 256, 144},  // scale 2.0
        {72, 64, 36},    // scale 0.5
        {200, 256, 255}, // 400 saturates
        {255, 129, 255}, // 256.99 -> 256 saturates
        {100, 130, 101}, // 13000 / 128 = 101.56 truncates
    };
    SetGrey(0, 0);
    for (const Case& c : cases) {
        State().TargetBase = c.Base;
        State().TargetScale = c.Scale;
        MeasureStatistics(&State());
        EXPECT_EQ(State().TargetLuma, c.Target) << c.Base << " x " << c.Scale;
        EXPECT_EQ(State().LumaError, c.Target) << c.Base << " x " << c.Scale; // Y = 0
    }
}

// ---------------------------------------------------------------------------
// Automatic exposure

// Grey statistics (set A, set B) and the luma they give, with the error
// against the target 72:
//   grey 34: 10 + 3 + 19 = 32            -> Y 32, e 40 (too dark)
//   grey 0: LumaA 1, LumaB 0             -> Y 0, e 72 (too dark)
//   grey 64: 19 + 7 + 37 = 63            -> Y 63, e 9 (too dark)
//   grey 65: 19 + 7 + 38 = 64            -> Y 64, e 8
//   grey 61/62: 59 and 61                -> Y 60, e 12
//   grey 56/57: 54 and 56                -> Y 55, e 17 (too dark)
//   grey 89: 26 + 10 + 52 = 88           -> Y 88, e 16 (too bright)
//   grey 123: 36 + 14 + 72 = 122         -> Y 122, e 50 (too bright)
//   grey 131/132: 129 and 131            -> Y 130, e 58 (too bright)
//   grey 255: 254                        -> Y 254, e 182 (too bright)
struct Grey {
    UCHAR A, B;
};
constexpr Grey kDark40 = {34, 34};
constexpr Grey kDark72 = {0, 0};
constexpr Grey kDark9 = {64, 64};
constexpr Grey kDark8 = {65, 65};
constexpr Grey kDark12 = {61, 62};
constexpr Grey kDark17 = {56, 57};
constexpr Grey kBright16 = {89, 89};
constexpr Grey kBright50 = {123, 123};
constexpr Grey kBright58 = {131, 132};
constexpr Grey kBright182 = {255, 255};

TEST_F(AutoControlTest, ExposureStepMovesTheIndex)
{
    struct Case {
        const char* What;
        Grey Stats;
        SHORT Index;
        UCHAR FlickerOff;
        USHORT Tolerance;
        SHORT NewIndex;
        USHORT NewTolerance;
        BOOLEAN Settled;
    };
    // Thresholds for t = 72: DarkLevel {64, 48, 32, 16} with DarkIndexLimit
    // {80, 82, 85, 88}; BrightLevel {104, 88, 72, 56} with BrightIndexLimit
    // {66, 50, 47, 44}. A large step is e >> 4 (at most 16).
    const Case cases[] = {
        // e 40 > DarkLevel[2] = 32 and 50 < 85: large step 40 >> 4 = 2.
        {"dark large", kDark40, 50, 0, 8, 52, 8, FALSE},
        // Index 87 < 88 (level 3, e 40 > 16): still large.
        {"dark large at 87", kDark40, 87, 0, 8, 89, 8, FALSE},
        // Index 88: no limit left above it: step 1.
        {"dark at 88", kDark40, 88, 0, 8, 89, 8, FALSE},
        // e 72 > 64 at index 79 < 80: step 72 >> 4 = 4.
        {"dark 72 at 79", kDark72, 79, 0, 8, 83, 8, FALSE},
        // Index 80: level 0 exhausted, level 1 (e 72 > 48, 80 < 82) still large.
        {"dark 72 at 80", kDark72, 80, 0, 8, 84, 8, FALSE},
        // e 17 > 16 at index 40 < 88: large, but 17 >> 4 = 1.
        {"dark 17", kDark17, 40, 0, 8, 41, 8, FALSE},
        // e 9 passes no level: step 1.
        {"dark small", kDark9, 40, 0, 8, 41, 8, FALSE},
        // e 8 is not above the tolerance 8: nothing moves, band widens.
        {"inside 8", kDark8, 40, 0, 8, 40, 16, TRUE},
        // e 12 inside the widened band 16.
        {"inside 16", kDark12, 40, 0, 16, 40, 16, TRUE},
        // e 16 inside 16 exactly.
        {"inside 16 bright", kBright16, 40, 0, 16, 40, 16, TRUE},
        // e 17 beyond 16: step, band back to 8.
        {"beyond 16", kDark17, 40, 0, 16, 41, 8, FALSE},
        // e 50 is below every bright level: down by exactly 1.
        {"bright small", kBright50, 60, 0, 8, 59, 8, FALSE},
        // e 58 > 56 at index 60 > 44: large, 58 >> 4 = 3.
        {"bright 58", kBright58, 60, 0, 8, 57, 8, FALSE},
        // Index 44 is not above 44: step 1.
        {"bright 58 at 44", kBright58, 44, 0, 8, 43, 8, FALSE},
        // e 182 > 104 at 80 > 66: 182 >> 4 = 11.
        {"bright 182 at 80", kBright182, 80, 0, 8, 69, 8, FALSE},
        // Index 66: level 1 (e > 88, 66 > 50).
        {"bright 182 at 66", kBright182, 66, 0, 8, 55, 8, FALSE},
        // Index 45 > 44 (level 3): 45 - 11 = 34.
        {"bright 182 at 45", kBright182, 45, 0, 8, 34, 8, FALSE},
        // Index 44: no level left: 43.
        {"bright 182 at 44", kBright182, 44, 0, 8, 43, 8, FALSE},
        // Flicker on: never below 30.
        {"floor 30", kBright182, 30, 0, 8, 30, 8, TRUE},
        {"floor 30 from 31", kBright182, 31, 0, 8, 30, 8, FALSE},
        // A stored index below the floor moves up to it, also when darker.
        {"below floor, darker", kDark9, 5, 0, 8, 30, 8, FALSE},
        {"below floor, brighter", kBright50, 5, 0, 8, 30, 8, FALSE},
        // Flicker off: down to MinIndex 1 (30 frames/s), not below.
        {"flicker off 31", kBright50, 31, 1, 8, 30, 8, FALSE},
        {"flicker off 29", kBright50, 29, 1, 8, 28, 8, FALSE},
        {"flicker off 1", kBright182, 1, 1, 8, 1, 8, TRUE},
        {"flicker off 3 large", kBright182, 3, 1, 8, 2, 8, FALSE},
        // Top: never above 94.
        {"top", kDark72, 94, 0, 8, 94, 8, TRUE},
        {"near top", kDark9, 93, 0, 8, 94, 8, FALSE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        State().FlickerOff = c.FlickerOff;
        Prepare(30, c.Index);
        State().EnableFlags = AUTO_ENABLE_EXPOSURE;
        State().Tolerance = c.Tolerance;
        SetGrey(c.Stats.A, c.Stats.B);
        BOOLEAN settled = 0xAA;
        AutoExposureStep(&State(), &settled);
        EXPECT_EQ(State().ExposureIndex, c.NewIndex);
        EXPECT_EQ(State().Tolerance, c.NewTolerance);
        EXPECT_EQ(settled, c.Settled);
    }
}

TEST_F(AutoControlTest, ExposureStepWritesTheNewEntry)
{
    // 30 frames/s index 41 (73 rows, gain 20) -> 42 (146 rows, gain 10): a
    // combined change inside the hold.
    Prepare(30, 41);
    State().EnableFlags = AUTO_ENABLE_EXPOSURE;
    SetGrey(kDark9.A, kDark9.B);
    BOOLEAN settled = 0xAA;
    AutoExposureStep(&State(), &settled);
    EXPECT_EQ(State().ExposureIndex, 42);
    EXPECT_EQ(Camera.Log(), (Writes{
                                SensorWrite(SENSOR_HOLD, 0x00AB),
                                SensorWrite(SENSOR_GAIN, 10),
                                SensorWrite(SENSOR_SHUTTER, 0x1000 + 146),
                                SensorWrite(SENSOR_HOLD, 0x00AA),
                            }));
}

TEST_F(AutoControlTest, ExposureStepInsideTheBandWritesNothing)
{
    Prepare(30, 40);
    State().EnableFlags = AUTO_ENABLE_EXPOSURE;
    SetGrey(kDark8.A, kDark8.B);
    BOOLEAN settled = FALSE;
    AutoExposureStep(&State(), &settled);
    EXPECT_EQ(settled, TRUE);
    EXPECT_EQ(State().Tolerance, 16);
    EXPECT_EQ(Camera.Log(), Writes{});
}

TEST_F(AutoControlTest, ExposureStepClampedInPlaceWritesNothing)
{
    // At the flicker floor and too bright: the index stays, the registers
    // already hold it.
    Prepare(30, 30);
    State().EnableFlags = AUTO_ENABLE_EXPOSURE;
    SetGrey(kBright182.A, kBright182.B);
    BOOLEAN settled = FALSE;
    AutoExposureStep(&State(), &settled);
    EXPECT_EQ(settled, TRUE);
    EXPECT_EQ(State().Tolerance, 8);
    EXPECT_EQ(Camera.Log(), Writes{});
}

TEST_F(AutoControlTest, ExposureStepDisabledOnlyMeasures)
{
    Prepare(30, 50);
    State().EnableFlags = AUTO_ENABLE_WHITE_BALANCE; // AE bit clear
    SetGrey(kDark40.A, kDark40.B);
    BOOLEAN settled = 0xAA;
    AutoExposureStep(&State(), &settled);
    EXPECT_EQ(settled, 0xAA);
    EXPECT_EQ(State().ExposureIndex, 50);
    EXPECT_EQ(State().Tolerance, 8);
    EXPECT_EQ(State().LumaError, 40);
    EXPECT_EQ(State().LumaA, 32);
    EXPECT_EQ(Camera.Log(), Writes{});
}

TEST_F(AutoControlTest, GainOnlyChangeIsHeldAtFiftyHertzOnly)
{
    // Index 31 (73 rows, gain 10) -> 32 (73 rows, gain 11) at 30 frames/s.
    struct Case {
        FlickerMode Mode;
        Writes Expected;
    };
    const Case cases[] = {
        {FlickerMode60Hz, {SensorWrite(SENSOR_GAIN, 11)}},
        {FlickerMode50Hz,
         {SensorWrite(SENSOR_HOLD, 0x00AB), SensorWrite(SENSOR_GAIN, 11),
          SensorWrite(SENSOR_HOLD, 0x00AA)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Mode);
        Prepare(30, 31);
        EXPECT_EQ(SetFlickerMode(&State(), c.Mode), STATUS_SUCCESS);
        Camera.Clear();
        State().EnableFlags = AUTO_ENABLE_EXPOSURE;
        SetGrey(kDark9.A, kDark9.B);
        BOOLEAN settled = TRUE;
        AutoExposureStep(&State(), &settled);
        EXPECT_EQ(settled, FALSE);
        EXPECT_EQ(State().ExposureIndex, 32);
        EXPECT_EQ(Camera.Log(), c.Expected);
    }
}

// ---------------------------------------------------------------------------
// Applying an index, shutter and gain

TEST_F(AutoControlTest, ApplyExposureIndexWritesOnlyWhatChanges)
{
    struct Case {
        const char* What;
        USHORT Rate;
        SHORT From; // applied first (after capture start), writes forgotten
        UCHAR FlickerOff;
        SHORT To;
        Writes Expected;
        USHORT Shutter, Gain; // recorded afterwards
    };
    const Case cases[] = {
        {"same index", 30, 40, 0, 40, {}, 73, 19},
        // 17 (35 rows) -> 16 (32 rows), both gain 9: the shutter alone.
        {"shutter only", 30, 17, 1, 16, {SensorWrite(SENSOR_SHUTTER, 0x1020)}, 32, 9},
        // 30 -> 31: gain 9 -> 10 alone.
        {"gain only", 30, 30, 0, 31, {SensorWrite(SENSOR_GAIN, 10)}, 73, 10},
        // 47 (146, 15) -> 48 (219, 10): both, held.
        {"both",
         30,
         47,
         0,
         48,
         {SensorWrite(SENSOR_HOLD, 0x00AB), SensorWrite(SENSOR_GAIN, 10),
          SensorWrite(SENSOR_SHUTTER, 0x1000 + 219), SensorWrite(SENSOR_HOLD, 0x00AA)},
         219,
         10},
        // Above 94: clamped to 94 (1095 rows, gain 26).
        {"above the top", 30, 93, 0, 200, {SensorWrite(SENSOR_GAIN, 26)}, 1095, 26},
        // Negative: unsigned, so clamped to the top as well.
        {"negative", 30, 93, 0, -5, {SensorWrite(SENSOR_GAIN, 26)}, 1095, 26},
        // Below MinIndex (9 at 10 frames/s): index 9 is 3 rows gain 9, as 1.
        {"below MinIndex", 10, 10, 1, 0, {SensorWrite(SENSOR_SHUTTER, 0x1003)}, 3, 9},
        // ApplyExposureIndex itself does not enforce the flicker floor:
        // index 10 is the tenth of rows 3..35 (14 rows, gain 9).
        {"not floored", 30, 30, 0, 10, {SensorWrite(SENSOR_SHUTTER, 0x1000 + 14)}, 14, 9},
        // 15 frames/s: 57 (145, 15) -> 58 (217, 10).
        {"15 frames/s",
         15,
         57,
         0,
         58,
         {SensorWrite(SENSOR_HOLD, 0x00AB), SensorWrite(SENSOR_GAIN, 10),
          SensorWrite(SENSOR_SHUTTER, 0x1000 + 217), SensorWrite(SENSOR_HOLD, 0x00AA)},
         217,
         10},
        // 21 frames/s: 76 (780, 11) -> 75 (728, 12).
        {"21 frames/s",
         21,
         76,
         0,
         75,
         {SensorWrite(SENSOR_HOLD, 0x00AB), SensorWrite(SENSOR_GAIN, 12),
          SensorWrite(SENSOR_SHUTTER, 0x1000 + 728), SensorWrite(SENSOR_HOLD, 0x00AA)},
         728,
         12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        State().FlickerOff = c.FlickerOff;
        Prepare(c.Rate, c.From);
        ASSERT_EQ(ApplyExposureIndex(&State(), c.From), STATUS_SUCCESS);
        Camera.Clear();
        EXPECT_EQ(ApplyExposureIndex(&State(), c.To), STATUS_SUCCESS);
        EXPECT_EQ(Camera.Log(), c.Expected);
        EXPECT_EQ(State().Shutter, c.Shutter);
        EXPECT_EQ(State().Gain, c.Gain);
    }
}

TEST_F(AutoControlTest, FiftyHertzRescalesTheShutter)
{
    struct Case {
        USHORT Rate;
        SHORT Index;
        USHORT Rows; // (rows60 * 60 + 25) / 50
    };
    const Case cases[] = {
        {30, 30, 88},   // 73 -> 4405 / 50
        {30, 94, 1314}, // 1095 -> 65725 / 50
        {21, 30, 62},   // 52 -> 3145 / 50
        {15, 30, 43},   // 36 -> 2185 / 50
        {10, 74, 436},  // 363 -> 21805 / 50
        {10, 30, 29},   // 24 -> 1465 / 50
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Index);
        Prepare(c.Rate, c.Index);
        EXPECT_EQ(SetFlickerMode(&State(), FlickerMode50Hz), STATUS_SUCCESS);
        EXPECT_EQ(Camera.Log(), Writes{SensorWrite(SENSOR_SHUTTER, USHORT(0x1000 + c.Rows))});
        EXPECT_EQ(State().Shutter, c.Rows);
    }
}

TEST_F(AutoControlTest, ShutterAndGainEncoding)
{
    struct ShutterCase {
        USHORT Rows, Value;
    };
    const ShutterCase shutters[] = {
        {0, 0x1000},      {73, 0x1049},     {1095, 0x1447},
        {0x0FFF, 0x1FFF}, {0x1000, 0x1000}, {0x2345, 0x1345}, // only 12 bits of rows
    };
    for (const ShutterCase& c : shutters) {
        Camera.Clear();
        EXPECT_EQ(SetShutter(&State(), c.Rows), STATUS_SUCCESS);
        EXPECT_EQ(State().Shutter, c.Rows);
        EXPECT_EQ(Camera.Log(), Writes{SensorWrite(SENSOR_SHUTTER, c.Value)}) << c.Rows;
    }

    struct GainCase {
        USHORT Code, Value;
    };
    const GainCase gains[] = {
        {0, 0x00},      {9, 0x09}, {32, 0x20}, {63, 0x3F}, {64, 0x60}, // (64 | 0x80) >> 1
        {70, 0x63},     // (70 | 0x80) >> 1 = 198 >> 1
        {127, 0x7F},    // 255 >> 1
        {128, 0x40},    // 0x80 >> 1
        {255, 0x7F},    // 0xFF >> 1
        {0x1234, 0x5A}, // (0x12B4 >> 1) = 0x095A, high byte dropped
    };
    for (const GainCase& c : gains) {
        Camera.Clear();
        EXPECT_EQ(SetGain(&State(), c.Code), STATUS_SUCCESS);
        EXPECT_EQ(State().Gain, c.Code);
        EXPECT_EQ(Camera.Log(), Writes{SensorWrite(SENSOR_GAIN, c.Value)}) << c.Code;
    }
}

TEST_F(AutoControlTest, SensorWriteFailuresAreReported)
{
    Camera.FailWrite(REG_SERIAL_DATA_HIGH, 1);
    EXPECT_EQ(SetShutter(&State(), 73), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(State().Shutter, 73); // recorded before the write
    Camera.Clear();
    Camera.FailWrite(REG_SERIAL_ADDRESS, 1);
    EXPECT_EQ(SetGain(&State(), 12), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(State().Gain, 12);
}

TEST_F(AutoControlTest, FailedShutterWriteLeavesTheHoldOpen)
{
    Prepare(30, 41); // 73 rows, gain 20
    // 41 -> 42 (146, 10): hold, gain, shutter, close; the shutter's start
    // write (third serial start) fails.
    Camera.FailWrite(REG_SERIAL_DATA_HIGH, 3);
    EXPECT_EQ(ApplyExposureIndex(&State(), 42), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Camera.Log(), (Writes{
                                SensorWrite(SENSOR_HOLD, 0x00AB),
                                SensorWrite(SENSOR_GAIN, 10),
                                SensorWrite(SENSOR_SHUTTER, 0x1000 + 146),
                            }));

    // A gain-only change (42 -> 43 at 60 Hz) does not close it.
    Camera.Clear();
    EXPECT_EQ(ApplyExposureIndex(&State(), 43), STATUS_SUCCESS);
    EXPECT_EQ(Camera.Log(), Writes{SensorWrite(SENSOR_GAIN, 11)});

    // The next combined change does: 43 (146, 11) -> 48 (219, 10).
    Camera.Clear();
    EXPECT_EQ(ApplyExposureIndex(&State(), 48), STATUS_SUCCESS);
    EXPECT_EQ(Camera.Log(), (Writes{
                                SensorWrite(SENSOR_HOLD, 0x00AB),
                                SensorWrite(SENSOR_GAIN, 10),
                                SensorWrite(SENSOR_SHUTTER, 0x1000 + 219),
                                SensorWrite(SENSOR_HOLD, 0x00AA),
                            }));
}

TEST_F(AutoControlTest, FailedGainWriteIsReportedEvenWhenTheShutterSucceeds)
{
    Prepare(30, 41);
    // The gain's start write (second serial start) fails; the shutter and the
    // close still go out, and the failure is not lost.
    Camera.FailWrite(REG_SERIAL_DATA_HIGH, 2);
    EXPECT_EQ(ApplyExposureIndex(&State(), 42), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Camera.Log(), (Writes{
                                SensorWrite(SENSOR_HOLD, 0x00AB),
                                SensorWrite(SENSOR_GAIN, 10),
                                SensorWrite(SENSOR_SHUTTER, 0x1000 + 146),
                                SensorWrite(SENSOR_HOLD, 0x00AA),
                            }));
}

TEST_F(AutoControlTest, FailedHoldOpenIsReported)
{
    Prepare(30, 41);
    Camera.FailWrite(REG_SERIAL_DATA_HIGH, 1);
    EXPECT_EQ(ApplyExposureIndex(&State(), 42), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Camera.Log().size(), 4u); // the rest goes out regardless
}

TEST_F(AutoControlTest, FailedCloseIsReported)
{
    Prepare(30, 41);
    Camera.FailWrite(REG_SERIAL_DATA_HIGH, 4);
    EXPECT_EQ(ApplyExposureIndex(&State(), 42), STATUS_UNSUCCESSFUL);
}

// ---------------------------------------------------------------------------
// Flicker mode

TEST_F(AutoControlTest, FlickerModeBeforeTheFirstCaptureStart)
{
    // Limits and frame rate still 0: index 0 of the 30 table, (5, 0). Its
    // gain equals the initial Gain 0, so only the shutter is written.
    struct Case {
        FlickerMode Mode;
        USHORT Rows;
    };
    const Case cases[] = {
        {FlickerMode60Hz, 5},
        {FlickerMode50Hz, 6}, // (5 * 60 + 25) / 50 = 325 / 50
        {FlickerModeOff, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Mode);
        auto context = std::make_unique<CameraContext>();
        kald::host::BindDevice(context.get(), &Camera);
        AutoControlState& s = context->AutoControlState;
        AutoControlInit(&s, context.get());
        s.ExposureIndex = 40; // a stored index is clamped to 0 as well
        Camera.Clear();
        EXPECT_EQ(SetFlickerMode(&s, c.Mode), STATUS_SUCCESS);
        EXPECT_EQ(Camera.Log(), Writes{SensorWrite(SENSOR_SHUTTER, USHORT(0x1000 + c.Rows))});
        EXPECT_EQ(s.Shutter, c.Rows);
        EXPECT_EQ(s.Gain, 0);
        EXPECT_EQ(s.ExposureIndex, 40);
        kald::host::BindDevice(context.get(), nullptr);
    }
}

TEST_F(AutoControlTest, FlickerModeSetsFrequencyAndFloor)
{
    struct Case {
        const char* What;
        UCHAR FlickerOff;
        SHORT Index;
        FlickerMode Mode;
        UCHAR NewFlickerOff;
        USHORT NewHz;
        SHORT NewIndex;
        Writes Expected;
    };
    const Case cases[] = {
        // Index 10 (14 rows, gain 9) raised to 30 (73, 9): shutter only.
        {"60 Hz raises the index",
         1,
         10,
         FlickerMode60Hz,
         0,
         60,
         30,
         {SensorWrite(SENSOR_SHUTTER, 0x1000 + 73)}},
        // 50 Hz: 88 rows.
        {"50 Hz raises the index",
         1,
         10,
         FlickerMode50Hz,
         0,
         50,
         30,
         {SensorWrite(SENSOR_SHUTTER, 0x1000 + 88)}},
        // Above the floor the index stays; the shutter is rewritten anyway.
        {"60 Hz keeps 40",
         0,
         40,
         FlickerMode60Hz,
         0,
         60,
         40,
         {SensorWrite(SENSOR_SHUTTER, 0x1000 + 73)}},
        // Off keeps the index (even below the floor) and rewrites the shutter.
        {"off", 0, 40, FlickerModeOff, 1, 60, 40, {SensorWrite(SENSOR_SHUTTER, 0x1000 + 73)}},
        {"off low", 1, 10, FlickerModeOff, 1, 60, 10, {SensorWrite(SENSOR_SHUTTER, 0x1000 + 14)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        State().FlickerOff = c.FlickerOff;
        State().FlickerHz = 60;
        Prepare(30, c.Index);
        EXPECT_EQ(SetFlickerMode(&State(), c.Mode), STATUS_SUCCESS);
        EXPECT_EQ(State().FlickerOff, c.NewFlickerOff);
        EXPECT_EQ(State().FlickerHz, c.NewHz);
        EXPECT_EQ(State().ExposureIndex, c.NewIndex);
        EXPECT_EQ(Camera.Log(), c.Expected);
    }
}

TEST_F(AutoControlTest, FiftyHertzBackToSixtyRewritesTheShutter)
{
    Prepare(30, 40);
    EXPECT_EQ(SetFlickerMode(&State(), FlickerMode50Hz), STATUS_SUCCESS);
    EXPECT_EQ(SetFlickerMode(&State(), FlickerMode60Hz), STATUS_SUCCESS);
    EXPECT_EQ(Camera.Log(), (Writes{SensorWrite(SENSOR_SHUTTER, 0x1000 + 88),
                                    SensorWrite(SENSOR_SHUTTER, 0x1000 + 73)}));
}

TEST_F(AutoControlTest, FlickerModeReportsWriteFailureAndRejectsUnknownModes)
{
    Prepare(30, 40);
    Camera.FailWrite(REG_SERIAL_DATA_HIGH, 1);
    EXPECT_EQ(SetFlickerMode(&State(), FlickerMode50Hz), STATUS_UNSUCCESSFUL);

    Camera.Clear();
    const AutoControlState before = State();
    EXPECT_EQ(SetFlickerMode(&State(), static_cast<FlickerMode>(3)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(State().FlickerHz, before.FlickerHz);
    EXPECT_EQ(State().FlickerOff, before.FlickerOff);
    EXPECT_EQ(State().Shutter, before.Shutter);
    EXPECT_EQ(Camera.Log(), Writes{});
}

// ---------------------------------------------------------------------------
// Automatic white balance

TEST_F(AutoControlTest, WhiteBalanceStepMovesTheGains)
{
    struct Case {
        const char* What;
        UCHAR Red, Green, Blue; // set B
        USHORT RedGain, BlueGain;
        LONG Deadband;
        USHORT NewRed, NewBlue;
        LONG NewDeadband;
        BOOLEAN Settled;
        Writes Expected;
    };
    const Case cases[] = {
        // eR +5: down by ceil(5 / 2) = 3.
        {"red +5", 105, 100, 100, 100, 90, 1, 97, 90, 1, FALSE, {BridgeWrite(REG_RED_GAIN, 97)}},
        // eR -4: up by 2.
        {"red -4", 96, 100, 100, 100, 90, 1, 102, 90, 1, FALSE, {BridgeWrite(REG_RED_GAIN, 102)}},
        // eR -7: up by 4.
        {"red -7", 93, 100, 100, 100, 90, 1, 104, 90, 1, FALSE, {BridgeWrite(REG_RED_GAIN, 104)}},
        // Gain 2, eR +9: 2 - 5 = -3, limited to 1.
        {"red to 1", 109, 100, 100, 2, 90, 1, 1, 90, 1, FALSE, {BridgeWrite(REG_RED_GAIN, 1)}},
        // Blue 254, eB -6: 257, limited to 255.
        {"blue to 255",
         100,
         100,
         94,
         100,
         254,
         1,
         100,
         255,
         1,
         FALSE,
         {BridgeWrite(REG_BLUE_GAIN, 255)}},
        // Both errors within +-1: band widens to 3, nothing written.
        {"inside", 101, 100, 99, 100, 90, 1, 100, 90, 3, TRUE, {}},
        // Within the widened band 3.
        {"inside 3", 103, 100, 98, 100, 90, 3, 100, 90, 3, TRUE, {}},
        // eR 2 inside 3, eB +5 outside: blue alone moves by 3.
        {"blue only",
         102,
         100,
         105,
         100,
         90,
         3,
         100,
         87,
         1,
         FALSE,
         {BridgeWrite(REG_BLUE_GAIN, 87)}},
        // eR +4 outside 3 narrows the band to 1; then eB +2 is outside it.
        {"narrowed band",
         104,
         100,
         102,
         100,
         90,
         3,
         98,
         89,
         1,
         FALSE,
         {BridgeWrite(REG_RED_GAIN, 98), BridgeWrite(REG_BLUE_GAIN, 89)}},
        // Red B 200, green 50: eR = -106 (8-bit wrap), up by 53.
        {"wrap", 200, 50, 50, 100, 90, 1, 153, 90, 1, FALSE, {BridgeWrite(REG_RED_GAIN, 153)}},
        // Gains out of range that do not move are limited (and written).
        {"limit unmoved",
         100,
         100,
         100,
         0,
         300,
         1,
         1,
         255,
         3,
         FALSE,
         {BridgeWrite(REG_RED_GAIN, 1), BridgeWrite(REG_BLUE_GAIN, 255)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        Prepare(30, 40);
        State().EnableFlags = AUTO_ENABLE_WHITE_BALANCE;
        State().RedGain = c.RedGain;
        State().BlueGain = c.BlueGain;
        State().AwbDeadband = c.Deadband;
        SetColourB(c.Red, c.Green, c.Blue);
        BOOLEAN settled = 0xAA;
        AutoWhiteBalanceStep(&State(), &settled);
        EXPECT_EQ(State().RedGain, c.NewRed);
        EXPECT_EQ(State().BlueGain, c.NewBlue);
        EXPECT_EQ(State().AwbDeadband, c.NewDeadband);
        EXPECT_EQ(settled, c.Settled);
        EXPECT_EQ(Camera.Log(), c.Expected);
    }
}

TEST_F(AutoControlTest, WhiteBalanceStepDisabledOnlyMeasures)
{
    Prepare(30, 40);
    State().EnableFlags = AUTO_ENABLE_EXPOSURE; // AWB bit clear
    State().RedGain = 100;
    SetColourB(200, 50, 50);
    BOOLEAN settled = 0xAA;
    AutoWhiteBalanceStep(&State(), &settled);
    EXPECT_EQ(settled, 0xAA);
    EXPECT_EQ(State().AwbErrorRed, -106);
    EXPECT_EQ(State().RedGain, 100);
    EXPECT_EQ(State().AwbDeadband, 1);
    EXPECT_EQ(Camera.Log(), Writes{});
}

TEST_F(AutoControlTest, WhiteBalanceGainsWriteLowBytesOnly)
{
    State().RedGain = 7;
    State().BlueGain = 8;
    SetWhiteBalanceGains(&State(), 0x0140, 0x00FF);
    EXPECT_EQ(Camera.Log(),
              (Writes{BridgeWrite(REG_RED_GAIN, 0x40), BridgeWrite(REG_BLUE_GAIN, 0xFF)}));
    EXPECT_EQ(State().RedGain, 7);
    EXPECT_EQ(State().BlueGain, 8);
}

} // namespace
