#pragma once
// CPosPassThru: IMediaSeeking and IMediaPosition of a filter that passes
// every seeking request on to the output pin connected to its input pin,
// so that a seek on the graph reaches the filter that can seek (the
// splitter). CRendererPosPassThru adds the media time of the last sample a
// renderer rendered.
//
// The object is part of its owner: AddRef/Release go to the owner, and
// QueryInterface for anything but the two seeking interfaces too.

#include "platform/dshow/Interfaces.h"
#include "platform/os/Sync.h"

class CPosPassThru : public CBaseObject, public IMediaSeeking, public IMediaPosition
{
public:
    // owner: the filter (or pin) this object is part of. pin: the input pin
    // whose upstream peer receives the requests; not reference-counted.
    CPosPassThru(const char* name, IUnknown* owner, IPin* pin);
    ~CPosPassThru() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return m_pOwner->AddRef(); }
    ULONG Release() override { return m_pOwner->Release(); }

    // IMediaSeeking: everything goes upstream; E_NOTIMPL when the input
    // pin is not connected or its peer does not seek.
    HRESULT GetCapabilities(DWORD* pCapabilities) override;
    HRESULT CheckCapabilities(DWORD* pCapabilities) override;
    HRESULT IsFormatSupported(const GUID* pFormat) override;
    HRESULT QueryPreferredFormat(GUID* pFormat) override;
    HRESULT GetTimeFormat(GUID* pFormat) override;
    HRESULT IsUsingTimeFormat(const GUID* pFormat) override;
    HRESULT SetTimeFormat(const GUID* pFormat) override;
    HRESULT GetDuration(LONGLONG* pDuration) override;
    HRESULT GetStopPosition(LONGLONG* pStop) override;
    HRESULT GetCurrentPosition(LONGLONG* pCurrent) override;
    HRESULT ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                              const GUID* pSourceFormat) override;
    HRESULT SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags) override;
    HRESULT GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override;
    HRESULT GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override;
    HRESULT SetRate(double dRate) override;
    HRESULT GetRate(double* pdRate) override;
    HRESULT GetPreroll(LONGLONG* pllPreroll) override;

    // IMediaPosition, in seconds, on top of the peer's IMediaSeeking.
    HRESULT get_Duration(REFTIME* plength) override;
    HRESULT put_CurrentPosition(REFTIME llTime) override;
    HRESULT get_CurrentPosition(REFTIME* pllTime) override;
    HRESULT get_StopTime(REFTIME* pllTime) override;
    HRESULT put_StopTime(REFTIME llTime) override;
    HRESULT get_PrerollTime(REFTIME* pllTime) override;
    HRESULT put_PrerollTime(REFTIME llTime) override;
    HRESULT put_Rate(double dRate) override;
    HRESULT get_Rate(double* pdRate) override;
    HRESULT CanSeekForward(LONG* pCanSeekForward) override;
    HRESULT CanSeekBackward(LONG* pCanSeekBackward) override;

protected:
    HRESULT GetPeerSeeking(ComPtr<IMediaSeeking>* peer);

    IUnknown* const m_pOwner;
    IPin* const m_pPin;
};

class CRendererPosPassThru final : public CPosPassThru
{
public:
    CRendererPosPassThru(const char* name, IUnknown* owner, IPin* pin) : CPosPassThru(name, owner, pin) {}

    // Called on the streaming thread for every rendered sample.
    HRESULT RegisterMediaTime(IMediaSample* pSample) EXCLUDES(m_lock);
    HRESULT ResetMediaTime() EXCLUDES(m_lock);
    // The media time of the last rendered sample; VFW_E_MEDIA_TIME_NOT_SET
    // before any.
    HRESULT GetMediaTime(LONGLONG* pStartTime, LONGLONG* pEndTime) EXCLUDES(m_lock);
    // The last rendered sample's media time when known, else the peer's.
    HRESULT GetCurrentPosition(LONGLONG* pCurrent) override;

private:
    Mutex m_lock;  // a leaf lock
    bool m_bReset GUARDED_BY(m_lock) = true;
    LONGLONG m_StartMedia GUARDED_BY(m_lock) = 0;
    LONGLONG m_EndMedia GUARDED_BY(m_lock) = 0;
};
