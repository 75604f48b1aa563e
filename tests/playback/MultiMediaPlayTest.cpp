// The playback engine on files made by ffmpeg, with the decoder modules from
// bin/LAVFilters and the system filters registered at start-up: file tests,
// playback with the capture renderers, graph events through a notify window,
// pause and seek, the file types the system renders, the running object
// table, long paths and teardown.
#include <gtest/gtest.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <regex>

#include "tests/lavfilters/TestMedia.h"
#include "tests/playback/EngineHelpers.h"

using namespace enginetest;
using namespace lavtest;

namespace {

std::string Video25()
{
    return MakeMedia("ENGINE_H264_AAC_25", H264AacArgs(), ".mp4");
}
std::string Video2997()
{
    return MakeMedia("ENGINE_H264_2997",
                     "-f lavfi -i testsrc2=size=176x144:rate=30000/1001:duration=2 -c:v libx264 -preset veryfast "
                     "-pix_fmt yuv420p ",
                     ".mp4");
}
// 1/15 s is no whole number of 100 ns units: the stored frame time rounds up.
std::string Video15()
{
    return MakeMedia("ENGINE_MJPEG_15",
                     "-f lavfi -i testsrc2=size=160x120:rate=15:duration=1 -c:v mjpeg -pix_fmt yuvj420p ", ".avi");
}
std::string Sound()
{
    return MakeMedia("ENGINE_AAC", AudioSource(44100) + "-c:a aac -b:a 64k ", ".m4a");
}
std::string Wave()
{
    return MakeMedia("ENGINE_PCM", AudioSource(22050) + "-ac 2 -c:a pcm_s16le ", ".wav");
}
std::string Wmv()
{
    return MakeMedia("ENGINE_WMV", kVideoSource + AudioSource(44100) + "-c:v wmv2 -g 25 -c:a wmav2 -b:a 64k ",
                     ".wmv");
}

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

OAFilterState GraphState(IGraphBuilder* graph)
{
    ComPtr<IMediaControl> control;
    OAFilterState state = -1;
    if (graph && SUCCEEDED(graph->QueryInterface(IID_IMediaControl, control.ReleaseAndGetVoidAddress())))
        control->GetState(2000, &state);
    return state;
}

class EngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        m_baseline = CBaseObject::ObjectsActive();
    }
    void TearDown() override
    {
        // Whatever a test built is gone, the graph's table entries included.
        EXPECT_EQ(CBaseObject::ObjectsActive(), m_baseline);
        EXPECT_TRUE(GraphEntries().empty());
    }
    long m_baseline = 0;
};

// ---------------------------------------------------------------------------
// File tests (test-only engine, the system's default renderers)

TEST_F(EngineTest, FileTestOfVideoReportsNativeSizeWholeFrameRateAndDuration)
{
    struct
    {
        std::string path;
        int width, height, fps;
    } files[] = {{Video25(), 160, 120, 25}, {Video2997(), 176, 144, 29}, {Video15(), 160, 120, 15}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.path);
        CMultiMediaPlay engine(true, nullptr);
        ASSERT_TRUE(engine.Create());
        ASSERT_TRUE(Render(engine, f.path));
        ComPtr<IGraphBuilder> graph = OnlyGraph();
        std::vector<std::string> names = FilterNames(graph.Get());
        EXPECT_TRUE(Contains(names, "Video Renderer"));
        EXPECT_TRUE(Contains(names, "LAV Splitter"));
        EXPECT_FALSE(Contains(names, "NULL Video Renderer"));
        // The default renderer's window stays hidden.
        ComPtr<IVideoWindow> window;
        ASSERT_EQ(graph->QueryInterface(IID_IVideoWindow, window.ReleaseAndGetVoidAddress()), S_OK);
        LONG visible = -1;
        ASSERT_EQ(window->get_Visible(&visible), S_OK);
        EXPECT_EQ(visible, OAFALSE);

        MediaInfo info{7, 7, -7, -7, 7, 7};
        engine.GetMediaInfo(info);
        EXPECT_EQ(info.hasVideo, 1);
        EXPECT_EQ(info.alwaysOne, 1);
        EXPECT_EQ(info.width, f.width);
        EXPECT_EQ(info.height, f.height);
        EXPECT_EQ(info.framesPerSecond, f.fps);
        const Probe probe = Probe::Format(f.path);
        EXPECT_NEAR(info.durationMs, probe.duration * 1000, 50);
    }
}

