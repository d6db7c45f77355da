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

void WriteDecisionLine(const PacketDecision& decision) {
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
    const char* verdict = decision.verdict != 0 ? "Allow" : "Deny";
    if (decision.sectionPrefixLength == 0) {
        LogMessage(InfoLog, "%s %s %s\n", timestamp, decision.key, verdict);
    } else {
        char network[kNetworkTextSize];
        FormatNetwork(decision.sectionNetwork, decision.sectionPrefixLength, network);
        LogMessage(InfoLog, "%s %s %s %s\n", timestamp, decision.key, verdict, network);
    }
    Platform.FlushFile(InfoLog);
}

}  // namespace

int32_t FilterPacket(const uint8_t* message, size_t length, uint32_t interfaceAddress) {
    const PacketDecision decision =
        DecidePacket(ListInUse.load(std::memory_order_acquire), message, length, interfaceAddress);
    // With the info log off no lock is taken at all.
    if (decision.logged && InfoLogEnabled == 1) {
        WriteDecisionLine(decision);
    }
    return decision.verdict;
}

bool InterfaceAddressMatters(const uint8_t* message, size_t length) {
    const LoadedList* list = ListInUse.load(std::memory_order_acquire);
    return list != nullptr && list->SectionLengths != 0 && message != nullptr &&
           length >= kShortestMessage && RelayAgentAddress(message) == 0;
}

}  // namespace macgate
