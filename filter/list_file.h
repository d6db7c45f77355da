// The filter list file: a header line "MAC_ACTION = {ALLOW}" or
// "MAC_ACTION = {DENY}", then one 12-digit hardware address per line, with
// '#' remarks.
#pragma once

#include <cstdio>

#include "filter/address_set.h"

namespace macgate {

// Reads the open list stream: sets FilterAction from the header line, inserts
// every valid address into AddressSet and reports bad lines to ErrorLog.
void LoadAddressList(FILE* stream);

// Examines one candidate header line; true when it is the header line. May
// set FilterAction and ActionWord and write messages even when false.
bool ParseActionLine(const char* line);

// Examines one entry line: fills `field` with the address as written (at
// most 12 characters) or leaves it empty when the line gives no address,
// writing the entry-line messages with LineNumber.
void ParseAddressLine(const char* line, char (&field)[kAddressKeySize]);

// 1 when each of the first 12 characters is a hexadecimal digit, else 0.
int IsHexAddress(const char* text);

}  // namespace macgate
