#pragma once
// Media types of the decoder modules: the splitter's compressed types and
// the decoders' uncompressed output types.
#include <optional>

#include "platform/dshow/MediaType.h"
#include "platform/lavfilters/core/AudioDecoder.h"
#include "platform/lavfilters/core/StreamFormat.h"
#include "platform/lavfilters/core/VideoDecoder.h"
#include "platform/lavfilters/filters/LavGuids.h"

namespace lav {

// MEDIATYPE_Video/Audio, a FOURCC subtype where FFmpeg knows one,
// FORMAT_LavStream with the serialised StreamFormat.
CMediaType MakeCompressedType(const StreamFormat& format);

// The codec parameters a decoder input type describes: our own format block
// (validated), or a WAVEFORMATEX / VIDEOINFOHEADER from another source.
// Nullopt for anything else or a malformed block.
std::optional<StreamFormat> ParseCompressedType(const AM_MEDIA_TYPE& mt);

const GUID& SubtypeGuid(VideoSubtype subtype);
// VIDEOINFOHEADER2 for a decoded picture format, its dwControlFlags telling
// the range and matrix of the YUV samples.
CMediaType MakeVideoOutputType(const PictureFormat& format);
// WAVEFORMATEX, wFormatTag 1.
CMediaType MakeAudioOutputType(const AudioFormat& format);

}  // namespace lav
