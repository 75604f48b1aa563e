// The three modules loaded from their files, creating their filters through
// DllGetClassObject, wired by hand into graphs with an async file source and
// the capture renderers, and played to the end, seeked and stopped.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/com/ComApi.h"
#include "platform/lavfilters/core/Demuxer.h"
#include "platform/lavfilters/filters/LavGuids.h"
#include "platform/lavfilters/filters/LavSystemFilters.h"
#include "platform/lavfilters/filters/LavMediaTypes.h"
#include "playback/NullRenderer.h"
#include "tests/dshow/TestFilters.h"
#include "tests/lavfilters/GraphHelpers.h"
#include "tests/lavfilters/TestMedia.h"

using namespace lavtest;
using testing_dshow::CTestGraph;
using testing_dshow::WaitUntil;
using namespace std::chrono_literals;

namespace {

// A file behind IAsyncReader (SyncRead and Length), as the system async
// file source offers it.
class CTestFileSource;

class CTestAsyncPin final : public CBasePin, public IAsyncReader
{
public:
    CTestAsyncPin(CBaseFilter* filter, CCritSec* lock, int fd)
        : CBasePin("CTestAsyncPin", filter, lock, nullptr, u"Output", PINDIR_OUTPUT), m_fd(fd)
    {
    }
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return NonDelegatingQueryInterface(riid, ppv); }
    ULONG AddRef() override { return CBasePin::AddRef(); }
    ULONG Release() override { return CBasePin::Release(); }
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IAsyncReader) return GetInterface(static_cast<IAsyncReader*>(this), ppv);
        return CBasePin::NonDelegatingQueryInterface(riid, ppv);
    }
    HRESULT CheckMediaType(const CMediaType* pmt) override
    {
        return pmt->majortype == MEDIATYPE_Stream ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT GetMediaType(int position, CMediaType* pmt) override
    {
        if (position > 0) return VFW_S_NO_MORE_ITEMS;
        *pmt = CMediaType(MEDIATYPE_Stream);
        return S_OK;
    }
    HRESULT RequestAllocator(IMemAllocator*, ALLOCATOR_PROPERTIES*, IMemAllocator**) override { return E_NOTIMPL; }
    HRESULT Request(IMediaSample*, DWORD_PTR) override { return E_NOTIMPL; }
    HRESULT WaitForNext(DWORD, IMediaSample**, DWORD_PTR*) override { return E_NOTIMPL; }
    HRESULT SyncReadAligned(IMediaSample*) override { return E_NOTIMPL; }
    HRESULT SyncRead(LONGLONG pos, LONG length, BYTE* buffer) override
    {
        ++reads;
        ssize_t n = ::pread(m_fd, buffer, static_cast<size_t>(length), pos);
        if (n < 0) return E_FAIL;
        return n == length ? S_OK : S_FALSE;
    }
    HRESULT Length(LONGLONG* total, LONGLONG* available) override
    {
        const off_t size = ::lseek(m_fd, 0, SEEK_END);
        *total = *available = size;
        return S_OK;
    }
    // IAsyncReader's flush (the pin is an output pin: IPin's has no use).
    HRESULT BeginFlush() override { return S_OK; }
    HRESULT EndFlush() override { return S_OK; }
    HRESULT EndOfStream() override { return E_UNEXPECTED; }

    std::atomic<int> reads{0};

private:
    int m_fd;
};

class CTestFileSource final : public CBaseFilter
{
public:
    explicit CTestFileSource(const std::string& path)
        : CBaseFilter("CTestFileSource", &m_lock, GUID_NULL), m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)),
          m_pin(std::make_unique<CTestAsyncPin>(this, &m_lock, m_fd))
    {
    }
    ~CTestFileSource() override
    {
        m_pin.reset();
        if (m_fd >= 0) ::close(m_fd);
    }
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? m_pin.get() : nullptr; }
    CTestAsyncPin* Pin() { return m_pin.get(); }

private:
    CCritSec m_lock;
    int m_fd;
    std::unique_ptr<CTestAsyncPin> m_pin;
};

ComPtr<IPin> PinOf(IBaseFilter* filter, PIN_DIRECTION dir, int index = 0)
{
    ComPtr<IEnumPins> pins;
    filter->EnumPins(pins.ReleaseAndGetAddressOf());
    IPin* raw = nullptr;
    ULONG got = 0;
    while (pins->Next(1, &raw, &got) == S_OK && got == 1) {
        ComPtr<IPin> pin = ComPtr<IPin>::Attach(raw);
        PIN_DIRECTION d;
        pin->QueryDirection(&d);
        if (d == dir && index-- == 0) return pin;
    }
    return nullptr;
}

