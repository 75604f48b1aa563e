#include "app/MarlinDlg.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "app/ComInit.h"
#include "log/LogWrapper.h"
#include "pipe/MessageFormat.h"
#include "platform/ui/GraphNotify.h"

namespace {

constexpr std::chrono::milliseconds kPollInterval{500};
// How often the poller tries again for a command lock that is taken.
constexpr std::chrono::milliseconds kPollLockSlice{50};
constexpr std::chrono::milliseconds kConnectDelay{500};
// The engine's teardown waits for its streaming threads without a limit of
// its own; at the end of the host it may take this long, as a stop does.
constexpr std::chrono::milliseconds kTeardownLimit{2000};
// Level 2 of ThreadWindows: normal priority.
constexpr int kPollerPriority = 2;

uint32_t ReadU32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The NUL-terminated UTF-16LE path that starts at `offset`, copied out
// (message bytes carry no alignment). False when it has no terminator
// inside the message.
bool ReadPath(const uint8_t* msg, uint32_t length, size_t offset, std::u16string& path)
{
    if (length < offset) return false;
    const size_t units = (length - offset) / 2;
    path.clear();
    for (size_t i = 0; i < units; ++i) {
        char16_t c;
        std::memcpy(&c, msg + offset + 2 * i, sizeof c);
        if (c == 0) return true;
        path.push_back(c);
    }
    return false;
}

// Calls `late` on a thread of its own unless destroyed within `limit`.
class CDeadline
{
public:
    CDeadline(std::chrono::milliseconds limit, std::function<void()> late)
        : m_thread([this, limit, late = std::move(late)] {
              MutexUniqueLock lock(m_lock);
              if (!lock.WaitFor(m_wake, limit, [this]() REQUIRES(m_lock) { return m_bMet; })) late();
          })
    {
    }
    ~CDeadline()
    {
        {
            MutexLock lock(m_lock);
            m_bMet = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    CDeadline(const CDeadline&) = delete;
    CDeadline& operator=(const CDeadline&) = delete;

private:
    Mutex m_lock;
    std::condition_variable m_wake;
    bool m_bMet GUARDED_BY(m_lock) = false;
    std::thread m_thread;  // last: starts once the members above exist
};

MediaInfo NoMediaInfo()
{
    MediaInfo info{};
    info.durationMs = -1;
    return info;
}

}  // namespace

CMarlinDlg::CMarlinDlg(CDialog* pParent) : CDialog(IDD, pParent), m_pipe(this)
{
    MapMessage(WM_COPYDATA, [this](WPARAM w, LPARAM l) { return OnCopyData(w, l); });
    MapMessage(WM_MARLIN_COMMAND, [this](WPARAM w, LPARAM l) { return OnMarlinCommand(w, l); });
    MapMessage(WM_MARLIN_IDLE, [](WPARAM, LPARAM) -> LRESULT { return 0; });
    MapMessage(WM_GRAPH_NOTIFY, [this](WPARAM w, LPARAM l) { return OnGraphNotify(w, l); });
    MapCommand(IDC_BUTTON1, [this] { OnBnClickedButton1(); });
    // Graph events reach this window through the process's poster.
    InstallGraphNotifyPoster();
}

CMarlinDlg::~CMarlinDlg()
{
    // Every thread that runs in the dialog has ended before any of it goes.
    // One that could not be stopped in time may still use the dialog, the
    // link or the engine, so then nothing is destroyed: the process ends.
    if (!StopPositionPoller()) EndProcessWithThreadRunning("position poller");
    // The link goes before the engine: once the reader has stopped no
    // command can start a new engine behind the teardown.
    if (!m_pipe.Close()) EndProcessWithThreadRunning("pipe reader");
    if (m_pPlay) {
        // The window port went with the loop; the window thread waits here.
        CDeadline deadline(kTeardownLimit, [this] { EndProcessWithThreadRunning("playback"); });
        StopPlayFile();
    }
    // Whatever no engine holds any more (no streaming runs now); the
    // resampler's output buffer goes with m_resample.
    ReleaseConverters();
}

BOOL CMarlinDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    if (m_szPipeName[0]) CreateWindowPort(std::string(m_szPipeName) + "_wnd");

    InitializeCom();

    m_pPositionThread = std::make_unique<ThreadWindows>(&CMarlinDlg::PollCallback, this, kPollerPriority, "MessgeBack");
    uint32_t threadId = 0;
    m_pPositionThread->Start(&threadId);

