// A file's bytes through the engine: the splitter and decoders modules, the
// capture renderers, a sink that reads every sample. Bounded in time and in
// samples so that each input stays short.
#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz/entries/Check.h"
#include "fuzz/entries/FuzzEntries.h"
#include "platform/com/ComApi.h"
#include "platform/os/Unicode.h"
#include "playback/MultiMediaPlay.h"

namespace marlin::fuzz {

const char* const kMediaExtensions[] = {".mp4", ".mkv", ".ts", ".avi", ".wav", ".flv", ".wmv", ".mp3", ".ogg"};
const size_t kMediaExtensionCount = std::size(kMediaExtensions);

namespace {

constexpr auto kPlayLimit = std::chrono::milliseconds(1500);
constexpr int kSampleLimit = 60;
// Samples after which playback jumps back to the start once.
constexpr int kSeekAfter = 4;

class Sink : public IRendererDataSink
{
public:
    void OnDateReceive(bool isVideo, const MediaFormat* format, const uint8_t* data, int32_t length) override
    {
        FUZZ_CHECK(format != nullptr, "a sample without a format");
        FUZZ_CHECK(length >= 0, "a sample of %d bytes", length);
        FUZZ_CHECK(data != nullptr || length == 0, "a sample of %d bytes without data", length);
        // Reads the whole sample, as the dialog's converters do.
        unsigned sum = 0;
        for (int32_t i = 0; i < length; ++i) sum += data[i];
        m_checksum.fetch_add(sum);
        (isVideo ? m_video : m_audio).fetch_add(1);
        Notify();
    }
    void OnPlayComplete() override
    {
        m_complete.store(true);
        Notify();
    }
    bool Enough() const { return m_complete.load() || m_video.load() + m_audio.load() >= kSampleLimit; }
    int Samples() const { return m_video.load() + m_audio.load(); }
    template <class Clock>
    void WaitUntil(typename Clock::time_point deadline, std::chrono::milliseconds step)
    {
        std::unique_lock<std::mutex> hold(m_lock);
        const auto until = std::min(deadline, Clock::now() + step);
        m_cond.wait_until(hold, until, [&] { return Enough(); });
    }

private:
    void Notify()
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_cond.notify_all();
    }
    std::atomic<int> m_video{0}, m_audio{0};
    std::atomic<unsigned> m_checksum{0};
    std::atomic<bool> m_complete{false};
    std::mutex m_lock;
    std::condition_variable m_cond;
};

std::string& TempDir()
{
    static std::string dir = [] {
        char tmpl[] = "/tmp/marlin-fuzz-media-XXXXXX";
        const char* made = ::mkdtemp(tmpl);
        FUZZ_CHECK(made != nullptr, "no temporary folder");
        return std::string(made);
    }();
    return dir;
}

struct TempFile
{
    std::string path;
    ~TempFile()
    {
        if (!path.empty()) ::unlink(path.c_str());
    }
};

}  // namespace

void MediaInit()
{
    av_log_set_level(AV_LOG_QUIET);
    // A module unloaded after each input would take its coverage counters
    // with it; one reference held here keeps all three mapped.
    for (const char* module : {"./LAVFilters/LAVSplitter.ax", "./LAVFilters/LAVVideo.ax", "./LAVFilters/LAVAudio.ax"})
        FUZZ_CHECK(::dlopen(module, RTLD_NOW | RTLD_LOCAL) != nullptr, "cannot load %s (run in the bin folder): %s",
                   module, ::dlerror());
    CoInitialize(nullptr);
    TempDir();
}

int MediaOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    TempFile file;
    file.path = TempDir() + "/input" + kMediaExtensions[data[0] % kMediaExtensionCount];
    {
        FILE* f = std::fopen(file.path.c_str(), "wb");
        FUZZ_CHECK(f != nullptr, "cannot write %s", file.path.c_str());
        const size_t written = size > 1 ? std::fwrite(data + 1, 1, size - 1, f) : 0;
        FUZZ_CHECK(std::fclose(f) == 0 && written == size - 1, "cannot write %s", file.path.c_str());
    }

    Sink sink;
    {
        CMultiMediaPlay engine(false, &sink);
        const std::u16string path = Utf8ToUtf16(file.path);
        if (!engine.Create() || !engine.RenderFile(path.c_str())) return 0;
        MediaInfo info{};
        engine.GetMediaInfo(info);
        if (!engine.Play()) return 0;

        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + kPlayLimit;
        bool seeked = false;
        while (!sink.Enough() && Clock::now() < deadline) {
            sink.WaitUntil<Clock>(deadline, std::chrono::milliseconds(20));
            engine.HandleGraphEvents();  // delivers the completion
            int64_t position = 0;
            engine.GetCurrentPosition(&position);
            if (!seeked && sink.Samples() >= kSeekAfter) {
                // One jump back to the start exercises the seek path of the
                // splitter and the flushes of decoders and renderers.
                seeked = true;
                engine.SeekTo(0);
            }
        }
        engine.Pause();
        engine.Stop();
    }
    return 0;
}

}  // namespace marlin::fuzz
