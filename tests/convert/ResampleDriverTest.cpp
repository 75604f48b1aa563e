#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "convert/ResampleDriver.h"
#include "tests/convert/AudioTestUtil.h"

namespace {

constexpr const char* kCreationLine = "CMarlinDlg.OnDateReceive.else.if  m_pResampleData=";

std::string Hex(const void* p)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%lX", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    return buf;
}

int CountOf(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Stands in for the dialog: the object named in the log line.
struct FakeDialog
{
    int dummy = 0;
};

TEST(ResampleDriver, NeedRuleIn64Bits)
{
    EXPECT_EQ(CResampleDriver::Need(17640, 44100, 16000), 17800);
    EXPECT_EQ(CResampleDriver::Need(100000, 8000, 48000), 1205000);
    // Would overflow 32 bits: 1,048,575 x 768,000 x 2.
    EXPECT_EQ(CResampleDriver::Need(1048575, 1, 768000), 1048575LL * 768000 * 2 + 5000);
}

TEST(ResampleDriver, FirstBlockCreatesAndLogsExactly)
{
    FakeDialog dlg;
    CResampleDriver d;
    const std::vector<uint8_t> block = Sine16(1000, 5000, 44100, 2, 441);
    testing::internal::CaptureStderr();
    ResampleOutput out = d.OnBlock(Sound(44100, 16, 2), Sound(44100, 16, 2), block.data(), 1764, &dlg);
    ResampleOutput second = d.OnBlock(Sound(44100, 16, 2), Sound(44100, 16, 2), block.data(), 1764, &dlg);
    const std::string log = testing::internal::GetCapturedStderr();

    ASSERT_NE(d.Data(), nullptr);
    EXPECT_EQ(d.DataLen(), 1048576);
    const std::string line = std::string(kCreationLine) + Hex(d.Data()) + " iDataLen= 1048576 this=" + Hex(&dlg) + "\n";
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_EQ(CountOf(log, kCreationLine), 1);  // only at creation
    EXPECT_TRUE(out.deliver);
    EXPECT_EQ(out.data, d.Data());
    EXPECT_EQ(out.length % 4, 0);
    EXPECT_NEAR(out.length / 4 + second.length / 4, 882, 16);
}

TEST(ResampleDriver, PreparedAheadTheBlocksComeOutAsWithout)
{
    // Made while the playback holds its first block, the resampler is the
    // one that block would have made: same output, same times, one creation.
    FakeDialog dlg;
    const std::vector<uint8_t> block = Sine16(1000, 5000, 48000, 2, 960);
    const MediaFormat src = Sound(48000, 16, 2), dst = Sound(16000, 16, 1);
    CResampleDriver plain, prepared;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(prepared.Prepare(src, dst, &dlg));
    ASSERT_TRUE(prepared.Prepare(src, dst, &dlg));
    for (int i = 0; i < 3; ++i) {
        const BlockTime at{true, i * 200000LL, i == 0};
        ResampleOutput a = plain.OnBlock(src, dst, block.data(), 3840, &dlg, at);
        std::vector<uint8_t> want(a.data, a.data + a.length);
        ResampleOutput b = prepared.OnBlock(src, dst, block.data(), 3840, &dlg, at);
        EXPECT_EQ(std::vector<uint8_t>(b.data, b.data + b.length), want) << "block " << i;
        EXPECT_EQ(b.time, a.time) << "block " << i;
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountOf(log, kCreationLine), 2);  // one for each driver
}

TEST(ResampleDriver, RefusedPairNeverYieldsAndLogsEveryBlock)
{
    FakeDialog dlg;
    CResampleDriver d;
    const std::vector<uint8_t> block(18 * 100, 0);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        ResampleOutput out = d.OnBlock(Sound(48000, 16, 9), Sound(48000, 16, 2), block.data(), 1800, &dlg);
        EXPECT_FALSE(out.deliver);
        EXPECT_EQ(d.Resampler(), nullptr);
    }
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountOf(log, kCreationLine), 3) << log;
    EXPECT_EQ(d.DataLen(), 1048576);  // the buffer is made all the same
}

