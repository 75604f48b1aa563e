#pragma once
// Threads as the Windows kernel offers them: a creation call with a stack
// size, a handle that can be waited on with a time limit and closed without
// ending the thread, priorities, affinity and names.
#include <cstddef>
#include <cstdint>
#include <memory>

constexpr int THREAD_PRIORITY_IDLE = -15;
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;

// A thread handle (_beginthreadex + CloseHandle). Destroying the handle does
// not end the thread: an ended thread is joined, a running one is detached
// and ends on its own.
class CThreadHandle
{
public:
    using Entry = unsigned (*)(void* arg);

    // Starts entry(arg) on a new thread with `stackBytes` of stack. Returns
    // once the thread exists; *threadId (may be null) receives its system id,
    // the one /proc/self/task lists. Null when the thread cannot be created.
    static std::unique_ptr<CThreadHandle> Begin(Entry entry, void* arg, size_t stackBytes,
                                                uint32_t* threadId);
    ~CThreadHandle();
    CThreadHandle(const CThreadHandle&) = delete;
    CThreadHandle& operator=(const CThreadHandle&) = delete;

    // WaitForSingleObject on the thread: true when it has ended, waiting at
    // most timeoutMs (0xFFFFFFFF: no limit). Called on another thread.
    bool WaitForExit(uint32_t timeoutMs);
    uint32_t ThreadId() const { return m_nThreadId; }

    struct State;

private:
    CThreadHandle() = default;
    unsigned long m_thread = 0;  // pthread_t
    uint32_t m_nThreadId = 0;
    std::shared_ptr<State> m_state;  // shared with the running thread
};

// SetThreadPriority: THREAD_PRIORITY_* mapped to the nice value of the thread
// (below normal 1, normal 0, above normal -1, highest -5, time critical -10,
// lowest 5, idle 19). False when the system refused (raising the priority
// needs privileges).
bool SetThreadPriority(const CThreadHandle& thread, int priority);
// Nice value of a thread by system id, for diagnostics and tests.
int GetThreadNice(uint32_t threadId);
// SetThreadAffinityMask: bit n lets the thread run on processor n. False when
// the mask names no usable processor.
bool SetThreadAffinityMask(const CThreadHandle& thread, uint64_t mask);
// A Windows thread starts at normal priority whatever its creator's; a Linux
// thread inherits its creator's nice value. A thread that a component starts
// itself calls SetCurrentThreadNormalPriority first, so that one raised
// creator (the pipe reader) does not raise every thread of the playback.
// Normal is the nice value of the process's first thread. False when the
// system refused.
bool SetCurrentThreadNormalPriority();
// The same for threads a library starts inside a call (FFmpeg's codec
// workers): the calling thread runs at normal priority while this lives.
class CNormalPriorityScope
{
public:
    CNormalPriorityScope();
    ~CNormalPriorityScope();
    CNormalPriorityScope(const CNormalPriorityScope&) = delete;
    CNormalPriorityScope& operator=(const CNormalPriorityScope&) = delete;

private:
    int m_nSavedNice = 0;
    bool m_bChanged = false;
};
// Names the calling thread as the system shows it; Linux keeps the first 15
// characters.
void SetCurrentThreadName(const char* name);
// System id of the calling thread.
uint32_t GetCurrentThreadId();
// The process's own id.
uint32_t GetCurrentProcessId();
