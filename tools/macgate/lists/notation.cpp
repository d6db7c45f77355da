#include "tools/macgate/lists/notation.h"

#include <vector>

namespace macgate {
namespace {

constexpr size_t kAddressDigits = 12;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char LowerHex(char c) {
    return (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool AllHex(std::string_view text) {
    for (char c : text) {
        if (!IsHexDigit(c)) {
            return false;
        }
    }
    return true;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = LowerHex(c);
    }
    return lower;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> groups;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        groups.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) {
            return groups;
        }
        start = end + 1;
    }
}

// Six groups of one or two digits between ':' or '-'; trailing groups may be
// '*' (a wildcard), and then every digit group must have two digits. A
// wildcard may also end after fewer groups: 52:54:00:* is 52:54:00:*:*:*.
bool ParseByteGroups(std::string_view text, char separator, Notation* notation) {
    std::vector<std::string_view> groups = Split(text, separator);
    if (groups.size() > 6 || (groups.size() < 6 && (groups.size() < 2 || groups.back() != "*"))) {
        return false;
    }
    std::string digits;
    size_t stars = 0;
    bool shortGroup = false;
    for (std::string_view group : groups) {
        if (group == "*") {
            ++stars;
            continue;
        }
        if (stars > 0 || group.empty() || group.size() > 2 || !AllHex(group)) {
            return false;
        }
        shortGroup = shortGroup || group.size() == 1;
        digits += group.size() == 1 ? "0" + Lower(group) : Lower(group);
    }
    if (stars == groups.size() || (stars > 0 && shortGroup)) {
        return false;
    }
    notation->digits = digits;
    notation->prefix = stars > 0;
    notation->separated = true;
    return true;
}

}  // namespace

bool ParseNotation(std::string_view text, Notation* notation) {
    *notation = Notation();
    if (text.size() == kAddressDigits && AllHex(text)) {
        notation->digits = Lower(text);
        return true;
    }
    if (text.size() >= 2 && text.size() <= kAddressDigits && text.back() == '*' &&
        AllHex(text.substr(0, text.size() - 1))) {
        notation->digits = Lower(text.substr(0, text.size() - 1));
        notation->prefix = true;
        return true;
    }
    if (text.find(':') != std::string_view::npos) {
        return ParseByteGroups(text, ':', notation);
    }
    if (text.find('-') != std::string_view::npos) {
        return ParseByteGroups(text, '-', notation);
    }
    std::vector<std::string_view> groups = Split(text, '.');
    if (groups.size() != 3) {
        return false;
    }
    for (std::string_view group : groups) {
        if (group.size() != 4 || !AllHex(group)) {
            return false;
        }
        notation->digits += Lower(group);
    }
    notation->separated = true;
    return true;
}

bool LooksLikeAddress(std::string_view text) {
    size_t digits = 0;
    for (char c : text) {
        digits += IsHexDigit(c) ? 1 : 0;
    }
    bool star = text.find('*') != std::string_view::npos;
    if (text.find_first_of(":-") != std::string_view::npos) {
        // Byte groups, as in 00:1a:2b:3c:4d or 00-1C-*-23-*-*; not a time
        // (12:30:45) or a date (2026-12-09).
        size_t groups = 1;
        size_t group = 0;
        for (char c : text) {
            if (c == ':' || c == '-') {
                ++groups;
                group = 0;
            } else if (c == '.' || ++group > 2) {
                return false;
            }
        }
        return groups >= 4 && (digits >= 6 || (star && digits >= 2));
    }
    if (text.find('.') != std::string_view::npos) {
        // Groups of four digits, as in 001a.2b3c.4d5; not a version or an
        // IPv4 address (10.0.0.1).
        std::vector<std::string_view> groups = Split(text, '.');
        size_t whole = 0;
        for (std::string_view group : groups) {
            if (group.size() > 4 || !AllHex(group)) {
                return false;
            }
            whole += group.size() == 4 ? 1 : 0;
        }
        return groups.size() >= 3 && whole >= 2;
    }
    // A run of digits near an address's 12, or a misplaced wildcard.
    return (digits >= 10 && digits <= 16) || (star && digits >= 2);
}

AddressKind KindOfAddress(std::string_view digits) {
    if (digits == "000000000000") {
        return AddressKind::kZero;
    }
    if (digits == "ffffffffffff") {
        return AddressKind::kBroadcast;
    }
    // The group bit is the lowest bit of the first byte.
    char second = digits.size() > 1 ? LowerHex(digits[1]) : '0';
    int value = second <= '9' ? second - '0' : second - 'a' + 10;
    return (value & 1) != 0 ? AddressKind::kGroup : AddressKind::kClient;
}

}  // namespace macgate
