#include "filter/list_file.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include <new>

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

bool IsByteFF(char c) {
    return static_cast<unsigned char>(c) == 0xFF;
}

char UpperCaseAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Reads at most 99 characters of a line into `buffer`; with `text`, keeps
// them as a new line (`start`) or as more of the last one.
bool ReadPiece(char (&buffer)[kLineBufferSize], FILE* stream, ListText* text, bool start) {
    if (text == nullptr) {
        // fgets leaves the last byte alone unless it fills the buffer; this
        // tells a full read apart from a short one even when the line holds
        // NULs.
        buffer[kLineBufferSize - 1] = 'x';
        return Platform.ReadLine(buffer, kLineBufferSize, stream) != nullptr;
    }
    // Whatever fgets leaves alone stays non-NUL, so its terminator is the
    // last NUL in the buffer even when the line holds NULs of its own.
    std::memset(buffer, 'x', sizeof buffer);
    if (Platform.ReadLine(buffer, kLineBufferSize, stream) == nullptr) {
        return false;
    }
    size_t end = kLineBufferSize - 1;
    while (end > 0 && buffer[end] != '\0') {
        --end;
    }
    std::string piece(buffer, end);
    const bool lineFeed = end > 0 && buffer[end - 1] == '\n';
    std::vector<ListLine>& lines = text->lines;
    if (start) {
        ListLine line;
        line.text = std::move(piece);
        line.number = lines.empty() ? 1 : lines.back().number + 1;
        lines.push_back(std::move(line));
    } else {
        ListLine& line = lines.back();
        line.cut = true;
        line.cutText = line.cutText || piece.find_first_not_of(" \t\r\n") != std::string::npos;
        line.rest.append(piece, 0, kLongestRest - std::min(kLongestRest, line.rest.size()));
    }
    lines.back().lineFeed = lineFeed;
    return true;
}

// Reads one line of the file: its first 99 characters go into `line`, and
// whatever the line holds beyond them, up to and including its line feed, is
// read and dropped, so that the tail of a long line is never taken for a line
// of its own. False at the end of the data or on a read error.
bool ReadListLine(char (&line)[kLineBufferSize], FILE* stream, ListText* text) {
    if (!ReadPiece(line, stream, text, true)) {
        return false;
    }
    bool full = line[kLineBufferSize - 1] == '\0';
    if (full && line[kLineBufferSize - 2] != '\n') {
        char rest[kLineBufferSize];
        do {
            if (!ReadPiece(rest, stream, text, false)) {
                break;
            }
        } while (rest[kLineBufferSize - 1] == '\0' && rest[kLineBufferSize - 2] != '\n');
    }
    return true;
}

// Editors on Windows start a UTF-8 file with a byte-order mark, which is no
// part of the first line's text. Only the file's first three bytes can be one.
void SkipByteOrderMark(char (&line)[kLineBufferSize], ListText* text) {
    constexpr size_t kLength = sizeof kByteOrderMark - 1;
    if (std::strncmp(line, kByteOrderMark, kLength) == 0) {
        std::memmove(line, line + kLength, sizeof line - kLength);
        if (text != nullptr) {
            text->byteOrderMark = true;
            text->lines[0].text.erase(0, kLength);
        }
    }
}

// Reads the next line and counts it: `fileLine` is its number in the file,
// which stops at the largest it can hold.
bool ReadCountedLine(char (&line)[kLineBufferSize], FILE* stream, int32_t& fileLine,
                     ListText* text) {
    if (!ReadListLine(line, stream, text)) {
        return false;
    }
    if (fileLine < INT32_MAX) {
        ++fileLine;
    }
    return true;
}

// Gives a diagnostic to the sink, or keeps it in the list; one the list
// has no memory to keep marks the list OutOfMemory.
void Keep(LoadedList& list, const DiagnosticSink* sink, const ListDiagnostic& diagnostic) {
    if (sink != nullptr) {
        sink->take(sink->context, diagnostic);
        return;
    }
    try {
        list.Diagnostics.push_back(diagnostic);
    } catch (const std::bad_alloc&) {
        list.OutOfMemory = true;
    }
}

