// The library's device callbacks: configuration, initialisation, bandwidth
// allocation with the choice of camera mode, capture start and stop,
// bandwidth release and tear-down, and the working buffers they own.
#pragma once

#include "camera_context.h"

// Pool tag of every driver allocation: "Wdm " read as a little-endian ULONG.
constexpr ULONG KALDRIN_POOL_TAG = 0x206D6457;

// Largest transfer the library may queue on the data pipe.
constexpr ULONG DATA_PIPE_MAX_TRANSFER = 0x8000;

// One camera mode of a frame width. The five USHORTs go into the context
// when the row is tried.
struct BandwidthMode {
    UCHAR AlternateSetting; // of the video interface
    UCHAR Reserved;         // always 0
    USHORT ClockDivider;
    USHORT VerticalBlanking;
    USHORT ShutterHigh;
    USHORT FrameRate;   // frames per second
    USHORT PacketQuads; // the camera's packet size / 4
};

static_assert(sizeof(BandwidthMode) == 12, "a mode row is 12 bytes");

// The mode rows of a width, fastest and widest first; NULL (and *Count 0) for
// a width the camera does not offer.
const BandwidthMode* BandwidthModesFor(ULONG Width, PULONG Count);

NTSTATUS CamConfigureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                        PUSBD_INTERFACE_INFORMATION Interface,
                        PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                        ULONG PipeConfigListSize, PUSBCAMD_Pipe_Config_Descriptor PipeConfig,
                        PUSB_DEVICE_DESCRIPTOR DeviceDescriptor);
NTSTATUS CamInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
NTSTATUS CamUnInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

// Format is the stream's open KS_DATAFORMAT_VIDEOINFOHEADER. On success
// *RawFrameLength is the raw frame size the library is to assemble; on
// failure it is 0 and the status STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS CamAllocateBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                PULONG RawFrameLength, PVOID Format, ULONG StreamNumber);
NTSTATUS CamFreeBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                            ULONG StreamNumber);
NTSTATUS CamStartCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber);
NTSTATUS CamStopCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber);

// Serves as both the save-state and the restore-state callback: the camera
// keeps nothing across power changes that the next capture start does not
// program again.
NTSTATUS CamSaveState(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

// Takes the frame size from Format, then tries the width's mode rows from
// ChooseStartingRow on until the library accepts one's alternate setting.
// Returns the last selection's status.
NTSTATUS SelectBandwidthMode(CameraContext* Context, PULONG RawFrameLength,
                             const KS_DATAFORMAT_VIDEOINFOHEADER* Format, ULONG FrameRate,
                             ULONG MaxPacketSize);

// The first row to try: the slowest that still reaches FrameRate (the fastest
// when none does), moved on past rows whose packets exceed MaxPacketSize;
// the width's last row when every packet is too large. 0 for an unknown width.
ULONG ChooseStartingRow(ULONG Width, ULONG FrameRate, ULONG MaxPacketSize);

// Allocates the interface copy (InterfaceLength bytes) and the working
// buffers, stopping at the first failure with STATUS_INSUFFICIENT_RESOURCES;
// the saved-frame buffer only when none is held.
NTSTATUS AllocateBuffers(CameraContext* Context, ULONG InterfaceLength);

// Frees the working buffers (not the interface copy) and clears the pointers.
void ReleaseBuffers(CameraContext* Context);

// The callback table handed to the library with every forwarded request.
extern USBCAMD_DEVICE_DATA2 CamDeviceData;
