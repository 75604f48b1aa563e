#include "platform/dshow/PosPassThru.h"

#include <cmath>

CPosPassThru::CPosPassThru(const char* name, IUnknown* owner, IPin* pin)
    : CBaseObject(name), m_pOwner(owner), m_pPin(pin)
{
}

CPosPassThru::~CPosPassThru() = default;

HRESULT CPosPassThru::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (riid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
    if (riid == IID_IMediaPosition) return GetInterface(static_cast<IMediaPosition*>(this), ppv);
    return m_pOwner->QueryInterface(riid, ppv);
}

HRESULT CPosPassThru::GetPeerSeeking(ComPtr<IMediaSeeking>* peer)
{
    ComPtr<IPin> connected;
    if (FAILED(m_pPin->ConnectedTo(connected.ReleaseAndGetAddressOf())) || !connected) return E_NOTIMPL;
    if (FAILED(connected.As(peer)) || !*peer) return E_NOTIMPL;
    return S_OK;
}

#define MARLIN_PASS_THROUGH(call)                     \
    ComPtr<IMediaSeeking> peer;                       \
    HRESULT hr = GetPeerSeeking(&peer);               \
    if (FAILED(hr)) return hr;                        \
    return peer->call

HRESULT CPosPassThru::GetCapabilities(DWORD* p) { MARLIN_PASS_THROUGH(GetCapabilities(p)); }
HRESULT CPosPassThru::CheckCapabilities(DWORD* p) { MARLIN_PASS_THROUGH(CheckCapabilities(p)); }
HRESULT CPosPassThru::IsFormatSupported(const GUID* p) { MARLIN_PASS_THROUGH(IsFormatSupported(p)); }
HRESULT CPosPassThru::QueryPreferredFormat(GUID* p) { MARLIN_PASS_THROUGH(QueryPreferredFormat(p)); }
HRESULT CPosPassThru::GetTimeFormat(GUID* p) { MARLIN_PASS_THROUGH(GetTimeFormat(p)); }
HRESULT CPosPassThru::IsUsingTimeFormat(const GUID* p) { MARLIN_PASS_THROUGH(IsUsingTimeFormat(p)); }
HRESULT CPosPassThru::SetTimeFormat(const GUID* p) { MARLIN_PASS_THROUGH(SetTimeFormat(p)); }
HRESULT CPosPassThru::GetDuration(LONGLONG* p) { MARLIN_PASS_THROUGH(GetDuration(p)); }
HRESULT CPosPassThru::GetStopPosition(LONGLONG* p) { MARLIN_PASS_THROUGH(GetStopPosition(p)); }
HRESULT CPosPassThru::GetCurrentPosition(LONGLONG* p) { MARLIN_PASS_THROUGH(GetCurrentPosition(p)); }
HRESULT CPosPassThru::ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                        const GUID* pSourceFormat)
{
    MARLIN_PASS_THROUGH(ConvertTimeFormat(pTarget, pTargetFormat, Source, pSourceFormat));
}
HRESULT CPosPassThru::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags)
{
    MARLIN_PASS_THROUGH(SetPositions(pCurrent, dwCurrentFlags, pStop, dwStopFlags));
}
HRESULT CPosPassThru::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop)
{
    MARLIN_PASS_THROUGH(GetPositions(pCurrent, pStop));
}
HRESULT CPosPassThru::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest)
{
    MARLIN_PASS_THROUGH(GetAvailable(pEarliest, pLatest));
}
HRESULT CPosPassThru::SetRate(double dRate) { MARLIN_PASS_THROUGH(SetRate(dRate)); }
HRESULT CPosPassThru::GetRate(double* pdRate) { MARLIN_PASS_THROUGH(GetRate(pdRate)); }
HRESULT CPosPassThru::GetPreroll(LONGLONG* p) { MARLIN_PASS_THROUGH(GetPreroll(p)); }

#undef MARLIN_PASS_THROUGH

namespace {
REFTIME ToSeconds(LONGLONG t) { return static_cast<REFTIME>(t) / UNITS; }
LONGLONG FromSeconds(REFTIME s) { return static_cast<LONGLONG>(std::llround(s * UNITS)); }
}  // namespace

