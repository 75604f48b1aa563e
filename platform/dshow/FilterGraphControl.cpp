// State and clock of the graph (IMediaControl).
//
// Pause/Run call the filters downstream first (renderers before their
// sources), so that nothing is delivered to a filter that is not ready; a
// filter that fails stops the graph. GetState reports the target state with
// VFW_S_STATE_INTERMEDIATE while a renderer has not completed its pause,
// waiting without the graph lock.
//
// Clock: a filter's clock if one offers it (renderers first), else the
// system clock; chosen when the graph leaves the stopped state and kept
// until the filter that gives it leaves the graph or SetDefaultSyncSource.
//
// Preroll: Run (from stopped it pauses first), and a seek of a running
// graph, wait until every renderer holds its first sample, at most
// kPrerollTimeoutMs, and only then start the clock, kRunLead ahead as
// DirectShow's graph does: the first sample is due as soon as every
// renderer can render it, and the ones after it keep its schedule.
// A renderer still waiting at the bound is left to catch up.
//
// Stream time: zero at m_tStart on the clock while running, frozen while
// paused; Run after Pause continues it.
//
// Restart after Stop is the graph's alone: Stop keeps the position reached,
// and the next Pause or Run seeks the sources back to it before any filter
// leaves the stopped state (m_bSeekOnStart). A source started without a
// seek plays its current segment from the start.
#include <algorithm>

#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/FilterGraphPins.h"
#include "platform/dshow/SystemClock.h"

namespace {

// How long a start, or a seek of a running graph, waits for every renderer
// to hold its first sample before stream time begins. A stream that never
// delivers holds the others no longer than this; it is then rendered late.
constexpr LONG kPrerollTimeoutMs = 1000;
// How far ahead of the Run call stream time begins: the renderers' threads
// wake from preroll and the sources resume all at that moment, on few cores.
constexpr REFERENCE_TIME kRunLead = 5 * 10000;

}  // namespace

using graph_pins::FilterOf;
using graph_pins::PeerOf;
using graph_pins::PinsOf;
using graph_pins::WaitUntilSettled;

HRESULT CFilterGraph::SetDefaultSyncSource()
{
    MutexLock lock(m_lock);
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    m_pClock = nullptr;
    ChooseClock_Locked();
    return S_OK;
}
std::vector<ComPtr<IBaseFilter>> CFilterGraph::DownstreamFirst_Locked()
{
    std::vector<ComPtr<IBaseFilter>> pending, order;
    for (const FilterEntry& e : m_filters) pending.push_back(e.filter);
    auto placed = [&](IBaseFilter* f) {
        return std::any_of(order.begin(), order.end(), [&](const ComPtr<IBaseFilter>& o) { return o.Get() == f; });
    };
    while (!pending.empty()) {
        bool progress = false;
        for (auto it = pending.begin(); it != pending.end();) {
            bool ready = true;
            for (const ComPtr<IPin>& out : PinsOf(it->Get(), PINDIR_OUTPUT)) {
                ComPtr<IPin> peer = PeerOf(out.Get());
                if (!peer) continue;
                ComPtr<IBaseFilter> next = FilterOf(peer.Get());
                if (next && InGraph_Locked(next.Get()) && !placed(next.Get())) ready = false;
            }
            if (ready) {
                order.push_back(*it);
                it = pending.erase(it);
                progress = true;
            } else {
                ++it;
            }
        }
        if (!progress) {  // a cycle; should not happen
            order.insert(order.end(), pending.begin(), pending.end());
            break;
        }
    }
    return order;
}

void CFilterGraph::ChooseClock_Locked()
{
    if (!m_pClock) {
        // A filter's clock if one offers it (renderers first), else the system clock.
        for (const ComPtr<IBaseFilter>& f : DownstreamFirst_Locked()) {
            ComPtr<IReferenceClock> clock;
            if (SUCCEEDED(f->QueryInterface(IID_IReferenceClock, clock.ReleaseAndGetVoidAddress())) && clock) {
                m_pClock = clock;
                break;
            }
        }
        if (!m_pClock) m_pClock = static_cast<IReferenceClock*>(new CSystemClock);
    }
    for (const FilterEntry& e : m_filters) e.filter->SetSyncSource(m_pClock.Get());
}

REFERENCE_TIME CFilterGraph::ClockTime_Locked()
{
    REFERENCE_TIME now = 0;
    if (!m_pClock || FAILED(m_pClock->GetTime(&now))) now = CSystemClock::Now();
    return now;
}