void Note(LoadedList& list, const DiagnosticSink* sink, int32_t fileLine, DiagnosticKind kind,
          int32_t quotedLine, unsigned char action = 0, const char* field = "") {
    ListDiagnostic diagnostic = {fileLine, quotedLine, kind, action, {}};
    // At most the field's 12 characters; the rest of the array stays zero.
    std::memcpy(diagnostic.field, field, strnlen(field, kAddressKeySize - 1));
    Keep(list, sink, diagnostic);
}

// A header-search line's outcome, noted; true when it is the header line.
bool TakeActionLine(const char* text, LoadedList& list, const DiagnosticSink* sink,
                    int32_t fileLine) {
    ActionLine line = ParseActionLine(text);
    if (line.message != DiagnosticKind::kNone) {
        Note(list, sink, fileLine, line.message, 0);
    }
    if (line.actionKnown) {
        list.FilterAction = line.action;
        Note(list, sink, fileLine, DiagnosticKind::kActionSpecified, 0, line.action);
    }
    return line.header;
}

// Where the entry lines being read go: the server-wide set, a section's set,
// or, after a scope line that is not well formed, nowhere. The keys wait in
// `pending`: the server-wide list's own, or its section's.
struct EntryTarget {
    AddressNode** set;
    AddressBlock** blocks;
    uint16_t* prefixLengths;
    PendingKeys* pending;
};

// The sections' keys, in the order of list.Sections before it is sorted,
// gathered to be built all at once when the list has been read; and the
// server-wide list's. Whatever is still gathered is released with it.
struct SectionKeys {
    PendingKeys serverWide = {};
    std::vector<PendingKeys> pending;
    SectionKeys() = default;
    SectionKeys(const SectionKeys&) = delete;
    SectionKeys& operator=(const SectionKeys&) = delete;
    ~SectionKeys() {
        Platform.FreeMemory(serverWide.keys, serverWide.capacity * sizeof(PendingKey));
        for (PendingKeys& keys : pending) {
            Platform.FreeMemory(keys.keys, keys.capacity * sizeof(PendingKey));
        }
    }
    bool Lost() const {
        bool lost = serverWide.lost;
        for (const PendingKeys& keys : pending) {
            lost = lost || keys.lost;
        }
        return lost;
    }
};

// The earlier section of the same network, or null.
ListSection* NamedBefore(LoadedList& list, const ScopeLine& scope) {
    for (ListSection& section : list.Sections) {
        if (section.network == scope.network && section.prefixLength == scope.prefixLength) {
            return &section;
        }
    }
    return nullptr;
}

// Opens a section for `scope`'s network, or null without memory for it.
ListSection* OpenSection(const ScopeLine& scope, unsigned char action, LoadedList& list,
                         SectionKeys& keys, int32_t fileLine) {
    ListSection section;
    section.network = scope.network & NetworkMask(scope.prefixLength);
    section.prefixLength = scope.prefixLength;
    section.FilterAction = action;
    section.fileLine = fileLine;
    section.lastLine = fileLine;
    section.closedBy = action == kSectionClosed ? fileLine : 0;
    try {
        keys.pending.reserve(list.Sections.size() + 1);
        list.Sections.push_back(section);
        keys.pending.push_back(PendingKeys{});
    } catch (const std::bad_alloc&) {
        list.OutOfMemory = true;
        return nullptr;
    }
    return &list.Sections.back();
}

// Takes a scope line: notes what is wrong with it, or opens its section.
// Gives the section whose entries follow, or null when they go nowhere. A
// line in error closes the network it names (an earlier section of it too);
// one whose network cannot be read makes the list unusable.
ListSection* TakeScopeLine(const ScopeLine& scope, LoadedList& list, SectionKeys& keys,
                           const DiagnosticSink* sink, int32_t fileLine) {
    ListDiagnostic diagnostic = {fileLine, fileLine,      scope.message,      0,
                                 {},       scope.network, scope.prefixLength, 0};
    if (!scope.networkRead) {
        if (list.UnreadableScopeLine == 0) {
            list.UnreadableScopeLine = fileLine;
        }
    } else {
        ScopeLine named = scope;
        named.network &= NetworkMask(scope.prefixLength);
        ListSection* earlier = NamedBefore(list, named);
        if (earlier == nullptr) {
            const unsigned char action =
                scope.message == DiagnosticKind::kNone ? scope.action : kSectionClosed;
            ListSection* opened = OpenSection(scope, action, list, keys, fileLine);
            if (scope.message == DiagnosticKind::kNone) {
                // Without memory for it the section loads nothing.
                return opened;
            }
            if (opened == nullptr) {
                // Without memory to close the network, nothing in the list
                // can be trusted.
                list.UnreadableScopeLine = fileLine;
            }
        } else {
            if (earlier->FilterAction != kSectionClosed) {
                earlier->FilterAction = kSectionClosed;
                earlier->closedBy = fileLine;
            }
            if (scope.message == DiagnosticKind::kNone) {
                diagnostic.kind = DiagnosticKind::kScopeRepeated;
                diagnostic.earlierLine = earlier->fileLine;
            }
        }
    }
    Keep(list, sink, diagnostic);
    return nullptr;
}

