#pragma once
// Packet side data across a pin. libavformat attaches side data to packets
// that the decoder needs to be exact (samples to skip for encoder delay and
// padding, new extradata, palettes); a media sample only carries bytes, so
// the splitter appends the side data after the payload and the decoder takes
// it off again. Streams whose format block has kFlagSideDataTrailer carry
// the trailer on every packet.
//
// Trailer layout (little-endian), after the payload:
//   for each entry: data bytes, u32 type (AVPacketSideDataType), u32 size
//   u32 entry count, u32 magic "MLSD"
// It is read backwards from the end of the sample; every length is checked.
#include <cstddef>
#include <cstdint>

struct AVPacket;

namespace lav {

inline constexpr uint32_t kSideDataMagic = 0x44534C4D;  // "MLSD"
inline constexpr uint32_t kMaxSideDataEntries = 16;

// Bytes PackPacket writes for `pkt`: payload plus trailer.
size_t PackedPacketSize(const AVPacket* pkt);
// Writes payload and trailer to `dst` (PackedPacketSize bytes).
void PackPacket(const AVPacket* pkt, uint8_t* dst);
// Splits a packed sample into `out`'s payload (a padded copy) and side data.
// False for a malformed trailer.
bool UnpackPacket(const uint8_t* data, size_t size, AVPacket* out);

}  // namespace lav
