// The whole device through requests only, as a capture application drives
// it: the driver loaded by the host stream class, simulated cameras on a
// host bus, and every step a stream request.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture_client.h"
#include "kald_host/host_kernel.h"
#include "kald_sim/camera.h"

extern char** environ;

namespace {

using namespace kald::host;
using namespace kald::test;

constexpr ULONG kPoolTag = 0x206D6457; // "Wdm "

const std::wstring kOrvi8 = L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8";
const std::wstring kSettings = kOrvi8 + L"\\Settings";

// Frame intervals, 100-ns units.
constexpr LONGLONG k30fps = 333333;
constexpr LONGLONG k21fps = 476190;
constexpr LONGLONG k15fps = 666666;
constexpr LONGLONG k10fps = 1000000;

// One device's reads: two buffers of the picture size always queued, each
// filled one recorded and queued again.
struct Client {
    HostDevice* Device;
    ULONG Bytes;
    std::vector<ReadResult> Frames;
    std::deque<std::vector<UCHAR>> Buffers; // stable while reads are queued
};

class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        RegistryClear();
        ResetPool();
        ResetClock();
        ResetRequestViolations();
        driver = std::make_unique<HostDriver>(DriverEntry);
        ASSERT_TRUE(driver->Loaded());
    }

    void TearDown() override
    {
        SetPoolLimit(std::nullopt);
        EXPECT_EQ(RequestViolationCounts().Total(), 0u);
    }

    // Runs the bus in 10 ms steps until every client has `frames` reads back
    // or `limitMs` has passed.
    void Capture(std::vector<Client*> clients, size_t frames, ULONG limitMs = 3000)
    {
        for (Client* c : clients) {
            while (c->Device->PendingReads() < 2) {
                c->Buffers.emplace_back(c->Bytes, UCHAR(0));
                ASSERT_EQ(c->Device->Read(c->Buffers.back().data(), c->Bytes), STATUS_PENDING);
            }
        }
        for (ULONG ms = 0; ms < limitMs; ms += 10) {
            bool done = true;
            for (const Client* c : clients) {
                done = done && c->Frames.size() >= frames;
            }
            if (done) {
                return;
            }
            bus.Run(10);
            for (Client* c : clients) {
                for (const ReadResult& read : c->Device->TakeCompletedReads()) {
                    c->Frames.push_back(read);
                    ASSERT_EQ(read.Status, STATUS_SUCCESS);
                    ASSERT_EQ(c->Device->Read(read.Buffer, read.Length), STATUS_PENDING);
                }
            }
        }
    }

    HostBus bus;
    std::unique_ptr<HostDriver> driver;
};

// Every delivered frame is a whole I420 picture of the format, with a
// picture in it.
void ExpectWholePictures(const Client& client, ULONG width, ULONG height)
{
    ASSERT_FALSE(client.Frames.empty());
    for (const ReadResult& frame : client.Frames) {
        EXPECT_EQ(frame.Status, STATUS_SUCCESS);
        EXPECT_EQ(frame.BytesReturned, width * height * 3 / 2);
        const auto luma = std::minmax_element(frame.Buffer, frame.Buffer + width * height);
        EXPECT_GT(*luma.second - *luma.first, 32) << "a flat picture";
    }
}

