// Data ranges and video formats of any shape through the driver's request
// routine and stream hooks: data intersections, stream opens, format
// proposals and changes, on a device brought up through the host stream
// class and camera library with a simulated camera behind it. No stream is
// ever run.
//
// Input: up to kMaxOperations records, each read front to back (missing
// bytes read as 0):
//   u8   operation: 0 intersection, 1 open, 2 propose, 3 set format,
//        4 stream-rate query, 5 close (taken modulo 6)
//   u8   template: bits 0-1 which of the driver's four sizes the client's
//        range or format starts from, bit 2 start from zeros instead
//   u16  length of the client's range or format (at most kMaxFormatBytes)
//   u16  size of the intersection's output buffer (at most kMaxFormatBytes)
//   u8   stream number of the intersection
//   u8   overrides: bit 0 FormatSize, bit 1 biSize, bit 2 AvgTimePerFrame,
//        bit 3 biWidth and biHeight, bit 4 biSizeImage
//   u32 FormatSize, u32 biSize, i64 AvgTimePerFrame, i32 biWidth,
//   i32 biHeight, u32 biSizeImage: the override values (always present)
//   u8   patch count (at most kMaxPatches), then per patch u16 offset and
//        u8 byte, written into the client's bytes
//   u8   filler for the bytes beyond the range or format
// The client's range or format and the output buffer are each a heap block
// of exactly their length, so AddressSanitizer reports any access past them.
//
// After each request: it was completed exactly once; a built format fits
// the output buffer and says its own size; a size query answers only a
// zero-size buffer; an open that succeeded left the stream open. When the
// device is gone, the driver holds no pool.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/stream_formats.h"
#include "fuzz_device.h"

namespace {

using kald::fuzz::ByteReader;
using kald::fuzz::Expect;
namespace host = kald::host;

constexpr size_t kMaxOperations = 12;
constexpr size_t kMaxPatches = 4;
constexpr size_t kMaxFormatBytes = 600;
constexpr size_t kMaxInputBytes = kMaxOperations * 64;

enum Operation : uint8_t { Intersect, Open, Propose, SetFormat, StreamRate, Close, OperationCount };

struct Record {
    Operation Op;
    uint8_t Template;
    size_t ClientLength;
    size_t OutputLength;
    ULONG StreamNumber;
    uint8_t Overrides;
    ULONG FormatSize;
    ULONG BitmapHeaderSize;
    LONGLONG AvgTimePerFrame;
    LONG Width;
    LONG Height;
    ULONG ImageSize;
    struct Patch {
        uint16_t Offset;
        uint8_t Byte;
    } Patches[kMaxPatches];
    size_t PatchCount;
    uint8_t Filler;
};

Record ReadRecord(ByteReader& in)
{
    Record r{};
    r.Op = static_cast<Operation>(in.Read<uint8_t>() % OperationCount);
    r.Template = in.Read<uint8_t>();
    r.ClientLength = std::min<size_t>(in.Read<uint16_t>(), kMaxFormatBytes);
    r.OutputLength = std::min<size_t>(in.Read<uint16_t>(), kMaxFormatBytes);
    r.StreamNumber = in.Read<uint8_t>();
    r.Overrides = in.Read<uint8_t>();
    r.FormatSize = in.Read<ULONG>();
    r.BitmapHeaderSize = in.Read<ULONG>();
    r.AvgTimePerFrame = in.Read<LONGLONG>();
    r.Width = in.Read<LONG>();
    r.Height = in.Read<LONG>();
    r.ImageSize = in.Read<ULONG>();
    r.PatchCount = std::min<size_t>(in.Read<uint8_t>(), kMaxPatches);
    for (size_t i = 0; i < r.PatchCount; ++i) {
        r.Patches[i].Offset = in.Read<uint16_t>();
        r.Patches[i].Byte = in.Read<uint8_t>();
    }
    r.Filler = in.Read<uint8_t>();
    return r;
}

template <typename T> void Put(std::vector<uint8_t>& bytes, size_t offset, T value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

// Where the fields the overrides reach lie in a range and in a format.
struct Layout {
    size_t FormatSize;
    size_t VideoInfo; // the KS_VIDEOINFOHEADER
};
constexpr Layout kRangeLayout = {offsetof(KSDATARANGE, FormatSize),
                                 offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader)};
constexpr Layout kFormatLayout = {offsetof(KSDATAFORMAT, FormatSize),
                                  offsetof(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader)};

// The client's bytes: one of the driver's ranges (for an intersection) or
// the format a client opens for that range's size, or zeros; then the
// overrides and the patches.
std::vector<uint8_t> ClientBytes(const Record& r)
{
    std::vector<uint8_t> bytes(kMaxFormatBytes, r.Filler);
    const KS_DATARANGE_VIDEO& range = VideoFormatRanges[r.Template & 3];
    const bool zeros = (r.Template & 4) != 0;
    const Layout& layout = r.Op == Intersect ? kRangeLayout : kFormatLayout;
    if (zeros) {
        std::fill(bytes.begin(), bytes.begin() + sizeof(KS_DATARANGE_VIDEO), 0);
    } else if (r.Op == Intersect) {
        std::memcpy(bytes.data(), &range, sizeof range);
    } else {
        KS_DATAFORMAT_VIDEOINFOHEADER format;
        std::memcpy(&format.DataFormat, &range.DataRange, sizeof(KSDATAFORMAT));
        format.DataFormat.FormatSize = sizeof format;
        format.VideoInfoHeader = range.VideoInfoHeader;
        std::memcpy(bytes.data(), &format, sizeof format);
    }
    const size_t header = layout.VideoInfo + offsetof(KS_VIDEOINFOHEADER, bmiHeader);
    if (r.Overrides & 1) {
        Put(bytes, layout.FormatSize, r.FormatSize);
    }
    if (r.Overrides & 2) {
        Put(bytes, header + offsetof(KS_BITMAPINFOHEADER, biSize), r.BitmapHeaderSize);
    }
    if (r.Overrides & 4) {
        Put(bytes, layout.VideoInfo + offsetof(KS_VIDEOINFOHEADER, AvgTimePerFrame),
            r.AvgTimePerFrame);
    }
    if (r.Overrides & 8) {
        Put(bytes, header + offsetof(KS_BITMAPINFOHEADER, biWidth), r.Width);
        Put(bytes, header + offsetof(KS_BITMAPINFOHEADER, biHeight), r.Height);
    }
    if (r.Overrides & 16) {
        Put(bytes, header + offsetof(KS_BITMAPINFOHEADER, biSizeImage), r.ImageSize);
    }
    for (size_t i = 0; i < r.PatchCount; ++i) {
        bytes[r.Patches[i].Offset % kMaxFormatBytes] = r.Patches[i].Byte;
    }
    return bytes;
}

// A heap block of exactly `length` bytes holding the start of `bytes`
// (nullptr for length 0).
std::unique_ptr<uint8_t[]> Buffer(const std::vector<uint8_t>& bytes, size_t length)
{
    if (length == 0) {
        return nullptr;
    }
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);
    std::memcpy(buffer.get(), bytes.data(), std::min(length, bytes.size()));
    return buffer;
}

