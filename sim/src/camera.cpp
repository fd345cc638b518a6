#include "kald_sim/camera.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kald::sim {
namespace {

bool ReadOnly(USHORT index)
{
    switch (index) {
    case reg::Revision:
    case reg::CalibrationDataLow:
    case reg::CalibrationDataHigh:
    case reg::CalibrationStatus:
    case reg::SerialStatus:
        return true;
    default:
        return index >= reg::StatisticsFirst && index <= reg::StatisticsLast;
    }
}

bool Hits(Access which, bool read)
{
    return (uint8_t(which) & uint8_t(read ? Access::Read : Access::Write)) != 0;
}

} // namespace

std::array<USHORT, kCalibrationWords> BuildCalibrationImage(const CalibrationBlock& block)
{
    std::array<USHORT, kCalibrationWords> image;
    image.fill(kErasedWord);
    if (!block.Present) {
        return image;
    }
    if (!block.ValidChecksum && block.ChecksumError == 0) {
        throw std::invalid_argument("BuildCalibrationImage: a broken checksum needs an error");
    }
    if (kFirstEntryWord + 2 * block.Defects.size() > size_t(kCalibrationWords)) {
        throw std::invalid_argument("BuildCalibrationImage: too many defect entries");
    }
    for (int word = 0; word <= kChecksumWord; ++word) {
        image[size_t(word)] = 0;
    }
    image[kMagicWord] = block.Magic;
    const USHORT count = block.Count.value_or(USHORT(block.Defects.size()));
    image[kCountWord] = USHORT((count & kCountMask) | ((block.CountSpareBits & 0x0F) << 11) |
                               (block.Withhold ? kWithholdBit : 0));
    image[19] = block.Word19;
    image[20] = block.Word20;
    image[kOffsetWord] = block.Offsets;
    image[62] = block.Word62;
    for (size_t i = 0; i < block.Defects.size(); ++i) {
        image[kFirstEntryWord + 2 * i] = block.Defects[i].Column;
        image[kFirstEntryWord + 2 * i + 1] = block.Defects[i].Row;
    }
    // Words 18..62 plus the checksum word sum to 0 modulo 65536.
    USHORT sum = 0;
    for (int word = kCountWord; word < kChecksumWord; ++word) {
        sum = USHORT(sum + image[size_t(word)]);
    }
    image[kChecksumWord] = USHORT(0x10000 - sum);
    if (!block.ValidChecksum) {
        image[kChecksumWord] = USHORT(image[kChecksumWord] + block.ChecksumError);
    }
    return image;
}

std::string FormatTransfer(const Transfer& transfer)
{
    char line[64];
    int n;
    if (transfer.Dir == Direction::Out) {
        n = std::snprintf(line, sizeof line, "OUT %04X %04X", unsigned(transfer.Index),
                          unsigned(transfer.Value));
    } else if (NT_SUCCESS(transfer.Status)) {
        n = std::snprintf(line, sizeof line, "IN %04X %02X", unsigned(transfer.Index),
                          unsigned(transfer.Data));
    } else {
        n = std::snprintf(line, sizeof line, "IN %04X --", unsigned(transfer.Index));
    }
    if (transfer.Status != STATUS_SUCCESS) {
        n += std::snprintf(line + n, sizeof line - size_t(n), " %08X",
                           unsigned(uint32_t(transfer.Status)));
    }
    if (transfer.Request != kRegisterRequest) {
        std::snprintf(line + n, sizeof line - size_t(n), " REQ %02X", unsigned(transfer.Request));
    }
    return line;
}

Camera::Camera(const CameraConfig& config)
    : config_(config), stream_(config.Seed), packetFaults_(config.Seed)
{
    calibration_ = BuildCalibrationImage(config_.Calibration);
    ResetDeviceLocked();
}

// Power-on state: every register 0 except the revision; ports idle, stream
// off (a frame being sent is cut, packets not yet delivered are gone),
// alternate setting 0, sensor registers 0.
void Camera::ResetDeviceLocked()
{
    registers_.fill(0);
    registers_[reg::Revision] = config_.Revision;
    sensor_.fill(0);
    serialBusyReadsLeft_ = 0;
    calibrationReading_ = false;
    calibrationReadsLeft_ = 0;
    streaming_ = false;
    StreamSwitchedLocked(false);
    activeShutter_ = 0;
    activeGain_ = 0;
    alternateSetting_ = 0;
}

void Camera::StreamSwitchedLocked(bool on)
{
    if (on) {
        stream_.Start();
    } else {
        stream_.Stop(stats_);
        busQueue_.clear();
    }
}

