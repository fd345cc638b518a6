// A long run of the whole device with faults on every surface at once: the
// simulated camera loses and damages isochronous packets, control transfers
// fail now and then, property requests of random ids and values arrive
// between reads, and the format changes between runs. Whatever happens, every
// delivered frame is a whole picture, the counters of the camera, the host
// library and the driver agree, the saved settings stay in range and nothing
// is left in the pool.
//
// The length is the camera time in seconds from KALD_SOAK_SECONDS (60 by
// default). The one-hour version:
//   KALD_SOAK_SECONDS=3600 ctest --preset default -L soak
// The seed is fixed and printed with the summary line.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "capture_client.h"
#include "controls/settings.h"
#include "core/camera_context.h"
#include "kald_host/host_kernel.h"
#include "kald_sim/camera.h"

namespace {

using namespace kald::host;
using namespace kald::test;
using kald::sim::PacketFault;

constexpr ULONG kPoolTag = 0x206D6457; // "Wdm "
constexpr uint64_t kSeed = 0x50A4C0DE;
constexpr unsigned kDefaultSeconds = 60;

const std::wstring kSettings = KALDRIN_SETTINGS_KEY;

// Extension ids run 0..30; 31 is past the set (the stream class refuses it).
constexpr ULONG kExtensionIds = 32;
// Procamp ids run 0..9 (brightness .. gain); 10 is past the set.
constexpr ULONG kProcAmpIds = 11;

// Packet faults, each at its own rate per packet. Lost and damaged packets
// are what a busy bus does; repeats and swaps what a bad hub does.
struct PacketFaultRate {
    PacketFault Kind;
    double Rate;
    const char* Name;
};
constexpr PacketFaultRate kPacketFaultRates[] = {
    {PacketFault::Lost, 0.002, "lost"},
    {PacketFault::Repeated, 0.0005, "repeated"},
    {PacketFault::Reordered, 0.0005, "reordered"},
    {PacketFault::Truncated, 0.001, "truncated"},
    {PacketFault::ZeroLength, 0.001, "zero-length"},
    {PacketFault::ErrorStatus, 0.001, "error-status"},
};

// The formats a run may open: width, frame interval (100-ns units) and a
// weight. The small pictures cost little to decode; the large ones come up
// often enough to be soaked too, at their slowest rows.
struct RunFormat {
    ULONG Width, Height;
    LONGLONG Interval;
    unsigned Weight;
};
constexpr RunFormat kRunFormats[] = {
    {160, 120, 333333, 4}, {160, 120, 476190, 3},  {176, 144, 333333, 3},
    {176, 144, 476190, 2}, {176, 144, 666666, 2},  {320, 240, 1000000, 1},
    {320, 240, 666666, 1}, {352, 288, 1000000, 1}, {352, 288, 666666, 1},
};

unsigned SoakSeconds()
{
    const char* text = std::getenv("KALD_SOAK_SECONDS");
    if (text == nullptr || *text == '\0') {
        return kDefaultSeconds;
    }
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    return (*end == '\0' && value > 0 && value <= 30 * 24 * 3600) ? unsigned(value)
                                                                  : kDefaultSeconds;
}

// What the soak did and saw, over all runs.
struct Tally {
    uint64_t runs = 0;
    uint64_t runsRefused = 0; // the run request failed (a failed transfer or a refused row)
    uint64_t framesDelivered = 0;
    uint64_t readsFailed = 0; // completed with a status other than success
    uint64_t readsEmpty = 0;  // completed with success and no picture
    uint64_t pumpDelivered = 0;
    uint64_t pumpDropped = 0;
    uint64_t driverRawFrames = 0;
    int64_t driverGoodFrames = 0;
    uint64_t propertyRequests = 0;
    uint64_t propertyRefused = 0;
    uint64_t transferFaultsArmed = 0;
};

class SoakTest : public ::testing::Test {
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

