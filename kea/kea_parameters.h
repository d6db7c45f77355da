// The hooks library's parameters in Kea's configuration, and who may load it.
#pragma once

#include <hooks/library_handle.h>

#include <string>

namespace macgate {

// The three paths that the registry values name on Windows ("" is no path),
// and what a list that loads nothing does.
struct KeaParameters {
    std::string listFile;
    std::string errorLog;
    std::string infoLog;
    // "unusable-list": "drop-all" drops every client while no list loaded;
    // "serve-all", the default, serves every client.
    bool dropAll = false;
    bool dhcpv6 = false;  // loaded by kea-dhcp6, not kea-dhcp4
};

// Checks that kea-dhcp4 or kea-dhcp6 loaded the library and that its
// parameters are the known ones, each a string, with a list file named and
// "unusable-list" one of its two values. Every fault is logged,
// naming its parameter; false means that Kea must refuse the configuration.
bool ReadKeaParameters(isc::hooks::LibraryHandle& handle, KeaParameters& parameters);

}  // namespace macgate
