#include "platform/com/RunningObjectTable.h"

#include <cstring>

#include "platform/com/ComApi.h"
#include "platform/os/Sync.h"

namespace {

class CItemMoniker final : public CUnknown, public IMoniker
{
public:
    explicit CItemMoniker(std::u16string name) : CUnknown("CItemMoniker"), m_name(std::move(name)) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IMoniker) return GetInterface(static_cast<IMoniker*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT GetDisplayName(IBindCtx*, IMoniker*, LPOLESTR* name) override
    {
        if (!name) return E_POINTER;
        auto* text = static_cast<OLECHAR*>(CoTaskMemAlloc((m_name.size() + 1) * sizeof(OLECHAR)));
        if (!text) return E_OUTOFMEMORY;
        std::memcpy(text, m_name.c_str(), (m_name.size() + 1) * sizeof(OLECHAR));
        *name = text;
        return S_OK;
    }
    HRESULT IsEqual(IMoniker* other) override
    {
        if (!other) return E_INVALIDARG;
        LPOLESTR text = nullptr;
        if (FAILED(other->GetDisplayName(nullptr, nullptr, &text))) return S_FALSE;
        bool same = m_name == text;
        CoTaskMemFree(text);
        return same ? S_OK : S_FALSE;
    }

private:
    const std::u16string m_name;
};

std::u16string DisplayNameOf(IMoniker* moniker)
{
    LPOLESTR text = nullptr;
    if (!moniker || FAILED(moniker->GetDisplayName(nullptr, nullptr, &text))) return {};
    std::u16string name(text);
    CoTaskMemFree(text);
    return name;
}

// One table per process. It is not reference-counted: AddRef and Release
// do nothing, and it lives until the process ends.
class CRunningObjectTable final : public IRunningObjectTable
{
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IRunningObjectTable) {
            *ppv = static_cast<IRunningObjectTable*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    HRESULT Register(DWORD, IUnknown* object, IMoniker* name, DWORD* cookie) override
    {
        if (!object || !name || !cookie) return E_INVALIDARG;
        std::u16string display = DisplayNameOf(name);
        MutexLock guard(m_lock);
        bool already = false;
        for (const Entry& e : m_entries) already = already || e.name == display;
        *cookie = m_nextCookie++;
        m_entries.push_back({*cookie, std::move(display), ComPtr<IUnknown>(object)});
        return already ? MK_S_MONIKERALREADYREGISTERED : S_OK;
    }
    HRESULT Revoke(DWORD cookie) override
    {
        ComPtr<IUnknown> dropped;  // released after the lock
        MutexLock guard(m_lock);
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->cookie == cookie) {
                dropped = std::move(it->object);
                m_entries.erase(it);
                return S_OK;
            }
        }
        return E_INVALIDARG;
    }
    HRESULT IsRunning(IMoniker* name) override
    {
        ComPtr<IUnknown> object;
        return SUCCEEDED(Find(DisplayNameOf(name), object.ReleaseAndGetAddressOf())) ? S_OK : S_FALSE;
    }
    HRESULT GetObject(IMoniker* name, IUnknown** object) override
    {
        if (!name || !object) return E_INVALIDARG;
        return Find(DisplayNameOf(name), object);
    }

    HRESULT Find(const std::u16string& display, IUnknown** object)
    {
        *object = nullptr;
        MutexLock guard(m_lock);
        for (const Entry& e : m_entries) {
            if (e.name == display) {
                *object = e.object.Get();
                (*object)->AddRef();
                return S_OK;
            }
        }
        return MK_E_UNAVAILABLE;
    }
    std::vector<std::u16string> Names()
    {
        MutexLock guard(m_lock);
        std::vector<std::u16string> names;
        for (const Entry& e : m_entries) names.push_back(e.name);
        return names;
    }

private:
    struct Entry
    {
        DWORD cookie;
        std::u16string name;
        ComPtr<IUnknown> object;
    };
    Mutex m_lock;  // a leaf lock: entries are released after it
    std::vector<Entry> m_entries GUARDED_BY(m_lock);
    DWORD m_nextCookie GUARDED_BY(m_lock) = 1;  // 0 is never a cookie
};

CRunningObjectTable& Table()
{
    static CRunningObjectTable* table = new CRunningObjectTable;  // process lifetime
    return *table;
}

}  // namespace

HRESULT GetRunningObjectTable(DWORD reserved, IRunningObjectTable** table)
{
    if (!table) return E_POINTER;
    *table = nullptr;
    if (reserved != 0) return E_INVALIDARG;
    *table = &Table();
    return S_OK;
}

HRESULT CreateItemMoniker(LPCOLESTR delimiter, LPCOLESTR item, IMoniker** moniker)
{
    if (!moniker) return E_POINTER;
    *moniker = nullptr;
    if (!item) return E_INVALIDARG;
    std::u16string name = delimiter ? std::u16string(delimiter) : std::u16string();
    name += item;
    return GetInterface(static_cast<IMoniker*>(new CItemMoniker(std::move(name))),
                        reinterpret_cast<void**>(moniker));
}

HRESULT RotGetObjectByDisplayNameForTesting(const std::u16string& displayName, IUnknown** object)
{
    if (!object) return E_POINTER;
    return Table().Find(displayName, object);
}

std::vector<std::u16string> RotDisplayNamesForTesting() { return Table().Names(); }
