// The host bus, a loaded minidriver, and a device whose calls become stream
// requests: each request is built here, sent to the minidriver's routine or
// the stream's hook and library path, and checked in the request book.
#include "kald_host/host_device.h"

#include <algorithm>
#include <cstring>

#include "kald_host/host_kernel.h"
#include "stream_class.h"

namespace kald::host {
namespace {

// One bus millisecond in 100-ns units.
constexpr uint64_t MillisecondUnits = 10000;

// The largest stream description a minidriver may declare.
constexpr ULONG MaxStreamDescriptorSize = 1u << 20;

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// The stream class hands the minidriver a format in memory of its own: the
// client's FormatSize bytes, zero-padded to at least a whole video format,
// which is what a video minidriver reads. STATUS_INVALID_PARAMETER for a
// buffer that holds no KSDATAFORMAT or less than its FormatSize.
NTSTATUS CopyFormat(const void* format, ULONG size, std::vector<UCHAR>* copy)
{
    if (format == nullptr || size < sizeof(KSDATAFORMAT)) {
        return STATUS_INVALID_PARAMETER;
    }
    KSDATAFORMAT header;
    std::memcpy(&header, format, sizeof(header));
    if (header.FormatSize < sizeof(KSDATAFORMAT) || header.FormatSize > size) {
        return STATUS_INVALID_PARAMETER;
    }
    copy->assign(std::max<size_t>(header.FormatSize, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)), 0);
    std::memcpy(copy->data(), format, header.FormatSize);
    return STATUS_SUCCESS;
}

} // namespace

// --- HostBus ---

HostBus::HostBus(ULONG budgetBytes) : BudgetBytes(budgetBytes) {}

HostBus::~HostBus() = default;

ULONG HostBus::BandwidthInUse() const
{
    ULONG total = 0;
    for (const detail::DeviceExtension* device : Devices) {
        total += device->Port.Held();
    }
    return total;
}

void HostBus::Run(ULONG milliseconds)
{
    for (ULONG ms = 0; ms < milliseconds; ++ms) {
        for (detail::DeviceExtension* device : Devices) {
            if (device->Pump) {
                device->Pump->RunMillisecond();
            }
        }
        AdvanceClock(MillisecondUnits);
    }
}

// --- HostDriver ---

HostDriver::HostDriver(DriverEntryRoutine entry, const std::wstring& registryPath)
    : PathText(registryPath)
{
    const size_t bytes = std::min<size_t>(PathText.size() * sizeof(WCHAR), 0xFFFE);
    RegistryPath.Buffer = PathText.data();
    RegistryPath.Length = USHORT(bytes);
    RegistryPath.MaximumLength = USHORT(bytes);
    if (entry == nullptr) {
        Status = STATUS_INVALID_PARAMETER;
        return;
    }
    Status = entry(&DriverObject, &RegistryPath);
    IsLoaded = NT_SUCCESS(Status) && detail::FindRegistration(&DriverObject, &Registered);
    if (!IsLoaded) {
        // A driver whose entry failed is not loaded, whatever it registered.
        detail::ForgetRegistration(&DriverObject);
        Registered = MinidriverRegistration{};
    }
}

HostDriver::~HostDriver()
{
    detail::ForgetRegistration(&DriverObject);
}

// --- HostDevice ---

struct HostDevice::ReadRequest {
    HW_STREAM_REQUEST_BLOCK Srb{};
    KSSTREAM_HEADER Header{};
    bool Done = false;
};

HostDevice::HostDevice(HostBus& bus, HostDriver& driver, UsbDevice& device,
                       const HostDeviceOptions& options)
    : Bus(bus), Driver(driver), Extension(std::make_unique<detail::DeviceExtension>(
                                    bus, device, driver.Registration(), options))
{
    ClassDeviceObject.DeviceExtension = Extension.get();
    PhysicalDeviceObject.DeviceExtension = Extension.get();
    Bus.Devices.push_back(Extension.get());
}

HostDevice::~HostDevice()
{
    if (StreamIsOpen() && StreamState() == KSSTATE_RUN) {
        SetState(KSSTATE_STOP);
    }
    if (StreamIsOpen()) {
        CloseStream();
    }
    if (Started()) {
        Uninitialize();
    }
    // Whatever the minidriver did not take down goes without it.
    detail::DetachDevice(*Extension);
    for (const std::unique_ptr<ReadRequest>& read : Reads) {
        detail::ReleaseRequest(&read->Srb);
    }
    Reads.clear();
    Bus.Devices.erase(std::remove(Bus.Devices.begin(), Bus.Devices.end(), Extension.get()),
                      Bus.Devices.end());
}

bool HostDevice::CanSend() const
{
    return Driver.Loaded() && Extension->Registration.ReceivePacket != nullptr;
}

