#pragma once
#include "pipe/ThreadWrapper.h"

// ThreadWrapper on a platform thread with a 1 MiB stack. Priority levels
// 1..5 as on Windows (below normal .. time critical); any other level leaves
// the priority alone. The name is what the system shows for the thread.
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

protected:
    // The thread body.
    virtual void Run();

    // Members are defined with the implementation.
};
