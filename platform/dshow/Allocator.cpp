#include "platform/dshow/Allocator.h"

#include "platform/dshow/MediaType.h"

CMediaSample::CMediaSample(CBaseAllocator* allocator, BYTE* buffer, LONG length)
    : CBaseObject("CMediaSample"), m_pAllocator(allocator), m_pBuffer(buffer), m_cbBuffer(length)
{
}

CMediaSample::~CMediaSample() { DeleteMediaType(m_pMediaType); }

HRESULT CMediaSample::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IMediaSample) return GetInterface(static_cast<IMediaSample*>(this), ppv);
    if (riid == IID_IMediaSamplePlanes) return GetInterface(static_cast<IMediaSamplePlanes*>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CMediaSample::AddRef() { return static_cast<ULONG>(m_cRef.fetch_add(1) + 1); }

ULONG CMediaSample::Release()
{
    long left = m_cRef.fetch_sub(1) - 1;
    if (left == 0) m_pAllocator->ReleaseBuffer(this);  // may free this sample; touch nothing after
    return static_cast<ULONG>(left);
}

HRESULT CMediaSample::GetPointer(BYTE** ppBuffer)
{
    if (!ppBuffer) return E_POINTER;
    if (m_pack) {
        const auto pack = std::move(m_pack);
        m_pack = nullptr;
        if (!pack(m_pBuffer, m_cbBuffer)) m_lActual = 0;  // nothing readable came of it
    }
    *ppBuffer = m_pBuffer;
    return S_OK;
}

HRESULT CMediaSample::GetPlanes(SamplePlanes* pPlanes)
{
    if (!pPlanes) return E_POINTER;
    if (m_planes.count == 0) return S_FALSE;
    *pPlanes = m_planes;
    return S_OK;
}

HRESULT CMediaSample::SetPlanes(const SamplePlanes& planes, std::shared_ptr<const void> owner,
                                std::function<bool(BYTE*, LONG)> pack)
{
    if (planes.count < 1 || planes.count > 4 || !owner || !pack) return E_INVALIDARG;
    m_planes = planes;
    m_pPlanesOwner = std::move(owner);
    m_pack = std::move(pack);
    return S_OK;
}

HRESULT CMediaSample::GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd)
{
    if (!pTimeStart || !pTimeEnd) return E_POINTER;
    if (!(m_dwFlags & kTimeValid)) return VFW_E_SAMPLE_TIME_NOT_SET;
    *pTimeStart = m_Start;
    if (!(m_dwFlags & kStopValid)) {
        *pTimeEnd = m_Start + 1;
        return VFW_S_NO_STOP_TIME;
    }
    *pTimeEnd = m_End;
    return S_OK;
}

HRESULT CMediaSample::SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd)
{
    m_dwFlags &= ~(kTimeValid | kStopValid);
    if (!pTimeStart) return S_OK;
    m_Start = *pTimeStart;
    m_dwFlags |= kTimeValid;
    if (pTimeEnd) {
        m_End = *pTimeEnd;
        m_dwFlags |= kStopValid;
    }
    return S_OK;
}

HRESULT CMediaSample::SetActualDataLength(LONG length)
{
    if (length < 0 || length > m_cbBuffer) return VFW_E_BUFFER_OVERFLOW;
    m_lActual = length;
    return S_OK;
}

HRESULT CMediaSample::GetMediaType(AM_MEDIA_TYPE** ppMediaType)
{
    if (!ppMediaType) return E_POINTER;
    *ppMediaType = nullptr;
    if (!(m_dwFlags & kTypeChanged) || !m_pMediaType) return S_FALSE;
    *ppMediaType = CreateMediaType(m_pMediaType);
    return *ppMediaType ? S_OK : E_OUTOFMEMORY;
}

HRESULT CMediaSample::SetMediaType(AM_MEDIA_TYPE* pMediaType)
{
    DeleteMediaType(m_pMediaType);
    m_pMediaType = nullptr;
    m_dwFlags &= ~kTypeChanged;
    if (!pMediaType) return S_OK;
    m_pMediaType = CreateMediaType(pMediaType);
    if (!m_pMediaType) return E_OUTOFMEMORY;
    m_dwFlags |= kTypeChanged;
    return S_OK;
}

HRESULT CMediaSample::GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd)
{
    if (!pTimeStart || !pTimeEnd) return E_POINTER;
    if (!(m_dwFlags & kMediaTimeValid)) return VFW_E_MEDIA_TIME_NOT_SET;
    *pTimeStart = m_MediaStart;
    *pTimeEnd = m_MediaEnd;
    return S_OK;
}

HRESULT CMediaSample::SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd)
{
    if (!pTimeStart) {
        m_dwFlags &= ~kMediaTimeValid;
        return S_OK;
    }
    if (!pTimeEnd) return E_POINTER;
    m_MediaStart = *pTimeStart;
    m_MediaEnd = *pTimeEnd;
    m_dwFlags |= kMediaTimeValid;
    return S_OK;
}

void CMediaSample::ResetProperties()
{
    m_lActual = 0;
    m_dwFlags = 0;
    m_Start = m_End = m_MediaStart = m_MediaEnd = 0;
    DeleteMediaType(m_pMediaType);
    m_pMediaType = nullptr;
    m_planes = {};
    m_pPlanesOwner.reset();
    m_pack = nullptr;
}

