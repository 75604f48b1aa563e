// Seeking and position (IMediaSeeking), aggregated over the renderers.
//
// The renderers with a connected input are looked up while the graph is
// stopped and kept while it is active (ConnectedRenderers_Locked).
//
// Seeking goes through the first renderer that accepts it; the renderers
// pass it upstream to the filter that seeks (a splitter seeks all its
// streams on one request). So every request reaches the source once, and
// the source seeks on every one it gets. The graph adds
// AM_SEEKING_ReturnTime, so a source that honours it tells where it really
// got to (the key frame), and that becomes the current position. A running
// graph pauses for the seek and runs again from stream time zero after the
// preroll; a paused one stays paused.
//
// The current position is the position seeked to last plus the stream time
// since, kept within the duration (the longest renderer's).
#include <algorithm>

#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/FilterGraphPins.h"

using graph_pins::HasConnectedInput;
using graph_pins::IsRenderer;

std::vector<ComPtr<IBaseFilter>> CFilterGraph::ConnectedRenderers_Locked()
{
    // Pins connect and disconnect only while the graph is stopped, so the
    // list is looked up then and kept while the graph is active. Looking
    // at a renderer's pins takes its filter lock, which its streaming
    // thread holds for the whole of a delivery: a position query while
    // playing must not wait for that.
    if (m_state == State_Stopped) {
        m_renderers.clear();
        for (const FilterEntry& e : m_filters)
            if (IsRenderer(e.filter.Get()) && HasConnectedInput(e.filter.Get())) m_renderers.push_back(e.filter);
    }
    return m_renderers;
}
HRESULT CFilterGraph::Duration_Locked(LONGLONG* duration)
{
    HRESULT result = E_NOTIMPL;
    *duration = 0;
    for (const ComPtr<IBaseFilter>& r : ConnectedRenderers_Locked()) {
        ComPtr<IMediaSeeking> seeking = r.As<IMediaSeeking>();
        LONGLONG d = 0;
        if (seeking && SUCCEEDED(seeking->GetDuration(&d))) {
            *duration = std::max(*duration, d);
            result = S_OK;
        }
    }
    return result;
}

LONGLONG CFilterGraph::CurrentPosition_Locked()
{
    LONGLONG pos = m_llBasePos + StreamTime_Locked();
    // A length of 0: the source does not know it (a stream recorded as it
    // came); nothing to hold the position at.
    LONGLONG duration = 0;
    if (SUCCEEDED(Duration_Locked(&duration)) && duration > 0) pos = std::min(pos, duration);
    return std::max<LONGLONG>(0, pos);
}

// Passes one seek to the first renderer that takes it; *reached gets the
// position the source reports. Filters keep their states.
HRESULT CFilterGraph::Seek_Locked(LONGLONG position, DWORD flags, LONGLONG* pStop, DWORD stopFlags, LONGLONG* reached)
{
    HRESULT hr = E_NOTIMPL;
    for (const ComPtr<IBaseFilter>& r : ConnectedRenderers_Locked()) {
        ComPtr<IMediaSeeking> seeking = r.As<IMediaSeeking>();
        if (!seeking) continue;
        LONGLONG pos = position;
        hr = seeking->SetPositions(&pos, flags | AM_SEEKING_ReturnTime, pStop, stopFlags);
        if (SUCCEEDED(hr)) {
            *reached = pos;
            return hr;
        }
    }
    return hr;
}

