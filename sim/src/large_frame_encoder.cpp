#include <algorithm>
#include <stdexcept>

#include "kald_sim/frame_encoder.h"

namespace kald::sim {
namespace {

constexpr size_t kHeaderBytes = 16;
constexpr size_t kStatisticsOffset = 6; // statistics bytes 6 .. 13 of the header
constexpr int kBlockPixels = 16;
constexpr uint32_t kEndMarker = 0x90;
constexpr int kLevelCodeBits = 4;
// A predictive block may cost at most this many bits per pixel; dearer blocks
// are sent as level blocks (4 bits per pixel). This bounds a 352x288 frame to
// about 103 kB, inside the 116,864-byte frame the camera can send, whatever
// the picture.
constexpr int kMaxPredictiveBitsPerPixel = 8;

// Level of each 4-bit code of a level block.
constexpr std::array<uint8_t, 16> kLevels = {4,   14,  26,  39,  51,  63,  75,  87,
                                             100, 114, 128, 145, 169, 198, 227, 249};

// Revision-2 quantiser: the highest sample mapped to each level. It is the
// camera's own rounding, not the nearest level (8 becomes 14, not 4).
constexpr std::array<uint8_t, 16> kQuantiserTop = {7,   19,  32,  44,  56,  68,  80,  92,
                                                   106, 120, 135, 154, 182, 212, 241, 255};

struct ResidualCode {
    int residual;  // d added to the prediction
    uint32_t bits; // code bits, right-aligned
    int length;    // bits in the code
};

// Escape residuals, by their 4-bit index.
constexpr std::array<int, 16> kEscapes = {-144, -160, -176, -196, -224, -256, -288, -320,
                                          +144, +160, +176, +196, +224, +256, +288, +320};

// Every valid residual code, shortest first, so that among equally close
// reconstructions the first found is the cheapest. 100 10000 is invalid and
// absent.
constexpr std::array<ResidualCode, 39> MakeResidualCodes()
{
    std::array<ResidualCode, 39> codes{};
    size_t n = 0;
    codes[n++] = {0, 0b0, 1};
    codes[n++] = {+4, 0b101, 3};
    codes[n++] = {-4, 0b111, 3};
    codes[n++] = {-10, 0b11000, 5};
    codes[n++] = {-16, 0b11001, 5};
    codes[n++] = {+10, 0b11010, 5};
    codes[n++] = {+16, 0b11011, 5};
    // 100 0xxx gives -magnitude[xxx], 100 1xxx gives +magnitude[xxx], xxx = 1 .. 7.
    constexpr int kMagnitudes[8] = {0, 24, 36, 48, 64, 80, 96, 112};
    for (uint32_t i = 1; i < 8; ++i) {
        codes[n++] = {-kMagnitudes[i], 0b1000000u | i, 7};
    }
    for (uint32_t i = 1; i < 8; ++i) {
        codes[n++] = {+kMagnitudes[i], 0b1001000u | i, 7};
    }
    codes[n++] = {-128, 0b10000000, 8};
    codes[n++] = {+128, 0b10000001, 8};
    for (uint32_t e = 0; e < 16; ++e) {
        codes[n++] = {kEscapes[e], (0b10010001u << 4) | e, 12};
    }
    return codes;
}
constexpr auto kResidualCodes = MakeResidualCodes();

// The prediction (3 (Up + Left) - 2 Diag) >> 2 of 8-bit samples lies in
// -128 .. 382.
constexpr int kMinPrediction = (-2 * 255) >> 2;
constexpr int kMaxPrediction = (3 * (255 + 255)) >> 2;
constexpr int kPredictions = kMaxPrediction - kMinPrediction + 1;

constexpr int Distance(int a, int b) { return a > b ? a - b : b - a; }

// For every prediction and true sample, the code whose clamped
// reconstruction comes closest to the sample (the shortest on a tie): the
// entry holds the reconstruction in its low byte and the code's index in
// kResidualCodes above it, so the coding loop needs one look-up per pixel.
const std::vector<uint16_t>& ResidualChoice()
{
    static const std::vector<uint16_t> table = [] {
        std::vector<uint16_t> choice(size_t(kPredictions) * 256);
        for (int prediction = kMinPrediction; prediction <= kMaxPrediction; ++prediction) {
            int reconstructed[kResidualCodes.size()];
            for (size_t c = 0; c < kResidualCodes.size(); ++c) {
                reconstructed[c] = std::clamp(prediction + kResidualCodes[c].residual, 0, 255);
            }
            for (int value = 0; value < 256; ++value) {
                size_t best = 0;
                int bestError = 256;
                for (size_t c = 0; c < kResidualCodes.size(); ++c) {
                    const int error = Distance(reconstructed[c], value);
                    if (error < bestError) {
                        best = c;
                        bestError = error;
                    }
                }
                choice[size_t(prediction - kMinPrediction) * 256 + size_t(value)] =
                    uint16_t(reconstructed[best] | (best << 8));
            }
        }
        return choice;
    }();
    return table;
}

struct LevelTables {
    std::array<uint8_t, 256> nearest;   // code of the level closest to a sample
    std::array<uint32_t, 256> error;    // squared error of that level
    std::array<uint8_t, 256> quantiser; // revision-2 quantiser
};

constexpr LevelTables MakeLevelTables()
{
    LevelTables t{};
    size_t level = 0;
    for (int v = 0; v < 256; ++v) {
        int best = 0;
        for (int c = 1; c < 16; ++c) {
            if (Distance(kLevels[size_t(c)], v) < Distance(kLevels[size_t(best)], v)) {
                best = c;
            }
        }
        const int d = kLevels[size_t(best)] - v;
        t.nearest[size_t(v)] = uint8_t(best);
        t.error[size_t(v)] = uint32_t(d * d);
        while (v > kQuantiserTop[level]) {
            ++level;
        }
        t.quantiser[size_t(v)] = kLevels[level];
    }
    return t;
}
constexpr LevelTables kLevelTables = MakeLevelTables();

// Writes codes most significant bit first into a buffer the caller has
// sized for the worst case.
class BitPacker {
public:
    explicit BitPacker(uint8_t* out) : out_(out) {}

