#include "kald_sim/video_stream.h"

#include <algorithm>
#include <cstring>

#include "kald_sim/rate_control.h"

namespace kald::sim {

VideoStream::VideoStream(uint64_t seed) : noise_(NoiseRandom(seed)) {}

void VideoStream::Start()
{
    running_ = true;
    // The anchor is set again by the first frame (its rate is not known yet).
    fps_ = 0;
    anchorMs_ = ms_;
    anchorFrames_ = 0;
    nextStartMs_ = ms_;
    large_.reset();
    small_.reset();
    inFlight_ = false;
}

void VideoStream::Stop(IsochronousStats& stats)
{
    CutFrameInFlight(stats);
    running_ = false;
}

void VideoStream::CutFrameInFlight(IsochronousStats& stats)
{
    if (inFlight_) {
        ++stats.FramesCut;
        inFlight_ = false;
    }
}

std::optional<FrameStatistics> VideoStream::TakeStatistics()
{
    std::optional<FrameStatistics> taken;
    taken.swap(newStatistics_);
    return taken;
}

BusPacket VideoStream::Generate(bool streaming, unsigned packetSize,
                                const std::function<FrameSettings()>& latch,
                                IsochronousStats& stats)
{
    const uint64_t now = ms_++;
    if (streaming && !running_) {
        Start();
        anchorMs_ = nextStartMs_ = now;
    } else if (!streaming && running_) {
        Stop(stats);
    }
    BusPacket packet;
    if (!streaming) {
        packet.Frame = frame_.Number;
        ++stats.EmptyPackets;
        return packet;
    }
    if (now == nextStartMs_) {
        StartFrame(now, packetSize, latch(), stats);
    }
    packet.Frame = frame_.Number;
    if (packetSize == 0) {
        // No bandwidth: whatever the bridge had to send is lost.
        CutFrameInFlight(stats);
        ++stats.EmptyPackets;
        return packet;
    }
    packet.Bytes.assign(packetSize, 0);
    if (inFlight_ && nextSequence_ == kIdleSequence) {
        CutFrameInFlight(stats); // the packet size shrank under a frame being sent
    }
    if (!inFlight_) {
        packet.Bytes[0] = kIdleSequence;
        ++stats.IdlePackets;
        return packet;
    }
    packet.Bytes[0] = nextSequence_++;
    packet.Data = true;
    const size_t payload = std::min<size_t>(packetSize - 1, sendLength_ - sent_);
    std::memcpy(&packet.Bytes[1], &frame_.Compacted[sent_], payload);
    sent_ += payload;
    ++stats.DataPackets;
    if (sent_ == sendLength_) {
        inFlight_ = false;
        ++(frame_.Cut ? stats.FramesCut : stats.FramesSent);
    }
    return packet;
}

// Frame k after the anchor starts at the first millisecond at or after
// anchorMs_ + k * 1000 / fps, kept as an exact fraction: at 30 frames/s the
// gaps run 34, 33, 33, 34, ... A change of the clock divider takes effect at
// a frame start, which becomes the new anchor.
void VideoStream::StartFrame(uint64_t now, unsigned packetSize, const FrameSettings& settings,
                             IsochronousStats& stats)
{
    const FrameTiming timing = TimingForDivider(settings.ClockDivider);
    if (timing.FramesPerSecond != fps_) {
        fps_ = timing.FramesPerSecond;
        anchorMs_ = now;
        anchorFrames_ = 0;
    }
    const double startSeconds =
        double(anchorMs_ * fps_ + anchorFrames_ * 1000) / (1000.0 * double(fps_));
    ++anchorFrames_;
    nextStartMs_ = anchorMs_ + (anchorFrames_ * 1000 + fps_ - 1) / fps_;
    CutFrameInFlight(stats);

    const std::optional<FrameFormat> format = FormatForCode(settings.FormatCode);
    if (!format) {
        return; // no picture format: the bridge sends idle packets
    }
    ++stats.FramesStarted;
    frame_.Number += 1;
    frame_.FormatCode = settings.FormatCode;
    frame_.Width = format->Width;
    frame_.Height = format->Height;
    frame_.Large = format->Large;
    frame_.FramesPerSecond = fps_;
    frame_.StartSeconds = startSeconds;
    frame_.Sensor = settings.Sensor;
    frame_.Sensor.Timing = timing;
    frame_.Light = light_;
    frame_.Budget = unsigned(std::min<uint64_t>(kMaxFramePackets, nextStartMs_ - now));
    frame_.PacketSize = packetSize;
    CodeFrame(settings);
    newStatistics_ = frame_.Statistics;

    const size_t payload = packetSize > 1 ? packetSize - 1 : 0;
    const size_t room = payload * frame_.Budget;
    frame_.Cut = frame_.Compacted.size() > room;
    sendLength_ = std::min(frame_.Compacted.size(), room);
    frame_.Packets = payload == 0 ? 0 : unsigned((sendLength_ + payload - 1) / payload);
    if (frame_.Detail != kFullDetail) {
        ++stats.FramesReduced;
    }
    if (packetSize == 0) {
        ++stats.FramesUnsent;
        return;
    }
    inFlight_ = sendLength_ > 0;
    sent_ = 0;
    nextSequence_ = 0;
}

// Exposes the sensor, measures the statistics on what it gave, and codes
// it: large frames as a mosaic within the frame's packets when possible
// (rate_control.h), small frames as a picture (their coded size is fixed).
void VideoStream::CodeFrame(const FrameSettings& settings)
{
    SensorFrame exposure;
    exposure.Scene = &scene_.AtSize(frame_.Width, frame_.Height);
    exposure.Light = light_;
    exposure.Settings = frame_.Sensor;
    exposure.StartSeconds = frame_.StartSeconds;
    exposure.NoiseAmplitude = noiseAmplitude_;
    exposure.Defects = settings.Defects;

    const size_t payload = frame_.PacketSize > 1 ? frame_.PacketSize - 1 : 0;
    const size_t room = payload * frame_.Budget;
    if (frame_.Large) {
        RenderMosaic(exposure, noise_, frame_.Sensed);
        frame_.Statistics = MeasureStatistics(frame_.Sensed, frame_.Width, frame_.Height);
        if (!large_ || large_->Width() != frame_.Width || large_->Height() != frame_.Height ||
            largeRevision_ != settings.Revision) {
            large_.emplace(frame_.Width, frame_.Height, settings.Revision);
            largeRevision_ = settings.Revision;
        }
        BudgetedFrame coded = EncodeWithinBudget(*large_, frame_.Sensed, frame_.Statistics, room);
        frame_.Compacted = std::move(coded.Compacted);
        frame_.Detail = coded.Detail;
        small_.reset();
    } else {
        const RgbImage picture = RenderPicture(exposure, noise_);
        frame_.Sensed = picture.pixels;
        frame_.Statistics = MeasureStatistics(MosaicFromRgb(picture), frame_.Width, frame_.Height);
        if (!small_ || smallWidth_ != frame_.Width || smallHeight_ != frame_.Height) {
            small_.emplace(frame_.Width, frame_.Height);
            smallWidth_ = frame_.Width;
            smallHeight_ = frame_.Height;
        }
        frame_.Compacted = small_->Encode(picture, frame_.Statistics);
        frame_.Detail = kFullDetail;
        large_.reset();
    }
}

} // namespace kald::sim
