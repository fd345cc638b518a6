// The camera as the host sees it over USB: the bridge's register file behind
// vendor request 0, the sensor behind the bridge's serial port, the
// calibration memory behind the calibration port, the video interface's
// alternate settings, and the video stream on its isochronous pipe. It
// behaves as the device does and keeps a record of everything the host asked
// for, so tests can compare the traffic with what the driver meant to send.
// Faults are injected on demand and counted in CameraStats.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kald_host/host_usb.h"

#include "image.h"
#include "lighting.h"
#include "packet_faults.h"
#include "video_stream.h"

namespace kald::sim {

// The status a failed vendor transfer completes with unless a fault names
// another: what the bus reports for a control transfer the device stalled or
// never answered.
inline constexpr NTSTATUS kTransferFailure = STATUS_UNSUCCESSFUL;

// SelectAlternateSetting for a setting whose packets the bus cannot fit
// (see Camera::SetBandwidthBudget).
inline constexpr NTSTATUS kNoBandwidth = STATUS_INSUFFICIENT_RESOURCES;

// The status of an isochronous packet longer than the host's buffer.
inline constexpr USBD_STATUS kBufferOverrunStatus = USBD_STATUS(0xC000000CL);

// The only vendor request the bridge implements; anything else is stalled.
inline constexpr UCHAR kRegisterRequest = 0;

// Alternate settings of the video interface and the isochronous packet size
// of each, in bytes. Every size is a multiple of 4: the bridge is told the
// packet size in quads (register 0x8406).
inline constexpr int kAlternateSettingCount = 13;
inline constexpr std::array<USHORT, kAlternateSettingCount> kAlternatePacketSizes = {
    0,   // 0: no isochronous bandwidth
    256, // 1
    880, // 2: 176x144 at 30 frames/s
    512, // 3: 352x288 and 320x240 at 10, 160x120 at 21
    640, // 4: 176x144 at 21
    704, // 5: 160x120 at 30
    768, // 6
    960, // 7
    512, // 8: 176x144 at 15
    640, // 9
    704, // 10: 320x240 at 15
    736, // 11
    768, // 12: 352x288 at 15
};

// Bridge registers with a behaviour of their own.
namespace reg {
inline constexpr USHORT Revision = 0x8101;           // read only: chip revision
inline constexpr USHORT Stream = 0x8112;             // 0x30: video stream on, 0x00: off
inline constexpr USHORT CalibrationControl = 0x8200; // bit 0 starts a word read, bit 3 resets
inline constexpr USHORT CalibrationWordNumber = 0x8201;
inline constexpr USHORT CalibrationDataLow = 0x8205;  // read only
inline constexpr USHORT CalibrationDataHigh = 0x8206; // read only
inline constexpr USHORT CalibrationStatus = 0x8207;   // read only: (value & 3) == 2 when ready
inline constexpr USHORT StatisticsFirst = 0x8621;     // read only, through 0x8628
inline constexpr USHORT StatisticsLast = 0x8628;
inline constexpr USHORT SerialDataHigh = 0x8800; // a write starts the serial transfer
inline constexpr USHORT SerialRegister = 0x8801;
inline constexpr USHORT SerialStatus = 0x8803; // read only: bit 0 busy
inline constexpr USHORT SerialDataLow = 0x8805;
inline constexpr USHORT FormatCode = 0x8500;   // frame format of the stream
inline constexpr USHORT ClockDivider = 0x8700; // frame rate
inline constexpr USHORT RedGain = 0x8651;      // in 64ths
inline constexpr USHORT BlueGain = 0x8653;     // in 64ths
} // namespace reg

// Sensor registers the stream obeys.
namespace sensor {
inline constexpr UCHAR Hold = 0x07;    // bit 0 set: shutter and gain changes wait
inline constexpr UCHAR Shutter = 0x09; // bits 0..11: exposure in rows
inline constexpr UCHAR Gain = 0x35;    // see AnalogueGain
inline constexpr USHORT HoldBit = 0x0001;
} // namespace sensor

inline constexpr UCHAR kStreamOn = 0x30;
inline constexpr UCHAR kSerialBusy = 0x01;
inline constexpr UCHAR kCalibrationIdle = 0x00;     // no word read since the last reset
inline constexpr UCHAR kCalibrationNotReady = 0x01; // a word read is in progress
inline constexpr UCHAR kCalibrationReady = 0x02;    // the data registers hold the word

// Calibration memory: the word number is one byte, so 256 words. The block
// the driver checks is words 17..63; a memory with no block reads as erased.
inline constexpr int kCalibrationWords = 256;
inline constexpr USHORT kErasedWord = 0xFFFF;
inline constexpr USHORT kCalibrationMagic = 0xAA55;
inline constexpr int kMagicWord = 17;
inline constexpr int kCountWord = 18;      // bits 0..10 entry count, bit 15 withhold
inline constexpr int kOffsetWord = 21;     // high byte column offset, low byte row offset
inline constexpr int kFirstEntryWord = 22; // entry i: column at 22 + 2i, row at 23 + 2i
inline constexpr int kChecksumWord = 63;   // words 18..63 sum to 0 mod 65536
inline constexpr USHORT kWithholdBit = 0x8000;
inline constexpr USHORT kCountMask = 0x07FF;

struct DefectEntry {
    USHORT Column;
    USHORT Row;
};

// What a calibration block holds, for BuildCalibrationImage. The defaults
// give a valid block without defects.
struct CalibrationBlock {
    bool Present = true;              // false: the whole memory reads erased
    USHORT Magic = kCalibrationMagic; // word 17
    std::vector<DefectEntry> Defects; // words 22 + 2i, 23 + 2i
    std::optional<USHORT> Count;      // word 18 bits 0..10; default Defects.size()
    bool Withhold = false;            // word 18 bit 15: the list is not to be used
    USHORT CountSpareBits = 0;        // word 18 bits 11..14 (shifted into place)
    USHORT Word19 = 0;
    USHORT Word20 = 0;
    USHORT Offsets = 0;        // word 21
    USHORT Word62 = 0;         // unless a 21st entry's column lands there
    bool ValidChecksum = true; // false: word 63 is off by ChecksumError
    USHORT ChecksumError = 1;  // must not be 0
};

// The memory image of `block`: words 0..16 zero, the block in 17..63, erased
// words above 63 except where entries beyond the twentieth land (entry i
// always sits at 22 + 2i, 23 + 2i; the checksum wins word 63). Throws
// std::invalid_argument for a broken checksum with ChecksumError 0 or for
// entries that run past the memory.
std::array<USHORT, kCalibrationWords> BuildCalibrationImage(const CalibrationBlock& block);

struct CameraConfig {
    UCHAR Revision = 0;                          // register 0x8101
    UCHAR InterfaceNumber = 0;                   // the video interface
    unsigned SerialBusyStatusReads = 2;          // 0x8803 reads that still say busy after a start
    unsigned CalibrationNotReadyStatusReads = 3; // 0x8207 reads that say not ready after a start
    CalibrationBlock Calibration{};
    uint64_t Seed = 1; // sensor noise and random packet faults
};

enum class Direction : uint8_t { Out, In };

// Which transfers a per-register fault hits.
enum class Access : uint8_t { Read = 1, Write = 2, Both = 3 };

// One VendorControl call as the bus saw it.
struct Transfer {
    uint64_t Sequence = 0; // 1 for the first transfer since the camera was made
    Direction Dir = Direction::Out;
    UCHAR Request = 0;
    USHORT Value = 0; // wValue, all 16 bits
    USHORT Index = 0; // wIndex: the register
    ULONG Length = 0; // the length the host offered (0 without a length)
    UCHAR Data = 0;   // the byte returned by a read that succeeded
    NTSTATUS Status = STATUS_SUCCESS;
};

// The line a USB log shows for `transfer`: "OUT RRRR VVVV" for a write,
// "IN RRRR BB" for a read (register, value and byte in upper-case hex). A
// status other than STATUS_SUCCESS follows as 8 hex digits, and a failed read
// shows "--" for its byte; a request other than 0 adds "REQ XX".
std::string FormatTransfer(const Transfer& transfer);

// One value that reached a sensor register through the serial port.
struct SensorWrite {
    UCHAR Register;
    USHORT Value;
    uint64_t Sequence; // the transfer (the 0x8800 write) that started it
};

// One SelectAlternateSetting call.
struct AlternateSelection {
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    NTSTATUS Status;
};

// The isochronous counters come from IsochronousStats (video_stream.h).
struct CameraStats : IsochronousStats {
    // Vendor traffic.
    uint64_t Transfers = 0; // every VendorControl call
    uint64_t Writes = 0;
    uint64_t Reads = 0;
    uint64_t FailedTransfers = 0; // answered with an error status, for any reason
    // Injected faults.
    uint64_t InjectedFailures = 0;    // by FailTransferAt or FailRegister
    uint64_t InjectedPending = 0;     // answered STATUS_PENDING
    uint64_t ForcedBusyReads = 0;     // 0x8803 reads kept busy by SetSerialBusyForever
    uint64_t ForcedNotReadyReads = 0; // 0x8207 reads kept not ready by SetCalibrationNeverReady
    uint64_t RejectedAlternateSettings = 0; // by RejectAlternateSetting
    uint64_t BandwidthRejections = 0;       // by SetBandwidthBudget
    // What the host got wrong.
    uint64_t UnsupportedRequests = 0;   // request other than 0 (stalled)
    uint64_t MalformedReads = 0;        // a read without a buffer or a length of 0
    uint64_t ReadOnlyWrites = 0;        // writes to registers the host cannot change (ignored)
    uint64_t SerialStartsWhileBusy = 0; // 0x8800 writes while the port was still busy
    // Device activity.
    uint64_t SensorWrites = 0;             // serial transfers that reached the sensor
    uint64_t SerialBusyReads = 0;          // 0x8803 reads that said busy, forced or not
    uint64_t CalibrationWordReads = 0;     // word reads started at the calibration port
    uint64_t CalibrationNotReadyReads = 0; // 0x8207 reads that said not ready, forced or not
    uint64_t AlternateSettingSelections = 0;
    uint64_t StreamStarts = 0;
    uint64_t StreamStops = 0;
};

// The simulated camera. All members may be called from any thread; one lock
// guards the whole device.
//
// The video stream: every NextIsochronousPacket call is one bus millisecond.
// While register 0x8112 holds 0x30 the sensor exposes a frame every frame
// period of the clock divider in 0x8700 (the first in the millisecond after
// the stream was switched on), in the format of 0x8500, with the shutter
// and gain of sensor registers 0x09 and 0x35 as they stood at the frame start
// (while bit 0 of sensor register 0x07 holds them, the values from before
// the hold), the colour gains of 0x8651 and 0x8653, and the defects the
// calibration memory lists. The statistics registers 0x8621..0x8628 then hold
// the frame's statistics. The coded frame goes out in packets of the
// current alternate setting's size P: sequence byte 0, 1, 2, ... then P - 1
// payload bytes (the last packet padded with zeros), then idle packets
// (0xFF, P bytes) until the next frame starts. A frame that would need more
// packets than the milliseconds to the next frame start (or more than 255)
// is coded with less detail (rate_control.h), and when even that does not
// fit, its end is not sent; both are counted. With the stream off or
// alternate setting 0 every millisecond has a packet of length 0.
//
// A transfer that fails (fault, unsupported request, malformed read) never
// reached the device: it changes no register, does not advance any status
// countdown, leaves the caller's buffer alone and sets *length to 0. A
// transfer answered STATUS_PENDING took full effect and a read's byte is in
// the buffer; only the status differs.
class Camera : public kald::host::UsbDevice {
  public:
    explicit Camera(const CameraConfig& config = {});

