// The macgate tool's side of the callout boundary: it loads the built
// library by path and calls its entry point the way the DHCP server does.
#pragma once

#include <string>

#include "callout/callout.h"
#include "platform/library.h"

namespace macgate {

struct LoadedCallout {
    LibraryHandle library = nullptr;
    CalloutTable table = {};
};

// Loads the library, finds its exports by name, calls DhcpServerCalloutEntry
// with a table full of sentinels and checks what came back: the six hooks in
// slots 0 to 4 and 7, the same functions the library exports, and every
// other slot as it was. Gives 0 on success; 2 when the library cannot be
// loaded or lacks the entry point; 1 when it misbehaves. `error` says why.
// Once its entry point has run the library stays loaded for the life of the
// process, as in the server: it releases nothing when unloaded.
int LoadCallout(const std::string& path, LoadedCallout* callout, std::string* error);

}  // namespace macgate
