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
    kScopeNotInFormat,     // "Scope on line number N not in proper format"
    kScopeHostBits,        // "Scope S on line number N has host bits set"
    kScopeRepeated,        // "Scope S on line number N already named on line number M"
};

struct ListDiagnostic {
    int32_t fileLine;    // the line's number in the file, from 1
    int32_t quotedLine;  // the number the message quotes; 0 when it quotes none
    DiagnosticKind kind;
    unsigned char action;         // kActionSpecified: 1 ALLOW, 0 DENY
    char field[kAddressKeySize];  // the two Mac Address kinds: the field as written
    // The scope kinds but kScopeNotInFormat: the network as written, in host
    // byte order, and its prefix length; kScopeRepeated: the earlier line.
    uint32_t network = 0;
    uint8_t prefixLength = 0;
    int32_t earlierLine = 0;
};

// How many addresses and prefixes a set holds.
struct EntryCounts {
    size_t addresses = 0;
    size_t prefixes = 0;
};

// The action of a closed section: its scope line is in error (host bits, a
// bad action word, a network named twice) but names its network, and every
// client whose scope address lies there is dropped, listed or not. Where the
// administrator's intent cannot be read, the filter must not widen access.
constexpr unsigned char kSectionClosed = 2;

// A section of a list: the entries after a scope line, which alone decide
// for the clients whose scope address lies in its network.
struct ListSection {
    uint32_t network = 0;      // in host byte order; its host bits are 0
    uint8_t prefixLength = 0;  // 1 to 32
    // 1 ALLOW, 0 DENY, or kSectionClosed. An ALLOW section that loads no
    // entry allows no one; a DENY section that loads none serves everyone.
    unsigned char FilterAction = 0;
    uint16_t PrefixLengths = 0;
    AddressNode* AddressSet = nullptr;  // its nodes stand in the list's SectionBlocks
    EntryCounts Entries;
    int32_t fileLine = 0;  // the scope line's number in the file
    int32_t lastLine = 0;  // the number of the last line that belongs to it
    int32_t closedBy = 0;  // closed: the first scope line in error that names its network
};

constexpr int kLongestNetworkPrefix = 32;

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
    // The sections, by prefix length and then by network; those of prefix
    // length n are Sections[SectionStart[n]] to Sections[SectionStart[n + 1] - 1].
    std::vector<ListSection> Sections;
    AddressBlock* SectionBlocks = nullptr;  // the blocks the sections' sets were built in
    uint32_t SectionStart[kLongestNetworkPrefix + 2] = {};
    // Bit n - 1 is set when a section of prefix length n is in the list.
    uint32_t SectionLengths = 0;
    // The file line of the first scope line whose network cannot be read;
    // 0 when there is none. Such a list is unusable: no host can tell which
    // clients that section meant, so none decides by it (the DLL drops every
    // client, Kea refuses it).
    int32_t UnreadableScopeLine = 0;
    // Memory ran out while it was loaded, so a part of it may be missing: no
    // host may use it.
    bool OutOfMemory = false;
};

// What keeps a section from deciding as written, for the tools and Kea's
// answers: a scope line in error, or an ALLOW section that loads nothing.
enum class SectionFaultKind : uint8_t {
    kUnreadable,   // the network cannot be read: the list is unusable
    kClosed,       // the network is closed: its clients are dropped
    kAllowsNoOne,  // an ALLOW section that loads no entry
};
struct SectionFault {
    SectionFaultKind kind;
    int32_t fileLine;  // the scope line; for kClosed, the first that closed it
    uint32_t network;  // not for kUnreadable
    uint8_t prefixLength;
};

// The list's section faults, in file order.
std::vector<SectionFault> SectionFaults(const LoadedList& list);

// "the section line on line 7 names no network that can be read, so the
// list is unusable", "the section 10.1.2.0/24 is closed by the section line
// in error on line 7, so every client in it is dropped", "the ALLOW section
// 10.1.2.0/24 on line 7 loads no entry, so it allows no one".
std::string SectionFaultText(const SectionFault& fault);

// The network mask of a prefix length from 0 to 32, in host byte order.
inline uint32_t NetworkMask(int prefixLength) {
    return prefixLength == 0 ? 0 : ~uint32_t{0} << (kLongestNetworkPrefix - prefixLength);
}

// "10.1.2.0/24": at most 18 characters and a NUL.
constexpr int kNetworkTextSize = 19;
void FormatNetwork(uint32_t network, int prefixLength, char (&text)[kNetworkTextSize]);

// The section with the longest prefix whose network holds `address` (host
// byte order); null for 0.0.0.0, which is unknown, and when none holds it.
// With `prefixLength` below 32, `address` stands for the network of that
// length (a subnet), and only sections whose network holds all of it count.
// Allocates nothing and takes no lock.
const ListSection* FindSection(const LoadedList& list, uint32_t address,
                               int prefixLength = kLongestNetworkPrefix);

// True when the list holds an entry anywhere: in its server-wide set or in
// a section that is not closed.
bool HoldsEntries(const LoadedList& list);

// True when the list drops or picks out any client: it holds an entry, or a
// section that drops clients without one (closed, or ALLOW), or it is
// unusable. A list that filters nothing serves every client.
bool FiltersClients(const LoadedList& list);

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

// True when the list holds `key` (an address key) or a prefix entry that
// covers it. Allocates nothing and takes no lock.
bool IsListed(const LoadedList& list, const char* key);

// Covered by a prefix: the digits of the longest prefix entry of the list
// that has fewer than `digits` digits and with which `key` begins; 0 when
// there is none. `key` is an address key, or a prefix key with `digits`
// digits. Allocates nothing and takes no lock.
int CoveringPrefix(const LoadedList& list, const char* key, int digits);

// The same two, on the entries of one section.
bool IsListed(const ListSection& section, const char* key);
int CoveringPrefix(const ListSection& section, const char* key, int digits);

// IsListed for a key whose numbers (KeyNumbers) the caller has made: one
// lookup for the address, then one for each prefix length in use. Inline,
// for the packet path.
template <typename Entries>
inline bool IsListed(const Entries& entries, PendingKey numbers, const char* key) {
    return AddressSetFind(numbers, entries.AddressSet) != nullptr ||
           (entries.PrefixLengths != 0 && CoveringPrefix(entries, key, kAddressKeySize - 1) != 0);
}

// Releases the sets and forgets the diagnostics: the list is empty again.
void FreeLoadedList(LoadedList& list);

}  // namespace macgate
