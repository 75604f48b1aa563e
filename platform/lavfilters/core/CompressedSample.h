#pragma once
// A compressed packet as it reaches a decoder (from an IMediaSample, or
// straight from the demuxer in tests). The data is only borrowed.
#include <cstddef>
#include <cstdint>

#include "platform/lavfilters/core/LavTypes.h"

namespace lav {

struct CompressedSample
{
    const uint8_t* data = nullptr;
    size_t size = 0;
    SampleTimes times;           // 100 ns, as the splitter stamped them
    bool syncPoint = false;
    bool discontinuity = false;
};

}  // namespace lav
