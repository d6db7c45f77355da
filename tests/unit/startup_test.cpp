// Start-up from its three paths: what each path leaves in both logs, in the
// set and in the verdicts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "config/decision.h"
#include "config/startup.h"
#include "config/state.h"
#include "core_helpers.h"
#include "filter/address_set.h"
#include "platform/platform.h"

namespace macgate {
namespace {

const char kMissing[] = "(missing)";

const char kDenyList[] =
    "MAC_ACTION = {DENY}\n"
    "001A2B3C4D5E\n"
    "00:1a:2b:3c:4d:5f\n"
    "aabbccddeeff # printer\n";
const char kDenyListErrors[] = "Line Number 3 Not In Proper Format\n";

// The verdict on a request from the client whose key is `address`.
int32_t Verdict(const char* address) {
    std::vector<uint8_t> message = MessageFor(std::strtoull(address, nullptr, 16), 240);
    return FilterPacket(message.data(), message.size());
}

// No list in use, or one whose set is empty: every client is served.
bool NothingLoaded() {
    const LoadedList* list = ListInUse.load();
    return list == nullptr || list->AddressSet == nullptr;
}

class StartupTest : public testing::Test {
protected:
    void SetUp() override {
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldDir_ = cwd;
        char pattern[] = "/tmp/macgate-startup-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        for (const char* name :
             {"CalloutErrorLogFile", "CalloutMacAddressListFile", "CalloutInfoLogFile"}) {
            unsetenv(name);
        }
    }
    void TearDown() override {
        // Start-up never leaves a log open behind.
        EXPECT_EQ(ErrorLog, nullptr);
        EXPECT_EQ(InfoLog, nullptr);
        ASSERT_EQ(chdir(oldDir_.c_str()), 0);
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
        for (const char* name :
             {"CalloutErrorLogFile", "CalloutMacAddressListFile", "CalloutInfoLogFile"}) {
            unsetenv(name);
        }
    }

    static void Write(const std::string& path, const std::string& text) {
        WriteFile(path, text);
    }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            return kMissing;
        }
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Whether nothing holds the file any more.
    static bool Free(const std::string& path) {
        FILE* stream = Platform.OpenFile(path.c_str(), "r", FileShare::kDenyReadWrite);
        if (stream == nullptr) {
            return false;
        }
        Platform.CloseFile(stream);
        return true;
    }

    std::string oldDir_;
    std::string dir_;
};

TEST_F(StartupTest, NoConfigurationWritesErrorFileInCurrentDirectory) {
    InitializeFilter();
    EXPECT_EQ(Contents("ErrorFile.txt"),
              "Could not read ErrorLog file from registry\n"
              "Could Not Read Mac File From Registry\n");
    EXPECT_TRUE(Free("ErrorFile.txt"));
    EXPECT_EQ(InfoLogEnabled, 0);
    EXPECT_TRUE(NothingLoaded());
    EXPECT_EQ(Verdict("001a2b3c4d5e"), 1);

    // Empty values are no values.
    StartFilter("", "", "");
    EXPECT_EQ(Contents("ErrorFile.txt"),
              "Could not read ErrorLog file from registry\n"
              "Could Not Read Mac File From Registry\n");
}

TEST_F(StartupTest, MissingListFileLeavesInfoLogEmpty) {
    Write("info.log", "from the last run\n");
    StartFilter("error.log", "absent.txt", "info.log");
    EXPECT_EQ(Contents("error.log"), "Could not open the data file\n");
    EXPECT_EQ(Contents("info.log"), "");
    EXPECT_TRUE(Free("error.log"));
    EXPECT_TRUE(Free("info.log"));
    EXPECT_EQ(InfoLogEnabled, 1);
    EXPECT_STREQ(InfoLogPath, "info.log");
    EXPECT_TRUE(NothingLoaded());

    // The list path is a directory or a FIFO: the same, and no hang.
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    for (const char* list : {".", "fifo"}) {
        StartFilter("error.log", list, nullptr);
        EXPECT_EQ(Contents("error.log"), "Could not open the data file\n") << list;
    }
}

TEST_F(StartupTest, HeaderWithoutAddressLoadsNothing) {
    Write("list.txt", "mac_action={allow}\n# none yet\n0011223344\n");
    StartFilter("error.log", "list.txt", "info.log");
    EXPECT_EQ(Contents("error.log"),
              "Mac Address 0011223344 on line number 3 not of proper format\n"
              "File format not proper\n");
    EXPECT_EQ(Contents("info.log"), "Action specified is : ALLOW\n");
    EXPECT_TRUE(NothingLoaded());
    EXPECT_EQ(Verdict("001122334455"), 1);
}