    // Sends one property request of a random id and value, of the extension
    // or the procamp set, as a get or a set. The status is whatever the
    // driver owes; only a request it never completed or completed wrongly
    // is a fault, and those the request violations count.
    void RandomPropertyRequest(HostDevice& device)
    {
        ++tally.propertyRequests;
        const bool isSet = (rng() % 3) != 0;
        LONG value = 0;
        switch (rng() % 8) {
        case 0:
            value = LONG(rng() % 2);
            break;
        case 1:
            value = LONG(rng() % 64);
            break;
        case 2:
            value = LONG(rng() % 1100) - 50;
            break;
        case 3:
            value = (rng() % 2) != 0 ? LONG_MIN : LONG_MAX;
            break;
        case 4:
            value = LONG(rng() % 0x400000);
            break;
        default:
            value = LONG(rng() % 300);
            break;
        }
        NTSTATUS status = STATUS_SUCCESS;
        ULONG bytes = 0;
        if ((rng() % 4) != 0) {
            const ULONG id = ULONG(rng() % kExtensionIds);
            if (isSet) {
                status = SetExtension(device, id, value);
            } else {
                LONG got = 0;
                status = GetExtension(device, id, &got);
            }
        } else {
            KSPROPERTY_VIDEOPROCAMP_S record{};
            record.Property.Set = GUID{STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP};
            record.Property.Id = ULONG(rng() % kProcAmpIds);
            record.Property.Flags = isSet ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
            record.Value = value;
            record.Flags = (rng() % 4) != 0 ? KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL
                                            : KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
            status = device.DeviceProperty(isSet, &record, sizeof(record), &record, sizeof(record),
                                           &bytes);
        }
        ASSERT_NE(status, STATUS_IO_TIMEOUT) << "a property request never came back";
        ASSERT_NE(status, STATUS_PENDING);
        tally.propertyRefused += NT_SUCCESS(status) ? 0 : 1;
    }

    // Every now and then, one of the next few hundred control transfers fails.
    void MaybeArmTransferFault(kald::sim::Camera& camera)
    {
        if (rng() % 50 == 0) {
            camera.FailTransferAt(1 + rng() % 400);
            ++tally.transferFaultsArmed;
        }
    }

