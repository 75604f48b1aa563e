#pragma once
// DirectShow's interfaces, with the IIDs and method sets of Windows as far
// as this system uses them. The automation interfaces (IMediaControl,
// IMediaEventEx, IMediaPosition, IBasicVideo, IBasicAudio, IVideoWindow)
// leave out IDispatch: they derive from IUnknown directly.
#include <functional>
#include <memory>

#include "platform/dshow/DShowTypes.h"

MARLIN_DEFINE_IID(IMediaFilter, 0x56A86899, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IBaseFilter, 0x56A86895, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IPin, 0x56A86891, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IEnumPins, 0x56A86892, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IEnumFilters, 0x56A86893, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IEnumMediaTypes, 0x89C31040, 0x846B, 0x11CE, 0x97, 0xD3, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);
MARLIN_DEFINE_IID(IMemInputPin, 0x56A8689D, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IMemAllocator, 0x56A8689C, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IMediaSample, 0x56A8689A, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
// Ours, without a Windows counterpart (see IMediaSamplePlanes below).
MARLIN_DEFINE_IID(IMediaSamplePlanes, 0x6D1F4C2A, 0x93B5, 0x4E07, 0xA8, 0x1C, 0x5B, 0x2E, 0x70, 0xD4, 0x11, 0x9F);
MARLIN_DEFINE_IID(IReferenceClock, 0x56A86897, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IMediaSeeking, 0x36B73880, 0xC2C8, 0x11CF, 0x8B, 0x46, 0x00, 0x80, 0x5F, 0x6C, 0xEF, 0x60);
MARLIN_DEFINE_IID(IMediaPosition, 0x56A868B2, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IMediaEventSink, 0x56A868A2, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IFilterGraph, 0x56A8689F, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IGraphBuilder, 0x56A868A9, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IMediaControl, 0x56A868B1, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IMediaEvent, 0x56A868B6, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IMediaEventEx, 0x56A868C0, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IBasicVideo, 0x56A868B5, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IBasicAudio, 0x56A868B3, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IVideoWindow, 0x56A868B4, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IAsyncReader, 0x56A868AA, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IFileSourceFilter, 0x56A868A6, 0x0AD4, 0x11CE, 0xB0, 0x3A, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
MARLIN_DEFINE_IID(IAMFilterMiscFlags, 0x2DD74950, 0xA890, 0x11D1, 0xAB, 0xE8, 0x00, 0xA0, 0xC9, 0x05, 0xF3, 0x75);

#define MARLIN_INTERFACE_END(Itf) \
protected:                        \
    ~Itf() = default

struct IReferenceClock : IUnknown
{
    virtual HRESULT GetTime(REFERENCE_TIME* pTime) = 0;
    // Sets the event (a CAMEvent*) once the clock reaches baseTime+streamTime.
    virtual HRESULT AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                               DWORD_PTR* pdwAdviseCookie) = 0;
    // Sets the event every `period` from `startTime` on.
    virtual HRESULT AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                                   DWORD_PTR* pdwAdviseCookie) = 0;
    virtual HRESULT Unadvise(DWORD_PTR dwAdviseCookie) = 0;
    MARLIN_INTERFACE_END(IReferenceClock);
};

struct IMediaFilter : IPersist
{
    virtual HRESULT Stop() = 0;
    // S_FALSE when the transition completes later (a renderer waiting for
    // its first sample).
    virtual HRESULT Pause() = 0;
    // tStart: reference time that stream time zero corresponds to.
    virtual HRESULT Run(REFERENCE_TIME tStart) = 0;
    // VFW_S_STATE_INTERMEDIATE when a transition is still under way after
    // the wait; *state is then the target state.
    virtual HRESULT GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* state) = 0;
    virtual HRESULT SetSyncSource(IReferenceClock* pClock) = 0;
    virtual HRESULT GetSyncSource(IReferenceClock** pClock) = 0;
    MARLIN_INTERFACE_END(IMediaFilter);
};

struct IEnumPins;
struct IPin;

