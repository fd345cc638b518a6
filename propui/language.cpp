#include "language.h"

#include <cstring>

#include "com_module.h"

char HelpFilePath[HelpFilePathSize];

namespace {

// Longest base name accepted, so that every name built below fits.
constexpr size_t MaxBaseLength = 64;
constexpr size_t AbbreviationSize = 16;

// Copies `Parts` one after the other into `Out`, always terminated; false
// when they do not fit.
bool Join(char* Out, size_t Size, const char* First, const char* Second, const char* Third)
{
    const size_t first = strlen(First);
    const size_t second = strlen(Second);
    const size_t third = strlen(Third);
    if (first + second + third >= Size) {
        Out[0] = '\0';
        return false;
    }
    memcpy(Out, First, first);
    memcpy(Out + first, Second, second);
    memcpy(Out + first + second, Third, third + 1);
    return true;
}

} // namespace

void FreeLanguageResources()
{
    if (Module.ResourceInstance != nullptr && Module.ResourceInstance != Module.ModuleInstance) {
        FreeLibrary(Module.ResourceInstance);
    }
    Module.ResourceInstance = Module.ModuleInstance;
}

void SelectLanguageResources(const char* Base, const char* HelpBase, BOOL ChangeHelpPath)
{
    if (strlen(Base) > MaxBaseLength || strlen(HelpBase) > MaxBaseLength) {
        return;
    }
    Join(HelpFilePath, sizeof HelpFilePath, HelpBase, "UNI", ".HLP");

    const LCID locale = GetUserDefaultLCID();
    SetThreadLocale(locale);

    FreeLanguageResources();

    // A language-neutral library serves every locale.
    char library[MAX_PATH];
    Join(library, sizeof library, Base, "UNI", ".LRC");
    if (HMODULE universal = LoadLibraryA(library)) {
        Module.ResourceInstance = universal;
        return;
    }

    // Otherwise the library of the locale's language, whatever its country:
    // Swiss German uses the German one.
    const LANGID language = static_cast<LANGID>((locale & 0x3FF) | 0x400);
    char abbreviation[AbbreviationSize];
    if (GetLocaleInfoA(MAKELCID(language, SORT_DEFAULT), LOCALE_SABBREVLANGNAME, abbreviation,
                       sizeof abbreviation) == 0) {
        return;
    }
    Join(library, sizeof library, Base, abbreviation, ".LRC");
    HMODULE localised = LoadLibraryA(library);
    if (localised == nullptr) {
        return;
    }
    Module.ResourceInstance = localised;
    if (ChangeHelpPath) {
        Join(HelpFilePath, sizeof HelpFilePath, HelpBase, abbreviation, ".HLP");
    }
}
