// Callout libraries that break the host contract in one way each, so that
// the macgate tool's checks can be seen to catch it; or that stand for
// another vendor's library beside macgate (FAKE_ENTRY_FAILS refuses to
// start, FAKE_PRINTS_CHAIN prints the libraries and version the host gave
// it). Built once per FAKE_* definition.
#include <cstdint>
#include <cstdio>

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
MACGATE_EXPORT uint32_t MACGATE_CALL DhcpServerCalloutEntry(void* chainDlls, uint32_t version,
                                                            CalloutTable* table) {
#if defined(FAKE_ENTRY_FAILS)
    (void)chainDlls;
    (void)version;
    (void)table;
    return 1;
#endif
#if defined(FAKE_PRINTS_CHAIN)
    // The names are ASCII in the tests: each UTF-16 unit printed as a byte.
    std::printf("ChainDlls:");
    for (const char16_t* name = static_cast<const char16_t*>(chainDlls); *name != u'\0';) {
        std::printf(" ");
        for (; *name != u'\0'; ++name) {
            std::printf("%c", static_cast<char>(*name));
        }
        ++name;
    }
    std::printf("; version %u\n", static_cast<unsigned>(version));
    std::fflush(stdout);
#else
    (void)chainDlls;
    (void)version;
#endif
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
