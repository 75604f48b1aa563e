// Every frame message carries its number, its presentation time and flags:
// checked through the real host against ffprobe's frame times of files made
// by ffmpeg for the purpose.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>

#include "platform/os/Unicode.h"
#include "tests/app/PlaybackTestSupport.h"

namespace {

using namespace marlin_test;
using mc::IoResult;
using std::chrono::milliseconds;

constexpr int64_t kTicksPerMs = 10000;  // 100-ns units

// ffprobe's decoded frames of one stream, in the order the decoder gives
// them (presentation order), with times in 100 ns from the file's start.
struct ProbedFrame
{
    int64_t time = 0;
    bool key = false;
    bool timed = true;  // false: ffprobe has no time (the last of an AVI)
};

int64_t ParseSecondsAsTicks(const std::string& text)
{
    // "11.389978": ffprobe prints the container start in whole microseconds.
    return std::llround(std::stold(text) * 1e7L);
}

std::vector<ProbedFrame> ProbeFrames(const std::string& path, const char* stream)
{
    const std::string quoted = "'" + path + "'";
    auto start = lavtest::Run("ffprobe -v error -show_entries format=start_time -of csv=p=0 " + quoted);
    auto base = lavtest::Run(std::string("ffprobe -v error -select_streams ") + stream +
                             " -show_entries stream=time_base -of csv=p=0 " + quoted);
    auto frames = lavtest::Run(std::string("ffprobe -v error -select_streams ") + stream +
                               " -show_entries frame=key_frame,pts,best_effort_timestamp -of csv=p=0:nk=0 " + quoted);
    if (!start || !base || !frames) {
        ADD_FAILURE() << "ffprobe failed on " << path;
        return {};
    }
    const int64_t startTicks = ParseSecondsAsTicks(*start);
    long long num = 0, den = 0;
    if (std::sscanf(base->c_str(), "%lld/%lld", &num, &den) != 2 || num <= 0 || den <= 0) {
        ADD_FAILURE() << "time base " << *base;
        return {};
    }
    std::vector<ProbedFrame> out;
    std::istringstream lines(*frames);
    for (std::string line; std::getline(lines, line);) {
        std::map<std::string, std::string> fields;
        std::istringstream items(line);
        for (std::string item; std::getline(items, item, ',');) {
            const size_t eq = item.find('=');
            if (eq != std::string::npos) fields[item.substr(0, eq)] = item.substr(eq + 1);
        }
        if (!fields.count("key_frame")) continue;  // side data lines
        std::string ts = fields["pts"];
        if (ts.empty() || ts == "N/A") ts = fields["best_effort_timestamp"];
        if (ts.empty() || ts == "N/A") {
            out.push_back({0, fields["key_frame"] == "1", false});
            continue;
        }
        const long double ticks = std::stold(ts) * num * 1e7L / den;
        out.push_back({std::llround(ticks) - startTicks, fields["key_frame"] == "1"});
    }
    return out;
}

std::string Ms(int64_t ticks) { return std::to_string(static_cast<double>(ticks) / kTicksPerMs) + " ms"; }

void StartOk(HostHarness& h, Collector& c, uint32_t id, const MediaFormat& want, const std::string& path)
{
    ASSERT_EQ(h.Send(mc::StartPlayFile(id, want, Utf8ToUtf16(path))), IoResult::Ok);
    auto reply = c.Reply(3, id);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->result, 1u) << h.Log();
}

// Plays `path` to its end; the frames of `type` that came.
std::vector<mc::Message> PlayToTheEnd(const std::string& path, const MediaFormat& want, uint32_t type)
{
    HostHarness h;
    if (!h.StartAndConnect()) return {};
    Collector c(h);
    StartOk(h, c, 1, want, path);
    if (::testing::Test::HasFatalFailure()) return {};
    c.ReadUntil([](const mc::Message& m) { return m.type == 53; }, milliseconds(15000));
    std::vector<mc::Message> out;
    for (const Arrival* a : c.Frames(type)) out.push_back(a->message);
    return out;
}

// Numbers 0, 1, 2, ... in arrival order.
void ExpectNumberedWithoutGaps(const std::vector<const mc::Message*>& frames, const char* what)
{
    for (size_t i = 0; i < frames.size(); ++i)
        ASSERT_EQ(frames[i]->frameNumber, i) << what << " " << i << " of " << frames.size();
}

int64_t DurationTicks(const mc::Message& m)
{
    const int64_t frames = static_cast<int64_t>(m.data.size()) / (2 * m.format.channels);
    return frames * 10'000'000 / m.format.sampleRate;
}

