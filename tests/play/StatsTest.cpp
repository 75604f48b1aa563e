// The measurements behind --stats and the progress line.
#include <gtest/gtest.h>

#include <cmath>

#include "controller/play/PlayStats.h"

using namespace marlin::play;

TEST(PlayStatsReport, PaceFromArrivalsAgainstMediaOffsets)
{
    PlayStats stats;
    stats.filePicturesPerSecond = 25;
    // 11 pictures 40 ms apart, arriving on time except one 100 ms late.
    for (int i = 0; i <= 10; ++i) {
        stats.pictureMediaMs.push_back(i * 40.0);
        stats.pictureArrivalMs.push_back(500 + i * 40.0 + (i == 6 ? 100 : 0));
    }
    PlayStats::Pace pace = stats.ComputePace();
    EXPECT_NEAR(pace.picturesPerSecond, 25.0, 0.01);
    EXPECT_NEAR(pace.spanSeconds, 0.4, 1e-9);
    EXPECT_EQ(pace.latePictures, 1u);
    EXPECT_DOUBLE_EQ(pace.lateThresholdMs, 40.0);
    EXPECT_DOUBLE_EQ(pace.medianErrorMs, 0.0);
    EXPECT_DOUBLE_EQ(pace.p99ErrorMs, 100.0);
}

TEST(PlayStatsReport, ScheduleOfTheFirstPictureOfTheSegmentAgainstThoseAfterIt)
{
    PlayStats stats;
    stats.filePicturesPerSecond = 25;
    // Three pictures of an old segment, then the seek: a segment whose first
    // picture is 9 ms late and whose third comes 4 ms late, the rest on a
    // schedule 700 ms after its offsets.
    for (int i = 0; i < 3; ++i) {
        stats.pictureMediaMs.push_back(i * 40.0);
        stats.pictureArrivalMs.push_back(100 + i * 40.0);
    }
    stats.segmentFirstPicture = 3;
    for (int i = 0; i < 40; ++i) {
        stats.pictureMediaMs.push_back(i * 40.0);
        stats.pictureArrivalMs.push_back(700 + i * 40.0 + (i == 0 ? 9 : 0) + (i == 2 ? 4 : 0));
    }
    PlayStats::Schedule schedule = stats.ComputeSchedule();
    EXPECT_DOUBLE_EQ(schedule.firstLagMs, 9.0);
    EXPECT_DOUBLE_EQ(schedule.followingMaxLagMs, 4.0);
    EXPECT_NE(stats.Json().find("\"firstPictureLagMs\": 9.00"), std::string::npos);

    // Too few pictures to tell: no figure, and JSON says null.
    stats.segmentFirstPicture = 42;
    EXPECT_TRUE(std::isnan(stats.ComputeSchedule().firstLagMs));
    EXPECT_NE(stats.Json().find("\"firstPictureLagMs\": null"), std::string::npos);
}

TEST(PlayStatsReport, NoPicturesGiveZerosNotNonsense)
{
    PlayStats stats;
    PlayStats::Pace pace = stats.ComputePace();
    EXPECT_EQ(pace.picturesPerSecond, 0);
    EXPECT_EQ(pace.latePictures, 0u);
    std::string json = stats.Json();
    EXPECT_NE(json.find("\"firstVideoLatencyMs\": null"), std::string::npos) << json;
    EXPECT_NE(json.find("\"seekLandedMs\": null"), std::string::npos) << json;
    EXPECT_EQ(json.find("nan"), std::string::npos) << json;
    EXPECT_NE(stats.Text().find("first-frame latency: - (picture), - (sound)"), std::string::npos);
}