struct IBaseFilter : IMediaFilter
{
    virtual HRESULT EnumPins(IEnumPins** ppEnum) = 0;
    virtual HRESULT FindPin(LPCWSTR Id, IPin** ppPin) = 0;
    virtual HRESULT QueryFilterInfo(FILTER_INFO* pInfo) = 0;
    // The graph is not reference-counted by the filter (it owns the filter).
    virtual HRESULT JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) = 0;
    virtual HRESULT QueryVendorInfo(LPWSTR* pVendorInfo) = 0;
    MARLIN_INTERFACE_END(IBaseFilter);
};

struct IEnumMediaTypes;

struct IPin : IUnknown
{
    // On an output pin: connect to pReceivePin, with pmt as a full or
    // partial type (null: any).
    virtual HRESULT Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) = 0;
    // On an input pin: called by the output pin with the type it proposes.
    virtual HRESULT ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT Disconnect() = 0;
    virtual HRESULT ConnectedTo(IPin** pPin) = 0;
    virtual HRESULT ConnectionMediaType(AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT QueryPinInfo(PIN_INFO* pInfo) = 0;
    virtual HRESULT QueryDirection(PIN_DIRECTION* pPinDir) = 0;
    virtual HRESULT QueryId(LPWSTR* Id) = 0;
    virtual HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT EnumMediaTypes(IEnumMediaTypes** ppEnum) = 0;
    virtual HRESULT QueryInternalConnections(IPin** apPin, ULONG* nPin) = 0;
    virtual HRESULT EndOfStream() = 0;
    virtual HRESULT BeginFlush() = 0;
    virtual HRESULT EndFlush() = 0;
    virtual HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) = 0;
    MARLIN_INTERFACE_END(IPin);
};

struct IEnumPins : IUnknown
{
    virtual HRESULT Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) = 0;
    virtual HRESULT Skip(ULONG cPins) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumPins** ppEnum) = 0;
    MARLIN_INTERFACE_END(IEnumPins);
};

struct IEnumMediaTypes : IUnknown
{
    // Each type comes from CreateMediaType; free it with DeleteMediaType.
    virtual HRESULT Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) = 0;
    virtual HRESULT Skip(ULONG cMediaTypes) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumMediaTypes** ppEnum) = 0;
    MARLIN_INTERFACE_END(IEnumMediaTypes);
};

struct IEnumFilters : IUnknown
{
    virtual HRESULT Next(ULONG cFilters, IBaseFilter** ppFilter, ULONG* pcFetched) = 0;
    virtual HRESULT Skip(ULONG cFilters) = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT Clone(IEnumFilters** ppEnum) = 0;
    MARLIN_INTERFACE_END(IEnumFilters);
};

struct IMediaSample : IUnknown
{
    virtual HRESULT GetPointer(BYTE** ppBuffer) = 0;
    virtual LONG GetSize() = 0;
    // VFW_E_SAMPLE_TIME_NOT_SET without times; VFW_S_NO_STOP_TIME with a
    // start time only (*pTimeEnd is then start + 1).
    virtual HRESULT GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) = 0;
    // Null start clears the times; null end sets a start time only.
    virtual HRESULT SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) = 0;
    virtual HRESULT IsSyncPoint() = 0;  // S_OK or S_FALSE
    virtual HRESULT SetSyncPoint(BOOL bIsSyncPoint) = 0;
    virtual HRESULT IsPreroll() = 0;
    virtual HRESULT SetPreroll(BOOL bIsPreroll) = 0;
    virtual LONG GetActualDataLength() = 0;
    virtual HRESULT SetActualDataLength(LONG length) = 0;
    // S_OK and a CreateMediaType copy when the type changed with this
    // sample; S_FALSE and null otherwise.
    virtual HRESULT GetMediaType(AM_MEDIA_TYPE** ppMediaType) = 0;
    virtual HRESULT SetMediaType(AM_MEDIA_TYPE* pMediaType) = 0;
    virtual HRESULT IsDiscontinuity() = 0;
    virtual HRESULT SetDiscontinuity(BOOL bDiscontinuity) = 0;
    virtual HRESULT GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) = 0;
    virtual HRESULT SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) = 0;
    MARLIN_INTERFACE_END(IMediaSample);
};

