// The pin bases: CBasePin (connection and media-type agreement),
// CBaseInputPin (allocator, sample checks, flushing) and CBaseOutputPin
// (allocator choice, delivery). The filter base and the enumerators are in
// BaseFilter.cpp; the locks are described in BaseFilter.h.
#include "platform/dshow/BaseFilter.h"

// ---------------------------------------------------------------- CBasePin

CBasePin::CBasePin(const char* objectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT*, LPCWSTR pinName,
                   PIN_DIRECTION dir)
    : CBaseObject(objectName),
      m_pFilter(pFilter),
      m_pLock(pLock),
      m_pinName(pinName ? pinName : u""),
      m_dir(dir),
      m_bTryMyTypesFirst(dir == PINDIR_OUTPUT)
{
}

CBasePin::~CBasePin() = default;

ULONG CBasePin::AddRef() { return static_cast<IBaseFilter*>(m_pFilter)->AddRef(); }
ULONG CBasePin::Release() { return static_cast<IBaseFilter*>(m_pFilter)->Release(); }

HRESULT CBasePin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPin) return GetInterface(static_cast<IPin*>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT CBasePin::GetMediaType(int, CMediaType*) { return VFW_S_NO_MORE_ITEMS; }

HRESULT CBasePin::SetMediaType(const CMediaType* pmt)
{
    m_mt = *pmt;
    return S_OK;
}

HRESULT CBasePin::CheckConnect(IPin* pPin)
{
    PIN_DIRECTION dir;
    HRESULT hr = pPin->QueryDirection(&dir);
    if (FAILED(hr)) return hr;
    return dir == m_dir ? VFW_E_INVALID_DIRECTION : S_OK;
}

HRESULT CBasePin::BreakConnect() { return S_OK; }
HRESULT CBasePin::CompleteConnect(IPin*) { return S_OK; }
HRESULT CBasePin::Active() { return S_OK; }
HRESULT CBasePin::Inactive() { return S_OK; }
HRESULT CBasePin::Run(REFERENCE_TIME) { return S_OK; }

void CBasePin::SetConnected_Locked(IPin* pin)
{
    ComPtr<IPin> previous(pin);
    {
        MutexLock hold(m_connectedLock);
        previous.Swap(m_pConnected);
    }
    // The old peer is released without m_connectedLock: its filter may go.
}

void CBasePin::ClearConnection_Locked()
{
    SetConnected_Locked(nullptr);
    m_mt.InitMediaType();
    BreakConnect();
}

HRESULT CBasePin::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt)
{
    if (!pReceivePin) return E_POINTER;
    CAutoLock lock(*m_pLock);
    if (m_pConnected) return VFW_E_ALREADY_CONNECTED;
    if (!m_pFilter->IsStopped()) return VFW_E_NOT_STOPPED;
    if (pmt) {
        CMediaType partial(*pmt);
        return AgreeMediaType(pReceivePin, &partial);
    }
    return AgreeMediaType(pReceivePin, nullptr);
}

HRESULT CBasePin::AgreeMediaType(IPin* pReceivePin, const CMediaType* pmt)
{
    if (pmt && !pmt->IsPartiallySpecified()) return AttemptConnection(pReceivePin, pmt);
    HRESULT hrFailure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (int i = 0; i < 2; ++i) {
        bool mine = (i == 0) == m_bTryMyTypesFirst;
        ComPtr<IEnumMediaTypes> types;
        HRESULT hr = mine ? EnumMediaTypes(types.ReleaseAndGetAddressOf())
                          : pReceivePin->EnumMediaTypes(types.ReleaseAndGetAddressOf());
        if (FAILED(hr) || !types) continue;
        hr = TryMediaTypes(pReceivePin, pmt, types.Get());
        if (SUCCEEDED(hr)) return S_OK;
        // Keep the most telling reason: a refusal of the pin itself beats
        // "no type fitted".
        if (hr != VFW_E_NO_ACCEPTABLE_TYPES && hr != VFW_E_TYPE_NOT_ACCEPTED && hr != E_FAIL) hrFailure = hr;
    }
    return hrFailure;
}

