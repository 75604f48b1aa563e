#pragma once
// Test doubles for graphs built by hand: a push source with scripted
// samples, a graph that records the events it is sent, and helpers.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/SystemClock.h"

namespace testing_dshow {

using namespace std::chrono_literals;

// Waits until pred() holds, at most `limit`; true when it held.
inline bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = 5000ms)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

inline CMediaType MakeVideoType(const GUID& subtype, LONG width, LONG height, bool vih2 = false)
{
    CMediaType mt(MEDIATYPE_Video);
    mt.SetSubtype(subtype);
    if (vih2) {
        mt.SetFormatType(FORMAT_VideoInfo2);
        auto* vih = reinterpret_cast<VIDEOINFOHEADER2*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER2)));
        vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        vih->bmiHeader.biWidth = width;
        vih->bmiHeader.biHeight = height;
        vih->AvgTimePerFrame = 400000;
    } else {
        mt.SetFormatType(FORMAT_VideoInfo);
        auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER)));
        vih->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        vih->bmiHeader.biWidth = width;
        vih->bmiHeader.biHeight = height;
        vih->AvgTimePerFrame = 400000;
    }
    return mt;
}

inline CMediaType MakeAudioType(WORD tag, WORD channels, DWORD rate, WORD bits)
{
    CMediaType mt(MEDIATYPE_Audio);
    mt.SetSubtype(FourCCGuid(tag));
    mt.SetFormatType(FORMAT_WaveFormatEx);
    size_t size = tag == WAVE_FORMAT_EXTENSIBLE ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
    auto* wfx = reinterpret_cast<WAVEFORMATEX*>(mt.AllocFormatBuffer(static_cast<ULONG>(size)));
    wfx->wFormatTag = tag;
    wfx->nChannels = channels;
    wfx->nSamplesPerSec = rate;
    wfx->wBitsPerSample = bits;
    wfx->nBlockAlign = static_cast<WORD>(channels * bits / 8);
    wfx->nAvgBytesPerSec = rate * wfx->nBlockAlign;
    wfx->cbSize = tag == WAVE_FORMAT_EXTENSIBLE ? 22 : 0;
    return mt;
}

// Records every event; stands in for the graph's IMediaEventSink.
class CTestGraph final : public CUnknown, public IFilterGraph, public IMediaEventSink
{
public:
    struct Event
    {
        LONG code;
        LONG_PTR p1, p2;
        REFERENCE_TIME at;  // system clock time it arrived
    };
    CTestGraph() : CUnknown("CTestGraph") {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IFilterGraph) return GetInterface(static_cast<IFilterGraph*>(this), ppv);
        if (riid == IID_IMediaEventSink) return GetInterface(static_cast<IMediaEventSink*>(this), ppv);
        return CUnknown::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    HRESULT EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    HRESULT FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    HRESULT ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT Disconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT SetDefaultSyncSource() override { return E_NOTIMPL; }
    HRESULT Notify(LONG code, LONG_PTR p1, LONG_PTR p2) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_events.push_back({code, p1, p2, CSystemClock::Now()});
        return S_OK;
    }
    std::vector<Event> Events()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_events;
    }
    int Count(LONG code)
    {
        int n = 0;
        for (const Event& e : Events()) n += e.code == code;
        return n;
    }

private:
    std::mutex m_lock;
    std::vector<Event> m_events;
};

class CTestPushSource;

// One scripted sample: its bytes, optional times, optional new type, and
// how long the source works on it first (a slow decoder).
struct ScriptedSample
{
    std::vector<BYTE> bytes;
    std::optional<REFERENCE_TIME> start;
    std::optional<REFERENCE_TIME> end;
    std::optional<CMediaType> newType;
    std::chrono::milliseconds workBefore{0};
};

// Records the seeking requests that reach a source pin.
class CTestSeeking final : public IMediaSeeking
{
public:
    explicit CTestSeeking(IUnknown* owner) : m_owner(owner) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IMediaSeeking) return GetInterface(this, ppv);
        return m_owner->QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return m_owner->AddRef(); }
    ULONG Release() override { return m_owner->Release(); }
    HRESULT GetCapabilities(DWORD* p) override { *p = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetDuration; return S_OK; }
    HRESULT CheckCapabilities(DWORD*) override { return S_OK; }
    HRESULT IsFormatSupported(const GUID* f) override { return *f == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE; }
    HRESULT QueryPreferredFormat(GUID* f) override { *f = TIME_FORMAT_MEDIA_TIME; return S_OK; }
    HRESULT GetTimeFormat(GUID* f) override { *f = TIME_FORMAT_MEDIA_TIME; return S_OK; }
    HRESULT IsUsingTimeFormat(const GUID* f) override { return *f == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE; }
    HRESULT SetTimeFormat(const GUID* f) override { return *f == TIME_FORMAT_MEDIA_TIME ? S_OK : E_INVALIDARG; }
    HRESULT GetDuration(LONGLONG* d) override { *d = duration; return S_OK; }
    HRESULT GetStopPosition(LONGLONG* s) override { *s = duration; return S_OK; }
    HRESULT GetCurrentPosition(LONGLONG* c) override { *c = lastSeek.load(); return S_OK; }
    HRESULT ConvertTimeFormat(LONGLONG*, const GUID*, LONGLONG, const GUID*) override { return E_NOTIMPL; }
    HRESULT SetPositions(LONGLONG* cur, DWORD curFlags, LONGLONG*, DWORD) override
    {
        if (cur) lastSeek = *cur;
        lastFlags = curFlags;
        ++seeks;
        if (onSeek) onSeek();
        return S_OK;
    }
    HRESULT GetPositions(LONGLONG* c, LONGLONG* s) override { if (c) *c = lastSeek; if (s) *s = duration; return S_OK; }
    HRESULT GetAvailable(LONGLONG*, LONGLONG*) override { return E_NOTIMPL; }
    HRESULT SetRate(double) override { return S_OK; }
    HRESULT GetRate(double* r) override { *r = 1.0; return S_OK; }
    HRESULT GetPreroll(LONGLONG* p) override { *p = 0; return S_OK; }

    LONGLONG duration = 50000000;
    // What the source does on a seek (flush, deliver from the new place);
    // called on the seeking thread. Set before the graph runs.
    std::function<void()> onSeek;
    std::atomic<LONGLONG> lastSeek{-1};
    std::atomic<DWORD> lastFlags{0};
    std::atomic<int> seeks{0};

