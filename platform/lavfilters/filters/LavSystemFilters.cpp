#include "platform/lavfilters/filters/LavSystemFilters.h"

#include <mutex>

#include "platform/lavfilters/filters/LavAudioDecoder.h"
#include "platform/lavfilters/filters/LavGuids.h"
#include "platform/lavfilters/filters/LavSplitter.h"
#include "platform/lavfilters/filters/LavVideoDecoder.h"

namespace lav {

const std::vector<SystemFilterEntry>& SystemFilters()
{
    static const std::vector<SystemFilterEntry> filters = {
        {{CLSID_SystemSplitter, u"System Splitter", kSystemFilterMerit, {{MEDIATYPE_Stream, GUID_NULL}}},
         [](HRESULT*) -> CUnknown* { return new CLavSplitter(CLSID_SystemSplitter); }},
        {{CLSID_SystemVideoDecoder, u"System Video Decoder", kSystemFilterMerit, {{MEDIATYPE_Video, GUID_NULL}}},
         [](HRESULT*) -> CUnknown* { return new CLavVideoDecoder(CLSID_SystemVideoDecoder); }},
        {{CLSID_SystemAudioDecoder, u"System Audio Decoder", kSystemFilterMerit, {{MEDIATYPE_Audio, GUID_NULL}}},
         [](HRESULT*) -> CUnknown* { return new CLavAudioDecoder(CLSID_SystemAudioDecoder); }},
    };
    return filters;
}

HRESULT RegisterSystemFilters()
{
    static std::once_flag once;
    static HRESULT result = S_OK;
    std::call_once(once, [] {
        for (const SystemFilterEntry& entry : SystemFilters()) {
            // The class registry keeps its own reference for the process's life.
            ComPtr<CClassFactory> factory(new CClassFactory(entry.create));
            DWORD cookie = 0;
            HRESULT hr = CoRegisterClassObject(entry.info.clsid, static_cast<IClassFactory*>(factory.Get()),
                                               CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
            if (SUCCEEDED(hr)) hr = RegisterSystemFilter(entry.info);
            if (FAILED(hr) && SUCCEEDED(result)) result = hr;
        }
    });
    return result;
}

}  // namespace lav
