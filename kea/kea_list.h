// The list file as Kea loads it: read once, hashed from the bytes read, and
// loaded beside the list in use; and what the load says, in Kea's log and in
// the error log.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "filter/loaded_list.h"

namespace macgate {

struct ListDeleter {
    void operator()(LoadedList* list) const;
};
using ListPointer = std::unique_ptr<LoadedList, ListDeleter>;

// One load of the list file.
struct KeaListLoad {
    std::string listFile;
    bool opened = false;
    std::string openError;  // the system's reason when it could not be opened
    bool empty = false;     // opened, but it holds no byte
    std::string sha256;     // of the bytes read, lowercase hex; "" when not read
    ListPointer list;       // null when not opened, or without memory
    // "LIST:LINE: error: TEXT" for each of the load's messages, and the
    // number of lines they name.
    std::vector<std::string> reportedLines;
    size_t linesReported = 0;
    // Loaded, but refused for what its sections do (SectionFaults): the
    // logs do not call it read.
    bool refused = false;

    // A list that filters (FiltersClients) and whose every section line
    // names a network that can be read; any other list serves or drops
    // everyone.
    bool Usable() const;
    // Why nothing usable was loaded, for Kea's log and command answers:
    // "it cannot be opened: REASON", "it is empty", "N lines were rejected"
    // or what made a section line unusable (SectionFaultText).
    std::string WhyUnusable() const;
};

// Reads `listFile` whole, once, letting others read it meanwhile but not
// write it, then loads the bytes read.
KeaListLoad LoadKeaList(const std::string& listFile);

// SectionFaultText for each section fault of a loaded list, in file order.
std::vector<std::string> SectionFaultTexts(const KeaListLoad& load);

// One WARN in Kea's log for each reported line.
void LogReportedLines(const KeaListLoad& load);

// Writes to the error log at `path` what start-up writes of a load: the
// load's messages, then "Could not open the data file" or "File format not
// proper" when nothing was loaded; the action line and "Successfully read
// mac addresses" go to the info log when it is open. An empty path writes no
// error log. When the error log cannot be opened Kea's log says so, with the
// system's reason.
void WriteLoadToLogs(const std::string& path, const KeaListLoad& load);

// Opens a log of Kea's for appending, so that logrotate's copytruncate, or
// a reload after the log was renamed, keeps every line, and writes the line
// that begins each load: "---- 2026-12-10T12:40:00Z kea-dhcp4 loads the list
// /etc/kea/macgate-list.txt". (The Windows DHCP server's start-up truncates
// its logs instead.) When the log cannot be opened, Kea's log says so at
// WARN, naming it as `role` ("info log"), with the reason and
// `consequence`; null then.
FILE* OpenKeaLog(const std::string& path, const char* role, const std::string& listFile,
                 const char* consequence);

}  // namespace macgate
