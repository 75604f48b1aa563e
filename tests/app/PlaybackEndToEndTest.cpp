// Playback through the real host: commands, frames and their timing as a
// controller sees them, on small files made by ffmpeg.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
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
    const mc::Message* reply = c.Reply(3, id);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->result, 1u) << h.Log();
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
    const mc::Message* info = c.Reply(5, 2);
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
    EXPECT_EQ(*video.front()->message.trailerPositionMs, 0);
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

}  // namespace
