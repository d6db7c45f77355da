#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "config/logs.h"
#include "config/state.h"
#include "core_helpers.h"
#include "filter/address_set.h"
#include "filter/list_file.h"
#include "platform/platform.h"

namespace macgate {
namespace {

void OpenLogs(int32_t infoLogEnabled = 1) {
    ErrorLog = std::tmpfile();
    InfoLog = std::tmpfile();
    InfoLogEnabled = infoLogEnabled;
}

// The keys in ascending order, one a line; each must also be found by lookup.
void AppendKeys(const AddressNode* node, const AddressNode* root, std::string& out) {
    if (node == nullptr) {
        return;
    }
    AppendKeys(node->left, root, out);
    out += std::string(node->key) + "\n";
    EXPECT_EQ(AddressSetFind(node->key, root), node);
    AppendKeys(node->right, root, out);
}

// Loads `bytes` as a list file, writes its diagnostics as start-up does and
// gives everything the load left behind: both logs, the action, the prefix
// lengths and the set.
std::string LoadAndDump(const std::string& bytes) {
    ResetStateForTesting();
    OpenLogs();
    LoadedList list;
    LoadText(bytes, list);
    WriteListDiagnostics(list);
    std::string out = "== error log\n" + ReadBack(ErrorLog) + "== info log\n" + ReadBack(InfoLog) +
                      "== action " + std::to_string(list.FilterAction) + "\n";
    if (list.PrefixLengths != 0) {
        out += "== prefix lengths";
        for (int digits = 0; digits < 16; ++digits) {
            if ((list.PrefixLengths & (1u << digits)) != 0) {
                out += " " + std::to_string(digits);
            }
        }
        out += "\n";
    }
    out += "== keys\n";
    AppendKeys(list.AddressSet, list.AddressSet, out);
    EntryCounts counted = CountEntries(list.AddressSet);
    EXPECT_EQ(list.Entries.addresses, counted.addresses);
    EXPECT_EQ(list.Entries.prefixes, counted.prefixes);
    for (const ListSection& section : list.Sections) {
        char network[kNetworkTextSize];
        FormatNetwork(section.network, section.prefixLength, network);
        out += "== section " + std::string(network) + " action " +
               std::to_string(section.FilterAction) + " lines " + std::to_string(section.fileLine) +
               "-" + std::to_string(section.lastLine);
        if (section.FilterAction == kSectionClosed) {
            out += " closed by " + std::to_string(section.closedBy) + "\n";
            EXPECT_EQ(section.Entries.addresses + section.Entries.prefixes, 0u);
            continue;
        }
        out += "\n";
        AppendKeys(section.AddressSet, section.AddressSet, out);
        EXPECT_EQ(
            section.Entries.addresses + section.Entries.prefixes,
            CountEntries(section.AddressSet).addresses + CountEntries(section.AddressSet).prefixes);
    }
    if (list.UnreadableScopeLine != 0) {
        out += "== unusable by line " + std::to_string(list.UnreadableScopeLine) + "\n";
    }
    FreeLoadedList(list);
    return out;
}

std::string ReadDataFile(const std::string& name) {
    const std::string path = std::string(MACGATE_TEST_DATA_DIR) + "/list/" + name;
    EXPECT_TRUE(std::ifstream(path).good()) << name;
    return ReadFile(path);
}

std::string WithCrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

// Each list under tests/data/list/ beside the exact logs, action and keys
// that loading it must give, with LF and with CR LF line ends alike.
class ListFileGolden : public testing::TestWithParam<const char*> {};

TEST_P(ListFileGolden, LoadGivesGoldenLogsActionAndKeys) {
    std::string list = ReadDataFile(std::string(GetParam()) + ".lst");
    std::string golden = ReadDataFile(std::string(GetParam()) + ".golden");
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(LoadAndDump(list), golden) << "LF line ends";
    EXPECT_EQ(LoadAndDump(WithCrLf(list)), golden) << "CR LF line ends";
}

INSTANTIATE_TEST_SUITE_P(Lists, ListFileGolden,
                         testing::Values("entry_checks", "remarks_above_header", "header_search",
                                         "header_with_remark_only", "duplicates", "long_lines",
                                         "no_final_line_feed", "header_without_line_feed",
                                         "eof_byte", "only_eof_byte", "empty", "long_action_word",
                                         "prefix_lengths", "prefix_malformed", "prefix_duplicates",
                                         "prefixes_only", "sections", "sections_unusable",
                                         "bom_before_header", "bom_before_blank_line",
                                         "bom_in_the_middle", "utf16_little_endian",
                                         "utf16_big_endian"));

constexpr int kUntouched = 2;  // FilterAction before each header case
constexpr char kNotSpecified[] = "'MAC_ACTION' Not Specified Properly\n";
constexpr char kNotCorrect[] = "Action not correct\n";
constexpr char kAllow[] = "Action specified is : ALLOW\n";
constexpr char kDeny[] = "Action specified is : DENY\n";

struct HeaderCase {
    const char* line;
    HeaderStop stop;  // the line is accepted at kHeader only
    int action;
    const char* errors;
    const char* info;
};

const HeaderCase kHeaderCases[] = {
    // Accepted forms.
    {"MAC_ACTION = {ALLOW}\n", HeaderStop::kHeader, 1, "", kAllow},
    {"mac_action={deny}\n", HeaderStop::kHeader, 0, "", kDeny},
    {" \t MAC_action  =  {  Allow  } \t}}\n", HeaderStop::kHeader, 1, "", kAllow},
    {"MAC_ACTION = {DENY \n", HeaderStop::kHeader, 0, "", kDeny},
    // Not the keyword.
    {"\n", HeaderStop::kKeyword, kUntouched, kNotSpecified, ""},
    {"", HeaderStop::kKeyword, kUntouched, kNotSpecified, ""},
    {"MAC_ACTIO\n", HeaderStop::kKeyword, kUntouched, kNotSpecified, ""},
    {"MAC_\xff"
     "CTION = {ALLOW}\n",
     HeaderStop::kKeyword, kUntouched, kNotSpecified, ""},
    {"MAC-ACTION = {ALLOW}\n", HeaderStop::kKeyword, kUntouched, kNotSpecified, ""},
    {"001122334455\n", HeaderStop::kKeyword, kUntouched, kNotSpecified, ""},
    // Keyword, '=' and '{' in order, but no action word.
    {"MAC_ACTION = {ALLOW\n", HeaderStop::kAction, kUntouched, kNotCorrect, ""},
    {"MAC_ACTION = {\tALLOW}\n", HeaderStop::kAction, kUntouched, kNotCorrect, ""},
    {"MAC_ACTION = {}\n", HeaderStop::kAction, kUntouched, kNotCorrect, ""},
    {"MAC_ACTION = {", HeaderStop::kAction, kUntouched, kNotCorrect, ""},
    {"MAC_ACTION = {ALLOWALLOWALLOWALLOWALLOW}\n", HeaderStop::kAction, kUntouched, kNotCorrect,
     ""},
    // Refused in silence; a recognised action word stands all the same.
    {"  # MAC_ACTION = {ALLOW}\n", HeaderStop::kComment, kUntouched, "", ""},
    {"MAC_ACTION\t= {ALLOW}\n", HeaderStop::kEquals, kUntouched, "", ""},
    {"MAC_ACTION =\t{ALLOW}\n", HeaderStop::kBrace, kUntouched, "", ""},
    {"MAC_ACTIONX={ALLOW}\n", HeaderStop::kEquals, kUntouched, "", ""},
    {"MAC_ACTION = ALLOW\n", HeaderStop::kBrace, kUntouched, "", ""},
    {"MAC_ACTION = {ALLOW} # remark\n", HeaderStop::kTail, 1, "", kAllow},
    {"MAC_ACTION = {DENY}", HeaderStop::kLineFeed, 0, "", kDeny},
    {"MAC_ACTION = {ALLOW", HeaderStop::kLineFeed, 1, "", kAllow},
};

// The text a diagnostic renders, or "" for none.
std::string TextOf(const ListDiagnostic& diagnostic) {
    char text[128] = {};
    FormatDiagnostic(diagnostic, text, sizeof text);
    return text;
}

std::string TextOf(DiagnosticKind kind, unsigned char action = 0) {
    return TextOf(ListDiagnostic{1, 0, kind, action, {}});
}

TEST(ParseActionLine, AcceptedAndRefusedHeaderForms) {
    for (const HeaderCase& c : kHeaderCases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.line)));
        ActionLine line = ParseActionLine(c.line);
        EXPECT_EQ(line.stop, c.stop);
        EXPECT_EQ(line.header, c.stop == HeaderStop::kHeader);
        EXPECT_EQ(line.actionKnown ? line.action : kUntouched, c.action);
        EXPECT_EQ(TextOf(line.message), c.errors);
        EXPECT_EQ(line.actionKnown ? TextOf(DiagnosticKind::kActionSpecified, line.action) : "",
                  c.info);
    }  // Where the word ends, for a reader that quotes the tail.
    const char kRemark[] = "MAC_ACTION = {ALLOW} # remark\n";
    EXPECT_STREQ(kRemark + ParseActionLine(kRemark).tail, "} # remark\n");
}

