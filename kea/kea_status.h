// What the hooks library loaded and decided: Kea's statistics, and the
// macgate-status command that answers for one server of an HA pair.
#pragma once

#include <hooks/callout_handle.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "filter/loaded_list.h"
#include "kea/kea_list.h"
#include "kea/kea_parameters.h"

namespace macgate {

// What the hooks library keeps of one load() until the next. Written by
// load(), unload() and the commands, which Kea runs on its main thread;
// packet threads read only the atomics.
struct KeaLoad {
    // From a load() that started the filter to the unload() that stops it;
    // Kea calls unload() after a load() that failed, too.
    bool filterStarted = false;
    KeaParameters parameters;
    std::string sha256;  // lowercase hex; "" when the list was not read
    EntryCounts entries;
    unsigned char action = 0;  // the loaded list's FilterAction
    size_t linesReported = 0;
    // The first of them, and the number of the others, as macgate-reload
    // answers them.
    std::vector<std::string> reportedLines;
    std::string loadedAt;  // ISO 8601, UTC
    // Every client is dropped: no list loaded under "unusable-list":
    // "drop-all". Set by load(), lifted by a reload that loads a list.
    std::atomic<bool> droppingAll{false};
    std::string unusableSince;  // ISO 8601, UTC; while droppingAll
    std::string whyUnusable;
    // The loaded list's sections, in file order.
    struct Section {
        std::string network;       // "10.1.2.0/24"
        unsigned char action = 0;  // 1 allow, 0 deny, kSectionClosed
        EntryCounts entries;
    };
    std::vector<Section> sections;
    // Kea's pkt4-received (pkt6-received) when the list loaded, so that the
    // status can say how many packets Kea received since.
    int64_t receivedAtLoad = 0;
    // SectionFaultText of each section fault of the loaded list: the list
    // in use does not decide as written.
    std::vector<std::string> sectionFaults;
    // The decisions since load or reload; Kea's statistics go on.
    std::atomic<int64_t> allowed{0};
    std::atomic<int64_t> denied{0};
};
extern KeaLoad KeaState;

// Forgets everything of the last load: KeaState as when the library is
// loaded. Called before start-up runs and after stop.
void ForgetLoad();

// The commands that KeaStatusCommand and KeaReloadCommand answer.
extern const char kStatusCommand[];
extern const char kReloadCommand[];

// Creates the statistics at 0 where Kea has none of that name yet, so that
// statistic-get-all shows them before the first packet. Counts already
// there (from before a config-reload) go on. `dhcpv6`: those of kea-dhcp6.
void SetUpKeaStatistics(bool dhcpv6);

// The current time as ISO 8601 UTC, "2026-12-09T10:49:39Z".
std::string UtcNow();

// Notes the list that `load` is about to put in use.
void RecordLoad(const KeaListLoad& load);

// Restarts the decision counts and the time of the load, once the list
// that RecordLoad noted is in use: no decision on the list before counts.
void RestartCounts();

// What a list holds, for Kea's log: "allow list of 2 addresses and 1
// prefix", with ", and 2 sections" when it has sections, or "" when nothing
// was loaded anywhere (or `list` is null).
std::string ListSummary(const LoadedList* list);

// The same of the list in use.
std::string LoadSummary();

// In kea-dhcp6, the sections of the list in use, which apply to DHCPv4
// only: "2 sections"; "" in kea-dhcp4 or when the list has none.
std::string SectionsIgnored();

// Starts dropping every client, and the reminder in Kea's log every minute;
// after the ERROR that says why.
void StartDroppingAll(const KeaListLoad& load);

// Stops dropping every client and the reminder.
void StopDroppingAll();

// Kea's WARN that the info log drops lines (SetInfoLogDropReport): its path,
// why, and how many so far. On the info log's writer thread.
void ReportInfoLogDrops(uint64_t dropped, int error);

// Counts one decision (1 allowed, 0 denied) since load and in Kea's
// statistics, with the lines that the info log dropped since the last one.
void CountDecision(int32_t verdict);

// Counts one DHCPv4 packet dropped by the filter in Kea's own drop
// statistics: Kea 2.2 counts none that a hooks library drops in
// buffer4_receive, pkt4_receive or subnet4_select.
void CountDrop();

// The same for a DHCPv6 packet dropped at pkt6_receive, where Kea does not
// count it itself.
void CountDrop6();

// Sets an answer's "addresses", "prefixes", "lines-reported" and
// "reported-lines", as macgate-status and macgate-reload give them.
void SetListCounts(const isc::data::ElementPtr& arguments, const EntryCounts& entries,
                   size_t linesReported, const std::vector<std::string>& reportedLines);

// The macgate-status command: what was loaded, when, and the counts since.
int KeaStatusCommand(isc::hooks::CalloutHandle& handle);

// The macgate-reload command: loads the list file again beside the list in
// use and puts it in use when it loaded an entry; with "dry-run" only
// reports.
int KeaReloadCommand(isc::hooks::CalloutHandle& handle);

}  // namespace macgate
