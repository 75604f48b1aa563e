// The capture renderer in small graphs built by hand: a scripted push
// source, the renderer, the system clock and a graph that records events.
#include <gtest/gtest.h>

#include <functional>

#include "playback/NullRenderer.h"
#include "tests/dshow/TestFilters.h"

using namespace testing_dshow;

namespace {

constexpr REFERENCE_TIME kMs = MILLISECONDS;

class CTestSink final : public IRendererDataSink
{
public:
    struct Call
    {
        bool isVideo;
        const MediaFormat* format;
        MediaFormat seen;  // the format's contents during the call
        std::vector<BYTE> data;
        REFERENCE_TIME at;
    };
    void OnDateReceive(bool isVideo, const MediaFormat* format, const uint8_t* data, int32_t length) override
    {
        if (m_probe) m_probe();
        std::lock_guard<std::mutex> guard(m_lock);
        m_calls.push_back({isVideo, format, *format, std::vector<BYTE>(data, data + length), CSystemClock::Now()});
    }
    void OnSamplePreroll(bool isVideo, const MediaFormat* format, const uint8_t* data, int32_t length) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_prerolls.push_back({isVideo, format, *format, std::vector<BYTE>(data, data + length), CSystemClock::Now()});
    }
    bool OnPictureReceive(const MediaFormat* format, const PicturePlanes& planes, const SampleStamp& stamp) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pictures.push_back({format, planes, stamp});
        return m_bTakePlanes;
    }
    struct PlanesCall
    {
        const MediaFormat* format;
        PicturePlanes planes;
        SampleStamp stamp;
    };
    std::vector<PlanesCall> Pictures()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_pictures;
    }
    std::atomic<bool> m_bTakePlanes{true};
    std::function<void()> m_probe;  // runs at each hand-over; set before streaming
    void OnPlayComplete() override { ++m_complete; }
    std::vector<Call> Prerolls()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_prerolls;
    }
    std::vector<Call> Calls()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_calls;
    }
    size_t Count()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_calls.size();
    }

private:
    std::mutex m_lock;
    std::vector<Call> m_calls;
    std::vector<Call> m_prerolls;
    std::vector<PlanesCall> m_pictures;
    std::atomic<int> m_complete{0};
};

class NullRendererTest : public ::testing::Test
{
protected:
    void SetUp() override { m_baseline = CBaseObject::ObjectsActive(); }
    void TearDown() override
    {
        if (m_renderer) m_renderer->Stop();
        if (m_source) {
            m_source->Stop();
            m_source->Join();
            m_source->Pin()->Disconnect();
        }
        if (m_renderer) {
            m_renderer->InputPin()->Disconnect();
            m_renderer->JoinFilterGraph(nullptr, nullptr);
        }
        if (m_source) m_source->JoinFilterGraph(nullptr, nullptr);
        m_renderer = nullptr;
        m_source = nullptr;
        m_graph = nullptr;
        m_clock = nullptr;
        // Every object of the graph is gone.
        EXPECT_EQ(CBaseObject::ObjectsActive(), m_baseline);
    }

    // Source offering `types` -> renderer of `role`; true when connected.
    HRESULT Build(int role, std::vector<CMediaType> types, bool withSink = true, bool withClock = true)
    {
        HRESULT hr = S_OK;
        m_renderer = new CNullRenderer(withSink ? &m_sink : nullptr, role, &hr);
        EXPECT_EQ(hr, S_OK);
        m_source = new CTestPushSource(std::move(types));
        m_graph = new CTestGraph;
        m_renderer->JoinFilterGraph(m_graph.Get(), u"NULL Video Renderer");
        m_source->JoinFilterGraph(m_graph.Get(), u"Source");
        if (withClock) {
            m_clock = new CSystemClock;
            m_renderer->SetSyncSource(m_clock.Get());
            m_source->SetSyncSource(m_clock.Get());
        }
        return m_source->Pin()->Connect(m_renderer->InputPin(), nullptr);
    }
    // Runs with stream time zero `lead` from now; returns that start.
    REFERENCE_TIME Run(REFERENCE_TIME lead = 30 * kMs)
    {
        REFERENCE_TIME start = CSystemClock::Now() + lead;
        EXPECT_TRUE(SUCCEEDED(m_renderer->Run(start)));
        EXPECT_TRUE(SUCCEEDED(m_source->Run(start)));
        return start;
    }
    void Pause()
    {
        m_renderer->Pause();
        m_source->Pause();
    }

    long m_baseline = 0;
    CTestSink m_sink;
    ComPtr<CNullRenderer> m_renderer;
    ComPtr<CTestPushSource> m_source;
    ComPtr<CTestGraph> m_graph;
    ComPtr<CSystemClock> m_clock;
};

