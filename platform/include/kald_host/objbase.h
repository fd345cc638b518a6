// COM's basics as the platform's objbase.h gives them: HRESULT values and
// macros, the interface-declaration macros, DEFINE_GUID, the COM library's
// initialisation, object creation through the in-process servers registered
// under HKEY_CLASSES_ROOT\CLSID, task memory and GUID strings. The host runs
// them against its registry (winreg.h) and its modules (LoadLibraryA);
// kald_host/host_win32.h lets tests inspect the task memory and the servers
// loaded. Initialisation is counted per thread; the servers and the task
// memory are process-wide.
#pragma once

#include "minwindef.h"

#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif

// --- HRESULT ---

#define SEVERITY_SUCCESS 0
#define SEVERITY_ERROR 1
#define FACILITY_NULL 0
#define FACILITY_RPC 1
#define FACILITY_DISPATCH 2
#define FACILITY_STORAGE 3
#define FACILITY_ITF 4
#define FACILITY_WIN32 7

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define IS_ERROR(hr) (((unsigned long)(hr) >> 31) == SEVERITY_ERROR)
#define HRESULT_CODE(hr) ((hr) & 0xFFFF)
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1fff)
#define HRESULT_SEVERITY(hr) (((hr) >> 31) & 0x1)
#define MAKE_HRESULT(sev, fac, code) \
    ((HRESULT)(((unsigned long)(sev) << 31) | ((unsigned long)(fac) << 16) | ((unsigned long)(code))))
#define MAKE_SCODE(sev, fac, code) MAKE_HRESULT(sev, fac, code)
// A Win32 error code as an HRESULT; zero and HRESULTs pass unchanged.
#define HRESULT_FROM_WIN32(x)                                                                \
    ((HRESULT)(x) <= 0 ? ((HRESULT)(x))                                                     \
                       : ((HRESULT)((((unsigned long)(x)) & 0x0000FFFF) | (FACILITY_WIN32 << 16) | \
                                    0x80000000UL)))

#define S_OK ((HRESULT)0x00000000L)
#define S_FALSE ((HRESULT)0x00000001L)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_ABORT ((HRESULT)0x80004004L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define E_HANDLE ((HRESULT)0x80070006L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106L)
#define DISP_E_EXCEPTION ((HRESULT)0x80020009L)
#define TYPE_E_BUFFERTOOSMALL ((HRESULT)0x80028016L)
#define TYPE_E_INVDATAREAD ((HRESULT)0x80028018L)
#define TYPE_E_UNSUPFORMAT ((HRESULT)0x80028019L)
#define TYPE_E_REGISTRYACCESS ((HRESULT)0x8002801CL)
#define TYPE_E_LIBNOTREGISTERED ((HRESULT)0x8002801DL)
#define TYPE_E_INVALIDSTATE ((HRESULT)0x80028029L)
#define TYPE_E_ELEMENTNOTFOUND ((HRESULT)0x8002802BL)
#define TYPE_E_OUTOFBOUNDS ((HRESULT)0x80028CA1L)
#define TYPE_E_IOERROR ((HRESULT)0x80028CA2L)
#define TYPE_E_CANTLOADLIBRARY ((HRESULT)0x80029C4AL)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define CLASS_E_CLASSNOTAVAILABLE ((HRESULT)0x80040111L)
#define REGDB_E_READREGDB ((HRESULT)0x80040150L)
#define REGDB_E_WRITEREGDB ((HRESULT)0x80040151L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0L)
#define CO_E_CLASSSTRING ((HRESULT)0x800401F3L)
#define CO_E_IIDSTRING ((HRESULT)0x800401F4L)
#define CO_E_APPNOTFOUND ((HRESULT)0x800401F5L)
#define CO_E_DLLNOTFOUND ((HRESULT)0x800401F8L)
#define CO_E_ERRORINDLL ((HRESULT)0x800401F9L)

// --- Declaring interfaces and their methods ---

