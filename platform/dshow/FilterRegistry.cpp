#include "platform/dshow/FilterRegistry.h"

#include <algorithm>

#include "platform/dshow/MediaEventNotify.h"
#include "platform/os/Sync.h"

namespace {

struct Registry
{
    Mutex lock;  // a leaf lock
    std::vector<SystemFilterInfo> entries GUARDED_BY(lock);  // registration order
};

Registry& TheRegistry()
{
    static Registry* registry = new Registry;  // process lifetime
    return *registry;
}

struct Poster
{
    Mutex lock;  // a leaf lock: the poster is called after it is let go
    NotifyMessagePoster poster GUARDED_BY(lock);
};

Poster& ThePoster()
{
    static Poster* poster = new Poster;  // process lifetime
    return *poster;
}

}  // namespace

HRESULT RegisterSystemFilter(const SystemFilterInfo& info)
{
    Registry& reg = TheRegistry();
    MutexLock guard(reg.lock);
    for (SystemFilterInfo& e : reg.entries) {
        if (e.clsid == info.clsid) {
            e = info;
            return S_OK;
        }
    }
    reg.entries.push_back(info);
    return S_OK;
}

HRESULT UnregisterSystemFilter(REFCLSID clsid)
{
    Registry& reg = TheRegistry();
    MutexLock guard(reg.lock);
    auto it = std::find_if(reg.entries.begin(), reg.entries.end(),
                           [&](const SystemFilterInfo& e) { return e.clsid == clsid; });
    if (it == reg.entries.end()) return S_FALSE;
    reg.entries.erase(it);
    return S_OK;
}

std::vector<SystemFilterInfo> SystemFiltersByMerit()
{
    Registry& reg = TheRegistry();
    std::vector<SystemFilterInfo> copy;
    {
        MutexLock guard(reg.lock);
        copy = reg.entries;
    }
    std::stable_sort(copy.begin(), copy.end(),
                     [](const SystemFilterInfo& a, const SystemFilterInfo& b) { return a.merit > b.merit; });
    return copy;
}

bool SystemFilterAccepts(const SystemFilterInfo& info, const GUID& major, const GUID& minor)
{
    for (const REGPINTYPES& t : info.inputTypes) {
        bool majorOk = t.clsMajorType == GUID_NULL || t.clsMajorType == major;
        bool minorOk = t.clsMinorType == GUID_NULL || t.clsMinorType == minor;
        if (majorOk && minorOk) return true;
    }
    return false;
}

void SetNotifyMessagePoster(NotifyMessagePoster poster)
{
    Poster& p = ThePoster();
    MutexLock guard(p.lock);
    p.poster = std::move(poster);
}

bool PostNotifyMessage(OAHWND window, uint32_t message, uintptr_t wParam, intptr_t lParam)
{
    NotifyMessagePoster poster;
    {
        Poster& p = ThePoster();
        MutexLock guard(p.lock);
        poster = p.poster;
    }
    return poster ? poster(window, message, wParam, lParam) : false;
}
