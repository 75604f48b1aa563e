#pragma once
// "LAV Audio Decoder" (and "System Audio Decoder"): lav::AudioDecoder on the
// transform base. Input: the splitter's compressed audio types, or a
// WAVEFORMATEX of another source (the system WAVE parser: MS-ADPCM, µ-law,
// A-law, PCM). Output: interleaved PCM, wFormatTag 1, 16-bit (8-bit for
// unsigned 8-bit sources) at the source's rate and channel count.
//
// Locks as in CLavVideoDecoder: the streaming lock m_csReceive guards the
// decoder's state and m_outFormat; EndFlush/StopStreaming take it after the
// filter lock.
#include <memory>

#include "platform/dshow/Transform.h"
#include "platform/lavfilters/core/AudioDecoder.h"

class CLavAudioDecoder : public CTransformFilter
{
public:
    explicit CLavAudioDecoder(REFCLSID clsid);
    ~CLavAudioDecoder() override;

    // Largest output block; decoded audio beyond it goes out in parts.
    static constexpr uint32_t kMaxBufferBytes = 256u << 10;

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

private:
    void DeliverBlock(const lav::DecodedAudio& block);

    std::unique_ptr<lav::AudioDecoder> m_pDecoder;  // see CLavVideoDecoder
    // Streaming lock:
    lav::AudioFormat m_outFormat;  // the type downstream has taken
    HRESULT m_hrDeliver = S_OK;
    bool m_bDiscontinuity = true;
};