HRESULT CBasePin::TryMediaTypes(IPin* pReceivePin, const CMediaType* pmt, IEnumMediaTypes* pEnum)
{
    HRESULT hrFailure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (;;) {
        AM_MEDIA_TYPE* next = nullptr;
        ULONG fetched = 0;
        if (pEnum->Next(1, &next, &fetched) != S_OK || fetched != 1) break;
        CMediaType candidate(*next);
        DeleteMediaType(next);
        if (!candidate.MatchesPartial(pmt)) continue;
        HRESULT hr = AttemptConnection(pReceivePin, &candidate);
        if (SUCCEEDED(hr)) return S_OK;
        if (hr != VFW_E_TYPE_NOT_ACCEPTED) hrFailure = hr;
    }
    return hrFailure;
}

HRESULT CBasePin::AttemptConnection(IPin* pReceivePin, const CMediaType* pmt)
{
    HRESULT hr = CheckConnect(pReceivePin);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    hr = CheckMediaType(pmt);
    if (hr != S_OK) {
        BreakConnect();
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    SetConnected_Locked(pReceivePin);
    hr = SetMediaType(pmt);
    if (FAILED(hr)) {
        ClearConnection_Locked();
        return hr;
    }
    hr = pReceivePin->ReceiveConnection(static_cast<IPin*>(this), pmt);
    if (FAILED(hr)) {
        ClearConnection_Locked();
        return hr;
    }
    hr = CompleteConnect(pReceivePin);
    if (FAILED(hr)) {
        pReceivePin->Disconnect();
        ClearConnection_Locked();
        return hr;
    }
    return S_OK;
}

HRESULT CBasePin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt)
{
    if (!pConnector || !pmt) return E_POINTER;
    CAutoLock lock(*m_pLock);
    if (m_pConnected) return VFW_E_ALREADY_CONNECTED;
    if (!m_pFilter->IsStopped()) return VFW_E_NOT_STOPPED;
    HRESULT hr = CheckConnect(pConnector);
    if (FAILED(hr)) {
        BreakConnect();
        return hr;
    }
    CMediaType type(*pmt);
    hr = CheckMediaType(&type);
    if (hr != S_OK) {
        BreakConnect();
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    SetConnected_Locked(pConnector);
    hr = SetMediaType(&type);
    if (FAILED(hr)) {
        ClearConnection_Locked();
        return hr;
    }
    hr = CompleteConnect(pConnector);
    if (FAILED(hr)) {
        ClearConnection_Locked();
        return hr;
    }
    return S_OK;
}

HRESULT CBasePin::Disconnect()
{
    CAutoLock lock(*m_pLock);
    if (!m_pFilter->IsStopped()) return VFW_E_NOT_STOPPED;
    if (!m_pConnected) return S_FALSE;
    ClearConnection_Locked();
    return S_OK;
}

HRESULT CBasePin::ConnectedTo(IPin** pPin)
{
    if (!pPin) return E_POINTER;
    MutexLock hold(m_connectedLock);
    *pPin = m_pConnected.Get();
    if (!*pPin) return VFW_E_NOT_CONNECTED;
    (*pPin)->AddRef();
    return S_OK;
}

HRESULT CBasePin::ConnectionMediaType(AM_MEDIA_TYPE* pmt)
{
    if (!pmt) return E_POINTER;
    CAutoLock lock(*m_pLock);
    if (!m_pConnected) {
        *pmt = AM_MEDIA_TYPE{};
        return VFW_E_NOT_CONNECTED;
    }
    return CopyMediaType(pmt, &m_mt);
}

HRESULT CBasePin::QueryPinInfo(PIN_INFO* pInfo)
{
    if (!pInfo) return E_POINTER;
    pInfo->pFilter = static_cast<IBaseFilter*>(m_pFilter);
    pInfo->pFilter->AddRef();
    pInfo->dir = m_dir;
    CopyName(pInfo->achName, MAX_PIN_NAME, m_pinName);
    return S_OK;
}

HRESULT CBasePin::QueryDirection(PIN_DIRECTION* pPinDir)
{
    if (!pPinDir) return E_POINTER;
    *pPinDir = m_dir;
    return S_OK;
}

HRESULT CBasePin::QueryId(LPWSTR* Id)
{
    if (!Id) return E_POINTER;
    *Id = CoTaskMemStrDup(m_pinName);
    return *Id ? S_OK : E_OUTOFMEMORY;
}

HRESULT CBasePin::QueryAccept(const AM_MEDIA_TYPE* pmt)
{
    if (!pmt) return E_POINTER;
    CAutoLock lock(*m_pLock);
    CMediaType type(*pmt);
    return CheckMediaType(&type) == S_OK ? S_OK : S_FALSE;
}

HRESULT CBasePin::EnumMediaTypes(IEnumMediaTypes** ppEnum)
{
    if (!ppEnum) return E_POINTER;
    return GetInterface(static_cast<IEnumMediaTypes*>(new CEnumMediaTypes(this)), reinterpret_cast<void**>(ppEnum));
}

HRESULT CBasePin::QueryInternalConnections(IPin**, ULONG*) { return E_NOTIMPL; }

HRESULT CBasePin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    m_tStart = tStart;
    m_tStop = tStop;
    m_dRate = dRate;
    return S_OK;
}

