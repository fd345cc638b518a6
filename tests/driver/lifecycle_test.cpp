// The device callbacks against a simulated camera: buffers and their release,
// the choice of camera mode, bandwidth allocation and release, capture start
// and stop, and a whole device life leaving the pool empty.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "controls/settings.h"
#include "core/lifecycle.h"
#include "datapath/packet_sync.h"
#include "datapath/raw_frame.h"
#include "imaging/pipeline_tables.h"
#include "kald_host/host_kernel.h"
#include "kald_host/host_usb.h"
#include "kald_sim/camera.h"

namespace {

constexpr ULONG kTag = 0x206D6457; // "Wdm "

// The working buffers without the interface copy:
// 118,912 * 3 (raw lines, luma, work B) + 154,752 (work A) + 116,864 (saved).
constexpr size_t kWorkingBufferBytes = 628352;

// A video interface description with two pipes, as the library passes it.
struct TwoPipeInterface {
    USBD_INTERFACE_INFORMATION Info;
    USBD_PIPE_INFORMATION SecondPipe;
};

class LifecycleTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        kald::host::RegistryClear();
        kald::host::ResetPool();
        kald::host::ResetClock();
        ResetPipelineTables();
        camera = std::make_unique<kald::sim::Camera>();
        kald::host::BindDevice(&context, camera.get());
        std::memset(&iface, 0, sizeof iface);
        iface.Info.Length = sizeof iface;
        iface.Info.NumberOfPipes = 2;
        iface.Info.AlternateSetting = 7;
        iface.Info.InterfaceNumber = 0;
        iface.Info.Pipes[0].MaximumTransferSize = 1234;
        iface.SecondPipe.MaximumTransferSize = 99;
    }
    void TearDown() override
    {
        // Leave nothing behind for the next test, whatever it failed on.
        ReleaseBuffers(&context);
        CamUnInitialize(&bus, &context);
        kald::host::BindDevice(&context, nullptr);
        kald::host::SetPoolLimit(std::nullopt);
        kald::host::FailPoolAllocation(0);
    }

    NTSTATUS Configure()
    {
        return CamConfigureEx(&bus, &context, &iface.Info, &configuration, 2, pipeConfig, &device);
    }

    // Configured and initialised, as the library leaves a device after start.
    void Bring()
    {
        ASSERT_EQ(Configure(), STATUS_SUCCESS);
        ASSERT_EQ(CamInitialize(&bus, &context), STATUS_SUCCESS);
    }

    static KS_DATAFORMAT_VIDEOINFOHEADER Format(LONG width, LONG height, LONGLONG interval)
    {
        KS_DATAFORMAT_VIDEOINFOHEADER f{};
        f.DataFormat.FormatSize = sizeof f;
        f.VideoInfoHeader.AvgTimePerFrame = interval;
        f.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
        f.VideoInfoHeader.bmiHeader.biWidth = width;
        f.VideoInfoHeader.bmiHeader.biHeight = height;
        f.VideoInfoHeader.bmiHeader.biCompression = FOURCC_I420;
        return f;
    }

    NTSTATUS Allocate(KS_DATAFORMAT_VIDEOINFOHEADER format, ULONG* rawLength)
    {
        return CamAllocateBandwidthEx(&bus, &context, rawLength, &format, 0);
    }

    static void SetMaxPacket(ULONG bytes)
    {
        kald::host::RegistrySetDword(KALDRIN_SETTINGS_KEY, L"Max Packet Size Allowed", bytes);
    }

    DEVICE_OBJECT bus{};
    USB_CONFIGURATION_DESCRIPTOR configuration{};
    USB_DEVICE_DESCRIPTOR device{};
    USBCAMD_Pipe_Config_Descriptor pipeConfig[2]{{9, 9}, {9, 9}};
    TwoPipeInterface iface{};
    std::unique_ptr<kald::sim::Camera> camera;
    CameraContext context{};
};

