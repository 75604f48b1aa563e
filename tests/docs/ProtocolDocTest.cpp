// The byte dumps in docs/protocol.md against the controller library: every
// command dump must be what the encoders build, every dump from the host must
// decode to the values its notes name. A change of the wire format that
// forgets the page fails here.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>

#include "controller/Messages.h"
#include "controller/WindowPort.h"

using namespace marlin::controller;

namespace {

std::string ReadDoc()
{
    std::ifstream in(std::string(MARLIN_SOURCE_DIR) + "/docs/protocol.md");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The bytes of the dump under the caption "<caption>, N bytes:". A "…" line
// (cut data) ends the dump early.
Bytes Dump(const std::string& doc, const std::string& caption)
{
    const std::string start = "\n" + caption + ", ";
    size_t at = doc.find(start);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no dump \"" << caption << "\"";
        return {};
    }
    size_t open = doc.find("```\n", at);
    size_t close = doc.find("```", open + 4);
    std::istringstream lines(doc.substr(open + 4, close - open - 4));
    Bytes bytes;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
                !std::isxdigit(static_cast<unsigned char>(word[1])))
                break;  // the note after the bytes
            bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
        }
    }
    const size_t declared = std::stoul(doc.substr(at + start.size()));
    EXPECT_EQ(bytes.size(), declared) << caption;
    return bytes;
}

Message DecodePacket(const Bytes& packet)
{
    Message m;
    std::string error;
    EXPECT_GE(packet.size(), 8u);
    EXPECT_EQ(Get32(packet.data(), 0), packet.size() - 8);
    EXPECT_EQ(Get32(packet.data(), 4), 0u);
    EXPECT_TRUE(DecodeMessage(packet.data() + 8, packet.size() - 8, &m, &error)) << error;
    return m;
}

}  // namespace

TEST(ProtocolDoc, CommandDumpsAreWhatTheEncodersBuild)
{
    const std::string doc = ReadDoc();
    const std::u16string path = u"/tmp/a.mp4";
    const MediaFormat format{4, 2, ColorSpace::I420, 8000, 16, 1};
    EXPECT_EQ(Dump(doc, "TestFile, id 1"), EncodePacket(TestFile(1, path)));
    EXPECT_EQ(Dump(doc, "StartPlayFile, id 3: 4×2 I420, 8000 Hz mono"), EncodePacket(StartPlayFile(3, format, path)));
    EXPECT_EQ(Dump(doc, "GetFileInfo, id 4"), EncodePacket(GetFileInfo(4)));
    EXPECT_EQ(Dump(doc, "Pause, id 5"), EncodePacket(Pause(5)));
    EXPECT_EQ(Dump(doc, "GetPosition, id 6"), EncodePacket(GetPosition(6)));
    EXPECT_EQ(Dump(doc, "Seek, id 7, to 2000 ms"), EncodePacket(Seek(7, 2000)));
    EXPECT_EQ(Dump(doc, "Contine, id 8"), EncodePacket(Contine(8)));
    EXPECT_EQ(Dump(doc, "StopPlayFile, id 9"), EncodePacket(StopPlayFile(9)));
    EXPECT_EQ(Dump(doc, "GetPosition, id 7, nothing playing"), EncodePacket(GetPosition(7)));
    EXPECT_EQ(Dump(doc, "SetReplyWnd, id 2, value 1"), EncodePacket(SetReplyWnd(2, 1)));
    EXPECT_EQ(Dump(doc, "Quit, id 11"), EncodePacket(Quit(11)));
    EXPECT_EQ(Dump(doc, "Close notice"), EncodePacketHeader(0, 1));
    EXPECT_EQ(Dump(doc, "The answer to a close notice"), EncodePacketHeader(0, 1));
}

TEST(ProtocolDoc, HostDumpsDecodeToTheirNotes)
{
    const std::string doc = ReadDoc();
    Message m = DecodePacket(Dump(doc, "TestFileReply"));
    EXPECT_EQ(m.type, 1u);
    EXPECT_EQ(m.id, 1u);
    EXPECT_EQ(m.info.hasVideo, 1);
    EXPECT_EQ(m.info.width, 320);
    EXPECT_EQ(m.info.height, 240);
    EXPECT_EQ(m.info.durationMs, 4000);
    EXPECT_EQ(m.info.framesPerSecond, 25);

    m = DecodePacket(Dump(doc, "GetFileInfoReply during playback"));
    EXPECT_EQ(m.type, 5u);
    EXPECT_EQ(m.info.hasVideo, 0);
    EXPECT_EQ(m.info.durationMs, 4000);

    struct Result
    {
        const char* caption;
        uint32_t type, id;
    };
    for (const Result& r : {Result{"SetReplyWndReply", 19, 2}, Result{"StartPlayFileReply", 3, 3},
                            Result{"PauseReply", 9, 5}, Result{"ContineReply", 11, 8},
                            Result{"StopPlayFileReply", 7, 9}}) {
        m = DecodePacket(Dump(doc, r.caption));
        EXPECT_EQ(m.kind, MessageKind::Result) << r.caption;
        EXPECT_EQ(m.type, r.type) << r.caption;
        EXPECT_EQ(m.id, r.id) << r.caption;
        EXPECT_EQ(m.result, 1u) << r.caption;
    }

    m = DecodePacket(Dump(doc, "GetPositionReply, nothing playing"));
    EXPECT_EQ(m.type, 17u);
    EXPECT_EQ(m.id, 7u);
    EXPECT_EQ(m.positionMs, -1);

    m = DecodePacket(Dump(doc, "VideoFrame"));
    EXPECT_EQ(m.type, 50u);
    EXPECT_EQ(m.format.width, 4);
    EXPECT_EQ(m.format.colorSpace, ColorSpace::I420);
    EXPECT_EQ(m.data.size(), 4u * 2 + 2 * (2 * 1));  // Y, then U and V of ceil(W/2) x ceil(H/2)
    EXPECT_EQ(m.trailerPositionMs, 0);
    // The first picture of a playback: number 0 at time 0, a discontinuity
    // and a key picture.
    EXPECT_EQ(m.frameNumber, 0u);
    EXPECT_EQ(m.presentationTime, 0);
    EXPECT_TRUE(m.isDiscontinuity);
    EXPECT_TRUE(m.isKeyPicture);

    m = DecodePacket(Dump(doc, "PlayComplete"));
    EXPECT_EQ(m.kind, MessageKind::PlayComplete);

    const Bytes copyData = Dump(doc, "Window port datagram: WM_COPYDATA carrying GetPosition, id 10");
    EXPECT_EQ(copyData, EncodeCopyData(0, GetPosition(10)));
    EXPECT_EQ(Dump(doc, "WM_COMMAND, control 1000 (the test button)"), EncodeCommand(1000));
    EXPECT_EQ(Dump(doc, "WM_CLOSE"), EncodeClose());
}
