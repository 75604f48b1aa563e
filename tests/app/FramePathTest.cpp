// The dialog's frame path in-process: samples fed to OnDateReceive and
// frames to OnVideoFrame / OnAudioFrame come out on a real pipe link, read by
// the controller library.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/MarlinDlg.h"
#include "controller/ControllerLink.h"
#include "controller/Messages.h"
#include "platform/dshow/MediaEventNotify.h"
#include "platform/ui/GraphNotify.h"

namespace {

namespace mc = marlin::controller;
using mc::Bytes;
using mc::IoResult;

constexpr int kLimitMs = 5000;

// A dialog linked to a controller end, without a modal loop.
class FramePath : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/marlin-frames-XXXXXX";
        m_dir = ::mkdtemp(tmpl);
        const std::string base = m_dir + "/f";
        link = mc::ControllerLink::Listen(base);
        ASSERT_TRUE(link);
        dlg = std::make_unique<CMarlinDlg>();
        bool connected = false;
        std::thread connect([&] { connected = dlg->ConnectPipeForTesting(base.c_str()); });
        const bool accepted = link->Accept(kLimitMs);
        connect.join();
        ASSERT_TRUE(accepted && connected);
    }
    void TearDown() override
    {
        dlg.reset();
        link.reset();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    // The next packet, raw, and its decoded message.
    mc::Packet NextPacket()
    {
        mc::Packet p;
        EXPECT_EQ(link->ReadPacket(&p, kLimitMs), IoResult::Ok);
        return p;
    }
    mc::Message Decode(const mc::Packet& p)
    {
        mc::Message m;
        std::string error;
        EXPECT_TRUE(mc::DecodeMessage(p.payload.data(), p.payload.size(), &m, &error)) << error;
        return m;
    }
    mc::Message NextMessage() { return Decode(NextPacket()); }
    // True when nothing arrives within `ms`.
    bool Quiet(int ms) { return link->WaitForEndOfStream(ms) == IoResult::Timeout; }

    std::unique_ptr<mc::ControllerLink> link;
    std::unique_ptr<CMarlinDlg> dlg;

private:
    std::string m_dir;
};

// A picture of one flat colour in I420: Y, then U, then V planes.
std::vector<uint8_t> FlatI420(int w, int h, uint8_t y, uint8_t u, uint8_t v)
{
    std::vector<uint8_t> pic(static_cast<size_t>(w) * h * 3 / 2);
    std::memset(pic.data(), y, static_cast<size_t>(w) * h);
    std::memset(pic.data() + w * h, u, static_cast<size_t>(w) * h / 4);
    std::memset(pic.data() + w * h * 5 / 4, v, static_cast<size_t>(w) * h / 4);
    return pic;
}

int CountLines(const std::string& log, const std::string& line)
{
    int n = 0;
    for (size_t at = log.find(line + "\n"); at != std::string::npos; at = log.find(line + "\n", at + 1)) ++n;
    return n;
}

uint32_t g_fakeTick = 0;
uint32_t FakeTick() { return g_fakeTick; }

const MediaFormat kTarget{80, 60, 0, 16000, 16, 1};  // RGB24 80x60, 16 kHz mono

TEST_F(FramePath, AVideoFrameIsLaidOutWithItsTrailerAndPadding)
{
    dlg->BeginDeliveryForTesting(kTarget, dlg.get());
    dlg->SetPositionForTesting(0x0102030405LL);
    std::vector<uint8_t> data(100);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    const MediaFormat echoed{1, -2, 3, 4, 5, 6};
    dlg->OnVideoFrame(&echoed, data.data(), static_cast<long>(data.size()));

    const mc::Packet p = NextPacket();
    EXPECT_EQ(p.header.length, 174u);  // 182 bytes on the pipe with the packet header
    EXPECT_EQ(p.header.close, 0u);
    ASSERT_EQ(p.payload.size(), 174u);
    const uint8_t* b = p.payload.data();
    EXPECT_EQ(mc::Get32(b, 0), 50u);
    EXPECT_EQ(mc::Get32(b, 8), 1u);
    EXPECT_EQ(std::memcmp(b + 12, &echoed, sizeof echoed), 0);
    EXPECT_EQ(mc::Get32(b, 36), 100u);
    EXPECT_EQ(std::memcmp(b + 40, data.data(), data.size()), 0);
    EXPECT_EQ(mc::Get32(b, 140), 52u);
    EXPECT_EQ(mc::Get32(b, 148), 0u);
    EXPECT_EQ(static_cast<int64_t>(mc::Get64(b, 156)), 0x0102030405LL);
    for (int i = 164; i < 174; ++i) EXPECT_EQ(b[i], 0) << "padding byte " << i;

    // An empty picture still makes a whole message.
    dlg->OnVideoFrame(&echoed, nullptr, 0);
    EXPECT_EQ(NextPacket().header.length, 74u);
}