// Entries in sections alone make a loaded list; sections without entries
// do not.
TEST_F(StartupTest, EntriesOnlyInSectionsAreLoaded) {
    struct Case {
        const char* list;
        const char* errors;
        const char* info;
    };
    const Case kCases[] = {
        {"MAC_ACTION = {ALLOW}\nSCOPE 10.1.2.0/24 = {DENY}\n001a2b3c4d5e\n", "",
         "Action specified is : ALLOW\nSuccessfully read mac addresses\n"},
        // An ALLOW section that loads nothing drops its clients: the list filters.
        {"MAC_ACTION = {ALLOW}\nSCOPE 10.1.2.0/24 = {DENY}\nSCOPE 10.1.3.0/24 = {ALLOW}\n", "",
         "Action specified is : ALLOW\nSuccessfully read mac addresses\n"},
        {"MAC_ACTION = {ALLOW}\nSCOPE 10.1.2.0/24 = {DENY}\n", "File format not proper\n",
         "Action specified is : ALLOW\n"},
        // A section line whose network cannot be read: every client is dropped.
        {"MAC_ACTION = {DENY}\nSCOPE 10.1.2/24 = {DENY}\n001a2b3c4d5e\n",
         "Scope on line number 2 not in proper format\nThe scope on line number 2 names no "
         "network that can be read: every client is dropped\n",
         "Action specified is : DENY\n"},
    };
    for (const Case& c : kCases) {
        Write("list.txt", c.list);
        StartFilter("error.log", "list.txt", "info.log");
        EXPECT_EQ(Contents("error.log"), c.errors) << c.list;
        EXPECT_EQ(Contents("info.log"), c.info) << c.list;
    }
}

TEST_F(StartupTest, AddressesWithInfoLogOn) {
    Write("list.txt", kDenyList);
    StartFilter("error.log", "list.txt", "info.log");
    EXPECT_EQ(Contents("error.log"), kDenyListErrors);
    EXPECT_EQ(Contents("info.log"),
              "Action specified is : DENY\n"
              "Successfully read mac addresses\n");
    EXPECT_TRUE(Free("list.txt"));
    EXPECT_EQ(Verdict("001a2b3c4d5e"), 0);
    EXPECT_EQ(Verdict("aabbccddeeff"), 0);
    EXPECT_EQ(Verdict("001a2b3c4d5f"), 1);
}

TEST_F(StartupTest, AddressesWithInfoLogOff) {
    Write("list.txt", "MAC_ACTION = {ALLOW}\n001A2B3C4D5E\n");
    StartFilter("error.log", "list.txt", nullptr);
    EXPECT_EQ(Contents("error.log"), "");
    EXPECT_EQ(InfoLogEnabled, 0);
    EXPECT_STREQ(InfoLogPath, "");
    EXPECT_EQ(Verdict("001a2b3c4d5e"), 1);
    EXPECT_EQ(Verdict("001a2b3c4d5f"), 0);
}

// A log viewer holding either log (reading, and letting others read and
// write) never keeps the list from loading, and reads what start-up wrote.
TEST_F(StartupTest, LogViewersNeverKeepTheListFromLoading) {
    Write("list.txt", kDenyList);
    Write("error.log", "from the last run\n");
    Write("info.log", "from the last run\n");
    FILE* errorViewer = Platform.OpenFile("error.log", "r", FileShare::kDenyNone);
    FILE* infoViewer = Platform.OpenFile("info.log", "r", FileShare::kDenyNone);
    ASSERT_NE(errorViewer, nullptr);
    ASSERT_NE(infoViewer, nullptr);
    StartFilter("error.log", "list.txt", "info.log");
    EXPECT_EQ(Verdict("001a2b3c4d5e"), 0);
    char line[64] = "";
    EXPECT_STREQ(std::fgets(line, sizeof line, errorViewer), kDenyListErrors);
    EXPECT_STREQ(std::fgets(line, sizeof line, infoViewer), "Action specified is : DENY\n");
    EXPECT_STREQ(std::fgets(line, sizeof line, infoViewer), "Successfully read mac addresses\n");
    Platform.CloseFile(errorViewer);
    Platform.CloseFile(infoViewer);
}

