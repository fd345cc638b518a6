// The host Win32 kernel objects: the handle table, events and waits on the
// virtual clock, device files with their I/O control requests, modules with
// their search and DllMain, the thread's last error and message boxes.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "kald_host/host_kernel.h"
#include "kald_host/ks.h"
#include "win32_state.h"

namespace kald::host::win32 {

State& TheState()
{
    static State* state = new State;
    return *state;
}

Object* FindObject(State& state, const void* handle, ObjectKind kind)
{
    const auto found = state.Handles.find(HandleValue(handle));
    if (found == state.Handles.end() || found->second.Kind != kind) {
        return nullptr;
    }
    return &found->second;
}

uintptr_t AddObject(State& state, Object object)
{
    const uintptr_t value = state.NextHandle;
    state.NextHandle += 4;
    state.Handles.emplace(value, std::move(object));
    return value;
}

void UnloadDetachedModules(std::vector<std::pair<uintptr_t, Object>>& modules)
{
    for (auto& [value, module] : modules) {
        if (module.Entry != nullptr && !module.Unloading) {
            // The handle is out of the table already; DllMain only sees it.
            module.Entry(reinterpret_cast<HINSTANCE>(value), DLL_PROCESS_DETACH, nullptr);
        }
        if (!module.Unloading) {
            dlclose(module.Library);
        }
    }
    modules.clear();
}

namespace {

thread_local DWORD LastError = ERROR_SUCCESS;

constexpr uint64_t k100nsPerMs = 10000;

// Signals the events of the completions that are due by `now`. Lock held.
void CompleteDue(State& state, uint64_t now)
{
    auto& pending = state.Completions;
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->Due > now) {
            ++it;
            continue;
        }
        if (Object* event =
                FindObject(state, reinterpret_cast<void*>(it->Event), ObjectKind::Event)) {
            event->Signalled = true;
        }
        it = pending.erase(it);
    }
}

// The earliest completion that will signal `event`, if any. Lock held.
std::optional<uint64_t> NextCompletionOf(const State& state, uintptr_t event)
{
    std::optional<uint64_t> due;
    for (const Completion& c : state.Completions) {
        if (c.Event == event && (!due || c.Due < *due)) {
            due = c.Due;
        }
    }
    return due;
}

// The Win32 error a device request's status becomes, as the platform maps
// them. The host stream class answers an unknown property set and an
// unknown item alike with STATUS_NOT_FOUND, so both read ERROR_NOT_FOUND.
DWORD ErrorFromStatus(NTSTATUS status)
{
    switch (status) {
    case STATUS_NOT_SUPPORTED:
        return ERROR_NOT_SUPPORTED;
    case STATUS_INVALID_PARAMETER:
        return ERROR_INVALID_PARAMETER;
    case STATUS_BUFFER_TOO_SMALL:
        return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_BUFFER_OVERFLOW:
        return ERROR_MORE_DATA;
    case STATUS_NOT_FOUND:
        return ERROR_NOT_FOUND;
    case STATUS_NO_MATCH:
        return ERROR_NO_MATCH;
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_NOT_IMPLEMENTED:
        return ERROR_INVALID_FUNCTION;
    case STATUS_INSUFFICIENT_RESOURCES:
        return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_IO_TIMEOUT:
        return ERROR_SEM_TIMEOUT;
    default:
        return ERROR_GEN_FAILURE;
    }
}

// "setupapi" or "setupapi.dll", in any case.
bool IsSetupApiName(const char* name)
{
    const size_t length = strlen(name);
    if (length == 8) {
        return strncasecmp(name, "setupapi", 8) == 0;
    }
    return length == 12 && strncasecmp(name, "setupapi.dll", 12) == 0;
}

// Where GetModuleFileNameA says the host's SETUPAPI.DLL lives.
constexpr const char* SetupApiPath = "/usr/lib/kald/SETUPAPI.DLL";

bool HasSeparator(const char* name)
{
    return strchr(name, '/') != nullptr || strchr(name, '\\') != nullptr;
}

std::string FileName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string CurrentDirectory()
{
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string(".");
}

std::string AbsolutePath(const std::string& path)
{
    return !path.empty() && path[0] == '/' ? path : CurrentDirectory() + "/" + path;
}

std::string ExecutablePath()
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, size_t(length)) : std::string();
}

