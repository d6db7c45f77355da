// Loads the built libdhcp_macgate.so through Kea's own hooks manager, as
// kea-dhcp4 and kea-dhcp6 do, and drives it only through Kea's callout calls.
// Kea's own config.h comes first: Kea 3.0's TLS headers, which
// dhcpsrv/cfgmgr.h brings in, need it.
#include <config.h>

#include <cc/command_interpreter.h>
#include <cc/data.h>
#include <dhcp/dhcp4.h>
#include <dhcp/pkt4.h>
#include <dhcp/pkt6.h>
#include <dhcpsrv/cfgmgr.h>
#include <dhcpsrv/subnet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <hooks/callout_handle.h>
#include <hooks/hooks.h>
#include <hooks/hooks_manager.h>
#include <log/logger_unittest_support.h>
#include <process/daemon.h>
#include <boost/make_shared.hpp>
#if MACGATE_KEA_LOG_PATHS
#include <process/log_parser.h>
#endif
#include <stats/stats_mgr.h>
#include <sys/stat.h>
#include <unistd.h>
#include <util/multi_threading_mgr.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/open_files.h"
// Counting every allocation replaces malloc, which the sanitizers' own
// malloc does not allow.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define MACGATE_COUNTS_ALLOCATIONS 1
#include "tests/allocation_counter.h"
#endif

namespace fs = std::filesystem;
using isc::data::Element;
using isc::data::ElementPtr;
using isc::hooks::CalloutHandle;
using isc::hooks::HooksManager;

namespace {

// Kea's log for this process; set up in main() before Kea's logging starts.
std::string keaLogPath;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> ReadLines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A DHCPDISCOVER as it comes off the wire: the fixed header and the magic
// cookie, with `mac` in the client hardware address field.
std::vector<uint8_t> Discover(uint64_t mac, uint32_t giaddr = 0) {
    std::vector<uint8_t> message(240, 0);
    for (int i = 0; i < 4; ++i) {
        message[24 + i] = static_cast<uint8_t>(giaddr >> (8 * (3 - i)));
    }
    message[0] = 1;  // BOOTREQUEST
    message[1] = 1;  // Ethernet
    message[2] = 6;
    for (int i = 0; i < 6; ++i) {
        message[28 + i] = static_cast<uint8_t>(mac >> (8 * (5 - i)));
    }
    message[236] = 99, message[237] = 130, message[238] = 83, message[239] = 99;
    return message;
}

// DHCPv6 wire format: one option, and a client's DUIDs (RFC 8415, 11).
std::vector<uint8_t> Option6(uint16_t code, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> option(4 + data.size());
    option[0] = uint8_t(code >> 8);
    option[1] = uint8_t(code);
    option[2] = uint8_t(data.size() >> 8);
    option[3] = uint8_t(data.size());
    std::copy(data.begin(), data.end(), option.begin() + 4);
    return option;
}

std::vector<uint8_t> MacBytes(uint64_t mac) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 6; ++i) {
        bytes.push_back(static_cast<uint8_t>(mac >> (8 * (5 - i))));
    }
    return bytes;
}

// DUID-LLT (type 1, Ethernet, a time) and DUID-LL (type 3) name the MAC;
// DUID-EN (type 2: an enterprise number and its identifier) does not.
std::vector<uint8_t> DuidLlt(uint64_t mac) {
    std::vector<uint8_t> duid = {0, 1, 0, 1, 0x2a, 0x1b, 0x3c, 0x4d};
    std::vector<uint8_t> address = MacBytes(mac);
    duid.insert(duid.end(), address.begin(), address.end());
    return duid;
}

std::vector<uint8_t> DuidLl(uint64_t mac) {
    std::vector<uint8_t> duid = {0, 3, 0, 1};
    std::vector<uint8_t> address = MacBytes(mac);
    duid.insert(duid.end(), address.begin(), address.end());
    return duid;
}

const std::vector<uint8_t> kDuidEn = {0, 2, 0, 0, 0x01, 0x59, 'm', 'a', 'c', 'g', 'a', 't', 'e'};

// A SOLICIT naming its client by `duid`.
std::vector<uint8_t> Solicit(const std::vector<uint8_t>& duid) {
    std::vector<uint8_t> message = {1, 0x12, 0x34, 0x56};
    std::vector<uint8_t> clientId = Option6(1, duid);
    message.insert(message.end(), clientId.begin(), clientId.end());
    return message;
}