TEST_F(FramePath, AudioBlocksCarryATrailerOnEverySecondBlockFromTheFirstOfEachPlayback)
{
    dlg->BeginDeliveryForTesting(kTarget, dlg.get());
    std::vector<uint8_t> data(64, 0x11);
    for (int block = 0; block < 5; ++block) {
        dlg->OnAudioFrame(&kTarget, data.data(), 64);
        const mc::Packet p = NextPacket();
        const bool trailer = block % 2 == 0;
        EXPECT_EQ(p.header.length, trailer ? 64u + 74u : 64u + 50u) << "block " << block;
        const mc::Message m = Decode(p);
        EXPECT_EQ(m.hasTrailer, trailer ? 1u : 0u);
        EXPECT_EQ(m.trailerPositionMs.has_value(), trailer);
        EXPECT_EQ(m.data, Bytes(64, 0x11));
    }
    // A new playback starts the parity, the count and the position over.
    dlg->SetPositionForTesting(2500);
    dlg->BeginDeliveryForTesting(kTarget, dlg.get());
    EXPECT_EQ(dlg->FrameCountForTesting(), 0);
    dlg->OnAudioFrame(&kTarget, data.data(), 64);
    const mc::Message m = NextMessage();
    EXPECT_EQ(m.hasTrailer, 1u);
    ASSERT_TRUE(m.trailerPositionMs);
    EXPECT_EQ(*m.trailerPositionMs, 0);
}

// Sound is built in a buffer that grows only past its slack; pictures are
// sent from where they lie, in any size, without such a buffer.
TEST_F(FramePath, MessageBuffersGrowOnlyPastTheirSlack)
{
    dlg->BeginDeliveryForTesting(kTarget, dlg.get());
    std::vector<uint8_t> data(20000, 1);
    dlg->OnVideoFrame(&kTarget, data.data(), 100);
    dlg->OnVideoFrame(&kTarget, data.data(), 2188 - 540);
    dlg->OnVideoFrame(&kTarget, data.data(), 2188 - 540 + 1);
    dlg->OnVideoFrame(&kTarget, data.data(), 10);

    dlg->OnAudioFrame(&kTarget, data.data(), 100);
    EXPECT_EQ(dlg->AudioMsgSizeForTesting(), 100 + 5160);
    dlg->OnAudioFrame(&kTarget, data.data(), 5260 - 140);
    EXPECT_EQ(dlg->AudioMsgSizeForTesting(), 100 + 5160);
    dlg->OnAudioFrame(&kTarget, data.data(), 5260 - 140 + 1);
    EXPECT_EQ(dlg->AudioMsgSizeForTesting(), 5260 - 140 + 1 + 5160);

    // Every message arrived whole after each growth.
    const long lengths[] = {100, 1648, 1649, 10, 100, 5120, 5121};
    for (long length : lengths) EXPECT_EQ(NextMessage().data.size(), static_cast<size_t>(length));
    // Lengths that cannot be framed are dropped, not sent.
    dlg->OnVideoFrame(&kTarget, data.data(), -1);
    dlg->OnAudioFrame(&kTarget, data.data(), -5);
    EXPECT_TRUE(Quiet(100));
}

