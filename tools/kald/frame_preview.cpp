#include "frame_preview.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "core/camera_context.h"
#include "datapath/decompress.h"
#include "imaging/pipeline_tables.h"

namespace kald::tool {
namespace {

constexpr size_t kStatisticsOffset = 6; // header bytes 6..13

// Registers fresh buffers and tables for one frame of this size.
struct DecoderSetup {
    std::vector<UCHAR> mosaic = std::vector<UCHAR>(RAW_LINE_BUFFER_BYTES, 0);
    std::vector<UCHAR> luma = std::vector<UCHAR>(LUMA_WORK_BUFFER_BYTES, 0);

    explicit DecoderSetup(const FrameSize& size)
    {
        ResetPipelineTables();
        if (!BuildPipelineTables(ULONG(size.width), ULONG(size.height), mosaic.data(),
                                 luma.data())) {
            throw std::logic_error("the driver cannot build its tables for this frame size");
        }
    }
    ~DecoderSetup() { ResetPipelineTables(); } // the buffers go away with us
    DecoderSetup(const DecoderSetup&) = delete;
    DecoderSetup& operator=(const DecoderSetup&) = delete;
};

std::optional<sim::RgbImage> LargePreview(const FrameSize& size, const std::vector<UCHAR>& raw,
                                          ULONG length, uint8_t revision)
{
    DecoderSetup setup(size);
    if (!DecompressLargeFrame(ULONG(size.width), ULONG(size.height), length, raw.data(),
                              revision)) {
        return std::nullopt;
    }
    // Mosaic layout: lines of W + 6 bytes, picture row y in line y + 2,
    // pixel x at byte x + 3 of its line.
    const size_t lineBytes = size_t(size.width) + 2 * MOSAIC_MARGIN_BYTES;
    auto sample = [&](int x, int y) {
        return setup.mosaic[(size_t(y) + MOSAIC_MARGIN_LINES) * lineBytes + MOSAIC_MARGIN_BYTES +
                            size_t(x)];
    };
    sim::RgbImage preview(size.width / 2, size.height / 2);
    for (int y = 0; y < preview.height; ++y) {
        for (int x = 0; x < preview.width; ++x) {
            const int green1 = sample(2 * x, 2 * y);
            const int blue = sample(2 * x + 1, 2 * y);
            const int red = sample(2 * x, 2 * y + 1);
            const int green2 = sample(2 * x + 1, 2 * y + 1);
            uint8_t* pixel = preview.At(x, y);
            pixel[0] = uint8_t(red);
            pixel[1] = uint8_t((green1 + green2 + 1) / 2);
            pixel[2] = uint8_t(blue);
        }
    }
    return preview;
}

std::optional<sim::RgbImage> SmallPreview(const FrameSize& size, const std::vector<UCHAR>& raw,
                                          ULONG length)
{
    DecoderSetup setup(size);
    // Blue, green, red; rows bottom-up.
    std::vector<UCHAR> decoded(size_t(size.width) * size_t(size.height) * 3, 0);
    if (!DecompressSmallFrame(ULONG(size.width), ULONG(size.height), length, raw.data(),
                              decoded.data())) {
        return std::nullopt;
    }
    sim::RgbImage preview(size.width, size.height);
    const size_t rowBytes = size_t(size.width) * 3;
    for (int y = 0; y < size.height; ++y) {
        const UCHAR* row = decoded.data() + size_t(size.height - 1 - y) * rowBytes;
        for (int x = 0; x < size.width; ++x) {
            const UCHAR* bgr = row + size_t(x) * 3;
            uint8_t* pixel = preview.At(x, y);
            pixel[0] = bgr[2];
            pixel[1] = bgr[1];
            pixel[2] = bgr[0];
        }
    }
    return preview;
}

} // namespace

std::optional<sim::RgbImage> DecodeFramePreview(const FrameSize& size,
                                                std::span<const uint8_t> frame, uint8_t revision)
{
    if (frame.size() > RAW_FRAME_BYTES) {
        throw std::invalid_argument("frame larger than the raw frame buffer");
    }
    // The decoders may read past the compacted length up to the end of the
    // raw frame buffer, which the driver keeps zero-filled behind the frame.
    std::vector<UCHAR> raw(RAW_FRAME_BYTES, 0);
    std::copy(frame.begin(), frame.end(), raw.begin());
    const ULONG length = ULONG(frame.size());
    return size.large ? LargePreview(size, raw, length, revision) : SmallPreview(size, raw, length);
}

std::array<uint8_t, 8> HeaderStatistics(std::span<const uint8_t> frame)
{
    std::array<uint8_t, 8> statistics{};
    for (size_t i = 0; i < statistics.size() && kStatisticsOffset + i < frame.size(); ++i) {
        statistics[i] = frame[kStatisticsOffset + i];
    }
    return statistics;
}

} // namespace kald::tool
