// Faults around a running host: its controller killed or gone deaf, its file
// deleted or cut under it, stop and quit racing a seek, many hosts at once.
// The host must keep answering, never hang, and end cleanly and in time.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/os/Unicode.h"
#include "tests/app/PlaybackTestSupport.h"

namespace {

using namespace marlin_test;
using mc::IoResult;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

const MediaFormat kSmall{160, 120, 6, 16000, 16, 2};

std::u16string U16(const std::string& s) { return Utf8ToUtf16(s); }

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WaitFor(const std::function<bool()>& done, milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

// The exit of a process that is not (yet) our child: it becomes ours once
// its parent dies, since this process is a subreaper.
std::optional<int> ReapWithin(pid_t pid, milliseconds limit)
{
    int status = 0;
    const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!ended) return std::nullopt;
    return status;
}

void ExpectCleanLog(const std::string& log)
{
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"})
        EXPECT_EQ(log.find(report), std::string::npos) << "the host reported:\n" << log;
}

// Under a sanitizer on a loaded machine a host can take seconds to connect.
bool StartHost(HostHarness& h) { return h.Start({h.base}) && h.link->Accept(30000); }

// The reply of `type` with `id`, also when it came before others awaited.
std::optional<mc::Message> ReplyAnywhere(Collector& c, uint32_t type, uint32_t id)
{
    const long at = c.Find([&](const mc::Message& m) { return m.type == type && m.id == id; });
    if (at >= 0) return c.all[static_cast<size_t>(at)].message;
    return c.Reply(type, id);
}

// Where each thread of a host stands, taken the moment a bound is missed
// (the host's own teardown limit may end it before a debugger attaches):
// name, state (R: runnable, starved of CPU; S/D: waiting), wait channel and
// CPU ticks, and the machine's load.
std::string ThreadStates(pid_t pid)
{
    std::string out = "load average: " + ReadText("/proc/loadavg");
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        const std::string stat = ReadText(task.path().string() + "/stat");
        const size_t name = stat.find('('), after = stat.rfind(')');
        if (name == std::string::npos || after == std::string::npos || after + 4 > stat.size()) continue;
        std::istringstream rest(stat.substr(after + 2));
        std::string state, skip, utime, stime;
        rest >> state;
        for (int field = 4; field <= 13; ++field) rest >> skip;
        rest >> utime >> stime;
        out += task.path().filename().string() + " " + stat.substr(name, after - name + 1) + " " + state + " " +
               ReadText(task.path().string() + "/wchan") + " cpu " + utime + "+" + stime + "\n";
    }
    return out;
}

// What a host that did not end is doing, for the failure message.
std::string Backtraces(pid_t pid)
{
    auto out = lavtest::Run("gdb -p " + std::to_string(pid) + " -batch -ex 'thread apply all bt' 2>&1");
    return out ? *out : "(no gdb)";
}

void StartOk(HostHarness& h, Collector& c, uint32_t id, const std::string& path, const MediaFormat& f = kSmall)
{
    ASSERT_EQ(h.Send(mc::StartPlayFile(id, f, U16(path))), IoResult::Ok);
    auto reply = c.Reply(3, id);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->result, 1u) << h.Log();
}

void ExpectQuitsCleanly(HostHarness& h, uint32_t id)
{
    ASSERT_EQ(h.Send(mc::Quit(id)), IoResult::Ok);
    auto status = h.WaitExit(std::chrono::seconds(2));
    EXPECT_TRUE(status && status->Success()) << Describe(status);
}