TEST_F(FramePath, OneFrameCounterForBothKindsPacesTheLogLines)
{
    dlg->BeginDeliveryForTesting(kTarget, dlg.get());
    std::vector<uint8_t> data(8, 0);
    ::testing::internal::CaptureStderr();
    // 300 pictures, then 301 sound blocks: messages 0, 300 and 600 of the
    // shared count write their line, the first a picture's, the others sound's.
    std::thread reader([&] {
        for (int i = 0; i < 601; ++i) NextPacket();
    });
    for (int i = 0; i < 601; ++i) {
        if (i < 300)
            dlg->OnVideoFrame(&kTarget, data.data(), 8);
        else
            dlg->OnAudioFrame(&kTarget, data.data(), 8);
    }
    reader.join();
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(log, "CMarlinDlg::OnVideoFrame"), 1) << log.substr(0, 2000);
    EXPECT_EQ(CountLines(log, "CMarlinDlg::OnAudioFrame"), 2);
    EXPECT_EQ(dlg->FrameCountForTesting(), 601);
}

TEST_F(FramePath, PicturesAreConvertedToTheTargetAndTheReceiveLineIsThrottled)
{
    CMarlinDlg::SetTickSourceForTesting(&FakeTick);
    CMarlinDlg::SetVideoLogTimeForTesting(0);
    dlg->BeginDeliveryForTesting(kTarget, dlg.get());
    const MediaFormat source{160, 120, 12, 0, 0, 0};  // I420
    const std::vector<uint8_t> grey = FlatI420(160, 120, 126, 128, 128);

    ::testing::internal::CaptureStderr();
    g_fakeTick = 30000;  // not above 30 s since 0: no line
    dlg->OnDateReceive(true, &source, grey.data(), static_cast<int32_t>(grey.size()));
    g_fakeTick = 30001;  // the first picture that logs
    dlg->OnDateReceive(true, &source, grey.data(), static_cast<int32_t>(grey.size()));
    g_fakeTick = 60001;  // exactly 30 s later: no line
    dlg->OnDateReceive(true, &source, grey.data(), static_cast<int32_t>(grey.size()));
    g_fakeTick = 60002;
    dlg->OnDateReceive(true, &source, grey.data(), static_cast<int32_t>(grey.size()));
    for (int i = 0; i < 4; ++i) {
        const mc::Message m = NextMessage();
        EXPECT_EQ(m.type, 50u);
        ASSERT_EQ(m.data.size(), 80u * 60u * 3u);
        EXPECT_EQ(std::memcmp(&m.format, &kTarget, sizeof kTarget), 0);
        for (uint8_t byte : m.data) ASSERT_NEAR(byte, 128, 6) << "flat grey in, flat grey out";
    }
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountLines(log, "CMarlinDlg::OnDateReceive receive video data"), 2) << log;
    EXPECT_EQ(CountLines(log, "CMarlinDlg::OnDateReceive send video data client"), 2) << log;
    // A wrapped tick compares by unsigned difference.
    CMarlinDlg::SetVideoLogTimeForTesting(0xFFFFFF00u);
    g_fakeTick = 29000;
    ::testing::internal::CaptureStderr();
    dlg->OnDateReceive(true, &source, grey.data(), static_cast<int32_t>(grey.size()));
    NextPacket();
    EXPECT_EQ(CountLines(::testing::internal::GetCapturedStderr(), "CMarlinDlg::OnDateReceive receive video data"), 0);
    CMarlinDlg::SetTickSourceForTesting(nullptr);
    CMarlinDlg::SetVideoLogTimeForTesting(0);
}

