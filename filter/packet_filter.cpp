#include "filter/packet_filter.h"

#include <cstring>
#include <mutex>

#include "config/logs.h"
#include "config/state.h"
#include "filter/address_set.h"
#include "filter/list_file.h"
#include "platform/platform.h"

namespace macgate {

namespace {

// The client hardware address field (chaddr) of an RFC 2131 message; only
// its first six bytes are read, whatever the hardware type says.
constexpr size_t kHardwareAddressOffset = 28;
constexpr size_t kHardwareAddressBytes = kShortestMessage - kHardwareAddressOffset;

constexpr char kHexDigits[] = "0123456789abcdef";

// Timestamp text without its newline.
constexpr int kTimestampLength = 24;

void WriteDecisionLine(const char* key, int32_t verdict) {
    std::lock_guard<std::mutex> guard(InfoLogLock);
    if (InfoLog == nullptr) {
        return;
    }
    char text[kTimestampTextSize] = {};
    FormatLogTimestamp(text);
    char timestamp[kTimestampLength + 1] = {};
    for (int i = 0; i < kTimestampLength && text[i] != '\0'; ++i) {
        timestamp[i] = text[i];
    }
    LogMessage(InfoLog, "%s %s %s\n", timestamp, key, verdict != 0 ? "Allow" : "Deny");
    Platform.FlushFile(InfoLog);
}

// True when the set holds the key or a prefix entry that covers it: one
// lookup for the address, then one for each prefix length in use, on a
// copy of the key padded as the loader pads prefixes.
bool IsListed(const char* key, const AddressNode* root) {
    if (AddressSetFind(key, root) != nullptr) {
        return true;
    }
    const unsigned lengths = PrefixLengths;
    if (lengths == 0) {
        return false;
    }
    char probe[kAddressKeySize];
    std::memcpy(probe, key, sizeof probe);
    for (int digits = kLongestPrefix; digits >= 1; --digits) {
        probe[digits] = kPrefixPad;
        if ((lengths & (1u << digits)) != 0 && AddressSetFind(probe, root) != nullptr) {
            return true;
        }
    }
    return false;
}

}  // namespace

void ClientAddressKey(const uint8_t* message, char (&key)[kAddressKeySize]) {
    for (size_t i = 0; i < kHardwareAddressBytes; ++i) {
        uint8_t byte = message[kHardwareAddressOffset + i];
        key[2 * i] = kHexDigits[byte >> 4];
        key[2 * i + 1] = kHexDigits[byte & 0x0F];
    }
    key[kAddressKeySize - 1] = '\0';
}

int32_t FilterPacket(const uint8_t* message, size_t length) {
    const AddressNode* root = AddressSet;
    // An empty set serves everyone; otherwise an unlisted client is served
    // only under a deny list.
    const int32_t unlisted = (root == nullptr || FilterAction == 0) ? 1 : 0;

    if (message == nullptr || (length != kUnknownLength && length < kShortestMessage)) {
        return unlisted;
    }

    char key[kAddressKeySize];
    ClientAddressKey(message, key);

    // Every address is decided alike, the all-zero one too: a client that
    // names itself by a client identifier may send no hardware address.
    int32_t verdict = unlisted;
    if (root != nullptr && IsListed(key, root)) {
        verdict = FilterAction != 0 ? 1 : 0;
    }

    // With the info log off no lock is taken at all.
    if (InfoLogEnabled == 1) {
        WriteDecisionLine(key, verdict);
    }
    return verdict;
}

}  // namespace macgate
