// A controller to be killed: it starts marlin-host, plays a file and keeps
// the host busy with commands and frames until it is killed. The fault test
// kills it at a random moment and watches the orphaned host.
//
//   reliability-controller BASE HOST_PATH MEDIA_PATH STATE_FILE
//
// STATE_FILE receives the host's pid once it runs, then "playing" on a
// second line once the playback has started.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "controller/ControllerLink.h"
#include "controller/HostProcess.h"
#include "controller/Messages.h"

namespace mc = marlin::controller;

namespace {

// Written aside and renamed, so the reader never sees half a file.
void WriteState(const std::string& path, const std::string& text)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text;
    }
    std::filesystem::rename(tmp, path);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: reliability-controller BASE HOST_PATH MEDIA_PATH STATE_FILE\n");
        return 2;
    }
    const std::string base = argv[1], hostPath = argv[2], media = argv[3], state = argv[4];
    std::string error;
    auto link = mc::ControllerLink::Listen(base, &error);
    if (!link) {
        std::fprintf(stderr, "listen: %s\n", error.c_str());
        return 1;
    }
    mc::HostProcess::Options options;
    options.program = hostPath;
    options.args = {base};
    options.workingDirectory = std::filesystem::path(hostPath).parent_path().string();
    options.stderrPath = base + ".log";
    auto host = mc::HostProcess::Spawn(options, &error);
    if (!host) {
        std::fprintf(stderr, "spawn: %s\n", error.c_str());
        return 1;
    }
    const std::string pid = std::to_string(host->Pid()) + "\n";
    WriteState(state, pid);
    if (!link->Accept(30000)) return 1;

    const MediaFormat format{160, 120, 6, 16000, 16, 2};
    std::u16string path(media.begin(), media.end());
    uint32_t id = 1;
    link->SendMessage(mc::StartPlayFile(id, format, path));
    mc::Message m;
    do {
        if (link->ReadMessage(&m, 10000) != mc::IoResult::Ok) return 1;
    } while (!(m.type == 3 && m.id == id));
    if (m.result != 1) return 1;
    WriteState(state, pid + "playing\n");

    // Busy until killed: frames read, commands sent at random moments, and
    // the file started again whenever it ends.
    std::mt19937 rng(static_cast<unsigned>(::getpid()));
    for (;;) {
        // Waits for data first: a read cut off by its limit would lose the
        // packet framing.
        mc::IoResult r = link->WaitForEndOfStream(20);
        if (r == mc::IoResult::Ok) r = link->ReadMessage(&m, 10000, &error);
        if (r != mc::IoResult::Ok && r != mc::IoResult::Timeout) {
            // Ends without the destructors, which would kill the host: the
            // test sees this controller gone before its time.
            std::fprintf(stderr, "read: %s %s\n", mc::ToString(r), error.c_str());
            std::_Exit(1);
        }
        if (r == mc::IoResult::Ok && m.kind == mc::MessageKind::PlayComplete) {
            link->SendMessage(mc::Seek(++id, 0));
            continue;
        }
        switch (rng() % 8) {
        case 0: link->SendMessage(mc::GetPosition(++id)); break;
        case 1: link->SendMessage(mc::Seek(++id, static_cast<int64_t>(rng() % 3000))); break;
        case 2: link->SendMessage(mc::Pause(++id)); link->SendMessage(mc::Contine(++id)); break;
        case 3: link->SendMessage(mc::GetFileInfo(++id)); break;
        default: break;
        }
    }
}
