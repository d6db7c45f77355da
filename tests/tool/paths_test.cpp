// The rule for the paths install.cmd registers: their text, the start of a
// log, and four files told apart by identity.
#include "tools/macgate/status/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace macgate {
namespace {

TEST(PathTextProblem, RefusesWhatNoFileNameHolds) {
    const struct {
        const char* path;
        const char* problem;  // empty: accepted
    } rows[] = {
        {"C:\\ProgramData\\macgate\\logs\\error.log", ""},
        {"\\\\files\\dhcp$\\list.txt", ""},
        {"C:\\logs\\console\\error.log", ""},
        {"C:\\logs\\com10.log", ""},
        {"", "is empty"},
        {"\\\\?\\C:\\logs\\error.log", "is a device path (\\\\?\\)"},
        {"\\\\.\\C:\\logs\\error.log", "is a device path (\\\\.\\)"},
        {"//?/C:/logs/error.log", "is a device path (//?/)"},
        {"\\??\\C:\\logs\\error.log", "is a device path (\\??\\)"},
        {"C:\\logs\\a*b.log", "holds *"},
        {"C:\\logs\\a?b.log", "holds ?"},
        {"C:\\logs\\a<b.log", "holds <"},
        {"C:\\logs\\a>b.log", "holds >"},
        {"C:\\logs\\a|b.log", "holds |"},
        {"C:\\logs\\a\"b.log", "holds \""},
        {"C:\\logs\\a\tb.log", "holds \\x09"},
        {"C:\\logs\\error.log:stream", "holds :"},
        {"1:\\logs\\error.log", "holds :"},
        {"C:\\logs\\NUL", "names the device nul"},
        {"\\\\.\\NUL", "names the device nul"},
        {"C:\\logs\\nul.log", "names the device nul"},
        {"C:\\logs\\Con .txt", "names the device con"},
        {"C:\\aux\\error.log", "names the device aux"},
        {"C:\\logs\\COM1.log", "names the device com1"},
        {"C:\\logs\\lpt9", "names the device lpt9"},
        {"C:\\logs\\prn.info.log", "names the device prn"},
    };
    for (const auto& row : rows) {
        std::string problem = PathTextProblem(row.path);
        EXPECT_EQ(std::string(row.problem), problem.substr(0, std::string(row.problem).size()))
            << row.path << ": " << problem;
        EXPECT_EQ(row.problem[0] == '\0', problem.empty()) << row.path << ": " << problem;
    }
}

TEST(StartsAsMacgateLog, KnowsTheLinesMacgateWrites) {
    const struct {
        const char* head;
        bool log;
    } rows[] = {
        {"File format not proper\r\n", true},
        {"Could not open the data file\n", true},
        {"'MAC_ACTION' Not Specified Properly\r\nAction not correct\r\n", true},
        {"Line Number 12 Not In Proper Format\r\n", true},
        {"Mac Address 00:1a on line number 3 not of proper format\r\n", true},
        {"Mac Address 00112233445g on line number 4 is not in proper format\r\n", true},
        {"Scope 10.1.2.0/24 on line number 5 already named on line number 2\r\n", true},
        {"install.cmd: the DHCP server has not started macgate since this line was written.\r\n",
         true},
        {"Action specified is : DENY\r\nSuccessfully read mac addresses\r\n", true},
        {"The DHCP server has successfully started.\r\n", true},
        {"Wed Dec 09 05:42:11 2026 001a2b3c4d5e Allow\r\n", true},
        {"Wed Dec 09 05:42:11 2026 001a2b3c4d5e Deny 10.1.2.0/24\r\n", true},
        {"Wed Dec 09 05:42:11 2026 no hardware address found Deny\r\n", true},
        // A line must end within the head, and be the whole line.
        {"File format not proper", false},
        {"File format not proper, or so\r\n", false},
        {"Line Number  Not In Proper Format\r\n", false},
        {"Wed Dec 9 05:42:11 2026 001a2b3c4d5e Allow\r\n", false},
        {"Action specified is : MAYBE\r\n", false},
        {"MZ\x90\x00\x03\x00\x00\x00\n", false},
        {"@echo off\r\n", false},
        {"#!/bin/sh\n", false},
        {"MAC_ACTION = {DENY}\r\n", false},
        {"", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.log, StartsAsMacgateLog(row.head)) << row.head;
    }
}

// A folder of its own for each test, removed at the end.
class PathProblemsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/macgate-paths-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        folder_ = pattern;
    }
    void TearDown() override {
        std::string command = "rm -rf '" + folder_ + "'";
        ASSERT_EQ(0, std::system(command.c_str()));
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        std::string path = folder_ + "/" + name;
        FILE* file = std::fopen(path.c_str(), "wb");
        EXPECT_NE(nullptr, file);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        return path;
    }
    std::string Joined(const std::vector<NamedPath>& paths) {
        std::string text;
        for (const std::string& problem : PathProblems(paths, true)) {
            text += problem + "\n";
        }
        size_t at;
        while ((at = text.find(folder_)) != std::string::npos) {
            text.replace(at, folder_.size(), "F");
        }
        return text;
    }
    std::string folder_;
};

