// The command line of marlin-play: every option, and bad values refused
// with a message that names them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "controller/play/PlayOptions.h"

using namespace marlin::play;

namespace {

ParseResult Parse(std::vector<std::string> args)
{
    return ParseOptions(args);
}

void ExpectError(std::vector<std::string> args, const std::string& part)
{
    ParseResult r = Parse(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_FALSE(r.ok) << joined;
    EXPECT_NE(r.error.find(part), std::string::npos) << joined << "-> " << r.error;
}

}  // namespace

TEST(PlayCommandLine, InfoWithJsonAndHost)
{
    ParseResult r = Parse({"--host", "/opt/marlin-host", "info", "--json", "a b.mp4"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.command, Command::Info);
    EXPECT_EQ(r.options.file, "a b.mp4");
    EXPECT_EQ(r.options.hostPath, "/opt/marlin-host");
    EXPECT_TRUE(r.options.json);
    EXPECT_EQ(r.options.timeoutMs, 15000);
    r = Parse({"info", "x", "--timeout=2500"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.timeoutMs, 2500);
}

TEST(PlayCommandLine, PlayDefaults)
{
    ParseResult r = Parse({"play", "x.mp4"});
    ASSERT_TRUE(r.ok) << r.error;
    const PlayOptions& o = r.options;
    EXPECT_EQ(o.command, Command::Play);
    EXPECT_EQ(o.width, 0);
    EXPECT_EQ(o.colorSpace, 12);
    EXPECT_EQ(o.sampleRate, 44100);
    EXPECT_EQ(o.channels, 2);
    EXPECT_EQ(o.seekMs, -1);
    EXPECT_EQ(o.durationMs, -1);
    EXPECT_EQ(o.pauseAtMs, -1);
    EXPECT_FALSE(o.stats);
    EXPECT_TRUE(o.progress);
    EXPECT_TRUE(o.hostPath.empty());
}

TEST(PlayCommandLine, EveryPlayOptionInBothSpellings)
{
    ParseResult r = Parse({"--size=640x360", "play", "--pixfmt", "NV12", "x.mp4", "--rate", "16000",
                           "--channels=1", "--seek", "1500", "--duration=2000", "--pause-at", "700",
                           "--resume-after=300", "--video", "v.y4m", "--audio=a.wav", "--contact-sheet",
                           "s.png", "--stats", "--json", "--no-progress", "--host=/h"});
    ASSERT_TRUE(r.ok) << r.error;
    const PlayOptions& o = r.options;
    EXPECT_EQ(o.width, 640);
    EXPECT_EQ(o.height, 360);
    EXPECT_EQ(o.colorSpace, 22);
    EXPECT_EQ(o.sampleRate, 16000);
    EXPECT_EQ(o.channels, 1);
    EXPECT_EQ(o.seekMs, 1500);
    EXPECT_EQ(o.durationMs, 2000);
    EXPECT_EQ(o.pauseAtMs, 700);
    EXPECT_EQ(o.resumeAfterMs, 300);
    EXPECT_EQ(o.videoPath, "v.y4m");
    EXPECT_EQ(o.audioPath, "a.wav");
    EXPECT_EQ(o.sheetPath, "s.png");
    EXPECT_TRUE(o.stats);
    EXPECT_TRUE(o.json);
    EXPECT_FALSE(o.progress);
    EXPECT_EQ(o.hostPath, "/h");
}

TEST(PlayCommandLine, EachPixelFormatNameMapsToItsCode)
{
    const std::pair<const char*, int> names[] = {{"rgb24", 0}, {"rgb32", 2}, {"rgb565", 3}, {"rgb555", 4},
                                                 {"yuy2", 6},  {"uyvy", 10}, {"i420", 12},  {"yvu9", 13},
                                                 {"yv12", 16}, {"iyuv", 19}, {"nv12", 22}};
    for (auto [name, code] : names) {
        ParseResult r = Parse({"play", "x", "--pixfmt", name, "--size", "64x48"});
        ASSERT_TRUE(r.ok) << name << ": " << r.error;
        EXPECT_EQ(r.options.colorSpace, code) << name;
    }
}

TEST(PlayCommandLine, JsonOnPlayMeansStatsAsJson)
{
    ParseResult r = Parse({"play", "x", "--json"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.stats);
    r = Parse({"info", "x", "--json"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_FALSE(r.options.stats);
}

TEST(PlayCommandLine, HelpWins)
{
    EXPECT_EQ(Parse({"--help"}).options.command, Command::Help);
    EXPECT_TRUE(Parse({"play", "-h", "--bogus"}).ok);
    EXPECT_NE(UsageText().find("--contact-sheet"), std::string::npos);
}

TEST(PlayCommandLine, CommandAndFileMistakes)
{
    ExpectError({}, "no command");
    ExpectError({"show", "x"}, "unknown command 'show'");
    ExpectError({"play"}, "play needs a FILE");
    ExpectError({"info", "a", "b"}, "unexpected 'b'");
    ExpectError({"info", ""}, "empty");
    ExpectError({"play", "x", "--frobnicate"}, "unknown option --frobnicate");
    ExpectError({"play", "x", "-v"}, "unknown option -v");
    ExpectError({"info", "x", "--stats"}, "--stats applies to play");
    ExpectError({"info", "x", "--seek", "10"}, "--seek applies to play");
    // "--" ends the options: a file may start with a dash.
    ParseResult r = Parse({"info", "--", "-odd.mp4"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.file, "-odd.mp4");
}

TEST(PlayCommandLine, BadValuesAreRefusedByName)
{
    ExpectError({"play", "x", "--size"}, "--size needs a value");
    ExpectError({"play", "x", "--size", "640"}, "--size wants WIDTHxHEIGHT");
    ExpectError({"play", "x", "--size", "0x240"}, "--size wants");
    ExpectError({"play", "x", "--size", "640x-2"}, "--size wants");
    ExpectError({"play", "x", "--size", "99999x10"}, "--size wants");
    ExpectError({"play", "x", "--size", "64x48x2"}, "--size wants");
    ExpectError({"play", "x", "--pixfmt", "rgb"}, "unknown --pixfmt 'rgb'");
    ExpectError({"play", "x", "--rate", "44.1k"}, "--rate wants");
    ExpectError({"play", "x", "--rate", "0"}, "--rate wants a whole number from 1 to 768000");
    ExpectError({"play", "x", "--rate", "768001"}, "--rate wants");
    ExpectError({"play", "x", "--channels", "0"}, "--channels wants");
    ExpectError({"play", "x", "--channels", "9"}, "--channels wants");
    ExpectError({"play", "x", "--seek", "-5"}, "--seek wants");
    ExpectError({"play", "x", "--seek", "1e3"}, "--seek wants");
    ExpectError({"play", "x", "--duration", "0"}, "--duration wants");
    ExpectError({"play", "x", "--pause-at", "x"}, "--pause-at wants");
    ExpectError({"play", "x", "--resume-after", ""}, "--resume-after wants");
    ExpectError({"play", "x", "--pause-at", "500"}, "go together");
    ExpectError({"play", "x", "--resume-after", "500"}, "go together");
    ExpectError({"play", "x", "--video="}, "--video needs a file name");
    ExpectError({"play", "x", "--stats=yes"}, "--stats takes no value");
    ExpectError({"--host", ""}, "--host needs a path");
    ExpectError({"info", "x", "--timeout", "0"}, "--timeout wants");
    ExpectError({"play", "x", "--pixfmt", "rgb32", "--size", "8192x8192"}, "more than the 64 MiB");
    ExpectError({"play", "x", "--video", "-", "--audio", "-"}, "cannot both be -");
    // Every rate and channel count the host converts to.
    for (const char* rate : {"1", "8", "500", "768000"})
        EXPECT_TRUE(Parse({"play", "x", "--rate", rate}).ok) << rate;
    EXPECT_TRUE(Parse({"play", "x", "--channels", "8"}).ok);
    // Odd sizes are fine for every layout: chroma rounds up.
    for (const char* fmt : {"rgb24", "i420", "nv12", "yuy2", "uyvy", "yvu9", "yv12"})
        EXPECT_TRUE(Parse({"play", "x", "--pixfmt", fmt, "--size", "853x479"}).ok) << fmt;
}