TEST_F(LifecycleTest, CallbackTableInSlotOrder)
{
    EXPECT_EQ(CamDeviceData.Sig, 0u);
    EXPECT_EQ(CamDeviceData.CamInitialize, &CamInitialize);
    EXPECT_EQ(CamDeviceData.CamUnInitialize, &CamUnInitialize);
    EXPECT_EQ(CamDeviceData.CamProcessUSBPacketEx, &CamProcessUSBPacketEx);
    EXPECT_EQ(CamDeviceData.CamNewVideoFrameEx, &CamNewVideoFrameEx);
    EXPECT_EQ(CamDeviceData.CamProcessRawVideoFrameEx, &CamProcessRawVideoFrameEx);
    EXPECT_EQ(CamDeviceData.CamStartCaptureEx, &CamStartCaptureEx);
    EXPECT_EQ(CamDeviceData.CamStopCaptureEx, &CamStopCaptureEx);
    EXPECT_EQ(CamDeviceData.CamConfigureEx, &CamConfigureEx);
    EXPECT_EQ(CamDeviceData.CamSaveState, &CamSaveState);
    EXPECT_EQ(CamDeviceData.CamRestoreState, &CamSaveState);
    EXPECT_EQ(CamDeviceData.CamAllocateBandwidthEx, &CamAllocateBandwidthEx);
    EXPECT_EQ(CamDeviceData.CamFreeBandwidthEx, &CamFreeBandwidthEx);
    EXPECT_EQ(CamSaveState(&bus, &context), STATUS_SUCCESS);
}

TEST_F(LifecycleTest, ConfigureAllocatesBuffersAndCopiesInterface)
{
    context.PacketCount = 5;       // inside the cleared range
    context.AwbStepsInPhase = 3;   // its last field
    context.MsClock = 44;          // reset separately
    context.CameraRevision = 0x21; // outside the range: kept
    context.CaptureActive = 1;
    ASSERT_EQ(Configure(), STATUS_SUCCESS);

    EXPECT_EQ(kald::host::PoolBytesInUse(kTag), kWorkingBufferBytes + sizeof iface);
    EXPECT_EQ(kald::host::PoolAllocationsInUse(kTag), 6u);
    EXPECT_EQ(std::memcmp(context.Signature, "KD31", 4), 0);
    EXPECT_EQ(context.DeviceState, ULONG(Configured));
    EXPECT_EQ(context.PacketCount, 0u);
    EXPECT_EQ(context.AwbStepsInPhase, 0);
    EXPECT_EQ(context.MsClock, 0u);
    EXPECT_EQ(context.CaptureActive, 0);
    EXPECT_EQ(context.CameraRevision, 0x21);

    ASSERT_NE(context.RawLineBuffer, nullptr);
    ASSERT_NE(context.LumaWorkBuffer, nullptr);
    ASSERT_NE(context.WorkBufferA, nullptr);
    ASSERT_NE(context.WorkBufferB, nullptr);
    ASSERT_NE(context.SavedFrameBuffer, nullptr);
    EXPECT_EQ(context.SavedFrameCapacity, 116864u);
    EXPECT_EQ(context.SavedFrameLength, 0u);
    const std::vector<UCHAR> zeros(116864, 0);
    EXPECT_EQ(std::memcmp(context.SavedFrameBuffer, zeros.data(), zeros.size()), 0);

    // The caller's description is changed, and copied whole.
    EXPECT_EQ(iface.Info.AlternateSetting, 0);
    EXPECT_EQ(iface.Info.Pipes[0].MaximumTransferSize, 32768u);
    EXPECT_EQ(iface.SecondPipe.MaximumTransferSize, 99u);
    ASSERT_NE(context.InterfaceInfo, nullptr);
    EXPECT_NE(static_cast<void*>(context.InterfaceInfo), static_cast<void*>(&iface));
    EXPECT_EQ(std::memcmp(context.InterfaceInfo, &iface, sizeof iface), 0);

    // Pipe 0 is the video data pipe; the other is of no interest.
    EXPECT_EQ(pipeConfig[0].StreamAssociation, USBCAMD_VIDEO_STREAM);
    EXPECT_EQ(pipeConfig[0].PipeConfigFlags, USBCAMD_DATA_PIPE);
    EXPECT_EQ(pipeConfig[1].PipeConfigFlags, USBCAMD_DONT_CARE_PIPE);
}

TEST_F(LifecycleTest, NullArgumentLeavesStateConfiguredAndAllocatesNothing)
{
    // Which of the five pointers is missing.
    for (int missing = 0; missing < 5; ++missing) {
        SCOPED_TRACE(missing);
        context.DeviceState = Initialized;
        const NTSTATUS status = CamConfigureEx(
            missing == 0 ? nullptr : &bus, &context, missing == 1 ? nullptr : &iface.Info,
            missing == 2 ? nullptr : &configuration, 2, missing == 3 ? nullptr : pipeConfig,
            missing == 4 ? nullptr : &device);
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(context.DeviceState, ULONG(Configured));
        EXPECT_EQ(kald::host::PoolBytesInUse(kTag), 0u);
    }
}

