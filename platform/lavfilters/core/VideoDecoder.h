#pragma once
// libavcodec video decoding into one of the uncompressed types the capture
// renderer takes.
//
// Output layout (what CopyPicture writes and ImageSize counts): the visible
// picture, top-down, planes packed one after the other without line padding.
//   I420  Y (w x h), U, V (each (w+1)/2 x (h+1)/2); bitmap height +h
//   NV12  Y (w x h), interleaved UV ((w+1)/2 pairs x (h+1)/2 lines); +h
//   YUY2  Y0 U Y1 V, each line 2*((w+1)/2) pixels wide; +h
//   UYVY  U Y0 V Y1, likewise; +h
//   RGB32 B G R X bytes, 4*w per line; bitmap height -h (top-down RGB)
// YUV bitmaps are top-down by convention with a positive height; RGB needs
// the negative height to say so. YUV pictures keep the range and matrix the
// stream decodes to (range and matrix below say which); only the layout
// changes.
//
// Threads: one thread at a time (the decoder's streaming thread, or the
// flushing thread while streaming is held off), as the transform base does.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/lavfilters/core/CodecDecoder.h"
#include "platform/lavfilters/core/CompressedSample.h"
#include "platform/lavfilters/core/FFmpegPtr.h"
#include "platform/lavfilters/core/LavTypes.h"
#include "platform/lavfilters/core/StreamFormat.h"

namespace lav {

// The subtypes this decoder produces, a subset of the renderer's eleven.
enum class VideoSubtype { I420, NV12, YUY2, UYVY, RGB32 };
const char* SubtypeName(VideoSubtype subtype);

// How YUV samples are to be read: their range, and the matrix that made them
// from RGB. Untagged streams are limited-range BT.601, as FFmpeg takes them;
// RGB pictures always carry the defaults.
enum class ColourRange { Limited, Full };
enum class ColourMatrix { BT601, BT709, SMPTE240M, BT2020, FCC };

struct PictureFormat
{
    VideoSubtype subtype = VideoSubtype::I420;
    ColourRange range = ColourRange::Limited;
    ColourMatrix matrix = ColourMatrix::BT601;
    int32_t width = 0;   // visible size in pixels
    int32_t height = 0;
    RefTime avgTimePerFrame = 0;  // from the stream's frame rate, 0 unknown
    int32_t sarNum = 1, sarDen = 1;

    // BITMAPINFOHEADER fields for this layout.
    int32_t BitmapHeight() const { return subtype == VideoSubtype::RGB32 ? -height : height; }
    uint16_t BitCount() const;
    // FOURCC of the subtype (biCompression); 0 (BI_RGB) for RGB32.
    uint32_t Compression() const;
    uint32_t ImageSize() const;
    bool operator==(const PictureFormat&) const = default;
};

struct DecodedPicture
{
    SampleTimes times;           // carried from the packets, 100 ns
    PictureFormat format;        // layout CopyPicture writes for this picture
    bool formatChanged = false;  // differs from the previous picture (or InitialFormat)
    bool keyFrame = false;       // decodable on its own (an intra or IDR picture)
    detail::FramePtr frame;      // the decoder's picture
};

struct VideoDecoderOptions
{
    int threads = 0;  // frame threads; 0 picks from the stream's size and the CPU count (at most 4)
};

class VideoDecoder final : public detail::CodecDecoder
{
public:
    // Called for each picture as it becomes ready, on the caller's thread.
    using PictureCallback = std::function<void(DecodedPicture&)>;

    // Null with a reason when the codec is unknown or cannot be opened.
    static std::unique_ptr<VideoDecoder> Create(const StreamFormat& format, const VideoDecoderOptions& options,
                                                std::string* error);
    ~VideoDecoder();

    // The format expected from the stream parameters, for the output type
    // offered before any picture is decoded.
    PictureFormat InitialFormat() const { return m_initial; }

    // Decodes one packet. A packet the codec refuses is skipped (counted in
    // DecodeErrors); decoding goes on with the next one.
    void Decode(const CompressedSample& sample, const PictureCallback& onPicture);
    // End of stream: hands out the pictures still held by the frame threads.
    void EndOfStream(const PictureCallback& onPicture);
    // Flush (of the base) drops every queued picture; the next picture
    // reports its format against the last one delivered.

    // Writes the picture in the layout of picture.format. False when `size`
    // is below ImageSize() or the conversion fails.
    bool CopyPicture(const DecodedPicture& picture, uint8_t* dst, size_t size);

    // The planes of an I420 picture that the decoder made in that layout
    // (a 4:2:0 stream), for a consumer that reads them where they lie: Y,
    // U, V with their line strides. False for every other picture.
    static bool PlanesOf(const DecodedPicture& picture, const uint8_t* data[4], int stride[4], int* count);
    // What CopyPicture writes for such a picture. Uses no decoder state, so
    // any thread may call it while the frame lives.
    static bool PackPlanes(const AVFrame* frame, const PictureFormat& format, uint8_t* dst, size_t size);

private:
    VideoDecoder() = default;
    void ReceiveAll(const PictureCallback& onPicture);
    PictureFormat FormatFor(const AVFrame* frame) const;

    // Conversion of layouts that are not copied: a semi-planar source is
    // first split into its planar twin, and libswscale writes into aligned
    // planes that are then copied out (its SIMD code wants aligned lines).
    detail::SwsPtr m_sws;           // cached for the key below
    int m_swsFormat = -1, m_swsTarget = -1, m_swsWidth = 0, m_swsHeight = 0;
    bool m_swsFullRange = false;
    detail::FramePtr m_split;       // planar twin of a semi-planar picture
    detail::FramePtr m_converted;   // aligned output of libswscale
    PictureFormat m_initial;
    PictureFormat m_last;           // format of the last picture handed out
    RefTime m_rtAvgTimePerFrame = 0;
    int32_t m_sarNum = 1, m_sarDen = 1;
};

}  // namespace lav
