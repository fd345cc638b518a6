// The camera's isochronous stream: packet numbering, frame timing, what the
// packets carry, and what happens when a frame does not fit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "core/camera_context.h"
#include "datapath/decompress.h"
#include "imaging/pipeline_tables.h"
#include "kald_sim/camera.h"
#include "kald_sim/frame_encoder.h"
#include "kald_sim/rate_control.h"
#include "stream_test_support.h"

namespace {

using namespace stream_test;
using kald::sim::CameraConfig;
using kald::sim::FrameRecord;

// Mean absolute difference of two equally long byte runs.
double MeanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    EXPECT_EQ(a.size(), b.size());
    uint64_t sum = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        sum += uint64_t(std::abs(int(a[i]) - int(b[i])));
    }
    return a.empty() ? 0.0 : double(sum) / double(a.size());
}

// The driver's large-frame decoder; returns the decoded mosaic, rows top-down,
// or nothing for a corrupt frame.
std::vector<uint8_t> DecodeLarge(const std::vector<uint8_t>& compacted, int width, int height)
{
    std::vector<UCHAR> mosaic(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> luma(LUMA_WORK_BUFFER_BYTES);
    ResetPipelineTables();
    EXPECT_EQ(BuildPipelineTables(ULONG(width), ULONG(height), mosaic.data(), luma.data()), 1u);
    std::vector<uint8_t> raw(RAW_FRAME_BYTES, 0);
    EXPECT_LE(compacted.size(), raw.size());
    std::copy(compacted.begin(), compacted.begin() + std::min(compacted.size(), raw.size()),
              raw.begin());
    std::vector<uint8_t> out;
    if (DecompressLargeFrame(ULONG(width), ULONG(height), ULONG(compacted.size()), raw.data(), 0) !=
        1) {
        return out;
    }
    for (int y = 0; y < height; ++y) {
        const UCHAR* row = Pipeline.DecoderRows[y];
        out.insert(out.end(), row, row + width);
    }
    return out;
}

// The driver's small-frame decoder: blue, green, red, rows bottom-up, as the
// decoder writes them (its dither phase is that of a first frame).
std::vector<uint8_t> DecodeSmall(const std::vector<uint8_t>& compacted, int width, int height)
{
    std::vector<UCHAR> mosaic(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> luma(LUMA_WORK_BUFFER_BYTES);
    ResetPipelineTables();
    EXPECT_EQ(BuildPipelineTables(ULONG(width), ULONG(height), mosaic.data(), luma.data()), 1u);
    std::vector<uint8_t> raw(RAW_FRAME_BYTES, 0);
    std::copy(compacted.begin(), compacted.end(), raw.begin());
    std::vector<uint8_t> bgr(size_t(width) * size_t(height) * 3);
    EXPECT_NE(DecompressSmallFrame(ULONG(width), ULONG(height), ULONG(compacted.size()), raw.data(),
                                   bgr.data()),
              0u);
    return bgr;
}

// The sensed picture of a small frame as an RgbImage.
kald::sim::RgbImage Picture(const FrameRecord& frame)
{
    kald::sim::RgbImage picture(frame.Width, frame.Height);
    picture.pixels = frame.Sensed;
    return picture;
}

// --- No stream, no data ---

TEST(CameraStream, SendsEmptyPacketsWhileTheStreamIsOff)
{
    StreamBench bench;
    for (const Packet& packet : bench.Next(40)) {
        EXPECT_EQ(packet.Bytes.size(), 0u);
        EXPECT_EQ(packet.Status, 0);
    }
    // Everything set up but the stream switch.
    bench.Start(k160At30);
    bench.Write(0x8112, 0x00);
    for (const Packet& packet : bench.Next(40)) {
        EXPECT_EQ(packet.Bytes.size(), 0u);
    }
    const auto stats = bench.camera.Stats();
    EXPECT_EQ(stats.IsochronousPackets, 80u);
    EXPECT_EQ(stats.EmptyPackets, 80u);
    EXPECT_EQ(stats.FramesStarted, 0u);
}

TEST(CameraStream, SendsEmptyPacketsOnAlternateSettingZeroButKeepsExposing)
{
    StreamBench bench;
    bench.Start(k160At30);
    USHORT packetSize = 1;
    ASSERT_EQ(bench.camera.SelectAlternateSetting(0, 0, &packetSize), STATUS_SUCCESS);
    EXPECT_EQ(packetSize, 0);
    for (const Packet& packet : bench.Next(100)) {
        EXPECT_EQ(packet.Bytes.size(), 0u);
    }
    const auto stats = bench.camera.Stats();
    EXPECT_EQ(stats.FramesStarted, 3u); // at 0, 34 and 67 ms
    EXPECT_EQ(stats.FramesUnsent, 3u);
    EXPECT_EQ(stats.DataPackets, 0u);
    // The statistics registers follow the frames all the same.
    EXPECT_NE(bench.Read(0x8621), 0);
}

TEST(CameraStream, StoppingTheStreamCutsTheFrameBeingSent)
{
    StreamBench bench;
    bench.Start(k352At15);
    bench.Next(5);
    bench.Write(0x8112, 0x00);
    EXPECT_EQ(bench.Next().Bytes.size(), 0u);
    const auto stats = bench.camera.Stats();
    EXPECT_EQ(stats.FramesCut, 1u);
    EXPECT_EQ(stats.FramesSent, 0u);
    EXPECT_EQ(stats.DataPackets, 5u);
}

// --- Packet numbering ---

TEST(CameraStream, NumbersAFramesPacketsThenSendsIdlePackets)
{
    struct Case {
        StreamMode Mode;
        size_t PacketSize;
    };
    const Case cases[] = {
        {k352At15, 768}, {k352At10, 512}, {k320At15, 704}, {k176At30, 880},
        {k176At21, 640}, {k160At30, 704}, {k160At21, 512},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.Mode.FormatCode) * 100 + c.Mode.Divider);
        StreamBench bench;
        bench.Start(c.Mode);
        std::vector<Packet> packets = {bench.Next()};
        const FrameRecord frame = bench.camera.LastFrame();
        ASSERT_EQ(frame.Number, 1u);
        for (unsigned i = 1; i < frame.Budget; ++i) {
            packets.push_back(bench.Next());
        }
        const size_t payload = c.PacketSize - 1;
        const size_t dataPackets = (frame.Compacted.size() + payload - 1) / payload;
        EXPECT_EQ(frame.Packets, dataPackets);
        EXPECT_FALSE(frame.Cut);
        std::vector<uint8_t> joined;
        for (size_t i = 0; i < packets.size(); ++i) {
            ASSERT_EQ(packets[i].Bytes.size(), c.PacketSize) << i;
            EXPECT_EQ(packets[i].Status, 0);
            if (i < dataPackets) {
                EXPECT_EQ(packets[i].Sequence(), int(i));
                joined.insert(joined.end(), packets[i].Bytes.begin() + 1, packets[i].Bytes.end());
            } else {
                EXPECT_EQ(packets[i].Sequence(), 0xFF) << i;
            }
        }
        // The payloads are the coded frame, the last packet padded with zeros.
        ASSERT_GE(joined.size(), frame.Compacted.size());
        EXPECT_TRUE(std::equal(frame.Compacted.begin(), frame.Compacted.end(), joined.begin()));
        EXPECT_TRUE(std::all_of(joined.begin() + std::ptrdiff_t(frame.Compacted.size()),
                                joined.end(), [](uint8_t b) { return b == 0; }));
        // The next frame starts right after the idle packets.
        EXPECT_EQ(bench.Next().Sequence(), 0);
        EXPECT_EQ(bench.camera.LastFrame().Number, 2u);
    }
}

