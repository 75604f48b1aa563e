#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/LogWrapper.h"

namespace {

struct Line
{
    char buf[1024];
    CLogWrapper::CRecorder rec;
    explicit Line(unsigned capacity = sizeof(buf))
    {
        rec.m_pBuffer = buf;
        rec.m_nCapacity = capacity;
        rec.reset();
    }
};

TEST(LogRecorder, FirstMembersAreTheCallersBufferAndCapacity)
{
    // The caller sets these two by position; keep them first after the vptr.
    Line l;
    auto* words = reinterpret_cast<unsigned char*>(&l.rec) + sizeof(void*);
    char* address;
    std::memcpy(&address, words, sizeof address);
    unsigned int capacity;
    std::memcpy(&capacity, words + sizeof(char*), sizeof capacity);
    EXPECT_EQ(address, l.buf);
    EXPECT_EQ(capacity, 1024u);
}

TEST(LogRecorder, NumbersAndHexAddresses)
{
    Line l;
    l.rec.Advance("a ") << -12 << ' ' - ' ' << 7L << static_cast<long long>(-9000000000LL);
    EXPECT_STREQ(l.buf, "a -1207-9000000000");
    Line h;
    h.rec.Advance("0x") << CLogWrapper::Hex << 0xABCDEFul << 10ul;
    EXPECT_STREQ(h.buf, "0xABCDEF10");  // hex applies to the next number only
    Line t;
    int object = 0;
    t.rec << LogThis{&object};
    EXPECT_EQ(std::string(t.buf).rfind(" this=0x", 0), 0u);
}

TEST(LogRecorder, NeverWritesPastCapacityAndStaysTerminated)
{
    Line l(8);
    l.buf[8] = 'Z';
    l.rec.Advance("0123456789") << 123456789;
    EXPECT_STREQ(l.buf, "0123456");
    EXPECT_EQ(l.buf[8], 'Z');
    l.rec.reset();
    EXPECT_STREQ(l.buf, "");
}

TEST(LogRecorder, ACapacityLoweredMidLineStillStaysInside)
{
    Line l;
    l.buf[4] = 'Z';
    l.rec.Advance("0123456789");
    l.rec.m_nCapacity = 4;
    l.rec.Advance("x").Advance(nullptr);
    EXPECT_STREQ(l.buf, "012");
    EXPECT_EQ(l.buf[4], '4');
}

TEST(LogRecorder, Utf16IsWrittenAsUtf8)
{
    Line l;
    l.rec << u"C:\\m\u00e9dia\\\U0001F3B5.mp4" << static_cast<const char16_t*>(nullptr);
    EXPECT_STREQ(l.buf, "C:\\m\xC3\xA9" "dia\\\xF0\x9F\x8E\xB5.mp4");
}

TEST(LogWrapper, WritesOneLineToStderr)
{
    testing::internal::CaptureStderr();
    CLogLine().rec().Advance("CMarlinDlg::Seek ") << 1500LL;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("CMarlinDlg::Seek 1500\n"), std::string::npos) << err;
    EXPECT_EQ(err.back(), '\n');
}

TEST(LogWrapper, LinesOfConcurrentThreadsNeverMix)
{
    constexpr int kThreads = 8, kLines = 100;
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            const std::string filler(900, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                (CLogLine().rec().Advance("T") << t).Advance(" ").Advance(filler.c_str()).Advance(" end");
        });
    for (auto& th : threads) th.join();
    std::istringstream err(testing::internal::GetCapturedStderr());
    const std::regex shape(R"(\d\d:\d\d:\d\d\.\d{3} \[\d+\] L2 T(\d) ([a-h])\2{899} end)");
    int lines = 0;
    for (std::string line; std::getline(err, line); ++lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line.substr(0, 80);
        EXPECT_EQ(m[2].str()[0], 'a' + std::stoi(m[1].str()));
    }
    EXPECT_EQ(lines, kThreads * kLines);
}

}  // namespace
