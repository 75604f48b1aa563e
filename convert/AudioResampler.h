#pragma once
// The audio resampler of one playback: interleaved PCM of one source format in,
// signed 16-bit interleaved PCM at the target rate and channel count out, on
// libswresample. Input frames that a call cannot place in the output stay
// inside and come out with the next call, so consecutive blocks form one
// continuous stream. Used by one thread at a time (the audio streaming thread).
#include <cstdint>
#include <memory>
#include <vector>

#include "playback/MediaFormat.h"

struct SwrContext;

class CAudioResampler
{
public:
    static constexpr int32_t kMaxRate = 768000;
    static constexpr int32_t kMaxChannels = 8;

    // A resampler from the sound fields of `source` (sampleRate,
    // bitsPerSample, channels) to those of `target` (sampleRate, channels;
    // its bitsPerSample is not read), or null when the pair is refused:
    //   - rates outside 1..768,000 Hz on either side;
    //   - sample widths other than 8 (unsigned), 16, 24 or 32 bits (signed);
    //   - channel counts outside 1..8 on either side;
    //   - rate pairs libswresample cannot build a filter for (768,000 -> 1).
    // Remix: n->n keeps the channels; 1->2 copies the channel to both; 2->1 is
    // (L + R) / 2; 6->2 (FL FR FC LFE RL RR) is FL + 0.5 RL + 0.7 FC and FR +
    // 0.5 RR + 0.7 FC, LFE dropped, mixed in float and clipped to 16 bits;
    // 2->6 is L, L/2 + R/2, R and three silent channels. Any other pair gets
    // libswresample's standard mix of the default layouts (normalised so that
    // it cannot overflow). The filter is a 16-tap, 1024-phase windowed sinc (Kaiser,
    // beta 9, cutoff 0.8, no linear interpolation), applied also when the
    // rates are equal.
    static std::unique_ptr<CAudioResampler> Create(const MediaFormat& source, const MediaFormat& target);

    ~CAudioResampler();
    CAudioResampler(const CAudioResampler&) = delete;
    CAudioResampler& operator=(const CAudioResampler&) = delete;

    // Bytes of one source frame (bytes per sample x channels).
    int SourceFrameBytes() const { return m_nSourceFrameBytes; }
    // Bytes of one output frame (2 x target channels).
    int TargetFrameBytes() const { return 2 * m_target.channels; }

    // The largest number of frames the next Convert of `frames` source frames
    // can yield, counting frames still held inside.
    int64_t MaxOutputFrames(int frames) const;

    // Converts `frames` whole source frames from `data` into `out`, writing at
    // most `outCapacityFrames` frames; what does not fit stays inside for the
    // next call. Returns the frames written (0 included), or a negative value
    // when libswresample fails.
    int Convert(const uint8_t* data, int frames, uint8_t* out, int outCapacityFrames);

    // How far the next output frame lies before the next input frame, in
    // 100 ns: the time of the input frames held inside (filter history and
    // what did not fit the last output).
    int64_t DelayTicks() const;
    // Drops what is held inside, so that the next input starts a new stream
    // (after a seek); the settings stay.
    bool Reset();

    // True when this resampler was made for the sound fields of these formats.
    bool MadeFor(const MediaFormat& source, const MediaFormat& target) const;
    const MediaFormat& SourceFormat() const { return m_source; }
    const MediaFormat& TargetFormat() const { return m_target; }

private:
    CAudioResampler() = default;

    SwrContext* m_pSwr = nullptr;  // owned; freed by the destructor
    MediaFormat m_source{};        // sound fields only
    MediaFormat m_target{};        // sampleRate and channels only
    int m_nSourceFrameBytes = 0;
    std::vector<int32_t> m_unpacked;  // 24-bit source widened to 32 bits, reused
};
