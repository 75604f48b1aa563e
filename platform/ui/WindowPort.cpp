#include "platform/ui/WindowPort.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "log/LogWrapper.h"

namespace {

// Largest datagram read; a longer one is dropped. Commands are far smaller.
constexpr size_t kMaxDatagram = 4u << 20;

bool MakeAddress(const std::string& name, sockaddr_un& addr, socklen_t& len)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (!name.empty() && name[0] == '@') {
        // Abstract: a leading NUL, then the name without its "@", no terminator.
        size_t n = name.size() - 1;
        if (n + 1 > sizeof addr.sun_path) return false;
        std::memcpy(addr.sun_path + 1, name.data() + 1, n);
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
        return true;
    }
    if (name.empty() || name.size() + 1 > sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, name.data(), name.size());
    len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    return true;
}

// A socket file nobody is bound to any more (left by a killed process)
// refuses a connection; a live one accepts it.
bool IsStaleSocketFile(const sockaddr_un& addr, socklen_t len)
{
    struct stat st{};
    if (::lstat(addr.sun_path, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;  // never remove other files
    int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    bool stale = ::connect(probe, reinterpret_cast<const sockaddr*>(&addr), len) != 0 &&
                 errno == ECONNREFUSED;
    ::close(probe);
    return stale;
}

uint32_t ReadU32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

bool CWindowPort::Open(const std::string& name)
{
    Close();
    sockaddr_un addr;
    socklen_t len = 0;
    if (!MakeAddress(name, addr, len)) {
        CLogLine().rec().Advance("CWindowPort::Open name does not fit a socket address: ").Advance(name.c_str());
        return false;
    }
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool abstract = name[0] == '@';
    if (abstract) {
        // The abstract namespace has no file permissions: check the sender.
        int on = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
            ::close(fd);
            return false;
        }
    }
    auto bindOnce = [&] {
        if (abstract) return ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len);
        // The file is created with mode 0600 from the start: no moment in
        // which another user could send to it. Only the window thread
        // creates files while the dialog initialises.
        mode_t old = ::umask(0177);
        int rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len);
        ::umask(old);
        return rc;
    };
    int rc = bindOnce();
    if (rc != 0 && errno == EADDRINUSE && !abstract && IsStaleSocketFile(addr, len)) {
        ::unlink(name.c_str());
        rc = bindOnce();
    }
    if (rc != 0) {
        int err = errno;
        (CLogLine().rec().Advance("CWindowPort::Open bind failed errno=") << err).Advance(" name=").Advance(name.c_str());
        ::close(fd);
        return false;
    }
    if (!abstract) ::chmod(name.c_str(), 0600);
    m_fd = fd;
    m_bAbstract = abstract;
    m_name = name;
    return true;
}

void CWindowPort::Close()
{
    if (m_fd < 0) return;
    ::close(m_fd);
    m_fd = -1;
    if (!m_bAbstract) ::unlink(m_name.c_str());
    m_name.clear();
}

bool CWindowPort::Parse(const uint8_t* bytes, size_t size, Message& out)
{
    if (size < 4) return false;
    out.message = ReadU32(bytes);
    out.wParam = 0;
    out.dwData = 0;
    out.data.clear();
    switch (out.message) {
    case WM_COPYDATA:
        if (size < 8) return false;
        out.dwData = ReadU32(bytes + 4);
        out.data.assign(bytes + 8, bytes + size);
        return true;
    case WM_COMMAND:
        if (size != 8) return false;
        out.wParam = ReadU32(bytes + 4);
        return true;
    case WM_CLOSE:
        return size == 4;
    default:
        return false;
    }
}

bool CWindowPort::Receive(Message& out)
{
    if (m_fd < 0) return false;
    for (;;) {
        // Learn the datagram's size first, so that nothing is cut off.
        ssize_t peeked = ::recv(m_fd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
        if (peeked < 0) {
            if (errno == EINTR) continue;
            return false;  // EAGAIN: nothing waiting
        }
        size_t size = static_cast<size_t>(peeked);
        std::vector<uint8_t> buf(size <= kMaxDatagram ? (size ? size : 1) : 1);
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        iovec iov{buf.data(), buf.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t got = ::recvmsg(m_fd, &msg, MSG_TRUNC | MSG_CMSG_CLOEXEC);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (static_cast<size_t>(got) > buf.size() || (msg.msg_flags & MSG_TRUNC)) continue;
        if (m_bAbstract) {
            bool ours = false;
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS) {
                    ucred cred;
                    std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
                    ours = cred.uid == ::geteuid();
                }
            }
            if (!ours) continue;
        }
        if (Parse(buf.data(), static_cast<size_t>(got), out)) return true;
    }
}
