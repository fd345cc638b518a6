// Locales and languages: the language and locale identifiers with their
// macros, the user's, the system's and the thread's locale, and the locale
// facts the property pages ask for (the three-letter language abbreviation
// that names their language libraries). The host's user locale is set by
// tests (kald_host/host_win32.h, SetUserDefaultLocale); the system locale
// follows it.
#pragma once

#include "minwindef.h"

// A language id is a primary language in the low 10 bits and a
// sublanguage above it; a locale id is a language id with a sort id above.
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define PRIMARYLANGID(lgid) ((WORD)(lgid) & 0x3ff)
#define SUBLANGID(lgid) ((WORD)(lgid) >> 10)
#define MAKELCID(lgid, srtid) ((DWORD)((((DWORD)((WORD)(srtid))) << 16) | ((DWORD)((WORD)(lgid)))))
#define LANGIDFROMLCID(lcid) ((WORD)(lcid))
#define SORTIDFROMLCID(lcid) ((WORD)((((DWORD)(lcid)) >> 16) & 0xf))

#define LANG_NEUTRAL 0x00
#define LANG_INVARIANT 0x7f
#define LANG_CHINESE 0x04
#define LANG_CZECH 0x05
#define LANG_DANISH 0x06
#define LANG_GERMAN 0x07
#define LANG_ENGLISH 0x09
#define LANG_SPANISH 0x0a
#define LANG_FINNISH 0x0b
#define LANG_FRENCH 0x0c
#define LANG_ITALIAN 0x10
#define LANG_JAPANESE 0x11
#define LANG_KOREAN 0x12
#define LANG_DUTCH 0x13
#define LANG_NORWEGIAN 0x14
#define LANG_POLISH 0x15
#define LANG_PORTUGUESE 0x16
#define LANG_RUSSIAN 0x19
#define LANG_SWEDISH 0x1d

#define SUBLANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_SYS_DEFAULT 0x02
#define SUBLANG_CHINESE_TRADITIONAL 0x01
#define SUBLANG_CHINESE_SIMPLIFIED 0x02
#define SUBLANG_CZECH_CZECH_REPUBLIC 0x01
#define SUBLANG_DANISH_DENMARK 0x01
#define SUBLANG_GERMAN 0x01
#define SUBLANG_GERMAN_SWISS 0x02
#define SUBLANG_GERMAN_AUSTRIAN 0x03
#define SUBLANG_ENGLISH_US 0x01
#define SUBLANG_ENGLISH_UK 0x02
#define SUBLANG_SPANISH 0x01
#define SUBLANG_SPANISH_MODERN 0x03
#define SUBLANG_FINNISH_FINLAND 0x01
#define SUBLANG_FRENCH 0x01
#define SUBLANG_FRENCH_BELGIAN 0x02
#define SUBLANG_FRENCH_CANADIAN 0x03
#define SUBLANG_FRENCH_SWISS 0x04
#define SUBLANG_ITALIAN 0x01
#define SUBLANG_ITALIAN_SWISS 0x02
#define SUBLANG_JAPANESE_JAPAN 0x01
#define SUBLANG_KOREAN 0x01
#define SUBLANG_DUTCH 0x01
#define SUBLANG_DUTCH_BELGIAN 0x02
#define SUBLANG_NORWEGIAN_BOKMAL 0x01
#define SUBLANG_NORWEGIAN_NYNORSK 0x02
#define SUBLANG_POLISH_POLAND 0x01
#define SUBLANG_PORTUGUESE 0x02
#define SUBLANG_PORTUGUESE_BRAZILIAN 0x01
#define SUBLANG_RUSSIAN_RUSSIA 0x01
#define SUBLANG_SWEDISH 0x01
#define SUBLANG_SWEDISH_FINLAND 0x02

#define SORT_DEFAULT 0x0

#define LANG_SYSTEM_DEFAULT (MAKELANGID(LANG_NEUTRAL, SUBLANG_SYS_DEFAULT))
#define LANG_USER_DEFAULT (MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT))
#define LOCALE_SYSTEM_DEFAULT (MAKELCID(LANG_SYSTEM_DEFAULT, SORT_DEFAULT))
#define LOCALE_USER_DEFAULT (MAKELCID(LANG_USER_DEFAULT, SORT_DEFAULT))
#define LOCALE_NEUTRAL (MAKELCID(MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), SORT_DEFAULT))
#define LOCALE_INVARIANT (MAKELCID(MAKELANGID(LANG_INVARIANT, SUBLANG_NEUTRAL), SORT_DEFAULT))

// What GetLocaleInfoA reports.
typedef DWORD LCTYPE;
#define LOCALE_NOUSEROVERRIDE 0x80000000
#define LOCALE_USE_CP_ACP 0x40000000
#define LOCALE_RETURN_NUMBER 0x20000000
#define LOCALE_ILANGUAGE 0x00000001       // the language id, 4 hex digits
#define LOCALE_SLANGUAGE 0x00000002       // the language's name
#define LOCALE_SABBREVLANGNAME 0x00000003 // three letters, e.g. "DEU"
#define LOCALE_SENGLANGUAGE 0x00001001    // the language's English name
#define LOCALE_SENGLISHLANGUAGENAME LOCALE_SENGLANGUAGE

#ifdef __cplusplus
extern "C" {
#endif

LCID WINAPI GetUserDefaultLCID(VOID);
LANGID WINAPI GetUserDefaultLangID(VOID);
LCID WINAPI GetSystemDefaultLCID(VOID);
LANGID WINAPI GetSystemDefaultLangID(VOID);
// The calling thread's locale: the user's until the thread sets another.
LCID WINAPI GetThreadLocale(VOID);
WINBOOL WINAPI SetThreadLocale(LCID Locale);
// Stores the answer with its NUL in lpLCData and returns the characters
// stored, NUL included; with cchData 0 returns the size needed. 0 with
// ERROR_INVALID_PARAMETER for an unknown locale, ERROR_INVALID_FLAGS for an
// LCType the host does not answer, ERROR_INSUFFICIENT_BUFFER when cchData
// is too small.
int WINAPI GetLocaleInfoA(LCID Locale, LCTYPE LCType, LPSTR lpLCData, int cchData);

#ifdef __cplusplus
}
#endif
