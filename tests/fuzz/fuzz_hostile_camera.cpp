// A hostile camera: every byte the device answers during initialisation and
// capture start (register reads, calibration words, port status, transfer
// statuses) comes from the fuzzer, and so do the statistics the automatic
// controls steer by. Nothing may crash or hang, and no exposure index or
// white-balance gain may leave its range.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "autocontrol/auto_control.h"
#include "fuzz_common.h"
#include "hardware/capture.h"
#include "hardware/controls.h"
#include "hardware/registers.h"
#include "imaging/pipeline_tables.h"
#include "kald_host/host_usb.h"

namespace {

// Answers every transfer from the fuzzer's bytes; when they run out the
// device behaves (idle ports, zero bytes, success).
class HostileCamera : public kald::host::UsbDevice {
public:
    explicit HostileCamera(FuzzedDataProvider& input) : input_(input) {}

    NTSTATUS VendorControl(UCHAR, USHORT, USHORT, void* buffer, ULONG* length,
                           bool getData) override
    {
        ++transfers_;
        const uint8_t mood = input_.ConsumeIntegral<uint8_t>();
        if (mood >= 0xF0) {
            return STATUS_UNSUCCESSFUL;
        }
        if (mood >= 0xE8) {
            return STATUS_PENDING; // done later: the data is there all the same
        }
        if (getData && buffer != nullptr && length != nullptr && *length > 0) {
            std::vector<uint8_t> bytes = input_.ConsumeBytes<uint8_t>(*length);
            bytes.resize(*length, 0);
            std::memcpy(buffer, bytes.data(), *length);
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS SelectAlternateSetting(UCHAR, UCHAR, USHORT* maxPacketSize) override
    {
        *maxPacketSize = input_.ConsumeIntegral<USHORT>();
        return input_.ConsumeBool() ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }

    uint64_t transfers_ = 0;

private:
    FuzzedDataProvider& input_;
};

// The mode rows a capture can run with.
struct Mode {
    ULONG width, height;
    USHORT clock, blanking, shutterHigh, rate, quads;
};
const Mode kModes[] = {
    {352, 288, 8, 7, 16, 15, 192}, {352, 288, 13, 9, 16, 10, 128}, {320, 240, 8, 0, 16, 15, 176},
    {320, 240, 13, 0, 16, 10, 128}, {176, 144, 3, 0, 16, 30, 220}, {176, 144, 5, 0, 16, 21, 160},
    {176, 144, 8, 0, 16, 15, 128}, {160, 120, 3, 0, 16, 30, 176}, {160, 120, 5, 0, 16, 21, 128},
};

void CheckRanges(const AutoControlState& ac)
{
    kald::fuzz::Expect(ac.ExposureIndex >= 0 && ac.ExposureIndex <= 94, "exposure index out of range");
    kald::fuzz::Expect(ac.Shutter <= 0x1000 || ac.Shutter >= SHUTTER_REWRITE, "shutter out of range");
}

void CheckGains(const AutoControlState& ac)
{
    kald::fuzz::Expect(ac.RedGain >= 1 && ac.RedGain <= 255, "red gain out of range");
    kald::fuzz::Expect(ac.BlueGain >= 1 && ac.BlueGain <= 255, "blue gain out of range");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 4096) {
        return 0;
    }
    FuzzedDataProvider input(data, size);
    static std::vector<UCHAR> rawLines(kald::fuzz::kWorkBufferBytes);
    static std::vector<UCHAR> lumaLines(kald::fuzz::kWorkBufferBytes);

    HostileCamera camera(input);
    CameraContext context{};
    kald::host::BindDevice(&context, &camera);

    // Initialisation: the calibration block and the controller.
    context.CameraSettings.DpcState = CamLoadCalibration(&context, &context.DpcTable) ? 1 : 0;
    AutoControlInit(&context.AutoControlState, &context);

    // Settings as the registry could hold them, then a capture start.
    const Mode& mode = kModes[input.ConsumeIntegralInRange<size_t>(0, std::size(kModes) - 1)];
    context.FrameWidth = mode.width;
    context.FrameHeight = mode.height;
    context.ModeClockDivider = mode.clock;
    context.ModeVerticalBlanking = mode.blanking;
    context.ModeShutterHigh = mode.shutterHigh;
    context.ModeFrameRate = mode.rate;
    context.ModePacketQuads = mode.quads;
    context.RawLineBuffer = rawLines.data();
    context.LumaWorkBuffer = lumaLines.data();
    CameraSettings& s = context.CameraSettings;
    s.AutoExposureState = input.ConsumeIntegralInRange<ULONG>(0, 1);
    s.AutoWhiteBalanceState = input.ConsumeIntegralInRange<ULONG>(0, 1);
    s.ExposureTarget = input.ConsumeIntegralInRange<ULONG>(0, 255);
    s.WhiteBalanceTarget = input.ConsumeIntegralInRange<ULONG>(0, 20);
    s.SaturationSetting = input.ConsumeIntegralInRange<ULONG>(0, 63);
    s.SharpnessSetting = input.ConsumeIntegralInRange<ULONG>(1, 8);
    s.HueSetting = input.ConsumeIntegralInRange<ULONG>(0, 358);
    s.FlickerCompState = input.ConsumeIntegralInRange<ULONG>(0, 1);
    s.FlickerCompFreq = input.ConsumeIntegralInRange<ULONG>(0, 1);
    AutoControlState& ac = context.AutoControlState;
    ac.ExposureIndex = input.ConsumeIntegralInRange<SHORT>(1, 94);
    ac.RedGain = input.ConsumeIntegralInRange<USHORT>(0, 255);
    ac.BlueGain = input.ConsumeIntegralInRange<USHORT>(0, 255);
    StartCameraHardware(&context);
    CheckRanges(ac);

    // Frames: statistics from the camera, one controller step each, and now
    // and then a control change from the property side.
    const int frames = input.ConsumeIntegralInRange(0, 64);
    for (int f = 0; f < frames && input.remaining_bytes() > 0; ++f) {
        for (UCHAR& b : ac.Stats) {
            b = input.ConsumeIntegral<UCHAR>();
        }
        BOOLEAN settled = 2;
        if (input.ConsumeBool()) {
            AutoExposureStep(&ac, &settled);
            CheckRanges(ac);
        } else {
            AutoWhiteBalanceStep(&ac, &settled);
            if (ac.EnableFlags & AUTO_ENABLE_WHITE_BALANCE) {
                CheckGains(ac);
            }
        }
        if (input.ConsumeIntegral<uint8_t>() < 32) {
            const ULONG code = input.ConsumeIntegralInRange<ULONG>(0, 19);
            CamSetControl(&context, code, input.ConsumeIntegral<int16_t>(), input.ConsumeIntegralInRange(0, 3));
            CheckRanges(ac);
        }
    }
    StopCameraHardware(&context);
    kald::host::BindDevice(&context, nullptr);
    return 0;
}