CMediaType VideoWithFormatType(const GUID& formattype)
{
    CMediaType mt = MakeVideoType(MEDIASUBTYPE_YUY2, 64, 48);
    mt.SetFormatType(formattype);
    return mt;
}

}  // namespace

TEST_F(NullRendererTest, VideoRoleAcceptsTheElevenSubtypesOnly)
{
    HRESULT hr = S_OK;
    m_renderer = new CNullRenderer(&m_sink, 1, &hr);
    const GUID accepted[] = {MEDIASUBTYPE_RGB24, MEDIASUBTYPE_YUY2,  MEDIASUBTYPE_I420,   MEDIASUBTYPE_IYUV,
                             MEDIASUBTYPE_UYVY,  MEDIASUBTYPE_YVU9,  MEDIASUBTYPE_RGB32,  MEDIASUBTYPE_RGB565,
                             MEDIASUBTYPE_RGB555, MEDIASUBTYPE_YV12, MEDIASUBTYPE_NV12};
    for (const GUID& subtype : accepted) {
        CMediaType vih = MakeVideoType(subtype, 320, 240);
        CMediaType vih2 = MakeVideoType(subtype, 320, 240, true);
        EXPECT_EQ(m_renderer->CheckMediaType(&vih), S_OK) << GuidToString(subtype);
        EXPECT_EQ(m_renderer->CheckMediaType(&vih2), S_OK) << GuidToString(subtype);
    }
    CMediaType hdyc = MakeVideoType(MEDIASUBTYPE_HDYC, 320, 240);
    EXPECT_EQ(m_renderer->CheckMediaType(&hdyc), E_INVALIDARG);
    CMediaType audio = MakeAudioType(WAVE_FORMAT_PCM, 2, 44100, 16);
    EXPECT_EQ(m_renderer->CheckMediaType(&audio), E_INVALIDARG);
    CMediaType wrongMajor = MakeVideoType(MEDIASUBTYPE_YUY2, 320, 240);
    wrongMajor.SetType(MEDIATYPE_Stream);
    EXPECT_EQ(m_renderer->CheckMediaType(&wrongMajor), E_INVALIDARG);
    // The format type itself is not judged by the check...
    CMediaType none = VideoWithFormatType(FORMAT_None);
    EXPECT_EQ(m_renderer->CheckMediaType(&none), S_OK);
    // ...but a picture header block that is missing or short is refused.
    CMediaType shortBlock = MakeVideoType(MEDIASUBTYPE_YUY2, 320, 240);
    shortBlock.AllocFormatBuffer(sizeof(VIDEOINFOHEADER) - 1);
    EXPECT_EQ(m_renderer->CheckMediaType(&shortBlock), E_INVALIDARG);
    CMediaType vih2Short = MakeVideoType(MEDIASUBTYPE_YUY2, 320, 240, true);
    vih2Short.AllocFormatBuffer(sizeof(VIDEOINFOHEADER));
    EXPECT_EQ(m_renderer->CheckMediaType(&vih2Short), E_INVALIDARG);
    CMediaType noBlock = MakeVideoType(MEDIASUBTYPE_YUY2, 320, 240);
    noBlock.ResetFormatBuffer();
    EXPECT_EQ(m_renderer->CheckMediaType(&noBlock), E_INVALIDARG);
    EXPECT_EQ(m_renderer->SetMediaType(&noBlock), E_INVALIDARG);
}