void Intersection(host::HostDevice& device, const Record& r)
{
    std::unique_ptr<uint8_t[]> range = Buffer(ClientBytes(r), r.ClientLength);
    std::unique_ptr<uint8_t[]> output =
        Buffer(std::vector<uint8_t>(r.OutputLength, 0xA5), r.OutputLength);
    ULONG bytesReturned = 0;
    const NTSTATUS status =
        device.DataIntersection(range.get(), ULONG(r.ClientLength), output.get(),
                                ULONG(r.OutputLength), &bytesReturned, r.StreamNumber);
    if (status == STATUS_SUCCESS) {
        Expect(bytesReturned >= sizeof(KSDATAFORMAT) && bytesReturned <= r.OutputLength,
               "a built format does not fit the output buffer");
        const KSDATAFORMAT* format = reinterpret_cast<const KSDATAFORMAT*>(output.get());
        Expect(format->FormatSize == bytesReturned, "a built format misstates its size");
    }
    if (status == STATUS_BUFFER_OVERFLOW) {
        Expect(r.OutputLength == 0, "a size query answered a buffer that was there");
    }
}

void Format(host::HostDevice& device, const Record& r)
{
    std::unique_ptr<uint8_t[]> format = Buffer(ClientBytes(r), r.ClientLength);
    const ULONG length = ULONG(r.ClientLength);
    switch (r.Op) {
    case Open: {
        const bool wasOpen = device.StreamIsOpen();
        if (device.OpenStream(format.get(), length, r.StreamNumber & 1) == STATUS_SUCCESS) {
            Expect(device.StreamIsOpen(), "an open that succeeded left no stream");
        } else if (!wasOpen) {
            Expect(!device.StreamIsOpen(), "an open that failed left a stream");
        }
        break;
    }
    case Propose:
        device.ProposeFormat(format.get(), length);
        break;
    case SetFormat:
        device.SetFormat(format.get(), length);
        break;
    default:
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInputBytes) {
        return 0;
    }
    kald::fuzz::OnFreshDevice([&](host::HostDevice& device) {
        ByteReader in(data, size);
        for (size_t i = 0; i < kMaxOperations && !in.Empty(); ++i) {
            const Record r = ReadRecord(in);
            switch (r.Op) {
            case Intersect:
                Intersection(device, r);
                break;
            case Open:
            case Propose:
            case SetFormat:
                Format(device, r);
                break;
            case StreamRate:
                device.GetStreamRate();
                break;
            case Close:
                device.CloseStream();
                break;
            default:
                break;
            }
            Expect(host::RequestViolationCounts().Total() == 0,
                   "a request was not completed exactly once");
        }
    });
    return 0;
}
