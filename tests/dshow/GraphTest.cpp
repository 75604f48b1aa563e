// The filter graph manager with its system filters, on WAVE files written by
// the test and on synthetic filters.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/dshow/FilterGraph.h"
#include "platform/dshow/FilterRegistry.h"
#include "platform/dshow/MediaEventNotify.h"
#include "platform/dshow/Renderer.h"
#include "platform/dshow/Transform.h"
#include "platform/os/Unicode.h"
#include "tests/dshow/TestFilters.h"

using namespace testing_dshow;

namespace {

constexpr LONGLONG kMs = MILLISECONDS;

// Writes a PCM WAVE file of `seconds` with a ramp in it.
void WriteWave(const std::filesystem::path& path, int channels, int rate, int bits, double seconds)
{
    const uint32_t frames = static_cast<uint32_t>(rate * seconds);
    const uint32_t block = static_cast<uint32_t>(channels * bits / 8);
    const uint32_t dataSize = frames * block;
    std::ofstream f(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
    f.write("RIFF", 4);
    u32(36 + dataSize);
    f.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(static_cast<uint16_t>(channels));
    u32(static_cast<uint32_t>(rate));
    u32(static_cast<uint32_t>(rate) * block);
    u16(static_cast<uint16_t>(block));
    u16(static_cast<uint16_t>(bits));
    f.write("data", 4);
    u32(dataSize);
    for (uint32_t i = 0; i < dataSize; ++i) f.put(static_cast<char>(i * 7));
}

// An audio renderer that records what it renders, standing in for the
// capture renderer.
class CRecordingAudioRenderer final : public CBaseRenderer
{
public:
    struct Rendered
    {
        LONGLONG mediaStart;  // first sample frame
        LONG bytes;
        std::chrono::steady_clock::time_point at;  // when it was handed over
    };
    CRecordingAudioRenderer() : CBaseRenderer(GUID_NULL, "CRecordingAudioRenderer", nullptr, nullptr) {}
    HRESULT CheckMediaType(const CMediaType* mt) override
    {
        return mt->majortype == MEDIATYPE_Audio && mt->formattype == FORMAT_WaveFormatEx ? S_OK : E_INVALIDARG;
    }
    HRESULT DoRenderSample(IMediaSample* sample) override
    {
        LONGLONG s = -1, e = -1;
        sample->GetMediaTime(&s, &e);
        std::lock_guard<std::mutex> guard(m_lock);
        m_rendered.push_back({s, sample->GetActualDataLength(), std::chrono::steady_clock::now()});
        return S_OK;
    }
    std::vector<Rendered> Take()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return std::exchange(m_rendered, {});
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_rendered.size();
    }

private:
    std::mutex m_lock;
    std::vector<Rendered> m_rendered;
};

// A video renderer that accepts anything of MEDIATYPE_Video and never
// connects in these audio graphs.
class CIdleVideoRenderer final : public CBaseRenderer
{
public:
    CIdleVideoRenderer() : CBaseRenderer(GUID_NULL, "CIdleVideoRenderer", nullptr, nullptr) {}
    HRESULT CheckMediaType(const CMediaType* mt) override
    {
        return mt->majortype == MEDIATYPE_Video ? S_OK : E_INVALIDARG;
    }
    HRESULT DoRenderSample(IMediaSample*) override { return S_OK; }
};

struct PostedMessage
{
    OAHWND window;
    uint32_t message;
    intptr_t lParam;
};

class GraphTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_baseline = CBaseObject::ObjectsActive();
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        m_dir = std::filesystem::temp_directory_path() /
                ("marlin-graph-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
        SetNotifyMessagePoster([this](OAHWND w, uint32_t msg, uintptr_t, intptr_t lp) {
            std::lock_guard<std::mutex> guard(m_postLock);
            m_posted.push_back({w, msg, lp});
            return true;
        });
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC, IID_IGraphBuilder,
                                   m_graph.ReleaseAndGetVoidAddress()),
                  S_OK);
        m_control = m_graph.As<IMediaControl>();
        m_events = m_graph.As<IMediaEventEx>();
        m_seeking = m_graph.As<IMediaSeeking>();
    }
    void TearDown() override
    {
        if (m_control) m_control->Stop();
        m_control = nullptr;
        m_events = nullptr;
        m_seeking = nullptr;
        m_graph = nullptr;
        SetNotifyMessagePoster(nullptr);
        std::filesystem::remove_all(m_dir);
        CoUninitialize();
        EXPECT_EQ(CBaseObject::ObjectsActive(), m_baseline);  // the whole graph is gone
    }

    std::u16string Wave(const char* name, int channels, int rate, int bits, double seconds)
    {
        auto path = m_dir / name;
        WriteWave(path, channels, rate, bits, seconds);
        return Utf8ToUtf16(path.string());
    }
    std::vector<std::u16string> FilterNames()
    {
        std::vector<std::u16string> names;
        ComPtr<IEnumFilters> e;
        m_graph->EnumFilters(e.ReleaseAndGetAddressOf());
        IBaseFilter* f = nullptr;
        ULONG n = 0;
        while (e->Next(1, &f, &n) == S_OK) {
            FILTER_INFO info{};
            f->QueryFilterInfo(&info);
            names.push_back(info.achName);
            if (info.pGraph) info.pGraph->Release();
            f->Release();
        }
        return names;
    }
    bool Has(const std::u16string& name)
    {
        auto names = FilterNames();
        return std::find(names.begin(), names.end(), name) != names.end();
    }
    std::vector<PostedMessage> Posted()
    {
        std::lock_guard<std::mutex> guard(m_postLock);
        return m_posted;
    }
    OAFilterState State(LONG wait, HRESULT* hr = nullptr)
    {
        OAFilterState s = -1;
        HRESULT r = m_control->GetState(wait, &s);
        if (hr) *hr = r;
        return s;
    }
    LONGLONG Position()
    {
        LONGLONG pos = -1;
        EXPECT_EQ(m_seeking->GetCurrentPosition(&pos), S_OK);
        return pos;
    }
    // Adds a recording renderer named "Capture" before rendering.
    ComPtr<CRecordingAudioRenderer> AddCapture()
    {
        ComPtr<CRecordingAudioRenderer> r(new CRecordingAudioRenderer);
        EXPECT_EQ(m_graph->AddFilter(r.Get(), u"Capture"), S_OK);
        return r;
    }

    long m_baseline = 0;
    std::filesystem::path m_dir;
    std::mutex m_postLock;
    std::vector<PostedMessage> m_posted;
    ComPtr<IGraphBuilder> m_graph;
    ComPtr<IMediaControl> m_control;
    ComPtr<IMediaEventEx> m_events;
    ComPtr<IMediaSeeking> m_seeking;
};

}  // namespace

