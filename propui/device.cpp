#include "device.h"

#include <cstdlib>
#include <cstring>
#include <new>

const ULONG CachedItemIds[CachedItemCount] = {
    EXT_AUTO_EXPOSURE_STATE,
    EXT_AUTO_WHITE_BALANCE_STATE,
    EXT_SATURATION,
    EXT_EXPOSURE_TARGET,
    EXT_WHITE_BALANCE_TARGET,
    EXT_SHARPNESS,
    EXT_HUE,
    EXT_FLICKER_COMP_STATE,
    EXT_FLICKER_COMP_FREQ,
    EXT_CONTRAST,
    EXT_GAMMA,
    EXT_MS_TO_SKIP_PACKETS,
    EXT_MAX_PACKET_SIZE_ALLOWED,
    EXT_AEAWB_INTERVAL,
    EXT_AE_PERIOD,
    EXT_FIXED_AE_PERIOD_STATE,
    EXT_AWB_PERIOD,
    EXT_FIXED_AWB_PERIOD_STATE,
    EXT_COMPRESSION_STATE,
    EXT_FRAME_ERROR_TEST,
    EXT_DPC_STATE,
    EXT_EXPOSURE_TIME,
    EXT_GAIN,
};

Device* SharedDevice = nullptr;
LONG DeviceUseCount = 0;
BOOL SettingsChanged = FALSE;
char DevicePath[DevicePathSize];

namespace {

// The kernel-streaming interface classes a camera registers in:
// {6994AD05-93EF-11D0-A3CC-00A0C9223196} and {65E8773D-8F56-11D0-A3B9-00A0C9223196}.
// The platform spells a GUID as eleven numbers; this puts the braces of its
// byte array around the last eight.
#define KALDPROP_GUID(l, w1, w2, b0, b1, b2, b3, b4, b5, b6, b7)                         \
    {                                                                                  \
        l, w1, w2, { b0, b1, b2, b3, b4, b5, b6, b7 }                                  \
    }
#define KALDPROP_GUID_OF(parts) KALDPROP_GUID(parts)
const GUID VideoInterfaceClass = KALDPROP_GUID_OF(STATIC_KSCATEGORY_VIDEO);
const GUID CaptureInterfaceClass = KALDPROP_GUID_OF(STATIC_KSCATEGORY_CAPTURE);

// Interfaces of one class examined at most.
constexpr DWORD MaxInterfacesPerClass = 100;
// Bytes of the hardware-id buffer.
constexpr DWORD HardwareIdSize = 1024;
// Largest interface detail accepted: the header and a path of the longest
// length Win32 paths have (32,767 characters).
constexpr DWORD MaxDetailSize = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 32768;

using GetClassDevsFn = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
using DestroyDriverInfoListFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, DWORD);
using DestroyDeviceInfoListFn = BOOL(WINAPI*)(HDEVINFO);
using EnumDeviceInterfacesFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                             PSP_DEVICE_INTERFACE_DATA);
using GetDeviceInterfaceDetailFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, PDWORD,
                                                 PSP_DEVINFO_DATA);
using GetDeviceRegistryPropertyFn = BOOL(WINAPI*)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE,
                                                  DWORD, PDWORD);
using EnumDeviceInfoFn = BOOL(WINAPI*)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);

// SetupAPI while the camera is searched: the module and its entry points.
// The two driver-information entry points are looked up but not used.
struct SetupApiModule {
    HMODULE Module;
    GetClassDevsFn GetClassDevs;
    FARPROC BuildDriverInfoList;
    DestroyDriverInfoListFn DestroyDriverInfoList;
    DestroyDeviceInfoListFn DestroyDeviceInfoList;
    EnumDeviceInterfacesFn EnumDeviceInterfaces;
    GetDeviceInterfaceDetailFn GetDeviceInterfaceDetail;
    FARPROC EnumDriverInfo;
    GetDeviceRegistryPropertyFn GetDeviceRegistryProperty;
    EnumDeviceInfoFn EnumDeviceInfo;
};
SetupApiModule SetupApi;

