#pragma once
// Interface of the picture-conversion library (libkvh264decode.so): one
// converter object brings pictures of one source size and pixel format to one
// target size and pixel format.
//
// Pixel formats are the ColorSpace codes of playback/MediaFormat.h (RGB24 0,
// RGB32 2, RGB565 3, RGB555 4, YUY2 6, UYVY 10, I420 12, YVU9 13, YV12 16,
// IYUV 19, NV12 22); each is accepted as source and as target. Every other
// code, 11 and 21 among them, is refused by Init.
//
// Source layout (what Convert reads), width w and height h in pixels:
//   RGB24/RGB32/RGB565/RGB555: DIB lines, each padded to a multiple of 4
//     bytes (stride = (w * bits + 31) / 32 * 4); B,G,R(,X) byte order, 16-bit
//     formats as little-endian words. Bottom-up (last line first) unless the
//     height is negative (see Init).
//   YUY2, UYVY: lines of 4 * cw bytes, top-down, where cw = (w + 1) / 2:
//     an odd width ends in a whole macropixel whose second luma is unused.
//   I420/IYUV: Y plane (w per line), then U, then V (cw per line, ch lines,
//     ch = (h + 1) / 2); YV12 the same with V before U. NV12: Y plane, then
//     ch lines of 2 * cw bytes of interleaved U,V. YVU9: Y plane, then V,
//     then U ((w + 3) / 4 per line, (h + 3) / 4 lines). This is FFmpeg's
//     layout for odd sizes too. YUV pictures are top-down whatever the
//     height's sign, as in DirectShow.
// Target layout (what Convert returns): the same byte order per format, always
// top-down and without any line padding (RGB24 lines are exactly 3 * w bytes).
//
// Colour: YUV targets are limited range (a full-range source is brought into
// it) and keep the source's matrix; RGB targets are made with the source's
// range and matrix (SetSourceColour; BT.601 limited until told otherwise).
// RGB sources become YUV by BT.601. A same-size conversion between equal
// layouts that needs no range change is a plain copy, byte for byte; one
// between the 4:2:0 layouts (I420, IYUV, YV12, NV12) only moves samples.
// Output sizes: RGB24 3wh, RGB32 4wh, RGB565/RGB555 2wh, YUY2/UYVY 4 * cw * h,
// I420/IYUV/YV12/NV12 wh + 2 * cw * ch, YVU9 wh + 2 * ((w + 3) / 4) *
// ((h + 3) / 4). Even sizes give the familiar 2wh and wh * 3 / 2.
//
// A converter is used by one thread at a time.
#include <cstdint>

class IColorSpaceZoom
{
public:
    // Prepares the conversion; a later Init replaces an earlier one.
    //   srcWidth, srcHeight: the source bitmap's biWidth and biHeight reduced
    //     to their low 16 bits. They are read back as signed 16-bit values:
    //     a width above 32767 (negative) is refused; a height above 32767 is
    //     the negative height of a top-down picture (65296 = -240). For RGB
    //     sources a positive height means bottom-up lines.
    //   srcCode, dstCode: ColorSpace codes.
    //   dstWidth, dstHeight: 1..8192 each.
    //   modeFlag: scaling filter; 0 bilinear, any other value bicubic.
    //   isYV12: non-zero when a 4:2:0 planar source (I420, IYUV) actually
    //     carries its chroma planes V before U; YV12 sources are always read
    //     V before U. Ignored for the other source codes.
    // Any size, odd ones included, for every format; a source must not
    // exceed what FFmpeg accepts for one picture. Returns 0 when ready; any other value means refused,
    // and Convert then fails until a successful Init.
    virtual int Init(uint16_t srcWidth, uint16_t srcHeight, int srcCode,
                     int dstWidth, int dstHeight, int dstCode, int modeFlag, int isYV12) = 0;

    // Drops what Init prepared (the host never calls it). Returns 0.
    virtual int Reset() = 0;

    // Converts one source picture of srcLength bytes; a source shorter than
    // the layout above needs is refused (longer is fine, the rest is ignored).
    // On 0, *out points at the converted picture and *outLength holds its size
    // in bytes; the picture belongs to the converter and is overwritten by the
    // next Convert or Init. Any other result: nothing was converted.
    virtual int Convert(const uint8_t* src, long srcLength, uint8_t** out, long* outLength) = 0;

    // How the source's YUV samples are to be read: a ColourRange and a
    // ColourMatrix code (playback/MediaFormat.h). Limited-range BT.601 until
    // called. Before Init it is kept for Init; after a successful Init the
    // conversion is prepared again with it, and the result is Init's. An
    // unknown code is refused (non-zero) and changes nothing.
    virtual int SetSourceColour(int range, int matrix) = 0;

    // Convert for a planar 4:2:0 source (I420, IYUV, YV12) whose planes lie
    // apart: Y, U, V (in that order whatever the source code's memory order)
    // with their line strides, each covering the source size. Same results
    // and output as Convert. kPlanesNotTaken, with nothing done, when this
    // converter reads its source another way (another source code, an odd
    // size that is scaled, a bottom-up source): Convert is then the way.
    static constexpr int kPlanesNotTaken = 4;
    virtual int ConvertPlanes(const uint8_t* const planes[3], const int32_t strides[3], uint8_t** out,
                              long* outLength) = 0;

    // A converted picture as byte ranges that, in order, make it up.
    struct Parts
    {
        static constexpr int kMax = 3;
        const uint8_t* data[kMax] = {};
        long size[kMax] = {};
        int count = 0;
    };
    // ConvertPlanes that leaves what needs no change where it lies: a plane
    // the target keeps as it is (I420 to I420 at the same size, the luma of
    // a planar 4:2:0 source going to NV12) whose lines are exactly as wide
    // as the picture is a range of the source itself, valid as long as the
    // source is. The other ranges are the converter's, as ConvertPlanes'
    // output. Results as ConvertPlanes.
    virtual int ConvertPlanesToParts(const uint8_t* const planes[3], const int32_t strides[3], Parts* out) = 0;

protected:
    // Destroyed only through DestoryColorSpaceZoom. No virtual destructor, so
    // that the operations keep their slots: Init 0, Reset 1, Convert 2 as the
    // host knows them, SetSourceColour 3, ConvertPlanes 4,
    // ConvertPlanesToParts 5.
    ~IColorSpaceZoom() = default;
};

extern "C" {
// A new converter owned by the caller, or null when out of memory.
IColorSpaceZoom* CreateColorSpaceZoom();
// Destroys a converter from CreateColorSpaceZoom; null is accepted and ignored.
void DestoryColorSpaceZoom(IColorSpaceZoom* zoom);
}

// Owner for code that wants RAII: std::unique_ptr<IColorSpaceZoom, ColorSpaceZoomDeleter>.
struct ColorSpaceZoomDeleter
{
    void operator()(IColorSpaceZoom* zoom) const { DestoryColorSpaceZoom(zoom); }
};
