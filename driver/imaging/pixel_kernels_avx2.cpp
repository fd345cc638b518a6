// AVX2 formulation of the large-frame reconstruction and of the luma
// sharpening, in 16-bit lanes: the interpolation stages take thirty-two
// pixels at a time as sixteen even and sixteen odd sites, the conversion and
// the sharpening sixteen pixels. Every step is the reference arithmetic; the
// only shortcuts are ones that give the same values (packing with unsigned
// saturation is the clip to 0..255, and no 16-bit intermediate can overflow
// for 8-bit samples).

#if defined(__x86_64__) || defined(_M_X64)

#include <immintrin.h>

#include "demosaic_lines.h"
#include "pixel_kernels.h"
#include "pixel_kernels_simd.h"

using namespace demosaic;

#define KALD_AVX2 __attribute__((target("avx2")))

namespace {

KALD_AVX2 inline __m256i Load16(const UCHAR* p)
{
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Packs sixteen 16-bit lanes to bytes with unsigned saturation and stores them.
KALD_AVX2 inline void Store16(PUCHAR p, __m256i v)
{
    const __m128i packed =
        _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), packed);
}

// Thirty-two bytes from p as sixteen 16-bit lanes: Even holds the bytes at
// even offsets (p[0], p[2], ...), Odd those at odd offsets. Interpolation
// works on one kind of site at a time, so no lane computes a value that the
// other kind would throw away.
struct Pairs {
    __m256i Even;
    __m256i Odd;
};

KALD_AVX2 inline Pairs LoadPairs(const UCHAR* p)
{
    const __m256i words = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return Pairs{_mm256_and_si256(words, _mm256_set1_epi16(0x00FF)), _mm256_srli_epi16(words, 8)};
}

KALD_AVX2 inline __m256i EvenBytes(const UCHAR* p) { return LoadPairs(p).Even; }
KALD_AVX2 inline __m256i OddBytes(const UCHAR* p)
{
    return _mm256_srli_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), 8);
}

// Stores even and odd lanes (each 0..255) interleaved as 32 bytes.
KALD_AVX2 inline void StorePairs(PUCHAR p, __m256i even, __m256i odd)
{
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p),
                        _mm256_or_si256(even, _mm256_slli_epi16(odd, 8)));
}

KALD_AVX2 inline __m256i Clip255(__m256i v)
{
    return _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()), _mm256_set1_epi16(255));
}

KALD_AVX2 inline __m256i Avg2(__m256i a, __m256i b) { return _mm256_srli_epi16(_mm256_add_epi16(a, b), 1); }
KALD_AVX2 inline __m256i Avg4(__m256i a, __m256i b, __m256i c, __m256i d)
{
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(a, b), _mm256_add_epi16(c, d)), 2);
}

// Stage 1 at sixteen colour sites: the centre, its vertical and horizontal
// neighbours one and two away. Returns the green; *flat gets 1 or 0.
KALD_AVX2 inline __m256i InterpolateSites(__m256i z, __m256i n, __m256i s, __m256i up2,
                                          __m256i down2, __m256i l, __m256i e, __m256i l2,
                                          __m256i r2, __m256i* flat)
{
    const __m256i limit = _mm256_set1_epi16(19);
    const __m256i vGrad = _mm256_add_epi16(_mm256_abs_epi16(_mm256_sub_epi16(z, Avg2(up2, down2))),
                                           _mm256_abs_epi16(_mm256_sub_epi16(n, s)));
    const __m256i dGrad = _mm256_add_epi16(_mm256_abs_epi16(_mm256_sub_epi16(z, Avg2(l2, r2))),
                                           _mm256_abs_epi16(_mm256_sub_epi16(l, e)));
    const __m256i v = Avg2(n, s);
    const __m256i h = Avg2(l, e);
    const __m256i isFlat =
        _mm256_and_si256(_mm256_cmpgt_epi16(limit, vGrad), _mm256_cmpgt_epi16(limit, dGrad));
    const __m256i directed = _mm256_blendv_epi8(v, h, _mm256_cmpgt_epi16(vGrad, dGrad));
    *flat = _mm256_and_si256(isFlat, _mm256_set1_epi16(1));
    return _mm256_blendv_epi8(directed, Avg2(v, h), isFlat);
}

