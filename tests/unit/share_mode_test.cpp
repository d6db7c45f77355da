#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.h"

namespace macgate {
namespace {

constexpr FileShare kDenyAll = FileShare::kDenyReadWrite;
constexpr FileShare kDenyWrite = FileShare::kDenyWrite;

class ShareModeTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/macgate-share-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        file_ = dir_ + "/file.txt";
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    static void Write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string Contents(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // Whether a second open is granted while `held` is open; the second
    // stream, if any, is closed again.
    bool Granted(const char* mode, FileShare share, const std::string& path = "") {
        FILE* stream = Platform.OpenFile((path.empty() ? file_ : path).c_str(), mode, share);
        if (stream == nullptr) {
            return false;
        }
        Platform.CloseFile(stream);
        return true;
    }

    std::string dir_;
    std::string file_;
};

// The holders that start-up and the control hook use, against every opener
// they use: only readers that let others read may share a file.
TEST_F(ShareModeTest, RefusesExactlyWhereWindowsWould) {
    struct Case {
        const char* heldMode;
        FileShare heldShare;
        const char* mode;
        FileShare share;
        bool granted;
    };
    const Case cases[] = {
        {"w", kDenyAll, "w", kDenyAll, false},      // two logs on one file
        {"w", kDenyAll, "r", kDenyWrite, false},    // list file equal to a log
        {"w", kDenyAll, "a", kDenyWrite, false},    //
        {"r", kDenyWrite, "r", kDenyWrite, true},   // two readers of the list
        {"r", kDenyWrite, "w", kDenyAll, false},    // a log over an open list
        {"r", kDenyWrite, "a", kDenyWrite, false},  //
        {"r", kDenyWrite, "r", kDenyAll, false},    // a reader that denies reading
        {"r", kDenyAll, "r", kDenyWrite, false},    //
        {"a", kDenyWrite, "r", kDenyWrite, false},  // the holder writes, the opener denies it
        {"a", kDenyWrite, "a", kDenyWrite, false},  //
    };
    Write(file_, "kept\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.heldMode) + " then " + c.mode);
        FILE* held = Platform.OpenFile(file_.c_str(), c.heldMode, c.heldShare);
        ASSERT_NE(held, nullptr);
        EXPECT_EQ(Granted(c.mode, c.share), c.granted);
        EXPECT_EQ(Platform.CloseFile(held), 0);
        // Closing gives the file back.
        EXPECT_TRUE(Granted(c.mode, c.share));
        Write(file_, "kept\n");
    }
}

TEST_F(ShareModeTest, RefusedWriterLeavesFileUntouched) {
    Write(file_, "MAC_ACTION = {ALLOW}\n");
    FILE* list = Platform.OpenFile(file_.c_str(), "r", kDenyWrite);
    ASSERT_NE(list, nullptr);
    EXPECT_FALSE(Granted("w", kDenyAll));
    EXPECT_EQ(Contents(file_), "MAC_ACTION = {ALLOW}\n");
    Platform.CloseFile(list);

    // Granted, "w" truncates.
    FILE* log = Platform.OpenFile(file_.c_str(), "w", kDenyAll);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(Contents(file_), "");
    std::fputs("first\n", log);
    std::fflush(log);
    EXPECT_FALSE(Granted("w", kDenyAll));
    EXPECT_EQ(Contents(file_), "first\n");
    Platform.CloseFile(log);
}

TEST_F(ShareModeTest, SameFileUnderAnotherNameIsTheSameFile) {
    Write(file_, "");
    std::string hardLink = dir_ + "/hard.txt";
    std::string symLink = dir_ + "/soft.txt";
    ASSERT_EQ(link(file_.c_str(), hardLink.c_str()), 0);
    ASSERT_EQ(symlink(file_.c_str(), symLink.c_str()), 0);
    FILE* log = Platform.OpenFile(file_.c_str(), "w", kDenyAll);
    ASSERT_NE(log, nullptr);
    EXPECT_FALSE(Granted("r", kDenyWrite, hardLink));
    EXPECT_FALSE(Granted("r", kDenyWrite, symLink));
    EXPECT_FALSE(Granted("r", kDenyWrite, dir_ + "/./file.txt"));
    // Another file is not affected.
    EXPECT_TRUE(Granted("w", kDenyAll, dir_ + "/other.txt"));
    Platform.CloseFile(log);
}

TEST_F(ShareModeTest, OnlyRegularFilesOpenAndNothingBlocks) {
    std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    alarm(20);  // a blocking open ends the test run instead of hanging it
    for (const char* mode : {"r", "w", "a"}) {
        SCOPED_TRACE(mode);
        EXPECT_FALSE(Granted(mode, kDenyWrite, dir_));
        EXPECT_FALSE(Granted(mode, kDenyWrite, fifo));
        EXPECT_FALSE(Granted(mode, kDenyWrite, "/dev/null"));
        EXPECT_FALSE(Granted(mode, kDenyWrite, "/dev/zero"));
        EXPECT_FALSE(Granted(mode, kDenyWrite, dir_ + "/missing/file.txt"));
    }
    alarm(0);
    EXPECT_FALSE(Granted("r", kDenyWrite, dir_ + "/missing.txt"));
    EXPECT_FALSE(Granted("x", kDenyWrite));
    EXPECT_FALSE(Granted("", kDenyWrite));
}

// What status learns of a log before start-up opens it: an existing file is
// never created, truncated or written, a missing one is not left behind, and
// the probe is refused exactly where the log's own open would be.
TEST_F(ShareModeTest, ProbeAppendChangesNothing) {
    struct Case {
        const char* name;
        bool present;          // the file is there, holding "kept\n"
        const char* heldMode;  // held meanwhile with kDenyWrite, or null
        bool exists;           // what the caller passes
        bool granted;
        int error;  // errno when refused
    };
    const Case cases[] = {
        {"free", true, nullptr, true, true, 0},
        {"held by a log", true, "a", true, false, EACCES},
        {"held by a reader", true, "r", true, false, EACCES},
        {"gone since the look", false, nullptr, true, false, ENOENT},
        {"missing", false, nullptr, false, true, 0},
        {"appeared since the look", true, nullptr, false, false, EEXIST},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(file_.c_str());
        if (c.present) {
            Write(file_, "kept\n");
            ASSERT_EQ(chmod(file_.c_str(), 0622), 0);
        }
        FILE* held =
            c.heldMode ? Platform.OpenFile(file_.c_str(), c.heldMode, kDenyWrite) : nullptr;
        errno = 0;
        EXPECT_EQ(Platform.ProbeAppend(file_.c_str(), kDenyAll, c.exists), c.granted);
        if (!c.granted) {
            EXPECT_EQ(errno, c.error);
        }
        if (held != nullptr) {
            Platform.CloseFile(held);
        }
        struct stat after;
        EXPECT_EQ(stat(file_.c_str(), &after) == 0, c.present);
        if (c.present) {
            EXPECT_EQ(Contents(file_), "kept\n");
            EXPECT_EQ(after.st_mode & 07777, 0622u);
        }
    }
}

TEST_F(ShareModeTest, LookUpPathAsksTheFileSystem) {
    Write(file_, "");
    ASSERT_EQ(chmod(file_.c_str(), 0), 0);  // no one may open it, root aside
    EXPECT_EQ(Platform.LookUpPath(file_.c_str()), PathState::kExists);
    EXPECT_EQ(Platform.LookUpPath(dir_.c_str()), PathState::kExists);
    EXPECT_EQ(Platform.LookUpPath((dir_ + "/missing.txt").c_str()), PathState::kMissing);
    EXPECT_EQ(Platform.LookUpPath((dir_ + "/missing/x.txt").c_str()), PathState::kMissing);
    EXPECT_EQ(Platform.LookUpPath((file_ + "/x.txt").c_str()), PathState::kMissing);
    EXPECT_EQ(Platform.LookUpPath(nullptr), PathState::kUnknown);
}

// A child process opens the file while the parent holds it: only the
// advisory lock can refuse it there, as the child's own table is empty.
TEST_F(ShareModeTest, OtherProcessesAreRefusedToo) {
    Write(file_, "kept\n");
    int toChild[2];
    int toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // For each byte from the parent: try the open it names, answer 1/0.
        close(toChild[1]);
        close(toParent[0]);
        char request;
        while (read(toChild[0], &request, 1) == 1) {
            FILE* stream = request == 'r' ? Platform.OpenFile(file_.c_str(), "r", kDenyWrite)
                                          : Platform.OpenFile(file_.c_str(), "w", kDenyAll);
            char answer = stream != nullptr ? '1' : '0';
            if (stream != nullptr) {
                Platform.CloseFile(stream);
            }
            if (write(toParent[1], &answer, 1) != 1) {
                _exit(2);
            }
        }
        _exit(0);
    }
    auto ask = [&](char request) {
        char answer = '?';
        EXPECT_EQ(write(toChild[1], &request, 1), 1);
        EXPECT_EQ(read(toParent[0], &answer, 1), 1);
        return answer;
    };

    FILE* log = Platform.OpenFile(file_.c_str(), "w", kDenyAll);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(ask('r'), '0');
    EXPECT_EQ(ask('w'), '0');
    Platform.CloseFile(log);

    FILE* list = Platform.OpenFile(file_.c_str(), "r", kDenyWrite);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(ask('r'), '1');
    EXPECT_EQ(ask('w'), '0');
    Platform.CloseFile(list);
    EXPECT_EQ(ask('w'), '1');

    close(toChild[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(toChild[0]);
    close(toParent[0]);
    close(toParent[1]);
}

}  // namespace
}  // namespace macgate