TEST_F(NullRendererTest, AudioRoleAcceptsPlainPcmOnly)
{
    HRESULT hr = S_OK;
    m_renderer = new CNullRenderer(&m_sink, 0, &hr);
    CMediaType pcm = MakeAudioType(WAVE_FORMAT_PCM, 2, 44100, 16);
    EXPECT_EQ(m_renderer->CheckMediaType(&pcm), S_OK);
    CMediaType pcm8 = MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8);
    pcm8.SetSubtype(GUID_NULL);  // the subtype is not looked at
    EXPECT_EQ(m_renderer->CheckMediaType(&pcm8), S_OK);
    CMediaType flt = MakeAudioType(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32);
    EXPECT_EQ(m_renderer->CheckMediaType(&flt), E_INVALIDARG);
    CMediaType ext = MakeAudioType(WAVE_FORMAT_EXTENSIBLE, 2, 48000, 16);
    EXPECT_EQ(m_renderer->CheckMediaType(&ext), E_INVALIDARG);
    CMediaType video = MakeVideoType(MEDIASUBTYPE_YUY2, 320, 240);
    EXPECT_EQ(m_renderer->CheckMediaType(&video), E_INVALIDARG);
    CMediaType otherFormat = MakeAudioType(WAVE_FORMAT_PCM, 2, 44100, 16);
    otherFormat.SetFormatType(FORMAT_None);
    EXPECT_EQ(m_renderer->CheckMediaType(&otherFormat), E_INVALIDARG);
    CMediaType noBlock = MakeAudioType(WAVE_FORMAT_PCM, 2, 44100, 16);
    noBlock.ResetFormatBuffer();
    EXPECT_EQ(m_renderer->CheckMediaType(&noBlock), E_INVALIDARG);
    CMediaType tiny = MakeAudioType(WAVE_FORMAT_PCM, 2, 44100, 16);
    tiny.AllocFormatBuffer(2);
    reinterpret_cast<WAVEFORMATEX*>(tiny.pbFormat)->wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(m_renderer->CheckMediaType(&tiny), E_INVALIDARG);
    EXPECT_EQ(m_renderer->SetMediaType(&tiny), E_INVALIDARG);

    // Recording widens the 16-bit fields and keeps the old record on refusal.
    CMediaType many = MakeAudioType(WAVE_FORMAT_PCM, 65535, 192000, 16);
    ASSERT_EQ(m_renderer->SetMediaType(&many), S_OK);
    EXPECT_EQ(m_renderer->FormatForTesting()->channels, 65535);
    EXPECT_EQ(m_renderer->FormatForTesting()->sampleRate, 192000);
    EXPECT_EQ(m_renderer->FormatForTesting()->bitsPerSample, 16);
    EXPECT_EQ(m_renderer->SetMediaType(&flt), E_INVALIDARG);
    EXPECT_EQ(m_renderer->FormatForTesting()->channels, 65535);
}

TEST_F(NullRendererTest, RecordsVideoFormatFromBothHeadersWithSignedHeight)
{
    HRESULT hr = S_OK;
    m_renderer = new CNullRenderer(&m_sink, 1, &hr);
    CMediaType vih = MakeVideoType(MEDIASUBTYPE_NV12, 1920, -1080);
    ASSERT_EQ(m_renderer->SetMediaType(&vih), S_OK);
    EXPECT_EQ(m_renderer->FormatForTesting()->width, 1920);
    EXPECT_EQ(m_renderer->FormatForTesting()->height, -1080);
    EXPECT_EQ(m_renderer->FormatForTesting()->colorSpace, ColorSpace::NV12);
    CMediaType vih2 = MakeVideoType(MEDIASUBTYPE_RGB565, 336, 200, true);
    ASSERT_EQ(m_renderer->SetMediaType(&vih2), S_OK);
    EXPECT_EQ(m_renderer->FormatForTesting()->width, 336);
    EXPECT_EQ(m_renderer->FormatForTesting()->height, 200);
    EXPECT_EQ(m_renderer->FormatForTesting()->colorSpace, ColorSpace::RGB565);

    const std::pair<GUID, int32_t> codes[] = {
        {MEDIASUBTYPE_RGB24, 0}, {MEDIASUBTYPE_RGB32, 2}, {MEDIASUBTYPE_RGB565, 3}, {MEDIASUBTYPE_RGB555, 4},
        {MEDIASUBTYPE_YUY2, 6},  {MEDIASUBTYPE_UYVY, 10}, {MEDIASUBTYPE_I420, 12},  {MEDIASUBTYPE_YVU9, 13},
        {MEDIASUBTYPE_YV12, 16}, {MEDIASUBTYPE_IYUV, 19}, {MEDIASUBTYPE_NV12, 22}};
    for (const auto& [subtype, code] : codes) {
        CMediaType mt = MakeVideoType(subtype, 16, 16);
        ASSERT_EQ(m_renderer->SetMediaType(&mt), S_OK);
        EXPECT_EQ(m_renderer->FormatForTesting()->colorSpace, code) << GuidToString(subtype);
    }

    // Another format type: E_ACCESSDENIED and nothing recorded.
    CMediaType none = MakeVideoType(MEDIASUBTYPE_YUY2, 99, 99);
    none.SetFormatType(FORMAT_None);
    EXPECT_EQ(m_renderer->SetMediaType(&none), E_ACCESSDENIED);
    EXPECT_EQ(m_renderer->FormatForTesting()->width, 16);
    // A non-video major type is let through without recording.
    CMediaType audio = MakeAudioType(WAVE_FORMAT_PCM, 2, 44100, 16);
    EXPECT_EQ(m_renderer->SetMediaType(&audio), S_OK);
    EXPECT_EQ(m_renderer->FormatForTesting()->width, 16);
}

