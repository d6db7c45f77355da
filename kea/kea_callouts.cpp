// The Kea hooks library libdhcp_macgate.so: Kea's callouts, each handing its
// arguments to the same start-up, packet decision and control events that the
// Windows DHCP server reaches through the callout entry.
#include <cc/data.h>
#include <dhcp/pkt4.h>
#include <hooks/hooks.h>

#include <exception>
#include <string>
#include <vector>

#include "callout/callout.h"
#include "config/startup.h"
#include "config/state.h"
#include "filter/packet_filter.h"
#include "kea/kea_log.h"

namespace macgate {
namespace {

const char kListFileParameter[] = "list-file";
const char kErrorLogParameter[] = "error-log";
const char kInfoLogParameter[] = "info-log";
// Where start-up writes the error log when it is given none.
const char kDefaultErrorLog[] = "ErrorFile.txt";

// The path that a parameter names, or "" (no path, as with a missing registry
// value) when it is absent, empty or not a string. `consequence` tells the
// administrator in Kea's log what a missing path means.
std::string PathParameter(isc::hooks::LibraryHandle& handle, const char* name,
                          const char* consequence, bool optional) {
    isc::data::ConstElementPtr value = handle.getParameter(name);
    if (value && value->getType() != isc::data::Element::string) {
        LOG_ERROR(KeaLogger, MACGATE_INVALID_PARAMETER).arg(name).arg(consequence);
        return std::string();
    }
    std::string path = value ? value->stringValue() : std::string();
    if (path.empty() && !(optional && !value)) {
        LOG_WARN(KeaLogger, MACGATE_MISSING_PARAMETER).arg(name).arg(consequence);
    }
    return path;
}

}  // namespace
}  // namespace macgate

using isc::hooks::CalloutHandle;
using isc::hooks::LibraryHandle;
using macgate::KeaLogger;

extern "C" {

// Kea finds these by name; the version script hides everything else.
#define KEA_EXPORT __attribute__((visibility("default")))

KEA_EXPORT int version() {
    return KEA_HOOKS_VERSION;
}

// The packet callout only reads the set, which changes only in load() and
// unload() while Kea holds its packet threads, and writes the info log under
// InfoLogLock.
KEA_EXPORT int multi_threading_compatible() {
    return 1;
}

// Fails open like the callout entry: whatever goes wrong, Kea runs on and an
// empty set serves every client.
KEA_EXPORT int load(LibraryHandle& handle) {
    try {
        for (const std::string& name : handle.getParameterNames()) {
            if (name != macgate::kListFileParameter && name != macgate::kErrorLogParameter &&
                name != macgate::kInfoLogParameter) {
                LOG_WARN(KeaLogger, macgate::MACGATE_UNKNOWN_PARAMETER).arg(name);
            }
        }
        std::string errorLog = macgate::PathParameter(
            handle, macgate::kErrorLogParameter,
            "the error log is written to ErrorFile.txt in the server's working directory", false);
        std::string listFile =
            macgate::PathParameter(handle, macgate::kListFileParameter,
                                   "no list is loaded and every client is served", false);
        std::string infoLog =
            macgate::PathParameter(handle, macgate::kInfoLogParameter, "no info log is kept", true);

        macgate::StartFilter(errorLog.c_str(), listFile.c_str(), infoLog.c_str());
        DhcpControlHook(kControlStart, nullptr);

        if (listFile.empty()) {
            // Already reported as a missing parameter.
        } else if (macgate::AddressSet == nullptr) {
            LOG_WARN(KeaLogger, macgate::MACGATE_NOTHING_LOADED)
                .arg(listFile)
                .arg(errorLog.empty() ? std::string(macgate::kDefaultErrorLog) : errorLog);
        } else {
            LOG_INFO(KeaLogger, macgate::MACGATE_STARTED).arg(listFile);
        }
    } catch (const std::exception& error) {
        LOG_ERROR(KeaLogger, macgate::MACGATE_CALLOUT_FAILED).arg("load").arg(error.what());
    }
    return 0;
}

KEA_EXPORT int unload() {
    DhcpControlHook(kControlStop, nullptr);
    // Kea loads the library again on config-reload, and that start-up must
    // find nothing left of this one.
    macgate::StopFilter();
    LOG_INFO(KeaLogger, macgate::MACGATE_STOPPED);
    return 0;
}

// Runs before Kea parses the packet: the raw DHCPv4 message goes to the same
// decision as DhcpNewPktHook, and a drop verdict drops it here.
KEA_EXPORT int buffer4_receive(CalloutHandle& handle) {
    try {
        isc::dhcp::Pkt4Ptr query;
        handle.getArgument("query4", query);
        if (!query) {
            return 0;
        }
        const std::vector<uint8_t>& message = query->data_;
        if (macgate::FilterPacket(message.data(), message.size()) == 0) {
            handle.setStatus(CalloutHandle::NEXT_STEP_DROP);
        }
    } catch (const std::exception& error) {
        LOG_ERROR(KeaLogger, macgate::MACGATE_CALLOUT_FAILED)
            .arg("buffer4_receive")
            .arg(error.what());
        return 1;
    }
    return 0;
}

}  // extern "C"
