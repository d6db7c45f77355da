#include "kea/kea_status.h"

#include <cc/command_interpreter.h>
#include <cc/data.h>
#include <hooks/hooks.h>
#include <stats/stats_mgr.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "config/info_log_writer.h"
#include "config/state.h"
#include "kea/kea_log.h"
#include "kea/kea_sections.h"

namespace macgate {

const char kStatusCommand[] = "macgate-status";

KeaLoad KeaState;

namespace {

// Kea's own counter of received packets that it dropped, and the one that
// later Kea releases keep for packets dropped by the administrator's will.
const char kReceiveDropStatistic[] = "pkt4-receive-drop";
const char kAdminFilteredStatistic[] = "pkt4-admin-filtered";
const char kReceiveDrop6Statistic[] = "pkt6-receive-drop";
const char kAdminFiltered6Statistic[] = "pkt6-admin-filtered";
// Kea 2.2 counts a packet dropped at pkt6_receive in pkt6-receive-drop
// itself and has no pkt6-admin-filtered; later releases leave both to the
// library that drops it.
constexpr bool kKeaCountsPkt6Drops = KEA_HOOKS_VERSION <= 20200;
const char kAllowedStatistic[] = "macgate-allowed";
const char kDeniedStatistic[] = "macgate-denied";
const char kInfoLogDroppedStatistic[] = "macgate-info-log-dropped";

// The info log's dropped lines that the statistic holds already.
std::atomic<uint64_t> DroppedInStatistic{0};

// Adds what the info log dropped since the last time to the statistic, on a
// packet thread, where Kea's statistics manager may be used.
void CountInfoLogDrops() {
    const uint64_t dropped = InfoLogLinesDropped();
    uint64_t counted = DroppedInStatistic.load(std::memory_order_relaxed);
    if (dropped != counted && DroppedInStatistic.compare_exchange_strong(counted, dropped)) {
        isc::stats::StatsMgr::instance().addValue(kInfoLogDroppedStatistic,
                                                  static_cast<int64_t>(dropped - counted));
    }
}

constexpr std::chrono::minutes kReminderInterval(1);

// The thread that repeats, every minute, that every client is dropped.
struct Reminder {
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};
Reminder DropReminder;

void RemindEveryMinute(std::string since, std::string listFile) {
    std::unique_lock<std::mutex> guard(DropReminder.lock);
    while (
        !DropReminder.wake.wait_for(guard, kReminderInterval, [] { return DropReminder.stop; })) {
        LOG_ERROR(KeaLogger, MACGATE_STILL_DROPPING_ALL).arg(since).arg(listFile);
    }
}

isc::data::ElementPtr TextOrNull(const std::string& text) {
    return text.empty() ? isc::data::Element::create() : isc::data::Element::create(text);
}

// Kea's own count of the packets it received.
int64_t Received() {
    isc::stats::ObservationPtr observation = isc::stats::StatsMgr::instance().getObservation(
        KeaState.parameters.dhcpv6 ? "pkt6-received" : "pkt4-received");
    return observation ? observation->getInteger().first : 0;
}

void AddOne(const char* statistic) {
    isc::stats::StatsMgr::instance().addValue(statistic, int64_t(1));
}

}  // namespace

void ForgetLoad() {
    StopDroppingAll();
    KeaState.filterStarted = false;
    KeaState.parameters = KeaParameters();
    KeaState.sha256.clear();
    KeaState.entries = EntryCounts();
    KeaState.action = 0;
    KeaState.linesReported = 0;
    KeaState.reportedLines.clear();
    KeaState.sections.clear();
    KeaState.sectionFaults.clear();
    KeaState.loadedAt.clear();
    KeaState.allowed = 0;
    KeaState.denied = 0;
}

void SetUpKeaStatistics(bool dhcpv6) {
    isc::stats::StatsMgr& statistics = isc::stats::StatsMgr::instance();
    std::vector<const char*> names = {kAllowedStatistic, kDeniedStatistic,
                                      kInfoLogDroppedStatistic};
    if (!dhcpv6) {
        names.insert(names.end(), {kReceiveDropStatistic, kAdminFilteredStatistic});
    } else if (!kKeaCountsPkt6Drops) {
        names.insert(names.end(), {kReceiveDrop6Statistic, kAdminFiltered6Statistic});
    }
    for (const char* name : names) {
        if (!statistics.getObservation(name)) {
            statistics.setValue(name, int64_t(0));
        }
    }
}

std::string UtcNow() {
    std::time_t now = std::time(nullptr);
    struct tm utc = {};
    char text[32] = {};
    if (gmtime_r(&now, &utc) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    }
    return text;
}

void RecordLoad(const KeaListLoad& load) {
    // Everything that can fail first, then the record, which cannot: a load
    // that runs out of memory here leaves the record of the list in use.
    std::string sha256 = load.sha256;
    std::vector<std::string> reportedLines = load.reportedLines;
    std::vector<std::string> faults;
    std::vector<KeaLoad::Section> sections;
    if (load.Usable()) {
        faults = SectionFaultTexts(load);
        std::vector<const ListSection*> inFileOrder;
        for (const ListSection& section : load.list->Sections) {
            inFileOrder.push_back(&section);
        }
        std::sort(
            inFileOrder.begin(), inFileOrder.end(),
            [](const ListSection* a, const ListSection* b) { return a->fileLine < b->fileLine; });
        for (const ListSection* section : inFileOrder) {
            char network[kNetworkTextSize];
            FormatNetwork(section->network, section->prefixLength, network);
            sections.push_back({network, section->FilterAction, section->Entries});
        }
    }
    KeaState.sha256.swap(sha256);
    KeaState.entries = load.Usable() ? load.list->Entries : EntryCounts();
    KeaState.action = load.Usable() ? load.list->FilterAction : 0;
    KeaState.linesReported = load.linesReported;
    KeaState.reportedLines.swap(reportedLines);
    KeaState.sections.swap(sections);
    KeaState.sectionFaults.swap(faults);
}

void RestartCounts() {
    KeaState.loadedAt = UtcNow();
    KeaState.receivedAtLoad = Received();
    KeaState.allowed = 0;
    KeaState.denied = 0;
}

namespace {

// "allow list of 2 addresses and 1 prefix", with ", and 2 sections" when
// there are sections; "" when nothing was loaded anywhere: an empty set
// serves every client, whatever the header said.
std::string Summary(const EntryCounts& entries, unsigned char action, size_t sections,
                    size_t sectionEntries) {
    const size_t loaded = entries.addresses + entries.prefixes + sectionEntries;
    if (loaded == 0) {
        return std::string();
    }
    const size_t addresses = entries.addresses;
    const size_t prefixes = entries.prefixes;
    return std::string(action != 0 ? "allow" : "deny") + " list of " + std::to_string(addresses) +
           (addresses == 1 ? " address" : " addresses") + " and " + std::to_string(prefixes) +
           (prefixes == 1 ? " prefix" : " prefixes") +
           (sections == 0
                ? ""
                : ", and " + std::to_string(sections) + (sections == 1 ? " section" : " sections"));
}

}  // namespace

std::string ListSummary(const LoadedList* list) {
    if (list == nullptr) {
        return std::string();
    }
    size_t sectionEntries = 0;
    for (const ListSection& section : list->Sections) {
        sectionEntries += section.Entries.addresses + section.Entries.prefixes;
    }
    return Summary(list->Entries, list->FilterAction, list->Sections.size(), sectionEntries);
}

std::string LoadSummary() {
    size_t sectionEntries = 0;
    for (const KeaLoad::Section& section : KeaState.sections) {
        sectionEntries += section.entries.addresses + section.entries.prefixes;
    }
    return Summary(KeaState.entries, KeaState.action, KeaState.sections.size(), sectionEntries);
}

std::string SectionsIgnored() {
    const size_t sections = KeaState.sections.size();
    if (!KeaState.parameters.dhcpv6 || sections == 0) {
        return std::string();
    }
    return std::to_string(sections) + (sections == 1 ? " section" : " sections");
}

void StartDroppingAll(const KeaListLoad& load) {
    StopDroppingAll();
    KeaState.unusableSince = UtcNow();
    KeaState.whyUnusable = load.WhyUnusable();
    KeaState.droppingAll = true;
    DropReminder.stop = false;
    DropReminder.thread =
        std::thread(RemindEveryMinute, KeaState.unusableSince, KeaState.parameters.listFile);
}

void StopDroppingAll() {
    KeaState.droppingAll = false;
    KeaState.unusableSince.clear();
    KeaState.whyUnusable.clear();
    if (DropReminder.thread.joinable()) {
        {
            std::lock_guard<std::mutex> guard(DropReminder.lock);
            DropReminder.stop = true;
        }
        DropReminder.wake.notify_all();
        DropReminder.thread.join();
    }
}

void ReportInfoLogDrops(uint64_t dropped, int error) {
    LOG_WARN(KeaLogger, MACGATE_INFO_LOG_DROPPED)
        .arg(std::string(InfoLogPath))
        .arg(error != 0 ? std::strerror(error) : "the file takes lines slower than they come")
        .arg(dropped);
}

void CountDecision(int32_t verdict) {
    CountInfoLogDrops();
    if (verdict != 0) {
        ++KeaState.allowed;
        AddOne(kAllowedStatistic);
    } else {
        ++KeaState.denied;
        AddOne(kDeniedStatistic);
    }
}

void CountDrop() {
    AddOne(kReceiveDropStatistic);
    AddOne(kAdminFilteredStatistic);
}

void CountDrop6() {
    if (!kKeaCountsPkt6Drops) {
        AddOne(kReceiveDrop6Statistic);
        AddOne(kAdminFiltered6Statistic);
    }
}

void SetListCounts(const isc::data::ElementPtr& arguments, const EntryCounts& entries,
                   size_t linesReported, const std::vector<std::string>& reportedLines) {
    using isc::data::Element;
    arguments->set("addresses", Element::create(static_cast<int64_t>(entries.addresses)));
    arguments->set("prefixes", Element::create(static_cast<int64_t>(entries.prefixes)));
    arguments->set("lines-reported", Element::create(static_cast<int64_t>(linesReported)));
    isc::data::ElementPtr lines = Element::createList();
    for (const std::string& line : reportedLines) {
        lines->add(Element::create(line));
    }
    arguments->set("reported-lines", lines);
}

int KeaStatusCommand(isc::hooks::CalloutHandle& handle) {
    using isc::data::Element;
    const std::string& listFile = KeaState.parameters.listFile;
    const std::string summary = LoadSummary();
    const std::string action = summary.empty() ? "" : KeaState.action != 0 ? "allow" : "deny";
    isc::data::ElementPtr arguments = Element::createMap();
    arguments->set("list-file", Element::create(listFile));
    arguments->set("action", TextOrNull(action));
    SetListCounts(arguments, KeaState.entries, KeaState.linesReported, KeaState.reportedLines);
    isc::data::ElementPtr sections = Element::createList();
    for (const KeaLoad::Section& section : KeaState.sections) {
        isc::data::ElementPtr item = Element::createMap();
        item->set("network", Element::create(section.network));
        item->set("action", Element::create(section.action == kSectionClosed ? "closed"
                                            : section.action != 0            ? "allow"
                                                                             : "deny"));
        item->set("addresses", Element::create(static_cast<int64_t>(section.entries.addresses)));
        item->set("prefixes", Element::create(static_cast<int64_t>(section.entries.prefixes)));
        sections->add(item);
    }
    arguments->set("sections", sections);
    isc::data::ElementPtr faults = Element::createList();
    for (const std::string& fault : KeaState.sectionFaults) {
        faults->add(Element::create(fault));
    }
    arguments->set("section-faults", faults);
    arguments->set("list-sha256", TextOrNull(KeaState.sha256));
    arguments->set("loaded-at", Element::create(KeaState.loadedAt));
    arguments->set("allowed", Element::create(static_cast<int64_t>(KeaState.allowed)));
    arguments->set("denied", Element::create(static_cast<int64_t>(KeaState.denied)));
    // Since the load; all of it when Kea's statistics were reset since.
    const int64_t received = Received();
    arguments->set("received", Element::create(received >= KeaState.receivedAtLoad
                                                   ? received - KeaState.receivedAtLoad
                                                   : received));
    isc::data::ElementPtr split = Element::createList();
    for (const std::string& network : SplitSharedNetworks()) {
        split->add(Element::create(network));
    }
    arguments->set("split-shared-networks", split);
    std::string text = summary + " loaded from " + listFile;
    if (KeaState.droppingAll) {
        arguments->set("unusable-list", Element::create("dropping all clients"));
        text = "no address loaded from " + listFile + " (" + KeaState.whyUnusable +
               "); every client is dropped since " + KeaState.unusableSince;
    } else if (summary.empty()) {
        text = "no address loaded from " + listFile + "; every client is served";
    }
    for (const std::string& fault : KeaState.sectionFaults) {
        text += "; " + fault;
    }
    const std::string ignored = SectionsIgnored();
    if (!ignored.empty()) {
        arguments->set("sections-apply", Element::create(false));
        text += "; " + ignored +
                " not used: sections apply to DHCPv4 only, so kea-dhcp6 decides every client by "
                "the server-wide entries";
    }
    handle.setArgument("response", isc::config::createAnswer(isc::config::CONTROL_RESULT_SUCCESS,
                                                             text, arguments));
    return 0;
}

}  // namespace macgate
