#pragma once
// CAMEvent: the Windows event object on a mutex and condition variable, and
// the lock aliases of the base classes.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/dshow/DShowTypes.h"

using CCritSec = std::recursive_mutex;
using CAutoLock = std::lock_guard<std::recursive_mutex>;

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
        std::lock_guard<std::mutex> guard(m_lock);
        m_bSignaled = true;
        if (m_bManualReset)
            m_cv.notify_all();
        else
            m_cv.notify_one();
    }
    void Reset()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bSignaled = false;
    }
    // True when the event was set within the wait (INFINITE: no limit).
    bool Wait(DWORD milliseconds = INFINITE)
    {
        std::unique_lock<std::mutex> guard(m_lock);
        auto signaled = [this] { return m_bSignaled; };
        if (milliseconds == INFINITE)
            m_cv.wait(guard, signaled);
        else if (!m_cv.wait_for(guard, std::chrono::milliseconds(milliseconds), signaled))
            return false;
        if (!m_bManualReset) m_bSignaled = false;
        return true;
    }
    bool Check() { return Wait(0); }

    HEVENT Handle() { return reinterpret_cast<HEVENT>(this); }
    static CAMEvent* FromHandle(HEVENT handle) { return reinterpret_cast<CAMEvent*>(handle); }

private:
    const bool m_bManualReset;
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_bSignaled = false;  // guarded by m_lock
};
