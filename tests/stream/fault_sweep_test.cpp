// Fault sweeps over a whole device lifecycle, driven through the host stream
// class as a capture application drives it: initialise, stream information,
// open, run with a few frames read, stop, close, uninitialise. Each sweep
// first counts the points of one clean lifecycle (pool allocations, vendor
// transfers, alternate-setting selections), then runs the lifecycle once per
// point with exactly that point failing. Whatever fails must fail with the
// status the driver owes, the application's tear-down must give everything
// back (pool, bus bandwidth) and no request may be completed wrongly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capture_client.h"
#include "kald_host/host_kernel.h"
#include "kald_sim/camera.h"

namespace {

using namespace kald::host;
using namespace kald::test;

constexpr ULONG kPoolTag = 0x206D6457; // "Wdm "

// The smallest picture keeps every run short.
constexpr ULONG kWidth = 160;
constexpr ULONG kHeight = 120;
constexpr ULONG kImageBytes = kWidth * kHeight * 3 / 2;
constexpr LONGLONG k30fps = 333333;
constexpr size_t kFramesToRead = 2;

constexpr ULONG kExtDpcState = 23;

// Bridge registers the sweeps tell apart.
constexpr USHORT kCalibrationFirst = kald::sim::reg::CalibrationControl; // 0x8200
constexpr USHORT kCalibrationLast = kald::sim::reg::CalibrationStatus;   // 0x8207

// The steps of one lifecycle, in order.
enum class Step { Initialize, StreamInfo, Intersect, Open, Run, Read, Stop, Close, Uninitialize };

const char* StepName(Step step)
{
    switch (step) {
    case Step::Initialize:
        return "initialise";
    case Step::StreamInfo:
        return "stream information";
    case Step::Intersect:
        return "data intersection";
    case Step::Open:
        return "open";
    case Step::Run:
        return "run";
    case Step::Read:
        return "read";
    case Step::Stop:
        return "stop";
    case Step::Close:
        return "close";
    case Step::Uninitialize:
        return "uninitialise";
    }
    return "?";
}

// What one lifecycle came to: the first step that failed (if any) and its
// status, and what the reads brought back.
struct Outcome {
    std::optional<Step> failedStep;
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<ReadResult> frames;
    size_t cancelledReads = 0;
};

std::string Describe(const Outcome& o)
{
    if (!o.failedStep) {
        return "no step failed";
    }
    char text[96];
    std::snprintf(text, sizeof(text), "%s failed with 0x%08lX", StepName(*o.failedStep),
                  static_cast<unsigned long>(static_cast<ULONG>(o.status)));
    return text;
}

// A calibration block in which every word the driver reads (17..63) has a
// non-zero low byte, so that any failed transfer of the block's read leaves
// a word that differs from the memory and the block is refused.
kald::sim::CalibrationBlock EveryWordCountsBlock()
{
    kald::sim::CalibrationBlock block;
    for (USHORT i = 0; i < 20; ++i) {
        block.Defects.push_back({USHORT(3 + 5 * i), USHORT(1 + 5 * i)});
    }
    block.Word19 = 0x0101;
    block.Word20 = 0x0202;
    block.Offsets = 0x0101;
    for (USHORT word62 = 0x0301;; ++word62) {
        block.Word62 = word62;
        const auto image = kald::sim::BuildCalibrationImage(block);
        if ((image[kald::sim::kChecksumWord] & 0xFF) != 0) {
            return block;
        }
    }
}

class FaultSweepTest : public ::testing::Test {
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
        FailPoolAllocation(0);
        SetPoolLimit(std::nullopt);
    }

