#include "controller/play/PlayOptions.h"

#include <charconv>
#include <optional>

#include "controller/play/PixelLayouts.h"

namespace marlin::play {

namespace {

constexpr int kMaxSide = 8192;
// What the host converts sound to (docs/protocol.md, MediaFormat).
constexpr int64_t kMinRate = 1, kMaxRate = 768000;
constexpr int64_t kMinChannels = 1, kMaxChannels = 8;
constexpr int64_t kMaxMs = 1000LL * 60 * 60 * 24 * 7;  // a week

std::optional<int64_t> ParseInteger(const std::string& text, int64_t low, int64_t high)
{
    int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high)
        return std::nullopt;
    return value;
}

std::string Range(int64_t low, int64_t high)
{
    return "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
}

}  // namespace

std::optional<std::string> CheckPictureFitsAMessage(int32_t colorSpace, int width, int height)
{
    const size_t bytes = PictureBytes(colorSpace, width, height);
    if (bytes + kFrameOverheadBytes <= kMaxFrameMessageBytes) return std::nullopt;
    return std::to_string(width) + "x" + std::to_string(height) + " " + FindPixelLayout(colorSpace)->name +
           " pictures take " + std::to_string(bytes >> 20) + " MiB each, more than the " +
           std::to_string(kMaxFrameMessageBytes >> 20) + " MiB a frame message may hold";
}

std::string UsageText()
{
    return "usage: marlin-play [--host PATH] info [--json] FILE\n"
           "       marlin-play [--host PATH] play FILE [options]\n"
           "\n"
           "Starts marlin-host ($MARLIN_HOST, else the one installed with marlin-play)\n"
           "and asks it about a file, or plays the file and writes what arrives.\n"
           "\n"
           "play options:\n"
           "  --size WxH            picture size (default: the file's own)\n"
           "  --pixfmt NAME         picture layout (default i420), one of:\n"
           "      " + PixelLayoutNames() + "\n"
           "  --rate HZ             sound sample rate, " + std::to_string(kMinRate) + " to " +
           std::to_string(kMaxRate) + " (default 44100)\n"
           "  --channels N          sound channels, " + std::to_string(kMinChannels) + " to " +
           std::to_string(kMaxChannels) + " (default 2)\n"
           "  --seek MS             start at this position\n"
           "  --duration MS         stop after this much playback\n"
           "  --pause-at MS         pause when playback reaches this position ...\n"
           "  --resume-after MS     ... and continue this many ms later\n"
           "  --video OUT           pictures: YUV4MPEG2 when OUT ends in .y4m and the\n"
           "                        layout fits (i420 iyuv yv12 nv12 yuy2 uyvy),\n"
           "                        raw frames otherwise; - for y4m (or raw) on\n"
           "                        standard output\n"
           "  --audio OUT.wav       sound as a 16-bit PCM WAV file; - for standard output\n"
           "  --contact-sheet OUT.png  a grid of 12 pictures taken at even intervals,\n"
           "                        each captioned with its time in the file\n"
           "  --frames OUT.csv      one line per frame: kind, number, presentation time (s),\n"
           "                        flags, arrival (ms after the start was asked), bytes\n"
           "  --stats               print frames, bytes, pace, late frames, latencies, missing\n"
           "                        pictures and sound-to-picture sync (on standard error\n"
           "                        when an output is -)\n"
           "  --json                print the stats as JSON\n"
           "  --no-progress         no progress line (it is shown only on a terminal)\n"
           "\n"
           "info and play:\n"
           "  --json                info: print the result as JSON\n"
           "  --host PATH           the marlin-host to start\n"
           "  --timeout MS          longest wait for an answer from marlin-host\n"
           "                        (default 15000)\n"
           "\n"
           "Exit status: 0 done, 1 the file is missing or cannot be played, 2 bad command\n"
           "line, 3 marlin-host failed (could not start, died, or broke the protocol),\n"
           "4 an output file could not be written, 130 interrupted.\n";
}

