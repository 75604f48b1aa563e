#pragma once
// Time units and small shared types of the FFmpeg core of the decoder modules.
#include <cstdint>
#include <limits>

namespace lav {

// 100-nanosecond units, as REFERENCE_TIME in the filter graph.
using RefTime = int64_t;
inline constexpr RefTime kRefTimePerSecond = 10'000'000;
// Marks a time that is not known (a sample then carries no time stamp).
inline constexpr RefTime kNoTime = std::numeric_limits<int64_t>::min();

enum class MediaKind : int32_t { Video = 0, Audio = 1 };

// Start and stop of one sample. Either may be unknown (kNoTime); a known stop
// always comes with a known start.
struct SampleTimes
{
    RefTime start = kNoTime;
    RefTime stop = kNoTime;
    bool HasStart() const { return start != kNoTime; }
    bool HasStop() const { return stop != kNoTime; }
};

}  // namespace lav