TEST_F(GraphTest, OffersItsInterfacesAndManagesFilterNames)
{
    for (const IID* iid : {&IID_IMediaControl, &IID_IMediaEventEx, &IID_IMediaSeeking, &IID_IBasicVideo,
                           &IID_IBasicAudio, &IID_IVideoWindow, &IID_IFilterGraph, &IID_IMediaEventSink}) {
        ComPtr<IUnknown> itf;
        EXPECT_EQ(m_graph->QueryInterface(*iid, itf.ReleaseAndGetVoidAddress()), S_OK) << GuidToString(*iid);
    }
    ComPtr<CIdleVideoRenderer> a(new CIdleVideoRenderer), b(new CIdleVideoRenderer);
    EXPECT_EQ(m_graph->AddFilter(a.Get(), u"Renderer"), S_OK);
    EXPECT_EQ(m_graph->AddFilter(b.Get(), u"Renderer"), VFW_S_DUPLICATE_NAME);
    EXPECT_EQ(m_graph->AddFilter(a.Get(), u"Again"), E_INVALIDARG);
    EXPECT_EQ(FilterNames(), (std::vector<std::u16string>{u"Renderer", u"Renderer 0001"}));
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(m_graph->FindFilterByName(u"Renderer 0001", found.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(found.Get(), static_cast<IBaseFilter*>(b.Get()));
    EXPECT_EQ(m_graph->RemoveFilter(a.Get()), S_OK);
    EXPECT_EQ(m_graph->RemoveFilter(a.Get()), VFW_E_NOT_FOUND);
    EXPECT_EQ(m_graph->FindFilterByName(u"Renderer", found.ReleaseAndGetAddressOf()), VFW_E_NOT_FOUND);
    FILTER_INFO info{};
    a->QueryFilterInfo(&info);
    EXPECT_EQ(info.pGraph, nullptr);
}

TEST_F(GraphTest, RenderFileBuildsSourceParserAndDefaultAudioRenderer)
{
    std::u16string file = Wave("stereo16.wav", 2, 44100, 16, 1.0);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    EXPECT_EQ(FilterNames(), (std::vector<std::u16string>{file, u"Wave Parser", u"Default DirectSound Device"}));
    LONGLONG duration = 0;
    ASSERT_EQ(m_seeking->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration / kMs, 1000);
    // Audio only: no video window anywhere.
    LONG visible = 0;
    EXPECT_EQ(m_graph.As<IVideoWindow>()->get_Visible(&visible), E_NOINTERFACE);
    LONG w = 0, h = 0;
    EXPECT_EQ(m_graph.As<IBasicVideo>()->GetVideoSize(&w, &h), E_NOINTERFACE);
    EXPECT_EQ(m_graph.As<IBasicAudio>()->put_Volume(-100), S_OK);
}

TEST_F(GraphTest, DurationOfAn8BitMonoFileToTheMillisecond)
{
    std::u16string file = Wave("mono8.wav", 1, 8000, 8, 0.7355);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    LONGLONG duration = 0;
    ASSERT_EQ(m_seeking->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration / kMs, 735);  // 5884 frames at 8 kHz
}

TEST_F(GraphTest, RenderFilePrefersARendererAlreadyInTheGraph)
{
    ComPtr<CIdleVideoRenderer> video(new CIdleVideoRenderer);
    m_graph->AddFilter(video.Get(), u"NULL Video Renderer");
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    std::u16string file = Wave("mono8.wav", 1, 8000, 8, 0.5);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    EXPECT_TRUE(capture->InputPin()->IsConnected());
    EXPECT_FALSE(Has(u"Default DirectSound Device"));
    // The video renderer stays in the graph, unconnected.
    EXPECT_TRUE(Has(u"NULL Video Renderer"));
    EXPECT_FALSE(video->InputPin()->IsConnected());
}

TEST_F(GraphTest, RenderFileFailsCleanlyOnFilesItCannotRender)
{
    auto garbage = m_dir / "garbage.bin";
    std::ofstream(garbage) << "this is not a media file at all";
    std::u16string path = Utf8ToUtf16(garbage.string());
    EXPECT_EQ(m_graph->RenderFile(path.c_str(), nullptr), VFW_E_CANNOT_RENDER);
    EXPECT_TRUE(FilterNames().empty());
    std::u16string wave24 = Wave("pcm24.wav", 2, 48000, 24, 0.1);
    EXPECT_EQ(m_graph->RenderFile(wave24.c_str(), nullptr), VFW_E_CANNOT_RENDER);
    std::u16string missing = Utf8ToUtf16((m_dir / "missing.wav").string());
    EXPECT_TRUE(FAILED(m_graph->RenderFile(missing.c_str(), nullptr)));
    EXPECT_TRUE(FilterNames().empty());
}

namespace {

MARLIN_DEFINE_GUID(CLSID_TestTwoStreamSplitter, 0x5E1F7E57, 0x0001, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                   0x01);
MARLIN_DEFINE_GUID(MEDIATYPE_TestData, 0x5E1F7E57, 0x0002, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02);

// A splitter for any stream with two outputs: PCM sound, which renders, and
// a data stream that nothing takes.
class CTwoStreamSplitter final : public CBaseFilter
{
    class CPullPin final : public CBasePin
    {
    public:
        CPullPin(CBaseFilter* f, CCritSec* l) : CBasePin("pull", f, l, nullptr, u"In", PINDIR_INPUT) {}
        HRESULT CheckMediaType(const CMediaType* mt) override
        {
            return mt->majortype == MEDIATYPE_Stream ? S_OK : S_FALSE;
        }
        HRESULT EndOfStream() override { return E_UNEXPECTED; }
        HRESULT BeginFlush() override { return E_UNEXPECTED; }
        HRESULT EndFlush() override { return E_UNEXPECTED; }
    };

public:
    CTwoStreamSplitter() : CBaseFilter("CTwoStreamSplitter", &m_lock, CLSID_TestTwoStreamSplitter)
    {
        m_in = std::make_unique<CPullPin>(this, &m_lock);
        m_audio = std::make_unique<CTestOutputPin>(this, &m_lock,
                                                   std::vector<CMediaType>{MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8)});
        CMediaType data(MEDIATYPE_TestData);
        data.SetSubtype(MEDIATYPE_TestData);
        data.SetFormatType(FORMAT_None);
        m_data = std::make_unique<CTestOutputPin>(this, &m_lock, std::vector<CMediaType>{data});
    }
    int GetPinCount() override { return 3; }
    CBasePin* GetPin(int n) override
    {
        CBasePin* pins[] = {m_in.get(), m_audio.get(), m_data.get()};
        return n >= 0 && n < 3 ? pins[n] : nullptr;
    }

private:
    CCritSec m_lock;
    std::unique_ptr<CBasePin> m_in;
    std::unique_ptr<CTestOutputPin> m_audio, m_data;
};

}  // namespace

TEST_F(GraphTest, PartialRenderingWhenOneStreamFindsNoRenderer)
{
    DWORD cookie = 0;
    {
        ComPtr<CClassFactory> factory(new CClassFactory([](HRESULT*) -> CUnknown* { return new CTwoStreamSplitter; }));
        ASSERT_EQ(CoRegisterClassObject(CLSID_TestTwoStreamSplitter, static_cast<IClassFactory*>(factory.Get()),
                                        CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
                  S_OK);
    }
    RegisterSystemFilter({CLSID_TestTwoStreamSplitter, u"Two Stream Splitter", MERIT_UNLIKELY,
                          {{MEDIATYPE_Stream, GUID_NULL}}});
    auto file = m_dir / "two.bin";
    std::ofstream(file) << "two streams";
    std::u16string path = Utf8ToUtf16(file.string());
    EXPECT_EQ(m_graph->RenderFile(path.c_str(), nullptr), VFW_S_PARTIAL_RENDER);
    EXPECT_TRUE(Has(u"Two Stream Splitter"));
    EXPECT_TRUE(Has(u"Default DirectSound Device"));
    UnregisterSystemFilter(CLSID_TestTwoStreamSplitter);
    CoRevokeClassObject(cookie);
}

TEST_F(GraphTest, RunPauseRunStopWithGetState)
{
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    std::u16string file = Wave("stereo16.wav", 2, 44100, 16, 1.0);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    HRESULT hr;
    EXPECT_EQ(State(0, &hr), State_Stopped);
    EXPECT_EQ(hr, S_OK);
    ASSERT_TRUE(SUCCEEDED(m_control->Run()));
    EXPECT_EQ(State(1000, &hr), State_Running);
    EXPECT_EQ(hr, S_OK);
    ASSERT_TRUE(WaitUntil([&] { return capture->Count() > 0; }, 2000ms));
    EXPECT_TRUE(SUCCEEDED(m_control->Pause()));
    EXPECT_EQ(State(2000, &hr), State_Paused);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(m_control->Pause(), S_OK);
    EXPECT_TRUE(SUCCEEDED(m_control->Run()));
    EXPECT_EQ(State(1000), State_Running);
    EXPECT_EQ(m_control->Stop(), S_OK);
    EXPECT_EQ(State(0, &hr), State_Stopped);
    EXPECT_EQ(hr, S_OK);
}

TEST_F(GraphTest, PauseFromStopCompletesWhenTheFirstSampleArrives)
{
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    std::u16string file = Wave("mono8.wav", 1, 8000, 8, 0.5);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    ASSERT_TRUE(SUCCEEDED(m_control->Pause()));
    HRESULT hr;
    EXPECT_EQ(State(2000, &hr), State_Paused);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(capture->Count(), 0u);  // held, not rendered

    // A connected renderer that gets nothing keeps the graph's pause
    // intermediate: here only the renderer is paused, its source stays stopped.
    m_control->Stop();
    capture->Pause();
    FILTER_STATE fs;
    EXPECT_EQ(capture->GetState(50, &fs), VFW_S_STATE_INTERMEDIATE);
    capture->Stop();
}

TEST_F(GraphTest, CompleteArrivesOnceAtTheEndWithTheNotifyMessage)
{
    std::u16string file = Wave("stereo16.wav", 2, 22050, 16, 1.0);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    const OAHWND window = static_cast<OAHWND>(0x1234);
    ASSERT_EQ(m_events->SetNotifyWindow(window, 1425, 77), S_OK);
    auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(SUCCEEDED(m_control->Run()));
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    ASSERT_EQ(m_events->GetEvent(&code, &p1, &p2, 5000), S_OK);
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(code, EC_COMPLETE);
    EXPECT_EQ(m_events->FreeEventParams(code, p1, p2), S_OK);
    EXPECT_GE(elapsed, 950ms);
    EXPECT_LT(elapsed, 3000ms);
    auto posted = Posted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].window, window);
    EXPECT_EQ(posted[0].message, 1425u);
    EXPECT_EQ(posted[0].lParam, 77);
    // Once only; the graph keeps running.
    EXPECT_EQ(m_events->GetEvent(&code, &p1, &p2, 200), E_ABORT);
    EXPECT_EQ(State(0), State_Running);
    EXPECT_EQ(Position() / kMs, 1000);  // not beyond the duration
    // Without a window nothing more is posted.
    m_events->SetNotifyWindow(0, 0, 0);
    m_graph.As<IMediaEventSink>()->Notify(EC_PAUSED, 0, 0);
    EXPECT_EQ(Posted().size(), 1u);
}

