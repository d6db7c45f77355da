// DhcpServerCalloutEntry and the hooks that do nothing.
#include "callout/callout.h"
#include "config/startup.h"

extern "C" MACGATE_EXPORT uint32_t MACGATE_CALL DhcpServerCalloutEntry(void*, uint32_t,
                                                                       CalloutTable*) {
    macgate::InitializeFilter();
    return 0;  // TODO: fill the table
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
