#pragma once
// Window messages to a running host through its window port: a Unix
// datagram socket at base name + "_wnd" (abstract when the base name starts
// with "@"). A datagram is a little-endian uint32 message number and its data.
#include <cstdint>
#include <string>

#include "controller/Messages.h"

namespace marlin::controller {

constexpr uint32_t WM_CLOSE_MESSAGE = 0x0010;
constexpr uint32_t WM_COMMAND_MESSAGE = 0x0111;
constexpr uint32_t WM_COPYDATA_MESSAGE = 0x004A;

// The datagrams, as they travel.
Bytes EncodeCopyData(uint32_t dwData, const Bytes& message);  // a command without packet header
Bytes EncodeCommand(uint32_t controlId);
Bytes EncodeClose();

// Sends one datagram to the window port of `baseName`; false with the reason
// in *error when there is no such port or the send fails.
bool SendToWindowPort(const std::string& baseName, const Bytes& datagram, std::string* error = nullptr);

}  // namespace marlin::controller
