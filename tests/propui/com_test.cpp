// Kaldprop's COM class library: class factories and the module lock count,
// objects alone and aggregated, and the property-page base with its page
// site and, over a small resource module, its dialog window.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "com_module.h"
#include "kald_host/host_kernel.h"
#include "kald_host/host_win32.h"
#include "property_page.h"

namespace {

using namespace kald::host;

// {6A1E0C57-3B9D-4E21-9F0A-1C2D3E4F5A6B}: the test page's class.
const CLSID kTestClsid = {0x6A1E0C57, 0x3B9D, 0x4E21, {0x9F, 0x0A, 0x1C, 0x2D, 0x3E, 0x4F, 0x5A, 0x6B}};
// {6A1E0C57-3B9D-4E21-9F0A-1C2D3E4F5A6C}: a class the module does not have.
const CLSID kOtherClsid = {0x6A1E0C57, 0x3B9D, 0x4E21, {0x9F, 0x0A, 0x1C, 0x2D, 0x3E, 0x4F, 0x5A, 0x6C}};

// In the test resource module: the title string, a 235 x 252 DLU
// DIALOGEX page, a 100 x 50 DLU plain DIALOG page, and REGISTRY scripts.
constexpr UINT kTitleId = 100;
constexpr UINT kDialogId = 200;
constexpr UINT kPlainDialogId = 201;
constexpr UINT kMissingId = 299;
constexpr UINT kFirstScript = 150;
constexpr UINT kSecondScript = 151;
constexpr UINT kBrokenScript = 152;

// A page that records what reaches its dialog procedure.
class TestPage : public PropertyPage {
  public:
    explicit TestPage(UINT Dialog = kDialogId, UINT Title = kTitleId) : PropertyPage(Title, Dialog) { ++Live; }
    ~TestPage() override { --Live; }

    HRESULT FinalConstruct() override { return NextConstruct; }

    HWND Window() const { return PageWindow; }
    IPropertyPageSite* Site() const { return PageSite; }

    static int Live;
    static HRESULT NextConstruct;
    std::vector<UINT> Messages;
    HWND WindowAtInit = nullptr;

  protected:
    INT_PTR OnMessage(UINT Message, WPARAM, LPARAM) override
    {
        Messages.push_back(Message);
        if (Message == WM_INITDIALOG) {
            WindowAtInit = PageWindow;
        }
        return FALSE;
    }
};
// Pages on the plain template, and on templates and titles that do not
// exist.
class PlainTemplatePage : public TestPage {
  public:
    PlainTemplatePage() : TestPage(kPlainDialogId) {}
};
class MissingDialogPage : public TestPage {
  public:
    MissingDialogPage() : TestPage(kMissingId) {}
};
class MissingTitlePage : public TestPage {
  public:
    MissingTitlePage() : TestPage(kDialogId, kMissingId) {}
};

int TestPage::Live = 0;
HRESULT TestPage::NextConstruct = S_OK;

const ObjectEntry kMap[] = {
    {&kTestClsid, CreateObject<TestPage>, 150},
};

// An outer object that aggregates one inner object and counts the calls
// that reach its own IUnknown.
class CountingOuter : public IUnknown {
  public:
    virtual ~CountingOuter() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID Riid, void** Object) override
    {
        ++QueryCalls;
        if (SameGuid(Riid, IID_IUnknown)) {
            *Object = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return Inner != nullptr ? Inner->QueryInterface(Riid, Object) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++References); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--References); }

    IUnknown* Inner = nullptr;
    int QueryCalls = 0;
    int References = 1;
};

// A page site that records the status changes it is told.
class RecordingSite : public IPropertyPageSite {
  public:
    virtual ~RecordingSite() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** Object) override
    {
        *Object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++References); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--References); }
    HRESULT STDMETHODCALLTYPE OnStatusChange(DWORD Flags) override
    {
        Changes.push_back(Flags);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* Locale) override
    {
        *Locale = 0x409;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPageContainer(IUnknown** Container) override
    {
        *Container = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG*) override { return S_FALSE; }

    int References = 1;
    std::vector<DWORD> Changes;
};

class ComTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetWin32();
        TestPage::Live = 0;
        TestPage::NextConstruct = S_OK;
        Module.Init(kMap, 1, nullptr);
    }
    void TearDown() override
    {
        EXPECT_EQ(TestPage::Live, 0) << "an object outlived its last reference";
        EXPECT_EQ(Module.LockCount(), 0);
        Module.Term();
        ResetWin32();
    }

    IClassFactory* Factory()
    {
        IClassFactory* factory = nullptr;
        EXPECT_EQ(Module.GetClassObject(kTestClsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
        return factory;
    }

    // A page made alone through the class factory.
    TestPage* NewPage()
    {
        IClassFactory* factory = Factory();
        IPropertyPage* page = nullptr;
        EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
        factory->Release();
        return static_cast<TestPage*>(page);
    }
};

TEST_F(ComTest, ObjectsAndFactoriesHoldTheModuleUntilTheirLastRelease)
{
    IClassFactory* factory = Factory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(Module.LockCount(), 1);
    EXPECT_EQ(Module.CanUnloadNow(), S_FALSE);

    IPropertyPage* page = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(TestPage::Live, 1);
    factory->Release();
    EXPECT_EQ(Module.LockCount(), 1) << "the page alone holds the module";
    EXPECT_EQ(Module.CanUnloadNow(), S_FALSE);

    // One identity: IUnknown from any interface is the same pointer.
    IUnknown* first = nullptr;
    IUnknown* second = nullptr;
    ASSERT_EQ(page->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&first)), S_OK);
    IPropertyPage* again = nullptr;
    ASSERT_EQ(first->QueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, page);
    ASSERT_EQ(again->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&second)), S_OK);
    EXPECT_EQ(first, second);

    second->Release();
    again->Release();
    first->Release();
    EXPECT_EQ(TestPage::Live, 1);
    EXPECT_EQ(page->Release(), 0u);
    EXPECT_EQ(TestPage::Live, 0);
    EXPECT_EQ(Module.LockCount(), 0);
    EXPECT_EQ(Module.CanUnloadNow(), S_OK);
}

