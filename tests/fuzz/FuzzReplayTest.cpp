// Every input in fuzz/corpus/<target> (the seeds) and fuzz/regressions/<target>
// (inputs that once made a target fail) goes through the same entry point as
// the fuzzer feeds. A fault aborts the test binary with a sanitizer report
// or the entry's own message naming what went wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/entries/FuzzEntries.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Inputs(const std::string& kind, const std::string& target)
{
    std::vector<fs::path> files;
    const fs::path dir = fs::path(MARLIN_SOURCE_DIR) / "fuzz" / kind / target;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec))
        if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> Read(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Runs every input of one folder; the seeds folder must not be empty.
template <class Entry>
void Replay(const std::string& kind, const std::string& target, Entry entry)
{
    const std::vector<fs::path> files = Inputs(kind, target);
    if (kind == "corpus") {
        ASSERT_FALSE(files.empty()) << "no seeds for " << target;
    }
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        const std::vector<uint8_t> data = Read(file);
        EXPECT_EQ(entry(data.data(), data.size()), 0);
    }
}

TEST(FuzzReplay, PacketReader)
{
    Replay("corpus", "packet_reader", marlin::fuzz::PacketReaderOneInput);
    Replay("regressions", "packet_reader", marlin::fuzz::PacketReaderOneInput);
}

TEST(FuzzReplay, Command)
{
    Replay("corpus", "command", marlin::fuzz::CommandOneInput);
    Replay("regressions", "command", marlin::fuzz::CommandOneInput);
}

TEST(FuzzReplay, Media)
{
    marlin::fuzz::MediaInit();
    Replay("corpus", "media", marlin::fuzz::MediaOneInput);
    Replay("regressions", "media", marlin::fuzz::MediaOneInput);
}

}  // namespace
