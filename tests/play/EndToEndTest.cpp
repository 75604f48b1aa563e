// marlin-play as users run it: the real program, started as a process, with
// the real marlin-host, or with the test stand-in (marlin-play-fake-host) for
// a host that dies, breaks the protocol, or plays a made-up file. Tests of
// real playback skip while marlin-host answers StartPlayFile with 0.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "controller/play/ContactSheet.h"
#include "controller/play/HostSession.h"
#include "platform/os/Unicode.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace marlin::play;
using namespace marlin::controller;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kBin = MARLIN_BIN_DIR;

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct RunResult
{
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out, err;
    double seconds = 0;
};

// Runs bin/marlin-play with `args` and extra environment, its stdout and
// stderr in files (or stderr on a terminal when `pty`), killed after 60 s.
// `termWhen` is asked while it runs; SIGTERM goes to it once that says yes.
// `cwd` is its working directory (by default the test's own).
RunResult RunPlay(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                  bool pty = false, std::function<bool()> termWhen = {}, const std::string& cwd = {})
{
    char pattern[] = "/tmp/marlin-play-run-XXXXXX";
    std::string dir = mkdtemp(pattern);
    std::string outPath = dir + "/out", errPath = dir + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int master = -1, slave = -1;
    if (pty) {
        EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        posix_spawn_file_actions_adddup2(&actions, slave, 2);
        posix_spawn_file_actions_addclose(&actions, master);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<std::string> argStore{kBin + "/marlin-play"};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
    envStore.insert(envStore.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(e.data());
    envp.push_back(nullptr);

    RunResult run;
    auto start = Clock::now();
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (slave >= 0) close(slave);
    EXPECT_EQ(rc, 0);
    if (rc == 0) {
        std::string terminal;
        int status = 0;
        for (;;) {
            if (master >= 0) {
                char buffer[4096];
                ssize_t n;
                while ((n = read(master, buffer, sizeof buffer)) > 0) terminal.append(buffer, static_cast<size_t>(n));
            }
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) break;
            if (termWhen && termWhen()) {
                kill(pid, SIGTERM);
                termWhen = {};
            }
            if (Clock::now() - start > std::chrono::seconds(60)) {
                ADD_FAILURE() << "marlin-play did not end within 60 s";
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        run.err = pty ? terminal : ReadText(errPath);
    }
    if (master >= 0) close(master);
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.out = ReadText(outPath);
    fs::remove_all(dir);
    return run;
}

std::string Describe(const RunResult& run)
{
    return "status " + std::to_string(run.status) + "\nstdout:\n" + run.out + "\nstderr:\n" + run.err;
}

// A small JSON reader for one flat object: key -> value text (strings
// unquoted). Nothing when the text is not one well-formed object.
std::optional<std::map<std::string, std::string>> ParseFlatJson(const std::string& text)
{
    std::map<std::string, std::string> out;
    size_t i = 0;
    auto space = [&] {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    };
    auto string = [&](std::string* value) {
        if (i >= text.size() || text[i] != '"') return false;
        for (++i; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\') {
                if (++i >= text.size()) return false;
                char c = text[i];
                if (c == 'n') value->push_back('\n');
                else if (c == 'u') { i += 4; value->push_back('?'); }
                else value->push_back(c);
            } else {
                value->push_back(text[i]);
            }
        }
        if (i >= text.size()) return false;
        ++i;
        return true;
    };
    space();
    if (i >= text.size() || text[i++] != '{') return std::nullopt;
    for (;;) {
        space();
        std::string key, value;
        if (!string(&key)) return std::nullopt;
        space();
        if (i >= text.size() || text[i++] != ':') return std::nullopt;
        space();
        if (i < text.size() && text[i] == '"') {
            if (!string(&value)) return std::nullopt;
        } else {
            size_t start = i;
            while (i < text.size() && text[i] != ',' && text[i] != '}' && !std::isspace(static_cast<unsigned char>(text[i]))) ++i;
            value = text.substr(start, i - start);
            bool number = !value.empty() && value.find_first_not_of("-0123456789.eE+") == std::string::npos;
            if (!number && value != "true" && value != "false" && value != "null") return std::nullopt;
        }
        out[key] = value;
        space();
        if (i < text.size() && text[i] == ',') { ++i; continue; }
        if (i < text.size() && text[i] == '}') { ++i; break; }
        return std::nullopt;
    }
    space();
    if (i != text.size()) return std::nullopt;
    return out;
}

int64_t Number(const std::map<std::string, std::string>& json, const std::string& key)
{
    auto it = json.find(key);
    return it == json.end() ? -999999 : static_cast<int64_t>(std::stod(it->second));
}

// Frames in a y4m file: its header line, then "FRAME\n" + planes each.
int64_t Y4mFrames(const std::string& path, size_t planeBytes)
{
    std::string data = ReadText(path);
    size_t header = data.find('\n');
    if (header == std::string::npos || data.rfind("YUV4MPEG2 ", 0) != 0) return -1;
    size_t rest = data.size() - header - 1, each = 6 + planeBytes;
    if (rest % each != 0) return -2;
    for (size_t at = header + 1; at < data.size(); at += each)
        if (data.compare(at, 6, "FRAME\n") != 0) return -3;
    return static_cast<int64_t>(rest / each);
}

int64_t WavDataBytes(const std::string& path)
{
    std::string data = ReadText(path);
    if (data.size() < 44 || data.compare(0, 4, "RIFF") != 0 || data.compare(36, 4, "data") != 0) return -1;
    uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<uint8_t>(data[40 + static_cast<size_t>(i)]);
    if (length != data.size() - 44) return -2;
    return length;
}

// Size of a PNG and how many of its pixels differ from the sheet background.
bool ReadPngStats(const std::string& path, int* width, int* height, size_t* nonBackground)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    bool ok = png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr) != 0;
    *width = static_cast<int>(image.width);
    *height = static_cast<int>(image.height);
    *nonBackground = 0;
    for (size_t i = 0; i + 2 < rgb.size(); i += 3)
        if (rgb[i] != 24 || rgb[i + 1] != 24 || rgb[i + 2] != 24) ++*nonBackground;
    png_image_free(&image);
    return ok;
}

