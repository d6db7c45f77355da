#include "kea/kea_parameters.h"

#include <cc/data.h>
#include <process/daemon.h>

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
};

const ParameterRule kParameterRules[] = {
    {"list-file", &KeaParameters::listFile, true, nullptr},
    {"error-log", &KeaParameters::errorLog, false,
     "no error log is written; Kea's log has every message"},
    {"info-log", &KeaParameters::infoLog, false, "no info log is kept"},
};

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
