#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <thread>
#include <vector>

#include "platform/ui/Dialog.h"

namespace {

constexpr UINT WM_TEST = WM_USER + 1;
constexpr UINT WM_TEST2 = WM_USER + 2;

class TestDialog : public CDialog
{
public:
    TestDialog() : CDialog(102) {}
    std::function<void()> onInit;
    using CDialog::MapCommand;
    using CDialog::MapMessage;

protected:
    BOOL OnInitDialog() override
    {
        if (onInit) onInit();
        return TRUE;
    }
};

TEST(Dialog, PostedMessagesRunOnTheWindowThreadInOrderOfEachSender)
{
    TestDialog dlg;
    EXPECT_FALSE(dlg.PostMessage(WM_TEST, 1));  // no window before DoModal
    constexpr int kSenders = 4, kEach = 200;
    std::vector<std::vector<int>> seen(kSenders);
    int handled = 0;
    bool allOnWindowThread = true;
    const auto windowThread = std::this_thread::get_id();
    std::vector<std::thread> senders;
    dlg.MapMessage(WM_TEST, [&](WPARAM w, LPARAM l) -> LRESULT {
        allOnWindowThread = allOnWindowThread && std::this_thread::get_id() == windowThread && dlg.IsWindowThread();
        seen[w].push_back(static_cast<int>(l));
        if (++handled == kSenders * kEach) dlg.PostMessage(WM_QUIT);
        return 0;
    });
    dlg.onInit = [&] {
        for (int s = 0; s < kSenders; ++s)
            senders.emplace_back([&dlg, s] {
                for (int i = 0; i < kEach; ++i) EXPECT_TRUE(dlg.PostMessage(WM_TEST, s, i));
            });
    };
    EXPECT_EQ(dlg.DoModal(), -1);
    for (auto& t : senders) t.join();
    EXPECT_TRUE(allOnWindowThread);
    for (int s = 0; s < kSenders; ++s) {
        ASSERT_EQ(seen[s].size(), static_cast<size_t>(kEach));
        for (int i = 0; i < kEach; ++i) EXPECT_EQ(seen[s][i], i);
    }
    EXPECT_FALSE(dlg.PostMessage(WM_TEST, 0));  // the window is gone
    EXPECT_FALSE(dlg.IsWindowThread());
}

TEST(Dialog, QuitAndEndDialogEndTheLoopBeforeLaterMessages)
{
    TestDialog quit;
    std::vector<UINT> handled;
    quit.MapMessage(WM_TEST, [&](WPARAM, LPARAM) -> LRESULT { handled.push_back(WM_TEST); return 0; });
    quit.MapMessage(WM_TEST2, [&](WPARAM, LPARAM) -> LRESULT { handled.push_back(WM_TEST2); return 0; });
    quit.onInit = [&] {
        quit.PostMessage(WM_TEST);
        quit.PostMessage(WM_QUIT);
        quit.PostMessage(WM_TEST2);
    };
    EXPECT_EQ(quit.DoModal(), -1);
    EXPECT_EQ(handled, std::vector<UINT>{WM_TEST});

    TestDialog end;
    int later = 0;
    end.MapMessage(WM_TEST, [&](WPARAM, LPARAM) -> LRESULT { end.EndDialog(42); return 0; });
    end.MapMessage(WM_TEST2, [&](WPARAM, LPARAM) -> LRESULT { ++later; return 0; });
    end.onInit = [&] {
        end.PostMessage(WM_TEST);
        end.PostMessage(WM_TEST2);
    };
    EXPECT_EQ(end.DoModal(), 42);
    EXPECT_EQ(later, 0);

    // The dialog runs again after it ended; left-over messages are gone.
    end.MapMessage(WM_TEST, [&](WPARAM, LPARAM) -> LRESULT { end.EndDialog(7); return 0; });
    end.onInit = [&] { end.PostMessage(WM_TEST); };
    EXPECT_EQ(end.DoModal(), 7);
    EXPECT_EQ(later, 0);
}

TEST(Dialog, EndDialogFromAnotherThreadWakesTheLoop)
{
    TestDialog dlg;
    std::thread ender;
    dlg.onInit = [&] { ender = std::thread([&] { dlg.EndDialog(5); }); };
    EXPECT_EQ(dlg.DoModal(), 5);
    ender.join();
}

TEST(Dialog, DefaultHandlingOfOkCancelCloseAndCommands)
{
    TestDialog ok;
    ok.onInit = [&] { ok.PostMessage(WM_COMMAND, IDOK); };
    EXPECT_EQ(ok.DoModal(), IDOK);

    TestDialog close;
    close.onInit = [&] { close.PostMessage(WM_CLOSE); };
    EXPECT_EQ(close.DoModal(), IDCANCEL);

    TestDialog cmd;
    int clicks = 0;
    cmd.MapCommand(1000, [&] { ++clicks; });
    cmd.onInit = [&] {
        cmd.PostMessage(WM_COMMAND, 1000);
        cmd.PostMessage(WM_COMMAND, 77);  // no handler: ignored
        cmd.PostMessage(WM_COMMAND, 1000);
        cmd.PostMessage(WM_COMMAND, IDCANCEL);
    };
    EXPECT_EQ(cmd.DoModal(), IDCANCEL);
    EXPECT_EQ(clicks, 2);
}

TEST(Dialog, TerminationSignalsArriveAsCloseWhileTheLoopRuns)
{
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer runs a handler only when the thread that took the
    // signal next enters the C library, and under load it was seen to drop
    // one for good: the loop then waits forever. The path is covered by the
    // other builds.
    GTEST_SKIP() << "signal delivery differs under ThreadSanitizer";
#endif
    for (int signo : {SIGTERM, SIGINT}) {
        TestDialog dlg;
        int closes = 0;
        dlg.MapMessage(WM_CLOSE, [&](WPARAM, LPARAM) -> LRESULT {
            ++closes;
            dlg.EndDialog(IDCANCEL);
            return 0;
        });
        // Sent from another thread, as a signal may land on any thread.
        std::thread sender;
        dlg.onInit = [&] { sender = std::thread([signo] { ::kill(::getpid(), signo); }); };
        EXPECT_EQ(dlg.DoModal(), IDCANCEL) << signo;
        sender.join();
        EXPECT_EQ(closes, 1);
        struct sigaction now{};
        ::sigaction(signo, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_DFL) << "handler left installed for " << signo;
    }
}

TEST(Dialog, ASecondSignalEndsAProcessWhoseWindowThreadIsStuck)
{
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TestDialog dlg;
        dlg.onInit = [&] {
            const char byte = 1;
            [[maybe_unused]] ssize_t rc = ::write(ready[1], &byte, 1);
            for (;;) ::pause();  // never returns to the loop
        };
        dlg.DoModal();
        ::_exit(0);
    }
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    // Signals do not queue: keep sending until one finds the first still pending.
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            FAIL() << "the stuck process did not end";
        }
        ::kill(child, SIGTERM);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    ::close(ready[0]);
    ::close(ready[1]);
}

}  // namespace
