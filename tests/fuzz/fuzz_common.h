// What the decoder fuzz targets share: the buffers a device owns, sized as
// the platform and the device allocate them, each its own heap block so that
// AddressSanitizer reports any access past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/camera_context.h"

namespace kald::fuzz {

// The raw frame buffer the USB camera library fills for every frame.
constexpr size_t kRawFrameBytes = 116864;
// RawLineBuffer and LumaWorkBuffer of a device.
constexpr size_t kWorkBufferBytes = 118912;

static_assert(kRawFrameBytes == RAW_FRAME_BYTES);
static_assert(kWorkBufferBytes == RAW_LINE_BUFFER_BYTES);
static_assert(kWorkBufferBytes == LUMA_WORK_BUFFER_BYTES);

// Filler for everything the decoders are not supposed to write.
constexpr uint8_t kUntouched = 0xA5;

// Puts the compacted frame at the start of a raw frame buffer and fills the
// rest with `tail`. The decoders must not look past the compacted length, so
// the tail must never change what they produce.
inline void LoadRawFrame(std::vector<uint8_t>& raw, const uint8_t* frame, size_t length,
                         uint8_t tail)
{
    std::memcpy(raw.data(), frame, length);
    std::memset(raw.data() + length, tail, raw.size() - length);
}

[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz: %s\n", what);
    std::abort();
}

inline void Expect(bool condition, const char* what)
{
    if (!condition) {
        Fail(what);
    }
}

// Whether bytes [from, to) of a buffer still hold kUntouched.
inline bool Untouched(const std::vector<uint8_t>& buffer, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i) {
        if (buffer[i] != kUntouched) {
            return false;
        }
    }
    return true;
}

} // namespace kald::fuzz
