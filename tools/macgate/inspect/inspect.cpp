// macgate inspect: whether the DHCP server of this Windows can load a file as
// macgate, read from the file's bytes without loading it.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/macgate/cli/commands.h"
#include "tools/macgate/inspect/pe_file.h"
#include "tools/macgate/server/library.h"

namespace macgate {
namespace {

// Far more than any callout library: a bigger file is not read whole.
constexpr size_t kLargestLibrary = 64u << 20;

// The file's bytes, or false with `error` set.
bool ReadWhole(const std::string& path, std::string* bytes, std::string* error) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = std::strerror(errno);
        return false;
    }
    char buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0 &&
           bytes->size() <= kLargestLibrary) {
        bytes->append(buffer, got);
    }
    bool failed = std::ferror(file) != 0;
    int reason = errno;
    std::fclose(file);
    if (failed) {
        *error = std::strerror(reason);
        return false;
    }
    if (bytes->size() > kLargestLibrary) {
        *error = "it is larger than any callout library";
        return false;
    }
    return true;
}

}  // namespace

bool ParseMachine(const std::string& name, unsigned* machine) {
    if (name == "x86") {
        *machine = kMachineX86;
    } else if (name == "x64") {
        *machine = kMachineX64;
    } else {
        return false;
    }
    return true;
}

std::string DescribeUnloadable(const std::string& path) {
    std::string bytes;
    std::string error;
    PeFile file;
    unsigned machine = NativeMachine();
    if (machine == 0 || !ReadWhole(path, &bytes, &error) || !ReadPeFile(bytes, &file, &error)) {
        return std::string();
    }
    return CalloutLibraryProblem(file, static_cast<uint16_t>(machine), path);
}

int RunInspect(const std::string& path, unsigned machine) {
    if (machine == 0) {
        machine = NativeMachine();
    }
    if (machine == 0) {
        ReportError("this system runs no Windows DHCP server: say which with --machine");
        return kExitCannotRun;
    }
    std::string bytes;
    std::string error;
    if (!ReadWhole(path, &bytes, &error)) {
        ReportError(path + " cannot be read: " + error);
        return kExitCannotRun;
    }
    PeFile file;
    if (!ReadPeFile(bytes, &file, &error)) {
        std::printf("%s is no Windows library: %s.\n", path.c_str(), error.c_str());
        return kExitFindings;
    }
    std::string problem = CalloutLibraryProblem(file, static_cast<uint16_t>(machine), path);
    if (!problem.empty()) {
        std::printf("%s.\n", problem.c_str());
        return kExitFindings;
    }
    std::printf("%s is macgate %s for %s Windows, with the eight callout functions.\n",
                path.c_str(), file.fileVersion.c_str(), MachineName(file.machine).c_str());
    return kExitOk;
}

}  // namespace macgate
