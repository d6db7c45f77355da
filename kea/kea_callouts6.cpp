// The DHCPv6 callouts of libdhcp_macgate.so: kea-dhcp6 hands pkt6_receive
// each parsed packet, and the client's hardware address, wherever the
// server's configured mac-sources find it, goes to the same decision as a
// DHCPv4 client's.
// Kea's own config.h comes first: Kea 3.0's TLS headers, which
// dhcpsrv/cfgmgr.h brings in, need it.
#include <config.h>

#include <cc/data.h>
#include <dhcp/hwaddr.h>
#include <dhcp/pkt6.h>
#include <dhcpsrv/cfg_mac_source.h>
#include <dhcpsrv/cfgmgr.h>
#include <hooks/hooks.h>

#include <exception>
#include <vector>

#include "config/decision.h"
#include "filter/packet_filter.h"
#include "kea/kea_dhcp6.h"
#include "kea/kea_log.h"
#include "kea/kea_status.h"

using isc::hooks::CalloutHandle;

namespace macgate {
namespace {

using MacSourceList = std::vector<uint32_t>;

// Kea's default mac-sources.
const MacSourceList kAnySource = {isc::dhcp::HWAddr::HWADDR_SOURCE_ANY};

// The server's mac-sources in their configured order, and the ones in use:
// those, or kAnySource while the configuration names none. Kea configures
// the server and loads the library with its packet threads held, so both
// change only while no packet callout runs, and the callout reads them as
// plain values.
MacSourceList ConfiguredSources;
const MacSourceList* MacSources = &kAnySource;

void UseMacSources(const MacSourceList& sources) {
    ConfiguredSources = sources;
    MacSources = ConfiguredSources.empty() ? &kAnySource : &ConfiguredSources;
}

// The client's hardware address from the server's mac-sources, tried in
// their order as Kea's own host reservations do; null when the first source
// that gives an address gives one shorter than six bytes, or none does.
isc::dhcp::HWAddrPtr ClientHardwareAddress(isc::dhcp::Pkt6& query) {
    for (uint32_t source : *MacSources) {
        isc::dhcp::HWAddrPtr address = query.getMAC(source);
        if (address) {
            return address->hwaddr_.size() >= kHardwareAddressBytes ? address
                                                                    : isc::dhcp::HWAddrPtr();
        }
    }
    return isc::dhcp::HWAddrPtr();
}

}  // namespace

void UseServerMacSources() {
    UseMacSources(isc::dhcp::CfgMgr::instance().getCurrentCfg()->getMACSources().get());
}

}  // namespace macgate

extern "C" {

// Kea has taken a configuration: its "mac-sources" (the Dhcp6 map's, which
// Kea has checked by now) are the sources from now on.
__attribute__((visibility("default"))) int dhcp6_srv_configured(CalloutHandle& handle) {
    try {
        isc::data::ConstElementPtr config;
        handle.getArgument("json_config", config);
        if (config && config->getType() == isc::data::Element::map && config->contains("Dhcp6")) {
            config = config->get("Dhcp6");
        }
        isc::data::ConstElementPtr names;
        if (config && config->getType() == isc::data::Element::map) {
            names = config->get("mac-sources");
        }
        macgate::MacSourceList sources;
        if (names && names->getType() == isc::data::Element::list) {
            for (const isc::data::ElementPtr& name : names->listValue()) {
                sources.push_back(isc::dhcp::CfgMACSource::MACSourceFromText(name->stringValue()));
            }
        }
        macgate::UseMacSources(sources);
    } catch (const std::exception& error) {
        LOG_ERROR(macgate::KeaLogger, macgate::MACGATE_CALLOUT_FAILED)
            .arg("dhcp6_srv_configured")
            .arg(error.what());
        return 1;
    }
    return 0;
}

// Runs once Kea has parsed the packet: at buffer6_receive the client
// identifier and the relay options are not read yet. A client that gives no
// hardware address is unlisted. Kea 2.2 counts a packet dropped here in its
// own pkt6-receive-drop.
__attribute__((visibility("default"))) int pkt6_receive(CalloutHandle& handle) {
    // An earlier library has dropped the packet or skipped its processing:
    // it is not this filter's to decide on.
    if (handle.getStatus() != CalloutHandle::NEXT_STEP_CONTINUE) {
        return 0;
    }
    try {
        isc::dhcp::Pkt6Ptr query;
        handle.getArgument("query6", query);
        if (!query) {
            return 0;
        }
        // Without a usable list, "unusable-list": "drop-all" drops everyone.
        const isc::dhcp::HWAddrPtr address = macgate::ClientHardwareAddress(*query);
        const uint8_t* hardware = address ? address->hwaddr_.data() : nullptr;
        const int32_t verdict = macgate::KeaState.droppingAll ? macgate::DropWithoutList(hardware)
                                                              : macgate::FilterAddress(hardware);
        macgate::CountDecision(verdict);
        if (verdict == 0) {
            handle.setStatus(CalloutHandle::NEXT_STEP_DROP);
            macgate::CountDrop6();
        }
    } catch (const std::exception& error) {
        LOG_ERROR(macgate::KeaLogger, macgate::MACGATE_CALLOUT_FAILED)
            .arg("pkt6_receive")
            .arg(error.what());
        return 1;
    }
    return 0;
}

}  // extern "C"