TEST_F(DeviceTest, CapturesEveryFormatAndLeavesThePoolEmpty)
{
    struct Format {
        ULONG Width, Height, ImageBytes;
    };
    // In the order the stream offers them.
    const Format formats[] = {
        {320, 240, 115200}, {160, 120, 28800}, {176, 144, 38016}, {352, 288, 152064}};
    kald::sim::Camera camera;
    {
        HostDevice device(bus, *driver, camera);
        ASSERT_EQ(device.Initialize(), STATUS_SUCCESS);
        HW_STREAM_DESCRIPTOR descriptor{};
        ASSERT_EQ(device.GetStreamInfo(&descriptor), STATUS_SUCCESS);
        EXPECT_EQ(descriptor.StreamHeader.NumberOfStreams, 1u);
        EXPECT_EQ(descriptor.StreamHeader.NumDevPropArrayEntries, 4u);
        EXPECT_EQ(descriptor.StreamInfo.DataFlow, KSPIN_DATAFLOW_OUT);
        const std::vector<KS_DATARANGE_VIDEO> ranges = DataRanges(descriptor);
        ASSERT_EQ(ranges.size(), 4u);

        for (size_t i = 0; i < ranges.size(); ++i) {
            const Format& f = formats[i];
            SCOPED_TRACE(f.Width);
            EXPECT_EQ(ULONG(ranges[i].VideoInfoHeader.bmiHeader.biWidth), f.Width);
            EXPECT_EQ(ULONG(ranges[i].VideoInfoHeader.bmiHeader.biHeight), f.Height);

            // A size query first, then the format.
            ULONG needed = 0;
            KS_DATARANGE_VIDEO proposed = ranges[i];
            EXPECT_EQ(device.DataIntersection(&proposed, sizeof(proposed), nullptr, 0, &needed),
                      STATUS_BUFFER_OVERFLOW);
            EXPECT_EQ(needed, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
            KS_DATAFORMAT_VIDEOINFOHEADER format{};
            ASSERT_EQ(IntersectFormat(device, ranges[i], 0, &format), STATUS_SUCCESS);
            EXPECT_EQ(format.DataFormat.FormatSize, sizeof(format));
            EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biSizeImage, f.ImageBytes);

            ASSERT_EQ(device.OpenStream(&format, sizeof(format)), STATUS_SUCCESS);
            ASSERT_EQ(device.SetState(KSSTATE_RUN), STATUS_SUCCESS);
            Client client{&device, f.ImageBytes, {}, {}};
            Capture({&client}, 3);
            ExpectWholePictures(client, f.Width, f.Height);
            ASSERT_EQ(device.SetState(KSSTATE_STOP), STATUS_SUCCESS);
            EXPECT_EQ(camera.AlternateSetting(), 0);
            // The reads still queued come back cancelled.
            const std::vector<ReadResult> cancelled = device.TakeCompletedReads();
            EXPECT_EQ(cancelled.size(), 2u);
            for (const ReadResult& read : cancelled) {
                EXPECT_EQ(read.Status, STATUS_CANCELLED);
            }
            ASSERT_EQ(device.CloseStream(), STATUS_SUCCESS);
        }
        ASSERT_EQ(device.Uninitialize(), STATUS_SUCCESS);
    }
    EXPECT_EQ(PoolBytesInUse(kPoolTag), 0u);
    EXPECT_EQ(PoolAllocationsInUse(kPoolTag), 0u);
    EXPECT_EQ(PoolStats().badFrees, 0u);
    EXPECT_EQ(bus.BandwidthInUse(), 0u);
}

