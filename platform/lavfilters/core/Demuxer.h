#pragma once
// libavformat behind an IByteReader: probing, choice of the best video and
// best audio stream, packets with times relative to the segment start, and
// key-frame seeking.
//
// Threads: ReadPacket and Seek are called by one thread at a time (the
// splitter's demux thread, or a seeking thread while that one is parked).
// Abort/ClearAbort may be called from any thread; Abort is the way to wake a
// ReadPacket or Seek blocked in the reader.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/lavfilters/core/ByteReader.h"
#include "platform/lavfilters/core/FFmpegPtr.h"
#include "platform/lavfilters/core/LavTypes.h"
#include "platform/lavfilters/core/PacketSideData.h"
#include "platform/lavfilters/core/StreamFormat.h"

namespace lav {

struct DemuxStream
{
    int index = -1;             // container stream index
    StreamFormat format;        // goes into the output pin's format block
    RefTime duration = kNoTime; // of this stream, when the container says
};

// One compressed packet of a chosen stream.
struct DemuxPacket
{
    MediaKind kind = MediaKind::Video;
    // Relative to the segment start (0 after opening, the landing point after
    // a seek). May be negative (decoder priming, B-frames before a seek point).
    SampleTimes times;
    bool syncPoint = false;      // a key frame: decoding may start here
    bool discontinuity = false;  // first packet of its stream after open/seek
    PacketTiming timing;         // how times.start relates to the decode time
    detail::PacketPtr packet;    // owns the data

    const uint8_t* Data() const { return packet ? packet->data : nullptr; }
    size_t Size() const { return packet ? static_cast<size_t>(packet->size) : 0; }
    // The bytes a media sample carries: payload plus side-data trailer (the
    // streams' formats say kFlagSideDataTrailer).
    size_t PackedSize() const;
    void PackTo(uint8_t* dst) const;
};

enum class ReadStatus
{
    Packet,       // `out` holds a packet
    EndOfStream,  // the data ended, or a read/parse error ended it (see ReadError)
    Aborted,      // Abort() was called; the demuxer stays usable after ClearAbort
};

struct DemuxOptions
{
    // File name for format probing only (extension hint); never opened.
    std::string filenameHint;
    // Probe results at or below this score count as "not a media file", so
    // that random bytes are refused instead of being guessed as MPEG audio.
    int minProbeScore = 25 + 1;  // above AVPROBE_SCORE_RETRY
};

class Demuxer
{
public:
    // Opens and probes. Null with a reason in `error` when the data is not a
    // media file libavformat can open or has no decodable audio/video stream.
    static std::unique_ptr<Demuxer> Open(std::shared_ptr<IByteReader> reader, const DemuxOptions& options,
                                         std::string* error);
    ~Demuxer();
    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;

    // The chosen streams; null when the file has none of that kind. Cover art
    // (attached pictures) is never the video stream.
    const DemuxStream* VideoStream() const { return m_video ? &*m_video : nullptr; }
    const DemuxStream* AudioStream() const { return m_audio ? &*m_audio : nullptr; }
    // Whole-file duration, kNoTime when unknown. The container's figure can
    // be an estimate that falls short (an MP3 without an index, timed by its
    // first frame's bit rate; a file whose times start again, timed by one
    // part), so the file lasts at least as long as its packets have gone on:
    // it grows as they are read.
    RefTime Duration() const
    {
        const RefTime read = m_rtReadEnd.load();
        return m_duration == kNoTime || read == kNoTime ? m_duration : std::max(m_duration, read);
    }
    // libavformat's short format name ("mov,mp4,m4a,3gp,3g2,mj2").
    std::string FormatName() const;

    // Next packet of a chosen stream, in file order.
    ReadStatus ReadPacket(DemuxPacket& out);
    // True when the end of stream came from a read or parse error.
    bool ReadError() const { return m_bReadError; }

