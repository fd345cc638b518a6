// The property pages as a capture application uses them: Kaldprop loaded as
// an in-process server, registered, the pages created through their class
// factories, activated in a frame window and driven only by the window
// messages a user's actions produce, against the real driver and the
// simulated camera.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "device.h"
#include "driver_fixture.h"
#include "kald_host/host_device.h"
#include "kald_host/host_kernel.h"
#include "kald_host/host_win32.h"
#include "kald_sim/camera.h"
#include "propui_platform.h"
#include "resource.h"

namespace {

using namespace kald::host;
namespace fs = std::filesystem;

const CLSID kSourcePage = {
    0x895FE2B2, 0x9FD1, 0x48D1, {0x86, 0x67, 0x56, 0xF4, 0x66, 0x43, 0x59, 0xE8}};
const CLSID kAdvancedPage = {
    0xADEA9699, 0xF86F, 0x4D68, {0xA0, 0x28, 0xA2, 0xDD, 0x13, 0x71, 0xB8, 0xA9}};
const CLSID kTestPage = {
    0xF5541056, 0xF5DF, 0x45D9, {0xB4, 0x68, 0x68, 0xCE, 0xF9, 0x16, 0x88, 0xCE}};

using ServerFunction = HRESULT(WINAPI*)();
using GetClassObjectFunction = HRESULT(WINAPI*)(REFCLSID, REFIID, LPVOID*);

// An export of `module` as the function type it has.
template <class Function>
Function Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The page site of a property frame: counts the status changes a page
// reports.
class FrameSite : public IPropertyPageSite {
  public:
    virtual ~FrameSite() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IPropertyPageSite)) {
            *object = static_cast<IPropertyPageSite*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE OnStatusChange(DWORD flags) override
    {
        statusChanges.push_back(flags);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* locale) override
    {
        *locale = 0x409;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPageContainer(IUnknown** container) override
    {
        *container = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG*) override { return S_FALSE; }

    ULONG references = 0;
    std::vector<DWORD> statusChanges;
};

// One page as a property frame shows it: created, given its site,
// activated in a frame window of its own and shown.
struct ShownPage {
    IPropertyPage* page = nullptr;
    FrameSite site;
    HWND frame = nullptr;
    HWND window = nullptr;

    HWND Item(int id) const { return GetDlgItem(window, id); }
    ControlInfo Control(int id) const
    {
        for (const ControlInfo& control : DescribeChildren(window)) {
            if (control.id == id) {
                return control;
            }
        }
        ADD_FAILURE() << "no control " << id;
        return {};
    }
    std::string Text(int id) const { return Control(id).text; }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    int Check(int id) const { return static_cast<int>(IsDlgButtonChecked(window, id)); }
    int Position(int id) const
    {
        return static_cast<int>(SendMessageA(Item(id), TBM_GETPOS, 0, 0));
    }
    bool Dirty() const { return page->IsPageDirty() == S_OK; }
    // A user's click and drag, with the messages they queue handled as the
    // message loop would.
    void Click(int id) const
    {
        ClickControl(Item(id));
        PumpMessages();
    }
    void Drag(int id, const std::vector<int>& positions) const
    {
        DragTrackbar(Item(id), positions);
        PumpMessages();
    }
    // What a repaint of the page does: the background is erased again.
    void Repaint() const
    {
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE);
        PumpMessages();
    }
};

class PagesTest : public DriverFixture {
  protected:
    void SetUp() override
    {
        DriverFixture::SetUp();
        published = PublishCamera(*hostDevice);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
    }

    void TearDown() override
    {
        for (auto& shown : pages) {
            Close(*shown);
        }
        pages.clear();
        CoFreeUnusedLibraries();
        if (module != nullptr) {
            FreeLibrary(module);
        }
        CoUninitialize();
        EXPECT_EQ(LoadedComServers(), 0u);
        EXPECT_EQ(ComTaskMemoryOutstanding(), 0u);
        EXPECT_EQ(OpenWindowCount(), 0u);
        TearDownDevice();
    }

