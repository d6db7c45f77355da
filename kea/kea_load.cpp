#include "kea/kea_load.h"

#include <cc/command_interpreter.h>
#include <cc/data.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "config/info_log_writer.h"
#include "config/logs.h"
#include "config/startup.h"
#include "config/state.h"
#include "kea/kea_list.h"
#include "kea/kea_log.h"
#include "kea/kea_sections.h"
#include "kea/kea_status.h"
#include "platform/platform.h"

namespace macgate {

const char kReloadCommand[] = "macgate-reload";

namespace {

std::string Rejected(size_t lines) {
    return std::to_string(lines) + (lines == 1 ? " line" : " lines");
}

// In kea-dhcp6, a WARN when the list in use has sections.
void LogSectionsIgnored() {
    const std::string ignored = SectionsIgnored();
    if (!ignored.empty()) {
        LOG_WARN(KeaLogger, MACGATE_SECTIONS_IGNORED)
            .arg(KeaState.parameters.listFile)
            .arg(ignored);
    }
}

}  // namespace

void StartKeaFilter(const KeaParameters& parameters) {
    StopFilter();
    ForgetLoad();
    KeaState.parameters = parameters;
    KeaListLoad load = LoadKeaList(parameters, KeaLoadKind::kStart);
    RecordLoad(load);
    const bool usable = load.Usable();
    PublishList(usable ? load.list.release() : nullptr);
    RestartCounts();
    KeaState.filterStarted = true;
    SetInfoLogDropReport(ReportInfoLogDrops);
    ServerControlEvent(kServerStart);

    if (usable) {
        LOG_INFO(KeaLogger, MACGATE_STARTED).arg(parameters.listFile).arg(LoadSummary());
        for (const std::string& fault : KeaState.sectionFaults) {
            LOG_WARN(KeaLogger, MACGATE_SECTION_FAULT).arg(parameters.listFile).arg(fault);
        }
        LogSectionsIgnored();
        if (load.linesReported != 0) {
            LOG_WARN(KeaLogger, MACGATE_LINES_REJECTED)
                .arg(Rejected(load.linesReported))
                .arg(parameters.listFile);
        }
    } else if (parameters.dropAll) {
        LOG_ERROR(KeaLogger, MACGATE_DROPPING_ALL).arg(parameters.listFile).arg(load.WhyUnusable());
        StartDroppingAll(load);
    } else {
        LOG_ERROR(KeaLogger, MACGATE_NOTHING_LOADED)
            .arg(parameters.listFile)
            .arg(load.WhyUnusable());
    }
}

void AbandonKeaFilter() {
    StopFilter();
    ForgetLoad();
}

void StopKeaFilter() {
    ServerControlEvent(kServerStop);
    // Kea loads the library again on config-reload, and that start-up must
    // find nothing left of this one.
    StopFilter();
    ForgetLoad();
}

namespace {

// The command, but for running out of memory; `applied` is set once the
// new list is in use.
void Reload(isc::hooks::CalloutHandle& handle, bool& applied) {
    using isc::data::Element;
    isc::data::ConstElementPtr command;
    handle.getArgument("command", command);
    isc::data::ConstElementPtr given;
    bool dryRun = false;
    std::string fault;
    try {
        isc::config::parseCommand(given, command);
    } catch (const std::exception& error) {
        fault = error.what();
    }
    if (fault.empty() && given) {
        if (given->getType() != Element::map) {
            fault = "the arguments must be a map";
        } else {
            for (const auto& [name, value] : given->mapValue()) {
                if (name == "dry-run" && value->getType() == Element::boolean) {
                    dryRun = value->boolValue();
                } else if (name == "dry-run") {
                    fault = "\"dry-run\" must be true or false";
                } else {
                    fault = "unknown argument \"" + name + "\" (the one argument is dry-run)";
                }
            }
        }
    }
    if (!fault.empty()) {
        handle.setArgument("response",
                           isc::config::createAnswer(isc::config::CONTROL_RESULT_ERROR, fault));
        return;
    }

    const std::string& listFile = KeaState.parameters.listFile;
    KeaListLoad load =
        LoadKeaList(KeaState.parameters, dryRun ? KeaLoadKind::kDryRun : KeaLoadKind::kReload);
    // A list that is unusable, closes a network or has an ALLOW section
    // that allows no one is not what its administrator meant: refused.
    const std::vector<std::string> faults = SectionFaultTexts(load);
    const bool usable = load.Usable() && faults.empty();
    const EntryCounts entries = usable ? load.list->Entries : EntryCounts();
    const std::string summary = ListSummary(usable ? load.list.get() : nullptr);

    isc::data::ElementPtr arguments = Element::createMap();
    arguments->set("list-file", Element::create(listFile));
    arguments->set("dry-run", Element::create(dryRun));
    arguments->set("applied", Element::create(usable && !dryRun));
    arguments->set("action", usable
                                 ? Element::create(load.list->FilterAction != 0 ? "allow" : "deny")
                                 : Element::create());
    SetListCounts(arguments, entries, load.linesReported, load.reportedLines);
    isc::data::ElementPtr sectionFaults = Element::createList();
    for (const std::string& fault : faults) {
        sectionFaults->add(Element::create(fault));
    }
    arguments->set("section-faults", sectionFaults);
    arguments->set("list-sha256",
                   load.sha256.empty() ? Element::create() : Element::create(load.sha256));

    std::string text;
    const bool listInUse = !LoadSummary().empty();
    const std::string rejected =
        load.linesReported == 0 ? "" : ", " + Rejected(load.linesReported) + " rejected";
    if (!load.Usable()) {
        text = "no address loaded from " + listFile + " (" + load.WhyUnusable() +
               (listInUse ? "): refused, the list in use stays" : "): refused; no list in use");
    } else if (!usable) {
        std::string why;
        for (const std::string& fault : faults) {
            why += (why.empty() ? "" : "; ") + fault;
        }
        text = listFile + " refused (" + why +
               (listInUse ? "): the list in use stays" : "): no list in use");
    } else if (dryRun) {
        text = summary + " would be loaded from " + listFile + rejected;
    } else {
        text = summary + " loaded from " + listFile + rejected;
    }
    if (dryRun) {
        text = "dry run: " + text + "; nothing was changed";
    }
    if (usable && !dryRun) {
        // Only the switch is shared with the packet threads: the list was
        // built beside the one in use, which stays whole until no decision
        // can still read it.
        RecordLoad(load);
        PublishList(load.list.release());
        applied = true;
        RestartCounts();
        StopDroppingAll();
    }
    LOG_INFO(KeaLogger, MACGATE_RELOAD).arg(text);
    if (usable && !dryRun) {
        LogSectionsIgnored();
        WarnOfSplitSharedNetworks();
    }
    if (usable && !dryRun && load.linesReported != 0) {
        LOG_WARN(KeaLogger, MACGATE_LINES_REJECTED).arg(Rejected(load.linesReported)).arg(listFile);
    }
    handle.setArgument("response",
                       isc::config::createAnswer(usable ? isc::config::CONTROL_RESULT_SUCCESS
                                                        : isc::config::CONTROL_RESULT_ERROR,
                                                 text, arguments));
}

}  // namespace

// Whatever runs out of memory, the operator gets an answer that says so,
// and Kea's log too.
int KeaReloadCommand(isc::hooks::CalloutHandle& handle) {
    bool applied = false;
    try {
        Reload(handle, applied);
        return 0;
    } catch (const std::bad_alloc&) {
    }
    try {
        const std::string text = "not enough memory to reload " + KeaState.parameters.listFile +
                                 (applied ? ": the new list is in use" : ": the list in use stays");
        LOG_ERROR(KeaLogger, MACGATE_RELOAD).arg(text);
        handle.setArgument("response",
                           isc::config::createAnswer(isc::config::CONTROL_RESULT_ERROR, text));
    } catch (const std::exception&) {
        return 1;
    }
    return 0;
}

}  // namespace macgate