bool IsFile(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The file a dlopen handle was loaded from; none for a null handle.
std::optional<std::string> LoadedPath(void* library)
{
    struct link_map* map = nullptr;
    if (library == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        map->l_name == nullptr || map->l_name[0] == '\0') {
        return std::nullopt;
    }
    return std::string(map->l_name);
}

// A loaded module with this path or dlopen handle, not being unloaded.
// Lock held.
Object* FindLoadedModule(State& state, const std::string& path, void* library)
{
    for (auto& [value, object] : state.Handles) {
        if (object.Kind == ObjectKind::Module && !object.SetupApi && !object.Unloading &&
            ((library != nullptr && object.Library == library) ||
             (!path.empty() && object.Path == path))) {
            return &object;
        }
    }
    return nullptr;
}

uintptr_t FindValue(const State& state, const Object* object)
{
    for (const auto& [value, candidate] : state.Handles) {
        if (&candidate == object) {
            return value;
        }
    }
    return 0;
}

} // namespace

// The full path LoadLibraryA loads `name` from: as given when it has a
// separator, else the first of the DLL directory, the executable's
// directory and the current directory that holds it.
std::optional<std::string> FindLibrary(const char* name, const std::string& dllDirectory)
{
    if (name[0] == '\0') {
        return std::nullopt;
    }
    if (HasSeparator(name)) {
        std::string path = AbsolutePath(name);
        return IsFile(path) ? std::optional<std::string>(path) : std::nullopt;
    }
    const std::string executable = ExecutablePath();
    const std::string executableDirectory = executable.substr(0, executable.rfind('/') + 1);
    for (const std::string& directory :
         {dllDirectory, executableDirectory, CurrentDirectory()}) {
        if (directory.empty()) {
            continue;
        }
        const std::string path = directory.back() == '/' ? directory + name : directory + "/" + name;
        if (IsFile(path)) {
            return path;
        }
    }
    return std::nullopt;
}

} // namespace kald::host::win32

using namespace kald::host::win32;

extern "C" {

DWORD WINAPI GetLastError(VOID)
{
    return LastError;
}

VOID WINAPI SetLastError(DWORD dwErrCode)
{
    LastError = dwErrCode;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, WINBOOL bManualReset, WINBOOL bInitialState,
                           LPCSTR lpName)
{
    if (lpName != nullptr) {
        // Named events are shared between processes; the host has one.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    Object event{ObjectKind::Event};
    event.ManualReset = bManualReset != FALSE;
    event.Signalled = bInitialState != FALSE;
    return reinterpret_cast<HANDLE>(AddObject(state, std::move(event)));
}

WINBOOL WINAPI SetEvent(HANDLE hEvent)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    Object* event = FindObject(state, hEvent, ObjectKind::Event);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Signalled = true;
    return TRUE;
}

WINBOOL WINAPI ResetEvent(HANDLE hEvent)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    Object* event = FindObject(state, hEvent, ObjectKind::Event);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Signalled = false;
    return TRUE;
}

// Waits on an event. The wait moves the virtual clock to the event's next
// completion when that comes within the time allowed, otherwise by the whole
// time; it never sleeps. An endless wait that nothing will end fails with
// ERROR_POSSIBLE_DEADLOCK instead of hanging.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    const uint64_t now = kald::host::Now100ns();
    CompleteDue(state, now);
    Object* event = FindObject(state, hHandle, ObjectKind::Event);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (!event->Signalled) {
        const std::optional<uint64_t> due = NextCompletionOf(state, HandleValue(hHandle));
        const bool endless = dwMilliseconds == INFINITE;
        const uint64_t deadline = now + uint64_t(dwMilliseconds) * k100nsPerMs;
        if (due && (endless || *due <= deadline)) {
            kald::host::AdvanceClock(*due - now);
            CompleteDue(state, *due);
        } else if (endless) {
            SetLastError(ERROR_POSSIBLE_DEADLOCK);
            return WAIT_FAILED;
        } else {
            kald::host::AdvanceClock(deadline - now);
            CompleteDue(state, deadline);
            return WAIT_TIMEOUT;
        }
    }
    if (!event->ManualReset) {
        event->Signalled = false;
    }
    return WAIT_OBJECT_0;
}

WINBOOL WINAPI CloseHandle(HANDLE hObject)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    const auto found = state.Handles.find(HandleValue(hObject));
    // Device sets and modules have their own release calls.
    if (found == state.Handles.end() ||
        (found->second.Kind != ObjectKind::Event && found->second.Kind != ObjectKind::File)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    state.Handles.erase(found);
    return TRUE;
}