TEST_F(NullRendererTest, ConnectionAgreesOnTheFirstAcceptableProposedType)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_HDYC, 640, 480), MakeVideoType(MEDIASUBTYPE_YUY2, 640, -480, true)}),
              S_OK);
    AM_MEDIA_TYPE onRenderer{}, onSource{};
    ASSERT_EQ(m_renderer->InputPin()->ConnectionMediaType(&onRenderer), S_OK);
    ASSERT_EQ(m_source->Pin()->ConnectionMediaType(&onSource), S_OK);
    EXPECT_EQ(onRenderer.subtype, MEDIASUBTYPE_YUY2);
    EXPECT_TRUE(CMediaType(onRenderer).MatchesExactly(onSource));
    FreeMediaType(onRenderer);
    FreeMediaType(onSource);
    EXPECT_EQ(m_renderer->FormatForTesting()->height, -480);
    EXPECT_EQ(m_renderer->FormatForTesting()->colorSpace, ColorSpace::YUY2);

    // The renderer has one pin "In", an input pin, and it is found by name.
    ComPtr<IPin> in;
    EXPECT_EQ(m_renderer->FindPin(u"In", in.ReleaseAndGetAddressOf()), S_OK);
    PIN_DIRECTION dir;
    in->QueryDirection(&dir);
    EXPECT_EQ(dir, PINDIR_INPUT);
    ComPtr<IEnumPins> pins;
    m_renderer->EnumPins(pins.ReleaseAndGetAddressOf());
    IPin* fetched[2] = {};
    ULONG count = 0;
    EXPECT_EQ(pins->Next(2, fetched, &count), S_FALSE);
    EXPECT_EQ(count, 1u);
    fetched[0]->Release();
    ComPtr<IMemInputPin> mem;
    EXPECT_EQ(in.As(&mem), S_OK);
}

TEST_F(NullRendererTest, RefusedTypesFailTheConnection)
{
    EXPECT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_HDYC, 640, 480)}), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_FALSE(m_renderer->InputPin()->IsConnected());
    EXPECT_FALSE(m_source->Pin()->IsConnected());
}

TEST_F(NullRendererTest, OtherFormatTypeFailsConnectionWithAccessDenied)
{
    EXPECT_EQ(Build(1, {VideoWithFormatType(FORMAT_None)}), E_ACCESSDENIED);
    EXPECT_FALSE(m_renderer->InputPin()->IsConnected());
}

TEST_F(NullRendererTest, SamplesWithoutTimesReachTheSinkAtOnceInOrder)
{
    ASSERT_EQ(Build(0, {MakeAudioType(WAVE_FORMAT_PCM, 2, 44100, 16)}), S_OK);
    Run(0);
    m_source->Start({{Bytes({1, 2, 3}), {}, {}, {}}, {Bytes({4}), {}, {}, {}}, {Bytes({5, 6}), {}, {}, {}}}, false);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() == 3; }, 2000ms));
    auto calls = m_sink.Calls();
    EXPECT_EQ(calls[0].data, Bytes({1, 2, 3}));
    EXPECT_EQ(calls[1].data, Bytes({4}));
    EXPECT_EQ(calls[2].data, Bytes({5, 6}));
    for (const auto& c : calls) {
        EXPECT_FALSE(c.isVideo);
        EXPECT_EQ(c.format, m_renderer->FormatForTesting());
        EXPECT_EQ(c.seen.sampleRate, 44100);
        EXPECT_EQ(c.seen.channels, 2);
        EXPECT_EQ(c.seen.bitsPerSample, 16);
    }
}

TEST_F(NullRendererTest, TimedSamplesArriveWhenDueAndInOrder)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_RGB32, 8, 8)}), S_OK);
    REFERENCE_TIME start = Run(20 * kMs);
    std::vector<ScriptedSample> script;
    for (int i = 0; i < 4; ++i) script.push_back({Bytes({i}), i * 60 * kMs, (i + 1) * 60 * kMs, {}});
    m_source->Start(script, false);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() == 4; }, 3000ms));
    auto calls = m_sink.Calls();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(calls[i].data, Bytes({i}));
        EXPECT_GE(calls[i].at, start + i * 60 * kMs) << "sample " << i << " came early";
        EXPECT_TRUE(calls[i].isVideo);
    }
    // Loose upper bound: the last one is not grossly late either.
    EXPECT_LT(calls[3].at, start + 180 * kMs + 1000 * kMs);
}

TEST_F(NullRendererTest, WithoutAClockTimedSamplesGoAtOnce)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_RGB32, 8, 8)}, true, false), S_OK);
    REFERENCE_TIME before = CSystemClock::Now();
    Run(0);
    m_source->Start({{Bytes({7}), 3600 * UNITS, 3601 * UNITS, {}}}, false);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() == 1; }, 2000ms));
    EXPECT_LT(m_sink.Calls()[0].at - before, 2 * UNITS);
}

