// A stand-in for marlin-host that marlin-play's tests start with --host, to
// reach cases the real host does not show on demand. MARLIN_FAKE_HOST picks:
//   exit3       writes a log line and exits with status 3 before connecting
//   die         connects, reads one command, logs it (with a TestFile's path
//               in UTF-8) and its current directory, exits with 3
//   garbage     connects and answers the first command with a broken message
//   silent      connects and never answers
//   player      a small playing host: TestFile says 2000 ms of 64x48 at 25/s,
//               StartPlayFile sends paced pictures (grey ramp in the asked
//               layout) and 40 ms sound blocks, with Pause, Contine, Seek
//               (landing on multiples of 400 ms), StopPlayFile and PlayComplete
//   player-late-frames
//               the player, whose StopPlayFile and StartPlayFile first send
//               one more picture and sound block of the running playback,
//               as a host does whose graph was delivering when the command came
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "controller/Messages.h"
#include "platform/os/Unicode.h"

using namespace marlin::controller;
using Clock = std::chrono::steady_clock;

namespace {

int Connect(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "fake host: cannot connect %s\n", path.c_str());
        std::exit(4);
    }
    return fd;
}

void WriteAll(int fd, const Bytes& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) std::exit(0);  // the controller went away
        done += static_cast<size_t>(n);
    }
}

