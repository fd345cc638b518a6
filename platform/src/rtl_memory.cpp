#include "kald_host/wdm.h"

// Returns the number of leading bytes that are equal in both blocks.
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    const UCHAR* a = static_cast<const UCHAR*>(Source1);
    const UCHAR* b = static_cast<const UCHAR*>(Source2);
    SIZE_T matching = 0;
    while (matching < Length && a[matching] == b[matching]) {
        ++matching;
    }
    return matching;
}
