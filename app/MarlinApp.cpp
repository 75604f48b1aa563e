#include "app/MarlinApp.h"

#include <cstring>

#include "app/MarlinDlg.h"
#include "log/LogWrapper.h"

CMarlinApp theApp;

BOOL CMarlinApp::InitInstance()
{
    CWinApp::InitInstance();

    CMarlinDlg dlg;

    // Input that does not fit is refused rather than run on cut-off names.
    const char* commandLine = GetCommandLineA();
    const size_t commandLength = std::strlen(commandLine);
    if (commandLength + 1 > kCommandLineSize) {
        CLogLine().rec().Advance("CMarlinApp::InitInstance command line too long, length=")
            << static_cast<unsigned long>(commandLength);
        SetExitCode(1);
        return FALSE;
    }
    char szCmdLine[kCommandLineSize];
    std::memcpy(szCmdLine, commandLine, commandLength + 1);

    if (const char* space = std::strrchr(szCmdLine, ' ')) {
        const char* baseName = space + 1;
        const size_t baseLength = std::strlen(baseName);
        if (baseLength + 1 > sizeof dlg.m_szPipeName) {
            CLogLine().rec().Advance("CMarlinApp::InitInstance pipe base name too long, length=")
                << static_cast<unsigned long>(baseLength);
            SetExitCode(1);
            return FALSE;
        }
        std::memcpy(dlg.m_szPipeName, baseName, baseLength + 1);
    }

    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
