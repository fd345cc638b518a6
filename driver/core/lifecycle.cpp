#include "lifecycle.h"

#include "../autocontrol/auto_control.h"
#include "../controls/settings.h"
#include "../datapath/packet_sync.h"
#include "../datapath/raw_frame.h"
#include "../hardware/capture.h"
#include "../hardware/registers.h"
#include "../imaging/pipeline_tables.h"

namespace {

// Registers that every mode row sets alike.
constexpr USHORT MODE_REG_8702 = 0x81;
constexpr USHORT MODE_REG_8505 = 0;
constexpr USHORT MODE_REG_8502_LARGE = 2; // widths 320 and 352
constexpr USHORT MODE_REG_8502_SMALL = 0; // widths 160 and 176

// Frame rate assumed when the client's interval is too short to divide by.
constexpr ULONG DEFAULT_FRAME_RATE = 30;

// Alternate setting 0 carries no isochronous bandwidth.
constexpr UCHAR NO_BANDWIDTH_SETTING = 0;

//                               alt  -  clock vblank shutter fps quads (bytes)
const BandwidthMode Modes352[] = {
    {12, 0, 8, 7, 16, 15, 192}, // 768
    {3, 0, 13, 9, 16, 10, 128}, // 512
};
const BandwidthMode Modes320[] = {
    {10, 0, 8, 0, 16, 15, 176}, // 704
    {3, 0, 13, 0, 16, 10, 128}, // 512
};
const BandwidthMode Modes176[] = {
    {2, 0, 3, 0, 16, 30, 220}, // 880
    {4, 0, 5, 0, 16, 21, 160}, // 640
    {8, 0, 8, 0, 16, 15, 128}, // 512
};
const BandwidthMode Modes160[] = {
    {5, 0, 3, 0, 16, 30, 176}, // 704
    {3, 0, 5, 0, 16, 21, 128}, // 512
};

struct WidthModes {
    ULONG Width;
    const BandwidthMode* Rows;
    ULONG Count;
};

const WidthModes BandwidthModeTable[] = {
    {352, Modes352, sizeof(Modes352) / sizeof(Modes352[0])},
    {320, Modes320, sizeof(Modes320) / sizeof(Modes320[0])},
    {176, Modes176, sizeof(Modes176) / sizeof(Modes176[0])},
    {160, Modes160, sizeof(Modes160) / sizeof(Modes160[0])},
};

CameraContext* ContextOf(PVOID DeviceContext)
{
    return static_cast<CameraContext*>(DeviceContext);
}

// Bytes a description with `pipes` pipes needs (its fixed part holds one).
ULONG InterfaceBytes(ULONG pipes)
{
    const ULONG fixed = sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION);
    return fixed + (pipes == 0 ? 1 : pipes) * sizeof(USBD_PIPE_INFORMATION);
}

PUCHAR AllocateBlock(ULONG bytes)
{
    return static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes, KALDRIN_POOL_TAG));
}

void FreeBlock(PUCHAR* block)
{
    if (*block != nullptr) {
        ExFreePool(*block);
        *block = nullptr;
    }
}

void FreeInterfaceInfo(CameraContext* c)
{
    if (c->InterfaceInfo != nullptr) {
        ExFreePool(c->InterfaceInfo);
        c->InterfaceInfo = nullptr;
    }
}

void LoadModeRow(CameraContext* c, const BandwidthMode& row)
{
    c->InterfaceInfo->AlternateSetting = row.AlternateSetting;
    c->ModeClockDivider = row.ClockDivider;
    c->ModeVerticalBlanking = row.VerticalBlanking;
    c->ModeShutterHigh = row.ShutterHigh;
    c->ModeFrameRate = row.FrameRate;
    c->ModePacketQuads = row.PacketQuads;
    c->ModeReg8702 = MODE_REG_8702;
    c->ModeReg8505 = MODE_REG_8505;
    c->ModeReg8502 = c->FrameWidth >= 320 ? MODE_REG_8502_LARGE : MODE_REG_8502_SMALL;
}

} // namespace

