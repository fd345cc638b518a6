#include <gtest/gtest.h>

#include "hardware/capture.h"
#include "hardware/registers.h"
#include "hardware_fixture.h"

namespace {

// Exposure-table entry at index 69, as the tables define it: 30 frames/s
// indices 67..69 are 438 rows with gains 16..18; 15 frames/s indices 62..71
// are 289 rows with gains 10..19.
struct Exposure {
    unsigned rows, gain;
};
Exposure ExposureAt69(USHORT frameRate) { return frameRate == 30 ? Exposure{438, 18} : Exposure{289, 17}; }

// The traffic of a capture start with the built-in settings, from the
// register tables: revision, format, bring-up, optional defect upload, the
// controller's first exposure and gains, stream on, statistics, and the
// flicker setting re-applied (off: the shutter is written again).
ExpectedLog StartSequence(const ModeRow& row, const std::vector<std::array<unsigned, 5>>& upload,
                          UCHAR revision)
{
    const bool small = row.Width <= 176;
    const unsigned modeCode = row.Width == 352 ? 16 : row.Width == 320 ? 17 : row.Width == 176 ? 12 : 13;
    ExpectedLog log;
    log.In(0x8101, revision);
    log.Out(0x865C, 0x02).Out(0x8601, small ? 0x08 : 0x00);
    log.Out(0x8500, modeCode).In(0x8500, modeCode);
    // Bridge clock and transfer set-up.
    log.Out(0x8704, 0x20).Out(0x8406, row.PacketQuads).Out(0x8700, row.ClockDivider).Out(0x8702, 0x81);
    log.Out(0x8505, 0).Out(0x8502, small ? 0 : 2).Out(0x8701, 0x03).Out(0x8703, 0x10);
    log.Out(0x870C, 0x01).Out(0x8704, 0x42);
    // Sensor power-up.
    log.Out(0x8110, 0x90).Out(0x8113, 0x01).Out(0x8114, 0x00).Out(0x8113, 0x00).Out(0x8114, 0x01);
    log.Out(0x8114, 0x03).Out(0x8804, 0xBA).Out(0x8802, 0x10);
    // Sensor registers.
    const unsigned sensor[][2] = {
        {0x07, 0x40AA}, {0x01, small ? 0x000Fu : 0x000Eu}, {0x02, 0x000C}, {0x03, 0x0120},
        {0x04, 0x0171}, {0x05, 0x0047}, {0x06, row.VerticalBlanking}, {0x20, 0x3504},
        {0x27, 0x002C}, {0x28, 0x000B}, {0x09, unsigned(row.ShutterHigh) << 8 | 0x56},
        {0x2F, 0x1100}, {0x31, 0x2820}, {0x35, 0x001E}, {0x39, 0x0002}, {0x40, 0x003C},
        {0x41, 0x0040},
    };
    for (const auto& s : sensor) {
        log.Sensor(s[0], s[1]);
    }
    // Bridge image pipeline.
    const unsigned bridge[][2] = {
        {0x8602, 0x00}, {0x865B, 0x0B}, {0x865F, 0x00}, {0x865D, 0xB0}, {0x865E, 0x90},
        {0x8660, 0x06}, {0x8651, 0x40}, {0x8652, 0x40}, {0x8653, 0x40}, {0x8654, 0x40},
        {0x8611, 0x00}, {0x8612, 0x00}, {0x8613, 0x00}, {0x8614, 0x00}, {0x8603, 0x80},
        {0x8604, 0x00}, {0x8605, 0x00},
    };
    for (const auto& b : bridge) {
        log.Out(b[0], b[1]);
    }
    if (!upload.empty()) {
        log.Out(0x8660, 0x16);
        for (const auto& e : upload) {
            log.Out(0x86B0, e[0]).Out(0x86B1, e[1]).Out(0x86B2, e[2]).Out(0x86B3, e[3]).Out(0x86B4, e[4]);
        }
        log.Out(0x8660, 0x1E);
    }
    // The controller's starting exposure: shutter and gain change together,
    // inside a hold; then the white-balance gains 72 and 99.
    const Exposure e = ExposureAt69(row.FrameRate);
    log.Sensor(0x07, 0x00AB).Sensor(0x35, e.gain).Sensor(0x09, 0x1000 + e.rows).Sensor(0x07, 0x00AA);
    log.Out(0x8651, 72).Out(0x8653, 99);
    // Stream on, then the statistics registers.
    log.Out(0x8112, 0x00).Out(0x8112, 0x30);
    const unsigned stats[8] = {11, 12, 13, 14, 21, 22, 23, 24};
    for (unsigned k = 0; k < 8; ++k) {
        log.In(0x8621 + k, stats[k]);
    }
    // Flicker compensation off re-applies the exposure: the shutter again.
    log.Sensor(0x09, 0x1000 + e.rows);
    return log;
}

class CaptureTest : public HardwareTest, public ::testing::TestWithParam<ModeRow> {};

TEST_P(CaptureTest, StartSendsTheBringUpSequence)
{
    const ModeRow& row = GetParam();
    Configure(row);
    camera->SetRevision(2);
    camera->SetStatisticsRegisters({11, 12, 13, 14, 21, 22, 23, 24});
    ASSERT_EQ(StartCameraHardware(&context), STATUS_SUCCESS);
    EXPECT_EQ(Log(), StartSequence(row, {}, 2).lines);
    EXPECT_EQ(context.CameraRevision, 2);
    EXPECT_TRUE(camera->Streaming());
    // Statistics: red A, green A1, green A2, blue A, then set B.
    const UCHAR expectedStats[8] = {12, 11, 14, 13, 22, 21, 24, 23};
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(context.AutoControlState.Stats[k], expectedStats[k]) << k;
    }
    // Waits: 20, 20 and 300 ms.
    EXPECT_EQ(kald::host::DelayLog(), (std::vector<int64_t>{200000, 200000, 3000000}));
    EXPECT_EQ(Pipeline.Width, row.Width);
}

