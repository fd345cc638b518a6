#include <gtest/gtest.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kald_host/host_kernel.h"

namespace {

using namespace kald::host;

const std::wstring Orvi8 = L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi8";
const std::wstring Settings = Orvi8 + L"\\Settings";
const std::wstring Defaults = Orvi8 + L"\\Defaults";

class RegistryFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        RegistryClear();
        std::string pattern = ::testing::TempDir() + "registry_file_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory = pattern;
        file = directory + "/registry.reg";
    }
    void TearDown() override
    {
        RegistryClear();
        for (const std::string& name : Entries()) {
            unlink((directory + "/" + name).c_str());
        }
        rmdir(directory.c_str());
    }

    std::set<std::string> Entries() const
    {
        std::set<std::string> names;
        if (DIR* dir = opendir(directory.c_str())) {
            while (dirent* entry = readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    names.insert(name);
                }
            }
            closedir(dir);
        }
        return names;
    }
    std::string Contents() const
    {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void WriteFile(const std::string& text) const
    {
        std::ofstream(file, std::ios::binary) << text;
    }

    std::string directory;
    std::string file;
};

// What the store holds after SetUpSample, as the file must show it.
const char SampleFile[] = "REGEDIT4\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexal\\Orvi]\n"
                          "\"ORVIDevice\"=dword:00000001\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexal\\Orvi8]\n"
                          "\"Current MS clock\"=dword:ffffffff\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Defaults]\n"
                          "\"Gamma\"=dword:00000000\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Settings]\n"
                          "@=dword:00000005\n"
                          "\"A \\\"quoted\\\" \\\\ name\"=dword:0000007b\n"
                          "\"Blob\"=hex:00,ff,10\n"
                          "\"Text\"=hex(1):41,00,00,00\n"
                          "\n"
                          "[HKEY_USERS\\Empty]\n"
                          "\n";

void SetUpSample()
{
    RegistrySetDword(Settings, L"A \"quoted\" \\ name", 123);
    RegistrySetDword(Settings, L"", 5);
    RegistrySetRaw(Settings, L"Blob", REG_BINARY, {0x00, 0xFF, 0x10});
    RegistrySetRaw(Settings, L"Text", REG_SZ, {'A', 0, 0, 0});
    RegistrySetDword(Defaults, L"Gamma", 0);
    RegistrySetDword(Orvi8, L"Current MS clock", 0xFFFFFFFF);
    RegistrySetDword(L"\\Registry\\MACHINE\\SOFTWARE\\Vexal\\Orvi", L"ORVIDevice", 1);
    // A key with a value, then without: it must survive as an empty key.
    RegistrySetDword(L"\\Registry\\USER\\Empty", L"Gone", 1);
    RegistryDeleteValue(L"\\Registry\\USER\\Empty", L"Gone");
}

NTSTATUS QueryDword(const std::wstring& key, const wchar_t* name, ULONG* value)
{
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = const_cast<PWSTR>(name);
    table[0].EntryContext = value;
    return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, key.c_str(), table, nullptr, nullptr);
}

TEST_F(RegistryFileTest, RoundTrip)
{
    SetUpSample();
    const RegistryFileStatus saved = RegistrySaveFile(file);
    ASSERT_TRUE(saved) << saved.error;
    EXPECT_EQ(Contents(), SampleFile);

    RegistryClear();
    const RegistryFileStatus loaded = RegistryLoadFile(file);
    ASSERT_TRUE(loaded) << loaded.error;
    EXPECT_EQ(RegistryGetDword(Settings, L"A \"quoted\" \\ name"), 123u);
    EXPECT_EQ(RegistryGetDword(Settings, L""), 5u);
    EXPECT_EQ(RegistryGetDword(Defaults, L"Gamma"), 0u);
    EXPECT_EQ(RegistryGetDword(Orvi8, L"Current MS clock"), 0xFFFFFFFFu);
    EXPECT_TRUE(RegistryKeyExists(L"\\Registry\\USER\\Empty"));
    EXPECT_FALSE(RegistryGetDword(Settings, L"Blob").has_value()); // not a DWORD

    // Types and bytes survive: saving again gives the same file.
    ASSERT_TRUE(RegistrySaveFile(file));
    EXPECT_EQ(Contents(), SampleFile);
}

TEST_F(RegistryFileTest, EmptyRegistry)
{
    ASSERT_TRUE(RegistrySaveFile(file));
    EXPECT_EQ(Contents(), "REGEDIT4\n\n");
    ASSERT_TRUE(RegistryLoadFile(file));
    EXPECT_FALSE(RegistryKeyExists(Orvi8));
}

