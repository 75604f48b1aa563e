#pragma once
// The log service. Every diagnostic line of the host is built in a recorder
// over a 1,024-byte buffer on the caller's stack and handed to WriteLog.
#include <cstdint>
#include <string>

#include "platform/os/Unicode.h"

class CLogWrapper
{
public:
    // Always usable; created on first use.
    static CLogWrapper* Instance();
    // Writes one line to standard error. Safe from any thread: lines never
    // mix and keep their order. Never waits for the reader of standard
    // error: when it does not take a line at once, the line waits in a
    // bounded queue that a writer thread of the log drains; when the queue
    // is full, lines are dropped and a later line tells how many. A reader
    // that went away costs the line, never a SIGPIPE.
    void WriteLog(unsigned int level, unsigned int reserved, const char* text);
    // Waits until every line handed over before the call has been written
    // (or given up on), at most timeoutMs. False when time ran out, e.g. the
    // reader of standard error stalls. Lines still waiting are written at
    // exit() within a short limit; a process that ends by _exit() calls
    // this first.
    bool Flush(unsigned int timeoutMs);

    // Manipulator: the next unsigned long is written in hexadecimal. The
    // host passes only Hex (0), right after the literal "0x".
    enum Ordix : int { Hex = 0 };

    // Builds one line in a buffer of the caller. The caller sets the first
    // two members, then calls reset(). Appending never writes past the
    // capacity and always leaves the text NUL-terminated; what does not fit
    // is cut off.
    class CRecorder
    {
    public:
        char* m_pBuffer = nullptr;     // the caller's buffer
        unsigned int m_nCapacity = 0;  // its size in bytes

        CRecorder() = default;
        virtual ~CRecorder() {}
        CRecorder(const CRecorder&) = delete;
        CRecorder& operator=(const CRecorder&) = delete;

        void reset();
        CRecorder& Advance(const char* text);
        CRecorder& operator<<(int value);
        CRecorder& operator<<(unsigned int value);
        CRecorder& operator<<(long value);
        CRecorder& operator<<(unsigned long value);
        CRecorder& operator<<(long long value);
        CRecorder& operator<<(unsigned long long value);
        CRecorder& operator<<(Ordix ordix);
        // UTF-16 text, converted to UTF-8. Null appends nothing.
        CRecorder& operator<<(const char16_t* text)
        {
            if (text) {
                std::string utf8 = Utf16ToUtf8(std::u16string_view(text, Utf16Length(text)));
                if (!utf8.empty()) Advance(utf8.c_str());
            }
            return *this;
        }
        const char* c_str() const { return m_pBuffer; }
        unsigned int length() const { return m_nLength; }

    private:
        void AppendUnsigned(unsigned long long value, bool negative);
        unsigned int m_nLength = 0;
        bool m_bHexNext = false;
    };

private:
    CLogWrapper() = default;
};

// One log line at level 2, written when the statement ends:
//   CLogLine().rec().Advance("CMarlinDlg::Seek ") << position;
class CLogLine
{
public:
    CLogLine()
    {
        m_rec.m_pBuffer = m_buf;
        m_rec.m_nCapacity = sizeof(m_buf);
        m_rec.reset();
    }
    ~CLogLine() { CLogWrapper::Instance()->WriteLog(2, 0, m_buf); }
    CLogLine(const CLogLine&) = delete;
    CLogLine& operator=(const CLogLine&) = delete;
    CLogWrapper::CRecorder& rec() { return m_rec; }

private:
    char m_buf[1024];
    CLogWrapper::CRecorder m_rec;
};

// " this=0x<address in hex>", the way every line names its object.
struct LogThis
{
    const void* object;
};
inline CLogWrapper::CRecorder& operator<<(CLogWrapper::CRecorder& rec, LogThis self)
{
    return rec.Advance(" this=").Advance("0x")
           << CLogWrapper::Hex << static_cast<unsigned long>(reinterpret_cast<uintptr_t>(self.object));
}
