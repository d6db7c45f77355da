// Writing to the error and info logs.
#pragma once

#include <cstdio>

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

}  // namespace macgate
