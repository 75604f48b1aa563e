#pragma once
// Loading code modules (LoadLibraryA / GetProcAddress / FreeLibrary).

struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
using FARPROC = void (*)();

// Loads a shared module. A name without a slash is looked up in the current
// directory, as the host's module paths are meant. Null on failure.
HMODULE LoadLibraryA(const char* fileName);
// Address of an exported function; null when the module does not export it.
FARPROC GetProcAddress(HMODULE module, const char* procName);
// Unloads a module loaded by LoadLibraryA; false on failure. Null is refused.
bool FreeLibrary(HMODULE module);
// Text of the last loading failure on this thread (dlerror), for log lines.
const char* GetLastModuleError();
