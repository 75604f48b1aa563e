#include "platform/dshow/WaveParser.h"

#include <algorithm>
#include <cstring>

#include "platform/os/Thread.h"

namespace {

class CWaveInputPin final : public CBasePin
{
public:
    CWaveInputPin(CWaveParser* parser, CCritSec* lock)
        : CBasePin("CWaveInputPin", parser, lock, nullptr, u"input pin", PINDIR_INPUT), m_pParser(parser)
    {
    }
    HRESULT CheckMediaType(const CMediaType* pmt) override
    {
        if (pmt->majortype != MEDIATYPE_Stream) return S_FALSE;
        return (pmt->subtype == MEDIASUBTYPE_WAVE || pmt->subtype == GUID_NULL) ? S_OK : S_FALSE;
    }
    HRESULT CheckConnect(IPin* pPin) override
    {
        HRESULT hr = CBasePin::CheckConnect(pPin);
        if (FAILED(hr)) return hr;
        return pPin->QueryInterface(IID_IAsyncReader, m_reader.ReleaseAndGetVoidAddress());
    }
    HRESULT CompleteConnect(IPin*) override { return m_pParser->ParseHeader(m_reader.Get()); }
    HRESULT BreakConnect() override
    {
        m_reader = nullptr;
        m_pParser->DropReader();
        return S_OK;
    }
    // A pull pin: nothing is pushed into it.
    HRESULT EndOfStream() override { return E_UNEXPECTED; }
    HRESULT BeginFlush() override { return E_UNEXPECTED; }
    HRESULT EndFlush() override { return E_UNEXPECTED; }

private:
    CWaveParser* const m_pParser;
    ComPtr<IAsyncReader> m_reader;  // filter lock
};

class CWaveOutputPin final : public CBaseOutputPin
{
public:
    CWaveOutputPin(CWaveParser* parser, CCritSec* lock)
        : CBaseOutputPin("CWaveOutputPin", parser, lock, nullptr, u"output"), m_pParser(parser)
    {
    }
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IMediaSeeking) return GetInterface(m_pParser->Seeking(), ppv);
        return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT CheckMediaType(const CMediaType* pmt) override
    {
        CMediaType mine;
        if (m_pParser->GetOutputType(0, &mine) != S_OK) return S_FALSE;
        return mine.MatchesExactly(*pmt) ? S_OK : S_FALSE;
    }
    HRESULT GetMediaType(int position, CMediaType* pmt) override { return m_pParser->GetOutputType(position, pmt); }
    HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* props) override
    {
        props->cBuffers = std::max<LONG>(props->cBuffers, 4);
        props->cbBuffer = std::max<LONG>(props->cbBuffer, m_pParser->BytesPerBuffer());
        if (props->cbAlign <= 0) props->cbAlign = 1;
        ALLOCATOR_PROPERTIES actual{};
        HRESULT hr = alloc->SetProperties(props, &actual);
        if (FAILED(hr)) return hr;
        return actual.cbBuffer >= m_pParser->BytesPerBuffer() ? S_OK : E_FAIL;
    }

private:
    CWaveParser* const m_pParser;
};

uint32_t ReadLE32(const BYTE* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint16_t ReadLE16(const BYTE* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

// ---------------------------------------------------------------- seeking

HRESULT CWaveSeeking::QueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IMediaSeeking) return GetInterface(this, ppv);
    return static_cast<IBaseFilter*>(m_pParser)->QueryInterface(riid, ppv);
}
ULONG CWaveSeeking::AddRef() { return static_cast<IBaseFilter*>(m_pParser)->AddRef(); }
ULONG CWaveSeeking::Release() { return static_cast<IBaseFilter*>(m_pParser)->Release(); }

