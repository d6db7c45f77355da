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
constexpr FileShare kDenyNone = FileShare::kDenyNone;

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

// Holders against openers: start-up's logs and the running server's info
// log (writers that let others read), the list (a reader that denies
// writing), a log viewer (a reader that lets others read and write) and an
// opener that shuts everyone out.
TEST_F(ShareModeTest, RefusesExactlyWhereWindowsWould) {
    struct Case {
        const char* heldMode;
        FileShare heldShare;
        const char* mode;
        FileShare share;
        bool granted;
    };
    const Case cases[] = {
        {"w", kDenyAll, "w", kDenyAll, false},      // nobody gets past a deny-all holder
        {"w", kDenyAll, "r", kDenyWrite, false},    //
        {"w", kDenyAll, "a", kDenyWrite, false},    //
        {"w", kDenyAll, "r", kDenyNone, false},     //
        {"w", kDenyWrite, "w", kDenyWrite, false},  // two logs on one file
        {"a", kDenyWrite, "a", kDenyWrite, false},  // a second start while the info log is open
        {"w", kDenyWrite, "r", kDenyWrite, false},  // list file equal to a log
        {"a", kDenyWrite, "r", kDenyWrite, false},  //
        {"w", kDenyWrite, "r", kDenyNone, true},    // a viewer reads a log being written
        {"a", kDenyWrite, "r", kDenyNone, true},    //
        {"w", kDenyWrite, "r", kDenyAll, false},    // a reader that denies the writer its writes
        {"r", kDenyNone, "w", kDenyWrite, true},    // a viewer does not keep a log from opening
        {"r", kDenyNone, "a", kDenyWrite, true},    //
        {"r", kDenyNone, "r", kDenyWrite, true},    //
        {"r", kDenyNone, "w", kDenyAll, false},     // but is not shut out once in
        {"r", kDenyWrite, "r", kDenyWrite, true},   // two readers of the list
        {"r", kDenyWrite, "w", kDenyWrite, false},  // a log over an open list
        {"r", kDenyWrite, "a", kDenyWrite, false},  //
        {"r", kDenyWrite, "w", kDenyAll, false},    //
        {"r", kDenyWrite, "r", kDenyNone, true},    //
        {"r", kDenyWrite, "r", kDenyAll, false},    // a reader that denies reading
        {"r", kDenyAll, "r", kDenyWrite, false},    //
        {"w", kDenyNone, "w", kDenyNone, false},    // two writers, even sharing everything
    };
    Write(file_, "kept\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.heldMode) + " then " + c.mode + ", row " +
                     std::to_string(&c - cases));
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
// locks can refuse it there, as the child's own table is empty.
TEST_F(ShareModeTest, OtherProcessesAreRefusedToo) {
    struct Opener {
        const char* mode;
        FileShare share;
    };
    // The child's openers, by the index the parent sends.
    enum { kList, kLog, kDenyAllWriter, kViewer, kUpdater };
    const Opener openers[] = {
        {"r", kDenyWrite}, {"w", kDenyWrite}, {"w", kDenyAll}, {"r", kDenyNone}, {"r+", kDenyNone}};
    struct Case {
        int held;
        int opener;
        bool granted;
    };
    const Case cases[] = {
        {kDenyAllWriter, kList, false},
        {kDenyAllWriter, kDenyAllWriter, false},
        {kDenyAllWriter, kViewer, false},
        {kList, kList, true},
        {kList, kDenyAllWriter, false},
        {kList, kLog, false},
        {kLog, kLog, false},
        {kLog, kList, false},
        {kLog, kViewer, true},
        {kViewer, kLog, true},
        {kViewer, kList, true},
        {kViewer, kDenyAllWriter, false},
        {kUpdater, kUpdater, false},  // two writers, even sharing everything
    };
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
            const Opener& opener = openers[static_cast<int>(request)];
            FILE* stream = Platform.OpenFile(file_.c_str(), opener.mode, opener.share);
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
    auto granted = [&](int opener) {
        char request = static_cast<char>(opener);
        char answer = '?';
        EXPECT_EQ(write(toChild[1], &request, 1), 1);
        EXPECT_EQ(read(toParent[0], &answer, 1), 1);
        return answer == '1';
    };

    for (const Case& c : cases) {
        SCOPED_TRACE("held " + std::to_string(c.held) + ", opener " + std::to_string(c.opener));
        FILE* held = Platform.OpenFile(file_.c_str(), openers[c.held].mode, openers[c.held].share);
        ASSERT_NE(held, nullptr);
        EXPECT_EQ(granted(c.opener), c.granted);
        Platform.CloseFile(held);
        EXPECT_TRUE(granted(c.opener));
    }

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
