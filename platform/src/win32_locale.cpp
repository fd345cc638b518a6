// Locales: the user's default (steered by tests), the per-thread locale and
// the locale facts GetLocaleInfoA reports from a table of the locales the
// host knows.
#include <cstdio>
#include <cstring>

#include "win32_state.h"

namespace kald::host {
namespace {

struct LocaleFacts {
    LCID Locale;
    const char* Abbreviation;   // LOCALE_SABBREVLANGNAME
    const char* EnglishName;    // LOCALE_SENGLANGUAGE
};

// The platform's three-letter names: the language's ISO 639 letters and a
// third for the country or script.
const LocaleFacts Locales[] = {
    {0x0404, "CHT", "Chinese"},    {0x0804, "CHS", "Chinese"},
    {0x0405, "CSY", "Czech"},      {0x0406, "DAN", "Danish"},
    {0x0407, "DEU", "German"},     {0x0807, "DES", "German"},
    {0x0C07, "DEA", "German"},     {0x0409, "ENU", "English"},
    {0x0809, "ENG", "English"},    {0x0C09, "ENA", "English"},
    {0x1009, "ENC", "English"},    {0x040A, "ESP", "Spanish"},
    {0x0C0A, "ESN", "Spanish"},    {0x080A, "ESM", "Spanish"},
    {0x040B, "FIN", "Finnish"},    {0x040C, "FRA", "French"},
    {0x080C, "FRB", "French"},     {0x0C0C, "FRC", "French"},
    {0x100C, "FRS", "French"},     {0x0410, "ITA", "Italian"},
    {0x0810, "ITS", "Italian"},    {0x0411, "JPN", "Japanese"},
    {0x0412, "KOR", "Korean"},     {0x0413, "NLD", "Dutch"},
    {0x0813, "NLB", "Dutch"},      {0x0414, "NOR", "Norwegian"},
    {0x0814, "NON", "Norwegian"},  {0x0415, "PLK", "Polish"},
    {0x0416, "PTB", "Portuguese"}, {0x0816, "PTG", "Portuguese"},
    {0x0419, "RUS", "Russian"},    {0x041D, "SVE", "Swedish"},
    {0x081D, "SVF", "Swedish"},
};

// The calling thread's own locale; 0 while it follows the user's.
thread_local LCID ThreadLocale = 0;

LCID UserLocale()
{
    win32::State& state = win32::TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    return state.UserLocale;
}

// The locale a caller means: the defaults resolved, the sort id dropped.
LCID Resolve(LCID locale)
{
    if (locale == LOCALE_USER_DEFAULT || locale == LOCALE_SYSTEM_DEFAULT || locale == 0) {
        return UserLocale();
    }
    return LANGIDFROMLCID(locale);
}

const LocaleFacts* Facts(LCID locale)
{
    for (const LocaleFacts& facts : Locales) {
        if (facts.Locale == LANGIDFROMLCID(locale)) {
            return &facts;
        }
    }
    return nullptr;
}

} // namespace

void SetUserDefaultLocale(LCID locale)
{
    win32::State& state = win32::TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.UserLocale = locale;
}

namespace win32 {

void ForgetThreadLocale()
{
    ThreadLocale = 0;
}

} // namespace win32
} // namespace kald::host

using namespace kald::host;

extern "C" {

LCID WINAPI GetUserDefaultLCID(VOID)
{
    return UserLocale();
}

LANGID WINAPI GetUserDefaultLangID(VOID)
{
    return LANGIDFROMLCID(UserLocale());
}

LCID WINAPI GetSystemDefaultLCID(VOID)
{
    return UserLocale();
}

LANGID WINAPI GetSystemDefaultLangID(VOID)
{
    return LANGIDFROMLCID(UserLocale());
}

LCID WINAPI GetThreadLocale(VOID)
{
    return ThreadLocale != 0 ? ThreadLocale : UserLocale();
}

// Only locales the host knows can become the thread's.
WINBOOL WINAPI SetThreadLocale(LCID Locale)
{
    const LCID resolved = Resolve(Locale);
    if (Facts(resolved) == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ThreadLocale = resolved;
    return TRUE;
}

int WINAPI GetLocaleInfoA(LCID Locale, LCTYPE LCType, LPSTR lpLCData, int cchData)
{
    const LocaleFacts* facts = Facts(Resolve(Locale));
    if (facts == nullptr || cchData < 0 || (cchData > 0 && lpLCData == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char number[8];
    const char* answer;
    switch (LCType & ~(LOCALE_NOUSEROVERRIDE | LOCALE_USE_CP_ACP)) {
    case LOCALE_ILANGUAGE:
        snprintf(number, sizeof number, "%04x", unsigned(facts->Locale));
        answer = number;
        break;
    case LOCALE_SABBREVLANGNAME:
        answer = facts->Abbreviation;
        break;
    case LOCALE_SLANGUAGE:
    case LOCALE_SENGLANGUAGE:
        answer = facts->EnglishName;
        break;
    default:
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    const int needed = int(strlen(answer)) + 1;
    if (cchData == 0) {
        return needed;
    }
    if (cchData < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(lpLCData, answer, size_t(needed));
    return needed;
}

} // extern "C"
