// A list file as the server's loader sees it, line by line: the loader's own
// messages with each line's number in the file, and warnings for what the
// loader takes or passes over in silence but is almost always a mistake.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "filter/list_file.h"

namespace macgate {

// An error or a warning (`text`), which `note` may follow with what to write
// instead; a finding with no text is a note alone.
struct Finding {
    int line = 0;  // 0: about the list as a whole
    bool error = false;
    std::string text;
    std::string note;
};

struct ListEntry {
    int line = 0;
    std::string key;  // lowercase, as written: "001a2b3c4d5e", or "001c23*" for a prefix
    std::string remark;
    int section = 0;  // the line of its section's scope line; 0 for the server-wide list
};

// A section that loaded: its scope line, network and what it holds.
struct SectionReport {
    int line = 0;
    std::string network;  // "10.1.2.0/24"
    bool allow = false;
    size_t addresses = 0;
    size_t prefixes = 0;
};

struct ListReport {
    std::vector<ListLine> lines;
    std::vector<Finding> findings;  // in line order
    // Each loaded key once in its list, where it first stands there.
    std::vector<ListEntry> entries;
    size_t addresses = 0;  // in the server-wide list
    size_t prefixes = 0;
    std::vector<SectionReport> sections;  // in file order; closed sections are none of them
    // The section lines in error and the ALLOW sections that load nothing,
    // in file order: with any, the list does not decide as written.
    std::vector<SectionFault> sectionFaults;
    bool allow = false;
    int headerLine = 0;  // 0: none
    // Why nothing can load whatever the lines say, as "it is UTF-16
    // text"; empty otherwise.
    std::string unreadable;
};

// Loads the open list with the library's loader into a fresh set and says
// what the server would make of it. Leaves the set loaded; ReleaseList()
// empties it again.
void CheckListStream(FILE* list, ListReport* report);
void ReleaseList();

// The list file opened as start-up opens it (others may read it but not
// write it), checked, closed and released. False when it cannot be opened,
// with `why` (when given) saying so: "no such file", "it is a folder", ...
bool CheckListFile(const std::string& path, ListReport* report, std::string* why = nullptr);

// "LIST:LINE: error: TEXT" or "LIST: warning: TEXT" (a finding about the
// whole list), without its note.
std::string FormatFinding(const std::string& list, const Finding& finding);

// The finding's note as "LIST:LINE: note: NOTE", or empty.
std::string FormatNote(const std::string& list, const Finding& finding);

// The errors and warnings, and the lines they stand on.
struct MessageCount {
    size_t messages = 0;
    size_t lines = 0;
};
MessageCount CountMessages(const ListReport& report);

// True when the list loads an entry anywhere, in the server-wide list or in
// a section.
bool LoadsEntries(const ListReport& report);

// True when the server decides by the list at all: it loads an entry, or a
// section fault drops clients. A list that does not serves every client.
bool DecidesAnything(const ListReport& report);

// What a section fault means for the network, for check's summary:
// "section 10.1.2.0/24: closed, every client in it is dropped".
std::string SectionFaultSummary(const SectionFault& fault);

// The entries of one list, the server-wide one (`section` 0) or the section
// of that scope line, as the MacAddress,Description CSV that the Windows DHCP
// server's Add-DhcpServerv4Filter takes, one line feed after each record.
// Its patterns are whole bytes, so a prefix that ends inside a byte becomes
// the 16 patterns one digit longer; its descriptions hold at most 127
// characters. Group, broadcast and all-zero addresses, which check warns
// about, are left out and counted in `leftOut`.
std::string WindowsFilterCsv(const ListReport& report, size_t* leftOut = nullptr, int section = 0);

}  // namespace macgate
