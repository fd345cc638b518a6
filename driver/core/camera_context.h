// The per-device record that the USB camera library allocates with the device
// and passes to every callback, and the per-frame record it keeps with each
// frame. A new CameraContext is all zero.
#pragma once

#include "kaldrin_platform.h"
#include "../autocontrol/auto_control_state.h"
#include "../controls/camera_settings.h"
#include "../datapath/frame_rate_gate.h"
#include "../hardware/dpc_table.h"

// Working-buffer sizes, allocated once per device at configure time.
constexpr ULONG RAW_FRAME_BYTES = 116864;      // raw frame and saved frame
constexpr ULONG SAVED_FRAME_BYTES = RAW_FRAME_BYTES;
constexpr ULONG RAW_LINE_BUFFER_BYTES = 118912; // decoded Bayer lines
constexpr ULONG LUMA_WORK_BUFFER_BYTES = 118912;
constexpr ULONG WORK_BUFFER_A_BYTES = 154752;
constexpr ULONG WORK_BUFFER_B_BYTES = 118912;

enum DeviceState : ULONG {
    Configured = 2,
    Initialized = 3,
    Capturing = 5,
    CaptureStopped = 6,
    BandwidthFreed = 7,
    Removed = 8,
};

// biCompression of the I420 format.
constexpr ULONG FOURCC_I420 = 0x30323449;

struct CameraContext {
    CHAR Signature[4];                     // "KD31"
    ULONG DeviceState;                     // a DeviceState value
    PUSBD_INTERFACE_INFORMATION InterfaceInfo; // driver's copy of the video interface
    LONG Brightness;                       // live brightness 0..255
    LONG Contrast;                         // live contrast 0..3000
    LONG HueAngleIndex;                    // (hue + 540) mod 720
    LONG Saturation;                       // live saturation 0..63
    LONG Sharpness;                        // live sharpness 1..8
    ULONG Gamma;                           // live gamma curve index 0..9
    ULONG WhiteBalanceLevel;               // manual white-balance level 0..20
    ULONG PacketErrorCount;                // packets that failed validation
    UCHAR NextPacketSequence;              // sequence byte expected next
    ULONG FrameWidth;
    ULONG FrameHeight;
    ULONG FrameFourCC;                     // biCompression of the open format
    UCHAR AutoExposureOn;                  // as last applied
    ULONG AutoWhiteBalanceOn;              // as last applied
    PUCHAR RawLineBuffer;                  // RAW_LINE_BUFFER_BYTES: decoded sensor lines
    PUCHAR LumaWorkBuffer;                 // LUMA_WORK_BUFFER_BYTES: luma work lines
    PUCHAR WorkBufferA;                    // WORK_BUFFER_A_BYTES
    PUCHAR WorkBufferB;                    // WORK_BUFFER_B_BYTES
    ::DpcTable DpcTable;                   // calibration words 0..63 (defect list)
    USHORT ModeClockDivider;               // values of the chosen mode row
    USHORT ModeVerticalBlanking;
    USHORT ModePacketQuads;
    USHORT ModeReg8702;
    USHORT ModeReg8505;
    USHORT ModeReg8502;
    USHORT ModeShutterHigh;
    ULONG FormatModeCode;                  // value for the camera's format register
    ULONG GammaModeFlag;                   // flag of control code 6
    ::AutoControlState AutoControlState;   // AE/AWB controller
    ::CameraSettings CameraSettings;       // the persisted settings
    ULONG MsClock;                         // packet clock, "Current MS clock"
    ::FrameRateGate FrameRateGate;
    ULONG TrafficSnapshotClock;            // MsClock at the previous traffic read
    ULONG PacketCount;
    ULONG FrameStartCount;
    ULONG RawFrameCount;
    ULONG GoodFrameCount;
    ULONG TrafficSnapshotCounters[4];      // the four counters at the previous traffic read
    ULONG IdlePacketRun;
    ULONG MaxIdlePacketRun;
    ULONG PacketErrorKind;                 // first packet error since the last read
    ULONG PacketErrorDetail;
    ULONG FrameErrorKind;                  // first frame error since the last read
    ULONG FrameErrorDetail;
    ULONG BandwidthAllocationCount;        // since configure
    ULONG SyncState;                       // 0 skipping, 1 collecting the first frame, 2 streaming
    ULONG SkipCountdown;
    PUCHAR SavedFrameBuffer;               // SAVED_FRAME_BYTES: last good compacted frame
    ULONG SavedFrameCapacity;
    ULONG SavedFrameLength;
    UCHAR SavedFrameNextSequence;          // expected while collecting the first frame
    ULONG ProbationState;                  // frame-error probation 0, 1, 2
    ULONG FerProbationLength;              // "F E R Probation Length"
    ULONG AutoPhase;                       // 0 AE phase, 1 AWB phase
    ULONG LastScheduleTick;
    LONG AeStepsInPhase;
    LONG AwbStepsInPhase;
    UCHAR StillLatch;                      // still-frame marker latch
    USHORT ModeFrameRate;                  // 30, 21, 15 or 10
    UCHAR CameraRevision;                  // revision byte read at capture start
    UCHAR CaptureActive;                   // hardware capture running
};

// The record the library keeps with each frame buffer.
struct FrameContext {
    ULONG Reserved;      // not used by the driver
    BOOLEAN FrameIntact; // TRUE while every packet of the frame arrived in order
};

static_assert(sizeof(FrameContext) == 8, "the frame context is 8 bytes");
