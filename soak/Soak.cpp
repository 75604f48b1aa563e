// marlin-soak: one marlin-host driven for minutes by a stream of random
// commands, as an unlucky controller might send them, with every answer
// checked against what the host must say in its current state.
//
//   marlin-soak [--minutes N] [--rate PER_MINUTE] [--seed S] [--media-dir DIR]
//               [--host PATH] [--only ACTION,...]
//
// The commands: TestFile, StartPlayFile, GetFileInfo, StopPlayFile, Pause,
// Contine, Seek, GetPosition, SetReplyWnd, cut-short and unknown messages,
// and the window port (WM_COPYDATA commands, the test button). Files: the
// bundled sample, media made with the ffmpeg command and broken files. Once a
// minute the host is stopped and its resident memory sampled. Fails (exit 1)
// on a wrong or missing reply, a frame that does not fit the playback, a
// dead or hung host, or memory growth of 5 MB or more from minute 2 on.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "controller/ControllerLink.h"
#include "controller/HostProcess.h"
#include "controller/Messages.h"
#include "controller/WindowPort.h"
#include "controller/play/PixelLayouts.h"

namespace {

namespace fs = std::filesystem;
namespace mc = marlin::controller;
using mc::Bytes;
using Clock = std::chrono::steady_clock;

constexpr int kReplyLimitMs = 5000;   // a reply later than this counts as a hang
constexpr int kExitLimitMs = 2000;
constexpr double kRssBoundMb = 5.0;

struct Options
{
    int minutes = 10;
    int rate = 1000;  // messages per minute
    unsigned seed = 1;
    std::string mediaDir = "soak-media";
    std::string hostPath;
    std::string only;  // comma-separated action names; empty: all
};

struct MediaFile
{
    std::string name;
    std::string path;
    bool mustOpen = false;    // a good file: must test and play
    bool mustFail = false;    // a broken file: must be refused
    int32_t durationMs = -1;  // from the first TestFile; later answers must agree
};

struct Counts
{
    std::map<std::string, long> sent;  // by kind of message
    long messages = 0;
    long replies = 0;
    long videoFrames = 0;
    long audioFrames = 0;
    long completes = 0;
    std::map<std::string, std::pair<long, long>> byFile;  // TestFile, StartPlayFile
};

std::u16string ToU16(const std::string& s)
{
    // Paths made here are ASCII.
    return std::u16string(s.begin(), s.end());
}

bool RunShell(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

long RssKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// The good and broken files, made once into `dir` (kept between runs).
std::vector<MediaFile> MakeMedia(const std::string& dir, const std::string& sample, std::string* error)
{
    fs::create_directories(dir);
    const std::string ff = "ffmpeg -nostdin -loglevel error -y ";
    const std::string x264 = "-c:v libx264 -preset veryfast -pix_fmt yuv420p ";
    struct Recipe
    {
        const char* name;
        std::string args;
    };
    const std::vector<Recipe> recipes = {
        {"odd-size.mp4", "-f lavfi -i testsrc2=size=161x97:rate=25:duration=6 -f lavfi -i sine=f=330:sample_rate=22050:duration=6 " + x264 + "-c:a aac -shortest"},
        {"multichannel.mp4", "-f lavfi -i testsrc2=size=176x144:rate=30:duration=6 -f lavfi -i sine=f=440:sample_rate=48000:duration=6 -filter_complex '[1:a]pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0[a]' -map 0:v -map '[a]' " + x264 + "-c:a aac -ac 6"},
        {"long-gop.mp4", "-f lavfi -i testsrc2=size=320x180:rate=25:duration=20 -f lavfi -i sine=f=550:sample_rate=44100:duration=20 " + x264 + "-x264-params keyint=250:min-keyint=250:scenecut=0 -c:a aac"},
        {"audio-only.m4a", "-f lavfi -i sine=f=660:sample_rate=32000:duration=8 -c:a aac"},
        {"video-only.mp4", "-f lavfi -i testsrc2=size=208x120:rate=24:duration=6 " + x264},
    };
    std::vector<MediaFile> files;
    files.push_back({"sample.mp4", sample, true, false});
    for (const Recipe& r : recipes) {
        const std::string path = dir + "/" + r.name;
        if (!fs::exists(path) && !RunShell(ff + r.args + " " + path)) {
            *error = std::string("ffmpeg could not make ") + r.name;
            return {};
        }
        files.push_back({r.name, path, true, false});
    }

    // Broken files.
    auto writeFile = [](const std::string& path, const std::vector<char>& data) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
    };
    std::vector<char> good;
    {
        std::ifstream in(dir + "/long-gop.mp4", std::ios::binary);
        good.assign(std::istreambuf_iterator<char>(in), {});
    }
    // Without -movflags faststart the index sits at the end: cut, it is gone.
    writeFile(dir + "/truncated.mp4", std::vector<char>(good.begin(), good.begin() + good.size() * 2 / 5));
    std::mt19937 fixed(12345);
    std::vector<char> garbage(200000);
    for (char& c : garbage) c = static_cast<char>(fixed());
    writeFile(dir + "/garbage.mp4", garbage);
    // A real file header followed by noise.
    std::vector<char> headed(good.begin(), good.begin() + 64);
    headed.insert(headed.end(), garbage.begin(), garbage.end());
    writeFile(dir + "/header-then-garbage.mp4", headed);
    writeFile(dir + "/zero-bytes.mp4", {});
    fs::create_directories(dir + "/directory.mp4");
    for (const char* name : {"truncated.mp4", "garbage.mp4", "header-then-garbage.mp4", "zero-bytes.mp4", "directory.mp4"})
        files.push_back({name, dir + "/" + name, false, true});
    files.push_back({"missing.mp4", dir + "/missing.mp4", false, true});

    // The index moved to the front and the file cut in half: it opens, and
    // playback runs into the cut.
    const std::string faststart = dir + "/cut-faststart.mp4";
    if (!fs::exists(faststart)) {
        const std::string whole = dir + "/faststart-whole.mp4";
        if (!RunShell(ff + "-i " + dir + "/long-gop.mp4 -c copy -movflags +faststart " + whole)) {
            *error = "ffmpeg could not remux long-gop.mp4";
            return {};
        }
        std::ifstream in(whole, std::ios::binary);
        std::vector<char> bytes(std::istreambuf_iterator<char>(in), {});
        writeFile(faststart, std::vector<char>(bytes.begin(), bytes.begin() + bytes.size() / 2));
    }
    files.push_back({"cut-faststart.mp4", faststart, false, false});
    return files;
}

class Soak
{
public:
    Soak(const Options& options, std::vector<MediaFile> files)
        : m_options(options), m_files(std::move(files)), m_rng(options.seed)
    {
    }