#define STDAPICALLTYPE
#define STDAPI EXTERN_C HRESULT STDAPICALLTYPE
#define STDAPI_(type) EXTERN_C type STDAPICALLTYPE
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define PURE = 0
#define THIS_
#define THIS void
#define DECLARE_INTERFACE(iface) struct iface
#define DECLARE_INTERFACE_(iface, baseiface) struct iface : public baseiface

// DEFINE_GUID declares the GUID; in the one source that defines INITGUID
// before including this it also defines it (as a weak symbol, so that two
// such sources do not clash, like the platform's selectany).
#undef DEFINE_GUID
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    EXTERN_C const GUID name __attribute__((weak));                  \
    EXTERN_C const GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) EXTERN_C const GUID name
#endif

// --- Types ---

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef GUID* LPGUID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;
typedef LONG SCODE;

#define IsEqualIID(riid1, riid2) IsEqualGUID(riid1, riid2)
#define IsEqualCLSID(rclsid1, rclsid2) IsEqualGUID(rclsid1, rclsid2)

// Where a server may run; the host has in-process servers only.
typedef enum tagCLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_INPROC_SERVER16 = 0x8,
    CLSCTX_REMOTE_SERVER = 0x10,
} CLSCTX;
#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

typedef enum tagCOINIT {
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = 0x0,
    COINIT_DISABLE_OLE1DDE = 0x4,
    COINIT_SPEED_OVER_MEMORY = 0x8,
} COINIT;

struct IUnknown;
struct IClassFactory;
typedef IUnknown* LPUNKNOWN;
typedef IClassFactory* LPCLASSFACTORY;

#include "unknwn.h"

#ifdef __cplusplus
extern "C" {
#endif

// Initialisation of the calling thread: the first call returns S_OK, later
// ones S_FALSE (each needs its CoUninitialize); a call asking for the other
// threading model fails with RPC_E_CHANGED_MODE and needs none. When the
// last initialisation of the process ends, every server module loaded is
// freed.
HRESULT WINAPI CoInitialize(LPVOID pvReserved);
HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void WINAPI CoUninitialize(void);
HRESULT WINAPI OleInitialize(LPVOID pvReserved);
void WINAPI OleUninitialize(void);

// The class object of `rclsid` from the in-process server named by the
// default value of HKEY_CLASSES_ROOT\CLSID\{rclsid}\InprocServer32. Fails
// with CO_E_NOTINITIALIZED on a thread not initialised, REGDB_E_CLASSNOTREG
// when the class is not registered (or not in process),
// HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND) when the module does not load,
// CO_E_ERRORINDLL when it exports no DllGetClassObject, and otherwise with
// what DllGetClassObject returns. The module stays loaded until
// CoFreeUnusedLibraries finds it unused or the last CoUninitialize.
HRESULT WINAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved,
                                REFIID riid, LPVOID* ppv);
// CoGetClassObject, then the class factory's CreateInstance.
HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                REFIID riid, LPVOID* ppv);
// Frees the server modules whose DllCanUnloadNow returns S_OK.
void WINAPI CoFreeUnusedLibraries(void);

LPVOID WINAPI CoTaskMemAlloc(SIZE_T cb);
LPVOID WINAPI CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
void WINAPI CoTaskMemFree(LPVOID pv);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case; returns the
// characters stored with the NUL (39), or 0 when cchMax is too small.
int WINAPI StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
// The same string in task memory (CoTaskMemFree it).
HRESULT WINAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
HRESULT WINAPI StringFromIID(REFIID rclsid, LPOLESTR* lplpsz);
// Reads the braced form, hex digits in either case, and nothing after the
// closing brace. CLSIDFromString also takes a ProgID registered under
// HKEY_CLASSES_ROOT\<ProgID>\CLSID. Malformed: CO_E_CLASSSTRING, or
// E_INVALIDARG from IIDFromString. A null string reads as GUID_NULL.
HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
HRESULT WINAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid);

#ifdef __cplusplus
}
#endif
