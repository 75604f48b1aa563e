#pragma once
// The registry of system filters that intelligent connect draws on: each
// entry names a class (created with CoCreateInstance), its name in the
// graph, its merit and the media types its input pins accept.
//
// Components add their filters at start-up (the framework's own filters
// register from BuiltinClasses.cpp); a class must also be registered with
// COM (CoRegisterClassObject or CBuiltinClassRegistration) to be created.
#include <string>
#include <vector>

#include "platform/dshow/DShowTypes.h"

struct REGPINTYPES
{
    GUID clsMajorType;  // GUID_NULL: any
    GUID clsMinorType;  // GUID_NULL: any
};

struct SystemFilterInfo
{
    CLSID clsid;
    std::u16string name;
    DWORD merit;
    std::vector<REGPINTYPES> inputTypes;  // empty: a source, never tried by intelligent connect
};

// Replaces an entry with the same class identifier.
HRESULT RegisterSystemFilter(const SystemFilterInfo& info);
HRESULT UnregisterSystemFilter(REFCLSID clsid);
// Every entry, highest merit first; equal merits in registration order.
std::vector<SystemFilterInfo> SystemFiltersByMerit();
// Does an entry's input accept a type with this major and minor type?
bool SystemFilterAccepts(const SystemFilterInfo& info, const GUID& major, const GUID& minor);
