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

// Decides on one DHCP message as FilterPacket does (the interface address
// unknown), unless the list in use has sections: then it decides nothing and
// gives false, and the host decides once it has selected the message's
// network (FilterPacketInNetwork). One read of the list serves the check and
// the decision, so that a list put in use between them cannot split them.
bool FilterPacketUnlessSections(const uint8_t* message, size_t length, int32_t* verdict);

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
