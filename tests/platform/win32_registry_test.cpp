// The Win32 registry API over the host registry: keys with and without
// values, ANSI strings kept as UTF-16, the sizes queries report, sub key
// and value enumeration, deletion of keys and trees, handles of deleted
// keys, the file that keeps empty keys, and the kernel side reading what
// user mode wrote and the other way round.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "kald_host/host_kernel.h"
#include "kald_host/host_win32.h"

using namespace kald::host;

namespace {

const std::wstring kClasses = L"\\Registry\\Machine\\Software\\Classes";

class RegistryApiTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetWin32();
        RegistryClear();
    }
    void TearDown() override
    {
        ResetWin32();
        RegistryClear();
    }

    // Creates `path` under `root` and returns its open key.
    HKEY Create(HKEY root, const char* path, DWORD* disposition = nullptr)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, &key, disposition),
                  ERROR_SUCCESS);
        return key;
    }

    static void SetString(HKEY key, const char* name, const char* text)
    {
        ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                 DWORD(strlen(text) + 1)),
                  ERROR_SUCCESS);
    }

    static std::vector<std::string> SubKeys(HKEY key)
    {
        std::vector<std::string> names;
        char name[64];
        for (DWORD i = 0;; ++i) {
            DWORD length = sizeof name;
            const LONG status =
                RegEnumKeyExA(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (status != ERROR_SUCCESS) {
                EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
                return names;
            }
            EXPECT_EQ(length, strlen(name));
            names.push_back(name);
        }
    }
};

TEST_F(RegistryApiTest, CreatesOpensAndMapsTheRoots)
{
    DWORD disposition = 0;
    HKEY key = Create(HKEY_CLASSES_ROOT, "SourcePage.SourcePage.1\\CLSID", &disposition);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    EXPECT_EQ(OpenWin32Handles().registryKeys, 1u);
    // An empty key exists, and so do the keys above it.
    EXPECT_TRUE(RegistryKeyExists(kClasses + L"\\SourcePage.SourcePage.1\\CLSID"));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);

    key = Create(HKEY_CLASSES_ROOT, "sourcepage.sourcepage.1\\clsid", &disposition);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);

    struct Root {
        HKEY root;
        const wchar_t* absolute;
    };
    const Root roots[] = {
        {HKEY_CLASSES_ROOT, L"\\Registry\\MACHINE\\SOFTWARE\\Classes\\K"},
        {HKEY_LOCAL_MACHINE, L"\\Registry\\Machine\\K"},
        {HKEY_USERS, L"\\Registry\\User\\K"},
        {HKEY_CURRENT_USER, L"\\Registry\\User\\S-1-5-21-1000\\K"},
    };
    for (const Root& r : roots) {
        RegCloseKey(Create(r.root, "K"));
        EXPECT_TRUE(RegistryKeyExists(r.absolute));
    }

    struct Bad {
        const char* what;
        const char* path;
        LONG status;
    };
    const Bad bad[] = {
        {"missing", "NoSuchKey", ERROR_FILE_NOT_FOUND},
        {"leading separator", "\\K", ERROR_BAD_PATHNAME},
        {"empty part", "K\\\\L", ERROR_BAD_PATHNAME},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        key = reinterpret_cast<HKEY>(1);
        EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, b.path, 0, KEY_READ, &key), b.status);
        EXPECT_EQ(key, nullptr);
    }
    EXPECT_EQ(RegOpenKeyExA(reinterpret_cast<HKEY>(0x1234), "K", 0, KEY_READ, &key),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(OpenWin32Handles().Total(), 0u);
}