// Stage 1 for row y: green and flat flag at the colour sites, the measured
// green at the green sites; the border columns follow the scalar rule.
KALD_AVX2 void InterpolateGreenRowAvx2(LONG y, LONG width, GreenLine line)
{
    const UCHAR* m0 = MosaicRow(y);
    const UCHAR* mm1 = MosaicRow(y - 1);
    const UCHAR* mp1 = MosaicRow(y + 1);
    const UCHAR* mm2 = MosaicRow(y - 2);
    const UCHAR* mp2 = MosaicRow(y + 2);
    const bool oddRow = (y & 1) != 0;
    for (LONG x = 0; x < width; x += 32) {
        const Pairs row = LoadPairs(m0 + x);
        __m256i flat;
        if (oddRow) { // R G R G: colour sites at even x
            const __m256i g = InterpolateSites(
                row.Even, EvenBytes(mm1 + x), EvenBytes(mp1 + x), EvenBytes(mm2 + x),
                EvenBytes(mp2 + x), OddBytes(m0 + x - 2), row.Odd, EvenBytes(m0 + x - 2),
                EvenBytes(m0 + x + 2), &flat);
            StorePairs(line.Green + x + 1, g, row.Odd);
            StorePairs(line.Flag + x + 1, flat, _mm256_setzero_si256());
        } else { // G B G B: colour sites at odd x
            const __m256i g = InterpolateSites(
                row.Odd, OddBytes(mm1 + x), OddBytes(mp1 + x), OddBytes(mm2 + x),
                OddBytes(mp2 + x), row.Even, EvenBytes(m0 + x + 2), OddBytes(m0 + x - 2),
                OddBytes(m0 + x + 2), &flat);
            StorePairs(line.Green + x + 1, row.Even, g);
            StorePairs(line.Flag + x + 1, _mm256_setzero_si256(), flat);
        }
    }
    InterpolateGreenBorders(y, width, line);
}

// Stage 2 for row y into `out` (laid out like a green line): a measured
// green with three or four flat neighbours becomes their mean. With b = 0 on
// even rows and 1 on odd rows, the 32 bytes at index x + b of a line hold,
// in even and odd lanes, the left colour site and the green site of sixteen
// pairs; the bytes at x + b + 1 of the rows above and below hold the sites
// straight above and below in their even lanes.
KALD_AVX2 void SmoothGreenRowAvx2(LONG y, LONG width, GreenLine above, GreenLine row,
                                  GreenLine below, PUCHAR out)
{
    const LONG b = y & 1;
    const __m256i two = _mm256_set1_epi16(2);
    out[0] = row.Green[0];
    out[1] = row.Green[1];
    out[width] = row.Green[width];
    out[width + 1] = row.Green[width + 1];
    for (LONG x = 0; x < width; x += 32) {
        const LONG i = x + b;
        const Pairs centre = LoadPairs(row.Green + i);
        const __m256i right = EvenBytes(row.Green + i + 2);
        const __m256i up = EvenBytes(above.Green + i + 1);
        const __m256i down = EvenBytes(below.Green + i + 1);
        const __m256i count = _mm256_add_epi16(
            _mm256_add_epi16(EvenBytes(above.Flag + i + 1), EvenBytes(below.Flag + i + 1)),
            _mm256_add_epi16(EvenBytes(row.Flag + i), EvenBytes(row.Flag + i + 2)));
        const __m256i mean = Avg4(up, down, centre.Even, right);
        const __m256i g = _mm256_blendv_epi8(centre.Odd, mean, _mm256_cmpgt_epi16(count, two));
        StorePairs(out + i, centre.Even, g);
    }
}

