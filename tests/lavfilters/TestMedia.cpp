#include "tests/lavfilters/TestMedia.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdlib.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace lavtest {

std::optional<std::string> Run(const std::string& command)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) out.append(buf.data(), n);
    if (::pclose(pipe) != 0) return std::nullopt;
    return out;
}

static fs::path MediaDir()
{
    fs::path dir = fs::temp_directory_path() / ("marlin-lavcore-media-" + std::to_string(::getuid()));
    fs::create_directories(dir);
    return dir;
}

TempDir::TempDir()
{
    std::string pattern = (fs::temp_directory_path() / "marlin-lavcore-XXXXXX").string();
    if (::mkdtemp(pattern.data())) m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!m_path.empty()) fs::remove_all(m_path, ec);
}

std::string MakeMedia(const std::string& name, const std::string& args, const std::string& ext)
{
    const size_t hash = std::hash<std::string>{}(args + ext);
    std::ostringstream file;
    file << name << '-' << std::hex << hash << ext;
    const fs::path path = MediaDir() / file.str();
    if (fs::exists(path)) return path.string();
    // Another test process may make the same file: write aside, then rename.
    const fs::path tmp = MediaDir() / ("tmp-" + std::to_string(::getpid()) + "-" + file.str());
    const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y " + args + " '" + tmp.string() + "' 2>&1";
    auto out = Run(cmd);
    if (!out) {
        ADD_FAILURE() << "ffmpeg failed: " << cmd;
        return "";
    }
    fs::rename(tmp, path);
    return path.string();
}

std::vector<uint8_t> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::vector<uint8_t>& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

static std::string Quote(const std::string& s)
{
    return "'" + s + "'";
}

int64_t Probe::CountFrames(const std::string& path, int streamIndex)
{
    auto out = Run("ffprobe -v error -count_frames -select_streams " + std::to_string(streamIndex) +
                   " -show_entries stream=nb_read_frames -of csv=p=0 " + Quote(path));
    if (!out) return -1;
    return std::stoll(*out);
}

std::vector<ProbePacket> Probe::Packets(const std::string& path, int streamIndex)
{
    std::vector<ProbePacket> result;
    auto out = Run("ffprobe -v error -select_streams " + std::to_string(streamIndex) +
                   " -show_entries packet=pts_time,flags -of csv=p=0 " + Quote(path));
    if (!out) return result;
    std::istringstream lines(*out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        ProbePacket p;
        const size_t comma = line.find(',');
        const std::string pts = line.substr(0, comma);
        const std::string flags = comma == std::string::npos ? "" : line.substr(comma + 1);
        p.pts = (pts.empty() || pts == "N/A") ? -1 : std::stod(pts);
        p.key = !flags.empty() && flags[0] == 'K';
        result.push_back(p);
    }
    return result;
}

std::optional<double> Probe::FirstFrameTime(const std::string& path, int streamIndex)
{
    auto out = Run("ffprobe -v error -select_streams " + std::to_string(streamIndex) +
                   " -read_intervals %+#8 -show_entries frame=best_effort_timestamp_time -of csv=p=0 " + Quote(path));
    if (!out) return std::nullopt;
    // The first packets may give no frame (codec delay, skipped priming).
    std::istringstream lines(*out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.rfind("N/A", 0) != 0) return std::stod(line);
    }
    return std::nullopt;
}

Probe Probe::Format(const std::string& path)
{
    Probe p;
    auto out = Run("ffprobe -v error -show_entries format=start_time,duration -of csv=p=0 " + Quote(path));
    if (!out) return p;
    const size_t comma = out->find(',');
    const std::string start = out->substr(0, comma);
    const std::string dur = comma == std::string::npos ? "" : out->substr(comma + 1);
    if (!start.empty() && start != "N/A") p.startTime = std::stod(start);
    if (!dur.empty() && dur.rfind("N/A", 0) != 0) p.duration = std::stod(dur);
    return p;
}

}  // namespace lavtest
