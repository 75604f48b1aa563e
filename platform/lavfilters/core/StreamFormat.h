#pragma once
// Codec parameters of one stream, in a byte layout that travels in a media
// type's format block from the splitter to a decoder. The decoder side must
// treat the block as untrusted: Parse checks every length and range.
//
// Layout (little-endian): a fixed header of kHeaderSize bytes starting with
// the magic "MLAV" and a version, then `extradataSize` bytes of codec
// extradata. Extra bytes after that are allowed and ignored.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/lavfilters/core/LavTypes.h"

struct AVStream;
struct AVCodecParameters;

namespace lav {

struct StreamFormat
{
    static constexpr uint32_t kMagic = 0x56414C4D;  // "MLAV"
    static constexpr uint16_t kVersion = 1;
    static constexpr size_t kHeaderSize = 148;
    static constexpr uint32_t kMaxExtradata = 16u << 20;

    MediaKind kind = MediaKind::Video;
    int32_t codecId = 0;        // AVCodecID of the FFmpeg build
    uint32_t codecTag = 0;      // container FOURCC / format tag, 0 if none
    // Every packet ends in a side-data trailer (PacketSideData.h).
    static constexpr uint32_t kFlagSideDataTrailer = 1;
    uint32_t flags = 0;
    int32_t profile = -99;      // FF_PROFILE_UNKNOWN
    int32_t level = -99;
    int64_t bitRate = 0;
    int32_t bitsPerCodedSample = 0;
    int32_t bitsPerRawSample = 0;
    // Video
    int32_t width = 0;
    int32_t height = 0;
    int32_t pixelFormat = -1;   // AVPixelFormat, -1 unknown
    int32_t sarNum = 0, sarDen = 1;
    int32_t colorRange = 0, colorPrimaries = 2, colorTrc = 2, colorSpace = 2, chromaLocation = 0;
    int32_t frameRateNum = 0, frameRateDen = 0;  // 0/0 unknown
    // Audio
    int32_t sampleFormat = -1;  // AVSampleFormat, -1 unknown
    int32_t sampleRate = 0;
    int32_t channels = 0;
    uint64_t channelMask = 0;   // native-order layout mask, 0 unknown
    int32_t blockAlign = 0;
    int32_t frameSize = 0;
    int32_t initialPadding = 0, trailingPadding = 0, seekPreroll = 0;
    // Time base of the container stream (informational: packet times reach
    // the decoder in 100 ns units).
    int32_t timeBaseNum = 0, timeBaseDen = 0;
    std::vector<uint8_t> extradata;

    // From a demuxed stream.
    static StreamFormat FromStream(const AVStream* stream);
    // From a WAVEFORMATEX of another source (e.g. a WAVE parser): the format
    // tag picks the codec through FFmpeg's RIFF table; `extra` is what
    // follows the structure (cbSize bytes). codecId stays 0 (AV_CODEC_ID_NONE)
    // for an unknown tag.
    static StreamFormat FromWaveFormat(uint16_t formatTag, int channels, int samplesPerSec, int avgBytesPerSec,
                                       int blockAlign, int bitsPerSample, const uint8_t* extra, size_t extraSize);
    // From a BITMAPINFOHEADER's compression FOURCC and size (bytes after the
    // header are the extradata), with the frame duration in 100 ns.
    static StreamFormat FromBitmapInfo(uint32_t compression, int width, int height, int bitCount,
                                       RefTime avgTimePerFrame, const uint8_t* extra, size_t extraSize);

    std::vector<uint8_t> Serialize() const;
    // Nullopt for a block that is too short, has a wrong magic/version, an
    // extradata length beyond the block, or values out of range.
    static std::optional<StreamFormat> Parse(const uint8_t* data, size_t size);

    // Fills codec parameters for avcodec_parameters_to_context. False when
    // the parameters cannot be allocated.
    bool ToCodecParameters(AVCodecParameters* par) const;

    // 100 ns per frame from the frame rate, 0 when unknown.
    RefTime AvgTimePerFrame() const;
    // FFmpeg's short codec name ("h264"), "unknown" for an unknown id.
    std::string CodecName() const;
    // A FOURCC (video) or wave format tag (audio) for this codec from FFmpeg's
    // RIFF tables, falling back to the container's tag; 0 when there is none.
    // The splitter builds media subtypes from it.
    uint32_t SuggestedFourCC() const;

    bool operator==(const StreamFormat&) const = default;
};

}  // namespace lav
