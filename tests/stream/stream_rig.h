// A device streaming from a simulated camera through the host library's
// pump: configured, initialised, given bandwidth and started as the
// library's callbacks would, with the registry's built-in settings, and two
// client buffers always waiting. Each delivered frame is recorded.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "autocontrol/auto_control.h"
#include "controls/settings.h"
#include "core/camera_context.h"
#include "datapath/packet_sync.h"
#include "datapath/raw_frame.h"
#include "hardware/capture.h"
#include "hardware/registers.h"
#include "imaging/pipeline_tables.h"
#include "kald_host/host_kernel.h"
#include "kald_host/host_stream.h"
#include "kald_host/host_usb.h"
#include "kald_sim/camera.h"

namespace kald::test {

struct ModeRow {
    ULONG Width, Height;
    UCHAR AlternateSetting;
    USHORT ClockDivider, VerticalBlanking, ShutterHigh, FrameRate, PacketQuads;
};

// The mode rows of each width, fastest first.
inline const ModeRow kModeRows[] = {
    {352, 288, 12, 8, 7, 16, 15, 192}, {352, 288, 3, 13, 9, 16, 10, 128},
    {320, 240, 10, 8, 0, 16, 15, 176}, {320, 240, 3, 13, 0, 16, 10, 128},
    {176, 144, 2, 3, 0, 16, 30, 220},  {176, 144, 4, 5, 0, 16, 21, 160},
    {176, 144, 8, 8, 0, 16, 15, 128},  {160, 120, 5, 3, 0, 16, 30, 176},
    {160, 120, 3, 5, 0, 16, 21, 128},
};

// The row of `width` that runs at `frameRate`, or the width's fastest.
inline const ModeRow& RowFor(ULONG width, USHORT frameRate = 0)
{
    const ModeRow* fastest = nullptr;
    for (const ModeRow& row : kModeRows) {
        if (row.Width == width) {
            fastest = fastest ? fastest : &row;
            if (row.FrameRate == frameRate) {
                return row;
            }
        }
    }
    return *fastest;
}

struct DeliveredFrame {
    ULONG Bytes;
    double MeanY;
    std::vector<double> RowMeans; // mean Y of each picture row
    SHORT ExposureIndex;          // the controller's index after the frame
    USHORT MeasuredLuma;          // (LumaA + LumaB) / 2 of the frame's statistics
};

class StreamRig {
public:
    // `settings` may adjust the built-in settings before the run starts.
    template <class Adjust>
    StreamRig(ULONG width, ULONG height, Adjust adjust, USHORT frameRate = 0)
        : camera_(std::make_unique<kald::sim::Camera>())
    {
        host::BindDevice(&context_, camera_.get());
        Configure(width, height);
        adjust(context_.CameraSettings, *camera_);
        ApplySettingsToLive(&context_);
        const ModeRow& row = RowFor(width, frameRate);
        AllocateBandwidth(row, 10000000 / row.FrameRate);
        Start();
    }
    StreamRig(ULONG width, ULONG height)
        : StreamRig(width, height, [](CameraSettings&, kald::sim::Camera&) {})
    {
    }
    ~StreamRig()
    {
        StopCameraHardware(&context_);
        host::BindDevice(&context_, nullptr);
    }

    void RunMs(ULONG ms) { pump_->Run(ms); }

    CameraContext& Context() { return context_; }
    kald::sim::Camera& Camera() { return *camera_; }
    const std::vector<DeliveredFrame>& Frames() const { return frames_; }
    const host::IsochronousPumpStatistics& PumpStats() const { return pump_->Statistics(); }

private:
    void Configure(ULONG width, ULONG height)
    {
        CameraContext& c = context_;
        c.FrameWidth = width;
        c.FrameHeight = height;
        c.FrameFourCC = FOURCC_I420;
        c.RawLineBuffer = rawLines_.data();
        c.LumaWorkBuffer = luma_.data();
        c.WorkBufferA = workA_.data();
        c.WorkBufferB = workB_.data();
        c.SavedFrameBuffer = saved_.data();
        c.SavedFrameCapacity = SAVED_FRAME_BYTES;
        c.DeviceState = Initialized;
        CamLoadCalibration(&c, &c.DpcTable);
        AutoControlInit(&c.AutoControlState, &c);
        // The built-in settings, as an empty registry gives them.
        host::RegistryClear();
        LoadSettings(&c);
    }

