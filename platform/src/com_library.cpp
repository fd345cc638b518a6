// The host COM library: per-thread initialisation, class objects from the
// in-process servers registered under HKEY_CLASSES_ROOT\CLSID, the server
// modules held until they are unused, task memory with accounting, BSTRs
// and GUID strings.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "com_keys.h"

extern "C" {
const GUID GUID_NULL = {0x00000000, 0x0000, 0x0000, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_ITypeInfo = {0x00020401, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_ITypeLib = {0x00020402, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_ITypeComp = {0x00020403, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IPropertyPageSite = {
    0xB196B28C, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
const IID IID_IPropertyPage = {
    0xB196B28D, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
}

namespace kald::host::com {
namespace {

typedef HRESULT(STDAPICALLTYPE* GetClassObjectRoutine)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* CanUnloadNowRoutine)();

struct State {
    std::mutex Lock;
    // Bumped by ResetCom, so that every thread's initialisation is forgotten.
    uint64_t Generation = 1;
    // Initialisations not yet ended, over all threads.
    size_t Initialisations = 0;
    // Server modules CoGetClassObject loaded; each holds one reference.
    std::vector<HMODULE> Servers;
    std::unordered_set<void*> TaskBlocks;
    std::unordered_set<const void*> Strings;
};

// Never destroyed: statics' destructors may still free task memory.
State& TheState()
{
    static State* state = new State;
    return *state;
}

struct ThreadInitialisation {
    uint64_t Generation = 0;
    ULONG Count = 0;
    bool Apartment = false;
};
thread_local ThreadInitialisation ThisThread;

// The calling thread's count, zero when ResetCom came since. Lock held.
ULONG ThreadCount(const State& state)
{
    return ThisThread.Generation == state.Generation ? ThisThread.Count : 0;
}

void FreeServers(std::vector<HMODULE> servers)
{
    for (HMODULE module : servers) {
        FreeLibrary(module);
    }
}

// A BSTR's block: the byte length sits right before the characters, as on
// the platform; the padding keeps the characters aligned.
struct StringHeader {
    uint32_t Padding;
    uint32_t ByteLength;
};

int HexValue(OLECHAR c)
{
    if (c >= L'0' && c <= L'9') {
        return int(c - L'0');
    }
    if (c >= L'a' && c <= L'f') {
        return int(c - L'a') + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return int(c - L'A') + 10;
    }
    return -1;
}

// Reads `digits` hex digits at text[at..]; false at anything else.
bool ReadHex(const OLECHAR* text, size_t at, size_t digits, uint32_t& value)
{
    value = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int digit = HexValue(text[at + i]);
        if (digit < 0) {
            return false;
        }
        value = (value << 4) | uint32_t(digit);
    }
    return true;
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with nothing after it. Reads no
// further than the first character that does not fit, so an early NUL
// stops it.
bool ParseBracedGuid(const OLECHAR* text, GUID& out)
{
    static const char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    for (size_t i = 0; i + 1 < sizeof(kShape); ++i) {
        const bool fits = kShape[i] == 'X' ? HexValue(text[i]) >= 0 : text[i] == OLECHAR(kShape[i]);
        if (!fits) {
            return false;
        }
    }
    if (text[sizeof(kShape) - 1] != L'\0') {
        return false;
    }
    uint32_t value = 0;
    ReadHex(text, 1, 8, value);
    out.Data1 = value;
    ReadHex(text, 10, 4, value);
    out.Data2 = USHORT(value);
    ReadHex(text, 15, 4, value);
    out.Data3 = USHORT(value);
    static const size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (size_t i = 0; i < 8; ++i) {
        ReadHex(text, kByteAt[i], 2, value);
        out.Data4[i] = UCHAR(value);
    }
    return true;
}

} // namespace

std::string Narrow(LPCOLESTR text)
{
    std::string out;
    for (; *text != L'\0'; ++text) {
        out.push_back(uint32_t(*text) <= 0xFF ? char(*text) : '?');
    }
    return out;
}

std::string GuidKeyName(REFGUID guid)
{
    OLECHAR text[39];
    StringFromGUID2(guid, text, 39);
    return Narrow(text);
}

bool ReadClassesDefault(const std::string& subKey, std::string& value)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    bool found = false;
    if (RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && size != 0) {
        std::string data(size, '\0');
        if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(&data[0]),
                             &size) == ERROR_SUCCESS) {
            data.resize(strnlen(data.c_str(), std::min<size_t>(size, data.size())));
            value = data;
            found = true;
        }
    }
    RegCloseKey(key);
    return found;
}

} // namespace kald::host::com

using namespace kald::host::com;

namespace kald::host {

size_t ComTaskMemoryOutstanding()
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    return state.TaskBlocks.size();
}

size_t SysStringsOutstanding()
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    return state.Strings.size();
}

size_t LoadedComServers()
{
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    return state.Servers.size();
}

void ResetCom()
{
    State& state = TheState();
    std::vector<HMODULE> servers;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        ++state.Generation;
        state.Initialisations = 0;
        servers.swap(state.Servers);
    }
    // The modules may be gone already (ResetWin32 unloads every module);
    // freeing a stale handle only fails, but must not leave an error.
    const DWORD error = GetLastError();
    FreeServers(std::move(servers));
    SetLastError(error);
}

} // namespace kald::host