// A relay's RELAY-FORW around `message`, with the client's link-layer
// address option (79, RFC 6939) when `mac` is not 0.
std::vector<uint8_t> RelayForward(const std::vector<uint8_t>& message, uint64_t mac) {
    std::vector<uint8_t> relayed = {12, 0};
    const uint8_t linkAddress[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 1};
    const uint8_t peerAddress[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    relayed.insert(relayed.end(), linkAddress, linkAddress + 16);
    relayed.insert(relayed.end(), peerAddress, peerAddress + 16);
    if (mac != 0) {
        std::vector<uint8_t> data = {0, 1};
        std::vector<uint8_t> address = MacBytes(mac);
        data.insert(data.end(), address.begin(), address.end());
        std::vector<uint8_t> option = Option6(79, data);
        relayed.insert(relayed.end(), option.begin(), option.end());
    }
    std::vector<uint8_t> relayMessage = Option6(9, message);
    relayed.insert(relayed.end(), relayMessage.begin(), relayMessage.end());
    return relayed;
}

// The link-local address that a host forms from its MAC (modified EUI-64).
std::string LinkLocal(uint64_t mac) {
    std::vector<uint8_t> b = MacBytes(mac);
    char text[64];
    std::snprintf(text, sizeof text, "fe80::%02x%02x:%02xff:fe%02x:%02x%02x", b[0] ^ 2, b[1], b[2],
                  b[3], b[4], b[5]);
    return text;
}

// The statistics that the library keeps in Kea's statistics manager.
const char* const kStatistics[] = {"pkt4-receive-drop", "pkt4-admin-filtered", "macgate-allowed",
                                   "macgate-denied", "macgate-info-log-dropped"};

int64_t Statistic(const char* name) {
    isc::stats::ObservationPtr observation = isc::stats::StatsMgr::instance().getObservation(name);
    return observation ? observation->getInteger().first : -1;
}

class KeaLoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("macgate-kea-load-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        oldDir_ = fs::current_path();
        // The error log falls back to a file in the working directory.
        fs::current_path(dir_);
        hookIndex_ = HooksManager::registerHook("buffer4_receive");
        buffer4Index_ = hookIndex_;
        pkt4Index_ = HooksManager::registerHook("pkt4_receive");
        subnet4Index_ = HooksManager::registerHook("subnet4_select");
        configured4Index_ = HooksManager::registerHook("dhcp4_srv_configured");
        hook6Index_ = HooksManager::registerHook("pkt6_receive");
        configuredIndex_ = HooksManager::registerHook("dhcp6_srv_configured");
        isc::util::MultiThreadingMgr::instance().setMode(true);
        UseServer("kea-dhcp4");
        AllowLogsIn(dir_);
        isc::stats::StatsMgr::instance().removeAll();
        keaLogStart_ = ReadFile(keaLogPath).size();
    }

    void TearDown() override {
        HooksManager::prepareUnloadLibraries();
        HooksManager::unloadLibraries();
        isc::util::MultiThreadingMgr::instance().setMode(false);
        fs::current_path(oldDir_);
        fs::remove_all(dir_);
    }

    fs::path Path(const char* name) const {
        return dir_ / name;
    }

    // The server that loads the library from now on.
    void UseServer(const char* process) {
        isc::process::Daemon::setProcName(process);
        dhcpv6_ = std::string(process) == "kea-dhcp6";
    }

    // Kea 2.6.3 and later write log files in their log folder only, and
    // hold the library's logs to that rule: here, the folder given.
    static void AllowLogsIn(const fs::path& folder) {
#if MACGATE_KEA_LOG_PATHS
        isc::process::LogConfigParser::getLogPath(true, folder.string());
#else
        static_cast<void>(folder);
#endif
    }

    void WriteList(const char* text) const {
        std::ofstream(Path("list.txt")) << text;
    }

    // The parameters naming the list, error log and info log in dir_.
    ElementPtr AllParameters() const {
        ElementPtr parameters = Element::createMap();
        parameters->set("list-file", Element::create(Path("list.txt").string()));
        parameters->set("error-log", Element::create(Path("error.log").string()));
        parameters->set("info-log", Element::create(Path("info.log").string()));
        return parameters;
    }

    // Loads macgate after the libraries in `before`, as Kea's configuration
    // lists them.
    bool Load(ElementPtr parameters, isc::hooks::HookLibsCollection before = {}) {
        before.emplace_back(std::string(MACGATE_KEA_LIBRARY), parameters);
        return HooksManager::loadLibraries(before);
    }

    void Unload() {
        HooksManager::prepareUnloadLibraries();
        ASSERT_TRUE(HooksManager::unloadLibraries());
    }

    // A log's text since the start line that each load writes first, in a
    // log that each load appends to; checks that the start line is there.
    std::string SinceLastLoad(const char* name) const {
        const std::string text = ReadFile(Path(name));
        const size_t start = text.rfind("---- ");
        const bool found = start != std::string::npos && (start == 0 || text[start - 1] == '\n');
        EXPECT_TRUE(found) << name << " has no start line:\n" << text;
        const std::string line = found ? text.substr(start, text.find('\n', start) - start) : "";
        EXPECT_TRUE(std::regex_match(line, std::regex("---- \\d{4}-\\d\\d-\\d\\dT[0-9:]{8}Z "
                                                      "kea-dhcp[46] loads the list .*list.txt")))
            << line;
        return found ? text.substr(text.find('\n', start) + 1) : text;
    }

    std::vector<std::string> LinesSinceLastLoad(const char* name) const {
        std::vector<std::string> lines;
        std::istringstream in(SinceLastLoad(name));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    // The info log's decision lines since the last load, each without its
    // timestamp.
    std::string DecisionLines() const {
        std::string lines;
        for (const std::string& line : LinesSinceLastLoad("info.log")) {
            if (std::regex_search(line, std::regex("^[A-Z][a-z]{2} [A-Z][a-z]{2} "))) {
                lines += line.substr(25) + "\n";
            }
        }
        return lines;
    }

    // What Kea logged since the test began.
    std::string KeaLog() const {
        return ReadFile(keaLogPath).substr(keaLogStart_);
    }

    // Runs buffer4_receive on a message and gives the status that Kea acts
    // on. With `length`, the raw data is cut short after the packet is made.
    CalloutHandle::CalloutNextStep Status(const std::vector<uint8_t>& message,
                                          size_t length = 0) const {
        isc::dhcp::Pkt4Ptr query =
            boost::make_shared<isc::dhcp::Pkt4>(message.data(), message.size());
        if (length != 0) {
            query->data_.resize(length);
        }
        boost::shared_ptr<CalloutHandle> handle = HooksManager::createCalloutHandle();
        handle->setArgument("query4", query);
        HooksManager::callCallouts(hookIndex_, *handle);
        return handle->getStatus();
    }

    bool Dropped(const std::vector<uint8_t>& message, size_t length = 0) const {
        return Status(message, length) == CalloutHandle::NEXT_STEP_DROP;
    }

    // Runs pkt6_receive on a DHCPv6 message from `source`, parsed as
    // kea-dhcp6 parses it, and gives the status that Kea acts on.
    CalloutHandle::CalloutNextStep Status6(const std::vector<uint8_t>& message,
                                           const std::string& source = "::") const {
        isc::dhcp::Pkt6Ptr query(new isc::dhcp::Pkt6(message.data(), message.size()));
        query->unpack();
        query->setRemoteAddr(isc::asiolink::IOAddress(source));
        boost::shared_ptr<CalloutHandle> handle = HooksManager::createCalloutHandle();
        handle->setArgument("query6", query);
        HooksManager::callCallouts(hook6Index_, *handle);
        return handle->getStatus();
    }

    // The client with `mac` asks the server in use: a DISCOVER, or a
    // SOLICIT with a DUID-LLT. Gives whether it was dropped.
    bool ClientDropped(uint64_t mac) const {
        return dhcpv6_ ? Status6(Solicit(DuidLlt(mac))) == CalloutHandle::NEXT_STEP_DROP
                       : Selected(Query(mac, isc::dhcp::DHCPDISCOVER, 0, 0), "") ==
                             CalloutHandle::NEXT_STEP_DROP;
    }

    // A parsed DHCPv4 query of `type` from `mac`, as Kea hands it to its
    // callouts.
    static isc::dhcp::Pkt4Ptr Query(uint64_t mac, uint8_t type, uint32_t giaddr, uint32_t ciaddr) {
        std::vector<uint8_t> message = Discover(mac, giaddr);
        for (int i = 0; i < 4; ++i) {
            message[12 + i] = static_cast<uint8_t>(ciaddr >> (8 * (3 - i)));
        }
        message.insert(message.end(), {53, 1, type, 255});
        isc::dhcp::Pkt4Ptr query(new isc::dhcp::Pkt4(message.data(), message.size()));
        query->unpack();
        return query;
    }

    // Runs one hook point on `query` with `handle`, which stands for the
    // packet's one handle; `subnet` ("10.1.2.0/24", "" for none) is the
    // subnet that subnet4_select gets.
    void RunHook(int index, CalloutHandle& handle, const isc::dhcp::Pkt4Ptr& query,
                 const std::string& subnet = "") const {
        handle.setArgument("query4", query);
        if (index == subnet4Index_) {
            isc::dhcp::Subnet4Ptr selected;
            if (!subnet.empty()) {
                const size_t slash = subnet.find('/');
                selected = isc::dhcp::Subnet4::create(
                    isc::asiolink::IOAddress(subnet.substr(0, slash)),
                    static_cast<uint8_t>(std::stoi(subnet.substr(slash + 1))), 1000, 2000, 3000, 1);
            }
            handle.setArgument("subnet4", selected);
        }
        HooksManager::callCallouts(index, handle);
    }

    // A query through buffer4_receive, pkt4_receive and subnet4_select, as
    // far as Kea takes it: subnet4_select only for the messages that Kea
    // selects a subnet for, and only while no callout dropped it.
    CalloutHandle::CalloutNextStep Selected(const isc::dhcp::Pkt4Ptr& query,
                                            const std::string& subnet) const {
        boost::shared_ptr<CalloutHandle> handle = HooksManager::createCalloutHandle();
        const uint8_t type = query->getType();
        for (int index : {buffer4Index_, pkt4Index_, subnet4Index_}) {
            if (handle->getStatus() == CalloutHandle::NEXT_STEP_DROP ||
                (index == subnet4Index_ && type == isc::dhcp::DHCPRELEASE)) {
                break;
            }
            RunHook(index, *handle, query, subnet);
        }
        return handle->getStatus();
    }

    // kea-dhcp4 has taken the configuration `config` (JSON).
    void Configured4(const char* config) const {
        boost::shared_ptr<CalloutHandle> handle = HooksManager::createCalloutHandle();
        isc::data::ConstElementPtr json = Element::fromJSON(config);
        handle->setArgument("json_config", json);
        HooksManager::callCallouts(configured4Index_, *handle);
    }

    // Kea has taken a configuration whose Dhcp6 map is `dhcp6` (JSON).
    void Configured6(const char* dhcp6) const {
        boost::shared_ptr<CalloutHandle> handle = HooksManager::createCalloutHandle();
        isc::data::ConstElementPtr config = Element::fromJSON(dhcp6);
        handle->setArgument("json_config", config);
        HooksManager::callCallouts(configuredIndex_, *handle);
    }

    // The answer to a command, as the control channel would send it; null
    // when no library handles the command.
    static isc::data::ConstElementPtr Answer(const char* command,
                                             isc::data::ConstElementPtr arguments = nullptr) {
        if (!HooksManager::commandHandlersPresent(command)) {
            return isc::data::ConstElementPtr();
        }
        boost::shared_ptr<CalloutHandle> handle = HooksManager::createCalloutHandle();
        handle->setArgument("command", isc::config::createCommand(command, arguments));
        HooksManager::callCommandHandlers(command, *handle);
        isc::data::ConstElementPtr answer;
        handle->getArgument("response", answer);
        return answer;
    }

    isc::data::ConstElementPtr StatusAnswer() const {
        return Answer("macgate-status");
    }

    // The answer's arguments without "loaded-at", after checking that the
    // command succeeded and that "loaded-at" is an ISO 8601 UTC time no
    // earlier than the test's start.
    ElementPtr StatusArguments() const {
        isc::data::ConstElementPtr answer = StatusAnswer();
        EXPECT_TRUE(answer);
        if (!answer) {
            return ElementPtr();
        }
        int result = -1;
        isc::data::ConstElementPtr arguments = isc::config::parseAnswer(result, answer);
        EXPECT_EQ(result, isc::config::CONTROL_RESULT_SUCCESS) << answer->str();
        ElementPtr copy = isc::data::copy(arguments);
        isc::data::ConstElementPtr loadedAt = copy->get("loaded-at");
        EXPECT_TRUE(loadedAt && loadedAt->getType() == Element::string) << answer->str();
        if (loadedAt && loadedAt->getType() == Element::string) {
            std::string text = loadedAt->stringValue();
            EXPECT_TRUE(
                std::regex_match(text, std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ")))
                << text;
            struct tm start = {};
            std::time_t now = startTime_;
            gmtime_r(&now, &start);
            char earliest[32];
            std::strftime(earliest, sizeof earliest, "%Y-%m-%dT%H:%M:%SZ", &start);
            EXPECT_GE(text, earliest);
        }
        copy->remove("loaded-at");
        return copy;
    }

    // The answer's arguments that a list gives, without the counts.
    ElementPtr ExpectedStatus(const char* action, int addresses, int prefixes, const char* sha256,
                              const std::vector<const char*>& reported = {}) const {
        ElementPtr expected = Element::createMap();
        const int linesReported = static_cast<int>(reported.size());
        ElementPtr lines = Element::createList();
        for (const char* line : reported) {
            lines->add(Element::create(Path("list.txt").string() + line));
        }
        expected->set("reported-lines", lines);
        expected->set("list-file", Element::create(Path("list.txt").string()));
        expected->set("action", action ? Element::create(action) : Element::create());
        expected->set("addresses", Element::create(addresses));
        expected->set("prefixes", Element::create(prefixes));
        expected->set("lines-reported", Element::create(linesReported));
        expected->set("list-sha256", sha256 ? Element::create(sha256) : Element::create());
        expected->set("sections", Element::createList());
        expected->set("received", Element::create(0));
        expected->set("split-shared-networks", Element::createList());
        expected->set("section-faults", Element::createList());
        return expected;
    }

    static ElementPtr WithCounts(ElementPtr expected, int allowed, int denied) {
        expected->set("allowed", Element::create(allowed));
        expected->set("denied", Element::create(denied));
        return expected;
    }

    fs::path dir_;
    fs::path oldDir_;
    int hookIndex_ = -1;
    int buffer4Index_ = -1;
    int pkt4Index_ = -1;
    int subnet4Index_ = -1;
    int configured4Index_ = -1;
    int hook6Index_ = -1;
    int configuredIndex_ = -1;
    bool dhcpv6_ = false;
    size_t keaLogStart_ = 0;
    std::time_t startTime_ = std::time(nullptr);
};

constexpr uint64_t kListed = 0x001a2b3c4d5e;
constexpr uint64_t kUnlisted = 0x001a2b3c4d5f;

constexpr uint64_t kByPrefix = 0x001c23aabbcc;

// One line ends in CR LF, which the loader reads as LF: the hash is of the
// file's bytes, not of the lines read.
const char kAllowList[] =
    "MAC_ACTION = {ALLOW}\r\n001A2B3C4D5E\n# a remark\n001a2b3c4d60\n001C23*\n";
// sha256sum of kAllowList.
const char kAllowListSha256[] = "11c09dbb3d31a51ccb37549ac24b41f8a6a599441ac9998768c4fe517e312893";

TEST_F(KeaLoadTest, AllowListServesListedClientsCountsAndLogsEveryDecision) {
    WriteList(kAllowList);
    ASSERT_TRUE(Load(AllParameters()));
    for (const char* name : kStatistics) {
        EXPECT_EQ(Statistic(name), 0) << name << " is there from the start";
    }
    EXPECT_FALSE(Dropped(Discover(kListed)));
    EXPECT_TRUE(Dropped(Discover(kUnlisted)));
    EXPECT_FALSE(Dropped(Discover(kByPrefix)));
    // Kea refuses to build a packet shorter than the fixed header, but the
    // callout must not read past whatever it is given: a message too short
    // to name its client is dropped like an unlisted client, and is neither
    // logged nor counted as a decision.
    EXPECT_TRUE(Dropped(Discover(kListed), 10));
    // A client that sends chaddr all zero (and a client identifier) is
    // unlisted like any other: dropped, counted and logged.
    EXPECT_TRUE(Dropped(Discover(0)));

    EXPECT_EQ(Statistic("macgate-allowed"), 2);
    EXPECT_EQ(Statistic("macgate-denied"), 2);
    EXPECT_EQ(Statistic("pkt4-receive-drop"), 3);
    EXPECT_EQ(Statistic("pkt4-admin-filtered"), 3);
    ElementPtr status = StatusArguments();
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, *WithCounts(ExpectedStatus("allow", 2, 1, kAllowListSha256), 2, 2))
        << status->str();
    EXPECT_EQ(StatusAnswer()->get("text")->stringValue(),
              "allow list of 2 addresses and 1 prefix loaded from " + Path("list.txt").string());
    Unload();

    EXPECT_EQ(SinceLastLoad("error.log"), "");
    std::vector<std::string> info = LinesSinceLastLoad("info.log");
    ASSERT_EQ(info.size(), 8u) << ReadFile(Path("info.log"));
    EXPECT_EQ(info[0], "Action specified is : ALLOW");
    EXPECT_EQ(info[1], "Successfully read mac addresses");
    EXPECT_EQ(info[2], "The DHCP server has successfully started.");
    EXPECT_EQ(info[3].substr(24), " 001a2b3c4d5e Allow");
    EXPECT_EQ(info[4].substr(24), " 001a2b3c4d5f Deny");
    EXPECT_EQ(info[5].substr(24), " 001c23aabbcc Allow");
    EXPECT_EQ(info[6].substr(24), " 000000000000 Deny");
    EXPECT_EQ(info[7], "The DHCP server has successfully stopped.");
    std::string keaLog = KeaLog();
    EXPECT_NE(keaLog.find("MACGATE_STARTED filter started with the list \"" +
                          Path("list.txt").string() + "\": allow list of 2 addresses and 1 prefix"),
              std::string::npos)
        << keaLog;
    EXPECT_NE(keaLog.find("MACGATE_STOPPED"), std::string::npos) << keaLog;
}

TEST_F(KeaLoadTest, ReloadTakesUpAChangedList) {
    WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
    ASSERT_TRUE(Load(AllParameters()));
    EXPECT_TRUE(Dropped(Discover(kUnlisted)));
    Unload();

    WriteList("MAC_ACTION = {DENY}\n001a2b3c4d5e\n");
    ASSERT_TRUE(Load(AllParameters()));
    EXPECT_TRUE(Dropped(Discover(kListed)));
    EXPECT_FALSE(Dropped(Discover(kUnlisted)));
    // Kea's statistics go on across the reload; the status counts since it.
    EXPECT_EQ(Statistic("macgate-denied"), 2);
    ElementPtr status = StatusArguments();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->get("action")->stringValue(), "deny");
    EXPECT_EQ(status->get("denied")->intValue(), 1);

    // A list that no longer loads leaves nothing of the last one behind.
    Unload();
    WriteList("MAC_ACTION = {DENY}\n");
    ASSERT_TRUE(Load(AllParameters()));
    EXPECT_FALSE(Dropped(Discover(kListed)));
    EXPECT_EQ(SinceLastLoad("error.log"), "File format not proper\n");
    // Each load appends to both logs, after its start line.
    EXPECT_EQ(std::regex_search(ReadFile(Path("info.log")), std::regex("001a2b3c4d5f Deny\n")),
              true);
    size_t loads = 0;
    for (const std::string& line : ReadLines(Path("error.log"))) {
        loads += line.rfind("---- ", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(loads, 3u) << ReadFile(Path("error.log"));
}

// macgate-reload reads the list file again and puts the new list in use in
// one step, but only a list that loaded an entry; a dry run only reports.
// Each step starts from what the one before left.
TEST_F(KeaLoadTest, MacgateReloadReplacesTheListOnlyWithOneThatLoads) {
    struct Step {
        const char* name;
        const char* list;       // written before the reload; null: the file is removed
        const char* arguments;  // JSON, or null for none
        int result;
        const char* text;  // the answer's text, after the list's path where it names it
        bool listedDropped;
        bool unlistedDropped;
        std::vector<const char*> reported;  // after the list's path
        const char* errorLog;               // null: as the step before left it
    };
    const char kDenyListed[] = "MAC_ACTION = {DENY}\n001a2b3c4d5e\n";
    const char kDenyUnlisted[] = "MAC_ACTION = {DENY}\n001a2b3c4d5f\n";
    const Step steps[] = {
        {"a changed list is applied",
         kDenyUnlisted,
         nullptr,
         0,
         "deny list of 1 address and 0 prefixes loaded from %s",
         false,
         true,
         {},
         ""},
        {"a missing list is refused",
         nullptr,
         nullptr,
         1,
         "no address loaded from %s (it cannot be opened: No such file or directory): refused, "
         "the list in use stays",
         false,
         true,
         {},
         "Could not open the data file\n"},
        {"an empty list is refused",
         "",
         nullptr,
         1,
         "no address loaded from %s (it is empty): refused, the list in use stays",
         false,
         true,
         {":1: error: Nothing in the file"},
         nullptr},
        {"a list without entries is refused",
         "MAC_ACTION = {DENY}\n",
         nullptr,
         1,
         "no address loaded from %s (it holds no entry): refused, the list in use stays",
         false,
         true,
         {},
         "File format not proper\n"},
        // A list whose sections do not decide as written is refused, and the
        // list in use, its hash included, stays.
        {"a section with host bits is refused",
         "MAC_ACTION = {DENY}\n001a2b3c4d5e\nSCOPE 10.1.2.5/24 = {DENY}\n",
         nullptr,
         1,
         "%s refused (the section 10.1.2.0/24 is closed by the section line in error on line 3, "
         "so every client in it is dropped): the list in use stays",
         false,
         true,
         {":3: error: Scope 10.1.2.5/24 has host bits set"},
         "Scope 10.1.2.5/24 on line number 3 has host bits set\n"},
        {"a section with a bad action word is refused",
         "MAC_ACTION = {DENY}\n001a2b3c4d5e\nSCOPE 10.1.2.0/24 = {ALOW}\n001a2b3c4d5f\n",
         nullptr,
         1,
         "%s refused (the section 10.1.2.0/24 is closed by the section line in error on line 3, "
         "so every client in it is dropped): the list in use stays",
         false,
         true,
         {":3: error: Scope not in proper format"},
         "Scope on line number 3 not in proper format\n"},
        {"a network named twice is refused",
         "MAC_ACTION = {DENY}\n001a2b3c4d5e\nSCOPE 10.1.2.0/24 = {ALLOW}\n001a2b3c4d5f\n"
         "SCOPE 10.1.2.0/24 = {DENY}\n",
         nullptr,
         1,
         "%s refused (the section 10.1.2.0/24 is closed by the section line in error on line 5, "
         "so every client in it is dropped): the list in use stays",
         false,
         true,
         {":5: error: Scope 10.1.2.0/24 already named on line number 3"},
         "Scope 10.1.2.0/24 on line number 5 already named on line number 3\n"},
        {"a tab before SCOPE is refused",
         "MAC_ACTION = {DENY}\n001a2b3c4d5e\n\tSCOPE 10.1.2.0/24 = {ALLOW}\n001a2b3c4d5f\n",
         nullptr,
         1,
         "%s refused (the section 10.1.2.0/24 is closed by the section line in error on line 3, "
         "so every client in it is dropped): the list in use stays",
         false,
         true,
         {":3: error: Scope not in proper format"},
         "Scope on line number 3 not in proper format\n"},
        {"an ALLOW section whose only entry is mistyped is refused",
         "MAC_ACTION = {DENY}\n001a2b3c4d5e\nSCOPE 10.1.2.0/24 = {ALLOW}\n001a2b3c4d5\n",
         nullptr,
         1,
         "%s refused (the ALLOW section 10.1.2.0/24 on line 3 loads no entry, so it allows no "
         "one): the list in use stays",
         false,
         true,
         {":4: error: Mac Address 001a2b3c4d5 not of proper format"},
         "Mac Address 001a2b3c4d5 on line number 4 not of proper format\n"},
        {"a section line whose network cannot be read is refused",
         "MAC_ACTION = {DENY}\n001a2b3c4d5e\nSCOPE 10.1.2/24 = {DENY}\n",
         nullptr,
         1,
         "no address loaded from %s (the section line on line 3 names no network that can be "
         "read, so the list is unusable): refused, the list in use stays",
         false,
         true,
         {":3: error: Scope not in proper format"},
         "Scope on line number 3 not in proper format\nFile format not proper\n"},
        {"a dry run of a closed network",
         "MAC_ACTION = {DENY}\n001a2b3c4d5e\nSCOPE 10.1.2.5/24 = {DENY}\n",
         R"({"dry-run": true})",
         1,
         "dry run: %s refused (the section 10.1.2.0/24 is closed by the section line in error on "
         "line 3, so every client in it is dropped): the list in use stays; nothing was changed",
         false,
         true,
         {":3: error: Scope 10.1.2.5/24 has host bits set"},
         nullptr},
        {"a list with a rejected line is applied",
         "MAC_ACTION = {DENY}\n001a2b3c4d5e\n00:1a\n",
         nullptr,
         0,
         "deny list of 1 address and 0 prefixes loaded from %s, 1 line rejected",
         true,
         false,
         {":3: error: Mac Address 00:1a not of proper format"},
         "Mac Address 00:1a on line number 3 not of proper format\n"},
        {"a dry run reports and changes nothing",
         kDenyUnlisted,
         R"({"dry-run": true})",
         0,
         "dry run: deny list of 1 address and 0 prefixes would be loaded from %s; nothing was "
         "changed",
         true,
         false,
         {},
         nullptr},
        {"a dry run of a missing list",
         nullptr,
         R"({"dry-run": true})",
         1,
         "dry run: no address loaded from %s (it cannot be opened: No such file or directory): "
         "refused, the list in use stays; nothing was changed",
         true,
         false,
         {},
         nullptr},
        {"dry-run must be true or false",
         kDenyUnlisted,
         R"({"dry-run": "yes"})",
         1,
         "\"dry-run\" must be true or false",
         true,
         false,
         {},
         nullptr},
        {"an unknown argument",
         kDenyUnlisted,
         R"({"dryrun": true})",
         1,
         "unknown argument \"dryrun\" (the one argument is dry-run)",
         true,
         false,
         {},
         nullptr},
    };
    WriteList(kDenyListed);
    ASSERT_TRUE(Load(AllParameters()));
    EXPECT_TRUE(Dropped(Discover(kListed)));
    const std::string list = Path("list.txt").string();
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        fs::remove(list);
        if (step.list != nullptr) {
            WriteList(step.list);
        }
        ElementPtr before = StatusArguments();
        ASSERT_TRUE(before);
        const int64_t deniedBefore = Statistic("macgate-denied");
        size_t logStart = ReadFile(keaLogPath).size();
        isc::data::ConstElementPtr answer =
            Answer("macgate-reload", step.arguments ? Element::fromJSON(step.arguments) : nullptr);
        ASSERT_TRUE(answer);
        char text[512];
        std::snprintf(text, sizeof text, step.text, list.c_str());
        EXPECT_EQ(answer->get("result")->intValue(), step.result) << answer->str();
        EXPECT_EQ(answer->get("text")->stringValue(), text);
        EXPECT_EQ(Dropped(Discover(kListed)), step.listedDropped);
        EXPECT_EQ(Dropped(Discover(kUnlisted)), step.unlistedDropped);
        // Kea's statistics go on; the status counts restart with an applied list only.
        EXPECT_EQ(Statistic("macgate-denied"), deniedBefore + 1);
        ElementPtr after = StatusArguments();
        ASSERT_TRUE(after);
        const bool applied = step.result == 0 && step.arguments == nullptr;
        EXPECT_EQ(after->get("denied")->intValue(),
                  applied ? 1 : before->get("denied")->intValue() + 1);
        if (!applied) {
            after->set("denied", before->get("denied"));
            after->set("allowed", before->get("allowed"));
            EXPECT_EQ(*after, *before) << after->str();
        } else {
            EXPECT_EQ(after->get("list-sha256")->stringValue(),
                      answer->get("arguments")->get("list-sha256")->stringValue());
        }
        std::string logged = ReadFile(keaLogPath).substr(logStart);
        isc::data::ConstElementPtr arguments = answer->get("arguments");
        if (step.text[0] != '"' && step.text[0] != 'u') {
            EXPECT_NE(logged.find(std::string("INFO  [kea.macgate-hooks")), std::string::npos);
            EXPECT_NE(logged.find(std::string("MACGATE_RELOAD macgate-reload: ") + text),
                      std::string::npos)
                << logged;
            ASSERT_TRUE(arguments);
            EXPECT_EQ(arguments->get("lines-reported")->intValue(),
                      static_cast<int64_t>(step.reported.size()));
            ASSERT_EQ(arguments->get("reported-lines")->size(), step.reported.size());
            for (size_t i = 0; i < step.reported.size(); ++i) {
                const std::string line = list + step.reported[i];
                EXPECT_EQ(arguments->get("reported-lines")->get(static_cast<int>(i))->stringValue(),
                          line);
                EXPECT_NE(logged.find("WARN  [kea.macgate-hooks"), std::string::npos);
                EXPECT_NE(logged.find("MACGATE_LIST_LINE " + line), std::string::npos) << logged;
            }
        }
        if (applied && !step.reported.empty()) {
            const std::string count = "MACGATE_LINES_REJECTED " +
                                      std::to_string(step.reported.size()) +
                                      " line of the list \"" + list + "\" rejected";
            EXPECT_NE(logged.find(count), std::string::npos) << count << "\nnot in\n" << logged;
        }
        if (step.errorLog != nullptr) {
            EXPECT_EQ(SinceLastLoad("error.log"), step.errorLog);
        }
    }
}

// In Kea a log path never decides whether clients are filtered: a log that
// cannot be opened is named in Kea's log, with the system's reason, and the
// list is loaded all the same. The next load finds every file free again.
TEST_F(KeaLoadTest, ALogThatCannotBeOpenedIsNamedAndTheListLoadsAllTheSame) {
    struct LogCase {
        const char* name;
        const char* parameter;
        const char* path;  // relative to the test's directory
        const char* logged;
    };
    const LogCase cases[] = {
        {"info log in a missing folder", "info-log", "no/dir/info.log",
         "info log \"%s\" cannot be opened (No such file or directory); the list is loaded all "
         "the same, and no decision is logged"},
        {"error log in a missing folder", "error-log", "no/dir/error.log",
         "error log \"%s\" cannot be opened (No such file or directory); the list is loaded all "
         "the same, and Kea's log has every message"},
        {"error log that the info log holds", "error-log", "info.log",
         "error log \"%s\" cannot be opened (this process holds it open already)"},
        {"info log a folder", "info-log", ".", "info log \"%s\" cannot be opened (it is a folder)"},
        {"error log a device", "error-log", "/dev/full",
         "error log \"%s\" cannot be opened (it is a device)"},
    };
    WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
    for (const LogCase& logCase : cases) {
        SCOPED_TRACE(logCase.name);
        ElementPtr parameters = AllParameters();
        const std::string path =
            logCase.path[0] == '/' ? std::string(logCase.path) : Path(logCase.path).string();
        parameters->set(logCase.parameter, Element::create(path));
        const fs::path folder = fs::path(path).parent_path();
        if (folder != dir_) {
            // Where Kea takes logs in one folder only, this log's, alone.
            parameters->remove(std::string(logCase.parameter) == "info-log" ? "error-log"
                                                                            : "info-log");
        }
        size_t logStart = ReadFile(keaLogPath).size();
        AllowLogsIn(folder);
        ASSERT_TRUE(Load(parameters));
        AllowLogsIn(dir_);
        EXPECT_TRUE(Dropped(Discover(kUnlisted)));
        EXPECT_FALSE(Dropped(Discover(kListed)));
        Unload();
        std::string logged = ReadFile(keaLogPath).substr(logStart);
        char expected[512];
        std::snprintf(expected, sizeof expected, logCase.logged, path.c_str());
        EXPECT_NE(logged.find("WARN  [kea.macgate-hooks"), std::string::npos) << logged;
        EXPECT_NE(logged.find(expected), std::string::npos) << expected << "\nnot in\n" << logged;
        EXPECT_NE(logged.find("MACGATE_STARTED"), std::string::npos) << logged;

        ASSERT_TRUE(Load(AllParameters()));
        EXPECT_TRUE(Dropped(Discover(kUnlisted)));
        Unload();
        EXPECT_EQ(SinceLastLoad("error.log"), "");
        EXPECT_EQ(LinesSinceLastLoad("info.log").size(), 5u) << ReadFile(Path("info.log"));
    }
}

// A folder, FIFO or device given as the list is named as such, not by the
// system's "Permission denied"; a refused macgate-reload says whether a
// list stays in use.
TEST_F(KeaLoadTest, AListThatIsNoFileIsNamedAsSuch) {
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    fs::create_directories(Path("folder"));
    struct Row {
        const char* name;
        std::string path;
        const char* why;
    };
    const Row rows[] = {
        {"a folder", Path("folder").string(), "it is a folder"},
        {"a FIFO", Path("fifo").string(), "it is a FIFO"},
        {"a device", "/dev/null", "it is a device"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ElementPtr parameters = AllParameters();
        parameters->set("list-file", Element::create(row.path));
        ASSERT_TRUE(Load(parameters));
        const std::string why = "(it cannot be opened: " + std::string(row.why) + ")";
        EXPECT_NE(KeaLog().find("MACGATE_NOTHING_LOADED no address was loaded from \"" + row.path +
                                "\" " + why),
                  std::string::npos)
            << KeaLog();
        EXPECT_EQ(Answer("macgate-reload")->get("text")->stringValue(),
                  "no address loaded from " + row.path + " " + why + ": refused; no list in use");
        Unload();
    }
}

// A configuration that cannot be what the administrator meant is refused:
// load() fails, Kea's log names the fault, and nothing is started.
TEST_F(KeaLoadTest, WrongParametersOrServerRefuseTheConfiguration) {
    struct Refusal {
        const char* name;
        const char* process;     // null: kea-dhcp4, then kea-dhcp6
        const char* parameters;  // JSON; paths are relative to the test's directory
        std::vector<const char*> logged;
    };
    const Refusal refusals[] = {
        {"misspelt parameter",
         nullptr,
         R"({"list_file": "list.txt", "error-log": "error.log"})",
         {"MACGATE_UNKNOWN_PARAMETER unknown parameter \"list_file\"",
          "MACGATE_MISSING_PARAMETER parameter \"list-file\" is missing or empty"}},
        {"unknown parameter beside the right ones",
         nullptr,
         R"({"list-file": "list.txt", "info-file": "info.log"})",
         {"MACGATE_UNKNOWN_PARAMETER unknown parameter \"info-file\""}},
        {"list file not a string",
         nullptr,
         R"({"list-file": 5})",
         {"MACGATE_INVALID_PARAMETER parameter \"list-file\" must be a string"}},
        {"error log not a string",
         nullptr,
         R"({"list-file": "list.txt", "error-log": true})",
         {"MACGATE_INVALID_PARAMETER parameter \"error-log\" must be a string"}},
        {"info log not a string",
         nullptr,
         R"({"list-file": "list.txt", "info-log": ["info.log"]})",
         {"MACGATE_INVALID_PARAMETER parameter \"info-log\" must be a string"}},
        {"no list file",
         nullptr,
         R"({"error-log": "error.log"})",
         {"MACGATE_MISSING_PARAMETER parameter \"list-file\" is missing or empty"}},
        {"empty list file",
         nullptr,
         R"({"list-file": ""})",
         {"MACGATE_MISSING_PARAMETER parameter \"list-file\" is missing or empty"}},
        {"unusable-list with another value",
         nullptr,
         R"({"list-file": "list.txt", "unusable-list": "deny-all"})",
         {"MACGATE_INVALID_VALUE parameter \"unusable-list\" must be \"serve-all\" or "
          "\"drop-all\", not \"deny-all\""}},
        {"unusable-list not a string",
         nullptr,
         R"({"list-file": "list.txt", "unusable-list": true})",
         {"MACGATE_INVALID_VALUE parameter \"unusable-list\" must be"}},
        {"loaded by the DHCP-DDNS server",
         "kea-dhcp-ddns",
         R"({"list-file": "list.txt"})",
         {"MACGATE_WRONG_PROCESS loaded by kea-dhcp-ddns, but this library filters DHCP packets "
          "and runs in kea-dhcp4 and kea-dhcp6 only"}},
        {"loaded by the control agent",
         "kea-ctrl-agent",
         R"({"list-file": "list.txt"})",
         {"MACGATE_WRONG_PROCESS loaded by kea-ctrl-agent"}},
#if MACGATE_KEA_LOG_PATHS
        // Kea's own reason names the folder it allows.
        {"info log outside Kea's log folder",
         nullptr,
         R"({"list-file": "list.txt", "info-log": "/var/tmp/info.log"})",
         {"MACGATE_LOG_PATH_REFUSED parameter \"info-log\" names \"/var/tmp/info.log\", where Kea "
          "writes no log file: invalid path specified: '/var/tmp', supported path is"}},
        {"error log in a folder below Kea's log folder",
         nullptr,
         R"({"list-file": "list.txt", "error-log": "logs/error.log"})",
         {"MACGATE_LOG_PATH_REFUSED parameter \"error-log\" names \"logs/error.log\""}},
#endif
    };
    WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
    for (const Refusal& refusal : refusals) {
        for (const char* process : {"kea-dhcp4", "kea-dhcp6"}) {
            if (refusal.process != nullptr) {
                if (std::string(process) == "kea-dhcp6") {
                    continue;
                }
                process = refusal.process;
            }
            SCOPED_TRACE(std::string(refusal.name) + ", " + process);
            size_t logStart = ReadFile(keaLogPath).size();
            UseServer(process);
            EXPECT_FALSE(Load(isc::data::Element::fromJSON(refusal.parameters)));
            std::string logged = ReadFile(keaLogPath).substr(logStart);
            std::vector<const char*> lines = refusal.logged;
            lines.push_back("MACGATE_NOT_LOADED the filter is not loaded, so Kea refuses");
            for (const char* line : lines) {
                EXPECT_NE(logged.find(line), std::string::npos) << line << "\nnot in\n" << logged;
            }
            EXPECT_FALSE(HooksManager::calloutsPresent(hookIndex_));
            EXPECT_FALSE(HooksManager::calloutsPresent(hook6Index_));
            EXPECT_FALSE(HooksManager::commandHandlersPresent("macgate-status"));
            EXPECT_EQ(logged.find("MACGATE_STOPPED"), std::string::npos) << logged;
            // Nothing started: no log file was created or truncated.
            std::vector<std::string> files;
            for (const fs::directory_entry& entry : fs::directory_iterator(dir_)) {
                files.push_back(entry.path().filename().string());
            }
            EXPECT_EQ(files, std::vector<std::string>{"list.txt"});
            Unload();
        }
    }
}

// A list that cannot be read or loads nothing serves every client, as on
// Windows, or with "unusable-list": "drop-all" drops every client until
// macgate-reload loads a list. The configuration is taken either way, and
// Kea's log says so at ERROR.
TEST_F(KeaLoadTest, AListThatLoadsNothingServesOrDropsEveryClient) {
    struct Unusable {
        const char* name;
        const char* list;       // null: no list file
        const char* errorText;  // what the error log holds
        const char* sha256;     // of the list as read; null when it could not be
        const char* why;        // in Kea's log and the status
        std::vector<const char*> reported;
    };
    const Unusable cases[] = {
        {"list file missing",
         nullptr,
         "Could not open the data file\n",
         nullptr,
         "it cannot be opened: No such file or directory",
         {}},
        {"empty list file",
         "",
         "Nothing in the file\nFile format not proper\n",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
         "it is empty",
         {":1: error: Nothing in the file"}},
        {"no address in the list",
         "MAC_ACTION = {DENY}\n",
         "File format not proper\n",
         "a89f339bb94b11bdce62d88f042fdb1f1c15dc64b658ba5d49773e57fb074519",
         "it holds no entry",
         {}},
        {"header with a remark",
         "MAC_ACTION = {ALLOW} # office\n001a2b3c4d5e\n",
         "X",
         "b587e86a86779cce3e612583ca7307dffb7eabd80ad50acce96619fe2436df3c",
         "it holds no entry that loads, and 1 line was rejected",
         {":2: error: 'MAC_ACTION' Not Specified Properly"}},
        {"a section line whose network cannot be read",
         "MAC_ACTION = {DENY}\n001a2b3c4d5e\nSCOPE 10.1.3/24 = {DENY}\n",
         "Scope on line number 3 not in proper format\nFile format not proper\n",
         "d6126cf3551dd23c0b92f80bcd64892f7977590f8ddec038309cf40dff9ddfe7",
         "the section line on line 3 names no network that can be read, so the list is unusable",
         {":3: error: Scope not in proper format"}},
    };
    for (const char* process : {"kea-dhcp4", "kea-dhcp6"}) {
        UseServer(process);
        for (const char* unusable : {"serve-all", "drop-all"}) {
            const bool drop = std::string(unusable) == "drop-all";
            for (const Unusable& row : cases) {
                SCOPED_TRACE(std::string(process) + ", " + unusable + ", " + row.name);
                fs::remove(Path("list.txt"));
                if (row.list != nullptr) {
                    WriteList(row.list);
                }
                ElementPtr parameters = AllParameters();
                parameters->remove("info-log");
                parameters->set("unusable-list", Element::create(unusable));
                size_t logStart = ReadFile(keaLogPath).size();
                const int64_t deniedBefore = std::max<int64_t>(Statistic("macgate-denied"), 0);
                ASSERT_TRUE(Load(parameters));
                EXPECT_EQ(ClientDropped(kListed), drop);
                EXPECT_EQ(ClientDropped(kUnlisted), drop);
                ElementPtr status = StatusArguments();
                ASSERT_TRUE(status);
                ElementPtr expected =
                    WithCounts(ExpectedStatus(nullptr, 0, 0, row.sha256, row.reported),
                               drop ? 0 : 2, drop ? 2 : 0);
                if (drop) {
                    expected->set("unusable-list", Element::create("dropping all clients"));
                }
                EXPECT_EQ(*status, *expected) << status->str();
                EXPECT_EQ(Statistic("macgate-denied") - deniedBefore, drop ? 2 : 0);
                const std::string text = StatusAnswer()->get("text")->stringValue();
                const std::string list = Path("list.txt").string();
                EXPECT_EQ(
                    text.rfind(drop ? "no address loaded from " + list + " (" + row.why +
                                          "); every client is dropped since "
                                    : "no address loaded from " + list + "; every client is served",
                               0),
                    0u)
                    << text;

                std::string logged = ReadFile(keaLogPath).substr(logStart);
                const std::string message =
                    std::string(drop ? "MACGATE_DROPPING_ALL" : "MACGATE_NOTHING_LOADED") +
                    " no address was loaded from \"" + list + "\" (" + row.why +
                    "), so every client is " + (drop ? "dropped" : "served");
                EXPECT_NE(logged.find(message), std::string::npos) << message << "\nnot in\n"
                                                                   << logged;
                EXPECT_NE(logged.find("ERROR [kea.macgate-hooks"), std::string::npos) << logged;
                for (const char* line : row.reported) {
                    const std::string warning = "MACGATE_LIST_LINE " + list + line;
                    EXPECT_NE(logged.find(warning), std::string::npos) << warning << "\nnot in\n"
                                                                       << logged;
                }
                if (row.errorText[0] != 'X') {
                    EXPECT_EQ(SinceLastLoad("error.log"), row.errorText);
                }

                // A reload of a usable list lifts either state.
                WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
                isc::data::ConstElementPtr answer = Answer("macgate-reload");
                ASSERT_TRUE(answer);
                EXPECT_EQ(answer->get("result")->intValue(), 0) << answer->str();
                EXPECT_FALSE(ClientDropped(kListed));
                EXPECT_TRUE(ClientDropped(kUnlisted));
                EXPECT_FALSE(StatusArguments()->contains("unusable-list"));
                Unload();
                fs::remove(Path("error.log"));
            }
        }
    }
    UseServer("kea-dhcp4");

    // Without an error log named, no error file is written anywhere.
    fs::remove(Path("list.txt"));
    ASSERT_TRUE(Load(Element::fromJSON(R"({"list-file": "list.txt"})")));
    EXPECT_FALSE(Dropped(Discover(kUnlisted)));
    Unload();
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 0);
}

// Callouts run in the configured order. Only DROP is an earlier library's
// verdict, and macgate leaves that packet alone; SKIP at buffer4_receive
// means that the library unpacked the packet itself (libdhcp_bootp,
// libdhcp_ha), and macgate decides on it as on any other.
TEST_F(KeaLoadTest, OnlyADropByAnEarlierLibraryIsLeftAlone) {
    struct Row {
        const char* status;
        CalloutHandle::CalloutNextStep listed;
        CalloutHandle::CalloutNextStep unlisted;
        const char* lines;
    };
    const Row rows[] = {
        {"drop", CalloutHandle::NEXT_STEP_DROP, CalloutHandle::NEXT_STEP_DROP, ""},
        {"skip", CalloutHandle::NEXT_STEP_SKIP, CalloutHandle::NEXT_STEP_DROP,
         "001a2b3c4d5e Allow\n001a2b3c4d5f Deny\n"},
    };
    WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        isc::stats::StatsMgr::instance().removeAll();
        ElementPtr earlierParameters = Element::createMap();
        earlierParameters->set("status", Element::create(row.status));
        ASSERT_TRUE(Load(AllParameters(), {{MACGATE_KEA_STATUS_LIBRARY, earlierParameters}}));
        EXPECT_EQ(Status(Discover(kListed)), row.listed);
        EXPECT_EQ(Status(Discover(kUnlisted)), row.unlisted);
        const int decided = row.lines[0] != '\0' ? 1 : 0;
        EXPECT_EQ(Statistic("macgate-allowed"), decided);
        EXPECT_EQ(Statistic("macgate-denied"), decided);
        EXPECT_EQ(Statistic("pkt4-receive-drop"), decided);
        Unload();
        EXPECT_EQ(DecisionLines(), row.lines);
    }
}

// The library listed twice in one server is refused at load(), naming the
// list of the copy already loaded, and Kea refuses the configuration; a
// later configuration with one copy loads.
TEST_F(KeaLoadTest, ASecondCopyInOneServerIsRefused) {
    WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
    ElementPtr second = AllParameters();
    second->set("list-file", Element::create(Path("other.txt").string()));
    EXPECT_FALSE(Load(second, {{MACGATE_KEA_LIBRARY, AllParameters()}}));
    const std::string expected =
        "MACGATE_SECOND_COPY this library is listed in hooks-libraries "
        "again, after the copy that filters with the list \"" +
        Path("list.txt").string() + "\"";
    EXPECT_NE(KeaLog().find(expected), std::string::npos) << KeaLog();
    EXPECT_FALSE(HooksManager::calloutsPresent(hookIndex_));
    Unload();
    ASSERT_TRUE(Load(AllParameters()));
    EXPECT_TRUE(Dropped(Discover(kUnlisted)));
    EXPECT_FALSE(Dropped(Discover(kListed)));
    Unload();
}

// Under "unusable-list": "drop-all" each drop has its info log line, which
// says why.
TEST_F(KeaLoadTest, EachDropOfDropAllIsLogged) {
    for (const char* process : {"kea-dhcp4", "kea-dhcp6"}) {
        SCOPED_TRACE(process);
        UseServer(process);
        WriteList("MAC_ACTION = {ALLOW}\n");
        ElementPtr parameters = AllParameters();
        parameters->set("unusable-list", Element::create("drop-all"));
        ASSERT_TRUE(Load(parameters));
        EXPECT_TRUE(ClientDropped(kListed));
        Unload();
        EXPECT_EQ(DecisionLines(), "001a2b3c4d5e Deny no usable list is loaded\n");
    }
}

// Kea's packet threads call the callout at once; every decision is right,
// every line whole and every decision counted.
TEST_F(KeaLoadTest, ConcurrentPacketsGetTheirOwnVerdictsLinesAndCounts) {
    WriteList("MAC_ACTION = {DENY}\n001a2b3c4d5e\n");
    ASSERT_TRUE(Load(AllParameters()));
    constexpr int kThreads = 4;
    constexpr int kPackets = 500;
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPackets; ++i) {
                bool listed = (i + t) % 2 == 0;
                if (Dropped(Discover(listed ? kListed : kUnlisted)) != listed) {
                    ++wrong[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    constexpr int kHalf = kThreads * kPackets / 2;
    EXPECT_EQ(Statistic("macgate-denied"), kHalf);
    EXPECT_EQ(Statistic("macgate-allowed"), kHalf);
    EXPECT_EQ(Statistic("pkt4-receive-drop"), kHalf);
    ElementPtr status = StatusArguments();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->get("denied")->intValue(), kHalf);
    EXPECT_EQ(status->get("allowed")->intValue(), kHalf);
    Unload();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
    }
    int deny = 0, allow = 0, other = 0;
    for (const std::string& line : LinesSinceLastLoad("info.log")) {
        if (line.size() > 24 && line.substr(24) == " 001a2b3c4d5e Deny") {
            ++deny;
        } else if (line.size() > 24 && line.substr(24) == " 001a2b3c4d5f Allow") {
            ++allow;
        } else {
            ++other;
        }
    }
    EXPECT_EQ(deny, kHalf);
    EXPECT_EQ(allow, kHalf);
    EXPECT_EQ(other, 4);  // action, summary, start, stop
}

// kea-dhcp6 decides on the hardware address that Kea's mac-sources find in
// the parsed packet, by the same rules, log line and counts as DHCPv4; a
// client that gives none is unlisted.
TEST_F(KeaLoadTest, Dhcp6ClientsAreDecidedByTheAddressKeaFinds) {
    struct Client {
        const char* name;
        std::vector<uint8_t> message;
        std::string source;
        const char* key;  // in the info log; "" for no hardware address
        bool listed;
    };
    const Client clients[] = {
        {"DUID-LLT, listed", Solicit(DuidLlt(kListed)), "::", "001a2b3c4d5e", true},
        {"DUID-LLT, unlisted", Solicit(DuidLlt(kUnlisted)), "::", "001a2b3c4d5f", false},
        {"DUID-LL, by prefix", Solicit(DuidLl(kByPrefix)), "::", "001c23aabbcc", true},
        {"relayed, MAC only in option 79", RelayForward(Solicit(kDuidEn), kListed),
         "::", "001a2b3c4d5e", true},
        {"relayed, option 79 comes before the DUID",
         RelayForward(Solicit(DuidLlt(kListed)), kUnlisted), "::", "001a2b3c4d5f", false},
        {"DUID-EN from an EUI-64 link-local address", Solicit(kDuidEn), LinkLocal(kListed),
         "001a2b3c4d5e", true},
        {"DUID-EN, no relay", Solicit(kDuidEn), "fe80::1", "", false},
        {"DUID-EN, relayed without option 79", RelayForward(Solicit(kDuidEn), 0), "::", "", false},
    };
    for (const char* action : {"ALLOW", "DENY"}) {
        SCOPED_TRACE(action);
        const bool allow = std::string(action) == "ALLOW";
        UseServer("kea-dhcp6");
        isc::stats::StatsMgr::instance().removeAll();
        WriteList((std::string("MAC_ACTION = {") + action + "}\n001A2B3C4D5E\n001C23*\n").c_str());
        ASSERT_TRUE(Load(AllParameters()));
        std::string lines;
        int allowed = 0;
        for (const Client& client : clients) {
            const bool served = client.listed == allow;
            EXPECT_EQ(Status6(client.message, client.source),
                      served ? CalloutHandle::NEXT_STEP_CONTINUE : CalloutHandle::NEXT_STEP_DROP)
                << client.name;
            allowed += served ? 1 : 0;
            lines += std::string(*client.key != '\0' ? client.key : "no hardware address found") +
                     (served ? " Allow\n" : " Deny\n");
        }
        const int denied = static_cast<int>(std::size(clients)) - allowed;
        EXPECT_EQ(Statistic("macgate-allowed"), allowed);
        EXPECT_EQ(Statistic("macgate-denied"), denied);
        // Kea 2.2 counts a packet dropped at pkt6_receive in pkt6-receive-drop
        // itself, and has no pkt6-admin-filtered: the library adds to
        // neither. Later Kea leaves both to the library that drops the
        // packet. The DHCPv4 counters are not kea-dhcp6's.
        const int64_t pkt6Drops = KEA_HOOKS_VERSION <= 20200 ? -1 : denied;
        const std::pair<const char*, int64_t> counters[] = {{"pkt6-receive-drop", pkt6Drops},
                                                            {"pkt6-admin-filtered", pkt6Drops},
                                                            {"pkt4-receive-drop", -1},
                                                            {"pkt4-admin-filtered", -1}};
        for (const auto& [name, want] : counters) {
            EXPECT_EQ(Statistic(name), want) << name;
        }
        ElementPtr status = StatusArguments();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->get("allowed")->intValue(), allowed);
        EXPECT_EQ(status->get("denied")->intValue(), denied);
        Unload();
        EXPECT_EQ(DecisionLines(), lines);
    }
}