// Subtype code of the eleven, as the video renderer records it.
int CodeFor(const char* subtype)
{
    const std::string s = subtype;
    return s == "I420" ? 12 : s == "NV12" ? 22 : s == "YUY2" ? 6 : s == "RGB32" ? 2 : -1;
}

class LavFilterGraphTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { av_log_set_level(AV_LOG_FATAL); }

    void SetUp() override
    {
        ASSERT_TRUE(m_splitterModule.Loaded());
        ASSERT_TRUE(m_videoModule.Loaded());
        ASSERT_TRUE(m_audioModule.Loaded());
    }

    // Source -> splitter -> decoders -> capture renderers for `path`.
    // False when the splitter refuses the file.
    // With `system`, the framework's own filters from the class registry
    // instead of the modules.
    bool Build(const std::string& path, bool system = false)
    {
        m_graph = ComPtr<CTestGraph>(new CTestGraph());
        m_source = ComPtr<CTestFileSource>(new CTestFileSource(path));
        if (system) {
            EXPECT_EQ(lav::RegisterSystemFilters(), S_OK);
            CoCreateInstance(CLSID_SystemSplitter, nullptr, CLSCTX_INPROC, IID_IBaseFilter,
                             m_splitter.ReleaseAndGetVoidAddress());
            CoCreateInstance(CLSID_SystemVideoDecoder, nullptr, CLSCTX_INPROC, IID_IBaseFilter,
                             m_video.ReleaseAndGetVoidAddress());
            CoCreateInstance(CLSID_SystemAudioDecoder, nullptr, CLSCTX_INPROC, IID_IBaseFilter,
                             m_audio.ReleaseAndGetVoidAddress());
        } else {
            m_splitter = m_splitterModule.Create(CLSID_LAVSplitter);
            m_video = m_videoModule.Create(CLSID_LAVVideo);
            m_audio = m_audioModule.Create(CLSID_LAVAudio);
        }
        HRESULT hr = S_OK;
        m_videoRenderer = ComPtr<CNullRenderer>(new CNullRenderer(&m_sink, 1, &hr));
        m_audioRenderer = ComPtr<CNullRenderer>(new CNullRenderer(&m_sink, 0, &hr));
        EXPECT_TRUE(m_splitter && m_video && m_audio);
        m_filters = {m_source.Get(), m_splitter.Get(), m_video.Get(), m_audio.Get(), m_videoRenderer.Get(),
                     m_audioRenderer.Get()};
        for (IBaseFilter* f : m_filters) f->JoinFilterGraph(m_graph.Get(), u"f");

        ComPtr<IPin> splitterIn = PinOf(m_splitter.Get(), PINDIR_INPUT);
        if (FAILED(m_source->Pin()->Connect(splitterIn.Get(), nullptr))) return false;
        m_renderers = 0;
        for (int i = 0;; ++i) {
            ComPtr<IPin> out = PinOf(m_splitter.Get(), PINDIR_OUTPUT, i);
            if (!out) break;
            // Each stream through the decoder that takes it.
            for (IBaseFilter* dec : {m_video.Get(), m_audio.Get()}) {
                ComPtr<IPin> in = PinOf(dec, PINDIR_INPUT);
                if (in->ConnectedTo(ComPtr<IPin>().ReleaseAndGetAddressOf()) == S_OK) continue;
                if (FAILED(out->Connect(in.Get(), nullptr))) continue;
                IBaseFilter* renderer = dec == m_video.Get() ? static_cast<IBaseFilter*>(m_videoRenderer.Get())
                                                             : static_cast<IBaseFilter*>(m_audioRenderer.Get());
                EXPECT_EQ(PinOf(dec, PINDIR_OUTPUT)->Connect(PinOf(renderer, PINDIR_INPUT).Get(), nullptr), S_OK);
                ++m_renderers;
                break;
            }
        }
        return true;
    }
    void Run()
    {
        // A renderer answers S_FALSE to Pause until its first sample is there.
        for (auto it = m_filters.rbegin(); it != m_filters.rend(); ++it) ASSERT_TRUE(SUCCEEDED((*it)->Pause()));
        for (auto it = m_filters.rbegin(); it != m_filters.rend(); ++it) ASSERT_TRUE(SUCCEEDED((*it)->Run(0)));
    }
    void Stop()
    {
        for (auto it = m_filters.rbegin(); it != m_filters.rend(); ++it) (*it)->Stop();
    }
    void TearDown() override
    {
        Stop();
        for (IBaseFilter* f : m_filters) f->JoinFilterGraph(nullptr, nullptr);
        // Disconnect everything so the filters can go.
        for (IBaseFilter* f : m_filters) {
            ComPtr<IEnumPins> pins;
            f->EnumPins(pins.ReleaseAndGetAddressOf());
            IPin* raw = nullptr;
            ULONG got = 0;
            while (pins->Next(1, &raw, &got) == S_OK && got == 1) {
                ComPtr<IPin> pin = ComPtr<IPin>::Attach(raw);
                pin->Disconnect();
            }
        }
        m_filters.clear();
        m_videoRenderer = nullptr;
        m_audioRenderer = nullptr;
        m_source = nullptr;
        m_pushSource = nullptr;
        m_splitter = m_video = m_audio = nullptr;
        m_graph = nullptr;
    }
    bool WaitComplete(int count, std::chrono::milliseconds limit = 20s)
    {
        return WaitUntil([&] { return m_graph->Count(EC_COMPLETE) >= count; }, limit);
    }
    ComPtr<IMediaSeeking> Seeking()
    {
        ComPtr<IMediaSeeking> seeking;
        PinOf(m_splitter.Get(), PINDIR_OUTPUT).As(&seeking);
        return seeking;
    }

    Module m_splitterModule{"LAVSplitter.ax"};
    Module m_videoModule{"LAVVideo.ax"};
    Module m_audioModule{"LAVAudio.ax"};
    CountingSink m_sink;
    ComPtr<CTestGraph> m_graph;
    ComPtr<CTestFileSource> m_source;
    ComPtr<IBaseFilter> m_pushSource;  // a test's own source instead of the file
    ComPtr<IBaseFilter> m_splitter, m_video, m_audio;
    ComPtr<CNullRenderer> m_videoRenderer, m_audioRenderer;
    std::vector<IBaseFilter*> m_filters;
    int m_renderers = 0;
};

