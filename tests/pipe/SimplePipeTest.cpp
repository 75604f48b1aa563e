#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ProcTools.h"
#include "controller/ControllerLink.h"
#include "pipe/SimplePipe.h"
#include "platform/os/NamedPipe.h"
#include "platform/os/Thread.h"

using namespace testing_proc;
using namespace marlin::controller;
using Clock = std::chrono::steady_clock;

namespace {

// Records every sink call; the test waits on it with time limits.
class RecordingSink : public CSimplePipeSink
{
public:
    void OnPipeClosed(int reason) override
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        m_closed.push_back(reason);
        m_readerTid = GetCurrentThreadId();
        m_cond.notify_all();
    }
    void OnData(const void* data, uint32_t length) override
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        const auto* p = static_cast<const uint8_t*>(data);
        m_messages.emplace_back(p, p + length);
        m_pointers.push_back(data);
        m_readerTid = GetCurrentThreadId();
        m_cond.notify_all();
    }

    bool WaitForMessages(size_t count, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> hold(m_mutex);
        return m_cond.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_messages.size() >= count; });
    }
    bool WaitForClosed(size_t count, int timeoutMs = 5000)
    {
        std::unique_lock<std::mutex> hold(m_mutex);
        return m_cond.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                               [&] { return m_closed.size() >= count; });
    }
    std::vector<int> Closed()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_closed;
    }
    std::vector<Bytes> Messages()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_messages;
    }
    std::vector<const void*> Pointers()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_pointers;
    }
    uint32_t ReaderTid()
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_readerTid;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<int> m_closed;
    std::vector<Bytes> m_messages;
    std::vector<const void*> m_pointers;
    uint32_t m_readerTid = 0;
};

std::string UniqueBase(const char* tag, bool abstract)
{
    static std::atomic<int> counter{0};
    std::string name = std::string("marlin-pipe-") + tag + "-" + std::to_string(getpid()) + "-" +
                       std::to_string(counter++);
    return abstract ? "@" + name : "/tmp/" + name;
}

Bytes Pattern(size_t size, uint8_t seed)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
    return b;
}

// A host-side pipe connected to a controller link.
struct Linked
{
    RecordingSink sink;  // outlives the pipe
    CSimplePipe pipe{&sink};
    std::unique_ptr<ControllerLink> controller;

    explicit Linked(bool abstract = true)
    {
        std::string base = UniqueBase("link", abstract);
        std::string error;
        controller = ControllerLink::Listen(base, &error);
        if (!controller) throw std::runtime_error(error);
        // The host's connects wait in the listen queues until accepted.
        if (!pipe.Connect(base.c_str())) throw std::runtime_error("Connect failed");
        if (!controller->Accept(5000)) throw std::runtime_error("Accept failed");
    }

    // The reader's system id, learnt from one empty message.
    uint32_t ReaderTid()
    {
        if (!sink.ReaderTid()) {
            size_t before = sink.Messages().size();
            controller->SendMessage({});
            sink.WaitForMessages(before + 1);
        }
        return sink.ReaderTid();
    }
};

// Records the size of every write operation made through a pipe handle.
struct WriteLog
{
    std::mutex mutex;
    std::vector<size_t> sizes;
    WriteLog() { SetPipeWriteObserverForTesting(&WriteLog::Record, this); }
    ~WriteLog() { SetPipeWriteObserverForTesting(nullptr, nullptr); }
    static void Record(void* self, size_t bytes)
    {
        auto* log = static_cast<WriteLog*>(self);
        std::lock_guard<std::mutex> hold(log->mutex);
        log->sizes.push_back(bytes);
    }
    std::vector<size_t> Take()
    {
        std::lock_guard<std::mutex> hold(mutex);
        return std::exchange(sizes, {});
    }
};

}  // namespace

// --- connecting ---

TEST(SimplePipeConnect, NullNameFailsAtOnce)
{
    RecordingSink sink;
    CSimplePipe pipe(&sink);
    auto start = Clock::now();
    EXPECT_FALSE(pipe.Connect(nullptr));
    EXPECT_LT(MsSince(start), 100);
    EXPECT_FALSE(pipe.IsConnected());
}

