#include <gtest/gtest.h>

#include <cstddef>
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "kald_host/host_kernel.h"
#include "kald_host/host_usb.h"
#include "kald_host/usbcamd.h"

namespace {

using namespace kald::host;

// A camera that records every request and answers as told.
class FakeCamera : public UsbDevice {
  public:
    struct Transfer {
        UCHAR Request;
        USHORT Value;
        USHORT Index;
        bool GetData;
        bool HadBuffer;
        ULONG Length;               // as offered
        std::vector<UCHAR> Written; // the bytes of a write
    };
    struct Selection {
        UCHAR Interface;
        UCHAR Setting;
    };

    NTSTATUS VendorControl(UCHAR request, USHORT value, USHORT index, void* buffer, ULONG* length,
                           bool getData) override
    {
        Transfer t{request, value, index, getData, buffer != nullptr, *length, {}};
        const UCHAR* bytes = static_cast<const UCHAR*>(buffer);
        if (!getData && buffer != nullptr) {
            t.Written.assign(bytes, bytes + *length);
        }
        Transfers.push_back(t);
        if (getData) {
            const size_t count = ReadData.size() < *length ? ReadData.size() : *length;
            std::copy(ReadData.begin(), ReadData.begin() + count, static_cast<UCHAR*>(buffer));
            *length = ReportedLength ? *ReportedLength : ULONG(count);
        }
        return Status;
    }

    NTSTATUS SelectAlternateSetting(UCHAR interfaceNumber, UCHAR alternateSetting,
                                    USHORT* maxPacketSize) override
    {
        Selections.push_back({interfaceNumber, alternateSetting});
        if (NT_SUCCESS(Status)) {
            *maxPacketSize = alternateSetting == 0 ? 0 : USHORT(128 * alternateSetting);
        }
        return Status;
    }

    NTSTATUS Status = STATUS_SUCCESS;
    std::vector<UCHAR> ReadData;
    std::optional<ULONG> ReportedLength; // overrides the count a read reports
    std::vector<Transfer> Transfers;
    std::vector<Selection> Selections;
};

class UsbcamdTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetWaitViolations();
        BindDevice(&Context, &Camera);
    }
    void TearDown() override
    {
        BindDevice(&Context, nullptr);
        BindDevice(&OtherContext, nullptr);
    }

    int Context = 0;      // stands for the driver's device context
    int OtherContext = 0; // a second camera's
    FakeCamera Camera;
};

