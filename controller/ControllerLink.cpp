#include "controller/ControllerLink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace marlin::controller {

namespace {

using Clock = std::chrono::steady_clock;

bool MakeAddress(const std::string& name, sockaddr_un* addr, socklen_t* length)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (!name.empty() && name[0] == '@') {
        if (name.size() < 2 || name.size() > sizeof addr->sun_path) return false;
        std::memcpy(addr->sun_path + 1, name.data() + 1, name.size() - 1);
        *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    } else {
        if (name.empty() || name.size() >= sizeof addr->sun_path) return false;
        std::memcpy(addr->sun_path, name.data(), name.size());
        *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    }
    return true;
}

int ListenOn(const std::string& name, int backlog, std::string* error)
{
    sockaddr_un addr;
    socklen_t length;
    if (!MakeAddress(name, &addr, &length)) {
        if (error) *error = "socket name does not fit a socket address: " + name;
        return -1;
    }
    if (name[0] != '@') {
        struct stat st;
        if (lstat(name.c_str(), &st) == 0) {
            if (!S_ISSOCK(st.st_mode)) {
                if (error) *error = "not a socket, left alone: " + name;
                return -1;
            }
            unlink(name.c_str());  // stale socket of an earlier run
        }
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0 || listen(fd, backlog) != 0) {
        if (error) *error = "cannot listen on " + name + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

int MsLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for `events` on fd until the deadline: 1 ready, 0 timeout, -1 error.
int PollUntil(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        int rc = poll(&p, 1, MsLeft(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return -1;
        return rc;
    }
}

void CloseFd(int* fd)
{
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

}  // namespace

const char* ToString(IoResult result)
{
    switch (result) {
    case IoResult::Ok: return "Ok";
    case IoResult::Timeout: return "Timeout";
    case IoResult::Closed: return "Closed";
    case IoResult::Error: return "Error";
    }
    return "?";
}

std::unique_ptr<ControllerLink> ControllerLink::Listen(const std::string& baseName, std::string* error,
                                                       int backlog)
{
    std::unique_ptr<ControllerLink> link(new ControllerLink);
    link->m_pipe1Name = baseName + kPipe1Suffix;
    link->m_pipe2Name = baseName + kPipe2Suffix;
    link->m_bRemoveFiles = baseName.empty() || baseName[0] != '@';
    link->m_listen1 = ListenOn(link->m_pipe1Name, backlog, error);
    if (link->m_listen1 < 0) return nullptr;
    link->m_listen2 = ListenOn(link->m_pipe2Name, backlog, error);
    if (link->m_listen2 < 0) return nullptr;  // the destructor removes the first
    return link;
}

ControllerLink::~ControllerLink()
{
    CloseConnections();
    CloseListeners();
}

void ControllerLink::CloseListeners()
{
    if (m_bRemoveFiles) {
        if (m_listen1 >= 0) unlink(m_pipe1Name.c_str());
        if (m_listen2 >= 0) unlink(m_pipe2Name.c_str());
    }
    CloseFd(&m_listen1);
    CloseFd(&m_listen2);
}

void ControllerLink::ClosePipe1() { CloseFd(&m_pipe1); }
void ControllerLink::ClosePipe2() { CloseFd(&m_pipe2); }

void ControllerLink::CloseConnections()
{
    ClosePipe2();
    ClosePipe1();
}

bool ControllerLink::AcceptOne(int listener, int* connection, int timeoutMs)
{
    if (listener < 0) return false;
    if (*connection >= 0) return true;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (PollUntil(listener, POLLIN, deadline) != 1) return false;
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return false;
    *connection = fd;
    return true;
}

bool ControllerLink::AcceptPipe1(int timeoutMs) { return AcceptOne(m_listen1, &m_pipe1, timeoutMs); }
bool ControllerLink::AcceptPipe2(int timeoutMs) { return AcceptOne(m_listen2, &m_pipe2, timeoutMs); }

bool ControllerLink::Accept(int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    return AcceptPipe1(timeoutMs) && AcceptPipe2(MsLeft(deadline));
}

IoResult ControllerLink::WriteRaw(const void* data, size_t size, int timeoutMs)
{
    if (m_pipe2 < 0) return IoResult::Error;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        int ready = PollUntil(m_pipe2, POLLOUT, deadline);
        if (ready == 0) return IoResult::Timeout;
        if (ready < 0) return IoResult::Error;
        ssize_t n = send(m_pipe2, p, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return (errno == EPIPE || errno == ECONNRESET) ? IoResult::Closed : IoResult::Error;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return IoResult::Ok;
}

IoResult ControllerLink::SendMessage(const Bytes& message, int timeoutMs)
{
    return WriteRaw(EncodePacket(message), timeoutMs);
}

IoResult ControllerLink::SendCloseNotice(uint32_t close, const Bytes& payload, int timeoutMs)
{
    Bytes packet = EncodePacketHeader(static_cast<uint32_t>(payload.size()), close);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return WriteRaw(packet, timeoutMs);
}

IoResult ControllerLink::ReadRaw(void* buffer, size_t size, int timeoutMs)
{
    if (m_pipe1 < 0) return IoResult::Error;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto* p = static_cast<uint8_t*>(buffer);
    // What is queued already is taken without a poll first: a picture comes
    // in many pieces, and most are there when the last one has been read.
    while (size > 0) {
        ssize_t n = recv(m_pipe1, p, size, MSG_DONTWAIT);
        if (n == 0) return IoResult::Closed;
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) return errno == ECONNRESET ? IoResult::Closed : IoResult::Error;
            int ready = PollUntil(m_pipe1, POLLIN, deadline);
            if (ready == 0) return IoResult::Timeout;
            if (ready < 0) return IoResult::Error;
            continue;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return IoResult::Ok;
}

IoResult ControllerLink::ReadPacket(Packet* out, int timeoutMs, uint32_t maxLength)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t header[8];
    IoResult r = ReadRaw(header, sizeof header, timeoutMs);
    if (r != IoResult::Ok) return r;
    Packet packet;
    packet.header.length = Get32(header, 0);
    packet.header.close = Get32(header, 4);
    if (packet.header.close == 0) {
        if (packet.header.length > maxLength) return IoResult::Error;
        packet.payload.resize(packet.header.length);
        r = ReadRaw(packet.payload.data(), packet.payload.size(), MsLeft(deadline));
        if (r != IoResult::Ok) return r;
    }
    *out = std::move(packet);
    return IoResult::Ok;
}

IoResult ControllerLink::ReadMessage(Message* out, int timeoutMs, std::string* error)
{
    return ReadMessage(out, timeoutMs, error, nullptr);
}

IoResult ControllerLink::ReadMessage(Message* out, int timeoutMs, std::string* error, FrameDataRoute* route)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t header[8];
    IoResult r = ReadRaw(header, sizeof header, timeoutMs);
    if (r != IoResult::Ok) return r;
    const uint32_t length = Get32(header, 0);
    if (Get32(header, 4) != 0) {
        if (error) *error = "close notice instead of a message";
        return IoResult::Error;
    }
    if (length > kMaxReadLength) return IoResult::Error;
    // The fixed part first: a frame's data then goes from the socket straight
    // into the storage out->data already has, not through this buffer.
    const size_t head = std::min<size_t>(length, kFrameHeadSize);
    if (m_readBuffer.size() < head) m_readBuffer.resize(kFrameHeadSize);
    r = ReadRaw(m_readBuffer.data(), head, MsLeft(deadline));
    if (r != IoResult::Ok) return r;
    const size_t dataLength = FrameDataLength(m_readBuffer.data(), length);
    if (m_readBuffer.size() < length - dataLength) m_readBuffer.resize(length - dataLength);
    if (dataLength > 0) {
        int pipe = -1;
        if (route) {
            Message fixedPart;
            DecodeFrameHead(m_readBuffer.data(), &fixedPart);
            pipe = route->PipeFor(fixedPart, dataLength);
        }
        if (pipe >= 0) {
            int pipeError = 0;
            r = MoveToPipe(pipe, dataLength, deadline, &pipeError);
            if (r != IoResult::Ok) return r;
            route->Moved(dataLength, pipeError);
            KeepFrameStorage(&out->data);
        } else {
            TakeFrameStorage(&out->data, dataLength);
            r = ReadRaw(out->data.data(), dataLength, MsLeft(deadline));
            if (r != IoResult::Ok) return r;
        }
        const size_t tail = length - head - dataLength;
        r = ReadRaw(m_readBuffer.data() + head, tail, MsLeft(deadline));
        if (r != IoResult::Ok) return r;
        return DecodeFrameAround(m_readBuffer.data(), m_readBuffer.data() + head, tail, length, out, error)
                   ? IoResult::Ok
                   : IoResult::Error;
    }
    r = ReadRaw(m_readBuffer.data() + head, length - head, MsLeft(deadline));
    if (r != IoResult::Ok) return r;
    KeepFrameStorage(&out->data);
    return DecodeMessage(m_readBuffer.data(), length, out, error) ? IoResult::Ok : IoResult::Error;
}

void ControllerLink::TakeFrameStorage(Bytes* data, size_t length)
{
    if (data->size() == length) return;
    // Best: storage of exactly this size (nothing to clear); then the
    // smallest with room and not twice too large, so that a sound block does
    // not take a picture's. Otherwise new storage.
    KeepFrameStorage(data);
    auto best = m_spareData.end();
    for (auto it = m_spareData.begin(); it != m_spareData.end(); ++it) {
        if (it->size() == length) {
            best = it;
            break;
        }
        if (it->capacity() >= length && it->capacity() / 2 <= length &&
            (best == m_spareData.end() || it->capacity() < best->capacity()))
            best = it;
    }
    if (best != m_spareData.end()) {
        data->swap(*best);
        m_spareData.erase(best);
    } else {
        // Headroom, as sound blocks differ by a few bytes.
        data->reserve(length + length / 8);
    }
    data->resize(length);
}

void ControllerLink::GiveFrameStorage(Bytes&& data)
{
    for (const Bytes& spare : m_spareData)
        if (spare.size() == data.size()) return;
    KeepFrameStorage(&data);
}

void ControllerLink::KeepFrameStorage(Bytes* data)
{
    if (data->capacity() == 0) return;
    m_spareData.push_back(std::move(*data));
    data->clear();
    if (m_spareData.size() > kMaxSpareData) {
        auto smallest = std::min_element(m_spareData.begin(), m_spareData.end(),
                                         [](const Bytes& a, const Bytes& b) { return a.capacity() < b.capacity(); });
        m_spareData.erase(smallest);
    }
}

IoResult ControllerLink::MoveToPipe(int pipe, size_t size, Clock::time_point deadline, int* pipeError)
{
    // splice(2) hands the socket's pages to the pipe, so the bytes are not
    // copied into this process and out again. Where it is refused (not a
    // pipe after all), they go through a buffer; once the pipe fails, the
    // rest is read and dropped.
    std::vector<uint8_t> buffer;
    bool canSplice = true;
    while (size > 0) {
        if (*pipeError == 0 && canSplice) {
            ssize_t n = splice(m_pipe1, nullptr, pipe, nullptr, size, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                size -= static_cast<size_t>(n);
                continue;
            }
            if (n == 0) return IoResult::Closed;
            if (errno == EINTR) continue;
            if (errno == EINVAL) {
                canSplice = false;
                continue;
            }
            if (errno != EAGAIN) {
                *pipeError = errno;
                continue;
            }
            // Nothing moved: the pipe is full, or the socket has nothing yet.
            // A full pipe is waited for as a blocking write would be.
            pollfd out{pipe, POLLOUT, 0};
            int ready = poll(&out, 1, 0);
            if (ready == 0) ready = poll(&out, 1, -1);
            if (ready < 0) {
                *pipeError = errno;
                continue;
            }
            if ((out.revents & POLLOUT) == 0) continue;  // POLLERR: the next splice says why
            ready = PollUntil(m_pipe1, POLLIN, deadline);
            if (ready == 0) return IoResult::Timeout;
            if (ready < 0) return IoResult::Error;
            continue;
        }
        buffer.resize(std::min<size_t>(size, 256 * 1024));
        const size_t chunk = std::min(size, buffer.size());
        IoResult r = ReadRaw(buffer.data(), chunk, MsLeft(deadline));
        if (r != IoResult::Ok) return r;
        size -= chunk;
        for (size_t done = 0; done < chunk && *pipeError == 0;) {
            ssize_t n = write(pipe, buffer.data() + done, chunk - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                pollfd out{pipe, POLLOUT, 0};
                if (poll(&out, 1, -1) < 0 && errno != EINTR) *pipeError = errno;
            } else {
                *pipeError = n < 0 ? errno : EIO;
            }
        }
    }
    return IoResult::Ok;
}

IoResult ControllerLink::WaitForEndOfStream(int timeoutMs)
{
    if (m_pipe1 < 0) return IoResult::Error;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int ready = PollUntil(m_pipe1, POLLIN, deadline);
    if (ready == 0) return IoResult::Timeout;
    if (ready < 0) return IoResult::Error;
    uint8_t byte;
    ssize_t n = recv(m_pipe1, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) return IoResult::Closed;
    return n > 0 ? IoResult::Ok : IoResult::Error;
}

}  // namespace marlin::controller
