#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

#include "kald_host/host_kernel.h"
#include "kald_host/host_stream.h"
#include "kald_host/usbcamd.h"

namespace {

using namespace kald::host;

// Small numbers keep the expected bytes readable: 4-byte packets (a
// sequence byte and three payload bytes), a 16-byte picture, an 8-byte frame
// context as the driver's.
constexpr ULONG P = 4;
constexpr ULONG ClientLength = 16;
constexpr ULONG RawCapacity = 64;
constexpr ULONG ContextSize = 8;

constexpr USBD_STATUS UsbError = USBD_STATUS(0xC0000004L); // any negative bus status

// A camera that sends a script of packets, one per call, then nothing.
class ScriptedCamera : public UsbDevice {
  public:
    struct Packet {
        std::vector<UCHAR> Bytes;
        USBD_STATUS Status = 0;
        std::optional<ULONG> ReportedLength; // a length other than the bytes sent
    };

    NTSTATUS VendorControl(UCHAR, USHORT, USHORT, void*, ULONG*, bool) override
    {
        return STATUS_SUCCESS;
    }
    NTSTATUS SelectAlternateSetting(UCHAR, UCHAR, USHORT*) override { return STATUS_SUCCESS; }

    IsochronousPacket NextIsochronousPacket(PUCHAR buffer, ULONG capacity) override
    {
        Capacities.push_back(capacity);
        if (Next >= Script.size()) {
            return IsochronousPacket{0, 0};
        }
        const Packet& p = Script[Next++];
        const size_t count = p.Bytes.size() < capacity ? p.Bytes.size() : capacity;
        if (count != 0) {
            std::memcpy(buffer, p.Bytes.data(), count);
        }
        return IsochronousPacket{p.ReportedLength ? *p.ReportedLength : ULONG(p.Bytes.size()),
                                 p.Status};
    }

    std::vector<Packet> Script;
    size_t Next = 0;
    std::vector<ULONG> Capacities; // as offered, one per call
};

// A P-byte packet: the sequence byte, then `first`, first + 1, ...
ScriptedCamera::Packet Data(UCHAR sequence, UCHAR first)
{
    ScriptedCamera::Packet p;
    p.Bytes.push_back(sequence);
    for (ULONG i = 1; i < P; ++i) {
        p.Bytes.push_back(UCHAR(first + i - 1));
    }
    return p;
}

ScriptedCamera::Packet Idle()
{
    return Data(0xFF, 0xEE);
}

// Stands for the driver: the device context the callbacks receive. It keeps
// the bytes of every packet except idle (0xFF) and empty ones, and raises
// frame-complete at every start of frame (sequence 0) after the first.
struct FakeDriver {
    struct PacketCall {
        PDEVICE_OBJECT Bus;
        PVOID FrameContext;
        ULONG FrameId; // what CamNewVideoFrameEx wrote into it
        bool SyncPacketNull;
        bool SyncBufferNull;
        USBD_ISO_PACKET_DESCRIPTOR Descriptor;
        PVOID DataBuffer;
        UCHAR FirstByte; // 0 for an empty packet
        BOOLEAN FrameCompleteOnEntry;
        bool WaitingAllowed;
        uint64_t Now;
        NTSTATUS DelayStatus;
    };
    struct NewFrameCall {
        PVOID FrameContext;
        bool ZeroedOnEntry;
        ULONG StreamNumber;
        ULONG FrameLength; // as offered
        bool WaitingAllowed;
    };
    struct RawFrameCall {
        PDEVICE_OBJECT Bus;
        PVOID FrameContext;
        ULONG FrameId;
        PVOID FrameBuffer;
        ULONG FrameLength;
        PVOID RawFrameBuffer;
        ULONG RawFrameLength;
        ULONG NumberOfPackets;
        ULONG ActualRawFrameLength;
        ULONG StreamNumber;
        std::vector<UCHAR> Bytes; // the first ActualRawFrameLength bytes
        bool WaitingAllowed;
        NTSTATUS DelayStatus;
    };

    // Behaviour.
    bool SeenStart = false;
    std::optional<ULONG> Keep;   // bytes kept of every packet instead of the rule
    bool DelayInPacket = false;  // waits 1 ms in the packet callback
    bool DelayInFrame = false;   // waits 1 ms in the frame callback
    std::optional<ULONG> Report; // picture bytes reported instead of FrameLength
    NTSTATUS FrameStatus = STATUS_SUCCESS;

