#pragma once
// Helpers for AM_MEDIA_TYPE and CMediaType, the structure with an owned
// format block.
#include "platform/dshow/DShowTypes.h"

// Deep copy; the target's own format block is not freed first.
HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source);
// Frees the format block (and pUnk) and clears them.
void FreeMediaType(AM_MEDIA_TYPE& mt);
// A CoTaskMemAlloc'ed deep copy, null on failure; free with DeleteMediaType.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source);
void DeleteMediaType(AM_MEDIA_TYPE* pmt);

// A media type that owns its format block; copies are deep.
class CMediaType : public AM_MEDIA_TYPE
{
public:
    CMediaType();
    explicit CMediaType(const GUID& majortype);
    CMediaType(const AM_MEDIA_TYPE& other);
    CMediaType(const CMediaType& other);
    CMediaType(CMediaType&& other) noexcept;
    ~CMediaType();
    CMediaType& operator=(const AM_MEDIA_TYPE& other);
    CMediaType& operator=(const CMediaType& other);
    CMediaType& operator=(CMediaType&& other) noexcept;

    bool operator==(const CMediaType& other) const;
    bool IsValid() const { return majortype != GUID_NULL; }
    // Same major, sub and format type and the same format bytes.
    bool MatchesExactly(const AM_MEDIA_TYPE& other) const;
    // Every GUID_NULL field of `partial` counts as a wildcard.
    bool MatchesPartial(const AM_MEDIA_TYPE* partial) const;
    bool IsPartiallySpecified() const;

    void InitMediaType();  // frees the format, zeroes, sample size 1, fixed
    void SetType(const GUID& t) { majortype = t; }
    void SetSubtype(const GUID& t) { subtype = t; }
    void SetFormatType(const GUID& t) { formattype = t; }
    void SetSampleSize(ULONG size);
    void SetVariableSize() { bFixedSizeSamples = FALSE; }
    void SetTemporalCompression(BOOL b) { bTemporalCompression = b; }
    // Replaces the format block with a copy of `length` bytes.
    bool SetFormat(const BYTE* format, ULONG length);
    // Replaces the format block with `length` zeroed bytes; null on failure.
    BYTE* AllocFormatBuffer(ULONG length);
    void ResetFormatBuffer();
    BYTE* Format() const { return pbFormat; }
    ULONG FormatLength() const { return cbFormat; }
};
