// A camera for Kaldprop's tests: the simulated camera on a host bus, the
// real driver loaded and the device initialised through the host stream
// class, so that the pages' requests reach the driver as on the platform.
// The driver's values can also be read and set directly, bypassing Kaldprop.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "device.h"
#include "kald_host/host_device.h"
#include "kald_host/host_kernel.h"
#include "kald_host/host_win32.h"
#include "kald_sim/camera.h"

// The driver's entry routine, as the platform's loader finds it.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

class DriverFixture : public ::testing::Test {
  protected:
    void SetUp() override
    {
        using namespace kald::host;
        ResetWin32();
        RegistryClear();
        ResetPool();
        ResetClock();
        ResetRequestViolations();
        driver = std::make_unique<HostDriver>(DriverEntry);
        ASSERT_TRUE(driver->Loaded());
        hostDevice = std::make_unique<HostDevice>(bus, *driver, camera);
        ASSERT_EQ(hostDevice->Initialize(), STATUS_SUCCESS);
        HW_STREAM_DESCRIPTOR descriptor{};
        ASSERT_EQ(hostDevice->GetStreamInfo(&descriptor), STATUS_SUCCESS);
    }

    // Drops the device, checks that nothing stayed open and that every
    // request was completed properly.
    void TearDownDevice()
    {
        using namespace kald::host;
        hostDevice.reset();
        EXPECT_EQ(OpenWin32Handles().Total(), 0u) << "a handle, key, set or module left open";
        ResetWin32();
        EXPECT_EQ(RequestViolationCounts().Total(), 0u);
    }

    // The driver's live value of an extension item.
    LONG DriverValue(ULONG id) { return Request(id, false, 0); }
    void SetDriverValue(ULONG id, LONG value) { Request(id, true, value); }

    kald::host::HostBus bus;
    kald::sim::Camera camera;
    std::unique_ptr<kald::host::HostDriver> driver;
    std::unique_ptr<kald::host::HostDevice> hostDevice;

  private:
    LONG Request(ULONG id, bool set, LONG value)
    {
        ExtensionPropertyRecord record{};
        record.Set = CameraExtensionPropertySet;
        record.Id = id;
        record.Flags = set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
        record.Value = value;
        ULONG bytes = 0;
        EXPECT_EQ(hostDevice->DeviceProperty(set, &record, sizeof(record), &record,
                                             sizeof(record), &bytes),
                  STATUS_SUCCESS);
        return record.Value;
    }
};
