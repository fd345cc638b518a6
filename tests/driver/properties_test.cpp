// The four device property sets through the property dispatcher, on a device
// configured and initialised against a simulated camera: the tables handed
// to the stream class, every id of every set with its status and byte count,
// the compound restore, save and reload requests, and requests whose buffers
// are missing or too short.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "autocontrol/tone_tables.h"
#include "controls/properties.h"
#include "controls/settings.h"
#include "core/lifecycle.h"
#include "datapath/raw_frame.h"
#include "imaging/pipeline_tables.h"
#include "kald_host/host_kernel.h"
#include "kald_host/host_usb.h"
#include "kald_sim/camera.h"

namespace {

#define TEST_GUID_FIELDS(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
    GUID{static_cast<ULONG>(d1), d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}}
#define TEST_GUID(...) TEST_GUID_FIELDS(__VA_ARGS__)

const GUID kExtension =
    TEST_GUID(0xD410004E, 0x2501, 0x44DF, 0xAC, 0xB3, 0x7B, 0xA8, 0x86, 0x7F, 0x17, 0xD4);
const GUID kDiagnostics =
    TEST_GUID(0x1B7BF9FD, 0x58D3, 0x4718, 0x8F, 0xE2, 0x0A, 0xD6, 0x1B, 0x5C, 0xF0, 0x5D);
const GUID kAutoControl =
    TEST_GUID(0x55F4D52E, 0x6CDE, 0x4E3E, 0xA2, 0x45, 0x44, 0xF9, 0x47, 0x24, 0xB8, 0xC9);
const GUID kProcAmp =
    TEST_GUID(0xC6E13360, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56);
const GUID kGeneralTypes =
    TEST_GUID(0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
const GUID kOtherSet =
    TEST_GUID(0xD410004E, 0x2501, 0x44DF, 0xAC, 0xB3, 0x7B, 0xA8, 0x86, 0x7F, 0x17, 0xD5);

bool Same(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

const std::wstring kSettingsKey = KALDRIN_SETTINGS_KEY;
const std::wstring kDefaultsKey = KALDRIN_DEFAULTS_KEY;

// What the SRB holds before the driver answers: a byte count that no path
// produces, so that "not set" can be told from 0.
constexpr ULONG kUntouchedBytes = 0xABCD;
constexpr NTSTATUS kUnanswered = static_cast<NTSTATUS>(0x12345678);

// One property request as the stream class hands it over: the property
// header and the data record in buffers of exactly the sizes given, so that
// a read or write past either is an overflow the sanitizer sees.
class Request {
public:
    Request(const GUID& set, ULONG id, ULONG flags, size_t dataBytes,
            size_t propertyBytes = sizeof(KSPROPERTY))
        : property(propertyBytes), data(dataBytes)
    {
        KSPROPERTY header{};
        header.Set = set;
        header.Id = id;
        header.Flags = flags;
        std::memcpy(property.data(), &header, std::min(propertyBytes, sizeof header));
        // The record repeats the header, as the property pages send it.
        std::memcpy(data.data(), &header, std::min(dataBytes, sizeof header));
        descriptor.Property = reinterpret_cast<PKSPROPERTY>(property.data());
        descriptor.PropertyInfo = data.data();
        descriptor.PropertyInputSize = static_cast<ULONG>(propertyBytes);
        descriptor.PropertyOutputSize = static_cast<ULONG>(dataBytes);
        srb.CommandData.PropertyInfo = &descriptor;
        srb.Status = kUnanswered;
        srb.ActualBytesTransferred = kUntouchedBytes;
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    template <typename T> T& Record()
    {
        EXPECT_GE(data.size(), sizeof(T));
        return *reinterpret_cast<T*>(data.data());
    }

    std::vector<UCHAR> property;
    std::vector<UCHAR> data;
    STREAM_PROPERTY_DESCRIPTOR descriptor{};
    HW_STREAM_REQUEST_BLOCK srb{};
};

struct ExtReply {
    NTSTATUS status;
    ULONG bytes;
    LONG value;
};

struct DiagReply {
    NTSTATUS status;
    ULONG bytes;
    ULONG value1;
    ULONG value2;
};

struct ProcAmpReply {
    NTSTATUS status;
    ULONG bytes;
    LONG value;
    ULONG flags;
    ULONG capabilities;
    ULONG outputSize; // the descriptor's data size after the request
};

// A video interface description with two pipes, as the library passes it.
struct TwoPipeInterface {
    USBD_INTERFACE_INFORMATION Info;
    USBD_PIPE_INFORMATION SecondPipe;
};

class PropertyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kald::host::RegistryClear();
        kald::host::ResetClock();
        ResetPipelineTables();
        ResetToneTables();
        camera = std::make_unique<kald::sim::Camera>();
        kald::host::BindDevice(&context, camera.get());
        iface.Info.Length = sizeof iface;
        iface.Info.NumberOfPipes = 2;
        ASSERT_EQ(CamConfigureEx(&bus, &context, &iface.Info, &configuration, 2, pipeConfig, &device),
                  STATUS_SUCCESS);
        ASSERT_EQ(CamInitialize(&bus, &context), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        ReleaseBuffers(&context);
        CamUnInitialize(&bus, &context);
        kald::host::BindDevice(&context, nullptr);
        kald::host::RegistryClear();
    }

    // Bandwidth for 176x144 at 30 frames/s: the settings are loaded from the
    // registry and the mode row chosen (30 frames/s when 880-byte packets are
    // allowed), as at the start of a capture run.
    void Allocate()
    {
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        format.DataFormat.FormatSize = sizeof format;
        format.VideoInfoHeader.AvgTimePerFrame = 333333;
        format.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
        format.VideoInfoHeader.bmiHeader.biWidth = 176;
        format.VideoInfoHeader.bmiHeader.biHeight = 144;
        format.VideoInfoHeader.bmiHeader.biCompression = FOURCC_I420;
        ULONG raw = 0;
        ASSERT_EQ(CamAllocateBandwidthEx(&bus, &context, &raw, &format, 0), STATUS_SUCCESS);
    }

    ExtReply Get(ULONG id, const GUID& set = kExtension)
    {
        Request r(set, id, KSPROPERTY_TYPE_GET, sizeof(ExtensionPropertyRecord));
        const NTSTATUS status = CamPropertyDispatch(FALSE, &bus, &context, &r.srb);
        EXPECT_EQ(r.srb.Status, status);
        return {status, r.srb.ActualBytesTransferred, r.Record<ExtensionPropertyRecord>().Value};
    }

    // A set leaves the byte count as it found it.
    NTSTATUS Set(ULONG id, LONG value, const GUID& set = kExtension)
    {
        Request r(set, id, KSPROPERTY_TYPE_SET, sizeof(ExtensionPropertyRecord));
        r.Record<ExtensionPropertyRecord>().Value = value;
        const NTSTATUS status = CamPropertyDispatch(TRUE, &bus, &context, &r.srb);
        EXPECT_EQ(r.srb.Status, status);
        EXPECT_EQ(r.srb.ActualBytesTransferred, kUntouchedBytes) << "id " << id;
        return status;
    }

    // The two values start as all ones, so that a cleared value shows.
    DiagReply Diag(ULONG id)
    {
        Request r(kDiagnostics, id, KSPROPERTY_TYPE_GET, sizeof(DiagnosticsRecord));
        r.Record<DiagnosticsRecord>().Value1 = 0xFFFFFFFF;
        r.Record<DiagnosticsRecord>().Value2 = 0xFFFFFFFF;
        r.Record<DiagnosticsRecord>().Unused1 = 0x11111111;
        r.Record<DiagnosticsRecord>().Unused2 = 0x22222222;
        const NTSTATUS status = CamPropertyDispatch(FALSE, &bus, &context, &r.srb);
        EXPECT_EQ(r.srb.Status, status);
        const DiagnosticsRecord& record = r.Record<DiagnosticsRecord>();
        EXPECT_EQ(record.Unused1, 0x11111111u);
        EXPECT_EQ(record.Unused2, 0x22222222u);
        return {status, r.srb.ActualBytesTransferred, record.Value1, record.Value2};
    }

    // The client offers 48 bytes; the driver says how many it used.
    ProcAmpReply GetProcAmp(ULONG item)
    {
        Request r(kProcAmp, item, KSPROPERTY_TYPE_GET, 48);
        const NTSTATUS status = CamPropertyDispatch(FALSE, &bus, &context, &r.srb);
        EXPECT_EQ(r.srb.Status, status);
        const KSPROPERTY_VIDEOPROCAMP_S& record = r.Record<KSPROPERTY_VIDEOPROCAMP_S>();
        return {status,       r.srb.ActualBytesTransferred, record.Value, record.Flags,
                record.Capabilities, r.descriptor.PropertyOutputSize};
    }

    ProcAmpReply SetProcAmp(ULONG item, LONG value, ULONG flags)
    {
        Request r(kProcAmp, item, KSPROPERTY_TYPE_SET, sizeof(KSPROPERTY_VIDEOPROCAMP_S));
        r.Record<KSPROPERTY_VIDEOPROCAMP_S>().Value = value;
        r.Record<KSPROPERTY_VIDEOPROCAMP_S>().Flags = flags;
        const NTSTATUS status = CamPropertyDispatch(TRUE, &bus, &context, &r.srb);
        EXPECT_EQ(r.srb.Status, status);
        return {status, r.srb.ActualBytesTransferred, 0, 0, 0, r.descriptor.PropertyOutputSize};
    }

    DEVICE_OBJECT bus{};
    USB_CONFIGURATION_DESCRIPTOR configuration{};
    USB_DEVICE_DESCRIPTOR device{};
    USBCAMD_Pipe_Config_Descriptor pipeConfig[2]{{9, 9}, {9, 9}};
    TwoPipeInterface iface{};
    std::unique_ptr<kald::sim::Camera> camera;
    CameraContext context{};
};

// --- The tables handed out with the stream information ---

TEST(PropertySets, FourSetsInOrderWithTheirItems)
{
    struct SetCase {
        GUID guid;
        const GUID* variable;
        std::vector<ULONG> ids;
        ULONG recordBytes;
    };
    const SetCase sets[] = {
        {kExtension, &CameraExtensionPropertySet,
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 14, 15, 10, 11, 12, 13, 16,
          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30},
         32},
        {kDiagnostics, &CameraDiagnosticsPropertySet, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 40},
        {kAutoControl, &AutoControlPropertySet, {0, 1}, 32},
        // Brightness, sharpness, saturation, contrast, white balance, hue.
        {kProcAmp, &VideoProcAmpPropertySet, {0, 4, 3, 1, 7, 2}, 40},
    };
    ASSERT_EQ(DEVICE_PROPERTY_SET_COUNT, 4u);
    for (size_t s = 0; s < 4; ++s) {
        SCOPED_TRACE(s);
        const KSPROPERTY_SET& set = DevicePropertySets[s];
        EXPECT_TRUE(Same(*set.Set, sets[s].guid));
        EXPECT_EQ(set.Set, sets[s].variable);
        EXPECT_EQ(set.FastIoCount, 0u);
        EXPECT_EQ(set.FastIoTable, nullptr);
        ASSERT_EQ(set.PropertiesCount, sets[s].ids.size());
        for (size_t i = 0; i < sets[s].ids.size(); ++i) {
            SCOPED_TRACE(i);
            const KSPROPERTY_ITEM& item = set.PropertyItem[i];
            EXPECT_EQ(item.PropertyId, sets[s].ids[i]);
            EXPECT_EQ(item.GetSupported, TRUE);
            EXPECT_EQ(item.SetSupported, TRUE);
            EXPECT_EQ(item.MinProperty, sets[s].recordBytes);
            EXPECT_EQ(item.MinData, sets[s].recordBytes);
            EXPECT_EQ(item.RelationsCount, 0u);
            EXPECT_EQ(item.Relations, nullptr);
            EXPECT_EQ(item.SupportHandler, nullptr);
            EXPECT_EQ(item.SerializedSize, 4u);
            EXPECT_EQ(item.Values == nullptr, s != 3) << "only the procamp items describe values";
        }
    }
}

TEST(PropertySets, ProcAmpRangesAndDefaults)
{
    struct Case {
        ULONG item;
        LONG minimum, maximum, defaultValue;
    };
    const Case cases[] = {
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 0, 255, 118}, {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 1, 8, 6},
        {KSPROPERTY_VIDEOPROCAMP_SATURATION, 0, 63, 32},   {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 0, 3000, 0},
        {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 0, 20, 10}, {KSPROPERTY_VIDEOPROCAMP_HUE, 0, 358, 179},
    };
    const KSPROPERTY_SET& set = DevicePropertySets[3];
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.item);
        const KSPROPERTY_VALUES* values = set.PropertyItem[i].Values;
        ASSERT_NE(values, nullptr);
        EXPECT_TRUE(Same(values->PropTypeSet.Set, kGeneralTypes));
        EXPECT_EQ(values->PropTypeSet.Id, 3u); // VT_I4
        EXPECT_EQ(values->PropTypeSet.Flags, 0u);
        ASSERT_EQ(values->MembersListCount, 2u);

        const KSPROPERTY_MEMBERSLIST& range = values->MembersList[0];
        EXPECT_EQ(range.MembersHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_RANGES));
        EXPECT_EQ(range.MembersHeader.MembersSize, sizeof(KSPROPERTY_STEPPING_LONG));
        EXPECT_EQ(range.MembersHeader.MembersCount, 1u);
        EXPECT_EQ(range.MembersHeader.Flags, 0u);
        const auto* stepping = static_cast<const KSPROPERTY_STEPPING_LONG*>(range.Members);
        EXPECT_EQ(stepping->SteppingDelta, 1u);
        EXPECT_EQ(stepping->Reserved, 0u);
        EXPECT_EQ(stepping->Bounds.SignedMinimum, c.minimum);
        EXPECT_EQ(stepping->Bounds.SignedMaximum, c.maximum);

        const KSPROPERTY_MEMBERSLIST& fallback = values->MembersList[1];
        EXPECT_EQ(fallback.MembersHeader.MembersFlags, ULONG(KSPROPERTY_MEMBER_VALUES));
        EXPECT_EQ(fallback.MembersHeader.MembersSize, 4u);
        EXPECT_EQ(fallback.MembersHeader.MembersCount, 4u) << "the count carries the size";
        EXPECT_EQ(fallback.MembersHeader.Flags, ULONG(KSPROPERTY_MEMBER_FLAG_DEFAULT));
        EXPECT_EQ(*static_cast<const LONG*>(fallback.Members), c.defaultValue);
    }
}

