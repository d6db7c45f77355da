// A filter list as loaded, one value: its action, its set, the prefix
// lengths in use, its counts and what its load had to say about its lines.
//
// Its life: the loader (LoadAddressList) builds it from the list stream;
// start-up publishes it before the hooks are in the host's table; the packet
// path reads the published list once per decision; stop takes it back and
// releases it whole (FreeLoadedList). Nothing changes a list once built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "filter/address_set.h"

namespace macgate {

// What the load says of one line: an error-log message, or the info-log
// line of a recognised action word.
enum class DiagnosticKind : uint8_t {
    kNone,
    kNothingInFile,        // "Nothing in the file"
    kKeywordNotSpecified,  // "'MAC_ACTION' Not Specified Properly"
    kActionNotCorrect,     // "Action not correct"
    kActionSpecified,      // info log: "Action specified is : ALLOW"
    kEntryNotInFormat,     // "Line Number N Not In Proper Format"
    kAddressLength,        // "Mac Address F on line number N not of proper format"
    kAddressDigits,        // "Mac Address F on line number N is not in proper format"
};

struct ListDiagnostic {
    int32_t fileLine;    // the line's number in the file, from 1
    int32_t quotedLine;  // the number the message quotes; 0 when it quotes none
    DiagnosticKind kind;
    unsigned char action;         // kActionSpecified: 1 ALLOW, 0 DENY
    char field[kAddressKeySize];  // the two Mac Address kinds: the field as written
};

// How many addresses and prefixes a set holds.
struct EntryCounts {
    size_t addresses = 0;
    size_t prefixes = 0;
};

struct LoadedList {
    // 1 for ALLOW (listed clients are served, all others dropped), 0 for
    // DENY (listed clients are dropped, all others served).
    unsigned char FilterAction = 0;
    AddressNode* AddressSet = nullptr;      // the root; null is the empty set
    AddressBlock* AddressBlocks = nullptr;  // the blocks the set was built in
    // Bit n is set when a prefix entry of n digits (1 to 11) is in the set.
    uint16_t PrefixLengths = 0;
    EntryCounts Entries;
    std::vector<ListDiagnostic> Diagnostics;  // in file order
};

// The one text of a diagnostic, as the error log (or, for kActionSpecified,
// the info log) gets it, line feed included; cut to fit `size`. Gives the
// length of the whole text. With a `quotedLine` of 0 the entry-line texts
// quote no number: "Line Not In Proper Format".
int FormatDiagnostic(const ListDiagnostic& diagnostic, char* text, size_t size);

// A diagnostic's text as `macgate check` and Kea's log give it, without the
// line feed and without the loader's own line number, which counts entry
// lines only: "Line Number 5 Not In Proper Format" becomes "Line Not In
// Proper Format". Empty for kActionSpecified, which reports no fault.
std::string ReportedLineText(const ListDiagnostic& diagnostic);

// "LIST:LINE: error: TEXT", LINE being the line's number in the file (left
// out, with its colon, when the diagnostic names no line).
std::string FormatReportedLine(const std::string& list, const ListDiagnostic& diagnostic);

// How many lines of the file its diagnostics report as faults.
size_t ReportedLineCount(const LoadedList& list);

// True when the list holds `key` (an address key) or a prefix entry that
// covers it. Allocates nothing and takes no lock.
bool IsListed(const LoadedList& list, const char* key);

// Covered by a prefix: the digits of the longest prefix entry of the list
// that has fewer than `digits` digits and with which `key` begins; 0 when
// there is none. `key` is an address key, or a prefix key with `digits`
// digits. Allocates nothing and takes no lock.
int CoveringPrefix(const LoadedList& list, const char* key, int digits);

// Releases the set and forgets the diagnostics: the list is empty again.
void FreeLoadedList(LoadedList& list);

}  // namespace macgate
