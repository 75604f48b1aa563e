#include "platform/lavfilters/core/Demuxer.h"

#include <algorithm>
#include <cstring>

#include "platform/lavfilters/core/PacketSideData.h"

extern "C" {
#include <libavutil/avstring.h>
}

namespace lav {
namespace {

constexpr int kIoBufferSize = 64 * 1024;
// Read-ahead bounds of a seek's key-frame search.
constexpr size_t kMaxScanPackets = 20000;
constexpr size_t kMaxScanBytes = 256u << 20;
constexpr RefTime kMaxDecodeLead = 60 * 10'000'000;  // 100 ns
// The widest step from one packet's end to the next one's start in a
// stream that still counts as going on (sparse sound, a still picture).
constexpr RefTime kMaxFollowOn = 30 * 10'000'000;

// A stream that can be decoded and is really a stream (not cover art).
bool IsUsable(const AVStream* st, AVMediaType type)
{
    if (st->codecpar->codec_type != type) return false;
    if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) return false;
    return st->codecpar->codec_id != AV_CODEC_ID_NONE && avcodec_find_decoder(st->codecpar->codec_id) != nullptr;
}

// av_find_best_stream's choice, unless that is unusable; then the usable
// stream of the type with the most pixels / channels.
int ChooseStream(AVFormatContext* fmt, AVMediaType type)
{
    int best = av_find_best_stream(fmt, type, -1, -1, nullptr, 0);
    if (best >= 0 && IsUsable(fmt->streams[best], type)) return best;
    best = -1;
    int64_t bestScore = -1;
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        const AVStream* st = fmt->streams[i];
        if (!IsUsable(st, type)) continue;
        const AVCodecParameters* par = st->codecpar;
        int64_t score = type == AVMEDIA_TYPE_VIDEO ? int64_t{par->width} * par->height : par->ch_layout.nb_channels;
        if (score > bestScore) {
            bestScore = score;
            best = static_cast<int>(i);
        }
    }
    return best;
}

// The new read position of a seek from `current`; AVSEEK_SIZE asks for the
// size. A negative AVERROR when the seek cannot be made.
int64_t SeekPosition(IByteReader& reader, int64_t current, int64_t offset, int whence)
{
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) {
        int64_t size = reader.Size();
        return size >= 0 ? size : AVERROR(ENOSYS);
    }
    int64_t base = 0;
    if (whence == SEEK_CUR) {
        base = current;
    } else if (whence == SEEK_END) {
        base = reader.Size();
        if (base < 0) return AVERROR(ENOSYS);
    } else if (whence != SEEK_SET) {
        return AVERROR(EINVAL);
    }
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return AVERROR(EINVAL);
    return base + offset;
}

// A local file that a format opened by name, read through its own AVIO
// context (see Demuxer::OpenNested).
struct NestedFile
{
    std::unique_ptr<FileByteReader> file;
    int64_t position = 0;
};

int NestedRead(void* opaque, uint8_t* buf, int size)
{
    auto* nested = static_cast<NestedFile*>(opaque);
    int64_t n = nested->file->ReadAt(nested->position, buf, size);
    if (n < 0) return AVERROR(EIO);
    if (n == 0) return AVERROR_EOF;
    n = std::min<int64_t>(n, size);
    nested->position += n;
    return static_cast<int>(n);
}

int64_t NestedSeek(void* opaque, int64_t offset, int whence)
{
    auto* nested = static_cast<NestedFile*>(opaque);
    int64_t target = SeekPosition(*nested->file, nested->position, offset, whence);
    if (target >= 0 && (whence & ~AVSEEK_FORCE) != AVSEEK_SIZE) nested->position = target;
    return target;
}

std::string AvError(int err)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof(buf));
    return buf;
}

}  // namespace

size_t DemuxPacket::PackedSize() const
{
    return packet ? PackedPacketSize(packet.get()) : 0;
}

void DemuxPacket::PackTo(uint8_t* dst) const
{
    if (packet) PackPacket(packet.get(), dst, timing);
}

