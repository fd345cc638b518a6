#include "auto_control.h"

#include "../hardware/registers.h"

namespace {

// Luma weights in thousandths: 0.299 R + 0.587 G + 0.114 B.
constexpr ULONG LUMA_RED_WEIGHT = 299;
constexpr ULONG LUMA_GREEN_WEIGHT = 587;
constexpr ULONG LUMA_BLUE_WEIGHT = 114;
constexpr ULONG LUMA_WEIGHT_SCALE = 1000;

// Positions in AutoControlState::Stats.
enum StatsByte : ULONG {
    STATS_RED_A = 0,
    STATS_GREEN_A1 = 1,
    STATS_GREEN_A2 = 2,
    STATS_BLUE_A = 3,
    STATS_RED_B = 4,
    STATS_GREEN_B1 = 5,
    STATS_GREEN_B2 = 6,
    STATS_BLUE_B = 7,
};

// A large AE step is the error / 16, at most 16 indexes.
constexpr LONG AE_LARGE_STEP_SHIFT = 4;
constexpr LONG AE_LARGE_STEP_MAX = 16;

// Step thresholds below and above the middle of the luma range.
constexpr LONG LEVEL_MIDDLE = 128;
constexpr SHORT FIXED_LEVELS[4] = {104, 88, 72, 56};

// Index limits are derived from the levels in steps of 5 luma per index;
// bright limits count from the flicker-free floor.
constexpr LONG LEVEL_PER_INDEX = 5;
constexpr LONG DARK_LIMIT_TOP = 94;
constexpr LONG BRIGHT_LIMIT_BASE = 30;
constexpr LONG BRIGHT_LIMIT_FIRST = 253; // first bright limit is (253 - t) / 5 + 30

constexpr UCHAR WHITE_BALANCE_GAIN_MIN = 1;
constexpr UCHAR WHITE_BALANCE_GAIN_MAX = 255;

constexpr USHORT DEFAULT_FLICKER_HZ = 60;
constexpr USHORT SHUTTER_RECORDED_MASK = 0x7FFF; // strips the "not written" marks
constexpr USHORT SHUTTER_ROW_MASK = 0x0FFF;
constexpr USHORT GAIN_DIRECT_MAX = 63; // codes above are halved into 0x40..0x7F
constexpr USHORT GAIN_HALVED_FLAG = 0x80;

inline LONG Absolute(LONG value)
{
    return value < 0 ? -value : value;
}

// Luma of one statistics set, each weighted term rounded down on its own.
inline ULONG SetLuma(ULONG red, ULONG green, ULONG blue)
{
    return LUMA_RED_WEIGHT * red / LUMA_WEIGHT_SCALE + LUMA_BLUE_WEIGHT * blue / LUMA_WEIGHT_SCALE +
           LUMA_GREEN_WEIGHT * green / LUMA_WEIGHT_SCALE;
}

// A colour difference taken modulo 256 and read as a signed byte.
inline SHORT WrappedDifference(ULONG value, ULONG reference)
{
    const LONG difference = (LONG)((value - reference) & 0xFF);
    return (SHORT)(difference > 127 ? difference - 256 : difference);
}

// The AWB correction: half the error, rounded away from zero, against its sign.
inline LONG MovedGain(LONG gain, LONG error)
{
    const LONG half = (Absolute(error) + 1) / 2;
    return error > 0 ? gain - half : gain + half;
}

inline USHORT LimitWhiteBalanceGain(LONG gain)
{
    if (gain < WHITE_BALANCE_GAIN_MIN) {
        return WHITE_BALANCE_GAIN_MIN;
    }
    if (gain > WHITE_BALANCE_GAIN_MAX) {
        return WHITE_BALANCE_GAIN_MAX;
    }
    return (USHORT)gain;
}

// A too-dark picture takes a large step when its error passes one of the dark
// levels while the index still has room below that level's limit; a too-bright
// one likewise above the bright limits.
BOOLEAN QualifiesForLargeStep(const SHORT* Levels, const SHORT* Limits, LONG Error, LONG Index,
                              BOOLEAN TooDark)
{
    for (ULONG k = 0; k < 4; ++k) {
        if (Error > Levels[k] && Levels[k] > 0 &&
            (TooDark ? Index < Limits[k] : Index > Limits[k])) {
            return TRUE;
        }
    }
    return FALSE;
}

} // namespace