HRESULT CWaveSeeking::GetCapabilities(DWORD* p)
{
    if (!p) return E_POINTER;
    *p = kSourceSeekingCaps;
    return S_OK;
}
HRESULT CWaveSeeking::GetDuration(LONGLONG* p)
{
    if (!p) return E_POINTER;
    CAutoLock lock(*m_pParser->FilterLock());
    *p = m_pParser->Duration_Locked();
    return S_OK;
}
HRESULT CWaveSeeking::GetStopPosition(LONGLONG* p)
{
    if (!p) return E_POINTER;
    CAutoLock lock(*m_pParser->FilterLock());
    *p = m_pParser->CurrentStop_Locked();
    return S_OK;
}
HRESULT CWaveSeeking::GetCurrentPosition(LONGLONG* p)
{
    if (!p) return E_POINTER;
    CAutoLock lock(*m_pParser->FilterLock());
    *p = m_pParser->CurrentStart_Locked();
    return S_OK;
}
HRESULT CWaveSeeking::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags)
{
    CAutoLock lock(*m_pParser->FilterLock());
    return m_pParser->Seek_Locked(pCurrent, dwCurrentFlags, pStop, dwStopFlags);
}
HRESULT CWaveSeeking::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop)
{
    CAutoLock lock(*m_pParser->FilterLock());
    if (pCurrent) *pCurrent = m_pParser->CurrentStart_Locked();
    if (pStop) *pStop = m_pParser->CurrentStop_Locked();
    return S_OK;
}
HRESULT CWaveSeeking::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest)
{
    CAutoLock lock(*m_pParser->FilterLock());
    if (pEarliest) *pEarliest = 0;
    if (pLatest) *pLatest = m_pParser->Duration_Locked();
    return S_OK;
}
HRESULT CWaveSeeking::SetRate(double dRate) { return dRate == 1.0 ? S_OK : E_INVALIDARG; }
HRESULT CWaveSeeking::GetRate(double* p)
{
    if (!p) return E_POINTER;
    *p = 1.0;
    return S_OK;
}
HRESULT CWaveSeeking::GetPreroll(LONGLONG* p)
{
    if (!p) return E_POINTER;
    *p = 0;
    return S_OK;
}

// ---------------------------------------------------------------- filter

CWaveParser::CWaveParser() : CBaseFilter("CWaveParser", &m_lock, CLSID_WAVEParser)
{
    m_pInput = std::make_unique<CWaveInputPin>(this, &m_lock);
    m_pOutput = std::make_unique<CWaveOutputPin>(this, &m_lock);
}

CWaveParser::~CWaveParser()
{
    CAutoLock lock(m_lock);
    m_bStopThread = true;
    if (m_thread.joinable()) m_thread.join();
}

CBasePin* CWaveParser::GetPin(int n)
{
    if (n == 0) return m_pInput.get();
    if (n == 1) return m_pOutput.get();
    return nullptr;
}

HRESULT CWaveParser::ParseHeader(IAsyncReader* reader)
{
    if (!reader) return E_NOINTERFACE;
    LONGLONG total = 0, available = 0;
    if (FAILED(reader->Length(&total, &available))) return VFW_E_INVALID_FILE_FORMAT;
    BYTE head[12];
    if (total < 12 || reader->SyncRead(0, 12, head) != S_OK) return VFW_E_INVALID_FILE_FORMAT;
    if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) return VFW_E_INVALID_FILE_FORMAT;
    bool haveFormat = false;
    WAVEFORMATEX wfx{};
    LONGLONG pos = 12;
    for (int chunks = 0; chunks < 1000 && pos + 8 <= total; ++chunks) {
        BYTE chunk[8];
        if (reader->SyncRead(pos, 8, chunk) != S_OK) break;
        LONGLONG size = ReadLE32(chunk + 4);
        LONGLONG body = pos + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (size < 16) return VFW_E_INVALID_FILE_FORMAT;
            BYTE fmt[16];
            if (reader->SyncRead(body, 16, fmt) != S_OK) return VFW_E_INVALID_FILE_FORMAT;
            wfx.wFormatTag = ReadLE16(fmt);
            wfx.nChannels = ReadLE16(fmt + 2);
            wfx.nSamplesPerSec = ReadLE32(fmt + 4);
            wfx.wBitsPerSample = ReadLE16(fmt + 14);
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) return VFW_E_INVALID_FILE_FORMAT;
            if (wfx.wFormatTag != WAVE_FORMAT_PCM || (wfx.wBitsPerSample != 8 && wfx.wBitsPerSample != 16) ||
                wfx.nChannels == 0 || wfx.nSamplesPerSec == 0)
                return VFW_E_UNSUPPORTED_AUDIO;
            wfx.nBlockAlign = static_cast<WORD>(wfx.nChannels * (wfx.wBitsPerSample / 8));
            wfx.nAvgBytesPerSec = wfx.nSamplesPerSec * wfx.nBlockAlign;
            wfx.cbSize = 0;
            LONGLONG dataSize = std::min(size, total - body);  // a truncated file plays what it has
            dataSize -= dataSize % wfx.nBlockAlign;
            m_wfx = wfx;
            m_llDataOffset = body;
            m_llDataSize = dataSize;
            m_bParsed = true;
            m_rtStart = 0;
            m_rtStop = Duration_Locked();
            return S_OK;
        }
        pos = body + size + (size & 1);  // chunks are padded to even sizes
    }
    return VFW_E_INVALID_FILE_FORMAT;
}

