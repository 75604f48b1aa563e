#include "platform/lavfilters/core/StreamFormat.h"

#include <bit>
#include <algorithm>
#include <cstring>

#include "platform/lavfilters/core/FFmpegPtr.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace lav {
namespace {

class Writer
{
public:
    explicit Writer(std::vector<uint8_t>& out) : m_out(out) {}
    void U16(uint16_t v) { Bytes(v, 2); }
    void U32(uint32_t v) { Bytes(v, 4); }
    void I32(int32_t v) { Bytes(static_cast<uint32_t>(v), 4); }
    void U64(uint64_t v) { Bytes(v, 8); }
    void I64(int64_t v) { Bytes(static_cast<uint64_t>(v), 8); }

private:
    void Bytes(uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i) m_out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    std::vector<uint8_t>& m_out;
};

// Reads fixed fields; every read is bounds-checked and a failed read sticks.
class Reader
{
public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool ok() const { return m_ok; }
    size_t offset() const { return m_pos; }
    uint16_t U16() { return static_cast<uint16_t>(Bytes(2)); }
    uint32_t U32() { return static_cast<uint32_t>(Bytes(4)); }
    int32_t I32() { return static_cast<int32_t>(static_cast<uint32_t>(Bytes(4))); }
    uint64_t U64() { return Bytes(8); }
    int64_t I64() { return static_cast<int64_t>(Bytes(8)); }

private:
    uint64_t Bytes(size_t n)
    {
        if (!m_ok || m_size - m_pos < n) {
            m_ok = false;
            return 0;
        }
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(m_data[m_pos + i]) << (8 * i);
        m_pos += n;
        return v;
    }
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
    bool m_ok = true;
};

bool InRange(int64_t v, int64_t lo, int64_t hi)
{
    return v >= lo && v <= hi;
}

}  // namespace

StreamFormat StreamFormat::FromStream(const AVStream* stream)
{
    const AVCodecParameters* par = stream->codecpar;
    StreamFormat f;
    f.kind = par->codec_type == AVMEDIA_TYPE_AUDIO ? MediaKind::Audio : MediaKind::Video;
    f.codecId = par->codec_id;
    f.codecTag = par->codec_tag;
    f.profile = par->profile;
    f.level = par->level;
    f.bitRate = par->bit_rate;
    f.bitsPerCodedSample = par->bits_per_coded_sample;
    f.bitsPerRawSample = par->bits_per_raw_sample;
    if (f.kind == MediaKind::Video) {
        f.width = par->width;
        f.height = par->height;
        f.pixelFormat = par->format;
        AVRational sar = stream->sample_aspect_ratio.num ? stream->sample_aspect_ratio : par->sample_aspect_ratio;
        if (sar.num > 0 && sar.den > 0) {
            f.sarNum = sar.num;
            f.sarDen = sar.den;
        }
        f.colorRange = par->color_range;
        f.colorPrimaries = par->color_primaries;
        f.colorTrc = par->color_trc;
        f.colorSpace = par->color_space;
        f.chromaLocation = par->chroma_location;
        // avg_frame_rate is what players show; r_frame_rate is the fallback
        // for containers that only know the base rate.
        AVRational fr = stream->avg_frame_rate;
        if (fr.num <= 0 || fr.den <= 0) fr = stream->r_frame_rate;
        if (fr.num > 0 && fr.den > 0) {
            f.frameRateNum = fr.num;
            f.frameRateDen = fr.den;
        }
    } else {
        f.sampleFormat = par->format;
        f.sampleRate = par->sample_rate;
        f.channels = par->ch_layout.nb_channels;
        if (par->ch_layout.order == AV_CHANNEL_ORDER_NATIVE) f.channelMask = par->ch_layout.u.mask;
        f.blockAlign = par->block_align;
        f.frameSize = par->frame_size;
        f.initialPadding = par->initial_padding;
        f.trailingPadding = par->trailing_padding;
        f.seekPreroll = par->seek_preroll;
    }
    f.timeBaseNum = stream->time_base.num;
    f.timeBaseDen = stream->time_base.den;
    if (par->extradata && par->extradata_size > 0 &&
        static_cast<uint32_t>(par->extradata_size) <= kMaxExtradata) {
        f.extradata.assign(par->extradata, par->extradata + par->extradata_size);
    }
    return f;
}

