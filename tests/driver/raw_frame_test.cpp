#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "autocontrol/tone_tables.h"
#include "datapath/raw_frame.h"
#include "imaging/pipeline_tables.h"

namespace {

constexpr ULONG kPacketSize = 512;

class RawFrameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetPipelineTables();
        ResetToneTables();
        info.Length = sizeof(info);
        info.NumberOfPipes = 1;
        info.Pipes[0].MaximumPacketSize = USHORT(kPacketSize);
        c.InterfaceInfo = &info;
        c.RawLineBuffer = rawLines.data();
        c.LumaWorkBuffer = luma.data();
        c.WorkBufferA = workA.data();
        c.WorkBufferB = workB.data();
        c.SavedFrameBuffer = saved.data();
        c.SavedFrameCapacity = RAW_FRAME_BYTES;
        c.FrameWidth = 176;
        c.FrameHeight = 144;
        c.FrameFourCC = FOURCC_I420;
        c.Brightness = 128;
        c.Saturation = 32;
        c.Sharpness = 6;
        c.FerProbationLength = 1000;
        RebuildToneTables(128, 0, 0, 0, 32);
        ASSERT_EQ(BuildPipelineTables(176, 144, rawLines.data(), luma.data()), 1u);
        client.assign(38016, 0);
    }

    // A raw frame of `packets` packets whose payload bytes are all `fill`.
    void Assemble(ULONG packets, UCHAR fill)
    {
        raw.assign(RAW_FRAME_BYTES, 0);
        for (ULONG i = 0; i < packets; ++i) {
            raw[i * kPacketSize] = UCHAR(i);
            std::fill(raw.begin() + i * kPacketSize + 1, raw.begin() + (i + 1) * kPacketSize, fill);
        }
        packetCount = packets;
    }

    ULONG Process(bool intact)
    {
        frame.FrameIntact = intact ? TRUE : FALSE;
        ULONG bytes = 0xFFFF;
        EXPECT_EQ(CamProcessRawVideoFrameEx(nullptr, &c, &frame, client.data(), ULONG(client.size()),
                                            raw.data(), RAW_FRAME_BYTES, packetCount, &bytes, 0, 0),
                  STATUS_SUCCESS);
        return bytes;
    }

    USBD_INTERFACE_INFORMATION info{};
    CameraContext c{};
    FrameContext frame{};
    std::vector<UCHAR> rawLines = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> luma = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
    std::vector<UCHAR> workA = std::vector<UCHAR>(WORK_BUFFER_A_BYTES);
    std::vector<UCHAR> workB = std::vector<UCHAR>(WORK_BUFFER_B_BYTES);
    std::vector<UCHAR> saved = std::vector<UCHAR>(RAW_FRAME_BYTES);
    std::vector<UCHAR> raw;
    std::vector<UCHAR> client;
    ULONG packetCount = 0;
};

TEST_F(RawFrameTest, IntactFramesAreCompactedAndSavedByProbationState)
{
    // Probation state -> whether the compacted frame replaces the saved one.
    struct Case {
        ULONG state;
        ULONG clock;
        bool saved;
        ULONG stateAfter;
    };
    const Case cases[] = {{0, 10, false, 0}, {1, 5000, true, 1}, {2, 1000, true, 2}, {2, 1001, false, 0}};
    for (const Case& k : cases) {
        std::fill(saved.begin(), saved.end(), 0x77);
        c.ProbationState = k.state;
        c.MsClock = k.clock;
        Assemble(60, 0x00);
        raw[kPacketSize + 1] = 0x42; // first payload byte of packet 1
        EXPECT_EQ(Process(true), 38016u);
        EXPECT_EQ(c.SavedFrameLength, 60 * (kPacketSize - 1)) << "follows every intact frame";
        EXPECT_EQ(raw[kPacketSize - 1], 0x42) << "packet 1's payload follows packet 0's";
        EXPECT_EQ(saved[kPacketSize - 1] == 0x42, k.saved) << "state " << k.state << " clock " << k.clock;
        EXPECT_EQ(c.ProbationState, k.stateAfter);
    }
    EXPECT_EQ(c.RawFrameCount, 4u);
    EXPECT_EQ(c.GoodFrameCount, 4u);
    EXPECT_EQ(c.FrameErrorKind, 0u);
}

