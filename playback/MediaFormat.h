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
