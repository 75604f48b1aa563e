// The embedding face of the controller library (marlin/Controller.h) on the
// link, message and process classes of this folder.
#include "marlin/Controller.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "controller/ControllerLink.h"
#include "controller/HostProcess.h"
#include "controller/Messages.h"

namespace marlin {

namespace {

namespace fs = std::filesystem;
namespace ctl = marlin::controller;
using Clock = std::chrono::steady_clock;

// How often the reader looks at its flags while nothing arrives.
constexpr int kReaderPollMs = 100;
constexpr size_t kMaxReturnedStorage = 4;

struct LayoutEntry
{
    Layout layout;
    const char* name;
};
constexpr LayoutEntry kLayouts[] = {
    {Layout::Rgb24, "rgb24"}, {Layout::Rgb32, "rgb32"}, {Layout::Rgb565, "rgb565"}, {Layout::Rgb555, "rgb555"},
    {Layout::Yuy2, "yuy2"},   {Layout::Uyvy, "uyvy"},   {Layout::I420, "i420"},     {Layout::Yvu9, "yvu9"},
    {Layout::Yv12, "yv12"},   {Layout::Iyuv, "iyuv"},   {Layout::Nv12, "nv12"},
};

bool SetError(Error* error, ErrorCode code, std::string message)
{
    if (error) *error = {code, std::move(message)};
    return false;
}

// UTF-8 to UTF-16; false for text that is not UTF-8.
bool ToUtf16(const std::string& text, std::u16string* out)
{
    out->clear();
    for (size_t i = 0; i < text.size();) {
        auto byte = static_cast<unsigned char>(text[i]);
        uint32_t cp;
        size_t more;
        if (byte < 0x80) {
            cp = byte;
            more = 0;
        } else if ((byte & 0xE0) == 0xC0) {
            cp = byte & 0x1F;
            more = 1;
        } else if ((byte & 0xF0) == 0xE0) {
            cp = byte & 0x0F;
            more = 2;
        } else if ((byte & 0xF8) == 0xF0) {
            cp = byte & 0x07;
            more = 3;
        } else {
            return false;
        }
        if (i + more >= text.size()) return false;
        for (size_t k = 1; k <= more; ++k) {
            auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (next & 0x3F);
        }
        static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out->push_back(static_cast<char16_t>(cp));
        }
        i += more + 1;
    }
    return true;
}

// A private folder for the two socket files and the host's log.
std::string MakePrivateFolder(std::string* error)
{
    // The socket names must fit sun_path; a long TMPDIR falls back to /tmp.
    std::string base = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp && std::strlen(tmp) < 60) base = tmp;
    std::string pattern = base + "/marlin-ctl-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        *error = "cannot create a folder in " + base + ": " + std::strerror(errno);
        return {};
    }
    return pattern;
}

std::string DescribeExit(const ctl::ExitStatus& status)
{
    if (status.exited) return "exit status " + std::to_string(status.code);
    if (status.signal != 0) return "signal " + std::to_string(status.signal) + " (" + strsignal(status.signal) + ")";
    return "an unknown status";
}

int MsLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

const char* LayoutName(Layout layout)
{
    for (const auto& entry : kLayouts)
        if (entry.layout == layout) return entry.name;
    return nullptr;
}

std::optional<Layout> ParseLayout(std::string_view name)
{
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    for (const auto& entry : kLayouts)
        if (lower == entry.name) return entry.layout;
    return std::nullopt;
}

size_t PictureBytes(Layout layout, int width, int height)
{
    if (width <= 0 || height <= 0) return 0;
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    const size_t w2 = (w + 1) / 2, h2 = (h + 1) / 2, w4 = (w + 3) / 4, h4 = (h + 3) / 4;
    switch (layout) {
    case Layout::Rgb24: return w * h * 3;
    case Layout::Rgb32: return w * h * 4;
    case Layout::Rgb565:
    case Layout::Rgb555: return w * h * 2;
    case Layout::Yuy2:
    case Layout::Uyvy: return w2 * 4 * h;
    case Layout::I420:
    case Layout::Yv12:
    case Layout::Iyuv:
    case Layout::Nv12: return w * h + 2 * w2 * h2;
    case Layout::Yvu9: return w * h + 2 * w4 * h4;
    }
    return 0;
}