int Demuxer::ReadCallback(void* opaque, uint8_t* buf, int size)
{
    auto* self = static_cast<Demuxer*>(opaque);
    if (self->m_bAbort.load()) return AVERROR_EXIT;
    int64_t n = self->m_reader->ReadAt(self->m_llIoPos, buf, size);
    if (self->m_bAbort.load()) return AVERROR_EXIT;
    if (n < 0) return AVERROR(EIO);
    if (n == 0) return AVERROR_EOF;
    n = std::min<int64_t>(n, size);
    self->m_llIoPos += n;
    return static_cast<int>(n);
}

int64_t Demuxer::SeekCallback(void* opaque, int64_t offset, int whence)
{
    auto* self = static_cast<Demuxer*>(opaque);
    int64_t target = SeekPosition(*self->m_reader, self->m_llIoPos, offset, whence);
    if (target >= 0 && (whence & ~AVSEEK_FORCE) != AVSEEK_SIZE) self->m_llIoPos = target;
    return target;
}

int Demuxer::InterruptCallback(void* opaque)
{
    return static_cast<Demuxer*>(opaque)->m_bAbort.load() ? 1 : 0;
}

int Demuxer::OpenNested(AVFormatContext* s, AVIOContext** pb, const char* url, int flags, AVDictionary** options)
{
    auto* self = static_cast<Demuxer*>(s->opaque);
    const char* protocol = url ? avio_find_protocol_name(url) : nullptr;
    if (!protocol || std::strcmp(protocol, "file") != 0) return self->m_pDefaultIoOpen(s, pb, url, flags, options);
    if (flags & AVIO_FLAG_WRITE) return AVERROR(EPERM);
    const char* path = url;
    av_strstart(url, "file:", &path);
    auto nested = std::make_unique<NestedFile>();
    nested->file = FileByteReader::Open(path);
    if (!nested->file) return AVERROR(ENOENT);
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (!buffer) return AVERROR(ENOMEM);
    AVIOContext* io = avio_alloc_context(buffer, kIoBufferSize, 0, nested.get(), &NestedRead, nullptr, &NestedSeek);
    if (!io) {
        av_free(buffer);
        return AVERROR(ENOMEM);
    }
    nested.release();  // CloseNested frees it with the context
    *pb = io;
    return 0;
}

int Demuxer::CloseNested(AVFormatContext* s, AVIOContext* pb)
{
    if (pb && pb->read_packet == &NestedRead) {
        std::unique_ptr<NestedFile> nested(static_cast<NestedFile*>(pb->opaque));
        av_freep(&pb->buffer);
        avio_context_free(&pb);
        return 0;
    }
    auto* self = static_cast<Demuxer*>(s->opaque);
    return self->m_pDefaultIoClose2 ? self->m_pDefaultIoClose2(s, pb) : avio_close(pb);
}

