// The frame delivery path: samples from the engine's capture renderers are
// converted and sent to the controller as VideoFrame / AudioFrame messages.
//
// Threads: pictures arrive on the video renderer's streaming thread, sound
// on the audio renderer's, in parallel and without any dialog lock. The
// picture side alone touches the converter, m_zoomSource and the picture
// stamps; the sound side alone the resampler driver, the audio buffer,
// m_nAudioBlocks and the sound stamps. Both read m_targetFormat and m_pFrameSink (written only
// while no streaming runs) and the atomics m_llPosition and m_nFrameCount.
#include <atomic>
#include <climits>
#include <cstring>
#include <new>

#include "app/MarlinDlg.h"
#include "convert/ColorSpaceZoom.h"
#include "log/LogWrapper.h"
#include "pipe/MessageFormat.h"
#include "platform/os/Time.h"

namespace {

// The receive line of pictures is written at most once per this interval.
constexpr uint32_t kVideoLogIntervalMs = 30000;
// Per-frame lines: one per this many frame messages of either kind.
constexpr int32_t kFrameLogEvery = 300;
// Sound buffer growth: replaced when capacity - keep < data length, with
// room for data length + grow bytes.
constexpr int64_t kAudioKeep = 140, kAudioGrow = 5160;

// Process-wide: the tick of the last picture receive line (0 at start) and
// the tick source (replaced only by tests).
std::atomic<uint32_t> g_lastVideoLogTime{0};
std::atomic<uint32_t (*)()> g_tick{&timeGetTime};

// Makes sure `buffer` can hold a message of `length` data bytes; false when
// it cannot (size out of range or out of memory): the frame is dropped.
bool EnsureBuffer(std::unique_ptr<uint8_t[]>& buffer, int32_t& capacity, long length, int64_t keep, int64_t grow)
{
    if (length < 0 || static_cast<int64_t>(length) > INT32_MAX - grow) return false;
    if (buffer && static_cast<int64_t>(capacity) - keep >= length) return true;
    buffer.reset();
    capacity = 0;
    const int64_t size = length + grow;
    buffer.reset(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
    if (!buffer) return false;
    capacity = static_cast<int32_t>(size);
    return true;
}

// The fixed part of a frame message: header with the frame's number,
// format and data length.
FrameMessageHeader FrameHead(MessageType type, bool withTrailer, const MediaFormat& format, long length,
                             const FrameStamp& stamp)
{
    FrameMessageHeader head{};
    head.header = MessageHeader{static_cast<uint32_t>(type), stamp.number, withTrailer ? 1u : 0u};
    head.format = format;
    head.dataLength = static_cast<int32_t>(length);
    return head;
}

// What follows a frame's data: the trailer when asked for, and the padding
// holding the frame's time and flags. Returns the bytes written to `out`,
// which holds at least kMaxFrameTail.
constexpr size_t kMaxFrameTail = sizeof(PositionTrailer) + kFramePadding;
size_t FrameTail(uint8_t* out, bool withTrailer, int64_t positionMs, const FrameStamp& stamp)
{
    size_t end = 0;
    if (withTrailer) {
        const PositionTrailer trailer{static_cast<uint32_t>(MessageType::PositionTrailer), 0, 0, 0, positionMs};
        std::memcpy(out, &trailer, sizeof trailer);
        end += sizeof trailer;
    }
    std::memset(out + end, 0, kFramePadding);
    std::memcpy(out + end + kFrameStampTimeOffset, &stamp.time, sizeof stamp.time);
    std::memcpy(out + end + kFrameStampFlagsOffset, &stamp.flags, sizeof stamp.flags);
    return end + kFramePadding;
}

// Lays out one frame message in `buffer`: header, format, data, the trailer
// when asked for, and the padding holding the frame's time and flags.
// Returns the message length to send.
long BuildFrame(uint8_t* buffer, MessageType type, bool withTrailer, const MediaFormat& format,
                const uint8_t* data, long length, int64_t positionMs, const FrameStamp& stamp)
{
    const FrameMessageHeader head = FrameHead(type, withTrailer, format, length, stamp);
    std::memcpy(buffer, &head, sizeof head);
    if (length > 0) std::memcpy(buffer + sizeof head, data, static_cast<size_t>(length));
    const size_t end = sizeof head + static_cast<size_t>(length);
    return static_cast<long>(end + FrameTail(buffer + end, withTrailer, positionMs, stamp));
}

}  // namespace

void CMarlinDlg::SetTickSourceForTesting(uint32_t (*tick)()) { g_tick.store(tick ? tick : &timeGetTime); }

void CMarlinDlg::SetVideoLogTimeForTesting(uint32_t time) { g_lastVideoLogTime.store(time); }

int CMarlinDlg::ModeFlagFor(int32_t sourceColorSpace)
{
    switch (sourceColorSpace) {
    case 6: case 11: case 12: case 16: case 21: case 22:
        return 0;
    default:
        return 1;
    }
}

int CMarlinDlg::IsYV12For(int32_t sourceColorSpace) { return sourceColorSpace == ColorSpace::YV12 ? 1 : 0; }

void CMarlinDlg::OnDateReceive(bool isVideo, const MediaFormat* format, const uint8_t* data, int32_t length)
{
    OnSampleReceive(isVideo, format, data, length, SampleStamp{});
}

void CMarlinDlg::OnSampleReceive(bool isVideo, const MediaFormat* format, const uint8_t* data, int32_t length,
                                 const SampleStamp& stamp)
{
    if (!format) return;
    if (isVideo)
        ReceivePicture(*format, data, length, stamp);
    else
        ReceiveSound(*format, data, length, stamp);
}

void CMarlinDlg::OnSamplePreroll(bool isVideo, const MediaFormat* format, const uint8_t* data, int32_t length)
{
    // Building a converter or a resampler (scaler tables, filter bank) is
    // done here, while the graph waits for its samples, and not when the
    // clock starts, where it would make the first picture late. The picture
    // is converted once too, so that the output's pages (megabytes for a
    // large picture) are in place before it is due.
    if (!format) return;
    if (!isVideo) {
        m_resample.Prepare(*format, m_targetFormat, this);
        return;
    }
    IColorSpaceZoom* zoom = ConverterFor(*format);
    uint8_t* picture = nullptr;
    long pictureLength = 0;
    if (zoom && data && length >= 0) zoom->Convert(data, length, &picture, &pictureLength);
}

void CMarlinDlg::ReceiveSound(const MediaFormat& source, const uint8_t* data, int32_t length, const SampleStamp& stamp)
{
    // Every block the renderer hands over takes a number, also one that is
    // dropped here, so that the controller sees the loss.
    const uint32_t number = m_nAudioNumber++;
    if (stamp.discontinuity) m_bAudioDiscontinuity = true;
    const ResampleOutput out = m_resample.OnBlock(source, m_targetFormat, data, length, this,
                                                  BlockTime{stamp.hasTime, stamp.start, stamp.discontinuity});
    IMarlinMgrSink* sink = m_pFrameSink.load();
    if (!out.deliver || !sink) return;
    const FrameStamp frame{number, out.time, m_bAudioDiscontinuity ? uint16_t{kFrameDiscontinuity} : uint16_t{0}};
    sink->OnAudioFrame(&m_targetFormat, out.data, out.length, frame);
    m_bAudioDiscontinuity = false;
}

IColorSpaceZoom* CMarlinDlg::ConverterFor(const MediaFormat& source)
{
    // A picture source that changes within a playback (a stream switching
    // size, or its colour) gets a converter of its own to the same target;
    // the old one would read the new pictures with the old geometry.
    const PictureColour colour = m_pictureColour.load();
    if (m_pColorSpaceZoom && (source.width != m_zoomSource.width || source.height != m_zoomSource.height ||
                              source.colorSpace != m_zoomSource.colorSpace || !(colour == m_zoomColour))) {
        DestoryColorSpaceZoom(m_pColorSpaceZoom);
        m_pColorSpaceZoom = nullptr;
    }
    if (!m_pColorSpaceZoom && m_bVideoEnabled.load()) {
        IColorSpaceZoom* zoom = CreateColorSpaceZoom();
        int rc = zoom ? zoom->Init(static_cast<uint16_t>(source.width & 0xFFFF),
                                   static_cast<uint16_t>(source.height & 0xFFFF), source.colorSpace,
                                   m_targetFormat.width, m_targetFormat.height, m_targetFormat.colorSpace,
                                   ModeFlagFor(source.colorSpace), IsYV12For(source.colorSpace))
                      : -1;
        // A source that is not limited-range BT.601 says so after Init.
        if (rc == 0 && !(colour == PictureColour{})) rc = zoom->SetSourceColour(colour.range, colour.matrix);
        if (rc != 0) {
            // No picture of this playback is converted any more.
            DestoryColorSpaceZoom(zoom);
            m_bVideoEnabled.store(0);
        } else {
            m_pColorSpaceZoom = zoom;
            m_zoomSource = source;
            m_zoomColour = colour;
        }
    }
    return m_pColorSpaceZoom;
}

FrameStamp CMarlinDlg::StampPicture(const SampleStamp& stamp, bool* logged)
{
    // Numbered on arrival: a picture dropped after this leaves a gap.
    const uint32_t number = m_nVideoNumber++;
    if (stamp.discontinuity) m_bVideoDiscontinuity = true;
    if (stamp.hasTime) m_llLastVideoTime = stamp.start;
    uint16_t flags = stamp.syncPoint ? uint16_t{kFrameKeyPicture} : uint16_t{0};
    if (m_bVideoDiscontinuity) flags |= kFrameDiscontinuity;

    *logged = false;
    const uint32_t now = g_tick.load()();
    if (now - g_lastVideoLogTime.load() > kVideoLogIntervalMs) {
        *logged = true;
        CLogLine().rec().Advance("CMarlinDlg::OnDateReceive receive video data");
        g_lastVideoLogTime.store(now);
    }
    return FrameStamp{number, m_llLastVideoTime, flags};
}

void CMarlinDlg::SendPicture(const IColorSpaceZoom::Parts& picture, const FrameStamp& frame, bool logged)
{
    if (IMarlinMgrSink* sink = m_pFrameSink.load()) {
        sink->OnVideoFrameParts(&m_targetFormat, picture, frame);
        m_bVideoDiscontinuity = false;
    }
    if (logged) CLogLine().rec().Advance("CMarlinDlg::OnDateReceive send video data client");
}

void CMarlinDlg::ReceivePicture(const MediaFormat& source, const uint8_t* data, int32_t length,
                                const SampleStamp& stamp)
{
    bool logged = false;
    const FrameStamp frame = StampPicture(stamp, &logged);
    IColorSpaceZoom* zoom = ConverterFor(source);
    if (!zoom || !data || length < 0) return;
    IColorSpaceZoom::Parts picture;
    picture.count = 1;
    uint8_t* whole = nullptr;
    if (zoom->Convert(data, length, &whole, &picture.size[0]) != 0) return;  // dropped silently
    picture.data[0] = whole;
    SendPicture(picture, frame, logged);
}

bool CMarlinDlg::OnPictureReceive(const MediaFormat* format, const PicturePlanes& planes, const SampleStamp& stamp)
{
    if (!format) return false;
    IColorSpaceZoom* zoom = ConverterFor(*format);
    if (!zoom) return false;  // dropped on the packed path, as every picture of a playback without video
    // Asked before the picture is numbered: a converter that does not take
    // planes leaves it to OnSampleReceive untouched. What the conversion
    // leaves unchanged goes to the socket from the decoder's own frame,
    // which stays ours until this call returns.
    IColorSpaceZoom::Parts picture;
    const int rc = zoom->ConvertPlanesToParts(planes.data, planes.stride, &picture);
    if (rc == IColorSpaceZoom::kPlanesNotTaken) return false;
    bool logged = false;
    const FrameStamp frame = StampPicture(stamp, &logged);
    if (rc == 0) SendPicture(picture, frame, logged);  // otherwise dropped silently
    return true;
}

void CMarlinDlg::OnVideoFrame(const MediaFormat* format, const uint8_t* data, long length)
{
    OnVideoFrame(format, data, length, FrameStamp{});
}

void CMarlinDlg::OnAudioFrame(const MediaFormat* format, const uint8_t* data, long length)
{
    OnAudioFrame(format, data, length, FrameStamp{});
}

void CMarlinDlg::OnVideoFrame(const MediaFormat* format, const uint8_t* data, long length, const FrameStamp& stamp)
{
    if (!data && length > 0) return;
    IColorSpaceZoom::Parts picture;
    picture.data[0] = data;
    picture.size[0] = length;
    picture.count = 1;
    OnVideoFrameParts(format, picture, stamp);
}

void CMarlinDlg::OnVideoFrameParts(const MediaFormat* format, const IColorSpaceZoom::Parts& picture,
                                   const FrameStamp& stamp)
{
    if (!format || picture.count < 0 || picture.count > IColorSpaceZoom::Parts::kMax) return;
    // The picture goes out from where it lies (the converter's output, the
    // decoder's frame): the header, the picture's parts and the tail are
    // gathered into one packet, so a picture is not copied once more on its
    // way to the socket. Every picture carries the cached position.
    PipeBuffer parts[IColorSpaceZoom::Parts::kMax + 2];
    size_t count = 1;
    long length = 0;
    for (int i = 0; i < picture.count; ++i) {
        const long size = picture.size[i];
        if (size < 0 || (!picture.data[i] && size > 0) || size > INT32_MAX - length) return;  // cannot be framed
        parts[count++] = {picture.data[i], static_cast<size_t>(size)};
        length += size;
    }
    const FrameMessageHeader head = FrameHead(MessageType::VideoFrame, true, *format, length, stamp);
    parts[0] = {&head, sizeof head};
    uint8_t tail[kMaxFrameTail];
    parts[count++] = {tail, FrameTail(tail, true, m_llPosition.load(), stamp)};
    if (m_nFrameCount.fetch_add(1) % kFrameLogEvery == 0) CLogLine().rec().Advance("CMarlinDlg::OnVideoFrame");
    SendPartsToClient(parts, count);
}

void CMarlinDlg::OnAudioFrame(const MediaFormat* format, const uint8_t* data, long length, const FrameStamp& stamp)
{
    if (!format || (!data && length > 0)) return;
    if (!EnsureBuffer(m_pAudioMsg, m_nAudioMsgSize, length, kAudioKeep, kAudioGrow)) return;
    // Blocks 0, 2, 4, ... of a playback carry the cached position.
    const int32_t block = m_nAudioBlocks;
    m_nAudioBlocks = static_cast<int32_t>(static_cast<uint32_t>(block) + 1u);
    const bool withTrailer = block % 2 == 0;
    const long size = BuildFrame(m_pAudioMsg.get(), MessageType::AudioFrame, withTrailer, *format, data, length,
                                 m_llPosition.load(), stamp);
    if (m_nFrameCount.fetch_add(1) % kFrameLogEvery == 0) CLogLine().rec().Advance("CMarlinDlg::OnAudioFrame");
    SendToClient(m_pAudioMsg.get(), size);
}

void CMarlinDlg::OnPictureColour(const PictureColour& colour) { m_pictureColour.store(colour); }

void CMarlinDlg::OnPlayComplete()
{
    if (m_bDrainingEvents) {
        ++m_nCompletions;  // sent by OnGraphNotify once the command lock is free
        return;
    }
    const MessageHeader message{static_cast<uint32_t>(MessageType::PlayComplete), 0, 0};
    SendToClient(&message, sizeof message);
}
