// The picture converter on libswscale. Each ColorSpace code maps to one FFmpeg
// pixel format plus a byte layout (line strides, plane order). A conversion is
// one of:
//   - a copy: same size and layout, no range change;
//   - a split: NV12 to a 4:2:0 planar layout of the same size, by hand
//     (libswscale's own NV12 split reads out of bounds at most widths);
//   - a join: a 4:2:0 planar layout to NV12 of the same size, by hand, so
//     that the luma plane can stay where it lies (ConvertPlanesToParts);
//   - a libswscale pass. libswscale's SIMD code wants aligned lines, so a
//     picture whose planes are not aligned is copied into aligned ones first
//     (and the result out of them). A same-size picture of odd width or
//     height is grown to even by repeating its last column and row, converted
//     as such and cut back: libswscale's same-size shortcuts assume even
//     sizes, and the odd sizes' chroma planes are those of the even size.
#include "convert/ColorSpaceZoom.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "playback/MediaFormat.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kMaxTargetSide = 8192;
// Spare bytes behind the converted picture: some libswscale writers store
// whole SIMD words at the end of a line.
constexpr size_t kOutputSlack = 64;
// Plane and line alignment handed to libswscale: the widest SIMD word.
constexpr size_t kAlign = 64;

struct FormatInfo
{
    AVPixelFormat pixFmt;
    bool rgb;         // DIB lines: padded to 4 bytes, bottom-up when height > 0
    int bitsPerPixel; // of the first plane
    bool vBeforeU;    // planar chroma stored V first (YV12, YVU9)
};

bool LookUp(int code, FormatInfo& info)
{
    switch (code) {
    case ColorSpace::RGB24: info = {AV_PIX_FMT_BGR24, true, 24, false}; return true;
    case ColorSpace::RGB32: info = {AV_PIX_FMT_BGR0, true, 32, false}; return true;
    case ColorSpace::RGB565: info = {AV_PIX_FMT_RGB565LE, true, 16, false}; return true;
    case ColorSpace::RGB555: info = {AV_PIX_FMT_RGB555LE, true, 16, false}; return true;
    case ColorSpace::YUY2: info = {AV_PIX_FMT_YUYV422, false, 16, false}; return true;
    case ColorSpace::UYVY: info = {AV_PIX_FMT_UYVY422, false, 16, false}; return true;
    case ColorSpace::I420:
    case ColorSpace::IYUV: info = {AV_PIX_FMT_YUV420P, false, 8, false}; return true;
    case ColorSpace::YV12: info = {AV_PIX_FMT_YUV420P, false, 8, true}; return true;
    case ColorSpace::YVU9: info = {AV_PIX_FMT_YUV410P, false, 8, true}; return true;
    case ColorSpace::NV12: info = {AV_PIX_FMT_NV12, false, 8, false}; return true;
    default: return false;
    }
}

// libswscale's name for a matrix (its coefficient tables are indexed by it).
std::optional<int> SwsMatrix(int matrix)
{
    switch (matrix) {
    case ColourMatrix::BT601: return SWS_CS_ITU601;
    case ColourMatrix::BT709: return SWS_CS_ITU709;
    case ColourMatrix::SMPTE240M: return SWS_CS_SMPTE240M;
    case ColourMatrix::BT2020: return SWS_CS_BT2020;
    case ColourMatrix::FCC: return SWS_CS_FCC;
    default: return std::nullopt;
    }
}

// Where the planes of one picture lie in its buffer, in libswscale's plane
// order (Y, U, V for planar formats): offset, line stride, bytes of picture
// per line (the stride less any DIB padding) and lines.
struct Layout
{
    int planes = 0;
    size_t offset[4] = {};
    int stride[4] = {};
    int bytes[4] = {};
    int rows[4] = {};
    size_t size = 0;
};

