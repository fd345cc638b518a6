#include "stream_formats.h"

#include "camera_context.h"

// A GUID initializer with its braces spelled out, from the eleven numbers of
// a STATIC_ macro.
// clang-format off
#define KALDRIN_GUID_FIELDS(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
    {static_cast<ULONG>(d1), d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}}
#define KALDRIN_GUID(fields) KALDRIN_GUID_FIELDS(fields)
// clang-format on

namespace {

// 100-ns units in one second: the longest frame interval a range allows.
constexpr LONGLONG ONE_SECOND_INTERVAL = 10000000;

// Bits per pixel of I420: a full-size Y plane, quarter-size U and V planes.
constexpr LONG I420_BITS_PER_PIXEL = 12;

const GUID PinVideoCaptureGuid = KALDRIN_GUID(STATIC_PINNAME_VIDEO_CAPTURE);
const GUID ConnectionPropertySetGuid = KALDRIN_GUID(STATIC_KSPROPSETID_Connection);
const GUID DroppedFramesPropertySetGuid = KALDRIN_GUID(STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES);

// One I420 range of Width x Height, offered from one frame per second up to
// FastestRate frames per second. Static storage keeps the four padding
// bytes of ConfigCaps (after ShrinkTapsY) zero, which intersection compares.
constexpr KS_DATARANGE_VIDEO I420Range(LONG Width, LONG Height, LONG FastestRate)
{
    const LONG bitsPerFrame = Width * Height * I420_BITS_PER_PIXEL;
    const ULONG imageBytes = static_cast<ULONG>(bitsPerFrame / 8);
    const LONGLONG fastestInterval = ONE_SECOND_INTERVAL / FastestRate; // 666,666 or 333,333
    const SIZE size = {Width, Height};
    return KS_DATARANGE_VIDEO{
        {{
            sizeof(KS_DATARANGE_VIDEO), // FormatSize: 296
            0,                          // Flags
            imageBytes,                 // SampleSize
            0,                          // Reserved
            KALDRIN_GUID(STATIC_KSDATAFORMAT_TYPE_VIDEO),
            KALDRIN_GUID(STATIC_KALDRIN_SUBTYPE_I420),
            KALDRIN_GUID(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO),
        }},
        TRUE,                   // bFixedSizeSamples
        TRUE,                   // bTemporalCompression: advertised so, and compared by intersection
        KS_VIDEOSTREAM_CAPTURE, // StreamDescriptionFlags
        0,                      // MemoryAllocationFlags
        {
            KALDRIN_GUID(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO), // guid
            0,                                                     // VideoStandard: none
            size,                                                  // InputSize
            size,                                                  // MinCroppingSize
            size,                                                  // MaxCroppingSize
            1,                                                     // CropGranularityX
            1,                                                     // CropGranularityY
            1,                                                     // CropAlignX
            1,                                                     // CropAlignY
            size,                                                  // MinOutputSize
            size,                                                  // MaxOutputSize
            1,                                                     // OutputGranularityX
            1,                                                     // OutputGranularityY
            0,                                                     // StretchTapsX
            0,                                                     // StretchTapsY
            0,                                                     // ShrinkTapsX
            0,                                                     // ShrinkTapsY
            fastestInterval,                                       // MinFrameInterval
            ONE_SECOND_INTERVAL,                                   // MaxFrameInterval
            bitsPerFrame,               // MinBitsPerSecond: one frame per second
            bitsPerFrame * FastestRate, // MaxBitsPerSecond
        },
        {
            {0, 0, 0, 0},                                   // rcSource
            {0, 0, 0, 0},                                   // rcTarget
            static_cast<DWORD>(bitsPerFrame * FastestRate), // dwBitRate: at the fastest rate
            0,                                              // dwBitErrorRate
            fastestInterval,                                // AvgTimePerFrame
            {
                sizeof(KS_BITMAPINFOHEADER), // biSize: 40
                Width,                       // biWidth
                Height,                      // biHeight: positive
                1,                           // biPlanes
                I420_BITS_PER_PIXEL,         // biBitCount
                FOURCC_I420,                 // biCompression
                imageBytes,                  // biSizeImage
                0,                           // biXPelsPerMeter
                0,                           // biYPelsPerMeter
                0,                           // biClrUsed
                0,                           // biClrImportant
            },
        },
    };
}

const KSPROPERTY_ITEM ConnectionProperties[] = {
    {
        KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
        {.GetSupported = TRUE},
        sizeof(KSPROPERTY),          // MinProperty: 24
        sizeof(KSALLOCATOR_FRAMING), // MinData: 24
        {.SetSupported = FALSE},
        nullptr,       // Values
        0,             // RelationsCount
        nullptr,       // Relations
        nullptr,       // SupportHandler
        sizeof(ULONG), // SerializedSize: 4
    },
};

const KSPROPERTY_ITEM DroppedFramesProperties[] = {
    {
        KSPROPERTY_DROPPEDFRAMES_CURRENT,
        {.GetSupported = TRUE},
        sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), // MinProperty: 48
        sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), // MinData: 48
        {.SetSupported = FALSE},
        nullptr, // Values
        0,       // RelationsCount
        nullptr, // Relations
        nullptr, // SupportHandler
        0,       // SerializedSize
    },
};

} // namespace