TEST_F(EngineTest, FileTestOfSoundReportsNoVideoDefaultRateAndDuration)
{
    const std::string path = Sound();
    CMultiMediaPlay engine(true, nullptr);
    ASSERT_TRUE(engine.Create());
    ASSERT_TRUE(Render(engine, path));
    MediaInfo info{7, 7, -7, -7, 7, 7};
    engine.GetMediaInfo(info);
    EXPECT_EQ(info.hasVideo, 0);
    EXPECT_EQ(info.alwaysOne, 1);
    EXPECT_EQ(info.width, -7);  // no size known: the caller's values stay
    EXPECT_EQ(info.height, -7);
    EXPECT_EQ(info.framesPerSecond, 25);
    EXPECT_NEAR(info.durationMs, Probe::Format(path).duration * 1000, 50);
}

// The dialog's file test: Create, RenderFile, then the record with its
// defaults. A file that no filter reads still "renders" (the table entry is
// made), but there is no duration, and the unused splitter is taken out
// while the decoders stay.
TEST_F(EngineTest, FileTestOfUnreadableFileReportsNoDurationAndDropsTheUnusedSplitter)
{
    TempDir tmp;
    std::vector<uint8_t> noise(65536);
    uint32_t x = 7;
    for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    WriteAll(tmp.File("noise.mkv"), noise);
    WriteAll(tmp.File("empty.mp4"), {});
    for (const std::string& path : {tmp.File("noise.mkv"), tmp.File("empty.mp4"), tmp.File("missing.avi")}) {
        SCOPED_TRACE(path);
        CMultiMediaPlay engine(true, nullptr);
        ASSERT_TRUE(engine.Create());
        {
            std::vector<std::string> names = FilterNames(OnlyGraph().Get());
            EXPECT_TRUE(Contains(names, "LAV Splitter"));
        }
        EXPECT_TRUE(Render(engine, path));
        std::vector<std::string> names = FilterNames(OnlyGraph().Get());
        EXPECT_FALSE(Contains(names, "LAV Splitter"));
        EXPECT_TRUE(Contains(names, "LAV Video Decoder"));
        EXPECT_TRUE(Contains(names, "LAV Audio Decoder"));
        MediaInfo info{};
        info.durationMs = 12345;
        engine.GetMediaInfo(info);
        EXPECT_EQ(info.durationMs, -1);
        EXPECT_EQ(info.framesPerSecond, 25);
        EXPECT_FALSE(engine.Play());
        int64_t position = 99;
        EXPECT_FALSE(engine.GetCurrentPosition(&position));
        EXPECT_EQ(position, 99);
    }
}

// ---------------------------------------------------------------------------
// Playback (capture renderers)

