// The host registry saved to and loaded from a file in the registry export
// syntax. The file is parsed whole before the store is touched, and written
// through a temporary file that is renamed over the target.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <string_view>

#include "kald_host/host_kernel.h"
#include "registry_store.h"

namespace kald::host {
namespace {

constexpr size_t MaxFileBytes = 16u << 20;  // far beyond any registry we keep
constexpr size_t MaxLineBytes = 64u << 10;  // one value or key per line
constexpr size_t MaxValueBytes = 16u << 10; // hex: data of one value
constexpr std::string_view Header = "REGEDIT4";

// Our absolute roots and the names the export syntax gives them.
struct Root {
    std::wstring_view Absolute;
    std::string_view Exported;
};
const Root Roots[] = {
    {L"\\Registry\\MACHINE", "HKEY_LOCAL_MACHINE"},
    {L"\\Registry\\USER", "HKEY_USERS"},
};

char FoldAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool EqualFolded(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) {
            return false;
        }
    }
    return true;
}

bool EqualFolded(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const wchar_t x = a[i] >= L'A' && a[i] <= L'Z' ? wchar_t(a[i] - L'A' + L'a') : a[i];
        const wchar_t y = b[i] >= L'A' && b[i] <= L'Z' ? wchar_t(b[i] - L'A' + L'a') : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

RegistryFileStatus Failure(std::string error)
{
    return RegistryFileStatus{false, std::move(error)};
}

// UTF-8 for names and keys; the file is otherwise ASCII.
bool AppendUtf8(std::string& out, wchar_t wide)
{
    const uint32_t c = static_cast<uint32_t>(wide);
    if (c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
        return false; // control characters cannot stand on a line
    }
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
    return true;
}

// Decodes one character at text[pos], advancing pos; false for bad UTF-8 or
// a character AppendUtf8 would refuse.
bool NextUtf8(std::string_view text, size_t& pos, wchar_t& out)
{
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    size_t length;
    uint32_t c;
    if (lead < 0x80) {
        length = 1;
        c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        c = lead & 0x07;
    } else {
        return false;
    }
    if (pos + length > text.size()) {
        return false;
    }
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80) {
            return false;
        }
        c = (c << 6) | (next & 0x3F);
    }
    static constexpr uint32_t Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < Smallest[length] || c < 0x20 || c == 0x7F || (c >= 0xD800 && c <= 0xDFFF) ||
        c > 0x10FFFF) {
        return false;
    }
    pos += length;
    out = static_cast<wchar_t>(c);
    return true;
}

bool DecodeUtf8(std::string_view text, std::wstring& out)
{
    out.clear();
    for (size_t pos = 0; pos < text.size();) {
        wchar_t c;
        if (!NextUtf8(text, pos, c)) {
            return false;
        }
        out += c;
    }
    return true;
}

// A key path must not have empty parts: "\\" and a trailing "\" are refused.
bool WellFormedPath(std::wstring_view path)
{
    return path.find(L"\\\\") == std::wstring_view::npos && !path.empty() && path.back() != L'\\';
}

// "\Registry\MACHINE\SOFTWARE" -> "HKEY_LOCAL_MACHINE\SOFTWARE".
bool ExportKey(std::wstring_view absolute, std::string& out, std::string& error)
{
    std::string utf8;
    for (wchar_t c : absolute) {
        if (!AppendUtf8(utf8, c)) {
            error = "key has a character that cannot be saved";
            return false;
        }
    }
    for (const Root& root : Roots) {
        const size_t n = root.Absolute.size();
        if (absolute.size() >= n && EqualFolded(absolute.substr(0, n), root.Absolute) &&
            (absolute.size() == n || absolute[n] == L'\\')) {
            out = std::string(root.Exported) + utf8.substr(n);
            return true;
        }
    }
    error = "key '" + utf8 + "' is under no root the file can hold";
    return false;
}