TEST_F(ComTest, RequestsThatCannotBeServedFailWithTheirErrorAndLeaveNothingAlive)
{
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(Module.GetClassObject(kOtherClsid, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(Module.GetClassObject(kTestClsid, IID_IPropertyPage, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(Module.GetClassObject(kTestClsid, IID_IClassFactory, nullptr), E_POINTER);

    IClassFactory* factory = Factory();
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, nullptr), E_POINTER);

    TestPage::NextConstruct = E_ACCESSDENIED;
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, &object), E_ACCESSDENIED);
    EXPECT_EQ(object, nullptr);
    TestPage::NextConstruct = S_OK;

    EXPECT_EQ(TestPage::Live, 0);
    factory->Release();

    // A module that was never given a map serves no class.
    Module.Term();
    EXPECT_EQ(Module.GetClassObject(kTestClsid, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
    Module.Init(kMap, 1, nullptr);
}

TEST_F(ComTest, LockServerKeepsTheModuleAndAnUnbalancedUnlockDoesNotGoBelowZero)
{
    IClassFactory* factory = Factory();
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(Module.LockCount(), 1);
    EXPECT_EQ(Module.CanUnloadNow(), S_FALSE);

    factory = Factory();
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK); // one more than was taken
    factory->Release();
    EXPECT_EQ(Module.LockCount(), 0);
    EXPECT_EQ(Module.CanUnloadNow(), S_OK);
    // The next lock is counted from zero, not from below.
    EXPECT_EQ(Module.Lock(), 1);
    EXPECT_EQ(Module.CanUnloadNow(), S_FALSE);
    EXPECT_EQ(Module.Unlock(), 0);
}

TEST_F(ComTest, AggregatedObjectDelegatesToTheOuterAndLivesByItsInnerUnknown)
{
    CountingOuter outer;
    IClassFactory* factory = Factory();

    // An outer object may only ask for the inner unknown.
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IPropertyPage, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(TestPage::Live, 0);
    EXPECT_EQ(Module.LockCount(), 1) << "only the factory";

    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    factory->Release();
    ASSERT_NE(inner, nullptr);
    EXPECT_NE(inner, static_cast<IUnknown*>(&outer));
    outer.Inner = inner;
    EXPECT_EQ(outer.References, 1) << "creation does not count on the outer object";
    EXPECT_EQ(outer.QueryCalls, 0);

    // The inner unknown answers itself for IUnknown.
    IUnknown* innerAgain = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&innerAgain)), S_OK);
    EXPECT_EQ(innerAgain, inner);
    innerAgain->Release();

    // The page interface counts on the outer object.
    IPropertyPage* page = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
    EXPECT_EQ(outer.References, 2);
    page->AddRef();
    EXPECT_EQ(outer.References, 3);
    page->Release();
    page->Release();
    EXPECT_EQ(outer.References, 1);
    EXPECT_EQ(TestPage::Live, 1);

    // Its QueryInterface goes to the outer object, whose identity it has.
    IUnknown* identity = nullptr;
    ASSERT_EQ(page->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    EXPECT_EQ(outer.QueryCalls, 1);
    identity->Release();
    IPropertyPage* viaOuter = nullptr;
    ASSERT_EQ(page->QueryInterface(IID_IPropertyPage, reinterpret_cast<void**>(&viaOuter)), S_OK);
    EXPECT_EQ(viaOuter, page);
    EXPECT_EQ(outer.QueryCalls, 2);
    viaOuter->Release();
    EXPECT_EQ(outer.References, 1);

    // The outer object's release of the inner unknown ends the page.
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(TestPage::Live, 0);
    EXPECT_EQ(Module.LockCount(), 0);
}

TEST_F(ComTest, DirtyStateReachesTheSiteOnlyWhenItChanges)
{
    TestPage* page = NewPage();
    RecordingSite site;
    ASSERT_EQ(page->SetPageSite(&site), S_OK);
    EXPECT_EQ(site.References, 2);
    EXPECT_EQ(page->IsPageDirty(), S_FALSE);

    page->SetDirty(TRUE);
    page->SetDirty(TRUE);
    EXPECT_EQ(page->IsPageDirty(), S_OK);
    EXPECT_TRUE(page->IsDirty());
    // The pages mark changes through the shared change flag.
    MarkChanged(TRUE, *page);
    ASSERT_EQ(site.Changes, std::vector<DWORD>{PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE});

    EXPECT_EQ(page->Apply(), S_OK);
    EXPECT_EQ(page->IsPageDirty(), S_FALSE);
    EXPECT_EQ(page->Apply(), S_OK);
    const std::vector<DWORD> changes = {PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE, 0};
    EXPECT_EQ(site.Changes, changes);
    SettingsChanged = FALSE;

    // Without a site the state still changes; the site's reference is gone.
    ASSERT_EQ(page->SetPageSite(nullptr), S_OK);
    EXPECT_EQ(site.References, 1);
    page->SetDirty(TRUE);
    EXPECT_EQ(page->IsPageDirty(), S_OK);
    EXPECT_EQ(site.Changes, changes);

    // A page released with its site set lets the site go.
    page->SetPageSite(&site);
    EXPECT_EQ(site.References, 2);
    page->Release();
    EXPECT_EQ(site.References, 1);
}

