#include "platform/lavfilters/filters/LavSplitter.h"

#include <algorithm>

#include "log/LogWrapper.h"
#include "platform/com/ComApi.h"
#include "platform/lavfilters/filters/LavMediaTypes.h"
#include "platform/os/Thread.h"
#include "platform/os/Unicode.h"

namespace {

// The demuxer's byte source over the upstream pin's IAsyncReader.
class CAsyncByteReader final : public lav::IByteReader
{
public:
    explicit CAsyncByteReader(IAsyncReader* reader) : m_pReader(reader) {}

    int64_t ReadAt(int64_t position, uint8_t* buffer, int32_t length) override
    {
        LONGLONG total = 0, available = 0;
        if (FAILED(m_pReader->Length(&total, &available)) || position < 0) return -1;
        const LONGLONG n = std::min<LONGLONG>(length, total - position);
        if (n <= 0) return 0;
        HRESULT hr = m_pReader->SyncRead(position, static_cast<LONG>(n), buffer);
        return hr == S_OK ? n : -1;
    }
    int64_t Size() override
    {
        LONGLONG total = 0, available = 0;
        return SUCCEEDED(m_pReader->Length(&total, &available)) ? total : -1;
    }
    void Cancel() override { m_pReader->BeginFlush(); }
    void Resume() override { m_pReader->EndFlush(); }

private:
    ComPtr<IAsyncReader> m_pReader;
};

// The source file's name, for the demuxer's format probing only.
std::string SourceFileName(IPin* sourcePin)
{
    PIN_INFO info{};
    if (FAILED(sourcePin->QueryPinInfo(&info)) || !info.pFilter) return {};
    ComPtr<IBaseFilter> filter = ComPtr<IBaseFilter>::Attach(info.pFilter);
    ComPtr<IFileSourceFilter> source;
    if (FAILED(filter.As(&source))) return {};
    LPOLESTR name = nullptr;
    if (FAILED(source->GetCurFile(&name, nullptr)) || !name) return {};
    std::u16string text(name);
    CoTaskMemFree(name);
    return Utf16ToUtf8(text);
}

}  // namespace

// ---------------------------------------------------------------- input pin

CLavSplitterInputPin::CLavSplitterInputPin(CLavSplitter* pFilter, CCritSec* pLock, HRESULT* phr)
    : CBasePin("CLavSplitterInputPin", pFilter, pLock, phr, u"Input", PINDIR_INPUT), m_pSplitter(pFilter)
{
}

HRESULT CLavSplitterInputPin::CheckMediaType(const CMediaType* pmt)
{
    return pmt && pmt->majortype == MEDIATYPE_Stream ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CLavSplitterInputPin::CheckConnect(IPin* pPin)
{
    HRESULT hr = CBasePin::CheckConnect(pPin);
    if (FAILED(hr)) return hr;
    return pPin->QueryInterface(IID_IAsyncReader, m_pReader.ReleaseAndGetVoidAddress());
}

HRESULT CLavSplitterInputPin::CompleteConnect(IPin* pReceivePin)
{
    if (!m_pReader) return E_UNEXPECTED;
    m_pSplitter->FilterLockHeldByPin();
    return m_pSplitter->OpenStream(m_pReader.Get(), pReceivePin);
}

HRESULT CLavSplitterInputPin::BreakConnect()
{
    m_pSplitter->FilterLockHeldByPin();
    m_pSplitter->CloseStream();
    m_pReader = nullptr;
    return S_OK;
}

// --------------------------------------------------------------- output pin

CLavSplitterOutputPin::CLavSplitterOutputPin(CLavSplitter* pFilter, CCritSec* pLock, HRESULT* phr, LPCWSTR name,
                                             CMediaType type, lav::MediaKind kind, LONG bufferSize)
    : CBaseOutputPin("CLavSplitterOutputPin", pFilter, pLock, phr, name),
      m_pSplitter(pFilter),
      m_type(std::move(type)),
      m_kind(kind),
      m_lBufferSize(bufferSize)
{
}

HRESULT CLavSplitterOutputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv)
{
    if (riid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(this), ppv);
    return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CLavSplitterOutputPin::CheckMediaType(const CMediaType* pmt)
{
    return pmt && m_type.MatchesExactly(*pmt) ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
}

HRESULT CLavSplitterOutputPin::GetMediaType(int position, CMediaType* pMediaType)
{
    if (position < 0) return E_INVALIDARG;
    if (position > 0) return VFW_S_NO_MORE_ITEMS;
    *pMediaType = m_type;
    return S_OK;
}

HRESULT CLavSplitterOutputPin::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp)
{
    pProp->cBuffers = std::max<LONG>(pProp->cBuffers, m_kind == lav::MediaKind::Video ? 8 : 16);
    pProp->cbBuffer = std::max<LONG>(pProp->cbBuffer, m_lBufferSize);
    pProp->cbAlign = std::max<LONG>(pProp->cbAlign, 1);
    ALLOCATOR_PROPERTIES actual{};
    HRESULT hr = pAlloc->SetProperties(pProp, &actual);
    if (FAILED(hr)) return hr;
    return actual.cbBuffer < m_lBufferSize ? E_FAIL : S_OK;
}

