#include "platform/lavfilters/core/CodecDecoder.h"

#include <cstring>

#include "platform/lavfilters/core/PacketSideData.h"
#include "platform/os/Thread.h"

namespace lav::detail {

bool CodecDecoder::Open(const AVCodec* codec, const StreamFormat& format,
                        const std::function<void(AVCodecContext*)>& configure, std::string* error)
{
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    m_bSideDataTrailer = (format.flags & StreamFormat::kFlagSideDataTrailer) != 0;
    m_ctx.reset(avcodec_alloc_context3(codec));
    m_frame.reset(av_frame_alloc());
    CodecParametersPtr par(avcodec_parameters_alloc());
    if (!m_ctx || !m_frame || !par || !format.ToCodecParameters(par.get()) ||
        avcodec_parameters_to_context(m_ctx.get(), par.get()) < 0)
        return fail("out of memory");
    // Packets carry 100 ns times; best_effort_timestamp comes back in them.
    m_ctx->pkt_timebase = kRefTimeBase;
    if (configure) configure(m_ctx.get());
    int err;
    {
        // The codec's worker threads start here and keep this nice value.
        CNormalPriorityScope normal;
        err = avcodec_open2(m_ctx.get(), codec, nullptr);
    }
    if (err < 0) {
        char buf[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(err, buf, sizeof(buf));
        return fail(std::string("cannot open decoder ") + codec->name + ": " + buf);
    }
    return true;
}

std::string CodecDecoder::CodecName() const
{
    return m_ctx && m_ctx->codec ? m_ctx->codec->name : "";
}

void CodecDecoder::Send(const CompressedSample& sample, const std::function<void()>& drain)
{
    if (m_bDrained) Flush();
    if (!sample.data || sample.size == 0 || sample.size > INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE) return;
    PacketPtr pkt(av_packet_alloc());
    if (!pkt) {
        ++m_nErrors;
        return;
    }
    PacketTiming timing;
    if (m_bSideDataTrailer) {
        if (!UnpackPacket(sample.data, sample.size, pkt.get(), &timing)) {
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
    // The times as the container gave them, so that best_effort_timestamp
    // comes out as it does for ffmpeg: without a presentation time (AVI) the
    // codec's reordering decides, with one the decode time helps tell which
    // of the two is sound.
    const RefTime start = sample.times.HasStart() ? sample.times.start : AV_NOPTS_VALUE;
    pkt->pts = start;
    pkt->dts = AV_NOPTS_VALUE;
    if (start != AV_NOPTS_VALUE && timing.startIsDecodeTime) {
        pkt->pts = AV_NOPTS_VALUE;
        pkt->dts = start;
    } else if (start != AV_NOPTS_VALUE && timing.decodeLead) {
        pkt->dts = start - *timing.decodeLead;
    }
    if (sample.times.HasStart() && sample.times.HasStop() && sample.times.stop > sample.times.start)
        pkt->duration = sample.times.stop - sample.times.start;
    if (sample.syncPoint) pkt->flags |= AV_PKT_FLAG_KEY;

    // EAGAIN means frames must be taken out first; after that the packet
    // fits. The bound only guards against a codec that breaks that promise.
    int err = AVERROR(EAGAIN);
    for (int attempt = 0; attempt < 4 && err == AVERROR(EAGAIN); ++attempt) {
        err = avcodec_send_packet(m_ctx.get(), pkt.get());
        if (err == AVERROR(EAGAIN)) drain();
    }
    if (err < 0) ++m_nErrors;  // a broken packet: skip it
    drain();
}

void CodecDecoder::SendEnd(const std::function<void()>& drain)
{
    if (m_bDrained) return;
    avcodec_send_packet(m_ctx.get(), nullptr);
    m_bDrained = true;
    drain();
}

void CodecDecoder::Flush()
{
    avcodec_flush_buffers(m_ctx.get());
    m_bDrained = false;
    m_rtNext = kNoTime;
}

bool CodecDecoder::NextFrame()
{
    int consecutiveErrors = 0;
    for (;;) {
        const int err = avcodec_receive_frame(m_ctx.get(), m_frame.get());
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return false;
        if (err >= 0) return true;
        // A frame that failed, e.g. in a frame thread; the next may be fine.
        ++m_nErrors;
        if (++consecutiveErrors > 16) return false;
    }
}

}  // namespace lav::detail