// ---------------------------------------------------------------- CBaseInputPin

CBaseInputPin::CBaseInputPin(const char* objectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr,
                             LPCWSTR pinName)
    : CBasePin(objectName, pFilter, pLock, phr, pinName, PINDIR_INPUT)
{
}

CBaseInputPin::~CBaseInputPin() = default;

HRESULT CBaseInputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IMemInputPin) return GetInterface(static_cast<IMemInputPin*>(this), ppv);
    return CBasePin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseInputPin::GetAllocator(IMemAllocator** ppAllocator)
{
    if (!ppAllocator) return E_POINTER;
    CAutoLock lock(*m_pLock);
    if (!m_pAllocator) m_pAllocator = static_cast<IMemAllocator*>(new CMemAllocator);
    *ppAllocator = m_pAllocator.Get();
    (*ppAllocator)->AddRef();
    return S_OK;
}

HRESULT CBaseInputPin::NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly)
{
    if (!pAllocator) return E_POINTER;
    CAutoLock lock(*m_pLock);
    m_pAllocator = pAllocator;
    m_bReadOnly = bReadOnly;
    return S_OK;
}

HRESULT CBaseInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES*) { return E_NOTIMPL; }

HRESULT CBaseInputPin::CheckStreaming()
{
    if (!m_pConnected) return VFW_E_NOT_CONNECTED;
    if (m_bFlushing.load()) return S_FALSE;
    if (m_pFilter->IsStopped()) return VFW_E_WRONG_STATE;
    if (m_bRunTimeError.load()) return VFW_E_RUNTIME_ERROR;
    return S_OK;
}

HRESULT CBaseInputPin::Receive(IMediaSample* pSample)
{
    if (!pSample) return E_POINTER;
    HRESULT hr = CheckStreaming();
    if (hr != S_OK) return hr;
    AM_MEDIA_TYPE* changed = nullptr;
    if (pSample->GetMediaType(&changed) == S_OK && changed) {
        CMediaType type(*changed);
        DeleteMediaType(changed);
        hr = CheckMediaType(&type) == S_OK ? SetMediaType(&type) : VFW_E_INVALIDMEDIATYPE;
        if (FAILED(hr)) {
            // The stream cannot go on: samples are refused until a flush or
            // a stop, the graph hears why, and the stream ends here.
            m_bRunTimeError = true;
            m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
            EndOfStream();
            return hr;
        }
    }
    return S_OK;
}

HRESULT CBaseInputPin::ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed)
{
    if (!pSamples || !nSamplesProcessed) return E_POINTER;
    HRESULT hr = S_OK;
    *nSamplesProcessed = 0;
    while (nSamples-- > 0) {
        hr = Receive(pSamples[*nSamplesProcessed]);
        if (hr != S_OK) break;
        ++*nSamplesProcessed;
    }
    return hr;
}

HRESULT CBaseInputPin::BeginFlush()
{
    m_bFlushing = true;
    return S_OK;
}

HRESULT CBaseInputPin::EndFlush()
{
    m_bFlushing = false;
    m_bRunTimeError = false;
    return S_OK;
}

