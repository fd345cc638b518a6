#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "stream_rig.h"

namespace {

using kald::test::DeliveredFrame;
using kald::test::StreamRig;

constexpr USHORT kTargetLuma = 72;

// The last `frames` frames delivered.
std::vector<DeliveredFrame> Tail(const StreamRig& rig, size_t frames)
{
    const auto& all = rig.Frames();
    return std::vector<DeliveredFrame>(all.end() - std::ptrdiff_t(std::min(frames, all.size())),
                                       all.end());
}

class AutoExposureTest : public ::testing::TestWithParam<double> {};

// A scene lit 2.5 times too dimly, or 4 times too brightly, for the
// starting exposure: the controller brings the measured luma into its dead
// band and holds it there.
TEST_P(AutoExposureTest, SettlesInTheDeadBandWithoutOscillating)
{
    const double light = GetParam();
    StreamRig rig(176, 144, [&](CameraSettings&, kald::sim::Camera& camera) { camera.SetLight(light); });
    rig.RunMs(8000);
    ASSERT_GT(rig.Frames().size(), 150u);
    const std::vector<DeliveredFrame> last = Tail(rig, 60); // the last two seconds
    SHORT lowest = 94, highest = 0;
    for (const DeliveredFrame& f : last) {
        EXPECT_EQ(f.Bytes, 176u * 144 * 3 / 2);
        EXPECT_LE(std::abs(int(f.MeasuredLuma) - kTargetLuma), 16) << "light " << light;
        lowest = std::min(lowest, f.ExposureIndex);
        highest = std::max(highest, f.ExposureIndex);
    }
    EXPECT_LE(highest - lowest, 1) << "the index keeps moving";
    EXPECT_NE(last.back().ExposureIndex, 69) << "the controller had to move";
}

INSTANTIATE_TEST_SUITE_P(Lighting, AutoExposureTest, ::testing::Values(0.4, 4.0));

TEST(AutoWhiteBalance, RemovesAStrongColourCast)
{
    StreamRig rig(176, 144, [](CameraSettings&, kald::sim::Camera& camera) {
        camera.SetColourTemperature(3000);
    });
    rig.RunMs(20000);
    const AutoControlState& ac = rig.Context().AutoControlState;
    EXPECT_LE(std::abs(ac.AwbErrorRed), 3);
    EXPECT_LE(std::abs(ac.AwbErrorBlue), 3);
    EXPECT_LT(ac.RedGain, 72) << "warm light needs less red";
    EXPECT_GT(ac.BlueGain, 99) << "and more blue";
}

// How much each row's brightness, relative to its frame, changes from one
// frame to the next: the moving bands of a rolling shutter under flicker.
double BandMotion(const std::vector<DeliveredFrame>& frames)
{
    double motion = 0;
    size_t count = 0;
    for (size_t i = 1; i < frames.size(); ++i) {
        const DeliveredFrame& a = frames[i - 1];
        const DeliveredFrame& b = frames[i];
        if (a.RowMeans.empty() || b.RowMeans.empty()) {
            continue;
        }
        for (size_t r = 0; r < a.RowMeans.size(); ++r) {
            motion += std::abs((b.RowMeans[r] - b.MeanY) - (a.RowMeans[r] - a.MeanY));
            ++count;
        }
    }
    return count == 0 ? 0 : motion / double(count);
}

// Mains frequency, the frame rate to watch it at and a light bright enough
// that exposure control goes below the flicker-safe times. The bands stand
// still when a frame period is a whole number of ripple periods (60 Hz
// mains at 30, 15 or 10 frames/s), so 60 Hz is watched at 21 frames/s; and
// since every exposure from 1/120 s up is already safe at 60 Hz, only a
// light that needs less shows the bands.
struct FlickerCase {
    unsigned hz;
    USHORT frameRate;
    double light;
};

class FlickerTest : public ::testing::TestWithParam<FlickerCase> {};

TEST_P(FlickerTest, CompensationStopsTheMovingBands)
{
    const unsigned hz = GetParam().hz;
    auto run = [&](bool compensate) {
        StreamRig rig(
            176, 144,
            [&](CameraSettings& s, kald::sim::Camera& camera) {
                camera.SetLight(GetParam().light);
                camera.SetMainsFlicker(hz);
                camera.SetSensorNoise(0);
                s.FlickerCompState = compensate ? 1 : 0;
                s.FlickerCompFreq = hz == 50 ? 1 : 0;
            },
            GetParam().frameRate);
        rig.RunMs(6000);
        return BandMotion(Tail(rig, 40));
    };
    const double without = run(false);
    const double with = run(true);
    std::printf("%u Hz: band motion %.3f without compensation, %.3f with\n", hz, without, with);
    EXPECT_GT(without, 1.0) << "the bands should move without compensation";
    EXPECT_GE(without, 10 * with) << "without " << without << " with " << with;
}

INSTANTIATE_TEST_SUITE_P(Mains, FlickerTest,
                         ::testing::Values(FlickerCase{50, 30, 4.0}, FlickerCase{60, 21, 20.0}),
                         [](const auto& param) { return std::to_string(param.param.hz) + "Hz"; });

TEST(PacketLoss, EveryDeliveredFrameIsWholeAndTheCountersAgree)
{
    StreamRig rig(352, 288, [](CameraSettings&, kald::sim::Camera& camera) {
        camera.SetPacketFaultRate(kald::sim::PacketFault::Lost, 0.01);
    });
    rig.RunMs(10000);
    const CameraContext& c = rig.Context();
    ASSERT_GT(rig.Frames().size(), 100u);
    // A frame whose last data packet was lost arrives in sequence but
    // cannot be decoded: the client gets no picture for it, never a partial
    // one.
    size_t undecodable = 0;
    for (const DeliveredFrame& f : rig.Frames()) {
        if (f.Bytes == 0) {
            ++undecodable;
            continue;
        }
        ASSERT_EQ(f.Bytes, 352u * 288 * 3 / 2);
    }
    size_t lostData = 0;
    for (const auto& fault : rig.Camera().PacketFaultLog()) {
        lostData += fault.Kind == kald::sim::PacketFault::Lost && fault.Sequence != 0xFF;
    }
    const ULONG damaged = c.RawFrameCount - c.GoodFrameCount;
    EXPECT_GT(lostData, 0u);
    EXPECT_GT(damaged, 0u);
    EXPECT_LE(damaged + undecodable, lostData) << "a frame is lost only by a lost packet of its own";
    EXPECT_LT(undecodable, damaged) << "most losses are seen as gaps and replaced";
    EXPECT_EQ(c.FrameErrorKind, 9u) << "damaged frames were replaced";
    EXPECT_EQ(c.PacketErrorKind, 2u) << "a lost packet shows as a gap in the numbering";
    EXPECT_EQ(c.PacketErrorCount, 0u) << "no packet had a bad length or status";
}

} // namespace
