// Row address tables, lookup tables and line buffers shared by the decoders
// and the reconstruction. They are driver-wide: the last BuildPipelineTables
// call decides the geometry and the buffers every frame uses. All of this
// state lives in the one record `Pipeline`, so a test can start from a fresh
// driver with ResetPipelineTables.
#pragma once

#include "../core/kaldrin_platform.h"

constexpr ULONG PIPELINE_MAX_WIDTH = 352;
constexpr ULONG PIPELINE_MAX_HEIGHT = 288;
constexpr ULONG PIPELINE_ROWS = PIPELINE_MAX_HEIGHT + 6;      // entries of each row table
constexpr ULONG PIPELINE_LINE_BYTES = PIPELINE_MAX_WIDTH + 8; // reconstruction line buffers

// Mosaic (decoded Bayer) layout: lines of W + 6 bytes, picture row y in line
// y + 2, pixel x at byte x + 3.
constexpr ULONG MOSAIC_MARGIN_LINES = 2;
constexpr ULONG MOSAIC_MARGIN_BYTES = 3;
// Luma layout: lines of W + 10 bytes, pixel x at byte x + 5.
constexpr ULONG LUMA_MARGIN_BYTES = 5;

// One entry of the large-frame residual code, looked up by the next 12 bits
// of the stream (the longest code, the escape, is 12 bits).
struct ResidualCode {
    SHORT Residual; // d added to the prediction
    UCHAR Length;   // bits the code occupies
    UCHAR Invalid;  // 1 for the invalid code 100 10000
};

struct PipelineTables {
    // Geometry and buffers of the last build.
    ULONG Width;
    ULONG Height;
    PUCHAR MosaicBuffer;
    PUCHAR LumaBuffer;

    // Row address tables, entry i = 0 .. H+5.
    PUCHAR DecoderRows[PIPELINE_ROWS]; // pixel 0 of picture row i
    PUCHAR MosaicLines[PIPELINE_ROWS]; // start of mosaic line i
    PUCHAR LumaLines[PIPELINE_ROWS];   // start of luma line i

    // Byte offsets of the five physical reconstruction lines for each phase
    // (row) and role (column: rows 2n-1, 2n, 2n+1, 2n+2, 2n+3).
    ULONG LineRotation[5][5];

    // YuvProductTables: entry i = i * k / 1000, truncated toward zero.
    SHORT YuvProducts[9][256];

    UCHAR ClampStorage[1300];   // indices -500 .. 799
    UCHAR AbsDiffStorage[1600]; // indices -800 .. 799

    // Large-frame decoder tables.
    UCHAR Quantiser[256];        // camera revision 2: sample to its level
    ResidualCode Residuals[4096]; // by the next 12 stream bits

    // Decoder state carried from frame to frame.
    UCHAR LevelBlockFlag;      // the last block of the last large frame was a level block
    ULONG SmallFrameCounter;   // small frames decoded since the last build
    UCHAR SavedRow0[512];      // revision 2: rows 0 and 1 as they arrived
    UCHAR SavedRow1[512];

    // Reconstruction line buffers (no initialisation needed).
    UCHAR GreenLines[5][PIPELINE_LINE_BYTES];
    UCHAR FlagLines[5][PIPELINE_LINE_BYTES];
    UCHAR ColourLines[4][PIPELINE_LINE_BYTES]; // R and B of the two rows of a pair
    UCHAR ToneLines[6][PIPELINE_LINE_BYTES];   // G, R, B of the two rows
    UCHAR SmoothedGreen[2][PIPELINE_LINE_BYTES]; // greens of a row pair after smoothing
};

// The driver-wide pipeline state.
extern PipelineTables Pipeline;

// Indices of the YuvProducts tables.
enum YuvProductIndex : ULONG { T_YR, T_YG, T_YB, T_UR, T_UG, T_UB, T_VR, T_VG, T_VB };

// Coefficients (in thousandths) of the YuvProducts tables, in table order.
extern const SHORT YuvCoefficients[9];

// The tone curve both reconstruction paths apply before their colour matrix.
extern const UCHAR BaseToneCurve[256];

// Large-frame colour matrix: nine Q15 coefficients, each as four identical
// words, in the order R from R, G, B; G from R, G, B; B from R, G, B.
extern const SHORT LargeColourMatrix[9][4];

// Small-frame colour matrix in units of 1/512, row-major over bytes B, G, R.
extern const LONG SmallColourMatrix[9];

// Level of each 4-bit code of a level block.
extern const UCHAR LevelTable[16];

// Returns 1 when the tables were built for Width x Height over the two
// buffers, 0 when a buffer is null (or the geometry does not fit the tables),
// in which case only the mosaic registration and the small-frame counter
// change.
ULONG BuildPipelineTables(ULONG Width, ULONG Height, PUCHAR MosaicBuffer, PUCHAR LumaBuffer);

// Returns every piece of driver-wide pipeline state to its state at driver
// load (all zero).
void ResetPipelineTables();

// ClampTable[i] for i in -500 .. 799.
inline UCHAR ClampSample(LONG Value) { return Pipeline.ClampStorage[Value + 500]; }