std::vector<uint8_t> StreamFormat::Serialize() const
{
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + extradata.size());
    Writer w(out);
    w.U32(kMagic);
    w.U16(kVersion);
    w.U16(static_cast<uint16_t>(kHeaderSize));
    w.I32(static_cast<int32_t>(kind));
    w.I32(codecId);
    w.U32(codecTag);
    w.U32(flags);
    w.I32(profile);
    w.I32(level);
    w.I64(bitRate);
    w.I32(bitsPerCodedSample);
    w.I32(bitsPerRawSample);
    w.I32(width);
    w.I32(height);
    w.I32(pixelFormat);
    w.I32(sarNum);
    w.I32(sarDen);
    w.I32(colorRange);
    w.I32(colorPrimaries);
    w.I32(colorTrc);
    w.I32(colorSpace);
    w.I32(chromaLocation);
    w.I32(frameRateNum);
    w.I32(frameRateDen);
    w.I32(sampleFormat);
    w.I32(sampleRate);
    w.I32(channels);
    w.U64(channelMask);
    w.I32(blockAlign);
    w.I32(frameSize);
    w.I32(initialPadding);
    w.I32(trailingPadding);
    w.I32(seekPreroll);
    w.I32(timeBaseNum);
    w.I32(timeBaseDen);
    w.U32(static_cast<uint32_t>(extradata.size()));
    out.insert(out.end(), extradata.begin(), extradata.end());
    return out;
}

std::optional<StreamFormat> StreamFormat::Parse(const uint8_t* data, size_t size)
{
    if (!data || size < kHeaderSize) return std::nullopt;
    Reader r(data, size);
    if (r.U32() != kMagic || r.U16() != kVersion) return std::nullopt;
    // A later writer may grow the header; this reader needs at least its own.
    const uint16_t headerSize = r.U16();
    if (headerSize < kHeaderSize || headerSize > size) return std::nullopt;

    StreamFormat f;
    const int32_t kind = r.I32();
    f.codecId = r.I32();
    f.codecTag = r.U32();
    f.flags = r.U32();
    f.profile = r.I32();
    f.level = r.I32();
    f.bitRate = r.I64();
    f.bitsPerCodedSample = r.I32();
    f.bitsPerRawSample = r.I32();
    f.width = r.I32();
    f.height = r.I32();
    f.pixelFormat = r.I32();
    f.sarNum = r.I32();
    f.sarDen = r.I32();
    f.colorRange = r.I32();
    f.colorPrimaries = r.I32();
    f.colorTrc = r.I32();
    f.colorSpace = r.I32();
    f.chromaLocation = r.I32();
    f.frameRateNum = r.I32();
    f.frameRateDen = r.I32();
    f.sampleFormat = r.I32();
    f.sampleRate = r.I32();
    f.channels = r.I32();
    f.channelMask = r.U64();
    f.blockAlign = r.I32();
    f.frameSize = r.I32();
    f.initialPadding = r.I32();
    f.trailingPadding = r.I32();
    f.seekPreroll = r.I32();
    f.timeBaseNum = r.I32();
    f.timeBaseDen = r.I32();
    const uint32_t extraSize = r.U32();
    if (!r.ok()) return std::nullopt;

    if (kind != static_cast<int32_t>(MediaKind::Video) && kind != static_cast<int32_t>(MediaKind::Audio))
        return std::nullopt;
    f.kind = static_cast<MediaKind>(kind);
    if (extraSize > kMaxExtradata || extraSize > size - headerSize) return std::nullopt;
    // Ranges beyond which FFmpeg would misbehave or allocate absurd buffers.
    if (!InRange(f.codecId, 0, 0x7fffffff) || f.bitRate < 0 || !InRange(f.width, 0, 16384) ||
        !InRange(f.height, 0, 16384) || !InRange(f.pixelFormat, -1, AV_PIX_FMT_NB - 1) ||
        f.sarNum < 0 || f.sarDen < 0 || !InRange(f.colorRange, 0, AVCOL_RANGE_NB - 1) ||
        !InRange(f.colorPrimaries, 0, AVCOL_PRI_NB - 1) || !InRange(f.colorTrc, 0, AVCOL_TRC_NB - 1) ||
        !InRange(f.colorSpace, 0, AVCOL_SPC_NB - 1) || !InRange(f.chromaLocation, 0, AVCHROMA_LOC_NB - 1) ||
        f.frameRateNum < 0 || f.frameRateDen < 0 || !InRange(f.sampleFormat, -1, AV_SAMPLE_FMT_NB - 1) ||
        !InRange(f.sampleRate, 0, 1'536'000) || !InRange(f.channels, 0, 64) || !InRange(f.blockAlign, 0, 1 << 24) ||
        !InRange(f.frameSize, 0, 1 << 24) || !InRange(f.bitsPerCodedSample, 0, 64) ||
        !InRange(f.bitsPerRawSample, 0, 64) || f.initialPadding < 0 || f.trailingPadding < 0 || f.seekPreroll < 0 ||
        f.timeBaseNum < 0 || f.timeBaseDen < 0)
        return std::nullopt;
    if (f.channelMask != 0 && std::popcount(f.channelMask) != f.channels) return std::nullopt;
    const uint8_t* extra = data + headerSize;
    f.extradata.assign(extra, extra + extraSize);
    return f;
}