    ULONG NextFrameId = 1;
    std::vector<PacketCall> Packets;
    std::vector<NewFrameCall> NewFrames;
    std::vector<RawFrameCall> RawFrames;
};

NTSTATUS DelayOneMillisecond()
{
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;
    return KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

ULONG FrameId(PVOID frameContext)
{
    ULONG id;
    std::memcpy(&id, frameContext, sizeof id);
    return id;
}

ULONG FakeProcessPacket(PDEVICE_OBJECT bus, PVOID deviceContext, PVOID frameContext,
                        PUSBD_ISO_PACKET_DESCRIPTOR syncPacket, PVOID syncBuffer,
                        PUSBD_ISO_PACKET_DESCRIPTOR dataPacket, PVOID dataBuffer,
                        PBOOLEAN frameComplete, PULONG packetFlag, PULONG validDataOffset)
{
    (void)packetFlag;
    (void)validDataOffset;
    FakeDriver& d = *static_cast<FakeDriver*>(deviceContext);
    const UCHAR* bytes = static_cast<const UCHAR*>(dataBuffer);
    FakeDriver::PacketCall call{bus,
                                frameContext,
                                FrameId(frameContext),
                                syncPacket == nullptr,
                                syncBuffer == nullptr,
                                *dataPacket,
                                dataBuffer,
                                dataPacket->Length != 0 ? bytes[0] : UCHAR(0),
                                *frameComplete,
                                WaitingAllowed(),
                                Now100ns(),
                                STATUS_SUCCESS};
    if (d.DelayInPacket) {
        call.DelayStatus = DelayOneMillisecond();
    }
    d.Packets.push_back(call);
    if (d.Keep) {
        return *d.Keep;
    }
    if (dataPacket->Length == 0 || bytes[0] == 0xFF) {
        return 0;
    }
    if (bytes[0] == 0x00) {
        if (d.SeenStart) {
            *frameComplete = TRUE;
        }
        d.SeenStart = true;
    }
    return dataPacket->Length;
}

void FakeNewFrame(PVOID deviceContext, PVOID frameContext, ULONG streamNumber, PULONG frameLength)
{
    FakeDriver& d = *static_cast<FakeDriver*>(deviceContext);
    const UCHAR* bytes = static_cast<const UCHAR*>(frameContext);
    bool zeroed = true;
    for (ULONG i = 0; i < ContextSize; ++i) {
        zeroed = zeroed && bytes[i] == 0;
    }
    d.NewFrames.push_back({frameContext, zeroed, streamNumber, *frameLength, WaitingAllowed()});
    // Fill the whole record, so that a missed zeroing shows.
    const ULONG id = d.NextFrameId++;
    std::memcpy(frameContext, &id, sizeof id);
    std::memset(static_cast<UCHAR*>(frameContext) + sizeof id, 0xA5, ContextSize - sizeof id);
}

NTSTATUS FakeProcessRawFrame(PDEVICE_OBJECT bus, PVOID deviceContext, PVOID frameContext,
                             PVOID frameBuffer, ULONG frameLength, PVOID rawFrameBuffer,
                             ULONG rawFrameLength, ULONG numberOfPackets, PULONG bytesReturned,
                             ULONG actualRawFrameLength, ULONG streamNumber)
{
    FakeDriver& d = *static_cast<FakeDriver*>(deviceContext);
    const UCHAR* raw = static_cast<const UCHAR*>(rawFrameBuffer);
    FakeDriver::RawFrameCall call{bus,
                                  frameContext,
                                  FrameId(frameContext),
                                  frameBuffer,
                                  frameLength,
                                  rawFrameBuffer,
                                  rawFrameLength,
                                  numberOfPackets,
                                  actualRawFrameLength,
                                  streamNumber,
                                  std::vector<UCHAR>(raw, raw + actualRawFrameLength),
                                  WaitingAllowed(),
                                  STATUS_SUCCESS};
    if (d.DelayInFrame) {
        call.DelayStatus = DelayOneMillisecond();
    }
    d.RawFrames.push_back(call);
    std::memset(frameBuffer, int(call.FrameId), frameLength);
    *bytesReturned = d.Report ? *d.Report : frameLength;
    return d.FrameStatus;
}

USBCAMD_DEVICE_DATA2 FakeCallbacks()
{
    USBCAMD_DEVICE_DATA2 callbacks = {};
    callbacks.CamProcessUSBPacketEx = FakeProcessPacket;
    callbacks.CamNewVideoFrameEx = FakeNewFrame;
    callbacks.CamProcessRawVideoFrameEx = FakeProcessRawFrame;
    return callbacks;
}

class IsochronousPumpTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetClock();
        ResetWaitViolations();
    }

