// Resources of host modules: the platform's compiled resource file (.res)
// embedded in a shared library as KaldHostResources/KaldHostResourcesSize,
// parsed with every record checked against the image, and the calls that
// find resources and load strings from it.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "kald_host/winuser.h"
#include "win32_state.h"
#include "win32_text.h"

#ifndef IS_INTRESOURCE
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#endif

namespace kald::host {
namespace {

constexpr uint16_t ResourceTypeString = 6; // RT_STRING

uint16_t Word(const uint8_t* p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

uint32_t Dword(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A type or name field at `pos` of a header ending at `end`: 0xFFFF and an
// ordinal, or a NUL-terminated UTF-16 string. Advances `pos` past it.
bool ParseId(const uint8_t* data, size_t& pos, size_t end, std::optional<uint16_t>& ordinal,
             std::u16string& name)
{
    if (end - pos < 2) {
        return false;
    }
    if (Word(data + pos) == 0xFFFF) {
        if (end - pos < 4) {
            return false;
        }
        ordinal = Word(data + pos + 2);
        pos += 4;
        return true;
    }
    for (;;) {
        if (end - pos < 2) {
            return false; // unterminated
        }
        const char16_t c = Word(data + pos);
        pos += 2;
        if (c == 0) {
            return true;
        }
        name += c;
    }
}

} // namespace

bool ParseResourceImage(const uint8_t* data, size_t size, std::vector<ResourceEntry>& entries)
{
    entries.clear();
    if (data == nullptr && size != 0) {
        return false;
    }
    // Record: DataSize, HeaderSize, TYPE, NAME, DWORD alignment, DataVersion,
    // MemoryFlags, LanguageId, Version, Characteristics; the data at
    // HeaderSize; the next record at the next DWORD boundary.
    constexpr size_t TrailerBytes = 16;
    size_t pos = 0;
    while (pos < size) {
        if (size - pos < 8) {
            entries.clear();
            return false;
        }
        const size_t dataSize = Dword(data + pos);
        const size_t headerSize = Dword(data + pos + 4);
        if (headerSize < 8 || headerSize > size - pos || dataSize > size - pos - headerSize) {
            entries.clear();
            return false;
        }
        const size_t headerEnd = pos + headerSize;
        ResourceEntry entry;
        size_t cursor = pos + 8;
        if (!ParseId(data, cursor, headerEnd, entry.typeOrdinal, entry.typeName) ||
            !ParseId(data, cursor, headerEnd, entry.nameOrdinal, entry.nameName)) {
            entries.clear();
            return false;
        }
        cursor = pos + ((cursor - pos + 3) & ~size_t(3));
        if (cursor > headerEnd || headerEnd - cursor < TrailerBytes) {
            entries.clear();
            return false;
        }
        entry.language = Word(data + cursor + 6);
        entry.dataOffset = headerEnd;
        entry.dataSize = dataSize;
        const bool emptyRecord = dataSize == 0 && entry.typeOrdinal == uint16_t(0) &&
                                 entry.nameOrdinal == uint16_t(0);
        if (!emptyRecord) {
            entries.push_back(std::move(entry));
        }
        const size_t next = headerEnd + dataSize;
        pos = next + ((4 - next % 4) % 4);
    }
    return true;
}

namespace win32 {

std::shared_ptr<const ModuleResources> LoadModuleResources(void* library)
{
    auto resources = std::make_shared<ModuleResources>();
    const auto* image = static_cast<const uint8_t*>(dlsym(library, "KaldHostResources"));
    const auto* size = static_cast<const size_t*>(dlsym(library, "KaldHostResourcesSize"));
    if (image == nullptr || size == nullptr) {
        return resources;
    }
    if (!ParseResourceImage(image, *size, resources->Entries)) {
        return nullptr;
    }
    resources->Image = image;
    resources->Size = *size;
    return resources;
}

} // namespace win32

namespace {

using namespace win32;

// A type or name as a caller gives it.
struct ResourceId {
    std::optional<uint16_t> Ordinal;
    std::u16string Name;

    bool Matches(const std::optional<uint16_t>& ordinal, const std::u16string& name) const
    {
        return Ordinal ? ordinal == Ordinal : !ordinal && EqualFolded(name, Name);
    }
};

// "#123" names ordinal 123, as on the platform.
ResourceId IdFromUtf16(std::u16string text)
{
    if (text.size() > 1 && text[0] == u'#') {
        uint32_t ordinal = 0;
        size_t i = 1;
        for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9' && ordinal <= 0xFFFF; ++i) {
            ordinal = ordinal * 10 + (text[i] - u'0');
        }
        if (i == text.size() && ordinal <= 0xFFFF) {
            return {uint16_t(ordinal), {}};
        }
    }
    return {std::nullopt, std::move(text)};
}

ResourceId IdFromAnsi(LPCSTR id)
{
    if (IS_INTRESOURCE(id)) {
        return {uint16_t(reinterpret_cast<uintptr_t>(id)), {}};
    }
    return IdFromUtf16(Utf16FromAnsi(id));
}

ResourceId IdFromWide(LPCWSTR id)
{
    if (IS_INTRESOURCE(id)) {
        return {uint16_t(reinterpret_cast<uintptr_t>(id)), {}};
    }
    std::u16string text;
    for (; *id != 0; ++id) {
        const uint32_t c = uint32_t(*id);
        if (c >= 0x10000) {
            text += char16_t(0xD800 + ((c - 0x10000) >> 10));
            text += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            text += char16_t(c);
        }
    }
    return IdFromUtf16(std::move(text));
}

const ModuleResources& ExecutableResources()
{
    // Parsed once; never destroyed, like the executable.
    static const ModuleResources* resources = [] {
        void* self = dlopen(nullptr, RTLD_NOW);
        std::shared_ptr<const ModuleResources> found = LoadModuleResources(self);
        return new ModuleResources(found ? *found : ModuleResources{});
    }();
    return *resources;
}

// The resources of a module handle (null: the executable); null with
// ERROR_INVALID_HANDLE for a handle that is no module.
std::shared_ptr<const ModuleResources> ResourcesOf(HMODULE module)
{
    if (module == nullptr || HandleValue(module) == ExecutableModule) {
        return std::shared_ptr<const ModuleResources>(&ExecutableResources(),
                                                      [](const ModuleResources*) {});
    }
    State& state = TheState();
    std::lock_guard<std::mutex> guard(state.Lock);
    const Object* object = FindObject(state, module, ObjectKind::Module);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (object->Resources == nullptr) { // the host SETUPAPI.DLL
        return std::make_shared<ModuleResources>();
    }
    return object->Resources;
}

constexpr int AnyLanguage = -1;

// Sets the last error and returns null.
HRSRC NotFound(DWORD error)
{
    SetLastError(error);
    return nullptr;
}

// The resource of this type and name, in the language wanted or, when
// `language` is AnyLanguage, the thread locale's language, then its primary
// language, then a neutral one, then English (United States), then the
// first.
HRSRC Find(HMODULE module, const ResourceId& type, const ResourceId& name, int language)
{
    const std::shared_ptr<const ModuleResources> resources = ResourcesOf(module);
    if (resources == nullptr) {
        return nullptr;
    }
    if (resources->Entries.empty()) {
        return NotFound(ERROR_RESOURCE_DATA_NOT_FOUND);
    }
    bool typeFound = false;
    const ResourceEntry* candidates[5] = {};
    const LANGID thread = LANGIDFROMLCID(GetThreadLocale());
    for (const ResourceEntry& entry : resources->Entries) {
        if (!type.Matches(entry.typeOrdinal, entry.typeName)) {
            continue;
        }
        typeFound = true;
        if (!name.Matches(entry.nameOrdinal, entry.nameName)) {
            continue;
        }
        if (language != AnyLanguage) {
            if (entry.language == language) {
                return reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(&entry));
            }
            candidates[4] = &entry;
            continue;
        }
        const int rank = entry.language == thread                                ? 0
                         : PRIMARYLANGID(entry.language) == PRIMARYLANGID(thread) ? 1
                         : PRIMARYLANGID(entry.language) == LANG_NEUTRAL          ? 2
                         : entry.language == MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US) ? 3
                                                                                          : 4;
        if (candidates[rank] == nullptr) {
            candidates[rank] = &entry;
        }
    }
    if (language != AnyLanguage) {
        return NotFound(candidates[4] != nullptr ? ERROR_RESOURCE_LANG_NOT_FOUND
                        : typeFound              ? ERROR_RESOURCE_NAME_NOT_FOUND
                                                 : ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    for (const ResourceEntry* best : candidates) {
        if (best != nullptr) {
            return reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(best));
        }
    }
    return NotFound(typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
}

// The entry `handle` names among the module's; null when it is not one.
const ResourceEntry* EntryOf(const ModuleResources& resources, HRSRC handle)
{
    for (const ResourceEntry& entry : resources.Entries) {
        if (reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(&entry)) == handle) {
            return &entry;
        }
    }
    return nullptr;
}

// String `id` of the module's string table as UTF-16; none (with the last
// error set) when the module has no such string. An empty string is none.
std::optional<std::u16string> FindString(HINSTANCE module, UINT id)
{
    const uint16_t block = uint16_t((id >> 4) + 1);
    if (id > 0xFFFF) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return std::nullopt;
    }
    const HRSRC found =
        Find(module, ResourceId{ResourceTypeString, {}}, ResourceId{block, {}}, AnyLanguage);
    if (found == nullptr) {
        return std::nullopt;
    }
    const std::shared_ptr<const ModuleResources> resources = ResourcesOf(module);
    const ResourceEntry* entry = resources ? EntryOf(*resources, found) : nullptr;
    if (entry == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return std::nullopt;
    }
    // Sixteen counted strings; a block cut short ends the search.
    const uint8_t* data = resources->Image + entry->dataOffset;
    size_t pos = 0;
    for (unsigned index = 0; index < 16; ++index) {
        if (entry->dataSize - pos < 2) {
            break;
        }
        const size_t length = Word(data + pos);
        pos += 2;
        if (length > (entry->dataSize - pos) / 2) {
            break;
        }
        if (index == (id & 15)) {
            if (length == 0) {
                break;
            }
            return ReadUtf16(data + pos, length);
        }
        pos += length * 2;
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return std::nullopt;
}

// LoadString's work for either character width: string `id` turned into
// the buffer's characters by `convert` and cut to fit with its NUL.
template <typename Char, typename Convert>
int LoadStringInto(HINSTANCE module, UINT id, Char* buffer, int capacity, Convert convert)
{
    if (buffer == nullptr || capacity <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::optional<std::u16string> text = FindString(module, id);
    if (!text) {
        buffer[0] = Char(0);
        return 0;
    }
    const std::basic_string<Char> converted = convert(*text);
    const size_t copied = std::min(converted.size(), size_t(capacity) - 1);
    std::copy_n(converted.data(), copied, buffer);
    buffer[copied] = Char(0);
    return int(copied);
}

} // namespace
} // namespace kald::host

using namespace kald::host;
using namespace kald::host::win32;

extern "C" {

HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType)
{
    if (lpName == nullptr || lpType == nullptr) {
        return NotFound(ERROR_INVALID_PARAMETER);
    }
    return Find(hModule, IdFromAnsi(lpType), IdFromAnsi(lpName), AnyLanguage);
}

HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType)
{
    if (lpName == nullptr || lpType == nullptr) {
        return NotFound(ERROR_INVALID_PARAMETER);
    }
    return Find(hModule, IdFromWide(lpType), IdFromWide(lpName), AnyLanguage);
}

