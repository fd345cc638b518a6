// The Win32 subset that user-mode code of this system calls, with the
// platform's names, values, record layouts and signatures: modules, files
// and device I/O control, events and waits, the thread's last error,
// wsprintfA and MessageBoxA. The host runs them against the host devices
// (kald_host/host_win32.h): waits use the virtual clock and never sleep,
// message boxes are recorded instead of shown. Handles, modules and events
// are process-wide; the last error is per thread.
#pragma once

#include "minwindef.h"
#include "winioctl.h"

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    WINBOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// The record of an overlapped request: Internal holds the request's status
// (STATUS_PENDING while it runs), InternalHigh its byte count; hEvent, when
// set, is signalled when the request completes.
typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

// CreateFileA access, sharing, disposition and flags.
#define GENERIC_READ 0x80000000UL
#define GENERIC_WRITE 0x40000000UL
#define GENERIC_EXECUTE 0x20000000UL
#define GENERIC_ALL 0x10000000UL
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED 0x40000000

// Waits.
#define INFINITE 0xFFFFFFFFUL
#define WAIT_OBJECT_0 0x00000000UL
#define WAIT_ABANDONED 0x00000080UL
#define WAIT_TIMEOUT 0x00000102UL
#define WAIT_FAILED 0xFFFFFFFFUL

// Message boxes: buttons, icons and the answers.
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_ABORTRETRYIGNORE 0x00000002L
#define MB_YESNOCANCEL 0x00000003L
#define MB_YESNO 0x00000004L
#define MB_RETRYCANCEL 0x00000005L
#define MB_ICONHAND 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONASTERISK 0x00000040L
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_DEFBUTTON1 0x00000000L
#define MB_DEFBUTTON2 0x00000100L
#define MB_APPLMODAL 0x00000000L
#define MB_SYSTEMMODAL 0x00001000L
#define MB_TASKMODAL 0x00002000L
#define MB_SETFOREGROUND 0x00010000L
#define MB_TOPMOST 0x00040000L
#define IDOK 1
#define IDCANCEL 2
#define IDABORT 3
#define IDRETRY 4
#define IDIGNORE 5
#define IDYES 6
#define IDNO 7

// Registry value types (the device registry properties use them too).
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

// Error codes that GetLastError reports.
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_NOACCESS 998L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_POSSIBLE_DEADLOCK 1131L
#define ERROR_NOT_FOUND 1168L
#define ERROR_NO_MATCH 1169L
#define ERROR_SET_NOT_FOUND 1170L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_DEVICE_REMOVED 1617L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_DLL_INIT_FAILED 1114L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L

// The reasons DllMain is called for.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#ifdef __cplusplus
extern "C" {
#endif

// Modules. "SETUPAPI.DLL" (any case, with or without the extension) is the
// host's device-installation module (setupapi.h); other names are shared
// libraries of any extension. A name without a path separator is looked for
// in the directory SetDllDirectoryA set, then the running executable's
// directory, then the current directory, and last on the host's library
// path (the platform's system directory); a name with one is used as given.
// The first load of a module calls its exported DllMain, when it has one,
// with DLL_PROCESS_ATTACH (a FALSE answer is followed by DLL_PROCESS_DETACH
// and fails the load with ERROR_DLL_INIT_FAILED); the last FreeLibrary calls
// it with DLL_PROCESS_DETACH before unloading.
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINBOOL WINAPI FreeLibrary(HMODULE hLibModule);
// The module's full path (null: the running executable), truncated to nSize
// characters with the NUL (then ERROR_INSUFFICIENT_BUFFER); returns the
// characters stored without the NUL, 0 on failure.
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
// A loaded module by its file name or full path (no reference taken); null
// names the running executable.
HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
WINBOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);
// The first directory LoadLibraryA searches; null or "" restores the default.
WINBOOL WINAPI SetDllDirectoryA(LPCSTR lpPathName);

// Resources of a module (null: the running executable), embedded in it as
// the platform's compiled resource file. Types and names are ordinals
// (MAKEINTRESOURCE) or strings, compared without regard to case; "#123"
// means ordinal 123. FindResourceA/W prefer the thread locale's language,
// then its primary language, then neutral, then English (United States),
// then the first one found; FindResourceExA takes the language given (a
// neutral one meaning the same preference).
// Resource data stays valid while the module is loaded; FreeResource does
// nothing.
HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType);
HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
HRSRC WINAPI FindResourceExA(HMODULE hModule, LPCSTR lpType, LPCSTR lpName, WORD wLanguage);
HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
LPVOID WINAPI LockResource(HGLOBAL hResData);
DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
WINBOOL WINAPI FreeResource(HGLOBAL hResData);
// String uID of the string table (block uID / 16 + 1, entry uID % 16; the
// block is chosen by language as above, whole), copied with a NUL into at most cchBufferMax characters; returns the
// characters copied without the NUL, 0 when there is no such string.
// LoadStringA converts to the ANSI code page (Windows-1252, '?' for what it
// lacks). LoadStringW with cchBufferMax 0 (a read-only pointer to the
// resource on the platform) is refused with 0 and ERROR_INVALID_PARAMETER:
// the host's strings are not wchar_t.
int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);

// Time: Sleep advances the virtual clock (kald_host/host_kernel.h) and
// never sleeps; GetTickCount reads it in ms.
VOID WINAPI Sleep(DWORD dwMilliseconds);
DWORD WINAPI GetTickCount(VOID);

// Atomic operations; each returns the new value (Exchange: the old one).
LONG WINAPI InterlockedIncrement(LONG volatile* Addend);
LONG WINAPI InterlockedDecrement(LONG volatile* Addend);
LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value);

// nNumber * nNumerator / nDenominator rounded half away from zero, through
// 64 bits; -1 when nDenominator is 0 or the result does not fit.
int WINAPI MulDiv(int nNumber, int nNumerator, int nDenominator);

// ANSI strings; null strings count as empty. lstrcmpiA compares without
// regard to ASCII case.
int WINAPI lstrlenA(LPCSTR lpString);
LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength);
int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2);

// Files: the device paths of published device interfaces.
HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
WINBOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                               DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                               LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);

// Events and waits; a wait's time is virtual.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, WINBOOL bManualReset,
                           WINBOOL bInitialState, LPCSTR lpName);
WINBOOL WINAPI SetEvent(HANDLE hEvent);
WINBOOL WINAPI ResetEvent(HANDLE hEvent);
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
WINBOOL WINAPI CloseHandle(HANDLE hObject);

DWORD WINAPI GetLastError(VOID);
VOID WINAPI SetLastError(DWORD dwErrCode);

// Formats into lpOut (at most 1024 bytes with the terminating NUL) and
// returns the characters stored, without the NUL. Conversions: %s %c %d %i
// %u %x %X and %%, with the flags - 0 #, a width, a precision and the size
// prefixes l and h; %l. reads a 32-bit value, as on the platform.
int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...);

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

#ifdef __cplusplus
}
#endif

// The rest of the Win32 subset, as the platform's windows.h brings it in:
// windows and dialogs, the registry, locales, version resources and COM.
#include "winuser.h"
#include "winreg.h"
#include "winnls.h"
#include "winver.h"
#include "ole2.h"
