#pragma once
// Process-wide COM services: apartment initialisation (a no-op here, since
// every object is free-threaded), task memory, and object creation through
// an in-process class registry.
#include <functional>

#include "platform/com/Unknown.h"

constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;

// S_OK the first time on a thread, S_FALSE afterwards (as Windows does).
HRESULT CoInitializeEx(void* reserved, DWORD coInit);
HRESULT CoInitialize(void* reserved);
void CoUninitialize();

void* CoTaskMemAlloc(size_t size);
void CoTaskMemFree(void* p);

// Registers `factory` (an IClassFactory) for `clsid`; the registry holds a
// reference until CoRevokeClassObject. A later registration of the same
// class wins until it is revoked.
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* factory, DWORD clsContext, DWORD flags,
                              DWORD* cookie);
HRESULT CoRevokeClassObject(DWORD cookie);
HRESULT CoGetClassObject(REFCLSID clsid, DWORD clsContext, void* reserved, REFIID riid, void** ppv);
// REGDB_E_CLASSNOTREG for an unknown class, CLASS_E_NOAGGREGATION for any
// outer object (no class here supports aggregation).
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* pUnkOuter, DWORD clsContext, REFIID riid, void** ppv);

// A class factory over a creation function. The function returns a new
// object with no references (or null and a failure in *hr); the factory
// takes the first reference through QueryInterface.
class CClassFactory final : public CUnknown, public IClassFactory
{
public:
    using CreateFunction = std::function<CUnknown*(HRESULT* hr)>;
    explicit CClassFactory(CreateFunction create);
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    HRESULT LockServer(BOOL) override { return S_OK; }

private:
    CreateFunction m_create;
};

// Registers a built-in class for the life of the process; meant for
// namespace-scope statics in the library that implements the class.
struct CBuiltinClassRegistration
{
    CBuiltinClassRegistration(REFCLSID clsid, CClassFactory::CreateFunction create);
};
