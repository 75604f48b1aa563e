// The playback commands: they own the engine of the file now playing.
//
//   Idle (m_pPlay null) --StartPlayFile ok--> Playing (graph running/paused)
//   Playing --StartPlayFile--> old one stopped, then Playing or Idle
//   Playing --StopPlayFile / dialog end--> Idle
//
// Every operation but TestFile runs under m_cmdLock (a plain lock: none
// re-enters it, and a re-entry ends the process). The streaming threads
// never take it, so destroying the engine under it, which waits for them,
// cannot deadlock. The graph-event handler takes it too, so HandleGraphEvents never
// runs on an engine that a stop on another thread is destroying. Nothing is
// sent to the controller while it is held, and the freed memory of an ended
// playback goes back to the system only after it is released.
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/MarlinDlg.h"
#include "convert/ColorSpaceZoom.h"
#include "log/LogWrapper.h"
#include "platform/os/Memory.h"
#include "platform/os/Unicode.h"
#include "platform/ui/GraphNotify.h"
#include "playback/MultiMediaPlay.h"

#ifndef MARLIN_SOURCE_DIR
#define MARLIN_SOURCE_DIR ""
#endif

void CMarlinDlg::CPlayDeleter::operator()(CMultiMediaPlay* play) const { delete play; }

MediaInfo CMarlinDlg::TestFile(const char16_t* path)
{
    MediaInfo info{};
    info.durationMs = -1;
    // A throw-away engine of this call's own: no lock, no dialog state.
    auto engine = std::make_unique<CMultiMediaPlay>(true, nullptr);
    if (path && engine->Create() && engine->RenderFile(path)) {
        engine->GetMediaInfo(info);
        CLogLine().rec().Advance("CMarlinDlg::TestFile ") << static_cast<unsigned int>(info.durationMs);
    }
    return info;
}

void CMarlinDlg::ResetDeliveryState(const MediaFormat& target)
{
    m_bVideoEnabled.store(1);
    m_targetFormat = target;
    m_llPosition.store(0);
    m_nAudioBlocks = 0;
    m_nFrameCount.store(0);
    m_nVideoNumber = m_nAudioNumber = 0;
    m_bVideoDiscontinuity = m_bAudioDiscontinuity = true;
    m_llLastVideoTime = 0;
}

void CMarlinDlg::ReleaseConverters()
{
    DestoryColorSpaceZoom(m_pColorSpaceZoom);  // accepts null
    m_pColorSpaceZoom = nullptr;
    m_zoomSource = MediaFormat{};
    m_zoomColour = PictureColour{};
    m_pictureColour.store(PictureColour{});
    m_resample.ReleaseResampler();
}

bool CMarlinDlg::StartPlayFile(const char16_t* path, const MediaFormat* format, IMarlinMgrSink* sink)
{
    CLogLine().rec().Advance("CMarlinDlg::StartPlayFile ") << path;
    bool stopped = false;
    bool started = false;
    {
        MutexLock lock(m_cmdLock);
        if (m_pPlay) {
            CLogLine().rec().Advance("CMarlinDlg::StopPlayFile ");  // the old one's stop, as logged by a stop
            StopLocked();
            stopped = true;
        }
        started = StartLocked(path, format, sink);
    }
    // A new playback reuses the old one's freed memory; only a host left
    // idle gives it back.
    if (stopped && !started) ReleaseFreedMemory();
    return started;
}

bool CMarlinDlg::StartLocked(const char16_t* path, const MediaFormat* format, IMarlinMgrSink* sink)
{
    m_pFrameSink.store(sink);

    std::unique_ptr<CMultiMediaPlay, CPlayDeleter> engine(new CMultiMediaPlay(false, this));
    if (format && path && engine->Create() && engine->RenderFile(path)) {
        // The frame path starts over before the graph runs: its streaming
        // threads deliver from the first moment, and their first frames must
        // carry position 0 and the first audio block a trailer.
        ResetDeliveryState(*format);
        engine->SetNotifyWindow(NotifyWindowOf(*this), WM_GRAPH_NOTIFY);
        if (engine->Play()) {
            m_pPlay = std::move(engine);
            (CLogLine().rec().Advance("CMarlinDlg::StartPlayFile ") << path).Advance(" success!");
            return true;
        }
    }
    // The engine's destruction ends any streaming it began, so the frame
    // path's objects can go after it.
    engine.reset();
    ReleaseConverters();
    m_pFrameSink.store(nullptr);
    (CLogLine().rec().Advance("CMarlinDlg::StartPlayFile ") << path).Advance(" failed");
    return false;
}

