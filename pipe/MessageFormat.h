#pragma once
// Packets and messages on the two sockets between host and controller.
// This header is the one definition of the wire format: the host and the
// controller library both include it. Every number is little-endian; the
// structures below are laid out exactly as they travel.
#include <bit>
#include <cstddef>
#include <cstdint>

#include "playback/MediaFormat.h"
#include "playback/MediaInfo.h"

static_assert(std::endian::native == std::endian::little,
              "the wire format is little-endian and copied as it lies in memory");

// Suffixes appended to the base name from the host's command line.
constexpr const char kPipe1Suffix[] = "_pipe1";  // host -> controller
constexpr const char kPipe2Suffix[] = "_pipe2";  // controller -> host

// Largest packet payload the host accepts; a longer one ends the link.
constexpr uint32_t kMaxPacketLength = 8294900;
// Frame messages end with this many bytes of padding, counted in the length.
constexpr uint32_t kFramePadding = 10;

struct PacketHeader
{
    uint32_t length;  // payload bytes after the header
    uint32_t close;   // 0: ordinary packet; anything else: close notice
};

struct MessageHeader
{
    uint32_t type;        // MessageType
    uint32_t id;          // echoed from command to reply
    uint32_t hasTrailer;  // frame messages: 1 when a PositionTrailer follows the data
};

enum class MessageType : uint32_t
{
    TestFile = 0,
    TestFileReply = 1,
    StartPlayFile = 2,
    StartPlayFileReply = 3,
    GetFileInfo = 4,
    GetFileInfoReply = 5,
    StopPlayFile = 6,
    StopPlayFileReply = 7,
    Pause = 8,
    PauseReply = 9,
    Contine = 10,
    ContineReply = 11,
    Seek = 14,
    GetPosition = 16,
    GetPositionReply = 17,
    SetReplyWnd = 18,
    SetReplyWndReply = 19,
    Quit = 25,
    VideoFrame = 50,
    AudioFrame = 51,
    PositionTrailer = 52,
    PlayComplete = 53,
};

// --- commands (controller -> host) ---

// TestFile: header, then the UTF-16LE path with its terminator at offset 12.
struct TestFileCommand
{
    MessageHeader header;
};
constexpr size_t kTestFilePathOffset = 12;

// StartPlayFile: header, wanted format, 4 reserved bytes, path at offset 40.
struct StartPlayFileCommand
{
    MessageHeader header;
    MediaFormat format;
    uint32_t reserved;
};
constexpr size_t kStartPlayFilePathOffset = 40;

struct SeekCommand
{
    MessageHeader header;
    uint32_t reserved;
    int64_t positionMs;
};

struct SetReplyWndCommand
{
    MessageHeader header;
    uint32_t value;  // 0 silences the host, anything else lets it send
};

// GetFileInfo, StopPlayFile, Pause, Contine, GetPosition and Quit are a bare
// MessageHeader.

// --- replies (host -> controller) ---

struct MediaInfoReply  // TestFileReply, GetFileInfoReply
{
    MessageHeader header;
    MediaInfo info;
};

struct ResultReply  // StartPlayFileReply, StopPlayFileReply, PauseReply, ContineReply, SetReplyWndReply
{
    MessageHeader header;
    uint32_t result;  // 1 success, 0 failure
};

struct GetPositionReply
{
    MessageHeader header;
    uint32_t reserved;
    int64_t positionMs;  // -1 when nothing plays
};

// --- frames (host -> controller) ---

// VideoFrame / AudioFrame: this header, dataLength bytes of data, a
// PositionTrailer when header.hasTrailer is 1, then kFramePadding bytes.
struct FrameMessageHeader
{
    MessageHeader header;
    MediaFormat format;  // the format the StartPlayFile asked for
    int32_t dataLength;
};

