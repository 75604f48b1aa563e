#pragma once
// Owning handles for FFmpeg objects (internal to the core).
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace lav::detail {

struct CodecContextDeleter
{
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameDeleter
{
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketDeleter
{
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter
{
    void operator()(SwsContext* p) const { sws_freeContext(p); }
};
struct SwrDeleter
{
    void operator()(SwrContext* p) const { swr_free(&p); }
};
struct CodecParametersDeleter
{
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;

inline constexpr AVRational kRefTimeBase{1, 10'000'000};
// AV_TIME_BASE_Q is a C compound literal, which C++ does not have.
inline constexpr AVRational kAvTimeBase{1, AV_TIME_BASE};

}  // namespace lav::detail
