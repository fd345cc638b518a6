// Host modules and their resources: the library search with the DLL
// directory, DllMain on first load and last free, module names and handles,
// resources found by ordinal, name and "#n" in the thread's language,
// strings in both code pages, version information, a damaged resource
// image, locales, Sleep and the small runtime helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kald_host/host_kernel.h"
#include "kald_host/host_win32.h"

using namespace kald::host;

namespace {

constexpr const char* kModuleName = "KaldTestModule.LRC";
const std::string kModulePath = std::string(TEST_MODULE_DIR) + "/" + kModuleName;
constexpr const char* kReportKey = "Software\\KaldTestModule";

constexpr LANGID kEnglishUs = 0x409;
constexpr LANGID kGerman = 0x407;

DWORD ReportedDword(const char* name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kReportKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD value = 0, size = sizeof value;
    RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return value;
}

std::string ReportedString(const char* name)
{
    char text[128] = {};
    DWORD size = sizeof text;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kReportKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
        RegCloseKey(key);
    }
    return text;
}

class ModuleTest : public ::testing::Test {
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

    HMODULE LoadTestModule()
    {
        EXPECT_TRUE(SetDllDirectoryA(TEST_MODULE_DIR));
        return LoadLibraryA(kModuleName);
    }
};

// --- Modules ---

TEST_F(ModuleTest, FindsALibraryByNameOnlyInTheDllDirectory)
{
    EXPECT_EQ(LoadLibraryA(kModuleName), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));

    const HMODULE module = LoadTestModule();
    ASSERT_NE(module, nullptr);
    char path[512];
    EXPECT_EQ(GetModuleFileNameA(module, path, sizeof path), DWORD(kModulePath.size()));
    EXPECT_EQ(std::string(path), kModulePath);
    EXPECT_EQ(GetModuleHandleA(kModuleName), module);
    EXPECT_EQ(GetModuleHandleA(kModulePath.c_str()), module);
    // Linux names are case-sensitive; the host compares them exactly.
    EXPECT_EQ(GetModuleHandleA("kaldtestmodule.lrc"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));

    // "" and null restore the default search.
    EXPECT_TRUE(SetDllDirectoryA(""));
    EXPECT_EQ(LoadLibraryA(kModuleName), nullptr);
    // A path is used as given.
    const HMODULE byPath = LoadLibraryA(kModulePath.c_str());
    ASSERT_NE(byPath, nullptr);
    EXPECT_TRUE(FreeLibrary(byPath));
    EXPECT_EQ(OpenWin32Handles().Total(), 0u);
}

TEST_F(ModuleTest, DllMainHearsOfTheFirstLoadAndTheLastFree)
{
    const HMODULE first = LoadTestModule();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ReportedDword("Attaches"), 1u);
    // DllMain loaded its own string while attaching.
    EXPECT_EQ(ReportedString("Title"), "Settings");

    const HMODULE second = LoadLibraryA(kModuleName);
    EXPECT_EQ(second, first);
    EXPECT_EQ(OpenWin32Handles().modules, 2u);
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_EQ(ReportedDword("Detaches"), 0u);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(ReportedDword("Attaches"), 1u);
    EXPECT_EQ(ReportedDword("Detaches"), 1u);
    // The handle is gone.
    EXPECT_FALSE(FreeLibrary(first));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetModuleHandleA(kModuleName), nullptr);

    // A new load attaches again.
    const HMODULE again = LoadLibraryA(kModuleName);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(ReportedDword("Attaches"), 2u);
    EXPECT_TRUE(FreeLibrary(again));
    EXPECT_EQ(ReportedDword("Detaches"), 2u);
}

TEST_F(ModuleTest, AFailedAttachIsFollowedByADetachAndFailsTheLoad)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, kReportKey, &key), ERROR_SUCCESS);
    const DWORD fail = 1;
    RegSetValueExA(key, "FailAttach", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&fail), 4);
    RegCloseKey(key);

    EXPECT_EQ(LoadTestModule(), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(ReportedDword("Attaches"), 1u);
    EXPECT_EQ(ReportedDword("Detaches"), 1u);
    EXPECT_EQ(OpenWin32Handles().Total(), 0u);
}

TEST_F(ModuleTest, ResetUnloadsLoadedModulesThroughDllMain)
{
    ASSERT_NE(LoadTestModule(), nullptr);
    ASSERT_NE(LoadLibraryA(kModuleName), nullptr);
    ResetWin32();
    EXPECT_EQ(ReportedDword("Detaches"), 1u);
    EXPECT_EQ(OpenWin32Handles().Total(), 0u);
}

