#include "platform/dshow/FilterGraph.h"

#include <algorithm>
#include <chrono>

#include "platform/dshow/FilterRegistry.h"
#include "platform/dshow/MediaEventNotify.h"
#include "platform/dshow/MediaType.h"
#include "platform/dshow/SystemClock.h"

namespace {

constexpr int kMaxRenderDepth = 8;

// How long a start, or a seek of a running graph, waits for every renderer
// to hold its first sample before stream time begins. A stream that never
// delivers holds the others no longer than this; it is then rendered late.
constexpr LONG kPrerollTimeoutMs = 1000;

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

std::vector<ComPtr<IPin>> PinsOf(IBaseFilter* filter, PIN_DIRECTION wanted)
{
    std::vector<ComPtr<IPin>> pins;
    ComPtr<IEnumPins> e;
    if (FAILED(filter->EnumPins(e.ReleaseAndGetAddressOf())) || !e) return pins;
    IPin* pin = nullptr;
    ULONG fetched = 0;
    while (e->Next(1, &pin, &fetched) == S_OK && fetched == 1) {
        ComPtr<IPin> owned = ComPtr<IPin>::Attach(pin);
        PIN_DIRECTION dir;
        if (SUCCEEDED(owned->QueryDirection(&dir)) && dir == wanted) pins.push_back(owned);
    }
    return pins;
}

ComPtr<IPin> PeerOf(IPin* pin)
{
    ComPtr<IPin> peer;
    pin->ConnectedTo(peer.ReleaseAndGetAddressOf());
    return peer;
}

ComPtr<IBaseFilter> FilterOf(IPin* pin)
{
    PIN_INFO info{};
    if (FAILED(pin->QueryPinInfo(&info))) return nullptr;
    return ComPtr<IBaseFilter>::Attach(info.pFilter);
}

bool IsRenderer(IBaseFilter* filter)
{
    ComPtr<IAMFilterMiscFlags> flags;
    if (SUCCEEDED(filter->QueryInterface(IID_IAMFilterMiscFlags, flags.ReleaseAndGetVoidAddress())) && flags)
        return (flags->GetMiscFlags() & AM_FILTER_MISC_FLAGS_IS_RENDERER) != 0;
    return PinsOf(filter, PINDIR_OUTPUT).empty() && !PinsOf(filter, PINDIR_INPUT).empty();
}

bool HasConnectedInput(IBaseFilter* filter)
{
    for (const ComPtr<IPin>& in : PinsOf(filter, PINDIR_INPUT))
        if (PeerOf(in.Get())) return true;
    return false;
}

// Asks each filter for its state, all within one shared wait (negative: no
// limit); true when none reported a transition still under way.
bool WaitUntilSettled(const std::vector<ComPtr<IBaseFilter>>& filters, LONG msTimeout)
{
    using Clock = std::chrono::steady_clock;
    const bool forever = msTimeout < 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : msTimeout);
    bool settled = true;
    for (const ComPtr<IBaseFilter>& f : filters) {
        DWORD wait = INFINITE;
        if (!forever) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait = static_cast<DWORD>(std::max<long long>(0, left));
        }
        FILTER_STATE fs;
        if (f->GetState(wait, &fs) == VFW_S_STATE_INTERMEDIATE) settled = false;
    }
    return settled;
}

std::vector<CMediaType> TypesOf(IPin* pin)
{
    std::vector<CMediaType> types;
    ComPtr<IEnumMediaTypes> e;
    if (FAILED(pin->EnumMediaTypes(e.ReleaseAndGetAddressOf())) || !e) return types;
    AM_MEDIA_TYPE* mt = nullptr;
    ULONG fetched = 0;
    while (e->Next(1, &mt, &fetched) == S_OK && fetched == 1) {
        types.emplace_back(*mt);
        DeleteMediaType(mt);
    }
    return types;
}

}  // namespace

CFilterGraph::CFilterGraph() : CUnknown("CFilterGraph") {}

CFilterGraph::~CFilterGraph()
{
    CAutoLock lock(m_lock);
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
    CAutoLock lock(m_lock);
    return AddFilter_Locked(pFilter, pName);
}

