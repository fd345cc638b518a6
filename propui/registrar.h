// The registry-script interpreter: a small language of nested keys with
// string and number values that describes what a COM class registers.
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {GUID} = s 'Description'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Apartment'
//               }
//           }
//       }
//   }
//
// Roots HKCR, HKLM, HKCU and HKU (or their HKEY_ names); key names bare or
// quoted with '...' ('' is a quote inside); "= s 'text'" sets the default
// string value, "= d 'n'" a number; "val Name = s|d 'x'" a named value; the
// flags NoRemove, ForceRemove and Delete go before a key.
#pragma once

#include <cstddef>

#include "propui_platform.h"

// One name and value for %NAME% in scripts, e.g. {"MODULE", "/path/kaldprop.so"};
// %% is a literal %.
struct ScriptReplacement {
    const char* Name;
    const char* Value;
};

// Runs one registry script in register (TRUE) or unregister (FALSE) mode over
// the Reg* API. The whole script is read before anything is written: a
// script error (unbalanced braces, unterminated string, unknown root, flag
// or value type, unknown %NAME%) gives DISP_E_EXCEPTION with the registry
// untouched. A registry failure gives HRESULT_FROM_WIN32 of its error.
//
// Register: ForceRemove keys are deleted with their subtree and made again;
// every key is created and its values set; Delete keys are deleted with
// their subtree. Unregister: NoRemove keys stay but their children are
// processed; ForceRemove and Delete keys go with their subtree; other keys
// lose their children and values first and then go when no subkey is left.
HRESULT RunRegistryScript(const char* Script, size_t Length, BOOL Register,
                          const ScriptReplacement* Replacements, size_t ReplacementCount);