class PlayEndToEnd : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/marlin-play-e2e-XXXXXX";
        s_dir = new std::string(mkdtemp(pattern));
        // Random bytes that no demuxer takes for media.
        std::mt19937 random(7);
        std::ofstream noise(*s_dir + "/noise.mp4", std::ios::binary);
        for (int i = 0; i < 64 * 1024; ++i) noise.put(static_cast<char>(random()));
        noise.close();
        // Two seconds of test picture and tone, key frames every 0.4 s.
        std::string command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=25 "
                              "-f lavfi -i sine=frequency=440:sample_rate=44100 -t 2 -c:v libx264 -g 10 "
                              "-pix_fmt yuv420p -c:a aac -shortest '" + *s_dir + "/clip.mp4'";
        s_clipMade = std::system(command.c_str()) == 0;
    }
    static void TearDownTestSuite()
    {
        fs::remove_all(*s_dir);
        delete s_dir;
    }
    void SetUp() override
    {
        char pattern[] = "/tmp/marlin-play-out-XXXXXX";
        out_ = mkdtemp(pattern);
        tmp_ = out_ + "/tmp";
        fs::create_directory(tmp_);
    }
    void TearDown() override
    {
        // Every run removed its private folder.
        EXPECT_TRUE(fs::is_empty(tmp_)) << "marlin-play left files in TMPDIR";
        fs::remove_all(out_);
    }

    std::string Media(const std::string& name) const { return *s_dir + "/" + name; }
    std::string Out(const std::string& name) const { return out_ + "/" + name; }
    std::vector<std::string> Env(const std::string& fakeMode = "") const
    {
        std::vector<std::string> env{"TMPDIR=" + tmp_};
        if (!fakeMode.empty()) env.push_back("MARLIN_FAKE_HOST=" + fakeMode);
        return env;
    }
    std::vector<std::string> Fake(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"--host", kBin + "/marlin-play-fake-host"});
        return args;
    }

    // The real host, when it gets as far as connecting (an early skeleton
    // exits at once with status 0).
    static std::optional<std::string> RealHostMissing()
    {
        static std::optional<std::string> missing = [] () -> std::optional<std::string> {
            Failure failure;
            auto session = HostSession::Start(kBin + "/marlin-host", &failure);
            if (session) {
                session->Finish();
                return std::nullopt;
            }
            return "marlin-host in this build does not connect to a controller: " + failure.message;
        }();
        return missing;
    }

    // Playback is there when the host answers StartPlayFile for the clip with 1.
    static std::optional<std::string> PlaybackMissing()
    {
        if (!s_clipMade) return "ffmpeg could not make the test clip";
        static std::optional<std::string> missing = [] () -> std::optional<std::string> {
            Failure failure;
            auto session = HostSession::Start(kBin + "/marlin-host", &failure);
            if (!session) return "marlin-host in this build does not connect to a controller: " + failure.message;
            MediaFormat format{160, 120, 12, 44100, 16, 2};
            Message reply;
            if (!session->Request(StartPlayFile(session->NextId(), format, Utf8ToUtf16(*s_dir + "/clip.mp4")), 3,
                                  15000, &reply, &failure))
                return "StartPlayFile failed: " + failure.message;
            if (reply.result == 0)
                return "marlin-host answers StartPlayFile with 0: the playback engine is not built yet";
            Message stop;
            session->Request(StopPlayFile(session->NextId()), 7, 5000, &stop, &failure, [](const Message&) {});
            session->Finish();
            return std::nullopt;
        }();
        return missing;
    }

    static std::string* s_dir;
    static bool s_clipMade;
    std::string out_, tmp_;
};

std::string* PlayEndToEnd::s_dir = nullptr;
bool PlayEndToEnd::s_clipMade = false;

// --- errors, with the real host ---

TEST_F(PlayEndToEnd, MissingFileIsReportedWithoutStartingTheHost)
{
    // A host that leaves a mark when started.
    std::string host = Out("host.sh");
    std::ofstream(host) << "#!/bin/sh\ntouch '" << Out("started") << "'\nexit 0\n";
    fs::permissions(host, fs::perms::owner_all);
    RunResult run = RunPlay({"--host", host, "info", Out("no-such.mp4")}, Env());
    EXPECT_EQ(run.status, 1) << Describe(run);
    EXPECT_NE(run.err.find("no-such.mp4: No such file or directory"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Out("started")));
    run = RunPlay({"--host", host, "play", *s_dir}, Env());
    EXPECT_EQ(run.status, 1) << Describe(run);
    EXPECT_NE(run.err.find("is a folder"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Out("started")));
}