    // Loads the module as an installer would and registers it.
    void Register()
    {
        if (module == nullptr) {
            module = LoadLibraryA(KALDPROP_MODULE);
            ASSERT_NE(module, nullptr);
        }
        auto registerServer =
            Export<ServerFunction>(module, "DllRegisterServer");
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), S_OK);
    }

    ShownPage& Open(const CLSID& clsid, bool expectCamera = true)
    {
        if (module == nullptr) {
            Register();
        }
        auto shown = std::make_unique<ShownPage>();
        void* object = nullptr;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                   &object),
                  S_OK);
        shown->page = static_cast<IPropertyPage*>(object);
        if (shown->page == nullptr) {
            ADD_FAILURE() << "no page";
            pages.push_back(std::move(shown));
            return *pages.back();
        }
        EXPECT_EQ(shown->page->SetPageSite(&shown->site), S_OK);
        shown->frame = CreateWindowExA(0, "Static", "Properties", WS_POPUP | WS_VISIBLE, 0, 0,
                                       420, 480, nullptr, nullptr, nullptr, nullptr);
        const RECT rect{6, 24, 6 + 353, 24 + 410};
        EXPECT_EQ(shown->page->Activate(shown->frame, &rect, FALSE), S_OK);
        EXPECT_EQ(shown->page->Show(SW_SHOW), S_OK);
        shown->window = GetWindow(shown->frame, GW_CHILD);
        EXPECT_NE(shown->window, nullptr);
        PumpMessages();
        if (expectCamera) {
            EXPECT_TRUE(MessageBoxes().empty());
        }
        pages.push_back(std::move(shown));
        return *pages.back();
    }

    void Close(ShownPage& shown)
    {
        if (shown.page == nullptr) {
            return;
        }
        shown.page->Show(SW_HIDE);
        shown.page->Deactivate();
        shown.page->SetPageSite(nullptr);
        shown.page->Release();
        shown.page = nullptr;
        DestroyWindow(shown.frame);
        PumpMessages();
    }

    void CloseAll()
    {
        for (auto& shown : pages) {
            Close(*shown);
        }
    }

    InterfacePublication published;
    HMODULE module = nullptr;
    std::vector<std::unique_ptr<ShownPage>> pages;
};

// Every key below `path` of HKEY_CLASSES_ROOT with its values, as
// "key" -> {"name" -> "string value"}; the default value is named "@".
using KeyDump = std::map<std::string, std::map<std::string, std::string>>;

void DumpKey(HKEY parent, const std::string& path, KeyDump& out)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    auto& values = out[path];
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name;
        BYTE data[1024];
        DWORD dataLength = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &dataLength) !=
            ERROR_SUCCESS) {
            break;
        }
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ)) << path << " " << name;
        values[nameLength == 0 ? "@" : name] =
            std::string(reinterpret_cast<char*>(data), strnlen(reinterpret_cast<char*>(data),
                                                               dataLength));
    }
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        children.push_back(name);
    }
    RegCloseKey(key);
    for (const std::string& child : children) {
        DumpKey(parent, path + "\\" + child, out);
    }
}

KeyDump ClassKeys()
{
    KeyDump out;
    for (const char* root : {"SourcePage.SourcePage.1", "SourcePage.SourcePage",
                             "AdvancedPage.AdvancedPage.1", "AdvancedPage.AdvancedPage",
                             "TestPage.TestPage.1", "TestPage.TestPage", "CLSID", "TypeLib"}) {
        DumpKey(HKEY_CLASSES_ROOT, root, out);
    }
    return out;
}

bool KeyExists(const std::string& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

} // namespace

namespace {

constexpr DWORD kChildVisible = WS_CHILD | WS_VISIBLE;
constexpr DWORD kLabel = kChildVisible | SS_LEFT | WS_GROUP;
constexpr DWORD kCentred = kChildVisible | SS_CENTER | WS_GROUP;
constexpr DWORD kSlider = kChildVisible | TBS_AUTOTICKS | WS_TABSTOP;
constexpr DWORD kCheckBox = kChildVisible | BS_AUTOCHECKBOX | WS_TABSTOP;
constexpr DWORD kRadio = kChildVisible | BS_AUTORADIOBUTTON;
constexpr DWORD kButton = kChildVisible | BS_PUSHBUTTON | WS_TABSTOP;
constexpr DWORD kGroupBox = kChildVisible | BS_GROUPBOX;

// One control of a page dialog as its template gives it, in dialog units;
// a null text is one the page rewrites.
struct TemplateControl {
    int id;
    const char* className;
    const char* text;
    DWORD style;
    int x, y, cx, cy;
};

// Dialog units to pixels for the pages' font: 6 x 13 pixels per 4 x 8 units.
LONG PixelsX(int units)
{
    return MulDiv(units, 6, 4);
}
LONG PixelsY(int units)
{
    return MulDiv(units, 13, 8);
}

void ExpectLayout(const ShownPage& shown, const std::vector<TemplateControl>& expected)
{
    const std::vector<ControlInfo> controls = DescribeChildren(shown.window);
    ASSERT_EQ(controls.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const TemplateControl& want = expected[i];
        const ControlInfo& got = controls[i];
        SCOPED_TRACE("control " + std::to_string(i) + " id " + std::to_string(want.id));
        EXPECT_EQ(got.id, want.id);
        EXPECT_EQ(got.className, want.className);
        if (want.text != nullptr) {
            EXPECT_EQ(got.text, want.text);
        }
        EXPECT_EQ(got.style & ~static_cast<DWORD>(WS_DISABLED), want.style);
        EXPECT_EQ(got.rect.left, PixelsX(want.x));
        EXPECT_EQ(got.rect.top, PixelsY(want.y));
        EXPECT_EQ(got.rect.right - got.rect.left, PixelsX(want.cx));
        EXPECT_EQ(got.rect.bottom - got.rect.top, PixelsY(want.cy));
    }
}

const char kTrackbar[] = "msctls_trackbar32";

} // namespace

