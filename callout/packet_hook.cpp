// DhcpNewPktHook: the server asks, for every packet it receives, whether to
// process it or drop it. `ipAddress` is the address of the interface that
// received it, a number in host byte order (0x0A010207 is 10.1.2.7).
#include <cstddef>

#include "callout/callout.h"
#include "config/decision.h"
#include "filter/packet_filter.h"

extern "C" MACGATE_EXPORT uint32_t MACGATE_CALL
DhcpNewPktHook(uint8_t** packet, uint32_t* packetSize, uint32_t ipAddress, void* /*reserved*/,
               void** /*pktContext*/, int32_t* processIt) {
    const uint8_t* message = packet != nullptr ? *packet : nullptr;
    size_t length = packetSize != nullptr ? *packetSize : macgate::kUnknownLength;
    int32_t verdict = macgate::FilterPacket(message, length, ipAddress);
    if (processIt != nullptr) {
        *processIt = verdict;
    }
    return 0;
}
