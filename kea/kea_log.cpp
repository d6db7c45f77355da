#include "kea/kea_log.h"

#include <log/message_initializer.h>

namespace macgate {

isc::log::Logger KeaLogger("macgate-hooks");

const isc::log::MessageID MACGATE_CALLOUT_FAILED = "MACGATE_CALLOUT_FAILED";
const isc::log::MessageID MACGATE_DECISION_FAILED = "MACGATE_DECISION_FAILED";
const isc::log::MessageID MACGATE_DROPPING_ALL = "MACGATE_DROPPING_ALL";
const isc::log::MessageID MACGATE_INFO_LOG_DROPPED = "MACGATE_INFO_LOG_DROPPED";
const isc::log::MessageID MACGATE_INVALID_PARAMETER = "MACGATE_INVALID_PARAMETER";
const isc::log::MessageID MACGATE_INVALID_VALUE = "MACGATE_INVALID_VALUE";
const isc::log::MessageID MACGATE_LINES_REJECTED = "MACGATE_LINES_REJECTED";
const isc::log::MessageID MACGATE_LIST_LINE = "MACGATE_LIST_LINE";
const isc::log::MessageID MACGATE_LOAD_FAILED = "MACGATE_LOAD_FAILED";
const isc::log::MessageID MACGATE_LOG_NOT_OPENED = "MACGATE_LOG_NOT_OPENED";
const isc::log::MessageID MACGATE_LOG_PATH_REFUSED = "MACGATE_LOG_PATH_REFUSED";
const isc::log::MessageID MACGATE_MISSING_PARAMETER = "MACGATE_MISSING_PARAMETER";
const isc::log::MessageID MACGATE_NOT_LOADED = "MACGATE_NOT_LOADED";
const isc::log::MessageID MACGATE_NOTHING_LOADED = "MACGATE_NOTHING_LOADED";
const isc::log::MessageID MACGATE_PARAMETER_NOT_SET = "MACGATE_PARAMETER_NOT_SET";
const isc::log::MessageID MACGATE_RELOAD = "MACGATE_RELOAD";
const isc::log::MessageID MACGATE_SECOND_COPY = "MACGATE_SECOND_COPY";
const isc::log::MessageID MACGATE_SECTION_FAULT = "MACGATE_SECTION_FAULT";
const isc::log::MessageID MACGATE_SECTIONS_IGNORED = "MACGATE_SECTIONS_IGNORED";
const isc::log::MessageID MACGATE_SHARED_NETWORK_SPLIT = "MACGATE_SHARED_NETWORK_SPLIT";
const isc::log::MessageID MACGATE_STARTED = "MACGATE_STARTED";
const isc::log::MessageID MACGATE_STILL_DROPPING_ALL = "MACGATE_STILL_DROPPING_ALL";
const isc::log::MessageID MACGATE_STOPPED = "MACGATE_STOPPED";
const isc::log::MessageID MACGATE_UNKNOWN_PARAMETER = "MACGATE_UNKNOWN_PARAMETER";
const isc::log::MessageID MACGATE_WRONG_PROCESS = "MACGATE_WRONG_PROCESS";

namespace {

// Kea's message dictionary: identifier, text, ..., null. Kea loads it into
// its dictionary when it opens the library.
const char* messages[] = {
    "MACGATE_CALLOUT_FAILED",
    "%1 failed (%2); the packet is processed",
    "MACGATE_DECISION_FAILED",
    "%1 could not decide the packet (%2), so it is dropped",
    "MACGATE_DROPPING_ALL",
    "no address was loaded from \"%1\" (%2), so every client is dropped (unusable-list is "
    "drop-all) until macgate-reload loads a list",
    "MACGATE_INFO_LOG_DROPPED",
    "the info log \"%1\" drops decision lines (%2): %3 so far, counted in the statistic "
    "macgate-info-log-dropped; packets are decided all the same, and the log says how many "
    "lines it lost once writing resumes",
    "MACGATE_INVALID_PARAMETER",
    "parameter \"%1\" must be a string naming a file",
    "MACGATE_INVALID_VALUE",
    "parameter \"%1\" must be \"serve-all\" or \"drop-all\", not %2",
    "MACGATE_LINES_REJECTED",
    "%1 of the list \"%2\" rejected, each named above; macgate check says what to write instead",
    "MACGATE_LIST_LINE",
    "%1",
    "MACGATE_LOAD_FAILED",
    "loading the filter failed (%1)",
    "MACGATE_LOG_NOT_OPENED",
    "the %1 \"%2\" cannot be opened (%3); the list is loaded all the same, and %4",
    "MACGATE_LOG_PATH_REFUSED",
    "parameter \"%1\" names \"%2\", where Kea writes no log file: %3",
    "MACGATE_MISSING_PARAMETER",
    "parameter \"%1\" is missing or empty; it names the list file and must be given",
    "MACGATE_NOT_LOADED",
    "the filter is not loaded, so Kea refuses the configuration: at start-up it does not start; "
    "after a config-reload it serves no client until a configuration loads",
    "MACGATE_NOTHING_LOADED",
    "no address was loaded from \"%1\" (%2), so every client is served",
    "MACGATE_PARAMETER_NOT_SET",
    "parameter \"%1\" is missing or empty; %2",
    "MACGATE_RELOAD",
    "macgate-reload: %1",
    "MACGATE_SECOND_COPY",
    "this library is listed in hooks-libraries again, after the copy that filters with the list "
    "\"%1\"; one server runs one filter, so the second copy is refused (put every address in "
    "one list, with sections where networks differ)",
    "MACGATE_SECTION_FAULT",
    "in the list \"%1\" %2; macgate-reload refuses the list until it is mended",
    "MACGATE_SECTIONS_IGNORED",
    "%2 of the list \"%1\" not used: sections name IPv4 networks and apply to DHCPv4 only, so "
    "kea-dhcp6 decides every client by the list's server-wide entries",
    "MACGATE_SHARED_NETWORK_SPLIT",
    "shared network %1: its subnets fall into different sections of the list, and Kea may lease "
    "from any subnet of the network, so a client decided by one section may get an address in "
    "another; give the network's subnets one section",
    "MACGATE_STARTED",
    "filter started with the list \"%1\": %2",
    "MACGATE_STILL_DROPPING_ALL",
    "every client is still dropped, since %1: no address was loaded from \"%2\"; send "
    "macgate-reload once the list is mended",
    "MACGATE_STOPPED",
    "filter stopped and its list released",
    "MACGATE_UNKNOWN_PARAMETER",
    "unknown parameter \"%1\" (the parameters are list-file, error-log, info-log and "
    "unusable-list)",
    "MACGATE_WRONG_PROCESS",
    "loaded by %1, but this library filters DHCP packets and runs in kea-dhcp4 and kea-dhcp6 "
    "only",
    nullptr,
};

const isc::log::MessageInitializer initializer(messages);

}  // namespace
}  // namespace macgate
