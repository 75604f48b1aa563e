// LAVFilters/LAVSplitter.ax
#include "platform/lavfilters/filters/LavSplitter.h"
#include "platform/lavfilters/filters/LavGuids.h"
#include "platform/lavfilters/modules/LavModule.h"

LAV_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv)
{
    return lavmodule::GetClassObject<CLavSplitter>(CLSID_LAVSplitter, clsid, riid, ppv);
}

LAV_MODULE_EXPORT HRESULT DllCanUnloadNow()
{
    return lavmodule::CanUnloadNow();
}
