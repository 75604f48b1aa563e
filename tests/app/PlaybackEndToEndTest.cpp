// Playback through the real host: commands, frames and their timing as a
// controller sees them, on small files made by ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>

#include "platform/os/Unicode.h"
#include "tests/app/PlaybackTestSupport.h"

namespace {

using namespace marlin_test;
using mc::IoResult;
using mc::MessageKind;
using std::chrono::milliseconds;

std::u16string U16(const std::string& s) { return Utf8ToUtf16(s); }

int BytesPerPixel(int32_t colorSpace)
{
    switch (colorSpace) {
    case 0: return 3;
    case 2: return 4;
    default: return 2;  // YUY2, RGB565 ...
    }
}

long long Ms(Clock::duration d) { return std::chrono::duration_cast<milliseconds>(d).count(); }

// Starts `path` in `want` and expects reply 1.
void StartOk(HostHarness& h, Collector& c, uint32_t id, const MediaFormat& want, const std::string& path)
{
    ASSERT_EQ(h.Send(mc::StartPlayFile(id, want, U16(path))), IoResult::Ok);
    auto reply = c.Reply(3, id);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->result, 1u) << h.Log();
}

// Starts `path` as StartOk does and reads until the first picture.
void StartUntilPicture(HostHarness& h, Collector& c, const MediaFormat& want, const std::string& path)
{
    ASSERT_NO_FATAL_FAILURE(StartOk(h, c, 1, want, path));
    ASSERT_TRUE(c.ReadUntil(IsVideo));
}

bool SameFormat(const MediaFormat& a, const MediaFormat& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The whole playback of a file in one format: every frame's shape, counts
// against ffprobe, pacing, trailers, one PlayComplete.
void PlayWholeFile(const MediaFormat& want)
{
    const std::string movie = MakeMovie(3);
    ASSERT_FALSE(movie.empty());
    const int64_t pictures = ProbeVideoFrames(movie);
    const double soundSeconds = ProbeStreamDuration(movie, 1);
    ASSERT_GT(pictures, 0);

    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    const auto start = Clock::now();
    ASSERT_NO_FATAL_FAILURE(StartOk(h, c, 1, want, movie));

    // Properties while playing: the capture renderer offers no video window.
    ASSERT_EQ(h.Send(mc::GetFileInfo(2)), IoResult::Ok);
    auto info = c.Reply(5, 2);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->info.hasVideo, 0);
    EXPECT_NEAR(info->info.durationMs, 3000, 100);

    ASSERT_TRUE(c.ReadUntil([](const mc::Message& m) { return m.type == 53; }, milliseconds(10000)));
    // Nothing more: the next message answers GetPosition, no second PlayComplete.
    ASSERT_EQ(h.Send(mc::GetPosition(3)), IoResult::Ok);
    const size_t before = c.all.size();
    ASSERT_TRUE(c.Reply(17, 3));
    EXPECT_EQ(c.all.size(), before + 1) << "messages after the play-complete notice";
    EXPECT_EQ(c.Find([](const mc::Message& m) { return m.type == 53; }),
              static_cast<long>(before) - 1);

    const auto video = c.Frames(50);
    const auto audio = c.Frames(51);
    const size_t pictureBytes = static_cast<size_t>(want.width) * want.height * BytesPerPixel(want.colorSpace);
    EXPECT_EQ(static_cast<int64_t>(video.size()), pictures) << "every picture, once";
    int64_t lastPosition = -1;
    for (const Arrival* a : video) {
        const mc::Message& m = a->message;
        ASSERT_EQ(m.data.size(), pictureBytes);
        ASSERT_TRUE(SameFormat(m.format, want));
        ASSERT_EQ(m.hasTrailer, 1u);
        ASSERT_TRUE(m.trailerPositionMs);
        EXPECT_GE(*m.trailerPositionMs, lastPosition) << "trailer positions never go back";
        lastPosition = *m.trailerPositionMs;
    }
    // 0 from the start, or what the poller read just after it.
    EXPECT_LE(*video.front()->message.trailerPositionMs, 100);
    EXPECT_GE(lastPosition, 1000) << "the poller refreshed the position during 3 s of play";
    EXPECT_LE(lastPosition, 3100);

    // Paced at 25 fps on the wall clock (loose).
    const long long span = Ms(video.back()->at - video.front()->at);
    const long long ideal = (pictures - 1) * 40;
    EXPECT_GT(span, ideal * 6 / 10) << "pictures came faster than their frame rate";
    EXPECT_LT(span, ideal * 2 + 1000);
    EXPECT_LT(Ms(video.front()->at - start), 3000);

    // Sound: trailer on blocks 0, 2, 4, ...; the whole duration within one block.
    ASSERT_FALSE(audio.empty());
    size_t samples = 0, largest = 0;
    for (size_t i = 0; i < audio.size(); ++i) {
        const mc::Message& m = audio[i]->message;
        ASSERT_TRUE(SameFormat(m.format, want));
        ASSERT_EQ(m.hasTrailer, i % 2 == 0 ? 1u : 0u) << "block " << i;
        ASSERT_EQ(m.trailerPositionMs.has_value(), i % 2 == 0);
        ASSERT_EQ(m.data.size() % (2 * want.channels), 0u);
        const size_t frames = m.data.size() / (2 * want.channels);
        samples += frames;
        largest = std::max(largest, frames);
    }
    const double expected = soundSeconds * want.sampleRate;
    EXPECT_NEAR(static_cast<double>(samples), expected, static_cast<double>(largest) + 64)
        << "delivered " << samples << " sample frames for " << soundSeconds << " s";
    EXPECT_EQ(h.CountInLog("CMarlinDlg::StartPlayFile " + movie + " success!\n"), 1) << h.Log();
}

