#include "config/decision.h"

#include <mutex>

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

void WriteDecisionLine(const PacketDecision& decision, const char* note) {
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
    const char* key = decision.key[0] != '\0' ? decision.key : kNoHardwareAddress;
    const char* verdict = decision.verdict != 0 ? "Allow" : "Deny";
    if (note != nullptr) {
        LogMessage(InfoLog, "%s %s %s %s\n", timestamp, key, verdict, note);
    } else if (decision.sectionPrefixLength == 0) {
        LogMessage(InfoLog, "%s %s %s\n", timestamp, key, verdict);
    } else {
        char network[kNetworkTextSize];
        FormatNetwork(decision.sectionNetwork, decision.sectionPrefixLength, network);
        LogMessage(InfoLog, "%s %s %s %s\n", timestamp, key, verdict, network);
    }
    Platform.FlushFile(InfoLog);
}

int32_t LogDecision(const PacketDecision& decision, const char* note = nullptr) {
    // With the info log off no lock is taken at all.
    if (decision.logged && InfoLogEnabled == 1) {
        WriteDecisionLine(decision, note);
    }
    return decision.verdict;
}

}  // namespace

int32_t FilterPacket(const uint8_t* message, size_t length, uint32_t interfaceAddress) {
    PacketDecision decision;
    {
        ListReader reader;
        decision = DecidePacket(ListInUse.load(), message, length, interfaceAddress);
    }
    return LogDecision(decision);
}

int32_t FilterPacketInNetwork(const uint8_t* message, size_t length, uint32_t network,
                              int prefixLength) {
    PacketDecision decision;
    {
        ListReader reader;
        decision = DecidePacketInNetwork(ListInUse.load(), message, length, network, prefixLength);
    }
    return LogDecision(decision);
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
    PacketDecision decision;
    {
        ListReader reader;
        decision = DecideAddress(ListInUse.load(), address);
    }
    return LogDecision(decision);
}

int32_t DropWithoutList(const uint8_t* address) {
    PacketDecision decision = {0, true, {}, 0, 0};
    if (address != nullptr) {
        AddressKey(address, decision.key);
    }
    return LogDecision(decision, kNoUsableList);
}

}  // namespace macgate