void AutoControlInit(AutoControlState* State, CameraContext* Context)
{
    State->Context = Context;
    State->ClockDivider = 0xFF;
    State->Tolerance = AE_TOLERANCE_CORRECTING;
    State->Shutter = SHUTTER_NOT_WRITTEN;
    State->Gain = 0;
    State->TargetBase = AUTO_TARGET_BASE;
    State->TargetScale = AUTO_TARGET_SCALE_ONE;
    State->FlickerHz = DEFAULT_FLICKER_HZ;
    State->FlickerOff = 0;
    State->AwbDeadband = AWB_DEADBAND_CORRECTING;
    State->AwbErrorRed = 0;
    State->AwbErrorBlue = 0;
}

void AutoControlPrepare(AutoControlState* State, CameraContext* Context)
{
    State->Context = Context;
    State->ClockDivider = (UCHAR)(Context->ModeClockDivider & 0xFF);
    State->AwbDeadband = AWB_DEADBAND_CORRECTING;
    State->Tolerance = AE_TOLERANCE_CORRECTING;
    State->FlickerMinIndex = EXPOSURE_FLICKER_MIN_INDEX;
    State->MaxIndex = EXPOSURE_MAX_INDEX;
    // The lowest index is the last of the table's leading run of identical
    // entries (3 rows at gain 9).
    if (Context->ModeFrameRate == 10) {
        State->MinIndex = 9;
    } else if (Context->ModeFrameRate == 30) {
        State->MinIndex = 1;
    } else {
        State->MinIndex = 5;
    }

    // The large-step levels sit on the side of the target with the wider
    // range; the other side's levels are spaced from the target.
    const LONG t = State->TargetBase;
    if (t < LEVEL_MIDDLE) {
        for (ULONG k = 0; k < 4; ++k) {
            State->BrightLevel[k] = FIXED_LEVELS[k];
            State->DarkLevel[k] = (SHORT)(t - 8 - 16 * (LONG)k);
        }
    } else {
        for (ULONG k = 0; k < 4; ++k) {
            State->DarkLevel[k] = FIXED_LEVELS[k];
            State->BrightLevel[k] = (SHORT)(232 - 16 * (LONG)k - t);
        }
    }
    State->DarkIndexLimit[0] = (SHORT)(DARK_LIMIT_TOP - t / LEVEL_PER_INDEX);
    State->BrightIndexLimit[0] =
        (SHORT)((BRIGHT_LIMIT_FIRST - t) / LEVEL_PER_INDEX + BRIGHT_LIMIT_BASE);
    for (ULONG k = 1; k < 4; ++k) {
        State->DarkIndexLimit[k] =
            (SHORT)(DARK_LIMIT_TOP - (LONG)State->DarkLevel[k - 1] / LEVEL_PER_INDEX);
        State->BrightIndexLimit[k] =
            (SHORT)((LONG)State->BrightLevel[k - 1] / LEVEL_PER_INDEX + BRIGHT_LIMIT_BASE);
    }

    // Force both registers to be written, starting no lower than the
    // flicker-free floor when flicker compensation is on.
    State->Gain = GAIN_REWRITE;
    State->Shutter = SHUTTER_REWRITE;
    SHORT index = State->ExposureIndex;
    if (State->FlickerOff == 0 && (USHORT)index < State->FlickerMinIndex) {
        index = (SHORT)State->FlickerMinIndex;
    }
    ApplyExposureIndex(State, index);
    SetWhiteBalanceGains(State, State->RedGain, State->BlueGain);
}