// Builds the sections' sets, their nodes in one block (many small blocks
// would each cost their own pages), sorts the sections for FindSection,
// counts their entries and marks the prefix lengths in use.
void IndexSections(LoadedList& list, SectionKeys& keys) {
    std::vector<AddressNode*> roots;
    try {
        roots.reserve(list.Sections.size());
    } catch (const std::bad_alloc&) {
    }
    if (roots.capacity() >= list.Sections.size()) {
        for (const ListSection& section : list.Sections) {
            roots.push_back(section.AddressSet);
        }
        AddressSetAddPendingTogether(keys.pending.data(), roots.data(), roots.size(),
                                     &list.SectionBlocks);
        for (size_t i = 0; i < roots.size(); ++i) {
            list.Sections[i].AddressSet = roots[i];
        }
    } else {
        for (size_t i = 0; i < list.Sections.size(); ++i) {
            list.Sections[i].AddressSet = AddressSetAddPending(
                list.Sections[i].AddressSet, keys.pending[i], &list.SectionBlocks);
        }
    }
    std::sort(list.Sections.begin(), list.Sections.end(),
              [](const ListSection& a, const ListSection& b) {
                  return a.prefixLength != b.prefixLength ? a.prefixLength < b.prefixLength
                                                          : a.network < b.network;
              });
    uint32_t index = 0;
    for (int length = 0; length <= kLongestNetworkPrefix + 1; ++length) {
        list.SectionStart[length] = index;
        while (index < list.Sections.size() && list.Sections[index].prefixLength == length) {
            list.SectionLengths |= 1u << (length - 1);
            ++index;
        }
    }
    for (ListSection& section : list.Sections) {
        // A closed section's entries decide nothing: it loads none.
        section.Entries = section.FilterAction == kSectionClosed ? EntryCounts()
                                                                 : CountEntries(section.AddressSet);
    }
}

}  // namespace

namespace {

void ReadList(FILE* stream, LoadedList& list, ListText* text, const DiagnosticSink* sink,
              SectionKeys& sectionKeys) {
    char line[kLineBufferSize];
    // Entry-line messages quote the line's number in the file.
    int32_t fileLine = 0;
    if (!ReadCountedLine(line, stream, fileLine, text)) {
        Note(list, sink, 1, DiagnosticKind::kNothingInFile, 0);
        return;
    }
    SkipByteOrderMark(line, text);
    while (!TakeActionLine(line, list, sink, fileLine)) {
        if (!ReadCountedLine(line, stream, fileLine, text)) {
            return;  // no header line: nothing is loaded
        }
    }
    if (text != nullptr) {
        text->headerLine = fileLine;
    }
    EntryTarget target = {&list.AddressSet, &list.AddressBlocks, &list.PrefixLengths,
                          &sectionKeys.serverWide};
    // The index of the section being read, when there is one.
    size_t section = SIZE_MAX;
    while (ReadCountedLine(line, stream, fileLine, text)) {
        // Only a line that starts with an S, after its blanks, can be a scope line.
        ScopeLine scope;
        if (line[0] == ' ' || line[0] == '\t' || line[0] == 'S' || line[0] == 's') {
            scope = ParseScopeLine(line);
        }
        if (scope.scope) {
            section = SIZE_MAX;
            target = EntryTarget{};
            ListSection* opened = TakeScopeLine(scope, list, sectionKeys, sink, fileLine);
            if (opened != nullptr) {
                section = list.Sections.size() - 1;
                target = {&opened->AddressSet, &list.SectionBlocks, &opened->PrefixLengths,
                          &sectionKeys.pending[section]};
            }
            continue;
        }
        if (section != SIZE_MAX) {
            list.Sections[section].lastLine = fileLine;
        }
        EntryLine entry = ParseAddressLine(line);
        if (entry.message != DiagnosticKind::kNone) {
            Note(list, sink, fileLine, entry.message, fileLine, 0, entry.field);
            continue;
        }
        if (entry.field[0] == '\0' || target.set == nullptr) {
            continue;
        }
        char key[kAddressKeySize];
        int digits = EntryKey(entry.field, key);
        if (digits != 0) {
            *target.prefixLengths = static_cast<uint16_t>(*target.prefixLengths | (1u << digits));
        }
        *target.set = AddressSetAdd(key, *target.set, *target.pending, target.blocks);
    }
    list.AddressSet =
        AddressSetAddPending(list.AddressSet, sectionKeys.serverWide, &list.AddressBlocks);
    list.Entries = CountEntries(list.AddressSet);
    IndexSections(list, sectionKeys);
}

}  // namespace

