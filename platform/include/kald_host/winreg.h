// The registry API of user-mode code over the host registry, the one the
// kernel side reads and writes too (kald_host/host_kernel.h): the
// predefined roots map to absolute keys (HKEY_CLASSES_ROOT to
// \Registry\Machine\Software\Classes, HKEY_LOCAL_MACHINE to
// \Registry\Machine, HKEY_USERS to \Registry\User, HKEY_CURRENT_USER to
// \Registry\User\S-1-5-21-1000), key paths and value names compare without
// regard to ASCII case, and REG_SZ data is UTF-16LE with its terminating NUL
// on both sides. Opened keys are handles of the host Win32 table. Functions
// return the error code (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ...) and leave
// the thread's last error alone.
#pragma once

#include "minwindef.h"

#ifndef KALD_HOST_ACCESS_MASK_DEFINED
#define KALD_HOST_ACCESS_MASK_DEFINED
typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK* PACCESS_MASK;
#endif
typedef ACCESS_MASK REGSAM;

struct _SECURITY_ATTRIBUTES;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

// Access rights. The host keeps no security: any access is granted.
#define STANDARD_RIGHTS_READ 0x00020000L
#define STANDARD_RIGHTS_WRITE 0x00020000L
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define SYNCHRONIZE 0x00100000L
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_EXECUTE ((KEY_READ) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                                         \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |            \
      KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) &                                 \
     (~SYNCHRONIZE))

// RegCreateKeyExA options and dispositions. Every host key is kept.
#define REG_OPTION_RESERVED 0x00000000L
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

// Registry errors beyond those of windows.h.
#define ERROR_BAD_PATHNAME 161L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_KEY_DELETED 1018L
#define ERROR_KEY_HAS_CHILDREN 1020L

#ifdef __cplusplus
extern "C" {
#endif

// lpSubKey null or "" names hKey itself (RegCreateKeyExA and RegOpenKeyExA
// then open it again); a sub key may hold several parts separated by "\",
// but must not start with "\". Creating makes the keys above it too.
LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                            DWORD dwOptions, REGSAM samDesired,
                            struct _SECURITY_ATTRIBUTES* lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition);
LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                          PHKEY phkResult);
LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
// Closing a predefined root succeeds and does nothing.
LONG WINAPI RegCloseKey(HKEY hKey);

// lpValueName null or "" is the key's default (unnamed) value. REG_SZ,
// REG_EXPAND_SZ and REG_MULTI_SZ data given in the ANSI code page
// (Windows-1252) are stored as UTF-16LE, a missing terminating NUL added;
// RegQueryValueExA and RegEnumValueA convert them back (unmappable
// characters read '?'). A REG_DWORD must be 4 bytes.
LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                           const BYTE* lpData, DWORD cbData);
// With lpData null, *lpcbData receives the size needed; with a buffer too
// small, ERROR_MORE_DATA and the size needed (nothing stored).
LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData);
LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
// Deletes a key that has no sub keys (ERROR_ACCESS_DENIED otherwise).
LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
// Deletes the key with everything below it; with lpSubKey null, deletes
// everything below hKey and hKey's values, keeping hKey.
LONG WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);

// Direct sub keys and values in order of their names without regard to
// case; ERROR_NO_MORE_ITEMS past the last. Name sizes are in characters:
// in, the buffer's size with the NUL; out, the length without it. A name
// that does not fit gives ERROR_MORE_DATA.
LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                          LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                          PFILETIME lpftLastWriteTime);
LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// Sub key and value counts and the longest names and data; every out
// pointer may be null. Classes, security and times are reported as none.
LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                             LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                             LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime);

#ifdef __cplusplus
}
#endif
