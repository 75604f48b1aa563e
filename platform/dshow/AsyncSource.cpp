#include "platform/dshow/AsyncSource.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/os/RegularFile.h"
#include "platform/os/Unicode.h"

// ---------------------------------------------------------------- output pin

CAsyncOutputPin::CAsyncOutputPin(CAsyncFileSource* filter, CCritSec* lock)
    : CBasePin("CAsyncOutputPin", filter, lock, nullptr, u"Output", PINDIR_OUTPUT), m_pSource(filter)
{
}

CAsyncOutputPin::~CAsyncOutputPin()
{
    MutexLock guard(m_queueLock);
    for (Done& d : m_done) d.sample->Release();
    m_done.clear();
}

HRESULT CAsyncOutputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IAsyncReader) return GetInterface(static_cast<IAsyncReader*>(this), ppv);
    return CBasePin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CAsyncOutputPin::CheckMediaType(const CMediaType* pmt)
{
    const CMediaType& mine = m_pSource->StreamType();
    if (pmt->majortype != MEDIATYPE_Stream) return S_FALSE;
    return (pmt->subtype == mine.subtype || pmt->subtype == GUID_NULL) ? S_OK : S_FALSE;
}

HRESULT CAsyncOutputPin::GetMediaType(int position, CMediaType* pmt)
{
    if (m_pSource->Fd() < 0 || position != 0) return VFW_S_NO_MORE_ITEMS;
    *pmt = m_pSource->StreamType();
    return S_OK;
}

HRESULT CAsyncOutputPin::CheckConnect(IPin* pPin)
{
    if (m_pSource->Fd() < 0) return E_UNEXPECTED;  // nothing loaded yet
    return CBasePin::CheckConnect(pPin);
}

HRESULT CAsyncOutputPin::RequestAllocator(IMemAllocator* pPreferred, ALLOCATOR_PROPERTIES* pProps,
                                          IMemAllocator** ppActual)
{
    if (!pProps || !ppActual) return E_POINTER;
    *ppActual = nullptr;
    ComPtr<IMemAllocator> alloc(pPreferred);
    if (!alloc) alloc = static_cast<IMemAllocator*>(new CMemAllocator);
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = alloc->SetProperties(pProps, &actual);
    if (FAILED(hr)) return hr;
    *ppActual = alloc.Detach();
    return S_OK;
}

HRESULT CAsyncOutputPin::ReadSample(IMediaSample* pSample)
{
    REFERENCE_TIME start = 0, end = 0;
    if (FAILED(pSample->GetTime(&start, &end))) return E_INVALIDARG;
    LONGLONG pos = start / UNITS;
    LONG length = static_cast<LONG>((end - start) / UNITS);
    if (length > pSample->GetSize() || length < 0) return E_INVALIDARG;
    BYTE* buffer = nullptr;
    pSample->GetPointer(&buffer);
    HRESULT hr = SyncRead(pos, length, buffer);
    if (FAILED(hr)) return hr;
    LONGLONG available = std::max<LONGLONG>(0, std::min<LONGLONG>(length, m_pSource->FileLength() - pos));
    pSample->SetActualDataLength(static_cast<LONG>(available));
    return hr;
}

HRESULT CAsyncOutputPin::Request(IMediaSample* pSample, DWORD_PTR dwUser)
{
    if (!pSample) return E_POINTER;
    {
        MutexLock guard(m_queueLock);
        if (m_bFlushing) return VFW_E_WRONG_STATE;
    }
    // The read is done at once; WaitForNext hands the results out in order.
    HRESULT hr = ReadSample(pSample);
    pSample->AddRef();
    MutexLock guard(m_queueLock);
    m_done.push_back({pSample, dwUser, hr});
    m_queueCv.notify_one();
    return S_OK;
}

HRESULT CAsyncOutputPin::WaitForNext(DWORD dwTimeout, IMediaSample** ppSample, DWORD_PTR* pdwUser)
{
    if (!ppSample || !pdwUser) return E_POINTER;
    *ppSample = nullptr;
    MutexUniqueLock guard(m_queueLock);
    auto ready = [this]() REQUIRES(m_queueLock) { return !m_done.empty() || m_bFlushing; };
    if (dwTimeout == INFINITE)
        guard.Wait(m_queueCv, ready);
    else if (!guard.WaitFor(m_queueCv, std::chrono::milliseconds(dwTimeout), ready))
        return VFW_E_TIMEOUT;
    if (m_done.empty()) return VFW_E_WRONG_STATE;  // flushing
    Done d = m_done.front();
    m_done.pop_front();
    *ppSample = d.sample;
    *pdwUser = d.user;
    return d.hr;
}