    IsochronousPump MakePump(ULONG rawCapacity = RawCapacity)
    {
        return IsochronousPump(FakeCallbacks(), &Driver, Camera, P, ClientLength, rawCapacity,
                               ContextSize);
    }

    void Record(IsochronousPump& pump)
    {
        pump.SetCompletion([this](const CompletedBuffer& done) { Completed.push_back(done); });
    }

    FakeDriver Driver;
    ScriptedCamera Camera;
    std::vector<CompletedBuffer> Completed;
    UCHAR Buffers[4][32] = {};
};

// Three frames: 0A 1B 2C (idle) | 0D 1E | 0F 1G (still being assembled).
std::vector<ScriptedCamera::Packet> ThreeFrames()
{
    return {Data(0, 0x10), Data(1, 0x20), Data(2, 0x30), Idle(),
            Data(0, 0x40), Data(1, 0x50), Data(0, 0x60), Data(1, 0x70)};
}

TEST_F(IsochronousPumpTest, FramesAreAssembledInOrderFromTheKeptBytes)
{
    Camera.Script = ThreeFrames();
    IsochronousPump pump(FakeCallbacks(), &Driver, Camera, P, ClientLength, RawCapacity,
                         ContextSize);
    Record(pump);
    for (auto& buffer : Buffers) {
        ASSERT_EQ(pump.QueueBuffer(buffer, sizeof buffer), STATUS_SUCCESS);
    }
    pump.Start();
    pump.Run(8);

    struct Expected {
        ULONG frameId; // written by CamNewVideoFrameEx: 1 for the first frame
        ULONG numberOfPackets;
        std::vector<UCHAR> bytes;
    };
    const Expected expected[] = {
        {1, 3, {0x00, 0x10, 0x11, 0x12, 0x01, 0x20, 0x21, 0x22, 0x02, 0x30, 0x31, 0x32}},
        {2, 2, {0x00, 0x40, 0x41, 0x42, 0x01, 0x50, 0x51, 0x52}},
    };
    ASSERT_EQ(Driver.RawFrames.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const FakeDriver::RawFrameCall& call = Driver.RawFrames[i];
        EXPECT_EQ(call.FrameId, expected[i].frameId);
        EXPECT_EQ(call.NumberOfPackets, expected[i].numberOfPackets);
        EXPECT_EQ(call.ActualRawFrameLength, expected[i].bytes.size());
        EXPECT_EQ(call.Bytes, expected[i].bytes);
        EXPECT_EQ(call.FrameBuffer, Buffers[i]); // client buffers in queue order
        EXPECT_EQ(call.FrameLength, ClientLength);
        EXPECT_EQ(call.RawFrameLength, RawCapacity);
        EXPECT_EQ(call.StreamNumber, 0u);
    }
    // The third frame is under way with the packet that ended the second.
    EXPECT_EQ(pump.CurrentPacketCount(), 2u);
    EXPECT_EQ(pump.CurrentRawLength(), 8u);
    const UCHAR third[] = {0x00, 0x60, 0x61, 0x62, 0x01, 0x70, 0x71, 0x72};
    EXPECT_EQ(std::memcmp(pump.RawFrame(), third, sizeof third), 0);

    ASSERT_EQ(Completed.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(Completed[i].Buffer, Buffers[i]);
        EXPECT_EQ(Completed[i].Length, 32u);
        EXPECT_EQ(Completed[i].BytesReturned, ClientLength);
        EXPECT_EQ(Completed[i].Status, STATUS_SUCCESS);
        EXPECT_EQ(Completed[i].FrameNumber, i);
        EXPECT_EQ(Buffers[i][0], expected[i].frameId); // what the fake wrote
    }
    EXPECT_EQ(pump.QueuedBuffers(), 2u);

    const IsochronousPumpStatistics& s = pump.Statistics();
    EXPECT_EQ(s.packets, 8u);
    EXPECT_EQ(s.packetsWithData, 7u);
    EXPECT_EQ(s.framesCompleted, 2u);
    EXPECT_EQ(s.framesDelivered, 2u);
    EXPECT_EQ(s.framesDropped, 0u);
    EXPECT_EQ(s.framesEmpty, 0u);
    EXPECT_EQ(s.framesOverflowed, 0u);
    EXPECT_EQ(s.bytesAppended, 28u);
    EXPECT_EQ(s.driverErrors, 0u);
}