// --- CameraExtensionPropertySet ---

TEST_F(PropertyTest, ExtensionGetAnswersEveryId)
{
    Allocate();
    ASSERT_EQ(context.ModeFrameRate, 30);
    // A distinct value in every field, live and persisted, so that a get
    // reading the wrong one shows.
    CameraSettings& s = context.CameraSettings;
    context.AutoExposureOn = 7; // any non-zero value reads as 1
    context.AutoWhiteBalanceOn = 0;
    s.AutoExposureState = 0;
    s.AutoWhiteBalanceState = 1;
    s.CompressionState = 1;
    context.Saturation = 11, s.SaturationSetting = 12;
    context.Brightness = 21, s.ExposureTarget = 22;
    context.WhiteBalanceLevel = 5, s.WhiteBalanceTarget = 6;
    context.Sharpness = 3, s.SharpnessSetting = 4;
    context.HueAngleIndex = 0, s.HueSetting = 200;
    context.AutoControlState.Gain = 70;
    context.AutoControlState.Shutter = 292; // 4/120 s at 30 frames/s
    s.FlickerCompState = 1;
    s.FlickerCompFreq = 2;
    context.Contrast = 1500, s.ContrastSetting = 1501;
    context.Gamma = 3, s.GammaSetting = 4;
    s.MsToSkipPackets = 33;
    s.MaxPacketSizeAllowed = 5000;
    s.AeAwbInterval = 64;
    s.AePeriod = 2;
    s.FixedAePeriodState = 0;
    s.AwbPeriod = 4;
    s.FixedAwbPeriodState = 7;
    s.DpcState = 0;

    struct Case {
        ULONG id;
        NTSTATUS status;
        LONG value;
    };
    const Case cases[] = {
        {EXT_AUTO_EXPOSURE_STATE, STATUS_SUCCESS, 1},  // live, not the setting
        {EXT_AUTO_WHITE_BALANCE_STATE, STATUS_SUCCESS, 0},
        {EXT_COMPRESSION_STATE, STATUS_SUCCESS, 1},
        {EXT_SATURATION, STATUS_SUCCESS, 11},
        {EXT_EXPOSURE_TARGET, STATUS_SUCCESS, 21},
        {EXT_WHITE_BALANCE_TARGET, STATUS_SUCCESS, 5},
        {EXT_UNSUPPORTED_6, STATUS_NOT_SUPPORTED, 0},
        {EXT_UNSUPPORTED_7, STATUS_NOT_SUPPORTED, 0},
        {EXT_SHARPNESS, STATUS_SUCCESS, 3},
        {EXT_HUE, STATUS_SUCCESS, 200}, // the setting, not the live angle
        {EXT_GAIN, STATUS_SUCCESS, 70},
        {EXT_EXPOSURE_TIME, STATUS_SUCCESS, 4},
        {EXT_FLICKER_COMP_STATE, STATUS_SUCCESS, 1},
        {EXT_FLICKER_COMP_FREQ, STATUS_SUCCESS, 2},
        {EXT_CONTRAST, STATUS_SUCCESS, 1500},
        {EXT_GAMMA, STATUS_SUCCESS, 3},
        {EXT_MS_TO_SKIP_PACKETS, STATUS_SUCCESS, 33},
        {EXT_MAX_PACKET_SIZE_ALLOWED, STATUS_SUCCESS, 5000},
        {EXT_AEAWB_INTERVAL, STATUS_SUCCESS, 64},
        {EXT_AE_PERIOD, STATUS_SUCCESS, 2},
        {EXT_FIXED_AE_PERIOD_STATE, STATUS_SUCCESS, 0},
        {EXT_AWB_PERIOD, STATUS_SUCCESS, 4},
        {EXT_FIXED_AWB_PERIOD_STATE, STATUS_SUCCESS, 7},
        {EXT_DPC_STATE, STATUS_SUCCESS, 0},
        // The actions and the test page's two switches cannot be read.
        {EXT_RESTORE_PICTURE_DEFAULTS, STATUS_NOT_SUPPORTED, 0},
        {EXT_RESTORE_FLICKER_DEFAULTS, STATUS_NOT_SUPPORTED, 0},
        {EXT_RESTORE_TEST_DEFAULTS, STATUS_NOT_SUPPORTED, 0},
        {EXT_SAVE_SETTINGS, STATUS_NOT_SUPPORTED, 0},
        {EXT_RELOAD_SETTINGS, STATUS_NOT_SUPPORTED, 0},
        {EXT_FRAME_ERROR_TEST, STATUS_NOT_SUPPORTED, 0},
        {EXT_PACKET_ERROR_TEST, STATUS_NOT_SUPPORTED, 0},
        {31, STATUS_NOT_SUPPORTED, 0},
        {0xFFFFFFFF, STATUS_NOT_SUPPORTED, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const ExtReply reply = Get(c.id);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.bytes, 32u) << "every get reports the whole record";
        EXPECT_EQ(reply.value, c.value);
    }

    // A flicker state that is neither off nor on cannot be reported.
    s.FlickerCompState = 2;
    const ExtReply bad = Get(EXT_FLICKER_COMP_STATE);
    EXPECT_EQ(bad.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad.bytes, 32u);
}