std::unique_ptr<Demuxer> Demuxer::Open(std::shared_ptr<IByteReader> reader, const DemuxOptions& options,
                                       std::string* error)
{
    auto fail = [&](std::string why) -> std::unique_ptr<Demuxer> {
        if (error) *error = std::move(why);
        return nullptr;
    };
    if (!reader) return fail("no reader");
    std::unique_ptr<Demuxer> self(new Demuxer());
    self->m_reader = std::move(reader);

    auto* ioBuffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (!ioBuffer) return fail("out of memory");
    self->m_pIo = avio_alloc_context(ioBuffer, kIoBufferSize, 0, self.get(), &Demuxer::ReadCallback, nullptr,
                                     &Demuxer::SeekCallback);
    if (!self->m_pIo) {
        av_free(ioBuffer);
        return fail("out of memory");
    }

    const char* hint = options.filenameHint.empty() ? "" : options.filenameHint.c_str();
    const AVInputFormat* format = nullptr;
    int score = av_probe_input_buffer2(self->m_pIo, &format, hint, nullptr, 0, 0);
    if (score < 0 || !format)
        return fail("not a media file: " + (score < 0 ? AvError(score) : std::string("unknown format")));
    if (score < options.minProbeScore) return fail(std::string("not a media file (weak guess ") + format->name + ")");

    AVFormatContext* fmt = avformat_alloc_context();
    if (!fmt) return fail("out of memory");
    fmt->pb = self->m_pIo;
    fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
    fmt->interrupt_callback.callback = &Demuxer::InterruptCallback;
    fmt->interrupt_callback.opaque = self.get();
    // Nested format contexts share `opaque` and these callbacks.
    fmt->opaque = self.get();
    self->m_pDefaultIoOpen = fmt->io_open;
    self->m_pDefaultIoClose2 = fmt->io_close2;
    fmt->io_open = &Demuxer::OpenNested;
    fmt->io_close2 = &Demuxer::CloseNested;
    int err = avformat_open_input(&fmt, hint, format, nullptr);  // frees fmt on failure
    if (err < 0) return fail("cannot open: " + AvError(err));
    self->m_pFormat = fmt;

    err = avformat_find_stream_info(fmt, nullptr);
    if (err < 0 && fmt->nb_streams == 0) return fail("no streams: " + AvError(err));

    const int videoIndex = ChooseStream(fmt, AVMEDIA_TYPE_VIDEO);
    const int audioIndex = ChooseStream(fmt, AVMEDIA_TYPE_AUDIO);
    if (videoIndex < 0 && audioIndex < 0) return fail("no decodable audio or video stream");
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        if (static_cast<int>(i) != videoIndex && static_cast<int>(i) != audioIndex)
            fmt->streams[i]->discard = AVDISCARD_ALL;
    }
    auto describe = [&](int index) {
        DemuxStream s;
        const AVStream* st = fmt->streams[index];
        s.index = index;
        s.format = StreamFormat::FromStream(st);
        s.format.flags |= StreamFormat::kFlagSideDataTrailer;
        if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
            s.duration = av_rescale_q(st->duration, st->time_base, detail::kRefTimeBase);
        return s;
    };
    if (videoIndex >= 0) self->m_video = describe(videoIndex);
    if (audioIndex >= 0) self->m_audio = describe(audioIndex);

    if (fmt->start_time != AV_NOPTS_VALUE)
        self->m_rtFileStart = av_rescale_q(fmt->start_time, detail::kAvTimeBase, detail::kRefTimeBase);
    if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0) {
        self->m_duration = av_rescale_q(fmt->duration, detail::kAvTimeBase, detail::kRefTimeBase);
    } else {
        for (const auto* s : {self->VideoStream(), self->AudioStream()}) {
            if (s && s->duration != kNoTime) self->m_duration = std::max(self->m_duration, s->duration);
        }
    }
    return self;
}

Demuxer::~Demuxer()
{
    avformat_close_input(&m_pFormat);  // custom I/O: leaves m_pIo alone
    if (m_pIo) {
        av_freep(&m_pIo->buffer);
        avio_context_free(&m_pIo);
    }
}

std::string Demuxer::FormatName() const
{
    return m_pFormat && m_pFormat->iformat ? m_pFormat->iformat->name : "";
}

void Demuxer::Abort()
{
    m_bAbort.store(true);
    m_reader->Cancel();
}

void Demuxer::ClearAbort()
{
    m_reader->Resume();
    m_bAbort.store(false);
}

RefTime Demuxer::ToMediaTime(int streamIndex, int64_t ts)
{
    if (ts == AV_NOPTS_VALUE) return kNoTime;
    const AVStream* st = m_pFormat->streams[streamIndex];
    StreamState& state = (m_video && streamIndex == m_video->index) ? m_videoState : m_audioState;
    // libavformat already unwraps most 33-bit MPEG time stamps; this catches
    // a wrap it left in place, so times keep rising across it.
    if (st->pts_wrap_bits > 0 && st->pts_wrap_bits < 63) {
        const int64_t period = int64_t{1} << st->pts_wrap_bits;
        if (state.lastTs != AV_NOPTS_VALUE && ts + state.wrapOffset < state.lastTs - period / 2)
            state.wrapOffset += period;
        ts += state.wrapOffset;
        state.lastTs = ts;
    }
    return av_rescale_q(ts, st->time_base, detail::kRefTimeBase) - m_rtFileStart;
}