// A list of prefixes alone loads like a list of addresses, and a start-up
// with a list of addresses alone keeps nothing of an earlier list's prefixes.
TEST_F(StartupTest, PrefixOnlyListLoadsAndIsForgottenOnRestart) {
    Write("prefixes.txt", "MAC_ACTION = {DENY}\n001C23*\n0050569*  # a 28-bit block\n");
    StartFilter("error.log", "prefixes.txt", "info.log");
    EXPECT_EQ(Contents("error.log"), "");
    EXPECT_EQ(Contents("info.log"),
              "Action specified is : DENY\n"
              "Successfully read mac addresses\n");
    EXPECT_EQ(Verdict("001c23000001"), 0);
    EXPECT_EQ(Verdict("005056912345"), 0);
    EXPECT_EQ(Verdict("001c24000000"), 1);

    Write("list.txt", "MAC_ACTION = {DENY}\n001c23000001\n");
    StartFilter("error.log", "list.txt", nullptr);
    ASSERT_NE(ListInUse.load(), nullptr);
    EXPECT_EQ(ListInUse.load()->PrefixLengths, 0);
    EXPECT_EQ(Verdict("001c23000001"), 0);
    EXPECT_EQ(Verdict("001c23000002"), 1);
}

// The info log cannot be opened while start-up holds the error log: nothing
// is loaded, and the error log says why.
TEST_F(StartupTest, InfoLogThatCannotBeOpenedIsReported) {
    Write("list.txt", kDenyList);
    StartFilter("same.log", "list.txt", "same.log");
    EXPECT_EQ(Contents("same.log"), "Could not open the info log file\n");
    EXPECT_TRUE(Free("same.log"));
    EXPECT_EQ(InfoLogEnabled, 1);
    EXPECT_TRUE(NothingLoaded());
    EXPECT_EQ(Verdict("001a2b3c4d5e"), 1);

    StartFilter("error.log", "list.txt", "no/such/dir/info.log");
    EXPECT_EQ(Contents("error.log"), "Could not open the info log file\n");
    EXPECT_TRUE(NothingLoaded());
}

TEST_F(StartupTest, ListFileEqualToEitherLogCannotBeOpened) {
    Write("error.log", kDenyList);
    StartFilter("error.log", "error.log", "info.log");
    EXPECT_EQ(Contents("error.log"), "Could not open the data file\n");
    EXPECT_EQ(Contents("info.log"), "");
    EXPECT_TRUE(NothingLoaded());

    Write("info.log", kDenyList);
    StartFilter("error.log", "info.log", "info.log");
    EXPECT_EQ(Contents("error.log"), "Could not open the data file\n");
    EXPECT_EQ(Contents("info.log"), "");
    EXPECT_TRUE(NothingLoaded());
    EXPECT_TRUE(Free("error.log"));
    EXPECT_TRUE(Free("info.log"));
}

TEST_F(StartupTest, ErrorLogThatCannotBeCreatedEndsStartup) {
    Write("list.txt", kDenyList);
    StartFilter("no/such/dir/error.log", "list.txt", "info.log");
    EXPECT_EQ(Contents("info.log"), kMissing);
    EXPECT_EQ(InfoLogEnabled, 0);
    EXPECT_TRUE(NothingLoaded());
    EXPECT_EQ(Verdict("001a2b3c4d5e"), 1);

    // Nor can the fallback be created when the current directory is gone.
    ASSERT_EQ(mkdir("gone", 0700), 0);
    ASSERT_EQ(chdir("gone"), 0);
    ASSERT_EQ(rmdir((dir_ + "/gone").c_str()), 0);
    StartFilter(nullptr, "../list.txt", "../info.log");
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    EXPECT_EQ(Contents("info.log"), kMissing);
    EXPECT_TRUE(NothingLoaded());
}

TEST_F(StartupTest, LogsAreTruncatedAtEveryStart) {
    Write("list.txt", kDenyList);
    Write("error.log", "old error line\nand another\n");
    Write("info.log", "old info line\n");
    StartFilter("error.log", "list.txt", "info.log");
    StartFilter("error.log", "list.txt", "info.log");
    EXPECT_EQ(Contents("error.log"), kDenyListErrors);
    EXPECT_EQ(Contents("info.log"),
              "Action specified is : DENY\n"
              "Successfully read mac addresses\n");
    EXPECT_EQ(Verdict("001a2b3c4d5e"), 0);
}

