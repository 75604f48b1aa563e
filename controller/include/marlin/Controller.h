#pragma once
// Marlin controller library: starts a marlin-host process, drives it and
// receives the pictures and sound it decodes.
//
//   #include <marlin/Controller.h>
//
//   marlin::Error error;
//   auto host = marlin::Host::Start({}, &error);
//   if (!host) { std::fprintf(stderr, "%s\n", error.message.c_str()); return 1; }
//   auto info = host->TestFile("film.mp4", &error);           // duration, size, frame rate
//   host->Play("film.mp4", {.width = 320, .height = 240, .layout = marlin::Layout::I420}, &error);
//   while (auto frame = host->NextFrame(5000, &error)) {
//       if (frame->kind == marlin::FrameKind::EndOfMedia) break;
//       // frame->data: one picture, or one block of 16-bit sound
//       host->Recycle(std::move(*frame));                      // optional: storage for later frames
//   }
//   marlin::HostEnd end = host->Quit();
//
// Link with pkg-config (`pkg-config --cflags --libs marlin-controller`) or
// CMake (`find_package(MarlinController)`, target `Marlin::Controller`).
//
// Each command waits for its reply at most HostOptions::replyTimeoutMs and
// fails with ErrorCode::Timeout after that. Commands may come from any
// thread, one at a time (a second caller waits for the first). Pictures and
// sound are read by a thread of the library as they arrive, so the host is
// never held up by the program; they are queued for NextFrame, or handed to
// HostOptions::onFrame on that thread.
//
// docs/protocol.md (installed under share/doc/marlin/) describes what the
// host does with each command and when frames arrive.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if defined(__GNUC__)
#define MARLIN_CONTROLLER_API __attribute__((visibility("default")))
#else
#define MARLIN_CONTROLLER_API
#endif

