#pragma once
// Media samples and the memory allocator that lends them out.
//
// A sample belongs to its allocator. GetBuffer hands one out with one
// reference; when the last reference goes, the sample returns to the
// allocator's free list, its flags, times and media type cleared. Every
// sample out on loan holds a reference on the allocator.
#include <condition_variable>
#include <memory>
#include <vector>

#include "platform/dshow/Interfaces.h"
#include "platform/os/Sync.h"

class CBaseAllocator;

class CMediaSample final : public CBaseObject, public IMediaSample, public IMediaSamplePlanes
{
public:
    CMediaSample(CBaseAllocator* allocator, BYTE* buffer, LONG length);
    ~CMediaSample() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    // The last release hands the sample back to its allocator.
    ULONG Release() override;

    HRESULT GetPointer(BYTE** ppBuffer) override;
    LONG GetSize() override { return m_cbBuffer; }
    HRESULT GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
    HRESULT SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
    HRESULT IsSyncPoint() override { return Flag(kSyncPoint); }
    HRESULT SetSyncPoint(BOOL b) override { return SetFlag(kSyncPoint, b); }
    HRESULT IsPreroll() override { return Flag(kPreroll); }
    HRESULT SetPreroll(BOOL b) override { return SetFlag(kPreroll, b); }
    LONG GetActualDataLength() override { return m_lActual; }
    HRESULT SetActualDataLength(LONG length) override;
    HRESULT GetMediaType(AM_MEDIA_TYPE** ppMediaType) override;
    HRESULT SetMediaType(AM_MEDIA_TYPE* pMediaType) override;
    HRESULT IsDiscontinuity() override { return Flag(kDiscontinuity); }
    HRESULT SetDiscontinuity(BOOL b) override { return SetFlag(kDiscontinuity, b); }
    HRESULT GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;
    HRESULT SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;

    // IMediaSamplePlanes: GetPointer packs lent planes before it answers.
    HRESULT GetPlanes(SamplePlanes* pPlanes) override;
    HRESULT SetPlanes(const SamplePlanes& planes, std::shared_ptr<const void> owner,
                      std::function<bool(BYTE*, LONG)> pack) override;

private:
    friend class CBaseAllocator;
    enum : DWORD {
        kSyncPoint = 0x1,
        kPreroll = 0x2,
        kDiscontinuity = 0x4,
        kTypeChanged = 0x8,
        kTimeValid = 0x10,
        kStopValid = 0x20,
        kMediaTimeValid = 0x40,
    };
    HRESULT Flag(DWORD f) const { return (m_dwFlags & f) ? S_OK : S_FALSE; }
    HRESULT SetFlag(DWORD f, BOOL on)
    {
        m_dwFlags = on ? (m_dwFlags | f) : (m_dwFlags & ~f);
        return S_OK;
    }
    void ResetProperties();  // back to a clean, empty sample

    CBaseAllocator* const m_pAllocator;
    BYTE* const m_pBuffer;
    const LONG m_cbBuffer;
    std::atomic<long> m_cRef{0};
    // Touched only by whoever holds the sample (one thread at a time).
    LONG m_lActual = 0;
    DWORD m_dwFlags = 0;
    REFERENCE_TIME m_Start = 0, m_End = 0;
    LONGLONG m_MediaStart = 0, m_MediaEnd = 0;
    AM_MEDIA_TYPE* m_pMediaType = nullptr;
    // A lent picture: its planes, what keeps them, and the packing still to
    // be done for GetPointer (empty once done or when nothing is lent).
    SamplePlanes m_planes;
    std::shared_ptr<const void> m_pPlanesOwner;
    std::function<bool(BYTE*, LONG)> m_pack;
};

// The allocator protocol: SetProperties while decommitted, Commit before
// GetBuffer, Decommit to release every waiter and refuse further requests.
// Memory is freed once decommitted and every sample is back.
class CBaseAllocator : public CUnknown, public IMemAllocator
{
public:
    explicit CBaseAllocator(const char* name);
    ~CBaseAllocator() override;
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override;
    HRESULT GetProperties(ALLOCATOR_PROPERTIES* pProps) override;
    HRESULT Commit() override;
    HRESULT Decommit() override;
    HRESULT GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                      DWORD dwFlags) override;
    HRESULT ReleaseBuffer(IMediaSample* pBuffer) override;

    // Samples neither free nor freed: for tests and diagnostics.
    LONG SamplesOutstanding();

protected:
    // Create the samples for m_props.
    virtual HRESULT Alloc_Locked() REQUIRES(m_lock) = 0;
    // Free the samples' memory, every sample back.
    virtual void Free_Locked() REQUIRES(m_lock) = 0;

    // A leaf lock: nothing that locks is called under it.
    Mutex m_lock;
    std::condition_variable m_cvFree;  // a sample came back, or decommit
    ALLOCATOR_PROPERTIES m_props GUARDED_BY(m_lock){};
    bool m_bCommitted GUARDED_BY(m_lock) = false;
    bool m_bDecommitInProgress GUARDED_BY(m_lock) = false;  // memory goes when the last sample returns
    bool m_bAllocated GUARDED_BY(m_lock) = false;
    std::vector<std::unique_ptr<CMediaSample>> m_samples GUARDED_BY(m_lock);
    std::vector<CMediaSample*> m_free GUARDED_BY(m_lock);
};

class CMemAllocator final : public CBaseAllocator
{
public:
    CMemAllocator() : CBaseAllocator("CMemAllocator") {}
    ~CMemAllocator() override;

protected:
    HRESULT Alloc_Locked() REQUIRES(m_lock) override;
    void Free_Locked() REQUIRES(m_lock) override;

private:
    std::unique_ptr<BYTE[]> m_pMemory GUARDED_BY(m_lock);
};
