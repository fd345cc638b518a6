// What a capture application knows of the camera: the wire format of the
// driver's property sets and the steps that pick and open a video format,
// every one a request through the host stream class.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

#include "kald_host/host_device.h"
#include "kald_host/ksmedia.h"

// The driver's entry routine, as the platform's loader finds it.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace kald::test {

using kald::host::HostDevice;

// The camera's own property sets.
inline constexpr GUID kExtensionSet = {
    0xD410004E, 0x2501, 0x44DF, {0xAC, 0xB3, 0x7B, 0xA8, 0x86, 0x7F, 0x17, 0xD4}};
inline constexpr GUID kDiagnosticsSet = {
    0x1B7BF9FD, 0x58D3, 0x4718, {0x8F, 0xE2, 0x0A, 0xD6, 0x1B, 0x5C, 0xF0, 0x5D}};

// Ids of the extension set.
inline constexpr ULONG kExtSaturation = 3;
inline constexpr ULONG kExtSharpness = 8;
inline constexpr ULONG kExtMaxPacketSizeAllowed = 17;
inline constexpr ULONG kExtSaveSettings = 27;
// Ids of the diagnostics set.
inline constexpr ULONG kDiagFrameError = 2;
inline constexpr ULONG kDiagConfiguration = 3;

// The 32-byte request and data buffer of the extension set.
struct ExtensionRecord {
    KSPROPERTY Property;
    ULONG Reserved;
    LONG Value;
};
static_assert(sizeof(ExtensionRecord) == 32, "the extension record is 32 bytes");
static_assert(offsetof(ExtensionRecord, Value) == 28, "its value is at offset 28");

// The 40-byte buffer of the diagnostics set.
struct DiagnosticsRecord {
    KSPROPERTY Property;
    ULONG Untouched0;
    ULONG Value1;
    ULONG Value2;
    ULONG Untouched1;
};
static_assert(sizeof(DiagnosticsRecord) == 40, "the diagnostics record is 40 bytes");

// One buffer as request and data, as the property pages send it.
inline NTSTATUS SetExtension(HostDevice& device, ULONG id, LONG value)
{
    ExtensionRecord record{};
    record.Property.Set = kExtensionSet;
    record.Property.Id = id;
    record.Property.Flags = KSPROPERTY_TYPE_SET;
    record.Value = value;
    ULONG bytes = 0;
    return device.DeviceProperty(true, &record, sizeof(record), &record, sizeof(record), &bytes);
}

inline NTSTATUS GetExtension(HostDevice& device, ULONG id, LONG* value)
{
    ExtensionRecord record{};
    record.Property.Set = kExtensionSet;
    record.Property.Id = id;
    record.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG bytes = 0;
    const NTSTATUS status =
        device.DeviceProperty(false, &record, sizeof(record), &record, sizeof(record), &bytes);
    *value = record.Value;
    return status;
}

inline NTSTATUS GetDiagnostics(HostDevice& device, ULONG id, DiagnosticsRecord* record)
{
    *record = DiagnosticsRecord{};
    record->Property.Set = kDiagnosticsSet;
    record->Property.Id = id;
    record->Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG bytes = 0;
    return device.DeviceProperty(false, record, sizeof(*record), record, sizeof(*record), &bytes);
}

// The alternate setting and probation state DIAG_CONFIGURATION reports.
inline ULONG ReportedAlternateSetting(const DiagnosticsRecord& configuration)
{
    return (configuration.Value2 >> 9) & 0x7F;
}
inline ULONG ReportedProbationState(const DiagnosticsRecord& configuration)
{
    return (configuration.Value2 >> 20) & 0x3;
}

// The stream's data ranges, copied from the stream information.
inline std::vector<KS_DATARANGE_VIDEO> DataRanges(const HW_STREAM_DESCRIPTOR& descriptor)
{
    std::vector<KS_DATARANGE_VIDEO> ranges;
    const HW_STREAM_INFORMATION& stream = descriptor.StreamInfo;
    for (ULONG i = 0; i < stream.NumberOfFormatArrayEntries; ++i) {
        KS_DATARANGE_VIDEO range;
        std::memcpy(&range, stream.StreamFormatsArray[i], sizeof(range));
        ranges.push_back(range);
    }
    return ranges;
}

// The format the driver's data intersection builds from `range` asked for at
// `interval` (100-ns units; 0 keeps the range's own).
inline NTSTATUS IntersectFormat(HostDevice& device, const KS_DATARANGE_VIDEO& range,
                                LONGLONG interval, KS_DATAFORMAT_VIDEOINFOHEADER* format)
{
    KS_DATARANGE_VIDEO proposed = range;
    if (interval != 0) {
        proposed.VideoInfoHeader.AvgTimePerFrame = interval;
    }
    ULONG bytes = 0;
    return device.DataIntersection(&proposed, sizeof(proposed), format, sizeof(*format), &bytes);
}

// Initialises the device, reads its stream information and opens the range
// `width` wide at `interval`; the opened format goes to *opened.
inline NTSTATUS StartAndOpen(HostDevice& device, ULONG width, LONGLONG interval,
                             KS_DATAFORMAT_VIDEOINFOHEADER* opened)
{
    NTSTATUS status = device.Initialize();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HW_STREAM_DESCRIPTOR descriptor{};
    status = device.GetStreamInfo(&descriptor);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (const KS_DATARANGE_VIDEO& range : DataRanges(descriptor)) {
        if (ULONG(range.VideoInfoHeader.bmiHeader.biWidth) != width) {
            continue;
        }
        status = IntersectFormat(device, range, interval, opened);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return device.OpenStream(opened, sizeof(*opened));
    }
    return STATUS_NO_MATCH;
}

} // namespace kald::test
