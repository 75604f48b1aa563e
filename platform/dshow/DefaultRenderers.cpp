#include "platform/dshow/DefaultRenderers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

// ---------------------------------------------------------------- video

CDefaultVideoRenderer::CDefaultVideoRenderer() : CBaseRenderer(CLSID_VideoRenderer, "CDefaultVideoRenderer", nullptr, nullptr)
{
}

HRESULT CDefaultVideoRenderer::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IVideoWindow) return GetInterface(static_cast<IVideoWindow*>(this), ppv);
    if (riid == IID_IBasicVideo) return GetInterface(static_cast<IBasicVideo*>(this), ppv);
    return CBaseRenderer::NonDelegatingQueryInterface(riid, ppv);
}

namespace {
// Pictures it takes: decoded ones only, never a compressed stream.
const GUID* const kPictureSubtypes[] = {&MEDIASUBTYPE_RGB24, &MEDIASUBTYPE_YUY2,  &MEDIASUBTYPE_I420,
                                        &MEDIASUBTYPE_IYUV,  &MEDIASUBTYPE_UYVY,  &MEDIASUBTYPE_YVU9,
                                        &MEDIASUBTYPE_RGB32, &MEDIASUBTYPE_RGB565, &MEDIASUBTYPE_RGB555,
                                        &MEDIASUBTYPE_YV12,  &MEDIASUBTYPE_NV12};
}  // namespace

HRESULT CDefaultVideoRenderer::CheckMediaType(const CMediaType* pmt)
{
    if (pmt->majortype != MEDIATYPE_Video) return E_INVALIDARG;
    if (std::none_of(std::begin(kPictureSubtypes), std::end(kPictureSubtypes),
                     [&](const GUID* s) { return *s == pmt->subtype; }))
        return E_INVALIDARG;
    if (pmt->formattype == FORMAT_VideoInfo && pmt->pbFormat && pmt->cbFormat >= sizeof(VIDEOINFOHEADER)) return S_OK;
    if (pmt->formattype == FORMAT_VideoInfo2 && pmt->pbFormat && pmt->cbFormat >= sizeof(VIDEOINFOHEADER2)) return S_OK;
    return E_INVALIDARG;
}

HRESULT CDefaultVideoRenderer::SetMediaType(const CMediaType* pmt)
{
    if (CheckMediaType(pmt) != S_OK) return E_INVALIDARG;
    BITMAPINFOHEADER bmi{};
    if (pmt->formattype == FORMAT_VideoInfo) {
        VIDEOINFOHEADER vih{};
        std::memcpy(&vih, pmt->pbFormat, sizeof(vih));
        bmi = vih.bmiHeader;
        m_avgTimePerFrame = vih.AvgTimePerFrame;
        m_bitRate = vih.dwBitRate;
        m_bitErrorRate = vih.dwBitErrorRate;
    } else {
        VIDEOINFOHEADER2 vih{};
        std::memcpy(&vih, pmt->pbFormat, sizeof(vih));
        bmi = vih.bmiHeader;
        m_avgTimePerFrame = vih.AvgTimePerFrame;
        m_bitRate = vih.dwBitRate;
        m_bitErrorRate = vih.dwBitErrorRate;
    }
    m_width = bmi.biWidth;
    m_height = bmi.biHeight < 0 ? -bmi.biHeight : bmi.biHeight;
    m_bHaveFormat = true;
    return S_OK;
}

HRESULT CDefaultVideoRenderer::put_Visible(LONG Visible)
{
    if (Visible != OATRUE && Visible != OAFALSE) return E_INVALIDARG;
    CAutoLock lock(m_InterfaceLock);
    m_visible = Visible;
    return S_OK;
}

HRESULT CDefaultVideoRenderer::get_Visible(LONG* pVisible)
{
    if (!pVisible) return E_POINTER;
    CAutoLock lock(m_InterfaceLock);
    *pVisible = m_visible;
    return S_OK;
}

HRESULT CDefaultVideoRenderer::put_Owner(OAHWND Owner)
{
    CAutoLock lock(m_InterfaceLock);
    m_owner = Owner;
    return S_OK;
}

HRESULT CDefaultVideoRenderer::get_Owner(OAHWND* Owner)
{
    if (!Owner) return E_POINTER;
    CAutoLock lock(m_InterfaceLock);
    *Owner = m_owner;
    return S_OK;
}

HRESULT CDefaultVideoRenderer::put_MessageDrain(OAHWND Drain)
{
    CAutoLock lock(m_InterfaceLock);
    m_drain = Drain;
    return S_OK;
}

HRESULT CDefaultVideoRenderer::get_MessageDrain(OAHWND* Drain)
{
    if (!Drain) return E_POINTER;
    CAutoLock lock(m_InterfaceLock);
    *Drain = m_drain;
    return S_OK;
}

HRESULT CDefaultVideoRenderer::put_AutoShow(LONG AutoShow)
{
    CAutoLock lock(m_InterfaceLock);
    m_autoShow = AutoShow;
    return S_OK;
}

HRESULT CDefaultVideoRenderer::get_AutoShow(LONG* AutoShow)
{
    if (!AutoShow) return E_POINTER;
    CAutoLock lock(m_InterfaceLock);
    *AutoShow = m_autoShow;
    return S_OK;
}

