#include "properties.h"

#include "../autocontrol/auto_control.h"
#include "../hardware/controls.h"
#include "settings.h"

namespace {

constexpr ULONG EXT_RECORD_BYTES = sizeof(ExtensionPropertyRecord);      // 32
constexpr ULONG DIAG_RECORD_BYTES = sizeof(DiagnosticsRecord);           // 40
constexpr ULONG PROCAMP_RECORD_BYTES = sizeof(KSPROPERTY_VIDEOPROCAMP_S); // 40

// Procamp capabilities of white balance: automatic and manual.
constexpr ULONG PROCAMP_FLAGS_AUTO_AND_MANUAL =
    KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO | KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;

// biCompression of the IYUV format ("IYUV" read as a little-endian ULONG).
constexpr ULONG FOURCC_IYUV = 0x56555949;

// DIAG_CONFIGURATION format codes.
constexpr ULONG FORMAT_CODE_I420 = 1;
constexpr ULONG FORMAT_CODE_NONE = 2;
constexpr ULONG FORMAT_CODE_IYUV = 3;
constexpr ULONG FORMAT_CODE_OTHER = 4;

// DIAG_TRAFFIC reports the longest idle run in one byte.
constexpr ULONG MAX_REPORTED_IDLE_RUN = 255;

// DIAG_EXPOSURE: the line clock is 0xC000 / (divider + 2).
constexpr ULONG LINE_CLOCK_NUMERATOR = 0xC000;

// The shutter register holds the rows in its low 12 bits; an exposure that
// needs more rows cannot be programmed.
constexpr LONGLONG SHUTTER_ROWS_MAX = 0x0FFF;

const CHAR MonthNames[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

BOOLEAN SameGuid(const GUID& Left, const GUID& Right)
{
    return RtlCompareMemory(&Left, &Right, sizeof(GUID)) == sizeof(GUID);
}

// Stores a failure that no handler answered: no byte was transferred.
NTSTATUS Refuse(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status)
{
    Srb->Status = Status;
    Srb->ActualBytesTransferred = 0;
    return Status;
}

// Checks what a client controls before anything of the request is read:
// the context, the descriptor and both buffers present, the property header
// whole, and the data buffer at least RecordBytes long. On success *Id is the
// requested item and *Data the data buffer; on failure the status is stored
// with no byte transferred (when there is an SRB to store it in).
NTSTATUS OpenRequest(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb, ULONG RecordBytes,
                     PULONG Id, PVOID* Data)
{
    if (Srb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
    if (Context == nullptr || descriptor == nullptr || descriptor->Property == nullptr ||
        descriptor->PropertyInfo == nullptr) {
        return Refuse(Srb, STATUS_INVALID_PARAMETER);
    }
    if (descriptor->PropertyInputSize < sizeof(KSPROPERTY) ||
        descriptor->PropertyOutputSize < RecordBytes) {
        return Refuse(Srb, STATUS_BUFFER_TOO_SMALL);
    }
    *Id = descriptor->Property->Id;
    *Data = descriptor->PropertyInfo;
    return STATUS_SUCCESS;
}

// The persisted setting that a set of the extension id stores after its
// control accepted the value, and that control's code; nullptr for an id
// that is no control.
PULONG ControlSetting(CameraContext* Context, ULONG Id, PULONG Code)
{
    CameraSettings& s = Context->CameraSettings;
    switch (Id) {
    case EXT_COMPRESSION_STATE: *Code = CTRL_COMPRESSION_STATE; return &s.CompressionState;
    case EXT_SATURATION: *Code = CTRL_SATURATION; return &s.SaturationSetting;
    case EXT_EXPOSURE_TARGET: *Code = CTRL_EXPOSURE_TARGET; return &s.ExposureTarget;
    case EXT_WHITE_BALANCE_TARGET: *Code = CTRL_WHITE_BALANCE_TARGET; return &s.WhiteBalanceTarget;
    case EXT_SHARPNESS: *Code = CTRL_SHARPNESS; return &s.SharpnessSetting;
    case EXT_HUE: *Code = CTRL_HUE; return &s.HueSetting;
    case EXT_FLICKER_COMP_STATE: *Code = CTRL_FLICKER_COMP_STATE; return &s.FlickerCompState;
    case EXT_FLICKER_COMP_FREQ: *Code = CTRL_FLICKER_COMP_FREQ; return &s.FlickerCompFreq;
    case EXT_CONTRAST: *Code = CTRL_CONTRAST; return &s.ContrastSetting;
    case EXT_GAMMA: *Code = CTRL_GAMMA; return &s.GammaSetting;
    default: return nullptr;
    }
}

// The settings that ids 16 to 23 store unchecked; they take effect at the
// next bandwidth allocation or schedule run.
PULONG EngineeringSetting(CameraContext* Context, ULONG Id)
{
    CameraSettings& s = Context->CameraSettings;
    switch (Id) {
    case EXT_MS_TO_SKIP_PACKETS: return &s.MsToSkipPackets;
    case EXT_MAX_PACKET_SIZE_ALLOWED: return &s.MaxPacketSizeAllowed;
    case EXT_AEAWB_INTERVAL: return &s.AeAwbInterval;
    case EXT_AE_PERIOD: return &s.AePeriod;
    case EXT_FIXED_AE_PERIOD_STATE: return &s.FixedAePeriodState;
    case EXT_AWB_PERIOD: return &s.AwbPeriod;
    case EXT_FIXED_AWB_PERIOD_STATE: return &s.FixedAwbPeriodState;
    case EXT_DPC_STATE: return &s.DpcState;
    default: return nullptr;
    }
}

// Sensor rows for an exposure of Value 1/120 s at the mode's frame rate
// (73 rows per 1/120 s at 30 frames/s, 52 at 21, 36.125 at 15, 24.2 at 10).
// FALSE when the rows are negative or beyond the shutter register.
BOOLEAN ExposureRows(USHORT FrameRate, LONG Value, PUSHORT Rows)
{
    const LONGLONG v = Value; // wide enough for any LONG times 312
    LONGLONG rows;
    switch (FrameRate) {
    case 10: rows = (v * 242 + 5) / 10; break;
    case 15: rows = (v * 289 + 4) / 8; break;
    case 21: rows = (v * 312 + 3) / 6; break;
    default: rows = (v * 292 + 2) / 4; break;
    }
    if (rows < 0 || rows > SHUTTER_ROWS_MAX) {
        return FALSE;
    }
    *Rows = static_cast<USHORT>(rows);
    return TRUE;
}

// The value a get of an extension id (or of the automatic-control switches,
// ids 0 and 1) answers.
NTSTATUS ReadExtensionValue(CameraContext* Context, ULONG Id, PLONG Value)
{
    const CameraContext* c = Context;
    const CameraSettings& s = c->CameraSettings;
    switch (Id) {
    case EXT_AUTO_EXPOSURE_STATE: *Value = c->AutoExposureOn != 0 ? 1 : 0; break;
    case EXT_AUTO_WHITE_BALANCE_STATE: *Value = c->AutoWhiteBalanceOn != 0 ? 1 : 0; break;
    case EXT_COMPRESSION_STATE: *Value = static_cast<LONG>(s.CompressionState); break;
    case EXT_SATURATION: *Value = c->Saturation; break;
    case EXT_EXPOSURE_TARGET: *Value = c->Brightness; break;
    case EXT_WHITE_BALANCE_TARGET: *Value = static_cast<LONG>(c->WhiteBalanceLevel); break;
    case EXT_SHARPNESS: *Value = c->Sharpness; break;
    case EXT_HUE: *Value = static_cast<LONG>(s.HueSetting); break;
    case EXT_GAIN: *Value = c->AutoControlState.Gain; break;
    case EXT_EXPOSURE_TIME: *Value = CamGetExposureTime(Context); break;
    case EXT_FLICKER_COMP_STATE:
        if (s.FlickerCompState > 1) {
            return STATUS_INVALID_PARAMETER;
        }
        *Value = static_cast<LONG>(s.FlickerCompState);
        break;
    case EXT_FLICKER_COMP_FREQ: *Value = static_cast<LONG>(s.FlickerCompFreq); break;
    case EXT_CONTRAST: *Value = c->Contrast; break;
    case EXT_GAMMA: *Value = static_cast<LONG>(c->Gamma); break;
    default: {
        const PULONG setting = EngineeringSetting(Context, Id);
        if (setting == nullptr) {
            return STATUS_NOT_SUPPORTED; // 6, 7, the actions 24 to 28 and unknown ids
        }
        *Value = static_cast<LONG>(*setting);
        break;
    }
    }
    return STATUS_SUCCESS;
}

NTSTATUS WriteExtensionValue(CameraContext* Context, ULONG Id, LONG Value)
{
    ULONG code = 0;
    const PULONG controlSetting = ControlSetting(Context, Id, &code);
    if (controlSetting != nullptr) {
        const NTSTATUS status = CamSetControl(Context, code, Value, 0);
        if (status == STATUS_SUCCESS) {
            *controlSetting = static_cast<ULONG>(Value);
        }
        return status;
    }
    const PULONG engineeringSetting = EngineeringSetting(Context, Id);
    if (engineeringSetting != nullptr) {
        *engineeringSetting = static_cast<ULONG>(Value);
        return STATUS_SUCCESS;
    }
    switch (Id) {
    case EXT_AUTO_EXPOSURE_STATE:
        return SetAutoExposureState(Context, Value);
    case EXT_AUTO_WHITE_BALANCE_STATE:
        return SetAutoWhiteBalanceState(Context, Value);
    case EXT_GAIN:
        return CamSetGain(Context, Value);
    case EXT_EXPOSURE_TIME: {
        USHORT rows = 0;
        if (!ExposureRows(Context->ModeFrameRate, Value, &rows)) {
            return STATUS_INVALID_PARAMETER;
        }
        return SetShutter(&Context->AutoControlState, rows);
    }
    case EXT_RESTORE_PICTURE_DEFAULTS:
        RestorePictureDefaults(Context);
        return ApplyPictureSettings(Context);
    case EXT_RESTORE_FLICKER_DEFAULTS:
        RestoreFlickerDefaults(Context);
        return ApplyFlickerSettings(Context);
    case EXT_RESTORE_TEST_DEFAULTS:
        RestoreTestDefaults(Context);
        return ApplyTestSettings(Context);
    case EXT_SAVE_SETTINGS:
        return SaveSettings(Context);
    case EXT_RELOAD_SETTINGS:
        (void)LoadSettings(Context); // never fails: defaults fill every gap
        (void)ApplyPictureSettings(Context);
        (void)ApplyFlickerSettings(Context);
        return ApplyTestSettings(Context);
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

ULONG FormatCode(ULONG FourCC)
{
    switch (FourCC) {
    case FOURCC_I420: return FORMAT_CODE_I420;
    case FOURCC_IYUV: return FORMAT_CODE_IYUV;
    case 0: return FORMAT_CODE_NONE;
    default: return FORMAT_CODE_OTHER;
    }
}

// Counter differences since the previous traffic read, then a new snapshot;
// the longest idle run is reported once and cleared.
void ReadTraffic(CameraContext* c, PULONG Value1, PULONG Value2)
{
    const ULONG clock = c->MsClock;
    const ULONG counters[4] = {c->PacketCount, c->FrameStartCount, c->RawFrameCount,
                               c->GoodFrameCount};
    const ULONG clockDelta = clock - c->TrafficSnapshotClock;
    ULONG deltas[4];
    for (ULONG i = 0; i < 4; ++i) {
        deltas[i] = counters[i] - c->TrafficSnapshotCounters[i];
    }
    ULONG idle = c->MaxIdlePacketRun;
    if (idle > MAX_REPORTED_IDLE_RUN) {
        idle = MAX_REPORTED_IDLE_RUN;
    }
    c->MaxIdlePacketRun = 0;
    for (ULONG i = 0; i < 4; ++i) {
        c->TrafficSnapshotCounters[i] = counters[i];
    }
    *Value1 = (deltas[0] & 0xFFFF) << 16 | (clockDelta & 0xFFFF);
    *Value2 = (deltas[2] & 0xFF) << 24 | (deltas[3] & 0xFF) << 16 | (deltas[1] & 0xFF) << 8 | idle;
    c->TrafficSnapshotClock = clock;
}

void ReadConfiguration(const CameraContext* c, PULONG Value1, PULONG Value2)
{
    ULONG packetSize = 0;
    ULONG alternate = 0;
    const PUSBD_INTERFACE_INFORMATION iface = c->InterfaceInfo;
    if (iface != nullptr) {
        alternate = iface->AlternateSetting;
        if (iface->NumberOfPipes != 0) {
            packetSize = iface->Pipes[0].MaximumPacketSize; // pipe 0 carries the video
        }
    }
    *Value1 = (c->FrameErrorKind != 0 ? 1u : 0u) | (c->PacketErrorKind != 0 ? 2u : 0u) |
              (packetSize & 0x3FF) << 2 | (c->FrameRateGate.Period & 0x3FF) << 12 |
              (c->FrameWidth & 0x3FF) << 22;
    *Value2 = (c->FrameHeight & 0x1FF) | (alternate & 0x7F) << 9 | (c->DeviceState & 0xF) << 16 |
              (c->ProbationState & 0x3) << 20 | (c->BandwidthAllocationCount & 0x3F) << 22 |
              FormatCode(c->FrameFourCC) << 28;
}

// The character at Index of Text, a blank past its end.
CHAR TextAt(PCSTR Text, ULONG Index)
{
    if (Text == nullptr) {
        return ' ';
    }
    for (ULONG i = 0; i <= Index; ++i) {
        if (Text[i] == '\0') {
            return ' ';
        }
    }
    return Text[Index];
}

ULONG DigitAt(PCSTR Text, ULONG Index)
{
    const CHAR c = TextAt(Text, Index);
    return c >= '0' && c <= '9' ? static_cast<ULONG>(c - '0') : 0;
}

ULONG MonthOf(PCSTR Date)
{
    for (ULONG month = 0; month < 12; ++month) {
        const PCSTR name = MonthNames[month];
        if (TextAt(Date, 0) == name[0] && TextAt(Date, 1) == name[1] && TextAt(Date, 2) == name[2]) {
            return month + 1;
        }
    }
    return 0;
}

} // namespace

void PackBuildStamp(PCSTR Date, PCSTR Time, PULONG Value1, PULONG Value2)
{
    // "Mmm dd yyyy" (a day below 10 has a blank first digit) and "hh:mm:ss".
    const ULONG month = MonthOf(Date);
    const ULONG day = DigitAt(Date, 4) * 10 + DigitAt(Date, 5);
    const ULONG year =
        DigitAt(Date, 7) * 1000 + DigitAt(Date, 8) * 100 + DigitAt(Date, 9) * 10 + DigitAt(Date, 10);
    const ULONG hour = DigitAt(Time, 0) * 10 + DigitAt(Time, 1);
    const ULONG minute = DigitAt(Time, 3) * 10 + DigitAt(Time, 4);
    *Value1 = month | day << 8 | hour << 16 | minute << 24;
    *Value2 = year | static_cast<ULONG>(DriverBuildNumber) << 16;
}

NTSTATUS CamPropertyDispatch(BOOLEAN IsSet, PDEVICE_OBJECT BusDeviceObject,
                             CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    (void)BusDeviceObject;
    ULONG id = 0;
    PVOID data = nullptr;
    // The header alone here; each handler checks the data record of its set.
    const NTSTATUS status = OpenRequest(Context, Srb, 0, &id, &data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const GUID& set = Srb->CommandData.PropertyInfo->Property->Set;
    if (SameGuid(set, VideoProcAmpPropertySet)) {
        return IsSet ? SetProcAmpProperty(Context, Srb) : GetProcAmpProperty(Context, Srb);
    }
    if (SameGuid(set, CameraExtensionPropertySet)) {
        return IsSet ? SetExtensionProperty(Context, Srb) : GetExtensionProperty(Context, Srb);
    }
    if (SameGuid(set, CameraDiagnosticsPropertySet)) {
        if (IsSet) {
            Srb->Status = STATUS_NOT_SUPPORTED; // read-only
            return STATUS_NOT_SUPPORTED;
        }
        return GetDiagnosticsProperty(Context, Srb);
    }
    if (SameGuid(set, AutoControlPropertySet)) {
        return IsSet ? SetAutoControlProperty(Context, Srb) : GetAutoControlProperty(Context, Srb);
    }
    Srb->Status = STATUS_NOT_SUPPORTED;
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS GetExtensionProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    ULONG id = 0;
    PVOID data = nullptr;
    NTSTATUS status = OpenRequest(Context, Srb, EXT_RECORD_BYTES, &id, &data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LONG value = 0;
    status = ReadExtensionValue(Context, id, &value);
    if (NT_SUCCESS(status)) {
        static_cast<ExtensionPropertyRecord*>(data)->Value = value;
    }
    Srb->ActualBytesTransferred = EXT_RECORD_BYTES;
    Srb->Status = status;
    return status;
}

NTSTATUS SetExtensionProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    ULONG id = 0;
    PVOID data = nullptr;
    NTSTATUS status = OpenRequest(Context, Srb, EXT_RECORD_BYTES, &id, &data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = WriteExtensionValue(Context, id, static_cast<ExtensionPropertyRecord*>(data)->Value);
    Srb->Status = status;
    return status;
}

NTSTATUS GetDiagnosticsProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    ULONG id = 0;
    PVOID data = nullptr;
    NTSTATUS status = OpenRequest(Context, Srb, DIAG_RECORD_BYTES, &id, &data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    CameraContext* c = Context;
    DiagnosticsRecord* record = static_cast<DiagnosticsRecord*>(data);
    record->Value1 = 0;
    record->Value2 = 0;
    const AutoControlState& ac = c->AutoControlState;
    switch (id) {
    case DIAG_TRAFFIC:
        ReadTraffic(c, &record->Value1, &record->Value2);
        break;
    case DIAG_PACKET_ERROR:
        record->Value1 = c->PacketErrorKind;
        record->Value2 = c->PacketErrorDetail;
        c->PacketErrorKind = 0;
        c->PacketErrorDetail = 0;
        break;
    case DIAG_FRAME_ERROR:
        record->Value1 = c->FrameErrorKind;
        record->Value2 = c->FrameErrorDetail;
        c->FrameErrorKind = 0;
        c->FrameErrorDetail = 0;
        break;
    case DIAG_CONFIGURATION:
        ReadConfiguration(c, &record->Value1, &record->Value2);
        break;
    case DIAG_BUILD:
        PackBuildStamp(__DATE__, __TIME__, &record->Value1, &record->Value2);
        break;
    case DIAG_EXPOSURE:
        record->Value1 = static_cast<ULONG>(ac.Shutter) | static_cast<ULONG>(ac.Gain) << 16;
        record->Value2 = ((LINE_CLOCK_NUMERATOR / (ac.ClockDivider + 2u)) & 0xFFFF) |
                         static_cast<ULONG>(static_cast<USHORT>(ac.ExposureIndex)) << 16;
        break;
    case DIAG_WHITE_BALANCE:
        record->Value1 = static_cast<ULONG>(ac.RedGain) | static_cast<ULONG>(ac.BlueGain) << 16;
        record->Value2 = (static_cast<ULONG>(ac.AwbDeadband) & 0xFF) << 16 |
                         (static_cast<ULONG>(ac.AwbErrorBlue) & 0xFF) << 8 |
                         (static_cast<ULONG>(ac.AwbErrorRed) & 0xFF);
        break;
    default:
        if (id >= DIAGNOSTICS_PROPERTY_COUNT) {
            status = STATUS_NOT_SUPPORTED;
        }
        break; // 7 to 11 read as 0
    }
    Srb->ActualBytesTransferred = NT_SUCCESS(status) ? DIAG_RECORD_BYTES : 0;
    Srb->Status = status;
    return status;
}

NTSTATUS GetAutoControlProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    ULONG id = 0;
    PVOID data = nullptr;
    NTSTATUS status = OpenRequest(Context, Srb, EXT_RECORD_BYTES, &id, &data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LONG value = 0;
    switch (id) {
    case AUTO_EXPOSURE_SWITCH:
        status = ReadExtensionValue(Context, EXT_AUTO_EXPOSURE_STATE, &value);
        break;
    case AUTO_WHITE_BALANCE_SWITCH:
        status = ReadExtensionValue(Context, EXT_AUTO_WHITE_BALANCE_STATE, &value);
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    if (NT_SUCCESS(status)) {
        static_cast<ExtensionPropertyRecord*>(data)->Value = value;
    }
    Srb->ActualBytesTransferred = EXT_RECORD_BYTES;
    Srb->Status = status;
    return status;
}

NTSTATUS SetAutoControlProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    ULONG id = 0;
    PVOID data = nullptr;
    NTSTATUS status = OpenRequest(Context, Srb, EXT_RECORD_BYTES, &id, &data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const LONG value = static_cast<ExtensionPropertyRecord*>(data)->Value;
    switch (id) {
    case AUTO_EXPOSURE_SWITCH:
        status = SetAutoExposureState(Context, value);
        break;
    case AUTO_WHITE_BALANCE_SWITCH:
        status = SetAutoWhiteBalanceState(Context, value);
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    Srb->Status = status;
    return status;
}

NTSTATUS GetProcAmpProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    ULONG id = 0;
    PVOID data = nullptr;
    NTSTATUS status = OpenRequest(Context, Srb, PROCAMP_RECORD_BYTES, &id, &data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const CameraContext* c = Context;
    PKSPROPERTY_VIDEOPROCAMP_S record = static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(data);
    Srb->ActualBytesTransferred = PROCAMP_RECORD_BYTES;
    Srb->CommandData.PropertyInfo->PropertyOutputSize = PROCAMP_RECORD_BYTES;
    record->Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    record->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    switch (id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS: record->Value = c->Brightness; break;
    case KSPROPERTY_VIDEOPROCAMP_SHARPNESS: record->Value = c->Sharpness; break;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION: record->Value = c->Saturation; break;
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST: record->Value = c->Contrast; break;
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE:
        record->Value = static_cast<LONG>(c->WhiteBalanceLevel);
        record->Flags = c->AutoWhiteBalanceOn == 1 ? KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO
                                                   : KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        record->Capabilities = PROCAMP_FLAGS_AUTO_AND_MANUAL;
        break;
    case KSPROPERTY_VIDEOPROCAMP_HUE:
        // The angle index is (hue + 540) mod 720; this gives the hue back.
        record->Value = static_cast<LONG>((static_cast<ULONG>(c->HueAngleIndex) + 180) % 720);
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    Srb->Status = status;
    return status;
}

NTSTATUS SetProcAmpProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb)
{
    ULONG id = 0;
    PVOID data = nullptr;
    NTSTATUS status = OpenRequest(Context, Srb, PROCAMP_RECORD_BYTES, &id, &data);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const PKSPROPERTY_VIDEOPROCAMP_S record = static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(data);
    const LONG value = record->Value;
    const LONG flags = static_cast<LONG>(record->Flags);
    CameraSettings& s = Context->CameraSettings;
    ULONG code = 0;
    PULONG setting = nullptr;
    switch (id) {
    case KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS: code = CTRL_BRIGHTNESS; setting = &s.ExposureTarget; break;
    case KSPROPERTY_VIDEOPROCAMP_CONTRAST: code = CTRL_CONTRAST; setting = &s.ContrastSetting; break;
    case KSPROPERTY_VIDEOPROCAMP_HUE: code = CTRL_HUE; setting = &s.HueSetting; break;
    case KSPROPERTY_VIDEOPROCAMP_SATURATION: code = CTRL_SATURATION; setting = &s.SaturationSetting; break;
    case KSPROPERTY_VIDEOPROCAMP_SHARPNESS: code = CTRL_SHARPNESS; setting = &s.SharpnessSetting; break;
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE: code = CTRL_WHITE_BALANCE; setting = &s.WhiteBalanceTarget; break;
    default: break;
    }
    if (setting == nullptr) {
        status = STATUS_NOT_SUPPORTED;
    } else {
        status = CamSetControl(Context, code, value, flags);
    }
    if (NT_SUCCESS(status)) {
        *setting = static_cast<ULONG>(value);
        if (code == CTRL_WHITE_BALANCE) {
            if (flags == KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO) {
                s.AutoWhiteBalanceState = 1;
            } else if (flags == KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL) {
                s.AutoWhiteBalanceState = 0;
            }
        }
    }
    Srb->ActualBytesTransferred = NT_SUCCESS(status) ? PROCAMP_RECORD_BYTES : 0;
    Srb->Status = status;
    return status;
}

NTSTATUS SetAutoExposureState(CameraContext* Context, LONG Value)
{
    const NTSTATUS status = CamSetControl(Context, CTRL_AUTO_EXPOSURE_STATE, Value, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Context->CameraSettings.AutoExposureState = static_cast<ULONG>(Value);
    if (Value == 1) {
        Context->AutoPhase = 0; // start over with exposure steps
        Context->AeStepsInPhase = 0;
    }
    return status;
}

NTSTATUS SetAutoWhiteBalanceState(CameraContext* Context, LONG Value)
{
    const NTSTATUS status = CamSetControl(Context, CTRL_AUTO_WHITE_BALANCE_STATE, Value, 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Context->CameraSettings.AutoWhiteBalanceState = static_cast<ULONG>(Value);
    if (Value == 1) {
        Context->AwbStepsInPhase = 0; // the next schedule run balances white
        Context->AutoPhase = 1;
    }
    return status;
}

// The live hue follows the white-balance step: automatic white balance sets
// 179, manual restores HueSetting.
NTSTATUS ApplyPictureSettings(CameraContext* Context)
{
    const CameraSettings& s = Context->CameraSettings;
    (void)CamSetControl(Context, CTRL_AUTO_EXPOSURE_STATE, static_cast<LONG>(s.AutoExposureState), 0);
    (void)CamSetControl(Context, CTRL_AUTO_WHITE_BALANCE_STATE,
                        static_cast<LONG>(s.AutoWhiteBalanceState), 0);
    (void)CamSetControl(Context, CTRL_EXPOSURE_TARGET, static_cast<LONG>(s.ExposureTarget), 0);
    (void)CamSetControl(Context, CTRL_WHITE_BALANCE_TARGET, static_cast<LONG>(s.WhiteBalanceTarget), 0);
    (void)CamSetControl(Context, CTRL_SATURATION, static_cast<LONG>(s.SaturationSetting), 0);
    (void)CamSetControl(Context, CTRL_SHARPNESS, static_cast<LONG>(s.SharpnessSetting), 0);
    return STATUS_SUCCESS;
}

NTSTATUS ApplyFlickerSettings(CameraContext* Context)
{
    return CamSetControl(Context, CTRL_FLICKER_COMP_STATE,
                         static_cast<LONG>(Context->CameraSettings.FlickerCompState), 0);
}

NTSTATUS ApplyTestSettings(CameraContext* Context)
{
    const CameraSettings& s = Context->CameraSettings;
    (void)CamSetControl(Context, CTRL_COMPRESSION_STATE, static_cast<LONG>(s.CompressionState), 0);
    (void)CamSetControl(Context, CTRL_CONTRAST, static_cast<LONG>(s.ContrastSetting), 0);
    (void)CamSetControl(Context, CTRL_GAMMA, static_cast<LONG>(s.GammaSetting), 0);
    return STATUS_SUCCESS;
}
