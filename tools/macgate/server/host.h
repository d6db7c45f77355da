// The macgate tool's side of the callout boundary: it loads the built
// library by path and calls its entry point the way the DHCP server does.
#pragma once

#include <cstdint>
#include <string>

#include "callout/callout.h"
#include "tools/macgate/server/library.h"

namespace macgate {

struct LoadedCallout {
    LibraryHandle library = nullptr;
    CalloutTable table = {};
    uint32_t entryResult = 0;  // what DhcpServerCalloutEntry returned
};

// Loads the library, finds its exports by name, calls DhcpServerCalloutEntry
// with a table full of sentinels and checks what came back: the six hooks in
// slots 0 to 4 and 7, the same functions the library exports, and every
// other slot as it was. Gives 0 on success; 2 when the library cannot be
// loaded or lacks the entry point; 1 when it misbehaves. `error` says why.
// Once its entry point has run the library stays loaded for the life of the
// process, as in the server: it releases nothing when unloaded.
// `chainDlls` is the entry's first argument: the libraries the server
// leaves to this one, a UTF-16 multi-string, or null.
int LoadCallout(const std::string& path, const char16_t* chainDlls, LoadedCallout* callout,
                std::string* error);

// Loads the library that the DHCP server would load, the way it would: when
// CalloutEnabled is 1, the first entry of CalloutDlls that loads and whose
// DhcpServerCalloutEntry returns 0, given the entries after it as ChainDlls
// and version 0. `chosen` names it and `notes` says why each entry before
// it was passed over. Statuses as LoadCallout's; 2 also when the server
// would load none.
int LoadServerCallout(LoadedCallout* callout, std::string* chosen, std::string* notes,
                      std::string* error);

}  // namespace macgate
