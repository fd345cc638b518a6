// The driver's front door: the stream description and its four ranges,
// format verification, data intersection, and the request routine with its
// stream hooks, driven through the host stream class and camera library.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "controls/properties.h"
#include "core/dispatch.h"
#include "core/stream_formats.h"
#include "kald_host/host_device.h"
#include "kald_host/host_kernel.h"
#include "kald_sim/camera.h"

namespace {

// clang-format off
#define TEST_GUID_FIELDS(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
    GUID{static_cast<ULONG>(d1), d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}}
#define TEST_GUID(fields) TEST_GUID_FIELDS(fields)
// clang-format on

const GUID kVideo = TEST_GUID(STATIC_KSDATAFORMAT_TYPE_VIDEO);
const GUID kVideoInfo = TEST_GUID(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO);
const GUID kPinCapture = TEST_GUID(STATIC_PINNAME_VIDEO_CAPTURE);
// {30323449-0000-0010-8000-00AA00389B71}, written out rather than taken from
// the driver's macro.
const GUID kI420 = {0x30323449, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
// YUY2, a format the camera does not offer.
const GUID kYuy2 = {0x32595559, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

bool Same(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

using VideoFormat = KS_DATAFORMAT_VIDEOINFOHEADER;

// The advertised values of each range, in table order.
struct RangeValues {
    LONG Width, Height;
    ULONG ImageBytes;      // SampleSize and biSizeImage: W * H * 12 / 8
    LONGLONG MinInterval;  // fastest rate
    LONG MinBits, MaxBits; // per second at 1 frame/s and at the fastest rate
};
const RangeValues kRanges[] = {
    {320, 240, 115200, 666666, 921600, 13824000},
    {160, 120, 28800, 333333, 230400, 6912000},
    {176, 144, 38016, 333333, 304128, 9123840},
    {352, 288, 152064, 666666, 1216512, 18247680},
};

// A client range equal to the driver's range `index`, as a client builds it
// from the stream's formats.
KS_DATARANGE_VIDEO ClientRange(size_t index)
{
    KS_DATARANGE_VIDEO range;
    std::memcpy(&range, &VideoFormatRanges[index], sizeof range);
    return range;
}

// A standard open format for width x height I420.
KS_DATAFORMAT_VIDEOINFOHEADER OpenFormat(LONG width, LONG height, ULONG imageBytes)
{
    KS_DATAFORMAT_VIDEOINFOHEADER f;
    std::memset(&f, 0, sizeof f);
    f.DataFormat.FormatSize = sizeof f;
    f.DataFormat.SampleSize = imageBytes;
    f.DataFormat.MajorFormat = kVideo;
    f.DataFormat.SubFormat = kI420;
    f.DataFormat.Specifier = kVideoInfo;
    f.VideoInfoHeader.AvgTimePerFrame = 666666;
    f.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    f.VideoInfoHeader.bmiHeader.biWidth = width;
    f.VideoInfoHeader.bmiHeader.biHeight = height;
    f.VideoInfoHeader.bmiHeader.biPlanes = 1;
    f.VideoInfoHeader.bmiHeader.biBitCount = 12;
    f.VideoInfoHeader.bmiHeader.biCompression = 0x30323449;
    f.VideoInfoHeader.bmiHeader.biSizeImage = imageBytes;
    return f;
}

// ---------------------------------------------------------------------------
// The stream description and its ranges.

TEST(StreamFormats, EveryRangeAdvertisesItsSizeRatesAndI420Layout)
{
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const RangeValues& want = kRanges[i];
        const KS_DATARANGE_VIDEO& r = VideoFormatRanges[i];
        EXPECT_EQ(r.DataRange.FormatSize, 296u);
        EXPECT_EQ(r.DataRange.Flags, 0u);
        EXPECT_EQ(r.DataRange.SampleSize, want.ImageBytes);
        EXPECT_EQ(r.DataRange.Reserved, 0u);
        EXPECT_TRUE(Same(r.DataRange.MajorFormat, kVideo));
        EXPECT_TRUE(Same(r.DataRange.SubFormat, kI420));
        EXPECT_TRUE(Same(r.DataRange.Specifier, kVideoInfo));
        EXPECT_EQ(r.bFixedSizeSamples, 1);
        EXPECT_EQ(r.bTemporalCompression, 1);
        EXPECT_EQ(r.StreamDescriptionFlags, 2u);
        EXPECT_EQ(r.MemoryAllocationFlags, 0u);

        const KS_VIDEO_STREAM_CONFIG_CAPS& caps = r.ConfigCaps;
        EXPECT_TRUE(Same(caps.guid, kVideoInfo));
        EXPECT_EQ(caps.VideoStandard, 0u);
        for (const SIZE& s : {caps.InputSize, caps.MinCroppingSize, caps.MaxCroppingSize,
                              caps.MinOutputSize, caps.MaxOutputSize}) {
            EXPECT_EQ(s.cx, want.Width);
            EXPECT_EQ(s.cy, want.Height);
        }
        for (int g : {caps.CropGranularityX, caps.CropGranularityY, caps.CropAlignX,
                      caps.CropAlignY, caps.OutputGranularityX, caps.OutputGranularityY}) {
            EXPECT_EQ(g, 1);
        }
        for (int t : {caps.StretchTapsX, caps.StretchTapsY, caps.ShrinkTapsX, caps.ShrinkTapsY}) {
            EXPECT_EQ(t, 0);
        }
        EXPECT_EQ(caps.MinFrameInterval, want.MinInterval);
        EXPECT_EQ(caps.MaxFrameInterval, 10000000);
        EXPECT_EQ(caps.MinBitsPerSecond, want.MinBits);
        EXPECT_EQ(caps.MaxBitsPerSecond, want.MaxBits);

        // Intersection compares ConfigCaps bytewise: the padding before
        // MinFrameInterval must be zero for a copied range to match.
        const auto* capsBytes = reinterpret_cast<const unsigned char*>(&caps);
        for (size_t b = offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, ShrinkTapsY) + sizeof(int);
             b < offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval); ++b) {
            EXPECT_EQ(capsBytes[b], 0) << "padding byte " << b;
        }

        const KS_VIDEOINFOHEADER& vih = r.VideoInfoHeader;
        const RECT zero{};
        EXPECT_EQ(std::memcmp(&vih.rcSource, &zero, sizeof zero), 0);
        EXPECT_EQ(std::memcmp(&vih.rcTarget, &zero, sizeof zero), 0);
        EXPECT_EQ(vih.dwBitRate, static_cast<DWORD>(want.MaxBits));
        EXPECT_EQ(vih.dwBitErrorRate, 0u);
        EXPECT_EQ(vih.AvgTimePerFrame, want.MinInterval);
        const KS_BITMAPINFOHEADER& bmi = vih.bmiHeader;
        EXPECT_EQ(bmi.biSize, 40u);
        EXPECT_EQ(bmi.biWidth, want.Width);
        EXPECT_EQ(bmi.biHeight, want.Height);
        EXPECT_EQ(bmi.biPlanes, 1);
        EXPECT_EQ(bmi.biBitCount, 12);
        EXPECT_EQ(bmi.biCompression, 0x30323449u);
        EXPECT_EQ(bmi.biSizeImage, want.ImageBytes);
        EXPECT_EQ(bmi.biXPelsPerMeter, 0);
        EXPECT_EQ(bmi.biYPelsPerMeter, 0);
        EXPECT_EQ(bmi.biClrUsed, 0u);
        EXPECT_EQ(bmi.biClrImportant, 0u);
    }
}

