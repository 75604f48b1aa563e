#include "platform/ui/WinApp.h"

#include <string>

namespace {

CWinApp* g_pApp = nullptr;

std::string& CommandLine()
{
    static std::string line;
    return line;
}

}  // namespace

CWinApp::CWinApp() { g_pApp = this; }

CWinApp::~CWinApp()
{
    if (g_pApp == this) g_pApp = nullptr;
}

CWinApp* AfxGetApp() { return g_pApp; }

const char* GetCommandLineA() { return CommandLine().c_str(); }

int AfxWinMain(int argc, char** argv)
{
    std::string& line = CommandLine();
    line.clear();
    for (int i = 0; i < argc && argv[i]; ++i) {
        if (i) line += ' ';
        line += argv[i];
    }
    CWinApp* app = AfxGetApp();
    if (!app) return 1;
    if (!app->InitInstance()) return app->ExitInstance();
    return app->Run();
}
