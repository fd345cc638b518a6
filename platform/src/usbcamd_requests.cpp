// The USB camera library's request side on the host: the device requests a
// minidriver hands to USBCAMD_AdapterReceivePacket, which carry a device
// through configuration, stream opening and tear-down by way of the
// minidriver's USBCAMD_DEVICE_DATA2 callbacks, and the stream requests its
// hooks hand on: stream state (bandwidth, capture start and stop, the
// isochronous pump), reads, and the standard stream properties.
//
// Order of the callbacks for one device:
//   SRB_INITIALIZE_DEVICE   CamConfigureEx, CamInitialize
//                           (either failing: CamUnInitialize, device unbound)
//   KSSTATE_RUN             CamAllocateBandwidthEx, CamStartCaptureEx, then
//                           the pump's packet and frame callbacks
//                           (start failing: CamFreeBandwidthEx)
//   leaving KSSTATE_RUN     CamStopCaptureEx, CamFreeBandwidthEx; the pump
//                           goes and queued reads are cancelled
//   SRB_CLOSE_STREAM        a running stream is stopped first
//   SRB_UNINITIALIZE_DEVICE an open stream is closed first; CamUnInitialize,
//                           device unbound
#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "kald_host/host_kernel.h"
#include "kald_host/ksmedia.h"
#include "stream_class.h"

namespace kald::host::detail {
namespace {

// The camera's one stream.
constexpr ULONG VideoStream = 0;

// A raw frame longer than this is not a frame the library would assemble.
constexpr ULONG MaxRawFrameLength = 16u << 20;

// What the bus reports for the camera at configuration.
constexpr UCHAR DataEndpointAddress = 0x81; // isochronous IN, endpoint 1
constexpr UCHAR VendorSpecificClass = 0xFF;
constexpr USHORT FullSpeedUsb = 0x0110; // bcdUSB 1.10
constexpr UCHAR ControlPacketSize = 8;  // bMaxPacketSize0
constexpr UCHAR BusPoweredAttributes = 0x80;
constexpr UCHAR MaxPower500mA = 250; // in 2 mA units
constexpr ULONG DefaultMaximumTransfer = 0x1000;
// One configuration, interface and endpoint descriptor: 9 + 9 + 7 bytes.
constexpr USHORT ConfigurationTotalLength = 25;

// What the interface and pipe handles point at; the minidriver only carries
// them around.
UCHAR InterfaceToken;
UCHAR PipeToken;

constexpr GUID MakeGuid(ULONG d1, USHORT d2, USHORT d3, UCHAR b0, UCHAR b1, UCHAR b2, UCHAR b3,
                        UCHAR b4, UCHAR b5, UCHAR b6, UCHAR b7)
{
    return GUID{d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}};
}

const GUID ConnectionSet = MakeGuid(STATIC_KSPROPSETID_Connection);
const GUID DroppedFramesSet = MakeGuid(STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES);

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

struct LiveExtensions {
    std::mutex Lock;
    std::unordered_set<const DeviceExtension*> Records;
};

LiveExtensions& TheExtensions()
{
    static LiveExtensions* live = new LiveExtensions;
    return *live;
}

void CompleteDeviceRequest(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status)
{
    srb->Status = status;
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb, nullptr,
                                  nullptr, 0);
}