namespace marlin {

// Pixel layouts a picture can be delivered in. Every picture is top-down
// with no padding between lines or planes; PictureBytes gives its size.
enum class Layout : int32_t
{
    Rgb24 = 0,   // B, G, R bytes per pixel
    Rgb32 = 2,   // B, G, R, X
    Rgb565 = 3,  // little-endian 16-bit words
    Rgb555 = 4,
    Yuy2 = 6,    // Y0 U Y1 V per two pixels
    Uyvy = 10,   // U Y0 V Y1
    I420 = 12,   // Y plane, U plane, V plane (4:2:0)
    Yvu9 = 13,   // Y plane, V plane, U plane (4:1:0)
    Yv12 = 16,   // Y plane, V plane, U plane (4:2:0)
    Iyuv = 19,   // as I420
    Nv12 = 22,   // Y plane, then interleaved U, V pairs (4:2:0)
};

// "rgb24", "i420", ...; null for a value that is no layout.
MARLIN_CONTROLLER_API const char* LayoutName(Layout layout);
// The layout of a name that LayoutName gives, in any letter case.
MARLIN_CONTROLLER_API std::optional<Layout> ParseLayout(std::string_view name);
// Bytes of one width x height picture in `layout`; 0 when the size is not
// positive or the layout unknown.
MARLIN_CONTROLLER_API size_t PictureBytes(Layout layout, int width, int height);

enum class ErrorCode
{
    None,
    HostNotFound,     // Start: no marlin-host to start (see HostOptions::hostPath)
    CannotStart,      // Start: the host could not be started or did not connect
    InvalidArgument,  // a path or format that cannot be sent to the host
    CannotOpen,       // TestFile, Play: the host could not open or play the file
    Timeout,          // no reply, or no frame, within the time limit
    HostEnded,        // the host has ended; Host::Ended() says how
    WrongThread,      // a command from inside HostOptions::onFrame or onEnded
};

struct Error
{
    ErrorCode code = ErrorCode::None;
    std::string message;  // for people: what failed and, when known, why
    explicit operator bool() const { return code != ErrorCode::None; }
};

// What the host reports about a file.
struct MediaInfo
{
    bool hasVideo = false;
    int width = 0;             // native picture size; only with hasVideo
    int height = 0;
    int64_t durationMs = -1;   // 0 when the file does not say how long it is
    int framesPerSecond = 0;   // whole frames per second, truncated
};

// The form in which a playback delivers its frames.
struct OutputFormat
{
    int width = 320;            // 1 to 8192
    int height = 240;           // 1 to 8192
    Layout layout = Layout::I420;
    int sampleRate = 44100;     // Hz, 1 to 768000
    int channels = 2;           // 1 to 8
};

enum class FrameKind
{
    Video,       // one picture
    Audio,       // one block of sound: interleaved signed 16-bit samples
    EndOfMedia,  // the file has played to its end; no data
};

// One delivery of a playback. Later versions may add fields, so a program
// should not rely on the structure's size or aggregate order.
struct Frame
{
    FrameKind kind = FrameKind::Video;
    // Video: the picture's size and layout, as Play asked.
    int width = 0;
    int height = 0;
    Layout layout = Layout::I420;
    // Audio: the sound's rate and channel count, as Play asked.
    int sampleRate = 0;
    int channels = 0;
    std::vector<uint8_t> data;
    // The playback position in ms as the host last sampled it (about once a
    // second and right after a Seek); every picture and every other block
    // of sound carries it.
    std::optional<int64_t> positionMs;
    // Which frame this is and when it belongs. `number` counts the frames
    // of its kind from 0 at each Play (a gap means the host dropped one; a
    // Seek does not reset it). `presentationTime` is in 100 ns units from
    // the file's start, on the scale of Seek and positionMs; for sound, the
    // time of the block's first sample. `isDiscontinuity` marks the first
    // frame of its kind after Play or a Seek, `isKeyPicture` a picture that
    // decodes on its own.
    uint32_t number = 0;
    int64_t presentationTime = 0;
    bool isDiscontinuity = false;
    bool isKeyPicture = false;
    double PresentationSeconds() const { return static_cast<double>(presentationTime) / 1e7; }
};

enum class EndReason
{
    Quit,           // ended after Quit() (or the Host's destruction)
    Exited,         // ended by itself; exitCode says with which status
    Signal,         // ended by a signal (a crash, or killed from outside)
    ProtocolError,  // sent something this library cannot read; it was killed
};

struct HostEnd
{
    EndReason reason = EndReason::Exited;
    int exitCode = 0;         // with Exited and Quit
    int signal = 0;           // with Signal, and ProtocolError after the kill
    std::string description;  // one line for people
    std::string log;          // what the host wrote to its standard error
};

struct HostOptions
{
    // The marlin-host to start. Empty: $MARLIN_HOST when set, else the one
    // beside the program or this library, or in lib/marlin/ of the
    // installation they belong to.
    std::string hostPath;
    int connectTimeoutMs = 10000;  // the host connects about 1.5 s after it starts
    int replyTimeoutMs = 5000;     // longest wait for the reply to a command
    // Set: every frame goes here, on the library's reader thread, and
    // NextFrame gets none. It must not call the Host (WrongThread).
    std::function<void(Frame)> onFrame;
    // Called once on the reader thread when the host has ended.
    std::function<void(const HostEnd&)> onEnded;
};

class MARLIN_CONTROLLER_API Host
{
public:
    // Starts a host and waits until it has connected. Null with the reason
    // in *error (HostNotFound, CannotStart).
    static std::unique_ptr<Host> Start(HostOptions options = {}, Error* error = nullptr);
    // Quits the host if it still runs (killing it if it does not end within
    // replyTimeoutMs).
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Opens the file in a throw-away player; a running playback goes on.
    // CannotOpen when the host cannot open it. Relative paths are taken
    // from the program's working directory; paths are UTF-8.
    std::optional<MediaInfo> TestFile(const std::string& path, Error* error = nullptr);
    // Stops any playback and plays the file; no frame of the earlier
    // playback, queued or still on its way, is handed out after this
    // returns (to tell them apart, it stops a running playback first).
    // CannotOpen when it cannot be played.
    bool Play(const std::string& path, const OutputFormat& format, Error* error = nullptr);
    // The file now playing; durationMs is -1 while nothing plays. The
    // picture size is not reported during playback (take it from TestFile).
    std::optional<MediaInfo> Info(Error* error = nullptr);
    bool Pause(Error* error = nullptr);
    bool Resume(Error* error = nullptr);
    // Moves the playback to positionMs. The host does not answer a seek;
    // frames already queued or on their way are from before it.
    bool Seek(int64_t positionMs, Error* error = nullptr);
    // The playback position in ms, -1 while nothing plays.
    std::optional<int64_t> Position(Error* error = nullptr);
    // Ends the playback; no frame of it arrives after this returns.
    bool Stop(Error* error = nullptr);

    // The next frame, waiting at most timeoutMs: Timeout when none came,
    // HostEnded when the host has ended and the queue is empty.
    std::optional<Frame> NextFrame(int timeoutMs, Error* error = nullptr);
    // Frames waiting in the queue.
    size_t QueuedFrames() const;
    // Hands a frame's storage back once its data has been used, so that a
    // later frame of the same size is read into it: no allocation, and no
    // clearing of memory that the frame then overwrites. Optional; from any
    // thread, onFrame included.
    void Recycle(Frame&& frame);

    // How the host ended, once it has.
    std::optional<HostEnd> Ended() const;
    std::optional<HostEnd> WaitEnded(int timeoutMs);
    // Asks the host to end and waits up to timeoutMs (killing it after
    // that). Returns how it ended; at once when it already has.
    HostEnd Quit(int timeoutMs = 5000);

    // The host's process id.
    int Pid() const;
    // The marlin-host that runs.
    const std::string& HostPath() const;

private:
    struct Impl;
    explicit Host(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace marlin