// Each block starts where the one before ended, within 1 ms, except at a
// discontinuity.
void ExpectSoundJoinsUp(const std::vector<const mc::Message*>& blocks)
{
    for (size_t i = 1; i < blocks.size(); ++i) {
        if (blocks[i]->isDiscontinuity) continue;
        const int64_t expected = blocks[i - 1]->presentationTime + DurationTicks(*blocks[i - 1]);
        ASSERT_LE(std::llabs(blocks[i]->presentationTime - expected), kTicksPerMs)
            << "block " << i << " at " << Ms(blocks[i]->presentationTime) << ", the one before ends at "
            << Ms(expected);
    }
}

std::vector<const mc::Message*> Pointers(const std::vector<mc::Message>& frames)
{
    std::vector<const mc::Message*> out;
    for (const mc::Message& m : frames) out.push_back(&m);
    return out;
}

// A file with B-frames (pictures decoded out of their order), one that
// starts at 10 s (MPEG-TS, sound starting before the first picture) and an
// AVI with B-frames, which has decode times only (ffprobe's times are
// libavcodec's best guess from them): each picture carries exactly the
// file's time, in presentation order, its key flag and its number; only the
// first is a discontinuity.
TEST(FrameStamps, PicturesCarryTheFilesTimesInPresentationOrder)
{
    const std::string inputs = "-f lavfi -i testsrc2=size=160x120:rate=25:duration=2 "
                               "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 ";
    const std::string common = inputs +
                               "-c:v libx264 -preset veryfast -x264-params keyint=25:min-keyint=25:scenecut=0 "
                               "-pix_fmt yuv420p ";
    const std::string files[] = {
        lavtest::MakeMedia("stamp-bframes", common + "-bf 3 -c:a aac -b:a 64k", ".mp4"),
        lavtest::MakeMedia("stamp-offset", common + "-bf 2 -c:a mp2 -output_ts_offset 10", ".ts"),
        lavtest::MakeMedia("stamp-avi", inputs + "-c:v mpeg4 -bf 2 -g 25 -c:a libmp3lame", ".avi"),
    };
    const MediaFormat want{80, 60, 12, 48000, 16, 2};
    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        ASSERT_FALSE(file.empty());
        const std::vector<ProbedFrame> probed = ProbeFrames(file, "v:0");
        ASSERT_GT(probed.size(), 40u);
        // The file stores its pictures out of presentation order.
        std::vector<double> stored;
        for (const lavtest::ProbePacket& p : lavtest::Probe::Packets(file, 0)) stored.push_back(p.pts);
        ASSERT_FALSE(std::is_sorted(stored.begin(), stored.end()));

        const std::vector<mc::Message> pictures = PlayToTheEnd(file, want, 50);
        ASSERT_EQ(pictures.size(), probed.size()) << "every picture of the file, once";
        ExpectNumberedWithoutGaps(Pointers(pictures), "picture");
        for (size_t i = 0; i < pictures.size(); ++i) {
            if (probed[i].timed) {
                EXPECT_LE(std::llabs(pictures[i].presentationTime - probed[i].time), 1)
                    << "picture " << i << " at " << pictures[i].presentationTime << ", ffprobe "
                    << probed[i].time;
            } else if (i > 0) {
                EXPECT_GT(pictures[i].presentationTime, pictures[i - 1].presentationTime) << "picture " << i;
            }
            EXPECT_EQ(pictures[i].isKeyPicture, probed[i].key) << "picture " << i;
            EXPECT_EQ(pictures[i].isDiscontinuity, i == 0) << "picture " << i;
        }
    }
}

// Sound resampled from 44.1 kHz stereo to 16 kHz mono, from a Matroska file
// whose times are in whole milliseconds: the first block starts at the
// file's first sample and every block where the one before ended.
TEST(FrameStamps, SoundBlocksStartAtTheFilesFirstSampleAndJoinUp)
{
    const std::string file = lavtest::MakeMedia(
        "stamp-sound",
        "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=2 -ac 2 -c:a aac -b:a 64k", ".mkv");
    ASSERT_FALSE(file.empty());
    const std::vector<ProbedFrame> probed = ProbeFrames(file, "a:0");
    ASSERT_FALSE(probed.empty());

    const std::vector<mc::Message> blocks = PlayToTheEnd(file, MediaFormat{80, 60, 12, 16000, 16, 1}, 51);
    ASSERT_GT(blocks.size(), 20u);
    const auto all = Pointers(blocks);
    ExpectNumberedWithoutGaps(all, "sound block");
    EXPECT_LE(std::llabs(blocks.front().presentationTime - probed.front().time), kTicksPerMs)
        << "first block at " << Ms(blocks.front().presentationTime) << ", the file's first sound at "
        << Ms(probed.front().time);
    EXPECT_TRUE(blocks.front().isDiscontinuity);
    for (size_t i = 1; i < blocks.size(); ++i) EXPECT_FALSE(blocks[i].isDiscontinuity) << "block " << i;
    ExpectSoundJoinsUp(all);
    // Sound never claims to be a key picture.
    for (const mc::Message& m : blocks) EXPECT_FALSE(m.isKeyPicture);
}

