// Starting and stopping the filter in Kea, and changing its list in place.
#pragma once

#include "kea/kea_parameters.h"

namespace macgate {

// Start-up in Kea. Kea's log gets every message: the list's reported lines,
// a log that cannot be opened (the list is loaded all the same), and an
// ERROR when no list loaded, which serves every client or, with
// "unusable-list": "drop-all", drops every client. The error and info logs
// are kept only when named.
void StartKeaFilter(const KeaParameters& parameters);

// Stops the filter and forgets the load.
void StopKeaFilter();

// Undoes whatever a start-up that failed part-way left, quietly: no log,
// list or thread of it stays.
void AbandonKeaFilter();

}  // namespace macgate
