#include "settings.h"

// Name, minimum, maximum, built-in default and row index of every persisted
// value. Row 18 is compared unsigned; every other row signed.
const SettingsRow SettingsNameTable[SETTINGS_ROWS] = {
    {L"Auto Exposure State", 0, 1, 1, 0},
    {L"Auto White Balance State", 0, 1, 1, 1},
    {L"Exposure Target", 0, 255, 118, 2},
    {L"White Balance Target", 0, 20, 10, 3},
    {L"Saturation", 0, 63, 32, 4},
    {L"Sharpness", 1, 8, 6, 5},
    {L"Hue", 0, 358, 179, 6},
    {L"Contrast", 0, 3000, 0, 7},
    {L"Gamma", 0, 9, 7, 8},
    {L"Fluo Flicker Comp State", 0, 1, 0, 9},
    {L"Fluo Flicker Comp Freq", 0, 1, 0, 10},
    {L"Ms to Skip Packets", 33, 500, 125, 11},
    {L"Max Packet Size Allowed", 128, 1024, 1024, 12},
    {L"AEAWB Interval", 32, 512, 128, 13},
    {L"AE Period", 2, 16, 6, 14},
    {L"Fixed AE Period State", 0, 1, 1, 15},
    {L"AWB Period", 1, 4, 1, 16},
    {L"Fixed AWB Period State", 0, 1, 1, 17},
    {L"F E R Probation Length", 0x2000, 0x300000, 0x100000, 18}, // 8,192..3,145,728, 1,048,576
    {L"Compression State", 0, 1, 1, 19},
    {L"White Balance Red Gain", 0, 255, 72, 20},
    {L"White Balance Blue Gain", 0, 255, 99, 21},
    {L"AGC Step", 1, 94, 69, 22},
    {L"Exposure Time", 1, 27, 4, 23},
    {L"Gain", 1, 32, 10, 24},
    {L"DPC State", 0, 1, 1, 25},
};

namespace {

constexpr ULONG FER_PROBATION_ROW = 18;

template <typename T, ULONG N> constexpr ULONG CountOf(const T (&)[N])
{
    return N;
}

const WCHAR MsClockName[] = L"Current MS clock";

// Rows in the order a save writes them (row 18 follows on its own).
const UCHAR SaveOrder[] = {1, 0, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
                           13, 14, 15, 16, 17, 19, 25, 20, 21, 22, 23, 24};

const UCHAR PictureRestoreOrder[] = {4, 5, 2, 3, 6, 1, 0, 20, 21, 22, 23, 24};
const UCHAR FlickerRestoreOrder[] = {10, 9};
const UCHAR TestRestoreOrder[] = {7, 8, 11, 12, 13, 14, 15, 16, 17, 19, 25};

// Reads one REG_DWORD straight into *Value: the value must exist.
NTSTATUS QueryDword(PCWSTR Key, PCWSTR Name, PULONG Value)
{
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = const_cast<PWSTR>(Name);
    table[0].EntryContext = Value;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, Key, table, nullptr, nullptr);
}

NTSTATUS WriteDword(PCWSTR Key, PCWSTR Name, ULONG Value)
{
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, Key, Name, REG_DWORD, &Value,
                                 sizeof(Value));
}

bool InRange(ULONG Row, ULONG Value)
{
    const SettingsRow& row = SettingsNameTable[Row];
    if (Row == FER_PROBATION_ROW) {
        return Value >= static_cast<ULONG>(row.Minimum) && Value <= static_cast<ULONG>(row.Maximum);
    }
    const LONG signedValue = static_cast<LONG>(Value);
    return signedValue >= row.Minimum && signedValue <= row.Maximum;
}

// Compares two absolute key paths as the registry does (ASCII case folded).
bool SameKey(PCWSTR Left, PCWSTR Right)
{
    for (;; ++Left, ++Right) {
        WCHAR left = *Left;
        WCHAR right = *Right;
        if (left >= L'A' && left <= L'Z') {
            left = static_cast<WCHAR>(left - L'A' + L'a');
        }
        if (right >= L'A' && right <= L'Z') {
            right = static_cast<WCHAR>(right - L'A' + L'a');
        }
        if (left != right) {
            return false;
        }
        if (left == L'\0') {
            return true;
        }
    }
}

void RestoreRows(CameraContext* Context, const UCHAR* Rows, ULONG Count)
{
    for (ULONG i = 0; i < Count; ++i) {
        ReadSettingWithFallback(KALDRIN_DEFAULTS_KEY, Rows[i], SettingField(Context, Rows[i]));
    }
}

} // namespace

// A value that is missing, of another type or out of range counts as absent:
// Settings, then Defaults, then the table.
void ReadSettingWithFallback(PCWSTR Key, ULONG Row, PULONG Field)
{
    for (;;) {
        if (NT_SUCCESS(QueryDword(Key, SettingsNameTable[Row].Name, Field)) && InRange(Row, *Field)) {
            return;
        }
        if (SameKey(Key, KALDRIN_DEFAULTS_KEY)) {
            *Field = static_cast<ULONG>(SettingsNameTable[Row].Default);
            return;
        }
        Key = KALDRIN_DEFAULTS_KEY;
    }
}

NTSTATUS WriteSettingChecked(PCWSTR Key, ULONG Row, ULONG Value)
{
    if (!InRange(Row, Value)) {
        return STATUS_INVALID_PARAMETER;
    }
    return WriteDword(Key, SettingsNameTable[Row].Name, Value);
}

