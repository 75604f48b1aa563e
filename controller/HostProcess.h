#pragma once
// Starting and watching a `marlin-host` process: its working directory, its
// command line (the pipe base name last), its standard error captured to a
// file, a bounded wait for its exit, signals and kill.
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace marlin::controller {

struct ExitStatus
{
    bool exited = false;  // ended by exit(); `code` holds its status
    int code = 0;
    int signal = 0;       // the signal that ended it, when !exited
    bool Success() const { return exited && code == 0; }
};

class HostProcess
{
public:
    struct Options
    {
        std::string program;           // path of the executable
        std::vector<std::string> args; // argv[1..]; the host reads the last one as base name
        std::string workingDirectory;  // empty: the caller's
        std::string stderrPath;        // empty: a temporary file removed at destruction
        std::vector<std::string> extraEnvironment;  // "NAME=value", added to the caller's
    };

    // The marlin-host to start when the caller names none: $MARLIN_HOST when
    // set; else marlin-host beside the program or the shared library that
    // holds this code, or where an installation puts it relative to them
    // (lib/marlin/ beside bin/ and lib/). Empty with the places tried in
    // *error when none of them is an executable file.
    static std::string FindHost(std::string* error = nullptr);

    // Starts the program. Null with the reason in *error when it cannot be
    // started (no such file, not executable, bad directory).
    static std::unique_ptr<HostProcess> Spawn(const Options& options, std::string* error = nullptr);
    // Kills (SIGKILL) and reaps the process if it still runs.
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    pid_t Pid() const { return m_pid; }
    // The exit status once the process has ended within timeoutMs; nothing
    // when it still runs. Once ended, returns the same status again.
    std::optional<ExitStatus> WaitExit(int timeoutMs);
    bool IsRunning();
    bool Signal(int signal);
    // SIGKILL, then reaps it.
    ExitStatus Kill();
    // Everything written to standard error so far.
    std::string Stderr() const;
    const std::string& StderrPath() const { return m_stderrPath; }

private:
    HostProcess() = default;
    pid_t m_pid = -1;
    std::optional<ExitStatus> m_status;
    std::string m_stderrPath;
    bool m_bRemoveStderr = false;
};

}  // namespace marlin::controller
