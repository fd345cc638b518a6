// The automatic exposure and white-balance controller record, kept inside the
// camera context.
#pragma once

#include "../core/kaldrin_platform.h"

struct CameraContext;

// EnableFlags bits.
constexpr ULONG AUTO_ENABLE_EXPOSURE = 0x1;
constexpr ULONG AUTO_ENABLE_WHITE_BALANCE = 0x2;

// Special values of Shutter and Gain.
constexpr USHORT SHUTTER_NOT_WRITTEN = 0xFFFE;
constexpr USHORT SHUTTER_REWRITE = 0xFFF0;
constexpr USHORT GAIN_REWRITE = 0xFFFF;

struct AutoControlState {
    ULONG EnableFlags;        // bit 0 AE enabled, bit 1 AWB enabled
    USHORT TargetLuma;        // min(TargetBase * TargetScale / 128, 255)
    USHORT TargetBase;        // 72
    USHORT TargetScale;       // 128 = 1.0
    USHORT LumaA;             // luma of statistics set A
    USHORT LumaB;             // luma of statistics set B
    USHORT FlickerHz;         // mains frequency assumed for the shutter: 60 or 50
    USHORT Shutter;           // rows last written to sensor register 0x09
    USHORT Gain;              // code last written to sensor register 0x35
    USHORT LumaError;         // |TargetLuma - measured luma|
    USHORT Tolerance;         // AE dead band: 8 while correcting, 16 once inside
    SHORT ExposureIndex;      // index into the exposure table ("AGC Step")
    SHORT BrightLevel[4];     // error thresholds for a large step, too bright
    SHORT DarkLevel[4];       // error thresholds for a large step, too dark
    SHORT DarkIndexLimit[4];  // a large dark step at level k needs an index below this
    SHORT BrightIndexLimit[4]; // a large bright step at level k needs an index above this
    USHORT MinIndex;          // 1 at 30 frames/s, 9 at 10 frames/s, 5 otherwise
    USHORT MaxIndex;          // 94
    USHORT FlickerMinIndex;   // 30: lowest index under flicker compensation
    UCHAR FlickerOff;         // 1: no flicker constraint
    UCHAR Stats[8];           // red A, green A1, green A2, blue A, red B, green B1, green B2, blue B
    LONG AwbDeadband;         // 1 while correcting, 3 once inside
    SHORT AwbErrorRed;        // red - green of set B, as a signed 8-bit value
    SHORT AwbErrorBlue;       // blue - green of set B, as a signed 8-bit value
    USHORT RedGain;           // register 0x8651
    USHORT BlueGain;          // register 0x8653
    UCHAR ClockDivider;       // copy of ModeClockDivider taken at capture start
    CameraContext* Context;   // the owning device
};
