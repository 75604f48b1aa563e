#pragma once
// The host's hidden control dialog: owner of all run-time state. It links to
// the controller, executes the commands that arrive by the pipe (on the pipe
// reader thread) or as WM_COPYDATA (on the window thread), answers through
// its one send operation and ends the host when the link is lost.
//
// Threads that enter it: the window thread (initialisation, window messages,
// WM_COPYDATA commands), the pipe reader (OnData, OnPipeClosed), the
// "MessgeBack" position poller, and the engine's streaming threads
// (OnDateReceive). Dialog states: initialising -> running (linked or not)
// -> quitting (m_bQuitPosted) -> destroyed.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "app/IMarlinMgr.h"
#include "convert/ResampleDriver.h"
#include "pipe/SimplePipe.h"
#include "pipe/ThreadWindows.h"
#include "platform/os/Sync.h"
#include "platform/ui/Dialog.h"
#include "playback/IRendererDataSink.h"
#include "playback/MediaFormat.h"
#include "playback/MediaInfo.h"

class CMultiMediaPlay;
class IColorSpaceZoom;

class CMarlinDlg : public CDialog,
                   public IRendererDataSink,
                   public IMarlinMgr,
                   public IMarlinMgrSink,
                   public CSimplePipeSink
{
public:
    enum { IDD = 102 };
    static constexpr const char kCaption[] = "Marlin";
    // Window messages of the dialog.
    static constexpr UINT WM_MARLIN_COMMAND = 1523;  // wParam: copied command, lParam: its size
    static constexpr UINT WM_MARLIN_IDLE = 1524;     // consumed without effect
    static constexpr UINT WM_GRAPH_NOTIFY = 1425;    // the engine's graph events
    static constexpr UINT IDC_BUTTON1 = 1000;        // the test button
    static constexpr size_t kPipeNameSize = 260;

    explicit CMarlinDlg(CDialog* pParent = nullptr);
    ~CMarlinDlg() override;

    // IRendererDataSink
    // Without a stamp: as a sample that carries no time.
    void OnDateReceive(bool isVideo, const MediaFormat* format, const uint8_t* data, int32_t length) override;
    void OnSampleReceive(bool isVideo, const MediaFormat* format, const uint8_t* data, int32_t length,
                         const SampleStamp& stamp) override;
    void OnPlayComplete() override;
    void OnPictureColour(const PictureColour& colour) override;
    // Builds the converter or resampler of the held sample's stream ahead of
    // its time; the sample itself is handed over when it is rendered.
    void OnSamplePreroll(bool isVideo, const MediaFormat* format, const uint8_t* data, int32_t length) override;
    // A picture read from its decoder's planes; false when the converter
    // reads its source packed (the picture then comes as OnSampleReceive).
    bool OnPictureReceive(const MediaFormat* format, const PicturePlanes& planes, const SampleStamp& stamp) override;

    // IMarlinMgr
    bool SetReplyWnd(uint32_t value) override;
    MediaInfo TestFile(const char16_t* path) override;
    bool StartPlayFile(const char16_t* path, const MediaFormat* format, IMarlinMgrSink* sink) override EXCLUDES(m_cmdLock);
    MediaInfo GetFileInfo() override EXCLUDES(m_cmdLock);
    bool StopPlayFile() override EXCLUDES(m_cmdLock);
    bool Pause() override EXCLUDES(m_cmdLock);
    bool Contine() override EXCLUDES(m_cmdLock);
    bool Seek(int64_t positionMs) override EXCLUDES(m_cmdLock);
    bool GetPosition(int64_t* positionMs) override EXCLUDES(m_cmdLock);

    // IMarlinMgrSink
    // Without a stamp: number, time and flags 0.
    void OnVideoFrame(const MediaFormat* format, const uint8_t* data, long length) override;
    void OnAudioFrame(const MediaFormat* format, const uint8_t* data, long length) override;
    void OnVideoFrame(const MediaFormat* format, const uint8_t* data, long length, const FrameStamp& stamp) override;
    void OnAudioFrame(const MediaFormat* format, const uint8_t* data, long length, const FrameStamp& stamp) override;
    void OnVideoFrameParts(const MediaFormat* format, const IColorSpaceZoom::Parts& parts,
                           const FrameStamp& stamp) override;

    // CSimplePipeSink
    void OnPipeClosed(int reason) override;
    void OnData(const void* data, uint32_t length) override;

    // --- hooks for tests (never used by the host itself) ---
    // Connects the pipe client as the dialog's initialisation does.
    bool ConnectPipeForTesting(const char* baseName) { return m_pipe.Connect(baseName); }
    // Links the pipe client to two connected handles (written, read).
    bool AttachPipeForTesting(CPipeHandle writePipe, CPipeHandle readPipe)
    {
        return m_pipe.Attach(std::move(writePipe), std::move(readPipe));
    }
    // A subclass ends the link in its own destructor: the reader calls the
    // dialog's virtuals, which must not run while the subclass goes away.
    bool ClosePipeForTesting() { return m_pipe.Close(); }
    // Prepares the frame path as a successful StartPlayFile does, without an
    // engine: samples can then be fed to OnDateReceive directly.
    void BeginDeliveryForTesting(const MediaFormat& target, IMarlinMgrSink* sink)
    {
        m_pFrameSink.store(sink);
        ResetDeliveryState(target);
    }
    // Releases the converters as StopPlayFile does once the engine is gone.
    void EndDeliveryForTesting() { ReleaseConverters(); }
    // The millisecond tick that paces the picture receive line.
    static void SetTickSourceForTesting(uint32_t (*tick)());
    // The process-wide time of the last picture receive line.
    static void SetVideoLogTimeForTesting(uint32_t time);
    int32_t AudioMsgSizeForTesting() const { return m_nAudioMsgSize; }
    int32_t FrameCountForTesting() const { return m_nFrameCount.load(); }
    bool VideoEnabledForTesting() const { return m_bVideoEnabled.load() != 0; }
    bool HasConverterForTesting() const { return m_pColorSpaceZoom != nullptr; }
    bool HasResamplerForTesting() const { return m_resample.Resampler() != nullptr; }
    void SetPositionForTesting(int64_t ms) { m_llPosition.store(ms); }
    // The test button's file: the project's media/sample.mp4, looked up
    // beside the program and in the source tree.
    static std::u16string TestMediaPath();
    // The test button's seek: one second before the end, computed in 32
    // bits; 0 for a file of a second or less, or of unknown length.
    static int64_t TestSeekTarget(int32_t durationMs);
    // What the converter of a source colour code is initialised with.
    static int ModeFlagFor(int32_t sourceColorSpace);
    static int IsYV12For(int32_t sourceColorSpace);

protected:
    BOOL OnInitDialog() override;
    // The Enter key must not close the dialog.
    void OnOK() override {}
    // A termination signal: a window thread blocked in a send would never
    // take the WM_CLOSE it posted; its send is made to fail.
    void OnSignalClose() override;

private:
    friend class CMarlinApp;  // fills m_szPipeName

    struct CPlayDeleter
    {
        void operator()(CMultiMediaPlay* play) const;
    };

    // Executes one message (header + fields) and sends its reply.
    void Dispatch(const void* data, uint32_t length);
    // The send operation: one packet on the first pipe, unless silenced.
    // A failed send ends the host.
    void SendToClient(const void* data, long size);
    // The same for a message given in pieces, sent as one packet without
    // first copying them together.
    void SendPartsToClient(const PipeBuffer* parts, size_t count);
    // Posts WM_QUIT to the window, the first time only, and releases the
    // window thread if it is blocked in a send.
    void PostQuitOnce();
    // GetPosition into m_llPosition, under the command lock.
    void RefreshCachedPosition() EXCLUDES(m_cmdLock);
    // GetPosition's work, the command lock held.
    bool GetPositionLocked(int64_t* positionMs) REQUIRES(m_cmdLock);

    static bool PollCallback(void* self);
    bool OnPollTick();
    // The poller's refresh; it stops waiting for the command lock once the
    // poller is being stopped.
    void PollPosition() EXCLUDES(m_cmdLock);
    // False when the poller is still running after the stop's wait.
    bool StopPositionPoller();
    // A thread that runs in the dialog could not be stopped: the process
    // ends at once with status 0, and nothing it may use is destroyed.
    [[noreturn]] void EndProcessWithThreadRunning(const char* thread);

    // Frame path state for a new playback: target format, video enabled,
    // counters and cached position at 0. Command lock held, no streaming.
    void ResetDeliveryState(const MediaFormat& target);
    // Converter and resampler go; only once no streaming thread runs.
    void ReleaseConverters();
    // The picture path of OnDateReceive (video streaming thread).
    void ReceivePicture(const MediaFormat& source, const uint8_t* data, int32_t length, const SampleStamp& stamp);
    // What every picture goes through before its conversion: its number,
    // stamp and the receive log line. Returns the frame stamp and whether
    // the line was written.
    FrameStamp StampPicture(const SampleStamp& stamp, bool* logged);
    // Hands a converted picture to the frame sink.
    void SendPicture(const IColorSpaceZoom::Parts& picture, const FrameStamp& frame, bool logged);
    // The sound path of OnDateReceive (audio streaming thread).
    void ReceiveSound(const MediaFormat& source, const uint8_t* data, int32_t length, const SampleStamp& stamp);
    // Converter for `source`, created (or re-created after a source format
    // change) on demand; null while video is disabled.
    IColorSpaceZoom* ConverterFor(const MediaFormat& source);

    // The playback commands' work with m_cmdLock held: the engine's start
    // (the old one already gone) and its end with the frame path's objects.
    bool StartLocked(const char16_t* path, const MediaFormat* format, IMarlinMgrSink* sink)
        REQUIRES(m_cmdLock);
    void StopLocked() REQUIRES(m_cmdLock);

    LRESULT OnCopyData(WPARAM wParam, LPARAM lParam);
    LRESULT OnGraphNotify(WPARAM wParam, LPARAM lParam) EXCLUDES(m_cmdLock);
    LRESULT OnMarlinCommand(WPARAM wParam, LPARAM lParam);
    void OnBnClickedButton1();

    // --- state, in the documented order ---

    std::unique_ptr<CMultiMediaPlay, CPlayDeleter> m_pPlay GUARDED_BY(m_cmdLock);
    // Read by every sending thread, written by the dispatch.
    std::atomic<uint32_t> m_nReplyWnd{1};
    // Written by StartPlayFile while no streaming runs; read by streaming threads.
    MediaFormat m_targetFormat{};
    // Video streaming thread only (released by StopPlayFile after streaming
    // ends), with the source format it was initialised for.
    IColorSpaceZoom* m_pColorSpaceZoom = nullptr;
    MediaFormat m_zoomSource{};
    PictureColour m_zoomColour{};
    // The colour of the agreed picture type: written by the video renderer's
    // type agreement (graph building, or the video streaming thread), read by
    // the video streaming thread; back to the default by ReleaseConverters.
    std::atomic<PictureColour> m_pictureColour{PictureColour{}};
    // Set by StartPlayFile, cleared by a failed Init on the video thread.
    std::atomic<int32_t> m_bVideoEnabled{1};
    // Audio streaming thread only; reset by StartPlayFile before the graph runs.
    int32_t m_nAudioBlocks = 0;
    // Frame stamps. Numbers count the samples each renderer handed over, so
    // a picture the converter drops leaves a gap; a discontinuity waits for
    // the next frame sent. Each on its own streaming thread only; reset by
    // StartPlayFile before the graph runs.
    uint32_t m_nVideoNumber = 0;
    uint32_t m_nAudioNumber = 0;
    bool m_bVideoDiscontinuity = true;
    bool m_bAudioDiscontinuity = true;
    int64_t m_llLastVideoTime = 0;  // for a picture without a time
    // The command lock, the first in the host's lock order
    // (platform/dshow/README.md): the engine's graph lock is taken under it.
    Mutex m_cmdLock;
    // Created and stopped on the window thread.
    std::unique_ptr<ThreadWindows> m_pPositionThread;
    // Pipe reader thread only.
    bool m_bPipeComInit = false;
    // Sound message buffer, audio streaming thread only. Pictures need none:
    // they are sent from the converter's output in pieces.
    std::unique_ptr<uint8_t[]> m_pAudioMsg;
    int32_t m_nAudioMsgSize = 0;
    // Not owned. Set and cleared by StartPlayFile while no streaming runs.
    std::atomic<IMarlinMgrSink*> m_pFrameSink{nullptr};
    // Written under m_cmdLock (poller, Seek, start); read without lock by
    // streaming threads, hence atomic.
    std::atomic<int64_t> m_llPosition{0};
    CSimplePipe m_pipe;
    // Filled before DoModal, read-only afterwards.
    char m_szPipeName[kPipeNameSize] = {};
    std::atomic<bool> m_bQuitPosted{false};
    // Set while the window thread is inside a send (see PostQuitOnce).
    std::atomic<bool> m_bWindowSending{false};
    // Poller thread only.
    int32_t m_nPollTicks = 0;
    // Incremented by both streaming threads; paces the per-frame log lines.
    std::atomic<int32_t> m_nFrameCount{0};
    // The resampler of the playback (m_pResampleCtx), its output buffer
    // (m_pResampleData, iDataLen). Audio streaming thread only; the resampler
    // is released by StopPlayFile after streaming ends, the buffer with the
    // dialog.
    CResampleDriver m_resample;

    // Wakes the poller out of its 500 ms pause when the dialog ends.
    Mutex m_pollLock;
    std::condition_variable m_pollWake;
    bool m_bPollStop GUARDED_BY(m_pollLock) = false;

    // Window thread only: set while graph events are drained under the
    // command lock, with the completions counted meanwhile, to be sent once
    // the lock is released.
    bool m_bDrainingEvents = false;
    int m_nCompletions = 0;

    // Window thread only: copies of WM_COPYDATA blocks waiting for their
    // WM_MARLIN_COMMAND; whatever the loop did not reach is freed with the dialog.
    std::unordered_map<const uint8_t*, std::unique_ptr<uint8_t[]>> m_pendingCommands;
};
