#include "registers.h"

namespace {

// Vendor request of every register transfer.
constexpr UCHAR REGISTER_REQUEST = 0;

// A transfer that completes later still counts as done.
inline BOOLEAN TransferDone(NTSTATUS status)
{
    return NT_SUCCESS(status) || status == STATUS_PENDING;
}

} // namespace

BOOLEAN CamWriteRegister(CameraContext* Context, USHORT Register, USHORT Value)
{
    ULONG length = 0;
    const NTSTATUS status = USBCAMD_ControlVendorCommand(Context, REGISTER_REQUEST, Value, Register,
                                                         nullptr, &length, FALSE, nullptr, nullptr);
    return TransferDone(status);
}

BOOLEAN CamReadRegister(CameraContext* Context, USHORT Register, PUCHAR Byte)
{
    // Read into a local byte so that a failed transfer leaves *Byte alone.
    UCHAR value = *Byte;
    ULONG length = 1;
    const NTSTATUS status = USBCAMD_ControlVendorCommand(Context, REGISTER_REQUEST, 0, Register,
                                                         &value, &length, TRUE, nullptr, nullptr);
    if (!TransferDone(status)) {
        return FALSE;
    }
    *Byte = value;
    return TRUE;
}

NTSTATUS CamWriteSensorRegister(CameraContext* Context, UCHAR SensorRegister, USHORT Value)
{
    CamWriteRegister(Context, REG_SERIAL_DATA_LOW, (USHORT)(Value & 0xFF));
    BOOLEAN ok = CamWriteRegister(Context, REG_SERIAL_ADDRESS, SensorRegister);
    ok = CamWriteRegister(Context, REG_SERIAL_DATA_HIGH, (USHORT)(Value >> 8)) && ok;
    // The port stays busy while the serial transfer runs; a port that never
    // clears costs the full bound and is not an error.
    UCHAR status = 0;
    ULONG polls = 0;
    do {
        ok = CamReadRegister(Context, REG_SERIAL_STATUS, &status) && ok;
        ++polls;
    } while ((status & 1) != 0 && polls < SENSOR_PORT_POLLS);
    return ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

BOOLEAN CamReadCalibrationWord(CameraContext* Context, USHORT WordNumber, PUSHORT Word)
{
    if (!CamWriteRegister(Context, REG_CALIBRATION_CONTROL, 0x08) ||
        !CamWriteRegister(Context, REG_CALIBRATION_CONTROL, 0x00) ||
        !CamWriteRegister(Context, REG_CALIBRATION_WORD, WordNumber) ||
        !CamWriteRegister(Context, REG_CALIBRATION_CONTROL, 0x01)) {
        return FALSE;
    }
    UCHAR status = 0;
    ULONG reads = 0;
    for (;;) {
        if (!CamReadRegister(Context, REG_CALIBRATION_STATUS, &status)) {
            return FALSE;
        }
        ++reads;
        if ((status & 3) == 2) {
            break;
        }
        if (reads >= CALIBRATION_PORT_POLLS) {
            return TRUE; // never became ready: the word is left as it was
        }
    }
    if (reads == CALIBRATION_PORT_POLLS) {
        return TRUE; // ready only on the last read: the word is left as it was
    }
    UCHAR high = 0;
    UCHAR low = 0;
    if (!CamReadRegister(Context, REG_CALIBRATION_HIGH, &high)) {
        return FALSE;
    }
    *Word = (USHORT)(high << 8);
    if (!CamReadRegister(Context, REG_CALIBRATION_LOW, &low)) {
        return FALSE;
    }
    *Word = (USHORT)((high << 8) | low);
    return TRUE;
}

BOOLEAN CamLoadCalibration(CameraContext* Context, DpcTable* Table)
{
    USHORT* words = Table->Words;
    CamReadCalibrationWord(Context, DPC_WORD_MAGIC, &words[DPC_WORD_MAGIC]);
    if (words[DPC_WORD_MAGIC] != CalibrationMagic) {
        return FALSE;
    }
    // A word whose read fails keeps its previous contents, and that value is
    // what the checksum sees.
    USHORT sum = 0;
    for (USHORT n = DPC_WORD_COUNT; n < DPC_WORD_CHECKSUM; ++n) {
        CamReadCalibrationWord(Context, n, &words[n]);
        sum = (USHORT)(sum + words[n]);
    }
    CamReadCalibrationWord(Context, DPC_WORD_CHECKSUM, &words[DPC_WORD_CHECKSUM]);
    return (USHORT)(sum + words[DPC_WORD_CHECKSUM]) == 0;
}

void CamSleep(ULONG Milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)Milliseconds * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