// Odd sizes follow FFmpeg's own picture layout: a chroma plane covers the
// last odd column and row (ceil(w / 2) x ceil(h / 2), ceil(w / 4) x
// ceil(h / 4) for YVU9), and a packed 4:2:2 line ends in a whole macropixel
// (4 * ceil(w / 2) bytes), its second luma sample unused.
Layout MakeLayout(const FormatInfo& f, int w, int h, bool dibLines, bool vBeforeU)
{
    Layout l;
    const size_t luma = static_cast<size_t>(w) * static_cast<size_t>(h);
    switch (f.pixFmt) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUV410P: {
        const int div = f.pixFmt == AV_PIX_FMT_YUV420P ? 2 : 4;
        const int cw = (w + div - 1) / div, ch = (h + div - 1) / div;
        const size_t chroma = static_cast<size_t>(cw) * static_cast<size_t>(ch);
        l.planes = 3;
        l.stride[0] = l.bytes[0] = w;
        l.stride[1] = l.stride[2] = l.bytes[1] = l.bytes[2] = cw;
        l.rows[0] = h;
        l.rows[1] = l.rows[2] = ch;
        l.offset[0] = 0;
        l.offset[vBeforeU ? 2 : 1] = luma;
        l.offset[vBeforeU ? 1 : 2] = luma + chroma;
        l.size = luma + 2 * chroma;
        break;
    }
    case AV_PIX_FMT_NV12: {
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        l.planes = 2;
        l.stride[0] = l.bytes[0] = w;
        l.stride[1] = l.bytes[1] = 2 * cw;
        l.rows[0] = h;
        l.rows[1] = ch;
        l.offset[1] = luma;
        l.size = luma + static_cast<size_t>(2 * cw) * static_cast<size_t>(ch);
        break;
    }
    case AV_PIX_FMT_YUYV422:
    case AV_PIX_FMT_UYVY422:
        l.planes = 1;
        l.stride[0] = l.bytes[0] = 4 * ((w + 1) / 2);
        l.rows[0] = h;
        l.size = static_cast<size_t>(l.stride[0]) * static_cast<size_t>(h);
        break;
    default: {  // one packed RGB plane
        const size_t line = static_cast<size_t>(w) * static_cast<size_t>(f.bitsPerPixel) / 8;
        const size_t stride = dibLines ? (line + 3) / 4 * 4 : line;
        l.planes = 1;
        l.stride[0] = static_cast<int>(stride);
        l.bytes[0] = static_cast<int>(line);
        l.rows[0] = h;
        l.size = stride * static_cast<size_t>(h);
        break;
    }
    }
    return l;
}

bool Aligned(const void* p, ptrdiff_t stride)
{
    return reinterpret_cast<uintptr_t>(p) % kAlign == 0 && static_cast<size_t>(std::abs(stride)) % kAlign == 0;
}

struct SwsDeleter
{
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};
struct AvFreeDeleter
{
    void operator()(uint8_t* p) const { av_free(p); }
};
struct FrameDeleter
{
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// An aligned picture of one pixel format and size, for libswscale.
FramePtr AlignedFrame(AVPixelFormat fmt, int w, int h)
{
    FramePtr f(av_frame_alloc());
    if (!f) return nullptr;
    f->format = fmt;
    f->width = w;
    f->height = h;
    if (av_frame_get_buffer(f.get(), static_cast<int>(kAlign)) < 0) return nullptr;
    return f;
}

class CColorSpaceZoom final : public IColorSpaceZoom
{
public:
    int Init(uint16_t srcWidth, uint16_t srcHeight, int srcCode, int dstWidth, int dstHeight,
             int dstCode, int modeFlag, int isYV12) override;
    int Reset() override;
    int Convert(const uint8_t* src, long srcLength, uint8_t** out, long* outLength) override;
    int SetSourceColour(int range, int matrix) override;
    int ConvertPlanes(const uint8_t* const planes[3], const int32_t strides[3], uint8_t** out,
                      long* outLength) override;
    int ConvertPlanesToParts(const uint8_t* const planes[3], const int32_t strides[3], Parts* out) override;

private:
    struct Args
    {
        uint16_t srcWidth, srcHeight;
        int srcCode, dstWidth, dstHeight, dstCode, modeFlag, isYV12;
    };
    enum class Mode { Copy, SplitNV12, JoinNV12, Scale };

    int Prepare(const Args& a);
    void CopyPicture(const uint8_t* src);
    void SplitNV12(const uint8_t* src);
    void JoinNV12(const uint8_t* const planes[3], const int32_t strides[3], bool withLuma);
    int CheckPlanes(const uint8_t* const planes[3], const int32_t strides[3]) const;
    bool Scale(const uint8_t* src);
    bool ScalePlanes(const uint8_t* const srcPlanes[4], const int srcStrides[4]);
    void StageIn(const uint8_t* src, AVFrame* work) const;
    void StageOut(const AVFrame* work);

