// macgate export --windows-filter LIST: the addresses that the server loads
// from LIST, as the MacAddress,Description CSV that
// "Import-Csv FILE | Add-DhcpServerv4Filter -List Allow" takes.
#include <cstdio>

#include "platform/platform.h"
#include "tools/macgate/commands.h"
#include "tools/macgate/csv.h"
#include "tools/macgate/list_check.h"

namespace macgate {

int RunExportWindowsFilter(const std::string& path) {
    FILE* list = Platform.OpenFile(path.c_str(), "r", FileShare::kDenyWrite);
    if (list == nullptr) {
        ReportError("cannot read the list file " + path);
        return kExitCannotRun;
    }
    ListReport report;
    CheckListStream(list, &report);
    Platform.CloseFile(list);
    ReleaseList();

    int errors = 0;
    for (const Finding& finding : report.findings) {
        if (finding.error) {
            ++errors;
            std::fprintf(stderr, "%s:%d: error: %s\n", path.c_str(), finding.line,
                         finding.text.c_str());
        }
    }
    if (report.addresses == 0) {
        ReportError(path + " loads no address: nothing to export");
        return kExitFindings;
    }
    std::printf("MacAddress,Description\n");
    for (const ListEntry& entry : report.entries) {
        std::string address;
        for (size_t i = 0; i < entry.key.size(); i += 2) {
            address += (i == 0 ? "" : "-") + entry.key.substr(i, 2);
        }
        std::printf("%s,%s\n", address.c_str(), CsvField(entry.remark).c_str());
    }
    std::fflush(stdout);
    std::fprintf(stderr,
                 "macgate: %zu address%s; load them with Import-Csv FILE | "
                 "Add-DhcpServerv4Filter -List %s\n",
                 report.entries.size(), report.entries.size() == 1 ? "" : "es",
                 report.allow ? "Allow" : "Deny");
    return errors > 0 ? kExitFindings : kExitOk;
}

}  // namespace macgate
