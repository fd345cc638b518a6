// The registry-script interpreter against the host registry, seen only
// through the Reg* API: what a class's script creates, what unregistering
// leaves, the key flags, and scripts that must be refused before anything
// is written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kald_host/host_kernel.h"
#include "kald_host/host_win32.h"
#include "registrar.h"

namespace {

using namespace kald::host;
using namespace std::string_view_literals;

// A page class's script as the DLL carries it.
const char kClassScript[] = R"(HKCR
{
    SourcePage.SourcePage.1 = s 'SourcePage Class'
    {
        CLSID = s '{895FE2B2-9FD1-48d1-8667-56F4664359E8}'
    }
    SourcePage.SourcePage = s 'SourcePage Class'
    {
        CLSID = s '{895FE2B2-9FD1-48d1-8667-56F4664359E8}'
        CurVer = s 'SourcePage.SourcePage.1'
    }
    NoRemove CLSID
    {
        ForceRemove {895FE2B2-9FD1-48d1-8667-56F4664359E8} = s 'SourcePage Class'
        {
            ProgID = s 'SourcePage.SourcePage.1'
            VersionIndependentProgID = s 'SourcePage.SourcePage'
            ForceRemove 'Programmable'
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Apartment'
            }
        }
    }
}
)";

const ScriptReplacement kModule[] = {{"MODULE", "/opt/kald/kaldprop.so"}};

// Lines of a dump in the order Dump gives them.
std::vector<std::string> Sorted(std::vector<std::string> Lines)
{
    std::sort(Lines.begin(), Lines.end());
    return Lines;
}

// What the class script registers, as Dump writes it.
const std::vector<std::string> kClassKeys = Sorted({
    "CLSID",
    "CLSID\\{895FE2B2-9FD1-48d1-8667-56F4664359E8}",
    "CLSID\\{895FE2B2-9FD1-48d1-8667-56F4664359E8}\\@=SourcePage Class",
    "CLSID\\{895FE2B2-9FD1-48d1-8667-56F4664359E8}\\InprocServer32",
    "CLSID\\{895FE2B2-9FD1-48d1-8667-56F4664359E8}\\InprocServer32\\@=/opt/kald/kaldprop.so",
    "CLSID\\{895FE2B2-9FD1-48d1-8667-56F4664359E8}\\InprocServer32\\ThreadingModel=Apartment",
    "CLSID\\{895FE2B2-9FD1-48d1-8667-56F4664359E8}\\Programmable",
    "CLSID\\{895FE2B2-9FD1-48d1-8667-56F4664359E8}\\ProgID",
    "CLSID\\{895FE2B2-9FD1-48d1-8667-56F4664359E8}\\ProgID\\@=SourcePage.SourcePage.1",
    "CLSID\\{895FE2B2-9FD1-48d1-8667-56F4664359E8}\\VersionIndependentProgID",
    "CLSID\\{895FE2B2-9FD1-48d1-8667-56F4664359E8}\\VersionIndependentProgID\\@=SourcePage.SourcePage",
    "SourcePage.SourcePage",
    "SourcePage.SourcePage\\@=SourcePage Class",
    "SourcePage.SourcePage\\CLSID",
    "SourcePage.SourcePage\\CLSID\\@={895FE2B2-9FD1-48d1-8667-56F4664359E8}",
    "SourcePage.SourcePage\\CurVer",
    "SourcePage.SourcePage\\CurVer\\@=SourcePage.SourcePage.1",
    "SourcePage.SourcePage.1",
    "SourcePage.SourcePage.1\\@=SourcePage Class",
    "SourcePage.SourcePage.1\\CLSID",
    "SourcePage.SourcePage.1\\CLSID\\@={895FE2B2-9FD1-48d1-8667-56F4664359E8}",
});

