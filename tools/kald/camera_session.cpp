// The camera session of the kald subcommands that drive a simulated camera:
// the controls table, NAME=VALUE parsing, and the session that loads the
// persisted registry, loads the driver and sends it property requests.
#include "camera_session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "controls/properties.h"
#include "core/dispatch.h"
#include "kald_host/host_kernel.h"
#include "kald_host/ksmedia.h"
#include "tool_error.h"

namespace kald::tool {
namespace {

namespace fs = std::filesystem;
using kald::host::HostBus;
using kald::host::HostDevice;
using kald::host::HostDriver;

const GUID* const kExtension = &CameraExtensionPropertySet;

// The diagnostics set's ids in order; 7 to 11 are declared and read as 0.
const char* const kDiagnosticsNames[DIAGNOSTICS_PROPERTY_COUNT] = {
    "traffic",       "packet-error", "frame-error", "configuration", "build",       "exposure",
    "white-balance", "reserved-7",   "reserved-8",  "reserved-9",    "reserved-10", "reserved-11",
};

std::string NameList()
{
    std::string names;
    for (const ControlInfo& control : Controls()) {
        names += names.empty() ? "" : ", ";
        names += control.name;
    }
    return names;
}

// A decimal integer with an optional sign and nothing else around it.
std::optional<long long> ParseWhole(const std::string& text)
{
    size_t i = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    if (text.size() <= i) {
        return std::nullopt;
    }
    // Past any LONG the exact size does not matter: it is out of range.
    constexpr long long kBeyondAnyLong = 1LL << 40;
    long long magnitude = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        magnitude = std::min(magnitude * 10 + (text[i] - '0'), kBeyondAnyLong);
    }
    return text[0] == '-' ? -magnitude : magnitude;
}

// $XDG_CONFIG_HOME/kald/registry.reg or ~/.config/kald/registry.reg; none
// when neither variable gives a place.
std::optional<std::string> DefaultRegistryFilePath()
{
    // Only an absolute XDG_CONFIG_HOME counts; a relative one is to be ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        return (fs::path(config) / "kald" / "registry.reg").string();
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return (fs::path(home) / ".config" / "kald" / "registry.reg").string();
    }
    return std::nullopt;
}

} // namespace

std::string RegistryFilePath(const std::string& explicitPath)
{
    if (!explicitPath.empty()) {
        return explicitPath;
    }
    if (std::optional<std::string> path = DefaultRegistryFilePath()) {
        return *path;
    }
    throw UsageError("no place for the registry file: neither XDG_CONFIG_HOME nor HOME is set; "
                     "name one with --registry FILE");
}

const std::vector<ControlInfo>& Controls()
{
    // Every control carried by the extension set. The unchecked engineering
    // controls (skip-ms to dpc) take the registry's ranges: the driver stores
    // any value, but only those survive a save. Gain and exposure time are what
    // the test page offers; neither is stored.
    static const std::vector<ControlInfo> controls = {
        // name, description, set, id, procamp, minimum, maximum, default, stored range
        {"brightness", "exposure target the automatic exposure aims for", kExtension,
         EXT_EXPOSURE_TARGET, false, 0, 255, 118, 0, 255},
        {"contrast", "contrast of the tone curve", kExtension, EXT_CONTRAST, false, 0, 3000, 0, 0,
         3000},
        {"hue", "hue of the picture", kExtension, EXT_HUE, false, 0, 358, 179, 0, 358},
        {"saturation", "colour saturation", kExtension, EXT_SATURATION, false, 0, 63, 32, 0, 63},
        {"sharpness", "luma sharpening", kExtension, EXT_SHARPNESS, false, 1, 8, 6, 1, 8},
        {"gamma", "gamma curve", kExtension, EXT_GAMMA, false, 0, 9, 7, 0, 9},
        {"white-balance", "white balance target of the automatic white balance", kExtension,
         EXT_WHITE_BALANCE_TARGET, false, 0, 20, 10, 0, 20},
        {"auto-exposure", "automatic exposure (1 on, 0 off)", kExtension, EXT_AUTO_EXPOSURE_STATE,
         false, 0, 1, 1, 0, 1},
        {"auto-white-balance", "automatic white balance (1 on, 0 off)", kExtension,
         EXT_AUTO_WHITE_BALANCE_STATE, false, 0, 1, 1, 0, 1},
        // The driver accepts only 1: the camera always sends compressed frames.
        {"compression", "compressed frames (only 1 is accepted)", kExtension, EXT_COMPRESSION_STATE,
         false, 1, 1, 1, 0, 1},
        {"flicker", "fluorescent flicker compensation (1 on, 0 off)", kExtension,
         EXT_FLICKER_COMP_STATE, false, 0, 1, 0, 0, 1},
        // 2 (off) is accepted for the running device but the registry keeps 0..1.
        {"flicker-freq", "mains frequency: 0 = 60 Hz, 1 = 50 Hz, 2 = off", kExtension,
         EXT_FLICKER_COMP_FREQ, false, 0, 2, 0, 0, 1},
        {"exposure-time", "exposure time in 1/120 s (not stored)", kExtension, EXT_EXPOSURE_TIME,
         false, 1, 27, std::nullopt, std::nullopt, std::nullopt},
        {"gain", "sensor gain code (not stored)", kExtension, EXT_GAIN, false, 1, 32, std::nullopt,
         std::nullopt, std::nullopt},
        {"skip-ms", "milliseconds of packets skipped at stream start (next run)", kExtension,
         EXT_MS_TO_SKIP_PACKETS, false, 33, 500, 125, 33, 500},
        {"max-packet", "largest isochronous packet in bytes (next run)", kExtension,
         EXT_MAX_PACKET_SIZE_ALLOWED, false, 128, 1024, 1024, 128, 1024},
        {"aeawb-interval", "milliseconds between AE/AWB steps", kExtension, EXT_AEAWB_INTERVAL,
         false, 32, 512, 128, 32, 512},
        {"ae-period", "AE steps in an AE phase", kExtension, EXT_AE_PERIOD, false, 2, 16, 6, 2, 16},
        {"fixed-ae-period", "fixed AE phase length (1 on, 0 off)", kExtension,
         EXT_FIXED_AE_PERIOD_STATE, false, 0, 1, 1, 0, 1},
        {"awb-period", "AWB steps in an AWB phase", kExtension, EXT_AWB_PERIOD, false, 1, 4, 1, 1,
         4},
        {"fixed-awb-period", "fixed AWB phase length (1 on, 0 off)", kExtension,
         EXT_FIXED_AWB_PERIOD_STATE, false, 0, 1, 1, 0, 1},
        {"dpc", "defective-pixel correction (1 on, 0 off)", kExtension, EXT_DPC_STATE, false, 0, 1,
         1, 0, 1},
    };
    return controls;
}

