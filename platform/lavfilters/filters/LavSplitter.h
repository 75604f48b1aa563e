#pragma once
// "LAV Splitter" (and "System Splitter"): lav::Demuxer behind the upstream
// pin's IAsyncReader, one output pin per chosen stream (best video, best
// audio), each fed by its own delivery thread from its own bounded queue.
//
// Threads
// - The demux thread reads packets and appends them to the pins' queues.
// - One delivery thread per output pin takes packets from its queue and
//   delivers them downstream, then end of stream.
// - Application threads connect, change state and seek (filter lock).
//
// Blocking points and what wakes them
// - demux thread in the reader: Demuxer::Abort (IAsyncReader::BeginFlush);
// - demux thread on a full queue: m_bStopThreads + m_cvQueues;
// - delivery thread on an empty queue: m_bStopThreads + m_cvQueues;
// - delivery thread in GetDeliveryBuffer / downstream Receive: the
//   downstream BeginFlush we send before a seek, and the decommit of our
//   allocators in Stop.
//
// Streaming states (filter lock):
//
//   stopped --Pause/Run--> streaming --Stop--> stopped
//                            |   ^
//                    seek:   v   | restart with NewSegment at the landing point
//                          flushing
//
// Every seek request seeks and restarts, also one to the same place. A
// start after a stop plays the current segment from its start: going on
// from where the playback stopped is the graph manager's job, which seeks
// before it pauses the filters again. So one owner decides where a
// restarted playback begins.
//
// A queue holds at most kMaxQueuePackets packets while the other queue has
// data; when the other queue runs dry the limit rises (up to 4x), so that a
// renderer waiting on one stream never starves the other.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/MediaTimeSeeking.h"
#include "platform/lavfilters/core/Demuxer.h"

class CLavSplitter;

class CLavSplitterInputPin final : public CBasePin
{
public:
    CLavSplitterInputPin(CLavSplitter* pFilter, CCritSec* pLock, HRESULT* phr);

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT CheckConnect(IPin* pPin) override;
    HRESULT CompleteConnect(IPin* pReceivePin) override;
    HRESULT BreakConnect() override;
    // A pull pin: nothing is pushed into it.
    HRESULT EndOfStream() override { return E_UNEXPECTED; }
    HRESULT BeginFlush() override { return E_UNEXPECTED; }
    HRESULT EndFlush() override { return E_UNEXPECTED; }

private:
    CLavSplitter* const m_pSplitter;
    ComPtr<IAsyncReader> m_pReader;  // filter lock; set between CheckConnect and BreakConnect
    friend class CLavSplitter;
};

class CLavSplitterOutputPin final : public CBaseOutputPin, public CMediaTimeSeeking
{
public:
    CLavSplitterOutputPin(CLavSplitter* pFilter, CCritSec* pLock, HRESULT* phr, LPCWSTR name, CMediaType type,
                          lav::MediaKind kind, LONG bufferSize);

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return NonDelegatingQueryInterface(riid, ppv); }
    ULONG AddRef() override { return CBasePin::AddRef(); }
    ULONG Release() override { return CBasePin::Release(); }
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT CheckMediaType(const CMediaType* pmt) override;
    HRESULT GetMediaType(int position, CMediaType* pMediaType) override;
    HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProp) override;

    // IMediaSeeking (media time only), passed to the filter.
    HRESULT GetCapabilities(DWORD* pCapabilities) override;
    HRESULT GetDuration(LONGLONG* pDuration) override;
    HRESULT GetStopPosition(LONGLONG* pStop) override;
    HRESULT GetCurrentPosition(LONGLONG* pCurrent) override;
    HRESULT SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags) override;
    HRESULT GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override;
    HRESULT GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override;
    HRESULT SetRate(double dRate) override;
    HRESULT GetRate(double* pdRate) override;
    HRESULT GetPreroll(LONGLONG* pllPreroll) override;

    lav::MediaKind Kind() const { return m_kind; }

    // Largest packet a pin makes room for; larger ones are skipped.
    static constexpr LONG kMaxPacketBytes = 256 << 20;

private:
    friend class CLavSplitter;
    // Delivery thread, every sample of this pin back: recommits the agreed
    // allocator with buffers of at least `need` bytes (fewer of them when
    // they are huge). Only through CLavSplitter::GrowBuffers_Locked, under
    // the splitter's m_queueMutex, so that it never recommits behind Stop's
    // decommit.
    HRESULT GrowBuffers(size_t need);
    CLavSplitter* const m_pSplitter;
    const CMediaType m_type;
    const lav::MediaKind m_kind;
    const LONG m_lBufferSize;

    // Guarded by the splitter's m_queueMutex: reached only through
    // CLavSplitter::QueueOf, which the lock checker holds to it.
    struct PacketQueue
    {
        std::deque<std::optional<lav::DemuxPacket>> packets;  // empty optional: end of stream
        size_t bytes = 0;
    };
    PacketQueue m_queue;
    // Delivery thread; started and joined under the filter lock.
    std::thread m_thread;
};

