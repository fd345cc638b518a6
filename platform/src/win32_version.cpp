// Version information: a module file's RT_VERSION resource (VS_VERSIONINFO)
// copied into the caller's block, and VerQueryValueA walking that block.
// The block is the resource followed by room for ANSI copies of its
// strings, marked so that VerQueryValueA knows the room is there.
#include <dlfcn.h>

#include <cstring>

#include "kald_host/winuser.h"
#include "win32_state.h"
#include "win32_text.h"

namespace kald::host {
namespace {

using namespace win32;

constexpr uint16_t ResourceTypeVersion = 16; // RT_VERSION
constexpr uint32_t AnsiRoomMark = 0x534E4131; // "1ANS"

size_t Align4(size_t n)
{
    return (n + 3) & ~size_t(3);
}

uint16_t Word(const uint8_t* p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

// The version resource of a module file, loaded without running its
// DllMain; none, with the last error set, when there is no such file or it
// has no version resource.
std::optional<std::string> VersionResource(LPCSTR file)
{
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    std::string directory;
    {
        State& state = TheState();
        std::lock_guard<std::mutex> guard(state.Lock);
        directory = state.DllDirectory;
    }
    const std::optional<std::string> path = FindLibrary(file, directory);
    void* library = path ? dlopen(path->c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (library == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return std::nullopt;
    }
    const std::shared_ptr<const ModuleResources> resources = LoadModuleResources(library);
    std::optional<std::string> found;
    if (resources != nullptr) {
        for (const ResourceEntry& entry : resources->Entries) {
            if (entry.typeOrdinal == ResourceTypeVersion && entry.dataSize >= 6) {
                const uint8_t* data = resources->Image + entry.dataOffset;
                found.emplace(reinterpret_cast<const char*>(data), entry.dataSize);
                break;
            }
        }
    }
    dlclose(library);
    if (!found) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    }
    return found;
}

// The resource's own length, as its root node says, within what there is.
size_t RootLength(const std::string& resource)
{
    const size_t length = Word(reinterpret_cast<const uint8_t*>(resource.data()));
    return std::min(length, resource.size());
}

// One node of the version tree: wLength, wValueLength, wType, the key, the
// value and the children, each DWORD aligned from the block's start.
struct Node {
    size_t Start = 0;
    size_t End = 0;
    std::u16string Key;
    size_t Value = 0;      // offset of the value
    size_t ValueBytes = 0; // its size in bytes
    bool Text = false;
    size_t Children = 0; // offset of the first child
};

// The node at `start`, which must lie within `limit`.
std::optional<Node> ReadNode(const uint8_t* block, size_t start, size_t limit)
{
    if (start > limit || limit - start < 6) {
        return std::nullopt;
    }
    Node node;
    node.Start = start;
    const size_t length = Word(block + start);
    if (length < 6 || length > limit - start) {
        return std::nullopt;
    }
    node.End = start + length;
    const size_t valueLength = Word(block + start + 2);
    node.Text = Word(block + start + 4) == 1;
    size_t pos = start + 6;
    for (;;) {
        if (node.End - pos < 2) {
            return std::nullopt;
        }
        const char16_t c = Word(block + pos);
        pos += 2;
        if (c == 0) {
            break;
        }
        node.Key += c;
    }
    node.Value = std::min(Align4(pos), node.End);
    node.ValueBytes = std::min(node.Text ? valueLength * 2 : valueLength, node.End - node.Value);
    node.Children = std::min(Align4(node.Value + node.ValueBytes), node.End);
    return node;
}

} // namespace
} // namespace kald::host

using namespace kald::host;
using namespace kald::host::win32;

extern "C" {

DWORD WINAPI GetFileVersionInfoSizeA(LPCSTR lptstrFilename, LPDWORD lpdwHandle)
{
    if (lpdwHandle != nullptr) {
        *lpdwHandle = 0;
    }
    const std::optional<std::string> resource = VersionResource(lptstrFilename);
    if (!resource) {
        return 0;
    }
    const size_t length = RootLength(*resource);
    return DWORD(Align4(length) + sizeof(uint32_t) + length);
}

// A block smaller than GetFileVersionInfoSizeA asked for is refused with
// ERROR_INSUFFICIENT_BUFFER: a cut tree could not be walked safely.
WINBOOL WINAPI GetFileVersionInfoA(LPCSTR lptstrFilename, DWORD, DWORD dwLen, LPVOID lpData)
{
    if (lpData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::optional<std::string> resource = VersionResource(lptstrFilename);
    if (!resource) {
        return FALSE;
    }
    const size_t length = RootLength(*resource);
    const size_t room = Align4(length);
    if (dwLen < room + sizeof(uint32_t) + length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* block = static_cast<uint8_t*>(lpData);
    memset(block, 0, room + sizeof(uint32_t) + length);
    memcpy(block, resource->data(), length);
    memcpy(block + room, &AnsiRoomMark, sizeof AnsiRoomMark);
    return TRUE;
}

WINBOOL WINAPI VerQueryValueA(LPCVOID pBlock, LPCSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen)
{
    if (pBlock == nullptr || lpSubBlock == nullptr || lplpBuffer == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* block = static_cast<uint8_t*>(const_cast<void*>(pBlock));
    const size_t length = Word(block);
    uint32_t mark;
    memcpy(&mark, block + Align4(length), sizeof mark);
    if (mark != AnsiRoomMark) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    std::optional<Node> node = ReadNode(block, 0, length);
    // Each part of the path names a child by its key, without regard to case.
    const std::string path = lpSubBlock;
    for (size_t pos = 0; node && pos < path.size();) {
        if (path[pos] == '\\') {
            ++pos;
            continue;
        }
        const size_t end = std::min(path.find('\\', pos), path.size());
        const std::u16string key = Utf16FromAnsi(std::string_view(path).substr(pos, end - pos));
        pos = end;
        std::optional<Node> match;
        for (size_t child = node->Children; child < node->End;) {
            const std::optional<Node> candidate = ReadNode(block, child, node->End);
            if (!candidate) {
                break;
            }
            if (EqualFolded(candidate->Key, key)) {
                match = candidate;
                break;
            }
            child = Align4(candidate->End);
        }
        node = match;
    }
    if (!node || node->ValueBytes == 0) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    if (!node->Text) {
        *lplpBuffer = block + node->Value;
        if (puLen != nullptr) {
            *puLen = UINT(node->ValueBytes);
        }
        return TRUE;
    }
    // The ANSI copy goes to the room at half the string's offset, where no
    // other string's copy can be.
    std::u16string text = ReadUtf16(block + node->Value, node->ValueBytes / 2);
    text = text.substr(0, text.find(u'\0'));
    const std::string ansi = AnsiFromUtf16(text);
    char* copy = reinterpret_cast<char*>(block + Align4(length) + sizeof(uint32_t) + node->Value / 2);
    memcpy(copy, ansi.c_str(), ansi.size() + 1);
    *lplpBuffer = copy;
    if (puLen != nullptr) {
        *puLen = UINT(ansi.size() + 1);
    }
    return TRUE;
}

} // extern "C"
