// The device's property sets and the handlers behind them: the camera's
// extension, diagnostics and automatic-control sets, and the standard video
// processing-amplifier set, with their tables and request records.
#pragma once

#include "core/camera_context.h"

// The 32-byte request and data buffer of the extension and automatic-control
// sets; one buffer serves as both input and output.
struct ExtensionPropertyRecord {
    GUID Set;
    ULONG Id;
    ULONG Flags;    // KSPROPERTY_TYPE_GET or KSPROPERTY_TYPE_SET
    ULONG Reserved; // neither read nor written by the driver
    LONG Value;     // the value to set, or the value a get returns
};
static_assert(sizeof(ExtensionPropertyRecord) == 32, "the extension record is 32 bytes");

// The 40-byte buffer of the diagnostics set.
struct DiagnosticsRecord {
    KSPROPERTY Property;
    ULONG Unused1; // not touched
    ULONG Value1;
    ULONG Value2;
    ULONG Unused2; // not touched
};
static_assert(sizeof(DiagnosticsRecord) == 40, "the diagnostics record is 40 bytes");

extern const GUID CameraExtensionPropertySet;
extern const GUID CameraDiagnosticsPropertySet;
extern const GUID AutoControlPropertySet;
extern const GUID VideoProcAmpPropertySet; // PROPSETID_VIDCAP_VIDEOPROCAMP

// The four device property sets, handed out with the stream information.
constexpr ULONG DEVICE_PROPERTY_SET_COUNT = 4;
extern const KSPROPERTY_SET DevicePropertySets[DEVICE_PROPERTY_SET_COUNT];

// Answers one SRB_GET_DEVICE_PROPERTY (IsSet FALSE) or SRB_SET_DEVICE_PROPERTY
// (IsSet TRUE): picks the handler by set GUID and direction, stores the result
// in Srb->Status (and the byte count where the set's handler reports one) and
// returns it. BusDeviceObject is accepted and not used.
NTSTATUS CamPropertyDispatch(BOOLEAN IsSet, PDEVICE_OBJECT BusDeviceObject,
                             CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);

// Ids of CameraExtensionPropertySet.
enum ExtensionPropertyId : ULONG {
    EXT_AUTO_EXPOSURE_STATE = 0,
    EXT_AUTO_WHITE_BALANCE_STATE = 1,
    EXT_COMPRESSION_STATE = 2,
    EXT_SATURATION = 3,
    EXT_EXPOSURE_TARGET = 4,
    EXT_WHITE_BALANCE_TARGET = 5,
    EXT_UNSUPPORTED_6 = 6,
    EXT_UNSUPPORTED_7 = 7,
    EXT_SHARPNESS = 8,
    EXT_HUE = 9,
    EXT_GAIN = 10,
    EXT_EXPOSURE_TIME = 11,
    EXT_FLICKER_COMP_STATE = 12,
    EXT_FLICKER_COMP_FREQ = 13,
    EXT_CONTRAST = 14,
    EXT_GAMMA = 15,
    EXT_MS_TO_SKIP_PACKETS = 16,
    EXT_MAX_PACKET_SIZE_ALLOWED = 17,
    EXT_AEAWB_INTERVAL = 18,
    EXT_AE_PERIOD = 19,
    EXT_FIXED_AE_PERIOD_STATE = 20,
    EXT_AWB_PERIOD = 21,
    EXT_FIXED_AWB_PERIOD_STATE = 22,
    EXT_DPC_STATE = 23,
    EXT_RESTORE_PICTURE_DEFAULTS = 24,
    EXT_RESTORE_FLICKER_DEFAULTS = 25,
    EXT_RESTORE_TEST_DEFAULTS = 26,
    EXT_SAVE_SETTINGS = 27,
    EXT_RELOAD_SETTINGS = 28,
    EXT_FRAME_ERROR_TEST = 29,
    EXT_PACKET_ERROR_TEST = 30,
};
constexpr ULONG EXTENSION_PROPERTY_COUNT = 31;

// Ids of CameraDiagnosticsPropertySet; 7 to 11 are declared and read as 0.
enum DiagnosticsPropertyId : ULONG {
    DIAG_TRAFFIC = 0,
    DIAG_PACKET_ERROR = 1,
    DIAG_FRAME_ERROR = 2,
    DIAG_CONFIGURATION = 3,
    DIAG_BUILD = 4,
    DIAG_EXPOSURE = 5,
    DIAG_WHITE_BALANCE = 6,
};
constexpr ULONG DIAGNOSTICS_PROPERTY_COUNT = 12;

// Ids of AutoControlPropertySet.
enum AutoControlPropertyId : ULONG {
    AUTO_EXPOSURE_SWITCH = 0,
    AUTO_WHITE_BALANCE_SWITCH = 1,
};
constexpr ULONG AUTO_CONTROL_PROPERTY_COUNT = 2;

// Items of the video processing-amplifier set that the driver serves.
constexpr ULONG PROCAMP_PROPERTY_COUNT = 6;

// Build number reported with the build date by DIAG_BUILD.
constexpr USHORT DriverBuildNumber = 37;

// The handlers behind CamPropertyDispatch. Each stores its result in
// Srb->Status and returns it; ActualBytesTransferred is set as each says.
// A null context or request, a missing buffer or one shorter than the set's
// record gives STATUS_INVALID_PARAMETER or STATUS_BUFFER_TOO_SMALL with no
// byte reported and nothing read or written.

// Gets report 32 bytes on every path; sets leave the byte count alone.
NTSTATUS GetExtensionProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS SetExtensionProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
// 40 bytes on success, 0 on failure.
NTSTATUS GetDiagnosticsProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS GetAutoControlProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS SetAutoControlProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
// A get reports 40 bytes whether or not the item is served; a set reports
// 40 on success and 0 on failure.
NTSTATUS GetProcAmpProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS SetProcAmpProperty(CameraContext* Context, PHW_STREAM_REQUEST_BLOCK Srb);

// Switches automatic exposure (white balance) on (1) or off (0) and keeps
// the persisted state in step. Switching on restarts the AE phase (moves to
// the AWB phase) of the schedule. A refused value changes nothing.
NTSTATUS SetAutoExposureState(CameraContext* Context, LONG Value);
NTSTATUS SetAutoWhiteBalanceState(CameraContext* Context, LONG Value);

// Push the persisted picture, flicker and test settings through the
// controls. The picture and test steps ignore the controls' results and
// return STATUS_SUCCESS; the flicker step returns the flicker control's.
NTSTATUS ApplyPictureSettings(CameraContext* Context);
NTSTATUS ApplyFlickerSettings(CameraContext* Context);
NTSTATUS ApplyTestSettings(CameraContext* Context);

// Packs a compile-time date text ("Mmm dd yyyy") and time text ("hh:mm:ss")
// the way DIAG_BUILD reports them: *Value1 = month | day << 8 | hour << 16 |
// minute << 24 (month 0 when the name is not an English abbreviation),
// *Value2 = year | DriverBuildNumber << 16. A blank or missing digit counts
// as 0; the texts are not read past their terminating NUL.
void PackBuildStamp(PCSTR Date, PCSTR Time, PULONG Value1, PULONG Value2);
