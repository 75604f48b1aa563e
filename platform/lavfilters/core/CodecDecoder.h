#pragma once
// What the audio and the video decoder share: one libavcodec context fed
// packet by packet from the splitter's samples, with the error count, the
// end-of-stream drain and the flush.
//
// Threads: one thread at a time, as the decoders that derive from it.
#include <functional>
#include <string>

#include "platform/lavfilters/core/CompressedSample.h"
#include "platform/lavfilters/core/FFmpegPtr.h"
#include "platform/lavfilters/core/LavTypes.h"
#include "platform/lavfilters/core/StreamFormat.h"

namespace lav::detail {

class CodecDecoder
{
public:
    CodecDecoder(const CodecDecoder&) = delete;
    CodecDecoder& operator=(const CodecDecoder&) = delete;

    // Drops held data (seek, stop).
    void Flush();
    // Packets and frames the codec refused or that could not be used.
    int DecodeErrors() const { return m_nErrors; }
    std::string CodecName() const;

protected:
    CodecDecoder() = default;
    ~CodecDecoder() = default;

    // Opens `codec` on the stream's parameters, with packet times in 100 ns;
    // `configure` sets what the derived decoder needs before the open.
    bool Open(const AVCodec* codec, const StreamFormat& format,
              const std::function<void(AVCodecContext*)>& configure, std::string* error);
    // Sends one sample as a padded packet of its own (libavcodec reads past
    // the end of the data). `drain` takes out what is ready: when the codec
    // asks for room and after the send. A broken packet is skipped.
    void Send(const CompressedSample& sample, const std::function<void()>& drain);
    // End of stream: the codec hands out what it still holds.
    void SendEnd(const std::function<void()>& drain);
    // Takes the next decoded frame into m_frame; false when none is ready.
    bool NextFrame();

    CodecContextPtr m_ctx;
    FramePtr m_frame;
    RefTime m_rtNext = kNoTime;       // expected start of the next frame
    bool m_bSideDataTrailer = false;  // samples end in a side-data trailer
    int m_nErrors = 0;

private:
    bool m_bDrained = false;  // end of stream sent; flush before more data
};

}  // namespace lav::detail
