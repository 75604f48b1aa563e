// CFilterGraph's own part: its lifetime, its interfaces, the list of
// filters (add, remove, find, connect directly) and the aggregate
// IBasicVideo / IBasicAudio / IVideoWindow. Building, state and clock,
// events and seeking each have a file of their own (FilterGraphBuild.cpp,
// FilterGraphControl.cpp, FilterGraphEvents.cpp, FilterGraphSeeking.cpp).
//
// The filter list is guarded by m_lock. A filter leaves the graph only when
// stopped, with its pins disconnected at both ends; removing the filter
// whose clock the graph uses makes the next start choose a clock again.
#include "platform/dshow/FilterGraph.h"

#include <algorithm>

#include "platform/dshow/FilterGraphPins.h"

namespace {

class CEnumFilters final : public CUnknown, public IEnumFilters
{
public:
    explicit CEnumFilters(std::vector<ComPtr<IBaseFilter>> filters)
        : CUnknown("CEnumFilters"), m_filters(std::move(filters))
    {
    }
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IEnumFilters) return GetInterface(static_cast<IEnumFilters*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT Next(ULONG count, IBaseFilter** out, ULONG* fetched) override
    {
        if (!out) return E_POINTER;
        if (count != 1 && !fetched) return E_INVALIDARG;
        ULONG n = 0;
        while (n < count && m_pos < m_filters.size()) {
            out[n] = m_filters[m_pos++].Get();
            out[n++]->AddRef();
        }
        if (fetched) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override
    {
        m_pos = std::min(m_filters.size(), m_pos + count);
        return m_pos < m_filters.size() ? S_OK : S_FALSE;
    }
    HRESULT Reset() override
    {
        m_pos = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumFilters** ppEnum) override
    {
        if (!ppEnum) return E_POINTER;
        auto* copy = new CEnumFilters(m_filters);
        copy->m_pos = m_pos;
        return GetInterface(static_cast<IEnumFilters*>(copy), reinterpret_cast<void**>(ppEnum));
    }

private:
    std::vector<ComPtr<IBaseFilter>> m_filters;
    size_t m_pos = 0;
};

}  // namespace

using graph_pins::FilterOf;
using graph_pins::PeerOf;
using graph_pins::PinsOf;

CFilterGraph::CFilterGraph() : CUnknown("CFilterGraph") {}

CFilterGraph::~CFilterGraph()
{
    MutexLock lock(m_lock);
    Stop_Locked();
    while (!m_filters.empty()) RemoveFilter_Locked(m_filters.back().filter.Get());
    m_pClock = nullptr;
}

HRESULT CFilterGraph::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IFilterGraph || riid == IID_IGraphBuilder)
        return GetInterface(static_cast<IGraphBuilder*>(this), ppv);
    if (riid == IID_IMediaControl) return GetInterface(static_cast<IMediaControl*>(this), ppv);
    if (riid == IID_IMediaEvent || riid == IID_IMediaEventEx)
        return GetInterface(static_cast<IMediaEventEx*>(this), ppv);
    if (riid == IID_IMediaEventSink) return GetInterface(static_cast<IMediaEventSink*>(this), ppv);
    if (riid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
    if (riid == IID_IBasicVideo) return GetInterface(static_cast<IBasicVideo*>(this), ppv);
    if (riid == IID_IBasicAudio) return GetInterface(static_cast<IBasicAudio*>(this), ppv);
    if (riid == IID_IVideoWindow) return GetInterface(static_cast<IVideoWindow*>(this), ppv);
    if (riid == IID_IUnknown) return GetInterface(static_cast<IUnknown*>(static_cast<CUnknown*>(this)), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

// ---------------------------------------------------------------- filters

bool CFilterGraph::InGraph_Locked(IBaseFilter* pFilter)
{
    for (const FilterEntry& e : m_filters)
        if (e.filter.Get() == pFilter) return true;
    return false;
}

bool CFilterGraph::PinInGraph_Locked(IPin* pin)
{
    ComPtr<IBaseFilter> filter = FilterOf(pin);
    return filter && InGraph_Locked(filter.Get());
}

HRESULT CFilterGraph::AddFilter(IBaseFilter* pFilter, LPCWSTR pName)
{
    MutexLock lock(m_lock);
    return AddFilter_Locked(pFilter, pName);
}

HRESULT CFilterGraph::AddFilter_Locked(IBaseFilter* pFilter, LPCWSTR pName)
{
    if (!pFilter) return E_POINTER;
    if (InGraph_Locked(pFilter)) return E_INVALIDARG;
    std::u16string base = pName ? std::u16string(pName) : std::u16string(u"Filter");
    if (base.size() > MAX_FILTER_NAME - 6) base.resize(MAX_FILTER_NAME - 6);
    auto taken = [this](const std::u16string& n) REQUIRES(m_lock) {
        return std::any_of(m_filters.begin(), m_filters.end(), [&](const FilterEntry& e) { return e.name == n; });
    };
    std::u16string name = base;
    HRESULT result = S_OK;
    for (int i = 1; taken(name); ++i) {
        if (i > 9999) return VFW_E_DUPLICATE_NAME;
        std::string digits = std::to_string(i);
        name = base + u" " + std::u16string(4 - std::min<size_t>(4, digits.size()), u'0');
        for (char c : digits) name.push_back(static_cast<char16_t>(c));
        if (pName) result = VFW_S_DUPLICATE_NAME;
    }
    HRESULT hr = pFilter->JoinFilterGraph(static_cast<IFilterGraph*>(this), name.c_str());
    if (FAILED(hr)) return hr;
    if (m_pClock) pFilter->SetSyncSource(m_pClock.Get());
    m_filters.push_back({ComPtr<IBaseFilter>(pFilter), name});
    return result;
}

HRESULT CFilterGraph::RemoveFilter(IBaseFilter* pFilter)
{
    MutexLock lock(m_lock);
    return RemoveFilter_Locked(pFilter);
}

HRESULT CFilterGraph::RemoveFilter_Locked(IBaseFilter* pFilter)
{
    if (!pFilter) return E_POINTER;
    auto it = std::find_if(m_filters.begin(), m_filters.end(),
                           [&](const FilterEntry& e) { return e.filter.Get() == pFilter; });
    if (it == m_filters.end()) return VFW_E_NOT_FOUND;
    if (m_state != State_Stopped) Stop_Locked();  // pins can only be disconnected when stopped
    ComPtr<IBaseFilter> filter = it->filter;      // keeps it alive until we are done
    for (PIN_DIRECTION dir : {PINDIR_INPUT, PINDIR_OUTPUT}) {
        for (const ComPtr<IPin>& pin : PinsOf(filter.Get(), dir)) {
            if (ComPtr<IPin> peer = PeerOf(pin.Get())) {
                peer->Disconnect();
                pin->Disconnect();
            }
        }
    }
    if (m_pClock) {
        ComPtr<IReferenceClock> own;
        filter->QueryInterface(IID_IReferenceClock, own.ReleaseAndGetVoidAddress());
        if (own && own.Get() == m_pClock.Get()) {
            m_pClock = nullptr;  // the next start chooses again
            for (const FilterEntry& e : m_filters) e.filter->SetSyncSource(nullptr);
        }
    }
    filter->SetSyncSource(nullptr);
    filter->JoinFilterGraph(nullptr, nullptr);
    m_filters.erase(std::find_if(m_filters.begin(), m_filters.end(),
                                 [&](const FilterEntry& e) { return e.filter.Get() == pFilter; }));
    std::erase_if(m_renderers, [&](const ComPtr<IBaseFilter>& r) { return r.Get() == pFilter; });
    return S_OK;
}

HRESULT CFilterGraph::EnumFilters(IEnumFilters** ppEnum)
{
    if (!ppEnum) return E_POINTER;
    std::vector<ComPtr<IBaseFilter>> filters;
    {
        MutexLock lock(m_lock);
        for (const FilterEntry& e : m_filters) filters.push_back(e.filter);
    }
    return GetInterface(static_cast<IEnumFilters*>(new CEnumFilters(std::move(filters))),
                        reinterpret_cast<void**>(ppEnum));
}

HRESULT CFilterGraph::FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter)
{
    if (!pName || !ppFilter) return E_POINTER;
    *ppFilter = nullptr;
    MutexLock lock(m_lock);
    for (const FilterEntry& e : m_filters) {
        if (e.name == pName) {
            *ppFilter = e.filter.Get();
            (*ppFilter)->AddRef();
            return S_OK;
        }
    }
    return VFW_E_NOT_FOUND;
}

HRESULT CFilterGraph::ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt)
{
    if (!ppinOut || !ppinIn) return E_POINTER;
    MutexLock lock(m_lock);
    if (!PinInGraph_Locked(ppinOut) || !PinInGraph_Locked(ppinIn)) return VFW_E_NOT_IN_GRAPH;
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    return ppinOut->Connect(ppinIn, pmt);
}

