#pragma once
// Loading code modules (LoadLibraryA / GetProcAddress / FreeLibrary).

struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
using FARPROC = void (*)();

// Loads a shared module. A relative name (one without a slash counts as
// "./name") is looked up beside the running program first, then in the
// current directory. Null on failure.
HMODULE LoadLibraryA(const char* fileName);
// Address of an exported function; null when the module does not export it.
FARPROC GetProcAddress(HMODULE module, const char* procName);
// Unloads a module loaded by LoadLibraryA; false on failure. Null is refused.
bool FreeLibrary(HMODULE module);
// Text of the last loading failure on this thread (dlerror), for log lines.
const char* GetLastModuleError();
