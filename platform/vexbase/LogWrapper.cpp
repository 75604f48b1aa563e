#include "log/LogWrapper.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "platform/os/Sync.h"

namespace {

// Lines waiting for a stalled reader, at most; later ones are dropped.
constexpr size_t kMaxQueuedBytes = 1u << 20;
// How long exit() waits for lines still queued.
constexpr unsigned int kExitFlushMs = 300;

// "hh:mm:ss.mmm [thread] L<level> <text>\n", stamped on the calling thread.
std::string FormatLine(unsigned int level, const char* text)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char line[1024 + 96];
    int n = snprintf(line, sizeof(line), "%02d:%02d:%02d.%03ld [%ld] L%u %s", local.tm_hour, local.tm_min,
                     local.tm_sec, now.tv_nsec / 1000000, static_cast<long>(syscall(SYS_gettid)), level, text);
    if (n < 0) return {};
    size_t len = static_cast<size_t>(n) < sizeof(line) - 1 ? static_cast<size_t>(n) : sizeof(line) - 2;
    line[len++] = '\n';
    return std::string(line, len);
}

// One write() that cannot end the process by SIGPIPE: the signal a write to
// a pipe without reader raises is held back on this thread and taken away
// again. Bytes written, or -1 with errno.
ssize_t WriteWithoutSigpipe(int fd, const char* data, size_t size)
{
    sigset_t pipeSignal, old;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &old);
    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    const int error = errno;
    if (n < 0 && error == EPIPE && !sigismember(&old, SIGPIPE)) {
        const timespec none{};
        while (sigtimedwait(&pipeSignal, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return n;
}

// Standard error as the log reaches it without waiting. A regular file or
// a device such as /dev/null takes a line at once; a pipe or terminal gets
// a description of its own opened non-blocking (flags of fd 2 itself are
// shared with other processes and stay untouched); a socket is sent to with
// MSG_DONTWAIT. Followed anew when fd 2 is replaced (dup2).
class CStderrTarget
{
public:
    // One write that does not wait for the reader: bytes taken (0 when the
    // reader has no room now), or -1 with errno when the write failed.
    ssize_t WriteNow(const char* data, size_t size)
    {
        Follow();
        switch (m_mode) {
        case Mode::Direct: return WriteWithoutSigpipe(STDERR_FILENO, data, size);
        case Mode::NonBlocking: {
            ssize_t n = WriteWithoutSigpipe(m_nonBlockingFd, data, size);
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : n;
        }
        case Mode::Socket: {
            ssize_t n;
            do {
                n = ::send(STDERR_FILENO, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            } while (n < 0 && errno == EINTR);
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : n;
        }
        case Mode::QueueOnly: return 0;
        }
        return 0;
    }

private:
    enum class Mode { Direct, NonBlocking, Socket, QueueOnly };

    void Follow()
    {
        struct stat st{};
        if (::fstat(STDERR_FILENO, &st) != 0) {
            Reset(Mode::QueueOnly);  // the writer thread's write fails and gives the line up
            m_bKnown = false;
            return;
        }
        if (m_bKnown && st.st_dev == m_dev && st.st_ino == m_ino && st.st_rdev == m_rdev) return;
        m_bKnown = true;
        m_dev = st.st_dev;
        m_ino = st.st_ino;
        m_rdev = st.st_rdev;
        if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || (S_ISCHR(st.st_mode) && !isatty(STDERR_FILENO))) {
            Reset(Mode::Direct);
        } else if (S_ISSOCK(st.st_mode)) {
            Reset(Mode::Socket);
        } else {
            Reset(Mode::QueueOnly);
            m_nonBlockingFd = ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
            if (m_nonBlockingFd >= 0) {
                m_mode = Mode::NonBlocking;
            } else {
                // E.g. a FIFO that has lost its reader (ENXIO): its lines go
                // to the writer thread, and the open is tried again.
                m_bKnown = false;
            }
        }
    }
    void Reset(Mode mode)
    {
        if (m_nonBlockingFd >= 0) ::close(m_nonBlockingFd);
        m_nonBlockingFd = -1;
        m_mode = mode;
    }

    Mode m_mode = Mode::QueueOnly;
    int m_nonBlockingFd = -1;
    bool m_bKnown = false;
    dev_t m_dev = 0, m_rdev = 0;
    ino_t m_ino = 0;
};

// The order of lines is the order in which they are handed over: a line is
// written at once only when nothing is queued and no other line is being
// written; otherwise it joins the queue, which one writer thread drains
// with blocking writes.
class CLogOutput
{
public:
    CLogOutput() { std::atexit(&CLogOutput::FlushAtExit); }

    void Write(std::string line) EXCLUDES(m_lock)
    {
        if (line.empty()) return;
        MutexLock lock(m_lock);
        if (!m_bWriting && m_queue.empty() && m_nDropped == 0) {
            // Nothing before it waits: written at once, under the lock, since
            // this write never waits for the reader.
            ++m_nAccepted;
            ssize_t n = m_target.WriteNow(line.data(), line.size());
            if (n >= 0 && static_cast<size_t>(n) < line.size()) {
                line.erase(0, static_cast<size_t>(n));  // the rest for the writer thread
                m_nQueuedBytes += line.size();
                m_queue.push_back(std::move(line));
                StartWriter_Locked();
            } else {
                ++m_nDone;  // written, or failed and given up
            }
        } else {
            Enqueue_Locked(std::move(line));
        }
        m_changed.notify_all();
    }

    bool Flush(unsigned int timeoutMs) EXCLUDES(m_lock)
    {
        MutexUniqueLock lock(m_lock);
        if (m_nDropped > 0) Enqueue_Locked({});
        const uint64_t target = m_nAccepted;
        m_changed.notify_all();
        return lock.WaitFor(m_changed, std::chrono::milliseconds(timeoutMs),
                            [&]() REQUIRES(m_lock) { return m_nDone >= target; });
    }

private:
    static void FlushAtExit();

    // An empty `line` only writes the drop notice, if one is due.
    void Enqueue_Locked(std::string line) REQUIRES(m_lock)
    {
        const size_t room = kMaxQueuedBytes - std::min(kMaxQueuedBytes, m_nQueuedBytes);
        if (m_nDropped > 0) {
            std::string notice = FormatLine(2, ("CLogWrapper::WriteLog dropped " + std::to_string(m_nDropped) +
                                                " lines: standard error was not read in time")
                                                   .c_str());
            if (notice.size() + line.size() > room) {
                if (!line.empty()) ++m_nDropped;
                return;
            }
            m_nDropped = 0;
            Push_Locked(std::move(notice));
        }
        if (line.empty()) return;
        if (line.size() > room) {
            ++m_nDropped;
            return;
        }
        Push_Locked(std::move(line));
    }
    void Push_Locked(std::string line) REQUIRES(m_lock)
    {
        ++m_nAccepted;
        m_nQueuedBytes += line.size();
        m_queue.push_back(std::move(line));
        StartWriter_Locked();
    }

    void StartWriter_Locked() REQUIRES(m_lock)
    {
        if (m_bWriterStarted) return;
        // The writer takes no signal: a SIGPIPE stays its own, and signals
        // meant for the process go to threads that handle them.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        try {
            std::thread(&CLogOutput::RunWriter, this).detach();
            m_bWriterStarted = true;
        } catch (const std::system_error&) {
            // Tried again with the next queued line; Flush may time out.
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }

    // The writer thread: takes everything queued and writes it, waiting for
    // the reader as long as it takes.
    void RunWriter() EXCLUDES(m_lock)
    {
        for (;;) {
            std::deque<std::string> batch;
            {
                MutexUniqueLock lock(m_lock);
                lock.Wait(m_changed, [this]() REQUIRES(m_lock) { return !m_queue.empty() && !m_bWriting; });
                batch.swap(m_queue);
                m_nQueuedBytes = 0;
                m_bWriting = true;
            }
            for (const std::string& line : batch) WriteAll(line);
            MutexLock lock(m_lock);
            m_bWriting = false;
            m_nDone += batch.size();
            m_changed.notify_all();
        }
    }

    static void WriteAll(const std::string& line)
    {
        const char* p = line.data();
        size_t left = line.size();
        while (left > 0) {
            ssize_t n = WriteWithoutSigpipe(STDERR_FILENO, p, left);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd ready{STDERR_FILENO, POLLOUT, 0};
                ::poll(&ready, 1, -1);
                continue;
            }
            if (n <= 0) return;  // the reader is gone or the output broke: the line is lost
            p += n;
            left -= static_cast<size_t>(n);
        }
    }

    // A leaf lock: a line written at once goes out under it (a write that
    // never waits), nothing under it locks.
    Mutex m_lock;
    std::condition_variable m_changed;  // any change of the members below
    CStderrTarget m_target GUARDED_BY(m_lock);  // for lines written at once
    std::deque<std::string> m_queue GUARDED_BY(m_lock);
    size_t m_nQueuedBytes GUARDED_BY(m_lock) = 0;
    uint64_t m_nAccepted GUARDED_BY(m_lock) = 0;  // lines taken for writing
    uint64_t m_nDone GUARDED_BY(m_lock) = 0;      // of those, written or given up
    uint64_t m_nDropped GUARDED_BY(m_lock) = 0;   // refused since the last drop notice
    bool m_bWriting GUARDED_BY(m_lock) = false;   // the writer thread writes a batch now
    bool m_bWriterStarted GUARDED_BY(m_lock) = false;
};

// Never destroyed: threads may still log while the process exits.
CLogOutput& Output()
{
    alignas(CLogOutput) static unsigned char storage[sizeof(CLogOutput)];
    static CLogOutput* output = new (storage) CLogOutput;
    return *output;
}

void CLogOutput::FlushAtExit()
{
    Output().Flush(kExitFlushMs);
}

}  // namespace

