#pragma once
// The application object of the dialog-application framework. Exactly one
// object of a class derived from CWinApp exists, as a process-wide global;
// main hands control to AfxWinMain, which runs its InitInstance.
#include "platform/ui/Dialog.h"
#include "platform/ui/WinTypes.h"

class CWinApp
{
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // The application's start-up. FALSE ends the process at once with the
    // status ExitInstance gives.
    virtual BOOL InitInstance() { return TRUE; }
    // Runs after InitInstance returned TRUE. There is no application-level
    // window here, so it only ends the application.
    virtual int Run() { return ExitInstance(); }
    // The process's exit status.
    virtual int ExitInstance() { return m_nExitCode; }

    // The window that stands for the application while it runs, not owned.
    CDialog* m_pMainWnd = nullptr;

protected:
    // Status that ExitInstance reports; 0 unless start-up was refused.
    void SetExitCode(int code) { m_nExitCode = code; }

private:
    int m_nExitCode = 0;
};

// The one application object, or null.
CWinApp* AfxGetApp();

// The process's command line: its arguments joined by single spaces, the
// program path first. Empty before AfxWinMain.
const char* GetCommandLineA();

// Framework entry, called by main: records the command line and runs the
// application object. Returns the process's exit status.
int AfxWinMain(int argc, char** argv);