    std::optional<Args> m_args;  // of the last successful Init
    PictureColour m_colour;
    Mode m_mode = Mode::Copy;
    std::unique_ptr<SwsContext, SwsDeleter> m_pSws;
    std::unique_ptr<uint8_t, AvFreeDeleter> m_pOut;  // the converted picture, reused
    FramePtr m_pWorkIn;   // aligned source for libswscale, made when first needed
    FramePtr m_pWorkOut;  // aligned target, when the output's planes are not
    AVPixelFormat m_workInFormat = AV_PIX_FMT_NONE;
    int m_nWorkWidth = 0, m_nWorkHeight = 0;  // of the source as libswscale sees it
    int m_nSrcWidth = 0;
    bool m_bGrown = false;                     // odd same-size picture grown to even
    Layout m_src;
    Layout m_dst;
    int m_nPixelBytes = 1;     // of the source's first plane, for repeating its last pixel
    bool m_bPackedYuv = false;  // source is YUY2 / UYVY
    bool m_bBottomUp = false;   // source lines come last line first
};

int CColorSpaceZoom::Init(uint16_t srcWidth, uint16_t srcHeight, int srcCode, int dstWidth,
                          int dstHeight, int dstCode, int modeFlag, int isYV12)
{
    Reset();
    const Args a{srcWidth, srcHeight, srcCode, dstWidth, dstHeight, dstCode, modeFlag, isYV12};
    const int rc = Prepare(a);
    if (rc == 0) m_args = a;
    return rc;
}

int CColorSpaceZoom::SetSourceColour(int range, int matrix)
{
    if ((range != ColourRange::Limited && range != ColourRange::Full) || !SwsMatrix(matrix)) return 1;
    m_colour = PictureColour{range, matrix};
    if (!m_args) return 0;
    const Args a = *m_args;
    return Init(a.srcWidth, a.srcHeight, a.srcCode, a.dstWidth, a.dstHeight, a.dstCode, a.modeFlag, a.isYV12);
}

int CColorSpaceZoom::Prepare(const Args& a)
{
    FormatInfo in{};
    FormatInfo out{};
    if (!LookUp(a.srcCode, in) || !LookUp(a.dstCode, out)) return 1;

    const int sw = static_cast<int16_t>(a.srcWidth);
    const int signedHeight = static_cast<int16_t>(a.srcHeight);
    const int sh = std::abs(signedHeight);
    const int dw = a.dstWidth, dh = a.dstHeight;
    if (sw <= 0 || sh == 0) return 2;
    if (dw <= 0 || dh <= 0 || dw > kMaxTargetSide || dh > kMaxTargetSide) return 3;
    // What FFmpeg accepts as one picture; the log offset keeps a refusal quiet.
    if (av_image_check_size2(static_cast<unsigned>(sw), static_cast<unsigned>(sh), INT64_MAX,
                             AV_PIX_FMT_NONE, 64, nullptr) < 0)
        return 6;

    const bool srcVFirst = in.vBeforeU || (a.isYV12 && in.pixFmt == AV_PIX_FMT_YUV420P);
    const Layout src = MakeLayout(in, sw, sh, in.rgb, srcVFirst);
    const Layout dst = MakeLayout(out, dw, dh, false, out.vBeforeU);
    std::unique_ptr<uint8_t, AvFreeDeleter> buffer(static_cast<uint8_t*>(av_malloc(dst.size + kOutputSlack)));
    if (!buffer) return 8;

    const bool sameSize = sw == dw && sh == dh;
    // Full-range YUV is brought to the limited range of a YUV target.
    const int srcRange = !in.rgb && m_colour.range == ColourRange::Full ? 1 : 0;
    const bool rangeChange = srcRange && !out.rgb;
    Mode mode = Mode::Scale;
    if (sameSize && !rangeChange && in.pixFmt == out.pixFmt && srcVFirst == out.vBeforeU)
        mode = Mode::Copy;
    else if (sameSize && !rangeChange && in.pixFmt == AV_PIX_FMT_NV12 && out.pixFmt == AV_PIX_FMT_YUV420P)
        mode = Mode::SplitNV12;
    else if (sameSize && !rangeChange && in.pixFmt == AV_PIX_FMT_YUV420P && out.pixFmt == AV_PIX_FMT_NV12)
        mode = Mode::JoinNV12;

    std::unique_ptr<SwsContext, SwsDeleter> sws;
    FramePtr workOut;
    const bool grow = mode == Mode::Scale && sameSize && (sw % 2 || sh % 2);
    const int ww = grow ? sw + sw % 2 : sw, wh = grow ? sh + sh % 2 : sh;
    if (mode == Mode::Scale) {
        sws.reset(sws_alloc_context());
        if (!sws) return 7;
        SwsContext* c = sws.get();
        // RGB read at half chroma width takes pixel pairs: at an odd width
        // the last pair reaches past the line. Full-width chroma input reads
        // each pixel once. No SWS_ACCURATE_RND: it turns off libswscale's
        // fast YUV to RGB paths (about six times slower at 1080p) and makes
        // pictures differ from what FFmpeg's own conversion gives.
        const int flags = (a.modeFlag ? SWS_BICUBIC : SWS_BILINEAR) |
                          (in.rgb && ww % 2 ? SWS_FULL_CHR_H_INP : 0);
        // 15/16-bit RGB targets get libswscale's ordered dither; naming it
        // keeps libswscale from first trying full chroma interpolation, which
        // it does not have for them, and warning about that at every Init.
        const bool shortRgb = out.pixFmt == AV_PIX_FMT_RGB565LE || out.pixFmt == AV_PIX_FMT_RGB555LE;
        const int tw = sameSize ? ww : dw, th = sameSize ? wh : dh;
        if (av_opt_set_int(c, "srcw", ww, 0) < 0 || av_opt_set_int(c, "srch", wh, 0) < 0 ||
            av_opt_set_int(c, "src_format", in.pixFmt, 0) < 0 || av_opt_set_int(c, "dstw", tw, 0) < 0 ||
            av_opt_set_int(c, "dsth", th, 0) < 0 || av_opt_set_int(c, "dst_format", out.pixFmt, 0) < 0 ||
            av_opt_set_int(c, "sws_flags", flags, 0) < 0 || av_opt_set_int(c, "src_range", srcRange, 0) < 0 ||
            av_opt_set_int(c, "dst_range", 0, 0) < 0 ||
            (shortRgb && av_opt_set(c, "sws_dither", "bayer", 0) < 0))
            return 7;
        if (sws_init_context(c, nullptr, nullptr) < 0) return 7;
        if (!in.rgb && m_colour.matrix != ColourMatrix::BT601) {
            // YUV to YUV keeps the matrix (the same table on both sides);
            // YUV to RGB reads with the source's.
            const int* table = sws_getCoefficients(*SwsMatrix(m_colour.matrix));
            if (sws_setColorspaceDetails(c, table, srcRange, out.rgb ? sws_getCoefficients(SWS_CS_DEFAULT) : table,
                                         0, 0, 1 << 16, 1 << 16) < 0)
                return 7;
        }
        bool direct = !grow;
        for (int i = 0; i < dst.planes; ++i)
            direct = direct && Aligned(buffer.get() + dst.offset[i], dst.stride[i]);
        if (!direct) {
            workOut = AlignedFrame(out.pixFmt, tw, th);
            if (!workOut) return 8;
        }
    }

    m_mode = mode;
    m_pSws = std::move(sws);
    m_pOut = std::move(buffer);
    m_pWorkOut = std::move(workOut);
    m_pWorkIn.reset();
    m_workInFormat = in.pixFmt;
    m_nWorkWidth = ww;
    m_nWorkHeight = wh;
    m_nSrcWidth = sw;
    m_bGrown = grow;
    m_src = src;
    m_dst = dst;
    m_nPixelBytes = in.rgb ? in.bitsPerPixel / 8 : 1;
    m_bPackedYuv = in.pixFmt == AV_PIX_FMT_YUYV422 || in.pixFmt == AV_PIX_FMT_UYVY422;
    m_bBottomUp = in.rgb && signedHeight > 0;
    return 0;
}

int CColorSpaceZoom::Reset()
{
    m_args.reset();
    m_pSws.reset();
    m_pOut.reset();
    m_pWorkIn.reset();
    m_pWorkOut.reset();
    m_src = {};
    m_dst = {};
    m_bGrown = false;
    m_bBottomUp = false;
    return 0;
}

int CColorSpaceZoom::Convert(const uint8_t* src, long srcLength, uint8_t** out, long* outLength)
{
    if (!m_args || !src || !out || !outLength) return 1;
    if (srcLength < 0 || static_cast<size_t>(srcLength) < m_src.size) return 2;
    switch (m_mode) {
    case Mode::Copy: CopyPicture(src); break;
    case Mode::SplitNV12: SplitNV12(src); break;
    case Mode::JoinNV12: {
        const uint8_t* const planes[3] = {src, src + m_src.offset[1], src + m_src.offset[2]};
        const int32_t strides[3] = {m_src.stride[0], m_src.stride[1], m_src.stride[2]};
        JoinNV12(planes, strides, true);
        break;
    }
    case Mode::Scale:
        if (!Scale(src)) return 3;
        break;
    }
    *out = m_pOut.get();
    *outLength = static_cast<long>(m_dst.size);
    return 0;
}

int CColorSpaceZoom::CheckPlanes(const uint8_t* const planes[3], const int32_t strides[3]) const
{
    if (!m_args || !planes || !strides) return 1;
    if (m_workInFormat != AV_PIX_FMT_YUV420P || m_src.planes != 3 || m_bGrown || m_bBottomUp ||
        m_mode == Mode::SplitNV12)
        return kPlanesNotTaken;
    for (int i = 0; i < 3; ++i)
        if (!planes[i] || strides[i] < m_src.bytes[i]) return 2;
    return 0;
}

int CColorSpaceZoom::ConvertPlanes(const uint8_t* const planes[3], const int32_t strides[3], uint8_t** out,
                                   long* outLength)
{
    if (!out || !outLength) return 1;
    if (const int rc = CheckPlanes(planes, strides); rc != 0) return rc;
    if (m_mode == Mode::Copy) {
        for (int i = 0; i < 3; ++i)
            av_image_copy_plane(m_pOut.get() + m_dst.offset[i], m_dst.stride[i], planes[i], strides[i],
                                m_dst.bytes[i], m_dst.rows[i]);
    } else if (m_mode == Mode::JoinNV12) {
        JoinNV12(planes, strides, true);
    } else {
        const uint8_t* srcPlanes[4] = {planes[0], planes[1], planes[2], nullptr};
        int srcStrides[4] = {strides[0], strides[1], strides[2], 0};
        bool direct = true;
        for (int i = 0; i < 3; ++i) direct = direct && Aligned(srcPlanes[i], srcStrides[i]);
        if (!direct) {
            // libswscale's SIMD code reads aligned lines: staged through them.
            if (!m_pWorkIn) m_pWorkIn = AlignedFrame(m_workInFormat, m_nWorkWidth, m_nWorkHeight);
            if (!m_pWorkIn) return 3;
            for (int i = 0; i < 3; ++i) {
                av_image_copy_plane(m_pWorkIn->data[i], m_pWorkIn->linesize[i], planes[i], strides[i],
                                    m_src.bytes[i], m_src.rows[i]);
                srcPlanes[i] = m_pWorkIn->data[i];
                srcStrides[i] = m_pWorkIn->linesize[i];
            }
        }
        if (!ScalePlanes(srcPlanes, srcStrides)) return 3;
    }
    *out = m_pOut.get();
    *outLength = static_cast<long>(m_dst.size);
    return 0;
}

int CColorSpaceZoom::ConvertPlanesToParts(const uint8_t* const planes[3], const int32_t strides[3], Parts* out)
{
    if (!out) return 1;
    if (const int rc = CheckPlanes(planes, strides); rc != 0) return rc;
    *out = Parts{};
    // A plane stays where it lies when the target keeps it unchanged and
    // its lines follow each other without a gap.
    const auto inPlace = [&](int i) { return strides[i] == m_dst.bytes[i]; };
    const auto add = [out](const uint8_t* data, size_t size) {
        out->data[out->count] = data;
        out->size[out->count] = static_cast<long>(size);
        ++out->count;
    };
    const auto planeSize = [this](int i) {
        return static_cast<size_t>(m_dst.stride[i]) * static_cast<size_t>(m_dst.rows[i]);
    };
    if (m_mode == Mode::Copy) {
        // Planes in the target's memory order (V first for YV12).
        int order[3] = {0, 1, 2};
        if (m_dst.offset[2] < m_dst.offset[1]) std::swap(order[1], order[2]);
        for (const int i : order) {
            uint8_t* own = m_pOut.get() + m_dst.offset[i];
            if (!inPlace(i))
                av_image_copy_plane(own, m_dst.stride[i], planes[i], strides[i], m_dst.bytes[i], m_dst.rows[i]);
            add(inPlace(i) ? planes[i] : own, planeSize(i));
        }
        return 0;
    }
    if (m_mode == Mode::JoinNV12) {
        JoinNV12(planes, strides, !inPlace(0));
        add(inPlace(0) ? planes[0] : m_pOut.get(), planeSize(0));
        add(m_pOut.get() + m_dst.offset[1], planeSize(1));
        return 0;
    }
    uint8_t* picture = nullptr;
    long length = 0;
    const int rc = ConvertPlanes(planes, strides, &picture, &length);
    if (rc == 0) add(picture, static_cast<size_t>(length));
    return rc;
}

void CColorSpaceZoom::CopyPicture(const uint8_t* src)
{
    if (m_src.size == m_dst.size && !m_bBottomUp) {
        std::memcpy(m_pOut.get(), src, m_dst.size);
        return;
    }
    // RGB: DIB lines, last first when bottom-up, to unpadded top-down ones.
    const int rows = m_src.rows[0];
    for (int y = 0; y < rows; ++y) {
        const int from = m_bBottomUp ? rows - 1 - y : y;
        std::memcpy(m_pOut.get() + static_cast<size_t>(y) * static_cast<size_t>(m_dst.stride[0]),
                    src + static_cast<size_t>(from) * static_cast<size_t>(m_src.stride[0]),
                    static_cast<size_t>(m_dst.bytes[0]));
    }
}

void CColorSpaceZoom::SplitNV12(const uint8_t* src)
{
    uint8_t* out = m_pOut.get();
    std::memcpy(out, src, m_src.offset[1]);
    const uint8_t* uv = src + m_src.offset[1];
    uint8_t* u = out + m_dst.offset[1];
    uint8_t* v = out + m_dst.offset[2];
    const size_t samples = static_cast<size_t>(m_dst.bytes[1]) * static_cast<size_t>(m_dst.rows[1]);
    for (size_t i = 0; i < samples; ++i) {
        u[i] = uv[2 * i];
        v[i] = uv[2 * i + 1];
    }
}

// Y lines copied when asked, then each U and V line woven into one of U,V
// pairs: the same bytes as libswscale's planar to NV12 path, at any size.
void CColorSpaceZoom::JoinNV12(const uint8_t* const planes[3], const int32_t strides[3], bool withLuma)
{
    uint8_t* out = m_pOut.get();
    if (withLuma) av_image_copy_plane(out, m_dst.stride[0], planes[0], strides[0], m_dst.bytes[0], m_dst.rows[0]);
    const int cw = m_dst.bytes[1] / 2;
    for (int y = 0; y < m_dst.rows[1]; ++y) {
        const uint8_t* u = planes[1] + static_cast<ptrdiff_t>(y) * strides[1];
        const uint8_t* v = planes[2] + static_cast<ptrdiff_t>(y) * strides[2];
        uint8_t* uv = out + m_dst.offset[1] + static_cast<size_t>(y) * static_cast<size_t>(m_dst.stride[1]);
        int x = 0;
#if defined(__SSE2__)
        for (; x + 16 <= cw; x += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + x));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + x));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + 2 * x), _mm_unpacklo_epi8(a, b));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(uv + 2 * x + 16), _mm_unpackhi_epi8(a, b));
        }
