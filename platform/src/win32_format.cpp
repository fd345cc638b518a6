// wsprintfA: the platform's small printf. It knows %s %c %d %i %u %x %X and
// %%, the flags - 0 #, a width, a precision and the size prefixes l and h
// (no '*' widths, no floating point); any other conversion letter is copied
// as it is. l means 32 bits, as on the platform; %S, %ls, %C and %lc take
// wide characters, which are narrowed ('?' for what ASCII lacks). The output
// stops at 1023 characters and a NUL.
#include <cstdarg>
#include <cstring>

#include "kald_host/windows.h"

namespace {

constexpr size_t kMaxOutput = 1024; // bytes with the terminating NUL

class Output {
  public:
    explicit Output(char* buffer) : Buffer(buffer) {}
    void Put(char c)
    {
        if (Length + 1 < kMaxOutput) {
            Buffer[Length++] = c;
        }
    }
    void Repeat(char c, size_t count)
    {
        for (size_t i = 0; i < count; ++i) {
            Put(c);
        }
    }
    int Finish()
    {
        Buffer[Length] = '\0';
        return int(Length);
    }

  private:
    char* Buffer;
    size_t Length = 0;
};

char Narrow(wchar_t c)
{
    return c >= 0 && c < 0x80 ? char(c) : '?';
}

struct Conversion {
    bool left = false;
    bool zero = false;
    bool alternate = false;
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
};

// Pads `body` (with `prefix` before it: a sign or 0x) to the width.
void PutField(Output& out, const Conversion& conv, const char* prefix, const char* body,
              size_t bodyLength)
{
    const size_t prefixLength = strlen(prefix);
    const size_t used = prefixLength + bodyLength;
    const size_t pad = conv.width > used ? conv.width - used : 0;
    if (!conv.left && !conv.zero) {
        out.Repeat(' ', pad);
    }
    for (size_t i = 0; i < prefixLength; ++i) {
        out.Put(prefix[i]);
    }
    if (!conv.left && conv.zero) {
        out.Repeat('0', pad);
    }
    for (size_t i = 0; i < bodyLength; ++i) {
        out.Put(body[i]);
    }
    if (conv.left) {
        out.Repeat(' ', pad);
    }
}

void PutNumber(Output& out, Conversion conv, uint32_t magnitude, bool negative, unsigned base, bool upper)
{
    char digits[48];
    size_t count = 0;
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (uint32_t v = magnitude; v != 0; v /= base) {
        digits[count++] = alphabet[v % base];
    }
    // The precision is the least number of digits; without one, zero is "0".
    const size_t least = conv.hasPrecision ? (conv.precision < 32 ? conv.precision : 32) : 1;
    while (count < least) {
        digits[count++] = '0';
    }
    char body[48];
    for (size_t i = 0; i < count; ++i) {
        body[i] = digits[count - 1 - i];
    }
    if (conv.hasPrecision) {
        conv.zero = false;
    }
    const char* prefix = negative ? "-" : "";
    if (base == 16 && conv.alternate && magnitude != 0) {
        prefix = upper ? "0X" : "0x";
    }
    PutField(out, conv, prefix, body, count);
}

} // namespace

extern "C" int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...)
{
    if (lpOut == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Output out(lpOut);
    if (lpFmt == nullptr) {
        return out.Finish();
    }
    va_list args;
    va_start(args, lpFmt);
    for (const char* p = lpFmt; *p != '\0'; ++p) {
        if (*p != '%') {
            out.Put(*p);
            continue;
        }
        ++p;
        Conversion conv;
        for (;; ++p) {
            if (*p == '-') {
                conv.left = true;
            } else if (*p == '0') {
                conv.zero = true;
            } else if (*p == '#') {
                conv.alternate = true;
            } else {
                break;
            }
        }
        for (; *p >= '0' && *p <= '9'; ++p) {
            conv.width = conv.width < 100000 ? conv.width * 10 + size_t(*p - '0') : conv.width;
        }
        if (*p == '.') {
            conv.hasPrecision = true;
            for (++p; *p >= '0' && *p <= '9'; ++p) {
                conv.precision = conv.precision < 100000 ? conv.precision * 10 + size_t(*p - '0')
                                                         : conv.precision;
            }
        }
        bool shortSize = false;
        bool longSize = false;
        if (*p == 'l' || *p == 'w') {
            longSize = true;
            ++p;
        } else if (*p == 'h') {
            shortSize = true;
            ++p;
        }
        switch (*p) {
        case '\0':
            --p; // a lone '%' at the end prints nothing
            break;
        case 'd':
        case 'i': {
            int32_t value = va_arg(args, int32_t);
            if (shortSize) {
                value = int16_t(value);
            }
            const uint32_t magnitude = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
            PutNumber(out, conv, magnitude, value < 0, 10, false);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            uint32_t value = va_arg(args, uint32_t);
            if (shortSize) {
                value = uint16_t(value);
            }
            PutNumber(out, conv, value, false, *p == 'u' ? 10 : 16, *p == 'X');
            break;
        }
        case 'c':
        case 'C': {
            const int value = va_arg(args, int);
            const char c =
                (*p == 'C' || longSize) && !shortSize ? Narrow(wchar_t(value)) : char(value);
            PutField(out, conv, "", &c, 1);
            break;
        }
        case 's':
        case 'S': {
            if ((*p == 'S' || longSize) && !shortSize) {
                const wchar_t* wide = va_arg(args, const wchar_t*);
                if (wide == nullptr) {
                    wide = L"(null)";
                }
                char narrow[kMaxOutput];
                size_t length = 0;
                while (wide[length] != L'\0' && length < kMaxOutput &&
                       (!conv.hasPrecision || length < conv.precision)) {
                    narrow[length] = Narrow(wide[length]);
                    ++length;
                }
                conv.zero = false;
                PutField(out, conv, "", narrow, length);
                break;
            }
            const char* text = va_arg(args, const char*);
            if (text == nullptr) {
                text = "(null)";
            }
            size_t length = 0;
            while (text[length] != '\0' && (!conv.hasPrecision || length < conv.precision)) {
                ++length;
            }
            conv.zero = false;
            PutField(out, conv, "", text, length);
            break;
        }
        default:
            out.Put(*p);
            break;
        }
    }
    va_end(args);
    return out.Finish();
}
