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
// With the info log off it takes no lock and allocates nothing; with it on,
// it allocates nothing and never waits on the file: its line goes to the
// info log's writer (config/info_log_writer.h).
int32_t FilterPacket(const uint8_t* message, size_t length, uint32_t interfaceAddress = 0);

// The same, with the scope the network that the server selected for the
// message (DecidePacketInNetwork); a `prefixLength` of 0, no network, leaves
// the decision to the server-wide entries.
int32_t FilterPacketInNetwork(const uint8_t* message, size_t length, uint32_t network,
                              int prefixLength);

// True when the list in use has sections.
bool ListHasSections();

// True when the interface address can change the decision on `message`: the
// list in use has sections and the message no relay agent address. A host
// that has to look the address up can skip that otherwise.
bool InterfaceAddressMatters(const uint8_t* message, size_t length);

// Decides on one client by its hardware address (six bytes; null when the
// client gave none) against the list in use and writes its line in the info
// log as FilterPacket does; the line of a client without one says "no
// hardware address found" where the address would be.
int32_t FilterAddress(const uint8_t* address);

// Drops a client while no usable list is loaded and the host drops every
// client then, writing its line in the info log as the two above do, with
// "no usable list is loaded" after the verdict. `address` is the client's
// hardware address (six bytes), null when it gave none. Gives 0.
int32_t DropWithoutList(const uint8_t* address);

}  // namespace macgate
