// The info log's writer: one thread that takes the lines of the packet
// threads and the control events from a bounded queue and writes them, in
// the order they were queued, so that no packet thread ever waits on the
// file. A line that finds the queue full, or whose write fails, is dropped
// and counted; the log says how many once writing resumes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace macgate {

// The longest line the queue takes, with its "\n".
constexpr size_t kInfoLogLineSize = 128;

// How many lines the queue holds before it drops them.
constexpr size_t kInfoLogQueueLines = 8192;

// Starts the thread that writes queued lines to InfoLog, which must be open
// and stay open until StopInfoLogWriter; lines are taken from then on,
// `firstLine` (when not null) before any other, waiting for room as
// WriteInfoLogLine does. True when it runs (already, or now); false, and
// nothing queued, when no thread could be started.
bool StartInfoLogWriter(const char* firstLine = nullptr);

// Queues `lastLine` (when not null; waiting for room as WriteInfoLogLine
// does) and takes no more lines, in one step; then writes every line queued
// (after the count of the lines dropped, when there are any) and ends the
// thread. Nothing when it does not run. Waits for a write that the file
// system holds: the caller's thread, never a packet thread, waits.
void StopInfoLogWriter(const char* lastLine = nullptr);

// True from StartInfoLogWriter to StopInfoLogWriter.
bool InfoLogWriterRuns();

// Queues one whole line, ending in "\n", of at most kInfoLogLineSize bytes.
// Never waits for the file and never allocates: a short lock, and a copy of
// the line. Dropped without a count when the writer does not run (the info
// log is closed); dropped and counted when the queue is full.
void QueueInfoLogLine(const char* line, size_t length);

// Queues a line that must not be lost (a control event's), waiting for room
// when the queue is full, and waits until it has been written (or dropped
// by a failed write). For the control thread, never a packet thread.
void WriteInfoLogLine(const char* line);

// Waits until every line queued before the call has been written or dropped.
void WaitForInfoLogWriter();

// Lines dropped since the library was loaded, the full queue's and the failed
// writes'. Safe on any thread.
uint64_t InfoLogLinesDropped();

// Told, on the writer's thread, when lines begin to be dropped: `dropped`
// is InfoLogLinesDropped(), `error` the errno of the failed write, or 0 when
// the queue was full. At most once a minute, and once per run of drops: a
// run ends when a write succeeds again. Null: nobody is told.
using InfoLogDropReport = void (*)(uint64_t dropped, int error);
void SetInfoLogDropReport(InfoLogDropReport report);

// The line the log gets where writing resumes after `dropped` lines were
// dropped: "3 lines of this log were not written\n". Gives its length.
size_t FormatDroppedLine(uint64_t dropped, char (&line)[kInfoLogLineSize + 1]);

}  // namespace macgate
