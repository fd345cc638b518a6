// Text conversions of the host Win32 layer: the ANSI code page
// (Windows-1252) to and from the UTF-16 that resources and the registry
// hold, and UTF-16 to the host's wchar_t.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kald::host::win32 {

// One ANSI byte as UTF-16; the code page's five unassigned bytes map to the
// same code point, as the platform does.
char16_t AnsiToUtf16(unsigned char c);
// One UTF-16 unit in the ANSI code page, '?' for what it cannot hold.
char AnsiFromUtf16(char16_t c);

std::u16string Utf16FromAnsi(std::string_view text);
std::string AnsiFromUtf16(std::u16string_view text);
// Surrogate pairs become one wchar_t; a lone surrogate stays as it is.
std::wstring WideFromUtf16(std::u16string_view text);

// `count` little-endian UTF-16 units from possibly unaligned bytes.
std::u16string ReadUtf16(const uint8_t* bytes, size_t count);
// Little-endian bytes of the units, without adding a NUL.
std::string Utf16Bytes(std::u16string_view text);

// ASCII case folding for names compared without regard to case.
char16_t FoldUtf16(char16_t c);
bool EqualFolded(std::u16string_view a, std::u16string_view b);

} // namespace kald::host::win32
