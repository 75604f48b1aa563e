// The format block is untrusted input on the decoder side: it must round-trip
// exactly and every malformed variant must be refused without reading past it.
#include <gtest/gtest.h>

#include <random>

#include "platform/lavfilters/core/AudioDecoder.h"
#include "platform/lavfilters/core/Demuxer.h"
#include "platform/lavfilters/core/StreamFormat.h"
#include "platform/lavfilters/core/VideoDecoder.h"
#include "tests/lavfilters/TestMedia.h"

using namespace lav;

namespace {

StreamFormat SampleFormat()
{
    StreamFormat f;
    f.kind = MediaKind::Audio;
    f.codecId = AV_CODEC_ID_AAC;
    f.codecTag = 0xff;
    f.sampleFormat = AV_SAMPLE_FMT_FLTP;
    f.sampleRate = 48000;
    f.channels = 6;
    f.channelMask = AV_CH_LAYOUT_5POINT1;
    f.bitRate = 192000;
    f.timeBaseNum = 1;
    f.timeBaseDen = 48000;
    f.extradata = {0x11, 0x90, 0x56, 0xe5, 0x00};
    return f;
}

// Writes a little-endian 32-bit value into a block.
void Poke32(std::vector<uint8_t>& block, size_t offset, uint32_t v)
{
    for (int i = 0; i < 4; ++i) block[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(LavStreamFormatTest, RoundTripsEveryField)
{
    const StreamFormat f = SampleFormat();
    const std::vector<uint8_t> block = f.Serialize();
    ASSERT_EQ(block.size(), StreamFormat::kHeaderSize + f.extradata.size());
    auto parsed = StreamFormat::Parse(block.data(), block.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, f);

    // Padding after the extradata (a framework may round the block up).
    std::vector<uint8_t> padded = block;
    padded.resize(padded.size() + 16, 0xAB);
    auto again = StreamFormat::Parse(padded.data(), padded.size());
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, f);
}

TEST(LavStreamFormatTest, RoundTripsRealStreams)
{
    const std::string path = lavtest::MakeMedia("H264_AAC_MP4", lavtest::H264AacArgs(), ".mp4");
    auto demuxer = Demuxer::Open(FileByteReader::Open(path), {}, nullptr);
    ASSERT_TRUE(demuxer);
    for (const DemuxStream* s : {demuxer->VideoStream(), demuxer->AudioStream()}) {
        ASSERT_TRUE(s);
        EXPECT_FALSE(s->format.extradata.empty()) << "avcC / AudioSpecificConfig expected";
        const auto block = s->format.Serialize();
        auto parsed = StreamFormat::Parse(block.data(), block.size());
        ASSERT_TRUE(parsed);
        EXPECT_EQ(*parsed, s->format);
    }
    EXPECT_EQ(demuxer->VideoStream()->format.CodecName(), "h264");
    EXPECT_EQ(demuxer->AudioStream()->format.CodecName(), "aac");
    // RIFF tags the splitter builds subtypes from.
    EXPECT_EQ(demuxer->VideoStream()->format.SuggestedFourCC(), 0x34363248u);  // "H264"
    EXPECT_EQ(demuxer->AudioStream()->format.SuggestedFourCC(), 0xFFu);        // WAVE_FORMAT_AAC
}

TEST(LavStreamFormatTest, RefusesMalformedBlocks)
{
    const std::vector<uint8_t> good = SampleFormat().Serialize();
    EXPECT_FALSE(StreamFormat::Parse(nullptr, 0));
    // Every truncation.
    for (size_t n = 0; n < good.size(); ++n) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(n));
        EXPECT_FALSE(StreamFormat::Parse(cut.data(), cut.size())) << "length " << n;
    }
    auto refused = [&](size_t offset, uint32_t value) {
        std::vector<uint8_t> bad = good;
        Poke32(bad, offset, value);
        return !StreamFormat::Parse(bad.data(), bad.size());
    };
    EXPECT_TRUE(refused(0, 0x12345678));                              // magic
    EXPECT_TRUE(refused(4, 0x00900002));                              // version 2
    EXPECT_TRUE(refused(4, 0xFFFF0001));                              // header size beyond the block
    EXPECT_TRUE(refused(StreamFormat::kHeaderSize - 4, 6));           // extradata longer than the block
    EXPECT_TRUE(refused(StreamFormat::kHeaderSize - 4, 0xFFFFFFFF));  // huge extradata (no overflow)
    EXPECT_TRUE(refused(8, 7));                                       // unknown kind
    EXPECT_TRUE(refused(48, 100000));                                 // width
    EXPECT_TRUE(refused(104, 5000));                                  // channels
    EXPECT_TRUE(refused(100, 0xFFFFFFFF));                            // negative sample rate
    EXPECT_TRUE(refused(108, 0x3));                                   // mask bits != channels
}

TEST(LavStreamFormatTest, RandomMutationsNeverCrashAndDecodersRefuseNonsense)
{
    const std::vector<uint8_t> good = SampleFormat().Serialize();
    std::mt19937 rng(1234);
    int accepted = 0;
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> bad = good;
        const int flips = 1 + static_cast<int>(rng() % 4);
        for (int k = 0; k < flips; ++k) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
        bad.resize(rng() % 3 == 0 ? rng() % (good.size() + 8) : bad.size());
        auto f = StreamFormat::Parse(bad.data(), bad.size());
        if (!f) continue;
        ++accepted;
        // What passes the parser must be safe to hand to libavcodec.
        if (f->kind == MediaKind::Audio) {
            auto dec = AudioDecoder::Create(*f, nullptr);
        } else if (i % 10 == 0) {
            auto dec = VideoDecoder::Create(*f, {}, nullptr);
        }
    }
    EXPECT_GT(accepted, 0);
    StreamFormat wrongKind = SampleFormat();
    std::string why;
    EXPECT_FALSE(VideoDecoder::Create(wrongKind, {}, &why));
    EXPECT_FALSE(why.empty());
    wrongKind.codecId = 0x7ffffff0;
    EXPECT_FALSE(AudioDecoder::Create(wrongKind, &why));
}

}  // namespace
