// The one platform header of the driver: the real kernel, stream-class and
// USB camera library headers when built for Windows, the host stand-ins
// elsewhere. Every driver source includes this and nothing else from outside.
#pragma once

#if defined(_WIN32)
#include <ntddk.h>
#include <windef.h>
#include <tchar.h>
#include <ks.h>
#include <ksmedia.h>
// The toolchain's stream-class header declares its routines without C
// linkage; they are the stream class driver's plain C exports.
extern "C" {
#include <strmini.h>
}
#include <usb.h>
#include <usbdi.h>
#include <usbcamdi.h>
#else
#include <kald_host/ntdef.h>
#include <kald_host/ks.h>
#include <kald_host/ksmedia.h>
#include <kald_host/strmini.h>
#include <kald_host/usb.h>
#include <kald_host/usbcamd.h>
#include <kald_host/wdm.h>
#endif
