// The automatic exposure and white-balance controller. Exposure walks an
// index through a per-frame-rate table of (shutter rows, gain code) pairs;
// white balance nudges the bridge's red and blue gains towards green. Both
// work on the statistics the camera sends with every frame.
#pragma once

#include "../core/camera_context.h"

// One exposure setting: the shutter as sensor rows under 60 Hz lighting and
// the sensor gain code.
struct ExposureEntry {
    USHORT Shutter60; // rows; rescaled when the lighting is 50 Hz
    USHORT Gain;      // gain code as SetGain takes it
};

constexpr USHORT EXPOSURE_TABLE_ENTRIES = 95; // indexes 0..94

// Index limits set at capture start.
constexpr USHORT EXPOSURE_MAX_INDEX = 94;
constexpr USHORT EXPOSURE_FLICKER_MIN_INDEX = 30; // 1/120 s, the shortest flicker-free shutter

// Initial AE target and its unit scale.
constexpr USHORT AUTO_TARGET_BASE = 72;
constexpr USHORT AUTO_TARGET_SCALE_ONE = 128;

// AE dead band while correcting and once inside it.
constexpr USHORT AE_TOLERANCE_CORRECTING = 8;
constexpr USHORT AE_TOLERANCE_SETTLED = 16;

// AWB dead band while correcting and once inside it.
constexpr LONG AWB_DEADBAND_CORRECTING = 1;
constexpr LONG AWB_DEADBAND_SETTLED = 3;

// Sensor hold register values around a change of both shutter and gain.
constexpr USHORT SENSOR_HOLD_OPEN = 0x00AB;
constexpr USHORT SENSOR_HOLD_CLOSE = 0x00AA;

// Shutter register value: 0x1000 + rows.
constexpr USHORT SENSOR_SHUTTER_BASE = 0x1000;

// Mains lighting assumed by the shutter. The values are the control's codes.
enum FlickerMode : ULONG {
    FlickerMode60Hz = 0,
    FlickerMode50Hz = 1,
    FlickerModeOff = 2,
};

// The exposure table for a frame rate: 10, 15 and 21 frames/s have their
// own, every other rate uses the 30 frames/s table. Always
// EXPOSURE_TABLE_ENTRIES entries.
const ExposureEntry* ExposureTableFor(USHORT FrameRate);

// Once per device, at initialisation. Leaves EnableFlags, ExposureIndex and
// the white-balance gains alone: they come from the stored settings.
void AutoControlInit(AutoControlState* State, CameraContext* Context);

// At every capture start, before the stream runs: derives the index limits
// and step thresholds from the mode, then writes the stored exposure index
// and white-balance gains to the camera.
void AutoControlPrepare(AutoControlState* State, CameraContext* Context);

// Measures the current statistics: fills LumaA, LumaB, AwbErrorRed,
// AwbErrorBlue, TargetLuma and LumaError, and returns the mean luma Y.
USHORT MeasureStatistics(AutoControlState* State);

// One AE iteration. With AE enabled, *Settled becomes TRUE when the index
// stayed where it was; with AE disabled only the measurement runs and
// *Settled is not touched.
void AutoExposureStep(AutoControlState* State, BOOLEAN* Settled);

// One AWB iteration. With AWB enabled, *Settled becomes TRUE when neither
// gain moved; with AWB disabled only the measurement runs and *Settled is
// not touched.
void AutoWhiteBalanceStep(AutoControlState* State, BOOLEAN* Settled);

// Writes the shutter and gain of table entry Index (clamped to the current
// index limits), skipping registers that already hold their value. A change
// of both is bracketed by the sensor hold. Returns the first failure of the
// sensor writes, else STATUS_SUCCESS.
NTSTATUS ApplyExposureIndex(AutoControlState* State, SHORT Index);

// Single sensor writes of the shutter (rows) and the gain (code); each
// records the value first and returns the write's status.
NTSTATUS SetShutter(AutoControlState* State, USHORT Rows);
NTSTATUS SetGain(AutoControlState* State, USHORT Code);

// Selects the lighting the shutter avoids beating with, then rewrites the
// exposure. STATUS_INVALID_PARAMETER for an unknown mode (nothing changes);
// otherwise ApplyExposureIndex's status.
NTSTATUS SetFlickerMode(AutoControlState* State, FlickerMode Mode);

// Writes both white-balance gain registers (low bytes); failures are
// ignored. The recorded gains are not changed.
void SetWhiteBalanceGains(AutoControlState* State, USHORT Red, USHORT Blue);
