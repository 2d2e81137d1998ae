#include "server/json/JsonBuilders.h"
#include "server/json/JsonText.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace Lumenbox::json {
namespace {

std::string parseError(std::string_view text) {
    const auto request = parseCallScriptRequest(text);
    return request.error.empty() ? "(no error)" : request.error;
}

std::string nested(std::size_t depth, std::string_view inner = "") {
    return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

TEST(JsonText, SerialisesCompactlyWithKeysInByteOrder) {
    const nlohmann::json value = {{"z", 1}, {"\xC3\xA9", 2}, {"a", {{"y", nullptr}, {"b", {1, 2}}}}, {"B", true}};
    EXPECT_EQ(serialize(value), "{\"B\":true,\"a\":{\"b\":[1,2],\"y\":null},\"z\":1,\"\xC3\xA9\":2}");
}

TEST(JsonText, WritesUtf8RawAndReplacesInvalidBytesInsteadOfThrowing) {
    EXPECT_EQ(errorResponse("Kunden \xC3\x9C" "bersicht \xE2\x82\xAC"),
              "{\"error\":\"Kunden \xC3\x9C" "bersicht \xE2\x82\xAC\"}");
    std::string out;
    EXPECT_NO_THROW(out = errorResponse("bad \xFF\xC3 end"));
    EXPECT_EQ(out, "{\"error\":\"bad \xEF\xBF\xBD\xEF\xBF\xBD end\"}");
}

TEST(JsonText, ParseStrictRejectsCommentsTrailingTextAndEmptyInput) {
    EXPECT_EQ(parseStrict("{\"a\":[1,2]}"), nlohmann::json({{"a", {1, 2}}}));
    EXPECT_EQ(parseStrict("42"), nlohmann::json(42));
    EXPECT_EQ(parseStrict(""), std::nullopt);
    EXPECT_EQ(parseStrict("{\"a\":1} // note"), std::nullopt);
    EXPECT_EQ(parseStrict("/* c */ 1"), std::nullopt);
    EXPECT_EQ(parseStrict("1 2"), std::nullopt);
}

TEST(JsonText, ParseStrictRefusesNestingPastTheLimitWithoutBuildingIt) {
    EXPECT_TRUE(parseStrict(nested(kMaxJsonDepth)));
    EXPECT_TRUE(parseStrict(R"({"a":)" + nested(kMaxJsonDepth - 1) + "}"));
    EXPECT_EQ(parseStrict(nested(kMaxJsonDepth + 1)), std::nullopt);
    EXPECT_EQ(parseStrict(R"({"a":)" + nested(kMaxJsonDepth) + "}"), std::nullopt);
    EXPECT_EQ(parseStrict(nested(100000)), std::nullopt);  // would overflow the stack if built and written
    EXPECT_EQ(parseStrict(std::string(100000, '[')), std::nullopt);
}

TEST(JsonBuilders, ErrorAndFileListBodies) {
    EXPECT_EQ(errorResponse("say \"hi\"\nnow\\"), R"({"error":"say \"hi\"\nnow\\"})");
    EXPECT_EQ(errorResponse(""), R"({"error":""})");
    EXPECT_EQ(connectedFilesResponse({}), "[]");
    EXPECT_EQ(connectedFilesResponse({"Zeta", "Alpha"}), R"(["Zeta","Alpha"])");  // order kept
}

TEST(ParseCallScriptRequest, TakesFieldsVerbatimAndDefaultsDataToNull) {
    const auto full = parseCallScriptRequest(R"({"scriptName":" Go\t","connectedFileName":" F ","data":{"k":[1]},"x":0})");
    EXPECT_EQ(full.connectedFileName, " F ");
    EXPECT_EQ(full.scriptName, " Go\t");
    EXPECT_EQ(full.data, R"({"k":[1]})");
    EXPECT_EQ(full.error, "");

    const auto minimal = parseCallScriptRequest(R"({"connectedFileName":"F","scriptName":"S"})");
    EXPECT_EQ(minimal.data, "null");
}

// The data is written while the body is read; it must read exactly as the serialiser would write
// the parsed value (keys here are already in the serialiser's order: the writer keeps the caller's).
TEST(ParseCallScriptRequest, WritesDataAsTheSerialiserWould) {
    for (const std::string& data : std::vector<std::string>{
             "null", "true", "false", "0", "-0", "42", "-9223372036854775808", "18446744073709551615",
             "1.0", "-0.0", "2.5", "1e5", "1E-7", "0.1", "1.7976931348623157e308", "5e-324", "123456789.125",
             R"("")", R"("plain")", R"("q\"b\\s\/\n\t\u0001\u001f")", R"("caf\u00e9 \ud83d\ude00 é")", "[]", "{}",
             "[[],[],[[]]]", R"([1, "a" , {"b" : [null,{}]}, true])", R"({"A":1,"a":{"b":[1,2.0],"c":{}},"z":[]})",
             R"({"":0,"\u00e9":"x"})", nested(kMaxJsonDepth - 1, "1"),
         }) {
        SCOPED_TRACE(data.substr(0, 60));
        for (const std::string& body : {R"({"connectedFileName":"F","scriptName":"S","data":)" + data + "}",
                                        R"({"data":)" + data + R"(,"scriptName":"S","x":[{"y":1}],"connectedFileName":"F"})"}) {
            const auto request = parseCallScriptRequest(body);
            EXPECT_EQ(request.error, "");
            EXPECT_EQ(request.data, serialize(nlohmann::json::parse(data)));
        }
    }
    // A key given twice counts with its last value, as in a parsed tree; inside data both are kept.
    const auto twice = parseCallScriptRequest(
        R"({"data":[1],"connectedFileName":7,"scriptName":"S","connectedFileName":"F","data":{"k":1,"k":2}})");
    EXPECT_EQ(twice.error, "");
    EXPECT_EQ(twice.connectedFileName, "F");
    EXPECT_EQ(twice.data, R"({"k":1,"k":2})");
}

