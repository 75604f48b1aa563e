#pragma once
// CFilterGraph: the filter graph manager, created with
// CoCreateInstance(CLSID_FilterGraph). One object answers IGraphBuilder
// (building), IMediaControl (state), IMediaEventEx (events),
// IMediaEventSink (for its filters), IMediaSeeking (positions) and the
// aggregate IBasicVideo / IBasicAudio / IVideoWindow, which pass each call
// to the first filter in the graph that offers the interface.
//
// Graph states (m_state):
//
//           Pause            Run                 seek: flush, same state
//  Stopped -------> Paused -------> Running     (running: pause, seek, run
//     ^  <-------     |  <-------      |          with stream time zero now)
//     |    Stop       |    Pause       |
//     +---------------+----------------+ Stop: every filter, renderers first
//
// Each concern has its own file, with its rules at the top:
//   FilterGraph.cpp         the filter list and the aggregate interfaces
//   FilterGraphBuild.cpp    intelligent connect, Render, RenderFile
//   FilterGraphControl.cpp  state, clock, preroll, stream time, and the
//                           restart after Stop (the graph's alone)
//   FilterGraphEvents.cpp   the event queue, EC_COMPLETE, the notify window
//   FilterGraphSeeking.cpp  positions and seeking across the renderers
//
// Threads and locks
// - m_lock (plain, not recursive): the filter list, state, clock, positions.
//   Taken by the application's calls; never by streaming threads, so it may
//   stay held through the preroll wait (another application call waits at
//   most kPrerollTimeoutMs for it). A filter called under it reaches the
//   graph only through Notify, which takes m_eventLock alone.
// - m_eventLock: the event queue, the notify window and the completion
//   bookkeeping; taken by Notify on streaming threads and never held while
//   calling a filter. The notify message is posted under it, so after
//   SetNotifyWindow(0, ...) returns no further message goes out.
// - GetEvent waits on m_eventCv; the wait ends at its time limit or when
//   an event arrives.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow/AMEvent.h"
#include "platform/dshow/Interfaces.h"
#include "platform/dshow/MediaTimeSeeking.h"

constexpr LONG AM_MEDIAEVENT_NONOTIFY = 0x01;

