#pragma once
// Filter and pin base classes: CBaseFilter, CBasePin, CBaseInputPin,
// CBaseOutputPin, and the pin and media-type enumerators.
//
// Threads and locks
// - The filter lock (CBaseFilter::m_pLock, the "interface lock") guards the
//   filter state, the clock, the graph pointers and every pin's connection
//   (m_pConnected, m_mt, allocator). Graph operations (connect, state
//   changes) take it on the application's thread. A renderer's streaming
//   thread holds it for the whole of a delivery, so IPin::ConnectedTo does
//   not take it: position queries go upstream through ConnectedTo and must
//   never wait behind a sample.
// - Samples, end of stream and new segments arrive on the upstream filter's
//   streaming thread. They do not take the filter lock except where a class
//   says so; a derived filter keeps its own streaming lock when it needs one.
// - BeginFlush/EndFlush arrive on the thread that seeks or stops; they must
//   release any wait of the streaming thread.
//
// Reference counting: pins are parts of their filter. A pin's AddRef and
// Release go to the filter, so a pin pointer keeps the whole filter alive;
// the filter owns and deletes its pins.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dshow/AMEvent.h"
#include "platform/dshow/Allocator.h"
#include "platform/dshow/Interfaces.h"
#include "platform/dshow/MediaType.h"

constexpr HRESULT VFW_S_NO_MORE_ITEMS = MakeHResult(0x00040103);

class CBasePin;

class CBaseFilter : public CUnknown, public IBaseFilter, public IAMFilterMiscFlags
{
public:
    // pLock: the filter lock, owned by the derived class and living as long
    // as the filter.
    CBaseFilter(const char* name, CCritSec* pLock, REFCLSID clsid);
    ~CBaseFilter() override;
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // Pins, numbered from 0; the filter owns them. Called under the filter
    // lock or while the pin set cannot change.
    virtual int GetPinCount() = 0;
    virtual CBasePin* GetPin(int n) = 0;

    // IPersist
    HRESULT GetClassID(CLSID* pClsID) override;
    // IMediaFilter. The base Stop/Pause/Run change m_State under the filter
    // lock and call Inactive/Active/Run on every connected pin.
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME tStart) override;
    HRESULT GetState(DWORD dwMSecs, FILTER_STATE* state) override;
    HRESULT SetSyncSource(IReferenceClock* pClock) override;
    HRESULT GetSyncSource(IReferenceClock** pClock) override;
    // IBaseFilter
    HRESULT EnumPins(IEnumPins** ppEnum) override;
    HRESULT FindPin(LPCWSTR Id, IPin** ppPin) override;
    HRESULT QueryFilterInfo(FILTER_INFO* pInfo) override;
    HRESULT JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
    HRESULT QueryVendorInfo(LPWSTR* pVendorInfo) override;
    // IAMFilterMiscFlags: 0 here; renderers and sources say what they are.
    ULONG GetMiscFlags() override { return 0; }

    // Posts an event to the graph's IMediaEventSink; E_NOTIMPL outside a graph.
    HRESULT NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2);

    bool IsStopped();
    bool IsActive();
    FILTER_STATE StateForTesting();
    CCritSec* FilterLock() const { return m_pLock; }
    // Current stream time: clock time minus the run start (paused: frozen
    // stream time not kept here). VFW_E_NO_CLOCK without a clock.
    HRESULT StreamTime(REFERENCE_TIME* streamTime);

protected:
    CCritSec* const m_pLock;
    const CLSID m_clsid;
    // Written under m_pLock; read without it by streaming threads, which
    // must never wait for the filter lock (a stop holding it may be waiting
    // for them).
    std::atomic<FILTER_STATE> m_State{State_Stopped};
    // Written under m_pLock; renderers read them under their renderer lock
    // too (Renderer.h), which the checker cannot express.
    ComPtr<IReferenceClock> m_pClock;
    REFERENCE_TIME m_tStart = 0;        // stream time zero on the clock
    IFilterGraph* m_pGraph GUARDED_BY(m_pLock) = nullptr;  // weak: the graph owns the filter
    // Weak, the graph's own sink. Atomic: streaming threads post events
    // without the filter lock (a thread joining them may hold it).
    std::atomic<IMediaEventSink*> m_pSink{nullptr};
    std::u16string m_name GUARDED_BY(m_pLock);  // name in the graph
};

class CBasePin : public CBaseObject, public IPin
{
public:
    CBasePin(const char* objectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr, LPCWSTR pinName,
             PIN_DIRECTION dir);
    ~CBasePin() override;