TEST_F(PathProblemsTest, TellsEachRefusalAndItsReason) {
    std::string dll = Write("macgate.dll", std::string("MZ\x90\0", 4));
    std::string list = Write("list.txt", "MAC_ACTION = {DENY}\n001a2b3c4d5e\n");
    Write("macgate.exe", std::string("MZ\x90\0", 4));
    Write("uninstall.cmd", "@echo off\r\n");
    Write("notes.txt", "nothing of macgate's\r\n");
    Write("old.log", "Action specified is : DENY\r\n");
    Write("empty.log", "");
    ASSERT_EQ(0, symlink((folder_ + "/old.log").c_str(), (folder_ + "/second.log").c_str()));
    ASSERT_EQ(0, symlink(folder_.c_str(), (folder_ + "/alias").c_str()));
    std::string f = folder_ + "/";
    const struct {
        const char* error;
        const char* info;  // empty: no info log
        const char* problems;
    } rows[] = {
        {"logs/error.log", "logs/info.log", ""},
        {"old.log", "empty.log", ""},
        {"macgate.exe", "",
         "the error log \"F/macgate.exe\" is a Windows program or library (it starts with MZ), "
         "not a log: start-up would overwrite it\n"},
        {"old.log", "alias/macgate.dll",
         "the DLL \"F/macgate.dll\" and the info log \"F/alias/macgate.dll\" are one file: "
         "start-up would overwrite the DLL\n"},
        {"uninstall.cmd", "",
         "the error log \"F/uninstall.cmd\" is a script, not a log: start-up "
         "would overwrite it\n"},
        {"error.log", "notes.txt",
         "the info log \"F/notes.txt\" is no log that macgate writes (its first line is none of "
         "macgate's log lines): start-up would overwrite it. Name a new file or an empty one\n"},
        {"old.log", "second.log",
         "the error log \"F/old.log\" and the info log \"F/second.log\" are one file: start-up "
         "would then load nothing and every client would be served. Give two files\n"},
        {"error.log", "alias/Error.log.",
         "the error log \"F/error.log\" and the info log \"F/alias/Error.log.\" are one file: "
         "start-up would then load nothing and every client would be served. Give two files\n"},
        {"alias/list.txt", "",
         "the list \"F/list.txt\" and the error log \"F/alias/list.txt\" are one file: start-up "
         "would truncate the list\n"},
        {"a/b/error.log", "",
         "the error log \"F/a/b/error.log\" cannot be created: its folder \"F/a/b\" does not "
         "exist, nor does \"F/a\"; install.cmd makes only the log's own folder\n"},
        {"list.txt/logs/error.log", "",
         "the error log \"F/list.txt/logs/error.log\" cannot be created: \"F/list.txt\" is a file, "
         "not a folder\n"},
        {"logs", "", ""},  // a missing path whose folder exists is a file to make
        {".", "", "the error log \"F/.\" is a folder; name a file in it\n"},
    };
    for (const auto& row : rows) {
        std::vector<NamedPath> paths = {
            {PathRole::kDll, dll}, {PathRole::kList, list}, {PathRole::kErrorLog, f + row.error}};
        if (row.info[0] != '\0') {
            paths.push_back({PathRole::kInfoLog, f + row.info});
        }
        EXPECT_EQ(row.problems, Joined(paths)) << row.error << " " << row.info;
    }
    std::string longest = f + std::string(kLongestCmdPath - f.size(), 'a');
    EXPECT_EQ("", Joined({{PathRole::kErrorLog, longest}}));
    EXPECT_NE("", Joined({{PathRole::kErrorLog, longest + "a"}}));
}

}  // namespace
}  // namespace macgate