HRESULT CLavSplitterOutputPin::GrowBuffers(size_t need)
{
    if (!m_pAllocator) return VFW_E_NO_ALLOCATOR;
    if (need > static_cast<size_t>(kMaxPacketBytes)) return E_OUTOFMEMORY;
    ALLOCATOR_PROPERTIES old{}, actual{};
    HRESULT hr = m_pAllocator->GetProperties(&old);
    if (FAILED(hr)) return hr;
    ALLOCATOR_PROPERTIES want = old;
    want.cbBuffer = static_cast<LONG>(need);
    // At most 512 MiB in all, and never fewer than 2 buffers.
    want.cBuffers = std::clamp<LONG>(static_cast<LONG>((512u << 20) / need), 2, std::max<LONG>(old.cBuffers, 2));
    m_pAllocator->Decommit();
    hr = m_pAllocator->SetProperties(&want, &actual);
    if (SUCCEEDED(hr) && actual.cbBuffer < want.cbBuffer) hr = VFW_E_SIZENOTSET;
    if (SUCCEEDED(hr)) hr = m_pAllocator->Commit();
    if (FAILED(hr)) {
        m_pAllocator->SetProperties(&old, &actual);
        m_pAllocator->Commit();
    }
    return hr;
}

HRESULT CLavSplitterOutputPin::GetCapabilities(DWORD* pCapabilities)
{
    if (!pCapabilities) return E_POINTER;
    *pCapabilities = kSourceSeekingCaps;
    return S_OK;
}

HRESULT CLavSplitterOutputPin::GetDuration(LONGLONG* pDuration)
{
    if (!pDuration) return E_POINTER;
    *pDuration = m_pSplitter->Duration();
    return *pDuration >= 0 ? S_OK : E_FAIL;
}

HRESULT CLavSplitterOutputPin::GetStopPosition(LONGLONG* pStop)
{
    if (!pStop) return E_POINTER;
    CAutoLock lock(m_pSplitter->m_csFilter);  // = *m_pLock
    *pStop = m_pSplitter->m_rtStop == INT64_MAX ? m_pSplitter->Duration() : m_pSplitter->m_rtStop;
    return S_OK;
}

HRESULT CLavSplitterOutputPin::GetCurrentPosition(LONGLONG* pCurrent)
{
    if (!pCurrent) return E_POINTER;
    *pCurrent = m_pSplitter->CurrentPosition();
    return S_OK;
}

