// Building the graph: intelligent connect.
//
// - Render(pin): filters already in the graph with a free input pin first,
//   then the system filters by merit (FilterRegistry), recursively up to
//   kMaxRenderDepth; a branch that reaches no renderer is backed out of
//   (its connection undone, a filter added for it removed again).
// - Connect(out, in): directly, else through system filters between them.
// - RenderFile: the file source, then each of its outputs; the source
//   leaves again when nothing at all could be rendered. S_OK when every
//   output was rendered, VFW_S_PARTIAL_RENDER when some were.
// - All of it only while stopped, under m_lock.
#include <functional>

#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/FilterGraphPins.h"
#include "platform/dshow/FilterRegistry.h"
#include "platform/dshow/MediaType.h"

namespace {

constexpr int kMaxRenderDepth = 8;

}  // namespace

using graph_pins::FilterOf;
using graph_pins::PeerOf;
using graph_pins::PinsOf;
using graph_pins::TypesOf;

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
    TrySystemFiltersFor_Locked(out, [&](IBaseFilter* filter) REQUIRES(m_lock) {
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
    bool connected = TrySystemFiltersFor_Locked(out, [&](IBaseFilter* filter) REQUIRES(m_lock) {
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
    MutexLock lock(m_lock);
    if (!PinInGraph_Locked(ppinOut) || !PinInGraph_Locked(ppinIn)) return VFW_E_NOT_IN_GRAPH;
    if (m_state != State_Stopped) return VFW_E_NOT_STOPPED;
    return ConnectVia_Locked(ppinOut, ppinIn, 0);
}

HRESULT CFilterGraph::Render(IPin* ppinOut)
{
    if (!ppinOut) return E_POINTER;
    MutexLock lock(m_lock);
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
    MutexLock lock(m_lock);
    return AddSourceFilter_Locked(lpcwstrFileName, lpcwstrFilterName, ppFilter);
}

HRESULT CFilterGraph::RenderFile(LPCWSTR lpcwstrFile, LPCWSTR)
{
    if (!lpcwstrFile) return E_POINTER;
    MutexLock lock(m_lock);
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

HRESULT CFilterGraph::RenderFile(BSTR strFilename) { return RenderFile(strFilename, nullptr); }
