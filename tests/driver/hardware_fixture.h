// A camera context bound to a simulated camera, for tests of the register
// traffic the driver makes.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "autocontrol/auto_control.h"
#include "controls/settings.h"
#include "core/camera_context.h"
#include "imaging/pipeline_tables.h"
#include "kald_host/host_kernel.h"
#include "kald_host/host_usb.h"
#include "kald_sim/camera.h"

// The mode row the driver picks first for each width.
struct ModeRow {
    ULONG Width, Height;
    USHORT ClockDivider, VerticalBlanking, ShutterHigh, FrameRate, PacketQuads;
};
inline const ModeRow kFastestRows[] = {
    {352, 288, 8, 7, 16, 15, 192},
    {320, 240, 8, 0, 16, 15, 176},
    {176, 144, 3, 0, 16, 30, 220},
    {160, 120, 3, 0, 16, 30, 176},
};

class HardwareTest {
public:
    HardwareTest()
    {
        kald::host::ResetClock();
        kald::host::ClearDelayLog();
        kald::sim::CameraConfig config;
        config.SerialBusyStatusReads = 0; // the port is idle at its first status read
        config.CalibrationNotReadyStatusReads = 0;
        camera = std::make_unique<kald::sim::Camera>(config);
        context = CameraContext{};
        kald::host::BindDevice(&context, camera.get());
        ResetPipelineTables();
    }
    ~HardwareTest() { kald::host::BindDevice(&context, nullptr); }

    // A device configured and initialised, its settings at the built-in
    // defaults, with the mode row `row` loaded.
    void Configure(const ModeRow& row)
    {
        context.FrameWidth = row.Width;
        context.FrameHeight = row.Height;
        context.FrameFourCC = FOURCC_I420;
        context.ModeClockDivider = row.ClockDivider;
        context.ModeVerticalBlanking = row.VerticalBlanking;
        context.ModeShutterHigh = row.ShutterHigh;
        context.ModeFrameRate = row.FrameRate;
        context.ModePacketQuads = row.PacketQuads;
        context.ModeReg8702 = 0x81;
        context.ModeReg8505 = 0;
        context.ModeReg8502 = row.Width >= 320 ? 2 : 0;
        context.RawLineBuffer = rawLines.data();
        context.LumaWorkBuffer = lumaLines.data();
        AutoControlInit(&context.AutoControlState, &context);
        // The built-in settings, as an empty registry gives them.
        kald::host::RegistryClear();
        LoadSettings(&context);
        camera->ClearLogs();
    }

    std::vector<std::string> Log() const { return camera->FormattedLog(); }

    std::unique_ptr<kald::sim::Camera> camera;
    CameraContext context{};
    std::vector<UCHAR> rawLines = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES);
    std::vector<UCHAR> lumaLines = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES);
};

// Builds the expected USB log line by line.
class ExpectedLog {
public:
    ExpectedLog& Out(unsigned reg, unsigned value)
    {
        char line[32];
        std::snprintf(line, sizeof line, "OUT %04X %04X", reg, value);
        lines.push_back(line);
        return *this;
    }
    ExpectedLog& In(unsigned reg, unsigned byte)
    {
        char line[32];
        std::snprintf(line, sizeof line, "IN %04X %02X", reg, byte);
        lines.push_back(line);
        return *this;
    }
    // One sensor register write through the serial port, idle at once.
    ExpectedLog& Sensor(unsigned reg, unsigned value)
    {
        return Out(0x8805, value & 0xFF).Out(0x8801, reg).Out(0x8800, value >> 8).In(0x8803, 0);
    }
    std::vector<std::string> lines;
};
