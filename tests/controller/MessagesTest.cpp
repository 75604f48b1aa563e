#include <gtest/gtest.h>

#include <cstring>

#include "controller/Messages.h"

using namespace marlin::controller;

namespace {

template <typename T>
T As(const Bytes& bytes)
{
    T value;
    EXPECT_GE(bytes.size(), sizeof value);
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

std::u16string PathAt(const Bytes& message, size_t offset)
{
    std::u16string path;
    for (size_t i = offset; i + 1 < message.size(); i += 2) {
        char16_t c = static_cast<char16_t>(message[i] | (message[i + 1] << 8));
        if (c == 0) {
            EXPECT_EQ(i + 2, message.size()) << "terminator is the last character";
            return path;
        }
        path.push_back(c);
    }
    ADD_FAILURE() << "no terminator";
    return path;
}

template <typename T>
Bytes ToBytes(const T& value, size_t extra = 0)
{
    Bytes b(sizeof value + extra, 0);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

}  // namespace

// --- commands against the shared layouts ---

TEST(ControllerMessages, BareCommandsAreA12ByteHeader)
{
    struct Case
    {
        Bytes message;
        MessageType type;
    };
    for (const Case& c : {Case{GetFileInfo(1), MessageType::GetFileInfo},
                          Case{StopPlayFile(2), MessageType::StopPlayFile}, Case{Pause(3), MessageType::Pause},
                          Case{Contine(4), MessageType::Contine}, Case{GetPosition(5), MessageType::GetPosition},
                          Case{Quit(6), MessageType::Quit}}) {
        ASSERT_EQ(c.message.size(), sizeof(MessageHeader));
        auto h = As<MessageHeader>(c.message);
        EXPECT_EQ(h.type, static_cast<uint32_t>(c.type));
        EXPECT_NE(h.id, 0u);
        EXPECT_EQ(h.hasTrailer, 0u);
    }
}

TEST(ControllerMessages, TestFileCarriesTheTerminatedUtf16PathAtOffset12)
{
    std::u16string path = u"/tmp/\u00e9t\u00e9 \U0001F600.mp4";
    Bytes m = TestFile(0x01020304, path);
    EXPECT_EQ(m.size(), kTestFilePathOffset + 2 * (path.size() + 1));
    auto c = As<TestFileCommand>(m);
    EXPECT_EQ(c.header.type, 0u);
    EXPECT_EQ(c.header.id, 0x01020304u);
    EXPECT_EQ(m[4], 0x04);  // little-endian on the wire
    EXPECT_EQ(PathAt(m, kTestFilePathOffset), path);
}

TEST(ControllerMessages, StartPlayFileCarriesFormatAndPath)
{
    MediaFormat format{320, 240, ColorSpace::I420, 44100, 16, 2};
    Bytes m = StartPlayFile(9, format, u"a.wav");
    auto c = As<StartPlayFileCommand>(m);
    EXPECT_EQ(c.header.type, 2u);
    EXPECT_EQ(c.header.id, 9u);
    EXPECT_EQ(std::memcmp(&c.format, &format, sizeof format), 0);
    EXPECT_EQ(PathAt(m, kStartPlayFilePathOffset), u"a.wav");
    EXPECT_EQ(m.size(), kStartPlayFilePathOffset + 12);
}

TEST(ControllerMessages, SeekAndSetReplyWndFields)
{
    Bytes seek = Seek(3, -1234567890123LL);
    ASSERT_EQ(seek.size(), sizeof(SeekCommand));
    auto s = As<SeekCommand>(seek);
    EXPECT_EQ(s.header.type, 14u);
    EXPECT_EQ(s.positionMs, -1234567890123LL);

    Bytes wnd = SetReplyWnd(4, 0);
    ASSERT_EQ(wnd.size(), sizeof(SetReplyWndCommand));
    auto w = As<SetReplyWndCommand>(wnd);
    EXPECT_EQ(w.header.type, 18u);
    EXPECT_EQ(w.value, 0u);
    EXPECT_EQ(As<SetReplyWndCommand>(SetReplyWnd(4, 77)).value, 77u);
}

TEST(ControllerMessages, RawMessagesForMalformedCommands)
{
    Bytes m = RawMessage(12, 5, Bytes{1, 2, 3}, 1);
    ASSERT_EQ(m.size(), 15u);
    auto h = As<MessageHeader>(m);
    EXPECT_EQ(h.type, 12u);
    EXPECT_EQ(h.id, 5u);
    EXPECT_EQ(h.hasTrailer, 1u);
    EXPECT_EQ(m[14], 3);
}

TEST(ControllerMessages, GetPositionPacketIsExactlyTheseBytes)
{
    Bytes packet = EncodePacket(GetPosition(7));
    const Bytes expected = {0x0C, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(packet, expected);
    EXPECT_EQ(EncodePacket({}, 2), (Bytes{0, 0, 0, 0, 2, 0, 0, 0}));
}

// --- replies and frames ---

TEST(ControllerMessages, DecodesResultMediaInfoAndPositionReplies)
{
    Message m;
    std::string error;
    for (uint32_t type : {3u, 7u, 9u, 11u, 19u}) {
        ResultReply r{{type, 42, 0}, 1};
        ASSERT_TRUE(DecodeMessage(ToBytes(r).data(), sizeof r, &m, &error)) << error;
        EXPECT_EQ(m.kind, MessageKind::Result);
        EXPECT_EQ(m.type, type);
        EXPECT_EQ(m.id, 42u);
        EXPECT_EQ(m.result, 1u);
    }
    MediaInfoReply info{{5, 8, 0}, {1, 1, 640, 480, 12345, 30}};
    ASSERT_TRUE(DecodeMessage(ToBytes(info).data(), sizeof info, &m, &error)) << error;
    EXPECT_EQ(m.kind, MessageKind::MediaInfo);
    EXPECT_EQ(m.info.width, 640);
    EXPECT_EQ(m.info.height, 480);
    EXPECT_EQ(m.info.durationMs, 12345);
    EXPECT_EQ(m.info.framesPerSecond, 30);

    // The reply while nothing plays, as it travels.
    Bytes position = {0x11, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD,
                      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_TRUE(DecodeMessage(position.data(), position.size(), &m, &error)) << error;
    EXPECT_EQ(m.kind, MessageKind::Position);
    EXPECT_EQ(m.id, 7u);
    EXPECT_EQ(m.positionMs, -1);

    MessageHeader complete{53, 0, 0};
    ASSERT_TRUE(DecodeMessage(ToBytes(complete).data(), 12, &m, &error)) << error;
    EXPECT_EQ(m.kind, MessageKind::PlayComplete);
}

TEST(ControllerMessages, DecodesFramesWithAndWithoutTrailer)
{
    MediaFormat format{16, 8, ColorSpace::RGB24, 0, 0, 0};
    FrameMessageHeader fh{{50, 0, 1}, format, 100};
    Bytes m = ToBytes(fh);
    for (int i = 0; i < 100; ++i) m.push_back(static_cast<uint8_t>(i));
    PositionTrailer trailer{52, 0xDEAD, 0, 0xBEEF, 987654321};
    Bytes t = ToBytes(trailer);
    m.insert(m.end(), t.begin(), t.end());
    m.resize(m.size() + kFramePadding, 0xEE);
    ASSERT_EQ(m.size(), 174u);
    EXPECT_EQ(EncodePacket(m).size(), 182u);

    Message out;
    std::string error;
    ASSERT_TRUE(DecodeMessage(m.data(), m.size(), &out, &error)) << error;
    EXPECT_EQ(out.kind, MessageKind::Frame);
    EXPECT_EQ(out.type, 50u);
    EXPECT_EQ(std::memcmp(&out.format, &format, sizeof format), 0);
    ASSERT_EQ(out.data.size(), 100u);
    EXPECT_EQ(out.data[99], 99);
    ASSERT_TRUE(out.trailerPositionMs);
    EXPECT_EQ(*out.trailerPositionMs, 987654321);

    FrameMessageHeader ah{{51, 0, 0}, MediaFormat{0, 0, 0, 48000, 16, 2}, 8};
    Bytes audio = ToBytes(ah);
    audio.resize(audio.size() + 8 + kFramePadding, 1);
    ASSERT_EQ(audio.size(), FrameMessageLength(8, false));
    ASSERT_TRUE(DecodeMessage(audio.data(), audio.size(), &out, &error)) << error;
    EXPECT_EQ(out.type, 51u);
    EXPECT_FALSE(out.trailerPositionMs);
    EXPECT_EQ(out.format.sampleRate, 48000);
}

TEST(ControllerMessages, RejectsWhatTheHostMustNeverSend)
{
    Message out;
    std::string error;
    auto rejects = [&](const Bytes& b) { return !DecodeMessage(b.data(), b.size(), &out, &error); };

    EXPECT_TRUE(rejects(Bytes(11, 0)));                                 // no header
    EXPECT_TRUE(rejects(ToBytes(MessageHeader{12, 0, 0})));             // not a reply type
    EXPECT_TRUE(rejects(ToBytes(ResultReply{{3, 0, 0}, 1}, 1)));       // one byte too many
    EXPECT_TRUE(rejects(ToBytes(ResultReply{{3, 0, 0}, 2})));          // result not 0/1
    EXPECT_TRUE(rejects(ToBytes(ResultReply{{3, 0, 1}, 1})));          // trailer flag on a reply
    EXPECT_TRUE(rejects(ToBytes(MessageHeader{53, 0, 0}, 4)));          // PlayComplete too long

    FrameMessageHeader fh{{50, 0, 1}, {}, 4};
    Bytes frame = ToBytes(fh);
    frame.resize(40 + 4);
    Bytes t = ToBytes(PositionTrailer{52, 0, 0, 0, 5});
    frame.insert(frame.end(), t.begin(), t.end());
    frame.resize(frame.size() + kFramePadding);
    ASSERT_FALSE(rejects(frame)) << error;

    Bytes noPadding(frame.begin(), frame.end() - 1);
    EXPECT_TRUE(rejects(noPadding));
    Bytes badTrailer = frame;
    badTrailer[44] = 51;
    EXPECT_TRUE(rejects(badTrailer));
    Bytes badZero = frame;
    badZero[44 + 8] = 1;
    EXPECT_TRUE(rejects(badZero));
    Bytes badFlag = frame;
    badFlag[8] = 2;
    EXPECT_TRUE(rejects(badFlag));
    Bytes negative = frame;
    Put32(negative, 36, 0xFFFFFFFFu);
    EXPECT_TRUE(rejects(negative));
    Bytes tooLong = frame;
    Put32(tooLong, 36, 1000);
    EXPECT_TRUE(rejects(tooLong));
}
