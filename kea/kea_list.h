// The list file as Kea loads it, through the one start-up of config/: hashed
// as it is read, loaded beside the list in use, and what the load says, in
// Kea's log and in the error and info logs.
#pragma once

#include <string>
#include <vector>

#include "config/list_load.h"
#include "kea/kea_parameters.h"

namespace macgate {

// One load of the list file in Kea.
struct KeaListLoad : ListLoad {
    std::string sha256;  // of the bytes read, lowercase hex; "" when not read
    // "LIST:LINE: error: TEXT" for each of the first kReportedLinesShown
    // reported lines, then one line with the number of the others.
    std::vector<std::string> reportedLines;

    // A list that filters (FiltersClients) and whose every section line
    // names a network that can be read; any other list serves or drops
    // everyone.
    bool Usable() const;
    // Why nothing usable was loaded, for Kea's log and command answers:
    // "it cannot be opened: REASON", "it is empty", "N lines were rejected",
    // "there was not enough memory to load it" or what made a section line
    // unusable (SectionFaultText).
    std::string WhyUnusable() const;
};

// What a load is for: start-up, which opens the info log for the while;
// macgate-reload, which writes to the info log as it stands and takes no
// list that has section faults; or its dry run, which writes no log.
enum class KeaLoadKind { kStart, kReload, kDryRun };

// Loads the list file that `parameters` name, as a stream, letting others
// read it meanwhile but not write it. Kea's logs are appended to, and each
// load there begins with a line "---- 2026-12-10T12:40:00Z kea-dhcp4 loads
// the list /etc/kea/macgate-list.txt"; a log that cannot be opened is named
// in Kea's log at WARN. Each reported line is a WARN in Kea's log, up to
// kReportedLinesShown of them and one with the number of the others.
KeaListLoad LoadKeaList(const KeaParameters& parameters, KeaLoadKind kind);

// SectionFaultText for each section fault of a loaded list, in file order.
std::vector<std::string> SectionFaultTexts(const KeaListLoad& load);

}  // namespace macgate