HRESULT CFilterGraph::Reconnect(IPin*) { return E_NOTIMPL; }

HRESULT CFilterGraph::Disconnect(IPin* ppin)
{
    if (!ppin) return E_POINTER;
    MutexLock lock(m_lock);
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    return ppin->Disconnect();
}

// ---------------------------------------------------------------- aggregate interfaces

template <class T>
ComPtr<T> CFilterGraph::FirstOffering()
{
    MutexLock lock(m_lock);
    for (const FilterEntry& e : m_filters) {
        ComPtr<T> itf;
        if (SUCCEEDED(e.filter->QueryInterface(InterfaceIid<T>::value, itf.ReleaseAndGetVoidAddress())) && itf)
            return itf;
    }
    return nullptr;
}

#define MARLIN_FORWARD(Itf, call)                    \
    ComPtr<Itf> target = FirstOffering<Itf>();       \
    if (!target) return E_NOINTERFACE;               \
    return target->call

HRESULT CFilterGraph::get_AvgTimePerFrame(REFTIME* p) { MARLIN_FORWARD(IBasicVideo, get_AvgTimePerFrame(p)); }
HRESULT CFilterGraph::get_BitRate(LONG* p) { MARLIN_FORWARD(IBasicVideo, get_BitRate(p)); }
HRESULT CFilterGraph::get_BitErrorRate(LONG* p) { MARLIN_FORWARD(IBasicVideo, get_BitErrorRate(p)); }
HRESULT CFilterGraph::get_VideoWidth(LONG* p) { MARLIN_FORWARD(IBasicVideo, get_VideoWidth(p)); }
HRESULT CFilterGraph::get_VideoHeight(LONG* p) { MARLIN_FORWARD(IBasicVideo, get_VideoHeight(p)); }
HRESULT CFilterGraph::GetVideoSize(LONG* w, LONG* h) { MARLIN_FORWARD(IBasicVideo, GetVideoSize(w, h)); }
HRESULT CFilterGraph::GetSourcePosition(LONG* l, LONG* t, LONG* w, LONG* h)
{
    MARLIN_FORWARD(IBasicVideo, GetSourcePosition(l, t, w, h));
}
HRESULT CFilterGraph::GetDestinationPosition(LONG* l, LONG* t, LONG* w, LONG* h)
{
    MARLIN_FORWARD(IBasicVideo, GetDestinationPosition(l, t, w, h));
}
HRESULT CFilterGraph::put_Volume(LONG v) { MARLIN_FORWARD(IBasicAudio, put_Volume(v)); }
HRESULT CFilterGraph::get_Volume(LONG* v) { MARLIN_FORWARD(IBasicAudio, get_Volume(v)); }
HRESULT CFilterGraph::put_Balance(LONG b) { MARLIN_FORWARD(IBasicAudio, put_Balance(b)); }
HRESULT CFilterGraph::get_Balance(LONG* b) { MARLIN_FORWARD(IBasicAudio, get_Balance(b)); }
HRESULT CFilterGraph::put_Visible(LONG v) { MARLIN_FORWARD(IVideoWindow, put_Visible(v)); }
HRESULT CFilterGraph::get_Visible(LONG* v) { MARLIN_FORWARD(IVideoWindow, get_Visible(v)); }
HRESULT CFilterGraph::put_Owner(OAHWND o) { MARLIN_FORWARD(IVideoWindow, put_Owner(o)); }
HRESULT CFilterGraph::get_Owner(OAHWND* o) { MARLIN_FORWARD(IVideoWindow, get_Owner(o)); }
HRESULT CFilterGraph::put_MessageDrain(OAHWND d) { MARLIN_FORWARD(IVideoWindow, put_MessageDrain(d)); }
HRESULT CFilterGraph::get_MessageDrain(OAHWND* d) { MARLIN_FORWARD(IVideoWindow, get_MessageDrain(d)); }
HRESULT CFilterGraph::put_AutoShow(LONG a) { MARLIN_FORWARD(IVideoWindow, put_AutoShow(a)); }
HRESULT CFilterGraph::get_AutoShow(LONG* a) { MARLIN_FORWARD(IVideoWindow, get_AutoShow(a)); }
HRESULT CFilterGraph::SetWindowPosition(LONG l, LONG t, LONG w, LONG h)
{
    MARLIN_FORWARD(IVideoWindow, SetWindowPosition(l, t, w, h));
}
HRESULT CFilterGraph::GetWindowPosition(LONG* l, LONG* t, LONG* w, LONG* h)
{
    MARLIN_FORWARD(IVideoWindow, GetWindowPosition(l, t, w, h));
}

#undef MARLIN_FORWARD
