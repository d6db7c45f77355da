// Feeds arbitrary bytes to the list loader as a list file. Besides crashes,
// leaks and hangs it checks that only well-formed keys reach the set: an
// address, or a prefix whose length is marked in PrefixLengths.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/state.h"
#include "filter/address_set.h"
#include "filter/list_file.h"

namespace {

// 12 lowercase digits, or 1 to 11 of them padded with kPrefixPad.
bool IsWellFormedKey(const char* key) {
    int digits = 0;
    while (digits < macgate::kAddressKeySize - 1 && ((key[digits] >= '0' && key[digits] <= '9') ||
                                                     (key[digits] >= 'a' && key[digits] <= 'f'))) {
        ++digits;
    }
    if (digits < macgate::kAddressKeySize - 1) {
        if (digits == 0 || (macgate::PrefixLengths & (1u << digits)) == 0) {
            return false;
        }
        for (int i = digits; i < macgate::kAddressKeySize - 1; ++i) {
            if (key[i] != macgate::kPrefixPad) {
                return false;
            }
        }
    }
    return key[macgate::kAddressKeySize - 1] == '\0';
}

void CheckKeys(const macgate::AddressNode* node) {
    if (node == nullptr) {
        return;
    }
    if (!IsWellFormedKey(node->key)) {
        std::abort();
    }
    CheckKeys(node->left);
    CheckKeys(node->right);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace macgate;
    static FILE* sink = std::fopen("/dev/null", "w");
    ErrorLog = sink;
    InfoLog = sink;
    InfoLogEnabled = 1;
    FilterAction = 0;

    // fmemopen refuses an empty buffer; an empty file reads the same.
    FILE* list =
        size == 0 ? std::fopen("/dev/null", "r") : fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (list == nullptr) {
        std::abort();
    }
    LoadAddressList(list);
    std::fclose(list);

    if (FilterAction > 1 || std::memchr(ActionWord, '\0', kActionWordSize) == nullptr) {
        std::abort();
    }
    CheckKeys(AddressSet);
    AddressSet = AddressSetFree(AddressSet);
    PrefixLengths = 0;
    return 0;
}