void CWaveParser::DropReader()
{
    m_bParsed = false;
    m_pReader = nullptr;
}

HRESULT CWaveParser::GetOutputType(int position, CMediaType* pmt)
{
    if (!m_bParsed || position != 0) return VFW_S_NO_MORE_ITEMS;
    pmt->InitMediaType();
    pmt->SetType(MEDIATYPE_Audio);
    pmt->SetSubtype(MEDIASUBTYPE_PCM);
    pmt->SetFormatType(FORMAT_WaveFormatEx);
    pmt->SetSampleSize(m_wfx.nBlockAlign);
    pmt->SetFormat(reinterpret_cast<const BYTE*>(&m_wfx), sizeof(m_wfx));
    return S_OK;
}

LONG CWaveParser::BytesPerBuffer() const
{
    if (!m_bParsed) return 4096;
    LONG frames = std::max<LONG>(1, static_cast<LONG>(m_wfx.nSamplesPerSec / 20));
    return frames * m_wfx.nBlockAlign;
}

REFERENCE_TIME CWaveParser::TimeOfBytes(LONGLONG bytes) const
{
    if (!m_bParsed) return 0;
    LONGLONG frames = bytes / m_wfx.nBlockAlign;
    return frames * UNITS / m_wfx.nSamplesPerSec;
}

LONGLONG CWaveParser::BytesOfTime(REFERENCE_TIME t) const
{
    if (!m_bParsed || t <= 0) return 0;
    LONGLONG frames = t * static_cast<LONGLONG>(m_wfx.nSamplesPerSec) / UNITS;
    return std::min(frames * m_wfx.nBlockAlign, m_llDataSize);
}

REFERENCE_TIME CWaveParser::Duration_Locked() const { return TimeOfBytes(m_llDataSize); }

HRESULT CWaveParser::Seek_Locked(LONGLONG* pCurrent, DWORD currentFlags, LONGLONG* pStop, DWORD stopFlags)
{
    if (!m_bParsed) return VFW_E_NOT_CONNECTED;
    REFERENCE_TIME start = m_rtStart, stop = m_rtStop;
    DWORD how = currentFlags & AM_SEEKING_PositioningBitsMask;
    if (how != AM_SEEKING_NoPositioning) {
        if (!pCurrent) return E_POINTER;
        start = how == AM_SEEKING_AbsolutePositioning ? *pCurrent : m_rtStart + *pCurrent;
    }
    DWORD stopHow = stopFlags & AM_SEEKING_PositioningBitsMask;
    if (stopHow != AM_SEEKING_NoPositioning) {
        if (!pStop) return E_POINTER;
        stop = stopHow == AM_SEEKING_AbsolutePositioning ? *pStop : m_rtStop + *pStop;
    }
    REFERENCE_TIME duration = Duration_Locked();
    start = std::clamp<REFERENCE_TIME>(start, 0, duration);
    stop = std::clamp<REFERENCE_TIME>(stop, start, duration);
    start = TimeOfBytes(BytesOfTime(start));  // whole sample frames: each one is a key frame
    if ((currentFlags & AM_SEEKING_ReturnTime) && pCurrent) *pCurrent = start;
    if ((stopFlags & AM_SEEKING_ReturnTime) && pStop) *pStop = stop;
    if (how == AM_SEEKING_NoPositioning && stop == m_rtStop) return S_OK;

    bool streaming = m_thread.joinable();
    if (streaming) {
        m_pOutput->DeliverBeginFlush();  // releases the thread's wait downstream
        StopThread_Locked();
        m_pOutput->DeliverEndFlush();
    }
    m_rtStart = start;
    m_rtStop = stop;
    if (streaming) StartThread_Locked();
    return S_OK;
}

