#include "log/LogWrapper.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

CLogWrapper* CLogWrapper::Instance()
{
    static CLogWrapper instance;
    return &instance;
}

void CLogWrapper::WriteLog(unsigned int level, unsigned int /*reserved*/, const char* text)
{
    if (!text) text = "";
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char line[1024 + 96];
    int n = snprintf(line, sizeof(line), "%02d:%02d:%02d.%03ld [%ld] L%u %s", local.tm_hour,
                     local.tm_min, local.tm_sec, now.tv_nsec / 1000000,
                     static_cast<long>(syscall(SYS_gettid)), level, text);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < sizeof(line) - 1 ? static_cast<size_t>(n) : sizeof(line) - 2;
    line[len++] = '\n';
    // Lines of all threads go out whole and in turn, also when the kernel
    // takes a line in more than one write.
    static std::mutex writeLock;
    std::lock_guard<std::mutex> lock(writeLock);
    const char* p = line;
    while (len > 0) {
        ssize_t w = ::write(STDERR_FILENO, p, len);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        p += w;
        len -= static_cast<size_t>(w);
    }
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