class CLavSplitter : public CBaseFilter
{
public:
    explicit CLavSplitter(REFCLSID clsid);
    ~CLavSplitter() override;

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;
    HRESULT Stop() override;
    HRESULT Pause() override;

    static constexpr size_t kMaxQueuePackets = 200;
    static constexpr size_t kMaxQueueBytes = 16u << 20;

    // For tests: packets waiting in a pin's queue.
    size_t QueuedForTesting(int pin) EXCLUDES(m_queueMutex);

private:
    friend class CLavSplitterInputPin;
    friend class CLavSplitterOutputPin;

    // Input pin connection (filter lock).
    HRESULT OpenStream(IAsyncReader* pReader, IPin* pSourcePin) REQUIRES(m_csFilter);
    void CloseStream() REQUIRES(m_csFilter);
    // The base pins call their virtuals with m_pLock held, which is
    // &m_csFilter; the checker cannot see through that pointer.
    void FilterLockHeldByPin() ASSERT_CAPABILITY(m_csFilter) {}

    // Seeking (from any output pin).
    HRESULT SeekTo(REFERENCE_TIME target, REFERENCE_TIME* pLanded);
    REFERENCE_TIME Duration();
    REFERENCE_TIME CurrentPosition();

    // Threads (filter lock held by the callers of Start/StopThreads).
    void StartThreads_Locked() REQUIRES(m_csFilter);
    void StopThreads_Locked() REQUIRES(m_csFilter);
    void DemuxLoop(REFERENCE_TIME segmentStart, REFERENCE_TIME stop);
    void DeliveryLoop(CLavSplitterOutputPin* pin, REFERENCE_TIME segmentStart, REFERENCE_TIME segmentStop);
    void SignalStop_Locked() REQUIRES(m_csFilter);
    void JoinThreads_Locked() REQUIRES(m_csFilter);
    // The active pin for a packet kind; null when that stream has no
    // connected pin.
    CLavSplitterOutputPin* ActivePinFor(lav::MediaKind kind) const;
    // A pin's queue; every access goes through here.
    CLavSplitterOutputPin::PacketQueue& QueueOf(CLavSplitterOutputPin* pin) REQUIRES(m_queueMutex)
    {
        return pin->m_queue;
    }
    // Whether every active pin but `pin` has an empty queue.
    bool OthersEmpty_Locked(const CLavSplitterOutputPin* pin) REQUIRES(m_queueMutex);
    HRESULT GrowBuffers_Locked(CLavSplitterOutputPin* pin, size_t need) REQUIRES(m_queueMutex)
    {
        return pin->GrowBuffers(need);
    }

    // The splitter's filter lock: after the graph lock, before the locks
    // of the decoders downstream (platform/dshow/README.md).
    CCritSec m_csFilter;
    std::unique_ptr<CLavSplitterInputPin> m_pInput;
    // Output pins exist while the input is connected (filter lock). Pins
    // taken away stay alive in m_retired until the filter goes, since a
    // caller may still hold a pointer to one.
    std::vector<std::unique_ptr<CLavSplitterOutputPin>> m_outputs;
    std::vector<std::unique_ptr<CLavSplitterOutputPin>> m_retired;

    // The demuxer: used by the demux thread while streaming, by the filter
    // lock holder otherwise.
    std::unique_ptr<lav::Demuxer> m_pDemuxer;
    std::thread m_demuxThread;
    bool m_bThreadsRunning GUARDED_BY(m_csFilter) = false;
    // The connected output pins the threads serve; written under the filter
    // lock while no thread runs, read by the threads.
    std::vector<CLavSplitterOutputPin*> m_active;
    REFERENCE_TIME m_rtStop GUARDED_BY(m_csFilter) = INT64_MAX;  // end of the segment
    // Filter lock: the demuxer has read past the segment start (streamed,
    // then stopped), so starting again must go back to it.
    bool m_bRewindOnStart GUARDED_BY(m_csFilter) = false;

    // The pins' queues (QueueOf). A leaf lock but for the allocator calls of
    // GrowBuffers_Locked, which lock only the allocator.
    Mutex m_queueMutex;
    std::condition_variable m_cvQueues;
    std::atomic<bool> m_bStopThreads{false};
    // Media time of the last packet start handed downstream (any thread).
    std::atomic<REFERENCE_TIME> m_rtPosition{0};
};
