#include "platform/dshow/MediaType.h"

#include <cstring>

HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source)
{
    if (!target || !source) return E_POINTER;
    if (target == source) return S_OK;
    *target = *source;
    if (source->cbFormat && source->pbFormat) {
        target->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source->cbFormat));
        if (!target->pbFormat) {
            target->cbFormat = 0;
            return E_OUTOFMEMORY;
        }
        std::memcpy(target->pbFormat, source->pbFormat, source->cbFormat);
    } else {
        target->pbFormat = nullptr;
        target->cbFormat = 0;
    }
    if (target->pUnk) target->pUnk->AddRef();
    return S_OK;
}

void FreeMediaType(AM_MEDIA_TYPE& mt)
{
    if (mt.pbFormat) CoTaskMemFree(mt.pbFormat);
    mt.pbFormat = nullptr;
    mt.cbFormat = 0;
    if (mt.pUnk) mt.pUnk->Release();
    mt.pUnk = nullptr;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* source)
{
    if (!source) return nullptr;
    auto* pmt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!pmt) return nullptr;
    if (FAILED(CopyMediaType(pmt, source))) {
        CoTaskMemFree(pmt);
        return nullptr;
    }
    return pmt;
}

void DeleteMediaType(AM_MEDIA_TYPE* pmt)
{
    if (!pmt) return;
    FreeMediaType(*pmt);
    CoTaskMemFree(pmt);
}

CMediaType::CMediaType() : AM_MEDIA_TYPE{} { InitMediaType(); }

CMediaType::CMediaType(const GUID& type) : CMediaType() { majortype = type; }

CMediaType::CMediaType(const AM_MEDIA_TYPE& other) : AM_MEDIA_TYPE{}
{
    if (FAILED(CopyMediaType(this, &other))) InitMediaType();
}

CMediaType::CMediaType(const CMediaType& other) : CMediaType(static_cast<const AM_MEDIA_TYPE&>(other)) {}

CMediaType::CMediaType(CMediaType&& other) noexcept : AM_MEDIA_TYPE(other)
{
    other.pbFormat = nullptr;
    other.cbFormat = 0;
    other.pUnk = nullptr;
}

CMediaType::~CMediaType() { FreeMediaType(*this); }

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& other)
{
    if (&other != this) {
        AM_MEDIA_TYPE copy{};
        if (FAILED(CopyMediaType(&copy, &other))) return *this;
        FreeMediaType(*this);
        static_cast<AM_MEDIA_TYPE&>(*this) = copy;
    }
    return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& other)
{
    return *this = static_cast<const AM_MEDIA_TYPE&>(other);
}

CMediaType& CMediaType::operator=(CMediaType&& other) noexcept
{
    if (&other != this) {
        FreeMediaType(*this);
        static_cast<AM_MEDIA_TYPE&>(*this) = other;
        other.pbFormat = nullptr;
        other.cbFormat = 0;
        other.pUnk = nullptr;
    }
    return *this;
}

bool CMediaType::MatchesExactly(const AM_MEDIA_TYPE& other) const
{
    if (majortype != other.majortype || subtype != other.subtype || formattype != other.formattype ||
        cbFormat != other.cbFormat)
        return false;
    return cbFormat == 0 || std::memcmp(pbFormat, other.pbFormat, cbFormat) == 0;
}

bool CMediaType::operator==(const CMediaType& other) const { return MatchesExactly(other); }

bool CMediaType::MatchesPartial(const AM_MEDIA_TYPE* partial) const
{
    if (!partial) return true;
    if (partial->majortype != GUID_NULL && partial->majortype != majortype) return false;
    if (partial->subtype != GUID_NULL && partial->subtype != subtype) return false;
    if (partial->formattype != GUID_NULL) {
        if (partial->formattype != formattype) return false;
        if (partial->cbFormat != cbFormat) return false;
        if (cbFormat && std::memcmp(partial->pbFormat, pbFormat, cbFormat) != 0) return false;
    }
    return true;
}

bool CMediaType::IsPartiallySpecified() const
{
    return majortype == GUID_NULL || subtype == GUID_NULL || formattype == GUID_NULL;
}

void CMediaType::InitMediaType()
{
    FreeMediaType(*this);
    static_cast<AM_MEDIA_TYPE&>(*this) = AM_MEDIA_TYPE{};
    lSampleSize = 1;
    bFixedSizeSamples = TRUE;
}

void CMediaType::SetSampleSize(ULONG size)
{
    if (size == 0) {
        SetVariableSize();
    } else {
        bFixedSizeSamples = TRUE;
        lSampleSize = size;
    }
}

bool CMediaType::SetFormat(const BYTE* format, ULONG length)
{
    BYTE* buffer = AllocFormatBuffer(length);
    if (length && !buffer) return false;
    if (length) std::memcpy(buffer, format, length);
    return true;
}

BYTE* CMediaType::AllocFormatBuffer(ULONG length)
{
    ResetFormatBuffer();
    if (length == 0) return nullptr;
    pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(length));
    if (!pbFormat) return nullptr;
    std::memset(pbFormat, 0, length);
    cbFormat = length;
    return pbFormat;
}

void CMediaType::ResetFormatBuffer()
{
    if (pbFormat) CoTaskMemFree(pbFormat);
    pbFormat = nullptr;
    cbFormat = 0;
}