HRESULT CFilterGraph::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags)
{
    MutexLock lock(m_lock);
    DWORD how = dwCurrentFlags & AM_SEEKING_PositioningBitsMask;
    if (how == AM_SEEKING_NoPositioning) {
        if ((dwStopFlags & AM_SEEKING_PositioningBitsMask) == AM_SEEKING_NoPositioning) return S_OK;
        LONGLONG ignored = 0;
        for (const ComPtr<IBaseFilter>& r : ConnectedRenderers_Locked()) {
            ComPtr<IMediaSeeking> seeking = r.As<IMediaSeeking>();
            if (seeking && SUCCEEDED(seeking->SetPositions(&ignored, AM_SEEKING_NoPositioning, pStop, dwStopFlags)))
                return S_OK;
        }
        return E_NOTIMPL;
    }
    if (!pCurrent) return E_POINTER;
    LONGLONG target = how == AM_SEEKING_AbsolutePositioning ? *pCurrent : CurrentPosition_Locked() + *pCurrent;
    if (target < 0) target = 0;

    const FILTER_STATE state = m_state;
    const REFERENCE_TIME streamBefore = StreamTime_Locked();
    // A running graph pauses for the seek and runs again with stream time
    // starting at zero; the filters' flush does the rest.
    if (state == State_Running)
        for (const ComPtr<IBaseFilter>& f : DownstreamFirst_Locked()) f->Pause();
    LONGLONG reached = target;
    DWORD flags = AM_SEEKING_AbsolutePositioning | (dwCurrentFlags & AM_SEEKING_SeekToKeyFrame);
    HRESULT hr = Seek_Locked(target, flags, pStop, dwStopFlags, &reached);
    if (SUCCEEDED(hr)) {
        m_llBasePos = reached;
        m_bSeekOnStart = false;
        m_tPausedStream = 0;
        if (dwCurrentFlags & AM_SEEKING_ReturnTime) *pCurrent = reached;
        if (state != State_Stopped) ResetCompletion_Locked();
    }
    if (state == State_Running) {
        // The flush made the renderers wait for a new first sample: the new
        // stream time starts once they hold it (no burst of late samples).
        // A refused seek leaves the stream time where it was.
        if (SUCCEEDED(hr)) WaitForPreroll_Locked();
        m_tStart = RunStart_Locked(SUCCEEDED(hr) ? 0 : streamBefore);
        for (const ComPtr<IBaseFilter>& f : DownstreamFirst_Locked()) f->Run(m_tStart);
    }
    return hr;
}

HRESULT CFilterGraph::GetCapabilities(DWORD* pCapabilities)
{
    if (!pCapabilities) return E_POINTER;
    MutexLock lock(m_lock);
    *pCapabilities = 0;
    for (const ComPtr<IBaseFilter>& r : ConnectedRenderers_Locked()) {
        ComPtr<IMediaSeeking> seeking = r.As<IMediaSeeking>();
        DWORD caps = 0;
        if (seeking && SUCCEEDED(seeking->GetCapabilities(&caps))) *pCapabilities |= caps;
    }
    return *pCapabilities ? S_OK : E_NOTIMPL;
}

HRESULT CFilterGraph::GetDuration(LONGLONG* pDuration)
{
    if (!pDuration) return E_POINTER;
    MutexLock lock(m_lock);
    return Duration_Locked(pDuration);
}

HRESULT CFilterGraph::GetStopPosition(LONGLONG* pStop)
{
    if (!pStop) return E_POINTER;
    MutexLock lock(m_lock);
    for (const ComPtr<IBaseFilter>& r : ConnectedRenderers_Locked()) {
        ComPtr<IMediaSeeking> seeking = r.As<IMediaSeeking>();
        if (seeking && SUCCEEDED(seeking->GetStopPosition(pStop))) return S_OK;
    }
    return E_NOTIMPL;
}

HRESULT CFilterGraph::GetCurrentPosition(LONGLONG* pCurrent)
{
    if (!pCurrent) return E_POINTER;
    MutexLock lock(m_lock);
    *pCurrent = CurrentPosition_Locked();
    return S_OK;
}

HRESULT CFilterGraph::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop)
{
    if (pCurrent) GetCurrentPosition(pCurrent);
    if (pStop && FAILED(GetStopPosition(pStop))) *pStop = 0;
    return S_OK;
}

HRESULT CFilterGraph::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest)
{
    if (pEarliest) *pEarliest = 0;
    if (pLatest) return GetDuration(pLatest);
    return S_OK;
}

HRESULT CFilterGraph::SetRate(double dRate) { return dRate == 1.0 ? S_OK : E_NOTIMPL; }

HRESULT CFilterGraph::GetRate(double* pdRate)
{
    if (!pdRate) return E_POINTER;
    *pdRate = 1.0;
    return S_OK;
}

HRESULT CFilterGraph::GetPreroll(LONGLONG* pllPreroll)
{
    if (!pllPreroll) return E_POINTER;
    *pllPreroll = 0;
    return S_OK;
}
