// The host stream class and USB camera library as a capture application
// reaches them: a USB bus with its isochronous bandwidth and its clock, a
// loaded minidriver, and a device on the bus whose calls become the stream
// requests (SRBs) the platform would send. Every request is a real
// HW_STREAM_REQUEST_BLOCK with HwDeviceExtension set (and StreamObject for
// stream requests): device requests go to the request routine the
// minidriver registered; stream requests go to the minidriver's stream hook
// first and, when the hook hands them on, to the library. Each is checked to
// be completed exactly once (RequestViolationCounts).
//
// What the library expects of a minidriver:
// - its DriverEntry calls USBCAMD_DriverEntry with the driver object it was
//   given, its device and frame record sizes and its request routine;
// - its request routine completes each SRB itself
//   (StreamClassDeviceNotification) or hands it to
//   USBCAMD_AdapterReceivePacket with its USBCAMD_DEVICE_DATA2 table, and
//   the library calls it back through the table;
// - at SRB_OPEN_STREAM it may leave PSTREAM_RECEIVE_PACKET hooks in the
//   stream object's ReceiveDataPacket and ReceiveControlPacket fields.
//
// Nothing here allocates from the non-paged pool: the pool's accounting shows
// only what the minidriver allocated. Not safe for calls from several threads
// at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "host_stream.h"
#include "host_usb.h"
#include "strmini.h"
#include "usbcamd.h"
#include "wdm.h"

namespace kald::host {

namespace detail {
struct DeviceExtension;
class BusPort;
} // namespace detail

// Requests completed outside the stream class's contract, by the minidriver
// or by the library, since the last reset (all devices together).
struct RequestViolations {
    // The routine a request was sent to returned without completing it, and
    // the library does not hold it (a queued read is held).
    size_t neverCompleted = 0;
    // A completion of a request that was already completed.
    size_t completedTwice = 0;
    // A completion of a request the host did not send or no longer tracks.
    size_t unknownCompletions = 0;
    // A device request completed with StreamClassStreamNotification, or a
    // stream request with StreamClassDeviceNotification.
    size_t wrongNotification = 0;
    // A stream hook completed a request but left *Completed FALSE, handing
    // it on; the library does not process it again.
    size_t handedOnAfterCompletion = 0;

    size_t Total() const
    {
        return neverCompleted + completedTwice + unknownCompletions + wrongNotification +
               handedOnAfterCompletion;
    }
};
RequestViolations RequestViolationCounts();
void ResetRequestViolations();

// What USBCAMD_DriverEntry recorded for a driver object.
struct MinidriverRegistration {
    PADAPTER_RECEIVE_PACKET_ROUTINE ReceivePacket = nullptr;
    ULONG DeviceContextSize = 0;
    ULONG FrameContextSize = 0;
};

// One USB bus. Its isochronous bandwidth is a budget of bytes per bus
// millisecond shared by the devices on it: a device's selected alternate
// setting holds its packet size of the budget while it is selected; a
// selection the rest of the budget cannot hold fails with
// STATUS_INSUFFICIENT_RESOURCES and leaves the device's setting as it was;
// selecting setting 0 gives the share back. The bus also owns the bus clock
// (Run). It must outlive the devices on it.
class HostBus {
  public:
    // A full-speed frame's share for periodic transfers: 90% of 1,500 bytes.
    static constexpr ULONG DefaultBudget = 1350;

    explicit HostBus(ULONG budgetBytes = DefaultBudget);
    ~HostBus();
    HostBus(const HostBus&) = delete;
    HostBus& operator=(const HostBus&) = delete;

    ULONG Budget() const { return BudgetBytes; }
    // Bytes per millisecond the devices' selected settings hold.
    ULONG BandwidthInUse() const;

    // Runs `milliseconds` bus milliseconds. In each, every device on the bus
    // whose stream is running takes one isochronous packet through its pump
    // (devices in the order they were made), then the virtual clock moves one
    // millisecond, once, however many devices run. Reads are completed as
    // their frames are delivered.
    void Run(ULONG milliseconds);

  private:
    friend class HostDevice;
    friend class detail::BusPort;

    ULONG BudgetBytes;
    std::vector<detail::DeviceExtension*> Devices;
};

using DriverEntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// A loaded minidriver: the constructor calls its entry routine once with a
// driver object of its own and `registryPath` (the driver's service key) and
// keeps the status and what the routine registered with the library. The
// registration is forgotten when the HostDriver goes, which must be after
// its devices.
class HostDriver {
  public:
    static constexpr const wchar_t* DefaultRegistryPath =
        L"\\Registry\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Minidriver";

