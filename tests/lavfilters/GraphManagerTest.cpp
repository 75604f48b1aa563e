// The modules as the engine uses them: loaded from LAVFilters/, their
// filters added to a filter graph with the two capture renderers, the file
// rendered by the graph manager's intelligent connect, played in real time,
// seeked and completed. And the system filters when no module is there.
#include <gtest/gtest.h>

#include <cstring>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/dshow/FilterGraph.h"
#include "platform/lavfilters/filters/LavGuids.h"
#include "platform/os/Unicode.h"
#include "playback/NullRenderer.h"
#include "tests/lavfilters/GraphHelpers.h"
#include "tests/lavfilters/TestMedia.h"

using namespace lavtest;

namespace {

class LavGraphManagerTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { av_log_set_level(AV_LOG_FATAL); }

    void SetUp() override
    {
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC, IID_IGraphBuilder,
                                   m_graph.ReleaseAndGetVoidAddress()),
                  S_OK);
        m_graph.As(&m_control);
        m_graph.As(&m_events);
        m_graph.As(&m_seeking);
        HRESULT hr = S_OK;
        m_videoRenderer = ComPtr<CNullRenderer>(new CNullRenderer(&m_sink, 1, &hr));
        m_audioRenderer = ComPtr<CNullRenderer>(new CNullRenderer(&m_sink, 0, &hr));
    }
    void TearDown() override
    {
        if (m_control) m_control->Stop();
        m_control = nullptr;
        m_events = nullptr;
        m_seeking = nullptr;
        m_graph = nullptr;  // removes and releases every filter
        m_splitter = m_video = m_audio = nullptr;
        m_videoRenderer = m_audioRenderer = nullptr;
    }
    // The engine's set-up: decoders, splitter, then the capture renderers.
    void AddLavFilters()
    {
        m_audio = m_audioModule.Create(CLSID_LAVAudio);
        m_video = m_videoModule.Create(CLSID_LAVVideo);
        m_splitter = m_splitterModule.Create(CLSID_LAVSplitter);
        ASSERT_TRUE(m_audio && m_video && m_splitter);
        ASSERT_EQ(m_graph->AddFilter(m_audio.Get(), u"LAV Audio Decoder"), S_OK);
        ASSERT_EQ(m_graph->AddFilter(m_video.Get(), u"LAV Video Decoder"), S_OK);
        ASSERT_EQ(m_graph->AddFilter(m_splitter.Get(), u"LAV Splitter"), S_OK);
    }
    void AddRenderers()
    {
        ASSERT_EQ(m_graph->AddFilter(m_audioRenderer.Get(), u"NULL Audio Renderer"), S_OK);
        ASSERT_EQ(m_graph->AddFilter(m_videoRenderer.Get(), u"NULL Video Renderer"), S_OK);
    }
    HRESULT Render(const std::string& path)
    {
        const std::u16string wide = Utf8ToUtf16(path);
        return m_graph->RenderFile(wide.c_str(), nullptr);
    }
    bool SplitterInputConnected()
    {
        ComPtr<IEnumPins> pins;
        m_splitter->EnumPins(pins.ReleaseAndGetAddressOf());
        IPin* raw = nullptr;
        ULONG got = 0;
        while (pins->Next(1, &raw, &got) == S_OK && got == 1) {
            ComPtr<IPin> pin = ComPtr<IPin>::Attach(raw);
            PIN_DIRECTION dir;
            pin->QueryDirection(&dir);
            if (dir != PINDIR_INPUT) continue;
            ComPtr<IPin> peer;
            return pin->ConnectedTo(peer.ReleaseAndGetAddressOf()) == S_OK;
        }
        return false;
    }
    // Class identifiers of every filter in the graph.
    std::vector<CLSID> GraphClasses()
    {
        std::vector<CLSID> result;
        ComPtr<IEnumFilters> filters;
        m_graph->EnumFilters(filters.ReleaseAndGetAddressOf());
        IBaseFilter* raw = nullptr;
        ULONG got = 0;
        while (filters->Next(1, &raw, &got) == S_OK && got == 1) {
            ComPtr<IBaseFilter> f = ComPtr<IBaseFilter>::Attach(raw);
            CLSID clsid{};
            f->GetClassID(&clsid);
            result.push_back(clsid);
        }
        return result;
    }
    bool Has(const CLSID& clsid)
    {
        for (const CLSID& c : GraphClasses())
            if (c == clsid) return true;
        return false;
    }
    // Waits for EC_COMPLETE (the graph sends one when every renderer has).
    bool WaitComplete(LONG ms)
    {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < deadline) {
            if (m_events->GetEvent(&code, &p1, &p2, 100) != S_OK) continue;
            m_events->FreeEventParams(code, p1, p2);
            if (code == EC_COMPLETE) return true;
            if (code == EC_ERRORABORT) return false;
        }
        return false;
    }

    Module m_splitterModule{"LAVSplitter.ax"};
    Module m_videoModule{"LAVVideo.ax"};
    Module m_audioModule{"LAVAudio.ax"};
    CountingSink m_sink;
    ComPtr<IGraphBuilder> m_graph;
    ComPtr<IMediaControl> m_control;
    ComPtr<IMediaEventEx> m_events;
    ComPtr<IMediaSeeking> m_seeking;
    ComPtr<IBaseFilter> m_splitter, m_video, m_audio;
    ComPtr<CNullRenderer> m_videoRenderer, m_audioRenderer;
};

