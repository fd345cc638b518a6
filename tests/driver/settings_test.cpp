#include <gtest/gtest.h>

#include <cwchar>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "controls/settings.h"
#include "kald_host/host_kernel.h"

namespace {

using namespace kald::host;

const std::wstring DriverKey = L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8";
const std::wstring SettingsKey = DriverKey + L"\\Settings";
const std::wstring DefaultsKey = DriverKey + L"\\Defaults";
const std::wstring PresenceKey = L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi";

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { RegistryClear(); }
    void TearDown() override { RegistryClear(); }

    std::unique_ptr<CameraContext> owner = std::make_unique<CameraContext>();
    CameraContext& context = *owner;
};

TEST(SettingsTable, NamesRangesDefaultsAndRowIndices)
{
    struct Row {
        const wchar_t* name;
        LONG minimum;
        LONG maximum;
        LONG defaultValue;
    };
    const Row expected[SETTINGS_ROWS] = {
        {L"Auto Exposure State", 0, 1, 1},        {L"Auto White Balance State", 0, 1, 1},
        {L"Exposure Target", 0, 255, 118},        {L"White Balance Target", 0, 20, 10},
        {L"Saturation", 0, 63, 32},               {L"Sharpness", 1, 8, 6},
        {L"Hue", 0, 358, 179},                    {L"Contrast", 0, 3000, 0},
        {L"Gamma", 0, 9, 7},                      {L"Fluo Flicker Comp State", 0, 1, 0},
        {L"Fluo Flicker Comp Freq", 0, 1, 0},     {L"Ms to Skip Packets", 33, 500, 125},
        {L"Max Packet Size Allowed", 128, 1024, 1024}, {L"AEAWB Interval", 32, 512, 128},
        {L"AE Period", 2, 16, 6},                 {L"Fixed AE Period State", 0, 1, 1},
        {L"AWB Period", 1, 4, 1},                 {L"Fixed AWB Period State", 0, 1, 1},
        {L"F E R Probation Length", 8192, 3145728, 1048576}, {L"Compression State", 0, 1, 1},
        {L"White Balance Red Gain", 0, 255, 72},  {L"White Balance Blue Gain", 0, 255, 99},
        {L"AGC Step", 1, 94, 69},                 {L"Exposure Time", 1, 27, 4},
        {L"Gain", 1, 32, 10},                     {L"DPC State", 0, 1, 1},
    };
    for (ULONG row = 0; row < SETTINGS_ROWS; ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(std::wstring(SettingsNameTable[row].Name), expected[row].name);
        EXPECT_EQ(SettingsNameTable[row].Minimum, expected[row].minimum);
        EXPECT_EQ(SettingsNameTable[row].Maximum, expected[row].maximum);
        EXPECT_EQ(SettingsNameTable[row].Default, expected[row].defaultValue);
        EXPECT_EQ(SettingsNameTable[row].Row, row);
    }
}

TEST_F(SettingsTest, FieldOfEveryRow)
{
    CameraSettings& s = context.CameraSettings;
    const PULONG expected[SETTINGS_ROWS] = {
        &s.AutoExposureState, &s.AutoWhiteBalanceState, &s.ExposureTarget, &s.WhiteBalanceTarget,
        &s.SaturationSetting, &s.SharpnessSetting, &s.HueSetting, &s.ContrastSetting,
        &s.GammaSetting, &s.FlickerCompState, &s.FlickerCompFreq, &s.MsToSkipPackets,
        &s.MaxPacketSizeAllowed, &s.AeAwbInterval, &s.AePeriod, &s.FixedAePeriodState,
        &s.AwbPeriod, &s.FixedAwbPeriodState, &context.FerProbationLength, &s.CompressionState,
        &s.WhiteBalanceRedGain, &s.WhiteBalanceBlueGain, &s.AgcStep, &s.ExposureTimeSetting,
        &s.GainSetting, &s.DpcState,
    };
    for (ULONG row = 0; row < SETTINGS_ROWS; ++row) {
        EXPECT_EQ(SettingField(&context, row), expected[row]) << row;
    }
    EXPECT_EQ(SettingField(&context, SETTINGS_ROWS), nullptr);
}