TEST_F(ModuleTest, ModuleFileNameTruncatesAsThePlatformDoes)
{
    const HMODULE module = LoadTestModule();
    ASSERT_NE(module, nullptr);
    char path[8];
    memset(path, 'x', sizeof path);
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(module, path, 5), 5u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(path), kModulePath.substr(0, 4));
    EXPECT_EQ(path[5], 'x');
    // Exactly the length without room for the NUL is truncation too.
    std::vector<char> exact(kModulePath.size());
    EXPECT_EQ(GetModuleFileNameA(module, exact.data(), DWORD(exact.size())), exact.size());
    EXPECT_EQ(exact.back(), '\0');

    // Null is the running executable.
    char self[512];
    const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    ASSERT_GT(length, 0u);
    EXPECT_NE(std::string(self).find("win32_tests"), std::string::npos);
    EXPECT_EQ(GetModuleHandleA(nullptr), GetModuleHandleA(nullptr));
    EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleFileNameA(module, self, sizeof self), 0u);
}

// --- Resources ---

TEST_F(ModuleTest, FindsResourcesByOrdinalNameAndNumberString)
{
    const HMODULE module = LoadTestModule();
    ASSERT_NE(module, nullptr);
    const std::string script = [] {
        std::ifstream file(std::string(TEST_SOURCE_DIR) + "/test_module.rgs", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }();
    ASSERT_FALSE(script.empty());

    struct Case {
        const char* what;
        LPCSTR name;
        LPCSTR type;
    };
    const Case cases[] = {
        {"ordinal", MAKEINTRESOURCEA(150), "REGISTRY"},
        {"number string", "#150", "registry"},
        {"name in another case", "script", "Registry"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const HRSRC found = FindResourceA(module, c.name, c.type);
        ASSERT_NE(found, nullptr);
        const HGLOBAL loaded = LoadResource(module, found);
        ASSERT_NE(loaded, nullptr);
        const DWORD size = SizeofResource(module, found);
        EXPECT_EQ(std::string(static_cast<const char*>(LockResource(loaded)), size), script);
    }
    const HRSRC wide = FindResourceW(module, L"Script", L"REGISTRY");
    EXPECT_EQ(SizeofResource(module, wide), script.size());

    const HRSRC dialog = FindResourceA(module, MAKEINTRESOURCEA(121), RT_DIALOG);
    ASSERT_NE(dialog, nullptr);
    const auto* words = static_cast<const WORD*>(LockResource(LoadResource(module, dialog)));
    EXPECT_EQ(words[0], 1);      // dlgVer of DLGTEMPLATEEX
    EXPECT_EQ(words[1], 0xFFFF); // its signature

    struct Missing {
        const char* what;
        LPCSTR name;
        LPCSTR type;
        DWORD error;
    };
    const Missing missing[] = {
        {"no such type", MAKEINTRESOURCEA(150), "TYPELIB", ERROR_RESOURCE_TYPE_NOT_FOUND},
        {"no such name", MAKEINTRESOURCEA(151), "REGISTRY", ERROR_RESOURCE_NAME_NOT_FOUND},
        {"# without a number", "#", "REGISTRY", ERROR_RESOURCE_NAME_NOT_FOUND},
        {"number out of range", "#70000", "REGISTRY", ERROR_RESOURCE_NAME_NOT_FOUND},
    };
    for (const Missing& m : missing) {
        SCOPED_TRACE(m.what);
        EXPECT_EQ(FindResourceA(module, m.name, m.type), nullptr);
        EXPECT_EQ(GetLastError(), m.error);
    }
    // The executable has no resources at all.
    EXPECT_EQ(FindResourceA(nullptr, MAKEINTRESOURCEA(150), "REGISTRY"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_RESOURCE_DATA_NOT_FOUND));
    // A resource handle of one module is no resource of another.
    EXPECT_EQ(SizeofResource(nullptr, dialog), 0u);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ModuleTest, StringsFollowTheThreadLanguageAndConvertToEachCodePage)
{
    const HMODULE module = LoadTestModule();
    ASSERT_NE(module, nullptr);
    struct Case {
        LCID locale;
        UINT id;
        const char* ansi; // Windows-1252
        const wchar_t* wide;
    };
    const Case cases[] = {
        {kEnglishUs, 100, "Settings", L"Settings"},
        {kEnglishUs, 15, "Last of block one", L"Last of block one"},
        {kEnglishUs, 16, "First of block two", L"First of block two"},
        // Euro sign and em dash have their own bytes in the code page.
        {kEnglishUs, 101, "Euro \x80 and dash \x97", L"Euro \u20AC and dash \u2014"},
        {kGerman, 100, "Einstellungen f\xFCr \xE4", L"Einstellungen f\u00FCr \u00E4"},
        {kGerman, 101, "Erweiterte Einstellungen", L"Erweiterte Einstellungen"},
        // A block is translated whole: the German block lacks 102, and the
        // English one is not consulted.
        {kGerman, 102, "", L""},
        // Swiss German takes the German strings.
        {0x807, 100, "Einstellungen f\xFCr \xE4", L"Einstellungen f\u00FCr \u00E4"},
        // A language the module lacks takes English (United States),
        // although German comes first in the file.
        {0x40C, 100, "Settings", L"Settings"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.locale << " " << std::dec << c.id);
        ASSERT_TRUE(SetThreadLocale(c.locale));
        char ansi[64];
        EXPECT_EQ(LoadStringA(module, c.id, ansi, sizeof ansi), int(strlen(c.ansi)));
        EXPECT_STREQ(ansi, c.ansi);
        wchar_t wide[64];
        EXPECT_EQ(LoadStringW(module, c.id, wide, 64), int(wcslen(c.wide)));
        EXPECT_STREQ(wide, c.wide);
    }
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ModuleTest, LoadStringTruncatesAndReportsMissingStrings)
{
    const HMODULE module = LoadTestModule();
    ASSERT_NE(module, nullptr);
    char ansi[5];
    EXPECT_EQ(LoadStringA(module, 100, ansi, sizeof ansi), 4);
    EXPECT_STREQ(ansi, "Sett");
    wchar_t wide[3];
    EXPECT_EQ(LoadStringW(module, 100, wide, 3), 2);
    EXPECT_STREQ(wide, L"Se");
    EXPECT_EQ(LoadStringA(module, 100, ansi, 1), 0);
    EXPECT_STREQ(ansi, "");

    // Ids in a block without that entry, in a missing block, and beyond.
    for (const UINT id : {17u, 99u, 5000u, 0x10000u}) {
        SCOPED_TRACE(id);
        strcpy(ansi, "old");
        EXPECT_EQ(LoadStringA(module, id, ansi, sizeof ansi), 0);
        EXPECT_STREQ(ansi, "");
    }
    // The platform hands out a read-only pointer here; the host refuses.
    EXPECT_EQ(LoadStringW(module, 100, wide, 0), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(ModuleTest, VersionInformationOfTheModuleFile)
{
    // Reading the version runs no DllMain.
    DWORD handle = 99;
    const DWORD size = GetFileVersionInfoSizeA(kModulePath.c_str(), &handle);
    ASSERT_GT(size, 0u);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(ReportedDword("Attaches"), 0u);

    std::vector<uint8_t> block(size);
    EXPECT_FALSE(GetFileVersionInfoA(kModulePath.c_str(), 0, size - 1, block.data()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_TRUE(GetFileVersionInfoA(kModulePath.c_str(), 0, size, block.data()));

    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    VS_FIXEDFILEINFO fixed;
    memcpy(&fixed, value, sizeof fixed);
    EXPECT_EQ(fixed.dwSignature, DWORD(VS_FFI_SIGNATURE));
    EXPECT_EQ(fixed.dwFileVersionMS, 0x00010002u);
    EXPECT_EQ(fixed.dwFileVersionLS, 0x00030004u);
    EXPECT_EQ(fixed.dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed.dwFileType, DWORD(VFT_DLL));

    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length));
    ASSERT_EQ(length, 4u);
    WORD translation[2];
    memcpy(translation, value, sizeof translation);
    EXPECT_EQ(translation[0], 0x409);
    EXPECT_EQ(translation[1], 1200);

    struct Text {
        const char* query;
        const char* expected;
    };
    const Text texts[] = {
        {"\\StringFileInfo\\040904b0\\FileVersion", "1, 2, 3, 4"},
        {"\\StringFileInfo\\040904B0\\productname", "Kald test module f\xFCr Tests"},
    };
    for (const Text& t : texts) {
        SCOPED_TRACE(t.query);
        ASSERT_TRUE(VerQueryValueA(block.data(), t.query, &value, &length));
        EXPECT_STREQ(static_cast<const char*>(value), t.expected);
        EXPECT_EQ(length, strlen(t.expected) + 1);
    }
    EXPECT_FALSE(VerQueryValueA(block.data(), "\\StringFileInfo\\040704b0\\FileVersion", &value,
                                &length));
    EXPECT_EQ(GetFileVersionInfoSizeA("NoSuchModule.dll", nullptr), 0u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

// --- The resource image ---

std::vector<uint8_t> ReadFile(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

void PutDword(std::vector<uint8_t>& image, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        image[at + i] = uint8_t(value >> (8 * i));
    }
}

TEST(ResourceImage, ParsesTheCompiledFile)
{
    const std::vector<uint8_t> image = ReadFile(TEST_MODULE_RES);
    ASSERT_FALSE(image.empty());
    std::vector<ResourceEntry> entries;
    ASSERT_TRUE(ParseResourceImage(image.data(), image.size(), entries));
    // Dialog, three English string blocks, one German, two scripts, version.
    EXPECT_EQ(entries.size(), 8u);
    size_t scripts = 0;
    for (const ResourceEntry& entry : entries) {
        EXPECT_LE(entry.dataOffset + entry.dataSize, image.size());
        scripts += entry.typeName == u"REGISTRY";
    }
    EXPECT_EQ(scripts, 2u);
}

// Every damage leaves the parser inside the image: it refuses the image or
// reports entries that lie within it. ASan checks the reads of the copy,
// which is allocated to exactly the damaged size.
TEST(ResourceImage, DamagedImagesAreRefusedWithoutReadingOutside)
{
    const std::vector<uint8_t> good = ReadFile(TEST_MODULE_RES);
    ASSERT_GT(good.size(), 64u);
    constexpr size_t kSecond = 32; // the first real record: type and name strings
    constexpr size_t kDialog = 368; // a record with ordinal type and name
    struct Damage {
        const char* what;
        size_t keep;     // bytes kept; 0 keeps all
        size_t at;       // where a DWORD is overwritten, when `value` is set
        bool overwrite;
        uint32_t value;
        bool refused;
    };
    const Damage damages[] = {
        {"cut inside the empty first record", 20, 0, false, 0, true},
        {"cut inside a record's sizes", kSecond + 6, 0, false, 0, true},
        {"cut inside a record's name", kSecond + 14, 0, false, 0, true},
        {"cut inside the data", good.size() - 3, 0, false, 0, true},
        {"data size past the end", 0, kSecond, true, 0xFFFFFFF0u, true},
        {"header size past the end", 0, kSecond + 4, true, 0x7FFFFFFFu, true},
        {"header size below the sizes", 0, kSecond + 4, true, 4, true},
        {"type name running past its header", 0, kSecond + 4, true, 20, true},
        {"header without room for its fields", 0, kDialog + 4, true, 20, true},
        {"nothing at all", 1, 0, false, 0, true},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        std::vector<uint8_t> copy(good.begin(), good.begin() + (d.keep ? d.keep : good.size()));
        if (d.overwrite) {
            PutDword(copy, d.at, d.value);
        }
        // Exactly the damaged bytes on the heap, so that ASan sees any read past them.
        std::unique_ptr<uint8_t[]> image(new uint8_t[copy.size()]);
        memcpy(image.get(), copy.data(), copy.size());
        std::vector<ResourceEntry> entries(3);
        EXPECT_EQ(ParseResourceImage(image.get(), copy.size(), entries), !d.refused);
        EXPECT_TRUE(entries.empty());
    }
    // Every possible cut: never out of bounds, whatever the answer.
    for (size_t keep = 0; keep < good.size(); ++keep) {
        std::unique_ptr<uint8_t[]> image(new uint8_t[keep + 1]);
        memcpy(image.get(), good.data(), keep);
        std::vector<ResourceEntry> entries;
        if (ParseResourceImage(image.get(), keep, entries)) {
            for (const ResourceEntry& entry : entries) {
                EXPECT_LE(entry.dataOffset + entry.dataSize, keep);
            }
        }
    }
}

// --- Locale ---

TEST_F(ModuleTest, LocaleAbbreviationsAndSizes)
{
    struct Case {
        LCID locale;
        const char* abbreviation;
        const char* english;
    };
    const Case cases[] = {
        {0x409, "ENU", "English"},   {0x809, "ENG", "English"},    {0x407, "DEU", "German"},
        {0x807, "DES", "German"},    {0x40C, "FRA", "French"},     {0x410, "ITA", "Italian"},
        {0x40A, "ESP", "Spanish"},   {0xC0A, "ESN", "Spanish"},    {0x411, "JPN", "Japanese"},
        {0x413, "NLD", "Dutch"},     {0x416, "PTB", "Portuguese"}, {0x816, "PTG", "Portuguese"},
        {0x41D, "SVE", "Swedish"},   {0x406, "DAN", "Danish"},     {0x414, "NOR", "Norwegian"},
        {0x40B, "FIN", "Finnish"},   {0x415, "PLK", "Polish"},     {0x405, "CSY", "Czech"},
        {0x419, "RUS", "Russian"},   {0x412, "KOR", "Korean"},     {0x404, "CHT", "Chinese"},
        {0x804, "CHS", "Chinese"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.locale);
        char text[16];
        EXPECT_EQ(GetLocaleInfoA(c.locale, LOCALE_SABBREVLANGNAME, text, sizeof text), 4);
        EXPECT_STREQ(text, c.abbreviation);
        EXPECT_GT(GetLocaleInfoA(c.locale, LOCALE_SENGLANGUAGE, text, sizeof text), 0);
        EXPECT_STREQ(text, c.english);
    }
    char text[8];
    EXPECT_EQ(GetLocaleInfoA(0x407, LOCALE_ILANGUAGE, text, sizeof text), 5);
    EXPECT_STREQ(text, "0407");
    // Size only; too small; unknown locale; unknown question.
    EXPECT_EQ(GetLocaleInfoA(0x407, LOCALE_SABBREVLANGNAME, nullptr, 0), 4);
    EXPECT_EQ(GetLocaleInfoA(0x407, LOCALE_SABBREVLANGNAME, text, 3), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(GetLocaleInfoA(0x436, LOCALE_SABBREVLANGNAME, text, sizeof text), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetLocaleInfoA(0x407, 0x7777, text, sizeof text), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FLAGS));
}

TEST_F(ModuleTest, ThreadLocaleFollowsTheUserUntilSetAndResetRestoresIt)
{
    EXPECT_EQ(GetUserDefaultLCID(), 0x409u);
    EXPECT_EQ(GetThreadLocale(), 0x409u);
    SetUserDefaultLocale(0x407);
    EXPECT_EQ(GetUserDefaultLangID(), 0x407);
    EXPECT_EQ(GetThreadLocale(), 0x407u);
    char text[8];
    EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SABBREVLANGNAME, text, sizeof text), 4);
    EXPECT_STREQ(text, "DEU");

    EXPECT_TRUE(SetThreadLocale(0x40C));
    EXPECT_EQ(GetThreadLocale(), 0x40Cu);
    EXPECT_FALSE(SetThreadLocale(0x436)); // not a locale the host knows
    EXPECT_EQ(GetThreadLocale(), 0x40Cu);
    // Another thread has its own.
    LCID other = 0;
    std::thread([&] { other = GetThreadLocale(); }).join();
    EXPECT_EQ(other, 0x407u);

    ResetWin32();
    EXPECT_EQ(GetUserDefaultLCID(), 0x409u);
    EXPECT_EQ(GetThreadLocale(), 0x409u);
}

// --- Runtime helpers ---

TEST(Win32Runtime, SleepAndTickCountUseTheVirtualClock)
{
    ResetClock();
    EXPECT_EQ(GetTickCount(), 0u);
    Sleep(1500);
    EXPECT_EQ(Now100ns(), 1500u * 10000u);
    EXPECT_EQ(GetTickCount(), 1500u);
    Sleep(0);
    EXPECT_EQ(GetTickCount(), 1500u);
    ResetClock();
}

TEST(Win32Runtime, InterlockedMulDivAndStrings)
{
    LONG volatile count = 0;
    EXPECT_EQ(InterlockedIncrement(&count), 1);
    EXPECT_EQ(InterlockedDecrement(&count), 0);
    EXPECT_EQ(InterlockedDecrement(&count), -1);
    EXPECT_EQ(InterlockedExchange(&count, 7), -1);
    EXPECT_EQ(count, 7);

    struct Case {
        int number, numerator, denominator, expected;
    };
    const Case cases[] = {
        {10, 3, 4, 8},            // 7.5 rounds up
        {-10, 3, 4, -8},          // and away from zero
        {10, -3, 4, -8},          {-10, -3, -4, -8},
        {7, 1, 3, 2},             // 2.33
        {0x40000000, 4, 2, -1},   // 2^31 does not fit
        {0x40000000, 4, 4, 0x40000000},
        {5, 5, 0, -1},            // no denominator
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MulDiv(c.number, c.numerator, c.denominator), c.expected)
            << c.number << "*" << c.numerator << "/" << c.denominator;
    }

    char buffer[6] = "xxxxx";
    EXPECT_STREQ(lstrcpynA(buffer, "Settings", 4), "Set");
    EXPECT_EQ(lstrlenA(buffer), 3);
    EXPECT_EQ(lstrlenA(nullptr), 0);
    EXPECT_EQ(lstrcmpiA("SETUPAPI.DLL", "setupapi.dll"), 0);
    EXPECT_LT(lstrcmpiA("a", "B"), 0);
}

} // namespace