TEST_F(LavFilterGraphTest, ModulesServeOnlyTheirClassAndTrackTheirObjects)
{
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(m_splitterModule.GetClassObject(CLSID_LAVVideo, &factory), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_FALSE(factory);
    EXPECT_EQ(m_videoModule.GetClassObject(CLSID_LAVSplitter, &factory), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(m_audioModule.GetClassObject(GUID_NULL, &factory), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(m_audioModule.CanUnloadNow(), S_OK);
    {
        ComPtr<IBaseFilter> audio = m_audioModule.Create(CLSID_LAVAudio);
        ASSERT_TRUE(audio);
        CLSID clsid{};
        audio->GetClassID(&clsid);
        EXPECT_EQ(clsid, CLSID_LAVAudio);
        EXPECT_EQ(m_audioModule.CanUnloadNow(), S_FALSE);  // the filter keeps it loaded
    }
    EXPECT_EQ(m_audioModule.CanUnloadNow(), S_OK);
    ASSERT_EQ(m_videoModule.GetClassObject(CLSID_LAVVideo, &factory), S_OK);
    ComPtr<IBaseFilter> aggregated;
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory.Get()), IID_IBaseFilter,
                                      aggregated.ReleaseAndGetVoidAddress()),
              CLASS_E_NOAGGREGATION);
    factory->LockServer(TRUE);
    factory = nullptr;
    EXPECT_EQ(m_videoModule.CanUnloadNow(), S_FALSE);  // server lock
    ASSERT_EQ(m_videoModule.GetClassObject(CLSID_LAVVideo, &factory), S_OK);
    factory->LockServer(FALSE);
    factory = nullptr;
    EXPECT_EQ(m_videoModule.CanUnloadNow(), S_OK);
}

struct PlayCase
{
    const char* name;
    const char* ext;
    std::string args;
    bool video, audio;
    const char* subtype;
    int rate, channels, bits;
};

std::ostream& operator<<(std::ostream& os, const PlayCase& c)
{
    return os << c.name;
}

std::vector<PlayCase> PlayCases()
{
    const std::string v = kVideoSource;
    return {
        {"H264_AAC_MP4", ".mp4", H264AacArgs(), true, true, "I420", 44100, 1, 16},
        {"VP9_Opus_WebM", ".webm",
         v + AudioSource(48000) + "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -g 25 -c:a libopus -b:a 48k ", true,
         true, "I420", 48000, 1, 16},
        {"WMV2_WMA2_ASF", ".wmv", v + AudioSource(44100) + "-c:v wmv2 -g 25 -c:a wmav2 -b:a 64k ", true, true, "I420",
         44100, 1, 16},
        {"PCM_U8_Mono_WAV", ".wav", AudioSource(22050) + "-ac 1 -c:a pcm_u8 ", false, true, "", 22050, 1, 8},
        {"MSADPCM_WAV", ".wav", AudioSource(22050) + "-ac 2 -c:a adpcm_ms ", false, true, "", 22050, 2, 16},
        {"PNG_RGB_MKV_RGB32", ".mkv", v + "-c:v png -pix_fmt rgb24 ", true, false, "RGB32", 0, 0, 0},
    };
}

