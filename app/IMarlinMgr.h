#pragma once
// The command operations of the host and the receiver of converted frames.
// Plain interfaces without reference counting; the control dialog
// implements both.
#include <cstdint>
#include <cstring>
#include <vector>

#include "convert/ColorSpaceZoom.h"
#include "playback/MediaFormat.h"
#include "playback/MediaInfo.h"

class IMarlinMgrSink;

class IMarlinMgr
{
public:
    // Sets the reply target value; while it is 0 nothing is sent. Always true.
    virtual bool SetReplyWnd(uint32_t value) = 0;
    // Opens the file in a throw-away engine; durationMs -1 when it fails.
    virtual MediaInfo TestFile(const char16_t* path) = 0;
    // Starts playing `path`, delivering frames converted to `format` to `sink`.
    virtual bool StartPlayFile(const char16_t* path, const MediaFormat* format, IMarlinMgrSink* sink) = 0;
    // Properties of the file now playing; durationMs -1 when idle.
    virtual MediaInfo GetFileInfo() = 0;
    virtual bool StopPlayFile() = 0;
    virtual bool Pause() = 0;
    virtual bool Contine() = 0;
    // False when nothing is playing.
    virtual bool Seek(int64_t positionMs) = 0;
    // False when nothing is playing; `positionMs` is then left unchanged.
    virtual bool GetPosition(int64_t* positionMs) = 0;

protected:
    ~IMarlinMgr() = default;
};

// What a frame message says of its frame besides the data: its number
// within its kind, its presentation time (100 ns from the file's start) and
// its FrameStampFlags (pipe/MessageFormat.h).
struct FrameStamp
{
    uint32_t number = 0;
    int64_t time = 0;
    uint16_t flags = 0;
};

class IMarlinMgrSink
{
public:
    // One converted picture / block of sound in `format`. Streaming threads.
    virtual void OnVideoFrame(const MediaFormat* format, const uint8_t* data, long length) = 0;
    virtual void OnAudioFrame(const MediaFormat* format, const uint8_t* data, long length) = 0;
    // The same with the frame's stamp; the frame path calls these. A sink
    // that has no use for the stamp gets the three-argument calls.
    virtual void OnVideoFrame(const MediaFormat* format, const uint8_t* data, long length, const FrameStamp& stamp)
    {
        (void)stamp;
        OnVideoFrame(format, data, length);
    }
    virtual void OnAudioFrame(const MediaFormat* format, const uint8_t* data, long length, const FrameStamp& stamp)
    {
        (void)stamp;
        OnAudioFrame(format, data, length);
    }
    // A picture whose data is the ranges of `parts` in order; they are valid
    // during the call only. A sink that wants it whole gets it joined.
    virtual void OnVideoFrameParts(const MediaFormat* format, const IColorSpaceZoom::Parts& parts,
                                   const FrameStamp& stamp)
    {
        if (parts.count == 1) return OnVideoFrame(format, parts.data[0], parts.size[0], stamp);
        std::vector<uint8_t> whole;
        for (int i = 0; i < parts.count; ++i) whole.insert(whole.end(), parts.data[i], parts.data[i] + parts.size[i]);
        OnVideoFrame(format, whole.data(), static_cast<long>(whole.size()), stamp);
    }

protected:
    ~IMarlinMgrSink() = default;
};
