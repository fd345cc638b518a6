#include "registry_store.h"

namespace kald::host {
namespace {

wchar_t FoldChar(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? wchar_t(c - L'A' + L'a') : c;
}

std::wstring_view TrimSeparators(std::wstring_view path)
{
    while (!path.empty() && path.back() == L'\\') {
        path.remove_suffix(1);
    }
    return path;
}

} // namespace

RegistryStore& RegistryStore::Instance()
{
    // Never destroyed, so that other statics' destructors may still use it.
    static RegistryStore* store = new RegistryStore;
    return *store;
}

std::wstring RegistryStore::FoldName(std::wstring_view name)
{
    std::wstring folded(name);
    for (wchar_t& c : folded) {
        c = FoldChar(c);
    }
    return folded;
}

std::wstring RegistryStore::FoldPath(std::wstring_view path)
{
    return FoldName(TrimSeparators(path));
}

RegistryStore::Key& RegistryStore::CreateKeyLocked(std::wstring_view key)
{
    const std::wstring_view path = TrimSeparators(key);
    // Every prefix that ends before a separator is a parent key.
    for (size_t end = path.find(L'\\', 1); end != std::wstring_view::npos;
         end = path.find(L'\\', end + 1)) {
        const std::wstring_view parent = path.substr(0, end);
        Keys.try_emplace(FoldPath(parent), Key{std::wstring(parent), {}});
    }
    return Keys.try_emplace(FoldPath(path), Key{std::wstring(path), {}}).first->second;
}

void RegistryStore::Write(std::wstring_view key, std::wstring_view name, ULONG type,
                          std::vector<uint8_t> data)
{
    std::lock_guard<std::mutex> guard(Lock);
    Key& target = CreateKeyLocked(key);
    auto [value, inserted] =
        target.Values.try_emplace(FoldName(name), RegistryValue{std::wstring(name), type, {}});
    (void)inserted;
    value->second.Type = type;
    value->second.Data = std::move(data);
}

std::vector<RegistryKeyContents> RegistryStore::Snapshot()
{
    std::lock_guard<std::mutex> guard(Lock);
    std::vector<RegistryKeyContents> keys;
    keys.reserve(Keys.size());
    for (const auto& [folded, key] : Keys) {
        RegistryKeyContents& copy = keys.emplace_back(RegistryKeyContents{key.Path, {}});
        for (const auto& [name, value] : key.Values) {
            copy.Values.push_back(value);
        }
    }
    return keys;
}

void RegistryStore::Merge(const std::vector<RegistryKeyContents>& keys)
{
    std::lock_guard<std::mutex> guard(Lock);
    for (const RegistryKeyContents& contents : keys) {
        Key& target = CreateKeyLocked(contents.Path);
        for (const RegistryValue& value : contents.Values) {
            auto [stored, inserted] = target.Values.try_emplace(FoldName(value.Name), value);
            if (!inserted) {
                stored->second.Type = value.Type;
                stored->second.Data = value.Data;
            }
        }
    }
}

std::optional<RegistryValue> RegistryStore::Read(std::wstring_view key, std::wstring_view name)
{
    std::lock_guard<std::mutex> guard(Lock);
    auto found = Keys.find(FoldPath(key));
    if (found == Keys.end()) {
        return std::nullopt;
    }
    auto value = found->second.Values.find(FoldName(name));
    if (value == found->second.Values.end()) {
        return std::nullopt;
    }
    return value->second;
}

bool RegistryStore::DeleteValue(std::wstring_view key, std::wstring_view name)
{
    std::lock_guard<std::mutex> guard(Lock);
    auto found = Keys.find(FoldPath(key));
    return found != Keys.end() && found->second.Values.erase(FoldName(name)) != 0;
}

bool RegistryStore::CreateKey(std::wstring_view key)
{
    std::lock_guard<std::mutex> guard(Lock);
    const bool existed = Keys.count(FoldPath(key)) != 0;
    CreateKeyLocked(key);
    return !existed;
}

std::pair<RegistryStore::KeyMap::iterator, RegistryStore::KeyMap::iterator>
RegistryStore::BelowLocked(const std::wstring& folded)
{
    // Every path that starts with "folded\" sorts between these two.
    const std::wstring prefix = folded + L'\\';
    const auto first = Keys.lower_bound(prefix);
    auto last = first;
    while (last != Keys.end() && last->first.compare(0, prefix.size(), prefix) == 0) {
        ++last;
    }
    return {first, last};
}

RegistryStore::DeleteResult RegistryStore::DeleteKey(std::wstring_view key)
{
    std::lock_guard<std::mutex> guard(Lock);
    const std::wstring folded = FoldPath(key);
    const auto found = Keys.find(folded);
    if (found == Keys.end()) {
        return DeleteResult::NotFound;
    }
    const auto below = BelowLocked(folded);
    if (below.first != below.second) {
        return DeleteResult::HasSubKeys;
    }
    Keys.erase(found);
    return DeleteResult::Deleted;
}

bool RegistryStore::DeleteTree(std::wstring_view key, bool keepKey)
{
    std::lock_guard<std::mutex> guard(Lock);
    const std::wstring folded = FoldPath(key);
    const auto found = Keys.find(folded);
    if (found == Keys.end()) {
        return false;
    }
    const auto below = BelowLocked(folded);
    Keys.erase(below.first, below.second);
    if (keepKey) {
        found->second.Values.clear();
    } else {
        Keys.erase(found);
    }
    return true;
}

std::vector<std::wstring> RegistryStore::SubKeyNames(std::wstring_view key)
{
    std::lock_guard<std::mutex> guard(Lock);
    const std::wstring folded = FoldPath(key);
    std::vector<std::wstring> names;
    const auto below = BelowLocked(folded);
    for (auto it = below.first; it != below.second; ++it) {
        // Direct sub keys only: no separator after the prefix.
        if (it->first.find(L'\\', folded.size() + 1) == std::wstring::npos) {
            names.push_back(it->second.Path.substr(it->second.Path.rfind(L'\\') + 1));
        }
    }
    return names;
}

std::vector<RegistryValue> RegistryStore::Values(std::wstring_view key)
{
    std::lock_guard<std::mutex> guard(Lock);
    std::vector<RegistryValue> values;
    const auto found = Keys.find(FoldPath(key));
    if (found != Keys.end()) {
        for (const auto& [name, value] : found->second.Values) {
            values.push_back(value);
        }
    }
    return values;
}

bool RegistryStore::KeyExists(std::wstring_view key)
{
    std::lock_guard<std::mutex> guard(Lock);
    return Keys.count(FoldPath(key)) != 0;
}

void RegistryStore::Clear()
{
    std::lock_guard<std::mutex> guard(Lock);
    Keys.clear();
    WriteFaultCountdown = 0;
}

void RegistryStore::ArmWriteFault(size_t n)
{
    std::lock_guard<std::mutex> guard(Lock);
    WriteFaultCountdown = n;
}

bool RegistryStore::ConsumeWriteFault()
{
    std::lock_guard<std::mutex> guard(Lock);
    return WriteFaultCountdown != 0 && --WriteFaultCountdown == 0;
}

} // namespace kald::host