// "HKEY_LOCAL_MACHINE\SOFTWARE" -> "\Registry\MACHINE\SOFTWARE".
bool ImportKey(std::string_view exported, std::wstring& out, std::string& error)
{
    const size_t separator = exported.find('\\');
    const std::string_view rootName = exported.substr(0, separator);
    for (const Root& root : Roots) {
        if (EqualFolded(rootName, root.Exported)) {
            std::wstring rest;
            if (separator != std::string_view::npos &&
                !DecodeUtf8(exported.substr(separator), rest)) {
                error = "key is not valid UTF-8 or has a control character";
                return false;
            }
            out = std::wstring(root.Absolute) + rest;
            if (!WellFormedPath(out)) {
                error = "key has an empty part";
                return false;
            }
            return true;
        }
    }
    error = "unknown root '" + std::string(rootName) + "'";
    return false;
}

bool ExportName(std::wstring_view name, std::string& out)
{
    if (name.empty()) {
        out = "@";
        return true;
    }
    out = "\"";
    for (wchar_t c : name) {
        if (c == L'\\' || c == L'"') {
            out += '\\';
        }
        if (!AppendUtf8(out, c)) {
            return false;
        }
    }
    out += '"';
    return true;
}

const char HexDigits[] = "0123456789abcdef";

void AppendHexBytes(std::string& out, const std::vector<uint8_t>& data)
{
    for (size_t i = 0; i < data.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        out += HexDigits[data[i] >> 4];
        out += HexDigits[data[i] & 0xF];
    }
}

bool ExportData(const RegistryValue& value, std::string& out)
{
    if (value.Type == REG_DWORD && value.Data.size() == sizeof(uint32_t)) {
        uint32_t dword;
        memcpy(&dword, value.Data.data(), sizeof dword);
        out = "dword:";
        for (int shift = 28; shift >= 0; shift -= 4) {
            out += HexDigits[(dword >> shift) & 0xF];
        }
        return true;
    }
    if (value.Data.size() > MaxValueBytes) {
        return false; // a load would refuse it
    }
    if (value.Type == REG_BINARY) {
        out = "hex:";
    } else {
        out = "hex(";
        bool leading = true;
        for (int shift = 28; shift >= 0; shift -= 4) {
            const uint32_t digit = (value.Type >> shift) & 0xF;
            if (digit != 0 || !leading || shift == 0) {
                out += HexDigits[digit];
                leading = false;
            }
        }
        out += "):";
    }
    AppendHexBytes(out, value.Data);
    return true;
}

std::wstring FoldPath(std::wstring_view path)
{
    std::wstring folded(path);
    for (wchar_t& c : folded) {
        c = c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c;
    }
    return folded;
}

