// Small kernel32 services: Sleep and GetTickCount on the virtual clock,
// the interlocked operations, MulDiv and the lstr string helpers.
#include <strings.h>

#include <atomic>
#include <cstring>

#include "kald_host/host_kernel.h"
#include "kald_host/windows.h"

namespace {

constexpr uint64_t k100nsPerMs = 10000;

std::atomic_ref<LONG> Atomic(LONG volatile* value)
{
    // The platform's interlocked operations work on plain LONGs.
    return std::atomic_ref<LONG>(*const_cast<LONG*>(value));
}

} // namespace

extern "C" {

VOID WINAPI Sleep(DWORD dwMilliseconds)
{
    kald::host::AdvanceClock(uint64_t(dwMilliseconds) * k100nsPerMs);
}

// Milliseconds of virtual time, wrapping after 49.7 days as on the platform.
DWORD WINAPI GetTickCount(VOID)
{
    return DWORD(kald::host::Now100ns() / k100nsPerMs);
}

LONG WINAPI InterlockedIncrement(LONG volatile* Addend)
{
    return Atomic(Addend).fetch_add(1) + 1;
}

LONG WINAPI InterlockedDecrement(LONG volatile* Addend)
{
    return Atomic(Addend).fetch_sub(1) - 1;
}

LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value)
{
    return Atomic(Target).exchange(Value);
}

int WINAPI MulDiv(int nNumber, int nNumerator, int nDenominator)
{
    if (nDenominator == 0) {
        return -1;
    }
    // Round half away from zero on the magnitudes, then apply the sign.
    const int64_t product = int64_t(nNumber) * nNumerator;
    const uint64_t magnitude = product < 0 ? uint64_t(-product) : uint64_t(product);
    const uint64_t divisor = nDenominator < 0 ? uint64_t(-int64_t(nDenominator)) : uint64_t(nDenominator);
    const int64_t quotient = int64_t((magnitude + divisor / 2) / divisor);
    const int64_t rounded = (product < 0) != (nDenominator < 0) ? -quotient : quotient;
    if (rounded > INT32_MAX || rounded < INT32_MIN) {
        return -1;
    }
    return int(rounded);
}

int WINAPI lstrlenA(LPCSTR lpString)
{
    return lpString != nullptr ? int(strlen(lpString)) : 0;
}

// Copies at most iMaxLength - 1 characters and always terminates.
LPSTR WINAPI lstrcpynA(LPSTR lpString1, LPCSTR lpString2, int iMaxLength)
{
    if (lpString1 == nullptr || iMaxLength <= 0) {
        return lpString1;
    }
    const size_t length = lpString2 != nullptr ? strnlen(lpString2, size_t(iMaxLength) - 1) : 0;
    if (length != 0) {
        memcpy(lpString1, lpString2, length);
    }
    lpString1[length] = '\0';
    return lpString1;
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2)
{
    const int order = strcasecmp(lpString1 != nullptr ? lpString1 : "",
                                 lpString2 != nullptr ? lpString2 : "");
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

} // extern "C"