TEST(HostPlayback, YUY2Mono16kPlaysTheWholeFile) { PlayWholeFile(MediaFormat{320, 240, 6, 16000, 16, 1}); }

TEST(HostPlayback, RGB24Stereo48kPlaysTheWholeFile) { PlayWholeFile(MediaFormat{640, 360, 0, 48000, 16, 2}); }

TEST(HostPlayback, TheTestButtonPlaysTheSampleOnTheWindowThreadAndSeeksToItsLastSecond)
{
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    ASSERT_TRUE(h.SendCommandId(1000));
    const std::string window = "[" + std::to_string(h.Pid()) + "] L2 ";
    // media/sample.mp4 of the project: 4 s, so the seek goes to 3000.
    ASSERT_TRUE(h.WaitForLog(window + "CMarlinDlg::Seek 3000\n")) << h.Log();
    const std::string sample = std::string(MARLIN_SOURCE_DIR) + "/media/sample.mp4";
    EXPECT_EQ(h.CountInLog(window + "CMarlinDlg::StartPlayFile " + sample + " success!\n"), 1) << h.Log();
    ASSERT_TRUE(c.ReadUntil([](const mc::Message& m) { return m.type == 53; }, milliseconds(6000)));
    const auto video = c.Frames(50);
    ASSERT_FALSE(video.empty());
    EXPECT_LT(video.size(), 50u) << "the playback went on from 3 s";
    const MediaFormat want{320, 240, 6, 16000, 16, 1};
    for (const Arrival* a : video) {
        ASSERT_TRUE(SameFormat(a->message.format, want));
        ASSERT_EQ(a->message.data.size(), 320u * 240u * 2u);
    }
    EXPECT_GE(*video.back()->message.trailerPositionMs, 2900);
    EXPECT_FALSE(c.Frames(51).empty());
}

