#include "filter/address_set.h"

#include <cstring>
#include <new>

namespace macgate {

namespace {

void UpdateHeight(AddressNode* node) {
    int32_t left = NodeHeight(node->left);
    int32_t right = NodeHeight(node->right);
    node->height = 1 + (left > right ? left : right);
}

}  // namespace

int32_t NodeHeight(const AddressNode* node) {
    return node == nullptr ? 0 : node->height;
}

namespace {

// Eight key bytes as a big-endian number; written out so that compilers
// make it one load and a byte swap.
uint64_t LoadBigEndian(const char* bytes) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
    return uint64_t{b[0]} << 56 | uint64_t{b[1]} << 48 | uint64_t{b[2]} << 40 |
           uint64_t{b[3]} << 32 | uint64_t{b[4]} << 24 | uint64_t{b[5]} << 16 |
           uint64_t{b[6]} << 8 | uint64_t{b[7]};
}

}  // namespace

// A loop, not recursion: the packet path must not depend on the stack depth.
// Comparing bytes 0-7 and then bytes 5-12 as numbers orders keys exactly as
// memcmp over all 13 bytes does, without a library call per level.
const AddressNode* AddressSetFind(const char* key, const AddressNode* root) {
    const uint64_t head = LoadBigEndian(key);
    const uint64_t tail = LoadBigEndian(key + kAddressKeySize - 8);
    const AddressNode* node = root;
    while (node != nullptr) {
#if defined(__GNUC__)
        // Both children start loading while this node is compared, so a
        // mispredicted turn finds the other one already on its way.
        __builtin_prefetch(node->left);
        __builtin_prefetch(node->right);
#endif
        const uint64_t nodeHead = LoadBigEndian(node->key);
        if (head != nodeHead) {
            node = head < nodeHead ? node->left : node->right;
            continue;
        }
        const uint64_t nodeTail = LoadBigEndian(node->key + kAddressKeySize - 8);
        if (tail == nodeTail) {
            return node;
        }
        node = tail < nodeTail ? node->left : node->right;
    }
    return nullptr;
}

AddressNode* LiftLeftChild(AddressNode* node) {
    AddressNode* child = node->left;
    node->left = child->right;
    child->right = node;
    UpdateHeight(node);
    UpdateHeight(child);
    return child;
}

AddressNode* LiftRightChild(AddressNode* node) {
    AddressNode* child = node->right;
    node->right = child->left;
    child->left = node;
    UpdateHeight(node);
    UpdateHeight(child);
    return child;
}

AddressNode* LiftLeftRightGrandchild(AddressNode* node) {
    node->left = LiftRightChild(node->left);
    return LiftLeftChild(node);
}

// Recursion depth is the tree's height, which the rebalancing below keeps
// under 1.45 * log2(n + 2): about 30 for a million keys.
AddressNode* AddressSetInsert(const char* key, AddressNode* node) {
    if (node == nullptr) {
        // Out of memory: the subtree stays empty and the key is not added.
        AddressNode* fresh = new (std::nothrow) AddressNode;
        if (fresh == nullptr) {
            return nullptr;
        }
        std::memcpy(fresh->key, key, kAddressKeySize);
        fresh->left = nullptr;
        fresh->right = nullptr;
        fresh->height = 1;
        return fresh;
    }
    int order = std::memcmp(key, node->key, kAddressKeySize);
    if (order < 0) {
        node->left = AddressSetInsert(key, node->left);
        if (NodeHeight(node->left) - NodeHeight(node->right) > 1) {
            // Single rotation only when the outer grandchild is at least as
            // tall as the inner one; otherwise it would leave the tree skewed.
            if (NodeHeight(node->left->left) >= NodeHeight(node->left->right)) {
                node = LiftLeftChild(node);
            } else {
                node = LiftLeftRightGrandchild(node);
            }
        }
    } else if (order > 0) {
        node->right = AddressSetInsert(key, node->right);
        if (NodeHeight(node->right) - NodeHeight(node->left) > 1) {
            if (NodeHeight(node->right->right) >= NodeHeight(node->right->left)) {
                node = LiftRightChild(node);
            } else {
                node->right = LiftLeftChild(node->right);
                node = LiftRightChild(node);
            }
        }
    } else {
        return node;  // already present
    }
    UpdateHeight(node);
    return node;
}

// Children before their parent; the depth is bounded by the tree's height.
AddressNode* AddressSetFree(AddressNode* node) {
    if (node == nullptr) {
        return nullptr;
    }
    node->left = AddressSetFree(node->left);
    node->right = AddressSetFree(node->right);
    delete node;
    return nullptr;
}

}  // namespace macgate
