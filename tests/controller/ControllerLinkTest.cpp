#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "controller/ControllerLink.h"
#include "controller/WindowPort.h"

using namespace marlin::controller;
using Clock = std::chrono::steady_clock;

namespace {

std::string UniqueBase(const char* tag, bool abstract)
{
    static std::atomic<int> counter{0};
    std::string name = std::string("marlin-ctl-") + tag + "-" + std::to_string(getpid()) + "-" +
                       std::to_string(counter++);
    return abstract ? "@" + name : "/tmp/" + name;
}

// A bare client standing in for the host; -1 when it cannot connect.
int ConnectTo(const std::string& name)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    socklen_t len;
    if (name[0] == '@') {
        std::memcpy(addr.sun_path + 1, name.data() + 1, name.size() - 1);
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    } else {
        std::memcpy(addr.sun_path, name.data(), name.size());
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct FakeHost
{
    int pipe1 = -1, pipe2 = -1;
    explicit FakeHost(const ControllerLink& link)
    {
        pipe1 = ConnectTo(link.Pipe1Name());
        pipe2 = ConnectTo(link.Pipe2Name());
    }
    ~FakeHost()
    {
        if (pipe1 >= 0) close(pipe1);
        if (pipe2 >= 0) close(pipe2);
    }
    void Send(const Bytes& b) { ASSERT_EQ(send(pipe1, b.data(), b.size(), MSG_NOSIGNAL), ssize_t(b.size())); }
    Bytes Receive(size_t n)
    {
        Bytes b(n);
        size_t got = 0;
        while (got < n) {
            ssize_t r = recv(pipe2, b.data() + got, n - got, 0);
            if (r <= 0) break;
            got += size_t(r);
        }
        b.resize(got);
        return b;
    }
};

// A frame message (type 50 picture, 51 sound) whose bytes are all `fill`
// but for its fields.
Bytes Frame(uint32_t type, uint32_t id, int32_t dataLength, bool trailer, uint8_t fill)
{
    Bytes m(40 + static_cast<size_t>(dataLength) + (trailer ? 24 : 0) + kFramePadding, fill);
    Put32(m, 0, type);
    Put32(m, 4, id);
    Put32(m, 8, trailer ? 1 : 0);
    Put32(m, 36, static_cast<uint32_t>(dataLength));
    if (trailer) {
        const size_t t = 40 + static_cast<size_t>(dataLength);
        Put32(m, t, 52);
        Put32(m, t + 8, 0);
        Put64(m, t + 16, 1234);
    }
    return m;
}

}  // namespace

TEST(ControllerLink, ListensOnBothNamesAndRemovesSocketFilesAfterwards)
{
    std::string base = UniqueBase("files", false);
    {
        auto link = ControllerLink::Listen(base);
        ASSERT_TRUE(link);
        EXPECT_EQ(link->Pipe1Name(), base + "_pipe1");
        EXPECT_EQ(link->Pipe2Name(), base + "_pipe2");
        struct stat st;
        ASSERT_EQ(stat(link->Pipe1Name().c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
    }
    EXPECT_NE(access((base + "_pipe1").c_str(), F_OK), 0);
    EXPECT_NE(access((base + "_pipe2").c_str(), F_OK), 0);
}

TEST(ControllerLink, ReplacesStaleSocketsButNoOtherFile)
{
    std::string base = UniqueBase("stale", false);
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string name = base + "_pipe1";
    std::memcpy(addr.sun_path, name.data(), name.size());
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(stale);  // the file stays behind
    EXPECT_TRUE(ControllerLink::Listen(base));

    std::string other = UniqueBase("plain", false);
    std::ofstream(other + "_pipe1") << "not a socket";
    std::string error;
    EXPECT_FALSE(ControllerLink::Listen(other, &error));
    EXPECT_NE(error.find("not a socket"), std::string::npos);
    EXPECT_EQ(access((other + "_pipe1").c_str(), F_OK), 0);  // left alone
    unlink((other + "_pipe1").c_str());

    EXPECT_FALSE(ControllerLink::Listen("@" + std::string(120, 'x'), &error));
}

TEST(ControllerLink, AcceptAndReadsGiveUpAtTheirTimeLimit)
{
    auto link = ControllerLink::Listen(UniqueBase("timeout", true));
    ASSERT_TRUE(link);
    auto start = Clock::now();
    EXPECT_FALSE(link->Accept(100));
    EXPECT_GE(MsSince(start), 95);
    EXPECT_LT(MsSince(start), 2000);

    FakeHost host(*link);
    ASSERT_TRUE(link->Accept(1000));
    Packet packet;
    start = Clock::now();
    EXPECT_EQ(link->ReadPacket(&packet, 100), IoResult::Timeout);
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_EQ(link->WaitForEndOfStream(50), IoResult::Timeout);

    // Half a packet does not count either.
    host.Send(EncodePacketHeader(10, 0));
    EXPECT_EQ(link->ReadPacket(&packet, 100), IoResult::Timeout);
}

TEST(ControllerLink, CarriesCommandsAndRepliesBothWays)
{
    for (bool abstract : {false, true}) {
        auto link = ControllerLink::Listen(UniqueBase("carry", abstract));
        ASSERT_TRUE(link);
        FakeHost host(*link);
        ASSERT_TRUE(link->Accept(1000));
        EXPECT_TRUE(link->IsAccepted());

        ASSERT_EQ(link->SendMessage(GetPosition(7)), IoResult::Ok);
        EXPECT_EQ(host.Receive(20), EncodePacket(GetPosition(7)));
        ASSERT_EQ(link->SendCloseNotice(2, Bytes{9, 9}), IoResult::Ok);
        EXPECT_EQ(host.Receive(10), (Bytes{2, 0, 0, 0, 2, 0, 0, 0, 9, 9}));

        Bytes reply(24, 0);
        Put32(reply, 0, 17);
        Put32(reply, 4, 7);
        Put64(reply, 16, ~uint64_t{0});
        host.Send(EncodePacket(reply));
        Message m;
        std::string error;
        ASSERT_EQ(link->ReadMessage(&m, 1000, &error), IoResult::Ok) << error;
        EXPECT_EQ(m.kind, MessageKind::Position);
        EXPECT_EQ(m.positionMs, -1);

        // A malformed message is an error with its reason.
        host.Send(EncodePacket(Bytes(13, 0)));
        EXPECT_EQ(link->ReadMessage(&m, 1000, &error), IoResult::Error);
        EXPECT_FALSE(error.empty());

        // A close-notice answer is a packet without payload.
        host.Send(EncodePacketHeader(0, 1));
        Packet packet;
        ASSERT_EQ(link->ReadPacket(&packet, 1000), IoResult::Ok);
        EXPECT_EQ(packet.header.close, 1u);
        EXPECT_TRUE(packet.payload.empty());
    }
}

TEST(ControllerLink, FramesReadStraightIntoTheirMessageDecodeAsWholeOnes)
{
    // Frames are read in parts (fixed part, data, tail) so that the data goes
    // into the message's own storage. Each must come out as DecodeMessage
    // reads the same bytes, whatever kind came before; a frame whose
    // dataLength does not fit its message stays an error.
    auto link = ControllerLink::Listen(UniqueBase("parts", true));
    ASSERT_TRUE(link);
    FakeHost host(*link);
    ASSERT_TRUE(link->Accept(1000));
    const std::vector<Bytes> frames = {Frame(50, 0, 300000, true, 7), Frame(51, 0, 4096, true, 9),
                                       Frame(51, 1, 4000, false, 3), Frame(50, 1, 300000, true, 5),
                                       Frame(50, 2, 0, true, 1)};
    Message m;
    std::string error;
    for (const Bytes& f : frames) {
        // Sent in pieces, so that the reader also finds parts not there yet.
        const Bytes packet = EncodePacket(f);
        std::thread writer([&] {
            for (size_t at = 0; at < packet.size(); at += 65536) {
                const size_t n = std::min<size_t>(65536, packet.size() - at);
                ASSERT_EQ(send(host.pipe1, packet.data() + at, n, MSG_NOSIGNAL), ssize_t(n));
                std::this_thread::yield();
            }
        });
        const IoResult r = link->ReadMessage(&m, 2000, &error);
        writer.join();
        ASSERT_EQ(r, IoResult::Ok) << error;
        Message whole;
        ASSERT_TRUE(DecodeMessage(f.data(), f.size(), &whole, &error)) << error;
        EXPECT_EQ(m.type, whole.type);
        EXPECT_EQ(m.frameNumber, whole.frameNumber);
        EXPECT_EQ(m.data, whole.data);
        EXPECT_EQ(m.trailerPositionMs, whole.trailerPositionMs);
        EXPECT_EQ(m.presentationTime, whole.presentationTime);
    }
    Bytes bad = Frame(50, 3, 100, false, 0);
    Put32(bad, 36, 200);
    host.Send(EncodePacket(bad));
    EXPECT_EQ(link->ReadMessage(&m, 1000, &error), IoResult::Error);
}

TEST(ControllerLink, PicturesLandInStorageAlreadyInPlaceAfterRepliesAndSoundBlocks)
{
    // A controller reuses one Message; replies and sound blocks come between
    // its pictures, and a reply may be moved away. A picture must then land
    // in storage the link already has, not in fresh pages: faulting in a
    // large picture's pages makes it late at the controller.
    auto link = ControllerLink::Listen(UniqueBase("storage", true));
    ASSERT_TRUE(link);
    FakeHost host(*link);
    ASSERT_TRUE(link->Accept(1000));
    constexpr int32_t kPicture = 4 << 20;
    const long pages = kPicture / sysconf(_SC_PAGESIZE);
    Bytes reply(16, 0);
    Put32(reply, 0, 3);
    Put32(reply, 12, 1);
    const std::vector<Bytes> messages = {Frame(50, 0, kPicture, true, 7), reply, Frame(51, 0, 3724, true, 9),
                                         Frame(51, 1, 3764, true, 8), Frame(50, 1, kPicture, true, 5),
                                         reply, Frame(50, 2, kPicture, true, 4)};
    std::vector<Bytes> packets;
    for (const Bytes& m : messages) packets.push_back(EncodePacket(m));
    std::thread writer([&] {
        for (const Bytes& p : packets) ASSERT_EQ(send(host.pipe1, p.data(), p.size(), MSG_NOSIGNAL), ssize_t(p.size()));
    });
    auto minorFaults = [] {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return usage.ru_minflt;
    };
    Message m;
    std::string error;
    for (size_t i = 0; i < messages.size(); ++i) {
        const long before = minorFaults();
        ASSERT_EQ(link->ReadMessage(&m, 5000, &error), IoResult::Ok) << error;
        const long faults = minorFaults() - before;
        Message whole;
        ASSERT_TRUE(DecodeMessage(messages[i].data(), messages[i].size(), &whole, &error)) << error;
        EXPECT_EQ(m.type, whole.type);
        EXPECT_EQ(m.data, whole.data) << "message " << i;
        if (i > 0 && m.type == 50) {
            EXPECT_LT(faults, pages / 4) << "picture " << m.frameNumber;
        }
        if (m.kind == MessageKind::Result) Message taken = std::move(m);  // as a request hands its reply on
    }
    writer.join();
}

TEST(ControllerLink, FrameDataRoutedToAPipeGoesThereWholeAndTheFrameStillDecodes)
{
    // Pictures are routed to a pipe, sound stays in the message. What the
    // pipe gets must be every picture's data in order; each message must
    // decode as the whole frame does, but with no data; a pipe that fails,
    // or a descriptor that splice(2) refuses, must not put the link out of step.
    auto link = ControllerLink::Listen(UniqueBase("route", true));
    ASSERT_TRUE(link);
    FakeHost host(*link);
    ASSERT_TRUE(link->Accept(1000));

    struct Route final : FrameDataRoute
    {
        int pipe = -1;
        std::vector<std::pair<size_t, int>> moved;
        int PipeFor(const Message& head, size_t) override
        {
            return head.type == 50 && head.format.width == 640 ? pipe : -1;
        }
        void Moved(size_t dataLength, int error) override { moved.emplace_back(dataLength, error); }
    } route;
    auto picture = [](uint32_t id, int32_t dataLength, uint8_t fill) {
        Bytes f = Frame(50, id, dataLength, true, fill);
        Put32(f, 12, 640);
        for (int32_t i = 0; i < dataLength; ++i) f[40 + static_cast<size_t>(i)] = static_cast<uint8_t>(fill + i * 7);
        return f;
    };
    auto readAll = [](int fd, Bytes* into) {
        uint8_t chunk[65536];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) into->insert(into->end(), chunk, chunk + n);
    };
    auto exchange = [&](const std::vector<Bytes>& frames, std::vector<Message>* got) {
        std::thread writer([&] {
            for (const Bytes& f : frames) {
                const Bytes packet = EncodePacket(f);
                for (size_t at = 0; at < packet.size(); at += 100000) {
                    const size_t n = std::min<size_t>(100000, packet.size() - at);
                    ASSERT_EQ(send(host.pipe1, packet.data() + at, n, MSG_NOSIGNAL), ssize_t(n));
                }
            }
        });
        Message m;
        std::string error;
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_EQ(link->ReadMessage(&m, 5000, &error, &route), IoResult::Ok) << error;
            got->push_back(m);
        }
        writer.join();
    };

    // 1. Into a pipe that is read as it fills.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    route.pipe = fds[1];
    Bytes piped;
    std::thread reader([&] { readAll(fds[0], &piped); });
    const std::vector<Bytes> frames = {picture(0, 1000000, 1), Frame(51, 0, 4096, true, 9),
                                       picture(1, 777777, 2), Frame(50, 2, 5000, false, 4),
                                       picture(3, 1000000, 3)};
    std::vector<Message> got;
    exchange(frames, &got);
    close(fds[1]);
    reader.join();
    close(fds[0]);
    Bytes expected;
    for (size_t i = 0; i < frames.size(); ++i) {
        Message whole;
        std::string error;
        ASSERT_TRUE(DecodeMessage(frames[i].data(), frames[i].size(), &whole, &error)) << error;
        const bool routed = whole.type == 50 && whole.format.width == 640;
        if (routed) expected.insert(expected.end(), whole.data.begin(), whole.data.end());
        EXPECT_EQ(got[i].type, whole.type);
        EXPECT_EQ(got[i].frameNumber, whole.frameNumber);
        EXPECT_EQ(got[i].format.width, whole.format.width);
        EXPECT_EQ(got[i].trailerPositionMs, whole.trailerPositionMs);
        EXPECT_EQ(got[i].data, routed ? Bytes() : whole.data) << "frame " << i;
    }
    EXPECT_TRUE(piped == expected) << piped.size() << " bytes piped, " << expected.size() << " expected";
    ASSERT_EQ(route.moved.size(), 3u);
    EXPECT_EQ(route.moved[1], std::make_pair(size_t{777777}, 0));

    // 2. A pipe with no reader: the error is told, the data dropped, and the
    // frames after it still come as they were sent.
    struct IgnoreSigpipe
    {
        void (*before)(int) = std::signal(SIGPIPE, SIG_IGN);
        ~IgnoreSigpipe() { std::signal(SIGPIPE, before); }
    } ignoreSigpipe;
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    route.pipe = fds[1];
    route.moved.clear();
    got.clear();
    exchange({picture(4, 300000, 5), Frame(51, 1, 4096, true, 6)}, &got);
    close(fds[1]);
    ASSERT_EQ(route.moved.size(), 1u);
    EXPECT_EQ(route.moved[0].second, EPIPE);
    EXPECT_EQ(got[0].frameNumber, 4u);
    EXPECT_EQ(got[1].type, 51u);
    EXPECT_EQ(got[1].data, Bytes(4096, 6));

    // 3. A plain file: splice(2) needs a pipe, so the bytes go through a buffer.
    char path[] = "/tmp/marlin-route-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    route.pipe = file;
    route.moved.clear();
    got.clear();
    exchange({picture(5, 600000, 7)}, &got);
    ASSERT_EQ(route.moved.size(), 1u);
    EXPECT_EQ(route.moved[0].second, 0);
    Bytes written;
    ASSERT_EQ(lseek(file, 0, SEEK_SET), 0);
    readAll(file, &written);
    close(file);
    Message whole;
    const Bytes last = picture(5, 600000, 7);
    ASSERT_TRUE(DecodeMessage(last.data(), last.size(), &whole, nullptr));
    EXPECT_TRUE(written == whole.data);
}

TEST(ControllerLink, ReportsTheHostGoingAway)
{
    auto link = ControllerLink::Listen(UniqueBase("gone", true));
    ASSERT_TRUE(link);
    {
        FakeHost host(*link);
        ASSERT_TRUE(link->Accept(1000));
    }
    EXPECT_EQ(link->WaitForEndOfStream(1000), IoResult::Closed);
    Packet packet;
    EXPECT_EQ(link->ReadPacket(&packet, 1000), IoResult::Closed);
    IoResult r = IoResult::Ok;
    for (int i = 0; i < 100 && r == IoResult::Ok; ++i) r = link->WriteRaw(Bytes(4096, 0), 1000);
    EXPECT_EQ(r, IoResult::Closed);

    link->CloseConnections();
    EXPECT_EQ(link->ReadPacket(&packet, 10), IoResult::Error);  // nothing connected
    link->CloseListeners();
    EXPECT_EQ(ConnectTo(link->Pipe1Name()), -1);
}

TEST(ControllerLink, LargeWritesWaitForTheReaderWithinTheirLimit)
{
    auto link = ControllerLink::Listen(UniqueBase("large", true));
    ASSERT_TRUE(link);
    FakeHost host(*link);
    ASSERT_TRUE(link->Accept(1000));
    // Nobody reads: the write gives up at its limit instead of hanging.
    Bytes big(16 * 1024 * 1024, 1);
    auto start = Clock::now();
    EXPECT_EQ(link->WriteRaw(big, 200), IoResult::Timeout);
    EXPECT_LT(MsSince(start), 3000);
}

// --- the window port ---

TEST(ControllerWindowPort, DatagramsCarryTheMessageNumberAndItsData)
{
    EXPECT_EQ(EncodeClose(), (Bytes{0x10, 0, 0, 0}));
    EXPECT_EQ(EncodeCommand(1000), (Bytes{0x11, 0x01, 0, 0, 0xE8, 0x03, 0, 0}));
    Bytes copy = EncodeCopyData(5, GetPosition(7));
    ASSERT_EQ(copy.size(), 8u + 12u);
    EXPECT_EQ(Get32(copy.data(), 0), 0x4Au);
    EXPECT_EQ(Get32(copy.data(), 4), 5u);
    EXPECT_EQ(Bytes(copy.begin() + 8, copy.end()), GetPosition(7));

    for (bool abstract : {false, true}) {
        std::string base = UniqueBase("wnd", abstract);
        std::string name = base + "_wnd";
        int port = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        socklen_t len;
        if (abstract) {
            std::memcpy(addr.sun_path + 1, name.data() + 1, name.size() - 1);
            len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        } else {
            std::memcpy(addr.sun_path, name.data(), name.size());
            len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
        }
        ASSERT_EQ(bind(port, reinterpret_cast<sockaddr*>(&addr), len), 0);
        std::string error;
        ASSERT_TRUE(SendToWindowPort(base, copy, &error)) << error;
        uint8_t buf[64];
        EXPECT_EQ(recv(port, buf, sizeof buf, 0), ssize_t(copy.size()));
        EXPECT_EQ(Bytes(buf, buf + copy.size()), copy);
        close(port);
        if (!abstract) unlink(name.c_str());
        EXPECT_FALSE(SendToWindowPort(base, EncodeClose(), &error));  // nobody listens now
        EXPECT_FALSE(error.empty());
    }
}
