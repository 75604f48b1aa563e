#pragma once
// What each decoder module (.ax) exports: DllGetClassObject for its one
// class identifier, and DllCanUnloadNow. Built into each module separately
// (the filter code is linked in with its symbols kept local); the framework
// libraries are shared, so the module counts its own objects: the filters
// and factories whose code lives in it.
#include <atomic>

#include "platform/com/ComApi.h"

namespace lavmodule {

// Server locks taken through IClassFactory::LockServer.
inline std::atomic<long> g_cServerLocks{0};
// Live filters and factories of this module.
inline std::atomic<long> g_cObjects{0};

// A filter of this module: counted while it lives.
template <class Filter>
class CModuleFilter final : public Filter
{
public:
    explicit CModuleFilter(REFCLSID clsid) : Filter(clsid) { ++g_cObjects; }
    ~CModuleFilter() override { --g_cObjects; }
};

// Creates filters of one class; the filter takes the class identifier so
// that the same code serves the module and the system filter set.
template <class Filter>
class CFilterFactory final : public CUnknown, public IClassFactory
{
public:
    explicit CFilterFactory(REFCLSID clsid) : CUnknown("CFilterFactory"), m_clsid(clsid) { ++g_cObjects; }
    ~CFilterFactory() override { --g_cObjects; }
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
        ComPtr<Filter> filter(new CModuleFilter<Filter>(m_clsid));  // the first reference
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

// S_OK when no filter or factory of this module is alive and no server
// lock is held.
inline HRESULT CanUnloadNow()
{
    return g_cObjects.load() == 0 && g_cServerLocks.load() == 0 ? S_OK : S_FALSE;
}

}  // namespace lavmodule

#define LAV_MODULE_EXPORT extern "C" __attribute__((visibility("default")))
