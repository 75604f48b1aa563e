// How the host starts, reads its command line, and ends.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include "tests/app/HostHarness.h"

namespace {

using namespace marlin_test;
using mc::IoResult;

bool EndedCleanly(const std::optional<mc::ExitStatus>& status) { return status && status->Success(); }

bool Refused(const std::optional<mc::ExitStatus>& status) { return status && status->exited && status->code != 0; }

// After a clean end: the host closed its end of the link and removed its
// window port.
void ExpectTornDown(HostHarness& h)
{
    EXPECT_EQ(h.link->WaitForEndOfStream(kLimitMs), IoResult::Closed) << "the first pipe must end without a message";
    EXPECT_FALSE(h.PortExists()) << "window port left behind";
}

TEST(HostLifecycle, QuitTwiceEndsTheHostOnceWithStatusZero)
{
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    EXPECT_TRUE(h.PortExists());
    ASSERT_EQ(h.Send(mc::Quit(1)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::Quit(2)), IoResult::Ok);
    auto status = h.WaitExit();
    EXPECT_TRUE(EndedCleanly(status)) << Describe(status) << h.Log();
    ExpectTornDown(h);
}

TEST(HostLifecycle, ControllerClosingItsSocketsEndsTheHost)
{
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    h.link->CloseConnections();
    auto status = h.WaitExit();
    EXPECT_TRUE(EndedCleanly(status)) << Describe(status) << h.Log();
    EXPECT_FALSE(h.PortExists());
}

TEST(HostLifecycle, WindowCloseAndCancelEndTheHostButOkDoesNot)
{
    for (const Bytes& ender : {mc::EncodeClose(), mc::EncodeCommand(2)}) {  // WM_CLOSE; Cancel
        HostHarness h;
        ASSERT_TRUE(h.StartAndConnect());
        ASSERT_TRUE(h.SendCommandId(1));  // OK: ignored
        ASSERT_EQ(h.Send(mc::GetPosition(5)), IoResult::Ok);
        auto m = h.Receive();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->id, 5u);
        ASSERT_TRUE(h.SendWindowMessage(ender));
        auto status = h.WaitExit();
        EXPECT_TRUE(EndedCleanly(status)) << Describe(status) << h.Log();
        ExpectTornDown(h);
    }
}

TEST(HostLifecycle, SigtermAndSigintEndTheHostCleanly)
{
    for (int signo : {SIGTERM, SIGINT}) {
        HostHarness h;
        ASSERT_TRUE(h.StartAndConnect());
        ASSERT_EQ(h.Send(mc::GetPosition(1)), IoResult::Ok);
        ASSERT_TRUE(h.Receive());  // the modal loop runs
        h.host->Signal(signo);
        auto status = h.WaitExit();
        EXPECT_TRUE(EndedCleanly(status)) << signo << ": " << Describe(status) << h.Log();
        ExpectTornDown(h);
    }
}

TEST(HostLifecycle, SigtermEndsAHostWhoseControllerStoppedReading)
{
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer holds a signal back while its thread waits on a lock,
    // which is the very state this test builds.
    GTEST_SKIP() << "signal delivery differs under ThreadSanitizer";
#endif
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    // Replies pile up unread until the host's reader blocks in a write and
    // stops reading commands.
    int sent = 0;
    while (h.link->SendMessage(mc::GetPosition(sent), 300) == IoResult::Ok) ASSERT_LT(++sent, 1000000);
    // The window thread now blocks behind that writer when it answers.
    ASSERT_TRUE(h.SendCopyData(mc::GetPosition(1)));
    // The window thread (the host's first) waits for the writer's lock.
    const std::string wchan = "/proc/" + std::to_string(h.Pid()) + "/task/" + std::to_string(h.Pid()) + "/wchan";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    auto waitsOnLock = [&] {
        std::ifstream in(wchan);
        std::string where;
        in >> where;
        return where.find("futex") != std::string::npos;
    };
    while (!waitsOnLock()) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the window thread never blocked";
        std::this_thread::sleep_for(2ms);
    }
    // One signal is enough: the stuck sends are given up, and the host
    // ends as it does on any SIGTERM.
    h.host->Signal(SIGTERM);
    auto status = h.WaitExit();
    ASSERT_TRUE(status) << "a host stuck in a send ignored SIGTERM";
    EXPECT_TRUE(EndedCleanly(status)) << Describe(status) << h.Log();
    EXPECT_FALSE(h.PortExists()) << "window port left behind";
}