bool StreamFormat::ToCodecParameters(AVCodecParameters* par) const
{
    par->codec_type = kind == MediaKind::Audio ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
    par->codec_id = static_cast<AVCodecID>(codecId);
    par->codec_tag = codecTag;
    par->profile = profile;
    par->level = level;
    par->bit_rate = bitRate;
    par->bits_per_coded_sample = bitsPerCodedSample;
    par->bits_per_raw_sample = bitsPerRawSample;
    if (kind == MediaKind::Video) {
        par->width = width;
        par->height = height;
        par->format = pixelFormat;
        par->sample_aspect_ratio = AVRational{sarNum, sarDen ? sarDen : 1};
        par->color_range = static_cast<AVColorRange>(colorRange);
        par->color_primaries = static_cast<AVColorPrimaries>(colorPrimaries);
        par->color_trc = static_cast<AVColorTransferCharacteristic>(colorTrc);
        par->color_space = static_cast<AVColorSpace>(colorSpace);
        par->chroma_location = static_cast<AVChromaLocation>(chromaLocation);
    } else {
        par->format = sampleFormat;
        par->sample_rate = sampleRate;
        av_channel_layout_uninit(&par->ch_layout);
        if (channelMask != 0) {
            av_channel_layout_from_mask(&par->ch_layout, channelMask);
        } else if (channels > 0) {
            par->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
            par->ch_layout.nb_channels = channels;
        }
        par->block_align = blockAlign;
        par->frame_size = frameSize;
        par->initial_padding = initialPadding;
        par->trailing_padding = trailingPadding;
        par->seek_preroll = seekPreroll;
    }
    av_freep(&par->extradata);
    par->extradata_size = 0;
    if (!extradata.empty()) {
        par->extradata = static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata) return false;
        std::memcpy(par->extradata, extradata.data(), extradata.size());
        par->extradata_size = static_cast<int>(extradata.size());
    }
    return true;
}

StreamFormat StreamFormat::FromWaveFormat(uint16_t formatTag, int channels, int samplesPerSec, int avgBytesPerSec,
                                          int blockAlign, int bitsPerSample, const uint8_t* extra, size_t extraSize)
{
    StreamFormat f;
    f.kind = MediaKind::Audio;
    static const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
    AVCodecID id = av_codec_get_id(tables, formatTag);
    // PCM's codec depends on the sample size, as the WAVE reader decides it.
    if (formatTag == 1) {
        id = bitsPerSample == 8    ? AV_CODEC_ID_PCM_U8
             : bitsPerSample == 24 ? AV_CODEC_ID_PCM_S24LE
             : bitsPerSample == 32 ? AV_CODEC_ID_PCM_S32LE
                                   : AV_CODEC_ID_PCM_S16LE;
    } else if (formatTag == 3) {
        id = bitsPerSample == 64 ? AV_CODEC_ID_PCM_F64LE : AV_CODEC_ID_PCM_F32LE;
    }
    f.codecId = id;
    f.codecTag = formatTag;
    f.channels = channels;
    f.sampleRate = samplesPerSec;
    f.bitRate = int64_t{avgBytesPerSec} * 8;
    f.blockAlign = blockAlign;
    f.bitsPerCodedSample = bitsPerSample;
    if (extra && extraSize > 0 && extraSize <= kMaxExtradata) f.extradata.assign(extra, extra + extraSize);
    return f;
}

StreamFormat StreamFormat::FromBitmapInfo(uint32_t compression, int width, int height, int bitCount,
                                          RefTime avgTimePerFrame, const uint8_t* extra, size_t extraSize)
{
    StreamFormat f;
    f.kind = MediaKind::Video;
    static const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
    f.codecId = av_codec_get_id(tables, compression);
    f.codecTag = compression;
    f.width = width;
    f.height = height < 0 ? -height : height;
    f.bitsPerCodedSample = bitCount;
    if (avgTimePerFrame > 0) {
        f.frameRateNum = static_cast<int32_t>(kRefTimePerSecond);
        f.frameRateDen = static_cast<int32_t>(std::min<RefTime>(avgTimePerFrame, INT32_MAX));
        av_reduce(&f.frameRateNum, &f.frameRateDen, f.frameRateNum, f.frameRateDen, INT32_MAX);
    }
    if (extra && extraSize > 0 && extraSize <= kMaxExtradata) f.extradata.assign(extra, extra + extraSize);
    return f;
}

RefTime StreamFormat::AvgTimePerFrame() const
{
    if (frameRateNum <= 0 || frameRateDen <= 0) return 0;
    return av_rescale(kRefTimePerSecond, frameRateDen, frameRateNum);
}

std::string StreamFormat::CodecName() const
{
    const AVCodecDescriptor* desc = avcodec_descriptor_get(static_cast<AVCodecID>(codecId));
    return desc ? desc->name : "unknown";
}

uint32_t StreamFormat::SuggestedFourCC() const
{
    const AVCodecTag* const* tables = nullptr;
    static const AVCodecTag* const videoTables[] = {avformat_get_riff_video_tags(), nullptr};
    static const AVCodecTag* const audioTables[] = {avformat_get_riff_audio_tags(), nullptr};
    tables = kind == MediaKind::Audio ? audioTables : videoTables;
    unsigned int tag = 0;
    if (av_codec_get_tag2(tables, static_cast<AVCodecID>(codecId), &tag) && tag != 0) return tag;
    return codecTag;
}

}  // namespace lav
