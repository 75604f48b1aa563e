#pragma once
// CTransformFilter: one input pin "XForm In", one output pin "XForm Out",
// a base for decoders.
//
// The input pin's streaming thread calls Receive, which by default gets an
// output buffer, calls Transform and delivers the result on the same thread.
// A decoder that produces output on its own schedule (or several outputs
// per input) overrides Receive and delivers through
// m_pOutput->GetDeliveryBuffer / Deliver itself.
//
// Threads and locks
// - m_csFilter (the filter lock): state changes, connection, flush.
// - m_csReceive (the streaming lock): held by the input pin around Receive,
//   EndOfStream and NewSegment, and by Stop after the pins have been made
//   inactive, so that StopStreaming never overlaps a Receive.
// - A streaming thread blocked downstream (in GetDeliveryBuffer or in the
//   downstream Receive) is released by the downstream filter's Stop or
//   BeginFlush, and by the decommit of the output allocator in our Stop:
//   the graph stops renderers first.
#include <memory>

#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/PosPassThru.h"

class CTransformFilter;

class CTransformInputPin : public CBaseInputPin
{
public:
    CTransformInputPin(const char* objectName, CTransformFilter* pFilter, HRESULT* phr, LPCWSTR pName);

    HRESULT CheckConnect(IPin* pPin) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin* pReceivePin) override;
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT SetMediaType(const CMediaType* pmt) override;
    HRESULT Receive(IMediaSample* pSample) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

private:
    CTransformFilter* const m_pTransformFilter;
};

class CTransformOutputPin : public CBaseOutputPin
{
public:
    CTransformOutputPin(const char* objectName, CTransformFilter* pFilter, HRESULT* phr, LPCWSTR pName);
    ~CTransformOutputPin() override;

    // IMediaSeeking/IMediaPosition pass upstream through the input pin.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    HRESULT CheckConnect(IPin* pPin) override;
    HRESULT BreakConnect() override;
    HRESULT CompleteConnect(IPin* pReceivePin) override;
    HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp) override;
    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT SetMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int position, CMediaType* pMediaType) override;

private:
    CTransformFilter* const m_pTransformFilter;
    std::unique_ptr<CPosPassThru> m_pPosition;  // made on first request, under the filter lock
};

class CTransformFilter : public CBaseFilter
{
public:
    CTransformFilter(const char* name, IUnknown* pUnk, REFCLSID clsid);
    ~CTransformFilter() override;

    // --- What a transform implements (filter lock held unless noted) ---
    // May the input connect with this type?
    virtual HRESULT CheckInputType(const CMediaType* mtIn) = 0;
    // May this input type become this output type?
    virtual HRESULT CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) = 0;
    // Output buffers for the agreed output type.
    virtual HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp) = 0;
    // Output types offered, once the input is connected; VFW_S_NO_MORE_ITEMS
    // past the end.
    virtual HRESULT GetMediaType(int position, CMediaType* pMediaType) = 0;
    // One input sample into one output sample (default Receive). Streaming
    // thread, streaming lock held.
    virtual HRESULT Transform(IMediaSample* pIn, IMediaSample* pOut);
    // Streaming thread, streaming lock held. The default gets a buffer,
    // copies the sample's properties, calls Transform and delivers; S_FALSE
    // from Transform drops the sample.
    virtual HRESULT Receive(IMediaSample* pSample);
    // The agreed type of a pin (connection, or an input sample's change).
    virtual HRESULT SetMediaType(PIN_DIRECTION direction, const CMediaType* pmt);
    virtual HRESULT CheckConnect(PIN_DIRECTION, IPin*) { return S_OK; }
    virtual HRESULT BreakConnect(PIN_DIRECTION) { return S_OK; }
    virtual HRESULT CompleteConnect(PIN_DIRECTION, IPin*) { return S_OK; }
    // Stopped -> paused and back, filter lock held (StopStreaming also
    // under the streaming lock).
    virtual HRESULT StartStreaming() { return S_OK; }
    virtual HRESULT StopStreaming() { return S_OK; }
    // Streaming-side events; the defaults pass them downstream. EndOfStream
    // and NewSegment come on the streaming thread with the streaming lock;
    // BeginFlush/EndFlush on the flushing thread with the filter lock only.
    virtual HRESULT EndOfStream();
    virtual HRESULT BeginFlush();
    virtual HRESULT EndFlush();
    virtual HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int n) override;
    HRESULT Stop() override;
    HRESULT Pause() override;

    CTransformInputPin* InputPin() { return m_pInput.get(); }
    CTransformOutputPin* OutputPin() { return m_pOutput.get(); }

protected:
    // Copies times, flags and media times of the input to a new output
    // buffer; the caller fills the data.
    HRESULT InitializeOutputSample(IMediaSample* pSample, IMediaSample** ppOutSample);

    friend class CTransformInputPin;
    friend class CTransformOutputPin;
    // The filter lock, then the streaming lock. Both recursive: the pins
    // share the filter lock, and a refused type in Receive ends the stream
    // through EndOfStream, which takes the streaming lock again.
    CCritSec m_csFilter;
    CCritSec m_csReceive ACQUIRED_AFTER(m_csFilter);
    std::unique_ptr<CTransformInputPin> m_pInput;
    std::unique_ptr<CTransformOutputPin> m_pOutput;
    bool m_bEOSDelivered GUARDED_BY(m_csReceive) = false;
};