void LoadAddressList(FILE* stream, LoadedList& list, ListText* text, const DiagnosticSink* sink) {
    SectionKeys sectionKeys;
    try {
        ReadList(stream, list, text, sink, sectionKeys);
    } catch (const std::bad_alloc&) {
        list.OutOfMemory = true;
    }
    if (sectionKeys.Lost()) {
        list.OutOfMemory = true;
    }
}

namespace {

// A decimal number of at most `digits` digits; false when none is there.
bool ReadNumber(const char*& p, int digits, uint32_t& value) {
    value = 0;
    int read = 0;
    while (read < digits && *p >= '0' && *p <= '9') {
        value = value * 10 + static_cast<uint32_t>(*p++ - '0');
        ++read;
    }
    return read > 0 && !(*p >= '0' && *p <= '9');
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// The keyword, in any letter case, of `length` characters.
bool MatchesWord(const char* p, const char* word, int length) {
    for (int i = 0; i < length; ++i) {
        if (UpperCaseAscii(p[i]) != word[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

ScopeLine ParseScopeLine(const char* line) {
    ScopeLine result;
    const char* p = line;
    bool tab = false;
    while (IsBlank(*p)) {
        tab = tab || *p == '\t';
        ++p;
    }
    constexpr char kKeyword[] = "SCOPE";
    constexpr int kKeywordSize = sizeof kKeyword - 1;
    if (!MatchesWord(p, kKeyword, kKeywordSize)) {
        return result;
    }
    result.scope = true;
    result.message = DiagnosticKind::kScopeNotInFormat;
    p += kKeywordSize;
    if (!IsBlank(*p)) {
        return result;
    }
    while (IsBlank(*p)) {
        ++p;
    }
    uint32_t network = 0;
    for (int part = 0; part < 4; ++part) {
        uint32_t number = 0;
        if ((part > 0 && *p++ != '.') || !ReadNumber(p, 3, number) || number > 255) {
            return result;
        }
        network = network << 8 | number;
    }
    uint32_t length = 0;
    if (*p++ != '/' || !ReadNumber(p, 2, length) || length < 1 || length > kLongestNetworkPrefix) {
        return result;
    }
    // From here on the line names its network, even when the rest is wrong.
    result.networkRead = true;
    result.network = network;
    result.prefixLength = static_cast<uint8_t>(length);
    while (IsBlank(*p)) {
        ++p;
    }
    if (*p++ != '=') {
        return result;
    }
    while (IsBlank(*p)) {
        ++p;
    }
    if (*p++ != '{') {
        return result;
    }
    while (*p == ' ') {
        ++p;
    }
    if (MatchesWord(p, "ALLOW", 5)) {
        result.action = 1;
        p += 5;
    } else if (MatchesWord(p, "DENY", 4)) {
        result.action = 0;
        p += 4;
    } else {
        return result;
    }
    while (*p == ' ') {
        ++p;
    }
    if (*p++ != '}') {
        return result;
    }
    while (IsBlank(*p)) {
        ++p;
    }
    if (tab || (*p != '#' && *p != '\n' && *p != '\0')) {
        return result;
    }
    result.message = (network & ~NetworkMask(static_cast<int>(length))) != 0
                         ? DiagnosticKind::kScopeHostBits
                         : DiagnosticKind::kNone;
    return result;
}

ActionLine ParseActionLine(const char* line) {
    ActionLine result;
    const char* p = line;
    while (*p == ' ' || *p == '\t' || *p == '\n') {
        ++p;
    }
    if (*p == '#') {
        result.stop = HeaderStop::kComment;
        return result;
    }
    result.stop = HeaderStop::kKeyword;

    char keyword[kKeywordLength + 1];
    for (int i = 0; i < kKeywordLength; ++i) {
        char c = p[i];
        if (c == '\0' || (i > 0 && (c == '\n' || IsByteFF(c)))) {
            result.message = DiagnosticKind::kKeywordNotSpecified;
            return result;
        }
        keyword[i] = UpperCaseAscii(c);
    }
    keyword[kKeywordLength] = '\0';
    if (std::strcmp(keyword, "MAC_ACTION") != 0) {
        result.message = DiagnosticKind::kKeywordNotSpecified;
        return result;
    }
    p += kKeywordLength;

    result.stop = HeaderStop::kEquals;
    while (*p == ' ') {
        ++p;
    }
    if (*p != '=') {
        return result;
    }
    ++p;
    while (*p == ' ') {
        ++p;
    }
    result.stop = HeaderStop::kBrace;
    if (*p != '{') {
        return result;
    }
    result.stop = HeaderStop::kAction;
    ++p;
    while (*p == ' ') {
        ++p;
    }

    // The word runs to the first space or '}'; its first character is taken
    // whatever it is. Beyond 19 characters it is read but not kept, and a
    // word that long is no action.
    int length = 0;
    bool tooLong = false;
    result.wordStart = static_cast<int>(p - line);
    if (*p != '\0') {
        do {
            if (length < kActionWordSize - 1) {
                result.word[length++] = UpperCaseAscii(*p);
            } else {
                tooLong = true;
            }
            ++p;
        } while (*p != '\0' && *p != ' ' && *p != '}');
    }
    result.word[length] = '\0';
    result.tail = static_cast<int>(p - line);
    if (!tooLong && std::strcmp(result.word, "ALLOW") == 0) {
        result.action = 1;
    } else if (!tooLong && std::strcmp(result.word, "DENY") == 0) {
        result.action = 0;
    } else {
        result.message = DiagnosticKind::kActionNotCorrect;
        return result;
    }
    result.actionKnown = true;

    result.stop = HeaderStop::kLineFeed;
    if (*p == '\0') {
        return result;  // the word ran to the end of a line without a line feed
    }
    ++p;
    while (*p == ' ' || *p == '}' || *p == '\t') {
        ++p;
    }
    if (*p != '\n') {
        result.stop = *p == '\0' ? HeaderStop::kLineFeed : HeaderStop::kTail;
        return result;
    }
    result.stop = HeaderStop::kHeader;
    result.header = true;
    return result;
}

EntryLine ParseAddressLine(const char* line) {
    EntryLine result;
    char* field = result.field;
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
        return result;
    }

    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    if (*p != '\0' && *p != '\n' && *p != '#') {
        result.message = DiagnosticKind::kEntryNotInFormat;
        std::memset(field, 0, kAddressKeySize);
        return result;
    }
    if (IsPrefixField(field, length)) {
        return result;
    }
    if (length != kAddressLength) {
        result.message = DiagnosticKind::kAddressLength;
    } else if (IsHexAddress(field) == 0) {
        result.message = DiagnosticKind::kAddressDigits;
    }
    return result;
}

bool IsPrefixField(const char* field, int length) {
    if (length < 2 || length > kLongestPrefix + 1 || field[length - 1] != '*') {
        return false;
    }
    for (int i = 0; i < length - 1; ++i) {
        if (!IsHexDigit(field[i])) {
            return false;
        }
    }
    return true;
}

int EntryKey(const char* field, char (&key)[kAddressKeySize]) {
    std::memset(key, 0, sizeof key);
    int digits = 0;
    while (digits < kAddressLength && field[digits] != '\0') {
        key[digits] = field[digits];
        ++digits;
    }
    int prefix = 0;
    if (digits > 0 && field[digits - 1] == '*') {
        prefix = --digits;
        std::memset(key + digits, kPrefixPad, kAddressLength - digits);
    }
    Platform.LowerCase(key, kAddressLength);
    return prefix;
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
