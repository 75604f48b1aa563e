// The filter base CBaseFilter (state, clock, graph membership) and the pin
// and media-type enumerators. The pin bases are in BasePins.cpp.
#include "platform/dshow/BaseFilter.h"

#include <cstring>

void CopyName(WCHAR* target, size_t capacity, const std::u16string& source)
{
    if (!target || capacity == 0) return;
    size_t n = std::min(source.size(), capacity - 1);
    std::memcpy(target, source.data(), n * sizeof(WCHAR));
    target[n] = 0;
}

LPWSTR CoTaskMemStrDup(const std::u16string& text)
{
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (copy) CopyName(copy, text.size() + 1, text);
    return copy;
}

// ---------------------------------------------------------------- CBaseFilter

CBaseFilter::CBaseFilter(const char* name, CCritSec* pLock, REFCLSID clsid)
    : CUnknown(name), m_pLock(pLock), m_clsid(clsid)
{
}

CBaseFilter::~CBaseFilter() = default;

HRESULT CBaseFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IBaseFilter || riid == IID_IMediaFilter || riid == IID_IPersist)
        return GetInterface(static_cast<IBaseFilter*>(this), ppv);
    if (riid == IID_IAMFilterMiscFlags) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseFilter::GetClassID(CLSID* pClsID)
{
    if (!pClsID) return E_POINTER;
    *pClsID = m_clsid;
    return S_OK;
}

HRESULT CBaseFilter::Stop()
{
    CAutoLock lock(*m_pLock);
    HRESULT hr = S_OK;
    if (m_State != State_Stopped) {
        for (int i = 0; i < GetPinCount(); ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                HRESULT hrPin = pin->Inactive();
                if (FAILED(hrPin) && SUCCEEDED(hr)) hr = hrPin;
            }
        }
    }
    m_State = State_Stopped;
    return hr;
}

HRESULT CBaseFilter::Pause()
{
    CAutoLock lock(*m_pLock);
    if (m_State == State_Stopped) {
        for (int i = 0; i < GetPinCount(); ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                HRESULT hr = pin->Active();
                if (FAILED(hr)) return hr;
            }
        }
    }
    m_State = State_Paused;
    return S_OK;
}

HRESULT CBaseFilter::Run(REFERENCE_TIME tStart)
{
    CAutoLock lock(*m_pLock);
    m_tStart = tStart;
    if (m_State == State_Stopped) {
        HRESULT hr = Pause();
        if (FAILED(hr)) return hr;
    }
    if (m_State != State_Running) {
        for (int i = 0; i < GetPinCount(); ++i) {
            CBasePin* pin = GetPin(i);
            if (pin && pin->IsConnected()) {
                HRESULT hr = pin->Run(tStart);
                if (FAILED(hr)) return hr;
            }
        }
    }
    m_State = State_Running;
    return S_OK;
}

HRESULT CBaseFilter::GetState(DWORD, FILTER_STATE* state)
{
    if (!state) return E_POINTER;
    CAutoLock lock(*m_pLock);
    *state = m_State;
    return S_OK;
}

HRESULT CBaseFilter::SetSyncSource(IReferenceClock* pClock)
{
    CAutoLock lock(*m_pLock);
    m_pClock = pClock;
    return S_OK;
}

HRESULT CBaseFilter::GetSyncSource(IReferenceClock** pClock)
{
    if (!pClock) return E_POINTER;
    CAutoLock lock(*m_pLock);
    *pClock = m_pClock.Get();
    if (*pClock) (*pClock)->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::EnumPins(IEnumPins** ppEnum)
{
    if (!ppEnum) return E_POINTER;
    return GetInterface(static_cast<IEnumPins*>(new CEnumPins(this)), reinterpret_cast<void**>(ppEnum));
}

HRESULT CBaseFilter::FindPin(LPCWSTR Id, IPin** ppPin)
{
    if (!Id || !ppPin) return E_POINTER;
    *ppPin = nullptr;
    CAutoLock lock(*m_pLock);
    for (int i = 0; i < GetPinCount(); ++i) {
        CBasePin* pin = GetPin(i);
        if (pin && pin->Name() == Id) return GetInterface(static_cast<IPin*>(pin), reinterpret_cast<void**>(ppPin));
    }
    return VFW_E_NOT_FOUND;
}

HRESULT CBaseFilter::QueryFilterInfo(FILTER_INFO* pInfo)
{
    if (!pInfo) return E_POINTER;
    CAutoLock lock(*m_pLock);
    CopyName(pInfo->achName, MAX_FILTER_NAME, m_name);
    pInfo->pGraph = m_pGraph;
    if (m_pGraph) m_pGraph->AddRef();
    return S_OK;
}

HRESULT CBaseFilter::JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName)
{
    CAutoLock lock(*m_pLock);
    m_pGraph = pGraph;
    m_pSink = nullptr;
    if (pGraph) {
        // Kept without a reference: the graph owns this filter and outlives
        // its membership.
        IMediaEventSink* sink = nullptr;
        if (SUCCEEDED(pGraph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink))) && sink) {
            m_pSink = sink;
            sink->Release();
        }
    }
    m_name = (pGraph && pName) ? std::u16string(pName) : std::u16string();
    return S_OK;
}

