#include "pipe/SimplePipe.h"

#include <cstdio>
#include <cstring>

#include "pipe/ThreadWindows.h"
#include "platform/os/Time.h"

namespace {

constexpr uint32_t kInitialRecvBufSize = 65525;
constexpr uint32_t kRecvBufSlack = 1000;
constexpr uint32_t kConnectSleepMs = 500;
constexpr int kReaderPriorityLevel = 4;  // THREAD_PRIORITY_HIGHEST
constexpr size_t kBaseNameBufferSize = 240;
constexpr size_t kPipeNameBufferSize = 260;

}  // namespace

CSimplePipe::CSimplePipe(CSimplePipeSink* sink)
    : m_pSink(sink),
      m_pThread(std::make_unique<ThreadWindows>(ReadPacketThunk, this, kReaderPriorityLevel, nullptr)),
      m_pRecvBuf(std::make_unique_for_overwrite<uint8_t[]>(kInitialRecvBufSize)),
      m_nRecvBufSize(kInitialRecvBufSize)
{
}

CSimplePipe::~CSimplePipe()
{
    // Nothing of the link goes while its reader may still run in it, nor
    // while a writer is inside Write.
    if (!Close()) {
        m_pThread->WaitUntilEnded(INFINITE);
        Close();
    }
    std::lock_guard<CCriticalSection> holdWrite(m_lock);
    std::lock_guard<std::mutex> holdShutdown(m_shutdownLock);
    m_hWritePipe.Close();
}

bool CSimplePipe::ReadPacketThunk(void* self)
{
    return static_cast<CSimplePipe*>(self)->ReadPacket();
}

bool CSimplePipe::IsConnected() const
{
    return m_bConnected.load();
}

bool CSimplePipe::Connect(const char* baseName)
{
    if (!baseName) return false;
    if (m_bConnected.load()) Close();

    // The base name must fit its 240-byte buffer whole: a longer one would
    // be cut and name some other socket, so it is refused instead.
    size_t baseLength = std::strlen(baseName);
    if (baseLength >= kBaseNameBufferSize) return false;
    char pipeName[kPipeNameBufferSize];
    std::snprintf(pipeName, sizeof pipeName, "%s%s", baseName, kPipe1Suffix);

    Sleep(kConnectSleepMs);
    CPipeHandle writePipe = CPipeHandle::Connect(pipeName);
    if (!writePipe.IsValid()) return false;

    Sleep(kConnectSleepMs);
    std::snprintf(pipeName, sizeof pipeName, "%s%s", baseName, kPipe2Suffix);
    CPipeHandle readPipe = CPipeHandle::Connect(pipeName);
    if (!readPipe.IsValid()) return false;  // writePipe closes as it leaves
    return Attach(std::move(writePipe), std::move(readPipe));
}

bool CSimplePipe::Attach(CPipeHandle writePipe, CPipeHandle readPipe)
{
    if (!writePipe.IsValid() || !readPipe.IsValid()) return false;
    // Not while an earlier reader may still use the old handles.
    if (!Close()) return false;
    {
        std::lock_guard<CCriticalSection> holdWrite(m_lock);
        std::lock_guard<std::mutex> holdRead(m_readLock);
        std::lock_guard<std::mutex> holdShutdown(m_shutdownLock);
        m_hWritePipe = std::move(writePipe);
        m_hReadPipe = std::move(readPipe);
        m_bWriteBroken = false;
        m_bConnected.store(true);
    }
    // True whether or not the reader started.
    m_pThread->Start(nullptr);
    return true;
}

