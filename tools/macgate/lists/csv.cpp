#include "tools/macgate/lists/csv.h"

namespace macgate {
namespace {

// Steps past a line break (CR LF, LF or a lone CR) at the reader's position.
bool SkipLineBreak(CsvReader* reader) {
    std::string_view text = reader->text;
    size_t& at = reader->position;
    if (at < text.size() && text[at] == '\r') {
        ++at;
        if (at < text.size() && text[at] == '\n') {
            ++at;
        }
    } else if (at < text.size() && text[at] == '\n') {
        ++at;
    } else {
        return false;
    }
    ++reader->line;
    return true;
}

void SkipToRecordEnd(CsvReader* reader) {
    while (reader->position < reader->text.size() && !SkipLineBreak(reader)) {
        ++reader->position;
    }
}

}  // namespace

CsvResult ReadCsvRecord(CsvReader* reader, CsvRecord* record, std::string* error) {
    std::string_view text = reader->text;
    size_t& at = reader->position;
    record->fields.clear();
    record->line = reader->line;
    if (at >= text.size()) {
        return CsvResult::kEnd;
    }
    std::string field;
    for (;;) {
        if (at < text.size() && text[at] == '"') {
            ++at;
            for (;;) {
                if (at >= text.size()) {
                    *error = "a quoted field is not closed";
                    return CsvResult::kBadRecord;
                }
                char c = text[at];
                if (c == '"' && at + 1 < text.size() && text[at + 1] == '"') {
                    field += '"';
                    at += 2;
                } else if (c == '"') {
                    ++at;
                    break;
                } else if (c == '\r' || c == '\n') {
                    // A line break inside the quotes belongs to the field.
                    size_t before = at;
                    SkipLineBreak(reader);
                    field.append(text.substr(before, at - before));
                } else {
                    field += c;
                    ++at;
                }
            }
            if (at < text.size() && text[at] != ',' && text[at] != '\r' && text[at] != '\n') {
                *error = "a quoted field is followed by something other than a comma";
                SkipToRecordEnd(reader);
                return CsvResult::kBadRecord;
            }
        } else {
            while (at < text.size() && text[at] != ',' && text[at] != '\r' && text[at] != '\n') {
                field += text[at++];
            }
        }
        record->fields.push_back(std::move(field));
        field.clear();
        if (at < text.size() && text[at] == ',') {
            ++at;
            continue;
        }
        SkipLineBreak(reader);
        return CsvResult::kRecord;
    }
}

std::string CsvField(std::string_view text) {
    bool quote = !text.empty() && (text.front() == ' ' || text.back() == ' ');
    for (char c : text) {
        quote = quote || c == ',' || c == '"' || c == '\r' || c == '\n';
    }
    if (!quote) {
        return std::string(text);
    }
    std::string field = "\"";
    for (char c : text) {
        field += c;
        if (c == '"') {
            field += '"';
        }
    }
    return field + "\"";
}

}  // namespace macgate
