#pragma once
// One controller and one marlin-host for an end-to-end test: the controller
// library's link listens on base + "_pipe1"/"_pipe2" in a fresh temporary
// folder, its HostProcess starts the real host with that base name, and its
// window-port sender reaches the host's window.
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "controller/ControllerLink.h"
#include "controller/HostProcess.h"
#include "controller/Messages.h"
#include "controller/WindowPort.h"

namespace marlin_test {

namespace mc = marlin::controller;
using mc::Bytes;
using namespace std::chrono_literals;

constexpr int kLimitMs = 5000;

// Body bytes after a message header, for commands the library will not
// build (cut short, unterminated paths).
class Body
{
public:
    Body& U32(uint32_t v) { return Raw(&v, 4); }
    Body& I64(int64_t v) { return Raw(&v, 8); }
    Body& Format(const MediaFormat& f) { return Raw(&f, sizeof f); }
    Body& Utf16(const std::u16string& s) { return Raw(s.data(), s.size() * 2); }
    Body& Raw(const void* p, size_t n)
    {
        auto b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
        return *this;
    }
    Bytes bytes;
};

inline Bytes Cut(Bytes message, size_t length)
{
    message.resize(length);
    return message;
}

class HostHarness
{
public:
    HostHarness()
    {
        char tmpl[] = "/tmp/marlin-host-XXXXXX";
        m_dir = ::mkdtemp(tmpl);
        base = m_dir + "/h";
    }
    ~HostHarness()
    {
        if (host) {
            const std::string log = Log();
            for (const char* report : {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:"})
                EXPECT_EQ(log.find(report), std::string::npos) << "the host reported:\n" << log;
        }
        host.reset();  // kills a host that is still running
        link.reset();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    HostHarness(const HostHarness&) = delete;
    HostHarness& operator=(const HostHarness&) = delete;

    static std::string HostPath() { return std::string(MARLIN_BIN_DIR) + "/marlin-host"; }

    // Starts the host with `args` after its path, without listening.
    bool Spawn(const std::vector<std::string>& args)
    {
        mc::HostProcess::Options options;
        options.program = HostPath();
        options.args = args;
        options.stderrPath = m_dir + "/host.log";
        std::string error;
        host = mc::HostProcess::Spawn(options, &error);
        if (!host) ADD_FAILURE() << error;
        return host != nullptr;
    }
    // Listens on both pipes, then starts the host with `args`.
    bool Start(const std::vector<std::string>& args)
    {
        std::string error;
        link = mc::ControllerLink::Listen(base, &error);
        if (!link) {
            ADD_FAILURE() << error;
            return false;
        }
        return Spawn(args);
    }
    // The usual start: the base name as the only argument, both pipes accepted.
    bool StartAndConnect() { return Start({base}) && link->Accept(kLimitMs); }

    mc::IoResult Send(const Bytes& message) { return link->SendMessage(message); }

    // The next message, decoded and checked by the controller library.
    std::optional<mc::Message> Receive()
    {
        mc::Message m;
        std::string error;
        mc::IoResult r = link->ReadMessage(&m, kLimitMs, &error);
        if (r != mc::IoResult::Ok) {
            ADD_FAILURE() << "no message: " << mc::ToString(r) << " " << error;
            return std::nullopt;
        }
        return m;
    }

    // Window messages through the host's window port.
    bool SendWindowMessage(const Bytes& datagram)
    {
        std::string error;
        const bool sent = mc::SendToWindowPort(base, datagram, &error);
        if (!sent) ADD_FAILURE() << error;
        return sent;
    }
    bool SendCopyData(const Bytes& message, uint32_t dwData = 0)
    {
        return SendWindowMessage(mc::EncodeCopyData(dwData, message));
    }
    bool SendCommandId(uint32_t controlId) { return SendWindowMessage(mc::EncodeCommand(controlId)); }
    bool SendClose() { return SendWindowMessage(mc::EncodeClose()); }

    std::optional<mc::ExitStatus> WaitExit(std::chrono::milliseconds limit = 5s)
    {
        return host->WaitExit(static_cast<int>(limit.count()));
    }
    pid_t Pid() const { return host->Pid(); }
    std::string Log() const { return host->Stderr(); }
    int CountInLog(const std::string& text) const
    {
        const std::string log = Log();
        int n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }
    // Waits until the log holds `text` `count` times.
    bool WaitForLog(const std::string& text, int count = 1, std::chrono::milliseconds limit = 5s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (CountInLog(text) < count) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
    bool PortExists() const { return std::filesystem::exists(base + "_wnd"); }

    std::string base;
    std::unique_ptr<mc::ControllerLink> link;
    std::unique_ptr<mc::HostProcess> host;

private:
    std::string m_dir;
};

inline std::string Describe(const std::optional<mc::ExitStatus>& status)
{
    if (!status) return "still running";
    if (!status->exited) return "killed by signal " + std::to_string(status->signal);
    return "exit status " + std::to_string(status->code);
}

}  // namespace marlin_test