// The controller dies (SIGKILL) at a random moment while the host plays and
// answers its commands: the host sees the link close and ends by itself,
// with status 0, within 2 s; nothing is left behind.
TEST(ControllerFault, KilledAtRandomPointsHostEndsWithinTwoSeconds)
{
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const std::string movie = MakeMovie(3);
    ASSERT_FALSE(movie.empty());
    std::mt19937 rng(std::random_device{}());
    constexpr int kRounds = 8;
    int64_t slowestMs = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        lavtest::TempDir dir;
        const std::string base = dir.File("k"), state = dir.File("state");
        mc::HostProcess::Options o;
        o.program = std::string(MARLIN_BIN_DIR) + "/reliability-controller";
        o.args = {base, HostHarness::HostPath(), movie, state};
        o.stderrPath = dir.File("controller.log");
        std::string error;
        auto controller = mc::HostProcess::Spawn(o, &error);
        ASSERT_TRUE(controller) << error;

        ASSERT_TRUE(WaitFor([&] { return ReadText(state).find("playing") != std::string::npos; },
                            std::chrono::seconds(20)))
            << ReadText(dir.File("controller.log")) << ReadText(base + ".log");
        const pid_t host = static_cast<pid_t>(std::stol(ReadText(state)));
        // Anywhere in the playback: in a command, between frames, mid-frame.
        std::this_thread::sleep_for(milliseconds(std::uniform_int_distribution<int>(0, 1500)(rng)));

        ASSERT_TRUE(controller->IsRunning()) << "the controller ended by itself:\n"
                                             << ReadText(dir.File("controller.log"));
        controller->Kill();
        const auto killed = Clock::now();
        auto status = ReapWithin(host, std::chrono::seconds(2));
        if (!status) {
            // Late or hung: which one, and where it stands.
            const std::string states = ThreadStates(host);
            auto late = ReapWithin(host, std::chrono::seconds(10));
            const std::string where = late ? "" : Backtraces(host);
            if (!late) {
                ::kill(host, SIGKILL);
                ReapWithin(host, std::chrono::seconds(5));
            }
            FAIL() << "the host outlived its controller by 2 s; its threads then:\n" << states
                   << (late ? "it ended after " + std::to_string(std::chrono::duration_cast<milliseconds>(Clock::now() - killed).count()) + " ms"
                            : "it hung:\n" + where)
                   << "\n" << ReadText(base + ".log");
        }
        slowestMs = std::max<int64_t>(slowestMs, std::chrono::duration_cast<milliseconds>(Clock::now() - killed).count());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << "wait status " << *status;
        ExpectCleanLog(ReadText(base + ".log"));
        EXPECT_FALSE(fs::exists(base + "_wnd")) << "window port left behind";
    }
    std::printf("%d controllers killed; the slowest host ended %lld ms after its controller\n", kRounds,
                static_cast<long long>(slowestMs));
}

// Whether a thread of the host sleeps in a socket send, i.e. the host is
// blocked on the full first pipe (from /proc/<pid>/task/*/wchan).
bool BlockedInSend(pid_t pid)
{
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        const std::string wchan = ReadText(task.path().string() + "/wchan");
        // Not "unix_stream" alone: a reader waits in unix_stream_read_generic.
        if (wchan.find("unix_stream_sendmsg") != std::string::npos || wchan.find("sock_alloc_send") != std::string::npos)
            return true;
    }
    return false;
}

// The controller stops reading while big pictures flow: the host blocks on
// the full socket without losing anything (reading again, the stream is
// whole and a command sent meanwhile is answered); then, blocked again, it
// ends cleanly and in time when the controller closes.
TEST(ControllerFault, StopsReadingHostBlocksThenEndsOnClose)
{
    const std::string movie = MakeMovie(3);
    ASSERT_FALSE(movie.empty());
    HostHarness h;
    ASSERT_TRUE(StartHost(h));
    Collector c(h);
    const MediaFormat big{640, 480, 2, 48000, 16, 2};  // 1.2 MB a picture
    StartOk(h, c, 1, movie, big);

    ASSERT_TRUE(WaitFor([&] { return BlockedInSend(h.Pid()); }, std::chrono::seconds(5)))
        << "no host thread blocked in a send";
    ASSERT_EQ(h.Send(mc::GetPosition(2)), IoResult::Ok);
    // Every message decodes (the collector fails on one that does not) and
    // the answer comes.
    auto reply = c.Reply(17, 2);
    ASSERT_TRUE(reply);
    EXPECT_GE(reply->positionMs, 0);

    ASSERT_TRUE(WaitFor([&] { return BlockedInSend(h.Pid()); }, std::chrono::seconds(5)));
    ASSERT_EQ(h.Send(mc::GetPosition(3)), IoResult::Ok);  // its reply cannot be written
    h.link->CloseConnections();
    auto status = h.WaitExit(std::chrono::seconds(2));
    EXPECT_TRUE(status && status->Success()) << Describe(status) << "\n" << h.Log();
}