TEST_F(FramePath, PicturesInPlanesComeOutWholeWhetherCopiedOrSentFromTheDecodersFrame)
{
    // A decoder's frame at the target's own size whose planes have no gap
    // between lines: I420 and NV12 send planes straight from it, YV12 is
    // converted. Each message holds the whole picture in the target layout.
    const int w = 160, h = 120, cw = w / 2, ch = h / 2;
    std::vector<uint8_t> y(w * h), u(cw * ch), v(cw * ch);
    for (size_t i = 0; i < y.size(); ++i) y[i] = static_cast<uint8_t>(i * 13 + 1);
    for (size_t i = 0; i < u.size(); ++i) {
        u[i] = static_cast<uint8_t>(i * 5 + 2);
        v[i] = static_cast<uint8_t>(i * 3 + 7);
    }
    PicturePlanes planes;
    planes.data[0] = y.data();
    planes.data[1] = u.data();
    planes.data[2] = v.data();
    planes.stride[0] = w;
    planes.stride[1] = planes.stride[2] = cw;
    const MediaFormat source{w, h, 12, 0, 0, 0};
    for (int code : {12, 22, 16}) {
        std::vector<uint8_t> want(y);
        if (code == 22) {
            for (int i = 0; i < cw * ch; ++i) {
                want.push_back(u[i]);
                want.push_back(v[i]);
            }
        } else {
            want.insert(want.end(), (code == 16 ? v : u).begin(), (code == 16 ? v : u).end());
            want.insert(want.end(), (code == 16 ? u : v).begin(), (code == 16 ? u : v).end());
        }
        const MediaFormat target{w, h, code, 16000, 16, 1};
        dlg->BeginDeliveryForTesting(target, dlg.get());
        ASSERT_TRUE(dlg->OnPictureReceive(&source, planes, SampleStamp{}));
        const mc::Packet p = NextPacket();
        EXPECT_EQ(p.header.length, 40u + want.size() + 34u) << code;
        const mc::Message m = Decode(p);
        EXPECT_EQ(m.type, 50u);
        EXPECT_TRUE(m.data == want) << code;
        dlg->EndDeliveryForTesting();
    }
}

TEST_F(FramePath, AFailedInitDisablesVideoUntilTheNextPlayback)
{
    const MediaFormat source{160, 120, 12, 0, 0, 0};
    const std::vector<uint8_t> pic = FlatI420(160, 120, 80, 128, 128);
    // Code 11 is no format the converter knows: Init refuses it.
    dlg->BeginDeliveryForTesting(MediaFormat{80, 60, 11, 16000, 16, 1}, dlg.get());
    dlg->OnDateReceive(true, &source, pic.data(), static_cast<int32_t>(pic.size()));
    EXPECT_FALSE(dlg->VideoEnabledForTesting());
    EXPECT_FALSE(dlg->HasConverterForTesting());
    dlg->OnDateReceive(true, &source, pic.data(), static_cast<int32_t>(pic.size()));
    EXPECT_TRUE(Quiet(100));
    dlg->EndDeliveryForTesting();

    dlg->BeginDeliveryForTesting(kTarget, dlg.get());
    EXPECT_TRUE(dlg->VideoEnabledForTesting());
    dlg->OnDateReceive(true, &source, pic.data(), static_cast<int32_t>(pic.size()));
    EXPECT_EQ(NextMessage().data.size(), 80u * 60u * 3u);
    // A picture the converter rejects (too short) is dropped silently.
    dlg->OnDateReceive(true, &source, pic.data(), 100);
    EXPECT_TRUE(Quiet(100));
    EXPECT_TRUE(dlg->VideoEnabledForTesting());
    dlg->EndDeliveryForTesting();
    EXPECT_FALSE(dlg->HasConverterForTesting());
}

TEST_F(FramePath, ASourceThatChangesSizeGetsAConverterOfItsOwnToTheSameTarget)
{
    dlg->BeginDeliveryForTesting(kTarget, dlg.get());
    const MediaFormat small{160, 120, 12, 0, 0, 0};
    const MediaFormat large{320, 240, 12, 0, 0, 0};
    const std::vector<uint8_t> dark = FlatI420(160, 120, 40, 128, 128);
    const std::vector<uint8_t> bright = FlatI420(320, 240, 200, 128, 128);
    dlg->OnDateReceive(true, &small, dark.data(), static_cast<int32_t>(dark.size()));
    dlg->OnDateReceive(true, &large, bright.data(), static_cast<int32_t>(bright.size()));
    dlg->OnDateReceive(true, &small, dark.data(), static_cast<int32_t>(dark.size()));
    const int levels[] = {28, 214, 28};  // RGB of Y 40 and Y 200 (limited range)
    for (int level : levels) {
        const mc::Message m = NextMessage();
        ASSERT_EQ(m.data.size(), 80u * 60u * 3u);
        for (uint8_t byte : m.data) ASSERT_NEAR(byte, level, 8);
    }
}

