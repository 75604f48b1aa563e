// LAVFilters/LAVVideo.ax
#include "platform/lavfilters/filters/LavVideoDecoder.h"
#include "platform/lavfilters/filters/LavGuids.h"
#include "platform/lavfilters/modules/LavModule.h"

LAV_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    return lavmodule::GetClassObject<CLavVideoDecoder>(CLSID_LAVVideo, clsid, riid, ppv);
}

LAV_MODULE_EXPORT HRESULT DllCanUnloadNow()
{
    return lavmodule::CanUnloadNow();
}