TEST(SimplePipeConnect, MissingFirstSocketFailsAfterOneSleepAndLeavesNoSocketOpen)
{
    RecordingSink sink;
    CSimplePipe pipe(&sink);
    int fds = CountOpenFds();
    auto start = Clock::now();
    EXPECT_FALSE(pipe.Connect(UniqueBase("missing", false).c_str()));
    auto ms = MsSince(start);
    EXPECT_GE(ms, 480);
    EXPECT_LT(ms, 950);  // a missing socket is not waited for
    EXPECT_EQ(CountOpenFds(), fds);
    EXPECT_FALSE(pipe.IsConnected());
}

TEST(SimplePipeConnect, MissingSecondSocketClosesTheFirstAgain)
{
    std::string base = UniqueBase("half", true);
    // Only the first socket exists.
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string abstractName = base.substr(1) + kPipe1Suffix;
    std::memcpy(addr.sun_path + 1, abstractName.data(), abstractName.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + abstractName.size());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(listen(listener, 4), 0);

    RecordingSink sink;
    CSimplePipe pipe(&sink);
    int fds = CountOpenFds();
    auto start = Clock::now();
    EXPECT_FALSE(pipe.Connect(base.c_str()));
    EXPECT_GE(MsSince(start), 980);  // both sleeps
    EXPECT_EQ(CountOpenFds(), fds);
    EXPECT_FALSE(pipe.IsConnected());

    // The host did connect the first socket, then let it go.
    int accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    char byte;
    EXPECT_EQ(recv(accepted, &byte, 1, 0), 0);  // end of stream
    close(accepted);
    close(listener);
}

TEST(SimplePipeConnect, BaseNamesThatCannotBeSocketNamesFail)
{
    RecordingSink sink;
    CSimplePipe pipe(&sink);
    int fds = CountOpenFds();
    // 240 characters do not fit the base-name buffer: refused before any sleep.
    auto start = Clock::now();
    EXPECT_FALSE(pipe.Connect(std::string(240, 'a').c_str()));
    EXPECT_LT(MsSince(start), 100);
    // 150 characters fit the buffer but not a socket address.
    EXPECT_FALSE(pipe.Connect(("@" + std::string(150, 'b')).c_str()));
    EXPECT_FALSE(pipe.Connect(("/tmp/" + std::string(150, 'c')).c_str()));
    EXPECT_EQ(CountOpenFds(), fds);
}

TEST(SimplePipeConnect, PathAndAbstractNamesBothConnect)
{
    for (bool abstract : {false, true}) {
        Linked link(abstract);
        EXPECT_TRUE(link.pipe.IsConnected());
        ASSERT_EQ(link.controller->SendMessage(GetPosition(7)), IoResult::Ok);
        ASSERT_TRUE(link.sink.WaitForMessages(1));
        EXPECT_EQ(link.sink.Messages()[0], GetPosition(7));
    }
}

// --- writing ---

TEST(SimplePipeWrite, NeverConnectedWritesNothing)
{
    WriteLog log;
    RecordingSink sink;
    CSimplePipe pipe(&sink);
    Bytes payload(100, 1);
    EXPECT_FALSE(pipe.Write(PacketHeader{100, 0}, payload.data()));
    EXPECT_TRUE(log.Take().empty());
    pipe.Close();  // nothing to close
    EXPECT_FALSE(pipe.IsConnected());
}