// Follows the frame data, so it may lie at any alignment in a message:
// copy it in and out with memcpy.
struct PositionTrailer
{
    uint32_t type;  // 52
    uint32_t reserved1;
    uint32_t zero;  // 0
    uint32_t reserved2;
    int64_t positionMs;
};

// The frame's own stamp, ours, in bytes the format leaves without value:
// MessageHeader.id holds the frame's number within its kind (0, 1, 2, ...
// from each successful StartPlayFile, never reset by Seek), and the padding
// holds the presentation time and flags below. A controller that ignores
// them reads the frame as before.
constexpr size_t kFrameStampTimeOffset = 0;   // in the padding: int64, 100 ns from the file's start
constexpr size_t kFrameStampFlagsOffset = 8;  // in the padding: uint16
enum FrameStampFlags : uint16_t
{
    kFrameDiscontinuity = 1,  // first frame of its kind after StartPlayFile or a Seek
    kFrameKeyPicture = 2,     // a picture that decodes on its own
};

// Whole message lengths of a frame, padding included.
constexpr uint32_t FrameMessageLength(uint32_t dataLength, bool hasTrailer)
{
    return static_cast<uint32_t>(sizeof(FrameMessageHeader)) + dataLength +
           (hasTrailer ? static_cast<uint32_t>(sizeof(PositionTrailer)) : 0u) + kFramePadding;
}

// --- layout checks: every size and offset as it travels ---
static_assert(sizeof(PacketHeader) == 8);
static_assert(offsetof(PacketHeader, length) == 0 && offsetof(PacketHeader, close) == 4);
static_assert(sizeof(MessageHeader) == 12);
static_assert(offsetof(MessageHeader, type) == 0 && offsetof(MessageHeader, id) == 4 &&
              offsetof(MessageHeader, hasTrailer) == 8);
static_assert(offsetof(MediaFormat, width) == 0 && offsetof(MediaFormat, height) == 4 &&
              offsetof(MediaFormat, colorSpace) == 8 && offsetof(MediaFormat, sampleRate) == 12 &&
              offsetof(MediaFormat, bitsPerSample) == 16 && offsetof(MediaFormat, channels) == 20);
static_assert(offsetof(MediaInfo, hasVideo) == 0 && offsetof(MediaInfo, alwaysOne) == 4 &&
              offsetof(MediaInfo, width) == 8 && offsetof(MediaInfo, height) == 12 &&
              offsetof(MediaInfo, durationMs) == 16 && offsetof(MediaInfo, framesPerSecond) == 20);
static_assert(sizeof(TestFileCommand) == kTestFilePathOffset);
static_assert(offsetof(StartPlayFileCommand, format) == 12 &&
              offsetof(StartPlayFileCommand, reserved) == 36 &&
              sizeof(StartPlayFileCommand) == kStartPlayFilePathOffset);
static_assert(offsetof(SeekCommand, positionMs) == 16 && sizeof(SeekCommand) == 24);
static_assert(offsetof(SetReplyWndCommand, value) == 12 && sizeof(SetReplyWndCommand) == 16);
static_assert(offsetof(MediaInfoReply, info) == 12 && sizeof(MediaInfoReply) == 36);
static_assert(offsetof(ResultReply, result) == 12 && sizeof(ResultReply) == 16);
static_assert(offsetof(GetPositionReply, positionMs) == 16 && sizeof(GetPositionReply) == 24);
static_assert(offsetof(FrameMessageHeader, format) == 12 &&
              offsetof(FrameMessageHeader, dataLength) == 36 && sizeof(FrameMessageHeader) == 40);
static_assert(offsetof(PositionTrailer, zero) == 8 && offsetof(PositionTrailer, positionMs) == 16 &&
              sizeof(PositionTrailer) == 24);
static_assert(kFrameStampFlagsOffset + sizeof(uint16_t) <= kFramePadding);
static_assert(FrameMessageLength(100, true) == 174 && FrameMessageLength(100, false) == 150);
