// The settings store: the registry values that outlive the device, their
// ranges and built-in defaults, and the load, save and restore operations.
#pragma once

#include "../core/camera_context.h"

// Registry keys (absolute).
#define KALDRIN_KEY L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8"
#define KALDRIN_SETTINGS_KEY L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Settings"
#define KALDRIN_DEFAULTS_KEY L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Defaults"
#define KALDRIN_PRESENCE_KEY L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi"

// One row of the value table: name, range, built-in default, row index.
struct SettingsRow {
    PCWSTR Name;
    LONG Minimum;
    LONG Maximum;
    LONG Default;
    ULONG Row;
};

constexpr ULONG SETTINGS_ROWS = 26;
extern const SettingsRow SettingsNameTable[SETTINGS_ROWS];

// Reads the row's value under Key into *Field: from Key, else from the
// Defaults key, else the built-in default. A value out of range counts as
// missing. Never fails.
void ReadSettingWithFallback(PCWSTR Key, ULONG Row, PULONG Field);

// Writes Value under Key for the row: STATUS_INVALID_PARAMETER (nothing
// written) when out of range, else the registry's status.
NTSTATUS WriteSettingChecked(PCWSTR Key, ULONG Row, ULONG Value);

// The ULONG of CameraContext that holds the row's setting.
PULONG SettingField(CameraContext* Context, ULONG Row);

NTSTATUS LoadSettings(CameraContext* Context);
NTSTATUS SaveSettings(CameraContext* Context);
void RestorePictureDefaults(CameraContext* Context);
void RestoreFlickerDefaults(CameraContext* Context);
void RestoreTestDefaults(CameraContext* Context);
void ApplySettingsToLive(CameraContext* Context);
void MarkDevicePresent();