extern "C" {

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit)
{
    if (pvReserved != nullptr) {
        return E_INVALIDARG;
    }
    const bool apartment = (dwCoInit & COINIT_APARTMENTTHREADED) != 0;
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (ThreadCount(state) != 0) {
        if (ThisThread.Apartment != apartment) {
            return RPC_E_CHANGED_MODE;
        }
        ++ThisThread.Count;
        ++state.Initialisations;
        return S_FALSE;
    }
    ThisThread.Generation = state.Generation;
    ThisThread.Count = 1;
    ThisThread.Apartment = apartment;
    ++state.Initialisations;
    return S_OK;
}

HRESULT WINAPI CoInitialize(LPVOID pvReserved)
{
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

void WINAPI CoUninitialize(void)
{
    State& state = TheState();
    std::vector<HMODULE> servers;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        if (ThreadCount(state) == 0) {
            return;
        }
        --ThisThread.Count;
        if (--state.Initialisations == 0) {
            servers.swap(state.Servers);
        }
    }
    // The servers' detach code runs without the lock: it may call COM.
    FreeServers(std::move(servers));
}

HRESULT WINAPI OleInitialize(LPVOID pvReserved)
{
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

void WINAPI OleUninitialize(void)
{
    CoUninitialize();
}

HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID, REFIID riid,
                                LPVOID* ppv)
{
    if (ppv == nullptr) {
        return E_INVALIDARG;
    }
    *ppv = nullptr;
    State& state = TheState();
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        if (ThreadCount(state) == 0) {
            return CO_E_NOTINITIALIZED;
        }
    }
    if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) {
        return REGDB_E_CLASSNOTREG;
    }
    std::string path;
    if (!ReadClassesDefault("CLSID\\" + GuidKeyName(rclsid) + "\\InprocServer32", path) ||
        path.empty()) {
        return REGDB_E_CLASSNOTREG;
    }
    const HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        const DWORD error = GetLastError();
        return HRESULT_FROM_WIN32(error != ERROR_SUCCESS ? error : DWORD(ERROR_MOD_NOT_FOUND));
    }
    const auto getClassObject =
        reinterpret_cast<GetClassObjectRoutine>(reinterpret_cast<void (*)()>(
            GetProcAddress(module, "DllGetClassObject")));
    if (getClassObject == nullptr) {
        FreeLibrary(module);
        return CO_E_ERRORINDLL;
    }
    bool held = false;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        for (HMODULE server : state.Servers) {
            held = held || server == module;
        }
        if (!held) {
            state.Servers.push_back(module);
        }
    }
    if (held) {
        // One reference per server is enough; the one held keeps it loaded.
        FreeLibrary(module);
    }
    return getClassObject(rclsid, riid, ppv);
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr) {
        return E_INVALIDARG;
    }
    *ppv = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<LPVOID*>(&factory));
    if (FAILED(hr)) {
        return hr;
    }
    if (factory == nullptr) {
        return E_UNEXPECTED;
    }
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    factory->Release();
    if (FAILED(hr)) {
        *ppv = nullptr;
    }
    return hr;
}

void WINAPI CoFreeUnusedLibraries(void)
{
    State& state = TheState();
    std::vector<HMODULE> servers;
    {
        std::lock_guard<std::mutex> guard(state.Lock);
        servers = state.Servers;
    }
    for (HMODULE module : servers) {
        const auto canUnloadNow =
            reinterpret_cast<CanUnloadNowRoutine>(reinterpret_cast<void (*)()>(
                GetProcAddress(module, "DllCanUnloadNow")));
        if (canUnloadNow == nullptr || canUnloadNow() != S_OK) {
            continue;
        }
        bool held = false;
        {
            std::lock_guard<std::mutex> guard(state.Lock);
            for (auto it = state.Servers.begin(); it != state.Servers.end(); ++it) {
                if (*it == module) {
                    state.Servers.erase(it);
                    held = true;
                    break;
                }
            }
        }
        if (held) {
            FreeLibrary(module);
        }
    }
}

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb)
{
    // A zero-byte block is a real, distinct block, as on the platform.
    void* block = malloc(cb != 0 ? cb : 1);
    if (block == nullptr) {
        return nullptr;
    }
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.TaskBlocks.insert(block);
    return block;
}

// A null block is allocated; a zero size frees the block and returns null.
// A pointer that is not a live block is left alone and null returned.
LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb)
{
    if (pv == nullptr) {
        return CoTaskMemAlloc(cb);
    }
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    const auto found = state.TaskBlocks.find(pv);
    if (found == state.TaskBlocks.end()) {
        return nullptr;
    }
    if (cb == 0) {
        state.TaskBlocks.erase(found);
        free(pv);
        return nullptr;
    }
    void* moved = realloc(pv, cb);
    if (moved == nullptr) {
        return nullptr; // the old block stays
    }
    state.TaskBlocks.erase(found);
    state.TaskBlocks.insert(moved);
    return moved;
}

