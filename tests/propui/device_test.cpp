// Kaldprop's Device against the real driver: a simulated camera brought up
// by the driver through the host stream class, published as a device
// interface of the host Win32 layer, and reached only through SetupAPI,
// CreateFileA and IOCTL_KS_PROPERTY as the property pages reach it.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device.h"
#include "driver_fixture.h"
#include "kald_host/host_device.h"
#include "kald_host/host_kernel.h"
#include "kald_host/host_win32.h"
#include "kald_sim/camera.h"

namespace {

using namespace kald::host;

const std::wstring kSettings = L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Settings";

const GUID kVideoClass = {STATIC_KSCATEGORY_VIDEO};
const GUID kCaptureClass = {STATIC_KSCATEGORY_CAPTURE};

// Virtual milliseconds since the clock was reset.
uint64_t NowMs()
{
    return Now100ns() / 10000;
}

// A page's dirty state as its base would keep it.
struct FakePage : PageDirtyState {
    void SetDirty(BOOL Dirty) override { dirty = Dirty; }
    BOOL dirty = FALSE;
};

class PropuiDeviceTest : public DriverFixture {
  protected:
    void TearDown() override
    {
        while (DeviceUseCount > 0) {
            ReleaseDevice();
        }
        EXPECT_EQ(SharedDevice, nullptr);
        SettingsChanged = FALSE;
        TearDownDevice();
    }
};

TEST_F(PropuiDeviceTest, TwoUsersShareOneHandleAndTheLastClosesIt)
{
    InterfacePublication published = PublishCamera(*hostDevice);

    ASSERT_TRUE(AcquireDevice());
    Device* first = SharedDevice;
    ASSERT_NE(first, nullptr);
    ASSERT_NE(first->Handle, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(AcquireDevice());
    EXPECT_EQ(SharedDevice, first);
    EXPECT_EQ(DeviceUseCount, 2);
    EXPECT_EQ(OpenWin32Handles().files, 1u);
    // The video class comes first.
    EXPECT_EQ(std::string(DevicePath), published.Paths()[0]);

    ReleaseDevice();
    ASSERT_EQ(SharedDevice, first);
    EXPECT_EQ(OpenWin32Handles().files, 1u);
    EXPECT_TRUE(SharedDevice->SetValue(EXT_SATURATION, 41));
    EXPECT_EQ(SharedDevice->GetValue(EXT_SATURATION), 41);

    ReleaseDevice();
    EXPECT_EQ(SharedDevice, nullptr);
    EXPECT_EQ(DeviceUseCount, 0);
    EXPECT_EQ(OpenWin32Handles().files, 0u);
    // An unbalanced release changes nothing.
    ReleaseDevice();
    EXPECT_EQ(DeviceUseCount, 0);
    EXPECT_TRUE(MessageBoxes().empty());
}

TEST_F(PropuiDeviceTest, FindsTheCameraByItsHardwareId)
{
    struct Case {
        const char* name;
        std::string hardwareId;
        bool video, capture;
        bool found;
    };
    const Case cases[] = {
        {"upper-case id in both classes", "USB\\VID_7A3C&PID_0E41&REV_0100", true, true, true},
        {"lower-case id still matches", "usb\\vid_7a3c&pid_0e41&rev_0100", true, false, true},
        {"mixed case", "USB\\Vid_7a3c&Pid_0e41", true, false, true},
        {"capture class only", "USB\\VID_7A3C&PID_0E41&REV_0100", false, true, true},
        {"another product", "USB\\VID_7A3C&PID_0E42&REV_0100", true, true, false},
        {"vendor and product apart", "USB\\VID_7A3C&REV_0100&PID_0E41", true, true, false},
        {"no interface class", "USB\\VID_7A3C&PID_0E41&REV_0100", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearMessageBoxes();
        CameraInterfaceOptions options;
        options.hardwareId = c.hardwareId;
        options.videoClass = c.video;
        options.captureClass = c.capture;
        InterfacePublication published = PublishCamera(*hostDevice, options);

        Device device;
        EXPECT_EQ(device.Handle != INVALID_HANDLE_VALUE, c.found);
        EXPECT_EQ(MessageBoxes().size(), c.found ? 0u : 1u);
        if (c.found) {
            EXPECT_EQ(std::string(DevicePath), published.Paths()[0]);
            EXPECT_EQ(device.GetValue(EXT_SATURATION), 32) << "the built-in default";
        }
    }
}

TEST_F(PropuiDeviceTest, OddHardwareIdsAndPathsAreHandledSafely)
{
    const std::string kId = "USB\\VID_7A3C&PID_0E41";
    struct Case {
        const char* name;
        std::string hardwareId;
        std::string devicePath;
        bool opened;
    };
    const Case cases[] = {
        {"the longest path DevicePath holds", kId, "\\\\?\\" + std::string(1019, 'p'), true},
        {"a path one byte too long is not cut short", kId, "\\\\?\\" + std::string(1020, 'p'),
         false},
        {"a path far too long", kId, std::string(40000, 'p'), false},
        {"only the first hardware id counts", std::string("USB\\OTHER\0", 11) + kId, "\\\\?\\a",
         false},
        {"an id longer than the buffer", std::string(2000, 'x') + kId, "\\\\?\\b", false},
        {"an id of high bytes", std::string(100, '\xE9') + kId, "\\\\?\\c", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearMessageBoxes();
        std::memset(DevicePath, 0, sizeof(DevicePath));
        InterfacePublication published =
            PublishDeviceInterface(*hostDevice, kVideoClass, c.hardwareId, c.devicePath);
        Device device;
        EXPECT_EQ(device.Handle != INVALID_HANDLE_VALUE, c.opened);
        EXPECT_EQ(MessageBoxes().size(), c.opened ? 0u : 1u);
        EXPECT_EQ(DevicePath[DevicePathSize - 1], '\0');
        if (c.opened) {
            EXPECT_EQ(std::string(DevicePath), c.devicePath);
            EXPECT_EQ(device.GetValue(EXT_GAMMA), 7);
        }
    }
}

TEST_F(PropuiDeviceTest, ExaminesAtMostAHundredInterfacesOfAClass)
{
    // 150 other devices in the video class, the camera's video interface
    // published 121st, after 120 of them.
    std::vector<InterfacePublication> others;
    for (int i = 0; i < 150; ++i) {
        if (i == 120) {
            CameraInterfaceOptions videoOnly;
            videoOnly.captureClass = false;
            others.push_back(PublishCamera(*hostDevice, videoOnly));
        }
        others.push_back(PublishDeviceInterface(nullptr, kVideoClass,
                                                "USB\\VID_1234&PID_" + std::to_string(1000 + i),
                                                "\\\\?\\other#" + std::to_string(i)));
    }
    {
        Device device;
        EXPECT_EQ(device.Handle, INVALID_HANDLE_VALUE) << "found beyond the hundredth interface";
        ASSERT_EQ(MessageBoxes().size(), 1u);
    }

    ClearMessageBoxes();
    CameraInterfaceOptions captureOnly;
    captureOnly.videoClass = false;
    InterfacePublication capture = PublishCamera(*hostDevice, captureOnly);
    Device device;
    ASSERT_NE(device.Handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::string(DevicePath), capture.Paths()[0]);
    EXPECT_TRUE(MessageBoxes().empty());
}

TEST_F(PropuiDeviceTest, WithoutACameraEveryRequestFailsAfterOneMessage)
{
    // Nothing published; then SetupAPI itself missing.
    for (bool setupApiLoads : {true, false}) {
        SCOPED_TRACE(setupApiLoads ? "no camera" : "no SetupAPI");
        FailSetupApiLoad(!setupApiLoads);
        ClearMessageBoxes();
        {
            Device device;
            EXPECT_EQ(device.Handle, INVALID_HANDLE_VALUE);
            const std::vector<MessageBoxRecord> boxes = MessageBoxes();
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].text, "WDM_open_dev failed");
            EXPECT_EQ(boxes[0].caption, "Device");
            EXPECT_EQ(boxes[0].type, UINT(MB_OK));

            EXPECT_TRUE(device.Refresh());
            for (size_t i = 0; i < CachedItemCount; ++i) {
                EXPECT_EQ(device.Cache[i], -1) << "slot " << i;
            }
            for (ULONG id = 0; id <= EXT_PACKET_ERROR_TEST; ++id) {
                EXPECT_EQ(device.GetValue(id), -1) << "id " << id;
                EXPECT_FALSE(device.SetValue(id, 1)) << "id " << id;
            }
            DWORD bytes = 0;
            ExtensionPropertyRecord record{};
            EXPECT_EQ(SendPropertyRequest(device.Handle, IOCTL_KS_PROPERTY, &record, sizeof(record),
                                          &record, sizeof(record), &bytes),
                      1u);
            EXPECT_EQ(DeviceIoControlCount(), 0u);
            EXPECT_EQ(MessageBoxes().size(), 1u) << "one message per Device";
        }
        Device second;
        EXPECT_EQ(MessageBoxes().size(), 2u) << "and one for each new Device";
    }
    FailSetupApiLoad(false);
}

TEST_F(PropuiDeviceTest, RejectedRequestsLeaveTheDriversErrorInGetLastError)
{
    InterfacePublication published = PublishCamera(*hostDevice);
    Device device;
    ASSERT_NE(device.Handle, INVALID_HANDLE_VALUE);

    struct Case {
        const char* name;
        bool isSet;
        ULONG id;
        LONG value;
        DWORD error;
    };
    const Case cases[] = {
        {"compression can only be on", true, EXT_COMPRESSION_STATE, 0, ERROR_NOT_SUPPORTED},
        {"saturation out of range", true, EXT_SATURATION, 64, ERROR_INVALID_PARAMETER},
        {"unsupported id", true, EXT_UNSUPPORTED_6, 1, ERROR_NOT_SUPPORTED},
        {"save is set-only", false, EXT_SAVE_SETTINGS, 0, ERROR_NOT_SUPPORTED},
        {"frame-error test is not answered", false, EXT_FRAME_ERROR_TEST, 0, ERROR_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        if (c.isSet) {
            EXPECT_FALSE(device.SetValue(c.id, c.value));
        } else {
            EXPECT_EQ(device.GetValue(c.id), -1);
        }
        EXPECT_EQ(GetLastError(), c.error);
    }
    // Nothing was taken.
    EXPECT_EQ(DriverValue(EXT_COMPRESSION_STATE), 1);
    EXPECT_EQ(DriverValue(EXT_SATURATION), 32);
}

TEST_F(PropuiDeviceTest, RefreshReadsEveryCachedItemInOrder)
{
    InterfacePublication published = PublishCamera(*hostDevice);
    Device device;
    ASSERT_NE(device.Handle, INVALID_HANDLE_VALUE);

    // A distinct value for every item that takes one; the table is in the
    // cache's order, with the value the driver gives back.
    struct Item {
        ULONG id;
        LONG set; // -2: left alone
        LONG expected;
    };
    const Item items[CachedItemCount] = {
        {EXT_AUTO_EXPOSURE_STATE, 0, 0},
        {EXT_AUTO_WHITE_BALANCE_STATE, 0, 0},
        {EXT_SATURATION, 40, 40},
        {EXT_EXPOSURE_TARGET, 100, 100},
        {EXT_WHITE_BALANCE_TARGET, 12, 12},
        {EXT_SHARPNESS, 3, 3},
        {EXT_HUE, 200, 200},
        {EXT_FLICKER_COMP_STATE, 1, 1},
        {EXT_FLICKER_COMP_FREQ, 1, 1},
        {EXT_CONTRAST, 500, 500},
        {EXT_GAMMA, 5, 5},
        {EXT_MS_TO_SKIP_PACKETS, 200, 200},
        {EXT_MAX_PACKET_SIZE_ALLOWED, 512, 512},
        {EXT_AEAWB_INTERVAL, 256, 256},
        {EXT_AE_PERIOD, 9, 9},
        {EXT_FIXED_AE_PERIOD_STATE, 0, 0},
        {EXT_AWB_PERIOD, 3, 3},
        {EXT_FIXED_AWB_PERIOD_STATE, 0, 0},
        {EXT_COMPRESSION_STATE, -2, 1},
        {EXT_FRAME_ERROR_TEST, -2, -1}, // the driver never answers it
        {EXT_DPC_STATE, 0, 0},
        {EXT_EXPOSURE_TIME, 4, 4}, // 292 shutter rows and back
        {EXT_GAIN, 12, 12},
    };
    for (size_t i = 0; i < CachedItemCount; ++i) {
        ASSERT_EQ(CachedItemIds[i], items[i].id) << "slot " << i;
        if (items[i].set != -2) {
            ASSERT_TRUE(device.SetValue(items[i].id, items[i].set)) << "id " << items[i].id;
        }
    }

    const size_t before = DeviceIoControlCount();
    EXPECT_TRUE(device.Refresh());
    EXPECT_EQ(DeviceIoControlCount() - before, CachedItemCount);
    for (size_t i = 0; i < CachedItemCount; ++i) {
        EXPECT_EQ(device.Cache[i], items[i].expected) << "slot " << i << ", id " << items[i].id;
        EXPECT_EQ(device.CachedValue(items[i].id), items[i].expected);
    }
    EXPECT_EQ(device.CachedValue(EXT_SAVE_SETTINGS), -1) << "not cached";
}

TEST_F(PropuiDeviceTest, ClosingWithoutApplyReloadsOnceAndTheNextUserSavesFirst)
{
    InterfacePublication published = PublishCamera(*hostDevice);
    FakePage picture, flicker;

    ASSERT_TRUE(AcquireDevice());
    ASSERT_TRUE(AcquireDevice());
    EXPECT_EQ(SharedDevice->CachedValue(EXT_SATURATION), 32);
    ASSERT_TRUE(SharedDevice->SetValue(EXT_SATURATION, 50));
    MarkChanged(TRUE, picture);
    EXPECT_TRUE(SettingsChanged);
    EXPECT_TRUE(picture.dirty);
    EXPECT_FALSE(flicker.dirty);

    size_t before = DeviceIoControlCount();
    ReleaseDevice();
    EXPECT_EQ(DeviceIoControlCount(), before) << "another page still holds the device";
    ReleaseDevice();
    EXPECT_EQ(DeviceIoControlCount() - before, 1u) << "one EXT_RELOAD_SETTINGS";
    EXPECT_EQ(DriverValue(EXT_SATURATION), 32) << "the unapplied change was undone";
    EXPECT_TRUE(SettingsChanged) << "kept for the next first user";
    EXPECT_FALSE(RegistryGetDword(kSettings, L"Saturation").has_value());

    // The next first user saves before it reads: with its first request
    // left pending for good, the save is lost and every read arrives.
    PendNextDeviceIoControl(std::nullopt);
    const uint64_t start = NowMs();
    before = DeviceIoControlCount();
    ASSERT_TRUE(AcquireDevice());
    EXPECT_EQ(DeviceIoControlCount() - before, 1 + CachedItemCount);
    EXPECT_EQ(NowMs() - start, uint64_t(PropertyRequestTimeoutMs)) << "the save waited";
    EXPECT_FALSE(SettingsChanged);
    EXPECT_EQ(RegistryGetDword(kSettings, L"Saturation"), 32u) << "the request reached the driver";
    for (size_t i = 0; i < CachedItemCount; ++i) {
        if (CachedItemIds[i] != EXT_FRAME_ERROR_TEST) {
            EXPECT_NE(SharedDevice->Cache[i], -1) << "slot " << i;
        }
    }
}

TEST_F(PropuiDeviceTest, ApplySavesAndClosingThenLeavesTheSettings)
{
    InterfacePublication published = PublishCamera(*hostDevice);
    FakePage page;

    ASSERT_TRUE(AcquireDevice());
    ASSERT_TRUE(SharedDevice->SetValue(EXT_SHARPNESS, 2));
    MarkChanged(TRUE, page);

    CommitChanges();
    MarkChanged(FALSE, page);
    EXPECT_FALSE(SettingsChanged);
    EXPECT_FALSE(page.dirty);
    EXPECT_EQ(RegistryGetDword(kSettings, L"Sharpness"), 2u);

    // Nothing pending: neither a second save nor a reload.
    const size_t before = DeviceIoControlCount();
    CommitChanges();
    ReleaseDevice();
    EXPECT_EQ(DeviceIoControlCount(), before);
    EXPECT_EQ(DriverValue(EXT_SHARPNESS), 2);
}

TEST_F(PropuiDeviceTest, APendingRequestCountsOnlyWhenItCompletesWithinThreeSeconds)
{
    InterfacePublication published = PublishCamera(*hostDevice);
    Device device;
    ASSERT_NE(device.Handle, INVALID_HANDLE_VALUE);

    struct Case {
        std::optional<uint32_t> completesAfterMs;
        bool succeeds;
    };
    const Case cases[] = {
        {0, true},
        {2999, true},
        {3001, false},
        {std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.completesAfterMs ? std::to_string(*c.completesAfterMs) : "never");
        PendNextDeviceIoControl(c.completesAfterMs);
        const uint64_t start = NowMs();
        SetLastError(0);
        const LONG value = device.GetValue(EXT_HUE);
        EXPECT_EQ(value, c.succeeds ? 179 : -1);
        if (!c.succeeds) {
            EXPECT_EQ(NowMs() - start, uint64_t(PropertyRequestTimeoutMs));
            EXPECT_NE(GetLastError(), DWORD(0));
        }
    }

    // A set that pends and completes in time is taken.
    PendNextDeviceIoControl(10);
    EXPECT_TRUE(device.SetValue(EXT_HUE, 90));
    EXPECT_EQ(DriverValue(EXT_HUE), 90);
}

TEST_F(PropuiDeviceTest, TheWireRecordCarriesTheValueAtOffset28)
{
    InterfacePublication published = PublishCamera(*hostDevice);
    const std::string path = published.Paths()[0];
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);

    // {D410004E-2501-44DF-ACB3-7BA8867F17D4} as it lies in memory, then the
    // id, the flags, the reserved word and the value, all little-endian.
    const unsigned char kSetBytes[16] = {0x4E, 0x00, 0x10, 0xD4, 0x01, 0x25, 0xDF, 0x44,
                                         0xAC, 0xB3, 0x7B, 0xA8, 0x86, 0x7F, 0x17, 0xD4};
    auto makeRecord = [&](unsigned char id, unsigned char flags, unsigned char value) {
        std::vector<unsigned char> record(32, 0);
        std::memcpy(record.data(), kSetBytes, sizeof(kSetBytes));
        record[16] = id;
        record[20] = flags;
        record[28] = value;
        return record;
    };
    const DWORD kIoctlKsProperty = 0x2F0003;
    ASSERT_EQ(DWORD(IOCTL_KS_PROPERTY), kIoctlKsProperty);

    // Set saturation (3) to 45 (0x2D).
    std::vector<unsigned char> set = makeRecord(3, 2, 0x2D);
    DWORD bytes = 0;
    EXPECT_TRUE(
        DeviceIoControl(file, kIoctlKsProperty, set.data(), 32, set.data(), 32, &bytes, NULL));

    // Get it back: the driver writes offset 28 and reports 32 bytes.
    std::vector<unsigned char> get = makeRecord(3, 1, 0);
    std::memset(get.data() + 24, 0, 8);
    bytes = 0;
    ASSERT_TRUE(
        DeviceIoControl(file, kIoctlKsProperty, get.data(), 32, get.data(), 32, &bytes, NULL));
    EXPECT_EQ(bytes, 32u);
    const unsigned char expected[4] = {0x2D, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::memcmp(get.data() + 28, expected, 4), 0);
    EXPECT_EQ(std::memcmp(get.data(), kSetBytes, 16), 0) << "the header comes back unchanged";

    // Device reads the same bytes.
    Device device;
    EXPECT_EQ(device.GetValue(EXT_SATURATION), 45);
    CloseHandle(file);
}

} // namespace
