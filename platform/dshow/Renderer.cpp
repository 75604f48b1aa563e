#include "platform/dshow/Renderer.h"

#include <algorithm>

#include "platform/dshow/SystemClock.h"

// ---------------------------------------------------------------- CRendererInputPin

CRendererInputPin::CRendererInputPin(CBaseRenderer* pRenderer, HRESULT* phr, LPCWSTR pinName)
    : CBaseInputPin("CRendererInputPin", pRenderer, pRenderer->FilterLock(), phr, pinName), m_pRenderer(pRenderer)
{
}

HRESULT CRendererInputPin::CheckMediaType(const CMediaType* pmt) { return m_pRenderer->CheckMediaType(pmt); }

HRESULT CRendererInputPin::SetMediaType(const CMediaType* pmt)
{
    HRESULT hr = m_pRenderer->SetMediaType(pmt);
    if (FAILED(hr)) return hr;
    return CBaseInputPin::SetMediaType(pmt);
}

HRESULT CRendererInputPin::CompleteConnect(IPin* pReceivePin)
{
    HRESULT hr = m_pRenderer->CompleteConnect(pReceivePin);
    if (FAILED(hr)) return hr;
    return CBaseInputPin::CompleteConnect(pReceivePin);
}

HRESULT CRendererInputPin::BreakConnect()
{
    m_pRenderer->BreakConnect();
    return CBaseInputPin::BreakConnect();
}

HRESULT CRendererInputPin::Receive(IMediaSample* pSample) { return m_pRenderer->Receive(pSample); }
HRESULT CRendererInputPin::EndOfStream() { return m_pRenderer->EndOfStream(); }

HRESULT CRendererInputPin::BeginFlush()
{
    CBaseInputPin::BeginFlush();
    return m_pRenderer->BeginFlush();
}

HRESULT CRendererInputPin::EndFlush()
{
    m_pRenderer->EndFlush();
    return CBaseInputPin::EndFlush();
}

HRESULT CRendererInputPin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    CAutoLock lock(*m_pLock);
    return CBaseInputPin::NewSegment(tStart, tStop, dRate);
}

// ---------------------------------------------------------------- CBaseRenderer

CBaseRenderer::CBaseRenderer(REFCLSID clsid, const char* name, IUnknown* pUnk, HRESULT* phr)
    : CBaseFilter(name, &m_InterfaceLock, clsid)
{
    HRESULT hr = S_OK;
    m_pInputPin = std::make_unique<CRendererInputPin>(this, &hr, u"In");
    m_pPosition = std::make_unique<CRendererPosPassThru>("CRendererPosPassThru", static_cast<CUnknown*>(this),
                                                         static_cast<IPin*>(m_pInputPin.get()));
    m_evStateComplete.Set();
    if (pUnk) hr = CLASS_E_NOAGGREGATION;
    if (phr && FAILED(hr)) *phr = hr;
}

CBaseRenderer::~CBaseRenderer()
{
    CAutoLock il(m_InterfaceLock);
    CAutoLock rl(m_RendererLock);
    CancelNotification_Locked();  // the clock must not touch m_RenderEvent any more
    m_pMediaSample = nullptr;
}

