// Writing to the error and info logs.
#pragma once

#include <cstdint>
#include <cstdio>

#include "filter/loaded_list.h"
#include "platform/platform.h"

namespace macgate {

// What start-up lets others do with a log while it holds it. macgate status
// probes the logs with the same share mode, so that it is refused exactly
// when start-up would be.
constexpr FileShare kLogShare = FileShare::kDenyWrite;

// Writes one formatted message to `stream`; dropped when the stream is not
// open. Failed writes are ignored.
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void LogMessage(FILE* stream, const char* format, ...);

// Local time as "Tue Dec 08 06:25:12 2026\n" (English names whatever the
// locale): 25 characters and a NUL. Empty text when the time cannot be
// converted. Thread-safe.
constexpr int kTimestampTextSize = 26;
void FormatLogTimestamp(char (&text)[kTimestampTextSize]);

// Writes `text`, whole lines, to InfoLog: through the writer's queue while it
// runs (after the decision lines queued before), else straight to the stream.
void WriteInfoLogText(const char* text);

// Writes what the load said of one line where it belongs: the action line
// to InfoLog when `infoLog` (and the info log is on), every other message to
// ErrorLog.
void WriteListDiagnostic(const ListDiagnostic& diagnostic, bool infoLog);

// The server's control events, numbered as the Windows DHCP server numbers
// them.
constexpr uint32_t kServerStart = 1;
constexpr uint32_t kServerStop = 2;
constexpr uint32_t kServerPause = 3;
constexpr uint32_t kServerContinue = 4;

// What a control event does to the info log when it is on: start opens it
// for appending, and each event writes its line; stop then closes it. Any
// other code does nothing.
void ServerControlEvent(uint32_t event);

}  // namespace macgate
