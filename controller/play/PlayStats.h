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
    bool hasVideo = true;           // from TestFile: without video there is no picture pace
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

private:
    bool m_bPictureNumbered = false, m_bSoundNumbered = false;
    uint32_t m_nLastPicture = 0, m_nLastSound = 0;

public:

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

    // From the frames' own numbers and times (docs/protocol.md, "Frame
    // numbers and times"); empty when the host does not stamp its frames.
    uint64_t missingPictures = 0, missingSoundBlocks = 0;  // gaps in the numbers
    struct Stamped
    {
        double arrivalMs = 0;  // on the playing clock, as pictureArrivalMs
        int64_t time = 0;      // presentation time, 100 ns
        int64_t duration = 0;  // sound: the block's span, 100 ns
    };
    std::vector<Stamped> stampedPictures, stampedSound;
    // Counts the numbers skipped before `number` (a gap: frames the host dropped).
    void NoteNumber(bool picture, uint32_t number);

    struct Sync
    {
        size_t pictures = 0;  // pictures with sound at their time
        double medianMs = 0, p99Ms = 0;  // |picture arrival - arrival of the sound at its time|
    };
    // The sound at a picture's time arrives with the block that spans it,
    // that far into the block; the picture should arrive with it.
    Sync ComputeSync() const;

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

// A progress line without its leading "\r": "  1.2 / 4.0 s [#####.....]  25.0 fps";
// a negative rate (sound only) leaves the rate out.
std::string ProgressLine(double positionMs, double durationMs, double picturesPerSecond, int barWidth = 30);

}  // namespace marlin::play