TEST(HostPlayback, TestFileReportsVideoSoundAndMissingFiles)
{
    const std::string movie = MakeMovie(3);
    const std::string sound = MakeSound();
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    ASSERT_EQ(h.Send(mc::TestFile(1, U16(movie))), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::TestFile(2, U16(sound))), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::TestFile(3, u"/nonexistent/none.mp4")), IoResult::Ok);
    auto m = c.Reply(1, 1);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->info.alwaysOne, 1);
    EXPECT_NEAR(m->info.durationMs, 3000, 100);
    if (m->info.hasVideo) {
        EXPECT_EQ(m->info.width, 320);
        EXPECT_EQ(m->info.height, 240);
        EXPECT_EQ(m->info.framesPerSecond, 25);
    }
    m = c.Reply(1, 2);
    ASSERT_TRUE(m);
    EXPECT_NEAR(m->info.durationMs, 1000, 50);
    m = c.Reply(1, 3);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->info.durationMs, -1);
    // A test touches no playback state: the host is still idle.
    ASSERT_EQ(h.Send(mc::GetPosition(4)), IoResult::Ok);
    m = c.Reply(17, 4);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->positionMs, -1);
    EXPECT_EQ(h.CountInLog("CMarlinDlg::TestFile 3000\n"), 1) << h.Log();
    EXPECT_EQ(h.CountInLog("CMarlinDlg::TestFile 1000\n"), 1) << h.Log();
}

TEST(HostPlayback, PauseStopsFramesAndContineResumesThem)
{
    const std::string movie = MakeMovie(3);
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    ASSERT_NO_FATAL_FAILURE(StartUntilPicture(h, c, MediaFormat{160, 120, 6, 16000, 16, 1}, movie));
    ASSERT_EQ(h.Send(mc::Pause(2)), IoResult::Ok);
    auto r = c.Reply(9, 2);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->result, 1u);
    // A sample already in hand may still leave; then nothing for a while.
    c.ReadFor(milliseconds(150));
    const size_t settled = c.all.size();
    c.ReadFor(milliseconds(700));
    EXPECT_EQ(c.all.size(), settled) << "frames while paused";
    ASSERT_EQ(h.Send(mc::GetPosition(3)), IoResult::Ok);
    auto p1 = c.Reply(17, 3);
    ASSERT_TRUE(p1);

    // Contine by the second carrier: it runs on the window thread.
    ASSERT_TRUE(h.SendCopyData(mc::Contine(4)));
    r = c.Reply(11, 4);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->result, 1u);
    const size_t resumed = c.all.size();
    ASSERT_TRUE(c.ReadUntil([](const mc::Message& m) { return IsVideo(m); }, milliseconds(2000)));
    c.ReadFor(milliseconds(300));
    EXPECT_GE(c.Frames(50, resumed).size(), 3u) << "pictures flow again";
    ASSERT_EQ(h.Send(mc::GetPosition(5)), IoResult::Ok);
    auto p2 = c.Reply(17, 5);
    ASSERT_TRUE(p2);
    EXPECT_GT(p2->positionMs, p1->positionMs) << "the playback moves on after Contine";
    EXPECT_LT(p2->positionMs - p1->positionMs, 1500) << "the pause held the position";
    EXPECT_EQ(h.CountInLog("CMarlinDlg::Pause \n"), 1) << h.Log();
    const std::string window = "[" + std::to_string(h.Pid()) + "] L2 ";
    EXPECT_EQ(h.CountInLog(window + "CMarlinDlg::Contine \n"), 1) << h.Log();
}

TEST(HostPlayback, SeekToTheMiddleIsNotAnsweredAndLaterTrailersCarryTheKeyFramePosition)
{
    const std::string movie = MakeMovie(3);
    std::vector<int64_t> keys;
    for (const auto& p : lavtest::Probe::Packets(movie, 0))
        if (p.key) keys.push_back(std::llround(p.pts * 1000));
    ASSERT_GE(keys.size(), 3u);

    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    ASSERT_NO_FATAL_FAILURE(StartUntilPicture(h, c, MediaFormat{160, 120, 0, 16000, 16, 1}, movie));
    ASSERT_EQ(h.Send(mc::Seek(2, 1500)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::GetPosition(3)), IoResult::Ok);
    const size_t from = c.all.size();
    auto p = c.Reply(17, 3);
    ASSERT_TRUE(p);
    for (size_t i = from; i + 1 < c.all.size(); ++i)
        EXPECT_TRUE(IsFrame(c.all[i].message)) << "Seek was answered with type " << c.all[i].message.type;
    EXPECT_GE(p->positionMs, 900);

    // The first picture decoded after the seek is a key frame; its trailer
    // carries the position read back right after the seek.
    const size_t after = c.all.size();
    ASSERT_TRUE(c.ReadUntil([](const mc::Message& m) { return IsVideo(m); }));
    const int64_t trailer = *c.all.back().message.trailerPositionMs;
    const bool nearKey = std::any_of(keys.begin(), keys.end(), [&](int64_t k) {
        return k >= 900 && trailer >= k - 50 && trailer <= k + 300;
    });
    EXPECT_TRUE(nearKey) << "trailer " << trailer;
    for (const Arrival* a : c.Frames(50, after)) EXPECT_GE(*a->message.trailerPositionMs, 900);
    EXPECT_EQ(h.CountInLog("CMarlinDlg::Seek 1500\n"), 1) << h.Log();
}

