#pragma once
// Files that marlin-play writes from what the host sends: pictures as a
// YUV4MPEG2 stream (or raw frames one after the other), sound as a WAV file.
// Every write is checked, so a full disk is an error rather than a short file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace marlin::play {

struct FileCloser
{
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The output name that means standard output.
inline const std::string kStandardOutput = "-";
// `path` as messages name it: "standard output" for "-".
std::string OutputName(const std::string& path);

// --- YUV4MPEG2 ---
// The y4m colour-space tag for a picture layout ("420jpeg", "422"), or null
// when y4m cannot hold the layout (RGB, YVU9).
const char* Y4mChroma(int32_t code);
// "YUV4MPEG2 W320 H240 F25:1 Ip A1:1 C420jpeg\n"; 23, 29 and 59 pictures
// per second stand for the NTSC rates (24000:1001 ...).
std::string Y4mHeader(int32_t code, int width, int height, int framesPerSecond);
// One picture rearranged into y4m's planar order: Y, then Cb, then Cr.
// I420/IYUV stay as they are, YV12 swaps its chroma planes, NV12 is
// de-interleaved, YUY2/UYVY are unpacked to 4:2:2 planes. False when y4m
// cannot hold the layout or `size` does not fit the picture.
bool ToY4mPlanes(int32_t code, int width, int height, const uint8_t* data, size_t size,
                 std::vector<uint8_t>* planes);

class VideoFileWriter
{
public:
    // y4m when `wantY4m` and the layout fits in y4m; raw frames back to back
    // otherwise (IsY4m() tells which); "-" is standard output. Null with the
    // reason in *error; a reader that went away is named as such. On a
    // pipe or socket every picture is flushed as soon as it is written, so a
    // reader gets it whole when it arrives, not with the next one.
    static std::unique_ptr<VideoFileWriter> Open(const std::string& path, int32_t code, int width,
                                                 int height, int framesPerSecond, bool wantY4m,
                                                 std::string* error);
    bool WriteFrame(const uint8_t* data, size_t size, std::string* error);
    // A picture that goes into the output without passing through here: on
    // a pipe, when the picture is written as it comes (raw frames, or y4m of
    // a layout that y4m stores unchanged), what is buffered is written out
    // (y4m's "FRAME" line too) and the pipe's descriptor returned; -1
    // otherwise, and the picture goes through WriteFrame.
    int BeginMovedFrame();
    // After the picture went in: pipeError is 0 or the errno that the pipe gave.
    bool EndMovedFrame(int pipeError, std::string* error);
    // Flushes and closes; false with the reason when the data did not reach the file.
    bool Close(std::string* error);
    bool IsY4m() const { return m_bY4m; }
    uint64_t Frames() const { return m_frames; }

private:
    VideoFileWriter() = default;
    FilePtr m_file;
    std::string m_path;
    int32_t m_code = 0;
    int m_width = 0, m_height = 0;
    bool m_bY4m = false;
    bool m_bStreaming = false;  // a pipe or socket: each picture is flushed whole
    bool m_bPipe = false;
    uint64_t m_frames = 0;
    std::vector<uint8_t> m_planes;  // reused conversion buffer
};

// --- WAV ---
constexpr size_t kWavHeaderBytes = 44;
// The data length written when the output is a pipe and cannot be rewound.
constexpr uint32_t kWavStreamingDataBytes = 0xFFFFFFFFu - 36;
// The 44-byte header of a 16-bit PCM file holding `dataBytes` of sound.
std::vector<uint8_t> WavHeader(int sampleRate, int channels, uint32_t dataBytes);

class WavWriter
{
public:
    // "-" is standard output, written with streaming lengths.
    static std::unique_ptr<WavWriter> Open(const std::string& path, int sampleRate, int channels,
                                           std::string* error);
    bool Write(const uint8_t* data, size_t size, std::string* error);
    // Writes the final lengths into the header and closes.
    bool Close(std::string* error);
    uint64_t DataBytes() const { return m_dataBytes; }

private:
    WavWriter() = default;
    FilePtr m_file;
    std::string m_path;
    int m_sampleRate = 0, m_channels = 0;
    bool m_bSeekable = true;
    uint64_t m_dataBytes = 0;
};

}  // namespace marlin::play
