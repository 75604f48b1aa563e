#pragma once
// Test media made with the ffmpeg command, and facts about it from ffprobe.
// Files are cached in a per-user temp folder under a name that includes a
// hash of the command, so the many test processes ctest starts share them.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lavtest {

// lavfi sources: 3 s of 160x120 test picture at 25 fps, and a 440 Hz tone.
inline const std::string kVideoSource = "-f lavfi -i testsrc2=size=160x120:rate=25:duration=3 ";
inline std::string AudioSource(int rate)
{
    return "-f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(rate) + ":duration=3 ";
}
// H.264 (with B-frames, a key frame every second) + AAC in MP4.
inline std::string H264AacArgs()
{
    return kVideoSource + AudioSource(44100) +
           "-c:v libx264 -preset veryfast -x264-params keyint=25:min-keyint=25:scenecut=0 -pix_fmt yuv420p "
           "-c:a aac -b:a 64k ";
}

// Runs `ffmpeg <args> <out>` once and returns the path of the made file.
// `ext` is the file name ending (".mp4"). Fails the test (and returns "")
// when ffmpeg fails.
std::string MakeMedia(const std::string& name, const std::string& args, const std::string& ext);
// A scratch folder of this test, removed with the object.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};
// Runs a shell command, returns its standard output; nullopt when it fails.
std::optional<std::string> Run(const std::string& command);
std::vector<uint8_t> ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::vector<uint8_t>& data);

struct ProbePacket
{
    double pts = -1;  // seconds, -1 when absent
    bool key = false;
};

struct Probe
{
    double startTime = 0;  // container start_time, seconds
    double duration = -1;
    // Decoded frames of one stream (ffprobe -count_frames).
    static int64_t CountFrames(const std::string& path, int streamIndex);
    static std::vector<ProbePacket> Packets(const std::string& path, int streamIndex);
    // best_effort_timestamp of the first decoded frame, seconds.
    static std::optional<double> FirstFrameTime(const std::string& path, int streamIndex);
    static Probe Format(const std::string& path);
};

}  // namespace lavtest