bool CSimplePipe::WriteAll_Locked(const void* data, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = m_hWritePipe.Write(p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool CSimplePipe::Write(const PacketHeader& header, const void* payload)
{
    if (!m_bConnected.load()) return false;
    // A header that announces bytes it does not bring would make the peer
    // take the next packet for its payload: refused, nothing is written.
    if (header.length != 0 && !payload) return false;
    std::lock_guard<CCriticalSection> hold(m_lock);
    if (!m_bConnected.load() || m_bWriteBroken) return false;

    // Any failure from here on may leave part of a packet on the socket;
    // nothing more is written after it, so the peer never reads a later
    // packet as the rest of this one.
    m_bWriteBroken = true;
    if (!WriteAll_Locked(&header, sizeof header)) return false;
    if (header.length == 0) {
        m_bWriteBroken = false;
        return true;
    }

    // A failed chunk leaves a partial packet on the socket; the caller takes
    // any false result as the end of the link.
    const auto* p = static_cast<const uint8_t*>(payload);
    uint32_t remaining = header.length;
    while (remaining > 0) {
        uint32_t chunk = remaining < kWriteChunkSize ? remaining : kWriteChunkSize;
        if (!WriteAll_Locked(p, chunk)) return false;
        p += chunk;
        remaining -= chunk;
    }
    m_bWriteBroken = false;
    return true;
}

uint32_t CSimplePipe::ReadFully(void* buffer, uint32_t size)
{
    auto* p = static_cast<uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < size) {
        ssize_t n;
        {
            std::lock_guard<std::mutex> hold(m_readLock);
            // Close has shut the handles down before it clears the flag, so
            // a read that starts in time returns at once as well.
            if (!m_bConnected.load()) break;
            n = m_hReadPipe.Read(p + done, size - done);
        }
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    return done;
}

bool CSimplePipe::ReadPacket()
{
    if (!m_bConnected.load()) return false;

    // The header may arrive in pieces like any other bytes of the stream;
    // only a stream that ends or fails within it ends the link.
    PacketHeader header;
    if (ReadFully(&header, sizeof header) != sizeof header) {
        if (m_pSink) {
            m_pSink->OnPipeClosed(0);
            m_pSink->OnPipeClosed(1);
        }
        return false;
    }

    if (header.close != 0) {
        // Answer the close notice; its payload stays unread, the sink is not told.
        PacketHeader answer{0, 1};
        Write(answer, nullptr);
        return false;
    }

    if (header.length > kMaxPacketLength) {
        if (m_pSink) m_pSink->OnPipeClosed(1);
        return false;
    }

    if (m_nRecvBufSize < header.length) {
        // Nothing is kept from the old buffer; it never shrinks.
        m_pRecvBuf.reset();
        m_nRecvBufSize = header.length + kRecvBufSlack;
        m_pRecvBuf = std::make_unique_for_overwrite<uint8_t[]>(m_nRecvBufSize);
    }

    if (ReadFully(m_pRecvBuf.get(), header.length) != header.length) {
        if (m_pSink) m_pSink->OnPipeClosed(0);
        return false;
    }

    if (m_pSink) m_pSink->OnData(m_pRecvBuf.get(), header.length);
    return true;
}

bool CSimplePipe::Close()
{
    if (!m_bConnected.load() && !m_bReaderAdrift) return true;

    // Shutting both sockets down first releases a reader blocked in a read
    // and a writer blocked on a full socket (which holds m_lock); the
    // descriptors stay reserved, so no other file can take their numbers
    // while a thread might still use them.
    {
        std::lock_guard<std::mutex> hold(m_shutdownLock);
        if (m_bConnected.load()) {
            m_hReadPipe.Shutdown();
            m_hWritePipe.Shutdown();
            m_bConnected.store(false);
        }
    }

    // The released reader reports OnPipeClosed(0) and (1) before it ends.
    // One that does not end in time keeps the handles and the locks it may
    // be holding.
    m_bReaderAdrift = !m_pThread->Stop();
    if (m_bReaderAdrift) return false;
    {
        std::lock_guard<std::mutex> holdRead(m_readLock);
        std::lock_guard<std::mutex> holdShutdown(m_shutdownLock);
        m_hReadPipe.Close();
    }
    // A writer still inside Write (it fails at once on the shut-down
    // socket, unless it cannot run) holds m_lock: then the handle waits for
    // the destructor rather than the caller for the writer.
    std::unique_lock<CCriticalSection> holdWrite(m_lock, std::try_to_lock);
    if (holdWrite.owns_lock()) {
        std::lock_guard<std::mutex> holdShutdown(m_shutdownLock);
        m_hWritePipe.Close();
    }
    return true;
}

void CSimplePipe::StopSending()
{
    std::lock_guard<std::mutex> hold(m_shutdownLock);
    if (m_bConnected.load()) m_hWritePipe.Shutdown();
}
