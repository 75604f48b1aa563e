#pragma once
// IUnknown, interface identifiers, the intrusive smart pointer ComPtr and the
// CUnknown implementation base with its live-object counter.
//
// Reference counting follows COM: an object starts with no references, its
// creator takes the first one, the last Release deletes it. Counts are
// atomic, so references may be taken and dropped on any thread.
#include <atomic>
#include <utility>

#include "platform/com/ComTypes.h"

// Maps an interface type to its IID; specialised by MARLIN_DEFINE_IID.
template <class Interface>
struct InterfaceIid;

#define MARLIN_DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

// Declares interface `Itf`, its IID_Itf constant and the InterfaceIid entry.
#define MARLIN_DEFINE_IID(Itf, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)        \
    struct Itf;                                                                 \
    MARLIN_DEFINE_GUID(IID_##Itf, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8);   \
    template <>                                                                 \
    struct InterfaceIid<Itf>                                                    \
    {                                                                           \
        static constexpr const IID& value = IID_##Itf;                          \
    }

MARLIN_DEFINE_IID(IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
MARLIN_DEFINE_IID(IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
MARLIN_DEFINE_IID(IPersist, 0x0000010C, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

struct IUnknown
{
    // On success *ppv holds an added reference; on failure it is null.
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;  // never deleted through an interface
};

struct IClassFactory : IUnknown
{
    virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};

struct IPersist : IUnknown
{
    virtual HRESULT GetClassID(CLSID* pClassID) = 0;

protected:
    ~IPersist() = default;
};

// Intrusive smart pointer: holds one reference on a COM object.
template <class T>
class ComPtr
{
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Takes a new reference on p.
    ComPtr(T* p) : m_p(p) { if (m_p) m_p->AddRef(); }
    ComPtr(const ComPtr& other) : ComPtr(other.m_p) {}
    ComPtr(ComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& other)
    {
        ComPtr(other).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        ComPtr(std::move(other)).Swap(*this);
        return *this;
    }
    ComPtr& operator=(T* p)
    {
        ComPtr(p).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t)
    {
        Reset();
        return *this;
    }

    // Adopts a reference the caller already owns.
    static ComPtr Attach(T* p)
    {
        ComPtr result;
        result.m_p = p;
        return result;
    }
    // Gives up the reference without releasing it.
    T* Detach() { return std::exchange(m_p, nullptr); }
    void Reset()
    {
        if (T* p = std::exchange(m_p, nullptr)) p->Release();
    }
    void Swap(ComPtr& other) noexcept { std::swap(m_p, other.m_p); }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // Releases what is held and returns the slot for an out parameter.
    T** ReleaseAndGetAddressOf()
    {
        Reset();
        return &m_p;
    }
    void** ReleaseAndGetVoidAddress() { return reinterpret_cast<void**>(ReleaseAndGetAddressOf()); }

    // QueryInterface for U into out.
    template <class U>
    HRESULT As(ComPtr<U>* out) const
    {
        if (!m_p) return E_POINTER;
        return m_p->QueryInterface(InterfaceIid<U>::value, out->ReleaseAndGetVoidAddress());
    }
    template <class U>
    ComPtr<U> As() const
    {
        ComPtr<U> out;
        As(&out);
        return out;
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) { return a.m_p == b.m_p; }
    friend bool operator==(const ComPtr& a, std::nullptr_t) { return a.m_p == nullptr; }

private:
    T* m_p = nullptr;
};

// Hands out `p` through an interface out parameter, with a new reference.
inline HRESULT GetInterface(IUnknown* p, void** ppv)
{
    if (!ppv) return E_POINTER;
    *ppv = p;
    p->AddRef();
    return S_OK;
}

// Base of every framework object: counts the objects alive in the process so
// that tests can prove a torn-down graph leaves nothing behind.
class CBaseObject
{
public:
    explicit CBaseObject(const char* name);
    virtual ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;

    // Number of CBaseObject instances alive now.
    static long ObjectsActive();
    const char* Name() const { return m_pName; }

private:
    const char* m_pName;  // static text, for debugging only
};

// Implements IUnknown for one object: an atomic count that deletes the object
// when it falls to zero. A class that implements further interfaces puts
// DECLARE_IUNKNOWN in its body and answers their IIDs in
// NonDelegatingQueryInterface, passing the rest to its base.
class CUnknown : public CBaseObject, public IUnknown
{
public:
    explicit CUnknown(const char* name) : CBaseObject(name) {}
    ~CUnknown() override = default;

    // IID_IUnknown yields this object's identity; anything else E_NOINTERFACE.
    virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv);
    virtual ULONG NonDelegatingAddRef();
    virtual ULONG NonDelegatingRelease();

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return NonDelegatingQueryInterface(riid, ppv); }
    ULONG AddRef() override { return NonDelegatingAddRef(); }
    ULONG Release() override { return NonDelegatingRelease(); }

    IUnknown* GetOwner() { return static_cast<IUnknown*>(this); }

protected:
    std::atomic<long> m_cRef{0};
};

#define DECLARE_IUNKNOWN                                                                         \
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return NonDelegatingQueryInterface(riid, ppv); } \
    ULONG AddRef() override { return NonDelegatingAddRef(); }                                   \
    ULONG Release() override { return NonDelegatingRelease(); }
