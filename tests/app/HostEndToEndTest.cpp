// Commands and replies of a running host, as a controller sees them.
#include <gtest/gtest.h>

#include "tests/app/HostHarness.h"

namespace {

using namespace marlin_test;

enum : uint32_t {
    kTestFile = 0, kStartPlayFile = 2, kGetFileInfo = 4, kStopPlayFile = 6, kPause = 8, kContine = 10,
    kSeek = 14, kGetPosition = 16, kSetReplyWnd = 18, kQuit = 25,
};

struct Reply
{
    uint32_t type, id, hasTrailer;
    size_t length;
};

Reply Expect(HostHarness& host)
{
    auto p = host.Receive();
    if (!p) {
        ADD_FAILURE() << "no reply";
        return {~0u, ~0u, ~0u, 0};
    }
    EXPECT_EQ(p->header.close, 0u);
    EXPECT_EQ(p->header.length, p->payload.size());
    if (p->payload.size() < 12) {
        ADD_FAILURE() << "reply shorter than a header";
        return {~0u, ~0u, ~0u, p->payload.size()};
    }
    return {U32At(p->payload, 0), U32At(p->payload, 4), U32At(p->payload, 8), p->payload.size()};
}

// The next packet must be the answer to GetPosition `id` (-1 while idle):
// proof that nothing was sent before it.
void ExpectNextIsPosition(HostHarness& host, uint32_t id)
{
    auto p = host.Receive();
    ASSERT_TRUE(p);
    ASSERT_EQ(p->payload.size(), 24u);
    EXPECT_EQ(U32At(p->payload, 0), 17u);
    EXPECT_EQ(U32At(p->payload, 4), id);
    EXPECT_EQ(I64At(p->payload, 16), -1);
}

TEST(HostCommands, GetPositionWhileIdleIsAnsweredWithTheExactBytes)
{
    HostHarness host;
    ASSERT_TRUE(host.StartAndConnect());
    // 0C 00 00 00 00 00 00 00 | 10 00 00 00 07 00 00 00 00 00 00 00
    ASSERT_TRUE(host.SendPacket(Msg(kGetPosition, 7).bytes));
    auto p = host.Receive();
    ASSERT_TRUE(p);
    const Bytes expected = {0x18, 0, 0, 0, 0, 0, 0, 0,                          // length 24, close 0
                            0x11, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0,              // type 17, id 7
                            0, 0, 0, 0,                                         // reserved
                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};  // -1
    EXPECT_EQ(p->raw, expected);
}

TEST(HostCommands, EveryCommandIsAnsweredWithItsTypeIdAndLength)
{
    HostHarness host;
    ASSERT_TRUE(host.StartAndConnect());
    const std::u16string path = u"/nonexistent/m\u00e9dia.mp4";
    const MediaFormat want{320, 240, 6, 16000, 16, 1};
    ASSERT_TRUE(host.Send(Msg(kTestFile, 100).Path(path)));
    ASSERT_TRUE(host.Send(Msg(kStartPlayFile, 101).Format(want).U32(0).Path(path)));
    ASSERT_TRUE(host.Send(Msg(kGetFileInfo, 102)));
    ASSERT_TRUE(host.Send(Msg(kStopPlayFile, 103)));
    ASSERT_TRUE(host.Send(Msg(kPause, 104)));
    ASSERT_TRUE(host.Send(Msg(kContine, 105)));
    ASSERT_TRUE(host.Send(Msg(kSeek, 106).U32(0).I64(1500)));
    ASSERT_TRUE(host.Send(Msg(kGetPosition, 107)));
    ASSERT_TRUE(host.Send(Msg(kSetReplyWnd, 108).U32(3)));

    struct Want
    {
        uint32_t type, id;
        size_t length;
        size_t valueAt;
        int64_t value;  // int32 field at valueAt, or the int64 position for 17
    };
    const Want wants[] = {
        {1, 100, 36, 12 + 16, -1},  // TestFileReply: durationMs -1
        {3, 101, 16, 12, 0},        // StartPlayFileReply: not started
        {5, 102, 36, 12 + 16, -1},  // GetFileInfoReply: durationMs -1
        {7, 103, 16, 12, 1},
        {9, 104, 16, 12, 1},
        {11, 105, 16, 12, 1},
        {17, 107, 24, 16, -1},      // Seek 106 has no reply
        {19, 108, 16, 12, 1},
    };
    for (const Want& w : wants) {
        auto p = host.Receive();
        ASSERT_TRUE(p) << "reply to id " << w.id;
        ASSERT_EQ(p->payload.size(), w.length) << w.id;
        EXPECT_EQ(U32At(p->payload, 0), w.type);
        EXPECT_EQ(U32At(p->payload, 4), w.id);
        EXPECT_EQ(U32At(p->payload, 8), 0u);
        const int64_t got = w.type == 17 ? I64At(p->payload, w.valueAt)
                                         : static_cast<int32_t>(U32At(p->payload, w.valueAt));
        EXPECT_EQ(got, w.value) << "reply type " << w.type;
    }

    // The lines of the idle commands, the path in UTF-8.
    const std::string log = host.Log();
    EXPECT_NE(log.find("L2 CMarlinDlg::StartPlayFile /nonexistent/m\xC3\xA9" "dia.mp4\n"), std::string::npos) << log;
    EXPECT_NE(log.find("L2 CMarlinDlg::StartPlayFile /nonexistent/m\xC3\xA9" "dia.mp4 failed\n"), std::string::npos);
    EXPECT_NE(log.find("L2 CMarlinDlg::StopPlayFile \n"), std::string::npos);
    EXPECT_NE(log.find("L2 CMarlinDlg::Pause \n"), std::string::npos);
    EXPECT_NE(log.find("L2 CMarlinDlg::Contine \n"), std::string::npos);
    EXPECT_NE(log.find("L2 CMarlinDlg::Seek 1500\n"), std::string::npos);
}

TEST(HostCommands, NonCommandsAndShortMessagesGetNothingAndChangeNothing)
{
    HostHarness host;
    ASSERT_TRUE(host.StartAndConnect());
    ASSERT_TRUE(host.Send(Msg(12, 1)));                              // type 12
    ASSERT_TRUE(host.SendPacket(Msg(kSetReplyWnd, 2).U32(0).Truncate(11).bytes));  // 11 bytes
    ASSERT_TRUE(host.SendPacket(Msg(kQuit, 3).Truncate(11).bytes));  // 11 bytes of Quit: no quit
    ASSERT_TRUE(host.SendPacket({}));                                // empty packet
    for (uint32_t type : {1u, 3u, 13u, 17u, 19u, 24u, 26u, 50u, 0xFFFFFFFFu})
        ASSERT_TRUE(host.Send(Msg(type, 4).U32(0)));
    ASSERT_TRUE(host.Send(Msg(kGetPosition, 9)));
    ExpectNextIsPosition(host, 9);
    EXPECT_TRUE(host.Running());
}

TEST(HostCommands, CommandsShorterThanTheirFieldsAreNotExecuted)
{
    HostHarness host;
    ASSERT_TRUE(host.StartAndConnect());
    const MediaFormat want{320, 240, 6, 16000, 16, 1};
    // TestFile and StartPlayFile whose path has no terminator in the message.
    ASSERT_TRUE(host.Send(Msg(kTestFile, 1).Path(u"/tmp/x.mp4", false)));
    ASSERT_TRUE(host.Send(Msg(kTestFile, 2).Path(u"/tmp/x.mp4", false).Raw("\0", 1)));  // half a terminator
    ASSERT_TRUE(host.Send(Msg(kStartPlayFile, 3).Format(want).U32(0).Path(u"/tmp/short.mp4", false)));
    ASSERT_TRUE(host.Send(Msg(kStartPlayFile, 4).Format(want).Truncate(39)));
    ASSERT_TRUE(host.Send(Msg(kStartPlayFile, 5).Format(want).U32(0)));  // 40 bytes, no path at all
    ASSERT_TRUE(host.Send(Msg(kSetReplyWnd, 6).U32(0).Truncate(15)));
    ASSERT_TRUE(host.Send(Msg(kSeek, 7).U32(0).I64(2000).Truncate(23)));
    ASSERT_TRUE(host.Send(Msg(kGetPosition, 8)));

    auto r = host.Receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(U32At(r->payload, 0), 1u);
    EXPECT_EQ(U32At(r->payload, 4), 1u);
    EXPECT_EQ(static_cast<int32_t>(U32At(r->payload, 12 + 16)), -1);
    r = host.Receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(U32At(r->payload, 4), 2u);
    EXPECT_EQ(static_cast<int32_t>(U32At(r->payload, 12 + 16)), -1);
    for (uint32_t id : {3u, 4u, 5u}) {
        r = host.Receive();
        ASSERT_TRUE(r);
        ASSERT_EQ(r->payload.size(), 16u);
        EXPECT_EQ(U32At(r->payload, 0), 3u);
        EXPECT_EQ(U32At(r->payload, 4), id);
        EXPECT_EQ(U32At(r->payload, 12), 0u);
    }
    r = host.Receive();  // SetReplyWnd failed, and its value 0 was not taken:
    ASSERT_TRUE(r);
    EXPECT_EQ(U32At(r->payload, 0), 19u);
    EXPECT_EQ(U32At(r->payload, 4), 6u);
    EXPECT_EQ(U32At(r->payload, 12), 0u);
    ExpectNextIsPosition(host, 8);  // ... the host still answers; Seek had no reply
    const std::string log = host.Log();
    EXPECT_EQ(log.find("CMarlinDlg::StartPlayFile"), std::string::npos) << log;
    EXPECT_EQ(log.find("CMarlinDlg::Seek"), std::string::npos) << log;
}

TEST(HostCommands, SetReplyWndZeroSilencesEverythingUntilANonZeroValueArrives)
{
    HostHarness host;
    ASSERT_TRUE(host.StartAndConnect());
    // By the pipe: its own reply and everything after are silent.
    ASSERT_TRUE(host.Send(Msg(kSetReplyWnd, 1).U32(0)));
    ASSERT_TRUE(host.Send(Msg(kGetPosition, 2)));
    ASSERT_TRUE(host.Send(Msg(kPause, 3)));
    ASSERT_TRUE(host.Send(Msg(kSetReplyWnd, 4).U32(5)));
    Reply r = Expect(host);
    EXPECT_EQ(r.type, 19u);
    EXPECT_EQ(r.id, 4u);

    // By the window port, all on the window thread in order.
    ASSERT_TRUE(host.SendCopyData(Msg(kSetReplyWnd, 5).U32(0)));
    ASSERT_TRUE(host.SendCopyData(Msg(kGetPosition, 6)));
    ASSERT_TRUE(host.SendCopyData(Msg(kSetReplyWnd, 7).U32(1)));
    r = Expect(host);
    EXPECT_EQ(r.type, 19u);
    EXPECT_EQ(r.id, 7u);

    // Silenced by the pipe, woken by the window port.
    ASSERT_TRUE(host.Send(Msg(kSetReplyWnd, 8).U32(0)));
    ASSERT_TRUE(host.Send(Msg(kPause, 9)));
    ASSERT_TRUE(host.WaitForLog("CMarlinDlg::Pause ", 2));  // both ran, neither answered
    ASSERT_TRUE(host.SendCopyData(Msg(kSetReplyWnd, 10).U32(0xFFFFFFFF)));
    r = Expect(host);
    EXPECT_EQ(r.type, 19u);
    EXPECT_EQ(r.id, 10u);
    ASSERT_TRUE(host.Send(Msg(kGetPosition, 11)));
    ExpectNextIsPosition(host, 11);
}

TEST(HostCommands, CopyDataCommandsRunOnTheWindowThreadAndAnswerOnTheFirstPipe)
{
    HostHarness host;
    ASSERT_TRUE(host.StartAndConnect());
    ASSERT_TRUE(host.SendCopyData(Msg(kPause, 77), 0x1234));
    Reply r = Expect(host);
    EXPECT_EQ(r.type, 9u);
    EXPECT_EQ(r.id, 77u);
    // The window thread is the main thread, whose id is the process id.
    const std::string windowThread = "[" + std::to_string(host.Pid()) + "] L2 CMarlinDlg::Pause ";
    EXPECT_EQ(host.CountInLog(windowThread), 1) << host.Log();

    ASSERT_TRUE(host.Send(Msg(kPause, 78)));
    r = Expect(host);
    EXPECT_EQ(r.id, 78u);
    EXPECT_EQ(host.CountInLog("CMarlinDlg::Pause "), 2);
    EXPECT_EQ(host.CountInLog(windowThread), 1) << "pipe commands run on the reader thread";

    // An empty block and a short one are copied, then dropped by the dispatch.
    ASSERT_TRUE(host.SendCopyData(Msg(kGetPosition, 1).Truncate(0)));
    ASSERT_TRUE(host.SendCopyData(Msg(kGetPosition, 2).Truncate(11)));
    ASSERT_TRUE(host.SendCopyData(Msg(kGetPosition, 3)));
    ExpectNextIsPosition(host, 3);
}

}  // namespace
