#include <stdexcept>

#include "kald_sim/frame_encoder.h"

namespace kald::sim {
namespace {

constexpr size_t kHeaderBytes = 16;
constexpr size_t kStatisticsOffset = 6; // statistics bytes 6 .. 13 of the header

// The decoder's dither, added to every output byte after the sample * 4.
constexpr uint8_t kDither[32] = {0, 2, 2, 0, 3, 1, 1, 3, 3, 1, 1, 3, 0, 2, 2, 0,
                                 2, 0, 0, 2, 1, 3, 3, 1, 1, 3, 3, 1, 2, 0, 0, 2};

// Byte of an output pixel: blue, green, red.
enum Channel { Blue = 0, Green = 1, Red = 2 };

// Calls visit(channel, x, i) for every sample of a width x height frame in
// stream order. A green sample is pixel (x, i); a red or blue sample is
// shared by the 2x2 block whose top-left pixel is (x, i).
template <typename Visit>
void ForEachSample(int width, int height, Visit&& visit)
{
    for (int i = 0; i < height; i += 2) {
        for (int x = 0; x < width; ++x) {
            visit(Green, x, i);
        }
        for (int x = 0; x < width; x += 2) {
            visit(Red, x, i);
        }
        for (int x = 0; x < width; x += 2) {
            visit(Green, x, i + 1);
            visit(Green, x + 1, i + 1);
            visit(Blue, x, i);
        }
    }
}

// The decoder outputs s * 4 plus a dither of 0 .. 3 that averages 1.5, so
// the expected squared error of a value v is least for the s nearest to
// (v - 1.5) / 4, that is floor((2v + 1) / 8). For a 2x2 block it is least
// for the s nearest to (mean - 1.5) / 4 = (sum - 6) / 16, that is
// floor((sum + 2) / 16). Both stay within 0 .. 63.
uint8_t PixelSample(unsigned value) { return uint8_t((2 * value + 1) / 8); }
uint8_t BlockSample(unsigned sum) { return uint8_t((sum + 2) / 16); }

} // namespace

SmallFrameEncoder::SmallFrameEncoder(int width, int height) : width_(width), height_(height)
{
    if (width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0) {
        throw std::invalid_argument("SmallFrameEncoder: width and height must be even");
    }
}

std::vector<uint8_t> SmallFrameEncoder::Encode(const RgbImage& picture,
                                               const FrameStatistics& stats, size_t padding)
{
    if (picture.width != width_ || picture.height != height_ ||
        picture.pixels.size() != size_t(width_) * size_t(height_) * 3) {
        throw std::invalid_argument("SmallFrameEncoder::Encode: picture size mismatch");
    }
    samples_.clear();
    samples_.reserve(size_t(width_) * size_t(height_) * 3 / 2);
    ForEachSample(width_, height_, [&](Channel channel, int x, int i) {
        if (channel == Green) {
            samples_.push_back(PixelSample(picture.At(x, i)[1]));
            return;
        }
        const size_t c = channel == Red ? 0 : 2; // RgbImage order R, G, B
        const unsigned sum = picture.At(x, i)[c] + picture.At(x + 1, i)[c] +
                             picture.At(x, i + 1)[c] + picture.At(x + 1, i + 1)[c];
        samples_.push_back(BlockSample(sum));
    });

    // 6-bit samples, most significant bit first; the last byte is padded
    // with zero bits.
    std::vector<uint8_t> frame(kHeaderBytes, 0);
    std::copy(stats.begin(), stats.end(), frame.begin() + kStatisticsOffset);
    frame.reserve(kHeaderBytes + (samples_.size() * 6 + 7) / 8 + padding);
    uint32_t accumulator = 0;
    int pending = 0;
    for (uint8_t sample : samples_) {
        accumulator = (accumulator << 6) | sample;
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            frame.push_back(uint8_t(accumulator >> pending));
        }
    }
    if (pending > 0) {
        frame.push_back(uint8_t(accumulator << (8 - pending)));
    }
    frame.resize(frame.size() + padding, 0);
    return frame;
}

std::vector<uint8_t> SmallFrameEncoder::Reconstruction(uint32_t frameIndex) const
{
    const size_t width = size_t(width_);
    const size_t height = size_t(height_);
    std::vector<uint8_t> out(width * height * 3, 0);
    if (samples_.empty()) {
        return out;
    }
    const uint32_t phase = frameIndex & 3;
    auto store = [&](int x, int i, int k, uint8_t sample) {
        const uint32_t p = (phase + uint32_t(i)) & 3;
        out[3 * width * (height - 1 - size_t(i)) + 3 * size_t(x) + size_t(k)] =
            uint8_t(sample * 4 + kDither[(8 * p + 8 * uint32_t(k) + uint32_t(x)) & 31]);
    };
    size_t next = 0;
    ForEachSample(width_, height_, [&](Channel channel, int x, int i) {
        const uint8_t sample = samples_[next++];
        if (channel == Green) {
            store(x, i, Green, sample);
            return;
        }
        store(x, i, channel, sample);
        store(x + 1, i, channel, sample);
        store(x, i + 1, channel, sample);
        store(x + 1, i + 1, channel, sample);
    });
    return out;
}

} // namespace kald::sim