TEST(StreamFormats, DescriptionNamesOneCaptureOutputWithFourFormatsAndTwoGetOnlySets)
{
    const HW_STREAM_INFORMATION& info = VideoStreamInformation;
    EXPECT_EQ(info.NumberOfPossibleInstances, 1u);
    EXPECT_EQ(info.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(info.DataAccessible, TRUE);
    ASSERT_EQ(info.NumberOfFormatArrayEntries, 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(info.StreamFormatsArray[i],
                  reinterpret_cast<const KSDATAFORMAT*>(&VideoFormatRanges[i]));
    }
    EXPECT_EQ(info.NumStreamEventArrayEntries, 0u);
    EXPECT_EQ(info.StreamEventsArray, nullptr);
    ASSERT_NE(info.Category, nullptr);
    ASSERT_NE(info.Name, nullptr);
    EXPECT_TRUE(Same(*info.Category, kPinCapture));
    EXPECT_TRUE(Same(*info.Name, kPinCapture));
    EXPECT_EQ(info.MediumsCount, 0u);
    ASSERT_NE(info.Mediums, nullptr);
    EXPECT_TRUE(Same(info.Mediums->Set, TEST_GUID(STATIC_KSMEDIUMSETID_Standard)));
    EXPECT_EQ(info.Mediums->Id, 0u);
    EXPECT_EQ(info.Mediums->Flags, 0u);
    EXPECT_EQ(info.BridgeStream, FALSE);

    struct SetValues {
        GUID Set;
        ULONG Id, MinProperty, MinData, SerializedSize;
    };
    const SetValues sets[] = {
        {TEST_GUID(STATIC_KSPROPSETID_Connection), 3, 24, 24, 4},
        {TEST_GUID(STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES), 0, 48, 48, 0},
    };
    ASSERT_EQ(info.NumStreamPropArrayEntries, 2u);
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const KSPROPERTY_SET& set = info.StreamPropertiesArray[i];
        EXPECT_TRUE(Same(*set.Set, sets[i].Set));
        ASSERT_EQ(set.PropertiesCount, 1u);
        EXPECT_EQ(set.FastIoCount, 0u);
        const KSPROPERTY_ITEM& item = set.PropertyItem[0];
        EXPECT_EQ(item.PropertyId, sets[i].Id);
        EXPECT_EQ(item.GetSupported, TRUE);
        EXPECT_EQ(item.SetPropertyHandler, nullptr);
        EXPECT_EQ(item.MinProperty, sets[i].MinProperty);
        EXPECT_EQ(item.MinData, sets[i].MinData);
        EXPECT_EQ(item.Values, nullptr);
        EXPECT_EQ(item.RelationsCount, 0u);
        EXPECT_EQ(item.SupportHandler, nullptr);
        EXPECT_EQ(item.SerializedSize, sets[i].SerializedSize);
    }
}

