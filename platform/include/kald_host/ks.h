// Kernel-streaming format records as a video stream's open format carries
// them: the generic data-format header, the bitmap header and the video-info
// header, with the platform's names, field order and sizes.
#pragma once

#include "ntdef.h"

typedef uint32_t DWORD;
typedef uint16_t WORD;

// 100-ns units.
typedef LONGLONG REFERENCE_TIME;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT;

// The header every data format starts with; FormatSize counts the whole
// format, the header included.
typedef union {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT;

typedef struct tagKS_BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression; // FourCC of the picture's coding
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

typedef struct tagKS_VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame; // frame interval, 100-ns units
    KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;

#ifdef __cplusplus
static_assert(sizeof(GUID) == 16, "a GUID is 16 bytes");
static_assert(sizeof(KSDATAFORMAT) == 64, "the data-format header is 64 bytes");
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "the bitmap header is 40 bytes");
static_assert(offsetof(KS_VIDEOINFOHEADER, AvgTimePerFrame) == 40,
              "the frame interval follows the rectangles and rates");
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48, "48 bytes precede the bitmap header");
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "the video-info header is 88 bytes");
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "the video format is 152 bytes");
#endif