// Threads: the program's threads call the commands, serialised by
// m_commandLock; the reader thread alone reads "_pipe1" and owns m_process
// until it has set m_end. The state between them is under m_lock.
struct Host::Impl
{
    HostOptions options;
    std::string folder;
    std::string hostPath;
    int pid = -1;
    std::unique_ptr<ctl::ControllerLink> link;     // "_pipe2" written under m_commandLock
    std::unique_ptr<ctl::HostProcess> process;    // the reader thread's
    std::thread reader;
    std::atomic<std::thread::id> readerId{};  // set by the reader itself

    std::mutex playLock;     // one Play at a time: its stop and start belong together
    std::mutex commandLock;  // one command at a time
    uint32_t nextId = 0;     // with commandLock

    mutable std::mutex lock;
    std::condition_variable changed;
    // with lock:
    std::deque<Frame> frames;
    // Frame storage handed back by Recycle, for the reader to pass on to
    // the link before it reads the next message.
    std::vector<ctl::Bytes> returnedStorage;
    uint32_t awaitedType = 0, awaitedId = 0;
    bool awaiting = false;
    std::optional<ctl::Message> reply;
    std::optional<HostEnd> end;
    bool quitAsked = false;
    bool killAsked = false;
    bool playing = false;     // a Play succeeded and no Stop followed
    // Set by Play before it stops the earlier playback; the reader drops
    // frames until it reads the answer to that stop, which comes after the
    // last of them.
    bool dropFrames = false;

    ~Impl()
    {
        if (reader.joinable()) {
            if (OnReaderThread())
                reader.detach();  // destroyed from its own callback: the thread ends right after
            else
                reader.join();
        }
        // Both sockets first, then the files they lived in.
        link.reset();
        process.reset();
        std::error_code ec;
        if (!folder.empty()) fs::remove_all(folder, ec);
    }

    bool OnReaderThread() const { return std::this_thread::get_id() == readerId; }

    void ReadLoop();
    void Deliver(ctl::Message message);
    // Reaps (or with `kill`, kills) the host and reports its end.
    void Finish(EndReason reason, std::string why, bool kill = false);

    // Sends the command made by `build` with a fresh id; with a replyType,
    // waits for that reply.
    bool Exchange(const std::function<ctl::Bytes(uint32_t id)>& build, uint32_t replyType, ctl::Message* out,
                  Error* error);
    std::optional<MediaInfo> InfoFrom(const ctl::Message& message) const;
};

void Host::Impl::ReadLoop()
{
    readerId = std::this_thread::get_id();
    for (;;) {
        bool kill;
        {
            std::lock_guard guard(lock);
            kill = killAsked;
        }
        if (kill) {
            Finish(EndReason::Signal, "marlin-host did not end after Quit; killed", true);
            return;
        }
        ctl::IoResult ready = link->WaitForEndOfStream(kReaderPollMs);
        if (ready == ctl::IoResult::Timeout) {
            if (!process->IsRunning()) {
                // Ended without closing the socket first: it cannot send more.
                Finish(EndReason::Exited, "");
                return;
            }
            continue;
        }
        if (ready != ctl::IoResult::Ok) break;
        std::vector<ctl::Bytes> returned;
        {
            std::lock_guard guard(lock);
            returned.swap(returnedStorage);
        }
        for (ctl::Bytes& data : returned) link->GiveFrameStorage(std::move(data));
        ctl::Message message;
        std::string why;
        ctl::IoResult r = link->ReadMessage(&message, options.replyTimeoutMs, &why);
        if (r == ctl::IoResult::Ok) {
            Deliver(std::move(message));
            continue;
        }
        if (r == ctl::IoResult::Closed) break;
        Finish(EndReason::ProtocolError,
               r == ctl::IoResult::Timeout ? "marlin-host stopped in the middle of a message" : "marlin-host sent " + why);
        return;
    }
    Finish(EndReason::Exited, "");
}