TEST_F(UsbcamdTest, WritesReachTheBoundDeviceAsGiven)
{
    struct Case {
        const char* what;
        UCHAR request;
        USHORT value, index;
        std::vector<UCHAR> data; // sent
        bool nullLength;         // BufferLength NULL instead of pointing at the size
    };
    const Case cases[] = {
        {"register write without data", 0x00, 0x00A5, 0x0012, {}, false},
        {"register write, no length", 0x00, 0xFFFF, 0xFFFF, {}, true},
        {"write with data", 0x05, 0x1234, 0x0056, {0x12, 0x34, 0xAA}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Camera.Transfers.clear();
        std::vector<UCHAR> buffer = c.data;
        ULONG length = ULONG(buffer.size());
        EXPECT_EQ(USBCAMD_ControlVendorCommand(&Context, c.request, c.value, c.index,
                                               buffer.empty() ? nullptr : buffer.data(),
                                               c.nullLength ? nullptr : &length, FALSE, nullptr,
                                               nullptr),
                  STATUS_SUCCESS);
        ASSERT_EQ(Camera.Transfers.size(), 1u);
        const FakeCamera::Transfer& t = Camera.Transfers[0];
        EXPECT_EQ(t.Request, c.request);
        EXPECT_EQ(t.Value, c.value);
        EXPECT_EQ(t.Index, c.index);
        EXPECT_FALSE(t.GetData);
        EXPECT_EQ(t.Length, c.data.size());
        EXPECT_EQ(t.Written, c.data);
        EXPECT_EQ(length, c.data.size());
    }
}

TEST_F(UsbcamdTest, ReadsFillTheBufferAndReportTheCount)
{
    Camera.ReadData = {0xAA, 0xBB, 0xCC};
    UCHAR buffer[5] = {1, 2, 3, 4, 5};
    ULONG length = 4;
    EXPECT_EQ(USBCAMD_ControlVendorCommand(&Context, 0x00, 0x0000, 0x0021, buffer, &length, TRUE,
                                           nullptr, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(Camera.Transfers.size(), 1u);
    EXPECT_TRUE(Camera.Transfers[0].GetData);
    EXPECT_EQ(Camera.Transfers[0].Index, 0x0021);
    EXPECT_EQ(Camera.Transfers[0].Length, 4u);
    EXPECT_EQ(length, 3u);
    const UCHAR expected[5] = {0xAA, 0xBB, 0xCC, 4, 5};
    EXPECT_EQ(memcmp(buffer, expected, sizeof buffer), 0);

    // A device that claims more than it was offered is cut to the offer.
    Camera.ReportedLength = 100;
    length = 2;
    EXPECT_EQ(USBCAMD_ControlVendorCommand(&Context, 0x00, 0x0000, 0x0021, buffer, &length, TRUE,
                                           nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 2u);
}

TEST_F(UsbcamdTest, DeviceStatusIsReturned)
{
    const NTSTATUS statuses[] = {STATUS_SUCCESS, STATUS_PENDING, STATUS_IO_TIMEOUT,
                                 STATUS_UNSUCCESSFUL};
    for (NTSTATUS status : statuses) {
        Camera.Status = status;
        UCHAR byte = 0;
        ULONG length = 1;
        EXPECT_EQ(USBCAMD_ControlVendorCommand(&Context, 0, 0, 0x10, &byte, &length, TRUE, nullptr,
                                               nullptr),
                  status);
    }
    EXPECT_EQ(Camera.Transfers.size(), 4u);
}

TEST_F(UsbcamdTest, CallsOnUnboundContextsFailWithoutReachingAnyDevice)
{
    FakeCamera other;
    EXPECT_EQ(BoundDevice(&Context), &Camera);
    EXPECT_EQ(BoundDevice(&OtherContext), nullptr);
    ULONG length = 0;
    EXPECT_EQ(USBCAMD_ControlVendorCommand(&OtherContext, 0, 1, 2, nullptr, &length, FALSE, nullptr,
                                           nullptr),
              STATUS_DEVICE_NOT_CONNECTED);
    USBD_INTERFACE_INFORMATION info = {};
    info.Length = sizeof info;
    info.NumberOfPipes = 1;
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(&OtherContext, &info), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(Camera.Transfers.empty());
    EXPECT_TRUE(Camera.Selections.empty());

    // Two contexts, two devices.
    BindDevice(&OtherContext, &other);
    EXPECT_EQ(USBCAMD_ControlVendorCommand(&OtherContext, 7, 0, 0, nullptr, &length, FALSE, nullptr,
                                           nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(
        USBCAMD_ControlVendorCommand(&Context, 8, 0, 0, nullptr, &length, FALSE, nullptr, nullptr),
        STATUS_SUCCESS);
    ASSERT_EQ(other.Transfers.size(), 1u);
    EXPECT_EQ(other.Transfers[0].Request, 7);
    ASSERT_EQ(Camera.Transfers.size(), 1u);
    EXPECT_EQ(Camera.Transfers[0].Request, 8);

    // Unbinding.
    BindDevice(&Context, nullptr);
    EXPECT_EQ(BoundDevice(&Context), nullptr);
    EXPECT_EQ(
        USBCAMD_ControlVendorCommand(&Context, 8, 0, 0, nullptr, &length, FALSE, nullptr, nullptr),
        STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Camera.Transfers.size(), 1u);
}

TEST_F(UsbcamdTest, DataWithoutBufferIsInvalid)
{
    ULONG length = 4;
    EXPECT_EQ(
        USBCAMD_ControlVendorCommand(&Context, 0, 0, 0, nullptr, &length, TRUE, nullptr, nullptr),
        STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Camera.Transfers.empty());
}

struct Completion {
    int Calls = 0;
    PVOID DeviceContext = nullptr;
    NTSTATUS Status = 0;
};

NTSTATUS RecordCompletion(PVOID deviceContext, PVOID commandContext, NTSTATUS status)
{
    Completion* completion = static_cast<Completion*>(commandContext);
    ++completion->Calls;
    completion->DeviceContext = deviceContext;
    completion->Status = status;
    return STATUS_SUCCESS;
}

TEST_F(UsbcamdTest, CompletionRoutineGetsTheTransferStatus)
{
    Camera.Status = STATUS_IO_TIMEOUT;
    Completion completion;
    ULONG length = 0;
    EXPECT_EQ(USBCAMD_ControlVendorCommand(&Context, 0, 0, 0, nullptr, &length, FALSE,
                                           RecordCompletion, &completion),
              STATUS_IO_TIMEOUT);
    EXPECT_EQ(completion.Calls, 1);
    EXPECT_EQ(completion.DeviceContext, &Context);
    EXPECT_EQ(completion.Status, STATUS_IO_TIMEOUT);

    // No transfer, no completion.
    Completion unbound;
    EXPECT_EQ(USBCAMD_ControlVendorCommand(&OtherContext, 0, 0, 0, nullptr, &length, FALSE,
                                           RecordCompletion, &unbound),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(unbound.Calls, 0);
}

// An interface description with room for `pipes` pipes, as the library
// allocates it.
struct InterfaceBuffer {
    explicit InterfaceBuffer(ULONG pipes)
        : Bytes(offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION))
    {
        Storage.resize((Bytes + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG));
        Info()->Length = USHORT(Bytes);
        Info()->NumberOfPipes = pipes;
    }
    USBD_INTERFACE_INFORMATION* Info()
    {
        return reinterpret_cast<USBD_INTERFACE_INFORMATION*>(Storage.data());
    }
    size_t Bytes;
    std::vector<ULONGLONG> Storage;
};

TEST_F(UsbcamdTest, SelectingASettingFillsTheDataPipe)
{
    struct Case {
        UCHAR setting;
        USHORT packetSize; // 128 per setting from the fake
    };
    const Case cases[] = {{7, 896}, {3, 384}, {0, 0}};
    InterfaceBuffer buffer(1);
    USBD_INTERFACE_INFORMATION* info = buffer.Info();
    info->Pipes[0].MaximumTransferSize = 0x8000; // the caller's own
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.setting));
        info->InterfaceNumber = 0;
        info->AlternateSetting = c.setting;
        EXPECT_EQ(USBCAMD_SelectAlternateInterface(&Context, info), STATUS_SUCCESS);
        const USBD_PIPE_INFORMATION& pipe = info->Pipes[0];
        EXPECT_EQ(pipe.MaximumPacketSize, c.packetSize);
        EXPECT_EQ(pipe.EndpointAddress, 0x81);
        EXPECT_EQ(pipe.PipeType, UsbdPipeTypeIsochronous);
        EXPECT_NE(pipe.PipeHandle, nullptr);
        EXPECT_EQ(pipe.MaximumTransferSize, 0x8000u);
        ASSERT_FALSE(Camera.Selections.empty());
        EXPECT_EQ(Camera.Selections.back().Interface, 0);
        EXPECT_EQ(Camera.Selections.back().Setting, c.setting);
    }
    EXPECT_EQ(info->Length, buffer.Bytes);
    EXPECT_EQ(info->NumberOfPipes, 1u);
}

TEST_F(UsbcamdTest, FailedSelectionLeavesThePipesAlone)
{
    InterfaceBuffer buffer(1);
    USBD_INTERFACE_INFORMATION* info = buffer.Info();
    info->InterfaceNumber = 1;
    info->AlternateSetting = 5;
    info->Pipes[0].MaximumPacketSize = 0x1234;
    Camera.Status = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(&Context, info), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(Camera.Selections.size(), 1u);
    EXPECT_EQ(Camera.Selections[0].Interface, 1);
    EXPECT_EQ(Camera.Selections[0].Setting, 5);
    EXPECT_EQ(info->Pipes[0].MaximumPacketSize, 0x1234);
    EXPECT_EQ(info->Pipes[0].PipeHandle, nullptr);
}

TEST_F(UsbcamdTest, SelectionChecksTheDescription)
{
    // No pipes: the selection is made and nothing is filled in.
    InterfaceBuffer none(0);
    none.Info()->AlternateSetting = 2;
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(&Context, none.Info()), STATUS_SUCCESS);
    EXPECT_EQ(Camera.Selections.size(), 1u);

    // A Length too short for the pipes it claims, and no description at all.
    InterfaceBuffer shortOne(2);
    shortOne.Info()->Length = USHORT(shortOne.Bytes - 1);
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(&Context, shortOne.Info()),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(USBCAMD_SelectAlternateInterface(&Context, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Camera.Selections.size(), 1u);
}

TEST_F(UsbcamdTest, TransfersInsideNoWaitScopeAreViolations)
{
    InterfaceBuffer buffer(1);
    UCHAR byte = 0x5A;
    ULONG length = 1;
    Completion completion;
    {
        NoWaitScope scope;
        EXPECT_EQ(USBCAMD_ControlVendorCommand(&Context, 0, 0, 0x10, &byte, &length, TRUE, nullptr,
                                               nullptr),
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(USBCAMD_ControlVendorCommand(&Context, 0, 0x01, 0x10, nullptr, nullptr, FALSE,
                                               RecordCompletion, &completion),
                  STATUS_UNSUCCESSFUL);
        EXPECT_EQ(USBCAMD_SelectAlternateInterface(&Context, buffer.Info()), STATUS_UNSUCCESSFUL);
        // Also where no device is bound: the call itself is the fault.
        EXPECT_EQ(USBCAMD_ControlVendorCommand(&OtherContext, 0, 0, 0, nullptr, nullptr, FALSE,
                                               nullptr, nullptr),
                  STATUS_UNSUCCESSFUL);
    }
    EXPECT_EQ(WaitViolations(), 4u);
    EXPECT_TRUE(Camera.Transfers.empty());
    EXPECT_TRUE(Camera.Selections.empty());
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(completion.Calls, 0);

    EXPECT_EQ(
        USBCAMD_ControlVendorCommand(&Context, 0, 0, 0x10, &byte, &length, TRUE, nullptr, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(WaitViolations(), 4u);
}

} // namespace
