// Faults on the isochronous pipe: what the host receives for each kind, and
// the counts and log that record them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kald_sim/camera.h"
#include "kald_sim/packet_faults.h"
#include "stream_test_support.h"

namespace {

using namespace stream_test;
using kald::sim::CameraConfig;
using kald::sim::CameraStats;
using kald::sim::InjectedPacketFault;
using kald::sim::kPacketErrorStatus;
using kald::sim::PacketFault;

// One delivered packet in short: "3" for sequence 3 with P bytes and
// success, "-" for length 0, "3/200" for a short packet, "3!" for an error
// status, "FF" for idle.
std::string Describe(const Packet& packet, size_t packetSize)
{
    if (packet.Bytes.empty()) {
        return packet.Status == 0 ? "-" : "-!";
    }
    std::string text = packet.Sequence() == 0xFF ? "FF" : std::to_string(packet.Sequence());
    if (packet.Bytes.size() != packetSize) {
        text += "/short";
    }
    if (packet.Status != 0) {
        text += "!";
    }
    return text;
}

std::vector<std::string> Describe(const std::vector<Packet>& packets, size_t packetSize)
{
    std::vector<std::string> out;
    for (const Packet& packet : packets) {
        out.push_back(Describe(packet, packetSize));
    }
    return out;
}

// The count of one kind.
uint64_t Count(const CameraStats& stats, PacketFault kind)
{
    switch (kind) {
    case PacketFault::Lost:
        return stats.LostPackets;
    case PacketFault::Repeated:
        return stats.RepeatedPackets;
    case PacketFault::Reordered:
        return stats.ReorderedPackets;
    case PacketFault::Truncated:
        return stats.TruncatedPackets;
    case PacketFault::ZeroLength:
        return stats.ZeroLengthPackets;
    default:
        return stats.ErrorStatusPackets;
    }
}

uint64_t TotalInjected(const CameraStats& s)
{
    return s.LostPackets + s.RepeatedPackets + s.ReorderedPackets + s.TruncatedPackets +
           s.ZeroLengthPackets + s.ErrorStatusPackets;
}

TEST(PacketFaults, EachKindShowsInThePacketsAndTheStats)
{
    // The fourth packet of the first frame (sequence 3) takes the fault.
    struct Case {
        PacketFault Kind;
        std::vector<std::string> Delivered; // the first seven packets
        ULONG LoggedLength;                 // 0: none arrived; 1: short; 704: whole
        uint64_t DamagedFrames;
    };
    const Case cases[] = {
        {PacketFault::Lost, {"0", "1", "2", "4", "5", "6", "7"}, 0, 1},
        {PacketFault::Repeated, {"0", "1", "2", "3", "3", "4", "5"}, 704, 1},
        {PacketFault::Reordered, {"0", "1", "2", "4", "3", "5", "6"}, 704, 1},
        {PacketFault::Truncated, {"0", "1", "2", "3/short", "4", "5", "6"}, 1, 1},
        {PacketFault::ZeroLength, {"0", "1", "2", "-", "4", "5", "6"}, 0, 1},
        {PacketFault::ErrorStatus, {"0", "1", "2", "3!", "4", "5", "6"}, 704, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.Kind));
        StreamBench bench;
        bench.camera.InjectFrameFaultAt(1, 3, c.Kind);
        bench.Start(k160At30);
        const std::vector<Packet> packets = bench.Next(7);
        EXPECT_EQ(Describe(packets, 704), c.Delivered);
        if (c.Kind == PacketFault::ErrorStatus) {
            EXPECT_EQ(packets[3].Status, kPacketErrorStatus);
        }
        const CameraStats stats = bench.camera.Stats();
        EXPECT_EQ(Count(stats, c.Kind), 1u);
        EXPECT_EQ(TotalInjected(stats), 1u);
        EXPECT_EQ(stats.FramesWithFaults, c.DamagedFrames);

        const std::vector<InjectedPacketFault> log = bench.camera.PacketFaultLog();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].Packet, 4u);
        EXPECT_EQ(log[0].Kind, c.Kind);
        EXPECT_EQ(log[0].Frame, 1u);
        EXPECT_EQ(log[0].Sequence, 3);
        if (c.LoggedLength == 1) {
            EXPECT_GT(log[0].Length, 0u);
            EXPECT_LT(log[0].Length, 704u);
            EXPECT_EQ(packets[3].Bytes.size(), log[0].Length);
        } else {
            EXPECT_EQ(log[0].Length, c.LoggedLength);
        }
    }
}

