#include "platform/lavfilters/core/VideoDecoder.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/imgutils.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace lav {
namespace {

constexpr uint32_t FourCC(char a, char b, char c, char d)
{
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) | static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

// The renderer type that fits a decoded pixel format best; anything without
// a direct match is converted to I420.
VideoSubtype SubtypeFor(int pixelFormat)
{
    switch (pixelFormat) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
        return VideoSubtype::I420;
    case AV_PIX_FMT_NV12:
        return VideoSubtype::NV12;
    case AV_PIX_FMT_YUYV422:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
        return VideoSubtype::YUY2;
    case AV_PIX_FMT_UYVY422:
        return VideoSubtype::UYVY;
    default:
        break;
    }
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(pixelFormat));
    if (desc && (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL))) return VideoSubtype::RGB32;
    return VideoSubtype::I420;
}

AVPixelFormat TargetPixelFormat(VideoSubtype s)
{
    switch (s) {
    case VideoSubtype::I420: return AV_PIX_FMT_YUV420P;
    case VideoSubtype::NV12: return AV_PIX_FMT_NV12;
    case VideoSubtype::YUY2: return AV_PIX_FMT_YUYV422;
    case VideoSubtype::UYVY: return AV_PIX_FMT_UYVY422;
    case VideoSubtype::RGB32: return AV_PIX_FMT_BGR0;
    }
    return AV_PIX_FMT_YUV420P;
}

ColourRange RangeOf(int pixelFormat, int colorRange)
{
    if (colorRange == AVCOL_RANGE_JPEG) return ColourRange::Full;
    switch (pixelFormat) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
        return ColourRange::Full;
    default:
        return ColourRange::Limited;
    }
}

ColourMatrix MatrixOf(int colorSpace)
{
    switch (colorSpace) {
    case AVCOL_SPC_BT709: return ColourMatrix::BT709;
    case AVCOL_SPC_SMPTE240M: return ColourMatrix::SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return ColourMatrix::BT2020;
    case AVCOL_SPC_FCC: return ColourMatrix::FCC;
    default: return ColourMatrix::BT601;  // BT.470BG, SMPTE 170M, and untagged as FFmpeg reads it
    }
}

void SetColour(PictureFormat& f, int pixelFormat, int colorRange, int colorSpace)
{
    if (f.subtype == VideoSubtype::RGB32) return;
    f.range = RangeOf(pixelFormat, colorRange);
    f.matrix = MatrixOf(colorSpace);
}

// YUV with both chroma components in one plane (NV12, NV21, NV16, NV20, P010 ...).
bool IsSemiPlanar(const AVPixFmtDescriptor* d)
{
    return d && (d->flags & AV_PIX_FMT_FLAG_PLANAR) &&
           !(d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BAYER |
                         AV_PIX_FMT_FLAG_FLOAT)) &&
           d->nb_components == 3 && d->comp[1].plane == 1 && d->comp[2].plane == 1;
}

// The planar format with the same sampling and depth, samples in the low
// bits of native-endian words when wider than 8 bits (NV21 -> yuv420p,
// NV20LE -> yuv422p10le, P010 -> yuv420p10).
AVPixelFormat PlanarTwin(const AVPixFmtDescriptor* d)
{
    const int depth = d->comp[0].depth;
    for (const AVPixFmtDescriptor* c = av_pix_fmt_desc_next(nullptr); c; c = av_pix_fmt_desc_next(c)) {
        if (c->nb_components != 3 || c->log2_chroma_w != d->log2_chroma_w || c->log2_chroma_h != d->log2_chroma_h ||
            c->flags != AV_PIX_FMT_FLAG_PLANAR || std::strncmp(c->name, "yuvj", 4) == 0)
            continue;
        bool fits = true;
        for (int i = 0; i < 3; ++i)
            fits = fits && c->comp[i].plane == i && c->comp[i].depth == depth && c->comp[i].shift == 0 &&
                   c->comp[i].step == (depth > 8 ? 2 : 1);
        if (fits) return av_pix_fmt_desc_get_id(c);
    }
    return AV_PIX_FMT_NONE;
}