// Stage 3 for row y: red and blue lines of the row. `row` holds the row's
// smoothed greens; `above` and `below` are read at colour sites only.
KALD_AVX2 void ColourRowAvx2(LONG y, LONG width, GreenLine above, GreenLine row,
                             GreenLine below, PUCHAR red, PUCHAR blue)
{
    const UCHAR* m0 = MosaicRow(y);
    const UCHAR* mm1 = MosaicRow(y - 1);
    const UCHAR* mp1 = MosaicRow(y + 1);
    // Column c of a green line is byte c + 1, so for the pairs (x0, x0 + 1)
    // with x0 = x + 2i: bytes x hold G(x0 - 1) and G(x0), bytes x + 2 hold
    // G(x0 + 1) and G(x0 + 2).
    for (LONG x = 0; x < width; x += 32) {
        const Pairs g0 = LoadPairs(row.Green + x);     // G(x0 - 1), G(x0)
        const Pairs g2 = LoadPairs(row.Green + x + 2); // G(x0 + 1), G(x0 + 2)
        const Pairs m = LoadPairs(m0 + x);             // M(y, x0), M(y, x1)
        const Pairs up = LoadPairs(mm1 + x);
        const Pairs down = LoadPairs(mp1 + x);
        __m256i r0, r1, b0, b1;
        if ((y & 1) == 0) { // G B G B
            const __m256i gUp0 = EvenBytes(above.Green + x + 1);   // G(y-1, x0)
            const __m256i gDown0 = EvenBytes(below.Green + x + 1); // G(y+1, x0)
            const __m256i gUp2 = EvenBytes(above.Green + x + 3);   // G(y-1, x0 + 2)
            const __m256i gDown2 = EvenBytes(below.Green + x + 3);
            b1 = m.Odd;
            b0 = _mm256_sub_epi16(
                _mm256_add_epi16(Avg2(OddBytes(m0 + x - 2), m.Odd), g0.Odd), Avg2(g0.Even, g2.Even));
            r0 = _mm256_sub_epi16(_mm256_add_epi16(Avg2(up.Even, down.Even), g0.Odd),
                                  Avg2(gUp0, gDown0));
            r1 = _mm256_sub_epi16(
                _mm256_add_epi16(Avg4(up.Even, EvenBytes(mm1 + x + 2), down.Even, EvenBytes(mp1 + x + 2)),
                                 g2.Even),
                Avg4(gUp0, gUp2, gDown0, gDown2));
        } else { // R G R G
            const __m256i gUpL = EvenBytes(above.Green + x);       // G(y-1, x0 - 1)
            const __m256i gUpR = EvenBytes(above.Green + x + 2);   // G(y-1, x0 + 1)
            const __m256i gDownL = EvenBytes(below.Green + x);
            const __m256i gDownR = EvenBytes(below.Green + x + 2);
            r0 = m.Even;
            r1 = _mm256_sub_epi16(
                _mm256_add_epi16(Avg2(m.Even, EvenBytes(m0 + x + 2)), g2.Even), Avg2(g0.Odd, g2.Odd));
            b0 = _mm256_sub_epi16(
                _mm256_add_epi16(Avg4(OddBytes(mm1 + x - 2), up.Odd, OddBytes(mp1 + x - 2), down.Odd),
                                 g0.Odd),
                Avg4(gUpL, gUpR, gDownL, gDownR));
            b1 = _mm256_sub_epi16(_mm256_add_epi16(Avg2(up.Odd, down.Odd), g2.Even),
                                  Avg2(gUpR, gDownR));
        }
        StorePairs(red + x, Clip255(r0), Clip255(r1));
        StorePairs(blue + x, Clip255(b0), Clip255(b1));
    }
}

