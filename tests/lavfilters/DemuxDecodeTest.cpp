// The core against real media of each container/codec pair the decoder
// modules must play: stream choice, output formats, every frame decoded with
// the times ffprobe reports, key-frame seeking and end of stream.
#include <dirent.h>
#include <gtest/gtest.h>

#include <array>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "platform/lavfilters/core/AudioDecoder.h"
#include "platform/lavfilters/core/Demuxer.h"
#include "platform/lavfilters/core/VideoDecoder.h"
#include "tests/lavfilters/TestMedia.h"

using namespace lav;
using namespace lavtest;

namespace {

constexpr RefTime kMs = 10'000;

struct MediaCase
{
    std::string name;
    std::string ext;
    std::string args;
    bool video;
    bool audio;
    VideoSubtype subtype = VideoSubtype::I420;
    bool directCopy = true;  // the decoded picture is copied, not converted
    const char* rawPixFmt = "yuv420p";  // ffmpeg's name for the output layout
    int rate = 0, channels = 0, bits = 16;
    std::string note;
    const char* rawFilter = "";  // ffmpeg's filter for the output layout, when one is needed
};

std::ostream& operator<<(std::ostream& os, const MediaCase& c)
{
    return os << c.name;
}

std::vector<MediaCase> Cases()
{
    const std::string v = kVideoSource;
    auto a = [](int rate) { return AudioSource(rate); };
    const std::string gop = " -g 25 ";
    std::vector<MediaCase> c;
    c.push_back({"H264_AAC_MP4", ".mp4", H264AacArgs(), true, true, VideoSubtype::I420, true, "yuv420p", 44100, 1, 16});
    c.push_back({"VP9_Opus_WebM", ".webm",
                 v + a(48000) + "-c:v libvpx-vp9 -deadline realtime -cpu-used 8" + gop + "-c:a libopus -b:a 48k ",
                 true, true, VideoSubtype::I420, true, "yuv420p", 48000, 1, 16});
    c.push_back({"MPEG4_MP3_AVI", ".avi", v + a(44100) + "-c:v mpeg4 -q:v 5" + gop + "-c:a libmp3lame -b:a 64k ",
                 true, true, VideoSubtype::I420, true, "yuv420p", 44100, 1, 16});
    c.push_back({"Theora_Vorbis_Ogg", ".ogg",
                 v + a(44100) + "-c:v libtheora -q:v 5" + gop + "-c:a libvorbis -q:a 2 ", true, true,
                 VideoSubtype::I420, true, "yuv420p", 44100, 1, 16});
    c.push_back({"MPEG2_MP2_TS", ".ts", v + a(48000) + "-c:v mpeg2video -q:v 5" + gop + "-c:a mp2 -b:a 128k ",
                 true, true, VideoSubtype::I420, true, "yuv420p", 48000, 1, 16});
    c.push_back({"PCM_U8_Mono_WAV", ".wav", a(22050) + "-ac 1 -c:a pcm_u8 ", false, true, VideoSubtype::I420, true,
                 "", 22050, 1, 8});
    c.push_back({"AAC_5_1_M4A", ".m4a", a(48000) + "-ac 6 -c:a aac -b:a 192k ", false, true, VideoSubtype::I420, true,
                 "", 48000, 6, 16});
    c.push_back({"H264_VideoOnly_MKV", ".mkv",
                 v + "-c:v libx264 -preset veryfast -x264-params keyint=25:min-keyint=25:scenecut=0 -pix_fmt yuv420p ",
                 true, false, VideoSubtype::I420, true, "yuv420p"});
    // No index and no sound: a seek by time to the start lands past the first key frame.
    c.push_back({"H264_VideoOnly_TS", ".ts",
                 v + "-c:v libx264 -preset veryfast -x264-params keyint=25:min-keyint=25:scenecut=0 -pix_fmt yuv420p ",
                 true, false, VideoSubtype::I420, true, "yuv420p"});
    c.push_back({"H264_OneKeyFrame_TS", ".ts",
                 v + "-c:v libx264 -preset veryfast -x264-params keyint=250:scenecut=0 -pix_fmt yuv420p ", true, false,
                 VideoSubtype::I420, true, "yuv420p"});
    c.push_back({"MP3_AudioOnly", ".mp3", a(44100) + "-c:a libmp3lame -b:a 64k ", false, true, VideoSubtype::I420,
                 true, "", 44100, 1, 16});
    c.push_back({"WMV2_WMA2_ASF", ".wmv", v + a(44100) + "-c:v wmv2" + gop + "-c:a wmav2 -b:a 64k ", true, true,
                 VideoSubtype::I420, true, "yuv420p", 44100, 1, 16});
    c.push_back({"MSADPCM_WAV", ".wav", a(22050) + "-ac 2 -c:a adpcm_ms ", false, true, VideoSubtype::I420, true, "",
                 22050, 2, 16});
    // Output choice beyond 4:2:0.
    // Full range stays full range, as the picture's type says.
    c.push_back({"MJPEG422_AVI_YUY2", ".avi", v + "-c:v mjpeg -pix_fmt yuvj422p -q:v 4 ", true, false,
                 VideoSubtype::YUY2, false, "yuyv422", 0, 0, 16, "", "-vf scale=out_range=full "});
    c.push_back({"PNG_RGB_MKV_RGB32", ".mkv", v + "-c:v png -pix_fmt rgb24 ", true, false, VideoSubtype::RGB32, false,
                 "bgr0"});
    c.push_back({"H264_444_MKV_I420", ".mkv",
                 v + "-c:v libx264 -preset veryfast -x264-params keyint=25:min-keyint=25 -pix_fmt yuv444p ", true,
                 false, VideoSubtype::I420, false, "yuv420p"});
    c.push_back({"RawNV12_NUT", ".nut", v + "-c:v rawvideo -pix_fmt nv12 ", true, false, VideoSubtype::NV12, true,
                 "nv12"});
    c.push_back({"RawUYVY_NUT", ".nut", v + "-c:v rawvideo -pix_fmt uyvy422 ", true, false, VideoSubtype::UYVY, true,
                 "uyvy422"});
    return c;
}

std::unique_ptr<Demuxer> OpenFile(const std::string& path, std::string* error = nullptr)
{
    std::shared_ptr<IByteReader> reader = FileByteReader::Open(path);
    if (!reader) return nullptr;
    std::string why;
    auto demuxer = Demuxer::Open(reader, DemuxOptions{}, &why);
    if (error) *error = why;
    return demuxer;
}

// Decoders made the way the filters make them: from a format block that
// went through serialisation.
std::unique_ptr<VideoDecoder> MakeVideoDecoder(const DemuxStream& s)
{
    const std::vector<uint8_t> block = s.format.Serialize();
    auto parsed = StreamFormat::Parse(block.data(), block.size());
    if (!parsed) return nullptr;
    std::string why;
    auto dec = VideoDecoder::Create(*parsed, VideoDecoderOptions{}, &why);
    EXPECT_TRUE(dec) << why;
    return dec;
}

std::unique_ptr<AudioDecoder> MakeAudioDecoder(const DemuxStream& s)
{
    const std::vector<uint8_t> block = s.format.Serialize();
    auto parsed = StreamFormat::Parse(block.data(), block.size());
    if (!parsed) return nullptr;
    std::string why;
    auto dec = AudioDecoder::Create(*parsed, &why);
    EXPECT_TRUE(dec) << why;
    return dec;
}

struct DecodeRun
{
    int pictures = 0;
    int audioBlocks = 0;
    int formatChanges = 0;
    std::vector<RefTime> pictureStarts;
    std::vector<RefTime> audioStarts;
    std::vector<PictureFormat> pictureFormats;  // one per picture
    std::vector<uint8_t> firstPicture;
    std::vector<uint8_t> pcm;
    AudioFormat audioFormat;
    int packets = 0;
    RefTime firstVideoPacket = kNoTime, firstAudioPacket = kNoTime;
    bool firstVideoPacketSync = false;
    bool ended = false;
    bool readError = false;
};

// Reads to the end of stream, decoding every packet and writing each
// picture into a buffer of exactly ImageSize bytes (the sanitizers catch
// any write past it).
DecodeRun DecodeToEnd(Demuxer& demuxer, VideoDecoder* video, AudioDecoder* audio)
{
    DecodeRun run;
    auto onPicture = [&](DecodedPicture& pic) {
        ++run.pictures;
        if (pic.formatChanged) ++run.formatChanges;
        run.pictureStarts.push_back(pic.times.start);
        run.pictureFormats.push_back(pic.format);
        std::vector<uint8_t> buf(pic.format.ImageSize());
        EXPECT_TRUE(video->CopyPicture(pic, buf.data(), buf.size()));
        if (run.pictures == 1) run.firstPicture = std::move(buf);
    };
    auto onAudio = [&](const DecodedAudio& block) {
        ++run.audioBlocks;
        run.audioStarts.push_back(block.times.start);
        run.audioFormat = block.format;
        EXPECT_EQ(block.size, static_cast<size_t>(block.frames) * block.format.BlockAlign());
        run.pcm.insert(run.pcm.end(), block.data, block.data + block.size);
    };
    for (;;) {
        DemuxPacket p;
        ReadStatus status = demuxer.ReadPacket(p);
        if (status != ReadStatus::Packet) {
            run.ended = status == ReadStatus::EndOfStream;
            break;
        }
        ++run.packets;
        // Across the pin: payload plus side-data trailer in one buffer.
        std::vector<uint8_t> bytes(p.PackedSize());
        p.PackTo(bytes.data());
        CompressedSample s{bytes.data(), bytes.size(), p.times, p.syncPoint, p.discontinuity};
        if (p.kind == MediaKind::Video) {
            if (run.firstVideoPacket == kNoTime) {
                run.firstVideoPacket = p.times.start;
                run.firstVideoPacketSync = p.syncPoint;
            }
            if (video) video->Decode(s, onPicture);
        } else {
            if (run.firstAudioPacket == kNoTime) run.firstAudioPacket = p.times.start;
            if (audio) audio->Decode(s, onAudio);
        }
    }
    if (video) video->EndOfStream(onPicture);
    if (audio) audio->EndOfStream(onAudio);
    run.readError = demuxer.ReadError();
    return run;
}

class LavMediaTest : public ::testing::TestWithParam<MediaCase>
{
protected:
    void SetUp() override
    {
        m_path = MakeMedia(GetParam().name, GetParam().args, GetParam().ext);
        ASSERT_FALSE(m_path.empty());
        std::string why;
        m_demuxer = OpenFile(m_path, &why);
        ASSERT_TRUE(m_demuxer) << why;
        m_probe = Probe::Format(m_path);
    }
    // Seconds from ffprobe to 100 ns relative to the container start.
    RefTime FromProbe(double seconds) const
    {
        return static_cast<RefTime>(std::llround((seconds - m_probe.startTime) * 1e7));
    }