TEST(ResampleDriver, RateZeroBlocksAreDropped)
{
    FakeDialog dlg;
    CResampleDriver d;
    const std::vector<uint8_t> block(400, 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(d.OnBlock(Sound(0, 16, 2), Sound(48000, 16, 2), block.data(), 400, &dlg).deliver);
    EXPECT_FALSE(d.OnBlock(Sound(48000, 16, 2), Sound(0, 16, 2), block.data(), 400, &dlg).deliver);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(d.Resampler(), nullptr);
}

TEST(ResampleDriver, BlocksOfAMebibyteOrMoreAreDropped)
{
    FakeDialog dlg;
    CResampleDriver d;
    std::vector<uint8_t> block(1048576, 128);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(d.OnBlock(Sound(8000, 8, 1), Sound(8000, 16, 1), block.data(), 1048576, &dlg).deliver);
    ResampleOutput out = d.OnBlock(Sound(8000, 8, 1), Sound(8000, 16, 1), block.data(), 1048575, &dlg);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(out.deliver);
    EXPECT_NEAR(out.length / 2, 1048575, 32);
    EXPECT_FALSE(d.OnBlock(Sound(8000, 8, 1), Sound(8000, 16, 1), block.data(), -1, &dlg).deliver);
}

TEST(ResampleDriver, HundredMillisecondsOfCdSoundToSixteenKiloHertzMono)
{
    FakeDialog dlg;
    CResampleDriver d;
    const std::vector<uint8_t> block = Sine16(1000, 8000, 44100, 2, 4410);
    ASSERT_EQ(block.size(), 17640u);
    testing::internal::CaptureStderr();
    ResampleOutput out = d.OnBlock(Sound(44100, 16, 2), Sound(16000, 16, 1), block.data(), 17640, &dlg);
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(out.deliver);
    EXPECT_EQ(d.DataLen(), 1048576);  // 17,800 needed: the first buffer is enough
    EXPECT_EQ(out.length % 2, 0);
    EXPECT_GE(out.length / 2, 1580);
    EXPECT_LE(out.length / 2, 1601);
}

TEST(ResampleDriver, BufferGrowsToTheNeedBeforeTheRun)
{
    FakeDialog dlg;
    CResampleDriver d;
    const std::vector<uint8_t> block = Sine16(440, 8000, 8000, 1, 50000);
    testing::internal::CaptureStderr();
    ResampleOutput out = d.OnBlock(Sound(8000, 16, 1), Sound(48000, 16, 1), block.data(), 100000, &dlg);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find(" iDataLen= 1048576 this="), std::string::npos);
    EXPECT_EQ(d.DataLen(), 1205000);
    ASSERT_TRUE(out.deliver);
    EXPECT_NEAR(out.length / 2, 300000, 64);

    // A new playback reuses the grown buffer but records 1,048,576 again.
    const uint8_t* grown = d.Data();
    d.ReleaseResampler();
    EXPECT_EQ(d.DataLen(), 1205000);
    testing::internal::CaptureStderr();
    out = d.OnBlock(Sound(8000, 16, 1), Sound(48000, 16, 1), block.data(), 2000, &dlg);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(d.Data(), grown);
    EXPECT_EQ(d.DataLen(), 1048576);
    EXPECT_TRUE(out.deliver);
}

// Feeds `blocks` blocks of the largest accepted size and then empty blocks,
// and returns the output frames in total.
long FeedLargestBlocks(CResampleDriver& d, const MediaFormat& src, const MediaFormat& dst, int blocks,
                       long* frameBytesOut, std::vector<long>* perBlock = nullptr)
{
    FakeDialog dlg;
    const long length = CResampleDriver::kMaxBlockLength - 1;
    std::vector<uint8_t> block(static_cast<size_t>(length));
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + i / 300);
    long total = 0;
    const long frameBytes = 2L * dst.channels;
    *frameBytesOut = frameBytes;
    testing::internal::CaptureStderr();
    for (int i = 0; i < blocks + 8; ++i) {
        // Exactly sized copies: any write or read out of place shows under ASan.
        const long len = i < blocks ? length : 0;
        ResampleOutput out = d.OnBlock(src, dst, block.data(), len, &dlg);
        EXPECT_TRUE(out.deliver);
        EXPECT_LE(out.length, d.DataLen());
        EXPECT_EQ(out.length % frameBytes, 0);
        total += out.length / frameBytes;
        if (perBlock) perBlock->push_back(out.length / frameBytes);
    }
    testing::internal::GetCapturedStderr();
    return total;
}