// A neutral language asks for the thread's preference, as FindResourceA.
HRSRC WINAPI FindResourceExA(HMODULE hModule, LPCSTR lpType, LPCSTR lpName, WORD wLanguage)
{
    if (lpName == nullptr || lpType == nullptr) {
        return NotFound(ERROR_INVALID_PARAMETER);
    }
    const int language =
        wLanguage == MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL) ? AnyLanguage : int(wLanguage);
    return Find(hModule, IdFromAnsi(lpType), IdFromAnsi(lpName), language);
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo)
{
    const std::shared_ptr<const ModuleResources> resources = ResourcesOf(hModule);
    const ResourceEntry* entry = resources ? EntryOf(*resources, hResInfo) : nullptr;
    if (entry == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return const_cast<uint8_t*>(resources->Image + entry->dataOffset);
}

LPVOID WINAPI LockResource(HGLOBAL hResData)
{
    return hResData;
}

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo)
{
    const std::shared_ptr<const ModuleResources> resources = ResourcesOf(hModule);
    const ResourceEntry* entry = resources ? EntryOf(*resources, hResInfo) : nullptr;
    if (entry == nullptr) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    return DWORD(entry->dataSize);
}

// Resources live as long as their module; as on the platform, FALSE.
WINBOOL WINAPI FreeResource(HGLOBAL)
{
    return FALSE;
}

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax)
{
    return LoadStringInto(hInstance, uID, lpBuffer, cchBufferMax,
                          [](const std::u16string& text) { return AnsiFromUtf16(text); });
}

int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
{
    return LoadStringInto(hInstance, uID, lpBuffer, cchBufferMax, WideFromUtf16);
}

} // extern "C"
