// The module's language: the resource module that dialogs and strings are
// loaded from (a language library, or the module itself) and the help file
// the pages' Help buttons open.
#pragma once

#include "propui_platform.h"

// The help file path the pages pass to WinHelpA.
inline constexpr size_t HelpFilePathSize = 260;
extern char HelpFilePath[HelpFilePathSize];

// Selects the language resources for the user's default locale: a library
// named Base + "UNI.LRC" serves every locale; otherwise Base + the locale's
// three-letter language abbreviation + ".LRC" (e.g. Kld8DEU.LRC), whose help
// file is then HelpBase + abbreviation + ".HLP" when `ChangeHelpPath` is
// set. Without either library the module's own resources and HelpBase +
// "UNI.HLP" are used. Makes the user's locale the thread's locale.
void SelectLanguageResources(const char* Base, const char* HelpBase, BOOL ChangeHelpPath);
// Frees a loaded language library and falls back to the module's own
// resources.
void FreeLanguageResources();
