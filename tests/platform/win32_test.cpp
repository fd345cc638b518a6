// The host Win32 layer as user-mode code sees it: device interfaces found
// through SETUPAPI.DLL, device files whose property requests reach the real
// driver on a simulated camera, pending requests against the virtual clock,
// wsprintfA and MessageBoxA.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kald_host/host_kernel.h"
#include "kald_host/host_win32.h"
#include "kald_host/ksmedia.h"
#include "kald_host/setupapi.h"
#include "kald_sim/camera.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

using namespace kald::host;

// A GUID from its STATIC_ form, with the braces spelled out.
// clang-format off
#define GUID_FROM_PARTS(d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
    {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}}
#define STATIC_GUID(parts) GUID_FROM_PARTS(parts)
// clang-format on

namespace {

constexpr GUID kVideo = STATIC_GUID(STATIC_KSCATEGORY_VIDEO);
constexpr GUID kCapture = STATIC_GUID(STATIC_KSCATEGORY_CAPTURE);
constexpr DWORD kListFlags = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

// The camera's extension set and the ids used here.
constexpr GUID kExtensionSet = {
    0xD410004E, 0x2501, 0x44DF, {0xAC, 0xB3, 0x7B, 0xA8, 0x86, 0x7F, 0x17, 0xD4}};
constexpr ULONG kExtSaturation = 3;
constexpr ULONG kExtUnsupported = 6; // listed in the set, answered by no one

struct ExtensionRecord {
    KSPROPERTY Property;
    ULONG Reserved;
    LONG Value;
};
static_assert(sizeof(ExtensionRecord) == 32, "the extension record is 32 bytes");

// The sizes callers must put in cbSize on this 64-bit architecture.
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "interface record");
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "device record");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "detail record's fixed part");
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) == 4, "path offset");
static_assert(IOCTL_KS_PROPERTY == 0x2F0003, "the property control code");

class Win32Test : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetWin32();
        ResetClock();
    }
    void TearDown() override { ResetWin32(); }

    // The device path of interface `index` of `set`, or "" when it fails.
    static std::string PathOf(HDEVINFO set, const GUID& cls, DWORD index)
    {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &cls, index, &data)) {
            return "";
        }
        std::vector<char> buffer(1024);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(*detail);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, DWORD(buffer.size()), nullptr,
                                              nullptr)) {
            return "";
        }
        return detail->DevicePath;
    }

    static std::string HardwareIdOf(HDEVINFO set, DWORD index)
    {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof(info);
        char id[256] = {};
        if (!SetupDiEnumDeviceInfo(set, index, &info) ||
            !SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<PBYTE>(id), sizeof(id), nullptr)) {
            return "";
        }
        return id;
    }
};

TEST_F(Win32Test, ListsThePublishedInterfacesOfAClassInOrderAsTheyWereWhenListed)
{
    InterfacePublication first = PublishDeviceInterface(nullptr, kVideo, "USB\\A", "\\\\?\\a");
    InterfacePublication other = PublishDeviceInterface(nullptr, kCapture, "USB\\B", "\\\\?\\b");
    InterfacePublication second = PublishDeviceInterface(nullptr, kVideo, "USB\\C", "\\\\?\\c");

    HDEVINFO video = SetupDiGetClassDevsA(&kVideo, nullptr, nullptr, kListFlags);
    ASSERT_NE(video, INVALID_HANDLE_VALUE);
    // Published or withdrawn later: the set does not change.
    InterfacePublication late = PublishDeviceInterface(nullptr, kVideo, "USB\\D", "\\\\?\\d");
    second.Unpublish();

    EXPECT_EQ(PathOf(video, kVideo, 0), "\\\\?\\a");
    EXPECT_EQ(PathOf(video, kVideo, 1), "\\\\?\\c");
    EXPECT_EQ(HardwareIdOf(video, 0), "USB\\A"); // device i goes with interface i
    EXPECT_EQ(HardwareIdOf(video, 1), "USB\\C");
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    SetLastError(0);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(video, nullptr, &kVideo, 2, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(video, 2, &info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    // Asking the video set for capture interfaces finds none.
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(video, nullptr, &kCapture, 0, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(video));

    HDEVINFO again = SetupDiGetClassDevsA(&kVideo, nullptr, nullptr, kListFlags);
    EXPECT_EQ(PathOf(again, kVideo, 0), "\\\\?\\a");
    EXPECT_EQ(PathOf(again, kVideo, 1), "\\\\?\\d");
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(again));
    HDEVINFO capture = SetupDiGetClassDevsA(&kCapture, nullptr, nullptr, kListFlags);
    EXPECT_EQ(PathOf(capture, kCapture, 0), "\\\\?\\b");
    EXPECT_EQ(PathOf(capture, kCapture, 1), "");
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(capture));
    EXPECT_EQ(OpenWin32Handles().Total(), 0u);
}