class CFilterGraph final : public CUnknown,
                           public IGraphBuilder,
                           public IMediaControl,
                           public IMediaEventEx,
                           public IMediaEventSink,
                           public CMediaTimeSeeking,
                           public IBasicVideo,
                           public IBasicAudio,
                           public IVideoWindow
{
public:
    CFilterGraph();
    ~CFilterGraph() override;  // stops the graph and removes every filter
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IFilterGraph. Removing a filter from an active graph stops the graph
    // first. RemoveFilter disconnects the filter's pins (both ends).
    HRESULT AddFilter(IBaseFilter* pFilter, LPCWSTR pName) override EXCLUDES(m_lock);
    HRESULT RemoveFilter(IBaseFilter* pFilter) override EXCLUDES(m_lock);
    HRESULT EnumFilters(IEnumFilters** ppEnum) override EXCLUDES(m_lock);
    HRESULT FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) override EXCLUDES(m_lock);
    HRESULT ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) override EXCLUDES(m_lock);
    HRESULT Reconnect(IPin* ppin) override;
    HRESULT Disconnect(IPin* ppin) override EXCLUDES(m_lock);
    HRESULT SetDefaultSyncSource() override EXCLUDES(m_lock);
    // IGraphBuilder. Intelligent connect: filters already in the graph with
    // a free input pin first, then the system filters by merit, recursively,
    // backing out of a branch that reaches no renderer. RenderFile removes
    // the source it added when nothing at all could be rendered.
    HRESULT Connect(IPin* ppinOut, IPin* ppinIn) override EXCLUDES(m_lock);
    HRESULT Render(IPin* ppinOut) override EXCLUDES(m_lock);
    HRESULT RenderFile(LPCWSTR lpcwstrFile, LPCWSTR lpcwstrPlayList) override EXCLUDES(m_lock);
    HRESULT AddSourceFilter(LPCWSTR lpcwstrFileName, LPCWSTR lpcwstrFilterName, IBaseFilter** ppFilter) override EXCLUDES(m_lock);
    HRESULT SetLogFile(DWORD_PTR) override { return S_OK; }
    HRESULT Abort() override { return S_OK; }
    HRESULT ShouldOperationContinue() override { return S_OK; }

    // IMediaControl
    HRESULT Run() override EXCLUDES(m_lock);
    HRESULT Pause() override EXCLUDES(m_lock);
    HRESULT Stop() override EXCLUDES(m_lock);
    HRESULT GetState(LONG msTimeout, OAFilterState* pfs) override EXCLUDES(m_lock);
    HRESULT RenderFile(BSTR strFilename) override EXCLUDES(m_lock);
    HRESULT StopWhenReady() override EXCLUDES(m_lock);

    // IMediaEvent / IMediaEventEx
    HRESULT GetEventHandle(OAEVENT* hEvent) override;  // a CAMEvent*, set while events wait
    HRESULT GetEvent(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, LONG msTimeout) override;
    HRESULT WaitForCompletion(LONG msTimeout, LONG* pEvCode) override;
    HRESULT CancelDefaultHandling(LONG lEvCode) override;
    HRESULT RestoreDefaultHandling(LONG lEvCode) override;
    HRESULT FreeEventParams(LONG lEvCode, LONG_PTR lParam1, LONG_PTR lParam2) override;
    HRESULT SetNotifyWindow(OAHWND hwnd, LONG lMsg, LONG_PTR lInstanceData) override;
    HRESULT SetNotifyFlags(LONG lNoNotifyFlags) override;
    HRESULT GetNotifyFlags(LONG* lplNoNotifyFlags) override;

    // IMediaEventSink: any thread.
    HRESULT Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) override EXCLUDES(m_eventLock);

    // IMediaSeeking (media time only)
    HRESULT GetCapabilities(DWORD* pCapabilities) override EXCLUDES(m_lock);
    HRESULT GetDuration(LONGLONG* pDuration) override EXCLUDES(m_lock);
    HRESULT GetStopPosition(LONGLONG* pStop) override EXCLUDES(m_lock);
    HRESULT GetCurrentPosition(LONGLONG* pCurrent) override EXCLUDES(m_lock);
    HRESULT SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags) override EXCLUDES(m_lock);
    HRESULT GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override EXCLUDES(m_lock);
    HRESULT GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override EXCLUDES(m_lock);
    HRESULT SetRate(double dRate) override;
    HRESULT GetRate(double* pdRate) override;
    HRESULT GetPreroll(LONGLONG* pllPreroll) override;

    // IBasicVideo, IBasicAudio, IVideoWindow: E_NOINTERFACE when no filter
    // in the graph offers the interface.
    HRESULT get_AvgTimePerFrame(REFTIME* pAvgTimePerFrame) override;
    HRESULT get_BitRate(LONG* pBitRate) override;
    HRESULT get_BitErrorRate(LONG* pBitErrorRate) override;
    HRESULT get_VideoWidth(LONG* pVideoWidth) override;
    HRESULT get_VideoHeight(LONG* pVideoHeight) override;
    HRESULT GetVideoSize(LONG* pWidth, LONG* pHeight) override;
    HRESULT GetSourcePosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) override;
    HRESULT GetDestinationPosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) override;
    HRESULT put_Volume(LONG lVolume) override;
    HRESULT get_Volume(LONG* plVolume) override;
    HRESULT put_Balance(LONG lBalance) override;
    HRESULT get_Balance(LONG* plBalance) override;
    HRESULT put_Visible(LONG Visible) override;
    HRESULT get_Visible(LONG* pVisible) override;
    HRESULT put_Owner(OAHWND Owner) override;
    HRESULT get_Owner(OAHWND* Owner) override;
    HRESULT put_MessageDrain(OAHWND Drain) override;
    HRESULT get_MessageDrain(OAHWND* Drain) override;
    HRESULT put_AutoShow(LONG AutoShow) override;
    HRESULT get_AutoShow(LONG* AutoShow) override;
    HRESULT SetWindowPosition(LONG Left, LONG Top, LONG Width, LONG Height) override;
    HRESULT GetWindowPosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) override;

