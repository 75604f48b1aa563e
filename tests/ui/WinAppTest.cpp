#include <gtest/gtest.h>

#include <string>

#include "platform/ui/WinApp.h"

namespace {

class TestApp : public CWinApp
{
public:
    std::string seen;
    bool accept = false;
    BOOL InitInstance() override
    {
        seen = GetCommandLineA();
        SetExitCode(accept ? 0 : 3);
        return accept ? TRUE : FALSE;
    }
};

TEST(WinApp, CommandLineIsTheArgumentsJoinedBySingleSpaces)
{
    TestApp app;
    ASSERT_EQ(AfxGetApp(), &app);
    char a0[] = "/opt/my host/marlin-host", a1[] = "x", a2[] = "", a3[] = "base";
    char* argv[] = {a0, a1, a2, a3, nullptr};
    EXPECT_EQ(AfxWinMain(4, argv), 3);  // refused start-up: its status
    EXPECT_EQ(app.seen, "/opt/my host/marlin-host x  base");
    app.accept = true;
    EXPECT_EQ(AfxWinMain(1, argv), 0);
    EXPECT_EQ(app.seen, "/opt/my host/marlin-host");
}

}  // namespace