// --- Frame timing ---

TEST(CameraStream, StartsFramesAtTheClockDividersRate)
{
    // Milliseconds between the first seven frame starts: 1000 / rate kept as
    // an exact fraction, each start on the first millisecond at or after it.
    struct Case {
        UCHAR Divider;
        std::vector<int> Gaps;
    };
    const Case cases[] = {
        {3, {34, 33, 33, 34, 33, 33}}, // 33.33 ms
        {5, {48, 48, 47, 48, 48, 47}}, // 47.62 ms
        {8, {67, 67, 66, 67, 67, 66}}, // 66.67 ms
        {13, {100, 100, 100, 100, 100, 100}},
        {4, {48, 48, 47, 48, 48, 47}}, // nearest listed divider: 5
        {0, {34, 33, 33, 34, 33, 33}}, // never programmed: as 3
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.Divider));
        StreamBench bench;
        bench.Start({13, c.Divider, 7}); // 160x120 in 960-byte packets fits every period
        std::vector<int> starts;
        for (int ms = 0; ms < 601; ++ms) {
            if (bench.Next().Sequence() == 0) {
                starts.push_back(ms);
            }
        }
        ASSERT_GE(starts.size(), 7u);
        std::vector<int> gaps;
        for (size_t i = 1; i < 7; ++i) {
            gaps.push_back(starts[i] - starts[i - 1]);
        }
        EXPECT_EQ(starts[0], 0);
        EXPECT_EQ(gaps, c.Gaps);
    }
}

