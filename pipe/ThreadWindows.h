#pragma once
#include <atomic>
#include <memory>

#include "pipe/ThreadWrapper.h"
#include "platform/os/Sync.h"
#include "platform/os/Thread.h"

// ThreadWrapper on a platform thread with a 1 MiB stack. Priority levels
// 1..5 as on Windows (below normal .. time critical); any other level leaves
// the priority alone. The name is what the system shows for the thread.
//
//   idle (finished, not running, no handle)
//     | Start
//     v
//   running: Run loops over the callback
//     | callback returns false, or Stop / RequestStop clears m_bRunning
//     v
//   finished: the thread closes its own handle, or the stopper does when a
//   Stop is under way; Start may begin again from here
class ThreadWindows : public ThreadWrapper
{
public:
    ThreadWindows(ThreadCallback callback, void* userData, int priority, const char* name);
    ~ThreadWindows() override;
    ThreadWindows(const ThreadWindows&) = delete;
    ThreadWindows& operator=(const ThreadWindows&) = delete;

    void RequestStop() override;
    bool Start(uint32_t* threadId) override;
    bool SetAffinity(const int* processors, uint32_t count) override;
    bool Stop() override;
    // Waits until the thread started last has ended, at most timeoutMs
    // (INFINITE: no limit); true once it has (or none was started). Stop
    // waits 2 s at most; an owner that must not free what its thread uses
    // waits here for a thread that Stop gave up on.
    bool WaitUntilEnded(uint32_t timeoutMs);

protected:
    // The thread body.
    virtual void Run();

private:
    static unsigned ThreadEntry(void* self);

    // Everything the running thread touches lives here and is co-owned by the
    // thread, so a thread that Stop gave up on may outlive this object: after
    // its callback returns it sees m_bRunning cleared and ends without
    // reaching back into the ThreadWindows.
    struct Shared
    {
        ThreadCallback m_pfnCallback = nullptr;
        void* m_pUserData = nullptr;  // not owned
        std::atomic<bool> m_bRunning{false};
        CEvent m_hStartEvent{false, false};  // auto reset; set as Run begins
        CEvent m_hEndEvent{true, true};      // manual reset; set while no body runs
        char m_szName[64] = {};
        bool m_bNamed = false;

        Mutex m_lock;  // guards the hand-over of m_hThread
        bool m_bFinished GUARDED_BY(m_lock) = true;  // no thread body is executing
        // A Stop is under way: the stopper closes m_hThread.
        bool m_bStopping GUARDED_BY(m_lock) = false;
        std::shared_ptr<CThreadHandle> m_hThread GUARDED_BY(m_lock);
    };

    // Replaced by Start when an earlier thread still runs on (a Stop that
    // gave up), so the old and the new thread never share flags.
    std::shared_ptr<Shared> m_pShared;
    const int m_nPriority;
    uint32_t m_nThreadId = 0;
};
