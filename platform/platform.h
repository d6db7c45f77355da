// The few operating-system calls that macgate makes, behind one table of
// function pointers. Tests replace single entries to inject failures
// ("access denied", "sharing violation", a failing write) and put the real
// calls back with RestorePlatformCalls(). This folder is the only place that
// knows which system it runs on.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <ctime>

namespace macgate {

// What other openers may do while we hold a file open.
enum class FileShare {
    kDenyReadWrite,  // nobody else may open it at all (the logs, mode "w")
    kDenyWrite,      // others may read it but not write it (list, mode "r"; info log, mode "a")
};

struct PlatformCalls {
    // Opens `path` as a text-mode C stream with fopen's `mode` ("r", "w" or
    // "a") under `share`. Null when the file cannot be opened, including when
    // another holder's share mode refuses it. Never blocks.
    FILE* (*OpenFile)(const char* path, const char* mode, FileShare share);
    // Closes a stream from OpenFile, releasing its share-mode claim.
    int (*CloseFile)(FILE* stream);
    // vfprintf.
    int (*FormatFile)(FILE* stream, const char* format, va_list args);
    // fflush.
    int (*FlushFile)(FILE* stream);
    // fgets in text mode: CR LF reads as LF, and a byte 0x1A ends the data.
    char* (*ReadLine)(char* buffer, int size, FILE* stream);
    // Lower-cases `length` characters in place (CharLowerBuffA on Windows;
    // ASCII letters only elsewhere, the same result for hex digits).
    void (*LowerCase)(char* text, unsigned length);
    // The current calendar time.
    time_t (*Now)();
    // Converts to local time; false when the time cannot be converted.
    bool (*LocalTime)(time_t when, struct tm* out);
};

extern PlatformCalls Platform;

// Puts every entry of Platform back to the real call.
void RestorePlatformCalls();

}  // namespace macgate