class PlayTest : public LavFilterGraphTest, public ::testing::WithParamInterface<PlayCase>
{
};

TEST_P(PlayTest, PlaysToTheEndThenSeeksToTheMiddle)
{
    const PlayCase& c = GetParam();
    const std::string path = MakeMedia(c.name, c.args, c.ext);
    ASSERT_TRUE(Build(path));
    ASSERT_EQ(m_renderers, int(c.video) + int(c.audio));
    Run();
    ASSERT_TRUE(WaitComplete(m_renderers)) << "end of stream did not arrive";

    // What the renderers recorded, and how much came through.
    {
        std::lock_guard lock(m_sink.m_mutex);
        if (c.video) {
            EXPECT_EQ(m_sink.videoFormat.width, 160);
            EXPECT_EQ(std::abs(m_sink.videoFormat.height), 120);
            EXPECT_EQ(m_sink.videoFormat.colorSpace, CodeFor(c.subtype));
            EXPECT_EQ(m_sink.pictures, 75);
        }
        if (c.audio) {
            EXPECT_EQ(m_sink.audioFormat.sampleRate, c.rate);
            EXPECT_EQ(m_sink.audioFormat.channels, c.channels);
            EXPECT_EQ(m_sink.audioFormat.bitsPerSample, c.bits);
            TempDir tmp;
            ASSERT_TRUE(lavtest::Run("ffmpeg -nostdin -v error -i '" + path + "' -map 0:a -f " +
                                     (c.bits == 8 ? "u8" : "s16le") + " '" + tmp.File("a.raw") + "'"));
            EXPECT_EQ(m_sink.audioBytes, static_cast<int64_t>(ReadAll(tmp.File("a.raw")).size()));
        }
    }
    LONGLONG duration = 0;
    ASSERT_EQ(Seeking()->GetDuration(&duration), S_OK);
    EXPECT_NEAR(static_cast<double>(duration) / 1e7, 3.0, 0.2);

    // Stopped, seek to the middle; playing again starts at the landing point.
    Stop();
    m_sink.Reset();
    LONGLONG target = duration / 2;
    ASSERT_EQ(Seeking()->SetPositions(&target, AM_SEEKING_AbsolutePositioning | AM_SEEKING_ReturnTime, nullptr,
                                      AM_SEEKING_NoPositioning),
              S_OK);
    EXPECT_LE(target, duration / 2);
    EXPECT_GT(target, 0);
    // Pictures from the landing key frame to the end, as ffprobe lists them
    // (video is stream 0 in these files).
    int expectedPictures = 0;
    if (c.video) {
        const double start = Probe::Format(path).startTime;
        for (const ProbePacket& p : Probe::Packets(path, 0))
            if (p.pts >= 0 && (p.pts - start) * 1e7 >= static_cast<double>(target) - 1e4) ++expectedPictures;
        EXPECT_GT(expectedPictures, 0);
    }
    const int completes = m_graph->Count(EC_COMPLETE);
    Run();
    ASSERT_TRUE(WaitComplete(completes + m_renderers));
    std::lock_guard lock(m_sink.m_mutex);
    if (c.video) {
        EXPECT_EQ(m_sink.pictures, expectedPictures);
    }
    if (c.audio) {
        EXPECT_GT(m_sink.audioBlocks, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(LavModules, PlayTest, ::testing::ValuesIn(PlayCases()),
                         [](const ::testing::TestParamInfo<PlayCase>& info) { return info.param.name; });

// H.264 in MPEG-TS, timed to follow each other when the files are joined:
// 6 s of 320x240 at 10 fps (longer than the splitter probes, so a joined
// file announces that size), then three pictures each of 1920x1080 and of
// 3840x2160.
std::string SizeSegment(int index)
{
    static const char* const kSizes[] = {"320x240", "1920x1080", "3840x2160"};
    static const char* const kTiming[] = {":rate=10:duration=6 -g 10 ", ":rate=25:duration=0.12 -g 3 -output_ts_offset 6 ",
                                          ":rate=25:duration=0.12 -g 3 -output_ts_offset 6.12 "};
    return MakeMedia(std::string("H264_TS_") + kSizes[index],
                     std::string("-f lavfi -i testsrc2=size=") + kSizes[index] + kTiming[index] +
                         "-c:v libx264 -preset ultrafast -crf 45 -pix_fmt yuv420p -bf 0 -f mpegts ",
                     ".ts");
}
constexpr int kSmallPictures = 60;

// Every picture reaches the renderer whole, at its own size, as I420.
void ExpectPictureSizes(CountingSink& sink, const std::vector<std::pair<int, int>>& expected)
{
    std::lock_guard lock(sink.m_mutex);
    ASSERT_EQ(sink.pictureSizes.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const auto [w, h] = expected[i];
        EXPECT_EQ(sink.pictureSizes[i][0], w) << "picture " << i;
        EXPECT_EQ(sink.pictureSizes[i][1], h) << "picture " << i;
        EXPECT_EQ(sink.pictureSizes[i][2], w * h * 3 / 2) << "picture " << i;
    }
    EXPECT_EQ(sink.videoFormat.colorSpace, 12);
}

TEST_F(LavFilterGraphTest, UltraHdClipPlaysAtItsSize)
{
    ASSERT_TRUE(Build(SizeSegment(2)));
    ASSERT_EQ(m_renderers, 1);
    Run();
    ASSERT_TRUE(WaitComplete(1, 60s));
    ExpectPictureSizes(m_sink, {{3840, 2160}, {3840, 2160}, {3840, 2160}});
}

TEST_F(LavFilterGraphTest, PictureSizeGrowingMidStreamKeepsEveryPicture)
{
    // 320x240, then 1920x1080, then 3840x2160 in one stream: the output
    // buffers agreed for the first size must follow the later ones.
    TempDir tmp;
    std::vector<uint8_t> joined;
    for (int i = 0; i < 3; ++i) {
        const std::vector<uint8_t> part = ReadAll(SizeSegment(i));
        ASSERT_FALSE(part.empty());
        joined.insert(joined.end(), part.begin(), part.end());
    }
    WriteAll(tmp.File("joined.ts"), joined);
    ASSERT_TRUE(Build(tmp.File("joined.ts")));
    ASSERT_EQ(m_renderers, 1);
    Run();
    ASSERT_TRUE(WaitComplete(1, 60s));
    std::vector<std::pair<int, int>> expected(kSmallPictures, {320, 240});
    expected.insert(expected.end(), 3, {1920, 1080});
    expected.insert(expected.end(), 3, {3840, 2160});
    ExpectPictureSizes(m_sink, expected);
}

// The video decoder fed packet by packet: MJPEG decodes each packet into one
// picture at once, so the test knows which picture meets the flush.
TEST_F(LavFilterGraphTest, SizeChangeMeetingAFlushReachesTheRendererWithTheNextPicture)
{
    std::vector<std::vector<BYTE>> packets;
    std::optional<CMediaType> type;
    for (const char* size : {"320x240", "640x480"}) {
        const std::string path = MakeMedia(std::string("MJPEG_") + size,
                                           std::string("-f lavfi -i testsrc2=size=") + size +
                                               ":rate=25:duration=0.12 -c:v mjpeg -pix_fmt yuvj420p ",
                                           ".mkv");
        std::string why;
        auto demuxer = lav::Demuxer::Open(lav::FileByteReader::Open(path), {}, &why);
        ASSERT_TRUE(demuxer && demuxer->VideoStream()) << why;
        if (!type) type = lav::MakeCompressedType(demuxer->VideoStream()->format);
        lav::DemuxPacket packet;
        while (demuxer->ReadPacket(packet) == lav::ReadStatus::Packet) {
            packets.emplace_back(packet.PackedSize());
            packet.PackTo(packets.back().data());
        }
    }
    ASSERT_EQ(packets.size(), 6u);
    m_graph = ComPtr<CTestGraph>(new CTestGraph());
    ComPtr<testing_dshow::CTestPushSource> source(new testing_dshow::CTestPushSource({*type}));
    m_pushSource = ComPtr<IBaseFilter>(source.Get());
    source->Pin()->bufferSize = 1 << 20;
    m_video = m_videoModule.Create(CLSID_LAVVideo);
    HRESULT hr = S_OK;
    m_videoRenderer = ComPtr<CNullRenderer>(new CNullRenderer(&m_sink, 1, &hr));
    m_filters = {source.Get(), m_video.Get(), m_videoRenderer.Get()};
    for (IBaseFilter* f : m_filters) f->JoinFilterGraph(m_graph.Get(), u"f");
    ASSERT_EQ(source->Pin()->Connect(PinOf(m_video.Get(), PINDIR_INPUT).Get(), nullptr), S_OK);
    ASSERT_EQ(PinOf(m_video.Get(), PINDIR_OUTPUT)->Connect(m_videoRenderer->InputPin(), nullptr), S_OK);
    for (auto it = m_filters.rbegin(); it != m_filters.rend(); ++it) ASSERT_TRUE(SUCCEEDED((*it)->Run(0)));
    auto push = [&](size_t i) {
        source->Start({{packets[i], {}, {}, {}}}, false);
        source->Join();
    };

    push(0);
    // A seek's flush reaches the renderer while the decoder hands over the
    // first 640x480 picture, which carries the new type: refused with it.
    m_videoRenderer->InputPin()->BeginFlush();
    push(3);
    m_videoRenderer->InputPin()->EndFlush();
    push(4);
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(m_sink.m_mutex);
        return m_sink.pictures == 2;
    }, 5s));
    ExpectPictureSizes(m_sink, {{320, 240}, {640, 480}});
}