TEST(PacketFaults, ACutShortPacketKeepsItsFirstBytes)
{
    StreamBench reference;
    reference.Start(k160At30);
    const std::vector<Packet> whole = reference.Next(3);

    StreamBench bench;
    bench.camera.InjectPacketFaultAt(3, PacketFault::Truncated);
    bench.Start(k160At30);
    const std::vector<Packet> packets = bench.Next(3);
    ASSERT_LT(packets[2].Bytes.size(), whole[2].Bytes.size());
    EXPECT_TRUE(
        std::equal(packets[2].Bytes.begin(), packets[2].Bytes.end(), whole[2].Bytes.begin()));
}

TEST(PacketFaults, LosingAPacketShiftsTheRestOneMillisecondEarlier)
{
    // The lost start of frame: frame 1 arrives without its sequence 0, and
    // frame 2 starts at 33 bus milliseconds instead of 34.
    StreamBench bench;
    bench.camera.InjectPacketFaultAt(1, PacketFault::Lost);
    bench.Start(k160At30);
    std::vector<int> starts;
    for (int ms = 0; ms < 100; ++ms) {
        const Packet packet = bench.Next();
        if (ms == 0) {
            EXPECT_EQ(packet.Sequence(), 1);
        }
        if (packet.Sequence() == 0) {
            starts.push_back(ms);
        }
    }
    EXPECT_EQ(starts, (std::vector<int>{33, 66, 99}));
}

TEST(PacketFaults, FaultsOnIdlePacketsDamageNoFrame)
{
    // 160x120 at 30 frames/s: 31 data packets, then idle ones.
    struct Case {
        PacketFault Kind;
        UCHAR Sequence;
    };
    for (const Case& c : {Case{PacketFault::Repeated, 0xFF}, Case{PacketFault::Reordered, 0xFF},
                          Case{PacketFault::Lost, 0xFF}, Case{PacketFault::ErrorStatus, 0xFF}}) {
        StreamBench bench;
        bench.camera.InjectFrameFaultAt(1, c.Sequence, c.Kind);
        bench.Start(k160At30);
        bench.Next(40);
        const CameraStats stats = bench.camera.Stats();
        EXPECT_EQ(Count(stats, c.Kind), 1u) << int(c.Kind);
        EXPECT_EQ(stats.FramesWithFaults, 0u) << int(c.Kind);
        ASSERT_EQ(bench.camera.PacketFaultLog().size(), 1u);
        EXPECT_EQ(bench.camera.PacketFaultLog()[0].Packet, 32u); // the first idle packet
    }
}

TEST(PacketFaults, ASwapDamagesTheFramesOfBothPackets)
{
    // 352x288 at 30 frames/s in 256-byte packets is cut to fill its period:
    // every millisecond carries data, frame 1 in 0..33, frame 2 from 34.
    struct Case {
        uint64_t Frame;
        UCHAR Sequence;
        std::vector<int> Delivered; // milliseconds 32..36
        uint64_t DamagedFrames;
    };
    const Case cases[] = {
        {1, 33, {32, 0, 33, 1, 2}, 2}, // frame 1's last with frame 2's first
        {2, 0, {32, 33, 1, 0, 2}, 1},  // frame 2's first two
    };
    for (const Case& c : cases) {
        StreamBench bench;
        bench.Start({16, 3, 1});
        bench.camera.InjectFrameFaultAt(c.Frame, c.Sequence, PacketFault::Reordered);
        const std::vector<Packet> packets = bench.Next(37);
        std::vector<int> delivered;
        for (size_t i = 32; i < 37; ++i) {
            delivered.push_back(packets[i].Sequence());
        }
        EXPECT_EQ(delivered, c.Delivered) << c.Frame;
        EXPECT_EQ(bench.camera.Stats().FramesWithFaults, c.DamagedFrames) << c.Frame;
    }
}