HRESULT CLavSplitterOutputPin::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                                            DWORD dwStopFlags)
{
    CAutoLock lock(m_pSplitter->m_csFilter);  // = *m_pLock
    const DWORD curMode = dwCurrentFlags & AM_SEEKING_PositioningBitsMask;
    const DWORD stopMode = dwStopFlags & AM_SEEKING_PositioningBitsMask;
    if (pStop && stopMode != AM_SEEKING_NoPositioning) {
        REFERENCE_TIME stop = *pStop;
        if (stopMode == AM_SEEKING_RelativePositioning) {
            const REFERENCE_TIME current = m_pSplitter->m_rtStop;
            stop += current == INT64_MAX ? m_pSplitter->Duration() : current;
        }
        m_pSplitter->m_rtStop = stop;
    }
    if (!pCurrent || curMode == AM_SEEKING_NoPositioning) return S_OK;
    REFERENCE_TIME target = *pCurrent;
    if (curMode == AM_SEEKING_RelativePositioning) target += m_pSplitter->CurrentPosition();
    REFERENCE_TIME landed = 0;
    HRESULT hr = m_pSplitter->SeekTo(target, &landed);
    if (SUCCEEDED(hr) && (dwCurrentFlags & AM_SEEKING_ReturnTime)) *pCurrent = landed;
    return hr;
}

HRESULT CLavSplitterOutputPin::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop)
{
    if (pCurrent) GetCurrentPosition(pCurrent);
    if (pStop) GetStopPosition(pStop);
    return S_OK;
}

HRESULT CLavSplitterOutputPin::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest)
{
    if (pEarliest) *pEarliest = 0;
    if (pLatest) *pLatest = m_pSplitter->Duration();
    return S_OK;
}

HRESULT CLavSplitterOutputPin::SetRate(double dRate)
{
    return dRate == 1.0 ? S_OK : E_INVALIDARG;
}

HRESULT CLavSplitterOutputPin::GetRate(double* pdRate)
{
    if (!pdRate) return E_POINTER;
    *pdRate = 1.0;
    return S_OK;
}

HRESULT CLavSplitterOutputPin::GetPreroll(LONGLONG* pllPreroll)
{
    if (!pllPreroll) return E_POINTER;
    *pllPreroll = 0;
    return S_OK;
}

// ------------------------------------------------------------------- filter

CLavSplitter::CLavSplitter(REFCLSID clsid) : CBaseFilter("CLavSplitter", &m_csFilter, clsid)
{
    HRESULT hr = S_OK;
    m_pInput = std::make_unique<CLavSplitterInputPin>(this, &m_csFilter, &hr);
}

CLavSplitter::~CLavSplitter()
{
    CAutoLock lock(m_csFilter);
    if (m_bThreadsRunning) {
        SignalStop_Locked();
        JoinThreads_Locked();
    }
}

int CLavSplitter::GetPinCount()
{
    return 1 + static_cast<int>(m_outputs.size());
}

CBasePin* CLavSplitter::GetPin(int n)
{
    if (n == 0) return m_pInput.get();
    if (n > 0 && n <= static_cast<int>(m_outputs.size())) return m_outputs[static_cast<size_t>(n - 1)].get();
    return nullptr;
}

HRESULT CLavSplitter::OpenStream(IAsyncReader* pReader, IPin* pSourcePin)
{
    CloseStream();
    lav::DemuxOptions options;
    options.filenameHint = SourceFileName(pSourcePin);
    std::string why;
    auto demuxer = lav::Demuxer::Open(std::make_shared<CAsyncByteReader>(pReader), options, &why);
    if (!demuxer) {
        // The input stays unconnected, so the graph builder tries others.
        CLogLine().rec().Advance("CLavSplitter::OpenStream fail ").Advance(why.c_str()) << LogThis{this};
        return VFW_E_INVALID_FILE_FORMAT;
    }
    HRESULT hr = S_OK;
    if (const lav::DemuxStream* v = demuxer->VideoStream()) {
        const auto& f = v->format;
        // Room for an uncompressed picture (raw video in a container).
        const int64_t picture = int64_t{f.width} * f.height * 4 + 65536;
        const LONG size = static_cast<LONG>(std::clamp<int64_t>(picture, 2 << 20, 64 << 20));
        m_outputs.push_back(std::make_unique<CLavSplitterOutputPin>(
            this, &m_csFilter, &hr, u"Video", lav::MakeCompressedType(f), lav::MediaKind::Video, size));
    }
    if (const lav::DemuxStream* a = demuxer->AudioStream()) {
        m_outputs.push_back(std::make_unique<CLavSplitterOutputPin>(this, &m_csFilter, &hr, u"Audio",
                                                                    lav::MakeCompressedType(a->format),
                                                                    lav::MediaKind::Audio, 1 << 20));
    }
    m_pDemuxer = std::move(demuxer);
    m_rtStop = INT64_MAX;
    m_rtPosition = 0;
    m_bRewindOnStart = false;
    return S_OK;
}