TEST_F(SettingsTest, EmptyRegistryLoadsBuiltInDefaults)
{
    context.MsClock = 777;
    EXPECT_EQ(LoadSettings(&context), STATUS_SUCCESS);
    const CameraSettings& s = context.CameraSettings;
    EXPECT_EQ(context.MsClock, 0u);
    EXPECT_EQ(context.FerProbationLength, 1048576u);
    struct Case {
        ULONG actual;
        ULONG expected;
    };
    const Case cases[] = {
        {s.AutoExposureState, 1},    {s.AutoWhiteBalanceState, 1}, {s.ExposureTarget, 118},
        {s.WhiteBalanceTarget, 10},  {s.SaturationSetting, 32},    {s.SharpnessSetting, 6},
        {s.HueSetting, 179},         {s.CompressionState, 1},      {s.ContrastSetting, 0},
        {s.GammaSetting, 7},         {s.FlickerCompState, 0},      {s.FlickerCompFreq, 0},
        {s.MaxPacketSizeAllowed, 1024}, {s.MsToSkipPackets, 125},  {s.WhiteBalanceRedGain, 72},
        {s.WhiteBalanceBlueGain, 99}, {s.ExposureTimeSetting, 4},  {s.GainSetting, 10},
        {s.AgcStep, 69},             {s.AeAwbInterval, 128},       {s.AePeriod, 6},
        {s.FixedAePeriodState, 1},   {s.AwbPeriod, 1},             {s.FixedAwbPeriodState, 1},
        {s.DpcState, 1},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].actual, cases[i].expected) << i;
    }
    // Loading reads only: the first save creates the values.
    EXPECT_FALSE(RegistryKeyExists(SettingsKey));
    EXPECT_EQ(SaveSettings(&context), STATUS_SUCCESS);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"Exposure Target"), 118u);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"F E R Probation Length"), 1048576u);
    EXPECT_EQ(RegistryGetDword(DriverKey, L"Current MS clock"), 0u);
}

TEST_F(SettingsTest, FallbackChain)
{
    struct Case {
        const wchar_t* name;
        ULONG row;
        std::optional<uint32_t> settings;
        std::optional<uint32_t> defaults;
        ULONG expected;
    };
    const Case cases[] = {
        {L"Sharpness", 5, 12, 3, 3},                       // out of range: Defaults
        {L"Sharpness", 5, 12, std::nullopt, 6},            // then the table
        {L"Sharpness", 5, 4, 3, 4},                        // Settings wins
        {L"Sharpness", 5, std::nullopt, 9, 6},             // bad Defaults too
        {L"Contrast", 7, 0xFFFFFFFB, std::nullopt, 0},     // -5 is below 0
        {L"Contrast", 7, 0xFFFFFFFB, 2500, 2500},
        {L"Contrast", 7, 3000, std::nullopt, 3000},        // the maximum itself
        {L"Contrast", 7, 3001, std::nullopt, 0},
        {L"F E R Probation Length", 18, 0xFFFFFFFF, std::nullopt, 1048576}, // unsigned
        {L"F E R Probation Length", 18, 0x2000, std::nullopt, 0x2000},
        {L"F E R Probation Length", 18, 0x1FFF, 0x300000, 0x300000},
        {L"F E R Probation Length", 18, 0x300001, std::nullopt, 1048576},
        {L"Ms to Skip Packets", 11, 32, std::nullopt, 125},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.name, c.name + wcslen(c.name)) << " "
                                        << c.settings.value_or(0));
        RegistryClear();
        if (c.settings) {
            RegistrySetDword(SettingsKey, c.name, *c.settings);
        }
        if (c.defaults) {
            RegistrySetDword(DefaultsKey, c.name, *c.defaults);
        }
        ULONG field = 0xDEADBEEF;
        ReadSettingWithFallback(KALDRIN_SETTINGS_KEY, c.row, &field);
        EXPECT_EQ(field, c.expected);
    }
}

TEST_F(SettingsTest, ValueOfAnotherTypeCountsAsMissing)
{
    RegistrySetRaw(SettingsKey, L"Gamma", REG_SZ, {'4', 0, 0, 0});
    RegistrySetDword(DefaultsKey, L"Gamma", 2);
    ULONG field = 0;
    ReadSettingWithFallback(KALDRIN_SETTINGS_KEY, 8, &field);
    EXPECT_EQ(field, 2u);
}

