#include "platform/lavfilters/filters/LavAudioDecoder.h"

#include <algorithm>
#include <cstring>

#include "log/LogWrapper.h"
#include "platform/lavfilters/filters/LavMediaTypes.h"

using lav::AudioFormat;
using lav::CompressedSample;
using lav::DecodedAudio;

CLavAudioDecoder::CLavAudioDecoder(REFCLSID clsid) : CTransformFilter("CLavAudioDecoder", nullptr, clsid) {}

CLavAudioDecoder::~CLavAudioDecoder() = default;

HRESULT CLavAudioDecoder::CheckInputType(const CMediaType* mtIn)
{
    if (!mtIn || mtIn->majortype != MEDIATYPE_Audio) return VFW_E_TYPE_NOT_ACCEPTED;
    auto format = lav::ParseCompressedType(*mtIn);
    if (!format) return VFW_E_TYPE_NOT_ACCEPTED;
    if (!lav::AudioDecoder::Create(*format, nullptr)) return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT CLavAudioDecoder::SetMediaType(PIN_DIRECTION direction, const CMediaType* pmt)
{
    if (direction == PINDIR_INPUT) {
        auto format = lav::ParseCompressedType(*pmt);
        if (!format) return VFW_E_TYPE_NOT_ACCEPTED;
        std::string why;
        auto decoder = lav::AudioDecoder::Create(*format, &why);
        if (!decoder) {
            CLogLine().rec().Advance("CLavAudioDecoder::SetMediaType fail ").Advance(why.c_str()) << LogThis{this};
            return VFW_E_TYPE_NOT_ACCEPTED;
        }
        CAutoLock lock(m_csReceive);
        m_pDecoder = std::move(decoder);
        m_outFormat = m_pDecoder->InitialFormat();
    }
    return S_OK;
}

HRESULT CLavAudioDecoder::BreakConnect(PIN_DIRECTION direction)
{
    if (direction == PINDIR_INPUT) {
        CAutoLock lock(m_csReceive);
        m_pDecoder.reset();
    }
    return S_OK;
}

HRESULT CLavAudioDecoder::GetMediaType(int position, CMediaType* pMediaType)
{
    if (!m_pInput->IsConnected() || !m_pDecoder) return E_UNEXPECTED;
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    *pMediaType = lav::MakeAudioOutputType(m_pDecoder->InitialFormat());
    return S_OK;
}

HRESULT CLavAudioDecoder::CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut)
{
    if (!mtIn || !mtOut || !m_pDecoder) return VFW_E_TYPE_NOT_ACCEPTED;
    const CMediaType offered = lav::MakeAudioOutputType(m_pDecoder->InitialFormat());
    return offered.MatchesExactly(*mtOut) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CLavAudioDecoder::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp)
{
    if (!m_pDecoder) return E_UNEXPECTED;
    const AudioFormat f = m_pDecoder->InitialFormat();
    // About a quarter second per buffer; larger decoded blocks are split.
    // Capped well below the 1 MiB at which the host drops a block of sound,
    // which a quarter second of 8 channels at 384 kHz would pass.
    const LONG quarter = static_cast<LONG>(std::min<uint64_t>(f.AvgBytesPerSec() / 4, kMaxBufferBytes));
    const LONG align = std::max<LONG>(f.BlockAlign(), 1);
    pProp->cBuffers = std::max<LONG>(pProp->cBuffers, 8);
    pProp->cbBuffer = std::max<LONG>(pProp->cbBuffer, std::max<LONG>(quarter, 16384) / align * align);
    pProp->cbAlign = std::max<LONG>(pProp->cbAlign, 1);
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = pAlloc->SetProperties(pProp, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < align ? E_FAIL : S_OK;
}

void CLavAudioDecoder::DeliverBlock(const DecodedAudio& block)
{
    const size_t align = block.format.BlockAlign();
    if (align == 0) return;
    size_t done = 0;
    while (m_hrDeliver == S_OK && done < block.size) {
        IMediaSample* raw = nullptr;
        HRESULT hr = m_pOutput->GetDeliveryBuffer(&raw, nullptr, nullptr, 0);
        if (FAILED(hr)) {
            m_hrDeliver = hr;
            return;
        }
        ComPtr<IMediaSample> out = ComPtr<IMediaSample>::Attach(raw);
        BYTE* data = nullptr;
        out->GetPointer(&data);
        const size_t room = static_cast<size_t>(out->GetSize()) / align * align;
        if (room == 0) {
            m_hrDeliver = E_FAIL;
            return;
        }
        const size_t n = std::min(room, block.size - done);
        std::memcpy(data, block.data + done, n);
        out->SetActualDataLength(static_cast<LONG>(n));
        const bool newType = !(block.format == m_outFormat);
        if (newType) {
            CMediaType mt = lav::MakeAudioOutputType(block.format);
            out->SetMediaType(&mt);
        }
        if (block.times.HasStart()) {
            // Times of this part of the block, from its sample offset.
            const int64_t first = static_cast<int64_t>(done / align), count = static_cast<int64_t>(n / align);
            const int rate = block.format.sampleRate;
            REFERENCE_TIME start = block.times.start + first * UNITS / rate;
            REFERENCE_TIME stop = block.times.start + (first + count) * UNITS / rate;
            out->SetTime(&start, &stop);
        } else {
            out->SetTime(nullptr, nullptr);
        }
        out->SetSyncPoint(TRUE);
        out->SetDiscontinuity(m_bDiscontinuity ? TRUE : FALSE);
        m_bDiscontinuity = false;
        hr = m_pOutput->Deliver(out.Get());
        // Sent only once taken (see CLavVideoDecoder::DeliverPicture).
        if (hr == S_OK && newType) m_outFormat = block.format;
        if (hr != S_OK) m_hrDeliver = hr;
        done += n;
    }
}

HRESULT CLavAudioDecoder::Receive(IMediaSample* pSample)
{
    if (!m_pDecoder) return E_UNEXPECTED;
    BYTE* data = nullptr;
    if (FAILED(pSample->GetPointer(&data))) return S_OK;
    CompressedSample in;
    in.data = data;
    in.size = static_cast<size_t>(std::max<LONG>(pSample->GetActualDataLength(), 0));
    REFERENCE_TIME start = 0, stop = 0;
    HRESULT hrTime = pSample->GetTime(&start, &stop);
    if (SUCCEEDED(hrTime)) {
        in.times.start = start;
        if (hrTime == S_OK) in.times.stop = stop;
    }
    in.syncPoint = pSample->IsSyncPoint() == S_OK;
    in.discontinuity = pSample->IsDiscontinuity() == S_OK;
    m_hrDeliver = S_OK;
    m_pDecoder->Decode(in, [this](const DecodedAudio& block) { DeliverBlock(block); });
    return FAILED(m_hrDeliver) ? m_hrDeliver : S_OK;
}

HRESULT CLavAudioDecoder::EndOfStream()
{
    if (m_pDecoder) {
        m_hrDeliver = S_OK;
        m_pDecoder->EndOfStream([this](const DecodedAudio& block) { DeliverBlock(block); });
    }
    return CTransformFilter::EndOfStream();
}

HRESULT CLavAudioDecoder::EndFlush()
{
    {
        CAutoLock lock(m_csReceive);
        if (m_pDecoder) m_pDecoder->Flush();
        m_bDiscontinuity = true;
    }
    return CTransformFilter::EndFlush();
}

HRESULT CLavAudioDecoder::StopStreaming()
{
    if (m_pDecoder) m_pDecoder->Flush();
    m_bDiscontinuity = true;
    return S_OK;
}
