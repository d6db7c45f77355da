// Loading long lists: the set that the loader builds from the keys it gathers
// against the set that inserting the same keys one by one gives, and loading
// while memory runs out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "config/logs.h"
#include "config/state.h"
#include "core_helpers.h"
#include "filter/address_set.h"
#include "filter/list_file.h"
#include "platform/platform.h"

namespace macgate {
namespace {

// "key(left,right)" for every node, with its height: two trees print alike
// exactly when they have the same shape, keys and heights.
std::string Shape(const AddressNode* node) {
    if (node == nullptr) {
        return "";
    }
    return std::string(node->key) + ":" + std::to_string(node->height) + "(" + Shape(node->left) +
           "," + Shape(node->right) + ")";
}

// Checks search order and true heights; gives the keys in order.
std::vector<std::string> CheckedKeys(const AddressNode* node) {
    std::vector<std::string> keys;
    if (node == nullptr) {
        return keys;
    }
    keys = CheckedKeys(node->left);
    EXPECT_TRUE(keys.empty() || keys.back() < node->key) << "out of order at " << node->key;
    keys.emplace_back(node->key);
    std::vector<std::string> right = CheckedKeys(node->right);
    EXPECT_TRUE(right.empty() || node->key < right.front()) << "out of order at " << node->key;
    keys.insert(keys.end(), right.begin(), right.end());
    EXPECT_EQ(node->height, 1 + std::max(NodeHeight(node->left), NodeHeight(node->right)))
        << "at " << node->key;
    return keys;
}

// The list last loaded, whose set the tests look at.
LoadedList Loaded;

// Loads `list` in place of the list last loaded; gives the error log.
std::string Load(const std::string& list) {
    ResetStateForTesting();
    FreeLoadedList(Loaded);
    ErrorLog = std::tmpfile();
    LoadText(list, Loaded);
    WriteListDiagnostics(Loaded);
    std::string errors = ReadBack(ErrorLog);
    std::fclose(ErrorLog);
    ErrorLog = nullptr;
    return errors;
}

std::string ListOf(const std::vector<std::string>& lines) {
    std::string list = "MAC_ACTION = {ALLOW}\n";
    for (const std::string& line : lines) {
        list += line + "\n";
    }
    return list;
}

TEST(ListLoading, AlternatelyLowAndHighStaysLogarithmicAndFindsEveryKey) {
    constexpr uint64_t kCount = 400000;
    std::vector<std::string> lines;
    for (uint64_t low = 0, high = kCount - 1; low <= high; ++low, --high) {
        lines.push_back(Key(low));
        if (high != low) {
            lines.push_back(Key(high));
        }
    }
    EXPECT_EQ(Load(ListOf(lines)), "");
    ASSERT_NE(Loaded.AddressSet, nullptr);
    EXPECT_LE(Loaded.AddressSet->height, 1.45 * std::log2(kCount + 2.0));
    std::vector<std::string> keys = CheckedKeys(Loaded.AddressSet);
    ASSERT_EQ(keys.size(), kCount);
    for (uint64_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(keys[i], Key(i));
        ASSERT_NE(AddressSetFind(Key(i).c_str(), Loaded.AddressSet), nullptr) << Key(i);
    }
    EXPECT_EQ(AddressSetFind(Key(kCount).c_str(), Loaded.AddressSet), nullptr);
}

// Distinct keys, in random order, with repeats in capitals and bad lines.
std::vector<std::string> ShuffledLines(size_t distinct, std::vector<std::string>* sorted) {
    std::mt19937_64 random(distinct);
    std::set<std::string> keys;
    while (keys.size() < distinct) {
        keys.insert(Key(random() & 0xFFFFFFFFFFFF));
    }
    sorted->assign(keys.begin(), keys.end());
    std::vector<std::string> lines(keys.begin(), keys.end());
    for (size_t i = 0; i < distinct; i += 7) {
        std::string upper = lines[i];
        std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
        lines.push_back(upper);
        lines.push_back(lines[i].substr(1));
    }
    std::shuffle(lines.begin(), lines.end(), random);
    return lines;
}

// The nodes that stand outside their cluster: each must lie at most
// 2^kClusterLevels - 1 places from the node that roots its cluster.
int Strays(const AddressNode* node, const AddressNode* top, int32_t depth) {
    if (node == nullptr) {
        return 0;
    }
    if (depth % kClusterLevels == 0) {
        top = node;
    }
    const uintptr_t offset = reinterpret_cast<uintptr_t>(node) - reinterpret_cast<uintptr_t>(top);
    const int stray = offset >= ((1u << kClusterLevels) - 1) * sizeof(AddressNode) ? 1 : 0;
    return stray + Strays(node->left, top, depth + 1) + Strays(node->right, top, depth + 1);
}

TEST(ListLoading, GivesTheTreeOfInsertingItsKeysInAscendingOrder) {
    std::vector<size_t> sizes = {1000, 4097, 70000};
    for (size_t distinct = 1; distinct <= 140; ++distinct) {
        sizes.push_back(distinct);
    }
    for (size_t distinct : sizes) {
        SCOPED_TRACE(distinct);
        std::vector<std::string> sorted;
        Load(ListOf(ShuffledLines(distinct, &sorted)));
        AddressNode* ascending = nullptr;
        for (const std::string& key : sorted) {
            ascending = AddressSetInsert(key.c_str(), ascending);
        }
        EXPECT_EQ(Shape(Loaded.AddressSet), Shape(ascending));
        EXPECT_EQ(Strays(Loaded.AddressSet, Loaded.AddressSet, 0), 0);
        AddressSetFree(ascending);
    }
}

// The set's allocations through the platform table, numbered from 1; the
// one numbered FailAt fails, and with FailOnward every later one too.
int Allocations = 0;
int FailAt = 0;
bool FailOnward = false;

void* (*RealAllocate)(size_t) = nullptr;

void* FaultyAllocate(size_t size) {
    ++Allocations;
    if (Allocations == FailAt || (FailOnward && Allocations > FailAt && FailAt > 0)) {
        return nullptr;
    }
    return RealAllocate(size);
}

// FaultyAllocate stands in the platform table while one of these lives;
// nothing fails until FailAt is set.
struct FaultyAllocation {
    FaultyAllocation() {
        RealAllocate = Platform.AllocateMemory;
        Platform.AllocateMemory = FaultyAllocate;
        FailAt = 0;
        FailOnward = false;
    }
    ~FaultyAllocation() {
        Platform.AllocateMemory = RealAllocate;
        FailAt = 0;
        FailOnward = false;
    }
    // The number of allocations that loading `list` makes.
    int Count(const std::string& list) {
        Allocations = 0;
        Load(list);
        return Allocations;
    }
};

TEST(ListLoading, OutOfMemoryKeepsTheTreeCorrectAndEveryMessage) {
    std::vector<std::string> sorted;
    std::string list = ListOf(ShuffledLines(5000, &sorted));

    std::string errors = Load(list);
    ASSERT_NE(errors.find("not of proper format"), std::string::npos);
    ASSERT_EQ(CheckedKeys(Loaded.AddressSet), sorted);

    FaultyAllocation faulty;
    const int calls = faulty.Count(list);
    ASSERT_GT(calls, 3);  // gathering grows, then the block and the layout's table

    for (bool onward : {false, true}) {
        for (int failAt = 1; failAt <= calls + 1; ++failAt) {
            SCOPED_TRACE(testing::Message() << "allocation " << failAt << (onward ? " on" : ""));
            Allocations = 0;
            FailAt = failAt;
            FailOnward = onward;
            EXPECT_EQ(Load(list), errors);
            std::vector<std::string> keys = CheckedKeys(Loaded.AddressSet);
            if (!onward || failAt >= calls) {
                // One failure costs no key: the keys go in by another way.
                // The last allocation is the layout's table, without which
                // the tree stays as it was built.
                EXPECT_EQ(keys, sorted);
            } else {
                EXPECT_TRUE(std::includes(sorted.begin(), sorted.end(), keys.begin(), keys.end()));
                for (const std::string& key : keys) {
                    ASSERT_NE(AddressSetFind(key.c_str(), Loaded.AddressSet), nullptr) << key;
                }
            }
        }
    }
    FreeLoadedList(Loaded);
}

// The sections' sets, built together in one block: any one allocation that
// fails costs no key of any section, and frees cleanly.
TEST(ListLoading, OutOfMemoryKeepsEverySectionsKeys) {
    std::string list = "MAC_ACTION = {DENY}\n";
    std::vector<std::vector<std::string>> sections(3);
    for (size_t i = 0; i < sections.size(); ++i) {
        list += "SCOPE 10." + std::to_string(i) + ".0.0/16 = {ALLOW}\n";
        for (uint64_t n = 0; n < 300; ++n) {
            sections[i].push_back(Key((n * 7919 + i) % 100000));
            list += sections[i].back() + "\n";
        }
        std::sort(sections[i].begin(), sections[i].end());
    }
    FaultyAllocation faulty;
    const int calls = faulty.Count(list);
    for (int failAt = 1; failAt <= calls; ++failAt) {
        SCOPED_TRACE(testing::Message() << "allocation " << failAt);
        Allocations = 0;
        FailAt = failAt;
        EXPECT_EQ(Load(list), "");
        ASSERT_EQ(Loaded.Sections.size(), sections.size());
        for (const ListSection& section : Loaded.Sections) {
            EXPECT_EQ(CheckedKeys(section.AddressSet), sections[(section.network >> 16) & 0xFF]);
        }
    }
    FreeLoadedList(Loaded);
}

}  // namespace
}  // namespace macgate
