#include "dispatch.h"

#include "../controls/properties.h"
#include "../controls/settings.h"
#include "camera_context.h"
#include "lifecycle.h"
#include "stream_formats.h"

ULONG SafeguardMemorySize = DEFAULT_SAFEGUARD_MEMORY_SIZE;

namespace {

// Bytes of a KS_VIDEOINFOHEADER before its bitmap header: two rectangles,
// two rates and the frame interval.
constexpr ULONG VIDEO_INFO_PREFIX_BYTES = 48;
static_assert(VIDEO_INFO_PREFIX_BYTES == sizeof(KS_VIDEOINFOHEADER) - sizeof(KS_BITMAPINFOHEADER),
              "the bitmap header ends the video-info header");

// One complete video format with a 40-byte bitmap header: 152 bytes.
constexpr ULONG VIDEO_FORMAT_BYTES = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);

PUSBCAMD_DEVICE_DATA CallbackTable()
{
    // The library takes the Ex table through its older pointer type.
    return (PUSBCAMD_DEVICE_DATA)&CamDeviceData;
}

// Hands the request to the library, which processes and completes it, and
// returns the device's context.
CameraContext* Forward(PHW_STREAM_REQUEST_BLOCK Srb)
{
    return static_cast<CameraContext*>(
        USBCAMD_AdapterReceivePacket(Srb, CallbackTable(), nullptr, TRUE));
}

// The library keeps its stream hooks in the stream object's receive fields
// and reads them back as PSTREAM_RECEIVE_PACKET; the cast goes through the
// generic function type, the one meant for storing any signature.
template <typename Field> Field AsReceiveField(PSTREAM_RECEIVE_PACKET Hook)
{
    return reinterpret_cast<Field>(reinterpret_cast<void (*)(void)>(Hook));
}

void CompleteDeviceRequest(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status)
{
    Srb->Status = Status;
    StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb, NULL, NULL,
                                  0);
}

bool SameGuid(const GUID& Left, const GUID& Right)
{
    return RtlCompareMemory(&Left, &Right, sizeof(GUID)) == sizeof(GUID);
}

void DescribeStream(PHW_STREAM_REQUEST_BLOCK Srb)
{
    (void)USBCAMD_AdapterReceivePacket(Srb, nullptr, nullptr, FALSE);
    PHW_STREAM_DESCRIPTOR descriptor = Srb->CommandData.StreamBuffer;
    if (descriptor == nullptr) {
        CompleteDeviceRequest(Srb, STATUS_INVALID_PARAMETER);
        return;
    }
    descriptor->StreamHeader.NumberOfStreams = VIDEO_STREAM_COUNT;
    descriptor->StreamInfo = VideoStreamInformation;
    // Read-only for the stream class, which takes the table non-const.
    descriptor->StreamHeader.DevicePropertiesArray =
        const_cast<PKSPROPERTY_SET>(DevicePropertySets);
    descriptor->StreamHeader.NumDevPropArrayEntries = DEVICE_PROPERTY_SET_COUNT;
    Forward(Srb);
}

