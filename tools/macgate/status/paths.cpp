#include "tools/macgate/status/paths.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file_identity.h"

namespace macgate {
namespace {

// The lines that start a log macgate writes, without their line end: the
// error log's messages (start-up's and the list loader's), install.cmd's line
// before a restart, and the info log's lines. %d stands for a number, %s for
// any text, %t for a decision line's 24-character local time.
constexpr const char* kLogLines[] = {
    "Could not read ErrorLog file from registry",
    "Could Not Read Mac File From Registry",
    "Could not open the info log file",
    "Could not open the data file",
    "File format not proper",
    "Nothing in the file",
    "'MAC_ACTION' Not Specified Properly",
    "Action not correct",
    "Line Not In Proper Format",
    "Line Number %d Not In Proper Format",
    "Mac Address %s not of proper format",
    "Mac Address %s is not in proper format",
    "Scope not in proper format",
    "Scope on line number %d not in proper format",
    "Scope %s has host bits set",
    "Scope %s already named on line number %d",
    "install.cmd: the DHCP server has not started macgate since this line was written.",
    "Action specified is : ALLOW",
    "Action specified is : DENY",
    "Successfully read mac addresses",
    "The DHCP server has successfully started.",
    "The DHCP server has successfully stopped.",
    "The DHCP server has been paused.",
    "The DHCP server has been continued.",
    "%t %s Allow",
    "%t %s Deny",
    "%t %s Allow %s",
    "%t %s Deny %s",
};

// "Tue Dec 08 06:25:12 2026": A a letter, 9 a digit.
constexpr char kTimeShape[] = "Aaa Aaa 99 99:99:99 9999";

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool Matches(const char* pattern, const char* text) {
    if (*pattern == '\0') {
        return *text == '\0';
    }
    if (pattern[0] == '%' && pattern[1] == 'd') {
        if (!IsDigit(*text)) {
            return false;
        }
        while (IsDigit(*text)) {
            if (Matches(pattern + 2, ++text)) {
                return true;
            }
        }
        return false;
    }
    if (pattern[0] == '%' && pattern[1] == 's') {
        for (const char* rest = text + 1; rest[-1] != '\0'; ++rest) {
            if (Matches(pattern + 2, rest)) {
                return true;
            }
        }
        return false;
    }
    if (pattern[0] == '%' && pattern[1] == 't') {
        for (const char* shape = kTimeShape; *shape != '\0'; ++shape, ++text) {
            bool fits = *shape == '9'                      ? IsDigit(*text)
                        : (*shape == 'A' || *shape == 'a') ? IsLetter(*text)
                                                           : *shape == *text;
            if (!fits) {
                return false;
            }
        }
        return Matches(pattern + 2, text);
    }
    return *pattern == *text && Matches(pattern + 1, text + 1);
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// The folder that holds `path`, or empty when it names none.
std::string Parent(const std::string& path) {
    size_t end = path.size();
    while (end > 0 && IsSeparator(path[end - 1])) {
        --end;
    }
    while (end > 0 && !IsSeparator(path[end - 1])) {
        --end;
    }
    if (end == 0) {
        return std::string();
    }
    // A drive's or the system's root keeps its separator.
    std::string parent = path.substr(0, end);
    if (parent.size() > 1 && !(parent.size() == 3 && parent[1] == ':')) {
        parent.pop_back();
    }
    return parent;
}

// The last part of `path`, as Windows stores it: without trailing dots and
// blanks, in one case.
std::string Leaf(const std::string& path) {
    size_t start = path.size();
    while (start > 0 && !IsSeparator(path[start - 1])) {
        --start;
    }
    std::string leaf = path.substr(start);
    while (!leaf.empty() && (leaf.back() == '.' || leaf.back() == ' ')) {
        leaf.pop_back();
    }
    return Lower(leaf);
}

bool IsDeviceName(std::string part) {
    part = part.substr(0, part.find('.'));
    while (!part.empty() && part.back() == ' ') {
        part.pop_back();
    }
    part = Lower(part);
    if (part == "con" || part == "prn" || part == "aux" || part == "nul") {
        return true;
    }
    return part.size() == 4 && (part.compare(0, 3, "com") == 0 || part.compare(0, 3, "lpt") == 0) &&
           part[3] >= '1' && part[3] <= '9';
}

bool IsLog(PathRole role) {
    return role == PathRole::kErrorLog || role == PathRole::kInfoLog;
}

// What a path stands for, for telling whether two name one file: the file's
// identity when it exists; when only its folder does, the folder's and the
// name in it; else its spelling.
struct PathKey {
    int kind = 0;  // 0 spelling, 1 file, 2 folder and name
    FileIdentity identity;
    std::string text;
};

bool SameKey(const PathKey& a, const PathKey& b) {
    if (a.kind != b.kind) {
        return false;
    }
    if (a.kind == 0) {
        return a.text == b.text;
    }
    return SameFile(a.identity, b.identity) && a.text == b.text;
}

std::string Quoted(const NamedPath& named) {
    return std::string("the ") + PathRoleName(named.role) + " \"" + named.path + "\"";
}

// Why an existing file cannot be a log, or empty when it can. A log that
// the current user may write but not read (as the service's account may) is
// a problem only for install.cmd, which must see what it grants rights on.
std::string LogContentProblem(const std::string& path, bool forInstall) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (!forInstall && errno == EACCES) {
            return std::string();
        }
        return std::string("cannot be read to see whether it is a log: ") + std::strerror(errno);
    }
    char buffer[kLogHeadSize];
    size_t got = std::fread(buffer, 1, sizeof buffer, file);
    std::fclose(file);
    std::string head(buffer, got);
    if (head.empty() || StartsAsMacgateLog(head)) {
        return std::string();
    }
    const char* overwrite = ", not a log: start-up would overwrite it";
    if (head.compare(0, 2, "MZ") == 0) {
        return std::string("is a Windows program or library (it starts with MZ)") + overwrite;
    }
    std::string leaf = Leaf(path);
    for (const char* script : {".cmd", ".bat", ".ps1", ".vbs", ".js", ".wsf"}) {
        size_t length = std::strlen(script);
        if (leaf.size() > length && leaf.compare(leaf.size() - length, length, script) == 0) {
            return std::string("is a script") + overwrite;
        }
    }
    return "is no log that macgate writes (its first line is none of macgate's log lines): "
           "start-up would overwrite it. Name a new file or an empty one";
}

// What is wrong with one path on its own; fills `key`. An existing log's
// start is left to LogContentProblem, once it is known to be no other of
// the files.
std::string OwnProblem(const NamedPath& named, bool forInstall, PathKey* key) {
    const std::string& path = named.path;
    std::string problem = PathTextProblem(path);
    if (!problem.empty()) {
        return problem;
    }
    if (forInstall && path.size() > kLongestCmdPath) {
        return "is " + std::to_string(path.size()) + " characters long; cmd passes on at most " +
               std::to_string(kLongestCmdPath);
    }
    key->text = Lower(path);
    FileIdentity identity;
    PathState state = IdentifyFile(path.c_str(), &identity);
    if (state == PathState::kUnknown) {
        return std::string("cannot be looked at: ") + std::strerror(errno);
    }
    if (state == PathState::kExists) {
        key->kind = 1;
        key->identity = identity;
        key->text.clear();
        if (identity.folder) {
            return named.role == PathRole::kDll ? "is a folder, not the DLL"
                                                : "is a folder; name a file in it";
        }
        return std::string();
    }
    if (named.role == PathRole::kDll) {
        return "does not exist";
    }
    std::string folder = Parent(path);
    FileIdentity folderIdentity;
    PathState folderState =
        folder.empty() ? PathState::kMissing : IdentifyFile(folder.c_str(), &folderIdentity);
    if (folderState == PathState::kExists) {
        if (!folderIdentity.folder) {
            return "cannot be created: \"" + folder + "\" is a file, not a folder";
        }
        key->kind = 2;
        key->identity = folderIdentity;
        key->text = Leaf(path);
        return std::string();
    }
    if (!forInstall || !IsLog(named.role)) {
        return std::string();
    }
    // install.cmd makes the log's own folder, and no other.
    std::string above = Parent(folder);
    FileIdentity aboveIdentity;
    if (above.empty() || IdentifyFile(above.c_str(), &aboveIdentity) != PathState::kExists) {
        return "cannot be created: its folder \"" + folder + "\" does not exist, nor does \"" +
               above + "\"; install.cmd makes only the log's own folder";
    }
    if (!aboveIdentity.folder) {
        return "cannot be created: \"" + above + "\" is a file, not a folder";
    }
    return std::string();
}

// Why two of the paths cannot name one file.
std::string SameFileProblem(const NamedPath& a, const NamedPath& b) {
    std::string both = Quoted(a) + " and " + Quoted(b) + " are one file";
    if (a.role == PathRole::kErrorLog && b.role == PathRole::kInfoLog) {
        return both +
               ": start-up would then load nothing and every client would be served. "
               "Give two files";
    }
    if (IsLog(b.role) && a.role == PathRole::kList) {
        return both + ": start-up would truncate the list";
    }
    if (IsLog(b.role)) {
        return both + ": start-up would overwrite the DLL";
    }
    return both;
}

}  // namespace

