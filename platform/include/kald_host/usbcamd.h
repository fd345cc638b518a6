// The USB camera library's calls that the driver makes, with the platform's
// names and signatures. The host library routes them to the camera the
// device context was bound to (kald_host/host_usb.h).
#pragma once

#include "ntdef.h"
#include "usb.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef VOID (*PCOMMAND_COMPLETE_FUNCTION)(PVOID DeviceContext, PVOID CommandContext,
                                           NTSTATUS NtStatus);

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
