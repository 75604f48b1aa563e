#include "platform/ui/Dialog.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <unordered_set>

namespace {

// SIGTERM and SIGINT reach the window through a self-pipe: the handler
// writes one byte, and a thread of the bridge below reads it and posts
// WM_CLOSE. This works whatever signal masks the process's other threads
// have, and also while the window thread is stuck.
int g_signalPipe[2] = {-1, -1};
std::once_flag g_signalPipeOnce;
// Set by the handler, cleared when the loop takes the WM_CLOSE. A second
// signal while it is still set finds the window thread stuck and ends the
// process the default way, so that the host can always be stopped.
std::atomic<bool> g_signalPending{false};
static_assert(std::atomic<bool>::is_always_lock_free);
// wParam of the WM_CLOSE that a signal posts.
constexpr WPARAM kCloseFromSignal = 0x5349474E;

extern "C" void OnTerminationSignal(int signo)
{
    int saved = errno;
    if (g_signalPending.exchange(true)) {
        ::signal(signo, SIG_DFL);
        ::raise(signo);
    } else {
        const char byte = 1;
        [[maybe_unused]] ssize_t rc = ::write(g_signalPipe[1], &byte, 1);
    }
    errno = saved;
}

// Installs the handlers for the life of one modal loop, and a thread that
// calls onSignal for each signal that comes meanwhile.
class CSignalBridge
{
public:
    explicit CSignalBridge(std::function<void()> onSignal) : m_onSignal(std::move(onSignal))
    {
        std::call_once(g_signalPipeOnce, [] {
            if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) g_signalPipe[0] = g_signalPipe[1] = -1;
        });
        if (g_signalPipe[0] < 0 || m_stopFd < 0) return;
        Drain();
        g_signalPending = false;
        m_thread = std::thread([this] { Watch(); });
        struct sigaction sa{};
        sa.sa_handler = OnTerminationSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        m_bInstalled = ::sigaction(SIGTERM, &sa, &m_oldTerm) == 0 && ::sigaction(SIGINT, &sa, &m_oldInt) == 0;
    }
    ~CSignalBridge()
    {
        if (m_bInstalled) {
            ::sigaction(SIGTERM, &m_oldTerm, nullptr);
            ::sigaction(SIGINT, &m_oldInt, nullptr);
        }
        if (m_thread.joinable()) {
            uint64_t one = 1;
            [[maybe_unused]] ssize_t rc = ::write(m_stopFd, &one, sizeof one);
            m_thread.join();
        }
        if (m_stopFd >= 0) ::close(m_stopFd);
    }
    CSignalBridge(const CSignalBridge&) = delete;
    CSignalBridge& operator=(const CSignalBridge&) = delete;

private:
    // True when at least one signal came since the last call.
    static bool Drain()
    {
        bool any = false;
        char buf[64];
        while (::read(g_signalPipe[0], buf, sizeof buf) > 0) any = true;
        return any;
    }
    void Watch()
    {
        for (;;) {
            pollfd fds[2] = {{m_stopFd, POLLIN, 0}, {g_signalPipe[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;  // EINTR: look again
            if (fds[0].revents) return;
            if (fds[1].revents && Drain()) m_onSignal();
        }
    }

    const std::function<void()> m_onSignal;
    const int m_stopFd = ::eventfd(0, EFD_CLOEXEC);
    std::thread m_thread;
    bool m_bInstalled = false;
    struct sigaction m_oldTerm{};
    struct sigaction m_oldInt{};
};

// Every constructed dialog, so that a handle can be checked before use.
// Posting under this lock keeps a dialog from being destroyed mid-post.
Mutex g_windowsLock;
std::unordered_set<const CDialog*>& LiveWindows() REQUIRES(g_windowsLock)
{
    static std::unordered_set<const CDialog*> windows;
    return windows;
}

}  // namespace

CDialog::CDialog(UINT nIDTemplate, CDialog* /*pParentWnd*/)
    : m_nIDTemplate(nIDTemplate), m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    MutexLock lock(g_windowsLock);
    LiveWindows().insert(this);
}

CDialog::~CDialog()
{
    {
        MutexLock lock(g_windowsLock);
        LiveWindows().erase(this);
    }
    if (m_wakeFd >= 0) ::close(m_wakeFd);
}

void CDialog::MapMessage(UINT message, MessageHandler handler) { m_messageMap[message] = std::move(handler); }

void CDialog::MapCommand(UINT id, std::function<void()> handler) { m_commandMap[id] = std::move(handler); }

bool CDialog::IsWindowThread() const { return m_windowThread.load() == std::this_thread::get_id(); }

void CDialog::WakeLoop()
{
    uint64_t one = 1;
    [[maybe_unused]] ssize_t rc = ::write(m_wakeFd, &one, sizeof one);
}

HWND CDialog::GetSafeHwnd() const { return reinterpret_cast<HWND>(const_cast<CDialog*>(this)); }

BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    MutexLock lock(g_windowsLock);
    const auto* target = reinterpret_cast<const CDialog*>(hwnd);
    if (!hwnd || !LiveWindows().count(target)) return FALSE;
    return const_cast<CDialog*>(target)->PostMessage(message, wParam, lParam);
}