TEST_F(EngineTest, PlaybackDeliversPicturesAndSoundAndEachCompletionReachesTheSinkOnce)
{
    const std::string path = Video25();
    RecordingSink sink;
    MessageWindow window;
    {
        CMultiMediaPlay engine(false, &sink);
        testing::internal::CaptureStderr();
        ASSERT_TRUE(engine.Create());
        const std::string log = testing::internal::GetCapturedStderr();
        char self[64];
        std::snprintf(self, sizeof(self), " this=0x%" PRIXPTR, reinterpret_cast<uintptr_t>(&engine));
        EXPECT_EQ(CountOf(log, std::string("CNullRenderer Audio 0") + self), 1u) << log;
        EXPECT_EQ(CountOf(log, std::string("AddFilter Audio 0") + self), 1u) << log;
        EXPECT_EQ(CountOf(log, std::string("CNullRenderer video 0") + self), 1u) << log;
        EXPECT_EQ(CountOf(log, std::string("AddFilter video 0") + self), 1u) << log;
        EXPECT_LT(log.find("CNullRenderer Audio"), log.find("CNullRenderer video"));
        EXPECT_EQ(CountOf(log, "CreateInstanceFromFile fail"), 0u);

        ASSERT_TRUE(Render(engine, path));
        ComPtr<IGraphBuilder> graph = OnlyGraph();
        std::vector<std::string> names = FilterNames(graph.Get());
        for (const char* name : {"LAV Splitter", "LAV Video Decoder", "LAV Audio Decoder", "NULL Audio Renderer",
                                 "NULL Video Renderer"})
            EXPECT_TRUE(Contains(names, name)) << name;
        EXPECT_FALSE(Contains(names, "Video Renderer"));
        EXPECT_FALSE(Contains(names, "Default DirectSound Device"));

        engine.SetNotifyWindow(window.Handle(), MessageWindow::kGraphNotify);
        ASSERT_TRUE(engine.Play());
        EXPECT_TRUE(engine.Play());  // already running

        // During playback no filter offers a video window.
        MediaInfo info{7, 7, -7, -7, 7, 7};
        engine.GetMediaInfo(info);
        EXPECT_EQ(info.hasVideo, 0);
        EXPECT_EQ(info.width, -7);
        EXPECT_EQ(info.framesPerSecond, 25);
        EXPECT_NEAR(info.durationMs, 3000, 100);

        ASSERT_TRUE(window.Pump(engine, [&] { return sink.Completions() >= 1; }, 15000));
        EXPECT_EQ(sink.Pictures(), Probe::CountFrames(path, 0));
        EXPECT_GT(sink.SoundBlocks(), 0);
        {
            std::lock_guard lock(sink.m_mutex);
            EXPECT_EQ(sink.videoFormat.width, 160);
            EXPECT_EQ(sink.videoFormat.height, 120);
            EXPECT_EQ(sink.audioFormat.sampleRate, 44100);
            EXPECT_EQ(sink.completionThreads.at(0), std::this_thread::get_id());
        }
        EXPECT_EQ(window.strays, 0);
        // Completion leaves the graph running: a seek plays on from there.
        EXPECT_EQ(GraphState(graph.Get()), State_Running);
        const int before = sink.Pictures();
        engine.SeekTo(2000);
        ASSERT_TRUE(window.Pump(engine, [&] { return sink.Completions() >= 2; }, 15000));
        EXPECT_NEAR(sink.Pictures() - before, 25, 1);  // 2 s .. 3 s
        // Nothing more completes.
        window.Pump(engine, [] { return false; }, 300);
        EXPECT_EQ(sink.Completions(), 2);
    }
}

TEST_F(EngineTest, PauseStopsDeliveryPlayResumesAndSeekLandsOnAKeyFrame)
{
    RecordingSink sink;
    CMultiMediaPlay engine(false, &sink);
    ASSERT_TRUE(engine.Create());
    ASSERT_TRUE(Render(engine, Video25()));
    ComPtr<IGraphBuilder> graph = OnlyGraph();
    ASSERT_TRUE(engine.Play());
    ASSERT_TRUE(WaitFor([&] { return sink.Pictures() >= 5; }, 5000));

    ASSERT_TRUE(engine.Pause());
    ASSERT_EQ(GraphState(graph.Get()), State_Paused);
    EXPECT_TRUE(engine.Pause());  // already paused
    const int pictures = sink.Pictures(), blocks = sink.SoundBlocks();
    // Nothing is handed over while paused.
    EXPECT_FALSE(WaitFor([&] { return sink.Pictures() != pictures || sink.SoundBlocks() != blocks; }, 400));

    // Key frames every second: 1.5 s lands on 1 s; the graph stays paused.
    engine.SeekTo(1500);
    int64_t position = -1;
    ASSERT_TRUE(engine.GetCurrentPosition(&position));
    EXPECT_NEAR(position, 1000, 40);
    EXPECT_EQ(GraphState(graph.Get()), State_Paused);
    EXPECT_EQ(sink.Pictures(), pictures);

    ASSERT_TRUE(engine.Play());
    EXPECT_TRUE(WaitFor([&] { return sink.Pictures() > pictures + 5; }, 5000));
    ASSERT_TRUE(engine.GetCurrentPosition(&position));
    EXPECT_GE(position, 1000 - 40);
    EXPECT_LT(position, 3100);

    // A seek far beyond the end (or beyond the 100-ns range) is harmless.
    engine.SeekTo(INT64_MAX);
    engine.SeekTo(-INT64_MAX);
    EXPECT_TRUE(engine.GetCurrentPosition(&position));
}

