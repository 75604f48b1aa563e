#pragma once
// IMediaSeeking for objects that only ever speak reference time
// (TIME_FORMAT_MEDIA_TIME, 100 ns units): the format queries, the capability
// check and the identity time conversion are the same for all of them; the
// positions, the duration and the rate stay with the object.

#include "platform/dshow/Interfaces.h"

// What a file source can do: seek anywhere and report where it is and ends.
inline constexpr DWORD kSourceSeekingCaps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                                            AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetCurrentPos |
                                            AM_SEEKING_CanGetStopPos | AM_SEEKING_CanGetDuration;

class CMediaTimeSeeking : public IMediaSeeking
{
public:
    // Keeps the asked bits that GetCapabilities offers: S_OK when all of
    // them, S_FALSE when some, E_FAIL when none.
    HRESULT CheckCapabilities(DWORD* pCapabilities) final
    {
        if (!pCapabilities) return E_POINTER;
        DWORD mine = 0;
        GetCapabilities(&mine);
        const DWORD asked = *pCapabilities;
        *pCapabilities &= mine;
        return *pCapabilities == asked ? S_OK : (*pCapabilities ? S_FALSE : E_FAIL);
    }
    HRESULT IsFormatSupported(const GUID* pFormat) final
    {
        if (!pFormat) return E_POINTER;
        return *pFormat == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
    }
    HRESULT QueryPreferredFormat(GUID* pFormat) final
    {
        if (!pFormat) return E_POINTER;
        *pFormat = TIME_FORMAT_MEDIA_TIME;
        return S_OK;
    }
    HRESULT GetTimeFormat(GUID* pFormat) final { return QueryPreferredFormat(pFormat); }
    HRESULT IsUsingTimeFormat(const GUID* pFormat) final { return IsFormatSupported(pFormat); }
    HRESULT SetTimeFormat(const GUID* pFormat) final
    {
        if (!pFormat) return E_POINTER;
        return *pFormat == TIME_FORMAT_MEDIA_TIME ? S_OK : E_INVALIDARG;
    }
    // A null format means the current one, which is always media time.
    HRESULT ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                              const GUID* pSourceFormat) final
    {
        if (!pTarget) return E_POINTER;
        const bool targetOk = !pTargetFormat || *pTargetFormat == TIME_FORMAT_MEDIA_TIME;
        const bool sourceOk = !pSourceFormat || *pSourceFormat == TIME_FORMAT_MEDIA_TIME;
        if (!targetOk || !sourceOk) return E_INVALIDARG;
        *pTarget = Source;
        return S_OK;
    }
};