// Every key under `Key` as a line "path", and every value as a line
// "path\name=data" ("@" for the default value, "dword:n" for numbers), in
// the registry's enumeration order.
void DumpInto(HKEY Key, const std::string& Path, std::vector<std::string>& Out)
{
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof(name);
        BYTE data[1024];
        DWORD dataLength = sizeof(data);
        DWORD type = 0;
        LONG error = RegEnumValueA(Key, i, name, &nameLength, nullptr, &type, data, &dataLength);
        if (error == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ASSERT_EQ(error, ERROR_SUCCESS);
        std::string line = Path + "\\" + (nameLength == 0 ? std::string("@") : std::string(name)) + "=";
        if (type == REG_SZ) {
            line += reinterpret_cast<const char*>(data);
        } else if (type == REG_DWORD) {
            DWORD number = 0;
            std::memcpy(&number, data, sizeof(number));
            line += "dword:" + std::to_string(number);
        } else {
            line += "type:" + std::to_string(type);
        }
        Out.push_back(line);
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof(name);
        LONG error = RegEnumKeyExA(Key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ASSERT_EQ(error, ERROR_SUCCESS);
        const std::string path = Path.empty() ? std::string(name) : Path + "\\" + name;
        Out.push_back(path);
        HKEY child = nullptr;
        ASSERT_EQ(RegOpenKeyExA(Key, name, 0, KEY_READ, &child), ERROR_SUCCESS);
        DumpInto(child, path, Out);
        RegCloseKey(child);
    }
}

std::vector<std::string> Dump(HKEY Root)
{
    std::vector<std::string> out;
    DumpInto(Root, "", out);
    std::sort(out.begin(), out.end());
    return out;
}

void CreateKey(HKEY Root, const char* Path)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(Root, Path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
}

void SetString(HKEY Root, const char* Path, const char* Name, const char* Text)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(Root, Path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, Name, 0, REG_SZ, reinterpret_cast<const BYTE*>(Text),
                             static_cast<DWORD>(std::strlen(Text) + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

HRESULT RunScript(const char* Script, BOOL Register, const ScriptReplacement* Replacements = kModule,
            size_t Count = 1)
{
    return RunRegistryScript(Script, std::strlen(Script), Register, Replacements, Count);
}

class RegistrarTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetWin32();
        RegistryClear();
    }
    void TearDown() override
    {
        EXPECT_EQ(OpenWin32Handles().registryKeys, 0u) << "a registry key left open";
        ResetWin32();
        RegistryClear();
    }
};

TEST_F(RegistrarTest, ClassScriptRegistersEveryKeyAndValueOnceEvenWhenRunTwice)
{
    ASSERT_EQ(RunScript(kClassScript, TRUE), S_OK);
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), kClassKeys);
    ASSERT_EQ(RunScript(kClassScript, TRUE), S_OK);
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), kClassKeys);
}

TEST_F(RegistrarTest, UnregisterRemovesTheClassButKeepsNoRemoveKeysAndForeignClasses)
{
    SetString(HKEY_CLASSES_ROOT, "CLSID\\{00000000-0000-0000-0000-000000000001}", nullptr, "Other Class");
    ASSERT_EQ(RunScript(kClassScript, TRUE), S_OK);
    ASSERT_EQ(RunScript(kClassScript, FALSE), S_OK);
    const std::vector<std::string> left = {
        "CLSID",
        "CLSID\\{00000000-0000-0000-0000-000000000001}",
        "CLSID\\{00000000-0000-0000-0000-000000000001}\\@=Other Class",
    };
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), left);
    // A second unregistration finds nothing to do and is no error.
    ASSERT_EQ(RunScript(kClassScript, FALSE), S_OK);
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), left);
}

TEST_F(RegistrarTest, ForceRemoveReplacesTheWholeSubtreeWhilePlainKeysKeepForeignContent)
{
    const char* classKey = "CLSID\\{895FE2B2-9FD1-48d1-8667-56F4664359E8}";
    SetString(HKEY_CLASSES_ROOT, (std::string(classKey) + "\\Stale").c_str(), "Old", "1");
    SetString(HKEY_CLASSES_ROOT, classKey, "Leftover", "x");
    SetString(HKEY_CLASSES_ROOT, "SourcePage.SourcePage\\Foreign", nullptr, "kept");
    SetString(HKEY_CLASSES_ROOT, "SourcePage.SourcePage", "Extra", "kept too");
    ASSERT_EQ(RunScript(kClassScript, TRUE), S_OK);

    std::vector<std::string> expected = kClassKeys;
    expected.push_back("SourcePage.SourcePage\\Extra=kept too");
    expected.push_back("SourcePage.SourcePage\\Foreign");
    expected.push_back("SourcePage.SourcePage\\Foreign\\@=kept");
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), Sorted(expected));

    // Unregistering: the ProgID key that holds a foreign subkey stays, with
    // its values but without the script's subkeys; the rest goes.
    ASSERT_EQ(RunScript(kClassScript, FALSE), S_OK);
    const std::vector<std::string> left = {
        "CLSID",
        "SourcePage.SourcePage",
        "SourcePage.SourcePage\\@=SourcePage Class",
        "SourcePage.SourcePage\\Extra=kept too",
        "SourcePage.SourcePage\\Foreign",
        "SourcePage.SourcePage\\Foreign\\@=kept",
    };
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), left);
}

TEST_F(RegistrarTest, UnregisterOfAForceRemoveKeyTakesForeignSubkeysAlong)
{
    ASSERT_EQ(RunScript(kClassScript, TRUE), S_OK);
    CreateKey(HKEY_CLASSES_ROOT, "CLSID\\{895FE2B2-9FD1-48d1-8667-56F4664359E8}\\Added\\Deeper");
    ASSERT_EQ(RunScript(kClassScript, FALSE), S_OK);
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), std::vector<std::string>{"CLSID"});
}

