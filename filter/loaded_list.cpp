#include "filter/loaded_list.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "filter/list_file.h"

namespace macgate {

int FormatDiagnostic(const ListDiagnostic& diagnostic, char* text, size_t size) {
    const int line = diagnostic.quotedLine;
    switch (diagnostic.kind) {
        case DiagnosticKind::kNothingInFile:
            return std::snprintf(text, size, "Nothing in the file\n");
        case DiagnosticKind::kKeywordNotSpecified:
            return std::snprintf(text, size, "'MAC_ACTION' Not Specified Properly\n");
        case DiagnosticKind::kActionNotCorrect:
            return std::snprintf(text, size, "Action not correct\n");
        case DiagnosticKind::kActionSpecified:
            return std::snprintf(text, size, "Action specified is : %s\n",
                                 diagnostic.action != 0 ? "ALLOW" : "DENY");
        case DiagnosticKind::kEntryNotInFormat:
            if (line == 0) {
                return std::snprintf(text, size, "Line Not In Proper Format\n");
            }
            return std::snprintf(text, size, "Line Number %d Not In Proper Format\n", line);
        case DiagnosticKind::kAddressLength:
        case DiagnosticKind::kAddressDigits: {
            const char* end = diagnostic.kind == DiagnosticKind::kAddressLength
                                  ? "not of proper format"
                                  : "is not in proper format";
            if (line == 0) {
                return std::snprintf(text, size, "Mac Address %s %s\n", diagnostic.field, end);
            }
            return std::snprintf(text, size, "Mac Address %s on line number %d %s\n",
                                 diagnostic.field, line, end);
        }
        case DiagnosticKind::kScopeNotInFormat:
            if (line == 0) {
                return std::snprintf(text, size, "Scope not in proper format\n");
            }
            return std::snprintf(text, size, "Scope on line number %d not in proper format\n",
                                 line);
        case DiagnosticKind::kScopeHostBits:
        case DiagnosticKind::kScopeRepeated: {
            char network[kNetworkTextSize];
            FormatNetwork(diagnostic.network, diagnostic.prefixLength, network);
            char where[32] = "";
            if (line != 0) {
                std::snprintf(where, sizeof where, " on line number %d", line);
            }
            if (diagnostic.kind == DiagnosticKind::kScopeHostBits) {
                return std::snprintf(text, size, "Scope %s%s has host bits set\n", network, where);
            }
            return std::snprintf(text, size, "Scope %s%s already named on line number %d\n",
                                 network, where, diagnostic.earlierLine);
        }
        case DiagnosticKind::kNone:
            break;
    }
    if (size > 0) {
        text[0] = '\0';
    }
    return 0;
}

std::string ReportedLineText(const ListDiagnostic& diagnostic) {
    if (diagnostic.kind == DiagnosticKind::kActionSpecified) {
        return std::string();
    }
    ListDiagnostic unquoted = diagnostic;
    unquoted.quotedLine = 0;
    char buffer[160];
    FormatDiagnostic(unquoted, buffer, sizeof buffer);
    std::string text = buffer;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

std::string FormatReportedLine(const std::string& list, const ListDiagnostic& diagnostic) {
    std::string where = list;
    if (diagnostic.fileLine != 0) {
        where += ":" + std::to_string(diagnostic.fileLine);
    }
    return where + ": error: " + ReportedLineText(diagnostic);
}

namespace {

// One lookup for each shorter prefix length in use, on a copy of the key
// padded as the loader pads prefixes.
int CoveringPrefixIn(const AddressNode* set, unsigned lengths, const char* key, int digits) {
    if (lengths == 0) {
        return 0;
    }
    char probe[kAddressKeySize];
    std::memcpy(probe, key, sizeof probe);
    for (int length = kLongestPrefix; length >= 1; --length) {
        probe[length] = kPrefixPad;
        if (length < digits && (lengths & (1u << length)) != 0 &&
            AddressSetFind(probe, set) != nullptr) {
            return length;
        }
    }
    return 0;
}

}  // namespace

bool IsListed(const LoadedList& list, const char* key) {
    return IsListed(list, KeyNumbers(key), key);
}

int CoveringPrefix(const LoadedList& list, const char* key, int digits) {
    return CoveringPrefixIn(list.AddressSet, list.PrefixLengths, key, digits);
}

bool IsListed(const ListSection& section, const char* key) {
    return IsListed(section, KeyNumbers(key), key);
}

int CoveringPrefix(const ListSection& section, const char* key, int digits) {
    return CoveringPrefixIn(section.AddressSet, section.PrefixLengths, key, digits);
}

// A prefix length is at most 32; the mask lets the compiler see that the
// text fits.
void FormatNetwork(uint32_t network, int prefixLength, char (&text)[kNetworkTextSize]) {
    std::snprintf(
        text, sizeof text, "%u.%u.%u.%u/%u", static_cast<unsigned>(network >> 24),
        static_cast<unsigned>((network >> 16) & 0xFF), static_cast<unsigned>((network >> 8) & 0xFF),
        static_cast<unsigned>(network & 0xFF), static_cast<unsigned>(prefixLength) & 0x3F);
}

// For each prefix length in use, longest first, a binary search among the
// sections of that length for the address's network.
const ListSection* FindSection(const LoadedList& list, uint32_t address, int prefixLength) {
    uint32_t lengths =
        list.SectionLengths &
        (prefixLength >= kLongestNetworkPrefix ? ~uint32_t{0} : (uint32_t{1} << prefixLength) - 1);
    if (lengths == 0 || address == 0) {
        return nullptr;
    }
    const ListSection* sections = list.Sections.data();
    while (lengths != 0) {
        int top = kLongestNetworkPrefix - 1;
        while ((lengths & (1u << top)) == 0) {
            --top;
        }
        lengths &= ~(1u << top);
        const int length = top + 1;
        const uint32_t network = address & NetworkMask(length);
        uint32_t low = list.SectionStart[length];
        uint32_t high = list.SectionStart[length + 1];
        while (low < high) {
            const uint32_t middle = low + (high - low) / 2;
            const uint32_t probe = sections[middle].network;
            if (probe == network) {
                return &sections[middle];
            }
            if (probe < network) {
                low = middle + 1;
            } else {
                high = middle;
            }
        }
    }
    return nullptr;
}

bool HoldsEntries(const LoadedList& list) {
    if (list.AddressSet != nullptr) {
        return true;
    }
    for (const ListSection& section : list.Sections) {
        if (section.AddressSet != nullptr && section.FilterAction != kSectionClosed) {
            return true;
        }
    }
    return false;
}

bool FiltersClients(const LoadedList& list) {
    if (list.UnreadableScopeLine != 0 || HoldsEntries(list)) {
        return true;
    }
    for (const ListSection& section : list.Sections) {
        if (section.FilterAction != 0) {
            return true;  // closed, or ALLOW: it drops its clients
        }
    }
    return false;
}

std::vector<SectionFault> SectionFaults(const LoadedList& list) {
    std::vector<SectionFault> faults;
    if (list.UnreadableScopeLine != 0) {
        faults.push_back({SectionFaultKind::kUnreadable, list.UnreadableScopeLine, 0, 0});
    }
    for (const ListSection& section : list.Sections) {
        if (section.FilterAction == kSectionClosed) {
            faults.push_back({SectionFaultKind::kClosed, section.closedBy, section.network,
                              section.prefixLength});
        } else if (section.FilterAction == 1 && section.AddressSet == nullptr) {
            faults.push_back({SectionFaultKind::kAllowsNoOne, section.fileLine, section.network,
                              section.prefixLength});
        }
    }
    std::sort(faults.begin(), faults.end(),
              [](const SectionFault& a, const SectionFault& b) { return a.fileLine < b.fileLine; });
    return faults;
}

std::string SectionFaultText(const SectionFault& fault) {
    const std::string line = std::to_string(fault.fileLine);
    if (fault.kind == SectionFaultKind::kUnreadable) {
        return "the section line on line " + line +
               " names no network that can be read, so the list is unusable";
    }
    char network[kNetworkTextSize];
    FormatNetwork(fault.network, fault.prefixLength, network);
    if (fault.kind == SectionFaultKind::kClosed) {
        return std::string("the section ") + network +
               " is closed by the section line in error on line " + line +
               ", so every client in it is dropped";
    }
    return std::string("the ALLOW section ") + network + " on line " + line +
           " loads no entry, so it allows no one";
}

void FreeLoadedList(LoadedList& list) {
    list.AddressSet = AddressSetFree(list.AddressSet, &list.AddressBlocks);
    list.FilterAction = 0;
    list.PrefixLengths = 0;
    list.Entries = EntryCounts();
    std::vector<ListDiagnostic>().swap(list.Diagnostics);
    for (ListSection& section : list.Sections) {
        section.AddressSet = AddressSetFreeNodes(section.AddressSet, list.SectionBlocks);
    }
    AddressSetFree(nullptr, &list.SectionBlocks);
    std::vector<ListSection>().swap(list.Sections);
    std::memset(list.SectionStart, 0, sizeof list.SectionStart);
    list.SectionLengths = 0;
    list.UnreadableScopeLine = 0;
    list.OutOfMemory = false;
}

}  // namespace macgate
