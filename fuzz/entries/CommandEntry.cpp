// One message into the dialog's OnData. The dialog is linked to a
// socketpair whose far end decodes every packet the host sends; TestFile and
// StartPlayFile run on a fake engine, so no file is opened and no graph runs.
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/MarlinDlg.h"
#include "controller/Messages.h"
#include "fuzz/entries/Check.h"
#include "fuzz/entries/FuzzEntries.h"
#include "fuzz/entries/SocketPair.h"
#include "pipe/MessageFormat.h"

namespace marlin::fuzz {
namespace {

namespace mc = marlin::controller;

constexpr int32_t kSourceCodes[] = {ColorSpace::RGB24, ColorSpace::RGB32, ColorSpace::RGB565, ColorSpace::RGB555,
                                    ColorSpace::YUY2,  ColorSpace::UYVY,  ColorSpace::I420,   ColorSpace::YVU9,
                                    ColorSpace::YV12,  ColorSpace::IYUV,  ColorSpace::NV12};
constexpr int32_t kSampleRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};

// A dialog whose engine is a stand-in: StartPlayFile prepares the frame path
// as a successful start does and streams one picture and two blocks of sound
// of a source picked by the message's reserved word through OnDateReceive.
class FakeEngineDlg : public CMarlinDlg
{
public:
    uint32_t sourceChoice = 0;  // the StartPlayFile message's reserved word
    int starts = 0;

    ~FakeEngineDlg() override { ClosePipeForTesting(); }

    MediaInfo TestFile(const char16_t* path) override
    {
        MediaInfo info{};
        info.durationMs = path && path[0] ? 1000 : -1;
        info.alwaysOne = 1;
        return info;
    }

    bool StartPlayFile(const char16_t* path, const MediaFormat* format, IMarlinMgrSink* sink) override
    {
        ++starts;
        if (!path || !format) return false;
        BeginDeliveryForTesting(*format, sink);
        StreamPicture();
        StreamSound();
        EndDeliveryForTesting();
        return true;
    }

private:
    void StreamPicture()
    {
        const uint8_t* c = reinterpret_cast<const uint8_t*>(&sourceChoice);
        MediaFormat source{};
        source.colorSpace = kSourceCodes[c[0] % std::size(kSourceCodes)];
        source.width = 4 * (1 + c[1] % 24);
        source.height = 4 * (1 + c[2] % 24);
        if (c[0] & 0x80) source.height = -source.height;  // a top-down picture
        // Room for the largest layout (RGB32 lines); the converter reads what
        // its format needs.
        std::vector<uint8_t> picture(static_cast<size_t>(source.width) * std::abs(source.height) * 4);
        for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 31 + c[3]);
        OnDateReceive(true, &source, picture.data(), static_cast<int32_t>(picture.size()));
    }

    void StreamSound()
    {
        const uint8_t* c = reinterpret_cast<const uint8_t*>(&sourceChoice);
        MediaFormat source{};
        source.sampleRate = kSampleRates[c[3] % std::size(kSampleRates)];
        source.bitsPerSample = 16;
        source.channels = 1 + (c[3] >> 4) % 8;
        const size_t frames = 441;
        std::vector<int16_t> block(frames * static_cast<size_t>(source.channels));
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<int16_t>(8000 * std::sin(static_cast<double>(i) * 0.05));
        for (int n = 0; n < 2; ++n)
            OnDateReceive(false, &source, reinterpret_cast<const uint8_t*>(block.data()),
                          static_cast<int32_t>(block.size() * sizeof(int16_t)));
    }
};