// A picture sample whose planes may still lie in its decoder's frame. A
// consumer that reads planes takes them from GetPlanes and needs no packed
// copy; for every other consumer GetPointer packs them into the sample's
// buffer, once, on its first call, so the sample reads as any other.
struct SamplePlanes
{
    const BYTE* data[4] = {};  // planar 4:2:0: Y, U, V; top-down lines
    LONG stride[4] = {};       // bytes from one line to the next
    int count = 0;
};
struct IMediaSamplePlanes : IUnknown
{
    // S_OK and the planes; S_FALSE when the sample holds its picture packed.
    virtual HRESULT GetPlanes(SamplePlanes* pPlanes) = 0;
    // Lends the sample a picture: `owner` keeps the planes alive until the
    // sample goes back to its allocator; `pack` writes the picture packed
    // into the sample's buffer (its pointer and size), false on failure.
    virtual HRESULT SetPlanes(const SamplePlanes& planes, std::shared_ptr<const void> owner,
                              std::function<bool(BYTE*, LONG)> pack) = 0;
    MARLIN_INTERFACE_END(IMediaSamplePlanes);
};

struct IMemAllocator : IUnknown
{
    virtual HRESULT SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) = 0;
    virtual HRESULT GetProperties(ALLOCATOR_PROPERTIES* pProps) = 0;
    virtual HRESULT Commit() = 0;
    // Wakes every GetBuffer waiting for a free sample (VFW_E_NOT_COMMITTED).
    virtual HRESULT Decommit() = 0;
    // Waits for a free sample unless AM_GBF_NOWAIT; VFW_E_NOT_COMMITTED when
    // the allocator is (or becomes) decommitted.
    virtual HRESULT GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                              DWORD dwFlags) = 0;
    virtual HRESULT ReleaseBuffer(IMediaSample* pBuffer) = 0;
    MARLIN_INTERFACE_END(IMemAllocator);
};

struct IMemInputPin : IUnknown
{
    virtual HRESULT GetAllocator(IMemAllocator** ppAllocator) = 0;
    virtual HRESULT NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) = 0;
    virtual HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) = 0;
    virtual HRESULT Receive(IMediaSample* pSample) = 0;
    virtual HRESULT ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed) = 0;
    virtual HRESULT ReceiveCanBlock() = 0;
    MARLIN_INTERFACE_END(IMemInputPin);
};

struct IMediaSeeking : IUnknown
{
    virtual HRESULT GetCapabilities(DWORD* pCapabilities) = 0;
    virtual HRESULT CheckCapabilities(DWORD* pCapabilities) = 0;
    virtual HRESULT IsFormatSupported(const GUID* pFormat) = 0;
    virtual HRESULT QueryPreferredFormat(GUID* pFormat) = 0;
    virtual HRESULT GetTimeFormat(GUID* pFormat) = 0;
    virtual HRESULT IsUsingTimeFormat(const GUID* pFormat) = 0;
    virtual HRESULT SetTimeFormat(const GUID* pFormat) = 0;
    virtual HRESULT GetDuration(LONGLONG* pDuration) = 0;
    virtual HRESULT GetStopPosition(LONGLONG* pStop) = 0;
    virtual HRESULT GetCurrentPosition(LONGLONG* pCurrent) = 0;
    virtual HRESULT ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                      const GUID* pSourceFormat) = 0;
    virtual HRESULT SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                                 DWORD dwStopFlags) = 0;
    virtual HRESULT GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) = 0;
    virtual HRESULT GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) = 0;
    virtual HRESULT SetRate(double dRate) = 0;
    virtual HRESULT GetRate(double* pdRate) = 0;
    virtual HRESULT GetPreroll(LONGLONG* pllPreroll) = 0;
    MARLIN_INTERFACE_END(IMediaSeeking);
};

struct IMediaPosition : IUnknown
{
    virtual HRESULT get_Duration(REFTIME* plength) = 0;
    virtual HRESULT put_CurrentPosition(REFTIME llTime) = 0;
    virtual HRESULT get_CurrentPosition(REFTIME* pllTime) = 0;
    virtual HRESULT get_StopTime(REFTIME* pllTime) = 0;
    virtual HRESULT put_StopTime(REFTIME llTime) = 0;
    virtual HRESULT get_PrerollTime(REFTIME* pllTime) = 0;
    virtual HRESULT put_PrerollTime(REFTIME llTime) = 0;
    virtual HRESULT put_Rate(double dRate) = 0;
    virtual HRESULT get_Rate(double* pdRate) = 0;
    virtual HRESULT CanSeekForward(LONG* pCanSeekForward) = 0;
    virtual HRESULT CanSeekBackward(LONG* pCanSeekBackward) = 0;
    MARLIN_INTERFACE_END(IMediaPosition);
};

