// What the request fuzz targets share: a reader of the input's fields, the
// driver loaded once as the platform loads it, and a fresh device on a
// simulated camera for every run, brought up and torn down through the host
// stream class with the checks every run ends with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "controls/settings.h"
#include "core/dispatch.h"
#include "core/lifecycle.h"
#include "fuzz_common.h"
#include "kald_host/host_device.h"
#include "kald_host/host_kernel.h"
#include "kald_sim/camera.h"

namespace kald::fuzz {

// Reads the input front to back; past its end every byte is 0.
class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return pos_ >= size_; }
    template <typename T> T Read()
    {
        uint8_t bytes[sizeof(T)] = {};
        for (size_t i = 0; i < sizeof(T) && pos_ < size_; ++i) {
            bytes[i] = data_[pos_++];
        }
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The driver is loaded once, as the platform loads it. Its safeguard probe
// is made small: the probe has no part in the requests fuzzed here, and half
// a megabyte mapped and filled for every run would take most of the time.
inline kald::host::HostDriver& Driver()
{
    static kald::host::HostDriver* const driver = [] {
        kald::host::RegistrySetDword(KALDRIN_KEY, L"Safeguard Memory Size", 0x1000);
        return new kald::host::HostDriver(DriverEntry);
    }();
    return *driver;
}

// Runs `body(device)` on a device initialised on a fresh simulated camera
// with an empty registry. Once the device is gone, every request must have
// been completed exactly once and the driver must hold no pool.
template <typename Body> void OnFreshDevice(Body body)
{
    kald::host::HostDriver& driver = Driver();
    Expect(driver.Loaded(), "the driver did not load");

    kald::host::RegistryClear();
    kald::host::ResetRequestViolations();
    {
        kald::sim::CameraConfig config;
        config.SerialBusyStatusReads = 0;
        config.CalibrationNotReadyStatusReads = 0;
        kald::sim::Camera camera(config);
        kald::host::HostBus bus;
        kald::host::HostDevice device(bus, driver, camera);
        Expect(device.Initialize() == STATUS_SUCCESS, "the device did not start");
        body(device);
    }
    Expect(kald::host::RequestViolationCounts().Total() == 0, "the tear-down broke a request");
    Expect(kald::host::PoolBytesInUse(KALDRIN_POOL_TAG) == 0, "the driver kept pool after removal");
}

} // namespace kald::fuzz
