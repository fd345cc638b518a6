// The IPropertyPage implementation the three pages share: the page's dialog
// window made from the page's dialog template, its title and size, and its
// dirty state reported to the page site.
#pragma once

#include "com_module.h"
#include "device.h"
#include "propui_platform.h"

// IPropertyPage has no virtual destructor (see com_module.h); the page has.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class PropertyPage : public IPropertyPage, public PageDirtyState, public ComObjectRoot {
  public:
    // `TitleId` is the page's title string and `DialogId` its dialog
    // template, both in Module.ResourceInstance.
    PropertyPage(UINT TitleId, UINT DialogId);
    ~PropertyPage() override;

    // IUnknown: to the controlling unknown.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID Riid, void** Object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IPropertyPage.
    // Keeps a reference to the site; null releases it.
    HRESULT STDMETHODCALLTYPE SetPageSite(IPropertyPageSite* Site) override;
    // Creates the page window as a child of `Parent` and moves it to `Rect`.
    HRESULT STDMETHODCALLTYPE Activate(HWND Parent, LPCRECT Rect, BOOL Modal) override;
    // Destroys the page window.
    HRESULT STDMETHODCALLTYPE Deactivate() override;
    // Title (CoTaskMemAlloc memory the caller frees) and size in pixels of
    // the dialog template; no help file, no doc string, help context 0.
    HRESULT STDMETHODCALLTYPE GetPageInfo(PROPPAGEINFO* PageInfo) override;
    // The pages work on the camera rather than on the objects: accepted,
    // nothing kept.
    HRESULT STDMETHODCALLTYPE SetObjects(ULONG Count, IUnknown** Objects) override;
    HRESULT STDMETHODCALLTYPE Show(UINT CmdShow) override;
    HRESULT STDMETHODCALLTYPE Move(LPCRECT Rect) override;
    // S_OK when dirty, else S_FALSE.
    HRESULT STDMETHODCALLTYPE IsPageDirty() override;
    // Clears the dirty state; the pages override it to save their settings.
    HRESULT STDMETHODCALLTYPE Apply() override;
    HRESULT STDMETHODCALLTYPE Help(LPCOLESTR HelpDir) override;
    HRESULT STDMETHODCALLTYPE TranslateAccelerator(MSG* Message) override;

    // From PageDirtyState; when the state changes and there is a site, tells
    // it PROPPAGESTATUS_DIRTY | PROPPAGESTATUS_VALIDATE (dirty) or 0 (clean).
    void SetDirty(BOOL Dirty) override;
    BOOL IsDirty() const;

    UINT PageTitleId() const { return TitleId; }
    UINT PageDialogId() const { return DialogId; }

  protected:
    // The page window's dialog procedure: TRUE when the page handled the
    // message, FALSE to leave it to the default processing.
    virtual INT_PTR OnMessage(UINT Message, WPARAM WParam, LPARAM LParam) = 0;

    IUnknown* FindInterface(REFIID Riid) override;

    HWND PageWindow = nullptr; // set before WM_INITDIALOG reaches OnMessage; null after the window is destroyed
    IPropertyPageSite* PageSite = nullptr;

  private:
    // Routes the page window's messages to the page named by the window's
    // user data, which WM_INITDIALOG brings.
    static INT_PTR CALLBACK DialogProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);

    UINT TitleId;
    UINT DialogId;
    BOOL PageDirty = FALSE;
};
#pragma GCC diagnostic pop