    int Run()
    {
        if (!Start()) return 1;
        if (!Baseline()) return Finish(false);

        const auto begin = Clock::now();
        const auto interval = std::chrono::microseconds(60'000'000LL / m_options.rate);
        int minute = 0;
        SampleMinute(0);
        while (m_failure.empty()) {
            const auto now = Clock::now();
            if (now - begin >= std::chrono::minutes(minute + 1)) {
                ++minute;
                SampleMinute(minute);
                if (minute >= m_options.minutes) break;
                continue;
            }
            // Paced by messages sent: a slow reply is made up for later.
            const auto due = begin + interval * m_counts.messages;
            if (!Drain(due)) break;
            Step();
        }
        return Finish(m_failure.empty());
    }

private:
    // --- set-up and end ---

    bool Start()
    {
        char tmpl[] = "/tmp/marlin-soak-XXXXXX";
        if (!::mkdtemp(tmpl)) return Fail("mkdtemp failed");
        m_dir = tmpl;
        m_base = m_dir + "/s";
        std::string error;
        m_link = mc::ControllerLink::Listen(m_base, &error);
        if (!m_link) return Fail("listen: " + error);
        mc::HostProcess::Options o;
        o.program = m_options.hostPath;
        o.args = {m_base};
        o.workingDirectory = fs::path(m_options.hostPath).parent_path().string();
        o.stderrPath = m_dir + "/host.log";
        m_host = mc::HostProcess::Spawn(o, &error);
        if (!m_host) return Fail("spawn: " + error);
        if (!m_link->Accept(10000)) return Fail("the host did not connect");
        std::printf("soak: host pid %d, seed %u, %d minutes at %d messages per minute, %zu files\n", m_host->Pid(),
                    m_options.seed, m_options.minutes, m_options.rate, m_files.size());
        return true;
    }

