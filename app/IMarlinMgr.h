#pragma once
// The command operations of the host and the receiver of converted frames.
// Plain interfaces without reference counting; the control dialog
// implements both.
#include <cstdint>

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

class IMarlinMgrSink
{
public:
    // One converted picture / block of sound in `format`. Streaming threads.
    virtual void OnVideoFrame(const MediaFormat* format, const uint8_t* data, long length) = 0;
    virtual void OnAudioFrame(const MediaFormat* format, const uint8_t* data, long length) = 0;

protected:
    ~IMarlinMgrSink() = default;
};
