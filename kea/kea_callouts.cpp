// The Kea hooks library libdhcp_macgate.so: Kea's callouts, each handing its
// arguments to the same start-up, packet decision and control events that the
// Windows DHCP server reaches through the callout entry.
#include <asiolink/io_address.h>
#include <cc/data.h>
#include <dhcp/pkt4.h>
#include <dhcpsrv/subnet.h>
#include <hooks/hooks.h>

#include <boost/any.hpp>
#include <exception>
#include <string>
#include <type_traits>
#include <vector>

#include "config/decision.h"
#include "filter/packet_filter.h"
#include "kea/kea_dhcp6.h"
#include "kea/kea_load.h"
#include "kea/kea_log.h"
#include "kea/kea_parameters.h"
#include "kea/kea_sections.h"
#include "kea/kea_status.h"

using isc::hooks::CalloutHandle;
using isc::hooks::LibraryHandle;
using macgate::KeaLogger;

namespace {

// The subnet that Kea selected for the query at subnet4_select. Kea 3.0
// passes it as a pointer to a const subnet, the releases before as a plain
// pointer; should a release between them differ, the other type is tried.
isc::dhcp::ConstSubnet4Ptr SelectedSubnet(CalloutHandle& handle) {
    constexpr bool kConstSubnet = KEA_HOOKS_VERSION >= 30000;
    using Given =
        std::conditional_t<kConstSubnet, isc::dhcp::ConstSubnet4Ptr, isc::dhcp::Subnet4Ptr>;
    using Other =
        std::conditional_t<kConstSubnet, isc::dhcp::Subnet4Ptr, isc::dhcp::ConstSubnet4Ptr>;
    try {
        Given subnet;
        handle.getArgument("subnet4", subnet);
        return subnet;
    } catch (const boost::bad_any_cast&) {
        Other subnet;
        handle.getArgument("subnet4", subnet);
        return subnet;
    }
}

// A packet whose decision failed is dropped: the list in use names which
// clients to serve, and one it could not be asked about is not among them.
void DropUndecided(CalloutHandle& handle, const char* callout, const std::exception& error) {
    LOG_ERROR(KeaLogger, macgate::MACGATE_DECISION_FAILED).arg(callout).arg(error.what());
    handle.setStatus(CalloutHandle::NEXT_STEP_DROP);
    macgate::CountDrop();
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
// thread can still read it; it queues its info log line for the log's own
// writer, and counts with atomics and Kea's thread-safe statistics.
KEA_EXPORT int multi_threading_compatible() {
    return 1;
}

// A configuration that cannot be right (wrong server, unknown or mistyped
// parameter, no list file named) is refused, so that Kea reports it instead
// of running a filter that filters nothing. A list that cannot be read or
// loads nothing is data, not configuration: Kea's log says so at ERROR, and
// every client is served, or dropped under "unusable-list": "drop-all",
// until macgate-reload loads a list.
//
// The library listed twice in one server would be loaded once by the
// system, its one state shared: the second copy is refused, and with it the
// configuration. Kea then unloads both, so its unload() stopping the filter
// of the first takes nothing away that Kea keeps.
KEA_EXPORT int load(LibraryHandle& handle) {
    if (macgate::KeaState.filterStarted) {
        LOG_ERROR(KeaLogger, macgate::MACGATE_SECOND_COPY)
            .arg(macgate::KeaState.parameters.listFile);
        LOG_ERROR(KeaLogger, macgate::MACGATE_NOT_LOADED);
        return 1;
    }
    try {
        macgate::KeepSharedNetworks(nullptr);
        macgate::KeaParameters parameters;
        if (!macgate::ReadKeaParameters(handle, parameters)) {
            LOG_ERROR(KeaLogger, macgate::MACGATE_NOT_LOADED);
            return 1;
        }
        macgate::SetUpKeaStatistics(parameters.dhcpv6);
        macgate::UseServerMacSources();
        macgate::StartKeaFilter(parameters);
        handle.registerCommandCallout(macgate::kStatusCommand, macgate::KeaStatusCommand);
        handle.registerCommandCallout(macgate::kReloadCommand, macgate::KeaReloadCommand);
    } catch (const std::exception& error) {
        macgate::AbandonKeaFilter();
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

// Runs before Kea parses the packet. A list without sections decides here,
// on the raw DHCPv4 message, with the same decision as DhcpNewPktHook, and a
// drop verdict drops it before Kea spends any work on it; Kea counts nothing
// for a packet dropped here, so the filter counts its drops itself. A list
// with sections leaves the decision to subnet4_select, once Kea has chosen
// the subnet. Only DROP is an earlier library's verdict: SKIP means that it
// unpacked the packet itself (libdhcp_bootp, libdhcp_ha), which Kea then
// processes as any other, so the filter decides on it too.
KEA_EXPORT int buffer4_receive(CalloutHandle& handle) {
    if (handle.getStatus() == CalloutHandle::NEXT_STEP_DROP) {
        return 0;
    }
    try {
        isc::dhcp::Pkt4Ptr query;
        handle.getArgument("query4", query);
        if (!query) {
            return 0;
        }
        const std::vector<uint8_t>& message = query->data_;
        int32_t verdict = 1;
        if (macgate::KeaState.droppingAll) {
            // Without a usable list, "unusable-list": "drop-all" drops everyone.
            verdict =
                macgate::DropWithoutList(message.size() >= macgate::kShortestMessage
                                             ? message.data() + macgate::kHardwareAddressOffset
                                             : nullptr);
        } else if (!macgate::FilterPacketUnlessSections(message.data(), message.size(), &verdict)) {
            macgate::MarkDeferred(handle, *query, true);
            return 0;
        }
        macgate::MarkDeferred(handle, *query, false);
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

// Runs once Kea has parsed the packet. A message that Kea selects no subnet
// for (DHCPRELEASE, DHCPDECLINE and anything but DHCPDISCOVER, DHCPREQUEST
// and DHCPINFORM) and that buffer4_receive left to subnet4_select is decided
// here, by the section that holds the address it names: the lease's (ciaddr),
// or the requested address of a DHCPDECLINE.
KEA_EXPORT int pkt4_receive(CalloutHandle& handle) {
    // At pkt4_receive, SKIP as well as DROP drops the packet.
    if (handle.getStatus() != CalloutHandle::NEXT_STEP_CONTINUE) {
        return 0;
    }
    try {
        isc::dhcp::Pkt4Ptr query;
        handle.getArgument("query4", query);
        if (!query || macgate::KeaSelectsSubnet(*query) || !macgate::Deferred(handle, *query)) {
            return 0;
        }
        macgate::DecideKeaQuery(handle, *query, macgate::AddressNamed(*query),
                                macgate::kLongestNetworkPrefix);
    } catch (const std::exception& error) {
        DropUndecided(handle, "pkt4_receive", error);
    }
    return 0;
}

// Kea has selected the query's subnet, by every means it has (giaddr, a
// subnet's relay addresses, option 82 link selection, option 118, the
// interface a subnet is bound to, client classes, shared networks): the
// section whose network holds the subnet decides; with no subnet, the
// server-wide entries. A packet decided at buffer4_receive (the list had no
// sections then) is not decided again.
KEA_EXPORT int subnet4_select(CalloutHandle& handle) {
    if (handle.getStatus() == CalloutHandle::NEXT_STEP_DROP) {
        return 0;
    }
    try {
        isc::dhcp::Pkt4Ptr query;
        handle.getArgument("query4", query);
        if (!query || !macgate::Deferred(handle, *query)) {
            return 0;
        }
        const isc::dhcp::ConstSubnet4Ptr subnet = SelectedSubnet(handle);
        uint32_t network = 0;
        int prefixLength = 0;
        if (subnet) {
            const std::pair<isc::asiolink::IOAddress, uint8_t> prefix = subnet->get();
            network = prefix.first.toUint32();
            prefixLength = prefix.second;
        }
        macgate::DecideKeaQuery(handle, *query, network, prefixLength);
    } catch (const std::exception& error) {
        DropUndecided(handle, "subnet4_select", error);
    }
    return 0;
}

// Kea has taken a configuration: its shared networks are kept, and each whose
// subnets fall into different sections of the list in use is named.
KEA_EXPORT int dhcp4_srv_configured(CalloutHandle& handle) {
    try {
        isc::data::ConstElementPtr config;
        handle.getArgument("json_config", config);
        macgate::KeepSharedNetworks(config);
        macgate::WarnOfSplitSharedNetworks();
    } catch (const std::exception& error) {
        LOG_ERROR(KeaLogger, macgate::MACGATE_CALLOUT_FAILED)
            .arg("dhcp4_srv_configured")
            .arg(error.what());
        return 1;
    }
    return 0;
}

}  // extern "C"
