#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/mem.h>
}

#include "convert/AudioResampler.h"
#include "tests/convert/AudioTestUtil.h"

namespace {

// Runs constant frames through a resampler at equal rates and returns the
// output frames well after the filter has settled.
std::vector<int16_t> SettledOutput(CAudioResampler& r, const std::vector<uint8_t>& in, int frames, int outChannels)
{
    std::vector<uint8_t> out(static_cast<size_t>(frames + 64) * static_cast<size_t>(outChannels) * 2);
    const int n = r.Convert(in.data(), frames, out.data(), frames + 64);
    EXPECT_GT(n, frames / 2);
    std::vector<int16_t> s = Samples(out.data(), static_cast<long>(n) * outChannels * 2);
    // Drop the filter's start and end.
    const size_t skip = 64 * static_cast<size_t>(outChannels);
    return std::vector<int16_t>(s.begin() + static_cast<long>(skip), s.end() - static_cast<long>(skip));
}

void ExpectChannels(const std::vector<int16_t>& s, const std::vector<int>& want, int tolerance)
{
    const size_t ch = want.size();
    ASSERT_GT(s.size(), ch);
    for (size_t i = 0; i < s.size(); ++i)
        ASSERT_LE(std::abs(s[i] - want[i % ch]), tolerance) << "channel " << i % ch << " sample " << i / ch;
}

TEST(AudioResampler, AcceptsEveryPairOfOneToEightChannels)
{
    for (int in = 1; in <= 8; ++in)
        for (int out = 1; out <= 8; ++out)
            EXPECT_TRUE(CAudioResampler::Create(Sound(44100, 16, in), Sound(48000, 16, out))) << in << "->" << out;
    const std::pair<int, int> refused[] = {{9, 9}, {9, 2}, {2, 9}, {0, 2}, {2, 0}, {0, 0}, {-1, 2}};
    for (auto [in, out] : refused)
        EXPECT_FALSE(CAudioResampler::Create(Sound(44100, 16, in), Sound(44100, 16, out))) << in << "->" << out;
}

TEST(AudioResampler, RefusesRatesOutsideTheRangeAndUnknownWidths)
{
    EXPECT_TRUE(CAudioResampler::Create(Sound(1, 16, 2), Sound(768000, 16, 2)));
    EXPECT_TRUE(CAudioResampler::Create(Sound(768000, 16, 2), Sound(8000, 16, 2)));
    // In range, but libswresample cannot build a filter that long.
    EXPECT_FALSE(CAudioResampler::Create(Sound(768000, 16, 2), Sound(1, 16, 2)));
    for (int rate : {0, -1, 768001, 2000000000}) {
        EXPECT_FALSE(CAudioResampler::Create(Sound(rate, 16, 2), Sound(48000, 16, 2))) << rate;
        EXPECT_FALSE(CAudioResampler::Create(Sound(48000, 16, 2), Sound(rate, 16, 2))) << rate;
    }
    for (int bits : {8, 16, 24, 32}) EXPECT_TRUE(CAudioResampler::Create(Sound(48000, bits, 2), Sound(48000, 16, 2)));
    for (int bits : {0, 4, 12, 20, 48, 64, -16})
        EXPECT_FALSE(CAudioResampler::Create(Sound(48000, bits, 2), Sound(48000, 16, 2))) << bits;
    // The target's width is not read: the output is always 16-bit.
    auto r = CAudioResampler::Create(Sound(48000, 16, 2), Sound(48000, 8, 2));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->TargetFrameBytes(), 4);
}