HRESULT CFilterGraph::AddFilter_Locked(IBaseFilter* pFilter, LPCWSTR pName)
{
    if (!pFilter) return E_POINTER;
    if (InGraph_Locked(pFilter)) return E_INVALIDARG;
    std::u16string base = pName ? std::u16string(pName) : std::u16string(u"Filter");
    if (base.size() > MAX_FILTER_NAME - 6) base.resize(MAX_FILTER_NAME - 6);
    auto taken = [this](const std::u16string& n) {
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
    CAutoLock lock(m_lock);
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
        CAutoLock lock(m_lock);
        for (const FilterEntry& e : m_filters) filters.push_back(e.filter);
    }
    return GetInterface(static_cast<IEnumFilters*>(new CEnumFilters(std::move(filters))),
                        reinterpret_cast<void**>(ppEnum));
}

HRESULT CFilterGraph::FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter)
{
    if (!pName || !ppFilter) return E_POINTER;
    *ppFilter = nullptr;
    CAutoLock lock(m_lock);
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
    CAutoLock lock(m_lock);
    if (!PinInGraph_Locked(ppinOut) || !PinInGraph_Locked(ppinIn)) return VFW_E_NOT_IN_GRAPH;
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    return ppinOut->Connect(ppinIn, pmt);
}

HRESULT CFilterGraph::Reconnect(IPin*) { return E_NOTIMPL; }

HRESULT CFilterGraph::Disconnect(IPin* ppin)
{
    if (!ppin) return E_POINTER;
    CAutoLock lock(m_lock);
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    return ppin->Disconnect();
}

HRESULT CFilterGraph::SetDefaultSyncSource()
{
    CAutoLock lock(m_lock);
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    m_pClock = nullptr;
    ChooseClock_Locked();
    return S_OK;
}

// ---------------------------------------------------------------- building

HRESULT CFilterGraph::ConnectAndRender_Locked(IPin* out, IBaseFilter* filter, IPin* in, int depth)
{
    if (FAILED(out->Connect(in, nullptr))) return VFW_E_CANNOT_CONNECT;
    // Outputs are looked at after the connection: a parser makes its
    // output pins once it knows its input.
    int total = 0, full = 0, partial = 0;
    for (const ComPtr<IPin>& o : PinsOf(filter, PINDIR_OUTPUT)) {
        if (PeerOf(o.Get())) continue;
        ++total;
        HRESULT hr = RenderPin_Locked(o.Get(), depth + 1);
        if (hr == S_OK)
            ++full;
        else if (SUCCEEDED(hr))
            ++partial;
    }
    if (total == 0) return S_OK;  // a renderer, or nothing left to render
    if (full + partial == 0) {
        out->Disconnect();
        in->Disconnect();
        return VFW_E_CANNOT_RENDER;
    }
    return full == total ? S_OK : VFW_S_PARTIAL_RENDER;
}

HRESULT CFilterGraph::RenderPin_Locked(IPin* out, int depth)
{
    if (depth > kMaxRenderDepth) return VFW_E_CANNOT_RENDER;
    if (PeerOf(out)) return VFW_E_ALREADY_CONNECTED;
    ComPtr<IBaseFilter> owner = FilterOf(out);

    // Filters already in the graph with a free input pin come first.
    std::vector<ComPtr<IBaseFilter>> present;
    for (const FilterEntry& e : m_filters) present.push_back(e.filter);
    for (const ComPtr<IBaseFilter>& f : present) {
        if (f.Get() == owner.Get() || !InGraph_Locked(f.Get())) continue;
        for (const ComPtr<IPin>& in : PinsOf(f.Get(), PINDIR_INPUT)) {
            if (PeerOf(in.Get())) continue;
            HRESULT hr = ConnectAndRender_Locked(out, f.Get(), in.Get(), depth);
            if (SUCCEEDED(hr)) return hr;
        }
    }

    // Then the system filters.
    HRESULT rendered = VFW_E_CANNOT_RENDER;
    TrySystemFiltersFor_Locked(out, [&](IBaseFilter* filter) {
        for (const ComPtr<IPin>& in : PinsOf(filter, PINDIR_INPUT)) {
            if (PeerOf(in.Get())) continue;
            HRESULT hr = ConnectAndRender_Locked(out, filter, in.Get(), depth);
            if (SUCCEEDED(hr)) {
                rendered = hr;
                return true;
            }
        }
        return false;
    });
    return rendered;
}

