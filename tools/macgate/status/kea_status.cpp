// macgate status --kea SOCKET: what a running kea-dhcp4 or kea-dhcp6 filters
// with, asked through its control socket (macgate-status and Kea's
// statistics).
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

namespace macgate {
namespace {

constexpr int kAnswerSeconds = 5;

// One command's answer; false with the reason.
bool Ask(const std::string& socket, const std::string& command, Json* answer, std::string* why) {
    std::string text;
    if (!AskControlSocket(socket, "{ \"command\": \"" + command + "\" }", kAnswerSeconds, &text,
                          why)) {
        return false;
    }
    if (ReadJson(text, answer) && (*answer)["result"].kind == Json::kNumber) {
        return true;
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

int RunKeaStatus(const std::string& socket) {
    Json status;
    std::string why;
    if (!Ask(socket, "macgate-status", &status, &why)) {
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
    if (Ask(socket, "statistic-get-all", &statistics, &why)) {
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

}  // namespace macgate
