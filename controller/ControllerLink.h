#pragma once
// The controller's end of the link: it creates both sockets for a base name,
// lets the host connect, writes commands on "_pipe2" and reads replies and
// frames from "_pipe1". Every blocking call takes a time limit, so a test
// never hangs on a host that misbehaves.
//
//   auto link = ControllerLink::Listen("@my-base", &error);
//   auto host = HostProcess::Spawn({.program = hostPath, .args = {"@my-base"},
//                                   .workingDirectory = binDir}, &error);
//   link->Accept(5000);                          // the host connects ~1 s after start
//   link->SendMessage(GetPosition(7));
//   Message reply;
//   link->ReadMessage(&reply, 5000, &error);     // reply.kind == MessageKind::Position
//   link->SendMessage(Quit(8));
//   host->WaitExit(5000);
#include <cstddef>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "controller/Messages.h"

namespace marlin::controller {

enum class IoResult
{
    Ok,
    Timeout,  // the time limit passed first
    Closed,   // the peer closed its end (end of stream, or a write to a gone peer)
    Error,    // any other failure, or no connection
};
const char* ToString(IoResult result);

// Where a frame's data goes when it should not land in the message: a
// controller that only passes pictures on to a pipe (a player writing raw
// frames to another program) has the kernel move them there, so that they
// never pass through its memory.
class FrameDataRoute
{
public:
    // Asked once a frame's fixed part is read. `head` has its type, id and
    // format (no data, stamp or trailer yet). A pipe's descriptor takes the
    // dataLength bytes; -1 reads them into the message as usual.
    virtual int PipeFor(const Message& head, size_t dataLength) = 0;
    // After the bytes were given to the pipe: 0, or the errno of a pipe that
    // failed. The rest of the data is then read and dropped, so the link
    // stays in step and the message still decodes.
    virtual void Moved(size_t dataLength, int error) = 0;

protected:
    ~FrameDataRoute() = default;
};

struct Packet
{
    PacketHeader header{};
    Bytes payload;  // header.length bytes; empty for a close notice
};

class ControllerLink
{
public:
    // Binds and listens on baseName + "_pipe1" and baseName + "_pipe2". A
    // base name starting with "@" uses the abstract namespace; otherwise the
    // names are file paths (a stale socket file is replaced, any other file
    // is an error) that are removed again by the destructor. `backlog` is
    // handed to listen(). Null with the reason in *error on failure.
    static std::unique_ptr<ControllerLink> Listen(const std::string& baseName,
                                                  std::string* error = nullptr, int backlog = 4);
    ~ControllerLink();
    ControllerLink(const ControllerLink&) = delete;
    ControllerLink& operator=(const ControllerLink&) = delete;

    // Accepts the host on the first, then the second socket, within timeoutMs
    // in all (the host connects them about 500 ms apart).
    bool Accept(int timeoutMs);
    bool AcceptPipe1(int timeoutMs);
    bool AcceptPipe2(int timeoutMs);

    // --- to the host, on "_pipe2" ---
    // One whole packet carrying `message`.
    IoResult SendMessage(const Bytes& message, int timeoutMs = 5000);
    // A close notice (close != 0) with an optional payload that the host
    // must not read.
    IoResult SendCloseNotice(uint32_t close = 1, const Bytes& payload = {}, int timeoutMs = 5000);
    // Any bytes, for split or malformed packets.
    IoResult WriteRaw(const void* data, size_t size, int timeoutMs = 5000);
    IoResult WriteRaw(const Bytes& bytes, int timeoutMs = 5000) { return WriteRaw(bytes.data(), bytes.size(), timeoutMs); }

    // --- from the host, on "_pipe1" ---
    // One packet: its header, then (unless it is a close notice) its payload.
    // A length above maxLength is reported as Error without reading on.
    static constexpr uint32_t kMaxReadLength = 64u << 20;
    IoResult ReadPacket(Packet* out, int timeoutMs, uint32_t maxLength = kMaxReadLength);
    // Exactly `size` bytes.
    IoResult ReadRaw(void* buffer, size_t size, int timeoutMs);
    // Reads and decodes the next message; Error also when it does not decode
    // (the reason in *error). A frame's data is read straight into out->data.
    // Its storage is kept and swapped with one spare of the link's, so a
    // caller that reuses one Message, sized ahead for its pictures, reads
    // pictures and sound blocks in turn with no copy and no allocation.
    IoResult ReadMessage(Message* out, int timeoutMs, std::string* error = nullptr);
    // The same, with `route` choosing per frame whether its data goes to a
    // pipe instead; out->data is empty for a frame whose data went there.
    IoResult ReadMessage(Message* out, int timeoutMs, std::string* error, FrameDataRoute* route);
    // Frame data storage that its user has finished with, for ReadMessage
    // to read later frames of its size into. One per size is kept.
    void GiveFrameStorage(Bytes&& data);
    // Closed when the host has closed "_pipe1" (end of stream) within the
    // time limit, Ok when data arrived instead (nothing is consumed).
    IoResult WaitForEndOfStream(int timeoutMs);

    // Ends the connection on "_pipe2" / "_pipe1" / both, as a controller
    // going away does. The listening sockets stay until destruction.
    void ClosePipe2();
    void ClosePipe1();
    void CloseConnections();
    // Stops listening (a later connect is refused) and removes socket files.
    void CloseListeners();

    const std::string& Pipe1Name() const { return m_pipe1Name; }
    const std::string& Pipe2Name() const { return m_pipe2Name; }
    bool IsAccepted() const { return m_pipe1 >= 0 && m_pipe2 >= 0; }

private:
    ControllerLink() = default;
    static bool AcceptOne(int listener, int* connection, int timeoutMs);

    std::string m_pipe1Name, m_pipe2Name;
    bool m_bRemoveFiles = false;
    int m_listen1 = -1, m_listen2 = -1;
    int m_pipe1 = -1, m_pipe2 = -1;  // accepted connections
    IoResult MoveToPipe(int pipe, size_t size, std::chrono::steady_clock::time_point deadline, int* pipeError);
    // Gives *data storage for `length` bytes of frame data, from what it
    // holds or from m_spareData.
    void TakeFrameStorage(Bytes* data, size_t length);
    // Keeps the frame storage of a message that gets none (a reply), so that
    // it is not freed with that message.
    void KeepFrameStorage(Bytes* data);

    Bytes m_readBuffer;  // ReadMessage's payload but a frame's data, reused; grows only
    // Frame data storage not in a message now: pictures and sound blocks
    // take turns, and each finds storage of its own size again, neither
    // cleared and refilled when the other comes nor in fresh pages after a
    // reply. At most kMaxSpareData, the largest kept.
    static constexpr size_t kMaxSpareData = 2;
    std::vector<Bytes> m_spareData;
};

}  // namespace marlin::controller
