// A stand-in host process for the link tests: connects CSimplePipe to the
// base name given as last word of its command line, answers every message
// by sending it back, and, on request, floods the link with packets. Ends
// with status 0 when the link ends, 2 when Connect fails, 3 when a write
// failed (the controller went away while it was sending).
#include <atomic>
#include <cstdio>
#include <cstring>
#include <vector>

#include "pipe/SimplePipe.h"
#include "platform/os/Sync.h"

namespace {

class EchoSink : public CSimplePipeSink
{
public:
    CSimplePipe* pipe = nullptr;
    CEvent done{true, false};
    std::atomic<bool> writeFailed{false};

    void OnPipeClosed(int reason) override
    {
        std::fprintf(stderr, "closed %d\n", reason);
        done.Set();
    }
    void OnData(const void* data, uint32_t length) override
    {
        // "flood": send 1 MB packets until a write fails.
        if (length == 5 && std::memcmp(data, "flood", 5) == 0) {
            std::vector<uint8_t> frame(1 << 20, 0x5A);
            std::fprintf(stderr, "flooding\n");
            while (pipe->Write(PacketHeader{uint32_t(frame.size()), 0}, frame.data())) {
            }
            writeFailed = true;
            done.Set();
            return;
        }
        if (!pipe->Write(PacketHeader{length, 0}, data)) {
            writeFailed = true;
            done.Set();
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return 1;
    EchoSink sink;
    CSimplePipe pipe(&sink);
    sink.pipe = &pipe;
    if (!pipe.Connect(argv[argc - 1])) return 2;
    std::fprintf(stderr, "connected\n");
    sink.done.Wait(INFINITE);
    pipe.Close();
    return sink.writeFailed ? 3 : 0;
}
