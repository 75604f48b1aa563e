#include "controller/play/HostSession.h"

#include <signal.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace marlin::play {

namespace fs = std::filesystem;
using namespace marlin::controller;
using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_interrupted = 0;

namespace {

int MsLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

Failure Interrupted()
{
    return {kExitInterrupted, "interrupted"};
}

constexpr int kPollMs = 50;

std::string CommandName(uint32_t type)
{
    switch (static_cast<MessageType>(type)) {
    case MessageType::TestFile: return "TestFile";
    case MessageType::StartPlayFile: return "StartPlayFile";
    case MessageType::StopPlayFile: return "StopPlayFile";
    case MessageType::Pause: return "Pause";
    case MessageType::Contine: return "Contine";
    default: return "command " + std::to_string(type);
    }
}  // how often waits look at the host and the interrupt flag

}  // namespace

std::unique_ptr<TempFolder> TempFolder::Create(std::string* error)
{
    // The socket names must fit sun_path; a long TMPDIR falls back to /tmp.
    std::string base = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp && std::strlen(tmp) < 60) base = tmp;
    std::string pattern = base + "/marlin-play-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        if (error) *error = "cannot create a folder in " + base + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<TempFolder> folder(new TempFolder);
    folder->m_path = pattern;
    return folder;
}

TempFolder::~TempFolder()
{
    std::error_code ec;
    fs::remove_all(m_path, ec);
}

std::string DefaultHostPath()
{
    // Beside marlin-play in a build, in lib/marlin/ of an installation.
    if (std::string found = HostProcess::FindHost(); !found.empty()) return found;
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return "marlin-host";
    return (self.parent_path() / "marlin-host").string();
}

std::string DescribeStatus(const ExitStatus& status)
{
    if (status.exited) return "exit status " + std::to_string(status.code);
    if (status.signal != 0)
        return "signal " + std::to_string(status.signal) + " (" + strsignal(status.signal) + ")";
    return "an unknown status";
}

std::unique_ptr<HostSession> HostSession::Start(const std::string& hostPath, Failure* failure,
                                                int connectTimeoutMs)
{
    std::unique_ptr<HostSession> session(new HostSession);
    std::string error;
    session->m_folder = TempFolder::Create(&error);
    if (!session->m_folder) {
        *failure = {kExitHost, error};
        return nullptr;
    }
    const std::string base = session->m_folder->Path() + "/link";
    session->m_link = ControllerLink::Listen(base, &error);
    if (!session->m_link) {
        *failure = {kExitHost, "cannot create the sockets: " + error};
        return nullptr;
    }

    // The host loads its decoders from LAVFilters/ beside itself, relative to
    // its current directory.
    std::error_code ec;
    fs::path program = fs::absolute(hostPath, ec);
    if (ec) program = hostPath;
    session->m_hostPath = program.string();
    HostProcess::Options options;
    options.program = program.string();
    options.args = {base};
    options.workingDirectory = program.parent_path().string();
    options.stderrPath = session->m_folder->Path() + "/host.log";
    session->m_host = HostProcess::Spawn(options, &error);
    if (!session->m_host) {
        *failure = {kExitHost, "cannot start marlin-host: " + error};
        return nullptr;
    }

    // The host connects _pipe1, then _pipe2, about half a second apart.
    auto deadline = Clock::now() + std::chrono::milliseconds(connectTimeoutMs);
    for (bool (ControllerLink::*accept)(int) : {&ControllerLink::AcceptPipe1, &ControllerLink::AcceptPipe2}) {
        for (;;) {
            if (g_interrupted) {
                *failure = Interrupted();
                return nullptr;
            }
            if (((*session->m_link).*accept)(std::min(kPollMs, MsLeft(deadline)))) break;
            if (!session->m_host->IsRunning()) {
                *failure = session->HostGone("before connecting");
                return nullptr;
            }
            if (MsLeft(deadline) == 0) {
                *failure = {kExitHost, "marlin-host (" + session->m_hostPath + ") did not connect within " +
                                           std::to_string(connectTimeoutMs / 1000) + " s" +
                                           session->DescribeEnd(nullptr)};
                return nullptr;
            }
        }
    }
    return session;
}

HostSession::~HostSession()
{
    // Order matters: the host goes before the folder holding its sockets and log.
    if (m_host && m_host->IsRunning()) {
        m_host->Signal(SIGTERM);
        if (!m_host->WaitExit(2000)) m_host->Kill();
    }
    m_host.reset();
    m_link.reset();
}

