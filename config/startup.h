// Start-up: reads the configuration, opens the logs, loads the list.
#pragma once

namespace macgate {

// Runs the whole start-up on the calling thread. Never fails: every problem
// becomes a line in a log, and an unloaded set lets every client through.
void InitializeFilter();

}  // namespace macgate