    // One run: open `f`, run for `ms` bus milliseconds with two reads always
    // queued and a property request every few milliseconds, then stop and
    // close. Checks each delivered frame and the run's counters.
    void SoakRun(HostDevice& device, kald::sim::Camera& camera,
                 const std::vector<KS_DATARANGE_VIDEO>& ranges, const RunFormat& f, ULONG ms)
    {
        SCOPED_TRACE(::testing::Message() << "run " << tally.runs << ": " << f.Width << "x"
                                          << f.Height << " every " << f.Interval);
        const ULONG imageBytes = f.Width * f.Height * 3 / 2;
        const KS_DATARANGE_VIDEO* range = nullptr;
        for (const KS_DATARANGE_VIDEO& r : ranges) {
            if (ULONG(r.VideoInfoHeader.bmiHeader.biWidth) == f.Width) {
                range = &r;
            }
        }
        ASSERT_NE(range, nullptr);
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        ASSERT_EQ(IntersectFormat(device, *range, f.Interval, &format), STATUS_SUCCESS);
        ASSERT_EQ(format.VideoInfoHeader.bmiHeader.biSizeImage, imageBytes);
        ASSERT_EQ(device.OpenStream(&format, sizeof(format)), STATUS_SUCCESS);
        ++tally.runs;

        const CameraContext* context = static_cast<const CameraContext*>(device.DeviceContext());
        const kald::sim::CameraStats cameraBefore = camera.Stats();
        const NTSTATUS run = device.SetState(KSSTATE_RUN);
        if (!NT_SUCCESS(run)) {
            // A failed selection transfer or a row refused by the bus: the
            // application gives up on this run.
            ++tally.runsRefused;
            EXPECT_EQ(run, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(device.StreamState(), KSSTATE_STOP);
            EXPECT_EQ(bus.BandwidthInUse(), 0u);
            ASSERT_EQ(device.CloseStream(), STATUS_SUCCESS);
            bus.Run(ms); // the camera's time passes all the same
            return;
        }
        const ULONG rawBefore = context->RawFrameCount;
        const ULONG goodBefore = context->GoodFrameCount;

        std::deque<std::vector<UCHAR>> buffers;
        for (int i = 0; i < 2; ++i) {
            buffers.emplace_back(imageBytes, UCHAR(0));
            ASSERT_EQ(device.Read(buffers.back().data(), imageBytes), STATUS_PENDING);
        }
        uint64_t completed = 0;
        for (ULONG done = 0; done < ms;) {
            const ULONG step = std::min<ULONG>(ms - done, 2 + ULONG(rng() % 9));
            bus.Run(step);
            done += step;
            for (const ReadResult& read : device.TakeCompletedReads()) {
                ++completed;
                if (read.Status != STATUS_SUCCESS) {
                    ++tally.readsFailed;
                } else if (read.BytesReturned == 0) {
                    ++tally.readsEmpty;
                } else {
                    ASSERT_EQ(read.BytesReturned, imageBytes) << "a partial picture";
                    ++tally.framesDelivered;
                }
                ASSERT_EQ(device.Read(read.Buffer, read.Length), STATUS_PENDING);
            }
            // The host stream class does not yet deliver requests on a
            // thread of their own: they are sent here, on the thread that
            // runs the bus, between packets and never during one.
            RandomPropertyRequest(device);
            if (HasFatalFailure()) {
                return;
            }
            MaybeArmTransferFault(camera);
        }

        ASSERT_NE(device.Pump(), nullptr);
        const IsochronousPumpStatistics pump = device.Pump()->Statistics();
        const kald::sim::CameraStats cameraAfter = camera.Stats();
        const uint64_t rawFrames = ULONG(context->RawFrameCount - rawBefore);
        // The good count can go down within a run: a replaced frame that
        // then fails to decode takes one off the count although it never
        // added one.
        const int64_t goodFrames = int64_t(context->GoodFrameCount) - int64_t(goodBefore);
        // Every frame the library handed over completed exactly one read and
        // went through the driver's frame callback once.
        EXPECT_EQ(pump.framesDelivered, completed);
        EXPECT_EQ(rawFrames, pump.framesDelivered);
        EXPECT_LE(goodFrames, int64_t(rawFrames));
        EXPECT_EQ(pump.framesDelivered + pump.framesDropped, pump.framesCompleted);
        EXPECT_EQ(pump.driverErrors, 0u);
        EXPECT_EQ(pump.framesOverflowed, 0u);
        // A frame the driver ended started at the camera: never more frames
        // than the sensor exposed (plus the one a skipped start may split).
        EXPECT_LE(pump.framesCompleted, cameraAfter.FramesStarted - cameraBefore.FramesStarted + 1);
        tally.pumpDelivered += pump.framesDelivered;
        tally.pumpDropped += pump.framesDropped;
        tally.driverRawFrames += rawFrames;
        tally.driverGoodFrames += goodFrames;

        const uint64_t failedBeforeStop = camera.Stats().InjectedFailures;
        const NTSTATUS stop = device.SetState(KSSTATE_STOP);
        EXPECT_EQ(device.StreamState(), KSSTATE_STOP);
        if (camera.Stats().InjectedFailures == failedBeforeStop) {
            EXPECT_FALSE(camera.Streaming());
        }
        // The stop ignores a failed transfer (the stream-off write may be
        // the one): whatever the bridge still thinks, setting 0 carries no
        // packets and the next run programs the stream again.
        if (NT_SUCCESS(stop)) {
            EXPECT_EQ(camera.AlternateSetting(), 0);
            EXPECT_EQ(bus.BandwidthInUse(), 0u);
        }
        for (const ReadResult& read : device.TakeCompletedReads()) {
            EXPECT_EQ(read.Status, STATUS_CANCELLED) << "a read still queued at the stop";
        }
        ASSERT_EQ(device.CloseStream(), STATUS_SUCCESS);
    }

    const RunFormat& PickFormat()
    {
        unsigned total = 0;
        for (const RunFormat& f : kRunFormats) {
            total += f.Weight;
        }
        unsigned pick = unsigned(rng() % total);
        for (const RunFormat& f : kRunFormats) {
            if (pick < f.Weight) {
                return f;
            }
            pick -= f.Weight;
        }
        return kRunFormats[0];
    }

    HostBus bus;
    std::unique_ptr<HostDriver> driver;
    std::mt19937_64 rng{kSeed};
    Tally tally;
};

TEST_F(SoakTest, StreamsThroughFaultsOnEverySurface)
{
    const unsigned seconds = SoakSeconds();
    const uint64_t totalMs = uint64_t(seconds) * 1000;

    kald::sim::CameraConfig config;
    config.Seed = kSeed;
    kald::sim::Camera camera(config);
    for (const PacketFaultRate& r : kPacketFaultRates) {
        camera.SetPacketFaultRate(r.Kind, r.Rate);
    }
    {
        HostDevice device(bus, *driver, camera);
        ASSERT_EQ(device.Initialize(), STATUS_SUCCESS);
        HW_STREAM_DESCRIPTOR descriptor{};
        ASSERT_EQ(device.GetStreamInfo(&descriptor), STATUS_SUCCESS);
        const std::vector<KS_DATARANGE_VIDEO> ranges = DataRanges(descriptor);
        ASSERT_EQ(ranges.size(), 4u);

        for (uint64_t ms = 0; ms < totalMs;) {
            // Runs of half a second to five seconds of camera time.
            const ULONG length = ULONG(std::min<uint64_t>(totalMs - ms, 500 + rng() % 4501));
            SoakRun(device, camera, ranges, PickFormat(), length);
            if (HasFatalFailure()) {
                return;
            }
            ms += length;
        }
        camera.ClearFaults();

        // The settings as they stand after all that, saved.
        ASSERT_EQ(SetExtension(device, kExtSaveSettings, 0), STATUS_SUCCESS);
        for (const SettingsRow& row : SettingsNameTable) {
            const std::wstring name = row.Name;
            const std::optional<uint32_t> value = RegistryGetDword(kSettings, name);
            SCOPED_TRACE(std::string(name.begin(), name.end()));
            if (!value) {
                continue; // a value the save does not write
            }
            EXPECT_GE(LONG(*value), row.Minimum);
            EXPECT_LE(LONG(*value), row.Maximum);
        }
        for (ULONG id : {kExtSaturation, kExtSharpness, kExtMaxPacketSizeAllowed}) {
            LONG live = 0;
            ASSERT_EQ(GetExtension(device, id, &live), STATUS_SUCCESS);
            const wchar_t* name = id == kExtSaturation  ? L"Saturation"
                                  : id == kExtSharpness ? L"Sharpness"
                                                        : L"Max Packet Size Allowed";
            EXPECT_EQ(RegistryGetDword(kSettings, name), std::optional<uint32_t>(uint32_t(live)))
                << "the save wrote what the device runs with";
        }
        ASSERT_EQ(device.Uninitialize(), STATUS_SUCCESS);
    }
    EXPECT_EQ(PoolBytesInUse(kPoolTag), 0u);
    EXPECT_EQ(PoolAllocationsInUse(kPoolTag), 0u);
    EXPECT_EQ(PoolStats().badFrees, 0u);
    EXPECT_EQ(bus.BandwidthInUse(), 0u);
    const RequestViolations v = RequestViolationCounts();
    EXPECT_EQ(v.Total(), 0u) << "never completed " << v.neverCompleted << ", twice "
                             << v.completedTwice << ", unknown " << v.unknownCompletions
                             << ", wrong notification " << v.wrongNotification << ", handed on "
                             << v.handedOnAfterCompletion;

    const kald::sim::CameraStats stats = camera.Stats();
    EXPECT_GT(tally.framesDelivered, uint64_t(seconds) * 5) << "the soak hardly streamed";
    EXPECT_EQ(tally.framesDelivered + tally.readsFailed + tally.readsEmpty, tally.pumpDelivered);
    EXPECT_LE(tally.pumpDelivered + tally.pumpDropped, stats.FramesStarted);
    // Each frame the driver had to replace or could not decode had a packet
    // of its own hit by a fault, or a transfer that failed during it; a
    // replaced frame that also failed to decode counts twice (see above).
    EXPECT_LE(int64_t(tally.driverRawFrames) - tally.driverGoodFrames,
              2 * int64_t(stats.FramesWithFaults + stats.InjectedFailures));

    char summary[512];
    std::snprintf(
        summary, sizeof(summary),
        "soak seed 0x%llX: %u camera s, %llu runs (%llu refused), %llu frames delivered, "
        "%llu dropped, %llu failed reads, %llu empty; faults: %llu lost, %llu repeated, "
        "%llu reordered, %llu truncated, %llu zero-length, %llu error-status packets, "
        "%llu failed transfers, %llu property requests (%llu refused)",
        (unsigned long long)kSeed, seconds, (unsigned long long)tally.runs,
        (unsigned long long)tally.runsRefused, (unsigned long long)tally.framesDelivered,
        (unsigned long long)tally.pumpDropped, (unsigned long long)tally.readsFailed,
        (unsigned long long)tally.readsEmpty, (unsigned long long)stats.LostPackets,
        (unsigned long long)stats.RepeatedPackets, (unsigned long long)stats.ReorderedPackets,
        (unsigned long long)stats.TruncatedPackets, (unsigned long long)stats.ZeroLengthPackets,
        (unsigned long long)stats.ErrorStatusPackets, (unsigned long long)stats.InjectedFailures,
        (unsigned long long)tally.propertyRequests, (unsigned long long)tally.propertyRefused);
    std::printf("%s\n", summary);
    RecordProperty("Summary", summary);
}

} // namespace