// The controller stops reading for 3 s while big pictures flow, with a
// command from the window port waiting for its reply meanwhile; then Quit.
// Nothing but that reply waits behind the blocked picture, and the host
// ends within 1 s with status 0.
TEST(ControllerFault, DeafForThreeSecondsThenQuitEndsWithinOneSecond)
{
    const std::string movie = MakeMovie(3);
    ASSERT_FALSE(movie.empty());
    HostHarness h;
    ASSERT_TRUE(StartHost(h));
    Collector c(h);
    StartOk(h, c, 1, movie, MediaFormat{640, 480, 2, 48000, 16, 2});
    ASSERT_TRUE(WaitFor([&] { return BlockedInSend(h.Pid()); }, std::chrono::seconds(5)));
    ASSERT_TRUE(h.SendCopyData(mc::GetPosition(2)));
    EXPECT_FALSE(WaitFor([&] { return !BlockedInSend(h.Pid()); }, std::chrono::seconds(3)))
        << "the host stopped sending by itself";

    ASSERT_EQ(h.Send(mc::Quit(3)), IoResult::Ok);
    const auto sent = Clock::now();
    auto status = h.WaitExit(std::chrono::seconds(1));
    ASSERT_TRUE(status) << "the host did not end within 1 s of Quit:\n" << Backtraces(h.Pid()) << h.Log();
    std::printf("the host ended %lld ms after Quit\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(Clock::now() - sent).count()));
    EXPECT_TRUE(status->Success()) << Describe(status) << "\n" << h.Log();
    EXPECT_FALSE(h.PortExists()) << "window port left behind";
}

// The same, but the command waiting for its reply came on the second pipe:
// the pipe reader is then the one stuck behind the blocked picture, and the
// Quit queued after that command must still end the host.
TEST(ControllerFault, DeafWithACommandWaitingOnThePipeThenQuitEndsWithinOneSecond)
{
    const std::string movie = MakeMovie(3);
    ASSERT_FALSE(movie.empty());
    HostHarness h;
    ASSERT_TRUE(StartHost(h));
    Collector c(h);
    StartOk(h, c, 1, movie, MediaFormat{640, 480, 2, 48000, 16, 2});
    ASSERT_TRUE(WaitFor([&] { return BlockedInSend(h.Pid()); }, std::chrono::seconds(5)));
    ASSERT_EQ(h.Send(mc::GetPosition(2)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::Quit(3)), IoResult::Ok);
    const auto sent = Clock::now();
    auto status = h.WaitExit(std::chrono::seconds(1));
    ASSERT_TRUE(status) << "the host did not end within 1 s of Quit:\n" << Backtraces(h.Pid()) << h.Log();
    std::printf("the host ended %lld ms after Quit\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(Clock::now() - sent).count()));
    EXPECT_TRUE(status->Success()) << Describe(status) << "\n" << h.Log();
    EXPECT_FALSE(h.PortExists()) << "window port left behind";
}

// One thread of a host stopped by ptrace, as a thread stuck in the kernel
// would be: it runs no further until it is let go or the process ends.
struct FrozenThread
{
    explicit FrozenThread(pid_t id) : tid(id)
    {
        int status = 0;
        frozen = ::ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) == 0 &&
                 ::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) == 0 &&
                 ::waitpid(tid, &status, __WALL) == tid && WIFSTOPPED(status);
    }
    ~FrozenThread()
    {
        if (frozen) ::ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
    }
    // The process reports its exit only once its tracer has collected the
    // end of this thread.
    void Reap()
    {
        int status = 0;
        if (frozen && ::waitpid(tid, &status, __WALL | WNOHANG) == tid && (WIFEXITED(status) || WIFSIGNALED(status)))
            frozen = false;
    }
    const pid_t tid;
    bool frozen = false;
};

