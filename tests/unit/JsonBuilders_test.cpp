#include "server/json/JsonBuilders.h"
#include "server/json/JsonText.h"

#include <gtest/gtest.h>

namespace Lumenbox::json {
namespace {

std::string nested(std::size_t depth, std::string_view inner = "") {
    return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

TEST(JsonText, SerialisesCompactlyInKeyByteOrderAndReplacesInvalidBytesInsteadOfThrowing) {
    const nlohmann::json value = {{"z", 1}, {"\xC3\xA9", "\xE2\x82\xAC"}, {"a", {{"y", nullptr}, {"b", {1, 2}}}}, {"B", true}};
    EXPECT_EQ(serialize(value), "{\"B\":true,\"a\":{\"b\":[1,2],\"y\":null},\"z\":1,\"\xC3\xA9\":\"\xE2\x82\xAC\"}");
    EXPECT_EQ(errorResponse("bad \xFF\xC3 end"), "{\"error\":\"bad \xEF\xBF\xBD\xEF\xBF\xBD end\"}");  // no throw
    EXPECT_NO_THROW(callScriptResponse("id-1", "\xFF"));  // a script result is client data too
}

TEST(JsonText, ParseStrictRefusesCommentsTrailingTextEmptyInputAndNestingPastTheLimit) {
    const std::pair<std::string, bool> cases[] = {
        {"{\"a\":[1,2]}", true}, {"42", true}, {nested(kMaxJsonDepth), true},
        {R"({"a":)" + nested(kMaxJsonDepth - 1) + "}", true},
        {"", false}, {"{\"a\":1} // note", false}, {"/* c */ 1", false}, {"1 2", false},
        {nested(kMaxJsonDepth + 1), false}, {R"({"a":)" + nested(kMaxJsonDepth) + "}", false},
        {nested(100000), false},  // would overflow the stack if built and written again
        {std::string(100000, '['), false},
    };
    for (const auto& [text, accepted] : cases) EXPECT_EQ(parseStrict(text).has_value(), accepted) << text.substr(0, 40);
}

// The data is written while the body is read; it must read exactly as the serialiser would write
// the parsed value (keys here are already in the serialiser's order: the writer keeps the caller's).
TEST(ParseCallScriptRequest, WritesDataAsTheSerialiserWouldWhereverItStands) {
    for (const std::string& data : std::vector<std::string>{
             "null", "true", "false", "0", "-0", "42", "-9223372036854775808", "18446744073709551615",
             "1.0", "-0.0", "2.5", "1e5", "1E-7", "0.1", "1.7976931348623157e308", "5e-324", "123456789.125",
             R"("")", R"("plain")", R"("q\"b\\s\/\n\t\u0001\u001f")", R"("caf\u00e9 \ud83d\ude00 é")", "[]", "{}",
             "[[],[],[[]]]", R"([1, "a" , {"b" : [null,{}]}, true])", R"({"A":1,"a":{"b":[1,2.0],"c":{}},"z":[]})",
             R"({"":0,"\u00e9":"x"})", nested(kMaxJsonDepth - 1, "1"),
         }) {
        for (const std::string& body : {R"({"connectedFileName":"F","scriptName":"S","data":)" + data + "}",
                                        R"({"data":)" + data + R"(,"scriptName":"S","x":[{"y":1}],"connectedFileName":"F"})"}) {
            const auto request = parseCallScriptRequest(body);
            EXPECT_EQ(std::tie(request.error, request.data), std::make_tuple("", serialize(nlohmann::json::parse(data)))) << data.substr(0, 60);
        }
    }
    const auto minimal = parseCallScriptRequest(R"({"connectedFileName":" F ","scriptName":" Go\t"})");  // verbatim: the route trims
    EXPECT_EQ(std::tie(minimal.connectedFileName, minimal.scriptName, minimal.data), std::make_tuple(" F ", " Go\t", "null"));
}

TEST(ParseCallScriptRequest, AKeyGivenTwiceCountsWithItsLastValueButInsideDataBothStay) {
    const auto twice = parseCallScriptRequest(
        R"({"data":[1],"connectedFileName":7,"scriptName":"S","connectedFileName":"F","data":{"k":1,"k":2}})");
    EXPECT_EQ(std::tie(twice.error, twice.connectedFileName, twice.data), std::make_tuple("", "F", R"({"k":1,"k":2})"));
    const auto replaced = parseCallScriptRequest(R"({"connectedFileName":"F","scriptName":"S","connectedFileName":{}})");
    EXPECT_EQ(std::tie(replaced.error, replaced.invalidJson), std::make_tuple("Missing or invalid field: connectedFileName", false));
}

// The messages written piece by piece must be byte for byte what the serialiser makes of a tree.
TEST(PieceByPieceJson, QuotingAndTheCallScriptMessageMatchTheSerialiser) {
    std::vector<std::string> texts = {"", "plain", "quote \" backslash \\ slash /", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
                                      "bad \xFF byte", "cut \xE2\x82", std::string("nul \0 del \x7F", 11), ""};
    for (char c = 0; c < 0x20; ++c) texts.back().push_back(c);
    for (const auto& text : texts) {
        std::string quoted = "prefix:";
        appendQuoted(quoted, text);
        EXPECT_EQ(quoted, "prefix:" + serialize(nlohmann::json(text))) << text;
    }
    for (const auto& [script, data] : std::vector<std::pair<std::string, nlohmann::json>>{
             {"Echo", nullptr},
             {"Caf\xC3\xA9 \"report\"", nlohmann::json::parse(R"({"z":[1,2.5,"\n\u0001"],"a":{"nested":"é"}})")},
             {"tab\there", "text with \\ and \""},
         }) {
        const nlohmann::json envelope = {{"callback", {{"fetchId", "f-1"}}}, {"data", data}};
        const std::string expected = serialize({{"param", serialize(envelope)}, {"script", script}, {"type", "callScript"}});
        const std::string text = serialize(data);
        EXPECT_EQ(std::tuple(callScriptMessage("f-1", script, text), callScriptMessageSize("f-1", script, text)),
                  std::tuple(expected, expected.size())) << script;
    }
}

}  // namespace
}  // namespace Lumenbox::json
