#pragma once
// Receiver of the capture renderers' samples. Plain interface: no reference
// counting, the sink outlives every renderer that points to it.
#include <cstdint>

#include "playback/MediaFormat.h"

class IRendererDataSink
{
public:
    // One rendered sample, on the streaming thread of the renderer that
    // received it, while that renderer holds its locks: never wait here for
    // anything a thread changing the graph's state may hold. `format` stays
    // valid as long as the renderer lives; `data` only during the call.
    virtual void OnDateReceive(bool isVideo, const MediaFormat* format,
                               const uint8_t* data, int32_t length) = 0;
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