TEST_F(PlayEndToEnd, UnplayableFileIsAnErrorWithStatus1)
{
    if (auto missing = RealHostMissing()) GTEST_SKIP() << *missing;
    RunResult run = RunPlay({"info", Media("noise.mp4")}, Env());
    EXPECT_EQ(run.status, 1) << Describe(run);
    EXPECT_NE(run.err.find("cannot play " + Media("noise.mp4") + ": marlin-host could not open it"),
              std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    run = RunPlay({"play", Media("noise.mp4"), "--audio", Out("a.wav")}, Env());
    EXPECT_EQ(run.status, 1) << Describe(run);
    EXPECT_FALSE(fs::exists(Out("a.wav"))) << "no output for a file that never played";
}

TEST_F(PlayEndToEnd, HostThatCannotStartIsNamed)
{
    RunResult run = RunPlay({"--host", "/nonexistent/marlin-host", "info", Media("noise.mp4")}, Env());
    EXPECT_EQ(run.status, 3) << Describe(run);
    EXPECT_NE(run.err.find("cannot start marlin-host: cannot execute /nonexistent/marlin-host: No such file"),
              std::string::npos) << run.err;
}

TEST_F(PlayEndToEnd, BadCommandLineExitsWith2AndNamesTheMistake)
{
    RunResult run = RunPlay({"play", Media("noise.mp4"), "--pixfmt", "bgr"}, Env());
    EXPECT_EQ(run.status, 2) << Describe(run);
    EXPECT_NE(run.err.find("unknown --pixfmt 'bgr'"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("marlin-play --help"), std::string::npos) << run.err;
    run = RunPlay({"--help"}, Env());
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("usage: marlin-play"), std::string::npos);
    run = RunPlay({"play", Media("noise.mp4"), "--video", Out("no-folder/v.y4m")}, Env());
    EXPECT_EQ(run.status, 4) << Describe(run);
    EXPECT_NE(run.err.find("no folder"), std::string::npos) << run.err;
}

// --- a host that dies or breaks the protocol ---

TEST_F(PlayEndToEnd, HostDyingBeforeConnectingShowsStatusAndLog)
{
    RunResult run = RunPlay(Fake({"info", Media("noise.mp4")}), Env("exit3"));
    EXPECT_EQ(run.status, 3) << Describe(run);
    EXPECT_NE(run.err.find("marlin-host ended before connecting with exit status 3"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("| fake host: cannot load LAVFilters/LAVSplitter.ax"), std::string::npos) << run.err;
}

TEST_F(PlayEndToEnd, HostDyingMidSessionShowsStatusAndLog)
{
    RunResult run = RunPlay(Fake({"info", Media("noise.mp4")}), Env("die"));
    EXPECT_EQ(run.status, 3) << Describe(run);
    EXPECT_NE(run.err.find("marlin-host ended unexpectedly with exit status 3"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("| fake host: giving up after command 0 on [" + Media("noise.mp4") + "]"),
              std::string::npos) << run.err;
}

TEST_F(PlayEndToEnd, HostRunsInItsOwnFolder)
{
    // Started from elsewhere through a relative --host, the host still runs
    // where it lies (where LAVFilters/ is).
    std::string relativeHost = fs::relative(kBin + "/marlin-play-fake-host", "/").string();
    RunResult run = RunPlay({"--host", "../" + relativeHost, "info", Media("noise.mp4")}, Env("die"), false, {},
                            "/tmp");
    EXPECT_EQ(run.status, 3) << Describe(run);
    EXPECT_NE(run.err.find("in [" + fs::canonical(kBin).string() + "]"), std::string::npos) << run.err;
}

TEST_F(PlayEndToEnd, PathsTravelAbsoluteInUtf16)
{
    // A relative name with accents and a CJK character reaches the host whole.
    const std::string name = "caf\xc3\xa9 \xe9\x9f\xb3.mp4";
    std::ofstream(Out(name)) << "x";
    std::string relative = fs::relative(Out(name)).string();
    RunResult run = RunPlay(Fake({"info", relative}), Env("die"));
    EXPECT_EQ(run.status, 3) << Describe(run);
    EXPECT_NE(run.err.find("on [" + Out(name) + "]"), std::string::npos) << run.err;

    // A name that is not UTF-8 cannot travel: refused before any host starts.
    const std::string bad = "bad\xff.mp4";
    std::ofstream(Out(bad)) << "x";
    run = RunPlay(Fake({"info", Out(bad)}), Env("exit3"));
    EXPECT_EQ(run.status, 1) << Describe(run);
    EXPECT_NE(run.err.find("not valid UTF-8"), std::string::npos) << run.err;
}

TEST_F(PlayEndToEnd, BrokenMessageFromTheHostIsAProtocolError)
{
    RunResult run = RunPlay(Fake({"info", Media("noise.mp4")}), Env("garbage"));
    EXPECT_EQ(run.status, 3) << Describe(run);
    EXPECT_NE(run.err.find("sent a message that does not decode"), std::string::npos) << run.err;
    EXPECT_LT(run.seconds, 20) << "the stuck host is not waited for";
}

TEST_F(PlayEndToEnd, HostThatNeverAnswersIsGivenUpOn)
{
    RunResult run = RunPlay(Fake({"info", Media("noise.mp4"), "--timeout", "300"}), Env("silent"));
    EXPECT_EQ(run.status, 3) << Describe(run);
    EXPECT_NE(run.err.find("marlin-host did not answer TestFile within 300 ms"), std::string::npos) << run.err;
    EXPECT_LT(run.seconds, 4.5) << "a host that does not answer is not asked to quit and waited for";
}

// --- the play path, with the stand-in playing 2 s of 64x48 at 25/s ---

TEST_F(PlayEndToEnd, InfoPrintsTextAndJson)
{
    RunResult run = RunPlay(Fake({"info", Media("noise.mp4")}), Env("player"));
    ASSERT_EQ(run.status, 0) << Describe(run);
    EXPECT_NE(run.out.find("duration:  2.000 s"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("video:     64x48, 25 pictures/s"), std::string::npos) << run.out;
    run = RunPlay(Fake({"info", "--json", Media("noise.mp4")}), Env("player"));
    ASSERT_EQ(run.status, 0) << Describe(run);
    auto json = ParseFlatJson(run.out);
    ASSERT_TRUE(json) << run.out;
    EXPECT_EQ((*json)["file"], Media("noise.mp4"));
    EXPECT_EQ(Number(*json, "durationMs"), 2000);
    EXPECT_EQ((*json)["hasVideo"], "true");
    EXPECT_EQ(Number(*json, "width"), 64);
    EXPECT_EQ(Number(*json, "framesPerSecond"), 25);
}

TEST_F(PlayEndToEnd, PlayWritesY4mWavSheetAndStats)
{
    RunResult run = RunPlay(Fake({"play", Media("noise.mp4"), "--pixfmt", "yv12", "--rate", "16000", "--channels",
                            "1", "--video", Out("v.y4m"), "--audio", Out("a.wav"), "--contact-sheet",
                            Out("s.png"), "--stats", "--json"}),
                      Env("player"));
    ASSERT_EQ(run.status, 0) << Describe(run);
    EXPECT_EQ(Y4mFrames(Out("v.y4m"), 64 * 48 * 3 / 2), 50);
    EXPECT_EQ(ReadText(Out("v.y4m")).rfind("YUV4MPEG2 W64 H48 F25:1 Ip A1:1 C420jpeg\n", 0), 0u);
    EXPECT_EQ(WavDataBytes(Out("a.wav")), 2 * 16000 * 2);
    int w = 0, h = 0;
    size_t drawn = 0;
    ASSERT_TRUE(ReadPngStats(Out("s.png"), &w, &h, &drawn));
    EXPECT_EQ(w, 4 * 64 + 5 * 4);
    EXPECT_EQ(h, 3 * (48 + ContactSheet::kCaptionHeight) + 4 * 4);
    EXPECT_GT(drawn, 12u * 64 * 48) << "every cell holds a picture and its caption";
    auto json = ParseFlatJson(run.out);
    ASSERT_TRUE(json) << run.out;
    EXPECT_EQ(Number(*json, "videoFrames"), 50);
    EXPECT_EQ(Number(*json, "videoBytes"), 50 * 64 * 48 * 3 / 2);
    EXPECT_EQ(Number(*json, "audioSampleFrames"), 32000);
    EXPECT_EQ((*json)["endedBy"], "PlayComplete");
    EXPECT_GE(Number(*json, "firstVideoLatencyMs"), 0);
    EXPECT_EQ(Number(*json, "malformedFrames"), 0);
    EXPECT_GT(std::stod((*json)["picturesPerSecond"]), 15.0);
    EXPECT_LT(std::stod((*json)["picturesPerSecond"]), 40.0);
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << "no progress line off a terminal";
}

TEST_F(PlayEndToEnd, LayoutsY4mCannotHoldGoRaw)
{
    RunResult run = RunPlay(Fake({"play", Media("noise.mp4"), "--pixfmt", "rgb24", "--size", "32x16", "--video",
                            Out("v.y4m"), "--no-progress"}),
                      Env("player"));
    ASSERT_EQ(run.status, 0) << Describe(run);
    EXPECT_NE(run.err.find("y4m cannot hold rgb24"), std::string::npos) << run.err;
    EXPECT_EQ(fs::file_size(Out("v.y4m")), 50u * 32 * 16 * 3);
}

// "-" is standard output, for pictures and for sound; the stats then go to
// standard error, and no file named "-" appears.
TEST_F(PlayEndToEnd, DashWritesToStandardOutput)
{
    RunResult run = RunPlay(Fake({"play", Media("noise.mp4"), "--video", "-", "--stats"}), Env("player"), false, {},
                            out_);
    ASSERT_EQ(run.status, 0) << Describe(run);
    std::ofstream(Out("stdout.y4m"), std::ios::binary) << run.out;
    EXPECT_EQ(Y4mFrames(Out("stdout.y4m"), 64 * 48 * 3 / 2), 50);
    EXPECT_NE(run.err.find("pictures:            50"), std::string::npos) << run.err;
    run = RunPlay(Fake({"play", Media("noise.mp4"), "--audio", "-", "--rate", "8000", "--channels", "1"}),
                  Env("player"), false, {}, out_);
    ASSERT_EQ(run.status, 0) << Describe(run);
    std::ofstream(Out("stdout.wav"), std::ios::binary) << run.out;
    EXPECT_EQ(WavDataBytes(Out("stdout.wav")), 2 * 8000 * 2);
    EXPECT_FALSE(fs::exists(Out("-")));
}

// The reader of a pipe output goes away after the first picture: marlin-play
// says so, not that no pictures arrived, and exits with 4.
TEST_F(PlayEndToEnd, OutputReaderGoingAwayIsNamed)
{
    const std::string fifo = Out("v.pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread reader([&] {
        int fd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);  // until marlin-play opens it
        char first[64];
        if (fd >= 0 && read(fd, first, sizeof first) >= 0) close(fd);
    });
    RunResult run = RunPlay(Fake({"play", Media("noise.mp4"), "--video", fifo, "--no-progress"}), Env("player"));
    // A reader still waiting to open is let go.
    int release = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (release >= 0) close(release);
    reader.join();
    EXPECT_EQ(run.status, 4) << Describe(run);
    EXPECT_NE(run.err.find("the reader of " + fifo + " went away"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("no pictures arrived"), std::string::npos) << run.err;
}

TEST_F(PlayEndToEnd, DurationCutsPicturesAndSoundAtTheEnd)
{
    RunResult run = RunPlay(Fake({"play", Media("noise.mp4"), "--pixfmt", "nv12", "--duration", "1000", "--video",
                            Out("v.y4m"), "--audio", Out("a.wav"), "--rate", "8000", "--stats", "--json"}),
                      Env("player"));
    ASSERT_EQ(run.status, 0) << Describe(run);
    EXPECT_EQ(Y4mFrames(Out("v.y4m"), 64 * 48 * 3 / 2), 25);
    EXPECT_EQ(WavDataBytes(Out("a.wav")), 8000 * 2 * 2);
    auto json = ParseFlatJson(run.out);
    ASSERT_TRUE(json) << run.out;
    EXPECT_EQ((*json)["endedBy"], "--duration");
    EXPECT_LT(run.seconds, 10);
}

TEST_F(PlayEndToEnd, FileOfUnknownOrUnderstatedLengthPlaysToItsEnd)
{
    // A file that does not say how long it is (a recording cut off, a live
    // stream saved as it came) has a length of 0, and one whose length is a
    // short estimate says too little: nothing is cut for either.
    for (const char* name : {"unknown-length.mp4", "short-length.mp4"}) {
        SCOPED_TRACE(name);
        fs::copy_file(Media("noise.mp4"), Out(name), fs::copy_options::overwrite_existing);
        RunResult run = RunPlay(Fake({"play", Out(name), "--pixfmt", "nv12", "--video", Out("v.y4m"), "--audio",
                                      Out("a.wav"), "--rate", "8000", "--contact-sheet", Out("s.png"), "--json"}),
                                Env("player"));
        ASSERT_EQ(run.status, 0) << Describe(run);
        EXPECT_EQ(Y4mFrames(Out("v.y4m"), 64 * 48 * 3 / 2), 50);
        EXPECT_EQ(WavDataBytes(Out("a.wav")), 2 * 8000 * 2 * 2);
        // Without a length no picture's cell is known on arrival; the sheet
        // still spreads over the whole playback.
        int w = 0, h = 0;
        size_t drawn = 0;
        ASSERT_TRUE(ReadPngStats(Out("s.png"), &w, &h, &drawn));
        EXPECT_GT(drawn, 12u * 64 * 48) << "every cell holds a picture and its caption";
        auto json = ParseFlatJson(run.out);
        ASSERT_TRUE(json) << run.out;
        EXPECT_EQ(Number(*json, "droppedAfterEnd"), 0);
        EXPECT_EQ((*json)["endedBy"], "PlayComplete");
    }
}

TEST_F(PlayEndToEnd, SeekStartsAtTheLandingPlace)
{
    RunResult run = RunPlay(Fake({"play", Media("noise.mp4"), "--seek", "1000", "--pixfmt", "yuy2", "--video",
                            Out("v.y4m"), "--stats", "--json"}),
                      Env("player"));
    ASSERT_EQ(run.status, 0) << Describe(run);
    auto json = ParseFlatJson(run.out);
    ASSERT_TRUE(json) << run.out;
    // The stand-in lands on the 800 ms key frame: 30 pictures to the end.
    EXPECT_EQ(Number(*json, "seekLandedMs"), 800);
    EXPECT_EQ(Number(*json, "videoFrames"), 30);
    EXPECT_EQ(Y4mFrames(Out("v.y4m"), 64 * 48 * 2), 30);
    EXPECT_GE(Number(*json, "seekLatencyMs"), 0);
    EXPECT_EQ((*json)["endedBy"], "PlayComplete");

    // --duration counts from where the seek landed: 800 to 1200 ms.
    run = RunPlay(Fake({"play", Media("noise.mp4"), "--seek", "1000", "--duration", "400", "--json"}),
                  Env("player"));
    ASSERT_EQ(run.status, 0) << Describe(run);
    json = ParseFlatJson(run.out);
    ASSERT_TRUE(json) << run.out;
    EXPECT_EQ(Number(*json, "videoFrames"), 10);
    EXPECT_EQ((*json)["endedBy"], "--duration");
}

TEST_F(PlayEndToEnd, PauseHoldsDeliveryThenContinues)
{
    RunResult run = RunPlay(Fake({"play", Media("noise.mp4"), "--pause-at", "500", "--resume-after", "800", "--stats",
                            "--json"}),
                      Env("player"));
    ASSERT_EQ(run.status, 0) << Describe(run);
    auto json = ParseFlatJson(run.out);
    ASSERT_TRUE(json) << run.out;
    EXPECT_EQ(Number(*json, "videoFrames"), 50);
    EXPECT_GE(Number(*json, "pausedMs"), 800);
    EXPECT_LE(Number(*json, "arrivedWhilePaused"), 2);
    EXPECT_GE(run.seconds, 2.7);
    // The pause is not counted against the pace: were it counted, every
    // picture after it (over 30) would be late. The margin is for a loaded machine.
    EXPECT_LE(Number(*json, "latePictures"), 15);
}

TEST_F(PlayEndToEnd, StartPlayFileRefusedIsUnplayable)
{
    RunResult run = RunPlay(Fake({"play", Media("noise.mp4"), "--audio", Out("a.wav")}), Env("player-nostart"));
    EXPECT_EQ(run.status, 1) << Describe(run);
    EXPECT_NE(run.err.find("StartPlayFile answered 0"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Out("a.wav")));
}

TEST_F(PlayEndToEnd, ProgressLineOnATerminal)
{
    RunResult run = RunPlay(Fake({"play", Media("noise.mp4"), "--duration", "800"}), Env("player"), true);
    ASSERT_EQ(run.status, 0) << Describe(run);
    EXPECT_NE(run.err.find('\r'), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(" / 0.8 s ["), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(" fps"), std::string::npos) << run.err;
    run = RunPlay(Fake({"play", Media("noise.mp4"), "--duration", "300", "--no-progress"}), Env("player"), true);
    ASSERT_EQ(run.status, 0) << Describe(run);
    EXPECT_EQ(run.err.find('\r'), std::string::npos) << run.err;
}

TEST_F(PlayEndToEnd, InterruptStopsTheHostAndCleansUp)
{
    // SIGTERM once some sound is on disk: what was written is kept, with a
    // valid header, and the temporary folder is removed.
    const std::string wav = Out("a.wav");
    auto someSound = [&wav] {
        std::error_code ec;
        return fs::file_size(wav, ec) > 44 + 8192 && !ec;
    };
    RunResult run = RunPlay(Fake({"play", Media("noise.mp4"), "--audio", wav, "--rate", "8000"}),
                            Env("player"), false, someSound);
    EXPECT_EQ(run.status, 130) << Describe(run);
    EXPECT_NE(run.err.find("interrupted"), std::string::npos) << run.err;
    int64_t bytes = WavDataBytes(Out("a.wav"));
    EXPECT_GT(bytes, 0);
    EXPECT_LT(bytes, 2 * 8000 * 2 * 2);  // two channels by default
}

// --- real playback: skipped until marlin-host plays files ---

TEST_F(PlayEndToEnd, RealHostInfoJson)
{
    if (auto missing = PlaybackMissing()) GTEST_SKIP() << *missing;
    RunResult run = RunPlay({"info", "--json", Media("clip.mp4")}, Env());
    ASSERT_EQ(run.status, 0) << Describe(run);
    auto json = ParseFlatJson(run.out);
    ASSERT_TRUE(json) << run.out;
    EXPECT_NEAR(static_cast<double>(Number(*json, "durationMs")), 2000, 100);
    EXPECT_EQ(Number(*json, "width"), 160);
    EXPECT_EQ(Number(*json, "height"), 120);
    EXPECT_EQ(Number(*json, "framesPerSecond"), 25);
}

TEST_F(PlayEndToEnd, RealHostPlaysTheClip)
{
    if (auto missing = PlaybackMissing()) GTEST_SKIP() << *missing;
    RunResult run = RunPlay({"play", Media("clip.mp4"), "--video", Out("v.y4m"), "--audio", Out("a.wav"),
                       "--rate", "16000", "--channels", "1", "--contact-sheet", Out("s.png"), "--stats", "--json"},
                      Env());
    ASSERT_EQ(run.status, 0) << Describe(run);
    auto json = ParseFlatJson(run.out);
    ASSERT_TRUE(json) << run.out;
    EXPECT_NEAR(static_cast<double>(Number(*json, "videoFrames")), 50, 3);
    EXPECT_EQ(Y4mFrames(Out("v.y4m"), 160 * 120 * 3 / 2), Number(*json, "videoFrames"));
    EXPECT_NEAR(static_cast<double>(WavDataBytes(Out("a.wav"))), 2 * 16000 * 2, 16000 * 2 * 0.15);
    int w = 0, h = 0;
    size_t drawn = 0;
    ASSERT_TRUE(ReadPngStats(Out("s.png"), &w, &h, &drawn));
    EXPECT_GT(drawn, 6u * 160 * 120) << "most cells hold a picture";
    EXPECT_EQ((*json)["endedBy"], "PlayComplete");
}

// Pictures written to a pipe take another way from the socket to the output
// than those written to a file; what the reader gets must be the same bytes,
// raw and as y4m, with the same counts in the stats and the frames list, also
// where --duration cuts the pictures.
TEST_F(PlayEndToEnd, RealHostPicturesThroughAPipeAreThoseWrittenToAFile)
{
    if (auto missing = PlaybackMissing()) GTEST_SKIP() << *missing;
    auto slurp = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    // The frames list but its arrival times, sorted: the two kinds may
    // interleave differently from run to run.
    auto framesWithoutArrival = [&](const std::string& path) {
        std::istringstream in(slurp(path));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            std::vector<std::string> fields;
            std::stringstream split(line);
            for (std::string f; std::getline(split, f, ',');) fields.push_back(f);
            if (fields.size() == 6) fields[4].clear();
            lines.emplace_back();
            for (const std::string& f : fields) lines.back() += f + ",";
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    };
    struct Case
    {
        const char* layout;
        std::vector<std::string> cut;
    };
    for (const Case& c : {Case{"rgb24", {}}, Case{"i420", {"--duration", "1450"}}}) {
        const char* layout = c.layout;
        SCOPED_TRACE(layout);
        const std::string suffix = std::string(layout) == "i420" ? ".y4m" : ".raw";
        auto args = [&](std::vector<std::string> a) {
            a.insert(a.end(), c.cut.begin(), c.cut.end());
            return a;
        };
        RunResult toFile = RunPlay(args({"play", Media("clip.mp4"), "--pixfmt", layout, "--video", Out("file" + suffix),
                                         "--frames", Out("file.csv"), "--stats", "--json", "--no-progress"}),
                                   Env());
        ASSERT_EQ(toFile.status, 0) << Describe(toFile);

        const std::string fifo = Out(std::string("pipe-") + layout + suffix);
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::string piped;
        std::thread reader([&] {
            int fd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
            char chunk[65536];
            for (ssize_t n; fd >= 0 && (n = read(fd, chunk, sizeof chunk)) > 0;) piped.append(chunk, size_t(n));
            if (fd >= 0) close(fd);
        });
        RunResult toPipe = RunPlay(args({"play", Media("clip.mp4"), "--pixfmt", layout, "--video", fifo, "--frames",
                                         Out("pipe.csv"), "--stats", "--json", "--no-progress"}),
                                   Env());
        int release = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // a reader still waiting
        if (release >= 0) close(release);
        reader.join();
        ASSERT_EQ(toPipe.status, 0) << Describe(toPipe);

        const std::string written = slurp(Out("file" + suffix));
        EXPECT_GT(written.size(), 40u * 160 * 120);
        EXPECT_TRUE(piped == written) << piped.size() << " bytes through the pipe, " << written.size()
                                      << " to the file";
        auto fileStats = ParseFlatJson(toFile.out), pipeStats = ParseFlatJson(toPipe.out);
        ASSERT_TRUE(fileStats && pipeStats) << toFile.out << toPipe.out;
        EXPECT_EQ(Number(*pipeStats, "videoFrames"), Number(*fileStats, "videoFrames"));
        EXPECT_EQ(Number(*pipeStats, "videoBytes"), Number(*fileStats, "videoBytes"));
        EXPECT_EQ(framesWithoutArrival(Out("pipe.csv")), framesWithoutArrival(Out("file.csv")));
        if (!c.cut.empty()) {
            EXPECT_EQ((*pipeStats)["endedBy"], "--duration");
        }
    }
}

TEST_F(PlayEndToEnd, RealHostSeekPauseAndDuration)
{
    if (auto missing = PlaybackMissing()) GTEST_SKIP() << *missing;
    RunResult run = RunPlay({"play", Media("clip.mp4"), "--seek", "1000", "--stats", "--json"}, Env());
    ASSERT_EQ(run.status, 0) << Describe(run);
    auto json = ParseFlatJson(run.out);
    ASSERT_TRUE(json) << run.out;
    EXPECT_GE(Number(*json, "seekLandedMs"), 600);
    EXPECT_LE(Number(*json, "seekLandedMs"), 1000);
    EXPECT_NEAR(static_cast<double>(Number(*json, "videoFrames")), (2000 - Number(*json, "seekLandedMs")) / 40.0, 3);

    run = RunPlay({"play", Media("clip.mp4"), "--pause-at", "500", "--resume-after", "700", "--stats", "--json"},
                  Env());
    ASSERT_EQ(run.status, 0) << Describe(run);
    json = ParseFlatJson(run.out);
    ASSERT_TRUE(json) << run.out;
    EXPECT_NEAR(static_cast<double>(Number(*json, "videoFrames")), 50, 3);
    EXPECT_LE(Number(*json, "arrivedWhilePaused"), 2);
    EXPECT_GE(run.seconds, 2.5);

    run = RunPlay({"play", Media("clip.mp4"), "--duration", "1000", "--audio", Out("a.wav"), "--rate", "8000",
                   "--stats", "--json"},
                  Env());
    ASSERT_EQ(run.status, 0) << Describe(run);
    json = ParseFlatJson(run.out);
    ASSERT_TRUE(json) << run.out;
    EXPECT_NEAR(static_cast<double>(Number(*json, "videoFrames")), 25, 2);
    EXPECT_NEAR(static_cast<double>(WavDataBytes(Out("a.wav"))), 8000 * 2 * 2, 8000 * 2 * 2 * 0.1);
}

// Sound only: --stats shows no picture pace, and a contact sheet that
// cannot be made is an output failure.
TEST_F(PlayEndToEnd, RealHostSoundOnlyHasNoPicturePaceAndNoSheet)
{
    if (auto missing = PlaybackMissing()) GTEST_SKIP() << *missing;
    const std::string tone = Out("tone.wav");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:sample_rate=22050 "
                           "-t 1 -c:a pcm_s16le '" + tone + "'").c_str()),
              0);
    RunResult run = RunPlay({"play", tone, "--stats"}, Env());
    ASSERT_EQ(run.status, 0) << Describe(run);
    EXPECT_NE(run.out.find("sound blocks:"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("pace"), std::string::npos) << run.out;
    run = RunPlay({"play", tone, "--contact-sheet", Out("s.png")}, Env());
    EXPECT_EQ(run.status, 4) << Describe(run);
    EXPECT_NE(run.err.find("no pictures arrived"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(Out("s.png")));
}

TEST_F(PlayEndToEnd, RealHostFramesListEveryFrameWithItsStamp)
{
    if (auto missing = PlaybackMissing()) GTEST_SKIP() << *missing;
    RunResult run = RunPlay({"play", Media("clip.mp4"), "--rate", "16000", "--frames", Out("f.csv"), "--stats",
                             "--json"},
                            Env());
    ASSERT_EQ(run.status, 0) << Describe(run);
    auto json = ParseFlatJson(run.out);
    ASSERT_TRUE(json) << run.out;
    EXPECT_EQ(Number(*json, "missingPictures"), 0);
    EXPECT_EQ(Number(*json, "missingSoundBlocks"), 0);
    EXPECT_GT(Number(*json, "syncPictures"), 40) << "pictures measured against their sound";
    EXPECT_NE((*json)["syncErrorMedianMs"], "null");
    EXPECT_NE((*json)["syncErrorP99Ms"], "null");

    std::istringstream lines(ReadText(Out("f.csv")));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(line, "kind,number,presentation_time_s,flags,arrival_ms,bytes");
    int64_t pictures = 0, blocks = 0;
    double lastArrival = -1;
    while (std::getline(lines, line)) {
        char kind[8] = {};
        unsigned number = 0, flags = 0;
        double time = 0, arrival = 0;
        size_t bytes = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%7[a-z],%u,%lf,%u,%lf,%zu", kind, &number, &time, &flags, &arrival,
                              &bytes),
                  6)
            << line;
        const bool video = std::string(kind) == "video";
        int64_t& count = video ? pictures : blocks;
        EXPECT_EQ(number, count) << line;
        EXPECT_EQ((flags & 1) != 0, count == 0) << line;
        if (video) {
            EXPECT_NEAR(time, 0.04 * static_cast<double>(count), 1e-6) << "the clip's pictures are 40 ms apart";
            EXPECT_EQ(bytes, 160u * 120 * 3 / 2);
        }
        EXPECT_GE(arrival, lastArrival) << "lines in arrival order";
        lastArrival = arrival;
        ++count;
    }
    EXPECT_EQ(pictures, Number(*json, "videoFrames"));
    EXPECT_EQ(blocks, Number(*json, "audioBlocks"));
}

