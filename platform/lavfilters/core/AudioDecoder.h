#pragma once
// libavcodec audio decoding into interleaved PCM (WAVE_FORMAT_PCM): signed
// 16-bit, or unsigned 8-bit when the source is unsigned 8-bit, at the
// source's rate and channel count, channels in FFmpeg's native order (the
// WAVE order). Only the sample format is converted (libswresample), never
// the rate or the channels.
//
// Threads: one thread at a time, as the transform base calls it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/lavfilters/core/CodecDecoder.h"
#include "platform/lavfilters/core/CompressedSample.h"
#include "platform/lavfilters/core/FFmpegPtr.h"
#include "platform/lavfilters/core/LavTypes.h"
#include "platform/lavfilters/core/StreamFormat.h"

namespace lav {

// The WAVEFORMATEX of the output (wFormatTag 1, cbSize 0).
struct AudioFormat
{
    int32_t sampleRate = 0;
    int32_t channels = 0;
    int32_t bitsPerSample = 16;  // 16, or 8 for unsigned 8-bit sources
    uint64_t channelMask = 0;    // native-order mask, 0 when the source has none

    static constexpr uint16_t kFormatTag = 1;  // WAVE_FORMAT_PCM
    uint16_t BlockAlign() const { return static_cast<uint16_t>(channels * bitsPerSample / 8); }
    uint32_t AvgBytesPerSec() const { return static_cast<uint32_t>(sampleRate) * BlockAlign(); }
    bool operator==(const AudioFormat&) const = default;
};

struct DecodedAudio
{
    SampleTimes times;           // 100 ns; stop = start + frames / rate
    AudioFormat format;
    bool formatChanged = false;  // differs from the previous block (or InitialFormat)
    const uint8_t* data = nullptr;  // interleaved PCM, valid during the callback
    size_t size = 0;                // bytes = frames * BlockAlign
    int frames = 0;                 // samples per channel
};

class AudioDecoder final : public detail::CodecDecoder
{
public:
    using AudioCallback = std::function<void(const DecodedAudio&)>;

    static std::unique_ptr<AudioDecoder> Create(const StreamFormat& format, std::string* error);
    ~AudioDecoder();

    // The format expected from the stream parameters (the output type offered
    // at connection time).
    AudioFormat InitialFormat() const { return m_initial; }

    // Decodes one packet; broken packets are skipped (DecodeErrors).
    void Decode(const CompressedSample& sample, const AudioCallback& onAudio);
    // End of stream: hands out what the codec still holds.
    void EndOfStream(const AudioCallback& onAudio);

private:
    AudioDecoder() = default;
    void ReceiveAll(const AudioCallback& onAudio);
    bool Convert(const AVFrame* frame, const AudioFormat& out, DecodedAudio& result);

    detail::SwrPtr m_swr;             // for the current input sample format
    int m_swrInFormat = -1;
    AVChannelLayout m_swrLayout{};    // layout m_swr was set up for
    int m_swrRate = 0;
    std::vector<uint8_t> m_buffer;    // converted PCM of the current block
    AudioFormat m_initial;
    AudioFormat m_last;
};

}  // namespace lav
