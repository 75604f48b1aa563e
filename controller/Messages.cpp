#include "controller/Messages.h"

#include <algorithm>
#include <string>

namespace marlin::controller {

namespace {

constexpr size_t kHeaderSize = 12;

Bytes Header(uint32_t type, uint32_t id, size_t totalSize, uint32_t hasTrailer = 0)
{
    Bytes m(totalSize, 0);
    Put32(m, 0, type);
    Put32(m, 4, id);
    Put32(m, 8, hasTrailer);
    return m;
}

void PutPath(Bytes& m, size_t offset, std::u16string_view path)
{
    // UTF-16LE with its terminator.
    for (size_t i = 0; i < path.size(); ++i) {
        m[offset + 2 * i] = static_cast<uint8_t>(path[i] & 0xFF);
        m[offset + 2 * i + 1] = static_cast<uint8_t>(path[i] >> 8);
    }
}

void PutFormat(Bytes& m, size_t offset, const MediaFormat& f)
{
    Put32(m, offset + 0, static_cast<uint32_t>(f.width));
    Put32(m, offset + 4, static_cast<uint32_t>(f.height));
    Put32(m, offset + 8, static_cast<uint32_t>(f.colorSpace));
    Put32(m, offset + 12, static_cast<uint32_t>(f.sampleRate));
    Put32(m, offset + 16, static_cast<uint32_t>(f.bitsPerSample));
    Put32(m, offset + 20, static_cast<uint32_t>(f.channels));
}

int32_t GetI32(const uint8_t* p, size_t offset)
{
    return static_cast<int32_t>(Get32(p, offset));
}

bool Fail(std::string* error, std::string text)
{
    if (error) *error = std::move(text);
    return false;
}

bool ExpectLength(size_t length, size_t want, uint32_t type, std::string* error)
{
    if (length == want) return true;
    return Fail(error, "message type " + std::to_string(type) + " has " + std::to_string(length) +
                           " bytes, expected " + std::to_string(want));
}

}  // namespace

void Put32(Bytes& bytes, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void Put64(Bytes& bytes, size_t offset, uint64_t value)
{
    for (int i = 0; i < 8; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const uint8_t* bytes, size_t offset)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | bytes[offset + i];
    return v;
}

uint64_t Get64(const uint8_t* bytes, size_t offset)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | bytes[offset + i];
    return v;
}

Bytes TestFile(uint32_t id, std::u16string_view path)
{
    Bytes m = Header(0, id, kHeaderSize + 2 * (path.size() + 1));
    PutPath(m, kHeaderSize, path);
    return m;
}

Bytes StartPlayFile(uint32_t id, const MediaFormat& format, std::u16string_view path)
{
    Bytes m = Header(2, id, 40 + 2 * (path.size() + 1));
    PutFormat(m, 12, format);
    PutPath(m, 40, path);
    return m;
}

Bytes GetFileInfo(uint32_t id) { return Header(4, id, kHeaderSize); }
Bytes StopPlayFile(uint32_t id) { return Header(6, id, kHeaderSize); }
Bytes Pause(uint32_t id) { return Header(8, id, kHeaderSize); }
Bytes Contine(uint32_t id) { return Header(10, id, kHeaderSize); }
Bytes GetPosition(uint32_t id) { return Header(16, id, kHeaderSize); }
Bytes Quit(uint32_t id) { return Header(25, id, kHeaderSize); }

Bytes Seek(uint32_t id, int64_t positionMs)
{
    Bytes m = Header(14, id, 24);
    Put64(m, 16, static_cast<uint64_t>(positionMs));
    return m;
}

Bytes SetReplyWnd(uint32_t id, uint32_t value)
{
    Bytes m = Header(18, id, 16);
    Put32(m, 12, value);
    return m;
}

Bytes RawMessage(uint32_t type, uint32_t id, const Bytes& body, uint32_t hasTrailer)
{
    Bytes m = Header(type, id, kHeaderSize + body.size(), hasTrailer);
    std::copy(body.begin(), body.end(), m.begin() + kHeaderSize);
    return m;
}

Bytes EncodePacketHeader(uint32_t length, uint32_t close)
{
    Bytes h(8, 0);
    Put32(h, 0, length);
    Put32(h, 4, close);
    return h;
}

Bytes EncodePacket(const Bytes& message, uint32_t close)
{
    Bytes p(8 + message.size());
    Put32(p, 0, static_cast<uint32_t>(message.size()));
    Put32(p, 4, close);
    std::copy(message.begin(), message.end(), p.begin() + 8);
    return p;
}

namespace {

// The frame fields of a message of `length` bytes, whose data lies apart
// from its fixed part (`head`, kFrameHeadSize bytes) and from what follows
// the data (`tail`; null: right behind the data at head). Checks as
// DecodeMessage does; the header fields of m are already set.
bool DecodeFrameFields(const uint8_t* head, const uint8_t* tail, size_t length, Message& m, std::string* error)
{
    if (m.hasTrailer > 1) return Fail(error, "hasTrailer " + std::to_string(m.hasTrailer));
    if (length < kFrameHeadSize + kFramePadding) return Fail(error, "frame message too short");
    DecodeFrameHead(head, &m);
    const int32_t dataLength = GetI32(head, 36);
    if (dataLength < 0) return Fail(error, "negative dataLength");
    const size_t want = kFrameHeadSize + static_cast<size_t>(dataLength) + (m.hasTrailer ? 24 : 0) + kFramePadding;
    if (!ExpectLength(length, want, m.type, error)) return false;
    if (!tail) tail = head + kFrameHeadSize + dataLength;
    if (m.hasTrailer) {
        if (Get32(tail, 0) != 52) return Fail(error, "trailer type " + std::to_string(Get32(tail, 0)));
        if (Get32(tail, 8) != 0) return Fail(error, "trailer word at offset 8 is not 0");
        m.trailerPositionMs = static_cast<int64_t>(Get64(tail, 16));
    }
    const uint8_t* padding = tail + (m.hasTrailer ? 24 : 0);
    m.frameNumber = m.id;
    m.presentationTime = static_cast<int64_t>(Get64(padding, kFrameStampTimeOffset));
    m.frameFlags = static_cast<uint16_t>(padding[kFrameStampFlagsOffset] | padding[kFrameStampFlagsOffset + 1] << 8);
    m.isDiscontinuity = (m.frameFlags & kFrameDiscontinuity) != 0;
    m.isKeyPicture = (m.frameFlags & kFrameKeyPicture) != 0;
    return true;
}

}  // namespace

void DecodeFrameHead(const uint8_t* head, Message* out)
{
    out->kind = MessageKind::Frame;
    out->type = Get32(head, 0);
    out->id = Get32(head, 4);
    out->hasTrailer = Get32(head, 8);
    out->format.width = GetI32(head, 12);
    out->format.height = GetI32(head, 16);
    out->format.colorSpace = GetI32(head, 20);
    out->format.sampleRate = GetI32(head, 24);
    out->format.bitsPerSample = GetI32(head, 28);
    out->format.channels = GetI32(head, 32);
}

size_t FrameDataLength(const uint8_t* head, size_t length)
{
    if (length < kFrameHeadSize + kFramePadding) return 0;
    const uint32_t type = Get32(head, 0);
    if (type != 50 && type != 51) return 0;
    const int32_t dataLength = GetI32(head, 36);
    if (dataLength <= 0 || static_cast<size_t>(dataLength) > length - kFrameHeadSize - kFramePadding) return 0;
    return static_cast<size_t>(dataLength);
}

bool DecodeFrameAround(const uint8_t* head, const uint8_t* tail, size_t tailLength, size_t length, Message* out,
                       std::string* error)
{
    const size_t dataLength = FrameDataLength(head, length);
    const bool dataHere = out->data.size() == dataLength || out->data.empty();
    if (dataLength == 0 || !dataHere || tailLength != length - kFrameHeadSize - dataLength)
        return Fail(error, "frame parts do not add up to the message");
    Message m;
    m.type = Get32(head, 0);
    m.id = Get32(head, 4);
    m.hasTrailer = Get32(head, 8);
    if (!DecodeFrameFields(head, tail, length, m, error)) return false;
    m.data.swap(out->data);
    *out = std::move(m);
    return true;
}

bool DecodeMessage(const uint8_t* p, size_t length, Message* out, std::string* error)
{
    if (length < kHeaderSize)
        return Fail(error, "message of " + std::to_string(length) + " bytes has no header");
    Message m;
    m.type = Get32(p, 0);
    m.id = Get32(p, 4);
    m.hasTrailer = Get32(p, 8);

    switch (m.type) {
    case 3: case 7: case 9: case 11: case 19:
        if (!ExpectLength(length, 16, m.type, error)) return false;
        m.kind = MessageKind::Result;
        m.result = Get32(p, 12);
        if (m.result > 1) return Fail(error, "result " + std::to_string(m.result) + " is neither 0 nor 1");
        break;
    case 1: case 5:
        if (!ExpectLength(length, 36, m.type, error)) return false;
        m.kind = MessageKind::MediaInfo;
        m.info.hasVideo = GetI32(p, 12);
        m.info.alwaysOne = GetI32(p, 16);
        m.info.width = GetI32(p, 20);
        m.info.height = GetI32(p, 24);
        m.info.durationMs = GetI32(p, 28);
        m.info.framesPerSecond = GetI32(p, 32);
        break;
    case 17:
        if (!ExpectLength(length, 24, m.type, error)) return false;
        m.kind = MessageKind::Position;
        m.positionMs = static_cast<int64_t>(Get64(p, 16));
        break;
    case 53:
        if (!ExpectLength(length, 12, m.type, error)) return false;
        m.kind = MessageKind::PlayComplete;
        break;
    case 50: case 51: {
        if (!DecodeFrameFields(p, nullptr, length, m, error)) return false;
        // Decoded: the data goes into the storage *out already has, so a
        // caller that reuses one Message allocates once, not per frame.
        m.data.swap(out->data);
        m.data.assign(p + kFrameHeadSize, p + kFrameHeadSize + FrameDataLength(p, length));
        break;
    }
    default:
        return Fail(error, "unknown message type " + std::to_string(m.type));
    }
    if (m.kind != MessageKind::Frame && m.hasTrailer != 0)
        return Fail(error, "hasTrailer set in message type " + std::to_string(m.type));
    *out = std::move(m);
    return true;
}

}  // namespace marlin::controller
