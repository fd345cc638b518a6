#include "pipeline_tables.h"

PipelineTables Pipeline;

const SHORT YuvCoefficients[9] = {
    299,  // T_YR: 0.299, Y from red
    587,  // T_YG: 0.587, Y from green
    114,  // T_YB: 0.114, Y from blue
    -168, // T_UR: U from red
    -331, // T_UG: U from green
    500,  // T_UB: U from blue
    500,  // T_VR: V from red
    -419, // T_VG: V from green
    -81,  // T_VB: V from blue
};

const UCHAR BaseToneCurve[256] = {
    0,   1,   2,   4,   5,   6,   7,   8,   10,  11,  12,  13,  14,  16,  17,  18,
    20,  21,  23,  24,  26,  28,  30,  31,  33,  35,  37,  39,  40,  42,  44,  46,
    48,  50,  52,  54,  56,  58,  61,  63,  65,  67,  69,  71,  73,  75,  77,  79,
    82,  84,  86,  88,  90,  92,  94,  96,  98,  100, 101, 103, 105, 107, 109, 111,
    113, 115, 117, 119, 121, 123, 125, 126, 128, 129, 131, 132, 134, 135, 137, 138,
    140, 141, 142, 144, 145, 146, 147, 149, 150, 152, 153, 154, 156, 157, 159, 160,
    161, 162, 163, 164, 165, 166, 167, 168, 169, 170, 171, 172, 172, 173, 174, 175,
    176, 176, 177, 178, 179, 180, 180, 181, 182, 183, 183, 184, 184, 185, 186, 187,
    187, 188, 189, 190, 190, 191, 191, 192, 193, 193, 194, 194, 195, 196, 196, 197,
    197, 198, 199, 199, 200, 200, 201, 202, 202, 203, 203, 204, 205, 205, 206, 206,
    207, 208, 208, 209, 209, 210, 211, 211, 212, 212, 213, 213, 214, 214, 215, 215,
    216, 216, 217, 217, 218, 219, 219, 220, 220, 221, 221, 222, 222, 223, 223, 224,
    224, 225, 225, 226, 226, 227, 227, 228, 228, 229, 229, 230, 230, 231, 231, 232,
    232, 233, 233, 234, 235, 235, 236, 237, 237, 237, 238, 238, 238, 239, 239, 240,
    240, 241, 242, 242, 243, 243, 244, 244, 245, 245, 246, 246, 246, 247, 247, 248,
    248, 248, 249, 249, 250, 250, 250, 251, 251, 252, 252, 253, 253, 254, 254, 255,
};

// 0x6000 = 0.75 in Q15 on the diagonal (added), 0x1000 = 0.125 elsewhere
// (subtracted).
#define KALD_MATRIX_ENTRY(v) {v, v, v, v}
const SHORT LargeColourMatrix[9][4] = {
    KALD_MATRIX_ENTRY(0x6000), KALD_MATRIX_ENTRY(0x1000), KALD_MATRIX_ENTRY(0x1000),
    KALD_MATRIX_ENTRY(0x1000), KALD_MATRIX_ENTRY(0x6000), KALD_MATRIX_ENTRY(0x1000),
    KALD_MATRIX_ENTRY(0x1000), KALD_MATRIX_ENTRY(0x1000), KALD_MATRIX_ENTRY(0x6000),
};
#undef KALD_MATRIX_ENTRY

// 665/512 = 1.30 on the diagonal, -76/512 = -0.15 elsewhere; rows sum to 513.
const LONG SmallColourMatrix[9] = {
    665, -76, -76, // new blue from old blue, green, red
    -76, 665, -76, // new green
    -76, -76, 665, // new red
};

const UCHAR LevelTable[16] = {4, 14, 26, 39, 51, 63, 75, 87, 100, 114, 128, 145, 169, 198, 227, 249};

