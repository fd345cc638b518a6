#include "defect_correction.h"

#include "../imaging/pipeline_tables.h"

// Byte positions are formed from signed coordinates and then compared as
// unsigned against the length limit, so a position left of or above the
// buffer start becomes huge and is left out like one past the end. The
// arithmetic is done in ULONG, which wraps exactly as signed 32-bit
// arithmetic does but cannot overflow, whatever the context holds.

namespace {

// Bytes per pixel of the small-frame picture: blue, green, red.
constexpr ULONG SMALL_PIXEL_BYTES = 3;
constexpr ULONG SMALL_GREEN = 1;
constexpr ULONG SMALL_RED = 2;
constexpr ULONG SMALL_BLUE = 0;

SHORT EntryColumn(const DpcTable* Table, ULONG Entry)
{
    return (SHORT)Table->Words[DPC_WORD_FIRST_ENTRY + 2 * Entry];
}

SHORT EntryRow(const DpcTable* Table, ULONG Entry)
{
    return (SHORT)Table->Words[DPC_WORD_FIRST_ENTRY + 2 * Entry + 1];
}

// A running sum of the samples that lie below the length limit.
struct SampleSum {
    ULONG Sum;
    ULONG Taken;
};

void AddSample(SampleSum* Samples, const UCHAR* Buffer, ULONG Length, ULONG Position)
{
    if (Position < Length) {
        Samples->Sum += Buffer[Position];
        Samples->Taken += 1;
    }
}

// Stores the mean of the samples taken so far, when there is one and the
// position lies below the length limit.
void StoreMean(const SampleSum* Samples, PUCHAR Buffer, ULONG Length, ULONG Position)
{
    if (Samples->Taken != 0 && Position < Length) {
        Buffer[Position] = (UCHAR)(Samples->Sum / Samples->Taken);
    }
}

// Byte Component of small-frame pixel (Column, Row), Row counted in buffer
// rows (bottom-up). Column and Row hold signed values modulo 2^32.
ULONG SmallPixelByte(ULONG Width, ULONG Column, ULONG Row, ULONG Component)
{
    return (Row * Width + Column) * SMALL_PIXEL_BYTES + Component;
}

// The 2 x 2 block rewrite of a red or blue small-frame defect, by phase
// (a, b) = (X mod 4, (Y - 1) mod 4). Target t (0, 1) of block row s is pixel
// (g + ColumnStep * t, F + RowStep * s); before it is written, the samples
// of its horizontal neighbours (g + Horizontal[j] + HorizontalPerTarget * t,
// F) and its vertical neighbours (g, F - RowStep * s + Vertical[j]) join
// the running mean. The neighbours stay in row F and column g for all four
// targets, so some of them lie inside the block.
struct SharedBlockPhase {
    LONG ColumnStep;          // +1: block is columns g, g+1; -1: g-1, g
    LONG RowStep;             // -1: block is buffer rows F, F-1; +1: F, F+1
    LONG Horizontal[2];       // column offsets from g for the first target
    LONG HorizontalPerTarget; // added per target step t
    LONG Vertical[2];         // row offsets from F - RowStep * s
};

// Indexed by 2 x (a div 2) + (b div 2).
const SharedBlockPhase SharedBlockPhases[4] = {
    {+1, -1, {-1, +2}, -1, {-2, +1}}, // a 0..1, b 0..1: (g+t, F+s), s = 0, -1
    {+1, +1, {-1, +2}, -1, {-1, +2}}, // a 0..1, b 2..3: (g+t, F+s), s = 0, 1
    {-1, -1, {-2, +1}, +1, {-2, +1}}, // a 2..3, b 0..1: (g-t, F+s), s = 0, -1
    {-1, +1, {-2, +1}, +1, {-1, +2}}, // a 2..3, b 2..3: (g-t, F+s), s = 0, 1
};

void CorrectGreen(PUCHAR Buffer, ULONG Length, ULONG Width, ULONG Column, ULONG Row)
{
    SampleSum samples = {0, 0};
    AddSample(&samples, Buffer, Length, SmallPixelByte(Width, Column - 1, Row, SMALL_GREEN));
    AddSample(&samples, Buffer, Length, SmallPixelByte(Width, Column + 1, Row, SMALL_GREEN));
    AddSample(&samples, Buffer, Length, SmallPixelByte(Width, Column, Row - 1, SMALL_GREEN));
    AddSample(&samples, Buffer, Length, SmallPixelByte(Width, Column, Row + 1, SMALL_GREEN));
    StoreMean(&samples, Buffer, Length, SmallPixelByte(Width, Column, Row, SMALL_GREEN));
}

// Rewrites byte Component of the four pixels of the 2 x 2 block that holds
// pixel (Column, Row), one running mean serving all four: the first pixel
// gets the mean of 4 samples, the last of up to 16, and later pixels see the
// values written to earlier ones.
void CorrectSharedBlock(PUCHAR Buffer, ULONG Length, ULONG Width, ULONG Column, ULONG Row,
                        ULONG Component, const SharedBlockPhase* Phase)
{
    SampleSum samples = {0, 0};
    for (LONG s = 0; s < 2; ++s) {
        const ULONG rowStep = (ULONG)(Phase->RowStep * s);
        for (LONG t = 0; t < 2; ++t) {
            const ULONG perTarget = (ULONG)(Phase->HorizontalPerTarget * t);
            for (ULONG j = 0; j < 2; ++j) {
                const ULONG column = Column + (ULONG)Phase->Horizontal[j] + perTarget;
                AddSample(&samples, Buffer, Length, SmallPixelByte(Width, column, Row, Component));
            }
            for (ULONG j = 0; j < 2; ++j) {
                const ULONG row = Row - rowStep + (ULONG)Phase->Vertical[j];
                AddSample(&samples, Buffer, Length, SmallPixelByte(Width, Column, row, Component));
            }
            const ULONG targetColumn = Column + (ULONG)(Phase->ColumnStep * t);
            StoreMean(&samples, Buffer, Length,
                      SmallPixelByte(Width, targetColumn, Row + rowStep, Component));
        }
    }
}

} // namespace