constexpr auto kScopeBad = DiagnosticKind::kScopeNotInFormat;
constexpr auto kScopeHost = DiagnosticKind::kScopeHostBits;

struct ScopeCase {
    const char* line;
    bool scope;
    DiagnosticKind message;
    const char* network;  // the network read, if it was; "" when it was not
    int action;
};

const ScopeCase kScopeCases[] = {
    // Well formed.
    {"SCOPE 10.1.2.0/24 = {ALLOW}      # the lab\n", true, DiagnosticKind::kNone, "10.1.2.0/24", 1},
    {"  scope\t192.168.0.0/16={deny}\n", true, DiagnosticKind::kNone, "192.168.0.0/16", 0},
    {"Scope 10.1.2.7/32 \t= \t{  Allow  } \t#\n", true, DiagnosticKind::kNone, "10.1.2.7/32", 1},
    {"SCOPE 128.0.0.0/1 = {DENY}", true, DiagnosticKind::kNone, "128.0.0.0/1", 0},
    {"SCOPE 0.0.0.0/1 = {DENY}#no space\n", true, DiagnosticKind::kNone, "0.0.0.0/1", 0},
    {"SCOPE 255.255.255.255/32 = {ALLOW}\n", true, DiagnosticKind::kNone, "255.255.255.255/32", 1},
    // Host bits set.
    {"SCOPE 10.1.2.7/24 = {ALLOW}\n", true, kScopeHost, "10.1.2.7/24", 1},
    {"SCOPE 128.0.0.1/1 = {DENY}\n", true, kScopeHost, "128.0.0.1/1", 0},
    // An element wrong: the network, once read, is still given.
    {"SCOPE10.1.2.0/24 = {ALLOW}\n", true, kScopeBad, "", 0},
    {"\tSCOPE 10.1.2.0/24 = {ALLOW}\n", true, kScopeBad, "10.1.2.0/24", 1},
    {" \t SCOPE 10.1.2.7/24 = {DENY}\n", true, kScopeBad, "10.1.2.7/24", 0},
    {"SCOPES 10.1.2.0/24 = {ALLOW}\n", true, kScopeBad, "", 0},
    {"SCOPE 10.1.2/24 = {ALLOW}\n", true, kScopeBad, "", 0},
    {"SCOPE 10.1.2.0.0/24 = {ALLOW}\n", true, kScopeBad, "", 0},
    {"SCOPE 10.1.256.0/24 = {ALLOW}\n", true, kScopeBad, "", 0},
    {"SCOPE 10.1.2.0000/24 = {ALLOW}\n", true, kScopeBad, "", 0},
    {"SCOPE 10.1.2.0 = {ALLOW}\n", true, kScopeBad, "", 0},
    {"SCOPE 10.1.2.0/0 = {ALLOW}\n", true, kScopeBad, "", 0},
    {"SCOPE 10.1.2.0/33 = {ALLOW}\n", true, kScopeBad, "", 0},
    {"SCOPE 10.1.2.0/ = {ALLOW}\n", true, kScopeBad, "", 0},
    {"SCOPE 10.1.2.0/24 {ALLOW}\n", true, kScopeBad, "10.1.2.0/24", 0},
    {"SCOPE 10.1.2.0/24 = ALLOW\n", true, kScopeBad, "10.1.2.0/24", 0},
    {"SCOPE 10.1.2.0/24 = {\tALLOW}\n", true, kScopeBad, "10.1.2.0/24", 0},
    {"SCOPE 10.1.2.0/24 = {PERMIT}\n", true, kScopeBad, "10.1.2.0/24", 0},
    {"SCOPE 10.1.2.5/24 = {ALOW}\n", true, kScopeBad, "10.1.2.5/24", 0},
    {"SCOPE 10.1.2.0/24 = {ALLOWED}\n", true, kScopeBad, "10.1.2.0/24", 1},
    {"SCOPE 10.1.2.0/24 = {ALLOW\n", true, kScopeBad, "10.1.2.0/24", 1},
    {"SCOPE 10.1.2.0/24 = {ALLOW} lab\n", true, kScopeBad, "10.1.2.0/24", 1},
    {"SCOPE 10.1.2.0/24x = {ALLOW}\n", true, kScopeBad, "10.1.2.0/24", 0},
    {"SCOPE -10.1.2.0/24 = {ALLOW}\n", true, kScopeBad, "", 0},
    {"SCOPE\n", true, kScopeBad, "", 0},
    // Not scope lines at all.
    {"SCOP 10.1.2.0/24 = {ALLOW}\n", false, DiagnosticKind::kNone, "", 0},
    {"# SCOPE 10.1.2.0/24 = {ALLOW}\n", false, DiagnosticKind::kNone, "", 0},
    {"001a2b3c4d5e\n", false, DiagnosticKind::kNone, "", 0},
};