// Stages 4 and 5 for a row pair from its tone-mapped lines.
KALD_AVX2 void ConvertPairAvx2(LONG width, const UCHAR* const tone[6], const SHORT (*m)[4],
                               PUCHAR luma0, PUCHAR luma1, PUCHAR u, PUCHAR v)
{
    const __m256i mRR = _mm256_set1_epi16(m[0][0]), mRG = _mm256_set1_epi16(m[1][0]),
                  mRB = _mm256_set1_epi16(m[2][0]), mGR = _mm256_set1_epi16(m[3][0]),
                  mGG = _mm256_set1_epi16(m[4][0]), mGB = _mm256_set1_epi16(m[5][0]),
                  mBR = _mm256_set1_epi16(m[6][0]), mBG = _mm256_set1_epi16(m[7][0]),
                  mBB = _mm256_set1_epi16(m[8][0]);
    const __m256i kYR = _mm256_set1_epi16(9798), kYG = _mm256_set1_epi16(19235),
                  kYB = _mm256_set1_epi16(3736), kU = _mm256_set1_epi16(18481),
                  kV = _mm256_set1_epi16(23396);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ones = _mm256_set1_epi16(1);
    const __m256i lo = _mm256_set1_epi32(-128), hi = _mm256_set1_epi32(127),
                  offset = _mm256_set1_epi32(128);
    PUCHAR luma[2] = {luma0, luma1};
    for (LONG x = 0; x < width; x += 16) {
        __m256i uSum = zero, vSum = zero;
        for (int r = 0; r < 2; ++r) {
            const __m256i g7 = _mm256_slli_epi16(Load16(tone[3 * r + 0] + x), 7);
            const __m256i r7 = _mm256_slli_epi16(Load16(tone[3 * r + 1] + x), 7);
            const __m256i b7 = _mm256_slli_epi16(Load16(tone[3 * r + 2] + x), 7);
            const __m256i rm = _mm256_max_epi16(
                zero, _mm256_sub_epi16(_mm256_sub_epi16(_mm256_mulhi_epi16(r7, mRR),
                                                        _mm256_mulhi_epi16(g7, mRG)),
                                       _mm256_mulhi_epi16(b7, mRB)));
            const __m256i gm = _mm256_max_epi16(
                zero, _mm256_sub_epi16(_mm256_sub_epi16(_mm256_mulhi_epi16(g7, mGG),
                                                        _mm256_mulhi_epi16(r7, mGR)),
                                       _mm256_mulhi_epi16(b7, mGB)));
            const __m256i bm = _mm256_max_epi16(
                zero, _mm256_sub_epi16(_mm256_sub_epi16(_mm256_mulhi_epi16(b7, mBB),
                                                        _mm256_mulhi_epi16(g7, mBG)),
                                       _mm256_mulhi_epi16(r7, mBR)));
            const __m256i ys = _mm256_add_epi16(
                _mm256_add_epi16(_mm256_mulhi_epi16(rm, kYR), _mm256_mulhi_epi16(gm, kYG)),
                _mm256_mulhi_epi16(bm, kYB));
            const __m256i y2 = _mm256_add_epi16(ys, ys);
            Store16(luma[r] + x, _mm256_srli_epi16(y2, 5));
            uSum = _mm256_add_epi16(uSum, _mm256_mulhi_epi16(_mm256_sub_epi16(bm, y2), kU));
            vSum = _mm256_add_epi16(vSum, _mm256_mulhi_epi16(_mm256_sub_epi16(rm, y2), kV));
        }
        // Column pairs: eight 32-bit sums of four terms each.
        __m256i uc = _mm256_srai_epi32(_mm256_madd_epi16(uSum, ones), 6);
        __m256i vc = _mm256_srai_epi32(_mm256_madd_epi16(vSum, ones), 6);
        uc = _mm256_add_epi32(_mm256_min_epi32(_mm256_max_epi32(uc, lo), hi), offset);
        vc = _mm256_add_epi32(_mm256_min_epi32(_mm256_max_epi32(vc, lo), hi), offset);
        // u0..u3 v0..v3 | u4..u7 v4..v7 as 16-bit, then bytes.
        const __m256i packed = _mm256_packs_epi32(uc, vc);
        const __m128i bytes =
            _mm_packus_epi16(_mm256_castsi256_si128(packed), _mm256_extracti128_si256(packed, 1));
        // bytes: u0..u3 v0..v3 u4..u7 v4..v7
        const __m128i ordered = _mm_shuffle_epi32(bytes, _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(u + x / 2), ordered);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v + x / 2), _mm_srli_si128(ordered, 8));
    }
}

} // namespace