    // The durations later answers must agree with.
    bool Baseline()
    {
        for (MediaFile& f : m_files) {
            const uint32_t id = NextId();
            Send(mc::TestFile(id, ToU16(f.path)), "TestFile");
            auto reply = AwaitReply(id, 1);
            if (!reply) return false;
            f.durationMs = reply->info.durationMs;
            std::printf("soak: %-24s duration %d ms\n", f.name.c_str(), f.durationMs);
            if (f.mustOpen && f.durationMs <= 0) return Fail(f.name + " did not open");
            if (f.mustFail && f.durationMs != -1) return Fail(f.name + " opened");
        }
        return true;
    }

    int Finish(bool ok)
    {
        if (m_host && m_link) {
            // Quit, and the host must be gone in time with status 0.
            if (ok) {
                ok = Stop();
                Send(mc::Quit(NextId()), "Quit");
                auto status = m_host->WaitExit(kExitLimitMs);
                if (!status) ok = Fail("the host did not end within 2 s of Quit");
                else if (!status->Success()) ok = Fail("the host ended with status " + std::to_string(status->code) + " signal " + std::to_string(status->signal));
            }
        }
        PrintSummary(ok);
        if (!ok && m_host) {
            std::string log = m_host->Stderr();
            if (log.size() > 4000) log = "..." + log.substr(log.size() - 4000);
            std::printf("soak: host log tail:\n%s\n", log.c_str());
        }
        m_host.reset();
        m_link.reset();
        std::error_code ec;
        fs::remove_all(m_dir, ec);
        return m_passed ? 0 : 1;
    }

    void SampleMinute(int minute)
    {
        // Sampled idle, so that the figure compares like with like.
        if (!Stop()) return;
        const long rss = RssKb(m_host->Pid());
        m_rss.push_back(rss);
        const long done = m_counts.messages - m_lastMessages;
        m_lastMessages = m_counts.messages;
        std::printf("soak: minute %2d  rss %7.2f MB  messages %5ld  replies %7ld  frames %7ld video %7ld audio  "
                    "completes %ld\n",
                    minute, rss / 1024.0, done, m_counts.replies, m_counts.videoFrames, m_counts.audioFrames,
                    m_counts.completes);
        std::fflush(stdout);
    }

    void PrintSummary(bool ok)
    {
        std::printf("soak: messages by kind:\n");
        for (const auto& [kind, n] : m_counts.sent) std::printf("soak:   %-28s %7ld\n", kind.c_str(), n);
        std::printf("soak: files (after the first test of each):\n");
        for (const MediaFile& f : m_files) {
            const auto& [tests, starts] = m_counts.byFile[f.name];
            std::printf("soak:   %-24s %-6s TestFile %5ld  StartPlayFile %5ld\n", f.name.c_str(),
                        f.mustOpen ? "good" : f.mustFail ? "broken" : "cut", tests, starts);
        }
        std::printf("soak: %ld messages, %ld replies checked, %ld video and %ld audio frames checked, %ld play "
                    "completes\n",
                    m_counts.messages, m_counts.replies, m_counts.videoFrames, m_counts.audioFrames,
                    m_counts.completes);
        if (m_rss.size() > 2) {
            const long base = m_rss[2];
            long peak = base;
            for (size_t i = 2; i < m_rss.size(); ++i) peak = std::max(peak, m_rss[i]);
            const double growth = (m_rss.back() - base) / 1024.0;
            std::printf("soak: rss minute 2 %.2f MB, last %.2f MB, growth %.2f MB, peak %.2f MB (bound %.1f MB)\n",
                        base / 1024.0, m_rss.back() / 1024.0, growth, peak / 1024.0, kRssBoundMb);
            if (growth >= kRssBoundMb) {
                ok = false;
                std::printf("soak: FAILED: memory grew %.2f MB\n", growth);
            }
        }
        if (!m_failure.empty()) std::printf("soak: FAILED: %s\n", m_failure.c_str());
        std::printf("soak: %s\n", ok && m_failure.empty() ? "PASSED" : "FAILED");
        m_passed = ok && m_failure.empty();
    }

public:
    bool Passed() const { return m_passed; }

private:
    // --- sending ---