    // References go to the owning filter.
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return NonDelegatingQueryInterface(riid, ppv); }
    ULONG AddRef() override;
    ULONG Release() override;
    virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv);

    // --- Virtuals for derived pins (all called under the filter lock) ---
    // May this pin connect with `pmt`? S_OK yes; anything else no.
    virtual HRESULT CheckMediaType(const CMediaType* pmt) = 0;
    // The type this pin proposes at `position` (0, 1, ...);
    // VFW_S_NO_MORE_ITEMS past the end.
    virtual HRESULT GetMediaType(int position, CMediaType* pMediaType);
    // The type was agreed (on connection, or with a sample that carries a
    // changed type); the base stores it in m_mt. A failure fails the connection.
    virtual HRESULT SetMediaType(const CMediaType* pmt);
    // First check of the other pin, before any type; the base refuses a
    // pin of the same direction.
    virtual HRESULT CheckConnect(IPin* pPin);
    // Undoes CheckConnect/CompleteConnect; called on every failure and on
    // Disconnect.
    virtual HRESULT BreakConnect();
    // Both ends agreed; the output pin decides its allocator here.
    virtual HRESULT CompleteConnect(IPin* pReceivePin);
    // Stopped -> paused (Active) and back to stopped (Inactive).
    virtual HRESULT Active();
    virtual HRESULT Inactive();
    virtual HRESULT Run(REFERENCE_TIME tStart);

    // IPin
    HRESULT Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
    HRESULT ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
    HRESULT Disconnect() override;
    // Takes only m_connectedLock, never the filter lock.
    HRESULT ConnectedTo(IPin** pPin) override;
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    HRESULT QueryPinInfo(PIN_INFO* pInfo) override;
    HRESULT QueryDirection(PIN_DIRECTION* pPinDir) override;
    HRESULT QueryId(LPWSTR* Id) override;
    HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    HRESULT EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
    HRESULT QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
    // Stores the segment; derived pins pass it on.
    HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    bool IsConnected() const { return static_cast<bool>(m_pConnected); }
    IPin* GetConnected() const { return m_pConnected.Get(); }  // not AddRef'd
    const CMediaType& CurrentMediaType() const { return m_mt; }
    // The start of the current segment (NewSegment): sample times on this
    // pin count from it. Streaming thread, or under the filter lock.
    REFERENCE_TIME CurrentStartTime() const { return m_tStart; }
    const std::u16string& Name() const { return m_pinName; }
    PIN_DIRECTION Direction() const { return m_dir; }
    CBaseFilter* Filter() const { return m_pFilter; }

protected:
    // Output pins try their own types first: the output proposes, the
    // input checks.
    HRESULT AgreeMediaType(IPin* pReceivePin, const CMediaType* pmt) REQUIRES(m_pLock);
    HRESULT TryMediaTypes(IPin* pReceivePin, const CMediaType* pmt, IEnumMediaTypes* pEnum) REQUIRES(m_pLock);
    HRESULT AttemptConnection(IPin* pReceivePin, const CMediaType* pmt) REQUIRES(m_pLock);
    // Undoes a failed connection attempt on this end.
    void ClearConnection_Locked() REQUIRES(m_pLock);
    // Sets m_pConnected (null: none). With the filter lock held.
    void SetConnected_Locked(IPin* pin) REQUIRES(m_pLock);

    CBaseFilter* const m_pFilter;  // owner; not reference-counted
    CCritSec* const m_pLock;       // the filter lock
    const std::u16string m_pinName;
    const PIN_DIRECTION m_dir;
    // Written with both m_pLock and m_connectedLock held; read with either.
    ComPtr<IPin> m_pConnected;
    // Held only to copy or replace m_pConnected, never across a call.
    mutable Mutex m_connectedLock ACQUIRED_AFTER(m_pLock);
    // Guarded by m_pLock:
    CMediaType m_mt;
    bool m_bTryMyTypesFirst;
    // Set by NewSegment on the streaming path.
    REFERENCE_TIME m_tStart = 0;
    REFERENCE_TIME m_tStop = 0x7FFFFFFFFFFFFFFFLL;
    double m_dRate = 1.0;
};

