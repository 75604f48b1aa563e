#pragma once
// "LAV Video Decoder" (and "System Video Decoder"): lav::VideoDecoder on the
// transform base. Input: the splitter's compressed video types (or a
// VIDEOINFOHEADER with a FOURCC FFmpeg knows). Output: one uncompressed
// type the capture renderer accepts, the one that fits the decoded picture.
//
// Threads and locks
// - m_csFilter (filter lock): connection, state changes, flush.
// - m_csReceive (streaming lock): Receive, EndOfStream, NewSegment; EndFlush
//   and StopStreaming take it after the filter lock to reset the decoder.
//   Guards m_pDecoder's decoding state and m_outFormat.
// A picture that changes size or layout goes out on a sample that carries
// the new media type; the renderer base takes it before the picture. Until
// a sample carrying it is accepted (not refused by a flush), every picture
// carries it. A
// picture larger than the output buffers first has the agreed allocator
// decommitted, resized and committed again (GrowBuffers, streaming thread).
// m_allocLock orders that against Stop's decommit.
#include <memory>
#include <mutex>

#include "platform/dshow/Transform.h"
#include "platform/lavfilters/core/VideoDecoder.h"

class CLavVideoDecoder : public CTransformFilter
{
public:
    // `clsid` tells the module filter from the system one; same code.
    explicit CLavVideoDecoder(REFCLSID clsid);
    ~CLavVideoDecoder() override;

    HRESULT CheckInputType(const CMediaType* mtIn) override;
    HRESULT CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut) override;
    HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp) override;
    HRESULT GetMediaType(int position, CMediaType* pMediaType) override;
    HRESULT SetMediaType(PIN_DIRECTION direction, const CMediaType* pmt) override;
    HRESULT BreakConnect(PIN_DIRECTION direction) override;
    HRESULT Receive(IMediaSample* pSample) override;
    HRESULT EndOfStream() override;
    HRESULT EndFlush() override;
    HRESULT StopStreaming() override;
    HRESULT Stop() override;
    HRESULT Pause() override;

private:
    void DeliverPicture(lav::DecodedPicture& picture);
    // Hands the picture's own planes to `sample` (IMediaSamplePlanes) when
    // it needs no conversion; false when it is to be copied.
    bool LendPlanes(const lav::DecodedPicture& picture, IMediaSample* sample);
    // Output buffers of at least `need` bytes; the allocator keeps its count.
    HRESULT GrowBuffers(uint32_t need);

    // Under the filter lock while connecting; read by the streaming thread
    // only while connected (a connection change needs the filter stopped).
    std::unique_ptr<lav::VideoDecoder> m_pDecoder;
    // Streaming lock:
    lav::PictureFormat m_outFormat;  // the type downstream has taken
    HRESULT m_hrDeliver = S_OK;      // first delivery failure of a Receive
    bool m_bDiscontinuity = true;    // next output starts after a flush
    LONG m_cbBuffer = 0;             // size of the output buffers now

    Mutex m_allocLock;
    bool m_bStopping GUARDED_BY(m_allocLock) = false;  // stopped or stopping
};