TEST(HostLifecycle, SigtermDuringStartUpIsNotLost)
{
    // Arrives while the dialog is still connecting (between the first and
    // the second pipe): handled once the loop runs.
    HostHarness h;
    ASSERT_TRUE(h.Start({h.base}));
    ASSERT_TRUE(h.link->AcceptPipe1(kLimitMs));
    h.host->Signal(SIGTERM);
    ASSERT_TRUE(h.link->AcceptPipe2(kLimitMs));
    auto status = h.WaitExit();
    EXPECT_TRUE(EndedCleanly(status)) << Describe(status) << h.Log();
}

TEST(HostLifecycle, AnAbstractBaseNameGivesAnAbstractWindowPort)
{
    HostHarness h;
    h.base = "@marlin-e2e-" + std::to_string(::getpid()) + "-abstract";
    ASSERT_TRUE(h.StartAndConnect());
    ASSERT_TRUE(h.SendCopyData(mc::GetPosition(4)));
    auto m = h.Receive();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, 17u);
    EXPECT_EQ(m->id, 4u);
    ASSERT_TRUE(h.SendClose());
    EXPECT_TRUE(EndedCleanly(h.WaitExit())) << h.Log();
}

TEST(HostLifecycle, TheBaseNameIsTheLastWordOfTheCommandLine)
{
    HostHarness h;
    ASSERT_TRUE(h.Start({"X", "Y", h.base}));
    ASSERT_TRUE(h.link->Accept(kLimitMs));
    ASSERT_EQ(h.Send(mc::GetPosition(3)), IoResult::Ok);
    auto m = h.Receive();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->id, 3u);
}

TEST(HostLifecycle, AnEmptyBaseNameLeavesTheHostUpWithoutALink)
{
    // No space at all; and a command line that ends with a space.
    for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{""}}) {
        HostHarness h;
        ASSERT_TRUE(h.Spawn(args));
        ASSERT_TRUE(h.WaitForLog("CMarlinDlg::OnInitDialog no pipe base name")) << h.Log();
        EXPECT_FALSE(h.WaitExit(300ms)) << "the host should stay up";
        h.host->Signal(SIGTERM);
        auto status = h.WaitExit();
        EXPECT_TRUE(EndedCleanly(status)) << Describe(status) << h.Log();
    }
}

TEST(HostLifecycle, CommandLinesThatDoNotFitAreRefused)
{
    const std::string hostPath = HostHarness::HostPath();
    const std::string last = "/no/where";  // 9 bytes
    {
        HostHarness h;  // 600 bytes, 601 with the terminator: refused
        ASSERT_TRUE(h.Spawn({std::string(600 - hostPath.size() - 2 - last.size(), 'f'), last}));
        auto status = h.WaitExit();
        EXPECT_TRUE(Refused(status)) << Describe(status);
        EXPECT_EQ(h.CountInLog("L2 CMarlinApp::InitInstance command line too long, length=600\n"), 1) << h.Log();
    }
    {
        HostHarness h;  // 599 bytes: accepted; no pipe there, so it runs without a link
        ASSERT_TRUE(h.Spawn({std::string(599 - hostPath.size() - 2 - last.size(), 'f'), last}));
        EXPECT_FALSE(h.WaitExit(1500ms)) << h.Log();
        h.host->Signal(SIGTERM);
        EXPECT_TRUE(EndedCleanly(h.WaitExit()));
        EXPECT_EQ(h.CountInLog("too long"), 0) << h.Log();
    }
    {
        HostHarness h;  // base name of 260 bytes: refused
        ASSERT_TRUE(h.Spawn({std::string(260, 'b')}));
        auto status = h.WaitExit();
        EXPECT_TRUE(Refused(status)) << Describe(status);
        EXPECT_EQ(h.CountInLog("L2 CMarlinApp::InitInstance pipe base name too long, length=260\n"), 1) << h.Log();
    }
}

}  // namespace
