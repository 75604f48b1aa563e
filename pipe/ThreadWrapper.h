#pragma once
// A thread that runs one callback over and over until the callback declines
// or somebody stops it.
#include <cstdint>

class ThreadWrapper
{
public:
    virtual ~ThreadWrapper() {}
    // Clears the running flag; does not wait.
    virtual void RequestStop() = 0;
    // Creates and starts the thread; returns once it has entered Run.
    virtual bool Start(uint32_t* threadId) = 0;
    virtual bool SetAffinity(const int* /*processors*/, uint32_t /*count*/) { return false; }
    // Ends the thread, waiting at most 2,000 ms; false when it did not end.
    virtual bool Stop() = 0;
};

// The work of one pass; returning false ends the thread.
using ThreadCallback = bool (*)(void* userData);
