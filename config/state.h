// Process-wide state of the filter: the list in use and the two logs.
// Everything here is zero when the library is loaded. Start-up fills it on
// the host's thread before any hook can run, and stop (StopFilter) puts all
// of it back; in between only InfoLog changes (under InfoLogLock).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "filter/loaded_list.h"

namespace macgate {

// The list that decisions are made on, published by start-up and taken back
// by stop; null when none is loaded, which serves every client. A decision
// reads it once, inside a ListReader, so that a list can be put in its place
// while decisions run and released once none of them can still read it.
extern std::atomic<LoadedList*> ListInUse;

// Marks one decision's use of the list in use, from before it reads
// ListInUse until it is done with the list. Two atomic counts, no lock and
// no allocation: the one of the current generation counts the decisions
// that may hold the list in use, so that PublishList can wait for the
// decisions that still hold the list it replaced.
class ListReader {
public:
    ListReader();
    ~ListReader();
    ListReader(const ListReader&) = delete;
    ListReader& operator=(const ListReader&) = delete;

private:
    unsigned generation_;
};

// Waits until no decision that began before the call can still read a list
// taken out of use before it.
void WaitForListReaders();

// The two log streams; null means "not open" and messages for it are dropped.
extern FILE* ErrorLog;
extern FILE* InfoLog;

// 1 when an info log is configured; every write to InfoLog happens only then.
extern int32_t InfoLogEnabled;

// The info log's narrow path, kept for the server-start reopening.
constexpr int kPathBufferSize = 1024;
extern char InfoLogPath[kPathBufferSize];

// Serialises the opens and closes of InfoLog and the start and stop of its
// writer (config/info_log_writer.h), which alone writes it while it runs;
// decisions never take it.
extern std::mutex InfoLogLock;

}  // namespace macgate