TEST_F(GraphTest, PositionIsFrozenWhilePausedAndContinuesAfter)
{
    std::u16string file = Wave("stereo16.wav", 2, 44100, 16, 2.0);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    EXPECT_EQ(Position(), 0);
    ASSERT_TRUE(SUCCEEDED(m_control->Run()));
    std::this_thread::sleep_for(300ms);
    m_control->Pause();
    LONGLONG paused = Position();
    EXPECT_GE(paused, 250 * kMs);
    EXPECT_LT(paused, 1500 * kMs);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(Position(), paused);
    m_control->Run();
    std::this_thread::sleep_for(200ms);
    LONGLONG later = Position();
    EXPECT_GE(later, paused + 150 * kMs);
    EXPECT_LT(later, paused + 1000 * kMs);
}

TEST_F(GraphTest, SeekWhilePlayingRestartsDeliveryAtTheNewPosition)
{
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    std::u16string file = Wave("mono8.wav", 1, 8000, 8, 1.5);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    ASSERT_TRUE(SUCCEEDED(m_control->Run()));
    ASSERT_TRUE(WaitUntil([&] { return capture->Count() >= 2; }, 2000ms));
    LONGLONG target = 900 * kMs + 3;  // the key frame reached is the whole frame before
    ASSERT_EQ(m_seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame, nullptr,
                                      AM_SEEKING_NoPositioning),
              S_OK);
    LONGLONG pos = Position();
    EXPECT_GE(pos, 900 * kMs);
    EXPECT_LT(pos, 1300 * kMs);
    EXPECT_EQ(State(0), State_Running);
    capture->Take();
    ASSERT_TRUE(WaitUntil([&] { return capture->Count() >= 1; }, 2000ms));
    auto after = capture->Take();
    EXPECT_GE(after.front().mediaStart, 7200);  // 0.9 s at 8 kHz, or later
    LONG code = 0;
    LONG_PTR p1, p2;
    ASSERT_EQ(m_events->GetEvent(&code, &p1, &p2, 3000), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
}

