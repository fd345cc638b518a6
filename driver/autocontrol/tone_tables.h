// Brightness, contrast, gamma, hue and saturation tables. The frame path
// applies them to every finished I420 picture: LumaTable to Y, HueTableU and
// HueTableV to each (U, V) pair, SaturationTable to U and V.
//
// One set of tables serves every camera; the last RebuildToneTables wins.
// Readers take no lock, so a frame processed during a rebuild may see a mix
// of old and new entries.
#pragma once

#include "../core/kaldrin_platform.h"

constexpr ULONG TONE_CURVE_LIST_LENGTH = 1000; // room of each contrast work list
constexpr ULONG GAMMA_CURVE_COUNT = 10;
constexpr ULONG SINE_TABLE_LENGTH = 720;       // one entry per half degree

// Neutral control values: each makes its part of the lookup an identity.
constexpr LONG TONE_NEUTRAL_BRIGHTNESS = 128;
constexpr LONG TONE_NEUTRAL_CONTRAST = 0;
constexpr LONG TONE_NEUTRAL_GAMMA = 0;
constexpr LONG TONE_NEUTRAL_HUE_ANGLE = 0;
constexpr LONG TONE_NEUTRAL_SATURATION = 32;

// A point of the contrast curve, in a space whose y axis points down
// (y = 255 - output).
struct TonePoint {
    LONG X;
    LONG Y;
};

// A control value a table was last built for. Built is FALSE until the first
// build, so an all-zero record (the state at driver load) builds everything
// on the first rebuild, whatever the values.
struct ToneParameter {
    LONG Value;
    BOOLEAN Built;
};

struct ToneTableState {
    UCHAR BrightnessTable[256];     // brightness offset
    UCHAR ContrastTable[256];       // contrast curve
    UCHAR GammaTable[256];          // the selected gamma curve
    UCHAR LumaTable[256];           // Brightness[Gamma[Contrast[k]]], applied to Y
    UCHAR HueTableU[65536];         // new U, indexed by U * 256 + V
    UCHAR HueTableV[65536];         // new V, indexed by U * 256 + V
    UCHAR SaturationWorkTable[256]; // chroma scale as last built
    UCHAR SaturationTable[256];     // copy of SaturationWorkTable, applied to U and V

    ToneParameter Brightness;       // as given, before clamping
    ToneParameter Contrast;
    ToneParameter Gamma;
    ToneParameter HueAngleIndex;
    ToneParameter Saturation;

    // Contrast-curve work lists of the last contrast build.
    ULONG CurvePointCount;
    TonePoint CurvePoints[TONE_CURVE_LIST_LENGTH]; // flattened curve
    ULONG CurvePixelCount;
    TonePoint CurvePixels[TONE_CURVE_LIST_LENGTH]; // rasterised curve
};

// The driver-wide tone state.
extern ToneTableState ToneTables;

// GammaCurves[g][i] = floor(255 * (i / 255) ^ (1 / (1 + 0.2 g))): curve 0 is
// the identity, curves 1..9 have gamma 1.2 .. 2.8.
extern const UCHAR GammaCurves[GAMMA_CURVE_COUNT][256];

// SineTable[i] = sin(i * 0.5 degree) * 2^30, truncated toward zero, except
// entry 420 (sin 210 degrees), which holds -536870911.
extern const LONG SineTable[SINE_TABLE_LENGTH];

// Rebuilds the tables for the five control values. Each of the brightness,
// contrast, gamma, hue and saturation tables is rebuilt only when its value
// differs from the one it was last built for; LumaTable and SaturationTable
// are recomposed on every call. Out-of-range values are clamped: brightness
// to 0..255, contrast to 0..10000 (0 is the identity), gamma to 0..9, hue
// angle index to 0..719 (a rotation by index * 0.5 degree), saturation to
// 0..63 (in 1/32).
void RebuildToneTables(LONG Brightness, LONG Contrast, LONG Gamma, LONG HueAngleIndex,
                       LONG Saturation);

// The five control points P0..P4 of the contrast curve for Contrast (clamped
// to 0..10000), in the y-down space.
void GetContrastControlPoints(LONG Contrast, TonePoint Points[5]);

// Builds ToneTables.ContrastTable for Contrast (clamped to 0..10000) through
// the work lists. Returns TRUE when the curve fitted the work lists and
// covered every input 0..255; on FALSE the entries the curve did not reach
// hold the identity. Every contrast 0..10000 fits.
BOOLEAN BuildContrastCurve(LONG Contrast);

// Returns the tone state to its state at driver load (all zero, nothing
// built).
void ResetToneTables();
