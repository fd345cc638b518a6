// The camera's wire protocol: bridge register reads and writes as vendor
// control requests, the sensor's serial port and the calibration-memory port
// behind the bridge, and the register map the driver uses.
#pragma once

#include "../core/camera_context.h"

// Bridge registers.
constexpr USHORT REG_REVISION = 0x8101;
constexpr USHORT REG_SENSOR_POWER = 0x8110;
constexpr USHORT REG_STREAM = 0x8112;          // 0x30 streams, 0x00 stops
constexpr USHORT REG_SENSOR_RESET = 0x8113;
constexpr USHORT REG_SENSOR_CONTROL = 0x8114;
constexpr USHORT REG_CALIBRATION_CONTROL = 0x8200;
constexpr USHORT REG_CALIBRATION_WORD = 0x8201;
constexpr USHORT REG_CALIBRATION_LOW = 0x8205;
constexpr USHORT REG_CALIBRATION_HIGH = 0x8206;
constexpr USHORT REG_CALIBRATION_STATUS = 0x8207;
constexpr USHORT REG_PACKET_QUADS = 0x8406;
constexpr USHORT REG_FORMAT_MODE = 0x8500;
constexpr USHORT REG_8502 = 0x8502;
constexpr USHORT REG_8505 = 0x8505;
constexpr USHORT REG_SCALING = 0x8601;
constexpr USHORT REG_AUTO_EXPOSURE = 0x8602;   // 0 when automatic exposure is off
constexpr USHORT REG_STATISTICS_A = 0x8621;    // 0x8621..0x8624: green 1, red, blue, green 2
constexpr USHORT REG_STATISTICS_B = 0x8625;    // 0x8625..0x8628
constexpr USHORT REG_RED_GAIN = 0x8651;
constexpr USHORT REG_BLUE_GAIN = 0x8653;
constexpr USHORT REG_DEFECT_CONTROL = 0x8660;  // 0x06 bring-up, 0x16 / 0x1E around an upload
constexpr USHORT REG_DEFECT_INDEX = 0x86B0;    // 0x86B0..0x86B4: index, column low/high, row low/high
constexpr USHORT REG_CLOCK_DIVIDER = 0x8700;
constexpr USHORT REG_8702 = 0x8702;
constexpr USHORT REG_8704 = 0x8704;
constexpr USHORT REG_SERIAL_DATA_HIGH = 0x8800; // starts the serial transfer
constexpr USHORT REG_SERIAL_ADDRESS = 0x8801;
constexpr USHORT REG_SERIAL_SETUP_2 = 0x8802;
constexpr USHORT REG_SERIAL_STATUS = 0x8803;    // bit 0: busy
constexpr USHORT REG_SERIAL_SETUP_4 = 0x8804;
constexpr USHORT REG_SERIAL_DATA_LOW = 0x8805;

// Sensor registers (16-bit values through the serial port).
constexpr UCHAR SENSOR_HOLD = 0x07;    // 0x00AB opens, 0x00AA closes a combined change
constexpr UCHAR SENSOR_SHUTTER = 0x09; // 0x1000 + rows
constexpr UCHAR SENSOR_GAIN = 0x35;

// Bounds of the two polling loops.
constexpr ULONG SENSOR_PORT_POLLS = 6000;
constexpr ULONG CALIBRATION_PORT_POLLS = 300;

// One register write (Value in wValue, Register in wIndex). TRUE when the
// transfer succeeded or is pending.
BOOLEAN CamWriteRegister(CameraContext* Context, USHORT Register, USHORT Value);

// One one-byte register read into *Byte. TRUE on success or pending; on
// failure *Byte keeps its value.
BOOLEAN CamReadRegister(CameraContext* Context, USHORT Register, PUCHAR Byte);

// Writes a 16-bit sensor register through the serial port and waits (at most
// 6000 status reads) for the port to finish. STATUS_UNSUCCESSFUL when one of
// the address, start or status transfers failed; a port still busy after the
// last read is not an error.
NTSTATUS CamWriteSensorRegister(CameraContext* Context, UCHAR SensorRegister, USHORT Value);

// Reads calibration word WordNumber through the calibration port. FALSE when
// a transfer failed; TRUE otherwise, leaving *Word untouched when the port
// did not report ready before (or only on) its 300th status read.
BOOLEAN CamReadCalibrationWord(CameraContext* Context, USHORT WordNumber, PUSHORT Word);

// Reads calibration words 17..63 into Table. TRUE when the block carries the
// magic and its checksum holds.
BOOLEAN CamLoadCalibration(CameraContext* Context, DpcTable* Table);

// Waits Milliseconds (relative) where the caller may wait.
void CamSleep(ULONG Milliseconds);
