#include "kea/kea_parameters.h"

#include <cc/data.h>
#include <process/daemon.h>

#include "kea/kea_log.h"

namespace macgate {
namespace {

// The only servers whose packets the filter can read.
const char kDhcp4Process[] = "kea-dhcp4";
const char kDhcp6Process[] = "kea-dhcp6";

const char kDefaultErrorLog[] =
    "the error log is written to ErrorFile.txt in the server's working directory";

struct ParameterRule {
    const char* name;
    std::string KeaParameters::*path;
    bool required;
    // For an optional parameter, what its absence and an empty string mean,
    // for Kea's log; null says nothing (an absent info-log is simply off).
    const char* whenMissing;
    const char* whenEmpty;
};

const ParameterRule kParameterRules[] = {
    {"list-file", &KeaParameters::listFile, true, nullptr, nullptr},
    {"error-log", &KeaParameters::errorLog, false, kDefaultErrorLog, kDefaultErrorLog},
    {"info-log", &KeaParameters::infoLog, false, nullptr, "no info log is kept"},
};

const ParameterRule* FindRule(const std::string& name) {
    for (const ParameterRule& rule : kParameterRules) {
        if (name == rule.name) {
            return &rule;
        }
    }
    return nullptr;
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
        if (FindRule(name) == nullptr) {
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
        const char* consequence = value ? rule.whenEmpty : rule.whenMissing;
        if (rule.required) {
            LOG_ERROR(KeaLogger, MACGATE_MISSING_PARAMETER).arg(rule.name);
            valid = false;
        } else if (consequence != nullptr) {
            LOG_WARN(KeaLogger, MACGATE_PARAMETER_NOT_SET).arg(rule.name).arg(consequence);
        }
    }
    return valid;
}

}  // namespace macgate