HRESULT CAsyncOutputPin::SyncReadAligned(IMediaSample* pSample)
{
    if (!pSample) return E_POINTER;
    return ReadSample(pSample);
}

HRESULT CAsyncOutputPin::SyncRead(LONGLONG llPosition, LONG lLength, BYTE* pBuffer)
{
    if (!pBuffer && lLength > 0) return E_POINTER;
    if (llPosition < 0 || lLength < 0) return E_INVALIDARG;
    int fd = m_pSource->Fd();
    if (fd < 0) return E_UNEXPECTED;
    LONG done = 0;
    while (done < lLength) {
        ssize_t n = ::pread(fd, pBuffer + done, static_cast<size_t>(lLength - done), llPosition + done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return E_FAIL;
        }
        if (n == 0) break;  // end of file
        done += static_cast<LONG>(n);
    }
    if (done < lLength) {
        std::memset(pBuffer + done, 0, static_cast<size_t>(lLength - done));
        return S_FALSE;
    }
    return S_OK;
}

HRESULT CAsyncOutputPin::Length(LONGLONG* pTotal, LONGLONG* pAvailable)
{
    if (!pTotal || !pAvailable) return E_POINTER;
    *pTotal = *pAvailable = m_pSource->FileLength();
    return S_OK;
}

HRESULT CAsyncOutputPin::BeginFlush()
{
    MutexLock guard(m_queueLock);
    m_bFlushing = true;
    m_queueCv.notify_all();
    return S_OK;
}

HRESULT CAsyncOutputPin::EndFlush()
{
    MutexLock guard(m_queueLock);
    m_bFlushing = false;
    return S_OK;
}

// ---------------------------------------------------------------- filter

CAsyncFileSource::CAsyncFileSource() : CBaseFilter("CAsyncFileSource", &m_lock, CLSID_AsyncReader)
{
    m_pOutput = std::make_unique<CAsyncOutputPin>(this, &m_lock);
}

CAsyncFileSource::~CAsyncFileSource()
{
    m_pOutput.reset();
    if (m_fd >= 0) ::close(m_fd);
}

HRESULT CAsyncFileSource::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IFileSourceFilter) return GetInterface(static_cast<IFileSourceFilter*>(this), ppv);
    return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

int CAsyncFileSource::GetPinCount() { return 1; }

CBasePin* CAsyncFileSource::GetPin(int n) { return n == 0 ? m_pOutput.get() : nullptr; }

HRESULT CAsyncFileSource::Load(LPCOLESTR pszFileName, const AM_MEDIA_TYPE* pmt)
{
    if (!pszFileName) return E_POINTER;
    CAutoLock lock(m_lock);
    if (m_fd >= 0) return E_UNEXPECTED;  // one file per source
    std::string path = Utf16ToUtf8(pszFileName);
    // Only a regular file: a FIFO, device, socket or folder fails at once,
    // as a missing file does, rather than block the caller in open().
    int fd = OpenRegularFileForReading(path.c_str());
    if (fd < 0) return errno == EACCES ? HRESULT_FROM_WIN32_ACCESS_DENIED : HRESULT_FROM_WIN32_FILE_NOT_FOUND;
    struct stat st{};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return HRESULT_FROM_WIN32_FILE_NOT_FOUND;
    }
    m_fd = fd;
    m_llLength = st.st_size;
    m_fileName = pszFileName;
    if (pmt) {
        m_mt = *pmt;
    } else {
        m_mt.InitMediaType();
        m_mt.SetType(MEDIATYPE_Stream);
        m_mt.SetSubtype(MEDIASUBTYPE_NULL);
        char head[12] = {};
        if (::pread(fd, head, sizeof(head), 0) == static_cast<ssize_t>(sizeof(head)) &&
            std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WAVE", 4) == 0)
            m_mt.SetSubtype(MEDIASUBTYPE_WAVE);
    }
    return S_OK;
}

HRESULT CAsyncFileSource::GetCurFile(LPOLESTR* ppszFileName, AM_MEDIA_TYPE* pmt)
{
    if (!ppszFileName) return E_POINTER;
    CAutoLock lock(m_lock);
    *ppszFileName = nullptr;
    if (m_fd < 0) return E_FAIL;
    *ppszFileName = CoTaskMemStrDup(m_fileName);
    if (pmt) CopyMediaType(pmt, &m_mt);
    return S_OK;
}
