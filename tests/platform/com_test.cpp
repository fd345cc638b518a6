// The host COM layer: GUID strings, task memory and BSTRs, initialisation,
// object creation through registered in-process servers and the server
// modules it keeps, and type libraries (the IDL reader, loading,
// registration and its removal).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kald_host/host_kernel.h"
#include "kald_host/host_win32.h"
#include "kald_host/olectl.h"

using namespace kald::host;

namespace {

// The class that com_test_server.cpp serves.
constexpr CLSID kCountedClass = {
    0x6A1F0C2E, 0x5B3D, 0x4E7A, {0x9C, 0x11, 0x2D, 0x4F, 0x8E, 0x0B, 0x7A, 0x93}};
constexpr char kCountedKey[] = "CLSID\\{6A1F0C2E-5B3D-4E7A-9C11-2D4F8E0B7A93}";

constexpr GUID kLibId = {
    0x1E18CB43, 0x2BB7, 0x488F, {0x94, 0xE9, 0x6D, 0xC3, 0x3B, 0xDC, 0x28, 0x7E}};
constexpr GUID kSourcePage = {
    0x895FE2B2, 0x9FD1, 0x48D1, {0x86, 0x67, 0x56, 0xF4, 0x66, 0x43, 0x59, 0xE8}};
constexpr GUID kAdvancedPage = {
    0xADEA9699, 0xF86F, 0x4D68, {0xA0, 0x28, 0xA2, 0xDD, 0x13, 0x71, 0xB8, 0xA9}};
constexpr GUID kTestPage = {
    0xF5541056, 0xF5DF, 0x45D9, {0xB4, 0x68, 0x68, 0xCE, 0xF9, 0x16, 0x88, 0xCE}};

constexpr char kLibraryKey[] = "TypeLib\\{1E18CB43-2BB7-488F-94E9-6DC33BDC287E}";

// A library with three coclasses, written the way the IDL tools write one,
// with both kinds of comment and lower-case hex in places.
const char kSampleIdl[] = R"IDL(// Kaldprop.idl : IDL source
import "oaidl.idl";
import "ocidl.idl", "unknwn.idl";

/* The library and its
   three page classes. */
[
    uuid(1E18CB43-2BB7-488f-94E9-6DC33BDC287E),
    version(1.0),
    helpstring("Kaldprop 1.0 Type Library")
]
library KALDPROPLib
{
    importlib("stdole32.tlb");
    importlib("stdole2.tlb");

    [
        uuid(895FE2B2-9FD1-48d1-8667-56F4664359E8),
        helpstring("SourcePage Class")
    ]
    coclass SourcePage
    {
        [default] interface IUnknown;
    };
    [uuid(ADEA9699-F86F-4d68-A028-A2DD1371B8A9), helpstring("AdvancedPage Class")]
    coclass AdvancedPage { [default] interface IUnknown; };
    [ uuid("F5541056-F5DF-45d9-B468-68CEF91688CE"), helpstring("TestPage \"Class\"") ]
    coclass TestPage
    {
        interface IDispatch;
        [default] interface IUnknown;
    };
};
)IDL";

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// The default value of HKEY_CLASSES_ROOT\key, if the key exists.
std::optional<std::string> ReadDefault(const std::string& key)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    char data[512] = {};
    DWORD size = sizeof(data) - 1;
    DWORD type = REG_NONE;
    const LONG status = RegQueryValueExA(opened, nullptr, nullptr, &type,
                                         reinterpret_cast<LPBYTE>(data), &size);
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS) {
        return std::string("<no default>");
    }
    EXPECT_EQ(type, DWORD(REG_SZ)) << key;
    return std::string(data);
}

bool KeyExists(const std::string& key)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(opened);
    return true;
}

void WriteDefault(const std::string& key, const std::optional<std::string>& value)
{
    HKEY created = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE, nullptr, &created, nullptr),
              ERROR_SUCCESS);
    if (value) {
        ASSERT_EQ(RegSetValueExA(created, nullptr, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(value->c_str()),
                                 DWORD(value->size() + 1)),
                  ERROR_SUCCESS);
    }
    RegCloseKey(created);
}

