#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "config/state.h"
#include "filter/address_set.h"
#include "filter/list_file.h"

namespace macgate {
namespace {

FILE* TempFileWith(const std::string& bytes) {
    FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::rewind(file);
    return file;
}

std::string ReadBack(FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

void OpenLogs(int32_t infoLogEnabled = 1) {
    ErrorLog = std::tmpfile();
    InfoLog = std::tmpfile();
    InfoLogEnabled = infoLogEnabled;
}

// The keys in ascending order, one a line; each must also be found by lookup.
void AppendKeys(const AddressNode* node, std::string& out) {
    if (node == nullptr) {
        return;
    }
    AppendKeys(node->left, out);
    out += std::string(node->key) + "\n";
    EXPECT_EQ(AddressSetFind(node->key, AddressSet), node);
    AppendKeys(node->right, out);
}

// Loads `bytes` as a list file from a fresh state, and gives everything the
// load left behind: both logs, the action and the set.
std::string LoadAndDump(const std::string& bytes) {
    ResetStateForTesting();
    OpenLogs();
    FILE* list = TempFileWith(bytes);
    LoadAddressList(list);
    std::fclose(list);
    std::string out = "== error log\n" + ReadBack(ErrorLog) + "== info log\n" + ReadBack(InfoLog) +
                      "== action " + std::to_string(FilterAction) + "\n";
    if (PrefixLengths != 0) {
        out += "== prefix lengths";
        for (int digits = 0; digits < 16; ++digits) {
            if ((PrefixLengths & (1u << digits)) != 0) {
                out += " " + std::to_string(digits);
            }
        }
        out += "\n";
    }
    out += "== keys\n";
    AppendKeys(AddressSet, out);
    return out;
}

std::string ReadDataFile(const std::string& name) {
    std::ifstream in(std::string(MACGATE_TEST_DATA_DIR) + "/list/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
                                         "prefixes_only", "bom_before_header",
                                         "bom_before_blank_line", "bom_in_the_middle",
                                         "utf16_little_endian", "utf16_big_endian"));

constexpr int kUntouched = 2;  // FilterAction before each header case
constexpr char kNotSpecified[] = "'MAC_ACTION' Not Specified Properly\n";
constexpr char kNotCorrect[] = "Action not correct\n";
constexpr char kAllow[] = "Action specified is : ALLOW\n";
constexpr char kDeny[] = "Action specified is : DENY\n";

struct HeaderCase {
    const char* line;
    bool accepted;
    int action;
    const char* errors;
    const char* info;
};

const HeaderCase kHeaderCases[] = {
    // Accepted forms.
    {"MAC_ACTION = {ALLOW}\n", true, 1, "", kAllow},
    {"mac_action={deny}\n", true, 0, "", kDeny},
    {" \t MAC_action  =  {  Allow  } \t}}\n", true, 1, "", kAllow},
    {"MAC_ACTION = {DENY \n", true, 0, "", kDeny},
    // Not the keyword.
    {"\n", false, kUntouched, kNotSpecified, ""},
    {"", false, kUntouched, kNotSpecified, ""},
    {"MAC_ACTIO\n", false, kUntouched, kNotSpecified, ""},
    {"MAC_\xff"
     "CTION = {ALLOW}\n",
     false, kUntouched, kNotSpecified, ""},
    {"MAC-ACTION = {ALLOW}\n", false, kUntouched, kNotSpecified, ""},
    {"001122334455\n", false, kUntouched, kNotSpecified, ""},
    // Keyword, '=' and '{' in order, but no action word.
    {"MAC_ACTION = {ALLOW\n", false, kUntouched, kNotCorrect, ""},
    {"MAC_ACTION = {\tALLOW}\n", false, kUntouched, kNotCorrect, ""},
    {"MAC_ACTION = {}\n", false, kUntouched, kNotCorrect, ""},
    {"MAC_ACTION = {", false, kUntouched, kNotCorrect, ""},
    {"MAC_ACTION = {ALLOWALLOWALLOWALLOWALLOW}\n", false, kUntouched, kNotCorrect, ""},
    // Refused in silence; a recognised action word stands all the same.
    {"  # MAC_ACTION = {ALLOW}\n", false, kUntouched, "", ""},
    {"MAC_ACTION\t= {ALLOW}\n", false, kUntouched, "", ""},
    {"MAC_ACTION =\t{ALLOW}\n", false, kUntouched, "", ""},
    {"MAC_ACTIONX={ALLOW}\n", false, kUntouched, "", ""},
    {"MAC_ACTION = ALLOW\n", false, kUntouched, "", ""},
    {"MAC_ACTION = {ALLOW} # remark\n", false, 1, "", kAllow},
    {"MAC_ACTION = {DENY}", false, 0, "", kDeny},
    {"MAC_ACTION = {ALLOW", false, 1, "", kAllow},
};

TEST(ParseActionLine, AcceptedAndRefusedHeaderForms) {
    for (const HeaderCase& c : kHeaderCases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.line)));
        ResetStateForTesting();
        OpenLogs();
        FilterAction = kUntouched;
        EXPECT_EQ(ParseActionLine(c.line), c.accepted);
        EXPECT_EQ(FilterAction, c.action);
        EXPECT_EQ(ReadBack(ErrorLog), c.errors);
        EXPECT_EQ(ReadBack(InfoLog), c.info);
    }
}

TEST(ParseActionLine, LongActionWordIsCutAtNineteen) {
    OpenLogs();
    EXPECT_FALSE(ParseActionLine("MAC_ACTION = {allowallowallowallowallow}\n"));
    EXPECT_STREQ(ActionWord, "ALLOWALLOWALLOWALLO");
}

TEST(ParseActionLine, InfoLogWrittenOnlyWhenEnabled) {
    OpenLogs(0);
    EXPECT_TRUE(ParseActionLine("MAC_ACTION = {ALLOW}\n"));
    EXPECT_EQ(FilterAction, 1);
    EXPECT_EQ(ReadBack(InfoLog), "");
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
