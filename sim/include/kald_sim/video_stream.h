// The bridge's video side: while the stream is on, the sensor exposes a frame
// every frame period, the bridge codes it and sends it as numbered
// isochronous packets, one per bus millisecond, then idle packets until the
// next frame starts.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "kald_host/usb.h"

#include "frame_encoder.h"
#include "lighting.h"
#include "random.h"
#include "scene.h"
#include "sensor.h"

namespace kald::sim {

inline constexpr uint8_t kIdleSequence = 0xFF;
// Sequence bytes 0 .. 254 number a frame's packets, so a frame has at most
// this many.
inline constexpr unsigned kMaxFramePackets = 255;
inline constexpr double kDefaultNoiseAmplitude = 2.0;

// One packet as the camera puts it on the bus.
struct BusPacket {
    std::vector<uint8_t> Bytes; // the packet; empty for a millisecond without one
    USBD_STATUS Status = 0;
    uint64_t Frame = 0; // the frame it belongs to; for idle packets the last frame started
    bool Data = false;  // carries one of a frame's sequence bytes
};

// The isochronous side of the camera's statistics. Counts under "sent" are
// what the camera put on the bus before any injected fault.
struct IsochronousStats {
    uint64_t IsochronousPackets = 0; // NextIsochronousPacket calls: bus milliseconds
    uint64_t EmptyPackets = 0;       // milliseconds without a packet: stream off or no bandwidth
    uint64_t DataPackets = 0;        // sent with a frame's sequence byte
    uint64_t IdlePackets = 0;        // sent with 0xFF
    uint64_t FramesStarted = 0;      // exposed by the sensor and coded by the bridge
    uint64_t FramesSent = 0;         // every packet of the frame sent
    uint64_t FramesReduced = 0;      // coded with less detail to fit their packets
    uint64_t FramesCut = 0;          // the end of the frame never sent (too big, bandwidth gone,
                                     // packet size changed, stream stopped)
    uint64_t FramesUnsent = 0;       // started while the alternate setting had no packets
    uint64_t HostBufferOverruns = 0; // packets longer than the buffer the host offered
    // Faults injected on the bus (see PacketFault).
    uint64_t LostPackets = 0;
    uint64_t RepeatedPackets = 0;
    uint64_t ReorderedPackets = 0;
    uint64_t TruncatedPackets = 0;
    uint64_t ZeroLengthPackets = 0;
    uint64_t ErrorStatusPackets = 0;
    uint64_t FramesWithFaults = 0; // frames with at least one data packet hit by a fault
};

// What the registers say when a frame starts; the bridge and the sensor hold
// it for the whole frame.
struct FrameSettings {
    uint8_t FormatCode = 0;   // bridge register 0x8500
    uint8_t ClockDivider = 0; // bridge register 0x8700
    uint8_t Revision = 0;     // bridge register 0x8101
    SensorSettings Sensor;    // its Timing is set from the divider
    std::vector<SensorDefect> Defects;
};

// The last frame the camera made, for tests and tools.
struct FrameRecord {
    uint64_t Number = 0; // 1 for the first frame since the camera was made; 0: none yet
    uint8_t FormatCode = 0;
    int Width = 0;
    int Height = 0;
    bool Large = false;
    unsigned FramesPerSecond = 0;
    double StartSeconds = 0; // camera time of the frame start
    SensorSettings Sensor;
    Lighting Light;
    FrameStatistics Statistics{};
    // Large formats: the mosaic, Width * Height bytes; small: the RGB
    // picture, Width * Height * 3 bytes; rows top-down.
    std::vector<uint8_t> Sensed;
    std::vector<uint8_t> Compacted; // the coded frame (before a cut)
    int Detail = 0;                 // see rate_control.h
    unsigned Budget = 0;            // packets until the next frame start, at most 255
    unsigned PacketSize = 0;        // at the frame start
    unsigned Packets = 0;           // data packets the camera sends for it
    bool Cut = false;               // Compacted needs more than Budget packets
};

class VideoStream {
  public:
    explicit VideoStream(uint64_t seed);

    // The stream register switched on: the first frame starts in the next
    // millisecond, and the coders start afresh.
    void Start();
    // Switched off: a frame still being sent is cut.
    void Stop(IsochronousStats& stats);

    // One millisecond of the camera. `packetSize` is that of the current
    // alternate setting (0: none); `latch` gives the register settings and
    // is called only when a frame starts.
    BusPacket Generate(bool streaming, unsigned packetSize,
                       const std::function<FrameSettings()>& latch, IsochronousStats& stats);

    // The statistics of a frame started since the last call, once.
    std::optional<FrameStatistics> TakeStatistics();

    const FrameRecord& LastFrame() const { return frame_; }
    uint64_t FramesStarted() const { return frame_.Number; }

    Scene& CurrentScene() { return scene_; }
    Lighting& Light() { return light_; }
    const Lighting& Light() const { return light_; }
    void SetNoiseAmplitude(double amplitude) { noiseAmplitude_ = amplitude; }

  private:
    void StartFrame(uint64_t now, unsigned packetSize, const FrameSettings& settings,
                    IsochronousStats& stats);
    void CodeFrame(const FrameSettings& settings);
    void CutFrameInFlight(IsochronousStats& stats);

    SimRandom noise_;
    Scene scene_;
    Lighting light_;
    double noiseAmplitude_ = kDefaultNoiseAmplitude;

    uint64_t ms_ = 0; // camera milliseconds since the camera was made
    // Frame clock: frame k after the anchor starts at the first millisecond
    // at or after anchorMs_ + k * 1000 / fps_.
    bool running_ = false;
    uint64_t anchorMs_ = 0;
    uint64_t anchorFrames_ = 0;
    unsigned fps_ = 0;
    uint64_t nextStartMs_ = 0;

    std::optional<LargeFrameEncoder> large_;
    uint8_t largeRevision_ = 0;
    std::optional<SmallFrameEncoder> small_;
    int smallWidth_ = 0;
    int smallHeight_ = 0;

    FrameRecord frame_;
    std::optional<FrameStatistics> newStatistics_;
    // The frame being sent is always frame_: its bytes up to sendLength_.
    bool inFlight_ = false;
    size_t sent_ = 0;
    size_t sendLength_ = 0;
    uint8_t nextSequence_ = 0;
};

} // namespace kald::sim