std::string FromBstr(BSTR text)
{
    std::string out;
    for (UINT i = 0; i < SysStringLen(text); ++i) {
        out.push_back(char(text[i]));
    }
    return out;
}

class ComTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetWin32();
        RegistryClear();
        TaskBlocks = ComTaskMemoryOutstanding();
        Strings = SysStringsOutstanding();
    }
    void TearDown() override
    {
        // Every test gives back the task memory and strings it was handed.
        EXPECT_EQ(ComTaskMemoryOutstanding(), TaskBlocks);
        EXPECT_EQ(SysStringsOutstanding(), Strings);
        ResetWin32();
        EXPECT_EQ(LoadedComServers(), 0u);
        RegistryClear();
    }

    // Writes `text` to a file of this process's own and returns its path.
    std::string WriteFile(const std::string& name, const std::string& text)
    {
        const std::string path = ::testing::TempDir() + std::to_string(getpid()) + "_" + name;
        FILE* file = fopen(path.c_str(), "wb");
        EXPECT_NE(file, nullptr);
        if (file != nullptr) {
            fwrite(text.data(), 1, text.size(), file);
            fclose(file);
        }
        Files.push_back(path);
        return path;
    }
    ~ComTest() override
    {
        for (const std::string& path : Files) {
            remove(path.c_str());
        }
    }

    size_t TaskBlocks = 0;
    size_t Strings = 0;
    std::vector<std::string> Files;
};

// --- GUID strings ---

TEST_F(ComTest, GuidStringsAreBracedUpperCaseAndReadBackInEitherCase)
{
    OLECHAR text[40];
    std::fill(std::begin(text), std::end(text), L'#');
    EXPECT_EQ(StringFromGUID2(kAdvancedPage, text, 38), 0) << "one short of the NUL";
    EXPECT_EQ(text[0], L'#') << "nothing written into a short buffer";
    ASSERT_EQ(StringFromGUID2(kAdvancedPage, text, 39), 39);
    EXPECT_EQ(std::wstring(text), L"{ADEA9699-F86F-4D68-A028-A2DD1371B8A9}");
    EXPECT_EQ(text[39], L'#') << "nothing past the NUL";

    // The registry scripts spell some letters in lower case.
    CLSID read{};
    EXPECT_EQ(CLSIDFromString(L"{adea9699-f86f-4d68-A028-a2dd1371b8A9}", &read), S_OK);
    EXPECT_TRUE(IsEqualCLSID(read, kAdvancedPage));
    IID iid{};
    EXPECT_EQ(IIDFromString(text, &iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, kAdvancedPage));

    LPOLESTR allocated = nullptr;
    ASSERT_EQ(StringFromCLSID(kTestPage, &allocated), S_OK);
    EXPECT_EQ(ComTaskMemoryOutstanding(), TaskBlocks + 1) << "the string is task memory";
    EXPECT_EQ(std::wstring(allocated), L"{F5541056-F5DF-45D9-B468-68CEF91688CE}");
    CoTaskMemFree(allocated);

    // The platform's well-known identifiers.
    ASSERT_EQ(StringFromGUID2(IID_IUnknown, text, 40), 39);
    EXPECT_EQ(std::wstring(text), L"{00000000-0000-0000-C000-000000000046}");
    ASSERT_EQ(StringFromGUID2(IID_IPropertyPage, text, 40), 39);
    EXPECT_EQ(std::wstring(text), L"{B196B28D-BAB4-101A-B69C-00AA00341D07}");
}

