#pragma once
// The dialog of the dialog-application framework: a window that exists while
// its modal loop runs on the thread that called DoModal (the window thread).
// Nothing is drawn; the window is its message queue, its handlers and,
// when asked for, its window port (platform/ui/WindowPort.h).
//
//   constructed --DoModal--> running --EndDialog / WM_QUIT--> ended
//        ^                                                     |
//        +---------------- DoModal returns --------------------+
//
// While running, PostMessage from any thread queues a message for the
// window thread; SIGTERM and SIGINT arrive as WM_CLOSE, posted, with
// OnSignalClose called at once on another thread. A second one that comes
// before the loop took the first (the window thread is stuck) ends the
// process as if no handler were installed. Outside that time
// the window does not exist: PostMessage fails and posted messages that were
// not handled when the loop ended are dropped (their owners free any
// payload they carry).
#include <atomic>
#include <deque>
#include <functional>
#include <thread>
#include <unordered_map>

#include "platform/os/Sync.h"
#include "platform/ui/WinTypes.h"
#include "platform/ui/WindowPort.h"

class CDialog
{
public:
    explicit CDialog(UINT nIDTemplate, CDialog* pParentWnd = nullptr);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Runs the modal loop on the calling thread, which becomes the window
    // thread: WM_INITDIALOG first, then every message until EndDialog or
    // WM_QUIT. Returns the EndDialog value, or -1 when WM_QUIT ended it.
    INT_PTR DoModal();
    // Ends the modal loop once the current message is handled. Any thread.
    void EndDialog(int nResult);
    // Queues a message for the window thread. Any thread; FALSE when the
    // window does not exist.
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) EXCLUDES(m_queueLock);
    // Runs the message's handler at once. Window thread only.
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // True on the thread that runs the modal loop, while it runs.
    bool IsWindowThread() const;
    // The handle under which PostMessage(HWND, ...) reaches this window,
    // valid from construction to destruction.
    HWND GetSafeHwnd() const;
    UINT GetTemplateId() const { return m_nIDTemplate; }

    // Opens the window port under `name` ("@..." abstract, else a path).
    // Window thread, while running; the port closes when the loop ends.
    bool CreateWindowPort(const std::string& name);
    const CWindowPort& WindowPort() const { return m_port; }

protected:
    // Called on the window thread when the loop starts.
    virtual BOOL OnInitDialog() { return TRUE; }
    // Default handling of the OK and Cancel buttons: end the dialog.
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // WM_COMMAND that no command handler took: OK and Cancel. TRUE if handled.
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    // Every message passes here on the window thread: the message map, the
    // command map, then DefWindowProc.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Default handling: WM_INITDIALOG, WM_COMMAND (OnCommand), WM_CLOSE
    // (OnCancel); 0 for anything else.
    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

    // Called on a thread of the framework right after SIGTERM or SIGINT
    // posted WM_CLOSE. The window thread may be anywhere, also stuck in a
    // blocking call that keeps it from taking the message: release that
    // call here.
    virtual void OnSignalClose() {}

    // Ends the process at once with `status` and runs no destructor: for a
    // window whose objects are still used by a thread that could not be
    // stopped. The window port is removed first. Window thread, or a thread
    // that acts for it while it waits.
    [[noreturn]] void EndProcessNow(int status);

    // The message map. Fill it in the constructor, before DoModal.
    using MessageHandler = std::function<LRESULT(WPARAM wParam, LPARAM lParam)>;
    void MapMessage(UINT message, MessageHandler handler);
    // WM_COMMAND from the control `id` (the low word of wParam).
    void MapCommand(UINT id, std::function<void()> handler);

private:
    void RunLoop();
    bool PopMessage(MSG& msg) EXCLUDES(m_queueLock);
    void DeliverPortMessages();
    void WakeLoop();

    const UINT m_nIDTemplate;

    // Filled before DoModal, read only on the window thread.
    std::unordered_map<UINT, MessageHandler> m_messageMap;
    std::unordered_map<UINT, std::function<void()>> m_commandMap;

    // The queue and whether the window exists. A leaf lock, taken also under
    // the lock of the live dialogs (PostMessage to a handle).
    Mutex m_queueLock;
    std::deque<MSG> m_queue GUARDED_BY(m_queueLock);
    bool m_bRunning GUARDED_BY(m_queueLock) = false;

    std::atomic<bool> m_bEndLoop{false};
    std::atomic<int> m_nModalResult{0};
    std::atomic<std::thread::id> m_windowThread{};
    // Written by PostMessage/EndDialog to wake the loop out of poll.
    int m_wakeFd = -1;

    // Window thread only.
    CWindowPort m_port;
};

// PostMessage to the dialog behind `hwnd`, from any thread; FALSE when no
// dialog with that handle exists any more or its window is not running.
// Safe against the dialog's destruction on another thread.
BOOL PostMessage(HWND hwnd, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
