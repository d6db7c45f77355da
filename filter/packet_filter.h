// The per-packet decision shared by every host adapter.
#pragma once

#include <cstddef>
#include <cstdint>

namespace macgate {

// Length to pass when the host does not say how long the message is.
constexpr size_t kUnknownLength = static_cast<size_t>(-1);

// Decides on one DHCP message (RFC 2131 layout) by its client hardware
// address and, when the info log is on and open, writes the decision line.
// Gives 1 to process the packet, 0 to drop it.
int32_t FilterPacket(const uint8_t* message, size_t length);

}  // namespace macgate
