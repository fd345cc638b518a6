// The persisted settings record kept inside the camera context: one ULONG per
// registry value, in the order the settings code walks them.
#pragma once

#include "../core/kaldrin_platform.h"

struct CameraSettings {
    ULONG AutoExposureState;     // "Auto Exposure State" 0..1
    ULONG AutoWhiteBalanceState; // "Auto White Balance State" 0..1
    ULONG ExposureTarget;        // "Exposure Target" 0..255 (brightness)
    ULONG WhiteBalanceTarget;    // "White Balance Target" 0..20
    ULONG SaturationSetting;     // "Saturation" 0..63
    ULONG SharpnessSetting;      // "Sharpness" 1..8
    ULONG HueSetting;            // "Hue" 0..358
    ULONG CompressionState;      // "Compression State" 0..1
    ULONG ContrastSetting;       // "Contrast" 0..3000
    ULONG GammaSetting;          // "Gamma" 0..9
    ULONG FlickerCompState;      // "Fluo Flicker Comp State" 0..1
    ULONG FlickerCompFreq;       // "Fluo Flicker Comp Freq" 0..1
    ULONG MaxPacketSizeAllowed;  // "Max Packet Size Allowed" 128..1024
    ULONG MsToSkipPackets;       // "Ms to Skip Packets" 33..500
    ULONG WhiteBalanceRedGain;   // "White Balance Red Gain" 0..255
    ULONG WhiteBalanceBlueGain;  // "White Balance Blue Gain" 0..255
    ULONG ExposureTimeSetting;   // "Exposure Time" 1..27
    ULONG GainSetting;           // "Gain" 1..32
    ULONG AgcStep;               // "AGC Step" 1..94 (exposure index)
    ULONG AeAwbInterval;         // "AEAWB Interval" 32..512
    ULONG AePeriod;              // "AE Period" 2..16
    ULONG FixedAePeriodState;    // "Fixed AE Period State" 0..1
    ULONG AwbPeriod;             // "AWB Period" 1..4
    ULONG FixedAwbPeriodState;   // "Fixed AWB Period State" 0..1
    ULONG DpcState;              // "DPC State" 0..1
};

static_assert(sizeof(CameraSettings) == 25 * sizeof(ULONG), "one ULONG per persisted setting");