void CLavSplitter::CloseStream()
{
    if (m_bThreadsRunning) {
        SignalStop_Locked();
        JoinThreads_Locked();
    }
    for (auto& pin : m_outputs) {
        if (IPin* peer = pin->GetConnected()) {
            ComPtr<IPin> hold(peer);
            peer->Disconnect();
            pin->Disconnect();
        }
        m_retired.push_back(std::move(pin));
    }
    m_outputs.clear();
    m_pDemuxer.reset();
}

size_t CLavSplitter::QueuedForTesting(int pin)
{
    MutexLock lock(m_queueMutex);
    if (pin < 0 || pin >= static_cast<int>(m_outputs.size())) return 0;
    return QueueOf(m_outputs[static_cast<size_t>(pin)].get()).packets.size();
}

HRESULT CLavSplitter::Pause()
{
    CAutoLock lock(m_csFilter);
    const bool wasStopped = m_State.load() == State_Stopped;
    HRESULT hr = CBaseFilter::Pause();
    if (FAILED(hr) || !wasStopped || !m_pDemuxer) return hr;
    if (m_bRewindOnStart) {
        // The segment is played from its start again; where to go on after
        // a stop is the graph's choice, made by seeking before it pauses.
        REFERENCE_TIME landed = 0;
        m_pDemuxer->Seek(m_pDemuxer->SegmentStart(), &landed);
        m_rtPosition = landed;
        m_bRewindOnStart = false;
    }
    StartThreads_Locked();
    return S_OK;
}

HRESULT CLavSplitter::Stop()
{
    CAutoLock lock(m_csFilter);
    if (m_bThreadsRunning) SignalStop_Locked();
    // Makes the pins inactive: decommitting our allocators releases a
    // delivery thread waiting for a buffer.
    HRESULT hr = CBaseFilter::Stop();
    if (m_bThreadsRunning) {
        JoinThreads_Locked();
        m_bRewindOnStart = true;
    }
    return hr;
}

REFERENCE_TIME CLavSplitter::Duration()
{
    CAutoLock lock(m_csFilter);
    if (!m_pDemuxer || m_pDemuxer->Duration() == lav::kNoTime) return 0;
    return m_pDemuxer->Duration();
}

REFERENCE_TIME CLavSplitter::CurrentPosition()
{
    return m_rtPosition.load();
}

HRESULT CLavSplitter::SeekTo(REFERENCE_TIME target, REFERENCE_TIME* pLanded)
{
    CAutoLock lock(m_csFilter);
    if (!m_pDemuxer) return E_UNEXPECTED;
    // Every request seeks, also one to the place of the last: the graph
    // restarts its stream time with each, so the streams must restart too.
    const bool running = m_bThreadsRunning;
    if (running) {
        for (CLavSplitterOutputPin* pin : m_active) pin->DeliverBeginFlush();
        SignalStop_Locked();
        JoinThreads_Locked();
        for (CLavSplitterOutputPin* pin : m_active) pin->DeliverEndFlush();
    }
    REFERENCE_TIME landed = 0;
    const bool ok = m_pDemuxer->Seek(target, &landed);
    *pLanded = ok ? landed : target;
    m_rtPosition = *pLanded;
    m_bRewindOnStart = false;
    // After a failed seek the demuxer has ended: the threads send end of stream.
    if (running) StartThreads_Locked();
    return ok ? S_OK : E_FAIL;
}

