#include "pipe/SimplePipe.h"

#include <algorithm>
#include <cerrno>
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
// A reader whose answer has not moved for kGiveUpAfterMs (a controller
// that reads nothing, not a slow one) looks for a Quit every kEndCheckMs.
constexpr uint32_t kGiveUpAfterMs = 500;
constexpr int kEndCheckMs = 20;
// A socket that holds two pictures takes each in one call while the
// controller reads the one before; one that holds less makes the writer
// wait on the reader many times a picture, each a pair of context switches.
// The system's own bookkeeping takes about an eighth on top. Capped, as
// what a controller has not read is held in the kernel.
constexpr size_t kSendRoomPackets = 2;
constexpr size_t kMaxSendRoom = 8u << 20;

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
    MutexLock holdWrite(m_lock);
    MutexLock holdShutdown(m_shutdownLock);
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
        MutexLock holdWrite(m_lock);
        MutexLock holdRead(m_readLock);
        MutexLock holdShutdown(m_shutdownLock);
        m_hWritePipe = std::move(writePipe);
        m_hReadPipe = std::move(readPipe);
        m_bWriteBroken = false;
        m_sendRoom = 0;
        m_bConnected.store(true);
    }
    // True whether or not the reader started.
    m_pThread->Start(nullptr);
    return true;
}

bool CSimplePipe::WriteParts_Locked(PipeBuffer* parts, size_t count, bool watch)
{
    uint32_t moved = watch ? timeGetTime() : 0;  // when the socket last took bytes
    while (count > 0) {
        ssize_t n = watch ? m_hWritePipe.TryWriteGather(parts, count) : m_hWritePipe.WriteGather(parts, count);
        if (n < 0 && watch && errno == EAGAIN) {
            if (!m_hWritePipe.WaitWritable(kEndCheckMs) && timeGetTime() - moved >= kGiveUpAfterMs && EndQueued())
                return false;
            continue;
        }
        if (n <= 0) return false;
        moved = timeGetTime();
        // Drop what went out; a write cut short goes on where it stopped.
        auto sent = static_cast<size_t>(n);
        while (count > 0 && sent >= parts->size) {
            sent -= parts->size;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->data = static_cast<const uint8_t*>(parts->data) + sent;
            parts->size -= sent;
        }
    }
    return true;
}

bool CSimplePipe::Write(const PacketHeader& header, const void* payload)
{
    // A header that announces bytes it does not bring would make the peer
    // take the next packet for its payload: refused, nothing is written.
    if (header.length != 0 && !payload) return false;
    const PipeBuffer part{payload, header.length};
    return WritePacket(header, &part, header.length != 0 ? 1 : 0);
}

bool CSimplePipe::WritePayload(const PipeBuffer* parts, size_t count)
{
    if (count > kMaxPayloadParts || (count > 0 && !parts)) return false;
    uint64_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        if (parts[i].size != 0 && !parts[i].data) return false;
        length += parts[i].size;
    }
    if (length > UINT32_MAX) return false;  // cannot be framed
    return WritePacket(PacketHeader{static_cast<uint32_t>(length), 0}, parts, count);
}

bool CSimplePipe::WritePacket(const PacketHeader& header, const PipeBuffer* payload, size_t count)
{
    if (!m_bConnected.load()) return false;
    // The header and the payload go out together, in as few write
    // operations as the socket takes: one, unless it cannot hold the packet.
    PipeBuffer parts[1 + kMaxPayloadParts];
    parts[0] = {&header, sizeof header};
    size_t used = 1;
    for (size_t i = 0; i < count; ++i)
        if (payload[i].size != 0) parts[used++] = payload[i];

    // The reader answering a command must not wait for good on a controller
    // that reads nothing: a Quit behind the command would never be read. It
    // looks for one while it waits for the lock (held by a writer blocked on
    // the full socket) and for room on the socket.
    const bool watch = m_readerThread.load() == std::this_thread::get_id();
    if (watch) {
        const uint32_t since = timeGetTime();
        while (!m_lock.try_lock()) {
            if (timeGetTime() - since >= kGiveUpAfterMs && EndQueued()) return false;
            Sleep(kEndCheckMs);
        }
    } else {
        m_lock.lock();
    }
    MutexLock hold(m_lock, kAdoptLock);
    if (!m_bConnected.load() || m_bWriteBroken) return false;
    // A failure part-way leaves part of a packet on the socket; nothing more
    // is written after it, so the peer never reads a later packet as the
    // rest of this one. The caller takes any false result as the end of the
    // link.
    size_t packet = 0;
    for (size_t i = 0; i < used; ++i) packet += parts[i].size;
    const size_t room = std::min(kSendRoomPackets * (packet + packet / 8), kMaxSendRoom);
    if (room > m_sendRoom) {
        m_hWritePipe.GrowSendRoom(room);
        m_sendRoom = room;
    }
    m_bWriteBroken = true;
    if (!WriteParts_Locked(parts, used, watch)) return false;
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
            MutexLock hold(m_readLock);
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

bool CSimplePipe::EndQueued()
{
    // Small messages are what a controller sends; a Quit beyond this many
    // bytes of commands is found once the reader gets to it.
    uint8_t ahead[16384];
    ssize_t n;
    {
        MutexLock hold(m_readLock);
        if (!m_bConnected.load()) return true;
        n = m_hReadPipe.Peek(ahead, sizeof ahead);
    }
    if (n == 0) return true;  // the controller closed its end
    size_t at = 0;
    const auto have = static_cast<size_t>(std::max<ssize_t>(n, 0));
    while (at + sizeof(PacketHeader) <= have) {
        PacketHeader header;
        std::memcpy(&header, ahead + at, sizeof header);
        if (header.close != 0) return true;
        const size_t body = at + sizeof header;
        uint32_t type = 0;
        if (header.length >= sizeof type && body + sizeof type <= have) {
            std::memcpy(&type, ahead + body, sizeof type);
            if (type == static_cast<uint32_t>(MessageType::Quit)) return true;
        }
        if (header.length > kMaxPacketLength) return false;
        at = body + header.length;
    }
    return false;
}

bool CSimplePipe::ReadPacket()
{
    m_readerThread.store(std::this_thread::get_id());
    const bool more = ReadOnePacket();
    if (!more) m_readerThread.store(std::thread::id());
    return more;
}

bool CSimplePipe::ReadOnePacket()
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
        MutexLock hold(m_shutdownLock);
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
        MutexLock holdRead(m_readLock);
        MutexLock holdShutdown(m_shutdownLock);
        m_hReadPipe.Close();
    }
    // A writer still inside Write (it fails at once on the shut-down
    // socket, unless it cannot run) holds m_lock: then the handle waits for
    // the destructor rather than the caller for the writer.
    if (m_lock.try_lock()) {
        MutexLock holdWrite(m_lock, kAdoptLock);
        MutexLock holdShutdown(m_shutdownLock);
        m_hWritePipe.Close();
    }
    return true;
}

void CSimplePipe::StopSending()
{
    MutexLock hold(m_shutdownLock);
    if (m_bConnected.load()) m_hWritePipe.Shutdown();
}