HRESULT CDefaultVideoRenderer::SetWindowPosition(LONG Left, LONG Top, LONG Width, LONG Height)
{
    if (Width < 0 || Height < 0) return E_INVALIDARG;
    CAutoLock lock(m_InterfaceLock);
    m_window = RECT{Left, Top, Left + Width, Top + Height};
    return S_OK;
}

HRESULT CDefaultVideoRenderer::GetWindowPosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight)
{
    if (!pLeft || !pTop || !pWidth || !pHeight) return E_POINTER;
    CAutoLock lock(m_InterfaceLock);
    *pLeft = m_window.left;
    *pTop = m_window.top;
    *pWidth = m_window.right - m_window.left;
    *pHeight = m_window.bottom - m_window.top;
    return S_OK;
}

HRESULT CDefaultVideoRenderer::get_AvgTimePerFrame(REFTIME* p)
{
    if (!p) return E_POINTER;
    CAutoLock lock(m_InterfaceLock);
    if (!m_bHaveFormat) return VFW_E_NOT_CONNECTED;
    *p = static_cast<REFTIME>(m_avgTimePerFrame) / UNITS;
    return S_OK;
}

HRESULT CDefaultVideoRenderer::get_BitRate(LONG* p)
{
    if (!p) return E_POINTER;
    CAutoLock lock(m_InterfaceLock);
    if (!m_bHaveFormat) return VFW_E_NOT_CONNECTED;
    *p = static_cast<LONG>(m_bitRate);
    return S_OK;
}

HRESULT CDefaultVideoRenderer::get_BitErrorRate(LONG* p)
{
    if (!p) return E_POINTER;
    CAutoLock lock(m_InterfaceLock);
    if (!m_bHaveFormat) return VFW_E_NOT_CONNECTED;
    *p = static_cast<LONG>(m_bitErrorRate);
    return S_OK;
}

HRESULT CDefaultVideoRenderer::get_VideoWidth(LONG* p)
{
    LONG h = 0;
    return GetVideoSize(p, &h);
}

HRESULT CDefaultVideoRenderer::get_VideoHeight(LONG* p)
{
    LONG w = 0;
    return GetVideoSize(&w, p);
}

HRESULT CDefaultVideoRenderer::GetVideoSize(LONG* pWidth, LONG* pHeight)
{
    if (!pWidth || !pHeight) return E_POINTER;
    CAutoLock lock(m_InterfaceLock);
    if (!m_bHaveFormat) return VFW_E_NOT_CONNECTED;
    *pWidth = m_width;
    *pHeight = m_height;
    return S_OK;
}

HRESULT CDefaultVideoRenderer::GetSourcePosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight)
{
    if (!pLeft || !pTop) return E_POINTER;
    HRESULT hr = GetVideoSize(pWidth, pHeight);
    if (SUCCEEDED(hr)) *pLeft = *pTop = 0;
    return hr;
}

HRESULT CDefaultVideoRenderer::GetDestinationPosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight)
{
    return GetSourcePosition(pLeft, pTop, pWidth, pHeight);
}

// ---------------------------------------------------------------- audio

CDefaultAudioRenderer::CDefaultAudioRenderer()
    : CBaseRenderer(CLSID_DSoundRender, "CDefaultAudioRenderer", nullptr, nullptr)
{
}

HRESULT CDefaultAudioRenderer::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IBasicAudio) return GetInterface(static_cast<IBasicAudio*>(this), ppv);
    return CBaseRenderer::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CDefaultAudioRenderer::CheckMediaType(const CMediaType* pmt)
{
    if (pmt->majortype != MEDIATYPE_Audio || pmt->formattype != FORMAT_WaveFormatEx) return E_INVALIDARG;
    if (!pmt->pbFormat || pmt->cbFormat < offsetof(WAVEFORMATEX, cbSize)) return E_INVALIDARG;
    WAVEFORMATEX wfx{};
    std::memcpy(&wfx, pmt->pbFormat, std::min<size_t>(pmt->cbFormat, sizeof(wfx)));
    if (wfx.nChannels == 0 || wfx.nSamplesPerSec == 0) return E_INVALIDARG;
    switch (wfx.wFormatTag) {
    case WAVE_FORMAT_PCM:
    case WAVE_FORMAT_IEEE_FLOAT:
    case WAVE_FORMAT_EXTENSIBLE:
        return S_OK;
    default:
        return E_INVALIDARG;
    }
}

HRESULT CDefaultAudioRenderer::put_Volume(LONG lVolume)
{
    if (lVolume < -10000 || lVolume > 0) return E_INVALIDARG;
    CAutoLock lock(m_InterfaceLock);
    m_volume = lVolume;
    return S_OK;
}

HRESULT CDefaultAudioRenderer::get_Volume(LONG* p)
{
    if (!p) return E_POINTER;
    CAutoLock lock(m_InterfaceLock);
    *p = m_volume;
    return S_OK;
}

HRESULT CDefaultAudioRenderer::put_Balance(LONG lBalance)
{
    if (lBalance < -10000 || lBalance > 10000) return E_INVALIDARG;
    CAutoLock lock(m_InterfaceLock);
    m_balance = lBalance;
    return S_OK;
}

HRESULT CDefaultAudioRenderer::get_Balance(LONG* p)
{
    if (!p) return E_POINTER;
    CAutoLock lock(m_InterfaceLock);
    *p = m_balance;
    return S_OK;
}
