#include "config/decision.h"

#include <cstdio>

#include "config/info_log_writer.h"
#include "config/logs.h"
#include "config/state.h"
#include "filter/packet_filter.h"
#include "platform/platform.h"

namespace macgate {
namespace {

// Timestamp text without its newline.
constexpr int kTimestampLength = 24;

// Stands in the info log line for the address of a client that gave none.
constexpr char kNoHardwareAddress[] = "no hardware address found";

// Follows the verdict of a drop made while no usable list is loaded.
constexpr char kNoUsableList[] = "no usable list is loaded";

// The line is made on the packet thread and handed to the info log's
// writer: the packet thread never waits on the file. Not inlined, so that
// a decision with the info log off keeps a small frame.
[[gnu::noinline]] void WriteDecisionLine(const PacketDecision& decision, const char* note) {
    char text[kTimestampTextSize] = {};
    FormatLogTimestamp(text);
    char timestamp[kTimestampLength + 1] = {};
    for (int i = 0; i < kTimestampLength && text[i] != '\0'; ++i) {
        timestamp[i] = text[i];
    }
    const char* key = decision.key[0] != '\0' ? decision.key : kNoHardwareAddress;
    const char* verdict = decision.verdict != 0 ? "Allow" : "Deny";
    char network[kNetworkTextSize];
    if (note == nullptr && decision.sectionPrefixLength != 0) {
        FormatNetwork(decision.sectionNetwork, decision.sectionPrefixLength, network);
        note = network;
    }
    char line[kInfoLogLineSize + 1];
    const int length =
        note != nullptr
            ? std::snprintf(line, sizeof line, "%s %s %s %s\n", timestamp, key, verdict, note)
            : std::snprintf(line, sizeof line, "%s %s %s\n", timestamp, key, verdict);
    if (length > 0 && static_cast<size_t>(length) < sizeof line) {
        QueueInfoLogLine(line, static_cast<size_t>(length));
    }
}

int32_t LogDecision(const PacketDecision& decision, const char* note = nullptr) {
    // With the info log off no lock is taken at all, and nothing is made.
    if (decision.logged && InfoLogEnabled == 1) {
        WriteDecisionLine(decision, note);
    }
    return decision.verdict;
}

// The decision `decide` makes on the list in use, made in place: a copy of
// it would read back, at once, fields just written one by one.
template <typename Decide>
PacketDecision DecideOnListInUse(Decide decide) {
    ListReader reader;
    return decide(ListInUse.load());
}

}  // namespace

int32_t FilterPacket(const uint8_t* message, size_t length, uint32_t interfaceAddress) {
    return LogDecision(DecideOnListInUse([&](const LoadedList* list) {
        return DecidePacket(list, message, length, interfaceAddress);
    }));
}

int32_t FilterPacketInNetwork(const uint8_t* message, size_t length, uint32_t network,
                              int prefixLength) {
    return LogDecision(DecideOnListInUse([&](const LoadedList* list) {
        return DecidePacketInNetwork(list, message, length, network, prefixLength);
    }));
}

bool FilterPacketUnlessSections(const uint8_t* message, size_t length, int32_t* verdict) {
    PacketDecision decision;
    {
        ListReader reader;
        const LoadedList* list = ListInUse.load();
        if (list != nullptr && list->SectionLengths != 0) {
            return false;
        }
        decision = DecidePacket(list, message, length);
    }
    *verdict = LogDecision(decision);
    return true;
}

int32_t FilterAddress(const uint8_t* address) {
    return LogDecision(
        DecideOnListInUse([&](const LoadedList* list) { return DecideAddress(list, address); }));
}

int32_t DropWithoutList(const uint8_t* address) {
    PacketDecision decision = {0, true, {}, 0, 0};
    if (address != nullptr) {
        AddressKey(address, decision.key);
    }
    return LogDecision(decision, kNoUsableList);
}

}  // namespace macgate