TEST_F(ComTest, MalformedGuidStringsAreRefusedAndLeaveTheResultAlone)
{
    const wchar_t* const cases[] = {
        L"",
        L"{",
        L"ADEA9699-F86F-4D68-A028-A2DD1371B8A9",    // no braces
        L"{ADEA9699-F86F-4D68-A028-A2DD1371B8A9",   // no closing brace
        L"{ADEA9699-F86F-4D68-A028-A2DD1371B8A}",   // a digit short
        L"{ADEA9699-F86F-4D68-A028-A2DD1371B8A9}x", // something after it
        L"{ADEA9699-F86F-4D68-A028-A2DD1371B8A99}", // a digit too many
        L"{ADEA969G-F86F-4D68-A028-A2DD1371B8A9}",  // not hex
        L"{ADEA9699F-86F-4D68-A028-A2DD1371B8A9}",  // dash misplaced
        L"{ADEA9699-F86F-4D68-A028A-2DD1371B8A9}",  // dash misplaced
        L"{ADEA9699-F86F-4D68-A028-A2DD1371B8A9)",  // wrong closing bracket
        L"{ADEA9699 F86F-4D68-A028-A2DD1371B8A9}",  // space for a dash
        L"{ +EA9699-F86F-4D68-A028-A2DD1371B8A9}",  // sign
    };
    for (const wchar_t* text : cases) {
        const std::wstring shown(text);
        CLSID clsid = kTestPage;
        EXPECT_EQ(CLSIDFromString(text, &clsid), CO_E_CLASSSTRING)
            << std::string(shown.begin(), shown.end());
        EXPECT_TRUE(IsEqualCLSID(clsid, kTestPage));
        IID iid = kTestPage;
        EXPECT_EQ(IIDFromString(text, &iid), E_INVALIDARG)
            << std::string(shown.begin(), shown.end());
        EXPECT_TRUE(IsEqualIID(iid, kTestPage));
    }
    // A string that ends early is not read past its NUL.
    const wchar_t truncated[] = {L'{', L'A', L'D', L'\0', L'A', L'9'};
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(truncated, &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(L"{ADEA9699-F86F-4D68-A028-A2DD1371B8A9}", nullptr), E_INVALIDARG);
}

TEST_F(ComTest, ClassStringsMayBeRegisteredProgIds)
{
    WriteDefault("SourcePage.SourcePage.1\\CLSID", "{895FE2B2-9FD1-48d1-8667-56F4664359E8}");
    WriteDefault("Broken.Page\\CLSID", "not a guid");
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(L"SourcePage.SourcePage.1", &clsid), S_OK);
    EXPECT_TRUE(IsEqualCLSID(clsid, kSourcePage));
    EXPECT_EQ(CLSIDFromString(L"Unknown.Page", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromString(L"Broken.Page", &clsid), CO_E_CLASSSTRING);
    // A name that would reach a key below the ProgID's is not one.
    EXPECT_EQ(CLSIDFromString(L"SourcePage.SourcePage.1\\CLSID\\..", &clsid), CO_E_CLASSSTRING);
}

// --- Task memory and strings ---

TEST_F(ComTest, TaskMemoryIsCountedUntilFreed)
{
    void* a = CoTaskMemAlloc(16);
    void* b = CoTaskMemAlloc(0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr) << "a zero-byte block is a block";
    EXPECT_NE(a, b);
    EXPECT_EQ(ComTaskMemoryOutstanding(), TaskBlocks + 2);

    memset(a, 0x5A, 16);
    void* grown = CoTaskMemRealloc(a, 4096);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(grown)[15], 0x5A) << "contents kept";
    EXPECT_EQ(ComTaskMemoryOutstanding(), TaskBlocks + 2) << "a moved block counts once";

    // Realloc of null allocates; to zero bytes frees.
    void* c = CoTaskMemRealloc(nullptr, 8);
    EXPECT_EQ(ComTaskMemoryOutstanding(), TaskBlocks + 3);
    EXPECT_EQ(CoTaskMemRealloc(c, 0), nullptr);
    EXPECT_EQ(ComTaskMemoryOutstanding(), TaskBlocks + 2);

    // What is not a live block is left alone.
    int local = 0;
    CoTaskMemFree(nullptr);
    CoTaskMemFree(&local);
    EXPECT_EQ(CoTaskMemRealloc(&local, 64), nullptr);
    EXPECT_EQ(ComTaskMemoryOutstanding(), TaskBlocks + 2);

    CoTaskMemFree(grown);
    CoTaskMemFree(b);
    CoTaskMemFree(b); // a second free of the same block changes nothing
    EXPECT_EQ(ComTaskMemoryOutstanding(), TaskBlocks);
}

