#include "platform/lavfilters/core/AudioDecoder.h"

#include <cstring>

#include "platform/lavfilters/core/PacketSideData.h"

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
    self->m_bSideDataTrailer = (format.flags & StreamFormat::kFlagSideDataTrailer) != 0;
    self->m_ctx.reset(avcodec_alloc_context3(codec));
    self->m_frame.reset(av_frame_alloc());
    detail::CodecParametersPtr par(avcodec_parameters_alloc());
    if (!self->m_ctx || !self->m_frame || !par || !format.ToCodecParameters(par.get()) ||
        avcodec_parameters_to_context(self->m_ctx.get(), par.get()) < 0)
        return fail("out of memory");
    self->m_ctx->pkt_timebase = detail::kRefTimeBase;
    int err = avcodec_open2(self->m_ctx.get(), codec, nullptr);
    if (err < 0) {
        char buf[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(err, buf, sizeof(buf));
        return fail(std::string("cannot open decoder ") + codec->name + ": " + buf);
    }
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

std::string AudioDecoder::CodecName() const
{
    return m_ctx && m_ctx->codec ? m_ctx->codec->name : "";
}

void AudioDecoder::Decode(const CompressedSample& sample, const AudioCallback& onAudio)
{
    if (m_bDrained) Flush();
    if (!sample.data || sample.size == 0 || sample.size > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE) return;
    detail::PacketPtr pkt(av_packet_alloc());
    if (!pkt) {
        ++m_nErrors;
        return;
    }
    if (m_bSideDataTrailer) {
        if (!UnpackPacket(sample.data, sample.size, pkt.get())) {
            ++m_nErrors;  // a malformed sample: skip it
            return;
        }
    } else {
        if (av_new_packet(pkt.get(), static_cast<int>(sample.size)) < 0) {
            ++m_nErrors;
            return;
        }
        std::memcpy(pkt->data, sample.data, sample.size);
    }
    pkt->pts = sample.times.HasStart() ? sample.times.start : AV_NOPTS_VALUE;
    pkt->dts = AV_NOPTS_VALUE;
    if (sample.times.HasStart() && sample.times.HasStop() && sample.times.stop > sample.times.start)
        pkt->duration = sample.times.stop - sample.times.start;
    if (sample.syncPoint) pkt->flags |= AV_PKT_FLAG_KEY;
    if (sample.discontinuity && sample.times.HasStart()) m_rtNext = kNoTime;

    int err = AVERROR(EAGAIN);
    for (int attempt = 0; attempt < 4 && err == AVERROR(EAGAIN); ++attempt) {
        err = avcodec_send_packet(m_ctx.get(), pkt.get());
        if (err == AVERROR(EAGAIN)) ReceiveAll(onAudio);
    }
    if (err < 0) ++m_nErrors;  // a broken packet: skip it
    ReceiveAll(onAudio);
}

void AudioDecoder::EndOfStream(const AudioCallback& onAudio)
{
    if (m_bDrained) return;
    avcodec_send_packet(m_ctx.get(), nullptr);
    m_bDrained = true;
    ReceiveAll(onAudio);
}

void AudioDecoder::Flush()
{
    avcodec_flush_buffers(m_ctx.get());
    m_bDrained = false;
    m_rtNext = kNoTime;
}

void AudioDecoder::ReceiveAll(const AudioCallback& onAudio)
{
    int consecutiveErrors = 0;
    for (;;) {
        int err = avcodec_receive_frame(m_ctx.get(), m_frame.get());
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
        if (err < 0) {
            ++m_nErrors;
            if (++consecutiveErrors > 16) return;
            continue;
        }
        consecutiveErrors = 0;
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
