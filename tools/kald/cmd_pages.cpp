// kald pages: a capture application's camera settings dialog at the
// terminal. Kaldprop is found through the registry's class keys, its pages
// are created through their class factories, activated in a frame window
// and shown as text; a slider can be dragged, a control clicked, and the
// changes applied, all against a simulated camera with its persisted
// registry.
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "camera_session.h"
#include "kald_host/commctrl.h"
#include "kald_host/host_win32.h"
#include "kald_host/olectl.h"
#include "kald_sim/camera.h"
#include "subcommand.h"
#include "tool_error.h"

namespace kald::tool {
namespace {

namespace host = kald::host;

struct PageClass {
    CLSID clsid;
    const char* name; // the page's title in the module's built-in language
};

const PageClass kPageClasses[] = {
    {{0x895FE2B2, 0x9FD1, 0x48D1, {0x86, 0x67, 0x56, 0xF4, 0x66, 0x43, 0x59, 0xE8}}, "Settings"},
    {{0xADEA9699, 0xF86F, 0x4D68, {0xA0, 0x28, 0xA2, 0xDD, 0x13, 0x71, 0xB8, 0xA9}},
     "Advanced Settings"},
    {{0xF5541056, 0xF5DF, 0x45D9, {0xB4, 0x68, 0x68, 0xCE, 0xF9, 0x16, 0x88, 0xCE}},
     "Test Settings"},
};

enum class ActionKind { Set, Click };
struct Action {
    ActionKind kind;
    std::string text; // "1000=150" or "1012"
};

struct PagesOptions {
    std::string registry;
    std::string module = KALDPROP_MODULE;
    std::string page = "all";
    std::string locale;
    std::vector<Action> actions; // in command-line order
    std::vector<std::string> setTexts, clickTexts;
    bool apply = false;
    bool doRegister = false;
    bool doUnregister = false;
};

// The page site of the frame: the frame only needs to know about changes.
class FrameSite : public IPropertyPageSite {
  public:
    virtual ~FrameSite() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override
    {
        if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IPropertyPageSite)) {
            *object = static_cast<IPropertyPageSite*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnStatusChange(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetLocaleID(LCID* locale) override
    {
        *locale = GetUserDefaultLCID();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPageContainer(IUnknown** container) override
    {
        *container = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG*) override { return S_FALSE; }
};

std::string HresultText(HRESULT result)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
    return text;
}

// Page titles come as wide strings and window texts in the platform's ANSI
// code page; the terminal takes UTF-8.
std::string Utf8FromWide(const wchar_t* text)
{
    std::string out;
    for (; *text != 0; ++text) {
        const auto code = static_cast<char32_t>(*text);
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

// Ids and values are decimal; a locale may also be written in hex (0x407).
int ParseInteger(const std::string& text, const std::string& what, int base = 10)
{
    size_t used = 0;
    long value = 0;
    try {
        value = std::stol(text, &used, base);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || value < -100000 || value > 100000) {
        throw UsageError(what + ": '" + text + "' is not an integer");
    }
    return static_cast<int>(value);
}

const char* Kind(const host::ControlInfo& control)
{
    if (control.className == "msctls_trackbar32") {
        return "slider";
    }
    if (control.className == "Button") {
        switch (control.style & BS_TYPEMASK) {
        case BS_GROUPBOX: return "group";
        case BS_AUTOCHECKBOX:
        case BS_CHECKBOX: return "checkbox";
        case BS_AUTORADIOBUTTON:
        case BS_RADIOBUTTON: return "radio";
        default: return "button";
        }
    }
    return "label";
}

void PrintPage(const std::string& title, HWND window)
{
    std::cout << title << "\n";
    for (const host::ControlInfo& control : host::DescribeChildren(window)) {
        const std::string kind = Kind(control);
        std::string state;
        if (kind == "slider") {
            state = std::to_string(control.position) + " (" + std::to_string(control.rangeMin) +
                    ".." + std::to_string(control.rangeMax) + ")";
        } else if (kind == "checkbox" || kind == "radio") {
            state = control.check == BST_CHECKED ? "[x]" : "[ ]";
        }
        std::string line = "  " + (control.id == -1 ? std::string("-") : std::to_string(control.id));
        line.resize(8, ' ');
        line += kind;
        line.resize(18, ' ');
        line += state;
        line.resize(32, ' ');
        if (kind != "slider") {
            line += "\"" + Utf8FromWide(host::WideFromAnsi(control.text).c_str()) + "\"";
        }
        if (!control.enabled) {
            line += "  (disabled)";
        }
        std::cout << line << "\n";
    }
}

// Runs DllRegisterServer or DllUnregisterServer of the module.
void RunRegistration(const std::string& module, const char* entry)
{
    HMODULE library = LoadLibraryA(module.c_str());
    if (library == nullptr) {
        throw UsageError("cannot load " + module);
    }
    auto function = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(library, entry)));
    const HRESULT result = function != nullptr ? function() : E_FAIL;
    FreeLibrary(library);
    if (FAILED(result)) {
        throw UsageError(std::string(entry) + " of " + module + " failed: " + HresultText(result));
    }
}

struct ShownPage {
    IPropertyPage* page = nullptr;
    std::string title;
    HWND frame = nullptr;
    HWND window = nullptr;
};

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
    host::PumpMessages();
}

// The open pages of the frame; whatever way the run ends, they are closed
// (a page left unapplied makes the driver reload its saved settings) and COM
// is let go.
class PageFrame {
  public:
    PageFrame()
    {
        if (FAILED(CoInitialize(nullptr))) {
            throw UsageError("COM did not initialise");
        }
    }
    ~PageFrame()
    {
        for (ShownPage& page : pages) {
            Close(page);
        }
        CoUninitialize();
    }
    PageFrame(const PageFrame&) = delete;
    PageFrame& operator=(const PageFrame&) = delete;

