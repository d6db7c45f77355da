// Stands in for Kea's dhcpsrv/cfg_globals.h, which Debian's kea-dev 2.2
// leaves out although dhcpsrv/network.h (and so dhcpsrv/subnet.h) and
// dhcpsrv/srv_config.h include it. Only used when Kea's own header is missing (kea/CMakeLists.txt).
//
// The library reads a subnet's prefix and the configuration's mac-sources,
// and never the global parameters, so this declares only what those headers name: the class,
// the indexes their inline functions pass, and the pointers. A Network
// holds no CfgGlobals by value, so the layout of what the library reads is
// Kea's own.
#pragma once

#include <cc/data.h>
#include <boost/shared_ptr.hpp>

namespace isc {
namespace dhcp {

class CfgGlobals {
public:
    enum Index : int {
        AUTHORITATIVE,
        BOOT_FILE_NAME,
        CACHE_MAX_AGE,
        CACHE_THRESHOLD,
        CALCULATE_TEE_TIMES,
        DDNS_GENERATED_PREFIX,
        DDNS_OVERRIDE_CLIENT_UPDATE,
        DDNS_OVERRIDE_NO_UPDATE,
        DDNS_QUALIFYING_SUFFIX,
        DDNS_REPLACE_CLIENT_NAME,
        DDNS_SEND_UPDATES,
        DDNS_UPDATE_ON_RENEW,
        DDNS_USE_CONFLICT_RESOLUTION,
        HOSTNAME_CHAR_REPLACEMENT,
        HOSTNAME_CHAR_SET,
        MATCH_CLIENT_ID,
        MAX_PREFERRED_LIFETIME,
        MAX_VALID_LIFETIME,
        MIN_PREFERRED_LIFETIME,
        MIN_VALID_LIFETIME,
        NEXT_SERVER,
        PREFERRED_LIFETIME,
        REBIND_TIMER,
        RENEW_TIMER,
        RESERVATIONS_GLOBAL,
        RESERVATIONS_IN_SUBNET,
        RESERVATIONS_OUT_OF_POOL,
        SERVER_HOSTNAME,
        STORE_EXTENDED_INFO,
        T1_PERCENT,
        T2_PERCENT,
        VALID_LIFETIME,
    };
    isc::data::ConstElementPtr get(int index) const;
    // What dhcpsrv/srv_config.h (dhcpsrv/cfgmgr.h) names in its inline
    // functions.
    isc::data::ConstElementPtr get(const std::string& name) const;
    void set(const std::string& name, isc::data::ConstElementPtr value);
    void clear();
};

typedef boost::shared_ptr<CfgGlobals> CfgGlobalsPtr;
typedef boost::shared_ptr<const CfgGlobals> ConstCfgGlobalsPtr;

}  // namespace dhcp
}  // namespace isc
