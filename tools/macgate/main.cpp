// macgate: a host of its own for the callout library, so that a list can be
// tried, and the library driven the way the DHCP server drives it, without
// touching a production server.
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "callout/version.h"
#include "tools/macgate/commands.h"

namespace {

constexpr const char* kUsage =
    "usage: macgate check LIST\n"
    "       macgate replay [--list LIST] [--info-log FILE] [--error-log FILE]\n"
    "                      [--threads N] [--library PATH] CAPTURE\n"
    "       macgate replay --server [--threads N] CAPTURE\n"
    "       macgate status\n"
    "       macgate --version\n"
    "\n"
    "check   loads LIST with the library's own loader and prints what the error log\n"
    "        would get, then a summary. Exit status 0: clean; 1: lines reported or\n"
    "        nothing loaded; 2: the list cannot be read.\n"
    "replay  loads the callout library, starts it as the DHCP server does, sends it\n"
    "        every DHCP request of CAPTURE (pcap or pcapng, Ethernet) and prints its\n"
    "        verdicts. --list, --info-log and --error-log replace the server's\n"
    "        configuration for this run only (a path not given is then missing: no\n"
    "        --error-log means ErrorFile.txt in the current folder); without any of\n"
    "        them the library reads the server's own. --threads N sends from N\n"
    "        threads (1 to 64). --library names the library (default: the one\n"
    "        beside this program). Exit status 0: replayed; 1: the library\n"
    "        misbehaved; 2: a bad argument or file. --server loads the library the\n"
    "        DHCP server would load, as it would: the first entry of CalloutDlls that\n"
    "        loads and returns 0 (when CalloutEnabled is 1), with the server's files.\n"
    "status  says what the local DHCP server will do at its next start: the\n"
    "        library it loads, the three paths as start-up reads and opens them, and\n"
    "        the list's check summary. Exit status 0: macgate will filter with a list\n"
    "        that loads addresses; 1: it will not; 2: it cannot tell.\n";

int Run(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.empty()) {
        std::fputs(kUsage, stderr);
        return macgate::kExitCannotRun;
    }
    std::string command = arguments.front();
    arguments.erase(arguments.begin());
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return macgate::kExitOk;
    }
    if (command == "--version") {
        std::printf("macgate %s\n", MACGATE_VERSION);
        return macgate::kExitOk;
    }
    if (command == "check") {
        return macgate::RunCheck(arguments);
    }
    if (command == "replay") {
        return macgate::RunReplay(arguments);
    }
    if (command == "status") {
        return macgate::RunStatus(arguments);
    }
    macgate::ReportError("unknown command '" + command + "'");
    std::fputs(kUsage, stderr);
    return macgate::kExitCannotRun;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        macgate::ReportError("out of memory");
    } catch (const std::exception& exception) {
        macgate::ReportError(exception.what());
    }
    return macgate::kExitCannotRun;
}

namespace macgate {

void ReportError(const std::string& message) {
    std::fprintf(stderr, "macgate: %s\n", message.c_str());
}

}  // namespace macgate