TEST_F(ComTest, PageMethodsWithoutAWindowOrWithBadArgumentsRefuse)
{
    TestPage* page = NewPage();
    RECT rect = {0, 0, 10, 10};
    EXPECT_EQ(page->Help(nullptr), E_NOTIMPL);
    EXPECT_EQ(page->TranslateAccelerator(nullptr), S_FALSE);
    EXPECT_EQ(page->SetObjects(0, nullptr), S_OK);
    IUnknown* objects[1] = {page};
    EXPECT_EQ(page->SetObjects(1, objects), S_OK);
    EXPECT_EQ(page->SetObjects(1, nullptr), E_POINTER);
    EXPECT_EQ(page->Show(SW_SHOW), E_UNEXPECTED);
    EXPECT_EQ(page->Move(&rect), E_UNEXPECTED);
    EXPECT_EQ(page->Move(nullptr), E_POINTER);
    EXPECT_EQ(page->Deactivate(), E_UNEXPECTED);
    EXPECT_EQ(page->Activate(nullptr, nullptr, TRUE), E_POINTER);
    EXPECT_EQ(page->GetPageInfo(nullptr), E_POINTER);
    EXPECT_EQ(page->Release(), 0u) << "SetObjects kept a reference";
}

// The same over the test resource module, which holds the dialogs, the
// title and the registry scripts.
class PageWindowTest : public ComTest {
  protected:
    void SetUp() override
    {
        ComTest::SetUp();
        RegistryClear();
        resources = LoadLibraryA(KALD_COM_TEST_RESOURCES);
        ASSERT_NE(resources, nullptr) << KALD_COM_TEST_RESOURCES;
        Module.Init(kMap, 1, resources);
        windowsBefore = OpenWindowCount();
    }
    void TearDown() override
    {
        EXPECT_EQ(OpenWindowCount(), windowsBefore) << "a window left behind";
        if (resources != nullptr) {
            FreeLibrary(resources);
        }
        ComTest::TearDown();
        RegistryClear();
    }

    template <class T>
    T* New()
    {
        IPropertyPage* page = nullptr;
        EXPECT_EQ(CreateObject<T>(nullptr, IID_IPropertyPage, reinterpret_cast<void**>(&page)), S_OK);
        return static_cast<T*>(page);
    }

    // The default string value of a key of HKEY_CLASSES_ROOT, or "<none>".
    static std::string ClassesValue(const std::string& Key, const char* Name = nullptr)
    {
        char data[1024] = {};
        DWORD size = sizeof(data);
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, Key.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return "<none>";
        }
        const LONG error = RegQueryValueExA(key, Name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
        RegCloseKey(key);
        return error == ERROR_SUCCESS ? std::string(data) : "<none>";
    }
    static bool ClassesKeyExists(const std::string& Key)
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, Key.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return false;
        }
        RegCloseKey(key);
        return true;
    }

    std::string ModulePath()
    {
        char path[1024] = {};
        EXPECT_NE(GetModuleFileNameA(resources, path, sizeof(path)), 0u);
        return path;
    }

    HMODULE resources = nullptr;
    size_t windowsBefore = 0;
};

TEST_F(PageWindowTest, ActivateMakesThePageWindowAndDeactivateDestroysIt)
{
    // The property frame: a top-level dialog window.
    HWND frame = CreateWindowExA(0, "#32770", "Frame", WS_POPUP, 0, 0, 400, 400, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(frame, nullptr);
    TestPage* page = New<TestPage>();
    const RECT rect = {10, 20, 110, 220};
    ASSERT_EQ(page->Activate(frame, &rect, TRUE), S_OK);
    HWND window = page->Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(page->WindowAtInit, window) << "PageWindow is set when WM_INITDIALOG arrives";
    EXPECT_NE(std::find(page->Messages.begin(), page->Messages.end(), WM_INITDIALOG), page->Messages.end());
    EXPECT_EQ(GetParent(window), frame);
    const std::vector<ControlInfo> children = DescribeChildren(frame);
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].window, window);
    EXPECT_EQ(children[0].rect.left, 10);
    EXPECT_EQ(children[0].rect.top, 20);
    EXPECT_EQ(children[0].rect.right, 110);
    EXPECT_EQ(children[0].rect.bottom, 220);
    EXPECT_EQ(page->Activate(frame, &rect, TRUE), E_UNEXPECTED) << "already active";

    EXPECT_EQ(page->Show(SW_SHOW), S_OK);
    EXPECT_TRUE(DescribeChildren(frame)[0].visible);
    EXPECT_EQ(page->Show(SW_HIDE), S_OK);
    EXPECT_FALSE(DescribeChildren(frame)[0].visible);
    const RECT moved = {5, 6, 55, 66};
    EXPECT_EQ(page->Move(&moved), S_OK);
    EXPECT_EQ(DescribeChildren(frame)[0].rect.right, 55);
    EXPECT_EQ(DescribeChildren(frame)[0].rect.bottom, 66);

    ASSERT_EQ(page->Deactivate(), S_OK);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(page->Window(), nullptr);
    EXPECT_NE(std::find(page->Messages.begin(), page->Messages.end(), WM_DESTROY), page->Messages.end());
    EXPECT_EQ(page->Deactivate(), E_UNEXPECTED);

    // A page released while its window is up takes the window along.
    ASSERT_EQ(page->Activate(frame, &rect, TRUE), S_OK);
    window = page->Window();
    ASSERT_TRUE(IsWindow(window));
    page->Release();
    EXPECT_FALSE(IsWindow(window));
    DestroyWindow(frame);
}

