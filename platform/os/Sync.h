#pragma once
// Critical sections and event objects with the semantics of their Windows
// counterparts.
#include <condition_variable>
#include <cstdint>
#include <mutex>

constexpr uint32_t INFINITE = 0xFFFFFFFFu;
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;

// CRITICAL_SECTION: recursive, owned by one thread at a time. Lockable, so
// std::lock_guard / std::unique_lock work on it.
class CCriticalSection
{
public:
    CCriticalSection() = default;
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }
    void lock() { m_mutex.lock(); }
    void unlock() { m_mutex.unlock(); }
    bool try_lock() { return m_mutex.try_lock(); }

private:
    std::recursive_mutex m_mutex;
};

// An event (CreateEvent). A manual-reset event stays signalled until Reset
// and releases every waiter; an auto-reset event releases one waiter and
// clears itself as that waiter returns.
class CEvent
{
public:
    CEvent(bool manualReset, bool initiallySignalled)
        : m_bManualReset(manualReset), m_bSignalled(initiallySignalled)
    {
    }
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set();
    void Reset();
    // WaitForSingleObject: WAIT_OBJECT_0 once signalled, WAIT_TIMEOUT after
    // timeoutMs (INFINITE waits without limit). Released only by Set.
    uint32_t Wait(uint32_t timeoutMs);

private:
    const bool m_bManualReset;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_bSignalled;  // with m_mutex
};
