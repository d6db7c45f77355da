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
    LogMessage(InfoLog, "%s %s %s\n", timestamp, key[0] != '\0' ? key : kNoHardwareAddress,
               verdict != 0 ? "Allow" : "Deny");
    Platform.FlushFile(InfoLog);
}

int32_t LogDecision(const PacketDecision& decision) {
    // With the info log off no lock is taken at all.
    if (decision.logged && InfoLogEnabled == 1) {
        WriteDecisionLine(decision.key, decision.verdict);
    }
    return decision.verdict;
}

}  // namespace

int32_t FilterPacket(const uint8_t* message, size_t length) {
    PacketDecision decision;
    {
        ListReader reader;
        decision = DecidePacket(ListInUse.load(), message, length);
    }
    return LogDecision(decision);
}

int32_t FilterAddress(const uint8_t* address) {
    PacketDecision decision;
    {
        ListReader reader;
        decision = DecideAddress(ListInUse.load(), address);
    }
    return LogDecision(decision);
}

}  // namespace macgate