    std::string m_path;
    std::unique_ptr<Demuxer> m_demuxer;
    Probe m_probe;
};

TEST_P(LavMediaTest, ChoosesStreamsAndOutputFormats)
{
    const MediaCase& c = GetParam();
    ASSERT_EQ(m_demuxer->VideoStream() != nullptr, c.video);
    ASSERT_EQ(m_demuxer->AudioStream() != nullptr, c.audio);
    if (c.video) {
        auto dec = MakeVideoDecoder(*m_demuxer->VideoStream());
        ASSERT_TRUE(dec);
        const PictureFormat f = dec->InitialFormat();
        EXPECT_EQ(f.subtype, c.subtype) << SubtypeName(f.subtype);
        EXPECT_EQ(f.width, 160);
        EXPECT_EQ(f.height, 120);
        EXPECT_EQ(f.BitmapHeight(), c.subtype == VideoSubtype::RGB32 ? -120 : 120);
        EXPECT_EQ(f.avgTimePerFrame, 400'000);  // 25 fps
    }
    if (c.audio) {
        auto dec = MakeAudioDecoder(*m_demuxer->AudioStream());
        ASSERT_TRUE(dec);
        const AudioFormat f = dec->InitialFormat();
        EXPECT_EQ(f.sampleRate, c.rate);
        EXPECT_EQ(f.channels, c.channels);
        EXPECT_EQ(f.bitsPerSample, c.bits);
        EXPECT_EQ(f.BlockAlign(), c.channels * c.bits / 8);
        EXPECT_EQ(f.AvgBytesPerSec(), static_cast<uint32_t>(c.rate * c.channels * c.bits / 8));
    }
    ASSERT_GT(m_probe.duration, 0);
    EXPECT_NEAR(static_cast<double>(m_demuxer->Duration()) / 1e7, m_probe.duration, 0.05);
    EXPECT_NEAR(static_cast<double>(m_demuxer->Duration()) / 1e7, 3.0, 0.2);
}

TEST_P(LavMediaTest, DecodesEveryFrameWithTimesToEndOfStream)
{
    const MediaCase& c = GetParam();
    auto video = c.video ? MakeVideoDecoder(*m_demuxer->VideoStream()) : nullptr;
    auto audio = c.audio ? MakeAudioDecoder(*m_demuxer->AudioStream()) : nullptr;
    DecodeRun run = DecodeToEnd(*m_demuxer, video.get(), audio.get());
    EXPECT_TRUE(run.ended);
    EXPECT_FALSE(run.readError);
    // End of stream stays.
    DemuxPacket p;
    EXPECT_EQ(m_demuxer->ReadPacket(p), ReadStatus::EndOfStream);
    EXPECT_EQ(m_demuxer->ReadPacket(p), ReadStatus::EndOfStream);

    if (c.video) {
        const int index = m_demuxer->VideoStream()->index;
        EXPECT_EQ(run.pictures, Probe::CountFrames(m_path, index));
        EXPECT_EQ(video->DecodeErrors(), 0);
        EXPECT_EQ(run.formatChanges, 0);
        EXPECT_TRUE(run.firstVideoPacketSync);
        auto first = Probe::FirstFrameTime(m_path, index);
        ASSERT_TRUE(first);
        ASSERT_FALSE(run.pictureStarts.empty());
        EXPECT_NEAR(run.pictureStarts.front(), FromProbe(*first), kMs);
        for (size_t i = 1; i < run.pictureStarts.size(); ++i)
            ASSERT_GT(run.pictureStarts[i], run.pictureStarts[i - 1]) << "picture " << i;
        // The first picture as ffmpeg itself decodes and lays it out.
        TempDir tmp;
        const std::string raw = tmp.File("frame0.raw");
        ASSERT_TRUE(lavtest::Run("ffmpeg -nostdin -v error -i '" + m_path + "' -map 0:" + std::to_string(index) +
                        " -frames:v 1 " + c.rawFilter + "-f rawvideo -pix_fmt " + c.rawPixFmt + " '" + raw + "'"));
        const std::vector<uint8_t> expected = ReadAll(raw);
        ASSERT_EQ(run.firstPicture.size(), expected.size());
        if (c.directCopy) {
            EXPECT_TRUE(run.firstPicture == expected);
        } else {
            double diff = 0;
            for (size_t i = 0; i < expected.size(); ++i) diff += std::abs(int(expected[i]) - int(run.firstPicture[i]));
            EXPECT_LT(diff / expected.size(), 3.0);
        }
    }
    if (c.audio) {
        const int index = m_demuxer->AudioStream()->index;
        EXPECT_EQ(run.audioBlocks, Probe::CountFrames(m_path, index));
        EXPECT_EQ(audio->DecodeErrors(), 0);
        auto first = Probe::FirstFrameTime(m_path, index);
        ASSERT_TRUE(first);
        ASSERT_FALSE(run.audioStarts.empty());
        EXPECT_NEAR(run.audioStarts.front(), FromProbe(*first), kMs);
        EXPECT_EQ(run.audioFormat.sampleRate, c.rate);
        EXPECT_EQ(run.audioFormat.channels, c.channels);
        EXPECT_EQ(run.audioFormat.bitsPerSample, c.bits);
        // The whole PCM as ffmpeg decodes it.
        TempDir tmp;
        const std::string raw = tmp.File("audio.raw");
        const std::string fmt = c.bits == 8 ? "u8" : "s16le";
        ASSERT_TRUE(lavtest::Run("ffmpeg -nostdin -v error -i '" + m_path + "' -map 0:" + std::to_string(index) + " -f " + fmt +
                        " '" + raw + "'"));
        const std::vector<uint8_t> expected = ReadAll(raw);
        ASSERT_EQ(run.pcm.size(), expected.size());
        EXPECT_TRUE(run.pcm == expected);
    }
}

TEST_P(LavMediaTest, SeeksToKeyFrameAtOrBeforeMiddle)
{
    const MediaCase& c = GetParam();
    const DemuxStream& ref = c.video ? *m_demuxer->VideoStream() : *m_demuxer->AudioStream();
    const RefTime target = m_demuxer->Duration() / 2;
    const std::vector<ProbePacket> packets = Probe::Packets(m_path, ref.index);
    // The key frame to land on: the last one at or before the target, or
    // the first one when none lies before it.
    auto expectedLanding = [&](RefTime t) {
        RefTime best = kNoTime, first = kNoTime;
        for (const ProbePacket& p : packets) {
            if (p.pts < 0 || !p.key) continue;
            const RefTime k = FromProbe(p.pts);
            if (first == kNoTime || k < first) first = k;
            if (k <= t && (best == kNoTime || k > best)) best = k;
        }
        return best != kNoTime ? best : first;
    };
    const RefTime expected = expectedLanding(target);
    ASSERT_NE(expected, kNoTime);
    int framesFromThere = 0;
    for (const ProbePacket& p : packets)
        if (p.pts >= 0 && FromProbe(p.pts) >= expected - kMs / 10) ++framesFromThere;

    RefTime landed = kNoTime;
    ASSERT_TRUE(m_demuxer->Seek(target, &landed));
    EXPECT_LE(landed, target);
    if (c.video) {
        EXPECT_NEAR(landed, expected, kMs);
    } else {
        // Raw audio (WAVE) packets are cut anew after a seek; every one is a
        // sync point, so any landing between the last listed one and the
        // target is exact.
        EXPECT_GE(landed, expected - kMs);
    }
    EXPECT_EQ(m_demuxer->SegmentStart(), landed);

    auto video = c.video ? MakeVideoDecoder(*m_demuxer->VideoStream()) : nullptr;
    auto audio = c.audio ? MakeAudioDecoder(*m_demuxer->AudioStream()) : nullptr;
    DecodeRun run = DecodeToEnd(*m_demuxer, video.get(), audio.get());
    EXPECT_TRUE(run.ended);
    if (c.video) {
        // Decoding starts on the key frame, at time 0 of the new segment.
        EXPECT_TRUE(run.firstVideoPacketSync);
        EXPECT_EQ(run.firstVideoPacket, 0);
        ASSERT_FALSE(run.pictureStarts.empty());
        EXPECT_NEAR(run.pictureStarts.front(), 0, kMs);
        EXPECT_EQ(run.pictures, framesFromThere);
        EXPECT_EQ(video->DecodeErrors(), 0);
    } else {
        EXPECT_NEAR(run.firstAudioPacket, 0, kMs);
    }
    if (c.audio) {
        // Sound resumes close to the landing point.
        ASSERT_NE(run.firstAudioPacket, kNoTime);
        EXPECT_LT(std::abs(run.firstAudioPacket), 200 * kMs);
        EXPECT_GT(run.audioBlocks, 0);
    }
    // A second seek, back to the start, works after end of stream.
    ASSERT_TRUE(m_demuxer->Seek(0, &landed));
    EXPECT_NEAR(landed, expectedLanding(0), kMs);
    DemuxPacket p;
    EXPECT_EQ(m_demuxer->ReadPacket(p), ReadStatus::Packet);
}

// One plain-coloured 853x479 picture, stored in pixel formats the decoder
// converts (libswscale) or copies: every layout must reach the last, odd
// column and row, with the colour of the first pixel.
// Frame threads cost CPU for their hand-offs; they are worth it only where
// one core would be hard pressed to keep up.
TEST(LavDecoderThreads, FrameThreadsOnlyForStreamsOneCoreCannotEasilyDecode)
{
    auto threadsNow = [] {
        int n = 0;
        if (DIR* d = opendir("/proc/self/task")) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.') ++n;
            closedir(d);
        }
        return n;
    };
    struct Case
    {
        const char* name;
        const char* size;
        int rate;
        bool threaded;
    };
    const Case cases[] = {
        {"Threads_640x360_30", "640x360", 30, false},
        {"Threads_1280x720_30", "1280x720", 30, false},
        {"Threads_1920x1080_30", "1920x1080", 30, false},
        {"Threads_1920x1080_60", "1920x1080", 60, true},
        {"Threads_2560x1440_30", "2560x1440", 30, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = MakeMedia(c.name,
                                           std::string("-f lavfi -i testsrc2=size=") + c.size + ":rate=" +
                                               std::to_string(c.rate) + ":duration=0.2 -c:v libx264 -preset ultrafast ",
                                           ".mp4");
        auto demuxer = OpenFile(path);
        ASSERT_TRUE(demuxer);
        const int before = threadsNow();
        auto video = MakeVideoDecoder(*demuxer->VideoStream());
        ASSERT_TRUE(video);
        const int added = threadsNow() - before;
        if (!c.threaded) {
            EXPECT_EQ(added, 0);
        } else {
#if !defined(__SANITIZE_THREAD__)  // decodes on one thread there
            if (av_cpu_count() > 1) {
                EXPECT_GT(added, 0);
            }
#endif
        }
    }
}

// A raw H.264 stream carries no times at all: its pictures are timed by the
// frame rate, one after another, and a seek lands on a key frame by them.
// Decode order is all there is to count in, so the pictures start up to the
// decoder's reordering delay (here two pictures) after 0.
TEST(LavRawStream, PicturesWithoutTimesAreTimedByTheFrameRate)
{
    const std::string path = MakeMedia(
        "H264_Raw_Stream", kVideoSource + "-c:v libx264 -preset veryfast -x264-params keyint=25:min-keyint=25:scenecut=0 "
                                          "-bf 2 -pix_fmt yuv420p -f h264 ",
        ".h264");
    auto demuxer = OpenFile(path);
    ASSERT_TRUE(demuxer);
    ASSERT_TRUE(demuxer->VideoStream());
    constexpr RefTime kStep = 40 * kMs;
    auto evenlyFrom = [&](const std::vector<RefTime>& starts) {
        int misplaced = 0;
        for (size_t i = 0; i < starts.size(); ++i)
            misplaced += starts[i] == kNoTime || std::abs(starts[i] - starts[0] - static_cast<RefTime>(i) * kStep) > kMs;
        return misplaced;
    };
    auto video = MakeVideoDecoder(*demuxer->VideoStream());
    DecodeRun run = DecodeToEnd(*demuxer, video.get(), nullptr);
    ASSERT_EQ(run.pictures, 75);
    EXPECT_EQ(evenlyFrom(run.pictureStarts), 0);
    EXPECT_GE(run.pictureStarts.front(), 0);
    EXPECT_LE(run.pictureStarts.front(), 2 * kStep);

    RefTime landed = kNoTime;
    ASSERT_TRUE(demuxer->Seek(1500 * kMs, &landed));
    EXPECT_NEAR(landed, 1000 * kMs, kMs);
    video = MakeVideoDecoder(*demuxer->VideoStream());
    run = DecodeToEnd(*demuxer, video.get(), nullptr);
    EXPECT_EQ(run.pictures, 50);
    ASSERT_FALSE(run.pictureStarts.empty());
    EXPECT_EQ(evenlyFrom(run.pictureStarts), 0);
    EXPECT_GE(run.pictureStarts.front(), 0);
    EXPECT_LE(run.pictureStarts.front(), 2 * kStep);
}

// Two recordings joined byte for byte, as a capture across a broadcast's
// clock reset is: the second's times start again. Both streams go on along
// one rising timeline, so the second half plays after the first.
TEST(LavJoinedStream, TimesThatStartAgainContinueTheTimeline)
{
    const std::string args = kVideoSource + AudioSource(48000) + "-c:v mpeg2video -q:v 5 -g 25 -c:a mp2 -b:a 128k ";
    std::vector<uint8_t> joined = ReadAll(MakeMedia("Joined_TS_Part", args, ".ts"));
    ASSERT_FALSE(joined.empty());
    const std::vector<uint8_t> once = joined;
    joined.insert(joined.end(), once.begin(), once.end());
    TempDir dir;
    WriteAll(dir.File("joined.ts"), joined);
    auto demuxer = OpenFile(dir.File("joined.ts"));
    ASSERT_TRUE(demuxer);
    // Estimated from the first and last times, the length is one part's.
    EXPECT_NEAR(demuxer->Duration(), 3000 * kMs, 200 * kMs);
    auto video = MakeVideoDecoder(*demuxer->VideoStream());
    auto audio = MakeAudioDecoder(*demuxer->AudioStream());
    DecodeRun run = DecodeToEnd(*demuxer, video.get(), audio.get());
    ASSERT_EQ(run.pictures, 150);
    // Once read, it is the joined timeline's.
    EXPECT_NEAR(demuxer->Duration(), 6000 * kMs, 200 * kMs);
    auto stepsBack = [](const std::vector<RefTime>& starts) {
        int back = 0;
        for (size_t i = 1; i < starts.size(); ++i) back += starts[i] < starts[i - 1];
        return back;
    };
    EXPECT_EQ(stepsBack(run.pictureStarts), 0);
    EXPECT_NEAR(run.pictureStarts.back(), 149 * 40 * kMs, 100 * kMs);
    ASSERT_FALSE(run.audioStarts.empty());
    EXPECT_EQ(stepsBack(run.audioStarts), 0);
    EXPECT_NEAR(run.audioStarts.back(), 6000 * kMs, 200 * kMs);
}

// An MP3 without an index is timed by its first frame's bit rate: loud
// noise first, then silence coded far smaller, makes that estimate less
// than half the length. The length grows to the real one as it is read.
TEST(LavEstimatedLength, AFileLongerThanItsEstimateGrowsAsItIsRead)
{
    const std::string path = MakeMedia(
        "VBR_MP3_Without_Index",
        "-f lavfi -i anoisesrc=d=1:a=0.5:r=44100 -f lavfi -i anullsrc=r=44100:cl=mono "
        "-filter_complex [0][1]concat=n=2:v=0:a=1,atrim=0:6 -c:a libmp3lame -q:a 4 -write_xing 0 -f mp3 ",
        ".mp3");
    auto demuxer = OpenFile(path);
    ASSERT_TRUE(demuxer);
    ASSERT_TRUE(demuxer->AudioStream());
    ASSERT_LT(demuxer->Duration(), 4000 * kMs);  // else the fixture tests nothing
    auto audio = MakeAudioDecoder(*demuxer->AudioStream());
    DecodeRun run = DecodeToEnd(*demuxer, nullptr, audio.get());
    ASSERT_FALSE(run.audioStarts.empty());
    EXPECT_NEAR(run.audioStarts.back(), 6000 * kMs, 100 * kMs);
    EXPECT_NEAR(demuxer->Duration(), 6000 * kMs, 100 * kMs);
}

TEST(LavOddSize, LastColumnAndRowCarryThePicture)
{
    struct Case
    {
        const char* name;
        const char* ext;
        const char* codec;
        VideoSubtype subtype;
    };
    const Case cases[] = {
        {"Odd_FFV1_422", ".mkv", "-c:v ffv1 -pix_fmt yuv422p ", VideoSubtype::YUY2},
        {"Odd_FFV1_444", ".mkv", "-c:v ffv1 -pix_fmt yuv444p ", VideoSubtype::I420},
        {"Odd_FFV1_420", ".mkv", "-c:v ffv1 -pix_fmt yuv420p ", VideoSubtype::I420},
        {"Odd_Raw_NV21", ".nut", "-c:v rawvideo -pix_fmt nv21 ", VideoSubtype::I420},
        {"Odd_Raw_NV12", ".nut", "-c:v rawvideo -pix_fmt nv12 ", VideoSubtype::NV12},
        {"Odd_Raw_UYVY", ".nut", "-c:v rawvideo -pix_fmt uyvy422 ", VideoSubtype::UYVY},
    };
    constexpr int w = 853, h = 479, cw = (w + 1) / 2, ch = (h + 1) / 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path =
            MakeMedia(c.name, std::string("-f lavfi -i color=c=0x30A0E0:s=854x480:r=25:d=0.08,format=yuv444p,crop=853:479:0:0 ") +
                         c.codec, c.ext);
        auto demuxer = OpenFile(path);
        ASSERT_TRUE(demuxer);
        auto video = MakeVideoDecoder(*demuxer->VideoStream());
        ASSERT_TRUE(video);
        std::vector<uint8_t> buf;
        auto onPicture = [&](DecodedPicture& pic) {
            if (!buf.empty()) return;
            ASSERT_EQ(pic.format.width, w);
            ASSERT_EQ(pic.format.height, h);
            ASSERT_EQ(pic.format.subtype, c.subtype);
            buf.assign(pic.format.ImageSize(), 0xEE);  // what a missed sample would keep
            ASSERT_TRUE(video->CopyPicture(pic, buf.data(), buf.size()));
        };
        for (;;) {
            DemuxPacket p;
            if (demuxer->ReadPacket(p) != ReadStatus::Packet) break;
            std::vector<uint8_t> bytes(p.PackedSize());
            p.PackTo(bytes.data());
            video->Decode(CompressedSample{bytes.data(), bytes.size(), p.times, p.syncPoint, p.discontinuity},
                          onPicture);
        }
        video->EndOfStream(onPicture);
        ASSERT_FALSE(buf.empty());
        // Y, U, V of the first and of the last pixel in the output layout.
        std::array<int, 3> first{}, last{};
        const size_t luma = size_t{w} * h, chroma = size_t{cw} * ch;
        switch (c.subtype) {
        case VideoSubtype::I420:
            ASSERT_EQ(buf.size(), luma + 2 * chroma);
            first = {buf[0], buf[luma], buf[luma + chroma]};
            last = {buf[luma - 1], buf[luma + chroma - 1], buf[luma + 2 * chroma - 1]};
            break;
        case VideoSubtype::NV12:
            ASSERT_EQ(buf.size(), luma + 2 * chroma);
            first = {buf[0], buf[luma], buf[luma + 1]};
            last = {buf[luma - 1], buf[luma + 2 * chroma - 2], buf[luma + 2 * chroma - 1]};
            break;
        case VideoSubtype::YUY2:
        case VideoSubtype::UYVY: {
            ASSERT_EQ(buf.size(), size_t{4} * cw * h);
            // The last pixel (even column) is the first of its pair.
            const uint8_t* pair = &buf[buf.size() - 4];
            const bool yuy2 = c.subtype == VideoSubtype::YUY2;
            first = yuy2 ? std::array<int, 3>{buf[0], buf[1], buf[3]} : std::array<int, 3>{buf[1], buf[0], buf[2]};
            last = yuy2 ? std::array<int, 3>{pair[0], pair[1], pair[3]} : std::array<int, 3>{pair[1], pair[0], pair[2]};
            break;
        }
        default: FAIL();
        }
        for (size_t k = 0; k < 3; ++k) EXPECT_NEAR(last[k], first[k], 2) << "plane " << k;
    }
}

// Raw pictures of every layout the decoder converts or copies, at every width
// modulo 64 and at an odd height, against FFmpeg's own conversion of the same
// picture to the layout the decoder picks, byte for byte. NV12, NV21, NV16
// and NV20 crashed here at most widths.
struct AvFrameDeleter
{
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using AvFrame = std::unique_ptr<AVFrame, AvFrameDeleter>;

AvFrame AlignedFrame(AVPixelFormat fmt, int w, int h)
{
    AvFrame f(av_frame_alloc());
    f->format = fmt;
    f->width = w;
    f->height = h;
    if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
    return f;
}

AVPixelFormat LayoutOf(VideoSubtype s)
{
    switch (s) {
    case VideoSubtype::I420: return AV_PIX_FMT_YUV420P;
    case VideoSubtype::NV12: return AV_PIX_FMT_NV12;
    case VideoSubtype::YUY2: return AV_PIX_FMT_YUYV422;
    case VideoSubtype::UYVY: return AV_PIX_FMT_UYVY422;
    case VideoSubtype::RGB32: return AV_PIX_FMT_BGR0;
    }
    return AV_PIX_FMT_NONE;
}

// One raw picture (packed as the rawvideo decoder reads it): every sample a
// slow wave within its component's depth.
std::vector<uint8_t> RawPicture(AVPixelFormat fmt, int w, int h)
{
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(fmt);
    std::vector<uint8_t> buf(static_cast<size_t>(av_image_get_buffer_size(fmt, w, h, 1)));
    uint8_t* data[4] = {};
    int lines[4] = {};
    av_image_fill_arrays(data, lines, buf.data(), fmt, w, h, 1);
    std::vector<uint16_t> row(static_cast<size_t>(w));
    for (int c = 0; c < d->nb_components; ++c) {
        const bool sub = (c == 1 || c == 2) && !(d->flags & AV_PIX_FMT_FLAG_RGB);
        const int cw = sub ? -((-w) >> d->log2_chroma_w) : w, ch = sub ? -((-h) >> d->log2_chroma_h) : h;
        const double top = (1 << d->comp[c].depth) - 1;
        for (int y = 0; y < ch; ++y) {
            for (int x = 0; x < cw; ++x)
                row[static_cast<size_t>(x)] =
                    static_cast<uint16_t>(std::lround(top * (0.5 + 0.35 * std::sin(x / (6.0 + c) + y / 3.0 + c))));
            av_write_image_line2(row.data(), data, lines, d, 0, y, c, cw, 2);
        }
    }
    return buf;
}

std::vector<uint8_t> FfmpegLayout(const std::vector<uint8_t>& raw, AVPixelFormat fmt, AVPixelFormat target, int w, int h)
{
    AvFrame in = AlignedFrame(fmt, w, h), out = AlignedFrame(target, w, h);
    if (!in || !out) return {};
    const uint8_t* data[4] = {};
    int lines[4] = {};
    av_image_fill_arrays(const_cast<uint8_t**>(data), lines, raw.data(), fmt, w, h, 1);
    av_image_copy(in->data, in->linesize, data, lines, fmt, w, h);
    const bool jpeg = std::strncmp(av_get_pix_fmt_name(fmt), "yuvj", 4) == 0;
    if (fmt == target || (jpeg && target == AV_PIX_FMT_YUV420P && fmt == AV_PIX_FMT_YUVJ420P)) {
        av_image_copy(out->data, out->linesize, const_cast<const uint8_t**>(in->data), in->linesize, target, w, h);
    } else {
        std::unique_ptr<SwsContext, decltype(&sws_freeContext)> sws(sws_alloc_context(), &sws_freeContext);
        SwsContext* c = sws.get();
        if (av_opt_set_int(c, "srcw", w, 0) < 0 || av_opt_set_int(c, "srch", h, 0) < 0 ||
            av_opt_set_int(c, "dstw", w, 0) < 0 || av_opt_set_int(c, "dsth", h, 0) < 0 ||
            av_opt_set_int(c, "src_format", fmt, 0) < 0 || av_opt_set_int(c, "dst_format", target, 0) < 0 ||
            av_opt_set_int(c, "sws_flags", SWS_BICUBIC, 0) < 0 || av_opt_set_int(c, "dst_range", jpeg, 0) < 0 ||
            sws_init_context(c, nullptr, nullptr) < 0 ||
            sws_scale(c, in->data, in->linesize, 0, h, out->data, out->linesize) != h)
            return {};
    }
    std::vector<uint8_t> packed(static_cast<size_t>(av_image_get_buffer_size(target, w, h, 1)));
    av_image_copy_to_buffer(packed.data(), static_cast<int>(packed.size()), out->data, out->linesize, target, w, h, 1);
    return packed;
}

// The top-left cw x ch of a packed w x h picture.
std::vector<uint8_t> Cropped(const std::vector<uint8_t>& packed, AVPixelFormat fmt, int w, int h, int cw, int ch)
{
    uint8_t* data[4] = {};
    int lines[4] = {};
    av_image_fill_arrays(data, lines, packed.data(), fmt, w, h, 1);
    std::vector<uint8_t> out(static_cast<size_t>(av_image_get_buffer_size(fmt, cw, ch, 1)));
    av_image_copy_to_buffer(out.data(), static_cast<int>(out.size()), data, lines, fmt, cw, ch, 1);
    return out;
}

TEST(LavConversionSweep, EveryLayoutAtEveryWidthMatchesFfmpeg)
{
    const AVPixelFormat formats[] = {
        AV_PIX_FMT_NV12,    AV_PIX_FMT_NV21,     AV_PIX_FMT_NV16,     AV_PIX_FMT_NV20LE,  AV_PIX_FMT_NV24,
        AV_PIX_FMT_NV42,    AV_PIX_FMT_P010LE,   AV_PIX_FMT_P016LE,   AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P,
        AV_PIX_FMT_YUV422P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUV444P,  AV_PIX_FMT_YUV410P, AV_PIX_FMT_YUV411P,
        AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUYV422, AV_PIX_FMT_UYVY422, AV_PIX_FMT_GRAY8, AV_PIX_FMT_RGB24,
        AV_PIX_FMT_BGRA,    AV_PIX_FMT_RGB565LE};
    double worst = 99;
    for (AVPixelFormat fmt : formats)
        for (int h : {4, 7})
            for (int w = 64; w < 128; ++w) {
                SCOPED_TRACE(std::string(av_get_pix_fmt_name(fmt)) + " " + std::to_string(w) + "x" + std::to_string(h));
                StreamFormat sf;
                sf.kind = MediaKind::Video;
                sf.codecId = AV_CODEC_ID_RAWVIDEO;
                sf.width = w;
                sf.height = h;
                sf.pixelFormat = fmt;
                auto video = VideoDecoder::Create(sf, VideoDecoderOptions{1}, nullptr);
                ASSERT_TRUE(video);
                const std::vector<uint8_t> raw = RawPicture(fmt, w, h);
                std::vector<uint8_t> got;
                VideoSubtype subtype{};
                auto onPicture = [&](DecodedPicture& pic) {
                    subtype = pic.format.subtype;
                    got.assign(pic.format.ImageSize(), 0);  // exactly sized: ASan sees any write past it
                    ASSERT_TRUE(video->CopyPicture(pic, got.data(), got.size()));
                };
                video->Decode(CompressedSample{raw.data(), raw.size(), {0, 400000}, true, false}, onPicture);
                video->EndOfStream(onPicture);
                ASSERT_FALSE(got.empty());
                // libswscale takes no NV16 or NV20: FFmpeg's conversion of the
                // same samples in planar form stands for it.
                const AVPixelFormat planar = fmt == AV_PIX_FMT_NV16     ? AV_PIX_FMT_YUV422P
                                             : fmt == AV_PIX_FMT_NV20LE ? AV_PIX_FMT_YUV422P10LE
                                                                        : fmt;
                const std::vector<uint8_t> want =
                    FfmpegLayout(planar == fmt ? raw : RawPicture(planar, w, h), planar, LayoutOf(subtype), w, h);
                ASSERT_EQ(got.size(), want.size());
                // At an odd size FFmpeg's own same-size shortcuts leave the
                // last column or row of chroma unwritten: the pictures are
                // compared without them (LavOddSize checks that edge).
                const int ew = w - w % 2, eh = h - h % 2;
                const std::vector<uint8_t> a = Cropped(want, LayoutOf(subtype), w, h, ew, eh),
                                           b = Cropped(got, LayoutOf(subtype), w, h, ew, eh);
                if (ew == w && eh == h) {
                    const auto diff = std::mismatch(a.begin(), a.end(), b.begin());
                    ASSERT_TRUE(diff.first == a.end()) << "first difference at byte " << diff.first - a.begin();
                    continue;
                }
                // The decoder's odd sizes take libswscale's general path,
                // which may filter where a shortcut copies.
                double err = 0;
                for (size_t i = 0; i < a.size(); ++i) err += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
                const double psnr = err == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / err);
                EXPECT_GE(psnr, 35.0);
                worst = std::min(worst, psnr);
            }
    RecordProperty("worst_odd_size_psnr_db", std::to_string(worst));
}

INSTANTIATE_TEST_SUITE_P(LavCore, LavMediaTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<MediaCase>& info) { return info.param.name; });

}  // namespace
