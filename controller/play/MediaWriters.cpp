#include "controller/play/MediaWriters.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "controller/play/PixelLayouts.h"
#include "playback/MediaFormat.h"

namespace marlin::play {

namespace {

constexpr int kPipeBytes = 1 << 20;  // the most an unprivileged process may ask by default

std::string Reason(const std::string& what, const std::string& path)
{
    if (errno == EPIPE) return "the reader of " + OutputName(path) + " went away";
    return what + " " + OutputName(path) + ": " + std::strerror(errno);
}

// "-" is standard output, through a stream of its own so that closing it
// reports whether everything reached the reader.
FilePtr OpenOutput(const std::string& path)
{
    if (path != kStandardOutput) return FilePtr(std::fopen(path.c_str(), "wb"));
    int fd = ::dup(STDOUT_FILENO);
    if (fd < 0) return nullptr;
    FilePtr file(::fdopen(fd, "wb"));
    if (!file) ::close(fd);
    return file;
}

void PutLe(std::vector<uint8_t>& bytes, size_t offset, uint32_t value, int size)
{
    for (int i = 0; i < size; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::string OutputName(const std::string& path)
{
    return path == kStandardOutput ? "standard output" : path;
}

const char* Y4mChroma(int32_t code)
{
    switch (code) {
    case ColorSpace::I420:
    case ColorSpace::IYUV:
    case ColorSpace::YV12:
    case ColorSpace::NV12: return "420jpeg";
    case ColorSpace::YUY2:
    case ColorSpace::UYVY: return "422";
    default: return nullptr;
    }
}

std::string Y4mHeader(int32_t code, int width, int height, int framesPerSecond)
{
    const char* chroma = Y4mChroma(code);
    // The host reports whole pictures per second, 29 for 29.97: those three
    // are taken for the NTSC rates.
    std::string rate;
    switch (framesPerSecond) {
    case 23: rate = "24000:1001"; break;
    case 29: rate = "30000:1001"; break;
    case 59: rate = "60000:1001"; break;
    default: rate = std::to_string(framesPerSecond > 0 ? framesPerSecond : 25) + ":1";
    }
    return "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F" + rate +
           " Ip A1:1 C" + (chroma ? chroma : "420jpeg") + "\n";
}

bool ToY4mPlanes(int32_t code, int width, int height, const uint8_t* data, size_t size,
                 std::vector<uint8_t>* planes)
{
    const PixelLayout* layout = FindPixelLayout(code);
    if (!Y4mChroma(code) || !layout || CheckPictureSize(*layout, width, height) ||
        size != PictureBytes(code, width, height))
        return false;
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    const size_t luma = w * h, cw = (w + 1) / 2, ch = (h + 1) / 2;
    // Y4M planes: Y, U, V, chroma rounded up at odd sizes like the layouts.
    const bool packed = code == ColorSpace::YUY2 || code == ColorSpace::UYVY;
    planes->resize(luma + 2 * cw * (packed ? h : ch));
    uint8_t* out = planes->data();
    switch (code) {
    case ColorSpace::I420:
    case ColorSpace::IYUV: std::memcpy(out, data, size); return true;
    case ColorSpace::YV12: {
        size_t chroma = cw * ch;
        std::memcpy(out, data, luma);
        std::memcpy(out + luma, data + luma + chroma, chroma);  // U lies second in YV12
        std::memcpy(out + luma + chroma, data + luma, chroma);
        return true;
    }
    case ColorSpace::NV12: {
        size_t chroma = cw * ch;
        std::memcpy(out, data, luma);
        const uint8_t* uv = data + luma;
        for (size_t i = 0; i < chroma; ++i) {
            out[luma + i] = uv[2 * i];
            out[luma + chroma + i] = uv[2 * i + 1];
        }
        return true;
    }
    case ColorSpace::YUY2:
    case ColorSpace::UYVY: {
        // Byte offsets of Y0, U, Y1, V inside each 4-byte pixel pair; an odd
        // line's last pair has no second pixel.
        const bool yuy2 = code == ColorSpace::YUY2;
        const int y0 = yuy2 ? 0 : 1, u = yuy2 ? 1 : 0, y1 = yuy2 ? 2 : 3, v = yuy2 ? 3 : 2;
        uint8_t* yOut = out;
        uint8_t* uOut = out + luma;
        uint8_t* vOut = out + luma + cw * h;
        for (size_t row = 0; row < h; ++row) {
            const uint8_t* line = data + row * 4 * cw;
            for (size_t pair = 0; pair < cw; ++pair) {
                const uint8_t* p = line + pair * 4;
                yOut[row * w + 2 * pair] = p[y0];
                if (2 * pair + 1 < w) yOut[row * w + 2 * pair + 1] = p[y1];
                uOut[row * cw + pair] = p[u];
                vOut[row * cw + pair] = p[v];
            }
        }
        return true;
    }
    default: return false;
    }
}

std::unique_ptr<VideoFileWriter> VideoFileWriter::Open(const std::string& path, int32_t code,
                                                       int width, int height, int framesPerSecond,
                                                       bool wantY4m, std::string* error)
{
    std::unique_ptr<VideoFileWriter> writer(new VideoFileWriter);
    writer->m_file = OpenOutput(path);
    if (!writer->m_file) {
        if (error) *error = Reason("cannot create", path);
        return nullptr;
    }
    writer->m_path = path;
    writer->m_code = code;
    writer->m_width = width;
    writer->m_height = height;
    writer->m_bY4m = wantY4m && Y4mChroma(code) != nullptr;
    struct stat st{};
    writer->m_bStreaming = fstat(fileno(writer->m_file.get()), &st) == 0 &&
                           (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode));
    writer->m_bPipe = writer->m_bStreaming && S_ISFIFO(st.st_mode);
    // A pipe that holds a whole picture or more takes it in a few calls, not
    // one per 64 KiB; a larger one, or one the system allows no more, stays as it is.
    const int fd = fileno(writer->m_file.get());
    if (writer->m_bPipe && fcntl(fd, F_GETPIPE_SZ) < kPipeBytes) fcntl(fd, F_SETPIPE_SZ, kPipeBytes);
    if (writer->m_bY4m) {
        std::string header = Y4mHeader(code, width, height, framesPerSecond);
        if (std::fwrite(header.data(), 1, header.size(), writer->m_file.get()) != header.size()) {
            if (error) *error = Reason("cannot write", path);
            return nullptr;
        }
    }
    return writer;
}

bool VideoFileWriter::WriteFrame(const uint8_t* data, size_t size, std::string* error)
{
    if (!m_file) {
        if (error) *error = m_path + " is closed";
        return false;
    }
    if (m_bY4m) {
        if (!ToY4mPlanes(m_code, m_width, m_height, data, size, &m_planes)) {
            if (error)
                *error = "a picture of " + std::to_string(size) + " bytes does not fit " +
                         std::to_string(m_width) + "x" + std::to_string(m_height);
            return false;
        }
        static const char kFrame[] = "FRAME\n";
        if (std::fwrite(kFrame, 1, 6, m_file.get()) != 6 ||
            std::fwrite(m_planes.data(), 1, m_planes.size(), m_file.get()) != m_planes.size()) {
            if (error) *error = Reason("cannot write", m_path);
            return false;
        }
    } else if (size > 0 && std::fwrite(data, 1, size, m_file.get()) != size) {
        if (error) *error = Reason("cannot write", m_path);
        return false;
    }
    if (m_bStreaming && std::fflush(m_file.get()) != 0) {
        if (error) *error = Reason("cannot write", m_path);
        return false;
    }
    ++m_frames;
    return true;
}

int VideoFileWriter::BeginMovedFrame()
{
    if (!m_file || !m_bPipe) return -1;
    if (m_bY4m) {
        if (m_code != ColorSpace::I420 && m_code != ColorSpace::IYUV) return -1;
        if (std::fwrite("FRAME\n", 1, 6, m_file.get()) != 6) return -1;
    }
    // A failure here shows again, with its reason, where the picture is written.
    if (std::fflush(m_file.get()) != 0) return -1;
    return fileno(m_file.get());
}

bool VideoFileWriter::EndMovedFrame(int pipeError, std::string* error)
{
    if (pipeError != 0) {
        errno = pipeError;
        if (error) *error = Reason("cannot write", m_path);
        return false;
    }
    ++m_frames;
    return true;
}

bool VideoFileWriter::Close(std::string* error)
{
    if (!m_file) return true;
    std::FILE* file = m_file.release();
    bool ok = std::fflush(file) == 0;
    ok = std::fclose(file) == 0 && ok;
    if (!ok && error) *error = Reason("cannot write", m_path);
    return ok;
}

std::vector<uint8_t> WavHeader(int sampleRate, int channels, uint32_t dataBytes)
{
    std::vector<uint8_t> h(kWavHeaderBytes, 0);
    const uint32_t blockAlign = static_cast<uint32_t>(channels) * 2;
    std::memcpy(&h[0], "RIFF", 4);
    PutLe(h, 4, 36 + dataBytes, 4);
    std::memcpy(&h[8], "WAVE", 4);
    std::memcpy(&h[12], "fmt ", 4);
    PutLe(h, 16, 16, 4);  // size of the PCM format chunk
    PutLe(h, 20, 1, 2);   // WAVE_FORMAT_PCM
    PutLe(h, 22, static_cast<uint32_t>(channels), 2);
    PutLe(h, 24, static_cast<uint32_t>(sampleRate), 4);
    PutLe(h, 28, static_cast<uint32_t>(sampleRate) * blockAlign, 4);
    PutLe(h, 32, blockAlign, 2);
    PutLe(h, 34, 16, 2);
    std::memcpy(&h[36], "data", 4);
    PutLe(h, 40, dataBytes, 4);
    return h;
}

std::unique_ptr<WavWriter> WavWriter::Open(const std::string& path, int sampleRate, int channels,
                                           std::string* error)
{
    std::unique_ptr<WavWriter> writer(new WavWriter);
    writer->m_file = OpenOutput(path);
    if (!writer->m_file) {
        if (error) *error = Reason("cannot create", path);
        return nullptr;
    }
    writer->m_path = path;
    writer->m_sampleRate = sampleRate;
    writer->m_channels = channels;
    // Lengths are filled in at Close; a file cut short still has a valid
    // header. A pipe cannot be rewound: it gets the largest lengths, which
    // readers take as "until the end of the stream".
    struct stat st{};
    writer->m_bSeekable = fstat(fileno(writer->m_file.get()), &st) == 0 && S_ISREG(st.st_mode);
    auto header = WavHeader(sampleRate, channels, writer->m_bSeekable ? 0 : kWavStreamingDataBytes);
    if (std::fwrite(header.data(), 1, header.size(), writer->m_file.get()) != header.size()) {
        if (error) *error = Reason("cannot write", path);
        return nullptr;
    }
    return writer;
}

bool WavWriter::Write(const uint8_t* data, size_t size, std::string* error)
{
    if (!m_file) {
        if (error) *error = m_path + " is closed";
        return false;
    }
    // The RIFF length field is 32 bits.
    if (m_dataBytes + size > std::numeric_limits<uint32_t>::max() - 36) {
        if (error) *error = m_path + ": sound longer than a WAV file can hold";
        return false;
    }
    if (size > 0 && std::fwrite(data, 1, size, m_file.get()) != size) {
        if (error) *error = Reason("cannot write", m_path);
        return false;
    }
    m_dataBytes += size;
    return true;
}

bool WavWriter::Close(std::string* error)
{
    if (!m_file) return true;
    std::FILE* file = m_file.release();
    auto header = WavHeader(m_sampleRate, m_channels, static_cast<uint32_t>(m_dataBytes));
    bool ok = !m_bSeekable || (std::fseek(file, 0, SEEK_SET) == 0 &&
                               std::fwrite(header.data(), 1, header.size(), file) == header.size());
    ok = std::fflush(file) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    if (!ok && error) *error = Reason("cannot write", m_path);
    return ok;
}

}  // namespace marlin::play