TEST_F(PageWindowTest, PageWindowsAreMadeFromTheResourceInstance)
{
    // The DLL's own instance has no dialogs in this test; a language
    // library does.
    Module.ResourceInstance = nullptr;
    TestPage* page = New<TestPage>();
    const RECT rect = {0, 0, 10, 10};
    EXPECT_TRUE(FAILED(page->Activate(nullptr, &rect, TRUE)));
    EXPECT_EQ(page->Window(), nullptr);
    Module.ResourceInstance = resources;
    HWND frame = CreateWindowExA(0, "#32770", "Frame", WS_POPUP, 0, 0, 400, 400, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(frame, nullptr);
    ASSERT_EQ(page->Activate(frame, &rect, TRUE), S_OK);
    EXPECT_EQ(page->Deactivate(), S_OK);
    page->Release();
    DestroyWindow(frame);

    MissingDialogPage* missing = New<MissingDialogPage>();
    EXPECT_TRUE(FAILED(missing->Activate(nullptr, &rect, TRUE)));
    EXPECT_EQ(missing->Window(), nullptr);
    PROPPAGEINFO info = {};
    EXPECT_TRUE(FAILED(missing->GetPageInfo(&info)));
    EXPECT_EQ(info.pszTitle, nullptr);
    missing->Release();
}

TEST_F(PageWindowTest, PageInfoGivesTheTitleAndTheTemplateSizeInPixels)
{
    // The page is measured as a child of the desktop window.
    HWND probe = CreateWindowExA(0, "#32770", "", WS_CHILD, 0, 0, 1, 1, GetDesktopWindow(), nullptr, nullptr, nullptr);
    if (probe == nullptr) {
        GTEST_SKIP() << "the window layer does not make children of the desktop window";
    }
    DestroyWindow(probe);
    struct Case {
        const char* what;
        IPropertyPage* page;
        const wchar_t* title;
        LONG cx, cy;
    };
    // 8-point dialogs have base units 6 x 13: 235 x 252 DLUs are
    // 235 * 6 / 4 = 352.5 -> 353 by 252 * 13 / 8 = 409.5 -> 410 pixels,
    // 100 x 50 DLUs are 150 by 81.25 -> 81.
    const Case cases[] = {
        {"extended template", New<TestPage>(), L"Test Page Title", 353, 410},
        {"plain template", New<PlainTemplatePage>(), L"Test Page Title", 150, 81},
        {"missing title", New<MissingTitlePage>(), L"", 353, 410},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PROPPAGEINFO info;
        std::memset(&info, 0xCD, sizeof(info));
        const HRESULT result = c.page->GetPageInfo(&info);
        EXPECT_EQ(result, S_OK);
        if (result == S_OK) {
            EXPECT_EQ(info.cb, sizeof(PROPPAGEINFO));
            EXPECT_EQ(std::wstring(info.pszTitle), std::wstring(c.title));
            EXPECT_EQ(info.size.cx, c.cx);
            EXPECT_EQ(info.size.cy, c.cy);
            EXPECT_EQ(info.pszDocString, nullptr);
            EXPECT_EQ(info.pszHelpFile, nullptr);
            EXPECT_EQ(info.dwHelpContext, 0u);
            CoTaskMemFree(info.pszTitle);
        }
        EXPECT_EQ(OpenWindowCount(), windowsBefore) << "the measuring dialog is gone";
        c.page->Release();
    }
}

TEST_F(PageWindowTest, RegisterServerRunsEveryScriptWithTheModulePathAndRegistersTheTypeLibrary)
{
    const ObjectEntry map[] = {
        {&kTestClsid, CreateObject<TestPage>, kFirstScript},
        {&kOtherClsid, CreateObject<TestPage>, kSecondScript},
    };
    Module.Init(map, 2, resources);
    const std::string first = "CLSID\\{6A1E0C57-3B9D-4E21-9F0A-1C2D3E4F5A6B}";
    const std::string second = "CLSID\\{6A1E0C57-3B9D-4E21-9F0A-1C2D3E4F5A6C}";
    const std::string library = "TypeLib\\{6A1E0C57-3B9D-4E21-9F0A-1C2D3E4F5A70}\\1.0";

    ASSERT_EQ(Module.RegisterServer(TRUE), S_OK);
    EXPECT_EQ(ClassesValue(first), "First Test Class");
    EXPECT_EQ(ClassesValue(first + "\\InprocServer32"), ModulePath());
    EXPECT_EQ(ClassesValue(first + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(ClassesValue(second + "\\InprocServer32"), ModulePath());
    EXPECT_TRUE(ClassesKeyExists(library));

    ASSERT_EQ(Module.UnregisterServer(), S_OK);
    EXPECT_FALSE(ClassesKeyExists(first));
    EXPECT_FALSE(ClassesKeyExists(second));
    EXPECT_TRUE(ClassesKeyExists("CLSID"));
    EXPECT_TRUE(ClassesKeyExists(library)) << "the type library stays registered";
    Module.Init(kMap, 1, resources);
}

TEST_F(PageWindowTest, RegisterServerStopsAtTheFirstFailingScript)
{
    const std::string first = "CLSID\\{6A1E0C57-3B9D-4E21-9F0A-1C2D3E4F5A6B}";
    const std::string second = "CLSID\\{6A1E0C57-3B9D-4E21-9F0A-1C2D3E4F5A6C}";
    const struct {
        const char* what;
        UINT failing;
        bool win32;
    } cases[] = {
        {"malformed script", kBrokenScript, false},
        {"missing script", kMissingId, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryClear();
        const ObjectEntry map[] = {
            {&kTestClsid, CreateObject<TestPage>, kFirstScript},
            {&kTestClsid, CreateObject<TestPage>, c.failing},
            {&kOtherClsid, CreateObject<TestPage>, kSecondScript},
        };
        Module.Init(map, 3, resources);
        const HRESULT result = Module.RegisterServer(TRUE);
        if (c.win32) {
            EXPECT_TRUE(FAILED(result));
            EXPECT_EQ(HRESULT_FACILITY(result), FACILITY_WIN32) << std::hex << result;
        } else {
            EXPECT_EQ(result, DISP_E_EXCEPTION);
        }
        EXPECT_TRUE(ClassesKeyExists(first));
        EXPECT_FALSE(ClassesKeyExists(second)) << "no script runs after the failure";
        EXPECT_FALSE(ClassesKeyExists("TypeLib")) << "nor the type library";

        // Unregistering goes through every script and reports the failure.
        ASSERT_EQ(Module.RegisterServer(FALSE), result);
        EXPECT_EQ(Module.UnregisterServer(), result);
        EXPECT_FALSE(ClassesKeyExists(first));
    }
    Module.Init(kMap, 1, resources);
}

} // namespace
