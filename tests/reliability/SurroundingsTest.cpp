// The host in hostile surroundings rather than fed hostile bytes: paths that
// are not files, a standard error nobody reads, and another local user
// listening on the abstract socket names.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/os/Unicode.h"
#include "tests/app/PlaybackTestSupport.h"

namespace {

using namespace marlin_test;
using mc::IoResult;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

const MediaFormat kSmall{160, 120, 6, 16000, 16, 2};

std::u16string U16(const std::string& s) { return Utf8ToUtf16(s); }

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int Get() const { return m_fd; }
    void Reset()
    {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// TestFile, StartPlayFile and GetPosition on `path` are each answered in
// time as for a missing file, and the host goes on.
void ExpectRefusedAtOnce(HostHarness& h, Collector& c, uint32_t& id, const std::string& path)
{
    SCOPED_TRACE(path);
    ASSERT_EQ(h.Send(mc::TestFile(++id, U16(path))), IoResult::Ok);
    auto tested = c.Reply(1, id);
    ASSERT_TRUE(tested) << "no TestFile reply\n" << h.Log();
    EXPECT_EQ(tested->info.durationMs, -1);
    ASSERT_EQ(h.Send(mc::StartPlayFile(++id, kSmall, U16(path))), IoResult::Ok);
    auto started = c.Reply(3, id);
    ASSERT_TRUE(started) << "no StartPlayFile reply\n" << h.Log();
    EXPECT_EQ(started->result, 0u);
    ASSERT_EQ(h.Send(mc::GetPosition(++id)), IoResult::Ok);
    auto position = c.Reply(17, id);
    ASSERT_TRUE(position);
    EXPECT_EQ(position->positionMs, -1);
}

// A FIFO without a writer, a device, a socket, a folder, and a playlist
// whose segment is a FIFO: none of them holds a command up.
TEST(Surroundings, PathsThatAreNotRegularFilesFailAtOnce)
{
    lavtest::TempDir dir;
    const std::string fifo = dir.File("fifo.mp4"), folder = dir.File("folder.mp4"),
                      socketPath = dir.File("socket.mp4"), playlist = dir.File("list.m3u8");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(dir.File("segment.ts").c_str(), 0600), 0);
    fs::create_directory(folder);
    Fd listener(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size());
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener.Get(), 1), 0);
    std::ofstream(playlist) << "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2.0,\nsegment.ts\n#EXT-X-ENDLIST\n";

    HostHarness h;
    ASSERT_TRUE(h.Start({h.base}) && h.link->Accept(30000));
    Collector c(h);
    uint32_t id = 0;
    for (const std::string& path : {fifo, std::string("/dev/zero"), socketPath, folder})
        ASSERT_NO_FATAL_FAILURE(ExpectRefusedAtOnce(h, c, id, path));
    // The playlist itself is a file; its segment is not, and is not waited for.
    ASSERT_EQ(h.Send(mc::TestFile(++id, U16(playlist))), IoResult::Ok);
    ASSERT_TRUE(c.Reply(1, id)) << h.Log();

    const std::string movie = MakeMovie(3);
    ASSERT_FALSE(movie.empty());
    ASSERT_EQ(h.Send(mc::TestFile(++id, U16(movie))), IoResult::Ok);
    auto tested = c.Reply(1, id);
    ASSERT_TRUE(tested);
    EXPECT_GT(tested->info.durationMs, 0);
    ASSERT_EQ(h.Send(mc::Quit(++id)), IoResult::Ok);
    auto status = h.WaitExit(std::chrono::seconds(5));
    EXPECT_TRUE(status && status->Success()) << Describe(status) << "\n" << h.Log();
}