// Reads exactly `size` bytes; false at the end of the stream.
bool ReadAll(int fd, void* buffer, size_t size)
{
    auto* p = static_cast<uint8_t*>(buffer);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// What is kept of each packet the host sent: frames can be large.
struct Reply
{
    mc::MessageKind kind;
    uint32_t type;
    uint32_t id;
};

// Reads packets from the host until the stream ends; every one must decode,
// and the stream must end between packets.
void CollectReplies(int fd, std::vector<Reply>* out)
{
    std::vector<uint8_t> payload;
    for (;;) {
        PacketHeader h;
        uint8_t* p = reinterpret_cast<uint8_t*>(&h);
        const ssize_t first = ::read(fd, p, sizeof h);
        if (first == 0) break;
        FUZZ_CHECK(first > 0 && ReadAll(fd, p + first, sizeof h - static_cast<size_t>(first)),
                   "a packet header is cut short");
        FUZZ_CHECK(h.close == 0, "the host sent a close notice");
        payload.resize(h.length);
        FUZZ_CHECK(ReadAll(fd, payload.data(), h.length), "a packet of %u bytes is cut short", h.length);
        mc::Message m;
        std::string error;
        FUZZ_CHECK(mc::DecodeMessage(payload.data(), h.length, &m, &error), "undecodable packet: %s",
                   error.c_str());
        out->push_back(Reply{m.kind, m.type, m.id});
    }
}

}  // namespace

int CommandOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxPacketLength) return 0;  // the reader never delivers more
    SocketPair toHost, fromHost;
    FUZZ_CHECK(toHost.Open() && fromHost.Open(), "socketpair failed");

    MessageHeader in{};
    if (size >= sizeof in) std::memcpy(&in, data, sizeof in);
    std::vector<Reply> replies;
    auto dlg = std::make_unique<FakeEngineDlg>();
    if (size >= sizeof(StartPlayFileCommand))
        std::memcpy(&dlg->sourceChoice, data + offsetof(StartPlayFileCommand, reserved), sizeof dlg->sourceChoice);
    FUZZ_CHECK(dlg->AttachPipeForTesting(CPipeHandle::Adopt(fromHost.Release(0)),
                                         CPipeHandle::Adopt(toHost.Release(0))),
               "attach failed");
    std::thread peer(CollectReplies, fromHost.fd[1], &replies);
    // A copy of exactly `size` bytes, as the reader's buffer would hold it:
    // the sanitizer sees any read past the message.
    std::vector<uint8_t> message(data, data + size);
    dlg->OnData(message.empty() ? nullptr : message.data(), static_cast<uint32_t>(size));
    // Ending the dialog closes its pipe: the peer sees the end of the stream.
    dlg.reset();
    peer.join();

    // Exactly one reply to each command that has one, echoing its id.
    bool replyExpected = false;
    if (size >= sizeof in) {
        switch (static_cast<MessageType>(in.type)) {
        case MessageType::TestFile: case MessageType::StartPlayFile: case MessageType::GetFileInfo:
        case MessageType::StopPlayFile: case MessageType::Pause: case MessageType::Contine:
        case MessageType::GetPosition:
            replyExpected = true;
            break;
        case MessageType::SetReplyWnd: {
            uint32_t value = 1;
            if (size >= sizeof(SetReplyWndCommand))
                std::memcpy(&value, data + offsetof(SetReplyWndCommand, value), sizeof value);
            replyExpected = value != 0;
            break;
        }
        default:
            break;
        }
    }
    size_t repliesSeen = 0;
    for (const Reply& m : replies) {
        if (m.kind == mc::MessageKind::Frame) {
            FUZZ_CHECK(static_cast<MessageType>(in.type) == MessageType::StartPlayFile,
                       "a frame after a message of type %u", in.type);
            continue;
        }
        ++repliesSeen;
        FUZZ_CHECK(m.type == in.type + 1 && m.id == in.id, "reply type %u id %u to type %u id %u", m.type, m.id,
                   in.type, in.id);
    }
    FUZZ_CHECK(repliesSeen == (replyExpected ? 1u : 0u), "%zu replies to a message of type %u", repliesSeen,
               in.type);
    return 0;
}

}  // namespace marlin::fuzz