// The first thread of `pid` whose /proc `file` contains `text`; 0 if none.
pid_t ThreadOf(pid_t pid, const std::string& file, const std::string& text)
{
    std::error_code ec;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec))
        if (ReadText(task.path().string() + "/" + file).find(text) != std::string::npos)
            return static_cast<pid_t>(std::stol(task.path().filename().string()));
    return 0;
}

// A thread that cannot be stopped in time (the pipe reader in its read, the
// position poller, or the video streaming thread in its send to a deaf
// controller), then SIGTERM or Quit: the host gives up on it after 2 s and
// ends without destroying what the thread may use: status 0, window port
// removed, no sanitizer report.
TEST(ShutdownFault, AThreadThatCannotBeStoppedEndsTheHostWithoutFreeingItsObjects)
{
    const std::string movie = MakeMovie(3);
    ASSERT_FALSE(movie.empty());
    for (const char* stuck : {"pipe reader", "position poller", "playback"}) {
        SCOPED_TRACE(stuck);
        const std::string which = stuck;
        HostHarness h;
        ASSERT_TRUE(StartHost(h));
        Collector c(h);
        pid_t tid = 0;
        if (which == "pipe reader") {
            ASSERT_TRUE(WaitFor([&] { return (tid = ThreadOf(h.Pid(), "wchan", "unix_stream_read")) != 0; },
                                std::chrono::seconds(5)));
        } else if (which == "position poller") {
            StartOk(h, c, 1, movie);
            ASSERT_TRUE(c.ReadUntil(IsVideo));
            ASSERT_NE(tid = ThreadOf(h.Pid(), "comm", "MessgeBack"), 0);
        } else {
            StartOk(h, c, 1, movie, MediaFormat{640, 480, 2, 48000, 16, 2});
            ASSERT_TRUE(WaitFor([&] { return (tid = ThreadOf(h.Pid(), "wchan", "sock_alloc_send")) != 0; },
                                std::chrono::seconds(5)));
        }
        FrozenThread frozen(tid);
        ASSERT_TRUE(frozen.frozen) << "ptrace refused: " << std::strerror(errno);
        if (which == "pipe reader")
            ASSERT_TRUE(h.host->Signal(SIGTERM));
        else
            ASSERT_EQ(h.Send(mc::Quit(2)), IoResult::Ok);

        std::optional<mc::ExitStatus> status;
        WaitFor([&] { return frozen.Reap(), (status = h.WaitExit(milliseconds(0))).has_value(); },
                std::chrono::seconds(5));
        EXPECT_TRUE(status && status->Success()) << Describe(status) << "\n" << h.Log();
        EXPECT_FALSE(h.PortExists()) << "window port left behind";
        EXPECT_EQ(h.CountInLog(which + " did not stop in time, the process ends"), 1) << h.Log();
    }
}

// The playing file is deleted: the open file plays on to its end, and the
// host goes on as before.
TEST(FileFault, DeletedWhilePlayingPlaysToItsEnd)
{
    const std::string movie = MakeMovie(3);
    ASSERT_FALSE(movie.empty());
    lavtest::TempDir dir;
    const std::string copy = dir.File("doomed.mp4");
    fs::copy_file(movie, copy);
    HostHarness h;
    ASSERT_TRUE(StartHost(h));
    Collector c(h);
    StartOk(h, c, 1, copy);
    ASSERT_TRUE(c.ReadUntil(IsVideo));
    fs::remove(copy);
    ASSERT_TRUE(c.ReadUntil([](const mc::Message& m) { return m.kind == mc::MessageKind::PlayComplete; },
                            milliseconds(10000)));
    EXPECT_GT(c.Frames(50).size(), 60u) << "the pictures stopped after the deletion";
    ExpectQuitsCleanly(h, 2);
}