// ---------------------------------------------------------------------------
// Format verification.

TEST(VerifyFormat, AcceptsTheFourSizesWhateverTheRateSizeOrCoding)
{
    for (const RangeValues& r : kRanges) {
        SCOPED_TRACE(r.Width);
        KS_DATAFORMAT_VIDEOINFOHEADER f = OpenFormat(r.Width, r.Height, r.ImageBytes);
        EXPECT_TRUE(CamVerifyFormat(&f.DataFormat, 0));
        // Not compared: FormatSize (above the minimum), interval, bit rate,
        // bit count, compression, sample size.
        f.DataFormat.FormatSize = 4096;
        f.DataFormat.SampleSize = 1;
        f.VideoInfoHeader.AvgTimePerFrame = 20000000;
        f.VideoInfoHeader.dwBitRate = 5;
        f.VideoInfoHeader.bmiHeader.biBitCount = 24;
        f.VideoInfoHeader.bmiHeader.biCompression = 0;
        EXPECT_TRUE(CamVerifyFormat(&f.DataFormat, 0));
    }
}

TEST(VerifyFormat, RejectsWhatIsNotOneOfTheFour)
{
    struct Case {
        const char* Name;
        void (*Change)(VideoFormat&);
    };
    const Case cases[] = {
        {"640x480",
         [](VideoFormat& f) {
             f.VideoInfoHeader.bmiHeader.biWidth = 640;
             f.VideoInfoHeader.bmiHeader.biHeight = 480;
             f.VideoInfoHeader.bmiHeader.biSizeImage = 460800;
         }},
        {"width of another size",
         [](VideoFormat& f) { f.VideoInfoHeader.bmiHeader.biWidth = 352; }},
        {"bottom-up rows", [](VideoFormat& f) { f.VideoInfoHeader.bmiHeader.biHeight = -240; }},
        {"image size 0", [](VideoFormat& f) { f.VideoInfoHeader.bmiHeader.biSizeImage = 0; }},
        {"another subformat", [](VideoFormat& f) { f.DataFormat.SubFormat = kYuy2; }},
        {"another major format", [](VideoFormat& f) { f.DataFormat.MajorFormat = kVideoInfo; }},
        {"another specifier", [](VideoFormat& f) { f.DataFormat.Specifier = kVideo; }},
        // Shorter than one video format: the header cannot be read.
        {"FormatSize 151", [](VideoFormat& f) { f.DataFormat.FormatSize = 151; }},
        {"FormatSize 64", [](VideoFormat& f) { f.DataFormat.FormatSize = 64; }},
        // A bitmap header whose size would make the open copy huge.
        {"biSize 0x10001", [](VideoFormat& f) { f.VideoInfoHeader.bmiHeader.biSize = 0x10001; }},
        {"biSize 0xFFFFFFFF",
         [](VideoFormat& f) { f.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFFF; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        KS_DATAFORMAT_VIDEOINFOHEADER f = OpenFormat(320, 240, 115200);
        c.Change(f);
        EXPECT_FALSE(CamVerifyFormat(&f.DataFormat, 0));
    }

    KS_DATAFORMAT_VIDEOINFOHEADER good = OpenFormat(320, 240, 115200);
    EXPECT_FALSE(CamVerifyFormat(&good.DataFormat, 1)) << "only stream 0 exists";
    EXPECT_FALSE(CamVerifyFormat(nullptr, 0));
    good.VideoInfoHeader.bmiHeader.biSize = 0x10000;
    EXPECT_TRUE(CamVerifyFormat(&good.DataFormat, 0)) << "the largest bitmap header allowed";
}

TEST(VerifyFormat, ReadsNoFurtherThanAShortFormatSays)
{
    // A 64-byte header at the very end of its allocation: a verifier that
    // looked at the video-info header would read past it.
    std::vector<unsigned char> buffer(sizeof(KSDATAFORMAT));
    KS_DATAFORMAT_VIDEOINFOHEADER f = OpenFormat(320, 240, 115200);
    f.DataFormat.FormatSize = sizeof(KSDATAFORMAT);
    std::memcpy(buffer.data(), &f, buffer.size());
    EXPECT_FALSE(CamVerifyFormat(reinterpret_cast<PKSDATAFORMAT>(buffer.data()), 0));
}

// ---------------------------------------------------------------------------
// Data intersection.

// An intersection request with an output buffer that carries a guard after
// the bytes offered.
class IntersectionTest : public ::testing::Test {
  protected:
    static constexpr unsigned char kFill = 0xEE;

    NTSTATUS Intersect(KS_DATARANGE_VIDEO& client, ULONG offered, ULONG stream = 0)
    {
        output.assign(offered + 16, kFill);
        info = {};
        info.StreamNumber = stream;
        info.DataRange = &client.DataRange;
        info.DataFormatBuffer = output.data();
        info.SizeOfDataFormatBuffer = offered;
        srb = {};
        srb.Command = SRB_GET_DATA_INTERSECTION;
        srb.Status = STATUS_PENDING;
        srb.ActualBytesTransferred = 0xDEAD;
        srb.CommandData.IntersectInfo = &info;
        const NTSTATUS status = CamGetDataIntersection(&srb);
        EXPECT_EQ(srb.Status, status) << "the result also goes to the request";
        return status;
    }

    const KS_DATAFORMAT_VIDEOINFOHEADER& Built() const
    {
        return *reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(output.data());
    }
    bool OutputUntouched() const
    {
        for (unsigned char b : output) {
            if (b != kFill) {
                return false;
            }
        }
        return true;
    }

    std::vector<unsigned char> output;
    STREAM_DATA_INTERSECT_INFO info{};
    HW_STREAM_REQUEST_BLOCK srb{};
};

TEST_F(IntersectionTest, SizeQueryReports152BytesForEveryRange)
{
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        KS_DATARANGE_VIDEO client = ClientRange(i);
        EXPECT_EQ(Intersect(client, 0), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(srb.ActualBytesTransferred, 152u);
        EXPECT_TRUE(OutputUntouched());
    }
    // No buffer at all is a size query too.
    KS_DATARANGE_VIDEO client = ClientRange(0);
    Intersect(client, 0);
    info.DataFormatBuffer = nullptr;
    EXPECT_EQ(CamGetDataIntersection(&srb), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(srb.ActualBytesTransferred, 152u);
}

TEST_F(IntersectionTest, BuildsTheClientsFormatWithTheDibImageSize)
{
    const struct {
        size_t Index;
        LONG Width, Height;
        ULONG ImageBytes;
    } cases[] = {
        {0, 320, 240, 115200},
        {1, 160, 120, 28800},
        {2, 176, 144, 38016},
        {3, 352, 288, 152064},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Width);
        KS_DATARANGE_VIDEO client = ClientRange(c.Index);
        // Fields the driver does not compare, so that the copy shows.
        client.DataRange.SampleSize = 7;
        client.DataRange.Flags = 0x10;
        client.VideoInfoHeader.rcSource = {1, 2, 3, 4};
        client.VideoInfoHeader.dwBitRate = 4321;
        client.VideoInfoHeader.AvgTimePerFrame = 500000;
        client.VideoInfoHeader.bmiHeader.biSizeImage = 0;
        client.VideoInfoHeader.bmiHeader.biClrUsed = 9;

        ASSERT_EQ(Intersect(client, 152), STATUS_SUCCESS);
        EXPECT_EQ(srb.ActualBytesTransferred, 152u);
        const KS_DATAFORMAT_VIDEOINFOHEADER& f = Built();
        EXPECT_EQ(f.DataFormat.FormatSize, 152u);
        EXPECT_EQ(f.DataFormat.SampleSize, c.ImageBytes);
        EXPECT_EQ(f.DataFormat.Flags, 0x10u);
        EXPECT_TRUE(Same(f.DataFormat.SubFormat, kI420));
        EXPECT_EQ(f.VideoInfoHeader.rcSource.right, 3);
        EXPECT_EQ(f.VideoInfoHeader.dwBitRate, 4321u);
        EXPECT_EQ(f.VideoInfoHeader.AvgTimePerFrame, 500000);
        EXPECT_EQ(f.VideoInfoHeader.bmiHeader.biSize, 40u);
        EXPECT_EQ(f.VideoInfoHeader.bmiHeader.biWidth, c.Width);
        EXPECT_EQ(f.VideoInfoHeader.bmiHeader.biHeight, c.Height);
        EXPECT_EQ(f.VideoInfoHeader.bmiHeader.biBitCount, 12);
        EXPECT_EQ(f.VideoInfoHeader.bmiHeader.biSizeImage, c.ImageBytes);
        EXPECT_EQ(f.VideoInfoHeader.bmiHeader.biClrUsed, 9u);
        for (size_t b = 152; b < output.size(); ++b) {
            ASSERT_EQ(output[b], kFill) << "wrote past the format at " << b;
        }
    }
}

TEST_F(IntersectionTest, FrameIntervalAboveOneSecondIsClampedWithItsBitRate)
{
    const struct {
        LONGLONG Asked, Given;
        DWORD BitRate; // for a client rate of 777
    } cases[] = {
        {20000000, 10000000, 230400}, // 0.5 frames/s: raised to 1 frame/s at 160x120's bits
        {10000001, 10000000, 230400}, {10000000, 10000000, 777}, // exactly the maximum stays
        {400000, 400000, 777},                                   // 25 frames/s
        {100000, 100000, 777}, // faster than the range offers: left to the client
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Asked);
        KS_DATARANGE_VIDEO client = ClientRange(1);
        client.VideoInfoHeader.AvgTimePerFrame = c.Asked;
        client.VideoInfoHeader.dwBitRate = 777;
        ASSERT_EQ(Intersect(client, 152), STATUS_SUCCESS);
        EXPECT_EQ(Built().VideoInfoHeader.AvgTimePerFrame, c.Given);
        EXPECT_EQ(Built().VideoInfoHeader.dwBitRate, c.BitRate);
        // The clamp is made on the client's range itself.
        EXPECT_EQ(client.VideoInfoHeader.AvgTimePerFrame, c.Given);
    }
}

TEST_F(IntersectionTest, AnyDifferenceInTheComparedFieldsGivesNoMatch)
{
    struct Case {
        const char* Name;
        void (*Change)(KS_DATARANGE_VIDEO&);
    };
    const Case cases[] = {
        {"FormatSize 297", [](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize = 297; }},
        {"FormatSize 152", [](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize = 152; }},
        {"major format", [](KS_DATARANGE_VIDEO& r) { r.DataRange.MajorFormat = kVideoInfo; }},
        {"subformat", [](KS_DATARANGE_VIDEO& r) { r.DataRange.SubFormat = kYuy2; }},
        {"specifier", [](KS_DATARANGE_VIDEO& r) { r.DataRange.Specifier = kVideo; }},
        {"fixed-size samples", [](KS_DATARANGE_VIDEO& r) { r.bFixedSizeSamples = FALSE; }},
        {"temporal compression", [](KS_DATARANGE_VIDEO& r) { r.bTemporalCompression = FALSE; }},
        {"preview stream", [](KS_DATARANGE_VIDEO& r) { r.StreamDescriptionFlags = 1; }},
        {"allocation flags", [](KS_DATARANGE_VIDEO& r) { r.MemoryAllocationFlags = 1; }},
        {"minimum interval", [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.MinFrameInterval = 400000; }},
        {"width", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biWidth = 352; }},
        {"bottom-up height",
         [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biHeight = -240; }},
        // A bitmap header other than 40 bytes would be copied from beyond
        // (or read short of) the 296 bytes of the client's range.
        {"biSize 41", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 41; }},
        {"biSize 39", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 39; }},
        {"biSize 0", [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 0; }},
        {"biSize 0xFFFFFFFF",
         [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFFF; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        KS_DATARANGE_VIDEO client = ClientRange(0);
        client.VideoInfoHeader.AvgTimePerFrame = 20000000;
        c.Change(client);
        for (ULONG offered : {0u, 152u, 4096u}) {
            EXPECT_EQ(Intersect(client, offered), STATUS_NO_MATCH);
            EXPECT_EQ(srb.ActualBytesTransferred, 0xDEADu);
            EXPECT_TRUE(OutputUntouched());
            EXPECT_EQ(client.VideoInfoHeader.AvgTimePerFrame, 20000000)
                << "no clamp without a match";
        }
    }
}

