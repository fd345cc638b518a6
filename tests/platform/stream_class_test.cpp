// The host stream class and camera library against a small minidriver written
// here: its own entry routine, a request routine that answers property
// requests itself and hands everything else to the library with a table of
// recording callbacks, and stream hooks. The cameras are fakes that send
// numbered packets, or the simulated camera where its alternate settings
// matter.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kald_host/host_device.h"
#include "kald_host/host_kernel.h"
#include "kald_host/host_usb.h"
#include "kald_host/ksmedia.h"
#include "kald_sim/camera.h"

namespace {

using namespace kald::host;

// The fake camera's stream: 8-byte packets numbered 0..3, so a frame is four
// packets (32 raw bytes) and a new one starts every 4 ms.
constexpr ULONG kPacketBytes = 8;
constexpr UCHAR kFramePackets = 4;
// The picture of the test format: 4x4 at 8 bits.
constexpr ULONG kPictureBytes = 16;
constexpr ULONG kRawFrameLength = 64;
constexpr ULONG kFrameContextSize = 12;

// The minidriver's device record.
struct FakeContext {
    uint32_t Marker; // set at configure
    USBD_INTERFACE_INFORMATION Interface;
    bool SeenStart;
    UCHAR FrameNumber; // of the last frame written
};

enum class HookMode {
    Honest,                  // completes what it answers and says so
    ClaimsWithoutCompleting, // says completed, never completes
    CompletesButHandsOn,     // completes, then leaves *Completed FALSE
};

struct Minidriver {
    // --- Behaviour ---
    NTSTATUS EntryStatus = STATUS_SUCCESS; // returned instead of the registration's
    bool RegisterRoutine = true;
    bool InstallHooks = true;
    HookMode Hooks = HookMode::Honest;
    std::map<SRB_COMMAND, NTSTATUS> ControlAnswers; // the control hook answers these
    std::optional<SRB_COMMAND> LeaveUncompleted;    // returned without completing
    std::optional<SRB_COMMAND> CompleteAndForward;  // completed, then handed on too
    std::optional<SRB_COMMAND> CompleteAsStream;    // completed with the stream notification
    NTSTATUS ConfigureStatus = STATUS_SUCCESS;
    NTSTATUS InitializeStatus = STATUS_SUCCESS;
    NTSTATUS BandwidthStatus = STATUS_SUCCESS;
    NTSTATUS StartStatus = STATUS_SUCCESS;
    std::vector<UCHAR> Settings = {2}; // tried in order at bandwidth allocation
    ULONG RawFrameLength = kRawFrameLength;