// Header and payload leave in one write operation, whatever the payload's
// size: the reader is woken for the packet, not for every piece of it. The
// bytes on the socket are the same as ever.
TEST(SimplePipeWrite, HeaderAndPayloadGoOutInOneWriteOperation)
{
    Linked link;
    WriteLog log;
    struct Case
    {
        uint32_t length;
        std::vector<size_t> writes;
    };
    for (const Case& c : {Case{30720, {30728}}, Case{30721, {30729}}, Case{61440, {61448}}, Case{100000, {100008}},
                          Case{0, {8}}, Case{5, {13}}}) {
        Bytes payload = Pattern(c.length, static_cast<uint8_t>(c.length));
        ASSERT_TRUE(link.pipe.Write(PacketHeader{c.length, 0}, payload.data()));
        EXPECT_EQ(log.Take(), c.writes) << "length " << c.length;
        Packet packet;
        ASSERT_EQ(link.controller->ReadPacket(&packet, 5000), IoResult::Ok);
        EXPECT_EQ(packet.header.length, c.length);
        EXPECT_EQ(packet.header.close, 0u);
        EXPECT_EQ(packet.payload, payload);
    }
    // A null payload sends the header alone.
    ASSERT_TRUE(link.pipe.Write(PacketHeader{0, 0}, nullptr));
    EXPECT_EQ(log.Take(), std::vector<size_t>{8});
    Packet empty;
    ASSERT_EQ(link.controller->ReadPacket(&empty, 5000), IoResult::Ok);
    EXPECT_EQ(empty.header.length, 0u);

    // A header announcing bytes without any is refused whole, so the stream
    // stays in step.
    EXPECT_FALSE(link.pipe.Write(PacketHeader{100, 0}, nullptr));
    EXPECT_TRUE(log.Take().empty());
    ASSERT_TRUE(link.pipe.Write(PacketHeader{3, 0}, "abc"));
    Packet next;
    ASSERT_EQ(link.controller->ReadPacket(&next, 5000), IoResult::Ok);
    EXPECT_EQ(next.payload, (Bytes{'a', 'b', 'c'}));
}

// A payload given in pieces is one packet with their bytes in order: the
// picture path sends header, picture and trailer this way without joining
// them first.
TEST(SimplePipeWrite, APayloadInPiecesIsOnePacketOfTheirBytesInOrder)
{
    Linked link;
    const Bytes head = Pattern(40, 1), picture = Pattern(1280 * 720 * 4, 2), tail = Pattern(34, 3);
    Bytes whole = head;
    whole.insert(whole.end(), picture.begin(), picture.end());
    whole.insert(whole.end(), tail.begin(), tail.end());
    // Larger than the socket holds: the controller reads while it is written.
    Packet packet;
    std::thread reader([&] { link.controller->ReadPacket(&packet, 10000); });
    const PipeBuffer parts[] = {{head.data(), head.size()}, {nullptr, 0}, {picture.data(), picture.size()},
                                {tail.data(), tail.size()}};
    EXPECT_TRUE(link.pipe.WritePayload(parts, std::size(parts)));
    reader.join();
    EXPECT_EQ(packet.header.length, whole.size());
    EXPECT_EQ(packet.header.close, 0u);
    EXPECT_TRUE(packet.payload == whole);

    // A piece that announces bytes without any, or too many pieces, is
    // refused whole: nothing reaches the socket, the link stays usable.
    WriteLog log;
    const PipeBuffer missing[] = {{head.data(), head.size()}, {nullptr, 5}};
    EXPECT_FALSE(link.pipe.WritePayload(missing, std::size(missing)));
    std::vector<PipeBuffer> many(CSimplePipe::kMaxPayloadParts + 1, PipeBuffer{head.data(), 1});
    EXPECT_FALSE(link.pipe.WritePayload(many.data(), many.size()));
    EXPECT_TRUE(log.Take().empty());
    ASSERT_TRUE(link.pipe.WritePayload(many.data(), CSimplePipe::kMaxPayloadParts));
    ASSERT_EQ(link.controller->ReadPacket(&packet, 5000), IoResult::Ok);
    EXPECT_EQ(packet.payload, Bytes(CSimplePipe::kMaxPayloadParts, head[0]));
}

TEST(SimplePipeWrite, ConcurrentWritersNeverInterleavePackets)
{
    Linked link;
    constexpr int kThreads = 6;
    constexpr int kPackets = 30;
    // Packet p of thread t: every byte is t, the first four bytes are p.
    auto lengthOf = [](int t, int p) { return static_cast<uint32_t>(8 + (t * 7919 + p * 104729) % 90000); };

    std::atomic<bool> allWritten{true};
    std::vector<std::thread> writers;
    struct JoinAll
    {
        Linked& link;
        std::vector<std::thread>& threads;
        ~JoinAll()
        {
            link.pipe.Close();  // releases writers left blocked by a failed check
            for (auto& w : threads) w.join();
        }
    } joinAll{link, writers};
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int p = 0; p < kPackets; ++p) {
                uint32_t length = lengthOf(t, p);
                Bytes payload(length, static_cast<uint8_t>(t));
                std::memcpy(payload.data(), &p, 4);
                if (!link.pipe.Write(PacketHeader{length, 0}, payload.data())) allWritten = false;
            }
        });
    }
    std::vector<int> next(kThreads, 0);
    for (int i = 0; i < kThreads * kPackets; ++i) {
        Packet packet;
        ASSERT_EQ(link.controller->ReadPacket(&packet, 10000), IoResult::Ok) << i;
        ASSERT_GE(packet.payload.size(), 5u);
        int t = packet.payload[4];
        ASSERT_LT(t, kThreads);
        int p;
        std::memcpy(&p, packet.payload.data(), 4);
        ASSERT_EQ(p, next[t]) << "thread " << t << " out of order";
        ASSERT_EQ(packet.header.length, lengthOf(t, p));
        for (size_t k = 4; k < packet.payload.size(); ++k)
            ASSERT_EQ(packet.payload[k], t) << "bytes of two packets mixed";
        ++next[t];
    }
    for (auto& w : writers) w.join();
    writers.clear();
    EXPECT_TRUE(allWritten);
}