HRESULT CBaseInputPin::Inactive()
{
    m_bRunTimeError = false;
    if (m_pAllocator) m_pAllocator->Decommit();
    return S_OK;
}

HRESULT CBaseInputPin::BreakConnect()
{
    m_pAllocator = nullptr;
    return S_OK;
}

// ---------------------------------------------------------------- CBaseOutputPin

CBaseOutputPin::CBaseOutputPin(const char* objectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr,
                               LPCWSTR pinName)
    : CBasePin(objectName, pFilter, pLock, phr, pinName, PINDIR_OUTPUT)
{
}

CBaseOutputPin::~CBaseOutputPin() = default;

HRESULT CBaseOutputPin::CheckConnect(IPin* pPin)
{
    HRESULT hr = CBasePin::CheckConnect(pPin);
    if (FAILED(hr)) return hr;
    ComPtr<IMemInputPin> input;
    hr = pPin->QueryInterface(IID_IMemInputPin, input.ReleaseAndGetVoidAddress());
    if (FAILED(hr)) return hr;
    m_pInputPin = input;
    return S_OK;
}

HRESULT CBaseOutputPin::CompleteConnect(IPin*)
{
    return DecideAllocator(m_pInputPin.Get(), m_pAllocator.ReleaseAndGetAddressOf());
}

HRESULT CBaseOutputPin::DecideAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc)
{
    *ppAlloc = nullptr;
    ALLOCATOR_PROPERTIES props{};
    pPin->GetAllocatorRequirements(&props);
    if (props.cbAlign == 0) props.cbAlign = 1;
    ComPtr<IMemAllocator> alloc;
    HRESULT hr = pPin->GetAllocator(alloc.ReleaseAndGetAddressOf());
    if (SUCCEEDED(hr) && alloc) {
        hr = DecideBufferSize(alloc.Get(), &props);
        if (SUCCEEDED(hr)) hr = pPin->NotifyAllocator(alloc.Get(), FALSE);
        if (SUCCEEDED(hr)) {
            *ppAlloc = alloc.Detach();
            return S_OK;
        }
    }
    alloc = static_cast<IMemAllocator*>(new CMemAllocator);
    hr = DecideBufferSize(alloc.Get(), &props);
    if (SUCCEEDED(hr)) hr = pPin->NotifyAllocator(alloc.Get(), FALSE);
    if (FAILED(hr)) return hr;
    *ppAlloc = alloc.Detach();
    return S_OK;
}

HRESULT CBaseOutputPin::BreakConnect()
{
    if (m_pAllocator) m_pAllocator->Decommit();
    m_pAllocator = nullptr;
    m_pInputPin = nullptr;
    return S_OK;
}

HRESULT CBaseOutputPin::Active()
{
    if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Commit();
}

HRESULT CBaseOutputPin::Inactive()
{
    if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Decommit();
}

HRESULT CBaseOutputPin::GetDeliveryBuffer(IMediaSample** ppSample, REFERENCE_TIME* pStartTime,
                                          REFERENCE_TIME* pEndTime, DWORD dwFlags)
{
    if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->GetBuffer(ppSample, pStartTime, pEndTime, dwFlags);
}

HRESULT CBaseOutputPin::Deliver(IMediaSample* pSample)
{
    if (!m_pInputPin) return VFW_E_NOT_CONNECTED;
    return m_pInputPin->Receive(pSample);
}

HRESULT CBaseOutputPin::DeliverEndOfStream()
{
    if (!m_pConnected) return VFW_E_NOT_CONNECTED;
    return m_pConnected->EndOfStream();
}

HRESULT CBaseOutputPin::DeliverBeginFlush()
{
    if (!m_pConnected) return VFW_E_NOT_CONNECTED;
    return m_pConnected->BeginFlush();
}

HRESULT CBaseOutputPin::DeliverEndFlush()
{
    if (!m_pConnected) return VFW_E_NOT_CONNECTED;
    return m_pConnected->EndFlush();
}

HRESULT CBaseOutputPin::DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate)
{
    if (!m_pConnected) return VFW_E_NOT_CONNECTED;
    return m_pConnected->NewSegment(tStart, tStop, dRate);
}