bool Demuxer::TimesMayRestart() const { return (m_pFormat->iformat->flags & AVFMT_TS_DISCONT) != 0; }

// A recording joined from two, or a broadcast whose clock was reset, starts
// its times again: a packet more than a second before the furthest time of
// its stream (more than B-frame reordering moves back), or far after it,
// goes on from there instead. Each stream keeps its own jump, so one that
// reaches the join later is not moved early.
RefTime Demuxer::Rejoin(StreamState& state, RefTime t)
{
    constexpr RefTime kMaxStepBack = kRefTimePerSecond;
    constexpr RefTime kMaxStepAhead = 10 * kRefTimePerSecond;
    t += state.jump;
    if (state.furthest != kNoTime && (t < state.furthest - kMaxStepBack || t > state.furthest + kMaxStepAhead)) {
        state.jump += state.furthest - t;
        t = state.furthest;
    }
    return t;
}

void Demuxer::ResetStreamStates()
{
    m_videoState = StreamState{};
    m_audioState = StreamState{};
}

void Demuxer::RecoverFromAbort()
{
    // An aborted read leaves AVERROR_EXIT in the I/O context, where it would
    // fail every later read.
    if (m_pIo->error == AVERROR_EXIT) {
        m_pIo->error = 0;
        m_pIo->eof_reached = 0;
    }
}

ReadStatus Demuxer::ReadRaw(DemuxPacket& out)
{
    for (;;) {
        if (m_bAbort.load()) return ReadStatus::Aborted;
        RecoverFromAbort();
        if (m_bEnded) return ReadStatus::EndOfStream;
        detail::PacketPtr pkt(av_packet_alloc());
        if (!pkt) {
            m_bEnded = m_bReadError = true;
            return ReadStatus::EndOfStream;
        }
        int err = av_read_frame(m_pFormat, pkt.get());
        if (err == AVERROR(EAGAIN)) continue;
        if (err < 0) {
            if (m_bAbort.load() || err == AVERROR_EXIT) return ReadStatus::Aborted;
            m_bEnded = true;
            m_bReadError = err != AVERROR_EOF;
            return ReadStatus::EndOfStream;
        }
        const bool isVideo = m_video && pkt->stream_index == m_video->index;
        const bool isAudio = m_audio && pkt->stream_index == m_audio->index;
        if ((!isVideo && !isAudio) || pkt->size <= 0) continue;

        const AVStream* st = m_pFormat->streams[pkt->stream_index];
        StreamState& state = isVideo ? m_videoState : m_audioState;
        DemuxPacket p;
        p.kind = isVideo ? MediaKind::Video : MediaKind::Audio;
        // The presentation time when the container has it; a decode time is
        // the best guess otherwise (equal to it without reordering).
        RefTime start = ToMediaTime(pkt->stream_index, pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts);
        // A raw video stream has no times at all (the probe found no start):
        // its packets come one frame after another in decode order, from 0
        // at the start of the file, where a seek in it always begins reading.
        const bool untimed = isVideo && st->start_time == AV_NOPTS_VALUE;
        const bool rejoin = start != kNoTime && TimesMayRestart();
        if (rejoin) start = Rejoin(state, start);
        const bool counted = start == kNoTime && untimed;
        if (start == kNoTime && (!isVideo || untimed)) start = state.nextStart;
        if (counted && start == kNoTime && state.discontinuity) start = 0;  // first since the start or a seek
        RefTime stop = kNoTime;
        if (start != kNoTime) {
            if (pkt->duration > 0) {
                stop = start + av_rescale_q(pkt->duration, st->time_base, detail::kRefTimeBase);
            } else if (isVideo && m_video->format.AvgTimePerFrame() > 0) {
                stop = start + m_video->format.AvgTimePerFrame();
            }
        }
        if (!isVideo || untimed) state.nextStart = stop;
        if (start != kNoTime) {
            const RefTime end = stop != kNoTime ? stop : start;
            if (rejoin) state.furthest = state.furthest == kNoTime ? end : std::max(state.furthest, end);
            // Past the container's length, a packet that follows on from the
            // one before shows the length fell short; a lone wild time does not.
            const bool followsOn = state.lastEnd == kNoTime || start <= state.lastEnd + kMaxFollowOn;
            const RefTime read = m_rtReadEnd.load();
            if (m_duration != kNoTime && start >= m_duration && followsOn && (read == kNoTime || end > read))
                m_rtReadEnd.store(end);
            state.lastEnd = end;
        }
        p.times = {start, stop};
        if (counted || (pkt->pts == AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE)) {
            p.timing.startIsDecodeTime = true;
        } else if (pkt->pts != AV_NOPTS_VALUE && pkt->dts != AV_NOPTS_VALUE) {
            // The file start cancels out; a lead of more than a minute is a
            // wrap between the two, which says nothing about reordering.
            const RefTime lead = av_rescale_q(pkt->pts, st->time_base, detail::kRefTimeBase) -
                                 av_rescale_q(pkt->dts, st->time_base, detail::kRefTimeBase);
            if (lead > -kMaxDecodeLead && lead < kMaxDecodeLead) p.timing.decodeLead = lead;
        }
        p.syncPoint = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
        p.discontinuity = state.discontinuity;
        state.discontinuity = false;
        p.packet = std::move(pkt);
        out = std::move(p);
        return ReadStatus::Packet;
    }
}