// Every picture a key frame, so that a seek lands where it is asked.
TEST(HostPlayback, ASeekToWhereTheLastOneWentSeeksAgainAlsoAfterTheEnd)
{
    const std::string movie = lavtest::MakeMedia(
        "host-intra2",
        "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -f lavfi -i sine=frequency=440:sample_rate=44100:"
        "duration=2 -ac 2 -c:v libx264 -preset veryfast -bf 0 -g 1 -pix_fmt yuv420p -c:a aac -b:a 64k -shortest",
        ".mp4");
    ASSERT_FALSE(movie.empty());
    const double start = lavtest::Probe::Format(movie).startTime;
    const auto packets = lavtest::Probe::Packets(movie, 0);
    auto picturesFrom = [&](int ms) {
        return std::count_if(packets.begin(), packets.end(),
                             [&](const lavtest::ProbePacket& p) { return (p.pts - start) * 1000 >= ms - 1; });
    };
    auto isComplete = [](const mc::Message& m) { return m.type == 53; };

    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    ASSERT_NO_FATAL_FAILURE(StartUntilPicture(h, c, MediaFormat{160, 120, 6, 16000, 16, 1}, movie));

    // The same place twice while playing: the second seek plays again every
    // picture from the position it reports, none run behind it.
    ASSERT_EQ(h.Send(mc::Seek(2, 1000)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::GetPosition(3)), IoResult::Ok);
    ASSERT_TRUE(c.Reply(17, 3));
    size_t shown = 0;
    ASSERT_TRUE(c.ReadUntil([&](const mc::Message& m) { return IsVideo(m) && ++shown == 4; }));
    const size_t secondSeek = c.all.size();
    ASSERT_EQ(h.Send(mc::Seek(4, 1000)), IoResult::Ok);
    ASSERT_EQ(h.Send(mc::GetPosition(5)), IoResult::Ok);
    auto p = c.Reply(17, 5);
    ASSERT_TRUE(p);
    EXPECT_NEAR(static_cast<double>(p->positionMs), 1000, 100);
    ASSERT_TRUE(c.ReadUntil(isComplete));
    // Pictures of the first seek may still be on their way when it is sent.
    const long replayed = static_cast<long>(c.Frames(50, secondSeek).size());
    EXPECT_GE(replayed, picturesFrom(1000));
    EXPECT_LE(replayed, picturesFrom(1000) + 3);

    // Near the end, after the end, the same seek plays the end again.
    for (uint32_t id : {6u, 7u}) {
        SCOPED_TRACE(id);
        const size_t from = c.all.size();
        ASSERT_EQ(h.Send(mc::Seek(id, 1920)), IoResult::Ok);
        ASSERT_TRUE(c.ReadUntil(isComplete, milliseconds(4000)));
        EXPECT_EQ(static_cast<long>(c.Frames(50, from).size()), picturesFrom(1920));
    }
}

