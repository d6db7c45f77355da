#include "kea/kea_status.h"

#include <cc/command_interpreter.h>
#include <cc/data.h>
#include <cryptolink/crypto_hash.h>
#include <cryptolink/cryptolink.h>
#include <hooks/hooks.h>
#include <stats/stats_mgr.h>

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
    KeaState.allowed = 0;
    KeaState.denied = 0;
}

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

void SetUpKeaStatistics(bool dhcpv6) {
    isc::stats::StatsMgr& statistics = isc::stats::StatsMgr::instance();
    std::vector<const char*> names = {kAllowedStatistic, kDeniedStatistic};
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
    if (KeaState.entries.addresses + KeaState.entries.prefixes == 0) {
        return std::string();
    }
    const size_t addresses = KeaState.entries.addresses;
    const size_t prefixes = KeaState.entries.prefixes;
    return std::string(KeaState.action != 0 ? "allow" : "deny") + " list of " +
           std::to_string(addresses) + (addresses == 1 ? " address" : " addresses") + " and " +
           std::to_string(prefixes) + (prefixes == 1 ? " prefix" : " prefixes");
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

void CountDrop6() {
    if (!kKeaCountsPkt6Drops) {
        AddOne(kReceiveDrop6Statistic);
        AddOne(kAdminFiltered6Statistic);
    }
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