TEST(CameraStream, KeepsTheFractionalFramePeriodOverLongRuns)
{
    // 3000 ms hold exactly 90 frame starts at 30 frames/s and 63 at 21.
    struct Case {
        UCHAR Divider;
        uint64_t Frames;
    };
    for (const Case& c : {Case{3, 90}, Case{5, 63}}) {
        StreamBench bench;
        bench.Start({13, c.Divider, 7});
        bench.camera.SetSensorNoise(0);
        bench.Next(3000);
        EXPECT_EQ(bench.camera.Stats().FramesStarted, c.Frames);
        EXPECT_EQ(bench.camera.Stats().FramesSent, c.Frames);
    }
}

TEST(CameraStream, ADividerChangeTakesEffectAtTheNextFrameStart)
{
    StreamBench bench;
    bench.Start({13, 3, 7});
    bench.Next(10);
    bench.Write(0x8700, 13); // 10 frames/s from the frame at 34 ms on
    std::vector<int> starts;
    for (int ms = 10; ms < 300; ++ms) {
        if (bench.Next().Sequence() == 0) {
            starts.push_back(ms);
        }
    }
    EXPECT_EQ(starts, (std::vector<int>{34, 134, 234}));
}

// --- What the packets carry ---

TEST(CameraStream, LargeFramesDecodeWithTheDriversDecoder)
{
    struct Case {
        StreamMode Mode;
        int Width, Height;
    };
    for (const Case& c :
         {Case{k352At15, 352, 288}, Case{k352At10, 352, 288}, Case{k320At15, 320, 240}}) {
        StreamBench bench;
        bench.Start(c.Mode);
        for (int frame = 1; frame <= 2; ++frame) {
            SCOPED_TRACE(c.Width * 100 + frame);
            const std::vector<uint8_t> compacted = bench.NextFrame();
            const FrameRecord record = bench.camera.LastFrame();
            ASSERT_EQ(record.Number, uint64_t(frame));
            ASSERT_EQ(record.Detail, kald::sim::kFullDetail);
            const std::vector<uint8_t> decoded = DecodeLarge(compacted, c.Width, c.Height);
            ASSERT_FALSE(decoded.empty()) << "corrupt frame";
            // Exactly what the coder meant the driver to see (revision 0
            // carries nothing from frame to frame) ...
            kald::sim::LargeFrameEncoder encoder(c.Width, c.Height);
            encoder.Encode(record.Sensed, record.Statistics);
            EXPECT_EQ(decoded, encoder.Reconstruction());
            // ... which is close to what the sensor gave.
            EXPECT_LT(MeanDifference(decoded, record.Sensed), 3.0);
            // The header carries the statistics of the sensed mosaic.
            EXPECT_TRUE(std::equal(record.Statistics.begin(), record.Statistics.end(),
                                   compacted.begin() + 6));
        }
    }
}