TEST(HostPlayback, GetPositionRisesDuringPlayAndIsMinusOneAfterAFailedStart)
{
    const std::string movie = MakeMovie(3);
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    ASSERT_NO_FATAL_FAILURE(StartUntilPicture(h, c, MediaFormat{160, 120, 6, 16000, 16, 1}, movie));
    ASSERT_EQ(h.Send(mc::GetPosition(2)), IoResult::Ok);
    auto a = c.Reply(17, 2);
    ASSERT_TRUE(a);
    c.ReadFor(milliseconds(500));
    ASSERT_EQ(h.Send(mc::GetPosition(3)), IoResult::Ok);
    auto b = c.Reply(17, 3);
    ASSERT_TRUE(b);
    EXPECT_GE(a->positionMs, 0);
    EXPECT_GT(b->positionMs, a->positionMs + 200);

    // A start that fails stops the old playback and leaves the host idle.
    ASSERT_EQ(h.Send(mc::StartPlayFile(4, MediaFormat{160, 120, 6, 16000, 16, 1}, u"/nonexistent/x.mp4")),
              IoResult::Ok);
    auto r = c.Reply(3, 4);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->result, 0u);
    ASSERT_EQ(h.Send(mc::GetPosition(5)), IoResult::Ok);
    const size_t from = c.all.size();
    auto p = c.Reply(17, 5);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->positionMs, -1);
    EXPECT_EQ(c.all.size(), from + 1) << "frames after a failed start";
    ASSERT_EQ(h.Send(mc::GetFileInfo(6)), IoResult::Ok);
    auto info = c.Reply(5, 6);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->info.durationMs, -1);
    EXPECT_EQ(h.CountInLog("CMarlinDlg::StartPlayFile /nonexistent/x.mp4 failed\n"), 1) << h.Log();
}

TEST(HostPlayback, AFileThatCannotBePlayedAnswersZeroAndLeavesTheHostIdle)
{
    char tmpl[] = "/tmp/marlin-bad-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    const std::string bad = dir + "/garbage.mp4";
    {
        std::ofstream out(bad, std::ios::binary);
        for (int i = 0; i < 4096; ++i) out.put(static_cast<char>((i * 131) ^ 0x5A));
    }
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    ASSERT_EQ(h.Send(mc::StartPlayFile(1, MediaFormat{160, 120, 6, 16000, 16, 1}, U16(bad))), IoResult::Ok);
    auto r = c.Reply(3, 1);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->result, 0u);
    ASSERT_EQ(h.Send(mc::GetPosition(2)), IoResult::Ok);
    auto p = c.Reply(17, 2);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->positionMs, -1);
    EXPECT_EQ(c.all.size(), 2u);
    EXPECT_EQ(h.CountInLog("CMarlinDlg::StartPlayFile " + bad + " failed\n"), 1) << h.Log();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

TEST(HostPlayback, StartWhilePlayingStopsTheOldPlaybackAndTheNewOneStartsAfresh)
{
    const std::string movie = MakeMovie(3);
    const MediaFormat first{160, 120, 0, 48000, 16, 2};
    const MediaFormat second{320, 240, 6, 16000, 16, 1};
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    ASSERT_NO_FATAL_FAILURE(StartOk(h, c, 1, first, movie));
    // Play long enough for the cached position to move off 0 and for an
    // odd or even number of sound blocks to have gone.
    ASSERT_TRUE(c.ReadUntil([](const mc::Message& m) {
        return IsVideo(m) && m.trailerPositionMs && *m.trailerPositionMs >= 1000;
    }));
    c.ReadFor(milliseconds(20));
    const size_t from = c.all.size();
    ASSERT_NO_FATAL_FAILURE(StartOk(h, c, 2, second, movie));
    c.ReadFor(milliseconds(300));

    // Frames of the new playback are those in its format.
    const auto isNew = [&](const mc::Message& m) { return IsFrame(m) && SameFormat(m.format, second); };
    const long firstNew = c.Find(isNew, from);
    ASSERT_GE(firstNew, 0);
    for (size_t i = static_cast<size_t>(firstNew); i < c.all.size(); ++i)
        ASSERT_FALSE(IsFrame(c.all[i].message) && !isNew(c.all[i].message)) << "an old frame after a new one";
    const long firstAudio = c.Find([&](const mc::Message& m) { return isNew(m) && IsAudio(m); }, from);
    ASSERT_GE(firstAudio, 0);
    EXPECT_EQ(c.all[firstAudio].message.hasTrailer, 1u) << "the first block of a playback carries a trailer";
    const long firstVideo = c.Find([&](const mc::Message& m) { return isNew(m) && IsVideo(m); }, from);
    ASSERT_GE(firstVideo, 0);
    // The old playback was past 1000 ms; the new one starts again from 0 (on a
    // loaded machine the poller may already have moved it a little).
    EXPECT_LT(*c.all[firstVideo].message.trailerPositionMs, 600) << "the new playback starts at position 0";
    EXPECT_LT(*c.all[firstAudio].message.trailerPositionMs, 600);

    // The log: the old playback stopped before the new one started.
    const std::string log = h.Log();
    const size_t secondStart = log.find("CMarlinDlg::StartPlayFile " + movie + "\n", log.find(" success!"));
    ASSERT_NE(secondStart, std::string::npos) << log;
    const size_t stop = log.find("CMarlinDlg::StopPlayFile \n", secondStart);
    const size_t success = log.find("CMarlinDlg::StartPlayFile " + movie + " success!\n", secondStart);
    ASSERT_NE(stop, std::string::npos) << log;
    EXPECT_LT(stop, success) << log;
}

