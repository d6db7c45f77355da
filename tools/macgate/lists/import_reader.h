// Turning address lists from elsewhere (an inventory spreadsheet, a switch's
// MAC table, the Windows DHCP server's own filter) into one clean list file.
#pragma once

#include <string>
#include <vector>

namespace macgate {

enum class ListAction { kUnset, kAllow, kDeny };

struct ImportSource {
    std::string name;  // for messages: the file name, or "-" for standard input
    std::string text;
};

struct ImportOutcome {
    // The list file, header line first; empty when no address was found.
    std::string list;
    // "NAME:LINE: what is wrong", one per line that could not be used.
    std::vector<std::string> problems;
    // Said on standard error without making the import fail.
    std::vector<std::string> notes;
    // No --action, and a line meant as a list file header that the loader
    // refuses, with none that it takes: no list is written.
    bool actionUndecided = false;
};

// Reads every source as a CSV with a MacAddress column, or else as text with
// addresses in any usual notation, and gives the list of the addresses and
// prefixes (from wildcards: 00-1C-23-*-*-* is 001c23*) in the order first
// seen, with each one's description or the rest of its line as the remark;
// an entry that another one covers is left out, and sixteen that together
// make one prefix are that prefix. `action` kUnset takes the action of the
// first header line among the sources that the loader takes, else ALLOW. A
// CSV's rows whose List column names the other action are left out, and
// only counted in a note. A line with nothing address-like passes in silence.
ImportOutcome ImportAddresses(const std::vector<ImportSource>& sources, ListAction action);

}  // namespace macgate
