// A capture run as a capture application drives one: the stream's data
// ranges read from the driver, a format intersected at the client's frame
// rate and opened, the stream run with client buffers always queued, and
// every completed read judged. Each step is a request through the host
// stream class; the bus clock is the only thing run directly. The camera is
// looked at only for what it sent (its statistics registers and counters),
// never to steer the driver.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "kald_host/host_device.h"
#include "kald_host/ksmedia.h"
#include "kald_sim/camera.h"
#include "kald_sim/sensor.h"

namespace kald::tool {

// What a run asks for. Exactly one of `frames` and `milliseconds` ends it;
// `limitMilliseconds` bounds a run by frames that the camera never
// completes (no packets, every frame failing).
struct CaptureRequest {
    int width = 352;
    int height = 288;
    unsigned framesPerSecond = 15;        // the client's rate: the format's frame interval
    std::optional<uint64_t> frames;       // delivered frames to collect
    std::optional<uint64_t> milliseconds; // camera time to run
    uint64_t limitMilliseconds = 0;       // for `frames`; 0: no limit
    bool realtime = false;                // pace the bus clock to the wall clock
};

// What became of one completed read.
enum class FrameFate : uint8_t {
    Intact,   // decoded from the frame the camera sent
    Replaced, // the frame was damaged; the driver decoded its saved frame instead
    Failed,   // the frame did not decode: no picture bytes
};

const char* FateName(FrameFate fate);

// One completed read, as OnFrame sees it. `picture` is the client buffer and
// is valid only during the call; it is empty for a failed frame.
struct CapturedFrame {
    uint64_t index = 0; // completed reads before this one
    FrameFate fate = FrameFate::Intact;
    ULONG bytes = 0; // picture bytes the read returned
    std::span<const uint8_t> picture;
    double meanY = 0; // of the Y plane; 0 for a failed frame
    // The luma the exposure controller measures while it processes this
    // frame. The controller holds the statistics of the start-of-frame packet
    // that completed the frame, that is, of the camera's newest frame; they
    // are taken from the camera's statistics registers (what the camera sent)
    // and put through the controller's formula, since no property carries
    // them.
    unsigned aeLuma = 0;
    uint64_t cameraMilliseconds = 0; // since the stream was started
};

// Counts so far; also the result of Run.
struct CaptureProgress {
    uint64_t reads = 0; // completed reads: delivered + failed
    uint64_t delivered = 0;
    uint64_t replaced = 0; // of those delivered
    uint64_t failed = 0;
    uint64_t cameraMilliseconds = 0;
    double wallSeconds = 0;
    bool reachedTarget = false;
};

// What the stream class's dropped-frames property reports.
struct DroppedFrames {
    uint64_t pictureNumber = 0; // frames handed to the client's reads or dropped
    uint64_t dropCount = 0;     // frames dropped for want of a queued read
};

class CaptureEngine {
  public:
    // Called for every completed read, and after every bus step.
    struct Observer {
        std::function<void(const CapturedFrame&)> onFrame;
        std::function<void(const CaptureProgress&)> onStep;
    };

    // `device` must be initialised and have given its stream information.
    CaptureEngine(kald::host::HostBus& bus, kald::host::HostDevice& device,
                  kald::sim::Camera& camera);
    ~CaptureEngine();
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    // Reads the stream information, intersects the range of the request's
    // size at its frame rate and opens the stream with that format. Throws
    // ToolError (kExitBadFrame) when the driver refuses.
    void Open(const CaptureRequest& request);
    // Runs the stream and queues the client's reads.
    void Start();
    // Runs the bus until the request is met (or its limit passes). The
    // progress counts the reads completed during this call.
    CaptureProgress Run(const Observer& observer);
    // One bus step of `milliseconds`, with its reads; for callers that pace
    // the run themselves. Returns the reads it completed.
    size_t Step(ULONG milliseconds, const Observer& observer);
    // Stops the stream (the driver saves its settings at bandwidth release)
    // and closes it; the reads still queued come back cancelled.
    void Stop();
    void Close();

    DroppedFrames QueryDroppedFrames();
    const KS_DATAFORMAT_VIDEOINFOHEADER& Format() const { return format_; }
    const CaptureProgress& Progress() const { return progress_; }

    // The camera's frame timing as its clock divider sets it (after Start).
    kald::sim::FrameTiming CameraTiming() const;

  private:
    ULONG FrameErrorKind();
    void Complete(const kald::host::ReadResult& read, ULONG frameErrorKind,
                  const Observer& observer);

    kald::host::HostBus& bus_;
    kald::host::HostDevice& device_;
    kald::sim::Camera& camera_;
    CaptureRequest request_;
    KS_DATAFORMAT_VIDEOINFOHEADER format_{};
    ULONG frameBytes_ = 0;
    bool open_ = false;
    bool running_ = false;
    std::vector<std::vector<uint8_t>> buffers_;
    CaptureProgress progress_;
    std::chrono::steady_clock::time_point wallStart_;
};

// The camera light level that `level` means: 1 is the light under which the
// built-in scene, exposed at exposure index 69 of the table of the frame
// rate the camera runs at (the starting index of a fresh registry), meets
// the exposure controller's target. The simulated camera's own level 1
// meets it at the 30 frames/s table's index 69.
double CameraLightLevel(double level, const kald::sim::FrameTiming& timing);

// The controller's luma of eight statistics bytes in register order (set A
// green 1, red, blue, green 2, then set B the same): the mean of the two
// sets' lumas, each 0.299 R + 0.587 G + 0.114 B with each term truncated.
unsigned ControllerLuma(const std::array<uint8_t, 8>& registers);

} // namespace kald::tool