BOOLEAN DefectCorrectionEnabled(const CameraContext* Context)
{
    return Context->CameraSettings.DpcState == 1 &&
           (Context->DpcTable.Words[DPC_WORD_COUNT] & DPC_DO_NOT_USE) == 0;
}

ULONG DefectEntryCount(const DpcTable* Table)
{
    // The count field reaches 2047, but only twenty entries (words 22..61)
    // lie inside the table; word 62 would hold just the column of a 21st,
    // and word 63 is the checksum. Larger counts use the twenty that exist.
    const ULONG count = Table->Words[DPC_WORD_COUNT] & DPC_COUNT_MASK;
    return count < DPC_MAX_ENTRIES ? count : DPC_MAX_ENTRIES;
}

ULONG CorrectDefectsLarge(CameraContext* Context, PUCHAR Buffer, ULONG Length,
                          const DpcTable* Table)
{
    if (Context == nullptr || Buffer == nullptr || Table == nullptr) {
        return 0;
    }
    const ULONG lineBytes = Context->FrameWidth + 2 * MOSAIC_MARGIN_BYTES;
    const ULONG count = DefectEntryCount(Table);
    for (ULONG i = 0; i < count; ++i) {
        // Line and byte within the line, each as a 16-bit signed value.
        const SHORT line = (SHORT)(EntryRow(Table, i) + (LONG)MOSAIC_MARGIN_LINES);
        const SHORT offset = (SHORT)(EntryColumn(Table, i) + (LONG)MOSAIC_MARGIN_BYTES);
        const ULONG target = lineBytes * (ULONG)(LONG)line + (ULONG)(LONG)offset;

        // The same-colour neighbours of a Bayer sample are two pixels away.
        // At the picture's edges they are the mirrored border samples,
        // which carry the colour of the position they stand for.
        SampleSum samples = {0, 0};
        AddSample(&samples, Buffer, Length, target - 2);
        AddSample(&samples, Buffer, Length, target + 2);
        AddSample(&samples, Buffer, Length, target - 2 * lineBytes);
        AddSample(&samples, Buffer, Length, target + 2 * lineBytes);
        StoreMean(&samples, Buffer, Length, target);
        // The border copies of a corrected edge pixel keep the old value.
    }
    return 0;
}

ULONG CorrectDefectsSmall(CameraContext* Context, PUCHAR Buffer, ULONG Length,
                          const DpcTable* Table)
{
    if (Context == nullptr || Buffer == nullptr || Table == nullptr) {
        return 0;
    }
    const ULONG width = Context->FrameWidth;
    const ULONG height = Context->FrameHeight;
    const ULONG count = DefectEntryCount(Table);
    for (ULONG i = 0; i < count; ++i) {
        // The entry is a sensor position; the small picture holds every
        // 2 x 2 group of sensor pixels as one pixel, offset by one sensor row.
        const LONG x = EntryColumn(Table, i);
        const LONG v = (SHORT)(EntryRow(Table, i) - 1);
        const LONG a = x % 4; // C remainders: negative for negative coordinates
        const LONG b = v % 4;
        if (a < 0 || b < 0) {
            continue;
        }
        // A negative multiple of 4 passes the phase check but maps left of
        // column 0 or above image row 0. Its pixel and block would then land
        // at the end of a neighbouring buffer row, or in the bytes after
        // the picture, so such entries are skipped as well.
        if (x < 0 || v < 0) {
            continue;
        }
        const ULONG column = (ULONG)(2 * (x / 4) + a / 2);
        const ULONG row = height - 1 - (ULONG)(2 * (v / 4) + b / 2);

        if ((a & 1) != (b & 1)) {
            CorrectGreen(Buffer, Length, width, column, row);
            continue;
        }
        const ULONG component = (a & 1) == 0 ? SMALL_RED : SMALL_BLUE;
        const SharedBlockPhase* phase = &SharedBlockPhases[2 * (a / 2) + b / 2];
        CorrectSharedBlock(Buffer, Length, width, column, row, component, phase);
    }
    return 0;
}