TEST_F(PropertyTest, ExtensionSetAcceptsAndRejectsEveryId)
{
    Allocate(); // the built-in settings
    using Field = ULONG CameraSettings::*;
    struct Case {
        ULONG id;
        LONG value;
        NTSTATUS status;
        Field setting;            // the persisted copy, if any
        ULONG settingAfter;
        std::optional<LONG> read; // what a get then answers
    };
    const NTSTATUS ok = STATUS_SUCCESS, bad = STATUS_INVALID_PARAMETER, no = STATUS_NOT_SUPPORTED;
    const Case cases[] = {
        {EXT_AUTO_EXPOSURE_STATE, 0, ok, &CameraSettings::AutoExposureState, 0, 0},
        {EXT_AUTO_EXPOSURE_STATE, 2, bad, &CameraSettings::AutoExposureState, 0, 0},
        {EXT_AUTO_EXPOSURE_STATE, 1, ok, &CameraSettings::AutoExposureState, 1, 1},
        {EXT_AUTO_WHITE_BALANCE_STATE, 0, ok, &CameraSettings::AutoWhiteBalanceState, 0, 0},
        {EXT_AUTO_WHITE_BALANCE_STATE, -1, bad, &CameraSettings::AutoWhiteBalanceState, 0, 0},
        {EXT_COMPRESSION_STATE, 0, no, &CameraSettings::CompressionState, 1, 1},
        {EXT_COMPRESSION_STATE, 1, ok, &CameraSettings::CompressionState, 1, 1},
        {EXT_SATURATION, 63, ok, &CameraSettings::SaturationSetting, 63, 63},
        {EXT_SATURATION, 64, bad, &CameraSettings::SaturationSetting, 63, 63},
        {EXT_SATURATION, -1, bad, &CameraSettings::SaturationSetting, 63, 63},
        {EXT_EXPOSURE_TARGET, 255, ok, &CameraSettings::ExposureTarget, 255, 255},
        {EXT_EXPOSURE_TARGET, 256, bad, &CameraSettings::ExposureTarget, 255, 255},
        {EXT_WHITE_BALANCE_TARGET, 20, ok, &CameraSettings::WhiteBalanceTarget, 20, 20},
        {EXT_WHITE_BALANCE_TARGET, 21, bad, &CameraSettings::WhiteBalanceTarget, 20, 20},
        {EXT_UNSUPPORTED_6, 1, no, nullptr, 0, std::nullopt},
        {EXT_UNSUPPORTED_7, 1, no, nullptr, 0, std::nullopt},
        {EXT_SHARPNESS, 1, ok, &CameraSettings::SharpnessSetting, 1, 1},
        {EXT_SHARPNESS, 9, bad, &CameraSettings::SharpnessSetting, 1, 1},
        {EXT_SHARPNESS, 0, bad, &CameraSettings::SharpnessSetting, 1, 1},
        {EXT_HUE, 0, ok, &CameraSettings::HueSetting, 0, 0},
        {EXT_HUE, 359, bad, &CameraSettings::HueSetting, 0, 0},
        {EXT_GAIN, 70, ok, &CameraSettings::GainSetting, 10, 70}, // not persisted
        {EXT_EXPOSURE_TIME, 3, ok, &CameraSettings::ExposureTimeSetting, 4, 3}, // not persisted
        {EXT_FLICKER_COMP_STATE, 1, ok, &CameraSettings::FlickerCompState, 1, 1},
        {EXT_FLICKER_COMP_STATE, 2, bad, &CameraSettings::FlickerCompState, 1, 1},
        {EXT_FLICKER_COMP_FREQ, 1, ok, &CameraSettings::FlickerCompFreq, 1, 1},
        {EXT_FLICKER_COMP_FREQ, 2, ok, &CameraSettings::FlickerCompFreq, 2, 2}, // off, stored
        {EXT_FLICKER_COMP_FREQ, 3, bad, &CameraSettings::FlickerCompFreq, 2, 2},
        {EXT_CONTRAST, 3000, ok, &CameraSettings::ContrastSetting, 3000, 3000},
        {EXT_CONTRAST, 3001, bad, &CameraSettings::ContrastSetting, 3000, 3000},
        {EXT_GAMMA, 0, ok, &CameraSettings::GammaSetting, 0, 0},
        {EXT_GAMMA, 10, bad, &CameraSettings::GammaSetting, 0, 0},
        // 16 to 23 store whatever they are given.
        {EXT_MS_TO_SKIP_PACKETS, 5, ok, &CameraSettings::MsToSkipPackets, 5, 5},
        {EXT_MAX_PACKET_SIZE_ALLOWED, 5000, ok, &CameraSettings::MaxPacketSizeAllowed, 5000, 5000},
        {EXT_AEAWB_INTERVAL, 1000, ok, &CameraSettings::AeAwbInterval, 1000, 1000},
        {EXT_AE_PERIOD, 99, ok, &CameraSettings::AePeriod, 99, 99},
        {EXT_FIXED_AE_PERIOD_STATE, 7, ok, &CameraSettings::FixedAePeriodState, 7, 7},
        {EXT_AWB_PERIOD, -3, ok, &CameraSettings::AwbPeriod, 0xFFFFFFFD, -3},
        {EXT_FIXED_AWB_PERIOD_STATE, 2, ok, &CameraSettings::FixedAwbPeriodState, 2, 2},
        {EXT_DPC_STATE, 0, ok, &CameraSettings::DpcState, 0, 0},
        {EXT_FRAME_ERROR_TEST, 1, no, nullptr, 0, std::nullopt},
        {EXT_PACKET_ERROR_TEST, 1, no, nullptr, 0, std::nullopt},
        {31, 1, no, nullptr, 0, std::nullopt},
        {0xFFFFFFFF, 1, no, nullptr, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "id " << c.id << " value " << c.value);
        EXPECT_EQ(Set(c.id, c.value), c.status);
        if (c.setting != nullptr) {
            EXPECT_EQ(context.CameraSettings.*c.setting, c.settingAfter);
        }
        if (c.read) {
            const ExtReply reply = Get(c.id);
            EXPECT_EQ(reply.status, STATUS_SUCCESS);
            EXPECT_EQ(reply.value, *c.read);
        }
    }
    // The live values behind the gets above.
    EXPECT_EQ(context.AutoExposureOn, 1);
    EXPECT_EQ(context.Saturation, 63);
    EXPECT_EQ(context.Brightness, 255);
    EXPECT_EQ(context.WhiteBalanceLevel, 20u);
    EXPECT_EQ(context.Sharpness, 1);
    EXPECT_EQ(context.HueAngleIndex, 540);
    EXPECT_EQ(context.Contrast, 3000);
    EXPECT_EQ(context.Gamma, 0u);

    // Gain goes to the sensor as it is given (flicker changes above have
    // rewritten the exposure since).
    ASSERT_EQ(Set(EXT_GAIN, 70), STATUS_SUCCESS);
    EXPECT_EQ(camera->SensorRegister(0x35), 0x0063) << "gain code 70 goes out as 0x40 + 70 / 2";
}