TEST_F(RegistryApiTest, ValuesReportTheirSizesAndConvertStrings)
{
    HKEY key = Create(HKEY_CURRENT_USER, "Software\\Test");
    SetString(key, nullptr, "Test Class");
    SetString(key, "Title", "Einstellungen f\xFCr \x80"); // Windows-1252
    const DWORD dword = 0x12345678;
    ASSERT_EQ(RegSetValueExA(key, "Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword), 4),
              ERROR_SUCCESS);
    // A string set without its NUL gets one.
    ASSERT_EQ(RegSetValueExA(key, "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "Short", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword), 2),
              ERROR_INVALID_PARAMETER);

    struct Case {
        const char* name;
        DWORD type;
        std::string data; // as the ANSI caller reads it
    };
    const Case cases[] = {
        {"", REG_SZ, std::string("Test Class", 11)},
        {"title", REG_SZ, std::string("Einstellungen f\xFCr \x80", 20)},
        {"Count", REG_DWORD, std::string("\x78\x56\x34\x12", 4)},
        {"Bare", REG_SZ, std::string("abc", 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DWORD type = 0, size = 0;
        ASSERT_EQ(RegQueryValueExA(key, c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(size, c.data.size());
        std::vector<BYTE> buffer(size + 4, 0xEE);
        DWORD small = size - 1;
        EXPECT_EQ(RegQueryValueExA(key, c.name, nullptr, nullptr, buffer.data(), &small),
                  ERROR_MORE_DATA);
        EXPECT_EQ(small, size);
        EXPECT_EQ(buffer[0], 0xEE);
        DWORD room = DWORD(buffer.size());
        EXPECT_EQ(RegQueryValueExA(key, c.name, nullptr, nullptr, buffer.data(), &room),
                  ERROR_SUCCESS);
        EXPECT_EQ(room, size);
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + room), c.data);
    }
    EXPECT_EQ(RegDeleteValueA(key, "Count"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "Count"), ERROR_FILE_NOT_FOUND);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "Count", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryApiTest, EnumeratesAndDeletesKeysAndTrees)
{
    HKEY clsid = Create(HKEY_CLASSES_ROOT, "CLSID");
    RegCloseKey(Create(clsid, "{B}\\InprocServer32"));
    RegCloseKey(Create(clsid, "{A}\\Programmable"));
    HKEY a = Create(clsid, "{a}");
    SetString(a, nullptr, "A Class");
    SetString(a, "ThreadingModel", "Apartment");
    RegCloseKey(Create(clsid, "{C}"));
    EXPECT_EQ(SubKeys(clsid), (std::vector<std::string>{"{A}", "{B}", "{C}"}));

    DWORD subKeys = 0, values = 0, longestName = 0, longestData = 0;
    ASSERT_EQ(RegQueryInfoKeyA(a, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values,
                               &longestName, &longestData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subKeys, 1u);
    EXPECT_EQ(values, 2u);
    EXPECT_EQ(longestName, strlen("ThreadingModel"));
    EXPECT_EQ(longestData, strlen("Apartment") + 1);

    char name[8];
    DWORD length = sizeof name;
    DWORD type = 0;
    EXPECT_EQ(RegEnumValueA(a, 0, name, &length, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "");
    length = sizeof name; // "ThreadingModel" does not fit
    EXPECT_EQ(RegEnumValueA(a, 1, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_EQ(RegEnumValueA(a, 2, name, &length, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);

    // A key with sub keys is not deleted alone.
    EXPECT_EQ(RegDeleteKeyA(clsid, "{A}"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(clsid, "{C}"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(clsid, "{C}"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_CLASSES_ROOT, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteTreeA(clsid, "{A}"), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(clsid), (std::vector<std::string>{"{B}"}));
    // The open handle of a deleted key fails from now on.
    EXPECT_EQ(RegSetValueExA(a, "X", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);

    // Without a sub key, the tree below goes and the key stays.
    SetString(clsid, "Note", "x");
    EXPECT_EQ(RegDeleteTreeA(clsid, nullptr), ERROR_SUCCESS);
    EXPECT_TRUE(SubKeys(clsid).empty());
    EXPECT_TRUE(RegistryKeyExists(kClasses + L"\\CLSID"));
    EXPECT_EQ(RegQueryValueExA(clsid, "Note", nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteTreeA(clsid, "Gone"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(clsid);
    EXPECT_EQ(OpenWin32Handles().Total(), 0u);
}

TEST_F(RegistryApiTest, EmptyKeysSurviveTheRegistryFile)
{
    RegCloseKey(Create(HKEY_CLASSES_ROOT, "CLSID\\{A}\\Programmable"));
    HKEY key = Create(HKEY_CLASSES_ROOT, "CLSID\\{A}\\InprocServer32");
    SetString(key, "ThreadingModel", "Apartment");
    RegCloseKey(key);
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, "SOFTWARE\\Empty"));

    const std::string path =
        ::testing::TempDir() + "win32_registry_" + std::to_string(getpid()) + ".reg";
    ASSERT_TRUE(RegistrySaveFile(path));
    RegistryClear();
    ASSERT_TRUE(RegistryLoadFile(path));
    unlink(path.c_str());

    HKEY a;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{A}", 0, KEY_READ, &a), ERROR_SUCCESS);
    EXPECT_EQ(SubKeys(a), (std::vector<std::string>{"InprocServer32", "Programmable"}));
    RegCloseKey(a);
    EXPECT_TRUE(RegistryKeyExists(L"\\Registry\\Machine\\SOFTWARE\\Empty"));
    char text[16];
    DWORD size = sizeof text;
    EXPECT_EQ(RegQueryValueExA(HKEY_CLASSES_ROOT, "CLSID\\{A}\\InprocServer32", nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_FILE_NOT_FOUND); // a value name, not a path
    ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{A}\\InprocServer32", 0, KEY_READ, &a),
              ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(a, "ThreadingModel", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "Apartment");
    RegCloseKey(a);
}

TEST_F(RegistryApiTest, KernelAndUserSidesReadEachOthersStrings)
{
    const std::wstring driverKey = L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi";
    // The kernel side writes UTF-16LE with the NUL, as on the platform.
    const char16_t kernelText[] = u"ORVI f\u00FCr";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, driverKey.c_str(), L"ORVIDevice", REG_SZ,
                                    const_cast<char16_t*>(kernelText), sizeof kernelText),
              STATUS_SUCCESS);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vexal\\Orvi", 0, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    char text[16];
    DWORD size = sizeof text;
    ASSERT_EQ(RegQueryValueExA(key, "ORVIDevice", nullptr, nullptr, reinterpret_cast<BYTE*>(text),
                               &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, "ORVI f\xFCr");
    EXPECT_EQ(size, 9u);

    SetString(key, "StillEvtSupported", "Ja \xE4");
    RegCloseKey(key);
    // What the kernel side finds: UTF-16LE with its NUL.
    const std::vector<uint8_t> expected = {'J', 0, 'a', 0, ' ', 0, 0xE4, 0, 0, 0};
    RegistrySetRaw(driverKey, L"Reference", REG_SZ, expected);
    std::vector<uint8_t> stored;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vexal\\Orvi", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    for (const char* name : {"StillEvtSupported", "Reference"}) {
        DWORD type = 0;
        size = sizeof text;
        ASSERT_EQ(RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, DWORD(REG_SZ));
        EXPECT_STREQ(text, "Ja \xE4") << name;
    }
    RegCloseKey(key);
}

} // namespace