TEST_F(RawFrameTest, DamagedFramesAreReplacedByTheSavedOne)
{
    // The first frame of the run, as collected before streaming: all zero
    // samples (the dither alone, near black).
    std::fill(saved.begin(), saved.end(), 0);
    c.SavedFrameLength = 30000;
    Assemble(60, 0xFF); // all samples 63: bright, but damaged
    EXPECT_EQ(Process(false), 38016u);
    EXPECT_EQ(c.FrameErrorKind, FRAME_ERROR_REPLACED);
    EXPECT_EQ(c.ProbationState, 1u);
    EXPECT_TRUE(frame.FrameIntact);
    EXPECT_LT(client[1000], 10) << "the client gets the saved frame, not the damaged one";
    EXPECT_EQ(c.GoodFrameCount, 0u);
    // From now on every intact frame is saved.
    Assemble(60, 0x10);
    EXPECT_EQ(Process(true), 38016u);
    EXPECT_EQ(saved[0], 0x10);
}

TEST_F(RawFrameTest, UndecodableFramesAreRecordedAndDeliverNothing)
{
    c.FrameWidth = 320;
    c.FrameHeight = 240;
    ASSERT_EQ(BuildPipelineTables(320, 240, rawLines.data(), luma.data()), 1u);
    client.assign(115200, 0x33);
    Assemble(100, 0x92); // 1001 0010 ...: invalid codes
    c.GoodFrameCount = 5;
    EXPECT_EQ(Process(true), 0u);
    EXPECT_EQ(c.FrameErrorKind, FRAME_ERROR_UNDECODABLE);
    EXPECT_EQ(c.GoodFrameCount, 5u) << "counted, then taken back";
    EXPECT_FALSE(frame.FrameIntact);
    // A packet count the raw frame cannot hold is treated as damaged.
    c.FrameErrorKind = 0;
    packetCount = RAW_FRAME_BYTES / kPacketSize + 1;
    c.SavedFrameLength = 0;
    EXPECT_EQ(Process(true), 0u);
    EXPECT_EQ(c.FrameErrorKind, FRAME_ERROR_REPLACED);
}

// The schedule over consecutive ticks: 'E' an exposure step, 'W' a white
// balance step, '-' a phase switch that runs no step.
std::string Schedule(CameraContext& c, int runs)
{
    std::string out;
    for (int i = 0; i < runs; ++i) {
        const LONG ae = c.AeStepsInPhase, awb = c.AwbStepsInPhase;
        const ULONG phase = c.AutoPhase;
        c.MsClock += c.CameraSettings.AeAwbInterval;
        RunAutoControlSchedule(&c);
        if (phase == 0 && c.AutoPhase == 0 && c.AeStepsInPhase == ae + 1) {
            out += 'E';
        } else if (phase == 1 && c.AutoPhase == 1 && c.AwbStepsInPhase == awb + 1) {
            out += 'W';
        } else if (phase != c.AutoPhase && c.AeStepsInPhase == (phase == 0 ? ae + 1 : 0)) {
            out += phase == 0 ? "E-" : "-";
        } else {
            out += '-';
        }
    }
    return out;
}

TEST(AutoControlSchedule, AlternatesExposureAndWhiteBalanceSteps)
{
    CameraContext c{};
    CameraSettings& s = c.CameraSettings;
    s.AeAwbInterval = 128;
    s.AePeriod = 6;
    s.AwbPeriod = 1;
    s.FixedAePeriodState = 1;
    s.FixedAwbPeriodState = 1;
    c.AutoControlState.Context = &c;
    EXPECT_EQ(Schedule(c, 18), "EEEEEE-W-EEEEEE-W-");
    // No step while the tick stays the same; one step however far it moves.
    const LONG steps = c.AeStepsInPhase;
    RunAutoControlSchedule(&c);
    EXPECT_EQ(c.AeStepsInPhase, steps);
    c.MsClock += 5 * 128;
    RunAutoControlSchedule(&c);
    EXPECT_EQ(c.AeStepsInPhase, steps + 1);

    // A variable exposure phase ends with its second settled step, in the
    // same run (a step whose control is off counts as settled); the fixed
    // white-balance phase still needs its switching run.
    CameraContext v{};
    v.CameraSettings = s;
    v.CameraSettings.FixedAePeriodState = 0;
    v.AutoControlState.Context = &v;
    EXPECT_EQ(Schedule(v, 7), "EE-W-EE-W");
}

} // namespace