TEST(HostPlayback, StopDuringHeavyStreamingReturnsPromptlyAndNoOldFrameFollowsItsReply)
{
    const std::string movie = MakeMovie(3);
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    // 1280x720 RGB32: 3.7 MB a picture, 92 MB/s.
    ASSERT_NO_FATAL_FAILURE(StartUntilPicture(h, c, MediaFormat{1280, 720, 2, 48000, 16, 2}, movie));
    // Let the host's writes back up against a controller that reads nothing.
    std::this_thread::sleep_for(milliseconds(300));
    const auto sent = Clock::now();
    ASSERT_EQ(h.Send(mc::StopPlayFile(2)), IoResult::Ok);
    auto r = c.Reply(7, 2);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->result, 1u);
    EXPECT_LT(Ms(Clock::now() - sent), 2000) << "StopPlayFile took too long";
    const size_t replied = c.all.size();
    ASSERT_EQ(h.Send(mc::GetPosition(3)), IoResult::Ok);
    auto p = c.Reply(17, 3);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->positionMs, -1);
    EXPECT_EQ(c.all.size(), replied + 1) << "a frame came after the stop reply";
    c.ReadFor(milliseconds(200));
    EXPECT_EQ(c.all.size(), replied + 1);
}

TEST(HostPlayback, QuitDuringPlaybackEndsTheHostWithinASecond)
{
    const std::string movie = MakeMovie(3);
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    ASSERT_NO_FATAL_FAILURE(StartUntilPicture(h, c, MediaFormat{320, 240, 2, 44100, 16, 2}, movie));
    const auto sent = Clock::now();
    ASSERT_EQ(h.Send(mc::Quit(2)), IoResult::Ok);
    // The controller keeps reading, as a real one would until the end of stream.
    std::thread drain([&] {
        mc::Packet packet;
        while (h.link->ReadPacket(&packet, 2000) == IoResult::Ok) {
        }
    });
    auto status = h.WaitExit(std::chrono::seconds(3));
    const long long took = Ms(Clock::now() - sent);
    drain.join();
    ASSERT_TRUE(status) << "still running";
    EXPECT_TRUE(status->Success()) << Describe(status) << h.Log();
    EXPECT_LT(took, 1000);
    EXPECT_EQ(h.CountInLog("CMarlinDlg::StopPlayFile \n"), 1) << h.Log();
}

