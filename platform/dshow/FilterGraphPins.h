#pragma once
// Pin and filter questions the graph manager's parts share: only the
// graph's own files include this.
#include <vector>

#include "platform/dshow/Interfaces.h"
#include "platform/dshow/MediaType.h"

namespace graph_pins {

// The pins of `filter` in one direction, in the filter's order.
std::vector<ComPtr<IPin>> PinsOf(IBaseFilter* filter, PIN_DIRECTION wanted);
// The pin connected to `pin`, or null.
ComPtr<IPin> PeerOf(IPin* pin);
// The filter that owns `pin`, or null.
ComPtr<IBaseFilter> FilterOf(IPin* pin);
// A filter that says it renders, or one with inputs and no outputs.
bool IsRenderer(IBaseFilter* filter);
bool HasConnectedInput(IBaseFilter* filter);
// Asks each filter for its state, all within one shared wait (negative: no
// limit); true when none reported a transition still under way.
bool WaitUntilSettled(const std::vector<ComPtr<IBaseFilter>>& filters, LONG msTimeout);
// The media types `pin` proposes.
std::vector<CMediaType> TypesOf(IPin* pin);

}  // namespace graph_pins
