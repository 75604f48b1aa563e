#pragma once
// The three fuzzed entry points, shared by the libFuzzer targets and by the
// regression test that replays kept inputs in the ordinary test build. Each
// takes one input and returns 0; a fault shows as a sanitizer report or as
// an abort with a message on stderr.
#include <cstddef>
#include <cstdint>

namespace marlin::fuzz {

// Bytes as the controller's socket delivers them, read by the host's pipe
// reader; the messages it hands on are checked against the packet framing.
int PacketReaderOneInput(const uint8_t* data, size_t size);

// One message as the dialog's OnData gets it. The dialog has a linked pipe
// whose replies are decoded and checked; the file operations use a fake
// engine that feeds a picture and a block of sound through the real frame
// path in the format the message asks for.
int CommandOneInput(const uint8_t* data, size_t size);

// A media file: the first byte picks the file name extension, the rest is
// the file. It is rendered and played by the engine with its capture
// renderers until the end, a sample limit or a time limit. Needs the decoder
// modules below the current directory (LAVFilters/).
int MediaOneInput(const uint8_t* data, size_t size);
// Once per process before MediaOneInput: quiets FFmpeg and keeps the modules
// loaded for the whole run.
void MediaInit();

// Extensions that the first byte of a media input selects (modulo count).
extern const char* const kMediaExtensions[];
extern const size_t kMediaExtensionCount;

}  // namespace marlin::fuzz