    // kald::host::UsbDevice
    NTSTATUS VendorControl(UCHAR request, USHORT value, USHORT index, void* buffer, ULONG* length,
                           bool getData) override;
    NTSTATUS SelectAlternateSetting(UCHAR interfaceNumber, UCHAR alternateSetting,
                                    USHORT* maxPacketSize) override;
    // The size from kAlternatePacketSizes; false for another interface or a
    // setting the camera does not have.
    bool AlternateSettingPacketSize(UCHAR interfaceNumber, UCHAR alternateSetting,
                                    USHORT* maxPacketSize) const override;
    // A packet longer than `capacity` (or any packet without a buffer)
    // delivers what fits with kBufferOverrunStatus and is counted in
    // HostBufferOverruns.
    IsochronousPacket NextIsochronousPacket(PUCHAR buffer, ULONG capacity) override;

    // Power cycle: registers, sensor, both ports, the stream (a frame being
    // sent is cut) and the alternate setting return to their reset state.
    // Calibration memory, configuration, faults, logs, statistics, the scene
    // and the light stay.
    void PowerCycle();

    // --- Configuration ---
    void SetRevision(UCHAR revision);
    void SetSerialBusyStatusReads(unsigned reads);
    void SetCalibrationNotReadyStatusReads(unsigned reads);

