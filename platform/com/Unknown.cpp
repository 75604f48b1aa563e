#include "platform/com/Unknown.h"

namespace {
std::atomic<long> g_cObjects{0};
}

CBaseObject::CBaseObject(const char* name) : m_pName(name) { g_cObjects.fetch_add(1); }

CBaseObject::~CBaseObject() { g_cObjects.fetch_sub(1); }

long CBaseObject::ObjectsActive() { return g_cObjects.load(); }

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown) return GetInterface(static_cast<IUnknown*>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CUnknown::NonDelegatingAddRef() { return static_cast<ULONG>(m_cRef.fetch_add(1) + 1); }

ULONG CUnknown::NonDelegatingRelease()
{
    long left = m_cRef.fetch_sub(1) - 1;
    if (left == 0) {
        // Guard against a Release from inside the destructor deleting twice.
        m_cRef.store(1);
        delete this;
    }
    return static_cast<ULONG>(left < 0 ? 0 : left);
}
