// The host SETUPAPI.DLL: device sets that list the published device
// interfaces of a class, their hardware ids and device paths. A set is a
// snapshot taken when it is made; each interface is its own device, so
// device i of a set is the device of interface i.
#include <cstring>

#include "win32_state.h"

namespace kald::host::win32 {
namespace {

// The member of `set` that an interface or device record names (its
// Reserved field carries the interface's id), or null.
DeviceInterface* MemberById(Object& set, ULONG_PTR id)
{
    for (const auto& member : set.Members) {
        if (member->Id == id) {
            return member.get();
        }
    }
    return nullptr;
}

void FillDeviceData(PSP_DEVINFO_DATA data, const DeviceInterface& member)
{
    data->ClassGuid = member.InterfaceClass;
    data->DevInst = DWORD(member.Id);
    data->Reserved = ULONG_PTR(member.Id);
}

} // namespace
} // namespace kald::host::win32

using namespace kald::host::win32;

extern "C" {

// Only interface classes are listed (DIGCF_DEVICEINTERFACE); a set of a
// device setup class is empty, as the host installs no devices that way.
// The enumerator is not used to narrow the list.
HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR, HWND, DWORD Flags)
{
    const bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
    if (ClassGuid == nullptr && !allClasses) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    Object set{ObjectKind::DeviceInfoSet};
    if ((Flags & DIGCF_DEVICEINTERFACE) != 0) {
        for (const auto& candidate : state.Interfaces) {
            if (allClasses || IsEqualGUID(candidate->InterfaceClass, *ClassGuid)) {
                set.Members.push_back(candidate);
            }
        }
    }
    return reinterpret_cast<HDEVINFO>(AddObject(state, std::move(set)));
}

WINBOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (FindObject(state, DeviceInfoSet, ObjectKind::DeviceInfoSet) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    state.Handles.erase(HandleValue(DeviceInfoSet));
    return TRUE;
}

// Interface `MemberIndex` of `InterfaceClassGuid` in the set (of one device
// when DeviceInfoData is given).
WINBOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                           const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                           PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    Object* set = FindObject(state, DeviceInfoSet, ObjectKind::DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    DWORD index = 0;
    for (const auto& member : set->Members) {
        if (!IsEqualGUID(member->InterfaceClass, *InterfaceClassGuid) ||
            (DeviceInfoData != nullptr && DeviceInfoData->Reserved != member->Id)) {
            continue;
        }
        if (index++ == MemberIndex) {
            DeviceInterfaceData->InterfaceClassGuid = member->InterfaceClass;
            DeviceInterfaceData->Flags = member->Published ? SPINT_ACTIVE : SPINT_REMOVED;
            DeviceInterfaceData->Reserved = ULONG_PTR(member->Id);
            return TRUE;
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

WINBOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                     PSP_DEVINFO_DATA DeviceInfoData)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    Object* set = FindObject(state, DeviceInfoSet, ObjectKind::DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DeviceInfoData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (MemberIndex >= set->Members.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    FillDeviceData(DeviceInfoData, *set->Members[MemberIndex]);
    return TRUE;
}

// SPDRP_HARDWAREID: the device's hardware id as a REG_MULTI_SZ (the id, its
// NUL and the list's closing NUL). Other properties are not kept.
WINBOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                                 PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                                 DWORD PropertyBufferSize, PDWORD RequiredSize)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    Object* set = FindObject(state, DeviceInfoSet, ObjectKind::DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DeviceInfoData == nullptr || (PropertyBuffer == nullptr && PropertyBufferSize != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    const DeviceInterface* member = MemberById(*set, DeviceInfoData->Reserved);
    if (member == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (Property != SPDRP_HARDWAREID) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    const size_t needed = member->HardwareId.size() + 2;
    if (PropertyRegDataType != nullptr) {
        *PropertyRegDataType = REG_MULTI_SZ;
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = DWORD(needed);
    }
    if (PropertyBufferSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(PropertyBuffer, member->HardwareId.data(), member->HardwareId.size());
    PropertyBuffer[needed - 2] = 0;
    PropertyBuffer[needed - 1] = 0;
    return TRUE;
}

// The interface's device path. Without a buffer (and with size 0) it only
// reports the size needed; a buffer must hold at least the record's fixed
// part and a NUL, and its cbSize must be the fixed part's size.
WINBOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    Object* set = FindObject(state, DeviceInfoSet, ObjectKind::DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DeviceInterfaceData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    constexpr size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
        (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (DeviceInterfaceDetailData == nullptr
            ? DeviceInterfaceDetailDataSize != 0
            : DeviceInterfaceDetailDataSize < pathOffset + 1 ||
                  DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    const DeviceInterface* member = MemberById(*set, DeviceInterfaceData->Reserved);
    if (member == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const size_t needed = pathOffset + member->DevicePath.size() + 1;
    if (RequiredSize != nullptr) {
        *RequiredSize = DWORD(needed);
    }
    if (DeviceInterfaceDetailDataSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(DeviceInterfaceDetailData->DevicePath, member->DevicePath.c_str(),
           member->DevicePath.size() + 1);
    if (DeviceInfoData != nullptr) {
        FillDeviceData(DeviceInfoData, *member);
    }
    return TRUE;
}

// Driver lists: the host installs no drivers, so a built list is empty.
WINBOOL WINAPI SetupDiBuildDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA, DWORD)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (FindObject(state, DeviceInfoSet, ObjectKind::DeviceInfoSet) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

WINBOOL WINAPI SetupDiEnumDriverInfoA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA, DWORD, DWORD,
                                      PSP_DRVINFO_DATA_A)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (FindObject(state, DeviceInfoSet, ObjectKind::DeviceInfoSet) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

WINBOOL WINAPI SetupDiDestroyDriverInfoList(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA, DWORD)
{
    return SetupDiBuildDriverInfoList(DeviceInfoSet, nullptr, 0);
}

} // extern "C"

namespace kald::host::win32 {

FARPROC SetupApiExport(const char* name)
{
    struct Export {
        const char* Name;
        FARPROC Procedure;
    };
    // Each cast goes through void (*)(), the type that stands for any
    // function, as the platform's GetProcAddress returns any export.
    auto any = [](auto procedure) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(procedure));
    };
    const Export exports[] = {
        {"SetupDiGetClassDevsA", any(&SetupDiGetClassDevsA)},
        {"SetupDiEnumDeviceInterfaces", any(&SetupDiEnumDeviceInterfaces)},
        {"SetupDiEnumDeviceInfo", any(&SetupDiEnumDeviceInfo)},
        {"SetupDiGetDeviceRegistryPropertyA", any(&SetupDiGetDeviceRegistryPropertyA)},
        {"SetupDiGetDeviceInterfaceDetailA", any(&SetupDiGetDeviceInterfaceDetailA)},
        {"SetupDiBuildDriverInfoList", any(&SetupDiBuildDriverInfoList)},
        {"SetupDiEnumDriverInfoA", any(&SetupDiEnumDriverInfoA)},
        {"SetupDiDestroyDriverInfoList", any(&SetupDiDestroyDriverInfoList)},
        {"SetupDiDestroyDeviceInfoList", any(&SetupDiDestroyDeviceInfoList)},
    };
    for (const Export& e : exports) {
        if (strcmp(e.Name, name) == 0) {
            return e.Procedure;
        }
    }
    return nullptr;
}

} // namespace kald::host::win32