HRESULT CPosPassThru::get_Duration(REFTIME* plength)
{
    if (!plength) return E_POINTER;
    LONGLONG d = 0;
    HRESULT hr = GetDuration(&d);
    if (SUCCEEDED(hr)) *plength = ToSeconds(d);
    return hr;
}

HRESULT CPosPassThru::put_CurrentPosition(REFTIME llTime)
{
    LONGLONG t = FromSeconds(llTime);
    return SetPositions(&t, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
}

HRESULT CPosPassThru::get_CurrentPosition(REFTIME* pllTime)
{
    if (!pllTime) return E_POINTER;
    LONGLONG t = 0;
    HRESULT hr = GetCurrentPosition(&t);
    if (SUCCEEDED(hr)) *pllTime = ToSeconds(t);
    return hr;
}

HRESULT CPosPassThru::get_StopTime(REFTIME* pllTime)
{
    if (!pllTime) return E_POINTER;
    LONGLONG t = 0;
    HRESULT hr = GetStopPosition(&t);
    if (SUCCEEDED(hr)) *pllTime = ToSeconds(t);
    return hr;
}

HRESULT CPosPassThru::put_StopTime(REFTIME llTime)
{
    LONGLONG t = FromSeconds(llTime);
    return SetPositions(nullptr, AM_SEEKING_NoPositioning, &t, AM_SEEKING_AbsolutePositioning);
}

HRESULT CPosPassThru::get_PrerollTime(REFTIME* pllTime)
{
    if (!pllTime) return E_POINTER;
    LONGLONG t = 0;
    HRESULT hr = GetPreroll(&t);
    if (SUCCEEDED(hr)) *pllTime = ToSeconds(t);
    return hr;
}

HRESULT CPosPassThru::put_PrerollTime(REFTIME) { return E_NOTIMPL; }
HRESULT CPosPassThru::put_Rate(double dRate) { return SetRate(dRate); }
HRESULT CPosPassThru::get_Rate(double* pdRate) { return GetRate(pdRate); }

HRESULT CPosPassThru::CanSeekForward(LONG* p)
{
    if (!p) return E_POINTER;
    DWORD caps = 0;
    HRESULT hr = GetCapabilities(&caps);
    *p = (SUCCEEDED(hr) && (caps & AM_SEEKING_CanSeekForwards)) ? OATRUE : OAFALSE;
    return S_OK;
}

HRESULT CPosPassThru::CanSeekBackward(LONG* p)
{
    if (!p) return E_POINTER;
    DWORD caps = 0;
    HRESULT hr = GetCapabilities(&caps);
    *p = (SUCCEEDED(hr) && (caps & AM_SEEKING_CanSeekBackwards)) ? OATRUE : OAFALSE;
    return S_OK;
}

HRESULT CRendererPosPassThru::RegisterMediaTime(IMediaSample* pSample)
{
    LONGLONG start = 0, end = 0;
    if (!pSample || FAILED(pSample->GetMediaTime(&start, &end))) return S_FALSE;
    MutexLock guard(m_lock);
    m_StartMedia = start;
    m_EndMedia = end;
    m_bReset = false;
    return S_OK;
}

HRESULT CRendererPosPassThru::ResetMediaTime()
{
    MutexLock guard(m_lock);
    m_bReset = true;
    m_StartMedia = m_EndMedia = 0;
    return S_OK;
}

HRESULT CRendererPosPassThru::GetMediaTime(LONGLONG* pStartTime, LONGLONG* pEndTime)
{
    if (!pStartTime) return E_POINTER;
    MutexLock guard(m_lock);
    if (m_bReset) return VFW_E_MEDIA_TIME_NOT_SET;
    *pStartTime = m_StartMedia;
    if (pEndTime) *pEndTime = m_EndMedia;
    return S_OK;
}

HRESULT CRendererPosPassThru::GetCurrentPosition(LONGLONG* pCurrent)
{
    if (!pCurrent) return E_POINTER;
    LONGLONG end = 0;
    if (SUCCEEDED(GetMediaTime(pCurrent, &end))) return S_OK;
    return CPosPassThru::GetCurrentPosition(pCurrent);
}
