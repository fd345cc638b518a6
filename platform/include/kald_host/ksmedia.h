// Kernel-streaming video records with the platform's names and sizes: the
// video data range with its configuration capabilities, the video
// processing-amplifier and dropped-frame property layouts, and the
// identifiers of video formats, pins and property sets.
#pragma once

#include "ks.h"

#define STATIC_KSDATAFORMAT_TYPE_VIDEO \
    0x73646976L, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71
#define STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO \
    0x05589F80L, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A
#define STATIC_PINNAME_VIDEO_CAPTURE \
    0xFB6C4281L, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA
#define STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP \
    0xC6E13360L, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
#define STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES \
    0xC6E13344L, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
// Device-interface class of the kernel-streaming video filters.
#define STATIC_KSCATEGORY_VIDEO \
    0x6994AD05L, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96

// What a video stream can be asked to do: sizes, cropping and scaling steps,
// frame intervals (100-ns units) and bit rates.
typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

// One video format a pin offers; FormatSize covers the whole record.
typedef struct tagKS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    WINBOOL bFixedSizeSamples;
    WINBOOL bTemporalCompression;
    DWORD StreamDescriptionFlags;
    DWORD MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;

#define KS_VIDEOSTREAM_PREVIEW 0x0001
#define KS_VIDEOSTREAM_CAPTURE 0x0002

typedef enum {
    KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
    KSPROPERTY_VIDEOPROCAMP_CONTRAST,
    KSPROPERTY_VIDEOPROCAMP_HUE,
    KSPROPERTY_VIDEOPROCAMP_SATURATION,
    KSPROPERTY_VIDEOPROCAMP_SHARPNESS,
    KSPROPERTY_VIDEOPROCAMP_GAMMA,
    KSPROPERTY_VIDEOPROCAMP_COLORENABLE,
    KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE,
    KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION,
    KSPROPERTY_VIDEOPROCAMP_GAIN
} KSPROPERTY_VIDCAP_VIDEOPROCAMP;

typedef struct {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
} KSPROPERTY_VIDEOPROCAMP_S, *PKSPROPERTY_VIDEOPROCAMP_S;

#define KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO 0x0001L
#define KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL 0x0002L

typedef enum {
    KSPROPERTY_DROPPEDFRAMES_CURRENT
} KSPROPERTY_VIDCAP_DROPPEDFRAMES;

typedef struct {
    KSPROPERTY Property;
    LONGLONG PictureNumber;
    LONGLONG DropCount;
    ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;

// The variant type of a LONG property value.
#ifndef VT_I4
#define VT_I4 3
#endif

#ifdef __cplusplus
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "the configuration caps are 128 bytes");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "the video data range is 296 bytes");
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40, "the procamp record is 40 bytes");
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48, "the dropped-frames record is 48 bytes");
#endif
