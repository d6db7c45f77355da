#include "filter/packet_filter.h"

#include <cstring>

#include "filter/address_set.h"

namespace macgate {

namespace {

static_assert(kHardwareAddressOffset + kHardwareAddressBytes == kShortestMessage);
constexpr size_t kRelayAgentOffset = 24;

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

void AddressKey(const uint8_t* address, char (&key)[kAddressKeySize]) {
    for (size_t i = 0; i < kHardwareAddressBytes; ++i) {
        key[2 * i] = kHexDigits[address[i] >> 4];
        key[2 * i + 1] = kHexDigits[address[i] & 0x0F];
    }
    key[kAddressKeySize - 1] = '\0';
}

void ClientAddressKey(const uint8_t* message, char (&key)[kAddressKeySize]) {
    AddressKey(message + kHardwareAddressOffset, key);
}

uint32_t RelayAgentAddress(const uint8_t* message) {
    return static_cast<uint32_t>(message[kRelayAgentOffset]) << 24 |
           static_cast<uint32_t>(message[kRelayAgentOffset + 1]) << 16 |
           static_cast<uint32_t>(message[kRelayAgentOffset + 2]) << 8 |
           static_cast<uint32_t>(message[kRelayAgentOffset + 3]);
}

PacketDecision DecideAddress(const LoadedList* list, const uint8_t* address,
                             uint32_t scopeAddress) {
    return DecideInNetwork(list, address, scopeAddress, kLongestNetworkPrefix);
}

PacketDecision DecideInNetwork(const LoadedList* list, const uint8_t* address,
                               uint32_t scopeNetwork, int scopePrefixLength) {
    PacketDecision decision = {1, true, {}, 0, 0};
    // A section decides alone for the clients of its network, exactly as
    // the server-wide list does for the others.
    if (address != nullptr && list != nullptr && list->SectionLengths != 0) {
        const ListSection* section = FindSection(*list, scopeNetwork, scopePrefixLength);
        if (section != nullptr) {
            AddressKey(address, decision.key);
            decision.sectionNetwork = section->network;
            decision.sectionPrefixLength = section->prefixLength;
            decision.verdict = section->AddressSet == nullptr || section->FilterAction == 0 ? 1 : 0;
            if (section->AddressSet != nullptr && IsListed(*section, decision.key)) {
                decision.verdict = section->FilterAction != 0 ? 1 : 0;
            }
            return decision;
        }
    }
    // An empty set serves everyone; otherwise an unlisted client is served
    // only under a deny list.
    const bool empty = list == nullptr || list->AddressSet == nullptr;
    decision.verdict = (empty || list->FilterAction == 0) ? 1 : 0;
    // A client without a hardware address cannot be listed: under an allow
    // list, hiding the address must not get a client past it.
    if (address == nullptr) {
        return decision;
    }
    // Every address is decided alike, the all-zero one too: a client that
    // names itself by a client identifier may send no hardware address.
    AddressKey(address, decision.key);
    if (!empty && IsListed(*list, decision.key)) {
        decision.verdict = list->FilterAction != 0 ? 1 : 0;
    }
    return decision;
}

namespace {

// A message too short to name its client is no logged decision, and served
// only where an unlisted client of the server-wide list is.
bool TooShort(const uint8_t* message, size_t length) {
    return message == nullptr || (length != kUnknownLength && length < kShortestMessage);
}

PacketDecision ShortMessageDecision(const LoadedList* list) {
    PacketDecision decision = DecideAddress(list, nullptr);
    decision.logged = false;
    return decision;
}

}  // namespace

PacketDecision DecidePacket(const LoadedList* list, const uint8_t* message, size_t length,
                            uint32_t interfaceAddress) {
    if (TooShort(message, length)) {
        return ShortMessageDecision(list);
    }
    const uint32_t relay = RelayAgentAddress(message);
    return DecideAddress(list, message + kHardwareAddressOffset,
                         relay != 0 ? relay : interfaceAddress);
}

PacketDecision DecidePacketInNetwork(const LoadedList* list, const uint8_t* message, size_t length,
                                     uint32_t scopeNetwork, int scopePrefixLength) {
    if (TooShort(message, length)) {
        return ShortMessageDecision(list);
    }
    return DecideInNetwork(list, message + kHardwareAddressOffset, scopeNetwork, scopePrefixLength);
}

}  // namespace macgate