TEST_F(GraphTest, PositionOfAStreamOfUnknownLengthFollowsPlayback)
{
    // A source that cannot say how long it is reports a length of 0; the
    // position must still move on from where playback is, not stay at 0.
    ComPtr<CTestPushSource> source(new CTestPushSource({MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8)}));
    source->Pin()->seeking.duration = 0;
    ASSERT_EQ(m_graph->AddFilter(source.Get(), u"Source"), S_OK);
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    ASSERT_EQ(m_graph->ConnectDirect(source->Pin(), capture->InputPin(), nullptr), S_OK);
    ASSERT_EQ(m_control->Pause(), S_FALSE);
    source->Start({{Bytes({9}), 0, 100 * kMs, {}}}, false);
    ASSERT_TRUE(SUCCEEDED(m_control->Run()));
    ASSERT_TRUE(WaitUntil([&] { return Position() >= 100 * kMs; }, 3000ms));
    LONGLONG target = 2 * UNITS;
    ASSERT_EQ(m_seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning),
              S_OK);
    EXPECT_GE(Position(), 2 * UNITS);
    m_control->Stop();
}

TEST_F(GraphTest, SeekWhilePausedStaysPausedAtTheNewPosition)
{
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    std::u16string file = Wave("mono8.wav", 1, 8000, 8, 1.0);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    m_control->Pause();
    ASSERT_EQ(State(2000), State_Paused);
    LONGLONG target = 500 * kMs;
    ASSERT_EQ(m_seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame, nullptr,
                                      AM_SEEKING_NoPositioning),
              S_OK);
    HRESULT hr;
    EXPECT_EQ(State(2000, &hr), State_Paused);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(Position(), 500 * kMs);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(Position(), 500 * kMs);
    EXPECT_EQ(capture->Count(), 0u);
    m_control->Run();
    ASSERT_TRUE(WaitUntil([&] { return capture->Count() >= 1; }, 2000ms));
    EXPECT_EQ(capture->Take().front().mediaStart, 4000);  // the held sample is the one at 0.5 s
}