KALD_AVX2 void DemosaicLargeFrameAvx2(ULONG Width, ULONG Height, PUCHAR Output,
                                      const SHORT (*Matrix)[4], const UCHAR* ToneR,
                                      const UCHAR* ToneG, const UCHAR* ToneB)
{
    PipelineTables& p = Pipeline;
    const LONG width = (LONG)Width;
    const LONG height = (LONG)Height;
    PUCHAR const uPlane = Output + Width * Height;
    PUCHAR const vPlane = uPlane + Width * Height / 4;
    auto line = [&](ULONG phase, ULONG role) { return RotatingLine(Width, phase, role); };
    auto lookup = PixelKernels.ToneLookup;

    ULONG phase = 0;
    PrimeGreenWindow(Width, InterpolateGreenRowAvx2);

    // Red and blue lines of the pair, then G, R, B tone-mapped for each row.
    PUCHAR const red[2] = {p.ColourLines[0], p.ColourLines[1]};
    PUCHAR const blue[2] = {p.ColourLines[2], p.ColourLines[3]};
    const UCHAR* const tone[6] = {p.ToneLines[0], p.ToneLines[1], p.ToneLines[2],
                                  p.ToneLines[3], p.ToneLines[4], p.ToneLines[5]};

    for (LONG n = 0; 2 * n < height; ++n) {
        const LONG y0 = 2 * n;
        const GreenLine rowM1 = line(phase, 0), row0 = line(phase, 1), row1 = line(phase, 2),
                        row2 = line(phase, 3);
        // Smoothed greens of the pair; the window keeps the unsmoothed
        // lines, whose colour sites are all the neighbouring rows read.
        const GreenLine smooth0 = {p.SmoothedGreen[0], row0.Flag};
        const GreenLine smooth1 = {p.SmoothedGreen[1], row1.Flag};
        if (y0 > 0) {
            SmoothGreenRowAvx2(y0, width, rowM1, row0, row1, smooth0.Green);
        } else {
            RtlCopyMemory(smooth0.Green, row0.Green, Width + 2); // row 0 keeps its greens
        }
        SmoothGreenRowAvx2(y0 + 1, width, row0, row1, row2, smooth1.Green);
        ColourRowAvx2(y0, width, rowM1, smooth0, row1, red[0], blue[0]);
        ColourRowAvx2(y0 + 1, width, row0, smooth1, row2, red[1], blue[1]);
        lookup(p.ToneLines[0], smooth0.Green + 1, Width, ToneG);
        lookup(p.ToneLines[1], red[0], Width, ToneR);
        lookup(p.ToneLines[2], blue[0], Width, ToneB);
        lookup(p.ToneLines[3], smooth1.Green + 1, Width, ToneG);
        lookup(p.ToneLines[4], red[1], Width, ToneR);
        lookup(p.ToneLines[5], blue[1], Width, ToneB);
        ConvertPairAvx2(width, tone, Matrix, p.LumaLines[y0] + LUMA_MARGIN_BYTES,
                        p.LumaLines[y0 + 1] + LUMA_MARGIN_BYTES, uPlane + n * (Width / 2),
                        vPlane + n * (Width / 2));

        phase = AdvanceGreenWindow(Width, Height, y0, phase, InterpolateGreenRowAvx2);
    }
}