private:
    IUnknown* m_owner;
};

class CTestOutputPin final : public CBaseOutputPin
{
public:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IMediaSeeking) return GetInterface(static_cast<IMediaSeeking*>(&seeking), ppv);
        return CBaseOutputPin::NonDelegatingQueryInterface(riid, ppv);
    }
    CTestSeeking seeking{static_cast<IPin*>(this)};

    CTestOutputPin(CBaseFilter* filter, CCritSec* lock, std::vector<CMediaType> types)
        : CBaseOutputPin("CTestOutputPin", filter, lock, nullptr, u"Out"), m_types(std::move(types))
    {
    }
    HRESULT CheckMediaType(const CMediaType* pmt) override
    {
        for (const CMediaType& t : m_types)
            if (t.MatchesExactly(*pmt)) return S_OK;
        return S_FALSE;
    }
    HRESULT GetMediaType(int position, CMediaType* pmt) override
    {
        if (position < 0 || position >= static_cast<int>(m_types.size())) return VFW_S_NO_MORE_ITEMS;
        *pmt = m_types[position];
        return S_OK;
    }
    HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* props) override
    {
        props->cBuffers = buffers;
        props->cbBuffer = bufferSize;
        ALLOCATOR_PROPERTIES actual{};
        return alloc->SetProperties(props, &actual);
    }
    LONG buffers = 2;
    LONG bufferSize = 4096;

private:
    std::vector<CMediaType> m_types;
};

// A source with one output pin "Out" that pushes a script of samples on its
// own thread, then (optionally) end of stream.
class CTestPushSource final : public CBaseFilter
{
public:
    explicit CTestPushSource(std::vector<CMediaType> types)
        : CBaseFilter("CTestPushSource", &m_lock, GUID_NULL),
          m_pin(std::make_unique<CTestOutputPin>(this, &m_lock, std::move(types)))
    {
    }
    ~CTestPushSource() override { Join(); }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? m_pin.get() : nullptr; }
    CTestOutputPin* Pin() { return m_pin.get(); }

    // Starts pushing `script` on a new thread; the results of Deliver are
    // kept in Results().
    void Start(std::vector<ScriptedSample> script, bool endOfStream)
    {
        Join();
        m_results.clear();
        m_done = false;
        m_thread = std::thread([this, script = std::move(script), endOfStream] {
            for (const ScriptedSample& s : script) {
                if (s.workBefore.count() > 0) std::this_thread::sleep_for(s.workBefore);
                IMediaSample* sample = nullptr;
                HRESULT hr = m_pin->GetDeliveryBuffer(&sample, nullptr, nullptr, 0);
                if (FAILED(hr)) {
                    Record(hr);
                    break;
                }
                BYTE* data = nullptr;
                sample->GetPointer(&data);
                std::memcpy(data, s.bytes.data(), s.bytes.size());
                sample->SetActualDataLength(static_cast<LONG>(s.bytes.size()));
                if (s.start) {
                    REFERENCE_TIME start = *s.start, end = s.end.value_or(*s.start + 1);
                    sample->SetTime(&start, &end);
                }
                if (s.newType) {
                    CMediaType copy = *s.newType;
                    sample->SetMediaType(&copy);
                }
                hr = m_pin->Deliver(sample);
                sample->Release();
                Record(hr);
            }
            if (endOfStream) m_eosResult = m_pin->DeliverEndOfStream();
            m_done = true;
        });
    }
    void Join()
    {
        if (m_thread.joinable()) m_thread.join();
    }
    bool Done() const { return m_done.load(); }
    std::vector<HRESULT> Results()
    {
        std::lock_guard<std::mutex> guard(m_resultLock);
        return m_results;
    }
    HRESULT EndOfStreamResult() const { return m_eosResult.load(); }

private:
    void Record(HRESULT hr)
    {
        std::lock_guard<std::mutex> guard(m_resultLock);
        m_results.push_back(hr);
    }
    CCritSec m_lock;
    std::unique_ptr<CTestOutputPin> m_pin;
    std::thread m_thread;
    std::atomic<bool> m_done{false};
    std::atomic<HRESULT> m_eosResult{E_PENDING_FOR_TEST};
    std::mutex m_resultLock;
    std::vector<HRESULT> m_results;

public:
    static constexpr HRESULT E_PENDING_FOR_TEST = MakeHResult(0x8000000A);
};

inline std::vector<BYTE> Bytes(std::initializer_list<int> values)
{
    std::vector<BYTE> out;
    for (int v : values) out.push_back(static_cast<BYTE>(v));
    return out;
}

}  // namespace testing_dshow