// A path that does not fit the path buffers is not cut down to another file's
// name: it cannot be opened.
TEST_F(StartupTest, OverlongPathsAreNeverCut) {
    std::string dir(250, 'd');
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    std::string prefix = dir + "/" + dir + "/" + dir + "/" + dir + "/";  // 1004 bytes
    std::string longList = prefix + std::string(30, 'x');
    std::string cutList = longList.substr(0, kPathBufferSize - 1);
    ASSERT_EQ(mkdir((dir + "/" + dir).c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir + "/" + dir + "/" + dir).c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir + "/" + dir + "/" + dir + "/" + dir).c_str(), 0700), 0);
    Write(cutList, kDenyList);
    Write(longList, kDenyList);
    ASSERT_EQ(Contents(longList), kDenyList);

    StartFilter("error.log", longList.c_str(), nullptr);
    EXPECT_EQ(Contents("error.log"), "Could not open the data file\n");
    EXPECT_TRUE(NothingLoaded());

    StartFilter("error.log", "list.txt", longList.c_str());
    EXPECT_EQ(Contents("error.log"), "Could not open the info log file\n");
    EXPECT_EQ(Contents(cutList), kDenyList);

    StartFilter(longList.c_str(), "list.txt", nullptr);
    EXPECT_EQ(Contents(cutList), kDenyList);
    EXPECT_EQ(Contents(longList), kDenyList);
}

TEST_F(StartupTest, InitializeFilterTakesThePathsFromConfiguration) {
    Write("list.txt", kDenyList);
    setenv("CalloutErrorLogFile", "error.log", 1);
    setenv("CalloutMacAddressListFile", "list.txt", 1);
    setenv("CalloutInfoLogFile", "", 1);
    InitializeFilter();
    EXPECT_EQ(Contents("error.log"), kDenyListErrors);
    EXPECT_EQ(InfoLogEnabled, 0);
    EXPECT_EQ(Verdict("001a2b3c4d5e"), 0);
    EXPECT_EQ(Contents("ErrorFile.txt"), kMissing);
}

// Faults in the logs are only ever lost lines: the set, the action and the
// verdicts are those of a run where every write and close succeeded.
FILE** FaultyLog;  // &ErrorLog or &InfoLog, looked at when the call is made
int (*RealFormat)(FILE*, const char*, va_list);
int (*RealClose)(FILE*);

int FailingFormat(FILE* stream, const char* format, va_list args) {
    return stream == *FaultyLog ? -1 : RealFormat(stream, format, args);
}
int FailingFlush(FILE*) {
    return EOF;
}
// The stream is gone after a failed fclose all the same.
int FailingClose(FILE* stream) {
    bool faulty = stream == *FaultyLog;
    int result = RealClose(stream);
    return faulty ? EOF : result;
}

TEST_F(StartupTest, LogFaultsNeverChangeWhatIsLoaded) {
    Write("list.txt", std::string(kDenyList) + "0123456789ab\nzz\n");
    const char* addresses[] = {"001a2b3c4d5e", "aabbccddeeff", "0123456789ab", "001a2b3c4d5f",
                               "000000000000"};
    const int expected[] = {0, 0, 0, 1, 1};
    FILE** logs[] = {&ErrorLog, &InfoLog};
    for (FILE** log : logs) {
        for (int fault = 0; fault < 3; ++fault) {
            SCOPED_TRACE(std::string(log == &ErrorLog ? "error log" : "info log") + " fault " +
                         std::to_string(fault));
            RestorePlatformCalls();
            ResetStateForTesting();
            FaultyLog = log;
            RealFormat = Platform.FormatFile;
            RealClose = Platform.CloseFile;
            if (fault == 0) {
                Platform.FormatFile = FailingFormat;
            } else if (fault == 1) {
                Platform.CloseFile = FailingClose;
            } else {
                Platform.FormatFile = FailingFormat;
                Platform.FlushFile = FailingFlush;
                Platform.CloseFile = FailingClose;
            }
            StartFilter("error.log", "list.txt", "info.log");
            RestorePlatformCalls();
            EXPECT_EQ(Contents(log == &ErrorLog ? "info.log" : "error.log"),
                      log == &ErrorLog
                          ? "Action specified is : DENY\nSuccessfully read mac addresses\n"
                          : "Line Number 3 Not In Proper Format\n"
                            "Mac Address zz on line number 6 not of proper format\n");
            ASSERT_NE(ListInUse.load(), nullptr);
            EXPECT_EQ(ListInUse.load()->FilterAction, 0);
            for (int i = 0; i < 5; ++i) {
                EXPECT_EQ(Verdict(addresses[i]), expected[i]) << addresses[i];
            }
            EXPECT_TRUE(Free("error.log"));
            EXPECT_TRUE(Free("info.log"));
        }
    }
}

}  // namespace
}  // namespace macgate