// A host whose standard error is a FIFO of one page that this test reads,
// or not.
struct HostOnLogPipe
{
    HostOnLogPipe()
    {
        logPath = dir.File("stderr");
        base = dir.File("h");
        if (::mkfifo(logPath.c_str(), 0600) != 0) return;
        // Opened before the host, which then does not wait for a reader.
        reader = std::make_unique<Fd>(::open(logPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (reader->Get() < 0) return;
        ::fcntl(reader->Get(), F_SETPIPE_SZ, 4096);
        std::string error;
        link = mc::ControllerLink::Listen(base, &error);
        if (!link) return;
        mc::HostProcess::Options options;
        options.program = HostHarness::HostPath();
        options.args = {base};
        options.stderrPath = logPath;
        host = mc::HostProcess::Spawn(options, &error);
    }
    // Everything in the pipe now, without waiting.
    std::string Drain()
    {
        std::string text;
        char buf[65536];
        for (ssize_t n; (n = ::read(reader->Get(), buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
        return text;
    }

    lavtest::TempDir dir;
    std::string logPath, base;
    std::unique_ptr<Fd> reader;
    std::unique_ptr<mc::ControllerLink> link;
    std::unique_ptr<mc::HostProcess> host;
};

// The log's reader, gone or stalled, never stops the host: no SIGPIPE, no
// command or streaming thread waiting to log.
TEST(Surroundings, LogReaderGoneOrStalledNeverStopsTheHost)
{
    const std::string movie = MakeMovie(3);
    ASSERT_FALSE(movie.empty());
    {
        // Gone before the host writes its first line: it answers and ends
        // on Quit with status 0, its window port removed.
        SCOPED_TRACE("reader gone");
        HostOnLogPipe p;
        ASSERT_TRUE(p.host);
        p.reader->Reset();
        ASSERT_TRUE(p.link->Accept(30000)) << "the host did not connect: "
                                           << Describe(p.host->WaitExit(0));
        ASSERT_EQ(p.link->SendMessage(mc::TestFile(1, U16(movie))), IoResult::Ok);
        mc::Message m;
        ASSERT_EQ(p.link->ReadMessage(&m, 10000), IoResult::Ok) << Describe(p.host->WaitExit(0));
        EXPECT_GT(m.info.durationMs, 0);
        ASSERT_EQ(p.link->SendMessage(mc::Quit(2)), IoResult::Ok);
        auto status = p.host->WaitExit(5000);
        EXPECT_TRUE(status && status->Success()) << Describe(status);
        EXPECT_FALSE(fs::exists(p.base + "_wnd")) << "window port left behind";
    }

    // A reader that stalls: every command is still answered and a playback
    // runs to its end, though the log cannot be written; once the reader
    // reads again, the lines come whole and in order.
    SCOPED_TRACE("reader stalls");
    HostOnLogPipe p;
    ASSERT_TRUE(p.host);
    ASSERT_TRUE(p.link->Accept(30000)) << Describe(p.host->WaitExit(0));
    constexpr int kTests = 40;
    for (int i = 0; i < kTests; ++i) {
        const std::string alias = p.dir.File("alias-" + std::to_string(100 + i) + ".mp4");
        fs::create_symlink(movie, alias);
        ASSERT_EQ(p.link->SendMessage(mc::TestFile(100 + i, U16(alias))), IoResult::Ok);
        mc::Message m;
        ASSERT_EQ(p.link->ReadMessage(&m, 10000), IoResult::Ok) << "TestFile " << i << " not answered";
        EXPECT_EQ(m.id, 100u + i);
    }
    ASSERT_EQ(p.link->SendMessage(mc::StartPlayFile(200, kSmall, U16(movie))), IoResult::Ok);
    bool complete = false;
    for (const auto deadline = Clock::now() + std::chrono::seconds(20); !complete && Clock::now() < deadline;) {
        mc::Message m;
        ASSERT_EQ(p.link->ReadMessage(&m, 10000), IoResult::Ok) << "the playback stalled";
        if (m.type == 3) {
            ASSERT_EQ(m.result, 1u);
        }
        complete = m.kind == mc::MessageKind::PlayComplete;
    }
    EXPECT_TRUE(complete);

    std::string log = p.Drain();
    ASSERT_EQ(p.link->SendMessage(mc::Quit(201)), IoResult::Ok);
    std::optional<mc::ExitStatus> status;
    for (const auto deadline = Clock::now() + std::chrono::seconds(5); !status && Clock::now() < deadline;) {
        log += p.Drain();
        status = p.host->WaitExit(10);
    }
    log += p.Drain();
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(status && status->Success()) << Describe(status);
    size_t at = 0;
    for (int i = 0; i < kTests; ++i) {
        const size_t next = log.find("alias-" + std::to_string(100 + i) + ".mp4", at);
        ASSERT_NE(next, std::string::npos) << "TestFile " << i << " missing or out of order in:\n" << log;
        at = next;
    }
    EXPECT_EQ(log.back(), '\n');
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"})
        EXPECT_EQ(log.find(report), std::string::npos) << "the host reported:\n" << log;
}

// Reads one byte from `fd` within `ms`; 0 when none came.
char ReadByte(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    char c = 0;
    if (::poll(&p, 1, ms) != 1 || ::read(fd, &c, 1) != 1) return 0;
    return c;
}

// A process of user nobody listens on the abstract names the host is given:
// the host checks who listens and does not take it for its controller. It
// does not try again either.
TEST(Surroundings, AbstractNamesOfAnotherUserGetNoLink)
{
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
    std::random_device random;
    const std::string base = "@marlin-surroundings-" + std::to_string(::getpid()) + "-" + std::to_string(random());
    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    Fd reportRead(report[0]), reportWrite(report[1]);

    const pid_t impostor = ::fork();
    ASSERT_GE(impostor, 0);
    if (impostor == 0) {
        // What the impostor saw: 'L' listening, then 'N' the host hung up
        // without a second connection, 'A' the host answered it, 'S' a link
        // but no answer, 'X' no host at all, 'R' the host came back.
        auto say = [&](char c) { (void)!::write(reportWrite.Get(), &c, 1); };
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
        auto link = mc::ControllerLink::Listen(base);
        if (!link) ::_exit(3);
        say('L');
        if (!link->AcceptPipe1(30000)) {
            say('X');
            ::_exit(0);
        }
        if (link->AcceptPipe2(3000)) {
            mc::Message m;
            const bool answered = link->SendMessage(mc::GetPosition(1)) == IoResult::Ok &&
                                  link->ReadMessage(&m, 5000) == IoResult::Ok;
            say(answered ? 'A' : 'S');
            ::_exit(0);
        }
        say(link->WaitForEndOfStream(2000) == IoResult::Closed ? 'N' : 'S');
        link->CloseConnections();
        say(link->AcceptPipe1(3000) ? 'R' : 'N');
        ::_exit(0);
    }
    reportWrite.Reset();
    struct Reaper
    {
        pid_t pid;
        ~Reaper()
        {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } reaper{impostor};
    ASSERT_EQ(ReadByte(reportRead.Get(), 10000), 'L');

    HostHarness h;
    ASSERT_TRUE(h.Spawn({base}));
    const char first = ReadByte(reportRead.Get(), 40000);
    EXPECT_EQ(first, 'N') << "the impostor saw '" << first << "' (A: the host answered it)\n" << h.Log();
    if (first == 'N') {
        EXPECT_EQ(ReadByte(reportRead.Get(), 10000), 'N') << "the host connected again";
    }
}

}  // namespace
