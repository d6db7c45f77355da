// macgate export --windows-filter LIST: the addresses that the server loads
// from LIST, as the MacAddress,Description CSV that
// "Import-Csv FILE | Add-DhcpServerv4Filter -List Allow" takes.
#include <cstdio>

#include "tools/macgate/commands.h"
#include "tools/macgate/list_check.h"

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
    std::fputs(WindowsFilterCsv(report).c_str(), stdout);
    std::fflush(stdout);
    std::fprintf(stderr,
                 "macgate: %zu entr%s; load them with Import-Csv FILE | "
                 "Add-DhcpServerv4Filter -List %s\n",
                 report.entries.size(), report.entries.size() == 1 ? "y" : "ies",
                 report.allow ? "Allow" : "Deny");
    return errors > 0 ? kExitFindings : kExitOk;
}

}  // namespace macgate