// Rows 0..25 to their fields; row 18 lives outside CameraSettings. Returns
// nullptr for a row beyond the table.
PULONG SettingField(CameraContext* Context, ULONG Row)
{
    CameraSettings& s = Context->CameraSettings;
    switch (Row) {
    case 0: return &s.AutoExposureState;
    case 1: return &s.AutoWhiteBalanceState;
    case 2: return &s.ExposureTarget;
    case 3: return &s.WhiteBalanceTarget;
    case 4: return &s.SaturationSetting;
    case 5: return &s.SharpnessSetting;
    case 6: return &s.HueSetting;
    case 7: return &s.ContrastSetting;
    case 8: return &s.GammaSetting;
    case 9: return &s.FlickerCompState;
    case 10: return &s.FlickerCompFreq;
    case 11: return &s.MsToSkipPackets;
    case 12: return &s.MaxPacketSizeAllowed;
    case 13: return &s.AeAwbInterval;
    case 14: return &s.AePeriod;
    case 15: return &s.FixedAePeriodState;
    case 16: return &s.AwbPeriod;
    case 17: return &s.FixedAwbPeriodState;
    case 18: return &Context->FerProbationLength;
    case 19: return &s.CompressionState;
    case 20: return &s.WhiteBalanceRedGain;
    case 21: return &s.WhiteBalanceBlueGain;
    case 22: return &s.AgcStep;
    case 23: return &s.ExposureTimeSetting;
    case 24: return &s.GainSetting;
    case 25: return &s.DpcState;
    default: return nullptr;
    }
}

// Never fails: every value has a fallback, and a missing clock starts at 0.
NTSTATUS LoadSettings(CameraContext* Context)
{
    if (!NT_SUCCESS(QueryDword(KALDRIN_KEY, MsClockName, &Context->MsClock))) {
        Context->MsClock = 0;
    }
    ReadSettingWithFallback(KALDRIN_SETTINGS_KEY, FER_PROBATION_ROW, &Context->FerProbationLength);
    for (ULONG row = 0; row < SETTINGS_ROWS; ++row) {
        if (row != FER_PROBATION_ROW) {
            ReadSettingWithFallback(KALDRIN_SETTINGS_KEY, row, SettingField(Context, row));
        }
    }
    ApplySettingsToLive(Context);
    return STATUS_SUCCESS;
}

// Writes every setting that is in range; out-of-range ones keep their
// registry value. Returns the status of the "Current MS clock" write only.
NTSTATUS SaveSettings(CameraContext* Context)
{
    CameraSettings& s = Context->CameraSettings;
    const AutoControlState& control = Context->AutoControlState;
    s.WhiteBalanceRedGain = control.RedGain;
    s.WhiteBalanceBlueGain = control.BlueGain;
    s.AgcStep = static_cast<ULONG>(static_cast<LONG>(control.ExposureIndex));

    for (ULONG i = 0; i < CountOf(SaveOrder); ++i) {
        const ULONG row = SaveOrder[i];
        (void)WriteSettingChecked(KALDRIN_SETTINGS_KEY, row, *SettingField(Context, row));
    }
    (void)WriteSettingChecked(KALDRIN_SETTINGS_KEY, FER_PROBATION_ROW, Context->FerProbationLength);
    return WriteDword(KALDRIN_KEY, MsClockName, Context->MsClock);
}

// The restores read Defaults only and leave the live values and the
// controller alone; the caller applies what it needs.
void RestorePictureDefaults(CameraContext* Context)
{
    RestoreRows(Context, PictureRestoreOrder, CountOf(PictureRestoreOrder));
}

void RestoreFlickerDefaults(CameraContext* Context)
{
    RestoreRows(Context, FlickerRestoreOrder, CountOf(FlickerRestoreOrder));
}

void RestoreTestDefaults(CameraContext* Context)
{
    RestoreRows(Context, TestRestoreOrder, CountOf(TestRestoreOrder));
}

// Copies the persisted settings into the live controls and the controller;
// the hardware sees them at capture start or through the apply steps.
void ApplySettingsToLive(CameraContext* Context)
{
    const CameraSettings& s = Context->CameraSettings;
    Context->AutoExposureOn = static_cast<UCHAR>(s.AutoExposureState & 0xFF);
    Context->AutoWhiteBalanceOn = s.AutoWhiteBalanceState & 0xFF;
    Context->Brightness = static_cast<LONG>(s.ExposureTarget);
    Context->WhiteBalanceLevel = s.WhiteBalanceTarget;
    Context->Saturation = static_cast<LONG>(s.SaturationSetting);
    Context->Sharpness = static_cast<LONG>(s.SharpnessSetting);
    Context->HueAngleIndex = static_cast<LONG>((s.HueSetting + 540) % 720);
    Context->Contrast = static_cast<LONG>(s.ContrastSetting);
    Context->Gamma = s.GammaSetting;
    Context->AutoControlState.RedGain = static_cast<USHORT>(s.WhiteBalanceRedGain);
    Context->AutoControlState.BlueGain = static_cast<USHORT>(s.WhiteBalanceBlueGain);
    Context->AutoControlState.ExposureIndex = static_cast<SHORT>(s.AgcStep);
}

// Tells the platform's camera services that the device is here and can
// signal stills; the results do not matter.
void MarkDevicePresent()
{
    (void)WriteDword(KALDRIN_PRESENCE_KEY, L"ORVIDevice", 1);
    (void)WriteDword(KALDRIN_PRESENCE_KEY, L"StillEvtSupported", 1);
}