void CWaveParser::StartThread_Locked()
{
    if (!m_pOutput->IsConnected() || !m_bParsed) return;
    m_bStopThread = false;
    ComPtr<IPin> peer;
    m_pInput->ConnectedTo(peer.ReleaseAndGetAddressOf());
    if (!peer || FAILED(peer.As(&m_pReader))) return;
    REFERENCE_TIME start = m_rtStart, stop = m_rtStop;
    m_thread = std::thread([this, start, stop] { StreamThread(start, stop); });
}

void CWaveParser::StopThread_Locked()
{
    m_bStopThread = true;
    if (m_thread.joinable()) m_thread.join();
}

void CWaveParser::StreamThread(REFERENCE_TIME start, REFERENCE_TIME stop)
{
    SetCurrentThreadNormalPriority();
    m_pOutput->DeliverNewSegment(start, stop, 1.0);
    const LONGLONG end = m_llDataOffset + BytesOfTime(stop);
    LONGLONG pos = m_llDataOffset + BytesOfTime(start);
    const LONGLONG chunk = BytesPerBuffer();
    bool first = true;
    while (!m_bStopThread.load() && pos < end) {
        IMediaSample* sample = nullptr;
        if (FAILED(m_pOutput->GetDeliveryBuffer(&sample, nullptr, nullptr, 0))) return;  // decommitted: stopping
        LONG n = static_cast<LONG>(std::min<LONGLONG>({chunk, end - pos, sample->GetSize()}));
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        if (FAILED(m_pReader->SyncRead(pos, n, data))) {
            sample->Release();
            NotifyEvent(EC_ERRORABORT, VFW_E_FILE_TOO_SHORT, 0);
            return;
        }
        sample->SetActualDataLength(n);
        REFERENCE_TIME t0 = TimeOfBytes(pos - m_llDataOffset) - start;
        REFERENCE_TIME t1 = TimeOfBytes(pos + n - m_llDataOffset) - start;
        sample->SetTime(&t0, &t1);
        LONGLONG m0 = (pos - m_llDataOffset) / m_wfx.nBlockAlign, m1 = (pos + n - m_llDataOffset) / m_wfx.nBlockAlign;
        sample->SetMediaTime(&m0, &m1);
        sample->SetSyncPoint(TRUE);
        sample->SetDiscontinuity(first ? TRUE : FALSE);
        first = false;
        HRESULT hr = m_pOutput->Deliver(sample);
        sample->Release();
        if (hr != S_OK) return;  // flushing, stopped or refused: the controlling thread decides what follows
        pos += n;
    }
    if (!m_bStopThread.load()) m_pOutput->DeliverEndOfStream();
}

HRESULT CWaveParser::Pause()
{
    CAutoLock lock(m_lock);
    FILTER_STATE old = m_State.load();
    HRESULT hr = CBaseFilter::Pause();
    if (FAILED(hr)) return hr;
    if (old == State_Stopped) StartThread_Locked();
    return S_OK;
}

HRESULT CWaveParser::Stop()
{
    CAutoLock lock(m_lock);
    HRESULT hr = CBaseFilter::Stop();  // decommits: a wait for a buffer returns
    StopThread_Locked();
    return hr;
}
