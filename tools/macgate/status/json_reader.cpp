#include "tools/macgate/status/json_reader.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace macgate {

const Json& Json::operator[](const std::string& name) const {
    static const Json none;
    auto found = members.find(name);
    return found == members.end() ? none : found->second;
}

const Json& Json::operator[](size_t index) const {
    static const Json none;
    return index < items.size() ? items[index] : none;
}

namespace {

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : text_(text) {}

    bool Read(Json* value) {
        return Value(value, 0) && (Space(), at_ == text_.size());
    }

private:
    void Space() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' ||
                                      text_[at_] == '\r' || text_[at_] == '\t')) {
            ++at_;
        }
    }

    bool Word(const char* word) {
        std::string w(word);
        if (text_.compare(at_, w.size(), w) != 0) {
            return false;
        }
        at_ += w.size();
        return true;
    }

    bool String(std::string* out) {
        if (at_ >= text_.size() || text_[at_] != '"') {
            return false;
        }
        for (++at_; at_ < text_.size(); ++at_) {
            char c = text_[at_];
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c != '\\') {
                out->push_back(c);
                continue;
            }
            if (++at_ >= text_.size()) {
                return false;
            }
            switch (text_[at_]) {
                case 'n':
                    out->push_back('\n');
                    break;
                case 't':
                    out->push_back('\t');
                    break;
                case 'r':
                    out->push_back('\r');
                    break;
                case 'b':
                    out->push_back('\b');
                    break;
                case 'f':
                    out->push_back('\f');
                    break;
                case 'u': {
                    if (at_ + 4 >= text_.size()) {
                        return false;
                    }
                    unsigned code = 0;
                    for (int i = 1; i <= 4; ++i) {
                        const char digit = text_[at_ + i];
                        const char* hex = "0123456789abcdef0123456789ABCDEF";
                        const char* found = digit != '\0' ? std::strchr(hex, digit) : nullptr;
                        if (found == nullptr) {
                            return false;
                        }
                        code = code << 4 | static_cast<unsigned>((found - hex) & 15);
                    }
                    at_ += 4;
                    // UTF-8 of a code unit; Kea escapes control characters only.
                    if (code < 0x80) {
                        out->push_back(static_cast<char>(code));
                    } else if (code < 0x800) {
                        out->push_back(static_cast<char>(0xC0 | code >> 6));
                        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
                    } else {
                        out->push_back(static_cast<char>(0xE0 | code >> 12));
                        out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
                        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
                    }
                    break;
                }
                default:
                    out->push_back(text_[at_]);
                    break;
            }
        }
        return false;
    }

    bool Value(Json* value, int depth) {
        Space();
        if (at_ >= text_.size() || depth > kJsonMaxDepth) {
            return false;
        }
        char c = text_[at_];
        if (c == '{') {
            value->kind = Json::kObject;
            ++at_;
            Space();
            if (at_ < text_.size() && text_[at_] == '}') {
                ++at_;
                return true;
            }
            for (;;) {
                std::string name;
                Space();
                if (!String(&name)) {
                    return false;
                }
                Space();
                if (at_ >= text_.size() || text_[at_++] != ':' ||
                    !Value(&value->members[name], depth + 1)) {
                    return false;
                }
                Space();
                if (at_ < text_.size() && text_[at_] == ',') {
                    ++at_;
                    continue;
                }
                return at_ < text_.size() && text_[at_++] == '}';
            }
        }
        if (c == '[') {
            value->kind = Json::kArray;
            ++at_;
            Space();
            if (at_ < text_.size() && text_[at_] == ']') {
                ++at_;
                return true;
            }
            for (;;) {
                value->items.emplace_back();
                if (!Value(&value->items.back(), depth + 1)) {
                    return false;
                }
                Space();
                if (at_ < text_.size() && text_[at_] == ',') {
                    ++at_;
                    continue;
                }
                return at_ < text_.size() && text_[at_++] == ']';
            }
        }
        if (c == '"') {
            value->kind = Json::kString;
            return String(&value->text);
        }
        if (Word("true") || Word("false")) {
            value->kind = Json::kBool;
            value->boolean = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
            return true;
        }
        if (Word("null")) {
            return true;
        }
        size_t end = text_.find_first_not_of("-+.eE0123456789", at_);
        if (end == at_) {
            return false;
        }
        // The whole run must be one finite number: "1.2.3" and "1e999" are not.
        const std::string number = text_.substr(at_, end == std::string::npos ? end : end - at_);
        char* stop = nullptr;
        value->kind = Json::kNumber;
        value->number = std::strtod(number.c_str(), &stop);
        if (stop != number.c_str() + number.size() || !std::isfinite(value->number)) {
            return false;
        }
        at_ += number.size();
        return true;
    }

    const std::string& text_;
    size_t at_ = 0;
};

}  // namespace

bool ReadJson(const std::string& text, Json* value) {
    *value = Json();
    try {
        if (JsonReader(text).Read(value)) {
            return true;
        }
    } catch (const std::exception&) {
        // A number or escape that does not convert, or no memory.
    }
    *value = Json();
    return false;
}

}  // namespace macgate
