#include "com_module.h"

#include <cstring>

#include "registrar.h"

ComModule Module;

namespace {

// Longest module path accepted, in characters with the terminating zero.
constexpr DWORD ModulePathSize = 1024;

// The UTF-8 byte-order mark an editor may leave at the start of a script.
constexpr unsigned char ByteOrderMark[] = {0xEF, 0xBB, 0xBF};

// The failure of the Win32 call just made, never a success.
HRESULT LastError()
{
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

// The module path for the type-library functions, which take wide strings:
// each byte of the ANSI path as the character of the same number, which
// keeps every ASCII path exact. `Wide` holds at least as many characters as
// `Path` has bytes with its zero.
void WidenPath(const char* Path, OLECHAR* Wide)
{
    size_t i = 0;
    for (; Path[i] != '\0'; ++i) {
        Wide[i] = static_cast<OLECHAR>(static_cast<unsigned char>(Path[i]));
    }
    Wide[i] = 0;
}

} // namespace

void ComModule::Init(const ObjectEntry* Map, size_t Count, HINSTANCE Instance)
{
    ObjectMap = Map;
    ObjectCount = Map != nullptr ? Count : 0;
    ModuleInstance = Instance;
    ResourceInstance = Instance;
}

void ComModule::Term()
{
    ObjectMap = nullptr;
    ObjectCount = 0;
    ModuleInstance = nullptr;
    ResourceInstance = nullptr;
}

LONG ComModule::Lock()
{
    return InterlockedIncrement(&Locks);
}

LONG ComModule::Unlock()
{
    // An unbalanced unlock must not leave the count below zero, where no
    // number of later locks would let the module unload at the right time.
    const LONG count = InterlockedDecrement(&Locks);
    if (count < 0) {
        InterlockedIncrement(&Locks);
        return 0;
    }
    return count;
}

LONG ComModule::LockCount() const
{
    return Locks;
}

HRESULT ComModule::GetClassObject(REFCLSID Clsid, REFIID Riid, void** Object)
{
    if (Object == nullptr) {
        return E_POINTER;
    }
    *Object = nullptr;
    for (size_t i = 0; i < ObjectCount; ++i) {
        const ObjectEntry& entry = ObjectMap[i];
        if (entry.Clsid == nullptr || !SameGuid(*entry.Clsid, Clsid)) {
            continue;
        }
        if (entry.CreateInstance == nullptr) {
            return CLASS_E_CLASSNOTAVAILABLE;
        }
        ClassFactory* factory = new (std::nothrow) ClassFactory(entry);
        if (factory == nullptr) {
            return E_OUTOFMEMORY;
        }
        const HRESULT result = factory->QueryInterface(Riid, Object);
        factory->Release();
        return result;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT ComModule::RunEntryScript(const ObjectEntry& Entry, BOOL Register, const char* ModulePath)
{
    SetLastError(ERROR_SUCCESS);
    HRSRC resource = FindResourceA(ModuleInstance, MAKEINTRESOURCEA(Entry.RegistryScriptId), "REGISTRY");
    if (resource == nullptr) {
        return LastError();
    }
    const DWORD size = SizeofResource(ModuleInstance, resource);
    HGLOBAL loaded = LoadResource(ModuleInstance, resource);
    const char* script = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (script == nullptr) {
        return LastError();
    }
    size_t length = size;
    if (length >= sizeof(ByteOrderMark) && std::memcmp(script, ByteOrderMark, sizeof(ByteOrderMark)) == 0) {
        script += sizeof(ByteOrderMark);
        length -= sizeof(ByteOrderMark);
    }
    // Resource data may be padded with zeros: the script ends at the first.
    const void* zero = std::memchr(script, 0, length);
    if (zero != nullptr) {
        length = static_cast<size_t>(static_cast<const char*>(zero) - script);
    }
    const ScriptReplacement replacements[] = {{"MODULE", ModulePath}};
    return RunRegistryScript(script, length, Register, replacements, 1);
}

HRESULT ComModule::RegisterServer(BOOL RegisterTypeLibrary)
{
    char path[ModulePathSize];
    SetLastError(ERROR_SUCCESS);
    const DWORD pathLength = GetModuleFileNameA(ModuleInstance, path, ModulePathSize);
    if (pathLength == 0 || pathLength >= ModulePathSize) {
        return pathLength == 0 ? LastError() : HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    for (size_t i = 0; i < ObjectCount; ++i) {
        const HRESULT result = RunEntryScript(ObjectMap[i], TRUE, path);
        if (FAILED(result)) {
            return result;
        }
    }
    if (!RegisterTypeLibrary) {
        return S_OK;
    }
    OLECHAR widePath[ModulePathSize];
    WidenPath(path, widePath);
    ITypeLib* library = nullptr;
    HRESULT result = LoadTypeLibEx(widePath, REGKIND_NONE, &library);
    if (FAILED(result)) {
        return result;
    }
    result = RegisterTypeLib(library, widePath, nullptr);
    library->Release();
    return result;
}

HRESULT ComModule::UnregisterServer()
{
    char path[ModulePathSize];
    SetLastError(ERROR_SUCCESS);
    const DWORD pathLength = GetModuleFileNameA(ModuleInstance, path, ModulePathSize);
    if (pathLength == 0 || pathLength >= ModulePathSize) {
        return pathLength == 0 ? LastError() : HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    }
    // Every class is unregistered even after one fails, so that one broken
    // script does not leave the others behind.
    HRESULT first = S_OK;
    for (size_t i = 0; i < ObjectCount; ++i) {
        const HRESULT result = RunEntryScript(ObjectMap[i], FALSE, path);
        if (FAILED(result) && SUCCEEDED(first)) {
            first = result;
        }
    }
    return first;
}

HRESULT ComModule::CanUnloadNow()
{
    return LockCount() == 0 ? S_OK : S_FALSE;
}

ComObjectRoot::ComObjectRoot() : Inner(*this)
{
    Module.Lock();
}

ComObjectRoot::~ComObjectRoot()
{
    Module.Unlock();
}

HRESULT ComObjectRoot::InternalQueryInterface(REFIID Riid, void** Object)
{
    if (Object == nullptr) {
        return E_POINTER;
    }
    *Object = nullptr;
    IUnknown* found = SameGuid(Riid, IID_IUnknown) ? &Inner : FindInterface(Riid);
    if (found == nullptr) {
        return E_NOINTERFACE;
    }
    // Through the interface found: an aggregated object's own interfaces
    // count on the outer object, its inner unknown on itself.
    found->AddRef();
    *Object = found;
    return S_OK;
}

ULONG ComObjectRoot::InternalAddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&RefCount));
}

ULONG ComObjectRoot::InternalRelease()
{
    const LONG count = InterlockedDecrement(&RefCount);
    if (count == 0) {
        // A count no release in the destructor can bring back to zero.
        RefCount = 0x40000000;
        delete this;
    }
    return static_cast<ULONG>(count);
}

IUnknown* ComObjectRoot::ControllingUnknown()
{
    return Outer != nullptr ? Outer : &Inner;
}

HRESULT ComObjectRoot::OuterQueryInterface(REFIID Riid, void** Object)
{
    return ControllingUnknown()->QueryInterface(Riid, Object);
}

ULONG ComObjectRoot::OuterAddRef()
{
    return ControllingUnknown()->AddRef();
}

ULONG ComObjectRoot::OuterRelease()
{
    return ControllingUnknown()->Release();
}

HRESULT STDMETHODCALLTYPE ComObjectRoot::InnerUnknownImpl::QueryInterface(REFIID Riid, void** Object)
{
    return Owner.InternalQueryInterface(Riid, Object);
}

ULONG STDMETHODCALLTYPE ComObjectRoot::InnerUnknownImpl::AddRef()
{
    return Owner.InternalAddRef();
}

ULONG STDMETHODCALLTYPE ComObjectRoot::InnerUnknownImpl::Release()
{
    return Owner.InternalRelease();
}

ClassFactory::ClassFactory(const ObjectEntry& ForEntry) : Entry(ForEntry)
{
    Module.Lock();
}

ClassFactory::~ClassFactory()
{
    Module.Unlock();
}

HRESULT STDMETHODCALLTYPE ClassFactory::QueryInterface(REFIID Riid, void** Object)
{
    if (Object == nullptr) {
        return E_POINTER;
    }
    if (SameGuid(Riid, IID_IUnknown) || SameGuid(Riid, IID_IClassFactory)) {
        AddRef();
        *Object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    *Object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ClassFactory::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&RefCount));
}

ULONG STDMETHODCALLTYPE ClassFactory::Release()
{
    const LONG count = InterlockedDecrement(&RefCount);
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE ClassFactory::CreateInstance(IUnknown* Outer, REFIID Riid, void** Object)
{
    if (Object == nullptr) {
        return E_POINTER;
    }
    *Object = nullptr;
    return Entry.CreateInstance(Outer, Riid, Object);
}

HRESULT STDMETHODCALLTYPE ClassFactory::LockServer(BOOL DoLock)
{
    if (DoLock) {
        Module.Lock();
    } else {
        Module.Unlock();
    }
    return S_OK;
}