// Splits the interleaved chroma plane of a semi-planar picture into the two
// planes of its planar twin (libswscale's own split reads out of bounds at
// most widths).
void SplitSemiPlanar(const AVFrame* in, const AVPixFmtDescriptor* d, AVFrame* out)
{
    const int w = in->width, h = in->height;
    const int cw = -((-w) >> d->log2_chroma_w), ch = -((-h) >> d->log2_chroma_h);
    if (d->comp[0].depth <= 8) {
        av_image_copy_plane(out->data[0], out->linesize[0], in->data[0], in->linesize[0], w, h);
        for (int y = 0; y < ch; ++y) {
            const uint8_t* s = in->data[1] + static_cast<ptrdiff_t>(y) * in->linesize[1];
            uint8_t* u = out->data[1] + static_cast<ptrdiff_t>(y) * out->linesize[1];
            uint8_t* v = out->data[2] + static_cast<ptrdiff_t>(y) * out->linesize[2];
            for (int x = 0; x < cw; ++x) {
                u[x] = s[x * d->comp[1].step + d->comp[1].offset];
                v[x] = s[x * d->comp[2].step + d->comp[2].offset];
            }
        }
        return;
    }
    const bool be = d->flags & AV_PIX_FMT_FLAG_BE;
    auto move = [be](const uint8_t* from, int shift, uint8_t* to) {
        const uint16_t v = static_cast<uint16_t>((be ? AV_RB16(from) : AV_RL16(from)) >> shift);
        std::memcpy(to, &v, sizeof v);
    };
    for (int y = 0; y < h; ++y) {
        const uint8_t* s = in->data[0] + static_cast<ptrdiff_t>(y) * in->linesize[0];
        uint8_t* o = out->data[0] + static_cast<ptrdiff_t>(y) * out->linesize[0];
        for (int x = 0; x < w; ++x) move(s + x * d->comp[0].step + d->comp[0].offset, d->comp[0].shift, o + 2 * x);
    }
    for (int y = 0; y < ch; ++y) {
        const uint8_t* s = in->data[1] + static_cast<ptrdiff_t>(y) * in->linesize[1];
        uint8_t* u = out->data[1] + static_cast<ptrdiff_t>(y) * out->linesize[1];
        uint8_t* v = out->data[2] + static_cast<ptrdiff_t>(y) * out->linesize[2];
        for (int x = 0; x < cw; ++x) {
            move(s + x * d->comp[1].step + d->comp[1].offset, d->comp[1].shift, u + 2 * x);
            move(s + x * d->comp[2].step + d->comp[2].offset, d->comp[2].shift, v + 2 * x);
        }
    }
}

// An aligned picture for libswscale (kept when it already fits).
bool EnsureFrame(detail::FramePtr& f, int format, int w, int h)
{
    if (f && f->format == format && f->width == w && f->height == h) return true;
    f.reset(av_frame_alloc());
    if (!f) return false;
    f->format = format;
    f->width = w;
    f->height = h;
    if (av_frame_get_buffer(f.get(), 64) < 0) {
        f.reset();
        return false;
    }
    return true;
}

// Plane pointers and line sizes of the packed output layout.
void OutputPlanes(const PictureFormat& f, uint8_t* dst, uint8_t* planes[4], int lines[4])
{
    const int w = f.width, h = f.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
    for (int i = 0; i < 4; ++i) {
        planes[i] = nullptr;
        lines[i] = 0;
    }
    switch (f.subtype) {
    case VideoSubtype::I420:
        planes[0] = dst, lines[0] = w;
        planes[1] = dst + size_t(w) * h, lines[1] = cw;
        planes[2] = planes[1] + size_t(cw) * ch, lines[2] = cw;
        break;
    case VideoSubtype::NV12:
        planes[0] = dst, lines[0] = w;
        planes[1] = dst + size_t(w) * h, lines[1] = 2 * cw;
        break;
    case VideoSubtype::YUY2:
    case VideoSubtype::UYVY:
        planes[0] = dst, lines[0] = 4 * cw;
        break;
    case VideoSubtype::RGB32:
        planes[0] = dst, lines[0] = 4 * w;
        break;
    }
}

}  // namespace

const char* SubtypeName(VideoSubtype subtype)
{
    switch (subtype) {
    case VideoSubtype::I420: return "I420";
    case VideoSubtype::NV12: return "NV12";
    case VideoSubtype::YUY2: return "YUY2";
    case VideoSubtype::UYVY: return "UYVY";
    case VideoSubtype::RGB32: return "RGB32";
    }
    return "?";
}