TEST_F(RegistryFileTest, LoadMergesWithoutRegardToCase)
{
    RegistrySetDword(Settings, L"Gamma", 7);
    RegistrySetDword(Settings, L"Hue", 179);
    WriteFile("REGEDIT4\n"
              "\n"
              "[hkey_local_machine\\software\\VEXAL\\orvi8\\SETTINGS]\n"
              "\"GAMMA\"=dword:00000003\n"
              "\"Saturation\"=dword:00000020\n");
    const RegistryFileStatus loaded = RegistryLoadFile(file);
    ASSERT_TRUE(loaded) << loaded.error;
    EXPECT_EQ(RegistryGetDword(Settings, L"gamma"), 3u);   // replaced
    EXPECT_EQ(RegistryGetDword(Settings, L"Hue"), 179u);   // kept
    EXPECT_EQ(RegistryGetDword(Settings, L"Saturation"), 32u);

    // The key and the name keep the spelling of their first writer.
    ASSERT_TRUE(RegistrySaveFile(file));
    EXPECT_EQ(Contents(), "REGEDIT4\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Settings]\n"
                          "\"Gamma\"=dword:00000003\n"
                          "\"Hue\"=dword:000000b3\n"
                          "\"Saturation\"=dword:00000020\n"
                          "\n");
}

