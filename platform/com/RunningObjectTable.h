#pragma once
// The running object table of this process: objects registered under item
// monikers so that a tool (or a test) can find them by display name.
#include <string>
#include <vector>

#include "platform/com/Unknown.h"

MARLIN_DEFINE_IID(IMoniker, 0x0000000F, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);
MARLIN_DEFINE_IID(IRunningObjectTable, 0x00000010, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                  0x46);

struct IBindCtx;  // never used here; always pass null

constexpr HRESULT MK_S_MONIKERALREADYREGISTERED = MakeHResult(0x000401E7);
constexpr DWORD ROTFLAGS_REGISTRATIONKEEPSALIVE = 0x1;

struct IMoniker : IUnknown
{
    // *name gets CoTaskMemAlloc'ed text; free it with CoTaskMemFree.
    virtual HRESULT GetDisplayName(IBindCtx* ctx, IMoniker* left, LPOLESTR* name) = 0;
    // S_OK when `other` has the same display name, else S_FALSE.
    virtual HRESULT IsEqual(IMoniker* other) = 0;

protected:
    ~IMoniker() = default;
};

struct IRunningObjectTable : IUnknown
{
    // The table holds a reference on `object` until Revoke. A name already
    // registered yields MK_S_MONIKERALREADYREGISTERED and a second entry.
    virtual HRESULT Register(DWORD flags, IUnknown* object, IMoniker* name, DWORD* cookie) = 0;
    // E_INVALIDARG for a cookie that is not registered (0 included).
    virtual HRESULT Revoke(DWORD cookie) = 0;
    virtual HRESULT IsRunning(IMoniker* name) = 0;
    virtual HRESULT GetObject(IMoniker* name, IUnknown** object) = 0;

protected:
    ~IRunningObjectTable() = default;
};

// The process's table; reserved must be 0.
HRESULT GetRunningObjectTable(DWORD reserved, IRunningObjectTable** table);
// An item moniker, display name = delimiter followed by item.
HRESULT CreateItemMoniker(LPCOLESTR delimiter, LPCOLESTR item, IMoniker** moniker);

// Test hooks: the object registered under a display name (as the moniker
// gives it, delimiter included), MK_E_UNAVAILABLE when there is none; and
// the display names registered now.
HRESULT RotGetObjectByDisplayNameForTesting(const std::u16string& displayName, IUnknown** object);
std::vector<std::u16string> RotDisplayNamesForTesting();