// The playing file is cut short (to nothing, to a third, to two thirds):
// the host keeps answering, stops the damaged playback on request and
// plays the next file.
TEST(FileFault, TruncatedWhilePlayingHostKeepsAnswering)
{
    const std::string movie = MakeMovie(3);
    ASSERT_FALSE(movie.empty());
    lavtest::TempDir dir;
    HostHarness h;
    ASSERT_TRUE(StartHost(h));
    Collector c(h);
    uint32_t id = 0;
    for (double keep : {0.0, 0.33, 0.66}) {
        SCOPED_TRACE("kept " + std::to_string(keep));
        const std::string copy = dir.File("cut.mp4");
        fs::remove(copy);
        fs::copy_file(movie, copy);
        StartOk(h, c, ++id, copy);
        ASSERT_TRUE(c.ReadUntil(IsVideo));
        fs::resize_file(copy, static_cast<uintmax_t>(fs::file_size(copy) * keep));
        // Plays what it has buffered or can still read, then either ends or
        // stalls; it answers throughout.
        for (int i = 0; i < 5; ++i) {
            ASSERT_EQ(h.Send(mc::GetPosition(++id)), IoResult::Ok);
            ASSERT_TRUE(c.Reply(17, id));
            ASSERT_EQ(h.Send(mc::Seek(++id, 2000 - 400 * i)), IoResult::Ok);
            c.ReadFor(milliseconds(100));
        }
        ASSERT_EQ(h.Send(mc::StopPlayFile(++id)), IoResult::Ok);
        auto stopped = c.Reply(7, id);
        ASSERT_TRUE(stopped);
        EXPECT_EQ(stopped->result, 1u);
    }
    StartOk(h, c, ++id, movie);
    const size_t before = c.all.size();
    ASSERT_TRUE(c.ReadUntil(IsVideo));
    EXPECT_GT(c.all.size(), before);
    ExpectQuitsCleanly(h, ++id);
}

// StopPlayFile on one thread while a seek runs on the other (pipe and window
// port take turns): the stop is answered with 1 and nothing plays after it.
TEST(SeekRace, StopWhileSeekInFlight)
{
    const std::string movie = MakeMovie(3);
    ASSERT_FALSE(movie.empty());
    HostHarness h;
    ASSERT_TRUE(StartHost(h));
    Collector c(h);
    uint32_t id = 0;
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        StartOk(h, c, ++id, movie);
        const uint32_t stopId = ++id;
        if (round % 2 == 0) {
            ASSERT_TRUE(h.SendCopyData(mc::Seek(++id, 1000 + 37 * round)));
            ASSERT_EQ(h.Send(mc::StopPlayFile(stopId)), IoResult::Ok);
        } else {
            ASSERT_EQ(h.Send(mc::Seek(++id, 1000 + 37 * round)), IoResult::Ok);
            ASSERT_TRUE(h.SendCopyData(mc::StopPlayFile(stopId)));
        }
        auto stopped = c.Reply(7, stopId);
        ASSERT_TRUE(stopped);
        EXPECT_EQ(stopped->result, 1u);
        // Behind both carriers' queues: nothing plays any more.
        const uint32_t windowProbe = ++id, pipeProbe = ++id;
        ASSERT_TRUE(h.SendCopyData(mc::GetPosition(windowProbe)));
        ASSERT_EQ(h.Send(mc::GetPosition(pipeProbe)), IoResult::Ok);
        for (uint32_t probe : {windowProbe, pipeProbe}) {
            auto position = ReplyAnywhere(c, 17, probe);
            ASSERT_TRUE(position);
            EXPECT_EQ(position->positionMs, -1);
        }
        const size_t after = c.all.size();
        c.ReadFor(milliseconds(30));
        EXPECT_EQ(c.Find(IsFrame, after), -1) << "a frame after the stop";
    }
    ExpectQuitsCleanly(h, ++id);
}

