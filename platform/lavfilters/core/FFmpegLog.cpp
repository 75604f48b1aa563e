#include "platform/lavfilters/core/FFmpegLog.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "log/LogWrapper.h"
#include "platform/os/Sync.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

constexpr unsigned int kLevel = 3;

Mutex g_budgetLock;  // a leaf lock: the line is written after it is let go
double g_tokens GUARDED_BY(g_budgetLock) = kFFmpegLogBurst;
std::chrono::steady_clock::time_point g_lastRefill GUARDED_BY(g_budgetLock) = std::chrono::steady_clock::now();
unsigned long g_held GUARDED_BY(g_budgetLock) = 0;

// Takes one line from the budget; returns false when the line is held back.
// `held` receives the count of lines held back before this one.
bool TakeLine(unsigned long& held) EXCLUDES(g_budgetLock)
{
    MutexLock lock(g_budgetLock);
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - g_lastRefill).count();
    g_lastRefill = now;
    g_tokens = std::min<double>(kFFmpegLogBurst, g_tokens + elapsed * kFFmpegLogPerSecond);
    if (g_tokens < 1.0) {
        ++g_held;
        return false;
    }
    g_tokens -= 1.0;
    held = g_held;
    g_held = 0;
    return true;
}

void OnFFmpegLog(void* avcl, int level, const char* fmt, va_list args)
{
    if (level > AV_LOG_WARNING) return;
    // FFmpeg may build one line from several calls; the prefix is written
    // only at the start of a line.
    thread_local int printPrefix = 1;
    char text[900];
    av_log_format_line2(avcl, level, fmt, args, text, sizeof(text), &printPrefix);
    std::string line(text);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.empty()) return;
    unsigned long held = 0;
    if (!TakeLine(held)) return;
    std::string out = "FFmpeg: " + line;
    if (held) out += " (" + std::to_string(held) + " earlier lines held back)";
    CLogWrapper::Instance()->WriteLog(kLevel, 0, out.c_str());
}

}  // namespace

void RouteFFmpegLog()
{
    av_log_set_callback(OnFFmpegLog);
}
