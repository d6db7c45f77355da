// Comma-separated values as RFC 4180 has them: fields in double quotes may
// hold commas, line breaks and doubled quotes; records end in CR LF or LF.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace macgate {

struct CsvReader {
    std::string_view text;
    size_t position = 0;
    int line = 1;  // of the next character to read
};

struct CsvRecord {
    std::vector<std::string> fields;
    int line = 0;  // where the record starts
};

enum class CsvResult { kRecord, kEnd, kBadRecord };

// Reads the next record. kBadRecord: `error` says what is wrong with the
// record that starts on `record->line`; the reader has moved past it.
CsvResult ReadCsvRecord(CsvReader* reader, CsvRecord* record, std::string* error);

// The field as a CSV writer writes it: quoted when it holds a comma, a quote,
// a line break or leading or trailing spaces, its quotes doubled.
std::string CsvField(std::string_view text);

}  // namespace macgate
