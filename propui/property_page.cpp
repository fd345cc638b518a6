#include "property_page.h"

#include <cstring>

namespace {

// Longest page title, in characters with the terminating zero.
constexpr int MaxTitleLength = 256;

// The resource type of dialog templates (the platform's RT_DIALOG), spelled
// as a number so it does not depend on the character set of the build.
#define KALDPROP_DIALOG_RESOURCE MAKEINTRESOURCEA(5)

// The failure of the Win32 call just made, never a success.
HRESULT LastError()
{
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

WORD ReadWord(const unsigned char* At)
{
    return static_cast<WORD>(At[0] | (At[1] << 8));
}

// The width and height in dialog units that the dialog template `DialogId`
// of `Instance` declares, from either template layout: the extended one
// (version 1, signature 0xFFFF, help id, extended style, style, item count,
// x, y, cx, cy) or the plain one (style, extended style, item count, x, y,
// cx, cy). FALSE when the template is missing or too short.
BOOL TemplateSize(HINSTANCE Instance, UINT DialogId, LONG* Width, LONG* Height)
{
    HRSRC resource = FindResourceA(Instance, MAKEINTRESOURCEA(DialogId), KALDPROP_DIALOG_RESOURCE);
    if (resource == nullptr) {
        return FALSE;
    }
    const DWORD size = SizeofResource(Instance, resource);
    HGLOBAL loaded = LoadResource(Instance, resource);
    const unsigned char* data = loaded != nullptr ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
    if (data == nullptr) {
        return FALSE;
    }
    size_t offset;
    if (size >= 4 && ReadWord(data) == 1 && ReadWord(data + 2) == 0xFFFF) {
        offset = 2 + 2 + 4 + 4 + 4 + 2 + 2 + 2; // to cx
    } else {
        offset = 4 + 4 + 2 + 2 + 2; // to cx
    }
    if (size < offset + 4) {
        return FALSE;
    }
    *Width = static_cast<SHORT>(ReadWord(data + offset));
    *Height = static_cast<SHORT>(ReadWord(data + offset + 2));
    return TRUE;
}

} // namespace

PropertyPage::PropertyPage(UINT Title, UINT Dialog) : TitleId(Title), DialogId(Dialog) {}

PropertyPage::~PropertyPage()
{
    // A frame that releases the page without deactivating it must not leave
    // a window whose procedure reaches a page that is gone.
    if (PageWindow != nullptr) {
        HWND window = PageWindow;
        PageWindow = nullptr;
        SetWindowLongPtrA(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
    }
    if (PageSite != nullptr) {
        PageSite->Release();
        PageSite = nullptr;
    }
}

HRESULT STDMETHODCALLTYPE PropertyPage::QueryInterface(REFIID Riid, void** Object)
{
    return OuterQueryInterface(Riid, Object);
}

ULONG STDMETHODCALLTYPE PropertyPage::AddRef()
{
    return OuterAddRef();
}

ULONG STDMETHODCALLTYPE PropertyPage::Release()
{
    return OuterRelease();
}

IUnknown* PropertyPage::FindInterface(REFIID Riid)
{
    if (SameGuid(Riid, IID_IPropertyPage)) {
        return static_cast<IPropertyPage*>(this);
    }
    return nullptr;
}

HRESULT STDMETHODCALLTYPE PropertyPage::SetPageSite(IPropertyPageSite* Site)
{
    if (Site != nullptr) {
        Site->AddRef();
    }
    if (PageSite != nullptr) {
        PageSite->Release();
    }
    PageSite = Site;
    return S_OK;
}

INT_PTR CALLBACK PropertyPage::DialogProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam)
{
    PropertyPage* page;
    if (Message == WM_INITDIALOG) {
        page = reinterpret_cast<PropertyPage*>(LParam);
        SetWindowLongPtrA(Window, GWLP_USERDATA, LParam);
        if (page != nullptr) {
            page->PageWindow = Window;
        }
    } else {
        page = reinterpret_cast<PropertyPage*>(GetWindowLongPtrA(Window, GWLP_USERDATA));
    }
    if (page == nullptr) {
        return FALSE;
    }
    const INT_PTR handled = page->OnMessage(Message, WParam, LParam);
    if (Message == WM_NCDESTROY) {
        SetWindowLongPtrA(Window, GWLP_USERDATA, 0);
        if (page->PageWindow == Window) {
            page->PageWindow = nullptr;
        }
    }
    return handled;
}

HRESULT STDMETHODCALLTYPE PropertyPage::Activate(HWND Parent, LPCRECT Rect, BOOL Modal)
{
    (void)Modal;
    if (Rect == nullptr) {
        return E_POINTER;
    }
    if (PageWindow != nullptr) {
        return E_UNEXPECTED; // already active
    }
    SetLastError(ERROR_SUCCESS);
    HWND window = CreateDialogParamA(Module.ResourceInstance, MAKEINTRESOURCEA(DialogId), Parent, DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    if (window == nullptr) {
        PageWindow = nullptr;
        return LastError();
    }
    PageWindow = window;
    MoveWindow(window, Rect->left, Rect->top, Rect->right - Rect->left, Rect->bottom - Rect->top, TRUE);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PropertyPage::Deactivate()
{
    if (PageWindow == nullptr) {
        return E_UNEXPECTED;
    }
    HWND window = PageWindow;
    DestroyWindow(window);
    PageWindow = nullptr;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PropertyPage::GetPageInfo(PROPPAGEINFO* PageInfo)
{
    if (PageInfo == nullptr) {
        return E_POINTER;
    }
    // The size: the template's dialog units in pixels of the dialog's own
    // font, which needs the dialog made once, hidden, without a procedure.
    SetLastError(ERROR_SUCCESS);
    HWND measure = CreateDialogParamA(Module.ResourceInstance, MAKEINTRESOURCEA(DialogId), GetDesktopWindow(),
                                      nullptr, 0);
    if (measure == nullptr) {
        return LastError();
    }
    RECT size = {0, 0, 0, 0};
    LONG width = 0;
    LONG height = 0;
    if (TemplateSize(Module.ResourceInstance, DialogId, &width, &height)) {
        size.right = width;
        size.bottom = height;
        MapDialogRect(measure, &size);
    } else {
        GetWindowRect(measure, &size);
    }
    DestroyWindow(measure);

    WCHAR title[MaxTitleLength];
    int length = LoadStringW(Module.ResourceInstance, TitleId, title, MaxTitleLength);
    if (length < 0) {
        length = 0;
    }
    if (length >= MaxTitleLength) {
        length = MaxTitleLength - 1;
    }
    auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc(static_cast<size_t>(length + 1) * sizeof(OLECHAR)));
    if (copy == nullptr) {
        return E_OUTOFMEMORY;
    }
    for (int i = 0; i < length; ++i) {
        copy[i] = static_cast<OLECHAR>(title[i]);
    }
    copy[length] = 0;

    std::memset(PageInfo, 0, sizeof(*PageInfo));
    PageInfo->cb = sizeof(PROPPAGEINFO);
    PageInfo->pszTitle = copy;
    PageInfo->size.cx = size.right - size.left;
    PageInfo->size.cy = size.bottom - size.top;
    PageInfo->pszDocString = nullptr;
    PageInfo->pszHelpFile = nullptr;
    PageInfo->dwHelpContext = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PropertyPage::SetObjects(ULONG Count, IUnknown** Objects)
{
    if (Count != 0 && Objects == nullptr) {
        return E_POINTER;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PropertyPage::Show(UINT CmdShow)
{
    if (PageWindow == nullptr) {
        return E_UNEXPECTED;
    }
    ShowWindow(PageWindow, static_cast<int>(CmdShow));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PropertyPage::Move(LPCRECT Rect)
{
    if (Rect == nullptr) {
        return E_POINTER;
    }
    if (PageWindow == nullptr) {
        return E_UNEXPECTED;
    }
    MoveWindow(PageWindow, Rect->left, Rect->top, Rect->right - Rect->left, Rect->bottom - Rect->top, TRUE);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PropertyPage::IsPageDirty()
{
    return PageDirty ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE PropertyPage::Apply()
{
    SetDirty(FALSE);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE PropertyPage::Help(LPCOLESTR HelpDir)
{
    (void)HelpDir;
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE PropertyPage::TranslateAccelerator(MSG* Message)
{
    (void)Message;
    return S_FALSE;
}

void PropertyPage::SetDirty(BOOL NewDirty)
{
    const BOOL dirty = NewDirty ? TRUE : FALSE;
    if (dirty == PageDirty) {
        return;
    }
    PageDirty = dirty;
    if (PageSite != nullptr) {
        PageSite->OnStatusChange(dirty ? PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE : 0);
    }
}

BOOL PropertyPage::IsDirty() const
{
    return PageDirty;
}