// With sections, kea-dhcp4 decides where Kea has selected the subnet: the
// section whose network holds the whole subnet decides, whatever giaddr
// says; with no such section or no subnet, the server-wide entries. A
// DHCPRELEASE, which Kea selects no subnet for, goes by its ciaddr.
TEST_F(KeaLoadTest, TheSubnetKeaSelectsDecidesTheSection) {
    struct Row {
        uint64_t mac;
        uint8_t type;
        uint32_t giaddr;
        uint32_t ciaddr;
        const char* subnet;  // "" for none
        bool served;
        const char* line;  // in the info log, after the timestamp
    };
    const uint8_t kDiscover = isc::dhcp::DHCPDISCOVER;
    const Row rows[] = {
        {kListed, kDiscover, 0, 0, "10.1.2.0/24", true, "001a2b3c4d5e Allow 10.1.2.0/24"},
        {kUnlisted, kDiscover, 0, 0, "10.1.2.0/24", false, "001a2b3c4d5f Deny 10.1.2.0/24"},
        {kListed, kDiscover, 0, 0, "10.1.2.128/25", true, "001a2b3c4d5e Allow 10.1.2.0/24"},
        {kListed, kDiscover, 0, 0, "10.1.0.0/16", false, "001a2b3c4d5e Deny"},
        {kListed, kDiscover, 0x0A010201, 0, "10.9.0.0/24", false, "001a2b3c4d5e Deny"},
        {kUnlisted, kDiscover, 0x0A010201, 0, "", true, "001a2b3c4d5f Allow"},
        {kUnlisted, isc::dhcp::DHCPRELEASE, 0, 0x0A010207, "", false,
         "001a2b3c4d5f Deny 10.1.2.0/24"},
    };
    WriteList("MAC_ACTION = {DENY}\n001A2B3C4D5E\nSCOPE 10.1.2.0/24 = {ALLOW}\n001A2B3C4D5E\n");
    ASSERT_TRUE(Load(AllParameters()));
    std::string lines;
    for (const Row& row : rows) {
        EXPECT_EQ(Selected(Query(row.mac, row.type, row.giaddr, row.ciaddr), row.subnet),
                  row.served ? CalloutHandle::NEXT_STEP_CONTINUE : CalloutHandle::NEXT_STEP_DROP)
            << row.line;
        lines += std::string(row.line) + "\n";
    }
    int denied = 0;
    for (const Row& row : rows) {
        denied += row.served ? 0 : 1;
    }
    EXPECT_EQ(Statistic("macgate-denied"), denied);
    EXPECT_EQ(Statistic("macgate-allowed"), static_cast<int64_t>(std::size(rows)) - denied);
    EXPECT_EQ(Statistic("pkt4-receive-drop"), denied);

    // A shared network whose subnets fall into different sections is named.
    Configured4(R"({"Dhcp4": {"shared-networks": [{"name": "office", "subnet4": [
        {"subnet": "10.1.2.0/24"}, {"subnet": "10.1.3.0/24"}]}, {"name": "lab", "subnet4": [
        {"subnet": "10.1.4.0/24"}, {"subnet": "10.1.5.0/24"}]}]}})");
    const char kSplit[] =
        "office: 10.1.2.0/24 in section 10.1.2.0/24, 10.1.3.0/24 in the "
        "server-wide entries";
    EXPECT_NE(KeaLog().find(std::string("MACGATE_SHARED_NETWORK_SPLIT shared network ") + kSplit),
              std::string::npos)
        << KeaLog();
    EXPECT_EQ(KeaLog().find("shared network lab"), std::string::npos);
    ElementPtr status = StatusArguments();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->get("split-shared-networks")->str(), std::string("[ \"") + kSplit + "\" ]");
    Unload();
    EXPECT_EQ(DecisionLines(), lines);
}

