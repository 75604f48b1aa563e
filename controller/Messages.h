#pragma once
// Building the messages a controller sends and decoding the ones the host
// sends back. The byte layouts are written out field by field at their wire
// offsets, so that the controller checks the host instead of sharing its
// code; only the shared wire-format header (types and constants) is used.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pipe/MessageFormat.h"

namespace marlin::controller {

using Bytes = std::vector<uint8_t>;

// Little-endian field access at a byte offset.
void Put32(Bytes& bytes, size_t offset, uint32_t value);
void Put64(Bytes& bytes, size_t offset, uint64_t value);
uint32_t Get32(const uint8_t* bytes, size_t offset);
uint64_t Get64(const uint8_t* bytes, size_t offset);

// --- commands: whole messages, without the packet header ---
Bytes TestFile(uint32_t id, std::u16string_view path);
Bytes StartPlayFile(uint32_t id, const MediaFormat& format, std::u16string_view path);
Bytes GetFileInfo(uint32_t id);
Bytes StopPlayFile(uint32_t id);
Bytes Pause(uint32_t id);
Bytes Contine(uint32_t id);
Bytes Seek(uint32_t id, int64_t positionMs);
Bytes GetPosition(uint32_t id);
Bytes SetReplyWnd(uint32_t id, uint32_t value);
Bytes Quit(uint32_t id);
// Any type with any body after the 12-byte header, for malformed or unknown
// commands.
Bytes RawMessage(uint32_t type, uint32_t id, const Bytes& body = {}, uint32_t hasTrailer = 0);

// --- packets ---
Bytes EncodePacketHeader(uint32_t length, uint32_t close);
// header {message size, close} followed by the message.
Bytes EncodePacket(const Bytes& message, uint32_t close = 0);

// --- replies and frames from the host ---
enum class MessageKind
{
    Result,        // 3, 7, 9, 11, 19
    MediaInfo,     // 1, 5
    Position,      // 17
    Frame,         // 50, 51
    PlayComplete,  // 53
};

struct Message
{
    MessageKind kind{};
    uint32_t type = 0;
    uint32_t id = 0;
    uint32_t hasTrailer = 0;

    uint32_t result = 0;     // Result
    ::MediaInfo info{};      // MediaInfo
    int64_t positionMs = 0;  // Position

    // Frame
    MediaFormat format{};
    Bytes data;
    std::optional<int64_t> trailerPositionMs;
    // The frame's stamp (docs/protocol.md, "Frame numbers and times"): its
    // number within its kind (the header's id), its presentation time in
    // 100 ns from the file's start and its flags (FrameStampFlags), from the
    // padding. A host that does not stamp its frames sends zeros.
    uint32_t frameNumber = 0;
    int64_t presentationTime = 0;
    uint16_t frameFlags = 0;
    bool isDiscontinuity = false;  // first frame of its kind after StartPlayFile or a Seek
    bool isKeyPicture = false;     // a picture that decodes on its own
};

// Decodes one message (the payload of one packet) from the host. Checks its
// exact length for its type, a frame's dataLength against the message length,
// the trailer's fixed fields and that the 10 bytes of padding are there
// (their content is the frame's stamp). False with a reason in *error for
// anything else.
bool DecodeMessage(const uint8_t* payload, size_t length, Message* out, std::string* error);

// A frame message read in three parts, so that its data can go straight
// into out->data: the fixed part (kFrameHeadSize bytes), then the data,
// then what follows it. FrameDataLength gives the data's length from the
// fixed part of a message of `length` bytes, or 0 when it is not a frame
// with data that fits. DecodeFrameAround then decodes with out->data already
// holding the data, and checks as DecodeMessage does; on failure out->data
// may have changed. out->data may also be empty: the data went elsewhere.
// DecodeFrameHead fills in what the fixed part alone tells: type, id,
// hasTrailer and the format.
constexpr size_t kFrameHeadSize = 40;
size_t FrameDataLength(const uint8_t* head, size_t length);
void DecodeFrameHead(const uint8_t* head, Message* out);
bool DecodeFrameAround(const uint8_t* head, const uint8_t* tail, size_t tailLength, size_t length, Message* out,
                       std::string* error);

}  // namespace marlin::controller
