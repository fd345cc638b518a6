#include "capture_engine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "autocontrol/auto_control.h"
#include "controls/properties.h"
#include "tool_error.h"

namespace kald::tool {
namespace {

using kald::host::ReadResult;

// Bus milliseconds per step. Frames come at least 33 ms apart, so a step
// completes at most one read, and the frame error read after it belongs to
// that read.
constexpr ULONG kStepMilliseconds = 10;

// Client buffers kept queued: the library drops a frame only when none is.
constexpr size_t kQueuedReads = 3;

// Frame error kinds of DIAG_FRAME_ERROR.
constexpr ULONG kFrameErrorReplaced = 9;

// "AGC Step" of a fresh registry: the exposure index a camera starts from.
constexpr size_t kFreshExposureIndex = 69;

// The clock divider of the 30 frames/s mode, whose exposure table the
// simulated camera's sensitivity is calibrated against.
constexpr uint8_t kDivider30 = 3;

const GUID kDroppedFramesSet = {STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES};

std::string StatusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(status));
    return text;
}

ToolError DeviceError(const std::string& what, NTSTATUS status)
{
    return ToolError(kExitBadFrame, what + " (status " + StatusText(status) + ")");
}

// Seconds of light the sensor integrates at one exposure table entry, times
// the analogue gain: what the samples scale with.
double ExposureWeight(const ExposureEntry& entry, const kald::sim::FrameTiming& timing)
{
    return double(entry.Shutter60) / (120.0 * timing.RowsPer120) *
           kald::sim::AnalogueGain(entry.Gain);
}

} // namespace

const char* FateName(FrameFate fate)
{
    switch (fate) {
    case FrameFate::Intact:
        return "intact";
    case FrameFate::Replaced:
        return "replaced";
    case FrameFate::Failed:
        return "failed";
    }
    return "unknown";
}

double CameraLightLevel(double level, const kald::sim::FrameTiming& timing)
{
    const kald::sim::FrameTiming reference = kald::sim::TimingForDivider(kDivider30);
    const double calibrated = ExposureWeight(
        ExposureTableFor(USHORT(reference.FramesPerSecond))[kFreshExposureIndex], reference);
    const double mode = ExposureWeight(
        ExposureTableFor(USHORT(timing.FramesPerSecond))[kFreshExposureIndex], timing);
    return level * calibrated / mode;
}

unsigned ControllerLuma(const std::array<uint8_t, 8>& r)
{
    // Registers: green 1, red, blue, green 2 of set A, then of set B.
    const auto luma = [](unsigned red, unsigned green1, unsigned green2, unsigned blue) {
        const unsigned green = (green1 + green2) >> 1;
        return 299 * red / 1000 + 114 * blue / 1000 + 587 * green / 1000;
    };
    const unsigned lumaA = std::max(1u, luma(r[1], r[0], r[3], r[2]));
    const unsigned lumaB = luma(r[5], r[4], r[7], r[6]);
    return (lumaA + lumaB) >> 1;
}

CaptureEngine::CaptureEngine(kald::host::HostBus& bus, kald::host::HostDevice& device,
                             kald::sim::Camera& camera)
    : bus_(bus), device_(device), camera_(camera)
{
}

CaptureEngine::~CaptureEngine()
{
    // Errors no longer matter here; the device's own tear-down follows.
    if (running_) {
        device_.SetState(KSSTATE_STOP);
    }
    if (open_) {
        device_.CloseStream();
    }
}

void CaptureEngine::Open(const CaptureRequest& request)
{
    request_ = request;
    HW_STREAM_DESCRIPTOR descriptor{};
    NTSTATUS status = device_.GetStreamInfo(&descriptor);
    if (!NT_SUCCESS(status)) {
        throw DeviceError("the driver gave no stream information", status);
    }
    const HW_STREAM_INFORMATION& stream = descriptor.StreamInfo;
    const std::string name = std::to_string(request.width) + "x" + std::to_string(request.height);
    for (ULONG i = 0; i < stream.NumberOfFormatArrayEntries; ++i) {
        KS_DATARANGE_VIDEO range;
        std::memcpy(&range, stream.StreamFormatsArray[i], sizeof range);
        const KS_BITMAPINFOHEADER& bitmap = range.VideoInfoHeader.bmiHeader;
        if (bitmap.biWidth != request.width || bitmap.biHeight != request.height) {
            continue;
        }
        // The client's range: the driver's own at the client's frame interval.
        range.VideoInfoHeader.AvgTimePerFrame = 10000000 / LONGLONG(request.framesPerSecond);
        ULONG bytes = 0;
        status = device_.DataIntersection(&range, sizeof range, &format_, sizeof format_, &bytes);
        if (!NT_SUCCESS(status)) {
            throw DeviceError("the driver found no " + name + " format at " +
                                  std::to_string(request.framesPerSecond) + " frames/s",
                              status);
        }
        status = device_.OpenStream(&format_, sizeof format_);
        if (!NT_SUCCESS(status)) {
            throw DeviceError("the driver did not open the " + name + " stream", status);
        }
        open_ = true;
        frameBytes_ = format_.VideoInfoHeader.bmiHeader.biSizeImage;
        return;
    }
    throw ToolError(kExitBadFrame, "the driver offers no " + name + " format");
}

void CaptureEngine::Start()
{
    const NTSTATUS status = device_.SetState(KSSTATE_RUN);
    if (!NT_SUCCESS(status)) {
        throw DeviceError("the stream did not start", status);
    }
    running_ = true;
    buffers_.assign(kQueuedReads, std::vector<uint8_t>(frameBytes_, 0));
    for (std::vector<uint8_t>& buffer : buffers_) {
        const NTSTATUS queued = device_.Read(buffer.data(), ULONG(buffer.size()));
        if (queued != STATUS_PENDING) {
            throw DeviceError("the stream did not take a read", queued);
        }
    }
    progress_ = CaptureProgress{};
    wallStart_ = std::chrono::steady_clock::now();
}

