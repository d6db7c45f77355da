// The reader of Kea's control-socket answers: what it takes, and that it
// refuses every kind of bad text rather than read part of it.
#include <gtest/gtest.h>

#include <string>

#include "tools/macgate/status/json_reader.h"

namespace macgate {
namespace {

TEST(JsonReader, ReadsKeasAnswers) {
    Json answer;
    ASSERT_TRUE(ReadJson(
        R"( { "result": 0, "text": "a\tb\u00e9\"", "arguments": { "action": null,
              "on": true, "off": false, "sections": [ { "network": "10.1.2.0/24" } ],
              "macgate-allowed": [ [ 12, "2026-12-10 04:10:00.5" ] ], "x": -1.5e2 } } )",
        &answer));
    const Json& arguments = answer["arguments"];
    EXPECT_EQ(answer["result"].kind, Json::kNumber);
    EXPECT_EQ(answer["text"].text, "a\tb\xc3\xa9\"");
    EXPECT_EQ(arguments["action"].kind, Json::kNull);
    EXPECT_TRUE(arguments["on"].boolean);
    EXPECT_EQ(arguments["off"].kind, Json::kBool);
    EXPECT_FALSE(arguments["off"].boolean);
    EXPECT_EQ(arguments["sections"][0]["network"].text, "10.1.2.0/24");
    EXPECT_EQ(arguments["macgate-allowed"][0][0].number, 12);
    EXPECT_EQ(arguments["x"].number, -150);
    // What is not there reads as null.
    EXPECT_EQ(arguments["missing"][3]["deeper"].kind, Json::kNull);
}

TEST(JsonReader, RefusesBadTextWhole) {
    const std::string nested =
        std::string(kJsonMaxDepth + 2, '[') + std::string(kJsonMaxDepth + 2, ']');
    const char* const bad[] = {
        "",
        "{",
        "{ \"result\": 0",
        "{ \"result\": 0 } trailing",
        "{ \"result\" 0 }",
        "{ result: 0 }",
        "[ 1, ]",
        "\"unterminated",
        "\"bad escape \\u12G4\"",
        "\"short escape \\u12\"",
        "1.2.3",
        "1e999",
        "-",
        ".",
        "tru",
        "nul",
    };
    for (const std::string& text : std::vector<std::string>(std::begin(bad), std::end(bad))) {
        Json value;
        value.kind = Json::kString;
        EXPECT_FALSE(ReadJson(text, &value)) << text;
        EXPECT_EQ(value.kind, Json::kNull) << text;
    }
    Json value;
    EXPECT_FALSE(ReadJson(nested, &value));
    EXPECT_TRUE(ReadJson(nested.substr(2, nested.size() - 4), &value));
}

}  // namespace
}  // namespace macgate