TEST(PacketFaults, RandomRatesAreSeededAndCounted)
{
    auto run = [](uint64_t seed, std::vector<InjectedPacketFault>& log) {
        CameraConfig config;
        config.Seed = seed;
        StreamBench bench(config);
        for (size_t kind = 0; kind < kald::sim::kPacketFaultKinds; ++kind) {
            bench.camera.SetPacketFaultRate(PacketFault(kind), 0.01);
        }
        bench.Start(k160At30);
        std::vector<std::string> delivered = Describe(bench.Next(3000), 704);
        log = bench.camera.PacketFaultLog();
        const CameraStats stats = bench.camera.Stats();
        EXPECT_EQ(TotalInjected(stats), log.size());
        for (size_t kind = 0; kind < kald::sim::kPacketFaultKinds; ++kind) {
            // About 30 of each in 3000 packets.
            EXPECT_GT(Count(stats, PacketFault(kind)), 10u) << kind;
            EXPECT_LT(Count(stats, PacketFault(kind)), 60u) << kind;
        }
        EXPECT_GT(stats.FramesWithFaults, 20u);
        EXPECT_LE(stats.FramesWithFaults, stats.FramesStarted);
        return delivered;
    };
    std::vector<InjectedPacketFault> first, second, other;
    const auto a = run(11, first);
    const auto b = run(11, second);
    const auto c = run(12, other);
    EXPECT_EQ(a, b);
    ASSERT_EQ(first.size(), second.size());
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].Packet, second[i].Packet);
        EXPECT_EQ(first[i].Kind, second[i].Kind);
        EXPECT_EQ(first[i].Length, second[i].Length);
    }
    EXPECT_NE(a, c);
}

TEST(PacketFaults, RatesLeaveTheSensorNoiseAlone)
{
    // The faults draw from their own generator: the frames are the same.
    auto frame = [](bool faults) {
        StreamBench bench;
        if (faults) {
            bench.camera.SetPacketFaultRate(PacketFault::ErrorStatus, 0.5);
        }
        bench.Start(k160At30);
        bench.Next(40);
        return bench.camera.LastFrame().Sensed;
    };
    EXPECT_EQ(frame(true), frame(false));
}

TEST(PacketFaults, ClearFaultsStopsThemAndClearLogsEmptiesTheLog)
{
    StreamBench bench;
    bench.camera.SetPacketFaultRate(PacketFault::ZeroLength, 1.0);
    bench.camera.InjectPacketFaultAt(50, PacketFault::Lost);
    bench.Start(k160At30);
    EXPECT_EQ(Describe(bench.Next(2), 704), (std::vector<std::string>{"-", "-"}));
    bench.camera.ClearFaults();
    EXPECT_EQ(Describe(bench.Next(2), 704), (std::vector<std::string>{"2", "3"}));
    bench.Next(60);
    EXPECT_EQ(bench.camera.Stats().ZeroLengthPackets, 2u);
    EXPECT_EQ(bench.camera.Stats().LostPackets, 0u);
    EXPECT_EQ(bench.camera.PacketFaultLog().size(), 2u);
    bench.camera.ClearLogs();
    EXPECT_TRUE(bench.camera.PacketFaultLog().empty());
    EXPECT_THROW(bench.camera.InjectPacketFaultAt(0, PacketFault::Lost), std::invalid_argument);
    EXPECT_THROW(bench.camera.InjectFrameFaultAt(0, 0, PacketFault::Lost), std::invalid_argument);
}

} // namespace
