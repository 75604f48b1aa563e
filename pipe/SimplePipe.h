#pragma once
// The host's end of the link to the controller: two local stream sockets
// that the controller listens on, named by the base name + "_pipe1" (written)
// and + "_pipe2" (read).
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "pipe/MessageFormat.h"
#include "platform/os/NamedPipe.h"
#include "platform/os/Sync.h"

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
    // Takes over two connected handles (written, read) and starts the reader
    // thread, as Connect does once it has opened the sockets. False, and
    // both handles closed, when either is invalid or the reader of an
    // earlier link has still not ended.
    bool Attach(CPipeHandle writePipe, CPipeHandle readPipe);
    // Sends one packet atomically; header.length payload bytes. Any thread.
    bool Write(const PacketHeader& header, const void* payload);
    // Sends one ordinary packet whose payload is the concatenation of
    // `parts` (at most kMaxPayloadParts), without first copying them into
    // one buffer. Any thread.
    bool WritePayload(const PipeBuffer* parts, size_t count);
    static constexpr size_t kMaxPayloadParts = CPipeHandle::kMaxGatherParts - 1;
    // Shuts both sockets down and stops the reader, then closes the sockets;
    // sends nothing. False when the reader has not ended within the stop's
    // 2 s: it may still be in a read, a write or a call of the sink, so the
    // sockets (shut down) stay open until a later Close finds it ended. The
    // written socket also stays open, until the destructor, while a writer
    // is inside Write. True when there was nothing to close.
    bool Close();
    // Shuts the written socket down: a writer blocked on a full socket
    // fails at once, and so does every later write. Any thread.
    void StopSending();
    // One pass of the reader thread; true means call again.
    bool ReadPacket();
    bool IsConnected() const;

    // Capacity of the receive buffer, for tests of its growth. Read it only
    // while the reader is known to be idle (e.g. after OnData returned).
    uint32_t RecvBufSizeForTesting() const { return m_nRecvBufSize; }

private:
    static bool ReadPacketThunk(void* self);
    bool ReadOnePacket();
    // Reads exactly `size` bytes unless the stream ends or fails first;
    // returns the number of bytes read. Reader thread only.
    uint32_t ReadFully(void* buffer, uint32_t size);
    // Header and payload parts as one packet, under m_lock.
    bool WritePacket(const PacketHeader& header, const PipeBuffer* payload, size_t count) EXCLUDES(m_lock);
    // Writes all the parts, in order, in as many write operations as it
    // takes; `parts` is used up. With m_lock held. `watch`: the reader
    // writes, and gives up once EndQueued finds the link's end waiting.
    bool WriteParts_Locked(PipeBuffer* parts, size_t count, bool watch) REQUIRES(m_lock);
    // Reader thread, between packets: whether a close notice or a Quit is
    // queued on the read socket (or the controller closed it). A reader
    // whose answer cannot be written, because the controller reads nothing,
    // would otherwise never reach them.
    bool EndQueued() EXCLUDES(m_readLock);

    // Set once by the constructor.
    CSimplePipeSink* const m_pSink;  // not owned
    std::unique_ptr<ThreadWindows> m_pThread;

    // true from a successful Connect until Close; read without a lock for a
    // fast refusal, and again under m_lock (writers) or m_readLock (reader).
    std::atomic<bool> m_bConnected{false};

    // The write lock: serialises writers for the whole of one packet.
    // Writes to m_hWritePipe hold it; replacing or closing the handle holds
    // it and m_shutdownLock, shutting it down only m_shutdownLock. The
    // checker cannot express "either lock", so the handles carry no
    // annotation. Order: m_lock, m_readLock, m_shutdownLock.
    Mutex m_lock;
    CPipeHandle m_hWritePipe;  // "_pipe1", everything is written here
    bool m_bWriteBroken GUARDED_BY(m_lock) = false;  // a write failed part-way
    size_t m_sendRoom GUARDED_BY(m_lock) = 0;        // asked of the written socket so far

    // Held by the reader around each read call only (never across a sink
    // call), so Close can close the read handle without racing a read that
    // is about to begin. Guards m_hReadPipe against closing.
    Mutex m_readLock ACQUIRED_AFTER(m_lock);
    CPipeHandle m_hReadPipe;  // "_pipe2", commands are read here

    // Held to shut the sockets down, and by whoever replaces or closes the
    // handles, so that a shutdown from any thread never meets a handle
    // being closed. Taken last, held only for those calls.
    Mutex m_shutdownLock ACQUIRED_AFTER(m_lock, m_readLock);
    // Close gave up on the reader; owner's thread only.
    bool m_bReaderAdrift = false;

    // The reader thread, once it has run.
    std::atomic<std::thread::id> m_readerThread{};

    // Reader thread only (and Connect/destruction while it is stopped).
    std::unique_ptr<uint8_t[]> m_pRecvBuf;
    uint32_t m_nRecvBufSize = 0;
};
