// Bad input and edge cases: files libavformat cannot open, truncated and
// corrupted data, read errors, a blocked reader woken by Abort, cover art,
// time stamp wrap, picture size changes, odd sizes, and sound arriving as a
// WAVEFORMATEX from another source.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <condition_variable>
#include <future>
#include <mutex>
#include <random>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/lavfilters/core/AudioDecoder.h"
#include "platform/lavfilters/core/Demuxer.h"
#include "platform/lavfilters/core/PacketSideData.h"
#include "platform/lavfilters/core/VideoDecoder.h"
#include "tests/lavfilters/TestMedia.h"

using namespace lav;
using namespace lavtest;
using namespace std::chrono_literals;

namespace {

constexpr RefTime kMs = 10'000;

// Bytes in memory; can fail reads beyond a point.
class MemoryReader : public IByteReader
{
public:
    explicit MemoryReader(std::vector<uint8_t> data, int64_t failFrom = -1) : m_data(std::move(data)), m_failFrom(failFrom) {}
    int64_t ReadAt(int64_t position, uint8_t* buffer, int32_t length) override
    {
        if (m_failFrom >= 0 && position + length > m_failFrom) return -1;
        if (position >= static_cast<int64_t>(m_data.size())) return 0;
        const int64_t n = std::min<int64_t>(length, static_cast<int64_t>(m_data.size()) - position);
        std::memcpy(buffer, m_data.data() + position, static_cast<size_t>(n));
        return n;
    }
    int64_t Size() override { return static_cast<int64_t>(m_data.size()); }

private:
    std::vector<uint8_t> m_data;
    int64_t m_failFrom;
};

// Blocks every read at or beyond `blockFrom` until Cancel (or Unblock), the
// way an async reader waits for data.
class BlockingReader : public IByteReader
{
public:
    explicit BlockingReader(std::unique_ptr<FileByteReader> file) : m_file(std::move(file)) {}
    int64_t ReadAt(int64_t position, uint8_t* buffer, int32_t length) override
    {
        {
            std::unique_lock lock(m_mutex);
            if (position + length > m_blockFrom) {
                m_bBlocked = true;
                m_cv.notify_all();
                m_cv.wait(lock, [&] { return m_bCancelled || position + length <= m_blockFrom; });
                m_bBlocked = false;
                if (m_bCancelled) return -1;
            }
        }
        return m_file->ReadAt(position, buffer, length);
    }
    int64_t Size() override { return m_file->Size(); }
    void Cancel() override
    {
        std::lock_guard lock(m_mutex);
        m_bCancelled = true;
        m_cv.notify_all();
    }
    void Resume() override
    {
        std::lock_guard lock(m_mutex);
        m_bCancelled = false;
    }
    void BlockFrom(int64_t position)
    {
        std::lock_guard lock(m_mutex);
        m_blockFrom = position;
        m_cv.notify_all();
    }
    bool WaitBlocked(std::chrono::milliseconds limit)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, limit, [&] { return m_bBlocked; });
    }

private:
    std::unique_ptr<FileByteReader> m_file;
    std::mutex m_mutex;  // guards the three below
    std::condition_variable m_cv;
    int64_t m_blockFrom = INT64_MAX;
    bool m_bBlocked = false;
    bool m_bCancelled = false;
};

std::unique_ptr<Demuxer> OpenBytes(std::vector<uint8_t> bytes, std::string* why, int64_t failFrom = -1)
{
    return Demuxer::Open(std::make_shared<MemoryReader>(std::move(bytes), failFrom), {}, why);
}

std::unique_ptr<Demuxer> OpenPath(const std::string& path)
{
    std::string why;
    auto d = Demuxer::Open(FileByteReader::Open(path), {}, &why);
    EXPECT_TRUE(d) << why;
    return d;
}

struct Counts
{
    int pictures = 0, audioBlocks = 0, formatChanges = 0, packets = 0;
    std::vector<PictureFormat> changes;
    std::vector<RefTime> packetStarts;  // video packets
    bool ended = false;
};