TEST_F(NullRendererTest, SampleEndingBeforeItStartsIsDropped)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_RGB32, 8, 8)}), S_OK);
    Run(0);
    m_source->Start({{Bytes({1}), 10 * kMs, 5 * kMs, {}}, {Bytes({2}), 0, 1, {}}}, false);
    ASSERT_TRUE(WaitUntil([&] { return m_source->Done(); }, 2000ms));
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() == 1; }, 2000ms));
    EXPECT_EQ(m_sink.Calls()[0].data, Bytes({2}));
    EXPECT_EQ(m_source->Results(), (std::vector<HRESULT>{S_OK, S_OK}));
}

TEST_F(NullRendererTest, PauseHoldsTheFirstSampleUntilRun)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_RGB32, 8, 8)}), S_OK);
    Pause();
    FILTER_STATE state;
    EXPECT_EQ(m_renderer->GetState(20, &state), VFW_S_STATE_INTERMEDIATE);
    EXPECT_EQ(state, State_Paused);
    m_source->Start({{Bytes({1}), {}, {}, {}}, {Bytes({2}), {}, {}, {}}}, false);
    // The arrival of the first sample completes the pause...
    EXPECT_EQ(m_renderer->GetState(2000, &state), S_OK);
    EXPECT_EQ(state, State_Paused);
    // ...but nothing is handed over while paused.
    std::this_thread::sleep_for(100ms);  // a window in which a wrong hand-over would show
    EXPECT_EQ(m_sink.Count(), 0u);
    EXPECT_FALSE(m_source->Done());
    Run(0);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() == 2; }, 2000ms));
    EXPECT_EQ(m_sink.Calls()[0].data, Bytes({1}));
}

TEST_F(NullRendererTest, TheSampleHeldWhilePausedIsOfferedToTheSinkBeforeItIsRendered)
{
    ASSERT_EQ(Build(0, {MakeAudioType(WAVE_FORMAT_PCM, 2, 44100, 16)}), S_OK);
    Pause();
    m_source->Start({{Bytes({1, 2, 3, 4}), {}, {}, {}}, {Bytes({5, 6, 7, 8}), {}, {}, {}}}, false);
    FILTER_STATE state;
    ASSERT_EQ(m_renderer->GetState(2000, &state), S_OK);
    // Offered while held, with its data and the agreed format, not rendered.
    std::vector<CTestSink::Call> prerolls = m_sink.Prerolls();
    ASSERT_EQ(prerolls.size(), 1u);
    EXPECT_FALSE(prerolls[0].isVideo);
    EXPECT_EQ(prerolls[0].format, m_renderer->FormatForTesting());
    EXPECT_EQ(prerolls[0].seen.sampleRate, 44100);
    EXPECT_EQ(prerolls[0].data, Bytes({1, 2, 3, 4}));
    EXPECT_EQ(m_sink.Count(), 0u);
    Run(0);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() == 2; }, 2000ms));
    // The sample is still rendered; one that arrives while running is not offered.
    EXPECT_EQ(m_sink.Calls()[0].data, Bytes({1, 2, 3, 4}));
    EXPECT_EQ(m_sink.Prerolls().size(), 1u);
}

TEST_F(NullRendererTest, AnI420PictureLentInPlanesIsReadFromThemUnlessTheSinkDeclines)
{
    HRESULT hr = S_OK;
    m_renderer = new CNullRenderer(&m_sink, 1, &hr);
    CMediaType i420 = MakeVideoType(MEDIASUBTYPE_I420, 4, 2);
    ASSERT_EQ(m_renderer->SetMediaType(&i420), S_OK);
    ComPtr<IMemAllocator> alloc(static_cast<IMemAllocator*>(new CMemAllocator));
    ALLOCATOR_PROPERTIES props{1, 12, 1, 0}, actual{};
    ASSERT_EQ(alloc->SetProperties(&props, &actual), S_OK);
    ASSERT_EQ(alloc->Commit(), S_OK);
    auto frame = std::make_shared<std::vector<BYTE>>(Bytes({1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 9, 0, 0, 0, 10, 0}));
    int packs = 0;
    const auto lend = [&](IMediaSample* sample) {
        ComPtr<IMediaSamplePlanes> planes;
        ASSERT_EQ(sample->QueryInterface(IID_IMediaSamplePlanes, planes.ReleaseAndGetVoidAddress()), S_OK);
        SamplePlanes p;
        p.count = 3;
        p.data[0] = frame->data();
        p.stride[0] = 4;
        p.data[1] = frame->data() + 10;
        p.data[2] = frame->data() + 14;
        p.stride[1] = p.stride[2] = 2;
        ASSERT_EQ(planes->SetPlanes(p, frame, [&packs](BYTE* dst, LONG) {
            ++packs;
            const BYTE packed[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 10, 0};
            std::copy(std::begin(packed), std::end(packed), dst);
            return true;
        }), S_OK);
        sample->SetActualDataLength(12);
    };
    for (bool take : {true, false}) {
        m_sink.m_bTakePlanes = take;
        IMediaSample* sample = nullptr;
        ASSERT_EQ(alloc->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
        lend(sample);
        EXPECT_EQ(m_renderer->DoRenderSample(sample), S_OK);
        sample->Release();
    }
    // Taken from the planes: no packed copy and no second hand-over.
    std::vector<CTestSink::PlanesCall> pictures = m_sink.Pictures();
    ASSERT_EQ(pictures.size(), 2u);
    EXPECT_EQ(pictures[0].format, m_renderer->FormatForTesting());
    EXPECT_EQ(pictures[0].planes.data[1], frame->data() + 10);
    EXPECT_EQ(pictures[0].planes.stride[0], 4);
    // Declined: handed over packed instead, once.
    std::vector<CTestSink::Call> calls = m_sink.Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].data, Bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 10, 0}));
    EXPECT_EQ(packs, 1);
    alloc->Decommit();
}

