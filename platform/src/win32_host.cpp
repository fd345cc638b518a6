// Test and tool controls of the host Win32 layer (kald_host/host_win32.h).
#include <dlfcn.h>

#include <cstdio>

#include "kald_host/ks.h"
#include "kald_host/ksmedia.h"
#include "win32_state.h"
#include "win32_window_state.h"

// A GUID from its STATIC_ form, with the braces spelled out.
// clang-format off
#define GUID_FROM_PARTS(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
    {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}}
#define STATIC_GUID(parts) GUID_FROM_PARTS(parts)
// clang-format on

namespace kald::host {

using namespace win32;

namespace {

// Lists no longer, and fails the requests of files still open on it.
void UnpublishId(State& state, uint64_t id)
{
    auto& list = state.Interfaces;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if ((*it)->Id == id) {
            (*it)->Published = false;
            list.erase(it);
            return;
        }
    }
}

// "{6994ad05-93ef-11d0-a3cc-00a0c9223196}": a class as device paths carry it.
std::string LowerCaseGuid(const GUID& g)
{
    char text[40];
    snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
             unsigned(g.Data1), unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1],
             g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

} // namespace

InterfacePublication::InterfacePublication(InterfacePublication&& other) noexcept
    : Ids(std::move(other.Ids))
{
    other.Ids.clear();
}

InterfacePublication& InterfacePublication::operator=(InterfacePublication&& other) noexcept
{
    if (this != &other) {
        Unpublish();
        Ids = std::move(other.Ids);
        other.Ids.clear();
    }
    return *this;
}

void InterfacePublication::Unpublish()
{
    if (Ids.empty()) {
        return;
    }
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    for (uint64_t id : Ids) {
        UnpublishId(state, id);
    }
    Ids.clear();
}

std::vector<std::string> InterfacePublication::Paths() const
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    std::vector<std::string> paths;
    for (uint64_t id : Ids) {
        for (const auto& published : state.Interfaces) {
            if (published->Id == id) {
                paths.push_back(published->DevicePath);
            }
        }
    }
    return paths;
}

InterfacePublication PublishDeviceInterface(HostDevice* device, const GUID& interfaceClass,
                                            const std::string& hardwareId,
                                            const std::string& devicePath)
{
    auto published = std::make_shared<DeviceInterface>();
    published->InterfaceClass = interfaceClass;
    published->HardwareId = hardwareId;
    // A path is a C string to everyone who reads it.
    published->DevicePath = devicePath.substr(0, devicePath.find('\0'));
    published->Device = device;
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    published->Id = state.NextInterfaceId++;
    state.Interfaces.push_back(published);
    return InterfacePublication({published->Id});
}

InterfacePublication PublishCamera(HostDevice& device, const CameraInterfaceOptions& options)
{
    unsigned instance = options.instance;
    if (instance == 0) {
        State& state = TheState();
        std::lock_guard<std::mutex> guard(state.Lock);
        instance = state.NextCamera++;
    }
    static constexpr GUID video = STATIC_GUID(STATIC_KSCATEGORY_VIDEO);
    static constexpr GUID capture = STATIC_GUID(STATIC_KSCATEGORY_CAPTURE);
    std::vector<uint64_t> ids;
    for (const GUID* cls : {&video, &capture}) {
        if ((cls == &video && !options.videoClass) || (cls == &capture && !options.captureClass)) {
            continue;
        }
        const std::string path = "\\\\?\\usb#vid_7a3c&pid_0e41#" + std::to_string(instance) + "#" +
                                 LowerCaseGuid(*cls) + "\\global";
        InterfacePublication one = PublishDeviceInterface(&device, *cls, options.hardwareId, path);
        std::vector<uint64_t> taken;
        std::swap(taken, one.Ids);
        ids.insert(ids.end(), taken.begin(), taken.end());
    }
    return InterfacePublication(std::move(ids));
}

std::vector<MessageBoxRecord> MessageBoxes()
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    return state.Boxes;
}

void ClearMessageBoxes()
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Boxes.clear();
}

void SetMessageBoxResult(int result)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.BoxResult = result;
}

void PendNextDeviceIoControl(std::optional<uint32_t> milliseconds)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.PendNext = milliseconds;
}

void FailSetupApiLoad(bool fail)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.FailSetupApi = fail;
}

Win32HandleCounts OpenWin32Handles()
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    Win32HandleCounts counts;
    for (const auto& [value, object] : state.Handles) {
        switch (object.Kind) {
        case ObjectKind::Event:
            ++counts.events;
            break;
        case ObjectKind::File:
            ++counts.files;
            break;
        case ObjectKind::DeviceInfoSet:
            ++counts.deviceInfoSets;
            break;
        case ObjectKind::Module:
            counts.modules += object.References;
            break;
        case ObjectKind::RegistryKey:
            ++counts.registryKeys;
            break;
        }
    }
    return counts;
}

size_t DeviceIoControlCount()
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    return state.IoControls;
}

void ResetWin32()
{
    State& state = TheState();
    std::vector<std::pair<uintptr_t, Object>> modules;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        for (auto& [value, object] : state.Handles) {
            if (object.Kind == ObjectKind::Module && object.Library != nullptr) {
                modules.emplace_back(value, std::move(object));
            }
        }
        state.Handles.clear();
        state.DllDirectory.clear();
        state.UserLocale = 0x409;
        for (const auto& published : state.Interfaces) {
            published->Published = false;
        }
        state.Interfaces.clear();
        state.NextCamera = 1;
        state.Boxes.clear();
        state.BoxResult = IDOK;
        state.PendNext.reset();
        state.FailSetupApi = false;
        state.Completions.clear();
        state.IoControls = 0;
    }
    ResetWindows();
    UnloadDetachedModules(modules);
    ForgetThreadLocale();
    SetLastError(ERROR_SUCCESS);
    ResetCom();
}

} // namespace kald::host