TEST_F(RegistryFileTest, HandWrittenFileLoads)
{
    WriteFile("REGEDIT4\r\n"
              "; written by hand\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Settings]\r\n"
              "\"Sharpness\"=dword:3\r\n"
              "  \"Hue\"=dword:0000004A  \r\n"
              "\"Back\\\\slash\"=dword:00000001\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexal\\Orvi8]\r\n"
              "\"Current MS clock\"=dword:00010000");
    const RegistryFileStatus loaded = RegistryLoadFile(file);
    ASSERT_TRUE(loaded) << loaded.error;
    ULONG value = 0;
    EXPECT_EQ(QueryDword(Settings, L"Sharpness", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(QueryDword(Settings, L"Hue", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 74u);
    EXPECT_EQ(QueryDword(Settings, L"Back\\slash", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(QueryDword(Orvi8, L"Current MS clock", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 65536u);
}

TEST_F(RegistryFileTest, DamagedFileChangesNothing)
{
    struct Case {
        const char* text;
        const char* error; // part of the message
    };
    const std::string goodStart = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n\"Early\"=dword:00000001\n";
    const std::string longName(70000, 'x');
    const Case cases[] = {
        {"", "empty file"},
        {"REGEDIT5\n", "line 1: the file does not start with REGEDIT4"},
        {"Windows Registry Editor Version 5.00\n", "line 1"},
        {"\xEF\xBB\xBFREGEDIT4\n", "line 1"},
        {"REGEDIT4\n\"Orphan\"=dword:00000001\n", "line 2: value before the first key"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\n", "line 2: key line without closing ']'"},
        {"REGEDIT4\n[HKEY_CLASSES_ROOT\\X]\n", "line 2: unknown root 'HKEY_CLASSES_ROOT'"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\\\X]\n", "line 2: key has an empty part"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\\]\n", "line 2: key has an empty part"},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\X]\n", "line 2: key deletion is not supported"},
        {"REGEDIT4\nnonsense\n", "line 2: neither a key nor a value"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:0000007g\n", "line 3: dword: bad hex digit 'g'"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:000000007b\n", "line 3: dword: more than 8 hex digits"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:\n", "line 3: dword: missing hex digits"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:-1\n", "line 3: dword: bad hex digit '-'"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=\"text\"\n", "line 3: string values are not supported"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=-\n", "line 3: value deletion is not supported"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=qword:1\n", "line 3: unsupported value type"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=hex:0,1\n", "line 3: bad hex byte list"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=hex:00,\\\n  01\n", "line 3: continued lines are not supported"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=hex(zz):00\n", "line 3: hex(type): bad hex digit 'z'"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A=dword:00000001\n", "line 3: value name has no closing quote"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\\n\"=dword:00000001\n", "line 3: bad escape in value name"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\" dword:00000001\n", "line 3: expected '='"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:1 x\n", "line 3: dword: bad hex digit ' '"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"\xC3\"=dword:00000001\n", "line 3: value name is not valid UTF-8"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:0000\0\x30\x31\n", "line 3: NUL byte"},
    };
    for (const Case& c : cases) {
        for (const bool afterGoodLines : {false, true}) {
            std::string text = c.text;
            if (text == "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"A\"=dword:0000") {
                text.append("\0\x30\x31\n", 4); // the literal stops at its NUL
            }
            if (afterGoodLines) {
                // The same fault after good lines: those must not be applied.
                if (text.rfind("REGEDIT4\n", 0) != 0 || text.find("Orphan") != std::string::npos) {
                    continue;
                }
                text = goodStart + text.substr(9);
            }
            SCOPED_TRACE(text);
            RegistryClear();
            RegistrySetDword(Settings, L"Gamma", 7);
            WriteFile(text);
            const RegistryFileStatus loaded = RegistryLoadFile(file);
            EXPECT_FALSE(loaded);
            if (!afterGoodLines) {
                EXPECT_NE(loaded.error.find(c.error), std::string::npos) << loaded.error;
            }
            EXPECT_NE(loaded.error.find(file), std::string::npos) << loaded.error;
            EXPECT_EQ(RegistryGetDword(Settings, L"Gamma"), 7u);
            EXPECT_FALSE(RegistryKeyExists(L"\\Registry\\MACHINE\\SOFTWARE\\New"));
            EXPECT_FALSE(RegistryKeyExists(L"\\Registry\\MACHINE\\X"));
            EXPECT_EQ(Contents(), text);
            EXPECT_EQ(Entries(), std::set<std::string>{"registry.reg"});
        }
    }

    // Too long a line.
    RegistryClear();
    const std::string overlong = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"" + longName + "\"=dword:00000001\n";
    WriteFile(overlong);
    const RegistryFileStatus loaded = RegistryLoadFile(file);
    EXPECT_FALSE(loaded);
    EXPECT_NE(loaded.error.find("line 3: line longer than 65536 bytes"), std::string::npos) << loaded.error;
    EXPECT_FALSE(RegistryKeyExists(L"\\Registry\\MACHINE\\X"));
    EXPECT_EQ(Contents(), overlong);
}

TEST_F(RegistryFileTest, MissingFileIsReported)
{
    RegistrySetDword(Settings, L"Gamma", 7);
    const RegistryFileStatus loaded = RegistryLoadFile(directory + "/absent.reg");
    EXPECT_FALSE(loaded);
    EXPECT_NE(loaded.error.find("cannot open"), std::string::npos) << loaded.error;
    EXPECT_EQ(RegistryGetDword(Settings, L"Gamma"), 7u);
    EXPECT_TRUE(Entries().empty());
}

TEST_F(RegistryFileTest, SaveReplacesWholeFileAndLeavesNoTemporary)
{
    // A longer previous file: nothing of it may remain after the new one.
    WriteFile(std::string(SampleFile) + std::string(4096, ';') + "\n");
    RegistrySetDword(Settings, L"Gamma", 2);
    ASSERT_TRUE(RegistrySaveFile(file));
    EXPECT_EQ(Contents(), "REGEDIT4\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vexal\\Orvi8\\Settings]\n"
                          "\"Gamma\"=dword:00000002\n"
                          "\n");
    EXPECT_EQ(Entries(), std::set<std::string>{"registry.reg"});
}

TEST_F(RegistryFileTest, FailedSaveKeepsPreviousFile)
{
    WriteFile(SampleFile);
    // A root the file cannot express.
    RegistrySetDword(L"\\Registry\\Other\\Key", L"Value", 1);
    const RegistryFileStatus saved = RegistrySaveFile(file);
    EXPECT_FALSE(saved);
    EXPECT_NE(saved.error.find("is under no root"), std::string::npos) << saved.error;
    EXPECT_EQ(Contents(), SampleFile);
    EXPECT_EQ(Entries(), std::set<std::string>{"registry.reg"});

    // A name that cannot stand on one line.
    RegistryClear();
    RegistrySetDword(Settings, L"two\nlines", 1);
    EXPECT_FALSE(RegistrySaveFile(file));
    EXPECT_EQ(Contents(), SampleFile);
    EXPECT_EQ(Entries(), std::set<std::string>{"registry.reg"});

    // A directory that does not exist.
    RegistryClear();
    const RegistryFileStatus nowhere = RegistrySaveFile(directory + "/absent/registry.reg");
    EXPECT_FALSE(nowhere);
    EXPECT_NE(nowhere.error.find("cannot create"), std::string::npos) << nowhere.error;
}

TEST_F(RegistryFileTest, NonAsciiNamesRoundTrip)
{
    RegistrySetDword(L"\\Registry\\MACHINE\\SOFTWARE\\Caf\u00e9", L"\u00c4rger \u20ac", 9);
    ASSERT_TRUE(RegistrySaveFile(file));
    EXPECT_EQ(Contents(), "REGEDIT4\n"
                          "\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Caf\xC3\xA9]\n"
                          "\"\xC3\x84rger \xE2\x82\xAC\"=dword:00000009\n"
                          "\n");
    RegistryClear();
    ASSERT_TRUE(RegistryLoadFile(file));
    EXPECT_EQ(RegistryGetDword(L"\\Registry\\MACHINE\\SOFTWARE\\Caf\u00e9", L"\u00c4rger \u20ac"), 9u);
}

} // namespace