TEST_F(PagesTest, DialogsAreLaidOutAsDesigned)
{
    ExpectLayout(Open(kSourcePage),
                 {
                     {-1, "Button", "Picture Controls", kGroupBox, 16, 32, 203, 205},
                     {1007, "Static", "&Saturation", kLabel, 27, 47, 113, 8},
                     {1001, kTrackbar, "Slider1", kSlider, 27, 55, 182, 11},
                     {1008, "Static", "Shar&pness", kLabel, 27, 70, 115, 8},
                     {1002, kTrackbar, "Slider1", kSlider, 27, 78, 182, 11},
                     {1009, "Static", "&Brightness", kLabel, 27, 93, 115, 8},
                     {1000, kTrackbar, "Slider1", kSlider, 27, 101, 182, 11},
                     {1010, "Static", "&White Balance", kLabel, 27, 116, 116, 8},
                     {1003, kTrackbar, "Slider1", kSlider, 27, 124, 182, 11},
                     {1006, "Static", "H&ue", kLabel, 27, 139, 116, 8},
                     {1004, kTrackbar, "Slider1", kSlider, 27, 147, 182, 11},
                     {1012, "Button", "Automatic &Color", kCheckBox, 31, 178, 120, 11},
                     {1014, "Button", "&Exposure Lock", kCheckBox, 31, 195, 110, 10},
                     {1005, "Button", "Restore &Defaults", kButton, 46, 215, 63, 14},
                     {-1, "Static", "0", kCentred, 114, 165, 8, 8},
                     {-1, "Static", "-", kCentred, 80, 165, 8, 8},
                     {-1, "Static", "+", kCentred, 149, 165, 8, 8},
                     {1011, "Static", "Vexal(r) PC Camera RV310", kCentred | WS_BORDER, 65, 13,
                      105, 12},
                     {1013, "Button", "&Help...", kButton, 134, 215, 50, 14},
                 });
    ExpectLayout(
        Open(kAdvancedPage),
        {
            {-1, "Button", "Flicker Adjustment", kGroupBox, 7, 15, 221, 165},
            {-1, "Static",
             "Fluorescent lights run at different frequencies in different countries.  If the "
             "camera is not synchronized with the lights, the image may flicker. To correct "
             "this flicker, answer the following questions:",
             kLabel, 15, 28, 206, 37},
            {-1, "Static", "Do you use fluorescent lighting?", kLabel, 15, 71, 166, 10},
            {1019, "Button", "Yes", kRadio, 39, 84, 46, 10},
            {1018, "Button", "No", kRadio, 106, 84, 53, 10},
            {-1, "Static", "Are you in North America?", kLabel, 16, 101, 122, 11},
            {1016, "Button", "Yes (60 Hz)", kRadio, 39, 114, 67, 10},
            {1015, "Button", "No (50 Hz)", kRadio, 106, 114, 77, 10},
            {1017, "Button", "Restore &Defaults", kButton, 39, 149, 73, 14},
            {1020, "Button", "&Help", kButton, 131, 149, 63, 14},
        });
    ExpectLayout(Open(kTestPage),
                 {
                     {1035, "Static", nullptr, kLabel, 27, 22, 64, 8},
                     {1036, kTrackbar, "Slider1", kSlider, 27, 30, 87, 11},
                     {1037, "Static", nullptr, kLabel, 123, 22, 64, 8},
                     {1038, kTrackbar, "Slider1", kSlider, 123, 30, 87, 11},
                     {1053, "Static", nullptr, kLabel, 27, 47, 87, 8},
                     {1054, kTrackbar, "Slider1", kSlider, 27, 55, 87, 11},
                     {1055, "Static", nullptr, kLabel, 123, 47, 64, 8},
                     {1056, kTrackbar, "Slider1", kSlider, 123, 55, 87, 11},
                     {1039, "Static", nullptr, kLabel, 27, 72, 182, 8},
                     {1040, kTrackbar, "Slider1", kSlider, 27, 80, 182, 11},
                     {1041, "Static", nullptr, kLabel, 27, 97, 182, 8},
                     {1042, kTrackbar, "Slider1", kSlider, 27, 105, 182, 11},
                     {1044, "Static", nullptr, kLabel, 27, 122, 99, 8},
                     {1043, kTrackbar, "Slider1", kSlider, 27, 130, 142, 11},
                     {1057, "Button", "DP&C", kCheckBox, 175, 130, 34, 11},
                     {1045, "Static", nullptr, kLabel, 27, 147, 182, 8},
                     {1046, kTrackbar, "Slider1", kSlider, 27, 155, 142, 11},
                     {1049, "Button", "&Fixed", kCheckBox, 175, 155, 34, 11},
                     {1047, "Static", nullptr, kLabel, 27, 172, 182, 8},
                     {1048, kTrackbar, "Slider1", kSlider, 27, 180, 142, 11},
                     {1050, "Button", "Fi&xed", kCheckBox, 175, 180, 34, 11},
                     {1034, "Button", "C&ompression", kCheckBox, 32, 197, 56, 10},
                     {1051, "Button", "&Frame Error", kCheckBox, 94, 197, 51, 10},
                     {1052, "Button", "&Packet Error", kButton, 153, 195, 50, 14},
                     {1033, "Button", "Restore &Defaults", kButton, 46, 215, 63, 14},
                     {1032, "Button", "&Help...", kButton, 134, 215, 50, 14},
                     {-1, "Button", "Test Controls", kGroupBox, 16, 7, 203, 230},
                 });
}

