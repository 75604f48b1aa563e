#pragma once
// CAsyncFileSource: "File Source (Async.)", the source filter for a local
// file. IFileSourceFilter::Load opens the file; its one output pin
// "Output" offers MEDIATYPE_Stream (subtype MEDIASUBTYPE_WAVE for a RIFF
// WAVE file, else MEDIASUBTYPE_NULL) and IAsyncReader, through which the
// connected parser pulls the bytes on its own threads.
//
// Reads are positional (pread), so any number of threads may read at once.
// Request/WaitForNext serve queued reads in order; BeginFlush releases every
// WaitForNext (VFW_E_WRONG_STATE) until EndFlush.
#include <condition_variable>
#include <deque>
#include <memory>

#include "platform/dshow/BaseFilter.h"

class CAsyncFileSource;

class CAsyncOutputPin final : public CBasePin, public IAsyncReader
{
public:
    CAsyncOutputPin(CAsyncFileSource* filter, CCritSec* lock);
    ~CAsyncOutputPin() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return NonDelegatingQueryInterface(riid, ppv); }
    ULONG AddRef() override { return CBasePin::AddRef(); }
    ULONG Release() override { return CBasePin::Release(); }
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int position, CMediaType* pmt) override;
    // The receiving pin must want IAsyncReader (it asks for it), nothing more.
    HRESULT CheckConnect(IPin* pPin) override;
    HRESULT EndOfStream() override { return E_UNEXPECTED; }
    // IAsyncReader and IPin share BeginFlush/EndFlush; nobody flushes an
    // output pin through IPin, so both mean the reader's flush: BeginFlush
    // releases every WaitForNext and refuses requests until EndFlush.
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;

    // IAsyncReader
    HRESULT RequestAllocator(IMemAllocator* pPreferred, ALLOCATOR_PROPERTIES* pProps,
                             IMemAllocator** ppActual) override;
    HRESULT Request(IMediaSample* pSample, DWORD_PTR dwUser) override;
    HRESULT WaitForNext(DWORD dwTimeout, IMediaSample** ppSample, DWORD_PTR* pdwUser) override;
    HRESULT SyncReadAligned(IMediaSample* pSample) override;
    HRESULT SyncRead(LONGLONG llPosition, LONG lLength, BYTE* pBuffer) override;
    HRESULT Length(LONGLONG* pTotal, LONGLONG* pAvailable) override;

private:
    HRESULT ReadSample(IMediaSample* pSample);

    CAsyncFileSource* const m_pSource;
    // A leaf lock; only a completed sample's Release (its allocator's lock)
    // runs under it, in the destructor.
    Mutex m_queueLock;
    std::condition_variable m_queueCv;  // a request completed, or flush
    struct Done
    {
        IMediaSample* sample;  // holds the reference the requester gave up
        DWORD_PTR user;
        HRESULT hr;
    };
    std::deque<Done> m_done GUARDED_BY(m_queueLock);
    bool m_bFlushing GUARDED_BY(m_queueLock) = false;
};

class CAsyncFileSource final : public CBaseFilter, public IFileSourceFilter
{
public:
    CAsyncFileSource();
    ~CAsyncFileSource() override;
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG GetMiscFlags() override { return AM_FILTER_MISC_FLAGS_IS_SOURCE; }

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;

    // Opens the file for reading; one file per filter. The error of the open
    // (for example HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) on failure.
    HRESULT Load(LPCOLESTR pszFileName, const AM_MEDIA_TYPE* pmt) override;
    HRESULT GetCurFile(LPOLESTR* ppszFileName, AM_MEDIA_TYPE* pmt) override;

    // Used by the pin; valid once loaded.
    int Fd() const { return m_fd; }
    LONGLONG FileLength() const { return m_llLength; }
    const CMediaType& StreamType() const { return m_mt; }

private:
    CCritSec m_lock;
    std::unique_ptr<CAsyncOutputPin> m_pOutput;
    // Set once by Load under m_lock; read-only afterwards.
    int m_fd = -1;
    LONGLONG m_llLength = 0;
    std::u16string m_fileName;
    CMediaType m_mt;
};

constexpr HRESULT HRESULT_FROM_WIN32_FILE_NOT_FOUND = MakeHResult(0x80070002);
constexpr HRESULT HRESULT_FROM_WIN32_ACCESS_DENIED = MakeHResult(0x80070005);