TEST_F(NullRendererTest, NothingIsHandedOverOnceAPauseHasReturned)
{
    // A Pause that comes between a sample's wait and its hand-over must
    // hold it: a controller told "paused" gets no more frames.
    ASSERT_EQ(Build(0, {MakeAudioType(WAVE_FORMAT_PCM, 2, 44100, 16)}), S_OK);
    std::atomic<int> whilePaused{0};
    m_sink.m_probe = [&] {
        FILTER_STATE state = State_Running;
        m_renderer->GetState(0, &state);
        if (state != State_Running) ++whilePaused;
    };
    Run(0);
    std::vector<ScriptedSample> script(4000, ScriptedSample{Bytes({1, 2, 3, 4}), {}, {}, {}});
    m_source->Start(std::move(script), false);
    for (int i = 0; i < 20000 && !m_source->Done(); ++i) {
        m_renderer->Pause();
        m_renderer->Run(CSystemClock::Now() - 10 * kMs);
    }
    ASSERT_TRUE(WaitUntil([&] { return m_source->Done(); }, 20000ms));
    EXPECT_EQ(whilePaused.load(), 0);
}

TEST_F(NullRendererTest, PauseWhileRunningStopsTheFlow)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_RGB32, 8, 8)}), S_OK);
    REFERENCE_TIME start = Run(0);
    std::vector<ScriptedSample> script;
    script.push_back({Bytes({0}), 0, 1, {}});
    script.push_back({Bytes({1}), 300 * kMs, 301 * kMs, {}});
    m_source->Start(script, false);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() == 1; }, 2000ms));
    Pause();
    std::this_thread::sleep_for(400ms);  // past the second sample's time
    EXPECT_EQ(m_sink.Count(), 1u);
    // Continue: stream time goes on where it was.
    Run(0);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() == 2; }, 2000ms));
    EXPECT_GE(m_sink.Calls()[1].at, start + 300 * kMs);
}

TEST_F(NullRendererTest, StopDiscardsTheHeldSampleAndReleasesReceive)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_RGB32, 8, 8)}), S_OK);
    Pause();
    m_source->Start({{Bytes({1}), {}, {}, {}}}, false);
    FILTER_STATE state;
    ASSERT_EQ(m_renderer->GetState(2000, &state), S_OK);
    m_renderer->Stop();
    ASSERT_TRUE(WaitUntil([&] { return m_source->Done(); }, 2000ms));
    m_source->Stop();
    Run(0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(m_sink.Count(), 0u);
}

TEST_F(NullRendererTest, StopReleasesAReceiveWaitingForAFarTime)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_RGB32, 8, 8)}), S_OK);
    Run(0);
    m_source->Start({{Bytes({1}), 3600 * UNITS, 3601 * UNITS, {}}}, false);
    ASSERT_TRUE(WaitUntil([&] { return m_source->Pin()->IsConnected() && !m_source->Done(); }));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(m_source->Done());
    m_renderer->Stop();
    EXPECT_TRUE(WaitUntil([&] { return m_source->Done(); }, 1000ms));
    EXPECT_EQ(m_sink.Count(), 0u);
}