// The dialog may test a file while another plays: the second engine loads
// and unloads the same modules without disturbing the first.
TEST_F(EngineTest, FileTestDuringPlaybackLeavesThePlaybackRunning)
{
    RecordingSink sink;
    CMultiMediaPlay playback(false, &sink);
    ASSERT_TRUE(playback.Create());
    ASSERT_TRUE(Render(playback, Video25()));
    ASSERT_TRUE(playback.Play());
    ASSERT_TRUE(WaitFor([&] { return sink.Pictures() >= 3; }, 5000));
    {
        CMultiMediaPlay test(true, nullptr);
        ASSERT_TRUE(test.Create());
        ASSERT_TRUE(Render(test, Video2997()));
        MediaInfo info{};
        test.GetMediaInfo(info);
        EXPECT_EQ(info.framesPerSecond, 29);
        EXPECT_EQ(GraphEntries().size(), 4u);
    }
    EXPECT_EQ(GraphEntries().size(), 2u);
    const int pictures = sink.Pictures();
    EXPECT_TRUE(WaitFor([&] { return sink.Pictures() >= pictures + 5; }, 5000));
}

// Graph events queued before the message is handled are drained in one
// call; each completion among them reaches the sink once.
TEST_F(EngineTest, OneNotifyMessageDrainsEveryQueuedEvent)
{
    RecordingSink sink;
    MessageWindow window;
    CMultiMediaPlay engine(false, &sink);
    ASSERT_TRUE(engine.Create());
    ASSERT_TRUE(Render(engine, Wave()));
    ComPtr<IGraphBuilder> graph = OnlyGraph();
    ComPtr<IMediaEventEx> events;
    ComPtr<IMediaEventSink> eventSink;
    ASSERT_EQ(graph->QueryInterface(IID_IMediaEventEx, events.ReleaseAndGetVoidAddress()), S_OK);
    ASSERT_EQ(graph->QueryInterface(IID_IMediaEventSink, eventSink.ReleaseAndGetVoidAddress()), S_OK);
    ASSERT_EQ(events->CancelDefaultHandling(EC_COMPLETE), S_OK);  // pass completions straight through
    engine.SetNotifyWindow(window.Handle(), MessageWindow::kGraphNotify);
    eventSink->Notify(EC_COMPLETE, S_OK, 0);
    eventSink->Notify(EC_PAUSED, S_OK, 0);
    eventSink->Notify(EC_COMPLETE, S_OK, 0);
    engine.HandleGraphEvents();
    EXPECT_EQ(sink.Completions(), 2);
    LONG code = 0;
    LONG_PTR p1 = 0, p2 = 0;
    EXPECT_TRUE(FAILED(events->GetEvent(&code, &p1, &p2, 0)));  // queue empty
    EXPECT_GE(window.Queued(), 1u);
}

// ---------------------------------------------------------------------------
// The two file types the system's own filters render

TEST_F(EngineTest, LowerCaseWavGoesThroughTheSystemWaveParserUpperCaseThroughTheLavSplitter)
{
    TempDir tmp;
    const std::string upper = tmp.File("tone.WAV");
    std::filesystem::copy_file(Wave(), upper);
    struct
    {
        std::string path;
        bool system;
    } files[] = {{Wave(), true}, {upper, false}};
    for (const auto& f : files) {
        SCOPED_TRACE(f.path);
        RecordingSink sink;
        CMultiMediaPlay engine(false, &sink);
        ASSERT_TRUE(engine.Create());
        testing::internal::CaptureStderr();
        ASSERT_TRUE(Render(engine, f.path));
        const std::string log = testing::internal::GetCapturedStderr();
        char self[64];
        std::snprintf(self, sizeof(self), " this=0x%" PRIXPTR, reinterpret_cast<uintptr_t>(&engine));
        EXPECT_EQ(CountOf(log, std::string("CMultiMediaPlay::RenderFile do not use mpc-hc wav") + self),
                  f.system ? 1u : 0u)
            << log;
        EXPECT_EQ(CountOf(log, std::string("CMultiMediaPlay::RenderFile ") + f.path + self), 1u) << log;
        std::vector<std::string> names = FilterNames(OnlyGraph().Get());
        EXPECT_EQ(Contains(names, "Wave Parser"), f.system);
        EXPECT_EQ(Contains(names, "LAV Splitter"), !f.system);
        EXPECT_EQ(Contains(names, "LAV Audio Decoder"), !f.system);
        EXPECT_EQ(Contains(names, "LAV Video Decoder"), !f.system);
        EXPECT_FALSE(Contains(names, "System Splitter"));
        ASSERT_TRUE(engine.Play());
        ASSERT_TRUE(WaitFor([&] { return sink.SoundBlocks() >= 3; }, 5000));
        std::lock_guard lock(sink.m_mutex);
        EXPECT_EQ(sink.audioFormat.sampleRate, 22050);
        EXPECT_EQ(sink.audioFormat.channels, 2);
        EXPECT_EQ(sink.pictures, 0);
    }
}

