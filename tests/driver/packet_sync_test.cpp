#include <gtest/gtest.h>

#include <vector>

#include "datapath/packet_sync.h"
#include "datapath/raw_frame.h"

namespace {

constexpr ULONG kPacketSize = 512;

// A device context between bandwidth allocation and the first packet, with
// a 512-byte pipe and the default skip count.
class PacketSyncTest : public ::testing::Test {
public:
    void SetUp() override
    {
        info.Length = sizeof(info);
        info.NumberOfPipes = 1;
        info.Pipes[0].MaximumPacketSize = USHORT(kPacketSize);
        context.InterfaceInfo = &info;
        context.SavedFrameBuffer = saved.data();
        context.SavedFrameCapacity = RAW_FRAME_BYTES;
        context.CameraSettings.MsToSkipPackets = 125;
        ResetFrameSync(&context);
        FrameRateGateInit(333333, &context.FrameRateGate);
        frame.FrameIntact = TRUE;
    }

    // Sends one packet: sequence byte s (none for length 0), payload bytes
    // `fill`, the bus status.
    ULONG Send(int s, ULONG length = kPacketSize, USBD_STATUS status = 0, UCHAR fill = 0x11)
    {
        std::vector<UCHAR> packet(kPacketSize, fill);
        if (length > 0) {
            packet[0] = UCHAR(s);
        }
        USBD_ISO_PACKET_DESCRIPTOR d{0, length, status};
        complete = FALSE;
        ULONG flags = 0xFFFF, offset = 0xFFFF;
        const ULONG n = CamProcessUSBPacketEx(nullptr, &context, &frame, nullptr, nullptr, &d,
                                              packet.data(), &complete, &flags, &offset);
        EXPECT_EQ(flags, 0u);
        EXPECT_EQ(offset, 0u);
        return n;
    }

    // Collects the first frame (three packets) after the skip count; with
    // `acceptAll` the rate gate ticks at every packet, so it assembles every
    // frame.
    void Synchronise(bool acceptAll = true)
    {
        for (int i = 0; i < 125; ++i) {
            Send(0);
        }
        Send(0);
        Send(1);
        Send(2);
        if (acceptAll) {
            context.FrameRateGate.Period = 1;
        }
    }