// Every key with its values; a key without values only when nothing below it
// is written (a load creates the keys above every section). So the store's
// "\Registry" and bare roots never appear.
bool Serialize(const std::vector<RegistryKeyContents>& keys, std::string& text, std::string& error)
{
    std::set<std::wstring> parents;
    for (const RegistryKeyContents& key : keys) {
        const std::wstring folded = FoldPath(key.Path);
        for (size_t end = folded.find(L'\\', 1); end != std::wstring::npos;
             end = folded.find(L'\\', end + 1)) {
            parents.insert(folded.substr(0, end));
        }
    }
    text = std::string(Header) + "\n";
    for (const RegistryKeyContents& key : keys) {
        if (key.Values.empty() && parents.count(FoldPath(key.Path)) != 0) {
            continue;
        }
        std::string section;
        if (!ExportKey(key.Path, section, error)) {
            return false;
        }
        text += "\n[" + section + "]\n";
        for (const RegistryValue& value : key.Values) {
            std::string name, data;
            if (!ExportName(value.Name, name)) {
                error = "a value name under '" + section + "' has a character that cannot be saved";
                return false;
            }
            if (!ExportData(value, data)) {
                error = "value " + name + " under '" + section + "' is too large to save";
                return false;
            }
            text += name + "=" + data + "\n";
        }
    }
    text += "\n";
    return true;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// 1 to 8 hex digits, nothing else.
bool ParseHex32(std::string_view digits, uint32_t& value, std::string& error)
{
    if (digits.empty()) {
        error = "missing hex digits";
        return false;
    }
    if (digits.size() > 8) {
        error = "more than 8 hex digits";
        return false;
    }
    value = 0;
    for (char c : digits) {
        const int digit = HexValue(c);
        if (digit < 0) {
            error = "bad hex digit '" + std::string(1, c) + "'";
            return false;
        }
        value = (value << 4) | uint32_t(digit);
    }
    return true;
}

// "xx,xx,...": two hex digits per byte, possibly none at all.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& data, std::string& error)
{
    data.clear();
    if (text.empty()) {
        return true;
    }
    if (text.back() == '\\') {
        error = "continued lines are not supported";
        return false;
    }
    for (size_t pos = 0;; pos += 3) {
        if (pos + 2 > text.size() || HexValue(text[pos]) < 0 || HexValue(text[pos + 1]) < 0) {
            error = "bad hex byte list";
            return false;
        }
        if (data.size() == MaxValueBytes) {
            error = "value longer than " + std::to_string(MaxValueBytes) + " bytes";
            return false;
        }
        data.push_back(uint8_t(HexValue(text[pos]) << 4 | HexValue(text[pos + 1])));
        if (pos + 2 == text.size()) {
            return true;
        }
        if (text[pos + 2] != ',') {
            error = "bad hex byte list";
            return false;
        }
    }
}

// Parses `"Name"=data` or `@=data` into value.
bool ParseValueLine(std::string_view line, RegistryValue& value, std::string& error)
{
    size_t pos = 0;
    std::string utf8;
    if (line[0] == '@') {
        pos = 1;
    } else {
        for (pos = 1;; ++pos) {
            if (pos >= line.size()) {
                error = "value name has no closing quote";
                return false;
            }
            if (line[pos] == '"') {
                ++pos;
                break;
            }
            if (line[pos] == '\\') {
                if (pos + 1 >= line.size() || (line[pos + 1] != '\\' && line[pos + 1] != '"')) {
                    error = "bad escape in value name";
                    return false;
                }
                ++pos;
            }
            utf8 += line[pos];
        }
        if (utf8.empty()) {
            error = "empty value name (the unnamed value is written @)";
            return false;
        }
    }
    if (!DecodeUtf8(utf8, value.Name)) {
        error = "value name is not valid UTF-8 or has a control character";
        return false;
    }
    if (pos >= line.size() || line[pos] != '=') {
        error = "expected '=' after the value name";
        return false;
    }
    const std::string_view data = line.substr(pos + 1);
    if (data.substr(0, 6) == "dword:") {
        uint32_t dword;
        if (!ParseHex32(data.substr(6), dword, error)) {
            error = "dword: " + error;
            return false;
        }
        value.Type = REG_DWORD;
        value.Data.resize(sizeof dword);
        memcpy(value.Data.data(), &dword, sizeof dword);
        return true;
    }
    if (data.substr(0, 4) == "hex:") {
        value.Type = REG_BINARY;
        return ParseHexBytes(data.substr(4), value.Data, error);
    }
    if (data.substr(0, 4) == "hex(") {
        const size_t close = data.find("):");
        uint32_t type;
        if (close == std::string_view::npos) {
            error = "hex( without closing \"):\"";
            return false;
        }
        if (!ParseHex32(data.substr(4, close - 4), type, error)) {
            error = "hex(type): " + error;
            return false;
        }
        value.Type = type;
        return ParseHexBytes(data.substr(close + 2), value.Data, error);
    }
    if (!data.empty() && data[0] == '"') {
        error = "string values are not supported";
    } else if (data == "-") {
        error = "value deletion is not supported";
    } else {
        error = "unsupported value type";
    }
    return false;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

bool Parse(std::string_view text, std::vector<RegistryKeyContents>& keys, std::string& error)
{
    size_t lineNumber = 0;
    size_t start = 0;
    bool sawHeader = false;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        ++lineNumber;
        const std::string_view raw = text.substr(start, end - start);
        start = end + 1;
        const auto fail = [&](const std::string& what) {
            error = "line " + std::to_string(lineNumber) + ": " + what;
            return false;
        };
        if (raw.size() > MaxLineBytes) {
            return fail("line longer than " + std::to_string(MaxLineBytes) + " bytes");
        }
        if (raw.find('\0') != std::string_view::npos) {
            return fail("NUL byte (only 8-bit REGEDIT4 files are read)");
        }
        const std::string_view line = Trim(raw);
        if (!sawHeader) {
            if (line != Header) {
                return fail("the file does not start with " + std::string(Header));
            }
            sawHeader = true;
            continue;
        }
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3) {
                return fail("key line without closing ']'");
            }
            if (line[1] == '-') {
                return fail("key deletion is not supported");
            }
            std::wstring path;
            std::string why;
            if (!ImportKey(line.substr(1, line.size() - 2), path, why)) {
                return fail(why);
            }
            keys.push_back(RegistryKeyContents{std::move(path), {}});
            continue;
        }
        if (line[0] == '"' || line[0] == '@') {
            if (keys.empty()) {
                return fail("value before the first key");
            }
            RegistryValue value{};
            std::string why;
            if (!ParseValueLine(line, value, why)) {
                return fail(why);
            }
            keys.back().Values.push_back(std::move(value));
            continue;
        }
        return fail("neither a key nor a value");
    }
    if (!sawHeader) {
        error = "empty file";
        return false;
    }
    return true;
}

