// DhcpServerCalloutEntry and the hooks that do nothing.
#include "callout/callout.h"
#include "config/startup.h"

// The server's version and chained libraries are ignored: this library checks
// no version and loads no further callout library.
extern "C" MACGATE_EXPORT uint32_t MACGATE_CALL DhcpServerCalloutEntry(void*, uint32_t,
                                                                       CalloutTable* table) {
    macgate::InitializeFilter();
    if (table != nullptr) {
        table->controlHook = DhcpControlHook;
        table->newPktHook = DhcpNewPktHook;
        table->pktDropHook = DhcpPktDropHook;
        table->pktSendHook = DhcpPktSendHook;
        table->addressDelHook = DhcpAddressDelHook;
        table->deleteClientHook = DhcpDeleteClientHook;
    }
    return 0;
}

// Hooks the filter has no use for: they read nothing and touch nothing.

extern "C" MACGATE_EXPORT uint32_t MACGATE_CALL DhcpPktDropHook(uintptr_t, uintptr_t, uintptr_t,
                                                                uintptr_t, uintptr_t, uintptr_t) {
    return 0;
}

extern "C" MACGATE_EXPORT uint32_t MACGATE_CALL DhcpPktSendHook(uintptr_t, uintptr_t, uintptr_t,
                                                                uintptr_t, uintptr_t, uintptr_t) {
    return 0;
}

extern "C" MACGATE_EXPORT uint32_t MACGATE_CALL DhcpAddressDelHook(uintptr_t, uintptr_t, uintptr_t,
                                                                   uintptr_t, uintptr_t, uintptr_t,
                                                                   uintptr_t) {
    return 0;
}

extern "C" MACGATE_EXPORT uint32_t MACGATE_CALL DhcpAddressOfferHook(uintptr_t, uintptr_t,
                                                                     uintptr_t, uintptr_t,
                                                                     uintptr_t, uintptr_t,
                                                                     uintptr_t, uintptr_t,
                                                                     uintptr_t) {
    return 0;
}

extern "C" MACGATE_EXPORT uint32_t MACGATE_CALL DhcpDeleteClientHook(uintptr_t, uintptr_t,
                                                                     uintptr_t, uintptr_t,
                                                                     uintptr_t) {
    return 0;
}