TEST_F(Win32Test, PublishCameraUsesThePlatformsIdsAndPaths)
{
    kald::sim::Camera camera;
    HostBus bus;
    HostDriver driver(DriverEntry);
    HostDevice device(bus, driver, camera);
    InterfacePublication one = PublishCamera(device);
    InterfacePublication two =
        PublishCamera(device, {.hardwareId = "usb\\vid_7a3c&pid_0e41", .captureClass = false});
    EXPECT_EQ(
        one.Paths(),
        (std::vector<std::string>{
            "\\\\?\\usb#vid_7a3c&pid_0e41#1#{6994ad05-93ef-11d0-a3cc-00a0c9223196}\\global",
            "\\\\?\\usb#vid_7a3c&pid_0e41#1#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global"}));
    EXPECT_EQ(
        two.Paths(),
        (std::vector<std::string>{
            "\\\\?\\usb#vid_7a3c&pid_0e41#2#{6994ad05-93ef-11d0-a3cc-00a0c9223196}\\global"}));
    HDEVINFO video = SetupDiGetClassDevsA(&kVideo, nullptr, nullptr, kListFlags);
    EXPECT_EQ(HardwareIdOf(video, 0), "USB\\VID_7A3C&PID_0E41&REV_0100");
    EXPECT_EQ(HardwareIdOf(video, 1), "usb\\vid_7a3c&pid_0e41");
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(video));
}