struct IMediaEventSink : IUnknown
{
    // Called by filters on any thread, streaming threads included.
    virtual HRESULT Notify(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2) = 0;
    MARLIN_INTERFACE_END(IMediaEventSink);
};

struct IAMFilterMiscFlags : IUnknown
{
    virtual ULONG GetMiscFlags() = 0;
    MARLIN_INTERFACE_END(IAMFilterMiscFlags);
};

struct IFilterGraph : IUnknown
{
    // The graph takes its own reference on the filter. A null or taken name
    // gets a generated one (VFW_S_DUPLICATE_NAME when a given name was taken).
    virtual HRESULT AddFilter(IBaseFilter* pFilter, LPCWSTR pName) = 0;
    virtual HRESULT RemoveFilter(IBaseFilter* pFilter) = 0;
    virtual HRESULT EnumFilters(IEnumFilters** ppEnum) = 0;
    virtual HRESULT FindFilterByName(LPCWSTR pName, IBaseFilter** ppFilter) = 0;
    // Connects two pins with no filters in between.
    virtual HRESULT ConnectDirect(IPin* ppinOut, IPin* ppinIn, const AM_MEDIA_TYPE* pmt) = 0;
    virtual HRESULT Reconnect(IPin* ppin) = 0;
    virtual HRESULT Disconnect(IPin* ppin) = 0;
    virtual HRESULT SetDefaultSyncSource() = 0;
    MARLIN_INTERFACE_END(IFilterGraph);
};

struct IGraphBuilder : IFilterGraph
{
    // Connects two pins, adding filters in between when needed.
    virtual HRESULT Connect(IPin* ppinOut, IPin* ppinIn) = 0;
    // Renders an output pin through to renderers.
    virtual HRESULT Render(IPin* ppinOut) = 0;
    // S_OK: every stream rendered; VFW_S_PARTIAL_RENDER: some; a failure:
    // none, and the source it added is taken out again. Filters that were in
    // the graph before stay, connected or not.
    virtual HRESULT RenderFile(LPCWSTR lpcwstrFile, LPCWSTR lpcwstrPlayList) = 0;
    virtual HRESULT AddSourceFilter(LPCWSTR lpcwstrFileName, LPCWSTR lpcwstrFilterName,
                                    IBaseFilter** ppFilter) = 0;
    virtual HRESULT SetLogFile(DWORD_PTR hFile) = 0;
    virtual HRESULT Abort() = 0;
    virtual HRESULT ShouldOperationContinue() = 0;
    MARLIN_INTERFACE_END(IGraphBuilder);
};

struct IMediaControl : IUnknown
{
    // Run and Pause return S_FALSE when the transition completes later.
    virtual HRESULT Run() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT GetState(LONG msTimeout, OAFilterState* pfs) = 0;
    virtual HRESULT RenderFile(BSTR strFilename) = 0;
    virtual HRESULT StopWhenReady() = 0;
    MARLIN_INTERFACE_END(IMediaControl);
};

struct IMediaEvent : IUnknown
{
    virtual HRESULT GetEventHandle(OAEVENT* hEvent) = 0;
    // E_ABORT when no event arrives within msTimeout.
    virtual HRESULT GetEvent(LONG* lEventCode, LONG_PTR* lParam1, LONG_PTR* lParam2, LONG msTimeout) = 0;
    virtual HRESULT WaitForCompletion(LONG msTimeout, LONG* pEvCode) = 0;
    virtual HRESULT CancelDefaultHandling(LONG lEvCode) = 0;
    virtual HRESULT RestoreDefaultHandling(LONG lEvCode) = 0;
    virtual HRESULT FreeEventParams(LONG lEvCode, LONG_PTR lParam1, LONG_PTR lParam2) = 0;
    MARLIN_INTERFACE_END(IMediaEvent);
};

