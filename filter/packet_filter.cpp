#include "filter/packet_filter.h"

#include <cstring>

#include "filter/address_set.h"

namespace macgate {

namespace {

// The client hardware address field (chaddr) of an RFC 2131 message; only
// its first six bytes are read, whatever the hardware type says.
constexpr size_t kHardwareAddressOffset = 28;
constexpr size_t kRelayAgentOffset = 24;
constexpr size_t kHardwareAddressBytes = kShortestMessage - kHardwareAddressOffset;

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

void ClientAddressKey(const uint8_t* message, char (&key)[kAddressKeySize]) {
    for (size_t i = 0; i < kHardwareAddressBytes; ++i) {
        uint8_t byte = message[kHardwareAddressOffset + i];
        key[2 * i] = kHexDigits[byte >> 4];
        key[2 * i + 1] = kHexDigits[byte & 0x0F];
    }
    key[kAddressKeySize - 1] = '\0';
}

uint32_t RelayAgentAddress(const uint8_t* message) {
    return static_cast<uint32_t>(message[kRelayAgentOffset]) << 24 |
           static_cast<uint32_t>(message[kRelayAgentOffset + 1]) << 16 |
           static_cast<uint32_t>(message[kRelayAgentOffset + 2]) << 8 |
           static_cast<uint32_t>(message[kRelayAgentOffset + 3]);
}

PacketDecision DecidePacket(const LoadedList* list, const uint8_t* message, size_t length,
                            uint32_t interfaceAddress) {
    PacketDecision decision = {1, false, {}, 0, 0};
    // An empty set serves everyone; otherwise an unlisted client is served
    // only under a deny list.
    const bool empty = list == nullptr || list->AddressSet == nullptr;
    const int32_t unlisted = (empty || list->FilterAction == 0) ? 1 : 0;

    if (message == nullptr || (length != kUnknownLength && length < kShortestMessage)) {
        decision.verdict = unlisted;
        return decision;
    }

    ClientAddressKey(message, decision.key);
    decision.logged = true;

    // A section decides alone for the clients of its network, exactly as
    // the server-wide list does for the others.
    if (list != nullptr && list->SectionLengths != 0) {
        const uint32_t relay = RelayAgentAddress(message);
        const ListSection* section = FindSection(*list, relay != 0 ? relay : interfaceAddress);
        if (section != nullptr) {
            decision.sectionNetwork = section->network;
            decision.sectionPrefixLength = section->prefixLength;
            decision.verdict = section->AddressSet == nullptr || section->FilterAction == 0 ? 1 : 0;
            if (section->AddressSet != nullptr && IsListed(*section, decision.key)) {
                decision.verdict = section->FilterAction != 0 ? 1 : 0;
            }
            return decision;
        }
    }

    // Every address is decided alike, the all-zero one too: a client that
    // names itself by a client identifier may send no hardware address.
    decision.verdict = unlisted;
    if (!empty && IsListed(*list, decision.key)) {
        decision.verdict = list->FilterAction != 0 ? 1 : 0;
    }
    return decision;
}

}  // namespace macgate