REFERENCE_TIME CFilterGraph::StreamTime_Locked()
{
    if (m_state == State_Running) return std::max<REFERENCE_TIME>(0, ClockTime_Locked() - m_tStart);
    if (m_state == State_Paused) return m_tPausedStream;
    return 0;
}
HRESULT CFilterGraph::Pause_Locked()
{
    if (m_state == State_Stopped) {
        ChooseClock_Locked();
        ResetCompletion_Locked();
        m_tPausedStream = 0;
        if (m_bSeekOnStart) {
            LONGLONG reached = m_llBasePos;
            if (SUCCEEDED(Seek_Locked(m_llBasePos, AM_SEEKING_AbsolutePositioning, nullptr,
                                      AM_SEEKING_NoPositioning, &reached)))
                m_llBasePos = reached;
            m_bSeekOnStart = false;
        }
    } else if (m_state == State_Running) {
        m_tPausedStream = StreamTime_Locked();
    }
    bool later = false;
    for (const ComPtr<IBaseFilter>& f : DownstreamFirst_Locked()) {
        HRESULT hr = f->Pause();
        if (FAILED(hr)) {
            Stop_Locked();
            return hr;
        }
        later = later || hr == S_FALSE;
    }
    m_state = State_Paused;
    return later ? S_FALSE : S_OK;
}

REFERENCE_TIME CFilterGraph::RunStart_Locked(REFERENCE_TIME streamTime)
{
    return ClockTime_Locked() + kRunLead - streamTime;
}

HRESULT CFilterGraph::Run_Locked()
{
    if (m_state == State_Running) return S_OK;
    HRESULT hr = S_OK;
    if (m_state == State_Stopped) {
        hr = Pause_Locked();
        if (FAILED(hr)) return hr;
    }
    // Preroll: the clock starts once every renderer holds its first sample,
    // so that sample is due the moment it can be rendered, not already late.
    WaitForPreroll_Locked();
    // Stream time goes on from where the pause froze it.
    m_tStart = RunStart_Locked(m_tPausedStream);
    for (const ComPtr<IBaseFilter>& f : DownstreamFirst_Locked()) {
        HRESULT hrFilter = f->Run(m_tStart);
        if (FAILED(hrFilter)) {
            Stop_Locked();
            return hrFilter;
        }
    }
    m_state = State_Running;
    return S_OK;
}

HRESULT CFilterGraph::Stop_Locked()
{
    if (m_state == State_Stopped) return S_OK;
    m_llBasePos = CurrentPosition_Locked();
    m_bSeekOnStart = true;
    HRESULT result = S_OK;
    for (const ComPtr<IBaseFilter>& f : DownstreamFirst_Locked()) {
        HRESULT hr = f->Stop();
        if (FAILED(hr) && SUCCEEDED(result)) result = hr;
    }
    m_state = State_Stopped;
    m_tPausedStream = 0;
    ResetCompletion_Locked();
    return result;
}

HRESULT CFilterGraph::Run()
{
    MutexLock lock(m_lock);
    return Run_Locked();
}

HRESULT CFilterGraph::Pause()
{
    MutexLock lock(m_lock);
    if (m_state == State_Paused) return S_OK;
    return Pause_Locked();
}

HRESULT CFilterGraph::Stop()
{
    MutexLock lock(m_lock);
    return Stop_Locked();
}

HRESULT CFilterGraph::GetState(LONG msTimeout, OAFilterState* pfs)
{
    if (!pfs) return E_POINTER;
    std::vector<ComPtr<IBaseFilter>> filters;
    FILTER_STATE state;
    {
        MutexLock lock(m_lock);
        state = m_state;
        filters = DownstreamFirst_Locked();
    }
    *pfs = state;
    if (state == State_Stopped) return S_OK;
    // The wait is shared by all filters and made without the graph lock.
    return WaitUntilSettled(filters, msTimeout) ? S_OK : VFW_S_STATE_INTERMEDIATE;
}

// The graph lock stays held: streaming threads never take it, so they can
// bring the samples that end the wait.
void CFilterGraph::WaitForPreroll_Locked()
{
    WaitUntilSettled(DownstreamFirst_Locked(), kPrerollTimeoutMs);
}

HRESULT CFilterGraph::StopWhenReady()
{
    HRESULT hr = Pause();
    if (FAILED(hr)) return hr;
    OAFilterState state;
    GetState(-1, &state);
    return Stop();
}
