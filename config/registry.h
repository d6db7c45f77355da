// The three configured paths, read from the DHCP server's Parameters key.
#pragma once

namespace macgate {

enum ParameterSelector {
    kErrorLogFile = 0,        // "CalloutErrorLogFile"
    kMacAddressListFile = 1,  // "CalloutMacAddressListFile"
    kInfoLogFile = 2,         // "CalloutInfoLogFile"
};

// The value as a newly allocated narrow string (release with std::free), or
// null when the key or value is missing or cannot be converted.
char* ReadParameterPath(int selector);

}  // namespace macgate
