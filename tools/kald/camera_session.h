// A simulated camera on a host USB bus, driven by the real driver through
// the host stream class exactly as a capture application drives it: the
// persisted registry loaded from a file, the driver loaded, the device
// initialised, and every setting read or changed by property requests.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kald_host/host_device.h"
#include "kald_sim/camera.h"

namespace kald::tool {

// The registry file a run uses: `explicitPath` when given, else
// $XDG_CONFIG_HOME/kald/registry.reg, else ~/.config/kald/registry.reg.
std::string RegistryFilePath(const std::string& explicitPath);

// One control of `kald ctrl` and `kald capture --set`: its short name, the
// property that carries it and the values the driver accepts.
struct ControlInfo {
    const char* name;        // "brightness"
    const char* description; // one line for --list
    const GUID* set;         // the property set
    ULONG id;                // the property id in that set
    bool procamp;            // carried by the 40-byte procamp record (else the 32-byte record)
    LONG minimum;
    LONG maximum;
    std::optional<LONG> defaultValue; // the built-in default, when it has one
    // The values the driver's settings store keeps from one run to the next
    // (the registry's range); none for a control that is not stored.
    std::optional<LONG> storedMinimum = std::nullopt;
    std::optional<LONG> storedMaximum = std::nullopt;
};

// True when a value set now is still there in the next run: the control is
// stored and `value` lies in the stored range (the driver skips the others
// when it saves, keeping the previous value).
bool KeptBetweenRuns(const ControlInfo& control, LONG value);
// "0..255", or "1" for a control with one valid value.
std::string RangeText(LONG minimum, LONG maximum);

// "STATUS_INVALID_PARAMETER (0xC000000D)", or the bare hex for a status
// without a name here.
std::string StatusText(NTSTATUS status);

// Every control, in the order --list shows them.
const std::vector<ControlInfo>& Controls();
// The control named `name`, or null.
const ControlInfo* FindControl(const std::string& name);

// A parsed NAME=VALUE: throws UsageError naming the control and its valid
// range when the name is unknown or the value is not an integer in range.
struct ControlSetting {
    const ControlInfo* control;
    LONG value;
};
ControlSetting ParseControlSetting(const std::string& text);

// The diagnostics property set's twelve ids, read in order (Value1, Value2).
struct DiagnosticsValue {
    ULONG id;
    const char* name; // "traffic", "packet-error", ...
    uint32_t value1;
    uint32_t value2;
};

class CameraSession {
  public:
    // Loads the registry from `registryFile` when it exists (a damaged file
    // is an error: UsageError with the loader's message), loads the driver,
    // creates `camera` on a fresh bus and initialises the device. Throws
    // ToolError on failure.
    CameraSession(const std::string& registryFile, kald::sim::Camera& camera);
    ~CameraSession();
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    kald::host::HostBus& Bus();
    kald::host::HostDevice& Device();

    // A property get or set of `control`; returns the request's status.
    NTSTATUS Get(const ControlInfo& control, LONG* value);
    NTSTATUS Set(const ControlInfo& control, LONG value);
    // EXT_SAVE_SETTINGS, EXT_RESTORE_{PICTURE,FLICKER,TEST}_DEFAULTS
    // ("picture", "flicker", "test"; another group is a UsageError).
    NTSTATUS SaveSettings();
    NTSTATUS Restore(const std::string& group);
    // A value whose read fails is reported as 0, 0.
    std::vector<DiagnosticsValue> ReadDiagnostics();

    // Writes the host registry to the registry file (atomically); the
    // default file's directory is made when missing, a named file's must
    // exist. Throws UsageError when the file cannot be written.
    void SaveRegistryFile();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace kald::tool
