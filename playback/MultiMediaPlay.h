#pragma once
// The playback engine: one filter graph for one media file. The dialog
// creates one for each file test and each playback, and destroys it when the
// test is over, when playback stops, or when a step of starting fails.
//
//   constructed --Create--> created --RenderFile--> rendered --> (Play/Pause/
//   SeekTo/...) ; destruction is valid after any prefix.
//
// The engine has no lock of its own: the dialog serialises every call under
// its command lock (a file test uses its own engine on its own thread).
// HandleGraphEvents must never overlap destruction.
#include <cstdint>

#include "platform/dshow/Interfaces.h"
#include "platform/os/Module.h"
#include "playback/IRendererDataSink.h"
#include "playback/MediaInfo.h"

class CNullRenderer;

class CMultiMediaPlay
{
public:
    // testOnly: build the graph without capture renderers (file test).
    // sink: receives samples and completion; not owned, must outlive the engine.
    CMultiMediaPlay(bool testOnly, IRendererDataSink* sink);
    ~CMultiMediaPlay();
    CMultiMediaPlay(const CMultiMediaPlay&) = delete;
    CMultiMediaPlay& operator=(const CMultiMediaPlay&) = delete;

    bool Create();
    bool RenderFile(const char16_t* path);
    HRESULT CreateInstanceFromFile(IBaseFilter** out, const GUID& clsid, HMODULE module);

    bool Play();
    bool Pause();
    void Stop();
    MediaInfo& GetMediaInfo(MediaInfo& info);
    void SetNotifyWindow(OAHWND window, uint32_t message);
    void HandleGraphEvents();
    void SeekTo(int64_t milliseconds);
    bool GetCurrentPosition(int64_t* milliseconds);

    // Members follow with the implementation, in the documented order.
};