// The library sees a copy of the client's format: the first 152 bytes
// (one standard format), zero beyond them up to biSize + 152 bytes, however
// short or long the client's buffer is.
void OpenStream(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PHW_STREAM_OBJECT stream = Srb->StreamObject;
    if (stream == nullptr) {
        CompleteDeviceRequest(Srb, STATUS_INVALID_PARAMETER);
        return;
    }
    stream->ReceiveDataPacket = AsReceiveField<PHW_RECEIVE_STREAM_DATA_SRB>(CamStreamDataHook);
    stream->ReceiveControlPacket =
        AsReceiveField<PHW_RECEIVE_STREAM_CONTROL_SRB>(CamStreamControlHook);

    const PKSDATAFORMAT clientFormat = Srb->CommandData.OpenFormat;
    if (!CamVerifyFormat(clientFormat, stream->StreamNumber)) {
        CompleteDeviceRequest(Srb, STATUS_INVALID_PARAMETER);
        return;
    }
    // Bounded by CamVerifyFormat, so the sum cannot wrap.
    const ULONG headerBytes = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(clientFormat)
                                  ->VideoInfoHeader.bmiHeader.biSize;
    const ULONG copyBytes = headerBytes + VIDEO_FORMAT_BYTES;
    PVOID copy = ExAllocatePoolWithTag(NonPagedPool, copyBytes, KALDRIN_POOL_TAG);
    if (copy == nullptr) {
        CompleteDeviceRequest(Srb, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    RtlZeroMemory(copy, copyBytes);
    RtlCopyMemory(copy, clientFormat, VIDEO_FORMAT_BYTES);

    Srb->CommandData.OpenFormat = static_cast<PKSDATAFORMAT>(copy);
    Forward(Srb);
    Srb->CommandData.OpenFormat = clientFormat;
    ExFreePool(copy);
}

void HandleProperty(PHW_STREAM_REQUEST_BLOCK Srb, BOOLEAN IsSet)
{
    PDEVICE_OBJECT busDeviceObject = nullptr;
    CameraContext* context = static_cast<CameraContext*>(
        USBCAMD_AdapterReceivePacket(Srb, CallbackTable(), &busDeviceObject, FALSE));
    if (context == nullptr) {
        CompleteDeviceRequest(Srb, STATUS_UNSUCCESSFUL);
        return;
    }
    // The dispatcher leaves its answer in Srb->Status.
    CamPropertyDispatch(IsSet, busDeviceObject, context, Srb);
    CompleteDeviceRequest(Srb, Srb->Status);
}

// A device starts only while SafeguardMemorySize bytes of non-paged pool can
// still be had; the probe block is given back at once.
void InitializeDevice(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PVOID probe = ExAllocatePoolWithTag(NonPagedPool, SafeguardMemorySize, KALDRIN_POOL_TAG);
    if (probe == nullptr) {
        CompleteDeviceRequest(Srb, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    ExFreePool(probe);
    Forward(Srb);
}

// After the library's tear-down the device is gone: later stop and
// bandwidth-release callbacks see Removed, and the buffers are released.
void UninitializeDevice(PHW_STREAM_REQUEST_BLOCK Srb)
{
    CameraContext* context = Forward(Srb);
    if (context != nullptr) {
        context->DeviceState = Removed;
        ReleaseBuffers(context);
    }
}

// Image size of a DIB: rows padded to whole DWORDs.
ULONG DibImageSize(const KS_BITMAPINFOHEADER& Header)
{
    const ULONGLONG width = static_cast<ULONG>(Header.biWidth);
    const ULONGLONG rowBytes = (width * Header.biBitCount + 31) / 32 * 4;
    const ULONGLONG rows = Header.biHeight < 0 ? 0 - static_cast<ULONGLONG>(Header.biHeight)
                                               : static_cast<ULONGLONG>(Header.biHeight);
    return static_cast<ULONG>(rowBytes * rows);
}

// The driver's range that the client's range equals, or NULL. The client's
// range is a full 296-byte KS_DATARANGE_VIDEO once its FormatSize says so.
const KS_DATARANGE_VIDEO* MatchingRange(const KS_DATARANGE_VIDEO* Client)
{
    for (const KS_DATARANGE_VIDEO& range : VideoFormatRanges) {
        if (Client->DataRange.FormatSize == range.DataRange.FormatSize &&
            CamRangeHeaderMatches(&Client->DataRange, &range.DataRange) &&
            Client->bFixedSizeSamples == range.bFixedSizeSamples &&
            Client->bTemporalCompression == range.bTemporalCompression &&
            Client->StreamDescriptionFlags == range.StreamDescriptionFlags &&
            Client->MemoryAllocationFlags == range.MemoryAllocationFlags &&
            RtlCompareMemory(&Client->ConfigCaps, &range.ConfigCaps, sizeof(range.ConfigCaps)) ==
                sizeof(range.ConfigCaps) &&
            Client->VideoInfoHeader.bmiHeader.biWidth == range.VideoInfoHeader.bmiHeader.biWidth &&
            Client->VideoInfoHeader.bmiHeader.biHeight ==
                range.VideoInfoHeader.bmiHeader.biHeight) {
            return &range;
        }
    }
    return nullptr;
}

NTSTATUS FinishIntersection(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status)
{
    Srb->Status = Status;
    return Status;
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    // The value must exist and be read straight into the ULONG; any failure
    // keeps the default.
    ULONG configured = 0;
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_DIRECT;
    table[0].Name = const_cast<PWSTR>(L"Safeguard Memory Size");
    table[0].EntryContext = &configured;
    const NTSTATUS query =
        RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, KALDRIN_KEY, table, nullptr, nullptr);
    SafeguardMemorySize = NT_SUCCESS(query) ? configured : DEFAULT_SAFEGUARD_MEMORY_SIZE;

    return static_cast<NTSTATUS>(USBCAMD_DriverEntry(
        DriverObject, RegistryPath, sizeof(CameraContext), sizeof(FrameContext), CamReceivePacket));
}

VOID CamReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb)
{
    switch (Srb->Command) {
    case SRB_GET_STREAM_INFO:
        DescribeStream(Srb);
        break;
    case SRB_OPEN_STREAM:
        OpenStream(Srb);
        break;
    case SRB_GET_DEVICE_PROPERTY:
        HandleProperty(Srb, FALSE);
        break;
    case SRB_SET_DEVICE_PROPERTY:
        HandleProperty(Srb, TRUE);
        break;
    case SRB_INITIALIZE_DEVICE:
        InitializeDevice(Srb);
        break;
    case SRB_UNINITIALIZE_DEVICE:
        UninitializeDevice(Srb);
        break;
    case SRB_GET_DATA_INTERSECTION:
        CompleteDeviceRequest(Srb, CamGetDataIntersection(Srb));
        break;
    default:
        Forward(Srb);
        break;
    }
}

VOID CamStreamDataHook(PVOID Srb, PVOID DeviceContext, PBOOLEAN Completed)
{
    // Every data request stays with the library.
    (void)Srb;
    (void)DeviceContext;
    (void)Completed;
}

VOID CamStreamControlHook(PVOID Srb, PVOID DeviceContext, PBOOLEAN Completed)
{
    (void)DeviceContext;
    PHW_STREAM_REQUEST_BLOCK srb = static_cast<PHW_STREAM_REQUEST_BLOCK>(Srb);
    *Completed = TRUE;
    srb->Status = STATUS_SUCCESS;
    switch (srb->Command) {
    case SRB_PROPOSE_DATA_FORMAT:
    case SRB_SET_DATA_FORMAT:
        // A format that matches changes nothing: capture keeps the format
        // bandwidth was allocated for.
        if (!CamVerifyFormat(srb->CommandData.OpenFormat, srb->StreamObject->StreamNumber)) {
            srb->Status = STATUS_NO_MATCH;
        }
        break;
    case SRB_GET_STREAM_RATE:
        srb->Status = STATUS_NOT_IMPLEMENTED;
        break;
    default:
        *Completed = FALSE; // stream state, stream properties, reads, clocks
        break;
    }
    if (*Completed) {
        StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
    }
}

BOOLEAN CamRangeHeaderMatches(const KSDATARANGE* Left, const KSDATARANGE* Right)
{
    return SameGuid(Left->MajorFormat, Right->MajorFormat) &&
           SameGuid(Left->SubFormat, Right->SubFormat) &&
           SameGuid(Left->Specifier, Right->Specifier);
}

BOOLEAN CamVerifyFormat(PKSDATAFORMAT Format, ULONG StreamNumber)
{
    // FormatSize is all that tells how much of the client's buffer may be
    // read: below one standard format the video-info header is not there.
    if (StreamNumber != 0 || Format == nullptr || Format->FormatSize < VIDEO_FORMAT_BYTES) {
        return FALSE;
    }
    const KS_BITMAPINFOHEADER& header =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(Format)->VideoInfoHeader.bmiHeader;
    if (header.biSize > MAX_FORMAT_BITMAP_HEADER_BYTES) {
        return FALSE;
    }
    for (const KS_DATARANGE_VIDEO& range : VideoFormatRanges) {
        const KS_BITMAPINFOHEADER& offered = range.VideoInfoHeader.bmiHeader;
        if (CamRangeHeaderMatches(Format, &range.DataRange) && header.biWidth == offered.biWidth &&
            header.biHeight == offered.biHeight && header.biSizeImage == offered.biSizeImage) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS CamGetDataIntersection(PHW_STREAM_REQUEST_BLOCK Srb)
{
    PSTREAM_DATA_INTERSECT_INFO info = Srb->CommandData.IntersectInfo;
    if (info == nullptr || info->DataRange == nullptr ||
        (info->DataFormatBuffer == nullptr && info->SizeOfDataFormatBuffer != 0)) {
        return FinishIntersection(Srb, STATUS_INVALID_PARAMETER);
    }
    if (info->StreamNumber != 0) {
        return FinishIntersection(Srb, STATUS_NO_MATCH);
    }
    // Only a whole KS_DATARANGE_VIDEO can equal one of the driver's ranges,
    // and only its standard 40-byte bitmap header lies inside it: any other
    // biSize would send the copy below past the client's 296 bytes.
    PKS_DATARANGE_VIDEO client = reinterpret_cast<PKS_DATARANGE_VIDEO>(info->DataRange);
    if (client->DataRange.FormatSize != sizeof(KS_DATARANGE_VIDEO) ||
        client->VideoInfoHeader.bmiHeader.biSize != sizeof(KS_BITMAPINFOHEADER)) {
        return FinishIntersection(Srb, STATUS_NO_MATCH);
    }
    const KS_DATARANGE_VIDEO* range = MatchingRange(client);
    if (range == nullptr) {
        return FinishIntersection(Srb, STATUS_NO_MATCH);
    }

    // Slower than one frame per second is raised to it, at that rate's bits.
    if (client->VideoInfoHeader.AvgTimePerFrame > range->ConfigCaps.MaxFrameInterval) {
        client->VideoInfoHeader.AvgTimePerFrame = range->ConfigCaps.MaxFrameInterval;
        client->VideoInfoHeader.dwBitRate = static_cast<DWORD>(range->ConfigCaps.MinBitsPerSecond);
    }

    const ULONG headerBytes = client->VideoInfoHeader.bmiHeader.biSize;
    const ULONG required = sizeof(KSDATAFORMAT) + VIDEO_INFO_PREFIX_BYTES + headerBytes;
    if (info->SizeOfDataFormatBuffer == 0) {
        Srb->ActualBytesTransferred = required;
        return FinishIntersection(Srb, STATUS_BUFFER_OVERFLOW);
    }
    if (info->SizeOfDataFormatBuffer < required) {
        return FinishIntersection(Srb, STATUS_BUFFER_TOO_SMALL);
    }

    PKS_DATAFORMAT_VIDEOINFOHEADER format =
        static_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(info->DataFormatBuffer);
    RtlCopyMemory(&format->DataFormat, &client->DataRange, sizeof(KSDATAFORMAT));
    format->DataFormat.FormatSize = required;
    RtlCopyMemory(&format->VideoInfoHeader, &client->VideoInfoHeader,
                  VIDEO_INFO_PREFIX_BYTES + headerBytes);
    const ULONG imageBytes = DibImageSize(format->VideoInfoHeader.bmiHeader);
    format->DataFormat.SampleSize = imageBytes;
    format->VideoInfoHeader.bmiHeader.biSizeImage = imageBytes;
    Srb->ActualBytesTransferred = required;
    return FinishIntersection(Srb, STATUS_SUCCESS);
}
