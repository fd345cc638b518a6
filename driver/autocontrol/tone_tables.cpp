#include "tone_tables.h"

ToneTableState ToneTables;

namespace {

// A segment is flat enough once its control point lies within 32/256 pixel
// of the segment's midpoint in both coordinates.
constexpr LONG CURVE_FLATNESS = 32;

// Splitting a quadratic segment divides the distance between its control
// point and its midpoint by four. With coordinates in 0..255 * 256 that
// distance starts at most at 2 * 65280 / 4 = 32640 and is within
// CURVE_FLATNESS after five splits (six with the rounding of the shifts), so
// depth-first flattening never holds more than seven pending segments (the
// steepest curve needs four splits). The stack has room for sixteen; a
// segment that would not fit is emitted as it is.
constexpr ULONG CURVE_STACK_DEPTH = 16;

// Curve coordinates carry 8 fraction bits while being flattened.
constexpr LONG CURVE_FRACTION_BITS = 8;

struct CurveSegment {
    TonePoint Q0;
    TonePoint Q1; // control point
    TonePoint Q2;
};

LONG Clamp(LONG value, LONG low, LONG high)
{
    return value < low ? low : (value > high ? high : value);
}

LONG Magnitude(LONG value) { return value < 0 ? -value : value; }

LONG Sign(LONG value) { return value > 0 ? 1 : (value < 0 ? -1 : 0); }

TonePoint Midpoint(TonePoint a, TonePoint b)
{
    return {(a.X + b.X) >> 1, (a.Y + b.Y) >> 1};
}

TonePoint ToPixel(TonePoint p)
{
    return {p.X >> CURVE_FRACTION_BITS, p.Y >> CURVE_FRACTION_BITS};
}

// Appends Point to a work list of TONE_CURVE_LIST_LENGTH entries; FALSE when
// the list is full (the point is dropped).
BOOLEAN AppendPoint(TonePoint* List, ULONG* Count, TonePoint Point)
{
    if (*Count >= TONE_CURVE_LIST_LENGTH) {
        return FALSE;
    }
    List[(*Count)++] = Point;
    return TRUE;
}

// Flattens the quadratic Bezier segment (Q0, Q1, Q2), in fixed point, onto
// the end of the point list: a flat segment contributes Q0 (unless the list
// already ends there), Q1 and Q2; any other is split at its midpoint and its
// two halves flattened in order. FALSE when a list or the split stack ran
// out of room.
BOOLEAN FlattenSegment(TonePoint Q0, TonePoint Q1, TonePoint Q2)
{
    ToneTableState& t = ToneTables;
    CurveSegment pending[CURVE_STACK_DEPTH];
    ULONG depth = 0;
    BOOLEAN fits = TRUE;

    pending[depth++] = {Q0, Q1, Q2};
    while (depth > 0) {
        const CurveSegment s = pending[--depth];
        const TonePoint left = Midpoint(s.Q0, s.Q1);
        const TonePoint right = Midpoint(s.Q1, s.Q2);
        const TonePoint middle = Midpoint(left, right);
        const BOOLEAN flat = Magnitude(s.Q1.X - middle.X) <= CURVE_FLATNESS &&
                             Magnitude(s.Q1.Y - middle.Y) <= CURVE_FLATNESS;
        if (!flat) {
            if (depth + 2 <= CURVE_STACK_DEPTH) {
                // The first half is popped, and so flattened, first.
                pending[depth++] = {middle, right, s.Q2};
                pending[depth++] = {s.Q0, left, middle};
                continue;
            }
            fits = FALSE;
        }
        const TonePoint start = ToPixel(s.Q0);
        const BOOLEAN repeated = t.CurvePointCount > 0 &&
                                 t.CurvePoints[t.CurvePointCount - 1].X == start.X &&
                                 t.CurvePoints[t.CurvePointCount - 1].Y == start.Y;
        if (!repeated && !AppendPoint(t.CurvePoints, &t.CurvePointCount, start)) {
            fits = FALSE;
        }
        if (!AppendPoint(t.CurvePoints, &t.CurvePointCount, ToPixel(s.Q1)) ||
            !AppendPoint(t.CurvePoints, &t.CurvePointCount, ToPixel(s.Q2))) {
            fits = FALSE;
        }
    }
    return fits;
}

// Rasterises each pair of consecutive curve points into the pixel list: the
// start point, then one pixel per step along the major axis. FALSE when the
// pixel list ran out of room.
BOOLEAN RasteriseCurve()
{
    ToneTableState& t = ToneTables;
    t.CurvePixelCount = 0;
    for (ULONG k = 1; k < t.CurvePointCount; ++k) {
        LONG x = t.CurvePoints[k - 1].X;
        LONG y = t.CurvePoints[k - 1].Y;
        if (!AppendPoint(t.CurvePixels, &t.CurvePixelCount, {x, y})) {
            return FALSE;
        }
        const LONG dx = t.CurvePoints[k].X - x;
        const LONG dy = t.CurvePoints[k].Y - y;
        const LONG sx = Sign(dx);
        const LONG sy = Sign(dy);
        const LONG ax = Magnitude(dx);
        const LONG ay = Magnitude(dy);
        LONG err = 0;
        if (ax > ay) {
            for (LONG n = 0; n < ax; ++n) {
                err += ay;
                if (err >= ax) {
                    err -= ax;
                    y += sy;
                }
                x += sx;
                if (!AppendPoint(t.CurvePixels, &t.CurvePixelCount, {x, y})) {
                    return FALSE;
                }
            }
        } else {
            for (LONG n = 0; n < ay; ++n) {
                err += ax;
                if (err >= ay) {
                    err -= ay;
                    x += sx;
                }
                y += sy;
                if (!AppendPoint(t.CurvePixels, &t.CurvePixelCount, {x, y})) {
                    return FALSE;
                }
            }
        }
    }
    return TRUE;
}

void BuildBrightnessTable(LONG Brightness)
{
    const LONG b = Clamp(Brightness, 0, 255);
    for (LONG i = 0; i < 256; ++i) {
        ToneTables.BrightnessTable[i] = (UCHAR)Clamp(i + b - 128, 0, 255);
    }
}

// Rotates every chroma pair by the angle index (half degrees) in Q30.
void BuildHueTables(LONG HueAngleIndex)
{
    const LONG h = Clamp(HueAngleIndex, 0, (LONG)SINE_TABLE_LENGTH - 1);
    const LONGLONG cosine = SineTable[(h + 180) % (LONG)SINE_TABLE_LENGTH];
    const LONGLONG sine = SineTable[h];
    for (LONG u = -128; u < 128; ++u) {
        for (LONG v = -128; v < 128; ++v) {
            const ULONG n = (ULONG)((u + 128) * 256 + (v + 128));
            // |u|, |v| <= 128 and |cosine|, |sine| <= 2^30: the products need
            // 64 bits, the shifted results fit in -256..256.
            const LONG newU = (LONG)(((LONGLONG)u * cosine + (LONGLONG)v * sine) >> 30);
            const LONG newV = (LONG)(((LONGLONG)v * cosine - (LONGLONG)u * sine) >> 30);
            ToneTables.HueTableU[n] = (UCHAR)(Clamp(newU, -128, 127) + 128);
            ToneTables.HueTableV[n] = (UCHAR)(Clamp(newV, -128, 127) + 128);
        }
    }
}

// Chroma scale in 1/32; the shift rounds toward minus infinity.
void BuildSaturationTable(LONG Saturation)
{
    const LONG s = Clamp(Saturation, 0, 63);
    for (LONG i = 0; i < 256; ++i) {
        ToneTables.SaturationWorkTable[i] = (UCHAR)(Clamp((s * (i - 128)) >> 5, -128, 127) + 128);
    }
}

// TRUE (and records Value) when the table of Parameter must be built for
// Value.
BOOLEAN NeedsBuild(ToneParameter& Parameter, LONG Value)
{
    if (Parameter.Built && Parameter.Value == Value) {
        return FALSE;
    }
    Parameter.Value = Value;
    Parameter.Built = TRUE;
    return TRUE;
}

} // namespace

