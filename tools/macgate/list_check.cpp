#include "tools/macgate/list_check.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <map>
#include <unordered_map>

#include "filter/address_set.h"
#include "filter/list_file.h"
#include "filter/loaded_list.h"
#include "platform/platform.h"
#include "tools/macgate/csv.h"
#include "tools/macgate/notation.h"

namespace macgate {
namespace {

ListReport* Recording = nullptr;
bool AtLineStart = true;
char* (*RealReadLine)(char*, int, FILE*) = nullptr;
LoadedList Checked;  // the list last checked, until ReleaseList()

// Every read of the loader, so that each message can name the line in the
// file that it is about (the loader counts entry lines only).
char* RecordingReadLine(char* buffer, int size, FILE* stream) {
    // Whatever fgets leaves alone stays non-NUL, so its terminator is the
    // last NUL in the buffer even when the line holds NULs of its own.
    std::memset(buffer, 'x', static_cast<size_t>(size));
    char* read = RealReadLine(buffer, size, stream);
    if (read == nullptr) {
        return nullptr;
    }
    int end = size - 1;
    while (end > 0 && buffer[end] != '\0') {
        --end;
    }
    bool lineFeed = end > 0 && buffer[end - 1] == '\n';
    std::vector<ListLine>& lines = Recording->lines;
    std::string piece(buffer, static_cast<size_t>(end));
    if (AtLineStart) {
        int number = lines.empty() ? 1 : lines.back().number + 1;
        lines.push_back({piece, number, lineFeed});
    } else {
        lines.back().cut = true;
        lines.back().cutText =
            lines.back().cutText || piece.find_first_not_of(" \t\r\n") != std::string::npos;
    }
    lines.back().lineFeed = lineFeed;
    AtLineStart = lineFeed;
    return read;
}

// The error log's text without the loader's own line number, which counts
// entry lines only: "Line Number 5 Not In Proper Format" becomes "Line Not In
// Proper Format", "Mac Address x on line number 5 ..." "Mac Address x ...".
std::string WithoutLineNumber(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    for (const char* marker : {" on line number ", "Line Number "}) {
        size_t at = text.find(marker);
        if (at == std::string::npos) {
            continue;
        }
        size_t from = at + (marker[0] == ' ' ? 0 : std::strlen("Line"));
        size_t digits = at + std::strlen(marker);
        size_t end = text.find_first_not_of("-0123456789", digits);
        if (end == digits) {
            continue;
        }
        if (marker[0] != ' ' && end < text.size() && text[end] == ' ') {
            ++end;
        }
        text.erase(from, (end == std::string::npos ? text.size() : end) - from);
        if (marker[0] != ' ') {
            text.insert(from, " ");
        }
        break;
    }
    return text;
}

// The error log's messages, each at its line in the file.
void RecordMessages(const LoadedList& list, ListReport* report) {
    for (const ListDiagnostic& diagnostic : list.Diagnostics) {
        if (diagnostic.kind == DiagnosticKind::kActionSpecified) {
            continue;
        }
        char text[512];
        FormatDiagnostic(diagnostic, text, sizeof text);
        report->findings.push_back({diagnostic.fileLine, true, WithoutLineNumber(text)});
    }
}

char UpperCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// A line that begins with the header's keyword, taken apart as far as it goes.
struct HeaderShape {
    bool keyword = false;
    bool braces = false;  // '=' and '{' follow, with only spaces around them
    std::string word;     // upper-cased
    std::string tail;     // after the word, without the line feed
};

HeaderShape ScanHeader(const std::string& line) {
    HeaderShape shape;
    const char* p = line.c_str();
    p += std::strspn(p, " \t");
    constexpr size_t kKeywordLength = 10;
    if (std::strlen(p) < kKeywordLength) {
        return shape;
    }
    std::string keyword(p, kKeywordLength);
    std::transform(keyword.begin(), keyword.end(), keyword.begin(), UpperCase);
    if (keyword != "MAC_ACTION") {
        return shape;
    }
    shape.keyword = true;
    p += kKeywordLength;
    p += std::strspn(p, " ");
    if (*p != '=') {
        return shape;
    }
    ++p;
    p += std::strspn(p, " ");
    if (*p != '{') {
        return shape;
    }
    ++p;
    p += std::strspn(p, " ");
    shape.braces = true;
    size_t length = std::strcspn(p, " }\n");
    shape.word.assign(p, length);
    std::transform(shape.word.begin(), shape.word.end(), shape.word.begin(), UpperCase);
    p += length;
    shape.tail.assign(p, std::strcspn(p, "\n"));
    return shape;
}

bool IsAction(const std::string& word) {
    return word == "ALLOW" || word == "DENY";
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
    HeaderShape shape = ScanHeader(line.text);
    if (!shape.keyword) {
        return {};
    }
    if (!shape.braces) {
        return "not a header line: MAC_ACTION must be followed by '=' and '{' with only spaces "
               "between; " +
               TheSearchGoesOn(report) + ". Write the header as MAC_ACTION = {ALLOW} or {DENY}";
    }
    if (!IsAction(shape.word)) {
        return {};  // the loader says "Action not correct"
    }
    size_t junk = shape.tail.find_first_not_of(" \t}");
    if (junk != std::string::npos) {
        return "'" + shape.tail.substr(junk) +
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
    std::unordered_map<uint64_t, int> firstLine;  // by PackedKey
    std::map<std::string, int> prefixLine;        // the same, of the prefixes alone
};

void Warn(ListReport* report, int line, std::string text) {
    report->findings.push_back({line, false, std::move(text)});
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
                 ": the server loads it once. Delete this line");
        return;
    }
    report->entries.push_back({line.number, key, EntryRemark(line.text)});
    if (key.back() == '*') {
        check->prefixLine.emplace(key, line.number);
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
                     " is the all-zero address: the server serves such a client whatever "
                     "the list says. Delete the line");
            break;
    }
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
    if (ScanHeader(line.text).keyword) {
        Warn(report, line.number,
             "a second header line: a list has one action, and the server takes this line for "
             "an entry. The header on line " +
                 std::to_string(report->headerLine) + " holds; delete this line");
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
    if (reported) {
        size_t end = text.find_first_of(" \t#\n", start);
        Notation notation;
        if (ParseNotation(text.substr(start, end - start), &notation) && notation.separated) {
            Warn(report, line.number,
                 notation.prefix
                     ? "the server reads a prefix as its digits and a '*': write " +
                           notation.digits + "*"
                     : "the server reads 12 hexadecimal digits without separators: write " +
                           notation.digits);
        }
    }
}

// An entry that a shorter prefix entry, anywhere in the list, covers.
void WarnOfCoveredEntries(const EntryCheck& check) {
    for (const ListEntry& entry : check.report->entries) {
        size_t digits = entry.key.back() == '*' ? entry.key.size() - 1 : entry.key.size();
        for (size_t length = 1; length < digits && !check.prefixLine.empty(); ++length) {
            auto prefix = check.prefixLine.find(entry.key.substr(0, length) + "*");
            if (prefix == check.prefixLine.end()) {
                continue;
            }
            Warn(check.report, entry.line,
                 entry.key + " is covered already by the prefix entry " + prefix->first +
                     " on line " + std::to_string(prefix->second) +
                     ": the server matches it through the prefix. Delete this line");
            break;
        }
    }
}

void FindWarnings(ListReport* report) {
    std::vector<bool> reported(report->lines.size() + 2, false);
    for (const Finding& finding : report->findings) {
        if (finding.line > 0 && static_cast<size_t>(finding.line) < reported.size()) {
            reported[finding.line] = true;
        }
    }
    size_t entriesFrom = report->lines.size();
    for (size_t i = 0; i < report->lines.size(); ++i) {
        // The library's own header test again, to know which line it took.
        if (ParseActionLine(report->lines[i].text.c_str()).header) {
            report->headerLine = report->lines[i].number;
            entriesFrom = i + 1;
            break;
        }
    }
    for (size_t i = 0; i < std::min(entriesFrom, report->lines.size()); ++i) {
        const ListLine& line = report->lines[i];
        if (report->headerLine != line.number && !reported[line.number]) {
            std::string warning = HeaderWarning(line, *report);
            if (!warning.empty()) {
                Warn(report, line.number, warning);
            }
        }
    }
    EntryCheck check{report, {}, {}};
    check.firstLine.reserve(report->lines.size() - std::min(entriesFrom, report->lines.size()));
    for (size_t i = entriesFrom; i < report->lines.size(); ++i) {
        CheckEntryLine(&check, report->lines[i], reported[report->lines[i].number]);
    }
    WarnOfCoveredEntries(check);
}

}  // namespace

