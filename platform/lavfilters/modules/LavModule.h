#pragma once
// What each decoder module (.ax) exports: DllGetClassObject for its one
// class identifier, and DllCanUnloadNow. Built into each module separately;
// the framework libraries are linked in with their symbols kept local, so
// the live-object count below is the module's own.
#include <atomic>

#include "platform/com/ComApi.h"

namespace lavmodule {

// Server locks taken through IClassFactory::LockServer.
inline std::atomic<long> g_cServerLocks{0};

// Creates filters of one class; the filter takes the class identifier so
// that the same code serves the module and the system filter set.
template <class Filter>
class CFilterFactory final : public CUnknown, public IClassFactory
{
public:
    explicit CFilterFactory(REFCLSID clsid) : CUnknown("CFilterFactory"), m_clsid(clsid) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IClassFactory) return GetInterface(static_cast<IClassFactory*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter) return CLASS_E_NOAGGREGATION;
        ComPtr<Filter> filter(new Filter(m_clsid));  // the first reference
        return filter->QueryInterface(riid, ppv);
    }
    HRESULT LockServer(BOOL lock) override
    {
        g_cServerLocks += lock ? 1 : -1;
        return S_OK;
    }

private:
    const CLSID m_clsid;
};

// DllGetClassObject for a module serving `clsid` with `Filter`.
template <class Filter>
HRESULT GetClassObject(REFCLSID served, REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!(clsid == served)) return CLASS_E_CLASSNOTAVAILABLE;
    ComPtr<CFilterFactory<Filter>> factory(new CFilterFactory<Filter>(served));
    return factory->QueryInterface(riid, ppv);
}

// S_OK when nothing made by this module is alive (filters, pins, samples,
// factories) and no server lock is held.
inline HRESULT CanUnloadNow()
{
    return CBaseObject::ObjectsActive() == 0 && g_cServerLocks.load() == 0 ? S_OK : S_FALSE;
}

}  // namespace lavmodule

#define LAV_MODULE_EXPORT extern "C" __attribute__((visibility("default")))
