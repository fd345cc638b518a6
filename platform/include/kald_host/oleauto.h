// Automation's strings and type libraries. BSTRs are length-prefixed and
// NUL-terminated, as on the platform. A type library on the host is the
// IDL source text in a module's TYPELIB resource 1 (on the platform the
// same IDL compiled to a binary library): LoadTypeLibEx reads and parses it
// (library attributes and the coclasses it describes) and RegisterTypeLib
// writes the platform's keys under HKEY_CLASSES_ROOT\TypeLib.
#pragma once

#include "objbase.h"

typedef OLECHAR* BSTR;
typedef BSTR* LPBSTR;
typedef LONG DISPID;
typedef DISPID MEMBERID;
#define MEMBERID_NIL ((MEMBERID)-1)

typedef enum tagSYSKIND { SYS_WIN16 = 0, SYS_WIN32, SYS_MAC, SYS_WIN64 } SYSKIND;

typedef enum tagREGKIND { REGKIND_DEFAULT = 0, REGKIND_REGISTER, REGKIND_NONE } REGKIND;

typedef enum tagTYPEKIND {
    TKIND_ENUM = 0,
    TKIND_RECORD,
    TKIND_MODULE,
    TKIND_INTERFACE,
    TKIND_DISPATCH,
    TKIND_COCLASS,
    TKIND_ALIAS,
    TKIND_UNION,
    TKIND_MAX
} TYPEKIND;

typedef enum tagLIBFLAGS {
    LIBFLAG_FRESTRICTED = 0x1,
    LIBFLAG_FCONTROL = 0x2,
    LIBFLAG_FHIDDEN = 0x4,
    LIBFLAG_FHASDISKIMAGE = 0x8
} LIBFLAGS;

typedef struct tagTLIBATTR {
    GUID guid;
    LCID lcid;
    SYSKIND syskind;
    WORD wMajorVerNum;
    WORD wMinorVerNum;
    WORD wLibFlags;
} TLIBATTR, *LPTLIBATTR;

// Declared so that type libraries can name them; the host's libraries hand
// out none.
struct ITypeInfo : public IUnknown {
  protected:
    ~ITypeInfo() = default;
};
struct ITypeComp : public IUnknown {
  protected:
    ~ITypeComp() = default;
};
typedef ITypeInfo* LPTYPEINFO;
typedef ITypeComp* LPTYPECOMP;

// A loaded type library. On the host: GetTypeInfoCount is the number of
// coclasses, GetTypeInfoType says TKIND_COCLASS for each,
// GetDocumentation(-1) gives the library's name and help string and an
// index a coclass's, GetLibAttr the library's attributes (free them with
// ReleaseTLibAttr); the rest return E_NOTIMPL.
struct ITypeLib : public IUnknown {
    STDMETHOD_(UINT, GetTypeInfoCount)() PURE;
    STDMETHOD(GetTypeInfo)(UINT index, ITypeInfo** ppTInfo) PURE;
    STDMETHOD(GetTypeInfoType)(UINT index, TYPEKIND* pTKind) PURE;
    STDMETHOD(GetTypeInfoOfGuid)(REFGUID guid, ITypeInfo** ppTinfo) PURE;
    STDMETHOD(GetLibAttr)(TLIBATTR** ppTLibAttr) PURE;
    STDMETHOD(GetTypeComp)(ITypeComp** ppTComp) PURE;
    STDMETHOD(GetDocumentation)(INT index, BSTR* pBstrName, BSTR* pBstrDocString,
                                DWORD* pdwHelpContext, BSTR* pBstrHelpFile) PURE;
    STDMETHOD(IsName)(LPOLESTR szNameBuf, ULONG lHashVal, BOOL* pfName) PURE;
    STDMETHOD(FindName)(LPOLESTR szNameBuf, ULONG lHashVal, ITypeInfo** ppTInfo,
                        MEMBERID* rgMemId, USHORT* pcFound) PURE;
    STDMETHOD_(void, ReleaseTLibAttr)(TLIBATTR* pTLibAttr) PURE;

  protected:
    ~ITypeLib() = default;
};
typedef ITypeLib* LPTYPELIB;

EXTERN_C const IID IID_ITypeLib;
EXTERN_C const IID IID_ITypeInfo;
EXTERN_C const IID IID_ITypeComp;

#ifdef __cplusplus
extern "C" {
#endif

// Strings. SysAllocString(NULL) and SysAllocStringLen(NULL, 0) give null;
// SysAllocStringLen(NULL, n) a zeroed string of n characters.
BSTR WINAPI SysAllocString(const OLECHAR* psz);
BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
void WINAPI SysFreeString(BSTR bstrString);
UINT WINAPI SysStringLen(BSTR pbstr);

// Loads the library of szFile: a module already loaded (or loadable) with
// a TYPELIB resource 1, or else a file holding the IDL text. Fails with
// TYPE_E_CANTLOADLIBRARY when neither is found and TYPE_E_INVDATAREAD when
// the text is malformed. REGKIND_REGISTER registers it too; LoadTypeLib
// and REGKIND_DEFAULT register it when szFile is a bare file name.
HRESULT WINAPI LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);
HRESULT WINAPI LoadTypeLibEx(LPCOLESTR szFile, REGKIND regkind, ITypeLib** pptlib);
// Writes HKEY_CLASSES_ROOT\TypeLib\{libid}\<major>.<minor> (hex) = help
// string, with "<lcid>\win32" = szFullPath, "FLAGS" = the flags and
// "HELPDIR" = szHelpDir (the directory of szFullPath when null). Fails with
// TYPE_E_REGISTRYACCESS when the registry refuses a write.
HRESULT WINAPI RegisterTypeLib(ITypeLib* ptlib, OLECHAR* szFullPath, OLECHAR* szHelpDir);
// Removes that version key, and the library's key when no version is left.
// TYPE_E_REGISTRYACCESS when the version is not registered.
HRESULT WINAPI UnRegisterTypeLib(REFGUID libID, WORD wVerMajor, WORD wVerMinor, LCID lcid,
                                 SYSKIND syskind);
// The registered path of that exact version (for lcid, else for lcid 0),
// as a BSTR; TYPE_E_LIBNOTREGISTERED when there is none.
HRESULT WINAPI QueryPathOfRegTypeLib(REFGUID guid, USHORT wMaj, USHORT wMin, LCID lcid,
                                     LPBSTR lpbstrPathName);

#ifdef __cplusplus
}
#endif
