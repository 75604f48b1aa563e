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

#include "platform/com/Com.h"
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

private:
    // Adds one capture renderer (role 0 audio, 1 video) under `name`; a
    // renderer whose construction failed is dropped, not added.
    void AddCaptureRenderer(ComPtr<CNullRenderer>* slot, int role, const char* createText,
                            const char16_t* name, const char* addText);
    // True when the rendering connected the splitter's input pin.
    bool SplitterInputConnected();
    void RegisterExtEntry();
    HRESULT RegisterEntry();

    // Every member is touched only by the thread that calls the engine (the
    // dialog's command thread under its command lock, or a file test's own
    // thread). Each ComPtr holds the engine's one reference.
    ComPtr<IGraphBuilder> m_pGraph;          // null until Create succeeds
    ComPtr<IMediaControl> m_pMediaControl;   // the rest: from the graph after rendering
    ComPtr<IMediaEventEx> m_pMediaEvent;
    ComPtr<IBasicVideo> m_pBasicVideo;
    ComPtr<IBasicAudio> m_pBasicAudio;
    ComPtr<IVideoWindow> m_pVideoWindow;
    ComPtr<IMediaSeeking> m_pMediaSeeking;
    DWORD m_dwRotRegisterExt;                // cookie of the first table entry, 0: none
    GUID m_clsidSplitter;
    GUID m_clsidVideoDecoder;
    GUID m_clsidAudioDecoder;
    HMODULE m_hSplitterModule;               // owned; null when it did not load
    HMODULE m_hVideoModule;
    HMODULE m_hAudioModule;
    ComPtr<IBaseFilter> m_pSplitter;         // null when not created or taken out
    ComPtr<IBaseFilter> m_pAudioDecoder;
    ComPtr<IBaseFilter> m_pVideoDecoder;
    ComPtr<CNullRenderer> m_pAudioRenderer;  // null in test mode
    ComPtr<CNullRenderer> m_pVideoRenderer;
    bool m_bTestOnly;
    IRendererDataSink* m_pSink;              // not owned; may be null
    char16_t m_szFile[260];                  // empty until RenderFile succeeds
    DWORD m_dwRotRegister;                   // cookie of the second table entry, 0: none
};
