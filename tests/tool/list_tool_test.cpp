// The list checker's findings, the address notations, the CSV reader, and
// import's promise that what it writes the checker finds clean.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tools/macgate/lists/csv.h"
#include "tools/macgate/lists/import_reader.h"
#include "tools/macgate/lists/list_check.h"
#include "tools/macgate/lists/notation.h"

namespace macgate {
namespace {

ListReport CheckText(const std::string& bytes) {
    FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    ListReport report;
    CheckListStream(file, &report);
    std::fclose(file);
    ReleaseList();
    return report;
}

// The errors, or the warnings, without their notes; or the notes alone.
std::vector<std::string> Lines(const ListReport& report, bool warnings) {
    std::vector<std::string> lines;
    for (const Finding& finding : report.findings) {
        if (!finding.text.empty() && finding.error != warnings) {
            lines.push_back(FormatFinding("L", finding));
        }
    }
    return lines;
}

std::vector<std::string> Notes(const ListReport& report) {
    std::vector<std::string> lines;
    for (const Finding& finding : report.findings) {
        if (!finding.note.empty()) {
            lines.push_back(FormatNote("L", finding));
        }
    }
    return lines;
}

struct WarningCase {
    const char* name;
    std::string list;
    // "L:LINE: warning: " and the start of its text; empty: no warning at all.
    std::string warning;
};

const WarningCase kWarningCases[] = {
    {"TabIndentedEntry", "MAC_ACTION = {DENY}\n001a2b3c4d5e\n\t001a2b3c4d5f\n",
     "L:3: warning: the line starts with a tab, so the server ignores it"},
    {"EntryStartingWithFF",
     "MAC_ACTION = {DENY}\n001a2b3c4d5e\n\xff"
     "001a2b3c4d5f\n",
     "L:3: warning: the line starts with a byte 0xFF"},
    {"RemarkAfterHeader",
     "# x\nMAC_ACTION = {ALLOW} # office\nMAC_ACTION = {ALLOW}\n001a2b3c4d5e\n",
     "L:2: warning: '# office' after the action makes this no header line: the server looks "
     "further and takes line 3 as the header"},
    {"HeaderLastWithoutLineFeed", "# x\n\n# y\nMAC_ACTION = {DENY}",
     "L:4: warning: the header line is the file's last line and has no line feed"},
    {"TabBeforeEquals", "MAC_ACTION\t= {DENY}\nMAC_ACTION = {DENY}\n001a2b3c4d5e\n",
     "L:1: warning: not a header line: MAC_ACTION must be followed by '=' and '{'"},
    {"ListedTwice", "MAC_ACTION = {DENY}\n001a2b3c4d5e\n# x\n001A2B3C4D5E  # again\n",
     "L:4: warning: 001a2b3c4d5e is listed already on line 2"},
    {"GroupAddress", "MAC_ACTION = {DENY}\n333300000001\n",
     "L:2: warning: 333300000001 is a group (multicast) address"},
    {"BroadcastAddress", "MAC_ACTION = {DENY}\nFFFFFFFFFFFF\n",
     "L:2: warning: ffffffffffff is the broadcast address"},
    {"AllZeroAddress", "MAC_ACTION = {ALLOW}\n000000000000\n",
     "L:2: warning: 000000000000 is the all-zero address, which a client sends when it has no "
     "hardware address"},
    {"TabIndentedSecondHeader", "MAC_ACTION = {DENY}\n001a2b3c4d5e\n\tMAC_ACTION = {ALLOW}\n",
     "L:3: warning: a second header line"},
    {"AddressUnderPrefix", "MAC_ACTION = {DENY}\n001C23aabbcc\n# x\n001c23*\n",
     "L:2: warning: 001c23aabbcc is covered already by the prefix entry 001c23* on line 4"},
    {"PrefixUnderPrefix", "MAC_ACTION = {DENY}\n001c*\n001c23*\n",
     "L:3: warning: 001c23* is covered already by the prefix entry 001c* on line 2"},
    {"PrefixListedTwice", "MAC_ACTION = {DENY}\n001c23*\n001C23*\n",
     "L:3: warning: 001c23* is listed already on line 2"},
    {"LongHeaderLine", "MAC_ACTION = {DENY}" + std::string(90, ' ') + "\n001a2b3c4d5e\n",
     "L:1: warning: the header line is longer than 98 characters"},
    {"LongEntryLine",
     "MAC_ACTION = {DENY}\n001a2b3c4d5e\n" + std::string(99, ' ') + "001a2b3c4d5f\n",
     "L:3: warning: the line is longer than 99 characters: the server reads the first 99"},
    {"AllowListWithoutAddress", "# x\nMAC_ACTION = {ALLOW}\n# none yet\n",
     "L:2: warning: an ALLOW list that loads no address: the server serves every client"},
    // What the loader passes over in silence and is no mistake.
    {"DenyListWithoutAddress", "MAC_ACTION = {DENY}\n# none yet\n", ""},
    {"TabOnlyAndTabbedRemark", "MAC_ACTION = {DENY}\n001a2b3c4d5e\t# x\n\t\n\t# y\n \t\n", ""},
    {"HeaderWithTabsAndBraces", "  MAC_ACTION = { ALLOW }}\t\n001a2b3c4d5e\n", ""},
    {"SameKeyInOneLineOnly", "MAC_ACTION = {DENY}\n001a2b3c4d5e\n001a2b3c4d5f\n", ""},
    {"LongRemark", "MAC_ACTION = {DENY}\n001a2b3c4d5e  #" + std::string(200, 'x') + "\n", ""},
    {"LongBlankLine", "MAC_ACTION = {DENY}\n001a2b3c4d5e" + std::string(200, ' ') + "\n", ""},
    {"LocallyAdministered", "MAC_ACTION = {DENY}\n020000000001\n", ""},
    {"PrefixBesideOthers", "MAC_ACTION = {DENY}\n001c23*\n001c30aabbcc\n001c2*\n",
     "L:2: warning: "
     "001c23* is covered already by the prefix entry 001c2* on line 4"},
};

void PrintTo(const WarningCase& row, std::ostream* out) {
    *out << row.name;
}

class Warnings : public testing::TestWithParam<WarningCase> {};

TEST_P(Warnings, SayWhatTheServerDoes) {
    const WarningCase& row = GetParam();
    std::vector<std::string> warnings = Lines(CheckText(row.list), true);
    if (row.warning.empty()) {
        EXPECT_TRUE(warnings.empty()) << testing::PrintToString(warnings);
        return;
    }
    ASSERT_EQ(warnings.size(), 1u) << testing::PrintToString(warnings);
    EXPECT_EQ(warnings[0].substr(0, row.warning.size()), row.warning);
}

INSTANTIATE_TEST_SUITE_P(Check, Warnings, testing::ValuesIn(kWarningCases),
                         [](const auto& info) { return std::string(info.param.name); });

// What to write instead of a line that the loader reports, said by the
// note that follows its error.
const WarningCase kNoteCases[] = {
    {"SecondHeader", "MAC_ACTION = {DENY}\n001a2b3c4d5e\n  mac_action = {allow}\n",
     "L:3: note: a second header line: a list has one action, and the server takes this line "
     "for an entry. The header on line 1 holds"},
    {"Colons", "MAC_ACTION = {DENY}\n00:1A:2b:3c:4d:5e  # x\n001a2b3c4d5f\n",
     "L:2: note: the server reads 12 hexadecimal digits without separators: write "
     "001a2b3c4d5e"},
    {"Hyphens", "MAC_ACTION = {DENY}\n001a2b3c4d5f\n  00-1A-2B-3C-4D-5E\n",
     "L:3: note: the server reads 12 hexadecimal digits without separators: write "
     "001a2b3c4d5e"},
    {"Dots", "MAC_ACTION = {DENY}\n001a.2b3c.4d5e\n001a2b3c4d5f\n", "L:2: note: the server reads"},
    {"WildcardWithHyphens", "MAC_ACTION = {DENY}\n001a2b3c4d5e\n00-1C-23-*-*-*\n",
     "L:3: note: the server reads a prefix as its digits and a '*': write 001c23*"},
};

class NotesAfterErrors : public testing::TestWithParam<WarningCase> {};

TEST_P(NotesAfterErrors, SayWhatToWriteInstead) {
    const WarningCase& row = GetParam();
    ListReport report = CheckText(row.list);
    std::vector<std::string> notes = Notes(report);
    EXPECT_TRUE(Lines(report, true).empty()) << testing::PrintToString(Lines(report, true));
    ASSERT_EQ(notes.size(), 1u) << testing::PrintToString(notes);
    EXPECT_EQ(notes[0].substr(0, row.warning.size()), row.warning);
}

INSTANTIATE_TEST_SUITE_P(Check, NotesAfterErrors, testing::ValuesIn(kNoteCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct ErrorCase {
    const char* name;
    std::string list;
    std::vector<std::string> errors;
};

// "00", a NUL, "1a": the loader sees "00" and must not lose count of lines.
const char kNulLine[] =
    "MAC_ACTION = {DENY}\n00\0"
    "1a\n001a2b3c4d\n001a2b3c4d5e\n";
const std::string kListWithNul(kNulLine, sizeof kNulLine - 1);

void PrintTo(const ErrorCase& row, std::ostream* out) {
    *out << row.name;
}

const ErrorCase kErrorCases[] = {
    {"CommentsAboveHeader",
     "# a\n# b\nMAC_ACTION = {DENY}\n\n001a2b3c4d\n001a2b3c4d5e\n",
     {"L:5: error: Mac Address 001a2b3c4d not of proper format"}},
    {"HeaderSearch",
     "\n# c\nnot a header\nMAC_ACTION = {DEN}\nMAC_ACTION = {DENY}\n001a2b3c4d5e\n",
     {"L:1: error: 'MAC_ACTION' Not Specified Properly",
      "L:3: error: 'MAC_ACTION' Not Specified Properly", "L:4: error: Action not correct"}},
    {"EveryEntryMessage",
     "MAC_ACTION = {DENY}\n001a2b3c4d5e7\n001a2b3c4d\n001a2b3c4dzz\n001a2b3c4d5e\n",
     {"L:2: error: Line Not In Proper Format",
      "L:3: error: Mac Address 001a2b3c4d not of proper format",
      "L:4: error: Mac Address 001a2b3c4dzz is not in proper format"}},
    {"LongLinesCountOnce",
     "MAC_ACTION = {DENY}\n" + std::string(250, '#') + "\n001a2b3c4d5e\n" + std::string(99, ' ') +
         "x\n001a2b3c4d\n",
     {"L:5: error: Mac Address 001a2b3c4d not of proper format"}},
    {"CarriageReturns",
     "MAC_ACTION = {DENY}\r\n\r\n001a2b3c4d\r\n001a2b3c4d5e\r\n",
     {"L:3: error: Mac Address 001a2b3c4d not of proper format"}},
    {"LineHoldingNul",
     kListWithNul,
     {"L:2: error: Mac Address 00 not of proper format",
      "L:3: error: Mac Address 001a2b3c4d not of proper format"}},
    {"EndOfFileByte",
     "MAC_ACTION = {DENY}\n001a2b3c4d5e\n\x1a"
     "001a2b3c4d\n",
     {}},
    {"Empty", "", {"L:1: error: Nothing in the file", "L: error: File format not proper"}},
};

class Errors : public testing::TestWithParam<ErrorCase> {};

TEST_P(Errors, NameTheLineInTheFile) {
    EXPECT_EQ(Lines(CheckText(GetParam().list), false), GetParam().errors);
}

INSTANTIATE_TEST_SUITE_P(Check, Errors, testing::ValuesIn(kErrorCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct NotationCase {
    const char* text;
    const char* digits;  // null: not an address
    bool prefix;
};

const NotationCase kNotationCases[] = {
    {"001A2B3C4D5E", "001a2b3c4d5e", false},
    {"00:1a:2b:3c:4d:5e", "001a2b3c4d5e", false},
    {"00-1A-2B-3C-4D-5E", "001a2b3c4d5e", false},
    {"001a.2b3c.4d5e", "001a2b3c4d5e", false},
    {"0:1a:2b:3c:4d:5", "001a2b3c4d05", false},
    {"00-1C-23-*-*-*", "001c23", true},
    {"00:1c:*:*:*:*", "001c", true},
    {"001C*", "001c", true},
    {"52:54:00:*", "525400", true},
    {"52-54-00-*", "525400", true},
    {"52:*", "52", true},
    {"52:54:00", nullptr, false},
    {"52:54:00:*:*:*:*", nullptr, false},
    {"52:5:00:*", nullptr, false},
    {"*:54:00", nullptr, false},
    {"001a2b3c4d5", nullptr, false},
    {"001a2b3c4d5e6", nullptr, false},
    {"001a2b3c4d5g", nullptr, false},
    {"00:1a:2b:3c:4d", nullptr, false},
    {"00:1a:2b:3c:4d:5e:6f", nullptr, false},
    {"00:1a-2b:3c:4d:5e", nullptr, false},
    {"00::1a:2b:3c:4d", nullptr, false},
    {"001:a2:b3:c4:d5:e6", nullptr, false},
    {"001a.2b3c.4d5", nullptr, false},
    {"001a:2b3c:4d5e", nullptr, false},
    {"00-1C-*-23-*-*", nullptr, false},
    {"0-1C-23-*-*-*", nullptr, false},
    {"*-*-*-*-*-*", nullptr, false},
    {"*", nullptr, false},
    {"00*1c", nullptr, false},
    {"", nullptr, false},
};

TEST(Notation, ReadsTheUsualFormsAndNothingElse) {
    for (const NotationCase& row : kNotationCases) {
        Notation notation;
        bool parsed = ParseNotation(row.text, &notation);
        EXPECT_EQ(parsed, row.digits != nullptr) << row.text;
        if (parsed && row.digits != nullptr) {
            EXPECT_EQ(notation.digits, row.digits) << row.text;
            EXPECT_EQ(notation.prefix, row.prefix) << row.text;
        }
    }
}

// What import reports on a line, against the words of a switch's table and
// its footer, which pass in silence.
TEST(Notation, TellsAttemptsAtAnAddressFromOtherWords) {
    const std::pair<const char*, bool> rows[] = {
        {"00:1a:2b:3c:4d", true},
        {"00::1a:2b:3c:4d", true},
        {"00-1C-*-23-*-*", true},
        {"0-1C-23-*-*-*", true},
        {"001a.2b3c.4d5", true},
        {"001a2b3c4d", true},
        {"001a2b3c4d5e7", true},
        {"00*1c", true},
        {"10", false},
        {"Add", false},
        {"12:30:45", false},
        {"2026-12-09", false},
        {"10.0.0.1", false},
        {"15.2.7", false},
        {"fe80::21a", false},
        {"1-4", false},
        {"*", false},
        {"2026", false},
    };
    for (const auto& [text, attempt] : rows) {
        EXPECT_EQ(LooksLikeAddress(text), attempt) << text;
    }
}

TEST(Notation, TellsGroupBroadcastAndZeroApart) {
    const std::pair<const char*, AddressKind> rows[] = {
        {"001a2b3c4d5e", AddressKind::kClient},    {"020000000001", AddressKind::kClient},
        {"01005e0000fb", AddressKind::kGroup},     {"333300000001", AddressKind::kGroup},
        {"ffffffffffff", AddressKind::kBroadcast}, {"000000000000", AddressKind::kZero},
    };
    for (const auto& [digits, kind] : rows) {
        EXPECT_EQ(KindOfAddress(digits), kind) << digits;
    }
}

// Each record as "LINE:[field|field]", or "LINE:error" for a bad one.
std::vector<std::string> ReadAll(const std::string& text) {
    CsvReader reader;
    reader.text = text;
    std::vector<std::string> records;
    CsvRecord record;
    std::string error;
    for (;;) {
        CsvResult result = ReadCsvRecord(&reader, &record, &error);
        if (result == CsvResult::kEnd) {
            return records;
        }
        std::string line = std::to_string(record.line) + ":";
        if (result == CsvResult::kBadRecord) {
            records.push_back(line + error);
            continue;
        }
        for (size_t i = 0; i < record.fields.size(); ++i) {
            line += (i == 0 ? "[" : "|") + record.fields[i];
        }
        records.push_back(line + "]");
    }
}

TEST(Csv, ReadsRfc4180) {
    const std::pair<std::string, std::vector<std::string>> rows[] = {
        {"a,b\r\nc,d\r\n", {"1:[a|b]", "2:[c|d]"}},
        {"\"x, y\",\"say \"\"hi\"\"\"\n", {"1:[x, y|say \"hi\"]"}},
        {"\"two\r\nlines\",z\nnext\n", {"1:[two\r\nlines|z]", "3:[next]"}},
        {",,\n\n", {"1:[||]", "2:[]"}},
        {"a,b", {"1:[a|b]"}},
        {"a\rb\n", {"1:[a]", "2:[b]"}},
        {"x,\"\"\n", {"1:[x|]"}},
        {"a,\"b\nc\n", {"1:a quoted field is not closed"}},
        {"\"a\"b,c\nd\n",
         {"1:a quoted field is followed by something other than a comma", "2:[d]"}},
    };
    for (const auto& [text, records] : rows) {
        EXPECT_EQ(ReadAll(text), records) << text;
    }
}

TEST(Csv, ReadsBackWhatItWrites) {
    const std::vector<std::string> fields = {"plain",  "with, comma",  "\"quoted\"", " lead",
                                             "trail ", "two\r\nlines", "",           "ü"};
    std::string line;
    for (const std::string& field : fields) {
        line += (line.empty() ? "" : ",") + CsvField(field);
    }
    EXPECT_EQ(line,
              "plain,\"with, comma\",\"\"\"quoted\"\"\",\" lead\",\"trail \",\"two\r\nlines\",,ü");
    CsvReader reader;
    reader.text = line;
    CsvRecord record;
    std::string error;
    ASSERT_EQ(ReadCsvRecord(&reader, &record, &error), CsvResult::kRecord);
    EXPECT_EQ(record.fields, fields);
}

// The action comes from a header line only as the loader takes it; a line
// meant as one that the loader refuses leaves it open without --action.
TEST(Import, TakesTheActionByTheLoadersHeaderRule) {
    const std::pair<const char*, const char*> rows[] = {
        {"MAC_ACTION = {DENY}\n", "MAC_ACTION = {DENY}\n"},
        {" \tmac_action={allow}}\t\n", "MAC_ACTION = {ALLOW}\n"},
        {"# MAC_ACTION = {DENY}\n", "MAC_ACTION = {ALLOW}\n"},
        {"MAC_ACTION = {ALLOW} # was deny\n", nullptr},
        {"MAC_ACTION\t= {DENY}\n", nullptr},
        {"MAC_ACTION = {REFUSE}\n", nullptr},
        {"MAC_ACTION = {ALLOW} # was deny\nMAC_ACTION = {DENY}\n", "MAC_ACTION = {DENY}\n"},
    };
    for (const auto& [header, first] : rows) {
        ImportOutcome outcome =
            ImportAddresses({{"in", std::string(header) + "001a2b3c4d5e\n"}}, ListAction::kUnset);
        EXPECT_EQ(outcome.actionUndecided, first == nullptr) << header;
        EXPECT_EQ(outcome.list.substr(0, outcome.list.find('\n') + 1), first ? first : "")
            << header;
        ImportOutcome given =
            ImportAddresses({{"in", std::string(header) + "001a2b3c4d5e\n"}}, ListAction::kDeny);
        EXPECT_EQ(given.list.substr(0, given.list.find('\n') + 1), "MAC_ACTION = {DENY}\n")
            << header;
    }
}

// Generated inputs: addresses in every notation among junk, remarks of any
// bytes, CSV with and without quotes, a byte-order mark and CR LF.
struct Generated {
    std::vector<ImportSource> sources;
    std::set<std::string> clients;  // every client address and prefix the sources hold
};

Generated Generate(std::mt19937* random) {
    auto pick = [random](int n) {
        return static_cast<int>((*random)() % static_cast<unsigned>(n));
    };
    auto address = [&] {
        std::string digits;
        for (int i = 0; i < 12; ++i) {
            digits += "0123456789abcdef"[pick(16)];
        }
        const char* special[] = {"000000000000", "ffffffffffff", "01005e0000fb"};
        return pick(10) == 0 ? std::string(special[pick(3)]) : digits;
    };
    auto written = [&](const std::string& digits) {
        std::string text;
        switch (pick(5)) {
            case 0:
                for (char c : digits) {
                    text += pick(2) ? static_cast<char>(std::toupper(c)) : c;
                }
                return text;
            case 1:
            case 2:
                for (size_t i = 0; i < 12; i += 2) {
                    text += (i ? (pick(2) ? ":" : "-") : "") + digits.substr(i, 2);
                }
                return text;  // a mix of ':' and '-' is no address
            case 3:
                return digits.substr(0, 4) + "." + digits.substr(4, 4) + "." + digits.substr(8);
            default:
                return digits.substr(0, 2 + pick(8)) + "*";
        }
    };
    auto remark = [&] {
        std::string text;
        const char pieces[] =
            " #,;:\"|\t\r\x1a\xff\x01"
            "abcXYZ09-.*";
        for (int n = pick(100); n > 0; --n) {
            text += pieces[pick(sizeof pieces - 1)];
        }
        return pick(4) == 0 ? text + "\xc3\xa9t\xc3\xa9" : text;
    };
    // What import must find as written, as the list file writes it: a
    // client's own address or a prefix in a notation of one (a mix of
    // separators is none); empty when there is none.
    auto findable = [](const std::string& digits, const std::string& text) {
        Notation notation;
        if (!ParseNotation(text, &notation)) {
            return std::string();
        }
        if (notation.prefix) {
            return notation.digits + "*";
        }
        return KindOfAddress(digits) == AddressKind::kClient ? digits : std::string();
    };
    Generated generated;
    for (int s = pick(3) + 1; s > 0; --s) {
        ImportSource source{"in" + std::to_string(s), pick(2) ? "\xEF\xBB\xBF" : ""};
        bool csv = pick(2) == 0;
        const char* end = pick(2) ? "\r\n" : "\n";
        if (csv) {
            source.text += std::string(pick(2) ? "\"List\",\"MacAddress\",\"Description\""
                                               : "List,MacAddress,Description") +
                           end;
        }
        for (int n = pick(30); n > 0; --n) {
            std::string digits = address();
            std::string text = written(digits);
            bool allowed = !csv || pick(3) != 0;
            if (csv) {
                source.text += std::string(allowed ? "Allow," : "Deny,") + CsvField(text) + "," +
                               CsvField(remark()) + end;
            } else if (pick(8) == 0) {
                source.text += remark() + end;  // a line of junk
                allowed = false;
            } else {
                std::string rest = remark();
                for (char& c : rest) {
                    c = (c == '\r' || c == '\n') ? ' ' : c;
                }
                source.text += text + " " + rest + end;
            }
            std::string entry = findable(digits, text);
            if (allowed && !entry.empty()) {
                generated.clients.insert(entry);
            }
        }
        generated.sources.push_back(source);
    }
    return generated;
}

TEST(Import, WritesWhatCheckFindsCleanWithEveryClientAddress) {
    std::mt19937 random(20261209);
    for (int round = 0; round < 400; ++round) {
        Generated generated = Generate(&random);
        ImportOutcome outcome = ImportAddresses(generated.sources, ListAction::kAllow);
        if (outcome.list.empty()) {
            continue;
        }
        ListReport report = CheckText(outcome.list);
        ASSERT_TRUE(report.findings.empty())
            << outcome.list << testing::PrintToString(Lines(report, false))
            << testing::PrintToString(Lines(report, true));
        std::set<std::string> loaded;
        for (const ListEntry& entry : report.entries) {
            loaded.insert(entry.key);
        }
        EXPECT_EQ(report.addresses + report.prefixes, report.entries.size());
        for (const std::string& client : generated.clients) {
            bool served = loaded.count(client) != 0;
            for (size_t length = 1; length < 12 && !served; ++length) {
                served = loaded.count(client.substr(0, length) + "*") != 0;
            }
            EXPECT_TRUE(served) << client << " lost from\n" << outcome.list;
        }
        // The Windows filter's CSV of the list imports back to the same list.
        ImportOutcome again =
            ImportAddresses({{"csv", WindowsFilterCsv(report)}}, ListAction::kAllow);
        EXPECT_EQ(again.list, outcome.list);
    }
}

}  // namespace
}  // namespace macgate
