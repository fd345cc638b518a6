// Kaldprop's small COM class library: the module object with its lock count
// and object map, the class factory, and the object root that gives every
// object of the module its identity, its reference count and aggregation.
// Written over the plain Win32 and COM API so the same code serves the host
// and Windows.
#pragma once

#include <cstddef>
#include <new>

#include "propui_platform.h"

// One creatable class of the module, in registration order.
struct ObjectEntry {
    const CLSID* Clsid;
    // Makes an object of the class, alone (Outer null) or aggregated.
    HRESULT (*CreateInstance)(IUnknown* Outer, REFIID Riid, void** Object);
    // The class's registry script: resource type "REGISTRY", this id, in the DLL.
    UINT RegistryScriptId;
};

// The module object of one DLL: its object map, its instance handles and the
// count of live objects, factories and server locks that keep it loaded.
class ComModule {
  public:
    // Process attach: keeps the map (it must outlive the module object's
    // use) and makes `Instance` both the module and the resource instance.
    void Init(const ObjectEntry* Map, size_t Count, HINSTANCE Instance);
    // Process detach: forgets the map and the instances.
    void Term();

    // Interlocked; live objects, live class factories and
    // IClassFactory::LockServer(TRUE) each hold one. Both return the new
    // count; Unlock never takes the count below zero.
    LONG Lock();
    LONG Unlock();
    LONG LockCount() const;

    // The class factory of `Clsid` asked for `Riid` (IUnknown or
    // IClassFactory). CLASS_E_CLASSNOTAVAILABLE for a class not in the map,
    // E_POINTER for a null out-pointer, E_NOINTERFACE for another interface.
    HRESULT GetClassObject(REFCLSID Clsid, REFIID Riid, void** Object);

    // Runs every class's script in map order in register mode with %MODULE%
    // the DLL's full path, stopping at and returning the first failure; then,
    // when asked, loads the type library from the DLL's own file and
    // registers it, returning that failure.
    HRESULT RegisterServer(BOOL RegisterTypeLibrary);
    // Runs every class's script in unregister mode and returns the first
    // failure; the type library stays registered.
    HRESULT UnregisterServer();
    // S_OK when LockCount() is 0, else S_FALSE.
    HRESULT CanUnloadNow();

    HINSTANCE ModuleInstance = nullptr;   // the DLL
    HINSTANCE ResourceInstance = nullptr; // where dialogs and strings are loaded from (the DLL, or a language library)

    const ObjectEntry* ObjectMap = nullptr;
    size_t ObjectCount = 0;

  private:
    // Runs the script of one entry from the DLL's resources.
    HRESULT RunEntryScript(const ObjectEntry& Entry, BOOL Register, const char* ModulePath);

    volatile LONG Locks = 0;
};

// The module object of this DLL.
extern ComModule Module;

// TRUE when two GUIDs are the same.
inline BOOL SameGuid(REFGUID A, REFGUID B)
{
    const unsigned char* a = reinterpret_cast<const unsigned char*>(&A);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&B);
    for (size_t i = 0; i < sizeof(GUID); ++i) {
        if (a[i] != b[i]) {
            return FALSE;
        }
    }
    return TRUE;
}

// COM interfaces have no virtual destructor on purpose: an object ends
// through its own Release, never through a delete of an interface pointer.
// The classes below that implement interfaces all have virtual destructors
// of their own, so the warning about the interfaces' destructors is off for
// them alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"

// The root of every COM object of the module. It keeps the reference count,
// holds one module lock for the object's life, and owns the object's inner
// (non-delegating) IUnknown. Alone, the inner unknown controls the object;
// aggregated, the outer unknown does and the inner unknown belongs to the
// outer object only. A derived class routes the IUnknown methods of its
// interfaces to OuterQueryInterface, OuterAddRef and OuterRelease, and names
// its interfaces in InternalQueryInterface.
class ComObjectRoot {
  public:
    ComObjectRoot();
    virtual ~ComObjectRoot();
    ComObjectRoot(const ComObjectRoot&) = delete;
    ComObjectRoot& operator=(const ComObjectRoot&) = delete;