HRESULT CBaseFilter::QueryVendorInfo(LPWSTR*) { return E_NOTIMPL; }

HRESULT CBaseFilter::NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2)
{
    IMediaEventSink* sink = m_pSink.load();
    if (!sink) return E_NOTIMPL;
    return sink->Notify(code, param1, param2);
}

bool CBaseFilter::IsStopped() { return m_State.load() == State_Stopped; }

bool CBaseFilter::IsActive() { return m_State.load() != State_Stopped; }

FILTER_STATE CBaseFilter::StateForTesting() { return m_State.load(); }

HRESULT CBaseFilter::StreamTime(REFERENCE_TIME* streamTime)
{
    if (!streamTime) return E_POINTER;
    ComPtr<IReferenceClock> clock;
    REFERENCE_TIME start = 0;
    {
        CAutoLock lock(*m_pLock);
        clock = m_pClock;
        start = m_tStart;
    }
    if (!clock) return VFW_E_NO_CLOCK;
    REFERENCE_TIME now = 0;
    HRESULT hr = clock->GetTime(&now);
    if (FAILED(hr)) return hr;
    *streamTime = now - start;
    return S_OK;
}

// ---------------------------------------------------------------- enumerators

CEnumPins::CEnumPins(CBaseFilter* filter) : CUnknown("CEnumPins")
{
    CAutoLock lock(*filter->FilterLock());
    for (int i = 0; i < filter->GetPinCount(); ++i)
        if (CBasePin* pin = filter->GetPin(i)) m_pins.emplace_back(static_cast<IPin*>(pin));
}

HRESULT CEnumPins::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IEnumPins) return GetInterface(static_cast<IEnumPins*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CEnumPins::Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched)
{
    if (!ppPins) return E_POINTER;
    if (cPins != 1 && !pcFetched) return E_INVALIDARG;
    ULONG fetched = 0;
    while (fetched < cPins && m_pos < m_pins.size()) {
        ppPins[fetched] = m_pins[m_pos++].Get();
        ppPins[fetched]->AddRef();
        ++fetched;
    }
    if (pcFetched) *pcFetched = fetched;
    return fetched == cPins ? S_OK : S_FALSE;
}

HRESULT CEnumPins::Skip(ULONG cPins)
{
    if (m_pins.size() - m_pos < cPins) {
        m_pos = m_pins.size();
        return S_FALSE;
    }
    m_pos += cPins;
    return S_OK;
}

HRESULT CEnumPins::Reset()
{
    m_pos = 0;
    return S_OK;
}

HRESULT CEnumPins::Clone(IEnumPins** ppEnum)
{
    if (!ppEnum) return E_POINTER;
    return GetInterface(static_cast<IEnumPins*>(new CEnumPins(*this, 0)), reinterpret_cast<void**>(ppEnum));
}

CEnumMediaTypes::CEnumMediaTypes(CBasePin* pin) : CUnknown("CEnumMediaTypes")
{
    CAutoLock lock(*pin->Filter()->FilterLock());
    for (int i = 0;; ++i) {
        CMediaType type;
        if (pin->GetMediaType(i, &type) != S_OK) break;
        m_types.push_back(std::move(type));
    }
}

HRESULT CEnumMediaTypes::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IEnumMediaTypes) return GetInterface(static_cast<IEnumMediaTypes*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CEnumMediaTypes::Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched)
{
    if (!ppMediaTypes) return E_POINTER;
    if (cMediaTypes != 1 && !pcFetched) return E_INVALIDARG;
    ULONG fetched = 0;
    while (fetched < cMediaTypes && m_pos < m_types.size()) {
        AM_MEDIA_TYPE* copy = CreateMediaType(&m_types[m_pos]);
        if (!copy) break;
        ppMediaTypes[fetched++] = copy;
        ++m_pos;
    }
    if (pcFetched) *pcFetched = fetched;
    return fetched == cMediaTypes ? S_OK : S_FALSE;
}

HRESULT CEnumMediaTypes::Skip(ULONG cMediaTypes)
{
    if (m_types.size() - m_pos < cMediaTypes) {
        m_pos = m_types.size();
        return S_FALSE;
    }
    m_pos += cMediaTypes;
    return S_OK;
}

HRESULT CEnumMediaTypes::Reset()
{
    m_pos = 0;
    return S_OK;
}

HRESULT CEnumMediaTypes::Clone(IEnumMediaTypes** ppEnum)
{
    if (!ppEnum) return E_POINTER;
    return GetInterface(static_cast<IEnumMediaTypes*>(new CEnumMediaTypes(*this, 0)),
                        reinterpret_cast<void**>(ppEnum));
}