USHORT MeasureStatistics(AutoControlState* State)
{
    const UCHAR* stats = State->Stats;

    const ULONG greenA = ((ULONG)stats[STATS_GREEN_A1] + stats[STATS_GREEN_A2]) >> 1;
    ULONG lumaA = SetLuma(stats[STATS_RED_A], greenA, stats[STATS_BLUE_A]);
    if (lumaA == 0) {
        lumaA = 1;
    }
    State->LumaA = (USHORT)lumaA;

    const ULONG greenB = ((ULONG)stats[STATS_GREEN_B1] + stats[STATS_GREEN_B2]) >> 1;
    State->LumaB = (USHORT)SetLuma(stats[STATS_RED_B], greenB, stats[STATS_BLUE_B]);

    State->AwbErrorRed = WrappedDifference(stats[STATS_RED_B], greenB);
    State->AwbErrorBlue = WrappedDifference(stats[STATS_BLUE_B], greenB);

    const LONG luma = ((LONG)State->LumaA + State->LumaB) >> 1;

    LONG target = (LONG)State->TargetBase * State->TargetScale / AUTO_TARGET_SCALE_ONE;
    if (target > 255) {
        target = 255;
    }
    State->TargetLuma = (USHORT)target;
    State->LumaError = (USHORT)Absolute(target - luma);
    return (USHORT)luma;
}

void AutoExposureStep(AutoControlState* State, BOOLEAN* Settled)
{
    const LONG luma = MeasureStatistics(State);
    if ((State->EnableFlags & AUTO_ENABLE_EXPOSURE) == 0) {
        return;
    }

    const LONG error = State->LumaError;
    const LONG tolerance = State->Tolerance;
    const LONG index = State->ExposureIndex;

    if (error > tolerance) {
        LONG step = error >> AE_LARGE_STEP_SHIFT;
        if (step > AE_LARGE_STEP_MAX) {
            step = AE_LARGE_STEP_MAX;
        }
        LONG next;
        if (luma < (LONG)State->TargetLuma) {
            const BOOLEAN large =
                QualifiesForLargeStep(State->DarkLevel, State->DarkIndexLimit, error, index, TRUE);
            next = index + (large ? step : 1);
        } else {
            const BOOLEAN large = QualifiesForLargeStep(State->BrightLevel, State->BrightIndexLimit,
                                                        error, index, FALSE);
            next = index - (large ? step : 1);
        }

        const LONG lowest = State->FlickerOff ? State->MinIndex : State->FlickerMinIndex;
        if (next < lowest) {
            next = lowest;
        }
        if (next > (LONG)State->MaxIndex) {
            next = State->MaxIndex;
        }
        State->ExposureIndex = (SHORT)next;
        ApplyExposureIndex(State, (SHORT)next);
    }

    State->Tolerance = error > tolerance ? AE_TOLERANCE_CORRECTING : AE_TOLERANCE_SETTLED;
    *Settled = State->ExposureIndex == index ? TRUE : FALSE;
}

NTSTATUS ApplyExposureIndex(AutoControlState* State, SHORT Index)
{
    USHORT index = (USHORT)Index;
    if (index < State->MinIndex) {
        index = State->MinIndex;
    }
    if (index > State->MaxIndex) {
        index = State->MaxIndex;
    }
    // The limits are never above the table's end once set; guard the read
    // anyway, since the record is shared with property requests.
    if (index >= EXPOSURE_TABLE_ENTRIES) {
        index = EXPOSURE_TABLE_ENTRIES - 1;
    }
    const ExposureEntry* entry = &ExposureTableFor(State->Context->ModeFrameRate)[index];
    const ULONG rows60 = entry->Shutter60;
    const USHORT gain = entry->Gain;

    // The table holds 60 Hz rows: rescale to the same number of mains
    // half-cycles at the assumed frequency, rounded.
    const ULONG hz = State->FlickerHz != 0 ? State->FlickerHz : DEFAULT_FLICKER_HZ;
    const USHORT rows = (USHORT)((rows60 * 60 + hz / 2) / hz);

    // These comparisons use the 60 Hz rows; at 50 Hz the recorded shutter is
    // the rescaled count, so nothing is skipped and every gain change is held.
    if (rows60 == (ULONG)(State->Shutter & SHUTTER_RECORDED_MASK) && gain == State->Gain) {
        return STATUS_SUCCESS;
    }

    // A hold makes the sensor take a new shutter and gain together, so no
    // frame is exposed with one changed and not the other.
    NTSTATUS result = STATUS_SUCCESS;
    NTSTATUS last = STATUS_SUCCESS;
    const BOOLEAN hold = rows60 != State->Shutter && gain != State->Gain;
    if (hold) {
        last = CamWriteSensorRegister(State->Context, SENSOR_HOLD, SENSOR_HOLD_OPEN);
        result = last;
    }
    if (gain != State->Gain) {
        last = SetGain(State, gain);
        if (NT_SUCCESS(result)) {
            result = last;
        }
    }
    if (rows != State->Shutter) {
        last = SetShutter(State, rows);
        if (NT_SUCCESS(result)) {
            result = last;
        }
    }
    // A hold is closed only when the write just before the close went
    // through; otherwise it stays open until the next combined change.
    if (hold && NT_SUCCESS(last)) {
        last = CamWriteSensorRegister(State->Context, SENSOR_HOLD, SENSOR_HOLD_CLOSE);
        if (NT_SUCCESS(result)) {
            result = last;
        }
    }
    return result;
}

