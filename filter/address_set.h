// The filter list in memory: an AVL tree of 13-byte address keys.
#pragma once

#include <cstdint>

namespace macgate {

// 12 lowercase hexadecimal digits, high nibble first, then a NUL.
constexpr int kAddressKeySize = 13;

struct AddressNode {
    char key[kAddressKeySize];
    AddressNode* left;
    AddressNode* right;
    int32_t height;  // in nodes: a leaf is 1, an absent child 0
};

// The node holding a key equal to `key` (all 13 bytes, compared as unsigned
// bytes), or null. Changes nothing, so any number of threads may look up.
const AddressNode* AddressSetFind(const char* key, const AddressNode* root);

// Inserts a copy of the 13 bytes at `key` and gives the new root. A key
// already present changes nothing. If no memory is left the tree is given
// back unchanged.
AddressNode* AddressSetInsert(const char* key, AddressNode* root);

// Releases every node, children before parents; gives null.
AddressNode* AddressSetFree(AddressNode* root);

// The node's height, 0 for null.
int32_t NodeHeight(const AddressNode* node);

// The rotations used by insertion; each gives the node lifted into place.
AddressNode* LiftLeftChild(AddressNode* node);
AddressNode* LiftRightChild(AddressNode* node);
AddressNode* LiftLeftRightGrandchild(AddressNode* node);

}  // namespace macgate