TEST_F(GraphTest, SeekAfterCompletionResumesDeliveryWithoutPlay)
{
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    std::u16string file = Wave("mono8.wav", 1, 8000, 8, 0.5);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    m_control->Run();
    LONG code = 0;
    LONG_PTR p1, p2;
    ASSERT_EQ(m_events->GetEvent(&code, &p1, &p2, 3000), S_OK);
    ASSERT_EQ(code, EC_COMPLETE);
    capture->Take();
    LONGLONG target = 200 * kMs;
    ASSERT_EQ(m_seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame, nullptr,
                                      AM_SEEKING_NoPositioning),
              S_OK);
    ASSERT_TRUE(WaitUntil([&] { return capture->Count() >= 1; }, 2000ms));
    EXPECT_EQ(capture->Take().front().mediaStart, 1600);
    ASSERT_EQ(m_events->GetEvent(&code, &p1, &p2, 3000), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
}

TEST_F(GraphTest, DefaultVideoRendererAnswersTheVideoInterfaces)
{
    ComPtr<CTestPushSource> source(new CTestPushSource({MakeVideoType(MEDIASUBTYPE_YV12, 320, -240)}));
    ASSERT_EQ(m_graph->AddFilter(source.Get(), u"Source"), S_OK);
    ASSERT_EQ(m_graph->Render(source->Pin()), S_OK);
    EXPECT_TRUE(Has(u"Video Renderer"));
    ComPtr<IBasicVideo> basic = m_graph.As<IBasicVideo>();
    LONG w = 0, h = 0;
    ASSERT_EQ(basic->GetVideoSize(&w, &h), S_OK);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);
    REFTIME frame = 0;
    ASSERT_EQ(basic->get_AvgTimePerFrame(&frame), S_OK);
    EXPECT_DOUBLE_EQ(frame, 0.04);
    ComPtr<IVideoWindow> window = m_graph.As<IVideoWindow>();
    LONG visible = 0;
    EXPECT_EQ(window->get_Visible(&visible), S_OK);
    EXPECT_EQ(visible, OATRUE);
    EXPECT_EQ(window->put_Visible(OAFALSE), S_OK);
    window->get_Visible(&visible);
    EXPECT_EQ(visible, OAFALSE);
    EXPECT_EQ(window->put_MessageDrain(0), S_OK);
    EXPECT_EQ(window->put_Owner(0), S_OK);
    // A compressed picture type finds no renderer.
    CMediaType h264 = MakeVideoType(FourCCGuid(MAKEFOURCC('H', '2', '6', '4')), 320, 240);
    ComPtr<CTestPushSource> compressed(new CTestPushSource({h264}));
    m_graph->AddFilter(compressed.Get(), u"Compressed");
    EXPECT_EQ(m_graph->Render(compressed->Pin()), VFW_E_CANNOT_RENDER);
}

