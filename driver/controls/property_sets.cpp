#include "properties.h"

// Spells out the braces of a GUID given as its eleven numbers (the form of
// the platform's STATIC_ macros).
#define KALD_GUID_FIELDS(l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    {static_cast<ULONG>(l), w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#define KALD_GUID(...) KALD_GUID_FIELDS(__VA_ARGS__)

const GUID CameraExtensionPropertySet =
    KALD_GUID(0xD410004E, 0x2501, 0x44DF, 0xAC, 0xB3, 0x7B, 0xA8, 0x86, 0x7F, 0x17, 0xD4);
const GUID CameraDiagnosticsPropertySet =
    KALD_GUID(0x1B7BF9FD, 0x58D3, 0x4718, 0x8F, 0xE2, 0x0A, 0xD6, 0x1B, 0x5C, 0xF0, 0x5D);
const GUID AutoControlPropertySet =
    KALD_GUID(0x55F4D52E, 0x6CDE, 0x4E3E, 0xA2, 0x45, 0x44, 0xF9, 0x47, 0x24, 0xB8, 0xC9);
const GUID VideoProcAmpPropertySet = KALD_GUID(STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP);

namespace {

// Every item: get and set supported, answered by the driver's request
// routine (no handlers, no fast I/O), no relations, a LONG serialised.
constexpr KSPROPERTY_ITEM PropertyItem(ULONG Id, ULONG RecordBytes,
                                       const KSPROPERTY_VALUES* Values = nullptr)
{
    return KSPROPERTY_ITEM{
        .PropertyId = Id,
        .GetSupported = TRUE,
        .MinProperty = RecordBytes, // the request carries the whole record
        .MinData = RecordBytes,
        .SetSupported = TRUE,
        .Values = Values,
        .RelationsCount = 0,
        .Relations = nullptr,
        .SupportHandler = nullptr,
        .SerializedSize = sizeof(LONG),
    };
}

constexpr ULONG EXT_RECORD_BYTES = sizeof(ExtensionPropertyRecord);  // 32
constexpr ULONG DIAG_RECORD_BYTES = sizeof(DiagnosticsRecord);       // 40
constexpr ULONG PROCAMP_RECORD_BYTES = sizeof(KSPROPERTY_VIDEOPROCAMP_S); // 40

// Ids 0 to 9, then contrast and gamma (14, 15), then 10 to 13 and 16 to 30:
// clients that enumerate the set see the items in this order.
const KSPROPERTY_ITEM ExtensionItems[EXTENSION_PROPERTY_COUNT] = {
    PropertyItem(EXT_AUTO_EXPOSURE_STATE, EXT_RECORD_BYTES),
    PropertyItem(EXT_AUTO_WHITE_BALANCE_STATE, EXT_RECORD_BYTES),
    PropertyItem(EXT_COMPRESSION_STATE, EXT_RECORD_BYTES),
    PropertyItem(EXT_SATURATION, EXT_RECORD_BYTES),
    PropertyItem(EXT_EXPOSURE_TARGET, EXT_RECORD_BYTES),
    PropertyItem(EXT_WHITE_BALANCE_TARGET, EXT_RECORD_BYTES),
    PropertyItem(EXT_UNSUPPORTED_6, EXT_RECORD_BYTES),
    PropertyItem(EXT_UNSUPPORTED_7, EXT_RECORD_BYTES),
    PropertyItem(EXT_SHARPNESS, EXT_RECORD_BYTES),
    PropertyItem(EXT_HUE, EXT_RECORD_BYTES),
    PropertyItem(EXT_CONTRAST, EXT_RECORD_BYTES),
    PropertyItem(EXT_GAMMA, EXT_RECORD_BYTES),
    PropertyItem(EXT_GAIN, EXT_RECORD_BYTES),
    PropertyItem(EXT_EXPOSURE_TIME, EXT_RECORD_BYTES),
    PropertyItem(EXT_FLICKER_COMP_STATE, EXT_RECORD_BYTES),
    PropertyItem(EXT_FLICKER_COMP_FREQ, EXT_RECORD_BYTES),
    PropertyItem(EXT_MS_TO_SKIP_PACKETS, EXT_RECORD_BYTES),
    PropertyItem(EXT_MAX_PACKET_SIZE_ALLOWED, EXT_RECORD_BYTES),
    PropertyItem(EXT_AEAWB_INTERVAL, EXT_RECORD_BYTES),
    PropertyItem(EXT_AE_PERIOD, EXT_RECORD_BYTES),
    PropertyItem(EXT_FIXED_AE_PERIOD_STATE, EXT_RECORD_BYTES),
    PropertyItem(EXT_AWB_PERIOD, EXT_RECORD_BYTES),
    PropertyItem(EXT_FIXED_AWB_PERIOD_STATE, EXT_RECORD_BYTES),
    PropertyItem(EXT_DPC_STATE, EXT_RECORD_BYTES),
    PropertyItem(EXT_RESTORE_PICTURE_DEFAULTS, EXT_RECORD_BYTES),
    PropertyItem(EXT_RESTORE_FLICKER_DEFAULTS, EXT_RECORD_BYTES),
    PropertyItem(EXT_RESTORE_TEST_DEFAULTS, EXT_RECORD_BYTES),
    PropertyItem(EXT_SAVE_SETTINGS, EXT_RECORD_BYTES),
    PropertyItem(EXT_RELOAD_SETTINGS, EXT_RECORD_BYTES),
    PropertyItem(EXT_FRAME_ERROR_TEST, EXT_RECORD_BYTES),
    PropertyItem(EXT_PACKET_ERROR_TEST, EXT_RECORD_BYTES),
};

const KSPROPERTY_ITEM DiagnosticsItems[DIAGNOSTICS_PROPERTY_COUNT] = {
    PropertyItem(DIAG_TRAFFIC, DIAG_RECORD_BYTES),
    PropertyItem(DIAG_PACKET_ERROR, DIAG_RECORD_BYTES),
    PropertyItem(DIAG_FRAME_ERROR, DIAG_RECORD_BYTES),
    PropertyItem(DIAG_CONFIGURATION, DIAG_RECORD_BYTES),
    PropertyItem(DIAG_BUILD, DIAG_RECORD_BYTES),
    PropertyItem(DIAG_EXPOSURE, DIAG_RECORD_BYTES),
    PropertyItem(DIAG_WHITE_BALANCE, DIAG_RECORD_BYTES),
    PropertyItem(7, DIAG_RECORD_BYTES), // 7 to 11: reserved, read as 0
    PropertyItem(8, DIAG_RECORD_BYTES),
    PropertyItem(9, DIAG_RECORD_BYTES),
    PropertyItem(10, DIAG_RECORD_BYTES),
    PropertyItem(11, DIAG_RECORD_BYTES),
};

const KSPROPERTY_ITEM AutoControlItems[AUTO_CONTROL_PROPERTY_COUNT] = {
    PropertyItem(AUTO_EXPOSURE_SWITCH, EXT_RECORD_BYTES),
    PropertyItem(AUTO_WHITE_BALANCE_SWITCH, EXT_RECORD_BYTES),
};

// Ranges and defaults of the processing-amplifier items, in item order.
// Each range is one stepping member (step 1); each default one LONG.
//                                               step  -  {minimum, maximum}
const KSPROPERTY_STEPPING_LONG BrightnessRange = {1, 0, {{0, 255}}};
const KSPROPERTY_STEPPING_LONG SharpnessRange = {1, 0, {{1, 8}}};
const KSPROPERTY_STEPPING_LONG SaturationRange = {1, 0, {{0, 63}}};
const KSPROPERTY_STEPPING_LONG ContrastRange = {1, 0, {{0, 3000}}};
const KSPROPERTY_STEPPING_LONG WhiteBalanceRange = {1, 0, {{0, 20}}};
const KSPROPERTY_STEPPING_LONG HueRange = {1, 0, {{0, 358}}};

// The built-in defaults of the matching persisted settings.
const LONG BrightnessDefault = 118;
const LONG SharpnessDefault = 6;
const LONG SaturationDefault = 32;
const LONG ContrastDefault = 0;
const LONG WhiteBalanceDefault = 10;
const LONG HueDefault = 179;

constexpr KSPROPERTY_MEMBERSLIST RangeMember(const KSPROPERTY_STEPPING_LONG* Range)
{
    return KSPROPERTY_MEMBERSLIST{
        {KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, Range};
}

// The member count carries the value's size in bytes, as clients of this
// set have always been given it.
constexpr KSPROPERTY_MEMBERSLIST DefaultMember(const LONG* Default)
{
    return KSPROPERTY_MEMBERSLIST{
        {KSPROPERTY_MEMBER_VALUES, sizeof(LONG), sizeof(LONG), KSPROPERTY_MEMBER_FLAG_DEFAULT},
        Default};
}

const KSPROPERTY_MEMBERSLIST BrightnessMembers[] = {RangeMember(&BrightnessRange),
                                                    DefaultMember(&BrightnessDefault)};
const KSPROPERTY_MEMBERSLIST SharpnessMembers[] = {RangeMember(&SharpnessRange),
                                                   DefaultMember(&SharpnessDefault)};
const KSPROPERTY_MEMBERSLIST SaturationMembers[] = {RangeMember(&SaturationRange),
                                                    DefaultMember(&SaturationDefault)};
const KSPROPERTY_MEMBERSLIST ContrastMembers[] = {RangeMember(&ContrastRange),
                                                  DefaultMember(&ContrastDefault)};
const KSPROPERTY_MEMBERSLIST WhiteBalanceMembers[] = {RangeMember(&WhiteBalanceRange),
                                                      DefaultMember(&WhiteBalanceDefault)};
const KSPROPERTY_MEMBERSLIST HueMembers[] = {RangeMember(&HueRange), DefaultMember(&HueDefault)};

constexpr ULONG PROPERTY_TYPE_LONG = 3; // VT_I4

// A LONG of the general property types with its range and default.
constexpr KSPROPERTY_VALUES LongValues(const KSPROPERTY_MEMBERSLIST (&Members)[2])
{
    return KSPROPERTY_VALUES{
        {{{KALD_GUID(STATIC_KSPROPTYPESETID_General), PROPERTY_TYPE_LONG, 0}}}, 2, Members};
}

const KSPROPERTY_VALUES BrightnessValues = LongValues(BrightnessMembers);
const KSPROPERTY_VALUES SharpnessValues = LongValues(SharpnessMembers);
const KSPROPERTY_VALUES SaturationValues = LongValues(SaturationMembers);
const KSPROPERTY_VALUES ContrastValues = LongValues(ContrastMembers);
const KSPROPERTY_VALUES WhiteBalanceValues = LongValues(WhiteBalanceMembers);
const KSPROPERTY_VALUES HueValues = LongValues(HueMembers);

const KSPROPERTY_ITEM ProcAmpItems[PROCAMP_PROPERTY_COUNT] = {
    PropertyItem(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, PROCAMP_RECORD_BYTES, &BrightnessValues),
    PropertyItem(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, PROCAMP_RECORD_BYTES, &SharpnessValues),
    PropertyItem(KSPROPERTY_VIDEOPROCAMP_SATURATION, PROCAMP_RECORD_BYTES, &SaturationValues),
    PropertyItem(KSPROPERTY_VIDEOPROCAMP_CONTRAST, PROCAMP_RECORD_BYTES, &ContrastValues),
    PropertyItem(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, PROCAMP_RECORD_BYTES, &WhiteBalanceValues),
    PropertyItem(KSPROPERTY_VIDEOPROCAMP_HUE, PROCAMP_RECORD_BYTES, &HueValues),
};

} // namespace

const KSPROPERTY_SET DevicePropertySets[DEVICE_PROPERTY_SET_COUNT] = {
    {&CameraExtensionPropertySet, EXTENSION_PROPERTY_COUNT, ExtensionItems, 0, nullptr},
    {&CameraDiagnosticsPropertySet, DIAGNOSTICS_PROPERTY_COUNT, DiagnosticsItems, 0, nullptr},
    {&AutoControlPropertySet, AUTO_CONTROL_PROPERTY_COUNT, AutoControlItems, 0, nullptr},
    {&VideoProcAmpPropertySet, PROCAMP_PROPERTY_COUNT, ProcAmpItems, 0, nullptr},
};
