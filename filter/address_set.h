// The filter list in memory: an AVL tree of 13-byte address keys. A list's
// loader gathers its keys and builds the tree once, in ascending order, in
// one block laid out for lookups; AddressSetInsert adds single keys.
//
// The block is laid out in clusters of kClusterLevels levels: a node at a
// depth that is a multiple of kClusterLevels comes first, then the nodes
// below it down to the next such depth, level by level, then the clusters
// below that, left to right. A lookup that enters a cluster of a tall tree
// starts loading the whole cluster at once, so that a descent waits for
// memory once per cluster rather than once per level.
#pragma once

#include <cstddef>
#include <cstdint>

namespace macgate {

// 12 lowercase hexadecimal digits, high nibble first, then a NUL.
constexpr int kAddressKeySize = 13;

// Levels per cluster of a laid-out tree, of up to 15 nodes.
constexpr int32_t kClusterLevels = 4;

struct AddressNode {
    char key[kAddressKeySize];
    AddressNode* left;
    AddressNode* right;
    int32_t height;  // in nodes: a leaf is 1, an absent child 0
};

// Inserts a copy of the 13 bytes at `key` and gives the new root. A key
// already present changes nothing. If no memory is left the tree is given
// back unchanged.
AddressNode* AddressSetInsert(const char* key, AddressNode* root);

// A block of nodes that a set was built in, in a list of the set's blocks.
struct AddressBlock {
    AddressNode* nodes;
    size_t count;
    AddressBlock* next;
};

// Releases every node, children before parents: a node that stands in one
// of `blocks` goes with its block, and then every block of `blocks` is
// released and `*blocks` made null. Gives null.
AddressNode* AddressSetFree(AddressNode* root, AddressBlock** blocks = nullptr);

// Releases every node of the tree that stands in none of `blocks`, which
// stay, for trees that share their blocks. Gives null.
AddressNode* AddressSetFreeNodes(AddressNode* root, const AddressBlock* blocks);

// The node's height, 0 for null.
int32_t NodeHeight(const AddressNode* node);

// The rotations used by insertion; each gives the node lifted into place.
AddressNode* LiftLeftChild(AddressNode* node);
AddressNode* LiftRightChild(AddressNode* node);
AddressNode* LiftLeftRightGrandchild(AddressNode* node);

// A key waiting to be inserted: its bytes 0-7 and 5-12 as big-endian
// numbers, which order exactly as the 13 bytes do.
struct PendingKey {
    uint64_t head;
    uint64_t tail;
};

// The numbers of the 13 bytes at `key`, as a PendingKey holds them.
PendingKey KeyNumbers(const char* key);

// The node holding a key equal to `key` (all 13 bytes, compared as unsigned
// bytes), or null. Changes nothing, so any number of threads may look up.
const AddressNode* AddressSetFind(const char* key, const AddressNode* root);

// The same for a key given as its numbers, which the packet path makes
// without writing the key out first.
const AddressNode* AddressSetFind(PendingKey key, const AddressNode* root);

// The keys that a list's loader gathers while it reads, to insert them all
// at once, in ascending order, when the list has been read. Zeroed, it holds
// nothing.
struct PendingKeys {
    PendingKey* keys;
    size_t count;
    size_t capacity;
    bool direct;  // memory ran out: keys go straight into the tree
    bool lost;    // a key was lost: there was no memory for its node
};

// Takes an accepted key: keeps it in `pending`, or, once there is no memory
// left to keep more, inserts it at once. Gives the root, which the caller
// stores in place of the one it passed; a block the set is built in is added
// to `*blocks`. A key lost for want of memory sets `pending.lost`.
AddressNode* AddressSetAdd(const char* key, AddressNode* root, PendingKeys& pending,
                           AddressBlock** blocks);

// Inserts every key of `pending` in ascending order, empties it and gives
// the new root. Into an empty tree the nodes come from one block, added to
// `*blocks`, which the finished tree is laid out in again for lookups;
// without memory for the block, each node is allocated alone. A key is lost
// only when no memory is left for its node, and then `pending.lost` is set.
AddressNode* AddressSetAddPending(AddressNode* root, PendingKeys& pending, AddressBlock** blocks);

// AddressSetAddPending for `sets` gathered sets at once: `pending[i]` goes
// into the tree `roots[i]`. The nodes of the trees that were empty come from
// one block, added to `*blocks`, so that many small sets cost one
// allocation; without memory for it, each set is built on its own.
void AddressSetAddPendingTogether(PendingKeys* pending, AddressNode** roots, size_t sets,
                                  AddressBlock** blocks);

}  // namespace macgate