void Host::Impl::Deliver(ctl::Message m)
{
    if (m.kind == ctl::MessageKind::Frame || m.kind == ctl::MessageKind::PlayComplete) {
        bool drop;
        {
            std::lock_guard guard(lock);
            drop = dropFrames;
        }
        if (drop) {
            link->GiveFrameStorage(std::move(m.data));
            return;
        }
        Frame frame;
        if (m.kind == ctl::MessageKind::PlayComplete) {
            frame.kind = FrameKind::EndOfMedia;
        } else if (m.type == static_cast<uint32_t>(MessageType::VideoFrame)) {
            frame.kind = FrameKind::Video;
            frame.width = m.format.width;
            frame.height = m.format.height;
            frame.layout = static_cast<Layout>(m.format.colorSpace);
        } else {
            frame.kind = FrameKind::Audio;
            frame.sampleRate = m.format.sampleRate;
            frame.channels = m.format.channels;
        }
        frame.data = std::move(m.data);
        frame.positionMs = m.trailerPositionMs;
        frame.number = m.frameNumber;
        frame.presentationTime = m.presentationTime;
        frame.isDiscontinuity = m.isDiscontinuity;
        frame.isKeyPicture = m.isKeyPicture;
        if (options.onFrame) {
            options.onFrame(std::move(frame));
            return;
        }
        {
            std::lock_guard guard(lock);
            // Checked again: a Play that began meanwhile has emptied the queue.
            if (!dropFrames) {
                frames.push_back(std::move(frame));
                changed.notify_all();
                return;
            }
        }
        link->GiveFrameStorage(std::move(frame.data));
        return;
    }
    std::lock_guard guard(lock);
    // A reply nobody waits for any more (its command timed out) is dropped.
    if (awaiting && m.type == awaitedType && m.id == awaitedId) {
        if (m.type == static_cast<uint32_t>(MessageType::StopPlayFileReply)) dropFrames = false;
        reply = std::move(m);
        awaiting = false;
        changed.notify_all();
    }
}

void Host::Impl::Finish(EndReason reason, std::string why, bool kill)
{
    ctl::ExitStatus status;
    if (kill || reason == EndReason::ProtocolError) {
        status = process->Kill();
    } else {
        // The host has closed its socket: it is on its way out.
        auto exited = process->WaitExit(options.replyTimeoutMs);
        if (!exited) {
            why = "marlin-host closed its connection but did not end; killed";
            status = process->Kill();
        } else {
            status = *exited;
        }
    }
    HostEnd e;
    e.exitCode = status.exited ? status.code : 0;
    e.signal = status.exited ? 0 : status.signal;
    e.log = process->Stderr();
    {
        std::lock_guard guard(lock);
        if (reason != EndReason::ProtocolError) {
            if (!status.exited)
                reason = EndReason::Signal;
            else if (quitAsked)
                reason = EndReason::Quit;
            else
                reason = EndReason::Exited;
        }
        e.reason = reason;
        e.description = why.empty() ? "marlin-host ended with " + DescribeExit(status)
                                    : why + " (" + DescribeExit(status) + ")";
        end = e;
        awaiting = false;
        changed.notify_all();
    }
    if (options.onEnded) options.onEnded(e);
}

