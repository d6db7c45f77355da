#include "kea/kea_log.h"

#include <log/message_initializer.h>

namespace macgate {

isc::log::Logger KeaLogger("macgate-hooks");

const isc::log::MessageID MACGATE_CALLOUT_FAILED = "MACGATE_CALLOUT_FAILED";
const isc::log::MessageID MACGATE_INVALID_PARAMETER = "MACGATE_INVALID_PARAMETER";
const isc::log::MessageID MACGATE_MISSING_PARAMETER = "MACGATE_MISSING_PARAMETER";
const isc::log::MessageID MACGATE_NOTHING_LOADED = "MACGATE_NOTHING_LOADED";
const isc::log::MessageID MACGATE_STARTED = "MACGATE_STARTED";
const isc::log::MessageID MACGATE_STOPPED = "MACGATE_STOPPED";
const isc::log::MessageID MACGATE_UNKNOWN_PARAMETER = "MACGATE_UNKNOWN_PARAMETER";

namespace {

// Kea's message dictionary: identifier, text, ..., null. Kea loads it into
// its dictionary when it opens the library.
const char* messages[] = {
    "MACGATE_CALLOUT_FAILED",
    "%1 failed (%2); the packet is processed",
    "MACGATE_INVALID_PARAMETER",
    "parameter \"%1\" must be a string naming a file; %2",
    "MACGATE_MISSING_PARAMETER",
    "parameter \"%1\" is missing or empty; %2",
    "MACGATE_NOTHING_LOADED",
    "no address was loaded from \"%1\", so every client is served; the error log \"%2\" says why",
    "MACGATE_STARTED",
    "filter started with the list \"%1\"",
    "MACGATE_STOPPED",
    "filter stopped and its list released",
    "MACGATE_UNKNOWN_PARAMETER",
    "unknown parameter \"%1\" is ignored",
    nullptr,
};

const isc::log::MessageInitializer initializer(messages);

}  // namespace
}  // namespace macgate
