// The controls' header: the property-page interfaces (ocidl.h) and the
// self-registration errors that DllRegisterServer returns.
#pragma once

#include "ocidl.h"

#define SELFREG_E_FIRST MAKE_SCODE(SEVERITY_ERROR, FACILITY_ITF, 0x0200)
#define SELFREG_E_LAST MAKE_SCODE(SEVERITY_ERROR, FACILITY_ITF, 0x020F)
#define SELFREG_S_FIRST MAKE_SCODE(SEVERITY_SUCCESS, FACILITY_ITF, 0x0200)
#define SELFREG_E_TYPELIB (SELFREG_E_FIRST + 0)
#define SELFREG_E_CLASS (SELFREG_E_FIRST + 1)
#define SELFREG_S_TYPELIB (SELFREG_S_FIRST + 0)
