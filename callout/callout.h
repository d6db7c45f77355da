// The boundary with the DHCP server: the hook table it hands to the entry
// point and the functions this library exports.
//
// On 32-bit Windows the server calls every export with the stdcall
// convention and finds them by their undecorated names (see macgate.def).
// Every argument is one machine word: a 32-bit number, or an address, which
// is 64 bits wide on x64.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define MACGATE_CALL __stdcall
#define MACGATE_EXPORT
#else
#define MACGATE_CALL
#define MACGATE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// Server control codes given to DhcpControlHook.
enum : uint32_t {
    kControlStart = 1,
    kControlStop = 2,
    kControlPause = 3,
    kControlContinue = 4,
};

typedef uint32_t(MACGATE_CALL* ControlHookFn)(uint32_t code, void* reserved);
typedef uint32_t(MACGATE_CALL* NewPktHookFn)(uint8_t** packet, uint32_t* packetSize,
                                             uint32_t ipAddress, void* reserved, void** pktContext,
                                             int32_t* processIt);
typedef uint32_t(MACGATE_CALL* PktDropHookFn)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                              uintptr_t);
typedef uint32_t(MACGATE_CALL* PktSendHookFn)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                              uintptr_t);
typedef uint32_t(MACGATE_CALL* AddressDelHookFn)(uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                                 uintptr_t, uintptr_t, uintptr_t);
typedef uint32_t(MACGATE_CALL* AddressOfferHookFn)(uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                                   uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                                   uintptr_t);
typedef uint32_t(MACGATE_CALL* DeleteClientHookFn)(uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                                   uintptr_t);

// The server's table of hooks: ten pointer-sized slots. The entry point
// writes slots 0 to 4 and 7; the others keep what the server put there.
struct CalloutTable {
    ControlHookFn controlHook;            // 0
    NewPktHookFn newPktHook;              // 1
    PktDropHookFn pktDropHook;            // 2
    PktSendHookFn pktSendHook;            // 3
    AddressDelHookFn addressDelHook;      // 4
    void* slot5;                          // 5, not written
    void* slot6;                          // 6, not written
    DeleteClientHookFn deleteClientHook;  // 7
    void* slot8;                          // 8, not written
    void* slot9;                          // 9, not written
};

MACGATE_EXPORT uint32_t MACGATE_CALL DhcpServerCalloutEntry(void* chainDlls,
                                                            uint32_t calloutVersion,
                                                            CalloutTable* table);
MACGATE_EXPORT uint32_t MACGATE_CALL DhcpControlHook(uint32_t code, void* reserved);
MACGATE_EXPORT uint32_t MACGATE_CALL DhcpNewPktHook(uint8_t** packet, uint32_t* packetSize,
                                                    uint32_t ipAddress, void* reserved,
                                                    void** pktContext, int32_t* processIt);
MACGATE_EXPORT uint32_t MACGATE_CALL DhcpPktDropHook(uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                                     uintptr_t, uintptr_t);
MACGATE_EXPORT uint32_t MACGATE_CALL DhcpPktSendHook(uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                                     uintptr_t, uintptr_t);
MACGATE_EXPORT uint32_t MACGATE_CALL DhcpAddressDelHook(uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                                        uintptr_t, uintptr_t, uintptr_t);
MACGATE_EXPORT uint32_t MACGATE_CALL DhcpAddressOfferHook(uintptr_t, uintptr_t, uintptr_t,
                                                          uintptr_t, uintptr_t, uintptr_t,
                                                          uintptr_t, uintptr_t, uintptr_t);
MACGATE_EXPORT uint32_t MACGATE_CALL DhcpDeleteClientHook(uintptr_t, uintptr_t, uintptr_t,
                                                          uintptr_t, uintptr_t);

}  // extern "C"

// The names the server finds the entry point and the hooks by, in the
// library's export table; the entry point first.
inline constexpr const char* kCalloutExportNames[] = {
    "DhcpServerCalloutEntry", "DhcpControlHook",    "DhcpNewPktHook",       "DhcpPktDropHook",
    "DhcpPktSendHook",        "DhcpAddressDelHook", "DhcpAddressOfferHook", "DhcpDeleteClientHook",
};
