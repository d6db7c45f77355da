// Loads the built libdhcp_macgate.so through Kea's own hooks manager, as
// kea-dhcp4 does, and drives it only through Kea's callout calls.
#include <cc/command_interpreter.h>
#include <cc/data.h>
#include <dhcp/pkt4.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <hooks/callout_handle.h>
#include <hooks/hooks.h>
#include <hooks/hooks_manager.h>
#include <log/logger_unittest_support.h>
#include <process/daemon.h>
#include <stats/stats_mgr.h>
#include <unistd.h>
#include <util/multi_threading_mgr.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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
std::vector<uint8_t> Discover(uint64_t mac) {
    std::vector<uint8_t> message(240, 0);
    message[0] = 1;  // BOOTREQUEST
    message[1] = 1;  // Ethernet
    message[2] = 6;
    for (int i = 0; i < 6; ++i) {
        message[28 + i] = static_cast<uint8_t>(mac >> (8 * (5 - i)));
    }
    message[236] = 99, message[237] = 130, message[238] = 83, message[239] = 99;
    return message;
}

// The statistics that the library keeps in Kea's statistics manager.
const char* const kStatistics[] = {"pkt4-receive-drop", "pkt4-admin-filtered", "macgate-allowed",
                                   "macgate-denied"};

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
        isc::util::MultiThreadingMgr::instance().setMode(true);
        isc::process::Daemon::setProcName("kea-dhcp4");
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
        before.push_back(std::make_pair(std::string(MACGATE_KEA_LIBRARY), parameters));
        return HooksManager::loadLibraries(before);
    }

    void Unload() {
        HooksManager::prepareUnloadLibraries();
        ASSERT_TRUE(HooksManager::unloadLibraries());
    }

    // What Kea logged since the test began.
    std::string KeaLog() const {
        return ReadFile(keaLogPath).substr(keaLogStart_);
    }

    // Runs buffer4_receive on a message and gives the status that Kea acts
    // on. With `length`, the raw data is cut short after the packet is made.
    CalloutHandle::CalloutNextStep Status(const std::vector<uint8_t>& message,
                                          size_t length = 0) const {
        isc::dhcp::Pkt4Ptr query(new isc::dhcp::Pkt4(message.data(), message.size()));
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

    // The answer to macgate-status, as the control channel would send it;
    // null when no library handles the command.
    isc::data::ConstElementPtr StatusAnswer() const {
        if (!HooksManager::commandHandlersPresent("macgate-status")) {
            return isc::data::ConstElementPtr();
        }
        boost::shared_ptr<CalloutHandle> handle = HooksManager::createCalloutHandle();
        handle->setArgument("command", isc::config::createCommand("macgate-status"));
        HooksManager::callCommandHandlers("macgate-status", *handle);
        isc::data::ConstElementPtr answer;
        handle->getArgument("response", answer);
        return answer;
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
    ElementPtr ExpectedStatus(const char* action, int addresses, int prefixes,
                              const char* sha256) const {
        ElementPtr expected = Element::createMap();
        expected->set("list-file", Element::create(Path("list.txt").string()));
        expected->set("action", action ? Element::create(action) : Element::create());
        expected->set("addresses", Element::create(addresses));
        expected->set("prefixes", Element::create(prefixes));
        expected->set("list-sha256", sha256 ? Element::create(sha256) : Element::create());
        expected->set("sections", Element::createList());
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

    EXPECT_EQ(ReadFile(Path("error.log")), "");
    std::vector<std::string> info = ReadLines(Path("info.log"));
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
    EXPECT_EQ(ReadFile(Path("error.log")), "File format not proper\n");
}

// Start-up cannot open an info log that is also its error log and loads
// nothing; the next load must find both files free again.
TEST_F(KeaLoadTest, ReloadAfterAStartUpThatCouldNotOpenItsInfoLog) {
    WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
    ElementPtr sameFile = AllParameters();
    sameFile->set("info-log", Element::create(Path("error.log").string()));
    ASSERT_TRUE(Load(sameFile));
    EXPECT_FALSE(Dropped(Discover(kUnlisted)));
    Unload();

    ASSERT_TRUE(Load(AllParameters()));
    EXPECT_TRUE(Dropped(Discover(kUnlisted)));
    EXPECT_FALSE(Dropped(Discover(kListed)));
}

// A configuration that cannot be what the administrator meant is refused:
// load() fails, Kea's log names the fault, and nothing is started.
TEST_F(KeaLoadTest, WrongParametersOrServerRefuseTheConfiguration) {
    struct Refusal {
        const char* name;
        const char* process;
        const char* parameters;  // JSON; paths are relative to the test's directory
        std::vector<const char*> logged;
    };
    const Refusal refusals[] = {
        {"misspelt parameter",
         "kea-dhcp4",
         R"({"list_file": "list.txt", "error-log": "error.log"})",
         {"MACGATE_UNKNOWN_PARAMETER unknown parameter \"list_file\"",
          "MACGATE_MISSING_PARAMETER parameter \"list-file\" is missing or empty"}},
        {"unknown parameter beside the right ones",
         "kea-dhcp4",
         R"({"list-file": "list.txt", "info-file": "info.log"})",
         {"MACGATE_UNKNOWN_PARAMETER unknown parameter \"info-file\""}},
        {"list file not a string",
         "kea-dhcp4",
         R"({"list-file": 5})",
         {"MACGATE_INVALID_PARAMETER parameter \"list-file\" must be a string"}},
        {"error log not a string",
         "kea-dhcp4",
         R"({"list-file": "list.txt", "error-log": true})",
         {"MACGATE_INVALID_PARAMETER parameter \"error-log\" must be a string"}},
        {"info log not a string",
         "kea-dhcp4",
         R"({"list-file": "list.txt", "info-log": ["info.log"]})",
         {"MACGATE_INVALID_PARAMETER parameter \"info-log\" must be a string"}},
        {"no list file",
         "kea-dhcp4",
         R"({"error-log": "error.log"})",
         {"MACGATE_MISSING_PARAMETER parameter \"list-file\" is missing or empty"}},
        {"empty list file",
         "kea-dhcp4",
         R"({"list-file": ""})",
         {"MACGATE_MISSING_PARAMETER parameter \"list-file\" is missing or empty"}},
        {"loaded by the DHCPv6 server",
         "kea-dhcp6",
         R"({"list-file": "list.txt"})",
         {"MACGATE_WRONG_PROCESS loaded by kea-dhcp6, but this library filters DHCPv4"}},
        {"loaded by the control agent",
         "kea-ctrl-agent",
         R"({"list-file": "list.txt"})",
         {"MACGATE_WRONG_PROCESS loaded by kea-ctrl-agent"}},
    };
    WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        size_t logStart = ReadFile(keaLogPath).size();
        isc::process::Daemon::setProcName(refusal.process);
        EXPECT_FALSE(Load(isc::data::Element::fromJSON(refusal.parameters)));
        std::string logged = ReadFile(keaLogPath).substr(logStart);
        std::vector<const char*> lines = refusal.logged;
        lines.push_back("MACGATE_NOT_LOADED the filter is not loaded, so Kea refuses");
        for (const char* line : lines) {
            EXPECT_NE(logged.find(line), std::string::npos) << line << "\nnot in\n" << logged;
        }
        EXPECT_FALSE(HooksManager::calloutsPresent(hookIndex_));
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

// A list that cannot be read or loads nothing fails open as on Windows: the
// configuration is taken, every client is served, and both logs say why.
TEST_F(KeaLoadTest, AListThatLoadsNothingServesEveryClient) {
    struct FailOpen {
        const char* name;
        const char* parameters;
        const char* list;  // null: no list file
        const char* errorLog;
        const char* errorText;
        const char* sha256;  // of the list as read; null when it could not be
        const char* logged;
    };
    const FailOpen cases[] = {
        {"list file missing", R"({"list-file": "list.txt", "error-log": "error.log"})", nullptr,
         "error.log", "Could not open the data file\n", nullptr, "MACGATE_NOTHING_LOADED"},
        {"no address in the list", R"({"list-file": "list.txt", "error-log": "error.log"})",
         "MAC_ACTION = {DENY}\n", "error.log", "File format not proper\n",
         "a89f339bb94b11bdce62d88f042fdb1f1c15dc64b658ba5d49773e57fb074519",
         "MACGATE_NOTHING_LOADED"},
        {"no error log named", R"({"list-file": "list.txt"})", nullptr, "ErrorFile.txt",
         "Could not read ErrorLog file from registry\nCould not open the data file\n", nullptr,
         "MACGATE_PARAMETER_NOT_SET parameter \"error-log\" is missing or empty; the error log "
         "is written to ErrorFile.txt"},
        {"info log that cannot be opened",
         R"({"list-file": "list.txt", "error-log": "error.log", "info-log": "no/dir/info.log"})",
         "MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n", "error.log", "Could not open the info log file\n",
         nullptr, "MACGATE_NOTHING_LOADED"},
    };
    for (const FailOpen& failOpen : cases) {
        SCOPED_TRACE(failOpen.name);
        fs::remove(Path("list.txt"));
        if (failOpen.list != nullptr) {
            WriteList(failOpen.list);
        }
        size_t logStart = ReadFile(keaLogPath).size();
        ASSERT_TRUE(Load(isc::data::Element::fromJSON(failOpen.parameters)));
        EXPECT_FALSE(Dropped(Discover(kListed)));
        EXPECT_FALSE(Dropped(Discover(kUnlisted)));
        ElementPtr status = StatusArguments();
        ASSERT_TRUE(status);
        ElementPtr expected = WithCounts(ExpectedStatus(nullptr, 0, 0, failOpen.sha256), 2, 0);
        expected->set("list-file", Element::create("list.txt"));
        EXPECT_EQ(*status, *expected) << status->str();
        EXPECT_EQ(StatusAnswer()->get("text")->stringValue(),
                  "no address loaded from list.txt; every client is served");
        Unload();
        EXPECT_EQ(ReadFile(Path(failOpen.errorLog)), failOpen.errorText);
        std::string logged = ReadFile(keaLogPath).substr(logStart);
        EXPECT_NE(logged.find(failOpen.logged), std::string::npos) << logged;
        EXPECT_NE(logged.find("MACGATE_STOPPED"), std::string::npos) << logged;
        fs::remove(Path(failOpen.errorLog));
    }
}

// Callouts run in the configured order: when an earlier library has dropped
// the packet or parsed it itself, macgate leaves it alone.
TEST_F(KeaLoadTest, AStatusSetByAnEarlierLibraryIsLeftAlone) {
    const std::pair<const char*, CalloutHandle::CalloutNextStep> statuses[] = {
        {"drop", CalloutHandle::NEXT_STEP_DROP},
        {"skip", CalloutHandle::NEXT_STEP_SKIP},
    };
    WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
    for (const auto& [name, status] : statuses) {
        SCOPED_TRACE(name);
        ElementPtr earlierParameters = Element::createMap();
        earlierParameters->set("status", Element::create(name));
        ASSERT_TRUE(Load(AllParameters(), {{MACGATE_KEA_STATUS_LIBRARY, earlierParameters}}));
        EXPECT_EQ(Status(Discover(kListed)), status);
        EXPECT_EQ(Status(Discover(kUnlisted)), status);
        for (const char* statistic : kStatistics) {
            EXPECT_EQ(Statistic(statistic), 0) << statistic;
        }
        Unload();
        EXPECT_EQ(ReadFile(Path("info.log")),
                  "Action specified is : ALLOW\n"
                  "Successfully read mac addresses\n"
                  "The DHCP server has successfully started.\n"
                  "The DHCP server has successfully stopped.\n");
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
    for (const std::string& line : ReadLines(Path("info.log"))) {
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

// Kea finds its functions by name; the Windows exports and the system's own
// functions stay hidden, so they cannot clash with another library's.
TEST(KeaLibraryExports, OnlyKeasEntryPointsAreVisible) {
    void* library = dlopen(MACGATE_KEA_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name :
         {"version", "load", "unload", "multi_threading_compatible", "buffer4_receive"}) {
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