TEST_F(NullRendererTest, StopReleasesAGetStateWaitingForPreroll)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_RGB32, 8, 8)}), S_OK);
    Pause();
    std::atomic<HRESULT> result{E_FAIL};
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        FILTER_STATE state;
        result = m_renderer->GetState(INFINITE, &state);
        returned = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned.load());
    m_renderer->Stop();
    EXPECT_TRUE(WaitUntil([&] { return returned.load(); }, 1000ms));
    waiter.join();
    EXPECT_EQ(result.load(), S_OK);
}

TEST_F(NullRendererTest, FlushDiscardsTheHeldSample)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_RGB32, 8, 8)}), S_OK);
    Pause();
    m_source->Start({{Bytes({1}), {}, {}, {}}}, false);
    FILTER_STATE state;
    ASSERT_EQ(m_renderer->GetState(2000, &state), S_OK);
    m_renderer->InputPin()->BeginFlush();
    ASSERT_TRUE(WaitUntil([&] { return m_source->Done(); }, 1000ms));
    m_renderer->InputPin()->EndFlush();
    // After a flush the paused renderer waits for a new first sample.
    EXPECT_EQ(m_renderer->GetState(10, &state), VFW_S_STATE_INTERMEDIATE);
    Run(0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(m_sink.Count(), 0u);
    m_source->Start({{Bytes({2}), {}, {}, {}}}, false);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() == 1; }, 2000ms));
    EXPECT_EQ(m_sink.Calls()[0].data, Bytes({2}));
}

TEST_F(NullRendererTest, EndOfStreamPostsCompleteOnceAfterTheLastEndTime)
{
    ASSERT_EQ(Build(0, {MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8)}), S_OK);
    REFERENCE_TIME start = Run(0);
    m_source->Start({{Bytes({1}), 0, 100 * kMs, {}}, {Bytes({2}), 100 * kMs, 250 * kMs, {}}}, true);
    ASSERT_TRUE(WaitUntil([&] { return m_graph->Count(EC_COMPLETE) == 1; }, 3000ms));
    auto events = m_graph->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_GE(events[0].at, start + 250 * kMs);
    EXPECT_EQ(events[0].p2, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(m_renderer.Get())));
    EXPECT_EQ(m_sink.Count(), 2u);
    // A second end of stream and later samples change nothing.
    EXPECT_EQ(m_renderer->InputPin()->EndOfStream(), S_OK);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(m_graph->Count(EC_COMPLETE), 1);
}

TEST_F(NullRendererTest, EndOfStreamWhilePausedWaitsForRun)
{
    ASSERT_EQ(Build(0, {MakeAudioType(WAVE_FORMAT_PCM, 1, 8000, 8)}), S_OK);
    Pause();
    m_source->Start({}, true);
    FILTER_STATE state;
    EXPECT_EQ(m_renderer->GetState(2000, &state), S_OK);  // end of stream completes the pause
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(m_graph->Count(EC_COMPLETE), 0);
    Run(0);
    EXPECT_TRUE(WaitUntil([&] { return m_graph->Count(EC_COMPLETE) == 1; }, 2000ms));
}

TEST_F(NullRendererTest, MidStreamTypeChangeUpdatesTheFormatFirst)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_YUY2, 640, 480)}), S_OK);
    Run(0);
    m_source->Start({{Bytes({1}), {}, {}, {}},
                     {Bytes({2}), {}, {}, MakeVideoType(MEDIASUBTYPE_RGB32, 320, -240, true)},
                     {Bytes({3}), {}, {}, {}}},
                    false);
    ASSERT_TRUE(WaitUntil([&] { return m_sink.Count() == 3; }, 2000ms));
    auto calls = m_sink.Calls();
    EXPECT_EQ(calls[0].seen.colorSpace, ColorSpace::YUY2);
    EXPECT_EQ(calls[0].seen.width, 640);
    EXPECT_EQ(calls[1].seen.colorSpace, ColorSpace::RGB32);
    EXPECT_EQ(calls[1].seen.width, 320);
    EXPECT_EQ(calls[1].seen.height, -240);
    EXPECT_EQ(calls[2].seen.colorSpace, ColorSpace::RGB32);
    EXPECT_EQ(calls[0].format, calls[1].format);
    AM_MEDIA_TYPE now{};
    m_renderer->InputPin()->ConnectionMediaType(&now);
    EXPECT_EQ(now.subtype, MEDIASUBTYPE_RGB32);
    FreeMediaType(now);
}