KALD_AVX2 void SharpenLumaAvx2(ULONG Width, ULONG Height, LONG Sharpness, PUCHAR Output)
{
    FillLumaMargins(Width, Height);
    const ULONG copied[4] = {0, 1, Height - 2, Height - 1};
    for (ULONG row : copied) {
        RtlCopyMemory(Output + row * Width, Pipeline.LumaLines[row] + LUMA_MARGIN_BYTES, Width);
    }
    const __m256i s = _mm256_set1_epi16((SHORT)Sharpness);
    const __m256i one = _mm256_set1_epi16(1);
    const __m256i minusOne = _mm256_set1_epi16(-1);
    for (ULONG y = 2; y + 1 < Height; ++y) {
        const UCHAR* a0 = Pipeline.LumaLines[y - 2] + LUMA_MARGIN_BYTES; // dy = -2
        const UCHAR* a1 = Pipeline.LumaLines[y - 1] + LUMA_MARGIN_BYTES; // dy = -1
        const UCHAR* a2 = Pipeline.LumaLines[y] + LUMA_MARGIN_BYTES;     // dy = 0
        const UCHAR* a3 = Pipeline.LumaLines[y + 1] + LUMA_MARGIN_BYTES; // dy = +1
        PUCHAR out = Output + y * Width;
        for (ULONG x = 0; x < Width; x += 16) {
            // Row -2: 0 -1 -2 -1; row -1: -1 2 3 0; row 0: -2 3 4 -1;
            // row +1: -1 0 -1 -2 (columns dx = -2 .. +1).
            const __m256i c = Load16(a2 + x);
            const __m256i r0 = _mm256_add_epi16(
                _mm256_add_epi16(Load16(a0 + x - 1), Load16(a0 + x + 1)),
                _mm256_slli_epi16(Load16(a0 + x), 1));
            const __m256i p1 = Load16(a1 + x - 1);
            const __m256i p0 = Load16(a1 + x);
            const __m256i r1 = _mm256_sub_epi16(
                _mm256_add_epi16(_mm256_add_epi16(p1, p1), _mm256_add_epi16(_mm256_add_epi16(p0, p0), p0)),
                Load16(a1 + x - 2));
            const __m256i q1 = Load16(a2 + x - 1);
            const __m256i r2 = _mm256_sub_epi16(
                _mm256_add_epi16(_mm256_add_epi16(_mm256_add_epi16(q1, q1), q1), _mm256_slli_epi16(c, 2)),
                _mm256_add_epi16(_mm256_slli_epi16(Load16(a2 + x - 2), 1), Load16(a2 + x + 1)));
            const __m256i r3 = _mm256_add_epi16(
                _mm256_add_epi16(Load16(a3 + x - 2), Load16(a3 + x)),
                _mm256_slli_epi16(Load16(a3 + x + 1), 1));
            const __m256i d = _mm256_sub_epi16(_mm256_add_epi16(r1, r2), _mm256_add_epi16(r0, r3));
            const __m256i q = _mm256_srai_epi16(d, 4);
            const __m256i strong =
                _mm256_or_si256(_mm256_cmpgt_epi16(q, one), _mm256_cmpgt_epi16(minusOne, q));
            const __m256i delta = _mm256_and_si256(strong, _mm256_srai_epi16(_mm256_mullo_epi16(s, d), 5));
            Store16(out + x, _mm256_add_epi16(c, delta));
        }
    }
}

#define KALD_AVX512_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// Tone lookup of one line, 64 bytes at a time: two 128-entry byte
// permutations, chosen by the top bit of each index.
KALD_AVX512_VBMI void ToneLookupAvx512Vbmi(PUCHAR Destination, const UCHAR* Source, ULONG Count,
                                           const UCHAR* Table)
{
    const __m512i t0 = _mm512_loadu_si512(Table);
    const __m512i t1 = _mm512_loadu_si512(Table + 64);
    const __m512i t2 = _mm512_loadu_si512(Table + 128);
    const __m512i t3 = _mm512_loadu_si512(Table + 192);
    for (ULONG i = 0; i < Count; i += 64) {
        const ULONG left = Count - i;
        const __mmask64 live = left >= 64 ? ~(__mmask64)0 : (((__mmask64)1 << left) - 1);
        const __m512i index = _mm512_maskz_loadu_epi8(live, Source + i);
        const __m512i low = _mm512_permutex2var_epi8(t0, index, t1);
        const __m512i high = _mm512_permutex2var_epi8(t2, index, t3);
        const __m512i value = _mm512_mask_blend_epi8(_mm512_movepi8_mask(index), low, high);
        _mm512_mask_storeu_epi8(Destination + i, live, value);
    }
}

#endif
