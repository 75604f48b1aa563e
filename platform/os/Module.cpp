#include "platform/os/Module.h"

#include <dlfcn.h>

#include <cstring>
#include <string>

namespace {
thread_local std::string t_lastError;

void NoteError()
{
    const char* text = dlerror();
    t_lastError = text ? text : "";
}
}  // namespace

HMODULE LoadLibraryA(const char* fileName)
{
    if (!fileName || !*fileName) {
        t_lastError = "no module name";
        return nullptr;
    }
    // dlopen searches the library path for bare names; Windows looks beside
    // the program and in the current directory first, which is what the
    // host relies on.
    std::string path = std::strchr(fileName, '/') ? fileName : std::string("./") + fileName;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) NoteError();
    return static_cast<HMODULE>(handle);
}

FARPROC GetProcAddress(HMODULE module, const char* procName)
{
    if (!module || !procName) return nullptr;
    void* symbol = dlsym(module, procName);
    if (!symbol) {
        NoteError();
        return nullptr;
    }
    FARPROC proc;
    static_assert(sizeof proc == sizeof symbol);
    std::memcpy(&proc, &symbol, sizeof proc);
    return proc;
}

bool FreeLibrary(HMODULE module)
{
    if (!module) return false;
    if (dlclose(module) != 0) {
        NoteError();
        return false;
    }
    return true;
}

const char* GetLastModuleError()
{
    return t_lastError.c_str();
}