TEST(PlayStatsReport, TextAndJsonCarryTheCounts)
{
    PlayStats stats;
    stats.videoFrames = 50;
    stats.videoBytes = 230400;
    stats.audioBlocks = 50;
    stats.audioBytes = 64000;
    stats.audioSampleFrames = 32000;
    stats.sampleRate = 16000;
    stats.firstVideoMs = 123.4;
    stats.seekLatencyMs = 56;
    stats.seekLandedMs = 800;
    stats.endedBy = "PlayComplete";
    std::string text = stats.Text();
    EXPECT_NE(text.find("pictures:            50 (230.4 kB)"), std::string::npos) << text;
    EXPECT_NE(text.find("2.000 s"), std::string::npos) << text;
    EXPECT_NE(text.find("seek latency:        56 ms (landed at 800 ms)"), std::string::npos) << text;
    EXPECT_NE(text.find("ended by:            PlayComplete"), std::string::npos) << text;
    std::string json = stats.Json();
    EXPECT_NE(json.find("\"videoFrames\": 50,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"firstVideoLatencyMs\": 123.4,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"endedBy\": \"PlayComplete\"}"), std::string::npos) << json;
}

TEST(PlayStatsReport, JsonStringsAreEscaped)
{
    EXPECT_EQ(JsonString("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
    EXPECT_EQ(JsonString("h\xc3\xa9"), "\"h\xc3\xa9\"");
}

TEST(PlayStatsReport, ProgressLineShowsPositionDurationBarAndRate)
{
    EXPECT_EQ(ProgressLine(1000, 4000, 25, 8), "1.0 / 4.0 s [##......] 25.0 fps");
    EXPECT_EQ(ProgressLine(5000, 4000, 0, 4), "5.0 / 4.0 s [####] 0.0 fps");
    EXPECT_EQ(ProgressLine(-5, -1, 0, 2), "0.0 / ? s [..] 0.0 fps");
}

TEST(PlayStatsReport, GapsInFrameNumbersAndSyncAgainstTheSoundAtEachPicturesTime)
{
    PlayStats stats;
    // Pictures 0 to 9 with 3 and 7 missing; sound blocks 0 to 5 with 4 missing.
    for (uint32_t n : {0u, 1u, 2u, 4u, 5u, 6u, 8u, 9u}) stats.NoteNumber(true, n);
    for (uint32_t n : {0u, 1u, 2u, 3u, 5u}) stats.NoteNumber(false, n);
    EXPECT_EQ(stats.missingPictures, 2u);
    EXPECT_EQ(stats.missingSoundBlocks, 1u);

    // Sound in 100 ms blocks from 0 to 400 ms, each arriving when it starts
    // (ms 1000 + its time). Pictures every 40 ms: on time, except the one at
    // 120 ms, 30 ms late, and one at 500 ms, where there is no sound.
    for (int b = 0; b < 4; ++b) stats.stampedSound.push_back({1000.0 + b * 100, b * 1'000'000LL, 1'000'000});
    for (int p = 0; p < 10; ++p)
        stats.stampedPictures.push_back({1000.0 + p * 40 + (p == 3 ? 30 : 0), p * 400'000LL, 0});
    stats.stampedPictures.push_back({1500.0, 5'000'000, 0});
    const PlayStats::Sync sync = stats.ComputeSync();
    EXPECT_EQ(sync.pictures, 10u);
    EXPECT_NEAR(sync.medianMs, 0.0, 1e-9);
    EXPECT_NEAR(sync.p99Ms, 30.0, 1e-9);

    const std::string text = stats.Text();
    EXPECT_NE(text.find("missing frames:      2 pictures, 1 sound blocks"), std::string::npos) << text;
    EXPECT_NE(text.find("sound-picture sync:  median 0.0 ms, 99th percentile 30.0 ms (over 10 pictures)"),
              std::string::npos)
        << text;
    const std::string json = stats.Json();
    EXPECT_NE(json.find("\"missingPictures\": 2, \"missingSoundBlocks\": 1, \"syncPictures\": 10, "
                        "\"syncErrorMedianMs\": 0.00, \"syncErrorP99Ms\": 30.00"),
              std::string::npos)
        << json;
}