    void AllocateBandwidth(const ModeRow& row, ULONG frameInterval)
    {
        CameraContext& c = context_;
        c.ProbationState = c.MsClock != 0 ? 2 : 0;
        ResetFrameSync(&c);
        FrameRateGateInit(frameInterval, &c.FrameRateGate);
        c.ModeClockDivider = row.ClockDivider;
        c.ModeVerticalBlanking = row.VerticalBlanking;
        c.ModeShutterHigh = row.ShutterHigh;
        c.ModeFrameRate = row.FrameRate;
        c.ModePacketQuads = row.PacketQuads;
        c.ModeReg8702 = 0x81;
        c.ModeReg8505 = 0;
        c.ModeReg8502 = c.FrameWidth >= 320 ? 2 : 0;
        interface_.Length = sizeof(interface_);
        interface_.NumberOfPipes = 1;
        interface_.AlternateSetting = row.AlternateSetting;
        c.InterfaceInfo = &interface_;
        USBCAMD_SelectAlternateInterface(&c, &interface_);
        BuildPipelineTables(c.FrameWidth, c.FrameHeight, c.RawLineBuffer, c.LumaWorkBuffer);
    }

    void Start()
    {
        CameraContext& c = context_;
        c.AutoPhase = 0;
        c.AeStepsInPhase = 0;
        c.StillLatch = 0;
        c.DeviceState = Capturing;
        StartCameraHardware(&c);
        USBCAMD_DEVICE_DATA2 callbacks{};
        callbacks.CamProcessUSBPacketEx = CamProcessUSBPacketEx;
        callbacks.CamNewVideoFrameEx = CamNewVideoFrameEx;
        callbacks.CamProcessRawVideoFrameEx = CamProcessRawVideoFrameEx;
        const ULONG clientBytes = c.FrameWidth * c.FrameHeight * 3 / 2;
        pump_ = std::make_unique<host::IsochronousPump>(callbacks, &c, *camera_,
                                                        interface_.Pipes[0].MaximumPacketSize,
                                                        clientBytes, RAW_FRAME_BYTES,
                                                        ULONG(sizeof(FrameContext)));
        for (auto& buffer : clients_) {
            buffer.assign(clientBytes, 0);
            pump_->QueueBuffer(buffer.data(), clientBytes);
        }
        pump_->SetCompletion([this](const host::CompletedBuffer& done) { Record(done); });
    }

    void Record(const host::CompletedBuffer& done)
    {
        const CameraContext& c = context_;
        DeliveredFrame frame{done.BytesReturned, 0.0, {}, c.AutoControlState.ExposureIndex,
                             USHORT((c.AutoControlState.LumaA + c.AutoControlState.LumaB) / 2)};
        if (done.BytesReturned != 0) {
            double total = 0;
            for (ULONG y = 0; y < c.FrameHeight; ++y) {
                double row = 0;
                for (ULONG x = 0; x < c.FrameWidth; ++x) {
                    row += done.Buffer[y * c.FrameWidth + x];
                }
                frame.RowMeans.push_back(row / c.FrameWidth);
                total += row;
            }
            frame.MeanY = total / (double(c.FrameWidth) * c.FrameHeight);
        }
        frames_.push_back(std::move(frame));
        pump_->QueueBuffer(done.Buffer, done.Length);
    }

    std::unique_ptr<kald::sim::Camera> camera_;
    CameraContext context_{};
    USBD_INTERFACE_INFORMATION interface_{};
    std::vector<UCHAR> rawLines_ = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> luma_ = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
    std::vector<UCHAR> workA_ = std::vector<UCHAR>(WORK_BUFFER_A_BYTES);
    std::vector<UCHAR> workB_ = std::vector<UCHAR>(WORK_BUFFER_B_BYTES);
    std::vector<UCHAR> saved_ = std::vector<UCHAR>(SAVED_FRAME_BYTES);
    std::vector<UCHAR> clients_[2];
    std::unique_ptr<host::IsochronousPump> pump_;
    std::vector<DeliveredFrame> frames_;
};

} // namespace kald::test