TEST(SimplePipeWrite, CloseReleasesAWriterBlockedOnAFullSocket)
{
    Linked link;
    // The controller never reads, so 8 MB cannot all go out.
    Bytes big(8 * 1024 * 1024, 3);
    std::atomic<int> result{-1};
    std::thread writer([&] { result = link.pipe.Write(PacketHeader{uint32_t(big.size()), 0}, big.data()); });
    // Wait until the writer is stuck in a send.
    uint32_t readerTid = link.ReaderTid();
    (void)readerTid;
    ASSERT_TRUE(WaitUntil([&] {
        // The writer holds the write lock inside its send.
        DIR* d = opendir("/proc/self/task");
        bool blocked = false;
        while (dirent* e = d ? readdir(d) : nullptr) {
            if (e->d_name[0] == '.') continue;
            const long call = TaskSyscall(uint32_t(std::stoul(e->d_name)));
            if (call == SYS_sendto || call == SYS_sendmsg) blocked = true;
        }
        if (d) closedir(d);
        return blocked;
    }));
    auto start = Clock::now();
    link.pipe.Close();
    writer.join();
    EXPECT_LT(MsSince(start), 2500);
    EXPECT_EQ(result.load(), 0);
    EXPECT_FALSE(link.pipe.IsConnected());
    EXPECT_FALSE(link.pipe.Write(PacketHeader{0, 0}, nullptr));
}

// A picture goes out while the controller has yet to read the one before:
// the writer does not wait on the reader part-way through each picture.
TEST(SimplePipeWrite, TwoLargePacketsGoOutBeforeTheControllerReadsEither)
{
    constexpr size_t kPacket = 2 * 1024 * 1024;
    long systemMax = 0;
    if (FILE* f = std::fopen("/proc/sys/net/core/wmem_max", "r")) {
        if (std::fscanf(f, "%ld", &systemMax) != 1) systemMax = 0;
        std::fclose(f);
    }
    // The socket's buffer is twice what the system lets a process ask for.
    if (2 * systemMax < long(2 * kPacket + kPacket / 2))
        GTEST_SKIP() << "net.core.wmem_max " << systemMax << " is too small for two packets";
    Linked link;
    const Bytes first = Pattern(kPacket, 1), second = Pattern(kPacket, 2);
    std::atomic<int> written{0};
    std::thread writer([&] {
        if (link.pipe.Write(PacketHeader{uint32_t(kPacket), 0}, first.data())) ++written;
        if (link.pipe.Write(PacketHeader{uint32_t(kPacket), 0}, second.data())) ++written;
    });
    const bool bothOut = WaitUntil([&] { return written.load() == 2; }, 5000);
    if (!bothOut) link.pipe.Close();  // releases the writer
    writer.join();
    ASSERT_TRUE(bothOut) << written.load() << " of 2 written before the controller read anything";
    for (const Bytes* expected : {&first, &second}) {
        Packet packet;
        ASSERT_EQ(link.controller->ReadPacket(&packet, 5000), IoResult::Ok);
        EXPECT_TRUE(packet.payload == *expected);
    }
}

// --- reading ---