std::string SystemError(const std::string& what, const std::string& path)
{
    return what + " '" + path + "': " + strerror(errno);
}

bool ReadWholeFile(const std::string& path, std::string& text, std::string& error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = SystemError("cannot open", path);
        return false;
    }
    text.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = SystemError("cannot read", path);
            close(fd);
            return false;
        }
        if (got == 0) {
            break;
        }
        if (text.size() + size_t(got) > MaxFileBytes) {
            error = "'" + path + "' is larger than " + std::to_string(MaxFileBytes) + " bytes";
            close(fd);
            return false;
        }
        text.append(buffer, size_t(got));
    }
    close(fd);
    return true;
}

bool WriteAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t put = write(fd, text.data(), text.size());
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(size_t(put));
    }
    return true;
}

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

RegistryFileStatus RegistryLoadFile(const std::string& path)
{
    std::string text;
    std::string error;
    if (!ReadWholeFile(path, text, error)) {
        return Failure(error);
    }
    std::vector<RegistryKeyContents> keys;
    if (!Parse(text, keys, error)) {
        return Failure("'" + path + "' " + error);
    }
    RegistryStore::Instance().Merge(keys);
    return {};
}

RegistryFileStatus RegistrySaveFile(const std::string& path)
{
    std::string text;
    std::string error;
    if (!Serialize(RegistryStore::Instance().Snapshot(), text, error)) {
        return Failure("cannot save: " + error);
    }
    // A name of our own beside the target, so that the rename stays within
    // one file system and two savers never share a temporary file.
    static std::atomic<unsigned> sequence{0};
    const std::string temporary = path + ".tmp." + std::to_string(getpid()) + "." +
                                  std::to_string(sequence.fetch_add(1));
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return Failure(SystemError("cannot create", temporary));
    }
    if (!WriteAll(fd, text) || fsync(fd) != 0) {
        RegistryFileStatus failed = Failure(SystemError("cannot write", temporary));
        close(fd);
        unlink(temporary.c_str());
        return failed;
    }
    if (close(fd) != 0) {
        RegistryFileStatus failed = Failure(SystemError("cannot write", temporary));
        unlink(temporary.c_str());
        return failed;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        RegistryFileStatus failed = Failure(SystemError("cannot replace", path));
        unlink(temporary.c_str());
        return failed;
    }
    // Make the rename itself durable; the file is in place either way.
    const int directory = open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return {};
}

} // namespace kald::host