bool Host::Impl::Exchange(const std::function<ctl::Bytes(uint32_t id)>& build, uint32_t replyType,
                          ctl::Message* out, Error* error)
{
    if (OnReaderThread())
        return SetError(error, ErrorCode::WrongThread, "commands cannot be sent from onFrame or onEnded");
    std::lock_guard command(commandLock);
    const uint32_t id = ++nextId;
    {
        std::lock_guard guard(lock);
        if (end) return SetError(error, ErrorCode::HostEnded, end->description);
        reply.reset();
        awaiting = replyType != 0;
        awaitedType = replyType;
        awaitedId = id;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(options.replyTimeoutMs);
    ctl::IoResult sent = link->SendMessage(build(id), options.replyTimeoutMs);
    std::unique_lock guard(lock);
    if (sent != ctl::IoResult::Ok) {
        awaiting = false;
        if (sent == ctl::IoResult::Timeout)
            return SetError(error, ErrorCode::Timeout, "marlin-host did not take the command within " +
                                                          std::to_string(options.replyTimeoutMs) + " ms");
        // The host went away; the reader tells how in a moment.
        changed.wait_until(guard, deadline, [&] { return end.has_value(); });
        return SetError(error, ErrorCode::HostEnded, end ? end->description : "marlin-host closed its connection");
    }
    if (replyType == 0) return true;
    changed.wait_until(guard, deadline, [&] { return reply.has_value() || end.has_value(); });
    if (reply) {
        *out = std::move(*reply);
        reply.reset();
        return true;
    }
    awaiting = false;
    if (end) return SetError(error, ErrorCode::HostEnded, end->description);
    return SetError(error, ErrorCode::Timeout,
                    "marlin-host did not answer within " + std::to_string(options.replyTimeoutMs) + " ms");
}

std::optional<MediaInfo> Host::Impl::InfoFrom(const ctl::Message& m) const
{
    MediaInfo info;
    info.hasVideo = m.info.hasVideo != 0;
    info.width = info.hasVideo ? m.info.width : 0;
    info.height = info.hasVideo ? m.info.height : 0;
    info.durationMs = m.info.durationMs;
    info.framesPerSecond = m.info.framesPerSecond;
    return info;
}

Host::Host(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

std::unique_ptr<Host> Host::Start(HostOptions options, Error* error)
{
    auto impl = std::make_unique<Impl>();
    std::string why;
    impl->hostPath = options.hostPath.empty() ? ctl::HostProcess::FindHost(&why) : options.hostPath;
    if (impl->hostPath.empty()) return SetError(error, ErrorCode::HostNotFound, why), nullptr;
    std::error_code ec;
    impl->hostPath = fs::absolute(impl->hostPath, ec).string();
    impl->options = std::move(options);

    impl->folder = MakePrivateFolder(&why);
    if (impl->folder.empty()) return SetError(error, ErrorCode::CannotStart, why), nullptr;
    const std::string base = impl->folder + "/link";
    impl->link = ctl::ControllerLink::Listen(base, &why);
    if (!impl->link) return SetError(error, ErrorCode::CannotStart, "cannot create the sockets: " + why), nullptr;

    ctl::HostProcess::Options spawn;
    spawn.program = impl->hostPath;
    spawn.args = {base};
    spawn.stderrPath = impl->folder + "/host.log";
    impl->process = ctl::HostProcess::Spawn(spawn, &why);
    if (!impl->process) return SetError(error, ErrorCode::CannotStart, why), nullptr;
    impl->pid = impl->process->Pid();

    // The host connects "_pipe1", then "_pipe2", about half a second apart.
    const auto deadline = Clock::now() + std::chrono::milliseconds(impl->options.connectTimeoutMs);
    for (bool (ctl::ControllerLink::*accept)(int) : {&ctl::ControllerLink::AcceptPipe1, &ctl::ControllerLink::AcceptPipe2}) {
        for (;;) {
            if (((*impl->link).*accept)(std::min(kReaderPollMs, MsLeft(deadline)))) break;
            if (auto status = impl->process->WaitExit(0)) {
                return SetError(error, ErrorCode::CannotStart,
                                impl->hostPath + " ended with " + DescribeExit(*status) + " before it connected:\n" +
                                    impl->process->Stderr()),
                       nullptr;
            }
            if (MsLeft(deadline) == 0) {
                return SetError(error, ErrorCode::CannotStart,
                                impl->hostPath + " did not connect within " +
                                    std::to_string(impl->options.connectTimeoutMs) + " ms"),
                       nullptr;
            }
        }
    }
    Impl* raw = impl.get();
    raw->reader = std::thread([raw] { raw->ReadLoop(); });
    return std::unique_ptr<Host>(new Host(std::move(impl)));
}

Host::~Host()
{
    if (!m_impl->OnReaderThread()) Quit(m_impl->options.replyTimeoutMs);
}

std::optional<MediaInfo> Host::TestFile(const std::string& path, Error* error)
{
    std::error_code ec;
    std::u16string wide;
    if (!ToUtf16(fs::absolute(path, ec).string(), &wide))
        return SetError(error, ErrorCode::InvalidArgument, path + ": the path is not UTF-8"), std::nullopt;
    ctl::Message reply;
    if (!m_impl->Exchange([&](uint32_t id) { return ctl::TestFile(id, wide); },
                          static_cast<uint32_t>(MessageType::TestFileReply), &reply, error))
        return std::nullopt;
    if (reply.info.durationMs == -1)
        return SetError(error, ErrorCode::CannotOpen, path + ": marlin-host cannot open it"), std::nullopt;
    return m_impl->InfoFrom(reply);
}

bool Host::Play(const std::string& path, const OutputFormat& format, Error* error)
{
    std::error_code ec;
    std::u16string wide;
    if (!ToUtf16(fs::absolute(path, ec).string(), &wide))
        return SetError(error, ErrorCode::InvalidArgument, path + ": the path is not UTF-8");
    if (format.width < 1 || format.width > 8192 || format.height < 1 || format.height > 8192)
        return SetError(error, ErrorCode::InvalidArgument, "picture size outside 1 to 8192");
    if (!LayoutName(format.layout)) return SetError(error, ErrorCode::InvalidArgument, "unknown layout");
    if (format.sampleRate < 1 || format.sampleRate > 768000)
        return SetError(error, ErrorCode::InvalidArgument, "sample rate outside 1 to 768000");
    if (format.channels < 1 || format.channels > 8)
        return SetError(error, ErrorCode::InvalidArgument, "channel count outside 1 to 8");
    const ::MediaFormat wire{format.width, format.height, static_cast<int32_t>(format.layout),
                             format.sampleRate, 16, format.channels};
    std::lock_guard play(m_impl->playLock);
    bool stopFirst = false;
    {
        std::lock_guard guard(m_impl->lock);
        m_impl->frames.clear();
        // The earlier playback's frames come until the host has stopped it,
        // and the new one's may come before StartPlayFile is answered: the
        // answer to a stop is what divides them.
        stopFirst = m_impl->playing;
        m_impl->dropFrames = stopFirst;
    }
    if (stopFirst && !Stop(error)) {
        std::lock_guard guard(m_impl->lock);
        m_impl->dropFrames = false;
        return false;
    }
    ctl::Message reply;
    const bool answered = m_impl->Exchange([&](uint32_t id) { return ctl::StartPlayFile(id, wire, wide); },
                                           static_cast<uint32_t>(MessageType::StartPlayFileReply), &reply, error);
    {
        std::lock_guard guard(m_impl->lock);
        // Unanswered, it may still start: the next Play stops it first.
        m_impl->playing = !answered || reply.result == 1;
    }
    if (!answered) return false;
    if (reply.result != 1) return SetError(error, ErrorCode::CannotOpen, path + ": marlin-host cannot play it");
    return true;
}

std::optional<MediaInfo> Host::Info(Error* error)
{
    ctl::Message reply;
    if (!m_impl->Exchange(ctl::GetFileInfo, static_cast<uint32_t>(MessageType::GetFileInfoReply), &reply, error))
        return std::nullopt;
    return m_impl->InfoFrom(reply);
}

bool Host::Pause(Error* error)
{
    ctl::Message reply;
    return m_impl->Exchange(ctl::Pause, static_cast<uint32_t>(MessageType::PauseReply), &reply, error);
}

bool Host::Resume(Error* error)
{
    ctl::Message reply;
    return m_impl->Exchange(ctl::Contine, static_cast<uint32_t>(MessageType::ContineReply), &reply, error);
}

bool Host::Seek(int64_t positionMs, Error* error)
{
    if (positionMs < 0) return SetError(error, ErrorCode::InvalidArgument, "negative position");
    return m_impl->Exchange([&](uint32_t id) { return ctl::Seek(id, positionMs); }, 0, nullptr, error);
}

std::optional<int64_t> Host::Position(Error* error)
{
    ctl::Message reply;
    if (!m_impl->Exchange(ctl::GetPosition, static_cast<uint32_t>(MessageType::GetPositionReply), &reply, error))
        return std::nullopt;
    return reply.positionMs;
}

bool Host::Stop(Error* error)
{
    ctl::Message reply;
    if (!m_impl->Exchange(ctl::StopPlayFile, static_cast<uint32_t>(MessageType::StopPlayFileReply), &reply, error))
        return false;
    std::lock_guard guard(m_impl->lock);
    m_impl->playing = false;
    return true;
}

std::optional<Frame> Host::NextFrame(int timeoutMs, Error* error)
{
    std::unique_lock guard(m_impl->lock);
    m_impl->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                             [&] { return !m_impl->frames.empty() || m_impl->end.has_value(); });
    if (!m_impl->frames.empty()) {
        Frame frame = std::move(m_impl->frames.front());
        m_impl->frames.pop_front();
        return frame;
    }
    if (m_impl->end) return SetError(error, ErrorCode::HostEnded, m_impl->end->description), std::nullopt;
    return SetError(error, ErrorCode::Timeout, "no frame within " + std::to_string(timeoutMs) + " ms"), std::nullopt;
}

size_t Host::QueuedFrames() const
{
    std::lock_guard guard(m_impl->lock);
    return m_impl->frames.size();
}

void Host::Recycle(Frame&& frame)
{
    if (frame.data.capacity() == 0) return;
    std::lock_guard guard(m_impl->lock);
    auto& returned = m_impl->returnedStorage;
    if (returned.size() >= kMaxReturnedStorage) return;  // the reader is behind; this one is freed
    returned.push_back(std::move(frame.data));
}

std::optional<HostEnd> Host::Ended() const
{
    std::lock_guard guard(m_impl->lock);
    return m_impl->end;
}

std::optional<HostEnd> Host::WaitEnded(int timeoutMs)
{
    std::unique_lock guard(m_impl->lock);
    m_impl->changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return m_impl->end.has_value(); });
    return m_impl->end;
}

HostEnd Host::Quit(int timeoutMs)
{
    if (m_impl->OnReaderThread()) {
        HostEnd refused;
        refused.description = "Quit cannot be called from onFrame or onEnded";
        return refused;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    {
        std::lock_guard guard(m_impl->lock);
        if (m_impl->end) return *m_impl->end;
        m_impl->quitAsked = true;
    }
    {
        // Quit has no reply: the host closes its end and exits.
        std::lock_guard command(m_impl->commandLock);
        m_impl->link->SendMessage(ctl::Quit(++m_impl->nextId), std::max(1, MsLeft(deadline)));
    }
    std::unique_lock guard(m_impl->lock);
    if (!m_impl->changed.wait_until(guard, deadline, [&] { return m_impl->end.has_value(); })) {
        // The reader kills it and reports the end.
        m_impl->killAsked = true;
        m_impl->changed.wait(guard, [&] { return m_impl->end.has_value(); });
    }
    return *m_impl->end;
}

int Host::Pid() const
{
    return m_impl->pid;
}

const std::string& Host::HostPath() const
{
    return m_impl->hostPath;
}

}  // namespace marlin
