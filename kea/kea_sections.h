// Deciding where Kea decides: a list with sections decides each DHCPv4 query
// by the subnet that Kea selects for it, and Kea's shared networks whose
// subnets fall into different sections are named.
#pragma once

#include <cc/data.h>
#include <dhcp/pkt4.h>
#include <hooks/callout_handle.h>

#include <cstdint>
#include <string>
#include <vector>

namespace macgate {

// The name of the packet's context that marks a packet whose decision
// buffer4_receive left to a later callout; no other packet has one.
extern const char kDeferredContext[];

// What buffer4_receive did with `query`: `deferred` when it left the decision
// to pkt4_receive or subnet4_select (the list in use had sections), which
// alone marks the packet's context.
void MarkDeferred(isc::hooks::CalloutHandle& handle, const isc::dhcp::Pkt4& query, bool deferred);

// True when buffer4_receive left the decision on `query` to a later callout
// and none has made it yet. Kea takes a packet from buffer4_receive to
// subnet4_select on one thread, and that thread's own note of the last packet
// it marked answers without a look at the context; a packet that went on
// elsewhere is answered by its context.
bool Deferred(isc::hooks::CalloutHandle& handle, const isc::dhcp::Pkt4& query);

// True for the queries that Kea selects a subnet for: DHCPDISCOVER,
// DHCPREQUEST (a BOOTREQUEST too, which libdhcp_bootp makes one) and
// DHCPINFORM.
bool KeaSelectsSubnet(const isc::dhcp::Pkt4& query);

// The address that a query Kea selects no subnet for names (ciaddr, or the
// requested address of a DHCPDECLINE), in host byte order; 0 for none.
uint32_t AddressNamed(isc::dhcp::Pkt4& query);

// Decides on `query` by the section whose network holds `network` of
// `prefixLength` bits (0: the server-wide entries), counts the decision,
// and drops the packet on a drop verdict; the packet is no longer deferred.
void DecideKeaQuery(isc::hooks::CalloutHandle& handle, const isc::dhcp::Pkt4& query,
                    uint32_t network, int prefixLength);

// Keeps the subnets of the shared networks of Kea's configuration (the
// json_config of dhcp4_srv_configured, which Kea has checked by now); null
// forgets them.
void KeepSharedNetworks(isc::data::ConstElementPtr config);

// Each shared network whose subnets fall into different sections of the
// list in use: "office: 192.0.2.0/26 in section 192.0.2.0/26, 192.0.2.64/26
// in the server-wide entries".
std::vector<std::string> SplitSharedNetworks();

// A WARN in Kea's log for each of them.
void WarnOfSplitSharedNetworks();

}  // namespace macgate
