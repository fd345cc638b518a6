// The stream class's minidriver interface with the platform's names, field
// order and signatures: stream objects, stream descriptions, request blocks
// (SRBs) and their commands, and the two notifications that complete a
// request. The host stream class behind them is kald_host/host_device.h.
#pragma once

#include "ks.h"
#include "ksmedia.h"
#include "wdm.h"

#ifdef __cplusplus
extern "C" {
#endif

struct _HW_STREAM_REQUEST_BLOCK;
typedef VOID (*PHW_RECEIVE_STREAM_DATA_SRB)(struct _HW_STREAM_REQUEST_BLOCK* SRB);
typedef VOID (*PHW_RECEIVE_STREAM_CONTROL_SRB)(struct _HW_STREAM_REQUEST_BLOCK* SRB);
typedef struct _HW_EVENT_DESCRIPTOR HW_EVENT_DESCRIPTOR, *PHW_EVENT_DESCRIPTOR;
typedef NTSTATUS (*PHW_EVENT_ROUTINE)(PHW_EVENT_DESCRIPTOR EventDescriptor);
typedef struct _HW_TIME_CONTEXT HW_TIME_CONTEXT, *PHW_TIME_CONTEXT;
typedef VOID (*PHW_CLOCK_FUNCTION)(PHW_TIME_CONTEXT HwTimeContext);

typedef struct _HW_CLOCK_OBJECT {
    PHW_CLOCK_FUNCTION HwClockFunction;
    ULONG ClockSupportFlags;
    ULONG Reserved[2];
} HW_CLOCK_OBJECT, *PHW_CLOCK_OBJECT;

// One open stream (pin instance). The minidriver may set the two receive
// routines when the stream is opened.
typedef struct _HW_STREAM_OBJECT {
    ULONG SizeOfThisPacket;
    ULONG StreamNumber;
    PVOID HwStreamExtension;
    PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
    PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
    HW_CLOCK_OBJECT HwClockObject;
    BOOLEAN Dma;
    BOOLEAN Pio;
    PVOID HwDeviceExtension;
    ULONG StreamHeaderMediaSpecific;
    ULONG StreamHeaderWorkspace;
    BOOLEAN Allocator;
    PHW_EVENT_ROUTINE HwEventRoutine;
    ULONG Reserved[2];
} HW_STREAM_OBJECT, *PHW_STREAM_OBJECT;

// The device's description: how many streams, and the device-level property
// sets. SizeOfHwStreamInformation entries of HW_STREAM_INFORMATION follow.
typedef struct _HW_STREAM_HEADER {
    ULONG NumberOfStreams;
    ULONG SizeOfHwStreamInformation;
    ULONG NumDevPropArrayEntries;
    PKSPROPERTY_SET DevicePropertiesArray;
    ULONG NumDevEventArrayEntries;
    PKSEVENT_SET DeviceEventsArray;
    PKSTOPOLOGY Topology;
    PHW_EVENT_ROUTINE DeviceEventRoutine;
    LONG NumDevMethodArrayEntries;
    PKSMETHOD_SET DeviceMethodsArray;
} HW_STREAM_HEADER, *PHW_STREAM_HEADER;

// One stream's description: its formats, data flow and stream-level sets.
typedef struct _HW_STREAM_INFORMATION {
    ULONG NumberOfPossibleInstances;
    KSPIN_DATAFLOW DataFlow;
    BOOLEAN DataAccessible;
    ULONG NumberOfFormatArrayEntries;
    PKSDATAFORMAT* StreamFormatsArray;
    PVOID ClassReserved[4];
    ULONG NumStreamPropArrayEntries;
    PKSPROPERTY_SET StreamPropertiesArray;
    ULONG NumStreamEventArrayEntries;
    PKSEVENT_SET StreamEventsArray;
    GUID* Category;
    GUID* Name;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    BOOLEAN BridgeStream;
    ULONG Reserved[2];
} HW_STREAM_INFORMATION, *PHW_STREAM_INFORMATION;

typedef struct _HW_STREAM_DESCRIPTOR {
    HW_STREAM_HEADER StreamHeader;
    HW_STREAM_INFORMATION StreamInfo;
} HW_STREAM_DESCRIPTOR, *PHW_STREAM_DESCRIPTOR;

typedef struct _STREAM_TIME_REFERENCE STREAM_TIME_REFERENCE, *PSTREAM_TIME_REFERENCE;

// SRB_GET_DATA_INTERSECTION: the client's proposed range and the buffer for
// the format the minidriver builds from it.
typedef struct _STREAM_DATA_INTERSECT_INFO {
    ULONG StreamNumber;
    PKSDATARANGE DataRange;
    PVOID DataFormatBuffer;
    ULONG SizeOfDataFormatBuffer;
} STREAM_DATA_INTERSECT_INFO, *PSTREAM_DATA_INTERSECT_INFO;

// A property request: the request header, the index of its set in the
// minidriver's table, and the data buffer with its sizes.
typedef struct _STREAM_PROPERTY_DESCRIPTOR {
    PKSPROPERTY Property;
    ULONG PropertySetID;
    PVOID PropertyInfo;
    ULONG PropertyInputSize;
    ULONG PropertyOutputSize;
} STREAM_PROPERTY_DESCRIPTOR, *PSTREAM_PROPERTY_DESCRIPTOR;

typedef enum _SRB_COMMAND {
    SRB_READ_DATA,
    SRB_WRITE_DATA,
    SRB_GET_STREAM_STATE,
    SRB_SET_STREAM_STATE,
    SRB_SET_STREAM_PROPERTY,
    SRB_GET_STREAM_PROPERTY,
    SRB_OPEN_MASTER_CLOCK,
    SRB_INDICATE_MASTER_CLOCK,
    SRB_UNKNOWN_STREAM_COMMAND,
    SRB_SET_STREAM_RATE,
    SRB_PROPOSE_DATA_FORMAT,
    SRB_CLOSE_MASTER_CLOCK,
    SRB_PROPOSE_STREAM_RATE,
    SRB_SET_DATA_FORMAT,
    SRB_GET_DATA_FORMAT,
    SRB_BEGIN_FLUSH,
    SRB_END_FLUSH,
    SRB_GET_STREAM_INFO = 0x100,
    SRB_OPEN_STREAM,
    SRB_CLOSE_STREAM,
    SRB_OPEN_DEVICE_INSTANCE,
    SRB_CLOSE_DEVICE_INSTANCE,
    SRB_GET_DEVICE_PROPERTY,
    SRB_SET_DEVICE_PROPERTY,
    SRB_INITIALIZE_DEVICE,
    SRB_CHANGE_POWER_STATE,
    SRB_UNINITIALIZE_DEVICE,
    SRB_UNKNOWN_DEVICE_COMMAND,
    SRB_PAGING_OUT_DRIVER,
    SRB_GET_DATA_INTERSECTION,
    SRB_INITIALIZATION_COMPLETE,
    SRB_SURPRISE_REMOVAL
} SRB_COMMAND;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3
} DEVICE_POWER_STATE;