BOOL CDialog::PostMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    {
        MutexLock lock(m_queueLock);
        if (!m_bRunning) return FALSE;
        m_queue.push_back(MSG{message, wParam, lParam});
    }
    WakeLoop();
    return TRUE;
}

bool CDialog::PopMessage(MSG& msg)
{
    MutexLock lock(m_queueLock);
    if (m_queue.empty()) return false;
    msg = m_queue.front();
    m_queue.pop_front();
    return true;
}

void CDialog::EndDialog(int nResult)
{
    m_nModalResult = nResult;
    m_bEndLoop = true;
    WakeLoop();
}

LRESULT CDialog::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return WindowProc(message, wParam, lParam);
}

BOOL CDialog::OnCommand(WPARAM wParam, LPARAM /*lParam*/)
{
    switch (LOWORD(wParam)) {
    case IDOK:
        OnOK();
        return TRUE;
    case IDCANCEL:
        OnCancel();
        return TRUE;
    default:
        return FALSE;
    }
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (auto it = m_messageMap.find(message); it != m_messageMap.end()) return it->second(wParam, lParam);
    if (message == WM_COMMAND) {
        if (auto it = m_commandMap.find(LOWORD(wParam)); it != m_commandMap.end()) {
            it->second();
            return 0;
        }
    }
    return DefWindowProc(message, wParam, lParam);
}

LRESULT CDialog::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND:
        OnCommand(wParam, lParam);
        return 0;
    case WM_CLOSE:
        OnCancel();
        return 0;
    default:
        return 0;
    }
}

bool CDialog::CreateWindowPort(const std::string& name) { return m_port.Open(name); }

void CDialog::EndProcessNow(int status)
{
    m_port.Close();
    // The system call itself: _exit as a sanitizer intercepts it would still
    // check, and report, the threads that are left running on purpose.
    ::syscall(SYS_exit_group, status);
    ::_exit(status);  // not reached
}

INT_PTR CDialog::DoModal()
{
    {
        MutexLock lock(m_queueLock);
        if (m_bRunning || m_wakeFd < 0) return -1;
        m_bRunning = true;
        m_queue.clear();
    }
    m_bEndLoop = false;
    m_nModalResult = -1;
    m_windowThread = std::this_thread::get_id();

    {
        CSignalBridge signals([this] {
            PostMessage(WM_CLOSE, kCloseFromSignal);
            OnSignalClose();
        });
        SendMessage(WM_INITDIALOG);
        RunLoop();
        MutexLock lock(m_queueLock);
        m_bRunning = false;
        m_queue.clear();
    }
    m_port.Close();
    m_windowThread = std::thread::id();
    return m_nModalResult;
}

void CDialog::RunLoop()
{
    while (!m_bEndLoop) {
        MSG msg;
        while (!m_bEndLoop && PopMessage(msg)) {
            if (msg.message == WM_QUIT) {
                m_nModalResult = -1;
                return;
            }
            if (msg.message == WM_CLOSE && msg.wParam == kCloseFromSignal) {
                g_signalPending = false;
                msg.wParam = 0;
            }
            WindowProc(msg.message, msg.wParam, msg.lParam);
        }
        if (m_bEndLoop) break;

        pollfd fds[2];
        nfds_t n = 0;
        fds[n++] = pollfd{m_wakeFd, POLLIN, 0};
        const int portIndex = m_port.IsOpen() ? static_cast<int>(n) : -1;
        if (portIndex >= 0) fds[n++] = pollfd{m_port.Handle(), POLLIN, 0};
        if (::poll(fds, n, -1) < 0) continue;  // EINTR: look again

        if (fds[0].revents) {
            uint64_t count;
            [[maybe_unused]] ssize_t rc = ::read(m_wakeFd, &count, sizeof count);
        }
        if (portIndex >= 0 && fds[portIndex].revents) DeliverPortMessages();
    }
}

void CDialog::DeliverPortMessages()
{
    CWindowPort::Message in;
    // A burst is bounded so that posted messages are not starved.
    for (int i = 0; i < 64 && !m_bEndLoop && m_port.Receive(in); ++i) {
        if (in.message == WM_COPYDATA) {
            COPYDATASTRUCT cds{in.dwData, static_cast<DWORD>(in.data.size()), in.data.empty() ? nullptr : in.data.data()};
            WindowProc(WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds));
        } else {
            WindowProc(in.message, in.wParam, 0);
        }
    }
}
