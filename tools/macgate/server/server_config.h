// What the DHCP server reads at its start to choose its callout library:
// CalloutEnabled and CalloutDlls under its Parameters key.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace macgate {

// One registry value as it is stored: its type and its bytes.
struct StoredValue {
    bool present = false;
    uint32_t type = 0;
    std::vector<unsigned char> data;
};

struct ServerCallouts {
    bool keyFound = false;
    StoredValue enabled;  // "CalloutEnabled"
    StoredValue dlls;     // "CalloutDlls"
    // The entries of CalloutDlls in order (also when it is stored with
    // another type than a multi-string, read as one).
    std::vector<std::u16string> entries;
};

// Reads the value `name` of the open Parameters key whole, whatever its size.
StoredValue ReadStoredValue(void* key, const char* name);

// Reads both values; keyFound is false when the Parameters key cannot be
// opened.
ServerCallouts ReadServerCallouts();

// Whether the server takes callout libraries at all: a DWORD holding 1.
bool CalloutsEnabled(const ServerCallouts& callouts);

// The UTF-16 units of a string value up to its first NUL, within the data.
std::u16string StoredText(const StoredValue& value);

// `text` as this process names files, by the platform's wide-to-narrow
// conversion; false when a character has no narrow form.
bool NarrowText(const std::u16string& text, std::string* narrow);

// `text` for messages: characters without a narrow form shown as U+XXXX.
std::string PrintableText(const std::u16string& text);

// The registry's name of a value type ("REG_SZ"), or "type N".
std::string ValueTypeName(uint32_t type);

}  // namespace macgate