TEST_F(GraphTest, GraphIsFoundInTheRunningObjectTable)
{
    ComPtr<IRunningObjectTable> rot;
    ASSERT_EQ(GetRunningObjectTable(0, rot.ReleaseAndGetAddressOf()), S_OK);
    ComPtr<IMoniker> moniker;
    CreateItemMoniker(u"!", u"FilterGraph test", moniker.ReleaseAndGetAddressOf());
    DWORD cookie = 0;
    ASSERT_EQ(rot->Register(0, m_graph.Get(), moniker.Get(), &cookie), S_OK);
    ComPtr<IUnknown> found;
    ASSERT_EQ(RotGetObjectByDisplayNameForTesting(u"!FilterGraph test", found.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_TRUE(found.As<IMediaControl>());
    found = nullptr;
    EXPECT_EQ(rot->Revoke(cookie), S_OK);
}

TEST_F(GraphTest, GetStateIsIntermediateUntilEveryRendererHasItsFirstSample)
{
    ComPtr<CTestPushSource> source(new CTestPushSource({MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8)}));
    ASSERT_EQ(m_graph->AddFilter(source.Get(), u"Source"), S_OK);
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    ASSERT_EQ(m_graph->Render(source->Pin()), S_OK);
    EXPECT_TRUE(capture->InputPin()->IsConnected());
    EXPECT_EQ(m_control->Pause(), S_FALSE);  // completes later
    HRESULT hr;
    EXPECT_EQ(State(50, &hr), State_Paused);
    EXPECT_EQ(hr, VFW_S_STATE_INTERMEDIATE);
    source->Start({{Bytes({1, 2}), 0, 100 * kMs, {}}}, false);
    EXPECT_EQ(State(2000, &hr), State_Paused);
    EXPECT_EQ(hr, S_OK);
    // Running does not wait for anything.
    m_control->Run();
    EXPECT_EQ(State(0, &hr), State_Running);
    EXPECT_EQ(hr, S_OK);
    m_control->Stop();
    source->Join();
}

// Preroll. The source below takes 300 ms for its first sample, as a decoder
// that starts slowly does; its second sample is due 100 ms after the first.
// When the clock starts before the first sample is held, both come late and
// go out back to back; when it starts once the sample is held, they keep
// their 100 ms. The bounds are loose: a late start shows as a gap near zero.
namespace {

constexpr auto kSlowStart = 300ms;

std::vector<ScriptedSample> SlowFirstSample()
{
    return {{Bytes({1, 2}), 0, 100 * kMs, {}, kSlowStart}, {Bytes({3, 4}), 100 * kMs, 200 * kMs, {}}};
}

std::chrono::milliseconds GapBetweenFirstTwo(CRecordingAudioRenderer* capture)
{
    std::vector<CRecordingAudioRenderer::Rendered> rendered = capture->Take();
    if (rendered.size() < 2) return std::chrono::milliseconds::max();
    return std::chrono::duration_cast<std::chrono::milliseconds>(rendered[1].at - rendered[0].at);
}

}  // namespace

TEST_F(GraphTest, RunStartsTheClockOnceEveryRendererHoldsItsFirstSample)
{
    ComPtr<CTestPushSource> source(new CTestPushSource({MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8)}));
    ASSERT_EQ(m_graph->AddFilter(source.Get(), u"Source"), S_OK);
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    ASSERT_EQ(m_graph->ConnectDirect(source->Pin(), capture->InputPin(), nullptr), S_OK);
    ASSERT_EQ(m_control->Pause(), S_FALSE);
    source->Start(SlowFirstSample(), false);
    ASSERT_TRUE(SUCCEEDED(m_control->Run()));
    ASSERT_TRUE(WaitUntil([&] { return capture->Count() >= 2; }, 3000ms));
    EXPECT_GE(GapBetweenFirstTwo(capture.Get()), 50ms);
    m_control->Stop();
}

TEST_F(GraphTest, AStreamThatNeverDeliversHoldsTheStartOnlyUpToTheBound)
{
    ComPtr<CTestPushSource> slow(new CTestPushSource({MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8)}));
    ComPtr<CTestPushSource> silent(new CTestPushSource({MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8)}));
    ASSERT_EQ(m_graph->AddFilter(slow.Get(), u"Slow"), S_OK);
    ASSERT_EQ(m_graph->AddFilter(silent.Get(), u"Silent"), S_OK);
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    ComPtr<CRecordingAudioRenderer> starved(new CRecordingAudioRenderer);
    ASSERT_EQ(m_graph->AddFilter(starved.Get(), u"Starved"), S_OK);
    ASSERT_EQ(m_graph->ConnectDirect(slow->Pin(), capture->InputPin(), nullptr), S_OK);
    ASSERT_EQ(m_graph->ConnectDirect(silent->Pin(), starved->InputPin(), nullptr), S_OK);

    ASSERT_EQ(m_control->Pause(), S_FALSE);
    slow->Start(SlowFirstSample(), false);
    auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(SUCCEEDED(m_control->Run()));
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5000ms);
    EXPECT_EQ(State(0), State_Running);
    ASSERT_TRUE(WaitUntil([&] { return capture->Count() >= 2; }, 3000ms));
    EXPECT_GE(GapBetweenFirstTwo(capture.Get()), 50ms);
    EXPECT_EQ(starved->Count(), 0u);
    m_control->Stop();
}