HRESULT CBaseRenderer::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(m_pPosition.get()), ppv);
    if (riid == IID_IMediaPosition) return GetInterface(static_cast<IMediaPosition*>(m_pPosition.get()), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseRenderer::SetMediaType(const CMediaType*) { return S_OK; }

CBasePin* CBaseRenderer::GetPin(int n) { return n == 0 ? m_pInputPin.get() : nullptr; }

bool CBaseRenderer::IsEndOfStreamDelivered()
{
    CAutoLock rl(m_RendererLock);
    return m_bEOSDelivered;
}

void CBaseRenderer::CancelNotification_Locked()
{
    if (m_dwAdvise && m_pAdviseClock) m_pAdviseClock->Unadvise(m_dwAdvise);
    m_dwAdvise = 0;
    m_pAdviseClock = nullptr;
    m_tWakeAt.store(0);
}

void CBaseRenderer::DiscardPending_Locked()
{
    CancelNotification_Locked();
    m_pMediaSample = nullptr;  // back to its allocator
    m_bEOS = false;
    m_bEOSDelivered = false;
    ++m_nSerial;
    m_RenderEvent.Set();
}

bool CBaseRenderer::IsDue_Locked(bool hasTime, REFERENCE_TIME streamTime)
{
    if (!hasTime || !m_pClock) return true;
    REFERENCE_TIME now = 0;
    if (FAILED(m_pClock->GetTime(&now))) return true;
    return now >= m_tStart + streamTime;
}

// Arms the wake-up for the pending item: at once when it has no time, there
// is no clock or it is due already, else an advise on the clock. Only while
// running.
HRESULT CBaseRenderer::ScheduleSample_Locked(bool wakeWaiter)
{
    CancelNotification_Locked();
    if (m_State.load() != State_Running) return S_FALSE;
    bool hasTime = false;
    REFERENCE_TIME when = 0;
    if (m_pMediaSample) {
        hasTime = m_bSampleHasTime;
        when = m_tSampleStart;
    } else if (m_bEOS) {
        hasTime = m_bLastEndValid;
        when = m_tLastEnd;
    } else {
        return S_FALSE;
    }
    // Due already (the first sample when the graph starts): woken at once,
    // not through a round trip to the clock's timer thread.
    if (IsDue_Locked(hasTime, when)) {
        m_RenderEvent.Set();
        return S_OK;
    }
    if (dynamic_cast<CSystemClock*>(m_pClock.Get())) {
        m_tWakeAt.store(std::max<REFERENCE_TIME>(m_tStart + when, 1));
        if (wakeWaiter) m_RenderEvent.Set();
        return S_OK;
    }
    HRESULT hr = m_pClock->AdviseTime(m_tStart, when, m_RenderEvent.Handle(), &m_dwAdvise);
    if (FAILED(hr)) {
        m_dwAdvise = 0;
        m_RenderEvent.Set();  // no advise possible: look again at once
        return S_OK;
    }
    m_pAdviseClock = m_pClock;
    return S_OK;
}

// Waits, without locks, until the pending item identified by `serial` is due
// while running, or is discarded. Returns with both locks NOT held; the
// caller re-takes them. S_OK: due now; S_FALSE: discarded.
HRESULT CBaseRenderer::WaitForRenderTime(uint64_t serial, bool isEndOfStream)
{
    for (;;) {
        const REFERENCE_TIME wakeAt = m_tWakeAt.load();
        if (wakeAt > 0)
            m_RenderEvent.WaitUntil(CSystemClock::TimePointOf(wakeAt));
        else
            m_RenderEvent.Wait();
        CAutoLock il(m_InterfaceLock);
        CAutoLock rl(m_RendererLock);
        if (serial != m_nSerial) return S_FALSE;
        if (isEndOfStream ? !m_bEOS : !m_pMediaSample) return S_FALSE;
        if (m_State.load() != State_Running) continue;  // Run re-arms the wake-up
        bool hasTime = isEndOfStream ? m_bLastEndValid : m_bSampleHasTime;
        REFERENCE_TIME when = isEndOfStream ? m_tLastEnd : m_tSampleStart;
        if (IsDue_Locked(hasTime, when)) return S_OK;
        ScheduleSample_Locked();  // woken early: wait for the clock again
    }
}

HRESULT CBaseRenderer::Receive(IMediaSample* pSample)
{
    if (!pSample) return E_POINTER;
    uint64_t serial = 0;
    {
        CAutoLock il(m_InterfaceLock);
        CAutoLock rl(m_RendererLock);
        HRESULT hr = m_pInputPin->BaseReceive(pSample);  // streaming checks, changed type
        if (hr != S_OK) return hr;
        if (m_bEOS || m_bEOSDelivered) return VFW_E_SAMPLE_REJECTED_EOS;
        if (m_pMediaSample) return E_UNEXPECTED;  // one sample at a time
        REFERENCE_TIME start = 0, end = 0;
        hr = pSample->GetTime(&start, &end);
        bool hasTime = SUCCEEDED(hr);
        if (hasTime && hr == S_OK && end < start) return S_OK;  // dropped: ends before it starts
        if (hasTime) {
            m_bLastEndValid = true;
            m_tLastEnd = end;
        }
        m_pMediaSample = pSample;
        m_bSampleHasTime = hasTime;
        m_tSampleStart = start;
        serial = ++m_nSerial;
        m_RenderEvent.Reset();
        if (m_State.load() == State_Paused) {
            OnReceiveFirstSample(pSample);
            m_evStateComplete.Set();  // the pause is complete
        }
        ScheduleSample_Locked();
    }
    for (;;) {
        if (WaitForRenderTime(serial, false) != S_OK) return S_OK;  // discarded by stop or flush
        CAutoLock il(m_InterfaceLock);
        CAutoLock rl(m_RendererLock);
        if (serial != m_nSerial || !m_pMediaSample) return S_OK;
        // A Pause that came between the wait and these locks has returned to
        // its caller: the sample waits for the next Run.
        if (m_State.load() != State_Running) continue;
        ComPtr<IMediaSample> sample = std::move(m_pMediaSample);
        // The wait may have found the sample due before the clock fired (a
        // Run re-armed it, the timer is late): the advise must not outlive it.
        CancelNotification_Locked();
        DoRenderSample(sample.Get());
        m_pPosition->RegisterMediaTime(sample.Get());
        return S_OK;
    }
}

HRESULT CBaseRenderer::EndOfStream()
{
    uint64_t serial = 0;
    {
        CAutoLock il(m_InterfaceLock);
        CAutoLock rl(m_RendererLock);
        HRESULT hr = m_pInputPin->CheckStreaming();
        if (hr == VFW_E_RUNTIME_ERROR) {
            // The stream failed (a refused type): nothing more will be
            // rendered, so this renderer is finished now, whatever upstream does.
            if (!m_bEOSDelivered) {
                DiscardPending_Locked();
                m_bEOSDelivered = true;
                m_evStateComplete.Set();  // a pause waiting for a sample completes
                NotifyEvent(EC_COMPLETE, hr, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)));
            }
            return hr;
        }
        if (hr != S_OK) return hr;
        if (m_bEOS || m_bEOSDelivered) return S_OK;
        m_bEOS = true;
        serial = ++m_nSerial;
        m_RenderEvent.Reset();
        if (m_State.load() == State_Paused) m_evStateComplete.Set();  // nothing more will come
        ScheduleSample_Locked();
    }
    for (;;) {
        if (WaitForRenderTime(serial, true) != S_OK) return S_OK;
        CAutoLock il(m_InterfaceLock);
        CAutoLock rl(m_RendererLock);
        if (serial != m_nSerial || !m_bEOS) return S_OK;
        if (m_State.load() != State_Running) continue;  // paused meanwhile: completes after Run
        m_bEOS = false;
        m_bEOSDelivered = true;
        CancelNotification_Locked();
        NotifyEvent(EC_COMPLETE, S_OK, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)));
        return S_OK;
    }
}

