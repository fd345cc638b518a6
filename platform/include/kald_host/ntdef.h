// Basic kernel types, status values and memory helpers of the host platform.
// Widths follow the platform's LLP64 model: LONG and ULONG are 32 bits even on
// a 64-bit host.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef wchar_t WCHAR;
typedef UCHAR BOOLEAN;

typedef CHAR* PCHAR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef SHORT* PSHORT;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef BOOLEAN* PBOOLEAN;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef const CHAR* PCSTR;

typedef LONG NTSTATUS;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

// Status values, as the platform numbers them.
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)

// Memory helpers; on the platform these expand to the compiler's intrinsics.
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
