// One packet decision on the list in use, and its line in the info log.
#pragma once

#include <cstddef>
#include <cstdint>

namespace macgate {

// Decides on one DHCP message (RFC 2131 layout) by its client hardware
// address against the list in use and, when the info log is on and open,
// writes the decision line. `interfaceAddress` is the address of the
// interface that received a message without a relay agent address, in host
// byte order; 0 when unknown. Gives 1 to process the packet, 0 to drop it.
// With the info log off it takes no lock and allocates nothing.
int32_t FilterPacket(const uint8_t* message, size_t length, uint32_t interfaceAddress = 0);

// True when the interface address can change the decision on `message`: the
// list in use has sections and the message no relay agent address. A host
// that has to look the address up can skip that otherwise.
bool InterfaceAddressMatters(const uint8_t* message, size_t length);

// Decides on one client by its hardware address (six bytes; null when the
// client gave none) against the list in use and writes its line in the info
// log as FilterPacket does; the line of a client without one says "no
// hardware address found" where the address would be.
int32_t FilterAddress(const uint8_t* address);

}  // namespace macgate