TEST(ParseScopeLine, WellFormedAndBadScopeLines) {
    for (const ScopeCase& c : kScopeCases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.line)));
        ScopeLine line = ParseScopeLine(c.line);
        EXPECT_EQ(line.scope, c.scope);
        EXPECT_EQ(line.message, c.message);
        EXPECT_EQ(line.networkRead, c.network[0] != '\0');
        if (c.network[0] != '\0') {
            char network[kNetworkTextSize];
            FormatNetwork(line.network, line.prefixLength, network);
            EXPECT_STREQ(network, c.network);
        }
        if (c.message != kScopeBad && c.network[0] != '\0') {
            EXPECT_EQ(line.action, c.action);
        }
    }
}

TEST(ParseActionLine, LongActionWordIsCutAtNineteen) {
    EXPECT_FALSE(ParseActionLine("MAC_ACTION = {allowallowallowallowallow}\n").header);
    EXPECT_STREQ(ParseActionLine("MAC_ACTION = {allowallowallowallowallow}\n").word,
                 "ALLOWALLOWALLOWALLO");
}

TEST(ListDiagnostics, InfoLogWrittenOnlyWhenEnabled) {
    OpenLogs(0);
    LoadedList list;
    LoadText("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n", list);
    WriteListDiagnostics(list);
    EXPECT_EQ(list.FilterAction, 1);
    EXPECT_EQ(ReadBack(InfoLog), "");
    FreeLoadedList(list);
}

