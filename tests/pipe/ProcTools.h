#pragma once
// Looking at this process through /proc, and waiting on conditions with a
// time limit, for the tests of the pipe link.
#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace testing_proc {

inline int CountOpenFds()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n - 1;  // the directory's own descriptor
}

inline bool TaskExists(uint32_t tid)
{
    return access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0;
}

inline std::string TaskComm(uint32_t tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// Number of the system call the thread is blocked in, or -1.
inline long TaskSyscall(uint32_t tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    in >> number;
    return number;
}

// Polls `condition` until it holds or `timeoutMs` pass.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline long long MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace testing_proc
