#include "platform/dshow/FilterGraphPins.h"

#include <algorithm>
#include <chrono>

namespace graph_pins {

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

}  // namespace graph_pins
