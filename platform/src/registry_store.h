// The host registry: keys by absolute path, each with typed values. Key
// paths and value names compare without regard to ASCII case and keep the
// spelling of their first writer. One lock guards the whole store.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kald_host/wdm.h"

namespace kald::host {

struct RegistryValue {
    std::wstring Name; // as first written
    ULONG Type;        // REG_DWORD, REG_SZ, ...
    std::vector<uint8_t> Data;
};

// One key with all its values, as a whole-store copy or merge carries it.
struct RegistryKeyContents {
    std::wstring Path; // as first written
    std::vector<RegistryValue> Values;
};

class RegistryStore {
  public:
    static RegistryStore& Instance();

    // Creates the key and every key above it, then stores the value,
    // replacing one of the same name.
    void Write(std::wstring_view key, std::wstring_view name, ULONG type,
               std::vector<uint8_t> data);
    std::optional<RegistryValue> Read(std::wstring_view key, std::wstring_view name);
    void DeleteValue(std::wstring_view key, std::wstring_view name);
    bool KeyExists(std::wstring_view key);
    void Clear();

    // Every key with its values, in folded path order, taken under the lock.
    std::vector<RegistryKeyContents> Snapshot();
    // Creates every key (and the keys above it) and writes every value, in
    // order, under one hold of the lock: no reader sees half a merge.
    void Merge(const std::vector<RegistryKeyContents>& keys);

    // The armed write failure: Arm(n) makes the n-th ConsumeWriteFault()
    // from now return true (0 disarms).
    void ArmWriteFault(size_t n);
    bool ConsumeWriteFault();

  private:
    struct Key;
    Key& CreateKeyLocked(std::wstring_view path);
    struct Key {
        std::wstring Path;                            // as first written
        std::map<std::wstring, RegistryValue> Values; // by folded name
    };

    // Folds ASCII upper case and drops trailing separators.
    static std::wstring FoldPath(std::wstring_view path);
    static std::wstring FoldName(std::wstring_view name);

    std::mutex Lock;
    std::map<std::wstring, Key> Keys; // by folded path
    size_t WriteFaultCountdown = 0;
};

} // namespace kald::host
