#include "playback/NullRenderer.h"

#include <cstring>

namespace {

struct SubtypeCode
{
    const GUID* subtype;
    int32_t code;
};

// The accepted picture subtypes, in the order they are tested.
const SubtypeCode kVideoSubtypes[] = {
    {&MEDIASUBTYPE_RGB24, ColorSpace::RGB24}, {&MEDIASUBTYPE_YUY2, ColorSpace::YUY2},
    {&MEDIASUBTYPE_I420, ColorSpace::I420},   {&MEDIASUBTYPE_IYUV, ColorSpace::IYUV},
    {&MEDIASUBTYPE_UYVY, ColorSpace::UYVY},   {&MEDIASUBTYPE_YVU9, ColorSpace::YVU9},
    {&MEDIASUBTYPE_RGB32, ColorSpace::RGB32}, {&MEDIASUBTYPE_RGB565, ColorSpace::RGB565},
    {&MEDIASUBTYPE_RGB555, ColorSpace::RGB555}, {&MEDIASUBTYPE_YV12, ColorSpace::YV12},
    {&MEDIASUBTYPE_NV12, ColorSpace::NV12},
};

const SubtypeCode* FindVideoSubtype(const GUID& subtype)
{
    for (const SubtypeCode& entry : kVideoSubtypes)
        if (*entry.subtype == subtype) return &entry;
    return nullptr;
}

// The bytes a wave format must have for the fields read here: everything of
// WAVEFORMATEX up to and including wBitsPerSample.
constexpr ULONG kPcmFieldsSize = offsetof(WAVEFORMATEX, cbSize);

bool HasPcmFormat(const CMediaType& mt)
{
    if (mt.formattype != FORMAT_WaveFormatEx || !mt.pbFormat || mt.cbFormat < kPcmFieldsSize) return false;
    WORD tag = 0;
    std::memcpy(&tag, mt.pbFormat + offsetof(WAVEFORMATEX, wFormatTag), sizeof(tag));
    return tag == WAVE_FORMAT_PCM;
}

// A picture header block that is present and as long as its format type
// says. Other format types are not judged here.
bool VideoFormatBlockFits(const CMediaType& mt)
{
    if (mt.formattype == FORMAT_VideoInfo) return mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER);
    if (mt.formattype == FORMAT_VideoInfo2) return mt.pbFormat && mt.cbFormat >= sizeof(VIDEOINFOHEADER2);
    return true;
}

// The range and matrix a VIDEOINFOHEADER2 tells in its dwControlFlags;
// limited-range BT.601 for anything else or anything unknown.
PictureColour ColourOf(const CMediaType& mt)
{
    PictureColour colour;
    if (mt.formattype != FORMAT_VideoInfo2) return colour;
    DWORD flags = 0;
    std::memcpy(&flags, mt.pbFormat + offsetof(VIDEOINFOHEADER2, dwControlFlags), sizeof(flags));
    if (!(flags & AMCONTROL_COLORINFO_PRESENT)) return colour;
    if ((flags >> DXVA_NominalRangeShift & DXVA_ExtendedFieldMask) == DXVA_NominalRange_0_255)
        colour.range = ColourRange::Full;
    switch (flags >> DXVA_VideoTransferMatrixShift & DXVA_ExtendedFieldMask) {
    case DXVA_VideoTransferMatrix_BT709: colour.matrix = ColourMatrix::BT709; break;
    case DXVA_VideoTransferMatrix_SMPTE240M: colour.matrix = ColourMatrix::SMPTE240M; break;
    case DXVA_VideoTransferMatrix_BT2020: colour.matrix = ColourMatrix::BT2020; break;
    case DXVA_VideoTransferMatrix_FCC: colour.matrix = ColourMatrix::FCC; break;
    default: break;
    }
    return colour;
}

}  // namespace

CNullRenderer::CNullRenderer(IRendererDataSink* sink, int role, HRESULT* phr)
    : CBaseRenderer(GUID_NULL, "CNullRenderer", nullptr, phr),
      m_bVideo(role != 0 ? 1 : 0),
      m_bFormatKnown(false),
      m_pSink(sink),
      m_format{}
{
}

CNullRenderer::~CNullRenderer() = default;