void GetContrastControlPoints(LONG Contrast, TonePoint Points[5])
{
    const LONG c = Clamp(Contrast, 0, 10000);
    Points[0] = {0, 255};
    Points[1] = {(640000 + 64 * c) / 10000, (1920000 + 63 * c) / 10000};
    Points[2] = {128, 128};
    Points[3] = {(1920000 - 64 * c) / 10000, (640000 - 64 * c) / 10000};
    Points[4] = {255, 0};
}

BOOLEAN BuildContrastCurve(LONG Contrast)
{
    ToneTableState& t = ToneTables;
    TonePoint p[5];
    GetContrastControlPoints(Contrast, p);
    for (TonePoint& point : p) {
        point.X <<= CURVE_FRACTION_BITS;
        point.Y <<= CURVE_FRACTION_BITS;
    }

    t.CurvePointCount = 0;
    BOOLEAN complete = FlattenSegment(p[0], p[1], p[2]);
    complete = FlattenSegment(p[2], p[3], p[4]) && complete;
    complete = RasteriseCurve() && complete;

    // Each entry takes the first pixel of its column: walking the list
    // backwards, the first pixel is the last one written.
    UCHAR reached[256];
    RtlZeroMemory(reached, sizeof(reached));
    for (ULONG n = t.CurvePixelCount; n-- > 0;) {
        const TonePoint pixel = t.CurvePixels[n];
        if (pixel.X >= 0 && pixel.X <= 255) {
            t.ContrastTable[pixel.X] = (UCHAR)Clamp(255 - pixel.Y, 0, 255);
            reached[pixel.X] = 1;
        }
    }
    for (LONG i = 0; i < 256; ++i) {
        if (!reached[i]) {
            t.ContrastTable[i] = (UCHAR)i;
            complete = FALSE;
        }
    }
    return complete;
}