#endif
        for (; x < cw; ++x) {
            uv[2 * x] = u[x];
            uv[2 * x + 1] = v[x];
        }
    }
}

bool CColorSpaceZoom::Scale(const uint8_t* src)
{
    const uint8_t* srcPlanes[4] = {};
    int srcStrides[4] = {};
    bool direct = !m_bGrown;
    for (int i = 0; i < m_src.planes; ++i) {
        srcPlanes[i] = src + m_src.offset[i];
        srcStrides[i] = m_src.stride[i];
        direct = direct && Aligned(srcPlanes[i], srcStrides[i]);
    }
    if (direct && m_bBottomUp) {  // read the last stored line first: the picture comes out top-down
        srcPlanes[0] += static_cast<ptrdiff_t>(m_src.rows[0] - 1) * srcStrides[0];
        srcStrides[0] = -srcStrides[0];
    }
    if (!direct) {
        if (!m_pWorkIn) m_pWorkIn = AlignedFrame(m_workInFormat, m_nWorkWidth, m_nWorkHeight);
        if (!m_pWorkIn) return false;
        StageIn(src, m_pWorkIn.get());
        for (int i = 0; i < m_src.planes; ++i) {
            srcPlanes[i] = m_pWorkIn->data[i];
            srcStrides[i] = m_pWorkIn->linesize[i];
        }
    }
    return ScalePlanes(srcPlanes, srcStrides);
}