void Camera::PowerCycle()
{
    std::lock_guard lock(mutex_);
    ResetDeviceLocked();
}

std::optional<NTSTATUS> Camera::InjectedFailureLocked(uint64_t sequence, USHORT index, bool read)
{
    std::optional<NTSTATUS> status;
    if (auto it = failAt_.find(sequence); it != failAt_.end()) {
        status = it->second;
        failAt_.erase(it);
    }
    if (auto it = registerFaults_.find(index); !status && it != registerFaults_.end()) {
        if (Hits(it->second.Which, read)) {
            status = it->second.Status;
        }
    }
    return status;
}

NTSTATUS Camera::VendorControl(UCHAR request, USHORT value, USHORT index, void* buffer,
                               ULONG* length, bool getData)
{
    std::lock_guard lock(mutex_);
    Transfer t;
    t.Sequence = ++sequence_;
    t.Dir = getData ? Direction::In : Direction::Out;
    t.Request = request;
    t.Value = value;
    t.Index = index;
    t.Length = length != nullptr ? *length : 0;

    ++stats_.Transfers;
    ++(getData ? stats_.Reads : stats_.Writes);

    // A scheduled fault is used up by its transfer even when something else
    // fails that transfer first.
    const std::optional<NTSTATUS> injected = InjectedFailureLocked(t.Sequence, index, getData);
    const bool pendThis = pendAt_.erase(t.Sequence) != 0;

    NTSTATUS status = STATUS_SUCCESS;
    if (request != kRegisterRequest) {
        ++stats_.UnsupportedRequests;
        status = kTransferFailure;
    } else if (getData && (buffer == nullptr || length == nullptr || *length == 0)) {
        ++stats_.MalformedReads;
        status = STATUS_INVALID_PARAMETER;
    } else if (injected) {
        ++stats_.InjectedFailures;
        status = *injected;
    }

    if (NT_SUCCESS(status)) {
        if (getData) {
            t.Data = ReadLocked(index);
            *static_cast<UCHAR*>(buffer) = t.Data;
            *length = 1;
        } else {
            WriteLocked(index, value, t.Sequence);
        }
        if (pendAll_ || pendThis) {
            ++stats_.InjectedPending;
            status = STATUS_PENDING;
        }
    } else {
        ++stats_.FailedTransfers;
        if (length != nullptr) {
            *length = 0;
        }
    }
    t.Status = status;
    log_.push_back(t);
    return status;
}

void Camera::WriteLocked(USHORT index, USHORT value, uint64_t sequence)
{
    if (ReadOnly(index)) {
        ++stats_.ReadOnlyWrites;
        return;
    }
    const UCHAR byte = UCHAR(value & 0xFF);
    registers_[index] = byte;
    switch (index) {
    case reg::Stream: {
        const bool on = byte == kStreamOn;
        if (on && !streaming_) {
            ++stats_.StreamStarts;
        } else if (!on && streaming_) {
            ++stats_.StreamStops;
        }
        if (on != streaming_) {
            StreamSwitchedLocked(on);
        }
        streaming_ = on;
        break;
    }
    case reg::SerialDataHigh: {
        // The transfer is committed to the sensor at once; the busy bit only
        // tells the host when the port may be used again.
        if (serialBusyReadsLeft_ > 0) {
            ++stats_.SerialStartsWhileBusy;
        }
        const UCHAR target = registers_[reg::SerialRegister];
        const USHORT word = USHORT(byte << 8 | registers_[reg::SerialDataLow]);
        sensor_[target] = word;
        sensorLog_.push_back({target, word, sequence});
        ++stats_.SensorWrites;
        serialBusyReadsLeft_ = config_.SerialBusyStatusReads;
        break;
    }
    case reg::CalibrationControl:
        if ((byte & 0x08) != 0) {
            calibrationReading_ = false;
            registers_[reg::CalibrationStatus] = kCalibrationIdle;
        }
        if ((byte & 0x01) != 0) {
            ++stats_.CalibrationWordReads;
            calibrationReading_ = true;
            calibrationReadsLeft_ = config_.CalibrationNotReadyStatusReads;
            registers_[reg::CalibrationStatus] = kCalibrationNotReady;
            if (calibrationReadsLeft_ == 0 && !calibrationNeverReady_) {
                LatchCalibrationWordLocked();
            }
        }
        break;
    default:
        break;
    }
}