    uint32_t NextId() { return ++m_lastId; }

    void Count(const std::string& kind)
    {
        ++m_counts.sent[kind];
        ++m_counts.messages;
    }

    bool Send(const Bytes& message, const std::string& kind)
    {
        Count(kind);
        mc::IoResult r = m_link->SendMessage(message, kReplyLimitMs);
        if (r != mc::IoResult::Ok) return Fail(kind + ": send " + mc::ToString(r));
        return true;
    }

    bool SendWindow(const Bytes& datagram, const std::string& kind)
    {
        Count(kind);
        std::string error;
        if (!mc::SendToWindowPort(m_base, datagram, &error)) return Fail(kind + ": " + error);
        return true;
    }

    // --- receiving ---

    // Checks a frame or a play-complete against the playback; false on a
    // failure.
    bool CheckUnasked(const mc::Message& m)
    {
        if (m.kind == mc::MessageKind::PlayComplete) {
            ++m_counts.completes;
            if (!m_playing && !m_starting) return Fail("PlayComplete while nothing plays");
            return true;
        }
        const bool video = m.type == 50;
        video ? ++m_counts.videoFrames : ++m_counts.audioFrames;
        auto fits = [&](const MediaFormat& f) {
            if (std::memcmp(&f, &m.format, sizeof f) != 0) return false;
            if (video) return m.data.size() == marlin::play::PictureBytes(f.colorSpace, f.width, f.height);
            return m.data.size() % (2u * static_cast<unsigned>(f.channels)) == 0;
        };
        if (video && !m.trailerPositionMs) return Fail("VideoFrame without trailer");
        if ((m_playing && fits(m_format)) || (m_starting && fits(m_startFormat))) return true;
        return Fail(std::string(video ? "VideoFrame" : "AudioFrame") + " that fits no playback (" +
                    std::to_string(m.format.width) + "x" + std::to_string(m.format.height) + ", " +
                    std::to_string(m.data.size()) + " bytes)");
    }

    // Waits up to `waitMs` for the next message, then reads it whole: a read
    // cut off by its time limit half-way would lose the packet framing.
    mc::IoResult ReadOne(mc::Message* m, int waitMs, std::string* error)
    {
        const mc::IoResult ready = m_link->WaitForEndOfStream(waitMs);
        if (ready == mc::IoResult::Timeout) return ready;
        if (ready != mc::IoResult::Ok) {
            *error = "the host closed the link";
            return ready;
        }
        return m_link->ReadMessage(m, kReplyLimitMs, error);
    }

    // Reads and checks messages until `until`; false on a failure.
    bool Drain(Clock::time_point until)
    {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
            if (left <= 0) return true;
            mc::Message m;
            std::string error;
            mc::IoResult r = ReadOne(&m, static_cast<int>(left), &error);
            if (r == mc::IoResult::Timeout) return true;
            if (r != mc::IoResult::Ok) return Fail(std::string("read: ") + mc::ToString(r) + " " + error);
            if (m.kind == mc::MessageKind::Frame || m.kind == mc::MessageKind::PlayComplete) {
                if (!CheckUnasked(m)) return false;
                continue;
            }
            return Fail("unasked reply type " + std::to_string(m.type) + " id " + std::to_string(m.id));
        }
    }

