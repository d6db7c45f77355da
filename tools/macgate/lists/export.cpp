// macgate export --windows-filter LIST [--scope NETWORK|server-wide]: the
// addresses that the server loads from LIST (or from its section of
// NETWORK, or from above its first SCOPE line), as the
// MacAddress,Description CSV that
// "Import-Csv FILE | Add-DhcpServerv4Filter -List Allow" takes.
#include <algorithm>
#include <cstdio>

#include "filter/list_file.h"
#include "filter/loaded_list.h"
#include "tools/macgate/cli/commands.h"
#include "tools/macgate/lists/list_check.h"

namespace macgate {

namespace {

// What --scope names for the entries above a list's first SCOPE line.
const char kServerWideScope[] = "server-wide";

// The scope line of the section `scope` names, as the list's own section
// lines name networks; 0 with a message when there is none.
int ChosenSection(const ListReport& report, const std::string& path, const std::string& scope) {
    std::string names;
    for (const SectionReport& section : report.sections) {
        names += (names.empty() ? "" : ", ") + section.network;
    }
    if (scope.empty()) {
        ReportError(path + " has sections (" + names +
                    "), and the built-in filter is server-wide: pick one with --scope NETWORK, "
                    "or the entries above the first SCOPE line with --scope " +
                    kServerWideScope);
        return 0;
    }
    const ScopeLine parsed = ParseScopeLine(("SCOPE " + scope + " = {ALLOW}").c_str());
    if (parsed.message == DiagnosticKind::kNone) {
        char network[kNetworkTextSize];
        FormatNetwork(parsed.network, parsed.prefixLength, network);
        for (const SectionReport& section : report.sections) {
            if (section.network == network) {
                return section.line;
            }
        }
    }
    ReportError(path + " has no section " + scope + "; its sections are " + names);
    return 0;
}

}  // namespace

int RunExportWindowsFilter(const std::string& path, const std::string& scope) {
    ListReport report;
    if (!CheckListFile(path, &report)) {
        ReportError("cannot read the list file " + path);
        return kExitCannotRun;
    }
    if (report.sections.empty() && !scope.empty()) {
        ReportError(path + " has no sections: export it without --scope");
        return kExitCannotRun;
    }
    int section = 0;
    bool allow = report.allow;
    size_t loaded = report.addresses + report.prefixes;
    if (!report.sections.empty() && scope == kServerWideScope) {
        loaded = static_cast<size_t>(
            std::count_if(report.entries.begin(), report.entries.end(),
                          [](const ListEntry& entry) { return entry.section == 0; }));
    } else if (!report.sections.empty()) {
        section = ChosenSection(report, path, scope);
        if (section == 0) {
            return kExitCannotRun;
        }
        for (const SectionReport& chosen : report.sections) {
            if (chosen.line == section) {
                allow = chosen.allow;
                loaded = chosen.addresses + chosen.prefixes;
            }
        }
    }

    int errors = 0;
    for (const Finding& finding : report.findings) {
        if (finding.error) {
            ++errors;
            std::fprintf(stderr, "%s\n", FormatFinding(path, finding).c_str());
        }
    }
    if (loaded == 0) {
        ReportError(path + (section == 0 ? "" : ", section " + scope + ",") +
                    " loads no address: nothing to export");
        return kExitFindings;
    }
    size_t leftOut = 0;
    std::string csv = WindowsFilterCsv(report, &leftOut, section);
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
                 records, records == 1 ? "y" : "ies", allow ? "Allow" : "Deny");
    if (section != 0 && allow) {
        std::fprintf(stderr,
                     "macgate: warning: the server's Allow filter is server-wide: it would drop "
                     "every client of every other scope, not only those of %s that it does not "
                     "list\n",
                     scope.c_str());
    }
    return errors > 0 ? kExitFindings : kExitOk;
}

}  // namespace macgate
