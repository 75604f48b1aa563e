#include "platform/com/ComApi.h"

#include <cstdlib>
#include <vector>

#include "platform/os/Sync.h"

namespace {

struct ClassEntry
{
    CLSID clsid;
    ComPtr<IUnknown> factory;
    DWORD cookie;
};

// The class registry. Built-in classes register at static initialisation,
// so the registry is a function-local static to be ready for them.
struct ClassRegistry
{
    Mutex lock;  // a leaf lock: factories are called and released after it
    std::vector<ClassEntry> entries GUARDED_BY(lock);  // newest last
    DWORD nextCookie GUARDED_BY(lock) = 1;
};

ClassRegistry& Registry()
{
    static ClassRegistry* registry = new ClassRegistry;  // lives to process end, never torn down
    return *registry;
}

thread_local int t_initCount = 0;

}  // namespace

HRESULT CoInitializeEx(void*, DWORD) { return t_initCount++ == 0 ? S_OK : S_FALSE; }
HRESULT CoInitialize(void* reserved) { return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED); }
void CoUninitialize()
{
    if (t_initCount > 0) --t_initCount;
}

void* CoTaskMemAlloc(size_t size) { return std::malloc(size ? size : 1); }
void CoTaskMemFree(void* p) { std::free(p); }

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD, DWORD, DWORD* cookie)
{
    if (!factory || !cookie) return E_INVALIDARG;
    ClassRegistry& reg = Registry();
    MutexLock guard(reg.lock);
    *cookie = reg.nextCookie++;
    reg.entries.push_back({clsid, ComPtr<IUnknown>(factory), *cookie});
    return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie)
{
    ComPtr<IUnknown> dropped;  // released outside the lock
    ClassRegistry& reg = Registry();
    MutexLock guard(reg.lock);
    for (auto it = reg.entries.begin(); it != reg.entries.end(); ++it) {
        if (it->cookie == cookie) {
            dropped = std::move(it->factory);
            reg.entries.erase(it);
            return S_OK;
        }
    }
    return CO_E_OBJNOTREG;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD, void*, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ComPtr<IUnknown> factory;
    {
        ClassRegistry& reg = Registry();
        MutexLock guard(reg.lock);
        for (auto it = reg.entries.rbegin(); it != reg.entries.rend(); ++it) {
            if (it->clsid == clsid) {
                factory = it->factory;
                break;
            }
        }
    }
    if (!factory) return REGDB_E_CLASSNOTREG;
    return factory->QueryInterface(riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* pUnkOuter, DWORD clsContext, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    ComPtr<IClassFactory> factory;
    HRESULT hr = CoGetClassObject(clsid, clsContext, nullptr, IID_IClassFactory,
                                  factory.ReleaseAndGetVoidAddress());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, riid, ppv);
}

CClassFactory::CClassFactory(CreateFunction create) : CUnknown("CClassFactory"), m_create(std::move(create)) {}

HRESULT CClassFactory::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IClassFactory) return GetInterface(static_cast<IClassFactory*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    HRESULT hr = S_OK;
    CUnknown* object = m_create(&hr);
    if (!object) return FAILED(hr) ? hr : E_OUTOFMEMORY;
    // Hold a reference while asking, so a refused interface frees the object.
    object->NonDelegatingAddRef();
    if (SUCCEEDED(hr)) hr = object->NonDelegatingQueryInterface(riid, ppv);
    object->NonDelegatingRelease();
    return hr;
}

CBuiltinClassRegistration::CBuiltinClassRegistration(REFCLSID clsid, CClassFactory::CreateFunction create)
{
    // The factory stays registered for the process's life; it is created
    // before any test counts live objects.
    ComPtr<CClassFactory> factory(new CClassFactory(std::move(create)));
    DWORD cookie = 0;
    CoRegisterClassObject(clsid, static_cast<IClassFactory*>(factory.Get()), CLSCTX_INPROC_SERVER,
                          REGCLS_MULTIPLEUSE, &cookie);
}
