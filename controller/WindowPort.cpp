#include "controller/WindowPort.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace marlin::controller {

Bytes EncodeCopyData(uint32_t dwData, const Bytes& message)
{
    Bytes d(8, 0);
    Put32(d, 0, WM_COPYDATA_MESSAGE);
    Put32(d, 4, dwData);
    d.insert(d.end(), message.begin(), message.end());
    return d;
}

Bytes EncodeCommand(uint32_t controlId)
{
    Bytes d(8, 0);
    Put32(d, 0, WM_COMMAND_MESSAGE);
    Put32(d, 4, controlId);
    return d;
}

Bytes EncodeClose()
{
    Bytes d(4, 0);
    Put32(d, 0, WM_CLOSE_MESSAGE);
    return d;
}

bool SendToWindowPort(const std::string& baseName, const Bytes& datagram, std::string* error)
{
    std::string name = baseName + "_wnd";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socklen_t length;
    if (!name.empty() && name[0] == '@') {
        if (name.size() > sizeof addr.sun_path) {
            if (error) *error = "name too long: " + name;
            return false;
        }
        std::memcpy(addr.sun_path + 1, name.data() + 1, name.size() - 1);
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    } else {
        if (name.size() >= sizeof addr.sun_path) {
            if (error) *error = "name too long: " + name;
            return false;
        }
        std::memcpy(addr.sun_path, name.data(), name.size());
        length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    ssize_t sent = sendto(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL,
                          reinterpret_cast<sockaddr*>(&addr), length);
    int err = errno;
    close(fd);
    if (sent != static_cast<ssize_t>(datagram.size())) {
        if (error) *error = "cannot send to " + name + ": " + std::strerror(err);
        return false;
    }
    return true;
}

}  // namespace marlin::controller