std::string HostSession::LastLogLines(size_t count) const
{
    std::ifstream log(m_folder->Path() + "/host.log");
    std::deque<std::string> lines;
    std::string line;
    while (std::getline(log, line)) {
        lines.push_back(line);
        if (lines.size() > count) lines.pop_front();
    }
    std::string text;
    for (const auto& l : lines) text += "\n  | " + l;
    return text;
}

std::string HostSession::DescribeEnd(const char* what)
{
    std::string text;
    if (what) {
        auto status = m_host->WaitExit(2000);
        text = status ? "marlin-host ended " + std::string(what) + " with " + DescribeStatus(*status)
                      : "marlin-host closed its connection " + std::string(what) + " but still runs";
    }
    std::string lines = LastLogLines(10);
    if (lines.empty()) return text + (what ? "; its log is empty" : "");
    return text + "\nlast lines of its log:" + lines;
}

Failure HostSession::HostGone(const char* what)
{
    if (g_interrupted) return Interrupted();
    return {kExitHost, DescribeEnd(what)};
}

bool HostSession::Send(const Bytes& message, Failure* failure)
{
    IoResult r = m_link->SendMessage(message, 5000);
    if (r == IoResult::Ok) return true;
    *failure = r == IoResult::Timeout ? Failure{kExitHost, "marlin-host stopped reading commands" + DescribeEnd(nullptr)}
                                      : HostGone("unexpectedly");
    return false;
}

HostSession::Wait HostSession::Next(Message* out, int timeoutMs, Failure* failure)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (g_interrupted) {
            *failure = Interrupted();
            return Wait::Failed;
        }
        // Only start reading once data is there: a packet, once begun, is
        // read whole, so short polls never cut one in two.
        IoResult r = m_link->WaitForEndOfStream(std::min(kPollMs, MsLeft(deadline)));
        if (r == IoResult::Ok) break;
        if (r == IoResult::Closed || r == IoResult::Error) {
            *failure = HostGone("unexpectedly");
            return Wait::Failed;
        }
        if (!m_host->IsRunning()) {
            *failure = HostGone("unexpectedly");
            return Wait::Failed;
        }
        if (MsLeft(deadline) == 0) return Wait::Timeout;
    }
    std::string error;
    IoResult r = m_link->ReadMessage(out, 10000, &error, m_route);
    switch (r) {
    case IoResult::Ok: return Wait::Message;
    case IoResult::Closed: *failure = HostGone("unexpectedly"); break;
    case IoResult::Timeout:
        *failure = {kExitHost, "marlin-host stopped in the middle of a packet" + DescribeEnd(nullptr)};
        break;
    case IoResult::Error:
        *failure = {kExitHost, "marlin-host sent a message that does not decode" +
                                   (error.empty() ? std::string() : ": " + error) + DescribeEnd(nullptr)};
        break;
    }
    return Wait::Failed;
}

void HostSession::PrepareForFrames(size_t pictureBytes)
{
    m_pending.data.resize(pictureBytes);
}

bool HostSession::Request(const Bytes& message, uint32_t replyType, int timeoutMs, Message* reply,
                          Failure* failure, const std::function<void(const Message&)>& other)
{
    if (!Send(message, failure)) return false;
    const uint32_t id = Get32(message.data(), 4);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Message& m = m_pending;  // reused: frames that come meanwhile cost no allocation each
    for (;;) {
        Wait w = Next(&m, MsLeft(deadline), failure);
        if (w == Wait::Failed) return false;
        if (w == Wait::Timeout) {
            *failure = {kExitHost, "marlin-host did not answer " + CommandName(Get32(message.data(), 0)) +
                                       " within " + std::to_string(timeoutMs) + " ms" + DescribeEnd(nullptr)};
            return false;
        }
        if (m.type == replyType && m.id == id) {
            *reply = std::move(m);
            return true;
        }
        if (other) other(m);
    }
}

std::optional<std::string> HostSession::Finish(int timeoutMs)
{
    if (m_host->IsRunning()) {
        Failure ignored;
        Send(Quit(NextId()), &ignored);
    }
    auto status = m_host->WaitExit(timeoutMs);
    if (!status) {
        m_host->Signal(SIGTERM);
        status = m_host->WaitExit(2000);
        if (!status) m_host->Kill();
        return "marlin-host did not end within " + std::to_string(timeoutMs) + " ms of Quit" +
               (status ? std::string(" and was stopped with SIGTERM") : std::string(" and was killed")) +
               LastLogLines(10);
    }
    if (status->Success()) return std::nullopt;
    return "marlin-host ended with " + DescribeStatus(*status) + " after Quit" +
           (LastLogLines(10).empty() ? std::string() : "\nlast lines of its log:" + LastLogLines(10));
}

}  // namespace marlin::play
