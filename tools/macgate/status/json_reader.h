// A reader of the JSON that Kea's control socket answers with: enough of
// JSON to read its answers, and safe on any bytes.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace macgate {

// A JSON value; a member or item that is not there reads as null.
struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json& operator[](const std::string& name) const;
    const Json& operator[](size_t index) const;
};

// Deepest nesting of arrays and objects that is read.
constexpr int kJsonMaxDepth = 32;

// Reads `text`, one JSON value with nothing after it but white space.
// False for anything else: bad syntax, nesting past kJsonMaxDepth, a number
// that does not fit a double, or a bad \u escape.
bool ReadJson(const std::string& text, Json* value);

}  // namespace macgate