ReadStatus Demuxer::ReadPacket(DemuxPacket& out)
{
    ReadStatus status = ReadStatus::Packet;
    if (!m_pending.empty()) {
        out = std::move(m_pending.front().packet);
        m_pending.pop_front();
    } else {
        status = ReadRaw(out);
        if (status != ReadStatus::Packet) return status;
    }
    if (out.times.start != kNoTime) out.times.start -= m_rtSegmentStart;
    if (out.times.stop != kNoTime) out.times.stop -= m_rtSegmentStart;
    return status;
}

// Reads from the current position, keeping packets from the last reference
// key frame at or before `target`. A reference packet later than the target
// ends the search: no key frame after it can lie at or before the target,
// since a key frame is never shown before the frames decoded ahead of it.
bool Demuxer::ScanToKeyFrame(RefTime target, bool fromStart, RefTime* landed)
{
    const MediaKind refKind = m_video ? MediaKind::Video : MediaKind::Audio;
    std::deque<Pending> scanned;
    std::optional<size_t> key;  // index into `scanned` of the chosen key frame
    RefTime keyTime = kNoTime;
    size_t bytes = 0;
    for (;;) {
        DemuxPacket p;
        ReadStatus status = ReadRaw(p);
        if (status == ReadStatus::Aborted) return false;
        if (status == ReadStatus::EndOfStream) break;
        const bool isRef = p.kind == refKind;
        const RefTime t = p.times.start;
        if (isRef && t == kNoTime && fromStart && !key && p.syncPoint) {
            // A stream without times (a raw elementary stream): its first
            // key frame, at 0, is the only place a seek can name.
            key = scanned.size();
            keyTime = 0;
            scanned.push_back({std::move(p), t});
            break;
        }
        if (isRef && t != kNoTime) {
            if (p.syncPoint && (t <= target || (fromStart && !key))) {
                key = scanned.size();
                keyTime = t;
            } else if (t > target && (key || !fromStart)) {
                scanned.push_back({std::move(p), t});
                break;
            }
        }
        bytes += p.Size();
        scanned.push_back({std::move(p), t});
        if (scanned.size() > kMaxScanPackets || bytes > kMaxScanBytes) break;  // keep the best found so far
    }
    if (!key) return false;

    // Reference packets from the key frame on; other streams' packets that
    // end after it (audio read just before the key frame in file order).
    m_pending.clear();
    for (size_t i = 0; i < scanned.size(); ++i) {
        Pending& item = scanned[i];
        if (i < *key) {
            if (item.packet.kind == refKind) continue;
            const RefTime end = item.packet.times.HasStop() ? item.packet.times.stop : item.packet.times.start;
            if (end == kNoTime || end <= keyTime) continue;
        }
        m_pending.push_back(std::move(item));
    }
    bool firstVideo = true, firstAudio = true;
    for (Pending& item : m_pending) {
        bool& first = item.packet.kind == MediaKind::Video ? firstVideo : firstAudio;
        item.packet.discontinuity = first;
        first = false;
    }
    *landed = keyTime;
    return true;
}

