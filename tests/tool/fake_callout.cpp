// Callout libraries that break the host contract in one way each, so that
// the macgate tool's checks can be seen to catch it. Built once per FAKE_*
// definition.
#include <cstdint>

#include "callout/callout.h"

extern "C" {

MACGATE_EXPORT uint32_t MACGATE_CALL DhcpControlHook(uint32_t, void*) {
    return 0;
}

MACGATE_EXPORT uint32_t MACGATE_CALL DhcpNewPktHook(uint8_t**, uint32_t*, uint32_t, void*, void**,
                                                    int32_t* processIt) {
#if defined(FAKE_FLAG_UNSET)
    (void)processIt;
#else
    *processIt = 1;
#endif
    return 0;
}

MACGATE_EXPORT uint32_t MACGATE_CALL DhcpPktDropHook(uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                                     uintptr_t, uintptr_t) {
    return 0;
}

MACGATE_EXPORT uint32_t MACGATE_CALL DhcpPktSendHook(uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                                     uintptr_t, uintptr_t) {
    return 0;
}

MACGATE_EXPORT uint32_t MACGATE_CALL DhcpAddressDelHook(uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                                        uintptr_t, uintptr_t, uintptr_t) {
    return 0;
}

MACGATE_EXPORT uint32_t MACGATE_CALL DhcpAddressOfferHook(uintptr_t, uintptr_t, uintptr_t,
                                                          uintptr_t, uintptr_t, uintptr_t,
                                                          uintptr_t, uintptr_t, uintptr_t) {
    return 0;
}

MACGATE_EXPORT uint32_t MACGATE_CALL DhcpDeleteClientHook(uintptr_t, uintptr_t, uintptr_t,
                                                          uintptr_t, uintptr_t) {
    return 0;
}

#if !defined(FAKE_NO_ENTRY)
MACGATE_EXPORT uint32_t MACGATE_CALL DhcpServerCalloutEntry(void*, uint32_t, CalloutTable* table) {
    table->controlHook = DhcpControlHook;
    table->newPktHook = DhcpNewPktHook;
    table->pktDropHook = DhcpPktDropHook;
    table->pktSendHook = DhcpPktSendHook;
    table->addressDelHook = DhcpAddressDelHook;
    table->deleteClientHook = DhcpDeleteClientHook;
#if defined(FAKE_WRITES_SLOT5)
    table->slot5 = nullptr;
#endif
    return 0;
}
#endif
}
