#include "filter/loaded_list.h"

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
    char buffer[160];
    FormatDiagnostic(diagnostic, buffer, sizeof buffer);
    std::string text = buffer;
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    for (const char* marker : {" on line number ", "Line Number "}) {
        size_t at = text.find(marker);
        if (at == std::string::npos) {
            continue;
        }
        size_t from = at + (marker[0] == ' ' ? 0 : std::strlen("Line"));
        size_t digits = at + std::strlen(marker);
        size_t end = text.find_first_not_of("-0123456789", digits);
        if (end == digits) {
            continue;
        }
        if (marker[0] != ' ' && end < text.size() && text[end] == ' ') {
            ++end;
        }
        text.erase(from, (end == std::string::npos ? text.size() : end) - from);
        if (marker[0] != ' ') {
            text.insert(from, " ");
        }
        break;
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

size_t ReportedLineCount(const LoadedList& list) {
    size_t count = 0;
    int32_t last = -1;
    // In file order, so that the diagnostics of one line follow each other.
    for (const ListDiagnostic& diagnostic : list.Diagnostics) {
        if (diagnostic.kind != DiagnosticKind::kActionSpecified && diagnostic.fileLine != last) {
            ++count;
            last = diagnostic.fileLine;
        }
    }
    return count;
}

// One lookup for the address, then one for each prefix length in use.
bool IsListed(const LoadedList& list, const char* key) {
    return AddressSetFind(key, list.AddressSet) != nullptr ||
           CoveringPrefix(list, key, kAddressKeySize - 1) != 0;
}

// One lookup for each shorter prefix length in use, on a copy of the key
// padded as the loader pads prefixes.
int CoveringPrefix(const LoadedList& list, const char* key, int digits) {
    const unsigned lengths = list.PrefixLengths;
    if (lengths == 0) {
        return 0;
    }
    char probe[kAddressKeySize];
    std::memcpy(probe, key, sizeof probe);
    for (int length = kLongestPrefix; length >= 1; --length) {
        probe[length] = kPrefixPad;
        if (length < digits && (lengths & (1u << length)) != 0 &&
            AddressSetFind(probe, list.AddressSet) != nullptr) {
            return length;
        }
    }
    return 0;
}

void FreeLoadedList(LoadedList& list) {
    list.AddressSet = AddressSetFree(list.AddressSet, &list.AddressBlocks);
    list.FilterAction = 0;
    list.PrefixLengths = 0;
    list.Entries = EntryCounts();
    std::vector<ListDiagnostic>().swap(list.Diagnostics);
}

}  // namespace macgate
