#include "platform/dshow/Transform.h"

#include <cstring>

// ---------------------------------------------------------------- input pin

CTransformInputPin::CTransformInputPin(const char* objectName, CTransformFilter* pFilter, HRESULT* phr,
                                       LPCWSTR pName)
    : CBaseInputPin(objectName, pFilter, &pFilter->m_csFilter, phr, pName), m_pTransformFilter(pFilter)
{
}

HRESULT CTransformInputPin::CheckConnect(IPin* pPin)
{
    HRESULT hr = m_pTransformFilter->CheckConnect(PINDIR_INPUT, pPin);
    if (FAILED(hr)) return hr;
    return CBaseInputPin::CheckConnect(pPin);
}

HRESULT CTransformInputPin::BreakConnect()
{
    m_pTransformFilter->BreakConnect(PINDIR_INPUT);
    return CBaseInputPin::BreakConnect();
}

HRESULT CTransformInputPin::CompleteConnect(IPin* pReceivePin)
{
    HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_INPUT, pReceivePin);
    if (FAILED(hr)) return hr;
    return CBaseInputPin::CompleteConnect(pReceivePin);
}

HRESULT CTransformInputPin::CheckMediaType(const CMediaType* pmt)
{
    HRESULT hr = m_pTransformFilter->CheckInputType(pmt);
    if (hr != S_OK) return hr;
    CTransformOutputPin* out = m_pTransformFilter->m_pOutput.get();
    if (out && out->IsConnected())
        return m_pTransformFilter->CheckTransform(pmt, &out->CurrentMediaType());
    return S_OK;
}

HRESULT CTransformInputPin::SetMediaType(const CMediaType* pmt)
{
    HRESULT hr = CBaseInputPin::SetMediaType(pmt);
    if (FAILED(hr)) return hr;
    return m_pTransformFilter->SetMediaType(PINDIR_INPUT, pmt);
}

HRESULT CTransformInputPin::Receive(IMediaSample* pSample)
{
    CAutoLock lock(m_pTransformFilter->m_csReceive);
    HRESULT hr = CBaseInputPin::Receive(pSample);
    if (hr != S_OK) return hr;
    return m_pTransformFilter->Receive(pSample);
}

HRESULT CTransformInputPin::EndOfStream()
{
    CAutoLock lock(m_pTransformFilter->m_csReceive);
    HRESULT hr = CheckStreaming();
    if (hr != S_OK) return hr;
    return m_pTransformFilter->EndOfStream();
}

HRESULT CTransformInputPin::BeginFlush()
{
    CAutoLock lock(m_pTransformFilter->m_csFilter);
    if (!IsConnected() || !m_pTransformFilter->m_pOutput->IsConnected()) return VFW_E_NOT_CONNECTED;
    HRESULT hr = CBaseInputPin::BeginFlush();
    if (FAILED(hr)) return hr;
    return m_pTransformFilter->BeginFlush();
}

HRESULT CTransformInputPin::EndFlush()
{
    CAutoLock lock(m_pTransformFilter->m_csFilter);
    if (!IsConnected() || !m_pTransformFilter->m_pOutput->IsConnected()) return VFW_E_NOT_CONNECTED;
    HRESULT hr = m_pTransformFilter->EndFlush();
    if (FAILED(hr)) return hr;
    return CBaseInputPin::EndFlush();
}

HRESULT CTransformInputPin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    CAutoLock lock(m_pTransformFilter->m_csReceive);
    CBasePin::NewSegment(tStart, tStop, dRate);
    return m_pTransformFilter->NewSegment(tStart, tStop, dRate);
}

// ---------------------------------------------------------------- output pin

CTransformOutputPin::CTransformOutputPin(const char* objectName, CTransformFilter* pFilter, HRESULT* phr,
                                         LPCWSTR pName)
    : CBaseOutputPin(objectName, pFilter, &pFilter->m_csFilter, phr, pName), m_pTransformFilter(pFilter)
{
}

CTransformOutputPin::~CTransformOutputPin() = default;

HRESULT CTransformOutputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IMediaSeeking || riid == IID_IMediaPosition) {
        CAutoLock lock(*m_pLock);
        if (!m_pPosition)
            m_pPosition = std::make_unique<CPosPassThru>("CTransformOutputPin seeking", static_cast<IPin*>(this),
                                                         static_cast<IPin*>(m_pTransformFilter->m_pInput.get()));
        if (riid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(m_pPosition.get()), ppv);
        return GetInterface(static_cast<IMediaPosition*>(m_pPosition.get()), ppv);
    }
    return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CTransformOutputPin::CheckConnect(IPin* pPin)
{
    // Output types depend on the input; connect the input first.
    if (!m_pTransformFilter->m_pInput->IsConnected()) return E_UNEXPECTED;
    HRESULT hr = m_pTransformFilter->CheckConnect(PINDIR_OUTPUT, pPin);
    if (FAILED(hr)) return hr;
    return CBaseOutputPin::CheckConnect(pPin);
}

HRESULT CTransformOutputPin::BreakConnect()
{
    m_pTransformFilter->BreakConnect(PINDIR_OUTPUT);
    return CBaseOutputPin::BreakConnect();
}

