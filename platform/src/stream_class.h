// What the host stream class, the USB camera library and HostDevice share:
// the registrations made at driver entry, the book of requests in flight that
// checks each is completed exactly once, the per-device record behind
// HwDeviceExtension, and the bus port a device context is bound to.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "kald_host/host_device.h"
#include "kald_host/host_stream.h"
#include "kald_host/host_usb.h"
#include "kald_host/strmini.h"
#include "kald_host/usbcamd.h"

namespace kald::host::detail {

// --- Registrations (USBCAMD_DriverEntry) ---

// The largest device and frame records a minidriver may ask for: far above
// any camera's, and small enough that every device and stream can have one.
constexpr ULONG MaxDeviceContextSize = 16u << 20;
constexpr ULONG MaxFrameContextSize = 1u << 20;

// What USBCAMD_DriverEntry recorded for `driverObject`; false when nothing.
bool FindRegistration(PVOID driverObject, MinidriverRegistration* registration);
void ForgetRegistration(PVOID driverObject);

// --- The request book ---

enum class RequestKind { Device, Stream };

// Starts tracking `srb` as sent. `onComplete` runs, outside the book's lock,
// when the request is first completed.
void TrackRequest(PHW_STREAM_REQUEST_BLOCK srb, RequestKind kind,
                  std::function<void()> onComplete = {});
bool RequestCompleted(PHW_STREAM_REQUEST_BLOCK srb);
// Stops tracking `srb` and returns whether it was completed; one that was
// not is counted as never completed.
bool ReleaseRequest(PHW_STREAM_REQUEST_BLOCK srb);
// Records a completion; the two notifications call this.
void NoteCompletion(PHW_STREAM_REQUEST_BLOCK srb, RequestKind kind);
void CountHandedOnAfterCompletion();

// --- Devices ---

// The bus side of a device: bound to the minidriver's device context in
// place of the camera, it passes transfers and packets through and holds the
// device's share of the bus bandwidth for the alternate setting selected.
class BusPort : public UsbDevice {
  public:
    BusPort(HostBus& bus, UsbDevice& device) : Bus(bus), Device(device) {}

    NTSTATUS VendorControl(UCHAR request, USHORT value, USHORT index, void* buffer, ULONG* length,
                           bool getData) override;
    NTSTATUS SelectAlternateSetting(UCHAR interfaceNumber, UCHAR alternateSetting,
                                    USHORT* maxPacketSize) override;
    bool AlternateSettingPacketSize(UCHAR interfaceNumber, UCHAR alternateSetting,
                                    USHORT* maxPacketSize) const override;
    IsochronousPacket NextIsochronousPacket(PUCHAR buffer, ULONG capacity) override;

    UCHAR Setting() const { return SelectedSetting; }
    USHORT PacketSize() const { return SelectedPacketSize; }
    ULONG Held() const { return HeldBytes; }
    // Gives the bus share back (the device has gone).
    void Release() { HeldBytes = 0; }

  private:
    ULONG Available() const;

    HostBus& Bus;
    UsbDevice& Device;
    UCHAR SelectedSetting = 0;
    USHORT SelectedPacketSize = 0;
    ULONG HeldBytes = 0;
};

// The host's per-device record: what HwDeviceExtension points at. The
// minidriver's device context lives in it.
struct DeviceExtension {
    DeviceExtension(HostBus& bus, UsbDevice& device, const MinidriverRegistration& registration,
                    const HostDeviceOptions& options);
    ~DeviceExtension();
    DeviceExtension(const DeviceExtension&) = delete;
    DeviceExtension& operator=(const DeviceExtension&) = delete;

    HostBus& Bus;
    BusPort Port;
    MinidriverRegistration Registration;
    HostDeviceOptions Options;
    // DeviceContextSize bytes, zeroed, 8-byte aligned; never from the pool.
    std::unique_ptr<uint64_t[]> ContextStorage;
    PVOID Context;
    DEVICE_OBJECT BusDeviceObject{};

    // The minidriver's callback table, as last handed over.
    USBCAMD_DEVICE_DATA2 Callbacks{};
    bool HaveCallbacks = false;
    bool Started = false; // initialised, not yet uninitialised

    // The stream description the minidriver gave (SRB_GET_STREAM_INFO).
    bool HaveStreamInfo = false;
    HW_STREAM_HEADER StreamHeader{};
    HW_STREAM_INFORMATION StreamInfo{};

    // The open stream.
    bool StreamOpen = false;
    PHW_STREAM_OBJECT StreamObject = nullptr;
    PSTREAM_RECEIVE_PACKET DataHook = nullptr;
    PSTREAM_RECEIVE_PACKET ControlHook = nullptr;
    std::vector<UCHAR> OpenFormat; // a KS_DATAFORMAT_VIDEOINFOHEADER
    KSSTATE State = KSSTATE_STOP;
    std::unique_ptr<IsochronousPump> Pump;             // while running
    std::deque<PHW_STREAM_REQUEST_BLOCK> WaitingReads; // queued while not running
    std::deque<PHW_STREAM_REQUEST_BLOCK> PumpReads;    // in the pump's queue, in its order
    // Frames of the open stream's earlier runs.
    uint64_t FramesDelivered = 0;
    uint64_t FramesDropped = 0;
};

// The live record `hwDeviceExtension` points at, or null.
DeviceExtension* FindExtension(PVOID hwDeviceExtension);

// The library's side of a stream request: the hook of `dataRequest`'s kind
// sees it first; when it hands the request on, the library processes it.
void DispatchStreamRequest(DeviceExtension& extension, PHW_STREAM_REQUEST_BLOCK srb,
                           bool dataRequest);
// Whether the library holds `srb` as a queued read.
bool HoldsRead(const DeviceExtension& extension, PHW_STREAM_REQUEST_BLOCK srb);
// Takes the device off the library for good without calling the minidriver:
// the pump goes, queued reads are cancelled, the camera is unbound and the
// bus share given back. For a device whose minidriver did not take it down.
void DetachDevice(DeviceExtension& extension);

} // namespace kald::host::detail
