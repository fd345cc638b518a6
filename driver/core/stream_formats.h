// The one stream the device offers: a video-capture output pin delivering
// planar I420 at four fixed sizes. The stream description, its data ranges
// and its stream-level property sets are constant and shared read-only.
#pragma once

#include "kaldrin_platform.h"

// Planar YUV 4:2:0 ({30323449-0000-0010-8000-00AA00389B71}): the FourCC
// "I420" as the first field of the platform's media-subtype GUID pattern.
#define STATIC_KALDRIN_SUBTYPE_I420                                                                \
    0x30323449L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71

constexpr ULONG VIDEO_STREAM_COUNT = 1;
constexpr ULONG VIDEO_FORMAT_COUNT = 4;
constexpr ULONG VIDEO_STREAM_PROPERTY_SET_COUNT = 2;

// The ranges in the order format checks and intersections walk them:
// 320x240, 160x120, 176x144, 352x288.
extern const KS_DATARANGE_VIDEO VideoFormatRanges[VIDEO_FORMAT_COUNT];

// The same ranges as the stream description hands them out.
extern const PKSDATAFORMAT VideoStreamFormats[VIDEO_FORMAT_COUNT];

// Allocator framing (KSPROPSETID_Connection) and current dropped frames
// (PROPSETID_VIDCAP_DROPPEDFRAMES): advertised, answered by the library.
extern const KSPROPERTY_SET VideoStreamPropertySets[VIDEO_STREAM_PROPERTY_SET_COUNT];

// The standard medium; the description names it but counts no mediums.
extern const KSPIN_MEDIUM VideoStreamMedium;

// Copied into the reply to every SRB_GET_STREAM_INFO.
extern const HW_STREAM_INFORMATION VideoStreamInformation;
