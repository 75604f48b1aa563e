#include <gtest/gtest.h>

#include <string>

#include "platform/lavfilters/core/FFmpegLog.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

int Count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(FFmpegLog, DamagedInputFloodIsHeldToTheBudgetAndQuietLevelsDropped)
{
    RouteFFmpegLog();
    testing::internal::CaptureStderr();
    av_log(nullptr, AV_LOG_INFO, "an info line\n");
    av_log(nullptr, AV_LOG_DEBUG, "a debug line\n");
    for (int i = 0; i < 500; ++i) av_log(nullptr, AV_LOG_ERROR, "error while decoding MB %d\n", i);
    const std::string log = testing::internal::GetCapturedStderr();
    av_log_set_callback(av_log_default_callback);

    EXPECT_EQ(Count(log, "info line"), 0);
    EXPECT_EQ(Count(log, "debug line"), 0);
    EXPECT_NE(log.find(" L3 FFmpeg: error while decoding MB 0\n"), std::string::npos) << log;
    const int lines = Count(log, "FFmpeg: ");
    EXPECT_GE(lines, kFFmpegLogBurst);
    EXPECT_LE(lines, kFFmpegLogBurst + 2) << log;
}

}  // namespace