    explicit HostDriver(DriverEntryRoutine entry,
                        const std::wstring& registryPath = DefaultRegistryPath);
    ~HostDriver();
    HostDriver(const HostDriver&) = delete;
    HostDriver& operator=(const HostDriver&) = delete;

    // What the entry routine returned.
    NTSTATUS EntryStatus() const { return Status; }
    // The entry routine succeeded and registered a request routine.
    bool Loaded() const { return IsLoaded; }
    const MinidriverRegistration& Registration() const { return Registered; }
    PDRIVER_OBJECT Object() { return &DriverObject; }

  private:
    DRIVER_OBJECT DriverObject{};
    std::wstring PathText;
    UNICODE_STRING RegistryPath{};
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    bool IsLoaded = false;
    MinidriverRegistration Registered;
};

// How the device describes itself to the minidriver at SRB_INITIALIZE_DEVICE.
struct HostDeviceOptions {
    USHORT VendorId = 0x7A3C;
    USHORT ProductId = 0x0E41;
    USHORT DeviceRelease = 0x0100; // bcdDevice
    UCHAR InterfaceNumber = 0;     // the video interface
};

// A read given back: the buffer as queued, the bytes the frame filled
// (DataUsed) and the request's status.
struct ReadResult {
    PUCHAR Buffer;
    ULONG Length;
    ULONG BytesReturned;
    NTSTATUS Status;
};

// One camera on a bus, driven by a loaded minidriver. The methods are the
// requests a capture application's calls turn into; each returns the
// request's completion status. A request the device cannot take in its
// present state (no registered minidriver, not initialised, no open stream)
// is not sent and gives STATUS_INVALID_DEVICE_REQUEST; a request that was
// never completed gives STATUS_IO_TIMEOUT (it would never have come back).
// The destructor takes down whatever is still up: stop, close, uninitialise.
class HostDevice {
  public:
    // `bus`, `driver` and `device` must outlive this.
    HostDevice(HostBus& bus, HostDriver& driver, UsbDevice& device,
               const HostDeviceOptions& options = {});
    ~HostDevice();
    HostDevice(const HostDevice&) = delete;
    HostDevice& operator=(const HostDevice&) = delete;

    // SRB_INITIALIZE_DEVICE. On success the library has bound the device
    // context to the camera and run the configure and initialise callbacks.
    NTSTATUS Initialize();

    // SRB_GET_STREAM_INFO. Copies what the minidriver wrote (the header and
    // the first stream's information) into *descriptor. Its device property
    // sets are what DeviceProperty checks requests against.
    NTSTATUS GetStreamInfo(HW_STREAM_DESCRIPTOR* descriptor);

    // SRB_GET_DATA_INTERSECTION: the client's proposed data range
    // (`rangeSize` bytes, a KSDATARANGE whose FormatSize the buffer must
    // hold) and a buffer for the format; *bytesReturned is the byte count the
    // minidriver reported (the needed size for a size query).
    NTSTATUS DataIntersection(const void* range, ULONG rangeSize, void* format, ULONG formatSize,
                              ULONG* bytesReturned, ULONG streamNumber = 0);

    // SRB_OPEN_STREAM with the client's format (`size` bytes holding its
    // FormatSize). The minidriver sees a copy in the stream class's own
    // memory, zero-padded to at least a KS_DATAFORMAT_VIDEOINFOHEADER.
    // STATUS_INVALID_PARAMETER for a format that is not one (shorter than a
    // KSDATAFORMAT, or a FormatSize the buffer does not hold).
    NTSTATUS OpenStream(const void* format, ULONG size, ULONG streamNumber = 0);
    // SRB_CLOSE_STREAM; a running stream is stopped first and queued reads
    // are cancelled.
    NTSTATUS CloseStream();

    // SRB_PROPOSE_DATA_FORMAT and SRB_SET_DATA_FORMAT on the open stream;
    // the format as for OpenStream.
    NTSTATUS ProposeFormat(const void* format, ULONG size);
    NTSTATUS SetFormat(const void* format, ULONG size);
    // Stream request 14, the stream-rate query (SRB_GET_DATA_FORMAT in the
    // header's numbering).
    NTSTATUS GetStreamRate();

    // SRB_SET_STREAM_STATE / SRB_GET_STREAM_STATE. KSSTATE_RUN allocates
    // bandwidth and starts capture; leaving it stops capture, frees the
    // bandwidth and cancels the queued reads.
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS GetState(KSSTATE* state);

