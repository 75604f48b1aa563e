#pragma once
// A connected pair of local stream sockets, closed with the object unless
// released.
#include <sys/socket.h>
#include <unistd.h>

namespace marlin::fuzz {

struct SocketPair
{
    int fd[2] = {-1, -1};

    SocketPair() = default;
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    ~SocketPair()
    {
        for (int& f : fd)
            if (f >= 0) ::close(f);
    }
    bool Open() { return ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) == 0; }
    // Hands end `i` to a new owner.
    int Release(int i)
    {
        const int f = fd[i];
        fd[i] = -1;
        return f;
    }
};

}  // namespace marlin::fuzz
