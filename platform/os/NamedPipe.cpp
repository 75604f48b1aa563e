#include "platform/os/NamedPipe.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/os/Sync.h"

namespace {

// Fills `addr` for a pipe name; false when it does not fit. Abstract names
// lose their "@" for the leading NUL; path names need room for their NUL.
bool MakeAddress(const char* name, sockaddr_un* addr, socklen_t* length)
{
    if (!name || !*name) return false;
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    size_t n = std::strlen(name);
    if (name[0] == '@') {
        if (n < 2 || n > sizeof addr->sun_path) return false;
        std::memcpy(addr->sun_path + 1, name + 1, n - 1);
        *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n);
    } else {
        if (n >= sizeof addr->sun_path) return false;
        std::memcpy(addr->sun_path, name, n);
        *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n + 1);
    }
    return true;
}

// An abstract name has no permissions: any local user can listen on it.
// Only a listener of this process's own user, or root, is taken for the
// controller.
bool ListenerIsTrusted(int fd)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer) return false;
    return peer.uid == geteuid() || peer.uid == 0;
}

// Tests only; the observer runs under it, so that it is never called after
// it was taken away.
Mutex g_observerMutex;
std::atomic<bool> g_hasObserver{false};
PipeWriteObserver g_observer GUARDED_BY(g_observerMutex) = nullptr;
void* g_observerContext GUARDED_BY(g_observerMutex) = nullptr;

}  // namespace

CPipeHandle& CPipeHandle::operator=(CPipeHandle&& other) noexcept
{
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool IsValidPipeName(const char* name)
{
    sockaddr_un addr;
    socklen_t length;
    return MakeAddress(name, &addr, &length);
}

CPipeHandle CPipeHandle::Connect(const char* name)
{
    sockaddr_un addr;
    socklen_t length;
    if (!MakeAddress(name, &addr, &length)) return CPipeHandle();
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return CPipeHandle();
    // A blocking connect fails at once with ENOENT or ECONNREFUSED and sleeps
    // while the listener's queue is full, which is the wait for a free pipe
    // instance. A Unix socket whose wait a signal interrupted is still
    // unconnected, so the connect is simply made again.
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 || (name[0] == '@' && !ListenerIsTrusted(fd))) {
        ::close(fd);
        return CPipeHandle();
    }
    return CPipeHandle(fd);
}

ssize_t CPipeHandle::Read(void* buffer, size_t size)
{
    if (m_fd < 0) return -1;
    for (;;) {
        ssize_t n = recv(m_fd, buffer, size, 0);
        if (n >= 0 || errno != EINTR) return n < 0 ? -1 : n;
    }
}

ssize_t CPipeHandle::Write(const void* buffer, size_t size)
{
    if (m_fd < 0) return -1;
    if (g_hasObserver.load(std::memory_order_acquire)) {
        MutexLock hold(g_observerMutex);
        if (g_observer) g_observer(g_observerContext, size);
    }
    for (;;) {
        ssize_t n = send(m_fd, buffer, size, MSG_NOSIGNAL);
        if (n >= 0 || errno != EINTR) return n < 0 ? -1 : n;
    }
}

ssize_t CPipeHandle::SendGather(const PipeBuffer* parts, size_t count, int flags)
{
    if (m_fd < 0 || (count > 0 && !parts) || count > kMaxGatherParts) return -1;
    iovec vectors[kMaxGatherParts];
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<void*>(parts[i].data);
        vectors[i].iov_len = parts[i].size;
        total += parts[i].size;
    }
    if (g_hasObserver.load(std::memory_order_acquire)) {
        MutexLock hold(g_observerMutex);
        if (g_observer) g_observer(g_observerContext, total);
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = count;
    for (;;) {
        ssize_t n = sendmsg(m_fd, &message, MSG_NOSIGNAL | flags);
        if (n >= 0 || errno != EINTR) return n < 0 ? -1 : n;
    }
}

ssize_t CPipeHandle::WriteGather(const PipeBuffer* parts, size_t count) { return SendGather(parts, count, 0); }

ssize_t CPipeHandle::TryWriteGather(const PipeBuffer* parts, size_t count)
{
    return SendGather(parts, count, MSG_DONTWAIT);
}

bool CPipeHandle::WaitWritable(int timeoutMs)
{
    if (m_fd < 0) return true;
    pollfd out{m_fd, POLLOUT, 0};
    int ready;
    do {
        ready = poll(&out, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready != 0;
}

ssize_t CPipeHandle::Peek(void* buffer, size_t size)
{
    if (m_fd < 0) return -1;
    for (;;) {
        ssize_t n = recv(m_fd, buffer, size, MSG_PEEK | MSG_DONTWAIT);
        if (n >= 0 || errno != EINTR) return n < 0 ? -1 : n;
    }
}

void CPipeHandle::GrowSendRoom(size_t bytes)
{
    if (m_fd < 0) return;
    int room = 0;
    socklen_t size = sizeof room;
    if (getsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &room, &size) != 0 || static_cast<size_t>(room) >= bytes) return;
    // The system doubles what it is asked for, for its own bookkeeping.
    const int ask = static_cast<int>(std::min<size_t>(bytes / 2 + 1, INT_MAX));
    setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &ask, sizeof ask);
}

void CPipeHandle::Shutdown()
{
    if (m_fd >= 0) shutdown(m_fd, SHUT_RDWR);
}

void CPipeHandle::Close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

void SetPipeWriteObserverForTesting(PipeWriteObserver observer, void* context)
{
    MutexLock hold(g_observerMutex);
    g_observer = observer;
    g_observerContext = context;
    g_hasObserver.store(observer != nullptr, std::memory_order_release);
}
