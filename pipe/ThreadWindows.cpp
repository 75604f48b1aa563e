#include "pipe/ThreadWindows.h"

#include <cstring>
#include <mutex>

namespace {

constexpr size_t kStackBytes = 1048576;
constexpr uint32_t kStopWaitMs = 2000;

// Priority level 1..5 -> THREAD_PRIORITY_*; false for any other level.
bool PriorityForLevel(int level, int* priority)
{
    switch (level) {
    case 1: *priority = THREAD_PRIORITY_BELOW_NORMAL; return true;
    case 2: *priority = THREAD_PRIORITY_NORMAL; return true;
    case 3: *priority = THREAD_PRIORITY_ABOVE_NORMAL; return true;
    case 4: *priority = THREAD_PRIORITY_HIGHEST; return true;
    case 5: *priority = THREAD_PRIORITY_TIME_CRITICAL; return true;
    default: return false;
    }
}

}  // namespace

ThreadWindows::ThreadWindows(ThreadCallback callback, void* userData, int priority, const char* name)
    : m_pShared(std::make_shared<Shared>()), m_nPriority(priority)
{
    m_pShared->m_pfnCallback = callback;
    m_pShared->m_pUserData = userData;
    if (name) {
        // At most 63 characters, always terminated.
        std::strncpy(m_pShared->m_szName, name, sizeof m_pShared->m_szName - 1);
        m_pShared->m_bNamed = true;
    }
}

ThreadWindows::~ThreadWindows()
{
    // Neither stops nor waits: the owner calls Stop first. Closing the handle
    // lets a thread that still runs end on its own.
    MutexLock hold(m_pShared->m_lock);
    m_pShared->m_hThread.reset();
}

void ThreadWindows::RequestStop()
{
    m_pShared->m_bRunning.store(false);
}

bool ThreadWindows::Start(uint32_t* threadId)
{
    if (!m_pShared->m_pfnCallback) return false;
    {
        std::shared_ptr<Shared> previous = m_pShared;
        MutexLock hold(previous->m_lock);
        // A thread that is running and not being stopped is not started twice.
        if (!previous->m_bFinished && !previous->m_bStopping) return false;
        if (!previous->m_bFinished) {
            // An earlier thread runs on after a Stop that gave up on it; it
            // keeps its own state and the new thread gets fresh flags.
            auto fresh = std::make_shared<Shared>();
            fresh->m_pfnCallback = previous->m_pfnCallback;
            fresh->m_pUserData = previous->m_pUserData;
            std::memcpy(fresh->m_szName, previous->m_szName, sizeof fresh->m_szName);
            fresh->m_bNamed = previous->m_bNamed;
            m_pShared = std::move(fresh);
        }
    }
    std::shared_ptr<Shared> shared = m_pShared;
    uint32_t id = 0;
    {
        // Held while the handle is stored, so that a thread that ends at once
        // finds its handle in place and closes it itself.
        MutexLock hold(shared->m_lock);
        shared->m_bStopping = false;
        shared->m_hEndEvent.Reset();
        shared->m_hThread = CThreadHandle::Begin(ThreadEntry, this, kStackBytes, &id);
        if (!shared->m_hThread) {
            shared->m_hEndEvent.Set();
            return false;
        }
    }
    if (threadId) *threadId = id;
    m_nThreadId = id;

    // Until the thread is inside Run; Run's first step sets the event.
    shared->m_hStartEvent.Wait(INFINITE);

    int priority;
    if (PriorityForLevel(m_nPriority, &priority)) {
        MutexLock hold(shared->m_lock);
        // Failure ignored; no handle means the thread has already ended.
        if (shared->m_hThread) SetThreadPriority(*shared->m_hThread, priority);
    }
    return true;
}

unsigned ThreadWindows::ThreadEntry(void* self)
{
    static_cast<ThreadWindows*>(self)->Run();
    return 0;
}

void ThreadWindows::Run()
{
    // Start is still waiting for the start event, so the object is alive
    // here; from now on only the shared state is touched.
    std::shared_ptr<Shared> shared = m_pShared;
    shared->m_bRunning.store(true);
    {
        MutexLock hold(shared->m_lock);
        shared->m_bFinished = false;
    }
    shared->m_hStartEvent.Set();

    if (shared->m_bNamed) SetCurrentThreadName(shared->m_szName);

    // A pass under way is never interrupted; a stop takes effect when the
    // callback returns.
    for (;;) {
        if (!shared->m_pfnCallback(shared->m_pUserData)) {
            shared->m_bRunning.store(false);
            break;
        }
        if (!shared->m_bRunning.load()) break;
    }

    MutexLock hold(shared->m_lock);
    if (shared->m_hThread && !shared->m_bStopping) shared->m_hThread.reset();
    shared->m_bFinished = true;
    shared->m_hEndEvent.Set();
}

bool ThreadWindows::WaitUntilEnded(uint32_t timeoutMs)
{
    // A copy: Start may give the object fresh state for a new thread.
    std::shared_ptr<Shared> shared = m_pShared;
    return shared->m_hEndEvent.Wait(timeoutMs) == WAIT_OBJECT_0;
}

bool ThreadWindows::Stop()
{
    std::shared_ptr<Shared> shared = m_pShared;
    MutexLock hold(shared->m_lock);
    shared->m_bStopping = true;
    shared->m_bRunning.store(false);
    bool ended = false;
    if (shared->m_hThread && !shared->m_bFinished) {
        std::shared_ptr<CThreadHandle> thread = shared->m_hThread;
        if (thread->ThreadId() == GetCurrentThreadId()) {
            // Stopped from its own callback: the loop ends when the callback
            // returns; waiting here would only wait for ourselves.
            shared->m_hThread.reset();
            return false;
        }
        // The lock is released while waiting so the thread can take it to
        // finish; m_bStopping keeps the handle with us meanwhile.
        hold.Unlock();
        ended = thread->WaitForExit(kStopWaitMs);
        hold.Lock();
    }
    // Closed whether or not the thread has ended; one that did not runs on
    // detached.
    shared->m_hThread.reset();
    return shared->m_bFinished || ended;
}

bool ThreadWindows::SetAffinity(const int* processors, uint32_t count)
{
    uint64_t mask = 0;
    for (uint32_t i = 0; i < count && processors; ++i)
        mask |= uint64_t{1} << (static_cast<unsigned>(processors[i]) % 32u);
    MutexLock hold(m_pShared->m_lock);
    if (!m_pShared->m_hThread) return false;
    return SetThreadAffinityMask(*m_pShared->m_hThread, mask);
}
