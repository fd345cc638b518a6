#include "capture.h"

#include "../autocontrol/auto_control.h"
#include "../autocontrol/tone_tables.h"
#include "../imaging/pipeline_tables.h"
#include "controls.h"
#include "registers.h"

namespace {

// A sensor register row of the bring-up: the serial port's low byte, the
// register and the high byte.
struct SensorWrite {
    UCHAR Register;
    USHORT Value;
};

// Bring-up values of the sensor registers after 0x01, which depends on the
// width, and 0x06 and 0x09, which come from the mode row.
const SensorWrite SensorTail[] = {
    {0x2F, 0x1100}, {0x31, 0x2820}, {0x35, 0x001E}, // gain 0x1E
    {0x39, 0x0002}, {0x40, 0x003C}, {0x41, 0x0040},
};

struct RegisterWrite {
    USHORT Register;
    USHORT Value;
};

// The bridge's image pipeline at bring-up: neutral gains, no offsets.
const RegisterWrite BridgePipeline[] = {
    {REG_AUTO_EXPOSURE, 0x00}, {0x865B, 0x0B}, {0x865F, 0x00}, {0x865D, 0xB0},
    {0x865E, 0x90},          {REG_DEFECT_CONTROL, 0x06},
    {REG_RED_GAIN, 0x40},    {0x8652, 0x40}, {REG_BLUE_GAIN, 0x40}, {0x8654, 0x40},
    {0x8611, 0x00},          {0x8612, 0x00}, {0x8613, 0x00}, {0x8614, 0x00},
    {0x8603, 0x80},          {0x8604, 0x00}, {0x8605, 0x00},
};

bool SmallWidth(ULONG width) { return width == 160 || width == 176; }

} // namespace

void InitialiseSensor(CameraContext* Context)
{
    CameraContext* c = Context;
    // Bridge clock and transfer set-up.
    CamWriteRegister(c, REG_8704, 0x20);
    CamWriteRegister(c, REG_PACKET_QUADS, c->ModePacketQuads);
    CamWriteRegister(c, REG_CLOCK_DIVIDER, c->ModeClockDivider);
    CamWriteRegister(c, REG_8702, c->ModeReg8702);
    CamWriteRegister(c, REG_8505, c->ModeReg8505);
    CamWriteRegister(c, REG_8502, c->ModeReg8502);
    CamWriteRegister(c, 0x8701, 0x03);
    CamWriteRegister(c, 0x8703, 0x10);
    CamWriteRegister(c, 0x870C, 0x01);
    CamWriteRegister(c, REG_8704, 0x42);

    // Sensor power-up and reset.
    CamWriteRegister(c, REG_SENSOR_POWER, 0x90);
    CamWriteRegister(c, REG_SENSOR_RESET, 0x01);
    CamWriteRegister(c, REG_SENSOR_CONTROL, 0x00);
    CamSleep(20);
    CamWriteRegister(c, REG_SENSOR_RESET, 0x00);
    CamWriteRegister(c, REG_SENSOR_CONTROL, 0x01);
    CamSleep(20);
    CamWriteRegister(c, REG_SENSOR_CONTROL, 0x03);

    // Serial port set-up.
    CamWriteRegister(c, REG_SERIAL_SETUP_4, 0xBA);
    CamWriteRegister(c, REG_SERIAL_SETUP_2, 0x10);

    // Sensor registers.
    CamWriteSensorRegister(c, SENSOR_HOLD, 0x40AA);
    CamWriteSensorRegister(c, 0x01, SmallWidth(c->FrameWidth) ? 0x000F : 0x000E);
    CamWriteSensorRegister(c, 0x02, 0x000C);
    CamWriteSensorRegister(c, 0x03, 0x0120);
    CamWriteSensorRegister(c, 0x04, 0x0171);
    CamWriteSensorRegister(c, 0x05, 0x0047);
    CamWriteSensorRegister(c, 0x06, (USHORT)(c->ModeVerticalBlanking & 0xFF));
    CamWriteSensorRegister(c, 0x20, 0x3504);
    CamWriteSensorRegister(c, 0x27, 0x002C);
    CamWriteSensorRegister(c, 0x28, 0x000B);
    CamWriteSensorRegister(c, SENSOR_SHUTTER, (USHORT)(((c->ModeShutterHigh & 0xFF) << 8) | 0x56));
    for (const SensorWrite& w : SensorTail) {
        CamWriteSensorRegister(c, w.Register, w.Value);
    }

    for (const RegisterWrite& w : BridgePipeline) {
        CamWriteRegister(c, w.Register, w.Value);
    }
}