bool HostDevice::CanSendStream() const
{
    return CanSend() && Extension->StreamOpen;
}

NTSTATUS HostDevice::SendDeviceRequest(HW_STREAM_REQUEST_BLOCK& srb)
{
    if (!CanSend()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    srb.HwDeviceExtension = Extension.get();
    srb.Status = STATUS_PENDING;
    detail::TrackRequest(&srb, detail::RequestKind::Device);
    Extension->Registration.ReceivePacket(&srb);
    if (!detail::ReleaseRequest(&srb)) {
        return STATUS_IO_TIMEOUT;
    }
    return srb.Status;
}

void HostDevice::PrepareStreamRequest(HW_STREAM_REQUEST_BLOCK& srb, SRB_COMMAND command)
{
    srb = HW_STREAM_REQUEST_BLOCK{};
    srb.SizeOfThisPacket = sizeof(HW_STREAM_REQUEST_BLOCK);
    srb.Command = command;
    srb.Status = STATUS_PENDING;
    srb.StreamObject = &Stream;
    srb.HwDeviceExtension = Extension.get();
}

NTSTATUS HostDevice::SendStreamRequest(HW_STREAM_REQUEST_BLOCK& srb, bool dataRequest)
{
    detail::TrackRequest(&srb, detail::RequestKind::Stream);
    detail::DispatchStreamRequest(*Extension, &srb, dataRequest);
    if (!detail::ReleaseRequest(&srb)) {
        return STATUS_IO_TIMEOUT;
    }
    return srb.Status;
}

NTSTATUS HostDevice::Initialize()
{
    if (!CanSend() || Started()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PORT_CONFIGURATION_INFORMATION configuration{};
    configuration.SizeOfThisPacket = sizeof(PORT_CONFIGURATION_INFORMATION);
    configuration.HwDeviceExtension = Extension.get();
    configuration.ClassDeviceObject = &ClassDeviceObject;
    configuration.PhysicalDeviceObject = &PhysicalDeviceObject;
    configuration.RealPhysicalDeviceObject = &PhysicalDeviceObject;
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_INITIALIZE_DEVICE;
    srb.CommandData.ConfigInfo = &configuration;
    const NTSTATUS status = SendDeviceRequest(srb);
    StreamDescriptorSize = configuration.StreamDescriptorSize;
    return status;
}

NTSTATUS HostDevice::GetStreamInfo(HW_STREAM_DESCRIPTOR* descriptor)
{
    if (!CanSend() || !Started()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (StreamDescriptorSize > MaxStreamDescriptorSize) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const size_t bytes = std::max<size_t>(StreamDescriptorSize, sizeof(HW_STREAM_DESCRIPTOR));
    // Zeroed and aligned for the pointers in it.
    std::vector<uint64_t> buffer((bytes + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_GET_STREAM_INFO;
    srb.CommandData.StreamBuffer = reinterpret_cast<PHW_STREAM_DESCRIPTOR>(buffer.data());
    const NTSTATUS status = SendDeviceRequest(srb);
    if (NT_SUCCESS(status)) {
        std::memcpy(descriptor, buffer.data(), sizeof(HW_STREAM_DESCRIPTOR));
    }
    return status;
}

NTSTATUS HostDevice::DataIntersection(const void* range, ULONG rangeSize, void* format,
                                      ULONG formatSize, ULONG* bytesReturned, ULONG streamNumber)
{
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    if (!CanSend() || !Started()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (range == nullptr || rangeSize < sizeof(KSDATARANGE) ||
        (format == nullptr && formatSize != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    KSDATARANGE header;
    std::memcpy(&header, range, sizeof(header));
    if (header.FormatSize < sizeof(KSDATARANGE) || header.FormatSize > rangeSize) {
        return STATUS_INVALID_PARAMETER;
    }
    // The range in the stream class's own memory, exactly FormatSize bytes.
    std::vector<UCHAR> rangeCopy(static_cast<const UCHAR*>(range),
                                 static_cast<const UCHAR*>(range) + header.FormatSize);
    STREAM_DATA_INTERSECT_INFO info{streamNumber, reinterpret_cast<PKSDATARANGE>(rangeCopy.data()),
                                    format, formatSize};
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_GET_DATA_INTERSECTION;
    srb.CommandData.IntersectInfo = &info;
    const NTSTATUS status = SendDeviceRequest(srb);
    if (bytesReturned != nullptr) {
        *bytesReturned = srb.ActualBytesTransferred;
    }
    return status;
}

NTSTATUS HostDevice::OpenStream(const void* format, ULONG size, ULONG streamNumber)
{
    if (!CanSend() || !Started()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::vector<UCHAR> copy;
    const NTSTATUS copied = CopyFormat(format, size, &copy);
    if (!NT_SUCCESS(copied)) {
        return copied;
    }
    // A second open gets a stream object of its own, so that the open
    // stream's stays as its minidriver left it.
    HW_STREAM_OBJECT another{};
    HW_STREAM_OBJECT& object = StreamIsOpen() ? another : Stream;
    object = HW_STREAM_OBJECT{};
    object.SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
    object.StreamNumber = streamNumber;
    object.HwDeviceExtension = Extension.get();
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_OPEN_STREAM;
    srb.StreamObject = &object;
    srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy.data());
    return SendDeviceRequest(srb);
}

NTSTATUS HostDevice::CloseStream()
{
    if (!CanSendStream()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_CLOSE_STREAM;
    srb.StreamObject = &Stream;
    return SendDeviceRequest(srb);
}

NTSTATUS HostDevice::SendFormatRequest(SRB_COMMAND command, const void* format, ULONG size)
{
    if (!CanSendStream()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::vector<UCHAR> copy;
    const NTSTATUS copied = CopyFormat(format, size, &copy);
    if (!NT_SUCCESS(copied)) {
        return copied;
    }
    HW_STREAM_REQUEST_BLOCK srb;
    PrepareStreamRequest(srb, command);
    srb.CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(copy.data());
    return SendStreamRequest(srb, false);
}

NTSTATUS HostDevice::ProposeFormat(const void* format, ULONG size)
{
    return SendFormatRequest(SRB_PROPOSE_DATA_FORMAT, format, size);
}

NTSTATUS HostDevice::SetFormat(const void* format, ULONG size)
{
    return SendFormatRequest(SRB_SET_DATA_FORMAT, format, size);
}

NTSTATUS HostDevice::GetStreamRate()
{
    if (!CanSendStream()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    HW_STREAM_REQUEST_BLOCK srb;
    PrepareStreamRequest(srb, SRB_GET_DATA_FORMAT);
    return SendStreamRequest(srb, false);
}

NTSTATUS HostDevice::SetState(KSSTATE state)
{
    if (!CanSendStream()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    HW_STREAM_REQUEST_BLOCK srb;
    PrepareStreamRequest(srb, SRB_SET_STREAM_STATE);
    srb.CommandData.StreamState = state;
    return SendStreamRequest(srb, false);
}

NTSTATUS HostDevice::GetState(KSSTATE* state)
{
    if (!CanSendStream()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (state == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    HW_STREAM_REQUEST_BLOCK srb;
    PrepareStreamRequest(srb, SRB_GET_STREAM_STATE);
    const NTSTATUS status = SendStreamRequest(srb, false);
    if (NT_SUCCESS(status)) {
        *state = srb.CommandData.StreamState;
    }
    return status;
}

void HostDevice::ForgetDoneReads()
{
    for (auto read = Reads.begin(); read != Reads.end();) {
        if ((*read)->Done) {
            detail::ReleaseRequest(&(*read)->Srb);
            read = Reads.erase(read);
        } else {
            ++read;
        }
    }
}

NTSTATUS HostDevice::Read(PUCHAR buffer, ULONG length)
{
    ForgetDoneReads();
    if (!CanSendStream()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Reads.push_back(std::make_unique<ReadRequest>());
    ReadRequest* read = Reads.back().get();
    read->Header.Size = sizeof(KSSTREAM_HEADER);
    read->Header.FrameExtent = length;
    read->Header.Data = buffer;
    PrepareStreamRequest(read->Srb, SRB_READ_DATA);
    read->Srb.NumberOfBuffers = 1;
    read->Srb.CommandData.DataBufferArray = &read->Header;
    detail::TrackRequest(&read->Srb, detail::RequestKind::Stream, [this, read, buffer, length]() {
        read->Done = true;
        Results.push_back(ReadResult{buffer, length, read->Header.DataUsed, read->Srb.Status});
    });
    detail::DispatchStreamRequest(*Extension, &read->Srb, true);
    if (read->Done) {
        return read->Srb.Status;
    }
    if (detail::HoldsRead(*Extension, &read->Srb)) {
        return STATUS_PENDING;
    }
    // Neither completed nor queued: it would never come back.
    detail::ReleaseRequest(&read->Srb);
    Reads.pop_back();
    return STATUS_IO_TIMEOUT;
}

std::vector<ReadResult> HostDevice::TakeCompletedReads()
{
    std::vector<ReadResult> taken;
    taken.swap(Results);
    return taken;
}

size_t HostDevice::PendingReads() const
{
    return size_t(
        std::count_if(Reads.begin(), Reads.end(),
                      [](const std::unique_ptr<ReadRequest>& read) { return !read->Done; }));
}

NTSTATUS HostDevice::DeviceProperty(bool isSet, void* request, ULONG requestLength, void* data,
                                    ULONG dataLength, ULONG* bytesReturned)
{
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    if (!CanSend() || !Started()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (request == nullptr || (data == nullptr && dataLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (requestLength < sizeof(KSPROPERTY)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KSPROPERTY property;
    std::memcpy(&property, request, sizeof(property));
    const HW_STREAM_HEADER& header = Extension->StreamHeader;
    if (!Extension->HaveStreamInfo || header.DevicePropertiesArray == nullptr) {
        return STATUS_NOT_FOUND;
    }
    for (ULONG setIndex = 0; setIndex < header.NumDevPropArrayEntries; ++setIndex) {
        const KSPROPERTY_SET& set = header.DevicePropertiesArray[setIndex];
        if (set.Set == nullptr || !SameGuid(*set.Set, property.Set)) {
            continue;
        }
        const KSPROPERTY_ITEM* item = nullptr;
        for (ULONG i = 0; i < set.PropertiesCount && set.PropertyItem != nullptr; ++i) {
            if (set.PropertyItem[i].PropertyId == property.Id) {
                item = &set.PropertyItem[i];
                break;
            }
        }
        if (item == nullptr) {
            return STATUS_NOT_FOUND;
        }
        if (requestLength < item->MinProperty || dataLength < item->MinData) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        return RawDeviceProperty(isSet, setIndex, request, requestLength, data, dataLength,
                                 bytesReturned);
    }
    return STATUS_NOT_FOUND;
}

NTSTATUS HostDevice::RawDeviceProperty(bool isSet, ULONG propertySetId, void* request,
                                       ULONG requestLength, void* data, ULONG dataLength,
                                       ULONG* bytesReturned)
{
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    if (!CanSend()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    STREAM_PROPERTY_DESCRIPTOR descriptor{static_cast<PKSPROPERTY>(request), propertySetId, data,
                                          requestLength, dataLength};
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = isSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY;
    srb.CommandData.PropertyInfo = &descriptor;
    const NTSTATUS status = SendDeviceRequest(srb);
    if (bytesReturned != nullptr) {
        *bytesReturned = srb.ActualBytesTransferred;
    }
    return status;
}

NTSTATUS HostDevice::StreamProperty(bool isSet, void* request, ULONG requestLength, void* data,
                                    ULONG dataLength, ULONG* bytesReturned)
{
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    if (!CanSendStream()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (request == nullptr || (data == nullptr && dataLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (requestLength < sizeof(KSPROPERTY)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KSPROPERTY property;
    std::memcpy(&property, request, sizeof(property));
    ULONG setIndex = 0;
    const HW_STREAM_INFORMATION& info = Extension->StreamInfo;
    for (ULONG i = 0; info.StreamPropertiesArray != nullptr && i < info.NumStreamPropArrayEntries;
         ++i) {
        const GUID* set = info.StreamPropertiesArray[i].Set;
        if (set != nullptr && SameGuid(*set, property.Set)) {
            setIndex = i;
            break;
        }
    }
    STREAM_PROPERTY_DESCRIPTOR descriptor{static_cast<PKSPROPERTY>(request), setIndex, data,
                                          requestLength, dataLength};
    HW_STREAM_REQUEST_BLOCK srb;
    PrepareStreamRequest(srb, isSet ? SRB_SET_STREAM_PROPERTY : SRB_GET_STREAM_PROPERTY);
    srb.CommandData.PropertyInfo = &descriptor;
    const NTSTATUS status = SendStreamRequest(srb, false);
    if (bytesReturned != nullptr) {
        *bytesReturned = srb.ActualBytesTransferred;
    }
    return status;
}

NTSTATUS HostDevice::Uninitialize()
{
    if (!CanSend() || !Started()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_UNINITIALIZE_DEVICE;
    return SendDeviceRequest(srb);
}

PVOID HostDevice::DeviceContext() const
{
    return Extension->Context;
}

PVOID HostDevice::HwDeviceExtension() const
{
    return Extension.get();
}

bool HostDevice::Started() const
{
    return Extension->Started;
}

bool HostDevice::StreamIsOpen() const
{
    return Extension->StreamOpen;
}

KSSTATE HostDevice::StreamState() const
{
    return Extension->State;
}

UCHAR HostDevice::AlternateSetting() const
{
    return Extension->Port.Setting();
}

USHORT HostDevice::PacketSize() const
{
    return Extension->Port.PacketSize();
}

ULONG HostDevice::BandwidthHeld() const
{
    return Extension->Port.Held();
}

const IsochronousPump* HostDevice::Pump() const
{
    return Extension->Pump.get();
}

} // namespace kald::host
