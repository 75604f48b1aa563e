#pragma once
// Properties of a file as the engine reports them to the controller.
#include <cstdint>

struct MediaInfo
{
    int32_t hasVideo;         // 0 when the graph offers no video window
    int32_t alwaysOne;        // always 1
    int32_t width;            // native size; meaningful only when hasVideo is 1
    int32_t height;
    int32_t durationMs;       // -1: no duration, or the file did not open
    int32_t framesPerSecond;  // whole frames per second; 25 when unknown
};
static_assert(sizeof(MediaInfo) == 24);