    // --- Records ---
    int Entries = 0;
    std::vector<std::string> Calls; // requests and callbacks, packets excepted
    std::set<PDEVICE_OBJECT> BusObjects;
    std::set<PVOID> Contexts;     // given to the callbacks
    std::set<PVOID> HookContexts; // given to the hooks
    bool ContextZeroAtConfigure = false;
    bool ContextAligned = false;
    USB_DEVICE_DESCRIPTOR Device{};
    USB_CONFIGURATION_DESCRIPTOR Configuration{};
    USBD_INTERFACE_INFORMATION InterfaceSeen{};
    ULONG PipeConfigListSize = 0;
    std::vector<NTSTATUS> Selections; // each selection's status
    KS_DATAFORMAT_VIDEOINFOHEADER BandwidthFormat{};
    SRB_COMMAND PropertyCommand = SRB_UNKNOWN_DEVICE_COMMAND;
    STREAM_PROPERTY_DESCRIPTOR Property{};
    PDEVICE_OBJECT PropertyBusObject = nullptr;
    PVOID PropertyContext = nullptr;
    ULONG Packets = 0;
};

Minidriver Fake;

std::string Name(SRB_COMMAND command)
{
    switch (command) {
    case SRB_READ_DATA:
        return "READ_DATA";
    case SRB_GET_STREAM_STATE:
        return "GET_STREAM_STATE";
    case SRB_SET_STREAM_STATE:
        return "SET_STREAM_STATE";
    case SRB_GET_STREAM_PROPERTY:
        return "GET_STREAM_PROPERTY";
    case SRB_SET_STREAM_PROPERTY:
        return "SET_STREAM_PROPERTY";
    case SRB_PROPOSE_DATA_FORMAT:
        return "PROPOSE_DATA_FORMAT";
    case SRB_SET_DATA_FORMAT:
        return "SET_DATA_FORMAT";
    case SRB_GET_DATA_FORMAT:
        return "GET_STREAM_RATE";
    case SRB_GET_STREAM_INFO:
        return "GET_STREAM_INFO";
    case SRB_OPEN_STREAM:
        return "OPEN_STREAM";
    case SRB_CLOSE_STREAM:
        return "CLOSE_STREAM";
    case SRB_GET_DEVICE_PROPERTY:
        return "GET_DEVICE_PROPERTY";
    case SRB_SET_DEVICE_PROPERTY:
        return "SET_DEVICE_PROPERTY";
    case SRB_INITIALIZE_DEVICE:
        return "INITIALIZE_DEVICE";
    case SRB_UNINITIALIZE_DEVICE:
        return "UNINITIALIZE_DEVICE";
    case SRB_GET_DATA_INTERSECTION:
        return "GET_DATA_INTERSECTION";
    default:
        return "command " + std::to_string(int(command));
    }
}

FakeContext& ContextOf(PVOID context)
{
    return *static_cast<FakeContext*>(context);
}

void Saw(PDEVICE_OBJECT bus, PVOID context)
{
    Fake.BusObjects.insert(bus);
    Fake.Contexts.insert(context);
}

// --- The callbacks ---

NTSTATUS FakeConfigure(PDEVICE_OBJECT bus, PVOID context, PUSBD_INTERFACE_INFORMATION interface,
                       PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG pipeConfigListSize,
                       PUSBCAMD_Pipe_Config_Descriptor pipeConfig, PUSB_DEVICE_DESCRIPTOR device)
{
    Fake.Calls.push_back("configure");
    Saw(bus, context);
    const UCHAR* bytes = static_cast<const UCHAR*>(context);
    Fake.ContextZeroAtConfigure = true;
    for (size_t i = 0; i < sizeof(FakeContext); ++i) {
        Fake.ContextZeroAtConfigure = Fake.ContextZeroAtConfigure && bytes[i] == 0;
    }
    Fake.ContextAligned = reinterpret_cast<uintptr_t>(context) % 8 == 0;
    Fake.Device = *device;
    Fake.Configuration = *configuration;
    Fake.InterfaceSeen = *interface;
    Fake.PipeConfigListSize = pipeConfigListSize;
    pipeConfig[0].StreamAssociation = USBCAMD_VIDEO_STREAM;
    pipeConfig[0].PipeConfigFlags = USBCAMD_DATA_PIPE;
    FakeContext& c = ContextOf(context);
    c.Marker = 0xC0FFEE;
    c.Interface = *interface;
    return Fake.ConfigureStatus;
}

NTSTATUS FakeInitialize(PDEVICE_OBJECT bus, PVOID context)
{
    Fake.Calls.push_back("initialize");
    Saw(bus, context);
    return Fake.InitializeStatus;
}

NTSTATUS FakeUnInitialize(PDEVICE_OBJECT bus, PVOID context)
{
    Fake.Calls.push_back("uninitialize");
    Saw(bus, context);
    return STATUS_SUCCESS;
}

NTSTATUS FakeAllocateBandwidth(PDEVICE_OBJECT bus, PVOID context, PULONG rawFrameLength,
                               PVOID format, ULONG streamNumber)
{
    (void)streamNumber;
    Fake.Calls.push_back("allocate bandwidth");
    Saw(bus, context);
    std::memcpy(&Fake.BandwidthFormat, format, sizeof(Fake.BandwidthFormat));
    *rawFrameLength = 0;
    if (!NT_SUCCESS(Fake.BandwidthStatus)) {
        return Fake.BandwidthStatus;
    }
    FakeContext& c = ContextOf(context);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    for (UCHAR setting : Fake.Settings) {
        c.Interface.AlternateSetting = setting;
        status = USBCAMD_SelectAlternateInterface(context, &c.Interface);
        Fake.Selections.push_back(status);
        if (NT_SUCCESS(status)) {
            *rawFrameLength = Fake.RawFrameLength;
            break;
        }
    }
    return status;
}

NTSTATUS FakeFreeBandwidth(PDEVICE_OBJECT bus, PVOID context, ULONG streamNumber)
{
    (void)streamNumber;
    Fake.Calls.push_back("free bandwidth");
    Saw(bus, context);
    FakeContext& c = ContextOf(context);
    c.Interface.AlternateSetting = 0;
    return USBCAMD_SelectAlternateInterface(context, &c.Interface);
}

NTSTATUS FakeStartCapture(PDEVICE_OBJECT bus, PVOID context, ULONG streamNumber)
{
    (void)streamNumber;
    Fake.Calls.push_back("start capture");
    Saw(bus, context);
    ContextOf(context).SeenStart = false;
    return Fake.StartStatus;
}

NTSTATUS FakeStopCapture(PDEVICE_OBJECT bus, PVOID context, ULONG streamNumber)
{
    (void)streamNumber;
    Fake.Calls.push_back("stop capture");
    Saw(bus, context);
    return STATUS_SUCCESS;
}

// Keeps every packet with data; a packet numbered 0 ends the frame before it.
ULONG FakeProcessPacket(PDEVICE_OBJECT bus, PVOID context, PVOID frameContext,
                        PUSBD_ISO_PACKET_DESCRIPTOR syncPacket, PVOID syncBuffer,
                        PUSBD_ISO_PACKET_DESCRIPTOR dataPacket, PVOID dataBuffer,
                        PBOOLEAN frameComplete, PULONG packetFlag, PULONG validDataOffset)
{
    (void)frameContext;
    (void)syncPacket;
    (void)syncBuffer;
    (void)packetFlag;
    (void)validDataOffset;
    Saw(bus, context);
    ++Fake.Packets;
    if (dataPacket->Length == 0) {
        return 0;
    }
    FakeContext& c = ContextOf(context);
    if (static_cast<const UCHAR*>(dataBuffer)[0] == 0) {
        *frameComplete = c.SeenStart ? TRUE : FALSE;
        c.SeenStart = true;
    }
    return dataPacket->Length;
}

void FakeNewFrame(PVOID context, PVOID frameContext, ULONG streamNumber, PULONG frameLength)
{
    (void)context;
    (void)streamNumber;
    (void)frameLength;
    std::memset(frameContext, 0x5A, kFrameContextSize);
}

// Writes the picture as the frame's number in every byte.
NTSTATUS FakeProcessFrame(PDEVICE_OBJECT bus, PVOID context, PVOID frameContext, PVOID frameBuffer,
                          ULONG frameLength, PVOID rawFrameBuffer, ULONG rawFrameLength,
                          ULONG numberOfPackets, PULONG bytesReturned, ULONG actualRawFrameLength,
                          ULONG streamNumber)
{
    (void)frameContext;
    (void)rawFrameBuffer;
    (void)rawFrameLength;
    (void)numberOfPackets;
    (void)actualRawFrameLength;
    (void)streamNumber;
    Saw(bus, context);
    FakeContext& c = ContextOf(context);
    ++c.FrameNumber;
    std::memset(frameBuffer, c.FrameNumber, frameLength);
    *bytesReturned = frameLength;
    return STATUS_SUCCESS;
}

NTSTATUS FakeSaveState(PDEVICE_OBJECT, PVOID)
{
    return STATUS_SUCCESS;
}

USBCAMD_DEVICE_DATA2 FakeTable = {
    0,
    FakeInitialize,
    FakeUnInitialize,
    FakeProcessPacket,
    FakeNewFrame,
    FakeProcessFrame,
    FakeStartCapture,
    FakeStopCapture,
    FakeConfigure,
    FakeSaveState,
    FakeSaveState,
    FakeAllocateBandwidth,
    FakeFreeBandwidth,
};

// --- Property sets: A {1, 2}, B {0} ---

constexpr GUID kSetA = {0xA0A0A0A0, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSetB = {0xB0B0B0B0, 0x3333, 0x4444, {8, 7, 6, 5, 4, 3, 2, 1}};
constexpr GUID kSetUnknown = {0xC0C0C0C0, 0x5555, 0x6666, {0, 0, 0, 0, 0, 0, 0, 0}};

KSPROPERTY_ITEM Item(ULONG id, ULONG minProperty, ULONG minData)
{
    KSPROPERTY_ITEM item{};
    item.PropertyId = id;
    item.GetSupported = TRUE;
    item.SetSupported = TRUE;
    item.MinProperty = minProperty;
    item.MinData = minData;
    return item;
}

const KSPROPERTY_ITEM kItemsA[] = {Item(1, 24, 4), Item(2, 32, 8)};
const KSPROPERTY_ITEM kItemsB[] = {Item(0, 24, 4)};
const KSPROPERTY_SET kSets[] = {
    {&kSetA, 2, kItemsA, 0, nullptr},
    {&kSetB, 1, kItemsB, 0, nullptr},
};

// The property value the fake answers with.
constexpr ULONG kPropertyValue = 0x12345678;

// --- The stream hooks ---

void FakeControlHook(PVOID request, PVOID context, PBOOLEAN completed)
{
    auto* srb = static_cast<PHW_STREAM_REQUEST_BLOCK>(request);
    Fake.Calls.push_back("control hook " + Name(srb->Command));
    Fake.HookContexts.insert(context);
    auto answer = Fake.ControlAnswers.find(srb->Command);
    if (answer == Fake.ControlAnswers.end()) {
        return;
    }
    if (Fake.Hooks != HookMode::ClaimsWithoutCompleting) {
        srb->Status = answer->second;
        StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
    }
    *completed = Fake.Hooks == HookMode::CompletesButHandsOn ? FALSE : TRUE;
}

void FakeDataHook(PVOID request, PVOID context, PBOOLEAN completed)
{
    (void)completed;
    auto* srb = static_cast<PHW_STREAM_REQUEST_BLOCK>(request);
    Fake.Calls.push_back("data hook " + Name(srb->Command));
    Fake.HookContexts.insert(context);
}

using StreamRoutine = PHW_RECEIVE_STREAM_DATA_SRB;
StreamRoutine AsStreamRoutine(PSTREAM_RECEIVE_PACKET hook)
{
    return reinterpret_cast<StreamRoutine>(reinterpret_cast<void (*)()>(hook));
}

// --- The request routine and entry ---

void Complete(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status)
{
    srb->Status = status;
    StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb, nullptr,
                                  nullptr, 0);
}

VOID FakeReceivePacket(PHW_STREAM_REQUEST_BLOCK srb)
{
    Fake.Calls.push_back("request " + Name(srb->Command));
    if (Fake.LeaveUncompleted == srb->Command) {
        return;
    }
    if (Fake.CompleteAsStream == srb->Command) {
        srb->Status = STATUS_SUCCESS;
        StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
        return;
    }
    if (Fake.CompleteAndForward == srb->Command) {
        Complete(srb, STATUS_SUCCESS);
    }
    switch (srb->Command) {
    case SRB_GET_DEVICE_PROPERTY:
    case SRB_SET_DEVICE_PROPERTY: {
        Fake.PropertyContext =
            USBCAMD_AdapterReceivePacket(srb, reinterpret_cast<PUSBCAMD_DEVICE_DATA>(&FakeTable),
                                         &Fake.PropertyBusObject, FALSE);
        Fake.PropertyCommand = srb->Command;
        Fake.Property = *srb->CommandData.PropertyInfo;
        const PSTREAM_PROPERTY_DESCRIPTOR property = srb->CommandData.PropertyInfo;
        srb->ActualBytesTransferred = 0;
        if (srb->Command == SRB_GET_DEVICE_PROPERTY && property->PropertyOutputSize >= 4) {
            std::memcpy(property->PropertyInfo, &kPropertyValue, 4);
            srb->ActualBytesTransferred = 4;
        }
        Complete(srb, STATUS_SUCCESS);
        return;
    }
    case SRB_GET_STREAM_INFO: {
        HW_STREAM_DESCRIPTOR& d = *srb->CommandData.StreamBuffer;
        d.StreamHeader.NumberOfStreams = 1;
        d.StreamHeader.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
        d.StreamHeader.NumDevPropArrayEntries = 2;
        d.StreamHeader.DevicePropertiesArray = const_cast<PKSPROPERTY_SET>(kSets);
        d.StreamInfo.NumberOfPossibleInstances = 1;
        d.StreamInfo.DataFlow = KSPIN_DATAFLOW_OUT;
        break;
    }
    case SRB_OPEN_STREAM:
        if (Fake.InstallHooks) {
            srb->StreamObject->ReceiveDataPacket = AsStreamRoutine(FakeDataHook);
            srb->StreamObject->ReceiveControlPacket = AsStreamRoutine(FakeControlHook);
        }
        break;
    default:
        break;
    }
    USBCAMD_AdapterReceivePacket(srb, reinterpret_cast<PUSBCAMD_DEVICE_DATA>(&FakeTable), nullptr,
                                 TRUE);
}

NTSTATUS FakeDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    ++Fake.Entries;
    const ULONG status =
        USBCAMD_DriverEntry(driverObject, registryPath, sizeof(FakeContext), kFrameContextSize,
                            Fake.RegisterRoutine ? FakeReceivePacket : nullptr);
    return NT_SUCCESS(Fake.EntryStatus) ? NTSTATUS(status) : Fake.EntryStatus;
}

