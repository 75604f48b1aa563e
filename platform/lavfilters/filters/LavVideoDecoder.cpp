#include "platform/lavfilters/filters/LavVideoDecoder.h"

#include <algorithm>

#include "log/LogWrapper.h"
#include "platform/lavfilters/filters/LavMediaTypes.h"

using lav::CompressedSample;
using lav::DecodedPicture;
using lav::PictureFormat;

namespace {
// The widest SIMD word libswscale reads (AVX-512).
constexpr LONG kPictureAlign = 64;
}  // namespace

CLavVideoDecoder::CLavVideoDecoder(REFCLSID clsid) : CTransformFilter("CLavVideoDecoder", nullptr, clsid) {}

CLavVideoDecoder::~CLavVideoDecoder() = default;

HRESULT CLavVideoDecoder::CheckInputType(const CMediaType* mtIn)
{
    if (!mtIn || mtIn->majortype != MEDIATYPE_Video) return VFW_E_TYPE_NOT_ACCEPTED;
    auto format = lav::ParseCompressedType(*mtIn);
    if (!format) return VFW_E_TYPE_NOT_ACCEPTED;
    // Only what libavcodec can really open.
    std::string why;
    if (!lav::VideoDecoder::Create(*format, {1}, &why)) return VFW_E_TYPE_NOT_ACCEPTED;
    return S_OK;
}

HRESULT CLavVideoDecoder::SetMediaType(PIN_DIRECTION direction, const CMediaType* pmt)
{
    if (direction == PINDIR_INPUT) {
        auto format = lav::ParseCompressedType(*pmt);
        if (!format) return VFW_E_TYPE_NOT_ACCEPTED;
        std::string why;
        auto decoder = lav::VideoDecoder::Create(*format, {}, &why);
        if (!decoder) {
            CLogLine().rec().Advance("CLavVideoDecoder::SetMediaType fail ").Advance(why.c_str()) << LogThis{this};
            return VFW_E_TYPE_NOT_ACCEPTED;
        }
        CAutoLock lock(m_csReceive);
        m_pDecoder = std::move(decoder);
        m_outFormat = m_pDecoder->InitialFormat();
    }
    return S_OK;
}

HRESULT CLavVideoDecoder::BreakConnect(PIN_DIRECTION direction)
{
    if (direction == PINDIR_INPUT) {
        CAutoLock lock(m_csReceive);
        m_pDecoder.reset();
    }
    return S_OK;
}

HRESULT CLavVideoDecoder::GetMediaType(int position, CMediaType* pMediaType)
{
    if (!m_pInput->IsConnected() || !m_pDecoder) return E_UNEXPECTED;
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    *pMediaType = lav::MakeVideoOutputType(m_pDecoder->InitialFormat());
    return S_OK;
}

HRESULT CLavVideoDecoder::CheckTransform(const CMediaType* mtIn, const CMediaType* mtOut)
{
    if (!mtIn || !mtOut || !m_pDecoder) return VFW_E_TYPE_NOT_ACCEPTED;
    const CMediaType offered = lav::MakeVideoOutputType(m_pDecoder->InitialFormat());
    return offered.MatchesExactly(*mtOut) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CLavVideoDecoder::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp)
{
    if (!m_pDecoder) return E_UNEXPECTED;
    // Sized for the picture the stream announces; a larger one later grows
    // the buffers (GrowBuffers). A stream that announces no size yet gets a
    // token buffer and grows at its first picture.
    const uint32_t need = std::max<uint32_t>(m_pDecoder->InitialFormat().ImageSize(), 1);
    if (need > static_cast<uint32_t>(INT32_MAX)) return E_OUTOFMEMORY;
    pProp->cBuffers = std::max<LONG>(pProp->cBuffers, 3);
    pProp->cbBuffer = std::max<LONG>(pProp->cbBuffer, static_cast<LONG>(need));
    // Pictures start on a SIMD word: libswscale then reads them where they
    // lie, instead of the converter first copying each into aligned planes.
    pProp->cbAlign = std::max<LONG>(pProp->cbAlign, kPictureAlign);
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = pAlloc->SetProperties(pProp, &actual);
    if (FAILED(hr)) return hr;
    if (actual.cbBuffer < static_cast<LONG>(need)) return E_FAIL;
    CAutoLock lock(m_csReceive);
    m_cbBuffer = actual.cbBuffer;
    return S_OK;
}

