// The filter list file: a header line "MAC_ACTION = {ALLOW}" or
// "MAC_ACTION = {DENY}", then one entry per line, with '#' remarks: a
// 12-digit hardware address, or a prefix of 1 to 11 digits and a '*'
// ("001c23*") that covers every address beginning with those digits.
#pragma once

#include <cstddef>
#include <cstdio>

#include "filter/address_set.h"

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
struct EntryCounts {
    size_t addresses = 0;
    size_t prefixes = 0;
};
EntryCounts CountEntries(const AddressNode* root);

// Reads the open list stream: sets FilterAction from the header line, inserts
// every valid address and prefix into AddressSet (marking each prefix's
// length in PrefixLengths) and reports bad lines to ErrorLog.
void LoadAddressList(FILE* stream);

// Examines one candidate header line; true when it is the header line. May
// set FilterAction and ActionWord and write messages even when false.
bool ParseActionLine(const char* line);

// Examines one entry line: fills `field` with the address or the prefix
// entry as written (at most 12 characters, a prefix with its '*') or leaves
// it empty when the line gives neither, writing the entry-line messages with
// LineNumber.
void ParseAddressLine(const char* line, char (&field)[kAddressKeySize]);

// 1 when each of the first 12 characters is a hexadecimal digit, else 0.
int IsHexAddress(const char* text);

}  // namespace macgate
