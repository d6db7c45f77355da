// DhcpControlHook: server start, stop, pause and continue.
#include "callout/callout.h"

extern "C" MACGATE_EXPORT uint32_t MACGATE_CALL DhcpControlHook(uint32_t, void*) {
    return 0;  // TODO
}
