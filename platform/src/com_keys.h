// Registry helpers the host COM library and its type libraries share: the
// narrow key names they build and the default values under
// HKEY_CLASSES_ROOT they read.
#pragma once

#include <string>

#include "kald_host/host_win32.h"
#include "kald_host/olectl.h"

namespace kald::host::com {

// The registry's narrow form of a wide string: characters up to U+00FF
// as themselves, others as '?'.
std::string Narrow(LPCOLESTR text);

// The braced form of `guid`, as key names under CLSID and TypeLib use it.
std::string GuidKeyName(REFGUID guid);

// The default value of HKEY_CLASSES_ROOT\`subKey`, if it is a string (it
// may be empty); cut at its first NUL.
bool ReadClassesDefault(const std::string& subKey, std::string& value);

} // namespace kald::host::com
