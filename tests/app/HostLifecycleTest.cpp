// How the host starts, reads its command line, and ends.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/app/HostHarness.h"

namespace {

using namespace marlin_test;

bool ExitedWith(const std::optional<int>& status, int code)
{
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

std::string Describe(const std::optional<int>& status)
{
    if (!status) return "still running";
    if (WIFSIGNALED(*status)) return "killed by signal " + std::to_string(WTERMSIG(*status));
    return "exit status " + std::to_string(WEXITSTATUS(*status));
}

// The window port exists while the dialog runs and is gone after.
void ExpectPortRemoved(const HostHarness& host)
{
    EXPECT_FALSE(std::filesystem::exists(host.base + "_wnd")) << "window port left behind";
}

TEST(HostLifecycle, QuitTwiceEndsTheHostOnceWithStatusZero)
{
    HostHarness host;
    ASSERT_TRUE(host.StartAndConnect());
    EXPECT_TRUE(std::filesystem::exists(host.base + "_wnd"));
    ASSERT_TRUE(host.Send(Msg(25, 1)));
    ASSERT_TRUE(host.Send(Msg(25, 2)));
    auto status = host.WaitExit();
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status) << host.Log();
    EXPECT_TRUE(host.FirstPipeEnds()) << "Quit has no reply";
    ExpectPortRemoved(host);
}

TEST(HostLifecycle, ControllerClosingItsSocketsEndsTheHost)
{
    HostHarness host;
    ASSERT_TRUE(host.StartAndConnect());
    host.CloseLink();
    auto status = host.WaitExit();
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status) << host.Log();
    ExpectPortRemoved(host);
}

TEST(HostLifecycle, WindowCloseAndCancelEndTheHostButOkDoesNot)
{
    for (uint32_t how : {0x10u, 2u}) {  // WM_CLOSE; WM_COMMAND from Cancel
        HostHarness host;
        ASSERT_TRUE(host.StartAndConnect());
        const uint32_t ok[2] = {0x111, 1};
        ASSERT_TRUE(host.SendWindowMessage(Bytes(reinterpret_cast<const uint8_t*>(ok), reinterpret_cast<const uint8_t*>(ok) + 8)));
        ASSERT_TRUE(host.Send(Msg(16, 5)));
        auto r = host.Receive();  // OK ignored: still answering
        ASSERT_TRUE(r);
        EXPECT_EQ(U32At(r->payload, 4), 5u);
        Bytes end(4);
        std::memcpy(end.data(), &how, 4);
        if (how == 2u) {
            const uint32_t cancel[2] = {0x111, 2};
            end.assign(reinterpret_cast<const uint8_t*>(cancel), reinterpret_cast<const uint8_t*>(cancel) + 8);
        }
        ASSERT_TRUE(host.SendWindowMessage(end));
        auto status = host.WaitExit();
        EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status) << host.Log();
        EXPECT_TRUE(host.FirstPipeEnds());
        ExpectPortRemoved(host);
    }
}

TEST(HostLifecycle, SigtermAndSigintEndTheHostCleanly)
{
    for (int signo : {SIGTERM, SIGINT}) {
        HostHarness host;
        ASSERT_TRUE(host.StartAndConnect());
        ASSERT_TRUE(host.Send(Msg(16, 1)));
        ASSERT_TRUE(host.Receive());  // the modal loop runs
        host.Signal(signo);
        auto status = host.WaitExit();
        EXPECT_TRUE(ExitedWith(status, 0)) << signo << ": " << Describe(status) << host.Log();
        EXPECT_TRUE(host.FirstPipeEnds());
        ExpectPortRemoved(host);
    }
}

TEST(HostLifecycle, SigtermDuringStartUpIsNotLost)
{
    // Arrives while the dialog is still connecting (between the first and
    // the second pipe): handled once the loop runs.
    HostHarness host;
    ASSERT_TRUE(host.Start({host.base}));
    ASSERT_TRUE(host.AcceptPipe(0));
    host.Signal(SIGTERM);
    ASSERT_TRUE(host.AcceptPipe(1));
    auto status = host.WaitExit();
    EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status) << host.Log();
}

TEST(HostLifecycle, TheBaseNameIsTheLastWordOfTheCommandLine)
{
    HostHarness host;
    ASSERT_TRUE(host.Start({"X", "Y", host.base}));
    ASSERT_TRUE(host.Accept());
    ASSERT_TRUE(host.Send(Msg(16, 3)));
    auto r = host.Receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(U32At(r->payload, 4), 3u);
}

TEST(HostLifecycle, AnEmptyBaseNameLeavesTheHostUpWithoutALink)
{
    // No space at all; and a command line that ends with a space.
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{""}}) {
        HostHarness host;
        ASSERT_TRUE(host.Spawn(args));
        ASSERT_TRUE(host.WaitForLog("CMarlinDlg::OnInitDialog no pipe base name")) << host.Log();
        EXPECT_FALSE(host.WaitExit(300ms)) << "the host should stay up";
        host.Signal(SIGTERM);
        auto status = host.WaitExit();
        EXPECT_TRUE(ExitedWith(status, 0)) << Describe(status) << host.Log();
    }
}

TEST(HostLifecycle, CommandLinesThatDoNotFitAreRefused)
{
    const std::string hostPath = HostHarness::HostPath();
    {
        HostHarness host;  // 600 bytes, 601 with the terminator: refused
        const std::string filler(600 - hostPath.size() - 2 - 9, 'f');
        ASSERT_TRUE(host.Spawn({filler, "/no/where"}));
        auto status = host.WaitExit();
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0) << Describe(status);
        EXPECT_EQ(host.CountInLog("CMarlinApp::InitInstance command line too long, length=600"), 1) << host.Log();
    }
    {
        HostHarness host;  // 599 bytes: accepted, runs without a link
        const std::string filler(599 - hostPath.size() - 2 - 9, 'f');
        ASSERT_TRUE(host.Spawn({filler, "/no/where"}));
        EXPECT_FALSE(host.WaitExit(1500ms)) << host.Log();
        host.Signal(SIGTERM);
        EXPECT_TRUE(ExitedWith(host.WaitExit(), 0));
        EXPECT_EQ(host.CountInLog("too long"), 0) << host.Log();
    }
    {
        HostHarness host;  // base name of 260 bytes: refused
        ASSERT_TRUE(host.Spawn({std::string(260, 'b')}));
        auto status = host.WaitExit();
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0) << Describe(status);
        EXPECT_EQ(host.CountInLog("CMarlinApp::InitInstance pipe base name too long, length=260"), 1) << host.Log();
    }
}

}  // namespace
