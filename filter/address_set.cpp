#include "filter/address_set.h"

namespace macgate {

const AddressNode* AddressSetFind(const char*, const AddressNode*) {
    return nullptr;  // TODO
}
AddressNode* AddressSetInsert(const char*, AddressNode* root) {
    return root;  // TODO
}
AddressNode* AddressSetFree(AddressNode*) {
    return nullptr;  // TODO
}
int32_t NodeHeight(const AddressNode* node) {
    return node == nullptr ? 0 : node->height;
}

}  // namespace macgate