TEST_F(IsochronousPumpTest, ThePacketThatCompletesAFrameBeginsTheNext)
{
    Camera.Script = ThreeFrames();
    IsochronousPump pump = MakePump();
    pump.Start();
    pump.Run(8);

    // The frame context each packet was offered: the packet raising
    // frame-complete still sees the ending frame's; the next packet the new one.
    const ULONG frameIds[] = {1, 1, 1, 1, 1, 2, 2, 3};
    ASSERT_EQ(Driver.Packets.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(Driver.Packets[i].FrameId, frameIds[i]) << "packet " << i;
    }
}

TEST_F(IsochronousPumpTest, EachFrameIsPreparedOnceWithAZeroedContext)
{
    Camera.Script = ThreeFrames();
    IsochronousPump pump = MakePump();
    pump.Start();
    ASSERT_EQ(Driver.NewFrames.size(), 1u);
    pump.Run(4);
    EXPECT_EQ(Driver.NewFrames.size(), 1u);
    pump.Run(4);
    // Start, then one per frame-complete.
    ASSERT_EQ(Driver.NewFrames.size(), 3u);
    for (const FakeDriver::NewFrameCall& call : Driver.NewFrames) {
        EXPECT_TRUE(call.ZeroedOnEntry);
        EXPECT_EQ(call.StreamNumber, 0u);
        EXPECT_EQ(call.FrameLength, ClientLength);
        EXPECT_FALSE(call.WaitingAllowed);
        EXPECT_EQ(call.FrameContext, pump.FrameContext());
    }
}

TEST_F(IsochronousPumpTest, RunWithoutStartPreparesTheFirstFrame)
{
    Camera.Script = {Data(0, 0x10)};
    IsochronousPump pump = MakePump();
    pump.Run(1);
    ASSERT_EQ(Driver.NewFrames.size(), 1u);
    ASSERT_EQ(Driver.Packets.size(), 1u);
    EXPECT_EQ(Driver.Packets[0].FrameId, 1u);
    pump.Run(1);
    EXPECT_EQ(Driver.NewFrames.size(), 1u);
}

TEST_F(IsochronousPumpTest, FramesWithoutAClientBufferAreDroppedUnseenByTheDriver)
{
    Camera.Script = ThreeFrames();
    Camera.Script.push_back(Data(0, 0x80));
    IsochronousPump pump = MakePump();
    Record(pump);
    ASSERT_EQ(pump.QueueBuffer(Buffers[0], 32), STATUS_SUCCESS);
    pump.Start();
    pump.Run(8);
    ASSERT_EQ(Driver.RawFrames.size(), 1u);
    EXPECT_EQ(Driver.RawFrames[0].FrameId, 1u);
    EXPECT_EQ(pump.Statistics().framesCompleted, 2u);
    EXPECT_EQ(pump.Statistics().framesDelivered, 1u);
    EXPECT_EQ(pump.Statistics().framesDropped, 1u);

    // A buffer queued now gets the next frame; the dropped one leaves a gap.
    ASSERT_EQ(pump.QueueBuffer(Buffers[1], 32), STATUS_SUCCESS);
    pump.Run(1);
    ASSERT_EQ(Driver.RawFrames.size(), 2u);
    EXPECT_EQ(Driver.RawFrames[1].FrameId, 3u);
    const std::vector<UCHAR> bytes = {0x00, 0x60, 0x61, 0x62, 0x01, 0x70, 0x71, 0x72};
    EXPECT_EQ(Driver.RawFrames[1].Bytes, bytes);
    ASSERT_EQ(Completed.size(), 2u);
    EXPECT_EQ(Completed[0].FrameNumber, 0u);
    EXPECT_EQ(Completed[1].FrameNumber, 2u);
    EXPECT_EQ(Completed[1].Buffer, Buffers[1]);
    EXPECT_EQ(pump.Statistics().framesCompleted, 3u);
    EXPECT_EQ(pump.Statistics().framesDropped, 1u);
}