TEST_F(NullRendererTest, RefusedMidStreamTypeIsNotHandedOverAndEndsTheStream)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_YUY2, 640, 480)}), S_OK);
    Run(0);
    m_source->Start({{Bytes({1}), {}, {}, MakeVideoType(MEDIASUBTYPE_HDYC, 640, 480)}}, false);
    ASSERT_TRUE(WaitUntil([&] { return m_source->Done(); }, 2000ms));
    EXPECT_EQ(m_source->Results(), (std::vector<HRESULT>{VFW_E_INVALIDMEDIATYPE}));
    EXPECT_EQ(m_sink.Count(), 0u);
    // The graph hears of the failure, and the renderer counts as finished
    // without the end of stream that upstream may never send.
    ASSERT_TRUE(WaitUntil([&] { return m_graph->Count(EC_COMPLETE) == 1; }, 2000ms));
    ASSERT_EQ(m_graph->Count(EC_ERRORABORT), 1);
    for (const CTestGraph::Event& e : m_graph->Events()) {
        if (e.code == EC_ERRORABORT) {
            EXPECT_EQ(e.p1, VFW_E_INVALIDMEDIATYPE);
        }
    }
    // Later samples and the end of stream add nothing.
    m_source->Start({{Bytes({2}), {}, {}, {}}}, true);
    ASSERT_TRUE(WaitUntil([&] { return m_source->Done(); }, 2000ms));
    EXPECT_EQ(m_sink.Count(), 0u);
    EXPECT_EQ(m_graph->Count(EC_COMPLETE), 1);
}

TEST_F(NullRendererTest, NoHandOverWithoutASink)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_YUY2, 64, 48)}, false), S_OK);
    Run(0);
    m_source->Start({{Bytes({1}), {}, {}, {}}}, false);
    ASSERT_TRUE(WaitUntil([&] { return m_source->Done(); }, 2000ms));
    EXPECT_EQ(m_source->Results(), (std::vector<HRESULT>{S_OK}));
}

TEST_F(NullRendererTest, NoHandOverBeforeAFormatIsKnown)
{
    HRESULT hr = S_OK;
    m_renderer = new CNullRenderer(&m_sink, 1, &hr);
    ComPtr<IMemAllocator> alloc(static_cast<IMemAllocator*>(new CMemAllocator));
    ALLOCATOR_PROPERTIES props{1, 16, 1, 0}, actual{};
    alloc->SetProperties(&props, &actual);
    alloc->Commit();
    IMediaSample* sample = nullptr;
    ASSERT_EQ(alloc->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
    EXPECT_EQ(m_renderer->DoRenderSample(sample), S_FALSE);
    EXPECT_EQ(m_renderer->DoRenderSample(nullptr), S_FALSE);
    CMediaType mt = MakeVideoType(MEDIASUBTYPE_YUY2, 64, 48);
    m_renderer->SetMediaType(&mt);
    EXPECT_EQ(m_renderer->DoRenderSample(sample), S_OK);
    EXPECT_EQ(m_sink.Count(), 1u);
    sample->Release();
    alloc->Decommit();
}

TEST_F(NullRendererTest, SeekingIsPassedToTheUpstreamPin)
{
    ASSERT_EQ(Build(1, {MakeVideoType(MEDIASUBTYPE_YUY2, 64, 48)}), S_OK);
    ComPtr<IMediaSeeking> seeking = ComPtr<IBaseFilter>(m_renderer.Get()).As<IMediaSeeking>();
    ASSERT_TRUE(seeking);
    LONGLONG pos = 900000000, duration = 0;
    EXPECT_EQ(seeking->SetPositions(&pos, AM_SEEKING_AbsolutePositioning | AM_SEEKING_SeekToKeyFrame, nullptr, 0),
              S_OK);
    EXPECT_EQ(m_source->Pin()->seeking.lastSeek.load(), 900000000);
    EXPECT_EQ(m_source->Pin()->seeking.lastFlags.load(), 5u);
    EXPECT_EQ(seeking->GetDuration(&duration), S_OK);
    EXPECT_EQ(duration, 50000000);
    ComPtr<IMediaPosition> position = ComPtr<IBaseFilter>(m_renderer.Get()).As<IMediaPosition>();
    REFTIME seconds = 0;
    EXPECT_EQ(position->get_Duration(&seconds), S_OK);
    EXPECT_DOUBLE_EQ(seconds, 5.0);
    // The renderer offers no clock of its own.
    EXPECT_FALSE(ComPtr<IBaseFilter>(m_renderer.Get()).As<IReferenceClock>());
}

TEST_F(NullRendererTest, UnconnectedRendererPausesAtOnce)
{
    HRESULT hr = S_OK;
    m_renderer = new CNullRenderer(&m_sink, 1, &hr);
    EXPECT_EQ(m_renderer->Pause(), S_OK);
    FILTER_STATE state;
    EXPECT_EQ(m_renderer->GetState(0, &state), S_OK);
    EXPECT_EQ(state, State_Paused);
    EXPECT_EQ(m_renderer->GetMiscFlags(), AM_FILTER_MISC_FLAGS_IS_RENDERER);
}