    // Reads until the reply with `id`; frames are checked on the way, any
    // other reply is a failure.
    std::optional<mc::Message> AwaitReply(uint32_t id, uint32_t type)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(kReplyLimitMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            mc::Message m;
            std::string error;
            mc::IoResult r = ReadOne(&m, static_cast<int>(std::max<long long>(left, 0)), &error);
            if (r == mc::IoResult::Timeout) {
                Fail("reply " + std::to_string(type) + " to id " + std::to_string(id) + " lost (5 s)");
                return std::nullopt;
            }
            if (r != mc::IoResult::Ok) {
                Fail(std::string("read: ") + mc::ToString(r) + " " + error);
                return std::nullopt;
            }
            if (m.kind == mc::MessageKind::Frame || m.kind == mc::MessageKind::PlayComplete) {
                if (!CheckUnasked(m)) return std::nullopt;
                continue;
            }
            if (m.id != id || m.type != type) {
                Fail("expected reply " + std::to_string(type) + " id " + std::to_string(id) + ", got " +
                     std::to_string(m.type) + " id " + std::to_string(m.id));
                return std::nullopt;
            }
            ++m_counts.replies;
            return m;
        }
    }

    bool ExpectResult(uint32_t id, uint32_t type, uint32_t want, const std::string& what)
    {
        auto m = AwaitReply(id, type);
        if (!m) return false;
        if (m->result != want)
            return Fail(what + ": result " + std::to_string(m->result) + ", expected " + std::to_string(want));
        return true;
    }

    // --- the state the answers are checked against ---

    const MediaFile* RandomFile() { return &m_files[Pick(m_files.size())]; }
    size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_rng); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(m_rng); }

    MediaFormat RandomFormat()
    {
        static const int32_t codes[] = {0, 2, 3, 4, 6, 10, 12, 13, 16, 19, 22};
        static const int32_t rates[] = {8000, 16000, 22050, 44100, 48000};
        MediaFormat f{};
        f.width = 4 * static_cast<int32_t>(8 + Pick(73));   // 32..320
        f.height = 4 * static_cast<int32_t>(6 + Pick(55));  // 24..240
        f.colorSpace = codes[Pick(std::size(codes))];
        f.sampleRate = rates[Pick(std::size(rates))];
        f.bitsPerSample = 16;
        f.channels = 1 + static_cast<int32_t>(Pick(2));
        return f;
    }

    bool Opens(const MediaFile& f) const { return f.durationMs != -1; }

    // A StartPlayFile by pipe or window port; the state follows the answer.
    bool StartPlay(bool byWindow)
    {
        const MediaFile* f = RandomFile();
        ++m_counts.byFile[f->name].second;
        const MediaFormat format = RandomFormat();
        const uint32_t id = NextId();
        const Bytes msg = mc::StartPlayFile(id, format, ToU16(f->path));
        m_starting = true;
        m_startFormat = format;
        // A new start stops the old playback first, whatever comes of it.
        const bool sent = byWindow ? SendWindow(mc::EncodeCopyData(0, msg), "window StartPlayFile")
                                   : Send(msg, "StartPlayFile");
        if (!sent) return false;
        auto m = AwaitReply(id, 3);
        m_starting = false;
        if (!m) return false;
        if (m->result != (Opens(*f) ? 1u : 0u))
            return Fail("StartPlayFile " + f->name + ": result " + std::to_string(m->result));
        m_playing = m->result == 1 ? f : nullptr;
        m_format = format;
        return true;
    }

    bool Stop()
    {
        const uint32_t id = NextId();
        if (!Send(mc::StopPlayFile(id), "StopPlayFile")) return false;
        if (!ExpectResult(id, 7, 1, "StopPlayFile")) return false;
        m_playing = nullptr;
        return true;
    }

    bool CheckPosition(int64_t position, const std::string& what)
    {
        if (!m_playing) {
            if (position != -1) return Fail(what + ": position " + std::to_string(position) + " while idle");
            return true;
        }
        if (position < 0 || position > int64_t{m_playing->durationMs} + 2000)
            return Fail(what + ": position " + std::to_string(position) + " outside " + m_playing->name);
        return true;
    }

    bool Position(bool byWindow)
    {
        const uint32_t id = NextId();
        const bool sent = byWindow ? SendWindow(mc::EncodeCopyData(7, mc::GetPosition(id)), "window GetPosition")
                                   : Send(mc::GetPosition(id), "GetPosition");
        if (!sent) return false;
        auto m = AwaitReply(id, 17);
        return m && CheckPosition(m->positionMs, "GetPosition");
    }

    bool Info(bool byWindow)
    {
        const uint32_t id = NextId();
        const bool sent = byWindow ? SendWindow(mc::EncodeCopyData(0, mc::GetFileInfo(id)), "window GetFileInfo")
                                   : Send(mc::GetFileInfo(id), "GetFileInfo");
        if (!sent) return false;
        auto m = AwaitReply(id, 5);
        if (!m) return false;
        const int32_t want = m_playing ? m_playing->durationMs : -1;
        if (m->info.durationMs != want)
            return Fail("GetFileInfo: duration " + std::to_string(m->info.durationMs) + ", expected " +
                        std::to_string(want));
        return true;
    }

    bool Test(bool byWindow)
    {
        const MediaFile* f = RandomFile();
        ++m_counts.byFile[f->name].first;
        const uint32_t id = NextId();
        const Bytes msg = mc::TestFile(id, ToU16(f->path));
        const bool sent = byWindow ? SendWindow(mc::EncodeCopyData(0, msg), "window TestFile") : Send(msg, "TestFile");
        if (!sent) return false;
        auto m = AwaitReply(id, 1);
        if (!m) return false;
        if (m->info.durationMs != f->durationMs)
            return Fail("TestFile " + f->name + ": duration " + std::to_string(m->info.durationMs) + ", expected " +
                        std::to_string(f->durationMs));
        return true;
    }

    bool PauseOrContinue(bool pause, bool byWindow)
    {
        const uint32_t id = NextId();
        const Bytes msg = pause ? mc::Pause(id) : mc::Contine(id);
        const std::string kind = std::string(byWindow ? "window " : "") + (pause ? "Pause" : "Contine");
        const bool sent = byWindow ? SendWindow(mc::EncodeCopyData(0, msg), kind) : Send(msg, kind);
        return sent && ExpectResult(id, pause ? 9 : 11, 1, kind);
    }

    bool SeekSomewhere(bool byWindow)
    {
        const int64_t span = m_playing ? m_playing->durationMs + 3000 : 10000;
        const int64_t target = std::uniform_int_distribution<int64_t>(-1000, span)(m_rng);
        const Bytes msg = mc::Seek(NextId(), target);
        const bool sent = byWindow ? SendWindow(mc::EncodeCopyData(0, msg), "window Seek") : Send(msg, "Seek");
        if (!sent) return false;
        // No reply: the position that follows shows where it landed (a
        // window-port seek is answered in order by a window-port position).
        return Chance(0.5) ? Position(byWindow) : true;
    }

    // The test button plays the bundled sample near its end, unanswered; a
    // file-info request by the same port shows when it has.
    bool TestButton()
    {
        m_starting = true;
        m_startFormat = MediaFormat{320, 240, 6, 16000, 16, 1};
        if (!SendWindow(mc::EncodeCommand(1000), "window test button")) return false;
        const uint32_t id = NextId();
        if (!SendWindow(mc::EncodeCopyData(0, mc::GetFileInfo(id)), "window GetFileInfo")) return false;
        auto m = AwaitReply(id, 5);
        m_starting = false;
        if (!m) return false;
        m_playing = &m_files[0];
        m_format = m_startFormat;
        if (m->info.durationMs != m_files[0].durationMs)
            return Fail("test button: duration " + std::to_string(m->info.durationMs));
        return true;
    }

    // Messages the host must drop without a word, each followed by a
    // position request whose answer must be the next reply.
    bool Unanswered()
    {
        const uint32_t id = NextId();
        switch (Pick(4)) {
        case 0: {  // shorter than a header, down to an empty packet
            Bytes b(Pick(12));
            for (auto& c : b) c = static_cast<uint8_t>(m_rng());
            if (!Send(b, "short message")) return false;
            break;
        }
        case 1: {  // unknown types, replies and frames among them
            static const uint32_t types[] = {1, 3, 5, 7, 9, 11, 12, 13, 15, 17, 19, 20, 24, 26, 50, 51, 52, 53, 1000, 0xFFFFFFFFu};
            Bytes body(Pick(64));
            for (auto& c : body) c = static_cast<uint8_t>(m_rng());
            if (!Send(mc::RawMessage(types[Pick(std::size(types))], id, body), "unknown type")) return false;
            break;
        }
        case 2:  // a seek cut short
            if (!Send(mc::RawMessage(14, id, Bytes(Pick(12))), "cut Seek")) return false;
            break;
        default: {  // a window datagram the window does not know
            Bytes d = mc::EncodeCommand(1000);
            d[4] = static_cast<uint8_t>(Pick(200));  // control id other than 1000 (low byte 0xE8)
            if (d[4] == 0xE8) d[4] = 1;
            if (Chance(0.5)) d = Bytes{0x11, 0x22, 0x33, 0x44, 1, 2, 3};
            if (!SendWindow(d, "unknown window message")) return false;
            break;
        }
        }
        return Position(false);
    }

    // Commands whose fields are broken: answered with their failure reply.
    bool Malformed()
    {
        const uint32_t id = NextId();
        switch (Pick(4)) {
        case 0: {  // a path without its terminator
            Bytes body;
            for (char c : std::string("/no/terminator.mp4")) body.insert(body.end(), {static_cast<uint8_t>(c), 0});
            if (!Send(mc::RawMessage(0, id, body), "unterminated TestFile")) return false;
            auto m = AwaitReply(id, 1);
            return m && (m->info.durationMs == -1 || Fail("unterminated TestFile opened"));
        }
        case 1: {  // a start cut inside its format or reserved field
            if (!Send(mc::RawMessage(2, id, Bytes(Pick(28))), "cut StartPlayFile")) return false;
            return ExpectResult(id, 3, 0, "cut StartPlayFile");
        }
        case 2:
            if (!Send(mc::RawMessage(18, id, Bytes(Pick(4))), "cut SetReplyWnd")) return false;
            return ExpectResult(id, 19, 0, "cut SetReplyWnd");
        default: {  // random UTF-16 or an overlong path
            std::u16string path;
            const size_t n = Chance(0.5) ? 1 + Pick(40) : 4000 + Pick(4000);
            for (size_t i = 0; i < n; ++i) path.push_back(static_cast<char16_t>(1 + Pick(0xFFFE)));
            if (!Send(mc::TestFile(id, path), "junk-path TestFile")) return false;
            auto m = AwaitReply(id, 1);
            return m && (m->info.durationMs == -1 || Fail("junk path opened"));
        }
        }
    }

    // Silenced: nothing at all may come back, then the voice returns.
    bool Silence()
    {
        if (!Send(mc::SetReplyWnd(NextId(), 0), "SetReplyWnd 0")) return false;
        const size_t n = 1 + Pick(3);
        for (size_t i = 0; i < n; ++i)
            if (!Send(mc::GetPosition(NextId()), "GetPosition silenced")) return false;
        // Frames sent before the silence may still be on their way.
        if (!Drain(Clock::now() + std::chrono::milliseconds(50))) return false;
        const uint32_t id = NextId();
        if (!Send(mc::SetReplyWnd(id, 1), "SetReplyWnd 1")) return false;
        return ExpectResult(id, 19, 1, "SetReplyWnd 1");
    }

    // Several commands back to back, their replies collected in order.
    bool Burst()
    {
        const size_t n = 2 + Pick(4);
        std::vector<std::pair<uint32_t, int>> sent;
        for (size_t i = 0; i < n; ++i) {
            const uint32_t id = NextId();
            const int kind = static_cast<int>(Pick(3));
            const Bytes msg = kind == 0 ? mc::GetPosition(id) : kind == 1 ? mc::GetFileInfo(id) : mc::Pause(id);
            if (!Send(msg, "burst")) return false;
            sent.emplace_back(id, kind);
        }
        for (auto [id, kind] : sent) {
            auto m = AwaitReply(id, kind == 0 ? 17 : kind == 1 ? 5 : 9);
            if (!m) return false;
            if (kind == 0 && !CheckPosition(m->positionMs, "burst GetPosition")) return false;
        }
        // The burst may have paused the playback: resume it.
        return PauseOrContinue(false, false);
    }

    // The mix of actions, in percent of the steps.
    struct Action
    {
        const char* name;
        int weight;
        bool (Soak::*run)(bool byWindow);
    };
    static const std::vector<Action>& Actions()
    {
        static const std::vector<Action> actions = {
            {"start", 14, &Soak::StartPlay},
            {"stop", 8, &Soak::StopAction},
            {"pause", 8, &Soak::PauseAction},
            {"continue", 10, &Soak::ContinueAction},
            {"seek", 12, &Soak::SeekSomewhere},
            {"position", 10, &Soak::Position},
            {"info", 6, &Soak::Info},
            {"test", 8, &Soak::Test},
            {"unanswered", 8, &Soak::UnansweredAction},
            {"malformed", 7, &Soak::MalformedAction},
            {"silence", 3, &Soak::SilenceAction},
            {"burst", 4, &Soak::BurstAction},
            {"button", 2, &Soak::ButtonAction},
        };
        return actions;
    }
    bool StopAction(bool) { return Stop(); }
    bool PauseAction(bool byWindow) { return PauseOrContinue(true, byWindow); }
    bool ContinueAction(bool byWindow) { return PauseOrContinue(false, byWindow); }
    bool UnansweredAction(bool) { return Unanswered(); }
    bool MalformedAction(bool) { return Malformed(); }
    bool SilenceAction(bool) { return Silence(); }
    bool BurstAction(bool) { return Burst(); }
    bool ButtonAction(bool) { return TestButton(); }

    void Step()
    {
        int total = 0;
        for (const Action& a : Actions())
            if (Enabled(a.name)) total += a.weight;
        int roll = static_cast<int>(Pick(static_cast<size_t>(total)));
        const bool byWindow = Chance(0.2);
        for (const Action& a : Actions()) {
            if (!Enabled(a.name)) continue;
            if (roll < a.weight) {
                (this->*a.run)(byWindow);
                return;
            }
            roll -= a.weight;
        }
    }

    bool Enabled(const std::string& name) const
    {
        return m_options.only.empty() || ("," + m_options.only + ",").find("," + name + ",") != std::string::npos;
    }

    bool Fail(const std::string& why)
    {
        if (m_failure.empty()) m_failure = why;
        return false;
    }

    Options m_options;
    std::vector<MediaFile> m_files;
    std::mt19937 m_rng;
    std::string m_dir, m_base;
    std::unique_ptr<mc::ControllerLink> m_link;
    std::unique_ptr<mc::HostProcess> m_host;
    uint32_t m_lastId = 0;
    Counts m_counts;
    long m_lastMessages = 0;
    std::vector<long> m_rss;  // kB, one a minute from minute 0
    std::string m_failure;
    bool m_passed = false;

    const MediaFile* m_playing = nullptr;  // what the host plays now
    MediaFormat m_format{};
    bool m_starting = false;  // a start is on its way; its frames may come first
    MediaFormat m_startFormat{};
};

