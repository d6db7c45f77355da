#include "kea/kea_sections.h"

#include <asiolink/io_address.h>
#include <dhcp/dhcp4.h>
#include <dhcp/option_custom.h>

#include <exception>
#include <utility>

#include "config/decision.h"
#include "config/state.h"
#include "filter/packet_filter.h"
#include "kea/kea_log.h"
#include "kea/kea_status.h"

namespace macgate {

const char kDeferredContext[] = "macgate-deferred";

namespace {

struct SharedNetworkSubnets {
    std::string name;
    std::vector<std::pair<uint32_t, int>> subnets;  // network, prefix length
};

// Written when Kea takes a configuration and read by the commands, all on
// Kea's main thread.
std::vector<SharedNetworkSubnets> SharedNetworks;

// The last packet that buffer4_receive marked on this thread, and its mark.
thread_local const isc::dhcp::Pkt4* LastMarked = nullptr;
thread_local bool LastDeferred = false;

}  // namespace

void MarkDeferred(isc::hooks::CalloutHandle& handle, const isc::dhcp::Pkt4& query, bool deferred) {
    LastMarked = &query;
    LastDeferred = deferred;
    if (deferred) {
        handle.setContext(kDeferredContext, true);
    }
}

bool Deferred(isc::hooks::CalloutHandle& handle, const isc::dhcp::Pkt4& query) {
    if (&query == LastMarked) {
        return LastDeferred;
    }
    bool deferred = false;
    try {
        handle.getContext(kDeferredContext, deferred);
    } catch (const std::exception&) {
        // Not deferred, or no buffer4_receive of this library saw the packet.
    }
    return deferred;
}

bool KeaSelectsSubnet(const isc::dhcp::Pkt4& query) {
    const uint8_t type = query.getType();
    return type == isc::dhcp::DHCPDISCOVER || type == isc::dhcp::DHCPREQUEST ||
           type == isc::dhcp::DHCPINFORM;
}

uint32_t AddressNamed(isc::dhcp::Pkt4& query) {
    const uint32_t client = query.getCiaddr().toUint32();
    if (client != 0) {
        return client;
    }
    auto requested = boost::dynamic_pointer_cast<isc::dhcp::OptionCustom>(
        query.getOption(isc::dhcp::DHO_DHCP_REQUESTED_ADDRESS));
    return requested ? requested->readAddress().toUint32() : 0;
}

void DecideKeaQuery(isc::hooks::CalloutHandle& handle, const isc::dhcp::Pkt4& query,
                    uint32_t network, int prefixLength) {
    if (&query == LastMarked) {
        LastDeferred = false;
    }
    handle.setContext(kDeferredContext, false);
    const std::vector<uint8_t>& message = query.data_;
    const bool named = message.size() >= kShortestMessage;
    const int32_t verdict =
        KeaState.droppingAll
            ? DropWithoutList(named ? message.data() + kHardwareAddressOffset : nullptr)
            : FilterPacketInNetwork(message.data(), message.size(), network, prefixLength);
    // A message too short to name its client is no decision.
    if (named) {
        CountDecision(verdict);
    }
    if (verdict == 0) {
        handle.setStatus(isc::hooks::CalloutHandle::NEXT_STEP_DROP);
        CountDrop();
    }
}

void KeepSharedNetworks(isc::data::ConstElementPtr config) {
    using isc::data::Element;
    SharedNetworks.clear();
    if (config && config->getType() == Element::map && config->contains("Dhcp4")) {
        config = config->get("Dhcp4");
    }
    isc::data::ConstElementPtr networks;
    if (config && config->getType() == Element::map) {
        networks = config->get("shared-networks");
    }
    if (!networks || networks->getType() != Element::list) {
        return;
    }
    for (const isc::data::ElementPtr& network : networks->listValue()) {
        isc::data::ConstElementPtr name = network->get("name");
        isc::data::ConstElementPtr subnets = network->get("subnet4");
        SharedNetworkSubnets kept = {name ? name->stringValue() : std::string(), {}};
        for (size_t i = 0; subnets && i < subnets->size(); ++i) {
            // "192.0.2.0/26", as Kea has accepted it.
            isc::data::ConstElementPtr subnet = subnets->get(static_cast<int>(i))->get("subnet");
            if (!subnet || subnet->getType() != Element::string) {
                continue;
            }
            const std::string prefix = subnet->stringValue();
            const size_t slash = prefix.find('/');
            kept.subnets.emplace_back(isc::asiolink::IOAddress(prefix.substr(0, slash)).toUint32(),
                                      slash == std::string::npos
                                          ? kLongestNetworkPrefix
                                          : std::stoi(prefix.substr(slash + 1)));
        }
        SharedNetworks.push_back(std::move(kept));
    }
}

std::vector<std::string> SplitSharedNetworks() {
    std::vector<std::string> split;
    ListReader reader;
    const LoadedList* list = ListInUse.load();
    if (list == nullptr || list->SectionLengths == 0) {
        return split;
    }
    for (const SharedNetworkSubnets& network : SharedNetworks) {
        std::string text;
        const ListSection* first = nullptr;
        bool differ = false;
        for (size_t i = 0; i < network.subnets.size(); ++i) {
            const auto& [address, length] = network.subnets[i];
            const ListSection* section = FindSection(*list, address, length);
            differ = differ || (i != 0 && section != first);
            first = i == 0 ? section : first;
            char subnet[kNetworkTextSize];
            FormatNetwork(address, length, subnet);
            text += std::string(i == 0 ? "" : ", ") + subnet + " in ";
            if (section == nullptr) {
                text += "the server-wide entries";
            } else {
                char name[kNetworkTextSize];
                FormatNetwork(section->network, section->prefixLength, name);
                text += std::string("section ") + name;
            }
        }
        if (differ) {
            split.push_back(network.name + ": " + text);
        }
    }
    return split;
}

void WarnOfSplitSharedNetworks() {
    for (const std::string& network : SplitSharedNetworks()) {
        LOG_WARN(KeaLogger, MACGATE_SHARED_NETWORK_SPLIT).arg(network);
    }
}

}  // namespace macgate