    void Put(uint32_t bits, int count) // count <= 32
    {
        accumulator_ = (accumulator_ << count) | bits;
        pending_ += count;
        while (pending_ >= 8) {
            pending_ -= 8;
            *out_++ = uint8_t(accumulator_ >> pending_);
        }
    }

    // Pads the last byte with zero bits; returns the end of the output.
    uint8_t* Flush()
    {
        if (pending_ > 0) {
            *out_++ = uint8_t(accumulator_ << (8 - pending_));
            pending_ = 0;
        }
        return out_;
    }

private:
    uint8_t* out_;
    uint64_t accumulator_ = 0;
    int pending_ = 0;
};

} // namespace

LargeFrameEncoder::LargeFrameEncoder(int width, int height, uint8_t revision)
    : width_(width), height_(height), revision_(revision)
{
    if (width < kBlockPixels || width % kBlockPixels != 0 || height < 2) {
        throw std::invalid_argument("LargeFrameEncoder: width must be a multiple of 16");
    }
    reconstruction_.assign(size_t(width) * size_t(height), 0);
}

// Rows 0 and 1 go literally. Every block of the coded rows is first coded
// predictively, closed loop: each pixel is predicted from the decoder's
// reconstruction, the code is the one that reconstructs nearest to the true
// sample, and the reconstruction carries on from what the decoder will have.
// The block is then sent as a level block instead when that has a smaller
// squared error, or the same error in fewer bits, or when the predictive
// block would cost more than kMaxPredictiveBitsPerPixel.
std::vector<uint8_t> LargeFrameEncoder::Encode(std::span<const uint8_t> mosaic,
                                               const FrameStatistics& stats, size_t padding)
{
    const size_t width = size_t(width_);
    const size_t height = size_t(height_);
    if (mosaic.size() != width * height) {
        throw std::invalid_argument("LargeFrameEncoder::Encode: mosaic size mismatch");
    }
    const uint16_t* const choice = ResidualChoice().data();

    // Worst case of the coded rows: every block at the predictive limit
    // (level blocks cost less), plus block 0's literal pixels; then the
    // marker and its padding.
    const size_t blocks = width / kBlockPixels;
    const size_t maxCodedBits =
        (height - 2) * (blocks * (1 + kMaxPredictiveBitsPerPixel * kBlockPixels) + 16) + 8;
    const size_t codedStart = kHeaderBytes + 2 * width;
    std::vector<uint8_t> frame(codedStart + (maxCodedBits + 7) / 8 + padding, 0);
    std::copy(stats.begin(), stats.end(), frame.begin() + kStatisticsOffset);
    std::copy(mosaic.begin(), mosaic.begin() + std::ptrdiff_t(2 * width),
              frame.begin() + kHeaderBytes);

    // The decoder predicts rows 2 and 3 from rows 0 and 1 as it holds them:
    // after a frame that ended with a level block, a revision-2 decoder
    // quantises their pixels 2 .. W-1 first.
    uint8_t* const rec = reconstruction_.data();
    std::copy(mosaic.begin(), mosaic.begin() + std::ptrdiff_t(2 * width), rec);
    if (revision_ == 2 && levelBlockFlag_) {
        for (size_t row = 0; row < 2; ++row) {
            for (size_t x = 2; x < width; ++x) {
                rec[row * width + x] = kLevelTables.quantiser[rec[row * width + x]];
            }
        }
    }

    BitPacker bits(frame.data() + codedStart);
    bool levelBlock = levelBlockFlag_;
    uint8_t codes[kBlockPixels];
    for (size_t r = 2; r < height; ++r) {
        const uint8_t* const src = &mosaic[r * width];
        uint8_t* const cur = rec + r * width;
        const uint8_t* const up = cur - 2 * width;
        for (size_t x0 = 0; x0 < width; x0 += kBlockPixels) {
            size_t first = x0;
            if (x0 == 0) {
                cur[0] = src[0];
                cur[1] = src[1];
                first = 2;
            }
            const size_t end = x0 + kBlockPixels;
            int predictiveBits = 0;
            uint32_t predictiveError = 0;
            uint32_t levelError = 0;
            // Pixels x and x + 1 belong to the two interleaved colours; each
            // carries its own left neighbour, so the two chains of
            // dependent predictions run side by side.
            int leftEven = cur[first - 2];
            int leftOdd = cur[first - 1];
            for (size_t x = first; x < end; x += 2) {
                const int predictionEven = (3 * (up[x] + leftEven) - 2 * up[x - 2]) >> 2;
                const int predictionOdd = (3 * (up[x + 1] + leftOdd) - 2 * up[x - 1]) >> 2;
                const uint16_t even = choice[size_t(predictionEven - kMinPrediction) * 256 + src[x]];
                const uint16_t odd =
                    choice[size_t(predictionOdd - kMinPrediction) * 256 + src[x + 1]];
                leftEven = even & 0xFF;
                leftOdd = odd & 0xFF;
                cur[x] = uint8_t(leftEven);
                cur[x + 1] = uint8_t(leftOdd);
                codes[x - x0] = uint8_t(even >> 8);
                codes[x + 1 - x0] = uint8_t(odd >> 8);
                const int errorEven = leftEven - src[x];
                const int errorOdd = leftOdd - src[x + 1];
                predictiveError += uint32_t(errorEven * errorEven + errorOdd * errorOdd);
                predictiveBits += kResidualCodes[even >> 8].length + kResidualCodes[odd >> 8].length;
                levelError += kLevelTables.error[src[x]] + kLevelTables.error[src[x + 1]];
            }
            const int pixels = int(end - first);
            const int levelBits = kLevelCodeBits * pixels;
            levelBlock = predictiveBits > kMaxPredictiveBitsPerPixel * pixels ||
                         levelError < predictiveError ||
                         (levelError == predictiveError && levelBits < predictiveBits);

            bits.Put(levelBlock ? 1 : 0, 1);
            if (x0 == 0) {
                bits.Put(uint32_t(src[0]) << 8 | src[1], 16);
            }
            if (levelBlock) {
                for (size_t x = first; x < end; ++x) {
                    const uint8_t code = kLevelTables.nearest[src[x]];
                    cur[x] = kLevels[code];
                    bits.Put(code, kLevelCodeBits);
                }
            } else {
                for (size_t x = first; x < end; ++x) {
                    const ResidualCode& residual = kResidualCodes[codes[x - x0]];
                    bits.Put(residual.bits, residual.length);
                }
            }
        }
    }
    levelBlockFlag_ = levelBlock;
    // The marker lands wherever the last code ended; the rest of its last
    // byte is zero.
    bits.Put(kEndMarker, 8);
    frame.resize(size_t(bits.Flush() - frame.data()));
    frame.resize(frame.size() + padding, 0);

    // The decoder delivers rows 0 and 1 as they arrived.
    std::copy(mosaic.begin(), mosaic.begin() + std::ptrdiff_t(2 * width), rec);
    return frame;
}

} // namespace kald::sim
