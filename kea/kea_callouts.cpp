// The Kea hooks library libdhcp_macgate.so: Kea's callouts, each handing its
// arguments to the same start-up, packet decision and control events that the
// Windows DHCP server reaches through the callout entry.
#include <asiolink/io_address.h>
#include <dhcp/iface_mgr.h>
#include <dhcp/pkt4.h>
#include <hooks/hooks.h>

#include <exception>
#include <string>
#include <vector>

#include "config/decision.h"
#include "filter/packet_filter.h"
#include "kea/kea_dhcp6.h"
#include "kea/kea_load.h"
#include "kea/kea_log.h"
#include "kea/kea_parameters.h"
#include "kea/kea_status.h"

using isc::hooks::CalloutHandle;
using isc::hooks::LibraryHandle;
using macgate::KeaLogger;

namespace {

// The first IPv4 address of the interface that received `query`, in host
// byte order, looked up only when it can change the decision; 0 unknown.
uint32_t ReceivingInterfaceAddress(const isc::dhcp::Pkt4Ptr& query,
                                   const std::vector<uint8_t>& message) {
    if (!macgate::InterfaceAddressMatters(message.data(), message.size())) {
        return 0;
    }
    isc::dhcp::IfacePtr iface = isc::dhcp::IfaceMgr::instance().getIface(query);
    isc::asiolink::IOAddress address = isc::asiolink::IOAddress::IPV4_ZERO_ADDRESS();
    return iface && iface->getAddress4(address) ? address.toUint32() : 0;
}

}  // namespace

extern "C" {

// Kea finds these by name; the version script hides everything else.
#define KEA_EXPORT __attribute__((visibility("default")))

KEA_EXPORT int version() {
    return KEA_HOOKS_VERSION;
}

// The packet callout reads the list in use as one value, which
// macgate-reload replaces in one step and releases only once no packet
// thread can still read it; it writes the info log under InfoLogLock, and
// counts with atomics and Kea's thread-safe statistics.
KEA_EXPORT int multi_threading_compatible() {
    return 1;
}

// A configuration that cannot be right (wrong server, unknown or mistyped
// parameter, no list file named) is refused, so that Kea reports it instead
// of running a filter that filters nothing. A list that cannot be read or
// loads nothing is data, not configuration: Kea's log says so at ERROR, and
// every client is served, or dropped under "unusable-list": "drop-all",
// until macgate-reload loads a list.
KEA_EXPORT int load(LibraryHandle& handle) {
    try {
        macgate::KeaParameters parameters;
        if (!macgate::ReadKeaParameters(handle, parameters)) {
            LOG_ERROR(KeaLogger, macgate::MACGATE_NOT_LOADED);
            return 1;
        }
        macgate::SetUpKeaStatistics(parameters.dhcpv6);
        macgate::ForgetMacSources();
        macgate::StartKeaFilter(parameters);
        handle.registerCommandCallout(macgate::kStatusCommand, macgate::KeaStatusCommand);
        handle.registerCommandCallout(macgate::kReloadCommand, macgate::KeaReloadCommand);
    } catch (const std::exception& error) {
        LOG_ERROR(KeaLogger, macgate::MACGATE_LOAD_FAILED).arg(error.what());
        LOG_ERROR(KeaLogger, macgate::MACGATE_NOT_LOADED);
        return 1;
    }
    return 0;
}

KEA_EXPORT int unload() {
    if (!macgate::KeaState.filterStarted) {
        return 0;
    }
    macgate::StopKeaFilter();
    LOG_INFO(KeaLogger, macgate::MACGATE_STOPPED);
    return 0;
}

// kea-dhcp6's callouts are in kea_callouts6.cpp.

// Runs before Kea parses the packet: the raw DHCPv4 message goes to the same
// decision as DhcpNewPktHook, and a drop verdict drops it here. Kea counts
// nothing for a packet dropped here, so the filter counts its drops itself.
KEA_EXPORT int buffer4_receive(CalloutHandle& handle) {
    // An earlier library has dropped the packet, or parsed it itself (SKIP):
    // it is not this filter's to decide on.
    if (handle.getStatus() != CalloutHandle::NEXT_STEP_CONTINUE) {
        return 0;
    }
    try {
        isc::dhcp::Pkt4Ptr query;
        handle.getArgument("query4", query);
        if (!query) {
            return 0;
        }
        const std::vector<uint8_t>& message = query->data_;
        // Without a usable list, "unusable-list": "drop-all" drops everyone.
        int32_t verdict = macgate::KeaState.droppingAll
                              ? 0
                              : macgate::FilterPacket(message.data(), message.size(),
                                                      ReceivingInterfaceAddress(query, message));
        // A message too short to name its client is no decision.
        if (message.size() >= macgate::kShortestMessage) {
            macgate::CountDecision(verdict);
        }
        if (verdict == 0) {
            handle.setStatus(CalloutHandle::NEXT_STEP_DROP);
            macgate::CountDrop();
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
