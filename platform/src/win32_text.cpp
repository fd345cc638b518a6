#include "win32_text.h"

#include "kald_host/host_win32.h"

namespace kald::host::win32 {
namespace {

// Windows-1252 0x80..0x9F; the others are Latin-1. Zero marks the bytes the
// code page leaves unassigned (they map to themselves).
const char16_t High1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,      // 0x88
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178, // 0x98
};

} // namespace

char16_t AnsiToUtf16(unsigned char c)
{
    if (c >= 0x80 && c < 0xA0 && High1252[c - 0x80] != 0) {
        return High1252[c - 0x80];
    }
    return c;
}

char AnsiFromUtf16(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
        return char(c);
    }
    for (unsigned i = 0; i < 32; ++i) {
        if (High1252[i] == 0 ? c == 0x80 + i : c == High1252[i]) {
            return char(0x80 + i);
        }
    }
    return '?';
}

std::u16string Utf16FromAnsi(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) {
        out += AnsiToUtf16(static_cast<unsigned char>(c));
    }
    return out;
}

std::string AnsiFromUtf16(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        // A surrogate pair is one character the code page lacks.
        if (text[i] >= 0xD800 && text[i] < 0xDC00 && i + 1 < text.size() &&
            text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            ++i;
            out += '?';
            continue;
        }
        out += AnsiFromUtf16(text[i]);
    }
    return out;
}

std::wstring WideFromUtf16(std::u16string_view text)
{
    std::wstring out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            out += wchar_t(0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else {
            out += wchar_t(c);
        }
    }
    return out;
}

std::u16string ReadUtf16(const uint8_t* bytes, size_t count)
{
    std::u16string out(count, u'\0');
    for (size_t i = 0; i < count; ++i) {
        out[i] = char16_t(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return out;
}

std::string Utf16Bytes(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (char16_t c : text) {
        out += char(c & 0xFF);
        out += char(c >> 8);
    }
    return out;
}

char16_t FoldUtf16(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? char16_t(c - u'A' + u'a') : c;
}

bool EqualFolded(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldUtf16(a[i]) != FoldUtf16(b[i])) {
            return false;
        }
    }
    return true;
}

} // namespace kald::host::win32

namespace kald::host {

std::wstring WideFromAnsi(std::string_view text)
{
    std::wstring wide;
    wide.reserve(text.size());
    for (unsigned char c : text) {
        wide += static_cast<wchar_t>(win32::AnsiToUtf16(c));
    }
    return wide;
}

} // namespace kald::host
