// The capture renderers in a graph built by the graph manager, the way the
// playback engine uses them, on a WAVE file written by the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/dshow/FilterGraph.h"
#include "platform/os/Unicode.h"
#include "playback/NullRenderer.h"
#include "tests/dshow/TestFilters.h"

using namespace testing_dshow;

namespace {

class CCountingSink final : public IRendererDataSink
{
public:
    void OnDateReceive(bool isVideo, const MediaFormat* format, const uint8_t* data, int32_t length) override
    {
        std::lock_guard<std::mutex> guard(lock);
        if (isVideo) ++videoCalls;
        bytes += length;
        lastFormat = *format;
        checksum += data[0];
    }
    void OnPlayComplete() override {}
    std::mutex lock;
    int64_t bytes = 0;
    int64_t checksum = 0;
    int videoCalls = 0;
    MediaFormat lastFormat{};
};

}  // namespace

TEST(CaptureGraph, WaveFileReachesTheAudioCaptureRendererAndCompletes)
{
    long baseline = CBaseObject::ObjectsActive();
    auto path = std::filesystem::temp_directory_path() / ("marlin-capture-" + std::to_string(::getpid()) + ".wav");
    {
        // 0.4 s of 16-bit stereo at 11025 Hz.
        const uint32_t frames = 4410, block = 4, size = frames * block;
        std::ofstream f(path, std::ios::binary);
        auto u32 = [&](uint32_t v) { f.write(reinterpret_cast<const char*>(&v), 4); };
        auto u16 = [&](uint16_t v) { f.write(reinterpret_cast<const char*>(&v), 2); };
        f.write("RIFF", 4);
        u32(36 + size);
        f.write("WAVEfmt ", 8);
        u32(16);
        u16(1);
        u16(2);
        u32(11025);
        u32(11025 * block);
        u16(block);
        u16(16);
        f.write("data", 4);
        u32(size);
        for (uint32_t i = 0; i < size; ++i) f.put(static_cast<char>(i % 251));
    }
    CCountingSink sink;
    {
        ComPtr<IGraphBuilder> graph;
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC, IID_IGraphBuilder,
                                   graph.ReleaseAndGetVoidAddress()),
                  S_OK);
        HRESULT hr = S_OK;
        ComPtr<CNullRenderer> audio(new CNullRenderer(&sink, 0, &hr));
        ComPtr<CNullRenderer> video(new CNullRenderer(&sink, 1, &hr));
        ASSERT_EQ(hr, S_OK);
        ASSERT_EQ(graph->AddFilter(audio.Get(), u"NULL Audio Renderer"), S_OK);
        ASSERT_EQ(graph->AddFilter(video.Get(), u"NULL Video Renderer"), S_OK);
        std::u16string file = Utf8ToUtf16(path.string());
        ASSERT_EQ(graph->RenderFile(file.c_str(), nullptr), S_OK);
        EXPECT_TRUE(audio->InputPin()->IsConnected());
        EXPECT_FALSE(video->InputPin()->IsConnected());
        ComPtr<IBaseFilter> none;
        EXPECT_EQ(graph->FindFilterByName(u"Default DirectSound Device", none.ReleaseAndGetAddressOf()),
                  VFW_E_NOT_FOUND);
        // Playback graphs have no video window.
        LONG visible = 0;
        EXPECT_EQ(graph.As<IVideoWindow>()->get_Visible(&visible), E_NOINTERFACE);

        ComPtr<IMediaControl> control = graph.As<IMediaControl>();
        ComPtr<IMediaEventEx> events = graph.As<IMediaEventEx>();
        ASSERT_TRUE(SUCCEEDED(control->Run()));
        OAFilterState state = 0;
        control->GetState(1000, &state);
        EXPECT_EQ(state, State_Running);
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        ASSERT_EQ(events->GetEvent(&code, &p1, &p2, 5000), S_OK);
        EXPECT_EQ(code, EC_COMPLETE);
        {
            std::lock_guard<std::mutex> guard(sink.lock);
            EXPECT_EQ(sink.bytes, 4410 * 4);  // every byte, once
            EXPECT_EQ(sink.videoCalls, 0);
            EXPECT_EQ(sink.lastFormat.sampleRate, 11025);
            EXPECT_EQ(sink.lastFormat.channels, 2);
            EXPECT_EQ(sink.lastFormat.bitsPerSample, 16);
        }
        // Teardown as the engine does it: remove the filters from a running graph.
        EXPECT_EQ(graph->RemoveFilter(video.Get()), S_OK);
        EXPECT_EQ(graph->RemoveFilter(audio.Get()), S_OK);
        control->GetState(0, &state);
        EXPECT_EQ(state, State_Stopped);
    }
    std::filesystem::remove(path);
    EXPECT_EQ(CBaseObject::ObjectsActive(), baseline);
}
