#include "platform/os/Module.h"

#include <dlfcn.h>

#include <unistd.h>

#include <cstring>
#include <string>

namespace {
thread_local std::string t_lastError;

void NoteError()
{
    const char* text = dlerror();
    t_lastError = text ? text : "";
}

// The folder of the running program, with a trailing slash; empty when
// /proc cannot tell.
std::string ProgramFolder()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string folder(path, static_cast<size_t>(n));
    return folder.substr(0, folder.rfind('/') + 1);
}
}  // namespace

HMODULE LoadLibraryA(const char* fileName)
{
    if (!fileName || !*fileName) {
        t_lastError = "no module name";
        return nullptr;
    }
    // dlopen searches the library path for bare names, and resolves other
    // relative names against the current directory only. Windows looks
    // beside the program first, then in the current directory, which lets
    // an installed host find its modules whatever directory it starts in.
    std::string name = std::strchr(fileName, '/') ? fileName : std::string("./") + fileName;
    if (name[0] != '/') {
        std::string folder = ProgramFolder();
        std::string besideProgram = folder + (name.rfind("./", 0) == 0 ? name.substr(2) : name);
        if (!folder.empty() && access(besideProgram.c_str(), F_OK) == 0) {
            void* handle = dlopen(besideProgram.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) NoteError();
            return static_cast<HMODULE>(handle);
        }
    }
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
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