TEST(ParseCallScriptRequest, ReportsWhichPartIsWrong) {
    EXPECT_EQ(parseError("{not json").rfind("Invalid JSON body: [json.exception.parse_error", 0), 0u);
    EXPECT_EQ(parseError("").rfind("Invalid JSON body: ", 0), 0u);
    EXPECT_EQ(parseError("[1]"), "Missing or invalid field: connectedFileName");
    EXPECT_EQ(parseError(R"({"scriptName":"S"})"), "Missing or invalid field: connectedFileName");
    EXPECT_EQ(parseError(R"({"connectedFileName":7,"scriptName":"S"})"), "Missing or invalid field: connectedFileName");
    EXPECT_EQ(parseError(R"({"connectedFileName":"F"})"), "Missing or invalid field: scriptName");
    EXPECT_EQ(parseError(R"({"connectedFileName":"F","scriptName":null})"), "Missing or invalid field: scriptName");
    EXPECT_EQ(parseError(R"({"connectedFileName":"F","scriptName":["S"]})"), "Missing or invalid field: scriptName");
    EXPECT_EQ(parseError(R"({"connectedFileName":"F","scriptName":"S","connectedFileName":{}})"),
              "Missing or invalid field: connectedFileName");
    EXPECT_EQ(parseError(R"({"connectedFileName":"F","scriptName":"S"} x)").rfind("Invalid JSON body: ", 0), 0u);

    // Nesting: the body's own object is the first level.
    const std::string head = R"({"connectedFileName":"F","scriptName":"S","data":)";
    EXPECT_EQ(parseError(head + nested(kMaxJsonDepth - 1) + "}"), "(no error)");
    for (const std::string& deep : {head + nested(kMaxJsonDepth) + "}", head + std::string(100000, '['),
                                    R"({"x":)" + nested(kMaxJsonDepth) + "}", nested(100000)}) {
        const auto request = parseCallScriptRequest(deep);
        EXPECT_TRUE(request.invalidJson);
        EXPECT_EQ(request.error.rfind("Invalid JSON body: ", 0), 0u) << request.error;
    }
}

TEST(CallScriptResponse, EmbedsResultAsJsonWhenItParsesElseAsString) {
    EXPECT_EQ(callScriptResponse("id-1", "42"), R"({"fetchId":"id-1","result":42})");
    EXPECT_EQ(callScriptResponse("id-1", "hello"), R"({"fetchId":"id-1","result":"hello"})");
    EXPECT_EQ(callScriptResponse("id-1", R"({"a":1})"), R"({"fetchId":"id-1","result":{"a":1}})");
    EXPECT_EQ(callScriptResponse("id-1", ""), R"({"fetchId":"id-1","result":""})");
    EXPECT_EQ(callScriptResponse("id-1", "[1, 2] // c"), R"({"fetchId":"id-1","result":"[1, 2] // c"})");
    EXPECT_NO_THROW(callScriptResponse("id-1", "\xFF"));  // a script result is client data too

    // A result the web viewer sent as a JSON value rather than as text reads the same.
    for (const char* text : {"42", "-0.5", R"({"b":[1,"x"],"a":null})", "true", "1e300", "18446744073709551615"}) {
        EXPECT_EQ(callbackResultResponse("id-1", nlohmann::json::parse(text)), callScriptResponse("id-1", text)) << text;
    }
    EXPECT_EQ(callbackResultResponse("id-1", nlohmann::json("{\"a\": 1}")), R"({"fetchId":"id-1","result":{"a":1}})");
}

// The messages written piece by piece must be byte for byte what the serialiser makes of a tree.
TEST(PieceByPieceJson, QuotingAndTheCallScriptMessageMatchTheSerialiser) {
    std::vector<std::string> texts = {"", "plain", "quote \" backslash \\ slash /", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
                                      "bad \xFF byte", "cut \xE2\x82", std::string("nul \0 del \x7F", 11)};
    std::string controls;
    for (char c = 0; c < 0x20; ++c) controls.push_back(c);
    texts.push_back(controls);
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
        EXPECT_EQ(callScriptMessage("f-1", script, serialize(data)), expected) << script;
        EXPECT_EQ(callScriptMessageSize("f-1", script, serialize(data)), expected.size()) << script;
    }
}

}  // namespace
}  // namespace Lumenbox::json