TEST_F(LifecycleTest, DescriptionShorterThanItsPipesIsRejected)
{
    iface.Info.Length = sizeof(USBD_INTERFACE_INFORMATION); // room for one pipe of two
    EXPECT_EQ(Configure(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(kald::host::PoolBytesInUse(kTag), 0u);
    EXPECT_EQ(context.InterfaceInfo, nullptr);
}

TEST_F(LifecycleTest, FailedAllocationReleasesWhatWasAllocated)
{
    struct Case {
        size_t failingAllocation; // 1: the interface copy, 2..5: working buffers, 6: saved frame
        size_t bytesLeft;         // in use after the failed configure
    };
    const Case cases[] = {
        {1, 0},
        {2, sizeof(TwoPipeInterface)},
        {3, sizeof(TwoPipeInterface)},
        {4, sizeof(TwoPipeInterface)},
        {5, sizeof(TwoPipeInterface)},
        {6, sizeof(TwoPipeInterface)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failingAllocation);
        context = CameraContext{};
        kald::host::FailPoolAllocation(c.failingAllocation);
        EXPECT_EQ(Configure(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(kald::host::PoolBytesInUse(kTag), c.bytesLeft);
        EXPECT_EQ(context.RawLineBuffer, nullptr);
        EXPECT_EQ(context.LumaWorkBuffer, nullptr);
        EXPECT_EQ(context.WorkBufferA, nullptr);
        EXPECT_EQ(context.WorkBufferB, nullptr);
        EXPECT_EQ(context.SavedFrameBuffer, nullptr);
        EXPECT_EQ(context.SavedFrameCapacity, 0u);
        // The interface copy goes at un-initialisation.
        EXPECT_EQ(CamUnInitialize(&bus, &context), STATUS_SUCCESS);
        EXPECT_EQ(context.InterfaceInfo, nullptr);
        EXPECT_EQ(kald::host::PoolBytesInUse(kTag), 0u);
        EXPECT_EQ(kald::host::PoolStats().badFrees, 0u);
    }
}

TEST_F(LifecycleTest, PoolTooSmallForTheLastBufferFailsCleanly)
{
    kald::host::SetPoolLimit(kWorkingBufferBytes + sizeof iface - 1);
    EXPECT_EQ(Configure(), STATUS_INSUFFICIENT_RESOURCES);
    CamUnInitialize(&bus, &context);
    EXPECT_EQ(kald::host::PoolBytesInUse(kTag), 0u);
}

TEST_F(LifecycleTest, SecondConfigureDoesNotLeakTheFirstBuffers)
{
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    EXPECT_EQ(kald::host::PoolBytesInUse(kTag), kWorkingBufferBytes + sizeof iface);
    EXPECT_EQ(kald::host::PoolAllocationsInUse(kTag), 6u);
}

TEST_F(LifecycleTest, ReleaseBuffersKeepsInterfaceAndToleratesRepeats)
{
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    ReleaseBuffers(&context);
    EXPECT_EQ(kald::host::PoolBytesInUse(kTag), sizeof iface);
    EXPECT_EQ(context.SavedFrameCapacity, 0u);
    ReleaseBuffers(&context);
    EXPECT_EQ(kald::host::PoolStats().badFrees, 0u);
    CamUnInitialize(&bus, &context);
    CamUnInitialize(&bus, &context);
    EXPECT_EQ(kald::host::PoolBytesInUse(kTag), 0u);
    EXPECT_EQ(kald::host::PoolStats().badFrees, 0u);
}

TEST_F(LifecycleTest, InitializeLoadsCalibrationState)
{
    struct Case {
        bool present;
        ULONG dpcState;
    };
    for (const Case& c : {Case{true, 1}, Case{false, 0}}) {
        SCOPED_TRACE(c.present);
        kald::sim::CameraConfig config;
        config.Calibration.Present = c.present;
        kald::sim::Camera cam(config);
        kald::host::BindDevice(&context, &cam);
        context.CameraSettings.DpcState = 7;
        EXPECT_EQ(CamInitialize(&bus, &context), STATUS_SUCCESS);
        EXPECT_EQ(context.CameraSettings.DpcState, c.dpcState);
        EXPECT_EQ(context.DeviceState, ULONG(Initialized));
        kald::host::BindDevice(&context, camera.get());
    }
}

TEST(ChooseStartingRowTest, Examples)
{
    struct Case {
        ULONG width, frameRate, maxPacket, row;
    };
    const Case cases[] = {
        {176, 30, 1024, 0}, // 880-byte packets fit
        {176, 15, 1024, 2}, // the slowest row still at 15
        {176, 21, 1024, 1},
        {176, 25, 1024, 0}, // only row 0 reaches 25
        {176, 30, 700, 1},  // 880 too big, 640 fits
        {176, 30, 640, 1},  // exactly 160 quads
        {176, 30, 639, 2},
        {176, 30, 128, 2},  // nothing fits: the last row
        {176, 5, 1024, 2},  // every row reaches 5
        {352, 30, 1024, 0}, // none reaches 30: the fastest
        {352, 10, 1024, 1},
        {352, 15, 700, 1}, // 768 too big
        {352, 15, 128, 1},
        {320, 15, 1024, 0},
        {320, 15, 512, 1},
        {160, 60, 1024, 0},
        {160, 30, 704, 0},
        {160, 30, 703, 1},
        {160, 21, 1024, 1},
        {160, 30, 128, 1},
        {176, 0x10000 + 15, 1024, 2}, // the rate compares as 16 bits
        {200, 30, 1024, 0},           // no such width
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "@" << c.frameRate << " max " << c.maxPacket);
        EXPECT_EQ(ChooseStartingRow(c.width, c.frameRate, c.maxPacket), c.row);
    }
}

TEST_F(LifecycleTest, AllocateBandwidthChoosesModeAndSetting)
{
    struct Case {
        LONG width, height;
        LONGLONG interval; // AvgTimePerFrame, 100 ns
        ULONG maxPacket;
        UCHAR alternate;
        USHORT clock, blanking, fps, quads, reg8502;
        USHORT packetSize; // what the selection reports for the data pipe
    };
    const Case cases[] = {
        {176, 144, 333333, 1024, 2, 3, 0, 30, 220, 0, 880},
        {176, 144, 666666, 1024, 8, 8, 0, 15, 128, 0, 512},
        {176, 144, 333333, 700, 4, 5, 0, 21, 160, 0, 640},
        {176, 144, 5, 1024, 2, 3, 0, 30, 220, 0, 880}, // below 10: 30 frames/s
        {176, 144, 0, 1024, 2, 3, 0, 30, 220, 0, 880},
        {352, 288, 333333, 1024, 12, 8, 7, 15, 192, 2, 768},
        {352, 288, 1000000, 1024, 3, 13, 9, 10, 128, 2, 512},
        {320, 240, 333333, 128, 3, 13, 0, 10, 128, 2, 512},
        {160, 120, 166666, 1024, 5, 3, 0, 30, 176, 0, 704}, // 60 frames/s asked
        {160, 120, 333333, 128, 3, 5, 0, 21, 128, 0, 512},
        {176, 144, 0x100000000LL + 666666, 1024, 8, 8, 0, 15, 128, 0, 512}, // low 32 bits
    };
    Bring();
    ULONG count = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " interval " << c.interval);
        SetMaxPacket(c.maxPacket);
        context.PacketErrorCount = 9;
        context.NextPacketSequence = 4;
        context.FormatModeCode = 3;
        ULONG raw = 77;
        EXPECT_EQ(Allocate(Format(c.width, c.height, c.interval), &raw), STATUS_SUCCESS);
        EXPECT_EQ(context.BandwidthAllocationCount, ++count);
        EXPECT_EQ(raw, 116864u);
        EXPECT_EQ(camera->AlternateSetting(), c.alternate);
        EXPECT_EQ(context.InterfaceInfo->AlternateSetting, c.alternate);
        EXPECT_EQ(context.InterfaceInfo->Pipes[0].MaximumPacketSize, c.packetSize);
        EXPECT_EQ(context.FrameWidth, ULONG(c.width));
        EXPECT_EQ(context.FrameHeight, ULONG(c.height));
        EXPECT_EQ(context.FrameFourCC, FOURCC_I420);
        EXPECT_EQ(context.ModeClockDivider, c.clock);
        EXPECT_EQ(context.ModeVerticalBlanking, c.blanking);
        EXPECT_EQ(context.ModeShutterHigh, 16);
        EXPECT_EQ(context.ModeFrameRate, c.fps);
        EXPECT_EQ(context.ModePacketQuads, c.quads);
        EXPECT_EQ(context.ModeReg8702, 0x81);
        EXPECT_EQ(context.ModeReg8505, 0);
        EXPECT_EQ(context.ModeReg8502, c.reg8502);
        EXPECT_EQ(context.PacketErrorCount, 0u);
        EXPECT_EQ(context.NextPacketSequence, 0);
        EXPECT_EQ(context.FormatModeCode, 0u);
        EXPECT_EQ(context.CameraSettings.MaxPacketSizeAllowed, c.maxPacket);
    }
}

TEST_F(LifecycleTest, RejectedSettingTriesTheFollowingRowsOnly)
{
    Bring();
    camera->RejectAlternateSetting(2);
    camera->ClearLogs();
    ULONG raw = 0;
    ASSERT_EQ(Allocate(Format(176, 144, 333333), &raw), STATUS_SUCCESS);
    EXPECT_EQ(raw, 116864u);
    EXPECT_EQ(camera->AlternateSetting(), 4);
    EXPECT_EQ(context.ModeFrameRate, 21);
    const auto log = camera->AlternateSelectionLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].AlternateSetting, 2);
    EXPECT_EQ(log[1].AlternateSetting, 4);

    // Starting at row 1 (700 bytes allowed) never goes back to row 0.
    SetMaxPacket(700);
    camera->RejectAlternateSetting(2, false);
    camera->RejectAlternateSetting(4);
    camera->ClearLogs();
    ASSERT_EQ(Allocate(Format(176, 144, 333333), &raw), STATUS_SUCCESS);
    const auto second = camera->AlternateSelectionLog();
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0].AlternateSetting, 4);
    EXPECT_EQ(second[1].AlternateSetting, 8);
}