// Windows starts every thread at normal priority, whatever its creator's;
// Linux threads inherit their creator's nice value. The pipe reader runs
// raised and builds the graph, so without care every decoding and delivery
// thread (FFmpeg's workers among them) ran raised too, ahead of the
// controller that must take their frames.
TEST(HostPlayback, OnlyThePipeReaderRunsAboveNormalPriority)
{
    const std::string movie = MakeMovie(3);
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    ASSERT_NO_FATAL_FAILURE(StartUntilPicture(h, c, MediaFormat{320, 240, 2, 44100, 16, 2}, movie));
    // The nice value is field 19 of /proc/<pid>/task/<tid>/stat, counted
    // after the command name in parentheses.
    const std::string tasks = "/proc/" + std::to_string(h.Pid()) + "/task";
    int normal = 0;
    std::vector<std::string> raised;
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream in(task.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(in)), {});
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        for (int i = 3; i <= 19 && fields >> field; ++i) {
        }
        const int nice = std::stoi(field);
        if (task.path().filename() == std::to_string(h.Pid())) normal = nice;
        const size_t open = stat.find('(');
        if (nice < 0) raised.push_back(stat.substr(open + 1, close - open - 1) + " " + std::to_string(nice));
    }
    if (raised.empty()) GTEST_SKIP() << "no thread could be raised here (no privilege)";
    EXPECT_EQ(normal, 0);
    EXPECT_EQ(raised.size(), 1u) << "threads above normal priority: " << ::testing::PrintToString(raised);
    ASSERT_EQ(h.Send(mc::Quit(2)), IoResult::Ok);
}

// Stops that land around the end of short files race the window thread's
// handling of the completion event; the command lock keeps the engine alive
// while its events are drained (a use after free would end the sanitized host).
TEST(HostPlayback, StopsRacingTheCompletionEventLeaveTheHostSound)
{
    const std::string clip = lavtest::MakeMedia(
        "host-clip", "-f lavfi -i testsrc2=size=160x120:rate=25:duration=0.3 -f lavfi -i sine=duration=0.3 "
                     "-c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -shortest",
        ".mp4");
    ASSERT_FALSE(clip.empty());
    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    int completed = 0;
    for (uint32_t round = 0; round < 8; ++round) {
        ASSERT_NO_FATAL_FAILURE(StartOk(h, c, 10 * round + 1, MediaFormat{160, 120, 6, 16000, 16, 1}, clip));
        c.ReadFor(milliseconds(250 + 25 * round));  // around the clip's end
        ASSERT_EQ(h.Send(mc::StopPlayFile(10 * round + 2)), IoResult::Ok);
        auto r = c.Reply(7, 10 * round + 2);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->result, 1u);
    }
    for (const Arrival& a : c.all) completed += a.message.type == 53;
    EXPECT_GE(completed, 1) << "no stop came after the end";
    EXPECT_LE(completed, 8);
    ASSERT_EQ(h.Send(mc::Quit(99)), IoResult::Ok);
    auto status = h.WaitExit(std::chrono::seconds(3));
    EXPECT_TRUE(status && status->Success()) << Describe(status) << h.Log();
}

// Pictures of one colour, first 160x120 red, then 320x240 blue, in one
// MPEG-TS stream: the converter follows the change of size.
TEST(HostPlayback, APictureSizeChangeMidStreamComesOutAtTheAskedSizeWithoutGarbage)
{
    const std::string common = " -c:v libx264 -preset veryfast -bf 0 -pix_fmt yuv420p -an -mpegts_copyts 0";
    const std::string small = lavtest::MakeMedia("host-red160", "-f lavfi -i color=c=red:size=160x120:rate=25:duration=1" + common, ".ts");
    const std::string large = lavtest::MakeMedia("host-blue320", "-f lavfi -i color=c=blue:size=320x240:rate=25:duration=1" + common, ".ts");
    ASSERT_FALSE(small.empty());
    ASSERT_FALSE(large.empty());
    lavtest::TempDir dir;
    const std::string joined = dir.File("joined.ts");
    ASSERT_TRUE(lavtest::Run("ffmpeg -nostdin -hide_banner -loglevel error -y -i 'concat:" + small + "|" + large +
                             "' -c copy -f mpegts '" + joined + "'"));
    const int64_t pictures = ProbeVideoFrames(joined);
    ASSERT_EQ(pictures, 50);

    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    const MediaFormat want{320, 240, 0, 16000, 16, 1};
    ASSERT_NO_FATAL_FAILURE(StartOk(h, c, 1, want, joined));
    ASSERT_TRUE(c.ReadUntil([](const mc::Message& m) { return m.type == 53; }, milliseconds(8000)));
    const auto video = c.Frames(50);
    EXPECT_EQ(static_cast<int64_t>(video.size()), pictures);
    int red = 0, blue = 0;
    for (const Arrival* a : video) {
        const Bytes& d = a->message.data;
        ASSERT_EQ(d.size(), 320u * 240u * 3u);
        // RGB24 is B,G,R: every pixel near pure red or pure blue, all alike.
        const uint8_t b0 = d[0], r0 = d[2];
        const bool isRed = r0 > 200 && b0 < 60;
        const bool isBlue = b0 > 200 && r0 < 60;
        ASSERT_TRUE(isRed || isBlue) << "first pixel " << int(b0) << "," << int(d[1]) << "," << int(r0);
        for (size_t i = 0; i < d.size(); i += 3) {
            ASSERT_LE(std::abs(int(d[i]) - b0), 24) << "pixel " << i / 3;
            ASSERT_LE(std::abs(int(d[i + 2]) - r0), 24) << "pixel " << i / 3;
        }
        (isRed ? red : blue)++;
    }
    EXPECT_EQ(red, 25);
    EXPECT_EQ(blue, 25);
}


