// RtlQueryRegistryValues and RtlWriteRegistryValue over the host registry,
// for absolute keys and the direct query form that the driver uses.
#include <cstring>

#include "kald_host/host_kernel.h"
#include "registry_store.h"

namespace kald::host {
namespace {

constexpr ULONG DirectRequired = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;

bool IsDword(const RegistryValue& value)
{
    return value.Type == REG_DWORD && value.Data.size() == sizeof(ULONG);
}

bool IsTerminator(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    return entry.QueryRoutine == nullptr && entry.Name == nullptr;
}

// The one entry form the host supports: a named value read directly into
// EntryContext, required to exist, no routine.
bool IsSupportedEntry(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    return entry.QueryRoutine == nullptr && entry.Flags == DirectRequired &&
           entry.Name != nullptr && entry.EntryContext != nullptr;
}

} // namespace

void RegistrySetDword(const std::wstring& key, const std::wstring& name, uint32_t value)
{
    std::vector<uint8_t> data(sizeof value);
    memcpy(data.data(), &value, sizeof value);
    RegistryStore::Instance().Write(key, name, REG_DWORD, std::move(data));
}

void RegistrySetRaw(const std::wstring& key, const std::wstring& name, uint32_t type,
                    const std::vector<uint8_t>& data)
{
    RegistryStore::Instance().Write(key, name, type, data);
}

std::optional<uint32_t> RegistryGetDword(const std::wstring& key, const std::wstring& name)
{
    const std::optional<RegistryValue> value = RegistryStore::Instance().Read(key, name);
    if (!value || !IsDword(*value)) {
        return std::nullopt;
    }
    uint32_t dword;
    memcpy(&dword, value->Data.data(), sizeof dword);
    return dword;
}

void RegistryDeleteValue(const std::wstring& key, const std::wstring& name)
{
    RegistryStore::Instance().DeleteValue(key, name);
}

bool RegistryKeyExists(const std::wstring& key)
{
    return RegistryStore::Instance().KeyExists(key);
}

void RegistryClear()
{
    RegistryStore::Instance().Clear();
}

void FailRegistryWrite(size_t n)
{
    RegistryStore::Instance().ArmWriteFault(n);
}

} // namespace kald::host

// Reads the values named in QueryTable from the absolute key Path. Each entry
// up to the terminator (no routine, no name) must have the flags DIRECT and
// REQUIRED and a non-null EntryContext; a REG_DWORD value is copied into the
// ULONG it points to. Entries are read in order and the first failure ends
// the call, leaving the earlier entries' results in place.
// Returns STATUS_SUCCESS; STATUS_OBJECT_NAME_NOT_FOUND when the key or a
// value is missing; STATUS_OBJECT_TYPE_MISMATCH, with that entry's
// EntryContext untouched, when a value is not a 4-byte REG_DWORD (the host
// supports no other direct type); STATUS_INVALID_PARAMETER, before anything
// is read, for any other RelativeTo, a missing path or table, or an entry of
// another form (query routines, other flags).
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment)
{
    (void)Context;
    (void)Environment;
    if (RelativeTo != RTL_REGISTRY_ABSOLUTE || Path == nullptr || QueryTable == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; !kald::host::IsTerminator(*entry); ++entry) {
        if (!kald::host::IsSupportedEntry(*entry)) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    kald::host::RegistryStore& store = kald::host::RegistryStore::Instance();
    for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable; !kald::host::IsTerminator(*entry); ++entry) {
        const std::optional<kald::host::RegistryValue> value = store.Read(Path, entry->Name);
        if (!value) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (!kald::host::IsDword(*value)) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        memcpy(entry->EntryContext, value->Data.data(), sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

// Creates the absolute key Path (with the keys above it) as needed and
// stores the value. A REG_DWORD must be ValueLength 4; other types are kept
// as the raw bytes.
// Returns STATUS_SUCCESS; STATUS_INVALID_PARAMETER for any other RelativeTo,
// a missing path or name, a missing buffer or a REG_DWORD of another length;
// STATUS_UNSUCCESSFUL, storing nothing, when the armed write failure
// (FailRegistryWrite) falls on this call. Every call counts towards it.
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength)
{
    kald::host::RegistryStore& store = kald::host::RegistryStore::Instance();
    if (store.ConsumeWriteFault()) {
        return STATUS_UNSUCCESSFUL;
    }
    if (RelativeTo != RTL_REGISTRY_ABSOLUTE || Path == nullptr || *Path == L'\0' ||
        ValueName == nullptr || (ValueData == nullptr && ValueLength != 0) ||
        (ValueType == REG_DWORD && ValueLength != sizeof(ULONG))) {
        return STATUS_INVALID_PARAMETER;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(ValueData);
    store.Write(Path, ValueName, ValueType, std::vector<uint8_t>(bytes, bytes + ValueLength));
    return STATUS_SUCCESS;
}