// Opens the device of a published interface; the path is compared without
// regard to case, as the platform's device names are. Only OPEN_EXISTING
// makes sense for a device.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES,
                          DWORD dwCreationDisposition, DWORD, HANDLE)
{
    if (lpFileName == nullptr || dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    for (const auto& candidate : state.Interfaces) {
        if (strcasecmp(candidate->DevicePath.c_str(), lpFileName) == 0) {
            Object file{ObjectKind::File};
            file.Interface = candidate;
            return reinterpret_cast<HANDLE>(AddObject(state, std::move(file)));
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

// IOCTL_KS_PROPERTY on a device file: the input buffer is the
// KSPROPERTY-headed request, the output buffer the property's data (they
// may be one buffer); the request goes to the device as a get or, when its
// Flags hold KSPROPERTY_TYPE_SET, a set.
WINBOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                               DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                               LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    State& state = TheState();
    std::unique_lock<std::mutex> guard(state.Lock);
    Object* file = FindObject(state, hDevice, ObjectKind::File);
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (dwIoControlCode != IOCTL_KS_PROPERTY) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if ((lpOverlapped == nullptr && lpBytesReturned == nullptr) ||
        (lpInBuffer == nullptr && nInBufferSize != 0) ||
        (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpOverlapped != nullptr && lpOverlapped->hEvent != nullptr &&
        FindObject(state, lpOverlapped->hEvent, ObjectKind::Event) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpInBuffer == nullptr || nInBufferSize < sizeof(KSPROPERTY)) {
        // Too short to say what it asks for.
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const std::shared_ptr<DeviceInterface> target = file->Interface;
    if (!target->Published) {
        SetLastError(ERROR_DEVICE_REMOVED);
        return FALSE;
    }
    if (target->Device == nullptr) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    const std::optional<std::optional<uint32_t>> pend = state.PendNext;
    state.PendNext.reset();
    ++state.IoControls;
    const uintptr_t event = lpOverlapped != nullptr ? HandleValue(lpOverlapped->hEvent) : 0;

    // The device is not called under the lock: it may take its time, and it
    // knows nothing of this layer.
    guard.unlock();
    KSPROPERTY header;
    memcpy(&header, lpInBuffer, sizeof(header));
    const bool isSet = (header.Flags & KSPROPERTY_TYPE_SET) != 0;
    ULONG transferred = 0;
    const NTSTATUS status = target->Device->DeviceProperty(
        isSet, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, &transferred);
    guard.lock();

    if (pend) {
        const std::optional<uint32_t> delay = *pend;
        if (lpOverlapped != nullptr) {
            lpOverlapped->Internal = ULONG_PTR(STATUS_PENDING);
            lpOverlapped->InternalHigh = 0;
            if (delay) {
                state.Completions.push_back(
                    {event, kald::host::Now100ns() + uint64_t(*delay) * k100nsPerMs});
            }
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        if (!delay) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        // A synchronous caller waits the request out.
        kald::host::AdvanceClock(uint64_t(*delay) * k100nsPerMs);
    }
    if (lpOverlapped != nullptr) {
        lpOverlapped->Internal = ULONG_PTR(ULONG(status));
        lpOverlapped->InternalHigh = transferred;
    }
    if (lpBytesReturned != nullptr) {
        *lpBytesReturned = transferred;
    }
    if (!NT_SUCCESS(status)) {
        SetLastError(ErrorFromStatus(status));
        return FALSE;
    }
    if (Object* signalled = FindObject(state, reinterpret_cast<void*>(event), ObjectKind::Event)) {
        signalled->Signalled = true;
    }
    return TRUE;
}

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
{
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    State& state = TheState();
    std::string directory;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        if (IsSetupApiName(lpLibFileName)) {
            if (state.FailSetupApi) {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return nullptr;
            }
            for (auto& [value, object] : state.Handles) {
                if (object.Kind == ObjectKind::Module && object.SetupApi) {
                    ++object.References;
                    return reinterpret_cast<HMODULE>(value);
                }
            }
            Object module{ObjectKind::Module};
            module.SetupApi = true;
            module.References = 1;
            return reinterpret_cast<HMODULE>(AddObject(state, std::move(module)));
        }
        directory = state.DllDirectory;
    }
    std::optional<std::string> path = FindLibrary(lpLibFileName, directory);
    void* systemLibrary = nullptr;
    if (!path && lpLibFileName[0] != '\0' && !HasSeparator(lpLibFileName)) {
        // Last the host's own library search, as the platform searches its
        // system directory last.
        systemLibrary = dlopen(lpLibFileName, RTLD_NOW | RTLD_LOCAL);
        path = LoadedPath(systemLibrary);
    }
    if (!path) {
        if (systemLibrary != nullptr) {
            dlclose(systemLibrary);
        }
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    {
        // A library loaded again is the same module, as on the platform.
        std::lock_guard<std::mutex> guard(state.Lock);
        if (Object* loaded = FindLoadedModule(state, *path, nullptr)) {
            ++loaded->References;
            if (systemLibrary != nullptr) {
                dlclose(systemLibrary);
            }
            return reinterpret_cast<HMODULE>(FindValue(state, loaded));
        }
    }
    void* library =
        systemLibrary != nullptr ? systemLibrary : dlopen(path->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    std::shared_ptr<const ModuleResources> resources = LoadModuleResources(library);
    if (!resources) {
        // A resource table that does not parse makes a broken image.
        dlclose(library);
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    uintptr_t value;
    DllEntryPoint entry;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        // The same file under another path, or loaded by another thread
        // meanwhile.
        if (Object* loaded = FindLoadedModule(state, {}, library)) {
            ++loaded->References;
            const uintptr_t found = FindValue(state, loaded);
            dlclose(library);
            return reinterpret_cast<HMODULE>(found);
        }
        Object module{ObjectKind::Module};
        module.Library = library;
        module.References = 1;
        module.Path = *path;
        module.Resources = std::move(resources);
        module.Entry = reinterpret_cast<DllEntryPoint>(dlsym(library, "DllMain"));
        entry = module.Entry;
        value = AddObject(state, std::move(module));
    }
    const HMODULE handle = reinterpret_cast<HMODULE>(value);
    // DllMain runs without the lock: it loads libraries and resources itself.
    if (entry != nullptr && !entry(handle, DLL_PROCESS_ATTACH, nullptr)) {
        entry(handle, DLL_PROCESS_DETACH, nullptr);
        {
            std::lock_guard<std::mutex> guard(state.Lock);
            state.Handles.erase(value);
        }
        dlclose(library);
        SetLastError(ERROR_DLL_INIT_FAILED);
        return nullptr;
    }
    return handle;
}

// Exports by name; ordinals (names below 0x10000) are not kept.
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    Object* module = FindObject(state, hModule, ObjectKind::Module);
    const bool executable = HandleValue(hModule) == ExecutableModule;
    if (module == nullptr && !executable) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (reinterpret_cast<uintptr_t>(lpProcName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    FARPROC procedure;
    if (executable) {
        procedure = reinterpret_cast<FARPROC>(dlsym(RTLD_DEFAULT, lpProcName));
    } else if (module->SetupApi) {
        procedure = SetupApiExport(lpProcName);
    } else {
        procedure = reinterpret_cast<FARPROC>(dlsym(module->Library, lpProcName));
    }
    if (procedure == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
    }
    return procedure;
}

WINBOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    State& state = TheState();
    void* library;
    DllEntryPoint entry;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        Object* module = FindObject(state, hLibModule, ObjectKind::Module);
        if (module == nullptr || module->Unloading) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--module->References != 0) {
            return TRUE;
        }
        if (module->Library == nullptr) {
            state.Handles.erase(HandleValue(hLibModule));
            return TRUE;
        }
        // It stays in the table while its DllMain hears of the detach, so
        // that it can still reach its own resources and file name.
        module->Unloading = true;
        library = module->Library;
        entry = module->Entry;
    }
    if (entry != nullptr) {
        entry(hLibModule, DLL_PROCESS_DETACH, nullptr);
    }
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        state.Handles.erase(HandleValue(hLibModule));
    }
    dlclose(library);
    return TRUE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
{
    std::string path;
    if (hModule == nullptr || HandleValue(hModule) == ExecutableModule) {
        path = ExecutablePath();
    } else {
        State& state = TheState();
        std::lock_guard<std::mutex> guard(state.Lock);
        const Object* module = FindObject(state, hModule, ObjectKind::Module);
        if (module == nullptr) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        path = module->SetupApi ? SetupApiPath : module->Path;
    }
    if (lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() < nSize) {
        memcpy(lpFilename, path.c_str(), path.size() + 1);
        return DWORD(path.size());
    }
    // Truncated and terminated; the whole buffer is reported.
    memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
}

// A name with a path separator is matched against the full paths, one
// without against the file names; SETUPAPI.DLL by its names.
HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
{
    if (lpModuleName == nullptr) {
        return reinterpret_cast<HMODULE>(ExecutableModule);
    }
    const std::string wanted = HasSeparator(lpModuleName) ? AbsolutePath(lpModuleName)
                                                          : std::string(lpModuleName);
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    for (const auto& [value, object] : state.Handles) {
        if (object.Kind != ObjectKind::Module || object.Unloading) {
            continue;
        }
        const bool match = object.SetupApi
                               ? IsSetupApiName(lpModuleName)
                               : (HasSeparator(lpModuleName) ? object.Path == wanted
                                                             : FileName(object.Path) == wanted);
        if (match) {
            return reinterpret_cast<HMODULE>(value);
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// The host has no thread notifications to turn off.
WINBOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (FindObject(state, hLibModule, ObjectKind::Module) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

WINBOOL WINAPI SetDllDirectoryA(LPCSTR lpPathName)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.DllDirectory = lpPathName != nullptr ? lpPathName : "";
    return TRUE;
}

// Records the box instead of showing it and answers what the test set. A
// box without a caption is captioned "Error", as on the platform.
int WINAPI MessageBoxA(HWND, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Boxes.push_back(
        {lpCaption != nullptr ? lpCaption : "Error", lpText != nullptr ? lpText : "", uType});
    return state.BoxResult;
}

} // extern "C"
