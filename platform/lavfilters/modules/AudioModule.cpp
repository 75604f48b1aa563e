// LAVFilters/LAVAudio.ax
#include "platform/lavfilters/filters/LavAudioDecoder.h"
#include "platform/lavfilters/filters/LavGuids.h"
#include "platform/lavfilters/modules/LavModule.h"

LAV_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    return lavmodule::GetClassObject<CLavAudioDecoder>(CLSID_LAVAudio, clsid, riid, ppv);
}

LAV_MODULE_EXPORT HRESULT DllCanUnloadNow()
{
    return lavmodule::CanUnloadNow();
}