    std::vector<ShownPage> pages;
};

HWND ControlWindow(const ShownPage& shown, int id)
{
    HWND control = GetDlgItem(shown.window, id);
    if (control == nullptr) {
        throw UsageError("the page \"" + shown.title + "\" has no control " + std::to_string(id));
    }
    return control;
}

void Perform(const ShownPage& shown, const Action& action)
{
    if (action.kind == ActionKind::Click) {
        host::ClickControl(ControlWindow(shown, ParseInteger(action.text, "--click")));
    } else {
        const size_t equals = action.text.find('=');
        if (equals == std::string::npos) {
            throw UsageError("--set: expected ID=VALUE, got '" + action.text + "'");
        }
        const int id = ParseInteger(action.text.substr(0, equals), "--set id");
        const int value = ParseInteger(action.text.substr(equals + 1), "--set value");
        HWND control = ControlWindow(shown, id);
        char className[64] = {};
        GetClassNameA(control, className, sizeof className);
        if (std::string(className) != "msctls_trackbar32") {
            throw UsageError("--set: control " + std::to_string(id) + " is not a slider");
        }
        host::DragTrackbar(control, {value});
    }
    host::PumpMessages();
}

void RunPages(const PagesOptions& options)
{
    const std::string registryFile = RegistryFilePath(options.registry);
    if (!options.locale.empty()) {
        host::SetUserDefaultLocale(static_cast<LCID>(ParseInteger(options.locale, "--locale", 0)));
    }
    const PageClass* chosen = nullptr;
    if (options.page != "all") {
        for (const PageClass& page : kPageClasses) {
            if (options.page == page.name) {
                chosen = &page;
            }
        }
        if (chosen == nullptr) {
            throw UsageError("--page: unknown page '" + options.page +
                             "' (pages: Settings, \"Advanced Settings\", \"Test Settings\", all)");
        }
    }
    if (!options.actions.empty() && chosen == nullptr) {
        throw UsageError("--set and --click need one --page");
    }

    kald::sim::Camera camera;
    CameraSession session(registryFile, camera);
    host::InterfacePublication published = host::PublishCamera(session.Device());

    if (options.doUnregister || options.doRegister) {
        RunRegistration(options.module, options.doRegister ? "DllRegisterServer" : "DllUnregisterServer");
        session.SaveRegistryFile();
        std::cout << (options.doRegister ? "registered " : "unregistered ") << options.module
                  << "\n";
        return;
    }

    // Language libraries are installed next to the module.
    const size_t slash = options.module.find_last_of('/');
    const std::string directory =
        slash == std::string::npos ? "." : options.module.substr(0, slash == 0 ? 1 : slash);
    SetDllDirectoryA(directory.c_str());

    FrameSite site;
    PageFrame frame;
    std::vector<ShownPage>& shown = frame.pages;
    for (const PageClass& page : kPageClasses) {
        if (chosen != nullptr && chosen != &page) {
            continue;
        }
        void* object = nullptr;
        const HRESULT created = CoCreateInstance(page.clsid, nullptr, CLSCTX_INPROC_SERVER,
                                                 IID_IPropertyPage, &object);
        if (created == REGDB_E_CLASSNOTREG) {
            throw UsageError("the property pages are not registered: run 'kald pages --register'");
        }
        if (FAILED(created)) {
            throw UsageError(std::string("creating the page \"") + page.name + "\" failed: " +
                             HresultText(created));
        }
        shown.emplace_back();
        ShownPage& current = shown.back();
        current.page = static_cast<IPropertyPage*>(object);
        PROPPAGEINFO info{};
        info.cb = sizeof info;
        if (SUCCEEDED(current.page->GetPageInfo(&info))) {
            current.title = Utf8FromWide(info.pszTitle);
            CoTaskMemFree(info.pszTitle);
            CoTaskMemFree(info.pszDocString);
            CoTaskMemFree(info.pszHelpFile);
        }
        current.page->SetPageSite(&site);
        current.frame = CreateWindowExA(0, "Static", "Camera Properties", WS_POPUP | WS_VISIBLE,
                                        0, 0, info.size.cx + 12, info.size.cy + 40, nullptr,
                                        nullptr, nullptr, nullptr);
        const RECT rect{6, 24, 6 + info.size.cx, 24 + info.size.cy};
        if (const HRESULT activated = current.page->Activate(current.frame, &rect, FALSE);
            FAILED(activated)) {
            throw UsageError(std::string("showing the page \"") + page.name + "\" failed: " +
                             HresultText(activated));
        }
        current.page->Show(SW_SHOW);
        current.window = GetWindow(current.frame, GW_CHILD);
        host::PumpMessages();
    }

    for (const Action& action : options.actions) {
        Perform(shown.front(), action);
    }
    for (size_t i = 0; i < shown.size(); ++i) {
        if (i > 0) {
            std::cout << "\n";
        }
        PrintPage(shown[i].title, shown[i].window);
    }
    for (const host::MessageBoxRecord& box : host::MessageBoxes()) {
        std::cerr << "kald pages: message box \"" << box.caption << "\": " << box.text << "\n";
    }
    bool dirty = false;
    for (ShownPage& page : shown) {
        if (options.apply) {
            page.page->Apply();
        }
        dirty = dirty || page.page->IsPageDirty() == S_OK;
    }
    for (ShownPage& page : shown) {
        Close(page);
    }
    session.SaveRegistryFile();
    if (options.apply) {
        std::cout << "applied; saved to " << registryFile << "\n";
    } else if (dirty) {
        std::cout << "closed without Apply: the driver went back to its saved settings\n";
    }
}

} // namespace

Subcommand AddPagesCommand(CLI::App& kald)
{
    auto options = std::make_shared<PagesOptions>();
    CLI::App* pages = kald.add_subcommand(
        "pages",
        "Show the camera's property pages as a capture application does, through the "
        "registered Kaldprop module, against a simulated camera; drag sliders, click "
        "controls and apply.");
    pages->add_option("--registry", options->registry,
                      "Registry file (default $XDG_CONFIG_HOME/kald/registry.reg)");
    pages->add_option("--module", options->module, "The Kaldprop module to register")
        ->capture_default_str();
    pages->add_option("--page", options->page,
                      "Settings, \"Advanced Settings\", \"Test Settings\" or all")
        ->capture_default_str();
    pages->add_option("--locale", options->locale, "User locale, e.g. 0x407 for German");
    pages
        ->add_option("--set", options->setTexts,
                     "Drag slider ID to VALUE (ID=VALUE; repeatable, done in order with --click)")
        ->each([options](const std::string& value) {
            options->actions.push_back({ActionKind::Set, value});
        })
        ->trigger_on_parse();
    pages
        ->add_option("--click", options->clickTexts,
                     "Click control ID (repeatable, done in order with --set)")
        ->each([options](const std::string& value) {
            options->actions.push_back({ActionKind::Click, value});
        })
        ->trigger_on_parse();
    pages->add_flag("--apply", options->apply, "Apply the changes before closing the pages");
    auto* reg = pages->add_flag("--register", options->doRegister,
                                "Run the module's DllRegisterServer and keep the keys");
    pages->add_flag("--unregister", options->doUnregister, "Run the module's DllUnregisterServer")
        ->excludes(reg);
    return {pages, [options] { RunPages(*options); }};
}

} // namespace kald::tool
