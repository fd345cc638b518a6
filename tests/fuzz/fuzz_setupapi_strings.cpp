// Device interfaces with any hardware ids and device paths (any bytes, any
// length, none at all) through the host SetupAPI: every interface of both
// camera classes is enumerated, its hardware id and detail asked for with
// buffers of the input's sizes, and the property pages' camera search runs
// over them. Each buffer is a heap block of exactly its size, so
// AddressSanitizer reports any access past it. The answers must agree with
// what was published: a call succeeds exactly when its buffer holds the
// size it reports, and then returns the id or path as published. When
// everything is closed, no handle is left open.
//
// Input, read front to back (missing bytes read as 0):
//   u8   number of interfaces (low 3 bits)
//   per interface:
//     u8   class: 0 video, 1 capture, else another class
//     u16  hardware-id length, then its bytes
//     u16  device-path length, then its bytes
//   then, per interface of each class listed: u16 hardware-id buffer size,
//   u16 detail buffer size, u8 detail cbSize (0 means the right one).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device.h"
#include "kald_host/host_win32.h"
#include "kald_host/ksmedia.h"
#include "kald_host/setupapi.h"

// A GUID from its STATIC_ form, with the braces spelled out.
// clang-format off
#define GUID_FROM_PARTS(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
    {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}}
#define STATIC_GUID(parts) GUID_FROM_PARTS(parts)
// clang-format on

namespace {

namespace host = kald::host;

void Expect(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz: %s\n", what);
        std::abort();
    }
}

constexpr size_t kMaxInputBytes = 64 * 1024;
constexpr GUID kVideo = STATIC_GUID(STATIC_KSCATEGORY_VIDEO);
constexpr GUID kCapture = STATIC_GUID(STATIC_KSCATEGORY_CAPTURE);
constexpr GUID kOther = {0x0A0B0C0D, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : Data(data), Size(size) {}
    uint8_t Byte() { return Offset < Size ? Data[Offset++] : 0; }
    uint16_t Word()
    {
        const uint16_t low = Byte();
        return uint16_t(low | (Byte() << 8));
    }
    std::string Bytes(size_t count)
    {
        const size_t available = Size - Offset < count ? Size - Offset : count;
        std::string text(reinterpret_cast<const char*>(Data + Offset), available);
        Offset += available;
        return text;
    }

  private:
    const uint8_t* Data;
    size_t Size;
    size_t Offset = 0;
};

struct Published {
    GUID cls;
    std::string hardwareId;
    std::string path;
};

// Checks every interface of `cls` in the set against what was published.
void CheckClass(Reader& in, const GUID& cls, const std::vector<Published>& published)
{
    std::vector<const Published*> expected;
    for (const Published& p : published) {
        if (IsEqualGUID(p.cls, cls)) {
            expected.push_back(&p);
        }
    }
    HDEVINFO set =
        SetupDiGetClassDevsA(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    Expect(set != INVALID_HANDLE_VALUE, "a class set is refused");
    for (DWORD i = 0; i <= expected.size(); ++i) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof(info);
        const bool listed = SetupDiEnumDeviceInterfaces(set, nullptr, &cls, i, &data) != FALSE;
        const bool device = SetupDiEnumDeviceInfo(set, i, &info) != FALSE;
        if (i == expected.size()) {
            Expect(!listed && !device && GetLastError() == ERROR_NO_MORE_ITEMS,
                   "the list does not end after the published interfaces");
            break;
        }
        Expect(listed && device, "a published interface is not listed");
        const Published& p = *expected[i];

        // The hardware id, as a multi-string.
        const size_t idSize = in.Word();
        std::vector<BYTE> id(idSize);
        DWORD required = 0;
        DWORD type = 0;
        const bool gotId = SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID, &type,
                                                             idSize != 0 ? id.data() : nullptr,
                                                             DWORD(idSize), &required) != FALSE;
        Expect(required == p.hardwareId.size() + 2 && type == REG_MULTI_SZ,
               "the hardware id's size or type is wrong");
        Expect(gotId == (idSize >= required), "the hardware id's success disagrees with its size");
        if (gotId) {
            Expect(memcmp(id.data(), p.hardwareId.data(), p.hardwareId.size()) == 0 &&
                       id[required - 2] == 0 && id[required - 1] == 0,
                   "the hardware id is not the published one");
        } else {
            Expect(GetLastError() == ERROR_INSUFFICIENT_BUFFER,
                   "a short id buffer is not reported");
        }

        // The detail: the size query, then a buffer of the input's size.
        const std::string path = p.path.substr(0, p.path.find('\0'));
        Expect(!SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr) &&
                   GetLastError() == ERROR_INSUFFICIENT_BUFFER && required == 4 + path.size() + 1,
               "the detail size query is wrong");
        const size_t detailSize = in.Word();
        const uint8_t cbSize = in.Byte();
        std::vector<char> buffer(detailSize);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        const bool right = cbSize == 0 || cbSize == sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (detailSize >= sizeof(DWORD)) {
            detail->cbSize = right ? sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) : cbSize;
        }
        const bool gotPath =
            SetupDiGetDeviceInterfaceDetailA(set, &data, detailSize != 0 ? detail : nullptr,
                                             DWORD(detailSize), nullptr, nullptr) != FALSE;
        const bool fits = detailSize >= required && right;
        Expect(gotPath == fits, "the detail's success disagrees with its buffer");
        if (gotPath) {
            Expect(path == detail->DevicePath, "the detail's path is not the published one");
        }

        // The pages' match string built from the id: wsprintfA stops at 1024 bytes.
        char match[1024];
        const int length = wsprintfA(match, "%s&%s", p.hardwareId.c_str(), path.c_str());
        Expect(length >= 0 && length < 1024 && size_t(length) == strlen(match),
               "wsprintfA overran its limit");
    }
    Expect(SetupDiDestroyDriverInfoList(set, nullptr, SPDIT_COMPATDRIVER) != FALSE &&
               SetupDiDestroyDeviceInfoList(set) != FALSE,
           "a set does not close");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInputBytes) {
        return 0;
    }
    host::ResetWin32();
    Reader in(data, size);
    std::vector<Published> published;
    std::vector<host::InterfacePublication> publications;
    const size_t count = in.Byte() & 7;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t selector = in.Byte();
        Published p;
        p.cls = selector == 0 ? kVideo : selector == 1 ? kCapture : kOther;
        p.hardwareId = in.Bytes(in.Word());
        p.path = in.Bytes(in.Word());
        publications.push_back(host::PublishDeviceInterface(nullptr, p.cls, p.hardwareId, p.path));
        published.push_back(std::move(p));
    }
    CheckClass(in, kVideo, published);
    CheckClass(in, kCapture, published);

    // The property pages' search over the same interfaces.
    HANDLE camera = OpenCameraInterface(CameraVendor, CameraProduct);
    if (camera != INVALID_HANDLE_VALUE) {
        Expect(CloseHandle(camera) != FALSE, "the camera's handle does not close");
    }
    Expect(host::OpenWin32Handles().Total() == 0, "a handle was left open");
    return 0;
}