namespace {

// Physical line (0..4) for each phase and role of the five-line rotation.
const UCHAR RotationLines[5][5] = {
    {0, 1, 2, 3, 4},
    {2, 3, 4, 0, 1},
    {4, 0, 1, 2, 3},
    {1, 2, 3, 4, 0},
    {3, 4, 0, 1, 2},
};

// Upper bound of each quantiser interval, with the level it maps to.
struct QuantiserStep {
    UCHAR Upper;
    UCHAR Level;
};
const QuantiserStep QuantiserSteps[16] = {
    {7, 4},     {19, 14},   {32, 26},   {44, 39},   {56, 51},   {68, 63},   {80, 75},   {92, 87},
    {106, 100}, {120, 114}, {135, 128}, {154, 145}, {182, 169}, {212, 198}, {241, 227}, {255, 249},
};

// Residuals of the seven-bit codes 100 bbbb, by bbbb (0000 and 1000 are
// prefixes of longer codes).
const SHORT LongResiduals[16] = {0, -24, -36, -48, -64, -80, -96, -112,
                                 0, 24,  36,  48,  64,  80,  96,  112};

const SHORT EscapeResiduals[16] = {-144, -160, -176, -196, -224, -256, -288, -320,
                                   144,  160,  176,  196,  224,  256,  288,  320};

// Decodes the residual code at the top of a 12-bit look-ahead.
ResidualCode DecodeResidualCode(ULONG bits12)
{
    ResidualCode code = {0, 1, 0};
    if ((bits12 & 0x800) == 0) {
        return code; // 0: no change
    }
    const ULONG top3 = bits12 >> 9;
    if (top3 == 5) { // 101
        code.Residual = 4;
        code.Length = 3;
    } else if (top3 == 7) { // 111
        code.Residual = -4;
        code.Length = 3;
    } else if (top3 == 6) { // 110xx
        static const SHORT shortCodes[4] = {-10, -16, 10, 16};
        code.Residual = shortCodes[(bits12 >> 7) & 3];
        code.Length = 5;
    } else { // 100 bbbb ...
        const ULONG nibble = (bits12 >> 5) & 0xF;
        const ULONG eighth = (bits12 >> 4) & 1;
        if (nibble == 0) { // 100 0000 s: -128 or +128
            code.Residual = eighth ? 128 : -128;
            code.Length = 8;
        } else if (nibble == 8) {
            if (eighth) { // 100 10001 eeee: escape
                code.Residual = EscapeResiduals[bits12 & 0xF];
                code.Length = 12;
            } else { // 100 10000: invalid
                code.Invalid = 1;
                code.Length = 8;
            }
        } else {
            code.Residual = LongResiduals[nibble];
            code.Length = 7;
        }
    }
    return code;
}

bool GeometryFits(ULONG width, ULONG height)
{
    return width >= 16 && width <= PIPELINE_MAX_WIDTH && (width % 16) == 0 && height >= 6 &&
           height <= PIPELINE_MAX_HEIGHT && (height % 2) == 0;
}

} // namespace

ULONG BuildPipelineTables(ULONG Width, ULONG Height, PUCHAR MosaicBuffer, PUCHAR LumaBuffer)
{
    PipelineTables& p = Pipeline;
    p.MosaicBuffer = MosaicBuffer;
    p.SmallFrameCounter = 0;
    if (MosaicBuffer == nullptr || LumaBuffer == nullptr) {
        return 0;
    }
    // Every size the driver offers fits; anything else would overrun the
    // fixed-size tables and line buffers.
    if (!GeometryFits(Width, Height)) {
        return 0;
    }
    p.Width = Width;
    p.Height = Height;
    p.LumaBuffer = LumaBuffer;

    const ULONG mosaicLine = Width + 2 * MOSAIC_MARGIN_BYTES;
    const ULONG lumaLine = Width + 2 * LUMA_MARGIN_BYTES;
    for (ULONG i = 0; i < Height + 6; ++i) {
        p.DecoderRows[i] = MosaicBuffer + mosaicLine * (i + MOSAIC_MARGIN_LINES) + MOSAIC_MARGIN_BYTES;
        p.MosaicLines[i] = MosaicBuffer + mosaicLine * i;
        p.LumaLines[i] = LumaBuffer + lumaLine * i;
    }

    for (ULONG phase = 0; phase < 5; ++phase) {
        for (ULONG role = 0; role < 5; ++role) {
            p.LineRotation[phase][role] = RotationLines[phase][role] * (Width + 8);
        }
    }

    for (ULONG t = 0; t < 9; ++t) {
        for (LONG i = 0; i < 256; ++i) {
            p.YuvProducts[t][i] = (SHORT)(i * YuvCoefficients[t] / 1000);
        }
    }

    ULONG step = 0;
    for (ULONG v = 0; v < 256; ++v) {
        if (v > QuantiserSteps[step].Upper) {
            ++step;
        }
        p.Quantiser[v] = QuantiserSteps[step].Level;
    }
    for (ULONG bits = 0; bits < 4096; ++bits) {
        p.Residuals[bits] = DecodeResidualCode(bits);
    }
    for (LONG i = -500; i < 800; ++i) {
        p.ClampStorage[i + 500] = (UCHAR)(i < 0 ? 0 : (i > 255 ? 255 : i));
    }
    for (LONG i = -800; i < 800; ++i) {
        p.AbsDiffStorage[i + 800] = (UCHAR)(i <= -256 ? 0 : (i >= 256 ? 255 : (i < 0 ? -i : i)));
    }
    p.LevelBlockFlag = 0;
    return 1;
}

void ResetPipelineTables()
{
    RtlZeroMemory(&Pipeline, sizeof(Pipeline));
}
