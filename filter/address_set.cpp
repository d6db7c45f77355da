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

// A loop, not recursion: the packet path must not depend on the stack depth.
const AddressNode* AddressSetFind(const char* key, const AddressNode* root) {
    const AddressNode* node = root;
    while (node != nullptr) {
        int order = std::memcmp(key, node->key, kAddressKeySize);
        if (order == 0) {
            return node;
        }
        node = order < 0 ? node->left : node->right;
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