TEST(AudioResampler, EqualRatesAreStillFiltered)
{
    // 1 kHz passes, 22 kHz lies above the cutoff (0.8 x 24 kHz) and is cut:
    // a pass-through would keep both.
    for (double freq : {1000.0, 22000.0}) {
        auto r = CAudioResampler::Create(Sound(48000, 16, 2), Sound(48000, 16, 2));
        ASSERT_TRUE(r);
        const int frames = 9600;
        std::vector<uint8_t> in = Sine16(freq, 10000, 48000, 2, frames);
        std::vector<uint8_t> out(static_cast<size_t>(frames + 100) * 4);
        const int n = r->Convert(in.data(), frames, out.data(), frames + 100);
        EXPECT_NEAR(n, frames, 32);  // about as many frames out as in
        const double gain = Rms(Channel(Samples(out.data(), n * 4L), 2, 0, 200)) / (10000 / std::numbers::sqrt2);
        if (freq < 2000)
            EXPECT_NEAR(gain, 1.0, 0.02);
        else
            EXPECT_LT(gain, 0.5) << "gain at 22 kHz";
        RecordProperty("gain_at_" + std::to_string(static_cast<int>(freq)), std::to_string(gain));
    }
}

TEST(AudioResampler, UnsignedEightBitMidpointIsSilence)
{
    auto r = CAudioResampler::Create(Sound(22050, 8, 1), Sound(22050, 16, 1));
    ASSERT_TRUE(r);
    const std::vector<uint8_t> in(4000, 128);
    std::vector<uint8_t> out(8400, 0xAB);
    const int n = r->Convert(in.data(), 4000, out.data(), 4200);
    EXPECT_NEAR(n, 4000, 32);
    for (int16_t s : Samples(out.data(), n * 2L)) ASSERT_EQ(s, 0);
    // 0 and 255 are the two ends of the 16-bit range.
    auto low = CAudioResampler::Create(Sound(22050, 8, 1), Sound(22050, 16, 1));
    const std::vector<uint8_t> zeros(4000, 0);
    const int m = low->Convert(zeros.data(), 4000, out.data(), 4200);
    const std::vector<int16_t> s = Samples(out.data(), m * 2L);
    EXPECT_NEAR(s[s.size() / 2], -32768, 64);
}

TEST(AudioResampler, RemixValuesOnConstantInputs)
{
    {  // 6 -> 2: FL FR FC LFE RL RR; LFE must not show.
        auto r = CAudioResampler::Create(Sound(48000, 16, 6), Sound(48000, 16, 2));
        ASSERT_TRUE(r);
        auto s = SettledOutput(*r, Constant16({1000, 2000, 3000, 20000, 4000, -6000}, 4800), 4800, 2);
        ExpectChannels(s, {1000 + 2000 + 2100, 2000 - 3000 + 2100}, 2);
    }
    {  // 6 -> 2 clipped to 16 bits on both ends.
        auto r = CAudioResampler::Create(Sound(48000, 16, 6), Sound(48000, 16, 2));
        auto s = SettledOutput(*r, Constant16({30000, -30000, 0, 0, 30000, -30000}, 4800), 4800, 2);
        ExpectChannels(s, {32767, -32768}, 0);
    }
    {  // 6 -> 2 with front, centre and rear all loud: the sum is far past 16
       // bits and must stay at full scale, never come out with its sign flipped.
        auto r = CAudioResampler::Create(Sound(48000, 16, 6), Sound(48000, 16, 2));
        auto s = SettledOutput(*r, Constant16({32000, 0, 32000, 0, 32000, 0}, 4800), 4800, 2);
        ExpectChannels(s, {32767, 22400}, 1);
        auto n = CAudioResampler::Create(Sound(48000, 16, 6), Sound(48000, 16, 2));
        ExpectChannels(SettledOutput(*n, Constant16({-32768, 0, -32768, 0, -32768, 0}, 4800), 4800, 2),
                       {-32768, -22938}, 1);
    }
    {  // 2 -> 1: the mean.
        auto r = CAudioResampler::Create(Sound(48000, 16, 2), Sound(48000, 16, 1));
        auto s = SettledOutput(*r, Constant16({1000, 3000}, 4800), 4800, 1);
        ExpectChannels(s, {2000}, 1);
        auto neg = CAudioResampler::Create(Sound(48000, 16, 2), Sound(48000, 16, 1));
        ExpectChannels(SettledOutput(*neg, Constant16({-32768, -32768}, 4800), 4800, 1), {-32768}, 1);
    }
    {  // 2 -> 6: L, L/2 + R/2, R, silence x 3.
        auto r = CAudioResampler::Create(Sound(48000, 16, 2), Sound(48000, 16, 6));
        auto s = SettledOutput(*r, Constant16({1000, 3000}, 4800), 4800, 6);
        ExpectChannels(s, {1000, 2000, 3000, 0, 0, 0}, 1);
    }
    {  // 1 -> 2: both sides.
        auto r = CAudioResampler::Create(Sound(48000, 16, 1), Sound(48000, 16, 2));
        ExpectChannels(SettledOutput(*r, Constant16({-1234}, 4800), 4800, 2), {-1234, -1234}, 1);
    }
    {  // 6 -> 1 and 8 -> 2 (no listed weights): the front channels are heard, in their place.
        auto mono = CAudioResampler::Create(Sound(48000, 16, 6), Sound(48000, 16, 1));
        ASSERT_TRUE(mono);
        auto m = SettledOutput(*mono, Constant16({4000, 4000, 0, 0, 0, 0}, 4800), 4800, 1);
        EXPECT_GT(m[m.size() / 2], 1000);
        auto stereo = CAudioResampler::Create(Sound(48000, 16, 8), Sound(48000, 16, 2));
        ASSERT_TRUE(stereo);
        auto st = SettledOutput(*stereo, Constant16({4000, 0, 0, 0, 0, 0, 0, 0}, 4800), 4800, 2);
        EXPECT_GT(st[st.size() / 2 & ~size_t{1}], 1000);
        EXPECT_EQ(st[(st.size() / 2 & ~size_t{1}) + 1], 0);
    }
    {  // n -> n keeps the order.
        auto r = CAudioResampler::Create(Sound(48000, 16, 8), Sound(48000, 16, 8));
        auto s = SettledOutput(*r, Constant16({100, 200, 300, 400, -500, -600, -700, -800}, 4800), 4800, 8);
        ExpectChannels(s, {100, 200, 300, 400, -500, -600, -700, -800}, 1);
    }
}

