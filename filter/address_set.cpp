#include "filter/address_set.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <new>

#include "platform/platform.h"

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
inline uint64_t LoadBigEndian(const char* bytes) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes);
    return uint64_t{b[0]} << 56 | uint64_t{b[1]} << 48 | uint64_t{b[2]} << 40 |
           uint64_t{b[3]} << 32 | uint64_t{b[4]} << 24 | uint64_t{b[5]} << 16 |
           uint64_t{b[6]} << 8 | uint64_t{b[7]};
}

constexpr int32_t kClusterNodes = (1 << kClusterLevels) - 1;

// Trees lower than this are not fetched ahead: up to 13 levels, at most
// 8,191 nodes (320 KB), fit the caches of one core.
constexpr int32_t kFetchClustersHeight = 14;

#if defined(__GNUC__)
// Starts loading every cache line of the cluster that `node` roots past the
// node's own line. A prefetch never faults, so in a tree that is not laid out
// in clusters this only loads memory that is not needed.
void FetchCluster(const AddressNode* node) {
    constexpr uintptr_t kLine = 64;
    constexpr uintptr_t kClusterBytes = kClusterNodes * sizeof(AddressNode);
    const uintptr_t first = reinterpret_cast<uintptr_t>(node);
    for (uintptr_t offset = kLine; offset < kClusterBytes; offset += kLine) {
        __builtin_prefetch(reinterpret_cast<const void*>(first + offset));
    }
    __builtin_prefetch(reinterpret_cast<const void*>(first + kClusterBytes - 1));
}
#endif

}  // namespace

// A loop, not recursion: the packet path must not depend on the stack depth.
// Comparing bytes 0-7 and then bytes 5-12 as numbers orders keys exactly as
// memcmp over all 13 bytes does, without a library call per level.
const AddressNode* AddressSetFind(PendingKey key, const AddressNode* root) {
    // A tree this low stays in the core's own caches, where fetching ahead
    // only costs; the top cluster of a taller one stays there too.
    const bool fetchClusters = NodeHeight(root) >= kFetchClustersHeight;
    int32_t depth = 0;
    const AddressNode* node = root;
    while (node != nullptr) {
#if defined(__GNUC__)
        // Entering a cluster, all its levels start loading at once rather
        // than one after the other as the descent reaches them.
        if (fetchClusters && depth % kClusterLevels == 0 && depth > 0) {
            FetchCluster(node);
        }
        // Both children start loading while this node is compared, so a
        // mispredicted turn finds the other one already on its way.
        __builtin_prefetch(node->left);
        __builtin_prefetch(node->right);
#endif
        ++depth;
        const uint64_t nodeHead = LoadBigEndian(node->key);
        if (key.head != nodeHead) {
            node = key.head < nodeHead ? node->left : node->right;
            continue;
        }
        const uint64_t nodeTail = LoadBigEndian(node->key + kAddressKeySize - 8);
        if (key.tail == nodeTail) {
            return node;
        }
        node = key.tail < nodeTail ? node->left : node->right;
    }
    return nullptr;
}

const AddressNode* AddressSetFind(const char* key, const AddressNode* root) {
    return AddressSetFind(KeyNumbers(key), root);
}

