#include "filter/address_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core_helpers.h"
#include "platform/platform.h"

namespace {

// Lets a test make the set's node allocation fail.
std::atomic<bool> FailNothrowNew{false};

}  // namespace

// Forwards to the ordinary operator new so that delete still matches it.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (FailNothrowNew.load()) {
        return nullptr;
    }
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}

namespace macgate {
namespace {

// Keys k1 < k2 < ... are Key(1), Key(2), ...; the shape is written as
// "value(left,right)" with the hexadecimal value of each key.
std::string Shape(const AddressNode* node) {
    if (node == nullptr) {
        return "";
    }
    std::string text = std::to_string(std::strtoull(node->key, nullptr, 16));
    if (node->left != nullptr || node->right != nullptr) {
        text += "(" + Shape(node->left) + "," + Shape(node->right) + ")";
    }
    return text;
}

std::string Heights(const AddressNode* node) {
    if (node == nullptr) {
        return "";
    }
    std::string text = std::to_string(node->height);
    if (node->left != nullptr || node->right != nullptr) {
        text += "(" + Heights(node->left) + "," + Heights(node->right) + ")";
    }
    return text;
}

AddressNode* InsertAll(AddressNode* root, const std::vector<uint64_t>& addresses) {
    for (uint64_t address : addresses) {
        root = AddressSetInsert(Key(address).c_str(), root);
    }
    return root;
}

// Checks search order, true heights and AVL balance at every node; collects
// the keys in order.
void CheckTree(const AddressNode* node, std::vector<std::string>* keys) {
    if (node == nullptr) {
        return;
    }
    CheckTree(node->left, keys);
    if (!keys->empty()) {
        ASSERT_LT(std::memcmp(keys->back().data(), node->key, kAddressKeySize), 0)
            << "out of order or duplicate at " << node->key;
    }
    keys->emplace_back(node->key, kAddressKeySize);
    CheckTree(node->right, keys);
    int32_t left = NodeHeight(node->left);
    int32_t right = NodeHeight(node->right);
    ASSERT_EQ(node->height, 1 + std::max(left, right)) << "at " << node->key;
    ASSERT_LE(std::abs(left - right), 1) << "unbalanced at " << node->key;
}

class AddressSetTest : public testing::Test {
protected:
    void TearDown() override {
        FailNothrowNew = false;
        root_ = AddressSetFree(root_);
    }
    AddressNode* root_ = nullptr;
};

TEST_F(AddressSetTest, EmptyAndSingleKey) {
    EXPECT_EQ(AddressSetFind(Key(1).c_str(), nullptr), nullptr);
    EXPECT_EQ(NodeHeight(nullptr), 0);

    root_ = AddressSetInsert(Key(1).c_str(), nullptr);
    ASSERT_NE(root_, nullptr);
    EXPECT_EQ(root_->height, 1);
    EXPECT_EQ(root_->left, nullptr);
    EXPECT_EQ(root_->right, nullptr);
    EXPECT_EQ(AddressSetFind(Key(1).c_str(), root_), root_);
    EXPECT_EQ(AddressSetFind(Key(2).c_str(), root_), nullptr);
}

// Every release that freeing makes: its size, and for a node whether its
// links were already cut, which they are only once its children are gone.
std::vector<size_t> Released;
int ReleasedWithChildren = 0;
void (*RealFree)(void*, size_t) = nullptr;

void CountingFree(void* memory, size_t size) {
    if (memory != nullptr) {
        Released.push_back(size);
        if (size == sizeof(AddressNode)) {
            const AddressNode* node = static_cast<const AddressNode*>(memory);
            ReleasedWithChildren += node->left != nullptr || node->right != nullptr ? 1 : 0;
        }
    }
    RealFree(memory, size);
}

// Freeing releases each node that was allocated alone once, children
// before their parent, and a built set's block whole; the set and its list
// of blocks are empty afterwards.
TEST_F(AddressSetTest, FreeReleasesEveryNodeOnce) {
    struct Case {
        const char* name;
        size_t keys;
        bool inBlock;  // built as the loader builds a set
        std::vector<size_t> released;
    };
    const Case kCases[] = {
        {"empty set", 0, false, {}},
        {"six keys one by one", 6, false, std::vector<size_t>(6, sizeof(AddressNode))},
        {"a thousand keys in a block",
         1000,
         true,
         {1000 * sizeof(AddressNode), sizeof(AddressBlock)}},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        AddressNode* root = nullptr;
        AddressBlock* blocks = nullptr;
        PendingKeys pending = {};
        for (uint64_t address = 1; address <= c.keys; ++address) {
            root = c.inBlock ? AddressSetAdd(Key(address).c_str(), root, pending, &blocks)
                             : AddressSetInsert(Key(address).c_str(), root);
        }
        root = AddressSetAddPending(root, pending, &blocks);
        EXPECT_EQ(blocks != nullptr, c.inBlock);
        Released.clear();
        ReleasedWithChildren = 0;
        RealFree = Platform.FreeMemory;
        Platform.FreeMemory = CountingFree;
        EXPECT_EQ(AddressSetFree(root, &blocks), nullptr);
        Platform.FreeMemory = RealFree;
        EXPECT_EQ(blocks, nullptr);
        EXPECT_EQ(Released, c.released);
        EXPECT_EQ(ReleasedWithChildren, 0);
    }
}

TEST_F(AddressSetTest, InsertCopiesTheKey) {
    char buffer[kAddressKeySize] = "001a2b3c4d5e";
    root_ = AddressSetInsert(buffer, root_);
    buffer[11] = 'f';
    EXPECT_EQ(AddressSetFind("001a2b3c4d5e", root_), root_);
    EXPECT_EQ(AddressSetFind(buffer, root_), nullptr);
}

TEST_F(AddressSetTest, ThreeKeysInAnyOrderGiveTheMiddleAtTheRoot) {
    for (const auto& order : std::vector<std::vector<uint64_t>>{
             {1, 2, 3}, {3, 2, 1}, {1, 3, 2}, {3, 1, 2}, {2, 1, 3}}) {
        AddressNode* root = InsertAll(nullptr, order);
        EXPECT_EQ(Shape(root), "2(1,3)");
        EXPECT_EQ(Heights(root), "2(1,1)");
        AddressSetFree(root);
    }
}

TEST_F(AddressSetTest, InnerGrandchildTallerTakesTheDoubleRotation) {
    root_ = InsertAll(nullptr, {5, 2, 7, 1, 3, 4});
    EXPECT_EQ(Shape(root_), "3(2(1,),5(4,7))");
    EXPECT_EQ(Heights(root_), "3(2(1,),2(1,1))");

    // The mirror image on the right side.
    AddressNode* mirror = InsertAll(nullptr, {3, 6, 1, 7, 5, 4});
    EXPECT_EQ(Shape(mirror), "5(3(1,4),6(,7))");
    EXPECT_EQ(Heights(mirror), "3(2(1,1),2(,1))");
    AddressSetFree(mirror);
}

TEST_F(AddressSetTest, SortedInsertionsGiveAPerfectTree) {
    std::vector<uint64_t> ascending;
    for (uint64_t i = 1; i <= 15; ++i) {
        ascending.push_back(i);
    }
    root_ = InsertAll(nullptr, ascending);
    EXPECT_EQ(root_->height, 4);
    EXPECT_EQ(Shape(root_), "8(4(2(1,3),6(5,7)),12(10(9,11),14(13,15)))");

    std::vector<uint64_t> descending(ascending.rbegin(), ascending.rend());
    AddressNode* other = InsertAll(nullptr, descending);
    EXPECT_EQ(Shape(other), Shape(root_));
    AddressSetFree(other);

    std::vector<uint64_t> thousand;
    for (uint64_t i = 0; i < 1000; ++i) {
        thousand.push_back(i);
    }
    other = InsertAll(nullptr, thousand);
    EXPECT_EQ(other->height, 10);
    AddressSetFree(other);
}

TEST_F(AddressSetTest, DuplicatesChangeNothing) {
    root_ = InsertAll(nullptr, {5, 2, 7, 1, 3, 4});
    std::string shape = Shape(root_);
    std::string heights = Heights(root_);
    for (uint64_t address : {5, 2, 7, 1, 3, 4}) {
        AddressNode* before = root_;
        root_ = AddressSetInsert(Key(address).c_str(), root_);
        EXPECT_EQ(root_, before);
    }
    EXPECT_EQ(Shape(root_), shape);
    EXPECT_EQ(Heights(root_), heights);
}

TEST_F(AddressSetTest, KeysCompareAsUnsignedBytesAndByCase) {
    root_ = AddressSetInsert("000000000010", root_);
    root_ = AddressSetInsert("00000000000a", root_);
    root_ = AddressSetInsert("000000000009", root_);
    root_ = AddressSetInsert("00AABBCCDDEE", root_);
    // Keys are stored unvalidated; a byte above 0x7f sorts last.
    const char high[kAddressKeySize] = {'\x80', '0', '0', '0', '0', '0', '0',
                                        '0',    '0', '0', '0', '0', '\0'};
    root_ = AddressSetInsert(high, root_);

    std::vector<std::string> keys;
    CheckTree(root_, &keys);
    ASSERT_EQ(keys.size(), 5u);
    EXPECT_STREQ(keys[0].c_str(), "000000000009");
    EXPECT_STREQ(keys[1].c_str(), "00000000000a");
    EXPECT_STREQ(keys[2].c_str(), "000000000010");
    EXPECT_STREQ(keys[3].c_str(), "00AABBCCDDEE");
    EXPECT_EQ(keys[4][0], '\x80');

    EXPECT_EQ(AddressSetFind("00aabbccddee", root_), nullptr);
    EXPECT_NE(AddressSetFind("00AABBCCDDEE", root_), nullptr);
    EXPECT_NE(AddressSetFind(high, root_), nullptr);
}

TEST_F(AddressSetTest, AlternatingLowHighStaysLogarithmic) {
    constexpr uint64_t kCount = 100000;
    for (uint64_t low = 0, high = kCount - 1; low <= high; ++low, --high) {
        root_ = AddressSetInsert(Key(low).c_str(), root_);
        if (high != low) {
            root_ = AddressSetInsert(Key(high).c_str(), root_);
        }
    }
    EXPECT_LE(root_->height, 1.45 * std::log2(kCount + 2.0));

    std::vector<std::string> keys;
    CheckTree(root_, &keys);
    ASSERT_EQ(keys.size(), kCount);
    for (uint64_t i = 0; i < kCount; ++i) {
        ASSERT_STREQ(keys[i].c_str(), Key(i).c_str());
        ASSERT_NE(AddressSetFind(Key(i).c_str(), root_), nullptr);
    }
    EXPECT_EQ(AddressSetFind(Key(kCount).c_str(), root_), nullptr);
}

TEST_F(AddressSetTest, RandomInsertionsWithDuplicatesKeepEveryInvariant) {
    std::mt19937_64 random(2026);
    std::set<std::string> expected;
    for (int i = 0; i < 20000; ++i) {
        // Few distinct first halves, so both halves of the key decide.
        std::string key = Key((random() % 40) << 16 | random() % 200);
        expected.insert(key);
        root_ = AddressSetInsert(key.c_str(), root_);
    }
    std::vector<std::string> keys;
    CheckTree(root_, &keys);
    ASSERT_EQ(keys.size(), expected.size());
    EXPECT_TRUE(std::equal(keys.begin(), keys.end(), expected.begin(),
                           [](const std::string& a, const std::string& b) {
                               return std::strcmp(a.c_str(), b.c_str()) == 0;
                           }));
    EXPECT_LE(root_->height, 1.45 * std::log2(expected.size() + 2.0));
    for (const std::string& key : expected) {
        ASSERT_NE(AddressSetFind(key.c_str(), root_), nullptr) << key;
    }
    for (int i = 0; i < 2000; ++i) {
        std::string key = Key(random() % 5000 + (uint64_t{1} << 40));
        ASSERT_EQ(AddressSetFind(key.c_str(), root_), nullptr) << key;
    }
}

TEST_F(AddressSetTest, ArbitraryBytesAreFoundByTheirOwnOrder) {
    std::mt19937 random(11);
    std::vector<std::string> inserted;
    for (int i = 0; i < 3000; ++i) {
        std::string key(kAddressKeySize, '\0');
        for (char& byte : key) {
            // A small alphabet with bytes above 0x7f makes equal prefixes common.
            byte = static_cast<char>("\x01\x7f\x80\xff"[random() % 4]);
        }
        root_ = AddressSetInsert(key.data(), root_);
        inserted.push_back(key);
    }
    std::vector<std::string> keys;
    CheckTree(root_, &keys);
    for (const std::string& key : inserted) {
        const AddressNode* node = AddressSetFind(key.data(), root_);
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(std::memcmp(node->key, key.data(), kAddressKeySize), 0);
    }
}

TEST_F(AddressSetTest, OutOfMemoryLeavesACorrectTreeWithoutTheKey) {
    std::mt19937_64 random(7);
    std::set<std::string> stored;
    for (int i = 0; i < 3000; ++i) {
        std::string key = Key(random() % 100000);
        FailNothrowNew = (i % 3 == 1);
        root_ = AddressSetInsert(key.c_str(), root_);
        FailNothrowNew = false;
        if (i % 3 != 1) {
            stored.insert(key);
        }
        ASSERT_EQ(AddressSetFind(key.c_str(), root_) != nullptr, stored.count(key) == 1) << key;
    }
    std::vector<std::string> keys;
    CheckTree(root_, &keys);
    EXPECT_EQ(keys.size(), stored.size());
}

}  // namespace
}  // namespace macgate