// Kea 3.0 gives subnet4_select the subnet as a pointer to a const subnet,
// the releases before it as a plain pointer: either form decides by its
// section. A subnet in neither form cannot be decided, so the packet is
// dropped and Kea's log says why.
TEST_F(KeaLoadTest, TheSelectedSubnetDecidesInEitherFormAndOtherwiseDrops) {
    const isc::dhcp::Subnet4Ptr subnet =
        isc::dhcp::Subnet4::create(isc::asiolink::IOAddress("10.1.2.0"), 24, 1000, 2000, 3000, 1);
    struct Row {
        const char* form;
        std::function<void(CalloutHandle&)> give;
        uint64_t mac;
        bool dropped;
    };
    const auto plain = [&](CalloutHandle& handle) { handle.setArgument("subnet4", subnet); };
    const auto constant = [&](CalloutHandle& handle) {
        handle.setArgument("subnet4", isc::dhcp::ConstSubnet4Ptr(subnet));
    };
    const Row rows[] = {
        {"plain, listed", plain, kListed, false},
        {"plain, unlisted", plain, kUnlisted, true},
        {"const, listed", constant, kListed, false},
        {"const, unlisted", constant, kUnlisted, true},
        {"neither, listed",
         [](CalloutHandle& handle) { handle.setArgument("subnet4", std::string("10.1.2.0/24")); },
         kListed, true},
    };
    WriteList("MAC_ACTION = {DENY}\nSCOPE 10.1.2.0/24 = {ALLOW}\n001A2B3C4D5E\n");
    ASSERT_TRUE(Load(AllParameters()));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.form);
        isc::dhcp::Pkt4Ptr query = Query(row.mac, isc::dhcp::DHCPDISCOVER, 0, 0);
        boost::shared_ptr<CalloutHandle> handle = HooksManager::createCalloutHandle();
        RunHook(buffer4Index_, *handle, query);
        ASSERT_EQ(handle->getStatus(), CalloutHandle::NEXT_STEP_CONTINUE);
        handle->setArgument("query4", query);
        row.give(*handle);
        HooksManager::callCallouts(subnet4Index_, *handle);
        EXPECT_EQ(handle->getStatus() == CalloutHandle::NEXT_STEP_DROP, row.dropped);
    }
    EXPECT_NE(KeaLog().find("MACGATE_DECISION_FAILED subnet4_select could not decide the packet"),
              std::string::npos)
        << KeaLog();
    Unload();
}