TEST_F(LavFilterGraphTest, PacketsLargerThanTheSplitterBuffersStillArrive)
{
    // Small pictures, then a lossless 1920x1080 noise picture of about 3 MB:
    // more than the buffers sized for a 320x240 stream hold.
    const std::string small = SizeSegment(0);
    const std::string noise = MakeMedia(
        "H264_TS_noise_1080",
        "-f lavfi -i nullsrc=s=1920x1080:r=25:d=0.04,geq=lum='random(1)*255':cb=128:cr=128 -c:v libx264 "
        "-preset ultrafast -qp 0 -pix_fmt yuv420p -output_ts_offset 6 -f mpegts ",
        ".ts");
    TempDir tmp;
    std::vector<uint8_t> joined = ReadAll(small), tail = ReadAll(noise);
    ASSERT_GT(tail.size(), 2u << 20);
    joined.insert(joined.end(), tail.begin(), tail.end());
    WriteAll(tmp.File("joined.ts"), joined);
    ASSERT_TRUE(Build(tmp.File("joined.ts")));
    Run();
    ASSERT_TRUE(WaitComplete(1, 60s));
    std::vector<std::pair<int, int>> expected(kSmallPictures, {320, 240});
    expected.push_back({1920, 1080});
    ExpectPictureSizes(m_sink, expected);
}

