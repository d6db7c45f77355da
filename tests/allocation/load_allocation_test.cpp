// Start-up under every allocation failure: failing the nth allocation of a
// load, for every n of a small list and for a sample of a large one, leaves
// either the whole list in use or none, with the reason in the error log,
// and no file open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "config/startup.h"
#include "config/state.h"
#include "core_helpers.h"
#include "filter/list_file.h"
#include "open_files.h"
#include "platform/platform.h"
#include "tests/allocation_counter.h"

namespace macgate {
namespace {

// The set's large blocks come from the system, not from malloc: counted
// and failed the same way.
void* (*RealAllocateMemory)(size_t) = nullptr;
void* CountedAllocateMemory(size_t size) {
    return CountAllocation() ? nullptr : RealAllocateMemory(size);
}

// A list of `addresses` addresses, a prefix, a bad line and, with
// `sections`, two sections.
std::string ListOf(int addresses, bool sections) {
    std::string text = "MAC_ACTION = {ALLOW}\n001c23*\n00:11:22:33:44:55\n";
    for (int i = 0; i < addresses; ++i) {
        text += Key(0x001a2b000000u + static_cast<uint64_t>(i) * 7) + "\n";
        if (sections && i == addresses / 3) {
            text += "SCOPE 10.1.0.0/16 = {DENY}\n";
        } else if (sections && i == 2 * addresses / 3) {
            text += "SCOPE 10.2.0.0/16 = {ALLOW}\n";
        }
    }
    return text;
}

// What decides: the counts, the sections and each key of the list.
std::string Decides(const LoadedList* list, int addresses) {
    if (list == nullptr) {
        return "nothing";
    }
    std::string text = std::to_string(list->Entries.addresses) + " addresses, " +
                       std::to_string(list->Entries.prefixes) + " prefixes, " +
                       std::to_string(list->Sections.size()) + " sections;";
    for (const ListSection& section : list->Sections) {
        text += " " + std::to_string(section.Entries.addresses);
    }
    int missing = 0;
    for (int i = 0; i < addresses; ++i) {
        const std::string key = Key(0x001a2b000000u + static_cast<uint64_t>(i) * 7);
        const ListSection* in = nullptr;
        for (const ListSection& section : list->Sections) {
            in = IsListed(section, key.c_str()) ? &section : in;
        }
        missing += in == nullptr && !IsListed(*list, key.c_str()) ? 1 : 0;
    }
    return text + " " + std::to_string(missing) + " missing";
}

TEST(LoadAllocation, AFailedAllocationLoadsTheWholeListOrNone) {
    char folder[] = "/tmp/macgate-load-allocation-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder;
    const std::string list = dir + "/list.txt";
    const std::string errorLog = dir + "/error.log";
    const std::string infoLog = dir + "/info.log";
    RealAllocateMemory = Platform.AllocateMemory;
    Platform.AllocateMemory = CountedAllocateMemory;
    struct Row {
        const char* name;
        int addresses;
        bool sections;
        int samples;  // 0: every allocation
    };
    const Row rows[] = {
        {"small list", 6, false, 0},
        {"small list with sections", 6, true, 0},
        {"large list with sections", 30000, true, 60},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(list, ListOf(row.addresses, row.sections));
        ResetStateForTesting();
        const uint64_t before = Allocations.load();
        StartFilter(errorLog.c_str(), list.c_str(), infoLog.c_str());
        const uint64_t total = Allocations.load() - before;
        const std::string whole = Decides(ListInUse.load(), row.addresses);
        ASSERT_NE(whole.find(" 0 missing"), std::string::npos) << whole;
        const std::set<std::string> open = OpenDescriptors();

        const uint64_t step = row.samples == 0 ? 1 : total / static_cast<uint64_t>(row.samples);
        int failed = 0;
        for (uint64_t n = 1; n <= total; n += step) {
            ResetStateForTesting();
            {
                FailNthAllocation failing(n);
                StartFilter(errorLog.c_str(), list.c_str(), infoLog.c_str());
            }
            const std::string decides = Decides(ListInUse.load(), row.addresses);
            EXPECT_TRUE(decides == whole || decides == "nothing") << n << ": " << decides;
            if (decides == "nothing") {
                ++failed;
                const std::string log = ReadFile(errorLog);
                const std::string end =
                    "Not enough memory to load the list\nFile format not proper\n";
                // Unless no log could be opened, the error log says why.
                if (log.find("File format not proper\n") != std::string::npos) {
                    EXPECT_EQ(log.substr(log.size() - std::min(log.size(), end.size())), end) << n;
                }
            }
            EXPECT_EQ(OpenDescriptors(), open) << n;
            EXPECT_EQ(ErrorLog, nullptr) << n;
            EXPECT_EQ(InfoLog, nullptr) << n;
        }
        EXPECT_GT(failed, 0);
    }
    RestorePlatformCalls();
    ResetStateForTesting();
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace macgate