TEST_F(ComTest, StringsKeepTheirLengthWithEmbeddedNuls)
{
    const OLECHAR withNul[] = {L'a', L'\0', L'b'};
    BSTR three = SysAllocStringLen(withNul, 3);
    BSTR zeroed = SysAllocStringLen(nullptr, 4);
    BSTR plain = SysAllocString(L"Settings");
    ASSERT_NE(three, nullptr);
    ASSERT_NE(zeroed, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(SysStringLen(three), 3u);
    EXPECT_EQ(three[2], L'b');
    EXPECT_EQ(three[3], L'\0') << "terminated after its length";
    EXPECT_EQ(SysStringLen(zeroed), 4u);
    EXPECT_EQ(zeroed[0], L'\0');
    EXPECT_EQ(SysStringLen(plain), 8u);
    EXPECT_EQ(reinterpret_cast<const uint32_t*>(plain)[-1], 8u * sizeof(OLECHAR))
        << "the byte length sits before the characters";
    EXPECT_EQ(SysStringsOutstanding(), Strings + 3);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    SysFreeString(three);
    SysFreeString(zeroed);
    SysFreeString(plain);
    EXPECT_EQ(SysStringsOutstanding(), Strings);
}

// --- Initialisation and object creation ---

TEST_F(ComTest, InitialisationIsCountedPerThread)
{
    IUnknown* object = nullptr;
    EXPECT_EQ(CoCreateInstance(kCountedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              CO_E_NOTINITIALIZED);
    CoUninitialize(); // without an initialisation: nothing happens

    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
    EXPECT_EQ(OleInitialize(nullptr), S_FALSE);

    // Another thread is not initialised by this one.
    HRESULT other = S_OK;
    std::thread([&other] {
        IUnknown* unused = nullptr;
        other = CoCreateInstance(kCountedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                 reinterpret_cast<void**>(&unused));
    }).join();
    EXPECT_EQ(other, CO_E_NOTINITIALIZED);

    // Three initialisations took effect; the refused one needs no end.
    OleUninitialize();
    CoUninitialize();
    EXPECT_EQ(CoCreateInstance(kCountedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              REGDB_E_CLASSNOTREG)
        << "still initialised";
    CoUninitialize();
    EXPECT_EQ(CoCreateInstance(kCountedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "a fresh start";
    CoUninitialize();
}

TEST_F(ComTest, CreationFailsClearlyWhenTheServerCannotBeReached)
{
    struct Case {
        const char* what;
        std::optional<std::string> server; // InprocServer32's default; none: no key
        bool keyOnly;                      // the key without a default value
        DWORD context;
        HRESULT expected;
    };
    const Case cases[] = {
        {"not registered", std::nullopt, false, CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
        {"no server path", std::string(), true, CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
        {"empty server path", std::string(), false, CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
        {"module missing", std::string("/nonexistent/Kaldprop.dll"), false, CLSCTX_INPROC_SERVER,
         HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND)},
        {"no DllGetClassObject", std::string(COM_TEST_NO_SERVER_PATH), false,
         CLSCTX_INPROC_SERVER, CO_E_ERRORINDLL},
        {"out of process only", std::string(COM_TEST_SERVER_PATH), false, CLSCTX_LOCAL_SERVER,
         REGDB_E_CLASSNOTREG},
    };
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    for (const Case& c : cases) {
        RegistryClear();
        if (c.server) {
            WriteDefault(std::string(kCountedKey) + "\\InprocServer32",
                         c.keyOnly ? std::nullopt : c.server);
        }
        IUnknown* object = reinterpret_cast<IUnknown*>(uintptr_t(0x1234));
        EXPECT_EQ(CoCreateInstance(kCountedClass, nullptr, c.context, IID_IUnknown,
                                   reinterpret_cast<void**>(&object)),
                  c.expected)
            << c.what;
        EXPECT_EQ(object, nullptr) << c.what;
        EXPECT_EQ(LoadedComServers(), 0u) << c.what << ": no module kept";
        EXPECT_EQ(OpenWin32Handles().modules, 0u) << c.what << ": no module reference left";
    }
    EXPECT_EQ(CoCreateInstance(kCountedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               nullptr),
              E_INVALIDARG);
    CoUninitialize();
}

TEST_F(ComTest, ServerModulesStayLoadedUntilUnused)
{
    WriteDefault(std::string(kCountedKey) + "\\InprocServer32", std::string(COM_TEST_SERVER_PATH));
    ASSERT_EQ(CoInitialize(nullptr), S_OK);

    IUnknown* first = nullptr;
    IUnknown* second = nullptr;
    ASSERT_EQ(CoCreateInstance(kCountedClass, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(&first)),
              S_OK);
    ASSERT_EQ(CoCreateInstance(kCountedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&second)),
              S_OK);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(LoadedComServers(), 1u) << "one module for both";
    EXPECT_EQ(OpenWin32Handles().modules, 1u) << "held by one reference";

    // What the server says is passed on: aggregation refused, interface
    // unknown, a class it does not serve.
    IUnknown* refused = nullptr;
    EXPECT_EQ(CoCreateInstance(kCountedClass, first, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&refused)),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(CoCreateInstance(kCountedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                               reinterpret_cast<void**>(&refused)),
              E_NOINTERFACE);
    EXPECT_EQ(refused, nullptr);
    WriteDefault("CLSID\\{F5541056-F5DF-45D9-B468-68CEF91688CE}\\InprocServer32",
                 std::string(COM_TEST_SERVER_PATH));
    EXPECT_EQ(CoCreateInstance(kTestPage, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&refused)),
              CLASS_E_CLASSNOTAVAILABLE);

    // A locked server and a live object keep the module.
    IClassFactory* factory = nullptr;
    ASSERT_EQ(CoGetClassObject(kCountedClass, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                               reinterpret_cast<void**>(&factory)),
              S_OK);
    factory->LockServer(TRUE);
    first->Release();
    second->Release();
    CoFreeUnusedLibraries();
    EXPECT_EQ(LoadedComServers(), 1u) << "locked";
    factory->LockServer(FALSE);
    factory->Release();
    CoFreeUnusedLibraries();
    EXPECT_EQ(LoadedComServers(), 0u);
    EXPECT_EQ(OpenWin32Handles().modules, 0u);

    // Loaded again on demand; the last CoUninitialize frees it even while
    // it is in use, as the platform does.
    ASSERT_EQ(CoCreateInstance(kCountedClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&first)),
              S_OK);
    first->Release();
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    CoUninitialize();
    EXPECT_EQ(LoadedComServers(), 1u) << "not the last";
    CoUninitialize();
    EXPECT_EQ(LoadedComServers(), 0u);
    EXPECT_EQ(OpenWin32Handles().modules, 0u);
}

// --- Type libraries ---

TEST_F(ComTest, IdlSourceDescribesTheLibraryAndItsCoclasses)
{
    TypeLibraryDescription library;
    ASSERT_EQ(ParseTypeLibrarySource(kSampleIdl, library), S_OK);
    EXPECT_TRUE(IsEqualGUID(library.libid, kLibId));
    EXPECT_EQ(library.name, "KALDPROPLib");
    EXPECT_EQ(library.majorVersion, 1);
    EXPECT_EQ(library.minorVersion, 0);
    EXPECT_EQ(library.lcid, 0u);
    EXPECT_EQ(library.helpString, "Kaldprop 1.0 Type Library");
    EXPECT_EQ(library.imports, (std::vector<std::string>{"stdole32.tlb", "stdole2.tlb"}));

    struct Expected {
        const char* name;
        GUID clsid;
        const char* help;
    };
    const Expected expected[] = {
        {"SourcePage", kSourcePage, "SourcePage Class"},
        {"AdvancedPage", kAdvancedPage, "AdvancedPage Class"},
        {"TestPage", kTestPage, "TestPage \"Class\""},
    };
    ASSERT_EQ(library.coclasses.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const TypeLibraryCoclass& c = library.coclasses[i];
        EXPECT_EQ(c.name, expected[i].name);
        EXPECT_TRUE(IsEqualCLSID(c.clsid, expected[i].clsid)) << c.name;
        EXPECT_EQ(c.helpString, expected[i].help);
        EXPECT_EQ(c.defaultInterface, "IUnknown") << c.name << ": the [default] one";
    }

    // The smallest library; version with a major only, an lcid in hex,
    // attributes this reader passes over.
    ASSERT_EQ(ParseTypeLibrarySource(
                  "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC287E), version(2), lcid(0x409), "
                  "helpfile(\"k.hlp\"), restricted] library L {}",
                  library),
              S_OK);
    EXPECT_EQ(library.majorVersion, 2);
    EXPECT_EQ(library.minorVersion, 0);
    EXPECT_EQ(library.lcid, 0x409u);
    EXPECT_TRUE(library.coclasses.empty());
    EXPECT_TRUE(library.helpString.empty());
}

TEST_F(ComTest, MalformedIdlIsRefused)
{
    const std::string sample = kSampleIdl;
    // Every cut before the library's closing brace leaves it unfinished.
    const size_t closing = sample.rfind('}');
    for (size_t length = 0; length <= closing; ++length) {
        TypeLibraryDescription library;
        ASSERT_EQ(ParseTypeLibrarySource(sample.substr(0, length), library), TYPE_E_INVDATAREAD)
            << "cut after " << length << " bytes: ..." << sample.substr(length > 30 ? length - 30 : 0, 30);
    }

    const std::string head = "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC287E), version(1.0)]\n";
    const struct {
        const char* what;
        std::string idl;
    } cases[] = {
        {"no library", "import \"oaidl.idl\";\n"},
        {"attributes only", head},
        {"missing library keyword", head + "KALDPROPLib { };"},
        {"other keyword", head + "module KALDPROPLib { };"},
        {"no library uuid", "[version(1.0)] library L { };"},
        {"unbalanced attribute list", "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC287E) library L { };"},
        {"unbalanced parentheses", "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC287E] library L { };"},
        {"unbalanced library braces", head + "library L { coclass"},
        {"extra closing brace", head + "library L { }; }"},
        {"unbalanced coclass braces",
         head + "library L { [uuid(895FE2B2-9FD1-48d1-8667-56F4664359E8)] coclass C { "
                "interface IUnknown; };"},
        {"short uuid", "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC287)] library L { };"},
        {"long uuid", "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC287EE)] library L { };"},
        {"non-hex uuid", "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC28ZE)] library L { };"},
        {"braced uuid", "[uuid({1E18CB43-2BB7-488F-94E9-6DC33BDC287E})] library L { };"},
        {"unterminated quoted uuid", "[uuid(\"1E18CB43-2BB7-488F-94E9-6DC33BDC287E)] library L{};"},
        {"coclass without uuid", head + "library L { [helpstring(\"x\")] coclass C { }; };"},
        {"coclass without attributes", head + "library L { coclass C { }; };"},
        {"version too big", "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC287E), version(65536.0)] "
                            "library L { };"},
        {"version without minor", "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC287E), version(1.)] "
                                  "library L { };"},
        {"lcid too big", "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC287E), lcid(0x100000000)] "
                         "library L { };"},
        {"unterminated string", "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC287E), helpstring(\"x)] "
                                "library L { };"},
        {"string across lines", "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC287E), helpstring(\"x\n\")] "
                                "library L { };"},
        {"unterminated comment", head + "library L { /* };"},
        {"statement in the library", head + "library L { interface I; };"},
        {"member without semicolon",
         head + "library L { [uuid(895FE2B2-9FD1-48d1-8667-56F4664359E8)] coclass C { "
                "interface IUnknown }; };"},
        {"text after the library", head + "library L { }; library M { };"},
        {"import without semicolon", "import \"a.idl\"\n" + head + "library L { };"},
        {"unbalanced skipped attribute",
         "[uuid(1E18CB43-2BB7-488F-94E9-6DC33BDC287E), custom(a, (b)] library L { };"},
        {"empty", ""},
    };
    for (const auto& c : cases) {
        TypeLibraryDescription library;
        EXPECT_EQ(ParseTypeLibrarySource(c.idl, library), TYPE_E_INVDATAREAD) << c.what;
    }
}

TEST_F(ComTest, LoadedLibraryAnswersForItsCoclassesAndRegisters)
{
    const std::string path = WriteFile("com_test_kaldprop.idl", kSampleIdl);
    ITypeLib* library = nullptr;
    ASSERT_EQ(LoadTypeLibEx(Wide(path).c_str(), REGKIND_REGISTER, &library), S_OK);
    ASSERT_NE(library, nullptr);

    EXPECT_EQ(library->GetTypeInfoCount(), 3u);
    TYPEKIND kind = TKIND_ENUM;
    EXPECT_EQ(library->GetTypeInfoType(2, &kind), S_OK);
    EXPECT_EQ(kind, TKIND_COCLASS);
    EXPECT_EQ(library->GetTypeInfoType(3, &kind), TYPE_E_ELEMENTNOTFOUND);

    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
    EXPECT_TRUE(IsEqualGUID(attributes->guid, kLibId));
    EXPECT_EQ(attributes->lcid, 0u);
    EXPECT_EQ(attributes->syskind, SYS_WIN32);
    EXPECT_EQ(attributes->wMajorVerNum, 1);
    EXPECT_EQ(attributes->wMinorVerNum, 0);
    EXPECT_EQ(attributes->wLibFlags, 0);
    library->ReleaseTLibAttr(attributes);

    const struct {
        INT index;
        HRESULT result;
        const char* name;
        const char* help;
    } documentation[] = {
        {-1, S_OK, "KALDPROPLib", "Kaldprop 1.0 Type Library"},
        {0, S_OK, "SourcePage", "SourcePage Class"},
        {2, S_OK, "TestPage", "TestPage \"Class\""},
        {3, TYPE_E_ELEMENTNOTFOUND, "", ""},
        {-2, TYPE_E_ELEMENTNOTFOUND, "", ""},
    };
    for (const auto& d : documentation) {
        BSTR name = nullptr;
        BSTR help = nullptr;
        DWORD context = 99;
        BSTR helpFile = reinterpret_cast<BSTR>(uintptr_t(1));
        ASSERT_EQ(library->GetDocumentation(d.index, &name, &help, &context, &helpFile), d.result)
            << d.index;
        if (d.result == S_OK) {
            EXPECT_EQ(FromBstr(name), d.name);
            EXPECT_EQ(FromBstr(help), d.help);
            EXPECT_EQ(context, 0u);
            EXPECT_EQ(helpFile, nullptr);
            SysFreeString(name);
            SysFreeString(help);
        }
    }
    BSTR onlyName = nullptr;
    EXPECT_EQ(library->GetDocumentation(1, &onlyName, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(FromBstr(onlyName), "AdvancedPage");
    SysFreeString(onlyName);

    ITypeInfo* info = nullptr;
    EXPECT_EQ(library->GetTypeInfo(0, &info), E_NOTIMPL);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(library->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    EXPECT_EQ(unknown->Release(), 1u);
    EXPECT_EQ(library->Release(), 0u);

    // The keys of version 1.0, language 0.
    const std::string version = std::string(kLibraryKey) + "\\1.0";
    const std::string directory = path.substr(0, path.rfind('/'));
    EXPECT_EQ(ReadDefault(version), "Kaldprop 1.0 Type Library");
    EXPECT_EQ(ReadDefault(version + "\\0\\win32"), path);
    EXPECT_EQ(ReadDefault(version + "\\FLAGS"), "0");
    EXPECT_EQ(ReadDefault(version + "\\HELPDIR"), directory);

    BSTR registered = nullptr;
    ASSERT_EQ(QueryPathOfRegTypeLib(kLibId, 1, 0, 0x409, &registered), S_OK) << "falls back to 0";
    EXPECT_EQ(FromBstr(registered), path);
    SysFreeString(registered);
    EXPECT_EQ(QueryPathOfRegTypeLib(kLibId, 1, 1, 0, &registered), TYPE_E_LIBNOTREGISTERED);
    EXPECT_EQ(registered, nullptr);
}

TEST_F(ComTest, RegisteringWithAHelpDirectoryAndUnregisteringVersions)
{
    // Version 1.10 is key "1.a": the numbers are hex.
    std::string idl = kSampleIdl;
    const std::string path = WriteFile("com_test_v1.idl", idl);
    idl.replace(idl.find("version(1.0)"), 12, "version(1.10)");
    const std::string newer = WriteFile("com_test_v1a.idl", idl);

    for (const std::string& file : {path, newer}) {
        ITypeLib* library = nullptr;
        ASSERT_EQ(LoadTypeLibEx(Wide(file).c_str(), REGKIND_NONE, &library), S_OK);
        std::wstring full = L"C:\\Program Files\\Kaldprop\\Kaldprop.dll";
        std::wstring help = L"C:\\Help";
        ASSERT_EQ(RegisterTypeLib(library, &full[0], file == path ? &help[0] : nullptr), S_OK);
        library->Release();
    }
    const std::string v10 = std::string(kLibraryKey) + "\\1.0";
    const std::string v1a = std::string(kLibraryKey) + "\\1.a";
    EXPECT_EQ(ReadDefault(v10 + "\\0\\win32"), "C:\\Program Files\\Kaldprop\\Kaldprop.dll");
    EXPECT_EQ(ReadDefault(v10 + "\\HELPDIR"), "C:\\Help");
    EXPECT_EQ(ReadDefault(v1a + "\\HELPDIR"), "C:\\Program Files\\Kaldprop")
        << "the module's directory";

    EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 0, 0, SYS_WIN32), S_OK);
    EXPECT_FALSE(KeyExists(v10));
    EXPECT_TRUE(KeyExists(v1a)) << "the other version stays";
    EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 0, 0, SYS_WIN32), TYPE_E_REGISTRYACCESS);
    EXPECT_EQ(UnRegisterTypeLib(kLibId, 1, 10, 0, SYS_WIN32), S_OK);
    EXPECT_FALSE(KeyExists(kLibraryKey)) << "the library's key goes with its last version";
    EXPECT_TRUE(KeyExists("TypeLib")) << "the root of all libraries stays";
}

TEST_F(ComTest, LibrariesThatCannotBeLoadedRegisterNothing)
{
    const std::string broken = WriteFile("com_test_broken.idl", "[uuid(1E18CB43)] library L {};");
    const std::string withBom =
        WriteFile("com_test_bom.idl", std::string("\xEF\xBB\xBF") + kSampleIdl);
    const struct {
        std::string path;
        REGKIND kind;
        HRESULT expected;
    } cases[] = {
        {"/nonexistent/Kaldprop.dll", REGKIND_REGISTER, TYPE_E_CANTLOADLIBRARY},
        {COM_TEST_SERVER_PATH, REGKIND_REGISTER, TYPE_E_CANTLOADLIBRARY}, // no TYPELIB resource
        {broken, REGKIND_REGISTER, TYPE_E_INVDATAREAD},
        {withBom, REGKIND_NONE, S_OK},
        {"", REGKIND_REGISTER, E_INVALIDARG},
    };
    for (const auto& c : cases) {
        ITypeLib* library = reinterpret_cast<ITypeLib*>(uintptr_t(1));
        EXPECT_EQ(LoadTypeLibEx(Wide(c.path).c_str(), c.kind, &library), c.expected) << c.path;
        if (c.expected == S_OK) {
            ASSERT_NE(library, nullptr);
            library->Release();
        } else {
            EXPECT_EQ(library, nullptr) << c.path;
        }
        EXPECT_FALSE(KeyExists("TypeLib")) << c.path;
        EXPECT_EQ(OpenWin32Handles().modules, 0u) << c.path << ": a module it loaded is freed";
    }
    EXPECT_EQ(LoadTypeLib(nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(RegisterTypeLib(nullptr, nullptr, nullptr), E_INVALIDARG);
}

} // namespace
