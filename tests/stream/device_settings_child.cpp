// The other process of the settings hand-over test: loads the registry from
// the file named on its command line, runs the camera once so the driver
// loads and saves its settings, changes saturation and "Max Packet Size
// Allowed" by property requests, saves them with EXT_SAVE_SETTINGS and
// writes the registry back to the file. Exits 0 on success; otherwise
// prints the step that failed and exits with its number.
#include <cstdio>
#include <string>

#include "capture_client.h"
#include "kald_host/host_kernel.h"
#include "kald_sim/camera.h"

namespace {

using namespace kald::host;
using namespace kald::test;

int Fail(int step, const char* what, NTSTATUS status = STATUS_UNSUCCESSFUL)
{
    std::fprintf(stderr, "device_settings_child: step %d (%s) failed: 0x%08X\n", step, what,
                 unsigned(status));
    return step;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: device_settings_child REGISTRY-FILE SATURATION MAX-PACKET\n");
        return 1;
    }
    const std::string path = argv[1];
    const LONG saturation = std::stol(argv[2]);
    const LONG maxPacket = std::stol(argv[3]);

    RegistryClear();
    if (RegistryFileStatus loaded = RegistryLoadFile(path); !loaded) {
        std::fprintf(stderr, "device_settings_child: %s\n", loaded.error.c_str());
        return 2;
    }
    {
        HostBus bus;
        HostDriver driver(DriverEntry);
        kald::sim::Camera camera;
        HostDevice device(bus, driver, camera);
        KS_DATAFORMAT_VIDEOINFOHEADER format{};
        NTSTATUS status = StartAndOpen(device, 176, 333333, &format);
        if (!NT_SUCCESS(status)) {
            return Fail(3, "open", status);
        }
        // One short run: the settings are loaded from the registry and saved.
        if (status = device.SetState(KSSTATE_RUN); !NT_SUCCESS(status)) {
            return Fail(4, "run", status);
        }
        bus.Run(50);
        if (status = device.SetState(KSSTATE_STOP); !NT_SUCCESS(status)) {
            return Fail(5, "stop", status);
        }
        if (status = SetExtension(device, kExtSaturation, saturation); !NT_SUCCESS(status)) {
            return Fail(6, "set saturation", status);
        }
        if (status = SetExtension(device, kExtMaxPacketSizeAllowed, maxPacket);
            !NT_SUCCESS(status)) {
            return Fail(7, "set max packet size", status);
        }
        if (status = SetExtension(device, kExtSaveSettings, 0); !NT_SUCCESS(status)) {
            return Fail(8, "save settings", status);
        }
    }
    if (RegistryFileStatus saved = RegistrySaveFile(path); !saved) {
        std::fprintf(stderr, "device_settings_child: %s\n", saved.error.c_str());
        return 9;
    }
    return 0;
}