bool CColorSpaceZoom::ScalePlanes(const uint8_t* const srcPlanes[4], const int srcStrides[4])
{
    uint8_t* dstPlanes[4] = {};
    int dstStrides[4] = {};
    for (int i = 0; i < m_dst.planes; ++i) {
        dstPlanes[i] = m_pWorkOut ? m_pWorkOut->data[i] : m_pOut.get() + m_dst.offset[i];
        dstStrides[i] = m_pWorkOut ? m_pWorkOut->linesize[i] : m_dst.stride[i];
    }
    if (sws_scale(m_pSws.get(), srcPlanes, srcStrides, 0, m_nWorkHeight, dstPlanes, dstStrides) <= 0) return false;
    if (m_pWorkOut) StageOut(m_pWorkOut.get());
    return true;
}

// The source into aligned planes, top-down. A grown picture repeats its last
// line, and the last pixel of each line of its luma or RGB plane; its chroma
// planes already are those of the even size. A grown packed 4:2:2 line keeps
// its length, and its unused last luma sample takes the one before it.
void CColorSpaceZoom::StageIn(const uint8_t* src, AVFrame* work) const
{
    const bool fillUnusedLuma = m_bPackedYuv && m_nWorkWidth != m_nSrcWidth;
    const bool yuy2 = m_workInFormat == AV_PIX_FMT_YUYV422;
    for (int i = 0; i < m_src.planes; ++i) {
        const int rows = m_src.rows[i], bytes = m_src.bytes[i];
        const int workRows = i == 0 ? m_nWorkHeight : rows;
        const int extra = i == 0 && !m_bPackedYuv ? (m_nWorkWidth - m_nSrcWidth) * m_nPixelBytes : 0;
        for (int y = 0; y < workRows; ++y) {
            const int line = std::min(y, rows - 1);
            const int from = i == 0 && m_bBottomUp ? rows - 1 - line : line;
            const uint8_t* s = src + m_src.offset[i] + static_cast<size_t>(from) * static_cast<size_t>(m_src.stride[i]);
            uint8_t* d = work->data[i] + static_cast<ptrdiff_t>(y) * work->linesize[i];
            std::memcpy(d, s, static_cast<size_t>(bytes));
            for (int k = 0; k < extra; ++k) d[bytes + k] = d[bytes - m_nPixelBytes + k];
            if (fillUnusedLuma) d[yuy2 ? bytes - 2 : bytes - 1] = d[yuy2 ? bytes - 4 : bytes - 3];
        }
    }
}

void CColorSpaceZoom::StageOut(const AVFrame* work)
{
    for (int i = 0; i < m_dst.planes; ++i)
        av_image_copy_plane(m_pOut.get() + m_dst.offset[i], m_dst.stride[i], work->data[i], work->linesize[i],
                            m_dst.bytes[i], m_dst.rows[i]);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) IColorSpaceZoom* CreateColorSpaceZoom()
{
    return new (std::nothrow) CColorSpaceZoom();
}

__attribute__((visibility("default"))) void DestoryColorSpaceZoom(IColorSpaceZoom* zoom)
{
    delete static_cast<CColorSpaceZoom*>(zoom);
}

}  // extern "C"