// Full-range (MJPEG) and BT.709-tagged sources played as RGB24 at their own
// size: every picture against FFmpeg's own conversion, which reads the range
// and matrix the stream is tagged with. The test pattern is softened like a
// filmed picture: on its hard colour edges the two sides' different chroma
// interpolation alone would decide the figure.
TEST(HostPlayback, FullRangeAndBT709PicturesAsRGB24MatchFFmpegsColourAwareConversion)
{
    const std::string source = "-f lavfi -i testsrc2=size=176x144:rate=25:duration=1 -an ";
    const std::string soft = "gblur=sigma=3,";
    struct Clip
    {
        const char* name;
        const char* ext;
        std::string args;
    };
    const Clip clips[] = {
        {"host-mjpeg420-full", ".avi", source + "-vf " + soft + "format=yuvj420p -c:v mjpeg -q:v 2 "},
        {"host-mjpeg422-full", ".avi", source + "-vf " + soft + "format=yuvj422p -c:v mjpeg -q:v 2 "},
        {"host-h264-bt709", ".mkv",
         source + "-vf " + soft + "scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -c:v libx264 "
                  "-preset veryfast -qp 10 -colorspace bt709 -color_primaries bt709 -color_trc bt709 "},
    };
    for (const Clip& clip : clips) {
        SCOPED_TRACE(clip.name);
        const std::string path = lavtest::MakeMedia(clip.name, clip.args, clip.ext);
        ASSERT_FALSE(path.empty());
        lavtest::TempDir dir;
        const std::string raw = dir.File("ffmpeg.bgr24");
        ASSERT_TRUE(lavtest::Run("ffmpeg -nostdin -hide_banner -loglevel error -y -i '" + path +
                                 "' -f rawvideo -pix_fmt bgr24 '" + raw + "'"));
        const std::vector<uint8_t> want = lavtest::ReadAll(raw);
        constexpr size_t kPicture = 176 * 144 * 3;
        ASSERT_EQ(want.size(), 25 * kPicture);

        HostHarness h;
        ASSERT_TRUE(h.StartAndConnect());
        Collector c(h);
        ASSERT_NO_FATAL_FAILURE(StartOk(h, c, 1, MediaFormat{176, 144, 0, 16000, 16, 1}, path));
        ASSERT_TRUE(c.ReadUntil([](const mc::Message& m) { return m.type == 53; }, milliseconds(8000)));
        const auto video = c.Frames(50);
        ASSERT_EQ(video.size(), 25u);
        double worst = 99;
        for (size_t i = 0; i < video.size(); ++i) {
            const Bytes& got = video[i]->message.data;
            ASSERT_EQ(got.size(), kPicture);
            double err = 0;
            for (size_t k = 0; k < kPicture; ++k) {
                const double d = double(got[k]) - want[i * kPicture + k];
                err += d * d;
            }
            worst = std::min(worst, err == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * kPicture / err));
        }
        EXPECT_GE(worst, 35.0) << "dB, the worst picture";
        RecordProperty(std::string(clip.name) + "_worst_psnr_db", std::to_string(worst));
        std::printf("%s: worst picture %.1f dB against FFmpeg\n", clip.name, worst);
    }
}

}  // namespace
