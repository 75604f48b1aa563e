#include "platform/ui/GraphNotify.h"

#include <mutex>

#include "platform/dshow/MediaEventNotify.h"

void InstallGraphNotifyPoster()
{
    static std::once_flag once;
    std::call_once(once, [] {
        SetNotifyMessagePoster([](OAHWND window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
            return ::PostMessage(reinterpret_cast<HWND>(window), message, static_cast<WPARAM>(wParam),
                                 static_cast<LPARAM>(lParam)) != FALSE;
        });
    });
}
