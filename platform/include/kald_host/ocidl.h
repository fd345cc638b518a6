// The property-page interfaces that a property frame and its pages talk
// through, with the platform's method order so that the vtables match.
#pragma once

#include "objbase.h"
#include "oleauto.h"
#include "winuser.h"

struct tagMSG;
typedef struct tagMSG MSG;

typedef struct tagPROPPAGEINFO {
    ULONG cb;
    LPOLESTR pszTitle;
    SIZE size;
    LPOLESTR pszDocString;
    LPOLESTR pszHelpFile;
    DWORD dwHelpContext;
} PROPPAGEINFO, *LPPROPPAGEINFO;

// What a page tells its site through OnStatusChange.
#define PROPPAGESTATUS_DIRTY 0x1
#define PROPPAGESTATUS_VALIDATE 0x2
#define PROPPAGESTATUS_CLEAN 0x4

struct IPropertyPageSite : public IUnknown {
    STDMETHOD(OnStatusChange)(DWORD dwFlags) PURE;
    STDMETHOD(GetLocaleID)(LCID* pLocaleID) PURE;
    STDMETHOD(GetPageContainer)(IUnknown** ppUnk) PURE;
    STDMETHOD(TranslateAccelerator)(MSG* pMsg) PURE;

  protected:
    ~IPropertyPageSite() = default;
};
typedef IPropertyPageSite* LPPROPERTYPAGESITE;

struct IPropertyPage : public IUnknown {
    STDMETHOD(SetPageSite)(IPropertyPageSite* pPageSite) PURE;
    STDMETHOD(Activate)(HWND hWndParent, LPCRECT pRect, BOOL bModal) PURE;
    STDMETHOD(Deactivate)() PURE;
    STDMETHOD(GetPageInfo)(PROPPAGEINFO* pPageInfo) PURE;
    STDMETHOD(SetObjects)(ULONG cObjects, IUnknown** ppUnk) PURE;
    STDMETHOD(Show)(UINT nCmdShow) PURE;
    STDMETHOD(Move)(LPCRECT pRect) PURE;
    STDMETHOD(IsPageDirty)() PURE;
    STDMETHOD(Apply)() PURE;
    STDMETHOD(Help)(LPCOLESTR pszHelpDir) PURE;
    STDMETHOD(TranslateAccelerator)(MSG* pMsg) PURE;

  protected:
    ~IPropertyPage() = default;
};
typedef IPropertyPage* LPPROPERTYPAGE;

EXTERN_C const IID IID_IPropertyPage;
EXTERN_C const IID IID_IPropertyPageSite;