ParseResult ParseOptions(const std::vector<std::string>& args)
{
    ParseResult result;
    PlayOptions& o = result.options;
    auto fail = [&result](std::string text) {
        result.ok = false;
        result.error = std::move(text);
        return result;
    };

    std::vector<std::string> positional;
    std::vector<std::string> playOnly;  // play options seen, to refuse them with info
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "-h" || arg == "--help") {
            o.command = Command::Help;
            result.ok = true;
            return result;
        }
        if (arg == "--") {
            positional.insert(positional.end(), args.begin() + static_cast<long>(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            if (arg.size() > 1 && arg[0] == '-') return fail("unknown option " + arg);
            positional.push_back(arg);
            continue;
        }

        std::string name = arg, value;
        bool inlineValue = false;
        if (auto eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            inlineValue = true;
        }
        auto flag = [&](bool* target) -> bool {
            if (inlineValue) return false;
            *target = true;
            return true;
        };
        if (name == "--json" || name == "--stats" || name == "--no-progress") {
            bool set = false;
            if (!flag(&set)) return fail(name + " takes no value");
            if (name == "--json") o.json = true;
            if (name == "--stats") {
                o.stats = true;
                playOnly.push_back(name);
            }
            if (name == "--no-progress") o.progress = false;
            continue;
        }

        static const char* const kValued[] = {"--host",      "--size",   "--pixfmt",        "--rate",
                                              "--channels",  "--seek",   "--duration",      "--pause-at",
                                              "--resume-after", "--video", "--audio",       "--contact-sheet",
                                              "--timeout", "--frames"};
        bool known = false;
        for (const char* k : kValued) known = known || name == k;
        if (!known) return fail("unknown option " + name);
        if (!inlineValue) {
            if (i + 1 >= args.size()) return fail(name + " needs a value");
            value = args[++i];
        }
        if (name != "--host" && name != "--timeout") playOnly.push_back(name);

        if (name == "--host") {
            if (value.empty()) return fail("--host needs a path");
            o.hostPath = value;
        } else if (name == "--timeout") {
            auto v = ParseInteger(value, 1, 3600000);
            if (!v) return fail("--timeout wants " + Range(1, 3600000) + " (ms), not '" + value + "'");
            o.timeoutMs = static_cast<int>(*v);
        } else if (name == "--size") {
            auto x = value.find_first_of("xX");
            std::optional<int64_t> w, h;
            if (x != std::string::npos) {
                w = ParseInteger(value.substr(0, x), 1, kMaxSide);
                h = ParseInteger(value.substr(x + 1), 1, kMaxSide);
            }
            if (!w || !h)
                return fail("--size wants WIDTHxHEIGHT, each from 1 to " + std::to_string(kMaxSide) +
                            ", not '" + value + "'");
            o.width = static_cast<int>(*w);
            o.height = static_cast<int>(*h);
        } else if (name == "--pixfmt") {
            const PixelLayout* layout = FindPixelLayout(value);
            if (!layout)
                return fail("unknown --pixfmt '" + value + "'; known: " + PixelLayoutNames());
            o.colorSpace = layout->code;
        } else if (name == "--rate") {
            auto v = ParseInteger(value, kMinRate, kMaxRate);
            if (!v) return fail("--rate wants " + Range(kMinRate, kMaxRate) + " (Hz), not '" + value + "'");
            o.sampleRate = static_cast<int>(*v);
        } else if (name == "--channels") {
            auto v = ParseInteger(value, kMinChannels, kMaxChannels);
            if (!v) return fail("--channels wants " + Range(kMinChannels, kMaxChannels) + ", not '" + value + "'");
            o.channels = static_cast<int>(*v);
        } else if (name == "--seek" || name == "--duration" || name == "--pause-at" ||
                   name == "--resume-after") {
            int64_t low = name == "--duration" ? 1 : 0;
            auto v = ParseInteger(value, low, kMaxMs);
            if (!v) return fail(name + " wants " + Range(low, kMaxMs) + " (ms), not '" + value + "'");
            if (name == "--seek") o.seekMs = *v;
            if (name == "--duration") o.durationMs = *v;
            if (name == "--pause-at") o.pauseAtMs = *v;
            if (name == "--resume-after") o.resumeAfterMs = *v;
        } else {
            if (value.empty()) return fail(name + " needs a file name");
            if (name == "--video") o.videoPath = value;
            if (name == "--audio") o.audioPath = value;
            if (name == "--contact-sheet") o.sheetPath = value;
            if (name == "--frames") o.framesPath = value;
        }
    }

    if (positional.empty()) return fail("no command given (info or play)");
    const std::string& command = positional[0];
    if (command == "info") {
        o.command = Command::Info;
    } else if (command == "play") {
        o.command = Command::Play;
    } else {
        return fail("unknown command '" + command + "' (info or play)");
    }
    if (positional.size() < 2) return fail(command + " needs a FILE");
    if (positional.size() > 2) return fail("one FILE only; unexpected '" + positional[2] + "'");
    o.file = positional[1];
    if (o.file.empty()) return fail("the FILE name is empty");

    if (o.command == Command::Info && !playOnly.empty())
        return fail(playOnly.front() + " applies to play, not to info");
    if (o.videoPath == "-" && o.audioPath == "-") return fail("--video and --audio cannot both be -");
    if (o.sheetPath == "-") return fail("--contact-sheet wants a file name, not -");
    if ((o.pauseAtMs >= 0) != (o.resumeAfterMs >= 0))
        return fail("--pause-at and --resume-after go together");
    if (o.width > 0) {
        const PixelLayout* layout = FindPixelLayout(o.colorSpace);
        std::string size = "--size " + std::to_string(o.width) + "x" + std::to_string(o.height);
        if (auto why = CheckPictureSize(*layout, o.width, o.height)) return fail(size + ": " + *why);
        if (auto why = CheckPictureFitsAMessage(o.colorSpace, o.width, o.height)) return fail(size + ": " + *why);
    }
    if (o.command == Command::Play && o.json) o.stats = true;
    result.ok = true;
    return result;
}

}  // namespace marlin::play