TEST(SimplePipeRead, ReassemblesPacketsWrittenInArbitraryPieces)
{
    Linked link;
    std::mt19937 random(42);
    std::vector<Bytes> sent;
    Bytes stream;
    for (uint32_t length : {0u, 1u, 11u, 12u, 1000u, 70000u, 200000u}) {
        Bytes message = Pattern(length, static_cast<uint8_t>(length));
        Bytes packet = EncodePacket(message);
        stream.insert(stream.end(), packet.begin(), packet.end());
        sent.push_back(message);
    }
    // Pieces of 1 to 5000 bytes, cutting through headers and payloads alike,
    // each sent on its own.
    size_t at = 0;
    while (at < stream.size()) {
        size_t piece = std::min<size_t>(stream.size() - at, 1 + random() % 5000);
        if (random() % 4 == 0) piece = std::min<size_t>(stream.size() - at, 1 + random() % 7);
        ASSERT_EQ(link.controller->WriteRaw(stream.data() + at, piece), IoResult::Ok);
        at += piece;
        if (random() % 8 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(link.sink.WaitForMessages(sent.size()));
    EXPECT_EQ(link.sink.Messages(), sent);
    EXPECT_TRUE(link.sink.Closed().empty());
}

TEST(SimplePipeRead, ReceiveBufferGrowsToLengthPlus1000AndIsReused)
{
    Linked link;
    EXPECT_EQ(link.pipe.RecvBufSizeForTesting(), 65525u);
    ASSERT_EQ(link.controller->SendMessage(Pattern(65525, 1)), IoResult::Ok);
    ASSERT_TRUE(link.sink.WaitForMessages(1));
    EXPECT_EQ(link.pipe.RecvBufSizeForTesting(), 65525u);  // fits exactly

    ASSERT_EQ(link.controller->SendMessage(Pattern(70000, 2)), IoResult::Ok);
    ASSERT_TRUE(link.sink.WaitForMessages(2));
    EXPECT_EQ(link.pipe.RecvBufSizeForTesting(), 71000u);

    ASSERT_EQ(link.controller->SendMessage(Pattern(65000, 3)), IoResult::Ok);
    ASSERT_TRUE(link.sink.WaitForMessages(3));
    EXPECT_EQ(link.pipe.RecvBufSizeForTesting(), 71000u);
    auto pointers = link.sink.Pointers();
    EXPECT_EQ(pointers[1], pointers[2]);  // same buffer, delivered in place
    auto messages = link.sink.Messages();
    EXPECT_EQ(messages[1], Pattern(70000, 2));
    EXPECT_EQ(messages[2], Pattern(65000, 3));
}

TEST(SimplePipeRead, LengthLimitIs8294900)
{
    Linked link;
    Bytes largest = Pattern(kMaxPacketLength, 9);
    ASSERT_EQ(link.controller->SendMessage(largest, 20000), IoResult::Ok);
    ASSERT_TRUE(link.sink.WaitForMessages(1, 20000));
    EXPECT_EQ(link.sink.Messages()[0], largest);
    EXPECT_EQ(link.pipe.RecvBufSizeForTesting(), kMaxPacketLength + 1000);
    uint32_t reader = link.sink.ReaderTid();

    ASSERT_EQ(link.controller->WriteRaw(EncodePacketHeader(kMaxPacketLength + 1, 0)), IoResult::Ok);
    ASSERT_TRUE(link.sink.WaitForClosed(1));
    EXPECT_TRUE(WaitUntil([&] { return !TaskExists(reader); }));  // the reader ended
    EXPECT_EQ(link.sink.Closed(), std::vector<int>{1});
    EXPECT_EQ(link.sink.Messages().size(), 1u);
    EXPECT_TRUE(link.pipe.IsConnected());  // until Close
}

TEST(SimplePipeRead, CloseNoticeIsAnsweredWithExactly8BytesAndNoSinkCall)
{
    Linked link;
    uint32_t reader = link.ReaderTid();
    size_t messages = link.sink.Messages().size();
    // The payload after a close notice is never read.
    ASSERT_EQ(link.controller->SendCloseNotice(2, Pattern(16, 5)), IoResult::Ok);
    uint8_t answer[8];
    ASSERT_EQ(link.controller->ReadRaw(answer, 8, 5000), IoResult::Ok);
    EXPECT_EQ(Get32(answer, 0), 0u);
    EXPECT_EQ(Get32(answer, 4), 1u);
    EXPECT_TRUE(WaitUntil([&] { return !TaskExists(reader); }));
    EXPECT_TRUE(link.sink.Closed().empty());
    EXPECT_EQ(link.sink.Messages().size(), messages);

    // Nothing else follows the answer: after Close the controller sees the end.
    link.pipe.Close();
    uint8_t more;
    EXPECT_EQ(link.controller->ReadRaw(&more, 1, 5000), IoResult::Closed);
}

TEST(SimplePipeRead, CloseReleasesABlockedReader)
{
    Linked link;
    uint32_t reader = link.ReaderTid();
    // Wait until the reader sits in its read of the next header.
    ASSERT_TRUE(WaitUntil([&] { return TaskSyscall(reader) == SYS_recvfrom; }));
    auto start = Clock::now();
    link.pipe.Close();
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_EQ(link.sink.Closed(), (std::vector<int>{0, 1}));
    EXPECT_FALSE(TaskExists(reader));
    EXPECT_FALSE(link.pipe.IsConnected());
    EXPECT_FALSE(link.pipe.Write(PacketHeader{0, 0}, nullptr));
    uint8_t byte;
    EXPECT_EQ(link.controller->ReadRaw(&byte, 1, 5000), IoResult::Closed);
}

TEST(SimplePipeRead, ControllerGoingAwayEndsTheLinkAndLaterWritesFail)
{
    Linked link;
    uint32_t reader = link.ReaderTid();
    link.controller->CloseConnections();
    ASSERT_TRUE(link.sink.WaitForClosed(2));
    EXPECT_EQ(link.sink.Closed(), (std::vector<int>{0, 1}));
    EXPECT_TRUE(WaitUntil([&] { return !TaskExists(reader); }));
    EXPECT_TRUE(link.pipe.IsConnected());  // until Close
    Bytes payload(100, 1);
    EXPECT_FALSE(link.pipe.Write(PacketHeader{100, 0}, payload.data()));
    EXPECT_FALSE(link.pipe.Write(PacketHeader{0, 0}, nullptr));
}

TEST(SimplePipeRead, StreamEndingInsideAPayloadReportsAFailedRead)
{
    Linked link;
    Bytes partial = EncodePacketHeader(100, 0);
    partial.resize(8 + 40, 1);
    ASSERT_EQ(link.controller->WriteRaw(partial), IoResult::Ok);
    link.controller->ClosePipe2();
    ASSERT_TRUE(link.sink.WaitForClosed(1));
    uint32_t reader = link.sink.ReaderTid();
    EXPECT_TRUE(WaitUntil([&] { return !TaskExists(reader); }));
    EXPECT_EQ(link.sink.Closed(), std::vector<int>{0});
    EXPECT_TRUE(link.sink.Messages().empty());
}

TEST(SimplePipeRead, EmptyPacketDeliversAnEmptyMessage)
{
    Linked link;
    ASSERT_EQ(link.controller->WriteRaw(EncodePacketHeader(0, 0)), IoResult::Ok);
    ASSERT_TRUE(link.sink.WaitForMessages(1));
    EXPECT_TRUE(link.sink.Messages()[0].empty());
}

TEST(SimplePipeRead, RepliesFromInsideOnDataGoOut)
{
    // The host answers commands on the reader thread, through Write.
    struct EchoSink : CSimplePipeSink
    {
        CSimplePipe* pipe = nullptr;
        void OnPipeClosed(int) override {}
        void OnData(const void* data, uint32_t length) override
        {
            pipe->Write(PacketHeader{length, 0}, data);
        }
    } sink;
    CSimplePipe pipe(&sink);
    sink.pipe = &pipe;
    std::string base = UniqueBase("echo", true);
    auto controller = ControllerLink::Listen(base);
    ASSERT_TRUE(controller);
    ASSERT_TRUE(pipe.Connect(base.c_str()));
    ASSERT_TRUE(controller->Accept(5000));
    Bytes message = Pattern(50000, 4);
    ASSERT_EQ(controller->SendMessage(message), IoResult::Ok);
    Packet echo;
    ASSERT_EQ(controller->ReadPacket(&echo, 5000), IoResult::Ok);
    EXPECT_EQ(echo.payload, message);
    pipe.Close();
}