TEST_F(PropertyTest, GetsBeforeTheFirstAllocationSeeTheBuiltInSettings)
{
    EXPECT_EQ(Get(EXT_SATURATION).value, 32);
    const ProcAmpReply hue = GetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE);
    EXPECT_EQ(hue.status, STATUS_SUCCESS);
    EXPECT_EQ(hue.value, 179);

    const DiagReply config = Diag(DIAG_CONFIGURATION);
    ASSERT_EQ(config.status, STATUS_SUCCESS);
    // Height 0, alternate setting 0, Initialized (3), probation 0, no
    // allocation yet, no FOURCC (2).
    EXPECT_EQ(config.value2, 0x20030000u);
    EXPECT_EQ(config.value1 & ~(0x3FFu << 2), 0u) << "no errors, no gate period, width 0";
}

// A property page saves when its first user opens it, which may be before
// any capture run: that save must write back what is stored, not the empty
// record of a device that has never loaded its settings.
TEST_F(PropertyTest, SaveBeforeTheFirstRunKeepsTheStoredSettings)
{
    kald::host::RegistrySetDword(kSettingsKey, L"Saturation", 50);
    kald::host::RegistrySetDword(kSettingsKey, L"Auto Exposure State", 0);
    ASSERT_EQ(CamInitialize(&bus, &context), STATUS_SUCCESS);
    EXPECT_EQ(Get(EXT_SATURATION).value, 50);

    EXPECT_EQ(Set(EXT_SAVE_SETTINGS, 0), STATUS_SUCCESS);
    EXPECT_EQ(kald::host::RegistryGetDword(kSettingsKey, L"Saturation"), 50u);
    EXPECT_EQ(kald::host::RegistryGetDword(kSettingsKey, L"Auto Exposure State"), 0u);
    EXPECT_EQ(kald::host::RegistryGetDword(kSettingsKey, L"Exposure Target"), 118u);
}

TEST_F(PropertyTest, HueSetThroughEitherSetReadsBackThroughBoth)
{
    Allocate();
    ASSERT_EQ(Set(EXT_AUTO_WHITE_BALANCE_STATE, 0), STATUS_SUCCESS);
    ASSERT_EQ(Set(EXT_HUE, 200), STATUS_SUCCESS);
    EXPECT_EQ(Get(EXT_HUE).value, 200);
    EXPECT_EQ(GetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE).value, 200);

    ASSERT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE, 100, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL).status,
              STATUS_SUCCESS);
    EXPECT_EQ(Get(EXT_HUE).value, 100);
    EXPECT_EQ(GetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE).value, 100);

    // Automatic white balance holds the live hue at 179; the setting stays.
    ASSERT_EQ(Set(EXT_AUTO_WHITE_BALANCE_STATE, 1), STATUS_SUCCESS);
    EXPECT_EQ(GetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE).value, 179);
    EXPECT_EQ(Get(EXT_HUE).value, 100);
}

TEST_F(PropertyTest, ExposureTimeFollowsTheModeFrameRate)
{
    Allocate();
    struct Case {
        USHORT frameRate;
        LONG value;
        NTSTATUS status;
        USHORT rows; // the shutter afterwards
        LONG read;   // what a get at the same rate then answers
    };
    const Case cases[] = {
        {30, 4, STATUS_SUCCESS, 292, 4},   // 73 rows per 1/120 s
        {30, 1, STATUS_SUCCESS, 73, 1},
        {21, 4, STATUS_SUCCESS, 208, 4},   // 52
        {15, 4, STATUS_SUCCESS, 145, 4},   // 36.125
        {10, 4, STATUS_SUCCESS, 97, 4},    // 24.2
        {10, 27, STATUS_SUCCESS, 653, 27}, // the longest the test page offers
        {25, 2, STATUS_SUCCESS, 146, 2},   // any other rate counts as 30
        {30, 0, STATUS_SUCCESS, 0, 0},
        {30, 56, STATUS_SUCCESS, 4088, 56}, // the most the shutter register holds
        {10, 169, STATUS_SUCCESS, 4090, 169},
        // Rows the register cannot hold are refused, the shutter unchanged.
        {30, 57, STATUS_INVALID_PARAMETER, 4090, 56}, // 4,161 rows
        {10, 170, STATUS_INVALID_PARAMETER, 4090, 169},
        {30, -1, STATUS_INVALID_PARAMETER, 4090, 56},
        {10, std::numeric_limits<LONG>::max(), STATUS_INVALID_PARAMETER, 4090, 169},
        {30, std::numeric_limits<LONG>::min(), STATUS_INVALID_PARAMETER, 4090, 56},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " at " << c.frameRate);
        context.ModeFrameRate = c.frameRate;
        camera->ClearLogs();
        EXPECT_EQ(Set(EXT_EXPOSURE_TIME, c.value), c.status);
        EXPECT_EQ(context.AutoControlState.Shutter, c.rows);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(camera->SensorRegister(0x09), 0x1000 + c.rows);
        } else {
            EXPECT_TRUE(camera->SensorWriteLog().empty());
        }
        EXPECT_EQ(Get(EXT_EXPOSURE_TIME).value, c.read);
    }
}