    // Moves to the key frame of the reference stream (video if any, else
    // audio) at or before `target` (media time from the file start), or to
    // the first key frame when the target lies before it. That key frame's
    // time becomes the new segment start and is returned in `landed`; the
    // next packets start there. After a failed seek the stream has ended.
    bool Seek(RefTime target, RefTime* landed);
    // Media time (from the file start) that packet times are relative to.
    RefTime SegmentStart() const { return m_rtSegmentStart; }

    // Makes a blocked or later read return ReadStatus::Aborted (and Seek
    // false) until ClearAbort; cancels the reader's pending read.
    void Abort();
    void ClearAbort();

private:
    struct StreamState
    {
        int64_t lastTs = AV_NOPTS_VALUE;  // for wrap detection
        int64_t wrapOffset = 0;
        RefTime nextStart = kNoTime;      // where a packet without time starts (sound, raw video)
        // Where times start again (TimesMayRestart): what is added to the
        // stream's times since, and the furthest end reached so far.
        RefTime jump = 0;
        RefTime furthest = kNoTime;
        RefTime lastEnd = kNoTime;  // the previous packet's end, in media time
        bool discontinuity = true;
    };
    struct Pending
    {
        DemuxPacket packet;  // times still in media time
        RefTime mediaStart;
    };

    Demuxer() = default;
    static int ReadCallback(void* opaque, uint8_t* buf, int size);
    static int64_t SeekCallback(void* opaque, int64_t offset, int whence);
    static int InterruptCallback(void* opaque);
    // libavformat's io_open / io_close2 for the files a format opens by name
    // besides the one it was given (a playlist's segments): a local path is
    // read only when it is a regular file, so a FIFO never blocks the open.
    static int OpenNested(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                          AVDictionary** options);
    static int CloseNested(AVFormatContext* s, AVIOContext* pb);

    // Reads the next chosen-stream packet with times in media time (not yet
    // relative to the segment start).
    ReadStatus ReadRaw(DemuxPacket& out);
    RefTime ToMediaTime(int streamIndex, int64_t ts);
    // Formats whose times may start again mid-file (MPEG transport and
    // program streams, chained Ogg).
    bool TimesMayRestart() const;
    static RefTime Rejoin(StreamState& state, RefTime t);
    void ResetStreamStates();
    void RecoverFromAbort();
    bool ScanToKeyFrame(RefTime target, bool fromStart, RefTime* landed);
    // Forgets what was read before a seek that succeeded (err >= 0), then
    // scans from the new position.
    bool ScanAfterSeek(int err, RefTime target, bool fromStart, RefTime* landed);
    bool SeekToFileStart(RefTime target, RefTime* landed);

    // Set once at Open.
    std::shared_ptr<IByteReader> m_reader;
    AVIOContext* m_pIo = nullptr;         // owned; freed after m_pFormat
    AVFormatContext* m_pFormat = nullptr; // owned
    // libavformat's own openers, for everything but local files.
    int (*m_pDefaultIoOpen)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) = nullptr;
    int (*m_pDefaultIoClose2)(AVFormatContext*, AVIOContext*) = nullptr;
    std::optional<DemuxStream> m_video;
    std::optional<DemuxStream> m_audio;
    RefTime m_duration = kNoTime;
    RefTime m_rtFileStart = 0;            // container start time, 100 ns

    // Demux thread only.
    int64_t m_llIoPos = 0;                // position of the AVIO read cursor
    StreamState m_videoState, m_audioState;
    std::deque<Pending> m_pending;        // packets read ahead by Seek
    RefTime m_rtSegmentStart = 0;
    bool m_bEnded = false;
    bool m_bReadError = false;

    // Any thread.
    std::atomic<bool> m_bAbort{false};
    // Written by the demux thread only: the furthest end of a packet that
    // started past m_duration; kNoTime until one did.
    std::atomic<RefTime> m_rtReadEnd{kNoTime};
};

}  // namespace lav
