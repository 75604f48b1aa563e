// marlin-play: the reference controller command. See PlayOptions.h for its
// command line and PlayCommand.cpp for what it does.
#include <csignal>
#include <string>
#include <vector>

#include "controller/play/PlayCommand.h"

namespace {

extern "C" void OnInterrupt(int)
{
    marlin::play::g_interrupted = 1;
}

}  // namespace

int main(int argc, char** argv)
{
    // Ctrl-C and SIGTERM end the playback in order: the loop sees the flag,
    // stops the host and removes the temporary folder.
    struct sigaction action{};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return marlin::play::RunMarlinPlay(std::vector<std::string>(argv + 1, argv + argc));
}
