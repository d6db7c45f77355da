// macgate check LIST...: each list through the library's own loader, with
// the error log's messages and the checker's warnings in the form compilers
// use ("LIST:LINE: error: ..."), then a summary.
#include <algorithm>
#include <cstdio>

#include "tools/macgate/commands.h"
#include "tools/macgate/list_check.h"

namespace macgate {
namespace {

int CheckOneList(const std::string& path, bool* listLoaded) {
    ListReport report;
    if (!CheckListFile(path, &report)) {
        std::printf("%s: error: Could not open the data file\n", path.c_str());
        std::fflush(stdout);
        ReportError("cannot read the list file " + path);
        return kExitCannotRun;
    }

    for (const Finding& finding : report.findings) {
        std::printf("%s\n", FormatFinding(path, finding).c_str());
    }
    size_t reported = report.findings.size();
    const char* lines = reported == 1 ? "" : "s";
    bool loaded = report.addresses + report.prefixes > 0;
    *listLoaded = loaded;
    if (!loaded) {
        // Without an address the action has no effect (and may never have
        // been read), so naming one would mislead.
        std::printf("%s: no address loaded, %zu line%s reported\n", path.c_str(), reported, lines);
        std::printf("With no address loaded the library serves every client.\n");
    } else {
        std::printf("%s: action %s, %zu address%s and %zu prefix%s loaded, %zu line%s reported\n",
                    path.c_str(), report.allow ? "ALLOW" : "DENY", report.addresses,
                    report.addresses == 1 ? "" : "es", report.prefixes,
                    report.prefixes == 1 ? "" : "es", reported, lines);
    }
    std::fflush(stdout);
    return !loaded || reported > 0 ? kExitFindings : kExitOk;
}

}  // namespace

int RunCheck(const std::vector<std::string>& lists, bool* loaded) {
    int status = kExitOk;
    bool all = true;
    for (const std::string& path : lists) {
        bool listLoaded = false;
        int listStatus = CheckOneList(path, &listLoaded);
        status = std::max(status, listStatus);
        all = all && listLoaded;
    }
    if (loaded != nullptr) {
        *loaded = all;
    }
    return status;
}

}  // namespace macgate