TEST_F(GraphTest, SeekWhileRunningRestartsTheClockOnceTheNewFirstSampleIsHeld)
{
    ComPtr<CTestPushSource> source(new CTestPushSource({MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8)}));
    ASSERT_EQ(m_graph->AddFilter(source.Get(), u"Source"), S_OK);
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    ASSERT_EQ(m_graph->ConnectDirect(source->Pin(), capture->InputPin(), nullptr), S_OK);
    // On a seek the source flushes and starts again from the new place, as
    // slowly as at its start.
    CTestPushSource* raw = source.Get();
    source->Pin()->seeking.onSeek = [raw] {
        raw->Pin()->DeliverBeginFlush();
        raw->Pin()->DeliverEndFlush();
        raw->Start(SlowFirstSample(), false);
    };
    // Paused first: a source that delivers while the graph is stopped gets
    // no buffer.
    ASSERT_EQ(m_control->Pause(), S_FALSE);
    source->Start({{Bytes({9}), 0, 100 * kMs, {}}}, false);
    ASSERT_TRUE(SUCCEEDED(m_control->Run()));
    ASSERT_TRUE(WaitUntil([&] { return capture->Count() >= 1 && source->Done(); }, 3000ms));
    capture->Take();

    LONGLONG target = 2 * UNITS;
    ASSERT_EQ(m_seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning),
              S_OK);
    EXPECT_EQ(State(0), State_Running);
    ASSERT_TRUE(WaitUntil([&] { return capture->Count() >= 2; }, 3000ms));
    EXPECT_GE(GapBetweenFirstTwo(capture.Get()), 50ms);
    m_control->Stop();
    source->Pin()->seeking.onSeek = nullptr;
}

TEST_F(GraphTest, SeekReportsTheKeyFrameReached)
{
    std::u16string file = Wave("mono8.wav", 1, 8000, 8, 1.0);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    m_control->Pause();
    // 0.25 s + a fraction of a sample frame: the whole frame before it.
    LONGLONG target = 2500000 + 7;
    ASSERT_EQ(m_seeking->SetPositions(&target,
                                      AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame |
                                          AM_SEEKING_ReturnTime,
                                      nullptr, AM_SEEKING_NoPositioning),
              S_OK);
    EXPECT_EQ(target, 2500000);
    EXPECT_EQ(Position(), 2500000);
    // Beyond the end: the end.
    target = 50 * UNITS;
    ASSERT_EQ(m_seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning | AM_SEEKING_ReturnTime, nullptr,
                                      AM_SEEKING_NoPositioning),
              S_OK);
    EXPECT_EQ(target, UNITS);
    // Stopping keeps the position; starting again goes on from there.
    m_control->Stop();
    EXPECT_EQ(Position(), UNITS);
}

namespace {

// A filter without pins whose clock the graph should prefer to its own.
class CClockFilter final : public CBaseFilter, public IReferenceClock
{
public:
    CClockFilter() : CBaseFilter("CClockFilter", &m_lock, GUID_NULL), m_clock(new CSystemClock) {}
    DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IReferenceClock) return GetInterface(static_cast<IReferenceClock*>(this), ppv);
        return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
    }
    int GetPinCount() override { return 0; }
    CBasePin* GetPin(int) override { return nullptr; }
    HRESULT GetTime(REFERENCE_TIME* t) override { return m_clock->GetTime(t); }
    HRESULT AdviseTime(REFERENCE_TIME b, REFERENCE_TIME s, HEVENT e, DWORD_PTR* c) override
    {
        return m_clock->AdviseTime(b, s, e, c);
    }
    HRESULT AdvisePeriodic(REFERENCE_TIME s, REFERENCE_TIME p, HSEMAPHORE e, DWORD_PTR* c) override
    {
        return m_clock->AdvisePeriodic(s, p, e, c);
    }
    HRESULT Unadvise(DWORD_PTR c) override { return m_clock->Unadvise(c); }

private:
    CCritSec m_lock;
    ComPtr<CSystemClock> m_clock;
};

}  // namespace

