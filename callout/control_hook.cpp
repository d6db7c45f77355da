// DhcpControlHook: server start, stop, pause and continue. The info log is
// open from a server start to the next stop; packet lines go to that stream.
#include "callout/callout.h"
#include "config/logs.h"

static_assert(kControlStart == macgate::kServerStart && kControlStop == macgate::kServerStop &&
                  kControlPause == macgate::kServerPause &&
                  kControlContinue == macgate::kServerContinue,
              "the server's control codes are the control events");

extern "C" MACGATE_EXPORT uint32_t MACGATE_CALL DhcpControlHook(uint32_t code, void*) {
    macgate::ServerControlEvent(code);
    return 0;
}