TEST_F(LifecycleTest, NoSelectableRowFailsWithZeroLength)
{
    Bring();
    camera->RejectAlternateSetting(5);
    camera->RejectAlternateSetting(3);
    ULONG raw = 77;
    EXPECT_EQ(Allocate(Format(160, 120, 333333), &raw), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(raw, 0u);
    EXPECT_EQ(camera->AlternateSelectionLog().size(), 2u);

    // The bus's own refusal is reported the same way.
    camera->RejectAlternateSetting(5, false);
    camera->RejectAlternateSetting(3, false);
    camera->SetBandwidthBudget(256);
    raw = 77;
    EXPECT_EQ(Allocate(Format(160, 120, 333333), &raw), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(raw, 0u);
}

TEST_F(LifecycleTest, AllocateWithoutInterfaceFails)
{
    // A configure that failed leaves no interface copy to select with.
    ULONG raw = 77;
    EXPECT_EQ(Allocate(Format(176, 144, 333333), &raw), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(raw, 0u);
}

TEST_F(LifecycleTest, FreeBandwidthSettlesTheClockByProbation)
{
    struct Case {
        ULONG probation;
        ULONG clockAfter;
    };
    const Case cases[] = {{0, 0}, {1, 1}, {2, 777}};
    Bring();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.probation);
        ULONG raw = 0;
        ASSERT_EQ(Allocate(Format(176, 144, 333333), &raw), STATUS_SUCCESS);
        context.ProbationState = c.probation;
        context.MsClock = 777;
        context.DeviceState = CaptureStopped;
        EXPECT_EQ(CamFreeBandwidthEx(&bus, &context, 0), STATUS_SUCCESS);
        EXPECT_EQ(context.DeviceState, ULONG(BandwidthFreed));
        EXPECT_EQ(context.MsClock, c.clockAfter);
        EXPECT_EQ(kald::host::RegistryGetDword(KALDRIN_KEY, L"Current MS clock"), c.clockAfter);
        EXPECT_EQ(camera->AlternateSetting(), 0);
        EXPECT_EQ(context.InterfaceInfo->AlternateSetting, 0);
        EXPECT_NE(context.InterfaceInfo, nullptr);
    }
}

TEST_F(LifecycleTest, ProbationCarriesIntoTheNextRun)
{
    struct Case {
        ULONG probationAtFree;
        ULONG probationNext;
    };
    for (const Case& c : {Case{0, 0}, Case{1, 2}, Case{2, 2}}) {
        SCOPED_TRACE(c.probationAtFree);
        kald::host::RegistryClear();
        context = CameraContext{};
        Bring();
        ULONG raw = 0;
        ASSERT_EQ(Allocate(Format(176, 144, 333333), &raw), STATUS_SUCCESS);
        EXPECT_EQ(context.ProbationState, 0u);
        context.MsClock = 5000;
        context.ProbationState = c.probationAtFree;
        ASSERT_EQ(CamFreeBandwidthEx(&bus, &context, 0), STATUS_SUCCESS);
        ASSERT_EQ(Allocate(Format(176, 144, 333333), &raw), STATUS_SUCCESS);
        EXPECT_EQ(context.ProbationState, c.probationNext);
        CamFreeBandwidthEx(&bus, &context, 0);
        ReleaseBuffers(&context);
        CamUnInitialize(&bus, &context);
    }
}

TEST_F(LifecycleTest, StartAndStopCapture)
{
    Bring();
    ULONG raw = 0;
    ASSERT_EQ(Allocate(Format(176, 144, 333333), &raw), STATUS_SUCCESS);
    context.AutoPhase = 1;
    context.AeStepsInPhase = 4;
    context.StillLatch = 1;
    EXPECT_EQ(CamStartCaptureEx(&bus, &context, 0), STATUS_SUCCESS);
    EXPECT_EQ(context.DeviceState, ULONG(Capturing));
    EXPECT_EQ(context.AutoPhase, 0u);
    EXPECT_EQ(context.AeStepsInPhase, 0);
    EXPECT_EQ(context.StillLatch, 0);
    EXPECT_EQ(context.CaptureActive, 1);
    EXPECT_EQ(camera->Streaming(), true);
    EXPECT_EQ(kald::host::RegistryGetDword(KALDRIN_PRESENCE_KEY, L"ORVIDevice"), 1u);
    EXPECT_EQ(kald::host::RegistryGetDword(KALDRIN_PRESENCE_KEY, L"StillEvtSupported"), 1u);

    EXPECT_EQ(CamStopCaptureEx(&bus, &context, 0), STATUS_SUCCESS);
    EXPECT_EQ(context.DeviceState, ULONG(CaptureStopped));
    EXPECT_EQ(context.CaptureActive, 0);
    EXPECT_EQ(camera->Streaming(), false);
}

TEST_F(LifecycleTest, RemovedStaysRemoved)
{
    Bring();
    ULONG raw = 0;
    ASSERT_EQ(Allocate(Format(352, 288, 333333), &raw), STATUS_SUCCESS);
    ASSERT_EQ(CamStartCaptureEx(&bus, &context, 0), STATUS_SUCCESS);
    context.DeviceState = Removed;
    EXPECT_EQ(CamStopCaptureEx(&bus, &context, 0), STATUS_SUCCESS);
    EXPECT_EQ(context.DeviceState, ULONG(Removed));
    EXPECT_EQ(context.CaptureActive, 0);
    ReleaseBuffers(&context);
    // A free after removal also gives back the interface copy.
    EXPECT_EQ(CamFreeBandwidthEx(&bus, &context, 0), STATUS_SUCCESS);
    EXPECT_EQ(context.DeviceState, ULONG(Removed));
    EXPECT_EQ(context.InterfaceInfo, nullptr);
    EXPECT_EQ(camera->AlternateSetting(), 0);
    EXPECT_EQ(kald::host::PoolBytesInUse(kTag), 0u);
    EXPECT_EQ(CamFreeBandwidthEx(&bus, &context, 0), STATUS_SUCCESS);
}

TEST_F(LifecycleTest, WholeDeviceLifeLeavesThePoolEmpty)
{
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    ASSERT_EQ(CamInitialize(&bus, &context), STATUS_SUCCESS);
    struct Size {
        LONG width, height;
    };
    for (const Size& size : {Size{176, 144}, Size{320, 240}}) {
        SCOPED_TRACE(size.width);
        ULONG raw = 0;
        ASSERT_EQ(Allocate(Format(size.width, size.height, 333333), &raw), STATUS_SUCCESS);
        ASSERT_EQ(CamStartCaptureEx(&bus, &context, 0), STATUS_SUCCESS);
        ASSERT_EQ(CamStopCaptureEx(&bus, &context, 0), STATUS_SUCCESS);
        ASSERT_EQ(CamFreeBandwidthEx(&bus, &context, 0), STATUS_SUCCESS);
        EXPECT_EQ(context.DeviceState, ULONG(BandwidthFreed));
    }
    ASSERT_EQ(CamUnInitialize(&bus, &context), STATUS_SUCCESS);
    context.DeviceState = Removed;
    ReleaseBuffers(&context);
    EXPECT_EQ(kald::host::PoolBytesInUse(kTag), 0u);
    EXPECT_EQ(kald::host::PoolAllocationsInUse(kTag), 0u);
    EXPECT_EQ(kald::host::PoolStats().badFrees, 0u);
}

} // namespace