// Quit (by pipe) or WM_CLOSE (by window port) while a seek runs on the
// other thread: the host ends with status 0 within 2 s.
TEST(SeekRace, QuitWhileSeekInFlight)
{
    const std::string movie = MakeMovie(3);
    ASSERT_FALSE(movie.empty());
    constexpr int kRounds = 6;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        HostHarness h;
        ASSERT_TRUE(StartHost(h));
        Collector c(h);
        StartOk(h, c, 1, movie);
        if (round % 2 == 0) {
            ASSERT_TRUE(h.SendCopyData(mc::Seek(2, 1500)));
            ASSERT_EQ(h.Send(mc::Quit(3)), IoResult::Ok);
        } else {
            ASSERT_EQ(h.Send(mc::Seek(2, 1500)), IoResult::Ok);
            ASSERT_TRUE(h.SendClose());
        }
        const auto sent = Clock::now();
        auto status = h.WaitExit(std::chrono::seconds(2));
        if (!status) {
            // Late or hung: which one, and where it stands.
            const std::string states = ThreadStates(h.Pid());
            auto late = h.WaitExit(std::chrono::seconds(10));
            ADD_FAILURE() << "the host did not end within 2 s; its threads then:\n" << states
                          << (late ? "it ended after " + std::to_string(std::chrono::duration_cast<milliseconds>(Clock::now() - sent).count()) + " ms"
                                   : "it hung:\n" + Backtraces(h.Pid()))
                          << "\n" << h.Log();
            continue;
        }
        EXPECT_TRUE(status->Success()) << Describe(status) << "\n" << h.Log();
    }
}

// Fifty hosts started together, each on its own sockets: every one connects
// to its own controller, answers only there, and quits cleanly.
TEST(ManyHosts, FiftyAtOnceEachOnItsOwnSockets)
{
    constexpr int kHosts = 50;
    std::vector<std::unique_ptr<HostHarness>> hosts;
    for (int i = 0; i < kHosts; ++i) {
        hosts.push_back(std::make_unique<HostHarness>());
        ASSERT_TRUE(hosts.back()->Start({hosts.back()->base}));
    }
    for (auto& h : hosts) ASSERT_TRUE(h->link->Accept(60000)) << h->Log();
    const std::string sample = std::string(MARLIN_SOURCE_DIR) + "/media/sample.mp4";
    for (int i = 0; i < kHosts; ++i) {
        ASSERT_EQ(hosts[i]->Send(mc::TestFile(1000 + i, U16(sample))), IoResult::Ok);
        ASSERT_EQ(hosts[i]->Send(mc::GetPosition(2000 + i)), IoResult::Ok);
    }
    for (int i = 0; i < kHosts; ++i) {
        mc::Message m;
        ASSERT_EQ(hosts[i]->link->ReadMessage(&m, 30000), IoResult::Ok);
        EXPECT_EQ(m.type, 1u);
        EXPECT_EQ(m.id, 1000u + i);
        EXPECT_GT(m.info.durationMs, 0);
        ASSERT_EQ(hosts[i]->link->ReadMessage(&m, 30000), IoResult::Ok);
        EXPECT_EQ(m.type, 17u);
        EXPECT_EQ(m.id, 2000u + i);
        EXPECT_EQ(m.positionMs, -1);
    }
    for (auto& h : hosts) ASSERT_EQ(h->Send(mc::Quit(9)), IoResult::Ok);
    for (auto& h : hosts) {
        auto status = h->WaitExit(std::chrono::seconds(10));
        EXPECT_TRUE(status && status->Success()) << Describe(status);
    }
}

}  // namespace