MediaInfo CMarlinDlg::GetFileInfo()
{
    MediaInfo info{};
    info.durationMs = -1;
    MutexLock lock(m_cmdLock);
    if (m_pPlay) m_pPlay->GetMediaInfo(info);
    return info;
}

bool CMarlinDlg::StopPlayFile()
{
    CLogLine().rec().Advance("CMarlinDlg::StopPlayFile ");
    {
        MutexLock lock(m_cmdLock);
        StopLocked();
    }
    // The playback's buffers were spread over the allocator arenas of its
    // streaming threads; their freed pages go back to the system, so that
    // an idle host does not keep the high-water mark of every playback. It
    // walks every arena, so no command waits behind it.
    ReleaseFreedMemory();
    return true;
}

void CMarlinDlg::StopLocked()
{
    // Destroying the engine stops the graph and waits for its streaming
    // threads: no OnDateReceive runs once it returns.
    m_pPlay.reset();
    ReleaseConverters();
}

bool CMarlinDlg::Pause()
{
    CLogLine().rec().Advance("CMarlinDlg::Pause ");
    MutexLock lock(m_cmdLock);
    if (m_pPlay) m_pPlay->Pause();
    return true;
}

bool CMarlinDlg::Contine()
{
    CLogLine().rec().Advance("CMarlinDlg::Contine ");
    MutexLock lock(m_cmdLock);
    if (m_pPlay) m_pPlay->Play();
    return true;
}

bool CMarlinDlg::Seek(int64_t positionMs)
{
    CLogLine().rec().Advance("CMarlinDlg::Seek ") << static_cast<long long>(positionMs);
    MutexLock lock(m_cmdLock);
    if (!m_pPlay) return false;
    m_pPlay->SeekTo(positionMs);
    int64_t position = 0;
    if (m_pPlay->GetCurrentPosition(&position)) m_llPosition.store(position);
    return true;
}

bool CMarlinDlg::GetPosition(int64_t* positionMs)
{
    MutexLock lock(m_cmdLock);
    return GetPositionLocked(positionMs);
}

bool CMarlinDlg::GetPositionLocked(int64_t* positionMs)
{
    if (!m_pPlay) return false;
    int64_t position = 0;
    if (positionMs && m_pPlay->GetCurrentPosition(&position)) *positionMs = position;
    return true;
}

LRESULT CMarlinDlg::OnGraphNotify(WPARAM /*wParam*/, LPARAM /*lParam*/)
{
    // Window thread. The lock keeps a stop on the pipe thread from
    // destroying the engine while its events are drained. The completions
    // are sent after it is released: a send can block behind a controller
    // that does not read, and every command would wait behind it.
    {
        MutexLock lock(m_cmdLock);
        m_bDrainingEvents = true;
        if (m_pPlay) m_pPlay->HandleGraphEvents();
        m_bDrainingEvents = false;
    }
    for (; m_nCompletions > 0; --m_nCompletions) OnPlayComplete();
    return 0;
}

std::u16string CMarlinDlg::TestMediaPath()
{
    // The sample beside the program (an installed tree), above it (the
    // build's bin folder inside the project), or in the source tree.
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> candidates;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        fs::path dir = self.parent_path();
        for (int up = 0; up < 3 && !dir.empty() && dir != dir.root_path(); ++up, dir = dir.parent_path())
            candidates.push_back(dir / "media" / "sample.mp4");
    }
    if (*MARLIN_SOURCE_DIR) candidates.push_back(fs::path(MARLIN_SOURCE_DIR) / "media" / "sample.mp4");
    for (const fs::path& candidate : candidates) {
        if (fs::is_regular_file(candidate, ec)) return Utf8ToUtf16(fs::absolute(candidate, ec).string());
    }
    // Not found: a path that fails to open, as a missing file does.
    return Utf8ToUtf16((fs::path(MARLIN_SOURCE_DIR) / "media" / "sample.mp4").string());
}

void CMarlinDlg::OnBnClickedButton1()
{
    const MediaFormat format{320, 240, ColorSpace::YUY2, 16000, 16, 1};
    const std::u16string path = TestMediaPath();
    StartPlayFile(path.c_str(), &format, this);
    const MediaInfo info = GetFileInfo();
    Seek(TestSeekTarget(info.durationMs));
}

int64_t CMarlinDlg::TestSeekTarget(int32_t durationMs)
{
    // 32-bit arithmetic passed with a zero upper half; a file shorter than a
    // second (or of unknown length, -1) seeks to its start, not to a huge
    // unsigned position.
    const uint32_t target = durationMs > 1000 ? static_cast<uint32_t>(durationMs) - 1000u : 0u;
    return static_cast<int64_t>(target);
}