// Decodes everything; `mangle` may damage each packed sample first.
Counts DecodeAll(Demuxer& d, const std::function<void(std::vector<uint8_t>&, int)>& mangle = {})
{
    Counts c;
    std::unique_ptr<VideoDecoder> video;
    std::unique_ptr<AudioDecoder> audio;
    if (d.VideoStream()) video = VideoDecoder::Create(d.VideoStream()->format, {}, nullptr);
    if (d.AudioStream()) audio = AudioDecoder::Create(d.AudioStream()->format, nullptr);
    auto onPicture = [&](DecodedPicture& pic) {
        ++c.pictures;
        if (pic.formatChanged) {
            ++c.formatChanges;
            c.changes.push_back(pic.format);
        }
        std::vector<uint8_t> buf(pic.format.ImageSize());
        EXPECT_TRUE(video->CopyPicture(pic, buf.data(), buf.size()));
    };
    auto onAudio = [&](const DecodedAudio&) { ++c.audioBlocks; };
    for (;;) {
        DemuxPacket p;
        ReadStatus s = d.ReadPacket(p);
        if (s != ReadStatus::Packet) {
            c.ended = s == ReadStatus::EndOfStream;
            break;
        }
        std::vector<uint8_t> bytes(p.PackedSize());
        p.PackTo(bytes.data());
        if (mangle) mangle(bytes, c.packets);
        ++c.packets;
        CompressedSample sample{bytes.data(), bytes.size(), p.times, p.syncPoint, p.discontinuity};
        if (p.kind == MediaKind::Video) {
            c.packetStarts.push_back(p.times.start);
            if (video) video->Decode(sample, onPicture);
        } else if (audio) {
            audio->Decode(sample, onAudio);
        }
    }
    if (video) video->EndOfStream(onPicture);
    if (audio) audio->EndOfStream(onAudio);
    return c;
}

class LavRobustnessTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { av_log_set_level(AV_LOG_FATAL); }  // damaged input is expected to complain
    static void TearDownTestSuite() { av_log_set_level(AV_LOG_INFO); }
};

TEST_F(LavRobustnessTest, FilesLibavformatCannotOpenFailClearly)
{
    std::string why;
    EXPECT_FALSE(OpenBytes({}, &why));
    EXPECT_FALSE(why.empty());

    std::mt19937 rng(42);
    for (int seed = 0; seed < 5; ++seed) {
        std::vector<uint8_t> noise(64 * 1024);
        for (auto& b : noise) b = static_cast<uint8_t>(rng());
        why.clear();
        EXPECT_FALSE(OpenBytes(noise, &why)) << "random bytes accepted, seed " << seed;
        EXPECT_FALSE(why.empty());
    }
    // A text file.
    std::string text(4000, 'a');
    EXPECT_FALSE(OpenBytes(std::vector<uint8_t>(text.begin(), text.end()), &why));
    EXPECT_FALSE(Demuxer::Open(nullptr, {}, &why));
    EXPECT_FALSE(FileByteReader::Open("/nonexistent/file.mp4"));
}

TEST_F(LavRobustnessTest, TruncatedMp4PlaysWhatIsThereAndEnds)
{
    // Index first (faststart): the cut-off data ends the stream early.
    const std::string path = MakeMedia("H264_AAC_MP4_faststart", H264AacArgs() + "-movflags +faststart ", ".mp4");
    std::vector<uint8_t> bytes = ReadAll(path);
    Counts full = DecodeAll(*OpenPath(path));
    bytes.resize(bytes.size() * 55 / 100);
    std::string why;
    auto d = OpenBytes(bytes, &why);
    ASSERT_TRUE(d) << why;
    EXPECT_NEAR(static_cast<double>(d->Duration()) / 1e7, 3.0, 0.2);  // the index still says 3 s
    Counts cut = DecodeAll(*d);
    EXPECT_TRUE(cut.ended);
    EXPECT_GT(cut.pictures, 0);
    EXPECT_LT(cut.pictures, full.pictures);
    DemuxPacket p;
    EXPECT_EQ(d->ReadPacket(p), ReadStatus::EndOfStream);

    // Index last: without it the file cannot be opened.
    std::vector<uint8_t> plain = ReadAll(MakeMedia("H264_AAC_MP4", H264AacArgs(), ".mp4"));
    plain.resize(plain.size() / 2);
    EXPECT_FALSE(OpenBytes(plain, &why));
}

