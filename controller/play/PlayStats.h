#pragma once
// What marlin-play measures while it plays, and its report as text or JSON.
#include <cstdint>
#include <string>
#include <vector>

namespace marlin::play {

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);

struct PlayStats
{
    int filePicturesPerSecond = 0;  // from TestFile
    uint64_t videoFrames = 0, videoBytes = 0;  // recorded pictures and their data bytes
    uint64_t audioBlocks = 0, audioBytes = 0;
    uint64_t audioSampleFrames = 0;    // one per channel set
    int sampleRate = 0;
    uint64_t discardedBeforeSeek = 0;  // frames of the old place still arriving after Seek
    uint64_t arrivedWhilePaused = 0;   // frames that came between Pause's reply and Contine
    uint64_t malformedFrames = 0;      // data length or format not what was asked
    uint64_t droppedAfterEnd = 0;      // past --duration
    double firstVideoMs = -1;          // from StartPlayFile sent to the first picture
    double firstAudioMs = -1;
    double seekLatencyMs = -1;         // from Seek sent to the first picture after it
    int64_t seekLandedMs = -1;         // position the first picture after the seek carried
    double pausedMs = 0;               // time between Pause and Contine
    std::string endedBy;               // "PlayComplete", "--duration", "interrupted"

    // For each recorded picture: when it arrived on the playing clock (wall
    // time without pauses) and its offset in the media, both in ms.
    std::vector<double> pictureArrivalMs, pictureMediaMs;
    // Index of the first picture of the current segment: 0, or the first
    // one recorded after a seek.
    size_t segmentFirstPicture = 0;

    struct Pace
    {
        double picturesPerSecond = 0;   // measured over the arrivals
        double spanSeconds = 0;
        uint64_t latePictures = 0;      // more than one picture interval behind
        double lateThresholdMs = 0;
        double medianErrorMs = 0, p99ErrorMs = 0;  // |arrival - due|
    };
    // The due time of each picture is its media offset on a clock anchored at
    // the median of (arrival - offset), so one early or late picture does not
    // shift the others.
    Pace ComputePace() const;

    // How well the current segment (the playback, or what followed the
    // seek) started: how far its first picture arrived behind the schedule
    // that the pictures after it keep (the median of their arrival minus
    // offset over the next second), and the largest such lag among the
    // next five (a burst of late pictures shows there). NaN with fewer than
    // three pictures.
    struct Schedule
    {
        double firstLagMs;
        double followingMaxLagMs;
    };
    Schedule ComputeSchedule() const;

    std::string Text() const;
    std::string Json() const;
};

// A progress line without its leading "\r": "  1.2 / 4.0 s [#####.....]  25.0 fps".
std::string ProgressLine(double positionMs, double durationMs, double picturesPerSecond, int barWidth = 30);

}  // namespace marlin::play
