#pragma once
// Packet side data across a pin. libavformat attaches side data to packets
// that the decoder needs to be exact (samples to skip for encoder delay and
// padding, new extradata, palettes); a media sample only carries bytes, so
// the splitter appends the side data after the payload and the decoder takes
// it off again. Streams whose format block has kFlagSideDataTrailer carry
// the trailer on every packet.
//
// The trailer also says how the sample's start time relates to the packet's
// decode time, which a media sample has no place for: the decoder needs both
// as the container gave them to time reordered pictures as libavcodec does.
//
// Trailer layout (little-endian), after the payload:
//   for each entry: data bytes, u32 type (AVPacketSideDataType), u32 size
//   i64 start minus decode time in 100 ns (INT64_MIN: no decode time)
//   u32 timing flags (1: the start is only the decode time)
//   u32 entry count, u32 magic "MLSD"
// It is read backwards from the end of the sample; every length is checked.
#include <cstddef>
#include <cstdint>
#include <optional>

struct AVPacket;

namespace lav {

inline constexpr uint32_t kSideDataMagic = 0x44534C4D;  // "MLSD"
inline constexpr uint32_t kMaxSideDataEntries = 16;

struct PacketTiming
{
    // The container gave no presentation time (AVI, I and P frames): the
    // sample's start is the decode time, which is all the splitter has.
    bool startIsDecodeTime = false;
    // Presentation minus decode time, when the container gave both.
    std::optional<int64_t> decodeLead;

    bool operator==(const PacketTiming&) const = default;
};

// Bytes PackPacket writes for `pkt`: payload plus trailer.
size_t PackedPacketSize(const AVPacket* pkt);
// Writes payload and trailer to `dst` (PackedPacketSize bytes).
void PackPacket(const AVPacket* pkt, uint8_t* dst, const PacketTiming& timing = {});
// Splits a packed sample into `out`'s payload (a padded copy) and side data,
// and the timing into `timing` when given. False for a malformed trailer.
bool UnpackPacket(const uint8_t* data, size_t size, AVPacket* out, PacketTiming* timing = nullptr);

}  // namespace lav
