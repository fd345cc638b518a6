// Test and tool controls of the host Win32 layer (windows.h, setupapi.h):
// the device interfaces that SetupDiGetClassDevsA lists and CreateFileA
// opens, what MessageBoxA showed, faults to inject (a pending or never
// completing DeviceIoControl, a SETUPAPI.DLL that does not load) and the
// handles still open. User-mode code under test never includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host_device.h"
#include "windows.h"

namespace kald::host {

// --- Device interfaces ---

// A device interface published by PublishDeviceInterface or PublishCamera;
// it stays listed until Unpublish (or destruction, or ResetWin32). Device
// sets already taken keep listing it; files opened on it stay open, and
// their requests fail with ERROR_DEVICE_REMOVED once it is gone.
class InterfacePublication {
  public:
    InterfacePublication() = default;
    explicit InterfacePublication(std::vector<uint64_t> ids) : Ids(std::move(ids)) {}
    ~InterfacePublication() { Unpublish(); }
    InterfacePublication(InterfacePublication&& other) noexcept;
    InterfacePublication& operator=(InterfacePublication&& other) noexcept;
    InterfacePublication(const InterfacePublication&) = delete;
    InterfacePublication& operator=(const InterfacePublication&) = delete;

    void Unpublish();
    // The device paths published, in order.
    std::vector<std::string> Paths() const;

  private:
    friend InterfacePublication PublishCamera(HostDevice& device,
                                              const struct CameraInterfaceOptions& options);
    std::vector<uint64_t> Ids;
};

// Publishes one interface of `interfaceClass` for `device` (which must
// outlive the publication; null publishes an interface whose requests fail
// with ERROR_GEN_FAILURE). `hardwareId` is the device's first hardware id
// (it may hold any bytes; SPDRP_HARDWAREID returns it with two NULs
// appended), `devicePath` the path the detail returns and CreateFileA opens
// (matched exactly, up to its first NUL). Interfaces are listed in
// publication order.
InterfacePublication PublishDeviceInterface(HostDevice* device, const GUID& interfaceClass,
                                            const std::string& hardwareId,
                                            const std::string& devicePath);
inline InterfacePublication PublishDeviceInterface(HostDevice& device, const GUID& interfaceClass,
                                                   const std::string& hardwareId,
                                                   const std::string& devicePath)
{
    return PublishDeviceInterface(&device, interfaceClass, hardwareId, devicePath);
}

struct CameraInterfaceOptions {
    std::string hardwareId = "USB\\VID_7A3C&PID_0E41&REV_0100";
    bool videoClass = true;   // KSCATEGORY_VIDEO
    bool captureClass = true; // KSCATEGORY_CAPTURE
    // Instance part of the paths; 0 takes the next camera number (1, 2, ...).
    unsigned instance = 0;
};
// Publishes a camera the way the platform does: one interface in each class
// chosen, paths "\\?\usb#vid_7a3c&pid_0e41#<instance>#{<class guid>}\global".
InterfacePublication PublishCamera(HostDevice& device, const CameraInterfaceOptions& options = {});

// --- Message boxes ---

struct MessageBoxRecord {
    std::string caption;
    std::string text;
    UINT type;
};
std::vector<MessageBoxRecord> MessageBoxes();
void ClearMessageBoxes();
// What MessageBoxA returns from now on (IDOK until set).
void SetMessageBoxResult(int result);

// --- Faults ---

// The next DeviceIoControl on a device file pends: the request reaches the
// device at once, but the call returns FALSE with ERROR_IO_PENDING and the
// OVERLAPPED's event is signalled `milliseconds` virtual ms later, or never
// for std::nullopt. A call without an OVERLAPPED waits the time out on the
// virtual clock and returns the result (one that never completes fails with
// ERROR_GEN_FAILURE instead of hanging).
void PendNextDeviceIoControl(std::optional<uint32_t> milliseconds);
// LoadLibraryA of SETUPAPI.DLL fails with ERROR_MOD_NOT_FOUND while set.
void FailSetupApiLoad(bool fail);

// --- Accounting ---

struct Win32HandleCounts {
    size_t events = 0;
    size_t files = 0;
    size_t deviceInfoSets = 0;
    size_t modules = 0; // loaded module references not yet freed
    size_t Total() const { return events + files + deviceInfoSets + modules; }
};
Win32HandleCounts OpenWin32Handles();
// DeviceIoControl calls that reached a device since the last reset.
size_t DeviceIoControlCount();

// Closes every handle and set, frees the modules, unpublishes every
// interface, forgets the message boxes and the armed faults, and clears the
// calling thread's last error.
void ResetWin32();

} // namespace kald::host