TEST_F(LavRobustnessTest, CorruptedPacketsAreSkippedAndStreamStillEnds)
{
    const std::string paths[] = {
        MakeMedia("H264_AAC_MP4", H264AacArgs(), ".mp4"),
        MakeMedia("MPEG2_MP2_TS",
                  kVideoSource + AudioSource(48000) + "-c:v mpeg2video -q:v 5 -g 25 -c:a mp2 -b:a 128k ", ".ts"),
    };
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        std::mt19937 rng(7);
        const Counts clean = DecodeAll(*OpenPath(path));
        // Damage the payload of every third packet, and cut every seventh
        // short (its trailer then is broken and the sample is refused).
        Counts bad = DecodeAll(*OpenPath(path), [&](std::vector<uint8_t>& bytes, int n) {
            if (n % 7 == 3) {
                bytes.resize(bytes.size() / 2);
            } else if (n % 3 == 0) {
                for (int k = 0; k < 20; ++k) bytes[rng() % (bytes.size() > 16 ? bytes.size() - 16 : 1)] ^= 0xFF;
            }
        });
        EXPECT_TRUE(bad.ended);
        EXPECT_EQ(bad.packets, clean.packets);
        EXPECT_GT(bad.pictures, 0);
        EXPECT_GT(bad.audioBlocks, 0);
        EXPECT_LT(bad.audioBlocks, clean.audioBlocks);
    }
}

TEST_F(LavRobustnessTest, ReadErrorEndsTheStream)
{
    std::vector<uint8_t> bytes = ReadAll(MakeMedia("MPEG2_MP2_TS",
        kVideoSource + AudioSource(48000) + "-c:v mpeg2video -q:v 5 -g 25 -c:a mp2 -b:a 128k ", ".ts"));
    const int64_t failFrom = static_cast<int64_t>(bytes.size() / 2);
    std::string why;
    auto d = OpenBytes(bytes, &why, failFrom);
    ASSERT_TRUE(d) << why;
    Counts c = DecodeAll(*d);
    EXPECT_TRUE(c.ended);
    EXPECT_TRUE(d->ReadError());
    EXPECT_GT(c.pictures, 0);
    DemuxPacket p;
    EXPECT_EQ(d->ReadPacket(p), ReadStatus::EndOfStream);
}

TEST_F(LavRobustnessTest, AbortWakesAReadBlockedInTheReader)
{
    const std::string path = MakeMedia("MPEG2_MP2_TS",
        kVideoSource + AudioSource(48000) + "-c:v mpeg2video -q:v 5 -g 25 -c:a mp2 -b:a 128k ", ".ts");
    auto file = FileByteReader::Open(path);
    const int64_t size = file->Size();
    auto reader = std::make_shared<BlockingReader>(std::move(file));
    std::string why;
    auto d = Demuxer::Open(reader, {}, &why);  // reads the end too, for the duration
    ASSERT_TRUE(d) << why;
    reader->BlockFrom(size * 3 / 4);

    auto reading = std::async(std::launch::async, [&] {
        DemuxPacket p;
        int packets = 0;
        for (;;) {
            ReadStatus s = d->ReadPacket(p);
            if (s != ReadStatus::Packet) return std::make_pair(s, packets);
            ++packets;
        }
    });
    ASSERT_TRUE(reader->WaitBlocked(10s));
    EXPECT_EQ(reading.wait_for(100ms), std::future_status::timeout);  // really stuck in the reader
    d->Abort();
    ASSERT_EQ(reading.wait_for(5s), std::future_status::ready);
    auto [status, packets] = reading.get();
    EXPECT_EQ(status, ReadStatus::Aborted);
    EXPECT_GT(packets, 0);
    RefTime landed;
    EXPECT_FALSE(d->Seek(0, &landed));  // still aborted

    // Usable again after ClearAbort: seek to the start and read to the end.
    reader->BlockFrom(INT64_MAX);
    d->ClearAbort();
    ASSERT_TRUE(d->Seek(0, &landed));
    Counts c = DecodeAll(*d);
    EXPECT_TRUE(c.ended);
    EXPECT_FALSE(d->ReadError());
    EXPECT_EQ(c.pictures, 75);
}

