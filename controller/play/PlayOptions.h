#pragma once
// The command line of marlin-play:
//   marlin-play [--host PATH] info [--json] FILE
//   marlin-play [--host PATH] play FILE [--size WxH] [--pixfmt NAME] [--rate HZ]
//               [--channels N] [--seek MS] [--duration MS]
//               [--pause-at MS --resume-after MS] [--video OUT] [--audio OUT.wav]
//               [--contact-sheet OUT.png] [--frames OUT.csv] [--stats] [--json]
//               [--no-progress]
// Both take --timeout MS (longest wait for an answer from the host).
// Options may stand before or after the command and file, as "--opt value"
// or "--opt=value".
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace marlin::play {

enum class Command { Info, Play, Help };

struct PlayOptions
{
    Command command = Command::Help;
    std::string file;
    std::string hostPath;  // empty: HostProcess::FindHost()
    bool json = false;     // info: the result as JSON; play: the stats as JSON
    bool stats = false;
    bool progress = true;  // still only shown on a terminal

    // Picture and sound asked of the host. A width of 0 means the file's own size.
    int width = 0, height = 0;
    int32_t colorSpace = 12;  // i420
    int sampleRate = 44100;
    int channels = 2;

    int timeoutMs = 15000;       // longest wait for a reply, or for any message while playing

    int64_t seekMs = -1;         // -1: none
    int64_t durationMs = -1;     // -1: until the end
    int64_t pauseAtMs = -1;      // -1: no pause
    int64_t resumeAfterMs = -1;

    std::string videoPath, audioPath, sheetPath;
    std::string framesPath;  // --frames: one CSV line per frame
};

struct ParseResult
{
    bool ok = false;
    std::string error;  // what was wrong, for "marlin-play: <error>"
    PlayOptions options;
};

// Frame messages marlin-play accepts: the controller link's read limit.
constexpr size_t kMaxFrameMessageBytes = 64u << 20;
constexpr size_t kFrameOverheadBytes = 74;  // header, format, length, trailer, padding
// Why pictures of this size cannot travel, or nothing when they can.
std::optional<std::string> CheckPictureFitsAMessage(int32_t colorSpace, int width, int height);

// `args` without the program name.
ParseResult ParseOptions(const std::vector<std::string>& args);
std::string UsageText();

}  // namespace marlin::play