void CheckListStream(FILE* list, ListReport* report) {
    *report = ListReport();
    ReleaseList();
    Recording = report;
    AtLineStart = true;
    RealReadLine = Platform.ReadLine;
    Platform.ReadLine = RecordingReadLine;
    LoadAddressList(list, Checked);
    Platform.ReadLine = RealReadLine;
    Recording = nullptr;
    RecordMessages(Checked, report);

    report->addresses = Checked.Entries.addresses;
    report->prefixes = Checked.Entries.prefixes;
    report->allow = Checked.FilterAction != 0;
    FindWarnings(report);
    bool loaded = report->addresses + report->prefixes > 0;
    if (report->headerLine != 0 && report->allow && !loaded) {
        Warn(report, report->headerLine,
             "an ALLOW list that loads no address: the server serves every client");
    }
    if (!loaded) {
        report->findings.push_back({0, true, "File format not proper"});
    }
    std::stable_sort(
        report->findings.begin(), report->findings.end(), [](const Finding& a, const Finding& b) {
            return (a.line == 0 ? INT32_MAX : a.line) < (b.line == 0 ? INT32_MAX : b.line);
        });
}

void ReleaseList() {
    FreeLoadedList(Checked);
}

bool CheckListFile(const std::string& path, ListReport* report) {
    FILE* list = Platform.OpenFile(path.c_str(), "r", FileShare::kDenyWrite);
    if (list == nullptr) {
        return false;
    }
    CheckListStream(list, report);
    Platform.CloseFile(list);
    ReleaseList();
    return true;
}

std::string FormatFinding(const std::string& list, const Finding& finding) {
    std::string where = finding.line == 0 ? list : list + ":" + std::to_string(finding.line);
    return where + (finding.error ? ": error: " : ": warning: ") + finding.text;
}

std::string WindowsFilterCsv(const ListReport& report) {
    std::string csv = "MacAddress,Description\n";
    for (const ListEntry& entry : report.entries) {
        // 00-1a-2b-3c-4d-5e; a prefix of whole bytes as 00-1c-23-*-*-*, and
        // one that ends inside a byte as 001c2*.
        std::string digits = entry.key;
        bool prefix = digits.back() == '*';
        if (prefix) {
            digits.pop_back();
        }
        if (prefix && digits.size() % 2 != 0) {
            csv += entry.key;
        } else {
            for (size_t i = 0; i < 12; i += 2) {
                csv += (i == 0 ? "" : "-") + (i < digits.size() ? digits.substr(i, 2) : "*");
            }
        }
        csv += "," + CsvField(entry.remark) + "\n";
    }
    return csv;
}

}  // namespace macgate
