// DhcpNewPktHook driven as the server drives it, with hand-built messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "callout/callout.h"
#include "config/decision.h"
#include "config/state.h"
#include "control_lines.h"
#include "core_helpers.h"
#include "filter/address_set.h"
#include "filter/list_file.h"
#include "filter/packet_filter.h"
#include "fixed_clock.h"
#include "platform/platform.h"

namespace macgate {
namespace {

constexpr uint8_t kListed[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
constexpr uint8_t kUnlisted[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F};
constexpr uint8_t kZero[6] = {0, 0, 0, 0, 0, 0};

std::atomic<int> AppendCalls{0};
size_t FailingAppend(FILE*, const char*, size_t) {
    ++AppendCalls;
    errno = EIO;
    return 0;
}

class PacketFilterTest : public testing::Test {
protected:
    void SetUp() override {
        Platform.Now = FixedNow;
        Platform.LocalTime = FixedLocalTime<6, 25, 12>;  // Tue Dec 08 06:25:12 2026
        AppendCalls = 0;
        std::random_device random;
        path_ = testing::TempDir() + "macgate-packet-filter-" + std::to_string(random()) + ".log";
    }
    void TearDown() override {
        ResetStateForTesting();  // closes InfoLog before the file goes
        std::remove(path_.c_str());
    }

    void UseList(unsigned char action, const std::vector<std::string>& keys) {
        PublishKeys(action, keys);
    }

    // Loads the entries under an ALLOW or a DENY header through the loader
    // and puts the list in use, as start-up does.
    void LoadList(const char* action, const char* entries) {
        PublishText(std::string("MAC_ACTION = {") + action + "}\n" + entries);
    }

    void OpenInfoLog() {
        OpenInfoLogForTesting(path_);
    }

    // What the file holds once the writer has written every line queued,
    // without closing the stream.
    std::string LogText() const {
        WaitForInfoLogWriter();
        return ReadFile(path_);
    }

    // Calls the hook as the server does and gives the process flag.
    int32_t Decide(std::vector<uint8_t> message) {
        uint8_t* packet = message.data();
        uint32_t size = static_cast<uint32_t>(message.size());
        int32_t flag = -1;
        EXPECT_EQ(DhcpNewPktHook(&packet, &size, 0, nullptr, nullptr, &flag), 0u);
        EXPECT_EQ(packet, message.data());
        return flag;
    }

    std::string path_;
};

TEST_F(PacketFilterTest, DecisionTable) {
    EXPECT_EQ(Decide(Message(kListed)), 1) << "no list";
    UseList(0, {});
    EXPECT_EQ(Decide(Message(kListed)), 1) << "empty set, DENY";
    UseList(1, {});
    EXPECT_EQ(Decide(Message(kListed)), 1) << "empty set, ALLOW";

    UseList(1, {"001a2b3c4d5e"});
    EXPECT_EQ(Decide(Message(kListed)), 1);
    EXPECT_EQ(Decide(Message(kUnlisted)), 0);

    UseList(0, {"001a2b3c4d5e"});
    EXPECT_EQ(Decide(Message(kListed)), 0);
    EXPECT_EQ(Decide(Message(kUnlisted)), 1);

    // Any nonzero action byte means ALLOW.
    UseList(2, {"001a2b3c4d5e"});
    EXPECT_EQ(Decide(Message(kListed)), 1);
    EXPECT_EQ(Decide(Message(kUnlisted)), 0);
}

// Clients inside and just outside each prefix of one list, under ALLOW and
// under DENY: "listed" is whether the list covers the client.
TEST_F(PacketFilterTest, PrefixEntriesCoverEveryAddressThatBeginsWithThem) {
    const char kEntries[] =
        "001C23*\n"       // one maker's block
        "001c23abcdef\n"  // an address inside it
        "0050569*\n"      // 28 bits
        "001a2b3c4d5*\n"  // sixteen addresses
        "f*\n";
    struct Case {
        uint8_t address[6];
        bool listed;
    };
    const Case kCases[] = {
        {{0x00, 0x1C, 0x23, 0x00, 0x00, 0x00}, true},   // first of the block
        {{0x00, 0x1C, 0x23, 0x12, 0x34, 0x56}, true},   // inside
        {{0x00, 0x1C, 0x23, 0xAB, 0xCD, 0xEF}, true},   // listed twice over
        {{0x00, 0x1C, 0x23, 0xFF, 0xFF, 0xFF}, true},   // last of the block
        {{0x00, 0x1C, 0x24, 0x00, 0x00, 0x00}, false},  // next key after the block
        {{0x00, 0x1C, 0x22, 0xFF, 0xFF, 0xFF}, false},  // key before it
        {{0x00, 0x50, 0x56, 0x90, 0x00, 0x00}, true},
        {{0x00, 0x50, 0x56, 0x9F, 0xFF, 0xFF}, true},
        {{0x00, 0x50, 0x56, 0xA0, 0x00, 0x00}, false},  // next key after 0050569
        {{0x00, 0x50, 0x56, 0x8F, 0xFF, 0xFF}, false},
        {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x50}, true},
        {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F}, true},
        {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x60}, false},  // next key after 001a2b3c4d5
        {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x4F}, false},
        {{0xF0, 0x00, 0x00, 0x00, 0x00, 0x00}, true},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, true},
        {{0xEF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, false},
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x01}, false},
    };
    for (const char* action : {"ALLOW", "DENY"}) {
        ResetStateForTesting();
        LoadList(action, kEntries);
        const bool allow = std::string(action) == "ALLOW";
        for (const Case& c : kCases) {
            char key[kAddressKeySize];
            std::vector<uint8_t> message = Message(c.address);
            ClientAddressKey(message.data(), key);
            EXPECT_EQ(Decide(message), c.listed == allow ? 1 : 0) << action << " " << key;
        }
    }
}

