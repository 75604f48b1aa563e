#pragma once
// Critical sections and event objects with the semantics of their Windows
// counterparts.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/os/ThreadAnnotations.h"

constexpr uint32_t INFINITE = 0xFFFFFFFFu;
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;

// CRITICAL_SECTION: recursive, owned by one thread at a time. Lockable, so
// std::lock_guard / std::unique_lock work on it, but only CAutoLock tells
// the lock checker that the lock is held.
class CAPABILITY("mutex") CCriticalSection
{
public:
    CCriticalSection() = default;
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Lock() ACQUIRE() { m_mutex.lock(); }
    void Unlock() RELEASE() { m_mutex.unlock(); }
    void lock() ACQUIRE() { m_mutex.lock(); }
    void unlock() RELEASE() { m_mutex.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

private:
    std::recursive_mutex m_mutex;
};

struct AdoptLockT
{
};
inline constexpr AdoptLockT kAdoptLock{};

// Holds a CCriticalSection for its scope (DirectShow's CAutoLock). The
// adopting form takes over a lock the caller already holds, e.g. after a
// successful try_lock.
class SCOPED_CAPABILITY CAutoLock
{
public:
    explicit CAutoLock(CCriticalSection& lock) ACQUIRE(lock) : m_lock(lock) { m_lock.lock(); }
    explicit CAutoLock(CCriticalSection* lock) ACQUIRE(lock) : m_lock(*lock) { m_lock.lock(); }
    CAutoLock(CCriticalSection& lock, AdoptLockT) REQUIRES(lock) : m_lock(lock) {}
    ~CAutoLock() RELEASE() { m_lock.unlock(); }
    CAutoLock(const CAutoLock&) = delete;
    // Lets go for a wait; Lock must follow before the scope ends.
    void Unlock() RELEASE() { m_lock.unlock(); }
    void Lock() ACQUIRE() { m_lock.lock(); }
    CAutoLock& operator=(const CAutoLock&) = delete;

private:
    CCriticalSection& m_lock;
};

// A plain (not recursive) mutex that the lock checker follows. It remembers
// the thread that holds it: that thread locking it again is a fault in the
// lock order, and ends the process with a message instead of hanging.
class CAPABILITY("mutex") Mutex
{
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock() ACQUIRE()
    {
        CheckNotOwner();
        m_mutex.lock();
        MarkOwner();
    }
    void unlock() RELEASE()
    {
        m_owner.store(std::thread::id(), std::memory_order_relaxed);
        m_mutex.unlock();
    }
    bool try_lock() TRY_ACQUIRE(true)
    {
        CheckNotOwner();
        if (!m_mutex.try_lock()) return false;
        MarkOwner();
        return true;
    }

private:
    friend class MutexUniqueLock;
    // Only the holder writes its own id, so a thread reads its own id here
    // only while it holds the mutex; relaxed order is enough.
    void CheckNotOwner() const
    {
        if (m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id()) ReentryAbort(this);
    }
    void MarkOwner() { m_owner.store(std::this_thread::get_id(), std::memory_order_relaxed); }
    [[noreturn]] static void ReentryAbort(const Mutex* mutex);

    std::mutex m_mutex;
    std::atomic<std::thread::id> m_owner{};
};

// Holds a Mutex for its scope. The adopting form takes over a lock the
// caller already holds, e.g. after a successful try_lock.
class SCOPED_CAPABILITY MutexLock
{
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.lock(); }
    MutexLock(Mutex& mutex, AdoptLockT) REQUIRES(mutex) : m_mutex(mutex) {}
    ~MutexLock() RELEASE() { m_mutex.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    // Lets go for a wait; Lock must follow before the scope ends.
    void Unlock() RELEASE() { m_mutex.unlock(); }
    void Lock() ACQUIRE() { m_mutex.lock(); }

private:
    Mutex& m_mutex;
};

// Holds a Mutex for its scope and waits on a std::condition_variable with it.
// A wait lets go of the mutex and takes it back before it returns, so to the
// checker the mutex stays held. Wait, WaitFor and WaitUntil record the owner
// again after the wait (another thread may have held the mutex meanwhile);
// a wait on Native() leaves the re-entry check blind until the next lock.
class SCOPED_CAPABILITY MutexUniqueLock
{
public:
    explicit MutexUniqueLock(Mutex& mutex) ACQUIRE(mutex) : m_mutex(mutex)
    {
        m_mutex.CheckNotOwner();
        m_hold = std::unique_lock<std::mutex>(m_mutex.m_mutex);
        m_mutex.MarkOwner();
    }
    ~MutexUniqueLock() RELEASE() { m_mutex.m_owner.store(std::thread::id(), std::memory_order_relaxed); }
    MutexUniqueLock(const MutexUniqueLock&) = delete;
    MutexUniqueLock& operator=(const MutexUniqueLock&) = delete;

    // The predicates run with the mutex held; the checker cannot see that
    // through the standard library, hence no analysis here.
    void Wait(std::condition_variable& cv) NO_THREAD_SAFETY_ANALYSIS
    {
        cv.wait(m_hold);
        m_mutex.MarkOwner();
    }
    template <class Pred>
    void Wait(std::condition_variable& cv, Pred ready) NO_THREAD_SAFETY_ANALYSIS
    {
        cv.wait(m_hold, std::move(ready));
        m_mutex.MarkOwner();
    }
    // False: the time ran out before ready() held.
    template <class Rep, class Period, class Pred>
    bool WaitFor(std::condition_variable& cv, const std::chrono::duration<Rep, Period>& limit, Pred ready)
    {
        return WaitUntil(cv, std::chrono::steady_clock::now() + limit, std::move(ready));
    }
    // False: the deadline passed before ready() held.
    template <class Clock, class Duration, class Pred>
    bool WaitUntil(std::condition_variable& cv, const std::chrono::time_point<Clock, Duration>& deadline, Pred ready)
        NO_THREAD_SAFETY_ANALYSIS
    {
        bool met = cv.wait_until(m_hold, deadline, std::move(ready));
        m_mutex.MarkOwner();
        return met;
    }
    template <class Rep, class Period>
    void WaitFor(std::condition_variable& cv, const std::chrono::duration<Rep, Period>& limit)
    {
        cv.wait_for(m_hold, limit);
        m_mutex.MarkOwner();
    }

    std::unique_lock<std::mutex>& Native() { return m_hold; }

private:
    Mutex& m_mutex;
    std::unique_lock<std::mutex> m_hold;
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
