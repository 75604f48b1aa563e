// The picture converter against hand-built pictures: each source is packed
// here from a colour-bar pattern by the byte layouts the host relies on, and
// each result is unpacked here and compared with the pattern.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "convert/ColorSpaceZoom.h"
#include "playback/MediaFormat.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

using Rgb = std::array<int, 3>;  // R, G, B
using Zoom = std::unique_ptr<IColorSpaceZoom, ColorSpaceZoomDeleter>;

constexpr int kAllCodes[] = {ColorSpace::RGB24, ColorSpace::RGB32, ColorSpace::RGB565, ColorSpace::RGB555,
                             ColorSpace::YUY2,  ColorSpace::UYVY,  ColorSpace::I420,   ColorSpace::YVU9,
                             ColorSpace::YV12,  ColorSpace::IYUV,  ColorSpace::NV12};

// Picture: top-down rows of RGB.
struct Picture
{
    int w = 0;
    int h = 0;
    std::vector<Rgb> px;
    Rgb& at(int x, int y) { return px[static_cast<size_t>(y * w + x)]; }
    const Rgb& at(int x, int y) const { return px[static_cast<size_t>(y * w + x)]; }
};

// Four bars on top, four other colours below, all inside video range so that
// YUV holds them without clipping. Bars are 32 x 32 at the source size.
const Rgb kBarColours[8] = {{180, 180, 180}, {180, 180, 16}, {16, 180, 180}, {16, 180, 16},
                            {180, 16, 180},  {180, 16, 16},  {16, 16, 180},  {16, 16, 16}};
constexpr int kSrcW = 128;
constexpr int kSrcH = 64;
constexpr int kBar = 32;

Picture Bars()
{
    Picture p{kSrcW, kSrcH, std::vector<Rgb>(kSrcW * kSrcH)};
    for (int y = 0; y < kSrcH; ++y)
        for (int x = 0; x < kSrcW; ++x) p.at(x, y) = kBarColours[x / kBar + 4 * (y / kBar)];
    return p;
}

int Clamp8(double v) { return std::clamp(static_cast<int>(std::lround(v)), 0, 255); }

// BT.601, video range.
std::array<int, 3> ToYuv(const Rgb& c)
{
    const double r = c[0], g = c[1], b = c[2];
    return {Clamp8(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255),
            Clamp8(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255),
            Clamp8(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255)};
}
Rgb FromYuv(int y, int u, int v)
{
    const double l = 1.164383 * (y - 16);
    return {Clamp8(l + 1.596027 * (v - 128)), Clamp8(l - 0.391762 * (u - 128) - 0.812968 * (v - 128)),
            Clamp8(l + 2.017232 * (u - 128))};
}

bool IsRgb(int code)
{
    return code == ColorSpace::RGB24 || code == ColorSpace::RGB32 || code == ColorSpace::RGB565 ||
           code == ColorSpace::RGB555;
}
int RgbBytes(int code) { return code == ColorSpace::RGB24 ? 3 : code == ColorSpace::RGB32 ? 4 : 2; }

// Packs a picture in the source layout: DIB lines (4-byte padded, bottom-up)
// for RGB, plain top-down planes for YUV.
std::vector<uint8_t> Pack(const Picture& p, int code)
{
    const int w = p.w, h = p.h;
    std::vector<uint8_t> out;
    if (IsRgb(code)) {
        const int bpp = RgbBytes(code);
        const int stride = (w * bpp + 3) / 4 * 4;
        out.assign(static_cast<size_t>(stride * h), 0xEE);
        for (int y = 0; y < h; ++y) {
            uint8_t* line = &out[static_cast<size_t>((h - 1 - y) * stride)];
            for (int x = 0; x < w; ++x) {
                const Rgb& c = p.at(x, y);
                uint8_t* d = line + x * bpp;
                if (bpp >= 3) {
                    d[0] = static_cast<uint8_t>(c[2]);
                    d[1] = static_cast<uint8_t>(c[1]);
                    d[2] = static_cast<uint8_t>(c[0]);
                    if (bpp == 4) d[3] = 0x5A;  // X: must be ignored
                } else {
                    const unsigned word = code == ColorSpace::RGB565
                                              ? (unsigned(c[0] >> 3) << 11) | (unsigned(c[1] >> 2) << 5) | unsigned(c[2] >> 3)
                                              : (unsigned(c[0] >> 3) << 10) | (unsigned(c[1] >> 3) << 5) | unsigned(c[2] >> 3);
                    d[0] = static_cast<uint8_t>(word & 0xFF);
                    d[1] = static_cast<uint8_t>(word >> 8);
                }
            }
        }
        return out;
    }
    auto yuv = [&](int x, int y) { return ToYuv(p.at(x, y)); };
    // Chroma of a block: the mean over its pixels inside the picture (a
    // block at an odd edge covers fewer pixels).
    auto chroma = [&](int x0, int y0, int bw, int bh, int k) {
        int sum = 0, count = 0;
        for (int y = y0; y < std::min(y0 + bh, h); ++y)
            for (int x = x0; x < std::min(x0 + bw, w); ++x, ++count) sum += yuv(x, y)[static_cast<size_t>(k)];
        return static_cast<uint8_t>(sum / count);
    };
    if (code == ColorSpace::YUY2 || code == ColorSpace::UYVY) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; x += 2) {
                // The unused luma of a last, half-filled macropixel repeats the first.
                const uint8_t y0 = static_cast<uint8_t>(yuv(x, y)[0]),
                              y1 = static_cast<uint8_t>(yuv(std::min(x + 1, w - 1), y)[0]);
                const uint8_t u = chroma(x, y, 2, 1, 1), v = chroma(x, y, 2, 1, 2);
                if (code == ColorSpace::YUY2)
                    out.insert(out.end(), {y0, u, y1, v});
                else
                    out.insert(out.end(), {u, y0, v, y1});
            }
        return out;
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) out.push_back(static_cast<uint8_t>(yuv(x, y)[0]));
    const int div = code == ColorSpace::YVU9 ? 4 : 2;
    auto plane = [&](int k) {
        for (int y = 0; y < h; y += div)
            for (int x = 0; x < w; x += div) out.push_back(chroma(x, y, div, div, k));
    };
    if (code == ColorSpace::NV12) {
        for (int y = 0; y < h; y += 2)
            for (int x = 0; x < w; x += 2) {
                out.push_back(chroma(x, y, 2, 2, 1));
                out.push_back(chroma(x, y, 2, 2, 2));
            }
    } else if (code == ColorSpace::YV12 || code == ColorSpace::YVU9) {
        plane(2);
        plane(1);
    } else {
        plane(1);
        plane(2);
    }
    return out;
}

