// macgate check LIST...: each list through the library's own loader, with
// the error log's messages and the checker's warnings in the form compilers
// use ("LIST:LINE: error: ..."), then a summary.
#include <algorithm>
#include <cstdio>

#include "tools/macgate/cli/commands.h"
#include "tools/macgate/lists/list_check.h"

namespace macgate {
namespace {

int CheckOneList(const std::string& path, bool dhcpv6, bool* listLoaded, std::string* unreadable,
                 std::string* sectionFault) {
    ListReport report;
    std::string why;
    if (!CheckListFile(path, &report, &why)) {
        std::printf("%s: error: Could not open the data file\n", path.c_str());
        std::printf("%s: note: cannot open %s: %s\n", path.c_str(), path.c_str(), why.c_str());
        std::fflush(stdout);
        ReportError("cannot read the list file " + path + ": " + why);
        return kExitCannotRun;
    }

    for (const Finding& finding : report.findings) {
        if (!finding.text.empty()) {
            std::printf("%s\n", FormatFinding(path, finding).c_str());
        }
        if (!finding.note.empty()) {
            std::printf("%s\n", FormatNote(path, finding).c_str());
        }
    }
    MessageCount count = CountMessages(report);
    const std::string reported =
        std::to_string(count.messages) + (count.messages == 1 ? " message on " : " messages on ") +
        std::to_string(count.lines) + (count.lines == 1 ? " line" : " lines");
    bool loaded = DecidesAnything(report);
    *listLoaded = loaded;
    if (!loaded && unreadable->empty()) {
        *unreadable = report.unreadable;
    }
    if (!report.sectionFaults.empty() && sectionFault->empty()) {
        *sectionFault = SectionFaultText(report.sectionFaults.front());
    }
    if (!loaded) {
        // Without an address the action has no effect (and may never have
        // been read), so naming one would mislead.
        std::printf("%s: no address loaded, %s\n", path.c_str(), reported.c_str());
        std::printf("With no address loaded the library serves every client.\n");
    } else {
        std::printf("%s: action %s, %zu address%s and %zu prefix%s loaded, %s\n", path.c_str(),
                    report.allow ? "ALLOW" : "DENY", report.addresses,
                    report.addresses == 1 ? "" : "es", report.prefixes,
                    report.prefixes == 1 ? "" : "es", reported.c_str());
        for (const SectionReport& section : report.sections) {
            std::printf("%s:%d: section %s: action %s, %zu address%s and %zu prefix%s loaded\n",
                        path.c_str(), section.line, section.network.c_str(),
                        section.allow ? "ALLOW" : "DENY", section.addresses,
                        section.addresses == 1 ? "" : "es", section.prefixes,
                        section.prefixes == 1 ? "" : "es");
        }
        for (const SectionFault& fault : report.sectionFaults) {
            if (fault.kind != SectionFaultKind::kAllowsNoOne) {
                std::printf("%s:%d: %s\n", path.c_str(), fault.fileLine,
                            SectionFaultSummary(fault).c_str());
            }
        }
        if (!report.sectionFaults.empty()) {
            const size_t faults = report.sectionFaults.size();
            std::printf(
                "%s: %zu section%s in error: the list does not decide as written, and "
                "macgate-reload refuses it\n",
                path.c_str(), faults, faults == 1 ? "" : "s");
        }
        if (dhcpv6 && !report.sections.empty()) {
            const size_t sections = report.sections.size();
            std::printf(
                "%s: note: in kea-dhcp6 the %zu section%s apply to DHCPv4 only, as %s IPv4 "
                "networks: kea-dhcp6 decides every client by the server-wide entries\n",
                path.c_str(), sections, sections == 1 ? "" : "s",
                sections == 1 ? "it names" : "they name");
        }
    }
    std::fflush(stdout);
    return !loaded || count.messages > 0 ? kExitFindings : kExitOk;
}

}  // namespace

int RunCheck(const std::vector<std::string>& lists, bool* loaded, std::string* unreadable,
             bool dhcpv6, std::string* sectionFault) {
    int status = kExitOk;
    bool all = true;
    std::string why;
    std::string fault;
    for (const std::string& path : lists) {
        bool listLoaded = false;
        int listStatus = CheckOneList(path, dhcpv6, &listLoaded, &why, &fault);
        status = std::max(status, listStatus);
        all = all && listLoaded;
    }
    if (loaded != nullptr) {
        *loaded = all;
    }
    if (unreadable != nullptr) {
        *unreadable = why;
    }
    if (sectionFault != nullptr) {
        *sectionFault = fault;
    }
    return status;
}

}  // namespace macgate