private:
    struct FilterEntry
    {
        ComPtr<IBaseFilter> filter;
        std::u16string name;
    };
    struct Event
    {
        LONG code;
        LONG_PTR param1, param2;
    };

    // The filter list (FilterGraph.cpp), m_lock held.
    HRESULT AddFilter_Locked(IBaseFilter* pFilter, LPCWSTR pName) REQUIRES(m_lock);
    HRESULT RemoveFilter_Locked(IBaseFilter* pFilter) REQUIRES(m_lock);
    bool InGraph_Locked(IBaseFilter* pFilter) REQUIRES(m_lock);
    bool PinInGraph_Locked(IPin* pin) REQUIRES(m_lock);

    // Building (FilterGraphBuild.cpp), m_lock held.
    HRESULT RenderPin_Locked(IPin* out, int depth) REQUIRES(m_lock);
    HRESULT ConnectAndRender_Locked(IPin* out, IBaseFilter* filter, IPin* in, int depth) REQUIRES(m_lock);
    HRESULT ConnectVia_Locked(IPin* out, IPin* in, int depth) REQUIRES(m_lock);
    // Adds, highest merit first, each system filter whose inputs take a type
    // of `out` and hands it to `use`; a filter that `use` fails on leaves the
    // graph again. The first success ends the search.
    bool TrySystemFiltersFor_Locked(IPin* out, const std::function<bool(IBaseFilter*)>& use) REQUIRES(m_lock);
    HRESULT AddSourceFilter_Locked(LPCWSTR file, LPCWSTR name, IBaseFilter** ppFilter) REQUIRES(m_lock);

    // State and clock (FilterGraphControl.cpp), m_lock held.
    std::vector<ComPtr<IBaseFilter>> DownstreamFirst_Locked() REQUIRES(m_lock);
    void ChooseClock_Locked() REQUIRES(m_lock);
    HRESULT Pause_Locked() REQUIRES(m_lock);
    HRESULT Run_Locked() REQUIRES(m_lock);
    HRESULT Stop_Locked() REQUIRES(m_lock);
    // Bounded wait until every paused renderer holds its first sample (or
    // has nothing to come).
    void WaitForPreroll_Locked() REQUIRES(m_lock);
    REFERENCE_TIME ClockTime_Locked() REQUIRES(m_lock);
    REFERENCE_TIME StreamTime_Locked() REQUIRES(m_lock);
    // The clock time at which stream time `streamTime` is due when the
    // filters are told to run now: a little ahead, so that every renderer
    // thread is awake again before the first sample is due.
    REFERENCE_TIME RunStart_Locked(REFERENCE_TIME streamTime) REQUIRES(m_lock);

    // Seeking and position (FilterGraphSeeking.cpp), m_lock held.
    // The renderers with a connected input, as they were when the graph
    // last was stopped.
    std::vector<ComPtr<IBaseFilter>> ConnectedRenderers_Locked() REQUIRES(m_lock);
    LONGLONG CurrentPosition_Locked() REQUIRES(m_lock);
    HRESULT Duration_Locked(LONGLONG* duration) REQUIRES(m_lock);
    HRESULT Seek_Locked(LONGLONG position, DWORD flags, LONGLONG* pStop, DWORD stopFlags, LONGLONG* reached) REQUIRES(m_lock);

    // Events (FilterGraphEvents.cpp).
    void ResetCompletion_Locked() REQUIRES(m_lock) EXCLUDES(m_eventLock);
    void QueueEvent_Locked(const Event& e) REQUIRES(m_eventLock);

    // The first filter offering T.
    template <class T>
    ComPtr<T> FirstOffering() EXCLUDES(m_lock);

    // The graph lock: after the application's command lock, before every
    // filter's lock (platform/dshow/README.md).
    Mutex m_lock;
    std::vector<FilterEntry> m_filters GUARDED_BY(m_lock);  // in the order added
    FILTER_STATE m_state GUARDED_BY(m_lock) = State_Stopped;
    ComPtr<IReferenceClock> m_pClock GUARDED_BY(m_lock);
    REFERENCE_TIME m_tStart GUARDED_BY(m_lock) = 0;       // clock time of stream time zero (running)
    REFERENCE_TIME m_tPausedStream GUARDED_BY(m_lock) = 0;  // stream time while paused
    LONGLONG m_llBasePos GUARDED_BY(m_lock) = 0;          // media position at stream time zero
    bool m_bSeekOnStart GUARDED_BY(m_lock) = false;       // after Stop: sources go back to m_llBasePos
    std::vector<ComPtr<IBaseFilter>> m_renderers GUARDED_BY(m_lock);  // see ConnectedRenderers_Locked

    // The event lock: the last in the order; filters queue events under
    // their own locks.
    Mutex m_eventLock ACQUIRED_AFTER(m_lock);
    std::condition_variable m_eventCv;
    std::deque<Event> m_events GUARDED_BY(m_eventLock);
    CAMEvent m_evEvents{true};          // set while m_events is not empty
    OAHWND m_notifyWindow GUARDED_BY(m_eventLock) = 0;
    LONG m_notifyMessage GUARDED_BY(m_eventLock) = 0;
    LONG_PTR m_notifyInstance GUARDED_BY(m_eventLock) = 0;
    LONG m_notifyFlags GUARDED_BY(m_eventLock) = 0;
    bool m_bCompleteDefault GUARDED_BY(m_eventLock) = true;     // aggregate EC_COMPLETE
    std::vector<IBaseFilter*> m_expectedRenderers GUARDED_BY(m_eventLock);  // identities only, never called
    std::vector<IBaseFilter*> m_completedRenderers GUARDED_BY(m_eventLock);
    bool m_bCompleteQueued GUARDED_BY(m_eventLock) = false;
};