TEST_F(LavFilterGraphTest, HighRateMultichannelSoundComesInBlocksTheHostTakes)
{
    // 7.1 at 384 kHz in packets of half a second (3 MB): larger than the
    // splitter's sound buffers, and a quarter second is 1.5 MB, past the
    // 1 MiB at which the host drops a block. Every byte must still arrive.
    const std::string path = MakeMedia("PCM_7_1_384k",
                                       "-f lavfi -i sine=frequency=440:sample_rate=384000:duration=1:"
                                       "samples_per_frame=192000 -ac 8 -c:a pcm_s16le ",
                                       ".mkv");
    ASSERT_TRUE(Build(path));
    ASSERT_EQ(m_renderers, 1);
    Run();
    ASSERT_TRUE(WaitComplete(1, 60s));
    std::lock_guard lock(m_sink.m_mutex);
    EXPECT_EQ(m_sink.audioFormat.channels, 8);
    EXPECT_EQ(m_sink.audioFormat.sampleRate, 384000);
    EXPECT_EQ(m_sink.audioBytes, 384000 * 8 * 2);
    EXPECT_LT(m_sink.largestAudioBlock, 1 << 20);
}

TEST_F(LavFilterGraphTest, SeekWhilePlayingFlushesAndCompletesAgain)
{
    // MPEG-2 at real pace would take 3 s; without a clock it runs flat out,
    // so seek repeatedly while it streams.
    ASSERT_TRUE(Build(MakeMedia("MPEG2_MP2_TS",
                                kVideoSource + AudioSource(48000) + "-c:v mpeg2video -q:v 5 -g 25 -c:a mp2 -b:a 128k ",
                                ".ts")));
    ASSERT_EQ(m_renderers, 2);
    Run();
    for (int i = 0; i < 5; ++i) {
        LONGLONG target = (i % 3) * 10'000'000LL;
        EXPECT_EQ(Seeking()->SetPositions(&target, AM_SEEKING_AbsolutePositioning | AM_SEEKING_ReturnTime, nullptr,
                                          AM_SEEKING_NoPositioning),
                  S_OK);
        // At or before the target; a target before the first key frame
        // lands on that one (10 ms in this file).
        EXPECT_LE(target, (i % 3) * 10'000'000LL + 500'000);
    }
    m_sink.Reset();
    LONGLONG start = 0;
    ASSERT_EQ(Seeking()->SetPositions(&start, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning), S_OK);
    // Completion arrives once the last segment has played.
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard lock(m_sink.m_mutex);
        return m_sink.pictures >= 75;
    }, 20s));
}

