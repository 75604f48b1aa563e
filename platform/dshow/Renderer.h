#pragma once
// CBaseRenderer: a filter with one input pin "In" that renders every sample
// when it is due on the graph's reference clock.
//
// States (m_State with the preroll flag and the pending item):
//
//            Pause()                  first sample / EOS
//  Stopped ---------> Paused, waiting ---------------------> Paused, holding
//     ^                 (GetState says                    (GetState S_OK;
//     |                  INTERMEDIATE)                     the sample waits)
//     |                                                          |
//     |   Stop(): discards the sample and any EOS       Run(tStart)
//     +-------------------------------------------------- Running <+
//                                                            |
//                 flush: discards, paused renderers wait     | sample due:
//                 for a new first sample                     | DoRenderSample
//
// A sample in Receive is held (m_pMediaSample) until it is rendered or
// discarded; Receive does not return before then, so there is at most one
// sample outstanding. Receive and EndOfStream come from one streaming thread
// at a time, EndOfStream after the last Receive has returned. End of stream
// is held the same way inside EndOfStream until the last sample's end time;
// then EC_COMPLETE goes to the graph, once until the next stop or flush.
// A sample whose changed type is refused ends the stream at once:
// EC_ERRORABORT, then EC_COMPLETE with the error, so that the graph's
// playback still completes; samples are refused until a stop or flush.
//
// Threads and locks
// - m_InterfaceLock (the filter lock): state changes and connection on the
//   application's thread; also held by the streaming thread while it
//   renders, so a state change waits for a render in progress.
// - m_RendererLock: the pending sample, the end-of-stream flags and the
//   advise cookie; taken after m_InterfaceLock, never the other way round.
// - The streaming thread waits for a sample's time without any lock, on
//   m_RenderEvent, until the clock sets it (an advise) or, on the system
//   clock, until the sample's time (m_tWakeAt). Stop, BeginFlush, Pause
//   and Run set that event; the waiter then looks again at the state under
//   the locks ("unlock"). This is how every wait of this class is released.
// - GetState waits, without locks, on m_evStateComplete for the first
//   sample of a pause; the sample, end of stream, Run and Stop set it.
#include <atomic>
#include <memory>

#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/PosPassThru.h"

class CBaseRenderer;

class CRendererInputPin : public CBaseInputPin
{
public:
    CRendererInputPin(CBaseRenderer* pRenderer, HRESULT* phr, LPCWSTR pinName);

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT SetMediaType(const CMediaType* pmt) override;
    HRESULT CompleteConnect(IPin* pReceivePin) override;
    HRESULT BreakConnect() override;
    HRESULT Receive(IMediaSample* pSample) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    // The base pin's checks and type change, for the renderer.
    HRESULT BaseReceive(IMediaSample* pSample) { return CBaseInputPin::Receive(pSample); }

private:
    CBaseRenderer* const m_pRenderer;
};

class CBaseRenderer : public CBaseFilter
{
public:
    // pUnk must be null (no aggregation). *phr is left alone on success.
    CBaseRenderer(REFCLSID clsid, const char* name, IUnknown* pUnk, HRESULT* phr);
    ~CBaseRenderer() override;

    // IMediaSeeking and IMediaPosition come from the pass-through object.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // --- What a renderer implements ---
    // Connection and changed-type check; S_OK accepts. Application thread
    // while connecting; streaming thread for a sample with a changed type.
    // Both locks held.
    virtual HRESULT CheckMediaType(const CMediaType* pmt) = 0;
    // The agreed type, after CheckMediaType accepted it; same threads and
    // locks. A failure fails the connection (or the sample).
    virtual HRESULT SetMediaType(const CMediaType* pmt);
    // Hand the sample over; streaming thread, both locks held, called only
    // while running and when the sample is due.
    virtual HRESULT DoRenderSample(IMediaSample* pMediaSample) = 0;
    // The first sample arrived while paused (it is now held); streaming
    // thread, both locks held.
    virtual void OnReceiveFirstSample(IMediaSample*) {}
    virtual HRESULT CompleteConnect(IPin*) { return S_OK; }
    virtual HRESULT BreakConnect() { return S_OK; }

    // IBaseFilter
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME tStart) override;
    // VFW_S_STATE_INTERMEDIATE while paused and waiting for the first sample.
    HRESULT GetState(DWORD dwMSecs, FILTER_STATE* state) override;
    ULONG GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }

    // Streaming side, entered through the input pin.
    HRESULT Receive(IMediaSample* pSample);
    HRESULT EndOfStream();
    HRESULT BeginFlush();
    HRESULT EndFlush();

    CRendererInputPin* InputPin() { return m_pInputPin.get(); }
    bool IsEndOfStreamDelivered();

protected:
    // The renderer interface lock is its filter lock (m_pLock); the renderer
    // lock guards the streaming side and is taken after it. Both recursive:
    // a refused type in Receive ends the stream through EndOfStream, which
    // takes both again.
    CCritSec m_InterfaceLock;
    CCritSec m_RendererLock ACQUIRED_AFTER(m_InterfaceLock);

private:
    // `wakeWaiter`: a streaming thread may already be waiting (Run), and
    // must look at a timed wake-up that it does not know yet.
    HRESULT ScheduleSample_Locked(bool wakeWaiter = false) REQUIRES(m_RendererLock);
    void CancelNotification_Locked() REQUIRES(m_RendererLock);
    // Sample and EOS go; the waiter is woken.
    void DiscardPending_Locked() REQUIRES(m_RendererLock);
    bool IsDue_Locked(bool hasTime, REFERENCE_TIME streamTime) REQUIRES(m_RendererLock);
    HRESULT WaitForRenderTime(uint64_t serial, bool isEndOfStream);

    std::unique_ptr<CRendererInputPin> m_pInputPin;
    std::unique_ptr<CRendererPosPassThru> m_pPosition;
    CAMEvent m_RenderEvent{false};        // auto-reset: wakes the streaming thread
    CAMEvent m_evStateComplete{true};     // manual: set unless pausing without a sample

    ComPtr<IMediaSample> m_pMediaSample GUARDED_BY(m_RendererLock);  // the sample waiting in Receive
    bool m_bSampleHasTime GUARDED_BY(m_RendererLock) = false;
    REFERENCE_TIME m_tSampleStart GUARDED_BY(m_RendererLock) = 0;
    bool m_bEOS GUARDED_BY(m_RendererLock) = false;                  // end of stream received, not yet discarded
    bool m_bEOSDelivered GUARDED_BY(m_RendererLock) = false;         // EC_COMPLETE sent since the last stop/flush
    bool m_bLastEndValid GUARDED_BY(m_RendererLock) = false;
    REFERENCE_TIME m_tLastEnd GUARDED_BY(m_RendererLock) = 0;        // end time of the last sample received
    uint64_t m_nSerial GUARDED_BY(m_RendererLock) = 0;  // changes whenever the pending item goes
    DWORD_PTR m_dwAdvise GUARDED_BY(m_RendererLock) = 0;             // clock advise for the pending item
    ComPtr<IReferenceClock> m_pAdviseClock GUARDED_BY(m_RendererLock);  // the clock m_dwAdvise belongs to
    // On the system clock the streaming thread times its own wait until
    // this system time (100 ns) instead of asking the clock's timer thread
    // to set the event: one thread woken per sample, not two. 0: none.
    // Written under m_RendererLock, read by the waiter without it.
    std::atomic<REFERENCE_TIME> m_tWakeAt{0};
};
