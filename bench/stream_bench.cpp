// The data-path callbacks: the packet callback per packet while streaming,
// and the frame callback per finished raw frame (compaction, saving on
// probation, decode, reconstruction, post-processing, schedule, marker).

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "autocontrol/auto_control.h"
#include "autocontrol/tone_tables.h"
#include "datapath/packet_sync.h"
#include "datapath/raw_frame.h"
#include "imaging/pipeline_tables.h"
#include "imaging/pixel_kernels.h"
#include "scene_frames.h"

namespace {

constexpr ULONG kPacketSize = 768;

// A device in the middle of a capture run, with the registry defaults.
struct StreamingDevice {
    kald::bench::DeviceBuffers buffers;
    std::vector<UCHAR> saved = std::vector<UCHAR>(SAVED_FRAME_BYTES);
    USBD_INTERFACE_INFORMATION info{};
    CameraContext c{};

    StreamingDevice(ULONG width, ULONG height)
    {
        info.Length = sizeof(info);
        info.NumberOfPipes = 1;
        info.Pipes[0].MaximumPacketSize = USHORT(kPacketSize);
        c.InterfaceInfo = &info;
        buffers.Attach(c, width, height);
        c.SavedFrameBuffer = saved.data();
        c.SavedFrameCapacity = SAVED_FRAME_BYTES;
        c.SyncState = 2;
        c.CameraSettings.AeAwbInterval = 128;
        c.CameraSettings.AePeriod = 6;
        c.CameraSettings.AwbPeriod = 1;
        c.CameraSettings.FixedAePeriodState = 1;
        c.CameraSettings.FixedAwbPeriodState = 1;
        AutoControlInit(&c.AutoControlState, &c);
        SelectPixelKernels(PixelKernelsBest);
        ResetToneTables();
        RebuildToneTables(c.Brightness, c.Contrast, LONG(c.Gamma), c.HueAngleIndex, c.Saturation);
        BuildPipelineTables(width, height, c.RawLineBuffer, c.LumaWorkBuffer);
        FrameRateGateInit(333333, &c.FrameRateGate);
    }
};

void BM_PacketCallback(benchmark::State& state)
{
    StreamingDevice device(176, 144);
    device.c.FrameRateGate.Period = 1; // every frame assembled
    std::vector<UCHAR> packet(kPacketSize, 0x5A);
    USBD_ISO_PACKET_DESCRIPTOR d{0, kPacketSize, 0};
    FrameContext frame{0, TRUE};
    UCHAR sequence = 0;
    for (auto _ : state) {
        packet[0] = sequence;
        sequence = sequence == 40 ? 0 : UCHAR(sequence + 1);
        BOOLEAN complete = FALSE;
        ULONG flags = 0, offset = 0;
        benchmark::DoNotOptimize(CamProcessUSBPacketEx(nullptr, &device.c, &frame, nullptr, nullptr,
                                                       &d, packet.data(), &complete, &flags, &offset));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PacketCallback);

// The scene's compacted frame laid out as packets of kPacketSize bytes.
std::vector<UCHAR> Packetise(const std::vector<uint8_t>& compacted, ULONG* packets)
{
    const ULONG payload = kPacketSize - 1;
    *packets = ULONG((compacted.size() + payload - 1) / payload);
    std::vector<UCHAR> raw(RAW_FRAME_BYTES, 0);
    for (ULONG i = 0; i < *packets; ++i) {
        raw[i * kPacketSize] = UCHAR(i);
        const size_t from = size_t(i) * payload;
        const size_t n = std::min<size_t>(payload, compacted.size() - from);
        std::memcpy(&raw[i * kPacketSize + 1], &compacted[from], n);
    }
    return raw;
}

void BM_FrameCallback(benchmark::State& state)
{
    const ULONG width = ULONG(state.range(0));
    const ULONG height = ULONG(state.range(1));
    StreamingDevice device(width, height);
    ULONG packets = 0;
    const std::vector<UCHAR> pristine =
        Packetise(kald::bench::EncodeSceneFrame(int(width), int(height)), &packets);
    std::vector<UCHAR> raw(RAW_FRAME_BYTES);
    std::vector<UCHAR> client(width * height * 3 / 2);
    FrameContext frame{0, TRUE};
    for (auto _ : state) {
        state.PauseTiming(); // compaction works in place: restore the packets
        std::memcpy(raw.data(), pristine.data(), raw.size());
        frame.FrameIntact = TRUE;
        device.c.MsClock += 33;
        state.ResumeTiming();
        ULONG bytes = 0;
        CamProcessRawVideoFrameEx(nullptr, &device.c, &frame, client.data(), ULONG(client.size()),
                                  raw.data(), RAW_FRAME_BYTES, packets, &bytes, 0, 0);
        if (bytes != client.size()) {
            state.SkipWithError("the frame did not decode");
            break;
        }
    }
    state.SetLabel(PixelKernels.Name);
}
BENCHMARK(BM_FrameCallback)->Args({352, 288})->Args({176, 144})->Unit(benchmark::kMicrosecond);

} // namespace
