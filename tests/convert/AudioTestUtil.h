#pragma once
// Test signals and measurements for the resampler tests.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

#include "playback/MediaFormat.h"

inline MediaFormat Sound(int32_t rate, int32_t bits, int32_t channels)
{
    MediaFormat f{};
    f.width = f.height = f.colorSpace = -7;  // picture half: meaningless here
    f.sampleRate = rate;
    f.bitsPerSample = bits;
    f.channels = channels;
    return f;
}

// Interleaved 16-bit frames, every channel holding the same sine.
inline std::vector<uint8_t> Sine16(double freq, double amplitude, int rate, int channels, int frames,
                                   long firstFrame = 0)
{
    std::vector<uint8_t> out(static_cast<size_t>(frames) * static_cast<size_t>(channels) * 2);
    for (int i = 0; i < frames; ++i) {
        const double t = static_cast<double>(firstFrame + i) / rate;
        const auto v = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * freq * t)));
        for (int c = 0; c < channels; ++c) std::memcpy(&out[(static_cast<size_t>(i) * channels + c) * 2], &v, 2);
    }
    return out;
}

// Interleaved 16-bit frames with a constant value per channel.
inline std::vector<uint8_t> Constant16(const std::vector<int16_t>& perChannel, int frames)
{
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(frames) * perChannel.size() * 2);
    for (int i = 0; i < frames; ++i)
        for (int16_t v : perChannel) {
            uint8_t b[2];
            std::memcpy(b, &v, 2);
            out.insert(out.end(), b, b + 2);
        }
    return out;
}

inline std::vector<int16_t> Samples(const uint8_t* data, long bytes)
{
    std::vector<int16_t> s(static_cast<size_t>(bytes / 2));
    if (!s.empty()) std::memcpy(s.data(), data, s.size() * 2);
    return s;
}

// One channel of interleaved samples.
inline std::vector<double> Channel(const std::vector<int16_t>& s, int channels, int channel, size_t skipFrames = 0)
{
    std::vector<double> c;
    for (size_t i = skipFrames * channels + channel; i < s.size(); i += channels) c.push_back(s[i]);
    return c;
}

// Frequency from the rising zero crossings, located between samples.
inline double MeasureFrequency(const std::vector<double>& x, int rate)
{
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = 1; i < x.size(); ++i)
        if (x[i - 1] < 0 && x[i] >= 0) {
            const double t = static_cast<double>(i - 1) + (-x[i - 1]) / (x[i] - x[i - 1]);
            if (first < 0) first = t;
            last = t;
            ++crossings;
        }
    if (crossings < 2) return 0;
    return (crossings - 1) * static_cast<double>(rate) / (last - first);
}

inline double Rms(const std::vector<double>& x)
{
    double sum = 0;
    for (double v : x) sum += v * v;
    return x.empty() ? 0 : std::sqrt(sum / static_cast<double>(x.size()));
}
