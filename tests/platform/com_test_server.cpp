// A minimal in-process COM server for the COM tests: one class whose
// objects only count themselves, served by a class factory that refuses
// aggregation; DllCanUnloadNow says S_OK when no object or lock is alive.
#include "kald_host/windows.h"

// {6A1F0C2E-5B3D-4E7A-9C11-2D4F8E0B7A93}
static const CLSID kCountedClass = {
    0x6A1F0C2E, 0x5B3D, 0x4E7A, {0x9C, 0x11, 0x2D, 0x4F, 0x8E, 0x0B, 0x7A, 0x93}};

namespace {

LONG Alive = 0; // objects and server locks

class Counted final : public IUnknown {
  public:
    Counted() { InterlockedIncrement(&Alive); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override
    {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (!IsEqualIID(riid, IID_IUnknown)) {
            *ppvObject = nullptr;
            return E_NOINTERFACE;
        }
        *ppvObject = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ULONG(InterlockedIncrement(&References)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG left = InterlockedDecrement(&References);
        if (left == 0) {
            delete this;
        }
        return ULONG(left);
    }

  private:
    ~Counted() { InterlockedDecrement(&Alive); }
    LONG References = 1;
};

class Factory final : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppvObject) override
    {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
            *ppvObject = nullptr;
            return E_NOINTERFACE;
        }
        *ppvObject = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    // The factory is static; it does not keep the module.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override
    {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        *ppvObject = nullptr;
        if (pUnkOuter != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        Counted* object = new Counted;
        const HRESULT hr = object->QueryInterface(riid, ppvObject);
        object->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL fLock) override
    {
        if (fLock) {
            InterlockedIncrement(&Alive);
        } else {
            InterlockedDecrement(&Alive);
        }
        return S_OK;
    }
};

Factory TheFactory;

} // namespace

extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE
DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (!IsEqualCLSID(rclsid, kCountedClass)) {
        *ppv = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return TheFactory.QueryInterface(riid, ppv);
}

extern "C" __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return Alive == 0 ? S_OK : S_FALSE;
}
