#include "platform/os/Sync.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

void Mutex::ReentryAbort(const Mutex* mutex)
{
    std::fprintf(stderr, "Mutex locked again by the thread that holds it (%p): a plain lock taken twice\n",
                 static_cast<const void*>(mutex));
    std::fflush(stderr);
    std::abort();
}

void CEvent::Set()
{
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_bSignalled = true;
    }
    if (m_bManualReset)
        m_cond.notify_all();
    else
        m_cond.notify_one();
}

void CEvent::Reset()
{
    std::lock_guard<std::mutex> hold(m_mutex);
    m_bSignalled = false;
}

uint32_t CEvent::Wait(uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> hold(m_mutex);
    auto signalled = [this] { return m_bSignalled; };
    if (timeoutMs == INFINITE) {
        m_cond.wait(hold, signalled);
    } else if (!m_cond.wait_for(hold, std::chrono::milliseconds(timeoutMs), signalled)) {
        return WAIT_TIMEOUT;
    }
    if (!m_bManualReset) m_bSignalled = false;
    return WAIT_OBJECT_0;
}
