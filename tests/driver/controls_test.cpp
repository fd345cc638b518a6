#include <gtest/gtest.h>

#include "autocontrol/tone_tables.h"
#include "hardware/controls.h"
#include "hardware/registers.h"
#include "hardware_fixture.h"

namespace {

class ControlsTest : public HardwareTest, public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetToneTables();
        Configure(kFastestRows[2]); // 176x144 at 30 frames/s
    }
    NTSTATUS Set(ULONG code, LONG value, LONG flags = 0)
    {
        return CamSetControl(&context, code, value, flags);
    }
};

TEST_F(ControlsTest, RangesAndStoredValues)
{
    struct Case {
        ULONG code;
        LONG value;
        NTSTATUS status;
    };
    const Case cases[] = {
        {CTRL_BRIGHTNESS, 255, STATUS_SUCCESS},        {CTRL_BRIGHTNESS, 256, STATUS_INVALID_PARAMETER},
        {CTRL_BRIGHTNESS, -1, STATUS_INVALID_PARAMETER}, {CTRL_CONTRAST, 3000, STATUS_SUCCESS},
        {CTRL_CONTRAST, 3001, STATUS_INVALID_PARAMETER}, {CTRL_HUE, 359, STATUS_INVALID_PARAMETER},
        {CTRL_SATURATION, 64, STATUS_INVALID_PARAMETER}, {CTRL_SHARPNESS, 0, STATUS_INVALID_PARAMETER},
        {CTRL_SHARPNESS, 8, STATUS_SUCCESS},           {CTRL_GAMMA_WITH_FLAG, -1, STATUS_INVALID_PARAMETER},
        {CTRL_GAMMA, 10, STATUS_INVALID_PARAMETER},    {CTRL_AUTO_EXPOSURE_STATE, 2, STATUS_INVALID_PARAMETER},
        {CTRL_EXPOSURE_TARGET, 256, STATUS_INVALID_PARAMETER}, {CTRL_WHITE_BALANCE, 21, STATUS_INVALID_PARAMETER},
        {CTRL_WHITE_BALANCE_TARGET, 21, STATUS_INVALID_PARAMETER}, {CTRL_FLICKER_COMP_STATE, 2, STATUS_INVALID_PARAMETER},
        {CTRL_FLICKER_COMP_FREQ, 3, STATUS_INVALID_PARAMETER}, {CTRL_COMPRESSION_STATE, 0, STATUS_NOT_SUPPORTED},
        {CTRL_COMPRESSION_STATE, 1, STATUS_SUCCESS},   {7, 1, STATUS_NOT_SUPPORTED},
        {9, 1, STATUS_NOT_SUPPORTED},                  {10, 1, STATUS_NOT_SUPPORTED},
        {0, 1, STATUS_NOT_SUPPORTED},                  {19, 1, STATUS_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Set(c.code, c.value), c.status) << "code " << c.code << " value " << c.value;
    }
    EXPECT_EQ(context.Brightness, 255);
    EXPECT_EQ(context.Contrast, 3000);
    EXPECT_EQ(context.Sharpness, 8);
    EXPECT_EQ(context.Saturation, 32) << "a refused value changes nothing";
    EXPECT_EQ(CamSetControl(nullptr, CTRL_FLICKER_COMP_FREQ, 0, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(ControlsTest, HueMapsToTheAngleIndex)
{
    const std::pair<LONG, LONG> cases[] = {{179, 719}, {180, 0}, {0, 540}, {358, 178}};
    for (auto [hue, index] : cases) {
        ASSERT_EQ(Set(CTRL_HUE, hue), STATUS_SUCCESS);
        EXPECT_EQ(context.HueAngleIndex, index) << hue;
    }
}

TEST_F(ControlsTest, ToneControlsRebuildTheTablesAndSharpnessDoesNot)
{
    ASSERT_EQ(Set(CTRL_SATURATION, 0), STATUS_SUCCESS);
    EXPECT_EQ(ToneTables.SaturationTable[200], 128);
    ASSERT_EQ(Set(CTRL_BRIGHTNESS, 0), STATUS_SUCCESS);
    EXPECT_EQ(ToneTables.BrightnessTable[200], 72);
    ASSERT_EQ(Set(CTRL_GAMMA_WITH_FLAG, 0, CONTROL_FLAGS_AUTO), STATUS_SUCCESS);
    EXPECT_EQ(context.GammaModeFlag, 1u);
    ASSERT_EQ(Set(CTRL_GAMMA, 3), STATUS_SUCCESS);
    EXPECT_EQ(context.GammaModeFlag, 1u) << "code 17 keeps the flag";
    EXPECT_EQ(context.Gamma, 3u);
    ToneTables.LumaTable[0] = 77;
    ASSERT_EQ(Set(CTRL_SHARPNESS, 2), STATUS_SUCCESS);
    EXPECT_EQ(ToneTables.LumaTable[0], 77) << "sharpness leaves the tables alone";
    EXPECT_TRUE(Log().empty()) << "tone controls send nothing to the camera";
}

TEST_F(ControlsTest, ManualWhiteBalanceWritesTheLevelsGains)
{
    // Level -> red, blue gains.
    const std::tuple<LONG, unsigned, unsigned> levels[] = {
        {0, 136, 99}, {5, 104, 99}, {9, 78, 99}, {10, 72, 99}, {11, 72, 79}, {14, 72, 98}, {20, 72, 137},
    };
    context.CameraSettings.HueSetting = 100;
    for (auto [level, red, blue] : levels) {
        camera->ClearLogs();
        ASSERT_EQ(Set(CTRL_WHITE_BALANCE, level, CONTROL_FLAGS_MANUAL), STATUS_SUCCESS);
        ExpectedLog expected;
        expected.Out(0x8651, red).Out(0x8653, blue);
        EXPECT_EQ(Log(), expected.lines) << level;
        EXPECT_EQ(context.AutoControlState.RedGain, red);
        EXPECT_EQ(context.AutoControlState.BlueGain, blue);
        EXPECT_EQ(context.WhiteBalanceLevel, ULONG(level));
    }
    EXPECT_EQ(context.AutoWhiteBalanceOn, 0u);
    EXPECT_EQ(context.AutoControlState.EnableFlags & AUTO_ENABLE_WHITE_BALANCE, 0u);
    EXPECT_EQ(context.HueAngleIndex, (100 + 540) % 720) << "manual mode restores the stored hue";
}

TEST_F(ControlsTest, AutomaticWhiteBalanceForcesHueAndWritesNoGain)
{
    context.AutoWhiteBalanceOn = 0;
    ASSERT_EQ(Set(CTRL_WHITE_BALANCE, 25, CONTROL_FLAGS_AUTO), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(context.AutoWhiteBalanceOn, 0u) << "a refused level leaves the mode";

    ASSERT_EQ(Set(CTRL_AUTO_WHITE_BALANCE_STATE, 1), STATUS_SUCCESS);
    context.HueAngleIndex = 3;
    ASSERT_EQ(Set(CTRL_WHITE_BALANCE_TARGET, 17), STATUS_SUCCESS);
    EXPECT_EQ(context.WhiteBalanceLevel, 17u);
    EXPECT_EQ(context.HueAngleIndex, 719);
    EXPECT_NE(context.AutoControlState.EnableFlags & AUTO_ENABLE_WHITE_BALANCE, 0u);
    EXPECT_TRUE(Log().empty());
    // Switching it off applies the level's manual gains.
    ASSERT_EQ(Set(CTRL_AUTO_WHITE_BALANCE_STATE, 0), STATUS_SUCCESS);
    ExpectedLog expected;
    expected.Out(0x8651, 72).Out(0x8653, 117);
    EXPECT_EQ(Log(), expected.lines);
}

TEST_F(ControlsTest, SwitchingAutoExposureOffWritesTheRegisterAndReportsFailure)
{
    ASSERT_EQ(Set(CTRL_AUTO_EXPOSURE_STATE, 1), STATUS_SUCCESS);
    EXPECT_TRUE(Log().empty());
    camera->FailRegister(0x8602);
    EXPECT_EQ(Set(CTRL_AUTO_EXPOSURE_STATE, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(context.AutoExposureOn, 1) << "unchanged after the failed write";
    camera->ClearFaults();
    camera->ClearLogs();
    EXPECT_EQ(Set(CTRL_AUTO_EXPOSURE_STATE, 0), STATUS_SUCCESS);
    EXPECT_EQ(context.AutoExposureOn, 0);
    EXPECT_EQ(context.AutoControlState.EnableFlags & AUTO_ENABLE_EXPOSURE, 0u);
    EXPECT_EQ(Log(), (std::vector<std::string>{"OUT 8602 0000"}));
}

TEST_F(ControlsTest, FlickerCodesChooseTheMainsFrequency)
{
    AutoControlPrepare(&context.AutoControlState, &context);
    context.CameraSettings.FlickerCompFreq = 1;
    ASSERT_EQ(Set(CTRL_FLICKER_COMP_STATE, 1), STATUS_SUCCESS);
    EXPECT_EQ(context.AutoControlState.FlickerHz, 50);
    EXPECT_EQ(context.AutoControlState.FlickerOff, 0);
    ASSERT_EQ(Set(CTRL_FLICKER_COMP_FREQ, 0), STATUS_SUCCESS);
    EXPECT_EQ(context.AutoControlState.FlickerHz, 60);
    ASSERT_EQ(Set(CTRL_FLICKER_COMP_STATE, 0), STATUS_SUCCESS);
    EXPECT_EQ(context.AutoControlState.FlickerOff, 1);
}

TEST_F(ControlsTest, ExposureTimeConvertsWithTheModeRate)
{
    // Frame rate, value in 1/120 s -> sensor rows written, value read back.
    const std::tuple<USHORT, LONG, unsigned, LONG> cases[] = {
        {30, 4, 292, 4}, {30, 1, 73, 1}, {21, 2, 104, 2}, {15, 4, 145, 4}, {10, 3, 73, 3}, {10, 27, 653, 27},
    };
    for (auto [rate, value, rows, back] : cases) {
        context.ModeFrameRate = rate;
        camera->ClearLogs();
        ASSERT_EQ(CamSetExposureTime(&context, value), STATUS_SUCCESS);
        EXPECT_EQ(context.AutoControlState.Shutter, rows) << rate << " " << value;
        EXPECT_EQ(camera->SensorRegister(0x09), 0x1000 + rows);
        EXPECT_EQ(CamGetExposureTime(&context), back);
    }
    ASSERT_EQ(CamSetGain(&context, 70), STATUS_SUCCESS);
    EXPECT_EQ(camera->SensorRegister(0x35), 0x0063);
    EXPECT_EQ(context.AutoControlState.Gain, 70);
}

} // namespace
