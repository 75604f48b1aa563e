#include "platform/lavfilters/core/AudioDecoder.h"

#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace lav {
namespace {

bool IsUnsigned8(int sampleFormat)
{
    return sampleFormat == AV_SAMPLE_FMT_U8 || sampleFormat == AV_SAMPLE_FMT_U8P;
}

// A layout swresample can work with: unspecified orders get the default
// layout of their channel count.
void UsableLayout(const AVChannelLayout& in, AVChannelLayout* out)
{
    if (in.order == AV_CHANNEL_ORDER_NATIVE || in.order == AV_CHANNEL_ORDER_CUSTOM) {
        if (av_channel_layout_copy(out, &in) == 0) return;
    }
    av_channel_layout_default(out, in.nb_channels);
}

}  // namespace

std::unique_ptr<AudioDecoder> AudioDecoder::Create(const StreamFormat& format, std::string* error)
{
    auto fail = [&](std::string why) -> std::unique_ptr<AudioDecoder> {
        if (error) *error = std::move(why);
        return nullptr;
    };
    if (format.kind != MediaKind::Audio) return fail("not an audio stream");
    const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(format.codecId));
    if (!codec || codec->type != AVMEDIA_TYPE_AUDIO) return fail("no audio decoder for codec " + format.CodecName());

    std::unique_ptr<AudioDecoder> self(new AudioDecoder());
    if (!self->Open(codec, format, nullptr, error)) return nullptr;
    const AVCodecContext* ctx = self->m_ctx.get();
    AudioFormat& f = self->m_initial;
    f.sampleRate = ctx->sample_rate > 0 ? ctx->sample_rate : format.sampleRate;
    f.channels = ctx->ch_layout.nb_channels > 0 ? ctx->ch_layout.nb_channels : format.channels;
    const int sampleFormat = ctx->sample_fmt != AV_SAMPLE_FMT_NONE ? ctx->sample_fmt : format.sampleFormat;
    f.bitsPerSample = IsUnsigned8(sampleFormat) ? 8 : 16;
    f.channelMask = ctx->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? ctx->ch_layout.u.mask : format.channelMask;
    self->m_last = f;
    return self;
}

AudioDecoder::~AudioDecoder()
{
    av_channel_layout_uninit(&m_swrLayout);
}

void AudioDecoder::Decode(const CompressedSample& sample, const AudioCallback& onAudio)
{
    if (sample.discontinuity && sample.times.HasStart()) m_rtNext = kNoTime;
    Send(sample, [&] { ReceiveAll(onAudio); });
}

void AudioDecoder::EndOfStream(const AudioCallback& onAudio)
{
    SendEnd([&] { ReceiveAll(onAudio); });
}

void AudioDecoder::ReceiveAll(const AudioCallback& onAudio)
{
    while (NextFrame()) {
        const AVFrame* f = m_frame.get();
        AudioFormat out;
        out.sampleRate = f->sample_rate;
        out.channels = f->ch_layout.nb_channels;
        out.bitsPerSample = IsUnsigned8(f->format) ? 8 : 16;
        out.channelMask = f->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? f->ch_layout.u.mask : 0;
        DecodedAudio block;
        if (f->nb_samples <= 0 || out.sampleRate <= 0 || out.channels <= 0 || out.channels > 64 ||
            !Convert(f, out, block)) {
            ++m_nErrors;
            av_frame_unref(m_frame.get());
            continue;
        }
        const RefTime start = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : m_rtNext;
        block.times.start = start;
        block.times.stop =
            start != kNoTime ? start + av_rescale(f->nb_samples, kRefTimePerSecond, out.sampleRate) : kNoTime;
        m_rtNext = block.times.stop;
        block.format = out;
        block.formatChanged = !(out == m_last);
        m_last = out;
        av_frame_unref(m_frame.get());
        onAudio(block);
    }
}

bool AudioDecoder::Convert(const AVFrame* frame, const AudioFormat& out, DecodedAudio& result)
{
    const AVSampleFormat target = out.bitsPerSample == 8 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16;
    const size_t bytes = static_cast<size_t>(frame->nb_samples) * out.BlockAlign();
    if (m_buffer.size() < bytes) m_buffer.resize(bytes);
    result.frames = frame->nb_samples;
    result.size = bytes;
    result.data = m_buffer.data();
    if (frame->format == target) {
        std::memcpy(m_buffer.data(), frame->data[0], bytes);
        return true;
    }
    AVChannelLayout layout{};
    UsableLayout(frame->ch_layout, &layout);
    const bool same = m_swr && m_swrInFormat == frame->format && m_swrRate == frame->sample_rate &&
                      av_channel_layout_compare(&m_swrLayout, &layout) == 0;
    if (!same) {
        m_swr.reset();
        SwrContext* swr = nullptr;
        // Same layout and rate on both sides: only the sample format changes.
        if (swr_alloc_set_opts2(&swr, &layout, target, frame->sample_rate, &layout,
                                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr) < 0 ||
            swr_init(swr) < 0) {
            swr_free(&swr);
            av_channel_layout_uninit(&layout);
            return false;
        }
        m_swr.reset(swr);
        m_swrInFormat = frame->format;
        m_swrRate = frame->sample_rate;
        av_channel_layout_uninit(&m_swrLayout);
        m_swrLayout = layout;  // takes over the layout's storage
    } else {
        av_channel_layout_uninit(&layout);
    }
    uint8_t* dst[1] = {m_buffer.data()};
    const int done = swr_convert(m_swr.get(), dst, frame->nb_samples,
                                 const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (done != frame->nb_samples) return false;
    return true;
}

}  // namespace lav
