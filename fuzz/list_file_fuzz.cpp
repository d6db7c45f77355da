// Feeds arbitrary bytes to the list loader as a list file. Besides crashes,
// leaks and hangs it checks that only well-formed keys reach the set: an
// address, or a prefix whose length is marked in the list's PrefixLengths,
// and that what the load says of its lines is in file order; and that the
// sections are sorted, their networks whole and each found by its own
// network address.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "filter/address_set.h"
#include "filter/list_file.h"
#include "filter/loaded_list.h"
#include "filter/packet_filter.h"

namespace {

// 12 lowercase digits, or 1 to 11 of them padded with kPrefixPad.
bool IsWellFormedKey(const char* key, uint16_t prefixLengths) {
    int digits = 0;
    while (digits < macgate::kAddressKeySize - 1 && ((key[digits] >= '0' && key[digits] <= '9') ||
                                                     (key[digits] >= 'a' && key[digits] <= 'f'))) {
        ++digits;
    }
    if (digits < macgate::kAddressKeySize - 1) {
        if (digits == 0 || (prefixLengths & (1u << digits)) == 0) {
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

void CheckKeys(const macgate::AddressNode* node, uint16_t prefixLengths) {
    if (node == nullptr) {
        return;
    }
    if (!IsWellFormedKey(node->key, prefixLengths)) {
        std::abort();
    }
    CheckKeys(node->left, prefixLengths);
    CheckKeys(node->right, prefixLengths);
}

// The section found for a section's own network address is that section or
// one with a longer prefix inside it; 0.0.0.0 is never found.
bool FoundWithin(const macgate::LoadedList& list, const macgate::ListSection& section) {
    const macgate::ListSection* found = macgate::FindSection(list, section.network);
    if (section.network == 0) {
        return found == nullptr;
    }
    return found != nullptr && found->prefixLength >= section.prefixLength &&
           (found->network & macgate::NetworkMask(section.prefixLength)) == section.network;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace macgate;
    // fmemopen refuses an empty buffer; an empty file reads the same.
    FILE* stream =
        size == 0 ? std::fopen("/dev/null", "r") : fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (stream == nullptr) {
        std::abort();
    }
    LoadedList list;
    LoadAddressList(stream, list);
    std::fclose(stream);

    if (list.FilterAction > 1) {
        std::abort();
    }
    int32_t line = 0;
    for (const ListDiagnostic& diagnostic : list.Diagnostics) {
        char text[128];
        if (diagnostic.fileLine < line || diagnostic.fileLine < 1 ||
            FormatDiagnostic(diagnostic, text, sizeof text) >= static_cast<int>(sizeof text) ||
            std::memchr(diagnostic.field, '\0', kAddressKeySize) == nullptr) {
            std::abort();
        }
        line = diagnostic.fileLine;
    }
    CheckKeys(list.AddressSet, list.PrefixLengths);
    for (size_t i = 0; i < list.Sections.size(); ++i) {
        const ListSection& section = list.Sections[i];
        const ListSection* before = i > 0 ? &list.Sections[i - 1] : nullptr;
        if (section.prefixLength < 1 || section.prefixLength > kLongestNetworkPrefix ||
            (section.network & ~NetworkMask(section.prefixLength)) != 0 ||
            section.FilterAction > kSectionClosed ||
            (section.FilterAction == kSectionClosed
                 ? section.closedBy < section.fileLine ||
                       section.Entries.addresses + section.Entries.prefixes != 0
                 : section.closedBy != 0) ||
            (before != nullptr && before->prefixLength == section.prefixLength &&
             before->network >= section.network) ||
            !FoundWithin(list, section)) {
            std::abort();
        }
        CheckKeys(section.AddressSet, section.PrefixLengths);
    }
    // A list that a section line made unusable names that line and serves
    // no one.
    if (list.UnreadableScopeLine != 0) {
        const uint8_t address[kHardwareAddressBytes] = {};
        bool named = false;
        for (const ListDiagnostic& diagnostic : list.Diagnostics) {
            named = named || (diagnostic.fileLine == list.UnreadableScopeLine &&
                              diagnostic.kind == DiagnosticKind::kScopeNotInFormat);
        }
        if (!named || DecideAddress(&list, address, 0).verdict != 0) {
            std::abort();
        }
    }
    FreeLoadedList(list);
    return 0;
}