struct GraphCase
{
    const char* name;
    const char* ext;
    std::string args;
    bool video, audio;
    int colorSpace, rate, channels, bits;
    double keepFraction = 1.0;  // < 1: the file is cut to this share of its bytes
};

std::ostream& operator<<(std::ostream& os, const GraphCase& c)
{
    return os << c.name;
}

// The test file; a cut copy in `tmp` for the truncated case.
std::string CaseFile(const GraphCase& c, const TempDir& tmp)
{
    const std::string path = MakeMedia(c.name, c.args, c.ext);
    if (c.keepFraction >= 1.0) return path;
    std::vector<uint8_t> bytes = ReadAll(path);
    bytes.resize(static_cast<size_t>(static_cast<double>(bytes.size()) * c.keepFraction));
    const std::string cut = tmp.File(std::string("cut") + c.ext);
    WriteAll(cut, bytes);
    return cut;
}

class LavGraphTest : public LavGraphManagerTest, public ::testing::WithParamInterface<GraphCase>
{
};

TEST_P(LavGraphTest, RendersThroughTheModulesPlaysSeeksAndCompletes)
{
    const GraphCase& c = GetParam();
    TempDir tmp;
    const std::string path = CaseFile(c, tmp);
    AddLavFilters();
    AddRenderers();
    ASSERT_EQ(Render(path), S_OK);
    EXPECT_TRUE(SplitterInputConnected());
    EXPECT_FALSE(Has(CLSID_SystemSplitter));
    LONGLONG duration = 0;
    ASSERT_EQ(m_seeking->GetDuration(&duration), S_OK);
    EXPECT_NEAR(static_cast<double>(duration) / 1e7, 3.0, 0.2);

    ASSERT_TRUE(SUCCEEDED(m_control->Run()));
    ASSERT_TRUE(WaitComplete(15000));
    const Probe format = Probe::Format(path);
    {
        std::lock_guard lock(m_sink.m_mutex);
        if (c.video) {
            EXPECT_EQ(m_sink.videoFormat.colorSpace, c.colorSpace);
            EXPECT_EQ(m_sink.videoFormat.width, 160);
            EXPECT_EQ(m_sink.videoFormat.height, 120);
            EXPECT_EQ(m_sink.pictures, Probe::CountFrames(path, 0));
            EXPECT_EQ(m_sink.videoBytes, 160 * 120 * 3 / 2);
        } else {
            EXPECT_EQ(m_sink.pictures, 0);
        }
        if (c.audio) {
            EXPECT_EQ(m_sink.audioFormat.sampleRate, c.rate);
            EXPECT_EQ(m_sink.audioFormat.channels, c.channels);
            EXPECT_EQ(m_sink.audioFormat.bitsPerSample, c.bits);
            TempDir raw;
            ASSERT_TRUE(lavtest::Run("ffmpeg -nostdin -v error -i '" + path + "' -map 0:a -f " +
                                     (c.bits == 8 ? "u8" : "s16le") + " '" + raw.File("a.raw") + "'"));
            const auto expected = static_cast<int64_t>(ReadAll(raw.File("a.raw")).size());
            if (c.keepFraction >= 1.0) {
                EXPECT_EQ(m_sink.audioBytes, expected);
            } else {
                EXPECT_GT(m_sink.audioBytes, 0);
                EXPECT_LE(m_sink.audioBytes, expected + 8192);
            }
        } else {
            EXPECT_EQ(m_sink.audioBlocks, 0);
        }
    }

    // A seek to the middle lands on the last key frame at or before it (of
    // the video, else of the sound) and plays on from there to the end.
    const std::vector<ProbePacket> packets = Probe::Packets(path, 0);
    LONGLONG target = duration / 2;
    double key = -1;
    for (const ProbePacket& p : packets)
        if (p.key && p.pts >= 0 && (p.pts - format.startTime) * 1e7 <= static_cast<double>(target) + 1e4)
            key = std::max(key, p.pts - format.startTime);
    ASSERT_GE(key, 0);
    int fromKey = 0;
    for (const ProbePacket& p : packets)
        if (p.pts >= 0 && p.pts - format.startTime >= key - 1e-3) ++fromKey;
    m_sink.Reset();
    ASSERT_EQ(m_seeking->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning),
              S_OK);
    LONGLONG current = -1;
    ASSERT_EQ(m_seeking->GetCurrentPosition(&current), S_OK);
    // Playing on: the position runs from the landing point.
    EXPECT_GE(current, static_cast<LONGLONG>(key * 1e7) - 10'000);
    EXPECT_LT(current, static_cast<LONGLONG>(key * 1e7) + 5'000'000);
    ASSERT_TRUE(WaitComplete(15000));
    std::lock_guard lock(m_sink.m_mutex);
    if (c.video) {
        if (c.keepFraction >= 1.0) {
            EXPECT_EQ(m_sink.pictures, fromKey);
        } else {
            EXPECT_GT(m_sink.pictures, 0);
        }
    }
    if (c.audio) {
        EXPECT_GT(m_sink.audioBlocks, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    LavManager, LavGraphTest,
    ::testing::Values(
        GraphCase{"H264_AAC_MP4", ".mp4", H264AacArgs(), true, true, 12, 44100, 1, 16},
        GraphCase{"VP9_Opus_WebM", ".webm",
                  kVideoSource + AudioSource(48000) +
                      "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -g 25 -c:a libopus -b:a 48k ",
                  true, true, 12, 48000, 1, 16},
        GraphCase{"MPEG4_MP3_AVI", ".avi",
                  kVideoSource + AudioSource(44100) + "-c:v mpeg4 -q:v 5 -g 25 -c:a libmp3lame -b:a 64k ", true, true,
                  12, 44100, 1, 16},
        GraphCase{"Theora_Vorbis_Ogg", ".ogg",
                  kVideoSource + AudioSource(44100) + "-c:v libtheora -q:v 5 -g 25 -c:a libvorbis -q:a 2 ", true,
                  true, 12, 44100, 1, 16},
        GraphCase{"MPEG2_MP2_TS", ".ts",
                  kVideoSource + AudioSource(48000) + "-c:v mpeg2video -q:v 5 -g 25 -c:a mp2 -b:a 128k ", true, true,
                  12, 48000, 1, 16},
        GraphCase{"PCM_U8_Mono_WAV", ".wav", AudioSource(22050) + "-ac 1 -c:a pcm_u8 ", false, true, 0, 22050, 1, 8},
        GraphCase{"AAC_5_1_M4A", ".m4a", AudioSource(48000) + "-ac 6 -c:a aac -b:a 192k ", false, true, 0, 48000, 6,
                  16},
        GraphCase{"H264_VideoOnly_MKV", ".mkv",
                  kVideoSource +
                      "-c:v libx264 -preset veryfast -x264-params keyint=25:min-keyint=25:scenecut=0 -pix_fmt yuv420p ",
                  true, false, 12, 0, 0, 0},
        GraphCase{"MP3_AudioOnly", ".mp3", AudioSource(44100) + "-c:a libmp3lame -b:a 64k ", false, true, 0, 44100, 1,
                  16},
        GraphCase{"H264_AAC_MP4_faststart", ".mp4", H264AacArgs() + "-movflags +faststart ", true, true, 12, 44100,
                  1, 16, 0.55}),
    [](const ::testing::TestParamInfo<GraphCase>& info) {
        return info.param.keepFraction < 1.0 ? std::string("Truncated_MP4") : std::string(info.param.name);
    });

TEST_F(LavGraphManagerTest, FilesTheSplitterCannotOpenLeaveItsInputUnconnected)
{
    TempDir tmp;
    WriteAll(tmp.File("empty.avi"), {});
    std::vector<uint8_t> noise(65536);
    uint32_t x = 12345;
    for (auto& b : noise) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
    WriteAll(tmp.File("noise.mkv"), noise);
    for (const char* name : {"empty.avi", "noise.mkv"}) {
        SCOPED_TRACE(name);
        TearDown();
        SetUp();
        AddLavFilters();
        AddRenderers();
        EXPECT_TRUE(FAILED(Render(tmp.File(name))));
        EXPECT_FALSE(SplitterInputConnected());
    }
}

// Without the modules (the folder missing, or the engine took them out for
// ".wmv" and ".wav"), the system filters render these files.
TEST_F(LavGraphManagerTest, SystemFiltersRenderWmvAndCompressedWavesWithoutModules)
{
    struct
    {
        const char* name;
        const char* ext;
        std::string args;
        bool video;
        CLSID parser;
    } files[] = {
        {"WMV2_WMA2_ASF", ".wmv", kVideoSource + AudioSource(44100) + "-c:v wmv2 -g 25 -c:a wmav2 -b:a 64k ", true,
         CLSID_SystemSplitter},
        // The system WAVE parser takes PCM only; the system splitter, next in
        // merit, takes the compressed WAVE file.
        {"MSADPCM_WAV", ".wav", AudioSource(22050) + "-ac 2 -c:a adpcm_ms ", false, CLSID_SystemSplitter},
        {"Wave_MuLaw", ".wav", AudioSource(22050) + "-ac 2 -c:a pcm_mulaw ", false, CLSID_SystemSplitter},
        {"Wave_ALaw", ".wav", AudioSource(22050) + "-ac 2 -c:a pcm_alaw ", false, CLSID_SystemSplitter},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.name);
        TearDown();
        SetUp();
        m_sink.Reset();
        AddRenderers();
        ASSERT_EQ(Render(MakeMedia(f.name, f.args, f.ext)), S_OK);
        EXPECT_TRUE(Has(f.parser));
        EXPECT_TRUE(Has(CLSID_SystemAudioDecoder));
        EXPECT_EQ(Has(CLSID_SystemVideoDecoder), f.video);
        for (const CLSID& lav : {CLSID_LAVSplitter, CLSID_LAVVideo, CLSID_LAVAudio}) EXPECT_FALSE(Has(lav));
        ASSERT_TRUE(SUCCEEDED(m_control->Run()));
        ASSERT_TRUE(WaitComplete(15000));
        std::lock_guard lock(m_sink.m_mutex);
        EXPECT_EQ(m_sink.pictures, f.video ? 75 : 0);
        EXPECT_GT(m_sink.audioBlocks, 0);
        EXPECT_EQ(m_sink.audioFormat.bitsPerSample, 16);
    }
}

}  // namespace
