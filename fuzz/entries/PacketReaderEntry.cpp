// The pipe reader on one end of a socketpair; a writer thread sends the
// input into the other end and then ends the stream.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "fuzz/entries/Check.h"
#include "fuzz/entries/FuzzEntries.h"
#include "fuzz/entries/SocketPair.h"
#include "pipe/SimplePipe.h"

namespace marlin::fuzz {
namespace {

constexpr auto kFinishLimit = std::chrono::seconds(8);

class Sink : public CSimplePipeSink
{
public:
    void OnPipeClosed(int reason) override
    {
        std::lock_guard<std::mutex> hold(m_lock);
        closed.push_back(reason);
        m_cond.notify_all();
    }
    void OnData(const void* data, uint32_t length) override
    {
        // Every byte is read, so a length beyond the buffer shows at once.
        const auto* p = static_cast<const uint8_t*>(data);
        std::lock_guard<std::mutex> hold(m_lock);
        messages.emplace_back(p, p + length);
    }
    void NoteAnswer()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        answered = true;
        m_cond.notify_all();
    }
    // Until the reader has given up the stream (a close notice or an end).
    bool WaitFinished()
    {
        std::unique_lock<std::mutex> hold(m_lock);
        return m_cond.wait_for(hold, kFinishLimit, [&] { return !closed.empty() || answered; });
    }

    std::vector<std::vector<uint8_t>> messages;
    std::vector<int> closed;
    bool answered = false;

private:
    std::mutex m_lock;
    std::condition_variable m_cond;
};

struct Expected
{
    std::vector<std::vector<uint8_t>> messages;
    std::vector<int> closed;
    bool answer = false;  // a close notice is answered with {0, 1}
};

// The framing as the protocol defines it, computed from the whole input.
Expected Frame(const uint8_t* data, size_t size)
{
    Expected e;
    size_t at = 0;
    for (;;) {
        if (size - at < sizeof(PacketHeader)) {
            e.closed = {0, 1};
            return e;
        }
        PacketHeader h;
        std::memcpy(&h, data + at, sizeof h);
        at += sizeof h;
        if (h.close != 0) {
            e.answer = true;
            return e;
        }
        if (h.length > kMaxPacketLength) {
            e.closed = {1};
            return e;
        }
        if (size - at < h.length) {
            e.closed = {0};
            return e;
        }
        e.messages.emplace_back(data + at, data + at + h.length);
        at += h.length;
    }
}

}  // namespace

int PacketReaderOneInput(const uint8_t* data, size_t size)
{
    SocketPair toHost, fromHost;  // [0] the host's end, [1] the controller's
    FUZZ_CHECK(toHost.Open() && fromHost.Open(), "socketpair failed");

    Sink sink;
    std::vector<uint8_t> answer;
    {
        CSimplePipe pipe(&sink);
        FUZZ_CHECK(pipe.Attach(CPipeHandle::Adopt(fromHost.Release(0)), CPipeHandle::Adopt(toHost.Release(0))),
                   "attach failed");

        // Whatever the host writes back (only ever the answer to a close notice).
        std::thread peer([&] {
            uint8_t buffer[256];
            for (;;) {
                const ssize_t n = ::read(fromHost.fd[1], buffer, sizeof buffer);
                if (n <= 0) break;
                answer.insert(answer.end(), buffer, buffer + n);
                sink.NoteAnswer();
            }
        });
        std::thread writer([&] {
            size_t at = 0;
            while (at < size) {
                const ssize_t n = ::send(toHost.fd[1], data + at, size - at, MSG_NOSIGNAL);
                if (n <= 0) break;  // the reader stopped reading and the pipe was closed
                at += static_cast<size_t>(n);
            }
            ::shutdown(toHost.fd[1], SHUT_WR);
        });

        FUZZ_CHECK(sink.WaitFinished(), "the reader neither ended nor answered within the limit");
        pipe.Close();  // releases a writer blocked on a full socket and ends the peer's read
        writer.join();
        peer.join();
    }

    const Expected e = Frame(data, size);
    FUZZ_CHECK(sink.messages.size() == e.messages.size(), "%zu messages delivered, %zu framed",
               sink.messages.size(), e.messages.size());
    for (size_t i = 0; i < e.messages.size(); ++i)
        FUZZ_CHECK(sink.messages[i] == e.messages[i], "message %zu differs", i);
    FUZZ_CHECK(sink.closed == e.closed, "closed with %zu notices, %zu expected", sink.closed.size(),
               e.closed.size());
    const std::vector<uint8_t> closeAnswer{0, 0, 0, 0, 1, 0, 0, 0};
    FUZZ_CHECK(answer == (e.answer ? closeAnswer : std::vector<uint8_t>{}), "host wrote %zu bytes back",
               answer.size());
    return 0;
}

}  // namespace marlin::fuzz