// --- The cameras ---

// Packet sizes of the fake's settings; it does not tell them before a
// selection.
constexpr USHORT kFakeSizes[] = {0, 100, 880, 960, 1400};

class FakeCamera : public UsbDevice {
  public:
    NTSTATUS VendorControl(UCHAR, USHORT, USHORT, void*, ULONG*, bool) override
    {
        return STATUS_SUCCESS;
    }

    NTSTATUS SelectAlternateSetting(UCHAR interfaceNumber, UCHAR setting,
                                    USHORT* maxPacketSize) override
    {
        (void)interfaceNumber;
        Selected.push_back(setting);
        if (setting >= std::size(kFakeSizes) || Rejected.count(setting) != 0) {
            return STATUS_UNSUCCESSFUL;
        }
        Setting = setting;
        *maxPacketSize = kFakeSizes[setting];
        return STATUS_SUCCESS;
    }

    IsochronousPacket NextIsochronousPacket(PUCHAR buffer, ULONG capacity) override
    {
        ++Packets;
        if (Setting == 0 || capacity < kPacketBytes) {
            return IsochronousPacket{0, 0};
        }
        const UCHAR sequence = UCHAR(Sent++ % kFramePackets);
        std::memset(buffer, sequence, kPacketBytes);
        return IsochronousPacket{kPacketBytes, 0};
    }

    UCHAR Setting = 0;
    std::vector<UCHAR> Selected;
    std::set<UCHAR> Rejected;
    uint64_t Packets = 0;
    uint64_t Sent = 0;
};

// The test format: a 4x4 picture of kPictureBytes, FormatSize 152.
KS_DATAFORMAT_VIDEOINFOHEADER TestFormat(ULONG pictureBytes = kPictureBytes)
{
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.DataFormat.FormatSize = sizeof(format);
    format.DataFormat.SampleSize = pictureBytes;
    format.VideoInfoHeader.AvgTimePerFrame = 333333;
    format.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    format.VideoInfoHeader.bmiHeader.biWidth = 4;
    format.VideoInfoHeader.bmiHeader.biHeight = 4;
    format.VideoInfoHeader.bmiHeader.biSizeImage = pictureBytes;
    return format;
}

KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags = KSPROPERTY_TYPE_GET)
{
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return property;
}

class StreamClassTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        Fake = Minidriver{};
        ResetRequestViolations();
        ResetPool();
        ResetClock();
    }

    // Loads the fake, makes a device on `bus` for `camera`.
    std::unique_ptr<HostDevice> MakeDevice(UsbDevice& camera)
    {
        if (!driver) {
            driver = std::make_unique<HostDriver>(FakeDriverEntry);
        }
        return std::make_unique<HostDevice>(bus, *driver, camera);
    }

    // Initialised, stream information read, stream open with the test format.
    std::unique_ptr<HostDevice> OpenDevice(UsbDevice& camera)
    {
        auto device = MakeDevice(camera);
        EXPECT_EQ(device->Initialize(), STATUS_SUCCESS);
        HW_STREAM_DESCRIPTOR descriptor{};
        EXPECT_EQ(device->GetStreamInfo(&descriptor), STATUS_SUCCESS);
        const KS_DATAFORMAT_VIDEOINFOHEADER format = TestFormat();
        EXPECT_EQ(device->OpenStream(&format, sizeof(format)), STATUS_SUCCESS);
        Fake.Calls.clear();
        return device;
    }

    HostBus bus;
    std::unique_ptr<HostDriver> driver;
};

// --- Loading ---

TEST_F(StreamClassTest, DriverEntryRegistersOnceForItsDriverObject)
{
    HostDriver loaded(FakeDriverEntry);
    EXPECT_EQ(Fake.Entries, 1);
    EXPECT_EQ(loaded.EntryStatus(), STATUS_SUCCESS);
    EXPECT_TRUE(loaded.Loaded());
    EXPECT_EQ(loaded.Registration().ReceivePacket, FakeReceivePacket);
    EXPECT_EQ(loaded.Registration().DeviceContextSize, sizeof(FakeContext));
    EXPECT_EQ(loaded.Registration().FrameContextSize, kFrameContextSize);

    DRIVER_OBJECT object{};
    EXPECT_EQ(USBCAMD_DriverEntry(&object, nullptr, 8, 8, nullptr),
              ULONG(STATUS_INVALID_PARAMETER));
    EXPECT_EQ(USBCAMD_DriverEntry(nullptr, nullptr, 8, 8, FakeReceivePacket),
              ULONG(STATUS_INVALID_PARAMETER));
    EXPECT_EQ(USBCAMD_DriverEntry(&object, nullptr, 0xFFFFFFFFu, 8, FakeReceivePacket),
              ULONG(STATUS_INVALID_PARAMETER));
}

