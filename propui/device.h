// Kaldprop's access to the camera driver: the camera's kernel-streaming
// device interface found through SetupAPI, the driver's extension property
// set read and written with IOCTL_KS_PROPERTY, and the process-wide Device
// that all property pages share.
#pragma once

#include <cstddef>

#include "propui_platform.h"

// The driver's extension property set, {D410004E-2501-44DF-ACB3-7BA8867F17D4}.
inline constexpr GUID CameraExtensionPropertySet = {
    0xD410004E, 0x2501, 0x44DF, {0xAC, 0xB3, 0x7B, 0xA8, 0x86, 0x7F, 0x17, 0xD4}};

// Item ids of CameraExtensionPropertySet.
inline constexpr ULONG EXT_AUTO_EXPOSURE_STATE = 0;
inline constexpr ULONG EXT_AUTO_WHITE_BALANCE_STATE = 1;
inline constexpr ULONG EXT_COMPRESSION_STATE = 2;
inline constexpr ULONG EXT_SATURATION = 3;
inline constexpr ULONG EXT_EXPOSURE_TARGET = 4;
inline constexpr ULONG EXT_WHITE_BALANCE_TARGET = 5;
inline constexpr ULONG EXT_UNSUPPORTED_6 = 6;
inline constexpr ULONG EXT_UNSUPPORTED_7 = 7;
inline constexpr ULONG EXT_SHARPNESS = 8;
inline constexpr ULONG EXT_HUE = 9;
inline constexpr ULONG EXT_GAIN = 10;
inline constexpr ULONG EXT_EXPOSURE_TIME = 11;
inline constexpr ULONG EXT_FLICKER_COMP_STATE = 12;
inline constexpr ULONG EXT_FLICKER_COMP_FREQ = 13;
inline constexpr ULONG EXT_CONTRAST = 14;
inline constexpr ULONG EXT_GAMMA = 15;
inline constexpr ULONG EXT_MS_TO_SKIP_PACKETS = 16;
inline constexpr ULONG EXT_MAX_PACKET_SIZE_ALLOWED = 17;
inline constexpr ULONG EXT_AEAWB_INTERVAL = 18;
inline constexpr ULONG EXT_AE_PERIOD = 19;
inline constexpr ULONG EXT_FIXED_AE_PERIOD_STATE = 20;
inline constexpr ULONG EXT_AWB_PERIOD = 21;
inline constexpr ULONG EXT_FIXED_AWB_PERIOD_STATE = 22;
inline constexpr ULONG EXT_DPC_STATE = 23;
inline constexpr ULONG EXT_RESTORE_PICTURE_DEFAULTS = 24;
inline constexpr ULONG EXT_RESTORE_FLICKER_DEFAULTS = 25;
inline constexpr ULONG EXT_RESTORE_TEST_DEFAULTS = 26;
inline constexpr ULONG EXT_SAVE_SETTINGS = 27;
inline constexpr ULONG EXT_RELOAD_SETTINGS = 28;
inline constexpr ULONG EXT_FRAME_ERROR_TEST = 29;
inline constexpr ULONG EXT_PACKET_ERROR_TEST = 30;

// The request and data buffer of CameraExtensionPropertySet: one buffer is
// sent as both the input and the output of IOCTL_KS_PROPERTY.
struct ExtensionPropertyRecord {
    GUID Set;       // CameraExtensionPropertySet
    ULONG Id;       // EXT_ id
    ULONG Flags;    // KSPROPERTY_TYPE_GET or KSPROPERTY_TYPE_SET
    ULONG Reserved; // 0; the driver neither reads nor writes it
    LONG Value;     // the value to set, or the value a get returns
};
static_assert(sizeof(ExtensionPropertyRecord) == 32, "the extension record is 32 bytes");
static_assert(offsetof(ExtensionPropertyRecord, Id) == 16, "the id follows the set");
static_assert(offsetof(ExtensionPropertyRecord, Flags) == 20, "the flags follow the id");
static_assert(offsetof(ExtensionPropertyRecord, Value) == 28, "the value is at offset 28");

// How long a request that the driver left pending may take, in milliseconds.
inline constexpr DWORD PropertyRequestTimeoutMs = 3000;

// The camera: its USB vendor and product as they appear in its hardware id.
inline constexpr char CameraVendor[] = "VID_7A3C";
inline constexpr char CameraProduct[] = "PID_0E41";

