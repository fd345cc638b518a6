// Version resources: the fixed file information record and the calls that
// read a module file's VERSIONINFO resource and look into it. On the host
// the file is a shared library with embedded resources; reading it loads
// it without running its DllMain (or finds it among the loaded modules).
#pragma once

#include "minwindef.h"

typedef struct tagVS_FIXEDFILEINFO {
    DWORD dwSignature; // VS_FFI_SIGNATURE
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS; // major << 16 | minor
    DWORD dwFileVersionLS; // build << 16 | revision
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
} VS_FIXEDFILEINFO;

#define VS_FILE_INFO RT_VERSION
#define VS_VERSION_INFO 1
#define VS_USER_DEFINED 100

#define VS_FFI_SIGNATURE 0xFEEF04BDL
#define VS_FFI_STRUCVERSION 0x00010000L
#define VS_FFI_FILEFLAGSMASK 0x0000003FL

#define VS_FF_DEBUG 0x00000001L
#define VS_FF_PRERELEASE 0x00000002L
#define VS_FF_PATCHED 0x00000004L
#define VS_FF_PRIVATEBUILD 0x00000008L
#define VS_FF_INFOINFERRED 0x00000010L
#define VS_FF_SPECIALBUILD 0x00000020L

#define VOS_UNKNOWN 0x00000000L
#define VOS_NT 0x00040000L
#define VOS__WINDOWS32 0x00000004L
#define VOS_NT_WINDOWS32 0x00040004L

#define VFT_UNKNOWN 0x00000000L
#define VFT_APP 0x00000001L
#define VFT_DLL 0x00000002L
#define VFT_DRV 0x00000003L
#define VFT_STATIC_LIB 0x00000007L
#define VFT2_UNKNOWN 0x00000000L
#define VFT2_DRV_SYSTEM 0x00000007L

#ifdef __cplusplus
extern "C" {
#endif

// The size of the module file's version block, 0 with ERROR_FILE_NOT_FOUND
// (no such module) or ERROR_RESOURCE_TYPE_NOT_FOUND (no version resource);
// *lpdwHandle, when given, is set to 0.
DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle);
// Copies at most dwLen bytes of the version block into lpData.
WINBOOL WINAPI GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD dwHandle, DWORD dwLen,
                                   LPVOID lpData);
// Looks into a block that GetFileVersionInfoA filled: "\" gives the
// VS_FIXEDFILEINFO, "\VarFileInfo\Translation" the language and code page
// pairs, "\StringFileInfo\040904b0\FileVersion" a string, converted to the
// ANSI code page in place of the UTF-16 (*puLen counts its characters with
// the NUL). The pointer points into pBlock.
WINBOOL WINAPI VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen);

#ifdef __cplusplus
}
#endif
