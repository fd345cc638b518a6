// A bench for the camera's video stream: programs the registers the way the
// driver's bring-up does and pulls isochronous packets one bus millisecond
// at a time.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kald_sim/camera.h"

namespace stream_test {

using kald::sim::Camera;
using kald::sim::CameraConfig;

// A frame format with its clock divider and alternate setting.
struct StreamMode {
    UCHAR FormatCode; // register 0x8500
    UCHAR Divider;    // register 0x8700
    UCHAR Alternate;  // alternate setting of the video interface
};

// The driver's bandwidth rows.
constexpr StreamMode k352At15 = {16, 8, 12}; // 768-byte packets
constexpr StreamMode k352At10 = {16, 13, 3}; // 512
constexpr StreamMode k320At15 = {17, 8, 10}; // 704
constexpr StreamMode k176At30 = {12, 3, 2};  // 880
constexpr StreamMode k176At21 = {12, 5, 4};  // 640
constexpr StreamMode k160At30 = {13, 3, 5};  // 704
constexpr StreamMode k160At21 = {13, 5, 3};  // 512

struct Packet {
    std::vector<uint8_t> Bytes;
    USBD_STATUS Status = 0;
    // The sequence byte, or -1 for a packet of length 0.
    int Sequence() const { return Bytes.empty() ? -1 : Bytes[0]; }
};

class StreamBench {
  public:
    explicit StreamBench(const CameraConfig& config = {}) : camera(config) {}

    void Write(USHORT index, USHORT value)
    {
        ULONG length = 0;
        ASSERT_EQ(camera.VendorControl(0, value, index, nullptr, &length, false), STATUS_SUCCESS);
    }

    // Through the serial port, as the driver writes sensor registers.
    void WriteSensor(UCHAR sensorRegister, USHORT value)
    {
        Write(0x8805, value & 0xFF);
        Write(0x8801, sensorRegister);
        Write(0x8800, value >> 8);
    }

    UCHAR Read(USHORT index)
    {
        UCHAR byte = 0;
        ULONG length = 1;
        EXPECT_EQ(camera.VendorControl(0, 0, index, &byte, &length, true), STATUS_SUCCESS);
        return byte;
    }

    // Format, divider, unity colour gains, shutter rows and gain code, the
    // alternate setting, then the stream on: the next packet starts a frame.
    void Start(StreamMode mode, USHORT rows = 438, USHORT gain = 18)
    {
        Write(0x8500, mode.FormatCode);
        Write(0x8700, mode.Divider);
        Write(0x8651, 0x40);
        Write(0x8653, 0x40);
        WriteSensor(0x09, USHORT(0x1000 + rows));
        WriteSensor(0x35, gain);
        USHORT packetSize = 0;
        ASSERT_EQ(camera.SelectAlternateSetting(0, mode.Alternate, &packetSize), STATUS_SUCCESS);
        Write(0x8112, 0x30);
    }

    Packet Next(ULONG capacity = 1023)
    {
        Packet packet;
        packet.Bytes.assign(capacity, 0xEE);
        const auto result = camera.NextIsochronousPacket(packet.Bytes.data(), capacity);
        EXPECT_LE(result.Length, capacity);
        packet.Bytes.resize(result.Length);
        packet.Status = result.Status;
        return packet;
    }

    std::vector<Packet> Next(int count)
    {
        std::vector<Packet> packets;
        for (int i = 0; i < count; ++i) {
            packets.push_back(Next());
        }
        return packets;
    }

    // Pulls packets up to and including the next start of frame and then the
    // rest of that frame's data packets; returns the frame's compacted bytes
    // (the payloads, zero padding of the last packet included). Stops at
    // the first packet that is not the frame's next one, which is consumed.
    std::vector<uint8_t> NextFrame(int limit = 400)
    {
        Packet packet;
        for (int i = 0; i < limit; ++i) {
            packet = Next();
            if (packet.Sequence() == 0) {
                break;
            }
        }
        EXPECT_EQ(packet.Sequence(), 0) << "no frame started";
        std::vector<uint8_t> compacted;
        int expected = 0;
        while (packet.Sequence() == expected && expected < 255) {
            compacted.insert(compacted.end(), packet.Bytes.begin() + 1, packet.Bytes.end());
            ++expected;
            if (expected == int(camera.LastFrame().Packets)) {
                break; // a cut frame has no idle packet after it
            }
            packet = Next();
        }
        return compacted;
    }

    Camera camera;
};

// The exposure controller's luma of a frame's statistics (header order:
// set B green 1, red, blue, green 2, then set A): per set
// 0.299 R + 0.114 B + 0.587 of the mean green, each term truncated; then the
// mean of the two sets.
inline int DriverLuma(const std::array<uint8_t, 8>& s)
{
    auto luma = [](int g1, int r, int b, int g2) {
        const int g = (g1 + g2) >> 1;
        return 299 * r / 1000 + 114 * b / 1000 + 587 * g / 1000;
    };
    return (luma(s[0], s[1], s[2], s[3]) + luma(s[4], s[5], s[6], s[7])) >> 1;
}

// A picture of one colour.
inline kald::sim::RgbImage Flat(uint8_t r, uint8_t g, uint8_t b, int width = 64, int height = 48)
{
    kald::sim::RgbImage image(width, height);
    for (size_t i = 0; i < image.pixels.size(); i += 3) {
        image.pixels[i] = r;
        image.pixels[i + 1] = g;
        image.pixels[i + 2] = b;
    }
    return image;
}

} // namespace stream_test
