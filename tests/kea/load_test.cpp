// Loads the built libdhcp_macgate.so through Kea's own hooks manager, as
// kea-dhcp4 does, and drives it only through Kea's callout calls.
#include <cc/data.h>
#include <dhcp/pkt4.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <hooks/callout_handle.h>
#include <hooks/hooks.h>
#include <hooks/hooks_manager.h>
#include <log/logger_unittest_support.h>
#include <unistd.h>
#include <util/multi_threading_mgr.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

    bool Load(ElementPtr parameters) {
        isc::hooks::HookLibsCollection libraries;
        libraries.push_back(std::make_pair(std::string(MACGATE_KEA_LIBRARY), parameters));
        return HooksManager::loadLibraries(libraries);
    }

    void Unload() {
        HooksManager::prepareUnloadLibraries();
        ASSERT_TRUE(HooksManager::unloadLibraries());
    }

    // Runs buffer4_receive on a message; true when Kea is told to drop it.
    // With `length`, the raw data is cut short after the packet is made.
    bool Dropped(const std::vector<uint8_t>& message, size_t length = 0) const {
        isc::dhcp::Pkt4Ptr query(new isc::dhcp::Pkt4(message.data(), message.size()));
        if (length != 0) {
            query->data_.resize(length);
        }
        boost::shared_ptr<CalloutHandle> handle = HooksManager::createCalloutHandle();
        handle->setArgument("query4", query);
        HooksManager::callCallouts(hookIndex_, *handle);
        return handle->getStatus() == CalloutHandle::NEXT_STEP_DROP;
    }

    fs::path dir_;
    fs::path oldDir_;
    int hookIndex_ = -1;
};

constexpr uint64_t kListed = 0x001a2b3c4d5e;
constexpr uint64_t kUnlisted = 0x001a2b3c4d5f;

TEST_F(KeaLoadTest, AllowListServesListedClientsAndLogsEveryDecision) {
    WriteList("MAC_ACTION = {ALLOW}\n001A2B3C4D5E\n");
    ASSERT_TRUE(Load(AllParameters()));
    EXPECT_FALSE(Dropped(Discover(kListed)));
    EXPECT_TRUE(Dropped(Discover(kUnlisted)));
    // Kea refuses to build a packet shorter than the fixed header, but the
    // callout must not read past whatever it is given: a message too short
    // to name its client counts as an unlisted client.
    EXPECT_TRUE(Dropped(Discover(kListed), 10));
    Unload();

    EXPECT_EQ(ReadFile(Path("error.log")), "");
    std::vector<std::string> info = ReadLines(Path("info.log"));
    ASSERT_GE(info.size(), 6u);
    EXPECT_EQ(info[0], "Action specified is : ALLOW");
    EXPECT_EQ(info[1], "Successfully read mac addresses");
    EXPECT_EQ(info[2], "The DHCP server has successfully started.");
    EXPECT_EQ(info[3].substr(24), " 001a2b3c4d5e Allow");
    EXPECT_EQ(info[4].substr(24), " 001a2b3c4d5f Deny");
    EXPECT_EQ(info.back(), "The DHCP server has successfully stopped.");
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

TEST_F(KeaLoadTest, MissingParametersFailOpenLikeMissingRegistryValues) {
    ASSERT_TRUE(Load(Element::createMap()));
    EXPECT_FALSE(Dropped(Discover(kListed)));
    Unload();
    EXPECT_EQ(ReadFile(Path("ErrorFile.txt")),
              "Could not read ErrorLog file from registry\n"
              "Could Not Read Mac File From Registry\n");
    std::string keaLog = ReadFile(keaLogPath);
    EXPECT_NE(keaLog.find("MACGATE_MISSING_PARAMETER parameter \"list-file\""), std::string::npos);
    EXPECT_NE(keaLog.find("MACGATE_MISSING_PARAMETER parameter \"error-log\""), std::string::npos);
    // The info log is optional.
    EXPECT_EQ(keaLog.find("MACGATE_MISSING_PARAMETER parameter \"info-log\""), std::string::npos);
}

TEST_F(KeaLoadTest, BadParametersAreReportedAndTreatedAsMissing) {
    WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
    ElementPtr parameters = AllParameters();
    parameters->set("list-file", Element::create(5));
    parameters->set("info-log", Element::create(""));
    parameters->set("list_file", Element::create(Path("list.txt").string()));
    ASSERT_TRUE(Load(parameters));
    EXPECT_FALSE(Dropped(Discover(kUnlisted)));
    Unload();
    EXPECT_EQ(ReadFile(Path("error.log")), "Could Not Read Mac File From Registry\n");
    EXPECT_FALSE(fs::exists(Path("info.log")));
    std::string keaLog = ReadFile(keaLogPath);
    EXPECT_NE(keaLog.find("MACGATE_INVALID_PARAMETER parameter \"list-file\""), std::string::npos);
    EXPECT_NE(keaLog.find("MACGATE_MISSING_PARAMETER parameter \"info-log\""), std::string::npos);
    EXPECT_NE(keaLog.find("MACGATE_UNKNOWN_PARAMETER unknown parameter \"list_file\""),
              std::string::npos);
}

// Kea's packet threads call the callout at once; every decision is right and
// every line whole.
TEST_F(KeaLoadTest, ConcurrentPacketsGetTheirOwnVerdictsAndWholeLines) {
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
    EXPECT_EQ(deny, kThreads * kPackets / 2);
    EXPECT_EQ(allow, kThreads * kPackets / 2);
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
