#pragma once
// One marlin-host run as marlin-play uses it: a private temporary folder
// holding the two sockets and the host's log, the host started with its
// current directory beside it, and message exchange that notices at once when
// the host dies. Everything is undone by the destructor (host killed if still
// running, folder removed).
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "controller/ControllerLink.h"
#include "controller/HostProcess.h"
#include "controller/Messages.h"

namespace marlin::play {

// Exit statuses of marlin-play.
constexpr int kExitOk = 0;
constexpr int kExitUnplayable = 1;  // missing or unplayable file
constexpr int kExitUsage = 2;
constexpr int kExitHost = 3;        // host could not start, died, or broke the protocol
constexpr int kExitOutput = 4;      // an output file could not be written
constexpr int kExitInterrupted = 130;

struct Failure
{
    int exitCode = kExitOk;
    std::string message;  // may span several lines
};

// Set by the SIGINT/SIGTERM handler that main installs; every wait checks it.
extern volatile std::sig_atomic_t g_interrupted;

// A folder from mkdtemp, removed with everything in it at destruction.
class TempFolder
{
public:
    static std::unique_ptr<TempFolder> Create(std::string* error);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return m_path; }

private:
    TempFolder() = default;
    std::string m_path;
};

// marlin-host beside the running program (/proc/self/exe).
std::string DefaultHostPath();

class HostSession
{
public:
    // Creates the folder and sockets, starts the host and accepts both of its
    // connections. Null with *failure filled when any of that fails.
    static std::unique_ptr<HostSession> Start(const std::string& hostPath, Failure* failure,
                                              int connectTimeoutMs = 10000);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    uint32_t NextId() { return ++m_lastId; }

    // Sends one command. False with *failure when the host is gone.
    bool Send(const controller::Bytes& message, Failure* failure);

    enum class Wait { Message, Timeout, Failed };
    // The next message within timeoutMs. Failed (with *failure) when the host
    // closed its end or died, broke the packet stream, or marlin-play was
    // interrupted.
    Wait Next(controller::Message* out, int timeoutMs, Failure* failure);

    // Sends `message` and waits for the reply of `replyType` with its id;
    // every other message that arrives meanwhile goes to `other` (may be empty).
    bool Request(const controller::Bytes& message, uint32_t replyType, int timeoutMs,
                 controller::Message* reply, Failure* failure,
                 const std::function<void(const controller::Message&)>& other = {});

    // Sizes the buffers that frames are read into for pictures of
    // `pictureBytes`, ahead of the first one: it then costs no more to
    // receive than those after it.
    void PrepareForFrames(size_t pictureBytes);
    // Lets `route` send frames' data straight to a pipe (null: none); it
    // applies to every message read until it is changed.
    void SetFrameRoute(controller::FrameDataRoute* route) { m_route = route; }

    // Sends Quit and waits for the host to exit; a host that does not end
    // within timeoutMs gets SIGTERM, then SIGKILL. Nothing when it ended with
    // status 0, otherwise a description of how it ended.
    std::optional<std::string> Finish(int timeoutMs = 5000);

    // "marlin-host ended with exit status 3" and the last lines of its log.
    std::string DescribeEnd(const char* what);
    std::string LastLogLines(size_t count) const;
    controller::HostProcess& Process() { return *m_host; }

private:
    HostSession() = default;
    Failure HostGone(const char* what);

    std::unique_ptr<TempFolder> m_folder;  // outlives the link and the host's log
    std::unique_ptr<controller::ControllerLink> m_link;
    std::unique_ptr<controller::HostProcess> m_host;
    std::string m_hostPath;
    uint32_t m_lastId = 0;
    controller::Message m_pending;  // what Request reads into, reused
    controller::FrameDataRoute* m_route = nullptr;
};

// How a process ended, in words: "exit status 3", "signal 11 (Segmentation fault)".
std::string DescribeStatus(const controller::ExitStatus& status);

}  // namespace marlin::play