bool ReadAll(int fd, uint8_t* buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = recv(fd, buffer + done, size - done, 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::optional<Bytes> ReadCommand(int fd)
{
    uint8_t header[8];
    if (!ReadAll(fd, header, 8)) return std::nullopt;
    Bytes message(Get32(header, 0));
    if (!ReadAll(fd, message.data(), message.size())) return std::nullopt;
    return message;
}

void Reply(int fd, uint32_t type, uint32_t id, size_t size)
{
    Bytes m(size, 0);
    Put32(m, 0, type);
    Put32(m, 4, id);
    if (size == 16) Put32(m, 12, 1);
    WriteAll(fd, EncodePacket(m));
}

Bytes Frame(uint32_t type, const MediaFormat& format, const Bytes& data, std::optional<int64_t> position)
{
    Bytes m(40 + data.size() + (position ? 24 : 0) + 10, 0);
    Put32(m, 0, type);
    Put32(m, 8, position ? 1 : 0);
    const int32_t* fields = &format.width;
    for (int i = 0; i < 6; ++i) Put32(m, 12 + 4 * i, static_cast<uint32_t>(fields[i]));
    Put32(m, 36, static_cast<uint32_t>(data.size()));
    std::memcpy(m.data() + 40, data.data(), data.size());
    if (position) {
        Put32(m, 40 + data.size(), 52);
        Put64(m, 40 + data.size() + 16, static_cast<uint64_t>(*position));
    }
    return EncodePacket(m);
}

// A picture of the asked layout: luma (or grey) rising with the frame number.
Bytes Picture(const MediaFormat& f, int index)
{
    const size_t w = static_cast<size_t>(f.width), h = static_cast<size_t>(f.height);
    const uint8_t level = static_cast<uint8_t>(16 + (index * 4) % 200);
    switch (f.colorSpace) {
    case 0: return Bytes(w * h * 3, level);
    case 2: return Bytes(w * h * 4, level);
    case 3:
    case 4: return Bytes(w * h * 2, 0);
    case 6:
    case 10: {
        // Lines of whole macropixels: an odd width ends in a half-used one.
        const size_t stride = 4 * ((w + 1) / 2);
        Bytes b(stride * h, 128);
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < stride / 2; ++x) b[y * stride + 2 * x + (f.colorSpace == 6 ? 0 : 1)] = level;
        return b;
    }
    case 13: {
        Bytes b(w * h + 2 * (((w + 3) / 4) * ((h + 3) / 4)), 128);
        std::memset(b.data(), level, w * h);
        return b;
    }
    default: {
        Bytes b(w * h + 2 * (((w + 1) / 2) * ((h + 1) / 2)), 128);
        std::memset(b.data(), level, w * h);
        return b;
    }
    }
}

int Player(int pipe1, int pipe2, bool refuseStart, bool lateFrames)
{
    constexpr int64_t kDurationMs = 2000, kPictureMs = 40, kBlockMs = 40;
    MediaFormat format{};
    bool playing = false, paused = false, completed = false;
    int64_t startMs = 0;           // media position at `anchor`
    Clock::time_point anchor{};    // wall time at which startMs plays
    int64_t nextPictureMs = 0, nextBlockMs = 0;
    int audioBlock = 0;
    auto now = [&] {
        return startMs + std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - anchor).count();
    };
    auto restart = [&](int64_t at) {
        startMs = nextPictureMs = nextBlockMs = at;
        anchor = Clock::now();
        completed = false;
    };
    // Filled with 0xEE, so that a test can tell them from the paced ones.
    auto sendLateFrames = [&] {
        if (!lateFrames || !playing || completed) return;
        WriteAll(pipe1, Frame(50, format, Bytes(Picture(format, 0).size(), 0xEE), startMs));
        Bytes sound(static_cast<size_t>(format.sampleRate) * kBlockMs / 1000 * format.channels * 2, 0xEE);
        WriteAll(pipe1, Frame(51, format, sound, startMs));
    };
    for (;;) {
        pollfd p{pipe2, POLLIN, 0};
        if (poll(&p, 1, playing && !paused ? 5 : 100) > 0) {
            auto command = ReadCommand(pipe2);
            if (!command || command->size() < 12) return 0;
            const uint32_t type = Get32(command->data(), 0), id = Get32(command->data(), 4);
            switch (type) {
            case 0: {  // TestFile: a path containing "bad" does not open; "unknown-length" has no length;
                       // "short-length" says half its length, as an estimate from a bit rate can
                std::string path;
                for (size_t i = 12; i + 1 < command->size() && (*command)[i]; i += 2) path += static_cast<char>((*command)[i]);
                Bytes m(36, 0);
                Put32(m, 0, 1);
                Put32(m, 4, id);
                Put32(m, 12, 1);
                Put32(m, 16, 1);
                Put32(m, 20, 64);
                Put32(m, 24, 48);
                Put32(m, 28, path.find("bad") != std::string::npos              ? static_cast<uint32_t>(-1)
                             : path.find("unknown-length") != std::string::npos ? 0
                             : path.find("short-length") != std::string::npos   ? kDurationMs / 2
                                                                                : kDurationMs);
                Put32(m, 32, 25);
                WriteAll(pipe1, EncodePacket(m));
                break;
            }
            case 2: {
                sendLateFrames();
                const uint8_t* f = command->data() + 12;
                int32_t* fields = &format.width;
                for (int i = 0; i < 6; ++i) fields[i] = static_cast<int32_t>(Get32(f, 4 * i));
                if (refuseStart) {
                    Bytes m(16, 0);
                    Put32(m, 0, 3);
                    Put32(m, 4, id);
                    WriteAll(pipe1, EncodePacket(m));
                    break;
                }
                Reply(pipe1, 3, id, 16);
                playing = true;
                paused = false;
                audioBlock = 0;
                restart(0);
                break;
            }
            case 6:
                sendLateFrames();
                playing = false;
                Reply(pipe1, 7, id, 16);
                break;
            case 8:
                if (!paused) startMs = now();
                paused = true;
                Reply(pipe1, 9, id, 16);
                break;
            case 10:
                if (paused) anchor = Clock::now();
                paused = false;
                Reply(pipe1, 11, id, 16);
                break;
            case 14: {
                int64_t target = static_cast<int64_t>(Get64(command->data(), 16));
                int64_t landed = std::min(target - target % 400, kDurationMs);
                restart(landed);
                break;
            }
            case 25: return 0;
            default: break;
            }
        }
        if (!playing || paused || completed) continue;
        const int64_t position = now();
        while (nextPictureMs < kDurationMs && nextPictureMs <= position) {
            WriteAll(pipe1, Frame(50, format, Picture(format, static_cast<int>(nextPictureMs / kPictureMs)), startMs));
            nextPictureMs += kPictureMs;
        }
        while (nextBlockMs < kDurationMs && nextBlockMs <= position) {
            Bytes sound(static_cast<size_t>(format.sampleRate) * kBlockMs / 1000 * format.channels * 2, 0);
            bool trailer = audioBlock++ % 2 == 0;
            WriteAll(pipe1, Frame(51, format, sound, trailer ? std::optional<int64_t>(startMs) : std::nullopt));
            nextBlockMs += kBlockMs;
        }
        if (nextPictureMs >= kDurationMs && nextBlockMs >= kDurationMs) {
            Bytes done(12, 0);
            Put32(done, 0, 53);
            WriteAll(pipe1, EncodePacket(done));
            completed = true;
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const char* mode = std::getenv("MARLIN_FAKE_HOST");
    std::string m = mode ? mode : "player";
    if (m == "exit3") {
        std::fprintf(stderr, "fake host: cannot load LAVFilters/LAVSplitter.ax\n");
        return 3;
    }
    if (argc < 2) return 5;
    const std::string base = argv[argc - 1];
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    int pipe1 = Connect(base + "_pipe1");
    int pipe2 = Connect(base + "_pipe2");
    if (m == "die") {
        auto command = ReadCommand(pipe2);
        std::u16string path;  // a TestFile's path, as it travelled
        for (size_t i = 12; command && i + 1 < command->size(); i += 2) {
            char16_t c = static_cast<char16_t>((*command)[i] | ((*command)[i + 1] << 8));
            if (c == 0) break;
            path += c;
        }
        char cwd[4096] = "?";
        if (!getcwd(cwd, sizeof cwd)) std::snprintf(cwd, sizeof cwd, "?");
        std::fprintf(stderr, "fake host: giving up after command %u on [%s] in [%s]\n",
                     command && command->size() >= 4 ? Get32(command->data(), 0) : 999u,
                     Utf16ToUtf8(path).c_str(), cwd);
        return 3;
    }
    if (m == "silent") {
        while (ReadCommand(pipe2)) {
        }
        return 0;
    }
    if (m == "garbage") {
        ReadCommand(pipe2);
        Bytes broken(20, 0xEE);
        WriteAll(pipe1, EncodePacket(broken));
        std::this_thread::sleep_for(std::chrono::seconds(30));
        return 0;
    }
    int status = Player(pipe1, pipe2, m == "player-nostart", m == "player-late-frames");
    close(pipe1);
    close(pipe2);
    return status;
}