TEST_F(SettingsTest, LoadReadsClockAndNamesWithoutCase)
{
    RegistrySetDword(DriverKey, L"Current MS clock", 0xFFFFFFF0); // no range check
    RegistrySetDword(SettingsKey, L"HUE", 20);
    RegistrySetDword(SettingsKey, L"agc step", 94);
    RegistrySetDword(SettingsKey, L"White Balance Red Gain", 200);
    EXPECT_EQ(LoadSettings(&context), STATUS_SUCCESS);
    EXPECT_EQ(context.MsClock, 0xFFFFFFF0u);
    EXPECT_EQ(context.CameraSettings.HueSetting, 20u);
    EXPECT_EQ(context.HueAngleIndex, 560);
    EXPECT_EQ(context.AutoControlState.ExposureIndex, 94);
    EXPECT_EQ(context.AutoControlState.RedGain, 200);
}

TEST_F(SettingsTest, ApplySettingsToLive)
{
    CameraSettings& s = context.CameraSettings;
    s.AutoExposureState = 0x101; // only the low byte counts
    s.AutoWhiteBalanceState = 0x200;
    s.ExposureTarget = 200;
    s.WhiteBalanceTarget = 15;
    s.SaturationSetting = 40;
    s.SharpnessSetting = 3;
    s.ContrastSetting = 1500;
    s.GammaSetting = 9;
    s.WhiteBalanceRedGain = 90;
    s.WhiteBalanceBlueGain = 255;
    s.AgcStep = 1;
    ApplySettingsToLive(&context);
    EXPECT_EQ(context.AutoExposureOn, 1);
    EXPECT_EQ(context.AutoWhiteBalanceOn, 0u);
    EXPECT_EQ(context.Brightness, 200);
    EXPECT_EQ(context.WhiteBalanceLevel, 15u);
    EXPECT_EQ(context.Saturation, 40);
    EXPECT_EQ(context.Sharpness, 3);
    EXPECT_EQ(context.Contrast, 1500);
    EXPECT_EQ(context.Gamma, 9u);
    EXPECT_EQ(context.AutoControlState.RedGain, 90);
    EXPECT_EQ(context.AutoControlState.BlueGain, 255);
    EXPECT_EQ(context.AutoControlState.ExposureIndex, 1);

    struct Case {
        ULONG hue;
        LONG angle;
    };
    const Case cases[] = {{0, 540}, {179, 719}, {180, 0}, {181, 1}, {358, 178}};
    for (const Case& c : cases) {
        s.HueSetting = c.hue;
        ApplySettingsToLive(&context);
        EXPECT_EQ(context.HueAngleIndex, c.angle) << c.hue;
    }
}

TEST_F(SettingsTest, WriteSettingCheckedRefusesOutOfRange)
{
    struct Case {
        ULONG row;
        ULONG value;
        NTSTATUS status;
    };
    const Case cases[] = {
        {12, 1024, STATUS_SUCCESS}, {12, 5000, STATUS_INVALID_PARAMETER},
        {12, 127, STATUS_INVALID_PARAMETER}, {7, 0xFFFFFFFB, STATUS_INVALID_PARAMETER},
        {18, 0xFFFFFFFF, STATUS_INVALID_PARAMETER}, {18, 0x300000, STATUS_SUCCESS},
        {6, 359, STATUS_INVALID_PARAMETER}, {6, 0, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        RegistryClear();
        EXPECT_EQ(WriteSettingChecked(KALDRIN_SETTINGS_KEY, c.row, c.value), c.status) << c.row;
        const std::optional<uint32_t> stored =
            RegistryGetDword(SettingsKey, SettingsNameTable[c.row].Name);
        if (c.status == STATUS_SUCCESS) {
            EXPECT_EQ(stored, c.value);
        } else {
            EXPECT_FALSE(stored.has_value());
        }
    }
}

TEST_F(SettingsTest, OutOfRangeValueInMemoryKeepsRegistryValue)
{
    RegistrySetDword(SettingsKey, L"Max Packet Size Allowed", 512);
    LoadSettings(&context);
    context.CameraSettings.MaxPacketSizeAllowed = 5000;
    EXPECT_EQ(SaveSettings(&context), STATUS_SUCCESS);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"Max Packet Size Allowed"), 512u);
    LoadSettings(&context);
    EXPECT_EQ(context.CameraSettings.MaxPacketSizeAllowed, 512u);
}

