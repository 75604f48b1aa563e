#pragma once
// The client end of a named pipe, on a Unix domain stream socket that the
// controller listens on. A name starting with "@" lies in the abstract socket
// namespace (no file); any other name is a file-system path.
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// One piece of a gathered write.
struct PipeBuffer
{
    const void* data;
    size_t size;
};

class CPipeHandle
{
public:
    CPipeHandle() = default;
    ~CPipeHandle() { Close(); }
    CPipeHandle(CPipeHandle&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    CPipeHandle& operator=(CPipeHandle&& other) noexcept;
    CPipeHandle(const CPipeHandle&) = delete;
    CPipeHandle& operator=(const CPipeHandle&) = delete;

    // WaitNamedPipeA (no time limit) + CreateFileA: connects to the pipe
    // `name`. A name that does not exist, that refuses the connection or that
    // does not fit a socket address fails at once; a pipe whose listen queue
    // is full is waited for. On an abstract name the listener must belong
    // to this process's user or to root; any other counts as a failed
    // connection. An invalid handle on failure.
    static CPipeHandle Connect(const char* name);
    // Takes ownership of an already connected stream socket descriptor
    // (e.g. one end of a socketpair); -1 gives an invalid handle.
    static CPipeHandle Adopt(int fd) { return CPipeHandle(fd >= 0 ? fd : -1); }

    bool IsValid() const { return m_fd >= 0; }
    // ReadFile: up to `size` bytes; > 0 read, 0 end of stream, -1 failure.
    ssize_t Read(void* buffer, size_t size);
    // WriteFile: one write operation; bytes written or -1. The peer having
    // gone is a failed write, never a SIGPIPE.
    ssize_t Write(const void* buffer, size_t size);
    // One write operation of several buffers, in order, as if they were one
    // (at most kMaxGatherParts); bytes written or -1, like Write.
    ssize_t WriteGather(const PipeBuffer* parts, size_t count);
    static constexpr size_t kMaxGatherParts = 16;
    // The same without waiting for room: -1 with errno EAGAIN when the
    // socket is full.
    ssize_t TryWriteGather(const PipeBuffer* parts, size_t count);
    // Waits at most timeoutMs for room to write; true also when a write
    // would fail at once (the peer gone), so that the write tells why.
    bool WaitWritable(int timeoutMs);
    // PeekNamedPipe: copies up to `size` bytes that are there to be read
    // without taking them; 0 at the end of the stream, -1 when nothing is
    // there yet or the read fails.
    ssize_t Peek(void* buffer, size_t size);
    // Asks the system for room for `bytes` of written data not yet read
    // (it may give less, up to net.core.wmem_max twice over); never shrinks
    // what is there.
    void GrowSendRoom(size_t bytes);
    // Releases any read or write blocked on this handle in another thread
    // and makes every later one fail; the descriptor stays reserved (no other
    // file can take its number) until Close.
    void Shutdown();
    // CloseHandle. No other thread may be using the handle.
    void Close();

private:
    explicit CPipeHandle(int fd) : m_fd(fd) {}
    ssize_t SendGather(const PipeBuffer* parts, size_t count, int flags);
    int m_fd = -1;
};

// True when `name` fits a socket address as the pipe client forms it.
bool IsValidPipeName(const char* name);

// Test seam: when set, called with the size of every write operation asked of
// any pipe handle, before it is made. Null removes it.
using PipeWriteObserver = void (*)(void* context, size_t bytes);
void SetPipeWriteObserverForTesting(PipeWriteObserver observer, void* context);