HRESULT CBaseRenderer::BeginFlush()
{
    CAutoLock il(m_InterfaceLock);
    CAutoLock rl(m_RendererLock);
    DiscardPending_Locked();
    // A paused renderer waits for the first sample after the flush.
    if (m_State.load() == State_Paused && m_pInputPin->IsConnected()) m_evStateComplete.Reset();
    return S_OK;
}

HRESULT CBaseRenderer::EndFlush()
{
    CAutoLock il(m_InterfaceLock);
    CAutoLock rl(m_RendererLock);
    m_pPosition->ResetMediaTime();
    m_bLastEndValid = false;
    return S_OK;
}

HRESULT CBaseRenderer::Stop()
{
    CAutoLock il(m_InterfaceLock);
    HRESULT hr = CBaseFilter::Stop();  // decommits the allocator: an upstream GetBuffer returns
    CAutoLock rl(m_RendererLock);
    DiscardPending_Locked();
    m_bLastEndValid = false;
    m_pPosition->ResetMediaTime();
    m_evStateComplete.Set();
    return hr;
}

HRESULT CBaseRenderer::Pause()
{
    CAutoLock il(m_InterfaceLock);
    HRESULT hr = CBaseFilter::Pause();
    if (FAILED(hr)) return hr;
    CAutoLock rl(m_RendererLock);
    CancelNotification_Locked();
    m_RenderEvent.Set();  // a waiter looks again and keeps waiting, paused
    // Complete at once when nothing is to come or the sample is already held.
    if (!m_pInputPin->IsConnected() || m_bEOS || m_bEOSDelivered || m_pMediaSample) {
        m_evStateComplete.Set();
        return S_OK;
    }
    m_evStateComplete.Reset();
    return S_FALSE;
}

HRESULT CBaseRenderer::Run(REFERENCE_TIME tStart)
{
    CAutoLock il(m_InterfaceLock);
    if (m_State.load() == State_Running) return S_OK;
    HRESULT hr = CBaseFilter::Run(tStart);  // pauses first when stopped
    if (FAILED(hr)) return hr;
    CAutoLock rl(m_RendererLock);
    m_evStateComplete.Set();
    ScheduleSample_Locked(true);
    return S_OK;
}

HRESULT CBaseRenderer::GetState(DWORD dwMSecs, FILTER_STATE* state)
{
    if (!state) return E_POINTER;
    // No lock while waiting: the sample that completes the pause needs them.
    if (m_State.load() == State_Paused && !m_evStateComplete.Wait(dwMSecs)) {
        *state = State_Paused;
        return VFW_S_STATE_INTERMEDIATE;
    }
    *state = m_State.load();
    return S_OK;
}