TEST_F(LavRobustnessTest, CoverArtIsNotAVideoStream)
{
    const std::string cover = MakeMedia("cover", "-f lavfi -i color=c=red:size=64x64 -frames:v 1 ", ".png");
    const std::string path = MakeMedia("MP3_Cover",
        AudioSource(44100) + "-i '" + cover + "' -map 0:a -map 1:v -c:a libmp3lame -b:a 64k -c:v png "
        "-disposition:v attached_pic -id3v2_version 3 ", ".mp3");
    auto d = OpenPath(path);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->VideoStream(), nullptr);
    ASSERT_NE(d->AudioStream(), nullptr);
    Counts c = DecodeAll(*d);
    EXPECT_TRUE(c.ended);
    EXPECT_EQ(c.pictures, 0);
    EXPECT_EQ(c.audioBlocks, Probe::CountFrames(path, d->AudioStream()->index));
}

TEST_F(LavRobustnessTest, MpegTsTimeStampWrapKeepsTimesRising)
{
    // 33-bit 90 kHz clock wraps at 95443.7 s: start 1.5 s before it.
    const std::string path = MakeMedia("MPEG2_TS_wrap",
        kVideoSource + "-c:v mpeg2video -q:v 5 -g 25 -bf 0 -output_ts_offset 95442.2 ", ".ts");
    auto d = OpenPath(path);
    ASSERT_TRUE(d);
    EXPECT_NEAR(static_cast<double>(d->Duration()) / 1e7, 3.0, 0.2);
    Counts c = DecodeAll(*d);
    EXPECT_EQ(c.pictures, 75);
    ASSERT_EQ(c.packetStarts.size(), 75u);
    EXPECT_NEAR(c.packetStarts.front(), 0, kMs);
    for (size_t i = 1; i < c.packetStarts.size(); ++i)
        ASSERT_NEAR(c.packetStarts[i] - c.packetStarts[i - 1], 400'000, kMs) << "packet " << i;
    // Seeking across the wrap lands on the key frame at 2 s.
    RefTime landed;
    ASSERT_TRUE(d->Seek(25'000'000, &landed));
    EXPECT_NEAR(landed, 20'000'000, kMs);
}

TEST_F(LavRobustnessTest, PictureSizeChangeIsReported)
{
    // Two MPEG-2 transport streams of different sizes, back to back.
    const std::string a = MakeMedia("TS_160", kVideoSource + "-c:v mpeg2video -q:v 5 -g 25 ", ".ts");
    const std::string b = MakeMedia("TS_320",
        "-f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -c:v mpeg2video -q:v 5 -g 25 -output_ts_offset 3 ", ".ts");
    std::vector<uint8_t> bytes = ReadAll(a), second = ReadAll(b);
    bytes.insert(bytes.end(), second.begin(), second.end());
    std::string why;
    auto d = OpenBytes(bytes, &why);
    ASSERT_TRUE(d) << why;
    Counts c = DecodeAll(*d);
    EXPECT_TRUE(c.ended);
    TempDir tmp;
    WriteAll(tmp.File("both.ts"), bytes);
    EXPECT_EQ(c.pictures, Probe::CountFrames(tmp.File("both.ts"), d->VideoStream()->index));
    EXPECT_GE(c.pictures, 75 + 50 - 1);
    ASSERT_EQ(c.formatChanges, 1);
    EXPECT_EQ(c.changes[0].width, 320);
    EXPECT_EQ(c.changes[0].height, 240);
    EXPECT_EQ(c.changes[0].ImageSize(), 320u * 240 * 3 / 2);
}

TEST_F(LavRobustnessTest, OddPictureSizesUsePackedHalfPlanesRoundedUp)
{
    const std::string path = MakeMedia("RawOdd_NUT",
        "-f lavfi -i testsrc=size=161x121:rate=25:duration=1 -c:v rawvideo -pix_fmt yuv420p ", ".nut");
    auto d = OpenPath(path);
    ASSERT_TRUE(d);
    auto video = VideoDecoder::Create(d->VideoStream()->format, {}, nullptr);
    ASSERT_TRUE(video);
    std::vector<uint8_t> first;
    DemuxPacket p;
    ASSERT_EQ(d->ReadPacket(p), ReadStatus::Packet);
    std::vector<uint8_t> bytes(p.PackedSize());
    p.PackTo(bytes.data());
    auto onPicture = [&](DecodedPicture& pic) {
        EXPECT_EQ(pic.format.ImageSize(), 161u * 121 + 2u * 81 * 61);
        first.resize(pic.format.ImageSize());
        EXPECT_FALSE(video->CopyPicture(pic, first.data(), first.size() - 1));  // too small: refused
        EXPECT_TRUE(video->CopyPicture(pic, first.data(), first.size()));
    };
    video->Decode({bytes.data(), bytes.size(), p.times, p.syncPoint, p.discontinuity}, onPicture);
    video->EndOfStream(onPicture);
    TempDir tmp;
    ASSERT_TRUE(lavtest::Run("ffmpeg -nostdin -v error -i '" + path + "' -frames:v 1 -f rawvideo -pix_fmt yuv420p '" +
                    tmp.File("f.raw") + "'"));
    EXPECT_TRUE(first == ReadAll(tmp.File("f.raw")));
}

TEST_F(LavRobustnessTest, SideDataTrailerRoundTripsAndRefusesDamage)
{
    detail::PacketPtr pkt(av_packet_alloc());
    ASSERT_EQ(av_new_packet(pkt.get(), 5), 0);
    std::memcpy(pkt->data, "hello", 5);
    uint8_t* skip = av_packet_new_side_data(pkt.get(), AV_PKT_DATA_SKIP_SAMPLES, 10);
    ASSERT_TRUE(skip);
    for (int i = 0; i < 10; ++i) skip[i] = static_cast<uint8_t>(i + 1);
    std::vector<uint8_t> packed(PackedPacketSize(pkt.get()));
    const PacketTiming timing{false, 800000};  // shown 80 ms after it is decoded
    PackPacket(pkt.get(), packed.data(), timing);
    EXPECT_EQ(packed.size(), 5u + 10 + 8 + 20);

    detail::PacketPtr out(av_packet_alloc());
    PacketTiming unpacked;
    ASSERT_TRUE(UnpackPacket(packed.data(), packed.size(), out.get(), &unpacked));
    EXPECT_TRUE(unpacked == timing);
    // A packet with a decode time only.
    std::vector<uint8_t> decodeOnly(PackedPacketSize(pkt.get()));
    PackPacket(pkt.get(), decodeOnly.data(), PacketTiming{true, std::nullopt});
    detail::PacketPtr out2(av_packet_alloc());
    ASSERT_TRUE(UnpackPacket(decodeOnly.data(), decodeOnly.size(), out2.get(), &unpacked));
    EXPECT_TRUE(unpacked.startIsDecodeTime);
    EXPECT_FALSE(unpacked.decodeLead);
    ASSERT_EQ(out->size, 5);
    EXPECT_EQ(std::memcmp(out->data, "hello", 5), 0);
    size_t size = 0;
    const uint8_t* sd = av_packet_get_side_data(out.get(), AV_PKT_DATA_SKIP_SAMPLES, &size);
    ASSERT_TRUE(sd);
    ASSERT_EQ(size, 10u);
    EXPECT_EQ(std::memcmp(sd, skip, 10), 0);

    // Every truncation and every single-byte change in the trailer's
    // numbers either is refused or yields a packet within the sample.
    for (size_t n = 0; n < packed.size(); ++n) {
        detail::PacketPtr o(av_packet_alloc());
        EXPECT_FALSE(UnpackPacket(packed.data(), n, o.get())) << n;
    }
    for (size_t i = packed.size() - 16; i < packed.size(); ++i) {
        std::vector<uint8_t> bad = packed;
        bad[i] ^= 0x80;
        detail::PacketPtr o(av_packet_alloc());
        if (UnpackPacket(bad.data(), bad.size(), o.get())) {
            EXPECT_LE(static_cast<size_t>(o->size), bad.size());
        }
    }
}

// The system audio decoder sits behind the WAVE parser, which describes the
// sound with a WAVEFORMATEX instead of the splitter's format block.
TEST_F(LavRobustnessTest, WaveFormatSourcesDecodeLikeFfmpeg)
{
    struct WaveCase
    {
        const char* name;
        const char* codec;
        uint16_t tag;
        int bits;  // output bits
    } cases[] = {{"MSADPCM_st", "adpcm_ms", 2, 16}, {"MuLaw", "pcm_mulaw", 7, 16}, {"ALaw", "pcm_alaw", 6, 16},
                 {"PCM_U8", "pcm_u8", 1, 8}, {"PCM_S16", "pcm_s16le", 1, 16}};
    for (const WaveCase& w : cases) {
        SCOPED_TRACE(w.name);
        const std::string path =
            MakeMedia(std::string("Wave_") + w.name, AudioSource(22050) + "-ac 2 -c:a " + w.codec + " ", ".wav");
        auto d = OpenPath(path);
        ASSERT_TRUE(d);
        const StreamFormat& s = d->AudioStream()->format;
        ASSERT_EQ(s.codecTag, w.tag);
        StreamFormat wave = StreamFormat::FromWaveFormat(
            static_cast<uint16_t>(s.codecTag), s.channels, s.sampleRate, static_cast<int>(s.bitRate / 8), s.blockAlign,
            s.bitsPerCodedSample, s.extradata.data(), s.extradata.size());
        EXPECT_EQ(wave.codecId, s.codecId);
        std::string why;
        auto audio = AudioDecoder::Create(wave, &why);
        ASSERT_TRUE(audio) << why;
        EXPECT_EQ(audio->InitialFormat().bitsPerSample, w.bits);
        EXPECT_EQ(audio->InitialFormat().channels, 2);
        std::vector<uint8_t> pcm;
        auto onAudio = [&](const DecodedAudio& a) { pcm.insert(pcm.end(), a.data, a.data + a.size); };
        DemuxPacket p;
        while (d->ReadPacket(p) == ReadStatus::Packet)  // plain payloads: no trailer on this path
            audio->Decode({p.Data(), p.Size(), p.times, p.syncPoint, p.discontinuity}, onAudio);
        audio->EndOfStream(onAudio);
        EXPECT_EQ(audio->DecodeErrors(), 0);
        TempDir tmp;
        ASSERT_TRUE(lavtest::Run("ffmpeg -nostdin -v error -i '" + path + "' -f " + (w.bits == 8 ? "u8" : "s16le") + " '" +
                        tmp.File("a.raw") + "'"));
        EXPECT_TRUE(pcm == ReadAll(tmp.File("a.raw")));
    }
}

}  // namespace