ULONG CaptureEngine::FrameErrorKind()
{
    DiagnosticsRecord record{};
    record.Property.Set = CameraDiagnosticsPropertySet;
    record.Property.Id = DIAG_FRAME_ERROR;
    record.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG bytes = 0;
    const NTSTATUS status =
        device_.DeviceProperty(false, &record, sizeof record, &record, sizeof record, &bytes);
    return NT_SUCCESS(status) ? record.Value1 : 0;
}

void CaptureEngine::Complete(const ReadResult& read, ULONG frameErrorKind, const Observer& observer)
{
    CapturedFrame frame;
    frame.index = progress_.reads;
    frame.cameraMilliseconds = progress_.cameraMilliseconds;
    frame.bytes = read.Status == STATUS_SUCCESS ? read.BytesReturned : 0;
    if (frame.bytes == 0) {
        frame.fate = FrameFate::Failed;
        ++progress_.failed;
    } else {
        frame.fate =
            frameErrorKind == kFrameErrorReplaced ? FrameFate::Replaced : FrameFate::Intact;
        ++progress_.delivered;
        progress_.replaced += frame.fate == FrameFate::Replaced ? 1 : 0;
        frame.picture = std::span<const uint8_t>(read.Buffer, read.Length);
        const size_t lumaBytes = size_t(request_.width) * size_t(request_.height);
        uint64_t sum = 0;
        for (size_t i = 0; i < lumaBytes && i < read.Length; ++i) {
            sum += read.Buffer[i];
        }
        frame.meanY = double(sum) / double(lumaBytes);
    }
    ++progress_.reads;

    std::array<uint8_t, 8> statistics{};
    for (size_t i = 0; i < statistics.size(); ++i) {
        statistics[i] = camera_.Register(USHORT(kald::sim::reg::StatisticsFirst + i));
    }
    frame.aeLuma = ControllerLuma(statistics);

    if (observer.onFrame) {
        observer.onFrame(frame);
    }
}

size_t CaptureEngine::Step(ULONG milliseconds, const Observer& observer)
{
    bus_.Run(milliseconds);
    progress_.cameraMilliseconds += milliseconds;
    const std::vector<ReadResult> reads = device_.TakeCompletedReads();
    size_t completed = 0;
    if (!reads.empty()) {
        // Read (and so cleared) once per step: the kind recorded since the
        // last step is that of the one frame the step completed.
        const ULONG kind = FrameErrorKind();
        for (const ReadResult& read : reads) {
            if (read.Status == STATUS_CANCELLED) {
                continue;
            }
            Complete(read, kind, observer);
            ++completed;
            const NTSTATUS queued = device_.Read(read.Buffer, read.Length);
            if (queued != STATUS_PENDING) {
                throw DeviceError("the stream did not take a read", queued);
            }
        }
    }
    progress_.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart_).count();
    if (observer.onStep) {
        observer.onStep(progress_);
    }
    return completed;
}

CaptureProgress CaptureEngine::Run(const Observer& observer)
{
    for (;;) {
        if (request_.frames && progress_.delivered >= *request_.frames) {
            progress_.reachedTarget = true;
            break;
        }
        if (request_.milliseconds && progress_.cameraMilliseconds >= *request_.milliseconds) {
            progress_.reachedTarget = true;
            break;
        }
        if (!request_.frames && !request_.milliseconds) {
            break;
        }
        if (request_.frames && request_.limitMilliseconds != 0 &&
            progress_.cameraMilliseconds >= request_.limitMilliseconds) {
            break;
        }
        ULONG step = kStepMilliseconds;
        if (request_.milliseconds) {
            step = ULONG(
                std::min<uint64_t>(step, *request_.milliseconds - progress_.cameraMilliseconds));
        }
        Step(step, observer);
        if (request_.realtime) {
            std::this_thread::sleep_until(wallStart_ +
                                          std::chrono::milliseconds(progress_.cameraMilliseconds));
        }
    }
    return progress_;
}

void CaptureEngine::Stop()
{
    if (!running_) {
        return;
    }
    running_ = false;
    const NTSTATUS status = device_.SetState(KSSTATE_STOP);
    device_.TakeCompletedReads(); // the queued reads, cancelled
    if (!NT_SUCCESS(status)) {
        throw DeviceError("the stream did not stop", status);
    }
}

void CaptureEngine::Close()
{
    if (!open_) {
        return;
    }
    open_ = false;
    const NTSTATUS status = device_.CloseStream();
    if (!NT_SUCCESS(status)) {
        throw DeviceError("the stream did not close", status);
    }
}

DroppedFrames CaptureEngine::QueryDroppedFrames()
{
    KSPROPERTY property{};
    property.Set = kDroppedFramesSet;
    property.Id = KSPROPERTY_DROPPEDFRAMES_CURRENT;
    property.Flags = KSPROPERTY_TYPE_GET;
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S answer{};
    answer.Property = property;
    ULONG bytes = 0;
    const NTSTATUS status =
        device_.StreamProperty(false, &property, sizeof property, &answer, sizeof answer, &bytes);
    if (!NT_SUCCESS(status)) {
        throw DeviceError("the stream did not report its dropped frames", status);
    }
    return {uint64_t(std::max<LONGLONG>(answer.PictureNumber, 0)),
            uint64_t(std::max<LONGLONG>(answer.DropCount, 0))};
}

kald::sim::FrameTiming CaptureEngine::CameraTiming() const
{
    return kald::sim::TimingForDivider(camera_.Register(kald::sim::reg::ClockDivider));
}

} // namespace kald::tool
