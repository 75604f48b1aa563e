// Commands and replies of a running host, as a controller sees them.
#include <gtest/gtest.h>

#include "tests/app/HostHarness.h"

namespace {

using namespace marlin_test;
using mc::IoResult;
using mc::MessageKind;

enum : uint32_t {
    kTestFile = 0, kStartPlayFile = 2, kGetPosition = 16, kSetReplyWnd = 18, kSeek = 14, kQuit = 25,
};

const MediaFormat kWant{320, 240, 6, 16000, 16, 1};

// The next message must be the answer to GetPosition `id` (-1 while idle):
// proof that nothing was sent before it.
void ExpectNextIsPosition(HostHarness& h, uint32_t id)
{
    auto m = h.Receive();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, 17u);
    EXPECT_EQ(m->id, id);
    EXPECT_EQ(m->positionMs, -1);
}

void ExpectResult(HostHarness& h, uint32_t type, uint32_t id, uint32_t result)
{
    auto m = h.Receive();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->type, type);
    EXPECT_EQ(m->id, id);
    EXPECT_EQ(m->kind, MessageKind::Result);
    EXPECT_EQ(m->result, result) << "reply type " << type << " id " << id;
}

TEST(HostCommands, GetPositionWhileIdleIsAnsweredWithTheExactBytes)
{
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    // 0C 00 00 00 00 00 00 00 | 10 00 00 00 07 00 00 00 00 00 00 00
    const Bytes command = {0x0C, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(mc::EncodePacket(mc::GetPosition(7)), command);
    ASSERT_EQ(h.link->WriteRaw(command), IoResult::Ok);
    Bytes answer(32);
    ASSERT_EQ(h.link->ReadRaw(answer.data(), answer.size(), kLimitMs), IoResult::Ok);
    const Bytes expected = {0x18, 0, 0, 0, 0, 0, 0, 0,                          // length 24, close 0
                            0x11, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0,              // type 17, id 7
                            0, 0, 0, 0,                                         // reserved
                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};  // -1
    EXPECT_EQ(answer, expected);
}

TEST(HostCommands, EveryCommandIsAnsweredWithItsTypeIdAndLength)
{
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    const std::u16string path = u"/nonexistent/m\u00e9dia.mp4";
    ASSERT_EQ(h.Send(mc::TestFile(100, path)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::StartPlayFile(101, kWant, path)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::GetFileInfo(102)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::StopPlayFile(103)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::Pause(104)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::Contine(105)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::Seek(106, 1500)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::GetPosition(107)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::SetReplyWnd(108, 3)), IoResult::Ok);

    // Raw packets, to check every length on the wire.
    struct Want
    {
        uint32_t type, id, length;
    };
    const Want wants[] = {{1, 100, 36}, {3, 101, 16}, {5, 102, 36}, {7, 103, 16}, {9, 104, 16},
                          {11, 105, 16}, {17, 107, 24}, {19, 108, 16}};  // Seek 106: no reply
    std::vector<mc::Message> got;
    for (const Want& w : wants) {
        mc::Packet p;
        ASSERT_EQ(h.link->ReadPacket(&p, kLimitMs), IoResult::Ok) << w.id;
        EXPECT_EQ(p.header.close, 0u);
        ASSERT_EQ(p.header.length, w.length) << "reply type " << w.type;
        mc::Message m;
        std::string error;
        ASSERT_TRUE(mc::DecodeMessage(p.payload.data(), p.payload.size(), &m, &error)) << error;
        EXPECT_EQ(m.type, w.type);
        EXPECT_EQ(m.id, w.id);
        EXPECT_EQ(m.hasTrailer, 0u);
        got.push_back(m);
    }
    EXPECT_EQ(got[0].info.durationMs, -1);  // TestFile: the file does not open
    EXPECT_EQ(got[1].result, 0u);           // StartPlayFile: not started
    EXPECT_EQ(got[2].info.durationMs, -1);  // GetFileInfo: idle
    EXPECT_EQ(got[3].result, 1u);
    EXPECT_EQ(got[4].result, 1u);
    EXPECT_EQ(got[5].result, 1u);
    EXPECT_EQ(got[6].positionMs, -1);
    EXPECT_EQ(got[7].result, 1u);

    // The lines of the idle commands, the path in UTF-8.
    const std::string log = h.Log();
    EXPECT_NE(log.find("L2 CMarlinDlg::StartPlayFile /nonexistent/m\xC3\xA9" "dia.mp4\n"), std::string::npos) << log;
    EXPECT_NE(log.find("L2 CMarlinDlg::StartPlayFile /nonexistent/m\xC3\xA9" "dia.mp4 failed\n"), std::string::npos);
    EXPECT_NE(log.find("L2 CMarlinDlg::StopPlayFile \n"), std::string::npos);
    EXPECT_NE(log.find("L2 CMarlinDlg::Pause \n"), std::string::npos);
    EXPECT_NE(log.find("L2 CMarlinDlg::Contine \n"), std::string::npos);
    EXPECT_NE(log.find("L2 CMarlinDlg::Seek 1500\n"), std::string::npos);
}

TEST(HostCommands, NonCommandsAndShortMessagesGetNothingAndChangeNothing)
{
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    ASSERT_EQ(h.Send(mc::RawMessage(12, 1)), IoResult::Ok);                    // type 12
    ASSERT_EQ(h.Send(Cut(mc::SetReplyWnd(2, 0), 11)), IoResult::Ok);          // 11 bytes
    ASSERT_EQ(h.Send(Cut(mc::Quit(3), 11)), IoResult::Ok);                    // 11 bytes of Quit
    ASSERT_EQ(h.Send({}), IoResult::Ok);                                      // empty packet
    for (uint32_t type : {1u, 3u, 13u, 17u, 19u, 24u, 26u, 50u, 0xFFFFFFFFu})
        ASSERT_EQ(h.Send(mc::RawMessage(type, 4, Body().U32(0).bytes)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::GetPosition(9)), IoResult::Ok);
    ExpectNextIsPosition(h, 9);
    EXPECT_TRUE(h.host->IsRunning());
}

TEST(HostCommands, CommandsShorterThanTheirFieldsAreNotExecuted)
{
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    const std::u16string path = u"/tmp/x.mp4";
    // Paths without a terminator inside the message.
    ASSERT_EQ(h.Send(mc::RawMessage(kTestFile, 1, Body().Utf16(path).bytes)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::RawMessage(kTestFile, 2, Body().Utf16(path).Raw("", 1).bytes)), IoResult::Ok);  // half a NUL
    ASSERT_EQ(h.Send(mc::RawMessage(kStartPlayFile, 3, Body().Format(kWant).U32(0).Utf16(path).bytes)), IoResult::Ok);
    // Shorter than the format and reserved word; no path at all.
    ASSERT_EQ(h.Send(Cut(mc::StartPlayFile(4, kWant, path), 39)), IoResult::Ok);
    ASSERT_EQ(h.Send(Cut(mc::StartPlayFile(5, kWant, path), 40)), IoResult::Ok);
    ASSERT_EQ(h.Send(Cut(mc::SetReplyWnd(6, 0), 15)), IoResult::Ok);
    ASSERT_EQ(h.Send(Cut(mc::Seek(7, 2000), 23)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::GetPosition(8)), IoResult::Ok);

    for (uint32_t id : {1u, 2u}) {
        auto m = h.Receive();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->type, 1u);
        EXPECT_EQ(m->id, id);
        EXPECT_EQ(m->info.durationMs, -1);
    }
    for (uint32_t id : {3u, 4u, 5u}) ExpectResult(h, 3, id, 0);
    ExpectResult(h, 19, 6, 0);  // SetReplyWnd failed, and its value 0 was not taken:
    ExpectNextIsPosition(h, 8);  // the host still answers; the Seek had no reply
    const std::string log = h.Log();
    EXPECT_EQ(log.find("CMarlinDlg::StartPlayFile"), std::string::npos) << log;
    EXPECT_EQ(log.find("CMarlinDlg::Seek"), std::string::npos) << log;
}

