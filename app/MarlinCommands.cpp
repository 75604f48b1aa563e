// The playback commands. The engine that plays a file (CMultiMediaPlay) is
// not part of the host yet: every command answers as an idle host does, with
// the locking and log lines it has when an engine exists.
#include "app/MarlinDlg.h"
#include "log/LogWrapper.h"

void CMarlinDlg::CPlayDeleter::operator()(CMultiMediaPlay* /*play*/) const
{
    // No engine can be created yet, so there is none to destroy.
}

MediaInfo CMarlinDlg::TestFile(const char16_t* /*path*/)
{
    MediaInfo info{};
    info.durationMs = -1;  // no engine to open the file with
    return info;
}

bool CMarlinDlg::StartPlayFile(const char16_t* path, const MediaFormat* /*format*/, IMarlinMgrSink* sink)
{
    CLogLine().rec().Advance("CMarlinDlg::StartPlayFile ") << path;
    std::lock_guard<std::recursive_mutex> lock(m_cmdLock);
    if (m_pPlay) StopPlayFile();
    m_pFrameSink.store(sink);
    // Creating and starting the engine fails: there is none to create.
    m_pFrameSink.store(nullptr);
    (CLogLine().rec().Advance("CMarlinDlg::StartPlayFile ") << path).Advance(" failed");
    return false;
}

MediaInfo CMarlinDlg::GetFileInfo()
{
    MediaInfo info{};
    info.durationMs = -1;
    std::lock_guard<std::recursive_mutex> lock(m_cmdLock);
    return info;
}

bool CMarlinDlg::StopPlayFile()
{
    CLogLine().rec().Advance("CMarlinDlg::StopPlayFile ");
    std::lock_guard<std::recursive_mutex> lock(m_cmdLock);
    m_pPlay.reset();
    m_pColorSpaceZoom = nullptr;
    m_pResampleCtx = nullptr;
    return true;
}

bool CMarlinDlg::Pause()
{
    CLogLine().rec().Advance("CMarlinDlg::Pause ");
    std::lock_guard<std::recursive_mutex> lock(m_cmdLock);
    return true;
}

bool CMarlinDlg::Contine()
{
    CLogLine().rec().Advance("CMarlinDlg::Contine ");
    std::lock_guard<std::recursive_mutex> lock(m_cmdLock);
    return true;
}

bool CMarlinDlg::Seek(int64_t positionMs)
{
    CLogLine().rec().Advance("CMarlinDlg::Seek ") << static_cast<long long>(positionMs);
    std::lock_guard<std::recursive_mutex> lock(m_cmdLock);
    return false;  // nothing is playing
}

bool CMarlinDlg::GetPosition(int64_t* /*positionMs*/)
{
    std::lock_guard<std::recursive_mutex> lock(m_cmdLock);
    return false;  // nothing is playing: the output stays unchanged
}
