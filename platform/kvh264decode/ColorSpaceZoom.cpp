// The picture converter on libswscale. Each ColorSpace code maps to one FFmpeg
// pixel format plus a byte layout (line strides, plane order); Convert points
// libswscale's plane pointers into the caller's bytes and into one reused
// output buffer, so each picture is converted in a single pass.
#include "convert/ColorSpaceZoom.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "playback/MediaFormat.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kMaxTargetSide = 8192;
// Spare bytes behind the converted picture: some libswscale writers store
// whole SIMD words at the end of a line.
constexpr size_t kOutputSlack = 64;

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

// Where the planes of one picture lie in its buffer, in libswscale's plane
// order (Y, U, V for planar formats).
struct Layout
{
    size_t offset[4] = {};
    int stride[4] = {};
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
        l.stride[0] = w;
        l.stride[1] = l.stride[2] = cw;
        l.offset[0] = 0;
        l.offset[vBeforeU ? 2 : 1] = luma;
        l.offset[vBeforeU ? 1 : 2] = luma + chroma;
        l.size = luma + 2 * chroma;
        break;
    }
    case AV_PIX_FMT_NV12: {
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        l.stride[0] = w;
        l.stride[1] = 2 * cw;
        l.offset[1] = luma;
        l.size = luma + static_cast<size_t>(2 * cw) * static_cast<size_t>(ch);
        break;
    }
    case AV_PIX_FMT_YUYV422:
    case AV_PIX_FMT_UYVY422:
        l.stride[0] = 4 * ((w + 1) / 2);
        l.size = static_cast<size_t>(l.stride[0]) * static_cast<size_t>(h);
        break;
    default: {  // one packed RGB plane
        const size_t line = static_cast<size_t>(w) * static_cast<size_t>(f.bitsPerPixel) / 8;
        const size_t stride = dibLines ? (line + 3) / 4 * 4 : line;
        l.stride[0] = static_cast<int>(stride);
        l.size = stride * static_cast<size_t>(h);
        break;
    }
    }
    return l;
}

struct SwsDeleter
{
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};
struct VecDeleter
{
    void operator()(SwsVector* v) const { sws_freeVec(v); }
};
struct AvFreeDeleter
{
    void operator()(uint8_t* p) const { av_free(p); }
};

class CColorSpaceZoom final : public IColorSpaceZoom
{
public:
    int Init(uint16_t srcWidth, uint16_t srcHeight, int srcCode, int dstWidth, int dstHeight,
             int dstCode, int modeFlag, int isYV12) override;
    int Reset() override;
    int Convert(const uint8_t* src, long srcLength, uint8_t** out, long* outLength) override;

private:
    std::unique_ptr<SwsContext, SwsDeleter> m_pSws;
    std::unique_ptr<uint8_t, AvFreeDeleter> m_pOut;  // the converted picture, reused
    Layout m_src;
    Layout m_dst;
    int m_nSrcHeight = 0;
    bool m_bBottomUp = false;  // source lines come last line first
    // Same YUV layout and size in and out: a plain copy. libswscale's own
    // copy of NV12 leaves the chroma plane unwritten.
    bool m_bCopy = false;
};

