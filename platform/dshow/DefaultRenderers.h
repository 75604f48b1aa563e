#pragma once
// The system's default renderers. They consume samples on the graph's
// clock like any renderer but show and play nothing.
//
// CDefaultVideoRenderer ("Video Renderer"): MEDIATYPE_Video in one of the
// eleven decoded picture subtypes with a VIDEOINFOHEADER or VIDEOINFOHEADER2
// block; offers IVideoWindow (a window
// that is never drawn; its properties are kept) and IBasicVideo (native
// size and frame time from the connected type).
// CDefaultAudioRenderer ("Default DirectSound Device"): MEDIATYPE_Audio
// with a WAVEFORMATEX block; offers IBasicAudio (volume and balance kept).
#include "platform/dshow/Renderer.h"

class CDefaultVideoRenderer final : public CBaseRenderer, public IVideoWindow, public IBasicVideo
{
public:
    CDefaultVideoRenderer();
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT SetMediaType(const CMediaType* pmt) override;
    HRESULT DoRenderSample(IMediaSample*) override { return S_OK; }

    // IVideoWindow
    HRESULT put_Visible(LONG Visible) override;
    HRESULT get_Visible(LONG* pVisible) override;
    HRESULT put_Owner(OAHWND Owner) override;
    HRESULT get_Owner(OAHWND* Owner) override;
    HRESULT put_MessageDrain(OAHWND Drain) override;
    HRESULT get_MessageDrain(OAHWND* Drain) override;
    HRESULT put_AutoShow(LONG AutoShow) override;
    HRESULT get_AutoShow(LONG* AutoShow) override;
    HRESULT SetWindowPosition(LONG Left, LONG Top, LONG Width, LONG Height) override;
    HRESULT GetWindowPosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) override;
    // IBasicVideo; VFW_E_NOT_CONNECTED before the input is connected.
    HRESULT get_AvgTimePerFrame(REFTIME* pAvgTimePerFrame) override;
    HRESULT get_BitRate(LONG* pBitRate) override;
    HRESULT get_BitErrorRate(LONG* pBitErrorRate) override;
    HRESULT get_VideoWidth(LONG* pVideoWidth) override;
    HRESULT get_VideoHeight(LONG* pVideoHeight) override;
    HRESULT GetVideoSize(LONG* pWidth, LONG* pHeight) override;
    HRESULT GetSourcePosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) override;
    HRESULT GetDestinationPosition(LONG* pLeft, LONG* pTop, LONG* pWidth, LONG* pHeight) override;

private:
    // All guarded by the filter lock.
    bool m_bHaveFormat = false;
    LONG m_width = 0, m_height = 0;  // native size; height without sign
    REFERENCE_TIME m_avgTimePerFrame = 0;
    DWORD m_bitRate = 0, m_bitErrorRate = 0;
    LONG m_visible = OATRUE, m_autoShow = OATRUE;
    OAHWND m_owner = 0, m_drain = 0;
    RECT m_window{0, 0, 0, 0};
};

class CDefaultAudioRenderer final : public CBaseRenderer, public IBasicAudio
{
public:
    CDefaultAudioRenderer();
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT DoRenderSample(IMediaSample*) override { return S_OK; }

    // Volume in hundredths of a decibel, -10000..0; balance -10000..10000.
    HRESULT put_Volume(LONG lVolume) override;
    HRESULT get_Volume(LONG* plVolume) override;
    HRESULT put_Balance(LONG lBalance) override;
    HRESULT get_Balance(LONG* plBalance) override;

private:
    LONG m_volume = 0;   // filter lock
    LONG m_balance = 0;  // filter lock
};
