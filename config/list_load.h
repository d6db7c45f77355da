// The one start-up of every host (the Windows DHCP server's DLL, Kea's hooks
// library at load and at macgate-reload): opens the logs, reads the list file
// as a stream into a list built beside the one in use, writes what the load
// says to the logs as it goes, and tells the host what it could not do. The
// hosts differ only in where they report and in which paths are optional.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "filter/loaded_list.h"
#include "platform/platform.h"

namespace macgate {

struct ListDeleter {
    void operator()(LoadedList* list) const;
};
using ListPointer = std::unique_ptr<LoadedList, ListDeleter>;

// How many reported lines a host is given one by one; beyond them it gets
// only their number. The error log has every one.
constexpr size_t kReportedLinesShown = 100;

// One load of the list file.
struct ListLoad {
    std::string listFile;
    bool opened = false;
    std::string openError;  // why it could not be opened (WhyNotOpened)
    bool empty = false;     // opened, but it holds no byte
    // Written, truncated or replaced while it was read: what was read may be
    // parts of two versions, so nothing of it is kept.
    bool changed = false;
    bool outOfMemory = false;  // memory ran out: nothing of it is kept
    ListPointer list;          // the whole list; null when it was not loaded whole
    // The number of lines that the load reports, and the first
    // kReportedLinesShown of its reports, in file order.
    size_t linesReported = 0;
    std::vector<ListDiagnostic> shown;
    // The host did not take the list it loaded (StartupHost::accept).
    bool refused = false;

    // Reported lines beyond those shown.
    size_t LinesNotShown() const;
};

// What each host does differently.
struct StartupHost {
    // fopen's mode for both logs: "w" truncates them (the Windows DHCP
    // server's start-up), "a" appends (Kea).
    const char* logMode = "w";
    // Without an error log path, the error log is kDefaultErrorLogPath,
    // which first says so; otherwise there is none.
    bool errorLogFallback = false;
    // A log that cannot be opened ends start-up with nothing loaded, and an
    // info log path enables the info log even then; otherwise the list is
    // loaded all the same and the info log is on only once it is open.
    bool logsRequired = false;
    // The info log is opened before the error log.
    bool infoLogFirst = false;
    // What the load does with the info log: opens it from its path and
    // closes it at the end; writes to it as it stands (InfoLog, while
    // InfoLogEnabled); or leaves it alone.
    enum class InfoLogUse { kOpen, kAsItIs, kNone };
    InfoLogUse infoLog = InfoLogUse::kOpen;
    // A list whose section line names no network that can be read loads
    // nothing; otherwise it is taken, and drops every client.
    bool unreadableLoadsNothing = false;

    void* context = nullptr;
    // Writes the line that begins a load in a log just opened.
    void (*beginLog)(void* context, FILE* log) = nullptr;
    // A log could not be opened: `role` is "error log" or "info log", `why`
    // the system's reason.
    void (*logNotOpened)(void* context, const char* role, const char* path,
                         const std::string& why) = nullptr;
    // Each of the first kReportedLinesShown reported lines, as it is read.
    void (*reportLine)(void* context, const ListDiagnostic& diagnostic) = nullptr;
    // Every byte of the list file, raw, as it is read (where the platform
    // can tap a stream), then the end of them. False: the host had no memory
    // to take them, and the load fails as out of memory.
    bool (*bytesRead)(void* context, const char* bytes, size_t size) = nullptr;
    bool (*allBytesRead)(void* context) = nullptr;
    // Whether the host takes a list that loaded; null takes every one.
    bool (*accept)(void* context, const LoadedList& list) = nullptr;
};

// The three paths; null or empty: none.
struct StartupPaths {
    const char* errorLog;
    const char* list;
    const char* infoLog;
};

// Runs start-up. The logs that it opens are closed again whatever happens,
// exceptions included; the list it gives is the host's to publish.
// Messages, in the logs' order:
// - the error log: each reported line as it is read; then "Could not open
//   the data file", or why nothing was kept ("Not enough memory to load the
//   list", "The list file changed while it was read") and "File format not
//   proper" when nothing usable loaded;
// - the info log: the action line, and "Successfully read mac addresses"
//   when the host took a list that filters.
ListLoad RunStartup(const StartupPaths& paths, const StartupHost& host);

}  // namespace macgate