USBCAMD_DEVICE_DATA2 CamDeviceData = {
    0, // Sig: not used
    CamInitialize,
    CamUnInitialize,
    CamProcessUSBPacketEx,
    CamNewVideoFrameEx,
    CamProcessRawVideoFrameEx,
    CamStartCaptureEx,
    CamStopCaptureEx,
    CamConfigureEx,
    CamSaveState, // save state
    CamSaveState, // restore state: the same routine
    CamAllocateBandwidthEx,
    CamFreeBandwidthEx,
};

const BandwidthMode* BandwidthModesFor(ULONG Width, PULONG Count)
{
    for (const WidthModes& modes : BandwidthModeTable) {
        if (modes.Width == Width) {
            *Count = modes.Count;
            return modes.Rows;
        }
    }
    *Count = 0;
    return nullptr;
}

NTSTATUS AllocateBuffers(CameraContext* Context, ULONG InterfaceLength)
{
    CameraContext* c = Context;
    c->InterfaceInfo = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, InterfaceLength, KALDRIN_POOL_TAG));
    if (c->InterfaceInfo == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Never leave it holding stale bytes, even if the copy does not follow.
    RtlZeroMemory(c->InterfaceInfo, InterfaceLength);

    struct Buffer {
        PUCHAR* Pointer;
        ULONG Bytes;
    };
    const Buffer buffers[] = {
        {&c->RawLineBuffer, RAW_LINE_BUFFER_BYTES},
        {&c->LumaWorkBuffer, LUMA_WORK_BUFFER_BYTES},
        {&c->WorkBufferA, WORK_BUFFER_A_BYTES},
        {&c->WorkBufferB, WORK_BUFFER_B_BYTES},
    };
    for (const Buffer& buffer : buffers) {
        *buffer.Pointer = AllocateBlock(buffer.Bytes);
        if (*buffer.Pointer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    if (c->SavedFrameBuffer == nullptr) {
        c->SavedFrameBuffer = AllocateBlock(SAVED_FRAME_BYTES);
        if (c->SavedFrameBuffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        RtlZeroMemory(c->SavedFrameBuffer, SAVED_FRAME_BYTES);
        c->SavedFrameCapacity = SAVED_FRAME_BYTES;
        c->SavedFrameLength = 0;
        c->SavedFrameNextSequence = 0;
    }
    return STATUS_SUCCESS;
}

void ReleaseBuffers(CameraContext* Context)
{
    CameraContext* c = Context;
    FreeBlock(&c->RawLineBuffer);
    FreeBlock(&c->LumaWorkBuffer);
    FreeBlock(&c->WorkBufferA);
    FreeBlock(&c->WorkBufferB);
    FreeBlock(&c->SavedFrameBuffer);
    c->SavedFrameCapacity = 0;
}

NTSTATUS CamConfigureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                        PUSBD_INTERFACE_INFORMATION Interface,
                        PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                        ULONG PipeConfigListSize, PUSBCAMD_Pipe_Config_Descriptor PipeConfig,
                        PUSB_DEVICE_DESCRIPTOR DeviceDescriptor)
{
    CameraContext* c = ContextOf(DeviceContext);
    c->DeviceState = Configured;
    if (BusDeviceObject == nullptr || Interface == nullptr || ConfigurationDescriptor == nullptr ||
        PipeConfig == nullptr || DeviceDescriptor == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // A description shorter than its own pipe list would be read and written
    // past its end below and by every alternate-setting selection.
    if (Interface->NumberOfPipes == 0 ||
        Interface->Length < InterfaceBytes(Interface->NumberOfPipes)) {
        return STATUS_INVALID_PARAMETER;
    }

    // A configure on a context that still holds buffers from an earlier
    // configuration gives them back before the pointers are forgotten.
    ReleaseBuffers(c);
    FreeInterfaceInfo(c);

    c->Signature[0] = 'K';
    c->Signature[1] = 'D';
    c->Signature[2] = '3';
    c->Signature[3] = '1';
    PUCHAR first = reinterpret_cast<PUCHAR>(&c->FrameRateGate);
    PUCHAR end = reinterpret_cast<PUCHAR>(&c->AwbStepsInPhase + 1);
    RtlZeroMemory(first, static_cast<SIZE_T>(end - first));

    if (!NT_SUCCESS(AllocateBuffers(c, Interface->Length))) {
        ReleaseBuffers(c);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // Pipe 0 carries the video; the camera has no sync pipe.
    for (ULONG i = 0; i < PipeConfigListSize && i < Interface->NumberOfPipes; ++i) {
        if (i == 0) {
            PipeConfig[i].StreamAssociation = USBCAMD_VIDEO_STREAM;
            PipeConfig[i].PipeConfigFlags = USBCAMD_DATA_PIPE;
        } else {
            PipeConfig[i].StreamAssociation = 0;
            PipeConfig[i].PipeConfigFlags = USBCAMD_DONT_CARE_PIPE;
        }
    }

    Interface->AlternateSetting = NO_BANDWIDTH_SETTING;
    Interface->Pipes[0].MaximumTransferSize = DATA_PIPE_MAX_TRANSFER;
    RtlCopyMemory(c->InterfaceInfo, Interface, Interface->Length);

    c->MsClock = 0;
    c->CaptureActive = 0;
    return STATUS_SUCCESS;
}

NTSTATUS CamInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext)
{
    (void)BusDeviceObject;
    CameraContext* c = ContextOf(DeviceContext);
    const bool calibrated = CamLoadCalibration(c, &c->DpcTable) != FALSE;
    AutoControlInit(&c->AutoControlState, c);
    // The settings are loaded again at every bandwidth allocation; loading
    // them here as well means a property request before the first capture
    // run sees the stored values, and a save then writes them back instead
    // of an empty record over the user's settings.
    (void)LoadSettings(c);
    // Without a calibration block there is no defect list to correct; the
    // loaded "DPC State" takes over again at the next bandwidth allocation.
    if (!calibrated) {
        c->CameraSettings.DpcState = 0;
    }
    c->DeviceState = Initialized;
    return STATUS_SUCCESS;
}

NTSTATUS CamUnInitialize(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext)
{
    (void)BusDeviceObject;
    FreeInterfaceInfo(ContextOf(DeviceContext));
    return STATUS_SUCCESS;
}

ULONG ChooseStartingRow(ULONG Width, ULONG FrameRate, ULONG MaxPacketSize)
{
    ULONG n = 0;
    const BandwidthMode* rows = BandwidthModesFor(Width, &n);
    if (rows == nullptr) {
        return 0;
    }
    // Both rates compare as signed 16-bit values.
    const SHORT wanted = static_cast<SHORT>(FrameRate);
    ULONG k = 0;
    while (k < n && static_cast<SHORT>(rows[k].FrameRate) >= wanted) {
        ++k;
    }
    ULONG j = k == 0 ? 0 : k - 1;
    const LONG quadsAllowed = static_cast<LONG>(MaxPacketSize / 4);
    while (j<n&& static_cast<SHORT>(rows[j].PacketQuads)> quadsAllowed) {
        ++j;
    }
    return j < n ? j : n - 1;
}

NTSTATUS SelectBandwidthMode(CameraContext* Context, PULONG RawFrameLength,
                             const KS_DATAFORMAT_VIDEOINFOHEADER* Format, ULONG FrameRate,
                             ULONG MaxPacketSize)
{
    CameraContext* c = Context;
    const KS_BITMAPINFOHEADER& bitmap = Format->VideoInfoHeader.bmiHeader;
    c->FrameFourCC = bitmap.biCompression;
    c->FrameWidth = static_cast<ULONG>(bitmap.biWidth);
    c->FrameHeight = static_cast<ULONG>(bitmap.biHeight);
    c->PacketErrorCount = 0;
    c->NextPacketSequence = 0;
    c->FormatModeCode = 0;

    ULONG n = 0;
    const BandwidthMode* rows = BandwidthModesFor(c->FrameWidth, &n);
    if (rows == nullptr || c->InterfaceInfo == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (ULONG i = ChooseStartingRow(c->FrameWidth, FrameRate, MaxPacketSize); i < n; ++i) {
        LoadModeRow(c, rows[i]);
        status = USBCAMD_SelectAlternateInterface(c, c->InterfaceInfo);
        if (NT_SUCCESS(status)) {
            BuildPipelineTables(c->FrameWidth, c->FrameHeight, c->RawLineBuffer, c->LumaWorkBuffer);
            *RawFrameLength = RAW_FRAME_BYTES;
            return status;
        }
    }
    return status;
}

NTSTATUS CamAllocateBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                PULONG RawFrameLength, PVOID Format, ULONG StreamNumber)
{
    (void)BusDeviceObject;
    (void)StreamNumber;
    CameraContext* c = ContextOf(DeviceContext);
    c->BandwidthAllocationCount += 1;
    LoadSettings(c);
    // A clock persisted by the previous run means that run ended on probation.
    c->ProbationState = c->MsClock != 0 ? 2 : 0;
    if (RawFrameLength == nullptr || Format == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *RawFrameLength = 0;

    const auto* format = static_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(Format);
    const ULONG interval = static_cast<ULONG>(format->VideoInfoHeader.AvgTimePerFrame);
    const ULONG microseconds = interval / 10;
    const ULONG frameRate = microseconds != 0 ? 1000000 / microseconds : DEFAULT_FRAME_RATE;

    ResetFrameSync(c);
    FrameRateGateInit(interval, &c->FrameRateGate);

    const NTSTATUS status = SelectBandwidthMode(c, RawFrameLength, format, frameRate,
                                                c->CameraSettings.MaxPacketSizeAllowed);
    return NT_SUCCESS(status) ? status : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS CamFreeBandwidthEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber)
{
    (void)BusDeviceObject;
    (void)StreamNumber;
    CameraContext* c = ContextOf(DeviceContext);
    if (c->DeviceState != Removed) {
        c->DeviceState = BandwidthFreed;
    }
    // The persisted clock tells the next run whether it starts on probation.
    if (c->ProbationState == 0) {
        c->MsClock = 0;
    } else if (c->ProbationState == 1) {
        c->MsClock = 1;
    }
    SaveSettings(c);

    if (c->InterfaceInfo == nullptr) {
        return STATUS_SUCCESS;
    }
    c->InterfaceInfo->AlternateSetting = NO_BANDWIDTH_SETTING;
    const NTSTATUS status = USBCAMD_SelectAlternateInterface(c, c->InterfaceInfo);
    if (c->DeviceState == Removed) {
        FreeInterfaceInfo(c);
    }
    return status;
}

NTSTATUS CamStartCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber)
{
    (void)BusDeviceObject;
    (void)StreamNumber;
    CameraContext* c = ContextOf(DeviceContext);
    c->AutoPhase = 0;
    c->AeStepsInPhase = 0;
    c->DeviceState = Capturing;
    MarkDevicePresent();
    c->StillLatch = 0;
    StartCameraHardware(c);
    return STATUS_SUCCESS;
}

NTSTATUS CamStopCaptureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, ULONG StreamNumber)
{
    (void)BusDeviceObject;
    (void)StreamNumber;
    CameraContext* c = ContextOf(DeviceContext);
    if (c->DeviceState != Removed) {
        c->DeviceState = CaptureStopped;
    }
    StopCameraHardware(c);
    return STATUS_SUCCESS;
}

NTSTATUS CamSaveState(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext)
{
    (void)BusDeviceObject;
    (void)DeviceContext;
    return STATUS_SUCCESS;
}
