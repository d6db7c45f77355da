// Load tests: the built libmacgate.so, opened by path and driven only
// through its exports, as the DHCP server drives the DLL. ctest runs every
// case in a fresh process, so each starts with the library "just loaded".
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "callout/callout.h"
#include "tests/control_lines.h"
#include "tools/macgate/server/library.h"

namespace macgate {
namespace {

namespace fs = std::filesystem;

using EntryFn = uint32_t(MACGATE_CALL*)(void*, uint32_t, CalloutTable*);

std::string Contents(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A 300-byte BOOTREQUEST from the client with the given hardware address,
// relayed by `relayAgent` (giaddr, in host byte order) unless that is 0;
// with `options`, the magic cookie and those bytes after it.
std::vector<uint8_t> Request(const uint8_t (&address)[6], uint32_t relayAgent = 0,
                             const std::vector<uint8_t>& options = {}) {
    std::vector<uint8_t> message(300, 0);
    message[0] = 1;
    message[1] = 1;
    message[2] = 6;
    for (int i = 0; i < 4; ++i) {
        message[24 + i] = static_cast<uint8_t>(relayAgent >> (24 - 8 * i));
    }
    std::memcpy(message.data() + 28, address, 6);
    if (!options.empty()) {
        const uint8_t cookie[4] = {99, 130, 83, 99};
        std::memcpy(message.data() + 236, cookie, sizeof cookie);
        std::copy(options.begin(), options.begin() + std::min<size_t>(options.size(), 60),
                  message.begin() + 240);
    }
    return message;
}

constexpr uint8_t kListed[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
constexpr uint8_t kUnlisted[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5F};
constexpr uint8_t kZero[6] = {0, 0, 0, 0, 0, 0};

// A line the packet hook writes: local time, the key, the verdict and the
// section that decided, if one did ("-" for none).
std::string DecisionLine(const char* key, const char* verdict, const std::string& section = "-") {
    return std::string(
               "[A-Z][a-z]{2} [A-Z][a-z]{2} [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] "
               "[0-9]{4} ") +
           key + " " + verdict +
           (section == "-" ? "" : " " + std::regex_replace(section, std::regex(R"(\.)"), R"(\.)")) +
           "\n";
}

class LoadedLibrary : public testing::Test {
protected:
    void SetUp() override {
        const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
        directory_ = fs::path(testing::TempDir()) / (std::string("macgate-load-") + test->name() +
                                                     "-" + std::to_string(std::random_device()()));
        fs::create_directories(directory_);
        previousDirectory_ = fs::current_path();
        // The error log falls back to a file in the current directory.
        fs::current_path(directory_);
    }

    // The library stays loaded: like the server, the test never unloads it,
    // and its list stays reachable for the leak checker.
    void TearDown() override {
        DropPrivateConfiguration();
        fs::current_path(previousDirectory_);
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    fs::path File(const char* name) const {
        return directory_ / name;
    }

    std::vector<std::string> FileNames() const {
        std::vector<std::string> files;
        for (const auto& item : fs::directory_iterator(directory_)) {
            files.push_back(item.path().filename().string());
        }
        std::sort(files.begin(), files.end());
        return files;
    }

    void WriteList(const std::string& text) {
        std::ofstream(File("list.txt"), std::ios::binary) << text;
    }

    // Loads the library and calls its entry as the server does; the table
    // starts full of values of the server's own.
    void Load(const char* errorLog, const char* list, const char* infoLog) {
        if (errorLog != nullptr || list != nullptr || infoLog != nullptr) {
            std::string paths[3] = {errorLog ? File(errorLog).string() : "",
                                    list ? File(list).string() : "",
                                    infoLog ? File(infoLog).string() : ""};
            CalloutPaths configuration = {errorLog ? paths[0].c_str() : nullptr,
                                          list ? paths[1].c_str() : nullptr,
                                          infoLog ? paths[2].c_str() : nullptr};
            std::string error;
            ASSERT_TRUE(UsePrivateConfiguration(configuration, &error)) << error;
        } else {
            DropPrivateConfiguration();
        }
        std::string error;
        library_ = OpenLibrary(MACGATE_LIBRARY_PATH, &error);
        ASSERT_NE(library_, nullptr) << error;
        auto entry =
            reinterpret_cast<EntryFn>(FindLibraryExport(library_, "DhcpServerCalloutEntry"));
        ASSERT_NE(entry, nullptr);
        for (int i = 0; i < 10; ++i) {
            serverSlots_[i] = &serverSlots_[i];
        }
        std::memcpy(&table_, serverSlots_, sizeof table_);
        ASSERT_EQ(entry(nullptr, 0, &table_), 0u);
    }

    uint32_t Control(uint32_t code) {
        return table_.controlHook(code, nullptr);
    }

    // Sends one request through slot 1, received on the interface of
    // `interfaceAddress`; gives the process flag.
    int32_t Packet(const uint8_t (&address)[6], uint32_t relayAgent = 0,
                   uint32_t interfaceAddress = 0, const std::vector<uint8_t>& options = {}) {
        std::vector<uint8_t> message = Request(address, relayAgent, options);
        uint8_t* packet = message.data();
        uint32_t size = static_cast<uint32_t>(message.size());
        void* context = nullptr;
        int32_t flag = -1;
        EXPECT_EQ(table_.newPktHook(&packet, &size, interfaceAddress, nullptr, &context, &flag),
                  0u);
        EXPECT_EQ(packet, message.data());
        return flag;
    }

    void ExpectLines(const fs::path& path, const std::vector<std::string>& patterns) {
        std::string text = Contents(path);
        std::string pattern;
        for (const std::string& line : patterns) {
            pattern += line;
        }
        EXPECT_TRUE(std::regex_match(text, std::regex(pattern))) << "log:\n" << text;
    }

    static std::string Literal(const char* text) {
        return std::regex_replace(std::string(text), std::regex(R"([.^$|()\[\]{}*+?\\])"),
                                  R"(\$&)");
    }

    fs::path directory_;
    fs::path previousDirectory_;
    LibraryHandle library_ = nullptr;
    void* serverSlots_[10];
    CalloutTable table_;
};

TEST_F(LoadedLibrary, NoConfigurationStillFillsTheTableAndServesEveryone) {
    Load(nullptr, nullptr, nullptr);
    void* slots[10];
    std::memcpy(slots, &table_, sizeof slots);
    const char* hooks[10] = {"DhcpControlHook",
                             "DhcpNewPktHook",
                             "DhcpPktDropHook",
                             "DhcpPktSendHook",
                             "DhcpAddressDelHook",
                             nullptr,
                             nullptr,
                             "DhcpDeleteClientHook",
                             nullptr,
                             nullptr};
    for (int i = 0; i < 10; ++i) {
        if (hooks[i] == nullptr) {
            EXPECT_EQ(slots[i], serverSlots_[i]) << "slot " << i;
        } else {
            EXPECT_EQ(slots[i], FindLibraryExport(library_, hooks[i])) << "slot " << i;
        }
    }
    EXPECT_EQ(Contents(File("ErrorFile.txt")),
              "Could not read ErrorLog file from registry\n"
              "Could Not Read Mac File From Registry\n");
    EXPECT_EQ(Packet(kListed), 1);
    EXPECT_EQ(Packet(kUnlisted), 1);
    for (uint32_t code = 1; code <= 5; ++code) {
        EXPECT_EQ(Control(code), 0u);
    }
    EXPECT_EQ(FileNames(), (std::vector<std::string>{"ErrorFile.txt"}));
}

TEST_F(LoadedLibrary, ServerLifeAllowListWritesEveryEventAndDecision) {
    WriteList("MAC_ACTION = {ALLOW}\n001A2B3C4D5E\n");
    Load("error.log", "list.txt", "info.log");
    EXPECT_EQ(Contents(File("error.log")), "");
    EXPECT_EQ(Contents(File("info.log")),
              "Action specified is : ALLOW\nSuccessfully read mac addresses\n");

    EXPECT_EQ(Control(kControlStart), 0u);
    EXPECT_EQ(Packet(kListed), 1);
    EXPECT_EQ(Packet(kUnlisted), 0);
    EXPECT_EQ(Packet(kZero), 0);
    EXPECT_EQ(Control(kControlPause), 0u);
    EXPECT_EQ(Control(kControlContinue), 0u);
    EXPECT_EQ(Packet(kUnlisted), 0);
    EXPECT_EQ(Control(kControlStop), 0u);
    // After stop the verdicts stand but nothing is written.
    EXPECT_EQ(Packet(kListed), 1);
    EXPECT_EQ(Control(kControlPause), 0u);

    ExpectLines(File("info.log"), {
                                      Literal("Action specified is : ALLOW\n"),
                                      Literal("Successfully read mac addresses\n"),
                                      Literal(kStarted),
                                      DecisionLine("001a2b3c4d5e", "Allow"),
                                      DecisionLine("001a2b3c4d5f", "Deny"),
                                      DecisionLine("000000000000", "Deny"),
                                      Literal(kPaused),
                                      Literal(kContinued),
                                      DecisionLine("001a2b3c4d5f", "Deny"),
                                      Literal(kStopped),
                                  });
}

TEST_F(LoadedLibrary, DenyListRefusesListedClients) {
    WriteList("MAC_ACTION = {DENY}\n001a2b3c4d5e\n");
    Load("error.log", "list.txt", "info.log");
    Control(kControlStart);
    EXPECT_EQ(Packet(kListed), 0);
    EXPECT_EQ(Packet(kUnlisted), 1);
    Control(kControlStop);
    ExpectLines(File("info.log"), {
                                      Literal("Action specified is : DENY\n"),
                                      Literal("Successfully read mac addresses\n"),
                                      Literal(kStarted),
                                      DecisionLine("001a2b3c4d5e", "Deny"),
                                      DecisionLine("001a2b3c4d5f", "Allow"),
                                      Literal(kStopped),
                                  });
}

// The tables of decisions on lists with sections (tests/data/scopes/), which
// the Wine cases send through the DLLs too: PREFIXlist.txt loads with the
// error log PREFIXerror.txt, then each row of PREFIXdecisions.txt gives its
// verdict and its decision line, naming the section that decided.
class ScopeTable : public LoadedLibrary, public testing::WithParamInterface<const char*> {};

TEST_P(ScopeTable, SectionsDecideByTheScopeAddress) {
    const std::string data = std::string(MACGATE_TEST_DATA_DIR) + "/scopes/" + GetParam();
    WriteList(Contents(data + "list.txt"));
    Load("error.log", "list.txt", "info.log");
    EXPECT_EQ(Contents(File("error.log")), Contents(data + "error.txt"));
    Control(kControlStart);
    std::istringstream rows(Contents(data + "decisions.txt"));
    std::vector<std::string> lines;
    for (std::string row; std::getline(rows, row);) {
        std::istringstream fields(row);
        std::string client, relayAgent, interfaceAddress, verdict, section, options;
        if (row.empty() || row[0] == '#' ||
            !(fields >> client >> relayAgent >> interfaceAddress >> verdict >> section)) {
            continue;
        }
        fields >> options;
        SCOPED_TRACE(row);
        uint8_t address[6];
        unsigned relay[4];
        for (int i = 0; i < 6; ++i) {
            address[i] = static_cast<uint8_t>(std::stoul(client.substr(2 * i, 2), nullptr, 16));
        }
        std::vector<uint8_t> optionBytes;
        for (size_t i = 0; i + 1 < options.size(); i += 2) {
            optionBytes.push_back(
                static_cast<uint8_t>(std::stoul(options.substr(i, 2), nullptr, 16)));
        }
        ASSERT_EQ(options.size() % 2, 0u);
        ASSERT_EQ(std::sscanf(relayAgent.c_str(), "%u.%u.%u.%u", &relay[0], &relay[1], &relay[2],
                              &relay[3]),
                  4);
        const uint32_t giaddr = relay[0] << 24 | relay[1] << 16 | relay[2] << 8 | relay[3];
        EXPECT_EQ(
            Packet(address, giaddr,
                   static_cast<uint32_t>(std::stoul(interfaceAddress, nullptr, 16)), optionBytes),
            verdict == "Allow" ? 1 : 0);
        lines.push_back(DecisionLine(client.c_str(), verdict.c_str(), section));
    }
    EXPECT_GE(lines.size(), 4u);
    Control(kControlStop);
    // The decision lines, between the start and stop lines.
    std::string info = Contents(File("info.log"));
    size_t start = info.find(kStarted);
    const size_t stop = info.rfind(kStopped);
    ASSERT_NE(start, std::string::npos);
    ASSERT_NE(stop, std::string::npos);
    start += std::strlen(kStarted);
    std::string pattern;
    for (const std::string& line : lines) {
        pattern += line;
    }
    EXPECT_TRUE(std::regex_match(info.substr(start, stop - start), std::regex(pattern))) << "log:\n"
                                                                                         << info;
}

INSTANTIATE_TEST_SUITE_P(Lists, ScopeTable, testing::Values("", "closed-", "unusable-"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param).empty()
                                        ? std::string("site")
                                        : std::string(info.param, std::strlen(info.param) - 1);
                         });

// Without sections neither address changes a decision or its line.
TEST_F(LoadedLibrary, ListWithoutSectionsIgnoresBothAddresses) {
    WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
    Load("error.log", "list.txt", "info.log");
    Control(kControlStart);
    EXPECT_EQ(Packet(kListed, 0x0A010209, 0x0A010209), 1);
    EXPECT_EQ(Packet(kUnlisted, 0x0A010209, 0x0A010209), 0);
    Control(kControlStop);
    ExpectLines(File("info.log"), {
                                      Literal("Action specified is : ALLOW\n"),
                                      Literal("Successfully read mac addresses\n"),
                                      Literal(kStarted),
                                      DecisionLine("001a2b3c4d5e", "Allow"),
                                      DecisionLine("001a2b3c4d5f", "Deny"),
                                      Literal(kStopped),
                                  });
}

TEST_F(LoadedLibrary, InfoLogOffEventsCreateNoFile) {
    WriteList("MAC_ACTION = {ALLOW}\n001a2b3c4d5e\n");
    Load("error.log", "list.txt", nullptr);
    for (uint32_t code : {1u, 3u, 4u, 2u, 5u}) {
        EXPECT_EQ(Control(code), 0u);
    }
    EXPECT_EQ(Packet(kListed), 1);
    EXPECT_EQ(Packet(kUnlisted), 0);
    EXPECT_EQ(Contents(File("error.log")), "");
    EXPECT_EQ(FileNames(), (std::vector<std::string>{"error.log", "list.txt"}));
}

TEST_F(LoadedLibrary, HooksThatDoNothingReturnZero) {
    Load("error.log", "list.txt", nullptr);
    EXPECT_EQ(table_.pktDropHook(1, 2, 3, 4, 5, 6), 0u);
    EXPECT_EQ(table_.pktSendHook(1, 2, 3, 4, 5, 6), 0u);
    EXPECT_EQ(table_.addressDelHook(1, 2, 3, 4, 5, 6, 7), 0u);
    EXPECT_EQ(table_.deleteClientHook(1, 2, 3, 4, 5), 0u);
    auto offer =
        reinterpret_cast<AddressOfferHookFn>(FindLibraryExport(library_, "DhcpAddressOfferHook"));
    ASSERT_NE(offer, nullptr);
    EXPECT_EQ(offer(1, 2, 3, 4, 5, 6, 7, 8, 9), 0u);
}

}  // namespace
}  // namespace macgate
