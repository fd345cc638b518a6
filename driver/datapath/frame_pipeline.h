// The per-frame decode pipelines and the post-processing of the finished
// I420 picture: size dispatch, decompression, defect correction, colour
// reconstruction, copy to the client's buffer, luma/hue/saturation tables
// and the still marker.
#pragma once

#include "../core/camera_context.h"

// Frame sizes by the client buffer length of the four I420 formats.
constexpr ULONG I420_BYTES_160x120 = 28800;
constexpr ULONG I420_BYTES_176x144 = 38016;
constexpr ULONG I420_BYTES_320x240 = 115200;
constexpr ULONG I420_BYTES_352x288 = 152064;

// Chooses the pipeline by FrameLength, decodes the compacted frame at the
// start of RawFrameBuffer (SavedFrameLength bytes long) into FrameBuffer and
// post-processes FrameBuffer, also when decoding failed. *BytesReturned is
// the number of picture bytes delivered: FrameLength, or 0 for a frame that
// failed to decode or a length that is none of the four formats (which
// touches nothing).
void DispatchFrameBySize(CameraContext* Context, FrameContext* Frame, PUCHAR FrameBuffer,
                         ULONG FrameLength, PUCHAR RawFrameBuffer, PULONG BytesReturned);

// The two decode pipelines. They return the bytes delivered (FrameLength) or
// 0 after clearing Frame->FrameIntact when the frame fails to decode.
ULONG DecodeLargeFrame(CameraContext* Context, FrameContext* Frame, PUCHAR FrameBuffer,
                       ULONG FrameLength, ULONG Width, ULONG Height, ULONG CompactedLength,
                       PUCHAR RawFrameBuffer);
ULONG DecodeSmallFrame(CameraContext* Context, FrameContext* Frame, PUCHAR FrameBuffer,
                       ULONG FrameLength, ULONG Width, ULONG Height, ULONG CompactedLength,
                       PUCHAR RawFrameBuffer);

// Replaces each of Count bytes b by Table[b], in place; nothing when either
// pointer is null.
void ApplyByteTable(PUCHAR Bytes, ULONG Count, const UCHAR* Table);

// For every chroma pair (U, V) of the two planes, in plane order, stores
// TableU[U * 256 + V] as the new U and TableV[U * 256 + V] as the new V.
void ApplyHueTables(PUCHAR UPlane, PUCHAR VPlane, const UCHAR* TableU, const UCHAR* TableV,
                    ULONG HalfWidth, ULONG HalfHeight);

// Luma table (unless brightness, contrast and gamma are all neutral), hue
// tables (always), saturation table (unless saturation is neutral).
void PostProcessPicture(CameraContext* Context, PUCHAR FrameBuffer, ULONG Width, ULONG Height);

// Sets the least significant bit of the last Y byte when the still latch is
// raised (clearing the latch), clears it otherwise. Only for I420 and only
// when the Y plane fits in FrameLength.
void MarkStillFrame(CameraContext* Context, PUCHAR FrameBuffer, ULONG FrameLength);