TEST_F(PropertyTest, AutoExposureSwitchKeepsTheScheduleUnlessSwitchedOn)
{
    Allocate();
    for (const GUID& set : {kExtension, kAutoControl}) {
        SCOPED_TRACE(Same(set, kExtension) ? "extension set" : "auto-control set");
        context.AutoPhase = 1;
        context.AeStepsInPhase = 3;
        ASSERT_EQ(context.CameraSettings.AutoExposureState, 1u);

        EXPECT_EQ(Set(0, 2, set), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(context.CameraSettings.AutoExposureState, 1u);
        EXPECT_EQ(context.AutoExposureOn, 1);
        EXPECT_EQ(context.AutoPhase, 1u);
        EXPECT_EQ(context.AeStepsInPhase, 3);

        EXPECT_EQ(Set(0, 0, set), STATUS_SUCCESS);
        EXPECT_EQ(context.CameraSettings.AutoExposureState, 0u);
        EXPECT_EQ(context.AutoControlState.EnableFlags & AUTO_ENABLE_EXPOSURE, 0u);
        EXPECT_EQ(Get(0, set).value, 0);
        EXPECT_EQ(context.AutoPhase, 1u) << "switching off leaves the schedule";
        EXPECT_EQ(context.AeStepsInPhase, 3);

        EXPECT_EQ(Set(0, 1, set), STATUS_SUCCESS);
        EXPECT_EQ(context.CameraSettings.AutoExposureState, 1u);
        EXPECT_EQ(context.AutoControlState.EnableFlags & AUTO_ENABLE_EXPOSURE, AUTO_ENABLE_EXPOSURE);
        EXPECT_EQ(Get(0, set).value, 1);
        EXPECT_EQ(context.AutoPhase, 0u) << "switching on restarts the exposure phase";
        EXPECT_EQ(context.AeStepsInPhase, 0);
    }
}

TEST_F(PropertyTest, AutoWhiteBalanceSwitchedOnRunsWhiteBalanceNext)
{
    Allocate();
    ASSERT_EQ(CamStartCaptureEx(&bus, &context, 0), STATUS_SUCCESS);
    for (const GUID& set : {kExtension, kAutoControl}) {
        SCOPED_TRACE(Same(set, kExtension) ? "extension set" : "auto-control set");
        ASSERT_EQ(Set(1, 0, set), STATUS_SUCCESS);
        EXPECT_EQ(context.AutoWhiteBalanceOn, 0u);
        context.AutoPhase = 0; // halfway through an exposure phase
        context.AeStepsInPhase = 1;
        context.AwbStepsInPhase = 5;

        EXPECT_EQ(Set(1, 2, set), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(context.AutoPhase, 0u);
        EXPECT_EQ(context.AwbStepsInPhase, 5);

        EXPECT_EQ(Set(1, 1, set), STATUS_SUCCESS);
        EXPECT_EQ(context.CameraSettings.AutoWhiteBalanceState, 1u);
        EXPECT_EQ(Get(1, set).value, 1);
        EXPECT_EQ(context.AutoPhase, 1u);
        EXPECT_EQ(context.AwbStepsInPhase, 0);

        // The next schedule tick takes a white-balance step.
        context.MsClock += context.CameraSettings.AeAwbInterval;
        RunAutoControlSchedule(&context);
        EXPECT_EQ(context.AwbStepsInPhase, 1);
        EXPECT_EQ(context.AeStepsInPhase, 1);
    }
    EXPECT_EQ(CamStopCaptureEx(&bus, &context, 0), STATUS_SUCCESS);
}

TEST_F(PropertyTest, AutoControlSetServesOnlyTheTwoSwitches)
{
    Allocate();
    for (ULONG id : {2u, 3u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(id);
        const ExtReply reply = Get(id, kAutoControl);
        EXPECT_EQ(reply.status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(reply.bytes, 32u);
        EXPECT_EQ(Set(id, 1, kAutoControl), STATUS_NOT_SUPPORTED);
    }
}

// --- Restores, save and reload ---

TEST_F(PropertyTest, MaxPacketSizeBeyondItsRangeIsStoredButNeverSaved)
{
    kald::host::RegistrySetDword(kSettingsKey, L"Max Packet Size Allowed", 700);
    Allocate();
    ASSERT_EQ(context.CameraSettings.MaxPacketSizeAllowed, 700u);
    ASSERT_EQ(Set(EXT_MAX_PACKET_SIZE_ALLOWED, 5000), STATUS_SUCCESS);
    EXPECT_EQ(Get(EXT_MAX_PACKET_SIZE_ALLOWED).value, 5000);

    EXPECT_EQ(Set(EXT_SAVE_SETTINGS, 0), STATUS_SUCCESS);
    EXPECT_EQ(kald::host::RegistryGetDword(kSettingsKey, L"Max Packet Size Allowed"), 700u);
    ASSERT_EQ(CamFreeBandwidthEx(&bus, &context, 0), STATUS_SUCCESS);
    EXPECT_EQ(kald::host::RegistryGetDword(kSettingsKey, L"Max Packet Size Allowed"), 700u);
    Allocate();
    EXPECT_EQ(context.CameraSettings.MaxPacketSizeAllowed, 700u);
}

TEST_F(PropertyTest, SaveReportsOnlyTheClockWrite)
{
    Allocate();
    struct Case {
        size_t failingWrite; // 1: the first setting; 27: after 25 settings and the probation length
        NTSTATUS status;
    };
    for (const Case& c : {Case{1, STATUS_SUCCESS}, Case{27, STATUS_UNSUCCESSFUL}}) {
        SCOPED_TRACE(c.failingWrite);
        kald::host::RegistryClear();
        kald::host::FailRegistryWrite(c.failingWrite);
        EXPECT_EQ(Set(EXT_SAVE_SETTINGS, 0), c.status);
        EXPECT_EQ(kald::host::RegistryGetDword(kSettingsKey, L"Gamma"), 7u);
    }
}

TEST_F(PropertyTest, PictureRestoreAppliesTheDefaultsButLeavesTheControllersGains)
{
    struct Case {
        ULONG awbDefault;
        LONG liveHue;      // what the procamp hue reads after the restore
        USHORT redAfter;   // the controller's red gain, and what a save writes
        USHORT blueAfter;
    };
    // Automatic white balance keeps hue 179 and the controller's gains;
    // manual restores the hue and writes the gains of level 12.
    const Case cases[] = {{1, 179, 90, 95}, {0, 100, 72, 85}};
    Allocate();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.awbDefault);
        kald::host::RegistrySetDword(kDefaultsKey, L"Auto White Balance State", c.awbDefault);
        kald::host::RegistrySetDword(kDefaultsKey, L"Saturation", 10);
        kald::host::RegistrySetDword(kDefaultsKey, L"Hue", 100);
        kald::host::RegistrySetDword(kDefaultsKey, L"Sharpness", 3);
        kald::host::RegistrySetDword(kDefaultsKey, L"White Balance Target", 12);
        kald::host::RegistrySetDword(kDefaultsKey, L"Exposure Target", 150);
        kald::host::RegistrySetDword(kDefaultsKey, L"Contrast", 900); // not a picture setting
        ASSERT_EQ(Set(EXT_AUTO_WHITE_BALANCE_STATE, 1), STATUS_SUCCESS);
        ASSERT_EQ(Set(EXT_SATURATION, 50), STATUS_SUCCESS);
        ASSERT_EQ(Set(EXT_HUE, 300), STATUS_SUCCESS);
        ASSERT_EQ(Set(EXT_CONTRAST, 40), STATUS_SUCCESS);
        context.AutoControlState.RedGain = 90; // where white balance has taken it
        context.AutoControlState.BlueGain = 95;

        EXPECT_EQ(Set(EXT_RESTORE_PICTURE_DEFAULTS, 12345), STATUS_SUCCESS);
        const CameraSettings& s = context.CameraSettings;
        EXPECT_EQ(s.SaturationSetting, 10u);
        EXPECT_EQ(s.HueSetting, 100u);
        EXPECT_EQ(s.SharpnessSetting, 3u);
        EXPECT_EQ(s.WhiteBalanceTarget, 12u);
        EXPECT_EQ(s.ExposureTarget, 150u);
        EXPECT_EQ(s.AutoWhiteBalanceState, c.awbDefault);
        EXPECT_EQ(s.AutoExposureState, 1u);
        EXPECT_EQ(s.WhiteBalanceRedGain, 72u);
        EXPECT_EQ(s.WhiteBalanceBlueGain, 99u);
        EXPECT_EQ(s.AgcStep, 69u);
        EXPECT_EQ(s.ContrastSetting, 40u);
        EXPECT_EQ(Get(EXT_SATURATION).value, 10);
        EXPECT_EQ(Get(EXT_SHARPNESS).value, 3);
        EXPECT_EQ(Get(EXT_EXPOSURE_TARGET).value, 150);
        EXPECT_EQ(Get(EXT_WHITE_BALANCE_TARGET).value, 12);
        EXPECT_EQ(Get(EXT_AUTO_WHITE_BALANCE_STATE).value, LONG(c.awbDefault));
        EXPECT_EQ(Get(EXT_HUE).value, 100);
        EXPECT_EQ(GetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE).value, c.liveHue);
        EXPECT_EQ(Get(EXT_CONTRAST).value, 40);
        EXPECT_EQ(context.AutoControlState.RedGain, c.redAfter);
        EXPECT_EQ(context.AutoControlState.BlueGain, c.blueAfter);

        ASSERT_EQ(Set(EXT_SAVE_SETTINGS, 0), STATUS_SUCCESS);
        EXPECT_EQ(kald::host::RegistryGetDword(kSettingsKey, L"White Balance Red Gain"), c.redAfter);
        EXPECT_EQ(kald::host::RegistryGetDword(kSettingsKey, L"White Balance Blue Gain"), c.blueAfter);
        EXPECT_EQ(kald::host::RegistryGetDword(kSettingsKey, L"Hue"), 100u);
    }
}

TEST_F(PropertyTest, FlickerRestoreAppliesTheRestoredState)
{
    struct Case {
        std::optional<ULONG> state, frequency; // under Defaults
        ULONG stateAfter, frequencyAfter;
        UCHAR flickerOff;
        USHORT hz;
    };
    const Case cases[] = {
        {1, 1, 1, 1, 0, 50},
        {1, 0, 1, 0, 0, 60},
        {std::nullopt, 1, 0, 1, 1, 60},
        {5, 7, 0, 0, 1, 60}, // out of range: the built-in defaults
    };
    Allocate();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.stateAfter << "/" << c.frequencyAfter);
        kald::host::RegistryClear();
        if (c.state) {
            kald::host::RegistrySetDword(kDefaultsKey, L"Fluo Flicker Comp State", *c.state);
        }
        kald::host::RegistrySetDword(kDefaultsKey, L"Fluo Flicker Comp Freq", *c.frequency);
        ASSERT_EQ(Set(EXT_FLICKER_COMP_STATE, c.stateAfter == 0 ? 1 : 0), STATUS_SUCCESS);
        EXPECT_EQ(Set(EXT_RESTORE_FLICKER_DEFAULTS, 0), STATUS_SUCCESS);
        EXPECT_EQ(context.CameraSettings.FlickerCompState, c.stateAfter);
        EXPECT_EQ(context.CameraSettings.FlickerCompFreq, c.frequencyAfter);
        EXPECT_EQ(context.AutoControlState.FlickerOff, c.flickerOff);
        EXPECT_EQ(context.AutoControlState.FlickerHz, c.hz);
    }

    // A held state that is neither off nor on is refused by the control.
    context.CameraSettings.FlickerCompState = 2;
    EXPECT_EQ(ApplyFlickerSettings(&context), STATUS_INVALID_PARAMETER);
}

TEST_F(PropertyTest, TestRestoreAppliesCompressionContrastAndGamma)
{
    Allocate();
    kald::host::RegistrySetDword(kDefaultsKey, L"Contrast", 500);
    kald::host::RegistrySetDword(kDefaultsKey, L"Gamma", 3);
    kald::host::RegistrySetDword(kDefaultsKey, L"AE Period", 9);
    ASSERT_EQ(Set(EXT_CONTRAST, 3000), STATUS_SUCCESS);
    ASSERT_EQ(Set(EXT_GAMMA, 0), STATUS_SUCCESS);
    ASSERT_EQ(Set(EXT_MAX_PACKET_SIZE_ALLOWED, 5000), STATUS_SUCCESS);
    ASSERT_EQ(Set(EXT_DPC_STATE, 0), STATUS_SUCCESS);
    ASSERT_EQ(Set(EXT_MS_TO_SKIP_PACKETS, 400), STATUS_SUCCESS);
    ASSERT_EQ(Set(EXT_SATURATION, 50), STATUS_SUCCESS);

    EXPECT_EQ(Set(EXT_RESTORE_TEST_DEFAULTS, 0), STATUS_SUCCESS);
    const CameraSettings& s = context.CameraSettings;
    EXPECT_EQ(s.ContrastSetting, 500u);
    EXPECT_EQ(s.GammaSetting, 3u);
    EXPECT_EQ(s.AePeriod, 9u);
    EXPECT_EQ(s.MaxPacketSizeAllowed, 1024u);
    EXPECT_EQ(s.DpcState, 1u);
    EXPECT_EQ(s.MsToSkipPackets, 125u);
    EXPECT_EQ(s.CompressionState, 1u);
    EXPECT_EQ(context.Contrast, 500);
    EXPECT_EQ(context.Gamma, 3u);
    EXPECT_EQ(s.SaturationSetting, 50u) << "picture settings are not test settings";
    EXPECT_EQ(context.Saturation, 50);
}

