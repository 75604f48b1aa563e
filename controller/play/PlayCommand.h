#pragma once
// The two commands of marlin-play on a running host.
#include <string>
#include <vector>

#include "controller/play/HostSession.h"
#include "controller/play/PlayOptions.h"

namespace marlin::play {

// The whole program: parses `args` (without the program name), runs the
// command, prints results on stdout and errors on stderr, returns the exit status.
int RunMarlinPlay(const std::vector<std::string>& args);

int RunInfo(const PlayOptions& options);
int RunPlay(const PlayOptions& options);

}  // namespace marlin::play
