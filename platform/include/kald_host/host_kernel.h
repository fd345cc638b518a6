// Test and tool controls of the host kernel services: the pool's accounting,
// limit and fault injection, the in-memory registry and the virtual clock.
// Driver code never includes this; it sees only the platform calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wdm.h"

namespace kald::host {

// Non-paged pool.
struct PoolStatistics {
    size_t bytesInUse = 0;       // all tags
    size_t allocationsInUse = 0; // all tags
    size_t allocationCount = 0;  // successful allocations since the last reset
    size_t failedCount = 0;      // refused allocations since the last reset
    // Frees of NULL or of a block the pool does not hold, since the last reset
    // (the platform would stop the system; the host only counts them).
    size_t badFrees = 0;
};
PoolStatistics PoolStats();
size_t PoolBytesInUse(ULONG tag);
size_t PoolAllocationsInUse(ULONG tag);
// Largest number of bytes in use at once (all tags); allocations beyond it fail.
void SetPoolLimit(std::optional<size_t> bytes);
// The n-th allocation from now (1 = the next one) fails; 0 cancels.
void FailPoolAllocation(size_t n);
// Forgets the counters, the limit and any armed fault (live blocks stay live).
void ResetPool();

// Registry: absolute keys such as L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8",
// names compared without regard to case, REG_DWORD values.
void RegistrySetDword(const std::wstring& key, const std::wstring& name, uint32_t value);
// Stores a value of another type (REG_SZ, REG_BINARY) to test type checks.
void RegistrySetRaw(const std::wstring& key, const std::wstring& name, uint32_t type,
                    const std::vector<uint8_t>& data);
std::optional<uint32_t> RegistryGetDword(const std::wstring& key, const std::wstring& name);
void RegistryDeleteValue(const std::wstring& key, const std::wstring& name);
bool RegistryKeyExists(const std::wstring& key);
// Removes every key and cancels an armed write failure.
void RegistryClear();
// The n-th RtlWriteRegistryValue call from now fails with STATUS_UNSUCCESSFUL
// and stores nothing; 0 cancels. The test helpers above are not counted.
void FailRegistryWrite(size_t n);

// The registry kept in a file between runs, in the registry export syntax:
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Vexal\Orvi8\Settings]
//   "Gamma"=dword:00000007
// \Registry\MACHINE and \Registry\USER map to HKEY_LOCAL_MACHINE and
// HKEY_USERS. REG_DWORD values are written as dword:, others as hex: (binary)
// or hex(type): bytes; names escape \ and ". A load also takes ';' comments,
// CRLF line ends and @ for the unnamed value; it refuses strings, deletions
// ([-key], =-) and continued lines.
struct RegistryFileStatus {
    bool ok = true;
    std::string error; // what failed, with the line number for a bad file
    explicit operator bool() const { return ok; }
};
// Reads the whole file and merges it into the registry (keys and names
// matched without regard to case, the file's values replacing). A file that
// cannot be read or does not parse changes nothing and is left as it is.
RegistryFileStatus RegistryLoadFile(const std::string& path);
// Writes every key and value to a new file beside path, flushes it to disk
// and renames it over path, so that path always holds a whole file: the old
// one or the new one. On failure path is untouched and no file is left over.
RegistryFileStatus RegistrySaveFile(const std::string& path);

// Virtual clock in 100-ns units; KeDelayExecutionThread advances it and
// never sleeps.
uint64_t Now100ns();
void AdvanceClock(uint64_t units100ns);
// Back to time 0; the delay log is kept.
void ResetClock();
// Every relative wait made, as its (positive) length in 100-ns units, in
// order; absolute waits and refused waits are not logged. Read it while no
// other thread waits.
const std::vector<int64_t>& DelayLog();
void ClearDelayLog();

// Calling context: code that runs where the platform does not allow waiting
// (the packet callback) holds a NoWaitScope; a blocking call made inside one
// is recorded as a violation (and returns a failure status) instead of
// waiting.
class NoWaitScope {
public:
    NoWaitScope();
    ~NoWaitScope();
    NoWaitScope(const NoWaitScope&) = delete;
    NoWaitScope& operator=(const NoWaitScope&) = delete;
};
bool WaitingAllowed();
size_t WaitViolations();
void ResetWaitViolations();

} // namespace kald::host