TEST_F(LavFilterGraphTest, StopWakesEveryThreadWaitingInAStalledGraph)
{
    // 500 small pictures and ~470 sound packets: more than the queues take,
    // so in a paused graph (renderers holding their first sample) the
    // delivery threads wait downstream and the demux thread on full queues.
    const std::string path = MakeMedia("H264_AAC_long",
        "-f lavfi -i testsrc2=size=64x48:rate=50:duration=10 " + AudioSource(48000).replace(
            AudioSource(48000).find("duration=3"), 10, "duration=10") +
        "-c:v libx264 -preset ultrafast -g 50 -c:a aac -b:a 32k ", ".mp4");
    ASSERT_TRUE(Build(path));
    ASSERT_EQ(m_renderers, 2);
    for (auto it = m_filters.rbegin(); it != m_filters.rend(); ++it) ASSERT_TRUE(SUCCEEDED((*it)->Pause()));
    FILTER_STATE state;
    ASSERT_EQ(m_videoRenderer->GetState(5000, &state), S_OK);  // preroll sample held
    ASSERT_EQ(m_audioRenderer->GetState(5000, &state), S_OK);
    // The source stops being read once every queue is full.
    int reads = -1;
    ASSERT_TRUE(WaitUntil([&] {
        const int now = m_source->Pin()->reads.load();
        if (now == reads) return true;
        reads = now;
        std::this_thread::sleep_for(50ms);
        return false;
    }, 10s));
    {
        std::lock_guard lock(m_sink.m_mutex);
        EXPECT_EQ(m_sink.pictures, 0);  // paused: nothing rendered
    }
    auto stopping = std::async(std::launch::async, [&] { Stop(); });
    ASSERT_EQ(stopping.wait_for(5s), std::future_status::ready) << "a thread stayed blocked";

    // Playing again (no graph manager to seek back to where it stopped)
    // plays from the segment start to the end.
    Run();
    ASSERT_TRUE(WaitComplete(2));
    std::lock_guard lock(m_sink.m_mutex);
    EXPECT_EQ(m_sink.pictures, 500);
}

// The system filters are the same code under their own identifiers: the
// WMV and MS-ADPCM files play through them with no module involved.
TEST_F(LavFilterGraphTest, SystemFiltersPlayWmvAndCompressedWave)
{
    struct
    {
        const char* name;
        const char* ext;
        std::string args;
        int renderers;
    } files[] = {
        {"WMV2_WMA2_ASF", ".wmv", kVideoSource + AudioSource(44100) + "-c:v wmv2 -g 25 -c:a wmav2 -b:a 64k ", 2},
        {"MSADPCM_WAV", ".wav", AudioSource(22050) + "-ac 2 -c:a adpcm_ms ", 1},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        m_sink.Reset();
        ASSERT_TRUE(Build(MakeMedia(f.name, f.args, f.ext), true));
        CLSID clsid{};
        m_splitter->GetClassID(&clsid);
        EXPECT_EQ(clsid, CLSID_SystemSplitter);
        m_audio->GetClassID(&clsid);
        EXPECT_EQ(clsid, CLSID_SystemAudioDecoder);
        ASSERT_EQ(m_renderers, f.renderers);
        Run();
        ASSERT_TRUE(WaitComplete(f.renderers));
        {
            std::lock_guard lock(m_sink.m_mutex);
            EXPECT_EQ(m_sink.pictures, f.renderers == 2 ? 75 : 0);
            EXPECT_GT(m_sink.audioBlocks, 0);
        }
        TearDown();
    }
    ASSERT_EQ(lav::SystemFilters().size(), 3u);
    EXPECT_EQ(lav::SystemFilters()[0].info.name, u"System Splitter");
    EXPECT_EQ(lav::SystemFilters()[1].info.name, u"System Video Decoder");
    EXPECT_EQ(lav::SystemFilters()[2].info.name, u"System Audio Decoder");
}