TEST_F(FramePath, SoundIsResampledToTheTargetAndNothingLeavesWithoutASink)
{
    dlg->BeginDeliveryForTesting(kTarget, dlg.get());
    const MediaFormat source{0, 0, 0, 32000, 16, 2};
    std::vector<uint8_t> block(3200 * 4, 0);  // 100 ms of stereo silence
    dlg->OnDateReceive(false, &source, block.data(), static_cast<int32_t>(block.size()));
    const mc::Message m = NextMessage();
    EXPECT_EQ(m.type, 51u);
    EXPECT_EQ(m.hasTrailer, 1u);
    EXPECT_NEAR(static_cast<double>(m.data.size()) / 2, 1600, 40) << "100 ms at 16 kHz mono";
    EXPECT_TRUE(dlg->HasResamplerForTesting());
    dlg->EndDeliveryForTesting();
    EXPECT_FALSE(dlg->HasResamplerForTesting());

    // Without a frame sink the converters still run, but nothing is sent.
    dlg->BeginDeliveryForTesting(kTarget, nullptr);
    dlg->OnDateReceive(false, &source, block.data(), static_cast<int32_t>(block.size()));
    const std::vector<uint8_t> pic = FlatI420(160, 120, 80, 128, 128);
    const MediaFormat picture{160, 120, 12, 0, 0, 0};
    dlg->OnDateReceive(true, &picture, pic.data(), static_cast<int32_t>(pic.size()));
    EXPECT_TRUE(Quiet(150));
    EXPECT_TRUE(dlg->HasConverterForTesting());
    dlg->EndDeliveryForTesting();
}

TEST(FramePathRules, ConverterModeFlagAndYV12FlagFollowTheSourceCode)
{
    for (int code : {6, 11, 12, 16, 21, 22}) EXPECT_EQ(CMarlinDlg::ModeFlagFor(code), 0) << code;
    for (int code : {0, 2, 3, 4, 10, 13, 19, -1, 99}) EXPECT_EQ(CMarlinDlg::ModeFlagFor(code), 1) << code;
    EXPECT_EQ(CMarlinDlg::IsYV12For(16), 1);
    for (int code : {0, 6, 12, 19, 22}) EXPECT_EQ(CMarlinDlg::IsYV12For(code), 0) << code;
}

TEST(FramePathRules, TheTestButtonSeeksOneSecondBeforeTheEndButNeverBelowZero)
{
    EXPECT_EQ(CMarlinDlg::TestSeekTarget(4000), 3000);
    EXPECT_EQ(CMarlinDlg::TestSeekTarget(1001), 1);
    EXPECT_EQ(CMarlinDlg::TestSeekTarget(1000), 0);
    EXPECT_EQ(CMarlinDlg::TestSeekTarget(400), 0);
    EXPECT_EQ(CMarlinDlg::TestSeekTarget(-1), 0);
    EXPECT_EQ(CMarlinDlg::TestSeekTarget(INT32_MAX), static_cast<int64_t>(INT32_MAX) - 1000);
    // The sample is found from the build tree.
    const std::u16string path = CMarlinDlg::TestMediaPath();
    EXPECT_TRUE(std::filesystem::is_regular_file(std::string(path.begin(), path.end())));
}

TEST(GraphNotifyPoster, PostsOnlyToLiveRunningWindows)
{
    InstallGraphNotifyPoster();
    OAHWND handle = 0;
    {
        CMarlinDlg dlg;
        handle = NotifyWindowOf(dlg);
        // The window is not running: nothing can be queued.
        EXPECT_FALSE(PostNotifyMessage(handle, CMarlinDlg::WM_GRAPH_NOTIFY, 0, 0));
    }
    // A gone dialog is never touched.
    EXPECT_FALSE(PostNotifyMessage(handle, CMarlinDlg::WM_GRAPH_NOTIFY, 0, 0));
    EXPECT_FALSE(PostNotifyMessage(0, CMarlinDlg::WM_GRAPH_NOTIFY, 0, 0));
}

}  // namespace
