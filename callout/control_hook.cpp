// DhcpControlHook: server start, stop, pause and continue. The info log is
// open from a server start to the next stop; packet lines go to that stream.
#include <mutex>

#include "callout/callout.h"
#include "config/logs.h"
#include "config/state.h"
#include "platform/platform.h"

namespace {

void WriteControlLine(const char* line) {
    macgate::LogMessage(macgate::InfoLog, "%s", line);
    macgate::Platform.FlushFile(macgate::InfoLog);
}

}  // namespace

extern "C" MACGATE_EXPORT uint32_t MACGATE_CALL DhcpControlHook(uint32_t code, void*) {
    using namespace macgate;
    // Written once by start-up, before the hooks were in the server's table.
    if (InfoLogEnabled != 1) {
        return 0;
    }
    std::lock_guard<std::mutex> guard(InfoLogLock);
    switch (code) {
        case kControlStart:
            // A second start keeps the stream it has: reopening would be refused
            // by our own share mode and lose every packet line until stop.
            if (InfoLog == nullptr) {
                InfoLog = Platform.OpenFile(InfoLogPath, "a", kLogShare);
            }
            if (InfoLog != nullptr) {
                WriteControlLine("The DHCP server has successfully started.\n");
            }
            break;
        case kControlStop:
            if (InfoLog != nullptr) {
                LogMessage(InfoLog, "%s", "The DHCP server has successfully stopped.\n");
                Platform.CloseFile(InfoLog);
                InfoLog = nullptr;
            }
            break;
        case kControlPause:
            if (InfoLog != nullptr) {
                WriteControlLine("The DHCP server has been paused.\n");
            }
            break;
        case kControlContinue:
            if (InfoLog != nullptr) {
                WriteControlLine("The DHCP server has been continued.\n");
            }
            break;
        default:
            break;
    }
    return 0;
}