TEST_F(IsochronousPumpTest, AFrameThatOutgrowsTheRawFrameIsDroppedToItsEnd)
{
    // Room for two packets and a half: the third packet of the first frame
    // does not fit. Its rest (3D) is thrown away; 0E starts a clean frame.
    Camera.Script = {Data(0, 0x10), Data(1, 0x20), Data(2, 0x30), Data(3, 0x40),
                     Data(0, 0x50), Data(1, 0x60), Data(0, 0x70)};
    IsochronousPump pump = MakePump(10);
    Record(pump);
    ASSERT_EQ(pump.QueueBuffer(Buffers[0], 32), STATUS_SUCCESS);
    ASSERT_EQ(pump.QueueBuffer(Buffers[1], 32), STATUS_SUCCESS);
    pump.Start();

    struct Step {
        ULONG rawLength;       // of the frame being assembled, after the packet
        uint64_t overflowed;   // framesOverflowed after the packet
        size_t frameCallbacks; // CamProcessRawVideoFrameEx calls so far
    };
    const Step steps[] = {
        {4, 0, 0}, // 0A
        {8, 0, 0}, // 1B
        {8, 1, 0}, // 2C: would make 12 bytes; the frame is dropped
        {8, 1, 0}, // 3D: discarded
        {4, 1, 0}, // 0E: ends the dropped frame without handing it over
        {8, 1, 0}, // 1F
        {4, 1, 1}, // 0G: ends the clean frame
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        SCOPED_TRACE(i);
        pump.Run(1);
        EXPECT_EQ(pump.CurrentRawLength(), steps[i].rawLength);
        EXPECT_EQ(pump.Statistics().framesOverflowed, steps[i].overflowed);
        EXPECT_EQ(Driver.RawFrames.size(), steps[i].frameCallbacks);
    }
    // The driver still saw every packet.
    EXPECT_EQ(Driver.Packets.size(), 7u);
    ASSERT_EQ(Driver.RawFrames.size(), 1u);
    const std::vector<UCHAR> bytes = {0x00, 0x50, 0x51, 0x52, 0x01, 0x60, 0x61, 0x62};
    EXPECT_EQ(Driver.RawFrames[0].Bytes, bytes);
    EXPECT_EQ(Driver.RawFrames[0].NumberOfPackets, 2u);
    EXPECT_EQ(Driver.RawFrames[0].FrameId, 2u);
    EXPECT_EQ(Driver.RawFrames[0].RawFrameLength, 10u);
    ASSERT_EQ(Completed.size(), 1u);
    EXPECT_EQ(Completed[0].Buffer, Buffers[0]);
    EXPECT_EQ(Completed[0].FrameNumber, 1u);

    const IsochronousPumpStatistics& s = pump.Statistics();
    EXPECT_EQ(s.framesCompleted, 1u);
    EXPECT_EQ(s.framesDelivered, 1u);
    EXPECT_EQ(s.framesDropped, 0u);
    EXPECT_EQ(s.packetsWithData, 5u); // 0A 1B 0E 1F 0G
    EXPECT_EQ(s.bytesAppended, 20u);
}

TEST_F(IsochronousPumpTest, AFrameThatExactlyFillsTheRawFrameIsDelivered)
{
    Camera.Script = {Data(0, 0x10), Data(1, 0x20), Data(0, 0x30)};
    IsochronousPump pump = MakePump(8);
    ASSERT_EQ(pump.QueueBuffer(Buffers[0], 32), STATUS_SUCCESS);
    pump.Start();
    pump.Run(3);
    ASSERT_EQ(Driver.RawFrames.size(), 1u);
    EXPECT_EQ(Driver.RawFrames[0].ActualRawFrameLength, 8u);
    EXPECT_EQ(Driver.RawFrames[0].NumberOfPackets, 2u);
    EXPECT_EQ(pump.Statistics().framesOverflowed, 0u);
}

