#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "kald_host/host_kernel.h"

namespace {

using namespace kald::host;

const std::wstring DriverKey = L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8";
const std::wstring SettingsKey = DriverKey + L"\\Settings";

constexpr ULONG DirectRequired = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
constexpr ULONG Untouched = 0xDEADBEEF;

// The driver's form of query: one direct, required entry and the terminator.
NTSTATUS QueryDword(const std::wstring& key, const wchar_t* name, ULONG* value)
{
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = DirectRequired;
    table[0].Name = const_cast<PWSTR>(name);
    table[0].EntryContext = value;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, key.c_str(), table, nullptr, nullptr);
}

NTSTATUS WriteDword(const std::wstring& key, const wchar_t* name, ULONG value)
{
    return RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, key.c_str(), name, REG_DWORD, &value,
                                 sizeof value);
}

std::string Narrow(const wchar_t* text)
{
    std::string narrow;
    for (; *text != L'\0'; ++text) {
        narrow += char(*text);
    }
    return narrow;
}

class RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { RegistryClear(); }
    void TearDown() override { RegistryClear(); }
};

TEST_F(RegistryTest, WrittenDwordReadsBack)
{
    EXPECT_EQ(WriteDword(SettingsKey, L"Brightness", 0x8C), STATUS_SUCCESS);
    ULONG value = Untouched;
    EXPECT_EQ(QueryDword(SettingsKey, L"Brightness", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x8Cu);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"Brightness"), 0x8Cu);

    EXPECT_EQ(WriteDword(SettingsKey, L"Brightness", 0xFFFFFFFF), STATUS_SUCCESS); // replaces
    EXPECT_EQ(QueryDword(SettingsKey, L"Brightness", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xFFFFFFFFu);

    RegistrySetDword(DriverKey, L"Safeguard Memory Size", 0x80000);
    EXPECT_EQ(QueryDword(DriverKey, L"Safeguard Memory Size", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0x80000u);
}

TEST_F(RegistryTest, WriteCreatesTheKeyAndItsParents)
{
    EXPECT_FALSE(RegistryKeyExists(DriverKey));
    ASSERT_EQ(WriteDword(SettingsKey, L"Gamma", 3), STATUS_SUCCESS);
    for (const wchar_t* key :
         {L"\\Registry", L"\\Registry\\MACHINE", L"\\Registry\\MACHINE\\SOFTWARE",
          L"\\Registry\\MACHINE\\SOFTWARE\\Vexal", L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8",
          L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Settings"}) {
        EXPECT_TRUE(RegistryKeyExists(key)) << Narrow(key);
    }
    EXPECT_FALSE(RegistryKeyExists(DriverKey + L"\\Defaults"));
    EXPECT_FALSE(RegistryKeyExists(L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi"));
    // A parent key holds no values of its own.
    ULONG value = Untouched;
    EXPECT_EQ(QueryDword(DriverKey, L"Gamma", &value), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, KeysAndNamesIgnoreCase)
{
    struct Case {
        const wchar_t* queryKey;
        const wchar_t* queryName;
    };
    // Written as SettingsKey / "Max Packet Size Allowed".
    const Case cases[] = {
        {L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Settings", L"Max Packet Size Allowed"},
        {L"\\REGISTRY\\MACHINE\\SOFTWARE\\VEXAL\\ORVI8\\SETTINGS", L"MAX PACKET SIZE ALLOWED"},
        {L"\\registry\\machine\\software\\vexal\\orvi8\\settings", L"max packet size allowed"},
        {L"\\Registry\\Machine\\Software\\Vexal\\Orvi8\\Settings\\", L"mAX pACKET sIZE aLLOWED"},
    };
    ASSERT_EQ(WriteDword(SettingsKey, L"Max Packet Size Allowed", 1023), STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.queryKey));
        ULONG value = Untouched;
        EXPECT_EQ(QueryDword(c.queryKey, c.queryName, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, 1023u);
        EXPECT_TRUE(RegistryKeyExists(c.queryKey));
    }
    // Another spelling of the same name replaces the value.
    ASSERT_EQ(WriteDword(L"\\REGISTRY\\MACHINE\\SOFTWARE\\VEXAL\\ORVI8\\SETTINGS",
                         L"MAX PACKET SIZE ALLOWED", 640),
              STATUS_SUCCESS);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"Max Packet Size Allowed"), 640u);
    // Only ASCII letters fold; other characters must match exactly.
    ULONG value = Untouched;
    EXPECT_EQ(QueryDword(SettingsKey, L"Max_Packet_Size_Allowed", &value),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryTest, MissingKeyOrValueIsNotFoundAndLeavesTheTarget)
{
    RegistrySetDword(SettingsKey, L"Hue", 0);
    struct Case {
        std::wstring key;
        const wchar_t* name;
    };
    const Case cases[] = {
        {DriverKey + L"\\Defaults", L"Hue"}, // no such key
        {SettingsKey, L"Saturation"},        // no such value
        {SettingsKey + L"\\Hue", L"Hue"},    // a value is not a key
    };
    for (const Case& c : cases) {
        ULONG value = Untouched;
        EXPECT_EQ(QueryDword(c.key, c.name, &value), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(value, Untouched);
    }
    RegistryDeleteValue(SettingsKey, L"HUE");
    ULONG value = Untouched;
    EXPECT_EQ(QueryDword(SettingsKey, L"Hue", &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"Hue"), std::nullopt);
}

TEST_F(RegistryTest, ValueOfAnotherTypeIsATypeMismatchAndLeavesTheTarget)
{
    struct Case {
        const char* what;
        uint32_t type;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {"string", REG_SZ, {'1', 0, 0, 0}},
        {"binary of four bytes", REG_BINARY, {1, 0, 0, 0}},
        {"none", REG_NONE, {}},
        {"dword of three bytes", REG_DWORD, {1, 2, 3}},
        {"dword of eight bytes", REG_DWORD, {1, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistrySetRaw(SettingsKey, L"Contrast", c.type, c.data);
        ULONG value = Untouched;
        EXPECT_EQ(QueryDword(SettingsKey, L"Contrast", &value), STATUS_OBJECT_TYPE_MISMATCH);
        EXPECT_EQ(value, Untouched);
        EXPECT_EQ(RegistryGetDword(SettingsKey, L"Contrast"), std::nullopt);
    }
}

TEST_F(RegistryTest, TableOfTwoEntriesIsReadInOrderUpToTheFirstFailure)
{
    struct Case {
        const char* what;
        bool haveFirst, haveSecond;
        NTSTATUS status;
        ULONG first, second; // the targets afterwards
    };
    const Case cases[] = {
        {"both present", true, true, STATUS_SUCCESS, 11, 22},
        {"second missing", true, false, STATUS_OBJECT_NAME_NOT_FOUND, 11, Untouched},
        {"first missing", false, true, STATUS_OBJECT_NAME_NOT_FOUND, Untouched, Untouched},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryClear();
        if (c.haveFirst) {
            RegistrySetDword(SettingsKey, L"Gain", 11);
        }
        if (c.haveSecond) {
            RegistrySetDword(SettingsKey, L"Exposure", 22);
        }
        ULONG first = Untouched, second = Untouched;
        RTL_QUERY_REGISTRY_TABLE table[3] = {};
        table[0] = {nullptr, DirectRequired, const_cast<PWSTR>(L"Gain"), &first, 0, nullptr, 0};
        table[1] = {nullptr, DirectRequired, const_cast<PWSTR>(L"Exposure"), &second, 0, nullptr,
                    0};
        EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, SettingsKey.c_str(), table, nullptr,
                                         nullptr),
                  c.status);
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(second, c.second);
    }
}

NTSTATUS AnyRoutine(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID)
{
    return STATUS_SUCCESS;
}

TEST_F(RegistryTest, UnsupportedQueriesAreInvalidAndReadNothing)
{
    RegistrySetDword(SettingsKey, L"Gain", 11);
    RegistrySetDword(SettingsKey, L"Exposure", 22);
    struct Case {
        const char* what;
        ULONG relativeTo;
        bool nullPath, nullTable;
        RTL_QUERY_REGISTRY_TABLE second; // after a valid first entry for "Gain"
    };
    ULONG target = Untouched;
    PWSTR exposure = const_cast<PWSTR>(L"Exposure");
    const RTL_QUERY_REGISTRY_TABLE valid = {nullptr, DirectRequired, exposure, &target,
                                            0,       nullptr,        0};
    const Case cases[] = {
        {"relative to the services key", 1, false, false, valid},
        {"relative to the current user", 4, false, false, valid},
        {"no path", RTL_REGISTRY_ABSOLUTE, true, false, valid},
        {"no table", RTL_REGISTRY_ABSOLUTE, false, true, valid},
        {"required without direct",
         RTL_REGISTRY_ABSOLUTE,
         false,
         false,
         {nullptr, RTL_QUERY_REGISTRY_REQUIRED, exposure, &target, 0, nullptr, 0}},
        {"direct without required",
         RTL_REGISTRY_ABSOLUTE,
         false,
         false,
         {nullptr, RTL_QUERY_REGISTRY_DIRECT, exposure, &target, 0, nullptr, 0}},
        {"an extra flag (subkey)",
         RTL_REGISTRY_ABSOLUTE,
         false,
         false,
         {nullptr, DirectRequired | 0x1, exposure, &target, 0, nullptr, 0}},
        {"a query routine",
         RTL_REGISTRY_ABSOLUTE,
         false,
         false,
         {AnyRoutine, DirectRequired, exposure, &target, 0, nullptr, 0}},
        {"a query routine without a name",
         RTL_REGISTRY_ABSOLUTE,
         false,
         false,
         {AnyRoutine, 0, nullptr, nullptr, 0, nullptr, 0}},
        {"no entry context",
         RTL_REGISTRY_ABSOLUTE,
         false,
         false,
         {nullptr, DirectRequired, exposure, nullptr, 0, nullptr, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ULONG first = Untouched;
        target = Untouched;
        RTL_QUERY_REGISTRY_TABLE table[3] = {};
        table[0] = {nullptr, DirectRequired, const_cast<PWSTR>(L"Gain"), &first, 0, nullptr, 0};
        table[1] = c.second;
        EXPECT_EQ(RtlQueryRegistryValues(c.relativeTo, c.nullPath ? nullptr : SettingsKey.c_str(),
                                         c.nullTable ? nullptr : table, nullptr, nullptr),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(first, Untouched); // the table is checked before anything is read
        EXPECT_EQ(target, Untouched);
    }
}

TEST_F(RegistryTest, InvalidWritesStoreNothing)
{
    ULONG dword = 5;
    uint8_t bytes[8] = {5, 0, 0, 0, 0, 0, 0, 0};
    struct Case {
        const char* what;
        ULONG relativeTo;
        const wchar_t* path;
        const wchar_t* name;
        ULONG type;
        PVOID data;
        ULONG length;
    };
    const Case cases[] = {
        {"dword of two bytes", RTL_REGISTRY_ABSOLUTE, SettingsKey.c_str(), L"Gain", REG_DWORD,
         bytes, 2},
        {"dword of eight bytes", RTL_REGISTRY_ABSOLUTE, SettingsKey.c_str(), L"Gain", REG_DWORD,
         bytes, 8},
        {"dword of no bytes", RTL_REGISTRY_ABSOLUTE, SettingsKey.c_str(), L"Gain", REG_DWORD,
         nullptr, 0},
        {"data without a buffer", RTL_REGISTRY_ABSOLUTE, SettingsKey.c_str(), L"Gain", REG_BINARY,
         nullptr, 4},
        {"relative to the services key", 1, SettingsKey.c_str(), L"Gain", REG_DWORD, &dword, 4},
        {"no path", RTL_REGISTRY_ABSOLUTE, nullptr, L"Gain", REG_DWORD, &dword, 4},
        {"empty path", RTL_REGISTRY_ABSOLUTE, L"", L"Gain", REG_DWORD, &dword, 4},
        {"no name", RTL_REGISTRY_ABSOLUTE, SettingsKey.c_str(), nullptr, REG_DWORD, &dword, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(RtlWriteRegistryValue(c.relativeTo, c.path, c.name, c.type, c.data, c.length),
                  STATUS_INVALID_PARAMETER);
        EXPECT_FALSE(RegistryKeyExists(L"\\Registry"));
    }
}

TEST_F(RegistryTest, OtherTypesAreStoredRaw)
{
    const uint8_t bytes[3] = {0xAA, 0x55, 0x90};
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, SettingsKey.c_str(), L"Blob", REG_BINARY,
                                    const_cast<uint8_t*>(bytes), sizeof bytes),
              STATUS_SUCCESS);
    ULONG value = Untouched;
    EXPECT_EQ(QueryDword(SettingsKey, L"Blob", &value), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"Blob"), std::nullopt);
    // A dword written over it takes its place.
    ASSERT_EQ(WriteDword(SettingsKey, L"blob", 7), STATUS_SUCCESS);
    EXPECT_EQ(QueryDword(SettingsKey, L"Blob", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 7u);
}

TEST_F(RegistryTest, ArmedWriteFailureHitsTheNthWriteOnly)
{
    FailRegistryWrite(2);
    RegistrySetDword(SettingsKey, L"Helper", 1); // helpers are not counted
    EXPECT_EQ(WriteDword(SettingsKey, L"A", 1), STATUS_SUCCESS);
    EXPECT_EQ(WriteDword(SettingsKey, L"B", 2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WriteDword(SettingsKey, L"C", 3), STATUS_SUCCESS);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"A"), 1u);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"B"), std::nullopt);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"C"), 3u);

    // A failed write leaves the old value.
    FailRegistryWrite(1);
    EXPECT_EQ(WriteDword(SettingsKey, L"A", 100), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RegistryGetDword(SettingsKey, L"A"), 1u);
    // An invalid write still counts as a write.
    FailRegistryWrite(2);
    EXPECT_EQ(RtlWriteRegistryValue(2, SettingsKey.c_str(), L"A", REG_DWORD, nullptr, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WriteDword(SettingsKey, L"A", 100), STATUS_UNSUCCESSFUL);

    for (int cancel = 0; cancel < 2; ++cancel) {
        FailRegistryWrite(1);
        if (cancel == 0) {
            FailRegistryWrite(0);
        } else {
            RegistryClear();
        }
        EXPECT_EQ(WriteDword(SettingsKey, L"D", 4), STATUS_SUCCESS) << "cancel " << cancel;
    }
}

TEST_F(RegistryTest, ConcurrentWritesAllLand)
{
    constexpr ULONG PerThread = 300;
    auto writer = [](wchar_t prefix) {
        for (ULONG i = 0; i < PerThread; ++i) {
            const std::wstring name = prefix + std::to_wstring(i);
            WriteDword(SettingsKey, name.c_str(), i);
            ULONG value = Untouched;
            QueryDword(SettingsKey, name.c_str(), &value);
        }
    };
    std::thread first(writer, L'a');
    std::thread second(writer, L'b');
    first.join();
    second.join();
    for (ULONG i = 0; i < PerThread; ++i) {
        EXPECT_EQ(RegistryGetDword(SettingsKey, L"A" + std::to_wstring(i)), i);
        EXPECT_EQ(RegistryGetDword(SettingsKey, L"B" + std::to_wstring(i)), i);
    }
}

} // namespace