TEST_F(PagesTest, PageInfoGivesTitleAndPixelSize)
{
    Register();
    struct Case {
        const CLSID* clsid;
        const wchar_t* title;
        LONG cx, cy;
    };
    const Case cases[] = {
        {&kSourcePage, L"Settings", PixelsX(235), PixelsY(252)},
        {&kAdvancedPage, L"Advanced Settings", PixelsX(235), PixelsY(252)},
        {&kTestPage, L"Test Settings", PixelsX(235), PixelsY(250)},
    };
    for (const Case& c : cases) {
        void* object = nullptr;
        ASSERT_EQ(CoCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                   &object),
                  S_OK);
        auto* page = static_cast<IPropertyPage*>(object);
        PROPPAGEINFO info{};
        info.cb = sizeof info;
        ASSERT_EQ(page->GetPageInfo(&info), S_OK);
        ASSERT_NE(info.pszTitle, nullptr);
        EXPECT_EQ(std::wstring(info.pszTitle), c.title);
        EXPECT_EQ(info.size.cx, c.cx);
        EXPECT_EQ(info.size.cy, c.cy);
        EXPECT_EQ(info.pszHelpFile, nullptr);
        EXPECT_EQ(info.pszDocString, nullptr);
        EXPECT_EQ(info.dwHelpContext, 0u);
        CoTaskMemFree(info.pszTitle);
        page->Release();
    }
}

TEST_F(PagesTest, PictureSlidersShowTheDriversValuesInTheirRanges)
{
    SetDriverValue(EXT_SATURATION, 40);
    SetDriverValue(EXT_HUE, 300);
    ShownPage& shown = Open(kSourcePage);
    struct Case {
        int id;
        ULONG property;
        int minimum, maximum, ticks;
    };
    const Case cases[] = {
        {1001, EXT_SATURATION, 0, 63, 4},   {1002, EXT_SHARPNESS, 1, 8, 1},
        {1000, EXT_EXPOSURE_TARGET, 0, 255, 17}, {1003, EXT_WHITE_BALANCE_TARGET, 0, 20, 1},
        {1004, EXT_HUE, 0, 358, 23},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const ControlInfo slider = shown.Control(c.id);
        EXPECT_EQ(slider.rangeMin, c.minimum);
        EXPECT_EQ(slider.rangeMax, c.maximum);
        EXPECT_EQ(slider.ticFrequency, c.ticks);
        EXPECT_EQ(slider.position, DriverValue(c.property));
    }
    EXPECT_EQ(shown.Position(1001), 40);
    EXPECT_EQ(shown.Position(1004), 300);
}