TEST_F(SettingsTest, SaveTakesControllerValues)
{
    LoadSettings(&context);
    context.AutoControlState.RedGain = 0xFF;
    context.AutoControlState.BlueGain = 0x8000; // zero-extended: out of range, not written
    context.AutoControlState.ExposureIndex = -1; // sign-extended: out of range, not written
    RegistrySetDword(SettingsKey, L"White Balance Blue Gain", 11);
    RegistrySetDword(SettingsKey, L"AGC Step", 12);
    SaveSettings(&context);
    EXPECT_EQ(context.CameraSettings.WhiteBalanceRedGain, 0xFFu);
    EXPECT_EQ(context.CameraSettings.WhiteBalanceBlueGain, 0x8000u);
    EXPECT_EQ(context.CameraSettings.AgcStep, 0xFFFFFFFFu);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"White Balance Red Gain"), 0xFFu);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"White Balance Blue Gain"), 11u);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"AGC Step"), 12u);
}

TEST_F(SettingsTest, PictureRestoreKeepsControllerGainsForNextSave)
{
    RegistrySetDword(SettingsKey, L"Saturation", 50);
    RegistrySetDword(SettingsKey, L"White Balance Red Gain", 30);
    LoadSettings(&context);
    context.AutoControlState.RedGain = 90;
    RestorePictureDefaults(&context);
    EXPECT_EQ(context.CameraSettings.SaturationSetting, 32u);
    EXPECT_EQ(context.CameraSettings.WhiteBalanceRedGain, 72u);
    EXPECT_EQ(context.Saturation, 50); // live values wait for the apply step
    EXPECT_EQ(context.AutoControlState.RedGain, 90);
    SaveSettings(&context);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"White Balance Red Gain"), 90u);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"Saturation"), 32u);
}

