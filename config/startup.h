// Start-up: reads the configuration, opens the logs, loads the list.
#pragma once

#include <cstdio>

#include "filter/loaded_list.h"

namespace macgate {

// The error log start-up writes, in the current folder, when it is given none.
constexpr char kDefaultErrorLogPath[] = "ErrorFile.txt";

// Runs the whole start-up on the calling thread. Never fails: every problem
// becomes a line in a log, and an unloaded set lets every client through.
void InitializeFilter();

// The start-up sequence itself, with the three paths given instead of read
// from the registry (null or empty: no path). Hosts other than the Windows
// DHCP server (the Kea adapter, the macgate tool) call this. A host that
// reports what it loaded passes `listRead`: it is called with the open list
// stream once the loader has read it, just before the stream is closed, and
// not at all when the list cannot be opened.
void StartFilter(const char* errorLogPath, const char* listPath, const char* infoLogPath,
                 void (*listRead)(FILE* list) = nullptr);

// Puts the filter back in its just-loaded state, the one reset of all that
// start-up sets: closes both logs, releases the list in use and clears the
// info-log settings. For hosts that unload the filter and start it again
// (Kea's config-reload).
void StopFilter();

// Puts `list`, made with new, in use in place of the list in use, which is
// released; the filter owns it from then on. Null leaves no list in use.
// Only while no decision can run: before the hooks are in the host's table.
void PublishList(LoadedList* list);

}  // namespace macgate