HRESULT CNullRenderer::CheckMediaType(const CMediaType* pmt)
{
    if (!pmt) return E_INVALIDARG;
    if (m_bVideo) {
        if (pmt->majortype != MEDIATYPE_Video) return E_INVALIDARG;
        if (!FindVideoSubtype(pmt->subtype)) return E_INVALIDARG;
        if (!VideoFormatBlockFits(*pmt)) return E_INVALIDARG;
        return S_OK;
    }
    if (pmt->majortype != MEDIATYPE_Audio || !HasPcmFormat(*pmt)) return E_INVALIDARG;
    return S_OK;
}

HRESULT CNullRenderer::SetMediaType(const CMediaType* pmt)
{
    if (!pmt) return E_INVALIDARG;
    if (!m_bVideo) {
        if (pmt->majortype != MEDIATYPE_Audio || !HasPcmFormat(*pmt)) return E_INVALIDARG;
        WAVEFORMATEX wfx{};
        std::memcpy(&wfx, pmt->pbFormat, std::min<size_t>(pmt->cbFormat, sizeof(wfx)));
        m_format.sampleRate = static_cast<int32_t>(wfx.nSamplesPerSec);
        m_format.channels = wfx.nChannels;
        m_format.bitsPerSample = wfx.wBitsPerSample;
        m_bFormatKnown = true;
        return S_OK;
    }

    if (pmt->majortype != MEDIATYPE_Video) return S_OK;
    BITMAPINFOHEADER bmi{};
    if (pmt->formattype == FORMAT_VideoInfo) {
        if (!VideoFormatBlockFits(*pmt)) return E_INVALIDARG;
        std::memcpy(&bmi, pmt->pbFormat + offsetof(VIDEOINFOHEADER, bmiHeader), sizeof(bmi));
    } else if (pmt->formattype == FORMAT_VideoInfo2) {
        if (!VideoFormatBlockFits(*pmt)) return E_INVALIDARG;
        std::memcpy(&bmi, pmt->pbFormat + offsetof(VIDEOINFOHEADER2, bmiHeader), sizeof(bmi));
    } else {
        return E_ACCESSDENIED;
    }
    m_format.width = bmi.biWidth;
    m_format.height = bmi.biHeight;
    m_bFormatKnown = true;
    if (const SubtypeCode* entry = FindVideoSubtype(pmt->subtype)) m_format.colorSpace = entry->code;
    if (m_pSink) m_pSink->OnPictureColour(ColourOf(*pmt));
    return S_OK;
}

void CNullRenderer::OnReceiveFirstSample(IMediaSample* pMediaSample)
{
    if (!pMediaSample || !m_bFormatKnown || !m_pSink) return;
    BYTE* data = nullptr;
    pMediaSample->GetPointer(&data);
    m_pSink->OnSamplePreroll(m_bVideo != 0, &m_format, data, pMediaSample->GetActualDataLength());
}

HRESULT CNullRenderer::DoRenderSample(IMediaSample* pMediaSample)
{
    if (!pMediaSample || !m_bFormatKnown || !m_pSink) return S_FALSE;
    // Sample times count from the segment start, which is where the source
    // began (0) or landed after a seek, on the file's time line.
    SampleStamp stamp;
    REFERENCE_TIME start = 0, stop = 0;
    if (SUCCEEDED(pMediaSample->GetTime(&start, &stop))) {
        stamp.hasTime = true;
        stamp.start = InputPin()->CurrentStartTime() + start;
    }
    stamp.discontinuity = pMediaSample->IsDiscontinuity() == S_OK;
    stamp.syncPoint = pMediaSample->IsSyncPoint() == S_OK;
    // An I420 picture still in its decoder's frame is read from there; the
    // sample's buffer would first have to be filled with a packed copy.
    if (m_bVideo && m_format.colorSpace == ColorSpace::I420) {
        ComPtr<IMediaSamplePlanes> lent;
        SamplePlanes planes;
        if (SUCCEEDED(pMediaSample->QueryInterface(IID_IMediaSamplePlanes, lent.ReleaseAndGetVoidAddress())) &&
            lent->GetPlanes(&planes) == S_OK && planes.count == 3) {
            PicturePlanes picture;
            for (int p = 0; p < 3; ++p) {
                picture.data[p] = planes.data[p];
                picture.stride[p] = planes.stride[p];
            }
            if (m_pSink->OnPictureReceive(&m_format, picture, stamp)) return S_OK;
        }
    }
    BYTE* data = nullptr;
    pMediaSample->GetPointer(&data);
    m_pSink->OnSampleReceive(m_bVideo != 0, &m_format, data, pMediaSample->GetActualDataLength(), stamp);
    return S_OK;
}
