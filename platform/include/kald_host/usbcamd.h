// The USB camera library's calls that the driver makes, with the platform's
// names and signatures. The host library routes them to the camera the
// device context was bound to (kald_host/host_usb.h).
#pragma once

#include "ntdef.h"
#include "strmini.h"
#include "usb.h"
#include "wdm.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef NTSTATUS (*PCOMMAND_COMPLETE_FUNCTION)(PVOID DeviceContext, PVOID CommandContext,
                                               NTSTATUS NtStatus);

typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

// What a pipe of the interface is for, as the driver tells the library.
typedef struct _pipe_config_descriptor {
    CHAR StreamAssociation;
    UCHAR PipeConfigFlags;
} USBCAMD_Pipe_Config_Descriptor, *PUSBCAMD_Pipe_Config_Descriptor;

#define USBCAMD_DATA_PIPE 0x0001
#define USBCAMD_MULTIPLEX_PIPE 0x0002
#define USBCAMD_SYNC_PIPE 0x0004
#define USBCAMD_DONT_CARE_PIPE 0x0008

#define USBCAMD_VIDEO_STREAM 0x1
#define USBCAMD_STILL_STREAM 0x2
#define USBCAMD_VIDEO_STILL_STREAM (USBCAMD_VIDEO_STREAM | USBCAMD_STILL_STREAM)

// Flags the packet callback returns through its PacketFlag argument.
#define USBCAMD_PROCESSPACKETEX_DropFrame 0x0002
#define USBCAMD_PROCESSPACKETEX_NextFrameIsStill 0x0004
#define USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill 0x0008

// The driver's callbacks.
typedef NTSTATUS (*PCAM_INITIALIZE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);
typedef NTSTATUS (*PCAM_CONFIGURE_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                              PUSBD_INTERFACE_INFORMATION Interface,
                                              PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                              ULONG PipeConfigListSize,
                                              PUSBCAMD_Pipe_Config_Descriptor PipeConfig,
                                              PUSB_DEVICE_DESCRIPTOR DeviceDescriptor);
typedef NTSTATUS (*PCAM_START_CAPTURE_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject,
                                                  PVOID DeviceContext, ULONG StreamNumber);
typedef NTSTATUS (*PCAM_STOP_CAPTURE_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject,
                                                 PVOID DeviceContext, ULONG StreamNumber);
typedef NTSTATUS (*PCAM_ALLOCATE_BW_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject,
                                                PVOID DeviceContext, PULONG RawFrameLength,
                                                PVOID Format, ULONG StreamNumber);
typedef NTSTATUS (*PCAM_FREE_BW_ROUTINE_EX)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                            ULONG StreamNumber);
// Returns how many bytes of the packet, from its first byte, go into the raw
// frame; raises *FrameComplete when this packet begins a new frame.
typedef ULONG (*PCAM_PROCESS_PACKET_ROUTINE_EX)(
    PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID CurrentFrameContext,
    PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
    PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer, PBOOLEAN FrameComplete,
    PULONG PacketFlag, PULONG ValidDataOffset);
typedef VOID (*PCAM_NEW_FRAME_ROUTINE_EX)(PVOID DeviceContext, PVOID FrameContext,
                                          ULONG StreamNumber, PULONG FrameLength);
typedef NTSTATUS (*PCAM_PROCESS_RAW_FRAME_ROUTINE_EX)(
    PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID FrameContext, PVOID FrameBuffer,
    ULONG FrameLength, PVOID RawFrameBuffer, ULONG RawFrameLength, ULONG NumberOfPackets,
    PULONG BytesReturned, ULONG ActualRawFrameLength, ULONG StreamNumber);
typedef NTSTATUS (*PCAM_STATE_ROUTINE)(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext);

// The callback table the driver hands over with every request it forwards.
typedef struct _USBCAMD_DEVICE_DATA2 {
    ULONG Sig;
    PCAM_INITIALIZE_ROUTINE CamInitialize;
    PCAM_INITIALIZE_ROUTINE CamUnInitialize;
    PCAM_PROCESS_PACKET_ROUTINE_EX CamProcessUSBPacketEx;
    PCAM_NEW_FRAME_ROUTINE_EX CamNewVideoFrameEx;
    PCAM_PROCESS_RAW_FRAME_ROUTINE_EX CamProcessRawVideoFrameEx;
    PCAM_START_CAPTURE_ROUTINE_EX CamStartCaptureEx;
    PCAM_STOP_CAPTURE_ROUTINE_EX CamStopCaptureEx;
    PCAM_CONFIGURE_ROUTINE_EX CamConfigureEx;
    PCAM_STATE_ROUTINE CamSaveState;
    PCAM_STATE_ROUTINE CamRestoreState;
    PCAM_ALLOCATE_BW_ROUTINE_EX CamAllocateBandwidthEx;
    PCAM_FREE_BW_ROUTINE_EX CamFreeBandwidthEx;
} USBCAMD_DEVICE_DATA2, *PUSBCAMD_DEVICE_DATA2;

// The library's older callback table. The host library serves only the Ex
// callbacks: what a driver passes as a PUSBCAMD_DEVICE_DATA must be a
// USBCAMD_DEVICE_DATA2.
typedef struct _USBCAMD_DEVICE_DATA USBCAMD_DEVICE_DATA, *PUSBCAMD_DEVICE_DATA;

// The minidriver's device request routine, and its stream hooks: the library
// offers each stream request to the hook first; the hook raises *Completed
// when it has completed the request itself.
typedef VOID (*PADAPTER_RECEIVE_PACKET_ROUTINE)(PHW_STREAM_REQUEST_BLOCK Srb);
typedef VOID (*PSTREAM_RECEIVE_PACKET)(PVOID Srb, PVOID DeviceContext, PBOOLEAN Completed);

// Registers the minidriver with the library: the sizes of its device and
// frame records and its device request routine.
ULONG USBCAMD_DriverEntry(PVOID Context1, PVOID Context2, ULONG DeviceContextSize,
                          ULONG FrameContextSize, PADAPTER_RECEIVE_PACKET_ROUTINE ReceivePacket);

// Returns the minidriver's device context of the request's device and, when
// DeviceObject is given, the bus's device object. With NeedsCompletion TRUE
// the library also processes the request, calling back through DeviceData,
// and completes it.
PVOID USBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb, PUSBCAMD_DEVICE_DATA DeviceData,
                                   PDEVICE_OBJECT* DeviceObject, BOOLEAN NeedsCompletion);

// One control transfer on the default pipe: a vendor request to the device
// (Request, Value, Index); GetData TRUE reads *BufferLength bytes into Buffer,
// FALSE sends them. Without a completion routine the call returns when the
// transfer is done.
NTSTATUS USBCAMD_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value,
                                      USHORT Index, PVOID Buffer, PULONG BufferLength,
                                      BOOLEAN GetData, PCOMMAND_COMPLETE_FUNCTION CommandComplete,
                                      PVOID CommandContext);

// Selects the alternate setting written in RequestInterface and fills in its
// pipes (MaximumPacketSize among them).
NTSTATUS USBCAMD_SelectAlternateInterface(PVOID DeviceContext,
                                          PUSBD_INTERFACE_INFORMATION RequestInterface);

#ifdef __cplusplus
}
#endif
