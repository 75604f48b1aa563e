#pragma once
// Plays the controller for end-to-end tests: listens on base + "_pipe1" and
// base + "_pipe2" in a fresh temporary folder, starts the real marlin-host
// with that base name, and talks packets, window-port datagrams and signals.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pipe/MessageFormat.h"

extern char** environ;

namespace marlin_test {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Little-endian message builder.
class Msg
{
public:
    Msg(uint32_t type, uint32_t id) { U32(type).U32(id).U32(0); }
    Msg& U32(uint32_t v) { return Raw(&v, 4); }
    Msg& I64(int64_t v) { return Raw(&v, 8); }
    Msg& Format(const MediaFormat& f) { return Raw(&f, sizeof f); }
    Msg& Path(const std::u16string& path, bool terminated = true)
    {
        Raw(path.data(), path.size() * 2);
        if (terminated) Raw(u"", 2);
        return *this;
    }
    Msg& Raw(const void* p, size_t n)
    {
        auto b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
        return *this;
    }
    Msg& Truncate(size_t n)
    {
        bytes.resize(n);
        return *this;
    }
    Bytes bytes;
};

inline uint32_t U32At(const Bytes& b, size_t at)
{
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
inline int64_t I64At(const Bytes& b, size_t at)
{
    int64_t v;
    std::memcpy(&v, b.data() + at, 8);
    return v;
}

class HostHarness
{
public:
    HostHarness()
    {
        char tmpl[] = "/tmp/marlin-host-XXXXXX";
        m_dir = ::mkdtemp(tmpl);
        base = m_dir + "/h";
        logPath = m_dir + "/host.log";
    }
    ~HostHarness()
    {
        CloseLink();
        if (m_pid > 0 && !m_exited) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        for (int fd : m_listen)
            if (fd >= 0) ::close(fd);
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    HostHarness(const HostHarness&) = delete;
    HostHarness& operator=(const HostHarness&) = delete;

    static std::string HostPath() { return std::string(MARLIN_BIN_DIR) + "/marlin-host"; }

    // Listens on both pipes, then starts the host with `args` after its path.
    bool Start(const std::vector<std::string>& args)
    {
        for (int i = 0; i < 2; ++i) {
            m_listen[i] = Listen(base + (i == 0 ? kPipe1Suffix : kPipe2Suffix));
            if (m_listen[i] < 0) return false;
        }
        return Spawn(args);
    }
    // The usual start: the base name as the only argument, then both links.
    bool StartAndConnect()
    {
        return Start({base}) && Accept();
    }

    bool Spawn(const std::vector<std::string>& args)
    {
        std::vector<std::string> words{HostPath()};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0;
    }

    // Accepts the host's connections: first pipe, then second.
    bool Accept(std::chrono::milliseconds limit = 5s) { return AcceptPipe(0, limit) && AcceptPipe(1, limit); }
    // Accepts the connection to pipe 0 (first) or 1 (second).
    bool AcceptPipe(int index, std::chrono::milliseconds limit = 5s)
    {
        pollfd p{m_listen[index], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return false;
        m_conn[index] = ::accept4(m_listen[index], nullptr, nullptr, SOCK_CLOEXEC);
        return m_conn[index] >= 0;
    }

    void CloseLink()
    {
        for (int& fd : m_conn) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }

    bool SendPacket(const Bytes& payload, uint32_t close = 0)
    {
        PacketHeader h{static_cast<uint32_t>(payload.size()), close};
        Bytes all(sizeof h);
        std::memcpy(all.data(), &h, sizeof h);
        all.insert(all.end(), payload.begin(), payload.end());
        return WriteAll(m_conn[1], all.data(), all.size());
    }
    bool Send(const Msg& m) { return SendPacket(m.bytes); }

    // Reads one packet from the first pipe: header and payload.
    struct Packet
    {
        PacketHeader header{};
        Bytes payload;
        Bytes raw;  // header and payload as they came
    };
    std::optional<Packet> Receive(std::chrono::milliseconds limit = 5s)
    {
        Packet p;
        const auto deadline = Clock::now() + limit;
        Bytes head(sizeof(PacketHeader));
        if (!ReadExact(m_conn[0], head.data(), head.size(), deadline)) return std::nullopt;
        std::memcpy(&p.header, head.data(), sizeof p.header);
        p.payload.resize(p.header.length);
        if (p.header.length && !ReadExact(m_conn[0], p.payload.data(), p.payload.size(), deadline))
            return std::nullopt;
        p.raw = head;
        p.raw.insert(p.raw.end(), p.payload.begin(), p.payload.end());
        return p;
    }
    // True when the host closed the first pipe (end of stream) in time,
    // with nothing more sent on it.
    bool FirstPipeEnds(std::chrono::milliseconds limit = 5s)
    {
        uint8_t byte;
        return !ReadExact(m_conn[0], &byte, 1, Clock::now() + limit) && m_lastReadEnded;
    }

    // One datagram on the window port.
    bool SendWindowMessage(const Bytes& datagram)
    {
        int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string name = base + "_wnd";
        std::memcpy(addr.sun_path, name.c_str(), name.size() + 1);
        ssize_t n = ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&addr),
                             sizeof addr);
        ::close(fd);
        return n == static_cast<ssize_t>(datagram.size());
    }
    bool SendCopyData(const Msg& m, uint32_t dwData = 0)
    {
        Bytes d(8);
        const uint32_t head[2] = {0x4A, dwData};
        std::memcpy(d.data(), head, 8);
        d.insert(d.end(), m.bytes.begin(), m.bytes.end());
        return SendWindowMessage(d);
    }

    // The exit status when the host ended within `limit`, else nullopt.
    std::optional<int> WaitExit(std::chrono::milliseconds limit = 5s)
    {
        if (m_exited) return m_status;
        const auto deadline = Clock::now() + limit;
        for (;;) {
            int status = 0;
            pid_t r = ::waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) {
                m_exited = true;
                m_status = status;
                return status;
            }
            if (Clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(10ms);
        }
    }
    bool Running() { return !WaitExit(0ms).has_value(); }
    void Signal(int signo) { ::kill(m_pid, signo); }
    pid_t Pid() const { return m_pid; }

    std::string Log() const
    {
        std::ifstream in(logPath);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Waits until the log holds `text` `count` times.
    bool WaitForLog(const std::string& text, int count = 1, std::chrono::milliseconds limit = 5s)
    {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            if (CountInLog(text) >= count) return true;
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
    }
    int CountInLog(const std::string& text) const
    {
        const std::string log = Log();
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }

    std::string base;
    std::string logPath;

private:
    static int Listen(const std::string& path)
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    static bool WriteAll(int fd, const uint8_t* p, size_t n)
    {
        while (n) {
            ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
            if (w <= 0) return false;
            p += w;
            n -= static_cast<size_t>(w);
        }
        return true;
    }
    bool ReadExact(int fd, uint8_t* p, size_t n, Clock::time_point deadline)
    {
        m_lastReadEnded = false;
        while (n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd pf{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&pf, 1, static_cast<int>(left)) != 1) return false;
            ssize_t r = ::recv(fd, p, n, 0);
            if (r == 0) m_lastReadEnded = true;
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }

    std::string m_dir;
    int m_listen[2] = {-1, -1};
    int m_conn[2] = {-1, -1};
    pid_t m_pid = -1;
    bool m_exited = false;
    int m_status = 0;
    bool m_lastReadEnded = false;
};

}  // namespace marlin_test