TEST_F(RegistrarTest, ValuesNamesFlagsAndRootsOfTheLanguage)
{
    CreateKey(HKEY_LOCAL_MACHINE, "Software\\Old\\Tree");
    CreateKey(HKEY_CURRENT_USER, "Gone");
    const char script[] = R"(HKEY_LOCAL_MACHINE
{
    NoRemove Software
    {
        'It''s here' = d '0x1F'
        {
            val Count = d '42'
            val 'Path' = s '%MODULE%;%%;%Module%'
            val Quote = s 'a''b'
        }
        Delete Old
    }
}
hkcu {
    delete Gone
    Empty {}
}
)";
    ASSERT_EQ(RunScript(script, TRUE), S_OK);
    const std::vector<std::string> machine = {
        "Software",
        "Software\\It's here",
        "Software\\It's here\\@=dword:31",
        "Software\\It's here\\Count=dword:42",
        "Software\\It's here\\Path=/opt/kald/kaldprop.so;%;/opt/kald/kaldprop.so",
        "Software\\It's here\\Quote=a'b",
    };
    EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), machine);
    EXPECT_EQ(Dump(HKEY_CURRENT_USER), std::vector<std::string>{"Empty"});

    ASSERT_EQ(RunScript(script, FALSE), S_OK);
    EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), std::vector<std::string>{"Software"});
    EXPECT_EQ(Dump(HKEY_CURRENT_USER), std::vector<std::string>{});
}

TEST_F(RegistrarTest, NamedValuesOnAKeptKeyGoOnUnregister)
{
    SetString(HKEY_LOCAL_MACHINE, "Software\\Vendor", "Foreign", "stays");
    const char script[] = "HKLM { NoRemove Software { NoRemove Vendor { val Mine = s 'x' } } }";
    ASSERT_EQ(RunScript(script, TRUE), S_OK);
    ASSERT_EQ(RunScript(script, FALSE), S_OK);
    const std::vector<std::string> left = {"Software", "Software\\Vendor", "Software\\Vendor\\Foreign=stays"};
    EXPECT_EQ(Dump(HKEY_LOCAL_MACHINE), left);
}

TEST_F(RegistrarTest, MalformedScriptsAreRefusedBeforeAnythingIsWritten)
{
    // Each script starts with valid statements that would write and delete
    // something, so a refusal that comes after applying would show.
    const std::string valid = "HKCR { Written = s 'x' Delete Existing }\n";
    const struct {
        const char* what;
        std::string_view tail;
    } cases[] = {
        {"missing closing brace", "HKCR { A { B }"sv},
        {"extra closing brace", "HKCR { A } }"sv},
        {"unterminated string", "HKCR { A = s 'open }"sv},
        {"unknown root", "HKEY_NOWHERE { A }"sv},
        {"root without body", "HKCR"sv},
        {"unknown flag", "HKCR { NoRemoval A }"sv},
        {"flag without key", "HKCR { ForceRemove }"sv},
        {"unknown value type", "HKCR { A = b '00' }"sv},
        {"string value unquoted", "HKCR { A = s text }"sv},
        {"dword not a number", "HKCR { val X = d 'twelve' }"sv},
        {"dword too large", "HKCR { A { val X = d '4294967296' } }"sv},
        {"val without value", "HKCR { A { val X } }"sv},
        {"val on a root", "HKCR { val X = s 'y' }"sv},
        {"empty key name", "HKCR { '' = s 'y' }"sv},
        {"unknown replacement", "HKCR { A = s '%NOPE%' }"sv},
        {"unterminated replacement", "HKCR { A = s '%MODULE' }"sv},
        {"stray equals", "HKCR { = s 'y' }"sv},
        {"zero byte", "HKCR { A\0 }"sv},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryClear();
        CreateKey(HKEY_CLASSES_ROOT, "Existing");
        const std::vector<std::string> before = Dump(HKEY_CLASSES_ROOT);
        const std::string script = valid + std::string(c.tail);
        for (BOOL mode : {TRUE, FALSE}) {
            EXPECT_EQ(RunRegistryScript(script.data(), script.size(), mode, kModule, 1), DISP_E_EXCEPTION);
            EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), before);
        }
    }
}

TEST_F(RegistrarTest, DeeplyNestedScriptIsRefusedWithoutExhaustingTheStack)
{
    std::string script = "HKCR {";
    for (int i = 0; i < 100000; ++i) {
        script += " K {";
    }
    EXPECT_EQ(RunRegistryScript(script.data(), script.size(), TRUE, nullptr, 0), DISP_E_EXCEPTION);
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), std::vector<std::string>{});
}

TEST_F(RegistrarTest, RegistryFailureIsReportedAndStopsRegistration)
{
    // The registry refuses a key name that starts with a backslash.
    const char script[] = "HKCR { First = s '1' '\\Bad' Third = s '3' }";
    const HRESULT result = RunScript(script, TRUE);
    EXPECT_TRUE(FAILED(result));
    EXPECT_EQ(HRESULT_FACILITY(result), FACILITY_WIN32) << std::hex << result;
    const std::vector<std::string> written = {"First", "First\\@=1"};
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), written);
}

TEST_F(RegistrarTest, EmptyScriptDoesNothing)
{
    EXPECT_EQ(RunRegistryScript("", 0, TRUE, nullptr, 0), S_OK);
    EXPECT_EQ(RunRegistryScript(nullptr, 0, FALSE, nullptr, 0), S_OK);
    EXPECT_EQ(RunRegistryScript(" \r\n\t", 4, TRUE, nullptr, 0), S_OK);
    EXPECT_EQ(Dump(HKEY_CLASSES_ROOT), std::vector<std::string>{});
}

} // namespace
