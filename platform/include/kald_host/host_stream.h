// The host USB camera library's isochronous side: reads a device's video
// packets one bus millisecond at a time on the virtual clock, calls the
// driver's packet callback for each, assembles the raw frames from what the
// driver keeps and hands complete frames, with a client buffer, to the
// driver's frame callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "host_usb.h"
#include "usbcamd.h"

namespace kald::host {

struct IsochronousPumpStatistics {
    uint64_t packets = 0;          // packets read from the device
    uint64_t packetsWithData = 0;  // packets that added bytes to a raw frame
    uint64_t framesCompleted = 0;  // frames with data that the driver ended
    uint64_t framesDelivered = 0;  // of those, handed to the frame callback
    uint64_t framesDropped = 0;    // of those, dropped: no client buffer queued
    uint64_t framesEmpty = 0;      // ended with no packet kept; not handed over
    uint64_t framesOverflowed = 0; // outgrew the raw frame; dropped
    uint64_t bytesAppended = 0;    // bytes put into raw frames
    // Answers outside the contract: more bytes kept than the packet has, or
    // more picture bytes reported than the frame callback was asked for.
    uint64_t driverErrors = 0;
};

// A client buffer given back: the frame callback's status, the picture bytes
// it reported (0 when it failed) and the number of the frame it was filled
// from. Frames are numbered from 0 in the order they begin, so frames that
// were dropped, empty or overflowed leave gaps.
struct CompletedBuffer {
    PUCHAR Buffer;
    ULONG Length; // as queued
    ULONG BytesReturned;
    NTSTATUS Status;
    ULONG FrameNumber;
};
using BufferCompletion = std::function<void(const CompletedBuffer&)>;

// One open video stream of one device. The raw frame, the packet buffer and
// the frame context are allocated here, once; assembly allocates nothing.
// Not safe for calls from several threads at once.
class IsochronousPump {
  public:
    // Only CamProcessUSBPacketEx, CamNewVideoFrameEx and
    // CamProcessRawVideoFrameEx of `callbacks` are used; all three must be
    // set. `packetSize` is the selected setting's MaximumPacketSize,
    // `clientFrameLength` the picture size of the open format (what the frame
    // callback is asked to write), `rawFrameCapacity` the raw frame length
    // the driver asked for at bandwidth allocation and `frameContextSize`
    // the size of the driver's per-frame record.
    IsochronousPump(const USBCAMD_DEVICE_DATA2& callbacks, PVOID deviceContext, UsbDevice& device,
                    ULONG packetSize, ULONG clientFrameLength, ULONG rawFrameCapacity,
                    ULONG frameContextSize);
    IsochronousPump(const IsochronousPump&) = delete;
    IsochronousPump& operator=(const IsochronousPump&) = delete;

    // Begins assembly with a fresh frame: the frame context is zeroed and
    // prepared by CamNewVideoFrameEx. A frame being assembled is thrown
    // away uncounted. Run() starts by itself when Start() was not called.
    void Start();

    // Runs `milliseconds` bus milliseconds: one packet each, and the virtual
    // clock one millisecond further after each.
    void Run(ULONG milliseconds);

    // Runs one bus millisecond, one packet, without moving the virtual
    // clock: for a bus that runs several pumps in lock step and moves the
    // clock once per millisecond itself. Starts like Run().
    void RunMillisecond();

    // Queues a client buffer for the next complete frame, like a read
    // request. Returns STATUS_SUCCESS; STATUS_INVALID_PARAMETER without a
    // buffer; STATUS_BUFFER_TOO_SMALL when it cannot hold the client frame
    // length.
    NTSTATUS QueueBuffer(PUCHAR buffer, ULONG length);
    size_t QueuedBuffers() const { return Buffers.size(); }
    // Called for every buffer the frame callback filled, on the thread that
    // runs the pump.
    void SetCompletion(BufferCompletion completion) { Completion = std::move(completion); }

    const IsochronousPumpStatistics& Statistics() const { return Stats; }

    // The device object the callbacks receive as the bus's: the library's
    // for the device, so that every callback sees the same one. The pump's
    // own until set.
    void SetBusDeviceObject(PDEVICE_OBJECT busDeviceObject)
    {
        BusObject = busDeviceObject != nullptr ? busDeviceObject : &BusDeviceObject;
    }

    // The buffers assembly works in, for tests.
    const UCHAR* RawFrame() const { return RawFrameBuffer.data(); }
    const UCHAR* PacketBuffer() const { return PacketBytes.data(); }
    const void* FrameContext() const { return FrameContextBytes.data(); }
    ULONG PacketBufferCapacity() const { return ULONG(PacketBytes.size()); }
    // The frame being assembled: its bytes and packets so far.
    ULONG CurrentRawLength() const { return RawLength; }
    ULONG CurrentPacketCount() const { return PacketCount; }

  private:
    struct QueuedBuffer {
        PUCHAR Buffer;
        ULONG Length;
    };

    void PrepareFrame();
    void EndFrame();
    void DeliverFrame();
    void ProcessPacket();

    USBCAMD_DEVICE_DATA2 Callbacks;
    PVOID DeviceContext;
    UsbDevice& Device;
    DEVICE_OBJECT BusDeviceObject{};
    PDEVICE_OBJECT BusObject = &BusDeviceObject;
    ULONG ClientFrameLength;

    std::vector<UCHAR> RawFrameBuffer;
    std::vector<UCHAR> PacketBytes;
    std::vector<UCHAR> FrameContextBytes;

    bool Started = false;
    bool Discarding = false; // the frame outgrew the raw frame; waiting for its end
    ULONG RawLength = 0;     // bytes of the frame being assembled
    ULONG PacketCount = 0;   // packets that added to it
    ULONG FrameNumber = 0;   // of the frame being assembled
    ULONG NextFrameNumber = 0;

    std::deque<QueuedBuffer> Buffers;
    BufferCompletion Completion;
    IsochronousPumpStatistics Stats;
};

} // namespace kald::host
