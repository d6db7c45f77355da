#include "filter/packet_filter.h"

namespace macgate {

int32_t FilterPacket(const uint8_t*, size_t) {
    return 1;  // TODO
}

}  // namespace macgate