    // One lifecycle as a capture application runs it. At the first failing
    // step the application gives up and undoes what it set up: a stream
    // that was opened is closed, a device that started is uninitialised.
    // `started`: the device is initialised already.
    Outcome Lifecycle(HostDevice& device, bool started = false)
    {
        Outcome o;
        auto failed = [&](Step step, NTSTATUS status) {
            o.failedStep = step;
            o.status = status;
        };
        NTSTATUS status = started ? STATUS_SUCCESS : device.Initialize();
        if (!NT_SUCCESS(status)) {
            failed(Step::Initialize, status);
            return o;
        }
        bool open = false;
        bool running = false;
        do {
            HW_STREAM_DESCRIPTOR descriptor{};
            status = device.GetStreamInfo(&descriptor);
            if (!NT_SUCCESS(status)) {
                failed(Step::StreamInfo, status);
                break;
            }
            const std::vector<KS_DATARANGE_VIDEO> ranges = DataRanges(descriptor);
            const auto range = std::find_if(ranges.begin(), ranges.end(), [](const auto& r) {
                return ULONG(r.VideoInfoHeader.bmiHeader.biWidth) == kWidth;
            });
            if (range == ranges.end()) {
                failed(Step::StreamInfo, STATUS_NO_MATCH);
                break;
            }
            KS_DATAFORMAT_VIDEOINFOHEADER format{};
            status = IntersectFormat(device, *range, k30fps, &format);
            if (!NT_SUCCESS(status)) {
                failed(Step::Intersect, status);
                break;
            }
            status = device.OpenStream(&format, sizeof(format));
            if (!NT_SUCCESS(status)) {
                failed(Step::Open, status);
                break;
            }
            open = true;
            status = device.SetState(KSSTATE_RUN);
            if (!NT_SUCCESS(status)) {
                failed(Step::Run, status);
                break;
            }
            running = true;
            ReadFrames(device, &o);
            running = false;
            status = device.SetState(KSSTATE_STOP);
            for (const ReadResult& read : device.TakeCompletedReads()) {
                EXPECT_EQ(read.Status, STATUS_CANCELLED) << "a read still queued at the stop";
                ++o.cancelledReads;
            }
            if (!NT_SUCCESS(status)) {
                failed(Step::Stop, status);
                break;
            }
        } while (false);
        if (running) {
            device.SetState(KSSTATE_STOP);
        }
        if (open) {
            status = device.CloseStream();
            if (!NT_SUCCESS(status) && !o.failedStep) {
                failed(Step::Close, status);
            }
        }
        status = device.Uninitialize();
        if (!NT_SUCCESS(status) && !o.failedStep) {
            failed(Step::Uninitialize, status);
        }
        return o;
    }

    // Two reads always queued; the bus runs until kFramesToRead came back or
    // 300 ms passed (nine frame periods).
    void ReadFrames(HostDevice& device, Outcome* o)
    {
        for (auto& buffer : buffers) {
            buffer.assign(kImageBytes, UCHAR(0));
            const NTSTATUS status = device.Read(buffer.data(), kImageBytes);
            if (status != STATUS_PENDING) {
                o->failedStep = Step::Read;
                o->status = status;
                return;
            }
        }
        for (ULONG ms = 0; ms < 300 && o->frames.size() < kFramesToRead; ms += 10) {
            bus.Run(10);
            for (const ReadResult& read : device.TakeCompletedReads()) {
                o->frames.push_back(read);
                EXPECT_EQ(device.Read(read.Buffer, read.Length), STATUS_PENDING);
            }
        }
    }

    // Nothing of the lifecycle is left: no pool block, no bus bandwidth, no
    // request completed outside the contract.
    void ExpectNothingLeft()
    {
        EXPECT_EQ(PoolBytesInUse(kPoolTag), 0u);
        EXPECT_EQ(PoolAllocationsInUse(kPoolTag), 0u);
        EXPECT_EQ(PoolStats().badFrees, 0u);
        EXPECT_EQ(bus.BandwidthInUse(), 0u);
        const RequestViolations v = RequestViolationCounts();
        EXPECT_EQ(v.Total(), 0u) << "never completed " << v.neverCompleted << ", twice "
                                 << v.completedTwice << ", unknown " << v.unknownCompletions
                                 << ", wrong notification " << v.wrongNotification << ", handed on "
                                 << v.handedOnAfterCompletion;
    }

    static void ExpectWholePictures(const Outcome& o)
    {
        ASSERT_GE(o.frames.size(), kFramesToRead);
        for (const ReadResult& frame : o.frames) {
            EXPECT_EQ(frame.Status, STATUS_SUCCESS);
            EXPECT_EQ(frame.BytesReturned, kImageBytes);
        }
    }