struct IMediaEventEx : IMediaEvent
{
    // hwnd is the window layer's handle; the message goes out through the
    // poster that layer installed (MediaEventNotify.h). A null hwnd stops
    // the posting.
    virtual HRESULT SetNotifyWindow(OAHWND hwnd, LONG lMsg, LONG_PTR lInstanceData) = 0;
    virtual HRESULT SetNotifyFlags(LONG lNoNotifyFlags) = 0;
    virtual HRESULT GetNotifyFlags(LONG* lplNoNotifyFlags) = 0;
    MARLIN_INTERFACE_END(IMediaEventEx);
};

struct IBasicAudio : IUnknown
{
    virtual HRESULT put_Volume(LONG lVolume) = 0;
    virtual HRESULT get_Volume(LONG* plVolume) = 0;
    virtual HRESULT put_Balance(LONG lBalance) = 0;
    virtual HRESULT get_Balance(LONG* plBalance) = 0;
    MARLIN_INTERFACE_END(IBasicAudio);
};

struct IBasicVideo : IUnknown
{
    virtual HRESULT get_AvgTimePerFrame(REFTIME* pAvgTimePerFrame) = 0;
    virtual HRESULT get_BitRate(LONG* pBitRate) = 0;
    virtual HRESULT get_BitErrorRate(LONG* pBitErrorRate) = 0;
    virtual HRESULT get_VideoWidth(LONG* pVideoWidth) = 0;
    virtual HRESULT get_VideoHeight(LONG* pVideoHeight) = 0;
    virtual HRESULT GetVideoSize(LONG* pWidth, LONG* pHeight) = 0;
    virtual HRESULT GetSourcePosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) = 0;
    virtual HRESULT GetDestinationPosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) = 0;
    MARLIN_INTERFACE_END(IBasicVideo);
};

struct IVideoWindow : IUnknown
{
    virtual HRESULT put_Visible(LONG Visible) = 0;
    virtual HRESULT get_Visible(LONG* pVisible) = 0;
    virtual HRESULT put_Owner(OAHWND Owner) = 0;
    virtual HRESULT get_Owner(OAHWND* Owner) = 0;
    virtual HRESULT put_MessageDrain(OAHWND Drain) = 0;
    virtual HRESULT get_MessageDrain(OAHWND* Drain) = 0;
    virtual HRESULT put_AutoShow(LONG AutoShow) = 0;
    virtual HRESULT get_AutoShow(LONG* AutoShow) = 0;
    virtual HRESULT SetWindowPosition(LONG Left, LONG Top, LONG Width, LONG Height) = 0;
    virtual HRESULT GetWindowPosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) = 0;
    MARLIN_INTERFACE_END(IVideoWindow);
};

struct IAsyncReader : IUnknown
{
    virtual HRESULT RequestAllocator(IMemAllocator* pPreferred, ALLOCATOR_PROPERTIES* pProps,
                                     IMemAllocator** ppActual) = 0;
    // Queues a read of the sample's time range (bytes * UNITS as times).
    virtual HRESULT Request(IMediaSample* pSample, DWORD_PTR dwUser) = 0;
    // Waits for a queued request; VFW_E_TIMEOUT after dwTimeout ms,
    // VFW_E_WRONG_STATE while flushing (BeginFlush releases the wait).
    virtual HRESULT WaitForNext(DWORD dwTimeout, IMediaSample** ppSample, DWORD_PTR* pdwUser) = 0;
    virtual HRESULT SyncReadAligned(IMediaSample* pSample) = 0;
    // S_FALSE when fewer than `length` bytes were left.
    virtual HRESULT SyncRead(LONGLONG llPosition, LONG lLength, BYTE* pBuffer) = 0;
    virtual HRESULT Length(LONGLONG* pTotal, LONGLONG* pAvailable) = 0;
    virtual HRESULT BeginFlush() = 0;
    virtual HRESULT EndFlush() = 0;
    MARLIN_INTERFACE_END(IAsyncReader);
};

struct IFileSourceFilter : IUnknown
{
    virtual HRESULT Load(LPCOLESTR pszFileName, const AM_MEDIA_TYPE* pmt) = 0;
    // *ppszFileName gets CoTaskMemAlloc'ed text.
    virtual HRESULT GetCurFile(LPOLESTR* ppszFileName, AM_MEDIA_TYPE* pmt) = 0;
    MARLIN_INTERFACE_END(IFileSourceFilter);
};