TEST_F(PlayEndToEnd, RealHostSendsOddSizesInTheLayoutTheControllerReads)
{
    if (auto missing = PlaybackMissing()) GTEST_SKIP() << *missing;
    // 81 x 61: every picture must come with exactly PictureBytes, which the
    // controller counts as malformed otherwise.
    for (const char* fmt : {"i420", "nv12", "uyvy", "yvu9"}) {
        SCOPED_TRACE(fmt);
        RunResult run = RunPlay({"play", Media("clip.mp4"), "--pixfmt", fmt, "--size", "81x61", "--duration", "400",
                                 "--video", Out("v.y4m"), "--stats", "--json"},
                                Env());
        ASSERT_EQ(run.status, 0) << Describe(run);
        auto json = ParseFlatJson(run.out);
        ASSERT_TRUE(json) << run.out;
        EXPECT_GT(Number(*json, "videoFrames"), 5);
        EXPECT_EQ(Number(*json, "malformedFrames"), 0);
        // Y4M planes: Y 81 x 61, chroma 41 x 31 (4:2:0) or 41 x 61 (4:2:2).
        const std::string f = fmt;
        if (f != "yvu9") {
            const size_t chroma = f == "uyvy" ? 41 * 61 : 41 * 31;
            EXPECT_EQ(Y4mFrames(Out("v.y4m"), 81 * 61 + 2 * chroma), Number(*json, "videoFrames"));
        }
    }
}

}  // namespace
