#include "kea/kea_status.h"

#include <cc/command_interpreter.h>
#include <cc/data.h>
#include <cryptolink/crypto_hash.h>
#include <cryptolink/cryptolink.h>
#include <stats/stats_mgr.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <exception>
#include <memory>
#include <vector>

#include "config/state.h"

namespace macgate {

const char kStatusCommand[] = "macgate-status";

KeaLoad KeaState;

void ForgetLoad() {
    KeaState.filterStarted = false;
    KeaState.listFile.clear();
    KeaState.sha256.clear();
    KeaState.entries = EntryCounts();
    KeaState.action = 0;
    KeaState.loadedAt.clear();
    KeaState.sections.clear();
    KeaState.allowed = 0;
    KeaState.denied = 0;
}

namespace {

// Kea's own counter of received packets that it dropped, and the one that
// later Kea releases keep for packets dropped by the administrator's will.
const char kReceiveDropStatistic[] = "pkt4-receive-drop";
const char kAdminFilteredStatistic[] = "pkt4-admin-filtered";
const char kAllowedStatistic[] = "macgate-allowed";
const char kDeniedStatistic[] = "macgate-denied";

std::string HexText(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

isc::data::ElementPtr TextOrNull(const std::string& text) {
    return text.empty() ? isc::data::Element::create() : isc::data::Element::create(text);
}

void AddOne(const char* statistic) {
    isc::stats::StatsMgr::instance().addValue(statistic, int64_t(1));
}

}  // namespace

void SetUpKeaStatistics() {
    isc::stats::StatsMgr& statistics = isc::stats::StatsMgr::instance();
    for (const char* name :
         {kReceiveDropStatistic, kAdminFilteredStatistic, kAllowedStatistic, kDeniedStatistic}) {
        if (!statistics.getObservation(name)) {
            statistics.setValue(name, int64_t(0));
        }
    }
}

// The same open stream that the loader read, from its first byte: the hash
// is of the bytes loaded even if the file is replaced meanwhile. A stream
// that cannot go back to its start gets no hash.
void HashLoadedList(FILE* list) {
    KeaState.sha256.clear();
    try {
        if (std::fseek(list, 0, SEEK_SET) != 0) {
            return;
        }
        using isc::cryptolink::Hash;
        std::unique_ptr<Hash, void (*)(Hash*)> hash(
            isc::cryptolink::CryptoLink::getCryptoLink().createHash(isc::cryptolink::SHA256),
            isc::cryptolink::deleteHash);
        std::vector<uint8_t> buffer(64 * 1024);
        size_t got;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), list)) > 0) {
            hash->update(buffer.data(), got);
        }
        if (std::ferror(list) == 0) {
            KeaState.sha256 = HexText(hash->final(hash->getOutputLength()));
        }
    } catch (const std::exception&) {
        // No hash; the status says null.
    }
}

void RecordLoad(const std::string& listFile) {
    KeaState.listFile = listFile;
    const LoadedList* list = ListInUse.load();
    KeaState.entries = list != nullptr ? list->Entries : EntryCounts();
    KeaState.action = list != nullptr ? list->FilterAction : 0;
    KeaState.sections.clear();
    if (list != nullptr) {
        std::vector<const ListSection*> inFileOrder;
        for (const ListSection& section : list->Sections) {
            inFileOrder.push_back(&section);
        }
        std::sort(
            inFileOrder.begin(), inFileOrder.end(),
            [](const ListSection* a, const ListSection* b) { return a->fileLine < b->fileLine; });
        for (const ListSection* section : inFileOrder) {
            char network[kNetworkTextSize];
            FormatNetwork(section->network, section->prefixLength, network);
            KeaState.sections.push_back({network, section->FilterAction, section->Entries});
        }
    }
    std::time_t now = std::time(nullptr);
    struct tm utc = {};
    char text[32] = {};
    if (gmtime_r(&now, &utc) != nullptr) {
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    }
    KeaState.loadedAt = text;
    KeaState.allowed = 0;
    KeaState.denied = 0;
}

std::string LoadSummary() {
    // An empty set serves every client, whatever the header said.
    size_t loaded = KeaState.entries.addresses + KeaState.entries.prefixes;
    for (const KeaLoad::Section& section : KeaState.sections) {
        loaded += section.entries.addresses + section.entries.prefixes;
    }
    if (loaded == 0) {
        return std::string();
    }
    const size_t addresses = KeaState.entries.addresses;
    const size_t prefixes = KeaState.entries.prefixes;
    const size_t sections = KeaState.sections.size();
    return std::string(KeaState.action != 0 ? "allow" : "deny") + " list of " +
           std::to_string(addresses) + (addresses == 1 ? " address" : " addresses") + " and " +
           std::to_string(prefixes) + (prefixes == 1 ? " prefix" : " prefixes") +
           (sections == 0
                ? ""
                : ", and " + std::to_string(sections) + (sections == 1 ? " section" : " sections"));
}

void CountDecision(int32_t verdict) {
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

int KeaStatusCommand(isc::hooks::CalloutHandle& handle) {
    using isc::data::Element;
    const std::string summary = LoadSummary();
    const std::string action = summary.empty() ? "" : KeaState.action != 0 ? "allow" : "deny";
    isc::data::ElementPtr arguments = Element::createMap();
    arguments->set("list-file", Element::create(KeaState.listFile));
    arguments->set("action", TextOrNull(action));
    arguments->set("addresses", Element::create(static_cast<int64_t>(KeaState.entries.addresses)));
    arguments->set("prefixes", Element::create(static_cast<int64_t>(KeaState.entries.prefixes)));
    isc::data::ElementPtr sections = Element::createList();
    for (const KeaLoad::Section& section : KeaState.sections) {
        isc::data::ElementPtr item = Element::createMap();
        item->set("network", Element::create(section.network));
        item->set("action", Element::create(section.action != 0 ? "allow" : "deny"));
        item->set("addresses", Element::create(static_cast<int64_t>(section.entries.addresses)));
        item->set("prefixes", Element::create(static_cast<int64_t>(section.entries.prefixes)));
        sections->add(item);
    }
    arguments->set("sections", sections);
    arguments->set("list-sha256", TextOrNull(KeaState.sha256));
    arguments->set("loaded-at", Element::create(KeaState.loadedAt));
    arguments->set("allowed", Element::create(static_cast<int64_t>(KeaState.allowed)));
    arguments->set("denied", Element::create(static_cast<int64_t>(KeaState.denied)));
    const std::string text =
        summary.empty() ? "no address loaded from " + KeaState.listFile + "; every client is served"
                        : summary + " loaded from " + KeaState.listFile;
    handle.setArgument("response", isc::config::createAnswer(isc::config::CONTROL_RESULT_SUCCESS,
                                                             text, arguments));
    return 0;
}

}  // namespace macgate