// Output size in bytes of each target code at w x h; chroma planes and
// 4:2:2 lines round up at odd sizes.
size_t ExpectedSize(int code, int w, int h)
{
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    const size_t cw = static_cast<size_t>(w + 1) / 2, ch = static_cast<size_t>(h + 1) / 2;
    switch (code) {
    case ColorSpace::RGB24: return 3 * n;
    case ColorSpace::RGB32: return 4 * n;
    case ColorSpace::YVU9: return n + 2 * static_cast<size_t>((w + 3) / 4) * static_cast<size_t>((h + 3) / 4);
    case ColorSpace::I420:
    case ColorSpace::IYUV:
    case ColorSpace::YV12:
    case ColorSpace::NV12: return n + 2 * cw * ch;
    case ColorSpace::YUY2:
    case ColorSpace::UYVY: return 4 * cw * static_cast<size_t>(h);
    default: return 2 * n;
    }
}

// Y, U, V of pixel (x, y) of a YUV picture in the target layout.
std::array<int, 3> YuvAt(const uint8_t* d, int code, int w, int h, int x, int y)
{
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    const size_t i = static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x);
    switch (code) {
    case ColorSpace::YUY2:
    case ColorSpace::UYVY: {
        const uint8_t* m = d + static_cast<size_t>(y) * 4 * static_cast<size_t>((w + 1) / 2) + static_cast<size_t>(x / 2) * 4;
        return code == ColorSpace::YUY2 ? std::array<int, 3>{m[(x & 1) * 2], m[1], m[3]}
                                        : std::array<int, 3>{m[1 + (x & 1) * 2], m[0], m[2]};
    }
    case ColorSpace::NV12: {
        const uint8_t* uv = d + n + static_cast<size_t>(y / 2) * 2 * static_cast<size_t>((w + 1) / 2) +
                            static_cast<size_t>(x / 2) * 2;
        return {d[i], uv[0], uv[1]};
    }
    default: {
        const int div = code == ColorSpace::YVU9 ? 4 : 2;
        const size_t cw = static_cast<size_t>((w + div - 1) / div);
        const size_t q = cw * static_cast<size_t>((h + div - 1) / div);
        const size_t ci = static_cast<size_t>(y / div) * cw + static_cast<size_t>(x / div);
        const bool vFirst = code == ColorSpace::YV12 || code == ColorSpace::YVU9;
        return {d[i], d[n + (vFirst ? q : 0) + ci], d[n + (vFirst ? 0 : q) + ci]};
    }
    }
}

// Unpacks a converted picture: top-down, unpadded, in the target layout.
Picture Unpack(const uint8_t* d, int code, int w, int h)
{
    Picture p{w, h, std::vector<Rgb>(static_cast<size_t>(w * h))};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = static_cast<size_t>(y * w + x);
            Rgb& c = p.at(x, y);
            switch (code) {
            case ColorSpace::RGB24: c = {d[3 * i + 2], d[3 * i + 1], d[3 * i]}; break;
            case ColorSpace::RGB32: c = {d[4 * i + 2], d[4 * i + 1], d[4 * i]}; break;
            case ColorSpace::RGB565:
            case ColorSpace::RGB555: {
                const unsigned word = d[2 * i] | unsigned(d[2 * i + 1]) << 8;
                const bool g6 = code == ColorSpace::RGB565;
                const unsigned r = g6 ? word >> 11 : (word >> 10) & 31, g = g6 ? (word >> 5) & 63 : (word >> 5) & 31,
                               b = word & 31;
                c = {int(r << 3 | r >> 2), g6 ? int(g << 2 | g >> 4) : int(g << 3 | g >> 2), int(b << 3 | b >> 2)};
                break;
            }
            default: {
                const auto yuv = YuvAt(d, code, w, h, x, y);
                c = FromYuv(yuv[0], yuv[1], yuv[2]);
            }
            }
        }
    return p;
}

