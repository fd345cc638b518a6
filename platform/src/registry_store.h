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
    // True when the value was there.
    bool DeleteValue(std::wstring_view key, std::wstring_view name);
    bool KeyExists(std::wstring_view key);
    void Clear();

    // Keys exist without values too: CreateKey makes the key and every key
    // above it and says whether the key itself is new.
    bool CreateKey(std::wstring_view key);
    enum class DeleteResult { Deleted, NotFound, HasSubKeys };
    // Deletes a key that has no sub keys, with its values.
    DeleteResult DeleteKey(std::wstring_view key);
    // Deletes every key below `key` and, unless `keepKey`, the key itself
    // (keeping it clears its values). False when the key does not exist.
    bool DeleteTree(std::wstring_view key, bool keepKey);
    // The last parts of the direct sub keys, as first written, in folded
    // order; none for a key that does not exist.
    std::vector<std::wstring> SubKeyNames(std::wstring_view key);
    // The key's values in folded name order; none when it does not exist.
    std::vector<RegistryValue> Values(std::wstring_view key);

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
    using KeyMap = std::map<std::wstring, Key>;
    // The keys strictly below the folded path, as a range of Keys.
    std::pair<KeyMap::iterator, KeyMap::iterator> BelowLocked(const std::wstring& folded);

    // Folds ASCII upper case and drops trailing separators.
    static std::wstring FoldPath(std::wstring_view path);
    static std::wstring FoldName(std::wstring_view name);

    std::mutex Lock;
    std::map<std::wstring, Key> Keys; // by folded path
    size_t WriteFaultCountdown = 0;
};

} // namespace kald::host
