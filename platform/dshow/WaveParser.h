#pragma once
// CWaveParser: "Wave Parser", the system filter for RIFF WAVE files with
// PCM sound (8 or 16 bits, any channel count). Its input pin "input" pulls
// the file through the source's IAsyncReader; its output pin "output"
// delivers blocks of about 50 ms on a streaming thread of its own and
// answers IMediaSeeking.
//
// Streaming thread: started when the filter pauses from stopped, ended at
// Stop (after the output allocator is decommitted, which releases a wait
// for a buffer; a wait in the downstream Receive is released by the
// downstream filter's Stop, which the graph does first) and around a seek
// (the flush releases the downstream wait).
//
// Seeking: SetPositions flushes downstream, restarts the thread at the new
// position with a new segment, and keeps the filter's state. Every block is
// a key frame, so AM_SEEKING_SeekToKeyFrame only aligns to whole sample
// frames. With AM_SEEKING_ReturnTime the position reached is written back.
#include <atomic>
#include <memory>
#include <thread>

#include "platform/dshow/BaseFilter.h"
#include "platform/dshow/MediaTimeSeeking.h"

class CWaveParser;

class CWaveSeeking final : public CMediaTimeSeeking
{
public:
    explicit CWaveSeeking(CWaveParser* parser) : m_pParser(parser) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
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

private:
    CWaveParser* const m_pParser;
};

class CWaveParser final : public CBaseFilter
{
public:
    CWaveParser();
    ~CWaveParser() override;

    int GetPinCount() override { return 2; }
    CBasePin* GetPin(int n) override;
    HRESULT Stop() override;
    HRESULT Pause() override;

    // Pin callbacks (filter lock held).
    HRESULT ParseHeader(IAsyncReader* reader);
    void DropReader();
    HRESULT GetOutputType(int position, CMediaType* pmt);
    LONG BytesPerBuffer() const;
    IMediaSeeking* Seeking() { return &m_seeking; }

    // Seeking, filter lock held.
    REFERENCE_TIME Duration_Locked() const;
    HRESULT Seek_Locked(LONGLONG* pCurrent, DWORD currentFlags, LONGLONG* pStop, DWORD stopFlags);
    REFERENCE_TIME CurrentStart_Locked() const { return m_rtStart; }
    REFERENCE_TIME CurrentStop_Locked() const { return m_rtStop; }

private:
    void StartThread_Locked();
    void StopThread_Locked();
    void StreamThread(REFERENCE_TIME start, REFERENCE_TIME stop);
    REFERENCE_TIME TimeOfBytes(LONGLONG bytes) const;
    LONGLONG BytesOfTime(REFERENCE_TIME t) const;  // whole sample frames

    CCritSec m_lock;
    std::unique_ptr<CBasePin> m_pInput;
    std::unique_ptr<CBaseOutputPin> m_pOutput;
    CWaveSeeking m_seeking{this};
    // Guarded by m_lock; stable while the streaming thread runs.
    ComPtr<IAsyncReader> m_pReader;
    WAVEFORMATEX m_wfx{};
    bool m_bParsed = false;
    LONGLONG m_llDataOffset = 0;
    LONGLONG m_llDataSize = 0;
    REFERENCE_TIME m_rtStart = 0;  // position of the current segment
    REFERENCE_TIME m_rtStop = 0;   // end of the current segment
    std::thread m_thread;
    std::atomic<bool> m_bStopThread{false};
};
