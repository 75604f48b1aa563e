#pragma once
// The host's end of the link to the controller: two local stream sockets
// that the controller listens on, named by the base name + "_pipe1" (written)
// and + "_pipe2" (read).
#include <cstdint>

#include "pipe/MessageFormat.h"

class CSimplePipeSink
{
public:
    // The reader gives up the link: 0 when a read failed, 1 when the stream
    // cannot continue. Called on the reader thread.
    virtual void OnPipeClosed(int reason) = 0;
    // One complete message; `data` is valid only until the call returns.
    // Called on the reader thread.
    virtual void OnData(const void* data, uint32_t length) = 0;

protected:
    ~CSimplePipeSink() = default;
};

class ThreadWindows;

class CSimplePipe
{
public:
    explicit CSimplePipe(CSimplePipeSink* sink);
    ~CSimplePipe();
    CSimplePipe(const CSimplePipe&) = delete;
    CSimplePipe& operator=(const CSimplePipe&) = delete;

    // Opens both sockets and starts the reader thread. Blocks (two 500 ms
    // sleeps); false when either socket could not be opened.
    bool Connect(const char* baseName);
    // Sends one packet atomically; header.length payload bytes. Any thread.
    bool Write(const PacketHeader& header, const void* payload);
    // Closes both sockets and stops the reader; sends nothing.
    void Close();
    // One pass of the reader thread; true means call again.
    bool ReadPacket();
    bool IsConnected() const;

private:
    // Members follow with the implementation.
};
