#include "controller/play/PlayCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "controller/play/ContactSheet.h"
#include "controller/play/MediaWriters.h"
#include "controller/play/PixelLayouts.h"
#include "controller/play/PlayStats.h"
#include "platform/os/Unicode.h"

namespace marlin::play {

namespace fs = std::filesystem;
using namespace marlin::controller;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kTestFileReply = 1, kStartPlayFileReply = 3, kStopPlayFileReply = 7,
                   kPauseReply = 9, kContineReply = 11;

int Report(const Failure& failure)
{
    std::fprintf(stderr, "marlin-play: %s\n", failure.message.c_str());
    return failure.exitCode;
}

double MsSince(Clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// The media file as the host wants it: an absolute path in UTF-16. Checked
// here, before any host is started.
std::optional<std::u16string> CheckMediaFile(const std::string& file, Failure* failure)
{
    struct stat st{};
    if (stat(file.c_str(), &st) != 0) {
        *failure = {kExitUnplayable, file + ": " + std::strerror(errno)};
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) {
        *failure = {kExitUnplayable, file + ": is a folder, not a media file"};
        return std::nullopt;
    }
    if (access(file.c_str(), R_OK) != 0) {
        *failure = {kExitUnplayable, file + ": " + std::strerror(errno)};
        return std::nullopt;
    }
    std::error_code ec;
    std::string absolute = fs::absolute(file, ec).lexically_normal().string();
    if (ec) absolute = file;
    std::u16string wide = Utf8ToUtf16(absolute);
    if (Utf16ToUtf8(wide) != absolute) {
        *failure = {kExitUnplayable, file + ": the path is not valid UTF-8, so it cannot travel to marlin-host"};
        return std::nullopt;
    }
    return wide;
}

bool CheckOutputFolder(const std::string& path, Failure* failure)
{
    if (path.empty() || path == kStandardOutput) return true;
    fs::path parent = fs::path(path).parent_path();
    if (parent.empty()) parent = ".";
    std::error_code ec;
    if (!fs::is_directory(parent, ec)) {
        *failure = {kExitOutput, "cannot write " + path + ": no folder " + parent.string()};
        return false;
    }
    if (access(parent.c_str(), W_OK) != 0) {
        *failure = {kExitOutput, "cannot write " + path + ": " + std::strerror(errno)};
        return false;
    }
    return true;
}

bool EndsWith(const std::string& text, const std::string& tail)
{
    if (text.size() < tail.size()) return false;
    return std::equal(tail.rbegin(), tail.rend(), text.rbegin(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

std::string HostPath(const PlayOptions& options)
{
    return options.hostPath.empty() ? DefaultHostPath() : options.hostPath;
}

// Asks TestFile; durationMs of -1 means the host cannot open the file.
bool TestMediaFile(HostSession& session, const std::u16string& path, const std::string& file, int timeoutMs,
                   ::MediaInfo* info, Failure* failure)
{
    Message reply;
    if (!session.Request(TestFile(session.NextId(), path), kTestFileReply, timeoutMs, &reply, failure))
        return false;
    *info = reply.info;
    if (info->durationMs < 0) {
        *failure = {kExitUnplayable, "cannot play " + file +
                                         ": marlin-host could not open it (TestFile answered duration -1)"};
        return false;
    }
    return true;
}

}  // namespace

int RunInfo(const PlayOptions& options)
{
    Failure failure;
    auto path = CheckMediaFile(options.file, &failure);
    if (!path) return Report(failure);
    auto session = HostSession::Start(HostPath(options), &failure);
    if (!session) return Report(failure);
    ::MediaInfo info{};
    if (!TestMediaFile(*session, *path, options.file, options.timeoutMs, &info, &failure)) {
        // A host that failed is not waited for: the session's end stops it.
        if (failure.exitCode == kExitUnplayable) session->Finish();
        return Report(failure);
    }
    auto ending = session->Finish();

    const std::string absolute = Utf16ToUtf8(*path);
    if (options.json) {
        std::printf("{\"file\": %s, \"durationMs\": %d, \"hasVideo\": %s, \"width\": %d, \"height\": %d, "
                    "\"framesPerSecond\": %d}\n",
                    JsonString(absolute).c_str(), info.durationMs, info.hasVideo ? "true" : "false",
                    info.hasVideo ? info.width : 0, info.hasVideo ? info.height : 0, info.framesPerSecond);
    } else {
        std::printf("file:      %s\n", absolute.c_str());
        std::printf("duration:  %d.%03d s\n", info.durationMs / 1000, info.durationMs % 1000);
        if (info.hasVideo)
            std::printf("video:     %dx%d, %d pictures/s\n", info.width, info.height, info.framesPerSecond);
        else
            std::printf("video:     none\n");
    }
    std::fflush(stdout);
    if (ending) return Report({kExitHost, *ending});
    return kExitOk;
}

namespace {

// One playback: what to ask for, where it stands, and what has been written.
// Single-threaded; everything happens on the message loop in Run.
class Player final : private controller::FrameDataRoute
{
public:
    Player(const PlayOptions& options, HostSession& session, const ::MediaInfo& info)
        : m_options(options), m_session(session), m_info(info)
    {
        m_stats.filePicturesPerSecond = info.framesPerSecond;
        m_stats.hasVideo = info.hasVideo != 0;
        m_stats.sampleRate = options.sampleRate;
        m_bProgress = options.progress && isatty(STDERR_FILENO);
    }

    int Run(const std::u16string& path);

private:
    // Media position of playback start: the seek target's landing, else 0.
    int64_t StartMs() const { return m_startMs.value_or(std::max<int64_t>(m_options.seekMs, 0)); }
    int64_t EndMs() const
    {
        // A length of 0: the file does not say how long it is (a recording
        // cut off, a live stream saved as it came); the host's end decides.
        int64_t end = m_info.durationMs > 0 ? m_info.durationMs : std::numeric_limits<int64_t>::max();
        if (m_options.durationMs > 0) end = std::min<int64_t>(end, StartMs() + m_options.durationMs);
        return end;
    }
    // Where writing stops: --duration's end. The file's length is no such
    // end: it can be an estimate that falls short (an MP3 without an index
    // is timed by its first frame's bit rate), and the host's end decides.
    int64_t CutMs() const
    {
        return m_options.durationMs > 0 ? StartMs() + m_options.durationMs : std::numeric_limits<int64_t>::max();
    }
    double PlayingMs() const { return MsSince(m_playStart) - m_pausedMs - CurrentPauseMs(); }
    double CurrentPauseMs() const { return m_pauseSent ? MsSince(*m_pauseSent) : 0; }

    bool OpenOutputs(Failure* failure);
    void WriteFrameLine(const Message& m);
    bool CloseOutputs(Failure* failure);
    // Closes and removes the files that playback never started to fill.
    void DiscardOutputs();
    void OnMessage(const Message& m);
    // Pictures that are only passed on to a pipe go there from the socket
    // directly: the route is asked once a picture's fixed part is known, and
    // says yes only where OnVideo is sure to write the picture as it is.
    int PipeFor(const Message& head, size_t dataLength) override;
    void Moved(size_t dataLength, int error) override;
    size_t DataBytes(const Message& m) const { return m_moved ? m_moved->bytes : m.data.size(); }
    void OnVideo(const Message& m);
    void OnAudio(const Message& m);
    bool Tick(Failure* failure);
    void ShowProgress(bool final);
    bool WriteFailed(const std::string& error)
    {
        if (!m_outputError) m_outputError = error;
        return false;
    }

    const PlayOptions& m_options;
    HostSession& m_session;
    ::MediaInfo m_info;
    MediaFormat m_format{};
    size_t m_pictureBytes = 0;
    PlayStats m_stats;

    std::unique_ptr<VideoFileWriter> m_video;
    std::unique_ptr<WavWriter> m_audio;
    std::unique_ptr<ContactSheet> m_sheet;
    std::unique_ptr<SpreadContactSheet> m_spread;  // instead of m_sheet when the end is not known
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> m_frames{nullptr, &std::fclose};  // --frames
    std::optional<std::string> m_outputError;
    // Set by the first frame that carries the host's number and time stamp;
    // without it, times are counted from the trailers.
    bool m_bStamped = false;

    Clock::time_point m_startSent{}, m_playStart{}, m_lastMessage{}, m_lastProgress{};
    // Seek: frames before the Pause reply belong to the old place and are dropped.
    enum class SeekState { None, Pausing, Seeking, Done } m_seek = SeekState::None;
    Clock::time_point m_seekSent{};
    std::optional<int64_t> m_startMs;     // from the first trailer after the start or seek
    uint64_t m_segmentPictures = 0, m_segmentSamples = 0;
    double m_lastMediaMs = 0;             // latest position reached, for pause and progress
    double m_lastPictureMs = 0;           // media time of the segment's last picture
    double m_widestStepMs = 0;            // widest step between the segment's pictures
    // The message being handled had its picture moved to the output.
    struct MovedData
    {
        size_t bytes;
        int error;
    };
    std::optional<MovedData> m_moved;
    bool m_videoEnded = false, m_audioEnded = false, m_sawAudio = false;

    // --pause-at: Pause sent at m_pauseSent, Contine due resumeAfterMs later.
    enum class PauseState { Waiting, Paused, Resumed } m_pause = PauseState::Waiting;
    std::optional<Clock::time_point> m_pauseSent;
    bool m_pauseAnswered = false;
    double m_pausedMs = 0;
    uint32_t m_pauseId = 0;
    bool m_bProgress = false;
};

bool Player::OpenOutputs(Failure* failure)
{
    std::string error;
    if (!m_options.videoPath.empty()) {
        // Standard output gets y4m too: a stream that says what it holds.
        bool wantY4m = EndsWith(m_options.videoPath, ".y4m") || m_options.videoPath == kStandardOutput;
        m_video = VideoFileWriter::Open(m_options.videoPath, m_format.colorSpace, m_format.width,
                                        m_format.height, m_info.framesPerSecond, wantY4m, &error);
        if (!m_video) {
            *failure = {kExitOutput, error};
            return false;
        }
        if (wantY4m && !m_video->IsY4m())
            std::fprintf(stderr, "marlin-play: y4m cannot hold %s pictures; %s gets raw frames\n",
                         FindPixelLayout(m_format.colorSpace)->name, OutputName(m_options.videoPath).c_str());
    }
    if (!m_options.audioPath.empty()) {
        m_audio = WavWriter::Open(m_options.audioPath, m_format.sampleRate, m_format.channels, &error);
        if (!m_audio) {
            *failure = {kExitOutput, error};
            return false;
        }
    }
    if (!m_options.sheetPath.empty()) {
        if (EndMs() == std::numeric_limits<int64_t>::max())
            m_spread = std::make_unique<SpreadContactSheet>(m_format.width, m_format.height, 12, 4, 240, true);
        else
            m_sheet = std::make_unique<ContactSheet>(m_format.width, m_format.height, 12, 4, 240, true);
    }
    if (!m_options.framesPath.empty()) {
        m_frames.reset(std::fopen(m_options.framesPath.c_str(), "w"));
        if (!m_frames) {
            *failure = {kExitOutput, "cannot write " + m_options.framesPath + ": " + std::strerror(errno)};
            return false;
        }
        std::fputs("kind,number,presentation_time_s,flags,arrival_ms,bytes\n", m_frames.get());
    }
    return true;
}

bool Player::CloseOutputs(Failure* failure)
{
    std::string error;
    // What arrived, not what was written: a write that failed is reported
    // as such below.
    if (m_video && m_stats.videoFrames == 0)
        std::fprintf(stderr, "marlin-play: no pictures arrived; %s holds none\n",
                     OutputName(m_options.videoPath).c_str());
    if (m_audio && m_stats.audioBlocks == 0)
        std::fprintf(stderr, "marlin-play: no sound arrived; %s holds none\n", OutputName(m_options.audioPath).c_str());
    if (m_video && !m_video->Close(&error)) WriteFailed(error);
    if (m_audio && !m_audio->Close(&error)) WriteFailed(error);
    if (m_frames) {
        const bool failed = std::ferror(m_frames.get()) != 0;
        if (std::fclose(m_frames.release()) != 0 || failed) WriteFailed("cannot write " + m_options.framesPath);
    }
    if (const ContactSheet* sheet = m_spread ? &m_spread->Finish() : m_sheet.get()) {
        if (sheet->FilledCount() == 0)
            WriteFailed("no pictures arrived, so there is no contact sheet for " + m_options.sheetPath);
        else if (!sheet->Write(m_options.sheetPath, &error))
            WriteFailed(error);
    }
    if (m_outputError) {
        *failure = {kExitOutput, *m_outputError};
        return false;
    }
    return true;
}

void Player::DiscardOutputs()
{
    // Only plain files go: an output may be /dev/null or /dev/stdout.
    auto remove = [](const std::string& path) {
        if (path == kStandardOutput) return;
        std::error_code ec;
        if (fs::symlink_status(path, ec).type() == fs::file_type::regular) fs::remove(path, ec);
    };
    std::string ignored;
    if (m_video) {
        m_video->Close(&ignored);
        remove(m_options.videoPath);
    }
    if (m_audio) {
        m_audio->Close(&ignored);
        remove(m_options.audioPath);
    }
    if (m_frames) {
        m_frames.reset();
        remove(m_options.framesPath);
    }
    m_video.reset();
    m_audio.reset();
    m_sheet.reset();
    m_spread.reset();
}

int Player::PipeFor(const Message& head, size_t dataLength)
{
    m_moved.reset();
    // Near the end a picture may lie past it and be dropped: those, and the
    // first of a segment, whose time sets the start, are read as usual. The
    // picture's time comes after its data, so "near" is a few of the widest
    // steps between pictures so far: reading every picture of a whole last
    // second costs two copies of each.
    constexpr double kStepsAhead = 4, kLeastMarginMs = 100;
    const double period = 1000.0 / (m_info.framesPerSecond > 0 ? m_info.framesPerSecond : 25);
    const double endMarginMs = std::max(kLeastMarginMs, kStepsAhead * std::max(period, m_widestStepMs));
    if (head.type != static_cast<uint32_t>(MessageType::VideoFrame) || !m_video || m_outputError || m_sheet ||
        m_spread || m_seek == SeekState::Pausing || m_videoEnded || !m_startMs || m_segmentPictures == 0 ||
        m_lastPictureMs + endMarginMs >= static_cast<double>(CutMs()) || head.format.width != m_format.width ||
        head.format.height != m_format.height || head.format.colorSpace != m_format.colorSpace ||
        dataLength != m_pictureBytes)
        return -1;
    return m_video->BeginMovedFrame();
}

void Player::Moved(size_t dataLength, int error)
{
    m_moved = MovedData{dataLength, error};
}

void Player::OnMessage(const Message& m)
{
    struct ForgetMoved
    {
        std::optional<MovedData>& moved;
        ~ForgetMoved() { moved.reset(); }
    } forget{m_moved};
    m_lastMessage = Clock::now();
    if (m.type == kPauseReply && m.id == m_pauseId) {
        m_pauseAnswered = true;
        return;
    }
    if (m.kind != MessageKind::Frame) return;  // stray replies: nothing to record
    // A host that stamps its frames marks the first of each kind.
    if (m.isDiscontinuity || m.frameNumber > 0) m_bStamped = true;
    if (m_bStamped) m_stats.NoteNumber(m.type == static_cast<uint32_t>(MessageType::VideoFrame), m.frameNumber);
    WriteFrameLine(m);

    if (m.trailerPositionMs && !m_startMs && m_seek != SeekState::Pausing) {
        m_startMs = *m.trailerPositionMs;
        if (m_seek == SeekState::Seeking || m_seek == SeekState::Done) m_stats.seekLandedMs = *m.trailerPositionMs;
    }
    if (m_seek == SeekState::Pausing) {
        ++m_stats.discardedBeforeSeek;
        return;
    }
    if (m_pause == PauseState::Paused && m_pauseAnswered) ++m_stats.arrivedWhilePaused;
    if (m.type == static_cast<uint32_t>(MessageType::VideoFrame))
        OnVideo(m);
    else
        OnAudio(m);
}

void Player::WriteFrameLine(const Message& m)
{
    if (!m_frames) return;
    const bool video = m.type == static_cast<uint32_t>(MessageType::VideoFrame);
    const lldiv_t seconds = std::lldiv(m.presentationTime, 10'000'000);
    const bool negative = m.presentationTime < 0;
    std::fprintf(m_frames.get(), "%s,%u,%s%lld.%07lld,%u,%.3f,%zu\n", video ? "video" : "audio", m.frameNumber,
                 negative && seconds.quot == 0 ? "-" : "", seconds.quot, std::llabs(seconds.rem),
                 static_cast<unsigned>(m.frameFlags), MsSince(m_startSent), DataBytes(m));
}

void Player::OnVideo(const Message& m)
{
    const double sinceStart = MsSince(m_startSent);
    if (m_stats.firstVideoMs < 0) m_stats.firstVideoMs = sinceStart;
    if (m_seek == SeekState::Seeking) {
        m_stats.seekLatencyMs = MsSince(m_seekSent);
        m_seek = SeekState::Done;
    }
    if (m.format.width != m_format.width || m.format.height != m_format.height ||
        m.format.colorSpace != m_format.colorSpace || DataBytes(m) != m_pictureBytes) {
        ++m_stats.malformedFrames;
        return;
    }
    const int fps = m_info.framesPerSecond > 0 ? m_info.framesPerSecond : 25;
    // The picture's own time when the host gives it, else counted.
    const double offsetMs = m_bStamped ? static_cast<double>(m.presentationTime) / 1e4 - static_cast<double>(StartMs())
                                       : static_cast<double>(m_segmentPictures) * 1000.0 / fps;
    const double mediaMs = static_cast<double>(StartMs()) + offsetMs;
    if (m_segmentPictures > 0) m_widestStepMs = std::max(m_widestStepMs, mediaMs - m_lastPictureMs);
    ++m_segmentPictures;
    m_lastPictureMs = mediaMs;
    if (m_videoEnded || mediaMs >= static_cast<double>(CutMs())) {
        m_videoEnded = true;
        // A moved picture is in the output already: it counts as written.
        if (!m_moved) {
            ++m_stats.droppedAfterEnd;
            return;
        }
    }
    m_lastMediaMs = std::max(m_lastMediaMs, mediaMs);
    ++m_stats.videoFrames;
    m_stats.videoBytes += DataBytes(m);
    m_stats.pictureArrivalMs.push_back(PlayingMs());
    m_stats.pictureMediaMs.push_back(offsetMs);
    if (m_bStamped) m_stats.stampedPictures.push_back({m_stats.pictureArrivalMs.back(), m.presentationTime, 0});

    std::string error;
    if (m_moved) {
        if (!m_video->EndMovedFrame(m_moved->error, &error)) WriteFailed(error);
    } else if (m_video && !m_outputError && !m_video->WriteFrame(m.data.data(), m.data.size(), &error)) {
        WriteFailed(error);
    }
    if (m_sheet) {
        int cell = m_sheet->CellFor(static_cast<int64_t>(offsetMs), EndMs() - StartMs());
        if (!m_sheet->IsFilled(cell))
            m_sheet->Place(cell, m_format.colorSpace, m.data.data(), m.data.size(),
                           ContactSheet::TimeCaption(static_cast<int64_t>(mediaMs * 1e4)));
    } else if (m_spread) {
        m_spread->Offer(m_format.colorSpace, m.data.data(), m.data.size(),
                        ContactSheet::TimeCaption(static_cast<int64_t>(mediaMs * 1e4)));
    }
}

void Player::OnAudio(const Message& m)
{
    if (m_stats.firstAudioMs < 0) m_stats.firstAudioMs = MsSince(m_startSent);
    m_sawAudio = true;
    const size_t frameBytes = static_cast<size_t>(m_format.channels) * 2;
    if (m.format.sampleRate != m_format.sampleRate || m.format.channels != m_format.channels ||
        m.data.size() % frameBytes != 0) {
        ++m_stats.malformedFrames;
        return;
    }
    const uint64_t samples = m.data.size() / frameBytes;
    const double mediaMs =
        m_bStamped ? static_cast<double>(m.presentationTime) / 1e4
                   : static_cast<double>(StartMs()) + static_cast<double>(m_segmentSamples) * 1000.0 / m_format.sampleRate;
    m_segmentSamples += samples;
    if (m_audioEnded) {
        ++m_stats.droppedAfterEnd;
        return;
    }
    // Only what lies before the end: the last block may be cut.
    uint64_t keep = samples;
    const double endMs = static_cast<double>(CutMs());
    if (mediaMs + static_cast<double>(samples) * 1000.0 / m_format.sampleRate >= endMs) {
        m_audioEnded = true;
        double left = std::max(0.0, endMs - mediaMs);
        keep = std::min<uint64_t>(samples, static_cast<uint64_t>(left * m_format.sampleRate / 1000.0 + 0.5));
        if (keep == 0) {
            ++m_stats.droppedAfterEnd;
            return;
        }
    }
    if (!m_info.hasVideo) m_lastMediaMs = std::max(m_lastMediaMs, mediaMs);
    ++m_stats.audioBlocks;
    if (m_bStamped)
        m_stats.stampedSound.push_back({PlayingMs(), m.presentationTime,
                                        static_cast<int64_t>(samples) * 10'000'000 / m_format.sampleRate});
    m_stats.audioBytes += keep * frameBytes;
    m_stats.audioSampleFrames += keep;
    std::string error;
    if (m_audio && !m_outputError && !m_audio->Write(m.data.data(), keep * frameBytes, &error)) WriteFailed(error);
}

// Work that depends on time rather than on a message: pause and resume,
// the stall watchdog, the progress line.
bool Player::Tick(Failure* failure)
{
    if (m_options.pauseAtMs >= 0) {
        if (m_pause == PauseState::Waiting && m_seek != SeekState::Pausing && m_seek != SeekState::Seeking &&
            (m_stats.videoFrames > 0 || m_stats.audioBlocks > 0) &&
            m_lastMediaMs >= static_cast<double>(m_options.pauseAtMs)) {
            m_pauseId = m_session.NextId();
            if (!m_session.Send(Pause(m_pauseId), failure)) return false;
            m_pauseSent = Clock::now();
            m_pause = PauseState::Paused;
        } else if (m_pause == PauseState::Paused && CurrentPauseMs() >= static_cast<double>(m_options.resumeAfterMs)) {
            if (!m_session.Send(Contine(m_session.NextId()), failure)) return false;
            m_pausedMs += CurrentPauseMs();
            m_stats.pausedMs = m_pausedMs;
            m_pauseSent.reset();
            m_pause = PauseState::Resumed;
            m_lastMessage = Clock::now();
        }
    }
    if (m_pause != PauseState::Paused &&
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_lastMessage).count() >
            m_options.timeoutMs) {
        *failure = {kExitHost, "marlin-host sent nothing for " + std::to_string(m_options.timeoutMs) +
                                   " ms while playing" + m_session.DescribeEnd(nullptr)};
        return false;
    }
    ShowProgress(false);
    return true;
}

void Player::ShowProgress(bool final)
{
    if (!m_bProgress) return;
    if (!final && std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_lastProgress).count() < 250)
        return;
    m_lastProgress = Clock::now();
    const auto& arrivals = m_stats.pictureArrivalMs;
    double span = arrivals.size() >= 2 ? arrivals.back() - arrivals.front() : 0;
    double fps = span > 0 ? static_cast<double>(arrivals.size() - 1) * 1000.0 / span : 0;
    const bool knownEnd = EndMs() != std::numeric_limits<int64_t>::max();
    // 0: shown as not known. Playback past a length that fell short moves it.
    const double endMs = knownEnd ? std::max(static_cast<double>(EndMs()), m_lastMediaMs) : 0;
    if (final && knownEnd && (m_stats.endedBy == "PlayComplete" || m_stats.endedBy == "--duration"))
        m_lastMediaMs = endMs;
    std::string line = ProgressLine(m_lastMediaMs, endMs, m_info.hasVideo ? fps : -1);
    std::fprintf(stderr, "\r%s%s", line.c_str(), m_pause == PauseState::Paused ? " (paused)" : "         ");
    if (final) std::fputc('\n', stderr);
    std::fflush(stderr);
}

int Player::Run(const std::u16string& path)
{
    Failure failure;
    m_format.colorSpace = m_options.colorSpace;
    if (m_options.width > 0) {
        m_format.width = m_options.width;
        m_format.height = m_options.height;
    } else if (m_info.hasVideo && m_info.width > 0 && m_info.height > 0) {
        // The file's own size: every layout takes odd sizes.
        m_format.width = m_info.width;
        m_format.height = m_info.height;
    } else {
        m_format.width = 320;
        m_format.height = 240;
    }
    m_format.sampleRate = m_options.sampleRate;
    m_format.bitsPerSample = 16;
    m_format.channels = m_options.channels;
    m_pictureBytes = PictureBytes(m_format.colorSpace, m_format.width, m_format.height);
    if (auto why = CheckPictureFitsAMessage(m_format.colorSpace, m_format.width, m_format.height)) {
        m_session.Finish();
        return Report({kExitUsage, "the file's own size is too large: " + *why + "; ask for a smaller --size"});
    }
    if (!OpenOutputs(&failure)) {
        DiscardOutputs();
        m_session.Finish();
        return Report(failure);
    }
    m_session.PrepareForFrames(m_pictureBytes);
    // One message for the whole playback: its picture storage is reused.
    // It is sized before the start, as the reply to it comes with the
    // first frames, which would otherwise wait for its pages.
    Message m;
    m.data.resize(m_pictureBytes);

    auto other = [this](const Message& m) { OnMessage(m); };
    m_startSent = m_playStart = m_lastMessage = Clock::now();
    Message reply;
    if (!m_session.Request(StartPlayFile(m_session.NextId(), m_format, path), kStartPlayFileReply,
                           m_options.timeoutMs, &reply, &failure, other)) {
        DiscardOutputs();
        return Report(failure);
    }
    if (reply.result == 0) {
        m_session.Finish();
        DiscardOutputs();
        return Report({kExitUnplayable, "cannot play " + m_options.file +
                                            ": marlin-host could not start playing it (StartPlayFile answered 0)"});
    }

    // A seek goes to a paused graph: every frame after the Pause reply then
    // comes from the new place, and the first one measures the seek.
    if (m_options.seekMs >= 0) {
        m_seek = SeekState::Pausing;
        if (!m_session.Request(Pause(m_session.NextId()), kPauseReply, m_options.timeoutMs, &reply, &failure, other)) {
            CloseOutputs(&failure);
            return Report(failure);
        }
        m_seek = SeekState::Seeking;
        m_startMs.reset();
        m_segmentPictures = m_segmentSamples = 0;
        m_widestStepMs = 0;
        m_stats.segmentFirstPicture = m_stats.pictureArrivalMs.size();
        m_seekSent = Clock::now();
        if (!m_session.Send(Seek(m_session.NextId(), m_options.seekMs), &failure) ||
            !m_session.Send(Contine(m_session.NextId()), &failure)) {
            CloseOutputs(&failure);
            return Report(failure);
        }
        m_playStart = Clock::now();
    }

    int status = kExitOk;
    m_session.SetFrameRoute(this);
    for (;;) {
        auto wait = m_session.Next(&m, 50, &failure);
        if (wait == HostSession::Wait::Failed) {
            m_stats.endedBy = failure.exitCode == kExitInterrupted ? "interrupted" : "host failure";
            status = failure.exitCode;
            break;
        }
        if (wait == HostSession::Wait::Message) {
            if (m.kind == MessageKind::PlayComplete) {
                m_stats.endedBy = "PlayComplete";
                break;
            }
            OnMessage(m);
        }
        if (m_outputError) {
            // Nothing more can be written (a full disk, a reader gone).
            m_stats.endedBy = "output failure";
            break;
        }
        // --duration ends when every stream present has reached the end, or
        // when the playing clock is well past it (a stream may be missing).
        if (m_options.durationMs > 0 && m_startMs) {
            bool videoDone = !m_info.hasVideo || m_videoEnded;
            bool audioDone = !m_sawAudio || m_audioEnded;
            if ((videoDone && audioDone) || PlayingMs() > static_cast<double>(m_options.durationMs) + 2000) {
                m_stats.endedBy = "--duration";
                break;
            }
        }
        if (!Tick(&failure)) {
            status = failure.exitCode;
            m_stats.endedBy = "host failure";
            break;
        }
    }
    m_session.SetFrameRoute(nullptr);  // what comes after the end is not written
    ShowProgress(true);

    if (status == kExitOk || status == kExitInterrupted) {
        // Stop cleanly; what still arrives is past the end and not recorded.
        bool wasInterrupted = status == kExitInterrupted;
        if (wasInterrupted) g_interrupted = 0;
        Failure stopFailure;
        Message stopReply;
        auto late = [this](const Message& m) {
            if (m.kind == MessageKind::Frame) ++m_stats.droppedAfterEnd;
        };
        if (m_session.Request(StopPlayFile(m_session.NextId()), kStopPlayFileReply, 5000, &stopReply,
                              &stopFailure, late)) {
            auto ending = m_session.Finish();
            if (ending && status == kExitOk) {
                failure = {kExitHost, *ending};
                status = kExitHost;
            }
        } else if (status == kExitOk) {
            failure = stopFailure;
            status = stopFailure.exitCode;
        }
        if (wasInterrupted) g_interrupted = 1;
    }

    Failure outputFailure;
    bool written = CloseOutputs(&outputFailure);
    if (m_options.stats) {
        // Standard output may carry the pictures or the sound.
        std::FILE* to = m_options.videoPath == kStandardOutput || m_options.audioPath == kStandardOutput ? stderr : stdout;
        std::string report = m_options.json ? m_stats.Json() : m_stats.Text();
        std::fputs(report.c_str(), to);
        std::fflush(to);
    }
    if (status != kExitOk) return Report(failure);
    if (!written) return Report(outputFailure);
    return kExitOk;
}

}  // namespace

int RunPlay(const PlayOptions& options)
{
    Failure failure;
    auto path = CheckMediaFile(options.file, &failure);
    if (!path) return Report(failure);
    for (const std::string* out : {&options.videoPath, &options.audioPath, &options.sheetPath, &options.framesPath})
        if (!CheckOutputFolder(*out, &failure)) return Report(failure);
    auto session = HostSession::Start(HostPath(options), &failure);
    if (!session) return Report(failure);
    ::MediaInfo info{};
    if (!TestMediaFile(*session, *path, options.file, options.timeoutMs, &info, &failure)) {
        // A host that failed is not waited for: the session's end stops it.
        if (failure.exitCode == kExitUnplayable) session->Finish();
        return Report(failure);
    }
    Player player(options, *session, info);
    return player.Run(*path);
}

int RunMarlinPlay(const std::vector<std::string>& args)
{
    ParseResult parsed = ParseOptions(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "marlin-play: %s\nTry 'marlin-play --help'.\n", parsed.error.c_str());
        return kExitUsage;
    }
    switch (parsed.options.command) {
    case Command::Help: std::fputs(UsageText().c_str(), stdout); return kExitOk;
    case Command::Info: return RunInfo(parsed.options);
    case Command::Play: return RunPlay(parsed.options);
    }
    return kExitUsage;
}

}  // namespace marlin::play