TEST_F(PropertyTest, ReloadWithNoRegistryKeysRestoresEveryBuiltInDefault)
{
    kald::host::RegistrySetDword(kSettingsKey, L"Saturation", 40);
    kald::host::RegistrySetDword(kSettingsKey, L"AGC Step", 20);
    Allocate();
    ASSERT_EQ(context.Saturation, 40);
    ASSERT_EQ(Set(EXT_AUTO_WHITE_BALANCE_STATE, 0), STATUS_SUCCESS);
    ASSERT_EQ(Set(EXT_AUTO_EXPOSURE_STATE, 0), STATUS_SUCCESS);
    ASSERT_EQ(Set(EXT_CONTRAST, 3000), STATUS_SUCCESS);
    ASSERT_EQ(Set(EXT_FLICKER_COMP_STATE, 1), STATUS_SUCCESS);
    ASSERT_EQ(Set(EXT_AWB_PERIOD, 3), STATUS_SUCCESS);
    context.MsClock = 4321;
    context.FerProbationLength = 8192;

    kald::host::RegistryClear();
    EXPECT_EQ(Set(EXT_RELOAD_SETTINGS, 0), STATUS_SUCCESS);
    // The built-in default of every setting, in record order.
    const ULONG defaults[25] = {1, 1, 118, 10, 32, 6, 179, 1, 0, 7, 0, 0, 1024,
                                125, 72, 99, 4, 10, 69, 128, 6, 1, 1, 1, 1};
    const ULONG* held = reinterpret_cast<const ULONG*>(&context.CameraSettings);
    for (size_t i = 0; i < std::size(defaults); ++i) {
        EXPECT_EQ(held[i], defaults[i]) << "field " << i;
    }
    EXPECT_EQ(context.FerProbationLength, 1048576u);
    EXPECT_EQ(context.MsClock, 0u);
    // The live controls and the controller follow.
    EXPECT_EQ(context.AutoExposureOn, 1);
    EXPECT_EQ(context.AutoWhiteBalanceOn, 1u);
    EXPECT_EQ(context.AutoControlState.EnableFlags, AUTO_ENABLE_EXPOSURE | AUTO_ENABLE_WHITE_BALANCE);
    EXPECT_EQ(context.Brightness, 118);
    EXPECT_EQ(context.WhiteBalanceLevel, 10u);
    EXPECT_EQ(context.Saturation, 32);
    EXPECT_EQ(context.Sharpness, 6);
    EXPECT_EQ(context.HueAngleIndex, 719);
    EXPECT_EQ(context.Contrast, 0);
    EXPECT_EQ(context.Gamma, 7u);
    EXPECT_EQ(context.AutoControlState.RedGain, 72);
    EXPECT_EQ(context.AutoControlState.BlueGain, 99);
    EXPECT_EQ(context.AutoControlState.ExposureIndex, 69);
    EXPECT_EQ(context.AutoControlState.FlickerOff, 1) << "flicker compensation off again";
}

TEST_F(PropertyTest, ReloadAppliesTheStoredSettings)
{
    Allocate();
    kald::host::RegistrySetDword(kSettingsKey, L"Saturation", 40);
    kald::host::RegistrySetDword(kSettingsKey, L"Gamma", 2);
    kald::host::RegistrySetDword(kSettingsKey, L"Hue", 200);
    kald::host::RegistrySetDword(kSettingsKey, L"Auto White Balance State", 0);
    kald::host::RegistrySetDword(kSettingsKey, L"White Balance Target", 0);
    kald::host::RegistrySetDword(kSettingsKey, L"Fluo Flicker Comp State", 1);
    kald::host::RegistrySetDword(kSettingsKey, L"Fluo Flicker Comp Freq", 1);
    EXPECT_EQ(Set(EXT_RELOAD_SETTINGS, 0), STATUS_SUCCESS);
    EXPECT_EQ(Get(EXT_SATURATION).value, 40);
    EXPECT_EQ(Get(EXT_GAMMA).value, 2);
    EXPECT_EQ(Get(EXT_AUTO_WHITE_BALANCE_STATE).value, 0);
    EXPECT_EQ(GetProcAmp(KSPROPERTY_VIDEOPROCAMP_HUE).value, 200);
    EXPECT_EQ(context.AutoControlState.FlickerHz, 50);
    EXPECT_EQ(camera->Register(0x8651), 136) << "manual white balance at level 0";
}

// --- CameraDiagnosticsPropertySet ---

TEST_F(PropertyTest, TrafficReportsDeltasSinceTheLastRead)
{
    Allocate();
    context.MsClock = 1000;
    context.PacketCount = 0x12345;
    context.FrameStartCount = 300;
    context.RawFrameCount = 0x1FF;
    context.GoodFrameCount = 5;
    context.MaxIdlePacketRun = 400;
    context.TrafficSnapshotClock = 0;
    std::fill(std::begin(context.TrafficSnapshotCounters), std::end(context.TrafficSnapshotCounters), 0);

    struct Case {
        ULONG clockStep, packets, frameStarts, rawFrames, goodFrames, maxIdle;
        ULONG value1, value2;
    };
    const Case cases[] = {
        // packets 0x12345 -> 0x2345; clock 1000; raw 0x1FF -> 0xFF; good 5;
        // starts 300 -> 0x2C; idle 400 -> 255.
        {0, 0, 0, 0, 0, 0, 0x234503E8, 0xFF052CFF},
        // Nothing since: all zero, the idle run was cleared by the first read.
        {0, 0, 0, 0, 0, 0, 0, 0},
        {10, 3, 1, 2, 1, 7, 0x0003000A, 0x02010107},
    };
    for (const Case& c : cases) {
        context.MsClock += c.clockStep;
        context.PacketCount += c.packets;
        context.FrameStartCount += c.frameStarts;
        context.RawFrameCount += c.rawFrames;
        context.GoodFrameCount += c.goodFrames;
        context.MaxIdlePacketRun += c.maxIdle;
        const DiagReply reply = Diag(DIAG_TRAFFIC);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(reply.bytes, 40u);
        EXPECT_EQ(reply.value1, c.value1);
        EXPECT_EQ(reply.value2, c.value2);
        EXPECT_EQ(context.MaxIdlePacketRun, 0u);
        EXPECT_EQ(context.TrafficSnapshotClock, context.MsClock);
        EXPECT_EQ(context.TrafficSnapshotCounters[0], context.PacketCount);
        EXPECT_EQ(context.TrafficSnapshotCounters[1], context.FrameStartCount);
        EXPECT_EQ(context.TrafficSnapshotCounters[2], context.RawFrameCount);
        EXPECT_EQ(context.TrafficSnapshotCounters[3], context.GoodFrameCount);
    }

    // A clock that wrapped since the snapshot still gives the ticks between.
    context.TrafficSnapshotClock = 0xFFFFFFF0;
    context.MsClock = 0x10;
    EXPECT_EQ(Diag(DIAG_TRAFFIC).value1, 0x20u);
}

TEST_F(PropertyTest, ErrorRecordsAreReadOnceAndCleared)
{
    Allocate();
    struct Case {
        ULONG id;
        ULONG CameraContext::*kind;
        ULONG CameraContext::*detail;
    };
    const Case cases[] = {
        {DIAG_PACKET_ERROR, &CameraContext::PacketErrorKind, &CameraContext::PacketErrorDetail},
        {DIAG_FRAME_ERROR, &CameraContext::FrameErrorKind, &CameraContext::FrameErrorDetail},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        context.*c.kind = 3;
        context.*c.detail = 0x1234;
        const DiagReply first = Diag(c.id);
        EXPECT_EQ(first.status, STATUS_SUCCESS);
        EXPECT_EQ(first.bytes, 40u);
        EXPECT_EQ(first.value1, 3u);
        EXPECT_EQ(first.value2, 0x1234u);
        EXPECT_EQ(context.*c.kind, 0u);
        EXPECT_EQ(context.*c.detail, 0u);
        const DiagReply second = Diag(c.id);
        EXPECT_EQ(second.value1, 0u);
        EXPECT_EQ(second.value2, 0u);
    }
}