typedef PVOID HANDLE;
struct _PORT_CONFIGURATION_INFORMATION;

// One request. CommandData is what the command needs; Status, and for
// requests that move data ActualBytesTransferred, are the answer.
typedef struct _HW_STREAM_REQUEST_BLOCK {
    ULONG SizeOfThisPacket;
    SRB_COMMAND Command;
    NTSTATUS Status;
    PHW_STREAM_OBJECT StreamObject;
    PVOID HwDeviceExtension;
    PVOID SRBExtension;
    union _CommandData {
        PKSSTREAM_HEADER DataBufferArray;
        PHW_STREAM_DESCRIPTOR StreamBuffer;
        KSSTATE StreamState;
        PSTREAM_TIME_REFERENCE TimeReference;
        PSTREAM_PROPERTY_DESCRIPTOR PropertyInfo;
        PKSDATAFORMAT OpenFormat;
        struct _PORT_CONFIGURATION_INFORMATION* ConfigInfo;
        HANDLE MasterClockHandle;
        DEVICE_POWER_STATE DeviceState;
        PSTREAM_DATA_INTERSECT_INFO IntersectInfo;
        PVOID MethodInfo;
        LONG FilterTypeIndex;
    } CommandData;
    ULONG NumberOfBuffers;
    ULONG TimeoutCounter;
    ULONG TimeoutOriginal;
    struct _HW_STREAM_REQUEST_BLOCK* NextSRB;
    PIRP Irp;
    ULONG Flags;
    PVOID HwInstanceExtension;
    union {
        ULONG NumberOfBytesToTransfer;
        ULONG ActualBytesTransferred;
    };
    PVOID ScatterGatherBuffer;
    ULONG NumberOfPhysicalPages;
    ULONG NumberOfScatterGatherElements;
    ULONG Reserved[1];
} HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;

// SRB_INITIALIZE_DEVICE: the device's objects and the size of its stream
// description.
typedef struct _PORT_CONFIGURATION_INFORMATION {
    ULONG SizeOfThisPacket;
    PVOID HwDeviceExtension;
    PDEVICE_OBJECT ClassDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    ULONG SystemIoBusNumber;
    ULONG AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    ULONG InterruptMode;
    ULONG DmaChannel;
    ULONG NumberOfAccessRanges;
    PVOID AccessRanges;
    ULONG StreamDescriptorSize;
    PIRP Irp;
    PVOID InterruptObject;
    PVOID DmaAdapterObject;
    PDEVICE_OBJECT RealPhysicalDeviceObject;
    ULONG Reserved[1];
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

typedef enum _STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE {
    ReadyForNextStreamDataRequest,
    ReadyForNextStreamControlRequest,
    HardwareStarved,
    StreamRequestComplete,
    SignalMultipleStreamEvents,
    SignalStreamEvent,
    DeleteStreamEvent,
    StreamNotificationMaximum
} STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE;

typedef enum _STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE {
    ReadyForNextDeviceRequest,
    DeviceRequestComplete,
    SignalMultipleDeviceEvents,
    SignalDeviceEvent,
    DeleteDeviceEvent,
    SignalMultipleDeviceInstanceEvents,
    DeviceNotificationMaximum
} STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE;

// Completes a device request (DeviceRequestComplete with the SRB); the event
// arguments are for the event notifications and are ignored otherwise.
VOID StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                   PVOID HwDeviceExtension, PHW_STREAM_REQUEST_BLOCK pSrb,
                                   PKSEVENT_ENTRY EventEntry, GUID* EventSet, ULONG EventId);

// Completes a stream request: StreamRequestComplete, the stream object, then
// the SRB.
VOID StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                   PHW_STREAM_OBJECT StreamObject, ...);

#ifdef __cplusplus
}
#endif