TEST_F(PagesTest, AutomaticModesDecideWhichPictureControlsAreEnabled)
{
    SetDriverValue(EXT_AUTO_WHITE_BALANCE_STATE, 1);
    SetDriverValue(EXT_AUTO_EXPOSURE_STATE, 1);
    ShownPage& shown = Open(kSourcePage);
    // Automatic white balance owns the colour controls; automatic exposure
    // leaves the brightness target to the user.
    EXPECT_EQ(shown.Check(1012), BST_CHECKED);
    EXPECT_EQ(shown.Check(1014), BST_UNCHECKED);
    for (int id : {1003, 1004, 1006, 1010}) {
        EXPECT_FALSE(shown.Enabled(id)) << id;
    }
    EXPECT_TRUE(shown.Enabled(1000));
    EXPECT_TRUE(shown.Enabled(1009));
    EXPECT_FALSE(shown.Dirty());

    shown.Click(1014);
    EXPECT_EQ(DriverValue(EXT_AUTO_EXPOSURE_STATE), 0);
    EXPECT_EQ(shown.Check(1014), BST_CHECKED);
    EXPECT_FALSE(shown.Enabled(1000));
    EXPECT_FALSE(shown.Enabled(1009));
    EXPECT_TRUE(shown.Dirty());
    EXPECT_EQ(shown.site.statusChanges,
              std::vector<DWORD>{PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE});

    shown.Click(1012);
    EXPECT_EQ(DriverValue(EXT_AUTO_WHITE_BALANCE_STATE), 0);
    for (int id : {1003, 1004, 1006, 1010}) {
        EXPECT_TRUE(shown.Enabled(id)) << id;
    }
    // Already dirty: the site hears of it once.
    EXPECT_EQ(shown.site.statusChanges.size(), 1u);

    EXPECT_EQ(shown.page->Apply(), S_OK);
    EXPECT_FALSE(shown.Dirty());
    EXPECT_EQ(shown.site.statusChanges.back(), 0u);
}

TEST_F(PagesTest, DraggingASliderSendsOneRequestPerNotification)
{
    ShownPage& shown = Open(kSourcePage);
    const size_t before = DeviceIoControlCount();
    shown.Drag(1001, {10, 20, 30});
    // Three thumb moves, the final position and the end of the track.
    EXPECT_EQ(DeviceIoControlCount() - before, 5u);
    EXPECT_EQ(DriverValue(EXT_SATURATION), 30);
    EXPECT_TRUE(shown.Dirty());
}

TEST_F(PagesTest, ARefusedSliderSetPutsTheSliderBackToTheDriversValue)
{
    SetDriverValue(EXT_SATURATION, 33);
    ShownPage& shown = Open(kSourcePage);
    // The camera goes away: the set fails, and so does the get that follows
    // it, whose -1 the slider clamps to its minimum.
    published.Unpublish();
    shown.Drag(1001, {50});
    EXPECT_EQ(shown.Position(1001), 0);
    EXPECT_EQ(DriverValue(EXT_SATURATION), 33);
    EXPECT_TRUE(shown.Dirty());
}

TEST_F(PagesTest, RestoreDefaultsThenClosingWithoutApplyKeepsTheSavedSettings)
{
    ShownPage& shown = Open(kSourcePage);
    shown.Drag(1001, {45});
    ASSERT_EQ(shown.page->Apply(), S_OK);
    shown.Drag(1001, {10});
    shown.Click(1005);
    const LONG restored = DriverValue(EXT_SATURATION);
    EXPECT_NE(restored, 10);
    EXPECT_EQ(shown.Position(1001), restored);
    EXPECT_TRUE(shown.Dirty());

    CloseAll();
    // The last page went without Apply: the driver reloaded what Apply
    // saved.
    EXPECT_EQ(DriverValue(EXT_SATURATION), 45);
}

TEST_F(PagesTest, FlickerAnswersAndTheirRefresh)
{
    SetDriverValue(EXT_FLICKER_COMP_STATE, 1);
    SetDriverValue(EXT_FLICKER_COMP_FREQ, 1);
    ShownPage& shown = Open(kAdvancedPage);
    EXPECT_EQ(shown.Check(1019), BST_CHECKED);
    EXPECT_EQ(shown.Check(1018), BST_UNCHECKED);
    EXPECT_EQ(shown.Check(1015), BST_CHECKED);
    EXPECT_TRUE(shown.Enabled(1016));

    // The frequency answers are not read back: one request each.
    size_t before = DeviceIoControlCount();
    shown.Click(1016);
    EXPECT_EQ(DeviceIoControlCount() - before, 1u);
    EXPECT_EQ(DriverValue(EXT_FLICKER_COMP_FREQ), 0);
    EXPECT_EQ(shown.Check(1016), BST_CHECKED);
    EXPECT_EQ(shown.Check(1015), BST_UNCHECKED);
    EXPECT_TRUE(shown.Dirty());

    // "No" to fluorescent lighting disables the frequency at once.
    before = DeviceIoControlCount();
    shown.Click(1018);
    EXPECT_EQ(DeviceIoControlCount() - before, 1u + CachedItemCount);
    EXPECT_EQ(DriverValue(EXT_FLICKER_COMP_STATE), 0);
    EXPECT_FALSE(shown.Enabled(1016));
    EXPECT_FALSE(shown.Enabled(1015));

    // Every answer marks the page dirty, also the one already given.
    ASSERT_EQ(shown.page->Apply(), S_OK);
    shown.Click(1018);
    EXPECT_TRUE(shown.Dirty());

    shown.Click(1017);
    EXPECT_EQ(DriverValue(EXT_FLICKER_COMP_STATE), shown.Check(1019) == BST_CHECKED ? 1 : 0);
}

