// A minimal Marlin controller on the controller library (controller/): it
// creates the two sockets, starts marlin-host, asks for the file's
// properties (TestFile), plays it (StartPlayFile) to 160x120 I420 pictures
// and 16 kHz mono sound, counts the frames until PlayComplete, and ends the
// host with Quit. docs/protocol.md describes every byte on the wire.
//
//   minimal_controller path/to/bin/marlin-host media/sample.mp4
//
// Exit status 0 when the file played to its end and the host exited cleanly.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "controller/ControllerLink.h"
#include "controller/HostProcess.h"
#include "controller/Messages.h"

using namespace marlin::controller;

namespace {

constexpr int kTimeoutMs = 15000;  // every wait for the host is bounded

std::u16string Utf16(const std::string& utf8)
{
    // Enough for the ASCII paths of this example; a real controller converts
    // UTF-8 properly.
    return std::u16string(utf8.begin(), utf8.end());
}

int Fail(const std::string& what, HostProcess* host = nullptr)
{
    std::fprintf(stderr, "error: %s\n", what.c_str());
    if (host) std::fprintf(stderr, "host log:\n%s", host->Stderr().c_str());
    return 1;
}

// Why a read from the host gave nothing: no reply came in time, the host
// closed the link, or what came was not a message.
std::string NothingRead(IoResult result, const std::string& awaited, const std::string& error)
{
    switch (result) {
    case IoResult::Timeout:
        return "no reply came: " + awaited + " not within " + std::to_string(kTimeoutMs / 1000) + " s";
    case IoResult::Closed: return "the host closed the link while " + awaited + " was awaited";
    default: return "reading " + awaited + ": " + error;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: minimal_controller MARLIN_HOST MEDIA_FILE\n");
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path hostPath = fs::absolute(argv[1]);
    const std::u16string media = Utf16(fs::absolute(argv[2]).string());

    // Both sockets listen before the host starts. "@" names the abstract
    // namespace: nothing to clean up in the file system.
    const std::string base = "@marlin-example-" + std::to_string(getpid());
    std::string error;
    auto link = ControllerLink::Listen(base, &error);
    if (!link) return Fail("cannot listen: " + error);

    // The host runs in its own folder, where LAVFilters/ lies; the base name
    // is the last word of its command line.
    auto host = HostProcess::Spawn(
        {.program = hostPath.string(), .args = {base}, .workingDirectory = hostPath.parent_path().string()},
        &error);
    if (!host) return Fail("cannot start the host: " + error);
    if (!link->Accept(kTimeoutMs)) return Fail("the host did not connect", host.get());

    Message reply;
    link->SendMessage(TestFile(1, media));
    if (IoResult r = link->ReadMessage(&reply, kTimeoutMs, &error); r != IoResult::Ok)
        return Fail(NothingRead(r, "the TestFile reply", error), host.get());
    if (reply.type != 1) return Fail("unexpected message type " + std::to_string(reply.type), host.get());
    if (reply.info.durationMs == -1) return Fail("the host cannot open " + std::string(argv[2]), host.get());
    std::printf("file: video %d %dx%d %d fps, duration %d ms\n", reply.info.hasVideo, reply.info.width,
                reply.info.height, reply.info.framesPerSecond, reply.info.durationMs);

    // width, height, colorSpace, sampleRate, bitsPerSample, channels
    const MediaFormat format{160, 120, ColorSpace::I420, 16000, 16, 1};
    const size_t pictureBytes = 160 * 120 + 2 * (80 * 60);
    link->SendMessage(StartPlayFile(2, format, media));

    int video = 0, audio = 0;
    size_t audioBytes = 0;
    bool started = false;
    for (;;) {
        // Frames may already follow the reply, so everything is read in one loop.
        if (IoResult r = link->ReadMessage(&reply, kTimeoutMs, &error); r != IoResult::Ok)
            return Fail(NothingRead(r, started ? "a frame or PlayComplete" : "the StartPlayFile reply", error),
                        host.get());
        if (reply.type == 3) {
            if (reply.result != 1) return Fail("StartPlayFile was refused", host.get());
            started = true;
        } else if (reply.type == 50) {
            if (reply.data.size() != pictureBytes) return Fail("picture of unexpected size", host.get());
            // Each frame says which it is and when it belongs (in 100 ns
            // units from the file's start).
            if (video == 0)
                std::printf("first picture: #%u at %.3f s%s\n", reply.frameNumber,
                            static_cast<double>(reply.presentationTime) / 1e7,
                            reply.isKeyPicture ? " (key picture)" : "");
            ++video;
        } else if (reply.type == 51) {
            ++audio;
            audioBytes += reply.data.size();
        } else if (reply.type == 53) {
            break;  // PlayComplete
        } else {
            return Fail("unexpected message type " + std::to_string(reply.type), host.get());
        }
    }
    if (!started) return Fail("frames came before the StartPlayFile reply", host.get());
    std::printf("played: %d video frames, %d audio frames (%.2f s of sound)\n", video, audio,
                static_cast<double>(audioBytes) / (2 * 16000));

    // Quit has no reply: the host closes its end and exits.
    link->SendMessage(Quit(3));
    if (link->WaitForEndOfStream(kTimeoutMs) != IoResult::Closed) return Fail("the host did not end", host.get());
    auto status = host->WaitExit(kTimeoutMs);
    if (!status) return Fail("the host did not exit", host.get());
    std::printf("host exit status: %d\n", status->exited ? status->code : 128 + status->signal);
    return status->Success() ? 0 : 1;
}
