#pragma once
// How the graph's event queue reaches a window.
//
// IMediaEventEx::SetNotifyWindow takes the window as an OAHWND, an opaque
// handle of the window layer (platform/ui). The media framework does not
// know that layer; instead the layer installs one poster function at start
// (SetNotifyMessagePoster), and the event queue calls it, from whatever
// thread queued the event, with (window, message, 0, instance data) for
// every event it queues. The poster must not block (PostMessage semantics).
//
// Wiring in the host: platform/ui calls, once before any graph exists,
//   SetNotifyMessagePoster([](OAHWND w, uint32_t msg, uintptr_t wp, intptr_t lp) {
//       return PostMessage(reinterpret_cast<HWND>(w), msg, wp, lp);
//   });
// and the engine passes its window as reinterpret_cast<OAHWND>(hwnd).
#include <cstdint>
#include <functional>

#include "platform/dshow/DShowTypes.h"

using NotifyMessagePoster = std::function<bool(OAHWND window, uint32_t message, uintptr_t wParam, intptr_t lParam)>;

// Installs (or with an empty function removes) the process's poster.
void SetNotifyMessagePoster(NotifyMessagePoster poster);
// Posts through the installed poster; false when none is installed or it
// failed.
bool PostNotifyMessage(OAHWND window, uint32_t message, uintptr_t wParam, intptr_t lParam);
