// The adapter's Kea logger and its messages.
#pragma once

#include <log/logger.h>
#include <log/macros.h>
#include <log/message_types.h>

namespace macgate {

extern isc::log::Logger KeaLogger;

extern const isc::log::MessageID MACGATE_CALLOUT_FAILED;
extern const isc::log::MessageID MACGATE_DECISION_FAILED;
extern const isc::log::MessageID MACGATE_DROPPING_ALL;
extern const isc::log::MessageID MACGATE_INFO_LOG_DROPPED;
extern const isc::log::MessageID MACGATE_INVALID_PARAMETER;
extern const isc::log::MessageID MACGATE_INVALID_VALUE;
extern const isc::log::MessageID MACGATE_LINES_REJECTED;
extern const isc::log::MessageID MACGATE_LIST_LINE;
extern const isc::log::MessageID MACGATE_LOAD_FAILED;
extern const isc::log::MessageID MACGATE_LOG_NOT_OPENED;
extern const isc::log::MessageID MACGATE_LOG_PATH_REFUSED;
extern const isc::log::MessageID MACGATE_MISSING_PARAMETER;
extern const isc::log::MessageID MACGATE_NOT_LOADED;
extern const isc::log::MessageID MACGATE_NOTHING_LOADED;
extern const isc::log::MessageID MACGATE_PARAMETER_NOT_SET;
extern const isc::log::MessageID MACGATE_RELOAD;
extern const isc::log::MessageID MACGATE_SECOND_COPY;
extern const isc::log::MessageID MACGATE_SECTION_FAULT;
extern const isc::log::MessageID MACGATE_SECTIONS_IGNORED;
extern const isc::log::MessageID MACGATE_SHARED_NETWORK_SPLIT;
extern const isc::log::MessageID MACGATE_STARTED;
extern const isc::log::MessageID MACGATE_STILL_DROPPING_ALL;
extern const isc::log::MessageID MACGATE_STOPPED;
extern const isc::log::MessageID MACGATE_UNKNOWN_PARAMETER;
extern const isc::log::MessageID MACGATE_WRONG_PROCESS;

}  // namespace macgate
