// The GUID record and its comparison, shared by the kernel-streaming headers
// and the Win32 headers so that either set can be included alone or both
// together.
#pragma once

#include "ntdef.h"

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;

typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline int IsEqualGUID(REFGUID a, REFGUID b)
{
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

#ifdef __cplusplus
static_assert(sizeof(GUID) == 16, "a GUID is 16 bytes");
#endif
