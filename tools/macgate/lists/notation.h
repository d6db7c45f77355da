// Hardware addresses as other tools write them: 001A2B3C4D5E,
// 00:1a:2b:3c:4d:5e, 00-1A-2B-3C-4D-5E, 001a.2b3c.4d5e, and the wildcards
// of the Windows DHCP server's own filter, 00-1C-23-*-*-* and 001C*, also
// with fewer groups (00-1C-23-*).
#pragma once

#include <string>
#include <string_view>

namespace macgate {

struct Notation {
    // Lowercase hexadecimal digits: 12 for an address, 1 to 11 for a prefix.
    std::string digits;
    bool prefix = false;
    // True when the text had separators (':', '-' or '.') between the digits.
    bool separated = false;
};

// Reads the whole of `text` as one address or wildcard; false when it is
// neither (a wildcard that covers every address is neither).
bool ParseNotation(std::string_view text, Notation* notation);

// Whether `text`, which ParseNotation refuses, still looks like an attempt at
// an address or wildcard (00:1a:2b:3c:4d, 001a2b3c4d5e7, 00*1c), as headings,
// numbers, times, dates and IPv4 addresses do not.
bool LooksLikeAddress(std::string_view text);

// What an address is besides a client's own.
enum class AddressKind { kClient, kGroup, kBroadcast, kZero };
AddressKind KindOfAddress(std::string_view digits);

}  // namespace macgate