TEST_P(CaptureTest, StartUploadsTheDefectListWithItsOffsets)
{
    const ModeRow& row = GetParam();
    Configure(row);
    camera->SetStatisticsRegisters({11, 12, 13, 14, 21, 22, 23, 24});
    USHORT* w = context.DpcTable.Words;
    w[18] = 2;
    w[21] = 0x0102; // column offset 1, row offset 2
    w[22] = 10, w[23] = 20, w[24] = 1023, w[25] = 300;
    ASSERT_EQ(StartCameraHardware(&context), STATUS_SUCCESS);
    // Entry 0: column 11, row 22. Entry 1: column 1024 (bits 8..9 are 0
    // after the 10-bit cut), row 302.
    EXPECT_EQ(Log(), StartSequence(row, {{0, 0x0B, 0x00, 0x16, 0x00}, {1, 0x00, 0x00, 0x2E, 0x01}}, 0).lines);
}

INSTANTIATE_TEST_SUITE_P(Sizes, CaptureTest, ::testing::ValuesIn(kFastestRows),
                         [](const auto& param) { return std::to_string(param.param.Width); });

class CaptureRulesTest : public HardwareTest, public ::testing::Test {};

TEST_F(CaptureRulesTest, AWithheldOrDisabledListIsNotUploaded)
{
    for (auto [count, dpcState] : {std::pair{0x8003u, 1u}, {0x0003u, 0u}}) {
        Configure(kFastestRows[0]);
        context.CameraSettings.DpcState = dpcState;
        context.DpcTable.Words[18] = USHORT(count);
        context.CaptureActive = 0;
        ASSERT_EQ(StartCameraHardware(&context), STATUS_SUCCESS);
        for (const std::string& line : Log()) {
            EXPECT_EQ(line.find("OUT 86B"), std::string::npos) << line;
            EXPECT_NE(line, "OUT 8660 0016");
        }
        StopCameraHardware(&context);
    }
}

TEST_F(CaptureRulesTest, CountsBeyondTheTableUploadTwentyEntries)
{
    Configure(kFastestRows[0]);
    context.DpcTable.Words[18] = 0x07FF;
    ASSERT_EQ(StartCameraHardware(&context), STATUS_SUCCESS);
    int indexWrites = 0;
    for (const std::string& line : Log()) {
        indexWrites += line.rfind("OUT 86B0", 0) == 0;
    }
    EXPECT_EQ(indexWrites, 20);
}

TEST_F(CaptureRulesTest, RepeatedStartsAndStopsMakeNoTraffic)
{
    Configure(kFastestRows[2]);
    ASSERT_EQ(StopCameraHardware(&context), STATUS_SUCCESS);
    EXPECT_TRUE(Log().empty()) << "stop without start";
    ASSERT_EQ(StartCameraHardware(&context), STATUS_SUCCESS);
    camera->ClearLogs();
    ASSERT_EQ(StartCameraHardware(&context), STATUS_SUCCESS);
    EXPECT_TRUE(Log().empty()) << "second start";
    ASSERT_EQ(StopCameraHardware(&context), STATUS_SUCCESS);
    EXPECT_EQ(Log(), (std::vector<std::string>{"OUT 8112 0000", "OUT 8114 0000"}));
    EXPECT_FALSE(camera->Streaming());
    camera->ClearLogs();
    ASSERT_EQ(StopCameraHardware(&context), STATUS_SUCCESS);
    EXPECT_TRUE(Log().empty()) << "second stop";
}

TEST_F(CaptureRulesTest, FailedTransfersDoNotStopTheStart)
{
    Configure(kFastestRows[1]);
    context.CameraRevision = 7;
    camera->FailRegister(0x8101);
    camera->FailRegister(0x8625, kald::sim::Access::Read);
    context.AutoControlState.Stats[5] = 99; // green B1, read from 0x8625
    ASSERT_EQ(StartCameraHardware(&context), STATUS_SUCCESS);
    EXPECT_EQ(context.CameraRevision, 7) << "a failed read keeps the previous revision";
    EXPECT_EQ(context.AutoControlState.Stats[5], 99);
    EXPECT_TRUE(camera->Streaming());
}

} // namespace
