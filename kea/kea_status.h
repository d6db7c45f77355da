// What the hooks library loaded and decided: Kea's statistics, and the
// macgate-status command that answers for one server of an HA pair.
#pragma once

#include <hooks/callout_handle.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace macgate {

// The command that KeaStatusCommand answers.
extern const char kStatusCommand[];

// Creates the statistics at 0 where Kea has none of that name yet, so that
// statistic-get-all shows them before the first packet. Counts already
// there (from before a config-reload) go on.
void SetUpKeaStatistics();

// Start-up's list callback: hashes the list's bytes as they were loaded.
void HashLoadedList(FILE* list);

// Forgets the last load's hash; called before start-up runs.
void ForgetLoadedList();

// Notes what start-up loaded from `listFile` and restarts the decision
// counts. Called by load() after start-up, before any callout can run.
void RecordLoad(const std::string& listFile);

// What was loaded, for Kea's log: "allow list of 2 addresses and 1 prefix",
// or "" when nothing was loaded.
std::string LoadSummary();

// Counts one decision (1 allowed, 0 denied) since load and in Kea's
// statistics.
void CountDecision(int32_t verdict);

// Counts one packet dropped by the filter in Kea's own drop statistics.
void CountDrop();

// The macgate-status command: what was loaded, when, and the counts since.
int KeaStatusCommand(isc::hooks::CalloutHandle& handle);

}  // namespace macgate
