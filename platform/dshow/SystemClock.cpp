#include "platform/dshow/SystemClock.h"

#include <chrono>

CSystemClock::CSystemClock() : CUnknown("CSystemClock") {}

CSystemClock::~CSystemClock()
{
    {
        MutexLock guard(m_lock);
        m_bQuit = true;
        m_cv.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
}

HRESULT CSystemClock::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IReferenceClock) return GetInterface(static_cast<IReferenceClock*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

REFERENCE_TIME CSystemClock::Now()
{
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100;
}

HRESULT CSystemClock::GetTime(REFERENCE_TIME* pTime)
{
    if (!pTime) return E_POINTER;
    REFERENCE_TIME now = Now();
    MutexLock guard(m_lock);
    if (now < m_lastTime) now = m_lastTime;
    m_lastTime = now;
    *pTime = now;
    return S_OK;
}

HRESULT CSystemClock::AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                                 DWORD_PTR* pdwAdviseCookie)
{
    if (!pdwAdviseCookie) return E_POINTER;
    *pdwAdviseCookie = 0;
    if (!hEvent) return E_INVALIDARG;
    REFERENCE_TIME due = 0;
    if (__builtin_add_overflow(baseTime, streamTime, &due) || due <= 0) return E_INVALIDARG;
    return AddAdvise(due, 0, CAMEvent::FromHandle(hEvent), pdwAdviseCookie);
}

HRESULT CSystemClock::AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                                     DWORD_PTR* pdwAdviseCookie)
{
    if (!pdwAdviseCookie) return E_POINTER;
    *pdwAdviseCookie = 0;
    if (!hSemaphore || startTime <= 0 || periodTime <= 0) return E_INVALIDARG;
    return AddAdvise(startTime, periodTime, CAMEvent::FromHandle(hSemaphore), pdwAdviseCookie);
}

HRESULT CSystemClock::AddAdvise(REFERENCE_TIME due, REFERENCE_TIME period, CAMEvent* event, DWORD_PTR* cookie)
{
    MutexLock guard(m_lock);
    if (m_bQuit) return E_UNEXPECTED;
    *cookie = m_nextCookie++;
    m_advises[*cookie] = Advise{due, period, event};
    if (!m_thread.joinable()) m_thread = std::thread([this] { TimerThread(); });
    m_cv.notify_all();
    return S_OK;
}

HRESULT CSystemClock::Unadvise(DWORD_PTR dwAdviseCookie)
{
    MutexLock guard(m_lock);
    return m_advises.erase(dwAdviseCookie) ? S_OK : S_FALSE;
}

void CSystemClock::TimerThread()
{
    MutexUniqueLock guard(m_lock);
    while (!m_bQuit) {
        if (m_advises.empty()) {
            guard.Wait(m_cv);
            continue;
        }
        auto next = m_advises.begin();
        for (auto it = m_advises.begin(); it != m_advises.end(); ++it)
            if (it->second.due < next->second.due) next = it;
        REFERENCE_TIME now = Now();
        if (next->second.due <= now) {
            // Set under the lock, so that Unadvise returning means the
            // event will not be touched again.
            next->second.event->Set();
            if (next->second.period > 0) {
                while (next->second.due <= now) next->second.due += next->second.period;
            } else {
                m_advises.erase(next);
            }
            continue;
        }
        guard.WaitFor(m_cv, std::chrono::nanoseconds((next->second.due - now) * 100));
    }
}