TEST_F(IsochronousPumpTest, AFrameWithoutPacketsIsNotHandedOver)
{
    // This driver raises frame-complete at the very first start of frame,
    // when nothing has been kept yet.
    Driver.SeenStart = true;
    Camera.Script = {Idle(), Data(0, 0x10), Data(1, 0x20), Data(0, 0x30)};
    IsochronousPump pump = MakePump();
    Record(pump);
    ASSERT_EQ(pump.QueueBuffer(Buffers[0], 32), STATUS_SUCCESS);
    pump.Start();
    pump.Run(2);
    EXPECT_TRUE(Driver.RawFrames.empty());
    EXPECT_EQ(pump.QueuedBuffers(), 1u);
    EXPECT_EQ(pump.Statistics().framesEmpty, 1u);
    EXPECT_EQ(pump.Statistics().framesCompleted, 0u);
    EXPECT_EQ(Driver.NewFrames.size(), 2u);

    pump.Run(2);
    ASSERT_EQ(Driver.RawFrames.size(), 1u);
    const std::vector<UCHAR> bytes = {0x00, 0x10, 0x11, 0x12, 0x01, 0x20, 0x21, 0x22};
    EXPECT_EQ(Driver.RawFrames[0].Bytes, bytes);
    ASSERT_EQ(Completed.size(), 1u);
    EXPECT_EQ(Completed[0].FrameNumber, 1u);
}

TEST_F(IsochronousPumpTest, ThePacketCallbackGetsTheDevicesPacketAsIs)
{
    ScriptedCamera::Packet failed = Data(1, 0x20);
    failed.Status = UsbError;
    ScriptedCamera::Packet shortPacket = Data(2, 0x30);
    shortPacket.Bytes.resize(2);
    Camera.Script = {Data(0, 0x10), failed, shortPacket, ScriptedCamera::Packet{}};
    IsochronousPump pump = MakePump();
    Driver.Keep = 0;
    pump.Start();
    pump.Run(5);

    struct Expected {
        ULONG length;
        USBD_STATUS status;
        UCHAR firstByte; // 0 for an empty packet
    };
    const Expected expected[] = {
        {P, 0, 0x00}, {P, UsbError, 0x01}, {2, 0, 0x02},
        {0, 0, 0},    {0, 0, 0}, // after the script: the device sends nothing
    };
    ASSERT_EQ(Driver.Packets.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const FakeDriver::PacketCall& call = Driver.Packets[i];
        EXPECT_EQ(call.Descriptor.Offset, 0u);
        EXPECT_EQ(call.Descriptor.Length, expected[i].length);
        EXPECT_EQ(call.Descriptor.Status, expected[i].status);
        EXPECT_EQ(call.FirstByte, expected[i].firstByte);
        EXPECT_EQ(call.DataBuffer, pump.PacketBuffer());
        EXPECT_TRUE(call.SyncPacketNull);
        EXPECT_TRUE(call.SyncBufferNull);
        EXPECT_EQ(call.FrameCompleteOnEntry, FALSE);
        EXPECT_NE(call.Bus, nullptr);
        EXPECT_EQ(call.Bus, Driver.Packets[0].Bus);
    }
    EXPECT_EQ(pump.Statistics().packets, 5u);
    EXPECT_EQ(pump.Statistics().packetsWithData, 0u);
}