TEST(AudioResampler, WidePcmIsReadAsWhatItIs)
{
    // 24-bit: packed little-endian triples; 0x123456 is 0x1234 in 16 bits.
    auto r24 = CAudioResampler::Create(Sound(48000, 24, 2), Sound(48000, 16, 2));
    ASSERT_TRUE(r24);
    EXPECT_EQ(r24->SourceFrameBytes(), 6);
    std::vector<uint8_t> in24;
    for (int i = 0; i < 4800; ++i) in24.insert(in24.end(), {0x56, 0x34, 0x12, 0x00, 0x00, 0xF0});  // L, R = -0x100000
    ExpectChannels(SettledOutput(*r24, in24, 4800, 2), {0x1234, -0x1000}, 1);

    // 32-bit: 0x12345678 is 0x1234.
    auto r32 = CAudioResampler::Create(Sound(48000, 32, 1), Sound(48000, 16, 1));
    ASSERT_TRUE(r32);
    EXPECT_EQ(r32->SourceFrameBytes(), 4);
    std::vector<uint8_t> in32;
    for (int i = 0; i < 4800; ++i) in32.insert(in32.end(), {0x78, 0x56, 0x34, 0x12});
    ExpectChannels(SettledOutput(*r32, in32, 4800, 1), {0x1234}, 1);

    // A 24-bit sine keeps its shape (read as 16-bit it would be noise).
    auto sine = CAudioResampler::Create(Sound(48000, 24, 1), Sound(48000, 16, 1));
    std::vector<uint8_t> in;
    for (int i = 0; i < 9600; ++i) {
        const auto v = static_cast<int32_t>(std::lround(2560000 * std::sin(2 * std::numbers::pi * 1000 * i / 48000.0)));
        const auto u = static_cast<uint32_t>(v);
        in.insert(in.end(), {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16)});
    }
    std::vector<uint8_t> out(9700 * 2);
    const int n = sine->Convert(in.data(), 9600, out.data(), 9700);
    const std::vector<double> x = Channel(Samples(out.data(), n * 2L), 1, 0, 200);
    EXPECT_NEAR(MeasureFrequency(x, 48000), 1000, 1);
    EXPECT_NEAR(Rms(x) * std::numbers::sqrt2, 10000, 100);
}