CLogWrapper* CLogWrapper::Instance()
{
    static CLogWrapper instance;
    return &instance;
}

void CLogWrapper::WriteLog(unsigned int level, unsigned int /*reserved*/, const char* text)
{
    Output().Write(FormatLine(level, text ? text : ""));
}

bool CLogWrapper::Flush(unsigned int timeoutMs)
{
    return Output().Flush(timeoutMs);
}

void CLogWrapper::CRecorder::reset()
{
    m_nLength = 0;
    m_bHexNext = false;
    if (m_pBuffer && m_nCapacity > 0) m_pBuffer[0] = '\0';
}

CLogWrapper::CRecorder& CLogWrapper::CRecorder::Advance(const char* text)
{
    if (!m_pBuffer || m_nCapacity == 0) return *this;
    if (m_nLength >= m_nCapacity) m_nLength = m_nCapacity - 1;  // capacity lowered by the caller
    if (!text) {
        m_pBuffer[m_nLength] = '\0';
        return *this;
    }
    while (*text && m_nLength + 1 < m_nCapacity) m_pBuffer[m_nLength++] = *text++;
    m_pBuffer[m_nLength] = '\0';
    return *this;
}

void CLogWrapper::CRecorder::AppendUnsigned(unsigned long long value, bool negative)
{
    char digits[32];
    int n = 0;
    unsigned base = m_bHexNext ? 16 : 10;
    m_bHexNext = false;
    do {
        digits[n++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value);
    char text[34];
    int t = 0;
    if (negative) text[t++] = '-';
    while (n) text[t++] = digits[--n];
    text[t] = '\0';
    Advance(text);
}

CLogWrapper::CRecorder& CLogWrapper::CRecorder::operator<<(long long value)
{
    if (value < 0 && !m_bHexNext) {
        AppendUnsigned(0ull - static_cast<unsigned long long>(value), true);
    } else {
        AppendUnsigned(static_cast<unsigned long long>(value), false);
    }
    return *this;
}

CLogWrapper::CRecorder& CLogWrapper::CRecorder::operator<<(unsigned long long value)
{
    AppendUnsigned(value, false);
    return *this;
}

CLogWrapper::CRecorder& CLogWrapper::CRecorder::operator<<(int value) { return *this << static_cast<long long>(value); }
CLogWrapper::CRecorder& CLogWrapper::CRecorder::operator<<(long value) { return *this << static_cast<long long>(value); }
CLogWrapper::CRecorder& CLogWrapper::CRecorder::operator<<(unsigned int value)
{
    return *this << static_cast<unsigned long long>(value);
}
CLogWrapper::CRecorder& CLogWrapper::CRecorder::operator<<(unsigned long value)
{
    return *this << static_cast<unsigned long long>(value);
}

CLogWrapper::CRecorder& CLogWrapper::CRecorder::operator<<(Ordix ordix)
{
    m_bHexNext = (ordix == Hex);
    return *this;
}