// PSNR of `got` against the bar pattern scaled to its size, over the pixels
// at least `margin` source pixels away from a colour edge (scaling filters
// and chroma subsampling blend colours across edges).
double BarsPsnr(const Picture& got, double margin)
{
    double err = 0;
    size_t count = 0;
    for (int y = 0; y < got.h; ++y)
        for (int x = 0; x < got.w; ++x) {
            const double sx = (x + 0.5) * kSrcW / got.w, sy = (y + 0.5) * kSrcH / got.h;
            auto nearEdge = [&](double s, int size) {
                for (int e = kBar; e < size; e += kBar)
                    if (std::fabs(s - e) < margin) return true;
                return false;
            };
            if (nearEdge(sx, kSrcW) || nearEdge(sy, kSrcH)) continue;
            const Rgb& want = kBarColours[static_cast<int>(sx) / kBar + 4 * (static_cast<int>(sy) / kBar)];
            for (int k = 0; k < 3; ++k) {
                const double diff = got.at(x, y)[static_cast<size_t>(k)] - want[static_cast<size_t>(k)];
                err += diff * diff;
                ++count;
            }
        }
    if (count == 0) return 0;
    const double mse = err / static_cast<double>(count);
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// The arguments the host passes for a source code.
int HostModeFlag(int code)
{
    return (code == 6 || code == 11 || code == 12 || code == 16 || code == 21 || code == 22) ? 0 : 1;
}
int HostIsYV12(int code) { return code == ColorSpace::YV12 ? 1 : 0; }

Zoom Make() { return Zoom(CreateColorSpaceZoom()); }

TEST(ColorSpaceZoom, EveryPairAtEverySizeKeepsTheBars)
{
    const Picture bars = Bars();
    struct Size
    {
        int w, h;
    };
    const Size sizes[] = {{kSrcW, kSrcH}, {80, 48}, {192, 96}};
    double worst = 99;
    for (int src : kAllCodes) {
        const std::vector<uint8_t> input = Pack(bars, src);
        for (int dst : kAllCodes)
            for (Size s : sizes) {
                SCOPED_TRACE("source " + std::to_string(src) + " target " + std::to_string(dst) + " size " +
                             std::to_string(s.w) + "x" + std::to_string(s.h));
                Zoom zoom = Make();
                ASSERT_TRUE(zoom);
                ASSERT_EQ(zoom->Init(kSrcW, kSrcH, src, s.w, s.h, dst, HostModeFlag(src), HostIsYV12(src)), 0);
                // Exactly sized input: any read past the picture shows under ASan.
                std::vector<uint8_t> exact(input);
                uint8_t* out = nullptr;
                long outLen = 0;
                ASSERT_EQ(zoom->Convert(exact.data(), static_cast<long>(exact.size()), &out, &outLen), 0);
                ASSERT_NE(out, nullptr);
                ASSERT_EQ(static_cast<size_t>(outLen), ExpectedSize(dst, s.w, s.h));
                const double psnr = BarsPsnr(Unpack(out, dst, s.w, s.h), s.w == kSrcW ? 6 : 10);
                EXPECT_GE(psnr, 30.0);
                worst = std::min(worst, psnr);
            }
    }
    RecordProperty("worst_psnr_db", std::to_string(worst));
}

// ---- The sweep: every layout pair at every width modulo 64, against FFmpeg.

struct FfmpegLayout
{
    AVPixelFormat fmt;
    bool vFirst;  // planar chroma stored V before U
};

FfmpegLayout FfmpegLayoutOf(int code)
{
    switch (code) {
    case ColorSpace::RGB24: return {AV_PIX_FMT_BGR24, false};
    case ColorSpace::RGB32: return {AV_PIX_FMT_BGR0, false};
    case ColorSpace::RGB565: return {AV_PIX_FMT_RGB565LE, false};
    case ColorSpace::RGB555: return {AV_PIX_FMT_RGB555LE, false};
    case ColorSpace::YUY2: return {AV_PIX_FMT_YUYV422, false};
    case ColorSpace::UYVY: return {AV_PIX_FMT_UYVY422, false};
    case ColorSpace::YVU9: return {AV_PIX_FMT_YUV410P, true};
    case ColorSpace::YV12: return {AV_PIX_FMT_YUV420P, true};
    case ColorSpace::NV12: return {AV_PIX_FMT_NV12, false};
    default: return {AV_PIX_FMT_YUV420P, false};  // I420, IYUV
    }
}

struct FrameDeleter
{
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;

// Bytes per line and lines of each plane of a code's tight layout, in
// FFmpeg's plane order (Y, U, V).
struct Planes
{
    int n = 0;
    int bytes[3] = {};
    int lines[3] = {};
};

Planes TightPlanes(int code, int w, int h)
{
    const FfmpegLayout l = FfmpegLayoutOf(code);
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(l.fmt);
    Planes p;
    int linesizes[4] = {};
    av_image_fill_linesizes(linesizes, l.fmt, w);
    p.n = av_pix_fmt_count_planes(l.fmt);
    for (int i = 0; i < p.n; ++i) {
        p.bytes[i] = linesizes[i];
        p.lines[i] = i == 0 ? h : -((-h) >> d->log2_chroma_h);
    }
    return p;
}

// A source picture in a code's layout into an FFmpeg frame (aligned lines),
// and back: a frame into a code's tight target layout.
Frame ToFrame(const std::vector<uint8_t>& src, int code, int w, int h)
{
    const FfmpegLayout l = FfmpegLayoutOf(code);
    Frame f(av_frame_alloc());
    f->format = l.fmt;
    f->width = w;
    f->height = h;
    if (av_frame_get_buffer(f.get(), 0) < 0) return nullptr;
    if (IsRgb(code)) {  // DIB: 4-byte lines, bottom-up
        const int line = w * RgbBytes(code), stride = (line + 3) / 4 * 4;
        for (int y = 0; y < h; ++y)
            std::memcpy(f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0], &src[static_cast<size_t>((h - 1 - y) * stride)],
                        static_cast<size_t>(line));
        return f;
    }
    const Planes p = TightPlanes(code, w, h);
    size_t offset = 0;
    for (int i = 0; i < p.n; ++i) {
        const int plane = l.vFirst && i > 0 ? 3 - i : i;
        av_image_copy_plane(f->data[plane], f->linesize[plane], &src[offset], p.bytes[i], p.bytes[i], p.lines[i]);
        offset += static_cast<size_t>(p.bytes[i]) * static_cast<size_t>(p.lines[i]);
    }
    return f;
}

std::vector<uint8_t> FromFrame(const AVFrame* f, int code, int w, int h)
{
    const FfmpegLayout l = FfmpegLayoutOf(code);
    const Planes p = TightPlanes(code, w, h);
    std::vector<uint8_t> out;
    for (int i = 0; i < p.n; ++i) {
        const int plane = l.vFirst && i > 0 ? 3 - i : i;
        for (int y = 0; y < p.lines[i]; ++y) {
            const uint8_t* line = f->data[plane] + static_cast<ptrdiff_t>(y) * f->linesize[plane];
            out.insert(out.end(), line, line + p.bytes[i]);
        }
    }
    return out;
}

// FFmpeg's own conversion of the same picture, with the scaler the host
// asks for. At an odd size libswscale's same-size shortcuts are not to be
// trusted, so the picture is first grown to even by repeating its last
// column and row (which leaves every odd-size chroma plane as it is), and
// the result is cut back.
std::vector<uint8_t> FfmpegConversion(const Picture& pic, int src, int dst, int modeFlag)
{
    const int w = pic.w, h = pic.h, ew = w + (w & 1), eh = h + (h & 1);
    Picture even{ew, eh, std::vector<Rgb>(static_cast<size_t>(ew * eh))};
    for (int y = 0; y < eh; ++y)
        for (int x = 0; x < ew; ++x) even.at(x, y) = pic.at(std::min(x, w - 1), std::min(y, h - 1));
    std::vector<uint8_t> evenBytes = Pack(even, src);
    if (!IsRgb(src) && src != ColorSpace::YUY2 && src != ColorSpace::UYVY) {
        // The chroma planes of the odd size, as they are (a 4 x 4 YVU9 block
        // that holds a repeated column would otherwise average it in).
        const std::vector<uint8_t> odd = Pack(pic, src);
        const size_t luma = static_cast<size_t>(w) * static_cast<size_t>(h), evenLuma = static_cast<size_t>(ew * eh);
        std::copy(odd.begin() + static_cast<long>(luma), odd.end(), evenBytes.begin() + static_cast<long>(evenLuma));
    }
    Frame in = ToFrame(evenBytes, src, ew, eh);
    Frame out(av_frame_alloc());
    out->format = FfmpegLayoutOf(dst).fmt;
    out->width = ew;
    out->height = eh;
    if (!in || av_frame_get_buffer(out.get(), 0) < 0) return {};
    if (in->format == out->format) {
        // libswscale's same-format copy of NV12 leaves the chroma unwritten.
        if (av_frame_copy(out.get(), in.get()) < 0) return {};
    } else {
        std::unique_ptr<SwsContext, decltype(&sws_freeContext)> sws(sws_alloc_context(), &sws_freeContext);
        const bool shortRgb = dst == ColorSpace::RGB565 || dst == ColorSpace::RGB555;
        if (!sws || av_opt_set_int(sws.get(), "srcw", ew, 0) < 0 || av_opt_set_int(sws.get(), "srch", eh, 0) < 0 ||
            av_opt_set_int(sws.get(), "dstw", ew, 0) < 0 || av_opt_set_int(sws.get(), "dsth", eh, 0) < 0 ||
            av_opt_set_int(sws.get(), "src_format", in->format, 0) < 0 ||
            av_opt_set_int(sws.get(), "dst_format", out->format, 0) < 0 ||
            av_opt_set_int(sws.get(), "sws_flags", (modeFlag ? SWS_BICUBIC : SWS_BILINEAR), 0) < 0 ||
            (shortRgb && av_opt_set(sws.get(), "sws_dither", "bayer", 0) < 0) ||  // the host's dither for 16-bit RGB
            sws_init_context(sws.get(), nullptr, nullptr) < 0 ||
            sws_scale(sws.get(), in->data, in->linesize, 0, eh, out->data, out->linesize) != eh)
            return {};
    }
    if (IsRgb(dst)) {  // cut the repeated column and row
        std::vector<uint8_t> all = FromFrame(out.get(), dst, ew, eh), cut;
        const size_t line = static_cast<size_t>(w * RgbBytes(dst)), evenLine = static_cast<size_t>(ew * RgbBytes(dst));
        for (int y = 0; y < h; ++y) cut.insert(cut.end(), &all[y * evenLine], &all[y * evenLine] + line);
        return cut;
    }
    // Chroma planes and macropixel lines keep their size; the luma plane is cut.
    std::vector<uint8_t> all = FromFrame(out.get(), dst, ew, eh);
    const Planes p = TightPlanes(dst, w, h);
    if (p.n == 1) return std::vector<uint8_t>(all.begin(), all.begin() + static_cast<long>(p.bytes[0]) * h);
    std::vector<uint8_t> cut;
    for (int y = 0; y < h; ++y) cut.insert(cut.end(), &all[static_cast<size_t>(y * ew)], &all[static_cast<size_t>(y * ew + w)]);
    cut.insert(cut.end(), all.begin() + static_cast<long>(ew) * eh, all.end());
    return cut;
}

// A smooth picture: every channel a slow wave, so that the rounding of
// chroma at odd edges moves values a little and a misplaced plane a lot.
Picture Waves(int w, int h)
{
    Picture p{w, h, std::vector<Rgb>(static_cast<size_t>(w * h))};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            p.at(x, y) = {Clamp8(128 + 90 * std::sin(x / 9.0 + y / 3.0)), Clamp8(128 + 90 * std::sin(x / 13.0 - y / 2.0 + 1)),
                          Clamp8(128 + 90 * std::cos(x / 7.0 + y / 5.0))};
    return p;
}

TEST(ColorSpaceZoom, SameSizeSweepOfLayoutsAndWidthsMatchesFfmpeg)
{
    // Every width modulo 64, at an even and an odd height: libswscale's
    // same-size shortcuts take SIMD paths whose reach depends on the line
    // lengths. Same-size conversions must come out as FFmpeg's own, to the
    // byte, at odd sizes too.
    int cases = 0;
    for (int h : {4, 7})
        for (int w = 64; w < 128; ++w) {
            const Picture pic = Waves(w, h);
            for (int src : kAllCodes) {
                const std::vector<uint8_t> input = Pack(pic, src);
                for (int dst : kAllCodes) {
                    SCOPED_TRACE("source " + std::to_string(src) + " target " + std::to_string(dst) + " size " +
                                 std::to_string(w) + "x" + std::to_string(h));
                    Zoom zoom = Make();
                    ASSERT_EQ(zoom->Init(static_cast<uint16_t>(w), static_cast<uint16_t>(h), src, w, h, dst,
                                         HostModeFlag(src), HostIsYV12(src)),
                              0);
                    std::vector<uint8_t> exactInput(input);  // reads past it show under ASan
                    uint8_t* out = nullptr;
                    long outLen = 0;
                    ASSERT_EQ(zoom->Convert(exactInput.data(), static_cast<long>(exactInput.size()), &out, &outLen), 0);
                    ASSERT_EQ(static_cast<size_t>(outLen), ExpectedSize(dst, w, h));
                    const std::vector<uint8_t> want = FfmpegConversion(pic, src, dst, HostModeFlag(src));
                    ASSERT_EQ(want.size(), static_cast<size_t>(outLen));
                    const auto diff = std::mismatch(want.begin(), want.end(), out);
                    ASSERT_TRUE(diff.first == want.end()) << "first difference at byte " << diff.first - want.begin()
                                                          << ": " << int(*diff.second) << " for " << int(*diff.first);
                    ++cases;
                }
            }
        }
    RecordProperty("cases", cases);
}

TEST(ColorSpaceZoom, OutputSizeOfEachTargetCode)
{
    // 20 x 12: RGB24 lines of 60 bytes, which a DIB would pad to 60; 20 x 12
    // is also the smallest step that YVU9 (4 x 4 chroma) holds exactly.
    const std::pair<int, long> sizes[] = {{ColorSpace::RGB24, 720}, {ColorSpace::RGB32, 960}, {ColorSpace::RGB565, 480},
                                          {ColorSpace::RGB555, 480}, {ColorSpace::YUY2, 480},  {ColorSpace::UYVY, 480},
                                          {ColorSpace::I420, 360},   {ColorSpace::YVU9, 270},  {ColorSpace::YV12, 360},
                                          {ColorSpace::IYUV, 360},   {ColorSpace::NV12, 360}};
    const std::vector<uint8_t> input = Pack(Bars(), ColorSpace::RGB24);
    for (auto [code, bytes] : sizes) {
        Zoom zoom = Make();
        ASSERT_EQ(zoom->Init(kSrcW, kSrcH, ColorSpace::RGB24, 20, 12, code, 1, 0), 0) << code;
        uint8_t* out = nullptr;
        long outLen = 0;
        ASSERT_EQ(zoom->Convert(input.data(), static_cast<long>(input.size()), &out, &outLen), 0);
        EXPECT_EQ(outLen, bytes) << code;
    }
    // RGB24 without DIB padding at a width whose lines a DIB would pad.
    Zoom zoom = Make();
    ASSERT_EQ(zoom->Init(kSrcW, kSrcH, ColorSpace::RGB24, 30, 7, ColorSpace::RGB24, 1, 0), 0);
    uint8_t* out = nullptr;
    long outLen = 0;
    ASSERT_EQ(zoom->Convert(input.data(), static_cast<long>(input.size()), &out, &outLen), 0);
    EXPECT_EQ(outLen, 30 * 7 * 3);
}

// A 30 x 20 RGB24 picture whose every line holds its row number, stored as a
// DIB (92-byte lines): bottom-up for a positive height.
std::vector<uint8_t> NumberedRows(bool bottomUp)
{
    const int w = 30, h = 20, stride = 92;
    std::vector<uint8_t> buf(static_cast<size_t>(stride * h), 0xEE);
    for (int row = 0; row < h; ++row) {
        uint8_t* line = &buf[static_cast<size_t>((bottomUp ? h - 1 - row : row) * stride)];
        for (int x = 0; x < w; ++x) {
            line[3 * x] = static_cast<uint8_t>(row);           // B
            line[3 * x + 1] = static_cast<uint8_t>(x);         // G
            line[3 * x + 2] = static_cast<uint8_t>(200 - row); // R
        }
    }
    return buf;
}

void ExpectNumberedRowsTopDown(const uint8_t* out)
{
    for (int row = 0; row < 20; ++row)
        for (int x = 0; x < 30; ++x) {
            const uint8_t* p = out + (row * 30 + x) * 3;
            ASSERT_EQ(p[0], row) << "row " << row << " x " << x;
            ASSERT_EQ(p[1], x);
            ASSERT_EQ(p[2], 200 - row);
        }
}

TEST(ColorSpaceZoom, BottomUpRgbComesOutTopDown)
{
    Zoom zoom = Make();
    ASSERT_EQ(zoom->Init(30, 20, ColorSpace::RGB24, 30, 20, ColorSpace::RGB24, 1, 0), 0);
    std::vector<uint8_t> in = NumberedRows(true);
    uint8_t* out = nullptr;
    long outLen = 0;
    ASSERT_EQ(zoom->Convert(in.data(), static_cast<long>(in.size()), &out, &outLen), 0);
    ASSERT_EQ(outLen, 30 * 20 * 3);  // lines unpadded
    ExpectNumberedRowsTopDown(out);
}

TEST(ColorSpaceZoom, NegativeHeightMeansTopDownSource)
{
    // The host passes the low 16 bits of biHeight -20.
    const uint16_t minus20 = static_cast<uint16_t>(-20);
    EXPECT_EQ(minus20, 65516);
    Zoom zoom = Make();
    ASSERT_EQ(zoom->Init(30, minus20, ColorSpace::RGB24, 30, 20, ColorSpace::RGB24, 1, 0), 0);
    std::vector<uint8_t> in = NumberedRows(false);
    uint8_t* out = nullptr;
    long outLen = 0;
    ASSERT_EQ(zoom->Convert(in.data(), static_cast<long>(in.size()), &out, &outLen), 0);
    ExpectNumberedRowsTopDown(out);

    // A bottom-up source to a YUV target: the top of the picture stays on top.
    const std::vector<uint8_t> bars = Pack(Bars(), ColorSpace::RGB32);
    ASSERT_EQ(zoom->Init(kSrcW, kSrcH, ColorSpace::RGB32, kSrcW, kSrcH, ColorSpace::I420, 1, 0), 0);
    ASSERT_EQ(zoom->Convert(bars.data(), static_cast<long>(bars.size()), &out, &outLen), 0);
    EXPECT_GE(BarsPsnr(Unpack(out, ColorSpace::I420, kSrcW, kSrcH), 6), 30.0);
}

TEST(ColorSpaceZoom, YV12FlagSwapsChromaOfPlanarSources)
{
    // I420 bytes in YV12 order, marked with isYV12, read as YV12.
    const std::vector<uint8_t> yv12 = Pack(Bars(), ColorSpace::YV12);
    Zoom zoom = Make();
    uint8_t* out = nullptr;
    long outLen = 0;
    ASSERT_EQ(zoom->Init(kSrcW, kSrcH, ColorSpace::I420, kSrcW, kSrcH, ColorSpace::RGB24, 0, 1), 0);
    ASSERT_EQ(zoom->Convert(yv12.data(), static_cast<long>(yv12.size()), &out, &outLen), 0);
    EXPECT_GE(BarsPsnr(Unpack(out, ColorSpace::RGB24, kSrcW, kSrcH), 6), 30.0);
    // Without the flag the same bytes come out with U and V swapped.
    ASSERT_EQ(zoom->Init(kSrcW, kSrcH, ColorSpace::I420, kSrcW, kSrcH, ColorSpace::RGB24, 0, 0), 0);
    ASSERT_EQ(zoom->Convert(yv12.data(), static_cast<long>(yv12.size()), &out, &outLen), 0);
    EXPECT_LT(BarsPsnr(Unpack(out, ColorSpace::RGB24, kSrcW, kSrcH), 6), 20.0);
}

TEST(ColorSpaceZoom, InitRefusesWhatItCannotDo)
{
    Zoom zoom = Make();
    struct Case
    {
        const char* why;
        uint16_t sw, sh;
        int sc, dw, dh, dc;
    };
    const Case cases[] = {
        {"unknown source code", 64, 64, 1, 64, 64, 0},
        {"code 11", 64, 64, 11, 64, 64, 0},
        {"code 21", 64, 64, 21, 64, 64, 0},
        {"negative code", 64, 64, -1, 64, 64, 0},
        {"unknown target code", 64, 64, 0, 64, 64, 23},
        {"zero source width", 0, 64, 0, 64, 64, 0},
        {"zero source height", 64, 0, 0, 64, 64, 0},
        {"negative source width", static_cast<uint16_t>(-64), 64, 0, 64, 64, 0},
        {"zero target width", 64, 64, 0, 0, 64, 0},
        {"negative target height", 64, 64, 0, 64, -64, 0},
        {"target wider than 8192", 64, 64, 0, 8193, 64, 0},
        {"target taller than 8192", 64, 64, 0, 64, 8193, 0},
        {"source larger than one picture may be", 32767, 32767, 0, 64, 64, 0},
    };
    for (const Case& c : cases) EXPECT_NE(zoom->Init(c.sw, c.sh, c.sc, c.dw, c.dh, c.dc, 1, 0), 0) << c.why;
    // After a refusal nothing converts.
    uint8_t buf[16] = {};
    uint8_t* out = nullptr;
    long outLen = 0;
    EXPECT_NE(zoom->Convert(buf, sizeof buf, &out, &outLen), 0);
    // The largest target is accepted; odd sizes are fine (OddSizes... below).
    EXPECT_EQ(zoom->Init(64, 64, 0, 8192, 8192, 2, 1, 0), 0);
    EXPECT_EQ(zoom->Init(63, 63, 0, 63, 63, 0, 1, 0), 0);
}

TEST(ColorSpaceZoom, OddSizesKeepTheirLastColumnAndRowInEveryLayout)
{
    // 37 x 21 in four colour blocks split at x = 24, y = 12: the bottom-right
    // block holds the last, odd column and row, which only whole-sample
    // chroma (ceil sizes) carries. A layout with w / 2 chroma reads that
    // corner from the wrong block, and its sizes differ.
    constexpr int kW = 37, kH = 21;
    const Rgb kTopLeft = kBarColours[1], kTopRight = kBarColours[2], kBottomLeft = kBarColours[4],
              kBottomRight = kBarColours[6];
    Picture quad{kW, kH, std::vector<Rgb>(kW * kH)};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            quad.at(x, y) = y < 12 ? (x < 24 ? kTopLeft : kTopRight) : (x < 24 ? kBottomLeft : kBottomRight);
    // RGB24 too, on either side: same-size conversions take other paths.
    const int codes[] = {ColorSpace::YUY2, ColorSpace::UYVY, ColorSpace::I420, ColorSpace::YVU9,
                         ColorSpace::YV12, ColorSpace::IYUV, ColorSpace::NV12, ColorSpace::RGB24};
    struct Size
    {
        int w, h;
    };
    const Size targets[] = {{kW, kH}, {23, 13}};
    for (int src : codes) {
        const std::vector<uint8_t> input = Pack(quad, src);
        if (src != ColorSpace::RGB24) {
            ASSERT_EQ(input.size(), ExpectedSize(src, kW, kH)) << src;
        }
        for (int dst : codes)
            for (Size t : targets) {
                SCOPED_TRACE("source " + std::to_string(src) + " target " + std::to_string(dst) + " size " +
                             std::to_string(t.w) + "x" + std::to_string(t.h));
                Zoom zoom = Make();
                ASSERT_EQ(zoom->Init(kW, kH, src, t.w, t.h, dst, HostModeFlag(src), HostIsYV12(src)), 0);
                uint8_t* out = nullptr;
                long outLen = 0;
                ASSERT_EQ(zoom->Convert(input.data(), static_cast<long>(input.size()), &out, &outLen), 0);
                ASSERT_EQ(static_cast<size_t>(outLen), ExpectedSize(dst, t.w, t.h));
                if (dst == ColorSpace::RGB24) {
                    const Picture got = Unpack(out, dst, t.w, t.h);
                    for (size_t k = 0; k < 3; ++k) {
                        EXPECT_NEAR(got.at(0, 0)[k], kTopLeft[k], 6);
                        EXPECT_NEAR(got.at(t.w - 1, t.h - 1)[k], kBottomRight[k], 6);
                    }
                    continue;
                }
                // Each plane at the first and the last pixel.
                const auto first = YuvAt(out, dst, t.w, t.h, 0, 0);
                const auto last = YuvAt(out, dst, t.w, t.h, t.w - 1, t.h - 1);
                const auto wantFirst = ToYuv(kTopLeft), wantLast = ToYuv(kBottomRight);
                for (size_t k = 0; k < 3; ++k) {
                    EXPECT_NEAR(first[k], wantFirst[k], 3) << "plane " << k << " at the first pixel";
                    EXPECT_NEAR(last[k], wantLast[k], 3) << "plane " << k << " at the last pixel";
                }
            }
    }
}

TEST(ColorSpaceZoom, ConvertRefusesShortSourcesAndNeedsInit)
{
    Zoom zoom = Make();
    std::vector<uint8_t> in = NumberedRows(true);  // 92 x 20 bytes
    uint8_t* out = nullptr;
    long outLen = 0;
    EXPECT_NE(zoom->Convert(in.data(), static_cast<long>(in.size()), &out, &outLen), 0);  // no Init yet
    ASSERT_EQ(zoom->Init(30, 20, ColorSpace::RGB24, 16, 16, ColorSpace::NV12, 1, 0), 0);
    EXPECT_NE(zoom->Convert(in.data(), 90 * 20, &out, &outLen), 0);  // lines without DIB padding
    EXPECT_NE(zoom->Convert(in.data(), static_cast<long>(in.size()) - 1, &out, &outLen), 0);
    EXPECT_NE(zoom->Convert(nullptr, 1840, &out, &outLen), 0);
    EXPECT_NE(zoom->Convert(in.data(), static_cast<long>(in.size()), nullptr, &outLen), 0);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(zoom->Convert(in.data(), static_cast<long>(in.size()), &out, &outLen), 0);
    EXPECT_EQ(outLen, 16 * 16 * 3 / 2);
    // The picture is the converter's and is reused for the next one.
    uint8_t* first = out;
    ASSERT_EQ(zoom->Convert(in.data(), static_cast<long>(in.size()) + 0, &out, &outLen), 0);
    EXPECT_EQ(out, first);
    EXPECT_EQ(zoom->Reset(), 0);
    EXPECT_NE(zoom->Convert(in.data(), static_cast<long>(in.size()), &out, &outLen), 0);
}

// A decoder's frame: the I420 picture `packed` spread into planes whose
// lines are `pad` bytes wider than the picture's (64: aligned lines and
// more), the planes themselves 64-byte aligned.
struct SpreadPicture
{
    std::vector<uint8_t> store;
    const uint8_t* planes[3] = {};
    int32_t stride[3] = {};
};
SpreadPicture Spread(const std::vector<uint8_t>& packed, int w, int h, int pad)
{
    SpreadPicture s;
    const int cw = (w + 1) / 2, ch = (h + 1) / 2;
    const auto wide = [pad](int n) { return pad == 64 ? (n + 63) / 64 * 64 + 64 : n + pad; };
    s.stride[0] = wide(w);
    s.stride[1] = s.stride[2] = wide(cw);
    s.store.assign(static_cast<size_t>(s.stride[0] * h + 2 * s.stride[1] * ch + 128), 0xA5);
    uint8_t* base = s.store.data() + (64 - reinterpret_cast<uintptr_t>(s.store.data()) % 64) % 64;
    uint8_t* plane[3] = {base, base + s.stride[0] * h, base + s.stride[0] * h + s.stride[1] * ch};
    const uint8_t* in = packed.data();
    for (int y = 0; y < h; ++y) std::memcpy(plane[0] + y * s.stride[0], in + y * w, static_cast<size_t>(w));
    for (int c = 1; c < 3; ++c)
        for (int y = 0; y < ch; ++y)
            std::memcpy(plane[c] + y * s.stride[c], in + w * h + (c - 1) * cw * ch + y * cw, static_cast<size_t>(cw));
    for (int c = 0; c < 3; ++c) s.planes[c] = plane[c];
    return s;
}

TEST(ColorSpaceZoom, PlanesLyingApartConvertAsThePackedPicture)
{
    // Planes with strides wider than the picture, aligned (read in place)
    // and not (staged first). Every target, at the source's own size and
    // scaled, must come out byte for byte as Convert makes it from the
    // packed picture.
    for (const auto& [w, h] : {std::pair{128, 64}, std::pair{129, 63}}) {
        const std::vector<uint8_t> packed = Pack(Waves(w, h), ColorSpace::I420);
        for (int pad : {64, 3}) {
            const SpreadPicture spread = Spread(packed, w, h, pad);
            for (int dst : kAllCodes) {
                for (const auto& [dw, dh] : {std::pair{w, h}, std::pair{64, 48}}) {
                    Zoom zoom = Make();
                    ASSERT_EQ(zoom->Init(static_cast<uint16_t>(w), static_cast<uint16_t>(h), ColorSpace::I420, dw, dh, dst,
                                         0, 0),
                              0);
                    uint8_t* out = nullptr;
                    long outLength = 0;
                    const int rc = zoom->ConvertPlanes(spread.planes, spread.stride, &out, &outLength);
                    const bool grown = (w % 2 || h % 2) && dw == w && dh == h && dst != ColorSpace::I420 &&
                                       dst != ColorSpace::IYUV && dst != ColorSpace::NV12;
                    if (rc == IColorSpaceZoom::kPlanesNotTaken) {
                        EXPECT_TRUE(grown) << "to " << dst << " " << dw << "x" << dh;
                        continue;
                    }
                    ASSERT_EQ(rc, 0) << "to " << dst << " " << dw << "x" << dh;
                    const std::vector<uint8_t> fromPlanes(out, out + outLength);
                    ASSERT_EQ(zoom->Convert(packed.data(), static_cast<long>(packed.size()), &out, &outLength), 0);
                    EXPECT_EQ(fromPlanes, std::vector<uint8_t>(out, out + outLength))
                        << w << "x" << h << " pad " << pad << " to " << dst << " " << dw << "x" << dh;
                }
            }
        }
    }
    // Sources that are not planar 4:2:0 are read packed only.
    Zoom zoom = Make();
    ASSERT_EQ(zoom->Init(64, 32, ColorSpace::NV12, 64, 32, ColorSpace::RGB32, 1, 0), 0);
    std::vector<uint8_t> y(64 * 32);
    const uint8_t* const planes[3] = {y.data(), y.data(), y.data()};
    const int32_t strides[3] = {64, 64, 64};
    uint8_t* out = nullptr;
    long outLength = 0;
    EXPECT_EQ(zoom->ConvertPlanes(planes, strides, &out, &outLength), IColorSpaceZoom::kPlanesNotTaken);
}

TEST(ColorSpaceZoom, PartsLeaveThePlanesThatNeedNoChangeInTheSource)
{
    // In parts, a picture is the same bytes as ConvertPlanes makes. At the
    // source's own size, the planes that I420 and IYUV keep, and the luma
    // plane that NV12 keeps, are ranges of the source itself when their
    // lines follow each other without a gap; everything else is copied.
    for (const auto& [w, h] : {std::pair{128, 64}, std::pair{129, 63}}) {
        const std::vector<uint8_t> packed = Pack(Waves(w, h), ColorSpace::I420);
        for (int pad : {0, 3, 64}) {
            const SpreadPicture spread = Spread(packed, w, h, pad);
            const uint8_t* const storeEnd = spread.store.data() + spread.store.size();
            for (int dst : kAllCodes) {
                for (const auto& [dw, dh] : {std::pair{w, h}, std::pair{64, 48}}) {
                    const std::string what = std::to_string(w) + "x" + std::to_string(h) + " pad " +
                                             std::to_string(pad) + " to " + std::to_string(dst) + " " +
                                             std::to_string(dw) + "x" + std::to_string(dh);
                    Zoom zoom = Make();
                    ASSERT_EQ(zoom->Init(static_cast<uint16_t>(w), static_cast<uint16_t>(h), ColorSpace::I420, dw, dh,
                                         dst, 0, 0),
                              0);
                    IColorSpaceZoom::Parts parts;
                    const int rc = zoom->ConvertPlanesToParts(spread.planes, spread.stride, &parts);
                    uint8_t* out = nullptr;
                    long outLength = 0;
                    ASSERT_EQ(rc, zoom->ConvertPlanes(spread.planes, spread.stride, &out, &outLength)) << what;
                    if (rc != 0) continue;
                    std::vector<uint8_t> joined;
                    int fromSource = 0;
                    for (int i = 0; i < parts.count; ++i) {
                        joined.insert(joined.end(), parts.data[i], parts.data[i] + parts.size[i]);
                        if (parts.data[i] >= spread.store.data() && parts.data[i] < storeEnd) ++fromSource;
                    }
                    EXPECT_EQ(joined, std::vector<uint8_t>(out, out + outLength)) << what;
                    const bool ownSize = dw == w && dh == h;
                    const bool copied = ownSize && (dst == ColorSpace::I420 || dst == ColorSpace::IYUV);
                    const bool joinedNV12 = ownSize && dst == ColorSpace::NV12;
                    EXPECT_EQ(fromSource, pad != 0 ? 0 : copied ? 3 : joinedNV12 ? 1 : 0) << what;
                }
            }
        }
    }
}

TEST(ColorSpaceZoom, ExportsAndSlotsAsTheHostUsesThem)
{
    // Found by name in the shared library.
    void* lib = dlopen(MARLIN_BIN_DIR "/libkvh264decode.so", RTLD_NOW);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto create = reinterpret_cast<IColorSpaceZoom* (*)()>(dlsym(lib, "CreateColorSpaceZoom"));
    auto destroy = reinterpret_cast<void (*)(IColorSpaceZoom*)>(dlsym(lib, "DestoryColorSpaceZoom"));
    ASSERT_NE(create, nullptr);
    ASSERT_NE(destroy, nullptr);
    destroy(nullptr);  // accepted

    // Init is slot 0 and Convert slot 2 of the object's table.
    IColorSpaceZoom* zoom = create();
    ASSERT_NE(zoom, nullptr);
    void* const* table = *reinterpret_cast<void* const* const*>(zoom);
    using InitFn = int (*)(IColorSpaceZoom*, uint16_t, uint16_t, int, int, int, int, int, int);
    using ConvertFn = int (*)(IColorSpaceZoom*, const uint8_t*, long, uint8_t**, long*);
    EXPECT_EQ(reinterpret_cast<InitFn>(table[0])(zoom, 30, 20, 0, 30, 20, 0, 1, 0), 0);
    std::vector<uint8_t> in = NumberedRows(true);
    uint8_t* out = nullptr;
    long outLen = 0;
    EXPECT_EQ(reinterpret_cast<ConvertFn>(table[2])(zoom, in.data(), static_cast<long>(in.size()), &out, &outLen), 0);
    EXPECT_EQ(outLen, 1800);
    destroy(zoom);
    dlclose(lib);
}

}  // namespace