// A seek marks the first picture and the first block of sound after it;
// the picture is the file's key frame before the target; the numbers go on
// across it. A new StartPlayFile counts from 0 again.
TEST(FrameStamps, ASeekMarksTheFirstFramesAfterItAndNumbersGoOn)
{
    const std::string file = MakeMovie(3);  // key frames at 0, 1 and 2 s
    ASSERT_FALSE(file.empty());
    const std::vector<ProbedFrame> probed = ProbeFrames(file, "v:0");
    ASSERT_FALSE(probed.empty());
    const MediaFormat want{80, 60, 12, 22050, 16, 2};

    HostHarness h;
    ASSERT_TRUE(h.StartAndConnect());
    Collector c(h);
    ASSERT_NO_FATAL_FAILURE(StartOk(h, c, 1, want, file));
    int seen = 0;
    ASSERT_TRUE(c.ReadUntil([&](const mc::Message& m) { return IsVideo(m) && ++seen == 10; }));
    ASSERT_EQ(h.Send(mc::Seek(2, 1500)), IoResult::Ok);
    ASSERT_TRUE(c.ReadUntil([](const mc::Message& m) { return m.type == 53; }, milliseconds(10000)));

    std::vector<const mc::Message*> pictures, blocks;
    for (const Arrival* a : c.Frames(50)) pictures.push_back(&a->message);
    for (const Arrival* a : c.Frames(51)) blocks.push_back(&a->message);
    ExpectNumberedWithoutGaps(pictures, "picture");
    ExpectNumberedWithoutGaps(blocks, "sound block");
    ExpectSoundJoinsUp(blocks);

    // Exactly two discontinuities of each kind: the start and the seek.
    std::vector<const mc::Message*> markedPictures, markedBlocks;
    for (const auto* m : pictures)
        if (m->isDiscontinuity) markedPictures.push_back(m);
    for (const auto* m : blocks)
        if (m->isDiscontinuity) markedBlocks.push_back(m);
    ASSERT_EQ(markedPictures.size(), 2u);
    ASSERT_EQ(markedBlocks.size(), 2u);
    EXPECT_EQ(markedPictures[0]->frameNumber, 0u);
    EXPECT_EQ(markedBlocks[0]->frameNumber, 0u);
    const mc::Message& landed = *markedPictures[1];
    EXPECT_GE(landed.frameNumber, 10u) << "the picture after the seek comes after the ten before it";
    EXPECT_TRUE(landed.isKeyPicture);
    EXPECT_TRUE(std::any_of(probed.begin(), probed.end(),
                            [&](const ProbedFrame& f) {
                                return f.timed && std::llabs(f.time - landed.presentationTime) <= 1;
                            }))
        << "the picture after the seek is at " << Ms(landed.presentationTime) << ", a time the file does not have";
    EXPECT_EQ(landed.presentationTime, 1000 * kTicksPerMs) << "the key frame at or before 1500 ms";
    // The sound starts with the block that holds the landing point, or a
    // little before it.
    EXPECT_LE(markedBlocks[1]->presentationTime, landed.presentationTime + kTicksPerMs)
        << "sound after the seek at " << Ms(markedBlocks[1]->presentationTime);
    EXPECT_GT(markedBlocks[1]->presentationTime, landed.presentationTime - 200 * kTicksPerMs)
        << "sound after the seek at " << Ms(markedBlocks[1]->presentationTime);
    // Frames after the seek's discontinuity lie after the landing point.
    const auto after = std::find(pictures.begin(), pictures.end(), &landed);
    for (auto it = after + 1; it != pictures.end(); ++it)
        EXPECT_GT((*it)->presentationTime, landed.presentationTime);

    // A new start counts from 0 again.
    const size_t restartAt = c.all.size();
    ASSERT_NO_FATAL_FAILURE(StartOk(h, c, 3, want, file));
    // The first pictures may come before the reply: count from the command.
    if (c.Frames(50, restartAt).size() < 3) {
        ASSERT_TRUE(c.ReadUntil([&](const mc::Message&) { return c.Frames(50, restartAt).size() >= 3; }));
    }
    const auto again = c.Frames(50, restartAt);
    ASSERT_GE(again.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(again[i]->message.frameNumber, i);
        EXPECT_EQ(again[i]->message.isDiscontinuity, i == 0);
        EXPECT_EQ(again[i]->message.presentationTime, probed[i].time);
    }
}

}  // namespace
