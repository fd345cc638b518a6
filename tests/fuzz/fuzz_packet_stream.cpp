// Arbitrary isochronous packet streams (any lengths, sequence bytes and bus
// statuses) through the host library's pump into the driver's packet and
// frame callbacks of a configured device. Nothing may crash or touch memory
// outside the raw frame, the saved frame or the client buffer (each its own
// exact-size heap block), and the counters must stay consistent.

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <vector>

#include "autocontrol/auto_control.h"
#include "autocontrol/tone_tables.h"
#include "datapath/frame_pipeline.h"
#include "datapath/packet_sync.h"
#include "datapath/raw_frame.h"
#include "fuzz_common.h"
#include "imaging/pipeline_tables.h"
#include "kald_host/host_stream.h"

namespace {

// Packets straight from the fuzzer's bytes.
class PacketSource : public kald::host::UsbDevice {
public:
    explicit PacketSource(FuzzedDataProvider& input, ULONG packetSize)
        : input_(input), packetSize_(packetSize)
    {
    }
    NTSTATUS VendorControl(UCHAR, USHORT, USHORT, void*, ULONG* length, bool) override
    {
        if (length != nullptr) {
            *length = 0;
        }
        return STATUS_SUCCESS;
    }
    NTSTATUS SelectAlternateSetting(UCHAR, UCHAR, USHORT*) override { return STATUS_SUCCESS; }
    IsochronousPacket NextIsochronousPacket(PUCHAR buffer, ULONG capacity) override
    {
        const uint8_t kind = input_.ConsumeIntegral<uint8_t>();
        ULONG length = packetSize_;
        USBD_STATUS status = 0;
        if (kind >= 0xF8) {
            length = input_.ConsumeIntegralInRange<ULONG>(0, capacity);
        } else if (kind >= 0xF0) {
            status = LONG(0xC0000011);
        } else if (kind >= 0xE8) {
            length = 0;
        }
        length = length > capacity ? capacity : length;
        std::vector<uint8_t> bytes = input_.ConsumeBytes<uint8_t>(length);
        bytes.resize(length, 0);
        // Mostly well-formed sequence bytes, so frames get through.
        if (length > 0 && kind < 0xC0) {
            bytes[0] = kind < 0x40 ? 0x00 : kind < 0x80 ? uint8_t(kind & 0x0F) : 0xFF;
        }
        if (length > 0) {
            std::memcpy(buffer, bytes.data(), length);
        }
        return IsochronousPacket{length, status};
    }

private:
    FuzzedDataProvider& input_;
    ULONG packetSize_;
};

struct Format {
    ULONG width, height, clientBytes;
};
const Format kFormats[] = {{160, 120, 28800}, {176, 144, 38016}, {320, 240, 115200}, {352, 288, 152064}};
const USHORT kPacketSizes[] = {512, 640, 704, 768, 880, 16};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 300000) {
        return 0;
    }
    FuzzedDataProvider input(data, size);
    const Format& format = kFormats[input.ConsumeIntegralInRange<size_t>(0, 3)];
    const ULONG packetSize = kPacketSizes[input.ConsumeIntegralInRange<size_t>(0, 5)];

    auto rawLines = std::make_unique<UCHAR[]>(RAW_LINE_BUFFER_BYTES);
    auto luma = std::make_unique<UCHAR[]>(LUMA_WORK_BUFFER_BYTES);
    auto workA = std::make_unique<UCHAR[]>(WORK_BUFFER_A_BYTES);
    auto workB = std::make_unique<UCHAR[]>(WORK_BUFFER_B_BYTES);
    auto saved = std::make_unique<UCHAR[]>(SAVED_FRAME_BYTES);
    USBD_INTERFACE_INFORMATION info{};
    info.Length = sizeof(info);
    info.NumberOfPipes = 1;
    info.Pipes[0].MaximumPacketSize = USHORT(packetSize);

    CameraContext c{};
    c.InterfaceInfo = &info;
    c.RawLineBuffer = rawLines.get();
    c.LumaWorkBuffer = luma.get();
    c.WorkBufferA = workA.get();
    c.WorkBufferB = workB.get();
    c.SavedFrameBuffer = saved.get();
    c.SavedFrameCapacity = SAVED_FRAME_BYTES;
    c.FrameWidth = format.width;
    c.FrameHeight = format.height;
    c.FrameFourCC = FOURCC_I420;
    c.Brightness = 118;
    c.Gamma = 7;
    c.Saturation = 32;
    c.Sharpness = 6;
    c.HueAngleIndex = 719;
    c.CameraSettings.MsToSkipPackets = input.ConsumeIntegralInRange<ULONG>(0, 40);
    c.CameraSettings.AeAwbInterval = 128;
    c.CameraSettings.AePeriod = 6;
    c.CameraSettings.AwbPeriod = 1;
    c.FerProbationLength = input.ConsumeIntegralInRange<ULONG>(0, 4000);
    c.MsClock = input.ConsumeIntegralInRange<ULONG>(0, 4000);
    c.ProbationState = c.MsClock != 0 ? 2 : 0;
    AutoControlInit(&c.AutoControlState, &c);
    RebuildToneTables(c.Brightness, c.Contrast, LONG(c.Gamma), c.HueAngleIndex, c.Saturation);
    BuildPipelineTables(format.width, format.height, c.RawLineBuffer, c.LumaWorkBuffer);
    ResetFrameSync(&c);
    FrameRateGateInit(input.ConsumeIntegralInRange<ULONG>(0, 2000000), &c.FrameRateGate);

    PacketSource source(input, packetSize);
    kald::host::BindDevice(&c, &source);
    USBCAMD_DEVICE_DATA2 callbacks{};
    callbacks.CamProcessUSBPacketEx = CamProcessUSBPacketEx;
    callbacks.CamNewVideoFrameEx = CamNewVideoFrameEx;
    callbacks.CamProcessRawVideoFrameEx = CamProcessRawVideoFrameEx;
    kald::host::IsochronousPump pump(callbacks, &c, source, packetSize, format.clientBytes,
                                     RAW_FRAME_BYTES, sizeof(FrameContext));
    auto client = std::make_unique<UCHAR[]>(format.clientBytes);
    pump.SetCompletion([&](const kald::host::CompletedBuffer& done) {
        kald::fuzz::Expect(done.BytesReturned == 0 || done.BytesReturned == format.clientBytes,
                           "a frame is delivered whole or not at all");
        pump.QueueBuffer(client.get(), format.clientBytes);
    });
    pump.QueueBuffer(client.get(), format.clientBytes);
    while (input.remaining_bytes() > 0) {
        pump.Run(1);
    }
    kald::fuzz::Expect(c.GoodFrameCount <= c.RawFrameCount, "more good frames than frames");
    kald::fuzz::Expect(c.SavedFrameLength <= c.SavedFrameCapacity, "saved frame overflow");
    kald::fuzz::Expect(c.PacketErrorCount <= pump.Statistics().packets, "more errors than packets");
    kald::host::BindDevice(&c, nullptr);
    return 0;
}
