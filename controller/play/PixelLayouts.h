#pragma once
// The eleven picture layouts a controller can ask for: their names on the
// command line, their byte sizes, and conversion of one picture to RGB.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace marlin::play {

struct PixelLayout
{
    const char* name;     // as on the command line: "i420"
    int32_t code;         // colour-space code sent in StartPlayFile
    bool rgb;             // an RGB layout (no chroma subsampling)
    int chromaShiftX;     // log2 of horizontal chroma subsampling (YUV)
    int chromaShiftY;     // log2 of vertical chroma subsampling (YUV)
};

// All eleven, in code order.
const std::vector<PixelLayout>& AllPixelLayouts();
const PixelLayout* FindPixelLayout(std::string_view name);
const PixelLayout* FindPixelLayout(int32_t code);
// "rgb24, rgb32, ..." for messages.
std::string PixelLayoutNames();

// Bytes of one width x height picture in `code`; 0 for an unknown code.
// At odd sizes chroma rounds up: planes of (w + 1) / 2 x (h + 1) / 2
// samples ((w + 3) / 4 x (h + 3) / 4 for YVU9), 4:2:2 lines of
// 4 * ((w + 1) / 2) bytes.
size_t PictureBytes(int32_t code, int width, int height);
// Why this size cannot be used with this layout (a size that is not
// positive), or nothing when it can.
std::optional<std::string> CheckPictureSize(const PixelLayout& layout, int width, int height);

// Converts one picture to packed R, G, B bytes (width * height * 3). YUV is
// read as BT.601 with limited range, which is what the host's converter
// writes. False when `size` does not match PictureBytes.
bool ConvertToRgb(int32_t code, int width, int height, const uint8_t* data, size_t size,
                  std::vector<uint8_t>* rgb);

}  // namespace marlin::play
