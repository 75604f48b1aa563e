#pragma once
// Delivery of a filter graph's event notifications to a dialog window.
// IMediaEventEx::SetNotifyWindow names the window by an OAHWND; here that is
// the dialog's HWND (CDialog::GetSafeHwnd), and the poster turns it back
// into a PostMessage that fails harmlessly once the dialog is gone.
#include "platform/dshow/DShowTypes.h"
#include "platform/ui/Dialog.h"

// Installs the process's notify-message poster. Idempotent; call once at
// start-up, before any graph is built.
void InstallGraphNotifyPoster();

// The OAHWND under which a graph posts to `dialog`.
inline OAHWND NotifyWindowOf(const CDialog& dialog) { return reinterpret_cast<OAHWND>(dialog.GetSafeHwnd()); }
