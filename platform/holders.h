// Who holds a file open, and which process is the DHCP server, for macgate
// status: a log that start-up cannot open matters unless the running server
// holds it, since the server lets it go when it stops.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace macgate {

struct FileHolder {
    uint32_t processId = 0;
    std::string name;  // as the system names the program or service; may be empty
};

// The processes that hold `path` open now, by the system's own account (the
// Restart Manager on Windows). False when the system cannot say: the account
// is missing or fails, or the system keeps none.
bool FindFileHolders(const char* path, std::vector<FileHolder>* holders);

// The process id of the running DHCP Server service; 0 when it is not
// running or cannot be asked, and on systems without it.
uint32_t DhcpServerProcessId();

}  // namespace macgate