bool CFilterGraph::TrySystemFiltersFor_Locked(IPin* out, const std::function<bool(IBaseFilter*)>& use)
{
    std::vector<CMediaType> types = TypesOf(out);
    for (const SystemFilterInfo& info : SystemFiltersByMerit()) {
        if (info.inputTypes.empty()) continue;  // sources
        bool fits = types.empty();
        for (const CMediaType& t : types) fits = fits || SystemFilterAccepts(info, t.majortype, t.subtype);
        if (!fits) continue;
        ComPtr<IBaseFilter> filter;
        if (FAILED(CoCreateInstance(info.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                    filter.ReleaseAndGetVoidAddress())) ||
            !filter)
            continue;
        if (FAILED(AddFilter_Locked(filter.Get(), info.name.c_str()))) continue;
        if (use(filter.Get())) return true;
        RemoveFilter_Locked(filter.Get());
    }
    return false;
}

HRESULT CFilterGraph::ConnectVia_Locked(IPin* out, IPin* in, int depth)
{
    if (SUCCEEDED(out->Connect(in, nullptr))) return S_OK;
    if (depth >= kMaxRenderDepth) return VFW_E_CANNOT_CONNECT;
    bool connected = TrySystemFiltersFor_Locked(out, [&](IBaseFilter* filter) {
        for (const ComPtr<IPin>& mid : PinsOf(filter, PINDIR_INPUT)) {
            if (FAILED(out->Connect(mid.Get(), nullptr))) continue;
            for (const ComPtr<IPin>& o : PinsOf(filter, PINDIR_OUTPUT))
                if (SUCCEEDED(ConnectVia_Locked(o.Get(), in, depth + 1))) return true;
            out->Disconnect();
            mid->Disconnect();
        }
        return false;
    });
    return connected ? S_OK : VFW_E_CANNOT_CONNECT;
}

HRESULT CFilterGraph::Connect(IPin* ppinOut, IPin* ppinIn)
{
    if (!ppinOut || !ppinIn) return E_POINTER;
    CAutoLock lock(m_lock);
    if (!PinInGraph_Locked(ppinOut) || !PinInGraph_Locked(ppinIn)) return VFW_E_NOT_IN_GRAPH;
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    return ConnectVia_Locked(ppinOut, ppinIn, 0);
}

HRESULT CFilterGraph::Render(IPin* ppinOut)
{
    if (!ppinOut) return E_POINTER;
    CAutoLock lock(m_lock);
    if (!PinInGraph_Locked(ppinOut)) return VFW_E_NOT_IN_GRAPH;
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    return RenderPin_Locked(ppinOut, 0);
}

HRESULT CFilterGraph::AddSourceFilter_Locked(LPCWSTR file, LPCWSTR name, IBaseFilter** ppFilter)
{
    *ppFilter = nullptr;
    ComPtr<IBaseFilter> source;
    HRESULT hr = CoCreateInstance(CLSID_AsyncReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  source.ReleaseAndGetVoidAddress());
    if (FAILED(hr)) return VFW_E_CANNOT_LOAD_SOURCE_FILTER;
    ComPtr<IFileSourceFilter> load = source.As<IFileSourceFilter>();
    if (!load) return VFW_E_CANNOT_LOAD_SOURCE_FILTER;
    hr = load->Load(file, nullptr);
    if (FAILED(hr)) return hr;
    hr = AddFilter_Locked(source.Get(), name ? name : file);
    if (FAILED(hr)) return hr;
    *ppFilter = source.Detach();
    return S_OK;
}

HRESULT CFilterGraph::AddSourceFilter(LPCWSTR lpcwstrFileName, LPCWSTR lpcwstrFilterName, IBaseFilter** ppFilter)
{
    if (!lpcwstrFileName || !ppFilter) return E_POINTER;
    CAutoLock lock(m_lock);
    return AddSourceFilter_Locked(lpcwstrFileName, lpcwstrFilterName, ppFilter);
}

