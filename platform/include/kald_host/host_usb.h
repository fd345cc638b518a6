// The host USB camera library's view of a camera: the device a driver's
// device context is bound to. The simulated camera implements UsbDevice;
// USBCAMD_ControlVendorCommand and USBCAMD_SelectAlternateInterface reach it
// through the binding.
#pragma once

#include "usb.h"

namespace kald::host {

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // One vendor control transfer; returns the transfer's status. A read
    // fills Buffer with up to *Length bytes and sets *Length to the count.
    virtual NTSTATUS VendorControl(UCHAR request, USHORT value, USHORT index, void* buffer,
                                   ULONG* length, bool getData) = 0;

    // Selects an alternate setting of the video interface; on success sets
    // *maxPacketSize to its isochronous packet size (0 for setting 0).
    virtual NTSTATUS SelectAlternateSetting(UCHAR interfaceNumber, UCHAR alternateSetting,
                                            USHORT* maxPacketSize) = 0;

    // The isochronous packet size of an alternate setting, without selecting
    // it: true with *maxPacketSize set when the device knows the setting,
    // false when it does not say (the default). The host bus asks before a
    // selection, so that it can refuse a setting its bandwidth cannot carry
    // without disturbing the one selected.
    virtual bool AlternateSettingPacketSize(UCHAR interfaceNumber, UCHAR alternateSetting,
                                            USHORT* maxPacketSize) const
    {
        (void)interfaceNumber;
        (void)alternateSetting;
        (void)maxPacketSize;
        return false;
    }

    // The isochronous packet of the current bus millisecond on the video
    // pipe: copies up to `capacity` bytes into `buffer` and returns the
    // packet's length and bus status. Called once per millisecond of bus
    // time while the pipe is open; a device without video sends nothing.
    struct IsochronousPacket {
        ULONG Length;
        USBD_STATUS Status;
    };
    virtual IsochronousPacket NextIsochronousPacket(PUCHAR buffer, ULONG capacity)
    {
        (void)buffer;
        (void)capacity;
        return IsochronousPacket{0, 0};
    }
};

// Routes the library calls made with `deviceContext` to `device` (null
// unbinds). A call on an unbound context fails with STATUS_DEVICE_NOT_CONNECTED.
void BindDevice(void* deviceContext, UsbDevice* device);
UsbDevice* BoundDevice(void* deviceContext);

} // namespace kald::host