PendingKey KeyNumbers(const char* key) {
    return PendingKey{LoadBigEndian(key), LoadBigEndian(key + kAddressKeySize - 8)};
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
        void* memory = Platform.AllocateMemory(sizeof(AddressNode));
        if (memory == nullptr) {
            return nullptr;
        }
        AddressNode* fresh = static_cast<AddressNode*>(memory);
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

namespace {

bool InBlocks(const AddressNode* node, const AddressBlock* blocks) {
    uintptr_t address = reinterpret_cast<uintptr_t>(node);
    for (const AddressBlock* block = blocks; block != nullptr; block = block->next) {
        uintptr_t first = reinterpret_cast<uintptr_t>(block->nodes);
        if (address >= first && address - first < block->count * sizeof(AddressNode)) {
            return true;
        }
    }
    return false;
}

// Children before their parent; the depth is bounded by the tree's height.
// A node of a block is left to its block.
void FreeNodes(AddressNode* node, const AddressBlock* blocks) {
    if (node == nullptr) {
        return;
    }
    FreeNodes(node->left, blocks);
    node->left = nullptr;
    FreeNodes(node->right, blocks);
    node->right = nullptr;
    if (!InBlocks(node, blocks)) {
        Platform.FreeMemory(node, sizeof(AddressNode));
    }
}

}  // namespace

AddressNode* AddressSetFreeNodes(AddressNode* root, const AddressBlock* blocks) {
    FreeNodes(root, blocks);
    return nullptr;
}

AddressNode* AddressSetFree(AddressNode* root, AddressBlock** blocks) {
    FreeNodes(root, blocks != nullptr ? *blocks : nullptr);
    if (blocks != nullptr) {
        while (*blocks != nullptr) {
            AddressBlock* block = *blocks;
            *blocks = block->next;
            Platform.FreeMemory(block->nodes, block->count * sizeof(AddressNode));
            Platform.FreeMemory(block, sizeof(AddressBlock));
        }
    }
    return nullptr;
}

namespace {

void FromPending(const PendingKey& pending, char* key) {
    for (int i = 0; i < 8; ++i) {
        key[i] = static_cast<char>(pending.head >> (56 - 8 * i));
    }
    for (int i = 8; i < kAddressKeySize; ++i) {
        key[i] = static_cast<char>(pending.tail >> (8 * (kAddressKeySize - 1 - i)));
    }
}

bool Lower(const PendingKey& a, const PendingKey& b) {
    return a.head != b.head ? a.head < b.head : a.tail < b.tail;
}

bool Equal(const PendingKey& a, const PendingKey& b) {
    return a.head == b.head && a.tail == b.tail;
}

// Room for `count` items of `size` bytes each, or null when there is no
// memory for them or their size does not fit in a size_t.
void* AllocateArray(size_t count, size_t size) {
    return count > SIZE_MAX / size ? nullptr : Platform.AllocateMemory(count * size);
}

// Numbers the nodes of a finished tree cluster by cluster: the cluster that
// `top` roots, level by level and left to right, then the clusters below it,
// left to right, each the same way. The recursion is as deep as the tree's
// height divided by kClusterLevels.
struct ClusterOrder {
    const AddressNode* block;
    uint32_t* place;  // by a node's index in the block, its number
    uint32_t count;   // numbers given so far
};

void NumberCluster(ClusterOrder& out, const AddressNode* top) {
    const AddressNode* cluster[kClusterNodes];
    int32_t size = 0;
    cluster[size++] = top;
    int32_t level = 0;  // the first node of the cluster's lowest level so far
    for (int32_t depth = 1; depth < kClusterLevels; ++depth) {
        const int32_t levelEnd = size;
        for (int32_t i = level; i < levelEnd; ++i) {
            for (const AddressNode* child : {cluster[i]->left, cluster[i]->right}) {
                if (child != nullptr) {
                    cluster[size++] = child;
                }
            }
        }
        level = levelEnd;
    }
    for (int32_t i = 0; i < size; ++i) {
        out.place[cluster[i] - out.block] = out.count++;
    }
    for (int32_t i = level; i < size; ++i) {
        for (const AddressNode* child : {cluster[i]->left, cluster[i]->right}) {
            if (child != nullptr) {
                NumberCluster(out, child);
            }
        }
    }
}

constexpr uint32_t kNoChild = UINT32_MAX;

// Rewrites a finished tree in `block` so that each node stands at its
// number in cluster order, the root first: the links first, then the nodes,
// moved in place cycle by cycle of the renumbering. Gives the root, or the
// tree as it was when there is no memory for the numbers.
AddressNode* LayOutForLookups(AddressNode* root, AddressNode* block, size_t count) {
    if (count >= kNoChild) {
        return root;
    }
    const size_t placesSize = count * sizeof(uint32_t);
    void* places = AllocateArray(count, sizeof(uint32_t));
    if (places == nullptr) {
        return root;
    }
    uint32_t* place = static_cast<uint32_t*>(places);
    ClusterOrder out{block, place, 0};
    NumberCluster(out, root);
    if (out.count == count) {  // every node of the block is in the tree
        for (size_t i = 0; i < count; ++i) {
            AddressNode* node = block + i;
            if (node->left != nullptr) {
                node->left = block + place[node->left - block];
            }
            if (node->right != nullptr) {
                node->right = block + place[node->right - block];
            }
        }
        for (size_t start = 0; start < count; ++start) {
            if (place[start] == start) {
                continue;
            }
            // The node from `start` goes to its place, the one there to its
            // own, and so on round the cycle back to `start`.
            AddressNode carried = block[start];
            size_t to = place[start];
            place[start] = static_cast<uint32_t>(start);
            for (;;) {
                AddressNode displaced = block[to];
                block[to] = carried;
                const size_t next = place[to];
                place[to] = static_cast<uint32_t>(to);
                if (to == start) {
                    break;
                }
                carried = displaced;
                to = next;
            }
        }
        root = block;
    }
    Platform.FreeMemory(places, placesSize);
    return root;
}

// Room for twice as many keys, or false when there is no memory for it.
bool GrowPending(PendingKeys& pending) {
    size_t capacity = pending.capacity == 0 ? 1024 : pending.capacity * 2;
    void* memory = AllocateArray(capacity, sizeof(PendingKey));
    if (memory == nullptr) {
        return false;
    }
    PendingKey* keys = static_cast<PendingKey*>(memory);
    if (pending.count > 0) {
        std::memcpy(keys, pending.keys, pending.count * sizeof(PendingKey));
    }
    Platform.FreeMemory(pending.keys, pending.capacity * sizeof(PendingKey));
    pending.keys = keys;
    pending.capacity = capacity;
    return true;
}

// The right edge of a tree built by adding ever higher keys: the root, its
// right child, and so on down. A tree of minimal height, as such a tree is,
// has fewer than 64 levels for any number of nodes that memory can hold.
struct RightEdge {
    AddressNode* root;
    AddressNode* nodes[64];
    int32_t length;
};

// Adds `node`, whose key is higher than every key in the tree, exactly as
// AddressSetInsert would: that takes such a key down the right edge to its
// end, and on the way back it can change nodes of that edge only. Going back
// up stops where a subtree's height is as before, since above it insertion
// changes nothing either.
void AddHighest(RightEdge& edge, AddressNode* node) {
    if (edge.length == 0) {
        edge.root = node;
    } else {
        edge.nodes[edge.length - 1]->right = node;
    }
    edge.nodes[edge.length++] = node;
    for (int32_t i = edge.length - 2; i >= 0; --i) {
        AddressNode* parent = edge.nodes[i];
        int32_t before = parent->height;
        AddressNode* top = parent;
        if (NodeHeight(parent->right) - NodeHeight(parent->left) > 1) {
            if (NodeHeight(parent->right->right) < NodeHeight(parent->right->left)) {
                parent->right = LiftLeftChild(parent->right);
            }
            top = LiftRightChild(parent);
            if (i == 0) {
                edge.root = top;
            } else {
                edge.nodes[i - 1]->right = top;
            }
            // The lifted node and the nodes to its right form the edge below.
            edge.length = i;
            for (AddressNode* each = top; each != nullptr; each = each->right) {
                edge.nodes[edge.length++] = each;
            }
        }
        UpdateHeight(top);
        if (top->height == before) {
            return;
        }
    }
}

// Keys handed back to the system at a time as they are built into nodes.
constexpr size_t kKeysDiscarded = 64 * 1024;

// Builds the tree of `count` distinct keys in ascending order in the nodes
// at `block`, laid out again for lookups; gives its root. The keys are not
// read again: their memory goes back to the system as the nodes fill, so
// that keys and nodes never need room side by side.
AddressNode* BuildInNodes(PendingKey* keys, size_t count, AddressNode* block) {
    RightEdge edge;
    edge.root = nullptr;
    edge.length = 0;
    for (size_t i = 0; i < count; ++i) {
        AddressNode* node = block + i;
        FromPending(keys[i], node->key);
        node->left = nullptr;
        node->right = nullptr;
        node->height = 1;
        AddHighest(edge, node);
        if ((i + 1) % kKeysDiscarded == 0) {
            DiscardMemory(keys + (i + 1 - kKeysDiscarded), kKeysDiscarded * sizeof(PendingKey));
        }
    }
    return LayOutForLookups(edge.root, block, count);
}

// Builds the tree of `count` distinct keys in ascending order in one block
// of nodes, laid out again for lookups, and adds the block to `*blocks`.
// Null when there is no memory for the block.
AddressNode* BuildInBlock(PendingKey* keys, size_t count, AddressBlock** blocks) {
    void* record = Platform.AllocateMemory(sizeof(AddressBlock));
    void* memory = AllocateArray(count, sizeof(AddressNode));
    if (record == nullptr || memory == nullptr) {
        Platform.FreeMemory(record, sizeof(AddressBlock));
        Platform.FreeMemory(memory, count * sizeof(AddressNode));
        return nullptr;
    }
    AddressNode* block = static_cast<AddressNode*>(memory);
    *blocks = new (record) AddressBlock{block, count, *blocks};
    return BuildInNodes(keys, count, block);
}

// Sorts the gathered keys and drops their repeats; gives how many are left.
size_t SortPending(PendingKeys& pending) {
    PendingKey* keys = pending.keys;
    PendingKey* end = keys + pending.count;
    std::sort(keys, end, [](const PendingKey& a, const PendingKey& b) { return Lower(a, b); });
    pending.count = static_cast<size_t>(std::unique(keys, end, Equal) - keys);
    return pending.count;
}

// AddressSetInsert, which tells a lost key from one already there only by
// looking: a key that is in the tree neither before nor after was lost.
AddressNode* InsertOrNoteLoss(const char* key, AddressNode* root, PendingKeys& pending) {
    const bool there = AddressSetFind(key, root) != nullptr;
    root = AddressSetInsert(key, root);
    if (!there && AddressSetFind(key, root) == nullptr) {
        pending.lost = true;
    }
    return root;
}

}  // namespace

AddressNode* AddressSetAdd(const char* key, AddressNode* root, PendingKeys& pending,
                           AddressBlock** blocks) {
    if (!pending.direct) {
        if (pending.count < pending.capacity || GrowPending(pending)) {
            pending.keys[pending.count++] = KeyNumbers(key);
            return root;
        }
        // No room to gather more: what is gathered goes in now, and so does
        // every later key, one node at a time.
        root = AddressSetAddPending(root, pending, blocks);
        pending.direct = true;
    }
    return InsertOrNoteLoss(key, root, pending);
}

AddressNode* AddressSetAddPending(AddressNode* root, PendingKeys& pending, AddressBlock** blocks) {
    PendingKey* keys = pending.keys;
    PendingKey* end = keys + pending.count;
    const size_t size = pending.capacity * sizeof(PendingKey);
    pending.keys = nullptr;
    pending.count = 0;
    pending.capacity = 0;
    if (keys == end) {
        Platform.FreeMemory(keys, size);
        return root;
    }
    std::sort(keys, end, [](const PendingKey& a, const PendingKey& b) { return Lower(a, b); });
    end = std::unique(keys, end, Equal);
    size_t count = static_cast<size_t>(end - keys);

    AddressNode* built = nullptr;
    if (root == nullptr) {
        built = BuildInBlock(keys, count, blocks);
    }
    if (built != nullptr) {
        root = built;
    } else {
        // Without a block each node is allocated alone; a key is lost only
        // when there is no memory for its own node.
        char key[kAddressKeySize];
        for (size_t i = 0; i < count; ++i) {
            FromPending(keys[i], key);
            root = InsertOrNoteLoss(key, root, pending);
        }
    }
    Platform.FreeMemory(keys, size);
    return root;
}

void AddressSetAddPendingTogether(PendingKeys* pending, AddressNode** roots, size_t sets,
                                  AddressBlock** blocks) {
    size_t total = 0;
    for (size_t i = 0; i < sets; ++i) {
        if (roots[i] == nullptr) {
            total += SortPending(pending[i]);
        }
    }
    void* record = total == 0 ? nullptr : Platform.AllocateMemory(sizeof(AddressBlock));
    void* memory = record == nullptr ? nullptr : AllocateArray(total, sizeof(AddressNode));
    if (memory != nullptr) {
        AddressNode* block = static_cast<AddressNode*>(memory);
        *blocks = new (record) AddressBlock{block, total, *blocks};
        for (size_t i = 0; i < sets; ++i) {
            if (roots[i] == nullptr && pending[i].count > 0) {
                roots[i] = BuildInNodes(pending[i].keys, pending[i].count, block);
                block += pending[i].count;
                pending[i].count = 0;
            }
        }
    } else {
        Platform.FreeMemory(record, sizeof(AddressBlock));
    }
    // What is left, each set on its own: a tree that already holds keys,
    // or every set when there was no memory for the one block.
    for (size_t i = 0; i < sets; ++i) {
        roots[i] = AddressSetAddPending(roots[i], pending[i], blocks);
    }
}

}  // namespace macgate
