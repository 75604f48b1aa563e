// The pipe client in a process of its own, driven through the controller
// library the way a real controller drives the host.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "controller/ControllerLink.h"
#include "controller/HostProcess.h"

using namespace marlin::controller;

namespace {

struct Session
{
    std::unique_ptr<ControllerLink> link;
    std::unique_ptr<HostProcess> host;

    explicit Session(const char* tag)
    {
        static std::atomic<int> counter{0};
        std::string base = std::string("@marlin-echo-") + tag + "-" + std::to_string(getpid()) + "-" +
                           std::to_string(counter++);
        std::string error;
        link = ControllerLink::Listen(base, &error);
        if (!link) throw std::runtime_error(error);
        HostProcess::Options options;
        options.program = std::string(MARLIN_BIN_DIR) + "/pipe_echo_host";
        options.args = {"--ignored", base};
        options.workingDirectory = MARLIN_BIN_DIR;
        host = HostProcess::Spawn(options, &error);
        if (!host) throw std::runtime_error(error);
        if (!link->Accept(10000)) throw std::runtime_error("host did not connect: " + host->Stderr());
    }
};

}  // namespace

TEST(PipeLinkProcess, CommandsComeBackAndACloseNoticeIsAnswered)
{
    Session s("echo");
    for (uint32_t id = 1; id <= 3; ++id) {
        ASSERT_EQ(s.link->SendMessage(GetPosition(id)), IoResult::Ok);
        Packet packet;
        ASSERT_EQ(s.link->ReadPacket(&packet, 5000), IoResult::Ok);
        EXPECT_EQ(packet.payload, GetPosition(id));
    }
    ASSERT_EQ(s.link->SendCloseNotice(1), IoResult::Ok);
    Packet answer;
    ASSERT_EQ(s.link->ReadPacket(&answer, 5000), IoResult::Ok);
    EXPECT_EQ(answer.header.length, 0u);
    EXPECT_EQ(answer.header.close, 1u);
    // The reader has ended without telling the sink: later commands go
    // unread and unanswered, and the process stays until it is ended.
    ASSERT_EQ(s.link->SendMessage(GetPosition(9)), IoResult::Ok);
    Packet none;
    EXPECT_EQ(s.link->ReadPacket(&none, 300), IoResult::Timeout);
    EXPECT_TRUE(s.host->IsRunning());
    EXPECT_EQ(s.host->Stderr().find("closed"), std::string::npos);
    EXPECT_EQ(s.host->Kill().signal, SIGKILL);
}

TEST(PipeLinkProcess, ControllerGoingAwayEndsTheHostCleanly)
{
    Session s("gone");
    s.link->CloseConnections();
    auto status = s.host->WaitExit(5000);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->Success());
    // The reader may see the end before the main thread has said "connected",
    // so only the order of the two closes is fixed.
    const std::string err = s.host->Stderr();
    const size_t readerEnded = err.find("closed 0\n");
    ASSERT_NE(readerEnded, std::string::npos) << err;
    EXPECT_NE(err.find("closed 1\n", readerEnded), std::string::npos) << err;
}

TEST(PipeLinkProcess, AControllerThatStopsReadingMidFrameCausesNoSigpipe)
{
    Session s("flood");
    ASSERT_EQ(s.link->SendMessage(Bytes{'f', 'l', 'o', 'o', 'd'}), IoResult::Ok);
    Packet first;
    ASSERT_EQ(s.link->ReadPacket(&first, 5000), IoResult::Ok);
    EXPECT_EQ(first.payload.size(), 1u << 20);
    // Leave in the middle of the next frames.
    s.link->ClosePipe1();
    auto status = s.host->WaitExit(5000);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited) << "ended by signal " << status->signal;
    EXPECT_EQ(status->code, 3);
}