TEST_F(PagesTest, TestPageLabelsCarryTheirValues)
{
    ShownPage& shown = Open(kTestPage);
    struct Case {
        ULONG property;
        LONG value;
        int label;
        const char* text;
    };
    const Case cases[] = {
        {EXT_MAX_PACKET_SIZE_ALLOWED, 1024, 1041,
         "&USB BW Limit (Next Video Session):1024 bytes/pkt (80%)"},
        {EXT_MAX_PACKET_SIZE_ALLOWED, 128, 1041,
         "&USB BW Limit (Next Video Session):128 bytes/pkt (10%)"},
        {EXT_GAMMA, 0, 1037, "&Gamma:0"},
        {EXT_CONTRAST, 2000, 1035, "C&ontrast:2000"},
        {EXT_MS_TO_SKIP_PACKETS, 100, 1039, "HW Warmup &Period (Next Video Session):100 ms"},
        {EXT_AEAWB_INTERVAL, 64, 1044, "&AEAWB Interval:64 ms"},
        {EXT_AE_PERIOD, 3, 1045, "A&E Period:3"},
        {EXT_AWB_PERIOD, 2, 1047, "A&WB Period:2"},
    };
    for (const Case& c : cases) {
        SetDriverValue(c.property, c.value);
        shown.Repaint();
        EXPECT_EQ(shown.Text(c.label), c.text);
    }
    // A drag rewrites the label at once.
    shown.Drag(1042, {512});
    EXPECT_EQ(shown.Text(1041), "&USB BW Limit (Next Video Session):512 bytes/pkt (40%)");
    EXPECT_EQ(DriverValue(EXT_MAX_PACKET_SIZE_ALLOWED), 512);
    EXPECT_TRUE(shown.Dirty());
}

TEST_F(PagesTest, TestPageSwitchesAndTheExposureLockOfThePicturePage)
{
    SetDriverValue(EXT_AUTO_EXPOSURE_STATE, 1);
    ShownPage& test = Open(kTestPage);
    // The driver does not answer the error-injection property.
    EXPECT_FALSE(test.Enabled(1051));
    EXPECT_FALSE(test.Enabled(1052));
    for (int id : {1053, 1054, 1055, 1056}) {
        EXPECT_FALSE(test.Enabled(id)) << id;
    }

    const LONG dpc = DriverValue(EXT_DPC_STATE);
    test.Click(1057);
    EXPECT_EQ(DriverValue(EXT_DPC_STATE), dpc == 1 ? 0 : 1);
    EXPECT_EQ(test.Check(1057), dpc == 1 ? BST_UNCHECKED : BST_CHECKED);

    ShownPage& picture = Open(kSourcePage);
    picture.Click(1014);
    ASSERT_EQ(DriverValue(EXT_AUTO_EXPOSURE_STATE), 0);
    // The test page shows it at its next refresh.
    EXPECT_FALSE(test.Enabled(1054));
    test.Repaint();
    for (int id : {1053, 1054, 1055, 1056}) {
        EXPECT_TRUE(test.Enabled(id)) << id;
    }
    test.Drag(1054, {12});
    EXPECT_EQ(DriverValue(EXT_EXPOSURE_TIME), 12);
    EXPECT_EQ(test.Text(1053), "&Exposure Time:12 (1/120s)");
}

TEST_F(PagesTest, HelpButtonsOpenTheHelpFileAtTheirContext)
{
    struct Case {
        const CLSID* clsid;
        int button;
        ULONG_PTR context;
    };
    const Case cases[] = {
        {&kSourcePage, 1013, 131287},
        {&kAdvancedPage, 1020, 131288},
        {&kTestPage, 1032, 131287},
    };
    for (const Case& c : cases) {
        ShownPage& shown = Open(*c.clsid);
        ClearWinHelpCalls();
        shown.Click(c.button);
        const auto calls = WinHelpCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].window, shown.window);
        EXPECT_EQ(calls[0].file, "Kld8UNI.HLP");
        EXPECT_EQ(calls[0].command, static_cast<UINT>(HELP_CONTEXT));
        EXPECT_EQ(calls[0].data, c.context);
        EXPECT_EQ(GetFocus(), shown.Item(c.button));
        EXPECT_FALSE(shown.Dirty());
    }
}