// An entry point of `module` as the function type it has. The detour
// through void (*)() is the conversion between function types that
// compilers accept without a warning.
template <typename Fn> Fn EntryPoint(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The entry points that the search calls are all there.
bool SetupApiComplete()
{
    return SetupApi.GetClassDevs != nullptr && SetupApi.DestroyDriverInfoList != nullptr &&
           SetupApi.DestroyDeviceInfoList != nullptr && SetupApi.EnumDeviceInterfaces != nullptr &&
           SetupApi.GetDeviceInterfaceDetail != nullptr &&
           SetupApi.GetDeviceRegistryProperty != nullptr && SetupApi.EnumDeviceInfo != nullptr;
}

// Upper-cases the ASCII letters of a NUL-terminated string in place.
void UpperCase(char* text)
{
    for (; *text != '\0'; ++text) {
        if (*text >= 'a' && *text <= 'z') {
            *text = char(*text - 'a' + 'A');
        }
    }
}

// The extension record with its header set for `Id` and `Flags`.
void PrepareRecord(ExtensionPropertyRecord* Record, ULONG Id, ULONG Flags)
{
    Record->Set = CameraExtensionPropertySet;
    Record->Id = Id;
    Record->Flags = Flags;
    Record->Reserved = 0;
    Record->Value = 0;
}

// The Win32 error for the final status of a request that completed after
// pending: 0 for success, the usual error for the statuses the driver's
// property handling gives, a general failure for the rest.
DWORD CompletionError(LONG Status)
{
    if (Status >= 0) {
        return 0;
    }
    switch (static_cast<ULONG>(Status)) {
    case 0xC00000BBUL: // STATUS_NOT_SUPPORTED
        return ERROR_NOT_SUPPORTED;
    case 0xC000000DUL: // STATUS_INVALID_PARAMETER
        return ERROR_INVALID_PARAMETER;
    case 0xC0000023UL: // STATUS_BUFFER_TOO_SMALL
        return ERROR_INSUFFICIENT_BUFFER;
    case 0xC0000225UL: // STATUS_NOT_FOUND
        return ERROR_NOT_FOUND;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace

Device::Device() : Handle(INVALID_HANDLE_VALUE)
{
    for (LONG& value : Cache) {
        value = -1;
    }
    Handle = OpenCameraInterface(CameraVendor, CameraProduct);
    if (Handle == INVALID_HANDLE_VALUE) {
        MessageBoxA(NULL, "WDM_open_dev failed", "Device", MB_OK);
    }
}

Device::~Device()
{
    if (Handle != INVALID_HANDLE_VALUE) {
        CloseHandle(Handle);
        Handle = INVALID_HANDLE_VALUE;
    }
}

BOOL Device::Refresh()
{
    for (size_t i = 0; i < CachedItemCount; ++i) {
        Cache[i] = GetValue(CachedItemIds[i]);
    }
    return TRUE;
}

BOOL Device::SetValue(ULONG Id, LONG Value)
{
    ExtensionPropertyRecord record;
    std::memset(&record, 0, sizeof(record));
    PrepareRecord(&record, Id, KSPROPERTY_TYPE_SET);
    record.Value = Value;
    DWORD bytes = 0;
    return SendPropertyRequest(Handle, IOCTL_KS_PROPERTY, &record, sizeof(record), &record,
                               sizeof(record), &bytes) == 0
               ? TRUE
               : FALSE;
}

LONG Device::GetValue(ULONG Id)
{
    // The bytes the driver does not write stay recognisably unset.
    ExtensionPropertyRecord record;
    std::memset(&record, 0xFF, sizeof(record));
    PrepareRecord(&record, Id, KSPROPERTY_TYPE_GET);
    DWORD bytes = 0;
    if (SendPropertyRequest(Handle, IOCTL_KS_PROPERTY, &record, sizeof(record), &record,
                            sizeof(record), &bytes) != 0) {
        return -1;
    }
    return record.Value;
}

LONG Device::CachedValue(ULONG Id) const
{
    for (size_t i = 0; i < CachedItemCount; ++i) {
        if (CachedItemIds[i] == Id) {
            return Cache[i];
        }
    }
    return -1;
}

void Device::SetCachedValue(ULONG Id, LONG Value)
{
    for (size_t i = 0; i < CachedItemCount; ++i) {
        if (CachedItemIds[i] == Id) {
            Cache[i] = Value;
            return;
        }
    }
}

HANDLE OpenCameraInterface(const char* Vendor, const char* Product)
{
    SetupApi = SetupApiModule{};
    SetupApi.Module = LoadLibraryA("SETUPAPI.DLL");
    if (SetupApi.Module == NULL) {
        return INVALID_HANDLE_VALUE;
    }
    const HMODULE module = SetupApi.Module;
    SetupApi.GetClassDevs = EntryPoint<GetClassDevsFn>(module, "SetupDiGetClassDevsA");
    SetupApi.BuildDriverInfoList = GetProcAddress(module, "SetupDiBuildDriverInfoList");
    SetupApi.DestroyDriverInfoList =
        EntryPoint<DestroyDriverInfoListFn>(module, "SetupDiDestroyDriverInfoList");
    SetupApi.DestroyDeviceInfoList =
        EntryPoint<DestroyDeviceInfoListFn>(module, "SetupDiDestroyDeviceInfoList");
    SetupApi.EnumDeviceInterfaces =
        EntryPoint<EnumDeviceInterfacesFn>(module, "SetupDiEnumDeviceInterfaces");
    SetupApi.GetDeviceInterfaceDetail =
        EntryPoint<GetDeviceInterfaceDetailFn>(module, "SetupDiGetDeviceInterfaceDetailA");
    SetupApi.EnumDriverInfo = GetProcAddress(module, "SetupDiEnumDriverInfoA");
    SetupApi.GetDeviceRegistryProperty =
        EntryPoint<GetDeviceRegistryPropertyFn>(module, "SetupDiGetDeviceRegistryPropertyA");
    SetupApi.EnumDeviceInfo = EntryPoint<EnumDeviceInfoFn>(module, "SetupDiEnumDeviceInfo");

    HANDLE handle = FindInterfaceInClass(Vendor, Product, &VideoInterfaceClass);
    if (handle == INVALID_HANDLE_VALUE) {
        handle = FindInterfaceInClass(Vendor, Product, &CaptureInterfaceClass);
    }

    FreeLibrary(module);
    SetupApi = SetupApiModule{};
    return handle;
}

HANDLE FindInterfaceInClass(const char* Vendor, const char* Product, const GUID* Class)
{
    if (!SetupApiComplete()) {
        return INVALID_HANDLE_VALUE;
    }
    const HDEVINFO set =
        SetupApi.GetClassDevs(Class, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }

    // The hardware id contains "VID_xxxx&PID_xxxx".
    char match[1024];
    wsprintfA(match, "%s&%s", Vendor, Product);

    HANDLE handle = INVALID_HANDLE_VALUE;
    for (DWORD i = 0; i < MaxInterfacesPerClass; ++i) {
        SP_DEVICE_INTERFACE_DATA interfaceData;
        std::memset(&interfaceData, 0, sizeof(interfaceData));
        interfaceData.cbSize = sizeof(interfaceData);
        if (!SetupApi.EnumDeviceInterfaces(set, NULL, Class, i, &interfaceData)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) {
                break;
            }
            continue;
        }

        // The device is taken at the interface's own index.
        SP_DEVINFO_DATA deviceData;
        std::memset(&deviceData, 0, sizeof(deviceData));
        deviceData.cbSize = sizeof(deviceData);
        // One byte more than the property may fill, so the first string
        // always ends inside the buffer.
        char hardwareId[HardwareIdSize + 1];
        std::memset(hardwareId, 0, sizeof(hardwareId));
        if (!SetupApi.EnumDeviceInfo(set, i, &deviceData) ||
            !SetupApi.GetDeviceRegistryProperty(set, &deviceData, SPDRP_HARDWAREID, NULL,
                                                reinterpret_cast<PBYTE>(hardwareId), HardwareIdSize,
                                                NULL)) {
            continue;
        }

        UpperCase(hardwareId);
        if (std::strstr(hardwareId, match) != nullptr) {
            handle = OpenInterfacePath(set, &interfaceData);
            break;
        }
    }

    SetupApi.DestroyDriverInfoList(set, NULL, SPDIT_COMPATDRIVER);
    SetupApi.DestroyDeviceInfoList(set);
    return handle;
}

HANDLE OpenInterfacePath(HDEVINFO Set, PSP_DEVICE_INTERFACE_DATA Interface)
{
    if (SetupApi.GetDeviceInterfaceDetail == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    DWORD required = 0;
    SetupApi.GetDeviceInterfaceDetail(Set, Interface, NULL, 0, &required, NULL);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) || required > MaxDetailSize) {
        return INVALID_HANDLE_VALUE;
    }
    auto* detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(std::calloc(1, required));
    if (detail == nullptr) {
        return INVALID_HANDLE_VALUE;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);

    HANDLE handle = INVALID_HANDLE_VALUE;
    if (SetupApi.GetDeviceInterfaceDetail(Set, Interface, detail, required, NULL, NULL)) {
        // The path ends inside the detail, and with its terminator it fits
        // DevicePath; a path that does not fit is not opened, since a
        // shortened one would name another file.
        const size_t room = required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        const size_t length = strnlen(detail->DevicePath, room);
        if (length < room && length < DevicePathSize) {
            std::memcpy(DevicePath, detail->DevicePath, length + 1);
            handle = CreateFileA(DevicePath, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        }
    }
    std::free(detail);
    return handle;
}

DWORD SendPropertyRequest(HANDLE Handle, DWORD ControlCode, LPVOID InBuffer, DWORD InLength,
                          LPVOID OutBuffer, DWORD OutLength, LPDWORD BytesReturned)
{
    if (Handle == INVALID_HANDLE_VALUE) {
        return 1;
    }
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (overlapped.hEvent == NULL) {
        const DWORD error = GetLastError();
        return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
    }

    DWORD error = 0;
    if (!DeviceIoControl(Handle, ControlCode, InBuffer, InLength, OutBuffer, OutLength,
                         BytesReturned, &overlapped)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            if (WaitForSingleObject(overlapped.hEvent, PropertyRequestTimeoutMs) == WAIT_OBJECT_0) {
                // Completed in time, but not necessarily with success: the
                // OVERLAPPED holds the driver's status.
                error = CompletionError(static_cast<LONG>(overlapped.Internal));
            } else {
                // Still pending: a failure of its own, not the pending state.
                error = ERROR_SEM_TIMEOUT;
            }
        } else if (error == 0) {
            error = ERROR_GEN_FAILURE;
        }
    }
    CloseHandle(overlapped.hEvent);
    if (error != 0) {
        SetLastError(error);
    }
    return error;
}

BOOL AcquireDevice()
{
    if (SharedDevice == nullptr) {
        SharedDevice = new (std::nothrow) Device;
        if (SharedDevice == nullptr) {
            return FALSE;
        }
    }
    if (DeviceUseCount++ == 0) {
        CommitChanges();
        SharedDevice->Refresh();
    }
    return TRUE;
}

void ReleaseDevice()
{
    if (DeviceUseCount <= 0) {
        return;
    }
    if (--DeviceUseCount != 0) {
        return;
    }
    if (SharedDevice != nullptr) {
        if (SettingsChanged) {
            // Undo the changes that were never applied; the flag stays set.
            SharedDevice->SetValue(EXT_RELOAD_SETTINGS, 0);
        }
        delete SharedDevice;
        SharedDevice = nullptr;
    }
}

void CommitChanges()
{
    if (!SettingsChanged) {
        return;
    }
    if (SharedDevice != nullptr) {
        SharedDevice->SetValue(EXT_SAVE_SETTINGS, 0);
    }
    SettingsChanged = FALSE;
}

void MarkChanged(BOOL Flag, PageDirtyState& Page)
{
    SettingsChanged = Flag;
    Page.SetDirty(Flag);
}