CLavSplitterOutputPin* CLavSplitter::ActivePinFor(lav::MediaKind kind) const
{
    for (CLavSplitterOutputPin* pin : m_active)
        if (pin->Kind() == kind) return pin;
    return nullptr;
}

bool CLavSplitter::OthersEmpty_Locked(const CLavSplitterOutputPin* pin)
{
    for (CLavSplitterOutputPin* other : m_active)
        if (other != pin && !QueueOf(other).packets.empty()) return false;
    return true;
}

void CLavSplitter::StartThreads_Locked()
{
    m_active.clear();
    for (auto& pin : m_outputs)
        if (pin->IsConnected()) m_active.push_back(pin.get());
    if (m_active.empty()) return;
    m_bStopThreads = false;
    // What the threads need of the filter's state is handed over here: they
    // never take the filter lock, which a stopping thread holds while it
    // joins them.
    const REFERENCE_TIME segmentStart = m_pDemuxer->SegmentStart();
    const REFERENCE_TIME duration = m_pDemuxer->Duration() != lav::kNoTime ? m_pDemuxer->Duration() : INT64_MAX;
    const REFERENCE_TIME stop = m_rtStop;
    const REFERENCE_TIME segmentStop = stop != INT64_MAX ? stop : duration;
    for (CLavSplitterOutputPin* pin : m_active)
        pin->m_thread =
            std::thread([this, pin, segmentStart, segmentStop] { DeliveryLoop(pin, segmentStart, segmentStop); });
    m_demuxThread = std::thread([this, segmentStart, stop] { DemuxLoop(segmentStart, stop); });
    m_bThreadsRunning = true;
}

void CLavSplitter::SignalStop_Locked()
{
    {
        MutexLock queueLock(m_queueMutex);
        m_bStopThreads = true;
    }
    m_cvQueues.notify_all();
    if (m_pDemuxer) m_pDemuxer->Abort();
}

void CLavSplitter::JoinThreads_Locked()
{
    if (m_demuxThread.joinable()) m_demuxThread.join();
    for (CLavSplitterOutputPin* pin : m_active)
        if (pin->m_thread.joinable()) pin->m_thread.join();
    {
        MutexLock queueLock(m_queueMutex);
        for (CLavSplitterOutputPin* pin : m_active) QueueOf(pin) = {};
    }
    if (m_pDemuxer) m_pDemuxer->ClearAbort();
    m_bStopThreads = false;
    m_bThreadsRunning = false;
}

void CLavSplitter::DemuxLoop(REFERENCE_TIME segmentStart, REFERENCE_TIME stop)
{
    SetCurrentThreadNormalPriority();
    auto endAll = [&] {
        {
            MutexLock queueLock(m_queueMutex);
            for (CLavSplitterOutputPin* pin : m_active) QueueOf(pin).packets.emplace_back(std::nullopt);
        }
        m_cvQueues.notify_all();
    };
    for (;;) {
        if (m_bStopThreads.load()) return;
        lav::DemuxPacket packet;
        const lav::ReadStatus status = m_pDemuxer->ReadPacket(packet);
        if (status == lav::ReadStatus::Aborted) return;
        if (status == lav::ReadStatus::EndOfStream ||
            (stop != INT64_MAX && packet.times.HasStart() && packet.times.start + segmentStart > stop)) {
            endAll();
            return;
        }
        CLavSplitterOutputPin* pin = ActivePinFor(packet.kind);
        if (!pin) continue;
        const size_t bytes = packet.PackedSize();
        {
            MutexUniqueLock queueLock(m_queueMutex);
            // Room in this queue, or (up to a hard cap) the other streams
            // have nothing left to work on.
            queueLock.Wait(m_cvQueues, [&]() REQUIRES(m_queueMutex) {
                if (m_bStopThreads.load()) return true;
                const size_t n = QueueOf(pin).packets.size(), b = QueueOf(pin).bytes;
                if (n < kMaxQueuePackets && b < kMaxQueueBytes) return true;
                return OthersEmpty_Locked(pin) && n < 4 * kMaxQueuePackets && b < 4 * kMaxQueueBytes;
            });
            if (m_bStopThreads.load()) return;
            QueueOf(pin).packets.emplace_back(std::move(packet));
            QueueOf(pin).bytes += bytes;
        }
        m_cvQueues.notify_all();
    }
}

