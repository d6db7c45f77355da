// macgate status --kea SOCKET: what a running kea-dhcp4 filters with, asked
// through its control socket (macgate-status and Kea's statistics).
#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/macgate/cli/commands.h"
#include "tools/macgate/server/library.h"

namespace macgate {
namespace {

constexpr int kAnswerSeconds = 5;

// The JSON that Kea answers with, enough of it to read its answers.
struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    const Json& operator[](const std::string& name) const {
        static const Json none;
        auto found = members.find(name);
        return found == members.end() ? none : found->second;
    }
    const Json& operator[](size_t index) const {
        static const Json none;
        return index < items.size() ? items[index] : none;
    }
};

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
                    unsigned code = std::stoul(text_.substr(at_ + 1, 4), nullptr, 16);
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
        if (at_ >= text_.size() || depth > 32) {
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
        value->kind = Json::kNumber;
        value->number = std::stod(text_.substr(at_, end - at_));
        at_ = end;
        return true;
    }

    const std::string& text_;
    size_t at_ = 0;
};

// One command's answer; false with the reason.
bool Ask(const std::string& socket, const std::string& command, Json* answer, std::string* why) {
    std::string text;
    if (!AskControlSocket(socket, "{ \"command\": \"" + command + "\" }", kAnswerSeconds, &text,
                          why)) {
        return false;
    }
    try {
        if (JsonReader(text).Read(answer) && (*answer)["result"].kind == Json::kNumber) {
            return true;
        }
    } catch (const std::exception&) {
        // A number or escape that does not convert: no answer.
    }
    *why = "the answer to " + command + " is not a Kea answer";
    return false;
}

std::string Number(const Json& value) {
    return value.kind == Json::kNumber ? std::to_string(static_cast<int64_t>(value.number)) : "?";
}

std::string Plural(const Json& value, const char* one, const char* many) {
    return Number(value) + " " + (value.kind == Json::kNumber && value.number == 1 ? one : many);
}

// A statistic's latest value in statistic-get-all's answer; "-" when Kea
// has none.
std::string Statistic(const Json& statistics, const char* name) {
    const Json& samples = statistics["arguments"][name];
    return samples.items.empty() ? "-" : Number(samples[0][0]);
}

}  // namespace

int RunKeaStatus(const std::string& socket) {
    Json status;
    std::string why;
    if (!Ask(socket, "macgate-status", &status, &why)) {
        std::printf("Kea cannot be asked through %s: %s.\n", socket.c_str(), why.c_str());
        return kExitCannotRun;
    }
    if (status["result"].number != 0) {
        std::printf("Kea at %s does not run macgate: %s.\n", socket.c_str(),
                    status["text"].text.c_str());
        return kExitFindings;
    }
    const Json& arguments = status["arguments"];
    std::printf("macgate in Kea, asked through %s:\n", socket.c_str());
    std::printf("  %-15s %s\n", "list", arguments["list-file"].text.c_str());
    const bool loaded = arguments["action"].kind == Json::kString;
    std::printf("  %-15s %s\n", "loaded",
                loaded ? (arguments["action"].text + " list of " +
                          Plural(arguments["addresses"], "address", "addresses") + " and " +
                          Plural(arguments["prefixes"], "prefix", "prefixes"))
                             .c_str()
                       : "no address");
    std::printf("  %-15s %s\n", "since", arguments["loaded-at"].text.c_str());
    std::printf("  %-15s %s\n", "sha256",
                arguments["list-sha256"].kind == Json::kString
                    ? arguments["list-sha256"].text.c_str()
                    : "none: the list could not be read");
    std::printf("  %-15s %s\n", "rejected",
                Plural(arguments["lines-reported"], "line", "lines").c_str());
    std::printf("  %-15s %s allowed, %s denied\n", "since loading",
                Number(arguments["allowed"]).c_str(), Number(arguments["denied"]).c_str());
    Json statistics;
    if (Ask(socket, "statistic-get-all", &statistics, &why)) {
        std::printf(
            "  %-15s macgate-allowed %s, macgate-denied %s, pkt4-received %s, "
            "pkt4-receive-drop %s\n",
            "statistics", Statistic(statistics, "macgate-allowed").c_str(),
            Statistic(statistics, "macgate-denied").c_str(),
            Statistic(statistics, "pkt4-received").c_str(),
            Statistic(statistics, "pkt4-receive-drop").c_str());
    } else {
        std::printf("  %-15s cannot be read: %s\n", "statistics", why.c_str());
    }
    std::printf("\n");
    if (arguments["unusable-list"].kind == Json::kString) {
        std::printf("macgate drops every client: %s.\n", status["text"].text.c_str());
        return kExitFindings;
    }
    if (!loaded) {
        std::printf("macgate does not filter: %s.\n", status["text"].text.c_str());
        return kExitFindings;
    }
    std::printf("macgate filters with this list.\n");
    return kExitOk;
}

}  // namespace macgate