CBaseAllocator::CBaseAllocator(const char* name) : CUnknown(name) {}

CBaseAllocator::~CBaseAllocator() = default;

HRESULT CBaseAllocator::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IMemAllocator) return GetInterface(static_cast<IMemAllocator*>(this), ppv);
    return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CBaseAllocator::SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual)
{
    if (!pRequest || !pActual) return E_POINTER;
    MutexLock guard(m_lock);
    if (m_bCommitted) return VFW_E_ALREADY_COMMITTED;
    if (m_bAllocated && m_free.size() != m_samples.size()) return VFW_E_BUFFERS_OUTSTANDING;
    LONG align = pRequest->cbAlign == 0 ? 1 : pRequest->cbAlign;
    if (align < 0 || (align & (align - 1)) != 0) return VFW_E_BADALIGN;
    if (pRequest->cBuffers < 0 || pRequest->cbBuffer < 0 || pRequest->cbPrefix < 0) return E_INVALIDARG;
    m_props = *pRequest;
    m_props.cbAlign = align;
    *pActual = m_props;
    return S_OK;
}

HRESULT CBaseAllocator::GetProperties(ALLOCATOR_PROPERTIES* pProps)
{
    if (!pProps) return E_POINTER;
    MutexLock guard(m_lock);
    *pProps = m_props;
    return S_OK;
}

HRESULT CBaseAllocator::Commit()
{
    MutexLock guard(m_lock);
    if (m_bCommitted) return S_OK;
    if (m_props.cBuffers <= 0 || m_props.cbBuffer <= 0) return VFW_E_SIZENOTSET;
    m_bDecommitInProgress = false;
    if (!m_bAllocated) {
        HRESULT hr = Alloc_Locked();
        if (FAILED(hr)) return hr;
        m_bAllocated = true;
    }
    m_bCommitted = true;
    return S_OK;
}

HRESULT CBaseAllocator::Decommit()
{
    MutexLock guard(m_lock);
    if (!m_bCommitted) return S_OK;
    m_bCommitted = false;
    if (m_bAllocated && m_free.size() == m_samples.size()) {
        Free_Locked();
        m_bAllocated = false;
    } else if (m_bAllocated) {
        m_bDecommitInProgress = true;
    }
    m_cvFree.notify_all();  // releases every GetBuffer waiter
    return S_OK;
}

HRESULT CBaseAllocator::GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                                  DWORD dwFlags)
{
    if (!ppBuffer) return E_POINTER;
    *ppBuffer = nullptr;
    CMediaSample* sample = nullptr;
    {
        MutexUniqueLock guard(m_lock);
        for (;;) {
            if (!m_bCommitted) return VFW_E_NOT_COMMITTED;
            if (!m_free.empty()) break;
            if (dwFlags & AM_GBF_NOWAIT) return VFW_E_TIMEOUT;
            guard.Wait(m_cvFree);
        }
        sample = m_free.back();
        m_free.pop_back();
        sample->m_cRef.store(1);
    }
    NonDelegatingAddRef();  // the loaned sample keeps us alive
    sample->SetTime(pStartTime, pStartTime ? pEndTime : nullptr);
    *ppBuffer = sample;
    return S_OK;
}

HRESULT CBaseAllocator::ReleaseBuffer(IMediaSample* pBuffer)
{
    if (!pBuffer) return E_POINTER;
    auto* sample = static_cast<CMediaSample*>(pBuffer);
    {
        MutexLock guard(m_lock);
        sample->ResetProperties();
        m_free.push_back(sample);
        if (m_bDecommitInProgress && m_free.size() == m_samples.size()) {
            Free_Locked();
            m_bAllocated = false;
            m_bDecommitInProgress = false;
        }
        m_cvFree.notify_one();
    }
    NonDelegatingRelease();  // may delete this allocator
    return S_OK;
}

LONG CBaseAllocator::SamplesOutstanding()
{
    MutexLock guard(m_lock);
    return static_cast<LONG>(m_samples.size() - m_free.size());
}

CMemAllocator::~CMemAllocator()
{
    MutexLock guard(m_lock);
    Free_Locked();
}

HRESULT CMemAllocator::Alloc_Locked()
{
    const size_t align = static_cast<size_t>(m_props.cbAlign);
    size_t stride = static_cast<size_t>(m_props.cbPrefix) + static_cast<size_t>(m_props.cbBuffer);
    stride = (stride + align - 1) / align * align;
    const size_t total = stride * static_cast<size_t>(m_props.cBuffers) + align;
    m_pMemory.reset(new (std::nothrow) BYTE[total]);
    if (!m_pMemory) return E_OUTOFMEMORY;
    auto base = reinterpret_cast<uintptr_t>(m_pMemory.get());
    BYTE* first = m_pMemory.get() + ((align - base % align) % align);
    m_samples.clear();
    m_free.clear();
    for (LONG i = 0; i < m_props.cBuffers; ++i) {
        BYTE* buffer = first + static_cast<size_t>(i) * stride + static_cast<size_t>(m_props.cbPrefix);
        m_samples.push_back(std::make_unique<CMediaSample>(this, buffer, m_props.cbBuffer));
        m_free.push_back(m_samples.back().get());
    }
    return S_OK;
}

void CMemAllocator::Free_Locked()
{
    m_free.clear();
    m_samples.clear();
    m_pMemory.reset();
}