// A macgate-reload that adds or removes sections between a packet's
// buffer4_receive and its subnet4_select decides that packet exactly once.
TEST_F(KeaLoadTest, AReloadInFlightDecidesEachPacketOnce) {
    const char kPlain[] = "MAC_ACTION = {DENY}\n001A2B3C4D5E\n";
    const char kSections[] =
        "MAC_ACTION = {DENY}\n001A2B3C4D5E\nSCOPE 10.1.2.0/24 = {ALLOW}\n"
        "001A2B3C4D5F\n";
    struct Row {
        const char* before;
        const char* after;
        bool dropped;  // kUnlisted, selected into 10.1.2.0/24
    };
    const Row rows[] = {{kPlain, kSections, false}, {kSections, kPlain, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.before == kPlain ? "sections added" : "sections removed");
        isc::stats::StatsMgr::instance().removeAll();
        WriteList(row.before);
        ASSERT_TRUE(Load(AllParameters()));
        isc::dhcp::Pkt4Ptr query = Query(kUnlisted, isc::dhcp::DHCPDISCOVER, 0, 0);
        boost::shared_ptr<CalloutHandle> handle = HooksManager::createCalloutHandle();
        RunHook(buffer4Index_, *handle, query);
        WriteList(row.after);
        ASSERT_EQ(Answer("macgate-reload")->get("result")->intValue(), 0);
        RunHook(subnet4Index_, *handle, query, "10.1.2.0/24");
        EXPECT_EQ(handle->getStatus() == CalloutHandle::NEXT_STEP_DROP, row.dropped);
        EXPECT_EQ(Statistic("macgate-allowed") + Statistic("macgate-denied"), 1);
        handle.reset();
        query.reset();
        Unload();
    }
}