// The word selected when the read was started may have been reselected since;
// the port reads the word selected now, as the data appears.
void Camera::LatchCalibrationWordLocked()
{
    const USHORT word = calibration_[registers_[reg::CalibrationWordNumber]];
    registers_[reg::CalibrationDataLow] = UCHAR(word & 0xFF);
    registers_[reg::CalibrationDataHigh] = UCHAR(word >> 8);
    registers_[reg::CalibrationStatus] = kCalibrationReady;
    calibrationReading_ = false;
}

UCHAR Camera::ReadLocked(USHORT index)
{
    switch (index) {
    case reg::SerialStatus:
        if (serialBusyReadsLeft_ > 0) {
            --serialBusyReadsLeft_;
            ++stats_.SerialBusyReads;
            return kSerialBusy;
        }
        if (serialBusyForever_) {
            ++stats_.ForcedBusyReads;
            ++stats_.SerialBusyReads;
            return kSerialBusy;
        }
        return 0;
    case reg::CalibrationStatus:
        if (calibrationReading_) {
            if (calibrationReadsLeft_ > 0) {
                --calibrationReadsLeft_;
                ++stats_.CalibrationNotReadyReads;
                return kCalibrationNotReady;
            }
            if (calibrationNeverReady_) {
                ++stats_.ForcedNotReadyReads;
                ++stats_.CalibrationNotReadyReads;
                return kCalibrationNotReady;
            }
            LatchCalibrationWordLocked();
        }
        return registers_[index];
    default:
        return registers_[index];
    }
}

NTSTATUS Camera::SelectAlternateSetting(UCHAR interfaceNumber, UCHAR alternateSetting,
                                        USHORT* maxPacketSize)
{
    std::lock_guard lock(mutex_);
    ++stats_.AlternateSettingSelections;
    NTSTATUS status = STATUS_SUCCESS;
    if (interfaceNumber != config_.InterfaceNumber || alternateSetting >= kAlternateSettingCount) {
        status = STATUS_INVALID_PARAMETER;
    } else if (rejectedSettings_.count(alternateSetting) != 0) {
        ++stats_.RejectedAlternateSettings;
        status = STATUS_UNSUCCESSFUL;
    } else if (bandwidthBudget_ && kAlternatePacketSizes[alternateSetting] > *bandwidthBudget_) {
        ++stats_.BandwidthRejections;
        status = kNoBandwidth;
    } else {
        alternateSetting_ = alternateSetting;
        if (maxPacketSize != nullptr) {
            *maxPacketSize = kAlternatePacketSizes[alternateSetting];
        }
    }
    selectionLog_.push_back({interfaceNumber, alternateSetting, status});
    return status;
}

bool Camera::AlternateSettingPacketSize(UCHAR interfaceNumber, UCHAR alternateSetting,
                                        USHORT* maxPacketSize) const
{
    std::lock_guard lock(mutex_);
    if (interfaceNumber != config_.InterfaceNumber || alternateSetting >= kAlternateSettingCount ||
        maxPacketSize == nullptr) {
        return false;
    }
    *maxPacketSize = kAlternatePacketSizes[alternateSetting];
    return true;
}

// The sensor takes a new shutter and gain at a frame start unless bit 0 of
// its register 0x07 holds them, so a change written inside a hold reaches
// the picture as one.
FrameSettings Camera::LatchFrameSettingsLocked()
{
    if ((sensor_[sensor::Hold] & sensor::HoldBit) == 0) {
        activeShutter_ = sensor_[sensor::Shutter];
        activeGain_ = sensor_[sensor::Gain];
    }
    FrameSettings settings;
    settings.FormatCode = registers_[reg::FormatCode];
    settings.ClockDivider = registers_[reg::ClockDivider];
    settings.Revision = registers_[reg::Revision];
    settings.Sensor.Shutter = activeShutter_;
    settings.Sensor.Gain = activeGain_;
    settings.Sensor.RedGain = registers_[reg::RedGain];
    settings.Sensor.BlueGain = registers_[reg::BlueGain];
    settings.Defects = DefectsFromCalibration(calibration_);
    return settings;
}

// One millisecond of the camera; a frame start also refreshes the
// statistics registers (0x8621..0x8624 set A, 0x8625..0x8628 set B; the
// frame header carries set B first).
BusPacket Camera::GeneratePacketLocked()
{
    BusPacket packet = stream_.Generate(
        streaming_, kAlternatePacketSizes[alternateSetting_],
        [this] { return LatchFrameSettingsLocked(); }, stats_);
    if (const std::optional<FrameStatistics> statistics = stream_.TakeStatistics()) {
        for (size_t i = 0; i < 4; ++i) {
            registers_[reg::StatisticsFirst + i] = (*statistics)[4 + i];
            registers_[reg::StatisticsFirst + 4 + i] = (*statistics)[i];
        }
    }
    return packet;
}

