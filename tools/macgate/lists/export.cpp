// macgate export --windows-filter LIST: the addresses that the server loads
// from LIST, as the MacAddress,Description CSV that
// "Import-Csv FILE | Add-DhcpServerv4Filter -List Allow" takes.
#include <algorithm>
#include <cstdio>

#include "tools/macgate/cli/commands.h"
#include "tools/macgate/lists/list_check.h"

namespace macgate {

int RunExportWindowsFilter(const std::string& path) {
    ListReport report;
    if (!CheckListFile(path, &report)) {
        ReportError("cannot read the list file " + path);
        return kExitCannotRun;
    }

    int errors = 0;
    for (const Finding& finding : report.findings) {
        if (finding.error) {
            ++errors;
            std::fprintf(stderr, "%s\n", FormatFinding(path, finding).c_str());
        }
    }
    if (report.addresses + report.prefixes == 0) {
        ReportError(path + " loads no address: nothing to export");
        return kExitFindings;
    }
    size_t leftOut = 0;
    std::string csv = WindowsFilterCsv(report, &leftOut);
    std::fputs(csv.c_str(), stdout);
    std::fflush(stdout);
    if (leftOut > 0) {
        std::fprintf(stderr,
                     "macgate: %zu group, broadcast or all-zero address%s left out: no client "
                     "sends a group or broadcast address as its own, and the all-zero address "
                     "stands for every client that sends none\n",
                     leftOut, leftOut == 1 ? "" : "es");
    }
    // One record a line: a remark holds no line feed.
    size_t records = static_cast<size_t>(std::count(csv.begin(), csv.end(), '\n')) - 1;
    std::fprintf(stderr,
                 "macgate: %zu entr%s; load them with Import-Csv FILE | "
                 "Add-DhcpServerv4Filter -List %s\n",
                 records, records == 1 ? "y" : "ies", report.allow ? "Allow" : "Deny");
    return errors > 0 ? kExitFindings : kExitOk;
}

}  // namespace macgate
