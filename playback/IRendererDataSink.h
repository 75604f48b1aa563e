#pragma once
// Receiver of the capture renderers' samples. Plain interface: no reference
// counting, the sink outlives every renderer that points to it.
#include <cstdint>

#include "playback/MediaFormat.h"

// Where a rendered sample stands in its stream.
struct SampleStamp
{
    bool hasTime = false;        // the sample carried a start time
    int64_t start = 0;           // presentation time in 100 ns from the file's start
    bool discontinuity = false;  // first sample of its stream after the start or a flush (seek)
    bool syncPoint = false;      // a key picture (always set for sound)
};

// A planar 4:2:0 picture where its decoder made it: Y, U, V and the bytes
// from one line to the next in each. The picture is `format`'s size.
struct PicturePlanes
{
    const uint8_t* data[3] = {};
    int32_t stride[3] = {};
};

class IRendererDataSink
{
public:
    // One rendered sample, on the streaming thread of the renderer that
    // received it, while that renderer holds its locks: never wait here for
    // anything a thread changing the graph's state may hold. `format` stays
    // valid as long as the renderer lives; `data` only during the call.
    virtual void OnDateReceive(bool isVideo, const MediaFormat* format,
                               const uint8_t* data, int32_t length) = 0;
    // The same hand-over with the sample's place in the stream; this is what
    // the capture renderer calls. A sink that does not need it gets the
    // four-argument call.
    virtual void OnSampleReceive(bool isVideo, const MediaFormat* format, const uint8_t* data, int32_t length,
                                 const SampleStamp& stamp)
    {
        (void)stamp;
        OnDateReceive(isVideo, format, data, length);
    }
    // A sample the renderer holds while paused: the first after a start, a
    // flush or a seek, before its time has come. The sink can get ready for
    // it here (build what converts it), so that rendering it when the clock
    // starts costs no more than rendering the ones after it. Same thread and
    // locks as OnSampleReceive; the sample is rendered later or discarded.
    virtual void OnSamplePreroll(bool isVideo, const MediaFormat* format, const uint8_t* data, int32_t length)
    {
        (void)isVideo, (void)format, (void)data, (void)length;
    }
    // A picture whose planes lie apart (an I420 sample lent by its decoder),
    // handed over as OnSampleReceive would be. True when the sink took it;
    // false, before it has changed anything, to have it handed over packed
    // through OnSampleReceive instead.
    virtual bool OnPictureReceive(const MediaFormat* format, const PicturePlanes& planes, const SampleStamp& stamp)
    {
        (void)format, (void)planes, (void)stamp;
        return false;
    }
    // The file has played to its end; on the dialog's thread.
    virtual void OnPlayComplete() = 0;
    // How the video role's YUV samples are to be read, each time a picture
    // type is agreed, before any picture of that type: on the thread that
    // agrees it (the graph builder's at connection, the streaming thread at
    // a change). Until then pictures count as limited-range BT.601.
    virtual void OnPictureColour(const PictureColour& colour) { (void)colour; }

protected:
    ~IRendererDataSink() = default;
};
