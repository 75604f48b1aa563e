#include "platform/lavfilters/filters/LavSystemFilters.h"

#include <mutex>

#include "platform/lavfilters/filters/LavAudioDecoder.h"
#include "platform/lavfilters/filters/LavGuids.h"
#include "platform/lavfilters/filters/LavSplitter.h"
#include "platform/lavfilters/filters/LavVideoDecoder.h"

namespace lav {

const std::vector<SystemFilterInfo>& SystemFilters()
{
    static const std::vector<SystemFilterInfo> filters = {
        {CLSID_SystemSplitter, u"System Splitter",
         [](HRESULT*) -> CUnknown* { return new CLavSplitter(CLSID_SystemSplitter); }},
        {CLSID_SystemVideoDecoder, u"System Video Decoder",
         [](HRESULT*) -> CUnknown* { return new CLavVideoDecoder(CLSID_SystemVideoDecoder); }},
        {CLSID_SystemAudioDecoder, u"System Audio Decoder",
         [](HRESULT*) -> CUnknown* { return new CLavAudioDecoder(CLSID_SystemAudioDecoder); }},
    };
    return filters;
}

HRESULT RegisterSystemFilterClasses()
{
    static std::once_flag once;
    static HRESULT result = S_OK;
    std::call_once(once, [] {
        for (const SystemFilterInfo& info : SystemFilters()) {
            // The registry keeps its own reference for the process's life.
            ComPtr<CClassFactory> factory(new CClassFactory(info.create));
            DWORD cookie = 0;
            HRESULT hr = CoRegisterClassObject(info.clsid, static_cast<IClassFactory*>(factory.Get()),
                                               CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
            if (FAILED(hr) && SUCCEEDED(result)) result = hr;
        }
    });
    return result;
}

}  // namespace lav