TEST(HostCommands, SetReplyWndZeroSilencesEverythingUntilANonZeroValueArrives)
{
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    // By the pipe: its own reply and everything after are silent.
    ASSERT_EQ(h.Send(mc::SetReplyWnd(1, 0)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::GetPosition(2)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::Pause(3)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::SetReplyWnd(4, 5)), IoResult::Ok);
    ExpectResult(h, 19, 4, 1);

    // By the window port, all on the window thread in order.
    ASSERT_TRUE(h.SendCopyData(mc::SetReplyWnd(5, 0)));
    ASSERT_TRUE(h.SendCopyData(mc::GetPosition(6)));
    ASSERT_TRUE(h.SendCopyData(mc::SetReplyWnd(7, 1)));
    ExpectResult(h, 19, 7, 1);

    // Silenced by the pipe, woken by the window port.
    ASSERT_EQ(h.Send(mc::SetReplyWnd(8, 0)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::Pause(9)), IoResult::Ok);
    ASSERT_TRUE(h.WaitForLog("CMarlinDlg::Pause ", 2));  // both ran, neither answered
    ASSERT_TRUE(h.SendCopyData(mc::SetReplyWnd(10, 0xFFFFFFFF)));
    ExpectResult(h, 19, 10, 1);
    ASSERT_EQ(h.Send(mc::GetPosition(11)), IoResult::Ok);
    ExpectNextIsPosition(h, 11);
}

TEST(HostCommands, CopyDataCommandsRunOnTheWindowThreadAndAnswerOnTheFirstPipe)
{
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    ASSERT_TRUE(h.SendCopyData(mc::Pause(77), 0x1234));
    ExpectResult(h, 9, 77, 1);
    // The window thread is the main thread, whose id is the process id.
    const std::string onWindowThread = "[" + std::to_string(h.Pid()) + "] L2 CMarlinDlg::Pause ";
    EXPECT_EQ(h.CountInLog(onWindowThread), 1) << h.Log();

    ASSERT_EQ(h.Send(mc::Pause(78)), IoResult::Ok);
    ExpectResult(h, 9, 78, 1);
    EXPECT_EQ(h.CountInLog("CMarlinDlg::Pause "), 2);
    EXPECT_EQ(h.CountInLog(onWindowThread), 1) << "pipe commands run on the reader thread";

    // An empty block and a short one are copied, then dropped by the dispatch.
    ASSERT_TRUE(h.SendCopyData({}));
    ASSERT_TRUE(h.SendCopyData(Cut(mc::GetPosition(2), 11)));
    ASSERT_TRUE(h.SendCopyData(mc::RawMessage(12, 2)));
    ASSERT_TRUE(h.SendCopyData(mc::GetPosition(3)));
    ExpectNextIsPosition(h, 3);
}

}  // namespace