bool Demuxer::ScanAfterSeek(int err, RefTime target, bool fromStart, RefTime* landed)
{
    if (m_bAbort.load() || err < 0) return false;
    m_pending.clear();
    m_bEnded = false;
    m_bReadError = false;
    ResetStreamStates();
    return ScanToKeyFrame(target, fromStart, landed);
}

// The file's first key frame, or the last one at or before a target close
// to the start. Without an index (MPEG-TS) a seek by time to the start can
// land past the first key frame, or past the only one; then a seek to the
// first byte is tried as well, and the earlier landing kept.
bool Demuxer::SeekToFileStart(RefTime target, RefTime* landed)
{
    auto byTime = [&] {
        const int64_t start = m_pFormat->start_time != AV_NOPTS_VALUE ? m_pFormat->start_time : 0;
        return ScanAfterSeek(avformat_seek_file(m_pFormat, -1, INT64_MIN, start, INT64_MAX, 0), target, true, landed);
    };
    const bool foundByTime = byTime();
    if (foundByTime && *landed <= target) return true;
    if (m_bAbort.load()) return false;
    const RefTime timeLanded = *landed;
    if (ScanAfterSeek(av_seek_frame(m_pFormat, -1, 0, AVSEEK_FLAG_BYTE), target, true, landed) &&
        (!foundByTime || *landed < timeLanded))
        return true;
    if (m_bAbort.load() || !foundByTime) return false;
    return byTime();
}

bool Demuxer::Seek(RefTime target, RefTime* landed)
{
    if (m_bAbort.load()) return false;
    RecoverFromAbort();
    target = std::max<RefTime>(target, 0);
    const DemuxStream& ref = m_video ? *m_video : *m_audio;
    const AVStream* st = m_pFormat->streams[ref.index];
    // Containers whose index is exact land at once; others (MPEG-TS, Ogg)
    // may land after the key frame wanted, so back off and scan forward.
    static constexpr RefTime kBackoff[] = {0, 2 * kRefTimePerSecond, 10 * kRefTimePerSecond,
                                           60 * kRefTimePerSecond};
    for (size_t attempt = 0; attempt <= std::size(kBackoff); ++attempt) {
        const bool fromStart = attempt == std::size(kBackoff) || target <= kBackoff[attempt];
        bool found;
        if (fromStart) {
            found = SeekToFileStart(target, landed);
        } else {
            const RefTime at = target - kBackoff[attempt] + m_rtFileStart;
            const int64_t ts = av_rescale_q(at, detail::kRefTimeBase, st->time_base);
            const int err = av_seek_frame(m_pFormat, ref.index, ts, AVSEEK_FLAG_BACKWARD);
            if (m_bAbort.load()) return false;
            if (err < 0) continue;
            found = ScanAfterSeek(err, target, false, landed);
        }
        if (found) {
            m_rtSegmentStart = *landed;
            // A stream with nothing read ahead flags its next packet.
            bool videoSeen = false, audioSeen = false;
            for (const Pending& item : m_pending) (item.packet.kind == MediaKind::Video ? videoSeen : audioSeen) = true;
            m_videoState.discontinuity = !videoSeen;
            m_audioState.discontinuity = !audioSeen;
            return true;
        }
        if (m_bAbort.load()) return false;
        if (fromStart) break;
    }
    m_pending.clear();
    m_bEnded = true;
    return false;
}

}  // namespace lav
