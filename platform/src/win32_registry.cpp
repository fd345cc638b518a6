// The Win32 registry API over the host registry store that the kernel side
// uses too. Opened keys are handles of the Win32 table holding the key's
// absolute path; a key deleted under an open handle makes that handle's
// calls fail with ERROR_KEY_DELETED. Strings cross in the ANSI code page
// and are kept as UTF-16LE.
#include <cstring>

#include "registry_store.h"
#include "win32_state.h"
#include "win32_text.h"

namespace kald::host {
namespace {

using namespace win32;

struct PredefinedKey {
    HKEY Key;
    const wchar_t* Path;
};
const PredefinedKey PredefinedKeys[] = {
    {HKEY_CLASSES_ROOT, L"\\Registry\\Machine\\Software\\Classes"},
    {HKEY_CURRENT_USER, L"\\Registry\\User\\S-1-5-21-1000"},
    {HKEY_LOCAL_MACHINE, L"\\Registry\\Machine"},
    {HKEY_USERS, L"\\Registry\\User"},
};

bool IsPredefined(HKEY key)
{
    for (const PredefinedKey& predefined : PredefinedKeys) {
        if (predefined.Key == key) {
            return true;
        }
    }
    return false;
}

std::u16string Utf16Of(std::wstring_view text)
{
    std::u16string out;
    for (wchar_t c : text) {
        out += char16_t(c);
    }
    return out;
}

std::wstring WideFromAnsi(const char* text)
{
    std::wstring out;
    for (; *text != '\0'; ++text) {
        out += wchar_t(AnsiToUtf16(static_cast<unsigned char>(*text)));
    }
    return out;
}

std::string AnsiFromWide(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text) {
        out += c <= 0xFFFF ? AnsiFromUtf16(char16_t(c)) : '?';
    }
    return out;
}

// The absolute path of an open key or root; an error when it is neither
// or its key has been deleted.
LONG PathOf(HKEY key, std::wstring& path)
{
    for (const PredefinedKey& predefined : PredefinedKeys) {
        if (predefined.Key == key) {
            path = predefined.Path;
            return ERROR_SUCCESS;
        }
    }
    {
        State& state = TheState();
        std::lock_guard<std::mutex> guard(state.Lock);
        const Object* object = FindObject(state, key, ObjectKind::RegistryKey);
        if (object == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        path = object->KeyPath;
    }
    if (RegistryStore::Instance().KeyExists(path)) {
        return ERROR_SUCCESS;
    }
    // A handle on a root stays good while the root has no keys.
    for (const PredefinedKey& predefined : PredefinedKeys) {
        if (EqualFolded(Utf16Of(path), Utf16Of(predefined.Path))) {
            return ERROR_SUCCESS;
        }
    }
    return ERROR_KEY_DELETED;
}

// Key plus relative sub key. A sub key must not start with a separator or
// hold an empty part; trailing separators are dropped.
LONG SubKeyPath(HKEY key, LPCSTR subKey, std::wstring& path)
{
    const LONG status = PathOf(key, path);
    if (status != ERROR_SUCCESS || subKey == nullptr || *subKey == '\0') {
        return status;
    }
    std::wstring relative = WideFromAnsi(subKey);
    while (!relative.empty() && relative.back() == L'\\') {
        relative.pop_back();
    }
    if (relative.empty() || relative.front() == L'\\' ||
        relative.find(L"\\\\") != std::wstring::npos) {
        return ERROR_BAD_PATHNAME;
    }
    path += L'\\';
    path += relative;
    return ERROR_SUCCESS;
}

HKEY OpenHandle(const std::wstring& path)
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    Object key{ObjectKind::RegistryKey};
    key.KeyPath = path;
    return reinterpret_cast<HKEY>(AddObject(state, std::move(key)));
}

bool IsString(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A value's data as the ANSI caller sees it: strings converted from UTF-16.
std::string CallerData(const RegistryValue& value)
{
    if (!IsString(value.Type)) {
        return std::string(value.Data.begin(), value.Data.end());
    }
    return AnsiFromUtf16(ReadUtf16(value.Data.data(), value.Data.size() / 2));
}

// Copies `data` out the way RegQueryValueExA does: only the size without a
// buffer, ERROR_MORE_DATA with the size needed when it does not fit.
LONG CopyOut(const std::string& data, LPBYTE buffer, LPDWORD size)
{
    if (size == nullptr) {
        return buffer == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    }
    if (buffer != nullptr) {
        if (*size < data.size()) {
            *size = DWORD(data.size());
            return ERROR_MORE_DATA;
        }
        memcpy(buffer, data.data(), data.size());
    }
    *size = DWORD(data.size());
    return ERROR_SUCCESS;
}

// Copies a name with its NUL into a buffer of *length characters; on
// success *length is the name's length without the NUL.
LONG CopyName(const std::string& name, LPSTR buffer, LPDWORD length)
{
    if (buffer == nullptr || length == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (*length <= name.size()) {
        return ERROR_MORE_DATA;
    }
    memcpy(buffer, name.c_str(), name.size() + 1);
    *length = DWORD(name.size());
    return ERROR_SUCCESS;
}

// The start of creating or opening `subKey` below `key`: the result
// cleared and the path it names.
LONG StartOpen(HKEY key, LPCSTR subKey, PHKEY result, std::wstring& path)
{
    if (result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    return SubKeyPath(key, subKey, path);
}

// Creating or opening no sub key gives the key itself, as on the platform.
LONG KeyItself(HKEY key, PHKEY result)
{
    std::wstring path;
    const LONG status = PathOf(key, path);
    *result = status == ERROR_SUCCESS ? key : nullptr;
    return status;
}

} // namespace
} // namespace kald::host

using namespace kald::host;
using namespace kald::host::win32;

extern "C" {

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM,
                            struct _SECURITY_ATTRIBUTES*, PHKEY phkResult,
                            LPDWORD lpdwDisposition)
{
    std::wstring path;
    const LONG status = StartOpen(hKey, lpSubKey, phkResult, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const bool created = RegistryStore::Instance().CreateKey(path);
    if (lpdwDisposition != nullptr) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    *phkResult = OpenHandle(path);
    return ERROR_SUCCESS;
}

LONG WINAPI RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult)
{
    if (phkResult != nullptr && (lpSubKey == nullptr || *lpSubKey == '\0')) {
        return KeyItself(hKey, phkResult);
    }
    return RegCreateKeyExA(hKey, lpSubKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, phkResult, nullptr);
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult)
{
    std::wstring path;
    const LONG status = StartOpen(hKey, lpSubKey, phkResult, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const bool root = IsPredefined(hKey) && (lpSubKey == nullptr || *lpSubKey == '\0');
    if (!root && !RegistryStore::Instance().KeyExists(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    *phkResult = OpenHandle(path);
    return ERROR_SUCCESS;
}

LONG WINAPI RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult)
{
    if (phkResult != nullptr && (lpSubKey == nullptr || *lpSubKey == '\0')) {
        return KeyItself(hKey, phkResult);
    }
    return RegOpenKeyExA(hKey, lpSubKey, 0, KEY_ALL_ACCESS, phkResult);
}

LONG WINAPI RegCloseKey(HKEY hKey)
{
    if (IsPredefined(hKey)) {
        return ERROR_SUCCESS;
    }
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (FindObject(state, hKey, ObjectKind::RegistryKey) == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    state.Handles.erase(HandleValue(hKey));
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType,
                           const BYTE* lpData, DWORD cbData)
{
    if ((lpData == nullptr && cbData != 0) || (dwType == REG_DWORD && cbData != sizeof(DWORD))) {
        return ERROR_INVALID_PARAMETER;
    }
    std::wstring path;
    const LONG status = PathOf(hKey, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    std::vector<uint8_t> data(lpData, lpData + cbData);
    if (IsString(dwType)) {
        std::u16string text = Utf16FromAnsi(
            std::string_view(reinterpret_cast<const char*>(lpData), lpData ? cbData : 0));
        if (dwType != REG_MULTI_SZ && (text.empty() || text.back() != u'\0')) {
            text += u'\0';
        }
        const std::string bytes = Utf16Bytes(text);
        data.assign(bytes.begin(), bytes.end());
    }
    const std::wstring name = lpValueName != nullptr ? WideFromAnsi(lpValueName) : L"";
    RegistryStore::Instance().Write(path, name, dwType, std::move(data));
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::wstring path;
    const LONG status = PathOf(hKey, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const std::wstring name = lpValueName != nullptr ? WideFromAnsi(lpValueName) : L"";
    const std::optional<RegistryValue> value = RegistryStore::Instance().Read(path, name);
    if (!value) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (lpType != nullptr) {
        *lpType = value->Type;
    }
    return CopyOut(CallerData(*value), lpData, lpcbData);
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
{
    std::wstring path;
    const LONG status = PathOf(hKey, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const std::wstring name = lpValueName != nullptr ? WideFromAnsi(lpValueName) : L"";
    return RegistryStore::Instance().DeleteValue(path, name) ? ERROR_SUCCESS
                                                             : ERROR_FILE_NOT_FOUND;
}

// The roots themselves cannot be deleted.
LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
{
    if (lpSubKey == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (*lpSubKey == '\0' && IsPredefined(hKey)) {
        return ERROR_ACCESS_DENIED;
    }
    std::wstring path;
    const LONG status = SubKeyPath(hKey, lpSubKey, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    switch (RegistryStore::Instance().DeleteKey(path)) {
    case RegistryStore::DeleteResult::Deleted:
        return ERROR_SUCCESS;
    case RegistryStore::DeleteResult::HasSubKeys:
        return ERROR_ACCESS_DENIED;
    case RegistryStore::DeleteResult::NotFound:
        break;
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey)
{
    std::wstring path;
    const LONG status = SubKeyPath(hKey, lpSubKey, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const bool keep = lpSubKey == nullptr || *lpSubKey == '\0';
    if (keep && IsPredefined(hKey) && !RegistryStore::Instance().KeyExists(path)) {
        return ERROR_SUCCESS; // an empty root
    }
    return RegistryStore::Instance().DeleteTree(path, keep) ? ERROR_SUCCESS
                                                            : ERROR_FILE_NOT_FOUND;
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD,
                          LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime)
{
    std::wstring path;
    const LONG status = PathOf(hKey, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const std::vector<std::wstring> names = RegistryStore::Instance().SubKeyNames(path);
    if (dwIndex >= names.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const LONG copied = CopyName(AnsiFromWide(names[dwIndex]), lpName, lpcchName);
    if (copied != ERROR_SUCCESS) {
        return copied;
    }
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime != nullptr) {
        *lpftLastWriteTime = FILETIME{0, 0};
    }
    return ERROR_SUCCESS;
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpData != nullptr && lpcbData == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::wstring path;
    const LONG status = PathOf(hKey, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    const std::vector<RegistryValue> values = RegistryStore::Instance().Values(path);
    if (dwIndex >= values.size()) {
        return ERROR_NO_MORE_ITEMS;
    }
    const RegistryValue& value = values[dwIndex];
    const LONG copied = CopyName(AnsiFromWide(value.Name), lpValueName, lpcchValueName);
    if (copied != ERROR_SUCCESS) {
        return copied;
    }
    if (lpType != nullptr) {
        *lpType = value.Type;
    }
    return CopyOut(CallerData(value), lpData, lpcbData);
}

LONG WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen,
                             LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                             LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                             LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime)
{
    std::wstring path;
    const LONG status = PathOf(hKey, path);
    if (status != ERROR_SUCCESS) {
        return status;
    }
    RegistryStore& store = RegistryStore::Instance();
    const std::vector<std::wstring> subKeys = store.SubKeyNames(path);
    const std::vector<RegistryValue> values = store.Values(path);
    DWORD longestSubKey = 0, longestName = 0, longestData = 0;
    for (const std::wstring& name : subKeys) {
        longestSubKey = std::max(longestSubKey, DWORD(name.size()));
    }
    for (const RegistryValue& value : values) {
        longestName = std::max(longestName, DWORD(value.Name.size()));
        longestData = std::max(longestData, DWORD(CallerData(value).size()));
    }
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) {
        lpClass[0] = '\0';
    }
    if (lpcchClass != nullptr) {
        *lpcchClass = 0;
    }
    const std::pair<LPDWORD, DWORD> answers[] = {
        {lpcSubKeys, DWORD(subKeys.size())}, {lpcbMaxSubKeyLen, longestSubKey},
        {lpcbMaxClassLen, 0},                {lpcValues, DWORD(values.size())},
        {lpcbMaxValueNameLen, longestName},  {lpcbMaxValueLen, longestData},
        {lpcbSecurityDescriptor, 0},
    };
    for (const auto& [out, answer] : answers) {
        if (out != nullptr) {
            *out = answer;
        }
    }
    if (lpftLastWriteTime != nullptr) {
        *lpftLastWriteTime = FILETIME{0, 0};
    }
    return ERROR_SUCCESS;
}

} // extern "C"