TEST(AudioResampler, OutputLimitKeepsTheRestForLaterCalls)
{
    auto r = CAudioResampler::Create(Sound(48000, 16, 2), Sound(48000, 16, 2));
    const std::vector<uint8_t> in = Sine16(440, 8000, 48000, 2, 10000);
    // A buffer of 1000 frames with a guard behind it.
    std::vector<uint8_t> out(1000 * 4 + 16, 0xCD);
    long total = 0;
    int n = r->Convert(in.data(), 10000, out.data(), 1000);
    EXPECT_EQ(n, 1000);
    total += n;
    for (int i = 0; i < 20 && n > 0; ++i) {
        n = r->Convert(in.data(), 0, out.data(), 1000);
        EXPECT_LE(n, 1000);
        total += n;
    }
    for (size_t i = 4000; i < out.size(); ++i) ASSERT_EQ(out[i], 0xCD);
    EXPECT_NEAR(total, 10000, 32);
}

}  // namespace

TEST(AudioResampler, AWideOutputBufferCostsNoWorkMemoryOfItsSize)
{
    // The driver hands over its whole output buffer (a million frames) with
    // every block of a thousand. Work memory sized by that limit took
    // milliseconds at the first block and after each seek; with FFmpeg's
    // allocations capped well below it, the block must still convert.
    auto r = CAudioResampler::Create(Sound(48000, 16, 2), Sound(16000, 16, 1));
    ASSERT_TRUE(r);
    const std::vector<uint8_t> in = Sine16(440, 8000, 48000, 2, 1024);
    std::vector<uint8_t> out(size_t{1} << 21);
    const int capacity = static_cast<int>(out.size() / 2);
    av_max_alloc(256 * 1024);
    const int first = r->Convert(in.data(), 1024, out.data(), capacity);
    const bool reset = r->Reset();
    const int again = r->Convert(in.data(), 1024, out.data(), capacity);
    av_max_alloc(INT_MAX);
    EXPECT_GT(first, 300);
    EXPECT_TRUE(reset);
    EXPECT_GT(again, 300);
}

TEST(AudioResampler, ResetDropsWhatIsHeldAndKeepsTheSettings)
{
    // 6 -> 2 has a custom remix with clipping; after a reset it still applies,
    // and nothing of the loud sound fed before comes out with the silence after.
    auto r = CAudioResampler::Create(Sound(48000, 16, 6), Sound(44100, 16, 2));
    ASSERT_TRUE(r);
    const std::vector<uint8_t> loud = Constant16({30000, -30000, 0, 0, 30000, -30000}, 4800);
    std::vector<uint8_t> out(6000 * 4);
    ASSERT_GT(r->Convert(loud.data(), 4800, out.data(), 6000), 0);
    ASSERT_GT(r->DelayTicks(), 0) << "the filter holds the last frames";
    ASSERT_TRUE(r->Reset());
    EXPECT_EQ(r->DelayTicks(), 0);
    const std::vector<uint8_t> silence = Constant16({0, 0, 0, 0, 0, 0}, 480);
    const int n = r->Convert(silence.data(), 480, out.data(), 6000);
    for (int16_t s : Samples(out.data(), static_cast<long>(n) * 4)) ASSERT_EQ(s, 0);
    std::vector<uint8_t> settled(9600 * 4);
    const int m = r->Convert(loud.data(), 4800, settled.data(), 9600);
    ASSERT_GT(m, 2000);
    const std::vector<int16_t> s = Samples(settled.data() + 1000 * 4, 1000 * 4);
    ExpectChannels(s, {32767, -32768}, 0);
}