    // Called once by CreateObject before the first interface is handed out,
    // with the outer unknown already known; a failure destroys the object.
    virtual HRESULT FinalConstruct() { return S_OK; }

    // The object's own IUnknown behaviour. InternalQueryInterface answers
    // IID_IUnknown with the inner unknown and other interfaces through
    // FindInterface, adding a reference in both cases.
    HRESULT InternalQueryInterface(REFIID Riid, void** Object);
    ULONG InternalAddRef();
    ULONG InternalRelease();

    // The unknown that controls the object: the outer one when aggregated,
    // else the inner one.
    IUnknown* ControllingUnknown();
    // The inner, non-delegating unknown.
    IUnknown* InnerUnknown() { return &Inner; }
    // Non-null while aggregated.
    IUnknown* OuterUnknown() const { return Outer; }

    // Set by CreateObject before FinalConstruct; not for other use.
    void SetOuterUnknown(IUnknown* OuterObject) { Outer = OuterObject; }

  protected:
    // The interface `Riid` of this object (other than IUnknown) without a
    // reference added, or null when the object does not have it.
    virtual IUnknown* FindInterface(REFIID Riid) = 0;

    // The IUnknown methods of the object's interfaces: they go to the
    // controlling unknown.
    HRESULT OuterQueryInterface(REFIID Riid, void** Object);
    ULONG OuterAddRef();
    ULONG OuterRelease();

  private:
    // The non-delegating unknown, a separate IUnknown so that its identity
    // differs from the interfaces that delegate.
    class InnerUnknownImpl : public IUnknown {
      public:
        explicit InnerUnknownImpl(ComObjectRoot& Root) : Owner(Root) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID Riid, void** Object) override;
        ULONG STDMETHODCALLTYPE AddRef() override;
        ULONG STDMETHODCALLTYPE Release() override;

      private:
        ComObjectRoot& Owner;
    };

    volatile LONG RefCount = 0;
    IUnknown* Outer = nullptr;
    InnerUnknownImpl Inner;
};

// Creates a T (default-constructible, derived from ComObjectRoot), alone or
// aggregated: with an outer unknown only IID_IUnknown may be asked (else
// CLASS_E_NOAGGREGATION) and the inner unknown is returned.
template <class T>
HRESULT CreateObject(IUnknown* Outer, REFIID Riid, void** Object)
{
    if (Object == nullptr) {
        return E_POINTER;
    }
    *Object = nullptr;
    if (Outer != nullptr && !SameGuid(Riid, IID_IUnknown)) {
        return CLASS_E_NOAGGREGATION;
    }
    T* created = new (std::nothrow) T;
    if (created == nullptr) {
        return E_OUTOFMEMORY;
    }
    ComObjectRoot* root = created;
    root->SetOuterUnknown(Outer);
    // One reference for the construction, so that a failed query releases
    // the object exactly once.
    root->InternalAddRef();
    HRESULT result = root->FinalConstruct();
    if (SUCCEEDED(result)) {
        result = root->InternalQueryInterface(Riid, Object);
    }
    root->InternalRelease();
    return result;
}

// The standard class factory of one map entry. It keeps a module lock while
// it lives, so a module with a factory in use does not unload.
class ClassFactory : public IClassFactory {
  public:
    explicit ClassFactory(const ObjectEntry& ForEntry);
    virtual ~ClassFactory();
    ClassFactory(const ClassFactory&) = delete;
    ClassFactory& operator=(const ClassFactory&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID Riid, void** Object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // Creates an object through the entry's function.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* Outer, REFIID Riid, void** Object) override;
    // TRUE takes a module lock, FALSE gives one back.
    HRESULT STDMETHODCALLTYPE LockServer(BOOL DoLock) override;

  private:
    const ObjectEntry& Entry;
    volatile LONG RefCount = 1;
};

#pragma GCC diagnostic pop
