#include "controller/play/PixelLayouts.h"

#include <algorithm>

#include "playback/MediaFormat.h"

namespace marlin::play {

const std::vector<PixelLayout>& AllPixelLayouts()
{
    static const std::vector<PixelLayout> layouts = {
        {"rgb24", ColorSpace::RGB24, true, 0, 0},  {"rgb32", ColorSpace::RGB32, true, 0, 0},
        {"rgb565", ColorSpace::RGB565, true, 0, 0}, {"rgb555", ColorSpace::RGB555, true, 0, 0},
        {"yuy2", ColorSpace::YUY2, false, 1, 0},   {"uyvy", ColorSpace::UYVY, false, 1, 0},
        {"i420", ColorSpace::I420, false, 1, 1},   {"yvu9", ColorSpace::YVU9, false, 2, 2},
        {"yv12", ColorSpace::YV12, false, 1, 1},   {"iyuv", ColorSpace::IYUV, false, 1, 1},
        {"nv12", ColorSpace::NV12, false, 1, 1},
    };
    return layouts;
}

const PixelLayout* FindPixelLayout(std::string_view name)
{
    for (const auto& layout : AllPixelLayouts()) {
        std::string_view n = layout.name;
        if (n.size() == name.size() &&
            std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
                return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
            }))
            return &layout;
    }
    return nullptr;
}

const PixelLayout* FindPixelLayout(int32_t code)
{
    for (const auto& layout : AllPixelLayouts())
        if (layout.code == code) return &layout;
    return nullptr;
}

std::string PixelLayoutNames()
{
    std::string names;
    for (const auto& layout : AllPixelLayouts()) {
        if (!names.empty()) names += ", ";
        names += layout.name;
    }
    return names;
}

size_t PictureBytes(int32_t code, int width, int height)
{
    if (width <= 0 || height <= 0) return 0;
    // Chroma planes and 4:2:2 lines round up at odd sizes, as FFmpeg lays
    // such pictures out.
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    const size_t cw = (w + 1) / 2, ch = (h + 1) / 2;
    switch (code) {
    case ColorSpace::RGB24: return w * h * 3;
    case ColorSpace::RGB32: return w * h * 4;
    case ColorSpace::RGB565:
    case ColorSpace::RGB555: return w * h * 2;
    case ColorSpace::YUY2:
    case ColorSpace::UYVY: return 4 * cw * h;
    case ColorSpace::I420:
    case ColorSpace::YV12:
    case ColorSpace::IYUV:
    case ColorSpace::NV12: return w * h + 2 * cw * ch;
    case ColorSpace::YVU9: return w * h + 2 * (((w + 3) / 4) * ((h + 3) / 4));
    default: return 0;
    }
}

std::optional<std::string> CheckPictureSize(const PixelLayout& layout, int width, int height)
{
    // Odd sizes are fine for every layout: their chroma rounds up.
    if (width <= 0 || height <= 0) return std::string(layout.name) + " needs a positive width and height";
    return std::nullopt;
}

namespace {

uint8_t Clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// BT.601, limited range, in 16.16 fixed point.
void YuvToRgb(int y, int u, int v, uint8_t* out)
{
    int c = (y - 16) * 76309;
    int d = u - 128, e = v - 128;
    out[0] = Clamp((c + 104597 * e + 32768) >> 16);
    out[1] = Clamp((c - 25675 * d - 53279 * e + 32768) >> 16);
    out[2] = Clamp((c + 132201 * d + 32768) >> 16);
}

uint8_t Expand5(unsigned v) { return static_cast<uint8_t>((v << 3) | (v >> 2)); }
uint8_t Expand6(unsigned v) { return static_cast<uint8_t>((v << 2) | (v >> 4)); }

}  // namespace

