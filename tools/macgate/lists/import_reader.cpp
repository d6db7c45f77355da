#include "tools/macgate/lists/import_reader.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <string_view>
#include <unordered_set>

#include "filter/address_set.h"
#include "filter/list_file.h"
#include "filter/loaded_list.h"
#include "tools/macgate/lists/csv.h"
#include "tools/macgate/lists/list_check.h"
#include "tools/macgate/lists/notation.h"

namespace macgate {
namespace {

// A remark short enough that every line of the list stays one line for the
// loader, whose lines hold 98 characters before the line feed.
constexpr size_t kLongestRemark = 80;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

struct Entry {
    Notation notation;
    std::string remark;
};

struct Import {
    ListAction action = ListAction::kUnset;
    bool actionGiven = false;     // by --action
    bool headerAccepted = false;  // a header line the loader takes gave the action
    bool headerRefused = false;   // a line meant as the header that the loader refuses
    std::vector<Entry> entries;
    std::unordered_set<std::string> seen;      // as written in the list: digits, '*' for a prefix
    std::unordered_set<std::string> prefixes;  // the same, of the prefixes alone
    ImportOutcome outcome;
    std::map<std::string, int> otherListRows;  // by source name
};

bool IsWordCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool IsNotationCharacter(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' ||
           c == '-' || c == '.' || c == '*';
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

std::string_view Trim(std::string_view text) {
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        return {};
    }
    size_t end = text.find_last_not_of(" \t");
    return text.substr(start, end - start + 1);
}

// One line of text for a remark: control characters become spaces, runs of
// blanks one space, the separators around it go, and it is cut short at a
// character boundary.
std::string CleanRemark(std::string_view text, const char* edges = " #,;|") {
    std::string remark;
    for (char c : text) {
        bool blank = static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == ' ';
        if (blank) {
            if (!remark.empty() && remark.back() != ' ') {
                remark += ' ';
            }
        } else {
            remark += c;
        }
    }
    size_t start = remark.find_first_not_of(edges);
    if (start == std::string::npos) {
        return {};
    }
    remark.erase(0, start);
    if (remark.size() > kLongestRemark) {
        size_t cut = kLongestRemark;
        while (cut > 0 && (static_cast<unsigned char>(remark[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        remark.resize(cut);
    }
    size_t end = remark.find_last_not_of(edges);
    remark.resize(end == std::string::npos ? 0 : end + 1);
    return remark;
}

std::string Where(const std::string& name, int line) {
    return name + ":" + std::to_string(line) + ": ";
}

std::string Written(const Notation& notation) {
    return notation.prefix ? notation.digits + "*" : notation.digits;
}

void AddEntry(Import* import, const std::string& where, const Notation& notation,
              const std::string& remark) {
    switch (notation.prefix ? AddressKind::kClient : KindOfAddress(notation.digits)) {
        case AddressKind::kClient:
            break;
        case AddressKind::kGroup:
            import->outcome.problems.push_back(
                where + notation.digits +
                " is a group (multicast) address, which no client sends as its own; skipped");
            return;
        case AddressKind::kBroadcast:
            import->outcome.problems.push_back(
                where + notation.digits +
                " is the broadcast address, which no client sends as its own; skipped");
            return;
        case AddressKind::kZero:
            import->outcome.problems.push_back(
                where + notation.digits +
                " is the all-zero address, which stands for every client that sends no hardware "
                "address; skipped");
            return;
    }
    std::string written = Written(notation);
    if (import->seen.insert(written).second) {
        import->entries.push_back({notation, remark});
        if (notation.prefix) {
            import->prefixes.insert(written);
        }
    }
}

// A list file's header line gives the action by the loader's own rule. A
// line meant as one that the loader refuses gives none: its remark or its
// shape may say the opposite of its word, so without --action the action is
// left open. True when the line is either.
bool ImportHeaderLine(Import* import, const std::string& where, std::string_view line) {
    std::string text(line);
    ActionLine parsed = ParseActionLine((text + "\n").c_str());
    if (!NamesKeyword(parsed.stop)) {
        return false;
    }
    // The loader reads 99 characters at a time, and the header's line feed
    // must be among them.
    if (parsed.header && text.size() <= 98) {
        // The first decision holds: a CSV's rows may have been chosen by it.
        if (import->action == ListAction::kUnset) {
            import->action = parsed.action != 0 ? ListAction::kAllow : ListAction::kDeny;
        }
        import->headerAccepted = true;
        return true;
    }
    std::string refused =
        where + "'" + CleanRemark(text, " ") + "' is no header line the server takes";
    if (import->actionGiven) {
        import->outcome.notes.push_back(refused + ", so the action is --action's");
    } else {
        import->outcome.problems.push_back(
            refused + ", so it gives no action: give --action allow or --action deny");
        import->headerRefused = true;
    }
    return true;
}

void ImportTextLine(Import* import, const std::string& name, int number, std::string_view line) {
    std::string_view trimmed = Trim(line);
    if (trimmed.empty() || trimmed.front() == '#') {
        return;
    }
    std::string where = Where(name, number);
    if (ImportHeaderLine(import, where, line)) {
        return;
    }
    std::vector<Notation> found;
    std::vector<std::string> unusable;
    std::string rest;
    size_t copied = 0;
    for (size_t at = 0; at < line.size();) {
        if (!IsNotationCharacter(line[at]) || (at > 0 && IsWordCharacter(line[at - 1]))) {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < line.size() && IsNotationCharacter(line[end])) {
            ++end;
        }
        // Punctuation around a token is the sentence's, not the address's.
        size_t start = at;
        while (start < end && (line[start] == '.' || line[start] == ':' || line[start] == '-')) {
            ++start;
        }
        size_t stop = end;
        while (stop > start &&
               (line[stop - 1] == '.' || line[stop - 1] == ':' || line[stop - 1] == '-')) {
            --stop;
        }
        Notation notation;
        bool bounded = end == line.size() || !IsWordCharacter(line[end]);
        std::string_view token = line.substr(start, stop - start);
        if (bounded && stop > start && ParseNotation(token, &notation)) {
            found.push_back(notation);
            rest.append(line.substr(copied, start - copied));
            rest += ' ';
            copied = stop;
        } else if (LooksLikeAddress(token)) {
            // Quoted with the rest of its word, as it was written.
            size_t wordEnd = end;
            while (wordEnd < line.size() && IsWordCharacter(line[wordEnd])) {
                ++wordEnd;
            }
            unusable.push_back(CleanRemark(line.substr(start, wordEnd - start), " "));
        }
        at = end;
    }
    rest.append(line.substr(copied));
    // A line with nothing address-like (a table's headings and rules, a
    // total) passes in silence.
    for (const std::string& text : unusable) {
        import->outcome.problems.push_back(where + "'" + text + "' is not a hardware address");
    }
    if (found.empty()) {
        return;
    }
    // A CSV row read as text leaves its quotes around the remark.
    std::string remark = CleanRemark(rest, " #,;:|\"");
    for (const Notation& notation : found) {
        AddEntry(import, where, notation, remark);
    }
}

void ImportText(Import* import, const std::string& name, std::string_view text) {
    int number = 1;
    for (size_t start = 0; start < text.size(); ++number) {
        size_t end = std::min(text.find_first_of("\r\n", start), text.size());
        ImportTextLine(import, name, number, text.substr(start, end - start));
        start = text.compare(end, 2, "\r\n") == 0 ? end + 2 : end + 1;
    }
}

std::string ColumnName(std::string_view field) {
    std::string name;
    for (char c : Lower(Trim(field))) {
        if (c != ' ' && c != '_' && c != '-') {
            name += c;
        }
    }
    return name;
}

struct Columns {
    int address = -1;
    int list = -1;
    std::vector<int> remarks;  // the first of them that is not empty is the remark
};

// The columns of a CSV header record; false when it has no address column.
bool FindColumns(const CsvRecord& header, Columns* columns) {
    static const char* const kRemarkColumns[] = {"description", "name", "hostname", "comment"};
    for (const char* remark : kRemarkColumns) {
        for (size_t i = 0; i < header.fields.size(); ++i) {
            if (ColumnName(header.fields[i]) == remark) {
                columns->remarks.push_back(static_cast<int>(i));
            }
        }
    }
    for (size_t i = 0; i < header.fields.size(); ++i) {
        std::string name = ColumnName(header.fields[i]);
        if (columns->address < 0 && (name == "macaddress" || name == "mac")) {
            columns->address = static_cast<int>(i);
        } else if (columns->list < 0 && name == "list") {
            columns->list = static_cast<int>(i);
        }
    }
    return columns->address >= 0;
}

// Reads `text` as a CSV when its first record, after a PowerShell "#TYPE"
// line and blank lines, names an address column; false, having read
// nothing, otherwise.
bool ImportCsv(Import* import, const std::string& name, std::string_view text) {
    CsvReader reader;
    reader.text = text;
    if (text.compare(0, 5, "#TYPE") == 0) {
        CsvRecord skipped;
        std::string error;
        ReadCsvRecord(&reader, &skipped, &error);
    }
    CsvRecord header;
    std::string error;
    Columns columns;
    CsvResult result;
    do {
        result = ReadCsvRecord(&reader, &header, &error);
    } while (result == CsvResult::kRecord && header.fields.size() == 1 &&
             Trim(header.fields[0]).empty());
    if (result != CsvResult::kRecord || !FindColumns(header, &columns)) {
        return false;
    }
    if (columns.list >= 0 && import->action == ListAction::kUnset) {
        import->action = ListAction::kAllow;
    }
    const char* wanted = import->action == ListAction::kDeny ? "deny" : "allow";
    CsvRecord record;
    for (;;) {
        result = ReadCsvRecord(&reader, &record, &error);
        if (result == CsvResult::kEnd) {
            return true;
        }
        std::string where = Where(name, record.line);
        if (result == CsvResult::kBadRecord) {
            import->outcome.problems.push_back(where + error);
            continue;
        }
        if (record.fields.size() == 1 && Trim(record.fields[0]).empty()) {
            continue;
        }
        if (columns.list >= 0 && static_cast<size_t>(columns.list) < record.fields.size() &&
            Lower(Trim(record.fields[columns.list])) != wanted) {
            ++import->otherListRows[name];
            continue;
        }
        if (static_cast<size_t>(columns.address) >= record.fields.size()) {
            import->outcome.problems.push_back(where + "the row has no " +
                                               std::string(Trim(header.fields[columns.address])) +
                                               " field");
            continue;
        }
        std::string_view written = Trim(record.fields[columns.address]);
        Notation notation;
        if (written.empty()) {
            import->outcome.problems.push_back(where + "the " +
                                               std::string(Trim(header.fields[columns.address])) +
                                               " field is empty");
            continue;
        }
        if (!ParseNotation(written, &notation)) {
            import->outcome.problems.push_back(where + "'" + CleanRemark(written) +
                                               "' is not a hardware address");
            continue;
        }
        std::string remark;
        for (int column : columns.remarks) {
            if (remark.empty() && static_cast<size_t>(column) < record.fields.size()) {
                remark = CleanRemark(record.fields[column]);
            }
        }
        AddEntry(import, where, notation, remark);
    }
}

void ImportSourceText(Import* import, const ImportSource& source) {
    std::string_view text = source.text;
    if (text.compare(0, 2, "\xFF\xFE") == 0 || text.compare(0, 2, "\xFE\xFF") == 0) {
        import->outcome.problems.push_back(Where(source.name, 1) +
                                           "the file is UTF-16 text; save it as UTF-8 or ASCII");
        return;
    }
    if (text.compare(0, kByteOrderMark.size(), kByteOrderMark) == 0) {
        text.remove_prefix(kByteOrderMark.size());
    }
    if (!ImportCsv(import, source.name, text)) {
        ImportText(import, source.name, text);
    }
}

// The entries' prefixes as a loaded list holds them, so that the filter's
// own "covered by a prefix" (CoveringPrefix) says which entries add nothing.
struct PrefixList {
    explicit PrefixList(const std::unordered_set<std::string>& prefixes) {
        for (const std::string& prefix : prefixes) {
            char key[kAddressKeySize];
            const int digits = EntryKey(prefix.c_str(), key);
            list.AddressSet = AddressSetInsert(key, list.AddressSet);
            list.PrefixLengths = static_cast<uint16_t>(list.PrefixLengths | 1u << digits);
        }
    }
    ~PrefixList() {
        FreeLoadedList(list);
    }
    PrefixList(const PrefixList&) = delete;
    PrefixList& operator=(const PrefixList&) = delete;

    // Whether a shorter prefix among the entries covers this one, which then
    // adds nothing to the list.
    bool Covers(const Notation& notation) const {
        char key[kAddressKeySize];
        EntryKey((notation.digits + (notation.prefix ? "*" : "")).c_str(), key);
        return CoveringPrefix(list, key, static_cast<int>(notation.digits.size())) != 0;
    }

    LoadedList list;
};

// Sixteen entries one digit longer than a prefix, one for each of its next
// digits, with one remark: the prefix, as export writes it for the built-in
// filter, whose patterns are whole bytes. They cover what it covers, so the
// list holds the prefix alone, where the first of them stood.
void JoinSiblings(Import* import) {
    for (size_t length = 12; length >= 2; --length) {
        std::map<std::string, std::vector<size_t>> families;  // by parent digits and remark
        for (size_t i = 0; i < import->entries.size(); ++i) {
            const Entry& entry = import->entries[i];
            if (entry.notation.digits.size() == length && entry.notation.prefix == (length < 12)) {
                families[entry.notation.digits.substr(0, length - 1) + '\n' + entry.remark]
                    .push_back(i);
            }
        }
        std::vector<bool> joined(import->entries.size(), false);
        bool any = false;
        for (const auto& [family, members] : families) {
            std::string parent = family.substr(0, length - 1);
            if (members.size() != 16 || !import->seen.insert(parent + "*").second) {
                continue;
            }
            import->prefixes.insert(parent + "*");
            Entry& first = import->entries[members[0]];
            first.notation.digits = parent;
            first.notation.prefix = true;
            for (size_t m = 1; m < members.size(); ++m) {
                joined[members[m]] = true;
            }
            any = true;
        }
        if (any) {
            std::vector<Entry> kept;
            for (size_t i = 0; i < import->entries.size(); ++i) {
                if (!joined[i]) {
                    kept.push_back(std::move(import->entries[i]));
                }
            }
            import->entries = std::move(kept);
        }
    }
}

}  // namespace

ImportOutcome ImportAddresses(const std::vector<ImportSource>& sources, ListAction action) {
    Import import;
    import.action = action;
    import.actionGiven = action != ListAction::kUnset;
    for (const ImportSource& source : sources) {
        ImportSourceText(&import, source);
    }
    if (import.headerRefused && !import.headerAccepted) {
        import.outcome.actionUndecided = true;
        return import.outcome;
    }
    JoinSiblings(&import);
    if (import.action == ListAction::kUnset) {
        import.action = ListAction::kAllow;
    }
    for (const auto& [name, rows] : import.otherListRows) {
        import.outcome.notes.push_back(
            name + ": " + std::to_string(rows) + (rows == 1 ? " row" : " rows") +
            " of another list left out (--action " +
            (import.action == ListAction::kDeny ? "allow" : "deny") + " takes them)");
    }
    if (import.entries.empty()) {
        return import.outcome;
    }
    std::string& list = import.outcome.list;
    list = import.action == ListAction::kDeny ? "MAC_ACTION = {DENY}\n" : "MAC_ACTION = {ALLOW}\n";
    const PrefixList prefixes(import.prefixes);
    for (const Entry& entry : import.entries) {
        if (prefixes.Covers(entry.notation)) {
            continue;
        }
        list += Written(entry.notation);
        if (!entry.remark.empty()) {
            list += "  # " + entry.remark;
        }
        list += '\n';
    }
    return import.outcome;
}

}  // namespace macgate
