// The driver's front door: the entry routine, the device request routine,
// the hooks placed on the video stream, and the two format routines that
// decide which video formats a client may open.
#pragma once

#include "kaldrin_platform.h"

// Non-paged pool that must be obtainable before a device is initialised,
// from "Safeguard Memory Size"; driver-wide, written only at entry.
extern ULONG SafeguardMemorySize;
constexpr ULONG DEFAULT_SAFEGUARD_MEMORY_SIZE = 0x80000; // 512 KiB

// Stream command 14, which the driver answers as a stream-rate query it does
// not implement (the stream class headers name the value SRB_GET_DATA_FORMAT).
constexpr SRB_COMMAND SRB_GET_STREAM_RATE = static_cast<SRB_COMMAND>(14);

// Largest bitmap header an open, proposed or set format may declare: the
// open copy is biSize + 152 bytes of pool. Far above any real header (40
// bytes, 124 with every extension, 1,064 with a full palette).
constexpr ULONG MAX_FORMAT_BITMAP_HEADER_BYTES = 0x10000;

// Reads "Safeguard Memory Size" (0x80000 when it is missing or unreadable)
// and registers the driver with the camera library; returns the library's
// status.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Every device request arrives here. The driver answers the stream
// description, the open format check, the device properties, the safeguard
// probe and data intersections; the rest goes to the library unchanged.
VOID CamReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb);

// Stream hooks: the library offers each stream request to them first.
// *Completed is raised when the hook completed the request itself. The data
// hook takes none; the control hook answers format proposals and changes
// and the stream-rate query.
VOID CamStreamDataHook(PVOID Srb, PVOID DeviceContext, PBOOLEAN Completed);
VOID CamStreamControlHook(PVOID Srb, PVOID DeviceContext, PBOOLEAN Completed);

// TRUE when Format (a KS_DATAFORMAT_VIDEOINFOHEADER) is one of the stream's
// four: same major format, subformat and specifier, same width, height and
// image size. FALSE for any stream but 0, for a null format, for one whose
// FormatSize is below 152 bytes and for one whose biSize exceeds
// MAX_FORMAT_BITMAP_HEADER_BYTES.
BOOLEAN CamVerifyFormat(PKSDATAFORMAT Format, ULONG StreamNumber);

// TRUE when the two headers name the same major format, subformat and
// specifier.
BOOLEAN CamRangeHeaderMatches(const KSDATARANGE* Left, const KSDATARANGE* Right);

// Answers SRB_GET_DATA_INTERSECTION: finds the driver's range that equals
// the client's and builds a KS_DATAFORMAT_VIDEOINFOHEADER from the client's
// range, its frame interval clamped to one second. The status also goes to
// Srb->Status:
//   STATUS_SUCCESS           format built; ActualBytesTransferred its size
//   STATUS_BUFFER_OVERFLOW   size query (buffer size 0); ActualBytesTransferred
//                            the size needed
//   STATUS_BUFFER_TOO_SMALL  the buffer cannot hold the format
//   STATUS_NO_MATCH          no range matches, another stream, or a client
//                            range that is not a 296-byte range with a
//                            40-byte bitmap header
//   STATUS_INVALID_PARAMETER no intersection record or client range, or no
//                            buffer behind a non-zero size
NTSTATUS CamGetDataIntersection(PHW_STREAM_REQUEST_BLOCK Srb);