// At start-up a list whose sections do not decide as written is used all
// the same, with its closed networks and the ALLOW sections that load
// nothing dropping every client in them; Kea's log and the status say so.
TEST_F(KeaLoadTest, ClosedNetworksAndEmptyAllowSectionsDropTheirClientsFromStartUp) {
    const struct {
        uint64_t mac;
        const char* subnet;  // the subnet Kea selects
        bool served;
    } rows[] = {
        {kListed, "10.1.2.0/24", false},  // closed by its host bits
        {kUnlisted, "10.1.2.0/24", false},
        {kListed, "10.3.4.0/24", false},   // in 10.3.0.0/16, an ALLOW section that loads nothing
        {kUnlisted, "10.9.0.0/24", true},  // the server-wide list
    };
    WriteList(
        "MAC_ACTION = {DENY}\n001a2b3c4d60\nSCOPE 10.1.2.5/24 = {ALLOW}\n001A2B3C4D5E\n"
        "SCOPE 10.3.0.0/16 = {ALLOW}\n");
    ASSERT_TRUE(Load(AllParameters()));
    for (const auto& row : rows) {
        EXPECT_EQ(Selected(Query(row.mac, isc::dhcp::DHCPDISCOVER, 0, 0), row.subnet) ==
                      CalloutHandle::NEXT_STEP_DROP,
                  !row.served)
            << row.subnet;
    }
    ElementPtr status = StatusArguments();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->get("section-faults")->str(),
              "[ \"the section 10.1.2.0/24 is closed by the section line in error on line 3, so "
              "every client in it is dropped\", \"the ALLOW section 10.3.0.0/16 on line 5 loads no "
              "entry, so it allows no one\" ]");
    EXPECT_NE(status->get("sections")->str().find("\"action\": \"closed\""), std::string::npos);
    EXPECT_NE(KeaLog().find("MACGATE_SECTION_FAULT in the list \"" + Path("list.txt").string() +
                            "\" the section 10.1.2.0/24 is closed"),
              std::string::npos)
        << KeaLog();
}

