// The event queue (IMediaEventEx, and IMediaEventSink for the filters).
//
// EC_COMPLETE: every renderer with a connected input reports it once
// (param2 = the renderer); the graph queues one EC_COMPLETE when all have.
// The expected set is taken when the graph starts, stops or seeks
// (ResetCompletion_Locked). CancelDefaultHandling(EC_COMPLETE) passes each
// renderer's EC_COMPLETE through instead. Other events are queued as they
// come.
//
// m_eventLock guards the queue, the notify window and the completion
// bookkeeping. Notify takes it on streaming threads; it is never held while
// calling a filter. The notify message is posted under it, so after
// SetNotifyWindow(0, ...) returns no further message goes out.
#include <algorithm>
#include <chrono>

#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/MediaEventNotify.h"

void CFilterGraph::ResetCompletion_Locked()
{
    std::vector<IBaseFilter*> expected;
    for (const ComPtr<IBaseFilter>& r : ConnectedRenderers_Locked()) expected.push_back(r.Get());
    MutexLock guard(m_eventLock);
    m_expectedRenderers = std::move(expected);
    m_completedRenderers.clear();
    m_bCompleteQueued = false;
}
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
    MutexLock guard(m_eventLock);
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
    MutexUniqueLock guard(m_eventLock);
    auto ready = [this]() REQUIRES(m_eventLock) { return !m_events.empty(); };
    if (msTimeout < 0)
        guard.Wait(m_eventCv, ready);
    else if (!guard.WaitFor(m_eventCv, std::chrono::milliseconds(msTimeout), ready)) {
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
    MutexUniqueLock guard(m_eventLock);
    auto isEnd = [](const Event& e) {
        return e.code == EC_COMPLETE || e.code == EC_ERRORABORT || e.code == EC_USERABORT;
    };
    auto ready = [&]() REQUIRES(m_eventLock) { return std::any_of(m_events.begin(), m_events.end(), isEnd); };
    if (msTimeout < 0)
        guard.Wait(m_eventCv, ready);
    else if (!guard.WaitFor(m_eventCv, std::chrono::milliseconds(msTimeout), ready))
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
    MutexLock guard(m_eventLock);
    m_bCompleteDefault = false;
    return S_OK;
}

HRESULT CFilterGraph::RestoreDefaultHandling(LONG lEvCode)
{
    if (lEvCode != EC_COMPLETE) return S_FALSE;
    MutexLock guard(m_eventLock);
    m_bCompleteDefault = true;
    return S_OK;
}

HRESULT CFilterGraph::FreeEventParams(LONG, LONG_PTR, LONG_PTR) { return S_OK; }  // parameters own nothing

HRESULT CFilterGraph::SetNotifyWindow(OAHWND hwnd, LONG lMsg, LONG_PTR lInstanceData)
{
    MutexLock guard(m_eventLock);
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
    MutexLock guard(m_eventLock);
    m_notifyFlags = lNoNotifyFlags;
    return S_OK;
}

HRESULT CFilterGraph::GetNotifyFlags(LONG* lplNoNotifyFlags)
{
    if (!lplNoNotifyFlags) return E_POINTER;
    MutexLock guard(m_eventLock);
    *lplNoNotifyFlags = m_notifyFlags;
    return S_OK;
}