TEST_F(EngineTest, WmvPlaysThroughTheSystemSplitterAndDecoders)
{
    RecordingSink sink;
    CMultiMediaPlay engine(false, &sink);
    ASSERT_TRUE(engine.Create());
    testing::internal::CaptureStderr();
    ASSERT_TRUE(Render(engine, Wmv()));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(CountOf(log, "CMultiMediaPlay::RenderFile do not use mpc-hc wmv this=0x"), 1u) << log;
    std::vector<std::string> names = FilterNames(OnlyGraph().Get());
    for (const char* name : {"System Splitter", "System Video Decoder", "System Audio Decoder"})
        EXPECT_TRUE(Contains(names, name)) << name;
    for (const char* name : {"LAV Splitter", "LAV Video Decoder", "LAV Audio Decoder"})
        EXPECT_FALSE(Contains(names, name)) << name;
    ASSERT_TRUE(engine.Play());
    EXPECT_TRUE(WaitFor([&] { return sink.Pictures() >= 10 && sink.SoundBlocks() >= 3; }, 5000));
}

// ---------------------------------------------------------------------------
// Running object table

TEST_F(EngineTest, TwoTableEntriesNameTheGraphWithEveryDigitOfItsAddress)
{
    char pid[16];
    std::snprintf(pid, sizeof(pid), "%08x", static_cast<unsigned>(::getpid()));
    // Eight digits at least, more as the address needs, never cut short.
    const std::string digits = "8," + std::to_string(2 * sizeof(void*));
    {
        CMultiMediaPlay engine(true, nullptr);
        EXPECT_TRUE(GraphEntries().empty());
        ASSERT_TRUE(engine.Create());
        std::vector<std::string> entries = GraphEntries();
        ASSERT_EQ(entries.size(), 1u);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(entries[0], m,
                                     std::regex("!ExtGraph\\.FilterGraph ([0-9A-F]{" + digits + "}) pid " + pid)))
            << entries[0];
        ComPtr<IGraphBuilder> graph = GraphByName(entries[0]);
        ASSERT_TRUE(graph);
        EXPECT_EQ(std::stoull(m[1].str(), nullptr, 16), reinterpret_cast<uintptr_t>(graph.Get()));
        EXPECT_TRUE(m[1].length() == 8 || m[1].str()[0] != '0') << m[1];

        ASSERT_TRUE(Render(engine, Wave()));
        entries = GraphEntries();
        ASSERT_EQ(entries.size(), 2u);
        const std::string second = entries[0].rfind("!ExtGraph", 0) == 0 ? entries[1] : entries[0];
        ASSERT_TRUE(
            std::regex_match(second, m, std::regex("!FilterGraph ([0-9a-f]{" + digits + "}) pid " + pid)))
            << second;
        EXPECT_EQ(std::stoull(m[1].str(), nullptr, 16), reinterpret_cast<uintptr_t>(graph.Get()));
        EXPECT_TRUE(m[1].length() == 8 || m[1].str()[0] != '0') << m[1];
        EXPECT_EQ(GraphByName(second), graph);

        // A second engine has entries of its own.
        CMultiMediaPlay other(true, nullptr);
        ASSERT_TRUE(other.Create());
        EXPECT_EQ(GraphEntries().size(), 3u);
    }
    EXPECT_TRUE(GraphEntries().empty());
}

// ---------------------------------------------------------------------------
// Paths, call order, teardown

