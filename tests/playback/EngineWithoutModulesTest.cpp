// The engine where the decoder modules are missing or wrong. Each test runs
// with a scratch folder as the process's current directory, where the
// modules are looked for once none lies beside the program (this binary is
// built outside bin/); it is separate from the other engine tests because
// the current directory is process-wide.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

#include "tests/lavfilters/TestMedia.h"
#include "tests/playback/EngineHelpers.h"

using namespace enginetest;
using namespace lavtest;

namespace {

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// One second of 8-bit sound: short, and the WAVE parser's unsigned case.
std::string ShortWave()
{
    return MakeMedia("ENGINE_U8", "-f lavfi -i sine=frequency=440:sample_rate=8000:duration=1 -c:a pcm_u8 ", ".wav");
}

class EngineWithoutModulesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        char cwd[PATH_MAX];
        ASSERT_NE(::getcwd(cwd, sizeof(cwd)), nullptr);
        m_previous = cwd;
        ASSERT_EQ(::chdir(m_scratch.File("").c_str()), 0);
        m_baseline = CBaseObject::ObjectsActive();
    }
    void TearDown() override
    {
        EXPECT_EQ(CBaseObject::ObjectsActive(), m_baseline);
        EXPECT_TRUE(GraphEntries().empty());
        EXPECT_EQ(::chdir(m_previous.c_str()), 0);
    }
    TempDir m_scratch;
    std::string m_previous;
    long m_baseline = 0;
};

TEST_F(EngineWithoutModulesTest, MissingFolderStillPlaysWaveFilesOfEitherCase)
{
    ASSERT_FALSE(std::filesystem::exists("LAVFilters"));
    const std::string upper = m_scratch.File("tone.WAV");
    std::filesystem::copy_file(ShortWave(), upper);
    for (const std::string& path : {ShortWave(), upper}) {
        SCOPED_TRACE(path);
        RecordingSink sink;
        MessageWindow window;
        CMultiMediaPlay engine(false, &sink);
        testing::internal::CaptureStderr();
        ASSERT_TRUE(engine.Create());
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(CountOf(log, "CreateInstanceFromFile"), 0u) << log;
        std::vector<std::string> names = FilterNames(OnlyGraph().Get());
        EXPECT_EQ(names.size(), 2u);  // the two capture renderers only
        ASSERT_TRUE(Render(engine, path));
        names = FilterNames(OnlyGraph().Get());
        EXPECT_TRUE(Contains(names, "Wave Parser"));
        engine.SetNotifyWindow(window.Handle(), MessageWindow::kGraphNotify);
        ASSERT_TRUE(engine.Play());
        ASSERT_TRUE(window.Pump(engine, [&] { return sink.Completions() == 1; }, 10000));
        std::lock_guard lock(sink.m_mutex);
        EXPECT_EQ(sink.audioFormat.sampleRate, 8000);
        EXPECT_EQ(sink.audioFormat.bitsPerSample, 8);
        EXPECT_EQ(sink.soundBytes, 8000);
    }
}

// A module that loads but does not know the identifier asked of it: one
// line, and the engine goes on without that filter.
TEST_F(EngineWithoutModulesTest, ModuleThatRefusesTheIdentifierIsLoggedOnce)
{
    std::filesystem::create_directory("LAVFilters");
    std::filesystem::copy_file(std::string(MARLIN_BIN_DIR) + "/LAVFilters/LAVAudio.ax", "LAVFilters/LAVSplitter.ax");
    RecordingSink sink;
    {
        CMultiMediaPlay engine(true, &sink);
        testing::internal::CaptureStderr();
        ASSERT_TRUE(engine.Create());
        const std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(CountOf(log, "CMultiMediaPlay::CreateInstanceFromFile fail "), 1u) << log;
        EXPECT_TRUE(FilterNames(OnlyGraph().Get()).empty());
        ASSERT_TRUE(Render(engine, ShortWave()));
        MediaInfo info{};
        engine.GetMediaInfo(info);
        EXPECT_EQ(info.hasVideo, 0);
        EXPECT_EQ(info.durationMs, 1000);
    }
}

}  // namespace