TEST(CameraStream, SmallFramesDecodeWithTheDriversDecoder)
{
    struct Case {
        StreamMode Mode;
        int Width, Height;
    };
    for (const Case& c : {Case{k176At30, 176, 144}, Case{k160At21, 160, 120}}) {
        SCOPED_TRACE(c.Width);
        StreamBench bench;
        bench.Start(c.Mode);
        const std::vector<uint8_t> compacted = bench.NextFrame();
        const FrameRecord record = bench.camera.LastFrame();
        const std::vector<uint8_t> decoded = DecodeSmall(compacted, c.Width, c.Height);
        kald::sim::SmallFrameEncoder encoder(c.Width, c.Height);
        encoder.Encode(Picture(record), record.Statistics);
        EXPECT_EQ(decoded, encoder.Reconstruction(0));
        // Green has full resolution: within the 6-bit step and the dither.
        std::vector<uint8_t> decodedGreen, sensedGreen;
        for (int y = 0; y < c.Height; ++y) {
            for (int x = 0; x < c.Width; ++x) {
                decodedGreen.push_back(
                    decoded[(size_t(c.Height - 1 - y) * size_t(c.Width) + size_t(x)) * 3 + 1]);
                sensedGreen.push_back(
                    record.Sensed[(size_t(y) * size_t(c.Width) + size_t(x)) * 3 + 1]);
            }
        }
        EXPECT_LT(MeanDifference(decodedGreen, sensedGreen), 2.5);
        EXPECT_TRUE(
            std::equal(record.Statistics.begin(), record.Statistics.end(), compacted.begin() + 6));
    }
}

TEST(CameraStream, StatisticsRegistersHoldTheLastFramesStatistics)
{
    StreamBench bench;
    bench.Start(k352At15);
    for (int frame = 0; frame < 3; ++frame) {
        const std::vector<uint8_t> compacted = bench.NextFrame();
        // Registers: set A (header bytes 10..13), then set B (header 6..9).
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(bench.Read(USHORT(0x8621 + i)), compacted[size_t(10 + i)]) << i;
            EXPECT_EQ(bench.Read(USHORT(0x8625 + i)), compacted[size_t(6 + i)]) << i;
        }
    }
}

TEST(CameraStream, TheTestSceneAtTheReferenceExposureMeetsTheExposureTarget)
{
    // Light 1.0 and the 30 frames/s table's index 69 (438 rows, gain 18)
    // measure near the exposure controller's target luma of 72.
    for (StreamMode mode : {k176At30, k160At30, StreamMode{16, 3, 12}}) {
        StreamBench bench;
        bench.Start(mode);
        bench.NextFrame();
        const int luma = DriverLuma(bench.camera.LastFrame().Statistics);
        EXPECT_GE(luma, 68) << int(mode.FormatCode);
        EXPECT_LE(luma, 76) << int(mode.FormatCode);
    }
}

// --- Frames that do not fit ---

TEST(CameraStream, CodesALargeFrameWithLessDetailWhenItWouldNotFit)
{
    // 352x288 at 30 frames/s in 768-byte packets: at most 33 * 767 bytes.
    StreamBench bench;
    bench.Start({16, 3, 12});
    const std::vector<uint8_t> compacted = bench.NextFrame();
    const FrameRecord record = bench.camera.LastFrame();
    EXPECT_GT(record.Detail, kald::sim::kFullDetail);
    EXPECT_FALSE(record.Cut);
    EXPECT_LE(record.Packets, record.Budget);
    EXPECT_FALSE(DecodeLarge(compacted, 352, 288).empty());
    EXPECT_EQ(bench.camera.Stats().FramesReduced, 1u);
    EXPECT_EQ(bench.camera.Stats().FramesCut, 0u);
}