// A list of prefixes alone is a list like any other, and the log names the
// client's own key, also where "0*" covers the all-zero address.
TEST_F(PacketFilterTest, PrefixOnlyListsDecideAndLogTheClientKey) {
    for (const char* action : {"ALLOW", "DENY"}) {
        ResetStateForTesting();
        LoadList(action, "0*\n001a2b*\n");
        OpenInfoLog();
        const bool allow = std::string(action) == "ALLOW";
        EXPECT_EQ(Decide(Message(kZero)), allow ? 1 : 0) << action;
        EXPECT_EQ(Decide(Message(kListed)), allow ? 1 : 0) << action;
        const uint8_t outside[6] = {0x10, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
        EXPECT_EQ(Decide(Message(outside)), allow ? 0 : 1) << action;
        EXPECT_EQ(LogText(), allow ? "Tue Dec 08 06:25:12 2026 000000000000 Allow\n"
                                     "Tue Dec 08 06:25:12 2026 001a2b3c4d5e Allow\n"
                                     "Tue Dec 08 06:25:12 2026 101a2b3c4d5e Deny\n"
                                   : "Tue Dec 08 06:25:12 2026 000000000000 Deny\n"
                                     "Tue Dec 08 06:25:12 2026 001a2b3c4d5e Deny\n"
                                     "Tue Dec 08 06:25:12 2026 101a2b3c4d5e Allow\n");
        ResetStateForTesting();
        std::remove(path_.c_str());
    }
}

TEST_F(PacketFilterTest, KeyIsLowercaseHexOfTheFirstSixChaddrBytes) {
    UseList(1, {"a0b1c2d3e4f5"});
    const uint8_t address[6] = {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5};
    EXPECT_EQ(Decide(Message(address)), 1);

    // An upper-case entry can never match a packet.
    ResetStateForTesting();
    UseList(1, {"A0B1C2D3E4F5"});
    EXPECT_EQ(Decide(Message(address)), 0);

    // Every byte value in every place.
    for (int place = 0; place < 6; ++place) {
        for (int value = 0; value < 256; ++value) {
            uint8_t bytes[6] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
            bytes[place] = static_cast<uint8_t>(value);
            uint64_t number = 0;
            for (uint8_t byte : bytes) {
                number = number << 8 | byte;
            }
            char key[kAddressKeySize];
            ClientAddressKey(Message(bytes).data(), key);
            ASSERT_EQ(std::string(key), Key(number)) << place << " " << value;
        }
    }
}

TEST_F(PacketFilterTest, EqualFirstSixBytesGiveTheSameVerdict) {
    UseList(0, {"001a2b3c4d5e"});
    OpenInfoLog();
    std::vector<uint8_t> first = Message(kListed);
    std::vector<uint8_t> second = Message(kListed);
    first[2] = 16;  // hlen and the rest of chaddr differ
    for (size_t i = 34; i < 44; ++i) {
        second[i] = 0xFF;
    }
    EXPECT_EQ(Decide(first), 0);
    EXPECT_EQ(Decide(second), 0);
    EXPECT_EQ(LogText(),
              "Tue Dec 08 06:25:12 2026 001a2b3c4d5e Deny\n"
              "Tue Dec 08 06:25:12 2026 001a2b3c4d5e Deny\n");
}

// A client that names itself by a client identifier may send chaddr all
// zero: it is decided and logged like any other address.
TEST_F(PacketFilterTest, AllZeroAddressIsDecidedAndLoggedLikeAnyOther) {
    struct Case {
        const char* name;
        unsigned char action;
        bool anyListed;   // the set holds 001a2b3c4d5e
        bool zeroListed;  // and 000000000000
        int32_t verdict;
    };
    const Case kCases[] = {
        {"allow list", 1, true, false, 0},       {"deny list", 0, true, false, 1},
        {"empty set", 1, false, false, 1},       {"listed, allow list", 1, true, true, 1},
        {"listed, deny list", 0, true, true, 0},
    };
    for (const Case& c : kCases) {
        ResetStateForTesting();
        std::remove(path_.c_str());
        OpenInfoLog();
        std::vector<std::string> keys;
        if (c.anyListed) {
            keys.push_back("001a2b3c4d5e");
        }
        if (c.zeroListed) {
            keys.push_back("000000000000");
        }
        UseList(c.action, keys);
        EXPECT_EQ(Decide(Message(kZero)), c.verdict) << c.name;
        EXPECT_EQ(LogText(), std::string("Tue Dec 08 06:25:12 2026 000000000000 ") +
                                 (c.verdict != 0 ? "Allow\n" : "Deny\n"))
            << c.name;
    }
}

// A client that gives no hardware address at all (a DHCPv6 client that
// names itself by a DUID without one) is unlisted: an allow list drops it.
// Its line says so where the address would be.
TEST_F(PacketFilterTest, ClientWithoutAHardwareAddressIsUnlisted) {
    struct Case {
        const char* name;
        unsigned char action;
        std::vector<std::string> keys;
        const char* lines;  // for no address, then for kListed
    };
    const Case kCases[] = {
        {"allow list", 1, {"001a2b3c4d5e"}, "no hardware address found Deny|001a2b3c4d5e Allow"},
        {"allow list holding the all-zero address",
         1,
         {"000000000000"},
         "no hardware address found Deny|001a2b3c4d5e Deny"},
        {"deny list", 0, {"001a2b3c4d5e"}, "no hardware address found Allow|001a2b3c4d5e Deny"},
        {"empty set", 1, {}, "no hardware address found Allow|001a2b3c4d5e Allow"},
    };
    for (const Case& c : kCases) {
        ResetStateForTesting();
        std::remove(path_.c_str());
        OpenInfoLog();
        UseList(c.action, c.keys);
        std::string lines = c.lines;
        const size_t bar = lines.find('|');
        EXPECT_EQ(FilterAddress(nullptr), lines.compare(bar - 4, 4, "Deny") == 0 ? 0 : 1) << c.name;
        EXPECT_EQ(FilterAddress(kListed), lines.substr(lines.size() - 4) == "Deny" ? 0 : 1)
            << c.name;
        EXPECT_EQ(LogText(), "Tue Dec 08 06:25:12 2026 " + lines.substr(0, bar) +
                                 "\nTue Dec 08 06:25:12 2026 " + lines.substr(bar + 1) + "\n")
            << c.name;
    }
}

TEST_F(PacketFilterTest, LogLineFormAndLength) {
    UseList(1, {"001a2b3c4d5e"});
    OpenInfoLog();
    EXPECT_EQ(Decide(Message(kListed)), 1);
    EXPECT_EQ(Decide(Message(kUnlisted)), 0);
    EXPECT_EQ(LogText(),
              "Tue Dec 08 06:25:12 2026 001a2b3c4d5e Allow\n"
              "Tue Dec 08 06:25:12 2026 001a2b3c4d5f Deny\n");
}

// On the real clock, whatever the time: 43 and 42 characters before each
// line end, the time stamp's fields each their fixed width.
TEST_F(PacketFilterTest, LogLineLengthOnTheRealClock) {
    RestorePlatformCalls();
    UseList(1, {"001a2b3c4d5e"});
    OpenInfoLog();
    EXPECT_EQ(Decide(Message(kListed)), 1);
    EXPECT_EQ(Decide(Message(kUnlisted)), 0);
    std::istringstream lines(LogText());
    const std::regex form(std::string("(") + kTimestampPattern + ") 001a2b3c4d5(e Allow|f Deny)");
    const size_t lengths[] = {43, 42};
    for (size_t length : lengths) {
        std::string line;
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_TRUE(std::regex_match(line, form)) << line;
        EXPECT_EQ(line.size(), length) << line;
    }
}

TEST_F(PacketFilterTest, EmptySetLogsAllow) {
    UseList(1, {});
    OpenInfoLog();
    EXPECT_EQ(Decide(Message(kUnlisted)), 1);
    EXPECT_EQ(LogText(), "Tue Dec 08 06:25:12 2026 001a2b3c4d5f Allow\n");
}

TEST_F(PacketFilterTest, UnconvertibleTimeLeavesTheTimestampEmpty) {
    Platform.LocalTime = FailingLocalTime;
    OpenInfoLog();
    EXPECT_EQ(Decide(Message(kListed)), 1);
    EXPECT_EQ(LogText(), " 001a2b3c4d5e Allow\n");
}

TEST_F(PacketFilterTest, NothingIsWrittenUnlessEnabledAndOpen) {
    UseList(1, {"001a2b3c4d5e"});
    OpenInfoLog();
    InfoLogEnabled = 0;
    Platform.AppendLines = FailingAppend;
    EXPECT_EQ(Decide(Message(kListed)), 1);
    EXPECT_EQ(Decide(Message(kUnlisted)), 0);
    WaitForInfoLogWriter();
    EXPECT_EQ(AppendCalls.load(), 0);
    EXPECT_EQ(LogText(), "");

    // Enabled, but the server has not started (or has stopped).
    ResetStateForTesting();
    Platform.AppendLines = FailingAppend;
    UseList(1, {"001a2b3c4d5e"});
    InfoLogEnabled = 1;
    EXPECT_EQ(Decide(Message(kListed)), 1);
    EXPECT_EQ(Decide(Message(kUnlisted)), 0);
    EXPECT_EQ(AppendCalls.load(), 0);
    EXPECT_EQ(InfoLogLinesDropped(), 0u);
}

TEST_F(PacketFilterTest, FailedWritesDoNotChangeTheVerdict) {
    UseList(1, {"001a2b3c4d5e"});
    OpenInfoLog();
    Platform.AppendLines = FailingAppend;
    const uint64_t dropped = InfoLogLinesDropped();
    EXPECT_EQ(Decide(Message(kListed)), 1);
    WaitForInfoLogWriter();
    EXPECT_EQ(Decide(Message(kUnlisted)), 0);
    WaitForInfoLogWriter();
    EXPECT_EQ(AppendCalls.load(), 2);
    EXPECT_EQ(InfoLogLinesDropped() - dropped, 2u);
}

TEST_F(PacketFilterTest, InfoLogOffTakesNoLock) {
    UseList(1, {"001a2b3c4d5e"});
    std::atomic<bool> done{false};
    std::unique_lock<std::mutex> held(InfoLogLock);
    std::thread packetThread([&] {
        EXPECT_EQ(Decide(Message(kUnlisted)), 0);
        done = true;
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    bool finishedWhileHeld = done;
    held.unlock();
    packetThread.join();
    EXPECT_TRUE(finishedWhileHeld);
}

TEST_F(PacketFilterTest, ShortOrMissingMessageReadsNothing) {
    for (unsigned char action : {1, 0}) {
        ResetStateForTesting();
        OpenInfoLog();
        const std::string logged = LogText();
        UseList(action, {"001a2b3c4d5e"});
        int32_t unlisted = action == 1 ? 0 : 1;
        // Exactly sized, so reading past the end would be caught by the
        // address sanitizer.
        EXPECT_EQ(Decide(Message(kListed, 33)), unlisted);
        EXPECT_EQ(Decide(Message(kZero, 33)), unlisted);
        EXPECT_EQ(Decide(Message(kListed, 0)), unlisted);

        uint8_t* none = nullptr;
        uint32_t size = 300;
        int32_t flag = -1;
        EXPECT_EQ(DhcpNewPktHook(&none, &size, 0, nullptr, nullptr, &flag), 0u);
        EXPECT_EQ(flag, unlisted);
        flag = -1;
        EXPECT_EQ(DhcpNewPktHook(nullptr, &size, 0, nullptr, nullptr, &flag), 0u);
        EXPECT_EQ(flag, unlisted);
        EXPECT_EQ(LogText(), logged);

        // 34 bytes is enough.
        EXPECT_EQ(Decide(Message(kListed, 34)), action == 1 ? 1 : 0);
    }
    ResetStateForTesting();
    EXPECT_EQ(Decide(Message(kListed, 10)), 1) << "empty set";
}

TEST_F(PacketFilterTest, WithoutALengthTheAddressIsRead) {
    UseList(1, {"001a2b3c4d5e"});
    std::vector<uint8_t> message = Message(kListed, 34);
    uint8_t* packet = message.data();
    int32_t flag = -1;
    EXPECT_EQ(DhcpNewPktHook(&packet, nullptr, 0, nullptr, nullptr, &flag), 0u);
    EXPECT_EQ(flag, 1);
    // No process flag to write: nothing breaks.
    EXPECT_EQ(DhcpNewPktHook(&packet, nullptr, 0, nullptr, nullptr, nullptr), 0u);
}

}  // namespace
}  // namespace macgate