// Sections name IPv4 networks: kea-dhcp6 decides every client by the
// server-wide entries, and its status and Kea's log say so; kea-dhcp4 says
// nothing of the kind.
TEST_F(KeaLoadTest, Dhcp6DecidesByTheServerWideEntriesOfAListWithSections) {
    for (const char* process : {"kea-dhcp4", "kea-dhcp6"}) {
        SCOPED_TRACE(process);
        const bool dhcpv6 = std::string(process) == "kea-dhcp6";
        UseServer(process);
        WriteList("MAC_ACTION = {DENY}\n001A2B3C4D5E\nSCOPE 10.1.2.0/24 = {ALLOW}\n001A2B3C4D5F\n");
        ASSERT_TRUE(Load(AllParameters()));
        EXPECT_TRUE(ClientDropped(kListed));
        EXPECT_FALSE(ClientDropped(kUnlisted));
        ElementPtr status = StatusArguments();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->contains("sections-apply"), dhcpv6);
        const std::string text = StatusAnswer()->get("text")->stringValue();
        EXPECT_EQ(
            text.find("; 1 section not used: sections apply to DHCPv4 only") != std::string::npos,
            dhcpv6)
            << text;
        EXPECT_EQ(KeaLog().find("MACGATE_SECTIONS_IGNORED") != std::string::npos, dhcpv6);
        Unload();
    }
}

// The server's mac-sources are tried in their configured order, and a
// source left out is not used. A load finds those of the configuration in
// use, as a libreload does, until kea-dhcp6 hands it a new one.
TEST_F(KeaLoadTest, Dhcp6TakesTheServersMacSourcesInOrder) {
    struct Case {
        const char* dhcp6;  // the server's Dhcp6 map; null: none taken since load
        bool duidInUse;     // the configuration in use at load has mac-sources ["duid"]
        bool linkLocalDropped;
        bool relayedDropped;
    };
    const Case cases[] = {
        {R"({"mac-sources": ["any"]})", false, false, false},
        {R"({"mac-sources": ["duid"]})", false, true, true},
        {nullptr, false, false, false},
        {nullptr, true, true, true},
        {R"({"mac-sources": ["any"]})", true, false, false},
        {R"({"mac-sources": ["duid", "client-link-addr-option"]})", false, true, true},
        {R"({"mac-sources": ["rfc6939", "duid"]})", false, true, false},
        {R"({"mac-sources": ["ipv6-link-local"]})", false, false, true},
        {R"({"valid-lifetime": 600})", false, false, false},
    };
    UseServer("kea-dhcp6");
    WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
    // DUID-EN from the listed client's EUI-64 link-local address, and a
    // relayed DUID-LLT of an unlisted client with the listed one in option 79.
    const std::vector<uint8_t> relayed = RelayForward(Solicit(DuidLlt(kUnlisted)), kListed);
    isc::dhcp::CfgMACSource& inUse = isc::dhcp::CfgMgr::instance().getCurrentCfg()->getMACSources();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dhcp6 ? c.dhcp6 : "none taken since load") +
                     (c.duidInUse ? ", duid in use at load" : ""));
        inUse.clear();
        if (c.duidInUse) {
            inUse.add(isc::dhcp::HWAddr::HWADDR_SOURCE_DUID);
        }
        ASSERT_TRUE(Load(AllParameters()));
        if (c.dhcp6 != nullptr) {
            Configured6(c.dhcp6);
        }
        EXPECT_EQ(Status6(Solicit(kDuidEn), LinkLocal(kListed)) == CalloutHandle::NEXT_STEP_DROP,
                  c.linkLocalDropped);
        EXPECT_EQ(Status6(relayed) == CalloutHandle::NEXT_STEP_DROP, c.relayedDropped);
        Unload();
    }
    inUse.clear();
}