// The action line goes to the info log as every other write does: under
// InfoLogLock, which another thread then finds taken.
int (*RealFormat)(FILE*, const char*, va_list) = nullptr;
int InfoLogWritesUnlocked = 0;
int InfoLogWrites = 0;

int LockCheckingFormat(FILE* stream, const char* format, va_list args) {
    if (stream == InfoLog) {
        ++InfoLogWrites;
        std::thread([] {
            if (InfoLogLock.try_lock()) {
                ++InfoLogWritesUnlocked;
                InfoLogLock.unlock();
            }
        }).join();
    }
    return RealFormat(stream, format, args);
}

TEST(ListDiagnostics, ActionLineIsWrittenUnderInfoLogLock) {
    OpenLogs();
    LoadedList list;
    LoadText("MAC_ACTION = {DENY} # no header\nMAC_ACTION = {ALLOW}\n", list);
    RealFormat = Platform.FormatFile;
    Platform.FormatFile = LockCheckingFormat;
    InfoLogWrites = InfoLogWritesUnlocked = 0;
    WriteListDiagnostics(list);
    EXPECT_EQ(InfoLogWrites, 2);
    EXPECT_EQ(InfoLogWritesUnlocked, 0);
    EXPECT_EQ(ReadBack(InfoLog), "Action specified is : DENY\nAction specified is : ALLOW\n");
    FreeLoadedList(list);
}