TEST_F(StreamClassTest, DeviceOfADriverThatDidNotLoadTakesNoRequests)
{
    struct Case {
        const char* what;
        NTSTATUS entryStatus;
        bool registerRoutine;
        NTSTATUS expectedEntry;
    };
    const Case cases[] = {
        {"entry fails", STATUS_UNSUCCESSFUL, true, STATUS_UNSUCCESSFUL},
        {"no request routine", STATUS_SUCCESS, false, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fake = Minidriver{};
        Fake.EntryStatus = c.entryStatus;
        Fake.RegisterRoutine = c.registerRoutine;
        HostDriver failed(FakeDriverEntry);
        EXPECT_EQ(failed.EntryStatus(), c.expectedEntry);
        EXPECT_FALSE(failed.Loaded());
        FakeCamera camera;
        HostDevice device(bus, failed, camera);
        EXPECT_EQ(device.Initialize(), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_TRUE(Fake.Calls.empty());
    }
}

// --- A whole device life ---

TEST_F(StreamClassTest, DeviceLifeRunsTheCallbacksInOrder)
{
    const PoolStatistics poolBefore = PoolStats();
    FakeCamera camera;
    auto device = MakeDevice(camera);
    ASSERT_EQ(device->Initialize(), STATUS_SUCCESS);
    EXPECT_TRUE(device->Started());
    EXPECT_NE(BoundDevice(device->DeviceContext()), nullptr);

    // What configuration saw.
    EXPECT_TRUE(Fake.ContextZeroAtConfigure);
    EXPECT_TRUE(Fake.ContextAligned);
    EXPECT_EQ(Fake.Device.idVendor, 0x7A3C);
    EXPECT_EQ(Fake.Device.idProduct, 0x0E41);
    EXPECT_EQ(Fake.Device.bcdDevice, 0x0100);
    EXPECT_EQ(Fake.Configuration.bNumInterfaces, 1);
    EXPECT_EQ(Fake.InterfaceSeen.AlternateSetting, 0);
    EXPECT_EQ(Fake.InterfaceSeen.NumberOfPipes, 1u);
    EXPECT_EQ(Fake.InterfaceSeen.Length, sizeof(USBD_INTERFACE_INFORMATION));
    EXPECT_EQ(Fake.InterfaceSeen.Pipes[0].PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(Fake.InterfaceSeen.Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(Fake.PipeConfigListSize, 1u);

    HW_STREAM_DESCRIPTOR descriptor{};
    ASSERT_EQ(device->GetStreamInfo(&descriptor), STATUS_SUCCESS);
    EXPECT_EQ(descriptor.StreamHeader.NumberOfStreams, 1u);
    EXPECT_EQ(descriptor.StreamHeader.DevicePropertiesArray, kSets);
    EXPECT_EQ(descriptor.StreamInfo.DataFlow, KSPIN_DATAFLOW_OUT);

    const KS_DATAFORMAT_VIDEOINFOHEADER format = TestFormat();
    ASSERT_EQ(device->OpenStream(&format, sizeof(format)), STATUS_SUCCESS);
    EXPECT_TRUE(device->StreamIsOpen());

    std::vector<UCHAR> buffers[2] = {std::vector<UCHAR>(kPictureBytes),
                                     std::vector<UCHAR>(kPictureBytes)};
    for (auto& b : buffers) {
        EXPECT_EQ(device->Read(b.data(), ULONG(b.size())), STATUS_PENDING);
    }
    ASSERT_EQ(device->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(device->AlternateSetting(), 2);
    EXPECT_EQ(device->PacketSize(), 880);
    ASSERT_NE(device->Pump(), nullptr);
    EXPECT_EQ(Fake.BandwidthFormat.VideoInfoHeader.bmiHeader.biSizeImage, kPictureBytes);
    EXPECT_EQ(Fake.BandwidthFormat.VideoInfoHeader.AvgTimePerFrame, 333333);

    // Frames start at packets 1, 5 and 9: two complete frames fill both reads.
    bus.Run(9);
    const std::vector<ReadResult> reads = device->TakeCompletedReads();
    ASSERT_EQ(reads.size(), 2u);
    for (size_t i = 0; i < reads.size(); ++i) {
        EXPECT_EQ(reads[i].Buffer, buffers[i].data());
        EXPECT_EQ(reads[i].Status, STATUS_SUCCESS);
        EXPECT_EQ(reads[i].BytesReturned, kPictureBytes);
        EXPECT_EQ(buffers[i], std::vector<UCHAR>(kPictureBytes, UCHAR(i + 1)));
    }

    ASSERT_EQ(device->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(device->Pump(), nullptr);
    EXPECT_EQ(device->AlternateSetting(), 0);
    ASSERT_EQ(device->CloseStream(), STATUS_SUCCESS);
    ASSERT_EQ(device->Uninitialize(), STATUS_SUCCESS);
    EXPECT_FALSE(device->Started());
    EXPECT_EQ(BoundDevice(device->DeviceContext()), nullptr);

    const std::vector<std::string> expected = {
        "request INITIALIZE_DEVICE",
        "configure",
        "initialize",
        "request GET_STREAM_INFO",
        "request OPEN_STREAM",
        "data hook READ_DATA",
        "data hook READ_DATA",
        "control hook SET_STREAM_STATE",
        "allocate bandwidth",
        "start capture",
        "control hook SET_STREAM_STATE",
        "stop capture",
        "free bandwidth",
        "request CLOSE_STREAM",
        "request UNINITIALIZE_DEVICE",
        "uninitialize",
    };
    EXPECT_EQ(Fake.Calls, expected);
    // One context and one bus device object throughout, and the library gave
    // the minidriver its context: no pool was used for it.
    EXPECT_EQ(Fake.Contexts, std::set<PVOID>{device->DeviceContext()});
    ASSERT_EQ(Fake.BusObjects.size(), 1u);
    EXPECT_NE(*Fake.BusObjects.begin(), nullptr);
    EXPECT_EQ(PoolStats().allocationCount, poolBefore.allocationCount);
    EXPECT_EQ(RequestViolationCounts().Total(), 0u);
}

TEST_F(StreamClassTest, DestructorTakesARunningDeviceDown)
{
    FakeCamera camera;
    {
        auto device = OpenDevice(camera);
        std::vector<UCHAR> buffer(kPictureBytes);
        ASSERT_EQ(device->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        ASSERT_EQ(device->Read(buffer.data(), kPictureBytes), STATUS_PENDING);
        Fake.Calls.clear();
    }
    const std::vector<std::string> expected = {
        "control hook SET_STREAM_STATE", "stop capture", "free bandwidth", "request CLOSE_STREAM",
        "request UNINITIALIZE_DEVICE",   "uninitialize",
    };
    EXPECT_EQ(Fake.Calls, expected);
    EXPECT_EQ(bus.BandwidthInUse(), 0u);
    EXPECT_EQ(RequestViolationCounts().Total(), 0u);
}

TEST_F(StreamClassTest, UninitializeClosesARunningStream)
{
    FakeCamera camera;
    auto device = OpenDevice(camera);
    std::vector<UCHAR> buffer(kPictureBytes);
    ASSERT_EQ(device->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(device->Read(buffer.data(), kPictureBytes), STATUS_PENDING);
    Fake.Calls.clear();
    ASSERT_EQ(device->Uninitialize(), STATUS_SUCCESS);
    const std::vector<std::string> expected = {"request UNINITIALIZE_DEVICE", "stop capture",
                                               "free bandwidth", "uninitialize"};
    EXPECT_EQ(Fake.Calls, expected);
    EXPECT_FALSE(device->StreamIsOpen());
    ASSERT_EQ(device->CompletedReads().size(), 1u);
    EXPECT_EQ(device->CompletedReads()[0].Status, STATUS_CANCELLED);
    EXPECT_EQ(device->Pump(), nullptr);
}

TEST_F(StreamClassTest, OneStreamInstanceAtATime)
{
    FakeCamera camera;
    auto device = OpenDevice(camera);
    const PHW_STREAM_OBJECT opened = const_cast<PHW_STREAM_OBJECT>(&device->StreamObject());
    const KS_DATAFORMAT_VIDEOINFOHEADER format = TestFormat();
    EXPECT_EQ(device->OpenStream(&format, sizeof(format)), STATUS_UNSUCCESSFUL);
    // The open stream keeps its object and its hooks.
    EXPECT_TRUE(device->StreamIsOpen());
    EXPECT_EQ(opened->ReceiveControlPacket, AsStreamRoutine(FakeControlHook));
    Fake.Calls.clear();
    EXPECT_EQ(device->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Fake.Calls.front(), "control hook SET_STREAM_STATE");
    // Closing a running stream stops it first.
    Fake.Calls.clear();
    EXPECT_EQ(device->CloseStream(), STATUS_SUCCESS);
    const std::vector<std::string> expected = {"request CLOSE_STREAM", "stop capture",
                                               "free bandwidth"};
    EXPECT_EQ(Fake.Calls, expected);
    EXPECT_EQ(device->OpenStream(&format, sizeof(format)), STATUS_SUCCESS);
}

TEST_F(StreamClassTest, RequestsOutOfTurnAreRefused)
{
    FakeCamera camera;
    auto device = MakeDevice(camera);
    const KS_DATAFORMAT_VIDEOINFOHEADER format = TestFormat();
    HW_STREAM_DESCRIPTOR descriptor{};
    // Before initialisation nothing but initialisation is sent.
    EXPECT_EQ(device->GetStreamInfo(&descriptor), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(device->OpenStream(&format, sizeof(format)), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(device->Uninitialize(), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(Fake.Calls.empty());
    ASSERT_EQ(device->Initialize(), STATUS_SUCCESS);
    EXPECT_EQ(device->Initialize(), STATUS_INVALID_DEVICE_REQUEST);
    // Stream requests need an open stream.
    std::vector<UCHAR> buffer(kPictureBytes);
    EXPECT_EQ(device->SetState(KSSTATE_RUN), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(device->Read(buffer.data(), kPictureBytes), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(device->CloseStream(), STATUS_INVALID_DEVICE_REQUEST);
    // Formats the stream class itself rejects never reach the minidriver.
    Fake.Calls.clear();
    KS_DATAFORMAT_VIDEOINFOHEADER tooLong = format;
    tooLong.DataFormat.FormatSize = sizeof(format) + 1;
    EXPECT_EQ(device->OpenStream(&tooLong, sizeof(tooLong)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device->OpenStream(&format, sizeof(KSDATAFORMAT) - 1), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Fake.Calls.empty());
    // A command the library does not serve.
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_CHANGE_POWER_STATE;
    EXPECT_EQ(device->SendDeviceRequest(srb), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(RequestViolationCounts().Total(), 0u);
}

TEST_F(StreamClassTest, ShortFormatsArePaddedForTheMinidriver)
{
    FakeCamera camera;
    auto device = MakeDevice(camera);
    ASSERT_EQ(device->Initialize(), STATUS_SUCCESS);
    // A bare 64-byte KSDATAFORMAT: the library still reads a whole (zeroed)
    // video format, and the bandwidth callback sees zeros past it.
    KSDATAFORMAT bare{};
    bare.FormatSize = sizeof(bare);
    bare.SampleSize = 77;
    ASSERT_EQ(device->OpenStream(&bare, sizeof(bare)), STATUS_SUCCESS);
    ASSERT_EQ(device->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(Fake.BandwidthFormat.DataFormat.SampleSize, 77u);
    EXPECT_EQ(Fake.BandwidthFormat.VideoInfoHeader.bmiHeader.biSizeImage, 0u);
}

// --- Stream hooks ---

TEST_F(StreamClassTest, HooksSeeStreamRequestsFirst)
{
    struct Case {
        const char* what;
        bool hooks;
        std::map<SRB_COMMAND, NTSTATUS> answers; // by the control hook
        NTSTATUS propose, setFormat, rate;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"hook answers all three",
         true,
         {{SRB_PROPOSE_DATA_FORMAT, STATUS_NO_MATCH},
          {SRB_SET_DATA_FORMAT, STATUS_NO_MATCH},
          {SRB_GET_DATA_FORMAT, STATUS_NOT_SUPPORTED}},
         STATUS_NO_MATCH,
         STATUS_NO_MATCH,
         STATUS_NOT_SUPPORTED,
         {"control hook PROPOSE_DATA_FORMAT", "control hook SET_DATA_FORMAT",
          "control hook GET_STREAM_RATE"}},
        {"hook hands them on",
         true,
         {},
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         STATUS_NOT_IMPLEMENTED,
         {"control hook PROPOSE_DATA_FORMAT", "control hook SET_DATA_FORMAT",
          "control hook GET_STREAM_RATE"}},
        {"no hooks", false, {}, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_NOT_IMPLEMENTED, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fake = Minidriver{};
        Fake.InstallHooks = c.hooks;
        Fake.ControlAnswers = c.answers;
        FakeCamera camera;
        auto device = OpenDevice(camera);
        const KS_DATAFORMAT_VIDEOINFOHEADER format = TestFormat();
        EXPECT_EQ(device->ProposeFormat(&format, sizeof(format)), c.propose);
        EXPECT_EQ(device->SetFormat(&format, sizeof(format)), c.setFormat);
        EXPECT_EQ(device->GetStreamRate(), c.rate);
        EXPECT_EQ(Fake.Calls, c.calls);
        EXPECT_EQ(Fake.HookContexts.size(), c.hooks ? 1u : 0u);
        EXPECT_EQ(Fake.HookContexts.count(device->DeviceContext()), c.hooks ? 1u : 0u);
        EXPECT_EQ(RequestViolationCounts().Total(), 0u);
    }
}

TEST_F(StreamClassTest, HookAnswerStandsForTheStreamState)
{
    Fake.ControlAnswers = {{SRB_SET_STREAM_STATE, STATUS_UNSUCCESSFUL}};
    FakeCamera camera;
    auto device = OpenDevice(camera);
    EXPECT_EQ(device->SetState(KSSTATE_RUN), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(device->StreamState(), KSSTATE_STOP);
    EXPECT_EQ(Fake.Calls, std::vector<std::string>{"control hook SET_STREAM_STATE"});
}

// --- Completion checking ---

TEST_F(StreamClassTest, RequestsCompletedOutsideTheContractAreCounted)
{
    struct Case {
        const char* what;
        std::optional<SRB_COMMAND> leave, twice, asStream;
        HookMode hooks;
        NTSTATUS status; // of the request made
        size_t RequestViolations::*counter;
    };
    const Case cases[] = {
        {"device request never completed",
         SRB_GET_DATA_INTERSECTION,
         {},
         {},
         HookMode::Honest,
         STATUS_IO_TIMEOUT,
         &RequestViolations::neverCompleted},
        {"completed by the minidriver and the library",
         {},
         SRB_GET_DATA_INTERSECTION,
         {},
         HookMode::Honest,
         STATUS_SUCCESS,
         &RequestViolations::completedTwice},
        {"device request completed as a stream request",
         {},
         {},
         SRB_GET_DATA_INTERSECTION,
         HookMode::Honest,
         STATUS_SUCCESS,
         &RequestViolations::wrongNotification},
        {"hook claims a request it never completed",
         {},
         {},
         {},
         HookMode::ClaimsWithoutCompleting,
         STATUS_IO_TIMEOUT,
         &RequestViolations::neverCompleted},
        {"hook completes and hands on",
         {},
         {},
         {},
         HookMode::CompletesButHandsOn,
         STATUS_NO_MATCH,
         &RequestViolations::handedOnAfterCompletion},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fake = Minidriver{};
        Fake.ControlAnswers = {{SRB_PROPOSE_DATA_FORMAT, STATUS_NO_MATCH}};
        FakeCamera camera;
        auto device = OpenDevice(camera);
        Fake.LeaveUncompleted = c.leave;
        Fake.CompleteAndForward = c.twice;
        Fake.CompleteAsStream = c.asStream;
        Fake.Hooks = c.hooks;
        ResetRequestViolations();
        NTSTATUS status;
        if (c.leave || c.twice || c.asStream) {
            HW_STREAM_REQUEST_BLOCK srb{};
            srb.Command = SRB_GET_DATA_INTERSECTION;
            status = device->SendDeviceRequest(srb);
        } else {
            const KS_DATAFORMAT_VIDEOINFOHEADER format = TestFormat();
            status = device->ProposeFormat(&format, sizeof(format));
        }
        // The library's answer to an intersection is "not implemented"; the
        // first completion's status stands otherwise.
        if (c.twice) {
            EXPECT_EQ(status, STATUS_NOT_IMPLEMENTED);
        } else {
            EXPECT_EQ(status, c.status);
        }
        const RequestViolations counts = RequestViolationCounts();
        EXPECT_EQ(counts.*c.counter, 1u);
        EXPECT_EQ(counts.Total(), 1u);
    }
}

TEST_F(StreamClassTest, StrayNotificationsAreCountedOrIgnored)
{
    HW_STREAM_REQUEST_BLOCK stray{};
    StreamClassDeviceNotification(DeviceRequestComplete, nullptr, &stray, nullptr, nullptr, 0);
    StreamClassStreamNotification(StreamRequestComplete, nullptr, &stray);
    StreamClassDeviceNotification(DeviceRequestComplete, nullptr, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(RequestViolationCounts().unknownCompletions, 3u);
    // Notifications other than completions are accepted and change nothing.
    StreamClassDeviceNotification(ReadyForNextDeviceRequest, nullptr, &stray, nullptr, nullptr, 0);
    StreamClassStreamNotification(ReadyForNextStreamDataRequest, nullptr);
    StreamClassStreamNotification(HardwareStarved, nullptr);
    EXPECT_EQ(RequestViolationCounts().Total(), 3u);
    ResetRequestViolations();
    EXPECT_EQ(RequestViolationCounts().Total(), 0u);
}

TEST_F(StreamClassTest, LibraryKnowsOnlyItsOwnDevices)
{
    FakeCamera camera;
    auto device = MakeDevice(camera);
    HW_STREAM_REQUEST_BLOCK srb{};
    srb.Command = SRB_GET_DEVICE_PROPERTY;
    srb.HwDeviceExtension = device->HwDeviceExtension();
    DEVICE_OBJECT* busObject = nullptr;
    EXPECT_EQ(USBCAMD_AdapterReceivePacket(&srb, nullptr, &busObject, FALSE),
              device->DeviceContext());
    EXPECT_NE(busObject, nullptr);

    int stranger = 0;
    srb.HwDeviceExtension = &stranger;
    EXPECT_EQ(USBCAMD_AdapterReceivePacket(&srb, nullptr, &busObject, FALSE), nullptr);
    EXPECT_EQ(busObject, nullptr);
    EXPECT_EQ(USBCAMD_AdapterReceivePacket(nullptr, nullptr, &busObject, TRUE), nullptr);
}

// --- Failures unwind ---

TEST_F(StreamClassTest, FailedInitialisationLeavesTheDeviceDown)
{
    struct Case {
        const char* what;
        NTSTATUS configure, initialize;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"configure fails",
         STATUS_INSUFFICIENT_RESOURCES,
         STATUS_SUCCESS,
         {"request INITIALIZE_DEVICE", "configure", "uninitialize"}},
        {"initialise fails",
         STATUS_SUCCESS,
         STATUS_DEVICE_NOT_CONNECTED,
         {"request INITIALIZE_DEVICE", "configure", "initialize", "uninitialize"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fake = Minidriver{};
        Fake.ConfigureStatus = c.configure;
        Fake.InitializeStatus = c.initialize;
        FakeCamera camera;
        auto device = MakeDevice(camera);
        const NTSTATUS expected = NT_SUCCESS(c.configure) ? c.initialize : c.configure;
        EXPECT_EQ(device->Initialize(), expected);
        EXPECT_EQ(Fake.Calls, c.calls);
        EXPECT_FALSE(device->Started());
        EXPECT_EQ(BoundDevice(device->DeviceContext()), nullptr);
        HW_STREAM_DESCRIPTOR descriptor{};
        EXPECT_EQ(device->GetStreamInfo(&descriptor), STATUS_INVALID_DEVICE_REQUEST);
        // It can be tried again.
        Fake.ConfigureStatus = STATUS_SUCCESS;
        Fake.InitializeStatus = STATUS_SUCCESS;
        EXPECT_EQ(device->Initialize(), STATUS_SUCCESS);
        EXPECT_TRUE(device->Started());
    }
}

TEST_F(StreamClassTest, FailedRunUnwinds)
{
    struct Case {
        const char* what;
        NTSTATUS bandwidth, start;
        ULONG rawFrameLength;
        NTSTATUS expected;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"bandwidth fails",
         STATUS_INSUFFICIENT_RESOURCES,
         STATUS_SUCCESS,
         kRawFrameLength,
         STATUS_INSUFFICIENT_RESOURCES,
         {"control hook SET_STREAM_STATE", "allocate bandwidth"}},
        {"start fails",
         STATUS_SUCCESS,
         STATUS_DEVICE_NOT_CONNECTED,
         kRawFrameLength,
         STATUS_DEVICE_NOT_CONNECTED,
         {"control hook SET_STREAM_STATE", "allocate bandwidth", "start capture",
          "free bandwidth"}},
        {"no raw frame asked for",
         STATUS_SUCCESS,
         STATUS_SUCCESS,
         0,
         STATUS_INSUFFICIENT_RESOURCES,
         {"control hook SET_STREAM_STATE", "allocate bandwidth", "start capture", "stop capture",
          "free bandwidth"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fake = Minidriver{};
        FakeCamera camera;
        auto device = OpenDevice(camera);
        std::vector<UCHAR> buffer(kPictureBytes);
        ASSERT_EQ(device->Read(buffer.data(), kPictureBytes), STATUS_PENDING);
        Fake.Calls.clear();
        Fake.BandwidthStatus = c.bandwidth;
        Fake.StartStatus = c.start;
        Fake.RawFrameLength = c.rawFrameLength;
        EXPECT_EQ(device->SetState(KSSTATE_RUN), c.expected);
        EXPECT_EQ(Fake.Calls, c.calls);
        EXPECT_EQ(device->StreamState(), KSSTATE_STOP);
        EXPECT_EQ(device->Pump(), nullptr);
        EXPECT_EQ(bus.BandwidthInUse(), 0u);
        // The read waits for a run that works.
        EXPECT_EQ(device->PendingReads(), 1u);
        Fake.BandwidthStatus = STATUS_SUCCESS;
        Fake.StartStatus = STATUS_SUCCESS;
        Fake.RawFrameLength = kRawFrameLength;
        EXPECT_EQ(device->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        bus.Run(5);
        ASSERT_EQ(device->CompletedReads().size(), 1u);
        EXPECT_EQ(device->CompletedReads()[0].Status, STATUS_SUCCESS);
    }
}

// --- Reads ---

TEST_F(StreamClassTest, ReadsWaitForTheRunAndAreCancelledWhenItEnds)
{
    FakeCamera camera;
    auto device = OpenDevice(camera);
    std::vector<UCHAR> buffers[4];
    for (auto& b : buffers) {
        b.assign(kPictureBytes, 0xEE);
    }
    ASSERT_EQ(device->Read(buffers[0].data(), kPictureBytes), STATUS_PENDING);
    ASSERT_EQ(device->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (int i = 1; i < 4; ++i) {
        ASSERT_EQ(device->Read(buffers[i].data(), kPictureBytes), STATUS_PENDING);
    }
    bus.Run(5); // one frame
    EXPECT_EQ(device->PendingReads(), 3u);
    ASSERT_EQ(device->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(device->PendingReads(), 0u);

    const std::vector<ReadResult> reads = device->TakeCompletedReads();
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[0].Buffer, buffers[0].data());
    EXPECT_EQ(reads[0].Status, STATUS_SUCCESS);
    EXPECT_EQ(reads[0].BytesReturned, kPictureBytes);
    for (int i = 1; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(reads[size_t(i)].Buffer, buffers[i].data());
        EXPECT_EQ(reads[size_t(i)].Status, STATUS_CANCELLED);
        EXPECT_EQ(reads[size_t(i)].BytesReturned, 0u);
        EXPECT_EQ(buffers[i], std::vector<UCHAR>(kPictureBytes, 0xEE));
    }
    // A read made while paused waits, and closing cancels it.
    ASSERT_EQ(device->Read(buffers[0].data(), kPictureBytes), STATUS_PENDING);
    ASSERT_EQ(device->CloseStream(), STATUS_SUCCESS);
    ASSERT_EQ(device->CompletedReads().size(), 1u);
    EXPECT_EQ(device->CompletedReads()[0].Status, STATUS_CANCELLED);
    EXPECT_EQ(RequestViolationCounts().Total(), 0u);
}

TEST_F(StreamClassTest, BadReadsCompleteAtOnce)
{
    FakeCamera camera;
    auto device = OpenDevice(camera);
    std::vector<UCHAR> buffer(kPictureBytes);
    EXPECT_EQ(device->Read(buffer.data(), kPictureBytes - 1), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(device->Read(nullptr, kPictureBytes), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(device->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(device->Read(buffer.data(), kPictureBytes - 1), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(device->CompletedReads().size(), 3u);
    EXPECT_EQ(device->CompletedReads()[2].Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(device->PendingReads(), 0u);
}

// --- Stream properties and state ---

TEST_F(StreamClassTest, LibraryAnswersTheStandardStreamProperties)
{
    FakeCamera camera;
    auto device = OpenDevice(camera);
    KSSTATE state = KSSTATE_RUN;
    ASSERT_EQ(device->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);
    ASSERT_EQ(device->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(device->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_RUN);

    KSPROPERTY framingRequest =
        Property({STATIC_KSPROPSETID_Connection}, KSPROPERTY_CONNECTION_ALLOCATORFRAMING);
    KSALLOCATOR_FRAMING framing{};
    ULONG bytes = 0;
    ASSERT_EQ(device->StreamProperty(false, &framingRequest, sizeof(framingRequest), &framing,
                                     sizeof(framing), &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, sizeof(framing));
    EXPECT_EQ(framing.Frames, 2u);
    EXPECT_EQ(framing.FrameSize, kPictureBytes);
    EXPECT_EQ(framing.PoolType, 0u);
    EXPECT_EQ(device->StreamProperty(false, &framingRequest, sizeof(framingRequest), &framing,
                                     sizeof(framing) - 1, &bytes),
              STATUS_BUFFER_TOO_SMALL);

    // One read: of the frames completed in 13 ms (at 5, 9, 13) the first is
    // delivered and two are dropped; the counts go on across runs.
    std::vector<UCHAR> buffer(kPictureBytes);
    ASSERT_EQ(device->Read(buffer.data(), kPictureBytes), STATUS_PENDING);
    bus.Run(13);
    ASSERT_EQ(device->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(device->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    bus.Run(12); // two more dropped: the camera's numbering goes on, frames end at 8 and 12
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
    dropped.Property =
        Property({STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES}, KSPROPERTY_DROPPEDFRAMES_CURRENT);
    ASSERT_EQ(
        device->StreamProperty(false, &dropped, sizeof(dropped), &dropped, sizeof(dropped), &bytes),
        STATUS_SUCCESS);
    EXPECT_EQ(bytes, sizeof(dropped));
    EXPECT_EQ(dropped.PictureNumber, 5);
    EXPECT_EQ(dropped.DropCount, 4);
    EXPECT_EQ(dropped.AverageFrameSize, kPictureBytes);

    KSPROPERTY other = Property({STATIC_KSPROPSETID_Connection}, KSPROPERTY_CONNECTION_STATE);
    EXPECT_EQ(
        device->StreamProperty(false, &other, sizeof(other), &framing, sizeof(framing), &bytes),
        STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(device->StreamProperty(true, &framingRequest, sizeof(framingRequest), &framing,
                                     sizeof(framing), &bytes),
              STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(RequestViolationCounts().Total(), 0u);
}

// --- Device property requests ---

TEST_F(StreamClassTest, DevicePropertiesAreCheckedAgainstTheTable)
{
    FakeCamera camera;
    auto device = MakeDevice(camera);
    ASSERT_EQ(device->Initialize(), STATUS_SUCCESS);
    struct Request {
        KSPROPERTY Property;
        ULONG Extra[2]; // for items whose request is longer
    };
    Request request{Property(kSetA, 1), {}};
    ULONG value = 0;
    ULONG bytes = 99;
    // The table is known from the stream information on.
    EXPECT_EQ(device->DeviceProperty(false, &request, 24, &value, 4, &bytes), STATUS_NOT_FOUND);
    HW_STREAM_DESCRIPTOR descriptor{};
    ASSERT_EQ(device->GetStreamInfo(&descriptor), STATUS_SUCCESS);

    struct Case {
        const char* what;
        GUID set;
        ULONG id;
        ULONG requestLength, dataLength;
        bool isSet;
        NTSTATUS expected;
        ULONG setIndex; // when sent
    };
    const Case cases[] = {
        {"get A.1", kSetA, 1, 24, 4, false, STATUS_SUCCESS, 0},
        {"set A.2 with its longer request", kSetA, 2, 32, 8, true, STATUS_SUCCESS, 0},
        {"get B.0", kSetB, 0, 24, 4, false, STATUS_SUCCESS, 1},
        {"set not in the table", kSetUnknown, 1, 24, 4, false, STATUS_NOT_FOUND, 0},
        {"item not in the set", kSetA, 3, 24, 4, false, STATUS_NOT_FOUND, 0},
        {"request shorter than MinProperty", kSetA, 2, 24, 8, true, STATUS_BUFFER_TOO_SMALL, 0},
        {"data shorter than MinData", kSetA, 2, 32, 7, true, STATUS_BUFFER_TOO_SMALL, 0},
        {"request shorter than a KSPROPERTY", kSetA, 1, 23, 4, false, STATUS_BUFFER_TOO_SMALL, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fake.Calls.clear();
        Fake.Property = STREAM_PROPERTY_DESCRIPTOR{};
        request.Property =
            Property(c.set, c.id, c.isSet ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET);
        ULONG data[2] = {};
        bytes = 99;
        EXPECT_EQ(
            device->DeviceProperty(c.isSet, &request, c.requestLength, data, c.dataLength, &bytes),
            c.expected);
        if (!NT_SUCCESS(c.expected)) {
            EXPECT_TRUE(Fake.Calls.empty());
            EXPECT_EQ(bytes, 0u);
            continue;
        }
        EXPECT_EQ(Fake.PropertyCommand,
                  c.isSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY);
        EXPECT_EQ(Fake.Property.PropertySetID, c.setIndex);
        EXPECT_EQ(Fake.Property.Property, &request.Property);
        EXPECT_EQ(Fake.Property.PropertyInfo, data);
        EXPECT_EQ(Fake.Property.PropertyInputSize, c.requestLength);
        EXPECT_EQ(Fake.Property.PropertyOutputSize, c.dataLength);
        EXPECT_EQ(Fake.PropertyContext, device->DeviceContext());
        EXPECT_NE(Fake.PropertyBusObject, nullptr);
        EXPECT_EQ(bytes, c.isSet ? 0u : 4u);
        if (!c.isSet) {
            EXPECT_EQ(data[0], kPropertyValue);
        }
    }

    // The raw path sends what it is given.
    request.Property = Property(kSetUnknown, 77);
    Fake.Calls.clear();
    EXPECT_EQ(device->RawDeviceProperty(false, 9, &request, 3, &value, 4, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(Fake.Calls, std::vector<std::string>{"request GET_DEVICE_PROPERTY"});
    EXPECT_EQ(Fake.Property.PropertySetID, 9u);
    EXPECT_EQ(Fake.Property.PropertyInputSize, 3u);
    EXPECT_EQ(RequestViolationCounts().Total(), 0u);
}

// --- The bus ---

TEST_F(StreamClassTest, CamerasShareTheBusBudget)
{
    kald::sim::Camera first;
    kald::sim::Camera second;
    auto a = OpenDevice(first);
    auto b = OpenDevice(second);

    // The first takes setting 2 (880 bytes).
    Fake.Settings = {2};
    ASSERT_EQ(a->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(first.AlternateSetting(), 2);
    EXPECT_EQ(bus.BandwidthInUse(), 880u);

    // The second's 880 and 512 do not fit beside it and never reach the
    // camera; 256 does.
    Fake.Settings = {2, 3, 1};
    Fake.Selections.clear();
    ASSERT_EQ(b->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const std::vector<NTSTATUS> selections = {STATUS_INSUFFICIENT_RESOURCES,
                                              STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS};
    EXPECT_EQ(Fake.Selections, selections);
    ASSERT_EQ(second.AlternateSelectionLog().size(), 1u);
    EXPECT_EQ(second.AlternateSelectionLog()[0].AlternateSetting, 1);
    EXPECT_EQ(b->PacketSize(), 256);
    ASSERT_NE(b->Pump(), nullptr);
    EXPECT_EQ(bus.BandwidthInUse(), 880u + 256u);

    // With nothing to fall back to, the run fails and holds nothing.
    ASSERT_EQ(b->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    Fake.Settings = {2};
    EXPECT_EQ(b->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(b->BandwidthHeld(), 0u);

    // Once the first stops, its share is free for the second's 880.
    ASSERT_EQ(a->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(bus.BandwidthInUse(), 0u);
    ASSERT_EQ(b->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(second.AlternateSetting(), 2);
    EXPECT_EQ(b->BandwidthHeld(), 880u);
}

TEST_F(StreamClassTest, SettingThatDoesNotFitIsUndoneOnACameraThatDoesNotTell)
{
    FakeCamera camera;
    auto device = OpenDevice(camera);
    Fake.Settings = {2};
    ASSERT_EQ(device->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(device->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    // 1,400 bytes exceed the whole budget: the camera was asked, and put
    // back to the setting it had.
    camera.Selected.clear();
    Fake.Settings = {4};
    EXPECT_EQ(device->SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(camera.Selected, (std::vector<UCHAR>{4, 0}));
    EXPECT_EQ(camera.Setting, 0);
    EXPECT_EQ(device->BandwidthHeld(), 0u);
    // A camera's own refusal stands as it is.
    camera.Rejected = {3};
    Fake.Settings = {3};
    EXPECT_EQ(device->SetState(KSSTATE_RUN), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(camera.Setting, 0);
}

TEST_F(StreamClassTest, BusRunsEveryStreamInLockStep)
{
    FakeCamera cameras[3];
    auto a = OpenDevice(cameras[0]);
    auto b = OpenDevice(cameras[1]);
    auto idle = OpenDevice(cameras[2]); // open, not running
    Fake.Settings = {1};                // 100 bytes each
    ASSERT_EQ(a->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(b->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const uint64_t before = Now100ns();
    bus.Run(25);
    EXPECT_EQ(Now100ns() - before, 25u * 10000u);
    EXPECT_EQ(cameras[0].Packets, 25u);
    EXPECT_EQ(cameras[1].Packets, 25u);
    EXPECT_EQ(cameras[2].Packets, 0u);
    EXPECT_EQ(a->Pump()->Statistics().packets, 25u);
    // An idle bus still keeps time.
    ASSERT_EQ(a->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(b->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    bus.Run(3);
    EXPECT_EQ(Now100ns() - before, 28u * 10000u);
    EXPECT_EQ(cameras[0].Packets, 25u);
}

TEST_F(StreamClassTest, DeviceDescriptionFollowsTheOptions)
{
    HostDriver loaded(FakeDriverEntry);
    FakeCamera camera;
    HostDeviceOptions options;
    options.VendorId = 0x1234;
    options.ProductId = 0x5678;
    options.DeviceRelease = 0x0200;
    options.InterfaceNumber = 2;
    HostDevice device(bus, loaded, camera, options);
    ASSERT_EQ(device.Initialize(), STATUS_SUCCESS);
    EXPECT_EQ(Fake.Device.idVendor, 0x1234);
    EXPECT_EQ(Fake.Device.idProduct, 0x5678);
    EXPECT_EQ(Fake.Device.bcdDevice, 0x0200);
    EXPECT_EQ(Fake.InterfaceSeen.InterfaceNumber, 2);
}

} // namespace