HRESULT CFilterGraph::RenderFile(LPCWSTR lpcwstrFile, LPCWSTR)
{
    if (!lpcwstrFile) return E_POINTER;
    CAutoLock lock(m_lock);
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    ComPtr<IBaseFilter> source;
    HRESULT hr = AddSourceFilter_Locked(lpcwstrFile, lpcwstrFile, source.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    int total = 0, full = 0, partial = 0;
    for (const ComPtr<IPin>& out : PinsOf(source.Get(), PINDIR_OUTPUT)) {
        ++total;
        hr = RenderPin_Locked(out.Get(), 0);
        if (hr == S_OK)
            ++full;
        else if (SUCCEEDED(hr))
            ++partial;
    }
    if (full + partial == 0) {
        RemoveFilter_Locked(source.Get());
        return VFW_E_CANNOT_RENDER;
    }
    return full == total ? S_OK : VFW_S_PARTIAL_RENDER;
}

// ---------------------------------------------------------------- state

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

void CFilterGraph::ResetCompletion_Locked()
{
    std::vector<IBaseFilter*> expected;
    for (const ComPtr<IBaseFilter>& r : ConnectedRenderers_Locked()) expected.push_back(r.Get());
    std::lock_guard<std::mutex> guard(m_eventLock);
    m_expectedRenderers = std::move(expected);
    m_completedRenderers.clear();
    m_bCompleteQueued = false;
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
    m_tStart = ClockTime_Locked() - m_tPausedStream;
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
    CAutoLock lock(m_lock);
    return Run_Locked();
}

HRESULT CFilterGraph::Pause()
{
    CAutoLock lock(m_lock);
    if (m_state == State_Paused) return S_OK;
    return Pause_Locked();
}

HRESULT CFilterGraph::Stop()
{
    CAutoLock lock(m_lock);
    return Stop_Locked();
}

HRESULT CFilterGraph::GetState(LONG msTimeout, OAFilterState* pfs)
{
    if (!pfs) return E_POINTER;
    std::vector<ComPtr<IBaseFilter>> filters;
    FILTER_STATE state;
    {
        CAutoLock lock(m_lock);
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

HRESULT CFilterGraph::RenderFile(BSTR strFilename) { return RenderFile(strFilename, nullptr); }

HRESULT CFilterGraph::StopWhenReady()
{
    HRESULT hr = Pause();
    if (FAILED(hr)) return hr;
    OAFilterState state;
    GetState(-1, &state);
    return Stop();
}

// ---------------------------------------------------------------- events

void CFilterGraph::QueueEvent_Locked(const Event& e)
{
    if (m_notifyFlags & AM_MEDIAEVENT_NONOTIFY) return;
    m_events.push_back(e);
    m_evEvents.Set();
    m_eventCv.notify_all();
    if (m_notifyWindow)
        PostNotifyMessage(m_notifyWindow, static_cast<uint32_t>(m_notifyMessage), 0, m_notifyInstance);
}

HRESULT CFilterGraph::Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    if (EventCode == EC_COMPLETE && m_bCompleteDefault) {
        auto* sender = reinterpret_cast<IBaseFilter*>(EventParam2);
        bool expected = std::find(m_expectedRenderers.begin(), m_expectedRenderers.end(), sender) !=
                        m_expectedRenderers.end();
        bool already = std::find(m_completedRenderers.begin(), m_completedRenderers.end(), sender) !=
                       m_completedRenderers.end();
        if (!expected || already) return S_OK;
        m_completedRenderers.push_back(sender);
        if (m_completedRenderers.size() == m_expectedRenderers.size() && !m_bCompleteQueued) {
            m_bCompleteQueued = true;
            QueueEvent_Locked({EC_COMPLETE, S_OK, 0});
        }
        return S_OK;
    }
    QueueEvent_Locked({EventCode, EventParam1, EventParam2});
    return S_OK;
}

HRESULT CFilterGraph::GetEventHandle(OAEVENT* hEvent)
{
    if (!hEvent) return E_POINTER;
    *hEvent = static_cast<OAEVENT>(m_evEvents.Handle());
    return S_OK;
}

HRESULT CFilterGraph::GetEvent(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, LONG msTimeout)
{
    if (!lEventCode || !lParam1 || !lParam2) return E_POINTER;
    std::unique_lock<std::mutex> guard(m_eventLock);
    auto ready = [this] { return !m_events.empty(); };
    if (msTimeout < 0)
        m_eventCv.wait(guard, ready);
    else if (!m_eventCv.wait_for(guard, std::chrono::milliseconds(msTimeout), ready)) {
        *lEventCode = 0;
        *lParam1 = *lParam2 = 0;
        return E_ABORT;
    }
    Event e = m_events.front();
    m_events.pop_front();
    if (m_events.empty()) m_evEvents.Reset();
    *lEventCode = e.code;
    *lParam1 = e.param1;
    *lParam2 = e.param2;
    return S_OK;
}

HRESULT CFilterGraph::WaitForCompletion(LONG msTimeout, LONG* pEvCode)
{
    if (!pEvCode) return E_POINTER;
    *pEvCode = 0;
    std::unique_lock<std::mutex> guard(m_eventLock);
    auto isEnd = [](const Event& e) {
        return e.code == EC_COMPLETE || e.code == EC_ERRORABORT || e.code == EC_USERABORT;
    };
    auto ready = [&] { return std::any_of(m_events.begin(), m_events.end(), isEnd); };
    if (msTimeout < 0)
        m_eventCv.wait(guard, ready);
    else if (!m_eventCv.wait_for(guard, std::chrono::milliseconds(msTimeout), ready))
        return E_ABORT;
    auto it = std::find_if(m_events.begin(), m_events.end(), isEnd);
    *pEvCode = it->code;
    m_events.erase(it);
    if (m_events.empty()) m_evEvents.Reset();
    return S_OK;
}

HRESULT CFilterGraph::CancelDefaultHandling(LONG lEvCode)
{
    if (lEvCode != EC_COMPLETE) return S_FALSE;
    std::lock_guard<std::mutex> guard(m_eventLock);
    m_bCompleteDefault = false;
    return S_OK;
}

HRESULT CFilterGraph::RestoreDefaultHandling(LONG lEvCode)
{
    if (lEvCode != EC_COMPLETE) return S_FALSE;
    std::lock_guard<std::mutex> guard(m_eventLock);
    m_bCompleteDefault = true;
    return S_OK;
}

HRESULT CFilterGraph::FreeEventParams(LONG, LONG_PTR, LONG_PTR) { return S_OK; }  // parameters own nothing

HRESULT CFilterGraph::SetNotifyWindow(OAHWND hwnd, LONG lMsg, LONG_PTR lInstanceData)
{
    std::lock_guard<std::mutex> guard(m_eventLock);
    m_notifyWindow = hwnd;
    m_notifyMessage = lMsg;
    m_notifyInstance = lInstanceData;
    // Events already waiting are announced too.
    if (hwnd && !m_events.empty()) PostNotifyMessage(hwnd, static_cast<uint32_t>(lMsg), 0, lInstanceData);
    return S_OK;
}

HRESULT CFilterGraph::SetNotifyFlags(LONG lNoNotifyFlags)
{
    if (lNoNotifyFlags & ~AM_MEDIAEVENT_NONOTIFY) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(m_eventLock);
    m_notifyFlags = lNoNotifyFlags;
    return S_OK;
}

HRESULT CFilterGraph::GetNotifyFlags(LONG* lplNoNotifyFlags)
{
    if (!lplNoNotifyFlags) return E_POINTER;
    std::lock_guard<std::mutex> guard(m_eventLock);
    *lplNoNotifyFlags = m_notifyFlags;
    return S_OK;
}

// ---------------------------------------------------------------- seeking

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
    LONGLONG duration = 0;
    if (SUCCEEDED(Duration_Locked(&duration))) pos = std::min(pos, duration);
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
    CAutoLock lock(m_lock);
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
        m_tStart = ClockTime_Locked() - (SUCCEEDED(hr) ? 0 : streamBefore);
        for (const ComPtr<IBaseFilter>& f : DownstreamFirst_Locked()) f->Run(m_tStart);
    }
    return hr;
}

HRESULT CFilterGraph::GetCapabilities(DWORD* pCapabilities)
{
    if (!pCapabilities) return E_POINTER;
    CAutoLock lock(m_lock);
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
    CAutoLock lock(m_lock);
    return Duration_Locked(pDuration);
}

HRESULT CFilterGraph::GetStopPosition(LONGLONG* pStop)
{
    if (!pStop) return E_POINTER;
    CAutoLock lock(m_lock);
    for (const ComPtr<IBaseFilter>& r : ConnectedRenderers_Locked()) {
        ComPtr<IMediaSeeking> seeking = r.As<IMediaSeeking>();
        if (seeking && SUCCEEDED(seeking->GetStopPosition(pStop))) return S_OK;
    }
    return E_NOTIMPL;
}

HRESULT CFilterGraph::GetCurrentPosition(LONGLONG* pCurrent)
{
    if (!pCurrent) return E_POINTER;
    CAutoLock lock(m_lock);
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

// ---------------------------------------------------------------- aggregate interfaces

template <class T>
ComPtr<T> CFilterGraph::FirstOffering()
{
    CAutoLock lock(m_lock);
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