void CLavSplitter::DeliveryLoop(CLavSplitterOutputPin* pin, REFERENCE_TIME segmentStart, REFERENCE_TIME segmentStop)
{
    SetCurrentThreadNormalPriority();
    pin->DeliverNewSegment(segmentStart, segmentStop, 1.0);
    bool failed = false;  // downstream refused: keep draining, still end the stream
    unsigned tooLarge = 0;
    for (;;) {
        std::optional<lav::DemuxPacket> item;
        {
            MutexUniqueLock queueLock(m_queueMutex);
            queueLock.Wait(m_cvQueues,
                           [&]() REQUIRES(m_queueMutex) { return m_bStopThreads.load() || !QueueOf(pin).packets.empty(); });
            if (m_bStopThreads.load()) return;
            CLavSplitterOutputPin::PacketQueue& queue = QueueOf(pin);
            item = std::move(queue.packets.front());
            queue.packets.pop_front();
            if (item) queue.bytes -= std::min(queue.bytes, item->PackedSize());
        }
        m_cvQueues.notify_all();
        if (!item) {
            pin->DeliverEndOfStream();
            continue;  // idle until stop or seek
        }
        if (failed) continue;
        IMediaSample* raw = nullptr;
        HRESULT hr = pin->GetDeliveryBuffer(&raw, nullptr, nullptr, 0);
        if (FAILED(hr)) {
            if (m_bStopThreads.load()) return;
            failed = true;
            continue;
        }
        ComPtr<IMediaSample> sample = ComPtr<IMediaSample>::Attach(raw);
        const size_t size = item->PackedSize();
        if (size > static_cast<size_t>(sample->GetSize())) {
            // A packet larger than the buffers (a 4K key frame in a stream
            // that began small, a huge uncompressed frame): larger buffers.
            sample = nullptr;
            {
                MutexLock queueLock(m_queueMutex);
                hr = m_bStopThreads.load() ? VFW_E_NOT_COMMITTED : GrowBuffers_Locked(pin, size);
            }
            if (SUCCEEDED(hr)) hr = pin->GetDeliveryBuffer(&raw, nullptr, nullptr, 0);
            if (SUCCEEDED(hr)) sample = ComPtr<IMediaSample>::Attach(raw);
            if (!sample || size > static_cast<size_t>(sample->GetSize())) {
                if (m_bStopThreads.load()) return;
                // Skipped; logged the first time and then once per 300.
                if (tooLarge++ % 300 == 0)
                    CLogLine().rec().Advance("CLavSplitter::Deliver packet too large ")
                        << static_cast<unsigned long>(size) << LogThis{this};
                continue;
            }
        }
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        item->PackTo(data);
        sample->SetActualDataLength(static_cast<LONG>(size));
        REFERENCE_TIME start = item->times.start, end = item->times.stop;
        if (item->times.HasStart()) {
            sample->SetTime(&start, item->times.HasStop() ? &end : nullptr);
            m_rtPosition = segmentStart + start;
        } else {
            sample->SetTime(nullptr, nullptr);
        }
        sample->SetSyncPoint(item->syncPoint ? TRUE : FALSE);
        sample->SetDiscontinuity(item->discontinuity ? TRUE : FALSE);
        hr = pin->Deliver(sample.Get());
        if (FAILED(hr)) failed = true;
    }
}