    USBD_INTERFACE_INFORMATION info{};
    std::vector<UCHAR> saved = std::vector<UCHAR>(RAW_FRAME_BYTES);
    CameraContext context{};
    FrameContext frame{};
    BOOLEAN complete = FALSE;
};

TEST_F(PacketSyncTest, SkipsThenCollectsTheFirstFrameThenStreams)
{
    for (int i = 0; i < 125; ++i) {
        ASSERT_EQ(Send(i % 3 == 0 ? 0 : 0xFF), 0u) << "skipped " << i;
    }
    EXPECT_EQ(context.SyncState, 0u);
    EXPECT_EQ(Send(5), 0u) << "collection starts only at a start of frame";
    EXPECT_EQ(Send(0, kPacketSize, 0, 0x21), 0u);
    EXPECT_EQ(context.SyncState, 1u);
    EXPECT_EQ(Send(0xFF), 0u);
    EXPECT_EQ(Send(1, kPacketSize, 0, 0x22), 0u);
    EXPECT_EQ(Send(0, 0), 0u) << "an empty packet is never appended";
    EXPECT_EQ(context.SavedFrameLength, 2 * (kPacketSize - 1));
    EXPECT_EQ(saved[0], 0x21);
    EXPECT_EQ(saved[kPacketSize - 1], 0x22);
    EXPECT_EQ(context.MsClock, 0u);
    // The next start of frame ends the collection and is streamed: the first
    // clock tick is 1, between two ticks of the rate gate, so this frame is
    // not assembled, but the frame before it is complete.
    EXPECT_EQ(Send(0), 0u);
    EXPECT_EQ(context.SyncState, 2u);
    EXPECT_EQ(context.MsClock, 1u);
    EXPECT_EQ(context.FrameStartCount, 1u);
    EXPECT_TRUE(complete);
}

TEST_F(PacketSyncTest, CollectionRestartsOnAnyFault)
{
    for (int i = 0; i < 125; ++i) {
        Send(0xFF);
    }
    Send(0);
    Send(1);
    Send(3); // out of order: the collection is thrown away
    EXPECT_EQ(context.SavedFrameLength, 0u);
    Send(0);
    Send(1, 100); // wrong length
    EXPECT_EQ(context.SavedFrameLength, 0u);
    EXPECT_EQ(context.PacketErrorKind, PACKET_ERROR_LENGTH);
    EXPECT_EQ(context.PacketErrorDetail, 100u);
    EXPECT_EQ(context.SyncState, 1u);
}

TEST_F(PacketSyncTest, SequenceGapDamagesTheFrameUntilTheNextStart)
{
    Synchronise();
    Send(0);
    EXPECT_EQ(Send(1), kPacketSize);
    EXPECT_EQ(Send(0xFF), 0u) << "idle packets inside a frame add nothing";
    EXPECT_EQ(Send(3), 0u);
    EXPECT_EQ(context.PacketErrorKind, PACKET_ERROR_SEQUENCE);
    EXPECT_EQ(context.PacketErrorDetail, 2u * 65536 + 3);
    EXPECT_FALSE(frame.FrameIntact);
    const ULONG counted = context.PacketCount;
    EXPECT_EQ(Send(4), 0u);
    EXPECT_EQ(context.PacketCount, counted) << "the rest of a damaged frame is not counted";
    frame.FrameIntact = TRUE; // the library prepares a new frame after the start
    EXPECT_EQ(Send(0), kPacketSize);
    EXPECT_EQ(Send(1), kPacketSize);
}

TEST_F(PacketSyncTest, StatusAndLengthErrorsAreCountedAndRecordedOnce)
{
    Synchronise();
    Send(0);
    EXPECT_EQ(Send(1, kPacketSize, LONG(0xC0000011)), 0u);
    EXPECT_EQ(Send(2, 7), 0u);
    EXPECT_EQ(context.PacketErrorCount, 2u);
    EXPECT_EQ(context.PacketErrorKind, PACKET_ERROR_STATUS) << "the first error is kept";
    EXPECT_EQ(context.PacketErrorDetail, 0xC0000011u);
    EXPECT_FALSE(frame.FrameIntact);
    // An empty packet is not an error and counts as idle.
    const ULONG clock = context.MsClock;
    EXPECT_EQ(Send(0, 0), 0u);
    EXPECT_EQ(context.PacketErrorCount, 2u);
    EXPECT_EQ(context.MsClock, clock + 1);
}

TEST_F(PacketSyncTest, StatisticsComeFromTheStartOfFramePacket)
{
    Synchronise();
    std::vector<UCHAR> packet(kPacketSize, 0);
    const UCHAR stats[8] = {1, 2, 3, 4, 5, 6, 7, 8}; // bytes 7..14: set B g1 r b g2, set A g1 r b g2
    std::copy(stats, stats + 8, packet.begin() + 7);
    USBD_ISO_PACKET_DESCRIPTOR d{0, kPacketSize, 0};
    ULONG flags = 0, offset = 0;
    CamProcessUSBPacketEx(nullptr, &context, &frame, nullptr, nullptr, &d, packet.data(), &complete,
                          &flags, &offset);
    const UCHAR expected[8] = {6, 5, 8, 7, 2, 1, 4, 3}; // red A, green A1, green A2, blue A, then B
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(context.AutoControlState.Stats[k], expected[k]) << k;
    }
}

// Frames every 33 ms: which are completed (delivered) at a client rate.
int DeliveredFrames(PacketSyncTest& t, ULONG interval, int frames)
{
    FrameRateGateInit(interval, &t.context.FrameRateGate);
    int delivered = 0;
    for (int f = 0; f < frames; ++f) {
        for (int p = 0; p < 33; ++p) {
            t.Send(p < 20 ? p : 0xFF);
            if (p == 0 && t.complete) {
                ++delivered;
            }
        }
    }
    return delivered;
}

TEST_F(PacketSyncTest, RateGateDropsWholeFramesToFollowTheClient)
{
    Synchronise(false);
    EXPECT_EQ(context.FrameRateGate.Period, 32u);
    EXPECT_GE(DeliveredFrames(*this, 333333, 60), 59) << "30 frames/s: none dropped after the first";
    const int at15 = DeliveredFrames(*this, 666666, 60);
    EXPECT_EQ(context.FrameRateGate.Period, 65u);
    EXPECT_GE(at15, 29);
    EXPECT_LE(at15, 31);
    FrameRateGateInit(100000, &context.FrameRateGate);
    EXPECT_EQ(context.FrameRateGate.Period, 32u) << "raised to 33 ms";
    FrameRateGateInit(20000000, &context.FrameRateGate);
    EXPECT_EQ(context.FrameRateGate.Period, 999u) << "lowered to 1000 ms";
}

} // namespace