    HostBus bus;
    std::unique_ptr<HostDriver> driver;
    std::vector<UCHAR> buffers[2];
};

// Every pool allocation of a lifecycle, failed in turn. The safeguard probe
// and the working buffers refuse the device's start, the open-format copy
// refuses the open; each with STATUS_INSUFFICIENT_RESOURCES. The same device
// then runs a whole lifecycle cleanly: a refused step leaves nothing behind
// that would stand in the way of a retry.
TEST_F(FaultSweepTest, EveryPoolAllocationFailsCleanly)
{
    size_t allocations = 0;
    {
        kald::sim::Camera camera;
        HostDevice device(bus, *driver, camera);
        ResetPool();
        const Outcome clean = Lifecycle(device);
        ASSERT_FALSE(clean.failedStep) << Describe(clean);
        ExpectWholePictures(clean);
        allocations = PoolStats().allocationCount;
        ExpectNothingLeft();
    }
    // The safeguard probe, the interface description, four work buffers, the
    // saved frame and the open-format copy; none per frame.
    ASSERT_EQ(allocations, 8u);

    for (size_t k = 1; k <= allocations + 1; ++k) {
        SCOPED_TRACE(::testing::Message() << "allocation " << k << " of " << allocations);
        ResetRequestViolations();
        kald::sim::Camera camera;
        {
            HostDevice device(bus, *driver, camera);
            ResetPool();
            FailPoolAllocation(k);
            const Outcome faulty = Lifecycle(device);
            FailPoolAllocation(0);
            if (k <= 7) {
                EXPECT_EQ(faulty.failedStep, Step::Initialize) << Describe(faulty);
                EXPECT_EQ(faulty.status, STATUS_INSUFFICIENT_RESOURCES);
                EXPECT_FALSE(device.Started());
                // Refused before the library's callbacks (the probe) or in
                // configuration: the camera was never programmed.
                EXPECT_EQ(camera.Stats().Transfers, 0u);
            } else if (k == 8) {
                EXPECT_EQ(faulty.failedStep, Step::Open) << Describe(faulty);
                EXPECT_EQ(faulty.status, STATUS_INSUFFICIENT_RESOURCES);
                EXPECT_FALSE(device.StreamIsOpen());
            } else {
                EXPECT_FALSE(faulty.failedStep) << Describe(faulty);
                ExpectWholePictures(faulty);
            }
            EXPECT_EQ(PoolStats().failedCount, k <= allocations ? 1u : 0u);
            ExpectNothingLeft();

            const Outcome retry = Lifecycle(device);
            EXPECT_FALSE(retry.failedStep) << "retry: " << Describe(retry);
            ExpectWholePictures(retry);
        }
        ExpectNothingLeft();
    }
}

