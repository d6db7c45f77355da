// The per-packet decision shared by every host adapter, on a loaded list.
#pragma once

#include <cstddef>
#include <cstdint>

#include "filter/address_set.h"
#include "filter/loaded_list.h"

namespace macgate {

// The client hardware address field (chaddr) of an RFC 2131 message; only
// its first six bytes are read, whatever the hardware type says.
constexpr size_t kHardwareAddressOffset = 28;

// A message must reach past the first six bytes of its client hardware
// address field (chaddr, at offset 28) for the filter to read it.
constexpr size_t kShortestMessage = 34;

// Length to pass when the host does not say how long the message is.
constexpr size_t kUnknownLength = static_cast<size_t>(-1);

// The hardware address of a client: its first six bytes.
constexpr size_t kHardwareAddressBytes = 6;

// The decision on one client by its hardware address: `verdict` is 1 to
// process the packet, 0 to drop it; `logged` says whether it is a decision
// that the info log names, by `key`, which is "" for a client that gave no
// hardware address. A section that decided is named by its network and
// prefix length; a prefix length of 0 means the server-wide list decided.
struct PacketDecision {
    int32_t verdict;
    bool logged;
    char key[kAddressKeySize];
    uint32_t sectionNetwork;
    uint8_t sectionPrefixLength;
};

// Decides on a client by its hardware address (kHardwareAddressBytes bytes)
// against `list`; null, no list loaded, serves every client. A null
// `address`, a client that gave none, is unlisted. The section that holds
// `scopeAddress` (host byte order; 0 unknown) decides alone; with none, the
// server-wide list decides. Allocates nothing and takes no lock.
PacketDecision DecideAddress(const LoadedList* list, const uint8_t* address,
                             uint32_t scopeAddress = 0);

// The same, with the scope a network (`scopeNetwork` of `scopePrefixLength`
// bits, a subnet that the server selected): the section with the longest
// prefix that holds the whole network decides.
PacketDecision DecideInNetwork(const LoadedList* list, const uint8_t* address,
                               uint32_t scopeNetwork, int scopePrefixLength);

// Decides on one DHCP message (RFC 2131 layout) by the first six bytes of
// its client hardware address field, as DecideAddress does, in the section
// of its ScopeAddress. A message too short to hold them is no logged
// decision, and served only where an unlisted client of the server-wide list
// is. Allocates nothing and takes no lock.
PacketDecision DecidePacket(const LoadedList* list, const uint8_t* message, size_t length,
                            uint32_t interfaceAddress = 0);

// The same, with the scope the network that the server selected for the
// message, as DecideInNetwork takes it; a `scopePrefixLength` of 0 (no
// network selected) leaves the decision to the server-wide list.
PacketDecision DecidePacketInNetwork(const LoadedList* list, const uint8_t* message, size_t length,
                                     uint32_t scopeNetwork, int scopePrefixLength);

// The message's relay agent address (giaddr, bytes 24 to 27) in host byte
// order. `message` holds kShortestMessage bytes.
uint32_t RelayAgentAddress(const uint8_t* message);

// The address of the relay agent's link selection sub-option (option 82,
// sub-option 5, RFC 3527) of a message of `length` bytes (kUnknownLength:
// its options are not read), in host byte order; 0 when it has none, or
// when its options or that sub-option are malformed.
uint32_t LinkSelectionAddress(const uint8_t* message, size_t length);

// The address whose section decides for a message, as the Windows DHCP
// server picks its scope: for a relayed message (giaddr not 0.0.0.0) its
// link selection address, else its giaddr; for any other,
// `interfaceAddress`, the address of the interface that received it (host
// byte order; 0 unknown). `message` holds kShortestMessage bytes.
uint32_t ScopeAddress(const uint8_t* message, size_t length, uint32_t interfaceAddress);

// The key of a hardware address: its kHardwareAddressBytes bytes as 12
// lowercase hex digits and a NUL.
void AddressKey(const uint8_t* address, char (&key)[kAddressKeySize]);

// The key of the message's client: the first six bytes of chaddr as 12
// lowercase hex digits and a NUL. `message` holds kShortestMessage bytes.
void ClientAddressKey(const uint8_t* message, char (&key)[kAddressKeySize]);

}  // namespace macgate
