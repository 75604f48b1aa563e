#pragma once
// The decoder filters as the framework's own: the same splitter and decoders
// under their own class identifiers and names ("System Splitter", "System
// Video Decoder", "System Audio Decoder"), for the graph builder's fallback
// when the LAVFilters folder is missing and for the files the engine keeps
// the LAV filters away from (".wmv", ".wav"). In the system filter registry
// they rank just below the WAVE parser, so a WAVE file still goes through
// the parser and only its compressed sound reaches the audio decoder.
#include <vector>

#include "platform/com/ComApi.h"
#include "platform/dshow/FilterRegistry.h"

namespace lav {

struct SystemFilterEntry
{
    SystemFilterInfo info;  // class, name, merit, input types
    CClassFactory::CreateFunction create;
};

inline constexpr DWORD kSystemFilterMerit = MERIT_NORMAL - 1;

// The three, splitter first.
const std::vector<SystemFilterEntry>& SystemFilters();

// Registers the three with COM and with the system filter registry; once
// per process, later calls return the first result. Programs get this at
// start-up by linking the lavsystem library.
HRESULT RegisterSystemFilters();

}  // namespace lav