NTSTATUS SetShutter(AutoControlState* State, USHORT Rows)
{
    State->Shutter = Rows;
    return CamWriteSensorRegister(State->Context, SENSOR_SHUTTER,
                                  (USHORT)(SENSOR_SHUTTER_BASE + (Rows & SHUTTER_ROW_MASK)));
}

NTSTATUS SetGain(AutoControlState* State, USHORT Code)
{
    State->Gain = Code;
    // Codes above 63 select the coarse range: 0x40 + code / 2.
    USHORT value = Code;
    if (Code > GAIN_DIRECT_MAX) {
        value = (USHORT)((USHORT)(Code | GAIN_HALVED_FLAG) >> 1);
    }
    return CamWriteSensorRegister(State->Context, SENSOR_GAIN, (USHORT)(value & 0xFF));
}

NTSTATUS SetFlickerMode(AutoControlState* State, FlickerMode Mode)
{
    switch (Mode) {
    case FlickerMode50Hz:
    case FlickerMode60Hz:
        State->FlickerOff = 0;
        State->FlickerHz = Mode == FlickerMode50Hz ? 50 : 60;
        if (State->ExposureIndex < (LONG)State->FlickerMinIndex) {
            State->ExposureIndex = (SHORT)State->FlickerMinIndex;
        }
        break;
    case FlickerModeOff:
        State->FlickerOff = 1;
        State->FlickerHz = DEFAULT_FLICKER_HZ;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    State->Shutter = SHUTTER_REWRITE;
    return ApplyExposureIndex(State, State->ExposureIndex);
}

void AutoWhiteBalanceStep(AutoControlState* State, BOOLEAN* Settled)
{
    MeasureStatistics(State);
    if ((State->EnableFlags & AUTO_ENABLE_WHITE_BALANCE) == 0) {
        return;
    }

    const LONG errorRed = State->AwbErrorRed;
    const LONG errorBlue = State->AwbErrorBlue;
    const USHORT oldRed = State->RedGain;
    const USHORT oldBlue = State->BlueGain;
    LONG red = oldRed;
    LONG blue = oldBlue;

    if (Absolute(errorRed) <= State->AwbDeadband && Absolute(errorBlue) <= State->AwbDeadband) {
        State->AwbDeadband = AWB_DEADBAND_SETTLED;
    }
    if (Absolute(errorRed) > State->AwbDeadband) {
        State->AwbDeadband = AWB_DEADBAND_CORRECTING;
        red = MovedGain(oldRed, errorRed);
    }
    // Uses the band as the red correction may just have narrowed it.
    if (Absolute(errorBlue) > State->AwbDeadband) {
        State->AwbDeadband = AWB_DEADBAND_CORRECTING;
        blue = MovedGain(oldBlue, errorBlue);
    }
    State->RedGain = LimitWhiteBalanceGain(red);
    State->BlueGain = LimitWhiteBalanceGain(blue);

    *Settled = TRUE;
    if (State->RedGain != oldRed) {
        CamWriteRegister(State->Context, REG_RED_GAIN, State->RedGain);
        *Settled = FALSE;
    }
    if (State->BlueGain != oldBlue) {
        CamWriteRegister(State->Context, REG_BLUE_GAIN, State->BlueGain);
        *Settled = FALSE;
    }
}

void SetWhiteBalanceGains(AutoControlState* State, USHORT Red, USHORT Blue)
{
    CamWriteRegister(State->Context, REG_RED_GAIN, (USHORT)(Red & 0xFF));
    CamWriteRegister(State->Context, REG_BLUE_GAIN, (USHORT)(Blue & 0xFF));
}