    std::this_thread::sleep_for(kConnectDelay);

    // An empty base name names no pipe: the host stays up without a link.
    if (m_szPipeName[0]) {
        m_pipe.Connect(m_szPipeName);
    } else {
        CLogLine().rec().Advance("CMarlinDlg::OnInitDialog no pipe base name") << LogThis{this};
    }
    return TRUE;
}

bool CMarlinDlg::PollCallback(void* self) { return static_cast<CMarlinDlg*>(self)->OnPollTick(); }

bool CMarlinDlg::OnPollTick()
{
    const int32_t before = m_nPollTicks;
    m_nPollTicks = static_cast<int32_t>(static_cast<uint32_t>(before) + 1u);
    if (before % 2 != 0) PollPosition();
    MutexUniqueLock lock(m_pollLock);
    lock.WaitFor(m_pollWake, kPollInterval, [this]() REQUIRES(m_pollLock) { return m_bPollStop; });
    return true;
}

void CMarlinDlg::PollPosition()
{
    // A command may hold the lock for long (a stop or seek waits for the
    // renderers, and a renderer for its delivery to the controller): the
    // poller tries again every slice and gives up once it is being stopped.
    while (!m_cmdLock.try_lock()) {
        MutexUniqueLock poll(m_pollLock);
        if (poll.WaitFor(m_pollWake, kPollLockSlice, [this]() REQUIRES(m_pollLock) { return m_bPollStop; }))
            return;
    }
    MutexLock lock(m_cmdLock, kAdoptLock);
    int64_t position = m_llPosition.load();
    if (GetPositionLocked(&position)) m_llPosition.store(position);
}

bool CMarlinDlg::StopPositionPoller()
{
    if (!m_pPositionThread) return true;
    {
        MutexLock lock(m_pollLock);
        m_bPollStop = true;
    }
    m_pollWake.notify_all();
    // A thread that runs on keeps its object (and the dialog) alive.
    if (!m_pPositionThread->Stop()) return false;
    m_pPositionThread.reset();
    return true;
}

void CMarlinDlg::EndProcessWithThreadRunning(const char* thread)
{
    CLogLine().rec().Advance("CMarlinDlg::~CMarlinDlg ").Advance(thread).Advance(
        " did not stop in time, the process ends") << LogThis{this};
    // The process ends without exit handlers: write what the log still
    // queues, but never wait long on a stalled standard error.
    CLogWrapper::Instance()->Flush(300);
    EndProcessNow(0);
}

void CMarlinDlg::RefreshCachedPosition()
{
    MutexLock lock(m_cmdLock);
    int64_t position = m_llPosition.load();
    if (GetPositionLocked(&position)) m_llPosition.store(position);
}

void CMarlinDlg::OnData(const void* data, uint32_t length)
{
    if (!m_bPipeComInit) {
        InitializeCom();
        m_bPipeComInit = true;
    }
    Dispatch(data, length);
}

void CMarlinDlg::OnPipeClosed(int /*reason*/) { PostQuitOnce(); }

void CMarlinDlg::PostQuitOnce()
{
    if (m_bQuitPosted.exchange(true)) return;
    PostMessage(WM_QUIT);
    // A window thread blocked in a send to a controller that stopped
    // reading would never take the WM_QUIT: its send is made to fail. (One
    // that begins a send after this sees m_bQuitPosted and sends nothing.)
    if (m_bWindowSending.load() && !IsWindowThread()) m_pipe.StopSending();
}

void CMarlinDlg::OnSignalClose()
{
    if (m_bWindowSending.load()) m_pipe.StopSending();
}

void CMarlinDlg::SendToClient(const void* data, long size)
{
    if (m_nReplyWnd.load() == 0 || !data || size < 0) return;
    if (static_cast<unsigned long>(size) > UINT32_MAX) return;  // cannot be framed
    const PacketHeader header{static_cast<uint32_t>(size), 0};
    const bool onWindow = IsWindowThread();
    if (onWindow) {
        // Pairs with PostQuitOnce: either it sees this flag or this thread
        // sees the quit request.
        m_bWindowSending.store(true);
        if (m_bQuitPosted.load()) {
            m_bWindowSending.store(false);
            return;  // the window is ending; nothing more from its thread
        }
    }
    const bool sent = m_pipe.IsConnected() && m_pipe.Write(header, data);
    if (onWindow) m_bWindowSending.store(false);
    if (!sent) PostQuitOnce();
}

void CMarlinDlg::SendPartsToClient(const PipeBuffer* parts, size_t count)
{
    if (m_nReplyWnd.load() == 0) return;
    if (!m_pipe.IsConnected() || !m_pipe.WritePayload(parts, count)) PostQuitOnce();
}

bool CMarlinDlg::SetReplyWnd(uint32_t value)
{
    m_nReplyWnd.store(value);
    return true;
}

LRESULT CMarlinDlg::OnCopyData(WPARAM /*wParam*/, LPARAM lParam)
{
    const auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (!cds || (cds->cbData && !cds->lpData)) return FALSE;
    const size_t size = cds->cbData;
    if (m_bQuitPosted.load()) return TRUE;  // the copy would only be discarded
    auto copy = std::make_unique<uint8_t[]>(size ? size : 1);
    if (size) std::memcpy(copy.get(), cds->lpData, size);
    const uint8_t* key = copy.get();
    m_pendingCommands.emplace(key, std::move(copy));
    if (!PostMessage(WM_MARLIN_COMMAND, reinterpret_cast<WPARAM>(key), static_cast<LPARAM>(size)))
        m_pendingCommands.erase(key);
    return TRUE;
}

LRESULT CMarlinDlg::OnMarlinCommand(WPARAM wParam, LPARAM lParam)
{
    // Only buffers this dialog copied are executed, each once, then freed.
    auto it = m_pendingCommands.find(reinterpret_cast<const uint8_t*>(wParam));
    if (it == m_pendingCommands.end()) return 0;
    std::unique_ptr<uint8_t[]> buffer = std::move(it->second);
    m_pendingCommands.erase(it);
    Dispatch(buffer.get(), static_cast<uint32_t>(lParam));
    return 0;
}

void CMarlinDlg::Dispatch(const void* data, uint32_t length)
{
    if (!data || length < sizeof(MessageHeader)) return;
    const auto* msg = static_cast<const uint8_t*>(data);
    MessageHeader in;
    std::memcpy(&in, msg, sizeof in);
    const MessageHeader out{in.type + 1, in.id, 0};
    std::u16string path;

    switch (static_cast<MessageType>(in.type)) {
    case MessageType::TestFile: {
        MediaInfoReply reply{out, NoMediaInfo()};
        if (ReadPath(msg, length, kTestFilePathOffset, path)) reply.info = TestFile(path.c_str());
        SendToClient(&reply, sizeof reply);
        break;
    }
    case MessageType::StartPlayFile: {
        ResultReply reply{out, 0};
        if (ReadPath(msg, length, kStartPlayFilePathOffset, path)) {
            MediaFormat format;
            std::memcpy(&format, msg + offsetof(StartPlayFileCommand, format), sizeof format);
            reply.result = StartPlayFile(path.c_str(), &format, this) ? 1 : 0;
        }
        SendToClient(&reply, sizeof reply);
        break;
    }
    case MessageType::GetFileInfo: {
        const MediaInfoReply reply{out, GetFileInfo()};
        SendToClient(&reply, sizeof reply);
        break;
    }
    case MessageType::StopPlayFile: {
        const ResultReply reply{out, StopPlayFile() ? 1u : 0u};
        SendToClient(&reply, sizeof reply);
        break;
    }
    case MessageType::Pause: {
        const ResultReply reply{out, Pause() ? 1u : 0u};
        SendToClient(&reply, sizeof reply);
        break;
    }
    case MessageType::Contine: {
        const ResultReply reply{out, Contine() ? 1u : 0u};
        SendToClient(&reply, sizeof reply);
        break;
    }
    case MessageType::Seek: {
        if (length < sizeof(SeekCommand)) break;
        int64_t position;
        std::memcpy(&position, msg + offsetof(SeekCommand, positionMs), sizeof position);
        Seek(position);
        RefreshCachedPosition();
        break;
    }
    case MessageType::GetPosition: {
        int64_t position = -1;
        if (!GetPosition(&position)) position = -1;
        const GetPositionReply reply{out, 0, position};
        SendToClient(&reply, sizeof reply);
        break;
    }
    case MessageType::SetReplyWnd: {
        ResultReply reply{out, 0};
        if (length >= sizeof(SetReplyWndCommand))
            reply.result = SetReplyWnd(ReadU32(msg + offsetof(SetReplyWndCommand, value))) ? 1 : 0;
        SendToClient(&reply, sizeof reply);
        break;
    }
    case MessageType::Quit:
        PostQuitOnce();
        break;
    default:
        break;  // not a command: dropped without a reply
    }
}