uint16_t PictureFormat::BitCount() const
{
    switch (subtype) {
    case VideoSubtype::I420:
    case VideoSubtype::NV12: return 12;
    case VideoSubtype::YUY2:
    case VideoSubtype::UYVY: return 16;
    case VideoSubtype::RGB32: return 32;
    }
    return 0;
}

uint32_t PictureFormat::Compression() const
{
    switch (subtype) {
    case VideoSubtype::I420: return FourCC('I', '4', '2', '0');
    case VideoSubtype::NV12: return FourCC('N', 'V', '1', '2');
    case VideoSubtype::YUY2: return FourCC('Y', 'U', 'Y', '2');
    case VideoSubtype::UYVY: return FourCC('U', 'Y', 'V', 'Y');
    case VideoSubtype::RGB32: return 0;
    }
    return 0;
}

uint32_t PictureFormat::ImageSize() const
{
    const uint64_t w = static_cast<uint64_t>(std::max(width, 0)), h = static_cast<uint64_t>(std::max(height, 0));
    const uint64_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    uint64_t size = 0;
    switch (subtype) {
    case VideoSubtype::I420:
    case VideoSubtype::NV12: size = w * h + 2 * cw * ch; break;
    case VideoSubtype::YUY2:
    case VideoSubtype::UYVY: size = 4 * cw * h; break;
    case VideoSubtype::RGB32: size = 4 * w * h; break;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
}

std::unique_ptr<VideoDecoder> VideoDecoder::Create(const StreamFormat& format, const VideoDecoderOptions& options,
                                                   std::string* error)
{
    auto fail = [&](std::string why) -> std::unique_ptr<VideoDecoder> {
        if (error) *error = std::move(why);
        return nullptr;
    };
    if (format.kind != MediaKind::Video) return fail("not a video stream");
    const AVCodec* codec = avcodec_find_decoder(static_cast<AVCodecID>(format.codecId));
    if (!codec || codec->type != AVMEDIA_TYPE_VIDEO) return fail("no video decoder for codec " + format.CodecName());

    std::unique_ptr<VideoDecoder> self(new VideoDecoder());
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer cannot see FFmpeg's frame-thread handoffs (its atomics
    // are not instrumented) and would take every picture for a race.
    constexpr int kMaxDefaultThreads = 1;
#else
    constexpr int kMaxDefaultThreads = 4;
#endif
    // Frame threads hand each picture between threads, which costs CPU (a
    // sixth more for 1080p H.264); a stream that one core decodes several
    // times faster than real time (up to 1920x1088 at 30 pictures a second)
    // is decoded on the caller's thread alone.
    constexpr double kOneThreadPixelsPerSecond = 1920.0 * 1088.0 * 30.5;
    const RefTime perFrame = format.AvgTimePerFrame();
    const double framesPerSecond = perFrame > 0 ? 1e7 / static_cast<double>(perFrame) : 30.0;
    const bool small =
        static_cast<double>(format.width) * format.height * framesPerSecond <= kOneThreadPixelsPerSecond;
    const int threads = options.threads > 0 ? options.threads
                        : small          ? 1
                                         : std::clamp(av_cpu_count(), 1, kMaxDefaultThreads);
    const auto configure = [&](AVCodecContext* ctx) {
        ctx->thread_count = threads;
        ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    };
    if (!self->Open(codec, format, configure, error)) return nullptr;

    self->m_rtAvgTimePerFrame = format.AvgTimePerFrame();
    if (format.sarNum > 0 && format.sarDen > 0) {
        self->m_sarNum = format.sarNum;
        self->m_sarDen = format.sarDen;
    }
    PictureFormat& f = self->m_initial;
    f.subtype = SubtypeFor(format.pixelFormat >= 0 ? format.pixelFormat : AV_PIX_FMT_YUV420P);
    f.width = format.width;
    f.height = format.height;
    f.avgTimePerFrame = self->m_rtAvgTimePerFrame;
    f.sarNum = self->m_sarNum;
    f.sarDen = self->m_sarDen;
    SetColour(f, format.pixelFormat, format.colorRange, format.colorSpace);
    self->m_last = f;
    return self;
}

VideoDecoder::~VideoDecoder() = default;

PictureFormat VideoDecoder::FormatFor(const AVFrame* frame) const
{
    PictureFormat f;
    f.subtype = SubtypeFor(frame->format);
    f.width = frame->width;
    f.height = frame->height;
    f.avgTimePerFrame = m_rtAvgTimePerFrame;
    if (frame->sample_aspect_ratio.num > 0 && frame->sample_aspect_ratio.den > 0) {
        f.sarNum = frame->sample_aspect_ratio.num;
        f.sarDen = frame->sample_aspect_ratio.den;
    } else {
        f.sarNum = m_sarNum;
        f.sarDen = m_sarDen;
    }
    SetColour(f, frame->format, frame->color_range, frame->colorspace);
    return f;
}

void VideoDecoder::Decode(const CompressedSample& sample, const PictureCallback& onPicture)
{
    Send(sample, [&] { ReceiveAll(onPicture); });
}

void VideoDecoder::EndOfStream(const PictureCallback& onPicture)
{
    SendEnd([&] { ReceiveAll(onPicture); });
}

void VideoDecoder::ReceiveAll(const PictureCallback& onPicture)
{
    while (NextFrame()) {
        DecodedPicture pic;
        pic.frame.reset(av_frame_alloc());
        if (!pic.frame) {
            av_frame_unref(m_frame.get());
            ++m_nErrors;
            continue;
        }
        av_frame_move_ref(pic.frame.get(), m_frame.get());
        const AVFrame* f = pic.frame.get();
        RefTime start = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : m_rtNext;
        RefTime duration = m_rtAvgTimePerFrame > 0 ? m_rtAvgTimePerFrame : f->pkt_duration;
        if (duration > 0 && f->repeat_pict > 0 && m_rtAvgTimePerFrame > 0) duration += duration * f->repeat_pict / 2;
        pic.times.start = start;
        pic.times.stop = (start != kNoTime && duration > 0) ? start + duration : kNoTime;
        pic.keyFrame = f->key_frame != 0;
        m_rtNext = pic.times.stop;
        pic.format = FormatFor(f);
        if (pic.format.width <= 0 || pic.format.height <= 0) {
            ++m_nErrors;
            continue;
        }
        pic.formatChanged = !(pic.format == m_last);
        m_last = pic.format;
        onPicture(pic);
    }
}

namespace {

// The decoded picture already is the output layout, plane for plane.
bool IsOutputLayout(const AVFrame* f, const PictureFormat& pf)
{
    return f->format == TargetPixelFormat(pf.subtype) ||
           (pf.subtype == VideoSubtype::I420 && f->format == AV_PIX_FMT_YUVJ420P);
}

}  // namespace

bool VideoDecoder::PlanesOf(const DecodedPicture& picture, const uint8_t* data[4], int stride[4], int* count)
{
    const AVFrame* f = picture.frame.get();
    const PictureFormat& pf = picture.format;
    if (!f || pf.subtype != VideoSubtype::I420 || f->width != pf.width || f->height != pf.height ||
        !IsOutputLayout(f, pf))
        return false;
    for (int p = 0; p < 3; ++p) {
        if (!f->data[p] || f->linesize[p] <= 0) return false;
        data[p] = f->data[p];
        stride[p] = f->linesize[p];
    }
    data[3] = nullptr;
    stride[3] = 0;
    *count = 3;
    return true;
}

bool VideoDecoder::PackPlanes(const AVFrame* f, const PictureFormat& pf, uint8_t* dst, size_t size)
{
    if (!f || !dst || size < pf.ImageSize() || f->width != pf.width || f->height != pf.height ||
        !IsOutputLayout(f, pf))
        return false;
    uint8_t* planes[4];
    int lines[4];
    OutputPlanes(pf, dst, planes, lines);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(TargetPixelFormat(pf.subtype));
    for (int p = 0; p < 4 && planes[p]; ++p) {
        const int rows = p > 0 ? -((-pf.height) >> desc->log2_chroma_h) : pf.height;
        av_image_copy_plane(planes[p], lines[p], f->data[p], f->linesize[p], lines[p], rows);
    }
    return true;
}

bool VideoDecoder::CopyPicture(const DecodedPicture& picture, uint8_t* dst, size_t size)
{
    const AVFrame* f = picture.frame.get();
    const PictureFormat& pf = picture.format;
    if (!f || !dst || size < pf.ImageSize() || f->width != pf.width || f->height != pf.height) return false;
    if (IsOutputLayout(f, pf)) return PackPlanes(f, pf, dst, size);
    uint8_t* planes[4];
    int lines[4];
    OutputPlanes(pf, dst, planes, lines);
    const AVPixelFormat target = TargetPixelFormat(pf.subtype);
    const int w = pf.width, h = pf.height;
    // Each plane of an aligned picture into the packed output layout.
    const auto copyOut = [&](const AVFrame* from) {
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(target);
        for (int p = 0; p < 4 && planes[p]; ++p) {
            const int rows = p > 0 ? -((-h) >> desc->log2_chroma_h) : h;
            av_image_copy_plane(planes[p], lines[p], from->data[p], from->linesize[p], lines[p], rows);
        }
    };
    const AVFrame* source = f;
    const AVPixFmtDescriptor* sourceDesc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
    // Semi-planar pictures are split here when that is all there is to do,
    // or when libswscale cannot read them (NV16, NV20).
    const AVPixelFormat twin = IsSemiPlanar(sourceDesc) ? PlanarTwin(sourceDesc) : AV_PIX_FMT_NONE;
    if (twin != AV_PIX_FMT_NONE &&
        (twin == target || !sws_isSupportedInput(static_cast<AVPixelFormat>(f->format)))) {
        if (!EnsureFrame(m_split, twin, w, h)) return false;
        SplitSemiPlanar(f, sourceDesc, m_split.get());
        source = m_split.get();
        if (twin == target) {
            copyOut(source);
            return true;
        }
    }

    // The range stays what it is; YUV to YUV keeps the matrix.
    const bool fullRange = pf.subtype != VideoSubtype::RGB32 && pf.range == ColourRange::Full;
    if (!m_sws || m_swsFormat != source->format || m_swsTarget != target || m_swsWidth != w || m_swsHeight != h ||
        m_swsFullRange != fullRange) {
        m_sws.reset();
        // libswscale's same-size shortcuts assume even sizes: at an odd one
        // some leave the last chroma column unwritten. A source filter longer
        // than one tap (the identity, 0 1 0) keeps odd sizes on the general
        // path; RGB input then reads chroma per pixel rather than in pairs
        // that reach past the line.
        const bool odd = (w | h) & 1;
        detail::SwsPtr sws(sws_alloc_context());
        std::unique_ptr<SwsVector, decltype(&sws_freeVec)> identity(odd ? sws_allocVec(3) : nullptr, &sws_freeVec);
        if (!sws || (odd && !identity)) return false;
        SwsFilter srcFilter{};
        if (identity) {
            identity->coeff[0] = identity->coeff[2] = 0.0;
            identity->coeff[1] = 1.0;
            srcFilter.lumH = identity.get();
        }
        SwsContext* c = sws.get();
        if (av_opt_set_int(c, "srcw", w, 0) < 0 || av_opt_set_int(c, "srch", h, 0) < 0 ||
            av_opt_set_int(c, "src_format", source->format, 0) < 0 || av_opt_set_int(c, "dstw", w, 0) < 0 ||
            av_opt_set_int(c, "dsth", h, 0) < 0 || av_opt_set_int(c, "dst_format", target, 0) < 0 ||
            av_opt_set_int(c, "sws_flags", SWS_BICUBIC | (odd ? SWS_FULL_CHR_H_INP : 0), 0) < 0 ||
            av_opt_set_int(c, "src_range", fullRange, 0) < 0 || av_opt_set_int(c, "dst_range", fullRange, 0) < 0 ||
            sws_init_context(c, odd ? &srcFilter : nullptr, nullptr) < 0)
            return false;
        m_sws = std::move(sws);
        m_swsFormat = source->format;
        m_swsTarget = target;
        m_swsWidth = w;
        m_swsHeight = h;
        m_swsFullRange = fullRange;
    }
    if (!EnsureFrame(m_converted, target, w, h)) return false;
    if (sws_scale(m_sws.get(), source->data, source->linesize, 0, h, m_converted->data, m_converted->linesize) != h)
        return false;
    copyOut(m_converted.get());
    return true;
}

}  // namespace lav