TEST_F(PropertyTest, ConfigurationPacksTheDeviceState)
{
    Allocate(); // alternate setting 2: 880-byte packets
    ASSERT_EQ(context.InterfaceInfo->Pipes[0].MaximumPacketSize, 880);
    context.DeviceState = Capturing;
    context.FrameRateGate.Period = 0x2AB;
    context.ProbationState = 2;
    context.BandwidthAllocationCount = 65; // six bits: reads as 1
    struct Case {
        ULONG frameErrorKind, packetErrorKind;
        ULONG fourCC;
        ULONG value1, value2;
    };
    // Value1: errors in bits 0-1, 880 << 2, 0x2AB << 12, 176 << 22.
    // Value2: 144, alternate 2 << 9, state 5 << 16, probation 2 << 20,
    // count 1 << 22, then the format code in bits 28-31.
    const Case cases[] = {
        {9, 0, FOURCC_I420, 0x2C2ABDC1, 0x10650490},
        {0, 4, 0x56555949 /* IYUV */, 0x2C2ABDC2, 0x30650490},
        {0, 0, 0, 0x2C2ABDC0, 0x20650490},
        {1, 1, 0x32595559 /* YUY2 */, 0x2C2ABDC3, 0x40650490},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fourCC);
        context.FrameErrorKind = c.frameErrorKind;
        context.PacketErrorKind = c.packetErrorKind;
        context.FrameFourCC = c.fourCC;
        const DiagReply reply = Diag(DIAG_CONFIGURATION);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(reply.bytes, 40u);
        EXPECT_EQ(reply.value1, c.value1);
        EXPECT_EQ(reply.value2, c.value2);
        EXPECT_EQ(context.FrameErrorKind, c.frameErrorKind) << "reading does not clear";
    }

    // Without an interface copy (a configure that failed) there is no pipe.
    ReleaseBuffers(&context);
    CamUnInitialize(&bus, &context);
    ASSERT_EQ(context.InterfaceInfo, nullptr);
    const DiagReply bare = Diag(DIAG_CONFIGURATION);
    EXPECT_EQ(bare.status, STATUS_SUCCESS);
    EXPECT_EQ(bare.value1 & (0x3FFu << 2), 0u);
    EXPECT_EQ(bare.value2 & (0x7Fu << 9), 0u);
}

TEST_F(PropertyTest, ExposureAndWhiteBalanceReportTheController)
{
    Allocate();
    AutoControlState& ac = context.AutoControlState;
    struct Case {
        UCHAR clockDivider;
        SHORT exposureIndex;
        ULONG value2;
    };
    const Case cases[] = {
        {3, 69, 0x00452666},    // 0xC000 / 5 = 9830
        {0xFF, -1, 0xFFFF00BF}, // 0xC000 / 257 = 191
    };
    ac.Shutter = 292;
    ac.Gain = 10;
    for (const Case& c : cases) {
        ac.ClockDivider = c.clockDivider;
        ac.ExposureIndex = c.exposureIndex;
        const DiagReply reply = Diag(DIAG_EXPOSURE);
        EXPECT_EQ(reply.status, STATUS_SUCCESS);
        EXPECT_EQ(reply.value1, 0x000A0124u);
        EXPECT_EQ(reply.value2, c.value2);
    }

    ac.RedGain = 90;
    ac.BlueGain = 99;
    ac.AwbDeadband = 3;
    ac.AwbErrorBlue = 5;
    ac.AwbErrorRed = -106;
    const DiagReply balance = Diag(DIAG_WHITE_BALANCE);
    EXPECT_EQ(balance.status, STATUS_SUCCESS);
    EXPECT_EQ(balance.value1, 0x0063005Au);
    EXPECT_EQ(balance.value2, 0x00030596u);
}

TEST_F(PropertyTest, ReservedIdsReadZeroAndOthersAreRefused)
{
    Allocate();
    for (ULONG id = 7; id <= 11; ++id) {
        const DiagReply reply = Diag(id);
        EXPECT_EQ(reply.status, STATUS_SUCCESS) << id;
        EXPECT_EQ(reply.bytes, 40u);
        EXPECT_EQ(reply.value1, 0u);
        EXPECT_EQ(reply.value2, 0u);
    }
    for (ULONG id : {12u, 100u, 0xFFFFFFFFu}) {
        const DiagReply reply = Diag(id);
        EXPECT_EQ(reply.status, STATUS_NOT_SUPPORTED) << id;
        EXPECT_EQ(reply.bytes, 0u);
    }

    // The set is read-only: a set changes nothing, not even the traffic
    // snapshot.
    context.MaxIdlePacketRun = 9;
    Request r(kDiagnostics, DIAG_TRAFFIC, KSPROPERTY_TYPE_SET, sizeof(DiagnosticsRecord));
    const std::vector<UCHAR> before = r.data;
    EXPECT_EQ(CamPropertyDispatch(TRUE, &bus, &context, &r.srb), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.srb.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(r.data, before);
    EXPECT_EQ(context.MaxIdlePacketRun, 9u);
}

TEST_F(PropertyTest, BuildStampNamesThisBuild)
{
    const DiagReply reply = Diag(DIAG_BUILD);
    ASSERT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.bytes, 40u);
    EXPECT_EQ(reply.value2 >> 16, 37u);
    EXPECT_GE(reply.value2 & 0xFFFF, 2024u);
    const ULONG month = reply.value1 & 0xFF, day = reply.value1 >> 8 & 0xFF;
    EXPECT_TRUE(month >= 1 && month <= 12) << month;
    EXPECT_TRUE(day >= 1 && day <= 31) << day;
    EXPECT_LT(reply.value1 >> 16 & 0xFF, 24u);
    EXPECT_LT(reply.value1 >> 24, 60u);
}

TEST(BuildStamp, PacksDateAndTimeTexts)
{
    struct Case {
        const char* date;
        const char* time;
        ULONG value1, value2;
    };
    const Case cases[] = {
        {"Jan  5 2025", "09:07:33", 0x07090501, 0x002507E9}, // blank first day digit
        {"Dec 31 1999", "23:59:59", 0x3B171F0C, 0x002507CF},
        {"Sep 10 2026", "00:00:00", 0x00000A09, 0x002507EA},
        {"Xyz 12 2024", "12:34:56", 0x220C0C00, 0x002507E8}, // unknown month: 0
        {"jan 15 2024", "01:02:03", 0x02010F00, 0x002507E8}, // names match in case
        {"Ma", "1", 0x000A0000, 0x00250000},                 // short texts end in blanks
        {nullptr, nullptr, 0, 0x00250000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.date ? c.date : "(null)");
        ULONG value1 = 0xFFFFFFFF, value2 = 0xFFFFFFFF;
        PackBuildStamp(c.date, c.time, &value1, &value2);
        EXPECT_EQ(value1, c.value1);
        EXPECT_EQ(value2, c.value2);
    }
}

// --- PROPSETID_VIDCAP_VIDEOPROCAMP ---

TEST_F(PropertyTest, ProcAmpGetAnswersEveryItem)
{
    Allocate();
    context.Brightness = 21;
    context.Sharpness = 3;
    context.Saturation = 11;
    context.Contrast = 1500;
    context.WhiteBalanceLevel = 5;
    context.AutoWhiteBalanceOn = 1;
    context.HueAngleIndex = 0;
    struct Case {
        ULONG item;
        NTSTATUS status;
        LONG value;
        ULONG flags, capabilities;
    };
    const Case cases[] = {
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, STATUS_SUCCESS, 21, 2, 2},
        {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, STATUS_SUCCESS, 3, 2, 2},
        {KSPROPERTY_VIDEOPROCAMP_SATURATION, STATUS_SUCCESS, 11, 2, 2},
        {KSPROPERTY_VIDEOPROCAMP_CONTRAST, STATUS_SUCCESS, 1500, 2, 2},
        {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, STATUS_SUCCESS, 5, 1, 3},
        {KSPROPERTY_VIDEOPROCAMP_HUE, STATUS_SUCCESS, 180, 2, 2},
        {KSPROPERTY_VIDEOPROCAMP_GAMMA, STATUS_NOT_SUPPORTED, 0, 2, 2},
        {KSPROPERTY_VIDEOPROCAMP_COLORENABLE, STATUS_NOT_SUPPORTED, 0, 2, 2},
        {KSPROPERTY_VIDEOPROCAMP_GAIN, STATUS_NOT_SUPPORTED, 0, 2, 2},
        {0xFFFFFFFF, STATUS_NOT_SUPPORTED, 0, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        const ProcAmpReply reply = GetProcAmp(c.item);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.bytes, 40u) << "reported even for an item not served";
        EXPECT_EQ(reply.outputSize, 40u);
        EXPECT_EQ(reply.value, c.value);
        EXPECT_EQ(reply.flags, c.flags);
        EXPECT_EQ(reply.capabilities, c.capabilities);
    }
    context.AutoWhiteBalanceOn = 0;
    const ProcAmpReply manual = GetProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE);
    EXPECT_EQ(manual.flags, 2u);
    EXPECT_EQ(manual.capabilities, 3u);
}