    // --- Device state, read and set without any bus traffic. Register(0x8803)
    // gives the serial port's status as the next read would see it. ---
    UCHAR Register(USHORT index) const;
    void SetRegister(USHORT index, UCHAR value);
    USHORT SensorRegister(UCHAR index) const;
    // Register order: 0x8621..0x8624 set A green 1, red, blue, green 2, then
    // 0x8625..0x8628 set B in the same order.
    void SetStatisticsRegisters(const std::array<uint8_t, 8>& values);
    bool Streaming() const;
    UCHAR AlternateSetting() const;
    USHORT PacketSize() const; // of the current alternate setting

    void LoadCalibration(const CalibrationBlock& block);
    USHORT CalibrationWord(int word) const;
    void SetCalibrationWord(int word, USHORT value);

    // --- Records ---
    std::vector<Transfer> TransferLog() const;
    std::vector<std::string> FormattedLog() const; // FormatTransfer of each entry
    std::vector<SensorWrite> SensorWriteLog() const;
    std::vector<AlternateSelection> AlternateSelectionLog() const;
    void ClearLogs(); // all four; the sequence numbers go on
    CameraStats Stats() const;
    void ResetStats();

    // --- What the camera looks at; each takes effect at the next frame ---
    void SetTestScene(); // the default
    void SetColourBars();
    void SetScene(const RgbImage& picture); // fitted to each frame size
    void SetLight(double level);            // 1.0: the reference room
    void SetColourTemperature(double kelvin);
    // Fluorescent light on mains of `hz` (50 or 60; 0: steady light).
    void SetMainsFlicker(unsigned hz, double depth = 1.0);
    void SetSensorNoise(double amplitude); // in levels, kDefaultNoiseAmplitude by default
    Lighting CurrentLighting() const;

