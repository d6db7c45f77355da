// What the DHCPv6 callouts keep between packets.
#pragma once

namespace macgate {

// Takes the mac-sources of the server's configuration in use, as load()
// finds it: at start-up and at a configuration change kea-dhcp6 gives the
// new ones once it has taken them (dhcp6_srv_configured), but a libreload
// loads the library again without that.
void UseServerMacSources();

}  // namespace macgate