void RebuildToneTables(LONG Brightness, LONG Contrast, LONG Gamma, LONG HueAngleIndex,
                       LONG Saturation)
{
    ToneTableState& t = ToneTables;

    if (NeedsBuild(t.Brightness, Brightness)) {
        BuildBrightnessTable(Brightness);
    }
    if (NeedsBuild(t.Contrast, Contrast)) {
        if (Contrast == 0) {
            for (LONG i = 0; i < 256; ++i) {
                t.ContrastTable[i] = (UCHAR)i;
            }
        } else {
            // Every contrast fits the work lists; were it not so, the
            // unreached entries would be left as the identity.
            BuildContrastCurve(Contrast);
        }
    }
    if (NeedsBuild(t.Gamma, Gamma)) {
        RtlCopyMemory(t.GammaTable, GammaCurves[Clamp(Gamma, 0, (LONG)GAMMA_CURVE_COUNT - 1)],
                      sizeof(t.GammaTable));
    }
    if (NeedsBuild(t.HueAngleIndex, HueAngleIndex)) {
        BuildHueTables(HueAngleIndex);
    }
    if (NeedsBuild(t.Saturation, Saturation)) {
        BuildSaturationTable(Saturation);
    }

    for (ULONG k = 0; k < 256; ++k) {
        t.LumaTable[k] = t.BrightnessTable[t.GammaTable[t.ContrastTable[k]]];
    }
    RtlCopyMemory(t.SaturationTable, t.SaturationWorkTable, sizeof(t.SaturationTable));
}

void ResetToneTables()
{
    RtlZeroMemory(&ToneTables, sizeof(ToneTables));
}