TEST_F(PropertyTest, ProcAmpSetGoesThroughTheControls)
{
    Allocate();
    using Field = ULONG CameraSettings::*;
    struct Case {
        ULONG item;
        LONG value;
        NTSTATUS status;
        Field setting;
        ULONG settingAfter;
    };
    const NTSTATUS ok = STATUS_SUCCESS, bad = STATUS_INVALID_PARAMETER, no = STATUS_NOT_SUPPORTED;
    const Case cases[] = {
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 200, ok, &CameraSettings::ExposureTarget, 200},
        {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 256, bad, &CameraSettings::ExposureTarget, 200},
        {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 8, ok, &CameraSettings::SharpnessSetting, 8},
        {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 0, bad, &CameraSettings::SharpnessSetting, 8},
        {KSPROPERTY_VIDEOPROCAMP_SATURATION, 0, ok, &CameraSettings::SaturationSetting, 0},
        {KSPROPERTY_VIDEOPROCAMP_SATURATION, 64, bad, &CameraSettings::SaturationSetting, 0},
        {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 3000, ok, &CameraSettings::ContrastSetting, 3000},
        {KSPROPERTY_VIDEOPROCAMP_CONTRAST, -1, bad, &CameraSettings::ContrastSetting, 3000},
        {KSPROPERTY_VIDEOPROCAMP_HUE, 358, ok, &CameraSettings::HueSetting, 358},
        {KSPROPERTY_VIDEOPROCAMP_HUE, 359, bad, &CameraSettings::HueSetting, 358},
        {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 20, ok, &CameraSettings::WhiteBalanceTarget, 20},
        {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 21, bad, &CameraSettings::WhiteBalanceTarget, 20},
        // Gamma is no procamp item here, though control code 6 exists.
        {KSPROPERTY_VIDEOPROCAMP_GAMMA, 3, no, &CameraSettings::GammaSetting, 7},
        {KSPROPERTY_VIDEOPROCAMP_COLORENABLE, 1, no, nullptr, 0},
        {KSPROPERTY_VIDEOPROCAMP_GAIN, 1, no, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "item " << c.item << " value " << c.value);
        const ProcAmpReply reply = SetProcAmp(c.item, c.value, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.bytes, c.status == ok ? 40u : 0u);
        if (c.setting != nullptr) {
            EXPECT_EQ(context.CameraSettings.*c.setting, c.settingAfter);
        }
        if (c.status != no) {
            EXPECT_EQ(GetProcAmp(c.item).value, LONG(c.settingAfter)) << "the live value follows";
        }
    }
    EXPECT_EQ(context.Gamma, 7u);
}

TEST_F(PropertyTest, ProcAmpWhiteBalanceFlagsChooseTheMode)
{
    Allocate();
    ASSERT_EQ(Set(EXT_AUTO_WHITE_BALANCE_STATE, 0), STATUS_SUCCESS);
    struct Case {
        ULONG flags;
        ULONG stateAfter;  // AutoWhiteBalanceState
        ULONG liveAfter;   // AutoWhiteBalanceOn
        ULONG readFlags;   // what a get then answers
        UCHAR redRegister; // 0x8651: level 0 writes 136 when manual
    };
    const Case cases[] = {
        {KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO, 1, 1, 1, 72}, // automatic: no gain written
        {0, 1, 0, 2, 136},                                 // other flags: manual, state kept
        {KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO, 1, 1, 1, 136},
        {KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL, 0, 0, 2, 136},
    };
    camera->SetRegister(0x8651, 72);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        ASSERT_EQ(SetProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 0, c.flags).status, STATUS_SUCCESS);
        EXPECT_EQ(context.CameraSettings.AutoWhiteBalanceState, c.stateAfter);
        EXPECT_EQ(context.AutoWhiteBalanceOn, c.liveAfter);
        const ProcAmpReply reply = GetProcAmp(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE);
        EXPECT_EQ(reply.flags, c.readFlags);
        EXPECT_EQ(reply.capabilities, 3u);
        EXPECT_EQ(camera->Register(0x8651), c.redRegister);
    }
}

// --- Requests that cannot be served ---

TEST_F(PropertyTest, UnknownSetIsNotSupported)
{
    Allocate();
    for (BOOLEAN isSet : {FALSE, TRUE}) {
        Request r(kOtherSet, 3, isSet ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET, 64);
        const std::vector<UCHAR> before = r.data;
        EXPECT_EQ(CamPropertyDispatch(isSet, &bus, &context, &r.srb), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(r.srb.Status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(r.data, before);
    }
}

TEST_F(PropertyTest, MissingOrShortBuffersAreRefusedUntouched)
{
    Allocate();
    context.MaxIdlePacketRun = 9; // a traffic read would clear it
    struct Case {
        const char* what;
        const GUID* set;
        BOOLEAN isSet;
        ULONG id;
        size_t propertyBytes, dataBytes;
        enum { None, NoDescriptor, NoProperty, NoData } missing;
        NTSTATUS status;
    };
    const NTSTATUS small = STATUS_BUFFER_TOO_SMALL, invalid = STATUS_INVALID_PARAMETER;
    const Case cases[] = {
        {"extension get", &kExtension, FALSE, EXT_SATURATION, 24, 31, Case::None, small},
        {"extension set", &kExtension, TRUE, EXT_SATURATION, 24, 31, Case::None, small},
        {"extension save", &kExtension, TRUE, EXT_SAVE_SETTINGS, 24, 28, Case::None, small},
        {"auto-control get", &kAutoControl, FALSE, 0, 24, 31, Case::None, small},
        {"auto-control set", &kAutoControl, TRUE, 0, 24, 31, Case::None, small},
        {"diagnostics get", &kDiagnostics, FALSE, DIAG_TRAFFIC, 24, 39, Case::None, small},
        {"diagnostics get, no data", &kDiagnostics, FALSE, DIAG_TRAFFIC, 24, 1, Case::None, small},
        {"procamp get", &kProcAmp, FALSE, KSPROPERTY_VIDEOPROCAMP_HUE, 24, 39, Case::None, small},
        {"procamp set", &kProcAmp, TRUE, KSPROPERTY_VIDEOPROCAMP_HUE, 24, 39, Case::None, small},
        {"short header", &kExtension, FALSE, EXT_SATURATION, 23, 32, Case::None, small},
        {"short header, set", &kProcAmp, TRUE, KSPROPERTY_VIDEOPROCAMP_HUE, 16, 40, Case::None, small},
        {"no descriptor", &kExtension, FALSE, EXT_SATURATION, 24, 32, Case::NoDescriptor, invalid},
        {"no property", &kExtension, TRUE, EXT_SATURATION, 24, 32, Case::NoProperty, invalid},
        {"no data", &kProcAmp, FALSE, KSPROPERTY_VIDEOPROCAMP_HUE, 24, 40, Case::NoData, invalid},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Request r(*c.set, c.id, c.isSet ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET, c.dataBytes,
                  c.propertyBytes);
        if (c.dataBytes >= 32) {
            std::memset(r.data.data() + 24, 0x05, c.dataBytes - 24); // a valid value, were it read
        }
        switch (c.missing) {
        case Case::NoDescriptor: r.srb.CommandData.PropertyInfo = nullptr; break;
        case Case::NoProperty: r.descriptor.Property = nullptr; break;
        case Case::NoData: r.descriptor.PropertyInfo = nullptr; break;
        case Case::None: break;
        }
        const std::vector<UCHAR> property = r.property, data = r.data;
        const CameraSettings settings = context.CameraSettings;
        const LONG saturation = context.Saturation, hue = context.HueAngleIndex;

        EXPECT_EQ(CamPropertyDispatch(c.isSet, &bus, &context, &r.srb), c.status);
        EXPECT_EQ(r.srb.Status, c.status);
        EXPECT_EQ(r.srb.ActualBytesTransferred, 0u);
        EXPECT_EQ(r.property, property);
        EXPECT_EQ(r.data, data);
        EXPECT_EQ(std::memcmp(&context.CameraSettings, &settings, sizeof settings), 0);
        EXPECT_EQ(context.Saturation, saturation);
        EXPECT_EQ(context.HueAngleIndex, hue);
        EXPECT_EQ(context.MaxIdlePacketRun, 9u);
    }
    EXPECT_FALSE(kald::host::RegistryKeyExists(kSettingsKey)) << "no save ran";
}

TEST_F(PropertyTest, NullContextOrRequestIsAnInvalidParameter)
{
    Request r(kExtension, EXT_SATURATION, KSPROPERTY_TYPE_GET, 32);
    EXPECT_EQ(CamPropertyDispatch(FALSE, &bus, nullptr, &r.srb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.srb.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.srb.ActualBytesTransferred, 0u);
    EXPECT_EQ(CamPropertyDispatch(TRUE, &bus, &context, nullptr), STATUS_INVALID_PARAMETER);

    // The handlers check for themselves too.
    using Handler = NTSTATUS (*)(CameraContext*, PHW_STREAM_REQUEST_BLOCK);
    const Handler handlers[] = {GetExtensionProperty,   SetExtensionProperty,   GetDiagnosticsProperty,
                                GetAutoControlProperty, SetAutoControlProperty, GetProcAmpProperty,
                                SetProcAmpProperty};
    for (Handler handler : handlers) {
        Request request(kProcAmp, 0, KSPROPERTY_TYPE_GET, 40);
        EXPECT_EQ(handler(nullptr, &request.srb), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(request.srb.Status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(handler(&context, nullptr), STATUS_INVALID_PARAMETER);
    }
}

} // namespace
