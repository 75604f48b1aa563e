#pragma once
// CSystemClock: the reference clock on the monotonic system clock, in
// 100-ns units, with advise requests served by one timer thread.
#include <chrono>
#include <map>
#include <thread>

#include "platform/dshow/AMEvent.h"
#include "platform/dshow/Interfaces.h"

class CSystemClock final : public CUnknown, public IReferenceClock
{
public:
    CSystemClock();
    ~CSystemClock() override;  // ends the timer thread
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT GetTime(REFERENCE_TIME* pTime) override;
    // The event is set from the timer thread; after Unadvise returns the
    // clock no longer touches it. A time already passed fires at once.
    HRESULT AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                       DWORD_PTR* pdwAdviseCookie) override;
    HRESULT AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                           DWORD_PTR* pdwAdviseCookie) override;
    // S_FALSE when the cookie is unknown (a one-shot advise that fired).
    HRESULT Unadvise(DWORD_PTR dwAdviseCookie) override;

    static REFERENCE_TIME Now();  // monotonic clock in 100-ns units
    // A time of Now()'s as a point of the clock it is read from.
    static std::chrono::steady_clock::time_point TimePointOf(REFERENCE_TIME time)
    {
        return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(time * 100));
    }

private:
    struct Advise
    {
        REFERENCE_TIME due;
        REFERENCE_TIME period;  // 0: one-shot
        CAMEvent* event;
    };
    HRESULT AddAdvise(REFERENCE_TIME due, REFERENCE_TIME period, CAMEvent* event, DWORD_PTR* cookie)
        EXCLUDES(m_lock);
    void TimerThread() EXCLUDES(m_lock);

    // A leaf lock but for the advised events' own locks, set under it.
    Mutex m_lock;
    std::condition_variable m_cv;         // wakes the timer thread
    std::map<DWORD_PTR, Advise> m_advises GUARDED_BY(m_lock);
    DWORD_PTR m_nextCookie GUARDED_BY(m_lock) = 1;
    bool m_bQuit GUARDED_BY(m_lock) = false;
    REFERENCE_TIME m_lastTime GUARDED_BY(m_lock) = 0;  // GetTime never goes back
    // Started under m_lock on the first advise; the destructor joins it
    // once no caller is left.
    std::thread m_thread;
};