bool ConvertToRgb(int32_t code, int width, int height, const uint8_t* data, size_t size,
                  std::vector<uint8_t>* rgb)
{
    const PixelLayout* layout = FindPixelLayout(code);
    if (!layout || CheckPictureSize(*layout, width, height)) return false;
    size_t expected = PictureBytes(code, width, height);
    if (expected == 0 || size != expected) return false;
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    rgb->resize(w * h * 3);
    uint8_t* out = rgb->data();

    // Planar and semi-planar layouts: where each chroma sample lies.
    auto planar = [&](const uint8_t* uPlane, const uint8_t* vPlane, size_t chromaStride,
                      size_t chromaStep, int shift) {
        for (size_t y = 0; y < h; ++y) {
            for (size_t x = 0; x < w; ++x) {
                size_t ci = (y >> shift) * chromaStride + (x >> shift) * chromaStep;
                YuvToRgb(data[y * w + x], uPlane[ci], vPlane[ci], out + (y * w + x) * 3);
            }
        }
    };
    // Packed 4:2:2: offsets of Y0, U, Y1, V inside a 4-byte pixel pair; an
    // odd line ends in a pair whose second pixel is not in the picture.
    auto packed = [&](int y0, int u, int y1, int v) {
        const size_t stride = 4 * ((w + 1) / 2);
        for (size_t y = 0; y < h; ++y) {
            const uint8_t* line = data + y * stride;
            for (size_t x = 0; x < w; x += 2) {
                const uint8_t* pair = line + x * 2;
                YuvToRgb(pair[y0], pair[u], pair[v], out + (y * w + x) * 3);
                if (x + 1 < w) YuvToRgb(pair[y1], pair[u], pair[v], out + (y * w + x + 1) * 3);
            }
        }
    };

    switch (code) {
    case ColorSpace::RGB24:
    case ColorSpace::RGB32: {
        size_t step = code == ColorSpace::RGB24 ? 3 : 4;
        for (size_t i = 0; i < w * h; ++i) {
            out[i * 3 + 0] = data[i * step + 2];
            out[i * 3 + 1] = data[i * step + 1];
            out[i * 3 + 2] = data[i * step + 0];
        }
        return true;
    }
    case ColorSpace::RGB565:
    case ColorSpace::RGB555:
        for (size_t i = 0; i < w * h; ++i) {
            unsigned word = data[i * 2] | (data[i * 2 + 1] << 8);
            if (code == ColorSpace::RGB565) {
                out[i * 3 + 0] = Expand5((word >> 11) & 0x1F);
                out[i * 3 + 1] = Expand6((word >> 5) & 0x3F);
            } else {
                out[i * 3 + 0] = Expand5((word >> 10) & 0x1F);
                out[i * 3 + 1] = Expand5((word >> 5) & 0x1F);
            }
            out[i * 3 + 2] = Expand5(word & 0x1F);
        }
        return true;
    case ColorSpace::YUY2: packed(0, 1, 2, 3); return true;
    case ColorSpace::UYVY: packed(1, 0, 3, 2); return true;
    case ColorSpace::I420:
    case ColorSpace::IYUV:
    case ColorSpace::YV12: {
        size_t cw = (w + 1) / 2, ch = (h + 1) / 2;
        const uint8_t* first = data + w * h;
        const uint8_t* second = first + cw * ch;
        bool uFirst = code != ColorSpace::YV12;
        planar(uFirst ? first : second, uFirst ? second : first, cw, 1, 1);
        return true;
    }
    case ColorSpace::NV12: {
        const uint8_t* uv = data + w * h;
        planar(uv, uv + 1, ((w + 1) / 2) * 2, 2, 1);
        return true;
    }
    case ColorSpace::YVU9: {
        size_t cw = (w + 3) / 4, ch = (h + 3) / 4;
        const uint8_t* vPlane = data + w * h;
        const uint8_t* uPlane = vPlane + cw * ch;
        planar(uPlane, vPlane, cw, 1, 2);
        return true;
    }
    default: return false;
    }
}

}  // namespace marlin::play
