#include "filter/list_file.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "config/logs.h"
#include "config/state.h"
#include "platform/platform.h"

namespace macgate {
namespace {

// One read gives at most 99 characters and a NUL.
constexpr int kLineBufferSize = 100;
constexpr int kKeywordLength = 10;
constexpr int kAddressLength = kAddressKeySize - 1;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// 1 to 11 hexadecimal digits and a '*' as the last of `length` characters.
bool IsPrefixField(const char* field, int length) {
    if (length < 2 || field[length - 1] != '*') {
        return false;
    }
    for (int i = 0; i < length - 1; ++i) {
        if (!IsHexDigit(field[i])) {
            return false;
        }
    }
    return true;
}

bool IsByteFF(char c) {
    return static_cast<unsigned char>(c) == 0xFF;
}

char UpperCaseAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Reads one line of the file: its first 99 characters go into `line`, and
// whatever the line holds beyond them, up to and including its line feed, is
// read and dropped, so that the tail of a long line is never taken for a line
// of its own. False at the end of the data or on a read error.
bool ReadListLine(char (&line)[kLineBufferSize], FILE* stream) {
    // fgets leaves the last byte alone unless it fills the buffer; this tells
    // a full read apart from a short one even when the line holds NULs.
    line[kLineBufferSize - 1] = 'x';
    if (Platform.ReadLine(line, kLineBufferSize, stream) == nullptr) {
        return false;
    }
    bool full = line[kLineBufferSize - 1] == '\0';
    if (full && line[kLineBufferSize - 2] != '\n') {
        char rest[kLineBufferSize];
        do {
            rest[kLineBufferSize - 1] = 'x';
            if (Platform.ReadLine(rest, kLineBufferSize, stream) == nullptr) {
                break;
            }
        } while (rest[kLineBufferSize - 1] == '\0' && rest[kLineBufferSize - 2] != '\n');
    }
    return true;
}

// Editors on Windows start a UTF-8 file with a byte-order mark, which is no
// part of the first line's text. Only the file's first three bytes can be one.
void SkipByteOrderMark(char (&line)[kLineBufferSize]) {
    if (std::strncmp(line, kByteOrderMark, sizeof kByteOrderMark - 1) == 0) {
        std::memmove(line, line + sizeof kByteOrderMark - 1,
                     sizeof line - (sizeof kByteOrderMark - 1));
    }
}

void CountLine() {
    if (LineNumber < INT32_MAX) {
        ++LineNumber;
    }
}

}  // namespace

void LoadAddressList(FILE* stream) {
    char line[kLineBufferSize];
    LineNumber = 1;
    if (!ReadListLine(line, stream)) {
        LogMessage(ErrorLog, "Nothing in the file\n");
        return;
    }
    SkipByteOrderMark(line);
    while (!ParseActionLine(line)) {
        if (!ReadListLine(line, stream)) {
            return;  // no header line: nothing is loaded
        }
        CountLine();
    }
    PendingKeys pending = {};
    while (ReadListLine(line, stream)) {
        CountLine();
        char field[kAddressKeySize];
        ParseAddressLine(line, field);
        if (field[0] == '\0') {
            continue;
        }
        char key[kAddressKeySize];
        std::memcpy(key, field, sizeof key);
        int digits = static_cast<int>(std::strlen(field));
        if (field[digits - 1] == '*') {
            --digits;
            std::memset(key + digits, kPrefixPad, kAddressLength - digits);
            PrefixLengths = static_cast<uint16_t>(PrefixLengths | (1u << digits));
        }
        Platform.LowerCase(key, kAddressLength);
        AddressSet = AddressSetAdd(key, AddressSet, pending);
    }
    AddressSet = AddressSetAddPending(AddressSet, pending);
}

bool ParseActionLine(const char* line) {
    const char* p = line;
    while (*p == ' ' || *p == '\t' || *p == '\n') {
        ++p;
    }
    if (*p == '#') {
        return false;
    }

    char keyword[kKeywordLength + 1];
    for (int i = 0; i < kKeywordLength; ++i) {
        char c = p[i];
        if (c == '\0' || (i > 0 && (c == '\n' || IsByteFF(c)))) {
            LogMessage(ErrorLog, "'MAC_ACTION' Not Specified Properly\n");
            return false;
        }
        keyword[i] = UpperCaseAscii(c);
    }
    keyword[kKeywordLength] = '\0';
    if (std::strcmp(keyword, "MAC_ACTION") != 0) {
        LogMessage(ErrorLog, "'MAC_ACTION' Not Specified Properly\n");
        return false;
    }
    p += kKeywordLength;

    while (*p == ' ') {
        ++p;
    }
    if (*p != '=') {
        return false;
    }
    ++p;
    while (*p == ' ') {
        ++p;
    }
    if (*p != '{') {
        return false;
    }
    ++p;
    while (*p == ' ') {
        ++p;
    }

    // The word runs to the first space or '}'; its first character is taken
    // whatever it is. Beyond ActionWord's 19 characters it is read but not
    // kept, and a word that long is no action.
    int length = 0;
    bool tooLong = false;
    if (*p != '\0') {
        do {
            if (length < kActionWordSize - 1) {
                ActionWord[length++] = UpperCaseAscii(*p);
            } else {
                tooLong = true;
            }
            ++p;
        } while (*p != '\0' && *p != ' ' && *p != '}');
    }
    ActionWord[length] = '\0';
    if (!tooLong && std::strcmp(ActionWord, "ALLOW") == 0) {
        FilterAction = 1;
    } else if (!tooLong && std::strcmp(ActionWord, "DENY") == 0) {
        FilterAction = 0;
    } else {
        LogMessage(ErrorLog, "Action not correct\n");
        return false;
    }
    if (InfoLogEnabled == 1) {
        LogMessage(InfoLog, "Action specified is : %s\n", ActionWord);
    }

    if (*p == '\0') {
        return false;  // the word ran to the end of a line without a line feed
    }
    ++p;
    while (*p == ' ' || *p == '}' || *p == '\t') {
        ++p;
    }
    return *p == '\n';
}

void ParseAddressLine(const char* line, char (&field)[kAddressKeySize]) {
    std::memset(field, 0, sizeof field);
    const char* p = line;
    while (*p == ' ') {
        ++p;
    }
    int length = 0;
    while (length < kAddressLength && *p != '\0' && *p != '\n' && *p != ' ' && *p != '\t' &&
           *p != '#' && !IsByteFF(*p)) {
        field[length++] = *p++;
    }
    if (length == 0) {
        return;
    }

    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (*p != '\0' && *p != '\n' && *p != '#') {
        LogMessage(ErrorLog, "Line Number %d Not In Proper Format\n", LineNumber);
        field[0] = '\0';
        return;
    }
    if (IsPrefixField(field, length)) {
        return;
    }
    if (length != kAddressLength) {
        LogMessage(ErrorLog, "Mac Address %s on line number %d not of proper format\n", field,
                   LineNumber);
        field[0] = '\0';
        return;
    }
    if (IsHexAddress(field) == 0) {
        LogMessage(ErrorLog, "Mac Address %s on line number %d is not in proper format\n", field,
                   LineNumber);
        field[0] = '\0';
    }
}

int IsHexAddress(const char* text) {
    for (int i = 0; i < kAddressLength; ++i) {
        if (!IsHexDigit(text[i])) {
            return 0;
        }
    }
    return 1;
}

EntryCounts CountEntries(const AddressNode* root) {
    EntryCounts count;
    std::vector<const AddressNode*> pending;
    if (root != nullptr) {
        pending.push_back(root);
    }
    while (!pending.empty()) {
        const AddressNode* node = pending.back();
        pending.pop_back();
        ++(IsPrefixKey(node->key) ? count.prefixes : count.addresses);
        if (node->left != nullptr) {
            pending.push_back(node->left);
        }
        if (node->right != nullptr) {
            pending.push_back(node->right);
        }
    }
    return count;
}

}  // namespace macgate
