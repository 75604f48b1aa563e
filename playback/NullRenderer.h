#pragma once
// CNullRenderer: the capture renderer. Accepts decoded pictures (video role)
// or PCM sound (audio role), records the agreed format in a MediaFormat and
// hands every sample, when it is due, to an IRendererDataSink.
//
// Everything about timing, pausing, flushing and end of stream is
// CBaseRenderer's; this class adds the type check, the recording of the
// type and the hand-over. The base holds its interface and renderer locks
// around all three, so they never run concurrently with each other.
#include "platform/dshow/Renderer.h"
#include "playback/IRendererDataSink.h"
#include "playback/MediaFormat.h"

class CNullRenderer : public CBaseRenderer
{
public:
    // role: 0 audio, 1 video. *phr (set to S_OK by the caller) receives a
    // failure of the base construction. The object starts with no
    // references; the creator takes the first.
    CNullRenderer(IRendererDataSink* sink, int role, HRESULT* phr);
    ~CNullRenderer() override;

    // Video: MEDIATYPE_Video with one of the eleven picture subtypes, and a
    // VIDEOINFOHEADER/VIDEOINFOHEADER2 block at least as long as its header
    // when the type names one. Audio: MEDIATYPE_Audio, FORMAT_WaveFormatEx,
    // a block holding the PCM fields, wFormatTag 1. S_OK or E_INVALIDARG.
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    // Records the type in m_format; E_INVALIDARG or E_ACCESSDENIED refuse it.
    // A picture type also hands its colour (from a VIDEOINFOHEADER2's
    // colour information, else limited-range BT.601) to the sink.
    HRESULT SetMediaType(const CMediaType* pmt) override;
    // S_FALSE (nothing handed over) without a sample, a format or a sink.
    HRESULT DoRenderSample(IMediaSample* pMediaSample) override;
    // The sample held while paused goes to the sink's OnSamplePreroll.
    void OnReceiveFirstSample(IMediaSample* pMediaSample) override;

    const MediaFormat* FormatForTesting() const { return &m_format; }

private:
    BOOL m_bVideo;             // role, fixed at construction
    bool m_bFormatKnown;       // set by the first successful SetMediaType
    IRendererDataSink* m_pSink;  // not owned; outlives the renderer
    MediaFormat m_format;      // under the base's locks
};
