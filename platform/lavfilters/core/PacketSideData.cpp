#include "platform/lavfilters/core/PacketSideData.h"

#include <cstring>

#include "platform/lavfilters/core/FFmpegPtr.h"

namespace lav {
namespace {

void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Get32(const uint8_t* p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void Put64(uint8_t* p, int64_t v)
{
    const auto u = static_cast<uint64_t>(v);
    Put32(p, static_cast<uint32_t>(u));
    Put32(p + 4, static_cast<uint32_t>(u >> 32));
}

int64_t Get64(const uint8_t* p)
{
    return static_cast<int64_t>(uint64_t{Get32(p)} | uint64_t{Get32(p + 4)} << 32);
}

constexpr int64_t kNoDecodeLead = INT64_MIN;
constexpr uint32_t kTimingStartIsDecodeTime = 1;
constexpr size_t kFixedTrailerSize = 8 + 4 + 4 + 4;  // lead, flags, count, magic

int EntryCount(const AVPacket* pkt)
{
    return pkt->side_data_elems < static_cast<int>(kMaxSideDataEntries) ? pkt->side_data_elems
                                                                        : static_cast<int>(kMaxSideDataEntries);
}

}  // namespace

size_t PackedPacketSize(const AVPacket* pkt)
{
    size_t size = static_cast<size_t>(pkt->size) + kFixedTrailerSize;
    for (int i = 0; i < EntryCount(pkt); ++i) size += pkt->side_data[i].size + 8;
    return size;
}

void PackPacket(const AVPacket* pkt, uint8_t* dst, const PacketTiming& timing)
{
    if (pkt->size > 0) std::memcpy(dst, pkt->data, static_cast<size_t>(pkt->size));
    uint8_t* p = dst + pkt->size;
    const int count = EntryCount(pkt);
    for (int i = 0; i < count; ++i) {
        const AVPacketSideData& sd = pkt->side_data[i];
        if (sd.size) std::memcpy(p, sd.data, sd.size);
        p += sd.size;
        Put32(p, static_cast<uint32_t>(sd.type));
        Put32(p + 4, static_cast<uint32_t>(sd.size));
        p += 8;
    }
    Put64(p, timing.decodeLead.value_or(kNoDecodeLead));
    Put32(p + 8, timing.startIsDecodeTime ? kTimingStartIsDecodeTime : 0);
    Put32(p + 12, static_cast<uint32_t>(count));
    Put32(p + 16, kSideDataMagic);
}

bool UnpackPacket(const uint8_t* data, size_t size, AVPacket* out, PacketTiming* timing)
{
    if (!data || size < kFixedTrailerSize || size > static_cast<size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
        return false;
    if (Get32(data + size - 4) != kSideDataMagic) return false;
    const uint32_t count = Get32(data + size - 8);
    const uint32_t flags = Get32(data + size - 12);
    const int64_t lead = Get64(data + size - 20);
    if (count > kMaxSideDataEntries || (flags & ~kTimingStartIsDecodeTime) != 0) return false;
    size_t end = size - kFixedTrailerSize;  // end of the part not yet read
    struct Entry
    {
        uint32_t type;
        size_t offset, size;
    } entries[kMaxSideDataEntries];
    for (uint32_t i = 0; i < count; ++i) {
        if (end < 8) return false;
        const uint32_t type = Get32(data + end - 8);
        const uint32_t len = Get32(data + end - 4);
        end -= 8;
        if (len > end || type >= AV_PKT_DATA_NB) return false;
        end -= len;
        entries[i] = {type, end, len};
    }
    if (av_new_packet(out, static_cast<int>(end)) < 0) return false;
    if (end) std::memcpy(out->data, data, end);
    for (uint32_t i = count; i-- > 0;) {
        uint8_t* sd = av_packet_new_side_data(out, static_cast<AVPacketSideDataType>(entries[i].type), entries[i].size);
        if (!sd) return false;
        if (entries[i].size) std::memcpy(sd, data + entries[i].offset, entries[i].size);
    }
    if (timing) {
        timing->startIsDecodeTime = (flags & kTimingStartIsDecodeTime) != 0;
        timing->decodeLead = lead == kNoDecodeLead ? std::nullopt : std::optional<int64_t>(lead);
    }
    return true;
}

}  // namespace lav