TEST_F(IsochronousPumpTest, KeptBytesAreCountedFromThePacketsFirstByteAndNeverExceedIt)
{
    struct Case {
        const char* what;
        std::vector<UCHAR> packet;
        ULONG kept;     // what the driver answers
        ULONG appended; // bytes that go into the raw frame
        uint64_t driverErrors;
    };
    const Case cases[] = {
        {"whole packet", {0x01, 0x20, 0x21, 0x22}, 4, 4, 0},
        {"first bytes only", {0x01, 0x20, 0x21, 0x22}, 2, 2, 0},
        {"nothing", {0x01, 0x20, 0x21, 0x22}, 0, 0, 0},
        {"one byte too many", {0x01, 0x20, 0x21, 0x22}, 5, 4, 1},
        {"far too many", {0x01, 0x20, 0x21, 0x22}, 0xFFFFFFFF, 4, 1},
        {"bytes of an empty packet", {}, 3, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeDriver driver;
        driver.Keep = c.kept;
        ScriptedCamera camera;
        camera.Script = {ScriptedCamera::Packet{c.packet, 0, std::nullopt}};
        IsochronousPump pump(FakeCallbacks(), &driver, camera, P, ClientLength, RawCapacity,
                             ContextSize);
        pump.Start();
        pump.Run(1);
        EXPECT_EQ(pump.CurrentRawLength(), c.appended);
        EXPECT_EQ(pump.CurrentPacketCount(), c.appended > 0 ? 1u : 0u);
        EXPECT_EQ(pump.Statistics().bytesAppended, c.appended);
        EXPECT_EQ(pump.Statistics().driverErrors, c.driverErrors);
        if (c.appended != 0) {
            EXPECT_EQ(std::memcmp(pump.RawFrame(), c.packet.data(), c.appended), 0);
        }
    }
}

TEST_F(IsochronousPumpTest, ThePacketBufferHoldsAFullSpeedPacketOrTheSettingsSize)
{
    struct Case {
        ULONG packetSize;
        ULONG capacity;
    };
    const Case cases[] = {
        {4, 1024},
        {1023, 1024},
        {1024, 1024},
        {2000, 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.packetSize);
        ScriptedCamera camera;
        FakeDriver driver;
        IsochronousPump pump(FakeCallbacks(), &driver, camera, c.packetSize, ClientLength,
                             RawCapacity, ContextSize);
        EXPECT_EQ(pump.PacketBufferCapacity(), c.capacity);
        pump.Run(1);
        ASSERT_EQ(camera.Capacities.size(), 1u);
        EXPECT_EQ(camera.Capacities[0], c.capacity);
    }

    // A device that claims more than the buffer took: only what arrived counts.
    ScriptedCamera::Packet babble = Data(0, 0x10);
    babble.ReportedLength = 1500;
    Camera.Script = {babble};
    IsochronousPump pump = MakePump();
    pump.Run(1);
    ASSERT_EQ(Driver.Packets.size(), 1u);
    EXPECT_EQ(Driver.Packets[0].Descriptor.Length, 1024u);
}

TEST_F(IsochronousPumpTest, TheClockAdvancesOneMillisecondPerPacket)
{
    Camera.Script = ThreeFrames();
    IsochronousPump pump = MakePump();
    ASSERT_EQ(pump.QueueBuffer(Buffers[0], 32), STATUS_SUCCESS);
    pump.Start();
    EXPECT_EQ(Now100ns(), 0u);
    pump.Run(3);
    EXPECT_EQ(Now100ns(), 30000u);
    pump.Run(7); // past the script: empty packets keep the bus time running
    EXPECT_EQ(Now100ns(), 100000u);
    const uint64_t at[] = {0, 10000, 20000, 30000, 40000, 50000, 60000, 70000, 80000, 90000};
    ASSERT_EQ(Driver.Packets.size(), std::size(at));
    for (size_t i = 0; i < std::size(at); ++i) {
        EXPECT_EQ(Driver.Packets[i].Now, at[i]) << "packet " << i;
    }
}

TEST_F(IsochronousPumpTest, OnlyTheFrameCallbackMayWait)
{
    Driver.DelayInPacket = true;
    Driver.DelayInFrame = true;
    Camera.Script = ThreeFrames();
    IsochronousPump pump = MakePump();
    for (auto& buffer : Buffers) {
        ASSERT_EQ(pump.QueueBuffer(buffer, sizeof buffer), STATUS_SUCCESS);
    }
    pump.Start();
    pump.Run(8);

    ASSERT_EQ(Driver.Packets.size(), 8u);
    for (const FakeDriver::PacketCall& call : Driver.Packets) {
        EXPECT_FALSE(call.WaitingAllowed);
        EXPECT_EQ(call.DelayStatus, STATUS_UNSUCCESSFUL);
    }
    ASSERT_EQ(Driver.RawFrames.size(), 2u);
    for (const FakeDriver::RawFrameCall& call : Driver.RawFrames) {
        EXPECT_TRUE(call.WaitingAllowed);
        EXPECT_EQ(call.DelayStatus, STATUS_SUCCESS);
    }
    // One violation per packet; the frame callbacks' waits moved the clock.
    EXPECT_EQ(WaitViolations(), 8u);
    EXPECT_EQ(Now100ns(), 8u * 10000 + 2u * 10000);
    EXPECT_TRUE(WaitingAllowed());
}

TEST_F(IsochronousPumpTest, AssemblyAllocatesNothingPerFrame)
{
    Camera.Script = ThreeFrames();
    for (int i = 0; i < 3; ++i) {
        const auto more = ThreeFrames();
        Camera.Script.insert(Camera.Script.end(), more.begin(), more.end());
    }
    IsochronousPump pump = MakePump();
    pump.SetCompletion([&](const CompletedBuffer& done) {
        Completed.push_back(done);
        ASSERT_EQ(pump.QueueBuffer(done.Buffer, done.Length), STATUS_SUCCESS);
    });
    ASSERT_EQ(pump.QueueBuffer(Buffers[0], 32), STATUS_SUCCESS);
    const UCHAR* raw = pump.RawFrame();
    const UCHAR* packet = pump.PacketBuffer();
    const void* context = pump.FrameContext();
    pump.Start();
    pump.Run(ULONG(Camera.Script.size()));

    // Twelve starts of frame, the first of which ends nothing.
    ASSERT_EQ(Driver.RawFrames.size(), 11u);
    EXPECT_EQ(pump.RawFrame(), raw);
    EXPECT_EQ(pump.PacketBuffer(), packet);
    EXPECT_EQ(pump.FrameContext(), context);
    for (const FakeDriver::PacketCall& call : Driver.Packets) {
        EXPECT_EQ(call.DataBuffer, packet);
        EXPECT_EQ(call.FrameContext, context);
    }
    for (const FakeDriver::NewFrameCall& call : Driver.NewFrames) {
        EXPECT_EQ(call.FrameContext, context);
    }
    for (const FakeDriver::RawFrameCall& call : Driver.RawFrames) {
        EXPECT_EQ(call.RawFrameBuffer, raw);
        EXPECT_EQ(call.FrameContext, context);
        EXPECT_EQ(call.FrameBuffer, Buffers[0]);
        EXPECT_EQ(call.Bus, Driver.Packets[0].Bus);
    }
}

TEST_F(IsochronousPumpTest, TheDriversReportDecidesTheBytesDelivered)
{
    struct Case {
        const char* what;
        NTSTATUS status;
        ULONG reported;
        ULONG delivered;
        uint64_t driverErrors;
    };
    const Case cases[] = {
        {"whole picture", STATUS_SUCCESS, ClientLength, ClientLength, 0},
        {"failed decode", STATUS_SUCCESS, 0, 0, 0},
        {"part", STATUS_SUCCESS, 5, 5, 0},
        {"more than asked for", STATUS_SUCCESS, ClientLength + 1, ClientLength, 1},
        {"failed call", STATUS_UNSUCCESSFUL, ClientLength, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeDriver driver;
        driver.Report = c.reported;
        driver.FrameStatus = c.status;
        ScriptedCamera camera;
        camera.Script = {Data(0, 0x10), Data(0, 0x20)};
        IsochronousPump pump(FakeCallbacks(), &driver, camera, P, ClientLength, RawCapacity,
                             ContextSize);
        std::vector<CompletedBuffer> completed;
        pump.SetCompletion([&](const CompletedBuffer& done) { completed.push_back(done); });
        ASSERT_EQ(pump.QueueBuffer(Buffers[0], 32), STATUS_SUCCESS);
        pump.Run(2);
        ASSERT_EQ(completed.size(), 1u);
        EXPECT_EQ(completed[0].Status, c.status);
        EXPECT_EQ(completed[0].BytesReturned, c.delivered);
        EXPECT_EQ(pump.Statistics().driverErrors, c.driverErrors);
        EXPECT_EQ(pump.Statistics().framesDelivered, 1u);
    }
}

TEST_F(IsochronousPumpTest, ClientBuffersMustHoldThePicture)
{
    IsochronousPump pump = MakePump();
    EXPECT_EQ(pump.QueueBuffer(nullptr, 32), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pump.QueueBuffer(Buffers[0], ClientLength - 1), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(pump.QueuedBuffers(), 0u);
    EXPECT_EQ(pump.QueueBuffer(Buffers[0], ClientLength), STATUS_SUCCESS);
    EXPECT_EQ(pump.QueuedBuffers(), 1u);
}

} // namespace
