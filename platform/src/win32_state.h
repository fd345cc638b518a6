// The process-wide state behind the host Win32 layer: the published device
// interfaces and the handle table, shared by the kernel-object side
// (win32_objects.cpp) and the device-installation side (win32_setupapi.cpp).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kald_host/host_win32.h"
#include "kald_host/setupapi.h"

namespace kald::host::win32 {

// One published device interface. Files and device sets hold it by
// pointer, so it outlives its publication; `Published` says whether it is
// still listed.
struct DeviceInterface {
    uint64_t Id = 0;
    GUID InterfaceClass{};
    std::string HardwareId;
    std::string DevicePath; // without NULs
    HostDevice* Device = nullptr;
    bool Published = true;
};

enum class ObjectKind { Event, File, DeviceInfoSet, Module, RegistryKey };

// The resources a module carries: its embedded .res image, parsed once when
// it is loaded. HRSRC values point at the entries.
struct ModuleResources {
    const uint8_t* Image = nullptr;
    size_t Size = 0;
    std::vector<ResourceEntry> Entries;
};

typedef BOOL(WINAPI* DllEntryPoint)(HINSTANCE, DWORD, LPVOID);

struct Object {
    explicit Object(ObjectKind kind) : Kind(kind) {}

    ObjectKind Kind;
    // Event.
    bool ManualReset = false;
    bool Signalled = false;
    // File.
    std::shared_ptr<DeviceInterface> Interface;
    // Device set: the interfaces listed when it was taken, in order.
    std::vector<std::shared_ptr<DeviceInterface>> Members;
    // Module: the host's SETUPAPI.DLL, or a dlopen handle; references.
    bool SetupApi = false;
    void* Library = nullptr; // one dlopen reference for the whole module
    size_t References = 0;
    std::string Path; // the full path it was loaded from
    std::shared_ptr<const ModuleResources> Resources;
    DllEntryPoint Entry = nullptr; // its DllMain, when it has one
    bool Unloading = false;        // DllMain is being told of the detach
    // Registry key: its absolute path in the host registry.
    std::wstring KeyPath;
};

// A pending request's completion: the event (a handle value, possibly 0) to
// signal at `Due` on the virtual clock.
struct Completion {
    uintptr_t Event = 0;
    uint64_t Due = 0;
};

struct State {
    std::mutex Lock;
    std::map<uintptr_t, Object> Handles;
    // Handle values are never reused, so a stale handle stays invalid.
    uintptr_t NextHandle = 0x104;
    std::vector<std::shared_ptr<DeviceInterface>> Interfaces; // publication order
    uint64_t NextInterfaceId = 1;
    unsigned NextCamera = 1;
    std::vector<MessageBoxRecord> Boxes;
    int BoxResult = IDOK;
    // Armed by PendNextDeviceIoControl: the delay in ms, or none for never.
    std::optional<std::optional<uint32_t>> PendNext;
    bool FailSetupApi = false;
    std::vector<Completion> Completions;
    size_t IoControls = 0;
    // SetDllDirectoryA's directory; empty for the default search.
    std::string DllDirectory;
    LCID UserLocale = 0x409;
};

// Never destroyed, so that handles closed by other statics' destructors
// are safe.
State& TheState();

inline uintptr_t HandleValue(const void* handle)
{
    return reinterpret_cast<uintptr_t>(handle);
}

// The object `handle` names if it is of `kind`; null otherwise. Call with
// the lock held.
Object* FindObject(State& state, const void* handle, ObjectKind kind);
// Enters `object` in the table and returns its handle value. Lock held.
uintptr_t AddObject(State& state, Object object);

// The handle value of the running executable as a module.
constexpr uintptr_t ExecutableModule = 0x100;

// Unloads the modules that ResetWin32 took out of the table: tells each
// DllMain of the detach and gives back its dlopen reference. Call without
// the lock.
void UnloadDetachedModules(std::vector<std::pair<uintptr_t, Object>>& modules);
// The resources embedded in a dlopen'ed library (KaldHostResources and
// KaldHostResourcesSize); an empty table when it has none, null when its
// table does not parse.
std::shared_ptr<const ModuleResources> LoadModuleResources(void* library);
// The full path LoadLibraryA loads `name` from: as given when it has a
// separator, else the first of `dllDirectory`, the executable's directory
// and the current directory that holds it; none when no file is found.
std::optional<std::string> FindLibrary(const char* name, const std::string& dllDirectory);
// Makes the calling thread's locale the user's again.
void ForgetThreadLocale();

// The host SETUPAPI.DLL's exports by name; null for an unknown name.
FARPROC SetupApiExport(const char* name);

} // namespace kald::host::win32