TEST(ResampleDriver, LargestBlocksNeverOverrunNorLoseFrames)
{
    long frameBytes = 0;
    {  // 2 -> 6, 44.1 -> 48 kHz: three times the input bytes, more than the need rule gives.
        CResampleDriver d;
        std::vector<long> perBlock;
        const long total = FeedLargestBlocks(d, Sound(44100, 16, 2), Sound(48000, 16, 6), 3, &frameBytes, &perBlock);
        const double expected = 3.0 * (1048575 / 4) * 48000 / 44100;
        EXPECT_NEAR(total, expected, 32);
        // The buffer grew to hold each block's output: nothing piles up inside.
        EXPECT_NEAR(perBlock[1], expected / 3, 32);
        EXPECT_GE(d.DataLen(), perBlock[1] * frameBytes);
    }
    {  // 8-bit mono -> stereo at equal rates: four output bytes per input byte.
        CResampleDriver d;
        const long total = FeedLargestBlocks(d, Sound(22050, 8, 1), Sound(22050, 16, 2), 2, &frameBytes);
        EXPECT_NEAR(total, 2.0 * 1048575, 32);
    }
}

TEST(ResampleDriver, OutputLimitCarriesTheRestIntoLaterBlocks)
{
    // With the buffer held at 1 MiB, a 2 -> 6 block yields more than fits:
    // the driver passes the capacity as the limit and the rest follows.
    CResampleDriver d;
    d.SetMaxDataLenForTesting(CResampleDriver::kInitialDataLen);
    long frameBytes = 0;
    const long total = FeedLargestBlocks(d, Sound(48000, 16, 2), Sound(48000, 16, 6), 1, &frameBytes);
    EXPECT_EQ(d.DataLen(), 1048576);
    EXPECT_NEAR(total, 1048575 / 4, 32);
}

TEST(ResampleDriver, SineKeepsFrequencyAndAmplitude)
{
    FakeDialog dlg;
    CResampleDriver d;
    std::vector<int16_t> all;
    testing::internal::CaptureStderr();
    for (int b = 0; b < 10; ++b) {  // one second in blocks of 100 ms
        const std::vector<uint8_t> block = Sine16(1000, 12000, 44100, 2, 4410, 4410L * b);
        ResampleOutput out = d.OnBlock(Sound(44100, 16, 2), Sound(16000, 16, 1), block.data(),
                                       static_cast<long>(block.size()), &dlg);
        ASSERT_TRUE(out.deliver);
        const std::vector<int16_t> s = Samples(out.data, out.length);
        all.insert(all.end(), s.begin(), s.end());
    }
    testing::internal::GetCapturedStderr();
    EXPECT_NEAR(static_cast<double>(all.size()), 16000, 16);  // nothing lost between blocks
    const std::vector<double> x = Channel(all, 1, 0, 100);
    const double freq = MeasureFrequency(x, 16000);
    const double amplitude = Rms(x) * std::numbers::sqrt2;
    EXPECT_NEAR(freq, 1000, 0.5);
    EXPECT_NEAR(amplitude, 12000, 120);
    RecordProperty("frequency_hz", std::to_string(freq));
    RecordProperty("amplitude", std::to_string(amplitude));
}

TEST(ResampleDriver, SourceFormatChangeMakesANewResampler)
{
    FakeDialog dlg;
    CResampleDriver d;
    const std::vector<uint8_t> stereo = Constant16({1000, 1000}, 4410);
    testing::internal::CaptureStderr();
    d.OnBlock(Sound(44100, 16, 2), Sound(44100, 16, 1), stereo.data(), static_cast<long>(stereo.size()), &dlg);
    // The decoder switches to 8-bit mono: read as 16-bit stereo it would be noise.
    const std::vector<uint8_t> mono8(4410, 128);
    ResampleOutput out = d.OnBlock(Sound(44100, 8, 1), Sound(44100, 16, 1), mono8.data(), 4410, &dlg);
    out = d.OnBlock(Sound(44100, 8, 1), Sound(44100, 16, 1), mono8.data(), 4410, &dlg);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountOf(log, kCreationLine), 2);
    ASSERT_NE(d.Resampler(), nullptr);
    EXPECT_EQ(d.Resampler()->SourceFormat().bitsPerSample, 8);
    EXPECT_EQ(d.Resampler()->SourceFormat().channels, 1);
    ASSERT_TRUE(out.deliver);
    EXPECT_NEAR(out.length / 2, 4410, 16);
    for (int16_t s : Samples(out.data, out.length)) ASSERT_EQ(s, 0);
}

}  // namespace