kald::host::UsbDevice::IsochronousPacket Camera::NextIsochronousPacket(PUCHAR buffer,
                                                                       ULONG capacity)
{
    std::lock_guard lock(mutex_);
    ++stats_.IsochronousPackets;
    if (busQueue_.empty()) {
        packetFaults_.Apply(
            GeneratePacketLocked(), [this] { return GeneratePacketLocked(); }, busQueue_, stats_);
    }
    const BusPacket packet = std::move(busQueue_.front());
    busQueue_.pop_front();
    ULONG length = ULONG(packet.Bytes.size());
    USBD_STATUS status = packet.Status;
    if (length > 0 && (buffer == nullptr || length > capacity)) {
        ++stats_.HostBufferOverruns;
        length = buffer == nullptr ? 0 : capacity;
        status = kBufferOverrunStatus;
    }
    if (length > 0) {
        std::memcpy(buffer, packet.Bytes.data(), length);
    }
    return {length, status};
}

void Camera::SetTestScene()
{
    std::lock_guard lock(mutex_);
    stream_.CurrentScene().SetTestScene();
}

void Camera::SetColourBars()
{
    std::lock_guard lock(mutex_);
    stream_.CurrentScene().SetColourBars();
}

void Camera::SetScene(const RgbImage& picture)
{
    std::lock_guard lock(mutex_);
    stream_.CurrentScene().SetPicture(picture);
}

void Camera::SetLight(double level)
{
    std::lock_guard lock(mutex_);
    stream_.Light().Level = std::max(0.0, level);
}

void Camera::SetColourTemperature(double kelvin)
{
    std::lock_guard lock(mutex_);
    stream_.Light().Kelvin = std::clamp(kelvin, kMinKelvin, kMaxKelvin);
}

void Camera::SetMainsFlicker(unsigned hz, double depth)
{
    std::lock_guard lock(mutex_);
    stream_.Light().MainsHz = hz;
    stream_.Light().FlickerDepth = std::clamp(depth, 0.0, 1.0);
}

void Camera::SetSensorNoise(double amplitude)
{
    std::lock_guard lock(mutex_);
    stream_.SetNoiseAmplitude(std::max(0.0, amplitude));
}

Lighting Camera::CurrentLighting() const
{
    std::lock_guard lock(mutex_);
    return stream_.Light();
}

FrameRecord Camera::LastFrame() const
{
    std::lock_guard lock(mutex_);
    return stream_.LastFrame();
}

void Camera::SetPacketFaultRate(PacketFault kind, double probability)
{
    std::lock_guard lock(mutex_);
    packetFaults_.SetRate(kind, probability);
}

void Camera::InjectPacketFaultAt(uint64_t n, PacketFault kind)
{
    if (n == 0) {
        throw std::invalid_argument("InjectPacketFaultAt: packets are counted from 1");
    }
    std::lock_guard lock(mutex_);
    packetFaults_.AtPacket(packetFaults_.PacketsSent() + n, kind);
}

void Camera::InjectFrameFaultAt(uint64_t frame, UCHAR sequence, PacketFault kind)
{
    if (frame == 0) {
        throw std::invalid_argument("InjectFrameFaultAt: frames are counted from 1");
    }
    std::lock_guard lock(mutex_);
    packetFaults_.AtFrame(stream_.FramesStarted() + frame, sequence, kind);
}

std::vector<InjectedPacketFault> Camera::PacketFaultLog() const
{
    std::lock_guard lock(mutex_);
    return packetFaults_.Log();
}

void Camera::SetRevision(UCHAR revision)
{
    std::lock_guard lock(mutex_);
    config_.Revision = revision;
    registers_[reg::Revision] = revision;
}

void Camera::SetSerialBusyStatusReads(unsigned reads)
{
    std::lock_guard lock(mutex_);
    config_.SerialBusyStatusReads = reads;
}

void Camera::SetCalibrationNotReadyStatusReads(unsigned reads)
{
    std::lock_guard lock(mutex_);
    config_.CalibrationNotReadyStatusReads = reads;
}

UCHAR Camera::Register(USHORT index) const
{
    std::lock_guard lock(mutex_);
    if (index == reg::SerialStatus) {
        return serialBusyReadsLeft_ > 0 || serialBusyForever_ ? kSerialBusy : 0;
    }
    return registers_[index];
}

