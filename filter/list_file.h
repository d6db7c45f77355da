// The filter list file: a header line "MAC_ACTION = {ALLOW}" or
// "MAC_ACTION = {DENY}", then one entry per line, with '#' remarks: a
// 12-digit hardware address, or a prefix of 1 to 11 digits and a '*'
// ("001c23*") that covers every address beginning with those digits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "filter/address_set.h"
#include "filter/loaded_list.h"

namespace macgate {

// A prefix entry is held in the AddressSet as its digits, lower-cased and
// padded to 12 characters with kPrefixPad: "001C23*" becomes "001c23******".
// The pad sorts below every digit, so no address key is a prefix key, and a
// prefix key sorts just before the addresses that it covers.
constexpr char kPrefixPad = '*';
constexpr int kLongestPrefix = 11;

// True for the key of a prefix entry, false for that of an address.
inline bool IsPrefixKey(const char* key) {
    return key[kLongestPrefix] == kPrefixPad;
}

// The UTF-8 byte-order mark, which the loader skips at the very start of a
// list file and nowhere else.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// How many addresses and prefixes a set holds.
EntryCounts CountEntries(const AddressNode* root);

// One line of the list file as the loader read it.
struct ListLine {
    std::string text;  // at most its first 99 characters, NULs included
    int number = 0;    // in the file, from 1
    bool lineFeed = false;
    // Longer than 99 characters: the loader drops the rest, which holds
    // something other than blanks when `cutText`.
    bool cut = false;
    bool cutText = false;
    // What follows the first 99 characters, up to kLongestRest of it.
    std::string rest;
};
constexpr size_t kLongestRest = 1024;

// The text of a list file as the loader read it, for a reader that explains
// the list; start-up keeps none.
struct ListText {
    bool byteOrderMark = false;  // skipped, and not in the first line's text
    int headerLine = 0;          // the number of the header line; 0 when none
    std::vector<ListLine> lines;
};

// Takes each diagnostic of a load as the loader makes it, in file order, in
// place of the list's Diagnostics, so that a list of any number of bad
// lines costs no memory for them.
struct DiagnosticSink {
    void (*take)(void* context, const ListDiagnostic& diagnostic);
    void* context;
};

// Reads the open list stream into `list`, which is empty: the action from
// the header line, every valid address and prefix before the first scope
// line into the set, each well-formed scope line's entries into its
// section, and a diagnostic for each line the error log names (and for each
// recognised action word, which the info log names), kept in the list's
// Diagnostics or given to `sink`. With `text`, also keeps every line read.
// Writes nothing. When memory runs out anywhere, the list is marked
// OutOfMemory and must not be used; it is still released whole by
// FreeLoadedList. Never throws.
void LoadAddressList(FILE* stream, LoadedList& list, ListText* text = nullptr,
                     const DiagnosticSink* sink = nullptr);

// The header rule, for one candidate header line. Where the rule stopped:
enum class HeaderStop : uint8_t {
    kHeader,    // at the line feed: the line is the header line
    kComment,   // at a '#' before the keyword
    kKeyword,   // the first 10 characters are not MAC_ACTION
    kEquals,    // no '=' after the keyword and spaces
    kBrace,     // no '{' after the '=' and spaces
    kAction,    // the word is neither ALLOW nor DENY
    kTail,      // something but spaces, tabs and '}' after the word
    kLineFeed,  // the line's text ends without a line feed
};
// True when the rule read the keyword MAC_ACTION: a header line, or one
// meant to be.
inline bool NamesKeyword(HeaderStop stop) {
    return stop != HeaderStop::kComment && stop != HeaderStop::kKeyword;
}
constexpr int kActionWordSize = 20;
struct ActionLine {
    bool header = false;  // the line is the header line
    HeaderStop stop = HeaderStop::kComment;
    // From kAction on: where in the line the action word begins and ends.
    int wordStart = 0;
    int tail = 0;
    // The action word is ALLOW or DENY: the list takes `action` even when
    // the rest of the line makes it no header line.
    bool actionKnown = false;
    unsigned char action = 0;
    DiagnosticKind message = DiagnosticKind::kNone;  // what the error log says
    char word[kActionWordSize] = {};  // the action word, upper-cased, at most 19 characters
};
ActionLine ParseActionLine(const char* line);

// The entry rule, for one entry line. `field` is the entry as written (at
// most 12 characters, a prefix with its '*'); empty when the line gives no
// entry. With a message, the entry is refused: `field` holds the text that
// the two Mac Address messages quote, and is empty otherwise.
struct EntryLine {
    DiagnosticKind message = DiagnosticKind::kNone;
    char field[kAddressKeySize] = {};
};
EntryLine ParseAddressLine(const char* line);

// The scope rule, for one entry-section line. A line whose text, after its
// leading spaces and tabs, begins with the keyword SCOPE in any letter case
// is a scope line, which starts a section: "SCOPE 10.1.2.0/24 = {ALLOW}". With
// a message it is in error (a tab before the keyword is one): its section
// loads nothing, and when its network can be read that network is closed.
struct ScopeLine {
    bool scope = false;  // the line is a scope line
    DiagnosticKind message = DiagnosticKind::kNone;
    bool networkRead = false;  // `network` and `prefixLength` were read
    uint32_t network = 0;      // in host byte order, as written
    uint8_t prefixLength = 0;
    unsigned char action = 0;  // 1 ALLOW, 0 DENY
};
ScopeLine ParseScopeLine(const char* line);

// The prefix rule: 1 to 11 hexadecimal digits and a '*', the last of
// `length` characters.
bool IsPrefixField(const char* field, int length);

// The set's key for an accepted entry field: lower-cased, a prefix padded
// with kPrefixPad. Gives the prefix's digits, or 0 for an address.
int EntryKey(const char* field, char (&key)[kAddressKeySize]);

// 1 when each of the first 12 characters is a hexadecimal digit, else 0.
int IsHexAddress(const char* text);

}  // namespace macgate