// Output times name the samples that come out: through the filter's delay,
// across blocks, and anew after a seek or a gap in the source's times.
TEST(ResampleDriver, OutputTimesNameTheSamplesThatComeOut)
{
    constexpr int kIn = 44100, kOut = 48000, kBlock = 1024;
    constexpr int64_t kStart = 50'000'000;  // the source begins at 5 s
    constexpr int kImpulseAt = 3000;        // source frame of a click
    auto inTime = [](int64_t frame) { return kStart + frame * 10'000'000 / kIn; };

    CResampleDriver d;
    struct Out
    {
        int64_t time;
        std::vector<int16_t> samples;
    };
    std::vector<Out> outs;
    auto feed = [&](const std::vector<uint8_t>& block, BlockTime time) {
        ResampleOutput r = d.OnBlock(Sound(kIn, 16, 1), Sound(kOut, 16, 1), block.data(),
                                     static_cast<long>(block.size()), nullptr, time);
        EXPECT_TRUE(r.deliver);
        outs.push_back({r.time, Samples(r.data, r.length)});
    };

    // A tiny first block stays inside the filter: empty, at the source's start.
    feed(Constant16({0}, 4), {true, kStart, true});
    ASSERT_TRUE(outs.back().samples.empty());
    EXPECT_EQ(outs.back().time, kStart);
    for (int64_t frame = 4; frame < 8 * kBlock; frame += kBlock) {
        std::vector<uint8_t> block = Constant16({0}, kBlock);
        if (kImpulseAt >= frame && kImpulseAt < frame + kBlock) {
            const int16_t click = 20000;
            std::memcpy(&block[static_cast<size_t>(kImpulseAt - frame) * 2], &click, 2);
        }
        // The source's times, rounded to whole milliseconds as Matroska has them.
        const int64_t stamped = (inTime(frame) + 5000) / 10000 * 10000;
        feed(block, {true, stamped, false});
    }
    // Blocks join up to the tick, and the click comes out at its own time.
    int64_t peakTime = -1;
    int peak = 0;
    for (size_t i = 0; i < outs.size(); ++i) {
        if (i > 0) {
            const int64_t end = outs[i - 1].time + static_cast<int64_t>(outs[i - 1].samples.size()) * 10'000'000 / kOut;
            EXPECT_NEAR(outs[i].time, end, 2) << "block " << i;
        }
        for (size_t k = 0; k < outs[i].samples.size(); ++k) {
            if (std::abs(outs[i].samples[k]) > peak) {
                peak = std::abs(outs[i].samples[k]);
                peakTime = outs[i].time + static_cast<int64_t>(k) * 10'000'000 / kOut;
            }
        }
    }
    ASSERT_GT(peak, 10000);
    EXPECT_NEAR(peakTime, inTime(kImpulseAt), 300) << "the click came out late or early by "
                                                   << (peakTime - inTime(kImpulseAt)) / 10 << " us";

    // A gap of 5 ms in the source's times starts a new run at the new time.
    const int64_t runEnd = outs.back().time + static_cast<int64_t>(outs.back().samples.size()) * 10'000'000 / kOut;
    const int64_t gapAt = inTime(8 * kBlock + 4) + 50'000;
    feed(Constant16({0}, kBlock), {true, gapAt, false});
    EXPECT_NEAR(outs.back().time - runEnd, 50'000, 10);

    // After a seek nothing of the old stream comes out, and the new one
    // starts at its own time.
    feed(Constant16({20000}, kBlock), {true, gapAt + 232199, false});
    const int64_t seekTo = 200'000'000;
    feed(Constant16({0}, kBlock), {true, seekTo, true});
    EXPECT_EQ(outs.back().time, seekTo);
    for (int16_t s : outs.back().samples) ASSERT_EQ(s, 0) << "sound from before the seek";
}
