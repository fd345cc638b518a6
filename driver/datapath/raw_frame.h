// The frame callback: compacts the packets of a finished raw frame, replaces
// a damaged frame by the last trusted one, decodes it into the client's
// buffer, paces the automatic controls and marks still frames.
#pragma once

#include "../core/camera_context.h"

// Frame error kinds (FrameErrorKind).
constexpr ULONG FRAME_ERROR_UNDECODABLE = 6; // the decoder's end check failed
constexpr ULONG FRAME_ERROR_REPLACED = 9;    // a damaged frame was replaced by the saved one

NTSTATUS CamProcessRawVideoFrameEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                   PVOID FrameContext, PVOID FrameBuffer, ULONG FrameLength,
                                   PVOID RawFrameBuffer, ULONG RawFrameLength,
                                   ULONG NumberOfPackets, PULONG BytesReturned,
                                   ULONG ActualRawFrameLength, ULONG StreamNumber);

// Prepares the context of the next frame: it starts intact.
VOID CamNewVideoFrameEx(PVOID DeviceContext, PVOID FrameContext, ULONG StreamNumber,
                        PULONG FrameLength);

// Runs at most one automatic-exposure or white-balance step per
// AeAwbInterval ticks of the packet clock, alternating AePeriod exposure
// steps with AwbPeriod white-balance steps.
void RunAutoControlSchedule(CameraContext* Context);