// Frees a live block; null and anything else are ignored.
void WINAPI CoTaskMemFree(LPVOID pv)
{
    if (pv == nullptr) {
        return;
    }
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (state.TaskBlocks.erase(pv) != 0) {
        free(pv);
    }
}

int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax)
{
    static const char kDigits[] = "0123456789ABCDEF";
    static const int kLength = 39;
    if (lpsz == nullptr || cchMax < kLength) {
        return 0;
    }
    OLECHAR* out = lpsz;
    auto put = [&out](uint32_t value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
            *out++ = OLECHAR(kDigits[(value >> shift) & 0xF]);
        }
    };
    *out++ = L'{';
    put(rguid.Data1, 8);
    *out++ = L'-';
    put(rguid.Data2, 4);
    *out++ = L'-';
    put(rguid.Data3, 4);
    *out++ = L'-';
    put(rguid.Data4[0], 2);
    put(rguid.Data4[1], 2);
    *out++ = L'-';
    for (int i = 2; i < 8; ++i) {
        put(rguid.Data4[i], 2);
    }
    *out++ = L'}';
    *out = L'\0';
    return kLength;
}

HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz)
{
    if (lplpsz == nullptr) {
        return E_INVALIDARG;
    }
    *lplpsz = static_cast<LPOLESTR>(CoTaskMemAlloc(39 * sizeof(OLECHAR)));
    if (*lplpsz == nullptr) {
        return E_OUTOFMEMORY;
    }
    StringFromGUID2(rclsid, *lplpsz, 39);
    return S_OK;
}

HRESULT WINAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz)
{
    return StringFromCLSID(rclsid, lplpsz);
}

HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid)
{
    if (lpiid == nullptr) {
        return E_INVALIDARG;
    }
    if (lpsz == nullptr) {
        *lpiid = GUID_NULL;
        return S_OK;
    }
    GUID parsed;
    if (!ParseBracedGuid(lpsz, parsed)) {
        return E_INVALIDARG;
    }
    *lpiid = parsed;
    return S_OK;
}

HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid)
{
    if (pclsid == nullptr) {
        return E_INVALIDARG;
    }
    if (lpsz == nullptr) {
        *pclsid = GUID_NULL;
        return S_OK;
    }
    GUID parsed;
    if (lpsz[0] == L'{') {
        if (!ParseBracedGuid(lpsz, parsed)) {
            return CO_E_CLASSSTRING;
        }
        *pclsid = parsed;
        return S_OK;
    }
    // A ProgID: its CLSID key's default value, which must itself be a
    // braced GUID. Names with a backslash would reach other keys.
    const std::string progId = Narrow(lpsz);
    std::string clsidText;
    if (progId.empty() || progId.find('\\') != std::string::npos ||
        !ReadClassesDefault(progId + "\\CLSID", clsidText)) {
        return CO_E_CLASSSTRING;
    }
    const std::wstring wide(clsidText.begin(), clsidText.end());
    if (!ParseBracedGuid(wide.c_str(), parsed)) {
        return CO_E_CLASSSTRING;
    }
    *pclsid = parsed;
    return S_OK;
}

BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui)
{
    if (strIn == nullptr && ui == 0) {
        return nullptr;
    }
    // The byte length must fit the 32-bit prefix.
    if (ui > (0xFFFFFFFFu - sizeof(StringHeader)) / sizeof(OLECHAR) - 1) {
        return nullptr;
    }
    const size_t bytes = size_t(ui) * sizeof(OLECHAR);
    auto* header = static_cast<StringHeader*>(malloc(sizeof(StringHeader) + bytes + sizeof(OLECHAR)));
    if (header == nullptr) {
        return nullptr;
    }
    header->Padding = 0;
    header->ByteLength = uint32_t(bytes);
    BSTR text = reinterpret_cast<BSTR>(header + 1);
    if (strIn != nullptr) {
        memcpy(text, strIn, bytes);
    } else {
        memset(text, 0, bytes);
    }
    text[ui] = L'\0';
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Strings.insert(text);
    return text;
}

BSTR WINAPI SysAllocString(const OLECHAR* psz)
{
    if (psz == nullptr) {
        return nullptr;
    }
    size_t length = 0;
    while (psz[length] != L'\0') {
        ++length;
    }
    if (length > 0xFFFFFFFFu) {
        return nullptr;
    }
    return SysAllocStringLen(psz, UINT(length));
}

// Frees a live BSTR; null and anything else are ignored.
void WINAPI SysFreeString(BSTR bstrString)
{
    if (bstrString == nullptr) {
        return;
    }
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (state.Strings.erase(bstrString) != 0) {
        free(reinterpret_cast<StringHeader*>(bstrString) - 1);
    }
}

// Characters in a live BSTR; 0 for null or anything else.
UINT WINAPI SysStringLen(BSTR pbstr)
{
    if (pbstr == nullptr) {
        return 0;
    }
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (state.Strings.count(pbstr) == 0) {
        return 0;
    }
    return (reinterpret_cast<const StringHeader*>(pbstr) - 1)->ByteLength / sizeof(OLECHAR);
}

} // extern "C"
