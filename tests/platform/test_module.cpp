// DllMain of the module the host module tests load. It reports every call
// under HKEY_CURRENT_USER\Software\KaldTestModule, where the tests read
// them after the module is gone: "Attaches" and "Detaches" count the calls,
// "Title" is string 100 loaded from its own resources while attaching, and
// a nonzero "FailAttach" makes the attach answer FALSE.
#include <kald_host/windows.h>

namespace {

const char ReportKey[] = "Software\\KaldTestModule";

DWORD ReadDword(HKEY key, const char* name)
{
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS) {
        return 0;
    }
    return value;
}

void Increment(HKEY key, const char* name)
{
    const DWORD value = ReadDword(key, name) + 1;
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    HKEY key;
    if (RegCreateKeyA(HKEY_CURRENT_USER, ReportKey, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    BOOL answer = TRUE;
    if (reason == DLL_PROCESS_ATTACH) {
        Increment(key, "Attaches");
        char title[64];
        const int length = LoadStringA(instance, 100, title, sizeof title);
        RegSetValueExA(key, "Title", 0, REG_SZ, reinterpret_cast<const BYTE*>(title),
                       DWORD(length + 1));
        answer = ReadDword(key, "FailAttach") == 0;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        Increment(key, "Detaches");
    }
    RegCloseKey(key);
    return answer;
}
