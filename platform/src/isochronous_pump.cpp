// Frame assembly from a device's isochronous packets, one packet per bus
// millisecond of the virtual clock.
//
// Where the driver's callbacks run: the packet callback and the preparation
// of a new frame run in the packet path, where waiting is not allowed, so
// both are called inside a NoWaitScope and a blocking call made there is
// recorded as a violation. The frame callback issues control transfers and
// runs where it may wait.
//
// What ends a frame:
// - The driver raises frame-complete: the frame assembled so far is complete
//   and the packet that raised the flag is the first of the next frame.
// - The frame outgrows the raw frame: the library cannot mark the driver's
//   frame context damaged, and handing the driver a truncated frame it takes
//   for whole would show a broken picture, so the frame is dropped
//   (framesOverflowed). The rest of its packets still go to the packet
//   callback (the driver's packet clock and counters keep running) with the
//   same frame context, but their bytes are thrown away; assembly resumes
//   with a fresh frame at the next frame-complete, so no frame begins in the
//   middle of the camera's frame.
//
// A frame that ends without any packet kept (a driver may raise
// frame-complete at the first start of frame of a stream, before it kept
// anything) has no picture in it and is not handed over: it would use up a
// client buffer on a frame the driver can only fail to decode. It is counted
// as framesEmpty.
#include <algorithm>
#include <cstring>

#include "kald_host/host_kernel.h"
#include "kald_host/host_stream.h"

namespace kald::host {
namespace {

// One bus millisecond in 100-ns units.
constexpr uint64_t MillisecondUnits = 10000;

// The packet buffer holds the largest full-speed isochronous packet, or the
// setting's packet size if a device claims a larger one.
constexpr ULONG MinimumPacketBuffer = 1024;

// The one stream of the camera.
constexpr ULONG VideoStream = 0;

} // namespace

IsochronousPump::IsochronousPump(const USBCAMD_DEVICE_DATA2& callbacks, PVOID deviceContext,
                                 UsbDevice& device, ULONG packetSize, ULONG clientFrameLength,
                                 ULONG rawFrameCapacity, ULONG frameContextSize)
    : Callbacks(callbacks), DeviceContext(deviceContext), Device(device),
      ClientFrameLength(clientFrameLength), RawFrameBuffer(rawFrameCapacity),
      PacketBytes(std::max(packetSize, MinimumPacketBuffer)),
      // A driver with no frame record still gets a pointer it may pass on.
      FrameContextBytes(std::max<ULONG>(frameContextSize, 1))
{
}

void IsochronousPump::Start()
{
    Discarding = false;
    PrepareFrame();
    Started = true;
}

void IsochronousPump::Run(ULONG milliseconds)
{
    if (!Started) {
        Start();
    }
    for (ULONG ms = 0; ms < milliseconds; ++ms) {
        ProcessPacket();
        AdvanceClock(MillisecondUnits);
    }
}

void IsochronousPump::RunMillisecond()
{
    if (!Started) {
        Start();
    }
    ProcessPacket();
}

NTSTATUS IsochronousPump::QueueBuffer(PUCHAR buffer, ULONG length)
{
    if (buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (length < ClientFrameLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    Buffers.push_back(QueuedBuffer{buffer, length});
    return STATUS_SUCCESS;
}

// Zeroes the frame context and lets the driver prepare it. The driver may
// change the frame length it is offered; the library keeps filling client
// buffers with the open format's size.
void IsochronousPump::PrepareFrame()
{
    std::fill(FrameContextBytes.begin(), FrameContextBytes.end(), UCHAR(0));
    RawLength = 0;
    PacketCount = 0;
    FrameNumber = NextFrameNumber++;
    ULONG frameLength = ClientFrameLength;
    NoWaitScope noWait;
    Callbacks.CamNewVideoFrameEx(DeviceContext, FrameContextBytes.data(), VideoStream,
                                 &frameLength);
}

// The driver ended the frame being assembled.
void IsochronousPump::EndFrame()
{
    if (Discarding) {
        // Already counted when it overflowed.
        Discarding = false;
        return;
    }
    if (PacketCount == 0) {
        ++Stats.framesEmpty;
        return;
    }
    ++Stats.framesCompleted;
    if (Buffers.empty()) {
        ++Stats.framesDropped;
        return;
    }
    DeliverFrame();
}

// Hands the complete frame and the oldest client buffer to the frame
// callback. A failed call delivers no bytes; a report of more bytes than the
// callback was asked for is cut to that length.
void IsochronousPump::DeliverFrame()
{
    const QueuedBuffer client = Buffers.front();
    Buffers.pop_front();
    ULONG bytesReturned = 0;
    const NTSTATUS status = Callbacks.CamProcessRawVideoFrameEx(
        BusObject, DeviceContext, FrameContextBytes.data(), client.Buffer, ClientFrameLength,
        RawFrameBuffer.data(), ULONG(RawFrameBuffer.size()), PacketCount, &bytesReturned, RawLength,
        VideoStream);
    ++Stats.framesDelivered;
    if (!NT_SUCCESS(status)) {
        bytesReturned = 0;
    } else if (bytesReturned > ClientFrameLength) {
        ++Stats.driverErrors;
        bytesReturned = ClientFrameLength;
    }
    if (Completion) {
        Completion(
            CompletedBuffer{client.Buffer, client.Length, bytesReturned, status, FrameNumber});
    }
}

// One bus millisecond: the device's packet through the packet callback into
// the raw frame.
void IsochronousPump::ProcessPacket()
{
    const ULONG capacity = ULONG(PacketBytes.size());
    const UsbDevice::IsochronousPacket packet =
        Device.NextIsochronousPacket(PacketBytes.data(), capacity);
    ++Stats.packets;
    // Only the bytes that reached the buffer exist.
    const ULONG length = std::min(packet.Length, capacity);
    USBD_ISO_PACKET_DESCRIPTOR descriptor{0, length, packet.Status};

    BOOLEAN frameComplete = FALSE;
    ULONG packetFlag = 0;
    ULONG validDataOffset = 0;
    ULONG kept = 0;
    {
        NoWaitScope noWait;
        kept = Callbacks.CamProcessUSBPacketEx(
            BusObject, DeviceContext, FrameContextBytes.data(), nullptr, nullptr,
            &descriptor, PacketBytes.data(), &frameComplete, &packetFlag, &validDataOffset);
    }
    if (frameComplete) {
        EndFrame();
        PrepareFrame();
    }

    // The kept bytes count from the packet's first byte.
    if (kept > length) {
        ++Stats.driverErrors;
        kept = length;
    }
    if (kept == 0 || Discarding) {
        return;
    }
    if (kept > RawFrameBuffer.size() - RawLength) {
        ++Stats.framesOverflowed;
        Discarding = true;
        return;
    }
    std::memcpy(RawFrameBuffer.data() + RawLength, PacketBytes.data(), kept);
    RawLength += kept;
    ++PacketCount;
    ++Stats.packetsWithData;
    Stats.bytesAppended += kept;
}

} // namespace kald::host