const ControlInfo* FindControl(const std::string& name)
{
    for (const ControlInfo& control : Controls()) {
        if (name == control.name) {
            return &control;
        }
    }
    return nullptr;
}

bool KeptBetweenRuns(const ControlInfo& control, LONG value)
{
    return control.storedMinimum && control.storedMaximum && value >= *control.storedMinimum &&
           value <= *control.storedMaximum;
}

std::string RangeText(LONG minimum, LONG maximum)
{
    return minimum == maximum ? std::to_string(minimum)
                              : std::to_string(minimum) + ".." + std::to_string(maximum);
}

std::string StatusText(NTSTATUS status)
{
    struct Named {
        NTSTATUS status;
        const char* name;
    };
    static const Named kNames[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_PENDING, "STATUS_PENDING"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_OBJECT_TYPE_MISMATCH, "STATUS_OBJECT_TYPE_MISMATCH"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
        {STATUS_IO_TIMEOUT, "STATUS_IO_TIMEOUT"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
        {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
        {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
    };
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08X", unsigned(status));
    for (const Named& named : kNames) {
        if (named.status == status) {
            return std::string(named.name) + " (" + hex + ")";
        }
    }
    return hex;
}

ControlSetting ParseControlSetting(const std::string& text)
{
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        throw UsageError("'" + text + "' is not NAME=VALUE (controls: " + NameList() + ")");
    }
    const std::string name = text.substr(0, equals);
    const std::string valueText = text.substr(equals + 1);
    const ControlInfo* control = FindControl(name);
    if (control == nullptr) {
        throw UsageError("unknown control '" + name + "' (controls: " + NameList() + ")");
    }
    const std::string range = RangeText(control->minimum, control->maximum);
    const std::optional<long long> value = ParseWhole(valueText);
    if (!value) {
        throw UsageError(std::string(control->name) + ": '" + valueText +
                         "' is not a whole number; valid range " + range);
    }
    if (*value < control->minimum || *value > control->maximum) {
        throw UsageError(std::string(control->name) + ": " + valueText +
                         " is outside the valid range " + range);
    }
    return {control, LONG(*value)};
}

struct CameraSession::State {
    State(const std::string& path, kald::sim::Camera& camera)
        : registryFile(path), driver(DriverEntry), device(bus, driver, camera)
    {
    }

    std::string registryFile;
    HostBus bus;
    HostDriver driver;
    HostDevice device; // goes before the driver and the bus
};

CameraSession::CameraSession(const std::string& registryFile, kald::sim::Camera& camera)
{
    // One session per process: the host registry holds exactly the file's
    // contents, or nothing for a first run.
    kald::host::RegistryClear();
    std::error_code error;
    if (fs::exists(registryFile, error) || error) {
        if (kald::host::RegistryFileStatus loaded = kald::host::RegistryLoadFile(registryFile);
            !loaded) {
            throw UsageError("cannot load the registry file: " + loaded.error +
                             "; the file is left as it is");
        }
    }

    state_ = std::make_unique<State>(registryFile, camera);
    if (!state_->driver.Loaded()) {
        throw UsageError("the driver did not load: " + StatusText(state_->driver.EntryStatus()));
    }
    if (NTSTATUS status = state_->device.Initialize(); !NT_SUCCESS(status)) {
        throw UsageError("the camera did not initialise: " + StatusText(status));
    }
    // The stream information carries the property sets that requests are
    // checked against.
    HW_STREAM_DESCRIPTOR descriptor{};
    if (NTSTATUS status = state_->device.GetStreamInfo(&descriptor); !NT_SUCCESS(status)) {
        throw UsageError("the driver gave no stream information: " + StatusText(status));
    }
}

CameraSession::~CameraSession() = default;

kald::host::HostBus& CameraSession::Bus()
{
    return state_->bus;
}

kald::host::HostDevice& CameraSession::Device()
{
    return state_->device;
}

NTSTATUS CameraSession::Get(const ControlInfo& control, LONG* value)
{
    ULONG bytes = 0;
    if (control.procamp) {
        KSPROPERTY_VIDEOPROCAMP_S record{};
        record.Property.Set = *control.set;
        record.Property.Id = control.id;
        record.Property.Flags = KSPROPERTY_TYPE_GET;
        const NTSTATUS status = state_->device.DeviceProperty(false, &record, sizeof(record),
                                                              &record, sizeof(record), &bytes);
        *value = record.Value;
        return status;
    }
    ExtensionPropertyRecord record{};
    record.Set = *control.set;
    record.Id = control.id;
    record.Flags = KSPROPERTY_TYPE_GET;
    const NTSTATUS status = state_->device.DeviceProperty(false, &record, sizeof(record), &record,
                                                          sizeof(record), &bytes);
    *value = record.Value;
    return status;
}

NTSTATUS CameraSession::Set(const ControlInfo& control, LONG value)
{
    ULONG bytes = 0;
    if (control.procamp) {
        KSPROPERTY_VIDEOPROCAMP_S record{};
        record.Property.Set = *control.set;
        record.Property.Id = control.id;
        record.Property.Flags = KSPROPERTY_TYPE_SET;
        record.Value = value;
        record.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        return state_->device.DeviceProperty(true, &record, sizeof(record), &record, sizeof(record),
                                             &bytes);
    }
    ExtensionPropertyRecord record{};
    record.Set = *control.set;
    record.Id = control.id;
    record.Flags = KSPROPERTY_TYPE_SET;
    record.Value = value;
    return state_->device.DeviceProperty(true, &record, sizeof(record), &record, sizeof(record),
                                         &bytes);
}

namespace {

// An action of the extension set: a set whose value the driver ignores.
NTSTATUS SendAction(HostDevice& device, ULONG id)
{
    ExtensionPropertyRecord record{};
    record.Set = CameraExtensionPropertySet;
    record.Id = id;
    record.Flags = KSPROPERTY_TYPE_SET;
    ULONG bytes = 0;
    return device.DeviceProperty(true, &record, sizeof(record), &record, sizeof(record), &bytes);
}

} // namespace

NTSTATUS CameraSession::SaveSettings()
{
    return SendAction(state_->device, EXT_SAVE_SETTINGS);
}

NTSTATUS CameraSession::Restore(const std::string& group)
{
    if (group == "picture") {
        return SendAction(state_->device, EXT_RESTORE_PICTURE_DEFAULTS);
    }
    if (group == "flicker") {
        return SendAction(state_->device, EXT_RESTORE_FLICKER_DEFAULTS);
    }
    if (group == "test") {
        return SendAction(state_->device, EXT_RESTORE_TEST_DEFAULTS);
    }
    throw UsageError("unknown settings group '" + group + "' (picture, flicker or test)");
}

std::vector<DiagnosticsValue> CameraSession::ReadDiagnostics()
{
    std::vector<DiagnosticsValue> values;
    for (ULONG id = 0; id < DIAGNOSTICS_PROPERTY_COUNT; ++id) {
        DiagnosticsRecord record{};
        record.Property.Set = CameraDiagnosticsPropertySet;
        record.Property.Id = id;
        record.Property.Flags = KSPROPERTY_TYPE_GET;
        ULONG bytes = 0;
        const NTSTATUS status = state_->device.DeviceProperty(false, &record, sizeof(record),
                                                              &record, sizeof(record), &bytes);
        // A failed read reports nothing rather than what the buffer held.
        values.push_back({id, kDiagnosticsNames[id], NT_SUCCESS(status) ? record.Value1 : 0,
                          NT_SUCCESS(status) ? record.Value2 : 0});
    }
    return values;
}

void CameraSession::SaveRegistryFile()
{
    const std::string& path = state_->registryFile;
    // The default place may not exist before the first save; a path the
    // user named must lead to a directory that does.
    std::error_code ignored;
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && !fs::exists(parent, ignored)) {
        if (path != DefaultRegistryFilePath()) {
            throw UsageError("cannot write the registry file '" + path + "': the directory '" +
                             parent.string() + "' does not exist");
        }
        std::error_code error;
        fs::create_directories(parent, error);
        if (error) {
            throw UsageError("cannot create '" + parent.string() +
                             "' for the registry file: " + error.message());
        }
    }
    if (kald::host::RegistryFileStatus saved = kald::host::RegistrySaveFile(path); !saved) {
        throw UsageError("cannot write the registry file '" + path + "': " + saved.error);
    }
}

} // namespace kald::tool