// The hash of the list in use, as macgate-status gives it; "" for none.
std::string HashInUse() {
    isc::hooks::CalloutHandlePtr handle = HooksManager::createCalloutHandle();
    handle->setArgument("command", isc::config::createCommand("macgate-status"));
    HooksManager::callCommandHandlers("macgate-status", *handle);
    isc::data::ConstElementPtr answer;
    handle->getArgument("response", answer);
    isc::data::ConstElementPtr hash = answer->get("arguments")->get("list-sha256");
    return hash->getType() == Element::string ? hash->stringValue() : "";
}

// A list of `count` addresses from `base` on, one a line.
std::string AddressList(uint64_t base, int count, const char* action = "ALLOW") {
    std::string text = std::string("MAC_ACTION = {") + action + "}\n";
    text.reserve(text.size() + 13 * static_cast<size_t>(count));
    char line[16];
    for (int i = 0; i < count; ++i) {
        std::snprintf(line, sizeof line, "%012llx\n",
                      static_cast<unsigned long long>(base + static_cast<uint64_t>(i)));
        text += line;
    }
    return text;
}

#if MACGATE_COUNTS_ALLOCATIONS
// Fails each allocation of a macgate-reload in turn, from the command's
// arrival to its answer, Kea's own included: the list in use is the old one,
// its hash unchanged, unless the answer says the new one was applied; a
// refusal says why; and no file stays open.
TEST_F(KeaLoadTest, AReloadThatRunsOutOfMemoryKeepsTheListInUse) {
    const std::string before = AddressList(0x001a2b3c0000, 3);
    const std::string after = AddressList(0x001a2b3d0000, 5, "DENY") +
                              "00:11:22:33:44:55\nSCOPE 10.1.0.0/16 = {DENY}\n001a2b3e0000\n";
    std::ofstream(Path("list.txt")) << before;
    ASSERT_TRUE(Load(AllParameters()));
    const std::string oldHash = HashInUse();
    std::ofstream(Path("list.txt")) << after;
    const uint64_t start = macgate::Allocations.load();
    ASSERT_EQ(Answer("macgate-reload")->get("result")->intValue(), 0);
    const uint64_t total = macgate::Allocations.load() - start;
    const std::string newHash = HashInUse();
    ASSERT_NE(newHash, oldHash);
    const std::set<std::string> open = macgate::OpenDescriptors();

    int refused = 0;
    for (uint64_t n = 1; n <= total; ++n) {
        std::ofstream(Path("list.txt")) << before;
        ASSERT_EQ(Answer("macgate-reload")->get("result")->intValue(), 0);
        std::ofstream(Path("list.txt")) << after;
        isc::data::ConstElementPtr answer;
        {
            macgate::FailNthAllocation failing(n);
            try {
                answer = Answer("macgate-reload");
            } catch (const std::exception&) {
                // Kea's own part failed, before or after the library's.
            }
        }
        const std::string hash = HashInUse();
        const std::string text = answer ? answer->get("text")->stringValue() : "";
        // Kea answers for its own part that fails with the exception's text.
        const bool ours = text != "std::bad_alloc";
        const bool applied = ours && answer &&
                             (answer->get("result")->intValue() == 0 ||
                              text.find("the new list is in use") != std::string::npos);
        // Without an answer Kea failed after the library, which may have
        // applied the new list.
        EXPECT_TRUE(hash == (applied ? newHash : oldHash) || (!answer && hash == newHash))
            << n << ": " << text;
        if (answer && ours && !applied) {
            ++refused;
            EXPECT_NE(text.find("not enough memory"), std::string::npos) << n << ": " << text;
        }
        EXPECT_EQ(macgate::OpenDescriptors(), open) << n;
    }
    EXPECT_GT(refused, 0);
    Unload();

    // A start-up that fails part-way leaves no file open either.
    const std::set<std::string> unloaded = macgate::OpenDescriptors();
    for (uint64_t n = 1; n <= total; n += 7) {
        {
            macgate::FailNthAllocation failing(n);
            try {
                Load(AllParameters());
            } catch (const std::exception&) {
            }
        }
        Unload();
        EXPECT_EQ(macgate::OpenDescriptors(), unloaded) << n;
    }
}
#endif

// A writer rewrites the list in place, or renames a new one over it, while
// macgate-reload reads it: each reload is refused or takes exactly one whole
// version, never a mix.
TEST_F(KeaLoadTest, AListRewrittenWhileItIsReadIsRefusedOrTakenWhole) {
    const std::string versions[2] = {AddressList(0x001a2b000000, 100000),
                                     AddressList(0x001a2c000000, 100001, "DENY")};
    struct Row {
        const char* name;
        bool rename;
    };
    for (const Row row : {Row{"rewritten in place", false}, Row{"renamed over", true}}) {
        SCOPED_TRACE(row.name);
        std::string hashes[2];
        for (int v = 0; v < 2; ++v) {
            std::ofstream(Path("list.txt")) << versions[v];
            ASSERT_TRUE(Load(AllParameters()));
            hashes[v] = HashInUse();
            Unload();
        }
        ASSERT_TRUE(Load(AllParameters()));
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            for (int v = 0; !stop; v ^= 1) {
                const fs::path target = row.rename ? Path("list.new") : Path("list.txt");
                {
                    std::ofstream out(target, std::ios::trunc);
                    out << versions[v].substr(0, versions[v].size() / 2) << std::flush;
                    out << versions[v].substr(versions[v].size() / 2);
                }
                if (row.rename) {
                    fs::rename(target, Path("list.txt"));
                }
            }
        });
        int taken = 0;
        int refused = 0;
        for (int i = 0; i < 40; ++i) {
            isc::data::ConstElementPtr answer = Answer("macgate-reload");
            if (answer->get("result")->intValue() != 0) {
                ++refused;
                continue;
            }
            ++taken;
            isc::data::ConstElementPtr arguments = answer->get("arguments");
            const std::string hash = arguments->get("list-sha256")->stringValue();
            const int64_t addresses = arguments->get("addresses")->intValue();
            EXPECT_TRUE((hash == hashes[0] && addresses == 100000) ||
                        (hash == hashes[1] && addresses == 100001))
                << hash << " " << addresses;
        }
        stop = true;
        writer.join();
        Unload();
        EXPECT_EQ(taken + refused, 40);
        RecordProperty(std::string(row.name) + " refused", refused);
    }
}

// A list of a million bad lines: Kea's log and the answer name the first
// 100 and then their number; the error log has every one.
TEST_F(KeaLoadTest, ReportedLinesAreBounded) {
    std::string list = AddressList(0x001a2b3c4d5e, 1);
    list.reserve(list.size() + 14000000);
    for (int i = 0; i < 1000000; ++i) {
        list += "00:1a:2b:3c:4d\n";
    }
    std::ofstream(Path("list.txt")) << list;
    ASSERT_TRUE(Load(AllParameters()));
    const size_t logStart = ReadFile(keaLogPath).size();
    isc::data::ConstElementPtr answer = Answer("macgate-reload");
    ASSERT_EQ(answer->get("result")->intValue(), 0) << answer->get("text")->stringValue();
    isc::data::ConstElementPtr arguments = answer->get("arguments");
    EXPECT_EQ(arguments->get("lines-reported")->intValue(), 1000000);
    const std::vector<isc::data::ElementPtr>& reported =
        arguments->get("reported-lines")->listValue();
    ASSERT_EQ(reported.size(), 101u);
    EXPECT_EQ(reported[0]->stringValue(),
              Path("list.txt").string() + ":3: error: Line Not In Proper Format");
    EXPECT_EQ(reported[100]->stringValue(),
              Path("list.txt").string() +
                  ": error: 999900 more lines are reported; macgate check lists every one");
    const std::string logged = ReadFile(keaLogPath).substr(logStart);
    size_t lines = 0;
    for (size_t at = logged.find("MACGATE_LIST_LINE"); at != std::string::npos;
         at = logged.find("MACGATE_LIST_LINE", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 101u);
    EXPECT_EQ(*StatusAnswer()->get("arguments")->get("reported-lines"),
              *arguments->get("reported-lines"));
    EXPECT_EQ(LinesSinceLastLoad("error.log").size(), 1000000u);
    Unload();
}

// Kea finds its functions by name; the Windows exports and the system's own
// functions stay hidden, so they cannot clash with another library's.
TEST(KeaLibraryExports, OnlyKeasEntryPointsAreVisible) {
    void* library = dlopen(MACGATE_KEA_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name : {"version", "load", "unload", "multi_threading_compatible",
                             "buffer4_receive", "pkt6_receive", "dhcp6_srv_configured"}) {
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    }
    for (const char* name : {"DhcpServerCalloutEntry", "DhcpNewPktHook", "DhcpControlHook"}) {
        EXPECT_EQ(dlsym(library, name), nullptr) << name;
    }
    auto version = reinterpret_cast<int (*)()>(dlsym(library, "version"));
    auto threads = reinterpret_cast<int (*)()>(dlsym(library, "multi_threading_compatible"));
    ASSERT_NE(version, nullptr);
    ASSERT_NE(threads, nullptr);
    EXPECT_EQ(version(), KEA_HOOKS_VERSION);
    EXPECT_EQ(threads(), 1);
    dlclose(library);
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    keaLogPath =
        (fs::temp_directory_path() / ("macgate-kea-load-" + std::to_string(getpid()) + ".log"))
            .string();
    setenv("KEA_LOGGER_DESTINATION", keaLogPath.c_str(), 1);
    setenv("KEA_LOCKFILE_DIR", "none", 1);
    isc::log::initLogger(isc::log::INFO, 0);
    int result = RUN_ALL_TESTS();
    fs::remove(keaLogPath);
    return result;
}