// The frame interval of the open format picks the mode row; DIAG_CONFIGURATION
// reports the alternate setting the device runs at.
TEST_F(DeviceTest, FrameRateSelectsTheModeRow)
{
    struct Case {
        ULONG width;
        LONGLONG interval;
        UCHAR setting;
    };
    const Case cases[] = {
        {352, k15fps, 12}, {352, k10fps, 3}, {320, k15fps, 10}, {320, k10fps, 3}, {176, k30fps, 2},
        {176, k21fps, 4},  {176, k15fps, 8}, {160, k30fps, 5},  {160, k21fps, 3},
    };
    kald::sim::Camera camera;
    HostDevice device(bus, *driver, camera);
    ASSERT_EQ(device.Initialize(), STATUS_SUCCESS);
    HW_STREAM_DESCRIPTOR descriptor{};
    ASSERT_EQ(device.GetStreamInfo(&descriptor), STATUS_SUCCESS);
    const std::vector<KS_DATARANGE_VIDEO> ranges = DataRanges(descriptor);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << " at " << c.interval);
        const auto range = std::find_if(ranges.begin(), ranges.end(), [&](const auto& r) {
            return ULONG(r.VideoInfoHeader.bmiHeader.biWidth) == c.width;
        });
        ASSERT_NE(range, ranges.end());
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        ASSERT_EQ(IntersectFormat(device, *range, c.interval, &format), STATUS_SUCCESS);
        EXPECT_EQ(format.VideoInfoHeader.AvgTimePerFrame, c.interval);
        ASSERT_EQ(device.OpenStream(&format, sizeof(format)), STATUS_SUCCESS);
        ASSERT_EQ(device.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        EXPECT_EQ(camera.AlternateSetting(), c.setting);
        EXPECT_EQ(device.AlternateSetting(), c.setting);
        DiagnosticsRecord configuration;
        ASSERT_EQ(GetDiagnostics(device, kDiagConfiguration, &configuration), STATUS_SUCCESS);
        EXPECT_EQ(ReportedAlternateSetting(configuration), c.setting);
        ASSERT_EQ(device.SetState(KSSTATE_STOP), STATUS_SUCCESS);
        ASSERT_EQ(device.CloseStream(), STATUS_SUCCESS);
    }
}