// Every record's cbSize is checked as the platform checks it: the 32-bit
// sizes (28, and 5 for the detail) are refused on this architecture.
TEST_F(Win32Test, RefusesRecordsWithTheWrongSize)
{
    InterfacePublication published = PublishDeviceInterface(nullptr, kVideo, "ID", "PATH");
    HDEVINFO set = SetupDiGetClassDevsA(&kVideo, nullptr, nullptr, kListFlags);

    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = 28;
    SetLastError(0);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kVideo, 0, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));
    SP_DEVINFO_DATA info{};
    info.cbSize = 28;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));

    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kVideo, 0, &data));
    EXPECT_EQ(data.Flags, DWORD(SPINT_ACTIVE));
    struct Case {
        DWORD cbSize;
        DWORD bufferSize;
        DWORD error; // 0: succeeds
    };
    const Case cases[] = {
        {5, 64, ERROR_INVALID_USER_BUFFER}, // the 32-bit fixed part
        {0, 64, ERROR_INVALID_USER_BUFFER},
        {8, 4, ERROR_INVALID_USER_BUFFER}, // no room for even a NUL
        {8, 5, ERROR_INSUFFICIENT_BUFFER}, // room for the NUL only
        {8, 8, ERROR_INSUFFICIENT_BUFFER}, // "PATH" and its NUL need 9
        {8, 9, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.cbSize << "/" << c.bufferSize);
        // The buffer is exactly bufferSize bytes, so ASan sees any overrun.
        std::vector<char> buffer(c.bufferSize < 4 ? 4 : c.bufferSize, 'x');
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = c.cbSize;
        DWORD required = 0;
        SetLastError(0);
        const WINBOOL ok =
            SetupDiGetDeviceInterfaceDetailA(set, &data, detail, c.bufferSize, &required, nullptr);
        EXPECT_EQ(ok, c.error == 0 ? TRUE : FALSE);
        EXPECT_EQ(GetLastError(), c.error);
        if (c.error != ERROR_INVALID_USER_BUFFER) {
            EXPECT_EQ(required, 9u);
        }
        if (ok) {
            EXPECT_STREQ(detail->DevicePath, "PATH");
        }
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(Win32Test, DetailAndHardwareIdReportTheSizeTheyNeed)
{
    InterfacePublication published =
        PublishDeviceInterface(nullptr, kVideo, "USB\\VID_1&PID_2", "\\\\?\\usb#1");
    HDEVINFO set = SetupDiGetClassDevsA(&kVideo, nullptr, nullptr, kListFlags);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kVideo, 0, &data));

    // The size query: no buffer, size 0.
    DWORD required = 0;
    SetLastError(0);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 4u + 9u + 1u);
    // No buffer but a size is a caller's mistake, not a size query.
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 64, &required, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));
    // The detail may also fill in the device record.
    std::vector<char> buffer(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = sizeof(*detail);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, &info));
    EXPECT_STREQ(detail->DevicePath, "\\\\?\\usb#1");

    // The hardware id: a multi-string of one string, 15 + 2 bytes.
    DWORD type = 0;
    SetLastError(0);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID, &type, nullptr, 0,
                                                   &required));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 17u);
    EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
    std::vector<BYTE> id(16, 0xEE);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID, nullptr, id.data(),
                                                   16, &required));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    id.assign(17, 0xEE);
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID, nullptr, id.data(),
                                                  17, nullptr));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(id.data()), 17),
              std::string("USB\\VID_1&PID_2\0\0", 17));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_COMPATIBLEIDS, nullptr,
                                                   id.data(), 17, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_DATA));
    EXPECT_TRUE(SetupDiDestroyDriverInfoList(set, nullptr, SPDIT_COMPATDRIVER));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(Win32Test, BadSetsAndArgumentsFailWithoutListing)
{
    SetLastError(0);
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, kListFlags), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    HDEVINFO set = SetupDiGetClassDevsA(&kVideo, nullptr, nullptr, kListFlags);
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(set));
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    for (HDEVINFO bad : {set, INVALID_HANDLE_VALUE, HDEVINFO(nullptr), HDEVINFO(event)}) {
        SetLastError(0);
        EXPECT_FALSE(SetupDiEnumDeviceInterfaces(bad, nullptr, &kVideo, 0, &data));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
        EXPECT_FALSE(SetupDiEnumDeviceInfo(bad, 0, &info));
        EXPECT_FALSE(SetupDiDestroyDeviceInfoList(bad));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    }
    // A record that names no member of the set.
    set = SetupDiGetClassDevsA(&kVideo, nullptr, nullptr, kListFlags);
    info.Reserved = 12345;
    char id[64];
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(
        set, &info, SPDRP_HARDWAREID, nullptr, reinterpret_cast<PBYTE>(id), sizeof(id), nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(Win32Test, OpensPublishedPathsOnlyAndCountsTheHandles)
{
    InterfacePublication published = PublishDeviceInterface(nullptr, kVideo, "ID", "\\\\?\\Dev#1");
    const DWORD access = GENERIC_READ | GENERIC_WRITE;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE a = CreateFileA("\\\\?\\Dev#1", access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE b = CreateFileA("\\\\?\\DEV#1", access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_NE(a, b);
    EXPECT_EQ(OpenWin32Handles().files, 2u);

    SetLastError(0);
    EXPECT_EQ(CreateFileA("\\\\?\\Dev#2", access, share, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileA(nullptr, access, share, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    EXPECT_TRUE(CloseHandle(a));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(a));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(OpenWin32Handles().files, 1u);
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_EQ(OpenWin32Handles().Total(), 0u);

    // Once withdrawn, the path no longer opens.
    published.Unpublish();
    EXPECT_EQ(CreateFileA("\\\\?\\Dev#1", access, share, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

// A camera driven by the real driver, published as the platform would.
class Win32DeviceTest : public Win32Test {
  protected:
    void SetUp() override
    {
        Win32Test::SetUp();
        RegistryClear();
        driver = std::make_unique<HostDriver>(DriverEntry);
        ASSERT_TRUE(driver->Loaded());
        device = std::make_unique<HostDevice>(bus, *driver, camera);
        ASSERT_EQ(device->Initialize(), STATUS_SUCCESS);
        HW_STREAM_DESCRIPTOR descriptor{};
        ASSERT_EQ(device->GetStreamInfo(&descriptor), STATUS_SUCCESS);
        published = PublishCamera(*device);
        file = CreateFileA(published.Paths()[0].c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
    }

    void TearDown() override
    {
        published.Unpublish();
        device.reset();
        Win32Test::TearDown();
    }

    static ExtensionRecord Request(ULONG id, ULONG flags, LONG value = 0)
    {
        ExtensionRecord record{};
        record.Property.Set = kExtensionSet;
        record.Property.Id = id;
        record.Property.Flags = flags;
        record.Value = value;
        return record;
    }

    kald::sim::Camera camera;
    HostBus bus;
    std::unique_ptr<HostDriver> driver;
    std::unique_ptr<HostDevice> device;
    InterfacePublication published;
    HANDLE file = INVALID_HANDLE_VALUE;
};

TEST_F(Win32DeviceTest, PropertyRequestsReachTheDriverThroughOneBuffer)
{
    ExtensionRecord set = Request(kExtSaturation, KSPROPERTY_TYPE_SET, 21);
    DWORD bytes = 0;
    ASSERT_TRUE(DeviceIoControl(file, IOCTL_KS_PROPERTY, &set, sizeof(set), &set, sizeof(set),
                                &bytes, nullptr));

    // Read back through the capture-class path: the same device.
    HANDLE other = CreateFileA(published.Paths()[1].c_str(), GENERIC_READ, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    ExtensionRecord get = Request(kExtSaturation, KSPROPERTY_TYPE_GET, -1);
    bytes = 0;
    ASSERT_TRUE(DeviceIoControl(other, IOCTL_KS_PROPERTY, &get, sizeof(get), &get, sizeof(get),
                                &bytes, nullptr));
    EXPECT_EQ(get.Value, 21);
    EXPECT_EQ(bytes, 32u);
    EXPECT_EQ(DeviceIoControlCount(), 2u);
    EXPECT_TRUE(CloseHandle(other));
}

// The driver's failures become the Win32 errors the platform reports.
TEST_F(Win32DeviceTest, DriverStatusesBecomeWin32Errors)
{
    struct Case {
        const char* what;
        GUID set;
        ULONG id;
        ULONG flags;
        LONG value;
        DWORD length;
        DWORD error;
    };
    const GUID unknownSet = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    const Case cases[] = {
        {"item the driver refuses", kExtensionSet, kExtUnsupported, KSPROPERTY_TYPE_GET, 0, 32,
         ERROR_NOT_SUPPORTED},
        {"value out of range", kExtensionSet, kExtSaturation, KSPROPERTY_TYPE_SET, 1000, 32,
         ERROR_INVALID_PARAMETER},
        {"item not in the set", kExtensionSet, 999, KSPROPERTY_TYPE_GET, 0, 32, ERROR_NOT_FOUND},
        {"unknown set", unknownSet, 0, KSPROPERTY_TYPE_GET, 0, 32, ERROR_NOT_FOUND},
        {"data buffer too short", kExtensionSet, kExtSaturation, KSPROPERTY_TYPE_GET, 0, 24,
         ERROR_INSUFFICIENT_BUFFER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ExtensionRecord record = Request(c.id, c.flags, c.value);
        record.Property.Set = c.set;
        DWORD bytes = 0;
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(file, IOCTL_KS_PROPERTY, &record, c.length, &record, c.length,
                                     &bytes, nullptr));
        EXPECT_EQ(GetLastError(), c.error);
    }

    ExtensionRecord record = Request(kExtSaturation, KSPROPERTY_TYPE_GET);
    DWORD bytes = 0;
    EXPECT_FALSE(DeviceIoControl(file, 0x2F0007, &record, 32, &record, 32, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_FALSE(
        DeviceIoControl(file, IOCTL_KS_PROPERTY, &record, 16, &record, 32, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(
        DeviceIoControl(file, IOCTL_KS_PROPERTY, nullptr, 32, &record, 32, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, IOCTL_KS_PROPERTY, &record, 32, &record, 32,
                                 &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(DeviceIoControlCount(), 5u); // only the requests that reached the device

    // A device that is gone fails the files still open on it.
    published.Unpublish();
    EXPECT_FALSE(
        DeviceIoControl(file, IOCTL_KS_PROPERTY, &record, 32, &record, 32, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DEVICE_REMOVED));
}

// A request that pends is waited for as the pages wait: 3000 virtual ms.
TEST_F(Win32DeviceTest, PendingRequestsCompleteOrTimeOutOnTheVirtualClock)
{
    struct Case {
        std::optional<uint32_t> completesAfter;
        DWORD wait;
        DWORD expected;
        uint64_t elapsedMs;
    };
    const Case cases[] = {
        {1200, 3000, WAIT_OBJECT_0, 1200},
        {3000, 3000, WAIT_OBJECT_0, 3000}, // completing at the deadline is in time
        {3001, 3000, WAIT_TIMEOUT, 3000},
        {std::nullopt, 3000, WAIT_TIMEOUT, 3000},
        {0, 0, WAIT_OBJECT_0, 0},
        {5, 0, WAIT_TIMEOUT, 0}, // a poll does not wait
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.completesAfter.value_or(~0u) << " in " << c.wait);
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        ExtensionRecord record = Request(kExtSaturation, KSPROPERTY_TYPE_GET, -1);
        DWORD bytes = 0;
        PendNextDeviceIoControl(c.completesAfter);
        const uint64_t start = Now100ns();
        SetLastError(0);
        EXPECT_FALSE(DeviceIoControl(file, IOCTL_KS_PROPERTY, &record, sizeof(record), &record,
                                     sizeof(record), &bytes, &overlapped));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
        EXPECT_EQ(WaitForSingleObject(event, c.wait), c.expected);
        EXPECT_EQ(Now100ns() - start, c.elapsedMs * 10000);
        EXPECT_TRUE(CloseHandle(event));
    }
    // Completions still due after their events closed signal nothing.
    AdvanceClock(10000ull * 10000);
    EXPECT_EQ(OpenWin32Handles().events, 0u);

    // The next request is not held back; a synchronous caller waits a
    // pending one out on the clock.
    ExtensionRecord record = Request(kExtSaturation, KSPROPERTY_TYPE_GET);
    DWORD bytes = 0;
    const uint64_t start = Now100ns();
    PendNextDeviceIoControl(700);
    EXPECT_TRUE(
        DeviceIoControl(file, IOCTL_KS_PROPERTY, &record, 32, &record, 32, &bytes, nullptr));
    EXPECT_EQ(Now100ns() - start, 700u * 10000);
    EXPECT_TRUE(
        DeviceIoControl(file, IOCTL_KS_PROPERTY, &record, 32, &record, 32, &bytes, nullptr));
    EXPECT_EQ(Now100ns() - start, 700u * 10000);
}

TEST_F(Win32Test, EventsAndWaits)
{
    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(automatic, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT); // the wait reset it
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_OBJECT_0); // stays set
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(Now100ns(), 0u);
    EXPECT_EQ(WaitForSingleObject(manual, 250), WAIT_TIMEOUT);
    EXPECT_EQ(Now100ns(), 250u * 10000);
    // Nothing will ever set it: an endless wait fails instead of hanging.
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(manual, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_POSSIBLE_DEADLOCK));
    EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "named"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));

    EXPECT_EQ(OpenWin32Handles().events, 2u);
    EXPECT_TRUE(CloseHandle(automatic));
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(manual));
    EXPECT_EQ(OpenWin32Handles().Total(), 0u);
}

TEST_F(Win32Test, LastErrorBelongsToTheThread)
{
    SetLastError(ERROR_NOT_FOUND);
    DWORD seen = 0;
    std::thread other([&seen] {
        seen = GetLastError();
        SetLastError(ERROR_GEN_FAILURE);
    });
    other.join();
    EXPECT_EQ(seen, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_FOUND));
}

TEST_F(Win32Test, WsprintfFormatsWhatThePlatformsDoes)
{
    struct Case {
        const char* format;
        const char* expected;
    };
    char buffer[1100];
    const auto check = [&buffer](const char* expected, int length) {
        EXPECT_STREQ(buffer, expected);
        EXPECT_EQ(length, int(strlen(expected)));
    };
    // The match string the pages build.
    check("VID_7A3C&PID_0E41", wsprintfA(buffer, "%s&%s", "VID_7A3C", "PID_0E41"));
    check("-42|42|4294967254", wsprintfA(buffer, "%d|%i|%u", -42, 42, -42));
    check("ff|FF|0xff|0XFF|0", wsprintfA(buffer, "%x|%X|%#x|%#X|%#x", 255, 255, 255, 255, 0));
    check("[   7][7   ][0007][-007]", wsprintfA(buffer, "[%4d][%-4d][%04d][%04d]", 7, 7, 7, -7));
    check("[007][  ab][ab  ]", wsprintfA(buffer, "[%.3d][%4.2s][%-4.2s]", 7, "abc", "abc"));
    check("x|%|(null)", wsprintfA(buffer, "%c|%%|%s", 'x', static_cast<const char*>(nullptr)));
    // l reads the platform's 32-bit long; h a 16-bit value.
    check("-1|4294967295|ffffffff|-1",
          wsprintfA(buffer, "%ld|%lu|%lx|%hd", LONG(-1), ULONG(~0u), ULONG(~0u), 0xFFFF));
    // Wide strings and characters are narrowed; h keeps a string narrow.
    check("wide|w?|narrow|x",
          wsprintfA(buffer, "%S|%ls|%hs|%C", L"wide", L"w\u00e9", "narrow", int(L'x')));
    // No floating point, no '*': the letter is copied.
    check("f|", wsprintfA(buffer, "%f|"));
    check("trail", wsprintfA(buffer, "trail%"));

    // The output stops at 1023 characters and the NUL.
    const std::string longText(2000, 'a');
    memset(buffer, 'z', sizeof(buffer));
    EXPECT_EQ(wsprintfA(buffer, "%s", longText.c_str()), 1023);
    EXPECT_EQ(strlen(buffer), 1023u);
    EXPECT_EQ(buffer[1024], 'z');
    EXPECT_EQ(wsprintfA(buffer, "%2000d", 5), 1023);
    EXPECT_EQ(buffer[1024], 'z');
}

TEST_F(Win32Test, MessageBoxesAreRecordedAndAnswered)
{
    EXPECT_EQ(MessageBoxA(nullptr, "WDM_open_dev failed", "Device", MB_OK), IDOK);
    SetMessageBoxResult(IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "Sure?", nullptr, MB_YESNO | MB_ICONQUESTION), IDNO);
    const std::vector<MessageBoxRecord> boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, "Device");
    EXPECT_EQ(boxes[0].text, "WDM_open_dev failed");
    EXPECT_EQ(boxes[0].type, UINT(MB_OK));
    EXPECT_EQ(boxes[1].caption, "Error"); // the platform's caption for none
    EXPECT_EQ(boxes[1].type, UINT(MB_YESNO | MB_ICONQUESTION));
    ClearMessageBoxes();
    EXPECT_TRUE(MessageBoxes().empty());
}

TEST_F(Win32Test, LoadsSetupApiAndSharedLibraries)
{
    HMODULE setupApi = LoadLibraryA("SETUPAPI.DLL");
    ASSERT_NE(setupApi, nullptr);
    EXPECT_EQ(LoadLibraryA("setupapi.dll"), setupApi); // one module, counted twice
    EXPECT_EQ(OpenWin32Handles().modules, 2u);
    using GetClassDevs = HDEVINFO(WINAPI*)(const GUID*, PCSTR, HWND, DWORD);
    const auto getClassDevs = reinterpret_cast<GetClassDevs>(
        reinterpret_cast<void (*)()>(GetProcAddress(setupApi, "SetupDiGetClassDevsA")));
    EXPECT_EQ(getClassDevs, &SetupDiGetClassDevsA);
    for (const char* name : {"SetupDiBuildDriverInfoList", "SetupDiDestroyDriverInfoList",
                             "SetupDiDestroyDeviceInfoList", "SetupDiEnumDeviceInterfaces",
                             "SetupDiGetDeviceInterfaceDetailA", "SetupDiEnumDriverInfoA",
                             "SetupDiGetDeviceRegistryPropertyA", "SetupDiEnumDeviceInfo"}) {
        EXPECT_NE(GetProcAddress(setupApi, name), nullptr) << name;
    }
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(setupApi, "SetupDiGetClassDevsW"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(setupApi, reinterpret_cast<LPCSTR>(uintptr_t(5))), nullptr);
    EXPECT_TRUE(FreeLibrary(setupApi));
    EXPECT_TRUE(FreeLibrary(setupApi));
    EXPECT_FALSE(FreeLibrary(setupApi));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));

    FailSetupApiLoad(true);
    EXPECT_EQ(LoadLibraryA("SETUPAPI.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    FailSetupApiLoad(false);

    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("/nonexistent/Kld8ENU.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    HMODULE math = LoadLibraryA("libm.so.6");
    ASSERT_NE(math, nullptr);
    EXPECT_NE(GetProcAddress(math, "cos"), nullptr);
    EXPECT_TRUE(FreeLibrary(math));
    EXPECT_EQ(OpenWin32Handles().Total(), 0u);
}

} // namespace
