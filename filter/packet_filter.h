// The per-packet decision shared by every host adapter, on a loaded list.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/address_set.h"
#include "filter/loaded_list.h"

namespace macgate {

// A message must reach past the first six bytes of its client hardware
// address field (chaddr, at offset 28) for the filter to read it.
constexpr size_t kShortestMessage = 34;

// Length to pass when the host does not say how long the message is.
constexpr size_t kUnknownLength = static_cast<size_t>(-1);

// The decision on one DHCP message (RFC 2131 layout) by its client hardware
// address: `verdict` is 1 to process the packet, 0 to drop it; `logged` says
// whether it is a decision that the info log names, by `key`. A section
// that decided is named by its network and prefix length; a prefix length
// of 0 means the server-wide list decided.
struct PacketDecision {
    int32_t verdict;
    bool logged;
    char key[kAddressKeySize];
    uint32_t sectionNetwork;
    uint8_t sectionPrefixLength;
};

// Decides against `list`; null, no list loaded, serves every client. The
// section that holds the message's scope address decides: its relay agent
// address (giaddr) when it is not 0.0.0.0, else `interfaceAddress`, the
// address of the interface that received it (host byte order; 0 unknown).
// Allocates nothing and takes no lock.
PacketDecision DecidePacket(const LoadedList* list, const uint8_t* message, size_t length,
                            uint32_t interfaceAddress = 0);

// The message's relay agent address (giaddr, bytes 24 to 27) in host byte
// order. `message` holds kShortestMessage bytes.
uint32_t RelayAgentAddress(const uint8_t* message);

// The key of the message's client: the first six bytes of chaddr as 12
// lowercase hex digits and a NUL. `message` holds kShortestMessage bytes.
void ClientAddressKey(const uint8_t* message, char (&key)[kAddressKeySize]);

}  // namespace macgate