// Number of values Device keeps for the pages.
inline constexpr size_t CachedItemCount = 23;
// The ids of the cached values, in the order Refresh reads them; the cache
// holds them in the same order.
extern const ULONG CachedItemIds[CachedItemCount];

// The driver as the property pages see it: the opened device interface of
// the camera and the last values read from it.
class Device {
  public:
    // Looks for the camera and opens it; when that fails, says so in a
    // message box and stays without a handle (every request then fails).
    Device();
    // Closes the handle.
    virtual ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Reads every cached value again; a value the driver does not give is
    // stored as -1. Always TRUE.
    virtual BOOL Refresh();
    // Sets one item of the extension set; TRUE when the driver took it. On
    // failure GetLastError holds the reason.
    virtual BOOL SetValue(ULONG Id, LONG Value);
    // Gets one item of the extension set; -1 on any failure, with the reason
    // in GetLastError.
    virtual LONG GetValue(ULONG Id);

    // The cached value of `Id` as the last Refresh read it; -1 for an id
    // that is not cached.
    LONG CachedValue(ULONG Id) const;
    // Stores `Value` as the cached value of `Id`; ignored for an id that is
    // not cached.
    void SetCachedValue(ULONG Id, LONG Value);

    // The opened interface; INVALID_HANDLE_VALUE when the camera was not
    // found or could not be opened, and after closing.
    HANDLE Handle;
    // One value per entry of CachedItemIds, in that order.
    LONG Cache[CachedItemCount];
};

// Opens the camera's kernel-streaming interface: SetupAPI is loaded for the
// search, the video interface class is searched first and then the capture
// class. INVALID_HANDLE_VALUE when the camera is not found or not openable.
HANDLE OpenCameraInterface(const char* Vendor, const char* Product);

// Examines at most the first 100 interfaces of `Class` and opens the first
// whose device's first hardware id, upper-cased, contains "Vendor&Product".
// Needs the SetupAPI entry points that OpenCameraInterface loads.
HANDLE FindInterfaceInClass(const char* Vendor, const char* Product, const GUID* Class);

// Gets the device path of one interface of `Set` into DevicePath and opens
// it for reading and writing. INVALID_HANDLE_VALUE when the path cannot be
// had, does not fit DevicePath, or does not open.
HANDLE OpenInterfacePath(HDEVINFO Set, PSP_DEVICE_INTERFACE_DATA Interface);

// One synchronous DeviceIoControl on `Handle`, waiting at most
// PropertyRequestTimeoutMs for a request the driver leaves pending. Returns
// 0 on success, else a nonzero error: 1 for a missing handle, otherwise the
// Win32 error of the failure (also left in GetLastError).
DWORD SendPropertyRequest(HANDLE Handle, DWORD ControlCode, LPVOID InBuffer, DWORD InLength,
                          LPVOID OutBuffer, DWORD OutLength, LPDWORD BytesReturned);

// Process-wide state shared by the property pages; used on the thread that
// owns the property sheet only.
extern Device* SharedDevice;
// Number of pages that hold SharedDevice.
extern LONG DeviceUseCount;
// A page changed a driver setting since the settings were last saved.
extern BOOL SettingsChanged;
// The device path of the interface last opened.
inline constexpr size_t DevicePathSize = 1024;
extern char DevicePath[DevicePathSize];

// For each page's constructor: makes SharedDevice when there is none and
// counts the page. The first user of a new count saves pending changes and
// reads the cache. FALSE when no Device could be made.
BOOL AcquireDevice();
// For each page's destructor: when the last user goes, asks the driver to
// reload its saved settings if changes were never applied (the flag stays
// set, so the next first user saves the reloaded values), then destroys the
// Device.
void ReleaseDevice();
// For each page's Apply: saves pending changes in the driver's registry
// store and clears SettingsChanged.
void CommitChanges();

// The dirty state of one property page, which its base reports to the page
// site when it changes.
class PageDirtyState {
  public:
    virtual ~PageDirtyState() = default;
    virtual void SetDirty(BOOL Dirty) = 0;
};

// A page changed (TRUE) or applied (FALSE) driver settings: sets
// SettingsChanged and then the page's dirty state to `Flag`.
void MarkChanged(BOOL Flag, PageDirtyState& Page);
