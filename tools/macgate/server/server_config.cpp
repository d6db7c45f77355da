#include "tools/macgate/server/server_config.h"

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace macgate {
namespace {

// The code point starting at text[i] (one unit, or a surrogate pair) as its
// own NUL-terminated string; `i` moves past it.
std::u16string NextCharacter(const std::u16string& text, size_t* i) {
    size_t length = 1;
    if (text[*i] >= 0xD800 && text[*i] <= 0xDBFF && *i + 1 < text.size() &&
        text[*i + 1] >= 0xDC00 && text[*i + 1] <= 0xDFFF) {
        length = 2;
    }
    std::u16string character = text.substr(*i, length);
    *i += length;
    return character;
}

}  // namespace

StoredValue ReadStoredValue(void* key, const char* name) {
    StoredValue value;
    uint32_t size = 0;
    if (!Platform.QueryParameterType(key, name, &value.type, &size)) {
        return value;
    }
    value.data.resize(size);
    if (size > 0 && !Platform.QueryParameterValue(key, name, value.data.data(), &size)) {
        return StoredValue();
    }
    value.data.resize(size);
    value.present = true;
    return value;
}

ServerCallouts ReadServerCallouts() {
    ServerCallouts callouts;
    void* key = nullptr;
    if (!Platform.OpenParametersKey(&key)) {
        return callouts;
    }
    callouts.keyFound = true;
    callouts.enabled = ReadStoredValue(key, "CalloutEnabled");
    callouts.dlls = ReadStoredValue(key, "CalloutDlls");
    Platform.CloseParametersKey(key);

    if (callouts.dlls.type != kValueMultiString) {
        std::u16string text = StoredText(callouts.dlls);
        if (!text.empty()) {
            callouts.entries.push_back(text);
        }
        return callouts;
    }
    // Entries end at each NUL; an empty entry ends the list.
    const std::vector<unsigned char>& data = callouts.dlls.data;
    std::u16string entry;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (unit != u'\0') {
            entry.push_back(unit);
            continue;
        }
        if (entry.empty()) {
            break;
        }
        callouts.entries.push_back(entry);
        entry.clear();
    }
    if (!entry.empty()) {
        callouts.entries.push_back(entry);
    }
    return callouts;
}

bool CalloutsEnabled(const ServerCallouts& callouts) {
    const StoredValue& value = callouts.enabled;
    return value.present && value.type == kValueDword && value.data.size() == 4 &&
           value.data[0] == 1 && value.data[1] == 0 && value.data[2] == 0 && value.data[3] == 0;
}

std::u16string StoredText(const StoredValue& value) {
    std::u16string text;
    for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
        if (unit == u'\0') {
            break;
        }
        text.push_back(unit);
    }
    return text;
}

bool NarrowText(const std::u16string& text, std::string* narrow) {
    size_t length = Platform.WideToNarrow(nullptr, text.c_str(), 0);
    if (length == kConversionFailed) {
        return false;
    }
    narrow->assign(length + 1, '\0');
    if (Platform.WideToNarrow(&(*narrow)[0], text.c_str(), length + 1) != length) {
        return false;
    }
    narrow->resize(length);
    return true;
}

std::string PrintableText(const std::u16string& text) {
    std::string printable;
    for (size_t i = 0; i < text.size();) {
        std::u16string character = NextCharacter(text, &i);
        std::string narrow;
        if (NarrowText(character, &narrow)) {
            printable += narrow;
            continue;
        }
        char code[16];
        unsigned point = character[0];
        if (character.size() == 2) {
            point = 0x10000 + ((point - 0xD800) << 10) + (character[1] - 0xDC00u);
        }
        std::snprintf(code, sizeof code, "U+%04X", point);
        printable += code;
    }
    return printable;
}

std::string ValueTypeName(uint32_t type) {
    switch (type) {
        case kValueString:
            return "REG_SZ";
        case kValueExpandString:
            return "REG_EXPAND_SZ";
        case kValueBinary:
            return "REG_BINARY";
        case kValueDword:
            return "REG_DWORD";
        case kValueMultiString:
            return "REG_MULTI_SZ";
        default:
            return "type " + std::to_string(type);
    }
}

}  // namespace macgate