TEST_F(PagesTest, WithoutACameraThePagesShowMinusOne)
{
    published.Unpublish();
    ShownPage& flicker = Open(kAdvancedPage, false);
    ShownPage& picture = Open(kSourcePage, false);
    // One Device for both pages: one message box.
    const auto boxes = MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Device");
    EXPECT_EQ(boxes[0].text, "WDM_open_dev failed");
    for (int id : {1019, 1018, 1016, 1015}) {
        EXPECT_EQ(flicker.Check(id), BST_UNCHECKED) << id;
    }
    EXPECT_FALSE(flicker.Enabled(1016));
    EXPECT_FALSE(flicker.Enabled(1015));
    // -1 is below every slider's range.
    EXPECT_EQ(picture.Position(1001), 0);
    EXPECT_EQ(picture.Position(1002), 1);
    EXPECT_EQ(picture.Check(1012), BST_UNCHECKED);
    EXPECT_EQ(picture.Check(1014), BST_UNCHECKED);
    // A set fails; the slider shows the -1 the failed get gives, clamped.
    picture.Drag(1001, {20});
    EXPECT_EQ(picture.Position(1001), 0);
}

TEST_F(PagesTest, RegistrationWritesTheScriptsKeysOnce)
{
    Register();
    const KeyDump once = ClassKeys();
    Register();
    EXPECT_EQ(ClassKeys(), once);

    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(module, path, sizeof path), 0u);
    KeyDump expected;
    struct Class {
        std::string stem, clsid;
    };
    const Class classes[] = {
        {"SourcePage", "{895FE2B2-9FD1-48d1-8667-56F4664359E8}"},
        {"AdvancedPage", "{ADEA9699-F86F-4d68-A028-A2DD1371B8A9}"},
        {"TestPage", "{F5541056-F5DF-45d9-B468-68CEF91688CE}"},
    };
    expected["CLSID"] = {};
    for (const Class& c : classes) {
        const std::string progId = c.stem + "." + c.stem;
        const std::string description = c.stem + " Class";
        expected[progId + ".1"] = {{"@", description}};
        expected[progId + ".1\\CLSID"] = {{"@", c.clsid}};
        expected[progId] = {{"@", description}};
        expected[progId + "\\CurVer"] = {{"@", progId + ".1"}};
        expected["CLSID\\" + c.clsid] = {{"@", description}};
        expected["CLSID\\" + c.clsid + "\\Programmable"] = {};
        expected["CLSID\\" + c.clsid + "\\InprocServer32"] = {{"@", path},
                                                              {"ThreadingModel", "Apartment"}};
    }
    KeyDump classKeys = once;
    for (auto it = classKeys.begin(); it != classKeys.end();) {
        it = it->first.rfind("TypeLib", 0) == 0 ? classKeys.erase(it) : std::next(it);
    }
    EXPECT_EQ(classKeys, expected);

    const std::string library = "TypeLib\\{1E18CB43-2BB7-488F-94E9-6DC33BDC287E}\\1.0";
    ASSERT_TRUE(once.count(library));
    EXPECT_EQ(once.at(library).at("@"), "Kaldprop 1.0 Type Library");
    EXPECT_EQ(once.at(library + "\\0\\win32").at("@"), path);

    auto unregisterServer =
        Export<ServerFunction>(module, "DllUnregisterServer");
    ASSERT_EQ(unregisterServer(), S_OK);
    for (const Class& c : classes) {
        EXPECT_FALSE(KeyExists(c.stem + "." + c.stem + ".1")) << c.stem;
        EXPECT_FALSE(KeyExists(c.stem + "." + c.stem)) << c.stem;
        EXPECT_FALSE(KeyExists("CLSID\\" + c.clsid)) << c.stem;
    }
    EXPECT_TRUE(KeyExists("CLSID"));
    EXPECT_TRUE(KeyExists(library));
    // Unregistered classes cannot be created.
    void* object = nullptr;
    EXPECT_EQ(CoCreateInstance(kSourcePage, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                               &object),
              REGDB_E_CLASSNOTREG);
}