    // SRB_READ_DATA with one KSSTREAM_HEADER for `buffer`. Returns
    // STATUS_PENDING when the library queued it (it is filled by a frame
    // while the stream runs, and a read made while stopped waits for the
    // run), otherwise its completion status. Every completed read, whenever
    // it completes, is appended to CompletedReads in completion order.
    NTSTATUS Read(PUCHAR buffer, ULONG length);
    const std::vector<ReadResult>& CompletedReads() const { return Results; }
    std::vector<ReadResult> TakeCompletedReads();
    // Reads sent and not yet completed.
    size_t PendingReads() const;

    // SRB_GET_DEVICE_PROPERTY / SRB_SET_DEVICE_PROPERTY. `request` holds the
    // KSPROPERTY (and whatever the item takes after it), `data` the value;
    // they may be the same buffer. As the stream class does, the request is
    // checked against the minidriver's device property sets before it is
    // sent: STATUS_NOT_FOUND when its set or item is not in the table
    // (every request before GetStreamInfo), STATUS_BUFFER_TOO_SMALL when a
    // buffer is shorter than the item's MinProperty or MinData (or the
    // request shorter than a KSPROPERTY). PropertySetID is the set's index in
    // the table. *bytesReturned is ActualBytesTransferred.
    NTSTATUS DeviceProperty(bool isSet, void* request, ULONG requestLength, void* data,
                            ULONG dataLength, ULONG* bytesReturned);
    // The same request sent without any check, with the given set index:
    // for fuzzing and robustness tests of the minidriver's own checks.
    NTSTATUS RawDeviceProperty(bool isSet, ULONG propertySetId, void* request, ULONG requestLength,
                               void* data, ULONG dataLength, ULONG* bytesReturned);
    // SRB_GET_STREAM_PROPERTY / SRB_SET_STREAM_PROPERTY on the open stream,
    // to the control hook and then the library, which answers the
    // allocator framing and the dropped-frame counts. PropertySetID is the
    // set's index in the stream's own table, 0 when it has none.
    NTSTATUS StreamProperty(bool isSet, void* request, ULONG requestLength, void* data,
                            ULONG dataLength, ULONG* bytesReturned);

    // SRB_UNINITIALIZE_DEVICE: the library closes an open stream, calls the
    // uninitialise callback and unbinds the camera.
    NTSTATUS Uninitialize();

    // Any device request, for commands without a method of their own:
    // HwDeviceExtension and SizeOfThisPacket are filled in, the request is
    // sent to the minidriver's routine and checked for completion.
    NTSTATUS SendDeviceRequest(HW_STREAM_REQUEST_BLOCK& srb);

    // --- State, for tests ---
    // The minidriver's device record (DeviceContextSize bytes, zeroed when
    // the device was made, 8-byte aligned).
    PVOID DeviceContext() const;
    PVOID HwDeviceExtension() const;
    // Initialised by the library and not yet uninitialised.
    bool Started() const;
    bool StreamIsOpen() const;
    KSSTATE StreamState() const;
    // The alternate setting the minidriver last selected and its packet size.
    UCHAR AlternateSetting() const;
    USHORT PacketSize() const;
    // Bytes per millisecond of the bus budget the device holds.
    ULONG BandwidthHeld() const;
    // The running stream's pump, or null while it does not run.
    const IsochronousPump* Pump() const;
    // The stream object of the open stream, as the minidriver left it.
    const HW_STREAM_OBJECT& StreamObject() const { return Stream; }

  private:
    struct ReadRequest;

    bool CanSend() const;
    bool CanSendStream() const;
    NTSTATUS SendStreamRequest(HW_STREAM_REQUEST_BLOCK& srb, bool dataRequest);
    NTSTATUS SendFormatRequest(SRB_COMMAND command, const void* format, ULONG size);
    void PrepareStreamRequest(HW_STREAM_REQUEST_BLOCK& srb, SRB_COMMAND command);
    void ForgetDoneReads();

    HostBus& Bus;
    HostDriver& Driver;
    std::unique_ptr<detail::DeviceExtension> Extension;
    DEVICE_OBJECT ClassDeviceObject{};
    DEVICE_OBJECT PhysicalDeviceObject{};
    ULONG StreamDescriptorSize = 0;
    HW_STREAM_OBJECT Stream{};
    std::list<std::unique_ptr<ReadRequest>> Reads;
    std::vector<ReadResult> Results;
};

} // namespace kald::host
