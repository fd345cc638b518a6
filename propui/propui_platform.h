// The one platform header of Kaldprop: the real Win32, common-control, COM,
// SetupAPI and kernel-streaming headers when built for Windows, the host
// stand-ins elsewhere. Every Kaldprop source includes this and nothing else
// from the platform.
#pragma once

#if defined(_WIN32)
#include <windows.h>
#include <commctrl.h>
#include <olectl.h>
#include <setupapi.h>
#include <winioctl.h>
#include <ks.h>
#include <ksmedia.h>
#else
#include <kald_host/windows.h>
#include <kald_host/commctrl.h>
#include <kald_host/olectl.h>
#include <kald_host/setupapi.h>
#include <kald_host/ks.h>
#include <kald_host/ksmedia.h>
#endif