std::string SelfDir()
{
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).parent_path().string();
}

}  // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    Options options;
    options.hostPath = SelfDir() + "/marlin-host";
    if (const char* m = std::getenv("SOAK_MINUTES")) options.minutes = std::atoi(m);
    for (int i = 1; i < argc; i += 2) {
        const std::string key = argv[i], value = i + 1 < argc ? argv[i + 1] : "";
        if (key == "--minutes") options.minutes = std::atoi(value.c_str());
        else if (key == "--rate") options.rate = std::atoi(value.c_str());
        else if (key == "--seed") options.seed = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else if (key == "--media-dir") options.mediaDir = value;
        else if (key == "--host") options.hostPath = value;
        else if (key == "--only") options.only = value;
        else {
            if (key != "--help") std::fprintf(stderr, "marlin-soak: unknown option %s\n", key.c_str());
            std::fprintf(stderr, "usage: marlin-soak [--minutes N] [--rate N] [--seed N] [--media-dir DIR] [--host PATH]\n"
                         "                   [--only start,stop,pause,continue,seek,position,info,test,\n"
                         "                    unanswered,malformed,silence,burst,button]\n");
            return 2;
        }
    }
    if (options.minutes < 1 || options.rate < 1) {
        std::fprintf(stderr, "marlin-soak: --minutes and --rate must be positive\n");
        return 2;
    }
    const std::string sample = fs::absolute(fs::path(MARLIN_SOURCE_DIR) / "media" / "sample.mp4").string();
    std::string error;
    std::vector<MediaFile> files = MakeMedia(fs::absolute(options.mediaDir).string(), sample, &error);
    if (files.empty()) {
        std::fprintf(stderr, "marlin-soak: %s\n", error.c_str());
        return 1;
    }
    Soak soak(options, std::move(files));
    return soak.Run();
}
