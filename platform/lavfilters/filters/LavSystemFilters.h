#pragma once
// The decoder filters as the framework's own: the same splitter and decoders
// under their own class identifiers and names, for the system filter set
// (the graph builder's fallback when the LAVFilters folder is missing, and
// for the files the engine keeps the LAV filters away from: ".wmv", ".wav").
#include <vector>

#include "platform/com/ComApi.h"

namespace lav {

struct SystemFilterInfo
{
    CLSID clsid;
    const char16_t* name;               // "System Splitter", ...
    CClassFactory::CreateFunction create;
};

// The three, splitter first.
const std::vector<SystemFilterInfo>& SystemFilters();

// Makes the three creatable with CoCreateInstance. Safe to call more than
// once (registers once per process).
HRESULT RegisterSystemFilterClasses();

}  // namespace lav