class CBaseInputPin : public CBasePin, public IMemInputPin
{
public:
    CBaseInputPin(const char* objectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr, LPCWSTR pinName);
    ~CBaseInputPin() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return NonDelegatingQueryInterface(riid, ppv); }
    ULONG AddRef() override { return CBasePin::AddRef(); }
    ULONG Release() override { return CBasePin::Release(); }
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IMemInputPin. GetAllocator offers a CMemAllocator; NotifyAllocator
    // keeps the one the output pin chose.
    HRESULT GetAllocator(IMemAllocator** ppAllocator) override;
    HRESULT NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override;
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) override;
    // Streaming thread. The base checks that the pin may stream (connected,
    // not flushing, not stopped) and takes a changed media type through
    // CheckMediaType and SetMediaType, without the filter lock (a derived
    // pin that shares the type with other threads holds its own lock around
    // this call). Derived pins call it first and then process the sample.
    // S_FALSE while flushing: the sample is dropped. A refused changed type
    // is a run-time error: EC_ERRORABORT to the graph, then EndOfStream on
    // this pin (which sees CheckStreaming fail with VFW_E_RUNTIME_ERROR).
    HRESULT Receive(IMediaSample* pSample) override;
    HRESULT ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed) override;
    HRESULT ReceiveCanBlock() override { return S_OK; }

    // IPin, input side. The base BeginFlush sets the flushing flag (Receive
    // then refuses samples) and EndFlush clears it; derived pins call them
    // and pass the flush on.
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT EndOfStream() override { return S_OK; }

    // Releases the allocator and clears a run-time error (stop).
    HRESULT Inactive() override;
    HRESULT BreakConnect() override;

    bool IsFlushing() const { return m_bFlushing.load(); }
    // S_OK when samples may be processed now; otherwise the Receive result.
    HRESULT CheckStreaming();

protected:
    ComPtr<IMemAllocator> m_pAllocator;  // guarded by the filter lock
    BOOL m_bReadOnly = FALSE;
    std::atomic<bool> m_bFlushing{false};
    std::atomic<bool> m_bRunTimeError{false};
};

class CBaseOutputPin : public CBasePin
{
public:
    CBaseOutputPin(const char* objectName, CBaseFilter* pFilter, CCritSec* pLock, HRESULT* phr, LPCWSTR pinName);
    ~CBaseOutputPin() override;

    // Allocator sizing for the connection: fill in *pProp and call
    // pAlloc->SetProperties. Called under the filter lock while connecting.
    virtual HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp) = 0;
    // Takes the input pin's allocator if it offers one, else a CMemAllocator.
    virtual HRESULT DecideAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc);

    HRESULT CheckConnect(IPin* pPin) override;
    HRESULT CompleteConnect(IPin* pReceivePin) override;
    HRESULT BreakConnect() override;
    // Commit the allocator on pause, decommit on stop. Decommit releases a
    // streaming thread waiting in GetDeliveryBuffer.
    HRESULT Active() override;
    HRESULT Inactive() override;

    // Streaming thread helpers.
    HRESULT GetDeliveryBuffer(IMediaSample** ppSample, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                              DWORD dwFlags);
    HRESULT Deliver(IMediaSample* pSample);
    HRESULT DeliverEndOfStream();
    HRESULT DeliverBeginFlush();
    HRESULT DeliverEndFlush();
    HRESULT DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

    // Only input pins receive these.
    HRESULT EndOfStream() override { return E_UNEXPECTED; }
    HRESULT BeginFlush() override { return E_UNEXPECTED; }
    HRESULT EndFlush() override { return E_UNEXPECTED; }

protected:
    // Guarded by the filter lock; stable while the filter is not stopped.
    ComPtr<IMemAllocator> m_pAllocator;
    ComPtr<IMemInputPin> m_pInputPin;
};

// Enumerates a filter's pins as they were when the enumerator was made.
class CEnumPins final : public CUnknown, public IEnumPins
{
public:
    explicit CEnumPins(CBaseFilter* filter);
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    HRESULT Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) override;
    HRESULT Skip(ULONG cPins) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumPins** ppEnum) override;

private:
    CEnumPins(const CEnumPins& other, int) : CUnknown("CEnumPins"), m_pins(other.m_pins), m_pos(other.m_pos) {}
    std::vector<ComPtr<IPin>> m_pins;
    size_t m_pos = 0;
};

// Enumerates the types a pin proposes, as they were when it was made.
class CEnumMediaTypes final : public CUnknown, public IEnumMediaTypes
{
public:
    explicit CEnumMediaTypes(CBasePin* pin);
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    HRESULT Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) override;
    HRESULT Skip(ULONG cMediaTypes) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumMediaTypes** ppEnum) override;

private:
    CEnumMediaTypes(const CEnumMediaTypes& other, int)
        : CUnknown("CEnumMediaTypes"), m_types(other.m_types), m_pos(other.m_pos)
    {
    }
    std::vector<CMediaType> m_types;
    size_t m_pos = 0;
};

// Copies UTF-16 text into a fixed WCHAR array, cutting it to fit.
void CopyName(WCHAR* target, size_t capacity, const std::u16string& source);
// A CoTaskMemAlloc'ed copy of the text.
LPWSTR CoTaskMemStrDup(const std::u16string& text);
