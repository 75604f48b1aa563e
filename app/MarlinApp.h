#pragma once
// The host's application object: reads the pipe base name from the command
// line and runs the control dialog modally; the process ends with it.
#include "platform/ui/WinApp.h"

class CMarlinApp : public CWinApp
{
public:
    // Command line buffer, and the pipe base name after its last space.
    static constexpr size_t kCommandLineSize = 600;

    BOOL InitInstance() override;
};
