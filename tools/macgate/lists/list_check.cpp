#include "tools/macgate/lists/list_check.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "filter/address_set.h"
#include "filter/list_file.h"
#include "filter/loaded_list.h"
#include "platform/platform.h"
#include "tools/macgate/lists/csv.h"
#include "tools/macgate/lists/notation.h"

namespace macgate {
namespace {

LoadedList Checked;  // the list last checked, until ReleaseList()

// The error log's messages, each at its line in the file.
void RecordMessages(const LoadedList& list, ListReport* report) {
    for (const ListDiagnostic& diagnostic : list.Diagnostics) {
        if (diagnostic.kind == DiagnosticKind::kActionSpecified) {
            continue;
        }
        report->findings.push_back({diagnostic.fileLine, true, ReportedLineText(diagnostic), ""});
    }
}

bool IsAction(const std::string& word) {
    return word == "ALLOW" || word == "DENY";
}

// Whether the header rule reads the keyword MAC_ACTION on the line: a header
// line, or one meant to be.
bool NamesKeyword(const ListLine& line) {
    return NamesKeyword(ParseActionLine(line.text.c_str()).stop);
}

// The action word as written, up to a space, '}' or the line feed,
// upper-cased.
std::string WrittenWord(const ListLine& line, const ActionLine& parsed) {
    const char* start = line.text.c_str() + parsed.wordStart;
    std::string word(start, std::strcspn(start, " }\n"));
    std::transform(word.begin(), word.end(), word.begin(), [](char c) {
        return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return word;
}

std::string TheSearchGoesOn(const ListReport& report) {
    if (report.headerLine == 0) {
        return "the server looks further, finds no header line and loads nothing";
    }
    return "the server looks further and takes line " + std::to_string(report.headerLine) +
           " as the header";
}

// Why a line that begins with the keyword is not the header, when the loader
// passed over it in silence; empty when there is nothing to say.
std::string HeaderWarning(const ListLine& line, const ListReport& report) {
    ActionLine parsed = ParseActionLine(line.text.c_str());
    if (!NamesKeyword(parsed.stop)) {
        return {};
    }
    if (parsed.stop == HeaderStop::kEquals || parsed.stop == HeaderStop::kBrace) {
        return "not a header line: MAC_ACTION must be followed by '=' and '{' with only spaces "
               "between; " +
               TheSearchGoesOn(report) + ". Write the header as MAC_ACTION = {ALLOW} or {DENY}";
    }
    if (!parsed.actionKnown) {
        return {};  // the loader says "Action not correct"
    }
    if (parsed.stop == HeaderStop::kTail) {
        const char* tail = line.text.c_str() + parsed.tail;
        std::string junk(tail, std::strcspn(tail, "\n"));
        if (junk.find_first_not_of(" \t}") != std::string::npos &&
            junk[junk.find_first_not_of(" \t}")] == '\r') {
            return "the lines end in a carriage return alone, which ends no line for the server: "
                   "it reads the header line and the lines after it as one line; " +
                   TheSearchGoesOn(report) + ". Save the list with CR LF or LF line ends";
        }
        return "'" + junk.substr(junk.find_first_not_of(" \t}")) +
               "' after the action makes this no header line: " + TheSearchGoesOn(report) +
               ". Put the remark on a line of its own";
    }
    if (line.cut) {
        return "the header line is longer than 98 characters, so the server does not take it "
               "as the header: " +
               TheSearchGoesOn(report) + ". Shorten it";
    }
    if (!line.lineFeed) {
        return "the header line is the file's last line and has no line feed, so the server "
               "does not take it as the header and loads nothing. End it with a line feed and "
               "list the addresses below it";
    }
    return {};
}

// The remark of an entry line as the loader reads it: up to a NUL.
std::string EntryRemark(const std::string& line) {
    std::string text = line.c_str();
    size_t hash = text.find('#');
    if (hash == std::string::npos) {
        return {};
    }
    std::string remark = text.substr(hash + 1, text.find('\n', hash) - hash - 1);
    size_t start = remark.find_first_not_of(" \t");
    size_t end = remark.find_last_not_of(" \t\r");
    return start == std::string::npos ? std::string() : remark.substr(start, end - start + 1);
}

// An entry's key as a number, which hashes faster than its text: the digits
// as hexadecimal, left-aligned in 48 bits, and their count in the low 4 bits.
uint64_t PackedKey(const std::string& key) {
    uint64_t digits = 0;
    size_t count = 0;
    for (char c : key) {
        if (c == '*') {
            break;
        }
        digits = digits * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        ++count;
    }
    return (digits << (4 * (12 - count)) << 4) | count;
}

struct EntryCheck {
    ListReport* report;
    // The scope line of the section being read, 0 for the server-wide
    // list, -1 after a scope line whose entries load nowhere.
    int section = 0;
    std::unordered_map<uint64_t, int> firstLine;  // by PackedKey, in this section
};

void Warn(ListReport* report, int line, std::string text) {
    report->findings.push_back({line, false, std::move(text), ""});
}

void CheckAcceptedEntry(EntryCheck* check, const ListLine& line, const char* field) {
    ListReport* report = check->report;
    std::string key(field);
    std::transform(key.begin(), key.end(), key.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    auto [first, isNew] = check->firstLine.emplace(PackedKey(key), line.number);
    if (!isNew) {
        Warn(report, line.number,
             key + " is listed already on line " + std::to_string(first->second) +
                 (check->section == 0 ? "" : " in this section") +
                 ": the server loads it once. Delete this line");
        return;
    }
    report->entries.push_back(
        {line.number, key, EntryRemark(line.text + line.rest), check->section});
    if (key.back() == '*') {
        return;
    }
    switch (KindOfAddress(key)) {
        case AddressKind::kClient:
            break;
        case AddressKind::kGroup:
            Warn(report, line.number,
                 key +
                     " is a group (multicast) address, which no client sends as its own: "
                     "the server never meets it. Delete the line");
            break;
        case AddressKind::kBroadcast:
            Warn(report, line.number,
                 key +
                     " is the broadcast address, which no client sends as its own: the "
                     "server never meets it. Delete the line");
            break;
        case AddressKind::kZero:
            Warn(report, line.number,
                 key +
                     " is the all-zero address, which a client sends when it has no hardware "
                     "address and names itself by a client identifier: this entry decides for "
                     "every such client. Delete the line unless you mean them all");
            break;
    }
}

std::string SecondHeaderText(const ListReport& report) {
    return "a second header line: a list has one action, and the server takes this line for an "
           "entry. The header on line " +
           std::to_string(report.headerLine) + " holds; delete this line";
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The text of a line without its leading spaces and its line end.
std::string Trimmed(const std::string& line, const char* leading = " ") {
    std::string text = line.c_str();
    size_t start = text.find_first_not_of(leading);
    if (start == std::string::npos) {
        return {};
    }
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(start, end - start + 1);
}

// The text with each control character shown as '?', fit to quote in a note.
std::string Printable(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return text;
}

std::string RemarkNote(const std::string& address, std::string remark) {
    remark = Printable(Trimmed(remark, " \t;/'-"));
    if (remark.empty()) {
        return address.empty() ? "start remarks with '#', or delete the line"
                               : "start remarks with '#': write " + address;
    }
    return "start remarks with '#': write " + (address.empty() ? "" : address + "  ") + "# " +
           remark;
}

// What to write instead of an entry line that the loader reported.
std::string EntryNote(const ListLine& line, const ListReport& report) {
    if (NamesKeyword(line)) {
        return SecondHeaderText(report);
    }
    const std::string text = Trimmed(line.text);
    const std::string word = text.substr(0, text.find_first_of(" \t#"));
    Notation notation;
    if (ParseNotation(word, &notation) && notation.separated) {
        return notation.prefix
                   ? "the server reads a prefix as its digits and a '*': write " + notation.digits +
                         "*"
                   : "the server reads 12 hexadecimal digits without separators: write " +
                         notation.digits;
    }
    size_t digits = 0;
    while (digits < text.size() && std::isxdigit(static_cast<unsigned char>(text[digits]))) {
        ++digits;
    }
    const char after = digits < text.size() ? text[digits] : '\0';
    if (text.find('\r') != std::string::npos) {
        return "a carriage return alone ends no line for the server: end each line with a line "
               "feed, or a carriage return and a line feed";
    }
    if (word.find('*') != std::string::npos) {
        return "a prefix is 1 to 11 hexadecimal digits and a '*' at its end, as 001c23*";
    }
    if (digits == 12 && after != '#') {
        std::string address = text.substr(0, 12);
        std::transform(address.begin(), address.end(), address.begin(),
                       [](char c) { return static_cast<char>(std::tolower(c)); });
        return RemarkNote(address, text.substr(12));
    }
    if (digits > 0 && (after == '\0' || IsBlank(after) || after == '#' || digits > 12)) {
        return "an address has 12 hexadecimal digits and this one has " + std::to_string(digits) +
               (digits < 12 ? ": count them, and end a prefix with '*'" : ": count them");
    }
    size_t hex = static_cast<size_t>(std::count_if(word.begin(), word.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
    }));
    if (word.size() >= 6 && 2 * hex >= word.size()) {
        char bad = *std::find_if(word.begin(), word.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) == 0;
        });
        const unsigned char byte = static_cast<unsigned char>(bad);
        char shown[16];
        if (byte >= 0x20 && byte < 0x7F) {
            std::snprintf(shown, sizeof shown, "'%c'", bad);
        } else {
            std::snprintf(shown, sizeof shown, "the byte 0x%02X", byte);
        }
        return std::string("an address is 12 hexadecimal digits, 0 to 9 and a to f: ") + shown +
               " is none of them";
    }
    return RemarkNote("", text);
}

// What to write instead of a scope line that the loader reported, and what
// the server makes of the network meanwhile.
std::string ScopeNote(const ListLine& line) {
    const ScopeLine scope = ParseScopeLine(line.text.c_str());
    char network[kNetworkTextSize] = "";
    FormatNetwork(scope.network & NetworkMask(scope.prefixLength), scope.prefixLength, network);
    const std::string closed = std::string("; until then the network ") + network +
                               " is closed: the server drops every client in it, listed or not, "
                               "and macgate-reload refuses the list";
    if (!scope.networkRead) {
        return "a section line reads SCOPE 10.1.2.0/24 = {ALLOW} or SCOPE 10.1.2.0/24 = {DENY}: a "
               "network of four numbers from 0 to 255, '/' and a prefix length from 1 to 32; until "
               "then no one can tell which clients this section meant, so the list is unusable: "
               "the Windows server drops every client, and Kea refuses the list";
    }
    if (scope.message == DiagnosticKind::kScopeHostBits) {
        return std::string("a section names its network by the network's own address: write ") +
               network + closed;
    }
    // Well formed, yet reported: an earlier section names the same network.
    if (scope.message == DiagnosticKind::kNone) {
        return "a network has one section: move these entries into the earlier one and delete "
               "this line" +
               closed;
    }
    const size_t start = line.text.find_first_not_of(' ');
    if (start != std::string::npos && line.text[start] == '\t') {
        return "the line starts with a tab: indent with spaces or not at all" + closed;
    }
    return "a section line reads SCOPE 10.1.2.0/24 = {ALLOW} or SCOPE 10.1.2.0/24 = {DENY}" +
           closed;
}

// What to write instead of a line before the header that the loader reported.
std::string HeaderSearchNote(const ListLine& line) {
    ActionLine parsed = ParseActionLine(line.text.c_str());
    if (parsed.message == DiagnosticKind::kActionNotCorrect) {
        std::string word = WrittenWord(line, parsed);
        if (IsAction(word)) {
            return "the action's closing '}' is missing: write MAC_ACTION = {" + word + "}";
        }
        return "the header's action is {ALLOW} or {DENY}, not {" + Printable(word) +
               "}: write MAC_ACTION = {ALLOW} or MAC_ACTION = {DENY}";
    }
    if (Trimmed(line.text, " \t\r\n").empty()) {
        return "the server reads a blank line before the header as a bad header line: delete "
               "it, or make it a remark with '#'";
    }
    return "only remarks may stand before the header line: delete this line, or make it a "
           "remark with '#'";
}

bool StartsWith(const std::string& text, const char* start) {
    return text.compare(0, std::strlen(start), start) == 0;
}

// Gives each error of the loader its note, says what a byte-order mark or
// UTF-16 text does, and after a header search that found nothing keeps one
// message for the lines that could not load instead of one for each.
void AddNotes(ListReport* report, bool byteOrderMark) {
    const std::vector<ListLine>& lines = report->lines;
    const bool utf16 = !lines.empty() && (StartsWith(lines[0].text, "\xFF\xFE") ||
                                          StartsWith(lines[0].text, "\xFE\xFF"));
    if (utf16) {
        report->unreadable = "it is UTF-16 text";
    }
    // Without a header, the last line that tried to be one.
    int lastTry = 0;
    for (const ListLine& line : lines) {
        if (report->headerLine == 0 && NamesKeyword(line)) {
            lastTry = line.number;
        }
    }
    std::vector<Finding> findings;
    if (byteOrderMark) {
        findings.push_back(
            {1, false, "", "the file starts with a UTF-8 byte-order mark, which the server skips"});
    }
    bool summed = false;
    for (Finding& finding : report->findings) {
        if (!finding.error || !finding.note.empty()) {
            findings.push_back(std::move(finding));
            continue;
        }
        const bool known = finding.line > 0 && static_cast<size_t>(finding.line) <= lines.size();
        if (finding.line == 0) {
            const bool others = std::any_of(findings.begin(), findings.end(),
                                            [](const Finding& f) { return !f.text.empty(); });
            finding.note =
                std::string(
                    "the server loads no address from this list and serves every client: ") +
                (others                    ? "mend the lines above"
                 : report->headerLine == 0 ? "write the header line MAC_ACTION = {ALLOW} or "
                                             "MAC_ACTION = {DENY}, then one address a line"
                                           : "list at least one address below the header");
        } else if (!known) {
            finding.note =
                "the file is empty: write the header line MAC_ACTION = {ALLOW} or "
                "MAC_ACTION = {DENY}, then one address a line";
        } else if (utf16) {
            if (summed) {
                continue;
            }
            summed = true;
            finding.note =
                "the file is UTF-16 text, which the server cannot read: save it as UTF-8 or ANSI";
        } else if (report->headerLine != 0 && finding.line > report->headerLine) {
            const ListLine& line = lines[finding.line - 1];
            finding.note = ParseScopeLine(line.text.c_str()).scope ? ScopeNote(line)
                                                                   : EntryNote(line, *report);
        } else if (report->headerLine == 0 && finding.line > lastTry) {
            if (summed) {
                continue;
            }
            summed = true;
            finding.note =
                lastTry == 0
                    ? "no header line stands above this line, so the server loaded no line from "
                      "here to the end: write MAC_ACTION = {ALLOW} or MAC_ACTION = {DENY} above it"
                    : "line " + std::to_string(lastTry) +
                          " is not taken as the header, so the server loaded no line from here "
                          "to the end: mend line " +
                          std::to_string(lastTry);
        } else {
            finding.note = HeaderSearchNote(lines[finding.line - 1]);
        }
        findings.push_back(std::move(finding));
    }
    report->findings = std::move(findings);
}

void CheckEntryLine(EntryCheck* check, const ListLine& line, bool reported) {
    ListReport* report = check->report;
    if (line.cutText && line.text.find('#') == std::string::npos) {
        Warn(report, line.number,
             "the line is longer than 99 characters: the server reads the first 99 and ignores "
             "the rest. Shorten it");
    }
    EntryLine entry = ParseAddressLine(line.text.c_str());
    if (entry.message == DiagnosticKind::kNone && entry.field[0] != '\0') {
        CheckAcceptedEntry(check, line, entry.field);
        return;
    }
    if (NamesKeyword(line)) {
        if (!reported) {  // a reported line has this as its note
            Warn(report, line.number, SecondHeaderText(*report));
        }
        return;
    }
    const std::string& text = line.text;
    size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos) {
        return;
    }
    if (text[start] == '\t' || static_cast<unsigned char>(text[start]) == 0xFF) {
        size_t content = text.find_first_not_of(" \t\xFF", start);
        if (content != std::string::npos && text[content] != '\n' && text[content] != '#' &&
            text[content] != '\r') {
            Warn(report, line.number,
                 text[start] == '\t'
                     ? "the line starts with a tab, so the server ignores it. Indent with "
                       "spaces or not at all"
                     : "the line starts with a byte 0xFF, so the server ignores it. Delete "
                       "the byte");
        }
        return;
    }
}

// The loaded section of a scope line, or null.
const ListSection* SectionOfLine(int line) {
    for (const ListSection& section : Checked.Sections) {
        if (section.fileLine == line) {
            return &section;
        }
    }
    return nullptr;
}

// An entry that a shorter prefix entry, anywhere in its own list (the
// server-wide one or its section), covers: the shortest such prefix is named.
void WarnOfCoveredEntries(const EntryCheck& check) {
    const ListSection* section = SectionOfLine(check.section);
    if (check.section < 0 ||
        (section == nullptr ? Checked.PrefixLengths : section->PrefixLengths) == 0) {
        return;
    }
    auto covering = [section](const char* key, int digits) {
        return section == nullptr ? CoveringPrefix(Checked, key, digits)
                                  : CoveringPrefix(*section, key, digits);
    };
    for (const ListEntry& entry : check.report->entries) {
        if (entry.section != check.section) {
            continue;
        }
        char key[kAddressKeySize];
        int digits = EntryKey(entry.key.c_str(), key);
        int shortest = 0;
        for (int length = covering(key, digits == 0 ? kLongestPrefix + 1 : digits); length != 0;
             length = covering(key, length)) {
            shortest = length;
        }
        if (shortest == 0) {
            continue;
        }
        const std::string prefix = entry.key.substr(0, static_cast<size_t>(shortest)) + "*";
        auto line = check.firstLine.find(PackedKey(prefix));
        if (line == check.firstLine.end()) {
            continue;
        }
        Warn(check.report, entry.line,
             entry.key + " is covered already by the prefix entry " + prefix + " on line " +
                 std::to_string(line->second) +
                 ": the server matches it through the prefix. Delete this line");
    }
}

// The sections that load nothing, lie inside another, or leave the
// server-wide list empty.
void WarnOfSections(ListReport* report) {
    const std::vector<SectionReport>& sections = report->sections;
    for (const SectionReport& section : sections) {
        if (section.addresses + section.prefixes == 0 && section.allow) {
            report->findings.push_back(
                {section.line, true,
                 "the ALLOW section " + section.network + " loads no entry, so it allows no one",
                 "the server drops every client in " + section.network +
                     ", and macgate-reload refuses the list: list its clients below this line, "
                     "or make it {DENY}"});
        } else if (section.addresses + section.prefixes == 0) {
            Warn(report, section.line,
                 "the section " + section.network +
                     " loads no entry: the server serves every client in it. List its clients "
                     "below this line, or delete the line");
        }
        const ListSection* inner = SectionOfLine(section.line);
        const SectionReport* outer = nullptr;
        int outerLength = 0;
        for (const SectionReport& other : sections) {
            const ListSection* loaded = SectionOfLine(other.line);
            if (loaded->prefixLength < inner->prefixLength && loaded->prefixLength > outerLength &&
                (inner->network & NetworkMask(loaded->prefixLength)) == loaded->network) {
                outer = &other;
                outerLength = loaded->prefixLength;
            }
        }
        if (outer != nullptr) {
            // Often meant: a note, not a warning.
            report->findings.push_back(
                {section.line, false, "",
                 "the section " + section.network + " lies inside the section " + outer->network +
                     " on line " + std::to_string(outer->line) + ": this section decides for " +
                     section.network + ", and that one for the rest of " + outer->network});
        }
    }
    if (!sections.empty() && report->headerLine != 0 && report->addresses + report->prefixes == 0) {
        Warn(report, report->headerLine,
             "the server-wide list loads no entry: the server serves every client outside the "
             "sections. List them below the header line to decide for them");
    }
}

void FindWarnings(ListReport* report) {
    std::vector<bool> reported(report->lines.size() + 2, false);
    for (const Finding& finding : report->findings) {
        if (finding.line > 0 && static_cast<size_t>(finding.line) < reported.size()) {
            reported[finding.line] = true;
        }
    }
    // The loader took the line it names as the header; the entries follow it.
    size_t entriesFrom =
        report->headerLine == 0 ? report->lines.size() : static_cast<size_t>(report->headerLine);
    for (size_t i = 0; i < std::min(entriesFrom, report->lines.size()); ++i) {
        const ListLine& line = report->lines[i];
        if (report->headerLine != line.number && !reported[line.number]) {
            std::string warning = HeaderWarning(line, *report);
            if (!warning.empty()) {
                Warn(report, line.number, warning);
            }
        }
    }
    EntryCheck check{report, 0, {}};
    check.firstLine.reserve(report->lines.size() - std::min(entriesFrom, report->lines.size()));
    for (size_t i = entriesFrom; i < report->lines.size(); ++i) {
        const ListLine& line = report->lines[i];
        if (ParseScopeLine(line.text.c_str()).scope) {
            WarnOfCoveredEntries(check);
            check.firstLine.clear();
            const ListSection* section = SectionOfLine(line.number);
            check.section =
                section != nullptr && section->FilterAction != kSectionClosed ? line.number : -1;
            continue;
        }
        if (check.section >= 0) {
            CheckEntryLine(&check, line, reported[line.number]);
        }
    }
    WarnOfCoveredEntries(check);
    WarnOfSections(report);
}

// The system's reason in the words that every host uses.
std::string WhyNotOpenedHere(const std::string& path, int error) {
    std::error_code ignored;
    if (error == ENOENT ||
        std::filesystem::status(path, ignored).type() == std::filesystem::file_type::not_found) {
        return "no such file";
    }
    return WhyNotOpened(path.c_str(), error);
}

std::string Where(const std::string& list, const Finding& finding) {
    return finding.line == 0 ? list : list + ":" + std::to_string(finding.line);
}

}  // namespace

void CheckListStream(FILE* list, ListReport* report) {
    *report = ListReport();
    ReleaseList();
    ListText text;
    LoadAddressList(list, Checked, &text);
    report->lines = std::move(text.lines);
    report->headerLine = text.headerLine;
    RecordMessages(Checked, report);

    report->addresses = Checked.Entries.addresses;
    report->prefixes = Checked.Entries.prefixes;
    report->allow = Checked.FilterAction != 0;
    report->sectionFaults = SectionFaults(Checked);
    for (const ListSection& section : Checked.Sections) {
        if (section.FilterAction == kSectionClosed) {
            continue;
        }
        char network[kNetworkTextSize];
        FormatNetwork(section.network, section.prefixLength, network);
        report->sections.push_back({section.fileLine, network, section.FilterAction != 0,
                                    section.Entries.addresses, section.Entries.prefixes});
    }
    std::sort(report->sections.begin(), report->sections.end(),
              [](const SectionReport& a, const SectionReport& b) { return a.line < b.line; });
    FindWarnings(report);
    bool loaded = DecidesAnything(*report);
    if (report->headerLine != 0 && report->allow && report->sections.empty() && !loaded) {
        Warn(report, report->headerLine,
             "an ALLOW list that loads no address: the server serves every client");
    }
    if (!loaded) {
        report->findings.push_back({0, true, "File format not proper", ""});
    }
    std::stable_sort(
        report->findings.begin(), report->findings.end(), [](const Finding& a, const Finding& b) {
            return (a.line == 0 ? INT32_MAX : a.line) < (b.line == 0 ? INT32_MAX : b.line);
        });
    AddNotes(report, text.byteOrderMark);
}

void ReleaseList() {
    FreeLoadedList(Checked);
}

bool CheckListFile(const std::string& path, ListReport* report, std::string* why) {
    errno = 0;
    FILE* list = Platform.OpenFile(path.c_str(), "r", FileShare::kDenyWrite);
    if (list == nullptr) {
        if (why != nullptr) {
            *why = WhyNotOpenedHere(path, errno);
        }
        return false;
    }
    CheckListStream(list, report);
    Platform.CloseFile(list);
    ReleaseList();
    return true;
}

std::string FormatFinding(const std::string& list, const Finding& finding) {
    return Where(list, finding) + (finding.error ? ": error: " : ": warning: ") + finding.text;
}

std::string FormatNote(const std::string& list, const Finding& finding) {
    return finding.note.empty() ? std::string() : Where(list, finding) + ": note: " + finding.note;
}

bool LoadsEntries(const ListReport& report) {
    size_t loaded = report.addresses + report.prefixes;
    for (const SectionReport& section : report.sections) {
        loaded += section.addresses + section.prefixes;
    }
    return loaded > 0;
}

bool DecidesAnything(const ListReport& report) {
    return LoadsEntries(report) || !report.sectionFaults.empty();
}

std::string SectionFaultSummary(const SectionFault& fault) {
    char network[kNetworkTextSize];
    FormatNetwork(fault.network, fault.prefixLength, network);
    switch (fault.kind) {
        case SectionFaultKind::kUnreadable:
            return "section line: its network cannot be read, so the list is unusable: the "
                   "Windows server drops every client, and Kea refuses the list";
        case SectionFaultKind::kClosed:
            return std::string("section ") + network + ": closed, every client in it is dropped";
        case SectionFaultKind::kAllowsNoOne:
            break;
    }
    return std::string("section ") + network + ": action ALLOW, no entry loaded: it allows no one";
}

MessageCount CountMessages(const ListReport& report) {
    MessageCount count;
    int previous = 0;
    for (const Finding& finding : report.findings) {
        if (finding.text.empty()) {
            continue;
        }
        ++count.messages;
        // The findings are in line order, those about the whole list last.
        if (finding.line > 0 && finding.line != previous) {
            ++count.lines;
            previous = finding.line;
        }
    }
    return count;
}

namespace {

// At most 127 UTF-16 units, the built-in filter's longest description, cut
// before a whole character (a byte that is no UTF-8 counts as one).
std::string FilterDescription(const std::string& remark) {
    constexpr size_t kLongestDescription = 127;
    size_t units = 0;
    for (size_t at = 0; at < remark.size();) {
        auto lead = static_cast<unsigned char>(remark[at]);
        size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        size_t width = length == 4 ? 2 : 1;
        if (units + width > kLongestDescription) {
            return remark.substr(0, at);
        }
        units += width;
        at += std::min(length, remark.size() - at);
    }
    return remark;
}

// 00-1a-2b-3c-4d-5e; a prefix as 00-1c-23-*-*-*.
std::string FilterPattern(const std::string& digits) {
    std::string pattern;
    for (size_t i = 0; i < 12; i += 2) {
        pattern += (i == 0 ? "" : "-") + (i < digits.size() ? digits.substr(i, 2) : "*");
    }
    return pattern;
}

}  // namespace

std::string WindowsFilterCsv(const ListReport& report, size_t* leftOut, int section) {
    std::string csv = "MacAddress,Description\n";
    size_t skipped = 0;
    for (const ListEntry& entry : report.entries) {
        if (entry.section != section) {
            continue;
        }
        std::string description = "," + CsvField(FilterDescription(entry.remark)) + "\n";
        std::string digits = entry.key;
        bool prefix = digits.back() == '*';
        if (prefix) {
            digits.pop_back();
        }
        // A prefix that ends inside a byte: the 16 patterns of the byte's
        // possible second digits.
        bool halfByte = prefix && digits.size() % 2 != 0;
        for (int next = 0; next < (halfByte ? 16 : 1); ++next) {
            std::string pattern = halfByte ? digits + "0123456789abcdef"[next] : digits;
            if (pattern.size() == 12 && KindOfAddress(pattern) != AddressKind::kClient) {
                ++skipped;
                continue;
            }
            csv += FilterPattern(pattern) + description;
        }
    }
    if (leftOut != nullptr) {
        *leftOut = skipped;
    }
    return csv;
}

}  // namespace macgate