// An outer object that aggregates a page: counts what reaches it.
class Outer : public IUnknown {
  public:
    virtual ~Outer() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        ++queries;
        if (IsEqualGUID(riid, IID_IUnknown)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        return inner != nullptr ? inner->QueryInterface(riid, object) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    IUnknown* inner = nullptr;
    ULONG references = 1;
    int queries = 0;
};

TEST_F(PagesTest, ServerFollowsObjectsAndLocksAndAggregates)
{
    Register();
    auto canUnload = Export<ServerFunction>(module, "DllCanUnloadNow");
    auto getClassObject =
        Export<GetClassObjectFunction>(module, "DllGetClassObject");
    ASSERT_NE(canUnload, nullptr);
    ASSERT_NE(getClassObject, nullptr);
    EXPECT_EQ(canUnload(), S_OK);

    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(IID_IUnknown, IID_IClassFactory, &object),
              CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(object, nullptr);

    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClassObject(kTestPage, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    void* page = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPropertyPage, &page), S_OK);
    factory->Release();
    EXPECT_EQ(canUnload(), S_FALSE);
    static_cast<IPropertyPage*>(page)->Release();
    EXPECT_EQ(canUnload(), S_FALSE) << "the server lock still holds";
    ASSERT_EQ(getClassObject(kTestPage, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
              S_OK);
    factory->LockServer(FALSE);

    // Aggregated, only IUnknown may be asked for at creation.
    Outer outer;
    void* refused = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IPropertyPage, &refused),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(refused, nullptr);
    void* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, &inner), S_OK);
    factory->Release();
    outer.inner = static_cast<IUnknown*>(inner);
    void* asPage = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(IID_IPropertyPage, &asPage), S_OK);
    auto* aggregated = static_cast<IPropertyPage*>(asPage);
    // The page's own IUnknown methods go to the outer object.
    const ULONG outerReferences = outer.references;
    const int outerQueries = outer.queries;
    aggregated->AddRef();
    EXPECT_EQ(outer.references, outerReferences + 1);
    void* identity = nullptr;
    ASSERT_EQ(aggregated->QueryInterface(IID_IUnknown, &identity), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    EXPECT_EQ(outer.queries, outerQueries + 1);
    static_cast<IUnknown*>(identity)->Release();
    aggregated->Release();
    aggregated->Release();
    EXPECT_EQ(canUnload(), S_FALSE);
    outer.inner->Release();
    outer.inner = nullptr;
    EXPECT_EQ(canUnload(), S_OK);
}

TEST_F(PagesTest, VersionResourceNamesBuild37)
{
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA(KALDPROP_MODULE, &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> data(size);
    ASSERT_TRUE(GetFileVersionInfoA(KALDPROP_MODULE, 0, size, data.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<LPVOID*>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 37u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
}

TEST_F(PagesTest, LanguageLibraryAndHelpFileFollowTheLocale)
{
    const fs::path built = fs::path(KALDPROP_MODULE).parent_path();
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> libraries; // built file -> name
        LCID locale;
        const wchar_t* title;
        const char* brightness;
        const char* help;
    };
    const Case cases[] = {
        {"none: built-in English", {}, 0x407, L"Settings", "&Brightness", "Kld8UNI.HLP"},
        {"German library, German locale", {{"Kld8DEU.LRC", "Kld8DEU.LRC"}}, 0x407,
         L"Einstellungen", "&Helligkeit", "Kld8DEU.HLP"},
        {"German library, Swiss German locale", {{"Kld8DEU.LRC", "Kld8DEU.LRC"}}, 0x807,
         L"Einstellungen", "&Helligkeit", "Kld8DEU.HLP"},
        {"German library, US locale", {{"Kld8DEU.LRC", "Kld8DEU.LRC"}}, 0x409, L"Settings",
         "&Brightness", "Kld8UNI.HLP"},
        {"English library", {{"Kld8ENU.LRC", "Kld8ENU.LRC"}}, 0x409, L"Settings",
         "&Brightness", "Kld8ENU.HLP"},
        {"neutral library wins for every locale",
         {{"Kld8DEU.LRC", "Kld8UNI.LRC"}, {"Kld8ENU.LRC", "Kld8ENU.LRC"}}, 0x409,
         L"Einstellungen", "&Helligkeit", "Kld8UNI.HLP"},
    };
    const fs::path root = fs::temp_directory_path() /
                          ("kaldprop-languages-" + std::to_string(getpid()));
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = root / std::to_string(index++);
        fs::create_directories(dir);
        for (const auto& [file, name] : c.libraries) {
            fs::copy_file(built / file, dir / name, fs::copy_options::overwrite_existing);
        }
        SetUserDefaultLocale(c.locale);
        ASSERT_TRUE(SetDllDirectoryA(dir.c_str()));
        ShownPage& shown = Open(kSourcePage);
        PROPPAGEINFO info{};
        info.cb = sizeof info;
        ASSERT_EQ(shown.page->GetPageInfo(&info), S_OK);
        EXPECT_EQ(std::wstring(info.pszTitle), c.title);
        CoTaskMemFree(info.pszTitle);
        EXPECT_EQ(shown.Text(1009), c.brightness);
        ClearWinHelpCalls();
        shown.Click(1013);
        ASSERT_EQ(WinHelpCalls().size(), 1u);
        EXPECT_EQ(WinHelpCalls()[0].file, c.help);

        // Unload the module, so that the next case loads it afresh.
        CloseAll();
        pages.clear();
        CoFreeUnusedLibraries();
        FreeLibrary(module);
        module = nullptr;
        EXPECT_EQ(LoadedComServers(), 0u);
    }
    SetDllDirectoryA(nullptr);
    fs::remove_all(root);
}