// Every vendor transfer of initialisation and capture start, failed in turn.
// Initialisation reads only the calibration block, and with a block in which
// every word counts, any failed transfer of it makes the driver refuse the
// block ("DPC State" 0) while the device still starts. Capture start ignores
// every transfer failure by design: the run starts and pictures arrive,
// except when the failed transfer is the one that switches the video stream
// on or the one that sets the frame format (the bridge then sends only idle
// packets): the camera stays silent and the queued reads wait until the stop
// cancels them.
TEST_F(FaultSweepTest, EveryControlTransferOfStartUpFailsCleanly)
{
    kald::sim::CameraConfig config;
    config.Calibration = EveryWordCountsBlock();

    uint64_t initTransfers = 0;
    uint64_t runTransfers = 0;
    std::vector<kald::sim::Transfer> log;
    {
        kald::sim::Camera camera(config);
        HostDevice device(bus, *driver, camera);
        ASSERT_EQ(device.Initialize(), STATUS_SUCCESS);
        initTransfers = camera.Stats().Transfers;
        HW_STREAM_DESCRIPTOR descriptor{};
        ASSERT_EQ(device.GetStreamInfo(&descriptor), STATUS_SUCCESS);
        LONG dpc = -1;
        ASSERT_EQ(GetExtension(device, kExtDpcState, &dpc), STATUS_SUCCESS);
        EXPECT_EQ(dpc, 1) << "the clean block is taken";
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        ASSERT_EQ(IntersectFormat(device, DataRanges(descriptor)[1], k30fps, &format),
                  STATUS_SUCCESS);
        ASSERT_EQ(ULONG(format.VideoInfoHeader.bmiHeader.biWidth), kWidth);
        ASSERT_EQ(device.OpenStream(&format, sizeof(format)), STATUS_SUCCESS);
        const uint64_t beforeRun = camera.Stats().Transfers;
        ASSERT_EQ(device.SetState(KSSTATE_RUN), STATUS_SUCCESS);
        runTransfers = camera.Stats().Transfers - beforeRun;
        ASSERT_EQ(beforeRun, initTransfers) << "no transfers between initialisation and run";
        log = camera.TransferLog();
        ASSERT_EQ(device.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    }
    ASSERT_GT(initTransfers, 0u);
    ASSERT_GT(runTransfers, 0u);
    for (uint64_t i = 0; i < initTransfers; ++i) {
        ASSERT_GE(log[i].Index, kCalibrationFirst) << "transfer " << i + 1;
        ASSERT_LE(log[i].Index, kCalibrationLast) << "transfer " << i + 1;
    }
    size_t streamOnWrites = 0;
    size_t formatWrites = 0;
    for (uint64_t k = 1; k <= initTransfers + runTransfers; ++k) {
        const kald::sim::Transfer& planned = log[k - 1];
        const bool write = planned.Dir == kald::sim::Direction::Out;
        const bool streamOn = write && planned.Index == kald::sim::reg::Stream &&
                              planned.Value == kald::sim::kStreamOn;
        const bool formatCode = write && planned.Index == kald::sim::reg::FormatCode;
        streamOnWrites += streamOn ? 1 : 0;
        formatWrites += formatCode ? 1 : 0;
        SCOPED_TRACE(::testing::Message()
                     << "transfer " << k << ": " << kald::sim::FormatTransfer(planned));
        ResetRequestViolations();
        ResetPool();
        kald::sim::Camera camera(config);
        camera.FailTransferAt(k);
        {
            HostDevice device(bus, *driver, camera);
            ASSERT_EQ(device.Initialize(), STATUS_SUCCESS);
            HW_STREAM_DESCRIPTOR descriptor{};
            ASSERT_EQ(device.GetStreamInfo(&descriptor), STATUS_SUCCESS);
            LONG dpc = -1;
            ASSERT_EQ(GetExtension(device, kExtDpcState, &dpc), STATUS_SUCCESS);
            EXPECT_EQ(dpc, k <= initTransfers ? 0 : 1);
            const Outcome o = Lifecycle(device, true);
            EXPECT_EQ(camera.Stats().InjectedFailures, 1u);
            EXPECT_FALSE(camera.Streaming()) << "the stop switches the stream off";
            if (streamOn || formatCode) {
                // The run itself succeeds; no read completes with a picture
                // that was never sent, and the stop cancels both.
                EXPECT_FALSE(o.failedStep) << Describe(o);
                EXPECT_TRUE(o.frames.empty());
                EXPECT_EQ(o.cancelledReads, 2u);
            } else {
                EXPECT_FALSE(o.failedStep) << Describe(o);
                ExpectWholePictures(o);
            }
        }
        ExpectNothingLeft();
    }
    EXPECT_EQ(streamOnWrites, 1u);
    EXPECT_EQ(formatWrites, 1u);
    RecordProperty("InitialisationTransfers", std::to_string(initTransfers));
    RecordProperty("CaptureStartTransfers", std::to_string(runTransfers));
}

// Every alternate setting the driver may select, refused by the camera when
// it is the run's starting row: the driver falls back to the width's next
// row, or, after the last row, fails the run with
// STATUS_INSUFFICIENT_RESOURCES and holds no bandwidth.
TEST_F(FaultSweepTest, EveryAlternateSettingRefusedFallsBackOrFails)
{
    struct Case {
        ULONG width;
        LONGLONG interval;
        UCHAR refused;                 // the starting row's setting
        std::optional<UCHAR> fallback; // the next row's, none after the last row
    };
    const Case cases[] = {
        {352, 666666, 12, 3},
        {352, 1000000, 3, std::nullopt},
        {320, 666666, 10, 3},
        {320, 1000000, 3, std::nullopt},
        {176, 333333, 2, 4},
        {176, 476190, 4, 8},
        {176, 666666, 8, std::nullopt},
        {160, 333333, 5, 3},
        {160, 476190, 3, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << " refusing setting " << int(c.refused));
        ResetRequestViolations();
        ResetPool();
        kald::sim::Camera camera;
        camera.RejectAlternateSetting(c.refused);
        {
            HostDevice device(bus, *driver, camera);
            KS_DATAFORMAT_VIDEOINFOHEADER format{};
            ASSERT_EQ(StartAndOpen(device, c.width, c.interval, &format), STATUS_SUCCESS);
            const NTSTATUS run = device.SetState(KSSTATE_RUN);
            const std::vector<kald::sim::AlternateSelection> tried = camera.AlternateSelectionLog();
            ASSERT_FALSE(tried.empty());
            EXPECT_EQ(tried[0].AlternateSetting, c.refused) << "the starting row is tried first";
            EXPECT_EQ(tried[0].Status, STATUS_UNSUCCESSFUL);
            if (c.fallback) {
                ASSERT_EQ(run, STATUS_SUCCESS);
                EXPECT_EQ(camera.AlternateSetting(), *c.fallback);
                EXPECT_EQ(device.AlternateSetting(), *c.fallback);
                EXPECT_EQ(bus.BandwidthInUse(), kald::sim::kAlternatePacketSizes[*c.fallback]);
                ASSERT_EQ(device.SetState(KSSTATE_STOP), STATUS_SUCCESS);
            } else {
                EXPECT_EQ(run, STATUS_INSUFFICIENT_RESOURCES);
                EXPECT_EQ(device.StreamState(), KSSTATE_STOP);
                EXPECT_EQ(tried.size(), 1u) << "no later row to try";
                EXPECT_FALSE(camera.Streaming());
            }
            EXPECT_EQ(camera.AlternateSetting(), 0);
            EXPECT_EQ(bus.BandwidthInUse(), 0u);
            ASSERT_EQ(device.CloseStream(), STATUS_SUCCESS);
            ASSERT_EQ(device.Uninitialize(), STATUS_SUCCESS);
        }
        ExpectNothingLeft();
    }
}

// Setting 0, selected when the bandwidth is given back, refused: the stop
// reports the selection's failure, the stream is stopped all the same, the
// bandwidth stays held (the camera keeps its setting) until the next run
// selects a setting again or the device is uninitialised.
TEST_F(FaultSweepTest, RefusedBandwidthReleaseIsReportedAndRecovered)
{
    const USHORT packet = kald::sim::kAlternatePacketSizes[5]; // 160x120 at 30 frames/s
    kald::sim::Camera camera;
    camera.RejectAlternateSetting(0);
    {
        HostDevice device(bus, *driver, camera);
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        ASSERT_EQ(StartAndOpen(device, kWidth, k30fps, &format), STATUS_SUCCESS);
        for (int run = 0; run < 2; ++run) {
            SCOPED_TRACE(::testing::Message() << "run " << run);
            ASSERT_EQ(device.SetState(KSSTATE_RUN), STATUS_SUCCESS);
            EXPECT_EQ(camera.AlternateSetting(), 5);
            EXPECT_EQ(bus.BandwidthInUse(), packet);
            EXPECT_EQ(device.SetState(KSSTATE_STOP), STATUS_UNSUCCESSFUL);
            EXPECT_EQ(device.StreamState(), KSSTATE_STOP);
            EXPECT_FALSE(camera.Streaming());
            EXPECT_EQ(camera.AlternateSetting(), 5);
            EXPECT_EQ(bus.BandwidthInUse(), packet) << "held, not counted twice";
        }
        EXPECT_EQ(device.CloseStream(), STATUS_SUCCESS);
        EXPECT_EQ(device.Uninitialize(), STATUS_SUCCESS);
    }
    ExpectNothingLeft();
}

} // namespace
