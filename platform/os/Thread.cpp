#include "platform/os/Thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/os/Sync.h"

static_assert(sizeof(pthread_t) <= sizeof(unsigned long));

// What the creator and the thread share; the thread holds it until its very
// end, so a closed handle never leaves the thread pointing at freed memory.
struct CThreadHandle::State
{
    std::mutex mutex;
    std::condition_variable cond;
    uint32_t threadId = 0;  // with mutex; set when the thread starts
    bool started = false;   // with mutex
    bool ended = false;     // with mutex; set after the entry returned
    Entry entry = nullptr;
    void* arg = nullptr;
};

namespace {

void* Trampoline(void* raw)
{
    // Take over the reference that Begin handed to this thread.
    std::shared_ptr<CThreadHandle::State> state(
        std::move(*static_cast<std::shared_ptr<CThreadHandle::State>*>(raw)));
    delete static_cast<std::shared_ptr<CThreadHandle::State>*>(raw);
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        state->threadId = GetCurrentThreadId();
        state->started = true;
    }
    state->cond.notify_all();
    state->entry(state->arg);
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        state->ended = true;
    }
    state->cond.notify_all();
    return nullptr;
}

int NiceFor(int priority)
{
    switch (priority) {
    case THREAD_PRIORITY_IDLE: return 19;
    case THREAD_PRIORITY_LOWEST: return 5;
    case THREAD_PRIORITY_BELOW_NORMAL: return 1;
    case THREAD_PRIORITY_NORMAL: return 0;
    case THREAD_PRIORITY_ABOVE_NORMAL: return -1;
    case THREAD_PRIORITY_HIGHEST: return -5;
    case THREAD_PRIORITY_TIME_CRITICAL: return -10;
    default: return 0;
    }
}

}  // namespace

std::unique_ptr<CThreadHandle> CThreadHandle::Begin(Entry entry, void* arg, size_t stackBytes,
                                                    uint32_t* threadId)
{
    if (!entry) return nullptr;
    auto state = std::make_shared<State>();
    state->entry = entry;
    state->arg = arg;

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return nullptr;
    if (stackBytes) pthread_attr_setstacksize(&attr, stackBytes);
    auto* handOver = new std::shared_ptr<State>(state);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, Trampoline, handOver);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete handOver;
        return nullptr;
    }

    std::unique_ptr<CThreadHandle> handle(new CThreadHandle);
    handle->m_thread = static_cast<unsigned long>(thread);
    handle->m_state = state;
    {
        // The system id exists only once the thread runs; this wait is short.
        std::unique_lock<std::mutex> hold(state->mutex);
        state->cond.wait(hold, [&] { return state->started; });
        handle->m_nThreadId = state->threadId;
    }
    if (threadId) *threadId = handle->m_nThreadId;
    return handle;
}

CThreadHandle::~CThreadHandle()
{
    pthread_t thread = static_cast<pthread_t>(m_thread);
    bool ended;
    {
        std::lock_guard<std::mutex> hold(m_state->mutex);
        ended = m_state->ended;
    }
    // A thread that has left its entry only has to return: joining is brief.
    // A running one (or the thread closing its own handle) is let go.
    if (ended && !pthread_equal(thread, pthread_self()))
        pthread_join(thread, nullptr);
    else
        pthread_detach(thread);
}

bool CThreadHandle::WaitForExit(uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> hold(m_state->mutex);
    auto ended = [this] { return m_state->ended; };
    if (timeoutMs == INFINITE) {
        m_state->cond.wait(hold, ended);
        return true;
    }
    return m_state->cond.wait_for(hold, std::chrono::milliseconds(timeoutMs), ended);
}

bool SetThreadPriority(const CThreadHandle& thread, int priority)
{
    return setpriority(PRIO_PROCESS, static_cast<id_t>(thread.ThreadId()), NiceFor(priority)) == 0;
}

namespace {

// The nice value of the process's first thread; -1 is a valid nice value,
// so errno tells failure.
bool NormalNice(int* nice)
{
    errno = 0;
    *nice = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    return errno == 0;
}

bool SetOwnNice(int nice)
{
    return setpriority(PRIO_PROCESS, static_cast<id_t>(GetCurrentThreadId()), nice) == 0;
}

}  // namespace

bool SetCurrentThreadNormalPriority()
{
    int normal;
    return NormalNice(&normal) && SetOwnNice(normal);
}

CNormalPriorityScope::CNormalPriorityScope()
{
    int normal;
    errno = 0;
    const int own = getpriority(PRIO_PROCESS, static_cast<id_t>(GetCurrentThreadId()));
    if (errno != 0 || !NormalNice(&normal) || own == normal) return;
    m_nSavedNice = own;
    m_bChanged = SetOwnNice(normal);
}

CNormalPriorityScope::~CNormalPriorityScope()
{
    if (m_bChanged) SetOwnNice(m_nSavedNice);
}

int GetThreadNice(uint32_t threadId)
{
    errno = 0;
    return getpriority(PRIO_PROCESS, static_cast<id_t>(threadId));
}

bool SetThreadAffinityMask(const CThreadHandle& thread, uint64_t mask)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (unsigned cpu = 0; cpu < 64; ++cpu)
        if (mask & (uint64_t{1} << cpu)) CPU_SET(cpu, &set);
    // By system id, so it also works while the thread is being detached.
    return sched_setaffinity(static_cast<pid_t>(thread.ThreadId()), sizeof set, &set) == 0;
}

void SetCurrentThreadName(const char* name)
{
    if (!name) return;
    char shortName[16] = {};
    std::strncpy(shortName, name, sizeof shortName - 1);
    pthread_setname_np(pthread_self(), shortName);
}

uint32_t GetCurrentThreadId()
{
    return static_cast<uint32_t>(syscall(SYS_gettid));
}

uint32_t GetCurrentProcessId()
{
    return static_cast<uint32_t>(::getpid());
}
