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
// from the registry (null or empty: no path), under the Windows DHCP
// server's rules for its logs.
void StartFilter(const char* errorLogPath, const char* listPath, const char* infoLogPath);

// Puts the filter back in its just-loaded state, the one reset of all that
// start-up sets: closes both logs, releases the list in use and clears the
// info-log settings. For hosts that unload the filter and start it again.
void StopFilter();

// Puts `list`, made with new, in use in place of the list in use in one
// step; the filter owns it from then on. Null leaves no list in use. Safe
// while decisions run: each decision reads either list whole, and the one
// replaced is released once no decision can still read it. Only one thread
// at a time may publish.
void PublishList(LoadedList* list);

}  // namespace macgate