TEST_F(IntersectionTest, EveryByteOfTheConfigurationCapsCounts)
{
    for (size_t b = 0; b < sizeof(KS_VIDEO_STREAM_CONFIG_CAPS); ++b) {
        KS_DATARANGE_VIDEO client = ClientRange(2);
        reinterpret_cast<unsigned char*>(&client.ConfigCaps)[b] ^= 0x01;
        ASSERT_EQ(Intersect(client, 152), STATUS_NO_MATCH) << "byte " << b;
    }
}

TEST_F(IntersectionTest, OtherStreamsHaveNoFormats)
{
    KS_DATARANGE_VIDEO client = ClientRange(0);
    EXPECT_EQ(Intersect(client, 152, 1), STATUS_NO_MATCH);
    EXPECT_TRUE(OutputUntouched());
}

TEST_F(IntersectionTest, ShortBufferIsTooSmallAndStaysUntouched)
{
    for (ULONG offered : {1u, 64u, 151u}) {
        SCOPED_TRACE(offered);
        KS_DATARANGE_VIDEO client = ClientRange(3);
        EXPECT_EQ(Intersect(client, offered), STATUS_BUFFER_TOO_SMALL);
        EXPECT_TRUE(OutputUntouched());
    }
}

TEST_F(IntersectionTest, MissingRecordsAreInvalidParameters)
{
    KS_DATARANGE_VIDEO client = ClientRange(0);
    Intersect(client, 152);

    info.DataFormatBuffer = nullptr; // a size of 152 with nothing behind it
    EXPECT_EQ(CamGetDataIntersection(&srb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(srb.Status, STATUS_INVALID_PARAMETER);
    info.DataFormatBuffer = output.data();

    info.DataRange = nullptr;
    EXPECT_EQ(CamGetDataIntersection(&srb), STATUS_INVALID_PARAMETER);

    srb.CommandData.IntersectInfo = nullptr;
    EXPECT_EQ(CamGetDataIntersection(&srb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(srb.Status, STATUS_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------
// The request routine and the stream hooks, through the host stream class
// and camera library with a simulated camera behind them.

namespace host = kald::host;

constexpr ULONG kTag = 0x206D6457; // "Wdm "
const std::wstring kDriverKey = L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8";
const std::wstring kSafeguardName = L"Safeguard Memory Size";

template <typename Routine> void (*Generic(Routine routine))()
{
    return reinterpret_cast<void (*)()>(routine);
}

class DeviceRequestTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        host::RegistryClear();
        host::ResetPool();
        host::ResetClock();
        host::ResetRequestViolations();
        kald::sim::CameraConfig config;
        config.SerialBusyStatusReads = 0;
        config.CalibrationNotReadyStatusReads = 0;
        camera = std::make_unique<kald::sim::Camera>(config);
    }
    void TearDown() override
    {
        device.reset(); // takes down whatever is still up
        driver.reset();
        host::SetPoolLimit(std::nullopt);
        host::FailPoolAllocation(0);
        EXPECT_EQ(host::RequestViolationCounts().Total(), 0u)
            << "a request was not completed exactly once, or by the wrong notification";
        EXPECT_EQ(host::PoolBytesInUse(kTag), 0u);
    }

    // Loads the driver, which reads the registry as it stands now, and puts
    // the camera on the bus.
    void Load()
    {
        device.reset();
        driver = std::make_unique<host::HostDriver>(DriverEntry);
        ASSERT_TRUE(driver->Loaded());
        device = std::make_unique<host::HostDevice>(bus, *driver, *camera);
    }
    void Start()
    {
        Load();
        ASSERT_EQ(device->Initialize(), STATUS_SUCCESS);
    }
    void StartWithStream()
    {
        Start();
        const VideoFormat f = OpenFormat(320, 240, 115200);
        ASSERT_EQ(device->OpenStream(&f, sizeof f), STATUS_SUCCESS);
    }
    CameraContext& Context() { return *static_cast<CameraContext*>(device->DeviceContext()); }

    host::HostBus bus;
    std::unique_ptr<kald::sim::Camera> camera;
    std::unique_ptr<host::HostDriver> driver;
    std::unique_ptr<host::HostDevice> device;
};

TEST_F(DeviceRequestTest, EntryReadsTheSafeguardSizeAndRegistersTheDriver)
{
    enum class Value { Dword, Missing, String };
    const struct {
        const char* Name;
        Value Kind;
        uint32_t Stored;
        ULONG Expected;
    } cases[] = {
        {"set", Value::Dword, 0x123456, 0x123456},
        {"missing after a set", Value::Missing, 0, 0x80000}, // not the previous value
        {"zero", Value::Dword, 0, 0},
        {"not a DWORD", Value::String, 0, 0x80000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        host::RegistryClear();
        if (c.Kind == Value::Dword) {
            host::RegistrySetDword(kDriverKey, kSafeguardName, c.Stored);
        } else if (c.Kind == Value::String) {
            host::RegistrySetRaw(kDriverKey, kSafeguardName, REG_SZ, {'1', 0, '6', 0, 0, 0});
        }
        Load();
        EXPECT_EQ(SafeguardMemorySize, c.Expected);
        EXPECT_EQ(driver->EntryStatus(), STATUS_SUCCESS);
        const host::MinidriverRegistration& r = driver->Registration();
        EXPECT_EQ(r.DeviceContextSize, sizeof(CameraContext));
        EXPECT_EQ(r.FrameContextSize, 8u);
        EXPECT_EQ(Generic(r.ReceivePacket), Generic(&CamReceivePacket));
    }
}

TEST_F(DeviceRequestTest, DeviceStartsOnlyWhileTheSafeguardAmountOfPoolIsFree)
{
    host::RegistrySetDword(kDriverKey, kSafeguardName, 0x200000);
    Load();

    host::SetPoolLimit(0x1FFFFF);
    EXPECT_EQ(device->Initialize(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(device->Started()) << "the request reached the library";
    EXPECT_TRUE(camera->FormattedLog().empty());
    EXPECT_EQ(host::PoolStats().failedCount, 1u);
    EXPECT_EQ(host::PoolStats().allocationCount, 0u);

    host::SetPoolLimit(0x200000);
    EXPECT_EQ(device->Initialize(), STATUS_SUCCESS);
    EXPECT_TRUE(device->Started());
    EXPECT_EQ(Context().DeviceState, ULONG(Initialized));
}

TEST_F(DeviceRequestTest, StreamInfoDescribesOneStreamAndTheFourDevicePropertySets)
{
    Start();
    HW_STREAM_DESCRIPTOR d{};
    ASSERT_EQ(device->GetStreamInfo(&d), STATUS_SUCCESS);
    EXPECT_EQ(d.StreamHeader.NumberOfStreams, 1u);
    EXPECT_EQ(d.StreamHeader.NumDevPropArrayEntries, 4u);
    EXPECT_EQ(d.StreamHeader.DevicePropertiesArray, DevicePropertySets);
    ASSERT_EQ(d.StreamInfo.NumberOfFormatArrayEntries, 4u);
    const auto* first =
        reinterpret_cast<const KS_DATARANGE_VIDEO*>(d.StreamInfo.StreamFormatsArray[0]);
    EXPECT_EQ(first->VideoInfoHeader.bmiHeader.biWidth, 320);
    EXPECT_EQ(first->VideoInfoHeader.bmiHeader.biHeight, 240);
    EXPECT_EQ(d.StreamInfo.DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(d.StreamInfo.NumStreamPropArrayEntries, 2u);
    ASSERT_NE(d.StreamInfo.Name, nullptr);
    EXPECT_TRUE(Same(*d.StreamInfo.Name, kPinCapture));
}

TEST_F(DeviceRequestTest, OpenForwardsOnlyOneOfTheFourFormats)
{
    Start();
    const struct {
        const char* Name;
        VideoFormat Format;
        ULONG StreamNumber;
        NTSTATUS Status;
    } cases[] = {
        {"320x240", OpenFormat(320, 240, 115200), 0, STATUS_SUCCESS},
        {"352x288", OpenFormat(352, 288, 152064), 0, STATUS_SUCCESS},
        {"640x480", OpenFormat(640, 480, 460800), 0, STATUS_INVALID_PARAMETER},
        {"stream 1", OpenFormat(320, 240, 115200), 1, STATUS_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const size_t poolBefore = host::PoolBytesInUse(kTag);
        EXPECT_EQ(device->OpenStream(&c.Format, sizeof c.Format, c.StreamNumber), c.Status);
        EXPECT_EQ(device->StreamIsOpen(), c.Status == STATUS_SUCCESS);
        // The hooks go in before the format is looked at.
        EXPECT_EQ(Generic(device->StreamObject().ReceiveDataPacket), Generic(&CamStreamDataHook));
        EXPECT_EQ(Generic(device->StreamObject().ReceiveControlPacket),
                  Generic(&CamStreamControlHook));
        EXPECT_EQ(host::PoolBytesInUse(kTag), poolBefore) << "the open copy was kept";
        if (device->StreamIsOpen()) {
            ASSERT_EQ(device->CloseStream(), STATUS_SUCCESS);
        }
    }
}

TEST_F(DeviceRequestTest, OpenTakesALongerFormatOrAnotherIntervalAsTheStandardOne)
{
    Start();
    // A 320x240 format with a longer FormatSize (and bytes behind it) and a
    // rate the range does not offer.
    std::vector<unsigned char> client(400, 0x77);
    VideoFormat f = OpenFormat(320, 240, 115200);
    f.DataFormat.FormatSize = 400;
    f.VideoInfoHeader.AvgTimePerFrame = 20000000;
    std::memcpy(client.data(), &f, sizeof f);
    ASSERT_EQ(device->OpenStream(client.data(), 400), STATUS_SUCCESS);

    // The library answers the allocator framing from the format it was given.
    KSPROPERTY property{};
    property.Set = TEST_GUID(STATIC_KSPROPSETID_Connection);
    property.Id = KSPROPERTY_CONNECTION_ALLOCATORFRAMING;
    property.Flags = KSPROPERTY_TYPE_GET;
    KSALLOCATOR_FRAMING framing{};
    ULONG bytes = 0;
    ASSERT_EQ(
        device->StreamProperty(false, &property, sizeof property, &framing, sizeof framing, &bytes),
        STATUS_SUCCESS);
    EXPECT_EQ(bytes, 24u);
    EXPECT_EQ(framing.FrameSize, 115200u);
}

TEST_F(DeviceRequestTest, OpenCopyIsTheStandardFormatAndTheBitmapHeaderSizeAgain)
{
    Start();
    for (ULONG headerBytes : {40u, 1000u}) {
        SCOPED_TRACE(headerBytes);
        // The client's buffer is exactly one standard format, whatever biSize
        // says: the copy must read no more of it than 152 bytes.
        VideoFormat f = OpenFormat(176, 144, 38016);
        f.VideoInfoHeader.bmiHeader.biSize = headerBytes;
        const size_t inUse = host::PoolStats().bytesInUse;

        host::SetPoolLimit(inUse + 152 + headerBytes - 1);
        EXPECT_EQ(device->OpenStream(&f, sizeof f), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(device->StreamIsOpen());

        host::SetPoolLimit(inUse + 152 + headerBytes);
        EXPECT_EQ(device->OpenStream(&f, sizeof f), STATUS_SUCCESS);
        host::SetPoolLimit(std::nullopt);
        ASSERT_TRUE(device->StreamIsOpen());
        ASSERT_EQ(device->CloseStream(), STATUS_SUCCESS);
    }
}

TEST_F(DeviceRequestTest, ControlHookAnswersFormatsAndTheRateAndHandsOnTheRest)
{
    StartWithStream();
    struct Case {
        const char* Name;
        bool Set;
        VideoFormat Format;
        NTSTATUS Status;
    };
    VideoFormat noImageSize = OpenFormat(176, 144, 0);
    VideoFormat shortFormat = OpenFormat(160, 120, 28800);
    shortFormat.DataFormat.FormatSize = 100; // the stream class pads its copy with zeros
    const Case cases[] = {
        {"propose 176x144 without image size", false, noImageSize, STATUS_NO_MATCH},
        {"propose 176x144", false, OpenFormat(176, 144, 38016), STATUS_SUCCESS},
        {"propose 100-byte format", false, shortFormat, STATUS_NO_MATCH},
        {"set 352x288", true, OpenFormat(352, 288, 152064), STATUS_SUCCESS},
        {"set 640x480", true, OpenFormat(640, 480, 460800), STATUS_NO_MATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const NTSTATUS status = c.Set ? device->SetFormat(&c.Format, sizeof c.Format)
                                      : device->ProposeFormat(&c.Format, sizeof c.Format);
        EXPECT_EQ(status, c.Status);
    }
    EXPECT_EQ(device->GetStreamRate(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(device->GetStreamRate(), STATUS_NOT_IMPLEMENTED);

    // State changes, stream properties and reads reach the library.
    EXPECT_EQ(device->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(device->StreamState(), KSSTATE_ACQUIRE);
    KSPROPERTY property{};
    property.Set = TEST_GUID(STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES);
    property.Id = KSPROPERTY_DROPPEDFRAMES_CURRENT;
    property.Flags = KSPROPERTY_TYPE_GET;
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
    ULONG bytes = 0;
    EXPECT_EQ(
        device->StreamProperty(false, &property, sizeof property, &dropped, sizeof dropped, &bytes),
        STATUS_SUCCESS);
    EXPECT_EQ(bytes, 48u);
    std::vector<UCHAR> buffer(115200);
    EXPECT_EQ(device->Read(buffer.data(), ULONG(buffer.size())), STATUS_PENDING);
    EXPECT_EQ(device->PendingReads(), 1u);
}

TEST_F(DeviceRequestTest, DataHookTakesNothing)
{
    BOOLEAN completed = 0x5A;
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_READ_DATA;
    CamStreamDataHook(&srb, nullptr, &completed);
    EXPECT_EQ(completed, 0x5A);
}

TEST_F(DeviceRequestTest, PropertyRequestsCompleteWithTheDispatchersStatus)
{
    Start();
    HW_STREAM_DESCRIPTOR d{};
    ASSERT_EQ(device->GetStreamInfo(&d), STATUS_SUCCESS);

    // The stored settings are loaded at initialisation: with none stored,
    // the built-in hue 179.
    KSPROPERTY_VIDEOPROCAMP_S hue{};
    hue.Property.Set = TEST_GUID(STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP);
    hue.Property.Id = KSPROPERTY_VIDEOPROCAMP_HUE;
    hue.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG bytes = 0;
    ASSERT_EQ(device->DeviceProperty(false, &hue, sizeof hue, &hue, sizeof hue, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(hue.Value, 179);
    EXPECT_EQ(bytes, 40u);

    // The diagnostics set is read-only: the dispatcher's refusal is the
    // request's status.
    DiagnosticsRecord diag{};
    diag.Property.Set = CameraDiagnosticsPropertySet;
    diag.Property.Flags = KSPROPERTY_TYPE_SET;
    EXPECT_EQ(device->RawDeviceProperty(true, 1, &diag, sizeof diag, &diag, sizeof diag, &bytes),
              STATUS_NOT_SUPPORTED);
}

TEST_F(DeviceRequestTest, IntersectionIsAnsweredByTheDriver)
{
    Start();
    const KS_DATARANGE_VIDEO client = ClientRange(1);
    ULONG bytes = 0;
    EXPECT_EQ(device->DataIntersection(&client, sizeof client, nullptr, 0, &bytes),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(bytes, 152u);
    VideoFormat built{};
    EXPECT_EQ(device->DataIntersection(&client, sizeof client, &built, sizeof built, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, 152u);
    EXPECT_EQ(built.VideoInfoHeader.bmiHeader.biSizeImage, 28800u);
}

TEST_F(DeviceRequestTest, UninitializeLeavesTheDeviceRemovedWithoutBuffers)
{
    StartWithStream();
    ASSERT_NE(Context().SavedFrameBuffer, nullptr);
    ASSERT_EQ(device->Uninitialize(), STATUS_SUCCESS);
    const CameraContext& c = Context();
    EXPECT_EQ(c.DeviceState, ULONG(Removed));
    EXPECT_EQ(c.RawLineBuffer, nullptr);
    EXPECT_EQ(c.LumaWorkBuffer, nullptr);
    EXPECT_EQ(c.WorkBufferA, nullptr);
    EXPECT_EQ(c.WorkBufferB, nullptr);
    EXPECT_EQ(c.SavedFrameBuffer, nullptr);
    EXPECT_EQ(host::PoolBytesInUse(kTag), 0u);
}

TEST_F(DeviceRequestTest, MalformedDeviceRequestsGetErrors)
{
    Start();
    HW_STREAM_REQUEST_BLOCK info{};
    info.Command = SRB_GET_STREAM_INFO; // no descriptor to fill
    EXPECT_EQ(device->SendDeviceRequest(info), STATUS_INVALID_PARAMETER);

    HW_STREAM_OBJECT stream{};
    HW_STREAM_REQUEST_BLOCK open{};
    open.Command = SRB_OPEN_STREAM; // no format
    open.StreamObject = &stream;
    EXPECT_EQ(device->SendDeviceRequest(open), STATUS_INVALID_PARAMETER);
    open.StreamObject = nullptr;
    EXPECT_EQ(device->SendDeviceRequest(open), STATUS_INVALID_PARAMETER);

    HW_STREAM_REQUEST_BLOCK intersect{};
    intersect.Command = SRB_GET_DATA_INTERSECTION; // no intersection record
    EXPECT_EQ(device->SendDeviceRequest(intersect), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(device->StreamIsOpen());
}

} // namespace
