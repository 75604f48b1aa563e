#pragma once
// Media and message collection for the playback end-to-end tests: files made
// by ffmpeg (cached per user, see tests/lavfilters/TestMedia.h), and a
// reader that sorts what the host sends into replies and frames with their
// arrival times.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/app/HostHarness.h"
#include "tests/lavfilters/TestMedia.h"

namespace marlin_test {

using Clock = std::chrono::steady_clock;

struct Arrival
{
    mc::Message message;
    Clock::time_point at;
};

inline bool IsFrame(const mc::Message& m) { return m.kind == mc::MessageKind::Frame; }
inline bool IsVideo(const mc::Message& m) { return m.type == 50; }
inline bool IsAudio(const mc::Message& m) { return m.type == 51; }

// Everything the host sends, in order.
class Collector
{
public:
    explicit Collector(HostHarness& h) : m_h(h) {}

    // Reads until `done` holds for the message just read, or the limit
    // passes (a failure). A copy of the message that satisfied `done`.
    std::optional<Arrival> ReadUntil(const std::function<bool(const mc::Message&)>& done,
                             std::chrono::milliseconds limit = std::chrono::milliseconds(8000))
    {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                ADD_FAILURE() << "the awaited message did not come";
                return std::nullopt;
            }
            const mc::IoResult r = ReadOne(static_cast<int>(left.count()));
            if (r == mc::IoResult::Timeout) continue;
            if (r != mc::IoResult::Ok) return std::nullopt;
            if (done(all.back().message)) return all.back();
        }
    }
    // The reply of `type` with `id`.
    std::optional<mc::Message> Reply(uint32_t type, uint32_t id)
    {
        auto a = ReadUntil([&](const mc::Message& m) { return m.type == type && m.id == id; });
        if (!a) return std::nullopt;
        return a->message;
    }
    // Reads for `span`, however much comes.
    void ReadFor(std::chrono::milliseconds span)
    {
        const auto deadline = Clock::now() + span;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) return;
            const mc::IoResult r = ReadOne(static_cast<int>(left.count()));
            if (r == mc::IoResult::Timeout) continue;
            if (r != mc::IoResult::Ok) return;
        }
    }
    // Index of the first message after `from` that `pred` accepts; -1 if none.
    long Find(const std::function<bool(const mc::Message&)>& pred, size_t from = 0) const
    {
        for (size_t i = from; i < all.size(); ++i)
            if (pred(all[i].message)) return static_cast<long>(i);
        return -1;
    }
    std::vector<const Arrival*> Frames(uint32_t type, size_t from = 0, size_t to = SIZE_MAX) const
    {
        std::vector<const Arrival*> out;
        for (size_t i = from; i < all.size() && i < to; ++i)
            if (all[i].message.type == type) out.push_back(&all[i]);
        return out;
    }

    std::vector<Arrival> all;

private:
    // Waits up to `waitMs` for data, then reads one whole message (a read
    // never stops half-way, which would lose the packet framing).
    mc::IoResult ReadOne(int waitMs)
    {
        const mc::IoResult ready = m_h.link->WaitForEndOfStream(waitMs);
        if (ready == mc::IoResult::Timeout) return ready;
        if (ready != mc::IoResult::Ok) {
            ADD_FAILURE() << "the host closed the link: " << mc::ToString(ready);
            return ready;
        }
        mc::Message m;
        std::string error;
        const mc::IoResult r = m_h.link->ReadMessage(&m, 10000, &error);
        if (r != mc::IoResult::Ok) {
            ADD_FAILURE() << "reading: " << mc::ToString(r) << " " << error;
            return r;
        }
        all.push_back(Arrival{std::move(m), Clock::now()});
        return r;
    }

    HostHarness& m_h;
};

// 3 s of 320x240 25 fps H.264 (a key frame each second, no B-frames so
// that the key frames are where ffprobe says) with 44.1 kHz stereo AAC.
inline std::string MakeMovie(int seconds = 3)
{
    const std::string d = std::to_string(seconds);
    return lavtest::MakeMedia(
        "host-movie" + d,
        "-f lavfi -i testsrc2=size=320x240:rate=25:duration=" + d +
            " -f lavfi -i sine=frequency=440:sample_rate=44100:duration=" + d +
            " -ac 2 -c:v libx264 -preset veryfast -bf 0 -x264-params keyint=25:min-keyint=25:scenecut=0"
            " -pix_fmt yuv420p -c:a aac -b:a 64k -shortest",
        ".mp4");
}

// A second of a tone, sound only.
inline std::string MakeSound()
{
    return lavtest::MakeMedia("host-sound", "-f lavfi -i sine=frequency=440:sample_rate=22050:duration=1 -c:a pcm_s16le",
                              ".wav");
}

// ffprobe's decoded picture count of stream 0 and audio duration (s) of stream 1.
inline int64_t ProbeVideoFrames(const std::string& path) { return lavtest::Probe::CountFrames(path, 0); }
inline double ProbeStreamDuration(const std::string& path, int stream)
{
    auto out = lavtest::Run("ffprobe -v error -select_streams " + std::to_string(stream) +
                            " -show_entries stream=duration -of csv=p=0 '" + path + "'");
    return out ? std::stod(*out) : -1;
}

}  // namespace marlin_test
