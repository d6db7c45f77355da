#include "filter/packet_filter.h"

#include <cstring>

#include "filter/address_set.h"

namespace macgate {

namespace {

static_assert(kHardwareAddressOffset + kHardwareAddressBytes == kShortestMessage);
constexpr size_t kRelayAgentOffset = 24;

// Four bytes in network byte order, as a number in host byte order.
uint32_t AddressAt(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

// The two lowercase hexadecimal digits of each byte value, the first in
// the high byte.
struct HexPairs {
    uint16_t digits[256];
};

constexpr HexPairs MakeHexPairs() {
    constexpr char kDigits[] = "0123456789abcdef";
    HexPairs pairs = {};
    for (int value = 0; value < 256; ++value) {
        pairs.digits[value] =
            static_cast<uint16_t>(kDigits[value >> 4] << 8 | kDigits[value & 0x0F]);
    }
    return pairs;
}

constexpr HexPairs kHexPairs = MakeHexPairs();

// The digits of four bytes: the bytes of a big-endian number.
uint64_t HexDigits(const uint8_t* bytes) {
    return uint64_t{kHexPairs.digits[bytes[0]]} << 48 | uint64_t{kHexPairs.digits[bytes[1]]} << 32 |
           uint64_t{kHexPairs.digits[bytes[2]]} << 16 | uint64_t{kHexPairs.digits[bytes[3]]};
}

void StoreBigEndian(uint64_t value, char* bytes) {
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    value = __builtin_bswap64(value);
    std::memcpy(bytes, &value, sizeof value);
#else
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<char>(value >> (56 - 8 * i));
    }
#endif
}

// The key of `address` as numbers (KeyNumbers), and written out: the set is
// searched with the numbers, so that no lookup reads back the bytes just
// written.
inline PendingKey AddressNumbers(const uint8_t* address, char (&key)[kAddressKeySize]) {
    // The digits of bytes 0-3 begin the key, those of bytes 2-5 end it.
    const PendingKey numbers = {HexDigits(address), HexDigits(address + 2) << 8};
    StoreBigEndian(numbers.head, key);
    StoreBigEndian(numbers.tail, key + kAddressKeySize - 8);
    return numbers;
}

}  // namespace

void AddressKey(const uint8_t* address, char (&key)[kAddressKeySize]) {
    AddressNumbers(address, key);
}

void ClientAddressKey(const uint8_t* message, char (&key)[kAddressKeySize]) {
    AddressKey(message + kHardwareAddressOffset, key);
}

uint32_t RelayAgentAddress(const uint8_t* message) {
    return AddressAt(message + kRelayAgentOffset);
}

namespace {

// The DHCP options follow the magic cookie (RFC 2131, section 3).
constexpr size_t kCookieOffset = 236;
constexpr size_t kOptionsOffset = 240;
constexpr uint8_t kMagicCookie[4] = {99, 130, 83, 99};
constexpr uint8_t kOptionPad = 0;
constexpr uint8_t kOptionEnd = 255;
constexpr uint8_t kRelayAgentInformation = 82;  // RFC 3046
constexpr uint8_t kLinkSelection = 5;           // its sub-option, RFC 3527

// The first option `code` among the options of a message of `length` bytes:
// its value and size, or null when it is absent or the options before it
// run past the message.
const uint8_t* FindOption(const uint8_t* message, size_t length, uint8_t code, size_t* size) {
    if (length == kUnknownLength || length < kOptionsOffset ||
        std::memcmp(message + kCookieOffset, kMagicCookie, sizeof kMagicCookie) != 0) {
        return nullptr;
    }
    size_t at = kOptionsOffset;
    while (at < length && message[at] != kOptionEnd) {
        if (message[at] == kOptionPad) {
            ++at;
            continue;
        }
        if (length - at < 2 || length - at - 2 < message[at + 1]) {
            return nullptr;
        }
        if (message[at] == code) {
            *size = message[at + 1];
            return message + at + 2;
        }
        at += 2 + message[at + 1];
    }
    return nullptr;
}

}  // namespace

uint32_t LinkSelectionAddress(const uint8_t* message, size_t length) {
    size_t size = 0;
    const uint8_t* option = FindOption(message, length, kRelayAgentInformation, &size);
    for (size_t at = 0; option != nullptr && size - at >= 2;) {
        const size_t subSize = option[at + 1];
        if (size - at - 2 < subSize) {
            return 0;  // runs past its option
        }
        if (option[at] == kLinkSelection) {
            return subSize == 4 ? AddressAt(option + at + 2) : 0;
        }
        at += 2 + subSize;
    }
    return 0;
}

uint32_t ScopeAddress(const uint8_t* message, size_t length, uint32_t interfaceAddress) {
    const uint32_t relay = RelayAgentAddress(message);
    if (relay == 0) {
        return interfaceAddress;
    }
    const uint32_t link = LinkSelectionAddress(message, length);
    return link != 0 ? link : relay;
}

namespace {

// DecideInNetwork, inlined into each of the calls below, so that a packet's
// decision makes one call fewer.
[[gnu::always_inline]] inline PacketDecision Decide(const LoadedList* list, const uint8_t* address,
                                                    uint32_t scopeNetwork, int scopePrefixLength) {
    PacketDecision decision = {1, true, {}, 0, 0};
    // A client without a hardware address cannot be listed: under an allow
    // list, hiding the address must not get a client past it. Every address
    // is decided alike, the all-zero one too: a client that names itself by
    // a client identifier may send no hardware address.
    const PendingKey numbers =
        address != nullptr ? AddressNumbers(address, decision.key) : PendingKey{0, 0};
    // A list that a section line made unusable cannot say whom it meant to
    // serve, so it serves no one.
    if (list != nullptr && list->UnreadableScopeLine != 0) {
        decision.verdict = 0;
        return decision;
    }
    // A section decides alone for the clients of its network, exactly as
    // the server-wide list does for the others, but that an ALLOW section
    // that loads nothing allows no one, and a closed one drops everyone.
    if (address != nullptr && list != nullptr && list->SectionLengths != 0) {
        const ListSection* section = FindSection(*list, scopeNetwork, scopePrefixLength);
        if (section != nullptr) {
            decision.sectionNetwork = section->network;
            decision.sectionPrefixLength = section->prefixLength;
            if (section->FilterAction == kSectionClosed) {
                decision.verdict = 0;
                return decision;
            }
            const bool listed =
                section->AddressSet != nullptr && IsListed(*section, numbers, decision.key);
            decision.verdict = listed == (section->FilterAction != 0) ? 1 : 0;
            return decision;
        }
    }
    // An empty set serves everyone; otherwise an unlisted client is served
    // only under a deny list.
    const bool empty = list == nullptr || list->AddressSet == nullptr;
    decision.verdict = (empty || list->FilterAction == 0) ? 1 : 0;
    if (address != nullptr && !empty && IsListed(*list, numbers, decision.key)) {
        decision.verdict = list->FilterAction != 0 ? 1 : 0;
    }
    return decision;
}

}  // namespace

PacketDecision DecideAddress(const LoadedList* list, const uint8_t* address,
                             uint32_t scopeAddress) {
    return Decide(list, address, scopeAddress, kLongestNetworkPrefix);
}

PacketDecision DecideInNetwork(const LoadedList* list, const uint8_t* address,
                               uint32_t scopeNetwork, int scopePrefixLength) {
    return Decide(list, address, scopeNetwork, scopePrefixLength);
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
    // Only a list with sections reads the scope address, and its options.
    const bool sections = list != nullptr && list->SectionLengths != 0;
    return Decide(list, message + kHardwareAddressOffset,
                  sections ? ScopeAddress(message, length, interfaceAddress) : 0,
                  kLongestNetworkPrefix);
}

PacketDecision DecidePacketInNetwork(const LoadedList* list, const uint8_t* message, size_t length,
                                     uint32_t scopeNetwork, int scopePrefixLength) {
    if (TooShort(message, length)) {
        return ShortMessageDecision(list);
    }
    return Decide(list, message + kHardwareAddressOffset, scopeNetwork, scopePrefixLength);
}

}  // namespace macgate
