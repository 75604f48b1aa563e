#pragma once
// The format record that passes from a capture renderer to the dialog with
// every sample, and that also carries the output format a controller asks
// for. A renderer fills only the half of its role: the picture fields in the
// video role, the sound fields in the audio role.
#include <cstdint>

struct MediaFormat
{
    int32_t width;          // biWidth of the agreed picture type (padded line length)
    int32_t height;         // biHeight with its sign; negative means top-down
    int32_t colorSpace;     // one of the ColorSpace codes below
    int32_t sampleRate;     // nSamplesPerSec
    int32_t bitsPerSample;  // wBitsPerSample
    int32_t channels;       // nChannels
};
static_assert(sizeof(MediaFormat) == 24);

// Pixel-format codes shared by the capture renderer (source formats) and the
// picture converter (source and target formats).
namespace ColorSpace {
constexpr int32_t RGB24 = 0;
constexpr int32_t RGB32 = 2;
constexpr int32_t RGB565 = 3;
constexpr int32_t RGB555 = 4;
constexpr int32_t YUY2 = 6;
constexpr int32_t UYVY = 10;
constexpr int32_t I420 = 12;
constexpr int32_t YVU9 = 13;
constexpr int32_t YV12 = 16;
constexpr int32_t IYUV = 19;
constexpr int32_t NV12 = 22;
}  // namespace ColorSpace

// How the samples of a YUV picture are to be read: the range they use and
// the matrix that made them from RGB. Kept beside MediaFormat, not in it
// (MediaFormat's bytes travel on the pipe): the video renderer takes it from
// the agreed type's colour information, and the dialog hands it to the
// picture converter. RGB pictures ignore it.
namespace ColourRange {
constexpr int32_t Limited = 0;  // luma 16..235, chroma 16..240
constexpr int32_t Full = 1;     // 0..255 (JPEG)
}  // namespace ColourRange
namespace ColourMatrix {
constexpr int32_t BT601 = 0;  // also what an untagged picture uses
constexpr int32_t BT709 = 1;
constexpr int32_t SMPTE240M = 2;
constexpr int32_t BT2020 = 3;
constexpr int32_t FCC = 4;
}  // namespace ColourMatrix

// Eight-byte aligned, so that a std::atomic of it is lock-free with every
// compiler (clang otherwise calls libatomic, which nothing links).
struct alignas(8) PictureColour
{
    int32_t range = ColourRange::Limited;
    int32_t matrix = ColourMatrix::BT601;
    bool operator==(const PictureColour&) const = default;
};