// What the loader keeps of each line it names, in file order: the line's
// number in the file, and the kind, field and quoted number of its text.
TEST(ListDiagnostics, EachReportedLineAsData) {
    LoadedList list;
    LoadText("# remark\n\nMAC_ACTION = {ALLOW}\n0011223344\n00-11-22-33-44-55\n00112233445g\n",
             list);
    std::string kept;
    for (const ListDiagnostic& d : list.Diagnostics) {
        kept += std::to_string(d.fileLine) + ": " + TextOf(d);
    }
    EXPECT_EQ(kept,
              "2: 'MAC_ACTION' Not Specified Properly\n"
              "3: Action specified is : ALLOW\n"
              "4: Mac Address 0011223344 on line number 4 not of proper format\n"
              "5: Line Number 5 Not In Proper Format\n"
              "6: Mac Address 00112233445g on line number 6 is not in proper format\n");
    FreeLoadedList(list);
}

// Covered by a prefix: the longest shorter prefix entry a key begins with.
TEST(CoveringPrefix, LongestShorterPrefixEntryThatAKeyBeginsWith) {
    LoadedList list;
    LoadText("MAC_ACTION = {DENY}\n001C*\n001c23*\n001c23abcdef\n", list);
    struct Case {
        const char* key;
        int digits;
        int covering;
    };
    const Case kCases[] = {
        {"001c23abcdef", 12, 6}, {"001c24000000", 12, 4}, {"001d00000000", 12, 0},
        {"001c23******", 6, 4},  {"001c********", 4, 0},  {"001c2*******", 5, 4},
    };
    for (const Case& c : kCases) {
        EXPECT_EQ(CoveringPrefix(list, c.key, c.digits), c.covering) << c.key;
    }
    FreeLoadedList(list);
}

TEST(IsHexAddress, OnlyTheFirstTwelveCharactersAndOnlyHexDigits) {
    EXPECT_EQ(IsHexAddress("0123456789ab"), 1);
    EXPECT_EQ(IsHexAddress("CDEFcdef0000 and more"), 1);
    for (const char* text : {"/00000000000", ":00000000000", "@00000000000", "G00000000000",
                             "`00000000000", "g00000000000", "00000000000\xe1", "00000"}) {
        EXPECT_EQ(IsHexAddress(text), 0) << text;
    }
}

}  // namespace
}  // namespace macgate
