// The control dispatcher: every image control, from the standard
// video-processing properties, the vendor set and the settings re-applied at
// capture start, goes through CamSetControl with a numeric code.
#pragma once

#include "../core/camera_context.h"

enum ControlCode : ULONG {
    CTRL_BRIGHTNESS = 1,
    CTRL_CONTRAST = 2,
    CTRL_HUE = 3,
    CTRL_SATURATION = 4,
    CTRL_SHARPNESS = 5,
    CTRL_GAMMA_WITH_FLAG = 6,
    CTRL_WHITE_BALANCE = 8,
    CTRL_AUTO_EXPOSURE_STATE = 11,
    CTRL_EXPOSURE_TARGET = 12,
    CTRL_AUTO_WHITE_BALANCE_STATE = 13,
    CTRL_WHITE_BALANCE_TARGET = 14,
    CTRL_FLICKER_COMP_STATE = 15,
    CTRL_FLICKER_COMP_FREQ = 16,
    CTRL_GAMMA = 17,
    CTRL_COMPRESSION_STATE = 18,
};

// Flags of the standard video-processing properties, also used by codes 6
// and 8: 1 automatic, 2 manual.
constexpr LONG CONTROL_FLAGS_AUTO = 1;
constexpr LONG CONTROL_FLAGS_MANUAL = 2;

// Checks Value for Code, stores it and applies it. STATUS_INVALID_PARAMETER
// for a value out of range (nothing changes), STATUS_NOT_SUPPORTED for an
// unknown code or a refused value, STATUS_UNSUCCESSFUL when switching
// automatic exposure off could not reach the camera; flicker codes pass on
// the status of the exposure write.
NTSTATUS CamSetControl(CameraContext* Context, ULONG Code, LONG Value, LONG Flags);

// Manual white-balance gains of level 0..20.
USHORT ManualRedGain(ULONG Level);
USHORT ManualBlueGain(ULONG Level);

// Exposure time in 1/120 s, converted to and from sensor rows for the mode's
// frame rate. The set writes the shutter directly (automatic exposure, when
// on, overrides it at its next correction).
NTSTATUS CamSetExposureTime(CameraContext* Context, LONG Value);
LONG CamGetExposureTime(CameraContext* Context);

// Writes a sensor gain code directly, unchecked.
NTSTATUS CamSetGain(CameraContext* Context, LONG Value);