void Camera::SetRegister(USHORT index, UCHAR value)
{
    std::lock_guard lock(mutex_);
    registers_[index] = value;
}

USHORT Camera::SensorRegister(UCHAR index) const
{
    std::lock_guard lock(mutex_);
    return sensor_[index];
}

void Camera::SetStatisticsRegisters(const std::array<uint8_t, 8>& values)
{
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < values.size(); ++i) {
        registers_[reg::StatisticsFirst + i] = values[i];
    }
}

bool Camera::Streaming() const
{
    std::lock_guard lock(mutex_);
    return streaming_;
}

UCHAR Camera::AlternateSetting() const
{
    std::lock_guard lock(mutex_);
    return alternateSetting_;
}

USHORT Camera::PacketSize() const
{
    std::lock_guard lock(mutex_);
    return kAlternatePacketSizes[alternateSetting_];
}

void Camera::LoadCalibration(const CalibrationBlock& block)
{
    const auto image = BuildCalibrationImage(block);
    std::lock_guard lock(mutex_);
    config_.Calibration = block;
    calibration_ = image;
}

USHORT Camera::CalibrationWord(int word) const
{
    std::lock_guard lock(mutex_);
    return calibration_.at(size_t(word));
}

void Camera::SetCalibrationWord(int word, USHORT value)
{
    std::lock_guard lock(mutex_);
    calibration_.at(size_t(word)) = value;
}

std::vector<Transfer> Camera::TransferLog() const
{
    std::lock_guard lock(mutex_);
    return log_;
}

std::vector<std::string> Camera::FormattedLog() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> lines;
    lines.reserve(log_.size());
    for (const Transfer& t : log_) {
        lines.push_back(FormatTransfer(t));
    }
    return lines;
}

std::vector<SensorWrite> Camera::SensorWriteLog() const
{
    std::lock_guard lock(mutex_);
    return sensorLog_;
}

std::vector<AlternateSelection> Camera::AlternateSelectionLog() const
{
    std::lock_guard lock(mutex_);
    return selectionLog_;
}

void Camera::ClearLogs()
{
    std::lock_guard lock(mutex_);
    log_.clear();
    sensorLog_.clear();
    selectionLog_.clear();
    packetFaults_.ClearLog();
}

CameraStats Camera::Stats() const
{
    std::lock_guard lock(mutex_);
    return stats_;
}

void Camera::ResetStats()
{
    std::lock_guard lock(mutex_);
    stats_ = {};
}

void Camera::FailTransferAt(uint64_t n, NTSTATUS status)
{
    if (n == 0) {
        throw std::invalid_argument("FailTransferAt: transfers are counted from 1");
    }
    std::lock_guard lock(mutex_);
    failAt_[sequence_ + n] = status;
}

void Camera::FailRegister(USHORT index, Access access, NTSTATUS status)
{
    std::lock_guard lock(mutex_);
    registerFaults_[index] = {access, status};
}

void Camera::ClearRegisterFault(USHORT index)
{
    std::lock_guard lock(mutex_);
    registerFaults_.erase(index);
}

void Camera::PendTransferAt(uint64_t n)
{
    if (n == 0) {
        throw std::invalid_argument("PendTransferAt: transfers are counted from 1");
    }
    std::lock_guard lock(mutex_);
    pendAt_.insert(sequence_ + n);
}

void Camera::SetPendAll(bool on)
{
    std::lock_guard lock(mutex_);
    pendAll_ = on;
}

void Camera::SetSerialBusyForever(bool on)
{
    std::lock_guard lock(mutex_);
    serialBusyForever_ = on;
}

void Camera::SetCalibrationNeverReady(bool on)
{
    std::lock_guard lock(mutex_);
    calibrationNeverReady_ = on;
}

void Camera::RejectAlternateSetting(UCHAR setting, bool reject)
{
    std::lock_guard lock(mutex_);
    if (reject) {
        rejectedSettings_.insert(setting);
    } else {
        rejectedSettings_.erase(setting);
    }
}

void Camera::SetBandwidthBudget(std::optional<USHORT> bytes)
{
    std::lock_guard lock(mutex_);
    bandwidthBudget_ = bytes;
}

void Camera::ClearFaults()
{
    std::lock_guard lock(mutex_);
    failAt_.clear();
    pendAt_.clear();
    registerFaults_.clear();
    pendAll_ = false;
    serialBusyForever_ = false;
    calibrationNeverReady_ = false;
    rejectedSettings_.clear();
    bandwidthBudget_.reset();
    packetFaults_.Clear();
}

} // namespace kald::sim
