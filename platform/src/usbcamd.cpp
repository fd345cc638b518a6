// The USB camera library's transfer calls on the host: each device context
// is bound to a UsbDevice (the simulated camera, or a test's fake) and the
// calls go straight to it on the calling thread.
#include <cstddef>
#include <mutex>
#include <unordered_map>

#include "calling_context.h"
#include "kald_host/host_kernel.h"
#include "kald_host/host_usb.h"
#include "kald_host/usbcamd.h"

namespace kald::host {
namespace {

// The camera's one data pipe: isochronous IN, endpoint 1.
constexpr UCHAR DataEndpointAddress = 0x81;

// What PipeHandle points at; the driver only carries the handle around.
UCHAR DataPipeToken;

class Bindings {
  public:
    void Bind(void* deviceContext, UsbDevice* device)
    {
        std::lock_guard<std::mutex> guard(Lock);
        if (device != nullptr) {
            Devices[deviceContext] = device;
        } else {
            Devices.erase(deviceContext);
        }
    }

    UsbDevice* Find(void* deviceContext)
    {
        std::lock_guard<std::mutex> guard(Lock);
        auto found = Devices.find(deviceContext);
        return found != Devices.end() ? found->second : nullptr;
    }

  private:
    std::mutex Lock;
    std::unordered_map<void*, UsbDevice*> Devices;
};

Bindings& TheBindings()
{
    static Bindings* bindings = new Bindings;
    return *bindings;
}

// Bytes of an interface description with `pipes` pipe entries.
size_t InterfaceInformationSize(ULONG pipes)
{
    return offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
           size_t(pipes) * sizeof(USBD_PIPE_INFORMATION);
}

} // namespace

// The binding only records the pointer: the caller keeps the device alive,
// and unbinds it, while no call for its context is in progress.
void BindDevice(void* deviceContext, UsbDevice* device)
{
    TheBindings().Bind(deviceContext, device);
}

UsbDevice* BoundDevice(void* deviceContext)
{
    return TheBindings().Find(deviceContext);
}

} // namespace kald::host

// The transfer runs synchronously on the calling thread: when the call
// returns it is finished, a read's data is in Buffer and *BufferLength holds
// the bytes moved. A NULL BufferLength is a transfer of no data. A
// completion routine, if given, is called with the transfer's status before
// the call returns.
// Returns the device's status; STATUS_DEVICE_NOT_CONNECTED when no device is
// bound to DeviceContext; STATUS_INVALID_PARAMETER for data without a
// buffer; STATUS_UNSUCCESSFUL, with a wait violation recorded, where the
// caller may not wait (a transfer blocks).
NTSTATUS USBCAMD_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value,
                                      USHORT Index, PVOID Buffer, PULONG BufferLength,
                                      BOOLEAN GetData, PCOMMAND_COMPLETE_FUNCTION CommandComplete,
                                      PVOID CommandContext)
{
    if (!kald::host::detail::MayWait()) {
        return STATUS_UNSUCCESSFUL;
    }
    kald::host::UsbDevice* device = kald::host::BoundDevice(DeviceContext);
    if (device == nullptr) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    const ULONG requested = BufferLength != nullptr ? *BufferLength : 0;
    if (Buffer == nullptr && requested != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG length = requested;
    const NTSTATUS status =
        device->VendorControl(Request, Value, Index, Buffer, &length, GetData != FALSE);
    if (BufferLength != nullptr) {
        // A device cannot move more than it was offered.
        *BufferLength = length < requested ? length : requested;
    }
    if (CommandComplete != nullptr) {
        CommandComplete(DeviceContext, CommandContext, status);
    }
    return status;
}

// Asks the bound device for the alternate setting written in
// RequestInterface. On success the first pipe, if the description has one,
// becomes the camera's isochronous data pipe with the setting's packet size;
// the other fields of the description are left as the caller wrote them.
// Returns the device's status; STATUS_DEVICE_NOT_CONNECTED when no device is
// bound; STATUS_INVALID_PARAMETER without a description or when its Length
// is too short for its pipes; STATUS_UNSUCCESSFUL, with a wait violation
// recorded, where the caller may not wait (the selection blocks).
NTSTATUS USBCAMD_SelectAlternateInterface(PVOID DeviceContext,
                                          PUSBD_INTERFACE_INFORMATION RequestInterface)
{
    if (!kald::host::detail::MayWait()) {
        return STATUS_UNSUCCESSFUL;
    }
    kald::host::UsbDevice* device = kald::host::BoundDevice(DeviceContext);
    if (device == nullptr) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    if (RequestInterface == nullptr ||
        RequestInterface->Length <
            kald::host::InterfaceInformationSize(RequestInterface->NumberOfPipes)) {
        return STATUS_INVALID_PARAMETER;
    }
    USHORT packetSize = 0;
    const NTSTATUS status = device->SelectAlternateSetting(
        RequestInterface->InterfaceNumber, RequestInterface->AlternateSetting, &packetSize);
    if (NT_SUCCESS(status) && RequestInterface->NumberOfPipes >= 1) {
        USBD_PIPE_INFORMATION& pipe = RequestInterface->Pipes[0];
        pipe.MaximumPacketSize = packetSize;
        pipe.EndpointAddress = kald::host::DataEndpointAddress;
        pipe.PipeType = UsbdPipeTypeIsochronous;
        pipe.PipeHandle = &kald::host::DataPipeToken;
    }
    return status;
}