TEST(CameraStream, CutsAFrameThatDoesNotFitEvenWithoutDetail)
{
    // 256-byte packets at 30 frames/s: 34 * 255 bytes cannot hold even a
    // flat 352x288 frame. Every millisecond carries data, numbered 0..33.
    StreamBench bench;
    bench.Start({16, 3, 1});
    std::vector<int> sequences;
    for (const Packet& packet : bench.Next(35)) {
        sequences.push_back(packet.Sequence());
    }
    std::vector<int> expected;
    for (int i = 0; i < 34; ++i) {
        expected.push_back(i);
    }
    expected.push_back(0); // the next frame at 34 ms
    EXPECT_EQ(sequences, expected);
    const auto stats = bench.camera.Stats();
    EXPECT_EQ(stats.FramesCut, 1u);
    EXPECT_EQ(stats.FramesSent, 0u);
    EXPECT_EQ(stats.FramesReduced, 2u);
    EXPECT_EQ(stats.IdlePackets, 0u);
}

TEST(CameraStream, CutsASmallFrameLongerThanItsPeriod)
{
    // 176x144 needs 28,528 bytes: 112 packets of 255 bytes, 34 fit.
    StreamBench bench;
    bench.Start({12, 3, 1});
    bench.Next(34);
    const FrameRecord record = bench.camera.LastFrame();
    EXPECT_TRUE(record.Cut);
    EXPECT_EQ(record.Packets, 34u);
    EXPECT_EQ(bench.camera.Stats().FramesCut, 1u);
}

// --- The host's side ---

TEST(CameraStream, APacketLongerThanTheHostsBufferIsAnOverrun)
{
    StreamBench bench;
    bench.Start(k160At30);
    const Packet packet = bench.Next(ULONG(100));
    EXPECT_EQ(packet.Bytes.size(), 100u);
    EXPECT_EQ(packet.Status, kald::sim::kBufferOverrunStatus);
    EXPECT_EQ(packet.Sequence(), 0);
    EXPECT_EQ(bench.camera.Stats().HostBufferOverruns, 1u);
}

TEST(CameraStream, TheSameSeedGivesTheSameStream)
{
    auto run = [](uint64_t seed) {
        CameraConfig config;
        config.Seed = seed;
        StreamBench bench(config);
        bench.Start(k160At30);
        std::vector<uint8_t> all;
        for (const Packet& packet : bench.Next(200)) {
            all.insert(all.end(), packet.Bytes.begin(), packet.Bytes.end());
        }
        return all;
    };
    const std::vector<uint8_t> first = run(7);
    EXPECT_EQ(first, run(7));
    EXPECT_NE(first, run(8)); // the noise differs
}

TEST(CameraStream, PowerCycleStopsTheStream)
{
    StreamBench bench;
    bench.Start(k160At30);
    bench.Next(3);
    bench.camera.PowerCycle();
    EXPECT_EQ(bench.Next().Bytes.size(), 0u);
    EXPECT_EQ(bench.camera.Stats().FramesCut, 1u);
}


// FNV-1a over every delivered byte, lengths and statuses included.
uint64_t StreamHash(StreamBench& bench, int packets)
{
    uint64_t hash = 0xCBF29CE484222325ull;
    auto mix = [&hash](uint8_t byte) {
        hash ^= byte;
        hash *= 0x100000001B3ull;
    };
    for (const Packet& packet : bench.Next(packets)) {
        for (int shift = 0; shift < 32; shift += 8) {
            mix(uint8_t(packet.Bytes.size() >> shift));
            mix(uint8_t(uint32_t(packet.Status) >> shift));
        }
        for (uint8_t byte : packet.Bytes) {
            mix(byte);
        }
    }
    return hash;
}

TEST(CameraStream, EveryBuildSendsTheSameStream)
{
    // Seed 1, the test scene under steady neutral light, 300 milliseconds.
    // Pinned: a change here is a change of the simulated camera.
    struct Case {
        StreamMode Mode;
        uint64_t Hash;
    };
    const Case cases[] = {
        {k352At15, 0x1334437C0D2D3FB0ull},
        {k176At30, 0x372B9B34A61A7DE8ull},
    };
    for (const Case& c : cases) {
        StreamBench bench;
        bench.Start(c.Mode);
        EXPECT_EQ(StreamHash(bench, 300), c.Hash) << std::hex << int(c.Mode.FormatCode);
    }
}

} // namespace