constexpr KS_DATARANGE_VIDEO VideoFormatRanges[VIDEO_FORMAT_COUNT] = {
    I420Range(320, 240, 15), // 115,200 bytes, 921,600..13,824,000 bits/s
    I420Range(160, 120, 30), // 28,800 bytes, 230,400..6,912,000 bits/s
    I420Range(176, 144, 30), // 38,016 bytes, 304,128..9,123,840 bits/s
    I420Range(352, 288, 15), // 152,064 bytes, 1,216,512..18,247,680 bits/s
};

// The stream class reads these through non-const pointers; it never writes.
const PKSDATAFORMAT VideoStreamFormats[VIDEO_FORMAT_COUNT] = {
    const_cast<PKSDATAFORMAT>(&VideoFormatRanges[0].DataRange),
    const_cast<PKSDATAFORMAT>(&VideoFormatRanges[1].DataRange),
    const_cast<PKSDATAFORMAT>(&VideoFormatRanges[2].DataRange),
    const_cast<PKSDATAFORMAT>(&VideoFormatRanges[3].DataRange),
};

const KSPROPERTY_SET VideoStreamPropertySets[VIDEO_STREAM_PROPERTY_SET_COUNT] = {
    {&ConnectionPropertySetGuid, 1, ConnectionProperties, 0, nullptr},
    {&DroppedFramesPropertySetGuid, 1, DroppedFramesProperties, 0, nullptr},
};

const KSPIN_MEDIUM VideoStreamMedium = {{{KALDRIN_GUID(STATIC_KSMEDIUMSETID_Standard), 0, 0}}};

const HW_STREAM_INFORMATION VideoStreamInformation = {
    1,                                                    // NumberOfPossibleInstances
    KSPIN_DATAFLOW_OUT,                                   // DataFlow
    TRUE,                                                 // DataAccessible
    VIDEO_FORMAT_COUNT,                                   // NumberOfFormatArrayEntries
    const_cast<PKSDATAFORMAT*>(VideoStreamFormats),       // StreamFormatsArray
    {nullptr, nullptr, nullptr, nullptr},                 // ClassReserved
    VIDEO_STREAM_PROPERTY_SET_COUNT,                      // NumStreamPropArrayEntries
    const_cast<PKSPROPERTY_SET>(VideoStreamPropertySets), // StreamPropertiesArray
    0,                                                    // NumStreamEventArrayEntries
    nullptr,                                              // StreamEventsArray
    const_cast<GUID*>(&PinVideoCaptureGuid),              // Category
    const_cast<GUID*>(&PinVideoCaptureGuid),              // Name
    0,                  // MediumsCount: the medium is named, not counted
    &VideoStreamMedium, // Mediums
    FALSE,              // BridgeStream
    {0, 0},             // Reserved
};