TEST_F(EngineTest, RenderFileRefusesPathsThatDoNotFitAndTakesTheLongestThatDoes)
{
    TempDir tmp;
    const std::string dir = tmp.File("");
    ASSERT_LT(dir.size(), 259u - 10u);
    // 259 wide characters (terminator makes 260): still taken.
    const std::string fits = dir + std::string(259 - dir.size() - 4, 'a') + ".wav";
    ASSERT_EQ(Utf8ToUtf16(fits).size(), 259u);
    std::filesystem::copy_file(Wave(), fits);
    // 260 with a character outside ASCII: counted in UTF-16 units.
    const std::string tooLong = dir + "\xC3\xA9" + std::string(260 - dir.size() - 5, 'b') + ".wav";
    ASSERT_EQ(Utf8ToUtf16(tooLong).size(), 260u);
    {
        CMultiMediaPlay engine(false, nullptr);
        ASSERT_TRUE(engine.Create());
        testing::internal::CaptureStderr();
        EXPECT_FALSE(Render(engine, tooLong));
        EXPECT_FALSE(Render(engine, tooLong + std::string(1000, 'c')));
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(CountOf(log, "CMultiMediaPlay::RenderFile"), 2u) << log;
        EXPECT_EQ(CountOf(log, "CMultiMediaPlay::RenderFile path too long 260 this=0x"), 1u) << log;
        EXPECT_EQ(GraphEntries().size(), 1u);  // no second entry
        EXPECT_FALSE(engine.Play());
        EXPECT_TRUE(Render(engine, fits));
        EXPECT_EQ(GraphEntries().size(), 2u);
        // One file per engine.
        EXPECT_FALSE(Render(engine, fits));
        EXPECT_EQ(GraphEntries().size(), 2u);
        MediaInfo info{};
        engine.GetMediaInfo(info);
        EXPECT_NEAR(info.durationMs, 3000, 50);
    }
}

TEST_F(EngineTest, OperationsOutOfOrderFailSoftly)
{
    RecordingSink sink;
    CMultiMediaPlay engine(false, &sink);
    // Nothing built yet.
    EXPECT_FALSE(engine.RenderFile(u"/nonexistent.wav"));
    EXPECT_FALSE(engine.Play());
    EXPECT_FALSE(engine.Pause());
    engine.Stop();
    engine.SeekTo(1000);
    engine.HandleGraphEvents();
    engine.SetNotifyWindow(0, MessageWindow::kGraphNotify);
    int64_t position = 5;
    EXPECT_FALSE(engine.GetCurrentPosition(&position));
    EXPECT_EQ(position, 5);
    MediaInfo info{3, 3, 3, 3, 3, 3};
    EXPECT_EQ(&engine.GetMediaInfo(info), &info);
    EXPECT_EQ(info.hasVideo, 1);
    EXPECT_EQ(info.alwaysOne, 1);
    EXPECT_EQ(info.width, 3);
    EXPECT_EQ(info.durationMs, -1);
    EXPECT_EQ(info.framesPerSecond, 25);

    ASSERT_TRUE(engine.Create());
    const long objects = CBaseObject::ObjectsActive();
    EXPECT_FALSE(engine.Create());  // a second Create adds nothing
    EXPECT_EQ(CBaseObject::ObjectsActive(), objects);
    EXPECT_EQ(GraphEntries().size(), 1u);
    EXPECT_FALSE(engine.RenderFile(nullptr));
    EXPECT_FALSE(engine.Play());  // not rendered
}

// Destruction at every stage returns promptly and leaves nothing behind
// (the fixture checks the live-object count and the table).
TEST_F(EngineTest, DestructionAtAnyStageNeitherHangsNorLeaks)
{
    const std::string video = Video25();
    using Clock = std::chrono::steady_clock;
    auto timed = [](const std::function<void()>& f) {
        const auto start = Clock::now();
        f();
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    };
    enum Stage { Constructed, Created, Rendered, Playing, Paused, SeekedWhilePlaying };
    const struct
    {
        Stage stage;
        bool testOnly;
    } cases[] = {{Constructed, false}, {Constructed, true}, {Created, false},  {Created, true},
                 {Rendered, false},    {Rendered, true},    {Playing, false},  {Playing, true},
                 {Paused, false},      {SeekedWhilePlaying, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.stage) + (c.testOnly ? " test-only" : " playback"));
        RecordingSink sink;
        auto engine = std::make_unique<CMultiMediaPlay>(c.testOnly, &sink);
        if (c.stage >= Created) {
            ASSERT_TRUE(engine->Create());
        }
        if (c.stage >= Rendered) {
            ASSERT_TRUE(Render(*engine, video));
        }
        if (c.stage >= Playing) {
            ASSERT_TRUE(engine->Play());
            if (!c.testOnly) {
                ASSERT_TRUE(WaitFor([&] { return sink.Pictures() > 3; }, 5000));
            }
        }
        if (c.stage == Paused) {
            ASSERT_TRUE(engine->Pause());
        }
        if (c.stage == SeekedWhilePlaying) engine->SeekTo(1500);
        EXPECT_LT(timed([&] { engine.reset(); }), 3000);
        EXPECT_TRUE(GraphEntries().empty());
    }
}

}  // namespace