TEST_F(DeviceTest, RejectedSettingFallsBackToTheNextRow)
{
    kald::sim::Camera camera;
    camera.RejectAlternateSetting(10); // 320x240 at 15 frames/s
    HostDevice device(bus, *driver, camera);
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    ASSERT_EQ(StartAndOpen(device, 320, k15fps, &format), STATUS_SUCCESS);
    ASSERT_EQ(device.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(camera.AlternateSetting(), 3);
    EXPECT_EQ(device.PacketSize(), 512);
    Client client{&device, 115200, {}, {}};
    Capture({&client}, 2);
    ExpectWholePictures(client, 320, 240);

    // With the last row refused too, the run fails and holds no bandwidth.
    ASSERT_EQ(device.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    camera.RejectAlternateSetting(3);
    EXPECT_EQ(device.SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device.StreamState(), KSSTATE_STOP);
    EXPECT_EQ(bus.BandwidthInUse(), 0u);
}

TEST_F(DeviceTest, SecondCameraFallsBackWhileTheBusIsTaken)
{
    kald::sim::Camera first;
    kald::sim::Camera second;
    HostDevice a(bus, *driver, first);
    HostDevice b(bus, *driver, second);
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    ASSERT_EQ(StartAndOpen(a, 176, k15fps, &format), STATUS_SUCCESS);
    ASSERT_EQ(StartAndOpen(b, 176, k30fps, &format), STATUS_SUCCESS);

    ASSERT_EQ(a.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(a.BandwidthHeld(), 512u);
    // 880 bytes beside 512 exceed the bus; the 640-byte row fits.
    ASSERT_EQ(b.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(second.AlternateSetting(), 4);
    EXPECT_EQ(bus.BandwidthInUse(), 512u + 640u);
    EXPECT_EQ(second.Stats().AlternateSettingSelections, 1u) << "the bus refused 880 itself";

    // The second camera streams beside the first, which holds its share
    // without reading (the driver's pipeline tables, driver-wide, follow the
    // device that allocated bandwidth last, so only that one decodes).
    Client clientB{&b, 38016, {}, {}};
    Capture({&clientB}, 3);
    ExpectWholePictures(clientB, 176, 144);
    EXPECT_GT(a.Pump()->Statistics().framesDropped, 0u);

    // Once the first camera stops, the second's next run gets its fastest row.
    ASSERT_EQ(a.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(b.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(b.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(second.AlternateSetting(), 2);
    EXPECT_EQ(b.BandwidthHeld(), 880u);
}

TEST_F(DeviceTest, MaxPacketSizeSetByRequestPicksTheLastRow)
{
    kald::sim::Camera camera;
    HostDevice device(bus, *driver, camera);
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    ASSERT_EQ(StartAndOpen(device, 176, k30fps, &format), STATUS_SUCCESS);
    // A first run loads and saves the settings as they are.
    ASSERT_EQ(device.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(camera.AlternateSetting(), 2);
    ASSERT_EQ(device.SetState(KSSTATE_STOP), STATUS_SUCCESS);

    ASSERT_EQ(SetExtension(device, kExtMaxPacketSizeAllowed, 128), STATUS_SUCCESS);
    ASSERT_EQ(SetExtension(device, kExtSaveSettings, 0), STATUS_SUCCESS);
    EXPECT_EQ(RegistryGetDword(kSettings, L"Max Packet Size Allowed"), 128u);
    ASSERT_EQ(device.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // Every row's packets exceed 128 bytes: the width's last row.
    EXPECT_EQ(camera.AlternateSetting(), 8);
    LONG value = 0;
    ASSERT_EQ(GetExtension(device, kExtMaxPacketSizeAllowed, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 128);
    Client client{&device, 38016, {}, {}};
    Capture({&client}, 2);
    ExpectWholePictures(client, 176, 144);
}

TEST_F(DeviceTest, SafeguardProbeRefusesTheDeviceWhenPoolIsShort)
{
    struct Case {
        const char* what;
        std::optional<uint32_t> safeguard; // "Safeguard Memory Size"
        size_t poolLimit;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"default probe above the pool", std::nullopt, 0x80000 - 1, STATUS_INSUFFICIENT_RESOURCES},
        {"configured probe above the pool", 0x100000, 0xC0000, STATUS_INSUFFICIENT_RESOURCES},
        {"default probe within the pool", std::nullopt, 0xC0000, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryClear();
        if (c.safeguard) {
            RegistrySetDword(kOrvi8, L"Safeguard Memory Size", *c.safeguard);
        }
        HostDriver loaded(DriverEntry); // reads the value at entry
        kald::sim::Camera camera;
        {
            HostDevice device(bus, loaded, camera);
            ResetPool();
            SetPoolLimit(c.poolLimit);
            EXPECT_EQ(device.Initialize(), c.expected);
            EXPECT_EQ(device.Started(), NT_SUCCESS(c.expected));
            if (!NT_SUCCESS(c.expected)) {
                // Refused by the probe, before any buffer was asked for.
                EXPECT_EQ(PoolStats().allocationCount, 0u);
                EXPECT_EQ(PoolStats().failedCount, 1u);
                EXPECT_EQ(camera.Stats().Transfers, 0u);
            }
        }
        SetPoolLimit(std::nullopt);
        EXPECT_EQ(PoolBytesInUse(kPoolTag), 0u);
    }
}

// A damaged frame puts the camera on probation: the run ends with the packet
// clock persisted as 1, and the next run, on this device or a new one, starts
// in probation state 2. A clean run persists 0 and the next starts in 0.
TEST_F(DeviceTest, ProbationIsCarriedAcrossRunsByThePersistedClock)
{
    struct Case {
        const char* what;
        bool damageAFrame;
        ULONG stateAfterRun;
        uint32_t persistedClock;
        ULONG nextState;
    };
    const Case cases[] = {
        {"damaged frame", true, 1, 1, 2},
        {"clean run", false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryClear();
        kald::sim::Camera camera;
        {
            HostDevice device(bus, *driver, camera);
            KS_DATAFORMAT_VIDEOINFOHEADER format{};
            ASSERT_EQ(StartAndOpen(device, 176, k30fps, &format), STATUS_SUCCESS);
            ASSERT_EQ(device.SetState(KSSTATE_RUN), STATUS_SUCCESS);
            DiagnosticsRecord diagnostics;
            ASSERT_EQ(GetDiagnostics(device, kDiagConfiguration, &diagnostics), STATUS_SUCCESS);
            EXPECT_EQ(ReportedProbationState(diagnostics), 0u) << "an empty registry";
            if (c.damageAFrame) {
                // A packet of the tenth frame from now goes missing.
                camera.InjectFrameFaultAt(10, 2, kald::sim::PacketFault::Lost);
            }
            Client client{&device, 38016, {}, {}};
            Capture({&client}, 15);
            ASSERT_GE(client.Frames.size(), 15u);
            ASSERT_EQ(GetDiagnostics(device, kDiagConfiguration, &diagnostics), STATUS_SUCCESS);
            EXPECT_EQ(ReportedProbationState(diagnostics), c.stateAfterRun);
            ASSERT_EQ(device.SetState(KSSTATE_STOP), STATUS_SUCCESS);
            EXPECT_EQ(RegistryGetDword(kOrvi8, L"Current MS clock"), c.persistedClock);

            ASSERT_EQ(device.SetState(KSSTATE_RUN), STATUS_SUCCESS);
            ASSERT_EQ(GetDiagnostics(device, kDiagConfiguration, &diagnostics), STATUS_SUCCESS);
            EXPECT_EQ(ReportedProbationState(diagnostics), c.nextState);
            bus.Run(100);
        }
        // A new device on the same machine reads the same clock.
        HostDevice again(bus, *driver, camera);
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        ASSERT_EQ(StartAndOpen(again, 176, k30fps, &format), STATUS_SUCCESS);
        ASSERT_EQ(again.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        DiagnosticsRecord diagnostics;
        ASSERT_EQ(GetDiagnostics(again, kDiagConfiguration, &diagnostics), STATUS_SUCCESS);
        EXPECT_EQ(ReportedProbationState(diagnostics), c.nextState);
    }
}

// Runs `program` with `arguments` and returns its exit code (-1 when it did
// not exit normally).
int RunProcess(const std::string& program, const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    std::vector<std::string> storage{program};
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    for (std::string& s : storage) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Settings changed by property requests in another process, saved and
// written to the registry file, are what this process's driver loads at its
// next bandwidth allocation.
TEST_F(DeviceTest, SettingsSavedByAnotherProcessReachTheNextRun)
{
    const std::string path =
        ::testing::TempDir() + "kald_device_settings_" + std::to_string(getpid()) + ".reg";
    // The other process starts from this machine's registry.
    RegistrySetDword(kSettings, L"Sharpness", 3);
    ASSERT_TRUE(RegistrySaveFile(path));

    ASSERT_EQ(RunProcess(KALD_SETTINGS_CHILD, {path, "50", "512"}), 0);

    RegistryClear();
    const RegistryFileStatus loaded = RegistryLoadFile(path);
    std::remove(path.c_str());
    ASSERT_TRUE(loaded) << loaded.error;
    EXPECT_EQ(RegistryGetDword(kSettings, L"Saturation"), 50u);
    EXPECT_EQ(RegistryGetDword(kSettings, L"Max Packet Size Allowed"), 512u);
    EXPECT_EQ(RegistryGetDword(kSettings, L"Sharpness"), 3u) << "the other process's load";

    HostDriver reloaded(DriverEntry);
    kald::sim::Camera camera;
    HostDevice device(bus, reloaded, camera);
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    ASSERT_EQ(StartAndOpen(device, 176, k30fps, &format), STATUS_SUCCESS);
    LONG value = -1;
    ASSERT_EQ(GetExtension(device, kExtSaturation, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 50) << "the settings are loaded at initialisation";
    ASSERT_EQ(device.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // 512 bytes allowed: 176x144 at 30 frames/s runs on its 512-byte row.
    EXPECT_EQ(camera.AlternateSetting(), 8);
    ASSERT_EQ(GetExtension(device, kExtSaturation, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 50);
    ASSERT_EQ(GetExtension(device, kExtSharpness, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 3);
}

} // namespace
