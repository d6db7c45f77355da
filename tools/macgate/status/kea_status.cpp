// macgate status --kea SERVER...: what running kea-dhcp4 or kea-dhcp6 servers
// filter with, asked through their control sockets or HTTP control channels
// (macgate-status and Kea's statistics); for several servers, one table and
// whether they filter alike.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/macgate/cli/commands.h"
#include "tools/macgate/server/library.h"
#include "tools/macgate/status/json_reader.h"
#include "tools/macgate/status/kea_channel.h"

namespace macgate {
namespace {

constexpr int kAnswerSeconds = 5;

std::string Request(const std::string& command, const KeaAccess& access) {
    const std::string service =
        access.service.empty() ? "" : ", \"service\": [ \"" + access.service + "\" ]";
    return "{ \"command\": \"" + command + "\"" + service + " }";
}

// One command's answer; false with the reason.
bool Ask(const std::string& server, const KeaAccess& access, const std::string& command,
         Json* answer, std::string* why) {
    std::string text;
    const std::string request = Request(command, access);
    if (!(IsKeaUrl(server) ? AskKeaHttp(server, request, access, kAnswerSeconds, &text, why)
                           : AskControlSocket(server, request, kAnswerSeconds, &text, why))) {
        return false;
    }
    Json read;
    if (ReadJson(text, &read)) {
        // A Control Agent answers with a list: one answer per service asked.
        const Json& one = read.kind == Json::kArray ? read[0] : read;
        if (one["result"].kind == Json::kNumber) {
            *answer = one;
            return true;
        }
    }
    *why = "the answer to " + command + " is not a Kea answer";
    return false;
}

// A count as Kea gives it; "?" for anything that is not a whole number
// within range.
std::string Number(const Json& value) {
    const bool count = value.kind == Json::kNumber && value.number >= -9.0e18 &&
                       value.number <= 9.0e18 && value.number == std::floor(value.number);
    return count ? std::to_string(static_cast<int64_t>(value.number)) : "?";
}

std::string Plural(const Json& value, const char* one, const char* many) {
    return Number(value) + " " + (value.kind == Json::kNumber && value.number == 1 ? one : many);
}

// A statistic's latest value in statistic-get-all's answer; "-" when Kea
// has none.
std::string Statistic(const Json& statistics, const char* name) {
    const Json& samples = statistics["arguments"][name];
    return samples.items.empty() ? "-" : Number(samples[0][0]);
}

}  // namespace

bool IsKeaUrl(const std::string& server) {
    return server.rfind("http://", 0) == 0 || server.rfind("https://", 0) == 0;
}

namespace {

// One server, in full.
int ShowOneServer(const std::string& socket, const KeaAccess& access) {
    Json status;
    std::string why;
    if (!Ask(socket, access, "macgate-status", &status, &why)) {
        std::printf("Kea cannot be asked through %s: %s.\n", socket.c_str(), why.c_str());
        return kExitCannotRun;
    }
    if (status["result"].number != 0) {
        std::printf("Kea at %s does not run macgate: %s.\n", socket.c_str(),
                    status["text"].text.c_str());
        return kExitFindings;
    }
    const Json& arguments = status["arguments"];
    std::printf("macgate in Kea, asked through %s:\n", socket.c_str());
    std::printf("  %-15s %s\n", "list", arguments["list-file"].text.c_str());
    const bool loaded = arguments["action"].kind == Json::kString;
    std::printf("  %-15s %s\n", "loaded",
                loaded ? (arguments["action"].text + " list of " +
                          Plural(arguments["addresses"], "address", "addresses") + " and " +
                          Plural(arguments["prefixes"], "prefix", "prefixes"))
                             .c_str()
                       : "no address");
    std::printf("  %-15s %s\n", "since", arguments["loaded-at"].text.c_str());
    std::printf("  %-15s %s\n", "sha256",
                arguments["list-sha256"].kind == Json::kString
                    ? arguments["list-sha256"].text.c_str()
                    : "none: the list could not be read");
    std::printf("  %-15s %s\n", "rejected",
                Plural(arguments["lines-reported"], "line", "lines").c_str());
    std::printf("  %-15s %s allowed, %s denied\n", "since loading",
                Number(arguments["allowed"]).c_str(), Number(arguments["denied"]).c_str());
    const Json& split = arguments["split-shared-networks"];
    for (size_t i = 0; i < split.items.size(); ++i) {
        std::printf("  %-15s %s (its subnets fall into different sections)\n", "shared network",
                    split[i].text.c_str());
    }
    const Json& sections = arguments["sections"];
    for (size_t i = 0; i < sections.items.size(); ++i) {
        const Json& section = sections[i];
        if (section["action"].text == "closed") {
            std::printf("  %-15s %s: closed, every client in it is dropped\n", "section",
                        section["network"].text.c_str());
            continue;
        }
        std::printf("  %-15s %s: %s list of %s and %s\n", "section",
                    section["network"].text.c_str(), section["action"].text.c_str(),
                    Plural(section["addresses"], "address", "addresses").c_str(),
                    Plural(section["prefixes"], "prefix", "prefixes").c_str());
    }
    const Json& faults = arguments["section-faults"];
    for (size_t i = 0; i < faults.items.size(); ++i) {
        std::printf("  %-15s %s\n", i == 0 ? "not as written" : "", faults[i].text.c_str());
    }
    if (arguments["sections-apply"].kind == Json::kBool && !arguments["sections-apply"].boolean) {
        std::printf("  %-15s %s\n", "",
                    "sections apply to DHCPv4 only: kea-dhcp6 decides by the server-wide entries");
    }
    Json statistics;
    if (Ask(socket, access, "statistic-get-all", &statistics, &why)) {
        // kea-dhcp6 has pkt6-received where kea-dhcp4 has pkt4-received.
        const bool dhcpv6 = statistics["arguments"]["pkt6-received"].kind == Json::kArray;
        const char* received = dhcpv6 ? "pkt6-received" : "pkt4-received";
        const char* dropped = dhcpv6 ? "pkt6-receive-drop" : "pkt4-receive-drop";
        std::printf("  %-15s macgate-allowed %s, macgate-denied %s, %s %s, %s %s\n", "statistics",
                    Statistic(statistics, "macgate-allowed").c_str(),
                    Statistic(statistics, "macgate-denied").c_str(), received,
                    Statistic(statistics, received).c_str(), dropped,
                    Statistic(statistics, dropped).c_str());
    } else {
        std::printf("  %-15s cannot be read: %s\n", "statistics", why.c_str());
    }
    std::printf("\n");
    if (arguments["unusable-list"].kind == Json::kString) {
        std::printf("macgate drops every client: %s.\n", status["text"].text.c_str());
        return kExitFindings;
    }
    if (!loaded) {
        std::printf("macgate does not filter: %s.\n", status["text"].text.c_str());
        return kExitFindings;
    }
    // Packets received since the load while no decision was counted: a
    // library listed before macgate takes them (see KEA in macgate(1)).
    const Json& received = arguments["received"];
    if (received.kind == Json::kNumber && received.number > 0 &&
        arguments["allowed"].number + arguments["denied"].number == 0) {
        std::printf(
            "macgate decides on no packet: Kea received %s since the list loaded, and macgate "
            "counted no decision; a hooks library listed before macgate may take them.\n",
            Plural(received, "packet", "packets").c_str());
        return kExitFindings;
    }
    if (!faults.items.empty()) {
        std::printf("macgate filters with this list, but not as it is written: %s.\n",
                    faults[0].text.c_str());
        return kExitFindings;
    }
    std::printf("macgate filters with this list.\n");
    return kExitOk;
}

// Several servers, a line each, and whether they filter alike: the check an
// HA pair needs, whose partners must filter with the same list.
int ShowServers(const std::vector<std::string>& servers, const KeaAccess& access) {
    size_t width = 6;
    for (const std::string& server : servers) {
        width = std::max(width, server.size());
    }
    std::printf("%-*s  %-7s %-9s %-8s %-9s %-9s %s\n", static_cast<int>(width), "server", "action",
                "addresses", "prefixes", "allowed", "denied", "list-sha256");
    bool unreachable = false;
    bool notFiltering = false;
    std::vector<std::string> hashes;
    for (const std::string& server : servers) {
        Json status;
        std::string why;
        if (!Ask(server, access, "macgate-status", &status, &why)) {
            std::printf("%-*s  cannot be asked: %s\n", static_cast<int>(width), server.c_str(),
                        why.c_str());
            unreachable = true;
            continue;
        }
        const Json& arguments = status["arguments"];
        const bool loaded = status["result"].number == 0 &&
                            arguments["action"].kind == Json::kString &&
                            arguments["unusable-list"].kind != Json::kString;
        if (!loaded) {
            std::printf("%-*s  does not filter: %s\n", static_cast<int>(width), server.c_str(),
                        status["text"].text.c_str());
            notFiltering = true;
            continue;
        }
        const std::string hash =
            arguments["list-sha256"].kind == Json::kString ? arguments["list-sha256"].text : "-";
        hashes.push_back(hash);
        std::printf("%-*s  %-7s %-9s %-8s %-9s %-9s %s\n", static_cast<int>(width), server.c_str(),
                    arguments["action"].text.c_str(), Number(arguments["addresses"]).c_str(),
                    Number(arguments["prefixes"]).c_str(), Number(arguments["allowed"]).c_str(),
                    Number(arguments["denied"]).c_str(), hash.c_str());
    }
    bool alike = true;
    for (const std::string& hash : hashes) {
        alike = alike && hash == hashes.front() && hash != "-";
    }
    std::printf("\n");
    if (!alike) {
        std::printf("The servers filter with different lists: give them the same list file.\n");
    }
    if (notFiltering) {
        std::printf("Not every server filters: see the lines above.\n");
    }
    if (unreachable) {
        std::printf("Not every server can be asked: whether they filter alike cannot be told.\n");
        return kExitCannotRun;
    }
    if (!alike || notFiltering) {
        return kExitFindings;
    }
    std::printf("The %zu servers filter with the same list.\n", servers.size());
    return kExitOk;
}

}  // namespace

int RunKeaStatus(const std::vector<std::string>& servers, const KeaAccess& access) {
    return servers.size() == 1 ? ShowOneServer(servers.front(), access)
                               : ShowServers(servers, access);
}

}  // namespace macgate
