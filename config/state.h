// Process-wide state of the filter. Everything here is zero when the library
// is loaded; start-up fills it on the host's thread before any hook can run,
// and afterwards only InfoLog changes (under InfoLogLock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

namespace macgate {

struct AddressNode;

// Root of the address set; null is the empty set.
extern AddressNode* AddressSet;

// The prefix lengths in use: bit n is set when a prefix entry of n digits
// (1 to 11) is in the AddressSet. 0 when the list holds addresses alone.
extern uint16_t PrefixLengths;

// A block of nodes that a loaded list's set was built in, in a list of all
// such blocks still in use; null when every node was allocated alone.
struct AddressBlock {
    AddressNode* nodes;
    size_t count;
    bool freeing;  // its tree is being released
    AddressBlock* next;
};
extern AddressBlock* AddressBlocks;

// 1 for ALLOW (listed clients are served, all others dropped),
// 0 for DENY (listed clients are dropped, all others served).
extern unsigned char FilterAction;

// The two log streams; null means "not open" and messages for it are dropped.
extern FILE* ErrorLog;
extern FILE* InfoLog;

// 1 when an info log is configured; every write to InfoLog happens only then.
extern int32_t InfoLogEnabled;

// The info log's narrow path, kept for the server-start reopening.
constexpr int kPathBufferSize = 1024;
extern char InfoLogPath[kPathBufferSize];

// The loader's working state: the last action word read (upper-cased, at
// most 19 characters) and the line number that entry-line messages quote.
constexpr int kActionWordSize = 20;
extern char ActionWord[kActionWordSize];
extern int32_t LineNumber;

// Serialises every check-write-flush, open and close of InfoLog, so that the
// control hook can never close the stream under a packet thread's write.
extern std::mutex InfoLogLock;

// Test-only: closes both logs, releases the set and zeroes everything, so
// that the library is back in its "just loaded" state.
void ResetStateForTesting();

}  // namespace macgate
