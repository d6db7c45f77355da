// What the hooks library loaded and decided: Kea's statistics, and the
// macgate-status command that answers for one server of an HA pair.
#pragma once

#include <hooks/callout_handle.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "filter/loaded_list.h"

namespace macgate {

// What the hooks library keeps of one load() until the next: written by
// load() and unload() while Kea holds its packet threads, and only read in
// between, but for the decision counts.
struct KeaLoad {
    // From a load() that started the filter to the unload() that stops it;
    // Kea calls unload() after a load() that failed, too.
    bool filterStarted = false;
    std::string listFile;
    std::string sha256;  // lowercase hex; "" when the list was not read
    EntryCounts entries;
    unsigned char action = 0;  // the loaded list's FilterAction
    std::string loadedAt;      // ISO 8601, UTC
    // The loaded list's sections, in file order.
    struct Section {
        std::string network;  // "10.1.2.0/24"
        unsigned char action = 0;
        EntryCounts entries;
    };
    std::vector<Section> sections;
    // The decisions since load; Kea's statistics go on across reloads.
    std::atomic<int64_t> allowed{0};
    std::atomic<int64_t> denied{0};
};
extern KeaLoad KeaState;

// Forgets everything of the last load: KeaState as when the library is
// loaded. Called before start-up runs and after stop.
void ForgetLoad();

// The command that KeaStatusCommand answers.
extern const char kStatusCommand[];

// Creates the statistics at 0 where Kea has none of that name yet, so that
// statistic-get-all shows them before the first packet. Counts already
// there (from before a config-reload) go on.
void SetUpKeaStatistics();

// Start-up's list callback: hashes the list's bytes as they were loaded.
void HashLoadedList(FILE* list);

// Notes what start-up loaded from `listFile` (the list in use) and
// restarts the decision counts. Called by load() after start-up, before any
// callout can run.
void RecordLoad(const std::string& listFile);

// What was loaded, for Kea's log: "allow list of 2 addresses and 1 prefix",
// with ", and 2 sections" when it has sections, or "" when nothing was
// loaded anywhere.
std::string LoadSummary();

// Counts one decision (1 allowed, 0 denied) since load and in Kea's
// statistics.
void CountDecision(int32_t verdict);

// Counts one packet dropped by the filter in Kea's own drop statistics.
void CountDrop();

// The macgate-status command: what was loaded, when, and the counts since.
int KeaStatusCommand(isc::hooks::CalloutHandle& handle);

}  // namespace macgate