const char* PathRoleName(PathRole role) {
    switch (role) {
        case PathRole::kDll:
            return "DLL";
        case PathRole::kList:
            return "list";
        case PathRole::kErrorLog:
            return "error log";
        case PathRole::kInfoLog:
            break;
    }
    return "info log";
}

std::string PathTextProblem(const std::string& path) {
    if (path.empty()) {
        return "is empty";
    }
    // What cmd makes of a device name: \\.\NUL.
    if (path.size() > 4 && path.compare(0, 4, "\\\\.\\") == 0 &&
        path.find_first_of("\\/", 4) == std::string::npos && IsDeviceName(path.substr(4))) {
        return "names the device " + Lower(path.substr(4)) + ", which is no file on Windows";
    }
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[3]) &&
        ((IsSeparator(path[1]) && (path[2] == '?' || path[2] == '.')) ||
         (path[1] == '?' && path[2] == '?'))) {
        return "is a device path (" + path.substr(0, 4) +
               "): give the file as C:\\folder\\file or \\\\server\\share\\file";
    }
    for (size_t i = 0; i < path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        bool drive = i == 1 && c == ':' && IsLetter(path[0]);
        if (c < 0x20 || (c == ':' && !drive) || std::strchr("*?<>|\"", c) != nullptr) {
            char shown[8];
            std::snprintf(shown, sizeof shown, c < 0x20 ? "\\x%02x" : "%c", c);
            return std::string("holds ") + shown + ", which no file name can hold";
        }
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) {
            ++end;
        }
        std::string part = path.substr(start, end - start);
        if (IsDeviceName(part)) {
            return "names the device " + Lower(part.substr(0, part.find('.'))) +
                   ", which is no file on Windows";
        }
        start = end + 1;
    }
    return std::string();
}

