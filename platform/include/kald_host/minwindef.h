// The basic Win32 types shared by the kernel-streaming headers (ks.h) and
// the user-mode headers (windows.h, setupapi.h). Widths follow the
// platform's LLP64 model: DWORD and LONG are 32 bits, handles and the
// _PTR integers pointer-sized.
#pragma once

#include "guiddef.h"
#include "ntdef.h"

// Calling conventions are the host's default.
#define WINAPI
#define WINAPIV
#define APIENTRY
#define CALLBACK
#define STDMETHODCALLTYPE

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef BOOL WINBOOL;
typedef int INT;
typedef unsigned int UINT;
typedef uint64_t DWORDLONG;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t DWORD_PTR;
typedef LONG HRESULT;

typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef WORD* PWORD;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef INT* PINT;
typedef UINT* PUINT;
typedef LONG* LPLONG;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef CHAR* LPSTR;
typedef CHAR* PSTR;
typedef const CHAR* LPCSTR;

typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__* HWND;

typedef INT_PTR (WINAPI* FARPROC)();

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *PSIZE, *LPSIZE;

typedef struct tagRECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT, *LPRECT;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

#define MAX_PATH 260
#define ANYSIZE_ARRAY 1
