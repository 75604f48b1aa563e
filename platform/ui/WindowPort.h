#pragma once
// The window port: how other processes reach a dialog's window. A Unix
// datagram socket, bound at a name that starts with "@" for the abstract
// namespace or is a file system path otherwise (created with mode 0600,
// removed on Close). Each datagram is one window message:
//   uint32 message, then its data (all little-endian)
//   WM_COPYDATA (0x004A): uint32 dwData, then the data block (may be empty)
//   WM_COMMAND  (0x0111): uint32 control id, nothing more
//   WM_CLOSE    (0x0010): nothing more
// Every other datagram is dropped, as is, on an abstract port, a datagram
// whose sender is not our own user.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ui/WinTypes.h"

class CWindowPort
{
public:
    CWindowPort() = default;
    ~CWindowPort() { Close(); }
    CWindowPort(const CWindowPort&) = delete;
    CWindowPort& operator=(const CWindowPort&) = delete;

    // Binds the socket; false when the name does not fit a socket address,
    // is taken by a live port, or the socket cannot be made.
    bool Open(const std::string& name);
    // Closes the socket and removes its file. Safe when not open.
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // Non-blocking descriptor to wait on for readability.
    int Handle() const { return m_fd; }
    const std::string& Name() const { return m_name; }

    // One received window message. For WM_COPYDATA, `data` holds the block.
    struct Message
    {
        UINT message = 0;
        WPARAM wParam = 0;  // WM_COMMAND: the control id
        ULONG_PTR dwData = 0;
        std::vector<uint8_t> data;
    };
    // Reads datagrams until one is valid; false when none is waiting.
    bool Receive(Message& out);

private:
    // Parses one datagram; false for anything the port does not carry.
    static bool Parse(const uint8_t* bytes, size_t size, Message& out);

    int m_fd = -1;
    bool m_bAbstract = false;
    std::string m_name;
};