HRESULT CTransformOutputPin::CompleteConnect(IPin* pReceivePin)
{
    HRESULT hr = m_pTransformFilter->CompleteConnect(PINDIR_OUTPUT, pReceivePin);
    if (FAILED(hr)) return hr;
    return CBaseOutputPin::CompleteConnect(pReceivePin);
}

HRESULT CTransformOutputPin::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp)
{
    return m_pTransformFilter->DecideBufferSize(pAlloc, pProp);
}

HRESULT CTransformOutputPin::CheckMediaType(const CMediaType* pmt)
{
    CTransformInputPin* in = m_pTransformFilter->m_pInput.get();
    if (!in->IsConnected()) return E_INVALIDARG;
    return m_pTransformFilter->CheckTransform(&in->CurrentMediaType(), pmt);
}

HRESULT CTransformOutputPin::SetMediaType(const CMediaType* pmt)
{
    HRESULT hr = CBaseOutputPin::SetMediaType(pmt);
    if (FAILED(hr)) return hr;
    return m_pTransformFilter->SetMediaType(PINDIR_OUTPUT, pmt);
}

HRESULT CTransformOutputPin::GetMediaType(int position, CMediaType* pMediaType)
{
    if (!m_pTransformFilter->m_pInput->IsConnected()) return VFW_S_NO_MORE_ITEMS;
    return m_pTransformFilter->GetMediaType(position, pMediaType);
}

// ---------------------------------------------------------------- filter

CTransformFilter::CTransformFilter(const char* name, IUnknown*, REFCLSID clsid)
    : CBaseFilter(name, &m_csFilter, clsid)
{
    HRESULT hr = S_OK;
    m_pInput = std::make_unique<CTransformInputPin>("Transform input pin", this, &hr, u"XForm In");
    m_pOutput = std::make_unique<CTransformOutputPin>("Transform output pin", this, &hr, u"XForm Out");
}

CTransformFilter::~CTransformFilter() = default;

CBasePin* CTransformFilter::GetPin(int n)
{
    if (n == 0) return m_pInput.get();
    if (n == 1) return m_pOutput.get();
    return nullptr;
}

HRESULT CTransformFilter::Transform(IMediaSample*, IMediaSample*) { return E_UNEXPECTED; }

HRESULT CTransformFilter::SetMediaType(PIN_DIRECTION, const CMediaType*) { return S_OK; }

HRESULT CTransformFilter::InitializeOutputSample(IMediaSample* pSample, IMediaSample** ppOutSample)
{
    *ppOutSample = nullptr;
    REFERENCE_TIME start = 0, end = 0;
    HRESULT hrTime = pSample->GetTime(&start, &end);
    IMediaSample* out = nullptr;
    HRESULT hr = m_pOutput->GetDeliveryBuffer(&out, nullptr, nullptr, 0);
    if (FAILED(hr)) return hr;
    if (SUCCEEDED(hrTime)) out->SetTime(&start, hrTime == S_OK ? &end : nullptr);
    out->SetSyncPoint(pSample->IsSyncPoint() == S_OK);
    out->SetPreroll(pSample->IsPreroll() == S_OK);
    out->SetDiscontinuity(pSample->IsDiscontinuity() == S_OK);
    LONGLONG mstart = 0, mend = 0;
    if (SUCCEEDED(pSample->GetMediaTime(&mstart, &mend))) out->SetMediaTime(&mstart, &mend);
    *ppOutSample = out;
    return S_OK;
}

HRESULT CTransformFilter::Receive(IMediaSample* pSample)
{
    ComPtr<IMediaSample> out;
    HRESULT hr = InitializeOutputSample(pSample, out.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    hr = Transform(pSample, out.Get());
    if (hr == S_FALSE) return S_OK;  // nothing to deliver for this input
    if (FAILED(hr)) return hr;
    return m_pOutput->Deliver(out.Get());
}

HRESULT CTransformFilter::EndOfStream()
{
    if (!m_pOutput->IsConnected()) return S_OK;
    return m_pOutput->DeliverEndOfStream();
}

HRESULT CTransformFilter::BeginFlush() { return m_pOutput->DeliverBeginFlush(); }
HRESULT CTransformFilter::EndFlush() { return m_pOutput->DeliverEndFlush(); }

HRESULT CTransformFilter::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    if (!m_pOutput->IsConnected()) return S_OK;
    return m_pOutput->DeliverNewSegment(tStart, tStop, dRate);
}

HRESULT CTransformFilter::Stop()
{
    CAutoLock lock(m_csFilter);
    if (m_State.load() == State_Stopped) return S_OK;
    // Inactive decommits our output allocator (releasing a GetDeliveryBuffer)
    // and the input allocator; then the streaming lock can be had.
    m_pInput->Inactive();
    m_pOutput->Inactive();
    CAutoLock receive(m_csReceive);
    HRESULT hr = StopStreaming();
    m_State = State_Stopped;
    return hr;
}

HRESULT CTransformFilter::Pause()
{
    CAutoLock lock(m_csFilter);
    if (m_State.load() == State_Stopped) {
        HRESULT hr = CBaseFilter::Pause();  // pins become active
        if (FAILED(hr)) return hr;
        hr = StartStreaming();
        if (FAILED(hr)) {
            CBaseFilter::Stop();
            return hr;
        }
        return S_OK;
    }
    m_State = State_Paused;
    return S_OK;
}
