// Device property requests of any shape through the driver's request
// routine, on a device brought up through the host stream class and camera
// library with a simulated camera behind it. The requests take the raw path,
// which skips the stream class's checks against the property table, so the
// driver's own checks are all that stands between a client and its memory.
//
// Input: up to kMaxRequests records, each read front to back (missing bytes
// read as 0):
//   u8   kind: bit 0 set (else get); bit 1 one buffer serves as request and
//        data; bits 2-4 the set: 0 extension, 1 diagnostics, 2 automatic
//        control, 3 video procamp, 4-7 a GUID from the next 16 bytes
//   [16  the GUID]
//   u32  property id, u32 KSPROPERTY flags
//   u8   request length, u8 data length (each buffer is a heap block of
//        exactly that many bytes, so AddressSanitizer reports any access
//        past it), u8 the property-set index the request carries
//   i32  value, u32 second word (procamp flags, or the extension record's
//        reserved word), u8 filler for every byte beyond the record
//
// After each request: it was completed exactly once, and the bytes the
// driver reports fit the data buffer. When the device is gone, the driver
// holds no pool.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "controls/properties.h"
#include "fuzz_device.h"

namespace {

using kald::fuzz::ByteReader;
using kald::fuzz::Expect;
namespace host = kald::host;

constexpr size_t kMaxRequests = 16;
constexpr size_t kMaxInputBytes = kMaxRequests * 64;
// Room for the largest record (40 bytes) and whatever follows it.
constexpr size_t kTemplateBytes = 256;

const GUID* const kKnownSets[4] = {&CameraExtensionPropertySet, &CameraDiagnosticsPropertySet,
                                   &AutoControlPropertySet, &VideoProcAmpPropertySet};

// One request as the record describes it.
struct Request {
    bool IsSet;
    bool SharedBuffer;
    GUID Set;
    bool ProcAmp;
    ULONG Id;
    ULONG Flags;
    ULONG RequestLength;
    ULONG DataLength;
    ULONG SetIndex;
    LONG Value;
    ULONG Second;
    uint8_t Filler;
};

Request ReadRequest(ByteReader& in)
{
    Request r{};
    const uint8_t kind = in.Read<uint8_t>();
    r.IsSet = (kind & 1) != 0;
    r.SharedBuffer = (kind & 2) != 0;
    const unsigned set = (kind >> 2) & 7;
    if (set < 4) {
        r.Set = *kKnownSets[set];
    } else {
        r.Set = in.Read<GUID>();
    }
    r.ProcAmp = set == 3;
    r.Id = in.Read<ULONG>();
    r.Flags = in.Read<ULONG>();
    r.RequestLength = in.Read<uint8_t>();
    r.DataLength = in.Read<uint8_t>();
    r.SetIndex = in.Read<uint8_t>();
    r.Value = in.Read<LONG>();
    r.Second = in.Read<ULONG>();
    r.Filler = in.Read<uint8_t>();
    return r;
}

// The bytes of a whole request record: the property header, then the value
// where the set's record keeps it (offset 24 with the flags after it for
// the procamp set, offset 28 after the reserved word for the others).
std::vector<uint8_t> RecordBytes(const Request& r)
{
    std::vector<uint8_t> bytes(kTemplateBytes, r.Filler);
    KSPROPERTY property{};
    property.Set = r.Set;
    property.Id = r.Id;
    property.Flags = r.Flags;
    std::memcpy(bytes.data(), &property, sizeof property);
    if (r.ProcAmp) {
        std::memcpy(bytes.data() + 24, &r.Value, sizeof r.Value);
        std::memcpy(bytes.data() + 28, &r.Second, sizeof r.Second);
    } else {
        std::memcpy(bytes.data() + 24, &r.Second, sizeof r.Second);
        std::memcpy(bytes.data() + 28, &r.Value, sizeof r.Value);
    }
    return bytes;
}

// A heap block of exactly `length` bytes holding the start of `record`
// (nullptr for length 0, as a client without a buffer sends).
std::unique_ptr<uint8_t[]> Buffer(const std::vector<uint8_t>& record, ULONG length)
{
    if (length == 0) {
        return nullptr;
    }
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length]);
    std::memcpy(buffer.get(), record.data(), std::min<size_t>(length, record.size()));
    return buffer;
}

void Send(host::HostDevice& device, const Request& r)
{
    const std::vector<uint8_t> record = RecordBytes(r);
    std::unique_ptr<uint8_t[]> request = Buffer(record, r.RequestLength);
    std::unique_ptr<uint8_t[]> separate;
    uint8_t* data = request.get();
    ULONG dataLength = r.RequestLength;
    if (!r.SharedBuffer) {
        separate = Buffer(record, r.DataLength);
        data = separate.get();
        dataLength = r.DataLength;
    }
    ULONG bytesReturned = 0;
    device.RawDeviceProperty(r.IsSet, r.SetIndex, request.get(), r.RequestLength, data, dataLength,
                             &bytesReturned);
    Expect(host::RequestViolationCounts().Total() == 0,
           "a property request was not completed exactly once");
    Expect(bytesReturned <= dataLength,
           "the driver reported more bytes than the data buffer holds");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInputBytes) {
        return 0;
    }
    kald::fuzz::OnFreshDevice([&](host::HostDevice& device) {
        HW_STREAM_DESCRIPTOR descriptor{};
        Expect(device.GetStreamInfo(&descriptor) == STATUS_SUCCESS,
               "the stream information was refused");

        ByteReader in(data, size);
        for (size_t i = 0; i < kMaxRequests && !in.Empty(); ++i) {
            Send(device, ReadRequest(in));
        }
    });
    return 0;
}