int CColorSpaceZoom::Init(uint16_t srcWidth, uint16_t srcHeight, int srcCode, int dstWidth,
                          int dstHeight, int dstCode, int modeFlag, int isYV12)
{
    Reset();
    FormatInfo in{};
    FormatInfo out{};
    if (!LookUp(srcCode, in) || !LookUp(dstCode, out)) return 1;

    const int sw = static_cast<int16_t>(srcWidth);
    const int signedHeight = static_cast<int16_t>(srcHeight);
    const int sh = std::abs(signedHeight);
    if (sw <= 0 || sh == 0) return 2;
    if (dstWidth <= 0 || dstHeight <= 0 || dstWidth > kMaxTargetSide || dstHeight > kMaxTargetSide)
        return 3;
    // What FFmpeg accepts as one picture; the log offset keeps a refusal quiet.
    if (av_image_check_size2(static_cast<unsigned>(sw), static_cast<unsigned>(sh), INT64_MAX,
                             AV_PIX_FMT_NONE, 64, nullptr) < 0)
        return 6;

    std::unique_ptr<SwsContext, SwsDeleter> sws(sws_alloc_context());
    if (!sws) return 7;
    SwsContext* c = sws.get();
    // RGB read at half chroma width takes pixel pairs: at an odd width the
    // last pair reaches past the line. Full-width chroma input reads each
    // pixel once.
    const int flags = (modeFlag ? SWS_BICUBIC : SWS_BILINEAR) | SWS_ACCURATE_RND |
                      (in.rgb && sw % 2 ? SWS_FULL_CHR_H_INP : 0);
    // 15/16-bit RGB targets get libswscale's ordered dither; naming it keeps
    // libswscale from first trying full chroma interpolation, which it does
    // not have for them, and warning about that at every Init.
    const bool shortRgb = out.pixFmt == AV_PIX_FMT_RGB565LE || out.pixFmt == AV_PIX_FMT_RGB555LE;
    if (av_opt_set_int(c, "srcw", sw, 0) < 0 || av_opt_set_int(c, "srch", sh, 0) < 0 ||
        av_opt_set_int(c, "src_format", in.pixFmt, 0) < 0 || av_opt_set_int(c, "dstw", dstWidth, 0) < 0 ||
        av_opt_set_int(c, "dsth", dstHeight, 0) < 0 || av_opt_set_int(c, "dst_format", out.pixFmt, 0) < 0 ||
        av_opt_set_int(c, "sws_flags", flags, 0) < 0 ||
        (shortRgb && av_opt_set(c, "sws_dither", "bayer", 0) < 0))
        return 7;
    // libswscale's unscaled shortcuts (same size in and out) assume even
    // sizes: at an odd one some leave the last chroma column unwritten and
    // NV12 to planar reads out of bounds. A source filter longer than one tap
    // (here the identity, 0 1 0) keeps it on the general path.
    const bool oddSameSize = sw == dstWidth && sh == dstHeight && (sw % 2 || sh % 2);
    std::unique_ptr<SwsVector, VecDeleter> identity(oddSameSize ? sws_allocVec(3) : nullptr);
    if (oddSameSize && !identity) return 7;
    SwsFilter srcFilter{};
    if (identity) {
        identity->coeff[0] = identity->coeff[2] = 0.0;
        identity->coeff[1] = 1.0;
        srcFilter.lumH = identity.get();
    }
    if (sws_init_context(c, identity ? &srcFilter : nullptr, nullptr) < 0) return 7;

    const bool srcVFirst = in.vBeforeU || (isYV12 && in.pixFmt == AV_PIX_FMT_YUV420P);
    Layout src = MakeLayout(in, sw, sh, in.rgb, srcVFirst);
    Layout dst = MakeLayout(out, dstWidth, dstHeight, false, out.vBeforeU);
    std::unique_ptr<uint8_t, AvFreeDeleter> buffer(
        static_cast<uint8_t*>(av_malloc(dst.size + kOutputSlack)));
    if (!buffer) return 8;

    m_pSws = std::move(sws);
    m_pOut = std::move(buffer);
    m_src = src;
    m_dst = dst;
    m_nSrcHeight = sh;
    m_bBottomUp = in.rgb && signedHeight > 0;
    m_bCopy = !in.rgb && in.pixFmt == out.pixFmt && srcVFirst == out.vBeforeU && sw == dstWidth &&
              sh == dstHeight;
    return 0;
}

int CColorSpaceZoom::Reset()
{
    m_pSws.reset();
    m_pOut.reset();
    m_src = {};
    m_dst = {};
    m_nSrcHeight = 0;
    m_bBottomUp = false;
    m_bCopy = false;
    return 0;
}

int CColorSpaceZoom::Convert(const uint8_t* src, long srcLength, uint8_t** out, long* outLength)
{
    if (!m_pSws || !src || !out || !outLength) return 1;
    if (srcLength < 0 || static_cast<size_t>(srcLength) < m_src.size) return 2;

    if (m_bCopy) {
        std::memcpy(m_pOut.get(), src, m_dst.size);
        *out = m_pOut.get();
        *outLength = static_cast<long>(m_dst.size);
        return 0;
    }
    const uint8_t* srcPlanes[4] = {};
    int srcStrides[4] = {};
    uint8_t* dstPlanes[4] = {};
    for (int i = 0; i < 4; ++i) {
        if (m_src.stride[i]) srcPlanes[i] = src + m_src.offset[i];
        srcStrides[i] = m_src.stride[i];
        if (m_dst.stride[i]) dstPlanes[i] = m_pOut.get() + m_dst.offset[i];
    }
    if (m_bBottomUp) {  // read the last stored line first: the picture comes out top-down
        srcPlanes[0] += static_cast<ptrdiff_t>(m_nSrcHeight - 1) * srcStrides[0];
        srcStrides[0] = -srcStrides[0];
    }
    if (sws_scale(m_pSws.get(), srcPlanes, srcStrides, 0, m_nSrcHeight, dstPlanes, m_dst.stride) <= 0)
        return 3;
    *out = m_pOut.get();
    *outLength = static_cast<long>(m_dst.size);
    return 0;
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