bool StartsAsMacgateLog(const std::string& head) {
    size_t end = head.find('\n');
    if (end == std::string::npos) {
        return false;
    }
    std::string line = head.substr(0, end);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.find('\0') != std::string::npos) {
        return false;
    }
    for (const char* pattern : kLogLines) {
        if (Matches(pattern, line.c_str())) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> PathProblems(const std::vector<NamedPath>& paths, bool forInstall) {
    std::vector<std::string> problems;
    std::vector<PathKey> keys(paths.size());
    std::vector<bool> usable(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        std::string problem = OwnProblem(paths[i], forInstall, &keys[i]);
        usable[i] = problem.empty();
        if (!problem.empty()) {
            problems.push_back(Quoted(paths[i]) + " " + problem);
        }
    }
    std::vector<bool> shared(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        for (size_t j = i + 1; j < paths.size(); ++j) {
            if (usable[i] && usable[j] && SameKey(keys[i], keys[j])) {
                const bool inOrder = paths[i].role < paths[j].role;
                problems.push_back(inOrder ? SameFileProblem(paths[i], paths[j])
                                           : SameFileProblem(paths[j], paths[i]));
                shared[i] = shared[j] = true;
            }
        }
    }
    for (size_t i = 0; i < paths.size(); ++i) {
        if (usable[i] && !shared[i] && keys[i].kind == 1 && IsLog(paths[i].role)) {
            std::string problem = LogContentProblem(paths[i].path, forInstall);
            if (!problem.empty()) {
                problems.push_back(Quoted(paths[i]) + " " + problem);
            }
        }
    }
    return problems;
}

int RunPaths(const std::vector<std::string>& paths) {
    const PathRole roles[] = {PathRole::kDll, PathRole::kList, PathRole::kErrorLog,
                              PathRole::kInfoLog};
    std::vector<NamedPath> named;
    for (size_t i = 0; i < paths.size() && i < 4; ++i) {
        named.push_back({roles[i], paths[i]});
    }
    std::vector<std::string> problems = PathProblems(named, true);
    for (const std::string& problem : problems) {
        std::printf("%s.\n", problem.c_str());
    }
    return problems.empty() ? 0 : 1;
}

}  // namespace macgate