    // The last frame the sensor exposed.
    FrameRecord LastFrame() const;

    // --- Faults; each stays until cleared ---
    // Fails the n-th vendor transfer from now (1: the next one).
    void FailTransferAt(uint64_t n, NTSTATUS status = kTransferFailure);
    // Fails every transfer of the given kind to `index`.
    void FailRegister(USHORT index, Access access = Access::Both,
                      NTSTATUS status = kTransferFailure);
    void ClearRegisterFault(USHORT index);
    // Answers the n-th vendor transfer from now with STATUS_PENDING.
    void PendTransferAt(uint64_t n);
    // Answers every vendor transfer with STATUS_PENDING.
    void SetPendAll(bool on);
    // The serial port's busy bit never clears; the transfers still reach the
    // sensor (a stuck status bit, not a stuck port).
    void SetSerialBusyForever(bool on);
    // The calibration port never reports a word ready; its data registers keep
    // their last word.
    void SetCalibrationNeverReady(bool on);
    // Selecting `setting` fails with STATUS_UNSUCCESSFUL and keeps the
    // current setting.
    void RejectAlternateSetting(UCHAR setting, bool reject = true);
    // The bus can carry packets of at most `bytes` per frame: a setting with
    // larger packets fails with kNoBandwidth. std::nullopt: no limit.
    void SetBandwidthBudget(std::optional<USHORT> bytes);
    // Faults on the isochronous pipe (PacketFault). Rates draw from the
    // seeded generator; packets count from now, idle packets included
    // (1: the next packet the camera sends); frames count from now
    // (1: the next frame to start).
    void SetPacketFaultRate(PacketFault kind, double probability);
    void InjectPacketFaultAt(uint64_t n, PacketFault kind);
    void InjectFrameFaultAt(uint64_t frame, UCHAR sequence, PacketFault kind);
    std::vector<InjectedPacketFault> PacketFaultLog() const; // cleared by ClearLogs
    void ClearFaults(); // all of the above, packet faults included

  private:
    struct RegisterFault {
        Access Which;
        NTSTATUS Status;
    };

    void ResetDeviceLocked();
    void WriteLocked(USHORT index, USHORT value, uint64_t sequence);
    UCHAR ReadLocked(USHORT index);
    void LatchCalibrationWordLocked();
    std::optional<NTSTATUS> InjectedFailureLocked(uint64_t sequence, USHORT index, bool read);
    BusPacket GeneratePacketLocked();
    FrameSettings LatchFrameSettingsLocked();
    void StreamSwitchedLocked(bool on);

    mutable std::mutex mutex_;
    CameraConfig config_;
    std::array<UCHAR, 0x10000> registers_{};
    std::array<USHORT, 256> sensor_{};
    std::array<USHORT, kCalibrationWords> calibration_{};

    unsigned serialBusyReadsLeft_ = 0; // 0x8803 reads that will still say busy
    bool calibrationReading_ = false;  // a word read started and not yet ready
    unsigned calibrationReadsLeft_ = 0;
    bool streaming_ = false;
    UCHAR alternateSetting_ = 0;

    uint64_t sequence_ = 0; // of the last vendor transfer
    std::map<uint64_t, NTSTATUS> failAt_;
    std::set<uint64_t> pendAt_;
    std::map<USHORT, RegisterFault> registerFaults_;
    bool pendAll_ = false;
    bool serialBusyForever_ = false;
    bool calibrationNeverReady_ = false;
    std::set<UCHAR> rejectedSettings_;
    std::optional<USHORT> bandwidthBudget_;

    // The stream: the shutter and gain the sensor works with (latched at
    // frame starts outside a hold), the bridge's video side, the bus.
    USHORT activeShutter_ = 0;
    USHORT activeGain_ = 0;
    VideoStream stream_;
    PacketFaults packetFaults_;
    std::deque<BusPacket> busQueue_; // decided, not yet delivered

    std::vector<Transfer> log_;
    std::vector<SensorWrite> sensorLog_;
    std::vector<AlternateSelection> selectionLog_;
    CameraStats stats_;
};

} // namespace kald::sim