TEST_F(GraphTest, UsesAFiltersClockWhenOneIsOffered)
{
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    std::u16string file = Wave("mono8.wav", 1, 8000, 8, 0.3);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    ComPtr<CClockFilter> clockFilter(new CClockFilter);
    ASSERT_EQ(m_graph->AddFilter(clockFilter.Get(), u"Clock"), S_OK);
    m_control->Pause();
    ComPtr<IReferenceClock> used;
    capture->GetSyncSource(used.ReleaseAndGetAddressOf());
    EXPECT_EQ(used.Get(), static_cast<IReferenceClock*>(clockFilter.Get()));
    m_control->Run();
    LONG code = 0;
    EXPECT_EQ(m_events->WaitForCompletion(3000, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    used = nullptr;
    // Removing the filter that gives the clock leaves no filter pointing at it.
    EXPECT_EQ(m_graph->RemoveFilter(clockFilter.Get()), S_OK);
    capture->GetSyncSource(used.ReleaseAndGetAddressOf());
    EXPECT_FALSE(used);
}

namespace {

MARLIN_DEFINE_GUID(CLSID_TestDataToPcm, 0x5E1F7E57, 0x0003, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03);

// Turns the test data stream into 8-bit mono PCM: a stand-in decoder.
class CDataToPcm final : public CTransformFilter
{
public:
    CDataToPcm() : CTransformFilter("CDataToPcm", nullptr, CLSID_TestDataToPcm) {}
    HRESULT CheckInputType(const CMediaType* in) override
    {
        return in->majortype == MEDIATYPE_TestData ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT CheckTransform(const CMediaType*, const CMediaType* out) override
    {
        return out->majortype == MEDIATYPE_Audio ? S_OK : VFW_E_TYPE_NOT_ACCEPTED;
    }
    HRESULT DecideBufferSize(IMemAllocator* alloc, ALLOCATOR_PROPERTIES* props) override
    {
        props->cBuffers = 2;
        props->cbBuffer = 1024;
        ALLOCATOR_PROPERTIES actual{};
        return alloc->SetProperties(props, &actual);
    }
    HRESULT GetMediaType(int position, CMediaType* mt) override
    {
        if (position != 0) return VFW_S_NO_MORE_ITEMS;
        *mt = MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8);
        return S_OK;
    }
};

CMediaType TestDataType()
{
    CMediaType data(MEDIATYPE_TestData);
    data.SetSubtype(MEDIATYPE_TestData);
    data.SetFormatType(FORMAT_None);
    return data;
}

}  // namespace

TEST_F(GraphTest, ConnectDirectAndConnectThroughASystemFilter)
{
    ComPtr<CTestPushSource> pcm(new CTestPushSource({MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8)}));
    ComPtr<CTestPushSource> data(new CTestPushSource({TestDataType()}));
    ComPtr<CRecordingAudioRenderer> first = AddCapture();
    ComPtr<CRecordingAudioRenderer> second(new CRecordingAudioRenderer);
    m_graph->AddFilter(pcm.Get(), u"Pcm");
    m_graph->AddFilter(data.Get(), u"Data");
    m_graph->AddFilter(second.Get(), u"Second");
    EXPECT_EQ(m_graph->ConnectDirect(pcm->Pin(), first->InputPin(), nullptr), S_OK);
    // Nothing registered turns the data stream into sound yet.
    EXPECT_EQ(m_graph->ConnectDirect(data->Pin(), second->InputPin(), nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_EQ(m_graph->Connect(data->Pin(), second->InputPin()), VFW_E_CANNOT_CONNECT);
    DWORD cookie = 0;
    {
        ComPtr<CClassFactory> factory(new CClassFactory([](HRESULT*) -> CUnknown* { return new CDataToPcm; }));
        CoRegisterClassObject(CLSID_TestDataToPcm, static_cast<IClassFactory*>(factory.Get()), CLSCTX_INPROC_SERVER,
                              REGCLS_MULTIPLEUSE, &cookie);
    }
    RegisterSystemFilter({CLSID_TestDataToPcm, u"Data To Pcm", MERIT_NORMAL, {{MEDIATYPE_TestData, GUID_NULL}}});
    EXPECT_EQ(m_graph->Connect(data->Pin(), second->InputPin()), S_OK);
    EXPECT_TRUE(Has(u"Data To Pcm"));
    EXPECT_TRUE(second->InputPin()->IsConnected());
    // A pin of a filter outside the graph is refused.
    ComPtr<CTestPushSource> stranger(new CTestPushSource({MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8)}));
    EXPECT_EQ(m_graph->ConnectDirect(stranger->Pin(), second->InputPin(), nullptr), VFW_E_NOT_IN_GRAPH);
    UnregisterSystemFilter(CLSID_TestDataToPcm);
    CoRevokeClassObject(cookie);
}

TEST_F(GraphTest, WaveParserTakesAnyChannelCount)
{
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    std::u16string file = Wave("six.wav", 6, 48000, 16, 0.25);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    AM_MEDIA_TYPE mt{};
    ASSERT_EQ(capture->InputPin()->ConnectionMediaType(&mt), S_OK);
    WAVEFORMATEX wfx{};
    std::memcpy(&wfx, mt.pbFormat, sizeof(wfx));
    FreeMediaType(mt);
    EXPECT_EQ(wfx.nChannels, 6);
    EXPECT_EQ(wfx.nBlockAlign, 12);
    EXPECT_EQ(wfx.nAvgBytesPerSec, 48000u * 12);
    m_control->Run();
    LONG code = 0;
    ASSERT_EQ(m_events->WaitForCompletion(3000, &code), S_OK);
    LONG total = 0;
    for (const auto& r : capture->Take()) {
        EXPECT_EQ(r.bytes % 12, 0);
        total += r.bytes;
    }
    EXPECT_EQ(total, 12000 * 12);
}

TEST_F(GraphTest, RunAfterStopGoesOnFromTheStoppedPosition)
{
    ComPtr<CRecordingAudioRenderer> capture = AddCapture();
    std::u16string file = Wave("mono8.wav", 1, 8000, 8, 2.0);
    ASSERT_EQ(m_graph->RenderFile(file.c_str(), nullptr), S_OK);
    m_control->Run();
    std::this_thread::sleep_for(300ms);
    m_control->Stop();
    LONGLONG stopped = Position();
    EXPECT_GE(stopped, 250 * kMs);
    capture->Take();
    m_control->Run();
    ASSERT_TRUE(WaitUntil([&] { return capture->Count() >= 1; }, 2000ms));
    // The first sample starts at the frame the stop left off at.
    EXPECT_EQ(capture->Take().front().mediaStart, stopped * 8000 / UNITS);
}
