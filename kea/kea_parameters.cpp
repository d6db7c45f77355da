#include "kea/kea_parameters.h"

#include <cc/data.h>
#include <process/daemon.h>
#if MACGATE_KEA_LOG_PATHS
#include <process/log_parser.h>
#endif

#include "kea/kea_log.h"

namespace macgate {
namespace {

// The only servers whose packets the filter can read.
const char kDhcp4Process[] = "kea-dhcp4";
const char kDhcp6Process[] = "kea-dhcp6";

const char kUnusableList[] = "unusable-list";
const char kServeAll[] = "serve-all";
const char kDropAll[] = "drop-all";

struct ParameterRule {
    const char* name;
    std::string KeaParameters::*path;
    bool required;
    // For an optional parameter, what an empty string means, for Kea's log;
    // an absent log is simply not kept.
    const char* whenEmpty;
    bool logFile;  // written by the library: Kea's rules for log files apply
};

const ParameterRule kParameterRules[] = {
    {"list-file", &KeaParameters::listFile, true, nullptr, false},
    {"error-log", &KeaParameters::errorLog, false,
     "no error log is written; Kea's log has every message", true},
    {"info-log", &KeaParameters::infoLog, false, "no info log is kept", true},
};

// Kea 2.6.3 and later write log files only in Kea's log folder (which
// KEA_LOG_FILE_DIR may name), and so do the library's logs, through Kea's
// own check: a path outside it is refused with Kea's reason. Earlier Kea
// releases have no such rule, and take any path.
bool LogPathAllowed(const char* name, std::string& path) {
#if MACGATE_KEA_LOG_PATHS
    try {
        path = isc::process::LogConfigParser::validatePath(path);
    } catch (const std::exception& error) {
        LOG_ERROR(KeaLogger, MACGATE_LOG_PATH_REFUSED).arg(name).arg(path).arg(error.what());
        return false;
    }
#else
    static_cast<void>(name);
    static_cast<void>(path);
#endif
    return true;
}

bool Known(const std::string& name) {
    for (const ParameterRule& rule : kParameterRules) {
        if (name == rule.name) {
            return true;
        }
    }
    return name == kUnusableList;
}

// "unusable-list": absent, "serve-all" or "drop-all".
bool ReadUnusableList(isc::hooks::LibraryHandle& handle, KeaParameters& parameters) {
    isc::data::ConstElementPtr value = handle.getParameter(kUnusableList);
    parameters.dropAll = false;
    if (!value) {
        return true;
    }
    if (value->getType() == isc::data::Element::string) {
        if (value->stringValue() == kServeAll) {
            return true;
        }
        if (value->stringValue() == kDropAll) {
            parameters.dropAll = true;
            return true;
        }
    }
    LOG_ERROR(KeaLogger, MACGATE_INVALID_VALUE).arg(kUnusableList).arg(value->str());
    return false;
}

}  // namespace

bool ReadKeaParameters(isc::hooks::LibraryHandle& handle, KeaParameters& parameters) {
    const std::string process = isc::process::Daemon::getProcName();
    parameters.dhcpv6 = process == kDhcp6Process;
    if (process != kDhcp4Process && !parameters.dhcpv6) {
        LOG_ERROR(KeaLogger, MACGATE_WRONG_PROCESS)
            .arg(process.empty() ? "an unnamed process" : process);
        return false;
    }

    bool valid = true;
    for (const std::string& name : handle.getParameterNames()) {
        if (!Known(name)) {
            LOG_ERROR(KeaLogger, MACGATE_UNKNOWN_PARAMETER).arg(name);
            valid = false;
        }
    }
    for (const ParameterRule& rule : kParameterRules) {
        isc::data::ConstElementPtr value = handle.getParameter(rule.name);
        if (value && value->getType() != isc::data::Element::string) {
            LOG_ERROR(KeaLogger, MACGATE_INVALID_PARAMETER).arg(rule.name);
            valid = false;
            continue;
        }
        std::string& path = parameters.*rule.path;
        path = value ? value->stringValue() : std::string();
        if (!path.empty()) {
            valid = (!rule.logFile || LogPathAllowed(rule.name, path)) && valid;
            continue;
        }
        if (rule.required) {
            LOG_ERROR(KeaLogger, MACGATE_MISSING_PARAMETER).arg(rule.name);
            valid = false;
        } else if (value) {
            LOG_WARN(KeaLogger, MACGATE_PARAMETER_NOT_SET).arg(rule.name).arg(rule.whenEmpty);
        }
    }
    return ReadUnusableList(handle, parameters) && valid;
}

}  // namespace macgate