void UploadDefectTable(CameraContext* Context, const DpcTable* Table)
{
    const USHORT* words = Table->Words;
    // The camera's table takes as many entries as the calibration block
    // lists; only those inside the 64-word image are known.
    ULONG count = words[DPC_WORD_COUNT] & DPC_COUNT_MASK;
    if (count == 0) {
        return;
    }
    if (count > DPC_MAX_ENTRIES) {
        count = DPC_MAX_ENTRIES;
    }
    CamWriteRegister(Context, REG_DEFECT_CONTROL, 0x16);
    const USHORT dx = (USHORT)(words[DPC_WORD_OFFSETS] >> 8);
    const USHORT dy = (USHORT)(words[DPC_WORD_OFFSETS] & 0xFF);
    for (ULONG i = 0; i < count; ++i) {
        const USHORT a = (USHORT)(words[DPC_WORD_FIRST_ENTRY + 2 * i] + dx);
        const USHORT b = (USHORT)(words[DPC_WORD_FIRST_ENTRY + 2 * i + 1] + dy);
        CamWriteRegister(Context, REG_DEFECT_INDEX, (USHORT)i);
        CamWriteRegister(Context, REG_DEFECT_INDEX + 1, (USHORT)(a & 0xFF));
        CamWriteRegister(Context, REG_DEFECT_INDEX + 2, (USHORT)((a >> 8) & 3));
        CamWriteRegister(Context, REG_DEFECT_INDEX + 3, (USHORT)(b & 0xFF));
        CamWriteRegister(Context, REG_DEFECT_INDEX + 4, (USHORT)((b >> 8) & 3));
    }
    CamWriteRegister(Context, REG_DEFECT_CONTROL, 0x1E);
}

void ProgramCaptureMode(CameraContext* Context)
{
    CameraContext* c = Context;
    CamReadRegister(c, REG_REVISION, &c->CameraRevision);
    ULONG modeCode = 0;
    UCHAR scaling = 0;
    switch (c->FrameWidth) {
    case 160:
        modeCode = 13;
        scaling = 0x08;
        break;
    case 176:
        modeCode = 12;
        scaling = 0x08;
        break;
    case 320:
        modeCode = 17;
        break;
    case 352:
        modeCode = 16;
        break;
    default:
        break;
    }
    if (modeCode != 0) {
        CamWriteRegister(c, 0x865C, 0x02);
        CamWriteRegister(c, REG_SCALING, scaling);
        c->FormatModeCode = modeCode;
    }
    CamWriteRegister(c, REG_FORMAT_MODE, (USHORT)c->FormatModeCode);
    UCHAR readBack = 0;
    CamReadRegister(c, REG_FORMAT_MODE, &readBack);
    InitialiseSensor(c);
    if (c->CameraSettings.DpcState == 1 && (c->DpcTable.Words[DPC_WORD_COUNT] & DPC_DO_NOT_USE) == 0) {
        UploadDefectTable(c, &c->DpcTable);
    }
}

NTSTATUS StartCameraHardware(CameraContext* Context)
{
    CameraContext* c = Context;
    if (c->CaptureActive) {
        return STATUS_SUCCESS;
    }
    c->CaptureActive = 1;
    ProgramCaptureMode(c);
    AutoControlPrepare(&c->AutoControlState, c);
    CamWriteRegister(c, REG_STREAM, 0x00);
    CamWriteRegister(c, REG_STREAM, 0x30);
    CamSleep(300);

    // Statistics registers: set A then set B, each green 1, red, blue,
    // green 2. A failed read keeps the previous byte.
    UCHAR* stats = c->AutoControlState.Stats; // red A, green A1, green A2, blue A, then set B
    const UCHAR order[4] = {1, 0, 3, 2};      // register offset -> index in a set
    for (USHORT set = 0; set < 2; ++set) {
        for (USHORT k = 0; k < 4; ++k) {
            CamReadRegister(c, (USHORT)(REG_STATISTICS_A + 4 * set + k), &stats[4 * set + order[k]]);
        }
    }

    RebuildToneTables(c->Brightness, c->Contrast, (LONG)c->Gamma, c->HueAngleIndex, c->Saturation);

    const CameraSettings& s = c->CameraSettings;
    CamSetControl(c, CTRL_AUTO_EXPOSURE_STATE, (LONG)s.AutoExposureState, 0);
    CamSetControl(c, CTRL_AUTO_WHITE_BALANCE_STATE, (LONG)s.AutoWhiteBalanceState, 0);
    CamSetControl(c, CTRL_BRIGHTNESS, (LONG)s.ExposureTarget, 0);
    CamSetControl(c, CTRL_WHITE_BALANCE_TARGET, (LONG)s.WhiteBalanceTarget, 0);
    CamSetControl(c, CTRL_SATURATION, (LONG)s.SaturationSetting, 0);
    CamSetControl(c, CTRL_SHARPNESS, (LONG)s.SharpnessSetting, 0);
    CamSetControl(c, CTRL_FLICKER_COMP_STATE, (LONG)s.FlickerCompState, 0);

    BuildPipelineTables(c->FrameWidth, c->FrameHeight, c->RawLineBuffer, c->LumaWorkBuffer);
    return STATUS_SUCCESS;
}

NTSTATUS StopCameraHardware(CameraContext* Context)
{
    if (!Context->CaptureActive) {
        return STATUS_SUCCESS;
    }
    Context->CaptureActive = 0;
    CamWriteRegister(Context, REG_STREAM, 0x00);
    CamWriteRegister(Context, REG_SENSOR_CONTROL, 0x00);
    return STATUS_SUCCESS;
}
