#pragma once
// CAMEvent: the Windows event object on a mutex and condition variable, and
// the lock aliases of the base classes.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/dshow/DShowTypes.h"

// The base classes' lock: the OS layer's recursive critical section, held
// with CAutoLock (platform/os/Sync.h).
using CCritSec = CCriticalSection;

class CAMEvent
{
public:
    // A manual-reset event stays set until Reset; an auto-reset one wakes
    // one waiter and clears itself.
    explicit CAMEvent(bool manualReset = false) : m_bManualReset(manualReset) {}
    CAMEvent(const CAMEvent&) = delete;
    CAMEvent& operator=(const CAMEvent&) = delete;

    void Set()
    {
        MutexLock guard(m_lock);
        m_bSignaled = true;
        if (m_bManualReset)
            m_cv.notify_all();
        else
            m_cv.notify_one();
    }
    void Reset()
    {
        MutexLock guard(m_lock);
        m_bSignaled = false;
    }
    // True when the event was set within the wait (INFINITE: no limit).
    bool Wait(DWORD milliseconds = INFINITE)
    {
        MutexUniqueLock guard(m_lock);
        auto signaled = [this]() REQUIRES(m_lock) { return m_bSignaled; };
        if (milliseconds == INFINITE)
            guard.Wait(m_cv, signaled);
        else if (!guard.WaitFor(m_cv, std::chrono::milliseconds(milliseconds), signaled))
            return false;
        if (!m_bManualReset) m_bSignaled = false;
        return true;
    }
    bool Check() { return Wait(0); }
    // True when the event was set before `deadline`.
    bool WaitUntil(std::chrono::steady_clock::time_point deadline)
    {
        MutexUniqueLock guard(m_lock);
        auto signaled = [this]() REQUIRES(m_lock) { return m_bSignaled; };
        if (!guard.WaitUntil(m_cv, deadline, signaled)) return false;
        if (!m_bManualReset) m_bSignaled = false;
        return true;
    }

    HEVENT Handle() { return reinterpret_cast<HEVENT>(this); }
    static CAMEvent* FromHandle(HEVENT handle) { return reinterpret_cast<CAMEvent*>(handle); }

private:
    const bool m_bManualReset;
    Mutex m_lock;
    std::condition_variable m_cv;
    bool m_bSignaled GUARDED_BY(m_lock) = false;
};