// Behind a WAVE parser the audio decoder sees a WAVEFORMATEX, not the
// splitter's format block.
TEST_F(LavFilterGraphTest, AudioDecoderTakesWaveFormatTypesOfOtherSources)
{
    ComPtr<IBaseFilter> audio = m_audioModule.Create(CLSID_LAVAudio);
    ComPtr<IPin> in = PinOf(audio.Get(), PINDIR_INPUT);
    auto wave = [](WORD tag, WORD channels, WORD bits, std::vector<uint8_t> extra) {
        CMediaType mt(MEDIATYPE_Audio);
        mt.SetSubtype(FourCCGuid(tag));
        mt.SetFormatType(FORMAT_WaveFormatEx);
        std::vector<uint8_t> block(sizeof(WAVEFORMATEX) + extra.size());
        WAVEFORMATEX wfx{tag, channels, 22050, 0, static_cast<WORD>(tag == 2 ? 1024 : channels * bits / 8), bits,
                         static_cast<WORD>(extra.size())};
        std::memcpy(block.data(), &wfx, sizeof(wfx));
        std::copy(extra.begin(), extra.end(), block.begin() + sizeof(WAVEFORMATEX));
        mt.SetFormat(block.data(), static_cast<ULONG>(block.size()));
        return mt;
    };
    // MS-ADPCM with its coefficient table, as a WAVE file carries it.
    std::vector<uint8_t> adpcmExtra = {0xF4, 0x07, 0x07, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFF,
                                       0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x40, 0x00, 0xF0, 0x00, 0x00, 0x00,
                                       0xCC, 0x01, 0x30, 0xFF, 0x88, 0x01, 0x18, 0xFF};
    auto accept = [&](CMediaType mt) { return in->QueryAccept(&mt); };
    EXPECT_EQ(accept(wave(2, 2, 4, adpcmExtra)), S_OK);   // MS-ADPCM
    EXPECT_EQ(accept(wave(7, 1, 8, {})), S_OK);           // mu-law
    EXPECT_EQ(accept(wave(6, 1, 8, {})), S_OK);           // A-law
    EXPECT_NE(accept(wave(0x7777, 2, 16, {})), S_OK);     // unknown tag
    CMediaType cut = wave(7, 1, 8, {});
    cut.cbFormat = 10;  // shorter than WAVEFORMATEX
    EXPECT_NE(in->QueryAccept(&cut), S_OK);
    // The splitter's own block, damaged: refused, not read past.
    lav::StreamFormat f;
    f.kind = lav::MediaKind::Audio;
    f.codecId = AV_CODEC_ID_MP3;
    f.sampleRate = 44100;
    f.channels = 2;
    CMediaType ours = lav::MakeCompressedType(f);
    EXPECT_EQ(in->QueryAccept(&ours), S_OK);
    ours.cbFormat -= 1;
    EXPECT_NE(in->QueryAccept(&ours), S_OK);
}

TEST_F(LavFilterGraphTest, UnopenableFilesLeaveTheSplitterInputUnconnected)
{
    TempDir tmp;
    WriteAll(tmp.File("empty.mp4"), {});
    std::vector<uint8_t> noise(32768);
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    WriteAll(tmp.File("noise.mp4"), noise);
    for (const char* name : {"empty.mp4", "noise.mp4"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(Build(tmp.File(name)));
        ComPtr<IPin> peer;
        EXPECT_EQ(PinOf(m_splitter.Get(), PINDIR_INPUT)->ConnectedTo(peer.ReleaseAndGetAddressOf()),
                  VFW_E_NOT_CONNECTED);
        EXPECT_FALSE(PinOf(m_splitter.Get(), PINDIR_OUTPUT));
        TearDown();
    }
}

TEST_F(LavFilterGraphTest, CoverArtPlaysAsSoundOnly)
{
    const std::string cover = MakeMedia("cover", "-f lavfi -i color=c=red:size=64x64 -frames:v 1 ", ".png");
    const std::string path = MakeMedia("MP3_Cover",
        AudioSource(44100) + "-i '" + cover + "' -map 0:a -map 1:v -c:a libmp3lame -b:a 64k -c:v png "
        "-disposition:v attached_pic -id3v2_version 3 ", ".mp3");
    ASSERT_TRUE(Build(path));
    EXPECT_EQ(m_renderers, 1);
    EXPECT_FALSE(PinOf(m_splitter.Get(), PINDIR_OUTPUT, 1));
    Run();
    ASSERT_TRUE(WaitComplete(1));
    std::lock_guard lock(m_sink.m_mutex);
    EXPECT_EQ(m_sink.pictures, 0);
    EXPECT_GT(m_sink.audioBlocks, 0);
}

}  // namespace
