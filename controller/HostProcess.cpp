#include "controller/HostProcess.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace marlin::controller {

namespace {

ExitStatus FromWaitStatus(int status)
{
    ExitStatus s;
    if (WIFEXITED(status)) {
        s.exited = true;
        s.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        s.signal = WTERMSIG(status);
    }
    return s;
}

// The folder of the file (program or shared library) that holds this code.
std::filesystem::path OwnFolder()
{
    Dl_info info{};
    static const int anchor = 0;
    if (dladdr(&anchor, &info) == 0 || !info.dli_fname) return {};
    std::error_code ec;
    auto path = std::filesystem::canonical(info.dli_fname, ec);
    return ec ? std::filesystem::path{} : path.parent_path();
}

std::filesystem::path ProgramFolder()
{
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path{} : path.parent_path();
}

bool IsExecutableFile(const std::filesystem::path& path)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string HostProcess::FindHost(std::string* error)
{
    if (const char* named = std::getenv("MARLIN_HOST"); named && *named) {
        if (IsExecutableFile(named)) return named;
        if (error) *error = std::string("MARLIN_HOST names ") + named + ", which is not an executable file";
        return {};
    }
    // The relative ways from an installation's bin/ and library folder to
    // its host folder, as the build configured them.
    std::vector<std::filesystem::path> candidates;
    for (const auto& folder : {OwnFolder(), ProgramFolder()}) {
        if (folder.empty()) continue;
        candidates.push_back(folder / "marlin-host");
        candidates.push_back(folder / MARLIN_HOST_FROM_BINDIR / "marlin-host");
        candidates.push_back(folder / MARLIN_HOST_FROM_LIBDIR / "marlin-host");
    }
    std::string tried;
    for (const auto& candidate : candidates) {
        auto path = candidate.lexically_normal();
        if (IsExecutableFile(path)) return path.string();
        if (tried.find(" " + path.string() + ",") == std::string::npos) tried += " " + path.string() + ",";
    }
    if (error) {
        if (!tried.empty()) tried.pop_back();
        *error = "no marlin-host found (set MARLIN_HOST); looked at" + tried;
    }
    return {};
}

std::unique_ptr<HostProcess> HostProcess::Spawn(const Options& options, std::string* error)
{
    auto fail = [error](std::string text) -> std::unique_ptr<HostProcess> {
        if (error) *error = std::move(text);
        return nullptr;
    };
    if (access(options.program.c_str(), X_OK) != 0)
        return fail("cannot execute " + options.program + ": " + std::strerror(errno));

    std::unique_ptr<HostProcess> process(new HostProcess);
    if (options.stderrPath.empty()) {
        char pattern[] = "/tmp/marlin-host-stderr-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd < 0) return fail(std::string("cannot create a stderr file: ") + std::strerror(errno));
        close(fd);
        process->m_stderrPath = pattern;
        process->m_bRemoveStderr = true;
    } else {
        process->m_stderrPath = options.stderrPath;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, process->m_stderrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    if (!options.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.workingDirectory.c_str());

    std::vector<std::string> envStore;
    for (char** e = environ; e && *e; ++e) envStore.emplace_back(*e);
    for (const auto& extra : options.extraEnvironment) envStore.push_back(extra);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> argStore{options.program};
    argStore.insert(argStore.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    // The child starts with default signal dispositions and an empty mask,
    // whatever the caller had set.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid;
    int rc = posix_spawn(&pid, options.program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        if (process->m_bRemoveStderr) unlink(process->m_stderrPath.c_str());
        return fail("cannot start " + options.program + ": " + std::strerror(rc));
    }
    process->m_pid = pid;
    return process;
}

HostProcess::~HostProcess()
{
    if (m_pid > 0 && !m_status) Kill();
    if (m_bRemoveStderr) unlink(m_stderrPath.c_str());
}

std::optional<ExitStatus> HostProcess::WaitExit(int timeoutMs)
{
    if (m_status) return m_status;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_status = FromWaitStatus(status);
            return m_status;
        }
        if (r < 0 && errno != EINTR) {
            // Reaped elsewhere: no status to report.
            m_status = ExitStatus{};
            return m_status;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool HostProcess::IsRunning()
{
    return !WaitExit(0).has_value();
}

bool HostProcess::Signal(int signal)
{
    if (m_status) return false;
    return kill(m_pid, signal) == 0;
}

ExitStatus HostProcess::Kill()
{
    if (!m_status) {
        kill(m_pid, SIGKILL);
        int status;
        pid_t r;
        do {
            r = waitpid(m_pid, &status, 0);
        } while (r < 0 && errno == EINTR);
        m_status = r == m_pid ? FromWaitStatus(status) : ExitStatus{};
    }
    return *m_status;
}

std::string HostProcess::Stderr() const
{
    std::ifstream in(m_stderrPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace marlin::controller
