// The paths that install.cmd may register and that status accepts: the DLL,
// the list and the two logs must each be a file that start-up can use
// without harm, and four different files. install.cmd asks through
// `macgate paths`; status applies the same rule to the registered values.
#pragma once

#include <string>
#include <vector>

namespace macgate {

enum class PathRole { kDll, kList, kErrorLog, kInfoLog };

struct NamedPath {
    PathRole role;
    std::string path;
};

// "DLL", "list", "error log", "info log".
const char* PathRoleName(PathRole role);

// The longest full path that cmd hands on through %~f1: 259 characters,
// one less than MAX_PATH. A longer one reaches install.cmd empty.
constexpr size_t kLongestCmdPath = 259;

// Why no file can have `path` as its name, or empty: a device path (\\?\,
// \\.\), a character that no file name holds (* ? < > | " : past the drive,
// and control characters) or a device name (CON, NUL, COM1 ... with or
// without an extension) as one of its parts.
std::string PathTextProblem(const std::string& path);

// Whether `head`, the first bytes of a file, starts with a line that macgate
// writes to its error log or its info log (or that install.cmd writes to the
// error log before a restart). The line must end within `head`.
bool StartsAsMacgateLog(const std::string& head);

// How much of a log StartsAsMacgateLog needs: more than its longest line.
constexpr size_t kLogHeadSize = 512;

// Every reason the paths cannot be used, one sentence each; empty when they
// can. `forInstall` adds install.cmd's own limits: the length cmd can pass,
// and a missing log's folder must be missing alone, since install.cmd
// creates no other. A path that cannot be looked at is a reason too.
std::vector<std::string> PathProblems(const std::vector<NamedPath>& paths, bool forInstall);

// macgate paths DLL LIST ERRORLOG [INFOLOG]: prints PathProblems, one a line;
// exit status 0 when there are none, 1 when there are.
int RunPaths(const std::vector<std::string>& paths);

}  // namespace macgate