TEST_F(SettingsTest, RestoresReadDefaultsOnlyAndTheirRows)
{
    // Every row has a distinct in-range value under Settings and another under
    // Defaults; each restore must take exactly its rows from Defaults.
    const ULONG settingsValue[SETTINGS_ROWS] = {0, 0, 1, 1, 1, 2, 1, 1, 1, 1, 1, 34, 129,
                                                33, 3, 0, 2, 0, 0x2001, 0, 1, 1, 2, 2, 2, 0};
    const ULONG defaultsValue[SETTINGS_ROWS] = {1, 1, 2, 2, 2, 3, 2, 2, 2, 0, 0, 35, 130,
                                                34, 4, 1, 3, 1, 0x2002, 1, 2, 2, 3, 3, 3, 1};
    for (ULONG row = 0; row < SETTINGS_ROWS; ++row) {
        RegistrySetDword(SettingsKey, SettingsNameTable[row].Name, settingsValue[row]);
        RegistrySetDword(DefaultsKey, SettingsNameTable[row].Name, defaultsValue[row]);
    }
    struct Case {
        void (*restore)(CameraContext*);
        bool restored[SETTINGS_ROWS];
    };
    const Case cases[] = {
        // rows:          0  1  2  3  4  5  6  7  8  9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25
        {RestorePictureDefaults, {1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 0}},
        {RestoreFlickerDefaults, {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {RestoreTestDefaults,    {0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 1, 1, 1, 1, 1, 1, 1, 0, 1, 0, 0, 0, 0, 0, 1}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        LoadSettings(&context);
        const LONG brightness = context.Brightness;
        cases[i].restore(&context);
        for (ULONG row = 0; row < SETTINGS_ROWS; ++row) {
            const ULONG expected = cases[i].restored[row] ? defaultsValue[row] : settingsValue[row];
            EXPECT_EQ(*SettingField(&context, row), expected) << "restore " << i << " row " << row;
        }
        EXPECT_EQ(context.Brightness, brightness);
    }
}

TEST_F(SettingsTest, RestoreWithoutDefaultsGivesBuiltIn)
{
    RegistrySetDword(SettingsKey, L"Fluo Flicker Comp State", 1);
    RegistrySetDword(SettingsKey, L"Fluo Flicker Comp Freq", 1);
    RegistrySetDword(DefaultsKey, L"Fluo Flicker Comp Freq", 7); // out of range
    LoadSettings(&context);
    RestoreFlickerDefaults(&context);
    EXPECT_EQ(context.CameraSettings.FlickerCompState, 0u);
    EXPECT_EQ(context.CameraSettings.FlickerCompFreq, 0u);
}

TEST_F(SettingsTest, SaveOrderAndClockStatus)
{
    // The save makes 27 writes: rows 1, 0, 2..17, 19, 25, 20..24, row 18,
    // then the clock. A failure at write n leaves that one value unwritten.
    const wchar_t* const order[] = {
        L"Auto White Balance State", L"Auto Exposure State", L"Exposure Target",
        L"White Balance Target", L"Saturation", L"Sharpness", L"Hue", L"Contrast", L"Gamma",
        L"Fluo Flicker Comp State", L"Fluo Flicker Comp Freq", L"Ms to Skip Packets",
        L"Max Packet Size Allowed", L"AEAWB Interval", L"AE Period", L"Fixed AE Period State",
        L"AWB Period", L"Fixed AWB Period State", L"Compression State", L"DPC State",
        L"White Balance Red Gain", L"White Balance Blue Gain", L"AGC Step", L"Exposure Time",
        L"Gain", L"F E R Probation Length",
    };
    for (size_t failing = 1; failing <= std::size(order) + 1; ++failing) {
        SCOPED_TRACE(failing);
        RegistryClear();
        LoadSettings(&context);
        context.MsClock = 4321;
        FailRegistryWrite(failing);
        const NTSTATUS status = SaveSettings(&context);
        for (size_t i = 0; i < std::size(order); ++i) {
            EXPECT_EQ(RegistryGetDword(SettingsKey, order[i]).has_value(), i + 1 != failing) << i;
        }
        const bool clockFailed = failing == std::size(order) + 1;
        EXPECT_EQ(status, clockFailed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        EXPECT_EQ(RegistryGetDword(DriverKey, L"Current MS clock").has_value(), !clockFailed);
    }
    // A value the save skips takes no write: the failure moves on to the next.
    RegistryClear();
    LoadSettings(&context);
    context.CameraSettings.AutoWhiteBalanceState = 2;
    FailRegistryWrite(1);
    SaveSettings(&context);
    EXPECT_FALSE(RegistryGetDword(SettingsKey, L"Auto White Balance State").has_value());
    EXPECT_FALSE(RegistryGetDword(SettingsKey, L"Auto Exposure State").has_value());
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"Exposure Target"), 118u);
}

TEST_F(SettingsTest, SaveThenLoadRoundTrip)
{
    LoadSettings(&context);
    context.CameraSettings.HueSetting = 358;
    context.CameraSettings.ContrastSetting = 2999;
    context.FerProbationLength = 0x300000;
    context.AutoControlState.ExposureIndex = 94;
    context.MsClock = 123456;
    EXPECT_EQ(SaveSettings(&context), STATUS_SUCCESS);
    EXPECT_EQ(RegistryGetDword(DriverKey, L"Current MS clock"), 123456u);

    auto fresh = std::make_unique<CameraContext>();
    LoadSettings(fresh.get());
    EXPECT_EQ(fresh->CameraSettings.HueSetting, 358u);
    EXPECT_EQ(fresh->HueAngleIndex, 178);
    EXPECT_EQ(fresh->CameraSettings.ContrastSetting, 2999u);
    EXPECT_EQ(fresh->FerProbationLength, 0x300000u);
    EXPECT_EQ(fresh->CameraSettings.AgcStep, 94u);
    EXPECT_EQ(fresh->MsClock, 123456u);
}

TEST_F(SettingsTest, MarkDevicePresent)
{
    MarkDevicePresent();
    EXPECT_EQ(RegistryGetDword(PresenceKey, L"ORVIDevice"), 1u);
    EXPECT_EQ(RegistryGetDword(PresenceKey, L"StillEvtSupported"), 1u);

    // The first write failing does not stop the second.
    RegistryClear();
    FailRegistryWrite(1);
    MarkDevicePresent();
    EXPECT_FALSE(RegistryGetDword(PresenceKey, L"ORVIDevice").has_value());
    EXPECT_EQ(RegistryGetDword(PresenceKey, L"StillEvtSupported"), 1u);
}

} // namespace
