// Packet assembly: validates each isochronous packet, follows the camera's
// per-frame packet numbering, decides how many bytes of each packet go into
// the raw frame and when a frame is complete, collects the first frame of a
// capture run, drops frames to follow the client's rate, counts, and hands
// each frame's statistics to the automatic controls.
#pragma once

#include "../core/camera_context.h"

// Packet error kinds (PacketErrorKind).
constexpr ULONG PACKET_ERROR_STATUS = 1;   // the bus reported an error status
constexpr ULONG PACKET_ERROR_SEQUENCE = 2; // detail: expected * 65536 + received
constexpr ULONG PACKET_ERROR_LENGTH = 3;   // neither 0 nor the packet size

constexpr UCHAR PACKET_START_OF_FRAME = 0x00;
constexpr UCHAR PACKET_IDLE = 0xFF;

// The library's packet callback.
ULONG CamProcessUSBPacketEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                            PVOID CurrentFrameContext, PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket,
                            PVOID SyncBuffer, PUSBD_ISO_PACKET_DESCRIPTOR DataPacket,
                            PVOID DataBuffer, PBOOLEAN FrameComplete, PULONG PacketFlag,
                            PULONG ValidDataOffset);

// The size of every isochronous packet of the selected setting (0 when no
// interface is selected).
ULONG CamPacketSize(const CameraContext* Context);

BOOLEAN ValidatePacket(CameraContext* Context, const USBD_ISO_PACKET_DESCRIPTOR* DataPacket);
ULONG CollectFirstFramePacket(CameraContext* Context, const USBD_ISO_PACKET_DESCRIPTOR* DataPacket,
                              const UCHAR* DataBuffer);
void ReadFrameStatistics(CameraContext* Context, const UCHAR* DataBuffer);

// Frame-rate gate: FrameInterval is the client's AvgTimePerFrame (100-ns
// units, low 32 bits).
void FrameRateGateInit(ULONG FrameInterval, FrameRateGate* Gate);
void FrameRateGateStep(UCHAR Sequence, ULONG MsClock, FrameRateGate* Gate);

// Empties the first-frame collection and restarts the skip count; called at
// bandwidth allocation after the settings are loaded.
void ResetFrameSync(CameraContext* Context);