void CompleteStreamRequest(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status)
{
    srb->Status = status;
    StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

// The stream object's receive fields carry the minidriver's hooks, which
// have the hook signature: the cast goes through the generic routine type.
using GenericRoutine = void (*)();

PSTREAM_RECEIVE_PACKET AsHook(GenericRoutine routine)
{
    return reinterpret_cast<PSTREAM_RECEIVE_PACKET>(routine);
}

const KS_DATAFORMAT_VIDEOINFOHEADER& OpenVideoFormat(const DeviceExtension& e)
{
    return *reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(e.OpenFormat.data());
}

// The picture size of the open format: what each read must hold and the
// frame callback is asked to write.
ULONG ClientFrameLength(const DeviceExtension& e)
{
    return OpenVideoFormat(e).VideoInfoHeader.bmiHeader.biSizeImage;
}

// --- Device requests ---

NTSTATUS InitializeDevice(DeviceExtension& e, PHW_STREAM_REQUEST_BLOCK srb)
{
    if (e.Started) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const USBCAMD_DEVICE_DATA2& callbacks = e.Callbacks;
    if (!e.HaveCallbacks || callbacks.CamConfigureEx == nullptr ||
        callbacks.CamInitialize == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    BindDevice(e.Context, &e.Port);

    USB_DEVICE_DESCRIPTOR device{};
    device.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    device.bDescriptorType = 1;
    device.bcdUSB = FullSpeedUsb;
    device.bDeviceClass = VendorSpecificClass;
    device.bDeviceSubClass = VendorSpecificClass;
    device.bDeviceProtocol = VendorSpecificClass;
    device.bMaxPacketSize0 = ControlPacketSize;
    device.idVendor = e.Options.VendorId;
    device.idProduct = e.Options.ProductId;
    device.bcdDevice = e.Options.DeviceRelease;
    device.iManufacturer = 1;
    device.iProduct = 2;
    device.bNumConfigurations = 1;

    USB_CONFIGURATION_DESCRIPTOR configuration{};
    configuration.bLength = 9;
    configuration.bDescriptorType = 2;
    configuration.wTotalLength = ConfigurationTotalLength;
    configuration.bNumInterfaces = 1;
    configuration.bConfigurationValue = 1;
    configuration.bmAttributes = BusPoweredAttributes;
    configuration.MaxPower = MaxPower500mA;

    // The video interface at alternate setting 0 (no isochronous bandwidth)
    // with its one data pipe.
    USBD_INTERFACE_INFORMATION videoInterface{};
    videoInterface.Length = sizeof(USBD_INTERFACE_INFORMATION);
    videoInterface.InterfaceNumber = e.Options.InterfaceNumber;
    videoInterface.AlternateSetting = 0;
    videoInterface.Class = VendorSpecificClass;
    videoInterface.SubClass = VendorSpecificClass;
    videoInterface.Protocol = VendorSpecificClass;
    videoInterface.InterfaceHandle = &InterfaceToken;
    videoInterface.NumberOfPipes = 1;
    USBD_PIPE_INFORMATION& pipe = videoInterface.Pipes[0];
    pipe.MaximumPacketSize = 0;
    pipe.EndpointAddress = DataEndpointAddress;
    pipe.Interval = 1;
    pipe.PipeType = UsbdPipeTypeIsochronous;
    pipe.PipeHandle = &PipeToken;
    pipe.MaximumTransferSize = DefaultMaximumTransfer;

    USBCAMD_Pipe_Config_Descriptor pipeConfig[1] = {};

    NTSTATUS status = callbacks.CamConfigureEx(&e.BusDeviceObject, e.Context, &videoInterface,
                                               &configuration, 1, pipeConfig, &device);
    if (NT_SUCCESS(status)) {
        status = callbacks.CamInitialize(&e.BusDeviceObject, e.Context);
    }
    if (!NT_SUCCESS(status)) {
        // The minidriver's tear-down gives back what configuration set up.
        if (callbacks.CamUnInitialize != nullptr) {
            callbacks.CamUnInitialize(&e.BusDeviceObject, e.Context);
        }
        BindDevice(e.Context, nullptr);
        e.Port.Release();
        return status;
    }
    if (srb->CommandData.ConfigInfo != nullptr) {
        srb->CommandData.ConfigInfo->StreamDescriptorSize = sizeof(HW_STREAM_DESCRIPTOR);
    }
    e.Started = true;
    return STATUS_SUCCESS;
}

// The minidriver has filled in the descriptor; the library keeps the header
// and the first stream's information.
NTSTATUS KeepStreamInfo(DeviceExtension& e, PHW_STREAM_REQUEST_BLOCK srb)
{
    if (!e.Started) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const PHW_STREAM_DESCRIPTOR descriptor = srb->CommandData.StreamBuffer;
    if (descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    e.StreamHeader = descriptor->StreamHeader;
    e.StreamInfo = descriptor->StreamHeader.NumberOfStreams != 0 ? descriptor->StreamInfo
                                                                 : HW_STREAM_INFORMATION{};
    e.HaveStreamInfo = true;
    return STATUS_SUCCESS;
}

NTSTATUS OpenStream(DeviceExtension& e, PHW_STREAM_REQUEST_BLOCK srb)
{
    if (!e.Started) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (e.StreamOpen) {
        // One instance of the stream at a time.
        return STATUS_UNSUCCESSFUL;
    }
    PHW_STREAM_OBJECT stream = srb->StreamObject;
    const PKSDATAFORMAT format = srb->CommandData.OpenFormat;
    if (stream == nullptr || format == nullptr || stream->StreamNumber != VideoStream) {
        return STATUS_INVALID_PARAMETER;
    }
    // Only the standard video format is read: the bandwidth callback and the
    // library use nothing beyond it, and nothing says how much memory stands
    // behind a larger FormatSize.
    e.OpenFormat.assign(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER), 0);
    std::memcpy(e.OpenFormat.data(), format, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    e.DataHook = AsHook(reinterpret_cast<GenericRoutine>(stream->ReceiveDataPacket));
    e.ControlHook = AsHook(reinterpret_cast<GenericRoutine>(stream->ReceiveControlPacket));
    e.StreamObject = stream;
    e.StreamOpen = true;
    e.State = KSSTATE_STOP;
    e.FramesDelivered = 0;
    e.FramesDropped = 0;
    return STATUS_SUCCESS;
}

// --- The stream ---

void FinishRead(DeviceExtension& e, const CompletedBuffer& done)
{
    if (e.PumpReads.empty()) {
        return;
    }
    const PHW_STREAM_REQUEST_BLOCK srb = e.PumpReads.front();
    e.PumpReads.pop_front();
    PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
    header->DataUsed = done.BytesReturned;
    header->PresentationTime.Time = LONGLONG(Now100ns());
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    srb->ActualBytesTransferred = done.BytesReturned;
    CompleteStreamRequest(srb, done.Status);
}

// Gives a read to the running pump, or completes it with the pump's refusal.
void HandReadToPump(DeviceExtension& e, PHW_STREAM_REQUEST_BLOCK srb)
{
    PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
    const NTSTATUS status =
        e.Pump->QueueBuffer(static_cast<PUCHAR>(header->Data), header->FrameExtent);
    if (NT_SUCCESS(status)) {
        e.PumpReads.push_back(srb);
    } else {
        CompleteStreamRequest(srb, status);
    }
}

void QueueRead(DeviceExtension& e, PHW_STREAM_REQUEST_BLOCK srb)
{
    PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
    if (srb->NumberOfBuffers != 1 || header == nullptr || header->Data == nullptr) {
        CompleteStreamRequest(srb, STATUS_INVALID_PARAMETER);
        return;
    }
    if (header->FrameExtent < ClientFrameLength(e)) {
        CompleteStreamRequest(srb, STATUS_BUFFER_TOO_SMALL);
        return;
    }
    header->DataUsed = 0;
    if (e.Pump) {
        HandReadToPump(e, srb);
    } else {
        e.WaitingReads.push_back(srb);
    }
}

void CancelReads(DeviceExtension& e)
{
    std::deque<PHW_STREAM_REQUEST_BLOCK> reads;
    reads.swap(e.PumpReads);
    reads.insert(reads.end(), e.WaitingReads.begin(), e.WaitingReads.end());
    e.WaitingReads.clear();
    for (const PHW_STREAM_REQUEST_BLOCK srb : reads) {
        srb->CommandData.DataBufferArray->DataUsed = 0;
        srb->ActualBytesTransferred = 0;
        CompleteStreamRequest(srb, STATUS_CANCELLED);
    }
}

NTSTATUS StopCapture(DeviceExtension& e)
{
    const PCAM_STOP_CAPTURE_ROUTINE_EX stop = e.Callbacks.CamStopCaptureEx;
    return stop != nullptr ? stop(&e.BusDeviceObject, e.Context, VideoStream) : STATUS_SUCCESS;
}

NTSTATUS FreeBandwidth(DeviceExtension& e)
{
    const PCAM_FREE_BW_ROUTINE_EX freeBandwidth = e.Callbacks.CamFreeBandwidthEx;
    return freeBandwidth != nullptr ? freeBandwidth(&e.BusDeviceObject, e.Context, VideoStream)
                                    : STATUS_SUCCESS;
}

void EndPump(DeviceExtension& e)
{
    if (e.Pump) {
        e.FramesDelivered += e.Pump->Statistics().framesDelivered;
        e.FramesDropped += e.Pump->Statistics().framesDropped;
        e.Pump.reset();
    }
}

NTSTATUS StartStream(DeviceExtension& e)
{
    const USBCAMD_DEVICE_DATA2& callbacks = e.Callbacks;
    if (callbacks.CamAllocateBandwidthEx == nullptr || callbacks.CamStartCaptureEx == nullptr ||
        callbacks.CamProcessUSBPacketEx == nullptr || callbacks.CamNewVideoFrameEx == nullptr ||
        callbacks.CamProcessRawVideoFrameEx == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG rawFrameLength = 0;
    NTSTATUS status = callbacks.CamAllocateBandwidthEx(
        &e.BusDeviceObject, e.Context, &rawFrameLength, e.OpenFormat.data(), VideoStream);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = callbacks.CamStartCaptureEx(&e.BusDeviceObject, e.Context, VideoStream);
    if (NT_SUCCESS(status) && (rawFrameLength == 0 || rawFrameLength > MaxRawFrameLength)) {
        // No raw frame the library could assemble into.
        StopCapture(e);
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        FreeBandwidth(e);
        return status;
    }

    e.Pump = std::make_unique<IsochronousPump>(callbacks, e.Context, e.Port, e.Port.PacketSize(),
                                               ClientFrameLength(e), rawFrameLength,
                                               e.Registration.FrameContextSize);
    e.Pump->SetBusDeviceObject(&e.BusDeviceObject);
    DeviceExtension* record = &e;
    e.Pump->SetCompletion([record](const CompletedBuffer& done) { FinishRead(*record, done); });
    e.State = KSSTATE_RUN;
    std::deque<PHW_STREAM_REQUEST_BLOCK> waiting;
    waiting.swap(e.WaitingReads);
    for (const PHW_STREAM_REQUEST_BLOCK srb : waiting) {
        HandReadToPump(e, srb);
    }
    return STATUS_SUCCESS;
}

// Stop, then free: both run even when the first fails; the first failure is
// the answer. The stream is stopped either way.
NTSTATUS StopStream(DeviceExtension& e)
{
    const NTSTATUS stopped = StopCapture(e);
    const NTSTATUS freed = FreeBandwidth(e);
    EndPump(e);
    CancelReads(e);
    return !NT_SUCCESS(stopped) ? stopped : freed;
}

NTSTATUS SetStreamState(DeviceExtension& e, PHW_STREAM_REQUEST_BLOCK srb)
{
    // Read as a number: a client may send any value.
    int32_t requested = 0;
    static_assert(sizeof(KSSTATE) == sizeof(requested), "KSSTATE is 32 bits");
    std::memcpy(&requested, &srb->CommandData.StreamState, sizeof(requested));
    if (requested < KSSTATE_STOP || requested > KSSTATE_RUN) {
        return STATUS_INVALID_PARAMETER;
    }
    const KSSTATE wanted = static_cast<KSSTATE>(requested);
    if (wanted == e.State) {
        return STATUS_SUCCESS;
    }
    if (wanted == KSSTATE_RUN) {
        return StartStream(e);
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (e.State == KSSTATE_RUN) {
        status = StopStream(e);
    }
    e.State = wanted;
    return status;
}

NTSTATUS GetStreamProperty(DeviceExtension& e, PHW_STREAM_REQUEST_BLOCK srb)
{
    const PSTREAM_PROPERTY_DESCRIPTOR descriptor = srb->CommandData.PropertyInfo;
    if (descriptor == nullptr || descriptor->Property == nullptr ||
        descriptor->PropertyInputSize < sizeof(KSPROPERTY)) {
        return STATUS_INVALID_PARAMETER;
    }
    KSPROPERTY property;
    std::memcpy(&property, descriptor->Property, sizeof(property));

    if (SameGuid(property.Set, ConnectionSet) &&
        property.Id == KSPROPERTY_CONNECTION_ALLOCATORFRAMING) {
        if (descriptor->PropertyInfo == nullptr ||
            descriptor->PropertyOutputSize < sizeof(KSALLOCATOR_FRAMING)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        KSALLOCATOR_FRAMING framing{};
        framing.Frames = 2;
        framing.FrameSize = ClientFrameLength(e);
        std::memcpy(descriptor->PropertyInfo, &framing, sizeof(framing));
        srb->ActualBytesTransferred = sizeof(framing);
        return STATUS_SUCCESS;
    }
    if (SameGuid(property.Set, DroppedFramesSet) &&
        property.Id == KSPROPERTY_DROPPEDFRAMES_CURRENT) {
        if (descriptor->PropertyInfo == nullptr ||
            descriptor->PropertyOutputSize < sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        uint64_t delivered = e.FramesDelivered;
        uint64_t dropped = e.FramesDropped;
        if (e.Pump) {
            delivered += e.Pump->Statistics().framesDelivered;
            dropped += e.Pump->Statistics().framesDropped;
        }
        KSPROPERTY_DROPPEDFRAMES_CURRENT_S answer{};
        answer.Property = property;
        answer.PictureNumber = LONGLONG(delivered + dropped);
        answer.DropCount = LONGLONG(dropped);
        answer.AverageFrameSize = ClientFrameLength(e);
        std::memcpy(descriptor->PropertyInfo, &answer, sizeof(answer));
        srb->ActualBytesTransferred = sizeof(answer);
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_IMPLEMENTED;
}

void ProcessStreamRequest(DeviceExtension& e, PHW_STREAM_REQUEST_BLOCK srb)
{
    if (!e.StreamOpen || srb->StreamObject != e.StreamObject) {
        CompleteStreamRequest(srb, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    switch (srb->Command) {
    case SRB_READ_DATA:
        QueueRead(e, srb);
        return;
    case SRB_SET_STREAM_STATE:
        CompleteStreamRequest(srb, SetStreamState(e, srb));
        return;
    case SRB_GET_STREAM_STATE:
        srb->CommandData.StreamState = e.State;
        srb->ActualBytesTransferred = sizeof(KSSTATE);
        CompleteStreamRequest(srb, STATUS_SUCCESS);
        return;
    case SRB_GET_STREAM_PROPERTY:
        CompleteStreamRequest(srb, GetStreamProperty(e, srb));
        return;
    case SRB_PROPOSE_DATA_FORMAT:
    case SRB_SET_DATA_FORMAT:
        // The minidriver's hook judges formats; one it hands on is accepted.
        CompleteStreamRequest(srb, STATUS_SUCCESS);
        return;
    default:
        CompleteStreamRequest(srb, STATUS_NOT_IMPLEMENTED);
        return;
    }
}

// Stops a running stream, cancels the reads and forgets the stream.
void ShutStream(DeviceExtension& e)
{
    if (e.State == KSSTATE_RUN) {
        StopStream(e);
    }
    CancelReads(e);
    e.StreamOpen = false;
    e.StreamObject = nullptr;
    e.DataHook = nullptr;
    e.ControlHook = nullptr;
    e.State = KSSTATE_STOP;
}

NTSTATUS CloseStream(DeviceExtension& e)
{
    if (!e.StreamOpen) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ShutStream(e);
    return STATUS_SUCCESS;
}

NTSTATUS UninitializeDevice(DeviceExtension& e)
{
    if (!e.Started) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (e.StreamOpen) {
        ShutStream(e);
    }
    if (e.Callbacks.CamUnInitialize != nullptr) {
        e.Callbacks.CamUnInitialize(&e.BusDeviceObject, e.Context);
    }
    BindDevice(e.Context, nullptr);
    // The device is gone from the bus, whatever setting it was left at.
    e.Port.Release();
    e.Started = false;
    return STATUS_SUCCESS;
}

void ProcessDeviceRequest(DeviceExtension& e, PHW_STREAM_REQUEST_BLOCK srb)
{
    NTSTATUS status = STATUS_NOT_IMPLEMENTED;
    switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE:
        status = InitializeDevice(e, srb);
        break;
    case SRB_GET_STREAM_INFO:
        status = KeepStreamInfo(e, srb);
        break;
    case SRB_OPEN_STREAM:
        status = OpenStream(e, srb);
        break;
    case SRB_CLOSE_STREAM:
        status = CloseStream(e);
        break;
    case SRB_UNINITIALIZE_DEVICE:
        status = UninitializeDevice(e);
        break;
    default:
        break;
    }
    CompleteDeviceRequest(srb, status);
}

} // namespace

// --- The bus port ---

NTSTATUS BusPort::VendorControl(UCHAR request, USHORT value, USHORT index, void* buffer,
                                ULONG* length, bool getData)
{
    return Device.VendorControl(request, value, index, buffer, length, getData);
}

bool BusPort::AlternateSettingPacketSize(UCHAR interfaceNumber, UCHAR alternateSetting,
                                         USHORT* maxPacketSize) const
{
    return Device.AlternateSettingPacketSize(interfaceNumber, alternateSetting, maxPacketSize);
}

UsbDevice::IsochronousPacket BusPort::NextIsochronousPacket(PUCHAR buffer, ULONG capacity)
{
    return Device.NextIsochronousPacket(buffer, capacity);
}

// What the other devices on the bus leave of the budget.
ULONG BusPort::Available() const
{
    ULONG others = 0;
    for (const DeviceExtension* device : Bus.Devices) {
        if (&device->Port != this) {
            others += device->Port.Held();
        }
    }
    return others >= Bus.BudgetBytes ? 0 : Bus.BudgetBytes - others;
}

// A setting whose packets the rest of the budget cannot carry is refused
// with STATUS_INSUFFICIENT_RESOURCES. A device that tells its packet sizes
// beforehand is not asked at all; one that does not is asked, and its
// previous setting selected again when the answer does not fit. Otherwise
// the device's answer stands, and on success the setting's packet size is
// what the device holds of the budget.
NTSTATUS BusPort::SelectAlternateSetting(UCHAR interfaceNumber, UCHAR alternateSetting,
                                         USHORT* maxPacketSize)
{
    USHORT known = 0;
    if (Device.AlternateSettingPacketSize(interfaceNumber, alternateSetting, &known) &&
        known > Available()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    USHORT packetSize = 0;
    const NTSTATUS status =
        Device.SelectAlternateSetting(interfaceNumber, alternateSetting, &packetSize);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (packetSize > Available()) {
        USHORT previous = 0;
        Device.SelectAlternateSetting(interfaceNumber, SelectedSetting, &previous);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    SelectedSetting = alternateSetting;
    SelectedPacketSize = packetSize;
    HeldBytes = packetSize;
    if (maxPacketSize != nullptr) {
        *maxPacketSize = packetSize;
    }
    return status;
}

// --- The device record ---

namespace {

// 8-byte words that hold a device context of `bytes` (at least one, so that
// even a minidriver without a context gets a pointer of its own).
size_t ContextWords(ULONG bytes)
{
    return std::max<size_t>(1, (size_t(bytes) + sizeof(uint64_t) - 1) / sizeof(uint64_t));
}

} // namespace

DeviceExtension::DeviceExtension(HostBus& bus, UsbDevice& device,
                                 const MinidriverRegistration& registration,
                                 const HostDeviceOptions& options)
    : Bus(bus), Port(bus, device), Registration(registration), Options(options),
      ContextStorage(new uint64_t[ContextWords(registration.DeviceContextSize)]()),
      Context(ContextStorage.get())
{
    LiveExtensions& live = TheExtensions();
    std::lock_guard<std::mutex> guard(live.Lock);
    live.Records.insert(this);
}

DeviceExtension::~DeviceExtension()
{
    LiveExtensions& live = TheExtensions();
    std::lock_guard<std::mutex> guard(live.Lock);
    live.Records.erase(this);
}

DeviceExtension* FindExtension(PVOID hwDeviceExtension)
{
    LiveExtensions& live = TheExtensions();
    std::lock_guard<std::mutex> guard(live.Lock);
    auto* record = static_cast<DeviceExtension*>(hwDeviceExtension);
    return live.Records.count(record) != 0 ? record : nullptr;
}

void DispatchStreamRequest(DeviceExtension& e, PHW_STREAM_REQUEST_BLOCK srb, bool dataRequest)
{
    const PSTREAM_RECEIVE_PACKET hook = dataRequest ? e.DataHook : e.ControlHook;
    BOOLEAN completed = FALSE;
    if (hook != nullptr) {
        hook(srb, e.Context, &completed);
    }
    if (completed) {
        // The hook's; whether it really completed it is checked on return.
        return;
    }
    if (RequestCompleted(srb)) {
        CountHandedOnAfterCompletion();
        return;
    }
    ProcessStreamRequest(e, srb);
}

bool HoldsRead(const DeviceExtension& e, PHW_STREAM_REQUEST_BLOCK srb)
{
    return std::find(e.PumpReads.begin(), e.PumpReads.end(), srb) != e.PumpReads.end() ||
           std::find(e.WaitingReads.begin(), e.WaitingReads.end(), srb) != e.WaitingReads.end();
}

void DetachDevice(DeviceExtension& e)
{
    EndPump(e);
    CancelReads(e);
    e.StreamOpen = false;
    e.StreamObject = nullptr;
    e.DataHook = nullptr;
    e.ControlHook = nullptr;
    e.State = KSSTATE_STOP;
    e.Started = false;
    BindDevice(e.Context, nullptr);
    e.Port.Release();
}

} // namespace kald::host::detail

// Returns the minidriver's device context of the request's device (null for
// a request without a device the host knows) and, when DeviceObject is given,
// the bus's device object. DeviceData, when given, is taken as the
// minidriver's USBCAMD_DEVICE_DATA2 table and kept for the callbacks. With
// NeedsCompletion TRUE the request is processed and completed (see the table
// at the top of this file); a command the library does not serve completes
// with STATUS_NOT_IMPLEMENTED, one for a device in the wrong state with
// STATUS_INVALID_DEVICE_REQUEST.
PVOID USBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb, PUSBCAMD_DEVICE_DATA DeviceData,
                                   PDEVICE_OBJECT* DeviceObject, BOOLEAN NeedsCompletion)
{
    using kald::host::detail::DeviceExtension;
    if (DeviceObject != nullptr) {
        *DeviceObject = nullptr;
    }
    if (Srb == nullptr) {
        return nullptr;
    }
    DeviceExtension* e = kald::host::detail::FindExtension(Srb->HwDeviceExtension);
    if (e == nullptr) {
        if (NeedsCompletion) {
            kald::host::detail::CompleteDeviceRequest(Srb, STATUS_INVALID_DEVICE_REQUEST);
        }
        return nullptr;
    }
    if (DeviceObject != nullptr) {
        *DeviceObject = &e->BusDeviceObject;
    }
    if (DeviceData != nullptr) {
        e->Callbacks = *reinterpret_cast<const USBCAMD_DEVICE_DATA2*>(DeviceData);
        e->HaveCallbacks = true;
    }
    if (NeedsCompletion) {
        kald::host::detail::ProcessDeviceRequest(*e, Srb);
    }
    return e->Context;
}
