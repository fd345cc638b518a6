#include "controls.h"

#include "../autocontrol/auto_control.h"
#include "../autocontrol/tone_tables.h"
#include "registers.h"

namespace {

void RebuildWithCurrentValues(const CameraContext* c)
{
    RebuildToneTables(c->Brightness, c->Contrast, (LONG)c->Gamma, c->HueAngleIndex,
                      c->Saturation);
}

NTSTATUS SetBrightness(CameraContext* c, LONG value)
{
    if (value < 0 || value > 255) {
        return STATUS_INVALID_PARAMETER;
    }
    c->Brightness = value;
    RebuildWithCurrentValues(c);
    return STATUS_SUCCESS;
}

NTSTATUS SetHue(CameraContext* c, LONG value)
{
    if (value < 0 || value > 358) {
        return STATUS_INVALID_PARAMETER;
    }
    c->HueAngleIndex = (value + 540) % 720;
    RebuildWithCurrentValues(c);
    return STATUS_SUCCESS;
}

NTSTATUS SetGammaWithFlag(CameraContext* c, LONG value, LONG flags)
{
    if ((ULONG)value > 9) {
        return STATUS_INVALID_PARAMETER;
    }
    c->Gamma = (ULONG)value;
    c->GammaModeFlag = flags == CONTROL_FLAGS_AUTO ? 1 : 0;
    RebuildWithCurrentValues(c);
    return STATUS_SUCCESS;
}

// Automatic (Flags 1): hue back to the neutral-ish default, the controller
// takes over from the current gains. Manual: the stored hue, and the gains
// of the level written to the camera.
NTSTATUS SetWhiteBalance(CameraContext* c, LONG value, LONG flags)
{
    const ULONG level = (ULONG)value;
    if (level > 20) {
        return STATUS_INVALID_PARAMETER;
    }
    AutoControlState& ac = c->AutoControlState;
    if (flags == CONTROL_FLAGS_AUTO) {
        SetHue(c, 179);
        c->AutoWhiteBalanceOn = 1;
        ac.EnableFlags |= AUTO_ENABLE_WHITE_BALANCE;
    } else {
        SetHue(c, (LONG)c->CameraSettings.HueSetting);
        c->AutoWhiteBalanceOn = 0;
        ac.EnableFlags &= ~AUTO_ENABLE_WHITE_BALANCE;
        const USHORT red = ManualRedGain(level);
        const USHORT blue = ManualBlueGain(level);
        CamWriteRegister(c, REG_RED_GAIN, red);
        CamWriteRegister(c, REG_BLUE_GAIN, blue);
        ac.RedGain = red;
        ac.BlueGain = blue;
    }
    c->WhiteBalanceLevel = level;
    return STATUS_SUCCESS;
}

NTSTATUS SetAutoExposureState(CameraContext* c, LONG value)
{
    if (value != 0 && value != 1) {
        return STATUS_INVALID_PARAMETER;
    }
    AutoControlState& ac = c->AutoControlState;
    if (value == 1) {
        ac.EnableFlags |= AUTO_ENABLE_EXPOSURE;
    } else {
        ac.EnableFlags &= ~AUTO_ENABLE_EXPOSURE;
        if (!CamWriteRegister(c, REG_AUTO_EXPOSURE, 0)) {
            return STATUS_UNSUCCESSFUL;
        }
    }
    c->AutoExposureOn = (UCHAR)value;
    return STATUS_SUCCESS;
}

NTSTATUS SetFlickerFrequency(CameraContext* c, LONG value)
{
    switch (value) {
    case 0:
        return SetFlickerMode(&c->AutoControlState, FlickerMode60Hz);
    case 1:
        return SetFlickerMode(&c->AutoControlState, FlickerMode50Hz);
    case 2:
        return SetFlickerMode(&c->AutoControlState, FlickerModeOff);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

} // namespace

USHORT ManualRedGain(ULONG Level)
{
    return (USHORT)(Level < 10 ? 72 + (640 - 64 * (LONG)Level) / 10 : 72);
}

USHORT ManualBlueGain(ULONG Level)
{
    return (USHORT)(Level > 10 ? 73 + (64 * ((LONG)Level - 10)) / 10 : 99);
}

NTSTATUS CamSetControl(CameraContext* Context, ULONG Code, LONG Value, LONG Flags)
{
    if (Context == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    CameraContext* c = Context;
    switch (Code) {
    case CTRL_BRIGHTNESS:
    case CTRL_EXPOSURE_TARGET:
        return SetBrightness(c, Value);
    case CTRL_CONTRAST:
        if (Value < 0 || Value > 3000) {
            return STATUS_INVALID_PARAMETER;
        }
        c->Contrast = Value;
        RebuildWithCurrentValues(c);
        return STATUS_SUCCESS;
    case CTRL_HUE:
        return SetHue(c, Value);
    case CTRL_SATURATION:
        if (Value < 0 || Value > 63) {
            return STATUS_INVALID_PARAMETER;
        }
        c->Saturation = Value;
        RebuildWithCurrentValues(c);
        return STATUS_SUCCESS;
    case CTRL_SHARPNESS:
        if (Value < 1 || Value > 8) {
            return STATUS_INVALID_PARAMETER;
        }
        c->Sharpness = Value;
        return STATUS_SUCCESS;
    case CTRL_GAMMA_WITH_FLAG:
        return SetGammaWithFlag(c, Value, Flags);
    case CTRL_WHITE_BALANCE:
        return SetWhiteBalance(c, Value, Flags);
    case CTRL_AUTO_EXPOSURE_STATE:
        return SetAutoExposureState(c, Value);
    case CTRL_AUTO_WHITE_BALANCE_STATE: {
        if (Value != 0 && Value != 1) {
            return STATUS_INVALID_PARAMETER;
        }
        const NTSTATUS status =
            SetWhiteBalance(c, (LONG)c->WhiteBalanceLevel,
                            Value == 1 ? CONTROL_FLAGS_AUTO : CONTROL_FLAGS_MANUAL);
        if (NT_SUCCESS(status)) {
            c->AutoWhiteBalanceOn = (ULONG)Value;
        }
        return status;
    }
    case CTRL_WHITE_BALANCE_TARGET:
        if (Value < 0 || Value > 20) {
            return STATUS_INVALID_PARAMETER;
        }
        return SetWhiteBalance(c, Value,
                               c->AutoWhiteBalanceOn ? CONTROL_FLAGS_AUTO : CONTROL_FLAGS_MANUAL);
    case CTRL_FLICKER_COMP_STATE:
        if (Value != 0 && Value != 1) {
            return STATUS_INVALID_PARAMETER;
        }
        return SetFlickerFrequency(c, Value == 1 ? (LONG)c->CameraSettings.FlickerCompFreq : 2);
    case CTRL_FLICKER_COMP_FREQ:
        return SetFlickerFrequency(c, Value);
    case CTRL_GAMMA:
        if (Value < 0 || Value > 9) {
            return STATUS_INVALID_PARAMETER;
        }
        return SetGammaWithFlag(c, Value,
                                c->GammaModeFlag ? CONTROL_FLAGS_AUTO : CONTROL_FLAGS_MANUAL);
    case CTRL_COMPRESSION_STATE:
        return Value == 1 ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS CamSetExposureTime(CameraContext* Context, LONG Value)
{
    LONG rows;
    switch (Context->ModeFrameRate) {
    case 10:
        rows = (242 * Value + 5) / 10;
        break;
    case 15:
        rows = (289 * Value + 4) / 8;
        break;
    case 21:
        rows = (312 * Value + 3) / 6;
        break;
    default:
        rows = (292 * Value + 2) / 4;
        break;
    }
    return SetShutter(&Context->AutoControlState, (USHORT)rows);
}

LONG CamGetExposureTime(CameraContext* Context)
{
    const LONG a = Context->AutoControlState.Shutter;
    switch (Context->ModeFrameRate) {
    case 10:
        return (10 * a + 121) / 242;
    case 15:
        return (8 * a + 144) / 289;
    case 21:
        return (6 * a + 156) / 312;
    default:
        return (4 * a + 146) / 292;
    }
}

NTSTATUS CamSetGain(CameraContext* Context, LONG Value)
{
    return SetGain(&Context->AutoControlState, (USHORT)Value);
}