HRESULT CLavVideoDecoder::GrowBuffers(uint32_t need)
{
    if (need > static_cast<uint32_t>(INT32_MAX)) return E_OUTOFMEMORY;
    ComPtr<IMemInputPin> peer;
    IPin* connected = m_pOutput->GetConnected();
    if (!connected || FAILED(connected->QueryInterface(IID_IMemInputPin, peer.ReleaseAndGetVoidAddress())))
        return VFW_E_NOT_CONNECTED;
    // The peer holds the allocator agreed at connection.
    ComPtr<IMemAllocator> alloc;
    HRESULT hr = peer->GetAllocator(alloc.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;

    MutexLock guard(m_allocLock);
    // A stop decommits the allocator for good; recommitting behind it would
    // leave memory committed in a stopped graph.
    if (m_bStopping) return VFW_E_NOT_COMMITTED;
    ALLOCATOR_PROPERTIES old{};
    hr = alloc->GetProperties(&old);
    if (FAILED(hr)) return hr;
    ALLOCATOR_PROPERTIES want = old, actual{};
    want.cbBuffer = static_cast<LONG>(need);
    // Every sample is back: the renderer lets go of each before its Receive
    // returns, so the old memory is freed at once.
    alloc->Decommit();
    hr = alloc->SetProperties(&want, &actual);
    if (SUCCEEDED(hr) && actual.cbBuffer < want.cbBuffer) hr = VFW_E_SIZENOTSET;
    if (SUCCEEDED(hr)) hr = alloc->Commit();
    if (FAILED(hr)) {
        // Back to the old buffers, so smaller pictures still get through.
        alloc->SetProperties(&old, &actual);
        alloc->Commit();
        return hr;
    }
    m_cbBuffer = actual.cbBuffer;
    return S_OK;
}

HRESULT CLavVideoDecoder::Stop()
{
    {
        MutexLock guard(m_allocLock);
        m_bStopping = true;
    }
    return CTransformFilter::Stop();
}

HRESULT CLavVideoDecoder::Pause()
{
    {
        MutexLock guard(m_allocLock);
        m_bStopping = false;
    }
    return CTransformFilter::Pause();
}

void CLavVideoDecoder::DeliverPicture(DecodedPicture& picture)
{
    if (m_hrDeliver != S_OK) return;
    const PictureFormat& f = picture.format;
    HRESULT hr = S_OK;
    if (f.ImageSize() > static_cast<uint32_t>(std::max<LONG>(m_cbBuffer, 0))) {
        // A larger picture than the buffers hold (resolution switch, or a
        // stream that announced a smaller size): bigger buffers first.
        hr = GrowBuffers(f.ImageSize());
        if (FAILED(hr)) {
            CLogLine().rec().Advance("CLavVideoDecoder::Receive cannot grow buffers for ") << f.width
                << LogThis{this};
            m_hrDeliver = hr;
            return;
        }
    }
    IMediaSample* raw = nullptr;
    hr = m_pOutput->GetDeliveryBuffer(&raw, nullptr, nullptr, 0);
    if (FAILED(hr)) {
        m_hrDeliver = hr;
        return;
    }
    ComPtr<IMediaSample> out = ComPtr<IMediaSample>::Attach(raw);
    BYTE* data = nullptr;
    out->GetPointer(&data);
    if (static_cast<uint32_t>(out->GetSize()) < f.ImageSize()) {
        CLogLine().rec().Advance("CLavVideoDecoder::Receive picture too large ") << f.width << LogThis{this};
        m_hrDeliver = E_FAIL;
        return;
    }
    if (!LendPlanes(picture, out.Get()) &&
        !m_pDecoder->CopyPicture(picture, data, static_cast<size_t>(out->GetSize())))
        return;
    out->SetActualDataLength(static_cast<LONG>(f.ImageSize()));
    const bool newType = !(f == m_outFormat);
    if (newType) {
        CMediaType mt = lav::MakeVideoOutputType(f);
        out->SetMediaType(&mt);
    }
    REFERENCE_TIME start = picture.times.start, stop = picture.times.stop;
    if (picture.times.HasStart()) {
        out->SetTime(&start, picture.times.HasStop() ? &stop : nullptr);
    } else {
        out->SetTime(nullptr, nullptr);
    }
    out->SetSyncPoint(picture.keyFrame ? TRUE : FALSE);
    out->SetDiscontinuity(m_bDiscontinuity ? TRUE : FALSE);
    m_bDiscontinuity = false;
    hr = m_pOutput->Deliver(out.Get());
    // The type counts as sent only when the sample carrying it was taken: a
    // flushing renderer refuses the sample before it looks at its type.
    if (hr == S_OK && newType) m_outFormat = f;
    if (hr != S_OK) m_hrDeliver = hr;
}

bool CLavVideoDecoder::LendPlanes(const DecodedPicture& picture, IMediaSample* sample)
{
    // A picture that is already I420 goes out in the decoder's own frame: a
    // consumer that reads planes converts it from there, and only one that
    // asks for the sample's buffer pays for the packed copy.
    SamplePlanes planes;
    int stride[4] = {};
    const uint8_t* data[4] = {};
    if (!lav::VideoDecoder::PlanesOf(picture, data, stride, &planes.count)) return false;
    ComPtr<IMediaSamplePlanes> lend;
    if (FAILED(sample->QueryInterface(IID_IMediaSamplePlanes, lend.ReleaseAndGetVoidAddress()))) return false;
    for (int p = 0; p < planes.count; ++p) {
        planes.data[p] = data[p];
        planes.stride[p] = stride[p];
    }
    // A new reference to the same buffers, no copy of the picture.
    AVFrame* ref = av_frame_clone(picture.frame.get());
    if (!ref) return false;
    std::shared_ptr<const AVFrame> frame(ref, [](const AVFrame* f) {
        AVFrame* owned = const_cast<AVFrame*>(f);
        av_frame_free(&owned);
    });
    const PictureFormat format = picture.format;
    auto pack = [frame, format](BYTE* dst, LONG size) {
        return lav::VideoDecoder::PackPlanes(frame.get(), format, dst, static_cast<size_t>(std::max<LONG>(size, 0)));
    };
    return SUCCEEDED(lend->SetPlanes(planes, frame, std::move(pack)));
}

HRESULT CLavVideoDecoder::Receive(IMediaSample* pSample)
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
    m_pDecoder->Decode(in, [this](DecodedPicture& picture) { DeliverPicture(picture); });
    // A refusing downstream (flushing, stopped) ends this sample quietly.
    return FAILED(m_hrDeliver) ? m_hrDeliver : S_OK;
}

HRESULT CLavVideoDecoder::EndOfStream()
{
    if (m_pDecoder) {
        m_hrDeliver = S_OK;
        m_pDecoder->EndOfStream([this](DecodedPicture& picture) { DeliverPicture(picture); });
    }
    return CTransformFilter::EndOfStream();
}

HRESULT CLavVideoDecoder::EndFlush()
{
    {
        CAutoLock lock(m_csReceive);
        if (m_pDecoder) m_pDecoder->Flush();
        m_bDiscontinuity = true;
    }
    return CTransformFilter::EndFlush();
}

HRESULT CLavVideoDecoder::StopStreaming()
{
    if (m_pDecoder) m_pDecoder->Flush();
    m_bDiscontinuity = true;
    return S_OK;
}
