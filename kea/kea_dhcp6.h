// What the DHCPv6 callouts keep between packets.
#pragma once

namespace macgate {

// Goes back to Kea's default mac-sources ("any") until kea-dhcp6 says what
// its configuration holds. Called by load().
void ForgetMacSources();

}  // namespace macgate
